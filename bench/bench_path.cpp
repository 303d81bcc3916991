// XpPathUtil side by side with what a user would pick instead:
// - CompareLogical against glibc's strverscmp (the version sort of `ls -v`) on 100k pairs of
//   file names;
// - GetRootPath against a plain statfs + stat of the same folder (which names the file system
//   and device but not the mount point), and against the mount-point walk of `stat -c %m`
//   (stat the folder and each parent until the device changes);
// - SplitPath against std::filesystem::path's parent_path, stem and extension.
// Each pair runs the same work; the table at the end gives the ratio of the CPU times (Xp / other).
#include <XpPathUtil.h>

#include <benchmark/benchmark.h>

#include "XpBenchRecorder.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <vector>

namespace {

typedef XpStringT<char> Str;

// Names as found in photo, music and document folders, some with non-ASCII letters.
std::vector<std::string> fileNames(size_t count)
{
    static const char* const stems[] = {"IMG_", "DSC0", "file", "Track ", "Report (", "caf\xC3\xA9 ", "v1.", "Chapter"};
    static const char* const exts[] = {".JPG", ".jpg", ".txt", ".mp3", ").pdf", ".tar.gz", "", ".flac"};
    std::vector<std::string> names;
    names.reserve(count);
    unsigned seed = 2024;
    for (size_t i = 0; i < count; ++i) {
        seed = seed * 1103515245u + 12345u;
        unsigned r = seed >> 8;
        names.push_back(std::string(stems[r % 8]) + std::to_string(r % 3000) + exts[(r >> 4) % 8]);
    }
    return names;
}

const std::vector<std::string>& pairs()
{
    static const std::vector<std::string> names = fileNames(200000);   // 100k pairs
    return names;
}

void BM_Compare_Xp(benchmark::State& state)
{
    std::vector<Str> names;
    for (const std::string& n : pairs())
        names.emplace_back(n.c_str());
    for (auto _ : state)
        for (size_t i = 0; i + 1 < names.size(); i += 2)
            benchmark::DoNotOptimize(XpPathUtil::CompareLogical(names[i], names[i + 1]));
    state.SetItemsProcessed(state.iterations() * names.size() / 2);
}
BENCHMARK(BM_Compare_Xp);

void BM_Compare_Other(benchmark::State& state)
{
    // The same strings as above: both sides read the same memory, so only the comparison differs.
    std::vector<Str> names;
    for (const std::string& n : pairs())
        names.emplace_back(n.c_str());
    for (auto _ : state)
        for (size_t i = 0; i + 1 < names.size(); i += 2)
            benchmark::DoNotOptimize(strverscmp(names[i].GetBuffer(), names[i + 1].GetBuffer()));
    state.SetItemsProcessed(state.iterations() * names.size() / 2);
}
BENCHMARK(BM_Compare_Other);

// A folder a few levels deep: the one holding this program.
std::string programFolder()
{
    char exe[PATH_MAX] = {};
    if (readlink("/proc/self/exe", exe, sizeof exe - 1) <= 0)
        return "/usr/bin";
    std::string path(exe);
    return path.substr(0, path.rfind('/'));
}

void BM_Root_Xp(benchmark::State& state)
{
    Str folder(programFolder().c_str());
    for (auto _ : state)
        benchmark::DoNotOptimize(XpPathUtil::GetRootPath(folder).Length());
}
BENCHMARK(BM_Root_Xp);

void BM_Root_Other(benchmark::State& state)
{
    std::string folder = programFolder();
    for (auto _ : state) {
        struct statfs fs;
        struct stat st;
        benchmark::DoNotOptimize(statfs(folder.c_str(), &fs) + stat(folder.c_str(), &st));
    }
}
BENCHMARK(BM_Root_Other);

void BM_RootWalk_Xp(benchmark::State& state)
{
    BM_Root_Xp(state);
}
BENCHMARK(BM_RootWalk_Xp);

void BM_RootWalk_Other(benchmark::State& state)
{
    std::string folder = programFolder();
    for (auto _ : state) {
        // stat -c %m: up from the folder while the parent is on the same device.
        std::string path = folder;
        struct stat st, up;
        if (stat(path.c_str(), &st) != 0)
            continue;
        while (path != "/") {
            std::string parent = path.substr(0, path.rfind('/'));
            if (parent.empty())
                parent = "/";
            if (stat(parent.c_str(), &up) != 0 || up.st_dev != st.st_dev)
                break;
            path = parent;
        }
        benchmark::DoNotOptimize(path.size());
    }
}
BENCHMARK(BM_RootWalk_Other);

std::vector<std::string> samplePaths()
{
    std::vector<std::string> paths;
    for (const std::string& n : fileNames(1000))
        paths.push_back("/home/user/Pictures/2024/" + n);
    return paths;
}

void BM_Split_Xp(benchmark::State& state)
{
    std::vector<Str> paths;
    for (const std::string& p : samplePaths())
        paths.emplace_back(p.c_str());
    for (auto _ : state)
        for (const Str& p : paths) {
            Str dir, name, ext;
            XpPathUtil::SplitPath(p, &dir, &name, &ext);
            benchmark::DoNotOptimize(dir.Length() + name.Length() + ext.Length());
        }
    state.SetItemsProcessed(state.iterations() * paths.size());
}
BENCHMARK(BM_Split_Xp);

void BM_Split_Other(benchmark::State& state)
{
    std::vector<std::filesystem::path> paths;
    for (const std::string& p : samplePaths())
        paths.emplace_back(p);
    for (auto _ : state)
        for (const std::filesystem::path& p : paths) {
            std::filesystem::path dir = p.parent_path(), name = p.stem(), ext = p.extension();
            benchmark::DoNotOptimize(dir.native().size() + name.native().size() + ext.native().size());
        }
    state.SetItemsProcessed(state.iterations() * paths.size());
}
BENCHMARK(BM_Split_Other);

// Each Xp benchmark against its Other one, by CPU time.
void printTable(const XpBenchRecorder& recorder)
{
    std::printf("\n%-12s %14s %14s %8s\n", "pair", "Xp (ns)", "other (ns)", "ratio");
    for (const auto& record : recorder.Records()) {
        const std::string& name = record.first.first;
        if (name.size() < 3 || name.compare(name.size() - 3, 3, "_Xp") != 0)
            continue;
        std::string base = name.substr(0, name.size() - 3);
        double xp = record.second.cpuNs, other = recorder.Times(base + "_Other").cpuNs;
        if (other > 0)
            std::printf("%-12s %14.1f %14.1f %8.2f\n", base.substr(3).c_str(), xp, other, xp / other);
    }
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    XpBenchRecorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    printTable(recorder);
    benchmark::Shutdown();
    return 0;
}
