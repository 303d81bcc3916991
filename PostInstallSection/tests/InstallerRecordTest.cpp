// The record of a run: installer-host with the plug-in on a sandbox desktop, in a private lock
// space (its own mount and IPC namespace), writing to a systemd-journald of the test's own (tmpfs
// over /run/systemd, /run/log and /var/log/journal, so the machine's journal is neither read nor
// written), read back with journalctl; and, where no journal listens, the plain log file.
#include "HostProcess.h"
#include "MutexTestSupport.h"

#include <sys/mount.h>
#include <sys/prctl.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>

namespace {

using Lines = std::vector<std::string>;
using Entry = std::map<std::string, std::string>;

const char* const kJournald = "/lib/systemd/systemd-journald";
const char* const kJournalctl = "/usr/bin/journalctl";

// journalctl's export format: NAME=value lines, a blank line after each entry. (A value that is
// not printable comes as NAME, a length and bytes; the record writes none.)
std::vector<Entry> parseExport(const std::string& text)
{
    std::vector<Entry> entries(1);
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        if (line.empty()) {
            if (!entries.back().empty())
                entries.emplace_back();
            continue;
        }
        size_t equals = line.find('=');
        if (equals != std::string::npos)
            entries.back()[line.substr(0, equals)] = line.substr(equals + 1);
    }
    if (entries.back().empty())
        entries.pop_back();
    return entries;
}

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
        space_.notePid(journald_.pid);
        for (int i = 0; i < 100 && !exists("/run/systemd/journal/socket"); ++i)
            ::usleep(50 * 1000);
        ASSERT_TRUE(exists("/run/systemd/journal/socket")) << "systemd-journald did not listen";
    }
    // The journal's entries of installer-host, once one of them is the end of a run (the
    // journal takes them in as they come, after the host may have ended).
    std::vector<Entry> readJournal()
    {
        std::vector<Entry> entries;
        for (int i = 0; i < 50; ++i) {
            Host reader;
            reader.program = kJournalctl;
            reader.start({"-t", "installer-host", "-o", "export", "--no-pager"});
            EXPECT_EQ(reader.finish(), 0) << reader.output;
            entries = parseExport(reader.output);
            for (const Entry& e : entries)
                if (e.count("INSTALLER_STEP") && e.at("INSTALLER_STEP") == "end")
                    return entries;
            ::usleep(100 * 1000);
        }
        return entries;
    }
    // A fresh road on the sandbox, Continue on the settings pane, the right granted by the host:
    // every kind of step once.
    std::string runFreshRoad(int status = 0)
    {
        Host host;
        host.start({"--actions", "button", "--authorize", "yes", "--install",
                    sandbox_->payloadEntry() + "=" + sandbox_->installedEntry(), ORU_BUNDLE_PATH});
        space_.notePid(host.pid);
        EXPECT_EQ(host.finish(), status) << host.output;
        // The application it started (not reaped here: journald is a child too, and runs on).
        EXPECT_EQ(sandbox_->waitForLaunches(1, 10).size(), 1u);
        return host.output;
    }

    OruPrivateLockSpace space_;
    std::unique_ptr<OruSandbox> sandbox_;
    PrivateMounts mounts_;
    Host journald_;
};

// Each kind of step has its own message id and fields, and one run id ties them together.
TEST_F(InstallerRecordTest, EachStepOfARunIsReadBackFromTheJournalWithItsFields)
{
    startJournal();
    std::string output = runFreshRoad();
    std::vector<Entry> entries = readJournal();
    ASSERT_FALSE(entries.empty()) << output;
    const std::string run = entries.front()["INSTALLER_RUN"];
    EXPECT_EQ(run.size(), 32u);
    expectHas(output, {"This run is recorded in the system journal: journalctl -t installer-host INSTALLER_RUN=" + run});
    const std::string payload = OruSandbox::readFile(sandbox_->installedEntry());
    struct Step {
        const char* step;
        const char* messageId;
        Entry fields;
    } steps[] = {
        {"road", "4613f095bb8d451287932df28ddd308b",
         {{"INSTALLER_HOST", "installer-host"}, {"INSTALLER_SECTION", "PostInstallSection"},
          {"INSTALLER_FIRST_PANE", "DBSettingPane"}, {"INSTALLER_PAYLOADS", "1"}, {"INSTALLER_BUNDLE", ORU_BUNDLE_PATH}}},
        {"file", "bdfc419584354f349e1c77edd6aa29c5",
         {{"INSTALLER_PATH", sandbox_->installedEntry()}, {"INSTALLER_SIZE", std::to_string(payload.size())},
          {"INSTALLER_SHA256", sha256Of(payload)}, {"INSTALLER_VIA", "self"}}},
        {"right", "2f1602c508444b42b0bf419a70095361",
         {{"INSTALLER_RIGHT", "system.global-login-items."}, {"INSTALLER_ANSWER", "granted"}}},
        {"login-item", "5b1a56a8ad434d628bd4e457fe813f20",
         {{"INSTALLER_OUTCOME", "added"}, {"INSTALLER_DETAIL", "added " + sandbox_->autostartEntry()}}},
        {"launch", "cb73bc97595749fdaa1b73c54685112d", {{"INSTALLER_OUTCOME", "started"}, {"INSTALLER_DETAIL", "showSettings"}}},
        {"end", "4aca77d50e234b788a69dd919908e746",
         {{"INSTALLER_ENDING", "finished"}, {"INSTALLER_INSTALLATION", "complete"}, {"INSTALLER_PANES", "DBSettingPane"},
          {"PRIORITY", "6"}}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.step);
        std::vector<const Entry*> found;
        for (const Entry& e : entries)
            if (e.count("INSTALLER_STEP") && e.at("INSTALLER_STEP") == step.step)
                found.push_back(&e);
        ASSERT_EQ(found.size(), 1u) << output;
        Entry e = *found.front();
        EXPECT_EQ(e["MESSAGE_ID"], step.messageId);
        EXPECT_EQ(e["SYSLOG_IDENTIFIER"], "installer-host");
        EXPECT_EQ(e["INSTALLER_RUN"], run);
        EXPECT_FALSE(e["MESSAGE"].empty());
        for (const auto& field : step.fields)
            EXPECT_EQ(e[field.first], field.second) << field.first;
    }
    // Only these steps, and nothing of the payload's content (its Exec line) in any of them.
    EXPECT_EQ(entries.size(), std::size(steps));
    for (const Entry& e : entries)
        for (const auto& field : e)
            EXPECT_EQ(field.second.find("Exec="), std::string::npos) << field.first;
}

