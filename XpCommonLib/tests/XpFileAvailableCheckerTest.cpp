// The availability checker against the real kernel path: XpTestNetFs, a FUSE volume mounted as
// fuse.sshfs (a network share) or fuse.xplocal (a local volume) whose requests hang on command,
// mounted in this test program's private mount namespace and unmounted after each test.
#include <XpFileAvailableChecker.h>
#include <XpFileOperation.h>

#include "XpFileTestSupport.h"

#include <signal.h>
#include <sys/syscall.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// The whole program lives in a private mount namespace, entered before the tests start: its mounts
// never reach the machine and vanish with it, even when it is killed. "" when entered, else why not.
const std::string namespaceRefusal = [] {
    alarm(60);   // a checker that deadlocks fails the program here, not at the CTest limit
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
               ? std::string() : std::string("no private mount namespace: ") + std::strerror(errno);
}();

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }
template <class F> double seconds(F f) { Clock::time_point start = Clock::now(); return f(), since(start); }   // f's time
void sleepSeconds(double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); }
std::string tid() { return std::to_string(syscall(SYS_gettid)); }
// Runs f on a thread: whether it was still running after s seconds; release() then lets it end.
template <class F, class R> bool blocks(double s, F f, R release)
{
    std::atomic<bool> done(false);
    std::thread running([&] { f(), done = true; });
    sleepSeconds(s);
    bool blocked = !done;
    return release(), running.join(), blocked;
}
template <class F> bool eventually(F condition)   // within 5 s
{
    for (int i = 0; i < 500 && !condition(); ++i)
        sleepSeconds(0.01);
    return condition();
}

// One XpTestNetFs volume; `refusal` says why it could not be mounted.
struct Share {
    xptest::TempDir temp;
    std::string mnt = temp / "mnt", ctl = temp / "ctl", dir = mnt + "/share/dir", refusal = namespaceRefusal;
    pid_t daemon = -1;

    explicit Share(const std::string& subtype)
    {
        if (!refusal.empty() || mkdir(mnt.c_str(), 0755) != 0 || mkdir(ctl.c_str(), 0755) != 0) {
            refusal += " / no mount point";
            return;
        }
        if ((daemon = xptest::mountTestNetFs(mnt, ctl, subtype)) < 0)
            refusal = "the FUSE volume could not be mounted (is /dev/fuse usable?)";
    }
    ~Share()
    {
        releaseAll();
        if (daemon > 0 && kill(daemon, SIGTERM) == 0)
            waitpid(daemon, nullptr, 0);
        umount2(mnt.c_str(), MNT_DETACH);   // already gone when the daemon unmounted it
    }
    // The whole share ("") or one name stops answering, until released.
    std::string flag(const std::string& name) const { return ctl + "/hang" + (name.empty() ? "" : "." + name); }
    void hang(const std::string& name = "") { xptest::writeFile(flag(name), ""); }
    void release(const std::string& name = "") { unlink(flag(name).c_str()); }
    void releaseAll() { release(), release("file.txt"), release("missing.txt"); }
    int count(const std::string& line) const
    {
        std::string log = "\n" + xptest::readFile(ctl + "/log");
        int n = 0;
        for (size_t at = log.find("\n" + line); at != std::string::npos; at = log.find("\n" + line, at + 1))
            ++n;
        return n;
    }
};

// Releases the share when a test ends, before the checkers declared earlier wait for their probes.
struct Releaser { Share& share; ~Releaser() { share.releaseAll(); } };

#define SKIP_UNLESS_MOUNTED(share) \
    if (!(share).refusal.empty()) GTEST_SKIP() << (share).refusal

