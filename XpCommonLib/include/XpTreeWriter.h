// XpTreeWriter and XpTreeCopy: the library's one way to copy a tree, with the rules of cp -a
// written once.
//
// XpTreeWriter is the destination side: it is handed entries (folders, files, links) with the
// attributes they had at the source and writes them into folders given as descriptors. It needs
// no source tree: a file's data comes from any descriptor, a pipe too, so that a process that
// receives a tree over a pipe writes it with the same rules as a local copy. XpTreeCopy walks a
// source tree on descriptors and feeds a writer, with worker threads where they pay.
//
// The rules, applied by the writer alone:
// - Owner. Ownership ownKept: an entry gets its source's owner and group where the caller may
//   give them (root); any other caller's copies are its own, as the kernel makes them.
//   Ownership ownCaller: copies are the caller's (a file that replaces a regular file keeps that
//   file's owner when root copies and that owner may read the source, as the copy by paths does
//   it). Files, folders and links follow the same rule; a move across volumes uses ownKept.
// - Mode: the source's permission bits (07777), given to a file before its first byte is written
//   and to a folder when it is closed (a folder stays 0700 while it fills, so nobody works in it
//   meanwhile). The set-user-id and set-group-id bits are dropped whenever the copy's owner or
//   group differs from the source's, for files and folders alike: a copy must never hand a
//   program or a shared folder's group to someone its owner did not choose.
// - Dates: access and modification times, set after the data (writing changes them); a folder's
//   when it is closed, after all it holds is in.
// - Data: a file is staged (XpStagedFile) and put in place only when complete. A regular source
//   is copied in the kernel with its holes kept; any other descriptor (a pipe, a socket) is read
//   for exactly the size given, in bounded memory, and a stream that ends early fails the file
//   (XPERR_FILE_END_OF_FILE with SysErr() EPIPE): nothing is placed.
// - Existing names: a file or link replaces a regular file or symbolic link of its name in one
//   step (rename); a folder there is never replaced (XPERR_FILE_EXISTS, SysErr() EISDIR). A folder
//   is made, or entered when a folder of its name is there already (a copy run twice merges); a
//   symbolic link or anything else where a folder is expected is refused (SysErr() ELOOP or
//   ENOTDIR), never followed, so nothing is ever written where a planted link leads.
// - Links are made as links, under a hidden name (".xpcopy-XXXXXXXX.tmp", as XpStagedFile's)
//   and renamed into place, so a copy made again replaces the links of the first one.
// - Kinds other than files, folders and links (FIFOs, devices, sockets) are not copied: the walk
//   reports them (XPERR_FILE_NOT_SUPPORTED) and goes on.
//
// Errors follow the convention of XpFd.h; Path() of a failure is the entry's path as the caller
// names it. A writer holds no state but its options: one may be used by several threads at once,
// each on its own folders.
#ifndef XPTREEWRITER_H
#define XPTREEWRITER_H

#include "XpFd.h"
#include "XpFileOperation.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

/** \addtogroup fileoperations
    \{ */

// What a copy takes over from its source entry.
struct XP_API XpTreeEntry {
    mode_t mode = 0;            // the kind (S_IFREG, S_IFDIR, S_IFLNK) and the permission bits
    uid_t owner = 0;            // the source's owner
    gid_t group = 0;            // the source's group
    struct timespec accessed = {0, UTIME_OMIT};   // futimens' format: UTIME_OMIT keeps the copy's
    struct timespec modified = {0, UTIME_OMIT};   // the same for the modification time
    int64_t size = 0;           // a file's length in bytes (what is read from a stream)

    // The entry as fstat or fstatat described it.
    static XpTreeEntry FromStat(const struct stat& st);
};

// An observer of a tree copy: progress and cancellation as for the other file operations, and
// each entry that failed, as it fails.
class XP_API IXpTreeCopyObserver : public IXpFileOpProgressObserver {
public:
    // An entry could not be copied: error names the cause and, in Path(), the entry. The copy
    // goes on with the next entry. Calls never overlap (see XpTreeCopy).
    virtual void OnEntryFailed(const XpFileError& error) = 0;
};

// The destination side of a tree copy (see the top of this file).
class XP_API XpTreeWriter {
public:
    // Who owns the copies (see the top).
    enum Ownership {
        ownKept,     // the source's owner where the caller may give it (root), else the caller's
        ownCaller    // the caller's (a replaced file may keep its owner, see the top)
    };

    // A writer that gives copies their owners by ownership.
    explicit XpTreeWriter(Ownership ownership = ownKept) : ownership_(ownership) {}

    // The rule given at construction.
    Ownership GetOwnership() const { return ownership_; }

    // Makes the folder name (a single component) in the folder open at parent, mode 0700 and
    // the caller's, or enters the folder of that name that is there already; *folder receives it
    // open (O_RDONLY|O_DIRECTORY, never through a link). Give it its attributes with CloseFolder
    // once all it holds is in. Failures: XPERR_FILE_INVALID_PARAM for a bad name;
    // XPERR_FILE_ACCESS_DENIED (EACCES, EPERM, EROFS), XPERR_FILE_DISK_FULL (ENOSPC, EDQUOT),
    // XPERR_FILE_MAKE_DIR_FAILED (anything else, ELOOP or ENOTDIR for a link or file there).
    XpFileError OpenFolder(int parent, const char* name, XpFd* folder) const;
    // Gives the folder open at folder entry's owner (by the rule of the writer), mode (set-id
    // bits as the owner allows) and dates. XPERR_FILE_SET_ATTRIBUTE_FAILED on failure.
    XpFileError CloseFolder(int folder, const XpTreeEntry& entry) const;

