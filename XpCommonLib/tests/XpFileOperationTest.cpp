// The file operations: existence and attributes, every errno rule on a real refusal, planted
// links and FIFOs, unique names under many threads, and the freedesktop.org trash, read back by
// `gio trash --list` as its user (the test's HOME and XDG_DATA_HOME stay set for the rest of the
// program).
#include <XpFileOperation.h>

#include "XpFileTestSupport.h"

#include <linux/fs.h>
#include <sys/ioctl.h>

#include <functional>
#include <set>
#include <thread>

namespace {

typedef XpFileOperation Op;
using Str = XpStringT<char>;

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

using xptest::modeOf;

TEST(XpFileOperation, ExistenceReadOnlyAndHiddenOfFilesFoldersLinksAndBadNames)
{
    xptest::TempDir t;
    const std::string file = t / "f", link = t / "link", bad = t / "bad\xFF\xFE", locked = t / "locked";
    ASSERT_EQ(symlink(file.c_str(), link.c_str()) | symlink("gone", (t / "dangling").c_str()) | mkdir(locked.c_str(), 0700), 0);
    for (const auto& f : std::vector<std::pair<std::string, mode_t>>{{file, 0640}, {t / "ro", 0444}, {bad, 0444},
                                                                     {locked + "/inner", 0644}, {t / ".h", 0644}})
        ASSERT_TRUE(xptest::writeFile(f.first, f.first == file ? "x" : "", f.second)) << f.first;
    const std::pair<std::string, const char*> cases[] = {
        {file, "1/0/1 0 -"}, {t / "ro", "1/0/1 0 r"}, {t.path, "1/1/0 1 -"}, {t / "missing", "0/0/0 0 -"},
        {link, "1/0/1 0 -"}, {t / "dangling", "0/0/0 0 -"}, {"", "0/0/0 0 -"},
        {bad, "0/0/0 0 -"},   // a real name to the kernel, but not UTF-8
        {t / ".h", "1/0/1 0 - h"}};   // which name is the last one is XpPathUtilTest's
    for (const auto& c : cases)
        EXPECT_EQ(answers(c.first), c.second) << c.first;

    EXPECT_EQ(Op::SetReadOnly(file.c_str(), true), XPERR_OK);
    EXPECT_EQ(modeOf(file), 0440u);   // root may still write it: "ro" above shows it read-only all the same
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
}

struct Recorder : IXpFileOpProgressObserver {
    std::vector<double> calls;
    bool OnProgress(double p) override { return calls.push_back(p), false; }
};

struct Row { std::string what; std::function<XpErr()> op; XpErr expected; bool asNobody = false; };

TEST(XpFileOperation, UniqueNamesUnderManyThreadsPlantedProbesConcatenationAndErrnoRulesOnRealRefusals)
{
    xptest::TempDir t;
    std::string big(65536, 'x'), tooLong = t / std::string(300, 'n'), gone = "/mnt/xp-not-mounted/x";
    ASSERT_EQ(chmod(t.path.c_str(), 0755), 0);   // nobody may walk in, not write
    for (const char* d : {"dir", "src", "src/d", "src/n", "src/n/x", "locked", "locked/y", "ro", "full", "small", "tree", "tree/s"})
        ASSERT_EQ(mkdir((t / d).c_str(), 0755), 0) << d;
    for (const char* f : {"file", "src/f", "locked/x", "tree/a", "tree/s/b"})
        ASSERT_TRUE(xptest::writeFile(t / f, f));
    ASSERT_TRUE(xptest::writeFile(t / "big", big));
    ASSERT_EQ(symlink("a", (t / "tree/l").c_str()) | symlink((t / "file").c_str(), (t / "link").c_str()) |
              symlink((t / "none").c_str(), (t / "dangling").c_str()), 0);
    // New files: unique names under many threads, planted probes, concatenation.
    ASSERT_TRUE(xptest::writeFile(t / "kept", "kept"));
    xptest::expectAll({Op::CreateNewFile((t / "kept").c_str()), Op::CreateNewFile((t / "dangling").c_str())}, XPERR_FILE_EXISTS);
    EXPECT_EQ(xptest::readFile(t / "kept"), "kept");
    EXPECT_EQ(Op::CreateTempFile(t.path.c_str(), "p", 3, "m", ".s"), (t / "p000m.s").c_str());

    std::vector<std::thread> threads;
    std::vector<std::string> names[8];
    std::atomic<int> writable(0);
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&, i] {
            for (int n = 0; n < 20; ++n) {
                names[i].push_back(Op::CreateTempFile(t.path.c_str(), "t", 4, "", "").GetBuffer());
                writable += Op::IsDirWritable(t.path.c_str());
            }
        });
    for (std::thread& th : threads)
        th.join();
    std::set<std::string> distinct;
    for (const auto& v : names)
        distinct.insert(v.begin(), v.end());
    EXPECT_TRUE(distinct.size() == 160u && distinct.count("") == 0 && writable == 160) << distinct.size() << " " << writable;
    EXPECT_NE(access((t / ".00000000.tmp").c_str(), F_OK), 0);   // every probe removed

    // A FIFO planted as the first probe is passed over, never opened (which would block).
    ASSERT_EQ(mkfifo((t / ".00000000.tmp").c_str(), 0666), 0);
    EXPECT_TRUE(Op::IsDirWritable(t.path.c_str()));
    // For nobody the folder is not writable, even with a link to a file nobody can write
    // planted as the first probe.
    ASSERT_TRUE(xptest::writeFile(t / "open", "", 0666) &&
                (unlink((t / ".00000000.tmp").c_str()) | symlink((t / "open").c_str(), (t / ".00000000.tmp").c_str())) == 0);
    EXPECT_EQ(xptest::asNobody([&] { return Op::IsDirWritable(t.path.c_str()) ? 1 : 0; }), 0);
    EXPECT_EQ(xptest::asNobody([&] { return Op::IsEnableReadWrite((t / "open").c_str()) ? 0 : 1; }), 0);

    // Concatenation.
    ASSERT_TRUE(xptest::writeFile(t / "a", "abc") && xptest::writeFile(t / "b", "defgh"));
    std::vector<Str> in = {(t / "a").c_str(), (t / "b").c_str()};
    Recorder all;
    EXPECT_EQ(Op::ConcatenateFiles(in, (t / "out").c_str(), &all), XPERR_OK);
    EXPECT_EQ(xptest::readFile(t / "out"), "abcdefgh");
    EXPECT_EQ(all.calls, (std::vector<double>{37.5, 100.0}));
    in.push_back((t / "none").c_str());
    EXPECT_EQ(Op::ConcatenateFiles(in, (t / "out").c_str(), nullptr), XPERR_FILE_NOT_FOUND);
    ASSERT_EQ(symlink((t / "a").c_str(), (t / "planted").c_str()), 0);
    EXPECT_NE(Op::ConcatenateFiles(in, (t / "planted").c_str(), nullptr), XPERR_OK);
    EXPECT_EQ(xptest::readFile(t / "a"), "abc");   // the link's target is left alone

    // The errno rules on real refusals.
    auto mk = [](std::string p) { return [p] { return Op::MakeDir(Str(p.c_str())); }; };
    auto mkp = [](std::string p) { return [p] { return Op::MakeDirRecursively(p.c_str()); }; };
    auto rm = [](std::string p) { return [p] { return Op::removeFile(Str(p.c_str())); }; };
    auto rd = [](std::string p) { return [p] { return Op::removeDir(Str(p.c_str())); }; };
    auto mv = [](std::string a, std::string b) { return [a, b] { return Op::RenameFile(a.c_str(), b.c_str()); }; };
    // Names that are not UTF-8 are moved like any other.
    ASSERT_TRUE(xptest::writeFile(t / "caf\xe9", "latin1") && xptest::writeFile(t / "taken\xff", ""));
    // Relative names are taken with t as the working folder; mkdir -p refuses them even there.
    const Row rows[] = {
        {"mkdir exists", mk(t / "dir"), XPERR_FILE_EXISTS}, {"mkdir ENOENT", mk(t / "none/x"), XPERR_FILE_ACCESS_DENIED},
        {"mkdir EROFS", mk(t / "ro/new"), XPERR_FILE_ACCESS_DENIED}, {"mkdir EACCES", mk(t / "locked/new"), XPERR_FILE_ACCESS_DENIED, true},
        {"mkdir ENOSPC", mk(t / "full/new"), XPERR_FILE_DISK_FULL}, {"mkdir ENOTDIR", mk(t / "file/x"), XPERR_FILE_PARENT_NOT_FOUND},
        {"mkdir ENAMETOOLONG", mk(tooLong), XPERR_FILE_MAKE_DIR_FAILED}, {"mkdir unmounted", mk(gone), XPERR_FILE_DEVICE_NOT_AVAILABLE},
        {"mkdir -p relative", mkp("p/q"), XPERR_FILE_MAKE_DIR_FAILED}, {"mkdir -p", mkp(t / "p/q/r"), XPERR_OK},
        {"mkdir -p EACCES", mkp(t / "locked/n/m"), XPERR_FILE_ACCESS_DENIED, true}, {"unlink ENOENT", rm(t / "none"), XPERR_FILE_NOT_FOUND},
        {"unlink EACCES", rm(t / "locked/x"), XPERR_FILE_REMOVE_FAILED, true}, {"unlink unmounted", rm(gone), XPERR_FILE_DEVICE_NOT_AVAILABLE},
        {"unlink a link", rm(t / "link"), XPERR_OK}, {"rmdir ENOTEMPTY", rd(t / "src/n"), XPERR_FILE_DIR_NOT_EMPTY},
        {"rmdir EROFS", rd(t / "ro/d"), XPERR_FILE_ACCESS_DENIED}, {"rmdir EACCES", rd(t / "locked/y"), XPERR_FILE_ACCESS_DENIED, true},
        {"rmdir ENOTDIR", rd(t / "file"), XPERR_FILE_REMOVE_FAILED}, {"rmdir unmounted", rd(gone), XPERR_FILE_DEVICE_NOT_AVAILABLE},
        {"mv onto a dangling link", mv(t / "file", t / "dangling"), XPERR_FILE_OPEN_FAILED},
        {"mv a missing file", mv(t / "none", t / "new"), XPERR_FILE_OPEN_FAILED},
        {"mv EACCES", mv(t / "locked/x", t / "locked/z"), XPERR_FILE_MOVE_FAILED, true},
        {"mv ENOSPC across volumes", mv(t / "big", t / "small/big"), XPERR_FILE_MOVE_FAILED},
        {"mv unmounted", mv(t / "file", gone), XPERR_FILE_DEVICE_NOT_AVAILABLE}, {"mv a tree across volumes", mv(t / "tree", t / "small/tree"), XPERR_OK},
        {"mv a name that is not UTF-8", mv(t / "caf\xe9", t / "moved\xe9"), XPERR_OK},
        {"mv onto a name that is not UTF-8", mv(t / "file", t / "taken\xff"), XPERR_FILE_OPEN_FAILED}};
    bool mounted = xptest::checkInMountNamespace([&] {
        ASSERT_TRUE(mount((t / "src").c_str(), (t / "ro").c_str(), nullptr, MS_BIND, nullptr) == 0 &&
                    mount(nullptr, (t / "ro").c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0 &&
                    mount("tmpfs", (t / "full").c_str(), "tmpfs", 0, "size=64k,nr_inodes=3") == 0 &&
                    mount("tmpfs", (t / "small").c_str(), "tmpfs", 0, "size=16k") == 0);
        for (int i = 0; xptest::writeFile(t / ("full/" + std::to_string(i)), ""); ++i) {}   // no inode left
        EXPECT_EQ(chdir(t.path.c_str()), 0);
        for (const Row& r : rows) {
            XpErr got = r.asNobody ? 0x8100 | xptest::asNobody([&] { return static_cast<int>(r.op() & 0xFF); }) : r.op();
            EXPECT_EQ(got, r.expected) << r.what;
        }
        EXPECT_EQ(xptest::readFile(t / "big"), big);   // a failed move leaves the source whole
        EXPECT_EQ(xptest::readFile(t / "small/tree/s/b"), "tree/s/b");
        EXPECT_EQ(xptest::runProgram({"ls", "-A", t / "small"}), "tree\n");   // no copy left behind
    });
    if (!mounted)
        return;
    EXPECT_TRUE(access((t / "file").c_str(), F_OK) == 0 && access((t / "link").c_str(), F_OK) != 0);
    EXPECT_TRUE(access((t / "dir").c_str(), F_OK) == 0 && access((t / "tree").c_str(), F_OK) != 0);
    EXPECT_TRUE(xptest::readFile(t / "moved\xe9") == "latin1" && access((t / "caf\xe9").c_str(), F_OK) != 0);
}

