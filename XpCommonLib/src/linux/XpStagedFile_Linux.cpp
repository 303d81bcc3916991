// XpFd, XpFileError and XpStagedFile on Linux.
//
// A staged file is an O_TMPFILE where the file system offers it: it has no name at all until
// linkat gives it one, so no other process can open it, and a process killed meanwhile leaves
// nothing, since the kernel frees an unnamed file with its last descriptor. Giving it a name needs
// linkat(fd, "", AT_EMPTY_PATH), which the kernel allows only with CAP_DAC_READ_SEARCH, or
// linkat through its /proc/self/fd link, which works for everyone where /proc is mounted; the way
// that works is learnt at the first Place and kept. Where neither does (no /proc, no capability)
// or the file system refuses O_TMPFILE (some FUSE and network ones), the file is staged under a
// hidden name instead and renamed. Linux has no call that links a file over an existing name, so
// an unnamed file that replaces one passes through a hidden name for the moment between its
// link and the rename.
//
// close runs the file system's flush (NFS writes its cached pages back there and reports EIO or
// ENOSPC, FUSE asks its server). A file that replaces a name is flushed through the close of a
// duplicate descriptor before the rename, so a failed write is seen while the name still shows
// the old file; a file given a free name is closed right after its link (one close, no
// duplicate, for the thousands of files of a tree) and unlinked again when that close fails.
#include <XpStagedFile.h>

#include "_XpFd_Linux.h"
#include "_XpFileOperationSub_Linux.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// ---- XpFd and XpFileError ----

void XpFd::Reset(int fd)
{
    if (fd_ >= 0 && fd_ != fd) {
        int saved = errno;
        close(fd_);   // never retried: Linux frees the descriptor even when close says EINTR
        errno = saved;
    }
    fd_ = fd;
}

int XpFd::Close()
{
    int fd = Release();
    return fd < 0 || close(fd) == 0 ? 0 : errno;
}

XpStringT<char> XpFileError::Describe() const
{
    if (sysErr_ != 0) {
        char text[256];
        // The GNU strerror_r answers a pointer to the text, in the locale's language.
        return XpStringT<char>(strerror_r(sysErr_, text, sizeof text));
    }
    const char* name = code_ == XPERR_OK ? "" : XpErrName(code_);
    return XpStringT<char>(name != nullptr ? name : "");
}

