// A tiny FUSE file system that plays an unreachable network share for the tests.
//
//   XpTestNetFs MOUNTPOINT CONTROLDIR SUBTYPE [rw | payload=SIZE,DELAY_US]
//
// Serves a fixed tree of empty files (share/dir/{file.txt,report.txt,sub/deep.txt}, share/other/)
// in the foreground, mounted with -o subtype=SUBTYPE so that /proc/self/mountinfo shows
// "fuse.SUBTYPE" (sshfs for a network share, anything else for a local one). Every request first
// passes a gate: while CONTROLDIR/hang exists, or CONTROLDIR/hang.NAME for the request's last
// path component NAME, it waits, as on a share whose server went away (each request on its own
// thread; the kernel holds the other lookups of a held name's folder). CONTROLDIR/log gets
// "held PATH" when a request starts to wait and "PATH TID" for each getattr answered, TID being
// the kernel thread that asked. No caching in the kernel (timeouts 0): every stat reaches here.
// While CONTROLDIR/flusherr exists, every flush (the close of a descriptor) answers EIO, as a
// share whose write-back failed reports it at the close. With "rw", a folder /rw (mode 0777)
// holds files kept in memory that can be created, written, renamed (RENAME_NOREPLACE honoured),
// given a mode and dates, and removed; they keep their creator as owner, and there are no links
// and no unnamed files, as on many network shares. With "payload=", a
// read-only /payload.bin (alone in the listing) of SIZE bytes, byte i being i % 251, every read of which
// waits DELAY_US microseconds first: a payload on a slow share, whose copy lasts long enough to
// be watched and cancelled.
#define FUSE_USE_VERSION 35
#include <fuse3/fuse.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string control;

const char* const DIRS[] = {"/", "/share", "/share/dir", "/share/dir/sub", "/share/other"};
const char* const FILES[] = {"/share/dir/file.txt", "/share/dir/report.txt", "/share/dir/sub/deep.txt"};

bool exists(const std::string& p) { return access(p.c_str(), F_OK) == 0; }

// The writable folder's files, by path ("/rw/NAME").
struct Node {
    std::string data;
    mode_t mode;
    uid_t uid;
    gid_t gid;
    struct timespec mtime;
};
bool writable = false;
std::mutex lock;
std::map<std::string, Node> nodes;
bool inRw(const char* path) { return writable && std::strncmp(path, "/rw/", 4) == 0 && !std::strchr(path + 4, '/'); }
off_t payloadSize = -1;
useconds_t payloadDelay = 0;
bool isPayload(const char* path) { return payloadSize >= 0 && std::strcmp(path, "/payload.bin") == 0; }

