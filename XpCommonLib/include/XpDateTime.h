// XpDateTime: a calendar date-time held as a day count, and XpDateTimeSpan, a signed length of
// time in days.
//
// The day count is the OLE Automation date: days since 1899-12-30 00:00:00 in a double, the
// fraction being the time of day. Days before 1899-12-30 are negative and their time of day is
// subtracted (1899-12-29 06:00 is -1.25), so the stored values do not lie on one scale; all
// arithmetic and comparison goes through a continuous form in which -1.25 becomes -0.75.
// Supported range: 0100-01-01 00:00:00 (-657434.0) to 9999-12-31 23:59:59 (2958465.999988426).
// The field conversion takes the years 100 to 9998. Two consequences of the encoding are kept as
// they are: a time after midnight on 0100-01-01 is stored below -657434.0, so the constructor from
// fields flags it valid but it does not decompose (its getters answer -1) and the same double
// given to the constructor from a double is invalid; and 9999 can be reached by arithmetic or
// from a double but not from fields.
//
// The value carries no time zone. The library uses it for local wall-clock time of the process's
// time zone (TZ): conversions from and to time_t go through it, and the localized texts show it.
//
// Choices made where the behaviour is ours to pick:
// - operator long() lets mktime decide whether daylight-saving time applies (tm_isdst = -1), so a
//   local time in summer converts to the instant whose local time it is. A local time that occurs
//   twice when the clocks go back converts to one of the two instants, as glibc's mktime picks it;
//   a local time skipped when the clocks go forward converts as mktime normalises it (the gap's
//   length later, read with the offset that was in force before the change).
// - operator long() of an invalid value, or of one that does not decompose, is (time_t)-1, the
//   value mktime itself uses for failure.
// - Span counts a value that '+=' pushed beyond the range as it stands, but one beyond +-2e9 days
//   (or not a number) as +-2e9 days, so no conversion overflows.
// - GetMonthDays and GetTotalDays answer -1 for a month outside 1 to 12 instead of reading past
//   their tables.
// - XpDateTimeSpan has IsValid(), and its 32/64-bit getters saturate at the limits of their type
//   (and give 0 for a value that is not a number) instead of converting out of range.
// - The localized texts are rendered by ICU in the locale named by LC_ALL, LC_TIME or LANG (the
//   first that is set; "C", "POSIX" and a name that is no locale name mean en_US_POSIX) and in
//   the zone named by TZ (or by /etc/localtime), with ICU's short/medium/long styles. A glibc
//   modifier of the locale name selects the script or the variant: @latin, @cyrillic,
//   @devanagari and @iqtelif the script (sr_RS.UTF-8@latin is Serbian in Latin letters),
//   @valencia the variant. Where ICU has no data for the language in that script (be_BY@latin)
//   the language keeps its usual script; other modifiers (@euro) are ignored. A zone that ICU
//   does not know, or whose offset at that instant differs from the C library's, is shown as its
//   fixed GMT offset. The texts use the proleptic Gregorian calendar of the value (ICU's switch to
//   the Julian calendar before 1582 is turned off). A local time whose UTC time falls outside the
//   years 100 to 9998 gives "" like an invalid value. Each thread keeps the ICU formatters it
//   opened, keyed by locale, zone and styles; the environment is read at each call, so a change
//   of TZ or of the locale counts at the next call.
// - DateFormat and TimeFormat are ints underneath, so any int is a valid value of either:
//   DateFormatShort (0) gives the short date, every other value the long date; TimeFormat and the
//   flags have no effect.
// - Local times that do not exist or exist twice at a daylight-saving change are converted to UTC
//   as mktime resolves them (see operator long()).
#ifndef XPDATETIME_H
#define XPDATETIME_H

#include "XpCommonLibExport.h"
#include "XpString.h"

/** \defgroup dates Dates
    Date-time values (days since 1899-12-30), time-zone conversions and localized texts.
    \{ */

// A signed length of time in days with a validity flag. Valid lengths lie within
// +-3615899.999988426 days (the distance between the earliest and the latest XpDateTime); a value
// that is not a number counts as within range.
class XP_API XpDateTimeSpan {
public:
    // Zero length, valid.
    XpDateTimeSpan();
    // days + hours/24 + minutes/1440 + seconds/86400; valid when within range.
    XpDateTimeSpan(int days, int hours, int minutes, int seconds);
    // The given number of days; valid when within range.
    XpDateTimeSpan(double days);
    XpDateTimeSpan(const XpDateTimeSpan& other) = default;
    XpDateTimeSpan& operator=(const XpDateTimeSpan& other) = default;
    virtual ~XpDateTimeSpan();

