// Platform sub-module of the file operations on Linux: the copy, move and removal of whole items
// on directory descriptors, and the file-manager requests (AskFinder).
//
// Where the library came from, an item was handed to the platform's file manager, which copied
// or moved it and asked the user about conflicts. Linux has no such service every desktop
// offers, so the requests go to a file-manager agent (AskFinder.h). The agent built in does the
// work itself with the helpers below. A copy is the library's tree copy (XpTreeCopy): every
// object opened relative to its folder's descriptor with O_NOFOLLOW, so a symbolic link planted
// anywhere in a tree is copied as a link and never followed, and a FIFO or device refused
// instead of being opened (which could block). It is made under a hidden temporary name in the
// destination folder and renamed into place only when complete, so the destination shows the
// old item or the whole new one, never a part. The data of a regular file is copied in the
// kernel (CopyData, which XpStagedFile uses for every copy of the library).
#include "_XpFileOperationSub_Linux.h"

#include "XpFile_Linux.h"
#include "_XpFd_Linux.h"

#include <XpStagedFile.h>
#include <XpTreeWriter.h>

#include <AskFinder.h>

#include <atomic>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <pwd.h>
#include <set>
#include <stdexcept>
#include <string>
#include <sys/random.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

bool kernelRefuses(int err)
{
    return err == EXDEV || err == EINVAL || err == EOPNOTSUPP || err == ENOSYS;
}

// Moves byte ranges of one file to the same offsets of another. The copy runs in the kernel:
// copy_file_range moves the pages without a trip through user memory (and lets file systems that
// can share extents do so), sendfile stands in where a file system refuses it, and pread/pwrite
// where both are refused. Offsets are explicit, so neither descriptor's position matters.
class DataMover {
public:
    // sourceSize: the source's length as fstat gave it when opened (0 when it gives none).
    explicit DataMover(off_t sourceSize) : end_(sourceSize) {}

