// xpfs rmdir, mktemp, concat, available, writable and trash on real files: what each leaves on
// disk and prints, its usage errors, and what a user who is not root gets (a folder that refuses
// him, no process to spare). The other commands' failure messages are rows of XpfsOptions'
// failure table (mktemp's is the refusal below); the rules below the commands are the library's.
#include "XpFileTestSupport.h"

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

TEST(XpfsChange, RemoveTemporaryNamesJoinChecksAndTrash)
{
    xptest::TempDir t;
    ASSERT_EQ(chmod(t.path.c_str(), 0755), 0);   // nobody may look in, not write
    ASSERT_TRUE(xptest::writeFile(t / "a", "first\n") && xptest::writeFile(t / "b.txt", "second\n"));
    fs::create_directories(t / "d/gone");
    EXPECT_EQ(xpfs({"rmdir", t / "d/gone"}).status, 0);
    EXPECT_FALSE(fs::exists(t / "d/gone"));

    // mktemp --digits takes 1 to 10 (its names are XpfsNames' rows).
    expectFailure({"mktemp", "--digits", "11", t.path}, 2, "xpfs: --digits wants a number from 1 to 10\n");

    // concat: the inputs in order, into the file -o names.
    EXPECT_EQ(xpfs({"concat", "-o", t / "joined", t / "a", t / "b.txt", t / "a"}).status, 0);
    EXPECT_EQ(xptest::readFile(t / "joined"), "first\nsecond\nfirst\n");

    // available: a file, not a folder unless --dir, a name whatever its extension with --noext.
    const struct { std::vector<std::string> args; std::string out; } checks[] = {
        {{"available", t / "a"}, "yes\n"}, {{"available", t.path}, "no\n"},
        {{"available", "--dir", t.path}, "yes\n"}, {{"available", "--noext", t / "b"}, "yes\n"}};
    for (const auto& c : checks) {
        xptest::Ran r = xpfs(c.args);
        EXPECT_TRUE(r.status == 0 && r.out == c.out) << c.args.back() << ": " << r.out << r.err;
    }
    expectFailure({"available", "--timeout", "soon", t / "a"}, 2, "xpfs: --timeout wants whole seconds\n");

    // writable: nobody may not write here (root may: XpfsNames' row; that the probe never stays
    // is XpFileOperation.UniqueNames...'s). mktemp as nobody is refused at once.
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

    // trash: every operand goes to the trash of the home (XDG_DATA_HOME), a folder whole. (Its
    // numbered names and information files are XpTrash.ItemsAreListedByGio...'s.)
    fs::create_directories(t / "docs/sub");
    ASSERT_TRUE(xptest::writeFile(t / "docs/report 1.txt", "one") && xptest::writeFile(t / "docs/sub/x", "x"));
    setenv("XDG_DATA_HOME", (t / "share").c_str(), 1);
    xptest::Ran r = xpfs({"trash", t / "docs/report 1.txt", t / "docs/sub"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(xptest::names(t / "docs"), "");
    EXPECT_EQ(xptest::readFile(t / "share/Trash/files/report 1.txt") + xptest::readFile(t / "share/Trash/files/sub/x"), "onex");
}

} // namespace
