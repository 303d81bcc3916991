// XpFileOperation: static file operations of the library.
//
// Existence tests: the library's one way of asking whether a path exists and whether it is a
// directory. Each is one stat(2) of the path's UTF-8 text, following symbolic links (a link to a
// directory is a directory, a dangling link does not exist). The empty path and a path whose text
// is not valid UTF-8 count as not existing. They keep no state and may run on any thread.
#ifndef XPFILEOPERATION_H
#define XPFILEOPERATION_H

#include "XpCommonLib.h"
#include "XpString.h"
#include "XpAbstractFile.h"
#include "XpFd.h"
#include "XpPathUtil.h"
#include "XpSharedPtr.h"

#include <cstdint>
#include <functional>
#include <vector>

/** \defgroup fileoperations File operations
    Copy, move, remove and trash files and trees, with progress; attribute tests; the file-manager agent.
    \{ */

// ---- Progress observer of the file operations ----
// The caller derives from it and passes a pointer (null: no observer). The operations write the
// fields directly, then call OnProgress on the calling thread; the library never deletes it.
class XP_API IXpFileOpProgressObserver {
public:
    XpStringT<char> currentPath;      // the item being worked on
    XpStringT<char> destinationPath;  // where the data goes
    double percent = 0.0;             // 0.0 to 100.0
    int64_t doneCount = 0;            // items finished (or the index of the current input)
    int64_t totalCount = 0;           // items in the whole operation
    bool statusFlag = false;          // cleared when a stream copy starts; the library never reads it

    virtual ~IXpFileOpProgressObserver() {}
    // Called at each progress point after the fields were updated; true asks the operation to
    // stop (obeyed by the copying and joining operations).
    virtual bool OnProgress(double percent) = 0;
};

// Copy, move, remove, temporary names, the trash and the existence tests. Class methods only.
class XP_API XpFileOperation {
public:
    XpFileOperation() = delete;

    // The path exists. `isDirectory`, when not null, receives true exactly when the path exists
    // and is a directory (false for a missing path).
    static bool IsPathAvailable(const XpStringT<char>& path, bool* isDirectory);
    // The path exists and is a directory.
    static bool IsDirAvailable(const XpStringT<char>& path);
    // The path exists and is not a directory (anything else counts as a file).
    static bool IsFileAvailable(const XpStringT<char>& path);

    // ---- Attribute tests ----
    // Read-only means the user may not change the object. On Linux it is read from the kernel:
    // the append-only or immutable inode flag (statx attributes), or no write permission bit at
    // all, or the access answers "not writable, not executable, not deletable, but readable" for
    // the calling process. Setting it clears or restores write permission bits, not inode flags:
    // those need CAP_LINUX_IMMUTABLE, which an ordinary user lacks, and an immutable file could
    // no longer be renamed or removed by the file operations. The hidden attribute is a name
    // that starts with '.'; there is nothing stored to set. Paths whose text is not valid UTF-8
    // count as not existing, as in the existence tests.

    // True when the object at path (links followed) is read-only as described above; false for
    // a path that does not exist.
    static bool IsReadOnly(const XpStringT<char>& path);
    // readOnly true clears every write permission bit; false restores the owner's write bit
    // (group and others keep what they have: we cannot know whether they once had it, and
    // guessing would widen access). Never acts through a symbolic link: a link as the last
    // component, like a missing path or a refusal of the kernel, gives
    // XPERR_FILE_SET_ATTRIBUTE_FAILED and changes nothing. Inode flags are left alone.
    static XpErr SetReadOnly(const XpStringT<char>& path, bool readOnly);
    // True when the last component of path (a delimiter at the end ignored) starts with '.'.
    static bool IsHidden(const XpStringT<char>& path);
    // Always XPERR_FILE_NOT_SUPPORTED: a name is hidden by its leading dot alone.
    static XpErr SetHidden(const XpStringT<char>& path, bool hidden);

    // ---- Directories ----

