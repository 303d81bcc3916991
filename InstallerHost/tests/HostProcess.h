// Runs installer-host as a real process with pipes on its standard streams, for the tests of the
// host and the end-to-end tests of the plug-in. A Host kills and reaps its process when it goes,
// so a failed assertion never leaves one running.
#ifndef HOSTPROCESS_H
#define HOSTPROCESS_H

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

// How many times `part` appears in `text`.
inline size_t countOf(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + 1))
        ++n;
    return n;
}

// Expects each of `parts` in `text`; a failure names the part and shows `context` (else the text).
inline void expectHas(const std::string& text, std::initializer_list<std::string> parts, const std::string& context = {})
{
    for (const std::string& part : parts)
        EXPECT_NE(text.find(part), std::string::npos) << "missing \"" << part << "\" in\n" << (context.empty() ? text : context);
}

inline std::string readAll(const std::string& path)
{
    std::stringstream s;
    s << std::ifstream(path).rdbuf();
    return s.str();
}

// In a child just forked: becomes `uid` and `gid` without supplementary groups (when uid is not
// 0), adds `env` (NAME=VALUE) to its environment, or makes them the whole environment when
// `onlyEnv`, and runs argv, dying with the test program. 125: the user could not be changed;
// 124: argv[0] could not be run (not 127, which pkexec answers for a refusal).
[[noreturn]] inline void execChild(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                                   uid_t uid = 0, gid_t gid = 0, bool onlyEnv = false)
{
    if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0))
        ::_exit(125);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL); // after the change of user, which clears it
    if (onlyEnv)
        ::clearenv();
    for (const std::string& e : env)
        ::putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(124);
}

// A fresh folder /tmp/NAME.XXXXXX (path empty if it could not be made), removed with its content.
struct TempFolder {
    std::string path;
    explicit TempFolder(std::string t) : path(::mkdtemp(&(t = "/tmp/" + t + ".XXXXXX")[0]) ? t : "") {}
    ~TempFolder() { std::error_code ec; std::filesystem::remove_all(path, ec); }
};

// Takes this test program into a mount namespace of its own, whose mounts reach no other
// namespace: what the tests mount there stays theirs and goes with the program.
inline void enterPrivateMountNamespace()
{
    ASSERT_EQ(::unshare(CLONE_NEWNS), 0) << "these tests need a mount namespace of their own: " << std::strerror(errno);
    ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << std::strerror(errno);
}

// Mounts a test makes in its own mount namespace, undone last first when it goes, failed or not.
struct PrivateMounts {
    std::vector<std::string> targets;
    PrivateMounts() = default;
    PrivateMounts(const PrivateMounts&) = delete;
    PrivateMounts& operator=(const PrivateMounts&) = delete;
    ~PrivateMounts()
    {
        for (auto it = targets.rbegin(); it != targets.rend(); ++it)
            ::umount2(it->c_str(), MNT_DETACH);
    }
    void mount(const std::string& source, const std::string& target, const char* type, const std::string& options,
               unsigned long flags = MS_NOSUID | MS_NODEV)
    {
        ASSERT_EQ(::mount(source.c_str(), target.c_str(), type, flags, options.c_str()), 0)
            << source << " on " << target << ": " << std::strerror(errno);
        targets.push_back(target);
    }
    void tmpfs(const std::string& target, const std::string& options) { mount("xp-test", target, "tmpfs", options); }
    void bind(const std::string& source, const std::string& target) { mount(source, target, nullptr, "", MS_BIND); }
};

struct Host {
    pid_t pid = -1;
    int in = -1;  // the host's standard input
    int out = -1; // its standard output and error
    std::string output;
    // When not 0: the host runs as this user (and group), without supplementary groups.
    uid_t runAsUid = 0;
    gid_t runAsGid = 0;
    // The program started: the terminal host unless a test names another front-end (or program).
    std::string program = INSTALLER_HOST_PATH;
    // The environment is exactly the `env` of start() (and LANGUAGE=en), not the test's own.
    bool onlyEnv = false;
    // Its output goes to /dev/null instead of `out` (a daemon nobody reads).
    bool discardOutput = false;
    // When >= 0: its standard input is this descriptor (a stream the test prepared), not `in`.
    int stdinFd = -1;
    // The data folder the host gets when the test gives none (see start()).
    TempFolder dataHome{"host-data"};

