// Platform half of copying, moving and removing on Linux.
//
// Where the library came from, a copy or move without UI was the platform file manager's
// copyPath/movePath, and a list with UI went to the Finder. Here:
//
// - The copy runs in the kernel: copy_file_range moves the pages without a trip through user
//   memory (and lets file systems that can share extents do so), sendfile stands in where a file
//   system refuses it, and read/write where both are refused (_XpFileOperationSub_Linux, whose
//   copy of one file the file-manager agent uses too). It writes into a temporary created
//   with O_CREAT|O_EXCL|O_NOFOLLOW beside the destination and renames it onto the destination
//   only when everything is written, so the destination never holds a part of the data, and an
//   existing destination keeps its old content on any failure or when the process is killed.
//   We run as root in folders other users can write: the source is opened once, relative to its
//   folder, without following a link in its last component and non-blocking, checked with
//   S_ISREG on the descriptor (a link or FIFO planted as the source is refused, never followed
//   or waited on) and copied from that descriptor; a link planted at the destination is replaced
//   as a name by the rename, never written through. The copy gets the source's permission bits
//   before any data is written, and a replaced file keeps its owner only when that owner may
//   read the source. Holes of a sparse source stay holes.
// - The move is rename(2); across volumes a regular file is copied as above and flushed to disk
//   before the source is removed, so a crash leaves at least one whole copy.
// - The Finder's requests go to the file-manager agent of AskFinder.
// - RemoveDir recursive walks descriptors: every folder is opened relative to its parent with
//   O_NOFOLLOW and every entry removed with unlinkat relative to the folder that listed it. A
//   folder that someone swaps for a symbolic link while we work is then removed as a link,
//   never entered, so nothing outside the tree can be reached through the tree; another mount
//   inside the tree is left whole. The walk is _XpTreeRemover_Linux (a loop with a bounded
//   number of open folders, so any depth goes), which the agent's removals share; RemoveDir's
//   stops at the first failure.
#include <XpFileOperation.h>

#include <AskFinder.h>
#include <XpDir.h>
#include <XpFile.h>
#include <XpPathUtil.h>

#include "_XpFd_Linux.h"
#include "_XpFileOperationSub_Linux.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>
#include <string>
#include <vector>

namespace {

// Splits a path into its folder and its last component ("" for a path ending in '/', which
// names no file).
void splitDestination(const std::string& path, std::string* folder, std::string* name)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        *folder = ".";
        *name = path;
    } else {
        *folder = slash == 0 ? "/" : path.substr(0, slash);
        *name = path.substr(slash + 1);
    }
}

// Calls make(candidate) with fresh hidden names (TemporaryName) as long as it answers EEXIST:
// its last answer (0 or an errno value), with *name the candidate it was given.
template <class Make> int withHiddenName(std::string* name, Make make)
{
    int err = EEXIST;
    for (int attempt = 0; attempt < 1000 && err == EEXIST; ++attempt) {
        *name = _XpFileOperationSub_Linux::TemporaryName();
        err = make(name->c_str());
    }
    return err;
}

// Creates a hidden temporary exclusively in the folder open at dirfd; the descriptor, or -1
// with errno set.
int createTemporary(int dirfd, std::string* name)
{
    int fd = -1;
    int err = withHiddenName(name, [&](const char* candidate) {
        fd = _XpOpenAt(dirfd, candidate, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
        return fd >= 0 ? 0 : errno;
    });
    errno = err;
    return fd;
}

// The source of a copy by paths, opened once: the folder that holds it, its name there, and the
// regular file itself, opened without following a link in the last component (O_NOFOLLOW) and
// checked on the descriptor, so that whatever replaces the name afterwards is never read.
struct CopySource {
    _XpFd folder, file;
    std::string name;
    struct stat st;
    // 0 or an errno value: ELOOP for a link, EISDIR for a folder, EINVAL for any other kind.
    int Open(const char* path)
    {
        std::string folderPath;
        splitDestination(path, &folderPath, &name);
        if (name.empty() || name == "." || name == "..")
            return EISDIR;
        // O_PATH: a folder that may be searched but not listed holds sources too.
        folder.reset(_XpOpenAt(AT_FDCWD, folderPath.c_str(), O_PATH | O_DIRECTORY));
        if (folder.get() < 0)
            return errno;
        file.reset(_XpFileOperationSub_Linux::OpenRegularAt(folder.get(), name.c_str(), O_NOFOLLOW, &st));
        return file.get() < 0 ? errno : 0;
    }
};

// Flushes the names of the folder open at dir (an O_PATH descriptor too) to disk. A folder that
// cannot be opened for reading cannot be flushed this way; the copy is in place all the same.
int syncFolder(int dir)
{
    _XpFd listing(_XpOpenAt(dir, ".", O_RDONLY | O_DIRECTORY));
    return listing.get() >= 0 && fsync(listing.get()) != 0 ? errno : 0;
}

// The owner a copy replacing a file keeps (null: the caller's). A replaced file stays its
// owner's when root copies over a user's file, so that root does not take it over; but only
// when that owner (and group) may read the source, or root would hand its data to whoever
// planted the file.
const struct stat* keptOwner(bool replacing, const struct stat& old, const struct stat& source)
{
    return replacing && geteuid() == 0 && (old.st_uid != 0 || old.st_gid != getegid()) &&
                   _XpFileOperationSub_Linux::OwnerMayRead(old, source)
               ? &old : nullptr;
}

// How a finished unnamed copy (O_TMPFILE) gets its name: linkat with AT_EMPTY_PATH where the
// process may (it needs CAP_DAC_READ_SEARCH), else through its /proc/self/fd link. Learnt at the
// first copy and kept.
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
        if (errno != ENOENT && errno != EPERM)
            return errno;
        if (way == linkEmptyPath)
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
    linkWay.store(linkNone, std::memory_order_relaxed);   // no /proc: named temporaries only
    return ENOSYS;
}

