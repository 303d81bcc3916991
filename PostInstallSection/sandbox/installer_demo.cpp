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
// In the terminal host the demo then runs the host three more times, unattended whatever the
// mode, each checked like the roads: a fresh road whose choices come from an answers file written
// into the sandbox, --uninstall --unattended removing what the installations placed, and a 2 MiB
// payload onto a 1 MiB tmpfs, which the installer must refuse before copying anything. That mount
// is made only in the demo's private mount namespace; without one the part is skipped, saying
// why. The --gui demo leaves these three out.
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

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

int run(const std::vector<std::string>& args, pid_t* started = nullptr,
        const posix_spawn_file_actions_t* actions = nullptr)
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    int rc = ::posix_spawn(&pid, argv[0], actions, nullptr, argv.data(), environ);
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

// A run of the terminal host whose output the demo reads: stdin from /dev/null, stdout and
// stderr into a new file in the sandbox (never one planted there), read back afterwards.
struct HostRun {
    int status = -1;
    pid_t host = -1;
    std::string output;
    // The lines that start with `text` once their indentation is gone, indented by two spaces.
    // The lines that start with text (anywhere in the line with `anywhere`: the host's own
    // sentences are in the person's language, the paths in them are not).
    std::string lines(const std::string& text, bool anywhere = false) const
    {
        std::istringstream in(output);
        std::string picked;
        for (std::string line; std::getline(in, line);) {
            line.erase(0, std::min(line.find_first_not_of(" \t"), line.size()));
            if (anywhere ? line.find(text) != std::string::npos && line.compare(0, 24, "installer-host: result: ") != 0
                         : line.compare(0, text.size(), text) == 0)
                picked += "  " + line + "\n";
        }
        return picked;
    }
};

HostRun runHost(const OruSandbox& sandbox, OruPrivateLockSpace& lockSpace, std::vector<std::string> args)
{
    args.insert(args.begin(), installedPath(INSTALLER_HOST_PATH));
    args.push_back(installedPath(ORU_BUNDLE_PATH));
    std::string file = sandbox.root() + "/host-output.txt";
    ::unlink(file.c_str());
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, file.c_str(),
                                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    ::posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    HostRun result;
    std::fflush(stdout);
    result.status = run(args, &result.host, &actions);
    ::posix_spawn_file_actions_destroy(&actions);
    lockSpace.notePid(result.host);
    result.output = OruSandbox::readFile(file);
    ::unlink(file.c_str());
    return result;
}

