// Helpers for tests that touch the real installer mutex (file and semaphore set): a probe process
// that holds an XpMutex on the file and tries it on request, and clean-up of what a test leaves.
#ifndef MUTEXTESTSUPPORT_H
#define MUTEXTESTSUPPORT_H

#include <XpString.h>
#include <XpThread.h>

#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>

constexpr char kInstallerMutexPath[] = "/var/tmp/Oru_5E19DF74-5852-4652-8EF3-F1292401B8B6";

// Remembers the semaphore keys the mutex file had while it existed, and at the end removes the
// file (a regular one only) and the semaphore sets of those keys.
class InstallerMutexCleanup {
public:
    ~InstallerMutexCleanup()
    {
        struct stat st;
        if (::lstat(kInstallerMutexPath, &st) == 0 && S_ISREG(st.st_mode)) {
            note();
            ::unlink(kInstallerMutexPath);
        }
        for (key_t key : keys_) {
            int id = ::semget(key, 1, 0);
            if (id >= 0)
                ::semctl(id, 0, IPC_RMID);
        }
    }
    // Call while the file exists.
    void note()
    {
        key_t key = ::ftok(kInstallerMutexPath, '1');
        if (key != -1)
            keys_.insert(key);
    }
    // A key another process saw.
    void noteKey(key_t key)
    {
        if (key != -1)
            keys_.insert(key);
    }

private:
    std::set<key_t> keys_;
};

// A second process with an XpMutex built on the mutex file when the probe starts. try() asks it
// for a TryLock (given back at once when it succeeds) and returns the result code.
class LockProbe {
public:
    LockProbe()
    {
        if (::pipe(toChild_) != 0 || ::pipe(fromChild_) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(toChild_[1]);
            ::close(fromChild_[0]);
            XpMutex mutex{XpStringT<char>(kInstallerMutexPath)};
            char c;
            while (::read(toChild_[0], &c, 1) == 1) {
                XpErr err = mutex.TryLock();
                if (err == XPERR_OK)
                    mutex.Unlock();
                if (::write(fromChild_[1], &err, sizeof err) != sizeof err)
                    break;
            }
            ::_exit(0);
        }
        ::close(toChild_[0]);
        ::close(fromChild_[1]);
    }
    ~LockProbe()
    {
        ::close(toChild_[1]);
        ::close(fromChild_[0]);
        if (pid_ > 0)
            ::waitpid(pid_, nullptr, 0);
    }
    XpErr tryLock()
    {
        char c = 't';
        XpErr err = 0xFFFFFFFF;
        if (::write(toChild_[1], &c, 1) != 1 || ::read(fromChild_[0], &err, sizeof err) != sizeof err)
            return 0xFFFFFFFF;
        return err;
    }
    pid_t pid() const { return pid_; }

private:
    int toChild_[2] = {-1, -1};
    int fromChild_[2] = {-1, -1};
    pid_t pid_ = -1;
};

#endif
