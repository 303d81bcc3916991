// Tests of the date-time module: the day count and its fields against independent references
// (a table computed with Python's datetime, and the days-from-civil algorithm written here),
// the negative-day encoding in arithmetic, spans, parsing, time_t and zone conversions against
// the C library under several TZ values, and the localized texts.
#include <XpDateTime.h>

#include "../src/_XpDateTimeSub_Linux.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

// ---- independent references -------------------------------------------------------------------

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's days_from_civil).
long long daysFromCivil(long long y, int m, int d)
{
    y -= m <= 2;
    long long era = (y >= 0 ? y : y - 399) / 400;
    long long yoe = y - era * 400;
    long long doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// The inverse: the date of a day count since 1970-01-01.
void civilFromDays(long long z, int& y, int& m, int& d)
{
    z += 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long doe = z - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

// 1899-12-30 counted from 1970-01-01.
const long long OLE_EPOCH = -25569;

// The stored day count of a day (since 1970) and seconds of the day, negative-day encoding.
double oleValue(long long z, double secondsOfDay)
{
    long long day = z - OLE_EPOCH;
    double t = secondsOfDay / 86400.0;
    return day >= 0 ? static_cast<double>(day) + t : static_cast<double>(day) - t;
}

struct Fields {
    int year, month, day, hour, minute, second, dayOfWeek;
};

Fields fieldsOf(const XpDateTime& dt)
{
    Fields f = {-9, -9, -9, -9, -9, -9, -9};
    dt.GetDateTime(f.year, f.month, f.day, f.hour, f.minute, f.second, f.dayOfWeek);
    return f;
}

std::tuple<int, int, int, int, int, int, int> asTuple(const Fields& f)
{
    return std::make_tuple(f.year, f.month, f.day, f.hour, f.minute, f.second, f.dayOfWeek);
}

std::string str(const XpStringT<char>& s)
{
    return std::string(s.GetBuffer());
}

// Sets TZ (or removes it for nullptr) and restores the previous value on destruction.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name)
    {
        const char* old = getenv(name);
        hadOld_ = old != nullptr;
        if (hadOld_)
            old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
        tzset();
    }
    ~ScopedEnv()
    {
        if (hadOld_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
        tzset();
    }

private:
    const char* name_;
    bool hadOld_ = false;
    std::string old_;
};

// ---- reference table made with Python's datetime -----------------------------------------------
// Each row: year, month, day, hour, minute, second; the stored day count computed from
// (date - 1899-12-30).days and the seconds of the day; weekday (0 Sunday); day of the year.
struct Row {
    int y, mo, d, h, mi, s;
    double value;
    int dayOfWeek, dayOfYear;
};

const Row PYTHON_TABLE[] = {
    {100, 1, 1, 0, 0, 0, -657434.0, 5, 1},
    {100, 2, 28, 23, 59, 59, -657376.9999884259, 0, 59},
    {100, 3, 1, 12, 0, 0, -657375.5, 1, 60},
    {204, 2, 29, 0, 0, 1, -619391.0000115741, 3, 60},
    {1582, 10, 15, 0, 0, 0, -115858.0, 5, 288},
    {1600, 2, 29, 6, 30, 0, -109512.27083333333, 2, 60},
    {1700, 3, 1, 0, 0, 0, -72987.0, 1, 60},
    {1899, 12, 29, 6, 0, 0, -1.25, 5, 363},
    {1899, 12, 29, 23, 59, 59, -1.999988425925926, 5, 363},
    {1899, 12, 30, 0, 0, 0, 0.0, 6, 364},
    {1899, 12, 30, 12, 0, 0, 0.5, 6, 364},
    {1899, 12, 31, 0, 0, 1, 1.000011574074074, 0, 365},
    {1900, 1, 1, 0, 0, 0, 2.0, 1, 1},
    {1900, 2, 28, 18, 0, 0, 60.75, 3, 59},
    {1900, 3, 1, 0, 0, 0, 61.0, 4, 60},
    {1970, 1, 1, 0, 0, 0, 25569.0, 4, 1},
    {2000, 2, 29, 13, 14, 15, 36585.5515625, 2, 60},
    {2000, 12, 31, 23, 59, 59, 36891.99998842592, 0, 366},
    {2038, 1, 19, 3, 14, 8, 50424.13481481482, 2, 19},
    {4000, 2, 29, 1, 2, 3, 767070.0430902778, 2, 60},
    {9998, 12, 31, 23, 59, 59, 2958100.999988426, 4, 365},
    {266, 1, 26, 23, 26, 39, -596779.9768402778, 5, 26},
    {360, 8, 29, 0, 40, 52, -562231.0283796296, 1, 242},
    {4618, 1, 11, 14, 58, 36, 992741.6240277778, 0, 11},
    {2217, 10, 13, 3, 33, 52, 116069.14851851852, 1, 286},
    {6487, 3, 13, 20, 43, 4, 1675441.8632407407, 4, 72},
    {7282, 1, 4, 21, 16, 9, 1965741.8862152777, 0, 4},
    {6449, 1, 10, 0, 25, 27, 1661500.0176736112, 0, 10},
    {4590, 7, 29, 13, 21, 50, 982714.5568287037, 4, 210},
    {2726, 11, 28, 10, 6, 2, 302023.4208564815, 0, 332},
    {2253, 4, 12, 8, 47, 20, 129034.3662037037, 2, 102},
    {6141, 9, 1, 18, 12, 58, 1549239.7590046297, 5, 244},
    {7650, 10, 5, 16, 43, 24, 2100424.6968055554, 3, 278},
    {1147, 10, 5, 15, 27, 5, -274749.6438078704, 0, 278},
    {6983, 1, 3, 18, 0, 32, 1856532.7503703705, 5, 3},
    {8672, 8, 12, 10, 53, 48, 2473648.454027778, 1, 225},
    {7849, 7, 18, 19, 33, 39, 2173028.8150347224, 3, 199},
    {7780, 2, 4, 16, 29, 15, 2147662.6869791667, 5, 35},
    {906, 2, 16, 1, 22, 31, -363003.05730324076, 2, 47},
    {4787, 1, 7, 1, 12, 8, 1054463.0500925926, 3, 7},
    {1404, 10, 29, 16, 48, 50, -180857.7005787037, 1, 303},
    {1217, 9, 24, 22, 37, 23, -249192.94262731483, 0, 267},
    {2472, 8, 11, 6, 27, 39, 209144.2692013889, 4, 224},
    {7019, 10, 1, 8, 53, 28, 1869951.370462963, 5, 274},
    {2662, 7, 13, 7, 44, 29, 278510.32255787036, 0, 194},
    {1641, 10, 10, 17, 30, 12, -94313.72930555555, 4, 283},
    {1246, 6, 10, 18, 50, 47, -238706.7852662037, 0, 161},
    {7409, 6, 29, 5, 14, 21, 2012302.218298611, 4, 180},
    {4786, 1, 14, 6, 39, 0, 1054105.2770833333, 2, 14},
    {9495, 4, 5, 0, 43, 42, 2774113.030347222, 5, 95},
    {3320, 4, 14, 10, 20, 18, 518750.4307638889, 0, 105},
    {1071, 4, 10, 1, 42, 50, -302685.071412037, 1, 100},
    {5963, 1, 22, 2, 49, 52, 1484003.117962963, 2, 22},
    {2726, 10, 11, 19, 33, 33, 301975.8149652778, 1, 284},
    {1973, 9, 26, 23, 10, 26, 26933.965578703705, 3, 269},
    {4690, 11, 21, 9, 45, 51, 1019353.4068402778, 5, 325},
    {8529, 5, 24, 7, 15, 27, 2421338.302395833, 2, 144},
    {8323, 5, 7, 23, 33, 29, 2346080.9815856484, 1, 127},
    {197, 9, 7, 1, 38, 6, -621756.068125, 4, 250},
    {2049, 10, 28, 6, 54, 29, 54724.287835648145, 4, 301},
    {3378, 12, 13, 20, 10, 17, 540177.840474537, 0, 347},
    {9588, 10, 20, 7, 24, 26, 2808279.3086342593, 4, 294},
    {3564, 6, 24, 22, 20, 55, 607940.9311921296, 3, 176},
    {1118, 6, 16, 20, 54, 18, -285452.87104166666, 0, 167},
    {9585, 7, 28, 20, 15, 27, 2807099.8440625, 0, 209},
    {4594, 1, 12, 4, 0, 2, 983977.1666898148, 0, 12},
    {2775, 6, 21, 2, 49, 34, 319760.11775462964, 6, 172},
    {7191, 11, 8, 3, 31, 6, 1932811.1465972222, 5, 312},
    {7406, 11, 22, 15, 29, 23, 2011352.6454050925, 6, 326},
    {1232, 10, 5, 18, 55, 15, -243702.78836805557, 2, 279},
    {9262, 2, 22, 14, 1, 21, 2688970.5842708335, 3, 53},
    {4038, 10, 3, 14, 5, 17, 781166.5870023149, 0, 276},
    {634, 5, 25, 10, 45, 46, -462251.44844907406, 0, 145},
    {8074, 4, 9, 10, 58, 44, 2255108.4574537035, 1, 99},
    {9096, 4, 27, 6, 2, 9, 2628404.2514930554, 1, 118},
    {8459, 11, 28, 4, 38, 34, 2395959.193449074, 5, 332},
    {9708, 2, 18, 0, 30, 50, 2851863.021412037, 6, 49},
    {6008, 7, 22, 17, 30, 55, 1500621.7298032406, 2, 204},
    {4554, 9, 29, 18, 14, 59, 969627.7604050926, 0, 272},
    {5294, 2, 23, 19, 35, 25, 1239689.8162615742, 2, 54},
    {8870, 12, 29, 0, 40, 19, 2546105.027997685, 1, 363},
    {9271, 7, 23, 0, 27, 44, 2692408.019259259, 4, 204},
    {2660, 10, 16, 13, 39, 7, 277875.5688310185, 2, 290},
    {5983, 12, 28, 15, 27, 27, 1491648.6440625, 3, 362},
    {1711, 7, 23, 9, 43, 34, -68826.40525462963, 4, 204},
    {5646, 12, 20, 21, 30, 40, 1368554.8962962963, 4, 354},
    {1313, 12, 3, 1, 3, 34, -214059.04414351852, 0, 337},
    {9419, 4, 22, 3, 1, 49, 2746371.126261574, 4, 112},
    {3468, 11, 2, 10, 35, 37, 573008.441400463, 1, 307},
    {5234, 7, 2, 6, 10, 8, 1217903.257037037, 0, 183},
    {5065, 6, 25, 19, 49, 32, 1156170.8260648148, 0, 176},
    {7390, 1, 5, 19, 17, 27, 2005188.8037847222, 2, 5},
    {7985, 8, 7, 8, 50, 30, 2222721.3684027777, 3, 219},
    {5416, 11, 8, 7, 52, 54, 1284506.3284027777, 5, 313},
    {7526, 7, 8, 23, 25, 41, 2055044.9761689815, 4, 189},
    {7085, 10, 15, 6, 20, 5, 1894072.2639467593, 4, 288},
    {6223, 4, 1, 13, 58, 41, 1579035.5824189815, 2, 91},
    {6022, 5, 16, 16, 2, 2, 1505667.6680787038, 1, 136},
    {5530, 1, 7, 12, 27, 10, 1325838.5188657406, 2, 7},
    {7415, 10, 28, 0, 6, 26, 2014614.0044675926, 6, 301},
    {6319, 3, 15, 15, 35, 20, 1614081.6495370371, 6, 74},
};

} // namespace

// ==== field conversion and decomposition ========================================================

TEST(XpDateTimeFields, MatchPythonDatetimeTable)
{
    for (const Row& r : PYTHON_TABLE) {
        SCOPED_TRACE(testing::Message() << r.y << "-" << r.mo << "-" << r.d << " " << r.h << ":"
                                        << r.mi << ":" << r.s);
        XpDateTime dt(r.y, r.mo, r.d, r.h, r.mi, r.s);
        ASSERT_TRUE(dt.IsValid());
        EXPECT_EQ(static_cast<double>(dt), r.value);

        // Decomposition of the stored double, not of the fields just given.
        XpDateTime back(r.value);
        ASSERT_TRUE(back.IsValid());
        EXPECT_EQ(asTuple(fieldsOf(back)), std::make_tuple(r.y, r.mo, r.d, r.h, r.mi, r.s, r.dayOfWeek));
        EXPECT_EQ(back.GetDayOfWeek(), r.dayOfWeek);
        EXPECT_EQ(back.GetDayOfYear(), r.dayOfYear);
        EXPECT_EQ(XpDateTime::GetTotalDays(r.y, r.mo, r.d), r.dayOfYear);
    }
}

TEST(XpDateTimeFields, EveryDayOfTheRangeMatchesDaysFromCivil)
{
    long long first = daysFromCivil(100, 1, 1);
    long long last = daysFromCivil(9998, 12, 31);
    long long failures = 0;
    for (long long z = first; z <= last; ++z) {
        int y, m, d;
        civilFromDays(z, y, m, d);
        // A time of day that wanders over the whole day from one date to the next. The first day
        // keeps midnight: its later times lie below the range (see FirstDayOfTheRange).
        int secs = z == first ? 0 : static_cast<int>((z * 7919 % 86400 + 86400) % 86400);
        XpDateTime dt(y, m, d, secs / 3600, secs / 60 % 60, secs % 60);
        double expected = oleValue(z, secs);
        Fields f = fieldsOf(dt);
        int dayOfWeek = static_cast<int>(((z + 4) % 7 + 7) % 7);   // 1970-01-01 was a Thursday
        bool ok = dt.IsValid() && static_cast<double>(dt) == expected && f.year == y &&
                  f.month == m && f.day == d && f.hour * 3600 + f.minute * 60 + f.second == secs &&
                  f.dayOfWeek == dayOfWeek;
        if (!ok && ++failures <= 5)
            ADD_FAILURE() << y << "-" << m << "-" << d << " secs " << secs << ": value "
                          << static_cast<double>(dt) << " expected " << expected << ", got "
                          << f.year << "-" << f.month << "-" << f.day << " dow " << f.dayOfWeek;
    }
    EXPECT_EQ(failures, 0);
}

TEST(XpDateTimeFields, RejectsFieldsOutsideTheCalendar)
{
    // Month lengths against the independent day count, over every year.
    long long failures = 0;
    for (int y = 100; y <= 9998; ++y) {
        for (int m = 1; m <= 12; ++m) {
            int ny = m == 12 ? y + 1 : y, nm = m == 12 ? 1 : m + 1;
            int length = static_cast<int>(daysFromCivil(ny, nm, 1) - daysFromCivil(y, m, 1));
            bool ok = XpDateTime::GetMonthDays(y, m) == length &&
                      XpDateTime(y, m, length, 0, 0, 0).IsValid() &&
                      !XpDateTime(y, m, length + 1, 0, 0, 0).IsValid() &&
                      !XpDateTime(y, m, 0, 0, 0, 0).IsValid();
            if (!ok && ++failures <= 5)
                ADD_FAILURE() << y << "-" << m << " length " << length;
        }
        if (XpDateTime::IsLeapYear(y) != (daysFromCivil(y + 1, 1, 1) - daysFromCivil(y, 1, 1) == 366))
            ++failures;
    }
    EXPECT_EQ(failures, 0);

    // Years 100 to 9998 only, and no field outside its range; a rejected constructor leaves 0.0.
    const int rejected[][6] = {{99, 12, 31, 23, 59, 59}, {9999, 1, 1, 0, 0, 0}, {2000, 0, 1, 0, 0, 0},
                               {2000, 13, 1, 0, 0, 0},   {2000, 1, 1, 24, 0, 0}, {2000, 1, 1, -1, 0, 0},
                               {2000, 1, 1, 0, 60, 0},   {2000, 1, 1, 0, 0, 60}, {2000, 1, 1, 0, 0, -1},
                               {1900, 2, 29, 0, 0, 0},   {2001, 2, 29, 0, 0, 0}, {2001, 4, 31, 0, 0, 0}};
    for (const auto& f : rejected) {
        XpDateTime dt(f[0], f[1], f[2], f[3], f[4], f[5]);
        EXPECT_FALSE(dt.IsValid()) << f[0] << "-" << f[1] << "-" << f[2];
        EXPECT_EQ(static_cast<double>(dt), 0.0);
    }
    EXPECT_EQ(XpDateTime::GetMonthDays(2000, 13), -1);
    EXPECT_EQ(XpDateTime::GetTotalDays(2000, 0, 1), -1);

    // A rejected SetDateTime clears the flag but keeps the value.
    XpDateTime dt(2009, 3, 4, 0, 0, 0);
    double before = dt;
    EXPECT_FALSE(dt.SetDateTime(2009, 2, 30, 0, 0, 0));
    EXPECT_FALSE(dt.IsValid());
    EXPECT_EQ(static_cast<double>(dt), before);
    EXPECT_EQ(dt.GetYear(), -1);
    EXPECT_EQ(dt.GetDayOfYear(), -1);
    EXPECT_TRUE(dt.SetDateTime(2009, 3, 5, 0, 0, 0));
    EXPECT_EQ(static_cast<double>(dt), before + 1);
}

TEST(XpDateTimeFields, RangeLimitsAndFixedPoints)
{
    XpDateTime first(100, 1, 1, 0, 0, 0);
    EXPECT_TRUE(first.IsValid());
    EXPECT_EQ(static_cast<double>(first), -657434.0);

    XpDateTime last(2958465.999988426);
    ASSERT_TRUE(last.IsValid());
    Fields f = fieldsOf(last);
    EXPECT_EQ(asTuple(f), std::make_tuple(9999, 12, 31, 23, 59, 59, 5));
    EXPECT_EQ(last.GetDayOfYear(), 365);

    EXPECT_FALSE(XpDateTime(std::nextafter(-657434.0, -1e9)).IsValid());
    EXPECT_FALSE(XpDateTime(2958466.0).IsValid());
    XpDateTime nan(std::numeric_limits<double>::quiet_NaN());
    EXPECT_FALSE(nan.IsValid());
    EXPECT_EQ(nan.GetHour(), -1);
    int a = 7, b = 7, c = 7, d = 7, e = 7, g = 7, h = 7;
    EXPECT_FALSE(XpDateTime().GetDateTime(a, b, c, d, e, g, h));
    EXPECT_EQ(a + b + c + d + e + g + h, 49);   // outputs untouched

    EXPECT_EQ(XpDateTime(2004, 2, 29, 0, 0, 0).GetDayOfYear(), 60);
    EXPECT_EQ(XpDateTime(2004, 3, 1, 0, 0, 0).GetDayOfYear(), 61);
    EXPECT_EQ(XpDateTime::GetTotalDays(2001, 3, 1), 60);
    EXPECT_EQ(XpDateTime(2004, 12, 31, 0, 0, 0).GetDayOfYear(), 366);
}

TEST(XpDateTimeFields, FirstDayOfTheRange)
{
    // Times of 0100-01-01 after midnight are stored below -657434.0 by the negative-day encoding.
    // The field conversion takes them, but the range ends at -657434.0: they do not decompose,
    // and a value rebuilt from the double is invalid.
    XpDateTime morning(100, 1, 1, 6, 0, 0);
    EXPECT_TRUE(morning.IsValid());
    EXPECT_EQ(static_cast<double>(morning), -657434.25);
    EXPECT_EQ(morning.GetHour(), -1);
    EXPECT_FALSE(XpDateTime(-657434.25).IsValid());
    EXPECT_TRUE(XpDateTime(100, 1, 2, 6, 0, 0).IsValid());
    EXPECT_EQ(XpDateTime(100, 1, 2, 6, 0, 0).GetHour(), 6);
}

TEST(XpDateTimeFields, TimeOfDayRoundsToTheNearestSecond)
{
    XpDateTime noon(0.5);
    Fields f = fieldsOf(noon);
    EXPECT_EQ(f.year * 10000 + f.month * 100 + f.day, 18991230);
    EXPECT_EQ(f.hour, 12);

    // Less than half a second before midnight: 00:00:00 of the day that is ending.
    f = fieldsOf(XpDateTime(0.99999999));
    EXPECT_EQ(f.year * 10000 + f.month * 100 + f.day, 18991230);
    EXPECT_EQ(f.hour + f.minute + f.second, 0);
    f = fieldsOf(XpDateTime(-1.99999999));
    EXPECT_EQ(f.year * 10000 + f.month * 100 + f.day, 18991229);
    EXPECT_EQ(f.hour + f.minute + f.second, 0);

    // Values built from a day, a second and a fraction kept away from the half second, so the
    // expected rounding is not in doubt at any magnitude of the day count.
    std::mt19937_64 rng(42);
    long long first = daysFromCivil(100, 1, 1), last = daysFromCivil(9998, 12, 31);
    std::uniform_int_distribution<long long> dayDist(first + 1, last);   // see FirstDayOfTheRange
    std::uniform_int_distribution<int> secDist(0, 86399);
    std::uniform_real_distribution<double> fracDist(0.0, 0.9);
    long long failures = 0;
    for (int i = 0; i < 200000; ++i) {
        long long z = dayDist(rng);
        int s = i % 50 == 0 ? 86399 : secDist(rng);
        double frac = fracDist(rng);
        if (frac >= 0.45)
            frac += 0.1;   // 0.45 to 0.55 is left out
        int rounded = frac < 0.5 ? s : s + 1;
        if (rounded == 86400)
            rounded = 0;   // the day is not carried
        int y, m, d;
        civilFromDays(z, y, m, d);
        XpDateTime dt(oleValue(z, s + frac));
        Fields f = fieldsOf(dt);
        bool ok = f.year == y && f.month == m && f.day == d &&
                  f.hour * 3600 + f.minute * 60 + f.second == rounded;
        if (!ok && ++failures <= 5)
            ADD_FAILURE() << y << "-" << m << "-" << d << " " << s << "+" << frac << " got "
                          << f.year << "-" << f.month << "-" << f.day << " " << f.hour << ":"
                          << f.minute << ":" << f.second;
    }
    EXPECT_EQ(failures, 0);
}

// ==== arithmetic and comparison =================================================================

TEST(XpDateTimeArithmetic, NegativeDaysGoThroughTheContinuousForm)
{
    XpDateTime early(-1.25);   // 1899-12-29 06:00
    XpDateTime later = early + XpDateTimeSpan(0.5);
    EXPECT_EQ(static_cast<double>(later), -1.75);   // 1899-12-29 18:00
    EXPECT_EQ(later.GetHour(), 18);
    EXPECT_TRUE(later > early);
    EXPECT_TRUE(early < later);
    EXPECT_TRUE(XpDateTime(-1.75) > XpDateTime(-1.25));
    EXPECT_EQ(static_cast<double>(later - early), 0.5);

    // Across day 0: 1899-12-30 03:00 back six hours is 1899-12-29 21:00.
    XpDateTime d0(1899, 12, 30, 3, 0, 0);
    EXPECT_TRUE(d0.ShiftToBackward(6, 0, 0));
    EXPECT_EQ(static_cast<double>(d0), -1.875);
    EXPECT_TRUE(d0.ShiftToFoward(6, 0, 0));
    EXPECT_EQ(static_cast<double>(d0), 0.125);

    XpDateTime jan1(1900, 1, 1, 0, 0, 0);
    EXPECT_TRUE(jan1.ShiftToFoward(25, 0, 0));
    Fields f = fieldsOf(jan1);
    EXPECT_EQ(f.day * 100 + f.hour, 201);
    XpDateTime unset;
    EXPECT_TRUE(unset.ShiftToFoward(0, 0, 0));   // 0.0 is in range
    EXPECT_TRUE(unset.IsValid());
    XpDateTime end(9998, 12, 31, 0, 0, 0);
    EXPECT_FALSE(end.ShiftToFoward(24 * 400, 0, 0));
    EXPECT_FALSE(end.IsValid());

    // The same differences seen from the fields: random pairs over the whole range.
    std::mt19937_64 rng(7);
    long long first = daysFromCivil(100, 1, 1), last = daysFromCivil(9998, 12, 31);
    std::uniform_int_distribution<long long> dayDist(first + 1, last);   // see FirstDayOfTheRange
    std::uniform_int_distribution<int> secDist(0, 86399);
    long long failures = 0;
    for (int i = 0; i < 100000; ++i) {
        // Every fourth pair lies near 1899-12-30, where the encoding changes.
        long long za = i % 4 ? dayDist(rng) : OLE_EPOCH - 3 + static_cast<long long>(rng() % 6);
        long long zb = i % 4 ? dayDist(rng) : OLE_EPOCH - 3 + static_cast<long long>(rng() % 6);
        int sa = secDist(rng), sb = secDist(rng);
        XpDateTime a(oleValue(za, sa)), b(oleValue(zb, sb));
        long long seconds = (za - zb) * 86400 + (sa - sb);
        long long span = 0;
        XpDateTimeSpan diff = a - b;
        XpDateTime back = b + diff;
        bool ok = a.Span(b, span) && span == seconds && diff.GetTotalSeconds() == seconds &&
                  (a < b) == (seconds < 0) && (a > b) == (seconds > 0) &&
                  (a == b) == (seconds == 0) && (a <= b) == (seconds <= 0) &&
                  (a >= b) == (seconds >= 0) && (a != b) == (seconds != 0) &&
                  std::fabs(static_cast<double>(back) - static_cast<double>(a)) < 1e-6 &&
                  static_cast<double>(a + XpDateTimeSpan(0.0)) == static_cast<double>(a);
        XpDateTime moved(a);
        moved -= diff;
        ok = ok && std::fabs(static_cast<double>(moved) - static_cast<double>(b)) < 1e-6;
        if (!ok && ++failures <= 5)
            ADD_FAILURE() << "a " << static_cast<double>(a) << " b " << static_cast<double>(b)
                          << " seconds " << seconds << " span " << span;
    }
    EXPECT_EQ(failures, 0);
}

TEST(XpDateTimeArithmetic, SpanFlagsAndRangeOfResults)
{
    long long seconds = -1;
    XpDateTime from(1899, 12, 30, 0, 0, 0), to(1899, 12, 31, 0, 0, 1);
    EXPECT_TRUE(to.Span(from, seconds));
    EXPECT_EQ(seconds, 86401);
    EXPECT_TRUE(from.Span(to, seconds));
    EXPECT_EQ(seconds, -86401);
    EXPECT_FALSE(to.Span(XpDateTime(), seconds));
    EXPECT_EQ(seconds, 0);
    seconds = 5;
    EXPECT_FALSE(XpDateTime().Span(to, seconds));
    EXPECT_EQ(seconds, 0);

    // '+' and '-' check the range of the result, '+=' and '-=' keep the flag.
    XpDateTime last(2958465.5);
    EXPECT_FALSE((last + XpDateTimeSpan(1.0)).IsValid());
    EXPECT_TRUE((last - XpDateTimeSpan(1.0)).IsValid());
    XpDateTime beyond(last);
    beyond += XpDateTimeSpan(1.0);
    EXPECT_TRUE(beyond.IsValid());
    EXPECT_EQ(static_cast<double>(beyond), 2958466.5);
    EXPECT_EQ(beyond.GetYear(), -1);   // does not decompose
    EXPECT_EQ(static_cast<long>(beyond), -1L);
    EXPECT_TRUE(beyond.Span(last, seconds));   // flagged valid: counted as it stands
    EXPECT_EQ(seconds, 86400);
    XpDateTime invalid;
    EXPECT_TRUE((invalid + XpDateTimeSpan(1.0)).IsValid());   // 1.0 is in range; flags not read

    // The span's flag is not looked at either.
    XpDateTimeSpan outOfRange(5000000.0);
    EXPECT_FALSE(outOfRange.IsValid());
    XpDateTime shifted = XpDateTime(1.0) - outOfRange;
    EXPECT_EQ(static_cast<double>(shifted), -4999999.0);
    EXPECT_FALSE(shifted.IsValid());

    // The difference of two dates is a span with its own range test; flags are not read.
    EXPECT_TRUE((XpDateTime(5.0) - XpDateTime()).IsValid());
    XpDateTimeSpan whole = XpDateTime(2958465.999988426) - XpDateTime(-657434.0);
    EXPECT_TRUE(whole.IsValid());
    EXPECT_EQ(whole.GetTotalSeconds(), (daysFromCivil(9999, 12, 31) - daysFromCivil(100, 1, 1)) *
                                           86400LL + 86399);

    double nanValue = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(XpDateTime(nanValue) != XpDateTime(nanValue));
    EXPECT_FALSE(XpDateTime(nanValue) == XpDateTime(nanValue));
    EXPECT_TRUE(XpDateTime(1.0) != XpDateTime(nanValue));
}

// ==== spans =====================================================================================

TEST(XpDateTimeSpan, GettersRoundAndKeepTheSign)
{
    XpDateTimeSpan dayAndHalf(1, 12, 0, 0);
    EXPECT_EQ(static_cast<double>(dayAndHalf), 1.5);
    EXPECT_EQ(dayAndHalf.GetDays(), 1);
    EXPECT_EQ(dayAndHalf.GetTotalHours(), 36);
    EXPECT_EQ(dayAndHalf.GetHours(), 12);

    XpDateTimeSpan negative(-1.5);
    EXPECT_EQ(negative.GetDays(), -1);
    EXPECT_EQ(negative.GetTotalHours(), -36);
    EXPECT_EQ(negative.GetHours(), -12);
    XpDateTimeSpan negativeParts(0, 0, -1, -1);
    EXPECT_EQ(negativeParts.GetTotalSeconds(), -61);
    EXPECT_EQ(negativeParts.GetMinutes(), -1);
    EXPECT_EQ(negativeParts.GetSeconds(), -1);

    XpDateTimeSpan almostDay(0.99999999);
    EXPECT_EQ(almostDay.GetDays(), 0);
    EXPECT_EQ(almostDay.GetTotalDays(), 1);
    EXPECT_EQ(XpDateTimeSpan(-0.99999999).GetTotalDays(), -1);

    EXPECT_EQ(XpDateTimeSpan(0, 0, 0, 59).GetTotalSeconds(), 59);
    EXPECT_EQ(XpDateTimeSpan(0, 0, 0, 59).GetSeconds(), 59);
    XpDateTimeSpan minuteAndSecond(0, 0, 1, 1);
    EXPECT_EQ(minuteAndSecond.GetTotalSeconds(), 61);
    EXPECT_EQ(minuteAndSecond.GetMinutes(), 1);
    EXPECT_EQ(minuteAndSecond.GetSeconds(), 1);
    EXPECT_EQ(XpDateTimeSpan(2, 3, 4, 5).GetTotalMinutes(), 2 * 1440 + 3 * 60 + 4);

    // Every whole-second length up to the range limit survives the day count and the rounding.
    std::mt19937_64 rng(3);
    std::uniform_int_distribution<long long> secDist(-312413759999LL, 312413759999LL);
    long long failures = 0;
    for (int i = 0; i < 100000; ++i) {
        long long s = secDist(rng);
        XpDateTimeSpan span(static_cast<int>(s / 86400), 0, 0, static_cast<int>(s % 86400));
        bool ok = span.IsValid() && span.GetTotalSeconds() == s && span.GetSeconds() == s % 60 &&
                  span.GetMinutes() == s / 60 % 60 && span.GetHours() == s / 3600 % 24 &&
                  span.GetTotalMinutes() == s / 60 && span.GetTotalHours() == s / 3600 &&
                  span.GetTotalDays() == s / 86400 && span.GetDays() == s / 86400;
        if (!ok && ++failures <= 5)
            ADD_FAILURE() << s << " gives " << span.GetTotalSeconds();
    }
    EXPECT_EQ(failures, 0);

    // Out-of-range values saturate instead of overflowing; NaN reads as 0.
    EXPECT_EQ(XpDateTimeSpan(1e300).GetTotalHours(), std::numeric_limits<int>::max());
    EXPECT_EQ(XpDateTimeSpan(-1e300).GetTotalSeconds(), std::numeric_limits<long long>::min());
    EXPECT_EQ(XpDateTimeSpan(std::numeric_limits<double>::quiet_NaN()).GetTotalSeconds(), 0);
}

TEST(XpDateTimeSpan, RangeFlagsAndArithmetic)
{
    EXPECT_TRUE(XpDateTimeSpan().IsValid());
    EXPECT_EQ(static_cast<double>(XpDateTimeSpan()), 0.0);
    EXPECT_FALSE(XpDateTimeSpan(3615900.0).IsValid());
    EXPECT_FALSE(XpDateTimeSpan(-3615900.0).IsValid());
    EXPECT_TRUE(XpDateTimeSpan(3615899.5).IsValid());
    EXPECT_TRUE(XpDateTimeSpan(3615899.999988426).IsValid());
    EXPECT_TRUE(XpDateTimeSpan(std::numeric_limits<double>::quiet_NaN()).IsValid());
    EXPECT_FALSE(XpDateTimeSpan(3615899, 23, 59, 60).IsValid());

    XpDateTimeSpan span;
    span = 3615900.0;
    EXPECT_FALSE(span.IsValid());
    span = 1.0;
    EXPECT_TRUE(span.IsValid());
    EXPECT_FALSE(span.SetDateTimeSpan(4000000, 0, 0, 0).IsValid());
    EXPECT_TRUE(span.SetDateTimeSpan(1, 0, 0, 0).IsValid());
    EXPECT_TRUE(span.checkRange().IsValid());

    // An invalid operand gives an invalid 0.0.
    XpDateTimeSpan bad(5000000.0);
    XpDateTimeSpan sum = XpDateTimeSpan(1.0) + bad;
    EXPECT_FALSE(sum.IsValid());
    EXPECT_EQ(static_cast<double>(sum), 0.0);
    EXPECT_FALSE((bad - XpDateTimeSpan(1.0)).IsValid());
    XpDateTimeSpan acc(2.0);
    acc += XpDateTimeSpan(1.0);
    EXPECT_EQ(static_cast<double>(acc), 3.0);
    acc -= XpDateTimeSpan(0.5);
    EXPECT_EQ(static_cast<double>(acc), 2.5);
    acc -= bad;
    EXPECT_FALSE(acc.IsValid());
    EXPECT_EQ(static_cast<double>(acc), 0.0);
    acc += XpDateTimeSpan(1.0);   // stays invalid: this operand is invalid now
    EXPECT_FALSE(acc.IsValid());

    // A sum beyond the range keeps its value and is flagged.
    XpDateTimeSpan big(3000000.0);
    XpDateTimeSpan twice = big + big;
    EXPECT_FALSE(twice.IsValid());
    EXPECT_EQ(static_cast<double>(twice), 6000000.0);
    twice = big;
    twice += big;
    EXPECT_FALSE(twice.IsValid());
    EXPECT_EQ(static_cast<double>(twice), 6000000.0);

    // Negation looks only at the negated value: an invalid 0.0 negates to a valid -0.0.
    XpDateTimeSpan flagged(5.0);
    flagged -= bad;
    EXPECT_TRUE((-flagged).IsValid());
    XpDateTimeSpan neg = -XpDateTimeSpan(6000000.0);
    EXPECT_FALSE(neg.IsValid());
    EXPECT_EQ(static_cast<double>(neg), -6000000.0);
    EXPECT_TRUE((-XpDateTimeSpan(-5.0)).IsValid());
    EXPECT_EQ(static_cast<double>(-XpDateTimeSpan(-5.0)), 5.0);
}

TEST(XpDateTimeSpan, ComparisonsLookAtTheFlags)
{
    XpDateTimeSpan one(1.0), two(2.0);
    EXPECT_TRUE(one < two);
    EXPECT_TRUE(one <= two);
    EXPECT_TRUE(two > one);
    EXPECT_TRUE(two >= one);
    EXPECT_TRUE(one != two);
    EXPECT_FALSE(one == two);
    EXPECT_TRUE(one == XpDateTimeSpan(0, 24, 0, 0));

    // Two invalid spans of one value are equal, and <=, >= each other, never < or >.
    double beyond = std::nextafter(3615899.999988426, 4e6);
    XpDateTimeSpan i1(beyond), i2(beyond);
    EXPECT_TRUE(i1 == i2);
    EXPECT_FALSE(i1 != i2);
    EXPECT_TRUE(i1 <= i2);
    EXPECT_TRUE(i1 >= i2);
    EXPECT_FALSE(i1 < i2);
    EXPECT_FALSE(i1 > i2);
    EXPECT_FALSE(i1 < XpDateTimeSpan(4e6) || i1 > XpDateTimeSpan(1.0));

    XpDateTimeSpan zeroInvalid = XpDateTimeSpan(1.0) + XpDateTimeSpan(5e6);   // invalid 0.0
    XpDateTimeSpan zeroValid;
    EXPECT_FALSE(XpDateTimeSpan(zeroInvalid).checkRange().IsValid());   // never sets the flag
    EXPECT_FALSE(zeroValid == zeroInvalid);
    EXPECT_TRUE(zeroValid != zeroInvalid);
    EXPECT_FALSE(zeroValid < zeroInvalid);
    EXPECT_FALSE(zeroValid > zeroInvalid);
    EXPECT_FALSE(zeroValid <= zeroInvalid);
    EXPECT_FALSE(zeroValid >= zeroInvalid);

    XpDateTimeSpan nan(std::numeric_limits<double>::quiet_NaN());
    EXPECT_TRUE(nan != nan);
    EXPECT_FALSE(nan == nan);
}

// ==== parsing ===================================================================================

TEST(XpDateTimeText, FromStringTakesThreeToSixFields)
{
    XpDateTime dt;
    EXPECT_TRUE(dt.FromString("2009-03-04", "%d-%d-%d"));
    EXPECT_TRUE(dt == XpDateTime(2009, 3, 4, 0, 0, 0));
    EXPECT_TRUE(dt.IsValid());
    EXPECT_TRUE(dt.FromString("2009-03-04 05", "%d-%d-%d %d"));
    EXPECT_TRUE(dt == XpDateTime(2009, 3, 4, 5, 0, 0));
    EXPECT_TRUE(dt.FromString("2009-03-04 05:06", "%d-%d-%d %d:%d"));
    EXPECT_TRUE(dt == XpDateTime(2009, 3, 4, 5, 6, 0));
    EXPECT_TRUE(dt.FromString("2009/3/4T5.6.7", "%d/%d/%dT%d.%d.%d"));
    EXPECT_TRUE(dt == XpDateTime(2009, 3, 4, 5, 6, 7));
    EXPECT_TRUE(dt.FromString("  1899-12-29 06:00:00", "%d-%d-%d %d:%d:%d"));
    EXPECT_EQ(static_cast<double>(dt), -1.25);

    // Too few fields: false, nothing changes.
    XpDateTime before(2009, 3, 4, 5, 6, 7);
    dt = before;
    EXPECT_FALSE(dt.FromString("2009-03", "%d-%d"));
    EXPECT_FALSE(dt.FromString("2009-03-04", "%d-%d"));
    EXPECT_FALSE(dt.FromString("", "%d-%d-%d"));
    EXPECT_FALSE(dt.FromString("garbage", "%d-%d-%d"));
    EXPECT_TRUE(dt.IsValid());
    EXPECT_EQ(static_cast<double>(dt), static_cast<double>(before));

    // Fields read but rejected: false, the flag drops and the value stays.
    EXPECT_FALSE(dt.FromString("2009-02-30", "%d-%d-%d"));
    EXPECT_FALSE(dt.IsValid());
    EXPECT_EQ(static_cast<double>(dt), static_cast<double>(before));
    EXPECT_FALSE(dt.FromString("9999-01-01", "%d-%d-%d"));
    EXPECT_FALSE(dt.FromString("2009-03-04 24:00:00", "%d-%d-%d %d:%d:%d"));
}

// ==== time_t and the local time zone ============================================================

namespace {

bool sameFields(const Fields& f, const struct tm& tm)
{
    return f.year == tm.tm_year + 1900 && f.month == tm.tm_mon + 1 && f.day == tm.tm_mday &&
           f.hour == tm.tm_hour && f.minute == tm.tm_min && f.second == tm.tm_sec;
}

XpDateTime fromTm(const struct tm& tm)
{
    return XpDateTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                      tm.tm_sec);
}

// Instants spread over 1900 to 2100, and every quarter hour around the 2009 changes of summer
// time in New York (clocks forward 2009-03-08 07:00 UTC, back 2009-11-01 06:00 UTC).
std::vector<time_t> sampleInstants()
{
    std::vector<time_t> out;
    std::mt19937_64 rng(11);
    std::uniform_int_distribution<long long> dist(-2208988800LL, 4102444800LL);
    for (int i = 0; i < 3000; ++i)
        out.push_back(static_cast<time_t>(dist(rng)));
    for (time_t change : {static_cast<time_t>(1236495600), static_cast<time_t>(1257055200)})
        for (int q = -12; q <= 12; ++q)
            out.push_back(change + q * 900);
    out.push_back(0);
    out.push_back(-1);
    return out;
}

} // namespace

