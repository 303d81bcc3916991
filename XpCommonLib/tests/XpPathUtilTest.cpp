// Path operations: the text rules as tables, then the platform half on real mounts (in a private
// mount namespace of a forked child), special folders from a sandboxed environment (in a child,
// since the environment is process-wide), the program's resources, and hostile input.
#include <XpFileOperation.h>
#include <XpPathUtil.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <fcntl.h>
#include <functional>
#include <ftw.h>
#include <map>
#include <pwd.h>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

typedef XpStringT<char> Str;
typedef XpPathUtil P;

std::string str(const Str& s) { return s.GetBuffer(); }
Str S(const std::string& s) { return Str(s.c_str()); }

// A fresh folder under $TMPDIR (else /tmp), removed with everything in it.
struct TempDir {
    std::string path = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/XpPathUtilTest.XXXXXX";
    TempDir() { EXPECT_NE(mkdtemp(&path[0]), nullptr); }
    ~TempDir()
    {
        nftw(path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
             FTW_DEPTH | FTW_PHYS);
    }
};

// Runs child in a forked process with its stdout on a pipe; returns what it wrote ("<died>"
// appended when it did not end with status 0).
std::string forked(const std::function<void()>& child)
{
    int fds[2];
    if (pipe(fds) != 0)
        return "<pipe>";
    fflush(stdout);   // or the child would write the parent's pending output too
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        child();
        fflush(stdout);
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char chunk[4096];
    for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;)
        out.append(chunk, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : out + "<died>";
}

// The first line a program (run without a shell) writes.
std::string run(std::vector<std::string> args)
{
    std::string out = forked([&] {
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    });
    return out.substr(0, out.find('\n'));
}

// A child's report: "key\tvalue" lines.
std::map<std::string, std::string> inChild(const std::function<std::string()>& body)
{
    std::map<std::string, std::string> m;
    std::istringstream in(forked([&] { fputs(body().c_str(), stdout); }));
    for (std::string line; std::getline(in, line);)
        m[line.substr(0, line.find('\t'))] = line.substr(std::min(line.size(), line.find('\t') + 1));
    return m;
}

