// The plug-in's Linux desktop layer on its own: Exec lines, desktop entry lookup, settings files,
// user folders, the atomic autostart write, the mutex file, detached starts and the catalogs.
#include "OruPlatform_Linux.h"

#include <InstallerPlugin.h>
#include <OruSandbox.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

using namespace OruPlatform_Linux;

namespace {

std::string tempDir(const char* name)
{
    std::string dir = ::testing::TempDir() + "oru-platform-" + name + "-" + std::to_string(::getpid());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

std::vector<std::string> split(const std::string& raw)
{
    std::vector<std::string> argv;
    std::string error;
    EXPECT_TRUE(splitExecLine(raw, argv, &error)) << raw << ": " << error;
    return argv;
}

std::string splitError(const std::string& raw)
{
    std::vector<std::string> argv{"untouched"};
    std::string error;
    EXPECT_FALSE(splitExecLine(raw, argv, &error)) << raw;
    EXPECT_EQ(argv, std::vector<std::string>{"untouched"});
    return error;
}

TEST(OruPlatformTest, ExecLinesAreUnquotedAndFieldCodesDropped)
{
    EXPECT_EQ(split("ombrix %U"), (std::vector<std::string>{"ombrix"}));
    EXPECT_EQ(split("  /opt/Ombrix/bin/ombrix   --gui %f %i %c %k  "),
              (std::vector<std::string>{"/opt/Ombrix/bin/ombrix", "--gui"}));
    // Quoted arguments: spaces kept, \" \` \$ \\ unescaped (the file doubles each backslash).
    EXPECT_EQ(split("\"/opt/My Apps/ombrix\" --title \"say \\\\\"hi\\\\\" \\\\$HOME \\\\`x\\\\` a\\\\\\\\b\""),
              (std::vector<std::string>{"/opt/My Apps/ombrix", "--title", "say \"hi\" $HOME `x` a\\b"}));
    EXPECT_EQ(split("app 100%% --file=%f"), (std::vector<std::string>{"app", "100%", "--file="}));
    EXPECT_EQ(split("app\\sname arg"), (std::vector<std::string>{"app", "name", "arg"})); // \s is a plain space
    EXPECT_EQ(split("\"100%%\" \"%f\""), (std::vector<std::string>{"100%%", "%f"}));  // quoted: taken as written
}

TEST(OruPlatformTest, ExecLinesThatCannotBeParsedAreRefused)
{
    EXPECT_NE(splitError("\"/opt/ombrix --x").find("unterminated quote"), std::string::npos);
    EXPECT_NE(splitError("ombrix > /tmp/log").find("reserved character '>'"), std::string::npos);
    EXPECT_NE(splitError("sh -c 'rm -rf x'").find("reserved character '''"), std::string::npos);
    EXPECT_NE(splitError("ombrix $HOME").find("reserved character '$'"), std::string::npos);
    EXPECT_NE(splitError("\"ombrix\"--x").find("runs into other text"), std::string::npos);
    EXPECT_NE(splitError("").find("names no program"), std::string::npos);
    EXPECT_NE(splitError("\"\" x").find("names no program"), std::string::npos);
    EXPECT_NE(splitError("   %U  ").find("names no program"), std::string::npos);
}

TEST(OruPlatformTest, ApplicationEntriesAreFoundByDesktopFileId)
{
    std::string root = tempDir("lookup");
    ::setenv("HOME", (root + "/home").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root + "/home/.local/share").c_str(), 1);
    ::setenv("XDG_DATA_DIRS", ("relative/ignored:" + root + "/usr/local/share:" + root + "/usr/share").c_str(), 1);
    const std::string id = "com.ombrix.Ombrix.desktop";
    std::string why;
    EXPECT_FALSE(findApplicationEntry(id, &why));
    EXPECT_NE(why.find("not found"), std::string::npos);

    OruSandbox::writeFile(root + "/usr/share/applications/" + id,
                          "# comment\n[Desktop Entry]\nType=Application\nName=System\nName[de]=System DE\nExec=sys\n"
                          "junk without equals\n[Desktop Action New]\nExec=other\n");
    auto entry = findApplicationEntry(id, &why);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->path, root + "/usr/share/applications/" + id);
    EXPECT_EQ(entry->value("Exec"), "sys"); // the action group's Exec is not the entry's
    EXPECT_EQ(entry->value("Name[de]"), "System DE");