XpErr trash(const std::string& path) { return Op::removeFileToRecycleBin(path.c_str()); }

TEST(XpTrash, EachPlaceIsWrittenBeforeItsItemTakenNamesAreNumberedAndPathsEscaped)
{
    xptest::TempDir t;
    for (const char* v : {"HOME", "XDG_DATA_HOME"})
        setenv(v, (t / v).c_str(), 1);
    std::string src = t / "s\xC3\xA9 d", one = t / "one", two = t / "two";
    ASSERT_EQ(mkdir(src.c_str(), 0755) | mkdir(one.c_str(), 0755) | mkdir(two.c_str(), 0755), 0);
    // Each information file is written whole before its item arrives in files/: a process that
    // stops in between leaves no item without its place. Watched as it happens, in order.
    std::filesystem::create_directories(t / "XDG_DATA_HOME/Trash/files");
    std::filesystem::create_directories(t / "XDG_DATA_HOME/Trash/info");
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_TRUE(watch >= 0 && inotify_add_watch(watch, (t / "XDG_DATA_HOME/Trash/files").c_str(), IN_MOVED_TO | IN_CREATE) >= 0 &&
                inotify_add_watch(watch, (t / "XDG_DATA_HOME/Trash/info").c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) >= 0);
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(xptest::writeFile(src + "/a b.txt", std::to_string(i)) && trash(src + "/a b.txt") == XPERR_OK) << i;
    alignas(struct inotify_event) char events[4096];
    std::string order;
    const ssize_t got = read(watch, events, sizeof events);
    for (ssize_t at = 0; at < got; at += static_cast<ssize_t>(sizeof(struct inotify_event)) + reinterpret_cast<struct inotify_event*>(events + at)->len) {
        const auto* e = reinterpret_cast<struct inotify_event*>(events + at);
        order += std::string(e->mask & IN_CLOSE_WRITE ? "written " : e->mask & IN_MOVED_TO ? "moved " : "made ") + e->name + "|";
    }
    close(watch);
    EXPECT_EQ("written a b.txt.trashinfo|moved a b.txt|written a b(1).txt.trashinfo|moved a b(1).txt|"
              "written a b(2).txt.trashinfo|moved a b(2).txt|", order);
    ASSERT_TRUE(xptest::writeFile(t / "target", "target") && symlink((t / "target").c_str(), (src + "/link").c_str()) == 0);
    EXPECT_EQ(trash(src + "/link"), XPERR_OK);
    EXPECT_EQ(xptest::readFile(t / "target"), "target");
    EXPECT_TRUE(std::filesystem::is_symlink(t / "XDG_DATA_HOME/Trash/files/link"));
    // Two processes trash an item called same.txt at the same moment.
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t pids[2];
    for (int i = 0; i < 2; ++i) {
        std::string item = (i ? two : one) + "/same.txt";
        ASSERT_TRUE(xptest::writeFile(item, item));
        pids[i] = xptest::startChild([&] {
            char c;
            return read(go[0], &c, 1) == 1 && trash(item) == XPERR_OK ? 0 : 1;
        });
    }
    EXPECT_EQ(write(go[1], "gg", 2), 2);
    EXPECT_EQ(xptest::childExit(pids[0]) | xptest::childExit(pids[1]), 0);
    close(go[0]), close(go[1]);
    // In Path= only letters, digits, '/' and -_.~ stay as they are: every byte of a character
    // that is not ASCII, a byte that is not UTF-8, reserved characters and a line break are
    // written as %XX, so that the file keeps one line per key and any reader finds the place.
    const std::string odd = "\xC3\xA9 %#?+&=;:[]'!*@$,\\\xFF\n~-_.azAZ09";
    ASSERT_TRUE(xptest::writeFile(src + "/" + odd, "") && trash(src + "/" + odd) == XPERR_OK);
    const std::string info = xptest::readFile(t / "XDG_DATA_HOME/Trash/info/" + odd + ".trashinfo");
    EXPECT_NE(info.find("/s%C3%A9%20d/%C3%A9%20%25%23%3F%2B%26%3D%3B%3A%5B%5D%27%21%2A%40%24%2C%5C%FF%0A~-_.azAZ09\n"),
              std::string::npos) << info;

    // Each of the two processes got its own name, and each name its own place. (That `gio trash`
    // reads these files is seen in HomeAndOtherMountsTrashesAreMadeWithoutLinksAndBelongToTheirOwner.)
    const std::string places = xptest::readFile(t / "XDG_DATA_HOME/Trash/info/same.txt.trashinfo") +
                               xptest::readFile(t / "XDG_DATA_HOME/Trash/info/same(1).txt.trashinfo");
    EXPECT_NE(places.find("\nPath=" + one + "/same.txt\n"), std::string::npos) << places;
    EXPECT_NE(places.find("\nPath=" + two + "/same.txt\n"), std::string::npos) << places;
}

