// XpFileOperation, portable half: making directories.
#include <XpFileOperation.h>

#include <XpPathUtil.h>

#include <cerrno>
#include <sys/stat.h>
#include <sys/types.h>

namespace {

const mode_t kDirMode = 0755;

// The result of a failed mkdir of path, by its errno.
XpErr makeDirError(int err, const XpStringT<char>& path)
{
    switch (err) {
    case EEXIST:
        return XPERR_FILE_EXISTS;
    case ENOENT:
        return XPERR_FILE_PARENT_NOT_FOUND;
    case EROFS:
    case EACCES:
        return XPERR_FILE_ACCESS_DENIED;
    case ENOSPC:
        return XPERR_FILE_DISK_FULL;
    default:
        return XpFileOperation::IsDirAvailable(XpPathUtil::GetFileDir(path)) ? XPERR_FILE_MAKE_DIR_FAILED
                                                                             : XPERR_FILE_PARENT_NOT_FOUND;
    }
}

} // namespace

XpErr XpFileOperation::MakeDir(const XpStringT<char>& path)
{
    XpStringT<char> text = path.GetAnsiString();
    int rc;
    do {
        rc = mkdir(text.GetBuffer(), kDirMode);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0)
        return XPERR_OK;
    return makeDirError(errno, path);
}

XpErr XpFileOperation::MakeDirRecursively(const XpStringT<char>& path)
{
    if (path[0] != '/')
        return XPERR_FILE_MAKE_DIR_FAILED;
    // Each '/' after the first byte ends a level to make: /a, then /a/b, ... A level that
    // exists already is fine; anything else stops the walk.
    for (int slash = path.Find('/', 1); slash != -1; slash = path.Find('/', slash + 1)) {
        XpErr err = MakeDir(path.Left(slash));
        if (err != XPERR_OK && err != XPERR_FILE_EXISTS)
            return err;
    }
    return MakeDir(path);
}
