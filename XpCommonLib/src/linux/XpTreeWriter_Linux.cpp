// XpTreeWriter on Linux: the destination side of every tree copy.
//
// Every name is made relative to a folder descriptor, and no call below follows a link in the
// name it makes: mkdirat then openat(O_NOFOLLOW|O_DIRECTORY) for folders, XpStagedFile for files
// (an unnamed file or an exclusive hidden name, put in place by linkat or rename), symlinkat to a
// hidden name and rename for links. A rename replaces a name, never what a link there points to,
// so whatever another user planted in a destination we write as root is replaced or refused,
// never written through.
//
// Attributes go on descriptors (fchown, fchmod, futimens), a link's through its folder with
// AT_SYMLINK_NOFOLLOW. The owner goes first, since the kernel clears set-id bits on a change of
// owner; the mode after it decides the set-id bits by the copy's real owner, which for a folder
// we are told to leave to the caller (or where the kernel put the group of a new entry in a
// set-group-id folder) is asked of the descriptor.
//
// Data from a descriptor that is not a regular file (the pipe of a process that sends a tree) is
// moved by splice into the staged file, in pieces of at most 1 MiB held by the kernel, so memory
// stays bounded whatever the file's size; where splice is refused (a socket on one side and a
// file system without splice_write on the other) a 256 KiB buffer stands in.
#include <XpTreeWriter.h>

#include <XpStagedFile.h>

#include "_XpFd_Linux.h"
#include "_XpFileOperationSub_Linux.h"
#include "_XpTreeWriter_Linux.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

XpTreeEntry XpTreeEntry::FromStat(const struct stat& st)
{
    XpTreeEntry entry;
    entry.mode = st.st_mode;
    entry.owner = st.st_uid;
    entry.group = st.st_gid;
    entry.accessed = st.st_atim;
    entry.modified = st.st_mtim;
    entry.size = st.st_size;
    return entry;
}

namespace {

const size_t kStreamPiece = size_t(1) << 20;   // what one splice moves at most
const size_t kBufferPiece = 262144;            // the buffer where splice is refused

bool validName(const char* name)
{
    return name != nullptr && name[0] != '\0' && !_XpIsDotOrDotDot(name) && std::strchr(name, '/') == nullptr;
}

XpErr codeOf(int err, XpErr otherwise)
{
    switch (err) {
    case EACCES: case EPERM: case EROFS: return XPERR_FILE_ACCESS_DENIED;
    case ENOSPC: case EDQUOT: return XPERR_FILE_DISK_FULL;
    case ECANCELED: return XPERR_FILE_CANCELLED;
    default: return otherwise;
    }
}

// Whether the copy gets entry's owner: the writer keeps owners, and the caller may give them.
bool givesOwner(XpTreeWriter::Ownership ownership)
{
    return ownership == XpTreeWriter::ownKept && geteuid() == 0;
}

// entry's permission bits for a copy owned by owner:group. The set-id bits stay only on a copy
// that has the source's owner and group.
mode_t modeFor(const XpTreeEntry& entry, uid_t owner, gid_t group)
{
    mode_t mode = entry.mode & 07777;
    if (owner != entry.owner || group != entry.group)
        mode &= ~mode_t(S_ISUID | S_ISGID);
    return mode;
}

// The owner and group a file staged by this process has before any fchown: the caller's user,
// and the caller's group or, in a set-group-id folder, the folder's. Asked of the descriptor
// only when it matters, for a mode with set-id bits.
void callerOwns(int fd, uid_t* owner, gid_t* group)
{
    struct stat st;
    if (fstat(fd, &st) == 0) {
        *owner = st.st_uid;
        *group = st.st_gid;
    } else {   // cannot happen on a descriptor we hold; the set-id bits then go
        *owner = uid_t(-1);
        *group = gid_t(-1);
    }
}

// Reads exactly size bytes of the stream in into the staged file out, with progress. 0, or an
// errno value: EPIPE for a stream that ended early, ECANCELED for a stop.
class StreamReader {
public:
    StreamReader(int in, int out, int64_t size, IXpFileOpProgressObserver* observer)
        : in_(in), out_(out), size_(size), observer_(observer)
    {
    }
    int Run()
    {
        if (progress(0))
            return ECANCELED;
        int64_t done = 0;
        while (done < size_) {
            size_t want = size_ - done < int64_t(kStreamPiece) ? size_t(size_ - done) : kStreamPiece;
            ssize_t n = spliceOk_ ? splice(in_, nullptr, out_, nullptr, want, SPLICE_F_MOVE) : -1;
            if (n < 0 && spliceOk_ && errno == EINVAL) {
                spliceOk_ = false;   // not a pipe, or a file system without splice: buffered
                continue;
            }
            if (n < 0 && !spliceOk_)
                n = copyBuffered(want);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN && waitForData())
                continue;   // a non-blocking stream: wait for the sender
            if (n < 0)
                return errno;
            if (n == 0)
                return EPIPE;   // the sender stopped before the file's end
            done += n;
            if (progress(done))
                return ECANCELED;
        }
        return 0;
    }

private:
    // Waits until the stream has data or its end; false when it cannot be waited on.
    bool waitForData()
    {
        struct pollfd p = {in_, POLLIN, 0};
        int n;
        while ((n = poll(&p, 1, -1)) < 0 && errno == EINTR) {
        }
        return n > 0;
    }
    // One piece through the buffer: the bytes read and all written, or -1 with errno.
    ssize_t copyBuffered(size_t want)
    {
        if (buffer_.empty())
            buffer_.resize(kBufferPiece);
        ssize_t n = read(in_, buffer_.data(), want < buffer_.size() ? want : buffer_.size());
        if (n > 0) {
            if (int err = _XpWriteAll(out_, buffer_.data(), size_t(n))) {
                errno = err;
                return -1;
            }
        }
        return n;
    }
    bool progress(int64_t done)
    {
        if (observer_ == nullptr)
            return false;
        observer_->percent = size_ > 0 ? double(done) * 100.0 / double(size_) : 100.0;
        return observer_->OnProgress(observer_->percent);
    }