// The names in a folder, "." and ".." left out; "(cannot read)" when it cannot be read.
std::vector<std::string> folderEntries(const std::string& path)
{
    std::vector<std::string> names;
    DIR* dir = ::opendir(path.c_str());
    if (!dir)
        return {"(cannot read: " + std::string(std::strerror(errno)) + ")"};
    while (struct dirent* entry = ::readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    ::closedir(dir);
    return names;
}

// One road whose choices come from an answers file written into the sandbox.
bool showAnswersRoad(const OruSandbox& sandbox, OruPrivateLockSpace& lockSpace, std::vector<pid_t>& hosts)
{
    heading("A road driven by an answers file (--answers)");
    std::string file = sandbox.root() + "/answers.ini";
    std::string text = "[Road]\nChangeFolders=false\n[Authorization]\nAnswer=yes\n[Payload]\nInstall=" +
                       sandbox.payloadEntry() + "=" + sandbox.installedEntry() + "\n";
    if (!OruSandbox::writeFile(file, text)) {
        std::printf("cannot write %s\n", file.c_str());
        return false;
    }
    std::printf("%s:\n%s", file.c_str(), text.c_str());
    // Without the application this is a fresh installation: the file's payload must place it, and
    // ChangeFolders=false must start it to rebuild its database rather than with its settings.
    ::unlink(sandbox.installedEntry().c_str());
    size_t launchesBefore = sandbox.recordedLaunches().size();
    HostRun host = runHost(sandbox, lockSpace, {"--answers", file});
    hosts.push_back(host.host);
    std::vector<std::string> launches = sandbox.waitForLaunches(launchesBefore + 1, 5.0);
    launches.erase(launches.begin(), launches.begin() + static_cast<long>(std::min(launchesBefore, launches.size())));
    reapOrphans();
    std::string result = host.lines("installer-host: result:");
    std::printf("installer-host --answers %s: exit status %d\n%s", file.c_str(), host.status,
                result.empty() ? "  (NO RESULT LINE)\n" : result.c_str());
    std::printf("  payload installed: %s\n  application started with (expected [\"reconstructDatabase\"]):\n",
                exists(sandbox.installedEntry()) ? "yes" : "NO");
    for (const std::string& line : launches)
        std::printf("    %s\n", line.c_str());
    return host.status == 0 && !result.empty() && exists(sandbox.installedEntry()) && launches.size() == 1 &&
           launches[0] == "[\"reconstructDatabase\"] new-session";
}

// Removal of what the installations placed; the payload's folder holds nothing of ours after it.
bool showUninstall(const OruSandbox& sandbox, OruPrivateLockSpace& lockSpace, std::vector<pid_t>& hosts)
{
    heading("Removing what the installations placed (--uninstall --unattended)");
    HostRun host = runHost(sandbox, lockSpace, {"--uninstall", "--unattended"});
    hosts.push_back(host.host);
    std::string result = host.lines("installer-host: result:");
    std::string steps = host.lines(sandbox.root(), true);   // "removed PATH" and "kept PATH: why", translated
    std::printf("installer-host --uninstall --unattended: exit status %d\n%s%s", host.status, steps.c_str(),
                result.empty() ? "  (NO RESULT LINE)\n" : result.c_str());
    std::string folder = sandbox.installedEntry().substr(0, sandbox.installedEntry().rfind('/'));
    std::vector<std::string> left = folderEntries(folder);
    std::printf("%s afterwards:%s\n", folder.c_str(), left.empty() ? " empty" : "");
    for (const std::string& name : left)
        std::printf("  %s\n", name.c_str());
    return host.status == 0 && result.find(" failed=0") != std::string::npos &&
           result.find(" removed=0") == std::string::npos && !exists(sandbox.installedEntry()) &&
           steps.find(sandbox.installedEntry()) != std::string::npos;
}

// A payload larger than its volume (a 1 MiB tmpfs of our own): refused, nothing written. Only
// in a private mount namespace, so the machine never sees the mount.
bool showTooLarge(const OruSandbox& sandbox, OruPrivateLockSpace& lockSpace, std::vector<pid_t>& hosts)
{
    heading("A payload that does not fit its volume");
    if (!lockSpace.isolated()) {
        std::printf("Skipped: no private mount namespace here (%s), and the demo mounts nothing on the "
                    "shared one.\n", lockSpace.note().c_str());
        return true;
    }
    std::string volume = sandbox.root() + "/small-volume", payload = sandbox.root() + "/large-payload";
    if (::mkdir(volume.c_str(), 0755) != 0 ||
        ::mount("oru-small-volume", volume.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m,mode=0755") != 0 ||
        !OruSandbox::writeFile(payload, std::string(2 << 20, 'x'))) {
        std::printf("cannot set up the small volume or the payload: %s\n", std::strerror(errno));
        return false;
    }
    std::printf("Volume: %s (tmpfs, 1 MiB)\nPayload: %s (2 MiB)\n", volume.c_str(), payload.c_str());
    std::string dest = volume + "/large-payload";
    HostRun host = runHost(sandbox, lockSpace,
                           {"--install", payload + "=" + dest, "--actions", "continue", "--authorize", "yes"});
    hosts.push_back(host.host);
    reapOrphans();
    std::string refusal = host.lines(dest + ":", true);   // "refused DEST: why", in the person's language
    std::string result = host.lines("installer-host: result:");
    std::vector<std::string> left = folderEntries(volume);
    std::printf("installer-host --install %s=%s: exit status %d\n%s%s", payload.c_str(), dest.c_str(), host.status,
                refusal.empty() ? "  (NO REFUSAL)\n" : refusal.c_str(), result.c_str());
    std::printf("%s afterwards:%s\n", volume.c_str(), left.empty() ? " empty" : "");
    for (const std::string& name : left)
        std::printf("  %s\n", name.c_str());
    if (::umount2(volume.c_str(), MNT_DETACH) != 0)
        std::printf("cannot unmount %s: %s\n", volume.c_str(), std::strerror(errno));
    return host.status == 8 && !refusal.empty() && result.find(" installation=refused") != std::string::npos &&
           left.empty();
}

// The record the installers kept of the roads: their entries in the systemd journal when it
// runs, else their lines of the plain log file (the host's own choice of place, InstallerJournal.h).
void reportRecord(const std::vector<pid_t>& hosts)
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
        for (pid_t host : hosts)
            if (host > 0)
                args.push_back("_PID=" + std::to_string(host));
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
        for (pid_t host : hosts)
            if (host > 0 && line.find(" installer-host[" + std::to_string(host) + "]: ") != std::string::npos)
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
    std::vector<pid_t> hosts;
    for (const Road& road : roads)
        hosts.push_back(road.host);
    // The answers file, the removal and the refusal: terminal host only, after the roads.
    if (!window) {
        ok = showAnswersRoad(sandbox, lockSpace, hosts) && ok;
        ok = showUninstall(sandbox, lockSpace, hosts) && ok;
        ok = showTooLarge(sandbox, lockSpace, hosts) && ok;
    }
    reportRecord(hosts);
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
