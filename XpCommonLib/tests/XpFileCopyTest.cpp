// Copy, move and remove through real faults: a full disk, a refused permission, a read-only
// mount, a tree changed under a running removal. (Copies killed at random: XpStagedFileTest.)
#include "XpFileTestSupport.h"

#include <XpFile.h>
#include <XpFileOperation.h>

#include <signal.h>
#include <sys/fanotify.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <atomic>
#include <functional>
#include <thread>

using namespace xptest;

namespace {

typedef XpFileOperation Op;

struct Recorder : IXpFileOpProgressObserver {
    std::vector<double> calls;
    std::vector<mode_t> modes;   // of the destination at each call (0: none there)
    int stopAt;   // the call (from 0) that answers true
    explicit Recorder(int stop = -1) : stopAt(stop) {}
    bool OnProgress(double p) override
    {
        calls.push_back(p);
        struct stat st;
        modes.push_back(lstat(destinationPath.GetBuffer(), &st) == 0 ? st.st_mode : 0);
        return static_cast<int>(calls.size()) - 1 == stopAt;
    }
};

XpSharedPtr<XpAbstractFile> fileOf(const std::string& p) { return XpSharedPtr<XpAbstractFile>(new XpFile(S(p))); }
mode_t kind(const std::string& p) { return lstatOf(p).st_mode & S_IFMT; }

// The stream copy writes in place, with code of its own: progress per chunk of 256 KiB, the mode
// before the first byte, the dates after the last, and a stop at the first or the last call. (A
// chunk-sized file and a stop in the middle are examples/example_copy's.)
TEST(XpFileCopy, StreamCopyReportsEachChunkCarriesAttributesAndCancelsAnywhere)
{
    TempDir t;
    struct { size_t size; int stopAt; size_t calls; } rows[] = {{0, -1, 1}, {600000, -1, 4}, {600000, 0, 1},
                                                               {600000, 3, 4}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.size << " stop " << row.stopAt);
        std::string data = pattern(row.size, 'a');
        ASSERT_TRUE(writeFile(t / "src", data, 0444));
        struct timespec times[2] = {{1000000000, 0}, {1200000000, 0}};
        ASSERT_EQ(0, utimensat(AT_FDCWD, (t / "src").c_str(), times, 0));
        Recorder r(row.stopAt);
        XpErr err = Op::CopyFile(fileOf(t / "src"), S(t / "dst"), &r);
        EXPECT_EQ(row.calls, r.calls.size());
        // The copy has the source's mode before its first byte, not only when it is finished.
        EXPECT_EQ(std::vector<mode_t>(r.calls.size(), S_IFREG | 0444), r.modes);
        if (row.stopAt >= 0) {
            EXPECT_EQ(XPERR_FILE_CANCELLED, err);
            EXPECT_FALSE(exists(t / "dst"));
            continue;
        }
        ASSERT_EQ(XPERR_OK, err);
        EXPECT_EQ(row.size ? 100.0 : 0.0, r.calls.back());
        EXPECT_EQ(data, readFile(t / "dst"));
        struct stat st = lstatOf(t / "dst");
        EXPECT_EQ(S_IFREG | 0444, st.st_mode);
        EXPECT_EQ(1200000000, st.st_mtim.tv_sec);
        ASSERT_EQ(0, unlink((t / "dst").c_str()));
    }
    // The source's own file, a link planted at the destination.
    EXPECT_EQ(XPERR_FILE_INVALID_PARAM, Op::CopyFile(fileOf(t / "src"), S(t / "src"), nullptr));
    ASSERT_TRUE(writeFile(t / "victim", "keep") && symlink((t / "victim").c_str(), (t / "link").c_str()) == 0);
    EXPECT_NE(XPERR_OK, Op::CopyFile(fileOf(t / "src"), S(t / "link"), nullptr));
    EXPECT_EQ("keep", readFile(t / "victim"));
    EXPECT_EQ(pattern(600000, 'a'), readFile(t / "src"));
    // A source that grows during the copy: the progress never passes 100.
    struct Grower : Recorder {
        std::string path;
        bool OnProgress(double p) override
        {
            if (calls.empty())
                std::ofstream(path, std::ios::binary | std::ios::app) << pattern(300000, 'g');
            return Recorder::OnProgress(p);
        }
    } grower;
    grower.path = t / "growing";
    ASSERT_TRUE(writeFile(grower.path, pattern(300000, 'f')));
    EXPECT_EQ(XPERR_OK, Op::CopyFile(fileOf(grower.path), S(t / "grown"), &grower));
    EXPECT_EQ((std::vector<double>{0.0, 262144.0 * 100.0 / 300000.0, 100.0, 100.0}), grower.calls);
    EXPECT_EQ(pattern(300000, 'f') + pattern(300000, 'g'), readFile(t / "grown"));