    int in_, out_;
    int64_t size_;
    IXpFileOpProgressObserver* observer_;
    bool spliceOk_ = true;
    std::vector<char> buffer_;
};

// The data of a file into the staged file: a regular source in the kernel with its holes kept,
// anything else as a stream of exactly entry.size bytes.
XpFileError fill(XpStagedFile& staged, int data, const struct stat* known, const XpTreeEntry& entry, const char* name,
                 IXpFileOpProgressObserver* observer)
{
    struct stat st;
    if (known == nullptr && fstat(data, &st) != 0)
        return XpFileError(XPERR_FILE_READ_FAILED, errno, "fstat", name);
    if (known == nullptr)
        known = &st;
    if (S_ISREG(known->st_mode))
        return staged.CopyFrom(data, *known, observer);
    if (entry.size < 0)
        return XpFileError(XPERR_FILE_INVALID_PARAM, EINVAL, "AddFile", name);
    int err = StreamReader(data, staged.Descriptor(), entry.size, observer).Run();
    if (err == EPIPE)
        return XpFileError(XPERR_FILE_END_OF_FILE, EPIPE, "splice", name);
    return err == 0 ? XpFileError() : XpFileError(codeOf(err, XPERR_FILE_FAILED), err, "splice", name);
}

// entry as a struct stat, for the rule on who may keep a replaced file.
struct stat asStat(const XpTreeEntry& entry)
{
    struct stat st;
    std::memset(&st, 0, sizeof st);
    st.st_mode = entry.mode;
    st.st_uid = entry.owner;
    st.st_gid = entry.group;
    return st;
}

// A staged file that found its name taken, by a writer that leaves owners to the caller: a
// regular file there keeps its owner when root copies and that owner may read the source (the
// rule of the copy by paths), and the mode is decided again for that owner.
XpFileError keepReplacedOwner(XpStagedFile& staged, int folder, const char* name, const XpTreeEntry& entry)
{
    struct stat old;
    if (geteuid() != 0 || fstatat(folder, name, &old, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(old.st_mode) ||
        (old.st_uid == 0 && old.st_gid == getegid()) || !_XpFileOperationSub_Linux::OwnerMayRead(old, asStat(entry)))
        return XpFileError();
    XpFileError err = staged.SetOwner(old.st_uid, old.st_gid);
    return err.IsOk() ? staged.SetMode(modeFor(entry, old.st_uid, old.st_gid)) : err;
}

} // namespace

XpFileError XpTreeWriter::OpenFolder(int parent, const char* name, XpFd* folder) const
{
    bool made;
    return _XpTreeWriterOpenFolder(*this, parent, name, folder, &made);
}

XpFileError _XpTreeWriterOpenFolder(const XpTreeWriter&, int parent, const char* name, XpFd* folder, bool* made)
{
    folder->Reset();
    if (!validName(name))
        return XpFileError(XPERR_FILE_INVALID_PARAM, EINVAL, "OpenFolder", name);
    *made = mkdirat(parent, name, 0700) == 0;
    if (!*made && errno != EEXIST)
        return XpFileError(codeOf(errno, XPERR_FILE_MAKE_DIR_FAILED), errno, "mkdirat", name);
    // A folder there already is entered; a link there is refused (ELOOP), never followed.
    folder->Reset(_XpOpenAt(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NOCTTY));
    if (!folder->IsValid())
        return XpFileError(codeOf(errno, XPERR_FILE_MAKE_DIR_FAILED), errno, "openat", name);
    return XpFileError();
}

