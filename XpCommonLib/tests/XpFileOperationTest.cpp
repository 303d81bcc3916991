// Existence tests: files, directories, links, the empty path, invalid UTF-8, unreachable paths.
#include <XpFileOperation.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace {

// The three answers as one text: "path/dir/file flag", e.g. "1/0/1 0".
std::string answers(const std::string& p)
{
    XpStringT<char> s(p.c_str());
    bool flag = true;   // must be overwritten
    bool path = XpFileOperation::IsPathAvailable(s, &flag);
    return std::to_string(path) + "/" + std::to_string(XpFileOperation::IsDirAvailable(s)) + "/" +
           std::to_string(XpFileOperation::IsFileAvailable(s)) + " " + std::to_string(flag);
}

TEST(XpFileOperation, ExistenceOfFilesDirectoriesLinksAndBadNames)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string root = std::string(tmp && *tmp ? tmp : "/tmp") + "/XpFileOperationTest.XXXXXX";
    ASSERT_NE(mkdtemp(&root[0]), nullptr);
    std::shared_ptr<void> removeRoot(nullptr, [&](void*) { EXPECT_GT(std::filesystem::remove_all(root), 0u); });
    auto make = [&](const std::string& name, bool directory) {
        std::string p = root + "/" + name;
        int made = directory ? mkdir(p.c_str(), 0755) : close(open(p.c_str(), O_CREAT | O_WRONLY, 0644));
        EXPECT_EQ(made, 0) << p;
        return p;
    };
    std::string file = make("file.txt", false), dir = make("folder", true);
    ASSERT_EQ(symlink(file.c_str(), (root + "/toFile").c_str()), 0);
    ASSERT_EQ(symlink(dir.c_str(), (root + "/toDir").c_str()), 0);
    ASSERT_EQ(symlink((root + "/gone").c_str(), (root + "/dangling").c_str()), 0);
    const struct {
        std::string path;
        const char* expected;
    } cases[] = {
        {file, "1/0/1 0"}, {dir, "1/1/0 1"}, {dir + "/", "1/1/0 1"}, {root + "/missing", "0/0/0 0"},
        {file + "/below", "0/0/0 0"}, {"/dev/null", "1/0/1 0"},   // not a directory: a file
        {root + "/toFile", "1/0/1 0"}, {root + "/toDir", "1/1/0 1"}, {root + "/dangling", "0/0/0 0"},
        {make("caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC", true), "1/1/0 1"},   // UTF-8 names work
        {"", "0/0/0 0"},
        // These bytes name real files to the kernel, but are not valid UTF-8.
        {make("\xFF\xFE", false), "0/0/0 0"}, {make("over\xC0\xAF", false), "0/0/0 0"},
        {make("sur\xED\xA0\x80", false), "0/0/0 0"}, {make("cut\xE6\x97", false), "0/0/0 0"},
        {make("dir\xC3", true), "0/0/0 0"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(answers(c.path), c.expected) << c.path;
    // The flag pointer may be null; a null text is empty.
    EXPECT_TRUE(XpFileOperation::IsPathAvailable(XpStringT<char>(file.c_str()), nullptr));
    const char* null = nullptr;
    EXPECT_FALSE(XpFileOperation::IsPathAvailable(XpStringT<char>(null), nullptr));
    EXPECT_FALSE(XpFileOperation::IsDirAvailable(XpStringT<char>()));

    // Root passes every permission check, so unreachable paths are tested as nobody in a child.
    std::string locked = make("locked", true), inner = make("locked/inner", false);
    ASSERT_EQ(chmod(root.c_str(), 0755), 0);
    ASSERT_EQ(chmod(locked.c_str(), 0700), 0);
    struct passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)
            _exit(10);
        // The inner file is out of reach; the locked directory itself is still seen.
        _exit(answers(inner) != "0/0/0 0" ? 1 : answers(locked) != "1/1/0 1" ? 2 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(answers(inner), "1/0/1 0");   // for root it exists
}

} // namespace
