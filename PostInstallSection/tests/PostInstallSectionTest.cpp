// The plug-in's roads in-process: the bundle loaded and driven through the host's engine on a
// sandbox desktop, with the real installer mutex path in a private lock space per test.
// ctest-resource-lock: installer-mutex
#include "MutexTestSupport.h"
#include "PayloadTreeSupport.h"

#include <InstallerSession.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

namespace {

using Lines = std::vector<std::string>;

// The last activity of that kind.
std::string activity(const std::string& what)
{
    std::string last;
    for (const auto& a : InstallerActivities())
        if (a.first == what)
            last = a.second;
    return last;
}

void useLanguage(const char* language) { ::setenv("LANGUAGE", language, 1), InstallerApplyUserLanguage(); }

class RoadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        makeSandbox(sandbox_, {"Music"});
        useLanguage("en");
        InstallerClearActivities();
        InstallerSetCurrentEventKeyModifiers(0);
        InstallerSetAuthorizationHandler([](const std::string&, const std::string&) { return true; });
        ASSERT_FALSE(exists(kInstallerMutexPath)) << "a mutex file is left over from elsewhere";
    }
    void TearDown() override
    {
        reapChildren();
        InstallerSetAuthorizationHandler(nullptr);
    }

    // A started session on the bundle; `fresh`: the application is installed by the installation
    // step (after shouldLoad), otherwise it is there before.
    std::unique_ptr<InstallerSession> startRoad(bool fresh)
    {
        auto session = std::make_unique<InstallerSession>();
        EXPECT_TRUE(session->loadBundle(ORU_BUNDLE_PATH, nullptr));
        if (fresh)
            session->addPayload(sandbox_->payloadEntry(), sandbox_->installedEntry());
        else
            EXPECT_TRUE(sandbox_->installTargetApp());
        EXPECT_TRUE(session->start());
        return session;
    }
    static void toTheEnd(InstallerSession& session) { for (int i = 0; i < 3; ++i) session.continueOn(); }
    Lines launches()
    {
        reapChildren();
        return sandbox_->recordedLaunches();
    }

    OruPrivateLockSpace space_;
    std::unique_ptr<OruSandbox> sandbox_;
};

// The keys are read as the section loads. (Held in the window, and the update road's launch pane
// to its end: GtkHostTest.AFreshRoadThroughChangeFoldersThenUpdateRoads…; quitting on the launch
// pane starts the application once: InstallerEndToEndTest.MutexIsHeldUntilAPaneIsEntered….)
TEST_F(RoadTest, CommandShiftControlForceTheSettingsPaneTwoKeysDoNotAndQuittingBeforeAPaneClearsTheMark)
{
    const uint32_t cmd = kInstallerCommandKeyMask, shift = kInstallerShiftKeyMask, ctrl = kInstallerControlKeyMask;
    // Option and Caps Lock play no part; two of the three keys are not enough.
    const std::pair<uint32_t, bool> cases[] = {{cmd | shift | ctrl | kInstallerOptionKeyMask | kInstallerCapsLockKeyMask, true},
                                               {cmd | shift | kInstallerOptionKeyMask, false}};
    for (const auto& c : cases) {
        InstallerSetCurrentEventKeyModifiers(c.first);
        auto session = startRoad(false); // the application is installed: an update
        EXPECT_EQ(session->firstPaneClassName(), c.second ? "DBSettingPane" : "LaunchAppPane") << std::hex << c.first;
        session->quit(); // no pane was entered: the terminate notification clears the mark alone
        EXPECT_FALSE(exists(kInstallerMutexPath));
    }
    EXPECT_TRUE(launches().empty());
}

// Stored values are shown as they are (no existence check); junk lines and other groups are
// skipped; missing keys fall back to the user's folders, the application's to Documents/Ombrix.
// Of a file over the 1 MiB cap, what lies beyond it is not read. (The pane's texts, Go Back, and
// the other button's road: GtkHostTest.AFreshRoadThroughChangeFolders…, InstallerEndToEndTest.)
TEST_F(RoadTest, ThePaneShowsStoredFoldersElseTheUsers)
{
    ASSERT_TRUE(OruSandbox::writeFile(sandbox_->settingsFile(),
                                      "[General]\nPhotoHomePath=/wrong/group\nthis line is junk\n=\n[Settings\n"
                                      "[Settings]\n  PhotoHomePath = /stored/photos  \n"
                                      "VideoHomePath=\"/stored/videos \\\"x\\\"\"\n#" + std::string(1 << 20, 'x') +
                                      "\nMusicHomePath=/beyond/the/cap\n"));
    auto session = startRoad(true);
    session->continueOn();
    InstallerPane* pane = session->currentPane();
    ASSERT_NE(pane, nullptr);
    const std::string shown[] = {"/stored/photos", "/stored/videos \"x\"", sandbox_->home() + "/Music",
                                 sandbox_->home() + "/Documents/Ombrix"};
    for (size_t r = 0; r < std::size(shown); ++r) { // under the pane's text, a label and its folder each
        auto* field = dynamic_cast<InstallerTextField*>(pane->rows().at(r + 1).at(1));
        EXPECT_EQ(field ? field->stringValue() : "(not a text field)", shown[r]);
    }
    EXPECT_TRUE(std::filesystem::is_directory(sandbox_->home() + "/Music")); // a standard folder is made
    EXPECT_FALSE(exists(sandbox_->home() + "/Documents/Ombrix"));            // the application's is not
    EXPECT_FALSE(exists("/stored"));
}

