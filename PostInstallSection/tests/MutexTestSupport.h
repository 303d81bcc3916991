// Helpers for the tests that touch the installer mutex. Each such test runs in a private lock
// space of its own (OruPrivateLockSpace): its /var/tmp and its semaphores are seen by no other
// run on the machine and vanish with it.
#ifndef MUTEXTESTSUPPORT_H
#define MUTEXTESTSUPPORT_H

#include <OruSandbox.h>
#include <XpString.h>
#include <XpThread.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <string>

constexpr const char* kInstallerMutexPath = kOruInstallerMutexFile;

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

// What this process, a second one beside the installer, gets when it tries the installer lock
// through `mutex` (built on the mutex file while it existed); a lock taken is given back at once.
inline XpErr tryLock(XpMutex& mutex)
{
    XpErr err = mutex.Lock(0);
    if (err == XPERR_OK)
        mutex.Unlock();
    return err;
}

#endif