    // Replaces the value by the given number of days; valid when within range.
    XpDateTimeSpan& operator=(double days);
    // Same as the four-int constructor, applied to this span.
    XpDateTimeSpan& SetDateTimeSpan(int days, int hours, int minutes, int seconds);
    // Marks the span invalid when its value is out of range; never makes it valid.
    XpDateTimeSpan& checkRange();

    // Whether the value lies within the supported range.
    bool IsValid() const { return valid; }
    // The length in days.
    operator double() const { return value; }

    // Whole days, truncated toward zero without rounding.
    int GetDays() const;
    // Whole days after rounding to the nearest second (half a second away from zero).
    int GetTotalDays() const;
    // Whole hours after rounding to the nearest second.
    int GetTotalHours() const;
    // Whole minutes after rounding to the nearest second.
    long long GetTotalMinutes() const;
    // Whole seconds after rounding to the nearest second.
    long long GetTotalSeconds() const;
    // Hours within the day: GetTotalHours() % 24, zero or negative for a negative span.
    int GetHours() const;
    // Minutes within the hour: GetTotalMinutes() % 60, with the sign of the span.
    long long GetMinutes() const;
    // Seconds within the minute: GetTotalSeconds() % 60, with the sign of the span.
    long long GetSeconds() const;

    // Sum or difference of two valid spans (valid when within range); an invalid operand gives an
    // invalid span of 0.0.
    XpDateTimeSpan operator+(const XpDateTimeSpan& other) const;
    XpDateTimeSpan operator-(const XpDateTimeSpan& other) const;
    // In-place sum or difference; an invalid operand leaves this span invalid with 0.0.
    XpDateTimeSpan& operator+=(const XpDateTimeSpan& other);
    XpDateTimeSpan& operator-=(const XpDateTimeSpan& other);
    // The negated value, valid when within range whatever this span's flag says.
    XpDateTimeSpan operator-() const;

    // Equal flags and equal values (two invalid spans of one value are equal).
    bool operator==(const XpDateTimeSpan& other) const;
    // Flags or values differ; true when either value is not a number.
    bool operator!=(const XpDateTimeSpan& other) const;
    // Ordering of values; false whenever either span is invalid.
    bool operator<(const XpDateTimeSpan& other) const;
    bool operator>(const XpDateTimeSpan& other) const;
    // '<' or '==', and '>' or '=='.
    bool operator<=(const XpDateTimeSpan& other) const;
    bool operator>=(const XpDateTimeSpan& other) const;

private:
    bool valid;
    double value;
};

// A calendar date-time (proleptic Gregorian) as a day count with a validity flag.
class XP_API XpDateTime {
public:
    // Date styles of GetLocalizedDateString: short ("3/4/09") or long ("March 4, 2009").
    // Any int is a value: 0 is the short style, every other value the long one.
    enum DateFormat : int { DateFormatShort = 0, DateFormatLong = 1 };
    // Accepted by the time and date-time texts for their shape; it does not change the result.
    enum TimeFormat : int { TimeFormatDefault = 0 };

    // 0.0 and invalid.
    XpDateTime();
    // Copies the value and the flag.
    XpDateTime(const XpDateTime& other);
    // The given day count; valid when within the supported range.
    XpDateTime(double value);
    // Year (100 to 9998), month, day, hour, minute, second; invalid with 0.0 when rejected.
    XpDateTime(int year, int month, int day, int hour, int minute, int second);
    // The local time of a time_t; invalid with 0.0 when it has no local time or is a leap second.
    XpDateTime(long const& time);
    // Inline like the constructor from fields and Span, so that a value made, read and dropped in
    // a loop costs no call.
    virtual ~XpDateTime() {}

    // Copies the value and the flag.
    XpDateTime& operator=(const XpDateTime& other);
    // The given day count; valid when within the supported range.
    XpDateTime& operator=(double value);
    // The local time of a time_t; when it has none, this value stays as it was.
    XpDateTime& operator=(long const& time);

