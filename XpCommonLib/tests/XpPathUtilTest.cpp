// Path operations: the text rules as tables, then the platform half on real mounts (in a private
// mount namespace of a forked child), special folders from a sandboxed environment, the
// program's resources, and hostile input. fuzz/fuzz_path.cpp, which the test command runs, holds
// the text rules to a model where one exists (joining, the tail delimiter, the relationship both
// ways, SplitPath's getters, antisymmetry of the comparison); the rows here pin the answers a
// model leaves open.
#include <XpFileOperation.h>
#include <XpPathUtil.h>

#include "XpFileTestSupport.h"

#include <climits>

namespace {

typedef XpStringT<char> Str;
typedef XpPathUtil P;

std::string str(const Str& s) { return s.GetBuffer(); }
using xptest::S;

TEST(XpPathUtil, TextRules)
{
    // fuzz_path checks the tail delimiter, joining, the relationship both ways, IsEqualPath and
    // IsValid against a model; here the exact answers it does not pin down.
    Str cut("/a//"), appended("/a//");
    P::CutTailPathDelimiter(cut);
    P::AppendTailPathDelimiter(appended);
    EXPECT_EQ(str(cut) + "|" + str(appended), "/a/|/a//");   // one delimiter cut, none added
    const struct { const char *a, *b; int32_t rel; } rels[] = {
        {"/a/b", "/A", P::PATHREL_CHILD}, {"/a", "/a/b", P::PATHREL_PARENT}, {"/Users/X", "/users/x/", P::PATHREL_SAME},
        {"/ab", "/a", P::PATHREL_UNRELATED}, {"", "/", P::PATHREL_SAME}, {"", "/x", P::PATHREL_PARENT}, {"/a//", "/a", P::PATHREL_CHILD}};
    for (const auto& r : rels)
        EXPECT_EQ(P::CheckPathRelationship(Str(r.a), Str(r.b)), r.rel) << r.a << " " << r.b;
    // path | SplitPath's directory, name, extension | GetFileFullName | GetFileExt (GetFileDir and
    // GetFileName agree with SplitPath in fuzz_path)
    const char* splits[][6] = {
        {"/a/b.txt", "/a/", "b", ".txt", "b.txt", ".txt"}, {"/a/b/", "/a/", "b", "", "b", ""},
        {"/a.d/b", "/a.d/", "b", "", "b", ""}, {"b.tar.gz", "", "b.tar", ".gz", "b.tar.gz", ".gz"},
        {"/a/.profile", "/a/", "", ".profile", ".profile", ".profile"}, {"/", "/", "", "", "", ""},
        {"/a/b.txt/", "/a/", "b", ".txt", "b.txt", ""}, {"/a/b//", "/a/b/", "", "", "b", ""}, {".", "", "", ".", ".", "."}};
    for (const auto& s : splits) {
        Str dir("?"), name("?"), ext("?"), p(s[0]);
        P::SplitPath(p, &dir, &name, &ext);
        const std::vector<std::string> got = {str(dir), str(name), str(ext), str(P::GetFileFullName(p)), str(P::GetFileExt(p))};
        EXPECT_EQ(got, (std::vector<std::string>{s[1], s[2], s[3], s[4], s[5]})) << s[0];
    }
    const char* exts[][3] = {{"/a/b.txt", "png", "/a/b.png"}, {"/a/b.txt", ".png", "/a/b..png"},
                             {"b", "c", "b.c"}};
    for (const auto& e : exts)
        EXPECT_EQ(str(P::ConvertExt(Str(e[0]), Str(e[1]))), e[2]);

    // input | folder-name trim | file-name trim
    const char* trims[][3] = {
        {" ..name.. ", "name", "..name.. "}, {"\t\n x \r", "x", "x \r"},
        {"\xC2\xA0x\xE3\x80\x80", "x", "x\xE3\x80\x80"},   // no-break and ideographic spaces
        {"voil\xC3\xA0", "voil\xC3\xA0", "voil\xC3\xA0"},  // a letter whose last byte is 0xA0
        {"\xA0x\xA0", "\xA0x\xA0", "\xA0x\xA0"},           // lone bytes are not characters
        {" . . ", "", ". . "}, {"", "", ""}};
    for (const auto& t : trims) {
        EXPECT_EQ(str(P::TrimStringForFolderName(t[0])), t[1]) << t[0];
        EXPECT_EQ(str(P::TrimStringForFileName(t[0])), t[2]) << t[0];
    }
    EXPECT_EQ(str(P::TrimStringForFolderName(nullptr)) + str(P::TrimStringForFileName(nullptr)), "");
}

// A host with one language, whose every text is "No drive".
struct Strings : IXpStringsManagersWrapper {
    bool LoadStrings(const char* language) override { return language == nullptr; }
    Str GetLanguage() override { return Str(""); }
    Str GetLocalizedString(const char*) override { return "No drive"; }
};

TEST(XpPathUtil, DisplayFormsAndLogicalOrder)
{
    const char* displays[][3] = {{"C:", "C:\\", "\\"}, {"abc", "abc", "abc"}, {"/a/b/", "/a/b", "/a/b"},
                                 {"/a/", "/a/", "/a/"}, {"/", "", ""}, {"Disk:x:y/", "Disk:x:y", "y"}};
    for (const auto& d : displays)
        EXPECT_EQ(str(P::GetDisplayPath(Str(d[0]))) + "|" + str(P::GetFileFullNameForDisplay(Str(d[0]))),
                  std::string(d[1]) + "|" + d[2]);
    Strings strings;
    const struct { const char* path; bool provider; const char* shown; } exs[] = {
        {"<X>/Music/", true, "No drive/Music"}, {"<X>", true, "No drive"}, {"<nothing", true, "No drive<nothing"},
        {"<X>/Music/", false, "<X>/Music"}, {"C:", true, "C:/"}, {"ab/", true, "ab"}};
    for (const auto& e : exs)
        EXPECT_EQ(str(P::GetDisplayPathEx(Str(e.path), e.provider ? &strings : nullptr, false)), e.shown)
            << e.path;
    // Colon paths back to paths: volumes, relative forms, names with '/'; "" when nothing exists.
    const std::string media = std::string("/media/") + getpwuid(geteuid())->pw_name;
    const std::string backs[][2] = {{"/:", "/"}, {"/:tmp:a/b", "/tmp/a:b"}, {":a::b:", "a/b"},
                                    {"name", "name"}, {"/dev/null", "/dev/null"}, {"", ""},
                                    {"Gone 7:a:", media + "/Gone 7/a"}};
    for (const auto& b : backs)
        EXPECT_EQ(str(P::ConvertDisplayPathToSystemPath(S(b[0]))), b[1]) << b[0];
    EXPECT_EQ(str(P::ConvertSystemPathToDisplayPath(Str("/no/such/path"))), "");

    const struct { const char *a, *b; int order; } rows[] = {
        {"a2", "A10", -1}, {"abc", "ABC", 0}, {"a01", "a1", 1}, {"x", "x1", -1}, {"99", "100", -1}, {"a 2", "a10", -1},
        {"\xC3\x89t\xC3\xA9", "\xC3\xA9T\xC3\x89", 0},   // Été, éTÉ
        {"a\xFF", "a\xC3\xA9", 1}, {"a\xFF", "a\xFE", 1},  // stray bytes last
        {"v123456789012345678901234567890", "v123456789012345678901234567891", -1},
        {"v0000123456789012345678901234567890", "v99", 1}};
    for (const auto& r : rows)   // the other order is fuzz_path's (antisymmetry)
        EXPECT_EQ(P::CompareLogical(Str(r.a), Str(r.b)), r.order) << r.a << " " << r.b;
}

// Volume roots and display paths on real mounts; roots also checked against findmnt and stat.
TEST(XpPathUtil, RootsAndDisplayPathsOfRealMounts)
{
    xptest::TempDir t;
    const std::string vol = t / "mnt dir \xC3\xA9", bind = t / "bind", file = vol + "/sub/x:y.txt";
    const std::string up = str(P::GetRootPath(S(t.path)));
    // The root of path, which must be the mount point that findmnt and stat(1) give for an
    // existing folder on its way.
    auto root = [](const std::string& path, const std::string& existing) {
        const std::string found = str(P::GetRootPath(S(path)));
        EXPECT_EQ(xptest::runProgram({"findmnt", "-nf", "-o", "TARGET", "-T", existing}), found + "\n") << path;
        EXPECT_EQ(xptest::runProgram({"stat", "-c", "%m", existing}), found + "\n") << path;
        return found;
    };
    xptest::checkInMountNamespace([&] {
        EXPECT_EQ(mkdir(vol.c_str(), 0755) | mkdir(bind.c_str(), 0755), 0);
        EXPECT_EQ(root(vol + "/x", vol), up);   // the parent's volume, and the table kept
        EXPECT_TRUE(mount("t", vol.c_str(), "tmpfs", 0, "size=1m") == 0 &&
                    mkdir((vol + "/sub").c_str(), 0755) == 0 && xptest::writeFile(file, "") &&
                    mount((vol + "/sub").c_str(), bind.c_str(), nullptr, MS_BIND, nullptr) == 0);
        EXPECT_EQ(root(vol + "/sub/missing/deeper", vol + "/sub"), vol);
        EXPECT_EQ(root(bind + "/gone", bind), bind);
        EXPECT_TRUE(P::IsRootPath(S(vol)) && !P::IsRootPath(S(vol + "/")) && P::IsRootPath(Str("/")));
        for (const auto& d : {std::make_pair(file, "mnt dir \xC3\xA9:sub:x/y.txt"), {bind, "bind:"},
                              {"/", "/:"}})
            EXPECT_EQ(str(P::ConvertSystemPathToDisplayPath(S(d.first))), d.second);
        EXPECT_EQ(str(P::ConvertDisplayPathToSystemPath(Str("mnt dir \xC3\xA9:sub:x/y.txt"))), file);
        // Removable volumes: /media/<user>/Gone is not mounted, Disk is; /mnt/Gone neither.
        EXPECT_TRUE(mount("t", "/media", "tmpfs", 0, "size=1m") == 0 && mkdir("/media/tester", 0755) == 0 &&
                    mkdir("/media/tester/Disk", 0755) == 0 &&
                    mount("t", "/media/tester/Disk", "tmpfs", 0, "size=1m") == 0);
        const std::pair<const char*, const char*> removable[] = {
            {"/media/tester/Gone/a", ""}, {"/media/tester/Disk/a", "/media/tester/Disk"},
            {"/media/tester", "/media"}, {"/media/Gone", "/media"},   // /media is itself a mounted volume
            {"/mnt/Gone/x", ""}, {"/run/media/tester/Gone/a", ""}};
        for (const auto& r : removable)
            EXPECT_EQ(str(P::GetRootPath(Str(r.first))), r.second) << r.first;
        EXPECT_EQ(str(P::ConvertDisplayPathToSystemPath(Str("Disk:a"))), "/media/tester/Disk/a");
        EXPECT_EQ(umount("/media/tester/Disk"), 0);
        EXPECT_EQ(str(P::GetRootPath(Str("/media/tester/Disk/a"))), "/media");
        EXPECT_EQ(mount("t", "/media/tester", "tmpfs", 0, "size=1m"), 0);   // may reuse Disk's mount id
        EXPECT_EQ(str(P::GetRootPath(Str("/media/tester/Gone"))), "/media/tester");
    });
}

// Special folders with HOME, TMPDIR and XDG_DATA_HOME in a sandbox, then with HOME unset (in a
// child, since the environment is process-wide); then the program's own resources.
TEST(XpPathUtil, SpecialFoldersAndResourcesOfTheProgram)
{
    xptest::TempDir t;
    const std::string home = t / "home", tmp = t / "tmp", data = t / "data";
    const std::string passwdHome = getpwuid(geteuid())->pw_dir;
    xptest::checkInChild([&] {
        for (const auto& v : {std::make_pair("HOME", home), {"TMPDIR", tmp}, {"XDG_DATA_HOME", data}})
            setenv(v.first, v.second.c_str(), 1);
        // (The tables are a function-local static: concurrent first use is the compiler's.)
        EXPECT_EQ(str(P::GetEllipsisDisplayPath(S(t / "HOME/Pictures/a"))), home + "/Pictures/a");
        // Only the whole folder name counts: a sibling of the same length or one longer is a
        // folder of the home; the folder itself, in any case, is shown with its own spelling.
        const std::pair<std::string, std::string> shown[] = {
            {"HOME/PicturesX/a", home + "/PicturesX/a"}, {"HOME/Picturez/a", home + "/Picturez/a"},
            {"HOME/PICTURES", home + "/Pictures"}, {"HOME", home}, {"HOMEX/a", t / "HOMEX/a"}};
        for (const auto& s : shown)
            EXPECT_EQ(str(P::GetEllipsisDisplayPath(S(t / s.first))), s.second) << s.first;
        EXPECT_EQ(str(P::GetEllipsisDisplayPath(Str("/elsewhere/a"))), "/elsewhere/a");
        // The home's folders are a table of names: the first and the last of it, and numbers
        // outside it (4 lies in a gap) that give the home.
        const std::pair<int, std::string> folders[] = {
            {1, home + "/Pictures"}, {5, home + "/Desktop"}, {4, home}, {99, home}, {0, tmp + "/"}, {11, data}};
        for (const auto& f : folders)
            EXPECT_EQ(str(P::GetSpecialPath(static_cast<P::pathtype>(f.first), false)), f.second) << f.first;
        EXPECT_FALSE(XpFileOperation::IsPathAvailable(S(home), nullptr));   // nothing made unasked
        EXPECT_EQ(str(P::GetSpecialPath(P::PATH_TEMPORARY, true)), tmp + "/");
        EXPECT_EQ(str(P::GetSpecialPath(P::PATH_PICTURES, true)), home + "/Pictures");
        EXPECT_EQ(str(P::GetAppPreferencePath(Str("x"), Str("App"), Str(""), false)), data + "/App");
        EXPECT_EQ(str(P::GetAppPreferencePath(Str("x"), Str("App"), Str("Sub"), true)), data + "/App/Sub");
        for (const std::string& made : {tmp, home + "/Pictures", data + "/App/Sub"})
            EXPECT_TRUE(XpFileOperation::IsDirAvailable(S(made))) << made;
        setenv("TMPDIR", "/proc/no/such", 1);
        EXPECT_EQ(str(P::GetSpecialPath(P::PATH_TEMPORARY, true)), "");   // cannot be made
        setenv("TMPDIR", "relative", 1);
        setenv("XDG_DATA_HOME", "relative", 1);
        EXPECT_EQ(str(P::GetSpecialPath(P::PATH_TEMPORARY, false)), "/tmp/");
        EXPECT_EQ(str(P::GetSpecialPath(P::PATH_APP_SUPPORT, false)), home + "/.local/share");
        unsetenv("HOME");
        EXPECT_EQ(str(P::GetSpecialPath(P::PATH_MUSIC, false)), passwdHome + "/Music");
    });

    char exe[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    const std::string bundle = std::string(exe).substr(0, std::string(exe).rfind('/'));
    // Without a share folder the resources are beside the program.
    EXPECT_EQ(str(P::GetSpecialPath(P::PATH_APP_BUNDLE, true)), bundle);
    EXPECT_EQ(str(P::GetSpecialPath(P::PATH_APP_RESOURCES, false)), bundle);
    EXPECT_EQ(str(P::FindApplicationSpecifiedFile(Str("any/XpPathUtilTest"))), bundle + "/XpPathUtilTest");
    for (const char* missing : {"no such.file", "..", ".", ""})
        EXPECT_EQ(str(P::FindApplicationSpecifiedFile(Str(missing))), "") << missing;
    // An installed program's resources: <prefix>/share/<program>.
    const std::string share = bundle.substr(0, bundle.rfind('/')) + "/share";
    const std::string resources = share + "/XpPathUtilTest";
    bool madeShare = mkdir(share.c_str(), 0755) == 0;
    ASSERT_TRUE(mkdir(resources.c_str(), 0755) == 0 && xptest::writeFile(resources + "/greeting.txt", ""));
    EXPECT_EQ(str(P::GetSpecialPath(P::PATH_APP_RESOURCES, false)), resources);
    EXPECT_EQ(str(P::FindApplicationSpecifiedFile(Str("dir/greeting.txt"))), resources + "/greeting.txt");
    EXPECT_EQ(str(P::FindApplicationSpecifiedFile(Str("greeting"))), "");
    std::filesystem::remove_all(madeShare ? share : resources);
}

// Hostile and huge input: defined results, no crash, one pass over 64 KiB.
TEST(XpPathUtil, BadInputGivesDefinedResults)
{
    std::string deep = "/";
    while (deep.size() < 65536)
        deep += "a/";
    const std::string slashes(65536, '/'), spaces(65536, ' '), digits(65536, '7');
    // Each path has the root of the existing folder beside it.
    const std::pair<std::string, const char*> walks[] = {
        {deep, "/"}, {slashes, "/"}, {"/\xFF/x", "/"}, {"/tmp/\xC0\xAF", "/tmp"}, {"/tmp/a\tb/", "/tmp"},
        {"", ""}, {"\xFF", ""}, {"relative/missing", ""}};
    for (const auto& w : walks)
        EXPECT_EQ(str(P::GetRootPath(S(w.first))), *w.second ? str(P::GetRootPath(Str(w.second))) : "")
            << w.first.size();
    Str dir, name, ext;
    P::SplitPath(S(deep), &dir, &name, &ext);
    EXPECT_EQ(str(dir) + str(name) + str(ext) + "/", deep);
    EXPECT_TRUE(P::GetFileFullName(S(slashes)).IsEmpty());
    EXPECT_TRUE(P::TrimStringForFolderName(spaces.c_str()).IsEmpty());
    EXPECT_EQ(P::CompareLogical(S(digits), S(digits + "0")), -1);
    const struct { const char* path; bool relative, rootPath; } rows[] = {
        {"\xFF/a", true, false}, {"", true, true}, {"/", false, true}, {"/tmp/", false, false}, {"C:", true, false}};
    for (const auto& r : rows) {
        EXPECT_EQ(P::IsRelativePath(Str(r.path)), r.relative) << r.path;
        EXPECT_EQ(P::IsRootPath(Str(r.path)), r.rootPath) << r.path;
    }
}

} // namespace
