// xpfs on names the library does not take as text (bytes that are not UTF-8) and relative paths;
// the tool runs as a real process. (mkdir -p beyond PATH_MAX is XpMakeDirChain's test.)
#include "XpFileTestSupport.h"

#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;

using xptest::xpfs;

TEST(XpfsNames, InfoOfNamesThatAreNotUtf8)
{
    xptest::TempDir t;
    const std::string file = t / "caf\xe9.txt", dir = t / "d\xff";
    ASSERT_TRUE(xptest::writeFile(file, "12345") && mkdir(dir.c_str(), 0755) == 0 &&
                xptest::writeFile(dir + "/inner", "abc"));
    xptest::Ran r = xpfs({"info", file, dir});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("path: " + file + "\nkind: file\nsize: 5\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("path: " + dir + "\nkind: directory\nsize: 3\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(": -\n"), std::string::npos) << r.out;   // every date was read
}

TEST(XpfsNames, DisplayPathOfNamesThatAreNotUtf8)
{
    xptest::TempDir t;
    ASSERT_TRUE(mkdir((t / "a:b\xfe").c_str(), 0755) == 0 && xptest::writeFile(t / "a:b\xfe/f\xff", ""));
    const std::string above = xpfs({"path", "display", t.path}).out;
    ASSERT_FALSE(above.empty());
    const std::string expected = above.substr(0, above.size() - 1) + ":a/b\xfe:f\xff\n";
    EXPECT_EQ(xpfs({"path", "display", t / "a:b\xfe/f\xff"}).out, expected);   // info's display path is the same function's
}

TEST(XpfsNames, FolderCommandsOnNamesThatAreNotUtf8)
{
    xptest::TempDir t;
    const std::string dir = t / "d\xfe";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    const struct { std::vector<std::string> args; std::string out; } rows[] = {
        {{"writable", dir}, "yes\n"},
        {{"available", "--dir", dir}, "yes\n"},
        {{"mktemp", "--digits", "2", dir}, dir + "/00.tmp\n"},
    };
    for (const auto& r : rows) {
        xptest::Ran ran = xpfs(r.args);
        EXPECT_EQ(ran.out, r.out) << r.args[0] << ": " << ran.err;
    }
    EXPECT_EQ(xptest::names(dir), "00.tmp\n");
}

// The folder is a volume of its own, so that its root is not the one of "/" (which a relative
// path read from the wrong place would also get).
TEST(XpfsNames, InfoOfRelativePathNamesItsVolumeRoot)
{
    xptest::TempDir t;
    xptest::checkInMountNamespace([&] {
        ASSERT_EQ(mount("tmpfs", t.path.c_str(), "tmpfs", 0, "size=1m"), 0);
        ASSERT_TRUE(xptest::writeFile(t / "f", "x"));
        const std::string info = xptest::spawn({"env", "-C", t.path, XPFS_PROGRAM, "info", "f"}).out;
        EXPECT_NE(info.find("\nroot: " + t.path + "\n"), std::string::npos) << info;
        EXPECT_EQ(xptest::spawn({"env", "-C", t.path, XPFS_PROGRAM, "path", "root", "f"}).out, t.path + "\n");
    });
}

} // namespace
