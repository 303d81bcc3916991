// Platform half of the file operations on Linux: the operations that change a volume (rename,
// remove, trash) and the tests they start with (device available, a file by its base name).
//
// The platform's file manager moved items where the library came from; here rename(2) does, with
// RENAME_NOREPLACE so that "nothing may be at the destination" is decided by the kernel in the
// same step as the move, and a link or file planted there after our look is never replaced or
// followed. When rename says EXDEV the item is copied beside the destination and put in place
// only when complete (_XpFileOperationSub_Linux). The trash is the freedesktop.org one
// (_XpTrash_Linux.cpp), which every Linux desktop and `gio trash` read.
#include <XpFileOperation.h>

#include "_XpFd_Linux.h"
#include "_XpFileSub.h"
#include "_XpFileOperationSub_Linux.h"
#include "_XpNetworkVolume.h"

#include <XpDir.h>
#include <XpFileAvailableChecker.h>
#include <XpPathUtil.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The user's trash folder, or "" when there is none and none can be made.
XpStringT<char> getTrashPath()
{
    return _XpFileOperationSub_Linux::HomeTrashPath();
}

} // namespace

bool XpFileOperation::IsDeviceAvailable(const XpStringT<char>& path)
{
    // On a network mount the mount point comes from the mount table: finding it through the
    // file system (GetRootPath walks up the path with stat) would hang on a share that stopped
    // answering, which is the very thing to be found out here.
    XpStringT<char> root;
    if (!_XpIsNetworkPath(path, &root) || root.IsEmpty()) {
        // A relative path lies on the working directory's volume; asked as it stands, a bare
        // name would have no folder above it and so no volume at all.
        char cwd[4096];
        bool relative = !path.IsEmpty() && path[0] != '/' && getcwd(cwd, sizeof cwd) != nullptr;
        root = XpPathUtil::GetRootPath(relative ? XpPathUtil::Concatenate(XpStringT<char>(cwd), path) : path);
    }
    if (root.IsEmpty())
        return false;
    XpFileAvailableChecker checker(true);
    return checker.IsDirAvailableWithTimeOut(root, 1);
}

bool XpFileOperation::IsFileAvailableNoExt(const XpStringT<char>& path)
{
    XpDir dir(XpPathUtil::GetFileDir(path));
    XpStringT<char> pattern;
    pattern.Format("%s", XpPathUtil::GetFileName(path).GetBuffer());
    if (dir.StartEnum(XpAbstractDir::enumFiles | XpAbstractDir::enumNameStartsWith, pattern) !=
        XPERR_OK)
        return false;
    bool found = dir.EnumNext().Get() != nullptr;
    dir.FinishEnum();
    return found;
}

// The path whose volume is path's: path itself when it is UTF-8, else its longest leading run of
// whole components that is, the folder the other bytes are names in ("." for a relative path
// with no such component). The volume test takes text; the rename itself takes any bytes.
static XpStringT<char> volumeOf(const char* path)
{
    std::string p(path);
    if (XpPlatformString::IsValidUTF8(p.data(), p.size()))
        return XpStringT<char>(path);
    size_t keep = p.size();
    while (keep > 0 && !XpPlatformString::IsValidUTF8(p.data(), keep)) {
        size_t slash = p.rfind('/', keep - 1);
        keep = slash == std::string::npos ? 0 : slash == 0 ? 1 : slash;
    }
    return XpStringT<char>(keep == 0 ? "." : p.substr(0, keep).c_str());
}

