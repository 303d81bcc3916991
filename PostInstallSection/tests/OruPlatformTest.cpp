// The plug-in's Linux desktop layer on its own: Exec lines, desktop entry lookup, the autostart
// write and the mutex file against links, detached starts, and what the installer
// lock tells of other processes.
#include "HostProcess.h" // TempFolder, Host, validDesktopEntry
#include "MutexTestSupport.h" // startAsNobody
#include "OruPlatform_Linux.h"

#include <InstallerDisplayText.h>
#include <OruSandbox.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

using namespace OruPlatform_Linux;
using Args = std::vector<std::string>;
using Opt = std::optional<std::string>;

namespace {

// Each test works in a fresh folder of its own, removed at the end.
class OruPlatformTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(root.path.empty()); }
    TempFolder root{"oru-platform"};
};

// (The catalogs, found beside the module, are read in the window: GtkHostTest.InGerman…. An
// unterminated quote is refused on a road there; a NUL byte, and values the login item escapes,
// in AHostileSystemEntry….)
TEST_F(OruPlatformTest, ExecLinesAreUnquotedAndBadOnesRefused)
{
    const struct {
        std::string line;
        Args argv;          // when it can be parsed
        const char* error;  // otherwise
    } cases[] = {
        // Field codes standing alone dropped, within a word removed, %% made %; \s a plain space;
        // quoted words taken as written.
        {"  app   100%% --file=%f app\\sname %i %c %k %U \"100%%\" \"%f\" ", {"app", "100%", "--file=", "app", "name", "100%%", "%f"}, nullptr},
        // Quoted: spaces kept, \" \` \$ \\ unescaped (the file doubles each backslash).
        {"\"/opt/My Apps/ombrix\" --title \"say \\\\\"hi\\\\\" \\\\$HOME \\\\`x\\\\` a\\\\\\\\b\"",
         {"/opt/My Apps/ombrix", "--title", "say \"hi\" $HOME `x` a\\b"}, nullptr},
        {"ombrix > /tmp/log", {}, "reserved character '>'"},
        {"\"ombrix\"--x", {}, "runs into other text"},
        {"\"\" x", {}, "names no program"},
    };
    for (const auto& c : cases) {
        Args argv{"untouched"};
        std::string error;
        EXPECT_EQ(splitExecLine(c.line, argv, &error), !c.error) << c.line << ": " << error;
        EXPECT_EQ(argv, c.error ? Args{"untouched"} : c.argv) << c.line;
        EXPECT_TRUE(!c.error || error.find(c.error) != std::string::npos) << c.line << ": " << error;
    }
}

TEST_F(OruPlatformTest, ApplicationEntriesAreFoundByDesktopFileIdTheFirstFolderHoldingItDecides)
{
    const std::string id = "com.ombrix.Ombrix.desktop", user = root.path + "/home/.local/share/applications/" + id;
    ::setenv("XDG_DATA_HOME", (root.path + "/home/.local/share").c_str(), 1);
    ::setenv("XDG_DATA_DIRS", ("relative/ignored:" + root.path + "/usr").c_str(), 1);
    OruSandbox::writeFile(root.path + "/usr/applications/" + id,
                          "# comment\n[Desktop Entry]\nType=Application\nName=System\nExec=sys\n"
                          "junk without equals\n[Desktop Action New]\nExec=other\n");
    std::string why;
    auto entry = findApplicationEntry(id, &why);
    ASSERT_TRUE(entry) << why;
    EXPECT_EQ(entry->value("Exec"), "sys"); // the action group's Exec is not the entry's
    // The first folder that holds the ID decides (the user's, here): a hidden or non-application
    // entry there hides the system's. (That the user's entry wins: RoadTest.TheAllUsersLoginItem….)
    const std::pair<const char*, const char*> hiding[] = {{"[Desktop Entry]\nType=Application\nHidden=true\n", "Hidden=true"},
                                                          {"[Desktop Entry]\nType=Link\nURL=x\n", "not Type=Application"},
                                                          {"Type=Application\n", "no [Desktop Entry] group"}};
    for (const auto& h : hiding) {
        OruSandbox::writeFile(user, h.first);
        EXPECT_FALSE(findApplicationEntry(id, &why));
        EXPECT_NE(why.find(h.second), std::string::npos) << why;
    }
}

