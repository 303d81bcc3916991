// Helpers for the plug-in's tests, most of which touch the installer mutex. Each such test runs
// in a private lock space of its own (OruPrivateLockSpace): its /var/tmp and its semaphores are
// seen by no other run on the machine and vanish with it.
#ifndef MUTEXTESTSUPPORT_H
#define MUTEXTESTSUPPORT_H

#include <OruSandbox.h>
#include <XpString.h>
#include <XpThread.h>

#include "XpFileTestSupport.h" // forked children, nobody, exists

#include <glib.h>

#include <sys/ipc.h>
#include <sys/sem.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

constexpr const char* kInstallerMutexPath = kOruInstallerMutexFile;

using xptest::exists;
using xptest::startAsNobody;
// A child's exit status; -1 when it did not exit by itself.
inline int exitStatus(pid_t pid) { return xptest::childExit(pid); }

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

// The installer lock's semaphore set, as any process reaches it through the file: its id (-1
// when there is none), and semctl's answer to GETVAL, GETPID or GETNCNT; SETVAL as another user
// could do it (the set is writable by all).
inline int lockSetId()
{
    return ::semget(::ftok(kInstallerMutexPath, '1'), 1, 0);
}
inline int lockSet(int what)
{
    return ::semctl(lockSetId(), 0, what);
}
inline bool setLockValue(int value)
{
    union {
        int val;
        struct semid_ds* buf;
    } arg; // semctl's fourth argument, which glibc leaves to the caller
    arg.val = value;
    return ::semctl(lockSetId(), 0, SETVAL, arg) == 0;
}

// Starts, as nobody, a process that makes the installer lock's file and semaphore set, leaves the
// lock taken (value 0) and ends: a lock left by an ended process of another user. The child exits
// with 0 when all of it was made. Returns its pid.
inline pid_t plantLockOfEndedProcess()
{
    return startAsNobody([] {
        int fd = ::open(kInstallerMutexPath, O_WRONLY | O_CREAT | O_EXCL, 0644);
        bool made = fd >= 0 && ::close(fd) == 0 &&
                    ::semget(::ftok(kInstallerMutexPath, '1'), 1, IPC_CREAT | IPC_EXCL | 0666) >= 0;
        return made && setLockValue(0) ? 0 : 1;
    });
}

// The SHA-256 of `data` in hex, as the installer's records and removal lists give it.
inline std::string sha256Of(const std::string& data)
{
    gchar* hex = g_compute_checksum_for_string(G_CHECKSUM_SHA256, data.data(), static_cast<gssize>(data.size()));
    std::string sum = hex;
    g_free(hex);
    return sum;
}

// A fresh sandbox desktop for the sample application, with the user folders `folders` made,
// applied to this process (its HOME and XDG folders).
inline void makeSandbox(std::unique_ptr<OruSandbox>& sandbox, const std::vector<std::string>& folders = {})
{
    std::string error;
    sandbox = std::make_unique<OruSandbox>(ORU_SAMPLE_APP_PATH, folders, &error);
    ASSERT_TRUE(error.empty()) << error;
    sandbox->applyToProcess();
}

#endif