XpErr XpFileOperation::RenameFile(const char* from, const char* to)
{
    // Names on Linux are bytes: a name that is not UTF-8 (made on another system, or in another
    // locale) is moved like any other. Existence is asked of the bytes themselves, with stat as
    // IsPathAvailable asks it, so UTF-8 paths get the answers they always got.
    from = from != nullptr ? from : "";
    to = to != nullptr ? to : "";
    XpStringT<char> target(to);
    if (!IsDeviceAvailable(volumeOf(from)) || !IsDeviceAvailable(volumeOf(to)))
        return XPERR_FILE_DEVICE_NOT_AVAILABLE;
    struct stat st;
    if (stat(from, &st) != 0 || stat(to, &st) == 0)
        return XPERR_FILE_OPEN_FAILED;
    int fromFd = -1, toFd = -1;
    std::string fromName, toName;
    int err = _XpFileOperationSub_Linux::OpenParent(from, &fromFd, &fromName);
    XpFd fromDir(fromFd);
    if (err == 0)
        err = _XpFileOperationSub_Linux::OpenParent(to, &toFd, &toName);
    XpFd toDir(toFd);
    if (err == 0)
        err = _XpFileOperationSub_Linux::RenameNoReplaceAt(fromDir.Get(), fromName.c_str(),
                                                           toDir.Get(), toName.c_str());
    if (err == EXDEV) {
        err = _XpFileOperationSub_Linux::PlaceCopyAt(fromDir.Get(), fromName.c_str(), toDir.Get(),
                                                     toName.c_str(), false);
        if (err == 0)
            err = _XpFileOperationSub_Linux::RemoveTreeAt(fromDir.Get(), fromName.c_str());
    }
    return err == 0 ? XPERR_OK : getXpErr(err, errRename, target);
}

// The result of a removal for LastError: rc of the system call named operation, errno its cause.
static XpErr keepRemoval(int rc, const char* operation, XpErr (*translate)(int, const XpStringT<char>&),
                         const XpStringT<char>& path)
{
    if (rc == 0) {
        _XpFileSub::KeepLastError(XpFileError());
        return XPERR_OK;
    }
    int err = errno;
    XpErr code = translate(err, path);
    _XpFileSub::KeepLastError(XpFileError(code, err, operation, path));
    return code;
}

XpErr XpFileOperation::removeFile(const XpStringT<char>& path)
{
    if (!IsDeviceAvailable(path)) {
        _XpFileSub::KeepLastError(XpFileError(XPERR_FILE_DEVICE_NOT_AVAILABLE, 0, "unlink", path));
        return XPERR_FILE_DEVICE_NOT_AVAILABLE;
    }
    // unlink removes a link itself, never what it points to; EINTR does not happen here.
    return keepRemoval(unlink(path.GetAnsiString().GetBuffer()), "unlink",
                       [](int err, const XpStringT<char>& p) { return getXpErr(err, errRemoveFile, p); }, path);
}

XpErr XpFileOperation::removeDir(const XpStringT<char>& path)
{
    if (!IsDeviceAvailable(path)) {
        _XpFileSub::KeepLastError(XpFileError(XPERR_FILE_DEVICE_NOT_AVAILABLE, 0, "rmdir", path));
        return XPERR_FILE_DEVICE_NOT_AVAILABLE;
    }
    return keepRemoval(rmdir(path.GetAnsiString().GetBuffer()), "rmdir",
                       [](int err, const XpStringT<char>& p) { return getXpErr(err, errRemoveDir, p); }, path);
}

XpErr XpFileOperation::removeFiles(const std::vector<XpStringT<char> >& paths, bool toTrash)
{
    if (!toTrash) {
        for (const XpStringT<char>& p : paths) {
            XpErr err = removeFileWithoutUI(p, false);
            if (err != XPERR_OK)
                return err;
        }
        return XPERR_OK;
    }
    if (paths.empty())
        return XPERR_OK;
    // One request for the whole list: every name is taken in the first path's folder.
    XpStringT<char> folder = XpPathUtil::GetFileDir(paths.front());
    if (getTrashPath().IsEmpty())
        return XPERR_FILE_REMOVE_FAILED;
    for (const XpStringT<char>& p : paths) {
        XpStringT<char> item = XpPathUtil::Concatenate(folder, XpPathUtil::GetFileFullName(p));
        if (_XpFileOperationSub_Linux::Trash(item) != 0)
            return XPERR_FILE_REMOVE_FAILED;
    }
    return XPERR_OK;
}

XpErr XpFileOperation::removeFileToRecycleBin(const XpStringT<char>& path)
{
    if (getTrashPath().IsEmpty())
        return XPERR_FILE_REMOVE_FAILED;
    return _XpFileOperationSub_Linux::Trash(path) == 0 ? XPERR_OK : XPERR_FILE_REMOVE_FAILED;
}