    // Copies up to len bytes (len < 0: up to the end) from offset at; *moved receives how many
    // were copied, fewer only when the source ended first. 0 or an errno value.
    int Copy(int in, int out, off_t at, off_t len, off_t* moved)
    {
        const off_t kKernelChunk = off_t(1) << 30;   // the kernel caps a call near 2 GiB anyway
        off_t offIn = at, offOut = at;
        for (;;) {
            off_t left = len < 0 ? kKernelChunk : len - (offIn - at);
            // A file copied up to the length it had when opened is copied: what is written to
            // it after that belongs to a later copy.
            if (left <= 0 || (len < 0 && end_ > 0 && offIn >= end_))
                break;
            size_t want = static_cast<size_t>(left < kKernelChunk ? left : kKernelChunk);
            ssize_t n;
            if (how_ == copyRange) {
                n = copy_file_range(in, &offIn, out, &offOut, want, 0);
                if (n < 0 && kernelRefuses(errno)) {
                    how_ = sendFile;
                    continue;
                }
            } else if (how_ == sendFile) {
                // sendfile writes at the output's own position.
                if (lseek(out, offOut, SEEK_SET) < 0)
                    return errno;
                n = sendfile(out, in, &offIn, want);
                if (n < 0 && kernelRefuses(errno)) {
                    how_ = readWrite;
                    continue;
                }
                if (n > 0)
                    offOut += n;
            } else {
                // Not zeroed: a file copied whole in the kernel still reads once here.
                if (!buffer_)
                    buffer_.reset(new char[kBufferSize]);
                n = pread(in, buffer_.get(), want < kBufferSize ? want : kBufferSize, offIn);
                for (ssize_t written = 0; n > 0 && written < n;) {
                    ssize_t w = pwrite(out, buffer_.get() + written, static_cast<size_t>(n - written),
                                       offOut + written);
                    if (w < 0 && errno == EINTR)
                        continue;
                    if (w <= 0)
                        return w < 0 ? errno : EIO;
                    written += w;
                }
                if (n > 0) {
                    offIn += n;
                    offOut += n;
                }
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return errno;
            if (n == 0) {
                // At or past the length the source had when opened, a 0 is its end. Before it,
                // or for a file of no stated length, it may not be: some file systems (procfs,
                // sysfs) answer the kernel copy with 0 before their end, and a read has the last
                // word.
                if (how_ == readWrite || (end_ > 0 && offIn >= end_))
                    break;
                how_ = readWrite;
            }
        }
        *moved = offIn - at;
        return 0;
    }

private:
    static const size_t kBufferSize = size_t(1) << 20;
    enum { copyRange, sendFile, readWrite } how_ = copyRange;
    off_t end_;
    std::unique_ptr<char[]> buffer_;
};

// The observer of a copy of file data: percent of the source's length done, and whether the
// caller asks to stop. Without an observer the data moves in one call as far as the kernel goes.
class Progress {
public:
    Progress(IXpFileOpProgressObserver* observer, off_t total) : observer_(observer), total_(total) {}
    bool Active() const { return observer_ != nullptr; }
    // Reports done bytes; true when the observer asks to stop.
    bool Report(off_t done)
    {
        if (observer_ == nullptr)
            return false;
        double percent = total_ > 0 ? static_cast<double>(done) * 100.0 / static_cast<double>(total_)
                                    : (done > 0 ? 100.0 : 0.0);
        observer_->percent = percent > 100.0 ? 100.0 : percent;   // a source that grew
        return observer_->OnProgress(observer_->percent);
    }
    // The bytes between two reports: about a 64th of the file, so that a bar moves and a Cancel
    // is heard on a file of a few megabytes as on a large one, but at least 256 KiB (a system
    // call per piece) and at most 8 MiB.
    off_t Piece() const
    {
        const off_t kLeast = off_t(256) << 10, kMost = off_t(8) << 20;
        return std::min(std::max(total_ / 64, kLeast), kMost);
    }

private:
    IXpFileOpProgressObserver* observer_;
    off_t total_;
};

// mover.Copy of len bytes from at (len < 0: to the end), in progress.Piece() pieces between
// which the progress is reported while someone observes. ECANCELED when the observer stops it.
int copyRange(DataMover& mover, int in, int out, off_t at, off_t len, Progress& progress, off_t* moved)
{
    if (!progress.Active())
        return mover.Copy(in, out, at, len, moved);
    const off_t kPiece = progress.Piece();
    off_t pos = at;
    for (;;) {
        off_t want = len < 0 || len - (pos - at) > kPiece ? kPiece : len - (pos - at);
        off_t got = 0;
        if (want <= 0)
            break;
        if (int err = mover.Copy(in, out, pos, want, &got))
            return err;
        if (got == 0)
            break;   // the end of a source whose length is a whole number of pieces: reported
        pos += got;
        if (progress.Report(pos))
            return ECANCELED;
        if (got < want)
            break;   // the end of the source
    }
    *moved = pos - at;
    return 0;
}

} // namespace

int _XpFileOperationSub_Linux::CopyData(int in, const struct stat& st, int out,
                                        IXpFileOpProgressObserver* observer)
{
    DataMover mover(st.st_size);
    Progress progress(observer, st.st_size);
    if (progress.Report(0))
        return ECANCELED;
    off_t moved = 0;
    if (!IsSparse(st))
        return copyRange(mover, in, out, 0, -1, progress, &moved);
    for (off_t pos = 0;;) {
        off_t data = lseek(in, pos, SEEK_DATA);
        if (data < 0 && errno == ENXIO)
            break;   // nothing but a hole from pos to the end
        if (data < 0)
            return kernelRefuses(errno) ? copyRange(mover, in, out, pos, -1, progress, &moved) : errno;
        off_t hole = lseek(in, data, SEEK_HOLE);
        if (hole < 0)
            return errno;
        if (int err = copyRange(mover, in, out, data, hole - data, progress, &moved))
            return err;
        pos = data + moved;
        if (moved < hole - data)
            break;   // the source became shorter meanwhile
    }
    // A hole at the end has no data to write: the length says it.
    off_t end = lseek(in, 0, SEEK_END);
    struct stat now;
    if (end < 0 || fstat(out, &now) != 0)
        return errno;
    if (now.st_size != end && ftruncate(out, end) != 0)
        return errno;
    return progress.Report(end) ? ECANCELED : 0;
}

