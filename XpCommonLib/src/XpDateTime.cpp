// Portable part of the date-time module: the day count, its fields, the continuous form used
// for arithmetic, spans, time_t conversion and parsing. The zone conversions and the localized
// texts live in the platform half (_XpDateTimeSub.h).
#include <XpDateTime.h>

#include "_XpDateTimeSub.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace {

const int DAY_OFFSET = 693959;   // as kDayOffset in the header
// Half a second in days: added before truncation to round to the nearest second.
const double HALF_SECOND = 5.787037037037037e-6;
const int SECONDS_PER_DAY = 86400;

const double MIN_DATE = -657434.0;             // 0100-01-01 00:00:00
const double MAX_DATE = 2958465.999988426;     // 9999-12-31 23:59:59
const double MAX_SPAN = 3615899.999988426;     // MAX_DATE - MIN_DATE in the continuous form


// A NaN fails both comparisons, so it is out of range.
bool dateInRange(double x)
{
    return x >= MIN_DATE && x <= MAX_DATE;
}

// A NaN passes: only values known to lie beyond a bound are out of range.
bool spanInRange(double x)
{
    return !(x > MAX_SPAN || x < -MAX_SPAN);
}

// Rounds a span to the nearest second: half a second away from zero (toward +inf for NaN).
double roundedSpan(double x)
{
    return x < 0 ? x - HALF_SECOND : x + HALF_SECOND;
}

// Truncation toward zero that saturates instead of converting out of range; NaN gives 0.
int truncToInt(double x)
{
    if (std::isnan(x))
        return 0;
    if (x >= 2147483647.0)
        return INT_MAX;
    if (x <= -2147483648.0)
        return INT_MIN;
    return static_cast<int>(x);
}

long long truncToLongLong(double x)
{
    if (std::isnan(x))
        return 0;
    if (x >= 9223372036854775807.0)
        return LLONG_MAX;
    if (x <= -9223372036854775808.0)
        return LLONG_MIN;
    return static_cast<long long>(x);
}

// Seconds of the day of a stored value within the range, rounded to the nearest second. The
// rounding carries into the fraction only, never into the day, so half a second before midnight
// gives 0. r and the scaled fraction are not negative, so truncation is their floor (and cheaper
// than a call to floor on the base x86-64 instruction set).
int secondsOfDay(double x)
{
    double r = x >= 0 ? std::fabs(x + HALF_SECOND) : std::fabs(x - HALF_SECOND);
    return static_cast<int>((r - static_cast<double>(static_cast<int>(r))) * SECONDS_PER_DAY);
}

// Day number of a stored value within the range: floor for days on or after 1899-12-30, ceil
// before, which is truncation toward zero in both cases.
int dayNumber(double x)
{
    return static_cast<int>(x);
}

} // namespace

// ==== XpDateTimeSpan =============================================================================

XpDateTimeSpan::XpDateTimeSpan() : valid(true), value(0.0) {}

XpDateTimeSpan::XpDateTimeSpan(int days, int hours, int minutes, int seconds) : valid(true), value(0.0)
{
    SetDateTimeSpan(days, hours, minutes, seconds);
}

XpDateTimeSpan::XpDateTimeSpan(double days) : valid(spanInRange(days)), value(days) {}

XpDateTimeSpan::~XpDateTimeSpan() {}

XpDateTimeSpan& XpDateTimeSpan::operator=(double days)
{
    value = days;
    valid = spanInRange(days);
    return *this;
}

XpDateTimeSpan& XpDateTimeSpan::SetDateTimeSpan(int days, int hours, int minutes, int seconds)
{
    value = static_cast<double>(days) + static_cast<double>(hours) / 24.0 +
            static_cast<double>(minutes) / 1440.0 + static_cast<double>(seconds) / 86400.0;
    valid = spanInRange(value);
    return *this;
}

XpDateTimeSpan& XpDateTimeSpan::checkRange()
{
    if (!spanInRange(value))
        valid = false;
    return *this;
}

