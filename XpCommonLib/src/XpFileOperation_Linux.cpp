// Platform half of the file operations on Linux: the existence tests.
//
// One stat(2) stands for the platform's "exists, and is it a directory" request; it follows
// symbolic links, so a link to a directory is a directory and a dangling link does not exist.
// Paths travel as UTF-8. A text that is not valid UTF-8 could not be made into a platform string
// where the library came from, and so counts as not existing here as well, even when the bytes
// would name a file to the kernel: the answer must not depend on the platform.
#include <XpFileOperation.h>

#include <sys/stat.h>

namespace {

// stat of a path that could be a platform string; false for "" and invalid UTF-8.
bool statPath(const XpStringT<char>& path, struct stat* st)
{
    const char* text = path.GetBuffer();
    if (path.IsEmpty() || !XpPlatformString::IsValidUTF8(text, static_cast<size_t>(path.Length())))
        return false;
    // EINTR cannot happen for stat on Linux (it is not a slow call); every other failure means
    // "cannot be reached", which the caller sees as "does not exist".
    return stat(text, st) == 0;
}

} // namespace

bool XpFileOperation::IsPathAvailable(const XpStringT<char>& path, bool* isDirectory)
{
    struct stat st;
    bool exists = statPath(path, &st);
    if (isDirectory != nullptr)
        *isDirectory = exists && S_ISDIR(st.st_mode);
    return exists;
}

bool XpFileOperation::IsDirAvailable(const XpStringT<char>& path)
{
    bool isDirectory = false;
    return IsPathAvailable(path, &isDirectory) && isDirectory;
}

bool XpFileOperation::IsFileAvailable(const XpStringT<char>& path)
{
    bool isDirectory = false;
    return IsPathAvailable(path, &isDirectory) && !isDirectory;
}
