// The plug-in's roads in-process: the bundle loaded and driven through the host's engine on a
// sandbox desktop, with the real installer mutex path.
// ctest-resource-lock: installer-mutex
#include "MutexTestSupport.h"

#include <InstallerSession.h>
#include <OruSandbox.h>

#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace {

const char* const kInfoEn = "Ombrix keeps one database of your photos, videos, music and application backup files. "
                            "When it first starts, it builds that database from the folders below.";
const char* const kGuideEn = "Continue to build the database from these folders now, or choose Change Folders to "
                             "pick other folders in Ombrix first.";

bool exists(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// Every application the plug-in started is our child: wait for all of them, so the record
// holds every start there will be.
void reapChildren()
{
    while (::waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
    }
}

size_t countActivities(const std::string& what)
{
    size_t n = 0;
    for (const auto& a : InstallerActivities())
        n += a.first == what;
    return n;
}

std::string activity(const std::string& what)
{
    std::string last;
    for (const auto& a : InstallerActivities())
        if (a.first == what)
            last = a.second;
    return last;
}

std::string text(InstallerPane* pane, size_t row, size_t column)
{
    auto* field = dynamic_cast<InstallerTextField*>(pane->rows().at(row).at(column));
    return field ? field->stringValue() : std::string("(not a text field)");
}

class RoadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        sandbox_ = std::make_unique<OruSandbox>(ORU_SAMPLE_APP_PATH, std::vector<std::string>{"Music"}, &error);
        ASSERT_TRUE(error.empty()) << error;
        sandbox_->applyToProcess();
        ::setenv("LANGUAGE", "en", 1);
        InstallerApplyUserLanguage();
        InstallerClearActivities();
        InstallerSetCurrentEventKeyModifiers(0);
        granted_ = true;
        rightsAsked_.clear();
        InstallerSetAuthorizationHandler([this](const std::string& right, const std::string&) {
            rightsAsked_.push_back(right);
            return granted_;
        });
        ASSERT_FALSE(exists(kInstallerMutexPath)) << "a mutex file is left over from elsewhere";
    }
    void TearDown() override
    {
        reapChildren();
        InstallerSetAuthorizationHandler(nullptr);
    }

    // A session on the bundle; `fresh` installs the application during the installation page
    // (after shouldLoad), otherwise it is there before.
    std::unique_ptr<InstallerSession> startRoad(bool fresh)
    {
        auto session = std::make_unique<InstallerSession>();
        std::string error;
        EXPECT_TRUE(session->loadBundle(ORU_BUNDLE_PATH, &error)) << error;
        if (fresh)
            session->addPayload(sandbox_->payloadEntry(), sandbox_->installedEntry());
        else
            EXPECT_TRUE(sandbox_->installTargetApp());
        EXPECT_TRUE(session->start());
        if (exists(kInstallerMutexPath))
            cleanup_.note();
        return session;
    }

    InstallerMutexCleanup cleanup_;
    std::unique_ptr<OruSandbox> sandbox_;
    bool granted_ = true;
    std::vector<std::string> rightsAsked_;
};

TEST_F(RoadTest, CommandShiftControlForceTheSettingsPaneTwoKeysDoNot)
{
    const uint32_t cmd = kInstallerCommandKeyMask, shift = kInstallerShiftKeyMask, ctrl = kInstallerControlKeyMask,
                   opt = kInstallerOptionKeyMask, caps = kInstallerCapsLockKeyMask;
    struct Case {
        uint32_t modifiers;
        const char* firstPane;
        const char* title;
    } cases[] = {
        {cmd | shift | ctrl, "DBSettingPane", "Ombrix Database Settings"},
        {cmd | shift | ctrl | opt | caps, "DBSettingPane", "Ombrix Database Settings"},
        {cmd | shift, "LaunchAppPane", "Start Ombrix"},
        {shift | ctrl, "LaunchAppPane", "Start Ombrix"},
        {cmd | ctrl, "LaunchAppPane", "Start Ombrix"},
        {cmd | shift | opt, "LaunchAppPane", "Start Ombrix"},
        {0, "LaunchAppPane", "Start Ombrix"},
    };
    for (const Case& c : cases) {
        InstallerSetCurrentEventKeyModifiers(c.modifiers);
        auto session = startRoad(false); // the application is installed
        EXPECT_EQ(session->firstPaneClassName(), c.firstPane) << std::hex << c.modifiers;
        EXPECT_EQ(session->sectionTitle(), c.title) << std::hex << c.modifiers;
        EXPECT_TRUE(exists(kInstallerMutexPath));
        session->quit(); // no pane was entered: the terminate notification clears the mark alone
        EXPECT_FALSE(exists(kInstallerMutexPath));
    }
    reapChildren();
    EXPECT_TRUE(sandbox_->recordedLaunches().empty());
    EXPECT_EQ(countActivities("launch"), 0u);
}

