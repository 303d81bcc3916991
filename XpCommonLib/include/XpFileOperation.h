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