// System desktop entries that anyone packaging an application could ship: each gives a login
// item desktop-file-validate accepts, or none and the reason. One row per rule (and per key the
// rule reads); the privileged helper writes its entry with the same loginItemText.
TEST_F(OruPlatformTest, AHostileSystemEntryGivesALoginItemThatValidatesOrNoneAndTheReason)
{
    using namespace std::string_literals;
    const struct {
        std::string keys;   // the lines after "[Desktop Entry]\nType=Application\n"
        const char* reason; // in the refusal; nullptr: written, and valid
    } rows[] = {
        {"Name=Om\xff" "brix\nExec=ombrix\n", "Name is not valid UTF-8"},
        {"Name=Ombrix\nExec=ombrix \"a\tb\"\n", "Exec holds a control character"},
        {"Exec=ombrix \"a$b\"\n", "unescaped '$' inside quotes in Exec"},
        {"Exec=ombrix \"a\\\\qb\"\n", "backslash inside quotes in Exec escapes nothing"},
        {"Exec=ombrix \"%F\" %U\n", "more than one of %f %u %F %U in Exec"}, // a quoted code counts too
        {"Exec=ombrix %x\n", "unknown field code '%x' in Exec"},
        {"Exec=ombrix 100%\n", "incomplete field code '%' in Exec"},
        {"Exec=ombrix\0-not-this --record LOG\n"s, "NUL byte in Exec"}, // read from the file as it is
        {"Name=\xc3\x96mbrix \xe2\x9c\x93\nExec=\"/opt/My Apps/ombrix\" --title \"a\\\\$b \\\\`c\\\\` d\\\\\\\\e\" %U\nIcon=ombrix\n",
         nullptr},
        {"Name=Om\\nbrix\\r\nExec=ombrix 100%% %i %c %k \"%%f\"\n", nullptr},
    };
    const std::string id = "com.ombrix.Ombrix.desktop", written = root.path + "/written.desktop";
    for (const auto& row : rows) {
        const std::string context = InstallerEscapeControls(row.keys);
        ASSERT_TRUE(OruSandbox::writeFile(root.path + "/applications/" + id, "[Desktop Entry]\nType=Application\n" + row.keys));
        std::string why;
        auto entry = findApplicationEntryIn({root.path}, id, &why);
        ASSERT_TRUE(entry) << context << ": " << why;
        Opt text = loginItemText(*entry, "Ombrix", &why);
        EXPECT_EQ(text ? std::string() : why, row.reason ? entry->path + ": " + row.reason : std::string()) << context;
        if (text) {
            ASSERT_TRUE(OruSandbox::writeFile(written, *text));
            EXPECT_TRUE(validDesktopEntry(written)) << context;
        }
    }
}

TEST_F(OruPlatformTest, AutostartEntriesAndTheMutexFileAreNeverWrittenThroughALinkDetachedStartsInheritNoDescriptors)
{
    std::string dir = root.path + "/etc/xdg/autostart", error; // made on demand
    ASSERT_TRUE(writeFileAtomically(dir, "app.desktop", "first\n", &error)) << error;
    ASSERT_TRUE(writeFileAtomically(dir, "app.desktop", "second\n", &error)) << error; // replaces
    EXPECT_EQ(OruSandbox::readFile(dir + "/app.desktop"), "second\n");
    // (Its mode: PolkitTest's root road; no staging name left: XpStagedFileTest.)

    // A linked folder is refused, and nothing is made through it; a link at the mutex file's name
    // (to a folder, here) is not removed. (A link at the entry's name, and one where the mutex file
    // is made, are refused end to end: InstallerEndToEndTest.HostileObjects….)
    const std::string link = root.path + "/linkdir";
    ASSERT_EQ(::symlink(root.path.c_str(), link.c_str()), 0);
    EXPECT_FALSE(writeFileAtomically(link, "x.desktop", "evil\n", &error));
    EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
    EXPECT_FALSE(exists(root.path + "/x.desktop"));
    EXPECT_FALSE(mutexFileExists(link) || removeMutexFile(link, &error));
    EXPECT_TRUE(std::filesystem::is_symlink(link));

    // Detached starts inherit no descriptors. (Leading its own session is checked by every road:
    // the sample application records it.)
    int keep = ::fcntl(::open("/dev/null", O_RDONLY), F_DUPFD, 57); // not close-on-exec: must not reach the child
    ASSERT_GE(keep, 57);
    pid_t pid = -1;
    // "sh" is looked up in PATH, as a bare name in an Exec line is.
    ASSERT_TRUE(spawnDetached({"sh", "-c", "ls /proc/self/fd > \"$0\"", root.path + "/fds"}, nullptr, &pid, &error)) << error;
    EXPECT_EQ(exitStatus(pid), 0);
    std::string fds = OruSandbox::readFile(root.path + "/fds");
    EXPECT_NE(fds.find("0\n1\n2\n"), std::string::npos) << fds; // the standard three are open
    EXPECT_EQ(fds.find(std::to_string(keep) + "\n"), std::string::npos) << fds;
    ::close(keep);
    // A program that cannot be started is a clear failure.
    EXPECT_FALSE(spawnDetached({root.path + "/no-such-program"}, nullptr, &pid, &error));
}

