// ctest-resource-lock: sysv-sem
//
// The named mutex with real processes: a second process is refused while the first holds the
// lock, a killed holder's lock comes back through the kernel, recursion touches the semaphore only
// on the first and last level, two objects on one file share the semaphore but not the depth.
// Every test uses its own temporary file and removes the semaphore set keyed on it.
#include <XpString.h>
#include <XpThread.h>

#include <gtest/gtest.h>

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
const int TIMEOUT_CODE = XPERR_SYNC_TIMEOUT & 0xFF;

// A temporary file (or directory) whose semaphore set, if any, is removed with it.
struct TempName {
    explicit TempName(bool directory = false)
    {
        const char* d = std::getenv("TMPDIR");
        path = std::string(d && *d ? d : "/tmp") + "/XpMutexTest.XXXXXX";
        EXPECT_TRUE(directory ? mkdtemp(&path[0]) != nullptr : close(mkstemp(&path[0])) == 0);
    }
    ~TempName() { removeSet(), std::remove(path.c_str()); }
    void removeSet() const { semctl(setId(), 0, IPC_RMID); }   // none: fails, harmless
    int setId() const { return semget(ftok(path.c_str(), '1'), 1, 0); }
    int value() const { return setId() < 0 ? -1 : semctl(setId(), 0, GETVAL); }
    XpStringT<char> name() const { return XpStringT<char>(path.c_str()); }
    std::string path;
};

// A one-way signal between processes.
struct Pipe {
    int fd[2];
    Pipe() { EXPECT_EQ(pipe(fd), 0); }
    ~Pipe() { close(fd[0]), close(fd[1]); }
    void post() { char c = 1; while (write(fd[1], &c, 1) < 0 && errno == EINTR) {} }
    void wait() { char c; while (read(fd[0], &c, 1) < 0 && errno == EINTR) {} }
};

// Runs `body` in a child process that _exits with its result (the parent has no other threads).
// A child still running after 20 s is ended by its alarm.
template <class F> pid_t forkChild(F body)
{
    pid_t pid = fork();
    if (pid == 0) {
        alarm(20);
        _exit(body());
    }
    return pid;
}

// The child's exit code, or -1 when it did not exit by itself.
int waitChild(pid_t pid)
{
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What another process gets from TryLock on the file (the XpErr's low byte as exit code).
int tryLockElsewhere(const TempName& file)
{
    return waitChild(forkChild([&] {
        XpMutex m(file.name());
        XpErr e = m.TryLock();
        return e == XPERR_OK ? 0 : static_cast<int>(e & 0xFF);
    }));
}

TEST(XpMutex, SetIsSharedWithFixedKeyAndPermissions)
{
    TempName file;
    auto start = Clock::now();
    XpMutex creator(file.name());
    auto created = Clock::now() - start;
    int id = file.setId();
    ASSERT_GE(id, 0);
    struct semid_ds ds;
    union { int val; struct semid_ds* buf; } arg;
    arg.buf = &ds;
    ASSERT_EQ(semctl(id, 0, IPC_STAT, arg), 0);
    EXPECT_EQ(ds.sem_perm.mode & 0777, 0666u);   // other users' processes share it too
    EXPECT_EQ(file.value(), 1);

    // Opening the existing set waits 200 ms for a racing creator; creating it does not.
    start = Clock::now();
    XpMutex opener(file.name());
    auto opened = Clock::now() - start;
    EXPECT_GE(opened, std::chrono::milliseconds(195));
    EXPECT_LT(created, opened);

    // A directory names a mutex just as well.
    TempName dir(true);
    XpMutex onDir(dir.name());
    EXPECT_EQ(onDir.TryLock(), XPERR_OK);
    EXPECT_EQ(dir.value(), 0);
    onDir.Unlock();
    EXPECT_EQ(dir.value(), 1);
}

TEST(XpMutex, BadTimeOutsMissingNamesAndRemovedSet)
{
    TempName file;
    XpMutex m(file.name());
    for (unsigned t : {1u, 5u, 0xFFFFFFFEu})
        EXPECT_EQ(m.Lock(t), XPERR_SYNC_INVALID) << t;
    EXPECT_EQ(file.value(), 1);   // untouched

    // A name that does not exist makes no kernel object and never waits.
    auto countSets = [] {
        std::ifstream in("/proc/sysvipc/sem");
        int lines = 0;
        for (std::string line; std::getline(in, line);)
            ++lines;
        return lines;
    };
    int setsBefore = countSets();
    {
        XpMutex none(XpStringT<char>((file.path + ".missing").c_str()));
        XpMutex empty(XpStringT<char>(""));
        auto start = Clock::now();
        EXPECT_EQ(none.TryLock(), XPERR_SYNC_NOT_INITIALIZED);
        EXPECT_EQ(none.Lock(), XPERR_SYNC_NOT_INITIALIZED);
        EXPECT_EQ(empty.Lock(), XPERR_SYNC_NOT_INITIALIZED);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
        EXPECT_EQ(none.Unlock(), XPERR_OK);
        // The failed first acquisition left the mutex free for other threads.
        std::thread other([&] { EXPECT_EQ(none.TryLock(), XPERR_SYNC_NOT_INITIALIZED); });
        other.join();
    }
    EXPECT_EQ(countSets(), setsBefore);

    file.removeSet();
    EXPECT_NE(m.TryLock(), XPERR_OK);
    EXPECT_EQ(m.Unlock(), XPERR_OK);
}

TEST(XpMutex, OtherProcessesAndObjectsGetInOnlyAfterTheLastOfThreeUnlocks)
{
    TempName file;
    XpMutex m(file.name());
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(m.Lock(), XPERR_OK);
        EXPECT_EQ(file.value(), 0);
    }
    ASSERT_EQ(m.TryLock(), XPERR_OK);   // a try by the owner is one more level
    m.Unlock();
    // A second object on the file shares the semaphore, not the depth.
    XpMutex twin(file.name());
    EXPECT_EQ(twin.TryLock(), XPERR_SYNC_TIMEOUT);
    EXPECT_EQ(twin.Unlock(), XPERR_OK);   // holds nothing: changes nothing
    auto start = Clock::now();
    EXPECT_EQ(tryLockElsewhere(file), TIMEOUT_CODE);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));   // 200 ms open + no wait
    for (int i = 0; i < 2; ++i) {
        m.Unlock();
        EXPECT_EQ(file.value(), 0);
        EXPECT_EQ(tryLockElsewhere(file), TIMEOUT_CODE);
    }
    m.Unlock();
    EXPECT_EQ(file.value(), 1);
    EXPECT_EQ(tryLockElsewhere(file), 0);
    EXPECT_EQ(m.Unlock(), XPERR_OK);   // one too many changes nothing
    EXPECT_EQ(file.value(), 1);
    EXPECT_EQ(twin.TryLock(), XPERR_OK);
    EXPECT_EQ(m.TryLock(), XPERR_SYNC_TIMEOUT);
    twin.Unlock();
}

