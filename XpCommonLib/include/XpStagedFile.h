// XpStagedFile: a file written beside its name and then put in place, in a folder given as a
// descriptor. It is the library's one way to write a file that must never be seen half made:
// every copy by paths (CopyFile, CopyFileSafely, CopyFileAt, the move across volumes) is built
// on it.
//
// The steps, in the order a caller takes them:
// 1. Create stages the file in the folder: unnamed (O_TMPFILE) where the file system allows it,
//    so nobody can open it and a process killed meanwhile leaves nothing; otherwise under a
//    hidden name ".xpcopy-XXXXXXXX.tmp" (eight hexadecimal digits), created exclusively and
//    without following a link (O_CREAT|O_EXCL|O_NOFOLLOW), mode 0600. That is the only name the
//    layer ever makes; a process killed in the middle (SIGKILL, power loss) may leave one, and
//    a caller cleans such debris by removing, while no copy runs in the folder, the files named
//    ".xpcopy-" + eight hexadecimal digits + ".tmp".
// 2. SetOwner and SetMode act on the descriptor at once, before any data is written, so that
//    nobody who may not read the data can read it at any moment (a hidden name is 0600 and the
//    caller's until then). The owner goes first: a change of owner clears set-id bits.
// 3. Write and CopyFrom fill it, with progress and cancellation through the observer.
// 4. SetTimes is remembered and applied by Place after the last write (writing changes them),
//    still before the file can be seen.
// 5. Place puts it in place: placeNew only where the name is free (linkat of the unnamed file,
//    or renameat2 with RENAME_NOREPLACE of the hidden name: never replaces, XPERR_FILE_EXISTS
//    with SysErr() EEXIST when taken), placeReplace over whatever file or symbolic link is there
//    (rename, in one step: the name shows the old file or the new one, never neither). An
//    unnamed file to be put over a name first gets a hidden name of the pattern above, for the
//    moment between the link and the rename. A write failure that a network file system or a
//    full disk reports only at the close fails the Place: a file that replaces a name is flushed
//    through the close of a duplicate descriptor before the rename, so the name keeps showing the
//    old file; a file linked to a free name is closed right after the link and, when the close
//    fails, unlinked again, so nothing stays where nothing was. durable adds fsync of the file
//    before, and of its folder after, the file gets its name.
// 6. A staged file that was not placed is dropped without a trace by Discard or the destructor:
//    an unnamed file vanishes with its descriptor, a hidden name is removed.
//
// Errors follow the convention of XpFd.h. An object is used by one thread at a time; objects in
// different threads may stage in one folder at once.
#ifndef XPSTAGEDFILE_H
#define XPSTAGEDFILE_H

#include "XpFd.h"
#include "XpFileOperation.h"

#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

/** \addtogroup filesafety
    \{ */

// A file staged in a folder, to be written and then put in place under its name.
class XP_API XpStagedFile {
public:
    // How Place treats the name.
    enum Placement {
        placeNew,       // only where nothing (not even a dangling link) has the name
        placeReplace    // over a regular file or symbolic link there; a folder is refused
    };
    // How Create stages the file.
    enum Staging {
        stageUnnamed,   // unnamed where the file system allows, else under a hidden name
        stageHidden     // always under a hidden name (a file system that must see a name)
    };

    // Nothing staged.
    XpStagedFile() = default;
    // Discards a file that was not placed.
    ~XpStagedFile();
    XpStagedFile(const XpStagedFile&) = delete;
    XpStagedFile& operator=(const XpStagedFile&) = delete;

