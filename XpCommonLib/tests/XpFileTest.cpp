// XpFile: open modes and planted objects, transfers, sizes, locks, refusals of the kernel (as
// nobody, on a read-only bind mount, on a full tmpfs and /dev/full), dates, byte-order I/O.
#include <XpFile.h>
#include <XpFileOperation.h>

#include "XpFileTestSupport.h"

#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>

namespace {

using xptest::TempDir;
typedef XpAbstractFile F;

XpStringT<char> S(const std::string& s) { return XpStringT<char>(s.c_str()); }

TEST(XpFile, OpenModesAndPlantedObjects)
{
    TempDir dir;
    std::string file = dir / "f.txt", victim = dir / "victim", link = dir / "link";
    ASSERT_TRUE(xptest::writeFile(file, "data") && xptest::writeFile(victim, "keep"));
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
    ASSERT_EQ(symlink((dir / "nowhere").c_str(), (dir / "dangling").c_str()), 0);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0666), 0);
    const struct { std::string path; int mode; XpErr err; } cases[] = {
        {dir / "missing", F::openRead, XPERR_FILE_NOT_FOUND},
        {dir / "no/f", F::openWrite, XPERR_FILE_PATH_NOT_FOUND},
        {dir / "no/f", F::openReadWrite, XPERR_FILE_PATH_NOT_FOUND},
        {dir / "text", F::openText, XPERR_FILE_INVALID_PARAM},
        {dir.path, F::openRead, XPERR_FILE_INVALID_PATH}, {dir.path, F::openWrite, XPERR_FILE_INVALID_PATH},
        {link, F::openWrite, XPERR_FILE_INVALID_PATH}, {link, F::openReadWrite, XPERR_FILE_INVALID_PATH},
        {dir / "dangling", F::openWrite, XPERR_FILE_INVALID_PATH},
        {dir / "fifo", F::openRead, XPERR_FILE_OPEN_FAILED}, {dir / "fifo", F::openWrite, XPERR_FILE_OPEN_FAILED},
        {dir / "fifo", F::openReadWrite, XPERR_FILE_OPEN_FAILED},
        {link, F::openRead, XPERR_OK}, {dir / "new", F::openReadWrite, XPERR_OK}, {"/dev/null", F::openWrite, XPERR_OK},
    };
    // A FIFO that made Open wait would stop the child by the alarm.
    int failed = xptest::inChild([&] {
        alarm(5);
        for (const auto& c : cases) {
            XpFile f;
            if (f.Open(S(c.path), c.mode, F::shareDenyNone) != c.err)
                return static_cast<int>(&c - cases) + 1;
        }
        return 0;
    });
    EXPECT_EQ(failed, 0) << "case " << failed - 1;
    EXPECT_EQ(xptest::readFile(victim), "keep");
    EXPECT_FALSE(XpFileOperation::IsPathAvailable(S(dir / "nowhere"), nullptr));
    EXPECT_FALSE(XpFileOperation::IsPathAvailable(S(dir / "text"), nullptr));
    EXPECT_EQ(xptest::readFile(dir / "new"), "");

    XpFile f(S(file));
    EXPECT_TRUE(f.IsFile() && !f.IsDir());
    EXPECT_EQ(f.GetVisibleName(), "f");
    EXPECT_EQ(f.Open(F::openRead, F::shareDenyNone), XPERR_OK);
    EXPECT_EQ(f.Open(F::openWrite, F::shareDenyNone), XPERR_FILE_ALREADY_OPEN);
    EXPECT_EQ(xptest::readFile(file), "data");
    f.SetIdentifier(S(victim));   // only the stored path changes
    EXPECT_EQ(f.GetCurrentPosition(), 0);
    EXPECT_EQ(f.Open(S(file), F::openWrite, F::shareDenyNone), XPERR_OK);   // closes, truncates
    EXPECT_EQ(f.Close(), XPERR_OK);
    EXPECT_EQ(f.Close(), XPERR_FILE_NOT_OPEN);
    EXPECT_EQ(xptest::readFile(file), "");

    EXPECT_EQ(XpFile::Touch(S(dir / "no/t")), XPERR_FILE_PATH_NOT_FOUND);
    EXPECT_EQ(XpFile::Touch(S(dir / "dangling")), XPERR_FILE_INVALID_PATH);
    EXPECT_EQ(XpFile::Touch(S(dir / "fifo")), XPERR_OK);   // exists; opening it did not wait
    ASSERT_TRUE(xptest::writeFile(file, "data"));
    struct stat before, after;
    ASSERT_EQ(stat(file.c_str(), &before), 0);
    EXPECT_EQ(XpFile::Touch(S(file)), XPERR_OK);
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_EQ(xptest::readFile(file), "data");
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
}

