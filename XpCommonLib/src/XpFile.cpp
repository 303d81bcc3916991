// XpFile: the portable half. The stream work goes through the C standard library; opening the
// stream, locks, positions, sizes by path and dates are the platform's (_XpFileSub.h).
#include <XpFile.h>
#include <XpFileOperation.h>
#include <XpPathUtil.h>

#include "_XpFileSub.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

const size_t kStreamBufferSize = 65536;

bool bothLowBits(int mode) { return (mode & XpAbstractFile::openReadWrite) == XpAbstractFile::openReadWrite; }

} // namespace

// ==== construction and path ======================================================================

XpFile::XpFile() : stream(nullptr), streamBuffer(nullptr), openMode(0)
{
    CheckMyCPUEndian();
}

XpFile::XpFile(int endian) : XpFile()
{
    SetFileEndian(endian);
}

// A new object has nothing open, so SetPath would only store the path: it is stored at once.
XpFile::XpFile(const XpStringT<char>& path)
    : XpAbstractFile(path), stream(nullptr), streamBuffer(nullptr), openMode(0)
{
    CheckMyCPUEndian();
}

XpFile::XpFile(const XpStringT<char>& path, int endian) : XpFile(path)
{
    SetFileEndian(endian);
}

XpFile::~XpFile()
{
    Close();   // a closed file answers XPERR_FILE_NOT_OPEN; nothing to report from a destructor
}

XpErr XpFile::SetPath(const XpStringT<char>& path)
{
    Close();
    return SetIdentifier(path);
}

XpStringT<char> XpFile::GetPath() const
{
    return GetIdentifier();
}

XpStringT<char> XpFile::GetVisibleName() const
{
    return XpPathUtil::GetFileName(GetPath());
}

bool XpFile::IsReadOnly() const
{
    return XpFileOperation::IsReadOnly(GetPath());
}

bool XpFile::IsHidden() const
{
    return XpFileOperation::IsHidden(GetPath());
}

// ==== errors =====================================================================================

XpErr XpFile::xperrFromErrno(int err, int mode, XpErr fallback)
{
    switch (err) {
    case ENOENT:
        return (mode & openReadWrite) == openRead ? XPERR_FILE_NOT_FOUND : XPERR_FILE_PATH_NOT_FOUND;
    case EBADF:
    case EACCES:
    case EROFS:
        return XPERR_FILE_ACCESS_DENIED;
    case EEXIST:
        return XPERR_FILE_EXISTS;
    case ENOTDIR:
    case EISDIR:
    case ELOOP:
    case ENAMETOOLONG:
        return XPERR_FILE_INVALID_PATH;
    case EINVAL:
        return XPERR_FILE_INVALID_PARAM;
    case EMFILE:
        return XPERR_FILE_TOO_MANY_OPEN;
    case ENOSPC:
        return XPERR_FILE_DISK_FULL;
    default:
        return fallback;
    }
}

XpErr XpFile::getXpErr(int mode)
{
    return xperrFromErrno(errno, mode, XPERR_FILE_FAILED);
}

XpErr XpFile::transferFailure(XpErr fallback)
{
    XpErr err = ferror(stream) ? xperrFromErrno(errno, openMode, fallback) : fallback;
    clearerr(stream);
    return err;
}

// ==== opening and closing ========================================================================

XpErr XpFile::Open(int mode, int share)
{
    if (stream != nullptr)
        return XPERR_FILE_ALREADY_OPEN;
    openMode = mode;
    const char* cMode;
    if (bothLowBits(mode)) {
        XpErr touched = Touch(GetPath());
        if (touched != XPERR_OK)
            return touched;
        cMode = "r+";
    } else if (mode & openRead) {
        cMode = "r";
    } else if (mode & openWrite) {
        cMode = "w";
    } else {
        return XPERR_FILE_INVALID_PARAM;
    }
    // The text flag has no effect here: the binary "b" would be appended without it, and means
    // nothing to the C library on Linux, so the mode stays as it is.
    stream = _XpFileSub::OpenStream(GetPath().GetBuffer(), mode & openReadWrite, cMode);
    if (stream == nullptr)
        return xperrFromErrno(errno, openMode, XPERR_FILE_OPEN_FAILED);

    std::free(streamBuffer);
    streamBuffer = static_cast<unsigned char*>(std::malloc(kStreamBufferSize));
    if (streamBuffer != nullptr &&
        setvbuf(stream, reinterpret_cast<char*>(streamBuffer), _IOFBF, kStreamBufferSize) != 0) {
        std::free(streamBuffer);   // the stream keeps the C library's own buffer
        streamBuffer = nullptr;
    }
    if (share == shareExclusive)
        _XpFileSub::LockExclusive(stream);
    return XPERR_OK;
}

XpErr XpFile::Open(const XpStringT<char>& path, int mode, int share)
{
    SetPath(path);
    return Open(mode, share);
}

