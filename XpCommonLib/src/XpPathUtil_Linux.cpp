// XpPathUtil, Linux half (first part): the operations that need the platform. Mount points,
// display paths, the natural comparison and the resource lookup follow in the next change; until
// then they answer "" (or a plain comparison) so that the library links.
#include <XpPathUtil.h>

#include <strings.h>

XpStringT<char> XpPathUtil::GetRootPath(const XpStringT<char>& path)
{
    (void)path;
    return XpStringT<char>("");
}

bool XpPathUtil::IsRelativePath(const XpStringT<char>& path)
{
    return path[0] != '/';
}

int XpPathUtil::CompareLogical(const XpStringT<char>& a, const XpStringT<char>& b)
{
    int c = strcasecmp(a, b);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

XpStringT<char> XpPathUtil::ConvertSystemNameToDisplayName(const XpStringT<char>& name)
{
    return name;
}

XpStringT<char> XpPathUtil::ConvertDisplayNameToSystemName(const XpStringT<char>& name)
{
    return name;
}

XpStringT<char> XpPathUtil::ConvertDisplayPathToSystemPath(const XpStringT<char>& path)
{
    return path;
}

XpStringT<char> XpPathUtil::ConvertSystemPathToDisplayPath(const XpStringT<char>& path)
{
    (void)path;
    return XpStringT<char>("");
}

XpStringT<char> XpPathUtil::FindApplicationSpecifiedFile(const XpStringT<char>& fileName)
{
    (void)fileName;
    return XpStringT<char>("");
}

XpStringT<char> XpPathUtil::GetSpecialPath(pathtype type, bool create)
{
    (void)type;
    (void)create;
    return XpStringT<char>("");
}

XpStringT<char> XpPathUtil::GetEllipsisDisplayPath(const XpStringT<char>& path)
{
    return path;
}
