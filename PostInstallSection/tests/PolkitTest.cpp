// The login item through polkit with the real service: in the test's own mount namespace, a
// private system bus (a tmpfs over /run/dbus and dbus-daemon on it), Debian's polkitd with the
// build tree's policy bound over its actions folder and JavaScript rules of the test's own, and
// the helper's configuration laid over (overlayfs) where it reads it. installer-host runs as
// nobody on a sandbox whose system folders are root's; pkexec (setuid) starts the helper.
//
// polkit asks logind about the caller's session; this machine has none, so the rules answer for
// the user whatever the session: what is tested is polkit's answer, pkexec's start of the helper
// and what the helper and the host do with it, not the desktop agent's dialog or the password.
// ctest-resource-lock: installer-mutex
#include "HostProcess.h"
#ifdef INSTALLER_HOST_GTK_PATH
#include <GtkHostDriver.h>
#endif
#include "MutexTestSupport.h"

#include <InstallerDisplayText.h>

#include <gtest/gtest.h>

#include <pwd.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>

namespace {

using Lines = std::vector<std::string>;

const char* const kAction = "com.ombrix.installer.global-login-items";
const char* const kBusSocket = "/run/dbus/system_bus_socket";

// A rule answering `result` ("YES", "NO", "AUTH_ADMIN") for the installer's actions asked by nobody.
std::string ruleFor(const char* result)
{
    return std::string("polkit.addRule(function(action, subject) {\n"
                       "  if (action.id.indexOf(\"com.ombrix.installer.\") == 0 && subject.user == \"nobody\")\n"
                       "    return polkit.Result.") + result + ";\n});\n";
}

// Runs argv as root or as nobody with exactly `env` (and LANGUAGE=en; the test's own environment
// when empty), dying with the test; returns its exit status, and its output in `output`.
int runProgram(const Lines& argv, const Lines& env, bool asNobody, std::string* output = nullptr)
{
    Host program; // reads to the end of its output, then reaps it (killed if it will not end)
    program.program = argv[0];
    program.onlyEnv = !env.empty();
    const struct passwd* nobody = ::getpwnam("nobody");
    if (asNobody && nobody)
        program.runAsUid = nobody->pw_uid, program.runAsGid = nobody->pw_gid;
    program.start(Lines(argv.begin() + 1, argv.end()), env);
    int status = program.finish(60);
    if (output)
        *output = program.output;
    return status;
}

// Kills whatever is still this process's child (its own, or adopted as subreaper: what a killed
// host left running, such as its text agent), so that nothing the test started outlives it.
void killRemainingChildren()
{
    const std::string self = std::to_string(::getpid());
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string stat = OruSandbox::readFile(entry.path().string() + "/stat");
        size_t close = stat.rfind(')');
        std::istringstream fields(close == std::string::npos ? std::string() : stat.substr(close + 2));
        std::string state, parent;
        if (fields >> state >> parent && parent == self)
            ::kill(std::stoi(name), SIGKILL);
    }
}

class PolkitTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        ASSERT_TRUE(space_.isolated()) << space_.note() << ": the polkit tests need a mount namespace of their own";
        for (const char* tool : {"/usr/lib/polkit-1/polkitd", "/usr/bin/dbus-daemon", "/usr/bin/pkcheck", "/usr/bin/pkexec"})
            ASSERT_EQ(::access(tool, X_OK), 0) << tool << ": install polkitd, pkexec and dbus (scripts/deps.sh)";
        struct stat st;
        ASSERT_TRUE(::stat("/usr/bin/pkexec", &st) == 0 && (st.st_mode & S_ISUID) && st.st_uid == 0)
            << "pkexec must be setuid root";
        nobody_ = ::getpwnam("nobody");
        ASSERT_TRUE(nobody_);

        std::string error;
        sandbox_ = std::make_unique<OruSandbox>(ORU_SAMPLE_APP_PATH, Lines{}, &error);
        ASSERT_TRUE(error.empty()) << error;
        sandbox_->applyToProcess();
        // The person's home and the sample application's record are nobody's; the system
        // folders (usr/, etc/) stay root's, as on a real machine.
        ASSERT_EQ(::chmod(sandbox_->root().c_str(), 0755), 0);
        for (const std::string& mine : {sandbox_->home(), sandbox_->root() + "/Ombrix Sample"}) {
            ASSERT_EQ(::lchown(mine.c_str(), nobody_->pw_uid, nobody_->pw_gid), 0);
            for (const auto& item : std::filesystem::recursive_directory_iterator(mine))
                ASSERT_EQ(::lchown(item.path().c_str(), nobody_->pw_uid, nobody_->pw_gid), 0);
        }
        ASSERT_TRUE(sandbox_->installTargetApp());

        // Everything the test mounts lies on this tmpfs or over system folders, in this namespace.
        state_ = sandbox_->root() + "/polkit";
        std::filesystem::create_directories(state_);
        mount("polkit-test", state_, "tmpfs", "mode=0755,size=4m");
        for (const char* dir : {"/rules", "/upper", "/work"})
            std::filesystem::create_directories(state_ + dir);
        // The helper's configuration: its folder laid over with overlayfs, so that the file can
        // appear there without touching the machine's own.
        const std::string configFolder = std::filesystem::path(ORU_HELPER_CONFIG).parent_path().parent_path().string();
        mount("overlay", configFolder, "overlay",
              "lowerdir=" + configFolder + ",upperdir=" + state_ + "/upper,workdir=" + state_ + "/work");
        writeConfig("[Privileged Helper]\nAutostartDirectory=" + autostartFolder() + "\nDataDirectories=" +
                    sandbox_->systemDataDir() + "\n");
        // No system bus unless a test starts one.
        mount("polkit-test-bus", "/run/dbus", "tmpfs", "mode=0755,size=1m");
    }

    void TearDown() override
    {
        polkitd_.stop(SIGTERM);
        bus_.stop(SIGTERM);
        killRemainingChildren();
        reapChildren();
        for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it)
            ::umount2(it->c_str(), MNT_DETACH);
    }

    void mount(const std::string& source, const std::string& target, const char* type, const std::string& options,
               unsigned long flags = MS_NOSUID | MS_NODEV)
    {
        ASSERT_EQ(::mount(source.c_str(), target.c_str(), type, flags, options.c_str()), 0)
            << source << " on " << target << ": " << std::strerror(errno);
        mounts_.push_back(target);
    }
    void bind(const std::string& source, const std::string& target) { mount(source, target, nullptr, "", MS_BIND); }

    std::string autostartFolder() const { return sandbox_->systemConfigDir() + "/autostart"; }
    void writeConfig(const std::string& text)
    {
        ASSERT_TRUE(OruSandbox::writeFile(ORU_HELPER_CONFIG, text));
        ASSERT_EQ(::chmod(ORU_HELPER_CONFIG, 0644), 0);
    }

    // The private system bus and polkitd on it, answering by `rules`.
    void startPolkit(const std::string& rules)
    {
        ASSERT_TRUE(OruSandbox::writeFile(state_ + "/rules/50-test.rules", rules));
        bind(state_ + "/rules", "/etc/polkit-1/rules.d");
        bind(ORU_POLICY_DIR, "/usr/share/polkit-1/actions");
        // A bus configuration of the test's own, not the machine's: it names no service folder, so
        // nothing is started on demand and only the daemons this test starts answer on the bus.
        ASSERT_TRUE(OruSandbox::writeFile(state_ + "/bus.conf", R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN" "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=/run/dbus/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
  </policy>
  <includedir>/usr/share/dbus-1/system.d</includedir>
</busconfig>
)"));
        bus_.program = "/usr/bin/dbus-daemon";
        bus_.discardOutput = true;
        bus_.start({"--config-file=" + state_ + "/bus.conf", "--nofork", "--nopidfile"});
        for (int i = 0; i < 100 && !exists(kBusSocket); ++i)
            ::usleep(20 * 1000);
        ASSERT_TRUE(exists(kBusSocket)) << "dbus-daemon did not listen";
        // polkitd says when it owns its name; it changes to its own user itself. Its later messages
        // go nowhere: the pipe is closed once that is read.
        polkitd_.program = "/usr/lib/polkit-1/polkitd";
        polkitd_.start({});
        ASSERT_TRUE(polkitd_.readUntil("Acquired the name org.freedesktop.PolicyKit1", 1, 10)) << polkitd_.output;
        ::close(polkitd_.out);
        polkitd_.out = -1;
    }

    void runByNobody(Host& host) { host.runAsUid = nobody_->pw_uid; host.runAsGid = nobody_->pw_gid; }
    // installer-host as nobody or as root, Continue on every page; `launch`: the road is expected
    // to start the application.
    std::string runHost(bool asNobody, Lines options = {}, bool launch = true)
    {
        Host host;
        if (asNobody)
            runByNobody(host);
        options.insert(options.end(), {"--privileged-helper", ORU_HELPER_PATH, "--actions", "continue", ORU_BUNDLE_PATH});
        host.start(options, {"SHELL=/bin/sh"});
        space_.notePid(host.pid);
        EXPECT_EQ(host.finish(), 0) << host.output;
        // The application it started is ours to collect (subreaper), but so are the daemons:
        // wait for its record instead, and collect only what has ended.
        if (launch)
            sandbox_->waitForLaunches(++launches_, 5.0);
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        return host.output;
    }

    // Expects the helper run directly on `arguments` to end with `status`, saying `says` on its
    // stderr. It runs as pkexec would run it (root, PKEXEC_UID naming nobody) unless `env` is given.
    void expectHelper(const Lines& arguments, int status, const std::string& says = "", Lines env = {}, bool asNobody = false)
    {
        Lines argv{ORU_HELPER_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        if (env.empty())
            env = {"PKEXEC_UID=" + std::to_string(nobody_->pw_uid), "PATH=/usr/bin:/bin"};
        std::string errors;
        EXPECT_EQ(runProgram(argv, env, asNobody, &errors), status)
            << (arguments.empty() ? "" : arguments.back()) << " " << env[0] << "\n" << errors;
        expectHas(errors, {says});
    }

    void expectValidRootEntry()
    {
        struct stat st;
        ASSERT_EQ(::lstat(sandbox_->autostartEntry().c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_uid == 0 && st.st_gid == 0 && (st.st_mode & 07777) == 0644) << std::oct << st.st_mode;
        expectHas(OruSandbox::readFile(sandbox_->autostartEntry()), {"Name=Ombrix\nExec=" + sandbox_->execLine() + "\n"});
        EXPECT_TRUE(validDesktopEntry(sandbox_->autostartEntry()));
    }

    OruPrivateLockSpace space_;
    std::unique_ptr<OruSandbox> sandbox_;
    const struct passwd* nobody_ = nullptr;
    std::string state_;
    Lines mounts_;
    Host bus_, polkitd_;
    size_t launches_ = 0;
};

TEST_F(PolkitTest, APersonGrantedByPolkitInstallsAndGetsTheLoginItemThroughTheHelperRefusedNeitherRootIsNotAsked)
{
    // A fresh road: the payload goes to the system's applications folder, which is root's.
    const Lines install{"--install", sandbox_->payloadEntry() + "=" + sandbox_->installedEntry()};
    ASSERT_EQ(::unlink(sandbox_->installedEntry().c_str()), 0);
    startPolkit(ruleFor("YES"));
    // The policy as polkit serves it. (Its German texts would need a German locale installed,
    // which this machine lacks: polkit picks the texts by the caller's locale.)
    std::string listed;
    EXPECT_EQ(runProgram({"/usr/bin/pkaction", "--verbose", "--action-id", kAction}, {"LANG=C.UTF-8"}, true, &listed), 0);
    expectHas(listed, {"message:           Authentication is required to start Ombrix at login for all users",
                       "implicit inactive: auth_admin\n  implicit active:   auth_admin_keep"});
    std::string output = runHost(true, install);
    expectHas(output, {"installed " + sandbox_->installedEntry() + " (privileged helper)",
                       "login-item=\"added " + sandbox_->autostartEntry() + " (privileged helper)\""});
    struct stat st;
    EXPECT_TRUE(::stat(sandbox_->installedEntry().c_str(), &st) == 0 && st.st_uid == 0 && (st.st_mode & 07777) == 0644);
    EXPECT_EQ(OruSandbox::readFile(sandbox_->installedEntry()), OruSandbox::readFile(sandbox_->payloadEntry()));
    expectValidRootEntry();
    EXPECT_EQ(sandbox_->recordedLaunches(), Lines{"[\"reconstructDatabase\"] new-session"});
    // The application runs as the person who ran the installer.
    EXPECT_TRUE(::stat(sandbox_->recordFile().c_str(), &st) == 0 && st.st_uid == nobody_->pw_uid);
    // pkexec lets the helper's own refusal through: an argument it does not expect.
    std::string errors;
    EXPECT_EQ(runProgram({"/usr/bin/pkexec", ORU_HELPER_PATH, "login-item", "everything"},
                         {"SHELL=/bin/sh", "PATH=/usr/bin:/bin"}, true, &errors), 2) << errors;
    expectHas(errors, {"oru-privileged-helper: usage:"});

    polkitd_.stop(SIGTERM);
    bus_.stop(SIGTERM);
    for (const std::string& made : {sandbox_->autostartEntry(), sandbox_->installedEntry()})
        ASSERT_EQ(::unlink(made.c_str()), 0);
    ::unlink(kBusSocket); // should the bus have left it
    startPolkit(ruleFor("NO"));
    output = runHost(true, install, false);
    expectHas(output, {"failed " + sandbox_->installedEntry() + ": refused: the right to install for all users was not granted",
                       "installer-host: polkit refused com.ombrix.installer.global-login-items: not authorized",
                       "login-item=refused"});
    EXPECT_FALSE(exists(sandbox_->installedEntry()) || exists(sandbox_->autostartEntry()));
    // pkexec asked directly is refused the same way: the helper never runs.
    EXPECT_EQ(runProgram({"/usr/bin/pkexec", ORU_HELPER_PATH, "login-item", "add"}, {"SHELL=/bin/sh"}, true, &errors), 127);
    expectHas(errors, {"Not authorized"});
    EXPECT_FALSE(exists(sandbox_->autostartEntry()));

    // Root is granted by polkit without a question, even against the rule, and does both itself.
    output = runHost(false, install);
    expectHas(output, {"installed " + sandbox_->installedEntry() + "\n",
                       "login-item=\"added " + sandbox_->autostartEntry() + "\""});
    EXPECT_EQ(output.find("Answer"), std::string::npos) << output; // nobody was asked
    expectValidRootEntry();
}

TEST_F(PolkitTest, APasswordWantedIsARefusalUnattendedAndOnATerminalTheHostsOwnTextAgentAsksForIt)
{
    // An administrator's password is wanted (AUTH_ADMIN). Unattended (scripted answers, no
    // terminal) the host registers no agent, so polkit has nobody to ask.
    startPolkit(ruleFor("AUTH_ADMIN"));
    expectHas(runHost(true), {"polkit refused com.ombrix.installer.global-login-items: authentication needed, but nobody could be asked",
                              "login-item=refused"});
    // On a terminal pkttyagent, registered by the host for itself, asks there with the policy's
    // message; a wrong answer refuses.
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master) | ::unlockpt(master), 0);
    const std::string terminal = ::ptsname(master);
    pid_t pid = ::fork();
    if (pid == 0) {
        // A session of its own whose controlling terminal is the pseudo-terminal, opened while
        // still root (it is root's), then nobody.
        int slave = ::setsid() < 0 ? -1 : ::open(terminal.c_str(), O_RDWR);
        if (slave < 0 || ::dup2(slave, 0) < 0 || ::dup2(slave, 1) < 0 || ::dup2(slave, 2) < 0)
            ::_exit(125);
        execChild({INSTALLER_HOST_PATH, "--privileged-helper", ORU_HELPER_PATH, ORU_BUNDLE_PATH},
                  {"LANGUAGE=en", "SHELL=/bin/sh"}, nobody_->pw_uid, nobody_->pw_gid);
    }
    Host host; // talks through the terminal; killed and reaped whatever happens below
    host.pid = pid;
    host.out = master;
    host.in = ::dup(master);
    space_.notePid(pid);
    const std::string& seen = host.output;
    ASSERT_TRUE(host.readUntil("choice> ", 1)) << seen; // the installation page
    host.send("c\n");
    ASSERT_TRUE(host.readUntil("choice> ", 2)) << seen; // the launch pane
    host.send("c\n");
    ASSERT_TRUE(host.readUntil("Password: ", 1)) << seen;
    // The agent turns echo off, flushing the input, after its prompt: answer only then.
    struct termios mode;
    for (int i = 0; i < 500 && ::tcgetattr(master, &mode) == 0 && (mode.c_lflag & ECHO); ++i)
        ::usleep(10 * 1000);
    ASSERT_FALSE(mode.c_lflag & ECHO) << "the agent never turned echo off";
    expectHas(seen, {"AUTHENTICATING FOR com.ombrix.installer.global-login-items",
                     "Authentication is required to start Ombrix at login for all users"});
    host.send("certainly-not-the-password\n");
    ASSERT_TRUE(host.readUntil("choice> ", 3)) << seen; // the summary, after the refusal
    host.send("c\n");
    ASSERT_TRUE(host.readUntil("installer-host: result:", 1)) << seen;
    host.readUntil("\n", seen.size()); // the rest of the line
    expectHas(seen, {"Denied.", "login-item=refused"});
    EXPECT_FALSE(exists(sandbox_->autostartEntry()));
}