// Enters a private mount namespace; false, with a SKIP line for the report, when refused.
bool privateMounts(std::string& report)
{
    if (unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
        return true;
    report = std::string("SKIP\tno private mount namespace: ") + strerror(errno) + "\n";
    return false;
}

void makeFile(const std::string& path) { close(open(path.c_str(), O_CREAT | O_WRONLY, 0644)); }

// How many of the results (in the order given) are failures.
int failures(std::initializer_list<int> results)
{
    return static_cast<int>(results.size()) - static_cast<int>(std::count(results.begin(), results.end(), 0));
}

TEST(XpPathUtil, TailDelimiterAndRelationship)
{
    const char* tails[][3] = {{"/", "", "/"}, {"/a//", "/a/", "/a//"}, {"", "", "/"}, {"a", "a", "a/"}};
    for (const auto& t : tails) {
        Str cut(t[0]), appended(t[0]);
        P::CutTailPathDelimiter(cut);
        P::AppendTailPathDelimiter(appended);
        EXPECT_EQ(str(cut) + "|" + str(appended), std::string(t[1]) + "|" + t[2]) << t[0];
    }
    const struct { const char *a, *b; int32_t rel; } rels[] = {
        {"/a/b", "/A", P::PATHREL_CHILD}, {"/a", "/a/b", P::PATHREL_PARENT}, {"/a", "/A/", P::PATHREL_SAME},
        {"/ab", "/a", P::PATHREL_UNRELATED}, {"/Users/X", "/users/x/", P::PATHREL_SAME},
        {"", "/", P::PATHREL_SAME}, {"", "/x", P::PATHREL_PARENT}, {"/a/b", "/a/c", P::PATHREL_UNRELATED},
        {"/a//", "/a", P::PATHREL_CHILD}};
    const int32_t reverse[] = {P::PATHREL_PARENT, P::PATHREL_CHILD, P::PATHREL_SAME, P::PATHREL_UNRELATED};
    for (const auto& r : rels) {
        EXPECT_EQ(P::CheckPathRelationship(Str(r.a), Str(r.b)), r.rel) << r.a << " " << r.b;
        EXPECT_EQ(P::CheckPathRelationship(Str(r.b), Str(r.a)), reverse[r.rel]) << r.b << " " << r.a;
        EXPECT_EQ(P::IsEqualPath(Str(r.a), Str(r.b)), r.rel == P::PATHREL_SAME) << r.a << " " << r.b;
    }
}

TEST(XpPathUtil, JoiningAndSplitting)
{
    const char* joins[][3] = {{"/a", "b", "/a/b"}, {"/a/", "/b", "/a/b"}, {"", "/b", "b"}, {"/a", "", "/a/"},
                              {"/a", "//b", "/a//b"}, {"/", "x", "/x"}};
    for (const auto& j : joins)
        EXPECT_EQ(str(P::Concatenate(Str(j[0]), Str(j[1]))), j[2]) << j[0] << " + " << j[1];
    // path | SplitPath's directory, name, extension | GetFileFullName | GetFileExt
    const char* splits[][6] = {
        {"/a/b.txt", "/a/", "b", ".txt", "b.txt", ".txt"}, {"/a/b/", "/a/", "b", "", "b", ""},
        {"/a.d/b", "/a.d/", "b", "", "b", ""}, {"b.tar.gz", "", "b.tar", ".gz", "b.tar.gz", ".gz"},
        {"/a/.profile", "/a/", "", ".profile", ".profile", ".profile"}, {"/", "/", "", "", "", ""},
        {"/a/b.txt/", "/a/", "b", ".txt", "b.txt", ""}, {"/x.y/z", "/x.y/", "z", "", "z", ""},
        {"/a/b//", "/a/b/", "", "", "b", ""}, {"", "", "", "", "", ""}, {".", "", "", ".", ".", "."}};
    for (const auto& s : splits) {
        Str dir("?"), name("?"), ext("?");
        P::SplitPath(Str(s[0]), &dir, &name, &ext);
        EXPECT_EQ(str(dir) + "|" + str(name) + "|" + str(ext) + "|" + str(P::GetFileDir(Str(s[0]))) + "|" +
                      str(P::GetFileName(Str(s[0]))) + "|" + str(P::GetFileFullName(Str(s[0]))) + "|" +
                      str(P::GetFileExt(Str(s[0]))),
                  std::string(s[1]) + "|" + s[2] + "|" + s[3] + "|" + s[1] + "|" + s[2] + "|" + s[4] + "|" +
                      s[5]);
    }
    const char* exts[][3] = {{"/a/b.txt", "png", "/a/b.png"}, {"/a/b.txt", ".png", "/a/b..png"},
                             {"b", "c", "b.c"}};
    for (const auto& e : exts)
        EXPECT_EQ(str(P::ConvertExt(Str(e[0]), Str(e[1]))), e[2]);
}

TEST(XpPathUtil, NamesAndTrims)
{
    EXPECT_EQ(std::to_string(P::IsValid(Str("a:b"))) + std::to_string(P::IsValid(Str("a\tb"))) +
                  std::to_string(P::IsValid(Str("a/b"))) + std::to_string(P::IsValid(Str(""))),
              "1001");
    // input | folder-name trim | file-name trim
    const char* trims[][3] = {
        {" ..name.. ", "name", "..name.. "}, {"\t\n x \r", "x", "x \r"},
        {"\xC2\xA0x\xE3\x80\x80", "x", "x\xE3\x80\x80"},   // no-break and ideographic spaces
        {"\xC2\x85x\xE2\x80\x83", "x", "x\xE2\x80\x83"},   // next line, em space
        {"voil\xC3\xA0", "voil\xC3\xA0", "voil\xC3\xA0"},  // a letter whose last byte is 0xA0
        {"\xA0x\xA0", "\xA0x\xA0", "\xA0x\xA0"},           // lone bytes are not characters
        {"x\xE3\x80", "x\xE3\x80", "x\xE3\x80"},           // a cut ideographic space
        {"\x1Cx", "\x1Cx", "\x1Cx"},                       // not white space in the C locale
        {" . . ", "", ". . "}, {"...", "", "..."}, {"", "", ""}};
    for (const auto& t : trims) {
        EXPECT_EQ(str(P::TrimStringForFolderName(t[0])), t[1]) << t[0];
        EXPECT_EQ(str(P::TrimStringForFileName(t[0])), t[2]) << t[0];
    }
    EXPECT_EQ(str(P::TrimStringForFolderName(nullptr)) + str(P::TrimStringForFileName(nullptr)), "");
}

struct Strings : IXpStringsManagersWrapper {
    std::string keys;
    Str GetLocalizedString(const char* key) override
    {
        keys += std::string(key) + ";";
        return Str("No drive");
    }
};

TEST(XpPathUtil, DisplayForms)
{
    const char* displays[][3] = {{"C:", "C:\\", "\\"}, {"abc", "abc", "abc"}, {"/a/b/", "/a/b", "/a/b"},
                                 {"/a/", "/a/", "/a/"}, {"/", "", ""}, {"Disk:x:y/", "Disk:x:y", "y"}};
    for (const auto& d : displays)
        EXPECT_EQ(str(P::GetDisplayPath(Str(d[0]))) + "|" + str(P::GetFileFullNameForDisplay(Str(d[0]))),
                  std::string(d[1]) + "|" + d[2]);
    Strings strings;
    const struct { const char* path; bool provider; const char* shown; } exs[] = {
        {"<X>/Music/", true, "No drive/Music"}, {"<X>/", true, "No drive"}, {"<X>", true, "No drive"},
        {"<nothing", true, "No drive<nothing"}, {"<X>/Music/", false, "<X>/Music"}, {"C:", true, "C:/"},
        {"C:/", true, "C:/"}, {"ab/", true, "ab"}};
    for (const auto& e : exs)
        EXPECT_EQ(str(P::GetDisplayPathEx(Str(e.path), e.provider ? &strings : nullptr, false)), e.shown)
            << e.path;
    const std::string key = "Messages/DataBase/NotDriveExists;";
    EXPECT_EQ(strings.keys, key + key + key + key);
    EXPECT_EQ(str(P::ConvertSystemNameToDisplayName(Str("a:b/c"))), "a/b:c");
    EXPECT_EQ(str(P::ConvertDisplayNameToSystemName(Str("a/b:c"))), "a:b/c");
    // Colon paths back to paths: volumes, relative forms, names with '/'; "" when nothing exists.
    const std::string media = std::string("/media/") + getpwuid(geteuid())->pw_name;
    const std::string backs[][2] = {{"/:", "/"}, {"/:tmp:a/b", "/tmp/a:b"}, {":a::b:", "a/b"}, {"name", "name"},
                                    {"/dev/null", "/dev/null"}, {"", ""}, {"Gone 7:a:", media + "/Gone 7/a"}};
    for (const auto& b : backs)
        EXPECT_EQ(str(P::ConvertDisplayPathToSystemPath(S(b[0]))), b[1]) << b[0];
    EXPECT_EQ(str(P::ConvertSystemPathToDisplayPath(Str("/no/such/path"))), "");
}

TEST(XpPathUtil, CompareLogical)
{
    const struct { const char *a, *b; int order; } rows[] = {
        {"a2", "A10", -1}, {"File10", "file2", 1}, {"abc", "ABC", 0}, {"a01", "a1", 1}, {"x", "x1", -1},
        {"", "", 0}, {"", "a", -1}, {"99", "100", -1}, {"a 2", "a10", -1},
        {"\xC3\x89t\xC3\xA9", "\xC3\xA9T\xC3\x89", 0},   // Été, éTÉ
        {"a\xFF", "a\xC3\xA9", 1}, {"a\xFF", "a\xFE", 1},  // stray bytes last
        {"v123456789012345678901234567890", "v123456789012345678901234567891", -1},
        {"v0000123456789012345678901234567890", "v99", 1}};
    for (const auto& r : rows) {
        EXPECT_EQ(P::CompareLogical(Str(r.a), Str(r.b)), r.order) << r.a << " " << r.b;
        EXPECT_EQ(P::CompareLogical(Str(r.b), Str(r.a)), -r.order) << r.b << " " << r.a;
    }
    std::vector<std::string> names = {"file10", "File2", "file01", "file1", "file1b", "file"};
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return P::CompareLogical(S(a), S(b)) < 0; });
    EXPECT_EQ(names, (std::vector<std::string>{"file", "file1", "file01", "file1b", "File2", "file10"}));
}

