// Internal: descriptor-based tree copy, move and removal, and the freedesktop.org trash, shared by
// RenameFile, the trash operations, the file-manager agent and the copy by paths. Every function
// works relative to open directory descriptors and never follows a symbolic link below them: a
// link is copied, moved, trashed or removed as the link. Results are 0 or an errno value.
#ifndef _XPFILEOPERATIONSUB_LINUX_H
#define _XPFILEOPERATIONSUB_LINUX_H

#include <XpAbstractFile.h>
#include <XpFileOperation.h>
#include <XpString.h>

#include "_XpFd_Linux.h"
#include "_XpTreeRemover_Linux.h"

#include <string>
#include <sys/stat.h>

class _XpFileOperationSub_Linux {
public:
    // Copies the object srcName of srcDir (a regular file, a link, or a directory with all it
    // holds) to dstName in dstDir, which must not exist (EEXIST), by the library's tree copy
    // (XpTreeWriter.h: owners kept where the caller may give them, set-id bits only with them).
    // Other kinds of objects (FIFOs, devices, sockets) are refused with EINVAL, never opened. On
    // failure whatever was made at dstName is removed again.
    static int CopyTreeAt(int srcDir, const char* srcName, int dstDir, const char* dstName);
    // The copy of one regular file, for the trees above and for the copy by paths. Opens name
    // in dir (flags added: O_NOFOLLOW or not) for reading a regular file, with O_NONBLOCK so
    // that a FIFO or device planted there is never waited on, and checks its type on the
    // descriptor. The descriptor with *st filled, or -1 with errno set: EISDIR for a directory,
    // EINVAL for any other kind that is not a regular file.
    static int OpenRegularAt(int dir, const char* name, int flags, struct stat* st);
    // Copies the whole regular file open at in (described by st) into out, which is empty, at
    // the same offsets, in the kernel where it can (copy_file_range, sendfile, read/write), the
    // holes of a sparse source kept. The observer (null: none) gets percent and OnProgress at
    // 0 and after every piece of at most 8 MiB; ECANCELED when it asks to stop. 0 or an errno
    // value.
    static int CopyData(int in, const struct stat& st, int out, IXpFileOpProgressObserver* observer);
    // Whether a regular file has fewer blocks than its length needs: it holds holes, which a
    // copy keeps (the test cp makes before it looks for data with SEEK_DATA).
    static bool IsSparse(const struct stat& st);
    // Whether a file that exists (described by existing) may keep its owner and group when a copy
    // of source takes its place: its owner may read source (is source's owner or root, or
    // source's mode lets that user read it) and the members of its group may (same group, or
    // source's mode lets everyone read it, or gives its group nothing). Otherwise the copy must
    // belong to the caller, or root would hand root-only data to whoever planted that file.
    static bool OwnerMayRead(const struct stat& existing, const struct stat& source);
    // Makes a hidden folder (TemporaryName, mode 0700) in folder, where a copy or a move with UI
    // is put first, so that it never takes the place of anything that is already there; its
    // path, or "" (errno set) when none can be made. The search stops at the first failure that
    // is not EEXIST.
    static XpStringT<char> MakeStagingFolder(const XpStringT<char>& folder);
    // Removes a folder made by MakeStagingFolder: with all it holds (a copy that failed), or only
    // when empty (a move, whose item must never be lost).
    static void RemoveStagingFolder(const XpStringT<char>& path, bool withContents);
    // A hidden name for a copy under way beside its destination: ".xpcopy-", eight hexadecimal
    // digits, ".tmp", chosen anew on each call. The caller creates it exclusively and asks again
    // on EEXIST.
    static std::string TemporaryName();
    // Removes the object name of dir and, for a directory, everything below it (see
    // _XpTreeRemover_Linux; a failure does not stop the removal of the rest, and the first one
    // that left something behind is returned; another mount inside stays, with ENOTEMPTY).
    static int RemoveTreeAt(int dir, const char* name);
    // Copies srcName to a hidden temporary name made exclusively in dstDir, then renames it to
    // dstName: without `replace` only when nothing is there, with `replace` over what is there
    // (an existing directory is exchanged atomically and then removed). dstName shows either
    // the old object or the complete copy, never a part.
    static int PlaceCopyAt(int srcDir, const char* srcName, int dstDir, const char* dstName,
                           bool replace);
    // Moves srcName to dstName as PlaceCopyAt places it; on one volume by rename, across volumes
    // by PlaceCopyAt and then removal of the source (which stays whole when the copy fails).
    static int MoveAt(int srcDir, const char* srcName, int dstDir, const char* dstName,
                      bool replace);
    // Whether the two paths name one object, links followed (false when either is missing).
    static bool SameObject(const XpStringT<char>& a, const XpStringT<char>& b);
    // rename that never replaces: EEXIST when anything, even a dangling link, is at dstName.
    static int RenameNoReplaceAt(int srcDir, const char* srcName, int dstDir, const char* dstName);
    // Opens the directory holding path's last component (links in the folder part followed) and
    // gives that component; EINVAL for "", "/", "." and "..".
    static int OpenParent(const char* path, int* dirFd, std::string* name);

    // The home trash folder ($XDG_DATA_HOME/Trash, default ~/.local/share/Trash), created with
    // its files/ and info/ folders when missing; "" when it cannot be found or made.
    static XpStringT<char> HomeTrashPath();
    // Moves path to the trash (see XpFileOperation::removeFileToRecycleBin).
    static int Trash(const XpStringT<char>& path);
};

// What the stream copy (XpFileOperation::CopyFile with a source object) checks and does on the
// descriptors of its XpFile objects. A source of another class has no descriptor: it is read as
// it comes, and nothing is checked.
class _XpStreamCopy_Linux {
public:
    // Looks at the open source's descriptor once.
    explicit _XpStreamCopy_Linux(const XpAbstractFile& source);
    // XPERR_FILE_INVALID_PARAM when the source's descriptor is not a regular file (a device such
    // as /dev/zero, a FIFO, reached through a link swapped in for the file), else XPERR_OK.
    XpErr CheckSource() const;
    // XPERR_FILE_ACCESS_DENIED when the existing regular file at path (a link is not followed)
    // belongs to someone else who may not read the source (OwnerMayRead): the copy would be
    // written into it in place. XPERR_OK otherwise.
    XpErr CheckDestinationPath(const XpStringT<char>& path) const;
    // Creates a missing destination empty, exclusively and readable by the caller alone (0600),
    // so that nobody can open it before it has the source's mode; nothing when something is
    // there. True when it was created here.
    bool ClaimNew(const XpStringT<char>& path) const;
    // The same check on the open destination's descriptor, for a file put there meanwhile.
    XpErr CheckDestination(const XpAbstractFile& target) const;
    // Gives a regular destination the source's permission bits (no set-id bits), before any data
    // is written. Someone else's file whose mode the caller may not change keeps it.
    XpErr ApplyMode(const XpAbstractFile& target) const;
    // Whether the source holds holes, which the copy then keeps.
    bool Sparse() const { return query_.Get() >= 0; }
    // From position pos of a sparse source: the next data at *next (>= pos), *length bytes of it.
    // False when nothing but a hole follows; *next is then the end of the source.
    bool NextData(int64_t pos, int64_t* next, int64_t* length) const;
    // Lengthens the destination (its buffered data written first) to length, for a source that
    // ends in a hole. 0 or an errno value.
    int Lengthen(XpAbstractFile& target, int64_t length) const;

private:
    int source_ = -1;
    struct stat st_;
    // A descriptor of its own on the source, whose position the hole search may move without
    // disturbing the source's stream.
    XpFd query_;
};

#endif
