// xpfs mkdir, rmdir, rm, rename, mktemp, concat, trash, available and writable on real files:
// what each leaves on disk, what it prints, and its failures through real faults (a full
// device, a folder that refuses a user who is not root, missing and occupied names).
#include "XpFileTestSupport.h"

#include <set>

namespace {

namespace fs = std::filesystem;

using xptest::xpfs;

// A run expected to fail: its status and the start of its message.
void expectFailure(const std::vector<std::string>& args, int status, const std::string& err)
{
    xptest::Ran r = xpfs(args);
    EXPECT_EQ(r.status, status) << args[0] << " " << args.back();
    EXPECT_EQ(r.err.compare(0, err.size(), err), 0) << r.err;
}

TEST(XpfsChange, MakeRenameRemoveTemporaryNamesJoinChecksAndTrash)
{
    xptest::TempDir t;
    ASSERT_TRUE(xptest::writeFile(t / "f", "data") && symlink("f", (t / "link").c_str()) == 0);

    EXPECT_EQ(xpfs({"mkdir", t / "d", t / "e"}).status, 0);
    EXPECT_EQ(xpfs({"mkdir", "-p", t / "p/q/r", t / "d"}).status, 0);   // -p: an existing one is fine
    EXPECT_TRUE(fs::is_directory(t / "d") && fs::is_directory(t / "e") && fs::is_directory(t / "p/q/r"));

    // rename: to a free name only; FROM missing or TO taken change nothing.
    EXPECT_EQ(xpfs({"rename", t / "f", t / "g"}).status, 0);
    EXPECT_TRUE(!fs::exists(t / "f") && xptest::readFile(t / "g") == "data");
    ASSERT_TRUE(xptest::writeFile(t / "taken", "keep"));
    expectFailure({"rename", t / "g", t / "taken"}, 1, "xpfs: cannot move '" + t / "g" + "' to '" + t / "taken" + "': File exists\n");
    expectFailure({"rename", t / "f", t / "h"}, 1, "xpfs: cannot stat '" + t / "f" + "': No such file or directory\n");
    expectFailure({"rename", t / "g"}, 2, "xpfs: missing operand\n");
    EXPECT_TRUE(xptest::readFile(t / "g") == "data" && xptest::readFile(t / "taken") == "keep");

    // rmdir: empty folders only; rm: files, a link as the link; rm -r: whole trees.
    ASSERT_TRUE(xptest::writeFile(t / "e/inside", ""));
    EXPECT_EQ(xpfs({"rmdir", t / "d"}).status, 0);
    expectFailure({"rmdir", t / "e"}, 1, "xpfs: failed to remove '" + t / "e" + "': Directory not empty\n");
    EXPECT_TRUE(!fs::exists(t / "d") && fs::exists(t / "e/inside"));
    ASSERT_EQ(symlink("g", (t / "link2").c_str()), 0);
    EXPECT_EQ(xpfs({"rm", t / "link2", t / "taken"}).status, 0);
    EXPECT_TRUE(!fs::exists(fs::symlink_status(t / "link2")) && !fs::exists(t / "taken") &&
                xptest::readFile(t / "g") == "data");
    EXPECT_EQ(xpfs({"rm", "-r", t / "p", t / "e", t / "link", t / "g"}).status, 0);
    EXPECT_EQ(fs::directory_iterator(t.path), fs::directory_iterator());

    // Temporary names, joining and checks, in the folder now empty.
    ASSERT_EQ(chmod(t.path.c_str(), 0755), 0);   // nobody may look in, not write
    ASSERT_TRUE(xptest::writeFile(t / "a", "first\n") && xptest::writeFile(t / "b.txt", "second\n"));

    // mktemp: the first free number, made exclusively; --digits sets the width.
    EXPECT_EQ(xpfs({"mktemp", t.path}).out, t / "00000000.tmp\n");
    EXPECT_EQ(xpfs({"mktemp", t.path}).out, t / "00000001.tmp\n");
    EXPECT_EQ(xpfs({"mktemp", "--digits", "2", t.path}).out, t / "00.tmp\n");
    EXPECT_TRUE(fs::is_regular_file(t / "00000001.tmp") && fs::file_size(t / "00.tmp") == 0);
    expectFailure({"mktemp", t / "none"}, 1, "xpfs: cannot create a temporary file in '" + t / "none" + "': not an existing folder\n");
    expectFailure({"mktemp", "--digits", "11", t.path}, 2, "xpfs: --digits wants a number from 1 to 10\n");

    // concat: the inputs in order; a full device fails the write, a missing input is reported.
    EXPECT_EQ(xpfs({"concat", "-o", t / "joined", t / "a", t / "b.txt", t / "a"}).status, 0);
    EXPECT_EQ(xptest::readFile(t / "joined"), "first\nsecond\nfirst\n");
    // (The library keeps no cause of a concatenation: its code is the reason.)
    expectFailure({"concat", "-o", "/dev/full", t / "a"}, 1, "xpfs: cannot concatenate into '/dev/full': XPERR_FILE_DISK_FULL\n");
    expectFailure({"concat", "-o", t / "out", t / "none"}, 1, "xpfs: cannot concatenate into '" + t / "out" + "': XPERR_");
    expectFailure({"concat", t / "a"}, 2, "xpfs: expected -o OUT\n");

    // available: files, folders, names whatever their extension; a path spelled with "//", "."
    // and ".." is judged by the volume of the folder it names.
    fs::create_directory(t / "d");
    const struct { std::vector<std::string> args; std::string out; } checks[] = {
        {{"available", t / "a"}, "yes\n"}, {{"available", t.path}, "no\n"},
        {{"available", t.path + "//d/./../a"}, "yes\n"}, {{"available", "--noext", t / "d/../b"}, "yes\n"},
        {{"available", "--dir", t.path}, "yes\n"}, {{"available", "--dir", t / "a"}, "no\n"},
        {{"available", "--noext", t / "b"}, "yes\n"}, {{"available", "--timeout", "1", t / "none"}, "no\n"}};
    for (const auto& c : checks) {
        xptest::Ran r = xpfs(c.args);
        EXPECT_TRUE(r.status == 0 && r.out == c.out) << c.args.back() << ": " << r.out << r.err;
    }
    expectFailure({"available", "--timeout", "soon", t / "a"}, 2, "xpfs: --timeout wants whole seconds\n");
    expectFailure({"available", t / "a", t / "b.txt"}, 2, "xpfs: too many operands\n");

    // writable: root may write here, nobody may not; neither probe stays. mktemp as nobody is
    // refused at once.
    EXPECT_EQ(xpfs({"writable", t.path}).out, "yes\n");
    xptest::checkAsNobody([&] {
        EXPECT_EQ(xpfs({"writable", t.path}).out, "no\n");
        expectFailure({"mktemp", t.path}, 1, "xpfs: cannot create a temporary file in '" + t.path + "': no file can be created there\n");
        // No process may be started (the user's process limit): available asks in its own.
        // (A leak check at exit would need a process of its own: none in a sanitized build.)
        const char* sanitizer = std::getenv("ASAN_OPTIONS");
        setenv("ASAN_OPTIONS", (std::string(sanitizer ? sanitizer : "") + ":detect_leaks=0").c_str(), 1);
        std::string said;
        for (const std::string& path : {t.path, t / "none"})
            said += xptest::spawn({"prlimit", "--nproc=0", XPFS_PROGRAM, "available", "--dir", path}).out;
        EXPECT_EQ(said, "yes\nno\n");
    });
    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(t.path))
        left.insert(entry.path().filename().string());
    EXPECT_EQ(left, (std::set<std::string>{"00.tmp", "00000000.tmp", "00000001.tmp", "a", "b.txt", "d", "joined", "out"}));