TEST(XpDateTimeZones, TimeTAndZoneConversionsMatchTheCLibrary)
{
    for (const char* zone : {"Asia/Tokyo", "America/New_York", "UTC", "JST-9", "Europe/London"}) {
        SCOPED_TRACE(zone);
        ScopedEnv tz("TZ", zone);
        long long failures = 0;
        int repeatedHours = 0;
        for (time_t t : sampleInstants()) {
            struct tm local, utc;
            ASSERT_NE(localtime_r(&t, &local), nullptr);
            ASSERT_NE(gmtime_r(&t, &utc), nullptr);

            XpDateTime dt(static_cast<long>(t));
            XpDateTime assigned(1.0);
            assigned = static_cast<long>(t);
            bool ok = dt.IsValid() && sameFields(fieldsOf(dt), local) && assigned == dt &&
                      dt.GetDayOfWeek() == local.tm_wday;

            // Back to time_t: the instant must have these local fields; it is t itself unless the
            // local time occurs twice (clocks going back), where it may be the other one.
            time_t back = static_cast<long>(dt);
            struct tm backLocal;
            ok = ok && localtime_r(&back, &backLocal) && sameFields(fieldsOf(dt), backLocal) &&
                 (back == t || back == t - 3600 || back == t + 3600);

            XpDateTime gmt = fromTm(utc);
            ok = ok && gmt.GmtToLocalTime() && gmt == dt;

            XpDateTime toUtc = _XpDateTimeSub_Linux().ConvertLocalTimeToUTC(dt);
            struct tm toUtcTm = {};
            Fields u = fieldsOf(toUtc);
            toUtcTm.tm_year = u.year - 1900;
            toUtcTm.tm_mon = u.month - 1;
            toUtcTm.tm_mday = u.day;
            toUtcTm.tm_hour = u.hour;
            toUtcTm.tm_min = u.minute;
            toUtcTm.tm_sec = u.second;
            ok = ok && toUtc.IsValid() && timegm(&toUtcTm) == back;
            if (back != t)
                ++repeatedHours;
            if (!ok && ++failures <= 5)
                ADD_FAILURE() << "time_t " << t << " local " << local.tm_year + 1900 << "-"
                              << local.tm_mon + 1 << "-" << local.tm_mday << " " << local.tm_hour
                              << ":" << local.tm_min << " back " << back;
        }
        EXPECT_EQ(failures, 0);
        // Only New York's sample crosses a change of clocks that repeats an hour.
        // New York's sample holds the hour repeated on 2009-11-01; mktime resolves it to one
        // of the two instants, so some samples come back an hour apart.
        if (std::string(zone) == "America/New_York") {
            EXPECT_GT(repeatedHours, 0);
        }
    }
}