TEST_F(RoadTest, ChangeFolderButtonStartsShowSettingsExactlyOnce)
{
    auto session = startRoad(true);
    ASSERT_EQ(session->firstPaneClassName(), "DBSettingPane");
    session->continueOn();
    ASSERT_EQ(session->page(), InstallerSession::Page::Pane);
    EXPECT_FALSE(session->canGoBack());
    EXPECT_FALSE(exists(kInstallerMutexPath)); // entering the pane cleared the mark
    ASSERT_EQ(session->buttons().size(), 1u);
    EXPECT_EQ(session->buttons()[0]->title(), "Change Folders…");

    session->pressButton(0); // leaves the pane through willExitPane
    EXPECT_EQ(session->page(), InstallerSession::Page::Summary);
    session->continueOn(); // the terminate notification finds nothing more to do
    EXPECT_EQ(session->page(), InstallerSession::Page::Ended);
    reapChildren();
    EXPECT_EQ(sandbox_->recordedLaunches(), (std::vector<std::string>{"[\"showSettings\"] new-session"}));
    EXPECT_EQ(countActivities("login-item"), 1u);
    EXPECT_EQ(rightsAsked_, (std::vector<std::string>{"system.global-login-items."}));
    EXPECT_TRUE(exists(sandbox_->autostartEntry()));
}

TEST_F(RoadTest, ContinueStartsReconstructDatabaseAndThePaneShowsTextsAndFolders)
{
    // Stored values are shown as they are (no existence check, nothing appended); junk lines and
    // other groups are skipped; missing keys fall back to the user's XDG folders.
    ASSERT_TRUE(OruSandbox::writeFile(sandbox_->settingsFile(),
                                      "[General]\nPhotoHomePath=/wrong/group\n"
                                      "this line is junk\n=\n[Settings\n"
                                      "[Settings]\n  PhotoHomePath = /stored/photos  \n"
                                      "ApplicationHomePath=\"/stored/app \\\"x\\\"\"\n"));
    auto session = startRoad(true);
    session->continueOn();
    InstallerPane* pane = session->currentPane();
    ASSERT_NE(pane, nullptr);
    EXPECT_EQ(pane->title(), "Ombrix Database Settings");
    EXPECT_EQ(text(pane, 0, 0), std::string(kInfoEn) + "\n\n" + kGuideEn);
    EXPECT_EQ(text(pane, 1, 0), "Photos");
    EXPECT_EQ(text(pane, 1, 1), "/stored/photos");
    EXPECT_EQ(text(pane, 2, 0), "Videos");
    EXPECT_EQ(text(pane, 2, 1), sandbox_->home() + "/Videos");
    EXPECT_EQ(text(pane, 3, 0), "Music");
    EXPECT_EQ(text(pane, 3, 1), sandbox_->home() + "/Music");
    EXPECT_EQ(text(pane, 4, 0), "Application backup files");
    EXPECT_EQ(text(pane, 4, 1), "/stored/app \"x\"");
    EXPECT_TRUE(std::filesystem::is_directory(sandbox_->home() + "/Music")); // standard folder created
    EXPECT_FALSE(exists("/stored"));

    // Without a stored application folder the default is Documents + "/Ombrix", not created.
    ASSERT_TRUE(OruSandbox::writeFile(sandbox_->settingsFile(), "[Settings]\n"));
    session->continueOn();
    reapChildren();
    EXPECT_EQ(sandbox_->recordedLaunches(), (std::vector<std::string>{"[\"reconstructDatabase\"] new-session"}));
    session.reset();

    auto again = startRoad(false);
    InstallerSetCurrentEventKeyModifiers(0);
    EXPECT_EQ(again->firstPaneClassName(), "LaunchAppPane");
    again->quit();
    InstallerSetCurrentEventKeyModifiers(kInstallerCommandKeyMask | kInstallerShiftKeyMask | kInstallerControlKeyMask);
    auto forced = startRoad(false);
    forced->continueOn();
    EXPECT_EQ(text(forced->currentPane(), 4, 1), sandbox_->home() + "/Documents/Ombrix");
    EXPECT_FALSE(exists(sandbox_->home() + "/Documents/Ombrix"));
    forced->quit();
}