    // Whether the value holds a date-time of the supported range.
    bool IsValid() const { return valid; }
    // The day count as stored (negative-day encoding).
    operator double() const { return value; }
    // The time_t of the value read as local time; (time_t)-1 when invalid (see the top of file).
    operator long() const;

    // Sets the fields (year 100 to 9998); on rejection the flag becomes false and the old value
    // stays. Returns the flag.
    bool SetDateTime(int year, int month, int day, int hour, int minute, int second);
    // All fields, dayOfWeek 0 (Sunday) to 6; false with the outputs untouched when not valid.
    bool GetDateTime(int& year, int& month, int& day, int& hour, int& minute, int& second,
                     int& dayOfWeek) const;
    // One field each, the time rounded to the nearest second; -1 when not valid.
    int GetYear() const;
    int GetMonth() const;
    int GetDay() const;
    int GetHour() const;
    int GetMinute() const;
    int GetSecond() const;
    // 0 (Sunday) to 6 (Saturday); -1 when not valid.
    int GetDayOfWeek() const;
    // 1 to 366; -1 when not valid.
    int GetDayOfYear() const;

    // Gregorian leap-year rule.
    static bool IsLeapYear(int year);
    // Days in the month (29 for February of a leap year); -1 for a month outside 1 to 12.
    static int GetMonthDays(int year, int month);
    // Day of the year of the date, 1 to 366; -1 for a month outside 1 to 12.
    static int GetTotalDays(int year, int month, int day);
    // The current local time in whole seconds.
    static XpDateTime GetNow();

    // Parses text by a sscanf format converting three to six ints in the order year, month, day,
    // hour, minute, second ("%d-%d-%d %d:%d:%d"); missing time fields are 0. Returns the new
    // flag; when fewer than three or more than six ints are read, returns false and changes
    // nothing. The format must not convert anything but those ints.
    bool FromString(XpStringT<char> const& text, XpStringT<char> const& format);

    // Difference as a span (continuous forms subtracted); the operands' flags are not looked at.
    XpDateTimeSpan operator-(const XpDateTime& other) const;
    // This minus other in whole seconds of the rounded fields; false with 0 when either operand
    // is not valid.
    bool Span(const XpDateTime& other, long long& seconds) const;
    // Shifted value, valid when within range; the span's flag is not looked at.
    XpDateTime operator+(XpDateTimeSpan span) const;
    XpDateTime operator-(XpDateTimeSpan span) const;
    // Shifts in place; the flag stays as it was.
    XpDateTime& operator+=(XpDateTimeSpan span);
    XpDateTime& operator-=(XpDateTimeSpan span);
    // Shifts by hours * 3600 + minutes * 60 + seconds, summed as a 32-bit integer that wraps
    // around (a sum beyond +-2^31 seconds, about 68 years, moves the other way); the flag becomes
    // the range test of the result and is returned.
    bool ShiftToFoward(int hours, int minutes, int seconds);
    bool ShiftToBackward(int hours, int minutes, int seconds);

    // Exact comparison of the continuous forms; the flags are not looked at. '!=' is true when
    // either value is not a number.
    bool operator==(const XpDateTime& other) const;
    bool operator!=(const XpDateTime& other) const;
    bool operator<(const XpDateTime& other) const;
    bool operator<=(const XpDateTime& other) const;
    bool operator>(const XpDateTime& other) const;
    bool operator>=(const XpDateTime& other) const;