TEST(XpDateTimeZones, FixedOffsetAndSummerTime)
{
    {
        ScopedEnv tz("TZ", "Asia/Tokyo");
        _XpDateTimeSub_Linux sub;
        EXPECT_TRUE(sub.ConvertLocalTimeToUTC(XpDateTime(2009, 3, 4, 9, 0, 0)) ==
                    XpDateTime(2009, 3, 4, 0, 0, 0));
        EXPECT_TRUE(sub.ConvertLocalTimeToUTC(XpDateTime(2009, 3, 4, 5, 0, 0)) ==
                    XpDateTime(2009, 3, 3, 20, 0, 0));
        XpDateTime gmt(2009, 3, 4, 0, 0, 0);
        EXPECT_TRUE(gmt.GmtToLocalTime());
        EXPECT_TRUE(gmt == XpDateTime(2009, 3, 4, 9, 0, 0));

        // Conversions whose result leaves the years 100 to 9998 come out invalid.
        EXPECT_FALSE(sub.ConvertLocalTimeToUTC(XpDateTime(100, 1, 1, 5, 0, 0)).IsValid());
        XpDateTime nearEnd(9998, 12, 31, 20, 0, 0);
        EXPECT_FALSE(nearEnd.GmtToLocalTime());
        EXPECT_FALSE(nearEnd.IsValid());
        EXPECT_EQ(static_cast<double>(nearEnd), static_cast<double>(XpDateTime(9998, 12, 31, 20, 0, 0)));
        // An invalid value is left alone.
        XpDateTime invalid;
        EXPECT_FALSE(invalid.GmtToLocalTime());
        EXPECT_EQ(static_cast<double>(invalid), 0.0);
        EXPECT_FALSE(sub.ConvertLocalTimeToUTC(invalid).IsValid());
        EXPECT_EQ(static_cast<long>(invalid), -1L);
    }
    {
        ScopedEnv tz("TZ", "America/New_York");
        // Summer time is decided by the zone's rules: noon on 1 July is 16:00 UTC.
        EXPECT_EQ(static_cast<long>(XpDateTime(2009, 7, 1, 12, 0, 0)), 1246464000L);
        EXPECT_EQ(static_cast<long>(XpDateTime(2009, 1, 1, 12, 0, 0)), 1230829200L);
        // 02:30 on 2009-03-08 does not exist; mktime reads it with the offset before the change.
        EXPECT_EQ(static_cast<long>(XpDateTime(2009, 3, 8, 2, 30, 0)), 1236497400L);
        EXPECT_TRUE(_XpDateTimeSub_Linux().ConvertLocalTimeToUTC(XpDateTime(2009, 7, 1, 12, 0, 0)) ==
                    XpDateTime(2009, 7, 1, 16, 0, 0));
    }
    {
        // A leap second has no field value: the constructor gives invalid 0.0, the assignment keeps
        // the old value and drops the flag.
        ScopedEnv tz("TZ", "right/UTC");
        struct tm newYear = {};
        newYear.tm_year = 117;
        newYear.tm_mday = 1;
        newYear.tm_isdst = -1;
        time_t after = mktime(&newYear);
        time_t leap = after - 1;
        struct tm leapTm;
        localtime_r(&leap, &leapTm);
        if (leapTm.tm_sec != 60)
            GTEST_SKIP() << "no leap-second zone data";
        XpDateTime fromLeap(static_cast<long>(leap));
        EXPECT_FALSE(fromLeap.IsValid());
        EXPECT_EQ(static_cast<double>(fromLeap), 0.0);
        XpDateTime assigned(5.0);
        assigned = static_cast<long>(leap);
        EXPECT_FALSE(assigned.IsValid());
        EXPECT_EQ(static_cast<double>(assigned), 5.0);
    }
}

