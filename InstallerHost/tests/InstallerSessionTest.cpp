// The host's road engine in-process, against the recording plug-in: the order of the calls the
// plug-in relies on, the terminate notification last and once, and the notification center.
#include "HostProcess.h"

#include <InstallerDisplayText.h>
#include <InstallerFrontEnd.h>
#include <InstallerSession.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace {

using Calls = std::vector<std::string>;

Calls calls()
{
    Calls out;
    for (const auto& a : InstallerActivities())
        if (a.first == "call")
            out.push_back(a.second);
    return out;
}

// A started session on the recording plug-in, with a fresh record of the calls.
void start(InstallerSession& session)
{
    InstallerClearActivities();
    ASSERT_TRUE(session.loadBundle(RECORDING_BUNDLE, nullptr));
    EXPECT_TRUE(session.start());
}

TEST(SessionTest, CallsComeInTheOrderThePluginReliesOn)
{
    InstallerSetCurrentEventKeyModifiers(kInstallerCommandKeyMask | kInstallerControlKeyMask);
    InstallerSetAuthorizationHandler([](const std::string& right, const std::string&) { return right == "test.right."; });
    InstallerSession session;
    start(session);
    InstallerSetCurrentEventKeyModifiers(0);
    session.continueOn();   // enter A
    session.pressButton(0); // A's button asks gotoNextPane: A is left, B entered
    session.goBack();       // B left backwards, A entered backwards
    session.goBack();       // A left backwards to the installation page
    for (int i = 0; i < 4; ++i)
        session.continueOn(); // A, B, B left (the summary), finished
    // Nothing reaches the plug-in after the terminate notification.
    session.continueOn();
    session.quit();
    session.goBack();
    EXPECT_EQ(calls(), (Calls{"shouldLoad:0x1100", "firstPane", "title", "A.enter:0", "A.button", "A.exit:0",
                              "B.enter:0", "B.exit:1", "auth:granted", "A.enter:1", "A.exit:1", "A.enter:0",
                              "A.exit:0", "B.enter:0", "B.exit:0", "auth:granted", "terminate"}));
    InstallerSetAuthorizationHandler(nullptr);
}

TEST(SessionTest, TerminateComesOnceWhicheverWayTheRoadEnds)
{
    {
        InstallerSession session;
        start(session);
        session.continueOn();
        InstallerPane* a = session.currentPane();
        session.quit(InstallerSession::Ending::Interrupted);
        a->gotoNextPane(); // a pane asking to move on after the end is not heard
        session.quit();
        EXPECT_EQ(session.ending(), InstallerSession::Ending::Interrupted);
        EXPECT_EQ(calls(), (Calls{"shouldLoad:0x0000", "firstPane", "title", "A.enter:0", "terminate"}));
    }
    {
        InstallerSession dropped; // without an authorization handler every right is refused
        start(dropped);
        for (int i = 0; i < 3; ++i)
            dropped.continueOn();
    } // destroyed mid-road
    EXPECT_EQ(calls(), (Calls{"shouldLoad:0x0000", "firstPane", "title", "A.enter:0", "A.exit:0", "B.enter:0", "B.exit:0",
                              "auth:refused", "terminate"})); // (a declining section: see InstallerHostTest)
}

