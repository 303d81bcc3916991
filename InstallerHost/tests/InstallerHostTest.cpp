// The installer-host program, run as a real process against the recording plug-in: options,
// exit statuses, the result line, scripted answers, its language and its payload copy. (Ctrl-C,
// SIGTERM and the end of input are tried with the real plug-in in InstallerEndToEndTest.)
#include "HostProcess.h"

namespace {

int runHost(const std::vector<std::string>& args, std::string& output, const std::vector<std::string>& env = {})
{
    Host host;
    host.start(args, env);
    int status = host.finish();
    output = host.output;
    return status;
}

const std::string kRoadStart = "call=shouldLoad:0x0000 call=firstPane call=title call=A.enter:0 call=A.title ";

TEST(InstallerHostTest, HelpUsageErrorsAndBundlesThatCannotLoad)
{
    std::string out;
    EXPECT_EQ(runHost({"--help"}, out), 0);
    expectHas(out, {"Exit status"});
    EXPECT_EQ(runHost({"--frobnicate", RECORDING_BUNDLE}, out), 2);
    expectHas(out, {"unknown option --frobnicate"});
    for (std::vector<std::string> bad : {std::vector<std::string>{"--actions", "continue,jump"}, {"--modifiers", "hyper"},
                                         {"--authorize", "maybe"}, {"--unattended", "--authorize", "ask"}}) {
        bad.push_back(RECORDING_BUNDLE);
        EXPECT_EQ(runHost(bad, out), 2) << bad[1];
    }
    EXPECT_EQ(runHost({}, out), 2);
    EXPECT_EQ(runHost({"/nonexistent/Missing.bundle"}, out), 3);
    EXPECT_NE(out.find("cannot load /nonexistent/Missing.bundle/Missing.so"), std::string::npos) << out;
    EXPECT_EQ(runHost({NO_FACTORY_BUNDLE "/"}, out), 3); // a loadable module, but no plug-in
    EXPECT_NE(out.find("NoFactory.so has no InstallerPluginCreate factory"), std::string::npos) << out;
    EXPECT_EQ(runHost({"--unattended", RECORDING_BUNDLE}, out, {"RECORDING_DECLINE=1"}), 4);
    EXPECT_NE(out.find("call=shouldLoad:0x0000 call=terminate"), std::string::npos) << out;
}

TEST(InstallerHostTest, UnattendedRoadFollowsTheActionsAndReportsIt)
{
    std::string out;
    ASSERT_EQ(runHost({"--actions", "button,back,quit", "--modifiers", "command,shift,control,option",
                       "--authorize", "yes", RECORDING_BUNDLE}, out), 0);
    EXPECT_NE(out.find("installer-host: result: section=RecordingSection first=A panes=A,B,A ended=quit "
                       "call=shouldLoad:0x1b00 call=firstPane call=title call=A.enter:0 call=A.title call=A.button "
                       "call=A.exit:0 call=B.enter:0 call=B.title call=B.exit:1 call=auth:granted call=A.enter:1 "
                       "call=A.title call=terminate\n"), std::string::npos) << out;
    expectHas(out, {"[1] Next"});
    // A button number the pane does not have changes nothing.
    ASSERT_EQ(runHost({"--actions", "button:2,quit", RECORDING_BUNDLE}, out), 0);
    expectHas(out, {"No such choice here.", kRoadStart + "call=A.title call=terminate\n"});
    // Actions that run out continue to the end; an unattended host refuses rights by default. The
    // host's texts follow the person's language; the result line stays as scripts read it.
    ASSERT_EQ(runHost({"--actions", "continue", RECORDING_BUNDLE}, out, {"LANGUAGE=de"}), 0);
    expectHas(out, {"Nichts zu kopieren.", "c Fortfahren", "Berechtigung: testing", "Antwort (vorgegeben): verweigern",
                    "erfolgreich abgeschlossen.", "ended=finished", "call=B.exit:0 call=auth:refused call=terminate\n"});
}

TEST(InstallerHostTest, InstallReplacesTheDestinationAndFollowsNoLinkPlantedBesideIt)
{
    TempFolder folder("installer-host-test");
    ASSERT_FALSE(folder.path.empty());
    const std::string dir = folder.path, precious = dir + "/precious", payload = dir + "/payload", dest = dir + "/dest";
    std::ofstream(precious) << "keep me\n";
    std::ofstream(payload) << "payload\n";
    // Links at the destination and at the temporary name that an earlier host used, as root.
    for (const std::string& name : {dest, dest + ".installing"})
        ASSERT_EQ(::symlink(precious.c_str(), name.c_str()), 0);
    std::string out;
    EXPECT_EQ(runHost({"--unattended", "--install", payload + "=" + dest, RECORDING_BUNDLE}, out), 0);
    EXPECT_EQ(readAll(precious), "keep me\n");
    EXPECT_EQ(readAll(dest), "payload\n"); // so no longer the link to the precious file
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 4); // no temporary left
    // A payload that cannot be read makes nothing on the destination side, not even its folder.
    EXPECT_EQ(runHost({"--unattended", "--install", dir + "/missing=" + dir + "/sub/dest", RECORDING_BUNDLE}, out), 0);
    EXPECT_NE(out.find("failed " + dir + "/sub/dest"), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(dir + "/sub"));
}

TEST(InstallerHostTest, InteractiveChoicesThroughAPipe)
{
    Host host;
    host.start({"--interactive", "--install", "/nonexistent/payload=/nonexistent/dest", RECORDING_BUNDLE});
    ASSERT_TRUE(host.readUntil("choice> ")) << host.output;
    expectHas(host.output, {"failed /nonexistent/dest", "could not be installed completely"});
    size_t prompts = 1;
    for (const char* choice : {"c\n", "1\n"}) { // continue, A's button
        host.send(choice);
        ASSERT_TRUE(host.readUntil("choice> ", ++prompts)) << host.output;
    }
    host.send("c\n"); // leaving B brings the authorization prompt
    ASSERT_TRUE(host.readUntil("Allow? [y/N] ")) << host.output;
    EXPECT_NE(host.output.find("\"test.right.\""), std::string::npos);
    host.send("y\n");
    ASSERT_TRUE(host.readUntil("Summary")) << host.output;
    host.send("c\n");
    EXPECT_EQ(host.finish(), 0);
    EXPECT_NE(host.resultLine().find("call=B.exit:0 call=auth:granted call=terminate"), std::string::npos) << host.output;
}

} // namespace
