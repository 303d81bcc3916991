// Path operations: the text rules as tables, then the platform half on real mounts (in a private
// mount namespace of a forked child), special folders from a sandboxed environment (in a child,
// since the environment is process-wide), the program's resources, and hostile input.
#include <XpFileOperation.h>
#include <XpPathUtil.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <ftw.h>
#include <map>
#include <pwd.h>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

typedef XpStringT<char> Str;
typedef XpPathUtil P;

std::string str(const Str& s) { return std::string(s.GetBuffer(), static_cast<size_t>(s.Length())); }

// A fresh folder under $TMPDIR (else /tmp), removed with everything in it.
struct TempDir {
    std::string path;
    TempDir()
    {
        const char* tmp = std::getenv("TMPDIR");
        path = std::string(tmp && *tmp == '/' ? tmp : "/tmp") + "/XpPathUtilTest.XXXXXX";
        if (mkdtemp(&path[0]) == nullptr)
            ADD_FAILURE() << "mkdtemp";
    }
    ~TempDir()
    {
        nftw(path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
             FTW_DEPTH | FTW_PHYS);
    }
};

std::string readAll(int fd)
{
    std::string out;
    char chunk[4096];
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) != 0;)
        if (n > 0)
            out.append(chunk, static_cast<size_t>(n));
        else if (errno != EINTR)
            break;
    close(fd);
    return out;
}

// Runs body in a forked child and returns the text it produced ("<child died>" appended when
// the child did not end normally).
std::string inChild(const std::function<std::string()>& body)
{
    int fds[2];
    if (pipe(fds) != 0)
        return "<pipe>";
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::string out = body();
        _exit(write(fds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size()) ? 0 : 1);
    }
    close(fds[1]);
    std::string out = readAll(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : out + "<child died>";
}

// The last line of what a program run without a shell writes to standard output.
std::string run(std::vector<std::string> args)
{
    int fds[2];
    if (pipe(fds) != 0)
        return "<pipe>";
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    std::string out = readAll(fds[0]);
    waitpid(pid, nullptr, 0);
    if (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out.substr(out.rfind('\n') == std::string::npos ? 0 : out.rfind('\n') + 1);
}

// "key\tvalue" lines, as the children report.
std::map<std::string, std::string> parse(const std::string& text)
{
    std::map<std::string, std::string> m;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        m[line.substr(0, line.find('\t'))] = line.find('\t') == std::string::npos ? "" : line.substr(line.find('\t') + 1);
    return m;
}

void makeFile(const std::string& path) { close(open(path.c_str(), O_CREAT | O_WRONLY, 0644)); }

// Enters a private mount namespace; false (with the reason in why) when the machine refuses.
bool privateMounts(std::string& why)
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        why = std::string("SKIP\tno private mount namespace: ") + strerror(errno) + "\n";
        return false;
    }
    return true;
}

TEST(XpPathUtil, TailDelimiterAndRelationship)
{
    const struct { const char *in, *cut, *appended; } tails[] = {
        {"/", "", "/"}, {"/a//", "/a/", "/a//"}, {"", "", "/"}, {"/a", "/a", "/a/"}, {"a/", "a", "a/"}};
    for (const auto& t : tails) {
        Str cut(t.in), appended(t.in);
        P::CutTailPathDelimiter(cut);
        P::AppendTailPathDelimiter(appended);
        EXPECT_EQ(str(cut), t.cut) << t.in;
        EXPECT_EQ(str(appended), t.appended) << t.in;
    }
    const struct { const char *a, *b; int32_t rel; } rels[] = {
        {"/a/b", "/A", P::PATHREL_CHILD}, {"/a", "/a/b", P::PATHREL_PARENT}, {"/a", "/A/", P::PATHREL_SAME},
        {"/ab", "/a", P::PATHREL_UNRELATED}, {"/Users/X", "/users/x/", P::PATHREL_SAME}, {"", "/", P::PATHREL_SAME},
        {"", "/x", P::PATHREL_PARENT}, {"/a/b", "/a/c", P::PATHREL_UNRELATED}, {"/a//", "/a", P::PATHREL_CHILD}};
    const int32_t reverse[] = {P::PATHREL_PARENT, P::PATHREL_CHILD, P::PATHREL_SAME, P::PATHREL_UNRELATED};
    for (const auto& r : rels) {
        EXPECT_EQ(P::CheckPathRelationship(Str(r.a), Str(r.b)), r.rel) << r.a << " " << r.b;
        EXPECT_EQ(P::CheckPathRelationship(Str(r.b), Str(r.a)), reverse[r.rel]) << r.b << " " << r.a;
        EXPECT_EQ(P::IsEqualPath(Str(r.a), Str(r.b)), r.rel == P::PATHREL_SAME) << r.a << " " << r.b;
    }
}