TEST(XpFile, TransfersPositionsAndSizes)
{
    TempDir dir;
    std::string path = dir / "f";
    XpFile f(S(path));
    char buf[16] = {};
    int64_t done = -7;
    EXPECT_EQ(f.Read(buf, 4, &done), XPERR_FILE_INVALID_PATH);
    EXPECT_EQ(f.Seek(0, F::seekBegin), XPERR_FILE_INVALID_PATH);
    EXPECT_EQ(f.Flush(), XPERR_FILE_INVALID_PATH);
    EXPECT_EQ(f.GetCurrentPosition(), -1);
    EXPECT_EQ(f.GetSize(), -1);
    EXPECT_EQ(XpFile::GetSize(nullptr), -1);

    ASSERT_EQ(f.Open(F::openReadWrite, F::shareDenyNone), XPERR_OK);
    EXPECT_EQ(f.Write("abcdef", 6, &done), XPERR_OK);
    EXPECT_EQ(done, 6);
    EXPECT_EQ(xptest::readFile(path), "");   // still in the 64 KiB buffer
    EXPECT_EQ(f.Seek(2, F::seekBegin), XPERR_OK);
    EXPECT_EQ(f.GetSize(), 6);   // the position is kept
    EXPECT_EQ(f.GetCurrentPosition(), 2);
    EXPECT_EQ(f.Read(buf, 2, &done), XPERR_OK);
    EXPECT_EQ(std::string(buf, 2), "cd");
    EXPECT_EQ(f.Write("XY", 2, nullptr), XPERR_OK);   // a write right after a read
    EXPECT_EQ(f.Seek(-1, F::seekEnd), XPERR_OK);
    EXPECT_EQ(f.Read(buf, 10, &done), XPERR_FILE_END_OF_FILE);
    EXPECT_EQ(done, 1);
    EXPECT_EQ(buf[0], 'Y');
    EXPECT_EQ(f.Read(buf, 10, &done), XPERR_FILE_END_OF_FILE);   // flags were cleared
    EXPECT_EQ(done, 0);
    done = -7;
    EXPECT_EQ(f.Read(buf, 0, &done), XPERR_FILE_INVALID_PARAM);
    EXPECT_EQ(f.Read(nullptr, 4, &done), XPERR_FILE_INVALID_PARAM);
    EXPECT_EQ(f.Write(buf, -1, &done), XPERR_FILE_INVALID_PARAM);
    EXPECT_EQ(done, -7);
    EXPECT_EQ(f.Seek(-100, F::seekBegin), XPERR_FILE_INVALID_PARAM);
    EXPECT_EQ(f.Seek(0, static_cast<F::seekmode>(9)), XPERR_FILE_INVALID_PARAM);
    EXPECT_EQ(f.Flush(), XPERR_OK);
    EXPECT_EQ(xptest::readFile(path), "abcdXY");
    EXPECT_EQ(f.SetSize(3), XPERR_OK);   // by path, while open
    EXPECT_EQ(f.Close(), XPERR_OK);
    EXPECT_EQ(xptest::readFile(path), "abc");
    EXPECT_EQ(f.SetSize(10), XPERR_OK);
    EXPECT_EQ(XpFile::GetSize(path.c_str()), 10);
    EXPECT_EQ(f.SetSize(-1), XPERR_FILE_INVALID_PARAM);

    std::string link = dir / "link";
    ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
    XpFile viaLink(S(link));
    EXPECT_EQ(viaLink.GetSize(), 10);   // reading a size follows the link
    EXPECT_EQ(viaLink.SetSize(0), XPERR_FILE_INVALID_PATH);   // changing it does not
    EXPECT_EQ(XpFile::GetSize(path.c_str()), 10);
    EXPECT_EQ(XpFile(S(dir / "missing")).SetSize(0), XPERR_FILE_PATH_NOT_FOUND);
}

