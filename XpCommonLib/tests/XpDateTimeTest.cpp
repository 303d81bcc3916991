// Date-time: the day count and fields against days-from-civil (anchored at the range ends and
// around 1899-12-30), the negative-day encoding, spans, parsing, time_t and zones against the C
// library under several TZ values, and the localized texts.
#include <XpDateTime.h>

#include "../src/_XpDateTimeSub.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's days_from_civil).
long long daysFromCivil(long long y, int m, int d)
{
    y -= m <= 2;
    long long era = (y >= 0 ? y : y - 399) / 400, yoe = y - era * 400;
    long long doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

const long long OLE_EPOCH = -25569;   // 1899-12-30 counted from 1970-01-01
const long long FIRST_DAY = daysFromCivil(100, 1, 1), LAST_DAY = daysFromCivil(9998, 12, 31);
const double NOT_A_NUMBER = std::nan("");

// The stored value of a day (counted from 1970) and seconds of the day: negative-day encoding.
double oleValue(long long z, double secondsOfDay)
{
    double day = static_cast<double>(z - OLE_EPOCH), t = secondsOfDay / 86400.0;
    return day >= 0 ? day + t : day - t;
}

using Fields = std::array<int, 7>;   // year, month, day, hour, minute, second, day of week

Fields fieldsOf(const XpDateTime& dt)
{
    Fields f = {-9, -9, -9, -9, -9, -9, -9};
    dt.GetDateTime(f[0], f[1], f[2], f[3], f[4], f[5], f[6]);
    return f;
}

Fields fieldsOf(const struct tm& t) { return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, t.tm_wday}; }

// The flags and the stored values of date-times or spans, as "flag:value" words.
template <class... T> std::string states(const T&... x)
{
    std::string all;
    char word[64];
    ((snprintf(word, sizeof word, "%d:%.17g ", x.IsValid(), static_cast<double>(x)), all += word), ...);
    return all;
}

// Which of ==, !=, <, <=, >, >= hold, in this order, as '1' and '0'.
template <class T> std::string relations(const T& a, const T& b) { return {"01"[a == b], "01"[a != b], "01"[a < b], "01"[a <= b], "01"[a > b], "01"[a >= b]}; }

std::string str(const XpStringT<char>& s) { return s.GetBuffer(); }

// Sets an environment variable (TZ, LC_ALL) until the end of the scope, then restores it.
struct ScopedEnv {
    ScopedEnv(const char* n, const char* v) : name(n) { if (getenv(n)) old = getenv(n); set(v); }
    ~ScopedEnv() { set(old ? old->c_str() : nullptr); }
    void set(const char* v) { (v ? setenv(name, v, 1) : unsetenv(name)), tzset(); }
    const char* name;
    std::optional<std::string> old;
};

// The script of the first letter of a UTF-8 text by its first bytes: L Latin, C Cyrillic (U+0400
// to U+04FF), A Arabic (U+0600 to U+06FF), D Devanagari (U+0900 to U+097F).
char scriptOf(const std::string& t)
{
    for (size_t i = 0; i < t.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(t[i]), next = t[i + 1];
        if (isalpha(c) || (c >= 0xD0 && c <= 0xD3) || (c >= 0xD8 && c <= 0xDB) ||
            (c == 0xE0 && (next == 0xA4 || next == 0xA5)))
            return isalpha(c) ? 'L' : c <= 0xD3 ? 'C' : c <= 0xDB ? 'A' : 'D';
    }
    return '?';
}

} // namespace