TEST_F(RoadTest, QuittingWhileAPaneIsShownStartsTheApplicationOnceInTheCurrentMode)
{
    auto session = startRoad(true);
    session->continueOn();
    ASSERT_EQ(session->page(), InstallerSession::Page::Pane);
    session->quit();
    session.reset();
    reapChildren();
    EXPECT_EQ(sandbox_->recordedLaunches(), (std::vector<std::string>{"[\"reconstructDatabase\"] new-session"}));
    EXPECT_EQ(countActivities("login-item"), 1u);

    // The launch pane: quitting while it is shown starts the application once, without arguments.
    auto update = startRoad(false);
    update->continueOn();
    ASSERT_EQ(update->paneClassName(update->currentPane()), "LaunchAppPane");
    update->quit();
    update.reset();
    reapChildren();
    EXPECT_EQ(sandbox_->recordedLaunches().size(), 2u);
    EXPECT_EQ(sandbox_->recordedLaunches().back(), "[] new-session");
    EXPECT_EQ(countActivities("login-item"), 2u);
}

TEST_F(RoadTest, LaunchPaneStartsTheApplicationWithoutArguments)
{
    auto session = startRoad(false);
    ASSERT_EQ(session->firstPaneClassName(), "LaunchAppPane");
    EXPECT_EQ(session->sectionTitle(), "Start Ombrix");
    session->continueOn();
    InstallerPane* pane = session->currentPane();
    EXPECT_FALSE(session->canGoBack());
    EXPECT_EQ(text(pane, 0, 0), "Ombrix has been updated. Continue to start Ombrix with your existing database.");
    EXPECT_TRUE(session->buttons().empty());
    session->continueOn();
    session->continueOn();
    reapChildren();
    EXPECT_EQ(sandbox_->recordedLaunches(), (std::vector<std::string>{"[] new-session"}));
    std::string entry = OruSandbox::readFile(sandbox_->autostartEntry());
    EXPECT_NE(entry.find("Exec=" + sandbox_->execLine() + "\n"), std::string::npos) << entry;
}

TEST_F(RoadTest, MissingApplicationStillLoadsTakesTheMutexAndObservesTermination)
{
    auto session = std::make_unique<InstallerSession>();
    ASSERT_TRUE(session->loadBundle(ORU_BUNDLE_PATH, nullptr));
    ASSERT_TRUE(session->start());
    ASSERT_TRUE(exists(kInstallerMutexPath));
    cleanup_.note();
    EXPECT_EQ(session->firstPaneClassName(), "DBSettingPane");
    EXPECT_EQ(InstallerNotificationCenter::defaultCenter().observationCount(session->section()), 1u);
#if ORU_HAVE_XPMUTEX
    {
        LockProbe probe; // built while the mark is set
        EXPECT_EQ(probe.tryLock(), XPERR_SYNC_TIMEOUT);
        session->continueOn(); // entering the pane gives the lock back with the file
        EXPECT_FALSE(exists(kInstallerMutexPath));
        EXPECT_EQ(probe.tryLock(), XPERR_OK);
    }
#else
    session->continueOn();
#endif
    EXPECT_FALSE(exists(kInstallerMutexPath));
    session->continueOn(); // leaving: nothing to start, no login item
    session->continueOn();
    reapChildren();
    EXPECT_TRUE(sandbox_->recordedLaunches().empty());
    EXPECT_NE(activity("launch").find("not found"), std::string::npos) << activity("launch");
    EXPECT_NE(activity("login-item").find("not found"), std::string::npos) << activity("login-item");
    EXPECT_EQ(rightsAsked_.size(), 1u); // the authorization is asked before the lookup
    EXPECT_FALSE(exists(sandbox_->autostartEntry()));
}