TEST_F(PolkitTest, WithoutAPolkitDaemonPkexecOrPkcheckTheHostSaysWhatIsMissingRootAsksItselfAndAPersonIsRefused)
{
    expectHas(runHost(true), {"installer-host: no polkit daemon answers here", "without it only root may do this: refused",
                              "login-item=refused"});
    // Root asks itself; unattended, the scripted answer denies as before.
    expectHas(runHost(false), {"the installer asks for itself", "Answer (scripted): deny", "login-item=refused"});
    EXPECT_FALSE(exists(sandbox_->autostartEntry()));
    EXPECT_EQ(sandbox_->recordedLaunches(), Lines(2, "[] new-session"));

    // polkit grants, but pkexec (a package of its own) is missing: the helper cannot be started.
    startPolkit(ruleFor("YES"));
    bind("/dev/null", "/usr/bin/pkexec");
    expectHas(runHost(true), {"pkexec is not installed"});
    EXPECT_FALSE(exists(sandbox_->autostartEntry()));
    // Without pkcheck polkit cannot be asked at all: as without its daemon.
    bind("/dev/null", "/usr/bin/pkcheck");
    expectHas(runHost(true), {"no polkit daemon answers here (polkit is not installed (no /usr/bin/pkcheck)); without it "
                              "only root may do this: refused",
                              "login-item=refused"});
    EXPECT_FALSE(exists(sandbox_->autostartEntry()));
}

