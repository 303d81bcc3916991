// XpStringT<char> side by side with std::string, the string a user would pick instead. Each
// pair runs the same work; the run ends with a table of the ratios of the two times (Xp / Std),
// and of default construction against a copy of a shared 4 KiB string (the work it stands in
// for: handing out the thread's shared empty buffer).
#include <XpString.h>

#include <benchmark/benchmark.h>

#include "XpBenchRecorder.h"

#include <cstdarg>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

const std::string& mebibyteText()
{
    // 1 MiB of varied text with the needle at the very end, so a search reads all of it.
    static const std::string text = [] {
        std::string t;
        t.reserve(1 << 20);
        unsigned seed = 12345;
        while (t.size() < (1u << 20) - 16) {
            seed = seed * 1103515245u + 12345u;
            t += static_cast<char>('a' + (seed >> 16) % 26);
        }
        t += "NEEDLE-IN-HAY";
        return t;
    }();
    return text;
}

// A mebibyte with an occurrence of "abc" every 64 bytes, for replacement.
const std::string& replaceText()
{
    static const std::string text = [] {
        std::string block(64, '-');
        block.replace(10, 3, "abc");
        std::string t;
        while (t.size() < (1u << 20))
            t += block;
        return t;
    }();
    return text;
}

std::string stdFormat(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<size_t>(n));
        std::vsnprintf(&out[0], static_cast<size_t>(n) + 1, format, args);
    }
    va_end(args);
    return out;
}

// ---- copy and destroy ----

void BM_Copy16_Xp(benchmark::State& state)
{
    XpStringA source("0123456789abcdef");
    for (auto _ : state) {
        XpStringA copy(source);
        benchmark::DoNotOptimize(copy.GetBuffer());
    }
}
BENCHMARK(BM_Copy16_Xp);

void BM_Copy16_Std(benchmark::State& state)
{
    std::string source("0123456789abcdef");
    for (auto _ : state) {
        std::string copy(source);
        benchmark::DoNotOptimize(copy.data());
    }
}
BENCHMARK(BM_Copy16_Std);

void BM_Copy4K_Xp(benchmark::State& state)
{
    XpStringA source(std::string(4096, 'k').c_str());
    for (auto _ : state) {
        XpStringA copy(source);
        benchmark::DoNotOptimize(copy.GetBuffer());
    }
}
BENCHMARK(BM_Copy4K_Xp);

void BM_Copy4K_Std(benchmark::State& state)
{
    std::string source(4096, 'k');
    for (auto _ : state) {
        std::string copy(source);
        benchmark::DoNotOptimize(copy.data());
    }
}
BENCHMARK(BM_Copy4K_Std);

// ---- default construction ----

void BM_Default_Xp(benchmark::State& state)
{
    for (auto _ : state) {
        XpStringA s;
        benchmark::DoNotOptimize(s.GetBuffer());
    }
}
BENCHMARK(BM_Default_Xp);

void BM_Default_Std(benchmark::State& state)
{
    for (auto _ : state) {
        std::string s;
        benchmark::DoNotOptimize(s.data());
    }
}
BENCHMARK(BM_Default_Std);

// ---- append one character 100,000 times ----

void BM_Append100k_Xp(benchmark::State& state)
{
    for (auto _ : state) {
        XpStringA s;
        for (int i = 0; i < 100000; ++i)
            s += "x";
        benchmark::DoNotOptimize(s.GetBuffer());
    }
}
BENCHMARK(BM_Append100k_Xp);

void BM_Append100k_Std(benchmark::State& state)
{
    for (auto _ : state) {
        std::string s;
        for (int i = 0; i < 100000; ++i)
            s += "x";
        benchmark::DoNotOptimize(s.data());
    }
}
BENCHMARK(BM_Append100k_Std);

// ---- find a text in 1 MiB ----

void BM_Find1M_Xp(benchmark::State& state)
{
    XpStringA hay(mebibyteText().c_str());
    for (auto _ : state)
        benchmark::DoNotOptimize(hay.Find("NEEDLE-IN-HAY", 0));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * hay.Length());
}
BENCHMARK(BM_Find1M_Xp);

