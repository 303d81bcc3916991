// The file operations that create, make, join, rename and remove: every errno rule on a real
// refusal (a child running as nobody, a read-only bind mount, full tmpfs volumes, in a private
// mount namespace), planted links and FIFOs, and unique names under many threads.
#include <XpFileOperation.h>

#include "XpFileTestSupport.h"

#include <sys/stat.h>

#include <functional>
#include <set>
#include <thread>

namespace {

using Str = XpStringT<char>;

struct Row {
    std::string what;
    std::function<XpErr()> op;
    XpErr expected;
    bool asNobody;
};

TEST(XpFileOperationChange, ErrnoRulesOnRealRefusals)
{
    xptest::TempDir t;
    std::string big(65536, 'x'), tooLong = t / std::string(300, 'n'), gone = "/mnt/xp-not-mounted/x";
    ASSERT_EQ(chmod(t.path.c_str(), 0755), 0);   // nobody may walk in, not write
    for (const char* d : {"dir", "src", "src/d", "src/n", "src/n/x", "locked", "locked/y", "ro", "full", "small", "tree", "tree/s"})
        ASSERT_EQ(mkdir((t / d).c_str(), 0755), 0) << d;
    for (const char* f : {"file", "src/f", "locked/x", "tree/a", "tree/s/b"})
        ASSERT_TRUE(xptest::writeFile(t / f, f));
    ASSERT_TRUE(xptest::writeFile(t / "big", big));
    ASSERT_EQ(symlink("a", (t / "tree/l").c_str()) | symlink((t / "file").c_str(), (t / "link").c_str()) |
              symlink((t / "dir").c_str(), (t / "dlink").c_str()) | symlink((t / "none").c_str(), (t / "dangling").c_str()), 0);
    auto mk = [](std::string p) { return [p] { return XpFileOperation::MakeDir(Str(p.c_str())); }; };
    auto mkp = [](std::string p) { return [p] { return XpFileOperation::MakeDirRecursively(p.c_str()); }; };
    auto rm = [](std::string p) { return [p] { return XpFileOperation::removeFile(Str(p.c_str())); }; };
    auto rd = [](std::string p) { return [p] { return XpFileOperation::removeDir(Str(p.c_str())); }; };
    auto mv = [](std::string a, std::string b) { return [a, b] { return XpFileOperation::RenameFile(a.c_str(), b.c_str()); }; };
    const Row rows[] = {
        {"mkdir exists", mk(t / "dir"), XPERR_FILE_EXISTS, false},
        {"mkdir on a link", mk(t / "dangling"), XPERR_FILE_EXISTS, false},
        {"mkdir ENOENT", mk(t / "none/x"), XPERR_FILE_ACCESS_DENIED, false},
        {"mkdir EROFS", mk(t / "ro/new"), XPERR_FILE_ACCESS_DENIED, false},
        {"mkdir EACCES", mk(t / "locked/new"), XPERR_FILE_ACCESS_DENIED, true},
        {"mkdir ENOSPC", mk(t / "full/new"), XPERR_FILE_DISK_FULL, false},
        {"mkdir ENOTDIR", mk(t / "file/x"), XPERR_FILE_PARENT_NOT_FOUND, false},
        {"mkdir ENAMETOOLONG", mk(tooLong), XPERR_FILE_MAKE_DIR_FAILED, false},
        {"mkdir unmounted", mk(gone), XPERR_FILE_DEVICE_NOT_AVAILABLE, false},
        {"mkdir -p relative", mkp("p/q"), XPERR_FILE_MAKE_DIR_FAILED, false},   // even in t
        {"mkdir -p", mkp(t / "p/q/r"), XPERR_OK, false},
        {"mkdir -p again", mkp(t / "p/q/r/"), XPERR_FILE_EXISTS, false},
        {"mkdir -p EACCES", mkp(t / "locked/n/m"), XPERR_FILE_ACCESS_DENIED, true},
        {"unlink ENOENT", rm(t / "none"), XPERR_FILE_NOT_FOUND, false},
        {"unlink ENOENT, relative", rm("none"), XPERR_FILE_NOT_FOUND, false},   // run in t
        {"unlink EISDIR", rm(t / "dir"), XPERR_FILE_REMOVE_FAILED, false},
        {"unlink EROFS", rm(t / "ro/f"), XPERR_FILE_REMOVE_FAILED, false},
        {"unlink EACCES", rm(t / "locked/x"), XPERR_FILE_REMOVE_FAILED, true},
        {"unlink unmounted", rm(gone), XPERR_FILE_DEVICE_NOT_AVAILABLE, false},
        {"unlink a link", rm(t / "link"), XPERR_OK, false},
        {"rmdir ENOTEMPTY", rd(t / "src/n"), XPERR_FILE_DIR_NOT_EMPTY, false},
        {"rmdir EROFS", rd(t / "ro/d"), XPERR_FILE_ACCESS_DENIED, false},
        {"rmdir EACCES", rd(t / "locked/y"), XPERR_FILE_ACCESS_DENIED, true},
        {"rmdir ENOTDIR", rd(t / "file"), XPERR_FILE_REMOVE_FAILED, false},
        {"rmdir a link to a folder", rd(t / "dlink"), XPERR_FILE_REMOVE_FAILED, false},
        {"rmdir ENOENT", rd(t / "none"), XPERR_FILE_REMOVE_FAILED, false},
        {"rmdir unmounted", rd(gone), XPERR_FILE_DEVICE_NOT_AVAILABLE, false},
        {"rename onto a folder", mv(t / "file", t / "dir"), XPERR_FILE_OPEN_FAILED, false},
        {"rename onto a dangling link", mv(t / "file", t / "dangling"), XPERR_FILE_OPEN_FAILED, false},
        {"rename a missing file", mv(t / "none", t / "new"), XPERR_FILE_OPEN_FAILED, false},
        {"rename EROFS", mv(t / "ro/f", t / "ro/g"), XPERR_FILE_MOVE_FAILED, false},
        {"rename EACCES", mv(t / "locked/x", t / "locked/z"), XPERR_FILE_MOVE_FAILED, true},
        {"rename ENOSPC across volumes", mv(t / "big", t / "small/big"), XPERR_FILE_MOVE_FAILED, false},
        {"rename unmounted", mv(t / "file", gone), XPERR_FILE_DEVICE_NOT_AVAILABLE, false},
        {"rename a tree across volumes", mv(t / "tree", t / "small/tree"), XPERR_OK, false},
        {"rename a link", mv(t / "dlink", t / "dlink2"), XPERR_OK, false},
    };
    bool mounted = xptest::checkInMountNamespace([&] {
        ASSERT_TRUE(mount((t / "src").c_str(), (t / "ro").c_str(), nullptr, MS_BIND, nullptr) == 0 &&
                    mount(nullptr, (t / "ro").c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0 &&
                    mount("tmpfs", (t / "full").c_str(), "tmpfs", 0, "size=64k,nr_inodes=3") == 0 &&
                    mount("tmpfs", (t / "small").c_str(), "tmpfs", 0, "size=16k") == 0);
        for (int i = 0; xptest::writeFile(t / ("full/" + std::to_string(i)), ""); ++i) {}   // no inode left
        EXPECT_EQ(chdir(t.path.c_str()), 0);
        for (const Row& r : rows) {
            XpErr got = r.asNobody ? 0x8100 | xptest::asNobody([&] { return static_cast<int>(r.op() & 0xFF); }) : r.op();
            EXPECT_EQ(got, r.expected) << r.what;
        }
        EXPECT_EQ(xptest::readFile(t / "big"), big);   // a failed move leaves the source whole
        EXPECT_EQ(xptest::readFile(t / "small/tree/s/b"), "tree/s/b");
        EXPECT_EQ(xptest::runProgram({"ls", "-A", t / "small"}), "tree\n");   // no copy left behind
    });
    if (!mounted)
        return;
    char target[256] = {};
    EXPECT_EQ(readlink((t / "dlink2").c_str(), target, sizeof target - 1), static_cast<ssize_t>((t / "dir").size()));
    struct stat st;
    EXPECT_TRUE(lstat((t / "dangling").c_str(), &st) == 0 && S_ISLNK(st.st_mode));   // not replaced
    EXPECT_TRUE(stat((t / "file").c_str(), &st) == 0 && lstat((t / "link").c_str(), &st) != 0);
    EXPECT_TRUE(stat((t / "dir").c_str(), &st) == 0 && lstat((t / "tree").c_str(), &st) != 0);
}

TEST(XpFileOperationChange, UniqueNamesUnderManyThreadsAndPlantedProbes)
{
    xptest::TempDir t;
    ASSERT_EQ(chmod(t.path.c_str(), 0755), 0);
    ASSERT_TRUE(xptest::writeFile(t / "kept", "kept"));
    ASSERT_EQ(symlink((t / "target").c_str(), (t / "dangling").c_str()), 0);
    EXPECT_EQ(XpFileOperation::CreateNewFile((t / "kept").c_str()), XPERR_FILE_EXISTS);
    EXPECT_EQ(XpFileOperation::CreateNewFile((t / "dangling").c_str()), XPERR_FILE_EXISTS);
    EXPECT_EQ(xptest::readFile(t / "kept"), "kept");
    EXPECT_NE(access((t / "target").c_str(), F_OK), 0);   // the link was not followed
    EXPECT_EQ(XpFileOperation::CreateTempFile(t.path.c_str(), "p", 0, "m", ".s"), "");
    EXPECT_EQ(XpFileOperation::CreateTempFile(t.path.c_str(), "p", 3, "m", ".s"), (t / "p000m.s").c_str());
    EXPECT_EQ(XpFileOperation::CreateTempFile(t.path.c_str(), nullptr, 8, nullptr, ".tmp"), (t / "00000000.tmp").c_str());
    EXPECT_EQ(XpFileOperation::CreateTempFile(t.path.c_str(), "", 8, "", ".tmp"), (t / "00000001.tmp").c_str());

    std::vector<std::thread> threads;
    std::vector<std::string> names[8];
    std::atomic<int> writable(0);
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&, i] {
            for (int n = 0; n < 20; ++n) {
                names[i].push_back(XpFileOperation::CreateTempFile(t.path.c_str(), "t", 4, "", "").GetBuffer());
                writable += XpFileOperation::IsDirWritable(t.path.c_str());
            }
        });
    for (std::thread& th : threads)
        th.join();
    std::set<std::string> distinct;
    for (const auto& v : names)
        distinct.insert(v.begin(), v.end());
    EXPECT_EQ(distinct.size(), 160u);
    EXPECT_EQ(distinct.count(""), 0u);
    EXPECT_EQ(writable, 160);
    EXPECT_NE(access((t / ".00000000.tmp").c_str(), F_OK), 0);   // every probe removed