TEST(XpDateTimeZones, GetNowIsTheCurrentLocalTime)
{
    ScopedEnv tz("TZ", "Asia/Tokyo");
    time_t before = time(nullptr);
    XpDateTime now = XpDateTime::GetNow();
    time_t after = time(nullptr);
    ASSERT_TRUE(now.IsValid());
    long asTimeT = now;
    EXPECT_GE(asTimeT, static_cast<long>(before));
    EXPECT_LE(asTimeT, static_cast<long>(after));
}

// ==== localized text ============================================================================

TEST(XpDateTimeText, LocalizedDateAndTimeFollowLocaleAndZone)
{
    ScopedEnv tz("TZ", "Asia/Tokyo");
    ScopedEnv all("LC_ALL", "en_US.UTF-8");
    XpDateTime dt(2009, 3, 4, 9, 5, 7);

    std::string dateTime = str(dt.GetLocalizedDateTimeString());
    std::string shortDate = str(dt.GetLocalizedDateString(XpDateTime::DateFormatShort));
    std::string longDate = str(dt.GetLocalizedDateString(XpDateTime::DateFormatLong));
    std::string time = str(dt.GetLocalizedTimeString());
    EXPECT_NE(dateTime.find("Mar 4, 2009"), std::string::npos) << dateTime;
    EXPECT_NE(dateTime.find("9:05:07"), std::string::npos) << dateTime;
    EXPECT_EQ(shortDate, "3/4/09");
    EXPECT_EQ(longDate, "March 4, 2009");
    EXPECT_NE(time.find("9:05:07"), std::string::npos) << time;
    EXPECT_NE(time.find("GMT+9"), std::string::npos) << time;
    EXPECT_EQ(time.find("2009"), std::string::npos) << time;
    // The arguments other than the date style do not change the text.
    EXPECT_EQ(str(dt.GetLocalizedDateTimeString(XpDateTime::DateFormatLong,
                                                XpDateTime::TimeFormatDefault, false)),
              dateTime);

    {
        ScopedEnv lang("LC_ALL", "ja_JP.UTF-8");
        EXPECT_EQ(str(dt.GetLocalizedDateString(XpDateTime::DateFormatLong)), "2009年3月4日");
        EXPECT_NE(str(dt.GetLocalizedTimeString()).find("9:05:07"), std::string::npos);
    }
    {
        // LC_TIME counts when LC_ALL is not set.
        ScopedEnv noAll("LC_ALL", nullptr);
        ScopedEnv time("LC_TIME", "de_DE.UTF-8");
        EXPECT_EQ(str(dt.GetLocalizedDateString(XpDateTime::DateFormatLong)), "4. März 2009");
    }

    // The zone is read at each call: the same wall-clock value shows the same wall-clock text,
    // with New York's summer-time zone name.
    {
        ScopedEnv ny("TZ", "America/New_York");
        XpDateTime summer(2009, 7, 1, 12, 0, 0);
        std::string t = str(summer.GetLocalizedTimeString());
        EXPECT_NE(t.find("12:00:00"), std::string::npos) << t;
        EXPECT_NE(t.find("EDT"), std::string::npos) << t;
        // A zone ICU cannot name is shown by its offset.
        ScopedEnv posix("TZ", "XYZ-5:30");
        t = str(dt.GetLocalizedTimeString());
        EXPECT_NE(t.find("9:05:07"), std::string::npos) << t;
        EXPECT_NE(t.find("GMT+5:30"), std::string::npos) << t;
        // Local 9998-12-31 23:30 is in the year 9999 in UTC: no text.
        ScopedEnv west("TZ", "America/New_York");
        EXPECT_EQ(str(XpDateTime(9998, 12, 31, 23, 30, 0).GetLocalizedDateTimeString()), "");
    }

    // Dates far from 1970 on both sides.
    EXPECT_EQ(str(XpDateTime(100, 1, 2, 0, 0, 0).GetLocalizedDateString(XpDateTime::DateFormatLong)),
              "January 2, 100");
    EXPECT_EQ(str(XpDateTime(9998, 12, 31, 0, 0, 0).GetLocalizedDateString(XpDateTime::DateFormatLong)),
              "December 31, 9998");

    XpDateTime invalid;
    EXPECT_EQ(str(invalid.GetLocalizedDateTimeString()), "");
    EXPECT_EQ(str(invalid.GetLocalizedDateString()), "");
    EXPECT_EQ(str(invalid.GetLocalizedTimeString()), "");
    XpDateTime undecomposable(2958465.5);
    undecomposable += XpDateTimeSpan(1.0);   // still flagged valid, out of range
    EXPECT_EQ(str(undecomposable.GetLocalizedTimeString()), "");
}

