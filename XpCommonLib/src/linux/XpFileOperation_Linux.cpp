// Platform half of the file operations on Linux: the existence and attribute tests.
//
// One stat(2) stands for the platform's "exists, and is it a directory" request; it follows
// symbolic links, so a link to a directory is a directory and a dangling link does not exist.
// Paths travel as UTF-8. A text that is not valid UTF-8 could not be made into a platform string
// where the library came from, and so counts as not existing here as well, even when the bytes
// would name a file to the kernel: the answer must not depend on the platform.
//
// The read-only attribute stands on the kernel's own notion of "cannot be changed": statx reports
// the append-only and immutable inode flags without opening the file (an ioctl would need a
// descriptor, and opening a FIFO or a device to ask could block or have effects), and a mode
// without any write bit says the same for everyone. Setting works on permission bits through an
// O_PATH descriptor opened without following a last-component link, so a link planted where a
// file was expected is refused rather than followed; the new mode is applied through
// /proc/self/fd, which names exactly the inode that was checked.
#include <XpFileOperation.h>
#include <XpPathUtil.h>

#include "_XpFd_Linux.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

// stat of a path that could be a platform string; false for "" and invalid UTF-8.
bool statPath(const XpStringT<char>& path, struct stat* st)
{
    const char* text = path.GetBuffer();
    if (path.IsEmpty() || !XpPlatformString::IsValidUTF8(text, static_cast<size_t>(path.Length())))
        return false;
    // EINTR cannot happen for stat on Linux (it is not a slow call); every other failure means
    // "cannot be reached", which the caller sees as "does not exist".
    return stat(text, st) == 0;
}

// The text of a path that could be a platform string, or null for "" and invalid UTF-8.
const char* platformPath(const XpStringT<char>& path)
{
    const char* text = path.GetBuffer();
    if (path.IsEmpty() || !XpPlatformString::IsValidUTF8(text, static_cast<size_t>(path.Length())))
        return nullptr;
    return text;
}

bool accessible(const char* path, int mode)
{
    // Effective ids decide what the process may actually do.
    return faccessat(AT_FDCWD, path, mode, AT_EACCESS) == 0;
}

// Whether the process could remove the entry: the folder holding it is writable and searchable,
// and in a sticky folder the process owns the entry or the folder (or is root).
bool deletable(const char* path)
{
    std::string entry(path);
    while (entry.size() > 1 && entry.back() == '/')
        entry.pop_back();
    size_t slash = entry.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : entry.substr(0, slash);
    struct stat folderStat, entryStat;
    if (!accessible(folder.c_str(), W_OK | X_OK) || stat(folder.c_str(), &folderStat) != 0 ||
        lstat(entry.c_str(), &entryStat) != 0)
        return false;
    uid_t me = geteuid();
    return !(folderStat.st_mode & S_ISVTX) || me == 0 || me == entryStat.st_uid ||
           me == folderStat.st_uid;
}

} // namespace

bool XpFileOperation::IsPathAvailable(const XpStringT<char>& path, bool* isDirectory)
{
    struct stat st;
    bool exists = statPath(path, &st);
    if (isDirectory != nullptr)
        *isDirectory = exists && S_ISDIR(st.st_mode);
    return exists;
}

bool XpFileOperation::IsDirAvailable(const XpStringT<char>& path)
{
    bool isDirectory = false;
    return IsPathAvailable(path, &isDirectory) && isDirectory;
}

bool XpFileOperation::IsFileAvailable(const XpStringT<char>& path)
{
    bool isDirectory = false;
    return IsPathAvailable(path, &isDirectory) && !isDirectory;
}

bool XpFileOperation::IsReadOnly(const XpStringT<char>& path)
{
    const char* text = platformPath(path);
    if (text == nullptr)
        return false;
    if (!accessible(text, W_OK) && !accessible(text, X_OK) && !deletable(text) &&
        accessible(text, R_OK))
        return true;
    struct statx sx;
    if (statx(AT_FDCWD, text, AT_STATX_SYNC_AS_STAT, STATX_MODE, &sx) != 0)
        return false;
    return (sx.stx_attributes & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0 ||
           (sx.stx_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

XpErr XpFileOperation::SetReadOnly(const XpStringT<char>& path, bool readOnly)
{
    const char* text = platformPath(path);
    if (text == nullptr)
        return XPERR_FILE_SET_ATTRIBUTE_FAILED;
    // An O_PATH descriptor has nothing to write back: its close cannot fail usefully.
    XpFd fd(_XpOpenAt(AT_FDCWD, text, O_PATH | O_NOFOLLOW));
    struct stat st;
    if (fd.Get() < 0 || fstat(fd.Get(), &st) != 0 || S_ISLNK(st.st_mode))
        return XPERR_FILE_SET_ATTRIBUTE_FAILED;
    mode_t mode = st.st_mode & 07777;
    mode_t wanted = readOnly ? mode & ~(S_IWUSR | S_IWGRP | S_IWOTH) : mode | S_IWUSR;
    std::string self = "/proc/self/fd/" + std::to_string(fd.Get());
    return wanted == mode || chmod(self.c_str(), wanted) == 0 ? XPERR_OK
                                                              : XPERR_FILE_SET_ATTRIBUTE_FAILED;
}

bool XpFileOperation::IsHidden(const XpStringT<char>& path)
{
    return XpPathUtil::GetFileFullName(path).At(0) == '.';
}

XpErr XpFileOperation::SetHidden(const XpStringT<char>&, bool)
{
    return XPERR_FILE_NOT_SUPPORTED;
}