    // A FIFO planted as the first probe is passed over, never opened (which would block).
    ASSERT_EQ(mkfifo((t / ".00000000.tmp").c_str(), 0666), 0);
    EXPECT_TRUE(XpFileOperation::IsDirWritable(t.path.c_str()));
    // For nobody the folder is not writable, even with a link to a file nobody can write
    // planted as the first probe.
    ASSERT_TRUE(xptest::writeFile(t / "open", "", 0666));
    ASSERT_EQ(unlink((t / ".00000000.tmp").c_str()) | symlink((t / "open").c_str(), (t / ".00000000.tmp").c_str()), 0);
    EXPECT_EQ(xptest::asNobody([&] { return XpFileOperation::IsDirWritable(t.path.c_str()) ? 1 : 0; }), 0);
    EXPECT_EQ(xptest::asNobody([&] { return XpFileOperation::IsEnableReadWrite((t / "open").c_str()) ? 0 : 1; }), 0);
    ASSERT_EQ(chmod((t / "kept").c_str(), 0444), 0);
    EXPECT_FALSE(XpFileOperation::IsEnableReadWrite((t / "kept").c_str()));
    EXPECT_FALSE(XpFileOperation::IsDirWritable((t / "none").c_str()));
}

struct Recorder : IXpFileOpProgressObserver {
    std::vector<double> calls;
    size_t stopAt = 0;
    bool OnProgress(double p) override { return calls.push_back(p), calls.size() == stopAt; }
};

