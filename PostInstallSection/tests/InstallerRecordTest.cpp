// The record of a run: installer-host with the plug-in on a sandbox desktop, in a private lock
// space (its own mount and IPC namespace), writing to a systemd-journald of the test's own (tmpfs
// over /run/systemd, /run/log and /var/log/journal, so the machine's journal is neither read nor
// written), read back with journalctl; and, where no journal listens, the plain log file.
#include "HostProcess.h"
#include "MutexTestSupport.h"

#include <sys/prctl.h>

#include <filesystem>
#include <memory>

namespace {

using Lines = std::vector<std::string>;

const char* const kJournald = "/lib/systemd/systemd-journald";
const char* const kJournalctl = "/usr/bin/journalctl";

class InstallerRecordTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        ASSERT_TRUE(space_.isolated()) << space_.note() << ": the record's tests need a mount namespace of their own";
        // The suite keeps other tests' installers from recording; these are about the record.
        ::unsetenv("INSTALLER_HOST_RECORD");
        makeSandbox(sandbox_);
        // No journal unless a test starts one: its socket folder is the test's own, empty.
        mounts_.tmpfs("/run/systemd", "mode=0755,size=4m");
    }
    void TearDown() override
    {
        journald_.stop(SIGTERM);
        reapChildren();
    }

    // A systemd-journald of this namespace, writing to its own tmpfs.
    void startJournal()
    {
        ASSERT_EQ(::access(kJournald, X_OK), 0) << kJournald << ": install systemd (scripts/deps.sh)";
        mounts_.tmpfs("/run/log", "mode=0755,size=16m");
        if (std::filesystem::is_directory("/var/log/journal"))
            mounts_.tmpfs("/var/log/journal", "mode=2755,size=16m");
        journald_.program = kJournald;
        journald_.discardOutput = true;
        journald_.start({});
        for (int i = 0; i < 100 && !exists("/run/systemd/journal/socket"); ++i)
            ::usleep(50 * 1000);
        ASSERT_TRUE(exists("/run/systemd/journal/socket")) << "systemd-journald did not listen";
    }
    // What journalctl shows of installer-host's entries with `options`.
    std::string journal(Lines options)
    {
        options.insert(options.begin(), {"-t", "installer-host", "--no-pager"});
        Host reader;
        reader.program = kJournalctl;
        reader.start(options);
        EXPECT_EQ(reader.finish(), 0) << reader.output;
        return reader.output;
    }
    // The values of `field` in the entries that have it, one a line in the journal's order, of
    // those `matches` selects (FIELD=value).
    std::string values(const std::string& field, Lines matches = {})
    {
        matches.insert(matches.end(), {"-o", "cat", "--output-fields=" + field});
        return journal(matches);
    }
    // The steps of the run, one a line, once its end is among them: the journal takes the entries
    // in as they come, after the host may have ended.
    std::string steps()
    {
        std::string steps = values("INSTALLER_STEP");
        for (int i = 0; i < 50 && steps.find("end\n") == std::string::npos; ++i) {
            ::usleep(100 * 1000);
            steps = values("INSTALLER_STEP");
        }
        return steps;
    }
    // installer-host on the bundle, installing the application as it goes, on a fresh road with
    // the button on the settings pane and the right granted: every kind of step a finished
    // road has. Its output, once the application it started has recorded its start (not reaped here:
    // journald is a child too, and runs on).
    std::string runHost()
    {
        Host host;
        host.start({"--actions", "button", "--authorize", "yes", "--install",
                    sandbox_->payloadEntry() + "=" + sandbox_->installedEntry(), ORU_BUNDLE_PATH});
        EXPECT_EQ(host.finish(), 0) << host.output;
        EXPECT_EQ(sandbox_->waitForLaunches(1, 10).size(), 1u);
        return host.output;
    }

    OruPrivateLockSpace space_;
    std::unique_ptr<OruSandbox> sandbox_;
    PrivateMounts mounts_;
    Host journald_;
};