    // The trash keeps the item and where it came from.
    fs::create_directories(t / "home/docs/sub");
    ASSERT_TRUE(xptest::writeFile(t / "home/docs/report 1.txt", "one") &&
                xptest::writeFile(t / "home/docs/sub/x", "x") && (fs::create_directories(t / "other"), xptest::writeFile(t / "other/report 1.txt", "two")));
    setenv("XDG_DATA_HOME", (t / "home/.local/share").c_str(), 1);   // the home trash below it

    xptest::Ran r = xpfs({"trash", t / "home/docs/report 1.txt", t / "home/docs/sub", t / "other/report 1.txt"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string trash = t / "home/.local/share/Trash";
    EXPECT_FALSE(fs::exists(t / "home/docs/report 1.txt") || fs::exists(t / "home/docs/sub"));
    // The second item of one name gets the next number; the information file records the
    // original path, percent-encoded, for any file manager to put it back.
    EXPECT_EQ(xptest::readFile(trash + "/files/report 1.txt"), "one");
    EXPECT_EQ(xptest::readFile(trash + "/files/report 1(1).txt"), "two");
    EXPECT_EQ(xptest::readFile(trash + "/files/sub/x"), "x");
    std::string info = xptest::readFile(trash + "/info/report 1(1).txt.trashinfo");
    EXPECT_EQ(info.compare(0, 19, "[Trash Info]\nPath=/"), 0) << info;
    EXPECT_NE(info.find("/other/report%201.txt\nDeletionDate="), std::string::npos) << info;
}

} // namespace
