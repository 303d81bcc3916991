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
};

#endif
