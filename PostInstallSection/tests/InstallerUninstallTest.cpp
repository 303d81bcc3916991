// --uninstall after a real installation on a sandbox desktop, in a private lock space: what the
// installer placed goes, what it did not place (or what was changed since) stays and is named,
// and a link planted by another user where an installed file was is removed, never followed.
// ctest-resource-lock: installer-mutex
#include "HostProcess.h"
#include "MutexTestSupport.h"

#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <sys/stat.h>

#include <memory>

namespace {

using Lines = std::vector<std::string>;

class UninstallTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        makeSandbox(sandbox_);
        // A folder payload beside the desktop entry: an application of two files in two folders
        // and a link.
        app_ = sandbox_->root() + "/payload/Ombrix";
        std::filesystem::create_directories(app_ + "/lib");
        ASSERT_TRUE(OruSandbox::writeFile(app_ + "/ombrix", "#!/bin/sh\n"));
        ASSERT_TRUE(OruSandbox::writeFile(app_ + "/lib/libombrix.so", "library\n"));
        ASSERT_EQ(::symlink("lib/libombrix.so", (app_ + "/libombrix.so").c_str()), 0);
        installed_ = sandbox_->root() + "/opt/Ombrix";
        std::filesystem::create_directories(sandbox_->root() + "/opt");
    }
    void TearDown() override { reapChildren(); }
    std::string run(Lines args, const std::string& input = std::string())
    {
        Host host;
        args.push_back(ORU_BUNDLE_PATH);
        host.start(args);
        space_.notePid(host.pid);
        if (!input.empty())
            host.send(input);
        EXPECT_EQ(host.finish(), 0) << host.output;
        reapChildren();
        return host.output;
    }
    void install()
    {
        expectHas(run({"--unattended", "--authorize", "yes", "--install", sandbox_->payloadEntry() + "=" + sandbox_->installedEntry(),
                       "--install", app_ + "=" + installed_}),
                  {"login-item=\"added " + sandbox_->autostartEntry() + "\""});
    }
    std::string manifest() const { return sandbox_->dataHome() + "/xp-installer/PostInstallSection.manifest"; }

    OruPrivateLockSpace space_;
    std::unique_ptr<OruSandbox> sandbox_;
    std::string app_, installed_;
};

TEST_F(UninstallTest, RemovesWhatItPlacedKeepsWhatItDidNotAndNamesAChangedFile)
{
    install();
    ASSERT_TRUE(exists(manifest()));
    // The person's own file in the application's folder, and an installed file they changed.
    ASSERT_TRUE(OruSandbox::writeFile(installed_ + "/notes.txt", "mine\n"));
    ASSERT_TRUE(OruSandbox::writeFile(installed_ + "/lib/libombrix.so", "patched\n"));
    // One line for each kind of step: removed, kept as changed, kept as holding other files.
    std::string output = run({"--uninstall", "--unattended"});
    expectHas(output, {"removed " + installed_ + "/ombrix\n",
                       "kept " + installed_ + "/lib/libombrix.so: it was changed after the installation\n",
                       "kept " + installed_ + ": it holds files the installer did not place\n",
                       "installer-host: result: uninstall=done removed=4 kept=3 failed=0\n"});
    for (const std::string& gone : {sandbox_->installedEntry(), sandbox_->autostartEntry(), installed_ + "/ombrix",
                                    installed_ + "/libombrix.so"})
        EXPECT_FALSE(exists(gone)) << gone;
    EXPECT_EQ(OruSandbox::readFile(installed_ + "/notes.txt"), "mine\n");
    EXPECT_EQ(OruSandbox::readFile(installed_ + "/lib/libombrix.so"), "patched\n");
    EXPECT_TRUE(exists(sandbox_->systemDataDir() + "/applications")); // a folder that was there before
    EXPECT_FALSE(exists(manifest()));
}

