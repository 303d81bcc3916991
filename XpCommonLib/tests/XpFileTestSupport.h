// Helpers of the file and directory tests: a fresh temporary folder per test, children that drop
// root or own a private mount namespace, and programs run with an argv (never a shell).
#ifndef XPFILETESTSUPPORT_H
#define XPFILETESTSUPPORT_H

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#ifdef XPFS_PROGRAM   // xpfs's tests also run it on a pseudo-terminal
#include <poll.h>
#include <pty.h>
#include <chrono>
#endif

#ifndef XPFS_PROGRAM   // the library's own tests; xpfs's tests only run the tool
#include <XpString.h>
namespace xptest { inline XpStringT<char> S(const std::string& s) { return XpStringT<char>(s.c_str()); } }
#endif

extern char** environ;

namespace xptest {

// A folder made by mkdtemp under $TMPDIR (else /tmp), removed with everything below it.
struct TempDir {
    std::string path;
    TempDir()
    {
        const char* tmp = std::getenv("TMPDIR");
        path = std::string(tmp && *tmp ? tmp : "/tmp") + "/XpFileTest.XXXXXX";
        if (mkdtemp(&path[0]) == nullptr)
            path.clear();
    }
    ~TempDir()
    {
        std::error_code ignored;   // remove_all never follows links
        std::filesystem::remove_all(path, ignored);
    }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

inline std::string readFile(const std::string& path)
{
    // Through the stream buffer in one piece: a character iterator costs seconds per megabyte
    // under ThreadSanitizer.
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

inline bool writeFile(const std::string& path, const std::string& data, mode_t mode = 0644)
{
    std::ofstream(path, std::ios::binary) << data;
    return chmod(path.c_str(), mode) == 0 && readFile(path) == data;
}

// Checks each of a list of results against one expected value; a failure names the result's place.
template <class T> void expectAll(std::initializer_list<T> got, T want)
{
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(got.begin()[i], want) << "result " << i;
}

#ifdef XP_COVERAGE_BUILD
extern "C" void __gcov_dump(void);
#endif

// Ends a forked child. The coverage build writes the child's line counts first, as the exit
// handler that _exit skips would. (A child killed while it writes them would leave damaged count
// files: those that tests kill at random end with a plain _exit.)
[[noreturn]] inline void exitChild(int code)
{
#ifdef XP_COVERAGE_BUILD
    __gcov_dump();
#endif
    _exit(code);
}

// Starts body in a forked child that exits with its result; the child's pid (-1: no fork).
inline pid_t startChild(const std::function<int()>& body)
{
    pid_t pid = fork();
    if (pid == 0)
        exitChild(body());
    return pid;
}

// Waits for the child pid: its exit code, -1 when it did not exit by itself.
inline int childExit(pid_t pid)
{
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs body in a forked child and returns its exit code (-1 when it did not exit normally).
inline int inChild(const std::function<int()>& body) { return childExit(startChild(body)); }

// The unprivileged user the tests drop root to and hand files to (null: none here; ids then 65534).
inline const struct passwd* nobodyUser() { return getpwnam("nobody"); }
inline uid_t nobodyUid() { const struct passwd* pw = nobodyUser(); return pw != nullptr ? pw->pw_uid : uid_t(65534); }
inline gid_t nobodyGid() { const struct passwd* pw = nobodyUser(); return pw != nullptr ? pw->pw_gid : gid_t(65534); }

// Drops root for good in a forked child: nobody's user and group, no supplementary groups.
inline bool becomeNobody()
{
    const struct passwd* nobody = nobodyUser();
    return nobody != nullptr && setgroups(0, nullptr) == 0 && setgid(nobody->pw_gid) == 0 && setuid(nobody->pw_uid) == 0;
}

// body runs as nobody, as another local user would act: root passes every permission check, so
// refusals are only seen there. The child exits with body's result, 120 when it could not become
// nobody; startAsNobody returns its pid, asNobody waits for it.
inline pid_t startAsNobody(const std::function<int()>& body) { return startChild([&] { return becomeNobody() ? body() : 120; }); }
inline int asNobody(const std::function<int()>& body) { return childExit(startAsNobody(body)); }

// Another process's work against a copy: `path` is a hard link of `file` one moment and a
// symbolic link to `target` the next, each put in place by one rename, until Stop(). A process,
// not a thread, so that it may run beside a test that forks (ThreadSanitizer refuses threads
// started after a multi-threaded fork).
class Swapper {
public:
    Swapper(const std::string& path, const std::string& file, const std::string& target)
    {
        pid_ = fork();
        if (pid_ != 0)
            return;
        for (unsigned n = 0;; ++n) {
            std::string f = path + ".f" + std::to_string(n), l = path + ".l" + std::to_string(n);
            if (link(file.c_str(), f.c_str()) == 0)
                rename(f.c_str(), path.c_str());
            if (symlink(target.c_str(), l.c_str()) == 0)
                rename(l.c_str(), path.c_str());
        }
    }
    void Stop()
    {
        if (pid_ > 0 && kill(pid_, SIGKILL) == 0)
            waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    ~Swapper() { Stop(); }

private:
    pid_t pid_ = -1;
};

// Copies made while another process swaps dir/src between dir/public and a link to dir/secret
// (a Swapper): copyOnce() runs `runs` times, each time after out is removed and src is back (a
// move takes it). Whatever a call answered, out must be a file of public data or a link (reading
// through a link takes the reader's own rights), never a file holding `secret`; and the source
// must have been copied at least once.
inline void expectNoLeakWhileSwapped(const std::string& dir, const std::string& secret, int runs,
                                     const std::function<void()>& copyOnce, const std::string& out)
{
    Swapper swapper(dir + "/src", dir + "/public", dir + "/secret");
    int copied = 0, leaked = 0;
    for (int run = 0; run < runs; ++run) {
        unlink(out.c_str());
        struct stat st;
        while (lstat((dir + "/src").c_str(), &st) != 0)   // not made yet, or a move took it
            usleep(50);
        copyOnce();
        if (lstat(out.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            ++copied;
            leaked += readFile(out) == secret;
        }
    }
    swapper.Stop();
    EXPECT_GT(copied, 0) << out;
    EXPECT_EQ(leaked, 0) << out;
}

// Another user who watches a shared folder: a process running as nobody opens every file made
// in the folder the moment it appears (inotify) and keeps the descriptors; Finish() makes the
// watcher read them all and answers whether any of them held `secret`. A file that is readable
// by others for an instant, even empty, is read through such a descriptor later.
class NobodyWatcher {
public:
    NobodyWatcher(const std::string& folder, const std::string& secret) : folder_(folder)
    {
        int ready[2];
        if (pipe(ready) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            int in = inotify_init1(0);
            if (!becomeNobody() || in < 0 || inotify_add_watch(in, folder.c_str(), IN_CREATE) < 0)
                _exit(120);
            (void)!write(ready[1], "r", 1);
            std::vector<int> opened;
            alignas(struct inotify_event) char events[65536];
            for (bool stop = false; !stop;) {
                ssize_t n = read(in, events, sizeof events);
                for (ssize_t at = 0; n > 0 && at < n;) {
                    auto* e = reinterpret_cast<struct inotify_event*>(events + at);
                    std::string name = e->len ? e->name : "";
                    stop = stop || name == ".stop-watching";
                    int fd = open((folder + "/" + name).c_str(), O_RDONLY | O_NONBLOCK);
                    if (fd >= 0)
                        opened.push_back(fd);
                    at += static_cast<ssize_t>(sizeof(struct inotify_event) + e->len);
                }
                if (n <= 0)
                    break;
            }
            for (int fd : opened) {
                char buffer[4096];
                ssize_t got = pread(fd, buffer, sizeof buffer, 0);
                if (got > 0 && std::string(buffer, static_cast<size_t>(got)).find(secret) != std::string::npos)
                    _exit(1);
            }
            _exit(0);
        }
        close(ready[1]);
        char c;
        ready_ = pid_ > 0 && read(ready[0], &c, 1) == 1;
        close(ready[0]);
    }
    bool Ready() const { return ready_; }
    // True when nothing the watcher could open held the secret.
    bool Finish()
    {
        close(open((folder_ + "/.stop-watching").c_str(), O_WRONLY | O_CREAT, 0600));
        int status = 0;
        bool clean = pid_ > 0 && waitpid(pid_, &status, 0) == pid_ && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        unlink((folder_ + "/.stop-watching").c_str());
        pid_ = -1;
        return clean;
    }
    ~NobodyWatcher()
    {
        if (pid_ > 0)
            Finish();
    }

private:
    std::string folder_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

// Checks (EXPECTs, whose failures the child prints itself) run in a forked child: plainly, as
// nobody, or in a private mount namespace; the test fails when one of them failed. The namespace
// form skips the test, and answers false, when the machine refuses a namespace.
typedef std::function<void()> Checks;
inline int verdict(const Checks& checks)
{
    checks();
    return ::testing::Test::HasFailure() ? 1 : 0;
}
inline void checkInChild(const Checks& checks) { EXPECT_EQ(inChild([&] { return verdict(checks); }), 0); }
inline void checkAsNobody(const Checks& checks) { EXPECT_EQ(asNobody([&] { return verdict(checks); }), 0); }
inline void skipWithoutNamespace() { GTEST_SKIP() << "no private mount namespace here"; }
inline bool checkInMountNamespace(const Checks& checks)
{
    const int noNamespace = 121;   // the child's mounts vanish with it
    int code = inChild([&] {
        return unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
                   ? noNamespace : verdict(checks);
    });
    if (code == noNamespace)
        skipWithoutNamespace();
    else
        EXPECT_EQ(code, 0);
    return code != noNamespace;
}

// What a program started with posix_spawnp and an argv (never a shell) did: its exit status (-1
// when it did not exit), standard output and error.
struct Ran { int status = -1; std::string out, err; };
inline Ran spawn(std::vector<std::string> args)
{
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    // Both outputs go to memory files: a long one never blocks, and each is read back from its start.
    int out = memfd_create("stdout", MFD_CLOEXEC), err = memfd_create("stderr", MFD_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, err, 2);
    Ran ran;
    pid_t pid = -1;
    if (out >= 0 && err >= 0 && posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0 &&
        waitpid(pid, &ran.status, 0) == pid)
        ran.status = WIFEXITED(ran.status) ? WEXITSTATUS(ran.status) : -1;
    posix_spawn_file_actions_destroy(&actions);
    ran.out = readFile("/proc/self/fd/" + std::to_string(out));
    ran.err = readFile("/proc/self/fd/" + std::to_string(err));
    close(out);
    close(err);
    return ran;
}

inline std::string runProgram(std::vector<std::string> args) { return spawn(std::move(args)).out; }
// The entries of a folder, sorted, one per line.
inline std::string names(const std::string& dir) { return runProgram({"ls", "-A", dir}); }
// What lstat says of p; a missing p reads as owned by no one (uid -2) and of no kind.
inline struct stat lstatOf(const std::string& p) { struct stat st = {}; st.st_uid = uid_t(-2); lstat(p.c_str(), &st); return st; }
// The permission bits of p, 0 when it is missing.
inline mode_t modeOf(const std::string& p) { struct stat st; return lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0; }
inline bool exists(const std::string& p) { struct stat st; return lstat(p.c_str(), &st) == 0; }
// A relative chain of `levels` folder names of 200 bytes each ("aaa…/bbb…/…"), longer than
// PATH_MAX all together from 21 levels on.
inline std::string longChain(int levels)
{
    std::string chain;
    for (int i = 0; i < levels; ++i)
        chain += (i ? "/" : "") + std::string(200, char('a' + i % 26));
    return chain;
}
// n bytes that differ from one position to the next, seeded so that two files differ too.
inline std::string pattern(size_t n, char seed)
{
    std::string s(n, 0);
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(seed + i * 7 % 251);
    return s;
}

// A call that must give up at once where no file can be made: in dir/missing (no such folder;
// as root) and in dir/locked (a folder of root's, mode 0755, that the caller makes; as nobody).
// fails(folder) runs in a child and answers whether the call failed as it should. A child still
// going after 3 s is searching names, which would go on for an hour: the folder is then made
// usable, and the child's answer shows what it did meanwhile. Nothing may be left in the folder.
inline void expectGivesUpAtOnce(const std::string& dir, const std::function<bool(const std::string&)>& fails)
{
    for (bool locked : {false, true}) {
        const std::string folder = dir + (locked ? "/locked" : "/missing");
        SCOPED_TRACE(folder);
        pid_t pid = startChild([&] { return (!locked || becomeNobody()) && fails(folder) ? 0 : 1; });
        int status = -1, waited = 0;
        while (pid > 0 && waitpid(pid, &status, WNOHANG) == 0 && ++waited < 300)
            usleep(10000);
        if (waited == 300) {   // still searching: the folder is made usable, and the answer awaited
            locked ? chmod(folder.c_str(), 0777) : mkdir(folder.c_str(), 0777);
            waitpid(pid, &status, 0);
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_LT(waited, 300);
        EXPECT_EQ(spawn({"find", folder, "-mindepth", "1"}).out, "");
        rmdir((dir + "/missing").c_str());
        chmod((dir + "/locked").c_str(), 0755);
    }
}

#ifdef XP_TEST_NETFS
// Starts XpTestNetFs, a FUSE volume of the given subtype (writable with rw) at mnt, controlled
// through the folder ctl, in the caller's mount namespace; the daemon dies with its parent. The
// daemon's pid once the volume is in the mount table, -1 when it was not there within 5 s.
inline pid_t mountTestNetFs(const std::string& mnt, const std::string& ctl, const std::string& subtype, bool rw = false)
{
    pid_t daemon = fork();
    if (daemon == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);   // never outlive the test
        execl(XP_TEST_NETFS, "XpTestNetFs", mnt.c_str(), ctl.c_str(), subtype.c_str(), rw ? "rw" : nullptr, nullptr);
        _exit(127);
    }
    for (int i = 0; daemon > 0 && i < 500; ++i, usleep(10000)) {
        std::string table = readFile("/proc/self/mountinfo");
        size_t at = table.find(" " + mnt + " ");
        if (at != std::string::npos && table.find(" - fuse." + subtype + " ", at) < table.find('\n', at))
            return daemon;
    }
    if (daemon > 0 && kill(daemon, SIGTERM) == 0)
        waitpid(daemon, nullptr, 0);
    return -1;
}
#endif

#ifdef XPFS_PROGRAM
// The built xpfs, run with args.
inline Ran xpfs(std::vector<std::string> args)
{
    args.insert(args.begin(), XPFS_PROGRAM);
    return spawn(std::move(args));
}

// Runs args (argv[0] a path) on a new pseudo-terminal of `width` columns (forkpty: the program's
// controlling terminal, so bars are drawn and questions asked as for a person), in folder dir and
// with LC_ALL=locale when they are given. Once ready(pid, screen) answers true, keys are typed:
// the terminal turns "\x03" into a real SIGINT. *screen gets everything printed. The exit status
// (128 + the signal that ended the program), -1 when none; one still running after two minutes
// is killed.
inline int onTerminal(std::vector<std::string> args, std::string* screen,
                      const std::function<bool(pid_t, const std::string&)>& ready = nullptr, const std::string& keys = "",
                      unsigned short width = 100, const std::string& dir = "", const char* locale = nullptr)
{
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int master = -1;
    struct winsize size = {24, width, 0, 0};
    pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    if (pid == 0) {
        if (locale != nullptr)
            setenv("LC_ALL", locale, 1);
        if (!dir.empty() && chdir(dir.c_str()) != 0)
            _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (pid < 0)
        return -1;
    bool typed = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (;;) {
        struct pollfd p = {master, POLLIN, 0};
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            break;
        }
        if (!typed && ready && ready(pid, *screen))
            typed = write(master, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
        if (poll(&p, 1, 10) <= 0)
            continue;
        char buf[4096];
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0)
            break;   // EIO: the program has ended and closed the terminal
        screen->append(buf, static_cast<size_t>(n));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}
#endif

} // namespace xptest

#endif
