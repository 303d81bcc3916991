// Platform half of copying, moving and removing on Linux.
//
// Where the library came from, a copy or move without UI was the platform file manager's
// copyPath/movePath, and a list with UI went to the Finder. Here:
//
// - The copy runs in the kernel: copy_file_range moves the pages without a trip through user
//   memory (and lets file systems that can share extents do so), sendfile stands in where a file
//   system refuses it, and read/write where both are refused (_XpFileOperationSub_Linux, whose
//   copy of one file the file-manager agent uses too). It writes into a file staged beside the
//   destination (XpStagedFile: unnamed where the file system allows, else under a hidden name)
//   and puts it in place only when everything is written, so the destination never holds a
//   part of the data, nothing shows an empty file, and an existing destination keeps its old
//   content on any failure or when the process is killed.
//   We run as root in folders other users can write: the source is opened once, relative to its
//   folder, without following a link in its last component and non-blocking, checked with
//   S_ISREG on the descriptor (a link or FIFO planted as the source is refused, never followed
//   or waited on) and copied from that descriptor; a link planted at the destination is replaced
//   as a name by the rename, never written through. The copy gets the source's permission bits
//   before any data is written, and a replaced file keeps its owner only when that owner may
//   read the source. Holes of a sparse source stay holes.
// - The move is rename(2); across volumes any item goes through the tree copy (XpTreeWriter.h),
//   which keeps owners where the caller may give them, for files and folders alike, and is
//   flushed to disk before the source is removed, so a crash leaves at least one whole copy.
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
#include "_XpFileSub.h"
#include <XpStagedFile.h>
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

// The source of a copy by paths, opened once: the folder that holds it, its name there, and the
// regular file itself, opened without following a link in the last component (O_NOFOLLOW) and
// checked on the descriptor, so that whatever replaces the name afterwards is never read.
struct CopySource {
    XpFd folder, file;
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
        folder.Reset(_XpOpenAt(AT_FDCWD, folderPath.c_str(), O_PATH | O_DIRECTORY));
        if (folder.Get() < 0)
            return errno;
        file.Reset(_XpFileOperationSub_Linux::OpenRegularAt(folder.Get(), name.c_str(), O_NOFOLLOW, &st));
        return file.Get() < 0 ? errno : 0;
    }
};

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

// The copy of the regular file open at in (described by st), staged in staged (Create done),
// put in place as name in dir: the source's mode first, then the data (holes kept) with progress,
// then the dates; replacing a regular file or a link, refusing anything else. durable flushes the
// copy and its name to disk. The name is looked at only when it turns out to be taken (most
// copies go to a free name, and a tree of small files would pay a lookup for each): a replaced
// file's kept owner is given then, before the copy can be seen under the name. Until then the
// copy is the caller's with the source's mode, which lets nobody read it who may not read the
// source.
XpFileError fillAndPlace(XpStagedFile& staged, int in, const struct stat& st, int dir, const char* name,
                         bool durable, IXpFileOpProgressObserver* observer)
{
    XpFileError err = staged.SetMode(st.st_mode & 0777);
    if (err.IsOk())
        err = staged.CopyFrom(in, st, observer);
    if (!err.IsOk())
        return err;
    staged.SetTimes(st.st_atim, st.st_mtim);
    err = staged.Place(XpStagedFile::placeNew, durable);
    if (err.Code() != XPERR_FILE_EXISTS)
        return err;
    struct stat old;
    bool replacing;
    if (int taken = lookAtDestination(dir, name, &old, &replacing))
        return XpFileError(XPERR_FILE_EXISTS, taken, "fstatat", name);
    if (const struct stat* owner = keptOwner(replacing, old, st)) {
        err = staged.SetOwner(owner->st_uid, owner->st_gid);   // no set-id bits for it to clear
        if (!err.IsOk())
            return err;
    }
    return staged.Place(XpStagedFile::placeReplace, durable);
}

// The copy of the regular file open at in onto name in dir, as above.
XpFileError copyRegularFileAt(int in, const struct stat& st, int dir, const char* name, bool durable,
                              IXpFileOpProgressObserver* observer)
{
    XpStagedFile staged;
    XpFileError err = staged.Create(dir, name);
    return err.IsOk() ? fillAndPlace(staged, in, st, dir, name, durable, observer) : err;
}

// The folder of a destination path, opened O_PATH (a folder that may be written and searched but
// not listed, a drop box, works too), the destination's name in it, and a file staged there for
// that name.
XpFileError stageAtDestination(const XpStringT<char>& path, XpFd* dir, std::string* name, XpStagedFile* staged)
{
    std::string folder;
    splitDestination(path.GetAnsiString().GetBuffer(), &folder, name);
    dir->Reset(_XpOpenAt(AT_FDCWD, folder.c_str(), O_PATH | O_DIRECTORY));
    if (!dir->IsValid())
        return XpFileError(XPERR_FILE_FAILED, errno, "openat", folder.c_str());
    return staged->Create(dir->Get(), name->c_str());
}

