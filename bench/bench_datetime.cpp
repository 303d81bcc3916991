// XpDateTime against what a user would write instead in C++17: std::chrono durations with the
// days-from-civil algorithm (and its inverse) for the calendar, which C++17 lacks.
// Three operations: fields -> day count, day count -> fields, and the difference in seconds.
#include <XpDateTime.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <random>
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

} // namespace

BENCHMARK_MAIN();
