// XpFileOperation: static file operations of the library.
//
// Existence tests: the library's one way of asking whether a path exists and whether it is a
// directory. Each is one stat(2) of the path's UTF-8 text, following symbolic links (a link to a
// directory is a directory, a dangling link does not exist). The empty path and a path whose text
// is not valid UTF-8 count as not existing. They keep no state and may run on any thread.
#ifndef XPFILEOPERATION_H
#define XPFILEOPERATION_H

#include <XpCommonLib.h>
#include <XpString.h>

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
    // XPERR_FILE_EXISTS when something exists at path (a symbolic link is not followed),
    // XPERR_FILE_PARENT_NOT_FOUND when the containing directory is missing,
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
};

#endif
