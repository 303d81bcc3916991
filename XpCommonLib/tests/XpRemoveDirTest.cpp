// The recursive removal against what a hostile or merely unusual tree holds: other mounts inside
// the tree (a bind mount of the same file system and a tmpfs), trees deeper than the descriptor
// limit and than a small thread stack allows, and a folder moved away under a running removal so
// that its ".." leads somewhere else. Mounts live in a private mount namespace of a child.
#include "XpFileTestSupport.h"

#include <XpFileOperation.h>

#include <pthread.h>
#include <sys/resource.h>


using namespace xptest;

namespace {

typedef XpFileOperation Op;


struct Counter : IXpFileOpProgressObserver {
    std::function<void(const std::string&)> onEntry;   // called with currentPath
    int64_t calls = 0;
    bool OnProgress(double) override
    {
        ++calls;
        if (onEntry)
            onEntry(currentPath.GetBuffer());
        return false;
    }
};

// top/d/d/.../d, `levels` folders below top, each holding a file f: made on descriptors, since
// its paths grow past PATH_MAX.
bool makeChain(const std::string& top, int levels)
{
    if (mkdir(top.c_str(), 0755) != 0)
        return false;
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; fd >= 0 && i < levels; ++i) {
        int file = openat(fd, "f", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        int next = file >= 0 && close(file) == 0 && mkdirat(fd, "d", 0755) == 0
                       ? openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
        close(fd);
        fd = next;
    }
    return fd >= 0 && close(fd) == 0;
}

TEST(XpRemoveDir, OtherMountsInsideTheTreeAreLeftWholeAndReported)
{
    TempDir t;
    for (const char* d : {"tree", "tree/sub", "tree/sub/bound", "tree/tmp", "vol", "vol/deep"})
        ASSERT_EQ(0, mkdir((t / d).c_str(), 0755));
    for (const char* f : {"tree/a", "tree/sub/b", "vol/keep", "vol/deep/keep"})
        ASSERT_TRUE(writeFile(t / f, f));
    checkInMountNamespace([&] {
        // A bind mount of a folder of the same file system (same device number) and a tmpfs.
        ASSERT_EQ(0, mount((t / "vol").c_str(), (t / "tree/sub/bound").c_str(), nullptr, MS_BIND, nullptr));
        ASSERT_EQ(0, mount("xptest", (t / "tree/tmp").c_str(), "tmpfs", 0, "size=1m"));
        ASSERT_TRUE(writeFile(t / "tree/tmp/keep", "k"));
        for (bool observed : {false, true}) {
            // Without and with an observer, which must not count what lies on the other mounts.
            Counter c;
            EXPECT_EQ(XPERR_FILE_DIR_NOT_EMPTY, Op::RemoveDir(S(t / "tree"), true, observed ? &c : nullptr));
            EXPECT_EQ(readFile(t / "vol/keep") + " " + readFile(t / "vol/deep/keep"), "vol/keep vol/deep/keep");
            EXPECT_EQ(readFile(t / "tree/sub/bound/deep/keep") + readFile(t / "tree/tmp/keep"), "vol/deep/keepk");
            EXPECT_FALSE(exists(t / "tree/a") || exists(t / "tree/sub/b"));
            // sub, sub/b and the two mount points, and the tree: only sub/b goes.
            EXPECT_TRUE(!observed || (c.totalCount == 5 && c.doneCount == 1)) << c.totalCount << " " << c.doneCount;
            ASSERT_TRUE(writeFile(t / "tree/sub/b", "again"));
        }
    });
}

TEST(XpRemoveDir, DeepTreesOnSmallStacksAndFewDescriptorsAndAMovedParent)
{
    TempDir t;
    // 3000 levels on a 256 KiB stack, with an observer (it counts the tree first).
    ASSERT_TRUE(makeChain(t / "deep", 3000));
    checkInChild([&] {
        struct Call { std::string path; Counter c; XpErr err; } call{t / "deep", {}, XPERR_FAILED};
        auto run = [](void* arg) -> void* {
            Call* call = static_cast<Call*>(arg);
            call->err = Op::RemoveDir(S(call->path), true, &call->c);
            return nullptr;
        };
        pthread_attr_t small;   // on the thread itself: under ThreadSanitizer a std::thread after
                                // pthread_setattr_default_np failed with EINVAL
        pthread_t thread;
        ASSERT_TRUE(pthread_attr_init(&small) == 0 && pthread_attr_setstacksize(&small, 256 * 1024) == 0 &&
                    pthread_create(&thread, &small, run, &call) == 0 && pthread_join(thread, nullptr) == 0);
        EXPECT_EQ(XPERR_OK, call.err);
        expectAll({call.c.totalCount, call.c.doneCount, call.c.calls}, int64_t(6001));
    });
    EXPECT_FALSE(exists(t / "deep"));

    // Deeper than the descriptor limit allows open at once.
    ASSERT_TRUE(makeChain(t / "deeper", 400));
    checkInChild([&] {
        struct rlimit few = {48, 48};
        ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &few));
        EXPECT_EQ(XPERR_OK, Op::RemoveDir(S(t / "deeper"), true, nullptr));
    });
    EXPECT_FALSE(exists(t / "deeper"));

    // A folder deep in the tree is moved into a victim folder while the removal works below it:
    // coming back up through "..", the removal must see it is not the folder it left and stop,
    // or it would remove the tenth folder's names the victim holds too, and "d" beside the victim.
    ASSERT_TRUE(makeChain(t / "moved", 100));
    for (const char* d : {"v", "v/victim", "v/d"})
        ASSERT_EQ(0, mkdir((t / d).c_str(), 0755));
    std::string tenth = t / "moved/d/d/d/d/d/d/d/d/d/d";
    std::vector<std::string> victims{"f"};   // f is in every folder of the chain already
    for (int i = 0; i < 30; ++i)
        victims.push_back("g" + std::to_string(i));
    for (const std::string& name : victims)
        ASSERT_TRUE(writeFile(t / "v/victim/" + name, "precious") && (name == "f" || writeFile(tenth + "/" + name, "x")));
    Counter c;
    bool moved = false;
    c.onEntry = [&](const std::string& path) {
        if (!moved && path.size() > tenth.size() + 150)   // far below the tenth level
            moved = rename((tenth + "/d").c_str(), (t / "v/victim/d").c_str()) == 0;
    };
    EXPECT_EQ(XPERR_FILE_REMOVE_FAILED, Op::RemoveDir(S(t / "moved"), true, &c));
    EXPECT_TRUE(moved);
    for (const std::string& name : victims)
        EXPECT_EQ(readFile(t / "v/victim/" + name), "precious") << name;
    EXPECT_TRUE(exists(t / "v/d"));
    EXPECT_TRUE(exists(tenth));   // the removal stopped there
}

} // namespace

