// installer-demo: runs the installer on a sandbox desktop that anyone can use without touching
// their own: a temporary home with XDG folders, a sample target application, and the system
// folders the installer writes to, all under one temporary folder. It runs the fresh-installation
// road, then the update road, and shows what happened: the arguments the application was started
// with, the autostart entry written, and the installer mutex file's life.
//
// On a terminal the person walks each road; otherwise both run unattended (Continue, and the
// authorization granted). With --gui the roads run in the installer's window (installer-host-gtk):
// in the person's session when there is a display, otherwise on a private Xvfb display where the
// demo presses Continue and Allow itself (over AT-SPI, as a person would) and keeps a screenshot
// of every page in a folder it names.
//
// After a real installation the installer lock's semaphore set stays on the system, as the lock
// design wants. The demo is no real installation: it runs in a private mount and IPC namespace of
// its own (OruPrivateLockSpace), where the installer mutex file lies in a private /var/tmp and
// the semaphore set in a private IPC space, so both vanish with the demo and the machine keeps
// nothing. Where namespaces are refused (not root), it says so, uses the shared ones and removes
// afterwards the file and the semaphore sets its runs made.
#include "OruSandbox.h"
#ifdef INSTALLER_DEMO_WITH_GUI
#include "installer_demo_gui.h"
#else
class GuiDemo {}; // built without the installer's window: never made
#endif

#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

const char* const kMutexFile = kOruInstallerMutexFile;
using GuiDemoPointer = GuiDemo*; // null: the roads run in the terminal host

bool exists(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

int run(const std::vector<std::string>& args, pid_t* started = nullptr)
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    int rc = ::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
    if (rc != 0) {
        std::fprintf(stderr, "installer-demo: cannot start %s: %s\n", argv[0], std::strerror(rc));
        return -1;
    }
    if (started)
        *started = pid;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The sample application runs in a session of its own; once the host is gone it is our child
// (we are the subreaper), and we collect it so no zombie stays behind.
void reapOrphans()
{
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

// The host, the bundle and the sample application: where the build put them, or, for the
// installed demo, at their places relative to the demo's own folder.
std::string installedPath(const char* path)
{
#ifdef ORU_PATHS_RELATIVE_TO_PROGRAM
    char self[PATH_MAX];
    ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        std::string folder(self, static_cast<size_t>(length));
        return folder.erase(folder.rfind('/') + 1) + path;
    }
#endif
    return path;
}

bool which(const char* program)
{
    return ::access((std::string("/usr/bin/") + program).c_str(), X_OK) == 0 ||
           ::access((std::string("/bin/") + program).c_str(), X_OK) == 0;
}

void heading(const char* text)
{
    std::printf("\n==== %s ====\n", text);
    std::fflush(stdout);
}

struct DemoOptions {
    bool keep = false;
    int interactive = -1; // -1: when both ends are a terminal
    bool gui = false;
    std::string screenshots;
};

// Reads the command line; -1 to go on, else the status to end with (usage and --version printed).
int readOptions(int argc, char** argv, DemoOptions& options)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--keep") {
            options.keep = true;
        } else if (a == "--gui") {
            options.gui = true;
        } else if (a == "--screenshots" && i + 1 < argc) {
            options.screenshots = argv[++i];
        } else if (a == "--interactive") {
            options.interactive = 1;
        } else if (a == "--unattended") {
            options.interactive = 0;
        } else if (a == "--version") {
            std::printf("installer-demo %s\n", XP_PROJECT_VERSION);
            return 0;
        } else {
            std::printf("Usage: installer-demo [--keep] [--interactive | --unattended] [--gui [--screenshots DIR]]\n"
                        "       installer-demo --version\n"
                        "Runs the installer's fresh-installation and update roads on a sandbox desktop in a\n"
                        "temporary folder, in a private mount and IPC namespace, and shows what the plug-in\n"
                        "did. --keep leaves the sandbox folder in place. --gui runs the roads in the\n"
                        "installer's window: on your display, or without one on a private Xvfb display, where\n"
                        "the demo drives the window itself and saves a screenshot of every page (into DIR, else\n"
                        "a new temporary folder; it is printed). With XP_DESKTOP_BACKEND=wayland that private\n"
                        "display is a headless weston, and the window uses GTK's Wayland backend.\n");
            return a == "-h" || a == "--help" ? 0 : 2;
        }
    }
    if (options.interactive == -1)
        options.interactive = ::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO);
    return -1;
}

