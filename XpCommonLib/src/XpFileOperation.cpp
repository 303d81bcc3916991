// XpFileOperation, portable half: creating files and unique names, writability tests, making
// directories, joining files.
#include <XpFileOperation.h>

#include <XpFile.h>
#include <XpPathUtil.h>

#include "_XpFileSub.h"

#include <cerrno>
#include <cstdlib>

XpErr XpFileOperation::getXpErr(int err, ErrnoRule rule, const XpStringT<char>& path)
{
    switch (rule) {
    case errCreateFile:
        return err == EACCES ? XPERR_FILE_ACCESS_DENIED
               : err == EEXIST ? XPERR_FILE_EXISTS
               : err == EINVAL ? XPERR_FILE_INVALID_PARAM
               : err == EMFILE ? XPERR_FILE_TOO_MANY_OPEN
               : err == ENOSPC ? XPERR_FILE_DISK_FULL
                               : XPERR_FILE_FAILED;
    case errMakeDir:
        if (err == EEXIST)
            return XPERR_FILE_EXISTS;
        if (err == ENOENT)   // only a folder that has appeared meanwhile makes this a parent matter
            return IsDirWritable(path) ? XPERR_FILE_PARENT_NOT_FOUND : XPERR_FILE_ACCESS_DENIED;
        if (err == EROFS || err == EACCES)
            return XPERR_FILE_ACCESS_DENIED;
        if (err == ENOSPC)
            return XPERR_FILE_DISK_FULL;
        return IsDirAvailable(XpPathUtil::GetFileDir(path)) ? XPERR_FILE_MAKE_DIR_FAILED
                                                            : XPERR_FILE_PARENT_NOT_FOUND;
    case errRemoveFile:
        return err == ENOENT ? XPERR_FILE_NOT_FOUND : XPERR_FILE_REMOVE_FAILED;
    case errRemoveDir:
        return err == EACCES || err == EROFS ? XPERR_FILE_ACCESS_DENIED
               : err == ENOTEMPTY || err == EEXIST ? XPERR_FILE_DIR_NOT_EMPTY
                                                   : XPERR_FILE_REMOVE_FAILED;
    case errRename:
        return err == EEXIST ? XPERR_FILE_OPEN_FAILED : XPERR_FILE_MOVE_FAILED;
    }
    return XPERR_FILE_FAILED;
}

