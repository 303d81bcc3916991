// Attribute tests: read-only by permission bits, inode flags and access answers; hidden names.
#include <XpFileOperation.h>

#include "XpFileTestSupport.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

namespace {

using xptest::TempDir;

bool readOnly(const std::string& p) { return XpFileOperation::IsReadOnly(p.c_str()); }
mode_t modeOf(const std::string& p)
{
    struct stat st;
    return lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(XpAttributes, HiddenIsALeadingDot)
{
    const struct { const char* path; bool hidden; } cases[] = {
        {"/a/.b", true}, {"/a/.b/", true}, {"/a/.b//", true}, {".x", true}, {"", false},
        {"/a/b", false}, {"/", false}, {"/.a/b", false}, {"/a/b.", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(XpFileOperation::IsHidden(c.path), c.hidden) << c.path;
    EXPECT_EQ(XpFileOperation::SetHidden("/a/b", true), XPERR_FILE_NOT_SUPPORTED);
    EXPECT_EQ(XpFileOperation::SetHidden("/a/.b", false), XPERR_FILE_NOT_SUPPORTED);
}

TEST(XpAttributes, ReadOnlyByBitsAndFlags)
{
    TempDir dir;
    std::string file = dir / "f", link = dir / "link", bad = dir / "bad\xFF";
    ASSERT_TRUE(xptest::writeFile(file, "x", 0640));
    EXPECT_FALSE(readOnly(file));
    EXPECT_EQ(XpFileOperation::SetReadOnly(file.c_str(), true), XPERR_OK);
    EXPECT_EQ(modeOf(file), 0440u);
    EXPECT_TRUE(readOnly(file));   // root may write it, but no write bit is left
    EXPECT_EQ(XpFileOperation::SetReadOnly(file.c_str(), true), XPERR_OK);
    EXPECT_EQ(XpFileOperation::SetReadOnly(file.c_str(), false), XPERR_OK);
    EXPECT_EQ(modeOf(file), 0640u);   // the owner's bit comes back, the group's never had one
    EXPECT_FALSE(readOnly(file));
    EXPECT_TRUE(readOnly(dir.path) == false && !readOnly(dir / "missing"));

    // A planted link is refused, and its target keeps its mode; reading follows it.
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    EXPECT_EQ(XpFileOperation::SetReadOnly(link.c_str(), true), XPERR_FILE_SET_ATTRIBUTE_FAILED);
    EXPECT_EQ(modeOf(file), 0640u);
    ASSERT_EQ(chmod(file.c_str(), 0444), 0);
    EXPECT_TRUE(readOnly(link));
    EXPECT_EQ(XpFileOperation::SetReadOnly((dir / "missing").c_str(), true),
              XPERR_FILE_SET_ATTRIBUTE_FAILED);
    // Bytes that are not UTF-8 are not a platform path, even when they name a file.
    ASSERT_TRUE(xptest::writeFile(bad, "", 0444));
    EXPECT_FALSE(readOnly(bad));
    EXPECT_EQ(XpFileOperation::SetReadOnly(bad.c_str(), false), XPERR_FILE_SET_ATTRIBUTE_FAILED);
    EXPECT_EQ(modeOf(bad), 0444u);

    // A writable file with the append-only or immutable flag is read-only.
    ASSERT_EQ(chmod(file.c_str(), 0666), 0);
    for (int flag : {FS_APPEND_FL, FS_IMMUTABLE_FL}) {
        int fd = open(file.c_str(), O_RDONLY);
        int flags = 0;
        ASSERT_GE(fd, 0);
        if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0 || (flags |= flag, ioctl(fd, FS_IOC_SETFLAGS, &flags)) != 0) {
            close(fd);
            GTEST_SKIP() << "this file system refuses inode flags";
        }
        EXPECT_TRUE(readOnly(file)) << flag;
        flags &= ~flag;
        EXPECT_EQ(ioctl(fd, FS_IOC_SETFLAGS, &flags), 0);
        close(fd);
        EXPECT_FALSE(readOnly(file));
    }
}

TEST(XpAttributes, ReadOnlyByAccessAnswers)
{
    // For nobody, a root-owned file in a root-owned folder cannot be written, run or removed;
    // if nobody can still read it, it is read-only although its owner has a write bit.
    TempDir dir;
    ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
    const struct { const char* name; mode_t mode; bool readOnly; } cases[] = {
        {"readable", 0644, true}, {"writable", 0666, false}, {"unreadable", 0640, false},
        {"runnable", 0755, false},
    };
    for (const auto& c : cases)
        ASSERT_TRUE(xptest::writeFile(dir / c.name, "x", c.mode));
    int failed = xptest::asNobody([&] {
        int bits = 0;
        for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
            if (readOnly(dir / cases[i].name) != cases[i].readOnly)
                bits |= 1 << i;
        return bits;
    });
    EXPECT_EQ(failed, 0);
    EXPECT_FALSE(readOnly(dir / "readable"));   // root may do all of it
}

} // namespace
