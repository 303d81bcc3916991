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
#include <sys/stat.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A temporary file whose semaphore set (if any) is removed with it.
class TempName {
public:
    explicit TempName(bool directory = false)
    {
        const char* dir = std::getenv("TMPDIR");
        std::string templ = std::string(dir && *dir ? dir : "/tmp") + "/XpMutexTest.XXXXXX";
        path = templ;
        if (directory) {
            created = mkdtemp(&path[0]) != nullptr;
        } else {
            int fd = mkstemp(&path[0]);
            created = fd >= 0;
            if (created)
                close(fd);
        }
        isDirectory = directory;
    }
    ~TempName()
    {
        removeSet();
        if (isDirectory)
            rmdir(path.c_str());
        else
            unlink(path.c_str());
    }
    void removeSet() const
    {
        int id = setId();
        if (id >= 0)
            semctl(id, 0, IPC_RMID);
    }
    key_t key() const { return ftok(path.c_str(), '1'); }
    int setId() const { return semget(key(), 1, 0); }
    int value() const
    {
        int id = setId();
        return id < 0 ? -1 : semctl(id, 0, GETVAL);
    }
    XpStringT<char> name() const { return XpStringT<char>(path.c_str()); }

    std::string path;
    bool created = false;
    bool isDirectory = false;
};

// Forks a child that runs `body` and _exits with its result. The child does only simple work: the
// parent has no other threads when it forks.
pid_t forkChild(const std::function<int()>& body)
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    return pid;
}