XpErr XpFile::Close()
{
    XpErr result = XPERR_FILE_NOT_OPEN;
    if (stream != nullptr) {
        int closed = fclose(stream);   // never retried: the stream is gone whatever it says
        result = closed == 0 ? XPERR_OK
                 : closed == EOF ? xperrFromErrno(errno, openMode, XPERR_FILE_FAILED)
                                 : XPERR_FILE_FAILED;
        stream = nullptr;
    }
    std::free(streamBuffer);
    streamBuffer = nullptr;
    return result;
}

// ==== data =======================================================================================

XpErr XpFile::Read(void* buffer, int64_t size, int64_t* done)
{
    if (buffer == nullptr || size <= 0)
        return XPERR_FILE_INVALID_PARAM;
    if (stream == nullptr)
        return XPERR_FILE_INVALID_PATH;
    if (bothLowBits(openMode))
        _XpFileSub::Seek(stream, 0, SEEK_CUR);   // lets a read follow a write; it cannot fail at the same place
    size_t count = fread(buffer, 1, static_cast<size_t>(size), stream);
    XpErr result = XPERR_OK;
    if (count != static_cast<size_t>(size)) {
        if (feof(stream)) {
            clearerr(stream);
            result = XPERR_FILE_END_OF_FILE;
        } else {
            result = transferFailure(XPERR_FILE_READ_FAILED);
        }
    }
    if (done != nullptr)
        *done = static_cast<int64_t>(count);
    return result;
}

XpErr XpFile::Write(const void* buffer, int64_t size, int64_t* done)
{
    if (buffer == nullptr || size <= 0)
        return XPERR_FILE_INVALID_PARAM;
    if (stream == nullptr)
        return XPERR_FILE_INVALID_PATH;
    if (bothLowBits(openMode))
        _XpFileSub::Seek(stream, 0, SEEK_CUR);
    size_t count = fwrite(buffer, 1, static_cast<size_t>(size), stream);
    XpErr result = count == static_cast<size_t>(size) ? XPERR_OK
                                                      : transferFailure(XPERR_FILE_PATH_NOT_FOUND);
    if (done != nullptr)
        *done = static_cast<int64_t>(count);
    return result;
}

XpErr XpFile::Flush()
{
    if (stream == nullptr)
        return XPERR_FILE_INVALID_PATH;
    if (fflush(stream) == EOF) {
        XpErr err = xperrFromErrno(errno, openMode, XPERR_FILE_FAILED);
        clearerr(stream);
        return err;
    }
    return XPERR_OK;
}

XpErr XpFile::Seek(int64_t offset, seekmode origin)
{
    if (stream == nullptr)
        return XPERR_FILE_INVALID_PATH;
    if (_XpFileSub::Seek(stream, offset, static_cast<int>(origin)) != 0)
        return xperrFromErrno(errno, openMode, XPERR_FILE_FAILED);
    return XPERR_OK;
}

int64_t XpFile::GetCurrentPosition() const
{
    return stream == nullptr ? -1 : _XpFileSub::Tell(stream);
}

// ==== size =======================================================================================

int64_t XpFile::GetSize() const
{
    if (stream != nullptr) {
        // The seek to the end writes buffered data out first. The seeks' results are not looked
        // at: a stream that cannot seek answers -1 through ftello.
        int64_t position = _XpFileSub::Tell(stream);
        _XpFileSub::Seek(stream, 0, SEEK_END);
        int64_t size = _XpFileSub::Tell(stream);
        _XpFileSub::Seek(stream, position, SEEK_SET);
        return size;
    }
    return _XpFileSub::SizeOfPath(GetPath().GetBuffer());
}

int64_t XpFile::GetSize(const char* path)
{
    if (path == nullptr)
        return -1;
    XpFile file{XpStringT<char>(path)};
    return file.GetSize();
}

XpErr XpFile::SetSize(int64_t size)
{
    if (!_XpFileSub::Truncate(GetPath().GetBuffer(), size))
        return xperrFromErrno(errno, openMode, XPERR_FILE_FAILED);
    return XPERR_OK;
}

XpErr XpFile::Touch(const XpStringT<char>& path)
{
    // ENOENT always means a missing folder here: mode 0 is never openRead alone.
    if (!_XpFileSub::Touch(path.GetBuffer()))
        return xperrFromErrno(errno, 0, XPERR_FILE_FAILED);
    return XPERR_OK;
}

// ==== dates ======================================================================================

XpErr XpFile::GetDateTime(XpDateTime* creation, XpDateTime* lastModified, XpDateTime* lastAccess) const
{
    return _XpFileSub::ReadDates(GetPath().GetBuffer(), creation, lastModified, lastAccess)
               ? XPERR_OK : XPERR_FILE_NOT_FOUND;
}

XpErr XpFile::SetDateTime(const XpDateTime* creation, const XpDateTime* lastModified,
                          const XpDateTime* lastAccess)
{
    return _XpFileSub::SetDates(GetPath().GetBuffer(), creation, lastModified, lastAccess);
}