namespace {

// Puts the finished copy tmp in place of dstName.
int placeAt(int dir, const char* tmp, const char* dstName, bool replace)
{
    int err = _XpFileOperationSub_Linux::RenameNoReplaceAt(dir, tmp, dir, dstName);
    if (err != EEXIST || !replace)
        return err;
    // Something is there: a file or an empty folder is replaced by rename in one step; anything
    // else is exchanged with the copy in one step, and the old item, now under the temporary
    // name, removed.
    if (renameat(dir, tmp, dir, dstName) == 0)
        return 0;
    if (renameat2(dir, tmp, dir, dstName, RENAME_EXCHANGE) != 0)
        return errno;
    _XpFileOperationSub_Linux::RemoveTreeAt(dir, tmp);   // the old item: what stays is hidden
    return 0;
}

} // namespace

int _XpFileOperationSub_Linux::CopyTreeAt(int srcDir, const char* srcName, int dstDir,
                                          const char* dstName)
{
    struct stat st;
    if (fstatat(dstDir, dstName, &st, AT_SYMLINK_NOFOLLOW) == 0)
        return EEXIST;   // the tree copy would merge into it or replace it
    XpTreeCopy copy;   // owners kept where the caller may give them, for copies and moves alike
    XpFileError walked = copy.Copy(srcDir, srcName, dstDir, dstName);
    XpFileError all = copy.Finish();
    const XpFileError& err = walked.IsOk() ? all : walked;
    if (err.IsOk())
        return 0;
    RemoveTreeAt(dstDir, dstName);
    if (err.Code() == XPERR_FILE_NOT_SUPPORTED)
        return EINVAL;   // a FIFO, device or socket in the tree
    return err.SysErr() != 0 ? err.SysErr() : EIO;
}

int _XpFileOperationSub_Linux::RemoveTreeAt(int dir, const char* name)
{
    // Cleaning up after a copy or a move takes whatever it can: a failure inside does not stop
    // the removal of the rest.
    try {
        _XpTreeRemover_Linux remover(nullptr, true);
        return remover.RemoveEntry(dir, std::string(), name, DT_UNKNOWN) ? 0 : remover.failureErr;
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}

int _XpFileOperationSub_Linux::OpenRegularAt(int dir, const char* name, int flags, struct stat* st)
{
    XpFd fd(_XpOpenAt(dir, name, flags | O_RDONLY | O_NONBLOCK | O_NOCTTY));
    if (fd.Get() < 0 || fstat(fd.Get(), st) != 0)
        return -1;
    if (!S_ISREG(st->st_mode)) {
        fd.Reset();
        errno = S_ISDIR(st->st_mode) ? EISDIR : EINVAL;
        return -1;
    }
    return fd.Release();
}

bool _XpFileOperationSub_Linux::IsSparse(const struct stat& st)
{
    return S_ISREG(st.st_mode) && st.st_size > 0 && st.st_blocks < st.st_size / 512;
}

namespace {

// 1 when the user is a member of the group (primary or supplementary), 0 when not, -1 when the
// user is unknown to the password database.
int memberOf(uid_t uid, gid_t gid)
{
    std::vector<char> text(16384);
    struct passwd pw, *found = nullptr;
    if (getpwuid_r(uid, &pw, text.data(), text.size(), &found) != 0 || found == nullptr)
        return -1;
    if (pw.pw_gid == gid)
        return 1;
    std::vector<gid_t> groups(64);
    int count = static_cast<int>(groups.size());
    while (getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count) < 0) {
        if (count <= static_cast<int>(groups.size()))
            return -1;
        groups.resize(static_cast<size_t>(count));
    }
    for (int i = 0; i < count; ++i) {
        if (groups[static_cast<size_t>(i)] == gid)
            return 1;
    }
    return 0;
}

} // namespace

