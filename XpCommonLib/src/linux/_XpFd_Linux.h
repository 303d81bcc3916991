// Internal: the descriptor basics every Linux half of the file modules uses.
//
// The owner of a descriptor is the public XpFd (XpFd.h): whoever opens a descriptor hands it to
// one, and the descriptor is closed when the owner goes out of scope, on every return path.
// Closing keeps errno, so a failure can be reported after the cleanup that follows it. _XpOpenAt is the one
// open: every descriptor is close-on-exec (a program started later must not inherit our
// files), and a signal that interrupts a slow open is retried. The flags that
// keep us safe in folders other users can write (O_NOFOLLOW, O_EXCL, O_NONBLOCK before a type
// check) stay at each call, where the reader can see why they are there.
#ifndef _XPFD_LINUX_H
#define _XPFD_LINUX_H

#include <XpFd.h>

#include <cerrno>
#include <cstddef>
#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>

// openat(dir, path, flags | O_CLOEXEC, mode), retried on EINTR: the descriptor, or -1 with errno
// set. dir may be AT_FDCWD.
int _XpOpenAt(int dir, const char* path, int flags, mode_t mode = 0);

// Writes all size bytes of data to fd, retrying on EINTR and after short writes: 0, or the errno
// value of the write that failed (EIO for one that wrote nothing).
int _XpWriteAll(int fd, const void* data, size_t size);

// A directory stream over fd, which it takes over: on failure fd is closed (errno kept) and null
// returned; null too for fd < 0, with the errno of the open that failed.
inline DIR* _XpOpenDirStream(int fd)
{
    XpFd owner(fd);
    DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (dir != nullptr)
        owner.Release();
    return dir;
}

// "." or "..": the entries every listing holds and every walk passes over.
inline bool _XpIsDotOrDotDot(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

#endif
