// Helpers for tests that touch the real installer mutex: clean-up of the file and of the semaphore
// sets the test's processes made, and a probe process that tries the lock on request.
#ifndef MUTEXTESTSUPPORT_H
#define MUTEXTESTSUPPORT_H

#include <OruSandbox.h>
#include <XpString.h>
#include <XpThread.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

constexpr char kInstallerMutexPath[] = "/var/tmp/Oru_5E19DF74-5852-4652-8EF3-F1292401B8B6";

inline bool exists(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// Waits for every child: the applications the plug-in started are ours (directly, or as their
// subreaper), so after this the record holds every start there will be.
inline void reapChildren()
{
    while (::waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
    }
}

// At the end, removes a mutex file left behind (a regular one only), then the semaphore sets made
// by this process or one of the processes noted.
struct InstallerMutexCleanup : OruSemaphoreSweep {
    ~InstallerMutexCleanup()
    {
        struct stat st;
        if (::lstat(kInstallerMutexPath, &st) == 0 && S_ISREG(st.st_mode))
            ::unlink(kInstallerMutexPath);
    }
};

// A second process with an XpMutex built on the mutex file when the probe starts. tryLock() has it
// try the lock (given back at once when taken) and returns the result code.
class LockProbe {
public:
    explicit LockProbe(OruSemaphoreSweep& sweep)
    {
        if (::pipe(to_) != 0 || ::pipe(from_) != 0 || (pid_ = ::fork()) < 0)
            return;
        if (pid_ == 0) {
            ::close(to_[1]);
            ::close(from_[0]);
            XpMutex mutex{XpStringT<char>(kInstallerMutexPath)};
            char c;
            while (::read(to_[0], &c, 1) == 1) {
                XpErr err = mutex.TryLock();
                if (err == XPERR_OK)
                    mutex.Unlock();
                if (::write(from_[1], &err, sizeof err) != sizeof err)
                    break;
            }
            ::_exit(0);
        }
        sweep.notePid(pid_);
        ::close(to_[0]);
        ::close(from_[1]);
    }
    ~LockProbe()
    {
        ::close(to_[1]);
        ::close(from_[0]);
        if (pid_ > 0)
            ::waitpid(pid_, nullptr, 0);
    }
    XpErr tryLock()
    {
        XpErr err = 0xFFFFFFFF;
        if (::write(to_[1], "t", 1) != 1 || ::read(from_[0], &err, sizeof err) != sizeof err)
            return 0xFFFFFFFF;
        return err;
    }

private:
    int to_[2] = {-1, -1};
    int from_[2] = {-1, -1};
    pid_t pid_ = -1;
};

#endif