TEST(XpTrash, HomeAndOtherMountsTrashesAreMadeWithoutLinksAndBelongToTheirOwner)
{
    xptest::TempDir t;
    ASSERT_EQ(chmod(t.path.c_str(), 0755), 0);   // nobody reaches its home below
    const struct passwd* nobody = xptest::nobodyUser();
    ASSERT_NE(nobody, nullptr);
    for (const char* d : {"planted", "home", "root-owned"})
        ASSERT_TRUE(mkdir((t / d).c_str(), 0755) == 0 &&
                    (d[0] == 'r' || chown((t / d).c_str(), nobody->pw_uid, nobody->pw_gid) == 0)) << d;
    xptest::checkInChild([&] {
        unsetenv("XDG_DATA_HOME");
        // A user's ~/.local planted as a link to a folder of root's: root's trash makes nothing
        // there, and the item stays where it was.
        setenv("HOME", (t / "planted").c_str(), 1);
        ASSERT_EQ(symlink((t / "root-owned").c_str(), (t / "planted/.local").c_str()), 0);
        ASSERT_TRUE(xptest::writeFile(t / "bait", "bait"));
        EXPECT_EQ(trash(t / "bait"), XPERR_FILE_REMOVE_FAILED);
        // Nor does a data folder that climbs out of the home.
        setenv("XDG_DATA_HOME", (t / "planted/../root-owned/share").c_str(), 1);
        EXPECT_EQ(trash(t / "bait"), XPERR_FILE_REMOVE_FAILED);
        unsetenv("XDG_DATA_HOME");
        EXPECT_EQ(xptest::runProgram({"ls", "-A", t / "root-owned"}), "");
        EXPECT_EQ(xptest::readFile(t / "bait"), "bait");

        // Root trashing for a user whose ~/.local does not exist yet: every folder made in the
        // home, and the information file, belong to the user, whose own `gio trash` lists it.
        setenv("HOME", (t / "home").c_str(), 1);
        EXPECT_TRUE(xptest::writeFile(t / "item", "item") && trash(t / "item") == XPERR_OK);
        for (const char* made : {".local", ".local/share", ".local/share/Trash", ".local/share/Trash/files",
                                 ".local/share/Trash/info", ".local/share/Trash/info/item.trashinfo"}) {
            struct stat st;
            EXPECT_TRUE(lstat((t / "home/" + made).c_str(), &st) == 0 && st.st_uid == nobody->pw_uid &&
                        st.st_gid == nobody->pw_gid) << made;
        }
        EXPECT_EQ(xptest::readFile(t / "home/.local/share/Trash/files/item"), "item");
        xptest::checkAsNobody([&] {
            for (const char* v : {"XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR"})
                unsetenv(v);
            std::string listed = xptest::runProgram({"dbus-run-session", "--", "gio", "trash", "--list"});
            EXPECT_EQ(listed, "trash:///item\t" + t / "item\n");
        });
        // A data folder whose name only begins as the home's (home2) is not in the home: its
        // trash is made as root's, not handed to the home's owner.
        setenv("XDG_DATA_HOME", (t / "home2/share").c_str(), 1);
        EXPECT_TRUE(xptest::writeFile(t / "item2", "item2") && trash(t / "item2") == XPERR_OK);
        unsetenv("XDG_DATA_HOME");
        struct stat st;
        EXPECT_TRUE(lstat((t / "home2/share/Trash/files/item2").c_str(), &st) == 0 && st.st_uid == 0);
    });

    // Items of another mount go to its own trash, never through a planted link or into
    // another user's folder.
    setenv("XDG_DATA_HOME", (t / "data").c_str(), 1);
    auto empty = [](const std::string& folder) { return xptest::runProgram({"ls", "-A", folder}) == ""; };
    xptest::checkInMountNamespace([&] {
        for (const char* vol : {"vol", "shared", "hostile", "foreign", "full", "evil"})
            ASSERT_TRUE(mkdir((t / vol).c_str(), 0755) == 0 &&
                        mount("tmpfs", (t / vol).c_str(), "tmpfs", 0, "size=64k") == 0);
        // No trash prepared by an administrator: $topdir/.Trash-UID, Path= relative to the top.
        EXPECT_TRUE(xptest::writeFile(t / "vol/x", "x") && trash(t / "vol/x") == XPERR_OK);
        EXPECT_EQ(xptest::readFile(t / "vol/.Trash-0/files/x"), "x");
        EXPECT_NE(xptest::readFile(t / "vol/.Trash-0/info/x.trashinfo").find("\nPath=x\n"), std::string::npos);
        // An item a crash left in files/ without its information file keeps its name.
        EXPECT_TRUE(xptest::writeFile(t / "vol/.Trash-0/files/y", "left") && xptest::writeFile(t / "vol/y", "y"));
        EXPECT_EQ(trash(t / "vol/y"), XPERR_OK);
        EXPECT_EQ(xptest::readFile(t / "vol/.Trash-0/files/y") + xptest::readFile(t / "vol/.Trash-0/files/y(1)"), "lefty");
        EXPECT_FALSE(std::filesystem::exists(t / "vol/.Trash-0/info/y.trashinfo"));
        // An administrator's sticky .Trash: the item goes to .Trash/UID, made for us.
        ASSERT_TRUE(mkdir((t / "shared/.Trash").c_str(), 0777) == 0 && chmod((t / "shared/.Trash").c_str(), 01777) == 0);
        EXPECT_TRUE(xptest::writeFile(t / "shared/z", "z") && trash(t / "shared/z") == XPERR_OK);
        EXPECT_EQ(xptest::readFile(t / "shared/.Trash/0/files/z"), "z");
        EXPECT_FALSE(std::filesystem::exists(t / "shared/.Trash-0"));
        // Another user made both our folders first (.Trash/UID and .Trash-UID), or planted a link:
        // refused, nothing moved into them or made where the link points.
        ASSERT_TRUE(mkdir((t / "foreign/.Trash").c_str(), 0777) == 0 && chmod((t / "foreign/.Trash").c_str(), 01777) == 0);
        for (const char* d : {"foreign/.Trash/0", "foreign/.Trash-0"})
            ASSERT_TRUE(mkdir((t / d).c_str(), 0777) == 0 && chown((t / d).c_str(), nobody->pw_uid, nobody->pw_gid) == 0);
        EXPECT_EQ(symlink((t / "evil").c_str(), (t / "hostile/.Trash-0").c_str()), 0);
        for (const char* item : {"foreign/w", "hostile/w"}) {
            EXPECT_TRUE(xptest::writeFile(t / item, "w"));
            EXPECT_EQ(trash(t / item), XPERR_FILE_REMOVE_FAILED) << item;
            EXPECT_EQ(xptest::readFile(t / item), "w") << item;
        }
        EXPECT_TRUE(empty(t / "foreign/.Trash/0") && empty(t / "foreign/.Trash-0") && empty(t / "evil"));
        // A full volume: the information file cannot be written; the item stays, and the name
        // reserved by the information file is given back.
        for (const char* d : {"full/.Trash-0", "full/.Trash-0/files", "full/.Trash-0/info"})
            ASSERT_EQ(mkdir((t / d).c_str(), 0700), 0);
        EXPECT_TRUE(xptest::writeFile(t / "full/v", "v"));
        std::ofstream(t / "full/filler") << std::string(64 << 10, 'f');
        EXPECT_EQ(trash(t / "full/v"), XPERR_FILE_REMOVE_FAILED);
        EXPECT_EQ(xptest::readFile(t / "full/v"), "v");
        EXPECT_TRUE(empty(t / "full/.Trash-0/info") && empty(t / "full/.Trash-0/files"));
    });
}

