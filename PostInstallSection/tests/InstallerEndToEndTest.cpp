// installer-host with the plug-in, end to end on a sandbox desktop, each test in a private lock
// space: what the process boundary adds to the roads the section's in-process tests walk. The
// installer mutex's life as other processes (a second installer among them) see it, signals and
// the end of input, what another local user (nobody) can and cannot do to the installer lock,
// hostile objects planted on the way, and what reaches root's terminal.
// ctest-resource-lock: installer-mutex
#include "HostProcess.h"
#include "MutexTestSupport.h"

#include <InstallerDisplayText.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>

#include <filesystem>
#include <memory>

namespace {

using Lines = std::vector<std::string>;

class EndToEndTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The applications the host starts outlive it in their own sessions; as subreaper we
        // collect them and know when every start has been recorded.
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        makeSandbox(sandbox_);
        ASSERT_FALSE(exists(kInstallerMutexPath)) << "a mutex file is left over from elsewhere";
    }
    void TearDown() override { reapChildren(); }
    // Starts the host on the bundle, by default installing the application as it goes.
    void start(Host& host, Lines options, bool payload = true)
    {
        if (payload)
            options.insert(options.end(), {"--install", sandbox_->payloadEntry() + "=" + sandbox_->installedEntry()});
        options.push_back(ORU_BUNDLE_PATH);
        host.start(options);
        space_.notePid(host.pid);
    }

    OruPrivateLockSpace space_;
    std::unique_ptr<OruSandbox> sandbox_;
};

// The lock's life as other processes see it: held from the installation page until a pane is
// entered; a second installer meanwhile says that it waits and ends on a signal, the first's file
// left to it; the first ended at its pane by a signal, the login item refused with nobody left to
// answer. (A second installer that goes on once the first lets go: AnotherUsersSetval…; a file
// left behind reused: ALockLeftTaken…; a killed holder's lock given back by the kernel: XpMutexTest.)
TEST_F(EndToEndTest, MutexIsHeldUntilAPaneIsEnteredASecondInstallerWaitsQuittingStartsTheApp)
{
    Host first;
    start(first, {"--interactive"}); // the authorization would be asked on the terminal
    ASSERT_TRUE(first.readUntil("choice> ")) << first.output; // the installation page
    XpMutex probe{XpStringT<char>(kInstallerMutexPath)};
    EXPECT_EQ(tryLock(probe), XPERR_SYNC_TIMEOUT); // the installer holds it
    Host waiting;
    start(waiting, {"--actions", "quit"}, false);
    ASSERT_TRUE(waiting.readUntil("Another installer is running. Waiting for it to finish.")) << waiting.output;
    ::kill(waiting.pid, SIGINT);
    EXPECT_EQ(waiting.finish(), 128 + SIGINT) << waiting.output;
    waiting.expectResult({"ended=interrupted installed-before=yes mutex=reused mutex-lock=\"abandoned"});
    EXPECT_EQ(waiting.resultLine().find("launch="), std::string::npos) << waiting.output;
    EXPECT_TRUE(exists(kInstallerMutexPath)); // the first's mark is not the second's to clear

    first.send("c\n");
    ASSERT_TRUE(first.readUntil("choice> ", 2)) << first.output; // the settings pane
    EXPECT_FALSE(exists(kInstallerMutexPath));
    EXPECT_EQ(tryLock(probe), XPERR_OK); // given back with the file
    ::kill(first.pid, SIGINT);
    EXPECT_EQ(first.finish(), 128 + SIGINT) << first.output;
    EXPECT_EQ(first.output.find("Allow?"), std::string::npos) << first.output; // nobody left to answer
    first.expectResult({"ended=interrupted", "launch=reconstructDatabase login-item=refused"});

}

// As a tester found it: nobody made the file and the set keyed on it, set the set to 0 and ended.
// No process holds the lock; the installer (root's) sets it free, says so in one line, goes on.
TEST_F(EndToEndTest, ALockLeftTakenByAnEndedProcessOfAnotherUserIsSetFreeAndTheInstallerGoesOn)
{
    pid_t planter = plantLockOfEndedProcess();
    space_.notePid(planter);
    ASSERT_EQ(exitStatus(planter), 0);
    const std::string pid = std::to_string(planter);
    Host host;
    start(host, {"--actions", "continue"});
    EXPECT_EQ(host.finish(), 0) << host.output; // before the repair it waited without end: killed
    host.expectResult({"mutex=reused mutex-lock=\"repaired: left taken by process " + pid +
                       ", which has ended\" mutex-lock=held mutex-lock=released mutex=removed"});
    EXPECT_EQ(countOf(host.output, "installer-host: The installer lock was left taken by process " + pid + ", which has ended."), 1u)
        << host.output;
}

// While an installer holds the lock, nobody sets the semaphore free (every user may write it): a
// second installer still waits, and the first's file stays, until the first lets go.
TEST_F(EndToEndTest, AnotherUsersSetvalWhileAnInstallerHoldsTheLockLetsNoSecondInstallerIn)
{
    Host first;
    start(first, {"--interactive"});
    ASSERT_TRUE(first.readUntil("choice> ")) << first.output; // the installation page, the lock held
    struct stat held, now;
    ASSERT_EQ(::lstat(kInstallerMutexPath, &held), 0);
    pid_t setter = startAsNobody([] { return setLockValue(1) ? 0 : 1; });
    space_.notePid(setter);
    ASSERT_EQ(exitStatus(setter), 0);
    ASSERT_EQ(lockSet(GETVAL), 1);
    Host second;
    start(second, {"--actions", "quit"}, false);
    EXPECT_TRUE(second.readUntil("Another installer is running. Waiting for it to finish.", 1, 10)) << second.output;
    EXPECT_FALSE(second.readUntil("installer-host: result:", 1, 1)) << second.output;
    EXPECT_TRUE(::lstat(kInstallerMutexPath, &now) == 0 && now.st_ino == held.st_ino) << "the first's file went";
    first.send("c\n"); // the first enters its pane and lets go
    EXPECT_EQ(second.finish(), 0) << second.output;
    second.expectResult({"ended=quit installed-before=yes mutex=reused mutex-lock=held"});
    ASSERT_TRUE(first.readUntil("choice> ", 2)) << first.output;
    EXPECT_EQ(first.finish(), 0) << first.output;
    // The end of its input at the pane quits: nobody left to answer, so no question is put.
    EXPECT_EQ(first.output.find("Allow?"), std::string::npos) << first.output;
    first.expectResult({"ended=quit", "launch=reconstructDatabase login-item=refused"});
}

