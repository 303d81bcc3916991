// Tests of the date-time module: the day count and its fields against independent references
// (a table computed with Python's datetime, and the days-from-civil algorithm written here),
// the negative-day encoding in arithmetic, spans, parsing, time_t and zone conversions against
// the C library under several TZ values, and the localized texts.
#include <XpDateTime.h>

#include "../src/_XpDateTimeSub_Linux.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
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
const double NOT_A_NUMBER = std::numeric_limits<double>::quiet_NaN();

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

Fields fieldsOf(const struct tm& tm)
{
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
            tm.tm_wday};
}

// The flag and the stored value of a date-time or a span.
using State = std::pair<bool, double>;
template <class T> State state(const T& x) { return {x.IsValid(), static_cast<double>(x)}; }

// Which of ==, !=, <, <=, >, >= hold, in this order, as '1' and '0'.
template <class T> std::string relations(const T& a, const T& b)
{
    std::string r;
    for (bool holds : {a == b, a != b, a < b, a <= b, a > b, a >= b})
        r += holds ? '1' : '0';
    return r;
}

std::string str(const XpStringT<char>& s) { return s.GetBuffer(); }

// Sets an environment variable (TZ, LC_ALL) and restores or removes it on destruction.
struct ScopedEnv {
    ScopedEnv(const char* n, const char* v) : name(n), had(getenv(n)), old(had ? getenv(n) : "")
    {
        set(v);
    }
    ~ScopedEnv() { set(had ? old.c_str() : nullptr); }
    void set(const char* v)
    {
        v ? setenv(name, v, 1) : unsetenv(name);
        tzset();
    }
    const char* name;
    bool had;
    std::string old;
};

// Made with Python's datetime: the fields; the stored value from (date - 1899-12-30).days and the
// seconds of the day; weekday (0 Sunday); day of the year.
struct Row {
    int y, mo, d, h, mi, s;
    double value;
    int dayOfWeek, dayOfYear;
};

const Row PYTHON_TABLE[] = {
    {100, 1, 1, 0, 0, 0, -657434.0, 5, 1}, {100, 2, 28, 23, 59, 59, -657376.9999884259, 0, 59},
    {204, 2, 29, 0, 0, 1, -619391.0000115741, 3, 60},
    {266, 1, 26, 23, 26, 39, -596779.9768402778, 5, 26},
    {1147, 10, 5, 15, 27, 5, -274749.6438078704, 0, 278},
    {1582, 10, 15, 0, 0, 0, -115858.0, 5, 288}, {1600, 2, 29, 6, 30, 0, -109512.27083333333, 2, 60},
    {1700, 3, 1, 0, 0, 0, -72987.0, 1, 60}, {1899, 12, 29, 6, 0, 0, -1.25, 5, 363},
    {1899, 12, 29, 23, 59, 59, -1.999988425925926, 5, 363}, {1899, 12, 30, 0, 0, 0, 0.0, 6, 364},
    {1899, 12, 31, 0, 0, 1, 1.000011574074074, 0, 365}, {1900, 1, 1, 0, 0, 0, 2.0, 1, 1},
    {1900, 3, 1, 0, 0, 0, 61.0, 4, 60}, {2000, 2, 29, 13, 14, 15, 36585.5515625, 2, 60},
    {2000, 12, 31, 23, 59, 59, 36891.99998842592, 0, 366},
    {2038, 1, 19, 3, 14, 8, 50424.13481481482, 2, 19},
    {4000, 2, 29, 1, 2, 3, 767070.0430902778, 2, 60},
    {6487, 3, 13, 20, 43, 4, 1675441.8632407407, 4, 72},
    {8672, 8, 12, 10, 53, 48, 2473648.454027778, 1, 225},
    {9998, 12, 31, 23, 59, 59, 2958100.999988426, 4, 365},
};

} // namespace

// ==== field conversion and decomposition ========================================================

TEST(XpDateTimeFields, MatchPythonDatetimeTable)
{
    for (const Row& r : PYTHON_TABLE) {
        SCOPED_TRACE(testing::Message() << r.y << "-" << r.mo << "-" << r.d << " " << r.value);
        EXPECT_EQ(state(XpDateTime(r.y, r.mo, r.d, r.h, r.mi, r.s)), State(true, r.value));
        XpDateTime back(r.value);   // decomposes the stored double, not the fields just given
        EXPECT_EQ(fieldsOf(back), (Fields{r.y, r.mo, r.d, r.h, r.mi, r.s, r.dayOfWeek}));
        EXPECT_EQ(back.GetDayOfYear(), r.dayOfYear);
        EXPECT_EQ(XpDateTime::GetTotalDays(r.y, r.mo, r.d), r.dayOfYear);
    }
}