TEST_F(PolkitTest, TheHelperRefusesWhatItDoesNotExpectOrTrustAndAnyStartButPkexecsAndFollowsNoPlantedLink)
{
    const Lines bad[] = {{}, {"login-item"}, {"login-item", "add", "extra"}, {"login-item", "ADD"}, {"login-item", "add "},
                         {"login-item", "add\n"}, {"login-item", ""}, {"login-item", "--", "add"}, {"Login-item", "add"},
                         {"--login-item", "add"}, {"install-payloads", "/usr/share/x"}, {"login-item", "../add"},
                         {"login-item", "remove", sandbox_->autostartEntry()}, {"--help"}, {"", ""},
                         {"login-item", std::string(100000, 'a')}, {"login-item", "add", ""}, {"install-payload"},
                         {"install-payload", sandbox_->installedEntry(), "extra"}};
    for (const Lines& arguments : bad)
        expectHelper(arguments, 2, "oru-privileged-helper: usage:");
    // A payload destination must name a file directly in a payload folder.
    const std::string applications = sandbox_->systemDataDir() + "/applications";
    for (const std::string& destination : {std::string("x.desktop"), std::string("/etc/passwd"), applications,
                                           applications + "/", applications + "/../x.desktop", applications + "/./x",
                                           applications + "/.hidden", applications + "/sub/x.desktop",
                                           applications + "//x.desktop", sandbox_->autostartEntry(), std::string()})
        expectHelper({"install-payload", destination}, 8, "is not a file name in a payload folder");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(applications), {}), 1); // the entry of SetUp alone
    EXPECT_FALSE(exists(sandbox_->systemDataDir() + "/x.desktop") || exists(applications + "/sub"));
    // Not through pkexec: root without PKEXEC_UID, a malformed one, or not root at all.
    const std::pair<Lines, bool> starts[] = {{{"PATH=/usr/bin"}, false},    {{"PKEXEC_UID="}, false},
                                             {{"PKEXEC_UID=65534x"}, false}, {{"PKEXEC_UID=-1"}, false},
                                             {{"PKEXEC_UID=0"}, true},       {{"PKEXEC_UID=65534"}, true}};
    for (const auto& start : starts)
        expectHelper({"login-item", "add"}, 3, "refusing to run: not started through pkexec", start.first, start.second);

    const std::string precious = sandbox_->root() + "/precious";
    ASSERT_TRUE(OruSandbox::writeFile(precious, "keep me\n"));
    const std::string temp = autostartFolder() + "/.com.ombrix.Ombrix.desktop.new";
    // A link at the entry: refused and left. A link planted where a fixed temporary name would be:
    // the helper stages its entry without one (unnamed, or under an unguessable hidden name), so
    // the link is neither written through nor used.
    ASSERT_EQ(::symlink(precious.c_str(), sandbox_->autostartEntry().c_str()), 0);
    expectHelper({"login-item", "add"}, 6, sandbox_->autostartEntry() + " is a symbolic link; left as it is");
    expectHelper({"login-item", "remove"}, 6);
    ASSERT_EQ(::unlink(sandbox_->autostartEntry().c_str()), 0);
    ASSERT_EQ(::symlink(precious.c_str(), temp.c_str()), 0);
    expectHelper({"login-item", "add"}, 0);
    expectValidRootEntry();
    EXPECT_TRUE(std::filesystem::is_symlink(temp));
    EXPECT_EQ(OruSandbox::readFile(precious), "keep me\n");
    ASSERT_EQ(::unlink(temp.c_str()), 0);
    expectHelper({"login-item", "remove"}, 0);
    EXPECT_FALSE(exists(sandbox_->autostartEntry()));
    // The same at a payload's destination.
    ASSERT_EQ(::unlink(sandbox_->installedEntry().c_str()), 0);
    ASSERT_EQ(::symlink(precious.c_str(), sandbox_->installedEntry().c_str()), 0);
    expectHelper({"install-payload", sandbox_->installedEntry()}, 6, "is a symbolic link; left as it is");
    ASSERT_EQ(::unlink(sandbox_->installedEntry().c_str()), 0);
    ASSERT_TRUE(sandbox_->installTargetApp());

    // Folders and a configuration it cannot trust, and an entry the plug-in would not write either.
    const std::string moved = sandbox_->systemConfigDir() + "/real-autostart";
    std::filesystem::rename(autostartFolder(), moved);
    ASSERT_EQ(::symlink(moved.c_str(), autostartFolder().c_str()), 0);
    expectHelper({"login-item", "add"}, 6, "not followed");
    ASSERT_EQ(::unlink(autostartFolder().c_str()), 0);
    std::filesystem::rename(moved, autostartFolder());
    ASSERT_EQ(::chmod(autostartFolder().c_str(), 0777), 0);
    expectHelper({"login-item", "add"}, 6, "others may write it");
    ASSERT_EQ(::chmod(autostartFolder().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(ORU_HELPER_CONFIG, 0666), 0);
    expectHelper({"login-item", "add"}, 4);
    writeConfig("AutostartDirectory=" + autostartFolder() + "\nDataDirectories=" + sandbox_->systemDataDir() + ":../x\n");
    expectHelper({"login-item", "add"}, 4);
    writeConfig("AutostartDirectory=" + autostartFolder() + "\nDataDirectories=" + sandbox_->systemDataDir() + "\n");
    ASSERT_TRUE(OruSandbox::writeFile(sandbox_->installedEntry(), "[Desktop Entry]\nType=Application\nExec=ombrix > /tmp/x\n"));
    expectHelper({"login-item", "add"}, 5, "reserved character '>'");
    EXPECT_FALSE(exists(sandbox_->autostartEntry()));
    EXPECT_EQ(OruSandbox::readFile(precious), "keep me\n");
}

