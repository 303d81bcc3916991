// xpfs cp and mv run as root against what another user can plant: links where folders are
// expected, a source swapped for a link while copies run, files of root-only data, folders where
// no file can be made; and sparse files. The tool runs as a real process (argv, no shell).
#include "XpFileTestSupport.h"

namespace {

// Runs of xpfs per race: a sanitized xpfs takes a good part of a second to start.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
const int kRaceRuns = 40;
#else
const int kRaceRuns = 150;
#endif

using xptest::modeOf;
using xptest::names;
int xpfs(std::vector<std::string> args) { return xptest::xpfs(std::move(args)).status; }

TEST(XpfsCopySafety, TreeCopyNeverWritesThroughAPlantedLink)
{
    xptest::TempDir t;
    for (const char* d : {"src", "src/sub", "victim", "dest", "deep", "deep/src", "plain", "owned"})
        ASSERT_EQ(mkdir((t / d).c_str(), 0755), 0);
    ASSERT_TRUE(xptest::writeFile(t / "src/a", "a") && xptest::writeFile(t / "src/sub/b", "b") &&
                xptest::writeFile(t / "victim/v", "v"));
    ASSERT_EQ(chmod((t / "src").c_str(), 0777) | chmod((t / "victim").c_str(), 0700), 0);
    const struct passwd* nobody = xptest::nobodyUser();
    ASSERT_NE(nobody, nullptr);
    // Links to root's folder, planted by nobody: where the copy of src would go, one level
    // deeper in an existing copy, and as the destination operand itself.
    for (const char* l : {"dest/src", "deep/src/sub", "operand"}) {
        ASSERT_EQ(symlink((t / "victim").c_str(), (t / l).c_str()), 0);
        ASSERT_EQ(lchown((t / l).c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    }
    // Into deep, sub is refused and the rest copied.
    xptest::expectAll({xpfs({"cp", t / "src", t / "dest"}), xpfs({"cp", t / "src", t / "operand"}),
                       xpfs({"mv", t / "src/a", t / "operand"}), xpfs({"cp", t / "src", t / "deep"})}, 1);
    EXPECT_EQ(xptest::readFile(t / "deep/src/a"), "a");
    EXPECT_EQ(modeOf(t / "victim"), 0700u);
    EXPECT_EQ(names(t / "victim"), "v\n");
    // Without planted links: the whole tree with its modes (-a); a link of root's own is followed.
    EXPECT_EQ(xpfs({"cp", "-a", t / "src", t / "plain"}), 0);
    EXPECT_EQ(xptest::readFile(t / "plain/src/sub/b"), "b");
    EXPECT_EQ(modeOf(t / "plain/src"), 0777u);
    ASSERT_EQ(symlink((t / "owned").c_str(), (t / "mine").c_str()), 0);
    EXPECT_EQ(xpfs({"cp", t / "src", t / "mine"}), 0);
    EXPECT_EQ(xptest::readFile(t / "owned/src/a"), "a");
}

TEST(XpfsCopySafety, RootOnlyDataStaysRootOnly)
{
    xptest::TempDir t;
    const std::string secret = "SECRET, root only";  // "root only" is what a watcher looks for
    ASSERT_TRUE(xptest::writeFile(t / "secret", secret, 0600) && xptest::writeFile(t / "public", "public"));
    ASSERT_EQ(mkdir((t / "vol").c_str(), 0755), 0);
    // Every copy keeps the source's permission bits, the one with a progress bar too.
    xptest::expectAll({xpfs({"cp", "-p", t / "secret", t / "bar"}), xpfs({"cp", "--safe", t / "secret", t / "safe"})}, 0);
    EXPECT_EQ(modeOf(t / "bar") | modeOf(t / "safe") << 12, 0600u | 0600u << 12);
    // ... from the first instant: nobody opens each new file of a shared folder as it appears.
    {
        xptest::TempDir shared;
        ASSERT_EQ(chmod(shared.path.c_str(), 01777), 0);
        xptest::NobodyWatcher watcher(shared.path, "root only");
        ASSERT_TRUE(watcher.Ready());
        for (int n = 0; n < 10; ++n)
            EXPECT_EQ(xpfs({"cp", "-p", t / "secret", shared / ("c" + std::to_string(n))}), 0);
        EXPECT_TRUE(watcher.Finish());
    }

    // The source swapped between a file and a link to the root-only file while copies run (a
    // bounded number of them): a copy is "public", or a link, never the secret in a file.
    auto race = [&](const std::vector<std::string>& command, const std::string& out) {
        xptest::expectNoLeakWhileSwapped(t.path, secret, kRaceRuns, [&] { xpfs(command); }, out);
    };
    race({"cp", t / "src", t / "out"}, t / "out");
    race({"cp", "-p", t / "src", t / "out"}, t / "out");
    xptest::checkInMountNamespace([&] {
        ASSERT_EQ(mount("tmpfs", (t / "vol").c_str(), "tmpfs", 0, "size=4m"), 0);
        race({"mv", t / "src", t / "vol/moved"}, t / "vol/moved");
    });
}

TEST(XpfsCopySafety, CopyIntoAFolderWhereNothingCanBeMadeEndsAtOnce)
{
    xptest::TempDir t;
    ASSERT_TRUE(chmod(t.path.c_str(), 0755) == 0 && xptest::writeFile(t / "src", "data") &&
                mkdir((t / "locked").c_str(), 0755) == 0);
    for (const char* option : {"--safe", "-p"}) {
        SCOPED_TRACE(option);
        xptest::expectGivesUpAtOnce(t.path, [&](const std::string& folder) {
            return xpfs({"cp", option, t / "src", folder + "/dst"}) == 1;
        });
    }
}

TEST(XpfsCopySafety, SparseFilesStaySparse)
{
    xptest::TempDir t;
    for (const char* d : {"vol", "far"})
        ASSERT_EQ(mkdir((t / d).c_str(), 0755), 0);
    const off_t size = off_t(1) << 30;
    xptest::checkInMountNamespace([&] {
        std::string vol = t / "vol", far = t / "far";
        ASSERT_TRUE(mount("tmpfs", vol.c_str(), "tmpfs", 0, "size=64m") == 0 && mount("tmpfs", far.c_str(), "tmpfs", 0, "size=64m") == 0);
        int fd = open((vol + "/sparse").c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_TRUE(fd >= 0 && pwrite(fd, "end", 3, size - 3) == 3 && close(fd) == 0);
        for (const char* option : {"--safe", "-p", "--ui"})
            EXPECT_EQ(xpfs({"cp", option, vol + "/sparse", vol + "/copy" + option}), 0) << option;
        // Every copy kept its source (--ui too) and left no temporary behind.
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(vol), {}), 4);
        EXPECT_EQ(xpfs({"cp", vol + "/sparse", vol + "/plain"}), 0);
        EXPECT_EQ(xpfs({"mv", vol + "/plain", far + "/moved"}), 0);
        for (const std::string& copy : {vol + "/copy--safe", vol + "/copy-p", vol + "/copy--ui", far + "/moved"}) {
            struct stat st;
            EXPECT_TRUE(stat(copy.c_str(), &st) == 0 && st.st_size == size && st.st_blocks * 512 < (1 << 20)) << copy;
            char end[4] = {};
            EXPECT_TRUE(std::ifstream(copy, std::ios::binary).seekg(size - 3).read(end, 3) && std::string(end) == "end") << copy;
        }
    });
}

} // namespace