TEST(XpDateTimeFields, EveryDayOfTheRangeMatchesDaysFromCivil)
{
    // Every date of the years 100 to 9998 at a time of day that wanders over the whole day, and
    // the same instant plus a fraction kept away from the half second, which must round to the
    // nearest second without carrying into the next day; the length of every month.
    long long failures = 0;
    for (int y = 100; y <= 9998; ++y) {
        long long yearLength = daysFromCivil(y + 1, 1, 1) - daysFromCivil(y, 1, 1);
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
                ok = ok && state(dt) == State(true, oleValue(z, s)) &&
                     fieldsOf(dt) == Fields{y, m, d, s / 3600, s / 60 % 60, s % 60, dayOfWeek};
                double frac = 0.05 + 0.1 * static_cast<int>(((z / 7) % 10 + 10) % 10);
                int r = (frac < 0.5 ? s : s + 1) % 86400;
                Fields rounded = {y, m, d, r / 3600, r / 60 % 60, r % 60, dayOfWeek};
                XpDateTime later(oleValue(z, s + frac));
                ok = ok && (z == FIRST_DAY || fieldsOf(later) == rounded);
                if (!ok && ++failures <= 5)
                    ADD_FAILURE() << y << "-" << m << "-" << d << " at second " << s;
            }
        }
    }
    EXPECT_EQ(failures, 0);
}

TEST(XpDateTimeFields, RangeLimitsRejectedFieldsAndRounding)
{
    // Years 100 to 9998 only, and no field outside its range; a rejected constructor leaves 0.0.
    const int rejected[][6] = {{99, 12, 31, 23, 59, 59}, {9999, 1, 1, 0, 0, 0},
                               {2000, 0, 1, 0, 0, 0},    {2000, 13, 1, 0, 0, 0},
                               {2000, 1, 1, 24, 0, 0},   {2000, 1, 1, -1, 0, 0},
                               {2000, 1, 1, 0, 60, 0},   {2000, 1, 1, 0, 0, 60},
                               {2000, 1, 1, 0, 0, -1}};
    for (const auto& f : rejected)
        EXPECT_EQ(state(XpDateTime(f[0], f[1], f[2], f[3], f[4], f[5])), State(false, 0.0)) << f[0];
    EXPECT_EQ(XpDateTime::GetMonthDays(2000, 13), -1);
    EXPECT_EQ(XpDateTime::GetTotalDays(2000, 0, 1), -1);

    // A rejected SetDateTime drops the flag but keeps the value.
    XpDateTime dt(2009, 3, 4, 0, 0, 0);
    double before = dt;
    EXPECT_FALSE(dt.SetDateTime(2009, 2, 30, 0, 0, 0));
    EXPECT_EQ(state(dt), State(false, before));
    EXPECT_EQ(dt.GetDayOfYear(), -1);

    // As a double the range reaches 9999-12-31 23:59:59, which the fields cannot give.
    EXPECT_EQ(fieldsOf(XpDateTime(2958465.999988426)), (Fields{9999, 12, 31, 23, 59, 59, 5}));
    for (double outside : {std::nextafter(-657434.0, -1e9), 2958466.0, NOT_A_NUMBER})
        EXPECT_FALSE(XpDateTime(outside).IsValid()) << outside;
    EXPECT_EQ(XpDateTime(NOT_A_NUMBER).GetHour(), -1);
    EXPECT_EQ(fieldsOf(XpDateTime()), (Fields{-9, -9, -9, -9, -9, -9, -9}));   // outputs untouched
    // Times of 0100-01-01 after midnight are stored below -657434.0: the field conversion takes
    // them, but they do not decompose.
    XpDateTime morning(100, 1, 1, 6, 0, 0);
    EXPECT_EQ(state(morning), State(true, -657434.25));
    EXPECT_EQ(morning.GetHour(), -1);

    // Less than half a second before midnight: 00:00:00 of the day that is ending.
    EXPECT_EQ(fieldsOf(XpDateTime(0.99999999)), (Fields{1899, 12, 30, 0, 0, 0, 6}));
    EXPECT_EQ(fieldsOf(XpDateTime(-1.99999999)), (Fields{1899, 12, 29, 0, 0, 0, 5}));
    EXPECT_EQ(fieldsOf(XpDateTime(oleValue(LAST_DAY, 86399.7))),
              (Fields{9998, 12, 31, 0, 0, 0, 4}));
}

