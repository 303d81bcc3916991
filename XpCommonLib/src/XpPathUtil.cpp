// XpPathUtil, portable half: splitting, joining, comparing, trimming and display forms of paths.
//
// Everything here works on the text alone, by byte indexes, except GetAppPreferencePath and
// IsRootPath, which reach the platform half (special folders, mount points) and the existence
// tests. Loops walk indexes rather than shortening copies, so that a 64 KiB path of delimiters
// or white space costs one pass and not one copy per byte.
#include <XpPathUtil.h>

#include <XpFileOperation.h>

#include "_XpStringSub.h"

#include <cstring>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace {

const char kDelimiter = '/';

typedef XpStringT<char> Str;

inline bool hasTailDelimiter(const Str& p)
{
    return p.Length() > 0 && p[p.Length() - 1] == kDelimiter;
}

// The bytes of s from start to the end.
inline Str tailFrom(const Str& s, int start)
{
    return s.Right(s.Length() - start);
}

// White space for the trims: the C locale's isspace for ASCII (fixed here rather than asking the
// process's locale, which could differ), the Unicode white-space class for a UTF-8 character.
inline bool isAsciiSpace(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Length in bytes of the white-space character that starts at s[i], or 0 when there is none.
int32_t spaceAt(const char* s, int32_t i, int32_t n)
{
    unsigned char b = static_cast<unsigned char>(s[i]);
    if (b < 0x80)
        return isAsciiSpace(b) ? 1 : 0;
    int32_t next = i;
    UChar32 c;
    U8_NEXT(reinterpret_cast<const uint8_t*>(s), next, n, c);
    return c >= 0 && u_isspace(c) ? next - i : 0;
}

// Length in bytes of the white-space character that ends just before s[end], or 0.
int32_t spaceBefore(const char* s, int32_t end)
{
    unsigned char b = static_cast<unsigned char>(s[end - 1]);
    if (b < 0x80)
        return isAsciiSpace(b) ? 1 : 0;
    int32_t start = end;
    UChar32 c;
    U8_PREV(reinterpret_cast<const uint8_t*>(s), 0, start, c);
    // U8_PREV takes a single byte when the bytes before end are not one whole character.
    return c >= 0 && u_isspace(c) ? end - start : 0;
}

// [begin, end) of text after dropping leading (and, with both, trailing) white space, and dots
// when dots is set.
void trimRange(const char* text, int32_t n, bool both, bool dots, int32_t& begin, int32_t& end)
{
    begin = 0;
    end = n;
    while (begin < end) {
        int32_t w = dots && text[begin] == '.' ? 1 : spaceAt(text, begin, end);
        if (w == 0)
            break;
        begin += w;
    }
    while (both && end > begin) {
        int32_t w = dots && text[end - 1] == '.' ? 1 : spaceBefore(text + begin, end - begin);
        if (w == 0)
            break;
        end -= w;
    }
}

Str trimmed(const char* s, bool both, bool dots)
{
    Str text(s);
    int32_t begin, end;
    trimRange(text.GetBuffer(), text.Length(), both, dots, begin, end);
    // Mid from the very end would give the whole text back.
    return begin == end ? Str("") : text.Mid(begin, end - begin);
}

} // namespace

bool XpPathUtil::IsValidDriveLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

const char* XpPathUtil::InvalidChars()
{
    static const char cInvalidChars[] = "/";
    return cInvalidChars;
}

const char* XpPathUtil::InvalidCharsForDisplay()
{
    return ":";
}

void XpPathUtil::CutTailPathDelimiter(XpStringT<char>& path)
{
    if (hasTailDelimiter(path))
        path = path.Left(path.Length() - 1);
}

void XpPathUtil::AppendTailPathDelimiter(XpStringT<char>& path)
{
    if (!hasTailDelimiter(path))
        path += "/";
}

int32_t XpPathUtil::CheckPathRelationship(const XpStringT<char>& a, const XpStringT<char>& b)
{
    Str ca(a), cb(b);
    AppendTailPathDelimiter(ca);
    AppendTailPathDelimiter(cb);
    int32_t la = ca.Length(), lb = cb.Length();
    if (la == lb)
        return ca.CompareNoCase(cb) == 0 ? PATHREL_SAME : PATHREL_UNRELATED;
    if (la < lb)
        return xpCompareNoCaseN(ca, cb, static_cast<size_t>(la)) == 0 ? PATHREL_PARENT : PATHREL_UNRELATED;
    return xpCompareNoCaseN(ca, cb, static_cast<size_t>(lb)) == 0 ? PATHREL_CHILD : PATHREL_UNRELATED;
}

bool XpPathUtil::IsEqualPath(const XpStringT<char>& a, const XpStringT<char>& b)
{
    return CheckPathRelationship(a, b) == PATHREL_SAME;
}

XpStringT<char> XpPathUtil::Concatenate(const XpStringT<char>& a, const XpStringT<char>& b)
{
    Str result(a);
    if (!result.IsEmpty() && !hasTailDelimiter(result))
        result += "/";
    result += b[0] == kDelimiter ? b.GetBuffer() + 1 : b.GetBuffer();
    return result;
}

