// Dates: calendar fields, arithmetic with spans, parsing, and localized text (in the locale of
// LC_ALL/LC_TIME/LANG and the zone of TZ; the test runs it with LANG=C and TZ=UTC).
#include <XpCommonLib/XpCommonLib.h>
#include <XpCommonLib/XpDateTime.h>

#include <cstdio>

namespace {

void show(const char* label, const XpDateTime& d)
{
    std::printf("%-22s %04d-%02d-%02d %02d:%02d:%02d (weekday %d)\n", label, d.GetYear(), d.GetMonth(), d.GetDay(),
                d.GetHour(), d.GetMinute(), d.GetSecond(), d.GetDayOfWeek());
}

} // namespace

int main()
{
    XpCommonLibInit();
    XpDateTime launch(2009, 3, 4, 15, 30, 0);
    show("launch:", launch);
    show("a day and 10 h later:", launch + XpDateTimeSpan(1, 10, 0, 0));
    std::printf("2008 is a leap year: %s; February 2009 has %d days; 4 March is day %d\n",
                XpDateTime::IsLeapYear(2008) ? "yes" : "no", XpDateTime::GetMonthDays(2009, 2),
                XpDateTime::GetTotalDays(2009, 3, 4));

    XpDateTime parsed;
    bool ok = parsed.FromString("2010-01-01 00:00:00", "%d-%d-%d %d:%d:%d");
    show(ok ? "parsed:" : "parse FAILED:", parsed);
    XpDateTimeSpan between = parsed - launch;
    long long seconds = 0;
    parsed.Span(launch, seconds);
    std::printf("from launch to parsed: %d days, %d h, %lld min; %lld s in all\n", between.GetDays(),
                between.GetHours(), between.GetMinutes(), seconds);

    XpDateTime invalid(2009, 2, 30, 0, 0, 0);
    std::printf("30 February is valid: %s\n", invalid.IsValid() ? "yes" : "no");

    std::printf("short date: %s\n", launch.GetLocalizedDateString(XpDateTime::DateFormatShort).GetBuffer());
    std::printf("long date: %s\n", launch.GetLocalizedDateString(XpDateTime::DateFormatLong).GetBuffer());
    std::printf("month 3: %s, weekday 3: %s\n", XpDateTime::GetLocalizedMonthString(3, false).GetBuffer(),
                XpDateTime::GetLocalizedWeekdayString(3, true).GetBuffer());
    return ok ? 0 : 1;
}