    // Makes one directory with mode 0755 (less the process's file-creation mask). 0 on success;
    // XPERR_FILE_DEVICE_NOT_AVAILABLE when the volume is not available (IsDeviceAvailable) before
    // or after a failed mkdir; XPERR_FILE_EXISTS when something exists at path (a symbolic link
    // is not followed); for a missing containing directory XPERR_FILE_PARENT_NOT_FOUND when path
    // has meanwhile become a writable directory (IsDirWritable), else XPERR_FILE_ACCESS_DENIED;
    // XPERR_FILE_ACCESS_DENIED on a read-only volume or without permission, XPERR_FILE_DISK_FULL,
    // else XPERR_FILE_MAKE_DIR_FAILED (XPERR_FILE_PARENT_NOT_FOUND when the containing
    // directory does not exist).
    static XpErr MakeDir(const XpStringT<char>& path);
    // Makes every missing directory of an absolute path, outermost first (/a, /a/b, /a/b/c).
    // XPERR_FILE_MAKE_DIR_FAILED for a path not beginning with '/'. Levels that exist already
    // are passed over; the first other failure is returned and the levels made before it stay.
    // The last level answers as MakeDir does, so a path that exists already, or that ends with
    // '/', gives XPERR_FILE_EXISTS.
    static XpErr MakeDirRecursively(const XpStringT<char>& path);
    // Makes every missing folder of path (absolute, or relative to the working folder) level by
    // level from the descriptor of the level above (mkdirat, then openat with O_DIRECTORY and
    // O_NOFOLLOW), so that path may be longer than PATH_MAX and is never looked up whole. A
    // symbolic link met as a level that exists is followed only when it belongs to the owner of
    // the folder holding it or to the caller (the rule the kernel's protected_symlinks applies in
    // sticky folders): a link another user planted in a shared folder is refused (ELOOP) and
    // nothing is made through it. Levels are made with 0777 less the umask; mode >= 0 gives the
    // last level, when this call makes it, exactly those permission bits. onMade (may be empty)
    // is told the path of each level made, outermost first. Success when the last level is a
    // folder at the end, made now or before; otherwise the code (XPERR_FILE_EXISTS for a last
    // level that is not a folder, XPERR_FILE_ACCESS_DENIED, XPERR_FILE_DISK_FULL,
    // XPERR_FILE_PARENT_NOT_FOUND, else XPERR_FILE_MAKE_DIR_FAILED) with the errno value, the
    // call and the path up to the level that failed. Levels made before a failure stay.
    static XpFileError MakeDirChain(const XpStringT<char>& path, int mode = -1,
                                    const std::function<void(const char* made)>& onMade = nullptr);

    // ---- Copy, move and remove ----
    // Names these operations create on disk: the copies by paths and CopyFileSafely stage their
    // file with XpStagedFile (XpStagedFile.h): unnamed where the file system allows, else under
    // the hidden ".xpcopy-XXXXXXXX.tmp" (eight hexadecimal digits), created exclusively
    // (O_CREAT|O_EXCL|O_NOFOLLOW); the file-manager agent's copies and moves to another name
    // stage in a hidden folder of that same pattern. Nothing is ever created under the
    // destination's own name before the copy is complete. Staged names are removed on every
    // failure and cancellation; only a process killed in the middle (SIGKILL, power loss) may
    // leave one behind, and never a partly written or empty destination. A caller cleans such
    // debris by removing, in the destination folder and while no copy runs there, the entries
    // named ".xpcopy-" + eight hexadecimal digits + ".tmp".
    //
    // How Linux carries them out:
    // - A copy by paths without UI (copyFileWithoutUI) copies a regular file only, in the kernel
    //   (copy_file_range, falling back to sendfile and then read/write where the file system
    //   refuses), into a file staged beside the destination (XpStagedFile) that is put in place
    //   when complete: an existing destination is replaced in one step, and keeps its old content
    //   on any failure. The source is opened once, without following a symbolic link in its last
    //   component, and copied from that descriptor: a link as the source is refused (it is never
    //   followed, also not when it is swapped in while the copy starts), and so is anything
    //   that is not a regular file once opened (a FIFO, a device, a directory), without reading
    //   from it. The copy gets the source's permission bits (not set-id bits) before any data is
    //   written, and its modification time. A replaced file keeps its owner and group when the
    //   process may set them (root) and that owner and group may read the source (its owner, or
    //   the source's mode lets them read); otherwise the copy belongs to the caller, so that root
    //   never hands data to whoever planted the file. A symbolic link at the destination is
    //   replaced as a name, never followed; a directory, FIFO, device or socket there is refused.
    // - Every copy of file data keeps the holes of a sparse source (SEEK_DATA/SEEK_HOLE on the
    //   source's descriptor): a 4 GiB file with little data stays small.
    // - A move without UI is rename(2). Across volumes (EXDEV) a regular file is copied as above,
    //   flushed to disk, renamed into place and only then removed from its old place (only when
    //   its name still holds the file that was copied); other objects (folders, links) are moved
    //   across volumes by RenameFile, which needs the destination free.
    // - With UI, copies and moves go to the file-manager agent of AskFinder. The agent names its
    //   copy after the source, so a copy or move to another name is made in a hidden folder
    //   (".xpcopy-XXXXXXXX.tmp") beside the destination and renamed from there: it never takes
    //   the place of the source or of an unrelated item of the source's name.
    // - RemoveDir recursive works on descriptors (openat with O_NOFOLLOW, unlinkat), so it never
    //   leaves the tree: a symbolic link inside it, to a folder too, is removed as a link, a
    //   folder swapped for a link while the removal runs is removed as that link, and another
    //   mount inside the tree is never entered.

