// Drives XpPathUtil's text operations with arbitrary bytes and checks the invariants that the
// rest of the library builds on, so that a wrong result (not only a crash) stops the run:
// SplitPath's parts put together give its working text back, CheckPathRelationship agrees with
// itself when the paths swap, CutTailPathDelimiter undoes AppendTailPathDelimiter, the natural
// comparison is antisymmetric, trims are idempotent pieces of their input.
#include <XpPathUtil.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

typedef XpStringT<char> Str;

void check(bool ok)
{
    if (!ok)
        std::abort();
}

bool hasTail(const std::string& s)
{
    return !s.empty() && s.back() == '/';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Two texts, split at the first zero byte (zero bytes end C texts anyway).
    std::string a, b;
    size_t i = 0;
    for (; i < size && data[i] != 0; ++i)
        a += static_cast<char>(data[i]);
    for (++i; i < size; ++i)
        if (data[i] != 0)
            b += static_cast<char>(data[i]);
    const Str sa(a.c_str()), sb(b.c_str());

    // SplitPath: directory + name + extension is the working text (one tail delimiter dropped,
    // "/" kept); the directory ends in '/' or is empty; the getters agree with it.
    Str dir, name, ext;
    XpPathUtil::SplitPath(sa, &dir, &name, &ext);
    const std::string work = a.size() > 1 && hasTail(a) ? a.substr(0, a.size() - 1) : a;
    check(std::string(dir.GetBuffer()) + name.GetBuffer() + ext.GetBuffer() == work);
    check(dir.IsEmpty() || dir[dir.Length() - 1] == '/');
    check(ext.IsEmpty() || ext[0] == '.');
    check(XpPathUtil::GetFileDir(sa) == dir && XpPathUtil::GetFileName(sa) == name);
    Str full = XpPathUtil::GetFileFullName(sa);
    check(std::strchr(full.GetBuffer(), '/') == nullptr);
    Str fileExt = XpPathUtil::GetFileExt(sa);
    check(fileExt.IsEmpty() || (fileExt[0] == '.' && a.size() >= static_cast<size_t>(fileExt.Length()) &&
                                a.compare(a.size() - fileExt.Length(), std::string::npos, fileExt.GetBuffer()) == 0));

    // The relationship both ways: 0 <-> 1, 2 <-> 2, 3 <-> 3.
    static const int32_t reverse[] = {1, 0, 2, 3};
    int32_t ab = XpPathUtil::CheckPathRelationship(sa, sb), ba = XpPathUtil::CheckPathRelationship(sb, sa);
    check(ab >= 0 && ab <= 3 && ba == reverse[ab]);
    check(XpPathUtil::IsEqualPath(sa, sb) == (ab == 2));
    check(XpPathUtil::CheckPathRelationship(sa, sa) == 2);

    // The tail delimiter: Append then Cut restores a text without one; Cut removes one byte.
    Str appended(sa);
    XpPathUtil::AppendTailPathDelimiter(appended);
    check(hasTail(appended.GetBuffer()));
    Str cut(appended);
    XpPathUtil::CutTailPathDelimiter(cut);
    if (!hasTail(a))
        check(cut == sa);
    Str once(sa);
    XpPathUtil::CutTailPathDelimiter(once);
    check(once.Length() == static_cast<int>(a.size()) - (hasTail(a) ? 1 : 0));

    // Joining puts exactly the text of both together, with one delimiter where one was needed.
    Str joined = XpPathUtil::Concatenate(sa, sb);
    std::string expected = a + (!a.empty() && !hasTail(a) ? "/" : "") + (b.empty() || b[0] != '/' ? b : b.substr(1));
    check(joined == expected.c_str());

    // The natural comparison is a consistent order.
    int c = XpPathUtil::CompareLogical(sa, sb);
    check(c >= -1 && c <= 1 && XpPathUtil::CompareLogical(sb, sa) == -c);
    check(XpPathUtil::CompareLogical(sa, sa) == 0);

    // Trims give a piece of their input and are idempotent.
    Str folder = XpPathUtil::TrimStringForFolderName(a.c_str());
    check(a.find(folder.GetBuffer()) != std::string::npos);
    check(XpPathUtil::TrimStringForFolderName(folder.GetBuffer()) == folder);
    Str file = XpPathUtil::TrimStringForFileName(a.c_str());
    check(a.size() >= static_cast<size_t>(file.Length()) &&
          a.compare(a.size() - file.Length(), std::string::npos, file.GetBuffer()) == 0);
    check(XpPathUtil::TrimStringForFileName(file.GetBuffer()) == file);

    // Name exchanges are their own inverse; display forms never grow beyond one added byte.
    check(XpPathUtil::ConvertDisplayNameToSystemName(XpPathUtil::ConvertSystemNameToDisplayName(sa)) == sa);
    check(XpPathUtil::GetDisplayPath(sa).Length() <= sa.Length() + 1);
    check(XpPathUtil::GetDisplayPathEx(sa, nullptr, false).Length() <= sa.Length() + 1);
    check(XpPathUtil::GetFileSystemRepresentation(sa) == sa);
    check(XpPathUtil::IsValid(sa) == (a.find_first_of("/\t") == std::string::npos));

    // The root walk on a path that cannot exist: it ends at an existing folder, never loops.
    Str root = XpPathUtil::GetRootPath(Str(("/proc/xpfuzz-none/" + a).c_str()));
    check(root.IsEmpty() || root[0] == '/');
    return 0;
}