void XpPathUtil::SplitPath(const XpStringT<char>& path, XpStringT<char>* dir, XpStringT<char>* name,
                           XpStringT<char>* ext)
{
    // The working text: one tail delimiter ignored, but "/" stays "/".
    Str w = path.Length() > 1 && hasTailDelimiter(path) ? path.Left(path.Length() - 1) : path;
    int s = w.ReverseFind(kDelimiter);
    int nameStart = s + 1;
    int d = w.ReverseFind('.');
    if (d != -1 && s != -1 && s > d)
        d = -1;   // the dot belongs to a directory
    if (dir)
        *dir = s != -1 ? w.Left(s + 1) : Str("");
    if (name)
        *name = d != -1 ? w.Mid(nameStart, d - nameStart) : tailFrom(w, nameStart);
    if (ext)
        *ext = d != -1 ? tailFrom(w, d) : Str("");
}

XpStringT<char> XpPathUtil::ConvertExt(const XpStringT<char>& path, const XpStringT<char>& ext)
{
    Str dir, name;
    SplitPath(path, &dir, &name, nullptr);
    Str result = Concatenate(dir, name);
    result += ".";
    result += ext;
    return result;
}

XpStringT<char> XpPathUtil::GetFileDir(const XpStringT<char>& path)
{
    Str dir;
    SplitPath(path, &dir, nullptr, nullptr);
    return dir;
}

XpStringT<char> XpPathUtil::GetFileName(const XpStringT<char>& path)
{
    Str name;
    SplitPath(path, nullptr, &name, nullptr);
    return name;
}

XpStringT<char> XpPathUtil::GetFileFullName(const XpStringT<char>& path)
{
    // Every tail delimiter is dropped, then the text after the last '/' is the name.
    const char* text = path.GetBuffer();
    int end = path.Length();
    while (end > 0 && text[end - 1] == kDelimiter)
        --end;
    int start = end;
    while (start > 0 && text[start - 1] != kDelimiter)
        --start;
    return path.Mid(start, end - start);
}

XpStringT<char> XpPathUtil::GetFileExt(const XpStringT<char>& path)
{
    const char* text = path.GetBuffer();
    const char* slash = std::strrchr(text, kDelimiter);
    const char* dot = std::strrchr(slash ? slash + 1 : text, '.');
    return dot ? tailFrom(path, static_cast<int>(dot - text)) : Str("");
}

bool XpPathUtil::IsValid(const XpStringT<char>& name)
{
    return std::strpbrk(name.GetBuffer(), InvalidChars()) == nullptr && name.Find('\t') == -1;
}

XpStringT<char> XpPathUtil::TrimStringForFolderName(const char* s)
{
    return trimmed(s, true, true);
}

XpStringT<char> XpPathUtil::TrimStringForFileName(const char* s)
{
    return trimmed(s, false, false);
}

XpStringT<char> XpPathUtil::GetDisplayPath(const XpStringT<char>& path)
{
    Str result(path);
    if (result.Length() == 2 && result[1] == ':')
        result += "\\";   // the drive-letter root form, "C:\"
    else if (result.Length() != 3)
        CutTailPathDelimiter(result);
    return result;
}

XpStringT<char> XpPathUtil::GetFileFullNameForDisplay(const XpStringT<char>& path)
{
    Str display = GetDisplayPath(path);
    if (display.IsEmpty())
        return Str("");
    return tailFrom(display, display.ReverseFind(':') + 1);
}

XpStringT<char> XpPathUtil::GetDisplayPathEx(const XpStringT<char>& path,
                                             IXpStringsManagersWrapper* strings, bool shorten)
{
    int length = path.Length();
    if (path[0] == '<' && strings != nullptr) {
        // "<drive>rest": a drive that is not there, shown by the host's text and the rest.
        Str result = strings->GetLocalizedString("Messages/DataBase/NotDriveExists");
        int k = path.Find('>');
        Str rest = path.Right(k == -1 ? length : length - k - 1);
        if (rest.Length() > 1) {
            result += rest;
            CutTailPathDelimiter(result);
        }
        return result;
    }
    if (length == 2 && path[1] == ':')
        return path + "/";
    if (length == 3 && path[1] == ':' && path[2] == '/')
        return path;
    Str result = shorten ? GetEllipsisDisplayPath(path) : path;
    CutTailPathDelimiter(result);
    return result;
}

XpStringT<char> XpPathUtil::GetAppPreferencePath(const XpStringT<char>& first,
                                                 const XpStringT<char>& second,
                                                 const XpStringT<char>& third, bool create)
{
    (void)first;   // names the vendor on systems whose folders are per vendor; not on Linux
    Str result = Concatenate(GetSpecialPath(PATH_APP_SUPPORT, false), second);
    if (!third.IsEmpty())
        result = Concatenate(result, third);
    // The folder is a convenience for the caller, who learns of a failure when using it: the
    // result code of the creation is not looked at.
    if (create && !XpFileOperation::IsDirAvailable(result))
        (void)XpFileOperation::MakeDirRecursively(result);
    return result;
}

bool XpPathUtil::IsRootPath(const XpStringT<char>& path)
{
    Str c(path);
    if (c.Length() == 2 && IsValidDriveLetter(c[0]) && c[1] == ':')
        AppendTailPathDelimiter(c);
    return c.CompareNoCase(GetRootPath(c)) == 0;
}

XpStringT<char> XpPathUtil::GetFileSystemRepresentation(const XpStringT<char>& path)
{
    XpPlatformString platform = path.ToPlatformString();
    if (platform.IsNil())
        return path;
    return Str(platform.UTF8String());
}