TEST(XpFileAvailableChecker, HangingShareTimesOutIsCachedHoldsTheDestructorRefusesMakeDirAndLateWorkersAnswerNoOne)
{
    Share share("sshfs");
    SKIP_UNLESS_MOUNTED(share);
    auto checker = std::make_unique<XpFileAvailableChecker>(true);
    XpFileAvailableChecker noCache(false);
    Releaser releaser{share};
    const std::string file = share.dir + "/file.txt";
    // An answering share: each probe on a worker thread, its own answer.
    EXPECT_TRUE(checker->IsFileAvailableWithTimeOut(file.c_str(), 5));
    EXPECT_FALSE(checker->IsFileAvailableWithTimeOut((share.dir + "/none.txt").c_str(), 5));
    EXPECT_TRUE(checker->IsDirAvailableWithTimeOut(share.dir.c_str(), 5));
    EXPECT_TRUE(checker->IsFileAvailableNoExtWithTimeOut((share.dir + "/report.doc").c_str(), 5));
    EXPECT_GT(share.count("/share/dir/file.txt "), share.count("/share/dir/file.txt " + tid()));

    share.hang();
    EXPECT_LE(seconds([&] { EXPECT_FALSE(checker->IsFileAvailableWithTimeOut(file.c_str(), 1)); }), 2.0);
    // The folder is remembered for file checks: at once, whatever the time-out, below it too,
    // whatever the letter case.
    EXPECT_LT(seconds([&] {
        EXPECT_FALSE(checker->IsFileAvailableWithTimeOut((share.dir + "/sub/deep.txt").c_str(), 5));
        EXPECT_FALSE(checker->IsFileAvailableNoExtWithTimeOut((share.mnt + "/SHARE/Dir/x.doc").c_str(), 5));
    }), 1.0);
    // Directory checks keep their own cache: this one probes and waits (more than 1 s for 2).
    EXPECT_GT(seconds([&] { EXPECT_FALSE(checker->IsDirAvailableWithTimeOut(share.dir.c_str(), 2)); }), 0.9);
    EXPECT_LT(seconds([&] { EXPECT_FALSE(checker->IsDirAvailableWithTimeOut((share.dir + "/sub").c_str(), 5)); }), 1.0);
    checker->ClearFileParentDirCache();
    EXPECT_GT(seconds([&] { EXPECT_FALSE(checker->IsFileAvailableWithTimeOut((share.dir + "/sub/deep.txt").c_str(), 2)); }), 0.9);

    // Destroying the checker waits for the probes still hanging.
    EXPECT_TRUE(blocks(1.5, [&] { checker.reset(); }, [&] { share.release(); }));

    // MakeDir is refused because the volume did not answer within a second; the refusal comes
    // once the probe has ended. (xpfs on a hanging share: ToolEndsInTimeWhileTheShareHangs.)
    share.hang();
    XpErr made = XPERR_OK;
    EXPECT_TRUE(blocks(1.5, [&] { made = XpFileOperation::MakeDir((share.dir + "/new").c_str()); }, [&] { share.release(); }));
    EXPECT_EQ(made, XPERR_FILE_DEVICE_NOT_AVAILABLE);

    // Without the cache every check probes again.
    share.hang("file.txt");
    EXPECT_FALSE(noCache.IsFileAvailableWithTimeOut(file.c_str(), 1));
    EXPECT_GT(seconds([&] { EXPECT_FALSE(noCache.IsFileAvailableWithTimeOut(file.c_str(), 2)); }), 0.9);

    // A later check in another folder; the earlier workers then find file.txt (true), too late.
    share.hang("missing.txt");
    std::atomic<int> answer(-1);
    std::thread later([&] { answer = noCache.IsFileAvailableWithTimeOut((share.mnt + "/share/other/missing.txt").c_str(), 30); });
    EXPECT_TRUE(eventually([&] { return share.count("held /share/other/missing.txt") > 0; }));
    int answered = share.count("/share/dir/file.txt ");
    share.release("file.txt");
    EXPECT_TRUE(eventually([&] { return share.count("/share/dir/file.txt ") > answered; }));
    sleepSeconds(0.3);
    EXPECT_EQ(answer, -1);   // still waiting for its own worker
    share.release("missing.txt");
    later.join();
    EXPECT_EQ(answer, 0);
}

