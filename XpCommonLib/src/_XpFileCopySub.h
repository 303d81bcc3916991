// Internal: what the portable half of copying (XpFileCopy.cpp) asks of the platform, in the
// library's own types, so that the portable source includes no system header. The Linux answers
// are in src/linux/_XpFileCopySub_Linux.cpp.
#ifndef _XPFILECOPYSUB_H
#define _XPFILECOPYSUB_H

#include <XpAbstractFile.h>
#include <XpString.h>

#include <cstdint>
#include <memory>

namespace _XpFileCopySub {
// Whether the two paths name one object, links followed (false when either is missing).
bool SameObject(const XpStringT<char>& a, const XpStringT<char>& b);
// Removes what a failed or stopped stream copy left at path, when it is a regular file: the
// destination may be a device (/dev/full, /dev/null) that the copy wrote to, and that must stay.
void RemoveCopyDestination(const XpStringT<char>& path);
// A hidden folder beside a destination for a copy or move with UI, and its removal (see
// _XpFileOperationSub_Linux::MakeStagingFolder).
XpStringT<char> MakeStagingFolder(const XpStringT<char>& folder);
void RemoveStagingFolder(const XpStringT<char>& path, bool withContents);
} // namespace _XpFileCopySub

// What the stream copy checks and does on the descriptors of its XpFile objects; each call is
// the one of _XpStreamCopy_Linux of the same name, which says what it promises.
class _XpStreamCopy {
public:
    explicit _XpStreamCopy(const XpAbstractFile& source);
    ~_XpStreamCopy();
    _XpStreamCopy(const _XpStreamCopy&) = delete;
    _XpStreamCopy& operator=(const _XpStreamCopy&) = delete;

    XpErr CheckSource() const;
    XpErr CheckDestinationPath(const XpStringT<char>& path) const;
    bool ClaimNew(const XpStringT<char>& path) const;
    XpErr CheckDestination(const XpAbstractFile& target) const;
    XpErr ApplyMode(const XpAbstractFile& target) const;
    bool Sparse() const;
    bool NextData(int64_t pos, int64_t* next, int64_t* length) const;
    int Lengthen(XpAbstractFile& target, int64_t length) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

#endif
