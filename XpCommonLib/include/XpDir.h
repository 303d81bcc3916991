// XpDir: a directory of the file system, enumerated one entry at a time.
//
// Enumeration: StartEnum, then EnumNext until it gives an empty pointer, then FinishEnum. Every
// entry comes as a new XpDir (a directory) or XpFile (anything else) with the full path, and is
// offered to the filter with its path relative to the enumerated directory ("sub/b.txt"). A
// directory that the filter takes is delivered and not entered; one that it rejects is entered
// at once, so with enumFiles alone every file of the tree is delivered. Entries come in the order
// the file system lists them, unsorted, hidden ones included; "." and ".." never.
//
// On Linux:
// - The walk reads each directory through a descriptor opened relative to its parent
//   (openat with O_NOFOLLOW | O_DIRECTORY) and takes the kind from readdir's d_type (fstatat
//   where the file system gives none). A symbolic link, to a directory too, is a file and is
//   never followed, so link loops and links to / cannot make the walk leave the tree or repeat.
//   The directory itself is opened by its path: a link given as the directory is followed.
// - A sub-folder that cannot be opened (no permission, removed meanwhile, no descriptor left for
//   a tree deeper than the process's descriptor limit) is skipped; the rest of the walk goes on.
//   An entry removed while the walk runs is delivered if the file system still listed it.
// - Names are the bytes the file system holds: names with newlines or bytes that are not valid
//   UTF-8 are delivered unchanged (the entries can be opened, sized and removed by them), and
//   name patterns compare bytes.
// - Dates: as XpFile (statx birth time, or the modification time where the file system records
//   none; utimensat, never through a link). GetDateTime refuses a path that is not valid UTF-8
//   with XPERR_NO_MEMORY, as no platform string can be made of it, and answers
//   XPERR_PATH_UNRESOLVED when the path cannot be resolved.
#ifndef XPDIR_H
#define XPDIR_H

#include "XpAbstractDir.h"

/** \addtogroup files
    \{ */

struct _XpDirEnumState;

// A folder on disk, named by its path.
class XP_API XpDir : public XpAbstractDir {
public:
    // A directory object for path; nothing is read from the file system.
    explicit XpDir(const XpStringT<char>& path);
    // Ends a running enumeration.
    ~XpDir() override;

    // Ends a running enumeration, then stores the path. XPERR_OK.
    XpErr SetPath(const XpStringT<char>& path);

    // The directory's name (GetFileName of the path).
    XpStringT<char> GetVisibleName() const override;
    XpErr GetDateTime(XpDateTime* creation, XpDateTime* lastModified,
                      XpDateTime* lastAccess) const override;
    // As XpFile::SetDateTime.
    XpErr SetDateTime(const XpDateTime* creation, const XpDateTime* lastModified,
                      const XpDateTime* lastAccess) override;
    bool IsReadOnly() const override;
    bool IsHidden() const override;

    // XPERR_NO_MEMORY when the directory cannot be opened for listing (missing, not a
    // directory, unreadable) or no memory is left; the directory is then idle.
    XpErr StartEnum(enumType type, const XpStringT<char>& pattern) const override;
    // Empty at the end (the enumeration stays started) and when none runs.
    XpSharedPtr<XpAbstractFSObj> EnumNext() const override;
    XpErr FinishEnum() const override;
    // The size in bytes of the entry that EnumNext delivered last, read with one fstatat on the
    // descriptor of the folder that lists it, links followed as XpFile::GetSize follows them (a
    // walk that sizes every entry pays no path lookup, open or close per entry). -1 when it cannot
    // be read, when nothing was delivered since StartEnum, and once the enumeration has ended.
    // For a delivered directory it is the folder's own size field, not GetSize's sum below it.
    int64_t GetEnumEntrySize() const;

private:
    mutable _XpDirEnumState* enumState;
};

/** \} */

#endif