// Volume roots and display paths on real mounts; roots also checked against findmnt and stat.
TEST(XpPathUtil, RootsAndDisplayPathsOfRealMounts)
{
    TempDir t;
    const std::string vol = t.path + "/mnt dir \xC3\xA9", bind = t.path + "/bind", file = vol + "/sub/x:y.txt";
    std::map<std::string, std::string> m = inChild([&] {
        std::string out;
        if (!privateMounts(out))
            return out;
        auto report = [&](const std::string& key, const std::string& path, const std::string& existing) {
            out += key + "\t" + str(P::GetRootPath(S(path))) + "|" +
                   run({"/usr/bin/findmnt", "-n", "-o", "TARGET", "-T", existing}) + "|" +
                   run({"/usr/bin/stat", "-c", "%m", existing}) + "\n";
        };
        auto root = [&](const std::string& path) { out += path + "\t" + str(P::GetRootPath(S(path))) + "\n"; };
        int failed = failures({mkdir(vol.c_str(), 0755), mkdir(bind.c_str(), 0755)});
        report("before", vol + "/x", vol);   // the parent's volume, and the table kept
        failed += failures({mount("t", vol.c_str(), "tmpfs", 0, "size=1m"), mkdir((vol + "/sub").c_str(), 0755)});
        makeFile(file);
        failed += failures({mount((vol + "/sub").c_str(), bind.c_str(), nullptr, MS_BIND, nullptr)});
        report("volume", vol + "/sub/missing/deeper", vol + "/sub");
        report("bind", bind + "/gone", bind);
        out += "isroot\t" + std::to_string(P::IsRootPath(S(vol))) + std::to_string(P::IsRootPath(S(vol + "/"))) +
               std::to_string(P::IsRootPath(Str("/"))) + "\n";
        out += "display\t" + str(P::ConvertSystemPathToDisplayPath(S(file))) + "|" +
               str(P::ConvertSystemPathToDisplayPath(S(bind))) + "|" +
               str(P::ConvertSystemPathToDisplayPath(Str("/"))) + "|" +
               str(P::ConvertDisplayPathToSystemPath(Str("mnt dir \xC3\xA9:sub:x/y.txt"))) + "\n";
        failed += failures({mount("t", vol.c_str(), "tmpfs", 0, "size=1m")});   // stacked on the first
        report("stacked", vol + "/sub", vol);
        // Removable volumes: /media/<user>/Gone is not mounted, Disk is; /mnt/Gone neither.
        failed += failures({mount("t", "/media", "tmpfs", 0, "size=1m"), mkdir("/media/tester", 0755),
                            mkdir("/media/tester/Disk", 0755),
                            mount("t", "/media/tester/Disk", "tmpfs", 0, "size=1m")});
        for (const char* p : {"/media/tester/Gone/a", "/media/tester/Disk/a", "/media/tester", "/media/Gone",
                              "/media/nobody/x", "/mnt/Gone/x", "/run/media/tester/Gone/a"})
            root(p);
        out += "undisplay\t" + str(P::ConvertDisplayPathToSystemPath(Str("Disk:a"))) + "\n";
        failed += failures({umount("/media/tester/Disk")});
        out += "unmounted\t" + str(P::GetRootPath(Str("/media/tester/Disk/a"))) + "\n";
        failed += failures({mount("t", "/media/tester", "tmpfs", 0, "size=1m")});   // may reuse Disk's mount id
        root("/media/tester/Gone");
        return out + "failed\t" + std::to_string(failed) + "\n";
    });
    if (m.count("SKIP"))
        GTEST_SKIP() << m["SKIP"];
    const std::string up = str(P::GetRootPath(S(t.path)));
    const std::map<std::string, std::string> expected = {
        {"failed", "0"}, {"before", up + "|" + up + "|" + up}, {"volume", vol + "|" + vol + "|" + vol},
        {"bind", bind + "|" + bind + "|" + bind}, {"stacked", vol + "|" + vol + "|" + vol}, {"isroot", "101"},
        {"display", "mnt dir \xC3\xA9:sub:x/y.txt|bind:|/:|" + file}, {"/media/tester/Gone/a", ""},
        {"/media/tester/Disk/a", "/media/tester/Disk"}, {"/media/tester", "/media"},
        {"/media/Gone", "/media"},   // /media is itself a mounted volume here
        {"/media/nobody/x", ""}, {"/mnt/Gone/x", ""}, {"/run/media/tester/Gone/a", ""},
        {"undisplay", "/media/tester/Disk/a"}, {"unmounted", "/media"}, {"/media/tester/Gone", "/media/tester"}};
    for (const auto& e : expected)
        EXPECT_EQ(m[e.first], e.second) << e.first;
}

