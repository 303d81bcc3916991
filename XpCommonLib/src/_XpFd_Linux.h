// Internal: the descriptor basics every Linux half of the file modules uses.
//
// _XpFd is the one owner of a descriptor: whoever opens a descriptor hands it to an _XpFd, and
// the descriptor is closed when the owner goes out of scope, on every return path. Closing keeps
// errno, so a failure can be reported after the cleanup that follows it. _XpOpenAt is the one
// open: every descriptor is close-on-exec (a program started later must not inherit our
// files), and a signal that interrupts a slow open is retried. The flags that
// keep us safe in folders other users can write (O_NOFOLLOW, O_EXCL, O_NONBLOCK before a type
// check) stay at each call, where the reader can see why they are there.
#ifndef _XPFD_LINUX_H
#define _XPFD_LINUX_H

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

class _XpFd {
public:
    explicit _XpFd(int fd = -1) : fd_(fd) {}
    ~_XpFd() { reset(); }
    _XpFd(const _XpFd&) = delete;
    _XpFd& operator=(const _XpFd&) = delete;

    // The descriptor held, -1 for none.
    int get() const { return fd_; }
    // Closes the descriptor held (errno kept) and takes fd. The result of that close is not
    // looked at: a descriptor that was written through is closed with closeChecked first.
    void reset(int fd = -1)
    {
        if (fd_ >= 0) {
            int saved = errno;
            close(fd_);   // never retried: Linux frees the descriptor even when close says EINTR
            errno = saved;
        }
        fd_ = fd;
    }
    // Gives the descriptor up without closing it.
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now and answers 0 or close's errno value: a network file system or a full disk may
    // report a failed write only here.
    int closeChecked()
    {
        int fd = release();
        return fd < 0 || close(fd) == 0 ? 0 : errno;
    }

private:
    int fd_;
};

// A directory stream over fd, which it takes over: on failure fd is closed (errno kept) and null
// returned; null too for fd < 0, with the errno of the open that failed.
inline DIR* _XpOpenDirStream(int fd)
{
    _XpFd owner(fd);
    DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (dir != nullptr)
        owner.release();
    return dir;
}

// "." or "..": the entries every listing holds and every walk passes over.
inline bool _XpIsDotOrDotDot(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

#endif