    // Sizes past 4 GiB keep their high bits (sparse files: the holes are passed over).
    const int64_t big = (int64_t(1) << 32) + 262144, odd = (int64_t(1) << 32) - 1;
    ASSERT_EQ(0, truncate((writeFile(t / "big", pattern(3 * 262144, 'b')), t / "big").c_str(), big));
    ASSERT_EQ(0, truncate((writeFile(t / "odd", ""), t / "odd").c_str(), odd));
    EXPECT_EQ(big + odd, Op::getTotalSize({S(t / "big"), S(t / "odd")}));
    EXPECT_EQ(big - 1, Op::getTotalSize({S(t / "big"), S(t / "missing")}));
    Recorder big4(2);
    EXPECT_EQ(XPERR_FILE_CANCELLED, Op::CopyFile(fileOf(t / "big"), S(t / "copy"), &big4));
    ASSERT_EQ(3u, big4.calls.size());
    EXPECT_DOUBLE_EQ(262144.0 * 100.0 / static_cast<double>(big), big4.calls[1]);
    EXPECT_DOUBLE_EQ(2 * 262144.0 * 100.0 / static_cast<double>(big), big4.calls[2]);
    EXPECT_FALSE(exists(t / "copy"));
}

TEST(XpFileCopy, NumberedCopiesTakeTheNextFreeNameAndNeverReplaceTheSourceOrAnUnrelatedItem)
{
    TempDir t, in;
    for (const char* name : {"report.txt", "100%d.txt"})
        ASSERT_TRUE(writeFile(in / name, name));
    for (const char* name : {"report.txt", "report (2).txt", "100%d.txt"})
        ASSERT_TRUE(writeFile(t / name, "old"));
    XpStringT<char> created;
    EXPECT_EQ(XPERR_FILE_EXISTS, Op::CopyFile(fileOf(in / "report.txt"), S(t.path), false, nullptr, &created));
    ASSERT_EQ(XPERR_OK, Op::CopyFile(fileOf(in / "report.txt"), S(t.path), true, nullptr, &created));
    EXPECT_EQ(t / "report (3).txt", created.GetBuffer());
    EXPECT_EQ("report.txt", readFile(t / "report (3).txt"));
    // A '%' in the name is not read as a format.
    ASSERT_EQ(XPERR_OK, Op::CopyFile(fileOf(in / "100%d.txt"), S(t.path), true, nullptr, &created));
    EXPECT_EQ(t / "100%d (2).txt", created.GetBuffer());

    // Copies with UI never replace the source or an unrelated item.
    TempDir u, o;
    auto inode = [](const std::string& p) { struct stat st; return lstat(p.c_str(), &st) == 0 ? st.st_ino : 0; };
    ASSERT_TRUE(writeFile(u / "a.txt", "A") && writeFile(o / "a.txt", "unrelated") &&
                writeFile(u / "m.txt", "M") && writeFile(o / "m.txt", "other"));
    const std::vector<ino_t> kept = {inode(u / "a.txt"), inode(o / "a.txt"), inode(o / "m.txt")};
    // Into the source's own folder, and into another folder that has an item of the source's name.
    EXPECT_EQ(XPERR_OK, Op::CopyFile(S(u / "a.txt"), S(u / "b.txt"), true, nullptr));
    EXPECT_EQ(XPERR_OK, Op::CopyFile(S(u / "a.txt"), S(o / "b.txt"), true, nullptr));
    EXPECT_EQ(XPERR_OK, Op::MoveFile(S(u / "m.txt"), S(o / "n.txt"), true, nullptr));
    // Onto itself: refused, the file stays.
    EXPECT_NE(XPERR_OK, Op::CopyFile(S(u / "a.txt"), S(u / "a.txt"), true, nullptr));
    // The source and the two unrelated files are the very same files still.
    EXPECT_EQ(kept, (std::vector<ino_t>{inode(u / "a.txt"), inode(o / "a.txt"), inode(o / "m.txt")}));
    EXPECT_EQ("A", readFile(u / "a.txt"));
    EXPECT_EQ("A", readFile(u / "b.txt"));
    EXPECT_EQ("unrelated A other M", readFile(o / "a.txt") + " " + readFile(o / "b.txt") + " " +
                                         readFile(o / "m.txt") + " " + readFile(o / "n.txt"));
    EXPECT_EQ("a.txt\nb.txt\n", names(u.path));   // nothing hidden left on the way
    EXPECT_EQ("a.txt\nb.txt\nm.txt\nn.txt\n", names(o.path));
}