namespace {

bool validName(const char* name)
{
    return name != nullptr && name[0] != '\0' && !_XpIsDotOrDotDot(name) && std::strchr(name, '/') == nullptr;
}

XpErr codeOf(int err)
{
    switch (err) {
    case 0: return XPERR_OK;
    case EACCES: case EPERM: case EROFS: return XPERR_FILE_ACCESS_DENIED;
    case ENOSPC: case EDQUOT: return XPERR_FILE_DISK_FULL;
    case EEXIST: case EISDIR: case ENOTEMPTY: return XPERR_FILE_EXISTS;
    case ECANCELED: return XPERR_FILE_CANCELLED;
    default: return XPERR_FILE_FAILED;
    }
}

XpFileError failure(int err, const char* operation, const std::string& name)
{
    return XpFileError(codeOf(err), err, operation, name.c_str());
}

// How an unnamed file gets its name: linkat with AT_EMPTY_PATH where the process may (it needs
// CAP_DAC_READ_SEARCH), else through its /proc/self/fd link. Learnt at the first Place and kept.
enum { linkUnknown, linkEmptyPath, linkProcFd, linkNone };
std::atomic<int> linkWay(linkUnknown);

// Links the unnamed file open at fd as name in dir: 0, or an errno value (EEXIST when the name
// is taken; ENOSYS when this process cannot name an unnamed file at all).
int linkUnnamed(int fd, int dir, const char* name)
{
    int way = linkWay.load(std::memory_order_relaxed);
    if (way == linkUnknown || way == linkEmptyPath) {
        if (linkat(fd, "", dir, name, AT_EMPTY_PATH) == 0) {
            linkWay.store(linkEmptyPath, std::memory_order_relaxed);
            return 0;
        }
        if ((errno != ENOENT && errno != EPERM) || way == linkEmptyPath)
            return errno;
    }
    if (way != linkNone) {
        char path[40];
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
        if (linkat(AT_FDCWD, path, dir, name, AT_SYMLINK_FOLLOW) == 0) {
            linkWay.store(linkProcFd, std::memory_order_relaxed);
            return 0;
        }
        // ENOENT is a folder removed meanwhile too; only a missing /proc changes the way.
        if (errno != ENOENT || way == linkProcFd || faccessat(AT_FDCWD, path, F_OK, AT_SYMLINK_NOFOLLOW) == 0)
            return errno;
    }
    linkWay.store(linkNone, std::memory_order_relaxed);   // no /proc: hidden names only
    return ENOSYS;
}

// Calls make(candidate) with fresh hidden names as long as it answers EEXIST: its last answer
// (0 or an errno value), with *name the candidate it was given.
template <class Make> int withHiddenName(std::string* name, Make make)
{
    int err = EEXIST;
    for (int attempt = 0; attempt < 1000 && err == EEXIST; ++attempt) {
        *name = _XpFileOperationSub_Linux::TemporaryName();
        err = make(name->c_str());
    }
    return err;
}

// Flushes the file's pending writes through the close of a duplicate (see the top).
int flushByClose(int fd)
{
    XpFd copy(fcntl(fd, F_DUPFD_CLOEXEC, 0));
    return copy.IsValid() ? copy.Close() : errno;
}

int syncFolder(int dir)
{
    XpFd listing(_XpOpenAt(dir, ".", O_RDONLY | O_DIRECTORY));
    return listing.IsValid() && fsync(listing.Get()) != 0 ? errno : 0;
}

// Whether the hidden name in dir still names the file open at fd: in a folder others can write,
// someone may have renamed ours away and put something of theirs (a link) under its name.
bool stillOurs(int dir, const char* hidden, int fd)
{
    struct stat mine, there;
    return fstat(fd, &mine) == 0 && fstatat(dir, hidden, &there, AT_SYMLINK_NOFOLLOW) == 0 &&
           mine.st_dev == there.st_dev && mine.st_ino == there.st_ino;
}

// Removes the hidden name in dir, but only while it still names the file open at fd.
void removeOurName(int dir, const char* hidden, int fd)
{
    if (stillOurs(dir, hidden, fd))
        unlinkat(dir, hidden, 0);   // cleaning up: a failure leaves hidden debris, nothing more
}

} // namespace

// ---- XpStagedFile ----

XpStagedFile::~XpStagedFile()
{
    Discard();
}