// Without an observer a wide tree is removed by several walkers at once (here by `xpfs rm -r`
// run as nobody). A folder in it whose entries may not be removed (mode 0555) stops every walker
// with that failure: the folder and what it holds stay, and so does the tree; once it may be
// changed, the whole tree goes.
#ifdef XP_XPFS
TEST(XpRemoveDir, AWideTreeGoesSideBySideAndAFailureAnywhereStopsItWithThatFailure)
{
    TempDir t;
    const std::string tree = t / "tree";
    ASSERT_EQ(0, mkdir(tree.c_str(), 0755));
    for (int d = 0; d < 16; ++d) {
        std::string dir = tree + "/d" + std::to_string(d);
        ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
        for (int f = 0; f < 40; ++f)
            ASSERT_TRUE(writeFile(dir + "/f" + std::to_string(f), "x"));
        ASSERT_TRUE(writeFile(tree + "/top" + std::to_string(d), "t"));
    }
    ASSERT_TRUE(mkdir((tree + "/d9/locked").c_str(), 0755) == 0 && writeFile(tree + "/d9/locked/held", "h"));
    ASSERT_EQ(0, spawn({"chown", "-R", "nobody:", t.path}).status);
    ASSERT_EQ(0, chmod((tree + "/d9/locked").c_str(), 0555));

    // Through the tool, started as nobody: a process of its own, whose walkers start afresh.
    const std::vector<std::string> remove = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                             XP_XPFS, "rm", "-r", tree};
    Ran ran = spawn(remove);
    EXPECT_EQ(ran.status, 1);
    EXPECT_EQ(ran.err, "xpfs: cannot remove '" + tree + "': Permission denied\n");
    EXPECT_EQ(readFile(tree + "/d9/locked/held"), "h");
    ASSERT_EQ(0, chmod((tree + "/d9/locked").c_str(), 0755));
    ran = spawn(remove);
    EXPECT_EQ(ran.status, 0) << ran.err;
    EXPECT_FALSE(exists(tree));
}
#endif

// MakeDir and the removals leave their cause for LastError: the errno value and the system call,
// so that a tool can say "Is a directory" rather than a code. Run as nobody, so that a folder of
// root's refuses the removal for real.
TEST(XpFileOperationLastError, MakeDirAndRemovalsKeepTheSystemsReason)
{
    TempDir t;
    ASSERT_EQ(chmod(t.path.c_str(), 0755) | mkdir((t / "open").c_str(), 0777) | chmod((t / "open").c_str(), 0777), 0);
    ASSERT_EQ(mkdir((t / "open/dir").c_str(), 0755) | mkdir((t / "tree").c_str(), 0755), 0);
    ASSERT_TRUE(writeFile(t / "open/dir/f", "x") && writeFile(t / "tree/f", "x"));
    struct Row { const char* what; std::function<XpErr()> call; int sysErr; const char* operation; };
    const Row rows[] = {
        {"MakeDir over a folder", [&] { return Op::MakeDir(S(t / "open/dir")); }, EEXIST, "mkdir"},
        {"removeFile of a folder", [&] { return Op::removeFile(S(t / "open/dir")); }, EISDIR, "unlink"},
        {"removeDir not empty", [&] { return Op::removeDir(S(t / "open/dir")); }, ENOTEMPTY, "rmdir"},
        {"RemoveDir of root's tree", [&] { return Op::RemoveDir(S(t / "tree"), true, nullptr); }, EACCES, "unlinkat"},
    };
    checkAsNobody([&] {
        for (const Row& r : rows) {
            XpErr err = r.call();
            XpFileError last = Op::LastError();
            EXPECT_EQ(last.Code(), err) << r.what;
            EXPECT_EQ(last.SysErr(), r.sysErr) << r.what;
            EXPECT_STREQ(last.Operation(), r.operation) << r.what;
        }
    });
}