int XpDateTimeSpan::GetDays() const
{
    return truncToInt(value);
}

int XpDateTimeSpan::GetTotalDays() const
{
    return truncToInt(roundedSpan(value));
}

int XpDateTimeSpan::GetTotalHours() const
{
    return truncToInt(roundedSpan(value) * 24);
}

long long XpDateTimeSpan::GetTotalMinutes() const
{
    return truncToLongLong(roundedSpan(value) * 1440);
}

long long XpDateTimeSpan::GetTotalSeconds() const
{
    return truncToLongLong(roundedSpan(value) * SECONDS_PER_DAY);
}

int XpDateTimeSpan::GetHours() const
{
    return GetTotalHours() % 24;
}

long long XpDateTimeSpan::GetMinutes() const
{
    return GetTotalMinutes() % 60;
}

long long XpDateTimeSpan::GetSeconds() const
{
    return GetTotalSeconds() % 60;
}

XpDateTimeSpan XpDateTimeSpan::operator+(const XpDateTimeSpan& other) const
{
    XpDateTimeSpan result(*this);
    result += other;
    return result;
}

XpDateTimeSpan XpDateTimeSpan::operator-(const XpDateTimeSpan& other) const
{
    XpDateTimeSpan result(*this);
    result -= other;
    return result;
}

XpDateTimeSpan& XpDateTimeSpan::operator+=(const XpDateTimeSpan& other)
{
    if (valid && other.valid) {
        value += other.value;
        valid = spanInRange(value);
    } else {
        valid = false;
        value = 0.0;
    }
    return *this;
}

XpDateTimeSpan& XpDateTimeSpan::operator-=(const XpDateTimeSpan& other)
{
    if (valid && other.valid) {
        value -= other.value;
        valid = spanInRange(value);
    } else {
        valid = false;
        value = 0.0;
    }
    return *this;
}

XpDateTimeSpan XpDateTimeSpan::operator-() const
{
    return XpDateTimeSpan(-value);
}

bool XpDateTimeSpan::operator==(const XpDateTimeSpan& other) const
{
    return valid == other.valid && value == other.value;
}

bool XpDateTimeSpan::operator!=(const XpDateTimeSpan& other) const
{
    return valid != other.valid || value != other.value;
}

bool XpDateTimeSpan::operator<(const XpDateTimeSpan& other) const
{
    return valid && other.valid && value < other.value;
}

bool XpDateTimeSpan::operator>(const XpDateTimeSpan& other) const
{
    return valid && other.valid && value > other.value;
}

bool XpDateTimeSpan::operator<=(const XpDateTimeSpan& other) const
{
    return *this < other || *this == other;
}

bool XpDateTimeSpan::operator>=(const XpDateTimeSpan& other) const
{
    return *this > other || *this == other;
}

// ==== XpDateTime: construction ===================================================================

XpDateTime::XpDateTime() : value(0.0), valid(false) {}

XpDateTime::XpDateTime(const XpDateTime& other) : value(other.value), valid(other.valid) {}

XpDateTime::XpDateTime(double v) : value(v), valid(dateInRange(v)) {}

XpDateTime::XpDateTime(long const& time) : value(0.0), valid(false)
{
    *this = time;
}

XpDateTime& XpDateTime::operator=(const XpDateTime& other)
{
    value = other.value;
    valid = other.valid;
    return *this;
}

XpDateTime& XpDateTime::operator=(double v)
{
    value = v;
    valid = dateInRange(v);
    return *this;
}

XpDateTime& XpDateTime::operator=(long const& time)
{
    std::tm local;
    if (!_XpTimeTToLocalTime(static_cast<time_t>(time), &local))
        return *this;
    valid = dateTimeFromRawInt(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                               local.tm_min, local.tm_sec, value);
    return *this;
}

// ==== XpDateTime: fields =========================================================================