    // An earlier folder wins; there a hidden or non-application entry hides the ID.
    OruSandbox::writeFile(root + "/usr/local/share/applications/" + id, "[Desktop Entry]\nType=Application\nName=Local\n");
    entry = findApplicationEntry(id, &why);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->value("Name"), "Local");
    EXPECT_FALSE(entry->has("Exec")); // found all the same: starting it is what fails
    OruSandbox::writeFile(root + "/home/.local/share/applications/" + id, "[Desktop Entry]\nType=Application\nHidden=true\n");
    EXPECT_FALSE(findApplicationEntry(id, &why));
    EXPECT_NE(why.find("Hidden=true"), std::string::npos);
    OruSandbox::writeFile(root + "/home/.local/share/applications/" + id, "[Desktop Entry]\nType=Link\nURL=x\n");
    EXPECT_FALSE(findApplicationEntry(id, &why));
    EXPECT_NE(why.find("not Type=Application"), std::string::npos);
    OruSandbox::writeFile(root + "/home/.local/share/applications/" + id, "Type=Application\n");
    EXPECT_FALSE(findApplicationEntry(id, &why));
    EXPECT_NE(why.find("no [Desktop Entry] group"), std::string::npos);
    std::filesystem::remove_all(root);
}

TEST(OruPlatformTest, SettingsFilesAndUserFolders)
{
    std::string root = tempDir("settings");
    std::string file = root + "/app.conf";
    EXPECT_FALSE(readIniValue(file, "Settings", "PhotoHomePath")); // no file
    OruSandbox::writeFile(file, "\xff\xfe binary junk\n; comment\n# comment\n[Settings]\nPhotoHomePath\n"
                                "VideoHomePath=/first\nVideoHomePath = /second \nMusicHomePath=\n"
                                "Quoted=\"  spaced \\\\ \\\"q\\\"  \"\n[Other]\nPhotoHomePath=/other\n");
    EXPECT_FALSE(readIniValue(file, "Settings", "PhotoHomePath")); // a key without '=' is junk
    EXPECT_EQ(readIniValue(file, "Settings", "VideoHomePath"), std::optional<std::string>("/second"));
    EXPECT_EQ(readIniValue(file, "Settings", "MusicHomePath"), std::optional<std::string>(""));
    EXPECT_EQ(readIniValue(file, "Settings", "Quoted"), std::optional<std::string>("  spaced \\ \"q\"  "));
    EXPECT_EQ(readIniValue(file, "Other", "PhotoHomePath"), std::optional<std::string>("/other"));
    EXPECT_FALSE(readIniValue(file, "Missing", "PhotoHomePath"));

    ::setenv("HOME", (root + "/home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    EXPECT_EQ(userDirectory("XDG_MUSIC_DIR", "Music"), std::optional<std::string>(root + "/home/Music"));
    OruSandbox::writeFile(root + "/config/user-dirs.dirs",
                          "XDG_MUSIC_DIR=\"$HOME/Musik\"\nXDG_PICTURES_DIR=\"/srv/pictures\"\n"
                          "XDG_VIDEOS_DIR=relative-unquoted\nXDG_DESKTOP_DIR=\"$HOME/\"\nXDG_DOCUMENTS_DIR=\"rel\"\n");
    EXPECT_EQ(userDirectory("XDG_MUSIC_DIR", "Music"), std::optional<std::string>(root + "/home/Musik"));
    EXPECT_EQ(userDirectory("XDG_PICTURES_DIR", "Pictures"), std::optional<std::string>("/srv/pictures"));
    EXPECT_EQ(userDirectory("XDG_VIDEOS_DIR", "Videos"), std::optional<std::string>(root + "/home/Videos"));
    EXPECT_EQ(userDirectory("XDG_DESKTOP_DIR", "Desktop"), std::optional<std::string>(root + "/home"));
    EXPECT_EQ(userDirectory("XDG_DOCUMENTS_DIR", "Documents"), std::optional<std::string>(root + "/home/Documents"));

    EXPECT_TRUE(makeDirectories(root + "/a/b/c"));
    EXPECT_TRUE(makeDirectories(root + "/a/b/c")); // already there
    OruSandbox::writeFile(root + "/file", "x");
    EXPECT_FALSE(makeDirectories(root + "/file/sub"));
    EXPECT_FALSE(makeDirectories("relative/path"));
    std::filesystem::remove_all(root);
}

TEST(OruPlatformTest, AutostartEntriesAreWrittenAtomicallyAndNeverThroughALink)
{
    std::string root = tempDir("autostart");
    std::string dir = root + "/etc/xdg/autostart"; // made on demand
    std::string error;
    ASSERT_TRUE(writeFileAtomically(dir, "app.desktop", "first\n", &error)) << error;
    ASSERT_TRUE(writeFileAtomically(dir, "app.desktop", "second\n", &error)) << error; // replaces
    EXPECT_EQ(OruSandbox::readFile(dir + "/app.desktop"), "second\n");
    struct stat st;
    ASSERT_EQ(::stat((dir + "/app.desktop").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 1u); // no temporary file left behind

    // A link planted at the entry's name: refused, the link and its target untouched.
    OruSandbox::writeFile(root + "/precious", "keep me\n");
    ASSERT_EQ(::symlink((root + "/precious").c_str(), (dir + "/linked.desktop").c_str()), 0);
    EXPECT_FALSE(writeFileAtomically(dir, "linked.desktop", "evil\n", &error));
    EXPECT_NE(error.find("is a symbolic link"), std::string::npos) << error;
    EXPECT_EQ(OruSandbox::readFile(root + "/precious"), "keep me\n");
    ASSERT_EQ(::lstat((dir + "/linked.desktop").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    // A dangling link is not followed into creating its target either.
    ASSERT_EQ(::symlink((root + "/created-through-link").c_str(), (dir + "/dangling.desktop").c_str()), 0);
    EXPECT_FALSE(writeFileAtomically(dir, "dangling.desktop", "evil\n", &error));
    EXPECT_FALSE(std::filesystem::exists(root + "/created-through-link"));
    // A linked folder is not entered.
    ASSERT_EQ(::symlink(root.c_str(), (root + "/linkdir").c_str()), 0);
    EXPECT_FALSE(writeFileAtomically(root + "/linkdir", "x.desktop", "evil\n", &error));
    EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(root + "/x.desktop"));

    // A folder the process may not write: refused cleanly (checked as nobody: root writes anywhere).
    std::string locked = root + "/locked";
    ASSERT_TRUE(makeDirectories(locked));
    ASSERT_EQ(::chmod(root.c_str(), 0755), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        struct passwd* nobody = ::getpwnam("nobody");
        if (!nobody || ::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0)
            ::_exit(3);
        std::string why;
        bool wrote = writeFileAtomically(locked, "x.desktop", "x\n", &why);
        ::_exit(wrote ? 1 : (why.find("Permission denied") != std::string::npos ? 0 : 2));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(std::filesystem::exists(locked + "/x.desktop"));
    std::filesystem::remove_all(root);
}

TEST(OruPlatformTest, MutexFileIsCreatedReusedAndNeverFollowed)
{
    // The same calls as for /var/tmp, on a private path.
    std::string root = tempDir("mutexfile");
    std::string path = root + "/Oru_test";
    std::string detail;
    EXPECT_EQ(createMutexFile(path, &detail), MutexFileResult::Created);
    EXPECT_TRUE(mutexFileExists(path));
    EXPECT_EQ(createMutexFile(path, &detail), MutexFileResult::Reused);
    EXPECT_TRUE(removeMutexFile(path, &detail));
    EXPECT_FALSE(mutexFileExists(path));
    EXPECT_FALSE(removeMutexFile(path, &detail)); // nothing to remove

    OruSandbox::writeFile(root + "/target", "keep me\n");
    ASSERT_EQ(::symlink((root + "/target").c_str(), path.c_str()), 0);
    EXPECT_EQ(createMutexFile(path, &detail), MutexFileResult::NotRegularFile);
    EXPECT_NE(detail.find("symbolic link"), std::string::npos);
    EXPECT_FALSE(mutexFileExists(path));
    EXPECT_FALSE(removeMutexFile(path, &detail));
    EXPECT_EQ(OruSandbox::readFile(root + "/target"), "keep me\n");
    struct stat st;
    EXPECT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ::unlink(path.c_str());
    ASSERT_EQ(::symlink((root + "/not-there").c_str(), path.c_str()), 0);
    EXPECT_EQ(createMutexFile(path, &detail), MutexFileResult::NotRegularFile);
    EXPECT_FALSE(std::filesystem::exists(root + "/not-there"));
    ::unlink(path.c_str());
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    EXPECT_EQ(createMutexFile(path, &detail), MutexFileResult::NotRegularFile);
    EXPECT_EQ(createMutexFile(root + "/missing-folder/x", &detail), MutexFileResult::Failed);
    std::filesystem::remove_all(root);
}

TEST(OruPlatformTest, DetachedStartsLeadTheirOwnSessionAndInheritNoDescriptors)
{
    std::string root = tempDir("spawn");
    std::string record = root + "/record";
    int keep = ::fcntl(::open("/dev/null", O_RDONLY), F_DUPFD, 57); // not close-on-exec: must not reach the child
    ASSERT_GE(keep, 57);
    pid_t pid = -1;
    std::string error;
    ASSERT_TRUE(spawnDetached({"/bin/sh", "-c", "ls /proc/self/fd > \"$0\"; ps -o sid= -p $$ > \"$0.sid\"; echo $$ >> \"$0.sid\"",
                               record}, &pid, &error)) << error;
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::string fds = OruSandbox::readFile(record);
    EXPECT_NE(fds.find("0\n1\n2\n"), std::string::npos) << fds; // standard streams on /dev/null
    EXPECT_EQ(fds.find(std::to_string(keep) + "\n"), std::string::npos) << fds;
    ::close(keep);
    std::string sid = OruSandbox::readFile(record + ".sid");
    std::vector<std::string> lines;
    for (size_t p = 0, q; (q = sid.find('\n', p)) != std::string::npos; p = q + 1)
        lines.push_back(sid.substr(sid.find_first_not_of(' ', p), q - sid.find_first_not_of(' ', p)));
    ASSERT_EQ(lines.size(), 2u) << sid;
    EXPECT_EQ(lines[0], lines[1]); // session id == its own pid

    // PATH lookup for bare names; a program that cannot be started is a clear failure.
    ASSERT_TRUE(spawnDetached({"true"}, &pid, &error)) << error;
    ::waitpid(pid, nullptr, 0);
    EXPECT_FALSE(spawnDetached({root + "/no-such-program"}, &pid, &error));
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
    EXPECT_FALSE(spawnDetached({}, &pid, &error));
    std::filesystem::remove_all(root);
}

TEST(OruPlatformTest, CatalogTextsWithTheKeyForMissingKeys)
{
    // The catalogs sit beside this program as they sit beside the module in the bundle.
    ::setenv("LANGUAGE", "en", 1);
    InstallerApplyUserLanguage();
    EXPECT_EQ(bundleLocalizedString("msg_photo"), "Photos");
    EXPECT_EQ(bundleLocalizedString("msg_start_oru"), "Start Ombrix");
    EXPECT_EQ(bundleLocalizedString("msg_no_such_key"), "msg_no_such_key");
    ::setenv("LANGUAGE", "de", 1);
    InstallerApplyUserLanguage();
    EXPECT_EQ(bundleLocalizedString("msg_photo"), "Fotos");
    EXPECT_EQ(bundleLocalizedString("msg_no_such_key"), "msg_no_such_key");
    ::setenv("LANGUAGE", "en", 1);
    InstallerApplyUserLanguage();
    EXPECT_EQ(escapeDesktopValue(" lead\\ing\ttab\nline"), "\\slead\\\\ing\\ttab\\nline");
}

} // namespace
