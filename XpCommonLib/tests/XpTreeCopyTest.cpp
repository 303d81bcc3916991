// The tree copy and its writer: owners and set-id bits with a second user, links replaced, links
// planted by another user, data from a pipe, failures reported as they happen, other mounts, and
// the move across volumes built on it.
#include "XpFileTestSupport.h"

#include <XpFileOperation.h>
#include <XpTreeWriter.h>

#include <map>
#include <sys/stat.h>

using namespace xptest;

namespace {

// Failures and progress as a caller of the tree copy sees them.
struct Watcher : IXpTreeCopyObserver {
    std::vector<XpFileError> failed;
    int calls = 0, stopAt = -1;   // the OnProgress call (from 0) that answers true
    bool OnProgress(double) override { return calls++ == stopAt; }
    void OnEntryFailed(const XpFileError& error) override { failed.push_back(error); }
};

XpFd openFolder(const std::string& path)
{
    return XpFd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// Copies name of folder from to the same name in folder to.
XpFileError copyTree(const std::string& from, const std::string& name, const std::string& to,
                     const XpTreeCopyOptions& options = XpTreeCopyOptions(), IXpTreeCopyObserver* observer = nullptr)
{
    XpFd src = openFolder(from), dst = openFolder(to);
    XpTreeCopy copy(options, observer);
    XpFileError walked = copy.Copy(src.Get(), name.c_str(), dst.Get(), name.c_str(), name.c_str());
    XpFileError all = copy.Finish();
    return walked.IsOk() ? all : walked;
}

TEST(XpTreeCopy, SetIdBitsStayOnlyOnACopyWithTheSourcesOwner)
{
    TempDir t;
    ASSERT_EQ(chmod(t.path.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((t / "dst").c_str(), 0777) | chmod((t / "dst").c_str(), 0777), 0);
    // A shared folder (2777) holding a set-user-id program (4755), both nobody's, and the same
    // pair of root's.
    for (const char* tree : {"users", "roots"}) {
        std::string dir = t / tree;
        ASSERT_TRUE(mkdir(dir.c_str(), 0755) == 0 && writeFile(dir + "/prog", "#!"));
        if (std::string(tree) == "users") {   // before the mode: a change of owner clears set-id bits
            ASSERT_EQ(chown(dir.c_str(), nobodyUid(), nobodyGid()) | chown((dir + "/prog").c_str(), nobodyUid(), nobodyGid()), 0);
        }
        ASSERT_EQ(chmod(dir.c_str(), 02777) | chmod((dir + "/prog").c_str(), 04755), 0);
    }
    struct Row { const char* tree; XpTreeWriter::Ownership ownership; bool asNobody; uid_t owner;
                 mode_t folderMode, fileMode; };
    const Row rows[] = {
        {"users", XpTreeWriter::ownKept, false, nobodyUid(), 02777, 04755},   // root keeps the owner: bits stay
        {"users", XpTreeWriter::ownCaller, false, 0, 0777, 0755},            // root's copy of nobody's tree
        {"roots", XpTreeWriter::ownKept, true, nobodyUid(), 0777, 0755},      // nobody's copy of root's tree
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.tree << " ownership " << row.ownership << " nobody " << row.asNobody);
        auto checks = [&] {
            XpTreeCopyOptions options;
            options.ownership = row.ownership;
            EXPECT_TRUE(copyTree(t.path, row.tree, t / "dst", options).IsOk());
            std::string copy = t / "dst/" + row.tree;
            EXPECT_EQ(lstatOf(copy).st_uid, row.owner);
            EXPECT_EQ(lstatOf(copy + "/prog").st_uid, row.owner);
            EXPECT_EQ(modeOf(copy), row.folderMode);
            EXPECT_EQ(modeOf(copy + "/prog"), row.fileMode);
        };
        row.asNobody ? checkAsNobody(checks) : checkInChild(checks);
        std::error_code ignored;
        std::filesystem::remove_all(t / "dst/" + row.tree, ignored);
    }
}

TEST(XpTreeCopy, ASecondCopyReplacesTheLinksOfTheFirst)
{
    TempDir t;
    ASSERT_EQ(mkdir((t / "src").c_str(), 0755) | mkdir((t / "dst").c_str(), 0755), 0);
    ASSERT_TRUE(writeFile(t / "src/file", "data"));
    ASSERT_EQ(symlink("first", (t / "src/link").c_str()), 0);
    EXPECT_TRUE(copyTree(t.path, "src", t / "dst").IsOk());
    ASSERT_EQ(unlink((t / "src/link").c_str()) | symlink("second", (t / "src/link").c_str()), 0);
    XpFileError again = copyTree(t.path, "src", t / "dst");
    EXPECT_TRUE(again.IsOk()) << again.Operation() << " " << again.Describe().GetBuffer();
    std::error_code ignored;
    EXPECT_EQ(std::filesystem::read_symlink(t / "dst/src/link", ignored), "second");
    EXPECT_EQ(names(t / "dst/src"), "file\nlink\n");   // no hidden name left behind
}

TEST(XpTreeCopy, ALinkPlantedWhereAFolderGoesIsNeverFollowed)
{
    TempDir t;
    ASSERT_EQ(chmod(t.path.c_str(), 0755), 0);
    for (const char* d : {"src", "src/sub", "dst", "victim"})
        ASSERT_EQ(mkdir((t / d).c_str(), 0755), 0);
    ASSERT_EQ(chmod((t / "dst").c_str(), 0777) | chmod((t / "victim").c_str(), 0700), 0);
    ASSERT_TRUE(writeFile(t / "src/a", "a") && writeFile(t / "src/sub/b", "b"));
    // Another user plants a link to root's folder where the copy of src/sub will go.
    ASSERT_EQ(asNobody([&] { return symlink((t / "victim").c_str(), (t / "dst/src").c_str()) == 0 ? 0 : 1; }), 0);
    ASSERT_EQ(mkdir((t / "dst2").c_str(), 0777) | chmod((t / "dst2").c_str(), 0777) | mkdir((t / "dst2/src").c_str(), 0777), 0);
    ASSERT_EQ(chmod((t / "dst2/src").c_str(), 0777), 0);
    ASSERT_EQ(asNobody([&] { return symlink((t / "victim").c_str(), (t / "dst2/src/sub").c_str()) == 0 ? 0 : 1; }), 0);

    Watcher operand, inner;
    XpTreeCopyOptions serial;
    serial.workers = 0;
    // openat with O_NOFOLLOW|O_DIRECTORY answers ENOTDIR for a link.
    EXPECT_EQ(copyTree(t.path, "src", t / "dst", serial, &operand).SysErr(), ENOTDIR);
    EXPECT_EQ(copyTree(t.path, "src", t / "dst2", serial, &inner).SysErr(), ENOTDIR);
    ASSERT_EQ(inner.failed.size(), 1u);
    EXPECT_STREQ(inner.failed[0].Path().GetBuffer(), "src/sub");
    EXPECT_EQ(readFile(t / "dst2/src/a"), "a");   // the rest is copied
    EXPECT_EQ(names(t / "victim"), "");
    EXPECT_EQ(modeOf(t / "victim"), 0700u);
}

TEST(XpTreeCopy, AFailedEntryIsReportedWithItsCauseAndTheCopyGoesOn)
{
    TempDir t;
    ASSERT_EQ(chmod(t.path.c_str(), 0755), 0);
    for (const char* d : {"src", "src/sub", "dst"})
        ASSERT_EQ(mkdir((t / d).c_str(), 0755), 0);
    ASSERT_EQ(chmod((t / "dst").c_str(), 0777), 0);
    ASSERT_TRUE(writeFile(t / "src/locked", "root only", 0600) && writeFile(t / "src/ok", "ok") &&
                writeFile(t / "src/sub/deep", "deep"));
    ASSERT_EQ(mkfifo((t / "src/pipe").c_str(), 0644), 0);
    // Serial with an observer (failures in order), and with workers (reported from them).
    for (int workers : {0, 2}) {
        SCOPED_TRACE(workers);
        checkAsNobody([&] {
            Watcher watcher;
            XpTreeCopyOptions options;
            options.workers = workers;
            XpFileError result = copyTree(t.path, "src", t / "dst", options, &watcher);
            EXPECT_FALSE(result.IsOk());
            ASSERT_EQ(watcher.failed.size(), 2u);
            std::map<std::string, XpFileError> byPath;
            for (const XpFileError& e : watcher.failed)
                byPath[e.Path().GetBuffer()] = e;
            EXPECT_EQ(byPath["src/locked"].SysErr(), EACCES);
            EXPECT_EQ(byPath["src/pipe"].Code(), XPERR_FILE_NOT_SUPPORTED);
            EXPECT_EQ(readFile(t / "dst/src/ok") + readFile(t / "dst/src/sub/deep"), "okdeep");
            EXPECT_EQ(names(t / "dst/src"), "ok\nsub\n");
        });
        std::error_code ignored;
        std::filesystem::remove_all(t / "dst/src", ignored);
    }
}

TEST(XpTreeCopy, AStopRequestEndsTheCopy)
{
    TempDir t;
    ASSERT_EQ(mkdir((t / "src").c_str(), 0755) | mkdir((t / "dst").c_str(), 0755), 0);
    for (const char* f : {"a", "b", "c"})
        ASSERT_TRUE(writeFile(t / "src" + "/" + f, f));
    Watcher watcher;
    watcher.stopAt = 0;
    EXPECT_EQ(copyTree(t.path, "src", t / "dst", XpTreeCopyOptions(), &watcher).Code(), XPERR_FILE_CANCELLED);
    EXPECT_EQ(names(t / "dst/src"), "");
}

TEST(XpTreeCopy, AMountInsideTheSourceIsCopiedLikeAFolder)
{
    TempDir t;
    for (const char* d : {"src", "src/mnt", "dst"})
        ASSERT_EQ(mkdir((t / d).c_str(), 0755), 0);
    checkInMountNamespace([&] {
        ASSERT_EQ(mount("tmpfs", (t / "src/mnt").c_str(), "tmpfs", 0, "size=1m"), 0);
        ASSERT_TRUE(writeFile(t / "src/mnt/inside", "inside"));
        EXPECT_TRUE(copyTree(t.path, "src", t / "dst").IsOk());
        EXPECT_EQ(readFile(t / "dst/src/mnt/inside"), "inside");
    });
}

TEST(XpTreeWriter, AFileFromAPipeTakesExactlyItsSizeAndAShortStreamPlacesNothing)
{
    TempDir t;
    XpFd dir = openFolder(t.path);
    XpTreeWriter writer;
    // More than told (the rest stays in the pipe), one byte short, and more than the pipe holds.
    struct { size_t sent, told; bool placed; } rows[] = {{150, 100, true}, {99, 100, false}, {3 << 20, 3 << 20, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.sent << " of " << row.told);
        int ends[2];   // non-blocking, as a sender's pipe may be: the writer waits for the data
        ASSERT_EQ(pipe2(ends, O_NONBLOCK), 0);
        XpFd in(ends[0]), out(ends[1]);
        std::string data = pattern(row.sent, 'p');
        // A writer process, as the installer's helper gets its entries: the pipe holds 64 KiB.
        pid_t sender = fork();
        if (sender == 0) {
            in.Reset();
            fcntl(out.Get(), F_SETFL, 0);
            _exit(write(out.Get(), data.data(), data.size()) == ssize_t(data.size()) ? 0 : 1);
        }
        out.Reset();
        XpTreeEntry entry;
        entry.mode = S_IFREG | 0640;
        entry.size = int64_t(row.told);
        XpFileError err = writer.AddFile(dir.Get(), "got", entry, in.Get(), nullptr);
        std::string rest(64, '\0');
        fcntl(in.Get(), F_SETFL, 0);   // what is left, up to the sender's end
        ssize_t left = read(in.Get(), &rest[0], rest.size());
        in.Reset();
        childExit(sender);
        if (row.placed) {
            EXPECT_TRUE(err.IsOk()) << err.Describe().GetBuffer();
            EXPECT_EQ(readFile(t / "got"), data.substr(0, row.told));
            EXPECT_EQ(left, ssize_t(row.sent - row.told));   // the next entry's bytes stay in the pipe
        } else {
            EXPECT_EQ(err.Code(), XPERR_FILE_END_OF_FILE);
            EXPECT_EQ(err.SysErr(), EPIPE);
            EXPECT_EQ(names(t.path), "");   // nothing placed, no hidden name
        }
        unlink((t / "got").c_str());
    }
}

TEST(XpFileMove, AcrossVolumesKeepsTheOwnerOfFilesAndFolders)
{
    TempDir t;
    ASSERT_EQ(mkdir((t / "vol").c_str(), 0755) | mkdir((t / "folder").c_str(), 0750), 0);
    ASSERT_TRUE(writeFile(t / "file", "file", 0640) && writeFile(t / "folder/inner", "inner", 0600));
    ASSERT_EQ(symlink("inner", (t / "folder/link").c_str()), 0);
    for (const char* p : {"file", "folder", "folder/inner", "folder/link"})
        ASSERT_EQ(lchown((t / p).c_str(), nobodyUid(), nobodyGid()), 0);
    checkInMountNamespace([&] {
        ASSERT_EQ(mount("tmpfs", (t / "vol").c_str(), "tmpfs", 0, "size=4m"), 0);
        for (const char* item : {"file", "folder"}) {
            SCOPED_TRACE(item);
            EXPECT_EQ(XpFileOperation::MoveFile(S(t / item), S(t / "vol/" + item), false, nullptr), XPERR_OK);
            EXPECT_FALSE(exists(t / item));
        }
        for (const char* p : {"file", "folder", "folder/inner", "folder/link"}) {
            SCOPED_TRACE(p);
            EXPECT_EQ(lstatOf(t / "vol/" + p).st_uid, nobodyUid());
            EXPECT_EQ(lstatOf(t / "vol/" + p).st_gid, nobodyGid());
        }
    });
}

} // namespace

// The copies of cp without -p: new entries get their source's mode less the mask and the time of
// their writing; a folder that was there keeps its mode.
TEST(XpTreeCopy, WithoutKeptModeAndTimesNewCopiesAreMaskedAndDatedNow)
{
    TempDir t;
    ASSERT_EQ(mkdir((t / "src").c_str(), 0755) | mkdir((t / "dst").c_str(), 0755), 0);
    ASSERT_TRUE(writeFile(t / "src/new", "n") && writeFile(t / "src/prog", "#!"));
    ASSERT_EQ(chmod((t / "src/new").c_str(), 0666) | chmod((t / "src/prog").c_str(), 04755), 0);
    struct timespec past[2] = {{1000000, 0}, {1000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (t / "src/new").c_str(), past, 0), 0);
    ASSERT_EQ(mkdir((t / "dst/src").c_str(), 0700) | chmod((t / "dst/src").c_str(), 0700), 0);
    XpTreeCopyOptions options;
    options.keepMode = options.keepTimes = false;
    options.newModeMask = S_ISUID | S_ISGID | 022;
    ASSERT_TRUE(copyTree(t.path, "src", t / "dst", options).IsOk());
    EXPECT_EQ(lstatOf(t / "dst/src/new").st_mode & 07777, 0644u);
    EXPECT_EQ(lstatOf(t / "dst/src/prog").st_mode & 07777, 0755u);
    EXPECT_EQ(lstatOf(t / "dst/src").st_mode & 07777, 0700u);
    EXPECT_GT(lstatOf(t / "dst/src/new").st_mtime, 1000000);
}

// Names taken at the destination: replaced, kept (cp -n) or replaced by a newer source only
// (cp -u). (cp -i's question and cp -v's list are the xpfs option tests'.)
TEST(XpTreeCopy, TakenNamesAreReplacedOrKeptAsTheOptionsSay)
{
    typedef XpTreeCopyOptions O;
    struct Row { O::Existing existing; const char* replaced; };
    const Row rows[] = {
        {O::existingReplaced, "link newer older"},
        {O::existingKept, ""},
        {O::existingReplacedWhenOlder, "link newer"},
    };
    for (const Row& r : rows) {
        TempDir t;
        ASSERT_EQ(mkdir((t / "src").c_str(), 0755) | mkdir((t / "dst").c_str(), 0755) | mkdir((t / "dst/src").c_str(), 0755), 0);
        struct Named { const char* name; time_t src, dst; };
        for (Named n : {Named{"newer", 2000, 1500}, Named{"older", 1000, 1500}}) {
            ASSERT_TRUE(writeFile(t / "src" + "/" + n.name, "new") && writeFile(t / "dst/src" + "/" + n.name, "old"));
            struct timespec src[2] = {{n.src, 0}, {n.src, 0}}, dst[2] = {{n.dst, 0}, {n.dst, 0}};
            ASSERT_EQ(utimensat(AT_FDCWD, (t / "src" + "/" + n.name).c_str(), src, 0) |
                      utimensat(AT_FDCWD, (t / "dst/src" + "/" + n.name).c_str(), dst, 0), 0);
        }
        ASSERT_TRUE(writeFile(t / "dst/src/link", "old"));
        ASSERT_EQ(symlink("newer", (t / "src/link").c_str()), 0);   // dated now, after the file it replaces
        struct timespec before[2] = {{1500, 0}, {1500, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, (t / "dst/src/link").c_str(), before, 0), 0);
        O options;
        options.existing = r.existing;
        ASSERT_TRUE(copyTree(t.path, "src", t / "dst", options).IsOk());
        std::string replaced;
        for (const char* name : {"link", "newer", "older"})
            if (readFile(t / "dst/src" + "/" + name) != "old")
                replaced += std::string(replaced.empty() ? "" : " ") + name;
        EXPECT_EQ(replaced, r.replaced) << r.existing;
    }
}