// The copy by paths and on folder descriptors (XpStagedFile's rules, wired here once; kills,
// planted names and non-regular sources are XpStagedFileTest's): the copy is the caller's, with
// the source's permission bits but never its set-id bits, even when root copies another user's
// set-user-id program; it replaces a file or a link as a name and refuses what is not a file.
TEST(XpFileCopy, CopyByPathsIsTheCallersReplacesWholeAndRefusesHostileObjects)
{
    TempDir t;
    std::string data = pattern(3 << 20, 'k');
    ASSERT_TRUE(writeFile(t / "src", data) && writeFile(t / "dst", "old") && writeFile(t / "victim", "keep"));
    ASSERT_EQ(0, chown((t / "src").c_str(), nobodyUid(), nobodyGid()) | chmod((t / "src").c_str(), 06750));
    ASSERT_EQ(0, symlink((t / "victim").c_str(), (t / "link").c_str()) |
                     mknod((t / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) | mkdir((t / "dir").c_str(), 0755));
    for (const char* to : {"dst", "new", "link"}) {
        ASSERT_EQ(XPERR_OK, Op::CopyFile(S(t / "src"), S(t / to), false, nullptr));
        EXPECT_EQ(data, readFile(t / to));
        EXPECT_EQ(S_IFREG | 0750, lstatOf(t / to).st_mode);
        EXPECT_EQ(geteuid(), lstatOf(t / to).st_uid);
    }
    EXPECT_EQ("keep", readFile(t / "victim"));   // the link was replaced, not written through
    // A device is not replaced; a name that ends in '/' names no file, and a missing folder holds
    // none (the copy by paths answers COPY_FAILED where CopyFileSafely says FILE_FAILED).
    expectAll({Op::CopyFile(S(t / "src"), S(t / "null"), false, nullptr),
               Op::CopyFile(S(t / "src"), S(t / "dir/"), false, nullptr),
               Op::CopyFile(S(t / "src"), S(t / "gone/f2"), false, nullptr)}, XPERR_FILE_COPY_FAILED);
    EXPECT_EQ(S_IFCHR, kind(t / "null"));
    EXPECT_EQ("dir\ndst\nlink\nnew\nnull\nsrc\nvictim\n", names(t.path));

    // The same copy on folder descriptors (an O_PATH one too); names are single components.
    TempDir at;
    XpFd from(open(t.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    XpFd into(open(at.path.c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(XPERR_OK, Op::CopyFileAt(from.Get(), "src", into.Get(), "copy"));
    EXPECT_EQ(data, readFile(at / "copy"));
    expectAll({Op::CopyFileAt(from.Get(), "dir/../src", into.Get(), "x"),
               Op::CopyFileAt(from.Get(), "..", into.Get(), "x"),
               Op::CopyFileAt(from.Get(), "src", into.Get(), "..")}, XPERR_FILE_COPY_FAILED);
    EXPECT_EQ("copy\n", names(at.path));
}

TEST(XpFileCopy, FullDiskReadOnlyMountRefusedPermissionAndDevicesLeaveNothingHalfWritten)
{
    TempDir t;
    std::string data = pattern(3 << 20, 'd'), vol = t / "vol", ro = t / "ro";
    ASSERT_TRUE(writeFile(t / "src", data) && mkdir(vol.c_str(), 0755) == 0 && mkdir(ro.c_str(), 0755) == 0 &&
                writeFile(ro + "/old", "old"));
    ASSERT_EQ(0, mknod((t / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)) |   // as /dev/full
                     symlink("/dev/zero", (t / "zero").c_str()) | mkfifo((t / "fifo").c_str(), 0644));
    EXPECT_EQ(XPERR_FILE_DISK_FULL, Op::CopyFile(fileOf(t / "src"), S(t / "full"), nullptr));
    EXPECT_EQ(S_IFCHR, kind(t / "full"));   // the failed copy removes files only

    checkInMountNamespace([&] {
        ASSERT_EQ(0, mount("tmpfs", vol.c_str(), "tmpfs", 0, "size=1m"));
        ASSERT_TRUE(writeFile(vol + "/old", "old"));
        EXPECT_EQ(XPERR_FILE_DISK_FULL, Op::CopyFile(fileOf(t / "src"), S(vol + "/new"), nullptr));
        EXPECT_EQ(XPERR_FILE_COPY_FAILED, Op::CopyFile(S(t / "src"), S(vol + "/old"), false, nullptr));
        // The stream copy reads only a regular file: one of /dev/zero would end only on a full volume.
        EXPECT_EQ(XPERR_FILE_INVALID_PARAM, Op::CopyFile(fileOf(t / "zero"), S(vol + "/old"), nullptr));
        EXPECT_NE(XPERR_OK, Op::CopyFile(fileOf(t / "fifo"), S(vol + "/old"), nullptr));   // never waits
        EXPECT_EQ("old\nold", names(vol) + readFile(vol + "/old"));
        ASSERT_EQ(0, mount(ro.c_str(), ro.c_str(), nullptr, MS_BIND, nullptr));
        ASSERT_EQ(0, mount(nullptr, ro.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr));
        EXPECT_EQ(XPERR_FILE_ACCESS_DENIED, Op::CopyFile(fileOf(t / "src"), S(ro + "/new"), nullptr));
        EXPECT_EQ("old\nold", names(ro) + readFile(ro + "/old"));
    });

    ASSERT_EQ(0, chmod(t.path.c_str(), 0755));
    // (The copy by paths fails at staging its file there as on the read-only volume; a removal
    // refused to nobody is XpRemoveDirTest's.)
    checkAsNobody([&] {
        EXPECT_EQ(XPERR_FILE_ACCESS_DENIED, Op::CopyFile(fileOf(t / "src"), S(t / "mine"), nullptr));
        expectAll({Op::CopyFile(S(t / "src"), S(t / "mine"), false, nullptr),
                   Op::MoveFile(S(t / "src"), S(t / "mine"), false, nullptr)}, XPERR_FILE_COPY_FAILED);
    });
    EXPECT_EQ("fifo\nfull\nro\nsrc\nvol\nzero\n", names(t.path));
    EXPECT_EQ(data, readFile(t / "src"));
    EXPECT_EQ("old", readFile(t / "ro/old"));
}

// A root-only file (0600), and what nobody may read of the copies made from it.
bool nobodyCanRead(const std::string& p) { return asNobody([&] { return open(p.c_str(), O_RDONLY) >= 0 ? 0 : 1; }) == 0; }
uid_t ownerOf(const std::string& p) { return lstatOf(p).st_uid; }

TEST(XpFileCopy, CopiesHandRootOnlyDataToNobodyElseNorReadItThroughASwappedSource)
{
    TempDir t;
    ASSERT_EQ(0, chmod(t.path.c_str(), 01777));   // a shared folder, as /tmp
    ASSERT_TRUE(writeFile(t / "secret", "root only", 0600) && writeFile(t / "public", "for all", 0644));
    // nobody plants empty files, readable by him, where root will copy to.
    checkAsNobody([&] {
        for (const char* name : {"p-paths", "p-safe", "p-stream", "p-public"})
            ASSERT_TRUE(writeFile(t / name, "", 0644)) << name;
    });
    ASSERT_EQ(nobodyUid(), ownerOf(t / "p-paths"));

    // A replaced file keeps its owner only when he may read the source (CopyFileSafely's copy is
    // the one wiring check of that door; CopyFileAt places its copy through the same code).
    expectAll({Op::CopyFile(S(t / "secret"), S(t / "p-paths"), false, nullptr),
               Op::CopyFileSafely(S(t / "secret"), S(t / "p-safe"), false, nullptr),
               Op::CopyFile(S(t / "public"), S(t / "p-public"), false, nullptr)}, XPERR_OK);
    for (const char* name : {"p-paths", "p-safe"}) {
        EXPECT_EQ(0u, ownerOf(t / name)) << name;
        EXPECT_FALSE(nobodyCanRead(t / name)) << name;
    }
    EXPECT_EQ(nobodyUid(), ownerOf(t / "p-public"));
    EXPECT_EQ("for all", readFile(t / "p-public"));
    // The stream copy writes in place: a planted file is refused and left as it was.
    EXPECT_EQ(XPERR_FILE_ACCESS_DENIED, Op::CopyFile(fileOf(t / "secret"), S(t / "p-stream"), nullptr));
    EXPECT_EQ("", readFile(t / "p-stream"));

    // The stream copies' new files are private from the first instant: nobody opens each new
    // file of a shared folder as it appears. (The copy by paths stages an unnamed file, which no
    // one can open, and a hidden one is root's and 0600 from its making: XpStagedFileTest.)
    TempDir shared;
    XpStringT<char> created;
    ASSERT_EQ(0, chmod(shared.path.c_str(), 01777));
    NobodyWatcher watcher(shared.path, "root only");
    ASSERT_TRUE(watcher.Ready());
    for (int n = 0; n < 20; ++n) {
        std::string name = shared / ("c" + std::to_string(n));
        expectAll({Op::CopyFile(fileOf(t / "secret"), S(name), nullptr),
                   Op::CopyFile(fileOf(t / "secret"), S(shared.path), true, nullptr, &created)}, XPERR_OK);
    }
    EXPECT_TRUE(watcher.Finish());

    // Another process swaps the source between a file and a link to the root-only file.
    // (CopyFileSafely and CopyFileAt open their source through the same code; a move across
    // volumes opens it in the tree copy, which XpfsCopySafetyTest races through `xpfs cp`.)
    const std::string out = t / "out";
    expectNoLeakWhileSwapped(t.path, "root only", 1500, [&] { Op::CopyFile(S(t / "src"), S(out), false, nullptr); }, out);
}

TEST(XpFileCopy, TemporaryNameSearchStopsAtTheFirstRealFailure)
{
    TempDir t;
    ASSERT_TRUE(chmod(t.path.c_str(), 0755) == 0 && writeFile(t / "src", "data") && mkdir((t / "locked").c_str(), 0755) == 0);
    expectGivesUpAtOnce(t.path, [&](const std::string& folder) {
        return Op::CreateTempFile(S(folder), "", 8, "", ".tmp").IsEmpty() &&
               Op::CopyFileSafely(S(t / "src"), S(folder + "/dst"), false, nullptr) == XPERR_FILE_FAILED;
    });
}

// A copy that writes the holes out as zeros would fill the volume. Each way the data goes: the
// staged file's kernel copy (by paths, seen through the move of its copy; CopyFileSafely,
// CopyFileAt and the tree writer share it), the tree copy of a move across volumes, and the
// stream copy's own skipping of holes.
TEST(XpFileCopy, EveryCopyKeepsTheHolesOfASparseFile)
{
    TempDir t;
    ASSERT_EQ(0, mkdir((t / "vol").c_str(), 0755) | mkdir((t / "far").c_str(), 0755));
    // A 1 GiB file with two small pieces of data, ending in a hole, on 64 MiB volumes.
    const off_t size = off_t(1) << 30, middle = size / 2;
    checkInMountNamespace([&] {
        std::string vol = t / "vol", far = t / "far";
        ASSERT_EQ(0, mount("tmpfs", vol.c_str(), "tmpfs", 0, "size=64m"));
        ASSERT_EQ(0, mount("tmpfs", far.c_str(), "tmpfs", 0, "size=64m"));
        int fd = open((vol + "/sparse").c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_TRUE(fd >= 0 && pwrite(fd, "head", 4, 0) == 4 && pwrite(fd, "middle", 6, middle) == 6 &&
                    ftruncate(fd, size) == 0 && close(fd) == 0);
        // A copy of the source: its data where it was, its holes kept.
        auto keptHoles = [&](const std::string& p) {
            char head[5] = {}, mid[7] = {};
            std::ifstream in(p, std::ios::binary);
            bool data = in.read(head, 4).seekg(middle).read(mid, 6).good();
            EXPECT_TRUE(data && std::string(head) == "head" && std::string(mid) == "middle") << p;
            struct stat st = lstatOf(p);
            EXPECT_EQ(size, st.st_size) << p;
            EXPECT_LT(st.st_blocks * 512, 1 << 20) << p;
        };
        std::string src = vol + "/sparse";
        expectAll({Op::CopyFile(S(src), S(vol + "/paths"), false, nullptr),
                   Op::CopyFile(fileOf(src), S(vol + "/stream"), nullptr),
                   Op::MoveFile(S(vol + "/paths"), S(far + "/moved"), false, nullptr)}, XPERR_OK);
        keptHoles(vol + "/stream");
        keptHoles(far + "/moved");
    });
}

// Runs `then` the first time anyone reads the file at path, while that read waits: a step in the
// middle of an operation, at a point that a test names exactly, without a timing race. Through
// fanotify's permission events (root, and a kernel built with them), answered by a process of
// its own (a thread would not do in a forked child under ThreadSanitizer); Ready() is false
// where there are none.
class OnFirstRead {
public:
    OnFirstRead(const std::string& path, const std::function<void()>& then)
    {
        XpFd group(fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_CLOEXEC));
        if (!group.IsValid() || fanotify_mark(group.Get(), FAN_MARK_ADD, FAN_ACCESS_PERM, AT_FDCWD, path.c_str()) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {   // answers until killed; the group ends with it, allowing what waits
            prctl(PR_SET_PDEATHSIG, SIGKILL);   // and never outlives the test
            for (bool first = true;;) {
                alignas(struct fanotify_event_metadata) char buffer[4096];
                ssize_t n = read(group.Get(), buffer, sizeof buffer);
                for (auto* e = reinterpret_cast<struct fanotify_event_metadata*>(buffer); n > 0 && FAN_EVENT_OK(e, n);
                     e = FAN_EVENT_NEXT(e, n)) {
                    if (first)
                        then();
                    first = false;
                    const struct fanotify_response allow = {e->fd, FAN_ALLOW};
                    (void)!write(group.Get(), &allow, sizeof allow);
                    close(e->fd);
                }
            }
        }
    }
    ~OnFirstRead()
    {
        if (pid_ > 0 && kill(pid_, SIGKILL) == 0)
            waitpid(pid_, nullptr, 0);
    }
    bool Ready() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

// A move across volumes removes the source only when its name still holds the file it copied:
// another file put there while the copy ran (here: swapped with its sibling at the first read)
// stays, and the move reports the failure with both copies of the moved file kept. (Without the
// swap the move would succeed and the source's name would be free.)
TEST(XpFileCopy, MoveAcrossVolumesLeavesAFileSwappedInDuringTheCopy)
{
    TempDir t;
    const std::string one = pattern(1 << 20, '1'), two = pattern(1 << 19, '2');
    ASSERT_TRUE(writeFile(t / "src", one) && writeFile(t / "sibling", two) && mkdir((t / "vol").c_str(), 0755) == 0);
    if (!OnFirstRead(t / "sibling", [] {}).Ready())
        GTEST_SKIP() << "no fanotify permission events here";
    checkInMountNamespace([&] {
        ASSERT_EQ(0, mount("tmpfs", (t / "vol").c_str(), "tmpfs", 0, "size=8m"));
        XpErr err;
        {
            OnFirstRead swap(t / "src", [&] {
                renameat2(AT_FDCWD, (t / "src").c_str(), AT_FDCWD, (t / "sibling").c_str(), RENAME_EXCHANGE);
            });
            ASSERT_TRUE(swap.Ready());
            err = Op::MoveFile(S(t / "src"), S(t / "vol/moved"), false, nullptr);
        }
        EXPECT_EQ(XPERR_FILE_COPY_FAILED, err);
        EXPECT_TRUE(readFile(t / "src") == two && readFile(t / "sibling") == one && readFile(t / "vol/moved") == one);
    });
}

// The removal's count and its other mounts are XpRemoveDirTest's; here the links and folders it
// must never leave the tree through.
TEST(XpFileCopy, RemoveDirNeverLeavesTheTree)
{
    TempDir t;
    for (const char* d : {"tree", "tree/sub", "outside"})
        ASSERT_EQ(0, mkdir((t / d).c_str(), 0755));
    ASSERT_TRUE(writeFile(t / "tree/sub/c", "c") && writeFile(t / "outside/keep", "keep"));
    ASSERT_EQ(0, symlink((t / "outside").c_str(), (t / "tree/link").c_str()) |
                     symlink((t / "outside").c_str(), (t / "treelink").c_str()));
    EXPECT_EQ(XPERR_FILE_DIR_NOT_EMPTY, Op::RemoveDir(S(t / "tree"), false, nullptr));
    // A tree given as a link, and a link inside the tree: nothing outside is touched.
    EXPECT_EQ(XPERR_FILE_INVALID_PATH, Op::RemoveDir(S(t / "treelink/"), true, nullptr));
    ASSERT_EQ(XPERR_OK, Op::RemoveDir(S(t / "tree"), true, nullptr));
    EXPECT_FALSE(exists(t / "tree"));
    EXPECT_EQ("keep\n", names(t / "outside"));

    // A folder inside that the caller may not list (nobody, in nobody's tree, meets root's 0700
    // folder): the removal stops there, says a listing failed, and that folder stays whole.
    ASSERT_TRUE(chmod(t.path.c_str(), 0755) == 0 && mkdir((t / "tree").c_str(), 0755) == 0 &&
                mkdir((t / "tree/locked").c_str(), 0700) == 0 && writeFile(t / "tree/locked/x", "x") &&
                chown((t / "tree").c_str(), nobodyUid(), nobodyGid()) == 0);
    checkAsNobody([&] { EXPECT_EQ(XPERR_NO_MEMORY, Op::RemoveDir(S(t / "tree"), true, nullptr)); });
    EXPECT_EQ("x", readFile(t / "tree/locked/x"));
    ASSERT_EQ(XPERR_OK, Op::RemoveDir(S(t / "tree"), true, nullptr));

    // A thread swaps folders of a running removal for links to a folder outside.
    for (int round = 0; round < 10; ++round) {
        ASSERT_EQ(0, mkdir((t / "tree").c_str(), 0755) | mkdir((t / "stash").c_str(), 0755));
        for (int d = 0; d < 40; ++d) {
            std::string dir = t / ("tree/d" + std::to_string(d));
            ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
            for (int f = 0; f < 10; ++f)
                ASSERT_TRUE(writeFile(dir + "/f" + std::to_string(f), "x"));
        }
        std::atomic<bool> done(false);
        std::thread racer([&] {
            for (int d = 39; d >= 0 && !done; --d) {
                std::string dir = t / ("tree/d" + std::to_string(d));
                if (rename(dir.c_str(), (t / ("stash/d" + std::to_string(d))).c_str()) == 0)
                    symlink((t / "outside").c_str(), dir.c_str());
            }
        });
        Op::RemoveDir(S(t / "tree"), true, nullptr);   // may meet an entry gone meanwhile
        done = true;
        racer.join();
        ASSERT_EQ("keep\n", names(t / "outside")) << "round " << round;
        ASSERT_EQ(0, Op::RemoveDir(S(t / "stash"), true, nullptr));
        ASSERT_TRUE(!exists(t / "tree") || Op::RemoveDir(S(t / "tree"), true, nullptr) == 0);
    }
}

} // namespace
