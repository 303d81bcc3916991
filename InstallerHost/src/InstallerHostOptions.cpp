// The command line and start-up shared by installer-host and installer-host-gtk.
#include <InstallerHostOptions.h>
#include <InstallerPolkit.h>

#include "InstallerTexts.h"

#include <fcntl.h>
#include <libintl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

std::vector<std::string> InstallerSplitList(const std::string& text)
{
    std::vector<std::string> items;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        if (!item.empty())
            items.push_back(item);
    return items;
}

bool InstallerParseHostOptions(int argc, char** argv, InstallerHostOptions& options, std::string& error,
                               const InstallerHostOptionHandler& ownOption)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::function<bool(std::string&)> value = [&](std::string& out) {
            if (i + 1 >= argc) {
                error = InstallerText("%s needs a value", arg);
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            return true;
        } else if (arg == "--version") {
            options.version = true;
            return true;
        } else if (arg == "--modifiers") {
            if (!value(v))
                return false;
            options.modifiersGiven = true;
            for (const std::string& m : InstallerSplitList(v)) {
                if (m == "command") options.modifiers |= kInstallerCommandKeyMask;
                else if (m == "shift") options.modifiers |= kInstallerShiftKeyMask;
                else if (m == "control") options.modifiers |= kInstallerControlKeyMask;
                else if (m == "option") options.modifiers |= kInstallerOptionKeyMask;
                else if (m == "capslock") options.modifiers |= kInstallerCapsLockKeyMask;
                else if (m != "none") {
                    error = InstallerText("unknown modifier \"%s\"", m);
                    return false;
                }
            }
        } else if (arg == "--authorize") {
            if (!value(v))
                return false;
            if (v != "yes" && v != "no" && v != "ask" && v != "polkit") {
                error = ::dgettext("installer-host", "--authorize takes polkit, yes, no or ask");
                return false;
            }
            options.authorize = v;
            options.authorizeGiven = true;
        } else if (arg == "--uninstall") {
            options.uninstall = true;
        } else if (arg == "--answers") {
            if (!value(v))
                return false;
            if (!options.answers.path.empty()) {
                error = ::dgettext("installer-host", "--answers given twice");
                return false;
            }
            if (!InstallerReadAnswers(v, options.answers, error))
                return false;
        } else if (arg == "--install") {
            if (!value(v))
                return false;
            size_t eq = v.find('=');
            if (eq == std::string::npos || eq == 0 || eq + 1 == v.size()) {
                error = ::dgettext("installer-host", "--install takes SRC=DEST");
                return false;
            }
            options.payload.emplace_back(v.substr(0, eq), v.substr(eq + 1));
        } else if (arg == "--privileged-helper") {
            if (!value(options.helper))
                return false;
            if (options.helper.empty() || options.helper[0] != '/') {
                error = ::dgettext("installer-host", "--privileged-helper takes an absolute path");
                return false;
            }
        } else if (!arg.empty() && arg[0] == '-') {
            InstallerHostOption own = ownOption ? ownOption(arg, value, error) : InstallerHostOption::Unknown;
            if (own == InstallerHostOption::Wrong)
                return false;
            if (own == InstallerHostOption::Unknown) {
                error = InstallerText("unknown option %s", arg);
                return false;
            }
        } else if (options.bundle.empty()) {
            options.bundle = arg;
        } else {
            error = ::dgettext("installer-host", "more than one bundle given");
            return false;
        }
    }
    if (options.bundle.empty()) {
        error = ::dgettext("installer-host", "no bundle given");
        return false;
    }
    // One place for each choice: the command line and the answers file do not overrule each other.
    if (!options.answers.authorize.empty()) {
        if (options.authorizeGiven) {
            error = ::dgettext("installer-host", "--authorize and the answers file's Answer both given");
            return false;
        }
        options.authorize = options.answers.authorize;
    }
    options.payload.insert(options.payload.end(), options.answers.payload.begin(), options.answers.payload.end());
    // A removal takes what to remove from the installation's record, nothing from the command line.
    if (options.uninstall && (!options.payload.empty() || !options.answers.path.empty())) {
        error = ::dgettext("installer-host", "--uninstall takes no payload and no answers file");
        return false;
    }
    return true;
}

int InstallerReadHostCommandLine(int argc, char** argv, const char* program, const char* usage,
                                 InstallerHostOptions& options, const InstallerHostOptionHandler& ownOption)
{
    std::string error;
    if (!InstallerParseHostOptions(argc, argv, options, error, ownOption)) {
        std::fprintf(stderr, "%s: %s\n\n%s", program, error.c_str(), usage);
        return 2;
    }
    if (options.help) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (options.version) {
        std::printf("%s %s\n", program, INSTALLER_VERSION);
        return 0;
    }
    return -1;
}

namespace {

int g_wakePipe[2] = {-1, -1};

void onSignal(int sig)
{
    InstallerRequestInterrupt(sig);
    int savedErrno = errno;
    if (g_wakePipe[1] >= 0) {
        ssize_t written = ::write(g_wakePipe[1], "s", 1);
        (void)written; // a full pipe already holds a wake-up
    }
    errno = savedErrno;
}

} // namespace

int InstallerInstallHostSignalHandlers(bool restartCalls)
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = restartCalls ? SA_RESTART : 0;
    if (::pipe2(g_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        g_wakePipe[0] = g_wakePipe[1] = -1; // then only the EINTR of the wait itself wakes it
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return g_wakePipe[0];
}

void InstallerBindHostTexts(const char* domain)
{
    char self[PATH_MAX];
    ssize_t selfLength = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (selfLength <= 0)
        return;
    std::string folder(self, static_cast<size_t>(selfLength));
    folder.erase(folder.rfind('/'));
    std::string catalogs = folder + "/locale";
    struct stat st;
    if (::stat(catalogs.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        catalogs = folder + "/" INSTALLER_HOST_LOCALEDIR_FROM_BIN;
    ::bindtextdomain(domain, catalogs.c_str());
    ::bind_textdomain_codeset(domain, "UTF-8");
}

void InstallerUsePrivilegedHelper(const std::string& path)
{
    std::string helper = path;
#ifdef INSTALLER_DEFAULT_PRIVILEGED_HELPER
    if (helper.empty() && ::access(INSTALLER_DEFAULT_PRIVILEGED_HELPER, X_OK) == 0)
        helper = INSTALLER_DEFAULT_PRIVILEGED_HELPER;
#endif
    InstallerSetPrivilegedHelper(helper);
}