    Host() = default;
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;
    ~Host()
    {
        for (int fd : {in, out})
            if (fd >= 0)
                ::close(fd);
        stop();
    }
    // Ends the process with `sig` (when still running) and reaps it.
    void stop(int sig = SIGKILL)
    {
        if (pid > 0 && ::kill(pid, sig) == 0)
            ::waitpid(pid, nullptr, 0);
        pid = -1;
    }

    // Starts installer-host with `args` in English; `env` entries (NAME=VALUE) are added to the
    // environment. The host dies with the test program. A Host started again begins afresh: the
    // earlier run's pipes closed, its output forgotten.
    void start(const std::vector<std::string>& args, std::vector<std::string> env = {})
    {
        for (int* fd : {&in, &out})
            if (*fd >= 0)
                ::close(*fd), *fd = -1;
        output.clear();
        int inPipe[2], outPipe[2];
        ASSERT_EQ(::pipe2(inPipe, O_CLOEXEC) | ::pipe2(outPipe, O_CLOEXEC), 0);
        env.insert(env.begin(), "LANGUAGE=en");
        // The record of what a host installed goes to a data folder of the test's own, unless the
        // test chose one (a sandbox's): never into the home of whoever runs the tests.
        bool dataChosen = std::getenv("XDG_DATA_HOME") != nullptr;
        for (const std::string& e : env)
            dataChosen = dataChosen || e.rfind("XDG_DATA_HOME=", 0) == 0;
        if (!dataChosen)
            env.push_back("XDG_DATA_HOME=" + dataHome.path);
        ASSERT_GE(pid = ::fork(), 0);
        if (pid == 0) {
            int output = discardOutput ? ::open("/dev/null", O_WRONLY) : outPipe[1];
            ::dup2(stdinFd >= 0 ? stdinFd : inPipe[0], 0);
            ::dup2(output, 1);
            ::dup2(output, 2);
            std::vector<std::string> argv{program};
            argv.insert(argv.end(), args.begin(), args.end());
            execChild(argv, env, runAsUid, runAsGid, onlyEnv);
        }
        ::close(inPipe[0]);
        ::close(outPipe[1]);
        in = inPipe[1];
        out = outPipe[0];
    }

    // Reads until `marker` has appeared `count` times in the whole output; false at the end of the
    // output or after `seconds`.
    bool readUntil(const std::string& marker, size_t count = 1, int seconds = 20)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        for (;;) {
            size_t seen = countOf(output, marker);
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (seen >= count || left.count() <= 0)
                return seen >= count;
            struct pollfd p{out, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char buffer[4096];
            ssize_t n = ::read(out, buffer, sizeof buffer);
            if (n <= 0)
                return false;
            output.append(buffer, static_cast<size_t>(n));
        }
    }

    void send(const std::string& line) { ASSERT_EQ(::write(in, line.data(), line.size()), static_cast<ssize_t>(line.size())); }

    // Closes its input, reads the rest of its output and returns its exit status. A host that has
    // not ended after `seconds` is a failure of the test, not a reason to hang the suite: killed.
    int finish(int seconds = 20)
    {
        ::close(in);
        in = -1;
        readUntil("\x01never", 1, seconds); // to the end of its output, or the time limit
        int status = 0;
        bool ended = false;
        for (int tries = 0; tries < 20 && !(ended = ::waitpid(pid, &status, WNOHANG) == pid); ++tries)
            ::usleep(100 * 1000);
        if (!ended) {
            ADD_FAILURE() << "installer-host did not end; killed";
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
        }
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::string resultLine() const
    {
        size_t p = output.rfind("installer-host: result: ");
        return p == std::string::npos ? std::string() : output.substr(p, output.find('\n', p) - p);
    }
    // Expects each of `parts` in the result line; a failure shows the whole output.
    void expectResult(std::initializer_list<std::string> parts) const { expectHas(resultLine(), parts, output); }
};

// Whether desktop-file-validate (desktop-file-utils) accepts the desktop entry at `path` without
// an error; a failure shows what it said and the entry.
inline ::testing::AssertionResult validDesktopEntry(const std::string& path)
{
    Host validator;
    validator.program = "/usr/bin/desktop-file-validate";
    validator.start({path});
    if (validator.finish() == 0 && validator.output.find("error") == std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "desktop-file-validate " << path << ":\n" << validator.output << readAll(path);
}

#endif
