// Synchronization objects next to what a user would pick instead, in one run: uncontended
// lock/unlock of the critical section (std::recursive_mutex), the named mutex's in-process
// recursive path (std::mutex) and its first acquisition (a raw semop pair with SEM_UNDO, which is
// what it costs at least), both reader-writer locks' read paths (std::shared_mutex), and a
// semaphore ping-pong between two threads (std::condition_variable). The run ends with a table of
// the ratios ours/theirs (CPU time per iteration; real time for the ping-pongs).
#include <XpString.h>
#include <XpThread.h>

#include <benchmark/benchmark.h>

#include "XpBenchRecorder.h"

#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>

namespace {

// A temporary file naming a mutex; removes the semaphore set keyed on it and the file.
struct MutexFile {
    MutexFile()
    {
        const char* dir = std::getenv("TMPDIR");
        path = std::string(dir && *dir ? dir : "/tmp") + "/bench_sync.XXXXXX";
        int fd = mkstemp(&path[0]);
        if (fd >= 0)
            close(fd);
    }
    ~MutexFile()
    {
        int id = semget(ftok(path.c_str(), '1'), 1, 0);
        if (id >= 0)
            semctl(id, 0, IPC_RMID);
        unlink(path.c_str());
    }
    std::string path;
};

void BM_XpCriticalSection(benchmark::State& state)
{
    XpCriticalSection cs;
    for (auto _ : state) {
        cs.Lock();
        cs.Unlock();
    }
}
BENCHMARK(BM_XpCriticalSection);

void BM_StdRecursiveMutex(benchmark::State& state)
{
    std::recursive_mutex m;
    for (auto _ : state) {
        m.lock();
        m.unlock();
    }
}
BENCHMARK(BM_StdRecursiveMutex);

// Lock/Unlock while the thread already holds the mutex: depth 1 <-> 2, no system call.
void BM_XpMutexRecursive(benchmark::State& state)
{
    MutexFile file;
    XpMutex m(XpStringT<char>(file.path.c_str()));
    if (m.Lock() != XPERR_OK) {
        state.SkipWithError("no semaphore");
        return;
    }
    for (auto _ : state) {
        m.Lock();
        m.Unlock();
    }
    m.Unlock();
}
BENCHMARK(BM_XpMutexRecursive);

// Lock/Unlock from free: depth 0 <-> 1, one semop each way.
void BM_XpMutexFirstAcquisition(benchmark::State& state)
{
    MutexFile file;
    XpMutex m(XpStringT<char>(file.path.c_str()));
    for (auto _ : state) {
        if (m.Lock() != XPERR_OK) {
            state.SkipWithError("no semaphore");
            return;
        }
        m.Unlock();
    }
}
BENCHMARK(BM_XpMutexFirstAcquisition);

// What a first acquisition costs at least: take and give back a System V semaphore with SEM_UNDO.
void BM_RawSemopPair(benchmark::State& state)
{
    MutexFile file;
    int id = semget(ftok(file.path.c_str(), '1'), 1, IPC_CREAT | IPC_EXCL | 0600);
    union { int val; } arg = {1};
    if (id < 0 || semctl(id, 0, SETVAL, arg) != 0) {
        state.SkipWithError("no semaphore");
        return;
    }
    struct sembuf down = {0, -1, SEM_UNDO}, up = {0, 1, SEM_UNDO};
    for (auto _ : state) {
        semop(id, &down, 1);
        semop(id, &up, 1);
    }
}
BENCHMARK(BM_RawSemopPair);

void BM_StdMutex(benchmark::State& state)
{
    std::mutex m;
    for (auto _ : state) {
        m.lock();
        m.unlock();
    }
}
BENCHMARK(BM_StdMutex);

void BM_XpRwLockRead(benchmark::State& state)
{
    XpRwLock lock;
    for (auto _ : state) {
        lock.RdLock(XP_INFINITE_TIMEOUT);
        lock.Unlock();
    }
}
BENCHMARK(BM_XpRwLockRead);

void BM_XpRwLockExRead(benchmark::State& state)
{
    XpRwLockEx lock;
    for (auto _ : state) {
        lock.RdLock(XP_INFINITE_TIMEOUT);
        lock.Unlock();
    }
}
BENCHMARK(BM_XpRwLockExRead);

void BM_StdSharedMutexRead(benchmark::State& state)
{
    std::shared_mutex m;
    for (auto _ : state) {
        m.lock_shared();
        m.unlock_shared();
    }
}
BENCHMARK(BM_StdSharedMutexRead);

// One round trip: this thread releases `ping`, the partner takes it and releases `pong`.
void BM_XpSemaphorePingPong(benchmark::State& state)
{
    XpSemaphore ping(0, XP_INFINITE_TIMEOUT), pong(0, XP_INFINITE_TIMEOUT);
    bool done = false;   // read by the partner only after it took `ping`
    std::thread partner([&] {
        for (;;) {
            ping.Lock(XP_INFINITE_TIMEOUT);
            if (done)
                return;
            pong.Unlock();
        }
    });
    for (auto _ : state) {
        ping.Unlock();
        pong.Lock(XP_INFINITE_TIMEOUT);
    }
    done = true;
    ping.Unlock();
    partner.join();
}
BENCHMARK(BM_XpSemaphorePingPong)->UseRealTime();

void BM_StdConditionVariablePingPong(benchmark::State& state)
{
    std::mutex m;
    std::condition_variable cvPing, cvPong;
    int turn = 0;   // 1: partner's turn, 0: ours
    bool done = false;
    std::thread partner([&] {
        std::unique_lock<std::mutex> lock(m);
        for (;;) {
            cvPing.wait(lock, [&] { return turn == 1 || done; });
            if (done)
                return;
            turn = 0;
            cvPong.notify_one();
        }
    });
    for (auto _ : state) {
        std::unique_lock<std::mutex> lock(m);
        turn = 1;
        cvPing.notify_one();
        cvPong.wait(lock, [&] { return turn == 0; });
    }
    {
        std::lock_guard<std::mutex> lock(m);
        done = true;
    }
    cvPing.notify_one();
    partner.join();
}
BENCHMARK(BM_StdConditionVariablePingPong)->UseRealTime();

struct Comparison {
    const char* ours;
    const char* theirs;
    double goal;   // the ratio we aim to stay at or below; 0: none
};

const Comparison COMPARISONS[] = {
    {"BM_XpCriticalSection", "BM_StdRecursiveMutex", 1.2},
    {"BM_XpMutexRecursive", "BM_StdMutex", 4.0},
    {"BM_XpMutexFirstAcquisition", "BM_RawSemopPair", 1.1},
    {"BM_XpRwLockRead", "BM_StdSharedMutexRead", 2.0},
    {"BM_XpRwLockExRead", "BM_StdSharedMutexRead", 2.5},
    {"BM_XpSemaphorePingPong", "BM_StdConditionVariablePingPong", 0},
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    XpBenchRecorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    benchmark::Shutdown();

    std::printf("\n%-34s %-42s %10s %10s %7s %6s\n", "ours", "theirs", "ours ns", "theirs ns", "ratio", "goal");
    // Each side by the time it is measured by: real time for the ping-pongs, CPU time otherwise.
    auto label = [](const char* name, const XpBenchTimes& times) {
        return std::string(name) + (times.realTimeMeasured ? "/real_time" : "");
    };
    for (const Comparison& c : COMPARISONS) {
        const XpBenchTimes &ours = recorder.Times(c.ours), &theirs = recorder.Times(c.theirs);
        if (ours.MeasuredNs() <= 0 || theirs.MeasuredNs() <= 0)
            continue;   // filtered out or failed
        double ratio = ours.MeasuredNs() / theirs.MeasuredNs();
        char goal[16] = "-";
        if (c.goal > 0)
            std::snprintf(goal, sizeof goal, "%.1f %s", c.goal, ratio <= c.goal ? "ok" : "MISS");
        std::printf("%-34s %-42s %10.1f %10.1f %7.2f %6s\n", label(c.ours, ours).c_str(),
                    label(c.theirs, theirs).c_str(), ours.MeasuredNs(), theirs.MeasuredNs(), ratio, goal);
    }
    return 0;
}