bool _XpFileOperationSub_Linux::OwnerMayRead(const struct stat& existing, const struct stat& source)
{
    const bool groupReads = (source.st_mode & S_IRGRP) != 0, othersRead = (source.st_mode & S_IROTH) != 0;
    bool owner = existing.st_uid == 0 || existing.st_uid == source.st_uid;
    if (!owner) {
        // An owner can always give himself read permission: what counts is the source's mode.
        int member = memberOf(existing.st_uid, source.st_gid);
        owner = member == 1 ? groupReads : member == 0 ? othersRead : groupReads && othersRead;
    }
    // The copy gets the source's mode: the old group's members read it through its group bits.
    bool group = !groupReads || existing.st_gid == source.st_gid || othersRead;
    return owner && group;
}

XpStringT<char> _XpFileOperationSub_Linux::MakeStagingFolder(const XpStringT<char>& folder)
{
    XpFd dir(_XpOpenAt(AT_FDCWD, folder.GetAnsiString().GetBuffer(), O_PATH | O_DIRECTORY));
    if (dir.Get() < 0)
        return XpStringT<char>();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = TemporaryName();
        if (mkdirat(dir.Get(), name.c_str(), 0700) == 0)
            return folder + "/" + name.c_str();
        if (errno != EEXIST)
            break;
    }
    return XpStringT<char>();
}

void _XpFileOperationSub_Linux::RemoveStagingFolder(const XpStringT<char>& path, bool withContents)
{
    int dir = -1;
    std::string name;
    if (OpenParent(path.GetAnsiString().GetBuffer(), &dir, &name) != 0)
        return;
    XpFd parent(dir);
    // Cleaning up: what cannot be removed stays, hidden.
    if (withContents)
        RemoveTreeAt(parent.Get(), name.c_str());
    else
        unlinkat(parent.Get(), name.c_str(), AT_REMOVEDIR);
}

std::string _XpFileOperationSub_Linux::TemporaryName()
{
    static std::atomic<uint32_t> sequence(0);
    uint32_t value;
    if (getrandom(&value, sizeof value, GRND_NONBLOCK) != sizeof value)
        value = static_cast<uint32_t>(getpid()) * 2654435761u ^ static_cast<uint32_t>(time(nullptr)) ^
                sequence.fetch_add(1) * 40503u;
    char text[32];
    std::snprintf(text, sizeof text, ".xpcopy-%08x.tmp", value);
    return text;
}