TEST(XpMakeDirChain, MakesPathLongerThanPathMaxAndTellsEachLevel)
{
    xptest::TempDir t;
    const std::string chain = xptest::longChain(25);
    ASSERT_GT(chain.size(), size_t(PATH_MAX));
    std::vector<std::string> made;
    XpFileError err = Op::MakeDirChain(Str((t.path + "/" + chain).c_str()), -1, [&](const char* p) { made.push_back(p); });
    EXPECT_TRUE(err.IsOk()) << err.Describe().GetBuffer();
    EXPECT_EQ(made.size(), 25u);
    // Every level is there: find walks by descriptors, as no whole path of this length opens.
    EXPECT_EQ(xptest::spawn({"find", t.path, "-type", "d", "-name", std::string(200, 'y')}).out, t / chain + "\n");
    xptest::spawn({"rm", "-rf", t.path + "/a"});   // deeper than the folder's own cleanup reaches
}

TEST(XpMakeDirChain, RefusesLinkAnotherUserPlantedInSharedFolder)
{
    xptest::TempDir t;
    ASSERT_EQ(mkdir((t / "shared").c_str(), 01777), 0);
    ASSERT_EQ(chmod((t / "shared").c_str(), 01777), 0);
    ASSERT_EQ(chmod(t.path.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((t / "target").c_str(), 0777), 0);
    ASSERT_EQ(xptest::asNobody([&] { return symlink((t / "target").c_str(), (t / "shared/planted").c_str()); }), 0);
    XpFileError err = Op::MakeDirChain(Str((t / "shared/planted/x").c_str()));
    EXPECT_EQ(err.Code(), XPERR_FILE_ACCESS_DENIED);
    EXPECT_EQ(err.SysErr(), ELOOP);
    EXPECT_FALSE(xptest::exists(t / "target/x"));
    // A link of the caller's own is followed, as mkdir -p follows /var/run.
    ASSERT_EQ(symlink((t / "target").c_str(), (t / "shared/mine").c_str()), 0);
    EXPECT_TRUE(Op::MakeDirChain(Str((t / "shared/mine/y").c_str())).IsOk());
    EXPECT_TRUE(std::filesystem::is_directory(t / "target/y"));
}

TEST(XpMakeDirChain, GivesTheMadeLastLevelExactlyItsMode)
{
    xptest::TempDir t;
    mode_t old = umask(077);
    XpFileError err = Op::MakeDirChain(Str((t / "p/q").c_str()), 0755);
    umask(old);
    EXPECT_TRUE(err.IsOk());
    EXPECT_EQ(modeOf(t / "p/q"), 0755u);
    ASSERT_EQ(chmod((t / "p/q").c_str(), 0700), 0);
    EXPECT_TRUE(Op::MakeDirChain(Str((t / "p/q").c_str()), 0755).IsOk());
    EXPECT_EQ(modeOf(t / "p/q"), 0700u);   // one that was there keeps its own
}

} // namespace
