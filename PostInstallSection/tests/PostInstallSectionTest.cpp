// The plug-in's roads in-process: the bundle loaded and driven through the host's engine on a
// sandbox desktop, with the real installer mutex path in a private lock space per test.
// ctest-resource-lock: installer-mutex
#include "MutexTestSupport.h"
#include "PayloadTreeSupport.h"

#include <InstallerSession.h>

#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>

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

std::string text(InstallerPane* pane, size_t row, size_t column)
{
    auto* field = dynamic_cast<InstallerTextField*>(pane->rows().at(row).at(column));
    return field ? field->stringValue() : std::string("(not a text field)");
}

class RoadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        makeSandbox(sandbox_, {"Music"});
        useLanguage("en");
        InstallerClearActivities();
        InstallerSetCurrentEventKeyModifiers(0);
        InstallerSetAuthorizationHandler([this](const std::string& right, const std::string& explanation) {
            rightsAsked_.push_back(right);
            explanation_ = explanation;
            return granted_;
        });
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
    bool granted_ = true;
    Lines rightsAsked_;
    std::string explanation_;
};

TEST_F(RoadTest, CommandShiftControlForceTheSettingsPaneTwoKeysDoNotQuittingOnTheLaunchPaneStartsTheApplicationOnce)
{
    useLanguage("fr"); // no French catalog: the English texts
    const uint32_t cmd = kInstallerCommandKeyMask, shift = kInstallerShiftKeyMask, ctrl = kInstallerControlKeyMask;
    const std::pair<uint32_t, bool> cases[] = {
        {cmd | shift | ctrl, true}, {cmd | shift | ctrl | kInstallerOptionKeyMask | kInstallerCapsLockKeyMask, true},
        {cmd | shift, false}, {shift | ctrl, false}, {cmd | ctrl | kInstallerOptionKeyMask, false}, {0, false}};
    for (const auto& c : cases) {
        InstallerSetCurrentEventKeyModifiers(c.first);
        auto session = startRoad(false); // the application is installed: an update
        EXPECT_EQ(session->firstPaneClassName(), c.second ? "DBSettingPane" : "LaunchAppPane") << std::hex << c.first;
        EXPECT_EQ(session->sectionTitle(), c.second ? "Ombrix Database Settings" : "Start Ombrix");
        EXPECT_TRUE(exists(kInstallerMutexPath));
        session->quit(); // no pane was entered: the terminate notification clears the mark alone
        EXPECT_FALSE(exists(kInstallerMutexPath));
    }
    EXPECT_TRUE(launches().empty());

    // The launch pane: quitting there starts the application once, and a refusal adds no login item.
    // (The settings pane's roads, quitting included, and an allowed login item are tried end to end.)
    granted_ = false;
    auto session = startRoad(false); // with no keys held
    session->continueOn();
    EXPECT_FALSE(session->canGoBack());
    EXPECT_EQ(text(session->currentPane(), 0, 0), "Ombrix has been updated. Continue to start Ombrix with your existing database.");
    EXPECT_TRUE(session->buttons().empty());
    session->quit();
    session->continueOn(); // nothing after the end
    EXPECT_EQ(launches(), Lines{"[] new-session"});
    EXPECT_EQ(rightsAsked_, Lines{"system.global-login-items."});
    EXPECT_EQ(activity("login-item"), "refused");
    EXPECT_FALSE(exists(sandbox_->autostartEntry()));
}

