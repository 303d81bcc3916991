// The installer-host program, run as a real process against the recording plug-in: options,
// exit statuses, the result line, scripted answers, its language and its payload copy. (With the
// real plug-in, InstallerEndToEndTest ends a host by its input and by Ctrl-C, and the window's
// tests end one by SIGTERM.)
#include "HostProcess.h"
#include "PayloadTreeSupport.h"

namespace {

// Runs installer-host on `args`; expects it to end with `status` and returns its output.
std::string runHost(const std::vector<std::string>& args, int status, const std::vector<std::string>& env = {})
{
    Host host;
    host.start(args, env);
    EXPECT_EQ(host.finish(), status) << host.output;
    return host.output;
}

TEST(InstallerHostTest, UsageErrorsAndBundlesThatCannotLoad)
{
    // The parser's complaints are InstallerHostOptionsTest's; here that they end in status 2 (a
    // scripted action the terminal host does not know), and a question nobody can answer.
    runHost({"--actions", "continue,jump", RECORDING_BUNDLE}, 2);
    runHost({"--unattended", "--authorize", "ask", RECORDING_BUNDLE}, 2);
    expectHas(runHost({"/nonexistent/Missing.bundle"}, 3), {"cannot load /nonexistent/Missing.bundle/Missing.so"});
    // A loadable module, but no plug-in.
    expectHas(runHost({NO_FACTORY_BUNDLE "/"}, 3), {"NoFactory.so has no InstallerPluginCreate factory"});
    expectHas(runHost({"--unattended", RECORDING_BUNDLE}, 4, {"RECORDING_DECLINE=1"}), {"call=shouldLoad:0x0000 call=terminate"});
}

// The usage text and the command line's complaints are read by people too: in their language,
// from both hosts (the window's without needing a display). A complaint comes with the usage, so
// one wrong command line shows both; that every message is in the catalog the build checks.
TEST(InstallerHostTest, InGermanTheUsageAndTheCommandLinesComplaints)
{
    expectHas(runHost({"--install", RECORDING_BUNDLE}, 2, {"LANGUAGE=de"}),
              {"--install nimmt QUELLE=ZIEL", "Aufruf: installer-host [Optionen] BÜNDEL"});
#ifdef INSTALLER_HOST_GTK_PATH
    Host window;
    window.program = INSTALLER_HOST_GTK_PATH;
    window.start({"--modifiers", "hyper", RECORDING_BUNDLE}, {"LANGUAGE=de", "DISPLAY=", "WAYLAND_DISPLAY="});
    EXPECT_EQ(window.finish(), 2) << window.output;
    expectHas(window.output, {"unbekannte Zusatztaste \"hyper\"", "Aufruf: installer-host-gtk [Optionen] BÜNDEL"});
#endif
}

// The order of the calls is SessionTest's; here that the actions, the modifiers and the answer
// given on the command line reach the road, and that the result line reports it.
TEST(InstallerHostTest, UnattendedRoadFollowsTheActionsAndReportsIt)
{
    expectHas(runHost({"--actions", "button,back,quit", "--modifiers", "command,shift,control,option", "--authorize",
                       "yes", RECORDING_BUNDLE}, 0),
              {"[1] Next", "installer-host: result: section=RecordingSection first=A panes=A,B,A ended=quit "
                           "call=shouldLoad:0x1b00 ", "call=auth:granted"});
}

// Every line for a person in the person's language, the copy's progress and the installation
// page's lines among them, and a right in words with its identifier only as a detail; the result
// line stays as scripts read it.
TEST(InstallerHostTest, InGermanTheCopyProgressTheInstalledFileAndTheRightAskedForReadInGerman)
{
    TempFolder folder("installer-host-test");
    ASSERT_FALSE(folder.path.empty());
    const std::string payload = folder.path + "/payload", dest = folder.path + "/dest";
    std::ofstream(payload) << "payload\n";
    std::string output = runHost({"--actions", "continue", "--install", payload + "=" + dest, RECORDING_BUNDLE}, 0,
                                 {"LANGUAGE=de"});
    expectHas(output, {"installer-host: " + dest + " wird kopiert: 100 %\n", "installiert: " + dest + "\n",
                       "Wenn Sie es erlauben, nimmt das Installationsprogramm eine Änderung vor",
                       "Detail: Recht test.right.\n", "installer-host: result: "});
}

// (That no staging name is left, and a link planted by another user is never followed, is
// XpStagedFileTest's; here that the host replaces the name and does not write through it.)
TEST(InstallerHostTest, InstallReplacesTheDestinationAndFollowsNoLinkPlantedThere)
{
    TempFolder folder("installer-host-test");
    ASSERT_FALSE(folder.path.empty());
    const std::string dir = folder.path, precious = dir + "/precious", payload = dir + "/payload", dest = dir + "/dest";
    std::ofstream(precious) << "keep me\n";
    std::ofstream(payload) << "payload\n";
    ASSERT_EQ(::symlink(precious.c_str(), dest.c_str()), 0);
    runHost({"--unattended", "--install", payload + "=" + dest, RECORDING_BUNDLE}, 0);
    EXPECT_EQ(readAll(precious), "keep me\n");
    EXPECT_EQ(readAll(dest), "payload\n"); // so no longer the link to the precious file
}

TEST(InstallerHostTest, InteractiveChoicesThroughAPipe)
{
    Host host;
    host.start({"--interactive", RECORDING_BUNDLE});
    size_t prompts = 0;
    for (const char* choice : {"c\n", "1\n", "c\n"}) { // continue, A's button, leaving B asks for the right
        ASSERT_TRUE(host.readUntil("choice> ", ++prompts)) << host.output;
        host.send(choice);
    }
    ASSERT_TRUE(host.readUntil("Allow? [y/N] ")) << host.output;
    host.send("y\n");
    ASSERT_TRUE(host.readUntil("Summary")) << host.output;
    host.send("c\n");
    EXPECT_EQ(host.finish(), 0);
    EXPECT_NE(host.resultLine().find("call=B.exit:0 call=auth:granted call=terminate"), std::string::npos) << host.output;
}

// An application folder of 400 files whose copy was stopped by Ctrl-C: the host is held inside
// the copy (its output pipe full when it reports 25%), interrupted there, and must end with status
// 130. Its record of what it placed goes to `host`'s data folder.
struct StoppedFolderCopy {
    TempFolder folder{"installer-host-test"};
    std::string source = folder.path + "/App", dest = folder.path + "/installed/App";
    size_t files = 0;
    Host host;
};

void stopFolderCopyMidway(StoppedFolderCopy& copy)
{
    ASSERT_FALSE(copy.folder.path.empty());
    copy.files = makeApplicationFolder(copy.source, 400);
    Host& host = copy.host;
    const std::string &source = copy.source, &dest = copy.dest;
    const size_t files = copy.files;
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    host.out = out[0]; // host kills and reaps the host, closes the pipe's reading end, whatever happens
    const int capacity = ::fcntl(out[0], F_SETPIPE_SZ, 4096);
    ASSERT_GT(capacity, 0);
    // Room for the first progress line only: the next one (25%) waits, mid-copy, until drained.
    const std::string first = "installer-host: copying " + dest + ": 0% (files: 0 of " + std::to_string(files) + ")\n";
    const std::string filler(static_cast<size_t>(capacity) - first.size(), '#');
    ASSERT_EQ(::write(out[1], filler.data(), filler.size()), static_cast<ssize_t>(filler.size()));
    host.pid = ::fork();
    ASSERT_GE(host.pid, 0);
    if (host.pid == 0) {
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(out[1], 1);
        ::dup2(null, 2);
        execChild({INSTALLER_HOST_PATH, "--unattended", "--install", source + "=" + dest, RECORDING_BUNDLE},
                  {"LANGUAGE=en", "XDG_DATA_HOME=" + host.dataHome.path});
    }
    ::close(out[1]);
    // Held in a write to the full pipe (by whichever of its threads reports the progress).
    auto heldInWrite = [&host]() {
        for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(host.pid) + "/task"))
            if (readAll(task.path().string() + "/wchan").find("pipe_write") != std::string::npos)
                return true;
        return false;
    };
    bool held = false;
    for (int i = 0; i < 2000 && !(held = heldInWrite()); ++i)
        ::usleep(10 * 1000);
    ASSERT_TRUE(held) << "the host never waited on its output";
    ASSERT_EQ(::kill(host.pid, SIGINT), 0);
    ASSERT_EQ(host.finish(), 130) << host.output;
    ASSERT_EQ(host.output.compare(0, filler.size() + first.size(), filler + first), 0) << host.output;
}

} // namespace

