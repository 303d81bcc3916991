// The answers file of unattended installs: what it takes, the files it refuses (each naming the
// line at fault) and that a refused file stops the host before anything happens.
#include "HostProcess.h"

#include <InstallerAnswers.h>
#include <InstallerHostOptions.h>

#include <sys/stat.h>

#include <fstream>

namespace {

std::string writeAnswers(const TempFolder& folder, const std::string& name, const std::string& text)
{
    std::string path = folder.path + "/" + name;
    std::ofstream(path) << text;
    return path;
}

TEST(InstallerAnswersTest, AWholeFileGivesEveryChoice)
{
    TempFolder folder("answers");
    std::string path = writeAnswers(folder, "fleet.ini",
                                    "# the fleet's choices\n[Road]\nMoves = continue,button:2\nChangeFolders=true\n\n"
                                    "[Authorization]\nAnswer=no\n[Payload]\nInstall=/srv/a=/opt/a;/srv/b b=/opt/b=c\n");
    InstallerAnswers answers;
    std::string error;
    ASSERT_TRUE(InstallerReadAnswers(path, answers, error)) << error;
    EXPECT_EQ(answers.moves, (std::vector<std::string>{"continue", "button:2"}));
    EXPECT_EQ(answers.changeFolders, 1);
    EXPECT_EQ(answers.payload, (std::vector<std::pair<std::string, std::string>>{{"/srv/a", "/opt/a"}, {"/srv/b b", "/opt/b=c"}}));
}

TEST(InstallerAnswersTest, AWrongFileIsRefusedNamingItsLine)
{
    struct Case {
        const char* text;
        const char* expected; // in the error, after "FILE"
    };
    const Case cases[] = {
        {"[Road]\nChangeFolders=true\n[Roads]\n", ":3: unknown group [Roads]"},
        {"[Road]\n# a comment\nChangeFolder=true\n", ":3: unknown key ChangeFolder in [Road]"},
        {"[Road]\nChangeFolders=yes please\n", ":2: ChangeFolders takes true or false"},
        {"[Road]\nMoves=continue,jump\n", ":2: unknown move \"jump\""},
        {"[Authorization]\nAnswer=ask\n", ":2: Answer takes polkit, yes or no"},
        {"[Payload]\nInstall=/srv/a=/opt/a;/srv/b\n", ":2: Install takes SRC=DEST items separated by ';', not \"/srv/b\""},
        {"[Road]\nChangeFolders=true\n\n[Authorization]\nAnswer=yes\n[Road]\nChangeFolders=false\n",
         ":7: ChangeFolders given again (first on line 2)"},
        {"ChangeFolders=true\n[Road]\n", ":1: a key before the first group"},
        {"\x7f" "ELF\x02\x01\x01\n", ":1: not a group, key=value or comment line"},
        {"[Road\n", ":1: not a group, key=value or comment line"},
    };
    TempFolder folder("answers");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string path = writeAnswers(folder, "bad.ini", c.text);
        InstallerAnswers answers;
        answers.authorize = "untouched";
        std::string error;
        EXPECT_FALSE(InstallerReadAnswers(path, answers, error));
        EXPECT_EQ(error, path + c.expected);
        EXPECT_EQ(answers.authorize, "untouched"); // a refused file gives nothing
    }
}

TEST(InstallerAnswersTest, OnlyARegularFileIsRead)
{
    TempFolder folder("answers");
    std::string fifo = folder.path + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    InstallerAnswers answers;
    std::string error;
    EXPECT_FALSE(InstallerReadAnswers(fifo, answers, error)); // returns: no writer is waited for
    EXPECT_EQ(error, fifo + ": not a regular file");
    EXPECT_FALSE(InstallerReadAnswers(folder.path + "/missing", answers, error));
    EXPECT_EQ(error, folder.path + "/missing: No such file or directory");
    std::string big = writeAnswers(folder, "big.ini", "[Road]\n" + std::string(70000, '#') + "\n");
    EXPECT_FALSE(InstallerReadAnswers(big, answers, error));
    EXPECT_EQ(error, big + ": larger than an answers file can be (64 KiB)");
}

// The host refuses the file before the plug-in is loaded or a payload copied.
TEST(InstallerAnswersTest, TheHostRefusesAWrongFileBeforeAnythingHappens)
{
    TempFolder folder("answers");
    std::string source = writeAnswers(folder, "payload", "data\n");
    std::string destination = folder.path + "/installed";
    std::string path = writeAnswers(folder, "bad.ini", "[Payload]\nInstall=" + source + "=" + destination +
                                                           "\n[Authorization]\nAnswer=maybe\n");
    Host host;
    host.start({"--answers", path, RECORDING_BUNDLE});
    EXPECT_EQ(host.finish(), 2) << host.output;
    expectHas(host.output, {"installer-host: " + path + ":4: Answer takes polkit, yes or no\n"});
    EXPECT_EQ(host.output.find("call="), std::string::npos) << host.output;
    EXPECT_FALSE(std::filesystem::exists(destination));
    // The same choice in two places is a usage error, not a silent precedence.
    std::string good = writeAnswers(folder, "good.ini", "[Authorization]\nAnswer=yes\n");
    host.start({"--answers", good, "--authorize", "no", RECORDING_BUNDLE});
    EXPECT_EQ(host.finish(), 2) << host.output;
    expectHas(host.output, {"--authorize and the answers file's Answer both given"});
}

} // namespace