TEST(XpDateTime, FieldsParsingArithmeticAndSpans)
{
    // Every date of the years 100 to 9998 at a time of day that wanders over the whole day, and
    // the same instant plus a fraction kept away from the half second, which must round to the
    // nearest second without carrying into the next day; the length of every month, the day of
    // the year (of the value on the first of the month, from the fields on the other days).
    long long failures = 0;
    for (int y = 100; y <= 9998; ++y) {
        long long jan1 = daysFromCivil(y, 1, 1), yearLength = daysFromCivil(y + 1, 1, 1) - jan1;
        bool ok = XpDateTime::IsLeapYear(y) == (yearLength == 366);
        for (int m = 1; m <= 12; ++m) {
            long long z0 = daysFromCivil(y, m, 1);
            int length = static_cast<int>(daysFromCivil(y + m / 12, m % 12 + 1, 1) - z0);
            ok = ok && XpDateTime::GetMonthDays(y, m) == length &&
                 !XpDateTime(y, m, length + 1, 0, 0, 0).IsValid() &&
                 !XpDateTime(y, m, 0, 0, 0, 0).IsValid();
            for (int d = 1; d <= length; ++d, ok = true) {
                long long z = z0 + d - 1;
                // The first day keeps midnight: its later times lie below the range (see below).
                int s = z == FIRST_DAY ? 0 : static_cast<int>((z * 7919 % 86400 + 86400) % 86400);
                int dayOfWeek = static_cast<int>(((z + 4) % 7 + 7) % 7);   // 1970-01-01: Thursday
                XpDateTime dt(y, m, d, s / 3600, s / 60 % 60, s % 60);
                ok = ok && dt.IsValid() && static_cast<double>(dt) == oleValue(z, s) &&
                     fieldsOf(dt) == Fields{y, m, d, s / 3600, s / 60 % 60, s % 60, dayOfWeek} &&
                     (d > 1 ? dt.GetTotalDays(y, m, d) : dt.GetDayOfYear()) == z - jan1 + 1;
                double frac = 0.05 + 0.1 * static_cast<int>(((z / 7) % 10 + 10) % 10);
                int r = (frac < 0.5 ? s : s + 1) % 86400;
                Fields rounded = {y, m, d, r / 3600, r / 60 % 60, r % 60, dayOfWeek};
                ok = ok && (z == FIRST_DAY || fieldsOf(XpDateTime(oleValue(z, s + frac))) ==
                                                  rounded);
                if (!ok && ++failures <= 5)
                    ADD_FAILURE() << y << "-" << m << "-" << d << " at second " << s;
            }
        }
    }
    EXPECT_EQ(failures, 0);

    // The sweep holds every day to oleValue; one value by hand holds oleValue to the encoding (a
    // negative day with its time subtracted). A time after the first day's midnight, which the
    // field conversion takes but which lies below the range and so does not decompose.
    XpDateTime morning(100, 1, 1, 6, 0, 0);
    EXPECT_EQ(states(XpDateTime(1899, 12, 29, 6, 0, 0), morning), "1:-1.25 1:-657434.25 ");
    // As a double the range reaches 9999-12-31 23:59:59, which the fields cannot give.
    EXPECT_EQ(fieldsOf(XpDateTime(2958465.999988426)), (Fields{9999, 12, 31, 23, 59, 59, 5}));
    EXPECT_FALSE(XpDateTime(std::nextafter(-657434.0, -1e9)).IsValid() ||
                 XpDateTime(2958466.0).IsValid() || morning.GetHour() != -1);
    EXPECT_EQ(fieldsOf(XpDateTime(NOT_A_NUMBER)), (Fields{-9, -9, -9, -9, -9, -9, -9}));

    // Years 100 to 9998 only, and no field outside its range; a rejected constructor leaves 0.0,
    // a rejected SetDateTime drops the flag but keeps the value.
    const int rejected[][6] = {{99, 12, 31, 23, 59, 59}, {9999, 1, 1, 0, 0, 0}, {2000, 0, 1, 0, 0, 0},
                               {2000, 1, 1, 24, 0, 0},   {2000, 1, 1, 0, 60, 0},  {2000, 1, 1, 0, 0, -1}};
    for (const auto& f : rejected) {
        XpDateTime dt(5.0);
        dt.SetDateTime(f[0], f[1], f[2], f[3], f[4], f[5]);
        EXPECT_EQ(states(XpDateTime(f[0], f[1], f[2], f[3], f[4], f[5]), dt), "0:0 0:5 ") << f[0];
    }
    EXPECT_EQ(XpDateTime::GetMonthDays(2000, 13) + XpDateTime::GetTotalDays(2000, 0, 1), -2);

    // FromString takes three to six fields.
    XpDateTime dt;
    EXPECT_TRUE(dt.FromString("2009-03-04", "%d-%d-%d") && dt == XpDateTime(2009, 3, 4, 0, 0, 0));
    EXPECT_TRUE(dt.FromString("  1899-12-29 06:00:00", "%d-%d-%d %d:%d:%d"));
    // Too few fields: false, nothing changes. Fields read but rejected: the flag drops.
    EXPECT_FALSE(dt.FromString("2009-03", "%d-%d-%d") || dt.FromString("2009-03-04", "%d-%d") ||
                 dt.FromString("garbage", "%d-%d-%d"));
    XpDateTime unchanged(dt);
    EXPECT_FALSE(dt.FromString("2009-02-30", "%d-%d-%d"));
    EXPECT_EQ(states(unchanged, dt), "1:-1.25 0:-1.25 ");

    // Random pairs over the whole range, every fourth near 1899-12-30 where the encoding changes:
    // the differences and comparisons agree with the day counts, and '+' and '-=' undo them.
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<long long> dayDist(FIRST_DAY + 1, LAST_DAY);
    std::uniform_int_distribution<int> secDist(0, 86399);
    failures = 0;
    for (int i = 0; i < 100000; ++i) {
        long long za = i % 4 ? dayDist(rng) : OLE_EPOCH - 3 + static_cast<long long>(rng() % 6);
        long long zb = i % 4 ? dayDist(rng) : OLE_EPOCH - 3 + static_cast<long long>(rng() % 6);
        int sa = secDist(rng), sb = secDist(rng);
        XpDateTime a(oleValue(za, sa)), b(oleValue(zb, sb)), moved(a);
        long long s = (za - zb) * 86400 + (sa - sb), span = 0;
        XpDateTimeSpan diff = a - b;
        moved -= diff;
        // The span's getters on these lengths of both signs: parts zero or of the length's sign.
        std::string order = s == 0 ? "100101" : s < 0 ? "011100" : "010011";
        bool ok = a.Span(b, span) && span == s && diff.GetTotalSeconds() == s &&
                  diff.GetSeconds() == s % 60 && diff.GetMinutes() == s / 60 % 60 &&
                  diff.GetHours() == s / 3600 % 24 && diff.GetTotalMinutes() == s / 60 &&
                  diff.GetTotalHours() == s / 3600 && diff.GetTotalDays() == s / 86400 &&
                  relations(a, b) == order && relations(diff, XpDateTimeSpan(0.0)) == order &&
                  std::fabs(static_cast<double>(b + diff) - static_cast<double>(a)) < 1e-6 &&
                  std::fabs(static_cast<double>(moved) - static_cast<double>(b)) < 1e-6 &&
                  static_cast<double>(a + XpDateTimeSpan(0.0)) == static_cast<double>(a);
        if (!ok && ++failures <= 5)
            ADD_FAILURE() << "a " << static_cast<double>(a) << " b " << static_cast<double>(b);
    }
    EXPECT_EQ(failures, 0);

    // Span needs two valid operands.
    long long seconds = 5, reversed = 5;
    EXPECT_FALSE(XpDateTime(1.0).Span(XpDateTime(), seconds) ||
                 XpDateTime().Span(XpDateTime(1.0), reversed) || seconds != 0 || reversed != 0);

    // '+', '-' and the shifts check the range of the result, '+=' keeps the flag; none reads the
    // flags of the operands.
    XpDateTime last(2958465.5), beyond(last), unset, end(9998, 12, 31, 0, 0, 0);
    beyond += XpDateTimeSpan(1.0);
    unset.ShiftToFoward(0, 0, 0);   // 0.0 is in range
    end.ShiftToFoward(24 * 400, 0, 0);
    EXPECT_EQ(states(last + XpDateTimeSpan(1.0), beyond, XpDateTime() + XpDateTimeSpan(1.0),
                     XpDateTime(1.0) - XpDateTimeSpan(5000000.0), unset, end),
              "0:2958466.5 1:2958466.5 1:1 0:-4999999 1:0 0:2958500 ");

    // The shift is hours * 3600 + minutes * 60 + seconds in 32-bit arithmetic that wraps around
    // (596524 hours are 2147486400 s, 2^32 more than the expected value), crossing day 0.
    XpDateTime start(1950, 1, 1, 0, 0, 0), forward(start), backward(start);
    long long f = 0, b = 0;
    EXPECT_TRUE(forward.ShiftToFoward(596524, 0, 0) && forward.Span(start, f) &&
                backward.ShiftToBackward(596524, 0, 0) && backward.Span(start, b));
    EXPECT_EQ(std::make_pair(f, b), std::make_pair(-2147480896LL, 2147480896LL));

    EXPECT_EQ(relations(XpDateTime(NOT_A_NUMBER), XpDateTime(NOT_A_NUMBER)), "010000");
    // Two invalid spans of one value are equal, <= and >= each other, never < or >; of two
    // values, nothing but unequal.
    XpDateTimeSpan beyondLimit(3615900.0);
    EXPECT_EQ(relations(beyondLimit, XpDateTimeSpan(3615900.0)) + relations(beyondLimit, XpDateTimeSpan(4e6)),
              "100101" "010000");

    // Only GetDays truncates without rounding to the second; out-of-range values saturate instead
    // of overflowing; NaN reads as 0.
    XpDateTimeSpan negative(-1.5), almostDay(0.99999999), almostMinusDay(-0.99999999);
    EXPECT_EQ((std::vector<long long>{negative.GetDays(), negative.GetHours(), almostDay.GetDays(),
                                      almostDay.GetTotalDays(), almostMinusDay.GetDays(),
                                      almostMinusDay.GetTotalDays(), XpDateTimeSpan(1e300).GetTotalHours(),
                                      XpDateTimeSpan(-1e300).GetTotalSeconds(),
                                      XpDateTimeSpan(NOT_A_NUMBER).GetTotalSeconds()}),
              (std::vector<long long>{-1, -12, 0, 1, 0, -1, INT_MAX, LLONG_MIN, 0}));

    XpDateTimeSpan span(3615899, 23, 59, 60), reset(span);
    EXPECT_FALSE(span.IsValid() || !reset.SetDateTimeSpan(1, 0, 0, 0).IsValid() ||
                 (reset = 3615900.0).IsValid());

    // An invalid operand gives an invalid 0.0; a result beyond the range keeps its value, flagged;
    // an accumulating span that met an invalid operand stays invalid; negation looks only at the
    // negated value.
    XpDateTimeSpan bad(5000000.0), big(3000000.0), acc(2.0), accumulated(big), spoiled(acc);
    accumulated += big;
    acc += XpDateTimeSpan(1.0);
    acc -= XpDateTimeSpan(0.5);
    spoiled -= bad;
    spoiled += XpDateTimeSpan(1.0);
    EXPECT_EQ(states(XpDateTimeSpan(1.0) + bad, bad - XpDateTimeSpan(1.0), big + big, accumulated,
                     acc, spoiled, XpDateTimeSpan(spoiled).checkRange(), -spoiled,
                     -XpDateTimeSpan(6000000.0)),
              "0:0 0:0 0:6000000 0:6000000 1:2.5 0:0 0:0 1:-0 0:-6000000 ");

}

