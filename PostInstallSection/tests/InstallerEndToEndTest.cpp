// installer-host with the plug-in, end to end on a sandbox desktop: the roads, what the sample
// application recorded, the autostart entry, the installer mutex's life as other processes see
// it, and bad input on the way.
// ctest-resource-lock: installer-mutex
#include "HostProcess.h"
#include "MutexTestSupport.h"

#include <OruSandbox.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>

#include <cerrno>
#include <memory>

namespace {

bool exists(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

class EndToEndTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // The applications the host starts outlive it in their own sessions; as subreaper we
        // collect them and know when every start has been recorded.
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    }
    void SetUp() override
    {
        std::string error;
        sandbox_ = std::make_unique<OruSandbox>(ORU_SAMPLE_APP_PATH, std::vector<std::string>{}, &error);
        ASSERT_TRUE(error.empty()) << error;
        sandbox_->applyToProcess();
        ::setenv("LANGUAGE", "en", 1);
        ASSERT_FALSE(exists(kInstallerMutexPath)) << "a mutex file is left over from elsewhere";
    }
    void TearDown() override { reap(); }

    static void reap()
    {
        while (::waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
        }
    }
    std::vector<std::string> hostArgs(std::vector<std::string> options, bool payload = true) const
    {
        if (payload)
            options.insert(options.end(), {"--install", sandbox_->payloadEntry() + "=" + sandbox_->installedEntry()});
        options.push_back(ORU_BUNDLE_PATH);
        return options;
    }
    // Runs the host to its end and collects the applications it started.
    int run(const std::vector<std::string>& args, std::string& result, std::string* output = nullptr)
    {
        Host host;
        host.start(args);
        int status = host.finish();
        reap();
        result = host.resultLine();
        if (output)
            *output = host.output;
        return status;
    }

    InstallerMutexCleanup cleanup_;
    std::unique_ptr<OruSandbox> sandbox_;
};

TEST_F(EndToEndTest, FreshThenUpdateRoads)
{
    std::string result, output;
    ASSERT_EQ(run(hostArgs({"--actions", "button", "--authorize", "yes"}), result, &output), 0) << output;
    EXPECT_NE(result.find("first=DBSettingPane panes=DBSettingPane ended=finished installed-before=no mutex=created "
                          "mutex-lock=held mutex-lock=released mutex=removed launch=showSettings login-item=\"added " +
                          sandbox_->autostartEntry() + "\""),
              std::string::npos) << result;
    EXPECT_NE(output.find("Ombrix Database Settings    [DBSettingPane]"), std::string::npos);
    EXPECT_NE(output.find("Right requested: \"system.global-login-items.\""), std::string::npos);
    EXPECT_EQ(sandbox_->recordedLaunches(), (std::vector<std::string>{"[\"showSettings\"] new-session"}));
    EXPECT_FALSE(exists(kInstallerMutexPath));

    // The autostart entry is a valid desktop entry that starts the application.
    std::string entry = OruSandbox::readFile(sandbox_->autostartEntry());
    EXPECT_NE(entry.find("[Desktop Entry]\nType=Application\nName=Ombrix\nExec=" + sandbox_->execLine() + "\n"),
              std::string::npos) << entry;
    ASSERT_EQ(::access("/usr/bin/desktop-file-validate", X_OK), 0) << "install desktop-file-utils";
    std::string validateCommand = "/usr/bin/desktop-file-validate '" + sandbox_->autostartEntry() + "'";
    EXPECT_EQ(std::system(validateCommand.c_str()), 0);

    ASSERT_EQ(run(hostArgs({"--actions", "continue", "--authorize", "yes"}), result), 0);
    EXPECT_NE(result.find("first=LaunchAppPane panes=LaunchAppPane ended=finished installed-before=yes"),
              std::string::npos) << result;
    EXPECT_NE(result.find("launch=\"(no arguments)\""), std::string::npos) << result;
    EXPECT_EQ(sandbox_->recordedLaunches().back(), "[] new-session");

    // Command+Shift+Control while loading force the settings pane on an update too.
    ASSERT_EQ(run(hostArgs({"--actions", "continue", "--modifiers", "command,shift,control"}), result), 0);
    EXPECT_NE(result.find("first=DBSettingPane"), std::string::npos) << result;
    EXPECT_NE(result.find("login-item=refused"), std::string::npos) << result; // unattended: no authorization
    EXPECT_EQ(sandbox_->recordedLaunches(),
              (std::vector<std::string>{"[\"showSettings\"] new-session", "[] new-session", "[\"reconstructDatabase\"] new-session"}));
}

