// The freedesktop.org trash, read back by `gio trash --list` (in its own session bus, with this
// test's XDG folders): original paths, numbered names, two processes at once, links, and the
// trash of another mount, with a hostile .Trash-UID planted.
#include <XpFileOperation.h>

#include "XpFileTestSupport.h"

#include <sys/stat.h>

#include <algorithm>

namespace {

XpErr trash(const std::string& path) { return XpFileOperation::removeFileToRecycleBin(path.c_str()); }

TEST(XpTrash, ItemsAreListedByGioWithTheirPlacesAndNumberedNames)
{
    xptest::TempDir t;
    for (const char* v : {"HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR"})
        setenv(v, (t / v).c_str(), 1);
    // gio shows the bytes of a name that are not ASCII as \xNN.
    std::string src = t / "s\xC3\xA9 d", shown = t / "s\\xc3\\xa9 d", one = t / "one", two = t / "two";
    ASSERT_EQ(mkdir(src.c_str(), 0755) | mkdir(one.c_str(), 0755) | mkdir(two.c_str(), 0755), 0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(xptest::writeFile(src + "/a b.txt", std::to_string(i)));
        EXPECT_EQ(trash(src + "/a b.txt"), XPERR_OK);
    }
    ASSERT_TRUE(xptest::writeFile(t / "target", "target"));
    ASSERT_EQ(symlink((t / "target").c_str(), (src + "/link").c_str()), 0);
    EXPECT_EQ(trash(src + "/link"), XPERR_OK);
    EXPECT_EQ(xptest::readFile(t / "target"), "target");
    char target[256] = {};
    EXPECT_GT(readlink((t / "XDG_DATA_HOME/Trash/files/link").c_str(), target, sizeof target), 0);
    EXPECT_EQ(trash(src + "/none"), XPERR_FILE_REMOVE_FAILED);
    // Two processes trash an item called same.txt at the same moment.
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t pids[2];
    for (int i = 0; i < 2; ++i) {
        std::string item = (i ? two : one) + "/same.txt";
        ASSERT_TRUE(xptest::writeFile(item, item));
        if ((pids[i] = fork()) == 0) {
            char c;
            _exit(read(go[0], &c, 1) == 1 && trash(item) == XPERR_OK ? 0 : 1);
        }
    }
    EXPECT_EQ(write(go[1], "gg", 2), 2);
    for (pid_t pid : pids) {
        int status = -1;
        EXPECT_TRUE(waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    close(go[0]), close(go[1]);
    // A list is taken by its names in the first item's folder.
    ASSERT_TRUE(xptest::writeFile(src + "/x", "") && xptest::writeFile(src + "/y", ""));
    EXPECT_EQ(XpFileOperation::removeFiles({(src + "/x").c_str(), "/elsewhere/y"}, true), XPERR_OK);

    std::string listed = xptest::runProgram({"dbus-run-session", "--", "gio", "trash", "--list"});
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = listed.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(listed.substr(at, end - at));
    std::sort(lines.begin(), lines.end());
    std::vector<std::string> expected = {
        "trash:///a%20b(1).txt\t" + shown + "/a b.txt", "trash:///a%20b(2).txt\t" + shown + "/a b.txt",
        "trash:///a%20b.txt\t" + shown + "/a b.txt", "trash:///link\t" + shown + "/link",
        "trash:///same(1).txt\t", "trash:///same.txt\t",
        "trash:///x\t" + shown + "/x", "trash:///y\t" + shown + "/y"};
    ASSERT_EQ(lines.size(), expected.size()) << listed;
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i].substr(0, expected[i].size()), expected[i]) << listed;
    // Each of the two processes got its own name; both places are recorded.
    std::string places = lines[4].substr(expected[4].size()) + " " + lines[5].substr(expected[5].size());
    EXPECT_TRUE(places == one + "/same.txt " + two + "/same.txt" || places == two + "/same.txt " + one + "/same.txt") << places;
}

TEST(XpTrash, ItemsOfAnotherMountGoToItsOwnTrashNeverThroughAPlantedLink)
{
    xptest::TempDir t;
    setenv("XDG_DATA_HOME", (t / "data").c_str(), 1);
    xptest::checkInMountNamespace([&] {
        for (const std::string& vol : {t / "vol", t / "hostile", t / "evil"})
            ASSERT_TRUE(mkdir(vol.c_str(), 0755) == 0 &&
                        mount("tmpfs", vol.c_str(), "tmpfs", 0, "size=64k") == 0);
        EXPECT_TRUE(xptest::writeFile(t / "vol/x", "x") && xptest::writeFile(t / "hostile/y", "y"));
        EXPECT_EQ(trash(t / "vol/x"), XPERR_OK);
        EXPECT_EQ(xptest::readFile(t / "vol/.Trash-0/files/x"), "x");
        EXPECT_NE(xptest::readFile(t / "vol/.Trash-0/info/x.trashinfo").find("\nPath=x\n"), std::string::npos);
        EXPECT_EQ(symlink((t / "evil").c_str(), (t / "hostile/.Trash-0").c_str()), 0);
        EXPECT_EQ(trash(t / "hostile/y"), XPERR_FILE_REMOVE_FAILED);
        EXPECT_EQ(xptest::readFile(t / "hostile/y"), "y");
        EXPECT_EQ(xptest::runProgram({"ls", "-A", t / "evil"}), "");
    });
}

} // namespace
