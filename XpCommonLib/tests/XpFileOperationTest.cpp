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

class ExistenceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/XpFileOperationTest.XXXXXX";
        ASSERT_NE(mkdtemp(&templ[0]), nullptr);
        root = templ;
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + root + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    std::string make(const std::string& name, bool directory)
    {
        std::string p = root + "/" + name;
        if (directory) {
            EXPECT_EQ(mkdir(p.c_str(), 0755), 0);
        } else {
            int fd = open(p.c_str(), O_CREAT | O_WRONLY, 0644);
            EXPECT_GE(fd, 0);
            close(fd);
        }
        return p;
    }
    static XpStringT<char> S(const std::string& s) { return XpStringT<char>(s.c_str()); }

    // The three answers as one text: "path/dir/file flag", e.g. "1/0/1 0".
    static std::string answers(const std::string& p)
    {
        bool flag = true;   // must be overwritten
        bool path = XpFileOperation::IsPathAvailable(S(p), &flag);
        bool dir = XpFileOperation::IsDirAvailable(S(p));
        bool file = XpFileOperation::IsFileAvailable(S(p));
        return std::to_string(path) + "/" + std::to_string(dir) + "/" + std::to_string(file) + " " +
               std::to_string(flag);
    }

    std::string root;
};

TEST_F(ExistenceTest, FilesDirectoriesAndMissingPaths)
{
    std::string file = make("file.txt", false);
    std::string dir = make("folder", true);
    EXPECT_EQ(answers(file), "1/0/1 0");
    EXPECT_EQ(answers(dir), "1/1/0 1");
    EXPECT_EQ(answers(dir + "/"), "1/1/0 1");
    EXPECT_EQ(answers(root + "/missing"), "0/0/0 0");
    EXPECT_EQ(answers(file + "/below"), "0/0/0 0");
    // Anything that is not a directory is a file.
    EXPECT_EQ(answers("/dev/null"), "1/0/1 0");
    // The flag pointer may be null.
    EXPECT_TRUE(XpFileOperation::IsPathAvailable(S(file), nullptr));
    EXPECT_FALSE(XpFileOperation::IsPathAvailable(S(root + "/missing"), nullptr));
    // Non-ASCII names travel as UTF-8.
    std::string accented = make("caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC", true);
    EXPECT_EQ(answers(accented), "1/1/0 1");
}

TEST_F(ExistenceTest, LinksAreFollowed)
{
    std::string file = make("target.txt", false);
    std::string dir = make("targetdir", true);
    ASSERT_EQ(symlink(file.c_str(), (root + "/toFile").c_str()), 0);
    ASSERT_EQ(symlink(dir.c_str(), (root + "/toDir").c_str()), 0);
    ASSERT_EQ(symlink((root + "/gone").c_str(), (root + "/dangling").c_str()), 0);
    EXPECT_EQ(answers(root + "/toFile"), "1/0/1 0");
    EXPECT_EQ(answers(root + "/toDir"), "1/1/0 1");
    EXPECT_EQ(answers(root + "/dangling"), "0/0/0 0");
}

TEST_F(ExistenceTest, EmptyAndInvalidUtf8CountAsMissing)
{
    EXPECT_EQ(answers(""), "0/0/0 0");
    EXPECT_FALSE(XpFileOperation::IsDirAvailable(XpStringT<char>()));
    EXPECT_FALSE(XpFileOperation::IsPathAvailable(XpStringT<char>(static_cast<const char*>(nullptr)), nullptr));
    // These bytes name real files to the kernel, but are not valid UTF-8.
    for (const char* bad : {"\xFF\xFE", "over\xC0\xAF", "sur\xED\xA0\x80", "cut\xE6\x97"}) {
        std::string p = make(bad, false);
        struct stat st;
        ASSERT_EQ(stat(p.c_str(), &st), 0);
        EXPECT_EQ(answers(p), "0/0/0 0") << p;
    }
    std::string badDir = make("dir\xC3", true);
    EXPECT_EQ(answers(badDir), "0/0/0 0");
}

TEST_F(ExistenceTest, UnreachablePathCountsAsMissing)
{
    // Root passes every permission check, so the refusal is tested as nobody in a child process.
    std::string locked = make("locked", true);
    std::string inner = make("locked/inner", false);
    ASSERT_EQ(chmod(root.c_str(), 0755), 0);
    ASSERT_EQ(chmod(locked.c_str(), 0700), 0);
    struct passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr)
        GTEST_SKIP() << "no user nobody";
    pid_t pid = fork();
    if (pid == 0) {
        if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)
            _exit(10);
        bool seen = XpFileOperation::IsPathAvailable(XpStringT<char>(inner.c_str()), nullptr);
        bool dirSeen = XpFileOperation::IsDirAvailable(XpStringT<char>(locked.c_str()));
        _exit((seen ? 1 : 0) | (dirSeen ? 0 : 2));
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    // The inner file is not reachable; the locked directory itself still is.
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(answers(inner), "1/0/1 0");   // for root it exists
}

} // namespace
