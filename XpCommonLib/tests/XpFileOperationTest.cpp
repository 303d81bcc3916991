// Existence tests: files, directories, links, the empty path, invalid UTF-8, unreachable paths.
#include <XpFileOperation.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
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

struct TempDir {
    TempDir()
    {
        const char* tmp = std::getenv("TMPDIR");
        path = std::string(tmp && *tmp ? tmp : "/tmp") + "/XpFileOperationTest.XXXXXX";
        EXPECT_NE(mkdtemp(&path[0]), nullptr);
    }
    ~TempDir() { EXPECT_EQ(std::system(("rm -rf '" + path + "'").c_str()), 0); }
    std::string make(const std::string& name, bool directory) const
    {
        std::string p = path + "/" + name;
        EXPECT_EQ(directory ? mkdir(p.c_str(), 0755) : close(open(p.c_str(), O_CREAT | O_WRONLY, 0644)), 0) << p;
        return p;
    }
    std::string path;
};

TEST(XpFileOperation, FilesDirectoriesLinksEmptyAndInvalidUtf8)
{
    TempDir root;
    std::string file = root.make("file.txt", false), dir = root.make("folder", true);
    ASSERT_EQ(symlink(file.c_str(), (root.path + "/toFile").c_str()), 0);
    ASSERT_EQ(symlink(dir.c_str(), (root.path + "/toDir").c_str()), 0);
    ASSERT_EQ(symlink((root.path + "/gone").c_str(), (root.path + "/dangling").c_str()), 0);
    const struct {
        std::string path;
        const char* expected;
    } cases[] = {
        {file, "1/0/1 0"}, {dir, "1/1/0 1"}, {dir + "/", "1/1/0 1"}, {root.path + "/missing", "0/0/0 0"},
        {file + "/below", "0/0/0 0"}, {"/dev/null", "1/0/1 0"},   // not a directory: a file
        {root.path + "/toFile", "1/0/1 0"}, {root.path + "/toDir", "1/1/0 1"}, {root.path + "/dangling", "0/0/0 0"},
        {root.make("caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC", true), "1/1/0 1"},   // UTF-8 names work
        {"", "0/0/0 0"},
        // These bytes name real files to the kernel, but are not valid UTF-8.
        {root.make("\xFF\xFE", false), "0/0/0 0"}, {root.make("over\xC0\xAF", false), "0/0/0 0"},
        {root.make("sur\xED\xA0\x80", false), "0/0/0 0"}, {root.make("cut\xE6\x97", false), "0/0/0 0"},
        {root.make("dir\xC3", true), "0/0/0 0"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(answers(c.path), c.expected) << c.path;
    // The flag pointer may be null; a null text is empty.
    EXPECT_TRUE(XpFileOperation::IsPathAvailable(XpStringT<char>(file.c_str()), nullptr));
    EXPECT_FALSE(XpFileOperation::IsPathAvailable(XpStringT<char>(static_cast<const char*>(nullptr)), nullptr));
    EXPECT_FALSE(XpFileOperation::IsDirAvailable(XpStringT<char>()));
}

TEST(XpFileOperation, UnreachablePathCountsAsMissing)
{
    // Root passes every permission check, so the refusal is tested as nobody in a child process.
    TempDir root;
    std::string locked = root.make("locked", true), inner = root.make("locked/inner", false);
    ASSERT_EQ(chmod(root.path.c_str(), 0755), 0);
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
