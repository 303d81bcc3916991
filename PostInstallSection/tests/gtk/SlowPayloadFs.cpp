// A FUSE file system with one large, slowly read file, for the tests of the installation page's
// progress and its Cancel: a payload on a slow share, whose copy takes long enough to be seen and
// stopped by a test that drives the window from outside.
//
//   SlowPayloadFs MOUNTPOINT SIZE DELAY_US
//
// Serves /payload.bin (listed, so the volume can lie inside a payload folder): SIZE bytes, byte
// i being (i % 251),
// in the foreground; every read waits DELAY_US microseconds first. Nothing is cached in the kernel
// between opens (fuse's default, without kernel_cache).
#define FUSE_USE_VERSION 35
#include <fuse3/fuse.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

off_t g_size = 0;
useconds_t g_delay = 0;

int fsGetattr(const char* path, struct stat* st, fuse_file_info*)
{
    std::memset(st, 0, sizeof *st);
    if (std::strcmp(path, "/") == 0)
        return st->st_mode = S_IFDIR | 0755, st->st_nlink = 2, 0;
    if (std::strcmp(path, "/payload.bin") == 0)
        return st->st_mode = S_IFREG | 0644, st->st_nlink = 1, st->st_size = g_size, 0;
    return -ENOENT;
}

// Only the file gets here: getattr knows nothing else.
int fsOpen(const char*, fuse_file_info* fi)
{
    return (fi->flags & O_ACCMODE) == O_RDONLY ? 0 : -EACCES;
}

int fsReaddir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags)
{
    if (std::strcmp(path, "/") != 0)
        return -ENOTDIR;
    for (const char* name : {".", "..", "payload.bin"})
        fill(buf, name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int fsRead(const char*, char* buf, size_t size, off_t offset, fuse_file_info*)
{
    ::usleep(g_delay);
    size_t n = offset < g_size ? static_cast<size_t>(std::min<off_t>(static_cast<off_t>(size), g_size - offset)) : 0;
    for (size_t i = 0; i < n; ++i)
        buf[i] = static_cast<char>((static_cast<unsigned long long>(offset) + i) % 251);
    return static_cast<int>(n);
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
    ops.getattr = fsGetattr;
    ops.open = fsOpen;
    ops.read = fsRead;
    ops.readdir = fsReaddir;
    return fuse_main(6, args, &ops, nullptr);
}
