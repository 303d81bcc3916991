// Platform half of XpFile on Linux.
//
// What stands in for the macOS services:
// - fopen: an open(2) that we control, handed to fdopen. The library runs as root in folders that
//   others can write, so every open is O_NONBLOCK (a FIFO planted where a file was expected can
//   never make it wait), the descriptor's type is checked with fstat before it is used, and the
//   modes that create or change a file add O_NOFOLLOW, so a link planted in the last component is
//   refused instead of followed. Reading follows links like any reader.
// - flock stands for the exclusive whole-file lock; it is advisory on Linux as it is there.
// - stat64's birth time: statx with STATX_BTIME. File systems that record no birth time leave
//   the bit out of stx_mask; the modification time is reported in its place.
// - The catalog dates (FSSetCatalogInfo): utimensat for modification and access times. Linux has
//   no call that sets a birth time, so the creation date is only converted.
#include "XpFile_Linux.h"
#include "_XpFileSub.h"

#include "_XpDateTimeSub.h"
#include "_XpFd_Linux.h"

#include <XpAbstractFile.h>
#include <XpFile.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

int openNonBlocking(const char* path, int flags, mode_t mode = 0)
{
    return _XpOpenAt(AT_FDCWD, path, flags | O_NONBLOCK, mode);
}

// Accepts regular files and character devices; refuses the rest with EISDIR or ENXIO (closing
// fd). Afterwards the descriptor blocks again, as a stream expects.
int checkedDescriptor(int fd, bool regularOnly)
{
    XpFd owner(fd);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0)
        return -1;
    if (!S_ISREG(st.st_mode) && (regularOnly || !S_ISCHR(st.st_mode))) {
        owner.Reset();
        errno = S_ISDIR(st.st_mode) ? EISDIR : regularOnly ? EINVAL : ENXIO;
        return -1;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return -1;
    return owner.Release();
}

// A descriptor for XpFile::Open in mode, or -1 with errno set.
int openDescriptor(const char* path, int mode)
{
    switch (mode & XpAbstractFile::openReadWrite) {
    case XpAbstractFile::openRead:
        return checkedDescriptor(openNonBlocking(path, O_RDONLY), false);
    case XpAbstractFile::openWrite:
        // O_TRUNC touches regular files only, and O_NOFOLLOW keeps it off a link's target.
        return checkedDescriptor(openNonBlocking(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0666), false);
    default:
        return checkedDescriptor(openNonBlocking(path, O_RDWR | O_NOFOLLOW), false);
    }
}

} // namespace

int _XpFileSub_Linux::Descriptor(const XpAbstractFile& file)
{
    const XpFile* own = dynamic_cast<const XpFile*>(&file);
    return own != nullptr && own->stream != nullptr ? fileno(own->stream) : -1;
}

FILE* _XpFileSub::OpenStream(const char* path, int mode, const char* cMode)
{
    XpFd fd(openDescriptor(path, mode));
    FILE* stream = fd.Get() >= 0 ? fdopen(fd.Get(), cMode) : nullptr;
    if (stream != nullptr)
        fd.Release();   // the stream owns it now
    return stream;
}

void _XpFileSub::LockExclusive(FILE* stream)
{
    // Only EINTR is worth a retry; other failures (ENOLCK) leave the file open without the lock,
    // as the caller does not look at the lock's result.
    while (flock(fileno(stream), LOCK_EX) != 0 && errno == EINTR) {
    }
}

int _XpFileSub::Seek(FILE* stream, int64_t offset, int origin)
{
    return fseeko(stream, static_cast<off_t>(offset), origin);
}

int64_t _XpFileSub::Tell(FILE* stream)
{
    return static_cast<int64_t>(ftello(stream));
}

