// XpDir and XpFile next to what a user would pick instead, with the ratios of one run printed as
// a table at the end:
// - recursive enumeration of a 100,000-entry tree: XpDir (enumFiles, which walks the whole tree)
//   against `find DIR` (spawned with an argv, its output read through a pipe) and
//   std::filesystem::recursive_directory_iterator;
// - the listing with sizes and kinds of that tree: `xpfs walk -R` against
//   `find DIR -printf '%P %s %y\n'`, both spawned and read through a pipe;
// - sequential write and read of 256 MiB in 64 KiB requests: XpFile against plain write/read;
// - 10,000,000 big-endian 32-bit reads: XpFile::ReadInt against fread + be32toh.
// The tree and the data file live in a folder made under $TMPDIR (else /tmp) and are removed.
#include <XpDir.h>
#include <XpFile.h>

#include <benchmark/benchmark.h>

#include "XpBenchRecorder.h"

#include <endian.h>
#include <fcntl.h>
#include <ftw.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

const int kFolders = 100, kFilesPerFolder = 999;   // 100 + 99,900 entries
const size_t kChunk = 65536;
const int64_t kBigFile = 256LL << 20;
const int kIntCount = 10000000;

std::string gRoot, gTree, gData, gInts;

void makeFixtures()
{
    gRoot = XpBenchTempDir("bench_file");
    gTree = gRoot + "/tree";
    gData = gRoot + "/data";
    gInts = gRoot + "/ints";
    mkdir(gTree.c_str(), 0755);
    for (int d = 0; d < kFolders; ++d) {
        std::string folder = gTree + "/folder" + std::to_string(d);
        mkdir(folder.c_str(), 0755);
        for (int f = 0; f < kFilesPerFolder; ++f) {
            int fd = open((folder + "/file" + std::to_string(f) + ".dat").c_str(), O_CREAT | O_WRONLY, 0644);
            if (fd >= 0)
                close(fd);
        }
    }
    std::vector<uint32_t> ints(kIntCount);
    for (int i = 0; i < kIntCount; ++i)
        ints[i] = htobe32(static_cast<uint32_t>(i * 2654435761u));
    FILE* f = std::fopen(gInts.c_str(), "wb");
    if (f == nullptr || std::fwrite(ints.data(), 4, ints.size(), f) != ints.size() || std::fclose(f) != 0) {
        std::perror("ints");
        std::exit(1);
    }
}

void removeFixtures()
{
    nftw(gRoot.c_str(), [](const char* p, const struct stat*, int type, struct FTW*) {
        return type == FTW_DP ? rmdir(p) : unlink(p);
    }, 16, FTW_DEPTH | FTW_PHYS);
}

// ---- enumeration ----

void BM_XpDirRecursive(benchmark::State& state)
{
    XpDir dir(gTree.c_str());
    int64_t entries = 0;
    for (auto _ : state) {
        entries = 0;
        dir.StartEnum(XpAbstractDir::enumFiles, "");
        for (XpSharedPtr<XpAbstractFSObj> e = dir.EnumNext(); e; e = dir.EnumNext())
            ++entries;
        dir.FinishEnum();
    }
    state.counters["files"] = static_cast<double>(entries);
}

// Runs argv with its standard output on a pipe that this process reads to the end; the number
// of lines read, or -1 when the program could not be run or did not exit with status 0.
int64_t runCountingLines(std::vector<std::string> args)
{
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    pid_t pid;
    int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    static char buffer[1 << 16];
    int64_t lines = 0;
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
        for (ssize_t i = 0; i < n; ++i)
            lines += buffer[i] == '\n';
    close(fds[0]);
    int status = 0;
    if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return lines;
}

void spawnedLister(benchmark::State& state, const std::vector<std::string>& argv)
{
    int64_t lines = 0;
    for (auto _ : state)
        if ((lines = runCountingLines(argv)) < 0)
            state.SkipWithError(argv[0].c_str());
    state.counters["lines"] = static_cast<double>(lines);
}

void BM_FindProgram(benchmark::State& state) { spawnedLister(state, {"find", gTree}); }

// A listing with every entry's size and kind, as xpfs walk -R prints it (a folder's size differs:
// find gives the folder's own, xpfs the sum of the files below it).
void BM_XpfsLsRecursive(benchmark::State& state) { spawnedLister(state, {XPFS_PROGRAM, "walk", "-R", gTree}); }
void BM_FindPrintf(benchmark::State& state) { spawnedLister(state, {"find", gTree, "-printf", "%P %s %y\n"}); }

void BM_StdRecursiveIterator(benchmark::State& state)
{
    int64_t entries = 0;
    for (auto _ : state) {
        entries = 0;
        for (const auto& e : std::filesystem::recursive_directory_iterator(gTree)) {
            benchmark::DoNotOptimize(e);
            ++entries;
        }
    }
    state.counters["entries"] = static_cast<double>(entries);
}

