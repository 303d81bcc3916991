// Why the tree copy and the tree removal use threads and not io_uring: the same work on a tree of
// many small entries done three ways, in one run.
// - plain system calls on one thread;
// - plain system calls on one thread per usable core, the top folder's folders shared out (what
//   `xpfs cp` and RemoveDir do);
// - io_uring on one thread: each folder's entries submitted as one batch per step (unlink; or
//   open the source, create the copy, read, write, close both), so that the kernel sees hundreds
//   of requests per system call.
// The copies do the same work per file each way: open the source, create the copy exclusively
// without following a link, move the data, close both. Linux runs unlinks and exclusive creates
// that io_uring is given on its own worker threads, so a batch costs a thread switch per request
// where the plain call costs none; the table shows what that comes to on this machine.
//
// The trees live in $XP_BENCH_DIR, else /dev/shm, like bench_copy's.
#include <XpFileOperation.h>

#include <benchmark/benchmark.h>
#include <liburing.h>

#include "XpBenchRecorder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string workDir;
const int kFolders = 100;

// top/dN/fM: kFolders folders of `files` files, each of `size(M)` bytes.
void makeTree(const std::string& top, int files, size_t (*size)(int))
{
    static const std::string data(8192, 'x');
    mkdir(top.c_str(), 0755);
    for (int d = 0; d < kFolders; ++d) {
        std::string dir = top + "/d" + std::to_string(d);
        mkdir(dir.c_str(), 0755);
        for (int f = 0; f < files; ++f) {
            int fd = open((dir + "/f" + std::to_string(f)).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd >= 0 && write(fd, data.data(), size(f)) >= 0)
                close(fd);
        }
    }
}
size_t empty(int) { return 0; }
size_t small(int f) { return static_cast<size_t>(f) * 2654435761u % 8193; }

std::vector<std::string> listing(int dir)
{
    std::vector<std::string> names;
    DIR* d = fdopendir(dup(dir));
    for (struct dirent* e; d != nullptr && (e = readdir(d)) != nullptr;)
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    if (d != nullptr)
        closedir(d);
    return names;
}

unsigned cores()
{
    cpu_set_t set;
    return sched_getaffinity(0, sizeof set, &set) == 0 ? static_cast<unsigned>(CPU_COUNT(&set)) : 1;
}

// Runs perFolder(name) for every folder of the folder open at top, on `threads` threads that take
// the folders one after another.
template <class PerFolder> void eachFolder(int top, unsigned threads, PerFolder perFolder)
{
    std::vector<std::string> folders = listing(top);
    std::atomic<size_t> next(0);
    auto work = [&] {
        for (size_t i; (i = next++) < folders.size();)
            perFolder(folders[i]);
    };
    std::vector<std::thread> pool;
    for (unsigned i = 1; i < threads; ++i)
        pool.emplace_back(work);
    work();
    for (std::thread& t : pool)
        t.join();
}

// ---- removal of 100,000 empty files in 100 folders ----

