// Synchronization objects next to what a user would pick from the standard library instead:
// uncontended lock/unlock of the critical section, the named mutex (its in-process recursive path
// and its first acquisition, which goes to the kernel's semaphore), the reader-writer lock's read
// path, and a semaphore ping-pong between two threads.
#include <XpString.h>
#include <XpThread.h>

#include <benchmark/benchmark.h>

#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include <condition_variable>
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

} // namespace

BENCHMARK_MAIN();