TEST(XpPathUtil, JoiningAndSplitting)
{
    const char* joins[][3] = {{"/a", "b", "/a/b"}, {"/a/", "/b", "/a/b"}, {"", "b", "b"}, {"", "/b", "b"},
                              {"/a", "", "/a/"}, {"/a", "//b", "/a//b"}, {"/", "x", "/x"}};
    for (const auto& j : joins)
        EXPECT_EQ(str(P::Concatenate(Str(j[0]), Str(j[1]))), j[2]) << j[0] << " + " << j[1];
    // path: SplitPath's directory, name and extension; GetFileFullName; GetFileExt.
    const char* splits[][6] = {
        {"/a/b.txt", "/a/", "b", ".txt", "b.txt", ".txt"}, {"/a/b/", "/a/", "b", "", "b", ""},
        {"/a.d/b", "/a.d/", "b", "", "b", ""}, {"b.tar.gz", "", "b.tar", ".gz", "b.tar.gz", ".gz"},
        {"/a/.profile", "/a/", "", ".profile", ".profile", ".profile"}, {"/", "/", "", "", "", ""},
        {"/a/b.txt/", "/a/", "b", ".txt", "b.txt", ""}, {"/x.y/z", "/x.y/", "z", "", "z", ""},
        {"/a/b//", "/a/b/", "", "", "b", ""}, {"", "", "", "", "", ""}, {".", "", "", ".", ".", "."}};
    for (const auto& s : splits) {
        Str dir("?"), name("?"), ext("?");
        P::SplitPath(Str(s[0]), &dir, &name, &ext);
        EXPECT_EQ(str(dir) + "|" + str(name) + "|" + str(ext), std::string(s[1]) + "|" + s[2] + "|" + s[3]) << s[0];
        EXPECT_EQ(str(P::GetFileDir(Str(s[0]))) + "|" + str(P::GetFileName(Str(s[0]))), std::string(s[1]) + "|" + s[2]);
        EXPECT_EQ(str(P::GetFileFullName(Str(s[0]))), s[4]) << s[0];
        EXPECT_EQ(str(P::GetFileExt(Str(s[0]))), s[5]) << s[0];
    }
    const char* exts[][3] = {{"/a/b.txt", "png", "/a/b.png"}, {"/a/b.txt", ".png", "/a/b..png"}, {"b", "c", "b.c"}};
    for (const auto& e : exts)
        EXPECT_EQ(str(P::ConvertExt(Str(e[0]), Str(e[1]))), e[2]);
}