// Special folders with HOME, TMPDIR and XDG_DATA_HOME in a sandbox, then with HOME unset.
TEST(XpPathUtil, SpecialFoldersFromTheEnvironment)
{
    TempDir t;
    const std::string home = t.path + "/home", tmp = t.path + "/tmp", data = t.path + "/data";
    const std::string passwdHome = getpwuid(geteuid())->pw_dir;
    std::map<std::string, std::string> m = inChild([&] {
        setenv("HOME", home.c_str(), 1);
        setenv("TMPDIR", tmp.c_str(), 1);
        setenv("XDG_DATA_HOME", data.c_str(), 1);
        // First use of the ellipsis tables from several threads at once.
        std::vector<std::string> seen(4);
        std::vector<std::thread> threads;
        const std::string pictures = t.path + "/HOME/Pictures/a";
        for (int i = 0; i < 4; ++i)
            threads.emplace_back([&, i] { seen[i] = str(P::GetEllipsisDisplayPath(S(pictures))); });
        for (std::thread& th : threads)
            th.join();
        std::string out = "ellipsis\t" + seen[0] + "|" +
                          std::to_string(std::count(seen.begin(), seen.end(), seen[0])) + "|" +
                          str(P::GetEllipsisDisplayPath(S(t.path + "/HOME/PicturesX/a"))) + "|" +
                          str(P::GetEllipsisDisplayPath(Str("/elsewhere/a"))) + "\n";
        auto special = [&](const std::string& key, int type, bool create) {
            std::string folder = str(P::GetSpecialPath(static_cast<P::pathtype>(type), create));
            out += key + "\t" + folder + "|" + std::to_string(XpFileOperation::IsDirAvailable(S(home))) + "\n";
        };
        for (int type : {1, 2, 3, 4, 5, 7, 99, 0, 11})
            special(std::to_string(type), type, false);
        special("temporary made", 0, true);
        special("pictures made", 1, true);
        std::string pref = str(P::GetAppPreferencePath(Str("x"), Str("App"), Str(""), false)) + "|" +
                           str(P::GetAppPreferencePath(Str("x"), Str("App"), Str("Sub"), true));
        out += "pref\t" + pref + "|" + std::to_string(XpFileOperation::IsDirAvailable(S(data + "/App/Sub"))) +
               "\n";
        setenv("TMPDIR", "/proc/no/such", 1);
        special("unmakeable", 0, true);
        setenv("TMPDIR", "relative", 1);
        setenv("XDG_DATA_HOME", "relative", 1);
        special("relative tmp", 0, false);
        special("relative data", 11, false);
        unsetenv("HOME");
        special("no home", 3, false);
        return out;
    });
    const std::map<std::string, std::string> expected = {
        {"ellipsis", home + "/Pictures/a|4|" + home + "/PicturesX/a|/elsewhere/a"}, {"1", home + "/Pictures|0"},
        {"2", home + "/Movies|0"}, {"3", home + "/Music|0"}, {"4", home + "|0"}, {"5", home + "/Desktop|0"},
        {"7", home + "|0"}, {"99", home + "|0"}, {"0", tmp + "/|0"}, {"11", data + "|0"},
        {"temporary made", tmp + "/|0"}, {"pictures made", home + "/Pictures|1"},
        {"pref", data + "/App|" + data + "/App/Sub|1"}, {"unmakeable", "|1"}, {"relative tmp", "/tmp/|1"},
        {"relative data", home + "/.local/share|1"}, {"no home", passwdHome + "/Music|1"}};
    for (const auto& e : expected)
        EXPECT_EQ(m[e.first], e.second) << e.first;
    EXPECT_TRUE(XpFileOperation::IsDirAvailable(S(tmp)));
}