TEST(XpFileOperationChange, ConcatenateFilesAndFilesWhateverTheirExtension)
{
    xptest::TempDir t;
    ASSERT_TRUE(xptest::writeFile(t / "a", "abc") && xptest::writeFile(t / "b", "defgh"));
    std::vector<Str> in = {(t / "a").c_str(), (t / "b").c_str()};
    Recorder all;
    EXPECT_EQ(XpFileOperation::ConcatenateFiles(in, (t / "out").c_str(), &all), XPERR_OK);
    EXPECT_EQ(xptest::readFile(t / "out"), "abcdefgh");
    EXPECT_EQ(all.calls, (std::vector<double>{37.5, 100.0}));
    EXPECT_EQ(all.doneCount, 1);
    EXPECT_EQ(all.totalCount, 2);
    EXPECT_EQ(all.currentPath, in[1]);
    Recorder stop;
    stop.stopAt = 1;
    EXPECT_EQ(XpFileOperation::ConcatenateFiles(in, (t / "out").c_str(), &stop), XPERR_FILE_CANCELLED);
    EXPECT_EQ(xptest::readFile(t / "out"), "abc");   // what was written stays
    in.push_back((t / "none").c_str());
    EXPECT_EQ(XpFileOperation::ConcatenateFiles(in, (t / "out").c_str(), nullptr), XPERR_FILE_NOT_FOUND);
    EXPECT_EQ(XpFileOperation::getTotalSize(in), 3 + 5 - 1);
    EXPECT_EQ(XpFileOperation::getTotalSize({}), 0);
    ASSERT_EQ(symlink((t / "a").c_str(), (t / "planted").c_str()), 0);
    EXPECT_NE(XpFileOperation::ConcatenateFiles(in, (t / "planted").c_str(), nullptr), XPERR_OK);
    EXPECT_EQ(xptest::readFile(t / "a"), "abc");   // the link's target is left alone

    ASSERT_TRUE(xptest::writeFile(t / "report.txt", ""));
    EXPECT_TRUE(XpFileOperation::IsFileAvailableNoExt((t / "report.doc").c_str()));
    EXPECT_FALSE(XpFileOperation::IsFileAvailableNoExt((t / "other.doc").c_str()));
}

} // namespace
