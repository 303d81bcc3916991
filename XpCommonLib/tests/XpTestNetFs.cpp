// A tiny FUSE file system that plays an unreachable network share for the tests.
//
//   XpTestNetFs MOUNTPOINT CONTROLDIR SUBTYPE
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
// share whose write-back failed reports it at the close.
#define FUSE_USE_VERSION 35
#include <fuse3/fuse.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string control;

const char* const DIRS[] = {"/", "/share", "/share/dir", "/share/dir/sub", "/share/other"};
const char* const FILES[] = {"/share/dir/file.txt", "/share/dir/report.txt", "/share/dir/sub/deep.txt"};

bool exists(const std::string& p) { return access(p.c_str(), F_OK) == 0; }

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

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4)
        return 2;
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
    return fuse_main(5, args, &ops, nullptr);
}
