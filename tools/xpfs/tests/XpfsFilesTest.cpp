// xpfs ls, info, touch, cat-int: names, sizes and kinds as find(1) reports them, integers in both
// byte orders, and the exit statuses; the tool and find run as real processes (argv, no shell).
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

int status;   // exit status of the last run

// Standard output of a program, as a sorted set of lines.
std::multiset<std::string> run(std::vector<std::string> args)
{
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int fds[2];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe(fds) == 0 ? fds[1] : -1, 1);
    pid_t pid;
    status = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0 ? 0 : -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string out;
    char chunk[4096];
    for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;)
        out.append(chunk, static_cast<size_t>(n));
    close(fds[0]);
    if (status == 0 && waitpid(pid, &status, 0) == pid)
        status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::multiset<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        lines.insert(line);
    return lines;
}

TEST(Xpfs, FileCommandsAgreeWithFind)
{
    char tmpl[] = "/tmp/XpfsFilesTest.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string root = tmpl, x = XPFS_PROGRAM;
    for (int i = 0; i < 4; ++i) {
        std::string dir = root + "/d" + std::to_string(i);
        std::filesystem::create_directories(dir + "/inner");
        std::ofstream(dir + "/inner/f", std::ios::binary) << std::string(i * 100, 'x');
        std::ofstream(dir + "/.g", std::ios::binary) << "\x01\x02\x03\x04";
    }
    // Files as find's "%P %s %y"; a folder's size is the sum of the files below it.
    std::multiset<std::string> found = run({"find", root, "-mindepth", "1", "-type", "f", "-printf", "%P %s %y\\n"});
    EXPECT_EQ(run({x, "ls", "-R", "--files", root}), found);
    EXPECT_EQ(found.size(), 8u);
    EXPECT_EQ(run({x, "ls", "--dirs", "--name", "in*", "-R", root}),
              (std::multiset<std::string>{"d0/inner 0 d", "d1/inner 100 d", "d2/inner 200 d", "d3/inner 300 d"}));
    EXPECT_EQ(run({x, "ls", root}), (std::multiset<std::string>{"d0 4 d", "d1 104 d", "d2 204 d", "d3 304 d"}));
    std::multiset<std::string> info = run({x, "info", root + "/d3/inner/f", root + "/d1"});
    EXPECT_TRUE(info.count("kind: file") && info.count("size: 300") && info.count("kind: directory") && info.count("size: 104"));
    EXPECT_EQ(run({x, "cat-int", "--order", "big", "--width", "16", root + "/d0/.g"}), (std::multiset<std::string>{"258", "772"}));
    EXPECT_EQ(run({x, "cat-int", "--order", "little", "--width", "32", root + "/d0/.g"}).count("67305985"), 1u);
    const std::vector<std::string> failing[] = {{x, "cat-int", "--order", "big", "--width", "64", root + "/d0/.g"},
                                                {x, "touch", root + "/new", root + "/missing/new"}, {x, "ls", root + "/missing"}};
    for (const auto& args : failing)
        EXPECT_TRUE(run(args).empty() && status == 1) << args[1];
    EXPECT_TRUE(std::filesystem::is_regular_file(root + "/new"));
    run({x, "ls", "--files", "--dirs", root});
    EXPECT_EQ(status, 2);
    std::filesystem::remove_all(root);
}

} // namespace