TEST(XpFile, ExclusiveShareLocksUntilClose)
{
    TempDir dir;
    std::string path = dir / "locked";
    auto otherCanLock = [&] {
        return xptest::inChild([&] {
            int fd = open(path.c_str(), O_RDONLY);
            return fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1;
        }) == 0;
    };
    XpFile f(S(path));
    ASSERT_EQ(f.Open(F::openReadWrite, F::shareDenyNone), XPERR_OK);
    EXPECT_TRUE(otherCanLock());
    ASSERT_EQ(f.Open(S(path), F::openRead, F::shareExclusive), XPERR_OK);
    EXPECT_FALSE(otherCanLock());
    f.Close();
    EXPECT_TRUE(otherCanLock());
}

TEST(XpFile, RefusalsMapToTheirCodes)
{
    TempDir dir;
    std::string secret = dir / "secret", shared = dir / "shared";
    ASSERT_TRUE(xptest::writeFile(secret, "x", 0600) && xptest::writeFile(shared, "x", 0644));
    ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
    int failed = xptest::asNobody([&] {
        XpFile f;
        return (f.Open(S(secret), F::openRead, 2) != XPERR_FILE_ACCESS_DENIED) |
               (f.Open(S(dir / "new"), F::openWrite, 2) != XPERR_FILE_ACCESS_DENIED) << 1 |
               (XpFile::Touch(S(shared)) != XPERR_FILE_ACCESS_DENIED) << 2 |
               (XpFile(S(shared)).SetSize(0) != XPERR_FILE_ACCESS_DENIED) << 3;
    });
    EXPECT_EQ(failed, 0);

    // /dev/full: a small write waits in the buffer and fails when flushed; a large one at once.
    std::vector<char> big(200000, 'x');
    XpFile full(S("/dev/full"));
    int64_t done = -1;
    ASSERT_EQ(full.Open(F::openWrite, 2), XPERR_OK);
    EXPECT_EQ(full.Write("x", 1, &done), XPERR_OK);
    EXPECT_EQ(full.Flush(), XPERR_FILE_DISK_FULL);
    EXPECT_EQ(full.Write(big.data(), static_cast<int64_t>(big.size()), &done), XPERR_FILE_DISK_FULL);
    EXPECT_LT(done, static_cast<int64_t>(big.size()));

    // A read-only bind mount and a full tmpfs, in a namespace that dies with the child.
    std::string ro = dir / "ro", small = dir / "small";
    ASSERT_EQ(mkdir(ro.c_str(), 0755) | mkdir(small.c_str(), 0755), 0);
    ASSERT_TRUE(xptest::writeFile(ro + "/f", "keep"));
    int mounted = xptest::inMountNamespace([&] {
        if (mount(ro.c_str(), ro.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            mount(nullptr, ro.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0 ||
            mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0)
            return xptest::kNoNamespace;
        XpFile f(S(ro + "/f"));
        XpDateTime now = XpDateTime::GetNow();
        int bits = (f.Open(F::openWrite, 2) != XPERR_FILE_ACCESS_DENIED) |
                   (f.Open(F::openReadWrite, 2) != XPERR_FILE_ACCESS_DENIED) << 1 |
                   (f.SetSize(0) != XPERR_FILE_ACCESS_DENIED) << 2 |
                   (XpFile::Touch(S(ro + "/new")) != XPERR_FILE_ACCESS_DENIED) << 3 |
                   (f.SetDateTime(nullptr, &now, nullptr) != XPERR_FAILED) << 4;
        XpFile g(S(small + "/g"));
        int64_t written = 0;
        bits |= (g.Open(F::openWrite, 2) != XPERR_OK) << 5;
        bits |= (g.Write(big.data(), static_cast<int64_t>(big.size()), &written) != XPERR_FILE_DISK_FULL) << 6;
        bits |= (written >= static_cast<int64_t>(big.size())) << 7;
        return bits;
    });
    if (mounted == xptest::kNoNamespace)
        GTEST_SKIP() << "no private mount namespace or mount here";
    EXPECT_EQ(mounted, 0);
    EXPECT_EQ(xptest::readFile(ro + "/f"), "keep");

    const struct { int err; XpErr forRead, forWrite; } table[] = {
        {ENOENT, XPERR_FILE_NOT_FOUND, XPERR_FILE_PATH_NOT_FOUND}, {EBADF, XPERR_FILE_ACCESS_DENIED, 0},
        {EACCES, XPERR_FILE_ACCESS_DENIED, 0}, {EROFS, XPERR_FILE_ACCESS_DENIED, 0},
        {EEXIST, XPERR_FILE_EXISTS, 0}, {ENOTDIR, XPERR_FILE_INVALID_PATH, 0},
        {EISDIR, XPERR_FILE_INVALID_PATH, 0}, {ELOOP, XPERR_FILE_INVALID_PATH, 0},
        {ENAMETOOLONG, XPERR_FILE_INVALID_PATH, 0}, {EINVAL, XPERR_FILE_INVALID_PARAM, 0},
        {EMFILE, XPERR_FILE_TOO_MANY_OPEN, 0}, {ENOSPC, XPERR_FILE_DISK_FULL, 0},
        {EIO, XPERR_FILE_FAILED, 0}, {ENFILE, XPERR_FILE_FAILED, 0}, {EPERM, XPERR_FILE_FAILED, 0},
    };
    for (const auto& t : table) {
        errno = t.err;
        EXPECT_EQ(XpFile::getXpErr(F::openRead | F::openText), t.forRead) << t.err;
        errno = t.err;
        EXPECT_EQ(XpFile::getXpErr(F::openReadWrite), t.forWrite ? t.forWrite : t.forRead) << t.err;
    }
}

std::string fields(const XpDateTime& d)
{
    int y, mo, da, h, mi, s, w;
    return d.GetDateTime(y, mo, da, h, mi, s, w) ? std::to_string(((y * 100 + mo) * 100 + da) * 1000000LL + h * 10000 + mi * 100 + s) : "invalid";
}

TEST(XpFile, DatesRoundTripAndBirthTime)
{
    TempDir dir;
    std::string path = dir / "d";
    ASSERT_TRUE(xptest::writeFile(path, ""));
    XpFile f(S(path));
    const char* oldTz = std::getenv("TZ");
    std::string savedTz = oldTz ? oldTz : "";
    for (const char* zone : {"Asia/Tokyo", "America/New_York"}) {
        setenv("TZ", zone, 1);
        tzset();
        XpDateTime modified(2001, 7, 3, 4, 5, 6), accessed(2010, 1, 7, 8, 9, 10), late(2030, 1, 1, 0, 0, 0);
        EXPECT_EQ(f.SetDateTime(&late, &modified, &accessed), XPERR_OK) << zone;
        XpDateTime c, m, a;
        EXPECT_EQ(f.GetDateTime(&c, &m, &a), XPERR_OK);
        EXPECT_EQ(fields(m), "20010703040506") << zone;
        EXPECT_EQ(fields(a), "20100107080910") << zone;
        EXPECT_EQ(fields(f.GetLastModifiedDateTime()), fields(m));
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(XpDateTime(static_cast<long>(st.st_mtime)), m);
    }
    oldTz ? setenv("TZ", savedTz.c_str(), 1) : unsetenv("TZ");
    tzset();
    XpDateTime invalid;
    EXPECT_EQ(f.SetDateTime(&invalid, nullptr, nullptr), XPERR_FAILED);
    EXPECT_EQ(f.SetDateTime(nullptr, nullptr, nullptr), XPERR_OK);
    XpFile missing(S(dir / "missing"));
    EXPECT_EQ(missing.SetDateTime(nullptr, nullptr, nullptr), XPERR_OK);
    EXPECT_EQ(missing.SetDateTime(nullptr, &invalid, nullptr), XPERR_FAILED);
    EXPECT_EQ(missing.GetDateTime(&invalid, nullptr, nullptr), XPERR_FILE_NOT_FOUND);
    EXPECT_FALSE(missing.GetLastModifiedDateTime().IsValid());
    std::string link = dir / "link";
    ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
    XpDateTime now = XpDateTime::GetNow(), before = f.GetLastModifiedDateTime();
    EXPECT_EQ(XpFile(S(link)).SetDateTime(nullptr, &now, nullptr), XPERR_FAILED);
    EXPECT_EQ(f.GetLastModifiedDateTime(), before);   // the target is untouched

    // The creation date is the birth time that stat(1) reports, on ext4 (here) and on tmpfs.
    auto birthMatches = [](const std::string& p) {
        std::string w = xptest::runProgram({"stat", "-c", "%W", p});
        return w != "0\n" && XpFile(S(p)).GetCreationDateTime() == XpDateTime(std::stol(w));
    };
    EXPECT_TRUE(birthMatches(path));
    int onTmpfs = xptest::inMountNamespace([&] {
        if (mount("tmpfs", dir.path.c_str(), "tmpfs", 0, "size=64k") != 0)
            return xptest::kNoNamespace;
        return xptest::writeFile(path, "") && birthMatches(path) ? 0 : 1;
    });
    if (onTmpfs == xptest::kNoNamespace)
        GTEST_SKIP() << "no private mount namespace or tmpfs here";
    EXPECT_EQ(onTmpfs, 0);
}

std::string bytes(const std::string& path)
{
    std::string hex, data = xptest::readFile(path);
    for (unsigned char c : data)
        hex += "0123456789abcdef"[c >> 4], hex += "0123456789abcdef"[c & 15];
    return hex;
}

TEST(XpFile, IntegersInByteOrder)
{
    TempDir dir;
    std::string path = dir / "ints";
    XpFile f(S(path));
    EXPECT_EQ(f.GetFileEndian(), 0);
    ASSERT_EQ(f.Open(F::openWrite, 2), XPERR_OK);
    EXPECT_EQ(f.WriteInt(0x01020304, F::endianKeep), XPERR_OK);   // no order yet: not the CPU's
    EXPECT_EQ(f.WriteInt(0x01020304, F::endianLittle), XPERR_OK);
    EXPECT_EQ(f.GetFileEndian(), F::endianLittle);
    EXPECT_EQ(f.WriteInt(static_cast<short>(0x1234), F::endianBig), XPERR_OK);
    EXPECT_EQ(f.WriteInt(-2LL, 77), XPERR_OK);   // an invalid order keeps big-endian
    EXPECT_EQ(f.WriteInt(static_cast<unsigned char>(0xAB), F::endianLittle), XPERR_OK);
    EXPECT_EQ(f.GetFileEndian(), F::endianBig);
    EXPECT_EQ(f.SetFileEndian(0), XPERR_FAILED);
    EXPECT_EQ(f.SetFileEndian(F::endianKeep), XPERR_OK);
    EXPECT_EQ(f.GetFileEndian(), F::endianBig);
    EXPECT_EQ(f.WriteFlush("!", 1, nullptr), XPERR_OK);
    EXPECT_EQ(bytes(path), "01020304040302011234fffffffffffffffeab21");
    f.Close();
    EXPECT_EQ(f.WriteFlush("!", 1, nullptr), XPERR_FILE_INVALID_PATH);

    XpFile r(S(path), F::endianLittle);
    ASSERT_EQ(r.Open(F::openRead, 2), XPERR_OK);
    unsigned int u = 0;
    int i = 0;
    unsigned short s = 0;
    long long ll = 0;
    char c = 0;
    EXPECT_EQ(r.ReadInt(u, F::endianBig), XPERR_OK);
    EXPECT_EQ(r.ReadInt(i, F::endianLittle), XPERR_OK);
    EXPECT_EQ(r.ReadInt(s, F::endianBig), XPERR_OK);
    EXPECT_EQ(r.ReadInt(ll, F::endianKeep), XPERR_OK);
    EXPECT_EQ(r.ReadInt(c, F::endianLittle), XPERR_OK);   // 8 bits: the order stays big
    EXPECT_EQ(r.GetFileEndian(), F::endianBig);
    EXPECT_EQ(u, 0x01020304u);
    EXPECT_EQ(i, 0x01020304);
    EXPECT_EQ(s, 0x1234);
    EXPECT_EQ(ll, -2);
    EXPECT_EQ(static_cast<unsigned char>(c), 0xAB);
    u = 0;
    EXPECT_EQ(r.ReadInt(u, F::endianKeep), XPERR_FILE_END_OF_FILE);   // one byte left: "!"
    EXPECT_EQ(u, 0x21000000u);   // reordered all the same
}

} // namespace
