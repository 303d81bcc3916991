// XpFileOperation::MakeDirChain: mkdir -p by descriptors. Each level is made and opened relative
// to the level above, which keeps paths longer than PATH_MAX within reach and means no level is
// ever looked up again by a text that another user could redirect in the meantime.
#include <XpFileOperation.h>

#include "_XpFd_Linux.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

XpErr codeOf(int err)
{
    switch (err) {
    case EACCES:
    case EPERM:
    case EROFS:
    case ELOOP:
        return XPERR_FILE_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT:
        return XPERR_FILE_DISK_FULL;
    case ENOENT:
        return XPERR_FILE_PARENT_NOT_FOUND;
    default:
        return XPERR_FILE_MAKE_DIR_FAILED;
    }
}

int makeDirAt(int dir, const char* name, mode_t mode)
{
    int rc;
    do {
        rc = mkdirat(dir, name, mode);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

// Opens the folder name in dir. A symbolic link there is followed only when its owner is the
// folder's owner or the caller; -1 with errno (ELOOP for a refused link) otherwise.
int openLevel(int dir, const char* name)
{
    int fd = _XpOpenAt(dir, name, O_PATH | O_DIRECTORY | O_NOFOLLOW);
    if (fd >= 0 || (errno != ENOTDIR && errno != ELOOP))
        return fd;
    const int err = errno;
    struct stat link, folder;
    if (fstatat(dir, name, &link, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(link.st_mode)) {
        errno = err;
        return -1;
    }
    if (fstat(dir, &folder) != 0 || (link.st_uid != folder.st_uid && link.st_uid != geteuid())) {
        errno = ELOOP;
        return -1;
    }
    return _XpOpenAt(dir, name, O_PATH | O_DIRECTORY);
}

} // namespace

XpFileError XpFileOperation::MakeDirChain(const XpStringT<char>& pathText, int mode,
                                          const std::function<void(const char* made)>& onMade)
{
    const std::string path(pathText.GetBuffer(), static_cast<size_t>(pathText.Length()));
    if (path.empty())
        return XpFileError(XPERR_FILE_INVALID_PATH, ENOENT, "mkdirat", "");
    XpFd dir(_XpOpenAt(AT_FDCWD, path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY));
    if (dir.Get() < 0)
        return XpFileError(codeOf(errno), errno, "open", path[0] == '/' ? "/" : ".");
    size_t start = 0;
    while (start < path.size()) {
        while (start < path.size() && path[start] == '/')
            ++start;
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (end == start)
            break;   // only slashes were left
        const std::string name = path.substr(start, end - start), upTo = path.substr(0, end);
        const bool last = path.find_first_not_of('/', end) == std::string::npos;
        // A last level with a mode is made with no more permission than the mode (the umask can
        // only take away), then given exactly the mode: never more, not even for a moment.
        const mode_t initial = last && mode >= 0 ? static_cast<mode_t>(mode) & 0777 : 0777;
        bool made = makeDirAt(dir.Get(), name.c_str(), initial) == 0;
        if (!made && errno != EEXIST)
            return XpFileError(codeOf(errno), errno, "mkdirat", upTo.c_str());
        XpFd next(openLevel(dir.Get(), name.c_str()));
        if (next.Get() < 0) {
            const int err = errno;
            if (last && !made && err == ENOTDIR)
                return XpFileError(XPERR_FILE_EXISTS, EEXIST, "mkdirat", upTo.c_str());
            return XpFileError(codeOf(err), err, "openat", upTo.c_str());
        }
        if (made && last && mode >= 0) {
            // The descriptor is O_PATH, which fchmod refuses; its /proc alias reaches exactly the
            // folder just made, whatever happens to its name meanwhile.
            const std::string self = "/proc/self/fd/" + std::to_string(next.Get());
            if (chmod(self.c_str(), static_cast<mode_t>(mode) & 07777) != 0)
                return XpFileError(codeOf(errno), errno, "chmod", upTo.c_str());
        }
        if (made && onMade)
            onMade(upTo.c_str());
        dir = std::move(next);
        start = end;
    }
    return XpFileError();
}
