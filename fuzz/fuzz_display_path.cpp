// Fuzzes the colon-separated display paths both ways: ConvertDisplayPathToSystemPath takes text
// a user typed or a file stored, ConvertSystemPathToDisplayPath takes any path. Checks: no
// crash or sanitizer report; a display path becomes a path without a tail delimiter, absolute
// when it names a volume; the display path of an existing object leads back to that object
// (the round trip through both conversions names the same file, by device and inode).
#include <XpPathUtil.h>

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

typedef XpStringT<char> Str;

void check(bool ok)
{
    if (!ok)
        std::abort();
}

bool sameObject(const char* a, const char* b)
{
    struct stat sa, sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.substr(0, text.find('\0'));   // C texts end at the first zero byte
    const Str display(text.c_str());

    Str path = XpPathUtil::ConvertDisplayPathToSystemPath(display);
    const std::string p = path.GetBuffer();
    check(!text.empty() || p.empty());   // and only empty components ("::") give "" too
    check(p.size() <= 1 || p.back() != '/' || text[0] == '/');
    if (!text.empty() && text[0] != ':' && text.find(':') != std::string::npos && text[0] != '/')
        check(p[0] == '/');   // a volume name before the first ':' makes an absolute path

    // The other way, on paths that exist on every machine and on what the input named.
    static const char* const existing[] = {"/", "/proc/self", "/dev/null", "/usr/share", "/tmp"};
    const char* probe = existing[size % 5];
    for (const char* target : {probe, p.c_str()}) {
        Str back = XpPathUtil::ConvertSystemPathToDisplayPath(Str(target));
        struct stat st;
        if (stat(target, &st) != 0) {
            check(back.IsEmpty());
            continue;
        }
        check(!back.IsEmpty() && std::strchr(back.GetBuffer(), ':') != nullptr);
        Str again = XpPathUtil::ConvertDisplayPathToSystemPath(back);
        check(sameObject(again.GetBuffer(), target));
    }
    return 0;
}