bool XpDateTime::dateTimeToRawInt(double x, int& year, int& month, int& day, int& hour, int& minute,
                                  int& second, int& dayOfWeek) const
{
    if (!dateInRange(x))
        return false;

    int s = secondsOfDay(x);
    second = s % 60;
    minute = (s / 60) % 60;
    hour = s / 3600;

    // The day comes from the unrounded value.
    int a = dayNumber(x) + DAY_OFFSET;
    dayOfWeek = (a - 1) % 7;

    int q400 = a / 146097;        // whole 400-year blocks
    a %= 146097;
    int c = (a - 1) / 36524;      // century within the block
    int q4 = 0;                   // 4-year block within the century
    int d4 = 0;                   // day within the 4-year block (later: within the year)
    bool leapBlock = true;
    if (c != 0) {
        a = (a - 1) % 36524;
        q4 = (a + 1) / 1461;
        if (q4 != 0) {
            d4 = (a + 1) % 1461;
        } else {
            // First 4 years of a century not divisible by 400: no leap year among them.
            leapBlock = false;
            year = q400 * 400 + c * 100 + a / 365;
            d4 = a % 365;
        }
    } else {
        q4 = a / 1461;
        d4 = a % 1461;
    }

    if (leapBlock) {
        int y = (d4 - 1) / 365;   // year within the block; 0 is the leap year (366 days)
        if (y != 0)
            d4 = (d4 - 1) % 365;
        year = q400 * 400 + c * 100 + q4 * 4 + y;
        if (y == 0) {
            if (d4 == 59) {
                month = 2;
                day = 29;
                return true;
            }
            if (d4 >= 60)
                --d4;
        }
    }

    int n = d4 + 1;               // day of a common year, 1 to 365
    month = n / 32 + 1;
    while (n > gMonthDaysTotal[month])
        ++month;
    day = n - gMonthDaysTotal[month - 1];
    return true;
}

double XpDateTime::doubleFromDate(double x) const
{
    return x < 0 ? 2 * std::ceil(x) - x : x;
}

double XpDateTime::dateFromDouble(double x) const
{
    return x < 0 ? 2 * std::floor(x) - x : x;
}

bool XpDateTime::SetDateTime(int year, int month, int day, int hour, int minute, int second)
{
    valid = dateTimeFromRawInt(year, month, day, hour, minute, second, value);
    return valid;
}

bool XpDateTime::GetDateTime(int& year, int& month, int& day, int& hour, int& minute, int& second,
                             int& dayOfWeek) const
{
    if (!valid)
        return false;
    int f[7];
    if (!dateTimeToRawInt(value, f[0], f[1], f[2], f[3], f[4], f[5], f[6]))
        return false;
    year = f[0];
    month = f[1];
    day = f[2];
    hour = f[3];
    minute = f[4];
    second = f[5];
    dayOfWeek = f[6];
    return true;
}

namespace {

enum Field { YEAR, MONTH, DAY, HOUR, MINUTE, SECOND, DAY_OF_WEEK };

} // namespace

// One field of GetDateTime, or -1.
#define XP_DATETIME_FIELD(f)                                                                       \
    int fields[7];                                                                                 \
    if (!GetDateTime(fields[YEAR], fields[MONTH], fields[DAY], fields[HOUR], fields[MINUTE],       \
                     fields[SECOND], fields[DAY_OF_WEEK]))                                         \
        return -1;                                                                                 \
    return fields[f]

int XpDateTime::GetYear() const { XP_DATETIME_FIELD(YEAR); }
int XpDateTime::GetMonth() const { XP_DATETIME_FIELD(MONTH); }
int XpDateTime::GetDay() const { XP_DATETIME_FIELD(DAY); }
int XpDateTime::GetHour() const { XP_DATETIME_FIELD(HOUR); }
int XpDateTime::GetMinute() const { XP_DATETIME_FIELD(MINUTE); }
int XpDateTime::GetSecond() const { XP_DATETIME_FIELD(SECOND); }
int XpDateTime::GetDayOfWeek() const { XP_DATETIME_FIELD(DAY_OF_WEEK); }