TEST(XpPathUtil, ResourcesOfTheProgram)
{
    char exe[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    const std::string bundle = std::string(exe).substr(0, std::string(exe).rfind('/'));
    // Without a share folder the resources are beside the program.
    EXPECT_EQ(str(P::GetSpecialPath(P::PATH_APP_BUNDLE, true)) + "|" +
                  str(P::GetSpecialPath(P::PATH_APP_RESOURCES, false)) + "|" +
                  str(P::FindApplicationSpecifiedFile(Str("any/XpPathUtilTest"))),
              bundle + "|" + bundle + "|" + bundle + "/XpPathUtilTest");
    for (const char* missing : {"no such.file", "..", ".", ""})
        EXPECT_EQ(str(P::FindApplicationSpecifiedFile(Str(missing))), "") << missing;
    // An installed program's resources: <prefix>/share/<program>.
    const std::string share = bundle.substr(0, bundle.rfind('/')) + "/share";
    const std::string resources = share + "/XpPathUtilTest";
    bool madeShare = mkdir(share.c_str(), 0755) == 0;
    ASSERT_EQ(mkdir(resources.c_str(), 0755), 0);
    makeFile(resources + "/greeting.txt");
    EXPECT_EQ(str(P::GetSpecialPath(P::PATH_APP_RESOURCES, false)) + "|" +
                  str(P::FindApplicationSpecifiedFile(Str("dir/greeting.txt"))) + "|" +
                  str(P::FindApplicationSpecifiedFile(Str("greeting"))),
              resources + "|" + resources + "/greeting.txt|");
    unlink((resources + "/greeting.txt").c_str());
    rmdir(resources.c_str());
    if (madeShare)
        rmdir(share.c_str());
}

TEST(XpPathUtil, MakeDirRecursively)
{
    TempDir t;
    const std::string deep = t.path + "/a/b/c";
    makeFile(t.path + "/file");
    ASSERT_EQ(chmod(t.path.c_str(), 0755), 0);   // nobody may look in, not write
    ASSERT_EQ(symlink((t.path + "/target").c_str(), (t.path + "/link").c_str()), 0);   // planted, dangling
    const std::pair<std::string, XpErr> rows[] = {
        {"a/b", XPERR_FILE_MAKE_DIR_FAILED}, {deep, XPERR_OK}, {deep, XPERR_FILE_EXISTS},
        {deep + "/", XPERR_FILE_EXISTS}, {t.path + "/file/x", XPERR_FILE_PARENT_NOT_FOUND},
        {t.path + "/link", XPERR_FILE_EXISTS}};
    for (const auto& r : rows)
        EXPECT_EQ(XpFileOperation::MakeDirRecursively(S(r.first)), r.second) << r.first;
    EXPECT_TRUE(XpFileOperation::IsDirAvailable(S(deep)));
    EXPECT_FALSE(XpFileOperation::IsPathAvailable(S(t.path + "/target"), nullptr));   // link not followed
    EXPECT_EQ(XpFileOperation::MakeDir(S(t.path + "/missing/x")), XPERR_FILE_PARENT_NOT_FOUND);
    // Refusals: a read-only volume, a volume out of inodes, a folder of root's as nobody.
    std::map<std::string, std::string> m = inChild([&] {
        std::string out, ro = t.path + "/ro", full = t.path + "/full";
        if (!privateMounts(out))
            return out;
        mkdir(ro.c_str(), 0755);
        mkdir(full.c_str(), 0755);
        mount(t.path.c_str(), ro.c_str(), nullptr, MS_BIND, nullptr);
        mount(nullptr, ro.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr);
        mount("t", full.c_str(), "tmpfs", 0, "nr_inodes=2");
        mkdir((full + "/one").c_str(), 0755);
        out += std::string("ro\t") + XpErrName(XpFileOperation::MakeDir(S(ro + "/x"))) + "\n";
        out += std::string("full\t") + XpErrName(XpFileOperation::MakeDir(S(full + "/two"))) + "\n";
        struct passwd* nobody = getpwnam("nobody");
        if (nobody && setgid(nobody->pw_gid) == 0 && setuid(nobody->pw_uid) == 0)
            out += std::string("nobody\t") +
                   XpErrName(XpFileOperation::MakeDirRecursively(S(t.path + "/a/n/m"))) + "\n";
        return out;
    });
    if (m.count("SKIP"))
        GTEST_SKIP() << m["SKIP"];
    EXPECT_EQ(m["ro"] + " " + m["full"] + " " + m["nobody"],
              "XPERR_FILE_ACCESS_DENIED XPERR_FILE_DISK_FULL XPERR_FILE_ACCESS_DENIED");
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
    EXPECT_TRUE(P::GetFileFullName(S(slashes)).IsEmpty() && P::TrimStringForFolderName(spaces.c_str()).IsEmpty());
    EXPECT_EQ(P::CompareLogical(S(digits), S(digits + "0")), -1);
    EXPECT_TRUE(P::ConvertSystemPathToDisplayPath(S(deep)).IsEmpty());
    EXPECT_TRUE(P::ConvertSystemPathToDisplayPath(Str("/tmp/\xFF")).IsEmpty());
    const struct { const char* path; bool relative, rootPath; } rows[] = {
        {"\xFF/a", true, false}, {"", true, true}, {"/", false, true}, {"~/a", true, false},
        {"/tmp/", false, false}, {"C:", true, false}, {" . . ", true, false}, {"/caf\xC3\xA9", false, false}};
    for (const auto& r : rows) {
        EXPECT_EQ(P::IsRelativePath(Str(r.path)), r.relative) << r.path;
        EXPECT_EQ(P::IsRootPath(Str(r.path)), r.rootPath) << r.path;
        EXPECT_EQ(str(P::GetFileSystemRepresentation(Str(r.path))), r.path) << r.path;
    }
}

} // namespace