// ==== arithmetic and comparison =================================================================

TEST(XpDateTimeArithmetic, NegativeDaysGoThroughTheContinuousForm)
{
    XpDateTime early(-1.25);   // 1899-12-29 06:00
    XpDateTime later = early + XpDateTimeSpan(0.5);
    EXPECT_EQ(static_cast<double>(later), -1.75);   // 18:00 of the same day
    EXPECT_EQ(relations(later, early), "010011");
    EXPECT_EQ(static_cast<double>(later - early), 0.5);
    XpDateTime d0(1899, 12, 30, 3, 0, 0);   // back six hours across day 0, and forward again
    EXPECT_TRUE(d0.ShiftToBackward(6, 0, 0));
    EXPECT_EQ(static_cast<double>(d0), -1.875);
    EXPECT_TRUE(d0.ShiftToFoward(6, 0, 0));
    EXPECT_EQ(static_cast<double>(d0), 0.125);

    // Random pairs over the whole range, every fourth near 1899-12-30 where the encoding changes:
    // the differences and comparisons agree with the day counts, and the shifts undo each other.
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<long long> dayDist(FIRST_DAY + 1, LAST_DAY);
    std::uniform_int_distribution<int> secDist(0, 86399);
    long long failures = 0;
    for (int i = 0; i < 100000; ++i) {
        long long za = i % 4 ? dayDist(rng) : OLE_EPOCH - 3 + static_cast<long long>(rng() % 6);
        long long zb = i % 4 ? dayDist(rng) : OLE_EPOCH - 3 + static_cast<long long>(rng() % 6);
        int sa = secDist(rng), sb = secDist(rng);
        XpDateTime a(oleValue(za, sa)), b(oleValue(zb, sb)), moved(a);
        long long s = (za - zb) * 86400 + (sa - sb), span = 0;
        XpDateTimeSpan diff = a - b;
        moved -= diff;
        // The span's getters on these lengths of both signs: parts zero or of the length's sign.
        bool ok = a.Span(b, span) && span == s && diff.GetTotalSeconds() == s &&
                  diff.GetSeconds() == s % 60 && diff.GetMinutes() == s / 60 % 60 &&
                  diff.GetHours() == s / 3600 % 24 && diff.GetTotalMinutes() == s / 60 &&
                  diff.GetTotalHours() == s / 3600 && diff.GetTotalDays() == s / 86400 &&
                  relations(a, b) == (s == 0 ? "100101" : s < 0 ? "011100" : "010011") &&
                  std::fabs(static_cast<double>(b + diff) - static_cast<double>(a)) < 1e-6 &&
                  std::fabs(static_cast<double>(moved) - static_cast<double>(b)) < 1e-6 &&
                  static_cast<double>(a + XpDateTimeSpan(0.0)) == static_cast<double>(a);
        if (!ok && ++failures <= 5)
            ADD_FAILURE() << "a " << static_cast<double>(a) << " b " << static_cast<double>(b)
                          << " seconds " << s << " span " << span;
    }
    EXPECT_EQ(failures, 0);
}

