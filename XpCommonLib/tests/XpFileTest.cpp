// XpFile: open modes and planted objects, transfers, sizes, locks, refusals of the kernel (as
// nobody, on a read-only bind mount, on /dev/full, out of descriptors), dates, byte-order I/O.
#include <XpFile.h>

#include "XpFileTestSupport.h"

#include <sys/file.h>
#include <sys/resource.h>

namespace {

using xptest::TempDir;
using xptest::expectAll;
using xptest::S;
typedef XpAbstractFile F;
const int R = F::openRead, W = F::openWrite, RW = F::openReadWrite, anyShare = F::shareDenyNone;


TEST(XpFile, OpenModesPlantedObjectsAndDates)
{
    TempDir dir;
    std::string file = dir / "f.txt", victim = dir / "victim", link = dir / "link", fifo = dir / "fifo";
    ASSERT_TRUE(xptest::writeFile(file, "data") && xptest::writeFile(victim, "keep"));
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()) | symlink("nowhere", (dir / "dangling").c_str()) |
              mkfifo(fifo.c_str(), 0666), 0);
    const struct { std::string path; int mode; XpErr err; } cases[] = {
        {dir / "missing", R, XPERR_FILE_NOT_FOUND}, {dir / "no/f", W, XPERR_FILE_PATH_NOT_FOUND},
        {dir / "t", F::openText, XPERR_FILE_INVALID_PARAM}, {dir.path, R, XPERR_FILE_INVALID_PATH},   // EISDIR
        {file + "/x", R, XPERR_FILE_INVALID_PATH}, {dir / std::string(300, 'n'), R, XPERR_FILE_INVALID_PATH},
        {link, W, XPERR_FILE_INVALID_PATH}, {link, RW, XPERR_FILE_INVALID_PATH},   // links are not followed
        {dir / "dangling", RW, XPERR_FILE_INVALID_PATH}, {fifo, R, XPERR_FILE_OPEN_FAILED}, {fifo, RW, XPERR_FILE_OPEN_FAILED},
        {link, R, XPERR_OK}, {dir / "new", RW, XPERR_OK}, {"/dev/null", W, XPERR_OK}};
    xptest::checkInChild([&] {
        alarm(5);   // an Open that waited on the FIFO would end the child here
        for (const auto& c : cases)
            EXPECT_EQ(XpFile().Open(S(c.path), c.mode, anyShare), c.err) << c.path << " mode " << c.mode;
        const struct rlimit none = {0, 0};   // no descriptor left
        EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
        EXPECT_EQ(XpFile().Open(S(file), R, anyShare), XPERR_FILE_TOO_MANY_OPEN);
    });
    EXPECT_TRUE(xptest::readFile(victim) == "keep" && xptest::readFile(dir / "new").empty());
    EXPECT_TRUE(access((dir / "nowhere").c_str(), F_OK) != 0 && access((dir / "t").c_str(), F_OK) != 0);

    XpFile f(S(file));
    EXPECT_EQ(f.Open(R, anyShare), XPERR_OK);
    EXPECT_EQ(f.Open(W, anyShare), XPERR_FILE_ALREADY_OPEN);
    EXPECT_EQ(f.Write("x", 1, nullptr), XPERR_FILE_ACCESS_DENIED);   // opened for reading: EBADF
    expectAll({f.Open(S(file), W, anyShare), f.Close()}, XPERR_OK);   // closes, truncates
    EXPECT_EQ(xptest::readFile(file), "");

    // Touch's refusals are the read-write rows above, which touch first (through the dangling
    // link it would make "nowhere").
    ASSERT_TRUE(xptest::writeFile(file, "data"));
    struct stat before, after;
    EXPECT_EQ(stat(file.c_str(), &before) | XpFile::Touch(S(file)) | stat(file.c_str(), &after), 0u);
    EXPECT_TRUE(xptest::readFile(file) == "data" && before.st_mtim.tv_nsec == after.st_mtim.tv_nsec);

    // Dates, on the victim the link points to.
    XpFile v(S(victim));
    xptest::checkInChild([&] {   // the zone is the process's; one date in summer time, one not
        for (const char* zone : {"Asia/Tokyo", "America/New_York"}) {
            setenv("TZ", zone, 1);
            XpDateTime modified(2001, 7, 3, 4, 5, 6), accessed(2010, 1, 7, 8, 9, 10), c, m, a;
            XpDateTime late(2030, 1, 1, 0, 0, 0);
            EXPECT_EQ(v.SetDateTime(&late, &modified, &accessed), XPERR_OK) << zone;
            EXPECT_EQ(v.GetDateTime(&c, &m, &a), XPERR_OK);
            EXPECT_TRUE(m == modified && a == accessed) << zone;
            struct stat st;
            EXPECT_TRUE(stat(victim.c_str(), &st) == 0 && XpDateTime(static_cast<long>(st.st_mtime)) == m);
        }
    });
    XpDateTime was = v.GetLastModifiedDateTime(), now = XpDateTime::GetNow();
    EXPECT_EQ(XpFile(S(link)).SetDateTime(nullptr, &now, nullptr), XPERR_FAILED);
    EXPECT_EQ(v.GetLastModifiedDateTime(), was);   // the link's target is untouched

    // The creation date is the birth time that stat(1) reports, on ext4 (here) and on tmpfs.
    auto birthMatches = [](const std::string& p) {
        std::string w = xptest::runProgram({"stat", "-c", "%W", p});
        return w != "0\n" && XpFile(S(p)).GetCreationDateTime() == XpDateTime(std::stol(w));
    };
    EXPECT_TRUE(birthMatches(victim));
    xptest::checkInMountNamespace([&] {
        ASSERT_EQ(mount("tmpfs", dir.path.c_str(), "tmpfs", 0, "size=64k"), 0);
        EXPECT_TRUE(xptest::writeFile(victim, "") && birthMatches(victim));
    });
}

