// One answers file per road drives installer-host with the plug-in on a sandbox desktop, in a
// private lock space: the choices of the file are those the plug-in acts on.
// ctest-resource-lock: installer-mutex
#include "HostProcess.h"
#include "MutexTestSupport.h"

#include <gtest/gtest.h>

#include <sys/prctl.h>

#include <fstream>
#include <memory>

namespace {

class AnswersRoadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::prctl(PR_SET_CHILD_SUBREAPER, 1); // the applications started are collected here
        makeSandbox(sandbox_);
    }
    void TearDown() override { reapChildren(); }
    std::string runWithAnswers(const std::string& text)
    {
        std::string path = sandbox_->root() + "/answers.ini";
        std::ofstream(path) << text;
        Host host;
        host.start({"--answers", path, ORU_BUNDLE_PATH}); // no --unattended: the file says it
        space_.notePid(host.pid);
        EXPECT_EQ(host.finish(), 0) << host.output;
        reapChildren();
        return host.output;
    }
    std::string payloadLine() const
    {
        return "[Payload]\nInstall=" + sandbox_->payloadEntry() + "=" + sandbox_->installedEntry() + "\n";
    }

    OruPrivateLockSpace space_;
    std::unique_ptr<OruSandbox> sandbox_;
};

TEST_F(AnswersRoadTest, AFreshRoadChangesFoldersAndAllowsTheLoginItem)
{
    std::string output = runWithAnswers("[Road]\nChangeFolders=true\n[Authorization]\nAnswer=yes\n" + payloadLine());
    expectHas(output, {"first=DBSettingPane panes=DBSettingPane ended=finished installed-before=no",
                       "launch=showSettings login-item=\"added " + sandbox_->autostartEntry() + "\""});
}

TEST_F(AnswersRoadTest, AFreshRoadWithoutChangingFoldersAndAnUpdateThatRefusesTheLoginItem)
{
    std::string fresh = runWithAnswers("[Road]\nChangeFolders=false\n[Authorization]\nAnswer=yes\n" + payloadLine());
    expectHas(fresh, {"first=DBSettingPane panes=DBSettingPane ended=finished", "launch=reconstructDatabase"});
    std::filesystem::remove(sandbox_->autostartEntry());
    std::string update = runWithAnswers("[Road]\nChangeFolders=true\n[Authorization]\nAnswer=no\n" + payloadLine());
    // No button on the update's launch pane: ChangeFolders has nothing to press there.
    expectHas(update, {"first=LaunchAppPane panes=LaunchAppPane ended=finished", "login-item=refused"});
}

} // namespace