TEST(XpPathUtil, NamesAndTrims)
{
    const struct { const char* name; bool valid; } names[] = {
        {"a:b", true}, {"a\tb", false}, {"a/b", false}, {"", true}, {" . ", true}};
    for (const auto& n : names)
        EXPECT_EQ(P::IsValid(Str(n.name)), n.valid) << n.name;
    // input, folder-name trim, file-name trim
    const char* trims[][3] = {
        {" ..name.. ", "name", "..name.. "}, {"\t\n x \r", "x", "x \r"},
        {"\xC2\xA0x\xE3\x80\x80", "x", "x\xE3\x80\x80"},         // no-break and ideographic spaces
        {"\xC2\x85x\xE2\x80\x83", "x", "x\xE2\x80\x83"},         // next line, em space
        {"voil\xC3\xA0", "voil\xC3\xA0", "voil\xC3\xA0"},        // a letter whose last byte is 0xA0
        {"\xA0x\xA0", "\xA0x\xA0", "\xA0x\xA0"},                 // lone bytes are not characters
        {"x\xE3\x80", "x\xE3\x80", "x\xE3\x80"},                 // a cut ideographic space
        {"\x1Cx", "\x1Cx", "\x1Cx"},                             // not white space in the C locale
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
    for (const auto& d : displays) {
        EXPECT_EQ(str(P::GetDisplayPath(Str(d[0]))), d[1]) << d[0];
        EXPECT_EQ(str(P::GetFileFullNameForDisplay(Str(d[0]))), d[2]) << d[0];
    }
    Strings strings;
    const struct { const char* path; bool provider; const char* shown; } exs[] = {
        {"<X>/Music/", true, "No drive/Music"}, {"<X>/", true, "No drive"}, {"<X>", true, "No drive"},
        {"<nothing", true, "No drive<nothing"}, {"<X>/Music/", false, "<X>/Music"}, {"C:", true, "C:/"},
        {"C:/", true, "C:/"}, {"/a/b/", true, "/a/b"}, {"ab/", true, "ab"}};
    for (const auto& e : exs)
        EXPECT_EQ(str(P::GetDisplayPathEx(Str(e.path), e.provider ? &strings : nullptr, false)), e.shown) << e.path;
    const std::string key = "Messages/DataBase/NotDriveExists;";
    EXPECT_EQ(strings.keys, key + key + key + key);
    const char* swaps[][2] = {{"a:b/c", "a/b:c"}, {"::", "//"}, {"plain", "plain"}};
    for (const auto& s : swaps) {
        EXPECT_EQ(str(P::ConvertSystemNameToDisplayName(Str(s[0]))), s[1]);
        EXPECT_EQ(str(P::ConvertDisplayNameToSystemName(Str(s[1]))), s[0]);
    }
}

TEST(XpPathUtil, CompareLogical)
{
    const struct { const char *a, *b; int order; } rows[] = {
        {"a2", "A10", -1}, {"file2", "file10", -1}, {"File10", "file2", 1}, {"abc", "ABC", 0}, {"a01", "a1", 1},
        {"x", "x1", -1}, {"", "", 0}, {"", "a", -1}, {"99", "100", -1}, {"a 2", "a10", -1},
        {"\xC3\x89t\xC3\xA9", "\xC3\xA9T\xC3\x89", 0},                         // Été, éTÉ
        {"a\xFF", "a\xC3\xA9", 1}, {"a\xFF", "a\xFE", 1},                      // stray bytes last
        {"v123456789012345678901234567890", "v123456789012345678901234567891", -1},
        {"v0000123456789012345678901234567890", "v99", 1}};
    for (const auto& r : rows) {
        EXPECT_EQ(P::CompareLogical(Str(r.a), Str(r.b)), r.order) << r.a << " " << r.b;
        EXPECT_EQ(P::CompareLogical(Str(r.b), Str(r.a)), -r.order) << r.b << " " << r.a;
    }
    std::vector<std::string> names = {"file10", "File2", "file01", "file1", "file1b", "file"};
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return P::CompareLogical(Str(a.c_str()), Str(b.c_str())) < 0;
    });
    EXPECT_EQ(names, (std::vector<std::string>{"file", "file1", "file01", "file1b", "File2", "file10"}));
}