void removePlain(const std::string& top, unsigned threads)
{
    int t = open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    eachFolder(t, threads, [t](const std::string& name) {
        int d = openat(t, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        for (const std::string& f : listing(d))
            unlinkat(d, f.c_str(), 0);
        close(d);
        unlinkat(t, name.c_str(), AT_REMOVEDIR);
    });
    close(t);
    rmdir(top.c_str());
}

// Submits prepare(sqe, i) for i in [0, n) in batches of the ring's size and waits for each batch;
// result(i, res) gets each completion.
template <class Prepare, class Result>
void inBatches(io_uring& ring, size_t n, Prepare prepare, Result result)
{
    for (size_t start = 0; start < n;) {
        size_t batch = std::min<size_t>(n - start, 256);
        for (size_t i = 0; i < batch; ++i) {
            io_uring_sqe* sqe = io_uring_get_sqe(&ring);
            prepare(sqe, start + i);
            io_uring_sqe_set_data64(sqe, start + i);
        }
        io_uring_submit_and_wait(&ring, static_cast<unsigned>(batch));
        for (size_t seen = 0; seen < batch; ++seen) {
            io_uring_cqe* cqe;
            if (io_uring_wait_cqe(&ring, &cqe) != 0)
                break;
            result(static_cast<size_t>(cqe->user_data), cqe->res);
            io_uring_cqe_seen(&ring, cqe);
        }
        start += batch;
    }
}

void removeUring(const std::string& top)
{
    io_uring ring;
    io_uring_queue_init(256, &ring, 0);
    int t = open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    eachFolder(t, 1, [&](const std::string& name) {
        int d = openat(t, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        std::vector<std::string> files = listing(d);
        inBatches(ring, files.size(), [&](io_uring_sqe* sqe, size_t i) { io_uring_prep_unlinkat(sqe, d, files[i].c_str(), 0); },
                  [](size_t, int) {});
        close(d);
        unlinkat(t, name.c_str(), AT_REMOVEDIR);
    });
    close(t);
    rmdir(top.c_str());
    io_uring_queue_exit(&ring);
}

template <class Remove> void removal(benchmark::State& state, Remove remove)
{
    std::string top = workDir + "/removal";
    for (auto _ : state) {
        state.PauseTiming();
        makeTree(top, 999, empty);
        state.ResumeTiming();
        remove(top);
    }
    state.SetItemsProcessed(state.iterations() * kFolders * 1000);
}

void BM_Remove_PlainOneThread(benchmark::State& state) { removal(state, [](const std::string& top) { removePlain(top, 1); }); }
void BM_Remove_PlainThreadPerCore(benchmark::State& state)
{
    removal(state, [](const std::string& top) { removePlain(top, cores()); });
}
void BM_Remove_RemoveDir(benchmark::State& state)
{
    removal(state, [](const std::string& top) { XpFileOperation::RemoveDir(XpStringT<char>(top.c_str()), true, nullptr); });
}
void BM_Remove_IoUring(benchmark::State& state) { removal(state, removeUring); }

// ---- copy of 20,000 files of 0 to 8 KiB in 100 folders ----

const int kCreate = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;

void copyPlain(const std::string& from, const std::string& to, unsigned threads)
{
    int s = open(from.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    mkdir(to.c_str(), 0755);
    int t = open(to.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    eachFolder(s, threads, [s, t](const std::string& name) {
        int sd = openat(s, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        mkdirat(t, name.c_str(), 0755);
        int td = openat(t, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        for (const std::string& f : listing(sd)) {
            int in = openat(sd, f.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            int out = openat(td, f.c_str(), kCreate, 0644);
            while (copy_file_range(in, nullptr, out, nullptr, size_t(1) << 30, 0) > 0) {
            }
            close(in);
            close(out);
        }
        close(sd);
        close(td);
    });
    close(s);
    close(t);
}

void copyUring(const std::string& from, const std::string& to)
{
    io_uring ring;
    io_uring_queue_init(256, &ring, 0);
    static char buffers[256][8192];
    int s = open(from.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    mkdir(to.c_str(), 0755);
    int t = open(to.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    eachFolder(s, 1, [&](const std::string& name) {
        int sd = openat(s, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        mkdirat(t, name.c_str(), 0755);
        int td = openat(t, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        std::vector<std::string> files = listing(sd);
        for (size_t start = 0; start < files.size(); start += 256) {
            size_t n = std::min<size_t>(256, files.size() - start);
            std::vector<int> in(n), out(n), got(n);
            const std::string* names = &files[start];
            inBatches(ring, n, [&](io_uring_sqe* q, size_t i) { io_uring_prep_openat(q, sd, names[i].c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0); },
                      [&](size_t i, int res) { in[i] = res; });
            inBatches(ring, n, [&](io_uring_sqe* q, size_t i) { io_uring_prep_openat(q, td, names[i].c_str(), kCreate, 0644); },
                      [&](size_t i, int res) { out[i] = res; });
            // Files of this tree hold at most 8 KiB: one read and one write each.
            inBatches(ring, n, [&](io_uring_sqe* q, size_t i) { io_uring_prep_read(q, in[i], buffers[i], sizeof buffers[i], 0); },
                      [&](size_t i, int res) { got[i] = res; });
            inBatches(ring, n, [&](io_uring_sqe* q, size_t i) { io_uring_prep_write(q, out[i], buffers[i], got[i] > 0 ? static_cast<unsigned>(got[i]) : 0, 0); },
                      [](size_t, int) {});
            inBatches(ring, 2 * n, [&](io_uring_sqe* q, size_t i) { io_uring_prep_close(q, i < n ? in[i] : out[i - n]); },
                      [](size_t, int) {});
        }
        close(sd);
        close(td);
    });
    close(s);
    close(t);
    io_uring_queue_exit(&ring);
}

template <class Copy> void copying(benchmark::State& state, Copy copy)
{
    std::string from = workDir + "/small", to = workDir + "/copy";
    for (auto _ : state) {
        copy(from, to);
        state.PauseTiming();
        XpFileOperation::RemoveDir(XpStringT<char>(to.c_str()), true, nullptr);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kFolders * 200);
}

void BM_Copy_PlainOneThread(benchmark::State& state)
{
    copying(state, [](const std::string& from, const std::string& to) { copyPlain(from, to, 1); });
}
void BM_Copy_PlainThreadPerCore(benchmark::State& state)
{
    copying(state, [](const std::string& from, const std::string& to) { copyPlain(from, to, cores()); });
}
void BM_Copy_IoUring(benchmark::State& state) { copying(state, copyUring); }

BENCHMARK(BM_Remove_PlainOneThread)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Remove_PlainThreadPerCore)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Remove_RemoveDir)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Remove_IoUring)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Copy_PlainOneThread)->Iterations(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Copy_PlainThreadPerCore)->Iterations(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Copy_IoUring)->Iterations(4)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    const char* dir = std::getenv("XP_BENCH_DIR");
    struct stat st;
    std::string base = dir && *dir ? dir : stat("/dev/shm", &st) == 0 ? "/dev/shm" : "";
    workDir = XpBenchTempDir("bench_uring", base);
    makeTree(workDir + "/small", 200, small);
    benchmark::Initialize(&argc, argv);
    XpBenchRecorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    XpFileOperation::RemoveDir(XpStringT<char>(workDir.c_str()), true, nullptr);

    auto ns = [&](const char* name) { return recorder.Times(name).realNs; };
    XpBenchPrintRatioHeader(("ratios (" + workDir.substr(0, workDir.rfind('/')) + ", " + std::to_string(cores()) +
                             " cores; below 1: faster than plain calls on one thread)").c_str());
    XpBenchPrintRatioRow("removal, one thread per core / one thread", ns("BM_Remove_PlainThreadPerCore") / ns("BM_Remove_PlainOneThread"), "-");
    XpBenchPrintRatioRow("removal, RemoveDir / one thread", ns("BM_Remove_RemoveDir") / ns("BM_Remove_PlainOneThread"), "-");
    XpBenchPrintRatioRow("removal, io_uring / one thread", ns("BM_Remove_IoUring") / ns("BM_Remove_PlainOneThread"), "-");
    XpBenchPrintRatioRow("copy, one thread per core / one thread", ns("BM_Copy_PlainThreadPerCore") / ns("BM_Copy_PlainOneThread"), "-");
    XpBenchPrintRatioRow("copy, io_uring / one thread", ns("BM_Copy_IoUring") / ns("BM_Copy_PlainOneThread"), "-");
    return 0;
}