TEST(XpDateTimeArithmetic, FlagsAndRangeOfResults)
{
    long long seconds = 5, reversed = 5;
    EXPECT_FALSE(XpDateTime(1.0).Span(XpDateTime(), seconds));
    EXPECT_FALSE(XpDateTime().Span(XpDateTime(1.0), reversed));
    EXPECT_EQ(std::make_pair(seconds, reversed), std::make_pair(0LL, 0LL));

    // '+', '-' and the shifts check the range of the result, '+=' keeps the flag; none reads the
    // flags of the operands.
    XpDateTime last(2958465.5), beyond(last), unset, end(9998, 12, 31, 0, 0, 0);
    EXPECT_FALSE((last + XpDateTimeSpan(1.0)).IsValid());
    EXPECT_TRUE((last - XpDateTimeSpan(1.0)).IsValid());
    beyond += XpDateTimeSpan(1.0);
    EXPECT_EQ(state(beyond), State(true, 2958466.5));
    EXPECT_EQ(beyond.GetYear(), -1);   // does not decompose
    EXPECT_EQ(static_cast<long>(beyond), -1L);
    EXPECT_TRUE((XpDateTime() + XpDateTimeSpan(1.0)).IsValid());
    EXPECT_EQ(state(XpDateTime(1.0) - XpDateTimeSpan(5000000.0)), State(false, -4999999.0));
    EXPECT_TRUE(unset.ShiftToFoward(0, 0, 0));   // 0.0 is in range
    EXPECT_TRUE(unset.IsValid());
    EXPECT_FALSE(end.ShiftToFoward(24 * 400, 0, 0));
    EXPECT_FALSE(end.IsValid());

    // The difference of two dates is a span with its own range test.
    EXPECT_TRUE((XpDateTime(5.0) - XpDateTime()).IsValid());
    XpDateTimeSpan whole = XpDateTime(2958465.999988426) - XpDateTime(-657434.0);
    EXPECT_TRUE(whole.IsValid());
    EXPECT_EQ(whole.GetTotalSeconds(), (daysFromCivil(9999, 12, 31) - FIRST_DAY) * 86400LL + 86399);
    EXPECT_EQ(relations(XpDateTime(NOT_A_NUMBER), XpDateTime(NOT_A_NUMBER)), "010000");
}

// ==== spans =====================================================================================

TEST(XpDateTimeSpan, GettersRangeAndArithmetic)
{
    // Only GetDays truncates without rounding to the second.
    XpDateTimeSpan negative(-1.5), almostDay(0.99999999), almostMinusDay(-0.99999999);
    EXPECT_EQ(XpDateTimeSpan(2, 3, -4, 5).GetTotalMinutes(), 2 * 1440 + 3 * 60 - 4);
    EXPECT_EQ(std::make_pair(negative.GetDays(), negative.GetHours()), std::make_pair(-1, -12));
    EXPECT_EQ(std::make_pair(almostDay.GetDays(), almostDay.GetTotalDays()), std::make_pair(0, 1));
    EXPECT_EQ(almostMinusDay.GetDays(), 0);
    EXPECT_EQ(almostMinusDay.GetTotalDays(), -1);
    // Out-of-range values saturate instead of overflowing; NaN reads as 0.
    EXPECT_EQ(XpDateTimeSpan(1e300).GetTotalHours(), std::numeric_limits<int>::max());
    EXPECT_EQ(XpDateTimeSpan(-1e300).GetTotalSeconds(), std::numeric_limits<long long>::min());
    EXPECT_EQ(XpDateTimeSpan(NOT_A_NUMBER).GetTotalSeconds(), 0);

    const double limit = 3615899.999988426;   // the distance between the ends of the date range
    for (double v : {0.0, limit, -limit, NOT_A_NUMBER})
        EXPECT_TRUE(XpDateTimeSpan(v).IsValid()) << v;
    for (double v : {3615900.0, -3615900.0})
        EXPECT_FALSE(XpDateTimeSpan(v).IsValid()) << v;
    XpDateTimeSpan span(3615899, 23, 59, 60);
    EXPECT_FALSE(span.IsValid());
    EXPECT_TRUE(span.SetDateTimeSpan(1, 0, 0, 0).IsValid());
    EXPECT_FALSE((span = 3615900.0).IsValid());

    // An invalid operand gives an invalid 0.0; a result beyond the range keeps its value, flagged.
    XpDateTimeSpan bad(5000000.0), big(3000000.0), acc(2.0), accumulated(big);
    accumulated += big;
    EXPECT_EQ(state(XpDateTimeSpan(1.0) + bad), State(false, 0.0));
    EXPECT_EQ(state(bad - XpDateTimeSpan(1.0)), State(false, 0.0));
    EXPECT_EQ(state(big + big), State(false, 6000000.0));
    EXPECT_EQ(state(accumulated), State(false, 6000000.0));
    acc += XpDateTimeSpan(1.0);
    acc -= XpDateTimeSpan(0.5);
    EXPECT_EQ(state(acc), State(true, 2.5));
    acc -= bad;
    EXPECT_EQ(state(acc), State(false, 0.0));
    acc += XpDateTimeSpan(1.0);   // stays invalid: this operand is invalid now
    EXPECT_FALSE(acc.IsValid());
    EXPECT_FALSE(XpDateTimeSpan(acc).checkRange().IsValid());   // never sets the flag
    // Negation looks only at the negated value: the invalid 0.0 negates to a valid -0.0.
    EXPECT_EQ(state(-acc), State(true, -0.0));
    EXPECT_EQ(state(-XpDateTimeSpan(6000000.0)), State(false, -6000000.0));
}