#undef XP_DATETIME_FIELD

int XpDateTime::GetDayOfYear() const
{
    int year, month, day, hour, minute, second, dayOfWeek;
    if (!GetDateTime(year, month, day, hour, minute, second, dayOfWeek))
        return -1;
    return GetTotalDays(year, month, day);
}

int XpDateTime::GetMonthDays(int year, int month)
{
    if (month < 1 || month > 12)
        return -1;
    if (month == 2 && IsLeapYear(year))
        return 29;
    return gMonthDays[month];
}

int XpDateTime::GetTotalDays(int year, int month, int day)
{
    if (month < 1 || month > 12)
        return -1;
    return day + gMonthDaysTotal[month - 1] + (month >= 3 && IsLeapYear(year) ? 1 : 0);
}

XpDateTime XpDateTime::GetNow()
{
    long now = static_cast<long>(time(nullptr));
    return XpDateTime(now);
}

// ==== XpDateTime: time_t and text ================================================================

bool _XpLocalTimeToTimeT(XpDateTime const& t, time_t* out)
{
    int year, month, day, hour, minute, second, dayOfWeek;
    if (!t.GetDateTime(year, month, day, hour, minute, second, dayOfWeek))
        return false;
    struct tm local = {};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;   // let the zone's rules say whether summer time applies
    errno = 0;
    *out = mktime(&local);
    // -1 is also the valid second before 1970; only errno tells a failure from it.
    return !(*out == static_cast<time_t>(-1) && errno != 0);
}

XpDateTime::operator long() const
{
    time_t t;
    return _XpLocalTimeToTimeT(*this, &t) ? static_cast<long>(t) : -1;
}

bool XpDateTime::FromString(XpStringT<char> const& text, XpStringT<char> const& format)
{
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    int count = sscanf(text.GetBuffer(), format.GetBuffer(), &year, &month, &day, &hour, &minute,
                       &second);
    switch (count) {
    case 3: hour = 0; [[fallthrough]];
    case 4: minute = 0; [[fallthrough]];
    case 5: second = 0; [[fallthrough]];
    case 6: break;
    default: return false;
    }
    valid = dateTimeFromRawInt(year, month, day, hour, minute, second, value);
    return valid;
}

// ==== XpDateTime: arithmetic and comparison ======================================================

XpDateTimeSpan XpDateTime::operator-(const XpDateTime& other) const
{
    return XpDateTimeSpan(doubleFromDate(value) - doubleFromDate(other.value));
}

XpDateTime XpDateTime::operator+(XpDateTimeSpan span) const
{
    return XpDateTime(dateFromDouble(doubleFromDate(value) + static_cast<double>(span)));
}

XpDateTime XpDateTime::operator-(XpDateTimeSpan span) const
{
    return XpDateTime(dateFromDouble(doubleFromDate(value) - static_cast<double>(span)));
}

XpDateTime& XpDateTime::operator+=(XpDateTimeSpan span)
{
    value = dateFromDouble(doubleFromDate(value) + static_cast<double>(span));
    return *this;
}

XpDateTime& XpDateTime::operator-=(XpDateTimeSpan span)
{
    value = dateFromDouble(doubleFromDate(value) - static_cast<double>(span));
    return *this;
}

namespace {

// hours * 3600 + minutes * 60 + seconds as a 32-bit integer, wrapping around modulo 2^32 like the
// platform's int arithmetic does, but without signed overflow.
double shiftInDays(int hours, int minutes, int seconds)
{
    uint32_t sum = static_cast<uint32_t>(hours) * 3600u + static_cast<uint32_t>(minutes) * 60u +
                   static_cast<uint32_t>(seconds);
    long long shift = sum <= 0x7FFFFFFFu ? static_cast<long long>(sum)
                                         : static_cast<long long>(sum) - 0x100000000LL;
    return static_cast<double>(shift) / 86400.0;
}

} // namespace

