// Fuzz target for XpDateTime::FromString: arbitrary text parsed with one of a fixed set of
// formats (the first input byte picks it). Whatever is parsed must be either rejected without
// changing the value, or a valid value whose fields lie in the calendar and convert back to the
// same day count; the arithmetic and text operations must then accept it without fault.
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const char* format = FORMATS[data[0] % (sizeof FORMATS / sizeof FORMATS[0])];
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);   // stops at a NUL byte

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
    return 0;
}