// Each step of a run is an entry of its own, all tied by one run id. (Which fields a step
// carries is chosen before the record is written, for the journal and the plain log alike: the
// values are looked at here, the plain log's lines by InstallerRecordEndTest.)
TEST_F(InstallerRecordTest, EachStepOfARunIsReadBackFromTheJournalWithItsFields)
{
    startJournal();
    std::string output = runHost();
    // The button on the settings pane: the launch, then the right asked for the login item.
    ASSERT_EQ(steps(), "road\nfile\nlaunch\nright\nlogin-item\nend\n") << output;
    // The summary names the run, and that id selects every step.
    const std::string run = values("INSTALLER_RUN", {"INSTALLER_STEP=end"}).substr(0, 32);
    expectHas(output, {"This run is recorded in the system journal: journalctl -t installer-host INSTALLER_RUN=" + run + "\n"});
    EXPECT_EQ(values("INSTALLER_STEP", {"INSTALLER_RUN=" + run}), steps());
    // One message id per kind of step, so a reader can select a kind across runs.
    EXPECT_EQ(values("MESSAGE_ID"), "4613f095bb8d451287932df28ddd308b\nbdfc419584354f349e1c77edd6aa29c5\n"
                                    "cb73bc97595749fdaa1b73c54685112d\n2f1602c508444b42b0bf419a70095361\n"
                                    "5b1a56a8ad434d628bd4e457fe813f20\n4aca77d50e234b788a69dd919908e746\n");
    EXPECT_EQ(values("INSTALLER_RIGHT"), "system.global-login-items.\n");
    EXPECT_EQ(values("INSTALLER_DETAIL", {"INSTALLER_STEP=launch"}), "showSettings\n"); // its arguments
    EXPECT_EQ(values("INSTALLER_OUTCOME"), "started\nadded\n"); // the launch, the login item
    EXPECT_EQ(values("INSTALLER_ANSWER"), "granted\n");
    EXPECT_EQ(values("MESSAGE", {"INSTALLER_STEP=end"}), "run finished, installation complete\n"); // what a reader sees
    // Nothing of the payload's content (its Exec line) in any field.
    EXPECT_EQ(journal({"-o", "export"}).find("Exec="), std::string::npos);
}

// A payload refused before copying (no room on its volume) is a step of its own kind.
TEST_F(InstallerRecordTest, ARefusalBeforeCopyingIsRecordedAsACheck)
{
    startJournal();
    const std::string applications = std::filesystem::path(sandbox_->installedEntry()).parent_path().string();
    std::filesystem::create_directories(applications);
    mounts_.tmpfs(applications, "size=4m"); // less than the 16 MiB margin
    Host host;
    host.start({"--actions", "continue,continue", "--install", sandbox_->payloadEntry() + "=" + sandbox_->installedEntry(),
                ORU_BUNDLE_PATH});
    EXPECT_EQ(host.finish(), 8) << host.output; // the status of a refused installation
    ASSERT_EQ(steps(), "road\ncheck\nend\n") << host.output;
    EXPECT_EQ(values("MESSAGE_ID", {"INSTALLER_STEP=check"}), "fadf4d0fd13a42f883c8fabd7ca8649a\n");
}

// Without a journal, root's run goes to /var/log/installer-host.log, which other users may not
// read, and the summary says where. (Its lines: InstallerRecordEndTest.)
TEST_F(InstallerRecordTest, WithoutAJournalTheRunGoesToThePlainLogFile)
{
    mounts_.tmpfs("/var/log", "mode=0755,size=4m");
    std::string output = runHost();
    const std::string log = "/var/log/installer-host.log";
    EXPECT_EQ(xptest::modeOf(log), 0640u) << output;
    expectHas(output, {"This run is recorded in " + log + " (run "});
}

// A link planted where the log file goes is not followed: its target stays as it was, and the
// installation goes on without its record.
TEST_F(InstallerRecordTest, ALinkPlantedAsTheLogFileIsNotFollowed)
{
    mounts_.tmpfs("/var/log", "mode=0755,size=4m");
    ASSERT_TRUE(OruSandbox::writeFile("/var/log/target", "untouched\n"));
    ASSERT_EQ(::symlink("/var/log/target", "/var/log/installer-host.log"), 0);
    runHost(); // ends as usual, the application installed and started
    EXPECT_EQ(readAll("/var/log/target"), "untouched\n");
    EXPECT_TRUE(S_ISLNK(xptest::lstatOf("/var/log/installer-host.log").st_mode));
}

} // namespace
