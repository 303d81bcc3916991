// Platform half of XpDir on Linux: the walk and the dates.
//
// What stands in for the platform's directory enumerator: a depth-first walk of our own over
// directory descriptors. Each sub-folder is opened relative to its parent's descriptor with
// O_NOFOLLOW | O_DIRECTORY, so a link (or a folder swapped for a link while we walk) is never
// followed, and the walk cannot leave the tree. Kinds come from d_type, so listing a folder costs
// no stat per entry, as with find(1); fstatat asks only where the file system leaves d_type
// unknown. Entering a folder right after it was offered gives the platform's order: a folder's
// entries follow the folder. "Skip descendants" is simply not entering a delivered folder.
#include <XpDir.h>
#include <XpFile.h>
#include <XpPathUtil.h>

#include "_XpFileSub.h"
#include "_XpFd_Linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

// The running enumeration: one open directory stream per level of the walk.
struct _XpDirEnumState {
    struct Level {
        DIR* dir;
        size_t prefixLength;   // bytes of `relative` that name this level's folder ("sub/")
    };
    std::vector<Level> levels;
    XpStringT<char> baseOf; // the identifier that base was made from
    std::string base;       // the directory's path as Concatenate starts it (with one '/')
    std::string relative;   // relative path of the entry being looked at
    std::string full;       // base + relative, kept to reuse its storage

    ~_XpDirEnumState()
    {
        for (Level& level : levels)
            closedir(level.dir);   // read-only streams: closing cannot lose anything
    }
};

namespace {

// Whether the entry is a directory; false with gone set when it vanished before we could ask.
bool isDirectoryEntry(DIR* dir, const struct dirent* entry, bool& gone)
{
    gone = false;
    if (entry->d_type != DT_UNKNOWN)
        return entry->d_type == DT_DIR;
    struct stat st;
    if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        gone = true;
        return false;
    }
    return S_ISDIR(st.st_mode);
}


} // namespace

XpErr XpDir::StartEnum(enumType type, const XpStringT<char>& namePattern) const
{
    FinishEnum();
    enumFlags = type;
    pattern = namePattern;
    patternLength = namePattern.Length();
    _XpDirEnumState* state = new (std::nothrow) _XpDirEnumState;
    if (state == nullptr)
        return XPERR_NO_MEMORY;
    DIR* top = _XpOpenDirStream(_XpOpenAt(AT_FDCWD, GetIdentifier().GetBuffer(), O_RDONLY | O_DIRECTORY));
    if (top == nullptr) {
        delete state;
        return XPERR_NO_MEMORY;
    }
    try {
        state->levels.push_back({top, 0});
    } catch (const std::bad_alloc&) {
        closedir(top);
        delete state;
        return XPERR_NO_MEMORY;
    }
    enumState = state;
    return XPERR_OK;
}

XpSharedPtr<XpAbstractFSObj> XpDir::EnumNext() const
{
    _XpDirEnumState* state = enumState;
    while (state != nullptr && !state->levels.empty()) {
        DIR* dir = state->levels.back().dir;
        size_t prefixLength = state->levels.back().prefixLength;
        const struct dirent* entry = readdir(dir);
        if (entry == nullptr) {   // the end, or a read error: either way this folder is done
            closedir(dir);
            state->levels.pop_back();
            continue;
        }
        const char* name = entry->d_name;
        if (_XpIsDotOrDotDot(name))
            continue;
        bool gone;
        bool isDirectory = isDirectoryEntry(dir, entry, gone);
        if (gone)
            continue;
        std::string& relative = state->relative;
        relative.resize(prefixLength);
        relative += name;
        if (isMatchEnumCondition(isDirectory, relative.c_str())) {
            // Concatenate(identifier, relative) is a base followed by the relative path, which
            // never starts with '/'. The base is made again only when SetIdentifier has changed
            // the path since the last entry: entries are named under the current path.
            if (state->base.empty() || state->baseOf != GetIdentifier()) {
                state->baseOf = GetIdentifier();
                state->base = XpPathUtil::Concatenate(state->baseOf, "").GetBuffer();
            }
            std::string& fullText = state->full;
            fullText.assign(state->base).append(relative);
            XpStringT<char> full(fullText.c_str());
            if (isDirectory)
                return XpSharedPtr<XpDir>(new XpDir(full));
            return XpSharedPtr<XpFile>(new XpFile(full));
        }
        if (isDirectory) {
            DIR* sub = _XpOpenDirStream(_XpOpenAt(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
            if (sub != nullptr) {   // a folder we cannot open is skipped
                relative += '/';
                state->levels.push_back({sub, relative.size()});
            }
        }
    }
    return XpSharedPtr<XpAbstractFSObj>();
}

// Nothing changes the state between a delivery and the next EnumNext, so the last delivered entry
// is still described by it: it was listed by the innermost open level (a delivered folder is not
// entered), and its name is what follows that level's prefix in `relative`.
int64_t XpDir::GetEnumEntrySize() const
{
    const _XpDirEnumState* state = enumState;
    if (state == nullptr || state->levels.empty())
        return -1;
    const _XpDirEnumState::Level& level = state->levels.back();
    if (state->relative.size() <= level.prefixLength)
        return -1;   // nothing delivered yet
    struct stat st;
    if (fstatat(dirfd(level.dir), state->relative.c_str() + level.prefixLength, &st, 0) != 0)
        return -1;
    return static_cast<int64_t>(st.st_size);
}

XpErr XpDir::FinishEnum() const
{
    if (enumState == nullptr)
        return XPERR_FILE_INVALID_PATH;
    delete enumState;
    enumState = nullptr;
    return XPERR_OK;
}

XpErr XpDir::GetDateTime(XpDateTime* creation, XpDateTime* lastModified, XpDateTime* lastAccess) const
{
    XpStringT<char> path = GetIdentifier();
    if (!XpPlatformString::IsValidUTF8(path.GetBuffer(), static_cast<size_t>(path.Length())))
        return XPERR_NO_MEMORY;
    return _XpFileSub::ReadDates(path.GetBuffer(), creation, lastModified, lastAccess)
               ? XPERR_OK : XPERR_PATH_UNRESOLVED;
}

XpErr XpDir::SetDateTime(const XpDateTime* creation, const XpDateTime* lastModified,
                         const XpDateTime* lastAccess)
{
    return _XpFileSub::SetDates(GetIdentifier().GetBuffer(), creation, lastModified, lastAccess);
}