TEST(XpDateTimeSpan, ComparisonsLookAtTheFlags)
{
    XpDateTimeSpan one(1.0), two(2.0), nan(NOT_A_NUMBER);
    EXPECT_EQ(relations(one, two), "011100");
    EXPECT_EQ(relations(two, one), "010011");
    EXPECT_EQ(relations(one, XpDateTimeSpan(0, 24, 0, 0)), "100101");
    EXPECT_EQ(relations(nan, nan), "010000");

    // Two invalid spans of one value are equal, and <=, >= each other, never < or >.
    XpDateTimeSpan beyond(std::nextafter(3615899.999988426, 4e6));
    EXPECT_EQ(relations(beyond, XpDateTimeSpan(static_cast<double>(beyond))), "100101");
    EXPECT_EQ(relations(beyond, XpDateTimeSpan(4e6)), "010000");
    EXPECT_EQ(relations(beyond, one), "010000");
    EXPECT_EQ(relations(XpDateTimeSpan(), one + XpDateTimeSpan(5e6)), "010000");   // invalid 0.0
}

// ==== parsing ===================================================================================

TEST(XpDateTimeText, FromStringTakesThreeToSixFields)
{
    XpDateTime dt;
    EXPECT_TRUE(dt.FromString("2009-03-04", "%d-%d-%d"));
    EXPECT_EQ(state(dt), state(XpDateTime(2009, 3, 4, 0, 0, 0)));
    EXPECT_TRUE(dt.FromString("2009-03-04 05", "%d-%d-%d %d"));
    EXPECT_EQ(state(dt), state(XpDateTime(2009, 3, 4, 5, 0, 0)));
    EXPECT_TRUE(dt.FromString("2009/3/4T5.6", "%d/%d/%dT%d.%d"));
    EXPECT_EQ(state(dt), state(XpDateTime(2009, 3, 4, 5, 6, 0)));
    EXPECT_TRUE(dt.FromString("  1899-12-29 06:00:00", "%d-%d-%d %d:%d:%d"));
    EXPECT_EQ(state(dt), State(true, -1.25));

    // Too few fields: false, nothing changes. Fields read but rejected: the flag drops.
    for (const char* text : {"2009-03", "", "garbage"})
        EXPECT_FALSE(dt.FromString(text, "%d-%d-%d")) << text;
    EXPECT_FALSE(dt.FromString("2009-03-04", "%d-%d"));
    EXPECT_EQ(state(dt), State(true, -1.25));
    EXPECT_FALSE(dt.FromString("2009-02-30", "%d-%d-%d"));
    EXPECT_EQ(state(dt), State(false, -1.25));
}

// ==== time_t and the local time zone ============================================================

