// XpFile: a path and, while open, a buffered C stream on it (64 KiB, fully buffered). It opens
// for reading, writing or both, optionally under an exclusive lock, reads and writes exact byte
// counts, seeks, flushes, sizes, creates empty files and reads and sets the file's dates. Every
// failure is an XpErr; the C library's error numbers are mapped by getXpErr's table. An XpFile is
// used by one thread at a time.
//
// How files are opened on Linux (the library runs as root in folders others can write):
// - openRead follows a symbolic link, as a reader expects; reading changes nothing.
// - openWrite, openReadWrite, Touch and SetSize never follow a symbolic link in the last
//   component (O_NOFOLLOW): a link planted where a file is expected gives
//   XPERR_FILE_INVALID_PATH and nothing is created, truncated or changed through it.
// - Every open is non-blocking and the descriptor is checked before it is used: a directory gives
//   XPERR_FILE_INVALID_PATH, a FIFO or socket XPERR_FILE_OPEN_FAILED (an open never waits for
//   the other end of a pipe). Regular files and character devices (/dev/null, /dev/full) are
//   accepted.
// - The share argument shareExclusive takes flock(LOCK_EX), waiting until it is granted; the lock
//   is advisory, between descriptors and processes, and lasts until Close.
// - GetDateTime reads statx: the creation date is the birth time where the file system records
//   one (ext4, xfs, btrfs, tmpfs); where it does not, the last modification time is returned as
//   the creation date.
// - SetDateTime sets the modification and access times with utimensat. Linux cannot set a birth
//   time: the creation argument is converted (an invalid date still gives XPERR_FAILED) and has no
//   other effect. Dates are never set through a symbolic link: a link gives XPERR_FAILED.
// - Read and Write refuse a negative size with XPERR_FILE_INVALID_PARAM, as they refuse 0.
#ifndef XPFILE_H
#define XPFILE_H

#include "XpAbstractFile.h"

#include <cstdio>

/** \defgroup files Files and directories
    File streams and directory enumeration on paths, their abstract bases and the shared pointer that carries enumerated entries.
    \{ */

// A file on disk, named by its path.
class XP_API XpFile : public XpAbstractFile {
public:
    // No path, no byte order. No constructor touches the file system.
    XpFile();
    // No path; the byte order is applied with SetFileEndian (an invalid value leaves none).
    explicit XpFile(int endian);
    // The path, no byte order.
    explicit XpFile(const XpStringT<char>& path);
    XpFile(const XpStringT<char>& path, int endian);
    // Closes the file.
    ~XpFile() override;

    // The file name without folder and extension.
    XpStringT<char> GetVisibleName() const override;
    // Open: the size including data still buffered, the position unchanged. Closed: the size of
    // the file at the path (links followed); -1 when it cannot be read.
    int64_t GetSize() const override;
    // XPERR_FILE_NOT_FOUND when the status cannot be read (nothing written then).
    XpErr GetDateTime(XpDateTime* creation, XpDateTime* lastModified,
                      XpDateTime* lastAccess) const override;
    // XPERR_OK at once when all three are null; XPERR_FAILED when the path cannot be resolved,
    // a date cannot be converted or the times cannot be stored.
    XpErr SetDateTime(const XpDateTime* creation, const XpDateTime* lastModified,
                      const XpDateTime* lastAccess) override;
    bool IsReadOnly() const override;
    bool IsHidden() const override;

    // Opens the path. XPERR_FILE_ALREADY_OPEN on an open file (which stays open);
    // XPERR_FILE_INVALID_PARAM without openRead or openWrite. openReadWrite creates a missing
    // file first (Touch). A failed Open leaves the file closed.
    XpErr Open(int mode, int share) override;
    // Closes the stream (dropping the lock) and frees the buffer; XPERR_FILE_NOT_OPEN when closed.
    XpErr Close() override;
    // XPERR_FILE_END_OF_FILE when the end came first (the stream is then usable again),
    // XPERR_FILE_INVALID_PATH when closed; *done receives the bytes read, also on failure.
    XpErr Read(void* buffer, int64_t size, int64_t* done) override;
    // A short write gives the mapped error number, XPERR_FILE_PATH_NOT_FOUND by default.
    XpErr Write(const void* buffer, int64_t size, int64_t* done) override;
    XpErr Flush() override;
    XpErr Seek(int64_t offset, seekmode origin) override;
    int64_t GetCurrentPosition() const override;
    // Sets the length of the file named by the path, open or not; data still in the stream's
    // buffer is not written first.
    XpErr SetSize(int64_t size) override;

    // SetPath and Open.
    virtual XpErr Open(const XpStringT<char>& path, int mode, int share);
    // Closes the file, then stores the path. XPERR_OK.
    virtual XpErr SetPath(const XpStringT<char>& path);
    // The path the object names.
    virtual XpStringT<char> GetPath() const;

    // The size of the file at path; -1 for a null path or when it cannot be read.
    static int64_t GetSize(const char* path);
    // Creates an empty file (permissions 0666 less the umask) when none exists; an existing file
    // keeps its content and dates. It is opened for reading and writing, so a file without write
    // permission gives XPERR_FILE_ACCESS_DENIED.
    static XpErr Touch(const XpStringT<char>& path);
    // Maps the calling thread's errno: ENOENT -> XPERR_FILE_NOT_FOUND for openRead alone, else
    // XPERR_FILE_PATH_NOT_FOUND; EBADF, EACCES, EROFS -> XPERR_FILE_ACCESS_DENIED; EEXIST ->
    // XPERR_FILE_EXISTS; ENOTDIR, EISDIR, ELOOP, ENAMETOOLONG -> XPERR_FILE_INVALID_PATH; EINVAL
    // -> XPERR_FILE_INVALID_PARAM; EMFILE -> XPERR_FILE_TOO_MANY_OPEN; ENOSPC ->
    // XPERR_FILE_DISK_FULL; anything else XPERR_FILE_FAILED.
    static XpErr getXpErr(int mode);

private:
    // The platform half reaches the open stream's descriptor (the copies check and size files on
    // it rather than by path).
    friend class _XpFileSub_Linux;

    // The table of getXpErr for error number err, with fallback for numbers it does not list.
    static XpErr xperrFromErrno(int err, int mode, XpErr fallback);
    // After a failed transfer: the mapped error when the stream's error flag is set, else
    // fallback; clears the stream's flags.
    XpErr transferFailure(XpErr fallback);

    FILE* stream;
    unsigned char* streamBuffer;
    int32_t openMode;
};

/** \} */

#endif