// Root takes its folders from this file as written: whatever an editor hides in it (a CRLF line
// end, a trailing blank, a NUL, a file longer than it reads) would otherwise name a neighbouring
// folder that root then makes and writes into.
TEST_F(PolkitTest, AHelperConfigurationWithHiddenCharactersOrOverTheLimitIsRefusedAndNoFolderIsMade)
{
    using namespace std::string_literals;
    const std::string folder = sandbox_->root() + "/hostile", autostart = folder + "/autostart";
    const std::string data = "DataDirectories=" + sandbox_->systemDataDir() + "\n";
    // A comment that pads the file so that the 64 KiB boundary falls inside the folder's name.
    const std::string line = "AutostartDirectory=" + autostart + "\n";
    const std::string padding = "#" + std::string(65536 - data.size() - (line.size() - 4) - 2, 'x') + "\n";
    const std::string configs[] = {
        "AutostartDirectory=" + autostart + "\r\n" + data,
        "AutostartDirectory=" + autostart + "\nDataDirectories=" + sandbox_->systemDataDir() + "\r\n",
        "AutostartDirectory=" + autostart + " \n" + data,
        "AutostartDirectory=" + autostart + "\t\n" + data,
        "AutostartDirectory=" + autostart + "\0-elsewhere\n"s + data,
        "AutostartDirectory=" + autostart + "\x1b]0;x\a\n" + data,
        data + padding + line,
    };
    for (const std::string& config : configs) {
        writeConfig(config);
        expectHelper({"login-item", "add"}, 4, ORU_HELPER_CONFIG);
        EXPECT_FALSE(exists(folder)) << InstallerEscapeControls(config.substr(0, 200));
        std::filesystem::remove_all(folder);
    }
    // Written plainly, the same configuration is taken.
    writeConfig(line + data);
    expectHelper({"login-item", "add"}, 0, "");
    EXPECT_TRUE(exists(autostart + "/com.ombrix.Ombrix.desktop"));
}

