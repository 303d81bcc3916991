// Internal: descriptor-based tree copy, move and removal, and the freedesktop.org trash, shared by
// RenameFile, the trash operations, the file-manager agent and the copy by paths. Every function
// works relative to open directory descriptors and never follows a symbolic link below them: a
// link is copied, moved, trashed or removed as the link. Results are 0 or an errno value.
#ifndef _XPFILEOPERATIONSUB_LINUX_H
#define _XPFILEOPERATIONSUB_LINUX_H

#include <XpFileOperation.h>
#include <XpString.h>

#include "_XpTreeRemover_Linux.h"

#include <string>
#include <sys/stat.h>

class _XpFileOperationSub_Linux {
public:
    // Copies the object srcName of srcDir (a regular file, a link, or a directory with all it
    // holds) to dstName in dstDir, which must not exist. Mode, times and, for root, the owner are
    // kept. Other kinds of objects (FIFOs, devices, sockets) are refused with EINVAL, never
    // opened. On failure whatever was made at dstName is removed again.
    static int CopyTreeAt(int srcDir, const char* srcName, int dstDir, const char* dstName);
    // The copy of one regular file, for the trees above and for the copy by paths. Opens name
    // in dir (flags added: O_NOFOLLOW or not) for reading a regular file, with O_NONBLOCK so
    // that a FIFO or device planted there is never waited on, and checks its type on the
    // descriptor. The descriptor with *st filled, or -1 with errno set: EISDIR for a directory,
    // EINVAL for any other kind that is not a regular file.
    static int OpenRegularAt(int dir, const char* name, int flags, struct stat* st);
    // Fills `out` (taken over), an empty file just created exclusively as name in dir, with the
    // regular file open at `in` (described by st), and closes it: the data copied in the kernel,
    // then the owner of `owner` when not null, st's permission bits under modeMask, st's access
    // and modification times, fsync when durable; the close's own result counts. 0, or an errno
    // value with name removed again.
    static int FillCopyAt(int in, const struct stat& st, int dir, const char* name, int out,
                          mode_t modeMask, const struct stat* owner, bool durable);
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

#endif