TEST(XpFile, TransfersPositionsSizesLockAndIntegersInByteOrder)
{
    TempDir dir;
    std::string path = dir / "f", link = dir / "link";
    XpFile f(S(path));
    char buf[16] = {};
    int64_t done = -7;
    expectAll({f.Read(buf, 4, &done), f.Seek(0, F::seekBegin), f.Flush()}, XPERR_FILE_INVALID_PATH);
    ASSERT_EQ(f.Open(RW, anyShare), XPERR_OK);
    EXPECT_EQ(f.Write("abcdef", 6, &done), XPERR_OK);
    EXPECT_TRUE(done == 6 && xptest::readFile(path).empty());   // still in the 64 KiB buffer
    EXPECT_EQ(f.Seek(2, F::seekBegin), XPERR_OK);
    EXPECT_TRUE(f.GetSize() == 6 && f.GetCurrentPosition() == 2);
    // A write right after a read, then a short read at the end.
    expectAll({f.Read(buf, 2, &done), f.Write("XY", 2, nullptr), f.Seek(-1, F::seekEnd)}, XPERR_OK);
    EXPECT_EQ(f.Read(buf + 2, 10, &done), XPERR_FILE_END_OF_FILE);
    EXPECT_EQ(std::string(buf, 3) + std::to_string(done), "cdY1");
    EXPECT_TRUE(f.Read(buf, 10, &done) == XPERR_FILE_END_OF_FILE && done == 0);   // the flags were cleared
    expectAll({f.Read(buf, 0, &done), f.Read(nullptr, 4, &done), f.Write(buf, -1, &done)},
              XPERR_FILE_INVALID_PARAM);
    expectAll({f.SetSize(3), f.Close()}, XPERR_OK);   // the size is set by path, while open
    EXPECT_EQ(xptest::readFile(path), "abc");
    EXPECT_TRUE(f.SetSize(10) == XPERR_OK && XpFile::GetSize(path.c_str()) == 10);
    ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
    EXPECT_EQ(XpFile(S(link)).GetSize(), 10);   // reading a size follows the link
    EXPECT_EQ(XpFile(S(link)).SetSize(0), XPERR_FILE_INVALID_PATH);   // changing it does not
    EXPECT_EQ(XpFile::GetSize(path.c_str()), 10);

    auto otherCanLock = [&] { return xptest::inChild([&] { return flock(open(path.c_str(), O_RDONLY), LOCK_EX | LOCK_NB); }) == 0; };
    ASSERT_EQ(f.Open(R, anyShare), XPERR_OK);
    EXPECT_TRUE(otherCanLock());
    ASSERT_EQ(f.Open(S(path), R, F::shareExclusive), XPERR_OK);
    EXPECT_FALSE(otherCanLock());
    f.Close();
    EXPECT_TRUE(otherCanLock());

    // Integers in byte order (reading them is XpfsFilesTest's, through xpfs cat-int). No order
    // yet: big-endian, not the CPU's order; a given order is kept for the next integer.
    std::string ints = dir / "ints", hex;
    XpFile w(S(ints));
    ASSERT_EQ(w.Open(W, anyShare), XPERR_OK);
    expectAll({w.WriteInt(0x01020304, F::endianKeep), w.WriteInt(0x01020304, F::endianLittle),
               w.WriteInt(static_cast<short>(0x1234), F::endianKeep), w.WriteInt(-2LL, F::endianBig)}, XPERR_OK);
    w.Close();
    for (unsigned char c : xptest::readFile(ints))
        hex += "0123456789abcdef"[c >> 4], hex += "0123456789abcdef"[c & 15];
    EXPECT_EQ(hex, "01020304040302013412fffffffffffffffe");
}

TEST(XpFile, RefusalsMapToTheirCodes)
{
    TempDir dir;
    std::string secret = dir / "secret", shared = dir / "shared", ro = dir / "ro";
    ASSERT_TRUE(xptest::writeFile(secret, "x", 0600) && xptest::writeFile(shared, "x", 0644));
    ASSERT_EQ(chmod(dir.path.c_str(), 0755) | mkdir(ro.c_str(), 0755), 0);
    ASSERT_TRUE(xptest::writeFile(ro + "/f", "keep"));
    xptest::checkAsNobody([&] {
        expectAll({XpFile().Open(S(secret), R, anyShare), XpFile().Open(S(dir / "new"), W, anyShare),
                   XpFile::Touch(S(shared)), XpFile(S(shared)).SetSize(0)}, XPERR_FILE_ACCESS_DENIED);
    });

    XpFile full(S("/dev/full"));
    ASSERT_EQ(full.Open(W, anyShare), XPERR_OK);
    EXPECT_EQ(full.Write("x", 1, nullptr), XPERR_OK);   // waits in the buffer
    EXPECT_EQ(full.Flush(), XPERR_FILE_DISK_FULL);

    xptest::checkInMountNamespace([&] {
        ASSERT_TRUE(mount(ro.c_str(), ro.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
                    mount(nullptr, ro.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0);
        XpFile f(S(ro + "/f"));
        expectAll({f.Open(W, anyShare), f.Open(RW, anyShare), f.SetSize(0), XpFile::Touch(S(ro + "/new"))},
                  XPERR_FILE_ACCESS_DENIED);
    });
    EXPECT_EQ(xptest::readFile(ro + "/f"), "keep");
}

} // namespace