// Interrupted mid-copy of a folder, the host leaves every file it had placed complete and nothing
// of the files under way, no staging debris, and says the installation was cancelled.
TEST(InstallerHostTest, CtrlCMidCopyOfAFolderKeepsTheCompleteFilesAndNothingOfThoseUnderWay)
{
    StoppedFolderCopy copy;
    ASSERT_NO_FATAL_FAILURE(stopFolderCopyMidway(copy));
    expectHas(copy.host.output,
              {"installer-host: copying " + copy.dest + ": 25%", "ended=interrupted installation=cancelled"});
    const size_t placed = expectCompleteFilesOnly(copy.source, copy.dest);
    EXPECT_GT(placed, 0u);
    EXPECT_LT(placed, copy.files);
    EXPECT_EQ(stagingDebris(copy.dest), 0u);
}

// The complete files a stopped folder copy left are recorded as placed, so a removal takes them
// away with the folder it made.
TEST(InstallerHostTest, UninstallRemovesTheFilesOfAFolderCopyStoppedMidway)
{
    StoppedFolderCopy copy;
    ASSERT_NO_FATAL_FAILURE(stopFolderCopyMidway(copy));
    ASSERT_GT(expectCompleteFilesOnly(copy.source, copy.dest), 0u);
    runHost({"--uninstall", "--unattended", RECORDING_BUNDLE}, 0, {"XDG_DATA_HOME=" + copy.host.dataHome.path});
    EXPECT_FALSE(std::filesystem::exists(copy.dest));
}