    // Adds the file name (a single component) to the folder open at folder, with entry's
    // attributes, its data read from data: a regular file is copied whole from offset 0 (its
    // position untouched); any other descriptor is read from where it stands for exactly
    // entry.size bytes (waiting for a non-blocking one), and left just after them. The file is put in place only when complete
    // (see the top for what it replaces). The observer (null: none) gets percent and
    // OnProgress before the first byte and after each piece of data (its other fields are the
    // caller's); a true answer stops with XPERR_FILE_CANCELLED and nothing placed (a stream is
    // then left inside the file's data).
    XpFileError AddFile(int folder, const char* name, const XpTreeEntry& entry, int data,
                        IXpFileOpProgressObserver* observer) const;
    // Adds the symbolic link name to the folder open at folder, pointing at target (kept as it
    // is, never resolved), with entry's owner (by the rule of the writer) and dates; it replaces
    // a file or link of that name, never a folder.
    XpFileError AddLink(int folder, const char* name, const char* target, const XpTreeEntry& entry) const;

private:
    Ownership ownership_;
};

// How an XpTreeCopy runs.
struct XP_API XpTreeCopyOptions {
    // Who owns the copies (XpTreeWriter::Ownership).
    XpTreeWriter::Ownership ownership = XpTreeWriter::ownKept;
    // Threads that copy files besides the walk: -1 chooses (as many as the cores this process
    // may run on, at most 4, none on a single core); 0 copies every file on the calling thread,
    // in the walk's order (what an observer that draws each file wants); at most 16.
    int workers = -1;
    // false: the observer hears of failed entries only, never of progress (and cannot stop the
    // copy), which spares a copy of many small files a lock per file.
    bool progress = true;
    // true: every copy gets its source's permission bits (cp -a, cp -p). false, the copies of
    // cp without -p: a new file, folder or link gets its source's permission bits less
    // newModeMask; a file that replaces a regular file, and a folder that was there already,
    // keep their own.
    bool keepMode = true;
    // The bits cleared from a new copy's mode when keepMode is false: the set-id bits (which cp
    // drops); the caller adds its file-creation mask (umask).
    mode_t newModeMask = S_ISUID | S_ISGID;
    // true: copies get their source's access and modification times; false: the time they are
    // written (cp without -p).
    bool keepTimes = true;
    // What becomes of a file or link whose name is taken at the destination by anything but a
    // folder (a folder there is entered, and a file never replaces it): it is replaced (cp), kept
    // (cp -n), or replaced only by a source modified later than it (cp -u). A kept entry is no
    // failure and is not copied.
    enum Existing { existingReplaced, existingKept, existingReplacedWhenOlder };
    // The rule above that this copy follows.
    Existing existing = existingReplaced;
    // Asked, after the rule above let an entry through, before a file or link replaces what is
    // there: false keeps it (cp -i). Called with the entry's path as failures name it, never two
    // calls at once. Empty: not asked.
    std::function<bool(const char* shown)> askReplace;
    // Told of each entry once it is in place (a file or link written, a folder made or entered,
    // before what it holds), with its path as failures name it, never two calls at once (cp -v).
    std::function<void(const char* shown)> placed;
};

// A copy of trees as cp -a makes it: the walk opens every source folder relative to its parent
// without following a link (openat O_NOFOLLOW|O_DIRECTORY) and feeds an XpTreeWriter; files
// go to worker threads in batches of one folder's files, and a folder gets its attributes once
// all it holds is in. A symbolic link is copied as a link, never followed, so a tree copied as
// root never pulls in what a link points to outside it. Another file system mounted inside the
// source tree is copied like any folder (as cp -a without -x does); a folder reached again (a
// destination inside the source) is not copied into itself.
//
// A failed entry is reported to the observer's OnEntryFailed as it fails, and the copy goes on
// with the next entry; a folder that cannot be made or opened is reported once and not entered.
// The observer's OnProgress is called for each file as its data goes (currentPath: the file as
// failures name it, doneCount: the files copied so far, percent: of this file); a true answer
// stops the copy (XPERR_FILE_CANCELLED): the file under way is not placed, what was placed
// stays. Observer calls come from the walk's thread and the workers, never two at once.
class XP_API XpTreeCopy {
public:
    // A copy run by options, reporting to observer (null: none).
    explicit XpTreeCopy(const XpTreeCopyOptions& options = XpTreeCopyOptions(),
                        IXpTreeCopyObserver* observer = nullptr);
    // Waits for every file handed to a worker (as Finish).
    ~XpTreeCopy();
    XpTreeCopy(const XpTreeCopy&) = delete;
    XpTreeCopy& operator=(const XpTreeCopy&) = delete;

    // Copies the entry sourceName of the folder open at sourceFolder (a file, a link, or a
    // folder with all it holds) to destinationName in the folder open at destinationFolder.
    // shown is how failures name the entry (null: sourceName); the paths below it are made by
    // appending "/" and names. Files may still be under way in workers on return: the answer is
    // the first failure the walk met (or OK); Finish tells the whole result. The descriptors are
    // the caller's and must stay open until Finish.
    XpFileError Copy(int sourceFolder, const char* sourceName, int destinationFolder,
                     const char* destinationName, const char* shown = nullptr);
    // Waits for every file and folder under way; the first failure of all Copy calls since the
    // last Finish (or OK). The copy can be used again afterwards.
    XpFileError Finish();
    // How many entries failed since the copy was made.
    int64_t FailedCount() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

/** \} */

#endif