XpFileError XpTreeWriter::CloseFolder(int folder, const XpTreeEntry& entry) const
{
    struct stat st;
    if (fstat(folder, &st) != 0)
        return XpFileError(XPERR_FILE_SET_ATTRIBUTE_FAILED, errno, "fstat");
    if (givesOwner(ownership_) && (st.st_uid != entry.owner || st.st_gid != entry.group)) {
        if (fchown(folder, entry.owner, entry.group) != 0)
            return XpFileError(XPERR_FILE_SET_ATTRIBUTE_FAILED, errno, "fchown");
        st.st_uid = entry.owner;
        st.st_gid = entry.group;
    }
    const struct timespec times[2] = {entry.accessed, entry.modified};
    if (fchmod(folder, modeFor(entry, st.st_uid, st.st_gid)) != 0)
        return XpFileError(XPERR_FILE_SET_ATTRIBUTE_FAILED, errno, "fchmod");
    if (futimens(folder, times) != 0)
        return XpFileError(XPERR_FILE_SET_ATTRIBUTE_FAILED, errno, "futimens");
    return XpFileError();
}

// The group a file made in the folder open at folder gets: the folder's own in a set-group-id
// folder, else the caller's. The caller's when the folder cannot be asked (the fchown then made
// anyway is harmless).
gid_t _XpNewFileGroup(int folder)
{
    struct stat st;
    return fstat(folder, &st) == 0 && (st.st_mode & S_ISGID) ? st.st_gid : getegid();
}

XpFileError XpTreeWriter::AddFile(int folder, const char* name, const XpTreeEntry& entry, int data,
                                  IXpFileOpProgressObserver* observer) const
{
    // Asked only where it decides whether a change of owner is needed.
    bool same = givesOwner(ownership_) && entry.owner == geteuid();
    return _XpTreeWriterAddFile(*this, folder, same ? _XpNewFileGroup(folder) : gid_t(-1), name, entry, data,
                                nullptr, observer);
}

XpFileError _XpTreeWriterAddFile(const XpTreeWriter& writer, int folder, gid_t newFileGroup, const char* name,
                                 const XpTreeEntry& entry, int data, const struct stat* dataStat,
                                 IXpFileOpProgressObserver* observer)
{
    XpStagedFile staged;
    XpFileError err = staged.Create(folder, name);
    if (!err.IsOk())
        return err;
    XpTreeWriter::Ownership ownership = writer.GetOwnership();
    uid_t owner = entry.owner;
    gid_t group = entry.group;
    // A file made by root for root's own entry needs no change of owner: most of a tree copied
    // by root, where the call would cost every file a write of its inode.
    bool gives = givesOwner(ownership);   // root, so the file is made with uid 0
    if (gives && !(entry.owner == 0 && entry.group == newFileGroup))
        err = staged.SetOwner(entry.owner, entry.group);
    else if (!gives && (entry.mode & (S_ISUID | S_ISGID)))
        callerOwns(staged.Descriptor(), &owner, &group);
    // The mode before the first byte: nobody who may not read the source reads the copy.
    if (err.IsOk())
        err = staged.SetMode(modeFor(entry, owner, group));
    if (err.IsOk())
        err = fill(staged, data, dataStat, entry, name, observer);
    if (!err.IsOk())
        return err;
    staged.SetTimes(entry.accessed, entry.modified);
    err = staged.Place(XpStagedFile::placeNew, false);
    if (err.Code() != XPERR_FILE_EXISTS)
        return err;
    // Taken: a file or link there is replaced in one step, a folder refused by Place.
    if (ownership == XpTreeWriter::ownCaller) {
        err = keepReplacedOwner(staged, folder, name, entry);
        if (!err.IsOk())
            return err;
    }
    return staged.Place(XpStagedFile::placeReplace, false);
}

XpFileError XpTreeWriter::AddLink(int folder, const char* name, const char* target, const XpTreeEntry& entry) const
{
    if (!validName(name) || target == nullptr || target[0] == '\0')
        return XpFileError(XPERR_FILE_INVALID_PARAM, EINVAL, "AddLink", name);
    std::string hidden;
    int err = EEXIST;
    for (int attempt = 0; attempt < 1000 && err == EEXIST; ++attempt) {
        hidden = _XpFileOperationSub_Linux::TemporaryName();
        err = symlinkat(target, folder, hidden.c_str()) == 0 ? 0 : errno;
    }
    if (err != 0)
        return XpFileError(codeOf(err, XPERR_FILE_COPY_FAILED), err, "symlinkat", name);
    const char* step = nullptr;
    const struct timespec times[2] = {entry.accessed, entry.modified};
    if (givesOwner(ownership_) &&
        fchownat(folder, hidden.c_str(), entry.owner, entry.group, AT_SYMLINK_NOFOLLOW) != 0)
        step = "fchownat";
    else if (utimensat(folder, hidden.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        step = "utimensat";
    // rename replaces a file or link of the name and refuses a folder (EISDIR): one step, no look.
    else if (renameat(folder, hidden.c_str(), folder, name) != 0)
        step = "renameat";
    if (step == nullptr)
        return XpFileError();
    err = errno;
    unlinkat(folder, hidden.c_str(), 0);   // our own link: a failure leaves hidden debris only
    XpErr code = err == EISDIR || err == ENOTEMPTY || err == EEXIST ? XPERR_FILE_EXISTS
                 : std::strcmp(step, "renameat") == 0 ? codeOf(err, XPERR_FILE_COPY_FAILED)
                                                        : XPERR_FILE_SET_ATTRIBUTE_FAILED;
    return XpFileError(code, err, step, name);
}
