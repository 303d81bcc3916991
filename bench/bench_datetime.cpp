// XpDateTime against what a user would write instead in C++17: std::chrono durations with the
// days-from-civil algorithm (and its inverse) for the calendar, which C++17 lacks.
// Three operations: fields -> day count, day count -> fields, and the difference in seconds.
// The localized date-time text against ICU's udat_format on a formatter opened beforehand for the
// same locale, zone and styles, on one thread and on four. A table of ratios (ours / theirs) ends
// the run.
#include <XpDateTime.h>

#include <benchmark/benchmark.h>

#include "XpBenchRecorder.h"

#include <unicode/udat.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <utility>
#include <unistd.h>
#include <vector>

namespace {

using Days = std::chrono::duration<double, std::ratio<86400>>;
using SysSeconds = std::chrono::time_point<std::chrono::system_clock, std::chrono::seconds>;

// Days since 1970-01-01 of a proleptic Gregorian date.
long long daysFromCivil(long long y, int m, int d)
{
    y -= m <= 2;
    long long era = (y >= 0 ? y : y - 399) / 400;
    long long yoe = y - era * 400;
    long long doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

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

struct Sample {
    int y, m, d, h, mi, s;
};

const std::vector<Sample>& samples()
{
    static const std::vector<Sample> all = [] {
        std::vector<Sample> v;
        std::mt19937 rng(1);
        std::uniform_int_distribution<long long> day(daysFromCivil(100, 1, 2), daysFromCivil(9998, 12, 31));
        std::uniform_int_distribution<int> sec(0, 86399);
        for (int i = 0; i < 1024; ++i) {
            Sample s;
            civilFromDays(day(rng), s.y, s.m, s.d);
            int t = sec(rng);
            s.h = t / 3600;
            s.mi = t / 60 % 60;
            s.s = t % 60;
            v.push_back(s);
        }
        return v;
    }();
    return all;
}

SysSeconds chronoOf(const Sample& s)
{
    using namespace std::chrono;
    return SysSeconds(seconds(daysFromCivil(s.y, s.m, s.d) * 86400 + s.h * 3600 + s.mi * 60 + s.s));
}

// ---- fields -> day count ----

void BM_Fields_XpDateTime(benchmark::State& state)
{
    const auto& in = samples();
    for (auto _ : state)
        for (const Sample& s : in) {
            XpDateTime dt(s.y, s.m, s.d, s.h, s.mi, s.s);
            benchmark::DoNotOptimize(static_cast<double>(dt));
        }
    state.SetItemsProcessed(state.iterations() * in.size());
}
BENCHMARK(BM_Fields_XpDateTime);

void BM_Fields_ChronoCivil(benchmark::State& state)
{
    const auto& in = samples();
    for (auto _ : state)
        for (const Sample& s : in) {
            // Same epoch as XpDateTime, so both produce a day count since 1899-12-30.
            Days days = chronoOf(s).time_since_epoch() + std::chrono::hours(24 * 25569);
            benchmark::DoNotOptimize(days.count());
        }
    state.SetItemsProcessed(state.iterations() * in.size());
}
BENCHMARK(BM_Fields_ChronoCivil);

// ---- day count -> fields ----

void BM_Decompose_XpDateTime(benchmark::State& state)
{
    std::vector<XpDateTime> values;
    for (const Sample& s : samples())
        values.emplace_back(s.y, s.m, s.d, s.h, s.mi, s.s);
    for (auto _ : state)
        for (const XpDateTime& dt : values) {
            int y, m, d, h, mi, s, w;
            dt.GetDateTime(y, m, d, h, mi, s, w);
            benchmark::DoNotOptimize(y + m + d + h + mi + s + w);
        }
    state.SetItemsProcessed(state.iterations() * values.size());
}
BENCHMARK(BM_Decompose_XpDateTime);

void BM_Decompose_ChronoCivil(benchmark::State& state)
{
    using namespace std::chrono;
    std::vector<SysSeconds> values;
    for (const Sample& s : samples())
        values.push_back(chronoOf(s));
    for (auto _ : state)
        for (const SysSeconds& tp : values) {
            long long secs = tp.time_since_epoch().count();
            long long days = secs >= 0 ? secs / 86400 : (secs - 86399) / 86400;
            long long tod = secs - days * 86400;
            int y, m, d;
            civilFromDays(days, y, m, d);
            int w = static_cast<int>((days % 7 + 11) % 7);   // 1970-01-01 was a Thursday
            benchmark::DoNotOptimize(y + m + d + static_cast<int>(tod / 3600 + tod / 60 % 60 + tod % 60) + w);
        }
    state.SetItemsProcessed(state.iterations() * values.size());
}
BENCHMARK(BM_Decompose_ChronoCivil);

// ---- difference in whole seconds ----

void BM_Span_XpDateTime(benchmark::State& state)
{
    std::vector<XpDateTime> values;
    for (const Sample& s : samples())
        values.emplace_back(s.y, s.m, s.d, s.h, s.mi, s.s);
    for (auto _ : state)
        for (size_t i = 1; i < values.size(); ++i) {
            long long seconds;
            values[i].Span(values[i - 1], seconds);
            benchmark::DoNotOptimize(seconds);
        }
    state.SetItemsProcessed(state.iterations() * (values.size() - 1));
}
BENCHMARK(BM_Span_XpDateTime);

void BM_Span_Chrono(benchmark::State& state)
{
    std::vector<SysSeconds> values;
    for (const Sample& s : samples())
        values.push_back(chronoOf(s));
    for (auto _ : state)
        for (size_t i = 1; i < values.size(); ++i) {
            long long seconds = (values[i] - values[i - 1]).count();
            benchmark::DoNotOptimize(seconds);
        }
    state.SetItemsProcessed(state.iterations() * (values.size() - 1));
}
BENCHMARK(BM_Span_Chrono);

// ---- localized text ----

// The zone and locale of the text benchmarks: TZ is set in main before any benchmark runs, and the
// "SystemZone" pair unsets it for its run, so that the library reads /etc/localtime.
const char* const TEXT_ZONE = "Asia/Tokyo";
const char* const TEXT_LOCALE = "en_US";

// Local values of the years 1950 to 2050 and, for ICU, the instants they stand for in the zone
// in force.
std::vector<std::pair<XpDateTime, UDate>> textSamples()
{
    std::vector<std::pair<XpDateTime, UDate>> v;
    for (const Sample& s : samples()) {
        int year = 1950 + s.y % 101;
        struct tm local = {};
        local.tm_year = year - 1900;
        local.tm_mon = s.m - 1;
        local.tm_mday = s.d;
        local.tm_hour = s.h;
        local.tm_min = s.mi;
        local.tm_sec = s.s;
        local.tm_isdst = -1;
        v.emplace_back(XpDateTime(year, s.m, s.d, s.h, s.mi, s.s), mktime(&local) * 1000.0);
    }
    return v;
}

// The zone in force as an Olson name: TZ, else the target of /etc/localtime.
std::u16string zoneInForce()
{
    std::string name = getenv("TZ") != nullptr ? getenv("TZ") : "";
    if (name.empty()) {
        char link[4096];
        ssize_t n = readlink("/etc/localtime", link, sizeof link - 1);
        name.assign(link, n > 0 ? static_cast<size_t>(n) : 0);
        size_t at = name.find("zoneinfo/");
        name = at == std::string::npos ? "UTC" : name.substr(at + strlen("zoneinfo/"));
    }
    return std::u16string(name.begin(), name.end());
}

// Unsets TZ for one single-threaded run when asked to, and sets it back afterwards.
struct ZoneForRun {
    explicit ZoneForRun(bool system)
        : system(system)
    {
        if (system)
            unsetenv("TZ");
        tzset();
    }
    ~ZoneForRun()
    {
        setenv("TZ", TEXT_ZONE, 1);
        tzset();
    }
    bool system;
};

void localizedTextXp(benchmark::State& state, bool systemZone)
{
    ZoneForRun zone(systemZone && state.threads() == 1);
    auto in = textSamples();
    size_t i = 0;
    for (auto _ : state) {
        XpStringT<char> text = in[i++ % in.size()].first.GetLocalizedDateTimeString();
        benchmark::DoNotOptimize(text.GetBuffer());
    }
    state.SetItemsProcessed(state.iterations());
}

void localizedTextIcu(benchmark::State& state, bool systemZone)
{
    ZoneForRun zoneForRun(systemZone && state.threads() == 1);
    auto in = textSamples();
    std::u16string zone = zoneInForce();
    UErrorCode status = U_ZERO_ERROR;
    UDateFormat* format = udat_open(UDAT_MEDIUM, UDAT_MEDIUM, TEXT_LOCALE,
                                    reinterpret_cast<const UChar*>(zone.data()),
                                    static_cast<int32_t>(zone.size()), nullptr, 0, &status);
    if (U_FAILURE(status)) {
        state.SkipWithError("udat_open failed");
        return;
    }
    size_t i = 0;
    UChar text[256];
    for (auto _ : state) {
        UErrorCode s = U_ZERO_ERROR;
        benchmark::DoNotOptimize(
            udat_format(format, in[i++ % in.size()].second, text, 256, nullptr, &s));
    }
    udat_close(format);
    state.SetItemsProcessed(state.iterations());
}

void BM_LocalizedText_XpDateTime(benchmark::State& state) { localizedTextXp(state, false); }
void BM_LocalizedText_IcuOpenFormatter(benchmark::State& state) { localizedTextIcu(state, false); }
BENCHMARK(BM_LocalizedText_XpDateTime)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_LocalizedText_IcuOpenFormatter)->Threads(1)->Threads(4)->UseRealTime();

// TZ unset: the library reads /etc/localtime's target at each call (and the C library stats it).
void BM_LocalizedTextSystemZone_XpDateTime(benchmark::State& state)
{
    localizedTextXp(state, true);
}
void BM_LocalizedTextSystemZone_IcuOpenFormatter(benchmark::State& state)
{
    localizedTextIcu(state, true);
}
BENCHMARK(BM_LocalizedTextSystemZone_XpDateTime);
BENCHMARK(BM_LocalizedTextSystemZone_IcuOpenFormatter);

// Each pair's row per thread count it ran on: both real times and the ratios of real and CPU time.
void printRatios(const XpBenchRecorder& recorder)
{
    // goal: the wall-clock ratio to stay at or below; 0 for none.
    const struct { const char* ours; const char* theirs; double goal; } pairs[] = {
        {"BM_Fields_XpDateTime", "BM_Fields_ChronoCivil", 1.5},
        {"BM_Decompose_XpDateTime", "BM_Decompose_ChronoCivil", 0},
        {"BM_Span_XpDateTime", "BM_Span_Chrono", 2.0},
        {"BM_LocalizedText_XpDateTime", "BM_LocalizedText_IcuOpenFormatter", 0},
        {"BM_LocalizedTextSystemZone_XpDateTime", "BM_LocalizedTextSystemZone_IcuOpenFormatter", 0},
    };
    printf("\n%-38s %7s %10s %10s %10s %10s  %s\n", "ours / theirs", "threads", "ours", "theirs", "wall",
           "cpu", "goal");
    for (const auto& p : pairs)
        for (int threads : {1, 4}) {
            const XpBenchTimes& ours = recorder.Times(p.ours, threads);
            const XpBenchTimes& theirs = recorder.Times(p.theirs, threads);
            if (ours.realNs <= 0 || theirs.realNs <= 0)
                continue;
            const double wall = ours.realNs / theirs.realNs;
            char goal[24] = "-";
            if (p.goal > 0)
                snprintf(goal, sizeof goal, "<= %.2f %s", p.goal, wall <= p.goal ? "ok" : "MISS");
            printf("%-38s %7d %10.1f %10.1f %10.2f %10.2f  %s\n", p.ours + 3, threads, ours.realNs,
                   theirs.realNs, wall, ours.cpuNs / theirs.cpuNs, goal);
        }
    printf("(ours and theirs: wall-clock ns per iteration, 1024 values in the calendar rows,\n"
           " one in the text rows; wall and cpu: ratios of wall-clock and CPU time. Theirs is\n"
           " std::chrono with days-from-civil, or ICU's udat_format on a formatter opened\n"
           " beforehand.)\n");
}

} // namespace

int main(int argc, char** argv)
{
    // Both sides format in the same zone and locale; the library reads them from the environment.
    setenv("TZ", TEXT_ZONE, 1);
    setenv("LC_ALL", "en_US.UTF-8", 1);
    tzset();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    XpBenchRecorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    printRatios(recorder);
    benchmark::Shutdown();
    return 0;
}
