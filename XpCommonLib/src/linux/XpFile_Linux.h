// Internal: the Linux calls of XpFile, shared with XpDir (dates).
#ifndef XPFILE_LINUX_H
#define XPFILE_LINUX_H

#include <XpDateTime.h>
#include <XpString.h>

#include <ctime>

class XpAbstractFile;

class _XpFileSub_Linux {
public:
    // The descriptor of an open XpFile; -1 for a closed one and for any other kind of object.
    static int Descriptor(const XpAbstractFile& file);
    // A descriptor for XpFile::Open in mode (openRead, openWrite or openReadWrite; the file
    // already exists for openReadWrite), or -1 with errno set. Descriptors of directories, FIFOs
    // and sockets are refused (EISDIR, ENXIO).
    static int OpenDescriptor(const char* path, int mode);
    // Waits for an exclusive flock on fd.
    static void LockExclusive(int fd);
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
};

#endif
