// xpfs ls, info, touch, cat-int: names, sizes and kinds as find(1) reports them, integers in both
// byte orders, and the exit statuses; the tool and find run as real processes (argv, no shell).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

// Standard output and exit status of a program.
std::pair<std::string, int> run(std::vector<std::string> args)
{
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int fds[2];
    posix_spawn_file_actions_t actions;
    if (pipe2(fds, O_CLOEXEC) != 0 || posix_spawn_file_actions_init(&actions) != 0)
        return {"", -1};
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    pid_t pid;
    int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string out;
    char chunk[4096];
    for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;)
        out.append(chunk, static_cast<size_t>(n));
    close(fds[0]);
    int status = -1;
    if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return {out, -1};
    return {out, WEXITSTATUS(status)};
}

std::vector<std::string> sortedLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST(Xpfs, FileCommandsAgreeWithFind)
{
    char tmpl[] = "/tmp/XpfsFilesTest.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string root = tmpl;
    for (int i = 0; i < 4; ++i) {
        std::string dir = root + "/d" + std::to_string(i) + "/inner";
        std::filesystem::create_directories(dir);
        std::ofstream(dir + "/f" + std::to_string(i), std::ios::binary) << std::string(i * 100, 'x');
        std::ofstream(root + "/d" + std::to_string(i) + "/.g", std::ios::binary) << "\x01\x02\x03\x04";
    }
    // Files agree line by line with find's "%P %s %y"; a folder's size is the sum of its files.
    auto ours = run({XPFS_PROGRAM, "ls", "-R", root}), found = run({"find", root, "-mindepth", "1", "-printf", "%P %s %y\\n"});
    ASSERT_EQ(ours.second, 0);
    std::vector<std::string> a = sortedLines(ours.first), b = sortedLines(found.first);
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i)
        if (b[i].back() == 'f')
            EXPECT_EQ(a[i], b[i]);
        else
            EXPECT_EQ(a[i].substr(0, a[i].find(' ')) + " d", b[i].substr(0, b[i].find(' ')) + " d");
    EXPECT_EQ(sortedLines(run({XPFS_PROGRAM, "ls", "--dirs", "--name", "in*", "-R", root}).first),
              (std::vector<std::string>{"d0/inner 0 d", "d1/inner 100 d", "d2/inner 200 d", "d3/inner 300 d"}));
    std::string info = run({XPFS_PROGRAM, "info", root + "/d3/inner/f3", root + "/d1"}).first;
    EXPECT_NE(info.find("kind: file\nsize: 300\n"), std::string::npos) << info;
    EXPECT_NE(info.find("kind: directory\nsize: 104\n"), std::string::npos) << info;
    EXPECT_EQ(run({XPFS_PROGRAM, "cat-int", "--order", "big", "--width", "16", root + "/d0/.g"}).first, "258\n772\n");
    EXPECT_EQ(run({XPFS_PROGRAM, "cat-int", "--order", "little", "--width", "32", root + "/d0/.g"}).first, "67305985\n");
    EXPECT_EQ(run({XPFS_PROGRAM, "cat-int", "--order", "big", "--width", "64", root + "/d0/.g"}).second, 1);
    EXPECT_EQ(run({XPFS_PROGRAM, "touch", root + "/new", root + "/missing/new"}).second, 1);
    EXPECT_TRUE(std::filesystem::is_regular_file(root + "/new"));
    EXPECT_EQ(run({XPFS_PROGRAM, "ls", root + "/missing"}).second, 1);
    EXPECT_EQ(run({XPFS_PROGRAM, "ls", "--files", "--dirs", root}).second, 2);
    std::filesystem::remove_all(root);
}

} // namespace