TEST(DisplayTextTest, ControlCharactersAndBytesThatAreNotUTF8AreEscapedOrReplacedAndTheResultRecordStaysOneLine)
{
    using namespace std::string_literals;
    const struct {
        std::string text, escaped, valid;
    } cases[] = {
        {"plain \xc3\x96mbrix \xe2\x9c\x93", "plain \xc3\x96mbrix \xe2\x9c\x93", "plain \xc3\x96mbrix \xe2\x9c\x93"},
        {"\x1b]0;owned\x07\x1b[2J", "\\x1b]0;owned\\x07\\x1b[2J", "\x1b]0;owned\x07\x1b[2J"},
        {"nul\0byte"s, "nul\\x00byte", "nul\xef\xbf\xbd" "byte"},
        {"c1 \xc2\x9b" "2J", "c1 \\u009b2J", "c1 \xc2\x9b" "2J"}, // CSI as a code point
        {"latin1 \xe9t\xe9 \xc3", "latin1 \\xe9t\\xe9 \\xc3", "latin1 \xef\xbf\xbdt\xef\xbf\xbd \xef\xbf\xbd"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(InstallerEscapeControls(c.text), c.escaped) << c.escaped;
        EXPECT_EQ(InstallerValidUTF8(c.text), c.valid) << c.escaped;
    }

    // A plug-in's record quoting a control character: quoted, escaped, one line.
    InstallerSession session;
    start(session);
    InstallerRecordActivity("login-item", "failed: reserved character '\n' in \"Exec\" \\ \x1b[2J");
    expectHas(session.summaryLine(), {" login-item=\"failed: reserved character '\\n' in \\\"Exec\\\" \\\\ \\x1b[2J\""});
    EXPECT_EQ(session.summaryLine().find_first_of("\n\x1b"), std::string::npos) << session.summaryLine();
}

TEST(NotificationCenterTest, ObserversMayRemoveThemselvesAndOthersDuringDelivery)
{
    InstallerNotificationCenter center;
    int n[3] = {0, 0, 0}; // deliveries to a, b, c
    const void *a = &n[0], *b = &n[1], *c = &n[2];
    center.addObserver(a, "n", [&](const InstallerNotification&) {
        ++n[0];
        center.removeObserver(a);
        center.removeObserver(b); // b, registered for "n", must not be called any more
    });
    center.addObserver(b, "n", [&](const InstallerNotification&) { ++n[1]; });
    center.addObserver(c, "n", [&](const InstallerNotification&) {
        ++n[2];
        center.addObserver(c, "n", [&](const InstallerNotification&) { ++n[2]; }); // next post only
    });
    center.postNotificationName("n");
    EXPECT_EQ((std::vector<int>(n, n + 3)), (std::vector<int>{1, 0, 1}));
    center.postNotificationName("n");
    EXPECT_EQ((std::vector<int>(n, n + 3)), (std::vector<int>{1, 0, 3}));
}

// The installation step's copy reports every chunk, in order, up to 100 (here on the thread a
// runner gave it, as the window does); a copy stopped by the handler leaves the old destination
// as it was and nothing beside it, the files after it uncopied, and leads past the plug-in's panes
// to the summary. (The copy's bytes are XpFileCopyTest's.)
TEST(SessionTest, CopyProgressIsReportedAndStoppingItLeavesTheOldDestination)
{
    TempFolder folder("installer-session-test");
    ASSERT_FALSE(folder.path.empty());
    const std::string dir = folder.path, big = dir + "/big", small = dir + "/small", out = dir + "/out";
    std::ofstream(big) << std::string(5 << 20, 'x'); // 20 chunks of the library's copy
    std::ofstream(small) << "small\n";
    for (bool stop : {false, true}) {
        SCOPED_TRACE(stop ? "stopped" : "whole");
        std::filesystem::remove_all(out);
        std::filesystem::create_directory(out);
        std::ofstream(out + "/big") << "old\n";
        InstallerSession session;
        session.addPayload(big, out + "/big");
        session.addPayload(small, out + "/small");
        std::vector<double> seen;
        const std::thread::id caller = std::this_thread::get_id();
        std::thread::id copier = caller;
        if (!stop)
            session.setCopyRunner([](const std::function<void()>& copy) { std::thread(copy).join(); });
        session.setCopyProgressHandler([&](const InstallerCopyProgress& p) {
            copier = std::this_thread::get_id();
            if (p.index == 0)
                seen.push_back(p.percent);
            return stop && p.percent >= 50.0;
        });
        start(session);
        ASSERT_GE(seen.size(), 10u);
        for (size_t i = 1; i < seen.size(); ++i)
            EXPECT_GT(seen[i], seen[i - 1]);
        EXPECT_EQ(copier == caller, stop);
        if (!stop) {
            EXPECT_EQ(seen.back(), 100.0);
            EXPECT_EQ(readAll(out + "/small"), "small\n");
            continue;
        }
        EXPECT_EQ(session.installationLog(), (std::vector<std::string>{"cancelled " + out + "/big: nothing of it was left",
                                                                         "not copied " + out + "/small: cancelled"}));
        EXPECT_EQ(readAll(out + "/big"), "old\n");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out), {}), 1); // no temporary, no small
        session.continueOn();
        session.continueOn();
        expectHas(session.summaryLine(), {"panes=none ended=finished installation=cancelled"});
    }
}

// Gives `session` a payload whose installation step ends as `how` says: "failed" (its source
// cannot be read), "refused" (its destination lies below a file: refused before any copy),
// "cancelled" (its copy stopped at once); "" gives none. `folder` holds what it needs.
void addPayload(InstallerSession& session, const std::string& folder, const std::string& how)
{
    std::ofstream(folder + "/payload") << "payload\n";
    std::ofstream(folder + "/file") << "a file, not a folder\n";
    if (!how.empty())
        session.addPayload(folder + (how == "failed" ? "/missing" : "/payload"),
                           folder + (how == "refused" ? "/file/payload" : "/out/payload"));
    session.setCopyProgressHandler([how](const InstallerCopyProgress&) { return how == "cancelled"; });
}