#ifdef INSTALLER_HOST_GTK_PATH
// The window, run by nobody on a private display and driven with the keyboard (Return presses
// Continue, which has the focus on every page): a rule granting the action gives the payload
// placed and the login item written by the helper, through the same polkit road as the terminal
// host, asked from the window's thread for polkit. Last in this program: the display's client
// starts threads, and the other tests unshare namespaces first.
TEST_F(PolkitTest, TheWindowRunByAPersonGetsThePayloadAndTheLoginItemThroughTheHelper)
{
    ASSERT_EQ(::unlink(sandbox_->installedEntry().c_str()), 0);
    startPolkit(ruleFor("YES"));
    PrivateDesktop desktop;
    std::string error;
    if (!desktop.start(&error))
        GTEST_SKIP() << "no private display: " << error;
    Host host;
    host.program = INSTALLER_HOST_GTK_PATH;
    runByNobody(host);
    // The display only: nobody may not use root's session bus, and none is launched for it.
    host.start({"--privileged-helper", ORU_HELPER_PATH, "--install", sandbox_->payloadEntry() + "=" + sandbox_->installedEntry(),
                ORU_BUNDLE_PATH},
               {"SHELL=/bin/sh", "DISPLAY=" + desktop.display(), "GDK_BACKEND=x11", "GSK_RENDERER=cairo",
                "GDK_DEBUG=gl-disable", "GSETTINGS_BACKEND=memory", "GIO_USE_VFS=local", "GTK_A11Y=none",
                "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/session_bus_socket"});
    space_.notePid(host.pid);
    ASSERT_TRUE(host.readUntil("installer-host-gtk: first page shown")) << host.output;
    // The payload's folder is root's: only the helper could have placed it.
    expectHas(host.output, {"installer-host-gtk: authorization system.install-payload.: granted (polkit)"});
    for (const std::string next : {"page: Ombrix Database Settings", "page: Summary", ""}) {
        ASSERT_TRUE(focusWindow(desktop.display(), host.pid, "Ombrix Installer"));
        ASSERT_TRUE(setKeysHeld(desktop.display(), {"Return"}, true));
        ASSERT_TRUE(setKeysHeld(desktop.display(), {"Return"}, false));
        ASSERT_TRUE(next.empty() || host.readUntil("installer-host-gtk: " + next)) << host.output;
    }
    EXPECT_EQ(host.finish(), 0) << host.output;
    expectHas(host.output, {"installer-host-gtk: authorization system.global-login-items.: granted (polkit)"});
    host.expectResult({"login-item=\"added " + sandbox_->autostartEntry() + " (privileged helper)\""});
    struct stat st;
    EXPECT_TRUE(::stat(sandbox_->installedEntry().c_str(), &st) == 0 && st.st_uid == 0);
    EXPECT_EQ(OruSandbox::readFile(sandbox_->installedEntry()), OruSandbox::readFile(sandbox_->payloadEntry()));
    expectValidRootEntry();
    sandbox_->waitForLaunches(++launches_, 5.0);
    EXPECT_EQ(sandbox_->recordedLaunches(), Lines{"[\"reconstructDatabase\"] new-session"});
}
#endif

} // namespace
