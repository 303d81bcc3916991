// Descriptor basics of the Linux file halves (see _XpFd_Linux.h).
#include "_XpFd_Linux.h"

#include <fcntl.h>

int _XpOpenAt(int dir, const char* path, int flags, mode_t mode)
{
    int fd;
    do
        fd = openat(dir, path, flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

int _XpWriteAll(int fd, const void* data, size_t size)
{
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = write(fd, next, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        next += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}
