// The shared implementations of the abstract file-system objects: identifiers, the single-date
// getters, and the directory's filter, size and object count, which work on any directory class
// through its own enumeration.
#include <XpAbstractDir.h>

#include <cstring>

// ==== XpAbstractFSObj ============================================================================

XpAbstractFSObj::XpAbstractFSObj() = default;
XpAbstractFSObj::XpAbstractFSObj(const XpStringT<char>& id) : identifier(id) {}
XpAbstractFSObj::~XpAbstractFSObj() = default;

XpErr XpAbstractFSObj::SetIdentifier(const XpStringT<char>& id)
{
    identifier = id;
    return XPERR_OK;
}

XpStringT<char> XpAbstractFSObj::GetIdentifier() const
{
    return identifier;
}

// The single-date getters ignore GetDateTime's result: on failure the default value stands.
XpDateTime XpAbstractFSObj::GetCreationDateTime() const
{
    XpDateTime date;
    GetDateTime(&date, nullptr, nullptr);
    return date;
}

XpDateTime XpAbstractFSObj::GetLastModifiedDateTime() const
{
    XpDateTime date;
    GetDateTime(nullptr, &date, nullptr);
    return date;
}

XpDateTime XpAbstractFSObj::GetLastAccessDateTime() const
{
    XpDateTime date;
    GetDateTime(nullptr, nullptr, &date);
    return date;
}

XpErr XpAbstractFSObj::SetDateTime(const XpDateTime*, const XpDateTime*, const XpDateTime*)
{
    return XPERR_FILE_NOT_SUPPORTED;
}

// ==== XpAbstractDir ==============================================================================

XpAbstractDir::XpAbstractDir() : enumFlags(enumDirectories | enumFiles), pattern(""), patternLength(0) {}
XpAbstractDir::XpAbstractDir(const XpStringT<char>& id)
    : XpAbstractFSObj(id), enumFlags(enumDirectories | enumFiles), pattern(""), patternLength(0) {}
XpAbstractDir::~XpAbstractDir() = default;

bool XpAbstractDir::isMatchEnumCondition(bool isDirectory, const char* name) const
{
    if (!(enumFlags & (isDirectory ? enumDirectories : enumFiles)))
        return false;
    // Byte comparisons with the same results as comparing Left/Right(patternLength) of the name
    // with the pattern, without making a string for every entry.
    size_t length = std::strlen(name), wanted = static_cast<size_t>(patternLength);
    if (enumFlags & enumNameEquals)
        return pattern == name;
    if (enumFlags & enumNameStartsWith)
        return length >= wanted && std::memcmp(name, pattern.GetBuffer(), wanted) == 0;
    if (enumFlags & enumNameEndsWith)
        return length >= wanted && std::memcmp(name + length - wanted, pattern.GetBuffer(), wanted) == 0;
    return true;
}

int64_t XpAbstractDir::GetSize() const
{
    if (StartEnum(enumDirectories | enumFiles, "") != XPERR_OK)
        return -1;
    int64_t total = 0;
    for (XpSharedPtr<XpAbstractFSObj> entry = EnumNext(); entry; entry = EnumNext()) {
        int64_t size = entry->GetSize();
        if (size >= 0)
            total += size;
    }
    FinishEnum();   // it runs: XPERR_OK
    return total;
}

int64_t XpAbstractDir::GetCountOfObjects(bool recursive)
{
    if (StartEnum(enumDirectories | enumFiles, "") != XPERR_OK)
        return 0;
    int64_t count = 0;
    for (XpSharedPtr<XpAbstractFSObj> entry = EnumNext(); entry; entry = EnumNext()) {
        if (recursive && entry->IsDir())
            count += static_cast<XpAbstractDir*>(entry.Get())->GetCountOfObjects(true);
        ++count;
    }
    FinishEnum();
    return count;
}