// The result of the copies by paths, kept for LastError on the calling thread.
thread_local XpFileError lastError;

// Keeps err (its code replaced by code, unless it is a cancellation) for LastError and answers
// its code.
XpErr keep(XpFileError err, XpErr code)
{
    if (err.Code() != XPERR_OK && err.Code() != XPERR_FILE_CANCELLED)
        err = XpFileError(code, err.SysErr(), err.Operation(), err.Path());
    lastError = err;
    return err.Code();
}

// The copy by paths: source opened once (see CopySource), then as copyRegularFileAt. staged is
// Created already in dir for name.
XpFileError copyByPaths(const XpStringT<char>& source, XpStagedFile& staged, int dir, const char* name,
                        bool durable, IXpFileOpProgressObserver* observer, CopySource* src)
{
    if (int err = src->Open(source.GetAnsiString().GetBuffer()))
        return XpFileError(XPERR_FILE_COPY_FAILED, err, "openat", source);
    if (observer != nullptr) {
        observer->currentPath = source;
        observer->statusFlag = false;
    }
    return fillAndPlace(staged, src->file.Get(), src->st, dir, name, durable, observer);
}

XpFileError copyPath(const XpStringT<char>& source, const XpStringT<char>& destination, bool durable,
                     IXpFileOpProgressObserver* observer, CopySource* src)
{
    XpFd dir;
    std::string name;
    XpStagedFile staged;
    XpFileError err = stageAtDestination(destination, &dir, &name, &staged);
    if (observer != nullptr)
        observer->destinationPath = destination;
    return err.IsOk() ? copyByPaths(source, staged, dir.Get(), name.c_str(), durable, observer, src) : err;
}

