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

#include "XpBenchRecorder.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string gRoot, gFile, gShare, gRefusal;
int gFuse = -1;
XpFileAvailableChecker* gChecker = nullptr;

void makeFixtures()
{
    gRoot = XpBenchTempDir("bench_avail");
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

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    makeFixtures();
    XpBenchRecorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    removeFixtures();
    double stat = recorder.Times("BM_PlainStat").realNs;
    double local = recorder.Times("BM_CheckerLocalFile").realNs;
    double cached = recorder.Times("BM_CheckerCachedUnreachable").realNs;
    XpBenchPrintRatioHeader("checker / stat(2)");
    XpBenchPrintRatioRow("local file / stat of the same file", local / stat, "<= 2.5");
    XpBenchPrintRatioRow("cached unreachable folder / stat of a local file", cached / stat, "-");
    if (cached > 0)
        std::printf("%-52s %5.2f us  %s\n", "cached unreachable folder, per answer", cached / 1000.0, "< 10 us");
    else if (!gRefusal.empty())
        std::printf("cached unreachable folder: %s\n", gRefusal.c_str());
    benchmark::Shutdown();
    return 0;
}