// A process of nobody's that holds only the semaphore is no installer, and is waited for all the
// same: the waiting installer names it, and goes on once it ends; nothing had to be set free. (A
// holder of the file lock is named as another installer: the window's test reads that line.)
TEST_F(EndToEndTest, TheWaitingInstallerNamesTheProcessThatHoldsTheLockAndGoesOnWhenItEnds)
{
    const std::string sleep = std::filesystem::canonical("/bin/sleep");
    // The holder takes the semaphore, then becomes `sleep` (which keeps it): the pipe closes with
    // the exec.
    int execed[2];
    ASSERT_EQ(::pipe2(execed, O_CLOEXEC), 0);
    pid_t holder = startAsNobody([&] {
        int fd = ::open(kInstallerMutexPath, O_RDONLY | O_CREAT, 0644);
        XpMutex semaphore{XpStringT<char>(kInstallerMutexPath)};
        if (fd < 0 || semaphore.Lock() != XPERR_OK)
            return 1;
        ::execl(sleep.c_str(), "sleep", "600", static_cast<char*>(nullptr));
        return 2;
    });
    space_.notePid(holder);
    ::close(execed[1]);
    char c;
    ASSERT_EQ(::read(execed[0], &c, 1), 0);
    ::close(execed[0]);
    const std::string named = "installer-host: Process " + std::to_string(holder) + " of user nobody (" + sleep +
                              ") holds the installer lock but is not an installer. Waiting until it gives the lock back or ends.";
    Host host;
    start(host, {"--actions", "continue"});
    EXPECT_TRUE(host.readUntil(named, 1, 10)) << host.output;
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_EQ(host.finish(), 0) << host.output;
    host.expectResult({"mutex-lock=held mutex-lock=released mutex=removed"});
    EXPECT_EQ(host.output.find("set free"), std::string::npos) << host.output;
}

TEST_F(EndToEndTest, HostileObjectsAtTheInstallersPathsAreNeitherFollowedNorWaitedOn)
{
    // As root: links at the mutex file and at the autostart entry must not lead the installer's
    // writes elsewhere, and a FIFO where the settings are read must not hang it. (The user's
    // folders are read by the same reader.)
    std::string precious = sandbox_->root() + "/precious";
    ASSERT_TRUE(OruSandbox::writeFile(precious, "keep me\n"));
    ASSERT_EQ(::symlink(precious.c_str(), kInstallerMutexPath), 0);
    ASSERT_EQ(::symlink(precious.c_str(), sandbox_->autostartEntry().c_str()), 0);
    std::filesystem::create_directories(sandbox_->configHome() + "/com.ombrix.Ombrix");
    ASSERT_EQ(::mkfifo(sandbox_->settingsFile().c_str(), 0666), 0);
    Host host;
    start(host, {"--actions", "continue", "--authorize", "yes"});
    EXPECT_EQ(host.finish(), 0) << host.output;
    struct stat st;
    EXPECT_TRUE(::lstat(kInstallerMutexPath, &st) == 0 && S_ISLNK(st.st_mode));
    EXPECT_TRUE(::lstat(sandbox_->autostartEntry().c_str(), &st) == 0 && S_ISLNK(st.st_mode));
    EXPECT_EQ(OruSandbox::readFile(precious), "keep me\n");
    // The FIFO counts as absent: the user's own folders are shown.
    expectHas(host.output, {"mutex=\"not-taken: a symbolic link is there\"", sandbox_->home() + "/Pictures",
                       std::string("installer-host: The installer lock file ") + kInstallerMutexPath +
                           " cannot be used (a symbolic link is there). It is left as it is, and this installer goes on without the lock.\n",
                       "login-item=\"failed: " + sandbox_->autostartEntry() + " is a symbolic link; left as it is\""});
}

// (The result line quoting what it records, a control character of a refused Exec line among it,
// stays one line: DisplayTextTest.)
TEST_F(EndToEndTest, ControlCharactersFromTheUsersFilesReachTheTerminalEscaped)
{
    // A settings value that would retitle root's terminal, and a user folder that would clear it.
    ASSERT_TRUE(OruSandbox::writeFile(sandbox_->settingsFile(), "[Settings]\nPhotoHomePath=/srv/\x1b]0;owned\x07photos\n"));
    ASSERT_TRUE(OruSandbox::writeFile(sandbox_->configHome() + "/user-dirs.dirs", "XDG_VIDEOS_DIR=\"$HOME/\x1b[2Jvideos\"\n"));
    Host host;
    start(host, {"--actions", "continue", "--authorize", "yes"});
    EXPECT_EQ(host.finish(), 0) << host.output;
    EXPECT_EQ(host.output.find('\x1b'), std::string::npos) << InstallerEscapeControls(host.output, true);
    expectHas(host.output, {"/srv/\\x1b]0;owned\\x07photos", sandbox_->home() + "/\\x1b[2Jvideos"});
}

} // namespace