// ---- 256 MiB in 64 KiB requests ----

std::vector<char>& chunk()
{
    static std::vector<char> data(kChunk, 'x');
    return data;
}

void BM_XpFileWrite(benchmark::State& state)
{
    for (auto _ : state) {
        XpFile file(gData.c_str());
        file.Open(XpFile::openWrite, XpFile::shareDenyNone);
        for (int64_t done = 0; done < kBigFile; done += kChunk)
            file.Write(chunk().data(), kChunk, nullptr);
        file.Close();
    }
    state.SetBytesProcessed(state.iterations() * kBigFile);
}

void BM_PlainWrite(benchmark::State& state)
{
    for (auto _ : state) {
        int fd = open(gData.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        for (int64_t done = 0; done < kBigFile; done += kChunk)
            if (write(fd, chunk().data(), kChunk) != static_cast<ssize_t>(kChunk))
                state.SkipWithError("write");
        close(fd);
    }
    state.SetBytesProcessed(state.iterations() * kBigFile);
}

void BM_XpFileRead(benchmark::State& state)
{
    std::vector<char> buffer(kChunk);
    for (auto _ : state) {
        XpFile file(gData.c_str());
        file.Open(XpFile::openRead, XpFile::shareDenyNone);
        int64_t got = 0;
        while (file.Read(buffer.data(), kChunk, &got) == XPERR_OK)
            benchmark::DoNotOptimize(buffer.data());
        file.Close();
    }
    state.SetBytesProcessed(state.iterations() * kBigFile);
}

void BM_PlainRead(benchmark::State& state)
{
    std::vector<char> buffer(kChunk);
    for (auto _ : state) {
        int fd = open(gData.c_str(), O_RDONLY | O_CLOEXEC);
        while (read(fd, buffer.data(), kChunk) > 0)
            benchmark::DoNotOptimize(buffer.data());
        close(fd);
    }
    state.SetBytesProcessed(state.iterations() * kBigFile);
}

// ---- big-endian integers ----

void BM_XpFileReadIntBE32(benchmark::State& state)
{
    uint64_t sum = 0;
    for (auto _ : state) {
        XpFile file(gInts.c_str());
        file.Open(XpFile::openRead, XpFile::shareDenyNone);
        unsigned int value;
        for (int i = 0; i < kIntCount; ++i) {
            file.ReadInt(value, XpFile::endianBig);
            sum += value;
        }
        file.Close();
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations() * kIntCount);
}

void BM_FreadBe32toh(benchmark::State& state)
{
    uint64_t sum = 0;
    for (auto _ : state) {
        FILE* f = std::fopen(gInts.c_str(), "rb");
        uint32_t value;
        for (int i = 0; i < kIntCount; ++i) {
            if (std::fread(&value, 4, 1, f) != 1)
                break;
            sum += be32toh(value);
        }
        std::fclose(f);
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations() * kIntCount);
}

BENCHMARK(BM_XpDirRecursive)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_FindProgram)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_StdRecursiveIterator)->Unit(benchmark::kMillisecond)->MinTime(1.0);
// Alternated, so that a change in the machine's load hits both sides of the ratio alike.
BENCHMARK(BM_FindPrintf)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_XpfsLsRecursive)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_XpFileWrite)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_PlainWrite)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_XpFileRead)->Unit(benchmark::kMillisecond)->Iterations(6);
BENCHMARK(BM_PlainRead)->Unit(benchmark::kMillisecond)->Iterations(6);
BENCHMARK(BM_XpFileReadIntBE32)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_FreadBe32toh)->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    makeFixtures();
    XpBenchRecorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    removeFixtures();
    const struct { const char* what; const char* ours; const char* theirs; const char* goal; } rows[] = {
        {"enumerate 100k entries / find DIR", "BM_XpDirRecursive", "BM_FindProgram", "<= 1.25"},
        {"enumerate 100k entries / std::filesystem", "BM_XpDirRecursive", "BM_StdRecursiveIterator", "-"},
        {"xpfs walk -R 100k entries / find -printf '%P %s %y'", "BM_XpfsLsRecursive", "BM_FindPrintf", "<= 1.10"},
        {"write 256 MiB / write(2) 64 KiB", "BM_XpFileWrite", "BM_PlainWrite", "<= 1.20"},
        {"read 256 MiB / read(2) 64 KiB", "BM_XpFileRead", "BM_PlainRead", "<= 1.20"},
        {"10M big-endian 32-bit / fread+be32toh", "BM_XpFileReadIntBE32", "BM_FreadBe32toh", "<= 2.00"},
    };
    XpBenchPrintRatioHeader("ratio (ours / theirs)");
    for (const auto& row : rows)
        XpBenchPrintRatioRow(row.what, recorder.Times(row.ours).realNs / recorder.Times(row.theirs).realNs, row.goal);
    benchmark::Shutdown();
    return 0;
}