// What both hosts' summary says of each way the installation went (in English here; the build
// checks the German catalog, the window's test that a summary is shown; the installation page's
// lines are the session's log, checked above).
TEST(FrontEndTest, TheSummarySaysHowTheInstallationWent)
{
    TempFolder folder("installer-frontend-test");
    ASSERT_FALSE(folder.path.empty());
    const struct {
        const char* installation; // how it went (see addPayload)
        int continues;            // moves after start() to reach the summary
        std::string body;
    } cases[] = {
        {"", 3, "The installation was completed successfully."},
        {"failed", 3, "The installation ended with errors (see the installation page)."},
        {"refused", 1, "The installation was refused before anything was copied (see the installation page)."},
        {"cancelled", 1, "The installation was cancelled."}, // the panes passed over, as for a refusal
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        InstallerSession session;
        addPayload(session, folder.path, c.installation);
        start(session);
        for (int i = 0; i < c.continues; ++i)
            session.continueOn();
        InstallerPageTexts texts = InstallerPageTextsFor(session);
        EXPECT_EQ(texts.title + "|" + texts.body + "|" + texts.continueLabel, "Summary|" + c.body + "|_Close");
    }
}

// The status each way a run ends with, the same for both hosts. (128+N for a signal N: the hosts'
// tests end them by SIGINT and SIGTERM.)
TEST(FrontEndTest, EachEndingHasItsExitStatus)
{
    const struct {
        const char* move; // the last move of the run, or how its installation went (see addPayload)
        int status;
    } cases[] = {{"none", 0}, {"finish", kInstallerExitEnded}, {"decline", kInstallerExitDeclined},
                 {"failed", kInstallerExitInstallationFailed}, {"refused", kInstallerExitInstallationFailed},
                 {"cancelled", kInstallerExitEnded}};
    TempFolder folder("session-exit");
    ASSERT_FALSE(folder.path.empty());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.move);
        const std::string move = c.move;
        const bool copy = move == "failed" || move == "refused" || move == "cancelled";
        InstallerSession session;
        ASSERT_TRUE(session.loadBundle(RECORDING_BUNDLE, nullptr));
        addPayload(session, folder.path, copy ? move : "");
        ::setenv("RECORDING_DECLINE", move == "decline" ? "1" : "0", 1);
        EXPECT_EQ(session.start(), move != "decline");
        ::unsetenv("RECORDING_DECLINE");
        for (int i = 0; (move == "finish" || copy) && i < 4 && session.page() != InstallerSession::Page::Ended; ++i)
            session.continueOn(); // through the summary to the end
        EXPECT_EQ(InstallerExitStatusFor(session), c.status);
    }
}

// Who answers a request for a right, for each --authorize choice, with someone there to ask or
// not, and once nobody is left: the input ended (1) or the host is being ended (2). (--authorize
// ask with nobody to ask is a usage error, and --authorize yes granting: InstallerHostTest runs
// them.)
TEST(FrontEndTest, WhoAnswersARequestForARight)
{
    using Answer = InstallerAuthorizationPolicy::Answer;
    const struct {
        const char* authorize;
        bool present;
        int gone; // 0 still there, 1 input ended, 2 interrupted
        bool viaPolkit;
        Answer own;
    } cases[] = {
        {"polkit", true, 0, true, Answer::Ask},
        {"polkit", false, 0, true, Answer::Deny}, // unattended: never granted by itself
        {"polkit", true, 2, true, Answer::NobodyLeft},
        {"no", true, 0, false, Answer::Deny},
        {"ask", true, 1, false, Answer::NobodyLeft},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.authorize) + (c.present ? " attended, gone " : " unattended, gone ") + std::to_string(c.gone));
        InstallerAuthorizationPolicy policy(c.authorize, c.present);
        if (c.gone == 1)
            policy.personLeft();
        InstallerRequestInterrupt(c.gone == 2 ? SIGINT : 0);
        EXPECT_EQ(policy.viaPolkit(), c.viaPolkit);
        EXPECT_EQ(policy.ownStep(), c.own);
        EXPECT_EQ(policy.nobodyLeft(), c.gone != 0);
        InstallerRequestInterrupt(0);
    }
}

} // namespace
