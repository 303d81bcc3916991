// The reporter every benchmark program under bench/ runs with. It prints each run as Google
// Benchmark's console reporter does, in colour only when stdout is a terminal (so that
// `scripts/bench.sh > log` gives plain text), and keeps the times each program's closing ratio
// table is made of.
#pragma once

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

// A fresh folder "<base>/<name>.XXXXXX" for a program's fixtures, base being $TMPDIR (else
// /tmp) when not given; the program ends with a message when none can be made.
inline std::string XpBenchTempDir(const char* name, std::string base = std::string())
{
    if (base.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        base = tmp && *tmp ? tmp : "/tmp";
    }
    std::string dir = base + "/" + name + ".XXXXXX";
    if (mkdtemp(&dir[0]) == nullptr) {
        std::perror(name);
        std::exit(1);
    }
    return dir;
}

// One benchmark's time per iteration, in nanoseconds whatever unit its console line uses.
struct XpBenchTimes {
    double realNs = 0;
    double cpuNs = 0;
    bool realTimeMeasured = false;   // registered with UseRealTime or UseManualTime

    // The time the benchmark is measured by: real time if registered so, CPU time otherwise.
    double MeasuredNs() const { return realTimeMeasured ? realNs : cpuNs; }
};

class XpBenchRecorder : public benchmark::ConsoleReporter {
public:
    XpBenchRecorder()
        : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular)
    {
    }

    // Prints the runs, then records each iteration run that did not fail (aggregates of
    // repetitions are printed only).
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations <= 0)
                continue;
            const double toNs = 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            XpBenchTimes& times = records_[{nameOf(run), run.threads}];
            times.realNs = run.GetAdjustedRealTime() * toNs;
            times.cpuNs = run.GetAdjustedCPUTime() * toNs;
            times.realTimeMeasured = !run.run_name.time_type.empty();
        }
    }

    // The times of benchmark `name` run on `threads` threads; all zero if it was filtered out or
    // failed. `name` is the registered function's name, followed by "/" and its arguments if it
    // takes any: options such as min_time, iterations or real_time are not part of it.
    const XpBenchTimes& Times(const std::string& name, int threads = 1) const
    {
        static const XpBenchTimes none;
        auto found = records_.find({name, threads});
        return found == records_.end() ? none : found->second;
    }

    // Every record, ordered by name and then thread count.
    const std::map<std::pair<std::string, int64_t>, XpBenchTimes>& Records() const { return records_; }

private:
    static std::string nameOf(const Run& run)
    {
        return run.run_name.args.empty() ? run.run_name.function_name
                                         : run.run_name.function_name + "/" + run.run_name.args;
    }

    std::map<std::pair<std::string, int64_t>, XpBenchTimes> records_;
};

// Starts a ratio table: a blank line, then the column heads `title`, "ratio" and "goal".
inline void XpBenchPrintRatioHeader(const char* title)
{
    std::printf("\n%-52s %8s  %s\n", title, "ratio", "goal");
}

// Prints one row of a ratio table: what is set against what, the ratio, and the goal ("-" for
// none). A ratio that is not a positive number (a side filtered out or failed, so its time is
// zero) is printed as "n/a".
inline void XpBenchPrintRatioRow(const char* what, double ratio, const char* goal)
{
    if (ratio > 0 && std::isfinite(ratio))
        std::printf("%-52s %8.2f  %s\n", what, ratio, goal);
    else
        std::printf("%-52s %8s  %s\n", what, "n/a", goal);
}
