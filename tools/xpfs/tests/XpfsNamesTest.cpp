// xpfs on names the library does not take as text (bytes that are not UTF-8), relative paths,
// paths longer than PATH_MAX, and a trash request for nothing; the tool runs as a real process.
#include "XpFileTestSupport.h"

#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;

using xptest::xpfs;

// The value of "key: " in info's output, "" when it is missing.
std::string field(const std::string& info, const std::string& key)
{
    size_t at = info.find("\n" + key + ": ");
    if (at == std::string::npos)
        return "";
    at += key.size() + 3;
    return info.substr(at, info.find('\n', at) - at);
}

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
    EXPECT_EQ(xpfs({"path", "display", t / "a:b\xfe/f\xff"}).out, expected);
    EXPECT_EQ(field("\n" + xpfs({"info", t / "a:b\xfe/f\xff"}).out, "display path") + "\n", expected);
}

TEST(XpfsNames, FolderCommandsOnNamesThatAreNotUtf8)
{
    xptest::TempDir t;
    const std::string dir = t / "d\xfe";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    const struct { std::vector<std::string> args; std::string out; } rows[] = {
        {{"writable", dir}, "yes\n"},
        {{"available", "--dir", dir}, "yes\n"},
        {{"available", dir}, "no\n"},   // a folder, not a file
        {{"available", dir + "/none"}, "no\n"},
        {{"mktemp", "--digits", "2", dir}, dir + "/00.tmp\n"},
        {{"mktemp", "--digits", "2", dir + "/"}, dir + "/01.tmp\n"},
    };
    for (const auto& r : rows) {
        xptest::Ran ran = xpfs(r.args);
        EXPECT_EQ(ran.out, r.out) << r.args[0] << ": " << ran.err;
    }
    EXPECT_EQ(xptest::names(dir), "00.tmp\n01.tmp\n");
    EXPECT_EQ(xpfs({"available", dir + "/00.tmp"}).out, "yes\n");
}

TEST(XpfsNames, RenameOfNamesThatAreNotUtf8)
{
    xptest::TempDir t;
    ASSERT_TRUE(xptest::writeFile(t / "caf\xe9", "file") && mkdir((t / "d\xfe").c_str(), 0755) == 0 &&
                xptest::writeFile(t / "d\xfe/in", "inner") && xptest::writeFile(t / "taken\xff", "taken"));
    const struct { std::string from, to; int status; } rows[] = {
        {t / "caf\xe9", t / "cafe", 0},                  // from a name that is not UTF-8
        {t / "cafe", t / "d\xfe/caf\xe9", 0},            // into a folder whose name is not
        {t / "d\xfe", t / "e\xfd", 0},                   // a folder, with what is in it
        {t / "e\xfd/caf\xe9", t / "taken\xff", 1},       // never over anything that is there
    };
    for (const auto& r : rows) {
        xptest::Ran ran = xpfs({"rename", r.from, r.to});
        EXPECT_EQ(ran.status, r.status) << r.from << " -> " << r.to << ": " << ran.err;
    }
    EXPECT_EQ(xptest::names(t.path), "e\xfd\ntaken\xff\n");
    EXPECT_EQ(xptest::readFile(t / "e\xfd/caf\xe9"), "file");
    EXPECT_EQ(xptest::readFile(t / "e\xfd/in"), "inner");
    EXPECT_EQ(xptest::readFile(t / "taken\xff"), "taken");
}

TEST(XpfsNames, InfoOfRelativePathNamesItsVolumeRoot)
{
    xptest::TempDir t;
    ASSERT_TRUE(xptest::writeFile(t / "f", "x"));
    const std::string root = xpfs({"path", "root", t.path}).out;
    ASSERT_FALSE(root.empty());
    xptest::checkInChild([&] {
        ASSERT_EQ(chdir(t.path.c_str()), 0);
        EXPECT_EQ(field("\n" + xpfs({"info", "f"}).out, "root") + "\n", root);
        EXPECT_EQ(xpfs({"path", "root", "f"}).out, root);
    });
}

TEST(XpfsNames, MkdirParentsBeyondPathMax)
{
    xptest::TempDir t;
    const std::string chain = xptest::longChain(25);
    xptest::Ran r = xpfs({"mkdir", "-p", t / chain});
    EXPECT_EQ(r.status, 0) << r.err;
    // find walks by descriptors too: its deepest entry is the last level.
    xptest::Ran found = xptest::spawn({"find", t.path, "-type", "d", "-name", std::string(200, 'y')});
    EXPECT_EQ(found.out, t / chain + "\n");
    xptest::spawn({"rm", "-rf", t / "a"});   // deeper than the folder's own cleanup reaches
}

} // namespace