TEST_F(EndToEndTest, MutexIsHeldFromLoadingUntilAPaneIsEntered)
{
    Host host;
    host.start(hostArgs({"--interactive", "--authorize", "no"}));
    ASSERT_TRUE(host.readUntil("choice> ")) << host.output; // the installation page
    ASSERT_TRUE(exists(kInstallerMutexPath));
    cleanup_.note();
    struct stat st;
    ASSERT_EQ(::lstat(kInstallerMutexPath, &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, 0);
#if ORU_HAVE_XPMUTEX
    LockProbe probe;
    EXPECT_EQ(probe.tryLock(), XPERR_SYNC_TIMEOUT); // the installer holds it
#endif
    host.send("c\n");
    ASSERT_TRUE(host.readUntil("choice> ", 2)) << host.output; // the settings pane
    EXPECT_FALSE(exists(kInstallerMutexPath));
#if ORU_HAVE_XPMUTEX
    EXPECT_EQ(probe.tryLock(), XPERR_OK); // given back with the file
#endif
    host.send("q\n"); // quitting while the pane is shown starts the application
    EXPECT_EQ(host.finish(), 0);
#if ORU_HAVE_XPMUTEX
    EXPECT_EQ(probe.tryLock(), XPERR_OK);
#endif
}

TEST_F(EndToEndTest, KilledInstallerLeavesTheFileWhichTheNextRunReuses)
{
    {
        Host host;
        host.start(hostArgs({"--interactive"}));
        ASSERT_TRUE(host.readUntil("choice> "));
        ASSERT_TRUE(exists(kInstallerMutexPath));
        cleanup_.note();
#if ORU_HAVE_XPMUTEX
        LockProbe probe; // gone before the next run: reaping waits for every child
        EXPECT_EQ(probe.tryLock(), XPERR_SYNC_TIMEOUT);
#endif
        ::kill(host.pid, SIGKILL); // no terminate notification: the file stays
        EXPECT_EQ(host.finish(), 128 + SIGKILL);
        EXPECT_TRUE(exists(kInstallerMutexPath));
#if ORU_HAVE_XPMUTEX
        EXPECT_EQ(probe.tryLock(), XPERR_OK); // the kernel gave the lock back when the process ended
#endif
    }

    std::string result;
    ASSERT_EQ(run(hostArgs({"--actions", "continue"}), result), 0);
    EXPECT_NE(result.find("mutex=reused mutex-lock=held mutex-lock=released mutex=removed"), std::string::npos) << result;
    EXPECT_FALSE(exists(kInstallerMutexPath));
}

TEST_F(EndToEndTest, CtrlCOnTheSettingsPaneStartsTheApplicationOnce)
{
    Host host;
    host.start(hostArgs({"--interactive", "--authorize", "yes"}));
    ASSERT_TRUE(host.readUntil("choice> "));
    host.send("c\n");
    ASSERT_TRUE(host.readUntil("choice> ", 2));
    ::kill(host.pid, SIGINT);
    EXPECT_EQ(host.finish(), 130);
    reap();
    EXPECT_NE(host.resultLine().find("ended=interrupted"), std::string::npos) << host.output;
    EXPECT_EQ(sandbox_->recordedLaunches(), (std::vector<std::string>{"[\"reconstructDatabase\"] new-session"}));
    EXPECT_TRUE(exists(sandbox_->autostartEntry()));
    EXPECT_FALSE(exists(kInstallerMutexPath));
}

TEST_F(EndToEndTest, LinksPlantedAtTheMutexAndAutostartPathsAreNeverFollowed)
{
    std::string precious = sandbox_->root() + "/precious";
    ASSERT_TRUE(OruSandbox::writeFile(precious, "keep me\n"));
    ASSERT_EQ(::symlink(precious.c_str(), kInstallerMutexPath), 0);
    ASSERT_EQ(::symlink(precious.c_str(), sandbox_->autostartEntry().c_str()), 0);
    std::string result;
    int status = run(hostArgs({"--actions", "continue", "--authorize", "yes"}), result);
    struct stat st;
    bool mutexLinkIntact = ::lstat(kInstallerMutexPath, &st) == 0 && S_ISLNK(st.st_mode);
    ::unlink(kInstallerMutexPath);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(mutexLinkIntact);
    EXPECT_NE(result.find("mutex=\"not-taken: a symbolic link is there\""), std::string::npos) << result;
    EXPECT_EQ(result.find("mutex-lock="), std::string::npos) << result; // no lock, no wait
    EXPECT_NE(result.find("login-item=\"failed: " + sandbox_->autostartEntry() + " is a symbolic link; left as it is\""),
              std::string::npos) << result;
    ASSERT_EQ(::lstat(sandbox_->autostartEntry().c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(OruSandbox::readFile(precious), "keep me\n");
    // The application was started all the same.
    EXPECT_EQ(sandbox_->recordedLaunches(), (std::vector<std::string>{"[\"reconstructDatabase\"] new-session"}));
}

TEST_F(EndToEndTest, BrokenDesktopEntriesAndJunkSettingsGiveClearOutcomes)
{
    // No Exec: the application counts as installed but cannot be started or registered.
    ASSERT_TRUE(OruSandbox::writeFile(sandbox_->installedEntry(), "[Desktop Entry]\nType=Application\nName=Ombrix\n"));
    std::string result;
    ASSERT_EQ(run(hostArgs({"--actions", "continue", "--authorize", "yes"}, false), result), 0);
    EXPECT_NE(result.find("installed-before=yes"), std::string::npos) << result;
    EXPECT_NE(result.find("launch=\"failed ((no arguments)): " + sandbox_->installedEntry() + " has no Exec line\""),
              std::string::npos) << result;
    EXPECT_NE(result.find("login-item=\"failed: " + sandbox_->installedEntry() + " has no Exec line\""),
              std::string::npos) << result;
    EXPECT_FALSE(exists(sandbox_->autostartEntry()));

    // An Exec line that cannot be unquoted.
    ASSERT_TRUE(OruSandbox::writeFile(sandbox_->installedEntry(),
                                      "[Desktop Entry]\nType=Application\nName=Ombrix\nExec=\"" ORU_SAMPLE_APP_PATH " --x\n"));
    ASSERT_EQ(run(hostArgs({"--actions", "continue"}, false), result), 0);
    EXPECT_NE(result.find("launch=\"failed ((no arguments)): " + sandbox_->installedEntry() + ": unterminated quote in Exec\""),
              std::string::npos) << result;

    // Junk in the settings file: the good lines still count.
    ASSERT_TRUE(OruSandbox::writeFile(sandbox_->settingsFile(), "garbage\x01\n[Settings]\nnot a pair\nPhotoHomePath=/stored/photos\n"));
    std::string output;
    ASSERT_EQ(run(hostArgs({"--actions", "continue", "--modifiers", "command,shift,control"}), result, &output), 0);
    EXPECT_NE(output.find("/stored/photos"), std::string::npos) << output;
    EXPECT_NE(output.find(sandbox_->home() + "/Documents/Ombrix"), std::string::npos) << output;
    EXPECT_EQ(sandbox_->recordedLaunches(), (std::vector<std::string>{"[\"reconstructDatabase\"] new-session"}));
}

} // namespace