XpErr XpFileOperation::MakeDir(const XpStringT<char>& path)
{
    _XpFileSub::KeepLastError(XpFileError(XPERR_FILE_DEVICE_NOT_AVAILABLE, 0, "mkdir", path));
    if (!IsDeviceAvailable(path))
        return XPERR_FILE_DEVICE_NOT_AVAILABLE;
    XpStringT<char> text = path.GetAnsiString();
    if (_XpFileSub::MakeDir(text.GetBuffer())) {
        _XpFileSub::KeepLastError(XpFileError());
        return XPERR_OK;
    }
    int err = errno;
    // The volume may have gone while we asked: say so rather than blame the path.
    if (!IsDeviceAvailable(path))
        return XPERR_FILE_DEVICE_NOT_AVAILABLE;
    XpErr code = getXpErr(err, errMakeDir, path);
    _XpFileSub::KeepLastError(XpFileError(code, err, "mkdir", path));
    return code;
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

XpErr XpFileOperation::CreateNewFile(const XpStringT<char>& path)
{
    // Nothing is followed: a link already at the path, dangling or not, is refused too.
    return _XpFileSub::CreateExclusive(path.GetAnsiString().GetBuffer(), 0666)
               ? XPERR_OK : getXpErr(errno, errCreateFile, path);
}

XpErr XpFileOperation::claimName(const XpStringT<char>& path)
{
    return _XpFileSub::CreateExclusive(path.GetAnsiString().GetBuffer(), 0600)
               ? XPERR_OK : getXpErr(errno, errCreateFile, path);
}

XpStringT<char> XpFileOperation::CreateTempFile(const XpStringT<char>& folder, const char* prefix,
                                                unsigned int digits, const char* middle,
                                                const char* suffix)
{
    if (digits == 0)
        return XpStringT<char>();
    XpStringT<char> pattern;
    pattern.Format("%%s%%0%ud%%s%%s", digits);
    XpStringT<char> path;
    for (int32_t n = 0; n < 0x7FFFFFFF; ++n) {
        XpStringT<char> name;
        name.Format(pattern.GetBuffer(), prefix ? prefix : "", n, middle ? middle : "",
                    suffix ? suffix : "");
        path = XpPathUtil::Concatenate(folder, name);
        XpErr err = CreateNewFile(path);
        if (err == XPERR_OK)
            break;
        // Only a taken name is worth the next number. A missing folder, one we may not write, a
        // full or read-only volume fail the same way for every name, and trying them all would
        // take an hour to give the same empty answer.
        if (err != XPERR_FILE_EXISTS)
            return XpStringT<char>();
    }
    return IsFileAvailable(path) ? path : XpStringT<char>();
}

bool XpFileOperation::IsEnableReadWrite(const XpStringT<char>& path)
{
    if (!IsFileAvailable(path) || IsReadOnly(path))
        return false;
    XpFile file(path);
    if (file.Open(XpAbstractFile::openReadWrite, XpAbstractFile::shareDenyNone) != XPERR_OK)
        return false;
    return file.Close() == XPERR_OK;
}

bool XpFileOperation::IsDirWritable(const XpStringT<char>& folder)
{
    if (!IsDirAvailable(folder))
        return false;
    for (uint32_t n = 0; n < 0xFFFFFFFFu; ++n) {
        XpStringT<char> name;
        name.Format(".%08x.tmp", n);
        XpStringT<char> path = XpPathUtil::Concatenate(folder, name);
        XpErr r = CreateNewFile(path);
        if (r == XPERR_OK) {
            _XpFileSub::RemoveFile(path.GetBuffer());   // our own empty probe; should it stay, it is hidden
            return true;
        }
        if (r != XPERR_FILE_EXISTS)
            return false;
        // Someone else's probe proves the folder writable when it is a plain file, not
        // read-only, that opens for writing. Opened without following a link and without
        // creating (IsEnableReadWrite would create it again should its owner just have removed
        // it, leaving a probe behind); a planted link or FIFO is passed over.
        if (_XpFileSub::IsPlainFileOpenForWriting(path.GetBuffer()) && !IsReadOnly(path))
            return true;
    }
    return false;
}

XpErr XpFileOperation::removeFileWithoutUI(const XpStringT<char>& path, bool withUI)
{
    (void)withUI;
    return removeFile(path);
}

int64_t XpFileOperation::getTotalSize(const std::vector<XpStringT<char> >& files)
{
    int64_t total = 0;
    for (const XpStringT<char>& f : files)
        total += XpFile::GetSize(f.GetBuffer());
    return total;
}

XpErr XpFileOperation::ConcatenateFiles(const std::vector<XpStringT<char> >& inputs,
                                        XpStringT<char> output, IXpFileOpProgressObserver* observer)
{
    const int64_t kChunk = 262144;
    XpFile out(output);
    XpErr result = out.Open(XpAbstractFile::openWrite, XpAbstractFile::shareDenyNone);
    if (result != XPERR_OK)
        return result;
    char* buffer = static_cast<char*>(malloc(kChunk));
    if (buffer == nullptr) {
        result = XPERR_NO_MEMORY;
    } else {
        int64_t total = getTotalSize(inputs);
        if (observer != nullptr) {
            observer->destinationPath = output;
            observer->totalCount = static_cast<int64_t>(inputs.size());
        }
        int64_t bytes = 0;
        for (size_t i = 0; i < inputs.size() && result == XPERR_OK; ++i) {
            XpFile in(inputs[i]);
            result = in.Open(XpAbstractFile::openRead, XpAbstractFile::shareDenyNone);
            if (result != XPERR_OK)
                break;
            int64_t size = in.GetSize();
            if (observer != nullptr) {
                observer->currentPath = inputs[i];
                observer->doneCount = static_cast<int64_t>(i);
            }
            for (int64_t taken = 0; taken < size && result == XPERR_OK;) {
                int64_t count = 0;
                XpErr r = in.Read(buffer, kChunk, &count);
                if (r != XPERR_OK && r != XPERR_FILE_END_OF_FILE) {
                    result = r;
                    break;
                }
                // A read that delivers nothing ends here too: Write refuses an empty block.
                result = out.Write(buffer, count, nullptr);
                taken += count;
                if (observer != nullptr && result == XPERR_OK) {
                    bytes += count;
                    observer->percent = static_cast<double>(bytes) / static_cast<double>(total) *
                                        100.0;
                    if (observer->OnProgress(observer->percent))
                        result = XPERR_FILE_CANCELLED;
                }
            }
            in.Close();   // read-only: nothing to lose
        }
        free(buffer);
    }
    XpErr closed = out.Close();
    return result != XPERR_OK ? result : closed;
}
