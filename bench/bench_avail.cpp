// The availability checker next to a plain stat, with the ratios of one run printed as a table:
// - a file on a local volume: IsFileAvailableWithTimeOut (mount table, statfs, the probe on the
//   calling thread; no thread, no cache) against stat(2);
// - a file below a folder of an unreachable network share that the checker has cached: the
//   answer comes from the cache, against stat(2) of a local file for scale.
// The unreachable share is real: this program moves into a private mount namespace and mounts a
// FUSE volume of type fuse.sshfs on /dev/fuse without ever serving it, so every request to it
// blocks, exactly like a share whose server is gone. Closing the device at the end aborts the
// volume and lets the timed-out probe go. Needs root; otherwise that row says it was skipped.
#include <XpFileAvailableChecker.h>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace {

std::string gRoot, gFile, gShare, gRefusal;
int gFuse = -1;
XpFileAvailableChecker* gChecker = nullptr;

void makeFixtures()
{
    const char* tmp = std::getenv("TMPDIR");
    gRoot = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench_avail.XXXXXX";
    if (mkdtemp(&gRoot[0]) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    gFile = gRoot + "/file.txt";
    gShare = gRoot + "/share";
    close(open(gFile.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    mkdir(gShare.c_str(), 0755);
    gChecker = new XpFileAvailableChecker(true);
    char options[128];
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        (gFuse = open("/dev/fuse", O_RDWR | O_CLOEXEC)) < 0 ||
        (std::snprintf(options, sizeof options, "fd=%d,rootmode=40000,user_id=0,group_id=0", gFuse),
         mount("xpbench", gShare.c_str(), "fuse.sshfs", MS_NOSUID | MS_NODEV, options) != 0)) {
        gRefusal = std::string("no unreachable share (needs root, namespaces, /dev/fuse): ") + std::strerror(errno);
        return;
    }
    // The first check waits one second and caches the folder.
    if (gChecker->IsFileAvailableWithTimeOut((gShare + "/dir/first.txt").c_str(), 1))
        gRefusal = "the unanswered share answered";
}

void removeFixtures()
{
    if (gFuse >= 0)
        close(gFuse);   // aborts the volume: the hanging probe returns, the checker can join it
    delete gChecker;
    umount2(gShare.c_str(), MNT_DETACH);
    rmdir(gShare.c_str());
    unlink(gFile.c_str());
    rmdir(gRoot.c_str());
}

void BM_PlainStat(benchmark::State& state)
{
    struct stat st;
    for (auto _ : state)
        benchmark::DoNotOptimize(stat(gFile.c_str(), &st));
}

void BM_CheckerLocalFile(benchmark::State& state)
{
    XpStringT<char> path(gFile.c_str());
    for (auto _ : state)
        benchmark::DoNotOptimize(gChecker->IsFileAvailableWithTimeOut(path, 1));
}

void BM_CheckerCachedUnreachable(benchmark::State& state)
{
    if (!gRefusal.empty())
        return state.SkipWithError(gRefusal.c_str());
    XpStringT<char> path((gShare + "/dir/sub/other.txt").c_str());
    for (auto _ : state)
        benchmark::DoNotOptimize(gChecker->IsFileAvailableWithTimeOut(path, 5));
}

BENCHMARK(BM_PlainStat)->MinTime(0.5);
BENCHMARK(BM_CheckerLocalFile)->MinTime(0.5);
BENCHMARK(BM_CheckerCachedUnreachable)->MinTime(0.5);

// Keeps each benchmark's real time per iteration (ns) for the table.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> times;
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs)
            if (!run.error_occurred)
                times[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    makeFixtures();
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    removeFixtures();
    double stat = reporter.times["BM_PlainStat/min_time:0.500"];
    double local = reporter.times["BM_CheckerLocalFile/min_time:0.500"];
    double cached = reporter.times["BM_CheckerCachedUnreachable/min_time:0.500"];
    std::printf("\n%-52s %10s %10s\n", "checker / stat(2)", "ratio", "goal");
    if (stat > 0 && local > 0)
        std::printf("%-52s %10.2f %10s\n", "local file / stat of the same file", local / stat, "<= 2.5");
    if (stat > 0 && cached > 0)
        std::printf("%-52s %10.2f %10s\n%-52s %7.2f us %10s\n", "cached unreachable folder / stat of a local file",
                    cached / stat, "-", "cached unreachable folder, per answer", cached / 1000.0, "< 10 us");
    else
        std::printf("cached unreachable folder: %s\n", gRefusal.c_str());
    benchmark::Shutdown();
    return 0;
}