    // Reads the value as UTC and replaces it by the local time of that instant. False (value
    // unchanged) when not valid; false and invalid when the local time is outside the years 100
    // to 9998.
    bool GmtToLocalTime();
    // Medium date and medium time in the user's locale; "" when not valid.
    XpStringT<char> GetLocalizedDateTimeString(DateFormat dateFormat = DateFormatShort,
                                               TimeFormat timeFormat = TimeFormatDefault,
                                               bool withSeconds = true) const;
    // The date alone: short for DateFormatShort, long otherwise; "" when not valid.
    XpStringT<char> GetLocalizedDateString(DateFormat dateFormat = DateFormatShort) const;
    // The time alone in the long style (with seconds and zone); "" when not valid.
    XpStringT<char> GetLocalizedTimeString(TimeFormat timeFormat = TimeFormatDefault,
                                           bool withSeconds = true) const;
    // Month name (1 to 12) from the C library's current time locale, abbreviated or full; ""
    // outside 1 to 12.
    static XpStringT<char> GetLocalizedMonthString(int month, bool abbreviated);
    // Weekday name (0 Sunday to 6) from the C library's current time locale; "" outside 0 to 6.
    static XpStringT<char> GetLocalizedWeekdayString(int weekday, bool abbreviated);

private:
    // Days before each month in a common year (365 at index 12), and days of each month (index 0
    // unused).
    static constexpr int gMonthDaysTotal[13] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};
    static constexpr int gMonthDays[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    // Day number of 1899-12-30 in the absolute day count of the field conversion.
    static constexpr int kDayOffset = 693959;
    // Half a second in days: added before truncation to round to the nearest second.
    static constexpr double kHalfSecond = 5.787037037037037e-6;

    // A value within +-2e9 days: beyond, or not a number, it is clamped so that no int conversion
    // overflows (a flag does not prove its value in range: '+=' keeps the flag).
    static double clampedForInt(double x);
    // The day number (truncated toward zero) times 86400 plus the rounded seconds of the day, of
    // a value clamped as above. The rounding carries into the fraction only, never into the day,
    // so half a second before midnight gives the day's 0 seconds.
    static long long wholeSeconds(double x);

    bool dateTimeFromRawInt(int year, int month, int day, int hour, int minute, int second,
                            double& out) const;
    bool dateTimeToRawInt(double x, int& year, int& month, int& day, int& hour, int& minute,
                          int& second, int& dayOfWeek) const;
    double doubleFromDate(double x) const;
    double dateFromDouble(double x) const;

    double value;
    bool valid;
};

// ---- inline members ----

inline XpDateTime::XpDateTime(int year, int month, int day, int hour, int minute, int second)
    : value(0.0), valid(false)
{
    valid = dateTimeFromRawInt(year, month, day, hour, minute, second, value);
}

inline bool XpDateTime::IsLeapYear(int year)
{
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

// n = year * 365 + leap days + days before the month + day, less one in January and February
// of a leap year; the day number is n less the offset, and the time of day is added to it, or
// taken away before 1899-12-30. The year is known to be positive here, so the divisions are
// unsigned, and the sign of the time of day is copied from the day number rather than branched
// on (d - t is d + -t exactly).
inline bool XpDateTime::dateTimeFromRawInt(int year, int month, int day, int hour, int minute, int second,
                                           double& out) const
{
    if (year < 100 || year > 9998 || month < 1 || month > 12)
        return false;
    const unsigned y = static_cast<unsigned>(year);
    const bool leap = y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
    const int maxDay = gMonthDays[month] + (leap && month == 2 ? 1 : 0);
    if (day < 1 || day > maxDay || static_cast<unsigned>(hour) > 23 || static_cast<unsigned>(minute) > 59 ||
        static_cast<unsigned>(second) > 59)
        return false;
    const int n = static_cast<int>(y * 365 + y / 4 - y / 100 + y / 400) + gMonthDaysTotal[month - 1] + day -
                  (month <= 2 && leap ? 1 : 0);
    const int d = n - kDayOffset;
    const double t = static_cast<double>(hour * 3600 + minute * 60 + second) / 86400.0;
    out = static_cast<double>(d) + __builtin_copysign(t, static_cast<double>(d));
    return true;
}

inline double XpDateTime::clampedForInt(double x)
{
    if (!(x >= -2.0e9))
        return -2.0e9;
    return x > 2.0e9 ? 2.0e9 : x;
}

// For x >= 0, |x + h| is |x| + h; for x < 0, |x - h| is |x| + h as well (rounding is symmetric),
// so one expression serves both signs. r and the scaled fraction are not negative, so truncation
// is their floor.
inline long long XpDateTime::wholeSeconds(double x)
{
    x = clampedForInt(x);
    const double r = __builtin_fabs(x) + kHalfSecond;
    const int secondOfDay = static_cast<int>((r - static_cast<double>(static_cast<int>(r))) * 86400);
    return static_cast<long long>(static_cast<int>(x)) * 86400 + secondOfDay;
}

inline bool XpDateTime::Span(const XpDateTime& other, long long& seconds) const
{
    if (!valid || !other.valid) {
        seconds = 0;
        return false;
    }
    seconds = wholeSeconds(value) - wholeSeconds(other.value);
    return true;
}

/** \} */

#endif
