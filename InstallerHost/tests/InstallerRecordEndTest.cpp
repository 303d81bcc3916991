// How the record of a run says it ended, for each way a run ends: installer-host against the
// recording plug-in, in a mount namespace of the test's own with no journal (tmpfs over
// /run/systemd) and a private /var/log, so the record is root's plain log file there.
#include "HostProcess.h"

namespace {

class InstallerRecordEndTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(folder_.path.empty());
        ASSERT_NO_FATAL_FAILURE(enterPrivateMountNamespace());
        for (const char* at : {"/run/systemd", "/var/log"})
            ASSERT_NO_FATAL_FAILURE(mounts_.tmpfs(at, "mode=0755,size=4m"));
        ::unsetenv("INSTALLER_HOST_RECORD"); // the suite's setting for every other test
    }

    TempFolder folder_{"record-end-test"};
    PrivateMounts mounts_;
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

// A folder's files are each a step of their own, at their places under the destination, with
// their sizes and SHA-256; a link in it is placed as a link and not read (so two file steps).
TEST_F(InstallerRecordEndTest, EachFileOfAFolderIsRecordedWithItsChecksum)
{
    const std::string app = folder_.path + "/App", dest = folder_.path + "/installed/App";
    std::filesystem::create_directories(app + "/lib");
    std::ofstream(app + "/run") << "abc";
    std::ofstream(app + "/lib/data") << "";
    ASSERT_EQ(::symlink("/etc/hostname", (app + "/link").c_str()), 0);
    Host host;
    host.start({"--actions", "quit", "--install", app + "=" + dest, RECORDING_BUNDLE});
    EXPECT_EQ(host.finish(), 0) << host.output;
    std::string log = readAll("/var/log/installer-host.log");
    expectHas(log, {"INSTALLER_STEP=file INSTALLER_PATH=" + dest + "/run INSTALLER_SIZE=3 "
                    "INSTALLER_SHA256=ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad ",
                    "INSTALLER_PATH=" + dest + "/lib/data INSTALLER_SIZE=0 "});
    EXPECT_EQ(countOf(log, "INSTALLER_STEP=file "), 2u) << log;
}

} // namespace