void describeSandbox(const OruSandbox& sandbox, const OruPrivateLockSpace& lockSpace, const DemoOptions& options)
{
    heading("Sandbox");
    std::printf("Folder:               %s\n", sandbox.root().c_str());
    std::printf("Home:                 %s (Pictures, Videos, Documents; no Music yet)\n", sandbox.home().c_str());
    std::printf("Package payload:      %s\n", sandbox.payloadEntry().c_str());
    std::printf("Installed as:         %s\n", sandbox.installedEntry().c_str());
    std::printf("System autostart:     %s\n", (sandbox.systemConfigDir() + "/autostart").c_str());
    std::printf("Sample app records:   %s\n", sandbox.recordFile().c_str());
    std::printf("Installer mutex file: %s (%s now)\n", kMutexFile, exists(kMutexFile) ? "present" : "absent");
    std::printf("Lock space:           %s\n", lockSpace.isolated()
                    ? "private (own /var/tmp and IPC namespace; nothing stays on this machine)"
                    : ("SHARED: " + lockSpace.note()).c_str());
    std::printf("Mode:                 %s%s\n",
                options.interactive ? "interactive" : "unattended (Continue, authorization granted)",
                options.gui ? (options.interactive ? ", in the installer's window"
                                                   : ", in the installer's window on a private display")
                            : "");
}

struct Road {
    Road(const char* n, const char* s, const char* e) : name(n), shortName(s), expected(e) {}
    const char* name;
    const char* shortName;
    const char* expected; // the arguments the application should be started with
    size_t launchesBefore = 0;
    int status = 0;
    std::vector<std::string> launches;
    bool mutexAfter = false;
    pid_t host = -1; // the installer's process, whose entries the record holds
};

// Runs one road in the terminal host, or in the window when one is given; notes what it did.
void runRoad(Road& road, OruSandbox& sandbox, OruPrivateLockSpace& lockSpace, bool interactive, GuiDemoPointer window)
{
    heading(road.name);
    road.launchesBefore = sandbox.recordedLaunches().size();
    std::vector<std::string> args{installedPath(INSTALLER_HOST_PATH), "--install",
                                  sandbox.payloadEntry() + "=" + sandbox.installedEntry()};
    if (interactive)
        args.push_back("--interactive");
    else
        args.insert(args.end(), {"--actions", "continue", "--authorize", "yes"});
    args.push_back(installedPath(ORU_BUNDLE_PATH));
    pid_t host = -1;
#ifdef INSTALLER_DEMO_WITH_GUI
    if (window)
        road.status = window->runRoad({args[1], args[2], args.back()}, road.shortName, &host);
    else
#else
    (void)window;
#endif
        road.status = run(args, &host);
    lockSpace.notePid(host);
    road.host = host;
    road.launches = sandbox.waitForLaunches(road.launchesBefore + 1, interactive ? 2.0 : 5.0);
    road.launches.erase(road.launches.begin(), road.launches.begin() + static_cast<long>(road.launchesBefore));
    reapOrphans();
    road.mutexAfter = exists(kMutexFile);
}

// What each road did; false when an unattended road did not start the application as expected.
bool reportRoads(const std::vector<Road>& roads, bool interactive)
{
    heading("What happened");
    bool ok = true;
    for (const Road& road : roads) {
        std::printf("%s\n", road.name);
        std::printf("  installer-host exit status: %d\n", road.status);
        std::printf("  application started with (expected %s):\n", road.expected);
        if (road.launches.empty())
            std::printf("    (not started)\n");
        for (const std::string& line : road.launches)
            std::printf("    %s\n", line.c_str());
        std::printf("  installer mutex file after the run: %s\n", road.mutexAfter ? "STILL PRESENT" : "removed");
        ok = ok && road.status == 0 && !road.mutexAfter;
    }
    if (!interactive) {
        ok = ok && roads[0].launches.size() == 1 && roads[0].launches[0] == "[\"reconstructDatabase\"] new-session";
        ok = ok && roads[1].launches.size() == 1 && roads[1].launches[0] == "[] new-session";
    }
    return ok;
}

// The autostart entry the roads left, and whether it validates; false when it is missing
// although an unattended road granted the authorization, or when it does not validate.
bool reportAutostart(const OruSandbox& sandbox, bool interactive)
{
    std::printf("\nAutostart entry for all users (%s):\n", sandbox.autostartEntry().c_str());
    if (!exists(sandbox.autostartEntry())) {
        std::printf("  (none: the authorization was refused or the application was missing)\n");
        return interactive;
    }
    std::string text = OruSandbox::readFile(sandbox.autostartEntry());
    std::printf("%s", text.c_str());
    if (!which("desktop-file-validate"))
        return true;
    std::fflush(stdout);
    int rc = run({"/usr/bin/desktop-file-validate", sandbox.autostartEntry()});
    std::printf("  desktop-file-validate: %s\n", rc == 0 ? "valid" : "REPORTED PROBLEMS");
    return rc == 0;
}