TEST(XpMutex, LockOfADestroyedObjectStaysHeldUntilTheProcessIsKilled)
{
    TempName file;
    Pipe ready;
    pid_t pid = forkChild([&] {
        if (XpMutex(file.name()).Lock() != XPERR_OK)
            return 1;
        if (XpMutex(file.name()).TryLock() != XPERR_SYNC_TIMEOUT)
            return 2;
        ready.post();
        for (;;)
            pause();
    });
    ready.wait();
    XpMutex m(file.name());
    EXPECT_EQ(m.TryLock(), XPERR_SYNC_TIMEOUT);
    EXPECT_EQ(file.value(), 0);
    kill(pid, SIGKILL);
    EXPECT_EQ(waitChild(pid), -1);   // killed, not failed
    EXPECT_EQ(file.value(), 1);
    EXPECT_EQ(m.TryLock(), XPERR_OK);
    m.Unlock();
}

TEST(XpMutex, ManyThreadsExcludeEachOtherAndTheSemaphoreFollows)
{
    // Six threads through two objects on one file, with tries and recursion, starting while
    // another process holds the lock: the semaphore must be 0 whenever someone is inside and 1
    // when all are done.
    TempName file;
    Pipe ready;
    pid_t pid = forkChild([&] {
        XpMutex m(file.name());
        if (m.Lock() != XPERR_OK)
            return 1;
        ready.post();
        usleep(300 * 1000);
        m.Unlock();
        return 0;
    });
    ready.wait();
    XpMutex m(file.name()), twin(file.name());
    std::atomic<int> inside{0}, violations{0};
    std::atomic<long> entries{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            XpMutex& mine = (t % 3 == 0) ? twin : m;
            for (unsigned step = 1; !stop; ++step) {
                XpErr e = (step % 4 == 0) ? mine.TryLock() : mine.Lock();
                if (e != XPERR_OK) {
                    violations.fetch_add(e == XPERR_SYNC_TIMEOUT ? 0 : 1);
                    continue;
                }
                // The recursive Lock stays in the process.
                if (inside.fetch_add(1) != 0 || file.value() != 0 || mine.Lock() != XPERR_OK)
                    violations.fetch_add(1);
                else
                    mine.Unlock();
                entries.fetch_add(1);
                inside.fetch_sub(1);
                mine.Unlock();
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    stop = true;
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(waitChild(pid), 0);
    EXPECT_EQ(violations.load(), 0);
    EXPECT_GT(entries.load(), 0);
    EXPECT_EQ(file.value(), 1);
}

} // namespace
