// The installer's payload installation against what an administrator would run instead: an
// application folder of 20,000 small files (0 to 8 KiB, 100 folders of 200, a link) installed as
// the user (the library's tree copy) and through the privileged helper (the installer walks the
// folder and streams it; the helper, started directly as root here rather than through pkexec,
// writes it with the library's tree writer), each against `cp -a` of the same folder. Both
// roads include their syncfs at the end, cp -a none. Ends with a table of ratios from this run.
//
// The helper reads its payload folders from its configuration, a fixed path: the benchmark runs
// in a mount namespace of its own with a tmpfs over that folder, so the machine's own
// configuration is neither read nor changed. Files live in $XP_BENCH_DIR, else /dev/shm, else
// $TMPDIR or /tmp. Needs root (the helper refuses anyone else).
#include <InstallerPayload.h>

#include <benchmark/benchmark.h>

#include "XpBenchRecorder.h"
#include "XpBenchTrees.h"

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

// The application folder: the small-file tree of the copy benchmarks, and a link among them.
void makeApplication(const std::string& top)
{
    makeSmallFileTree(top);
    if (symlink("d0", (top + "/current").c_str()) != 0) {
        std::perror("application folder");
        std::exit(1);
    }
}

// Installs the application folder to a destination that does not exist yet, removed after each.
template <class Install>
void installBenchmark(benchmark::State& state, Install install)
{
    const std::string target = path("applications") + "/App";
    for (auto _ : state) {
        if (!install(path("app"), target))
            state.SkipWithError("installation failed");
        state.PauseTiming();
        run({"rm", "-rf", target});
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kSmallFolders * kSmallFilesPerFolder);
}

void BM_cp_a(benchmark::State& state)
{
    installBenchmark(state, [](const std::string& from, const std::string& to) { return run({"cp", "-a", from, to}); });
}

void BM_PayloadAsUser(benchmark::State& state)
{
    installBenchmark(state, [](const std::string& from, const std::string& to) {
        return InstallerPayloadInstall(from, to, nullptr).outcome == InstallerPayloadOutcome::Installed;
    });
}

void BM_PayloadThroughHelper(benchmark::State& state)
{
    installBenchmark(state, [](const std::string& from, const std::string& to) {
        InstallerPayloadResult result = InstallerPayloadInstallThroughHelper({ORU_HELPER_PATH}, from, to, nullptr);
        if (result.outcome != InstallerPayloadOutcome::Installed)
            std::fprintf(stderr, "bench_payload: %s\n", result.error.c_str());
        return result.outcome == InstallerPayloadOutcome::Installed;
    });
}

// Interleaved, so that a change in the machine's load hits both sides of a ratio alike.
BENCHMARK(BM_cp_a)->Iterations(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PayloadAsUser)->Iterations(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PayloadThroughHelper)->Iterations(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_cp_a)->Name("BM_cp_a/again")->Iterations(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PayloadAsUser)->Name("BM_PayloadAsUser/again")->Iterations(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PayloadThroughHelper)
    ->Name("BM_PayloadThroughHelper/again")
    ->Iterations(4)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The helper's configuration, naming the benchmark's folder as its payload folder, in a mount
// namespace of this process only.
bool configureHelper()
{
    const std::filesystem::path config(ORU_HELPER_CONFIG);
    const std::string folder = config.parent_path().parent_path().string();
    if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::perror("bench_payload: a mount namespace of its own (run as root)");
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (mount("bench-payload", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=1m") != 0) {
        std::perror(("bench_payload: tmpfs on " + folder).c_str());
        return false;
    }
    std::filesystem::create_directories(config.parent_path(), ec);
    std::ofstream(config) << "PayloadDirectories=" << path("applications") << "\n";
    return !ec && ::chmod(config.c_str(), 0644) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    const char* dir = std::getenv("XP_BENCH_DIR");
    struct stat st;
    std::string base = dir && *dir ? dir : stat("/dev/shm", &st) == 0 ? "/dev/shm" : "";
    workDir = XpBenchTempDir("bench_payload", base);
    makeApplication(path("app"));
    mkdir(path("applications").c_str(), 0755);
    if (!configureHelper())
        return 1;
    // As pkexec would start it: the person who asked, by number.
    setenv("PKEXEC_UID", "65534", 1);
    benchmark::Initialize(&argc, argv);
    XpBenchRecorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    run({"rm", "-rf", workDir});

    auto ns = [&](const char* name) { return recorder.Times(name).realNs; };
    auto pair = [&](const char* name) { return ns(name) + ns((std::string(name) + "/again").c_str()); };
    XpBenchPrintRatioHeader(("ratios (" + workDir.substr(0, workDir.rfind('/')) + ", 20k files 0-8 KiB)").c_str());
    XpBenchPrintRatioRow("payload as the user time / cp -a time", pair("BM_PayloadAsUser") / pair("BM_cp_a"), "<= 1.00");
    XpBenchPrintRatioRow("payload through the helper time / cp -a time", pair("BM_PayloadThroughHelper") / pair("BM_cp_a"),
                         "<= 1.00");
    return 0;
}