    // Stages an empty file, mode 0600 and owned by the caller, in the folder open at folder (an
    // O_PATH descriptor will do; the caller keeps it open until Place or Discard: it is not
    // duplicated, which a copy of thousands of small files would pay for), to be put in place as
    // name, a single component (not "", ".", ".." and without '/':
    // XPERR_FILE_INVALID_PARAM). A file staged before is discarded first. Failures: the
    // folder's errno (EACCES, EROFS, ENOSPC, EBADF) with XPERR_FILE_ACCESS_DENIED,
    // XPERR_FILE_DISK_FULL or XPERR_FILE_FAILED.
    XpFileError Create(int folder, const char* name, Staging staging = stageUnnamed);
    // The staged file's descriptor, open for reading and writing; -1 when nothing is staged. It
    // stays owned by this object.
    int Descriptor() const { return file_.Get(); }
    // True when the file is staged without a name.
    bool IsUnnamed() const { return file_.IsValid() && hidden_.empty(); }
    // The hidden name the file is staged under, "" when it has none.
    const char* HiddenName() const { return hidden_.c_str(); }

    // fchown of the staged file (XPERR_FILE_SET_ATTRIBUTE_FAILED on failure).
    XpFileError SetOwner(uid_t owner, gid_t group);
    // fchmod of the staged file to mode's permission bits (07777).
    XpFileError SetMode(mode_t mode);
    // The access and modification times (futimens' format: UTIME_NOW and UTIME_OMIT work) that
    // Place gives the file after the last write and before it is seen.
    void SetTimes(const struct timespec& access, const struct timespec& modification);

    // Writes all size bytes at the file's position. XPERR_FILE_DISK_FULL for ENOSPC/EDQUOT,
    // else XPERR_FILE_FAILED.
    XpFileError Write(const void* data, size_t size);
    // Copies the whole regular file open at source (read from offset 0, its own position
    // untouched) into the staged file, which must be empty, in the kernel where it can
    // (copy_file_range, then sendfile, then read/write), keeping the holes of a sparse source.
    // A source that is not a regular file is refused with XPERR_FILE_INVALID_PARAM, nothing
    // read. The observer (null: none) gets percent and OnProgress(0.0) before the first byte,
    // then OnProgress(percent) after every piece of at most 8 MiB; a true answer stops the copy
    // with XPERR_FILE_CANCELLED (the file stays staged: Discard or the destructor drops it).
    // Other failures: XPERR_FILE_DISK_FULL for ENOSPC or EDQUOT, else XPERR_FILE_FAILED, with the
    // errno of the call that failed (the kernel copy does not tell which side failed).
    XpFileError CopyFrom(int source, IXpFileOpProgressObserver* observer);
    // CopyFrom for a caller that has fstat'ed source already (st): the same, without asking
    // again. st must describe the descriptor source, as fstat gave it.
    XpFileError CopyFrom(int source, const struct stat& st, IXpFileOpProgressObserver* observer);

    // Puts the staged file in place as described at the top; afterwards nothing is staged. On
    // failure the file stays staged (Discard drops it) and the name shows what it showed before.
    // XPERR_FILE_EXISTS for a name taken under placeNew, or a folder or other non-file under
    // placeReplace (SysErr() EEXIST or EISDIR); XPERR_FILE_DISK_FULL or XPERR_FILE_FAILED for a
    // write that failed at the flush (SysErr() EIO, ENOSPC), XPERR_FILE_FAILED otherwise.
    XpFileError Place(Placement placement, bool durable);
    // Drops a file that was not placed: nothing of it stays. Nothing when nothing is staged.
    void Discard();

    // The usual way to write a small file whole (a configuration, a desktop entry): size bytes
    // of data staged in the folder open at folder, given mode's permission bits (and owner and
    // group, unless they are -1) before any byte is written, then put in place as name as
    // placement says, durable or not. Create's, Write's and Place's failures; nothing of the
    // new file stays after one, and the name shows what it showed before.
    static XpFileError WriteWhole(int folder, const char* name, const void* data, size_t size, mode_t mode,
                                  Placement placement, bool durable, uid_t owner = static_cast<uid_t>(-1),
                                  gid_t group = static_cast<gid_t>(-1));

private:
    XpFileError placeUnnamed(Placement placement);
    XpFileError placeHidden(Placement placement);
    XpFileError nameAnyway();

    int folder_ = -1;   // the caller's
    XpFd file_;
    std::string name_;
    std::string hidden_;
    struct timespec times_[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
};

/** \} */

#endif
