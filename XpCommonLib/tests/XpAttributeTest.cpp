// Attribute tests: read-only by permission bits, inode flags and access answers; hidden names.
#include <XpFileOperation.h>

#include "XpFileTestSupport.h"

#include <linux/fs.h>
#include <sys/ioctl.h>

namespace {

bool readOnly(const std::string& p) { return XpFileOperation::IsReadOnly(p.c_str()); }
XpErr setReadOnly(const std::string& p, bool on) { return XpFileOperation::SetReadOnly(p.c_str(), on); }
mode_t modeOf(const std::string& p)
{
    struct stat st;
    return lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(XpAttributes, HiddenIsALeadingDot)
{
    for (const char* hidden : {"/a/.b", "/a/.b/", ".x"})
        EXPECT_TRUE(XpFileOperation::IsHidden(hidden)) << hidden;
    for (const char* shown : {"", "/", "/a/b", "/.a/b", "/a/b."})
        EXPECT_FALSE(XpFileOperation::IsHidden(shown)) << shown;
    EXPECT_EQ(XpFileOperation::SetHidden("/a/b", true), XPERR_FILE_NOT_SUPPORTED);
    EXPECT_EQ(XpFileOperation::SetHidden("/a/.b", false), XPERR_FILE_NOT_SUPPORTED);
}

TEST(XpAttributes, ReadOnlyByBitsFlagsAndAccessAnswers)
{
    xptest::TempDir dir;
    std::string file = dir / "f", link = dir / "link", bad = dir / "bad\xFF";
    ASSERT_TRUE(xptest::writeFile(file, "x", 0640) && xptest::writeFile(bad, "", 0444));
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    EXPECT_FALSE(readOnly(file) || readOnly(dir.path) || readOnly(dir / "missing"));
    EXPECT_EQ(setReadOnly(file, true), XPERR_OK);
    EXPECT_TRUE(modeOf(file) == 0440 && readOnly(file) && readOnly(link));   // root may write, no bit may
    EXPECT_EQ(setReadOnly(file, false), XPERR_OK);
    EXPECT_EQ(modeOf(file), 0640u);   // the owner's bit comes back; the group never had one
    // A planted link is refused; a missing path and bytes that are not UTF-8 fail.
    for (const std::string& p : {link, dir / "missing", bad})
        EXPECT_EQ(setReadOnly(p, true), XPERR_FILE_SET_ATTRIBUTE_FAILED) << p;
    EXPECT_TRUE(modeOf(file) == 0640 && modeOf(bad) == 0444 && !readOnly(bad));

    for (int flag : {FS_APPEND_FL, FS_IMMUTABLE_FL}) {   // writable, but flagged
        int fd = open(file.c_str(), O_RDONLY), flags = 0;
        if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0 || (flags |= flag, ioctl(fd, FS_IOC_SETFLAGS, &flags)) != 0) {
            close(fd);
            GTEST_SKIP() << "this file system refuses inode flags";
        }
        EXPECT_TRUE(readOnly(file)) << flag;
        flags &= ~flag;
        EXPECT_EQ(ioctl(fd, FS_IOC_SETFLAGS, &flags) | close(fd), 0);
        EXPECT_FALSE(readOnly(file));
    }

    // For nobody, root's files in root's folder cannot be written, run or removed; one that
    // nobody can still read is read-only although its owner has a write bit.
    ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
    const std::pair<mode_t, bool> cases[] = {{0644, true}, {0666, false}, {0640, false}, {0755, false}};
    for (const auto& c : cases)
        ASSERT_TRUE(xptest::writeFile(dir / std::to_string(c.first), "x", c.first));
    EXPECT_EQ(xptest::asNobody([&] {
        int wrong = 0;
        for (const auto& c : cases)
            wrong = wrong * 2 + (readOnly(dir / std::to_string(c.first)) != c.second);
        return wrong;
    }), 0);
    EXPECT_FALSE(readOnly(dir / std::to_string(0644)));   // root may do all of it
}

} // namespace