// The child's exit code, or -1 when it does not end within `seconds` (it is then killed).
int waitChild(pid_t pid, int seconds = 20)
{
    auto end = Clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            break;
        if (r < 0)
            return -1;
        if (Clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(5000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool childStillRunning(pid_t pid)
{
    int status;
    return waitpid(pid, &status, WNOHANG) == 0;
}

// What another process gets from TryLock on the file (the XpErr's low byte as exit code).
int tryLockElsewhere(const TempName& file)
{
    pid_t pid = forkChild([&] {
        XpMutex m(file.name());
        XpErr e = m.TryLock();
        return e == XPERR_OK ? 0 : static_cast<int>(e & 0xFF);
    });
    return waitChild(pid);
}

const int TIMEOUT_CODE = XPERR_SYNC_TIMEOUT & 0xFF;

void readByte(int fd)
{
    char c;
    while (read(fd, &c, 1) < 0 && errno == EINTR) {
    }
}

void writeByte(int fd)
{
    char c = 1;
    while (write(fd, &c, 1) < 0 && errno == EINTR) {
    }
}

TEST(XpMutex, SetIsSharedWithFixedKeyAndPermissions)
{
    TempName file;
    ASSERT_TRUE(file.created);
    auto start = Clock::now();
    XpMutex creator(file.name());
    auto created = Clock::now() - start;
    int id = file.setId();
    ASSERT_GE(id, 0);
    struct semid_ds ds;
    union {
        int val;
        struct semid_ds* buf;
    } arg;
    arg.buf = &ds;
    ASSERT_EQ(semctl(id, 0, IPC_STAT, arg), 0);
    EXPECT_EQ(ds.sem_perm.mode & 0777, 0666u);
    EXPECT_EQ(ds.sem_nsems, 1u);
    EXPECT_EQ(file.value(), 1);

    // Opening the existing set waits 200 ms for a racing creator; creating it does not.
    start = Clock::now();
    XpMutex opener(file.name());
    auto opened = Clock::now() - start;
    EXPECT_GE(opened, std::chrono::milliseconds(195));
    EXPECT_LT(created, opened);
    EXPECT_EQ(file.setId(), id);

    // A directory names a mutex just as well.
    TempName dir(true);
    ASSERT_TRUE(dir.created);
    XpMutex onDir(dir.name());
    EXPECT_EQ(onDir.TryLock(), XPERR_OK);
    EXPECT_EQ(dir.value(), 0);
    onDir.Unlock();
    EXPECT_EQ(dir.value(), 1);
}

TEST(XpMutex, OnlyTryAndUnlimitedTimeOutsAndNoSemaphoreForMissingNames)
{
    TempName file;
    XpMutex m(file.name());
    EXPECT_EQ(m.Lock(5), XPERR_SYNC_INVALID);
    EXPECT_EQ(m.Lock(1), XPERR_SYNC_INVALID);
    EXPECT_EQ(m.Lock(0xFFFFFFFEu), XPERR_SYNC_INVALID);
    EXPECT_EQ(file.value(), 1);
    EXPECT_EQ(tryLockElsewhere(file), 0);

    // A name that does not exist makes no kernel object and never waits.
    std::string missing = file.path + ".missing";
    auto countSets = [] {
        std::ifstream in("/proc/sysvipc/sem");
        int lines = 0;
        std::string line;
        while (std::getline(in, line))
            ++lines;
        return lines;
    };
    int setsBefore = countSets();
    {
        XpMutex none(XpStringT<char>(missing.c_str()));
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
}

TEST(XpMutex, SecondProcessIsRefusedWhileHeldAndWaitsForRelease)
{
    TempName file;
    XpMutex m(file.name());
    ASSERT_EQ(m.Lock(), XPERR_OK);
    EXPECT_EQ(file.value(), 0);
    auto start = Clock::now();
    EXPECT_EQ(tryLockElsewhere(file), TIMEOUT_CODE);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));   // 200 ms open + no wait

    // A waiting process gets the lock when we give it back, not before.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t pid = forkChild([&] {
        XpMutex other(file.name());
        writeByte(ready[1]);
        XpErr e = other.Lock(XP_INFINITE_TIMEOUT);
        if (e != XPERR_OK)
            return 1;
        other.Unlock();
        return 0;
    });
    readByte(ready[0]);
    usleep(400 * 1000);
    EXPECT_TRUE(childStillRunning(pid));
    m.Unlock();
    EXPECT_EQ(waitChild(pid), 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(file.value(), 1);
}

TEST(XpMutex, KilledHolderGivesTheLockBack)
{
    TempName file;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t pid = forkChild([&] {
        XpMutex m(file.name());
        if (m.Lock() != XPERR_OK)
            return 1;
        writeByte(ready[1]);
        for (;;)
            pause();
    });
    readByte(ready[0]);
    XpMutex m(file.name());
    EXPECT_EQ(m.TryLock(), XPERR_SYNC_TIMEOUT);
    kill(pid, SIGKILL);
    int status;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(file.value(), 1);
    EXPECT_EQ(m.TryLock(), XPERR_OK);
    m.Unlock();
    close(ready[0]);
    close(ready[1]);
}

TEST(XpMutex, RecursionTakesAndGivesTheSemaphoreOnce)
{
    TempName file;
    XpMutex m(file.name());
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(m.Lock(), XPERR_OK);
        EXPECT_EQ(file.value(), 0);
    }
    ASSERT_EQ(m.TryLock(), XPERR_OK);   // a try by the owner is one more level
    m.Unlock();
    for (int i = 0; i < 2; ++i) {
        m.Unlock();
        EXPECT_EQ(file.value(), 0);
        EXPECT_EQ(tryLockElsewhere(file), TIMEOUT_CODE);
    }
    m.Unlock();
    EXPECT_EQ(file.value(), 1);
    EXPECT_EQ(tryLockElsewhere(file), 0);
    // One Unlock too many changes nothing.
    EXPECT_EQ(m.Unlock(), XPERR_OK);
    EXPECT_EQ(file.value(), 1);
}

TEST(XpMutex, TwoObjectsOnOneFileShareTheSemaphoreNotTheDepth)
{
    TempName file;
    XpMutex first(file.name());
    XpMutex second(file.name());
    ASSERT_EQ(first.Lock(), XPERR_OK);
    EXPECT_EQ(second.TryLock(), XPERR_SYNC_TIMEOUT);
    EXPECT_EQ(second.Unlock(), XPERR_OK);   // holds nothing: changes nothing
    EXPECT_EQ(file.value(), 0);
    first.Unlock();
    EXPECT_EQ(file.value(), 1);
    EXPECT_EQ(second.TryLock(), XPERR_OK);
    EXPECT_EQ(first.TryLock(), XPERR_SYNC_TIMEOUT);
    second.Unlock();
}