bool _XpFileOperationSub_Linux::SameObject(const XpStringT<char>& a, const XpStringT<char>& b)
{
    struct stat sa, sb;
    return stat(a.GetAnsiString().GetBuffer(), &sa) == 0 &&
           stat(b.GetAnsiString().GetBuffer(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

int _XpFileOperationSub_Linux::RenameNoReplaceAt(int srcDir, const char* srcName, int dstDir,
                                                 const char* dstName)
{
    if (renameat2(srcDir, srcName, dstDir, dstName, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL)
        return errno;
    // The file system cannot refuse replacing by itself (some FUSE and network ones): look
    // first. Another process could still slip in between; nothing better is offered there.
    struct stat st;
    if (fstatat(srcDir, srcName, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    if (fstatat(dstDir, dstName, &st, AT_SYMLINK_NOFOLLOW) == 0)
        return EEXIST;
    return renameat(srcDir, srcName, dstDir, dstName) == 0 ? 0 : errno;
}

int _XpFileOperationSub_Linux::PlaceCopyAt(int srcDir, const char* srcName, int dstDir,
                                           const char* dstName, bool replace)
{
    for (unsigned int n = 0; n < 100; ++n) {
        std::string tmp = TemporaryName();
        int err = CopyTreeAt(srcDir, srcName, dstDir, tmp.c_str());
        if (err == EEXIST) {
            struct stat st;   // the name was taken (not something inside the copy)?
            if (fstatat(dstDir, tmp.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
                continue;
        }
        if (err != 0)
            return err;
        err = placeAt(dstDir, tmp.c_str(), dstName, replace);
        if (err != 0)
            RemoveTreeAt(dstDir, tmp.c_str());
        return err;
    }
    return EEXIST;
}

int _XpFileOperationSub_Linux::MoveAt(int srcDir, const char* srcName, int dstDir,
                                      const char* dstName, bool replace)
{
    int err = RenameNoReplaceAt(srcDir, srcName, dstDir, dstName);
    if (err == EEXIST && replace) {
        // On one volume: a file or an empty folder is replaced in one step; a folder that holds
        // something is exchanged with the source in one step and then removed from there.
        if (renameat(srcDir, srcName, dstDir, dstName) == 0)
            return 0;
        err = errno;
        if (err != EXDEV) {
            if (renameat2(srcDir, srcName, dstDir, dstName, RENAME_EXCHANGE) != 0)
                return errno;
            RemoveTreeAt(srcDir, srcName);
            return 0;
        }
    }
    if (err != EXDEV)
        return err;
    err = PlaceCopyAt(srcDir, srcName, dstDir, dstName, replace);
    return err != 0 ? err : RemoveTreeAt(srcDir, srcName);
}

int _XpFileOperationSub_Linux::OpenParent(const char* path, int* dirFd, std::string* name)
{
    std::string p(path != nullptr ? path : "");
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    size_t slash = p.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
    *name = slash == std::string::npos ? p : p.substr(slash + 1);
    if (name->empty() || *name == "." || *name == "..")
        return EINVAL;
    int fd = _XpOpenAt(AT_FDCWD, folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return errno;
    *dirFd = fd;
    return 0;
}

// ---- The stream copy's descriptors ----

_XpStreamCopy_Linux::_XpStreamCopy_Linux(const XpAbstractFile& source)
    : source_(_XpFileSub_Linux::Descriptor(source))
{
    if (source_ >= 0 && fstat(source_, &st_) != 0)
        source_ = -1;
    // Where no descriptor of our own can be had, the copy goes on without looking for holes.
    if (source_ >= 0 && _XpFileOperationSub_Linux::IsSparse(st_))
        query_.Reset(_XpOpenAt(AT_FDCWD, ("/proc/self/fd/" + std::to_string(source_)).c_str(),
                               O_RDONLY | O_NONBLOCK | O_NOCTTY));
}

XpErr _XpStreamCopy_Linux::CheckSource() const
{
    return source_ < 0 || S_ISREG(st_.st_mode) ? XPERR_OK : XPERR_FILE_INVALID_PARAM;
}

namespace {

bool foreignReader(const struct stat& existing, const struct stat& source)
{
    return S_ISREG(existing.st_mode) && existing.st_uid != geteuid() &&
           !_XpFileOperationSub_Linux::OwnerMayRead(existing, source);
}

} // namespace

XpErr _XpStreamCopy_Linux::CheckDestinationPath(const XpStringT<char>& path) const
{
    struct stat existing;
    return source_ >= 0 && lstat(path.GetAnsiString().GetBuffer(), &existing) == 0 &&
                   foreignReader(existing, st_) ? XPERR_FILE_ACCESS_DENIED : XPERR_OK;
}

bool _XpStreamCopy_Linux::ClaimNew(const XpStringT<char>& path) const
{
    if (source_ < 0)
        return false;
    XpFd fd(_XpOpenAt(AT_FDCWD, path.GetAnsiString().GetBuffer(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK, 0600));
    return fd.Get() >= 0;   // empty: its close loses nothing
}

XpErr _XpStreamCopy_Linux::CheckDestination(const XpAbstractFile& target) const
{
    struct stat existing;
    int fd = _XpFileSub_Linux::Descriptor(target);
    return source_ >= 0 && fd >= 0 && fstat(fd, &existing) == 0 && foreignReader(existing, st_)
               ? XPERR_FILE_ACCESS_DENIED : XPERR_OK;
}

XpErr _XpStreamCopy_Linux::ApplyMode(const XpAbstractFile& target) const
{
    struct stat existing;
    int fd = _XpFileSub_Linux::Descriptor(target);
    if (source_ < 0 || fd < 0 || fstat(fd, &existing) != 0 || !S_ISREG(existing.st_mode))
        return XPERR_OK;   // a device (/dev/null) keeps its mode
    if (fchmod(fd, st_.st_mode & 0777) == 0 || (errno == EPERM && existing.st_uid != geteuid()))
        return XPERR_OK;
    return XPERR_FILE_SET_ATTRIBUTE_FAILED;
}

bool _XpStreamCopy_Linux::NextData(int64_t pos, int64_t* next, int64_t* length) const
{
    off_t data = lseek(query_.Get(), static_cast<off_t>(pos), SEEK_DATA);
    off_t hole = data >= 0 ? lseek(query_.Get(), data, SEEK_HOLE) : -1;
    if (data >= 0 && hole > data) {
        *next = data;
        *length = hole - data;
        return true;
    }
    if (data < 0 && errno == ENXIO) {
        off_t end = lseek(query_.Get(), 0, SEEK_END);
        *next = end > pos ? end : pos;
        return false;
    }
    // The file system cannot say: everything from pos on counts as data.
    *next = pos;
    *length = INT64_MAX;
    return true;
}

int _XpStreamCopy_Linux::Lengthen(XpAbstractFile& target, int64_t length) const
{
    if (target.Flush() != XPERR_OK)
        return EIO;
    int fd = _XpFileSub_Linux::Descriptor(target);
    struct stat now;
    if (fd < 0 || fstat(fd, &now) != 0)
        return fd < 0 ? EBADF : errno;
    return now.st_size >= length || ftruncate(fd, static_cast<off_t>(length)) == 0 ? 0 : errno;
}

// ---- File-manager requests ----

IXpFileManagerAgent::~IXpFileManagerAgent() {}

namespace {

// Whether name of dir is the object srcName of srcDir or a folder above it: replacing it would
// replace or remove the item that is being copied or moved. Walks up from srcDir through "..",
// comparing device and inode, as far as the root.
bool isItemOrAbove(int dir, const char* name, int srcDir, const char* srcName)
{
    struct stat target, st;
    if (fstatat(dir, name, &target, AT_SYMLINK_NOFOLLOW) != 0)
        return false;   // nothing there to replace
    if (fstatat(srcDir, srcName, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == target.st_dev &&
        st.st_ino == target.st_ino)
        return true;
    if (!S_ISDIR(target.st_mode))
        return false;
    XpFd level(_XpOpenAt(srcDir, ".", O_PATH | O_DIRECTORY));
    for (int depth = 0; level.Get() >= 0 && fstat(level.Get(), &st) == 0 && depth < 4096; ++depth) {
        if (st.st_dev == target.st_dev && st.st_ino == target.st_ino)
            return true;
        struct stat up;
        if (fstatat(level.Get(), "..", &up, 0) != 0 || (up.st_dev == st.st_dev && up.st_ino == st.st_ino))
            return false;   // the root: nothing above
        level.Reset(_XpOpenAt(level.Get(), "..", O_PATH | O_DIRECTORY));
    }
    return false;
}

// The agent built in: carries the request out itself, item by item in order, stopping at the
// first item that fails (the items before it stay done). A copy never takes the place of the item
// it copies or of a folder that holds it: such a request fails, and the item stays as it was. (A
// move onto itself is the rename that changes nothing.)
class BuiltInAgent : public IXpFileManagerAgent {
public:
    bool Perform(const XpFileManagerRequest& request) override
    {
        XpFd dst(_XpOpenAt(AT_FDCWD, request.destination.GetBuffer(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
        if (dst.Get() < 0)
            return false;
        for (const XpStringT<char>& item : request.items) {
            int folder = -1;
            std::string name;
            if (_XpFileOperationSub_Linux::OpenParent(item.GetBuffer(), &folder, &name) != 0)
                return false;
            XpFd src(folder);
            if (request.operation == XpFileManagerRequest::opDuplicate &&
                isItemOrAbove(dst.Get(), name.c_str(), src.Get(), name.c_str()))
                return false;
            int err = request.operation == XpFileManagerRequest::opMove
                          ? _XpFileOperationSub_Linux::MoveAt(src.Get(), name.c_str(), dst.Get(),
                                                              name.c_str(), request.replacing)
                          : _XpFileOperationSub_Linux::PlaceCopyAt(src.Get(), name.c_str(), dst.Get(),
                                                                   name.c_str(), request.replacing);
            if (err != 0)
                return false;
        }
        return true;
    }
};

BuiltInAgent builtInAgent;
std::atomic<IXpFileManagerAgent*> currentAgent(&builtInAgent);

// A reference still names what it was made for: the same object, found at the same path.
bool resolves(const FSRef& ref, struct stat* st)
{
    return !ref.path.IsEmpty() && stat(ref.path.GetBuffer(), st) == 0 &&
           st->st_dev == ref.device && st->st_ino == ref.inode;
}

thread_local const char* lastFailure = "";

bool finderOperation(const std::list<FSRef>& items, const FSRef& destination, bool replacing,
                     XpFileManagerRequest::Operation operation)
{
    const char* step = "";
    try {
        struct stat st;
        step = "DstItem is not directory";
        if (!resolves(destination, &st) || !S_ISDIR(st.st_mode))
            throw std::runtime_error(step);
        step = "fail: dstDesc create";
        XpStringT<char> folder(destination.path);
        step = "fail: AECreateList";
        std::vector<XpStringT<char> > list;
        list.reserve(items.size());
        for (const FSRef& item : items) {
            step = "fail: srcDesc create";
            if (!resolves(item, &st))
                throw std::runtime_error(step);
            step = "fail: AEPutDesc";
            list.push_back(item.path);
        }
        step = "fail: AppleEvent build";
        XpFileManagerRequest request;
        request.operation = operation;
        request.items.swap(list);
        request.destination = folder;
        request.replacing = replacing;
        step = "fail: AppleEvent send";
        if (!currentAgent.load()->Perform(request))
            throw std::runtime_error(step);
        lastFailure = "";
        return true;
    } catch (...) {
        // A bad_alloc (or an agent's own exception) is put down to the step under way. Like the
        // rest of the library, nothing is shown or logged.
        lastFailure = step;
        return false;
    }
}

} // namespace

int FSPathMakeRef(const char* path, FSRef* ref)
{
    if (path == nullptr || ref == nullptr)
        return EINVAL;
    char* resolved = realpath(path, nullptr);
    struct stat st;
    if (resolved == nullptr)
        return errno;
    int err = stat(resolved, &st) == 0 ? 0 : errno;
    if (err == 0) {
        ref->path = resolved;
        ref->device = st.st_dev;
        ref->inode = st.st_ino;
    }
    free(resolved);
    return err;
}

bool AskFinder::MoveItem(const std::list<FSRef>& items, const FSRef& destination, bool replacing)
{
    return finderOperation(items, destination, replacing, XpFileManagerRequest::opMove);
}

bool AskFinder::DuplicateItem(const std::list<FSRef>& items, const FSRef& destination,
                              bool replacing)
{
    return finderOperation(items, destination, replacing, XpFileManagerRequest::opDuplicate);
}

const char* AskFinder::LastFailureMessage()
{
    return lastFailure;
}

IXpFileManagerAgent* AskFinder::SetAgent(IXpFileManagerAgent* agent)
{
    return currentAgent.exchange(agent != nullptr ? agent : &builtInAgent);
}