// Volume roots and display paths on real mounts, each root checked against findmnt and stat.
TEST(XpPathUtil, RootsAndDisplayPathsOfRealMounts)
{
    TempDir t;
    const std::string vol = t.path + "/mnt dir \xC3\xA9", bind = t.path + "/bind";
    const std::string file = vol + "/sub/x:y.txt";
    std::map<std::string, std::string> m = parse(inChild([&] {
        std::string out;
        if (!privateMounts(out))
            return out;
        auto report = [&](const std::string& key, const std::string& path, const std::string& existing) {
            out += key + "\t" + str(P::GetRootPath(Str(path.c_str()))) + "|" +
                   run({"/usr/bin/findmnt", "-n", "-o", "TARGET", "-T", existing}) + "|" +
                   run({"/usr/bin/stat", "-c", "%m", existing}) + "\n";
        };
        mkdir(vol.c_str(), 0755);
        mkdir(bind.c_str(), 0755);
        report("before", vol + "/x", vol);   // the parent's volume, and the table kept
        mount("t", vol.c_str(), "tmpfs", 0, "size=1m");
        mkdir((vol + "/sub").c_str(), 0755);
        makeFile(file);
        mount((vol + "/sub").c_str(), bind.c_str(), nullptr, MS_BIND, nullptr);
        report("volume", vol + "/sub/missing/deeper", vol + "/sub");
        report("bind", bind + "/gone", bind);
        report("base", t.path, t.path);
        out += "isroot\t" + std::to_string(P::IsRootPath(Str(vol.c_str()))) +
               std::to_string(P::IsRootPath(Str((vol + "/").c_str()))) + std::to_string(P::IsRootPath(Str("/"))) + "\n";
        out += "display\t" + str(P::ConvertSystemPathToDisplayPath(Str(file.c_str()))) + "|" +
               str(P::ConvertSystemPathToDisplayPath(Str(bind.c_str()))) + "|" +
               str(P::ConvertSystemPathToDisplayPath(Str("/"))) + "\n";
        out += "back\t" + str(P::ConvertDisplayPathToSystemPath(Str("mnt dir \xC3\xA9:sub:x/y.txt"))) + "\n";
        mount("t", vol.c_str(), "tmpfs", 0, "size=1m");   // stacked on the first
        report("stacked", vol + "/sub", vol);
        // Removable volumes: /media/<user>/Gone is not mounted, Disk is; /mnt/Gone neither.
        int failed = mount("t", "/media", "tmpfs", 0, "size=1m") + mkdir("/media/tester", 0755) +
                     mkdir("/media/tester/Disk", 0755) + mount("t", "/media/tester/Disk", "tmpfs", 0, "size=1m");
        out += "media\t" + std::to_string(failed) + "\n";
        for (const char* p : {"/media/tester/Gone/a", "/media/tester/Disk/a", "/media/tester", "/media/Gone",
                              "/media/nobody/x", "/mnt/Gone/x", "/run/media/tester/Gone/a"})
            out += std::string(p) + "\t" + str(P::GetRootPath(Str(p))) + "\n";
        out += "undisplay\t" + str(P::ConvertDisplayPathToSystemPath(Str("Disk:a"))) + "\n";
        umount("/media/tester/Disk");
        out += "unmounted\t" + str(P::GetRootPath(Str("/media/tester/Disk/a"))) + "\n";
        mount("t", "/media/tester", "tmpfs", 0, "size=1m");
        out += "user volume\t" + str(P::GetRootPath(Str("/media/tester/Gone"))) + "\n";
        return out;
    }));
    if (m.count("SKIP"))
        GTEST_SKIP() << m["SKIP"];
    const std::string mnt = str(P::GetRootPath(Str(t.path.c_str())));
    const std::map<std::string, std::string> expected = {
        {"before", mnt}, {"volume", vol}, {"bind", bind}, {"base", mnt}, {"stacked", vol}};
    for (const auto& e : expected)
        EXPECT_EQ(m[e.first], e.second + "|" + e.second + "|" + e.second) << e.first;
    EXPECT_EQ(m["isroot"], "101");
    EXPECT_EQ(m["display"], "mnt dir \xC3\xA9:sub:x/y.txt|bind:|/:");
    EXPECT_EQ(m["back"], file);
    EXPECT_EQ(m["/media/tester/Gone/a"], "");
    EXPECT_EQ(m["/media/tester/Disk/a"], "/media/tester/Disk");
    EXPECT_EQ(m["/media/tester"], "/media");
    EXPECT_EQ(m["media"], "0");
    EXPECT_EQ(m["/media/Gone"], "/media");   // /media is itself a mounted volume here
    EXPECT_EQ(m["/media/nobody/x"], "");
    EXPECT_EQ(m["/mnt/Gone/x"], "");
    EXPECT_EQ(m["/run/media/tester/Gone/a"], "");
    EXPECT_EQ(m["undisplay"], "/media/tester/Disk/a");
    EXPECT_EQ(m["unmounted"], "/media");
    EXPECT_EQ(m["user volume"], "/media/tester");
}

