// What the file objects and XpFileOperation ask of the platform for a single path or an open
// stream: opening safely, locks, positions, sizes, dates, creating and probing. Declared here so
// that the portable halves (XpFile.cpp, XpFileOperation.cpp) call functions rather than system
// calls; linux/XpFile_Linux.cpp implements them. Every call that fails leaves errno set, which the
// callers turn into XpErr values. Internal to the library.
#ifndef _XPFILESUB_H
#define _XPFILESUB_H

#include <XpDateTime.h>
#include <XpFd.h>
#include <XpString.h>

#include <cstdint>
#include <cstdio>

class _XpFileSub {
public:
    // A stream for XpFile::Open in mode (openRead, openWrite or openReadWrite; the file already
    // exists for openReadWrite), cMode being the matching C mode; null with errno set. Directories,
    // FIFOs and sockets are refused (EISDIR, ENXIO), and no link is followed where writing could
    // create or change a file.
    static FILE* OpenStream(const char* path, int mode, const char* cMode);
    // Waits for an exclusive whole-file lock on the stream's file.
    static void LockExclusive(FILE* stream);
    // fseek and ftell with 64-bit positions: 0 or -1, the position or -1 (errno set).
    static int Seek(FILE* stream, int64_t offset, int origin);
    static int64_t Tell(FILE* stream);
    // The size of what path names, links followed; -1 when it cannot be read.
    static int64_t SizeOfPath(const char* path);
    // Truncates or extends the regular file at path to size; false with errno set.
    static bool Truncate(const char* path, int64_t size);
    // Creates path empty when missing, without following a link; false with errno set.
    static bool Touch(const char* path);
    // Birth (the modification time where none is recorded), modification and access times of
    // path, links followed, as local dates; a null pointer skips one. False with errno set.
    static bool ReadDates(const char* path, XpDateTime* creation, XpDateTime* lastModified,
                          XpDateTime* lastAccess);
    // The common steps of SetDateTime of files and directories.
    static XpErr SetDates(const char* path, const XpDateTime* creation,
                          const XpDateTime* lastModified, const XpDateTime* lastAccess);

    // Makes the folder path (rwxr-xr-x before the umask); false with errno set.
    static bool MakeDir(const char* path);
    // Creates path as a new empty file with the permission bits mode (before the umask); false
    // with errno set, EEXIST for anything already there, a link included: nothing is followed.
    static bool CreateExclusive(const char* path, unsigned mode);
    // Removes the file path (not a folder); false with errno set.
    static bool RemoveFile(const char* path);
    // Whether path is a plain file (no link, FIFO or device) that opens for writing; it is opened
    // without following a link, without creating it and without waiting.
    static bool IsPlainFileOpenForWriting(const char* path);
    // Keeps err as the calling thread's XpFileOperation::LastError().
    static void KeepLastError(const XpFileError& err);
};

#endif