TEST_F(RoadTest, ThePaneShowsTextsAndFoldersContinueStartsReconstructDatabaseChangeFoldersShowSettingsInGermanToo)
{
    // Stored values are shown as they are (no existence check); junk lines and other groups are
    // skipped; missing keys fall back to the user's folders, the application's to Documents/Ombrix.
    // Of a file over the 1 MiB cap, what lies beyond it is not read.
    ASSERT_TRUE(OruSandbox::writeFile(sandbox_->settingsFile(),
                                      "[General]\nPhotoHomePath=/wrong/group\nthis line is junk\n=\n[Settings\n"
                                      "[Settings]\n  PhotoHomePath = /stored/photos  \n"
                                      "VideoHomePath=\"/stored/videos \\\"x\\\"\"\n#" + std::string(1 << 20, 'x') +
                                      "\nMusicHomePath=/beyond/the/cap\n"));
    auto session = startRoad(true);
    session->continueOn();
    InstallerPane* pane = session->currentPane();
    ASSERT_NE(pane, nullptr);
    EXPECT_EQ(pane->title(), "Ombrix Database Settings");
    EXPECT_EQ(session->buttons().at(0)->title(), "Change Folders…");
    EXPECT_EQ(text(pane, 0, 0), "Ombrix keeps one database of your photos, videos, music and application backup files. "
                                "When it first starts, it builds that database from the folders below.\n\n"
                                "Continue to build the database from these folders now, or choose Change Folders to "
                                "pick other folders in Ombrix first.");
    const std::pair<std::string, std::string> rows[] = {{"Photos", "/stored/photos"},
                                                        {"Videos", "/stored/videos \"x\""},
                                                        {"Music", sandbox_->home() + "/Music"},
                                                        {"Application backup files", sandbox_->home() + "/Documents/Ombrix"}};
    for (size_t r = 0; r < 4; ++r)
        EXPECT_EQ(text(pane, r + 1, 0) + " " + text(pane, r + 1, 1), rows[r].first + " " + rows[r].second);
    EXPECT_TRUE(std::filesystem::is_directory(sandbox_->home() + "/Music")); // a standard folder is made
    EXPECT_FALSE(exists(sandbox_->home() + "/Documents/Ombrix"));            // the application's is not
    EXPECT_FALSE(exists("/stored"));
    session->continueOn();
    EXPECT_EQ(launches(), Lines{"[\"reconstructDatabase\"] new-session"});

    // A fresh road in German, left through the other button: showSettings, started once.
    for (const std::string& path : {sandbox_->installedEntry(), sandbox_->autostartEntry()})
        std::filesystem::remove(path);
    useLanguage("de");
    session = startRoad(true);
    EXPECT_EQ(session->sectionTitle(), "Ombrix-Datenbankeinstellungen");
    session->continueOn();
    EXPECT_FALSE(session->canGoBack());
    EXPECT_FALSE(exists(kInstallerMutexPath)); // entering the pane cleared the mark
    EXPECT_EQ(text(session->currentPane(), 3, 0), "Musik");
    EXPECT_EQ(session->buttons().at(0)->title(), "Ordner ändern …");
    session->pressButton(0); // leaves the pane through willExitPane
    session->continueOn(); // the terminate notification finds nothing more to do
    EXPECT_EQ(launches(), (Lines{"[\"reconstructDatabase\"] new-session", "[\"showSettings\"] new-session"}));
    EXPECT_EQ(rightsAsked_, Lines(2, "system.global-login-items.")); // one login item a road: one request
    EXPECT_EQ(explanation_, "Das Installationsprogramm möchte Ombrix für alle Benutzer bei der Anmeldung starten.");
    EXPECT_TRUE(exists(sandbox_->autostartEntry()));
}

TEST_F(RoadTest, TheAllUsersLoginItemComesFromTheSystemEntryTheLaunchFromTheUsersOwn)
{
    // The person's own entry (which they may write, also when root installs for them) starts the
    // application for them; the entry that starts for every user at login is the system's.
    ASSERT_TRUE(OruSandbox::writeFile(sandbox_->dataHome() + "/applications/com.ombrix.Ombrix.desktop",
                                      "[Desktop Entry]\nType=Application\nName=Mine\nExec=" + sandbox_->execLine() +
                                          " from-user-entry\n"));
    auto session = startRoad(true);
    toTheEnd(*session);
    EXPECT_EQ(launches(), Lines{"[\"from-user-entry\"] new-session"}); // found: an update
    std::string entry = OruSandbox::readFile(sandbox_->autostartEntry());
    EXPECT_NE(entry.find("Name=Ombrix\nExec=" + sandbox_->execLine() + "\n"), std::string::npos) << entry;
    EXPECT_EQ(entry.find("from-user-entry"), std::string::npos) << entry;
    // Without a system entry there is no login item at all, though the person's entry starts.
    std::filesystem::remove(sandbox_->installedEntry());
    std::filesystem::remove(sandbox_->autostartEntry());
    session = startRoad(true);
    std::filesystem::remove(sandbox_->installedEntry()); // as if the package had put nothing there
    toTheEnd(*session);
    EXPECT_EQ(activity("login-item"), "failed: com.ombrix.Ombrix.desktop not found in the XDG data folders");
    EXPECT_FALSE(exists(sandbox_->autostartEntry()));
    EXPECT_EQ(launches(), Lines(2, "[\"from-user-entry\"] new-session"));
}

