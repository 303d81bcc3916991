// XpDir: the portable half (construction, path, name and attributes). The walk and the dates
// are in XpDir_Linux.cpp.
#include <XpDir.h>
#include <XpFileOperation.h>
#include <XpPathUtil.h>

// Nothing runs yet, so SetPath would only store the path: it is stored at once.
XpDir::XpDir(const XpStringT<char>& path) : XpAbstractDir(path), enumState(nullptr) {}

XpDir::~XpDir()
{
    FinishEnum();   // XPERR_FILE_INVALID_PATH when idle: nothing to report from a destructor
}

XpErr XpDir::SetPath(const XpStringT<char>& path)
{
    FinishEnum();
    return SetIdentifier(path);
}

XpStringT<char> XpDir::GetVisibleName() const
{
    return XpPathUtil::GetFileName(GetIdentifier());
}

bool XpDir::IsReadOnly() const
{
    return XpFileOperation::IsReadOnly(GetIdentifier());
}

bool XpDir::IsHidden() const
{
    return XpFileOperation::IsHidden(GetIdentifier());
}