int64_t _XpFileSub::SizeOfPath(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

bool _XpFileSub::Truncate(const char* path, int64_t size)
{
    // truncate(2) would follow a planted link; the descriptor is opened without following it.
    XpFd fd(checkedDescriptor(openNonBlocking(path, O_WRONLY | O_NOFOLLOW), true));
    if (fd.Get() < 0)
        return false;
    int done;
    do
        done = ftruncate(fd.Get(), static_cast<off_t>(size));
    while (done != 0 && errno == EINTR);
    return done == 0;   // errno outlives the close
}

bool _XpFileSub::Touch(const char* path)
{
    XpFd fd(openNonBlocking(path, O_RDWR | O_CREAT | O_NOFOLLOW, 0666));
    return fd.Get() >= 0;   // nothing was written through it: its close loses nothing
}

bool _XpFileSub::ReadDates(const char* path, XpDateTime* creation, XpDateTime* lastModified,
                           XpDateTime* lastAccess)
{
    struct statx sx;
    if (statx(AT_FDCWD, path, AT_STATX_SYNC_AS_STAT, STATX_BTIME | STATX_MTIME | STATX_ATIME, &sx) != 0)
        return false;
    // XpDateTime's own conversion of a time_t: local time, the zone read afresh.
    long modified = static_cast<long>(sx.stx_mtime.tv_sec);
    if (creation != nullptr)
        *creation = XpDateTime((sx.stx_mask & STATX_BTIME) && sx.stx_btime.tv_sec != 0
                                   ? static_cast<long>(sx.stx_btime.tv_sec) : modified);
    if (lastModified != nullptr)
        *lastModified = XpDateTime(modified);
    if (lastAccess != nullptr)
        *lastAccess = XpDateTime(static_cast<long>(sx.stx_atime.tv_sec));
    return true;
}

XpErr _XpFileSub::SetDates(const char* path, const XpDateTime* creation,
                           const XpDateTime* lastModified, const XpDateTime* lastAccess)
{
    if (creation == nullptr && lastModified == nullptr && lastAccess == nullptr)
        return XPERR_OK;
    // The path must resolve to something other than a link: dates are never set through one.
    struct statx sx;
    if (statx(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW, STATX_TYPE, &sx) != 0 || S_ISLNK(sx.stx_mode))
        return XPERR_FAILED;
    struct timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};   // access, modification
    time_t converted;
    // The creation date is converted so that a bad one is refused; Linux cannot store it, so the
    // rule that it may not be later than the modification date has nothing left to correct.
    if (creation != nullptr && !_XpLocalTimeToTimeT(*creation, &converted))
        return XPERR_FAILED;
    if (lastModified != nullptr) {
        if (!_XpLocalTimeToTimeT(*lastModified, &converted))
            return XPERR_FAILED;
        times[1] = {converted, 0};
    }
    if (lastAccess != nullptr) {
        if (!_XpLocalTimeToTimeT(*lastAccess, &converted))
            return XPERR_FAILED;
        times[0] = {converted, 0};
    }
    if (utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW) != 0)
        return XPERR_FAILED;
    return XPERR_OK;
}

// ---- the single-path steps of XpFileOperation ----------------------------------------------------

bool _XpFileSub::MakeDir(const char* path)
{
    int rc;
    do {
        rc = mkdir(path, 0755);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool _XpFileSub::CreateExclusive(const char* path, unsigned mode)
{
    // O_EXCL also refuses any link already at the path, dangling or not: nothing is followed.
    XpFd fd(_XpOpenAt(AT_FDCWD, path, O_WRONLY | O_CREAT | O_EXCL, static_cast<mode_t>(mode)));
    return fd.Get() >= 0;   // nothing is written through it: its close loses nothing
}

bool _XpFileSub::RemoveFile(const char* path)
{
    return unlink(path) == 0;
}

bool _XpFileSub::IsPlainFileOpenForWriting(const char* path)
{
    struct stat st;
    XpFd fd(lstat(path, &st) == 0 && S_ISREG(st.st_mode)
                 ? _XpOpenAt(AT_FDCWD, path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK)
                 : -1);
    // Nothing is written through it.
    return fd.Get() >= 0 && fstat(fd.Get(), &st) == 0 && S_ISREG(st.st_mode);
}