void note(const std::string& line)
{
    int fd = open((control + "/log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0 && write(fd, line.data(), line.size()) >= 0) {}   // a lost line shows in the test
    close(fd);
}

// Holds a request while the share is "gone"; logs "held PATH" once when it does.
void gate(const char* path)
{
    std::string named = control + "/hang." + (std::strrchr(path, '/') + 1);
    for (bool held = false; exists(control + "/hang") || exists(named); held = true) {
        if (!held)
            note(std::string("held ") + path + "\n");
        usleep(2000);
    }
}

void* fsInit(fuse_conn_info*, fuse_config* cfg) { return cfg->entry_timeout = cfg->attr_timeout = cfg->negative_timeout = 0, nullptr; }

int fsGetattr(const char* path, struct stat* st, fuse_file_info*)
{
    gate(path);
    note(std::string(path) + " " + std::to_string(fuse_get_context()->pid) + "\n");
    if (writable && std::strcmp(path, "/rw") == 0)
        return st->st_mode = S_IFDIR | 0777, st->st_nlink = 2, 0;
    if (isPayload(path))
        return st->st_mode = S_IFREG | 0444, st->st_nlink = 1, st->st_size = payloadSize, 0;
    if (inRw(path)) {
        std::lock_guard<std::mutex> hold(lock);
        auto it = nodes.find(path);
        if (it == nodes.end())
            return -ENOENT;
        st->st_mode = S_IFREG | it->second.mode;
        st->st_nlink = 1;
        st->st_size = static_cast<off_t>(it->second.data.size());
        st->st_uid = it->second.uid;
        st->st_gid = it->second.gid;
        st->st_mtim = it->second.mtime;
        return 0;
    }
    for (const char* d : DIRS)
        if (std::strcmp(d, path) == 0)
            return st->st_mode = S_IFDIR | 0555, 0;
    for (const char* f : FILES)
        if (std::strcmp(f, path) == 0)
            return st->st_mode = S_IFREG | 0444, 0;
    return -ENOENT;
}

// The children of a folder: the entries PATH/NAME with no further '/'.
int fsReaddir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags)
{
    gate(path);
    if (writable && std::strcmp(path, "/rw") == 0) {
        std::lock_guard<std::mutex> hold(lock);
        for (const auto& n : nodes)
            fill(buf, n.first.c_str() + 4, nullptr, 0, fuse_fill_dir_flags());
        return 0;
    }
    if (writable && std::strcmp(path, "/") == 0)
        fill(buf, "rw", nullptr, 0, fuse_fill_dir_flags());
    if (payloadSize >= 0) { // the payload volume holds its one file, so it can be a payload folder
        if (std::strcmp(path, "/") == 0)
            fill(buf, "payload.bin", nullptr, 0, fuse_fill_dir_flags());
        return 0;
    }
    size_t len = std::strlen(path) == 1 ? 0 : std::strlen(path);
    for (const char* const* list : {DIRS, FILES})
        for (size_t i = 0; i < (list == DIRS ? 5 : 3); ++i)
            if (std::strncmp(list[i], path, len) == 0 && list[i][len] == '/' && list[i][len + 1] &&
                !std::strchr(list[i] + len + 1, '/'))
                fill(buf, list[i] + len + 1, nullptr, 0, fuse_fill_dir_flags());
    return 0;
}

// A share that is gone does not answer this either.
int fsStatfs(const char* path, struct statvfs*) { return gate(path), 0; }

int fsFlush(const char*, fuse_file_info*) { return exists(control + "/flusherr") ? -EIO : 0; }

// ---- The writable folder ----
int fsCreate(const char* path, mode_t mode, fuse_file_info*)
{
    if (!inRw(path))
        return -EACCES;
    std::lock_guard<std::mutex> hold(lock);
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    nodes[path] = Node{std::string(), mode & 07777, fuse_get_context()->uid, fuse_get_context()->gid, now};
    return 0;
}
int fsOpen(const char* path, fuse_file_info* fi)
{
    if (isPayload(path))
        return (fi->flags & O_ACCMODE) == O_RDONLY ? 0 : -EACCES;
    std::lock_guard<std::mutex> hold(lock);
    return !inRw(path) || nodes.count(path) ? 0 : -ENOENT;
}
int fsRead(const char* path, char* buf, size_t size, off_t at, fuse_file_info*)
{
    if (isPayload(path)) {
        usleep(payloadDelay);
        size_t n = at < payloadSize ? static_cast<size_t>(std::min<off_t>(static_cast<off_t>(size), payloadSize - at)) : 0;
        for (size_t i = 0; i < n; ++i)
            buf[i] = static_cast<char>((static_cast<unsigned long long>(at) + i) % 251);
        return static_cast<int>(n);
    }
    std::lock_guard<std::mutex> hold(lock);
    auto it = nodes.find(path);
    if (it == nodes.end())
        return 0;   // the fixed files are empty
    size_t from = static_cast<size_t>(at) < it->second.data.size() ? static_cast<size_t>(at) : it->second.data.size();
    size_t n = std::min(size, it->second.data.size() - from);
    std::memcpy(buf, it->second.data.data() + from, n);
    return static_cast<int>(n);
}
int fsWrite(const char* path, const char* buf, size_t size, off_t at, fuse_file_info*)
{
    std::lock_guard<std::mutex> hold(lock);
    auto it = nodes.find(path);
    if (it == nodes.end())
        return -EACCES;
    std::string& d = it->second.data;
    if (d.size() < static_cast<size_t>(at) + size)
        d.resize(static_cast<size_t>(at) + size);
    d.replace(static_cast<size_t>(at), size, buf, size);
    return static_cast<int>(size);
}
int fsRename(const char* from, const char* to, unsigned int flags)
{
    std::lock_guard<std::mutex> hold(lock);
    if (!inRw(from) || !inRw(to) || (flags & RENAME_EXCHANGE))
        return -EINVAL;
    auto it = nodes.find(from);
    if (it == nodes.end())
        return -ENOENT;
    if ((flags & RENAME_NOREPLACE) && nodes.count(to))
        return -EEXIST;
    Node moved = it->second;
    nodes.erase(it);
    nodes[to] = moved;
    return 0;
}
int fsUnlink(const char* path)
{
    std::lock_guard<std::mutex> hold(lock);
    return nodes.erase(path) ? 0 : -ENOENT;
}
int fsChmod(const char* path, mode_t mode, fuse_file_info*)
{
    std::lock_guard<std::mutex> hold(lock);
    auto it = nodes.find(path);
    return it == nodes.end() ? -EPERM : (it->second.mode = mode & 07777, 0);
}
int fsUtimens(const char* path, const struct timespec tv[2], fuse_file_info*)
{
    std::lock_guard<std::mutex> hold(lock);
    auto it = nodes.find(path);
    if (it == nodes.end())
        return -EPERM;
    if (tv[1].tv_nsec != UTIME_OMIT)
        it->second.mtime = tv[1];
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    long long size = -1;
    unsigned long delay = 0;
    bool payload = argc == 5 && std::sscanf(argv[4], "payload=%lld,%lu", &size, &delay) == 2 && size >= 0;
    if (argc != 4 && !(argc == 5 && (std::strcmp(argv[4], "rw") == 0 || payload)))
        return 2;
    writable = argc == 5 && !payload;
    payloadSize = payload ? static_cast<off_t>(size) : -1;
    payloadDelay = static_cast<useconds_t>(delay);
    control = argv[2];
    std::string options = std::string("subtype=") + argv[3] + ",fsname=xptest";
    char foreground[] = "-f", o[] = "-o";
    char* args[] = {argv[0], argv[1], foreground, o, &options[0], nullptr};
    fuse_operations ops{};
    ops.init = fsInit;
    ops.getattr = fsGetattr;
    ops.readdir = fsReaddir;
    ops.statfs = fsStatfs;
    ops.flush = fsFlush;
    if (writable || payload) {
        ops.open = fsOpen;
        ops.read = fsRead;
    }
    if (writable) {
        ops.create = fsCreate;
        ops.write = fsWrite;
        ops.rename = fsRename;
        ops.unlink = fsUnlink;
        ops.chmod = fsChmod;
        ops.utimens = fsUtimens;
    }
    return fuse_main(5, args, &ops, nullptr);
}