TEST(XpFileAvailableChecker, LocalVolumesAreProbedOnTheCallingThreadWithoutTimeOut)
{
    Share local("xplocal"), net("sshfs");
    SKIP_UNLESS_MOUNTED(local);
    SKIP_UNLESS_MOUNTED(net);
    XpFileAvailableChecker checker(true);
    Releaser releaseLocal{local}, releaseNet{net};
    const std::string file = local.dir + "/file.txt", link = local.temp / "link";
    ASSERT_EQ(symlink((net.dir + "/file.txt").c_str(), link.c_str()), 0);
    // The answer came from the volume, and every request it saw came from this thread.
    EXPECT_TRUE(checker.IsFileAvailableWithTimeOut(file.c_str(), 1));
    EXPECT_EQ(local.count("/share/dir/file.txt "), local.count("/share/dir/file.txt " + tid()));
    // A local path leading into the share (found by statfs and the FUSE subtype) gets a worker.
    EXPECT_TRUE(checker.IsFileAvailableWithTimeOut(link.c_str(), 1));
    EXPECT_GT(net.count("/share/dir/file.txt "), net.count("/share/dir/file.txt " + tid()));
    EXPECT_TRUE(checker.IsDirAvailableWithTimeOut(local.temp.path.c_str(), 0));
    // Local answers keep the existence tests' rules: kinds apart, dangling links and text that
    // is not UTF-8 missing.
    ASSERT_EQ(symlink((local.temp / "gone").c_str(), (local.temp / "dangling").c_str()), 0);
    ASSERT_EQ(close(open((local.temp / "\xFF").c_str(), O_CREAT | O_WRONLY, 0644)), 0);
    EXPECT_FALSE(checker.IsFileAvailableWithTimeOut(local.temp.path.c_str(), 0) ||
                 checker.IsDirAvailableWithTimeOut(file.c_str(), 0) ||
                 checker.IsFileAvailableWithTimeOut((local.temp / "dangling").c_str(), 0) ||
                 checker.IsFileAvailableWithTimeOut((local.temp / "\xFF").c_str(), 0));

    // A local volume that stops answering is waited for, past any time-out, and not cached.
    local.hang("file.txt");
    EXPECT_TRUE(blocks(2.2, [&] { EXPECT_TRUE(checker.IsFileAvailableWithTimeOut(file.c_str(), 1)); },
                       [&] { local.release("file.txt"); }));
    EXPECT_TRUE(checker.IsFileAvailableWithTimeOut(file.c_str(), 0));
}

#ifdef XP_XPFS
// The tool ends within its time-out plus half a second while the share still hangs: with its
// answer, or with a refusal naming the unanswering volume, and its exit status. Its output
// reaches end of file at once (nothing left behind holds it open).
TEST(XpFileAvailableChecker, ToolEndsInTimeWhileTheShareHangs)
{
    Share share("sshfs");
    SKIP_UNLESS_MOUNTED(share);
    share.hang();   // released by the share's destructor
    struct Case { std::vector<std::string> args; int status; const char* out; const char* err; };
    const std::string file = share.dir + "/file.txt";
    const char* gone = "the volume is not available";
    // One run per command: each asks the volume before its options matter (--dir, -r, -p).
    const Case cases[] = {{{"available", "--timeout", "1", file}, 0, "no\n", ""}, {{"rm", "-r", share.dir}, 1, "", gone},
                          {{"mkdir", "-p", share.dir + "/new/newer"}, 1, "", gone}};
    std::vector<pid_t> stuck;
    for (const Case& c : cases) {
        int out[2], err[2];
        ASSERT_TRUE(pipe2(out, O_CLOEXEC | O_NONBLOCK) == 0 && pipe2(err, O_CLOEXEC | O_NONBLOCK) == 0);
        std::vector<char*> argv{const_cast<char*>("xpfs")};
        for (const std::string& a : c.args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        Clock::time_point start = Clock::now();
        pid_t tool = fork();
        if (tool == 0) {
            dup2(out[1], 1), dup2(err[1], 2);
            execv(XP_XPFS, argv.data());
            _exit(127);
        }
        close(out[1]), close(err[1]);
        // The exit within 5 s, while the share hangs; then both outputs at their end at once (read
        // without waiting: a pipe something left behind still holds open answers EAGAIN).
        int status = -1;
        pid_t ended = 0;
        while ((ended = waitpid(tool, &status, WNOHANG)) == 0 && since(start) < 5.0)
            sleepSeconds(0.01);
        double took = since(start);
        if (ended == 0) {
            kill(tool, SIGKILL);   // gone once the share answers again
            stuck.push_back(tool);
        }
        std::string texts[2];
        bool atEnd = true;
        for (int i = 0; i < 2; ++i) {
            char buffer[256];
            ssize_t n;
            while ((n = read(i ? err[0] : out[0], buffer, sizeof buffer)) > 0)
                texts[i].append(buffer, static_cast<size_t>(n));
            atEnd = atEnd && n == 0;
        }
        close(out[0]), close(err[0]);
        std::string shown = c.args[0] + " " + c.args[1];
        EXPECT_EQ(ended, tool) << shown << ": did not end while the share hung";
        EXPECT_TRUE(atEnd) << shown << ": an output is still held open";
        EXPECT_LT(took, 2.0) << shown;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.status) << shown << " " << status;
        EXPECT_EQ(texts[0], c.out) << shown;
        EXPECT_NE(texts[1].find(c.err), std::string::npos) << shown << ": " << texts[1];
    }
    EXPECT_GT(share.count("held"), 0);   // the share really hung
    share.release();
    for (pid_t pid : stuck)
        waitpid(pid, nullptr, 0);
}
#endif

} // namespace
