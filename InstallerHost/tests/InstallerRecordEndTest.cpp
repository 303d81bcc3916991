// How the record of a run says it ended, for each way a run ends: installer-host against the
// recording plug-in, in a mount namespace of the test's own with no journal (tmpfs over
// /run/systemd) and a private /var/log, so the record is root's plain log file there.
#include "HostProcess.h"

#include <sched.h>
#include <sys/mount.h>

#include <cstring>

namespace {

class InstallerRecordEndTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(folder_.path.empty());
        ASSERT_EQ(::unshare(CLONE_NEWNS), 0) << "the record's tests need a mount namespace: " << std::strerror(errno);
        ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << std::strerror(errno);
        for (const char* at : {"/run/systemd", "/var/log"}) {
            ASSERT_EQ(::mount("record-end-test", at, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=4m"), 0)
                << at << ": " << std::strerror(errno);
            mounts_.push_back(at);
        }
        ::unsetenv("INSTALLER_HOST_RECORD"); // the suite's setting for every other test
    }
    void TearDown() override
    {
        for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it)
            ::umount2(it->c_str(), MNT_DETACH);
    }

    TempFolder folder_{"record-end-test"};
    std::vector<std::string> mounts_;
};

TEST_F(InstallerRecordEndTest, TheEndSaysHowTheRunEndedAndWhatBecameOfTheInstallation)
{
    const std::string payload = folder_.path + "/payload";
    std::ofstream(payload) << "payload\n";
    const std::string install = payload + "=" + folder_.path + "/installed";
    struct {
        std::vector<std::string> args;
        std::vector<std::string> env;
        int status;
        std::string end;
    } cases[] = {
        {{"--install", install, RECORDING_BUNDLE}, {"RECORDING_DECLINE=1"}, 4,
         "INSTALLER_ENDING=declined INSTALLER_INSTALLATION=not-started INSTALLER_PANES=none"},
        {{"--actions", "quit", "--install", install, RECORDING_BUNDLE}, {}, 0,
         "INSTALLER_ENDING=quit INSTALLER_INSTALLATION=complete INSTALLER_PANES=A"},
        {{"--actions", "continue,continue,continue,continue", RECORDING_BUNDLE}, {}, 0,
         "INSTALLER_ENDING=finished INSTALLER_INSTALLATION=nothing INSTALLER_PANES=A,B"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.end);
        ::unlink("/var/log/installer-host.log");
        Host host;
        host.start(c.args, c.env);
        EXPECT_EQ(host.finish(), c.status) << host.output;
        std::string log = readAll("/var/log/installer-host.log");
        expectHas(log, {"INSTALLER_STEP=end " + c.end + "\n"});
        EXPECT_EQ(countOf(log, "INSTALLER_STEP=end "), 1u) << log;
    }
}

} // namespace
