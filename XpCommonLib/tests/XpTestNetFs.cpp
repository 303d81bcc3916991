// A tiny FUSE file system that plays an unreachable network share for the tests.
//
//   XpTestNetFs MOUNTPOINT CONTROLDIR SUBTYPE
//
// Serves a fixed read-only tree (share/dir/{file.txt,report.txt,sub/deep.txt}, share/other/)
// in the foreground, mounted with -o subtype=SUBTYPE so that /proc/self/mountinfo shows
// "fuse.SUBTYPE" (sshfs for a network share, anything else for a local one). Every request first
// passes a gate: while CONTROLDIR/hang exists, or CONTROLDIR/hang.NAME for the request's last path
// component NAME, the request waits, as a share whose server went away (each request on its own
// thread; a held name holds only the other requests in its folder). CONTROLDIR/log gets "held PATH" when a request
// starts to wait and "PATH TID" for each getattr answered, TID being the kernel thread that asked.
// No caching in the kernel (timeouts 0), so every stat reaches this process.
#define FUSE_USE_VERSION 35
#include <fuse3/fuse.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string control;

struct Node { const char* path; const char* content; };   // content null: a directory
const Node TREE[] = {
    {"/", nullptr}, {"/share", nullptr}, {"/share/dir", nullptr}, {"/share/dir/sub", nullptr},
    {"/share/other", nullptr},
    {"/share/dir/file.txt", "hello\n"}, {"/share/dir/report.txt", "report\n"},
    {"/share/dir/sub/deep.txt", "deep\n"},
};

bool exists(const std::string& p) { return access(p.c_str(), F_OK) == 0; }

void note(const std::string& line)
{
    int fd = open((control + "/log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (write(fd, line.data(), line.size()) < 0) {}   // a lost line shows in the test
        close(fd);
    }
}

// Holds a request while the share is "gone"; logs "held PATH" once when it does.
void gate(const char* path)
{
    const char* last = std::strrchr(path, '/');
    std::string named = control + "/hang." + (last ? last + 1 : path);
    for (bool held = false; exists(control + "/hang") || exists(named); held = true) {
        if (!held)
            note(std::string("held ") + path + "\n");
        usleep(2000);
    }
}

const Node* find(const char* path)
{
    for (const Node& n : TREE)
        if (std::strcmp(n.path, path) == 0)
            return &n;
    return nullptr;
}

void* fsInit(fuse_conn_info*, fuse_config* cfg)
{
    cfg->entry_timeout = cfg->attr_timeout = cfg->negative_timeout = 0;
    return nullptr;
}

int fsGetattr(const char* path, struct stat* st, fuse_file_info*)
{
    gate(path);
    note(std::string(path) + " " + std::to_string(fuse_get_context()->pid) + "\n");
    const Node* n = find(path);
    if (n == nullptr)
        return -ENOENT;
    std::memset(st, 0, sizeof *st);
    st->st_mode = n->content ? S_IFREG | 0444 : S_IFDIR | 0555;
    st->st_nlink = n->content ? 1 : 2;
    st->st_size = n->content ? static_cast<off_t>(std::strlen(n->content)) : 0;
    return 0;
}

int fsReaddir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*,
            fuse_readdir_flags)
{
    gate(path);
    size_t len = std::strlen(path) == 1 ? 0 : std::strlen(path);
    fill(buf, ".", nullptr, 0, fuse_fill_dir_flags());
    fill(buf, "..", nullptr, 0, fuse_fill_dir_flags());
    for (const Node& n : TREE) {   // children: PATH/NAME with no further '/'
        if (std::strncmp(n.path, path, len) == 0 && n.path[len] == '/' && n.path[len + 1] &&
            !std::strchr(n.path + len + 1, '/'))
            fill(buf, n.path + len + 1, nullptr, 0, fuse_fill_dir_flags());
    }
    return 0;
}

int fsOpen(const char* path, fuse_file_info* fi)
{
    gate(path);
    const Node* n = find(path);
    return n == nullptr ? -ENOENT : n->content == nullptr ? -EISDIR
           : (fi->flags & O_ACCMODE) != O_RDONLY ? -EROFS : 0;
}

int fsRead(const char* path, char* buf, size_t size, off_t offset, fuse_file_info*)
{
    gate(path);
    const Node* n = find(path);
    size_t len = n && n->content ? std::strlen(n->content) : 0;
    if (static_cast<size_t>(offset) >= len)
        return 0;
    size = std::min(size, len - static_cast<size_t>(offset));
    std::memcpy(buf, n->content + offset, size);
    return static_cast<int>(size);
}

int fsStatfs(const char* path, struct statvfs* st)
{
    gate(path);
    std::memset(st, 0, sizeof *st);
    st->f_bsize = 4096;
    st->f_namemax = 255;
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s MOUNTPOINT CONTROLDIR SUBTYPE\n", argv[0]);
        return 2;
    }
    control = argv[2];
    std::string options = std::string("subtype=") + argv[3] + ",fsname=xptest";
    char foreground[] = "-f", o[] = "-o";
    char* args[] = {argv[0], argv[1], foreground, o, &options[0], nullptr};
    fuse_operations ops{};
    ops.init = fsInit;
    ops.getattr = fsGetattr;
    ops.readdir = fsReaddir;
    ops.open = fsOpen;
    ops.read = fsRead;
    ops.statfs = fsStatfs;
    return fuse_main(5, args, &ops, nullptr);
}