    // Stream copy: copies source's content, 256 KiB at a time, into destination, then its
    // creation and modification dates and read-only attribute. A closed source is opened for
    // reading and closed again; an open one is read from its position. The observer (null: none)
    // gets currentPath, destinationPath and statusFlag cleared, OnProgress(0.0) first and then
    // OnProgress(percent) after every chunk; a true answer at any call stops the copy
    // (XPERR_FILE_CANCELLED). Empty source: XPERR_FILE_INVALID_PARAM; a destination that is the
    // source's own file: XPERR_FILE_INVALID_PARAM, nothing touched.
    //
    // The stream copy REPLACES THE DESTINATION IN PLACE: an existing file there is truncated
    // first and then filled, and on any failure or stop (a full volume, an unreadable source, a
    // cancel) the destination file is removed. The old content of an existing destination is
    // therefore lost when the copy fails. Use CopyFileSafely for a copy that keeps the old
    // destination whole until the new one is complete. (A device such as /dev/full written to
    // is never removed; a symbolic link at the destination is refused.)
    //
    // On Linux, for an XpFile source: the source is checked on its open descriptor before the
    // destination is touched, and anything but a regular file (a link swapped in that leads to
    // /dev/zero, which never ends) gives XPERR_FILE_INVALID_PARAM. An existing destination that
    // belongs to someone else who may not read the source is refused with
    // XPERR_FILE_ACCESS_DENIED and left as it is (its owner could read the copy as it is
    // written). The destination gets the source's permission bits before any data is written
    // (someone else's file whose mode the caller may not change keeps its own), and the holes
    // of a sparse source.
    static XpErr CopyFile(XpSharedPtr<XpAbstractFile> source, const XpStringT<char>& destination,
                          IXpFileOpProgressObserver* observer);
    // Copies source into folder under its own name; when that is taken and rename is true, under
    // "name (2).ext", "name (3).ext", ... (the name is taken as it is, never as a format). The
    // name is claimed as CreateNewFile claims it (same results), readable by the caller alone
    // until the stream copy gives it the source's mode. The path made is stored through
    // created (may be null) on success. Taken name and rename false: XPERR_FILE_EXISTS.
    static XpErr CopyFile(XpSharedPtr<XpAbstractFile> source, const XpStringT<char>& folder,
                          bool rename, IXpFileOpProgressObserver* observer,
                          XpStringT<char>* created);
    // Copies one file by paths: without UI copyFileWithoutUI; with UI a file-manager copy into
    // the destination's folder (replacing the item of that name there, but never the source
    // itself), through a hidden folder beside the destination when the destination's name
    // differs from the source's, renamed from there to the destination (the copy is removed when
    // that rename fails). The observer is used without UI, as by CopyFileSafely.
    static XpErr CopyFile(const XpStringT<char>& source, const XpStringT<char>& destination,
                          bool withUI, IXpFileOpProgressObserver* observer);
    // Copies source into a file staged beside destination (XpStagedFile), then puts it in place
    // in one step, so an existing destination holds all its old content until it is replaced with
    // all the new one, and a destination that did not exist appears only complete: a process
    // killed at any moment leaves the whole old file, the whole new one, or nothing where nothing
    // was. When no file can be staged in the destination's folder (missing, not writable, full):
    // XPERR_FILE_FAILED, nothing touched. Without UI, every other failure (the source missing or
    // not a regular file, a folder at destination) is XPERR_FILE_COPY_FAILED, and the observer
    // (null: none) gets currentPath, destinationPath, statusFlag cleared and OnProgress(0.0), then
    // OnProgress(percent) after every piece of at most 8 MiB; true stops the copy with
    // XPERR_FILE_CANCELLED, nothing changed. With UI the copy is the file-manager copy of
    // CopyFile. LastError() tells the cause.
    static XpErr CopyFileSafely(const XpStringT<char>& source, const XpStringT<char>& destination,
                                bool withUI, IXpFileOpProgressObserver* observer);
    // Moves one file by paths: without UI moveFileWithoutUI; with UI a file-manager move into the
    // destination's folder (through a hidden folder beside it when the names differ, as for the
    // copy), renamed to the destination's name (moved back when that fails). The observer is not
    // used.
    static XpErr MoveFile(const XpStringT<char>& source, const XpStringT<char>& destination,
                          bool withUI, IXpFileOpProgressObserver* observer);
    // Copies (or moves) each file of the container, in order, into folder under its own name.
    // Without UI the first failure is returned at once and the files after it are left alone;
    // with UI the whole list is one file-manager request (copyFiles / moveFiles).
    template <class C>
    static int CopyFiles(const C& files, const XpStringT<char>& folder, bool withUI,
                         IXpFileOpProgressObserver* observer)
    {
        return copyMoveList(files, folder, withUI, observer, true);
    }
    template <class C>
    static int MoveFiles(const C& files, const XpStringT<char>& folder, bool withUI,
                         IXpFileOpProgressObserver* observer)
    {
        return copyMoveList(files, folder, withUI, observer, false);
    }
    // The copy and move without UI described above: 0, or XPERR_FILE_COPY_FAILED for any failure
    // (the move too), with the destination and the source as they were; XPERR_FILE_CANCELLED when
    // the copy's observer asks to stop (as for CopyFileSafely). The move does not use its observer.
    static XpErr copyFileWithoutUI(const XpStringT<char>& source,
                                   const XpStringT<char>& destination,
                                   IXpFileOpProgressObserver* observer);
    static XpErr moveFileWithoutUI(const XpStringT<char>& source,
                                   const XpStringT<char>& destination,
                                   IXpFileOpProgressObserver* observer);
    // The full result of the last copyFileWithoutUI, moveFileWithoutUI, CopyFileAt,
    // CopyFileSafely, MakeDir (and so MakeDirRecursively), removeFile, removeDir or RemoveDir on
    // the calling thread: the code it answered, with the errno value, the system call and the
    // path of the step that failed (see XpFileError). Success after a successful call. A volume
    // that is not available has no system cause (SysErr() 0). RemoveDir recursive names the
    // tree, not the entry that failed (its observer's currentPath does).
    static XpFileError LastError();
    // Linux: the copy without UI on folder descriptors, for a caller that walks a tree itself
    // (as `xpfs cp` does) and must not follow a path again for every file. Copies sourceName,
    // an entry of the folder open at sourceFolder, to destinationName in the folder open at
    // destinationFolder (either may be an O_PATH descriptor), with every rule of
    // copyFileWithoutUI: the source opened once without following a link and copied only when
    // it is a regular file, mode before data, holes kept, a replaced file's owner kept only when
    // it may read the source, a link at the destination replaced as a name. Both names are
    // single components (no '/', not "." or ".."). XPERR_OK or XPERR_FILE_COPY_FAILED. Several
    // threads may copy at once.
    //
    // Both this and the copy by paths write an unnamed file (O_TMPFILE) where the file system
    // allows, linked under its name when complete (through a hidden name and a rename when it
    // replaces a file): nobody can open it before, and a process killed meanwhile leaves
    // nothing behind. A file system or process that cannot do that (no O_TMPFILE, no /proc for
    // the link) gets the hidden name and the rename instead.
    static XpErr CopyFileAt(int sourceFolder, const char* sourceName, int destinationFolder,
                            const char* destinationName);
    // One file-manager request (AskFinder, replacing) for the whole list into folder.
    // XPERR_FILE_COPY_FAILED when it is refused. After an accepted move, a source that still
    // exists beside an equally large file of its name in folder (the agent copied it) is
    // removed, unless the two are one file.
    static XpErr copyFiles(const std::vector<XpStringT<char> >& files,
                           const XpStringT<char>& folder);
    // As copyFiles, for a move; XPERR_FILE_MOVE_FAILED when refused.
    static XpErr moveFiles(const std::vector<XpStringT<char> >& files,
                           const XpStringT<char>& folder);
    // Removes a directory: not recursive, one removeDir. Recursive, everything below it first, in
    // the order the folders list their entries, then the directory itself; the first failure
    // stops the removal (what was removed stays removed). Without an observer the removal runs on
    // the cores the process may use (up to four threads, which take the top folder's entries one
    // after another, each removed in that order below it): a failure in one stops the others at
    // their next entry, and is the result. A path whose last component is a
    // symbolic link is refused with XPERR_FILE_INVALID_PATH and nothing is removed; a folder that
    // cannot be listed gives XPERR_NO_MEMORY, as XpDir's StartEnum answers. With an observer:
    // when its totalCount is 0 it becomes the number of entries below the directory plus one;
    // before each entry is removed currentPath names it and OnProgress(0.0) is called (its
    // answer is not looked at), after it doneCount grows by one. The volume is tested once
    // (IsDeviceAvailable) before anything is removed. The removal never leaves the tree's own
    // mount: a folder inside on which another volume is mounted (a bind mount too) is not
    // entered, it stays with everything below it and the folders above it, the rest of the tree
    // is removed, and the result is XPERR_FILE_DIR_NOT_EMPTY; totalCount counts it as one entry.
    // Any depth is removed, on any thread: the walk keeps its place on the heap and holds a
    // bounded number of folders open, reopening a parent through ".." when it comes back; a
    // parent that is no longer the folder it left (moved meanwhile) stops the removal with
    // XPERR_FILE_REMOVE_FAILED.
    static XpErr RemoveDir(const XpStringT<char>& path, bool recursive,
                           IXpFileOpProgressObserver* observer);

private:
    // CreateNewFile with mode 0600: the name of a copy, private until it has its source's mode.
    static XpErr claimName(const XpStringT<char>& path);
    // Body of CopyFiles and MoveFiles.
    template <class C>
    static int copyMoveList(const C& files, const XpStringT<char>& folder, bool withUI,
                            IXpFileOpProgressObserver* observer, bool copy)
    {
        if (withUI) {
            std::vector<XpStringT<char> > list(files.begin(), files.end());
            return copy ? copyFiles(list, folder) : moveFiles(list, folder);
        }
        for (const auto& file : files) {
            XpStringT<char> f(file);
            XpStringT<char> target = XpPathUtil::Concatenate(folder, XpPathUtil::GetFileFullName(f));
            XpErr err = copy ? CopyFile(f, target, false, observer) : MoveFile(f, target, false, observer);
            if (err != XPERR_OK)
                return static_cast<int>(err);
        }
        return XPERR_OK;
    }

public:
    // ---- Creating, testing, making, joining, renaming and removing ----
    // Names these operations create on disk: temporary files "<prefix><n zero-padded><middle>
    // <suffix>", hidden writability probes ".%08x.tmp", trash names "name(n).ext". Every file
    // they create is created exclusively (O_CREAT|O_EXCL), so two callers, threads or processes,
    // never get one name, and no planted symbolic link is followed. MakeDir, removeFile, removeDir
    // and RenameFile first ask IsDeviceAvailable, so a path on a volume that is not mounted, or on
    // a network volume that does not answer within a second, is refused with
    // XPERR_FILE_DEVICE_NOT_AVAILABLE before anything is changed.

