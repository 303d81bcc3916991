// ctest-resource-lock: sysv-sem
//
// The named mutex with real processes: other processes are refused while one holds the lock, a
// killed holder's lock comes back through the kernel, recursion touches the semaphore only on the
// first and last level, a forked child holds nothing, a removed set is reported, and a wait on
// several objects polls a mutex that another process holds. Processes that come and go leave the
// semaphore as they found it, however they ended (the kernel's undo count of a lock given back
// must be nil). Every test uses its own temporary file and removes the semaphore set keyed on it.
#include <XpString.h>
#include <XpThread.h>

#include "XpFileTestSupport.h"   // GoogleTest, the POSIX headers, <string> and <vector> too

#include <sys/sem.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace {

const XpErr OK = XPERR_OK, BUSY = XPERR_SYNC_TIMEOUT;

// A temporary file whose semaphore set, if any, is removed with it.
struct TempName {
    TempName() : path(std::string(getenv("TMPDIR") ?: "/tmp") + "/XpMutex.XXXXXX") { EXPECT_EQ(close(mkstemp(&path[0])), 0); }
    ~TempName() { semctl(setId(), 0, IPC_RMID), unlink(path.c_str()); }
    int setId() const { return semget(ftok(path.c_str(), '1'), 1, 0); }
    int value(int what = GETVAL) const { return setId() < 0 ? -1 : semctl(setId(), 0, what); }
    XpStringT<char> name() const { return XpStringT<char>(path.c_str()); }
    std::string path;
};

// Polls (for at most five seconds) until `done` says yes.
template <class F> void waitFor(F done) { for (int i = 0; i < 5000 && !done(); ++i) usleep(1000); }

// Runs `body` in a child process that exits with its result; its alarm ends it after 10 s.
template <class F> pid_t forkChild(F body) { return xptest::startChild([&] { return alarm(10), int(body()); }); }
using xptest::childExit;

// Ends a child by SIGKILL: -1, as it did not exit by itself.
int killChild(pid_t pid) { return kill(pid, SIGKILL) == 0 ? childExit(pid) : -2; }

// A child process that takes the lock through an object it destroys at once, and holds it until
// it is killed.
pid_t holdElsewhere(const TempName& file)
{
    pid_t pid = forkChild([&] { XpMutex(file.name()).Lock(); pause(); return 0; });
    waitFor([&] { return file.value() == 0; });
    return pid;
}

TEST(XpMutex, NamesSetsTimeOutsAndARemovedSet)
{
    TempName file;
    XpMutex creator(file.name()), opener(file.name());
    struct semid_ds ds;
    EXPECT_EQ(semctl(file.setId(), 0, IPC_STAT, &ds) == 0 ? ds.sem_perm.mode & 0777 : 0, 0666u);   // for all users
    xptest::expectAll({creator.Lock(1), creator.Lock(5), creator.Lock(0xFFFFFFFE)}, XPERR_SYNC_INVALID);
    EXPECT_EQ(file.value(), 1);

    // A missing name makes no kernel object and never waits.
    struct seminfo info;
    auto sets = [&] { return semctl(0, 0, SEM_INFO, &info) < 0 ? -1 : info.semusz; };
    int before = sets();
    XpMutex missing(XpStringT<char>((file.path + ".missing").c_str())), empty(XpStringT<char>(""));
    xptest::expectAll({missing.TryLock(), missing.Lock(), empty.Lock()}, XPERR_SYNC_NOT_INITIALIZED);
    EXPECT_EQ(sets(), before);

    // The set removed while a Lock waits for it: the waiter learns it, and the failure leaves the
    // mutex free in the process. Removed before the call: the kernel no longer knows the id.
    pid_t holder = holdElsewhere(file);
    auto waiter = std::async(std::launch::async, [&] { return opener.Lock(); });
    waitFor([&] { return file.value(GETNCNT) == 1; });
    semctl(file.setId(), 0, IPC_RMID);
    EXPECT_EQ(waiter.get(), XPERR_SYNC_NOT_INITIALIZED);
    xptest::expectAll({opener.TryLock(), opener.Lock()}, XPERR_SYNC_FAILED);
    killChild(holder);
}