TEST(XpDateTimeText, MonthAndWeekdayNamesFromTheCLocale)
{
    EXPECT_EQ(str(XpDateTime::GetLocalizedMonthString(1, true)), "Jan");
    EXPECT_EQ(str(XpDateTime::GetLocalizedMonthString(1, false)), "January");
    EXPECT_EQ(str(XpDateTime::GetLocalizedMonthString(12, false)), "December");
    EXPECT_EQ(str(XpDateTime::GetLocalizedMonthString(0, false)), "");
    EXPECT_EQ(str(XpDateTime::GetLocalizedMonthString(13, true)), "");
    EXPECT_EQ(str(XpDateTime::GetLocalizedWeekdayString(0, false)), "Sunday");
    EXPECT_EQ(str(XpDateTime::GetLocalizedWeekdayString(0, true)), "Sun");
    EXPECT_EQ(str(XpDateTime::GetLocalizedWeekdayString(6, false)), "Saturday");
    EXPECT_EQ(str(XpDateTime::GetLocalizedWeekdayString(7, false)), "");
    EXPECT_EQ(str(XpDateTime::GetLocalizedWeekdayString(-1, true)), "");
}

TEST(XpDateTimeText, ConversionsAndTextsOnSeveralThreads)
{
    ScopedEnv tz("TZ", "Asia/Tokyo");
    ScopedEnv all("LC_ALL", "en_US.UTF-8");
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([i, &failures] {
            for (int n = 0; n < 50; ++n) {
                XpDateTime dt(2000 + i, 1 + n % 12, 1 + n % 28, n % 24, n, 0);
                std::string text = str(dt.GetLocalizedDateTimeString());
                XpDateTime utc = _XpDateTimeSub_Linux().ConvertLocalTimeToUTC(dt);
                long long seconds = 0;
                if (text.find(std::to_string(2000 + i)) == std::string::npos ||
                    !dt.Span(utc, seconds) || seconds != 9 * 3600)
                    ++failures[i];
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    for (int f : failures)
        EXPECT_EQ(f, 0);
}
