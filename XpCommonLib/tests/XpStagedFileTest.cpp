// The file-safety layer: the owned descriptor, results that keep their cause, and the staged file
// with every copy built on it, through kills at random moments, names planted by another user,
// sources that are not regular files, and a close that fails on a FUSE volume. A rule of the
// staging is proven here on XpStagedFile itself; each copy built on it (by paths, CopyFileSafely,
// CopyFileAt) is checked once for being wired to it, not for every rule again.
#include "XpFileTestSupport.h"

#include <XpFd.h>
#include <XpFileOperation.h>
#include <XpStagedFile.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/un.h>

#include <chrono>
#include <cstdio>
#include <random>

using namespace xptest;

namespace {

typedef XpFileOperation Op;

bool isHiddenName(const std::string& n)
{
    return n.size() == 20 && n.compare(0, 8, ".xpcopy-") == 0 && n.compare(16, 4, ".tmp") == 0 &&
           n.find_first_not_of("0123456789abcdef", 8) == 16;
}
int openDir(const std::string& p) { return open(p.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

// Runs each() at every progress call and answers what it answers (true: stop).
struct OnProgressDo : IXpFileOpProgressObserver {
    std::function<bool()> each;
    bool OnProgress(double) override { return each(); }
};

TEST(XpFd, ClosesOnceMoved)
{
    int raw = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(raw, 0);
    XpFd a(raw);
    XpFd b(std::move(a));
    EXPECT_FALSE(a.IsValid());
    XpFd c;
    c = std::move(b);
    EXPECT_EQ(0, c.Close());
    EXPECT_EQ(-1, fcntl(raw, F_GETFD));   // moved twice, closed once, by Close
}

// On a share that reports a lost write only at the close (an XpTestNetFs volume whose flush
// fails; it has no unnamed files, so the copy is staged under a hidden name), the copy fails with
// that cause and the name shows what it showed before; the hidden name goes too. The close's
// errno comes up through XpFd::Close, which this also proves. Skipped where no namespace or no
// FUSE volume can be had.
TEST(XpStagedFile, AWriteLostAtTheCloseFailsThePlaceAndLeavesTheNameAsItWas)
{
    TempDir local, t;
    std::string mnt = t / "mnt", ctl = t / "ctl", rw = mnt + "/rw";
    ASSERT_TRUE(writeFile(local / "src", pattern(300000, 'n')) && writeFile(local / "other", "other content") &&
                mkdir(mnt.c_str(), 0755) == 0 && mkdir(ctl.c_str(), 0755) == 0);
    const int noNamespace = 121, noFuse = 122;   // the volume goes with the child
    int code = inChild([&] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return noNamespace;
        pid_t daemon = mountTestNetFs(mnt, ctl, "xplocal", true);
        if (daemon < 0)
            return noFuse;
        EXPECT_EQ(XPERR_OK, Op::CopyFileSafely(S(local / "src"), S(rw + "/old"), false, nullptr));   // works there
        EXPECT_TRUE(writeFile(ctl + "/flusherr", ""));
        EXPECT_EQ(XPERR_FILE_COPY_FAILED, Op::CopyFileSafely(S(local / "other"), S(rw + "/old"), false, nullptr));
        EXPECT_EQ(EIO, Op::LastError().SysErr());
        unlink((ctl + "/flusherr").c_str());
        EXPECT_EQ(readFile(local / "src"), readFile(rw + "/old"));
        EXPECT_EQ("old\n", names(rw));
        umount2(mnt.c_str(), MNT_DETACH);
        kill(daemon, SIGTERM);
        waitpid(daemon, nullptr, 0);
        return ::testing::Test::HasFailure() ? 1 : 0;
    });
    if (code == noNamespace || code == noFuse)
        GTEST_SKIP() << (code == noFuse ? "the FUSE volume could not be mounted" : "no private mount namespace");
    EXPECT_EQ(0, code);
}

// Every way of staging and placing, against every state of the name; a file not placed leaves
// nothing, and a refused Place leaves the name as it was.
TEST(XpStagedFile, PutsInPlaceAsAskedAndLeavesNoTraceWhenNotPlaced)
{
    enum State { none, file, link, folder };
    struct Case { State state; XpStagedFile::Placement how; XpErr want; int sysErr; };
    const Case cases[] = {
        {none, XpStagedFile::placeNew, XPERR_OK, 0},
        {file, XpStagedFile::placeNew, XPERR_FILE_EXISTS, EEXIST},
        {none, XpStagedFile::placeReplace, XPERR_OK, 0},
        {link, XpStagedFile::placeReplace, XPERR_OK, 0},   // a regular file there takes the same road
        {folder, XpStagedFile::placeReplace, XPERR_FILE_EXISTS, EISDIR},
    };
    for (XpStagedFile::Staging staging : {XpStagedFile::stageUnnamed, XpStagedFile::stageHidden}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "staging " << staging << ", state " << c.state << ", placement " << c.how);
            TempDir t;
            std::string dst = t / "dst", other = t / "other";
            ASSERT_TRUE(writeFile(other, "other"));
            bool made = c.state == none || (c.state == file && writeFile(dst, "old")) ||
                        (c.state == link && symlink(other.c_str(), dst.c_str()) == 0) ||
                        (c.state == folder && mkdir(dst.c_str(), 0755) == 0);
            ASSERT_TRUE(made);
            const std::string before = names(t.path);
            XpFd dir(openDir(t.path));
            {
                XpStagedFile staged;
                ASSERT_TRUE(staged.Create(dir.Get(), "dst", staging).IsOk());
                ASSERT_TRUE(staged.SetMode(0640).IsOk() && staged.Write("new", 3).IsOk());
                XpFileError err = staged.Place(c.how, true);
                EXPECT_EQ(c.want, err.Code());
                EXPECT_EQ(c.sysErr, err.SysErr());
                if (c.want == XPERR_OK) {
                    EXPECT_EQ("new", readFile(dst));
                    EXPECT_EQ(mode_t(S_IFREG | 0640), lstatOf(dst).st_mode);
                    EXPECT_EQ("other", readFile(other));   // a link is replaced as a name
                }
            }   // a refused one is dropped here
            if (c.want != XPERR_OK) {
                EXPECT_EQ(before, names(t.path));
                EXPECT_TRUE(c.state != file || readFile(dst) == "old");
            } else {
                EXPECT_EQ(c.state == none ? "dst\nother\n" : before, names(t.path));
            }
        }
    }
    // A bad name is refused before anything is made.
    TempDir t;
    XpFd dir(openDir(t.path));
    for (XpStagedFile::Staging staging : {XpStagedFile::stageUnnamed, XpStagedFile::stageHidden}) {
        XpStagedFile staged;
        for (const char* bad : {"", ".", "..", "a/b"})
            EXPECT_EQ(XPERR_FILE_INVALID_PARAM, staged.Create(dir.Get(), bad, staging).Code()) << bad;
    }
    EXPECT_EQ("", names(t.path));
}