TEST(XpPathUtil, DisplayPathsWithoutMounts)
{
    struct passwd* me = getpwuid(geteuid());
    ASSERT_NE(me, nullptr);
    const std::string media = std::string("/media/") + me->pw_name;
    const char* backs[][2] = {{"/:", "/"}, {"/:tmp:a/b", "/tmp/a:b"}, {":a::b:", "a/b"}, {"name", "name"},
                              {"/tmp", ":tmp"}, {"", ""}, {"/dev/null", "/dev/null"}};
    for (const auto& b : backs)
        EXPECT_EQ(str(P::ConvertDisplayPathToSystemPath(Str(b[0]))), b[1]) << b[0];
    EXPECT_EQ(str(P::ConvertDisplayPathToSystemPath(Str("No Such Volume 7:a:b:"))), media + "/No Such Volume 7/a/b");
    EXPECT_EQ(str(P::ConvertSystemPathToDisplayPath(Str("/no/such/path"))), "");
}

// Special folders with HOME, TMPDIR and XDG_DATA_HOME in a sandbox, then with HOME unset.
TEST(XpPathUtil, SpecialFoldersFromTheEnvironment)
{
    TempDir t;
    const std::string home = t.path + "/home", tmp = t.path + "/tmp", data = t.path + "/data";
    struct passwd* me = getpwuid(geteuid());
    ASSERT_NE(me, nullptr);
    const std::string passwdHome = me->pw_dir;
    std::map<std::string, std::string> m = parse(inChild([&] {
        setenv("HOME", home.c_str(), 1);
        setenv("TMPDIR", tmp.c_str(), 1);
        setenv("XDG_DATA_HOME", data.c_str(), 1);
        std::string out;
        // First use of the ellipsis tables from several threads at once.
        const std::string upper = t.path + "/HOME/Pictures/a";
        std::vector<std::string> seen(4);
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i)
            threads.emplace_back([&, i] { seen[i] = str(P::GetEllipsisDisplayPath(Str(upper.c_str()))); });
        for (std::thread& th : threads)
            th.join();
        out += "ellipsis\t" + seen[0] + "|" + std::to_string(std::count(seen.begin(), seen.end(), seen[0])) + "|" +
               str(P::GetEllipsisDisplayPath(Str((t.path + "/HOME/PicturesX/a").c_str()))) + "|" +
               str(P::GetEllipsisDisplayPath(Str("/elsewhere/a"))) + "\n";
        auto special = [&](const std::string& key, int type, bool create) {
            std::string folder = str(P::GetSpecialPath(static_cast<P::pathtype>(type), create));
            out += key + "\t" + folder + "|" + std::to_string(XpFileOperation::IsDirAvailable(Str(home.c_str()))) + "\n";
        };
        for (int type : {1, 2, 3, 4, 5, 7, 99, 0, 11})
            special(std::to_string(type), type, false);
        special("temporary made", 0, true);
        special("pictures made", 1, true);
        std::string pref = str(P::GetAppPreferencePath(Str("x"), Str("App"), Str(""), false)) + "|" +
                           str(P::GetAppPreferencePath(Str("x"), Str("App"), Str("Sub"), true));
        out += "pref\t" + pref + "|" + std::to_string(XpFileOperation::IsDirAvailable(Str((data + "/App/Sub").c_str()))) + "\n";
        setenv("TMPDIR", "/proc/no/such", 1);
        special("unmakeable", 0, true);
        setenv("TMPDIR", "relative", 1);
        setenv("XDG_DATA_HOME", "relative", 1);
        special("relative tmp", 0, false);
        special("relative data", 11, false);
        unsetenv("HOME");
        special("no home", 3, false);
        unsetenv("TMPDIR");
        special("no tmpdir", 0, false);
        return out;
    }));
    EXPECT_EQ(m["ellipsis"], home + "/Pictures/a|4|" + home + "/PicturesX/a|/elsewhere/a");
    const std::map<std::string, std::string> expected = {
        {"1", home + "/Pictures|0"}, {"2", home + "/Movies|0"}, {"3", home + "/Music|0"}, {"4", home + "|0"},
        {"5", home + "/Desktop|0"}, {"7", home + "|0"}, {"99", home + "|0"}, {"0", tmp + "/|0"}, {"11", data + "|0"},
        {"temporary made", tmp + "/|0"}, {"pictures made", home + "/Pictures|1"}, {"unmakeable", "|1"},
        {"relative tmp", "/tmp/|1"}, {"relative data", home + "/.local/share|1"},
        {"no home", passwdHome + "/Music|1"}, {"no tmpdir", "/tmp/|1"}};
    for (const auto& e : expected)
        EXPECT_EQ(m[e.first], e.second) << e.first;
    EXPECT_EQ(m["pref"], data + "/App|" + data + "/App/Sub|1");
    EXPECT_TRUE(XpFileOperation::IsDirAvailable(Str((tmp + "/").c_str())));
}