void BM_Find1M_Std(benchmark::State& state)
{
    const std::string& hay = mebibyteText();
    for (auto _ : state)
        benchmark::DoNotOptimize(hay.find("NEEDLE-IN-HAY"));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(hay.size()));
}
BENCHMARK(BM_Find1M_Std);

// ---- replace every "abc" by "wxyz" in 1 MiB ----

void BM_Replace1M_Xp(benchmark::State& state)
{
    XpStringA source(replaceText().c_str());
    for (auto _ : state) {
        XpStringA s(source);
        benchmark::DoNotOptimize(s.Replace("abc", "wxyz"));
    }
}
BENCHMARK(BM_Replace1M_Xp);

void BM_Replace1M_Std(benchmark::State& state)
{
    const std::string& source = replaceText();
    for (auto _ : state) {
        // What a user writes with std::string: build the result in a new string.
        std::string out;
        out.reserve(source.size());
        size_t pos = 0;
        int count = 0;
        for (size_t hit; (hit = source.find("abc", pos)) != std::string::npos; pos = hit + 3, ++count) {
            out.append(source, pos, hit - pos);
            out += "wxyz";
        }
        out.append(source, pos, std::string::npos);
        benchmark::DoNotOptimize(out.data());
        benchmark::DoNotOptimize(count);
    }
}
BENCHMARK(BM_Replace1M_Std);

// ---- formatting: a 100-character and a 10,000-character result ----

void BM_Format100_Xp(benchmark::State& state)
{
    std::string arg(80, 'f');
    for (auto _ : state) {
        XpStringA s;
        s.Format("%s:%08d:%6.2f", arg.c_str(), 1234, 3.14159);
        benchmark::DoNotOptimize(s.GetBuffer());
    }
}
BENCHMARK(BM_Format100_Xp);

void BM_Format100_Std(benchmark::State& state)
{
    std::string arg(80, 'f');
    for (auto _ : state) {
        std::string s = stdFormat("%s:%08d:%6.2f", arg.c_str(), 1234, 3.14159);
        benchmark::DoNotOptimize(s.data());
    }
}
BENCHMARK(BM_Format100_Std);

void BM_Format10k_Xp(benchmark::State& state)
{
    std::string arg(9980, 'F');
    for (auto _ : state) {
        XpStringA s;
        s.Format("%s:%08d:%6.2f", arg.c_str(), 1234, 3.14159);
        benchmark::DoNotOptimize(s.GetBuffer());
    }
}
BENCHMARK(BM_Format10k_Xp);

void BM_Format10k_Std(benchmark::State& state)
{
    std::string arg(9980, 'F');
    for (auto _ : state) {
        std::string s = stdFormat("%s:%08d:%6.2f", arg.c_str(), 1234, 3.14159);
        benchmark::DoNotOptimize(s.data());
    }
}
BENCHMARK(BM_Format10k_Std);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    XpBenchRecorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    benchmark::Shutdown();

    // Each Xp benchmark against its std one; default construction also against a shared copy.
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const auto& record : recorder.Records()) {
        const std::string& name = record.first.first;
        if (name.size() > 3 && name.compare(name.size() - 3, 3, "_Xp") == 0)
            pairs.emplace_back(name, name.substr(0, name.size() - 3) + "_Std");
    }
    pairs.emplace_back("BM_Default_Xp", "BM_Copy4K_Xp");
    // The ratios that have a goal; the others are shown for what they are.
    const std::map<std::string, double> goals = {{"BM_Find1M_Xp", 1.2}};
    std::printf("\n%-34s %12s %12s %8s  %s\n", "ours / theirs", "ours ns", "theirs ns", "ratio", "goal");
    for (const auto& pair : pairs) {
        double ours = recorder.Times(pair.first).realNs, theirs = recorder.Times(pair.second).realNs;
        if (ours <= 0 || theirs <= 0)
            continue;
        auto goal = goals.find(pair.first);
        char goalText[24] = "-";
        if (goal != goals.end())
            std::snprintf(goalText, sizeof goalText, "<= %.2f %s", goal->second, ours / theirs <= goal->second ? "ok" : "MISS");
        std::printf("%-34s %12.1f %12.1f %8.2f  %s\n", (pair.first.substr(3) + " / " + pair.second.substr(3)).c_str(),
                    ours, theirs, ours / theirs, goalText);
    }
    return 0;
}
