// Existence and attribute tests: files, folders, links, the empty path, invalid UTF-8, paths out
// of reach; read-only by permission bits, inode flags and access answers (as nobody); hidden names.
#include <XpFileOperation.h>

#include "XpFileTestSupport.h"

#include <linux/fs.h>
#include <sys/ioctl.h>

namespace {

typedef XpFileOperation Op;

// The answers as one text: IsPathAvailable, IsDirAvailable, IsFileAvailable, the directory flag,
// IsReadOnly ('r' or '-') and IsHidden (" h" or nothing), e.g. "1/0/1 0 -".
std::string answers(const std::string& p)
{
    XpStringT<char> s(p.c_str());
    bool flag = true;   // must be overwritten
    Op::IsPathAvailable(s, &flag);
    return std::to_string(Op::IsPathAvailable(s, nullptr)) + "/" + std::to_string(Op::IsDirAvailable(s)) +
           "/" + std::to_string(Op::IsFileAvailable(s)) + " " + std::to_string(flag) +
           (Op::IsReadOnly(s) ? " r" : " -") + (Op::IsHidden(s) ? " h" : "");
}

mode_t modeOf(const std::string& p)
{
    struct stat st;
    return lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(XpFileOperation, ExistenceReadOnlyAndHiddenOfFilesFoldersLinksAndBadNames)
{
    xptest::TempDir t;
    const std::string file = t / "f", link = t / "link", bad = t / "bad\xFF\xFE", locked = t / "locked";
    ASSERT_TRUE(xptest::writeFile(file, "x", 0640) && xptest::writeFile(t / "ro", "", 0444) &&
                xptest::writeFile(bad, "", 0444));
    ASSERT_EQ(mkdir((t / "caf\xC3\xA9 \xE6\x97\xA5").c_str(), 0755) | mkdir((t / "dir\xC3").c_str(), 0755) |
              symlink(file.c_str(), link.c_str()) | symlink(t.path.c_str(), (t / "toDir").c_str()) |
              symlink("gone", (t / "dangling").c_str()) | mkdir(locked.c_str(), 0700), 0);
    ASSERT_TRUE(xptest::writeFile(locked + "/inner", "") && xptest::writeFile(t / ".h", "") &&
                xptest::writeFile(t / "b.", "") && mkdir((t / ".d").c_str(), 0755) == 0);
    const std::pair<std::string, const char*> cases[] = {
        {file, "1/0/1 0 -"}, {t / "ro", "1/0/1 0 r"}, {t.path, "1/1/0 1 -"}, {t.path + "/", "1/1/0 1 -"},
        {t / "missing", "0/0/0 0 -"}, {file + "/below", "0/0/0 0 -"}, {"/dev/null", "1/0/1 0 -"},
        {link, "1/0/1 0 -"}, {t / "toDir", "1/1/0 1 -"}, {t / "dangling", "0/0/0 0 -"},
        {t / "caf\xC3\xA9 \xE6\x97\xA5", "1/1/0 1 -"}, {"", "0/0/0 0 -"},
        {bad, "0/0/0 0 -"}, {t / "dir\xC3", "0/0/0 0 -"},   // real names to the kernel, but not UTF-8
        {t / ".h", "1/0/1 0 - h"}, {t / ".d/", "1/1/0 1 - h"}, {".x", "0/0/0 0 - h"}, {"/", "1/1/0 1 -"},
        {t / ".d/b", "0/0/0 0 -"}, {t / "b.", "1/0/1 0 -"}};
    EXPECT_EQ(Op::SetHidden(file.c_str(), true), XPERR_FILE_NOT_SUPPORTED);
    EXPECT_EQ(Op::SetHidden((t / ".h").c_str(), false), XPERR_FILE_NOT_SUPPORTED);
    for (const auto& c : cases)
        EXPECT_EQ(answers(c.first), c.second) << c.first;

    EXPECT_EQ(Op::SetReadOnly(file.c_str(), true), XPERR_OK);
    EXPECT_EQ(modeOf(file), 0440u);
    EXPECT_EQ(answers(link), "1/0/1 0 r");   // root may write, no bit may
    EXPECT_EQ(Op::SetReadOnly(file.c_str(), false), XPERR_OK);
    EXPECT_EQ(modeOf(file), 0640u);   // the owner's bit comes back; the group never had one
    // A planted link is refused; a missing path and bytes that are not UTF-8 fail.
    for (const std::string& p : {link, t / "missing", bad})
        EXPECT_EQ(Op::SetReadOnly(p.c_str(), true), XPERR_FILE_SET_ATTRIBUTE_FAILED) << p;
    EXPECT_TRUE(modeOf(file) == 0640 && modeOf(bad) == 0444);

    for (int flag : {FS_APPEND_FL, FS_IMMUTABLE_FL}) {   // writable, but flagged
        int fd = open(file.c_str(), O_RDONLY), flags = 0;
        if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0 ||
            (flags |= flag, ioctl(fd, FS_IOC_SETFLAGS, &flags)) != 0) {
            close(fd);
            GTEST_SKIP() << "this file system refuses inode flags";
        }
        EXPECT_TRUE(Op::IsReadOnly(file.c_str())) << flag;
        flags &= ~flag;
        EXPECT_EQ(ioctl(fd, FS_IOC_SETFLAGS, &flags) | close(fd), 0);
        EXPECT_FALSE(Op::IsReadOnly(file.c_str()));
    }

    // For nobody, root's files in root's folder cannot be written, run or removed; one that
    // nobody can still read is read-only although its owner has a write bit. What is inside a
    // folder nobody may not search does not exist for nobody.
    ASSERT_EQ(chmod(t.path.c_str(), 0755), 0);
    const std::pair<mode_t, bool> modes[] = {{0644, true}, {0666, false}, {0640, false}, {0755, false}};
    for (const auto& m : modes)
        ASSERT_TRUE(xptest::writeFile(t / std::to_string(m.first), "x", m.first));
    xptest::checkAsNobody([&] {
        for (const auto& m : modes)
            EXPECT_EQ(Op::IsReadOnly((t / std::to_string(m.first)).c_str()), m.second) << m.first;
        EXPECT_EQ(answers(locked + "/inner") + ", " + answers(locked), "0/0/0 0 -, 1/1/0 1 -");
    });
    EXPECT_EQ(answers(locked + "/inner"), "1/0/1 0 -");   // root may do all of it
    EXPECT_EQ(answers(t / std::to_string(0644)), "1/0/1 0 -");
}

} // namespace