// What is at name in dir before a copy takes its place: *replacing tells a regular file (*old
// describes it); a link or nothing is fine too; anything else is refused (EISDIR, EEXIST), since
// only a file or a link is replaced. 0 or an errno value.
int lookAtDestination(int dir, const char* name, struct stat* old, bool* replacing)
{
    *replacing = false;
    if (fstatat(dir, name, old, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? 0 : errno;
    *replacing = S_ISREG(old->st_mode);
    if (*replacing || S_ISLNK(old->st_mode))
        return 0;
    return S_ISDIR(old->st_mode) ? EISDIR : EEXIST;
}

// Copies the regular file open at in (described by st) onto name in the folder open at dir
// through a hidden temporary made beside it and renamed onto it, as described at the top;
// durable flushes the copy and its name to disk. 0 or an errno value.
int copyThroughTemporary(int in, const struct stat& st, int dir, const char* name, bool durable)
{
    struct stat old;
    bool replacing;
    if (int err = lookAtDestination(dir, name, &old, &replacing))
        return err;
    std::string temp;
    int out = createTemporary(dir, &temp);
    if (out < 0)
        return errno;
    int err = _XpFileOperationSub_Linux::FillCopyAt(in, st, dir, temp.c_str(), out, 0777,
                                                    keptOwner(replacing, old, st), durable);
    if (err != 0)
        return err;   // the temporary is gone already
    if (renameat(dir, temp.c_str(), dir, name) != 0) {
        err = errno;
        unlinkat(dir, temp.c_str(), 0);   // ours, created exclusively; nothing else to do
        return err;
    }
    return durable ? syncFolder(dir) : 0;
}

// The complete unnamed copy open at fd onto name in dir, where something was found: a regular
// file or a link is replaced by a rename from a hidden name of its own, anything else refused.
int replaceWithUnnamed(int fd, const struct stat& st, int dir, const char* name)
{
    struct stat old;
    bool replacing;
    if (int err = lookAtDestination(dir, name, &old, &replacing))
        return err;
    // Nobody could open the copy while it had no name, so its owner may change after its data.
    // Its mode holds no set-id bit for the change of owner to clear.
    if (const struct stat* owner = keptOwner(replacing, old, st))
        if (fchown(fd, owner->st_uid, owner->st_gid) != 0)
            return errno;
    std::string temp;
    int err = withHiddenName(&temp, [&](const char* candidate) { return linkUnnamed(fd, dir, candidate); });
    if (err != 0)
        return err;
    if (renameat(dir, temp.c_str(), dir, name) != 0) {
        err = errno;
        unlinkat(dir, temp.c_str(), 0);   // ours; nothing else to do
    }
    return err;
}

// Copies the regular file open at in (described by st) onto name in the folder open at dir as
// described at the top; durable flushes the copy and its name to disk before returning. 0 or
// an errno value. Where the file system can, the copy is an unnamed file (O_TMPFILE) that is
// linked under its name when complete: nobody can open it before, a process killed meanwhile
// leaves nothing, and a new name costs one link instead of a temporary name and a rename.
int copyRegularFileAt(int in, const struct stat& st, int dir, const char* name, bool durable)
{
    if (name[0] == '\0' || _XpIsDotOrDotDot(name) || std::strchr(name, '/') != nullptr)
        return EISDIR;
    if (linkWay.load(std::memory_order_relaxed) == linkNone)
        return copyThroughTemporary(in, st, dir, name, durable);
    _XpFd file(_XpOpenAt(dir, ".", O_WRONLY | O_TMPFILE, 0600));
    if (file.get() < 0)   // older kernels answer EISDIR or EINVAL for a file system without it
        return errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL
                   ? copyThroughTemporary(in, st, dir, name, durable) : errno;
    int err = _XpFileOperationSub_Linux::Fill(in, st, file.get(), 0777, nullptr, durable);
    if (err == 0)
        err = linkUnnamed(file.get(), dir, name);
    if (err == ENOSYS)
        return copyThroughTemporary(in, st, dir, name, durable);   // this process cannot name it
    if (err == EEXIST)
        err = replaceWithUnnamed(file.get(), st, dir, name);
    if (err != 0)
        return err;   // unnamed: closing it frees it
    // A delayed write failure shows at the close on some file systems; the copy is not kept.
    // (Those that can make unnamed files report their write failures before, at the write.)
    if ((err = file.closeChecked()) != 0) {
        unlinkat(dir, name, 0);
        return err;
    }
    return durable ? syncFolder(dir) : 0;
}

// Copies the regular file open in src onto the path dst; see copyRegularFileAt.
int copyRegularFile(const CopySource& src, const char* dst, bool durable)
{
    std::string folder, name;
    splitDestination(dst, &folder, &name);
    // O_PATH: a folder that may be written and searched but not listed (a drop box) works too.
    _XpFd dir(_XpOpenAt(AT_FDCWD, folder.c_str(), O_PATH | O_DIRECTORY));
    if (dir.get() < 0)
        return errno;
    return copyRegularFileAt(src.file.get(), src.st, dir.get(), name.c_str(), durable);
}

} // namespace

XpErr XpFileOperation::copyFileWithoutUI(const XpStringT<char>& source,
                                         const XpStringT<char>& destination,
                                         IXpFileOpProgressObserver*)
{
    CopySource src;
    if (src.Open(source.GetAnsiString().GetBuffer()) != 0)
        return XPERR_FILE_COPY_FAILED;
    return copyRegularFile(src, destination.GetAnsiString().GetBuffer(), false) == 0
               ? XPERR_OK : XPERR_FILE_COPY_FAILED;
}

XpErr XpFileOperation::moveFileWithoutUI(const XpStringT<char>& source,
                                         const XpStringT<char>& destination,
                                         IXpFileOpProgressObserver*)
{
    XpStringT<char> from = source.GetAnsiString();
    XpStringT<char> to = destination.GetAnsiString();
    if (rename(from.GetBuffer(), to.GetBuffer()) == 0)
        return XPERR_OK;
    if (errno != EXDEV)
        return XPERR_FILE_COPY_FAILED;
    struct stat st;
    if (lstat(from.GetBuffer(), &st) != 0)
        return XPERR_FILE_COPY_FAILED;
    if (!S_ISREG(st.st_mode))
        return RenameFile(from.GetBuffer(), to.GetBuffer()) == XPERR_OK ? XPERR_OK : XPERR_FILE_COPY_FAILED;
    // The file is opened once, without following a link; a link put in its place after the look
    // above is refused, never read through.
    CopySource src;
    if (src.Open(from.GetBuffer()) != 0 || copyRegularFile(src, to.GetBuffer(), true) != 0)
        return XPERR_FILE_COPY_FAILED;
    // Only the file that was copied is removed. Both copies exist when it cannot be (or when its
    // name now holds something else): reported, and nothing is lost.
    struct stat now;
    if (fstatat(src.folder.get(), src.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        now.st_dev != src.st.st_dev || now.st_ino != src.st.st_ino)
        return XPERR_FILE_COPY_FAILED;
    return unlinkat(src.folder.get(), src.name.c_str(), 0) == 0 ? XPERR_OK : XPERR_FILE_COPY_FAILED;
}

namespace {

// Hands the list to the file-manager agent: true when it accepted the request.
bool askFileManager(const std::vector<XpStringT<char> >& files, const XpStringT<char>& folder,
                    bool copy)
{
    std::list<FSRef> items;
    for (const XpStringT<char>& file : files) {
        FSRef ref;
        if (FSPathMakeRef(file.GetAnsiString().GetBuffer(), &ref) != 0)
            return false;
        items.push_back(ref);
    }
    FSRef destination;
    if (FSPathMakeRef(folder.GetAnsiString().GetBuffer(), &destination) != 0)
        return false;
    return copy ? AskFinder::DuplicateItem(items, destination, true)
                : AskFinder::MoveItem(items, destination, true);
}

} // namespace

XpErr XpFileOperation::copyFiles(const std::vector<XpStringT<char> >& files,
                                 const XpStringT<char>& folder)
{
    return askFileManager(files, folder, true) ? XPERR_OK : XPERR_FILE_COPY_FAILED;
}

XpErr XpFileOperation::moveFiles(const std::vector<XpStringT<char> >& files,
                                 const XpStringT<char>& folder)
{
    if (!askFileManager(files, folder, false))
        return XPERR_FILE_MOVE_FAILED;
    // A source still there beside an equally large file of its name was copied, not moved:
    // remove it. Never when the two names are one file (a move into the source's own folder),
    // which would remove the only copy.
    for (const XpStringT<char>& source : files) {
        XpStringT<char> name, ext;
        XpPathUtil::SplitPath(source, nullptr, &name, &ext);
        XpStringT<char> target = folder + "/" + name + ext;
        if (IsFileAvailable(target) && IsFileAvailable(source) &&
            XpFile::GetSize(target.GetAnsiString().GetBuffer()) ==
                XpFile::GetSize(source.GetAnsiString().GetBuffer()) &&
            !_XpFileOperationSub_Linux::SameObject(target, source))
            removeFileWithoutUI(source, false);
    }
    return XPERR_OK;
}

XpErr XpFileOperation::RemoveDir(const XpStringT<char>& path, bool recursive,
                                 IXpFileOpProgressObserver* observer)
{
    if (!recursive) {
        if (observer == nullptr)
            return removeDir(path);
        observer->currentPath = path;
        observer->totalCount = 1;
        observer->doneCount = 0;
        observer->OnProgress(0.0);
        XpErr err = removeDir(path);
        if (err != XPERR_OK)
            return err;
        observer->doneCount = 1;
        observer->OnProgress(0.0);
        return XPERR_OK;
    }

    // The last component is opened without following a link: a link given as the tree would
    // otherwise empty whatever it points to. A tail delimiter would make the kernel follow it.
    std::string top(path.GetAnsiString().GetBuffer());
    while (top.size() > 1 && top.back() == '/')
        top.pop_back();
    _XpFd fd(_XpOpenAt(AT_FDCWD, top.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NOCTTY));
    if (fd.get() < 0) {
        struct stat st;
        return lstat(top.c_str(), &st) == 0 && S_ISLNK(st.st_mode) ? XPERR_FILE_INVALID_PATH
                                                                   : XPERR_NO_MEMORY;
    }
    if (!IsDeviceAvailable(path))   // a relative path counts from the working folder
        return XPERR_FILE_DEVICE_NOT_AVAILABLE;
    if (observer != nullptr && observer->totalCount == 0) {
        // Counted by the removal's own walk: it meets what the removal will meet (no other
        // mount), at any depth, on any stack.
        observer->totalCount = _XpTreeRemover_Linux::CountContents(fd.get()) + 1;
        observer->doneCount = 0;
    }
    _XpTreeRemover_Linux remover(observer, false);
    if (remover.RemoveContents(fd.release(), top) &&
        remover.RemoveEmptyDirectory(AT_FDCWD, top.c_str(), path))
        return XPERR_OK;
    switch (remover.failureKind) {
    case _XpTreeRemover_Linux::listing:
        return XPERR_NO_MEMORY;   // what a listing that cannot start answers
    case _XpTreeRemover_Linux::directory:
        return getXpErr(remover.failureErr, errRemoveDir, path);
    default:
        return getXpErr(remover.failureErr, errRemoveFile, path);
    }
}

XpErr XpFileOperation::CopyFileAt(int sourceFolder, const char* sourceName, int destinationFolder,
                                  const char* destinationName)
{
    if (sourceName == nullptr || destinationName == nullptr || sourceName[0] == '\0' ||
        _XpIsDotOrDotDot(sourceName) || std::strchr(sourceName, '/') != nullptr)
        return XPERR_FILE_COPY_FAILED;
    struct stat st;
    _XpFd in(_XpFileOperationSub_Linux::OpenRegularAt(sourceFolder, sourceName, O_NOFOLLOW, &st));
    if (in.get() < 0)
        return XPERR_FILE_COPY_FAILED;
    return copyRegularFileAt(in.get(), st, destinationFolder, destinationName, false) == 0
               ? XPERR_OK : XPERR_FILE_COPY_FAILED;
}
