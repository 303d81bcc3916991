// Copies and removals against what a user would run instead: the stream copy (CopyFile with a
// source object), the copy by paths and the file-manager agent's copy (CopyFiles with UI, which
// the built-in agent carries out) against cp on a 1 GiB file whose pages are in the cache,
// RemoveDir recursive and `xpfs rm -r` against rm -rf on a tree of 100,000 entries, and `xpfs cp`
// against cp -r on a tree of 20,000 small files (0 to 8 KiB), and `xpfs cp` against cp on one
// file of 512 MiB (both with its pages cached). cp, rm and xpfs are started with an
// argv (posix_spawn), never through a shell, and timed with their start-up included.
// Ends with a table of ratios from this one run.
//
// The files live in $XP_BENCH_DIR, else /dev/shm (memory only, so the figures compare the
// programs rather than the disk's write-back), else $TMPDIR or /tmp.
#include <XpFile.h>
#include <XpFileOperation.h>

#include <benchmark/benchmark.h>

#include "XpBenchRecorder.h"
#include "XpBenchTrees.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const int64_t kFileSize = int64_t(1) << 30;
const int64_t kMediumSize = int64_t(512) << 20;
// A file of size bytes at name, every page read once afterwards, so that each side starts from
// a warm page cache.
void makeFile(const char* name, int64_t size)
{
    std::string buffer(1 << 20, 0);
    for (size_t i = 0; i < buffer.size(); ++i)
        buffer[i] = static_cast<char>(i * 131 % 251);
    int fd = open(path(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    for (int64_t done = 0; fd >= 0 && done < size; done += static_cast<int64_t>(buffer.size()))
        if (write(fd, buffer.data(), buffer.size()) != static_cast<ssize_t>(buffer.size()))
            break;
    if (fd >= 0)
        close(fd);
    fd = open(path(name).c_str(), O_RDONLY | O_CLOEXEC);
    while (fd >= 0 && read(fd, &buffer[0], buffer.size()) > 0) {
    }
    if (fd >= 0)
        close(fd);
}

// 100,000 entries: 100 folders of 999 files each, plus the folders.
void makeTree(const std::string& top)
{
    mkdir(top.c_str(), 0755);
    for (int d = 0; d < 100; ++d) {
        std::string dir = top + "/d" + std::to_string(d);
        mkdir(dir.c_str(), 0755);
        for (int f = 0; f < 999; ++f) {
            int fd = open((dir + "/f" + std::to_string(f)).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            if (fd >= 0)
                close(fd);
        }
    }
}

template <class Copy>
void copyBenchmark(benchmark::State& state, Copy copy)
{
    std::string target = path("target");
    for (auto _ : state) {
        if (!copy(target))
            state.SkipWithError("copy failed");
        state.PauseTiming();
        unlink(target.c_str());
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * kFileSize);
}

void BM_StreamCopy(benchmark::State& state)
{
    copyBenchmark(state, [](const std::string& target) {
        XpSharedPtr<XpAbstractFile> source(new XpFile(XpStringT<char>(path("source").c_str())));
        return XpFileOperation::CopyFile(source, XpStringT<char>(target.c_str()), nullptr) == XPERR_OK;
    });
}

void BM_CopyByPaths(benchmark::State& state)
{
    copyBenchmark(state, [](const std::string& target) {
        return XpFileOperation::CopyFile(XpStringT<char>(path("source").c_str()),
                                         XpStringT<char>(target.c_str()), false, nullptr) == XPERR_OK;
    });
}

// The agent copies into a folder under the item's own name; the target is that name.
void BM_FileManagerCopy(benchmark::State& state)
{
    mkdir(path("agent").c_str(), 0755);
    std::vector<XpStringT<char> > items(1, XpStringT<char>(path("source").c_str()));
    XpStringT<char> folder(path("agent").c_str());
    std::string target = path("agent") + "/source";
    for (auto _ : state) {
        if (XpFileOperation::CopyFiles(items, folder, true, nullptr) != XPERR_OK)
            state.SkipWithError("copy failed");
        state.PauseTiming();
        unlink(target.c_str());
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * kFileSize);
}

void BM_cp(benchmark::State& state)
{
    copyBenchmark(state, [](const std::string& target) { return run({"cp", path("source"), target}); });
}

template <class Remove>
void removeBenchmark(benchmark::State& state, Remove remove)
{
    std::string top = path("tree");
    for (auto _ : state) {
        state.PauseTiming();
        makeTree(top);
        state.ResumeTiming();
        if (!remove(top))
            state.SkipWithError("removal failed");
    }
    state.SetItemsProcessed(state.iterations() * 100000);
}

void BM_RemoveDir(benchmark::State& state)
{
    removeBenchmark(state, [](const std::string& top) {
        return XpFileOperation::RemoveDir(XpStringT<char>(top.c_str()), true, nullptr) == XPERR_OK;
    });
}

void BM_rm_rf(benchmark::State& state)
{
    removeBenchmark(state, [](const std::string& top) { return run({"rm", "-rf", top}); });
}

// A copy of the small-file tree to a target that does not exist yet, removed after each copy.
template <class CopyTree>
void treeCopyBenchmark(benchmark::State& state, CopyTree copyTree)
{
    std::string target = path("treecopy");
    for (auto _ : state) {
        if (!copyTree(path("smalltree"), target))
            state.SkipWithError("tree copy failed");
        state.PauseTiming();
        run({"rm", "-rf", target});
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kSmallFolders * kSmallFilesPerFolder);
}

void BM_xpfs_cp_tree(benchmark::State& state)
{
    treeCopyBenchmark(state, [](const std::string& from, const std::string& to) {
        return run({XPFS_PROGRAM, "cp", from, to});
    });
}

void BM_cp_r_tree(benchmark::State& state)
{
    treeCopyBenchmark(state, [](const std::string& from, const std::string& to) {
        return run({"cp", "-r", from, to});
    });
}

// One file of 512 MiB, copied by a program to a target removed after each copy.
template <class CopyOne>
void mediumCopyBenchmark(benchmark::State& state, CopyOne copyOne)
{
    std::string target = path("mediumcopy");
    for (auto _ : state) {
        if (!copyOne(path("medium"), target))
            state.SkipWithError("copy failed");
        state.PauseTiming();
        unlink(target.c_str());
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * kMediumSize);
}

void BM_xpfs_cp_file(benchmark::State& state)
{
    mediumCopyBenchmark(state, [](const std::string& from, const std::string& to) {
        return run({XPFS_PROGRAM, "cp", from, to});
    });
}

void BM_cp_file(benchmark::State& state)
{
    mediumCopyBenchmark(state, [](const std::string& from, const std::string& to) { return run({"cp", from, to}); });
}

void BM_xpfs_rm_r(benchmark::State& state)
{
    removeBenchmark(state, [](const std::string& top) { return run({XPFS_PROGRAM, "rm", "-r", top}); });
}

// Interleaved, so that a change in the machine's load hits both sides of a ratio alike.
BENCHMARK(BM_cp)->Iterations(6)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreamCopy)->Iterations(6)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyByPaths)->Iterations(6)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FileManagerCopy)->Iterations(6)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_rm_rf)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemoveDir)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_xpfs_rm_r)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_cp_r_tree)->Iterations(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_xpfs_cp_tree)->Iterations(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_cp_r_tree)->Name("BM_cp_r_tree/again")->Iterations(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_xpfs_cp_tree)->Name("BM_xpfs_cp_tree/again")->Iterations(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_cp_file)->Iterations(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_xpfs_cp_file)->Iterations(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_cp_file)->Name("BM_cp_file/again")->Iterations(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_xpfs_cp_file)->Name("BM_xpfs_cp_file/again")->Iterations(4)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    const char* dir = std::getenv("XP_BENCH_DIR");
    struct stat st;
    std::string base = dir && *dir ? dir : stat("/dev/shm", &st) == 0 ? "/dev/shm" : "";
    workDir = XpBenchTempDir("bench_copy", base);
    makeFile("source", kFileSize);
    makeFile("medium", kMediumSize);
    makeSmallFileTree(path("smalltree"));
    benchmark::Initialize(&argc, argv);
    XpBenchRecorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    run({"rm", "-rf", workDir});

    // A throughput ratio is the inverse ratio of the times.
    auto ns = [&](const char* name) { return recorder.Times(name).realNs; };
    XpBenchPrintRatioHeader(("ratios (" + workDir.substr(0, workDir.rfind('/')) + ", 1 GiB file, 100,000 entries)").c_str());
    XpBenchPrintRatioRow("stream copy throughput / cp throughput", ns("BM_cp") / ns("BM_StreamCopy"), ">= 0.70");
    XpBenchPrintRatioRow("copy by paths (no UI) throughput / cp throughput", ns("BM_cp") / ns("BM_CopyByPaths"),
                         ">= 1.00");
    XpBenchPrintRatioRow("file-manager copy throughput / cp throughput", ns("BM_cp") / ns("BM_FileManagerCopy"), "-");
    XpBenchPrintRatioRow("RemoveDir recursive time / rm -rf time", ns("BM_RemoveDir") / ns("BM_rm_rf"), "<= 0.60");
    XpBenchPrintRatioRow("xpfs rm -r 100k entries time / rm -rf time", ns("BM_xpfs_rm_r") / ns("BM_rm_rf"), "<= 0.60");
    // Two alternated pairs, as the figures of one pair vary much on a busy machine; the row
    // gives the ratio of the summed times.
    XpBenchPrintRatioRow("xpfs cp 20k files 0-8 KiB time / cp -r time",
                         (ns("BM_xpfs_cp_tree") + ns("BM_xpfs_cp_tree/again")) /
                             (ns("BM_cp_r_tree") + ns("BM_cp_r_tree/again")),
                         "<= 0.70");
    XpBenchPrintRatioRow("xpfs cp one 512 MiB file time / cp time",
                         (ns("BM_xpfs_cp_file") + ns("BM_xpfs_cp_file/again")) /
                             (ns("BM_cp_file") + ns("BM_cp_file/again")),
                         "<= 1.05");
    return 0;
}
