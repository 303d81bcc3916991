// The installer's rights through polkit's own programs (see InstallerPolkit.h for why they are
// spawned rather than spoken to over D-Bus in-process).
#include <InstallerPolkit.h>
#include <XpFd.h>
#include "InstallerTexts.h"

#include <fcntl.h>
#include <libintl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

extern char** environ;

const char* const kInstallerPolkitInstallPayloadAction = "com.ombrix.installer.install-payload";
const char* const kInstallerPolkitGlobalLoginItemsAction = "com.ombrix.installer.global-login-items";
const char* const kInstallerInstallPayloadRight = "system.install-payload.";

namespace {

const char* const kPkcheck = "/usr/bin/pkcheck";
const char* const kPkexec = "/usr/bin/pkexec";
const char* const kPkttyagent = "/usr/bin/pkttyagent";

// A pipe whose two ends close themselves; false with errno when none could be made.
bool makePipe(XpFd (&ends)[2])
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    ends[0].Reset(fds[0]);
    ends[1].Reset(fds[1]);
    return true;
}

int waitFor(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs argv[0] (an absolute path) with `input` on its standard input and its two output streams
// collected; returns its exit status (128+N when killed by signal N), or -1 with the reason in
// `errors` when it could not be started.
int runCollecting(const std::vector<std::string>& argv, const std::string& input, std::string* output,
                  std::string* errors)
{
    std::string out, err;
    XpFd in[2], o[2], e[2];
    if (!makePipe(in) || !makePipe(o) || !makePipe(e)) {
        if (errors)
            *errors = std::strerror(errno);
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0].Get(), 0);
    posix_spawn_file_actions_adddup2(&actions, o[1].Get(), 1);
    posix_spawn_file_actions_adddup2(&actions, e[1].Get(), 2);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    in[0].Reset(), o[1].Reset(), e[1].Reset();
    if (rc != 0) {
        if (errors)
            *errors = argv[0] + ": " + std::strerror(rc);
        return -1;
    }
    // Feed the input and drain both outputs together, so that neither side waits on a full pipe.
    size_t written = 0;
    if (input.empty())
        in[1].Reset();
    else
        ::fcntl(in[1].Get(), F_SETFL, O_NONBLOCK);
    while (o[0].IsValid() || e[0].IsValid()) {
        struct pollfd fds[3] = {{o[0].Get(), POLLIN, 0}, {e[0].Get(), POLLIN, 0}, {in[1].Get(), POLLOUT, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (in[1].IsValid() && (fds[2].revents & (POLLERR | POLLHUP))) {
            in[1].Reset(); // the program stopped reading: the rest is not wanted
        } else if (in[1].IsValid() && fds[2].revents) {
            ssize_t n = ::write(in[1].Get(), input.data() + written, input.size() - written);
            if (n > 0)
                written += static_cast<size_t>(n);
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size())
                in[1].Reset();
        }
        for (int k = 0; k < 2; ++k) {
            XpFd& fd = k == 0 ? o[0] : e[0];
            if (!fd.IsValid() || !fds[k].revents)
                continue;
            char buffer[4096];
            ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
            if (n > 0)
                (k == 0 ? out : err).append(buffer, static_cast<size_t>(n));
            else if (n == 0 || errno != EINTR)
                fd.Reset();
        }
    }
    in[1].Reset(), o[0].Reset(), e[0].Reset();
    int status = waitFor(pid);
    if (output)
        *output = out;
    if (errors)
        *errors = err;
    return status;
}

// The last non-empty line of a program's messages.
std::string lastLine(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    size_t nl = text.rfind('\n');
    return nl == std::string::npos ? text : text.substr(nl + 1);
}

// What polkit's programs print when nobody provides the authority on the system bus.
bool saysNoDaemon(const std::string& messages)
{
    for (const char* sign : {"Could not connect", "Error initializing authority", "ServiceUnknown",
                             "NameHasNoOwner", "was not provided by any .service"})
        if (messages.find(sign) != std::string::npos)
            return true;
    return false;
}

std::mutex g_helperLock;
std::string g_helper;

} // namespace

std::string InstallerPrivilegedHelper()
{
    std::lock_guard<std::mutex> guard(g_helperLock);
    return g_helper;
}

void InstallerSetPrivilegedHelper(const std::string& path)
{
    std::lock_guard<std::mutex> guard(g_helperLock);
    g_helper = path;
}

std::string InstallerPolkitActionForRight(const std::string& right)
{
    if (right == "system.global-login-items.")
        return kInstallerPolkitGlobalLoginItemsAction;
    if (right == kInstallerInstallPayloadRight)
        return kInstallerPolkitInstallPayloadAction;
    return std::string();
}

std::string InstallerRightInPlainWords(const std::string& right)
{
    if (right == "system.global-login-items.")
        return ::dgettext("installer-host", "If you allow it, the application will start by itself whenever anyone "
                                            "logs in to this computer, for every user, until it is removed from the "
                                            "login items.");
    if (right == kInstallerInstallPayloadRight)
        return ::dgettext("installer-host", "If you allow it, the file will be placed in a system folder, for every "
                                            "user of this computer.");
    return ::dgettext("installer-host", "If you allow it, the installer will make a change that needs an "
                                        "administrator and may affect every user of this computer.");
}