TEST_F(OruPlatformTest, OnlyAnEmptyRegularFileIsOpenedForTheInstallerLockNothingElseIsFollowedOrWaitedOn)
{
    const std::string file = root.path + "/lock", target = root.path + "/target";
    ASSERT_TRUE(OruSandbox::writeFile(target, ""));
    // The refusal, or how the file was opened (only ever read-only: the lock file is never written).
    auto open = [&file]() -> std::string {
        std::string detail;
        XpFd fd = openMutexFile(file, &detail);
        if (!fd.IsValid())
            return detail;
        return (::fcntl(fd.Get(), F_GETFL) & O_ACCMODE) == O_RDONLY ? "read-only" : "writable";
    };
    EXPECT_EQ(open(), "No such file or directory");
    ASSERT_TRUE(OruSandbox::writeFile(file, ""));
    EXPECT_EQ(open(), "read-only");
    ASSERT_TRUE(OruSandbox::writeFile(file, "x"));
    EXPECT_EQ(open(), "the file is not empty");
    ASSERT_EQ(::unlink(file.c_str()) + ::symlink(target.c_str(), file.c_str()), 0); // to an empty file
    EXPECT_EQ(open(), "a symbolic link is there");
    ASSERT_EQ(::unlink(file.c_str()) + ::mkfifo(file.c_str(), 0666), 0);
    EXPECT_EQ(open(), "something other than a file is there"); // and not waited on
}

TEST_F(OruPlatformTest, ALockHoldersNameShowsNoControlCharactersAnEndedProcessIsNoHolder)
{
    // Programs whose paths another user chose, started as nobody: named with nobody's user name,
    // and '?' for what a terminal would act on and for every byte of a name that is not UTF-8.
    ASSERT_EQ(::chmod(root.path.c_str(), 0755), 0);
    struct statvfs fs;
    if (::statvfs(root.path.c_str(), &fs) == 0 && (fs.f_flag & ST_NOEXEC))
        GTEST_SKIP() << "/tmp does not let programs run (noexec)";
    const std::pair<std::string, std::string> names[] = {
        {"sle\nep\x1b[2J schl\xC3\xA4" "fer", "sle?ep?[2J schl\xC3\xA4" "fer"},
        {"sl\xC1\xBF" "p\xC3\xA9", "sl??p??"}, // an overlong form: not UTF-8, so neither is the rest
    };
    for (const auto& name : names) {
        const std::string program = root.path + "/" + name.first;
        std::filesystem::copy_file(std::filesystem::canonical("/bin/sleep"), program);
        pid_t pid = startAsNobody([&] { return ::execl(program.c_str(), "sleep", "60", static_cast<char*>(nullptr)); });
        ASSERT_GE(pid, 0);
        std::optional<ProcessInfo> who;
        for (int i = 0; i < 500 && !(who && who->program.rfind(root.path, 0) == 0); ++i)
            ::usleep(10 * 1000), who = describeProcess(pid); // after the exec
        ASSERT_TRUE(who) << program;
        EXPECT_EQ((Args{std::to_string(who->pid), who->user, who->program}),
                  (Args{std::to_string(pid), "nobody", root.path + "/" + name.second}));
        EXPECT_GT(who->startedAt, 0);
        // Ended but not yet collected (a zombie): no holder. (Collected: InstallerEndToEndTest's
        // lock left taken by an ended process.)
        ::kill(pid, SIGKILL);
        siginfo_t info;
        ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
        EXPECT_FALSE(describeProcess(pid));
        ::waitpid(pid, nullptr, 0);
    }
}

} // namespace
