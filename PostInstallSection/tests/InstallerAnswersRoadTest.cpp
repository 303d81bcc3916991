// An answers file drives installer-host with the plug-in on a sandbox desktop, in a private lock
// space: ChangeFolders=true is the one choice of the file the plug-in's pane answers (its button);
// the file's other keys and its moves are the host's, tried in InstallerAnswersTest.
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

    OruPrivateLockSpace space_;
    std::unique_ptr<OruSandbox> sandbox_;
};

TEST_F(AnswersRoadTest, AFreshRoadChangesFoldersAndAllowsTheLoginItem)
{
    const std::string path = sandbox_->root() + "/answers.ini";
    std::ofstream(path) << "[Road]\nChangeFolders=true\n[Authorization]\nAnswer=yes\n[Payload]\nInstall=" +
                               sandbox_->payloadEntry() + "=" + sandbox_->installedEntry() + "\n";
    Host host;
    host.start({"--answers", path, ORU_BUNDLE_PATH}); // no --unattended: the file says it
    space_.notePid(host.pid);
    EXPECT_EQ(host.finish(), 0) << host.output;
    expectHas(host.output, {"first=DBSettingPane panes=DBSettingPane ended=finished installed-before=no",
                            "launch=showSettings login-item=\"added " + sandbox_->autostartEntry() + "\""});
}

} // namespace
