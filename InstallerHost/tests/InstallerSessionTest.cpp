// The host's road engine in-process, against the recording plug-in: the order of the calls the
// plug-in relies on, the terminate notification last and once, and the notification center.
#include <InstallerSession.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<std::string> calls()
{
    std::vector<std::string> out;
    for (const auto& a : InstallerActivities())
        if (a.first == "call")
            out.push_back(a.second);
    return out;
}

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        InstallerClearActivities();
        InstallerSetCurrentEventKeyModifiers(0);
        InstallerSetAuthorizationHandler(nullptr);
        ::unsetenv("RECORDING_DECLINE");
    }
};

TEST_F(SessionTest, CallsComeInTheOrderThePluginReliesOn)
{
    InstallerSetCurrentEventKeyModifiers(kInstallerCommandKeyMask | kInstallerControlKeyMask);
    InstallerSetAuthorizationHandler([](const std::string& right, const std::string&) { return right == "test.right."; });
    InstallerSession session;
    std::string error;
    ASSERT_TRUE(session.loadBundle(RECORDING_BUNDLE, &error)) << error;
    EXPECT_TRUE(calls().empty()); // building the objects calls nothing

    ASSERT_TRUE(session.start());
    EXPECT_EQ(calls(), (std::vector<std::string>{"shouldLoad:0x1100", "firstPane", "title"}));
    EXPECT_EQ(session.page(), InstallerSession::Page::Installation);
    EXPECT_FALSE(session.canGoBack());

    session.continueOn();  // enter A
    session.pressButton(0); // A's button asks gotoNextPane: A is left, B entered
    ASSERT_EQ(session.page(), InstallerSession::Page::Pane);
    EXPECT_EQ(session.paneClassName(session.currentPane()), "B");
    ASSERT_TRUE(session.canGoBack());
    session.goBack();      // B left backwards, A entered backwards
    EXPECT_EQ(session.paneClassName(session.currentPane()), "A");
    session.goBack();      // A left backwards to the installation page
    EXPECT_EQ(session.page(), InstallerSession::Page::Installation);
    session.continueOn();  // A again
    session.continueOn();  // B
    session.continueOn();  // B left: the road's end
    EXPECT_EQ(session.page(), InstallerSession::Page::Summary);
    session.continueOn();  // finish
    EXPECT_EQ(session.page(), InstallerSession::Page::Ended);
    EXPECT_EQ(session.ending(), InstallerSession::Ending::Finished);

    EXPECT_EQ(calls(), (std::vector<std::string>{
                           "shouldLoad:0x1100", "firstPane", "title",
                           "A.enter:0", "A.button", "A.exit:0", "B.enter:0",
                           "B.exit:1", "auth:granted", "A.enter:1", "A.exit:1",
                           "A.enter:0", "A.exit:0", "B.enter:0", "B.exit:0", "auth:granted",
                           "terminate"}));

    // Nothing reaches the plug-in after the terminate notification.
    session.continueOn();
    session.quit();
    session.goBack();
    EXPECT_EQ(calls().back(), "terminate");
    EXPECT_EQ(calls().size(), 17u);
    EXPECT_NE(session.summaryLine().find("first=A panes=A,B,A,A,B ended=finished"), std::string::npos)
        << session.summaryLine();
}

TEST_F(SessionTest, QuittingLeavesNoPaneAndTerminatesOnce)
{
    {
        InstallerSession session;
        ASSERT_TRUE(session.loadBundle(RECORDING_BUNDLE, nullptr));
        ASSERT_TRUE(session.start());
        session.continueOn();
        InstallerPane* a = session.currentPane();
        session.quit(InstallerSession::Ending::Interrupted);
        EXPECT_EQ(session.ending(), InstallerSession::Ending::Interrupted);
        EXPECT_TRUE(session.buttons().empty());
        // A pane asking to move on after the end is not heard.
        a->gotoNextPane();
        session.quit();
    }
    EXPECT_EQ(calls(), (std::vector<std::string>{"shouldLoad:0x0000", "firstPane", "title", "A.enter:0", "terminate"}));
}