TEST_F(RoadTest, AnApplicationThatCannotBeFoundOrStartedGivesNoLaunchAndNoLoginItemAndSaysWhy)
{
    // Fresh roads: at shouldLoad nothing is found, which must not keep the section from loading,
    // taking the mutex and observing the end. Then the installed entry is one that cannot be used.
    // (Which Exec lines are refused and why is tried on the parser; the road passes its word on.)
    // A NUL byte would end the program's name or an argument early and start what is left: the
    // sample application, which would record the launch.
    std::string program = sandbox_->execLine(), argument = program;
    size_t cut = program.find(" --record");
    using namespace std::string_literals;
    program.insert(cut - (program[cut - 1] == '"'), "\0-not-this"s);
    argument.insert(cut, " \"--safe\0-mode-off\""s);
    const std::pair<std::string, const char*> entries[] = {
        {"Hidden=true\n", ": Hidden=true"}, {"", " has no Exec line"}, {"Exec=\"/opt/ombrix --x\n", ": unterminated quote in Exec"},
        {"Exec=" + program + "\n", ": NUL byte in Exec"}, {"Exec=" + argument + "\n", ": NUL byte in Exec"}};
    for (const auto& e : entries) {
        ASSERT_TRUE(OruSandbox::writeFile(sandbox_->payloadEntry(), "[Desktop Entry]\nType=Application\n" + e.first));
        auto session = startRoad(true);
        EXPECT_EQ(session->firstPaneClassName(), "DBSettingPane");
        EXPECT_TRUE(exists(kInstallerMutexPath) && activity("mutex-lock") == "held");
        EXPECT_EQ(InstallerNotificationCenter::defaultCenter().observationCount(session->section()), 1u);
        toTheEnd(*session);
        EXPECT_EQ(activity("launch"), "failed (reconstructDatabase): " + sandbox_->installedEntry() + e.second);
        EXPECT_EQ(activity("login-item"), "failed: " + sandbox_->installedEntry() + e.second);
        EXPECT_FALSE(exists(sandbox_->autostartEntry())) << e.first;
        std::filesystem::remove(sandbox_->installedEntry()); // the next road is a fresh one too
    }
    EXPECT_TRUE(launches().empty());
    EXPECT_EQ(rightsAsked_.size(), std::size(entries)); // the authorization is asked before the lookup
}

TEST_F(RoadTest, AnUnprivilegedInstallerGetsNoLoginItemRootInstallingForAUserStartsTheApplicationAsThatUser)
{
    const struct passwd* nobody = ::getpwnam("nobody");
    ASSERT_TRUE(nobody);
    // A whole road as an unprivileged installer: the person grants the right, but the system
    // autostart folder (root's, 0755) is not writable, which counts as a refusal.
    ASSERT_TRUE(sandbox_->installTargetApp());
    ASSERT_EQ(::chmod(sandbox_->root().c_str(), 0755), 0);
    pid_t pid = startAsNobody([] {
        {
            InstallerSession session;
            if (!session.loadBundle(ORU_BUNDLE_PATH, nullptr) || !session.start())
                return 4;
            toTheEnd(session);
        }
        reapChildren(); // the application it started is done before the roads below
        bool refused = activity("login-item").find("is not writable") != std::string::npos;
        return refused && activity("mutex") == "removed" ? 0 : 5;
    });
    space_.notePid(pid);
    EXPECT_EQ(exitStatus(pid), 0);
    EXPECT_TRUE(rightsAsked_.empty()); // asked in the child, not here
    EXPECT_FALSE(exists(sandbox_->autostartEntry()));
    EXPECT_FALSE(exists(kInstallerMutexPath));

    // Root for a desktop user: the sandbox is the user's, as a home would be; root installs for
    // that user, whom sudo or pkexec names, or who owns $HOME. Fresh roads from here.
    for (const std::string& path : {sandbox_->installedEntry(), sandbox_->recordFile()})
        std::filesystem::remove(path);
    ASSERT_TRUE(chownTree(sandbox_->root(), nobody->pw_uid, nobody->pw_gid));
    for (const char* named : {"SUDO_UID", "PKEXEC_UID", "HOME owner"}) {
        ::setenv(named, std::to_string(nobody->pw_uid).c_str(), 1);
        auto session = startRoad(true);
        toTheEnd(*session);
        ::unsetenv(named);
        std::filesystem::remove(sandbox_->installedEntry()); // the next road is a fresh one too
        EXPECT_EQ(launches(), Lines{"[\"reconstructDatabase\"] new-session"}) << named;
        EXPECT_EQ(activity("launch"), "reconstructDatabase as nobody");
        for (const std::string& made : {sandbox_->recordFile(), sandbox_->home() + "/Music"}) {
            struct stat st;
            EXPECT_TRUE(::stat(made.c_str(), &st) == 0 && st.st_uid == nobody->pw_uid) << named << ": " << made;
            std::filesystem::remove(made);
        }
    }
}

} // namespace