TEST(XpDateTimeZones, TimeTAndZoneConversionsMatchTheCLibrary)
{
    // Instants spread over 1900 to 2100, and every quarter hour around the 2009 changes of summer
    // time in New York (clocks forward 2009-03-08 07:00 UTC, back 2009-11-01 06:00 UTC).
    std::vector<time_t> instants = {0, -1};
    std::mt19937_64 rng(11);
    std::uniform_int_distribution<long long> dist(-2208988800LL, 4102444800LL);
    for (int i = 0; i < 3000; ++i)
        instants.push_back(static_cast<time_t>(dist(rng)));
    for (int q = -12; q <= 12; ++q)
        instants.insert(instants.end(), {1236495600 + q * 900, 1257055200 + q * 900});

    for (const char* zone : {"Asia/Tokyo", "America/New_York", "UTC"}) {
        SCOPED_TRACE(zone);
        ScopedEnv tz("TZ", zone);
        long long failures = 0, repeatedHours = 0;
        for (time_t t : instants) {
            struct tm local, utc, backLocal, backUtc;
            ASSERT_TRUE(localtime_r(&t, &local) && gmtime_r(&t, &utc));
            XpDateTime dt(static_cast<long>(t)), assigned(1.0);
            assigned = static_cast<long>(t);
            // Back to time_t: the instant must have these local fields; it is t itself unless the
            // local time occurs twice (clocks going back), where it may be the other one.
            time_t back = static_cast<long>(dt);
            Fields u = fieldsOf(utc);
            XpDateTime gmt(u[0], u[1], u[2], u[3], u[4], u[5]);
            XpDateTime toUtc = _XpDateTimeSub_Linux().ConvertLocalTimeToUTC(dt);
            bool ok = dt.IsValid() && fieldsOf(dt) == fieldsOf(local) &&
                      state(assigned) == state(dt) && localtime_r(&back, &backLocal) &&
                      fieldsOf(dt) == fieldsOf(backLocal) &&
                      (back == t || back == t - 3600 || back == t + 3600) &&
                      gmt.GmtToLocalTime() && state(gmt) == state(dt) &&
                      gmtime_r(&back, &backUtc) && toUtc.IsValid() &&
                      fieldsOf(toUtc) == fieldsOf(backUtc);
            repeatedHours += back != t;
            if (!ok && ++failures <= 5)
                ADD_FAILURE() << "time_t " << t << " back " << back;
        }
        EXPECT_EQ(failures, 0);
        // New York's sample holds the hour repeated on 2009-11-01; mktime resolves it to one of
        // the two instants, so some samples come back an hour apart.
        EXPECT_TRUE(std::string(zone) != "America/New_York" || repeatedHours > 0);
    }
}

TEST(XpDateTimeZones, NowOutOfRangeResultsGapsAndLeapSeconds)
{
    {
        ScopedEnv tz("TZ", "Asia/Tokyo");
        time_t start = time(nullptr);
        long now = XpDateTime::GetNow();   // an invalid value would give -1
        EXPECT_TRUE(now >= start && now <= time(nullptr)) << now << " after " << start;
        // Conversions whose result leaves the years 100 to 9998 come out invalid; an invalid
        // value is left alone.
        _XpDateTimeSub_Linux sub;
        EXPECT_FALSE(sub.ConvertLocalTimeToUTC(XpDateTime(100, 1, 1, 5, 0, 0)).IsValid());
        XpDateTime nearEnd(9998, 12, 31, 20, 0, 0), invalid;
        double before = nearEnd;
        EXPECT_FALSE(nearEnd.GmtToLocalTime());
        EXPECT_EQ(state(nearEnd), State(false, before));
        EXPECT_FALSE(invalid.GmtToLocalTime());
        EXPECT_EQ(state(invalid), State(false, 0.0));
        EXPECT_FALSE(sub.ConvertLocalTimeToUTC(invalid).IsValid());
        EXPECT_EQ(static_cast<long>(invalid), -1L);
    }
    {
        // 02:30 on 2009-03-08 does not exist in New York; mktime reads it with the offset before
        // the change.
        ScopedEnv tz("TZ", "America/New_York");
        EXPECT_EQ(static_cast<long>(XpDateTime(2009, 3, 8, 2, 30, 0)), 1236497400L);
    }
    // A leap second has no field value: the constructor gives invalid 0.0, the assignment keeps
    // the old value and drops the flag.
    ScopedEnv tz("TZ", "right/UTC");
    struct tm newYear = {}, leapTm;
    newYear.tm_year = 117, newYear.tm_mday = 1, newYear.tm_isdst = -1;
    time_t leap = mktime(&newYear) - 1;
    if (!localtime_r(&leap, &leapTm) || leapTm.tm_sec != 60)
        GTEST_SKIP() << "no leap-second zone data";
    XpDateTime fromLeap(static_cast<long>(leap)), assigned(5.0);
    assigned = static_cast<long>(leap);
    EXPECT_EQ(state(fromLeap), State(false, 0.0));
    EXPECT_EQ(state(assigned), State(false, 5.0));
}

// ==== localized text ============================================================================