// A stop asked before the first byte or after the last one: the destination keeps its old
// content, nothing else stays. (Progress at 0, after four pieces of 256 KiB and after the short
// last one.)
TEST(XpStagedFile, ACancelledCopyChangesNothing)
{
    TempDir t;
    ASSERT_TRUE(writeFile(t / "src", pattern((1 << 20) + 1000, 'c')) && writeFile(t / "dst", "old"));
    for (int stop : {0, 5}) {
        int calls = 0;
        OnProgressDo look;
        look.each = [&] { return calls++ == stop; };
        EXPECT_EQ(XPERR_FILE_CANCELLED, Op::CopyFileSafely(S(t / "src"), S(t / "dst"), false, &look)) << stop;
        EXPECT_EQ("old", readFile(t / "dst"));
        EXPECT_EQ("dst\nsrc\n", names(t.path));
    }
}

// Root works in a folder nobody may write (0777, not sticky). What nobody plants is never
// followed, never replaced unless asked, and never put in place as ours. (A link found at the
// destination is replaced as a name, whoever planted it: PutsInPlaceAsAskedAndLeavesNoTrace...)
TEST(XpStagedFile, NamesAndLinksPlantedByAnotherUserAreNeverFollowedNorPlaced)
{
    TempDir t, outside;
    ASSERT_EQ(0, chmod(t.path.c_str(), 0777));
    ASSERT_TRUE(writeFile(outside / "target", "precious") && writeFile(t / "dst", "copy"));
    XpFd dir(openDir(t.path));
    for (XpStagedFile::Staging staging : {XpStagedFile::stageUnnamed, XpStagedFile::stageHidden}) {
        SCOPED_TRACE(staging);
        // A name planted between Create and Place: a new file never replaces it.
        XpStagedFile staged;
        ASSERT_TRUE(staged.Create(dir.Get(), "late", staging).IsOk() && staged.Write("mine", 4).IsOk());
        ASSERT_EQ(0, asNobody([&] { return symlink((outside / "target").c_str(), (t / "late").c_str()); }));
        EXPECT_EQ(XPERR_FILE_EXISTS, staged.Place(XpStagedFile::placeNew, false).Code());
        EXPECT_EQ(S_IFLNK, lstatOf(t / "late").st_mode & S_IFMT);
        staged.Discard();
        ASSERT_EQ(0, unlink((t / "late").c_str()));
    }

    // Our hidden name renamed away and a link of nobody's put under it: the Place refuses to put
    // that in place, and Discard leaves nobody's objects alone.
    XpStagedFile staged;
    ASSERT_TRUE(staged.Create(dir.Get(), "dst", XpStagedFile::stageHidden).IsOk() && staged.Write("mine", 4).IsOk());
    std::string hidden = t / staged.HiddenName();
    ASSERT_EQ(0, asNobody([&] {
        return rename(hidden.c_str(), (t / "stolen").c_str()) | symlink((outside / "target").c_str(), hidden.c_str());
    }));
    EXPECT_EQ(XPERR_FILE_FAILED, staged.Place(XpStagedFile::placeReplace, false).Code());
    EXPECT_EQ("copy", readFile(t / "dst"));   // through a link put in place it would read "precious"
    staged.Discard();
    EXPECT_EQ(S_IFLNK, lstatOf(hidden).st_mode & S_IFMT);
    EXPECT_EQ("precious", readFile(outside / "target"));
}

