// XpAbstractDir: a directory that lists its entries one at a time, filtered by kind and by a name
// pattern, handing out each entry as a new XpDir or XpFile in an XpSharedPtr. On top of the
// listing it counts the objects below it and adds up the sizes of its files.
#ifndef XPABSTRACTDIR_H
#define XPABSTRACTDIR_H

#include "XpAbstractFSObj.h"
#include "XpSharedPtr.h"

/** \addtogroup files
    \{ */

// A folder: enumeration of its entries, as XpSharedPtr-owned file-system objects.
class XP_API XpAbstractDir : public XpAbstractFSObj {
public:
    // Enumeration filter, combined with '|'. Kinds: a directory is delivered only with
    // enumDirectories, anything else (symbolic links to directories too) only with enumFiles.
    // Name tests, of which only the first one set in this order applies, compare bytes exactly
    // with the entry's path relative to the enumerated directory.
    enum enumType : uint32_t {
        enumDirectories = 0x1,
        enumFiles = 0x2,
        enumNameEquals = 0x100,
        enumNameStartsWith = 0x200,
        enumNameEndsWith = 0x400,
    };
    // Combines filters: one kind or both, and a name test.
    friend enumType operator|(enumType a, enumType b)
    {
        return static_cast<enumType>(static_cast<uint32_t>(a) | static_cast<uint32_t>(b));
    }

    // Filter enumDirectories | enumFiles, empty pattern.
    XpAbstractDir();
    ~XpAbstractDir() override;

protected:
    // Starts with the given identifier (see XpAbstractFSObj).
    explicit XpAbstractDir(const XpStringT<char>& id);

public:

    // The sum of the sizes of all files below the directory (entries whose size cannot be read
    // are left out); -1 when the directory cannot be enumerated. Ends a running enumeration.
    int64_t GetSize() const override;
    bool IsFile() const override { return false; }
    bool IsDir() const override { return true; }

    // Starts listing with a kind filter and a pattern (ending a running enumeration first).
    virtual XpErr StartEnum(enumType type, const XpStringT<char>& pattern) const = 0;
    // The next entry that passes the filter, or an empty pointer at the end or when no
    // enumeration runs.
    virtual XpSharedPtr<XpAbstractFSObj> EnumNext() const = 0;
    // Ends the enumeration; XPERR_FILE_INVALID_PATH when none runs.
    virtual XpErr FinishEnum() const = 0;
    // Entries directly in the directory, or with recursive all entries below it; 0 when it
    // cannot be enumerated. Ends a running enumeration.
    virtual int64_t GetCountOfObjects(bool recursive);
    // The filter of the running enumeration for one entry (name relative to the directory).
    virtual bool isMatchEnumCondition(bool isDirectory, const char* name) const;

protected:
    // The running enumeration's filter; set by StartEnum, which is const.
    mutable enumType enumFlags;
    mutable XpStringT<char> pattern;
    mutable int32_t patternLength;
};

/** \} */

#endif