InstallerPolkitResult InstallerPolkitCheckAuthorization(const std::string& actionId, bool allowUserInteraction)
{
    InstallerPolkitResult result;
    if (::access(kPkcheck, X_OK) != 0) {
        result.answer = InstallerPolkitAnswer::NoDaemon;
        result.detail = "polkit is not installed (no " + std::string(kPkcheck) + ")";
        return result;
    }
    // The subject is this process, named by its id; pkcheck adds its start time and owner.
    std::vector<std::string> argv{kPkcheck, "--action-id", actionId, "--process", std::to_string(::getpid())};
    if (allowUserInteraction)
        argv.push_back("--allow-user-interaction");
    std::string errors;
    int status = runCollecting(argv, std::string(), nullptr, &errors);
    switch (status) {
    case 0:
        result.answer = InstallerPolkitAnswer::Granted;
        return result;
    case 1:
        result.answer = InstallerPolkitAnswer::Refused;
        result.detail = ::dgettext("installer-host", "not authorized");
        return result;
    case 2:
        result.answer = InstallerPolkitAnswer::Refused;
        result.detail = ::dgettext("installer-host", "authentication needed, but nobody could be asked");
        return result;
    case 3:
        result.answer = InstallerPolkitAnswer::Refused;
        result.detail = ::dgettext("installer-host", "dismissed");
        return result;
    default:
        break;
    }
    result.answer = saysNoDaemon(errors) ? InstallerPolkitAnswer::NoDaemon : InstallerPolkitAnswer::Failed;
    result.detail = status < 0 ? errors : lastLine(errors);
    if (result.detail.empty())
        result.detail = "pkcheck ended with status " + std::to_string(status);
    return result;
}

bool InstallerPolkitTextAgent::start(std::string* error)
{
    if (pid_ > 0)
        return true;
    // The agent closes its end of this pipe once it is registered: end of file here.
    XpFd notify[2];
    if (!makePipe(notify)) {
        if (error)
            *error = std::strerror(errno);
        return false;
    }
    const int childFd = 3;
    // Not --fallback: polkitd passes a fallback agent over for a process outside any login
    // session (an ssh or container shell), where it is the only one who could ask. Registered for
    // this process alone, it takes nothing from the desktop's agent.
    std::vector<std::string> argv{kPkttyagent, "--process", std::to_string(::getpid()), "--notify-fd",
                                  std::to_string(childFd)};
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // Forked rather than spawned so that it can be told to end with the host, should the host be
    // killed: an agent registered for a process that is gone has nothing left to do.
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::dup2(notify[1].Get(), childFd) == childFd && ::prctl(PR_SET_PDEATHSIG, SIGTERM) == 0)
            ::execve(kPkttyagent, args.data(), environ);
        ::_exit(127);
    }
    int forkErr = errno;
    notify[1].Reset();
    if (pid < 0) {
        if (error)
            *error = std::string("cannot start ") + kPkttyagent + ": " + std::strerror(forkErr);
        return false;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    bool registered = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        struct pollfd p{notify[0].Get(), POLLIN, 0};
        int n = left.count() > 0 ? ::poll(&p, 1, static_cast<int>(left.count())) : 0;
        if (n < 0 && errno == EINTR)
            continue;
        char c;
        registered = n > 0 && ::read(notify[0].Get(), &c, 1) == 0;
        break;
    }
    notify[0].Reset();
    // An agent that ended has closed the pipe as well: it must still be running to count. A
    // process closes its descriptors on the way out a moment before it can be waited for, so an
    // agent that has just died is given a short while to show it (its pidfd turns readable when
    // it has ended) rather than being taken for registered.
    if (registered) {
        XpFd pidFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
        if (pidFd.IsValid()) {
            struct pollfd p{pidFd.Get(), POLLIN, 0};
            int n;
            do
                n = ::poll(&p, 1, 100);
            while (n < 0 && errno == EINTR);
            registered = n == 0;
        }
    }
    int status = 0;
    if (registered && ::waitpid(pid, &status, WNOHANG) == 0) {
        pid_ = pid;
        return true;
    }
    ::kill(pid, SIGTERM);
    int ended = waitFor(pid);
    if (error)
        *error = "pkttyagent did not register" + (ended >= 0 ? " (status " + std::to_string(ended) + ")" : std::string());
    return false;
}

void InstallerPolkitTextAgent::stop()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    waitFor(pid_);
    pid_ = -1;
}

int InstallerRunThroughPkexec(const std::string& program, const std::vector<std::string>& arguments,
                              const std::string& input, std::string* output, std::string* errors)
{
    if (::access(kPkexec, X_OK) != 0) {
        if (errors)
            *errors = "pkexec is not installed";
        return -1;
    }
    // pkexec takes this process (its parent) as the subject, so a right kept by an earlier check
    // of this process is not asked for again.
    std::vector<std::string> argv{kPkexec, program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runCollecting(argv, input, output, errors);
}

InstallerAuthorizationHandler InstallerPolkitAuthorizationHandler(InstallerAuthorizationHandler fallback,
                                                                  std::function<void(const std::string&)> notice)
{
    return [fallback, notice](const std::string& right, const std::string& explanation) {
        auto tell = [&notice](const std::string& text) {
            if (notice)
                notice(text);
        };
        std::string action = InstallerPolkitActionForRight(right);
        if (action.empty())
            return fallback ? fallback(right, explanation) : false;
        InstallerPolkitResult result = InstallerPolkitCheckAuthorization(action, true);
        switch (result.answer) {
        case InstallerPolkitAnswer::Granted:
            return true;
        case InstallerPolkitAnswer::Refused:
            tell(InstallerText("polkit refused %s: %s", action, result.detail));
            return false;
        case InstallerPolkitAnswer::Failed:
            tell(InstallerText("polkit could not decide on %s: %s", action, result.detail));
            return false;
        case InstallerPolkitAnswer::NoDaemon:
            break;
        }
        if (::geteuid() != 0) {
            tell(InstallerText("no polkit daemon answers here (%s); without it only root may do this: refused", result.detail));
            return false;
        }
        tell(InstallerText("no polkit daemon answers here (%s); the installer asks for itself", result.detail));
        return fallback ? fallback(right, explanation) : false;
    };
}