TEST_F(RoadTest, RefusedAuthorizationAddsNoLoginItem)
{
    granted_ = false;
    auto session = startRoad(false);
    session->continueOn();
    session->continueOn();
    session->continueOn();
    reapChildren();
    EXPECT_EQ(sandbox_->recordedLaunches(), (std::vector<std::string>{"[] new-session"}));
    EXPECT_EQ(activity("login-item"), "refused");
    EXPECT_FALSE(exists(sandbox_->autostartEntry()));
    EXPECT_EQ(rightsAsked_, (std::vector<std::string>{"system.global-login-items."}));
}

TEST_F(RoadTest, AutostartFolderTheProcessCannotWriteRefusesTheLoginItem)
{
    // A whole road as an unprivileged installer: the person grants the right, but the system
    // autostart folder (root's, 0755) is not writable, which counts as a refusal.
    ASSERT_TRUE(sandbox_->installTargetApp());
    ASSERT_EQ(::chmod(sandbox_->root().c_str(), 0755), 0);
    int keyPipe[2];
    ASSERT_EQ(::pipe(keyPipe), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        struct passwd* nobody = ::getpwnam("nobody");
        if (!nobody || ::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0)
            ::_exit(3);
        {
            InstallerSession session;
            if (!session.loadBundle(ORU_BUNDLE_PATH, nullptr) || !session.start())
                ::_exit(4);
            key_t key = ::ftok(kInstallerMutexPath, '1'); // for the parent's clean-up
            if (::write(keyPipe[1], &key, sizeof key) != sizeof key)
                ::_exit(6);
            session.continueOn();
            session.continueOn();
            session.continueOn();
        }
        bool refused = activity("login-item").find("is not writable") != std::string::npos;
        bool removed = activity("mutex") == "removed";
        ::_exit(refused && removed ? 0 : 5);
    }
    ::close(keyPipe[1]);
    key_t key = -1;
    if (::read(keyPipe[0], &key, sizeof key) == sizeof key)
        cleanup_.noteKey(key);
    ::close(keyPipe[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(key, -1);
    EXPECT_EQ(rightsAsked_.size(), 0u); // asked in the child, not here
    EXPECT_FALSE(exists(sandbox_->autostartEntry()));
    EXPECT_FALSE(exists(kInstallerMutexPath));
}

TEST_F(RoadTest, TextsFollowTheLanguageAndFallBackToEnglish)
{
    ::setenv("LANGUAGE", "de", 1);
    InstallerApplyUserLanguage();
    auto session = startRoad(true);
    EXPECT_EQ(session->sectionTitle(), "Ombrix-Datenbankeinstellungen");
    session->continueOn();
    EXPECT_EQ(session->buttons().at(0)->title(), "Ordner ändern …");
    EXPECT_EQ(text(session->currentPane(), 3, 0), "Musik");
    session->quit();

    ::setenv("LANGUAGE", "fr", 1); // no French catalog: English
    InstallerApplyUserLanguage();
    auto english = startRoad(false);
    EXPECT_EQ(english->sectionTitle(), "Start Ombrix");
    english->quit();
    ::setenv("LANGUAGE", "en", 1);
}

} // namespace