// A move to another volume: the tree copy (which keeps owners where the caller may give them,
// for files and folders alike) under a hidden name, renamed into place, flushed to disk, and
// only then the source removed, so a crash leaves at least one whole copy. A file or link
// replaces one at the destination, as rename would; a folder never replaces anything. Only the
// item that was copied is removed: when its name now holds something else, or it cannot be
// removed, both stay and the move is reported failed, so nothing is lost.
XpFileError moveAcrossVolumes(const XpStringT<char>& from, const XpStringT<char>& to)
{
    int fd = -1;
    std::string name, toName;
    if (int err = _XpFileOperationSub_Linux::OpenParent(from.GetBuffer(), &fd, &name))
        return XpFileError(XPERR_FILE_COPY_FAILED, err, "openat", from);
    XpFd fromDir(fd);
    if (int err = _XpFileOperationSub_Linux::OpenParent(to.GetBuffer(), &fd, &toName))
        return XpFileError(XPERR_FILE_COPY_FAILED, err, "openat", to);
    XpFd toDir(fd);
    struct stat st, now;
    if (fstatat(fromDir.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return XpFileError(XPERR_FILE_COPY_FAILED, errno, "fstatat", from);
    int err = _XpFileOperationSub_Linux::PlaceCopyAt(fromDir.Get(), name.c_str(), toDir.Get(), toName.c_str(),
                                                     !S_ISDIR(st.st_mode));
    if (err != 0)
        return XpFileError(XPERR_FILE_COPY_FAILED, err, "copy", from);
    if (syncfs(toDir.Get()) != 0)
        return XpFileError(XPERR_FILE_COPY_FAILED, errno, "syncfs", to);
    if (fstatat(fromDir.Get(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || now.st_dev != st.st_dev ||
        now.st_ino != st.st_ino)
        return XpFileError(XPERR_FILE_COPY_FAILED, ESTALE, "fstatat", from);
    err = _XpFileOperationSub_Linux::RemoveTreeAt(fromDir.Get(), name.c_str());
    return err == 0 ? XpFileError() : XpFileError(XPERR_FILE_COPY_FAILED, err, "unlinkat", from);
}

} // namespace

XpErr XpFileOperation::copyFileWithoutUI(const XpStringT<char>& source,
                                         const XpStringT<char>& destination,
                                         IXpFileOpProgressObserver* observer)
{
    CopySource src;
    return keep(copyPath(source, destination, false, observer, &src), XPERR_FILE_COPY_FAILED);
}

XpErr XpFileOperation::CopyFileSafely(const XpStringT<char>& source,
                                      const XpStringT<char>& destination, bool withUI,
                                      IXpFileOpProgressObserver* observer)
{
    // The staged file is made first: where none can be made, nothing is touched at all.
    XpFd dir;
    std::string name;
    XpStagedFile staged;
    XpFileError err = stageAtDestination(destination, &dir, &name, &staged);
    if (!err.IsOk())   // a name that names no file is a failed copy, not a missing temporary
        return keep(err, err.Code() == XPERR_FILE_INVALID_PARAM ? XPERR_FILE_COPY_FAILED : XPERR_FILE_FAILED);
    if (withUI) {
        // The agent stages its copy under a hidden name of its own and renames it into place.
        staged.Discard();
        lastError = XpFileError();
        return CopyFile(source, destination, true, observer);
    }
    if (observer != nullptr)
        observer->destinationPath = destination;
    CopySource src;
    return keep(copyByPaths(source, staged, dir.Get(), name.c_str(), false, observer, &src), XPERR_FILE_COPY_FAILED);
}

XpFileError XpFileOperation::LastError()
{
    return lastError;
}

void _XpFileSub::KeepLastError(const XpFileError& err)
{
    lastError = err;
}

XpErr XpFileOperation::moveFileWithoutUI(const XpStringT<char>& source,
                                         const XpStringT<char>& destination,
                                         IXpFileOpProgressObserver*)
{
    XpStringT<char> from = source.GetAnsiString();
    XpStringT<char> to = destination.GetAnsiString();
    if (rename(from.GetBuffer(), to.GetBuffer()) == 0)
        return keep(XpFileError(), XPERR_OK);
    if (errno != EXDEV)
        return keep(XpFileError(XPERR_FILE_COPY_FAILED, errno, "rename", from), XPERR_FILE_COPY_FAILED);
    return keep(moveAcrossVolumes(from, to), XPERR_FILE_COPY_FAILED);
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
    XpFd fd(_XpOpenAt(AT_FDCWD, top.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NOCTTY));
    if (fd.Get() < 0) {
        int openErr = errno;
        struct stat st;
        XpErr code = lstat(top.c_str(), &st) == 0 && S_ISLNK(st.st_mode) ? XPERR_FILE_INVALID_PATH
                                                                         : XPERR_NO_MEMORY;
        lastError = XpFileError(code, openErr, "openat", top.c_str());
        return code;
    }
    if (!IsDeviceAvailable(path)) {   // a relative path counts from the working folder
        lastError = XpFileError(XPERR_FILE_DEVICE_NOT_AVAILABLE, 0, "rmdir", top.c_str());
        return XPERR_FILE_DEVICE_NOT_AVAILABLE;
    }
    if (observer != nullptr && observer->totalCount == 0) {
        // Counted by the removal's own walk: it meets what the removal will meet (no other
        // mount), at any depth, on any stack.
        observer->totalCount = _XpTreeRemover_Linux::CountContents(fd.Get()) + 1;
        observer->doneCount = 0;
    }
    _XpTreeRemover_Linux remover(observer, false);
    if (remover.RemoveContents(fd.Release(), top) &&
        remover.RemoveEmptyDirectory(AT_FDCWD, top.c_str(), path)) {
        lastError = XpFileError();
        return XPERR_OK;
    }
    XpErr code;
    const char* operation;
    switch (remover.failureKind) {
    case _XpTreeRemover_Linux::listing:
        code = XPERR_NO_MEMORY;   // what a listing that cannot start answers
        operation = "openat";
        break;
    case _XpTreeRemover_Linux::directory:
        code = getXpErr(remover.failureErr, errRemoveDir, path);
        operation = "rmdir";
        break;
    default:
        code = getXpErr(remover.failureErr, errRemoveFile, path);
        operation = "unlinkat";
        break;
    }
    // The remover keeps the cause, not the entry: the path is the tree's (an observer's
    // currentPath names the entry).
    lastError = XpFileError(code, remover.failureErr, operation, top.c_str());
    return code;
}

XpErr XpFileOperation::CopyFileAt(int sourceFolder, const char* sourceName, int destinationFolder,
                                  const char* destinationName)
{
    if (sourceName == nullptr || destinationName == nullptr || sourceName[0] == '\0' ||
        _XpIsDotOrDotDot(sourceName) || std::strchr(sourceName, '/') != nullptr)
        return XPERR_FILE_COPY_FAILED;
    struct stat st;
    XpFd in(_XpFileOperationSub_Linux::OpenRegularAt(sourceFolder, sourceName, O_NOFOLLOW, &st));
    if (!in.IsValid())
        return keep(XpFileError(XPERR_FILE_COPY_FAILED, errno, "openat", sourceName), XPERR_FILE_COPY_FAILED);
    return keep(copyRegularFileAt(in.Get(), st, destinationFolder, destinationName, false, nullptr),
                XPERR_FILE_COPY_FAILED);
}