TEST(XpPathUtil, ResourcesOfTheProgram)
{
    char exe[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    const std::string bundle = std::string(exe).substr(0, std::string(exe).rfind('/'));
    EXPECT_EQ(str(P::GetSpecialPath(P::PATH_APP_BUNDLE, true)), bundle);
    EXPECT_EQ(str(P::GetSpecialPath(P::PATH_APP_RESOURCES, false)), bundle);   // no share folder yet
    EXPECT_EQ(str(P::FindApplicationSpecifiedFile(Str("any/XpPathUtilTest"))), bundle + "/XpPathUtilTest");
    for (const char* missing : {"no such.file", "..", ".", ""})
        EXPECT_EQ(str(P::FindApplicationSpecifiedFile(Str(missing))), "") << missing;
    // An installed program's resources: <prefix>/share/<program>.
    const std::string share = str(P::GetFileDir(Str(bundle.c_str()))) + "share";
    const std::string resources = share + "/XpPathUtilTest";
    bool madeShare = mkdir(share.c_str(), 0755) == 0;
    ASSERT_EQ(mkdir(resources.c_str(), 0755), 0);
    makeFile(resources + "/greeting.txt");
    EXPECT_EQ(str(P::GetSpecialPath(P::PATH_APP_RESOURCES, false)), resources);
    EXPECT_EQ(str(P::FindApplicationSpecifiedFile(Str("dir/greeting.txt"))), resources + "/greeting.txt");
    EXPECT_EQ(str(P::FindApplicationSpecifiedFile(Str("greeting"))), "");
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
    const struct { std::string path; XpErr err; } rows[] = {
        {"a/b", XPERR_FILE_MAKE_DIR_FAILED}, {deep, XPERR_OK}, {deep, XPERR_FILE_EXISTS},
        {deep + "/", XPERR_FILE_EXISTS}, {t.path + "/file/x", XPERR_FILE_PARENT_NOT_FOUND},
        {t.path + "/link", XPERR_FILE_EXISTS}};
    for (const auto& r : rows)
        EXPECT_EQ(XpFileOperation::MakeDirRecursively(Str(r.path.c_str())), r.err) << r.path;
    EXPECT_TRUE(XpFileOperation::IsDirAvailable(Str(deep.c_str())));
    EXPECT_FALSE(XpFileOperation::IsPathAvailable(Str((t.path + "/target").c_str()), nullptr));   // link not followed
    EXPECT_EQ(XpFileOperation::MakeDir(Str((t.path + "/missing/x").c_str())), XPERR_FILE_PARENT_NOT_FOUND);
    // Refusals: a folder of root's as nobody, a read-only volume, a volume out of inodes.
    std::map<std::string, std::string> m = parse(inChild([&] {
        std::string out;
        if (!privateMounts(out))
            return out;
        const std::string ro = t.path + "/ro", full = t.path + "/full";
        mkdir(ro.c_str(), 0755);
        mkdir(full.c_str(), 0755);
        mount(t.path.c_str(), ro.c_str(), nullptr, MS_BIND, nullptr);
        mount(nullptr, ro.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr);
        mount("t", full.c_str(), "tmpfs", 0, "nr_inodes=2");
        mkdir((full + "/one").c_str(), 0755);
        out += "ro\t" + std::string(XpErrName(XpFileOperation::MakeDir(Str((ro + "/x").c_str())))) + "\n";
        out += "full\t" + std::string(XpErrName(XpFileOperation::MakeDir(Str((full + "/two").c_str())))) + "\n";
        struct passwd* nobody = getpwnam("nobody");
        if (nobody && setgid(nobody->pw_gid) == 0 && setuid(nobody->pw_uid) == 0)
            out += "nobody\t" + std::string(XpErrName(XpFileOperation::MakeDirRecursively(Str((t.path + "/a/n/m").c_str())))) + "\n";
        return out;
    }));
    if (m.count("SKIP"))
        GTEST_SKIP() << m["SKIP"];
    EXPECT_EQ(m["ro"], "XPERR_FILE_ACCESS_DENIED");
    EXPECT_EQ(m["full"], "XPERR_FILE_DISK_FULL");
    EXPECT_EQ(m["nobody"], "XPERR_FILE_ACCESS_DENIED");
}

// Hostile and huge input: defined results, no crash, one pass over 64 KiB.
TEST(XpPathUtil, BadInputGivesDefinedResults)
{
    std::string deep = "/";
    while (deep.size() < 65536)
        deep += "a/";
    const std::string slashes(65536, '/'), spaces(65536, ' '), digits(65536, '7');
    EXPECT_EQ(str(P::GetRootPath(Str("/"))), "/");
    // Each path has the root of the existing folder beside it.
    const std::pair<std::string, const char*> walks[] = {
        {deep, "/"}, {slashes, "/"}, {"/\xFF/x", "/"}, {"/tmp/\xC0\xAF", "/tmp"}, {"/tmp/a\tb/", "/tmp"}};
    for (const auto& w : walks)
        EXPECT_EQ(str(P::GetRootPath(Str(w.first.c_str()))), str(P::GetRootPath(Str(w.second)))) << w.first.size();
    for (const char* p : {"", "\xFF", "relative/missing", "a\tb"})
        EXPECT_EQ(str(P::GetRootPath(Str(p))), "") << p;
    Str dir, name, ext;
    P::SplitPath(Str(deep.c_str()), &dir, &name, &ext);
    EXPECT_EQ(str(dir) + str(name) + str(ext) + "/", deep);
    EXPECT_EQ(str(P::GetFileFullName(Str(slashes.c_str()))), "");
    EXPECT_TRUE(P::TrimStringForFolderName(spaces.c_str()).IsEmpty());
    EXPECT_EQ(P::CompareLogical(Str(digits.c_str()), Str((digits + "0").c_str())), -1);
    EXPECT_EQ(P::CompareLogical(Str(deep.c_str()), Str(deep.c_str())), 0);
    EXPECT_EQ(str(P::ConvertSystemPathToDisplayPath(Str(deep.c_str()))), "");
    EXPECT_EQ(str(P::ConvertSystemPathToDisplayPath(Str("/tmp/\xFF"))), "");
    const struct { const char* path; bool relative, rootPath; const char* fsRep; } rows[] = {
        {"\xFF/a", true, false, "\xFF/a"}, {"", true, true, ""}, {"/", false, true, "/"},
        {"~/a", true, false, "~/a"}, {"/tmp/", false, false, "/tmp/"}, {"C:", true, false, "C:"},
        {" . . ", true, false, " . . "}, {"/caf\xC3\xA9", false, false, "/caf\xC3\xA9"}};
    for (const auto& r : rows) {
        EXPECT_EQ(P::IsRelativePath(Str(r.path)), r.relative) << r.path;
        EXPECT_EQ(P::IsRootPath(Str(r.path)), r.rootPath) << r.path;
        EXPECT_EQ(str(P::GetFileSystemRepresentation(Str(r.path))), r.fsRep) << r.path;
    }
}

} // namespace