TEST_F(RoadTest, TheAllUsersLoginItemComesFromTheSystemEntryTheLaunchFromTheUsersOwn)
{
    // The person's own entry (which they may write, also when root installs for them) starts the
    // application for them; the entry that starts for every user at login is the system's.
    ASSERT_TRUE(OruSandbox::writeFile(sandbox_->dataHome() + "/applications/com.ombrix.Ombrix.desktop",
                                      "[Desktop Entry]\nType=Application\nName=Mine\nExec=" + sandbox_->execLine() +
                                          " from-user-entry\n"));
    toTheEnd(*startRoad(true));
    EXPECT_EQ(launches(), Lines{"[\"from-user-entry\"] new-session"}); // found: an update
    std::string entry = OruSandbox::readFile(sandbox_->autostartEntry());
    EXPECT_NE(entry.find("Name=Ombrix\nExec=" + sandbox_->execLine() + "\n"), std::string::npos) << entry;
    EXPECT_EQ(entry.find("from-user-entry"), std::string::npos) << entry;
}

// Fresh roads whose installed entry cannot be used: without an Exec line, or one the parser
// refuses (which lines, and why, is tried on the parser in OruPlatformTest, and so are the entries
// the lookup does not take, a hidden one among them; the road passes the word on).
TEST_F(RoadTest, AnApplicationWhoseEntryCannotStartItGivesNoLaunchAndNoLoginItemAndSaysWhy)
{
    const std::pair<std::string, const char*> entries[] = {{"", " has no Exec line"},
                                                           {"Exec=\"/opt/ombrix --x\n", ": unterminated quote in Exec"}};
    for (const auto& e : entries) {
        ASSERT_TRUE(OruSandbox::writeFile(sandbox_->payloadEntry(), "[Desktop Entry]\nType=Application\n" + e.first));
        toTheEnd(*startRoad(true));
        EXPECT_EQ(activity("launch"), "failed (reconstructDatabase): " + sandbox_->installedEntry() + e.second);
        EXPECT_EQ(activity("login-item"), "failed: " + sandbox_->installedEntry() + e.second);
        std::filesystem::remove(sandbox_->installedEntry()); // the next road is a fresh one too
    }
}

TEST_F(RoadTest, AnUnprivilegedInstallerGetsNoLoginItemRootInstallingForAUserStartsTheApplicationAsThatUser)
{
    // A whole road as an unprivileged installer: the person grants the right, but the system
    // autostart folder (root's, 0755) is not writable, which counts as a refusal.
    ASSERT_TRUE(sandbox_->installTargetApp());
    ASSERT_EQ(::chmod(sandbox_->root().c_str(), 0755), 0);
    pid_t pid = startAsNobody([] {
        InstallerSession session;
        if (!session.loadBundle(ORU_BUNDLE_PATH, nullptr) || !session.start())
            return 4;
        toTheEnd(session);
        reapChildren(); // the application it started is done before the roads below
        bool refused = activity("login-item").find("is not writable") != std::string::npos;
        return refused && activity("mutex") == "removed" ? 0 : 5;
    });
    space_.notePid(pid);
    EXPECT_EQ(exitStatus(pid), 0);

    // Root for a desktop user: the sandbox is the user's, as a home would be; root installs for
    // that user, whom sudo or pkexec names, or who owns $HOME. Fresh roads from here.
    for (const std::string& path : {sandbox_->installedEntry(), sandbox_->recordFile()})
        std::filesystem::remove(path);
    ASSERT_TRUE(chownTree(sandbox_->root(), xptest::nobodyUid(), xptest::nobodyGid()));
    for (const char* named : {"SUDO_UID", "PKEXEC_UID", "HOME owner"}) {
        ::setenv(named, std::to_string(xptest::nobodyUid()).c_str(), 1);
        toTheEnd(*startRoad(true));
        ::unsetenv(named);
        std::filesystem::remove(sandbox_->installedEntry()); // the next road is a fresh one too
        EXPECT_EQ(launches(), Lines{"[\"reconstructDatabase\"] new-session"}) << named;
        for (const std::string& made : {sandbox_->recordFile(), sandbox_->home() + "/Music"}) {
            EXPECT_EQ(xptest::lstatOf(made).st_uid, xptest::nobodyUid()) << named << ": " << made;
            std::filesystem::remove(made);
        }
    }
}

} // namespace