TEST(XpDateTimeText, LocalizedTextsFollowLocaleAndZoneOnAnyThread)
{
    ScopedEnv tz("TZ", "Asia/Tokyo");
    ScopedEnv all("LC_ALL", "en_US.UTF-8");
    XpDateTime dt(2009, 3, 4, 9, 5, 7);
    std::string dateTime = str(dt.GetLocalizedDateTimeString());
    std::string time = str(dt.GetLocalizedTimeString());
    EXPECT_NE(dateTime.find("Mar 4, 2009"), std::string::npos) << dateTime;
    EXPECT_NE(dateTime.find("9:05:07"), std::string::npos) << dateTime;
    EXPECT_EQ(str(dt.GetLocalizedDateString(XpDateTime::DateFormatShort)), "3/4/09");
    EXPECT_EQ(str(dt.GetLocalizedDateString(XpDateTime::DateFormatLong)), "March 4, 2009");
    EXPECT_NE(time.find("9:05:07"), std::string::npos) << time;
    EXPECT_NE(time.find("GMT+9"), std::string::npos) << time;
    // The arguments other than the date style do not change the text.
    EXPECT_EQ(str(dt.GetLocalizedDateTimeString(XpDateTime::DateFormatLong,
                                                XpDateTime::TimeFormatDefault, false)), dateTime);
    // A date far from 1970.
    XpDateTime early(100, 1, 2, 0, 0, 0);
    EXPECT_EQ(str(early.GetLocalizedDateString(XpDateTime::DateFormatLong)), "January 2, 100");
    {
        ScopedEnv lang("LC_ALL", "ja_JP.UTF-8");
        EXPECT_EQ(str(dt.GetLocalizedDateString(XpDateTime::DateFormatLong)), "2009年3月4日");
        EXPECT_NE(str(dt.GetLocalizedTimeString()).find("9:05:07"), std::string::npos);
    }
    {
        // The zone is read at each call: the same wall-clock value shows the same wall-clock
        // text, with New York's summer-time zone name.
        ScopedEnv ny("TZ", "America/New_York");
        std::string summer = str(XpDateTime(2009, 7, 1, 12, 0, 0).GetLocalizedTimeString());
        EXPECT_NE(summer.find("12:00:00"), std::string::npos) << summer;
        EXPECT_NE(summer.find("EDT"), std::string::npos) << summer;
        // Local 9998-12-31 23:30 is in the year 9999 in UTC: no text.
        EXPECT_EQ(str(XpDateTime(9998, 12, 31, 23, 30, 0).GetLocalizedDateTimeString()), "");
    }
    XpDateTime invalid, undecomposable(2958465.5);
    undecomposable += XpDateTimeSpan(1.0);   // still flagged valid, out of range
    EXPECT_EQ(str(invalid.GetLocalizedDateTimeString()), "");
    EXPECT_EQ(str(invalid.GetLocalizedDateString()), "");
    EXPECT_EQ(str(invalid.GetLocalizedTimeString()), "");
    EXPECT_EQ(str(undecomposable.GetLocalizedTimeString()), "");

    // The same conversions and texts on several threads at once.
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([i, &failures] {
            for (int n = 0; n < 50; ++n) {
                XpDateTime local(2000 + i, 1 + n % 12, 1 + n % 28, n % 24, n, 0);
                std::string text = str(local.GetLocalizedDateTimeString());
                long long seconds = 0;
                XpDateTime utc = _XpDateTimeSub_Linux().ConvertLocalTimeToUTC(local);
                failures[i] += text.find(std::to_string(2000 + i)) == std::string::npos ||
                               !local.Span(utc, seconds) || seconds != 9 * 3600;
            }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

TEST(XpDateTimeText, MonthAndWeekdayNamesFromTheCLocale)
{
    EXPECT_EQ(str(XpDateTime::GetLocalizedMonthString(1, true)), "Jan");
    EXPECT_EQ(str(XpDateTime::GetLocalizedMonthString(12, false)), "December");
    EXPECT_EQ(str(XpDateTime::GetLocalizedWeekdayString(0, false)), "Sunday");
    EXPECT_EQ(str(XpDateTime::GetLocalizedWeekdayString(6, true)), "Sat");
    for (int outside : {0, 13})
        EXPECT_EQ(str(XpDateTime::GetLocalizedMonthString(outside, false)), "");
    for (int outside : {-1, 7})
        EXPECT_EQ(str(XpDateTime::GetLocalizedWeekdayString(outside, true)), "");
}
