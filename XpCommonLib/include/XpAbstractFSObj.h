// XpAbstractFSObj: the root of the library's file-system objects. Files (XpAbstractFile, XpFile)
// and directories (XpAbstractDir, XpDir) share it, so that code which walks directories or copies
// data can ask any entry for its path, visible name, size, dates and attributes.
//
// Dates are local times of the process's time zone and come in the order creation, last
// modification, last access; a null pointer skips a date. Sizes are signed 64-bit, -1 when the
// value cannot be read. Objects are not copyable (a file owns its stream, a directory its running
// enumeration); share them through XpSharedPtr.
#ifndef XPABSTRACTFSOBJ_H
#define XPABSTRACTFSOBJ_H

#include "XpCommonLib.h"
#include "XpDateTime.h"
#include "XpString.h"

#include <cstdint>

/** \addtogroup files
    \{ */

// What files and folders share: identifier, dates, attributes.
class XP_API XpAbstractFSObj {
public:
    // Empty identifier.
    XpAbstractFSObj();
    XpAbstractFSObj(const XpAbstractFSObj&) = delete;
    XpAbstractFSObj& operator=(const XpAbstractFSObj&) = delete;
    virtual ~XpAbstractFSObj();

    // Stores the path, and nothing else: an open file stays open, an enumeration goes on.
    // Always XPERR_OK.
    virtual XpErr SetIdentifier(const XpStringT<char>& identifier);
    // The stored path.
    virtual XpStringT<char> GetIdentifier() const;
    // The object's name without folder and extension.
    virtual XpStringT<char> GetVisibleName() const = 0;
    // Size in bytes (a directory: all files below it); -1 when it cannot be read.
    virtual int64_t GetSize() const = 0;
    // Reads the dates asked for (non-null pointers).
    virtual XpErr GetDateTime(XpDateTime* creation, XpDateTime* lastModified,
                              XpDateTime* lastAccess) const = 0;
    // One date each through GetDateTime; a default (invalid) XpDateTime when it fails.
    virtual XpDateTime GetCreationDateTime() const;
    virtual XpDateTime GetLastModifiedDateTime() const;
    virtual XpDateTime GetLastAccessDateTime() const;
    // Sets the dates given (non-null pointers). Here: XPERR_FILE_NOT_SUPPORTED, nothing changed;
    // files and directories override it.
    virtual XpErr SetDateTime(const XpDateTime* creation, const XpDateTime* lastModified,
                              const XpDateTime* lastAccess);
    // The attributes of XpFileOperation::IsReadOnly / IsHidden for the object's path.
    virtual bool IsReadOnly() const = 0;
    virtual bool IsHidden() const = 0;
    // The kind by class alone; the file system is never asked.
    virtual bool IsFile() const = 0;
    virtual bool IsDir() const = 0;

protected:
    // Starts with the given identifier: the same state as default construction followed by
    // SetIdentifier, without building an empty string first (enumeration makes many objects).
    explicit XpAbstractFSObj(const XpStringT<char>& id);

private:
    XpStringT<char> identifier;
};

/** \} */

#endif