TEST(XpMutex, OtherProcessesAndObjectsGetInOnlyAfterTheLastUnlockAndAForkedChildHoldsNothing)
{
    TempName file;
    XpMutex m(file.name()), twin(file.name());
    // A try by the owner is one more level. A second object on the file shares the semaphore, not
    // the depth, and its Unlock changes nothing.
    EXPECT_EQ((std::vector<XpErr>{m.Lock(), m.Lock(), m.TryLock(), twin.TryLock(), twin.Unlock()}),
              (std::vector<XpErr>{OK, OK, OK, BUSY, OK}));
    // What another process gets from TryLock (the XpErr's low byte) after each Unlock.
    auto elsewhere = [&] { return childExit(forkChild([&] { return int(XpMutex(file.name()).TryLock() & 0xFF); })); };
    for (int level = 3; level > 0; --level) {
        EXPECT_EQ(file.value(), 0);
        EXPECT_EQ(elsewhere(), int(BUSY & 0xFF));
        m.Unlock();
    }
    EXPECT_EQ(elsewhere(), 0);
    EXPECT_EQ(m.Unlock(), OK);   // one too many changes nothing
    EXPECT_EQ(file.value(), 1);

    // A lock of a destroyed object held until SIGKILL is EachProcessLifeLeavesTheSemaphoreFree...'s.

    // A forked child holds nothing. The forking thread holds the mutex twice: the child's Unlock
    // calls give back nothing, and its try goes to the semaphore, which the parent holds.
    ASSERT_EQ(m.Lock(), OK);
    ASSERT_EQ(m.Lock(), OK);
    EXPECT_EQ(childExit(forkChild([&] { return m.Unlock(), m.Unlock(), m.TryLock() == BUSY ? 0 : 1; })), 0);
    EXPECT_EQ(file.value(), 0);
    m.Unlock(), m.Unlock();

    // Another thread of the parent holds it: the child's Lock waits for the semaphore (not for a
    // thread that the child does not have) and gets it when the parent lets go.
    std::promise<void> letGo;
    std::thread owner([&] { m.Lock(), letGo.get_future().wait(), m.Unlock(); });
    waitFor([&] { return file.value() == 0; });
    pid_t child = forkChild([&] { return m.TryLock() != BUSY ? 1 : m.Lock() == OK && file.value() == 0 ? 0 : 2; });
    waitFor([&] { return file.value(GETNCNT) == 1; });
    letGo.set_value();
    owner.join();
    EXPECT_EQ(childExit(child), 0);
    EXPECT_EQ(file.value(), 1);   // the child's hold ended with it
}

// A child process that takes the lock `cycles` times, giving it back each time, then takes it
// once more when `holdAtEnd` (through an object it destroys); then it exits, still holding when
// `holdAtEnd`, or, when `untilKilled`, waits for its SIGKILL.
pid_t liveElsewhere(const TempName& file, int cycles, bool holdAtEnd, bool untilKilled)
{
    return forkChild([&] {
        XpMutex m(file.name());
        for (int i = 0; i < cycles; ++i)
            if (m.Lock() != OK || m.Unlock() != OK)
                return 1;
        if (holdAtEnd && XpMutex(file.name()).Lock() != OK)
            return 2;
        while (untilKilled)
            pause();
        return 0;
    });
}

TEST(XpMutex, EachProcessLifeLeavesTheSemaphoreFreeHoweverItEnded)
{
    // One after the other on one file, as installers come and go: after each the value is 1,
    // neither more (a give-back the kernel counts again at the exit) nor less. A killed one is
    // killed once it holds the lock.
    const struct {
        int cycles;
        bool holdAtEnd;
        bool killed;
    } lives[] = {{1, false, false}, {3, false, false}, {2, true, false}, {0, true, true}, {2, true, true}};
    TempName file;
    XpMutex m(file.name());
    for (const auto& life : lives) {
        SCOPED_TRACE(testing::Message() << life.cycles << " cycles, " << (life.holdAtEnd ? "holding, " : "")
                                        << (life.killed ? "killed" : "exits"));
        pid_t pid = liveElsewhere(file, life.cycles, life.holdAtEnd, life.killed);
        if (life.killed)
            waitFor([&] { return file.value() == 0; });
        EXPECT_EQ(life.killed ? killChild(pid) : childExit(pid), life.killed ? -1 : 0);
        EXPECT_EQ(file.value(), 1);
        // And this process, which lives on, takes and gives back the lock in between.
        EXPECT_EQ((std::vector<XpErr>{m.TryLock(), m.Unlock()}), (std::vector<XpErr>{OK, OK}));
    }
}

TEST(XpMutex, MultiObjectWaitPollsAMutexHeldElsewhereAndManyThreadsExcludeEachOther)
{
    // While another process holds the mutex the wait sleeps between polls and ends at the
    // whole-second deadline of its time-out; once the holder is gone, a poll takes the mutex.
    TempName file;
    XpMutex m(file.name());
    XpSemaphore never(0, 1), wake(0, XP_INFINITE_TIMEOUT);
    pid_t holder = holdElsewhere(file);
    auto cpuNow = [] { struct timespec t; clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t); return t.tv_sec + t.tv_nsec / 1e9; };
    double cpu = cpuNow();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(XpMultiLockOne(true, &never, &m, wake, 2).GetError(), BUSY);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cpu = cpuNow() - cpu;
    EXPECT_LT(wall, 2.1);
    EXPECT_LT(cpu, 0.2 * wall + 0.01) << cpu << " s CPU in " << wall << " s";
    auto taken = std::async(std::launch::async, [&] { return XpMultiLockOne(true, &never, &m, wake, 5).GetLockedIndex(); });
    EXPECT_EQ(killChild(holder), -1);
    EXPECT_EQ(taken.get(), 1);   // and given back

    // Four threads through two objects on one file, with tries and recursion: the semaphore is 0
    // whenever someone is inside, 1 at the end.
    XpMutex twin(file.name());
    std::atomic<int> inside{0}, faults{0}, entries{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int step = 1; step <= 400; ++step) {
                XpMutex& mine = t % 2 ? twin : m;
                XpErr e = step % 4 ? mine.Lock() : mine.TryLock();
                faults += (e == OK && (inside++ != 0 || file.value() != 0 || mine.Lock() != OK)) || (e != OK && e != BUSY);
                if (e == OK)
                    entries++, inside--, mine.Unlock(), mine.Unlock();
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ((std::vector<int>{faults, entries > 0, file.value()}), (std::vector<int>{0, 1, 1}));
}

} // namespace