XpFileError XpStagedFile::Create(int folder, const char* name, Staging staging)
{
    Discard();
    if (!validName(name))
        return XpFileError(XPERR_FILE_INVALID_PARAM, EINVAL, "Create", name);
    folder_ = folder;
    name_ = name;
    if (staging == stageUnnamed && linkWay.load(std::memory_order_relaxed) != linkNone) {
        file_.Reset(_XpOpenAt(folder_, ".", O_RDWR | O_TMPFILE, 0600));
        // Older kernels answer EISDIR or EINVAL for a file system without unnamed files.
        if (file_.IsValid() || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) {
            XpFileError err = file_.IsValid() ? XpFileError() : failure(errno, "openat", ".");
            if (!err.IsOk())
                folder_ = -1;
            return err;
        }
    }
    std::string hidden;
    int err = withHiddenName(&hidden, [&](const char* candidate) {
        file_.Reset(_XpOpenAt(folder_, candidate, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
        return file_.IsValid() ? 0 : errno;
    });
    if (err != 0) {
        folder_ = -1;
        return failure(err, "openat", hidden);
    }
    hidden_ = hidden;
    return XpFileError();
}

XpFileError XpStagedFile::SetOwner(uid_t owner, gid_t group)
{
    if (fchown(file_.Get(), owner, group) != 0)
        return XpFileError(XPERR_FILE_SET_ATTRIBUTE_FAILED, errno, "fchown", name_.c_str());
    return XpFileError();
}

XpFileError XpStagedFile::SetMode(mode_t mode)
{
    if (fchmod(file_.Get(), mode & 07777) != 0)
        return XpFileError(XPERR_FILE_SET_ATTRIBUTE_FAILED, errno, "fchmod", name_.c_str());
    return XpFileError();
}

void XpStagedFile::SetTimes(const struct timespec& access, const struct timespec& modification)
{
    times_[0] = access;
    times_[1] = modification;
}

XpFileError XpStagedFile::Write(const void* data, size_t size)
{
    int err = file_.IsValid() ? _XpWriteAll(file_.Get(), data, size) : EBADF;
    return err == 0 ? XpFileError() : failure(err, "write", name_.c_str());
}

XpFileError XpStagedFile::CopyFrom(int source, IXpFileOpProgressObserver* observer)
{
    struct stat st;
    if (fstat(source, &st) != 0)
        return XpFileError(XPERR_FILE_INVALID_PARAM, errno, "fstat");
    return CopyFrom(source, st, observer);
}

XpFileError XpStagedFile::CopyFrom(int source, const struct stat& st, IXpFileOpProgressObserver* observer)
{
    if (!S_ISREG(st.st_mode))
        return XpFileError(XPERR_FILE_INVALID_PARAM, S_ISDIR(st.st_mode) ? EISDIR : EINVAL, "fstat");
    if (!file_.IsValid())
        return XpFileError(XPERR_FILE_INVALID_PARAM, EBADF, "CopyFrom", name_.c_str());
    int err = _XpFileOperationSub_Linux::CopyData(source, st, file_.Get(), observer);
    if (err == ECANCELED)
        return XpFileError(XPERR_FILE_CANCELLED, 0, "CopyFrom", name_.c_str());
    return err == 0 ? XpFileError() : failure(err, "copy", name_.c_str());
}

XpFileError XpStagedFile::Place(Placement placement, bool durable)
{
    if (!file_.IsValid())
        return XpFileError(XPERR_FILE_INVALID_PARAM, EBADF, "Place", name_.c_str());
    // The dates after the last write and the data down to the disk (durable), before the file is
    // seen.
    if ((times_[0].tv_nsec != UTIME_OMIT || times_[1].tv_nsec != UTIME_OMIT) && futimens(file_.Get(), times_) != 0)
        return XpFileError(XPERR_FILE_SET_ATTRIBUTE_FAILED, errno, "futimens", name_.c_str());
    if (durable && fsync(file_.Get()) != 0)
        return failure(errno, "fsync", name_);
    XpFileError err = hidden_.empty() ? placeUnnamed(placement) : placeHidden(placement);
    if (!err.IsOk())
        return err;
    file_.Close();   // flushed before it was placed, see placeUnnamed and placeHidden
    int folderErr = durable ? syncFolder(folder_) : 0;
    folder_ = -1;
    hidden_.clear();
    return folderErr == 0 ? XpFileError() : failure(folderErr, "fsync", std::string("."));
}

XpFileError XpStagedFile::placeUnnamed(Placement placement)
{
    int err = linkUnnamed(file_.Get(), folder_, name_.c_str());
    if (err == 0) {
        // A name that was free: the close tells whether every write arrived (see the top), and
        // a file whose writes were lost gives the name up again, so nothing is where nothing was.
        // That costs no duplicate descriptor on the way of every new file.
        if (int closeErr = file_.Close()) {
            unlinkat(folder_, name_.c_str(), 0);   // just made by us; nothing else to do
            return failure(closeErr, "close", name_);
        }
        return XpFileError();
    }
    if (err == ENOSYS) {
        // This process cannot name an unnamed file: go on under a hidden name.
        XpFileError named = nameAnyway();
        return named.IsOk() ? placeHidden(placement) : named;
    }
    if (err != EEXIST || placement == placeNew)
        return failure(err, "linkat", name_);
    struct stat old;
    if (fstatat(folder_, name_.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISREG(old.st_mode) && !S_ISLNK(old.st_mode))
        return failure(S_ISDIR(old.st_mode) ? EISDIR : EEXIST, "linkat", name_);
    std::string hidden;
    err = withHiddenName(&hidden, [&](const char* candidate) { return linkUnnamed(file_.Get(), folder_, candidate); });
    if (err != 0)
        return failure(err, "linkat", hidden);
    hidden_ = hidden;
    XpFileError placed = placeHidden(placeReplace);
    if (!placed.IsOk()) {
        removeOurName(folder_, hidden.c_str(), file_.Get());   // unnamed again
        hidden_.clear();
    }
    return placed;
}

XpFileError XpStagedFile::placeHidden(Placement placement)
{
    const char* hidden = hidden_.c_str();
    // What is renamed is the name: it must still be our file, or someone else's object would be
    // put in place under the destination's name.
    if (!stillOurs(folder_, hidden, file_.Get()))
        return failure(ESTALE, "fstatat", hidden_);
    // What the name shows must not change for a file whose writes were lost.
    if (int err = flushByClose(file_.Get()))
        return failure(err, "close", name_);
    if (placement == placeNew) {
        int err = _XpFileOperationSub_Linux::RenameNoReplaceAt(folder_, hidden, folder_, name_.c_str());
        return err == 0 ? XpFileError() : failure(err, "renameat2", name_.c_str());
    }
    struct stat old;
    if (fstatat(folder_, name_.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISREG(old.st_mode) && !S_ISLNK(old.st_mode))
        return failure(S_ISDIR(old.st_mode) ? EISDIR : EEXIST, "renameat", name_);
    if (renameat(folder_, hidden, folder_, name_.c_str()) != 0)
        return failure(errno, "renameat", name_);
    return XpFileError();
}

XpFileError XpStagedFile::nameAnyway()
{
    // The unnamed file's content and attributes go to a hidden file made for them.
    struct stat st;
    if (fstat(file_.Get(), &st) != 0)
        return failure(errno, "fstat", name_);
    std::string hidden;
    XpFd named;
    int err = withHiddenName(&hidden, [&](const char* candidate) {
        named.Reset(_XpOpenAt(folder_, candidate, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
        return named.IsValid() ? 0 : errno;
    });
    if (err == 0 && fchown(named.Get(), st.st_uid, st.st_gid) != 0 && geteuid() == 0)
        err = errno;
    if (err == 0 && fchmod(named.Get(), st.st_mode & 07777) != 0)
        err = errno;
    if (err == 0)
        err = _XpFileOperationSub_Linux::CopyData(file_.Get(), st, named.Get(), nullptr);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (err == 0 && futimens(named.Get(), times) != 0)
        err = errno;
    if (err != 0) {
        if (named.IsValid())
            removeOurName(folder_, hidden.c_str(), named.Get());
        return failure(err, "copy", hidden);
    }
    file_ = std::move(named);
    hidden_ = hidden;
    return XpFileError();
}

void XpStagedFile::Discard()
{
    if (file_.IsValid() && !hidden_.empty())
        removeOurName(folder_, hidden_.c_str(), file_.Get());
    file_.Reset();   // an unnamed file vanishes here
    folder_ = -1;
    hidden_.clear();
    name_.clear();
}

XpFileError XpStagedFile::WriteWhole(int folder, const char* name, const void* data, size_t size, mode_t mode,
                                     Placement placement, bool durable, uid_t owner, gid_t group)
{
    XpStagedFile staged;
    XpFileError err = staged.Create(folder, name);
    if (err.IsOk() && (owner != static_cast<uid_t>(-1) || group != static_cast<gid_t>(-1)))
        err = staged.SetOwner(owner, group);
    if (err.IsOk())
        err = staged.SetMode(mode);
    if (err.IsOk())
        err = staged.Write(data, size);
    if (err.IsOk())
        err = staged.Place(placement, durable);
    return err; // a file not placed is dropped with `staged`
}
