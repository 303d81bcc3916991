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
#include "PayloadTreeSupport.h"
#ifdef INSTALLER_HOST_GTK_PATH
#include <GtkHostDriver.h>
#endif
#include "MutexTestSupport.h"

#include <InstallerDisplayText.h>
#include <InstallerPayload.h>
#include <InstallerPayloadStream.h>
#include <XpFd.h>

#include <gtest/gtest.h>

#include <pty.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>

#include <filesystem>
#include <memory>
#include <sstream>

namespace {

using Lines = std::vector<std::string>;

const char* const kBusSocket = "/run/dbus/system_bus_socket";

// A rule answering `result` ("YES", "NO", "AUTH_ADMIN") for the installer's actions asked by nobody.
std::string ruleFor(const char* result)
{
    return std::string("polkit.addRule(function(action, subject) {\n"
                       "  if (action.id.indexOf(\"com.ombrix.installer.\") == 0 && subject.user == \"nobody\")\n"
                       "    return polkit.Result.") + result + ";\n});\n";
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

// A pipe that holds `bytes` and then ends (written here at once: it is made wide enough), as the
// helper's standard input.
XpFd pipeHolding(const std::string& bytes)
{
    int ends[2];
    EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    XpFd in(ends[0]), out(ends[1]);
    EXPECT_GE(::fcntl(out.Get(), F_SETPIPE_SZ, static_cast<int>(std::max<size_t>(bytes.size(), 1u << 20))), 0);
    EXPECT_EQ(::write(out.Get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    return in;
}

// A record of a hand-made stream.
std::string record(InstallerPayloadKind kind, const std::string& name, const std::string& data = "", uint32_t mode = 0644)
{
    InstallerPayloadRecord r;
    r.kind = kind;
    r.name = name;
    r.mode = kind == InstallerPayloadKind::Folder ? 0755 : mode;
    r.size = data.size();
    return InstallerPayloadEncode(r) + data;
}

class PolkitTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        ASSERT_TRUE(space_.isolated()) << space_.note() << ": the polkit tests need a mount namespace of their own";
        for (const char* tool : {"/usr/lib/polkit-1/polkitd", "/usr/bin/dbus-daemon", "/usr/bin/pkcheck", "/usr/bin/pkexec"})
            ASSERT_EQ(::access(tool, X_OK), 0) << tool << ": install polkitd, pkexec and dbus (scripts/deps.sh)";
        nobody_ = ::getpwnam("nobody");
        ASSERT_TRUE(nobody_);

        makeSandbox(sandbox_);
        // The person's home and the sample application's record are nobody's; the system
        // folders (usr/, etc/) stay root's, as on a real machine.
        ASSERT_EQ(::chmod(sandbox_->root().c_str(), 0755), 0);
        for (const std::string& mine : {sandbox_->home(), sandbox_->root() + "/Ombrix Sample"})
            ASSERT_TRUE(chownTree(mine, nobody_->pw_uid, nobody_->pw_gid)) << mine;
        ASSERT_TRUE(sandbox_->installTargetApp());

        // Everything the test mounts lies on this tmpfs or over system folders, in this namespace.
        state_ = sandbox_->root() + "/polkit";
        std::filesystem::create_directories(state_);
        mounts_.tmpfs(state_, "mode=0755,size=4m");
        for (const char* dir : {"/rules", "/upper", "/work"})
            std::filesystem::create_directories(state_ + dir);
        // The helper's configuration: its folder laid over with overlayfs, so that the file can
        // appear there without touching the machine's own.
        const std::string configFolder = std::filesystem::path(ORU_HELPER_CONFIG).parent_path().parent_path().string();
        mounts_.mount("overlay", configFolder, "overlay",
              "lowerdir=" + configFolder + ",upperdir=" + state_ + "/upper,workdir=" + state_ + "/work");
        writeConfig("[Privileged Helper]\nAutostartDirectory=" + autostartFolder() + "\nDataDirectories=" +
                    sandbox_->systemDataDir() + "\n");
        // No system bus unless a test starts one.
        mounts_.tmpfs("/run/dbus", "mode=0755,size=1m");
    }

    void TearDown() override
    {
        polkitd_.stop(SIGTERM);
        bus_.stop(SIGTERM);
        killRemainingChildren();
        reapChildren();
    }

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
        mounts_.bind(state_ + "/rules", "/etc/polkit-1/rules.d");
        mounts_.bind(ORU_POLICY_DIR, "/usr/share/polkit-1/actions");
        // A bus configuration of the test's own, not the machine's: it names no service folder, so
        // nothing is started on demand and only the daemons this test starts answer on the bus.
        ASSERT_TRUE(OruSandbox::writeFile(state_ + "/bus.conf", R"(<busconfig>
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
        // Readiness waits are generous: a loaded machine (a parallel ctest, sanitizers) can take
        // many seconds to start a daemon, and only a daemon that never comes is a failure.
        for (int i = 0; i < 500 && !exists(kBusSocket); ++i)
            ::usleep(20 * 1000);
        ASSERT_TRUE(exists(kBusSocket)) << "dbus-daemon did not listen";
        // polkitd says when it owns its name; it changes to its own user itself. Its later messages
        // go nowhere: the pipe is closed once that is read.
        polkitd_.program = "/usr/lib/polkit-1/polkitd";
        polkitd_.start({});
        ASSERT_TRUE(polkitd_.readUntil("Acquired the name org.freedesktop.PolicyKit1", 1, 30)) << polkitd_.output;
        ::close(polkitd_.out);
        polkitd_.out = -1;
    }

    // The payload installed through the helper as pkexec would start it for nobody.
    InstallerPayloadResult throughHelper(const std::string& source, const std::string& dest)
    {
        ::setenv("PKEXEC_UID", std::to_string(nobody_->pw_uid).c_str(), 1);
        InstallerPayloadResult result = InstallerPayloadInstallThroughHelper({ORU_HELPER_PATH}, source, dest, nullptr);
        ::unsetenv("PKEXEC_UID");
        return result;
    }

    void runByNobody(Host& host) { host.runAsUid = nobody_->pw_uid; host.runAsGid = nobody_->pw_gid; }
    // installer-host as nobody or as root, Continue on every page; `launch`: the road is expected
    // to start the application; `status`: the host's exit status (8 when a payload failed).
    std::string runHost(bool asNobody, Lines options = {}, bool launch = true, int status = 0)
    {
        Host host;
        if (asNobody)
            runByNobody(host);
        options.insert(options.end(), {"--privileged-helper", ORU_HELPER_PATH, "--actions", "continue", ORU_BUNDLE_PATH});
        host.start(options, {"SHELL=/bin/sh"});
        EXPECT_EQ(host.finish(), status) << host.output;
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
    // `input`: what it reads on its standard input (nothing when -1).
    // Returns what it said.
    std::string expectHelper(const Lines& arguments, int status, const std::string& says = "", Lines env = {},
                             bool asNobody = false, int input = -1)
    {
        Host helper; // reads to the end of its output, then reaps it (killed if it will not end)
        helper.program = ORU_HELPER_PATH;
        helper.stdinFd = input;
        helper.onlyEnv = true;
        if (asNobody)
            runByNobody(helper);
        if (env.empty())
            env = {"PKEXEC_UID=" + std::to_string(nobody_->pw_uid), "PATH=/usr/bin:/bin"};
        helper.start(arguments, env);
        EXPECT_EQ(helper.finish(60), status) << (arguments.empty() ? "" : arguments.back()) << " " << env[0] << "\n"
                                             << helper.output;
        expectHas(helper.output, {says});
        return helper.output;
    }

    OruPrivateLockSpace space_;
    std::unique_ptr<OruSandbox> sandbox_;
    const struct passwd* nobody_ = nullptr;
    std::string state_;
    PrivateMounts mounts_; // undone before the sandbox that holds some of them goes
    Host bus_, polkitd_;
    size_t launches_ = 0;
};

// The payload's file goes to the system's applications folder, which is root's: only the helper,
// started by pkexec when polkit grants, can place it there.
TEST_F(PolkitTest, APersonGrantedByPolkitInstallsAndGetsTheLoginItemThroughTheHelperRefusedNeitherRootIsNotAsked)
{
    const Lines install{"--install", sandbox_->payloadEntry() + "=" + sandbox_->installedEntry()};
    ASSERT_EQ(::unlink(sandbox_->installedEntry().c_str()), 0);
    startPolkit(ruleFor("YES"));
    std::string output = runHost(true, install);
    expectHas(output, {"installed " + sandbox_->installedEntry() + " (privileged helper)",
                       "login-item=\"added " + sandbox_->autostartEntry() + " (privileged helper)\""});
    struct stat st;
    EXPECT_TRUE(::stat(sandbox_->installedEntry().c_str(), &st) == 0 && st.st_uid == 0 && (st.st_mode & 07777) == 0644);
    EXPECT_EQ(OruSandbox::readFile(sandbox_->installedEntry()), OruSandbox::readFile(sandbox_->payloadEntry()));
    // The login item, root's and readable by every session. It is made from the system's entry of
    // the application, which lies only in the folder the helper's configuration names (its text
    // is the plug-in's, tested there).
    EXPECT_TRUE(::lstat(sandbox_->autostartEntry().c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
                st.st_gid == 0 && (st.st_mode & 07777) == 0644) << std::oct << st.st_mode;

    polkitd_.stop(SIGTERM);
    bus_.stop(SIGTERM);
    for (const std::string& made : {sandbox_->autostartEntry(), sandbox_->installedEntry()})
        ASSERT_EQ(::unlink(made.c_str()), 0);
    ::unlink(kBusSocket); // should the bus have left it
    startPolkit(ruleFor("NO"));
    output = runHost(true, install, false, 8); // the payload's copy failed
    expectHas(output, {"failed " + sandbox_->installedEntry() + ": refused: the right to install for all users was not granted",
                       "installer-host: polkit refused com.ombrix.installer.global-login-items: not authorized",
                       "login-item=refused"});
    EXPECT_FALSE(exists(sandbox_->installedEntry()) || exists(sandbox_->autostartEntry()));

    // Root is granted by polkit without a question, even against the rule, and does both itself.
    output = runHost(false, install);
    // (Its own step, the scripted answer, would have denied.)
    expectHas(output, {"installed " + sandbox_->installedEntry() + "\n",
                       "login-item=\"added " + sandbox_->autostartEntry() + "\""});
}

TEST_F(PolkitTest, APasswordWantedIsARefusalUnattendedAndOnATerminalTheHostsOwnTextAgentAsksForIt)
{
    // An administrator's password is wanted (AUTH_ADMIN). Unattended (scripted answers, no
    // terminal) the host registers no agent, so polkit has nobody to ask.
    startPolkit(ruleFor("AUTH_ADMIN"));
    expectHas(runHost(true), {"polkit refused com.ombrix.installer.global-login-items: authentication needed, but nobody could be asked",
                              "login-item=refused"});
    // On a terminal pkttyagent, registered by the host for itself, asks there; a wrong answer
    // refuses.
    // A session of its own whose controlling terminal is the pseudo-terminal, opened while still
    // root (it is root's), then nobody.
    int master = -1;
    pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0)
        execChild({INSTALLER_HOST_PATH, "--privileged-helper", ORU_HELPER_PATH, ORU_BUNDLE_PATH},
                  {"LANGUAGE=en", "SHELL=/bin/sh"}, nobody_->pw_uid, nobody_->pw_gid);
    ASSERT_GE(pid, 0);
    ::fcntl(master, F_SETFD, FD_CLOEXEC); // for no later child
    Host host; // talks through the terminal; killed and reaped whatever happens below
    host.pid = pid;
    host.out = master;
    host.in = ::dup(master);
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
    host.send("certainly-not-the-password\n");
    ASSERT_TRUE(host.readUntil("choice> ", 3)) << seen; // the summary, after the refusal
    expectHas(seen, {"Denied."});
    EXPECT_FALSE(exists(sandbox_->autostartEntry()));
}

// (Root without a daemon asks for itself: the window's tests answer its dialog.)
TEST_F(PolkitTest, WithoutAPolkitDaemonOrPkexecAPersonIsRefusedAndTheHostSaysWhatIsMissing)
{
    expectHas(runHost(true), {"installer-host: no polkit daemon answers here", "without it only root may do this: refused",
                              "login-item=refused"});
    // polkit grants, but pkexec (a package of its own) is missing: the helper cannot be started.
    startPolkit(ruleFor("YES"));
    mounts_.bind("/dev/null", "/usr/bin/pkexec");
    expectHas(runHost(true), {"pkexec is not installed"});
    EXPECT_FALSE(exists(sandbox_->autostartEntry()));
}

TEST_F(PolkitTest, TheHelperRefusesWhatItDoesNotExpectOrTrustAndAnyStartButPkexecsAndFollowsNoPlantedLink)
{
    // Too few arguments, too many, another command, another action.
    const Lines bad[] = {{"login-item"}, {"login-item", "add", "extra"}, {"Login-item", "add"}, {"login-item", "ADD"}};
    for (const Lines& arguments : bad)
        expectHelper(arguments, 2, "oru-privileged-helper: usage:");
    // A payload destination must name a file directly in a payload folder, not a hidden one: no
    // folder in it, not another folder, no "..".
    const std::string applications = sandbox_->systemDataDir() + "/applications";
    for (const std::string& destination : {std::string("x.desktop"), std::string("/etc/passwd"),
                                           applications + "/../x.desktop", applications + "/.hidden"})
        expectHelper({"install-payload", destination}, 8, "is not a file name in a payload folder");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(applications), {}), 1); // the entry of SetUp alone
    EXPECT_FALSE(exists(sandbox_->systemDataDir() + "/x.desktop"));
    // Not through pkexec: root without PKEXEC_UID, or not root at all.
    const std::pair<Lines, bool> starts[] = {{{"PATH=/usr/bin"}, false}, {{"PKEXEC_UID=65534"}, true}};
    for (const auto& start : starts)
        expectHelper({"login-item", "add"}, 3, "refusing to run: not started through pkexec", start.first, start.second);

    // A link at the entry: refused and left.
    const std::string precious = sandbox_->root() + "/precious";
    ASSERT_TRUE(OruSandbox::writeFile(precious, "keep me\n"));
    ASSERT_EQ(::symlink(precious.c_str(), sandbox_->autostartEntry().c_str()), 0);
    expectHelper({"login-item", "add"}, 6, sandbox_->autostartEntry() + " is a symbolic link; left as it is");
    ASSERT_EQ(::unlink(sandbox_->autostartEntry().c_str()), 0);

    // Folders and a configuration it cannot trust.
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
    EXPECT_FALSE(exists(sandbox_->autostartEntry()));
    EXPECT_EQ(OruSandbox::readFile(precious), "keep me\n");
}

// Root takes its folders from this file as written: whatever an editor hides in it (a CRLF line
// end, a trailing blank, a NUL, a file longer than it reads) would otherwise name a neighbouring
// folder that root then makes and writes into. One row for each way: a control character on a
// line (CR; a NUL is refused by the same check), a blank around a value, the size limit.
TEST_F(PolkitTest, AHelperConfigurationWithHiddenCharactersOrOverTheLimitIsRefusedAndNoFolderIsMade)
{
    const std::string folder = sandbox_->root() + "/hostile", autostart = folder + "/autostart";
    const std::string data = "DataDirectories=" + sandbox_->systemDataDir() + "\n";
    // A comment that pads the file so that the 64 KiB boundary falls inside the folder's name.
    const std::string line = "AutostartDirectory=" + autostart + "\n";
    const std::string padding = "#" + std::string(65536 - data.size() - (line.size() - 4) - 2, 'x') + "\n";
    const std::string configs[] = {
        "AutostartDirectory=" + autostart + "\r\n" + data,
        "AutostartDirectory=" + autostart + " \n" + data,
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

// The installer (here this process, as the person would) walks a folder of thousands of files and
// streams it to the helper, which writes it as root's: contents, folders, links as links and
// times as they were, the set-id bits and write permission for group and others dropped (the
// tree's comparison under the mask 0755 sees them).
TEST_F(PolkitTest, TheHelperInstallsAFolderStreamedByTheInstallerAsRootsWithoutSetIdOrOthersWriteBits)
{
    const std::string source = sandbox_->root() + "/Ombrix Sample/Ombrix.app";
    const std::string dest = sandbox_->systemDataDir() + "/applications/Ombrix.app";
    const size_t files = makeApplicationFolder(source, 2000);
    ASSERT_TRUE(chownTree(source, nobody_->pw_uid, nobody_->pw_gid));
    ASSERT_EQ(::chmod((source + "/bin/app").c_str(), 04775), 0); // after the change of owner, which clears it
    InstallerPayloadResult result = throughHelper(source, dest);
    ASSERT_EQ(result.outcome, InstallerPayloadOutcome::Installed) << result.error;
    EXPECT_GE(expectSameTree(source, dest, 0755), files);
    struct stat st;
    for (const auto& item : std::filesystem::recursive_directory_iterator(dest))
        ASSERT_TRUE(::lstat(item.path().c_str(), &st) == 0 && st.st_uid == 0 && st.st_gid == 0) << item.path();
}

// Installed again over itself, the folder is merged into the one there; a folder of it (the
// payload's own or one inside) that someone but root may change is refused and written into
// no further. One row for each place the helper looks, each half of its rule once.
TEST_F(PolkitTest, TheHelperWritesIntoNoFolderOfAnEarlierInstallationThatOthersMayChange)
{
    const std::string source = sandbox_->root() + "/App", dest = sandbox_->systemDataDir() + "/applications/App";
    const std::string file = "/lib/3/0/file3.dat";
    makeApplicationFolder(source, 50);
    auto install = [&]() { return throughHelper(source, dest); };
    ASSERT_EQ(install().outcome, InstallerPayloadOutcome::Installed);
    std::ofstream(source + file) << "the new version\n";
    struct Case {
        std::string folder;
        uid_t owner;
        mode_t mode;
    } cases[] = {{dest, nobody_->pw_uid, 0755}, {dest + "/lib/3/0", 0, 0775}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        ASSERT_EQ(::chown(c.folder.c_str(), c.owner, 0) | ::chmod(c.folder.c_str(), c.mode), 0);
        InstallerPayloadResult result = install();
        EXPECT_EQ(result.outcome, InstallerPayloadOutcome::Failed);
        expectHas(result.error, {c.folder + " is not root's, or others may write it", "(status 6)"});
        EXPECT_NE(fileText(dest + file), "the new version\n");
        ASSERT_EQ(::chown(c.folder.c_str(), 0, 0) | ::chmod(c.folder.c_str(), 0755), 0);
    }
    EXPECT_EQ(install().outcome, InstallerPayloadOutcome::Installed);
    EXPECT_EQ(fileText(dest + file), "the new version\n");
}

// A file much larger than memory should hold goes through the pipe a piece at a time: neither the
// installer's process nor the helper grows with it.
TEST_F(PolkitTest, TheHelperTakesALargeFileWithoutEitherSideGrowing)
{
    const size_t mib = 256;
    // The file of `size` MiB installed through the helper by a process of its own (the installer's
    // side), which reports its own peak resident memory and the helper's, in KiB.
    auto install = [this](size_t size, const std::string& name, long* installerKiB, long* helperKiB) {
        const std::string source = sandbox_->root() + "/" + name, dest = sandbox_->systemDataDir() + "/applications/" + name;
        {
            // One buffer for all of it (memory freed here would stay with the sanitizers' quarantine
            // and count for the child below); each MiB starts one byte further into the pattern, so
            // that no MiB is like its neighbour.
            const std::string bytes = xptest::pattern((1u << 20) + 256, 'a');
            std::ofstream out(source, std::ios::binary);
            for (size_t i = 0; i < size; ++i)
                out.write(bytes.data() + i % 256, 1u << 20);
            ASSERT_TRUE(out.flush()) << source;
        }
        // The installer's side in a process of its own, so that its peak and the helper's (once
        // waited for) are the road's alone; it writes both, and what went wrong, to `report`.
        const std::string report = source + ".report";
        const int outcome = xptest::inChild([&] {
            ::alarm(600); // a road that never ends fails the test instead of hanging it
            ::setenv("PKEXEC_UID", std::to_string(nobody_->pw_uid).c_str(), 1);
            InstallerPayloadResult result = InstallerPayloadInstallThroughHelper({ORU_HELPER_PATH}, source, dest, nullptr);
            struct rusage self, children;
            ::getrusage(RUSAGE_SELF, &self);
            ::getrusage(RUSAGE_CHILDREN, &children);
            std::ofstream(report) << self.ru_maxrss << " " << children.ru_maxrss << "\n" << result.error;
            return static_cast<int>(result.outcome);
        });
        const std::string said = readAll(report);
        ASSERT_EQ(outcome, static_cast<int>(InstallerPayloadOutcome::Installed)) << said;
        std::istringstream(said) >> *installerKiB >> *helperKiB; // 0 when the report lacks them
        const xptest::Ran compared = xptest::spawn({"/usr/bin/cmp", source, dest}); // diffutils: always there
        EXPECT_EQ(compared.status, 0) << compared.out << compared.err;
    };
    long baseInstaller = 0, baseHelper = 0;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A sanitizer's shadow memory makes up most of a sanitized process's pages: the bound is then
    // on what the large payload adds to the same road with a payload of 1 MiB.
    ASSERT_NO_FATAL_FAILURE(install(1, "small.bin", &baseInstaller, &baseHelper));
#endif
    long installerKiB = -1, helperKiB = -1;
    ASSERT_NO_FATAL_FAILURE(install(mib, "large.bin", &installerKiB, &helperKiB));
    EXPECT_GT(installerKiB, 0);
    EXPECT_GT(helperKiB, 0);
    EXPECT_LT(installerKiB - baseInstaller, 64 * 1024) << "over " << baseInstaller;
    EXPECT_LT(helperKiB - baseHelper, 64 * 1024) << "over " << baseHelper;
}

// A stream that ends early or that no installer writes is refused (8) with what was wrong; the
// entry it was in is not placed (nor any staging debris left), what was complete before stays.
// Rows: each way the stream's shape can be wrong that the helper itself checks, names that would
// reach outside the payload, and one header the stream's decoder refuses. The decoder's other
// refusals, a staging name and a NUL in a link target have no row of their own: none of them
// reaches outside the destination.
TEST_F(PolkitTest, AStreamThatEndsEarlyOrIsMalformedIsRefusedAndKeepsNothingOfItsEntry)
{
    using K = InstallerPayloadKind;
    const std::string magic(kInstallerPayloadMagic, sizeof kInstallerPayloadMagic);
    const std::string dest = sandbox_->systemDataDir() + "/applications/App";
    const std::string file = record(K::File, "a", "0123456789");
    std::string cut = record(K::File, "b", std::string(100000, 'b'));
    cut.resize(cut.size() - 1);
    std::string nested;
    for (size_t i = 0; i <= kInstallerPayloadMaxDepth; ++i)
        nested += record(K::Folder, "d");
    struct Row {
        std::string stream, says;
        Lines kept; // below dest; empty: dest not even made
    } rows[] = {
        {"not a stream at all", "standard input is not a payload stream", {}},
        {magic + record(K::File, "", "0123456789"), "ended early", {}}, // no end record: not placed
        {magic + record(K::File, "", "0") + record(K::File, "x", "1") + record(K::End, ""), "more than one file", {}},
        {magic + record(K::Link, "", "/etc/shadow"), "a name that may not be written", {}},
        {magic + record(K::Folder, "") + file + cut, "nothing of " + dest + "/b was kept", {"a"}},
        {magic + record(K::Folder, "") + file + record(K::End, ""), "it ends inside a folder", {"a"}},
        {magic + record(K::Folder, "") + record(K::EndFolder, "") + file, "an entry after the payload's end", {}},
        {magic + record(K::Folder, "") + record(K::File, "../escape", "x"), "(\"../escape\")", {}},
        {magic + record(K::Folder, "") + "Q" + record(K::File, "q", "x").substr(1), "unknown record kind", {}},
        {magic + record(K::Folder, "") + nested, "folders nested too deep", {"d"}},
    };
    // A regular file as standard input is no stream of an installer (and the writer would copy it
    // whole): refused.
    XpFd memory(::memfd_create("payload-stream", MFD_CLOEXEC));
    expectHelper({"install-payload", dest}, 8, "standard input is not a pipe", {}, false, memory.Get());
    for (const Row& row : rows) {
        SCOPED_TRACE(InstallerEscapeControls(row.stream.substr(0, 120)));
        std::filesystem::remove_all(dest);
        expectHelper({"install-payload", dest}, 8, row.says, {}, false, pipeHolding(row.stream).Get());
        if (row.kept.empty()) {
            EXPECT_FALSE(std::filesystem::exists(dest) && !std::filesystem::is_empty(dest));
            continue;
        }
        for (const std::string& kept : row.kept)
            EXPECT_TRUE(std::filesystem::exists(dest + "/" + kept)) << kept;
        EXPECT_FALSE(std::filesystem::exists(dest + "/b"));
        EXPECT_EQ(stagingDebris(dest), 0u);
    }
    EXPECT_FALSE(std::filesystem::exists(sandbox_->systemDataDir() + "/escape"));
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
    ASSERT_TRUE(host.readUntil("installer-host-gtk: first page shown")) << host.output;
    for (const std::string next : {"page: Ombrix Database Settings", "page: Summary", ""}) {
        ASSERT_TRUE(focusWindow(desktop.display(), host.pid, "Ombrix Installer"));
        ASSERT_TRUE(setKeysHeld(desktop.display(), {"Return"}, true));
        ASSERT_TRUE(setKeysHeld(desktop.display(), {"Return"}, false));
        ASSERT_TRUE(next.empty() || host.readUntil("installer-host-gtk: " + next)) << host.output;
    }
    EXPECT_EQ(host.finish(), 0) << host.output;
    host.expectResult({"login-item=\"added " + sandbox_->autostartEntry() + " (privileged helper)\""});
    // The payload's folder is root's: only the helper could have placed it.
    struct stat st;
    EXPECT_TRUE(::stat(sandbox_->installedEntry().c_str(), &st) == 0 && st.st_uid == 0);
    sandbox_->waitForLaunches(++launches_, 5.0);
}
#endif

// What the helper placed for a person is removed by it with the host's rules (whose cases,
// planted links among them, the uninstall tests run): here what only the helper does. A list
// naming anything outside the destination, or a destination outside the payload folders, is
// refused whole; what the list names goes, a file changed since stays, and each step is said.
TEST_F(PolkitTest, TheHelperRemovesWhatItsListNamesAndRefusesWholeAListOrDestinationReachingElsewhere)
{
    const std::string source = sandbox_->root() + "/App", dest = sandbox_->systemDataDir() + "/applications/App";
    ASSERT_TRUE(OruSandbox::writeFile(source + "/bin/app", "program\n"));
    ASSERT_TRUE(OruSandbox::writeFile(source + "/readme", "read me\n"));
    ASSERT_EQ(throughHelper(source, dest).outcome, InstallerPayloadOutcome::Installed);
    const std::string list =
        "D App\nD App/bin\nF " + sha256Of("program\n") + " App/bin/app\nF " + sha256Of("read me\n") + " App/readme\n";
    expectHelper({"remove-payload", dest}, 8, "the removal list is malformed: F ", {}, false,
                 pipeHolding(list + "F " + sha256Of("program\n") + " Other/app\n").Get());
    expectHelper({"remove-payload", sandbox_->root() + "/App"}, 8, "is not a file name in a payload folder", {}, false,
                 pipeHolding(list).Get());
    EXPECT_TRUE(exists(dest + "/bin/app") && exists(dest + "/readme"));

    ASSERT_TRUE(OruSandbox::writeFile(dest + "/readme", "changed\n"));
    std::string output = expectHelper({"remove-payload", dest}, 0, "", {}, false, pipeHolding(list).Get());
    expectHas(output, {"removed " + dest + "/bin/app\n", "removed " + dest + "/bin\n",
                       "kept " + dest + "/readme: it was changed after the installation\n"});
    EXPECT_FALSE(exists(dest + "/bin"));
    EXPECT_EQ(OruSandbox::readFile(dest + "/readme"), "changed\n");
}

// A person's removal of what the helper placed for them goes through polkit and the helper too:
// the payload (root's, in the system folder) and the all-users login item.
TEST_F(PolkitTest, APersonsUninstallRemovesThroughTheHelperWhatTheHelperPlaced)
{
    ASSERT_EQ(::unlink(sandbox_->installedEntry().c_str()), 0);
    startPolkit(ruleFor("YES"));
    runHost(true, {"--install", sandbox_->payloadEntry() + "=" + sandbox_->installedEntry()});
    ASSERT_TRUE(exists(sandbox_->installedEntry()) && exists(sandbox_->autostartEntry()));

    Host host;
    runByNobody(host);
    host.start({"--uninstall", "--unattended", "--privileged-helper", ORU_HELPER_PATH, ORU_BUNDLE_PATH}, {"SHELL=/bin/sh"});
    EXPECT_EQ(host.finish(), 0) << host.output;
    expectHas(host.output, {"removed " + sandbox_->installedEntry() + " (privileged helper)",
                            "removed " + sandbox_->autostartEntry() + " (privileged helper)",
                            "uninstall=done removed=2 kept=0 failed=0"});
    EXPECT_FALSE(exists(sandbox_->installedEntry()) || exists(sandbox_->autostartEntry()));
}

} // namespace
