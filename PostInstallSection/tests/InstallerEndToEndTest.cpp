// installer-host with the plug-in, end to end on a sandbox desktop: the roads, what the sample
// application recorded, the autostart entry, the installer mutex's life as other processes see
// it, and bad input on the way.
// ctest-resource-lock: installer-mutex
#include "HostProcess.h"
#include "MutexTestSupport.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>

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
        std::string error;
        sandbox_ = std::make_unique<OruSandbox>(ORU_SAMPLE_APP_PATH, Lines{}, &error);
        ASSERT_TRUE(error.empty()) << error;
        sandbox_->applyToProcess();
        ::setenv("LANGUAGE", "en", 1);
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
        cleanup_.notePid(host.pid);
    }
    // Runs the host to its end and collects the applications it started; returns the result line.
    std::string run(const Lines& options, bool payload = true)
    {
        Host host;
        start(host, options, payload);
        EXPECT_EQ(host.finish(), 0) << host.output;
        reapChildren();
        return host.resultLine();
    }

    InstallerMutexCleanup cleanup_;
    std::unique_ptr<OruSandbox> sandbox_;
};

TEST_F(EndToEndTest, FreshThenUpdateRoads)
{
    std::string result = run({"--actions", "button", "--authorize", "yes"});
    EXPECT_NE(result.find("first=DBSettingPane panes=DBSettingPane ended=finished installed-before=no mutex=created "
                          "mutex-lock=held mutex-lock=released mutex=removed launch=showSettings login-item=\"added " +
                          sandbox_->autostartEntry() + "\""), std::string::npos) << result;
    EXPECT_FALSE(exists(kInstallerMutexPath));
    // The autostart entry is a valid desktop entry that starts the application.
    std::string entry = OruSandbox::readFile(sandbox_->autostartEntry());
    EXPECT_NE(entry.find("[Desktop Entry]\nType=Application\nName=Ombrix\nExec=" + sandbox_->execLine() + "\n"),
              std::string::npos) << entry;
    ASSERT_EQ(::access("/usr/bin/desktop-file-validate", X_OK), 0) << "install desktop-file-utils";
    EXPECT_EQ(std::system(("/usr/bin/desktop-file-validate '" + sandbox_->autostartEntry() + "'").c_str()), 0);

    result = run({"--actions", "continue", "--authorize", "yes"});
    EXPECT_NE(result.find("first=LaunchAppPane panes=LaunchAppPane ended=finished installed-before=yes"),
              std::string::npos) << result;
    EXPECT_NE(result.find("launch=\"(no arguments)\""), std::string::npos) << result;
    // Command+Shift+Control while loading force the settings pane on an update too.
    result = run({"--actions", "continue", "--modifiers", "command,shift,control"});
    EXPECT_NE(result.find("first=DBSettingPane"), std::string::npos) << result;
    EXPECT_NE(result.find("login-item=refused"), std::string::npos) << result; // unattended: no authorization
    EXPECT_EQ(sandbox_->recordedLaunches(),
              (Lines{"[\"showSettings\"] new-session", "[] new-session", "[\"reconstructDatabase\"] new-session"}));
}

