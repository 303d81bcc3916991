// A FUSE file system with one large, slowly read file, for the tests of the installation page's
// progress and its Cancel: a payload on a slow share, whose copy takes long enough to be seen and
// stopped by a test that drives the window from outside.
//
//   SlowPayloadFs MOUNTPOINT SIZE DELAY_US
//
// Serves /payload.bin: SIZE bytes, byte i being (i % 251), in the foreground; every read waits
// DELAY_US microseconds first. Nothing is cached in the kernel between opens.
#define FUSE_USE_VERSION 35
#include <fuse3/fuse.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

off_t g_size = 0;
useconds_t g_delay = 0;
const char* const kName = "/payload.bin";

void* fsInit(fuse_conn_info*, fuse_config* cfg)
{
    cfg->entry_timeout = cfg->attr_timeout = cfg->negative_timeout = 0;
    cfg->kernel_cache = 0;
    return nullptr;
}

int fsGetattr(const char* path, struct stat* st, fuse_file_info*)
{
    std::memset(st, 0, sizeof *st);
    if (std::strcmp(path, "/") == 0)
        return st->st_mode = S_IFDIR | 0755, st->st_nlink = 2, 0;
    if (std::strcmp(path, kName) == 0)
        return st->st_mode = S_IFREG | 0644, st->st_nlink = 1, st->st_size = g_size, 0;
    return -ENOENT;
}

int fsOpen(const char* path, fuse_file_info* fi)
{
    if (std::strcmp(path, kName) != 0)
        return -ENOENT;
    return (fi->flags & O_ACCMODE) == O_RDONLY ? 0 : -EACCES;
}

int fsRead(const char*, char* buf, size_t size, off_t offset, fuse_file_info*)
{
    ::usleep(g_delay);
    if (offset >= g_size)
        return 0;
    size_t n = static_cast<size_t>(std::min<off_t>(static_cast<off_t>(size), g_size - offset));
    for (size_t i = 0; i < n; ++i)
        buf[i] = static_cast<char>((static_cast<unsigned long long>(offset) + i) % 251);
    return static_cast<int>(n);
}

int fsReaddir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags)
{
    if (std::strcmp(path, "/") != 0)
        return -ENOENT;
    fill(buf, kName + 1, nullptr, 0, fuse_fill_dir_flags());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4)
        return 2;
    g_size = static_cast<off_t>(std::strtoll(argv[2], nullptr, 10));
    g_delay = static_cast<useconds_t>(std::strtoul(argv[3], nullptr, 10));
    char foreground[] = "-f", single[] = "-s", o[] = "-o", options[] = "fsname=slowpayload,subtype=slowpayload";
    char* args[] = {argv[0], argv[1], foreground, single, o, options, nullptr};
    fuse_operations ops{};
    ops.init = fsInit;
    ops.getattr = fsGetattr;
    ops.open = fsOpen;
    ops.read = fsRead;
    ops.readdir = fsReaddir;
    return fuse_main(6, args, &ops, nullptr);
}