TEST(XpDateTime, ZonesAndLocalizedTexts)
{
    // Instants spread over 1900 to 2100, and every quarter hour around the 2009 changes of summer
    // time in New York (clocks forward 2009-03-08 07:00 UTC, back 2009-11-01 06:00 UTC).
    std::vector<time_t> instants = {0, -1};
    std::mt19937_64 rng(11);
    for (int i = 0; i < 3000; ++i)
        instants.push_back(static_cast<time_t>(rng() % 6311433600ULL) - 2208988800LL);
    for (int q = -12; q <= 12; ++q)
        instants.insert(instants.end(), {1236495600 + q * 900, 1257055200 + q * 900});

    ScopedEnv tz("TZ", nullptr);
    for (const char* zone : {"Asia/Tokyo", "America/New_York", "UTC"}) {
        tz.set(zone);
        long long failures = 0;
        for (time_t t : instants) {
            struct tm local, utc, backLocal, backUtc;
            ASSERT_TRUE(localtime_r(&t, &local) && gmtime_r(&t, &utc));
            XpDateTime dt(static_cast<long>(t));
            // Back to time_t: the instant must have these local fields; it is t itself unless the
            // local time occurs twice (clocks going back), where it may be the other one.
            time_t back = static_cast<long>(dt);
            Fields u = fieldsOf(utc);
            XpDateTime gmt(u[0], u[1], u[2], u[3], u[4], u[5]);
            XpDateTime toUtc = _XpDateTimeSub().ConvertLocalTimeToUTC(dt);
            bool ok = dt.IsValid() && fieldsOf(dt) == fieldsOf(local) &&
                      localtime_r(&back, &backLocal) && fieldsOf(dt) == fieldsOf(backLocal) &&
                      (back == t || back == t - 3600 || back == t + 3600) &&
                      gmt.GmtToLocalTime() && states(gmt) == states(dt) &&
                      gmtime_r(&back, &backUtc) && toUtc.IsValid() &&
                      fieldsOf(toUtc) == fieldsOf(backUtc);
            if (!ok && ++failures <= 5)
                ADD_FAILURE() << zone << ": time_t " << t << " back " << back;
        }
        EXPECT_EQ(failures, 0);
    }

    // Conversions whose result leaves the years 100 to 9998 come out invalid, and an invalid value
    // is left alone.
    tz.set("Asia/Tokyo");
    XpDateTime nearEnd(9998, 12, 31, 20, 0, 0), invalid, before(nearEnd);
    _XpDateTimeSub sub;
    EXPECT_FALSE(sub.ConvertLocalTimeToUTC(XpDateTime(100, 1, 1, 5, 0, 0)).IsValid() ||
                 sub.ConvertLocalTimeToUTC(invalid).IsValid() || nearEnd.GmtToLocalTime() ||
                 invalid.GmtToLocalTime());
    EXPECT_EQ(states(nearEnd, invalid), "0:" + states(before).substr(2) + "0:0 ");
    EXPECT_EQ(static_cast<long>(invalid), -1L);
    // 02:30 on 2009-03-08 does not exist in New York; mktime reads it with the offset before the
    // change.
    tz.set("America/New_York");
    EXPECT_EQ(static_cast<long>(XpDateTime(2009, 3, 8, 2, 30, 0)), 1236497400L);

    // One step after another on this thread, each changing TZ or the locale of the one before
    // while the formatters of earlier steps are kept: the same wall-clock value shows the new
    // zone's name (a POSIX zone ICU does not know as its offset) and the new locale's script
    // (L, C, A, D as scriptOf). A glibc modifier picks the script; ICU has no Latin Belarusian,
    // so Belarusian stays Cyrillic rather than falling back to another language. A name that is
    // no locale name reads as "C" (ICU's udat_open crashes on this one).
    const char* const steps[][4] = {
        {"Asia/Tokyo", "en_US.UTF-8", "L", "GMT+9"}, {"America/New_York", "en_US.UTF-8", "L", "EST"},
        {"America/New_York", "sr_RS.UTF-8", "C", "GMT-5"}, {"XYZ-5:30", "sr_RS.UTF-8@latin", "L", "GMT+5:30"},
        {"Europe/Berlin", "uz_UZ.UTF-8@cyrillic", "C", "GMT+1"}, {"UTC", "100/1/1 0:0cnleia", "L", "UTC"},
        {"UTC", "be_BY.UTF-8@latin", "C", ""}, {"UTC", "ks_IN.UTF-8@devanagari", "D", ""}};
    XpDateTime dt(2009, 3, 4, 9, 5, 7);
    ScopedEnv locale("LC_ALL", nullptr);
    for (const auto& s : steps) {
        tz.set(s[0]);
        locale.set(s[1]);
        std::string date = str(dt.GetLocalizedDateString(XpDateTime::DateFormatLong));
        std::string time = str(dt.GetLocalizedTimeString());
        EXPECT_EQ(scriptOf(date), s[2][0]) << s[1] << ": " << date;
        bool shown = time.find("9:05:07") != std::string::npos &&
                     time.find(s[3]) != std::string::npos;
        EXPECT_TRUE(*s[3] == '\0' || shown) << s[0] << ": " << time;
    }

    // The styles: DateFormat 0 is the short date, any other int the long one; the date-time
    // text is medium whatever its arguments, and the time text ignores its own.
    locale.set("en_US.UTF-8");
    std::string dateTime = str(dt.GetLocalizedDateTimeString());
    EXPECT_TRUE(dateTime.find("Mar 4, 2009") != std::string::npos &&
                dateTime.find("9:05:07") != std::string::npos) << dateTime;
    EXPECT_EQ(str(dt.GetLocalizedDateString(XpDateTime::DateFormatShort)), "3/4/09");
    for (int f : {1, 2, -1, INT_MAX})
        EXPECT_EQ(str(dt.GetLocalizedDateString(static_cast<XpDateTime::DateFormat>(f))),
                  "March 4, 2009") << f;
    EXPECT_EQ(str(dt.GetLocalizedDateTimeString(static_cast<XpDateTime::DateFormat>(7),
                                                static_cast<XpDateTime::TimeFormat>(3), false)),
              dateTime);
    EXPECT_EQ(str(dt.GetLocalizedTimeString(static_cast<XpDateTime::TimeFormat>(9), false)),
              str(dt.GetLocalizedTimeString()));

    // The texts on several threads at once, each with its own formatters.
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([i, &failures] {
            for (int n = 0; n < 50; ++n)
                failures[i] += str(XpDateTime(2000 + i, 1 + n % 12, 1 + n % 28, n % 24, n, 0)
                                       .GetLocalizedDateTimeString())
                                   .find(std::to_string(2000 + i)) == std::string::npos;
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));

    // Far from 1970; a local time whose UTC time is in the year 9999; invalid values.
    XpDateTime early(100, 1, 2, 0, 0, 0), undecomposable(2958465.5);   // and the invalid one above
    EXPECT_EQ(str(early.GetLocalizedDateString(XpDateTime::DateFormatLong)), "January 2, 100");
    undecomposable += XpDateTimeSpan(1.0);   // still flagged valid, out of range
    tz.set("America/New_York");
    EXPECT_EQ(str(XpDateTime(9998, 12, 31, 23, 30, 0).GetLocalizedDateTimeString()) +
                  str(invalid.GetLocalizedDateTimeString()) +
                  str(invalid.GetLocalizedDateString()) + str(invalid.GetLocalizedTimeString()) +
                  str(undecomposable.GetLocalizedTimeString()), "");

    // Month and weekday names come from the C library's locale of the process, "C" here.
    std::string names;
    for (int n : {0, 1, 12, 13})
        names += str(XpDateTime::GetLocalizedMonthString(n, n == 1)) + ",";
    for (int n : {-1, 0, 6, 7})
        names += str(XpDateTime::GetLocalizedWeekdayString(n, n == 6)) + ",";
    EXPECT_EQ(names, ",Jan,December,,,Sunday,Sat,,");
}
