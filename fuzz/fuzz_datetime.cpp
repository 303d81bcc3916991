// Fuzz target for XpDateTime::FromString and the localized texts: arbitrary text parsed with one
// of a fixed set of formats (the first input byte picks it). Whatever is parsed must be either
// rejected without changing the value, or a valid value whose fields lie in the calendar and
// convert back to the same day count; the arithmetic and text operations must then accept it
// without fault. The second byte is the DateFormat value (any int is one), and text after a '|'
// is the locale name put in LC_ALL (glibc modifiers included), so that the locale parsing and the
// per-thread formatter cache see arbitrary names.
#include <XpDateTime.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const char* const FORMATS[] = {
    "%d-%d-%d %d:%d:%d",
    "%d-%d-%d",
    "%d/%d/%d %d:%d",
    "%d.%d.%dT%d",
    "%4d%2d%2d%2d%2d%2d",
    "%d %d %d %d %d %d",
    "%d-%d",
    "%d:%d:%d:%d:%d:%d:",
};

void check(bool condition, const char* what)
{
    if (!condition) {
        fprintf(stderr, "fuzz_datetime: %s\n", what);
        abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    setenv("TZ", "America/New_York", 1);   // a zone with summer time
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const char* format = FORMATS[data[0] % (sizeof FORMATS / sizeof FORMATS[0])];
    int dateFormatValue = static_cast<signed char>(data[1]) * 1000003;
    auto dateFormat = static_cast<XpDateTime::DateFormat>(dateFormatValue);
    std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
    text = text.c_str();   // up to a NUL byte
    size_t bar = text.find('|');
    std::string locale = bar == std::string::npos ? "" : text.substr(bar + 1);
    text = text.substr(0, bar);

    XpDateTime dt(1234.5);
    bool parsed = dt.FromString(XpStringT<char>(text.c_str()), XpStringT<char>(format));
    check(!parsed || dt.IsValid(), "a successful parse left the value invalid");
    if (!parsed) {
        check(static_cast<double>(dt) == 1234.5, "a failed parse changed the value");
        return 0;
    }

    int year, month, day, hour, minute, second, dayOfWeek;
    check(dt.GetDateTime(year, month, day, hour, minute, second, dayOfWeek) ||
              static_cast<double>(dt) < -657434.0,   // times of 0100-01-01 lie below the range
          "a parsed value does not decompose");
    if (!dt.GetDateTime(year, month, day, hour, minute, second, dayOfWeek))
        return 0;
    check(year >= 100 && year <= 9998, "year");
    check(month >= 1 && month <= 12, "month");
    check(day >= 1 && day <= XpDateTime::GetMonthDays(year, month), "day");
    check(hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 && second <= 59,
          "time");
    check(dayOfWeek >= 0 && dayOfWeek <= 6, "day of week");
    XpDateTime rebuilt(year, month, day, hour, minute, second);
    check(rebuilt == dt && static_cast<double>(rebuilt) == static_cast<double>(dt), "round trip");

    long long seconds = 0;
    check(dt.Span(XpDateTime(1899, 12, 30, 0, 0, 0), seconds), "span");
    XpDateTime moved = dt + XpDateTimeSpan(0, 0, 0, 1);
    check(!moved.IsValid() || moved > dt, "one second later");
    check(dt.GetDayOfYear() >= 1 && dt.GetDayOfYear() <= 366, "day of year");

    // Away from the ends of the range the local time has a UTC time, so the texts are not empty
    // (in a locale ICU refuses they may be).
    if (locale.empty())
        unsetenv("LC_ALL");
    else
        setenv("LC_ALL", locale.c_str(), 1);
    XpStringT<char> date = dt.GetLocalizedDateString(dateFormat);
    XpStringT<char> dateTime = dt.GetLocalizedDateTimeString(dateFormat);
    bool inside = year > 100 && year < 9998;
    check(!inside || !locale.empty() || (!date.IsEmpty() && !dateTime.IsEmpty()),
          "no localized text");
    return 0;
}