bool XpDateTime::ShiftToFoward(int hours, int minutes, int seconds)
{
    value = dateFromDouble(doubleFromDate(value) + shiftInDays(hours, minutes, seconds));
    valid = dateInRange(value);
    return valid;
}

bool XpDateTime::ShiftToBackward(int hours, int minutes, int seconds)
{
    value = dateFromDouble(doubleFromDate(value) - shiftInDays(hours, minutes, seconds));
    valid = dateInRange(value);
    return valid;
}

bool XpDateTime::operator==(const XpDateTime& other) const
{
    return doubleFromDate(value) == doubleFromDate(other.value);
}

bool XpDateTime::operator!=(const XpDateTime& other) const
{
    return doubleFromDate(value) != doubleFromDate(other.value);
}

bool XpDateTime::operator<(const XpDateTime& other) const
{
    return doubleFromDate(value) < doubleFromDate(other.value);
}

bool XpDateTime::operator<=(const XpDateTime& other) const
{
    return doubleFromDate(value) <= doubleFromDate(other.value);
}

bool XpDateTime::operator>(const XpDateTime& other) const
{
    return doubleFromDate(value) > doubleFromDate(other.value);
}

bool XpDateTime::operator>=(const XpDateTime& other) const
{
    return doubleFromDate(value) >= doubleFromDate(other.value);
}

// ==== XpDateTime: local time and localized text ==================================================

bool XpDateTime::GmtToLocalTime()
{
    int year, month, day, hour, minute, second, dayOfWeek;
    if (!GetDateTime(year, month, day, hour, minute, second, dayOfWeek))
        return false;
    XpDateTime local = _XpDateTimeSub().ConvertUTCToLocalTime(*this);
    valid = local.valid;
    if (valid)
        value = local.value;
    return valid;
}

XpStringT<char> XpDateTime::GetLocalizedDateTimeString(DateFormat, TimeFormat, bool) const
{
    int f[7];
    if (!GetDateTime(f[0], f[1], f[2], f[3], f[4], f[5], f[6]))
        return XpStringT<char>();
    return _XpDateTimeSub().GetLocalizedDateTimeString(*this);
}

XpStringT<char> XpDateTime::GetLocalizedDateString(DateFormat dateFormat) const
{
    int f[7];
    if (!GetDateTime(f[0], f[1], f[2], f[3], f[4], f[5], f[6]))
        return XpStringT<char>();
    return _XpDateTimeSub().GetLocalizedDateString(*this, dateFormat == DateFormatShort);
}

XpStringT<char> XpDateTime::GetLocalizedTimeString(TimeFormat, bool) const
{
    int f[7];
    if (!GetDateTime(f[0], f[1], f[2], f[3], f[4], f[5], f[6]))
        return XpStringT<char>();
    return _XpDateTimeSub().GetLocalizedTimeString(*this);
}

namespace {

XpStringT<char> nameFromStrftime(const char* format, const struct tm& fields)
{
    char area[128] = {};
    // strftime returns 0 and leaves the area undefined when the name does not fit; the area is
    // zero-filled again so that such a name comes out as "".
    if (strftime(area, sizeof area, format, &fields) == 0)
        area[0] = '\0';
    return XpStringT<char>(area);
}

} // namespace

XpStringT<char> XpDateTime::GetLocalizedMonthString(int month, bool abbreviated)
{
    struct tm fields = {};
    if (month < 1 || month > 12)
        return XpStringT<char>("");
    fields.tm_mon = month - 1;
    return nameFromStrftime(abbreviated ? "%b" : "%B", fields);
}

XpStringT<char> XpDateTime::GetLocalizedWeekdayString(int weekday, bool abbreviated)
{
    struct tm fields = {};
    if (weekday < 0 || weekday > 6)
        return XpStringT<char>("");
    fields.tm_wday = weekday;
    return nameFromStrftime(abbreviated ? "%a" : "%A", fields);
}