TEST_F(EndToEndTest, MutexIsHeldFromLoadingUntilAPaneIsEnteredAndCtrlCThereStartsTheApplication)
{
    Host host;
    start(host, {"--interactive", "--authorize", "yes"});
    ASSERT_TRUE(host.readUntil("choice> ")) << host.output; // the installation page
    struct stat st;
    ASSERT_EQ(::lstat(kInstallerMutexPath, &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_size == 0);
    {
        LockProbe probe(cleanup_);
        EXPECT_EQ(probe.tryLock(), XPERR_SYNC_TIMEOUT); // the installer holds it
        host.send("c\n");
        ASSERT_TRUE(host.readUntil("choice> ", 2)) << host.output; // the settings pane
        EXPECT_FALSE(exists(kInstallerMutexPath));
        EXPECT_EQ(probe.tryLock(), XPERR_OK); // given back with the file
        ::kill(host.pid, SIGINT);             // quitting while the pane is shown starts the application
        EXPECT_EQ(host.finish(), 128 + SIGINT);
        EXPECT_EQ(probe.tryLock(), XPERR_OK);
    }
    reapChildren();
    EXPECT_NE(host.resultLine().find("ended=interrupted"), std::string::npos) << host.output;
    EXPECT_EQ(sandbox_->recordedLaunches(), Lines{"[\"reconstructDatabase\"] new-session"});
    EXPECT_TRUE(exists(sandbox_->autostartEntry()));
}

TEST_F(EndToEndTest, KilledInstallerLeavesTheFileWhichTheNextRunReuses)
{
    {
        Host host;
        start(host, {"--interactive"});
        ASSERT_TRUE(host.readUntil("choice> "));
        ASSERT_TRUE(exists(kInstallerMutexPath));
        LockProbe probe(cleanup_); // gone before the next run: reaping waits for every child
        EXPECT_EQ(probe.tryLock(), XPERR_SYNC_TIMEOUT);
        ::kill(host.pid, SIGKILL); // no terminate notification: the file stays
        EXPECT_EQ(host.finish(), 128 + SIGKILL);
        EXPECT_TRUE(exists(kInstallerMutexPath));
        EXPECT_EQ(probe.tryLock(), XPERR_OK); // the kernel gave the lock back when the process ended
    }
    std::string result = run({"--actions", "continue"});
    EXPECT_NE(result.find("mutex=reused mutex-lock=held mutex-lock=released mutex=removed"), std::string::npos) << result;
    EXPECT_FALSE(exists(kInstallerMutexPath));
}

TEST_F(EndToEndTest, LinksPlantedAtTheMutexAndAutostartPathsAreNeverFollowed)
{
    std::string precious = sandbox_->root() + "/precious";
    ASSERT_TRUE(OruSandbox::writeFile(precious, "keep me\n"));
    ASSERT_EQ(::symlink(precious.c_str(), kInstallerMutexPath), 0);
    ASSERT_EQ(::symlink(precious.c_str(), sandbox_->autostartEntry().c_str()), 0);
    std::string result = run({"--actions", "continue", "--authorize", "yes"});
    struct stat st;
    bool mutexLinkIntact = ::lstat(kInstallerMutexPath, &st) == 0 && S_ISLNK(st.st_mode);
    ::unlink(kInstallerMutexPath);
    EXPECT_TRUE(mutexLinkIntact);
    EXPECT_NE(result.find("mutex=\"not-taken: a symbolic link is there\""), std::string::npos) << result;
    EXPECT_EQ(result.find("mutex-lock="), std::string::npos) << result; // no lock, no wait
    EXPECT_NE(result.find("login-item=\"failed: " + sandbox_->autostartEntry() + " is a symbolic link; left as it is\""),
              std::string::npos) << result;
    ASSERT_EQ(::lstat(sandbox_->autostartEntry().c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(OruSandbox::readFile(precious), "keep me\n");
    EXPECT_EQ(sandbox_->recordedLaunches(), Lines{"[\"reconstructDatabase\"] new-session"}); // started all the same
}

TEST_F(EndToEndTest, BrokenDesktopEntriesGiveClearOutcomes)
{
    // No Exec: the application counts as installed but cannot be started or registered.
    const std::string head = "[Desktop Entry]\nType=Application\nName=Ombrix\n", entry = sandbox_->installedEntry();
    ASSERT_TRUE(OruSandbox::writeFile(entry, head));
    std::string result = run({"--actions", "continue", "--authorize", "yes"}, false);
    EXPECT_NE(result.find("installed-before=yes"), std::string::npos) << result;
    EXPECT_NE(result.find("launch=\"failed ((no arguments)): " + entry + " has no Exec line\" "
                          "login-item=\"failed: " + entry + " has no Exec line\""), std::string::npos) << result;
    EXPECT_FALSE(exists(sandbox_->autostartEntry()));
    // An Exec line that cannot be unquoted.
    ASSERT_TRUE(OruSandbox::writeFile(entry, head + "Exec=\"" ORU_SAMPLE_APP_PATH " --x\n"));
    result = run({"--actions", "continue"}, false);
    EXPECT_NE(result.find("launch=\"failed ((no arguments)): " + entry + ": unterminated quote in Exec\""),
              std::string::npos) << result;
    EXPECT_TRUE(sandbox_->recordedLaunches().empty());
}

} // namespace