// The record the installers kept of the roads: their entries in the systemd journal when it
// runs, else their lines of the plain log file (the host's own choice of place, InstallerJournal.h).
void reportRecord(const std::vector<Road>& roads)
{
    heading("The record of the runs");
    std::fflush(stdout);
    const char* setting = std::getenv("INSTALLER_HOST_RECORD");
    if (setting && std::strcmp(setting, "off") == 0) {
        std::printf("(not recorded: INSTALLER_HOST_RECORD=off)\n");
        return;
    }
    if (::access("/run/systemd/journal/socket", F_OK) == 0 && which("journalctl")) {
        const char* journalctl = ::access("/usr/bin/journalctl", X_OK) == 0 ? "/usr/bin/journalctl" : "/bin/journalctl";
        std::vector<std::string> args{journalctl, "--no-pager", "-o", "short", "-t", "installer-host"};
        for (const Road& road : roads)
            if (road.host > 0)
                args.push_back("_PID=" + std::to_string(road.host));
        run(args);
        return;
    }
    std::string log = "/var/log/installer-host.log";
    if (::geteuid() != 0) {
        const char* state = std::getenv("XDG_STATE_HOME");
        const char* home = std::getenv("HOME");
        log = (state && *state ? std::string(state) : std::string(home ? home : "") + "/.local/state") + "/installer-host/log";
    }
    std::printf("(no journal runs here: %s)\n", log.c_str());
    std::istringstream lines(OruSandbox::readFile(log));
    for (std::string line; std::getline(lines, line);)
        for (const Road& road : roads)
            if (road.host > 0 && line.find(" installer-host[" + std::to_string(road.host) + "]: ") != std::string::npos)
                std::printf("%s\n", line.c_str());
}

} // namespace

int main(int argc, char** argv)
{
    DemoOptions options;
    int usageStatus = readOptions(argc, argv, options);
    if (usageStatus >= 0)
        return usageStatus;
    std::string error;
    OruSandbox sandbox(installedPath(ORU_SAMPLE_APP_PATH), {"Music"}, &error);
    if (sandbox.root().empty() || !error.empty()) {
        std::fprintf(stderr, "installer-demo: %s\n", error.c_str());
        return 1;
    }
    if (options.keep)
        sandbox.keep();
    sandbox.applyToProcess();
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    OruPrivateLockSpace lockSpace;
    // The window's driver starts threads, so it comes after the namespaces.
    std::unique_ptr<GuiDemo> window;
#ifdef INSTALLER_DEMO_WITH_GUI
    if (options.gui) {
        window = std::make_unique<GuiDemo>(installedPath(INSTALLER_HOST_GTK_PATH));
        if (!options.screenshots.empty())
            window->setScreenshotFolder(options.screenshots);
        if (!window->start(&error)) {
            std::fprintf(stderr, "installer-demo: the installer's window cannot be shown: %s\n", error.c_str());
            return 1;
        }
        options.interactive = !window->headless();
    }
#else
    if (options.gui) {
        std::fprintf(stderr, "installer-demo: built without the installer's window (XP_BUILD_GTK_HOST=OFF)\n");
        return 2;
    }
#endif
    describeSandbox(sandbox, lockSpace, options);
    std::vector<Road> roads{
        {"Fresh installation (the application was not there when the installer started)", "fresh",
         "[\"reconstructDatabase\"] or [\"showSettings\"]"},
        {"Update (the application was already installed)", "update", "[] (no arguments)"}};
    for (Road& road : roads)
        runRoad(road, sandbox, lockSpace, options.interactive, window.get());
    bool ok = reportRoads(roads, options.interactive);
    ok = reportAutostart(sandbox, options.interactive) && ok;
    reportRecord(roads);
    std::printf("\nDefault folders the settings pane showed were created where missing: Music %s\n",
                exists(sandbox.home() + "/Music") ? "now exists" : "still missing");
    std::printf("%s\n", options.keep ? ("Sandbox kept at " + sandbox.root()).c_str() : "Sandbox removed.");
#ifdef INSTALLER_DEMO_WITH_GUI
    if (window && window->headless()) {
        std::printf("Screenshots of every page: %s%s\n", window->screenshotFolder().c_str(),
                    window->screenshotFailed() ? " (SOME COULD NOT BE TAKEN)" : "");
        ok = ok && !window->screenshotFailed();
    }
#endif
    std::printf("\ninstaller-demo: %s\n", ok ? "both roads behaved as expected" : "SOMETHING DID NOT GO AS EXPECTED");
    return ok ? 0 : 1;
}