// A yes then takes all of it, nothing having been added or changed: the folders the installer
// made go once empty. (A folder that was there before stays: the test above.)
TEST_F(UninstallTest, OnATerminalItAsksOnceAndANoRemovesNothing)
{
    install();
    std::string declined = run({"--uninstall", "--interactive"}, "n\n");
    expectHas(declined, {"Nothing was removed.", "uninstall=declined"});
    EXPECT_EQ(countOf(declined, "Remove? [y/N]"), 1u);
    EXPECT_TRUE(exists(installed_ + "/ombrix"));
    expectHas(run({"--uninstall", "--interactive"}, "y\n"), {"uninstall=done removed=7 kept=0 failed=0"});
    EXPECT_FALSE(exists(installed_));
}

// Another user (nobody) who may write the installed folder replaces an installed file with a
// link to a file of root's: the removal, as root, takes the link away and leaves its target.
TEST_F(UninstallTest, ALinkPlantedWhereAnInstalledFileWasIsRemovedNotFollowed)
{
    install();
    std::string precious = sandbox_->root() + "/precious";
    ASSERT_TRUE(OruSandbox::writeFile(precious, "root's\n"));
    ASSERT_EQ(::chmod(installed_.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(sandbox_->root().c_str(), 0755), 0);
    std::string target = installed_ + "/ombrix";
    ASSERT_EQ(xptest::asNobody([&] { return ::unlink(target.c_str()) == 0 && ::symlink(precious.c_str(), target.c_str()) == 0 ? 0 : 1; }), 0);
    expectHas(run({"--uninstall", "--unattended"}),
              {"removed " + target + " (a link where the installer had placed a file; not followed)\n"});
    EXPECT_FALSE(exists(target));
    EXPECT_EQ(OruSandbox::readFile(precious), "root's\n");
}

// The removal's steps go to the installer's record: here the plain log file root's runs use where
// no journal listens (a private, empty /run/systemd and /var/log in this test's namespace).
TEST_F(UninstallTest, TheStepsOfARemovalAreRecorded)
{
    ASSERT_TRUE(space_.isolated()) << space_.note();
    PrivateMounts mounts;
    for (const char* target : {"/run/systemd", "/var/log"})
        ASSERT_NO_FATAL_FAILURE(mounts.tmpfs(target, "mode=0755,size=4m"));
    std::shared_ptr<void> recordOff(nullptr, [](void*) { ::setenv("INSTALLER_HOST_RECORD", "off", 1); });
    install();
    ASSERT_TRUE(OruSandbox::writeFile(installed_ + "/lib/libombrix.so", "patched\n"));
    ::unsetenv("INSTALLER_HOST_RECORD"); // the suite keeps the installers' record off elsewhere
    run({"--uninstall", "--unattended"});
    std::string log = readAll("/var/log/installer-host.log");
    expectHas(log, {"INSTALLER_STEP=removal INSTALLER_PATH=" + installed_ + "/ombrix INSTALLER_OUTCOME=removed",
                    "INSTALLER_STEP=removal INSTALLER_PATH=" + installed_ + "/lib/libombrix.so INSTALLER_OUTCOME=kept",
                    "INSTALLER_STEP=end INSTALLER_ENDING=removal-done INSTALLER_BUNDLE=PostInstallSection INSTALLER_REMOVED=4 "
                    "INSTALLER_KEPT=3 INSTALLER_FAILED=0"});
    EXPECT_EQ(countOf(log, "INSTALLER_STEP=removal "), 7u) << log;
}

// A volume mounted over an installed folder since (here a tmpfs holding a file of the same name
// and content) is not entered: what lies on it stays, the rest goes.
TEST_F(UninstallTest, AVolumeMountedOverAnInstalledFolderIsNotEntered)
{
    ASSERT_TRUE(space_.isolated()) << space_.note();
    install();
    const std::string lib = installed_ + "/lib";
    PrivateMounts mounts;
    ASSERT_NO_FATAL_FAILURE(mounts.tmpfs(lib, "mode=0755,size=1m"));
    ASSERT_TRUE(OruSandbox::writeFile(lib + "/libombrix.so", "library\n"));
    expectHas(run({"--uninstall", "--unattended"}),
              {"kept " + lib + "/libombrix.so: it lies on another volume now\n", "removed " + installed_ + "/ombrix\n"});
    EXPECT_EQ(OruSandbox::readFile(lib + "/libombrix.so"), "library\n");
}

} // namespace