TEST(XpMutex, DestroyedHeldMutexStaysHeldUntilTheProcessEnds)
{
    TempName file;
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    pid_t pid = forkChild([&] {
        {
            XpMutex m(file.name());
            if (m.Lock() != XPERR_OK)
                return 1;
        }
        XpMutex again(file.name());
        if (again.TryLock() != XPERR_SYNC_TIMEOUT)
            return 2;
        writeByte(ready[1]);
        readByte(go[0]);
        return 0;
    });
    readByte(ready[0]);
    XpMutex m(file.name());
    EXPECT_EQ(m.TryLock(), XPERR_SYNC_TIMEOUT);
    EXPECT_EQ(file.value(), 0);
    writeByte(go[1]);
    EXPECT_EQ(waitChild(pid), 0);
    EXPECT_EQ(file.value(), 1);
    EXPECT_EQ(m.TryLock(), XPERR_OK);
    m.Unlock();
    for (int fd : {ready[0], ready[1], go[0], go[1]})
        close(fd);
}

TEST(XpMutex, ThreadsOfOneProcessWaitOnTheConditionWhileTheSemaphoreIsAwaited)
{
    TempName file;
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    // Another process holds the lock until told to give it back.
    pid_t pid = forkChild([&] {
        XpMutex m(file.name());
        if (m.Lock() != XPERR_OK)
            return 1;
        writeByte(ready[1]);
        readByte(go[0]);
        m.Unlock();
        return 0;
    });
    readByte(ready[0]);

    XpMutex m(file.name());
    std::atomic<bool> firstGotIt{false};
    std::atomic<bool> secondGotIt{false};
    std::thread first([&] {
        EXPECT_EQ(m.Lock(), XPERR_OK);   // waits in the semaphore
        firstGotIt = true;
        usleep(100 * 1000);
        EXPECT_FALSE(secondGotIt);
        m.Unlock();
    });
    // Wait until the first thread sleeps in the semaphore.
    auto waitingInKernel = [&] { return semctl(file.setId(), 0, GETNCNT); };
    auto end = Clock::now() + std::chrono::seconds(5);
    while (waitingInKernel() < 1 && Clock::now() < end)
        usleep(2000);
    ASSERT_EQ(waitingInKernel(), 1);
    // A second thread of this process waits on the condition, not in the kernel.
    std::thread second([&] {
        EXPECT_EQ(m.Lock(), XPERR_OK);
        secondGotIt = true;
        EXPECT_TRUE(firstGotIt);
        m.Unlock();
    });
    usleep(200 * 1000);
    EXPECT_EQ(waitingInKernel(), 1);
    EXPECT_FALSE(firstGotIt);
    EXPECT_FALSE(secondGotIt);
    writeByte(go[1]);
    first.join();
    second.join();
    EXPECT_EQ(waitChild(pid), 0);
    EXPECT_EQ(file.value(), 1);
    for (int fd : {ready[0], ready[1], go[0], go[1]})
        close(fd);
}

TEST(XpMutex, ManyThreadsExcludeEachOtherAndTheSemaphoreFollows)
{
    // Threads of one process through one object (and a second object on the same file) with
    // recursion; the semaphore must be 0 whenever someone is inside and 1 when all are done.
    TempName file;
    XpMutex m(file.name());
    XpMutex twin(file.name());
    std::atomic<int> inside{0}, violations{0};
    std::atomic<long> entries{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            XpMutex& mine = (t % 3 == 0) ? twin : m;
            for (unsigned step = 0; !stop; ++step) {
                XpErr e = (step % 4 == 0) ? mine.TryLock() : mine.Lock();
                if (e == XPERR_SYNC_TIMEOUT)
                    continue;
                if (e != XPERR_OK) {
                    violations.fetch_add(1);
                    continue;
                }
                if (inside.fetch_add(1) != 0 || file.value() != 0)
                    violations.fetch_add(1);
                if (mine.Lock() == XPERR_OK)   // recursion stays in the process
                    mine.Unlock();
                else
                    violations.fetch_add(1);
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
    EXPECT_EQ(violations.load(), 0);
    EXPECT_GT(entries.load(), 0);
    EXPECT_EQ(file.value(), 1);
}

TEST(XpMutex, RemovedSetIsReported)
{
    TempName file;
    XpMutex m(file.name());
    file.removeSet();
    EXPECT_NE(m.TryLock(), XPERR_OK);
    EXPECT_EQ(m.Unlock(), XPERR_OK);
}

} // namespace