TEST_F(SessionTest, DroppedSessionStillTerminatesAndDeclinedSectionShowsNothing)
{
    {
        InstallerSession session;
        ASSERT_TRUE(session.loadBundle(RECORDING_BUNDLE, nullptr));
        ASSERT_TRUE(session.start());
        session.continueOn();
    } // destroyed mid-road
    EXPECT_EQ(calls().back(), "terminate");
    EXPECT_EQ(calls().size(), 5u);

    InstallerClearActivities();
    ::setenv("RECORDING_DECLINE", "1", 1);
    InstallerSession declined;
    ASSERT_TRUE(declined.loadBundle(RECORDING_BUNDLE, nullptr));
    EXPECT_FALSE(declined.start());
    EXPECT_EQ(declined.page(), InstallerSession::Page::Ended);
    declined.continueOn();
    EXPECT_EQ(calls(), (std::vector<std::string>{"shouldLoad:0x0000", "terminate"}));
    ::unsetenv("RECORDING_DECLINE");
}

TEST_F(SessionTest, RefusedAuthorizationAndNoHandlerBothRefuse)
{
    for (int withHandler = 0; withHandler < 2; ++withHandler) {
        InstallerClearActivities();
        if (withHandler)
            InstallerSetAuthorizationHandler([](const std::string&, const std::string&) { return false; });
        InstallerSession session;
        ASSERT_TRUE(session.loadBundle(RECORDING_BUNDLE, nullptr));
        ASSERT_TRUE(session.start());
        session.continueOn();
        session.continueOn();
        session.continueOn();
        std::vector<std::string> c = calls();
        ASSERT_GE(c.size(), 2u);
        EXPECT_EQ(c[c.size() - 1], "auth:refused");
    }
}

TEST_F(SessionTest, BundlesThatCannotBeLoadedSayWhy)
{
    InstallerSession missing;
    std::string error;
    EXPECT_FALSE(missing.loadBundle("/nonexistent/Nothing.bundle", &error));
    EXPECT_NE(error.find("/nonexistent/Nothing.bundle/Nothing.so"), std::string::npos) << error;
    EXPECT_FALSE(missing.start());

    // A loadable module without the factory.
    InstallerSession noFactory;
    error.clear();
    EXPECT_FALSE(noFactory.loadBundle(std::string(NO_FACTORY_BUNDLE) + "/", &error));
    EXPECT_NE(error.find("no InstallerPluginCreate factory"), std::string::npos) << error;
    EXPECT_FALSE(noFactory.start());
}

TEST(NotificationCenterTest, ObserversMayRemoveThemselvesAndOthersDuringDelivery)
{
    InstallerNotificationCenter center;
    int first = 0, second = 0, third = 0, other = 0;
    const void* a = &first;
    const void* b = &second;
    const void* c = &third;
    center.addObserver(a, "n", [&](const InstallerNotification& note) {
        ++first;
        EXPECT_EQ(note.name, "n");
        center.removeObserver(a);
        center.removeObserver(b); // b registered for "n" must not be called any more
    });
    center.addObserver(b, "n", [&](const InstallerNotification&) { ++second; });
    center.addObserver(c, "n", [&](const InstallerNotification&) {
        ++third;
        center.addObserver(c, "n", [&](const InstallerNotification&) { ++third; }); // next post only
    });
    center.addObserver(c, "other", [&](const InstallerNotification&) { ++other; });
    EXPECT_EQ(center.observationCount(c), 2u);

    center.postNotificationName("n");
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(third, 1);
    EXPECT_EQ(other, 0);
    EXPECT_EQ(center.observationCount(a), 0u);
    EXPECT_EQ(center.observationCount(c), 3u);

    center.postNotificationName("n");
    EXPECT_EQ(first, 1);
    EXPECT_EQ(third, 3);
    center.removeObserver(c);
    center.removeObserver(&other); // never registered: harmless
    center.postNotificationName("n");
    center.postNotificationName("other");
    EXPECT_EQ(third, 3);
    EXPECT_EQ(other, 0);
}

} // namespace