    // Creates an empty file that did not exist (mode 0666 less the umask). EACCES gives
    // XPERR_FILE_ACCESS_DENIED, EEXIST XPERR_FILE_EXISTS (also for any link already there),
    // EINVAL XPERR_FILE_INVALID_PARAM, EMFILE XPERR_FILE_TOO_MANY_OPEN, ENOSPC
    // XPERR_FILE_DISK_FULL, anything else XPERR_FILE_FAILED.
    static XpErr CreateNewFile(const XpStringT<char>& path);
    // Creates the first free empty file named prefix, n with `digits` zero-padded digits, middle,
    // suffix (null texts count as "") in folder, for n = 0, 1, ... Its path, or "" when digits is
    // 0 or no number up to 2147483647 gave a file. Only a taken name (XPERR_FILE_EXISTS) moves on
    // to the next number; any other failure (a missing folder, one the caller may not write, a
    // full or read-only volume) fails for every name alike and answers "" at once.
    static XpStringT<char> CreateTempFile(const XpStringT<char>& folder, const char* prefix,
                                          unsigned int digits, const char* middle,
                                          const char* suffix);
    // An existing file, not read-only, that can be opened for reading and writing and closed.
    static bool IsEnableReadWrite(const XpStringT<char>& path);
    // An existing directory in which a file can be created: creates and removes a hidden probe
    // .00000000.tmp (or the next free number). A probe already there that is a regular file,
    // not read-only, and opens for writing also proves it (it is opened, never created again); a
    // probe that is a link is passed over, and one that is a FIFO or device is never waited on.
    static bool IsDirWritable(const XpStringT<char>& folder);
    // The mount point of the volume holding path is an existing directory, asked with a one-second
    // time-out on a network volume (the call still returns only when that probe has ended). A path
    // whose volume is not mounted is not available; a relative path counts from the working
    // directory. For a path under a network mount point, the mount point comes from the mount
    // table, so that the question itself cannot hang.
    static bool IsDeviceAvailable(const XpStringT<char>& path);
    // Some file in path's folder, or below it, has a name that starts with path's name without
    // its extension (report.doc matches report.txt).
    static bool IsFileAvailableNoExt(const XpStringT<char>& path);
    // Writes the inputs one after another into output (created or truncated), 256 KiB at a time,
    // reporting each chunk to the observer (null: none), which may stop the work
    // (XPERR_FILE_CANCELLED). The output keeps what was written when the work stops or fails.
    static XpErr ConcatenateFiles(const std::vector<XpStringT<char> >& inputs,
                                  XpStringT<char> output, IXpFileOpProgressObserver* observer);
    // Moves from to to (a file, a link as the link, or a directory tree). Both volumes must be
    // available; from must exist and nothing, not even a dangling link, may be at to
    // (XPERR_FILE_OPEN_FAILED). Across volumes the object is copied to a hidden temporary name
    // beside to, put in place only when complete, and then removed from its old place; a failed
    // copy leaves from as it was and nothing at to. Other failures: XPERR_FILE_MOVE_FAILED.
    // Unlike the tests above, it takes any bytes a path may hold, also names that are not UTF-8
    // (such a path's volume is that of its longest leading run of whole UTF-8 components).
    static XpErr RenameFile(const char* from, const char* to);
    // unlink after the device test (a link is removed as the link). ENOENT gives
    // XPERR_FILE_NOT_FOUND, anything else XPERR_FILE_REMOVE_FAILED.
    static XpErr removeFile(const XpStringT<char>& path);
    // removeFile; the flag has no effect.
    static XpErr removeFileWithoutUI(const XpStringT<char>& path, bool withUI);
    // rmdir of an empty directory after the device test. EACCES and EROFS give
    // XPERR_FILE_ACCESS_DENIED, ENOTEMPTY XPERR_FILE_DIR_NOT_EMPTY, anything else
    // XPERR_FILE_REMOVE_FAILED.
    static XpErr removeDir(const XpStringT<char>& path);
    // toTrash false: removeFileWithoutUI of each path in order, stopping at the first failure.
    // toTrash true: every path is taken by its name in the first path's folder and moved to the
    // trash (XPERR_FILE_REMOVE_FAILED at the first one that cannot be). An empty list gives 0.
    static XpErr removeFiles(const std::vector<XpStringT<char> >& paths, bool toTrash);
    // Moves path to the freedesktop.org trash: the home trash ($XDG_DATA_HOME/Trash) when it is
    // on the same mount, else the mount's own $topdir/.Trash/$UID (when an administrator made
    // $topdir/.Trash, sticky and not a link) or $topdir/.Trash-$UID. A name already in the trash
    // becomes name(1).ext, name(2).ext, ... up to 99999. The information file is created first,
    // exclusively, so two processes never take one name. A link is trashed as the link. When
    // the mount has no usable trash the file is not copied to the home trash (that could fill
    // the home volume with a large tree): XPERR_FILE_REMOVE_FAILED, nothing moved.
    static XpErr removeFileToRecycleBin(const XpStringT<char>& path);

    // Sum of the sizes of the files (links followed); a file whose size cannot be read adds -1.
    static int64_t getTotalSize(const std::vector<XpStringT<char> >& files);

private:
    // Which operation's rules turn an errno value into a result code.
    enum ErrnoRule { errCreateFile, errMakeDir, errRemoveFile, errRemoveDir, errRename };
    // The one errno translator of these operations; path is the operation's path, which some
    // rules of MakeDir look at again.
    static XpErr getXpErr(int err, ErrnoRule rule, const XpStringT<char>& path);
};

/** \} */

#endif