// A payload refused before copying (no room on its volume) is a step of its own, and the run's
// end says the installation was refused, as a warning.
TEST_F(InstallerRecordTest, ARefusalBeforeCopyingIsRecordedWithItsReason)
{
    startJournal();
    const std::string applications = std::filesystem::path(sandbox_->installedEntry()).parent_path().string();
    std::filesystem::create_directories(applications);
    mounts_.tmpfs(applications, "size=4m"); // less than the 16 MiB margin
    Host host;
    host.start({"--actions", "continue,continue", "--authorize", "no", "--install",
                sandbox_->payloadEntry() + "=" + sandbox_->installedEntry(), ORU_BUNDLE_PATH});
    space_.notePid(host.pid);
    EXPECT_EQ(host.finish(), 8) << host.output; // the status of a refused installation
    std::map<std::string, Entry> byStep;
    for (const Entry& e : readJournal())
        byStep[e.count("INSTALLER_STEP") ? e.at("INSTALLER_STEP") : ""] = e;
    ASSERT_EQ(byStep.count("check"), 1u) << host.output;
    EXPECT_EQ(byStep["check"]["MESSAGE_ID"], "fadf4d0fd13a42f883c8fabd7ca8649a");
    EXPECT_EQ(byStep["check"]["INSTALLER_PATH"], sandbox_->installedEntry());
    EXPECT_EQ(byStep["check"]["INSTALLER_REASON"].rfind("not enough free space in " + applications + ":", 0), 0u)
        << byStep["check"]["INSTALLER_REASON"];
    EXPECT_EQ(byStep["check"]["PRIORITY"], "4");
    EXPECT_EQ(byStep["end"]["INSTALLER_INSTALLATION"], "refused");
    EXPECT_EQ(byStep["end"]["PRIORITY"], "4");
    EXPECT_EQ(byStep.count("file"), 0u);
}

// Without a journal, root's run goes to /var/log/installer-host.log: one line per step, with the
// same fields, and the summary says where.
TEST_F(InstallerRecordTest, WithoutAJournalTheRunGoesToThePlainLogFile)
{
    mounts_.tmpfs("/var/log", "mode=0755,size=4m");
    std::string output = runFreshRoad();
    const std::string log = "/var/log/installer-host.log";
    struct stat st;
    ASSERT_EQ(::lstat(log.c_str(), &st), 0) << output;
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    std::string text = readAll(log);
    size_t at = text.find("INSTALLER_RUN=");
    ASSERT_NE(at, std::string::npos) << text;
    const std::string run = text.substr(at + 14, 32);
    expectHas(output, {"This run is recorded in " + log + " (run " + run + ")."});
    EXPECT_EQ(countOf(text, "\n"), 6u) << text;
    EXPECT_EQ(countOf(text, "INSTALLER_RUN=" + run), 6u) << text;
    expectHas(text, {"installer-host[", "MESSAGE_ID=4613f095bb8d451287932df28ddd308b",
                     "MESSAGE_ID=bdfc419584354f349e1c77edd6aa29c5 INSTALLER_RUN=" + run + " INSTALLER_STEP=file INSTALLER_PATH=" +
                         sandbox_->installedEntry(),
                     "INSTALLER_SHA256=" + sha256Of(OruSandbox::readFile(sandbox_->installedEntry())),
                     "INSTALLER_STEP=right INSTALLER_RIGHT=system.global-login-items. INSTALLER_ANSWER=granted",
                     "INSTALLER_STEP=login-item INSTALLER_OUTCOME=added", "INSTALLER_STEP=launch INSTALLER_OUTCOME=started",
                     "INSTALLER_STEP=end INSTALLER_ENDING=finished INSTALLER_INSTALLATION=complete"});
}

// A link planted where the log file goes is not followed: its target stays as it was, and the
// installation goes on without its record.
TEST_F(InstallerRecordTest, ALinkPlantedAsTheLogFileIsNotFollowed)
{
    mounts_.tmpfs("/var/log", "mode=0755,size=4m");
    ASSERT_TRUE(OruSandbox::writeFile("/var/log/target", "untouched\n"));
    ASSERT_EQ(::symlink("/var/log/target", "/var/log/installer-host.log"), 0);
    std::string output = runFreshRoad();
    EXPECT_EQ(readAll("/var/log/target"), "untouched\n");
    struct stat st;
    EXPECT_TRUE(::lstat("/var/log/installer-host.log", &st) == 0 && S_ISLNK(st.st_mode));
    EXPECT_TRUE(exists(sandbox_->installedEntry())) << output;
    expectHas(output, {"ended=finished"});
}

} // namespace
