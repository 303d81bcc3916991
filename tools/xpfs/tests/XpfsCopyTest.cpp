// xpfs cp on real files and folders: a FIFO in a tree, --safe against -p, a wide tree through the
// workers; cp --progress's bar on a real pseudo-terminal, where a Ctrl-C typed in the middle of a
// large copy (with or without the bar) stops it, ends the tool by SIGINT, keeps the old
// destination and leaves no temporary behind; and -i's questions answered on a terminal.
#include "XpFileTestSupport.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <functional>

namespace {

namespace fs = std::filesystem;

using xptest::names;
using xptest::xpfs;

// A FIFO in a tree is named and skipped, never opened (the copy would hang on it), which fails
// the command; the rest arrives. What lands where for each option is XpfsOptions' coreutils
// table, and the tree copy's rules are XpTreeCopy's.
TEST(XpfsCopy, AFifoInATreeIsToldAndSkippedAndTheRestArrives)
{
    xptest::TempDir t;
    fs::create_directories(t / "src/sub");
    ASSERT_TRUE(xptest::writeFile(t / "src/a.txt", "alpha") && xptest::writeFile(t / "src/sub/b", "b") &&
                mkfifo((t / "src/fifo").c_str(), 0600) == 0);
    xptest::Ran r = xpfs({"cp", t / "src", t / "copy"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "xpfs: skipping '" + t / "src/fifo" + "': not a regular file, folder or link\n");
    EXPECT_EQ(names(t / "copy"), "a.txt\nsub\n");
    EXPECT_EQ(xptest::readFile(t / "copy/a.txt") + xptest::readFile(t / "copy/sub/b"), "alphab");
}

// --safe takes the copy by paths (CopyFileSafely), whose copy is the caller's and never set-id;
// -p keeps the owner, and with it the set-id bit, as cp -p does.
TEST(XpfsCopy, SafeCopiesAFileByPathAsTheCallersOwn)
{
    xptest::TempDir t;
    ASSERT_TRUE(xptest::writeFile(t / "prog", "#!") && chown((t / "prog").c_str(), xptest::nobodyUid(), xptest::nobodyGid()) == 0 &&
                chmod((t / "prog").c_str(), 04755) == 0);
    EXPECT_EQ(xpfs({"cp", "--safe", t / "prog", t / "safe"}).status, 0);
    EXPECT_EQ(xpfs({"cp", "-p", t / "prog", t / "plain"}).status, 0);
    EXPECT_EQ(xptest::lstatOf(t / "safe").st_uid, 0u);
    EXPECT_EQ(xptest::modeOf(t / "safe"), 0755u);
    EXPECT_EQ(xptest::lstatOf(t / "plain").st_uid, xptest::nobodyUid());
    EXPECT_EQ(xptest::modeOf(t / "plain"), 04755u);
}

// A wide tree, which the plain copy hands to its workers: with -a every file and folder arrives
// with its content, mode and date (a read-only folder gets its mode only after its files are in,
// or they could not be made). A failing entry in the middle (a folder planted where a file goes)
// is reported by name and stops nothing else.
TEST(XpfsCopy, WideTreeArrivesWholeWithModesAndDatesWhateverTheOrder)
{
    xptest::TempDir t;
    std::vector<std::string> files, folders;
    for (int d = 0; d < 12; ++d) {
        std::string dir = "src/d" + std::to_string(d) + (d % 3 == 0 ? "/inner" : "");
        fs::create_directories(t / dir);
        folders.push_back(dir);
        for (int f = 0; f < 60; ++f) {
            std::string name = dir + "/f" + std::to_string(f);
            ASSERT_TRUE(xptest::writeFile(t / name, std::string(static_cast<size_t>(f * 97 % 5000), char('a' + d)),
                                          f % 4 == 0 ? 0600 : 0644));
            files.push_back(name);
        }
        ASSERT_EQ(chmod((t / dir).c_str(), d % 2 ? 0555 : 0750), 0);   // once its files are in
        if (d % 3 == 0)
            folders.push_back("src/d" + std::to_string(d));
    }
    // Dates set last, from the deepest up, so that nothing written afterwards changes them.
    std::vector<std::string> all(files.rbegin(), files.rend());
    all.insert(all.end(), folders.begin(), folders.end());
    long when = 1000000000;
    for (const std::string& name : all) {
        const struct timespec times[2] = {{when, 0}, {when++, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, (t / name).c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
    }

    xptest::Ran r = xpfs({"cp", "-a", t / "src", t / "copy"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const std::string& name : all) {
        struct stat from, to;
        std::string there = "copy" + name.substr(3);
        ASSERT_EQ(lstat((t / name).c_str(), &from), 0);
        ASSERT_EQ(lstat((t / there).c_str(), &to), 0) << there;
        EXPECT_EQ(to.st_mode, from.st_mode) << there;
        EXPECT_EQ(to.st_mtim.tv_sec, from.st_mtim.tv_sec) << there;
        if (S_ISREG(from.st_mode)) {
            EXPECT_EQ(xptest::readFile(t / there), xptest::readFile(t / name)) << there;
        }
    }

    // Into an existing tree where a folder stands at one file's name: that file fails, by name, and
    // the folder stays. (That the rest still arrives is XpTreeCopy.AFailedEntryIsReported...'s.)
    fs::create_directories(t / "merge/src/d4/f13/held");
    r = xpfs({"cp", t / "src", t / "merge"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "xpfs: cannot write '" + t / "merge/src/d4/f13" + "': Is a directory\n");
    EXPECT_TRUE(fs::is_directory(t / "merge/src/d4/f13/held"));
}

// Ready once the tool printed text.
std::function<bool(pid_t, const std::string&)> once(const std::string& text)
{
    return [text](pid_t, const std::string& screen) { return screen.find(text) != std::string::npos; };
}

// Ready once the tool holds path open (the copy has begun).
std::function<bool(pid_t, const std::string&)> opened(const std::string& path)
{
    return [path](pid_t pid, const std::string&) {
        std::string fds = "/proc/" + std::to_string(pid) + "/fd";
        std::error_code ec;
        for (const auto& fd : fs::directory_iterator(fds, ec))
            if (fs::read_symlink(fd.path(), ec).string() == path)
                return true;
        return false;
    };
}

TEST(XpfsCopy, ProgressBarAndCtrlCOnATerminal)
{
    xptest::TempDir t;
    const std::string x = XPFS_PROGRAM;
    const std::string content = xptest::pattern(3 * 256 * 1024 + 1000, 'a');
    ASSERT_TRUE(xptest::writeFile(t / "small", content) && xptest::writeFile(t / "dest", "old content"));

    // A whole copy: the bar reaches 100 % with the sizes, and the destination is replaced.
    std::string screen;
    EXPECT_EQ(xptest::onTerminal({x, "cp", "--progress", t / "small", t / "dest"}, &screen), 0) << screen;
    EXPECT_NE(screen.find("100% 769.0 KiB / 769.0 KiB"), std::string::npos) << screen;
    EXPECT_EQ(xptest::readFile(t / "dest"), content);

    // Ctrl-C in a copy of 1 GiB, as soon as the bar shows, or without a bar once the source is
    // open: the copy stops, the tool ends by SIGINT, the old destination stays as it was and
    // neither the partial copy nor its temporary is left. The source is allocated, not sparse (a
    // copy keeps holes, so a sparse source would be copied at once), and allocating it writes
    // nothing.
    int fd = open((t / "big").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_TRUE(fd >= 0 && posix_fallocate(fd, 0, 1LL << 30) == 0 && close(fd) == 0);
    for (bool bar : {true, false}) {
        SCOPED_TRACE(bar ? "--progress" : "no bar");
        ASSERT_TRUE(xptest::writeFile(t / "dest", "old content"));
        screen.clear();
        std::vector<std::string> args{x, "cp", t / "big", t / "dest"};
        if (bar)
            args.insert(args.begin() + 2, "--progress");
        EXPECT_EQ(xptest::onTerminal(args, &screen, bar ? once("%") : opened(t / "big"), "\x03"), 128 + SIGINT) << screen;
        EXPECT_EQ(screen.find("100%"), std::string::npos) << "the copy ended before the Ctrl-C";
        // Compared whole, not printed: a failed check must not print a gigabyte.
        EXPECT_TRUE(xptest::readFile(t / "dest") == "old content");
        EXPECT_EQ(names(t.path), "big\ndest\nsmall\n");
    }
}

// -i asks on the terminal before replacing, and does what the answer says.
TEST(XpfsCopy, InteractiveAsksOnTheTerminal)
{
    xptest::TempDir t;
    const std::string x = XPFS_PROGRAM;
    ASSERT_TRUE(xptest::writeFile(t / "a", "new") && xptest::writeFile(t / "b", "old") && xptest::writeFile(t / "c", "c"));
    struct Row { std::vector<std::string> args; const char* question; const char* answer; std::string b; bool cThere; };
    const Row rows[] = {
        {{x, "cp", "-i", t / "a", t / "b"}, "overwrite '", "n\r", "old", true},
        {{x, "cp", "-i", t / "a", t / "b"}, "overwrite '", "y\r", "new", true},
        {{x, "rm", "-i", t / "c"}, "remove regular file '", "y\r", "new", false},
    };
    for (const Row& r : rows) {
        std::string screen;
        EXPECT_EQ(xptest::onTerminal(r.args, &screen, once(r.question), r.answer), 0) << screen;
        EXPECT_NE(screen.find(r.question), std::string::npos) << screen;
        EXPECT_EQ(xptest::readFile(t / "b"), r.b) << r.args[1] << " " << r.answer;
        EXPECT_EQ(fs::exists(t / "c"), r.cThere) << r.args[1] << " " << r.answer;
    }
}

} // namespace
