// xpfs cp and mv run as root against what another user can plant, where the command itself
// decides: a link given as the destination operand, and the tree copy's road (the file copies
// by paths and the move have the same checks in XpFileCopyTest, with more runs): root-only data
// seen by a watcher and read through a source swapped for a link, and sparse files. The staged
// file that gives up at once where nothing can be made is the one every copy uses
// (XpFileCopy.TemporaryNameSearchStopsAtTheFirstRealFailure). The tool runs as a real process.
#include "XpFileTestSupport.h"

namespace {

// Runs of xpfs per race: a sanitized xpfs takes a good part of a second to start.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
const int kRaceRuns = 40;
#else
const int kRaceRuns = 150;
#endif

using xptest::names;
int xpfs(std::vector<std::string> args) { return xptest::xpfs(std::move(args)).status; }

// A link to root's folder given as the destination operand, planted by nobody, is refused by cp
// and mv; one of root's own is followed. (Links planted inside the destination tree are
// XpTreeCopy.ALinkPlantedWhereAFolderGoesIsNeverFollowed.)
TEST(XpfsCopySafety, ADestinationLinkOfAnotherUserIsNeverFollowed)
{
    xptest::TempDir t;
    for (const char* d : {"src", "victim", "owned"})
        ASSERT_EQ(mkdir((t / d).c_str(), 0755), 0);
    ASSERT_TRUE(xptest::writeFile(t / "src/a", "a") && xptest::writeFile(t / "victim/v", "v"));
    ASSERT_EQ(chmod((t / "victim").c_str(), 0700), 0);
    ASSERT_EQ(symlink((t / "victim").c_str(), (t / "operand").c_str()), 0);
    ASSERT_EQ(lchown((t / "operand").c_str(), xptest::nobodyUid(), xptest::nobodyGid()), 0);
    xptest::expectAll({xpfs({"cp", t / "src", t / "operand"}), xpfs({"mv", t / "src/a", t / "operand"})}, 1);
    EXPECT_EQ(names(t / "victim"), "v\n");
    ASSERT_EQ(symlink((t / "owned").c_str(), (t / "mine").c_str()), 0);
    EXPECT_EQ(xpfs({"cp", t / "src", t / "mine"}), 0);
    EXPECT_EQ(xptest::readFile(t / "owned/src/a"), "a");
}

TEST(XpfsCopySafety, RootOnlyDataStaysRootOnly)
{
    xptest::TempDir t;
    const std::string secret = "SECRET, root only";  // "root only" is what a watcher looks for
    ASSERT_TRUE(xptest::writeFile(t / "secret", secret, 0600) && xptest::writeFile(t / "public", "public"));
    // A copy keeps the source's permission bits from the first instant: nobody opens each new
    // file of a shared folder as it appears.
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
    xptest::expectNoLeakWhileSwapped(t.path, secret, kRaceRuns, [&] { xpfs({"cp", t / "src", t / "out"}); }, t / "out");
}

TEST(XpfsCopySafety, SparseFilesStaySparse)
{
    xptest::TempDir t;
    ASSERT_EQ(mkdir((t / "vol").c_str(), 0755), 0);
    const off_t size = off_t(1) << 30;
    xptest::checkInMountNamespace([&] {
        std::string vol = t / "vol";
        ASSERT_EQ(mount("tmpfs", vol.c_str(), "tmpfs", 0, "size=64m"), 0);
        int fd = open((vol + "/sparse").c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_TRUE(fd >= 0 && pwrite(fd, "end", 3, size - 3) == 3 && close(fd) == 0);
        for (const char* option : {"-p", "--ui"})
            EXPECT_EQ(xpfs({"cp", option, vol + "/sparse", vol + "/copy" + option}), 0) << option;
        // Every copy kept its source (--ui too) and left no temporary behind.
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(vol), {}), 3);
        for (const std::string& copy : {vol + "/copy-p", vol + "/copy--ui"}) {
            struct stat st;
            EXPECT_TRUE(stat(copy.c_str(), &st) == 0 && st.st_size == size && st.st_blocks * 512 < (1 << 20)) << copy;
        }
    });
}

} // namespace