// Every kind of object that is not a regular file, as the source of every copy: refused, and
// nothing is created (a destination that existed keeps its content): a device (as /dev/null,
// which opens at once and reads as empty), a FIFO (opened without waiting), a socket (which
// cannot be opened), a folder and a link (never followed).
TEST(XpStagedFile, EveryCopyRefusesEveryNonRegularSourceAndCreatesNothing)
{
    TempDir t, to;
    ASSERT_TRUE(writeFile(t / "file", "data") && writeFile(to / "old", "old"));
    ASSERT_EQ(0, mknod((t / "device").c_str(), S_IFCHR | 0666, makedev(1, 3)) |
                     mkfifo((t / "fifo").c_str(), 0644) | mkdir((t / "folder").c_str(), 0755) |
                     symlink((t / "file").c_str(), (t / "link").c_str()));
    XpFd sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", (t / "socket").c_str());
    ASSERT_EQ(0, bind(sock.Get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof addr));
    XpFd src(openDir(t.path)), dst(openDir(to.path));
    for (const char* kind : {"device", "fifo", "socket", "folder", "link"}) {
        for (const char* name : {"new", "old"}) {
            SCOPED_TRACE(std::string(kind) + " onto " + name);
            std::string from = t / kind, onto = to / name;
            EXPECT_NE(XPERR_OK, Op::CopyFile(S(from), S(onto), false, nullptr));
            EXPECT_NE(XPERR_OK, Op::CopyFileSafely(S(from), S(onto), false, nullptr));
            EXPECT_NE(XPERR_OK, Op::CopyFileAt(src.Get(), kind, dst.Get(), name));
            EXPECT_EQ("old\n", names(to.path));
            EXPECT_EQ("old", readFile(to / "old"));
        }
    }
    // The staged file's own copy looks at the kind of what it is given.
    XpFd fifo(open((t / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    XpStagedFile staged;
    ASSERT_TRUE(staged.Create(dst.Get(), "new").IsOk());
    EXPECT_EQ(XPERR_FILE_INVALID_PARAM, staged.CopyFrom(fifo.Get(), nullptr).Code());
}

// Without root's capabilities and without /proc (hidden by an empty tmpfs here) an unnamed file
// still gets its name with its content, mode and dates, and nothing else stays. Kernels before
// 6.10 refuse linkat(AT_EMPTY_PATH) without CAP_DAC_READ_SEARCH, and then this runs the road
// through a hidden name; later kernels let the process that opened the file link it.
TEST(XpStagedFile, WithoutProcAndCapabilitiesAnUnnamedFileStillGetsItsName)
{
    TempDir t;
    ASSERT_EQ(0, chmod(t.path.c_str(), 0777));
    checkInMountNamespace([&] {
        ASSERT_TRUE(mount("tmpfs", "/proc", "tmpfs", 0, "size=64k") == 0 && becomeNobody());
        XpFd dir(openDir(t.path));
        XpStagedFile staged;
        EXPECT_TRUE(staged.Create(dir.Get(), "a").IsOk() && staged.IsUnnamed());
        EXPECT_TRUE(staged.SetMode(0640).IsOk() && staged.Write("first", 5).IsOk());
        const struct timespec when = {1234567890, 0};
        staged.SetTimes(when, when);
        EXPECT_TRUE(staged.Place(XpStagedFile::placeNew, false).IsOk());
        EXPECT_EQ("first", readFile(t / "a"));
        EXPECT_EQ(mode_t(S_IFREG | 0640), lstatOf(t / "a").st_mode);
        EXPECT_EQ(1234567890, lstatOf(t / "a").st_mtim.tv_sec);
    });
    EXPECT_EQ("a\n", names(t.path));
}

#if defined(__SANITIZE_THREAD__)
const int kMinimumKills = 25;   // every fork copies the sanitizer's state (about half a second)
#else
const int kMinimumKills = 60;
#endif

// Killed at any moment, every kind of put-in-place leaves the whole old file, the whole new one,
// or nothing where nothing was; never a part, never an empty file, never a visible temporary.
// A hidden name of the documented pattern may stay only where the kind stages under one (or, for
// an unnamed file replacing a name, between its link and the rename).
TEST(XpStagedFile, KilledAtRandomEveryKindLeavesOldOrNewWholeAndNoVisibleLitter)
{
    TempDir t;
    const std::string versions[2] = {pattern(1 << 20, 'A'), pattern(3 << 19, 'B')};
    ASSERT_TRUE(writeFile(t / "v0", versions[0]) && writeFile(t / "v1", versions[1]) && writeFile(t / "dst", versions[0]));
    // (CopyFileSafely to a new name takes the copy by paths' road.)
    enum Kind { safelyOver, byPathsToNew, hiddenOver, hiddenToNew, kinds };
    std::mt19937 random(4711);
    int runs = 0, cutShort = 0;
    const auto start = std::chrono::steady_clock::now();
    for (; runs < 100 * kinds; ++runs) {
        Kind kind = static_cast<Kind>(runs % kinds);
        std::string from = t / ("v" + std::to_string((runs / kinds + 1) % 2));
        bool toNew = kind == byPathsToNew || kind == hiddenToNew;
        unlink((t / "new").c_str());
        pid_t pid = fork();
        if (pid == 0) {
            XpStringT<char> target = S(t / (toNew ? "new" : "dst"));
            if (kind == safelyOver)
                _exit(Op::CopyFileSafely(S(from), target, false, nullptr) == XPERR_OK ? 0 : 1);
            if (kind == byPathsToNew)
                _exit(Op::CopyFile(S(from), target, false, nullptr) == XPERR_OK ? 0 : 1);
            XpFd in(open(from.c_str(), O_RDONLY | O_CLOEXEC)), dir(openDir(t.path));
            XpStagedFile staged;
            bool ok = staged.Create(dir.Get(), toNew ? "new" : "dst", XpStagedFile::stageHidden).IsOk() &&
                      staged.SetMode(0644).IsOk() && staged.CopyFrom(in.Get(), nullptr).IsOk() &&
                      staged.Place(toNew ? XpStagedFile::placeNew : XpStagedFile::placeReplace, false).IsOk();
            _exit(ok ? 0 : 1);
        }
        ASSERT_GT(pid, 0);
        usleep(random() % 3000);
        kill(pid, SIGKILL);
        ASSERT_EQ(pid, waitpid(pid, nullptr, 0));
        std::string now = readFile(t / "dst");
        ASSERT_TRUE(now == versions[0] || now == versions[1]) << "run " << runs << ": " << now.size();
        cutShort += toNew && !exists(t / "new");
        ASSERT_TRUE(!exists(t / "new") || readFile(t / "new") == readFile(from)) << "run " << runs;
        for (const auto& entry : std::filesystem::directory_iterator(t.path)) {
            std::string n = entry.path().filename();
            bool mayBeHidden = kind == hiddenOver || kind == hiddenToNew || kind == safelyOver;
            ASSERT_TRUE(n == "dst" || n == "new" || n == "v0" || n == "v1" || (mayBeHidden && isHiddenName(n)))
                << "run " << runs << ", kind " << kind << ": " << n;
            if (isHiddenName(n)) {
                unlink(entry.path().c_str());
            }
        }
        if (runs >= kinds * kMinimumKills && std::chrono::steady_clock::now() - start > std::chrono::seconds(6))
            break;
    }
    EXPECT_GE(runs, kinds * kMinimumKills);
    EXPECT_GT(cutShort, 0);   // some copies were really cut short
}

} // namespace
