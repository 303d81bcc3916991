// Platform half of the availability checker on Linux: is a path on a network volume?
//
// Where the library came from, statfs answered with a "local" flag. Linux has none: statfs gives
// the file system's magic number, and every FUSE volume has the same one (0x65735546), whatever
// it serves. So a volume counts as network when its magic is one of the network file systems, or
// when it is FUSE and its type in /proc/self/mountinfo ("fuse.SUBTYPE") names a network one.
//
// statfs of a path walks the path, and on a share whose server went away that walk blocks like
// any other request: the check that decides whether to use a time-out would itself hang. So the
// mount table is consulted first, by the path's text (made absolute, "." and ".." removed without
// asking the file system): when the mount point that holds it is a network mount, the answer is
// known without touching the share. Only other paths go to statfs, which also sees through
// symbolic links. The table is kept between calls and read again when it has changed: a small
// watcher thread, started on first use, waits in poll on the open mountinfo file, which the kernel
// wakes on every change, and bumps a counter that each call compares (one atomic load, where a
// poll per call would cost half a stat). It also notices, within a second, that the process moved
// to another mount namespace. A child of fork is given no thread: it reads the table on each call.
#include "_XpNetworkVolume.h"

#include "_XpFd_Linux.h"
#include "_XpMountTable_Linux.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

const long NETWORK_MAGICS[] = {
    0x6969,                  // NFS
    0x517B,                  // SMB
    (long)0xFF534D42,        // CIFS
    (long)0xFE534D42,        // SMB2
    0x73757245,              // Coda
    0x5346414F, 0x6B414653,  // AFS (OpenAFS, kAFS)
    0x564C,                  // NCP
    0x01021997,              // 9P
    0x00C36400,              // Ceph
    0x7461636F,              // OCFS2
    0x01161970,              // GFS2
};
const long FUSE_MAGIC = 0x65735546;

// mountinfo type names of the same file systems, and the FUSE subtypes that reach a server.
const char* const NETWORK_TYPES[] = {
    "nfs", "nfs4", "smbfs", "smb3", "cifs", "coda", "afs", "ncpfs", "9p", "ceph", "ocfs2", "gfs2",
    "fuse.sshfs", "fuse.davfs", "fuse.glusterfs", "fuse.ceph-fuse", "fuse.s3fs", "fuse.rclone",
    "fuse.gcsfuse", "fuse.curlftpfs", "fuse.smbnetfs", "fuse.juicefs", "fuse.mfs",
    "fuse.gvfsd-fuse",
};

bool isNetworkType(const std::string& type)
{
    for (const char* t : NETWORK_TYPES)
        if (type == t)
            return true;
    return false;
}

bool isNetworkMagic(long magic)
{
    for (long m : NETWORK_MAGICS)
        if (static_cast<unsigned long>(m) == static_cast<unsigned long>(magic))
            return true;
    return false;
}

struct MountEntry {
    std::string mountPoint;
    dev_t device;
    bool network;
};

std::string mountNamespace()
{
    char link[64];
    ssize_t n = readlink("/proc/self/ns/mnt", link, sizeof link);
    return n > 0 ? std::string(link, static_cast<size_t>(n)) : std::string();
}

std::atomic<unsigned int> generation(1);   // bumped by the watcher on every change it sees
std::mutex tableLock;                      // guards the table and the two flags below
bool watcherRunning = false;
bool forkedChild = false;

// fork copies the lock in whatever state another thread left it, and not the watcher: the lock is
// held across fork. A child gets no thread of its own (a process that forks without exec expects
// no new threads; sanitizers refuse them): it reads the table on every call instead.
void lockForFork() { tableLock.lock(); }
void unlockAfterFork() { tableLock.unlock(); }
void resetInChild()
{
    watcherRunning = false;
    forkedChild = true;
    tableLock.unlock();
}

// The watcher: waits on the open mountinfo file, which the kernel wakes on every change of the
// mount table, and looks once a second whether the process moved to another mount namespace (the
// file stays bound to the namespace in which it was opened). Detached; lives with the process.
void* watch(void* arg)
{
    XpFd fd(static_cast<int>(reinterpret_cast<intptr_t>(arg)));
    std::string ns = mountNamespace();
    for (;;) {
        struct pollfd p = {fd.Get(), POLLPRI, 0};
        int n = poll(&p, 1, 1000);
        if (n < 0 && errno != EINTR)
            usleep(100000);   // cannot poll: look again later rather than spin
        if (n > 0)
            ++generation;
        if (n == 0 && mountNamespace() != ns) {
            ns = mountNamespace();
            int fresh = _XpOpenMountInfo();
            if (fresh >= 0)
                fd.Reset(fresh);
            ++generation;
        }
    }
    return nullptr;
}

// The process's mount table, read again when the watcher has seen a change. Never destroyed: a
// checker's worker may still ask it while static objects are being torn down at exit.
class MountTable {
public:
    MountTable() { pthread_atfork(lockForFork, unlockAfterFork, resetInChild); }

    // The mount holding an absolute, clean path: the longest containing mount point; of two
    // mounts on one point, the later, which covers the other. False when the table is unknown.
    bool findByPath(const char* path, size_t length, bool* network, std::string* mountPoint)
    {
        std::lock_guard<std::mutex> guard(tableLock);
        refresh();
        const MountEntry* best = nullptr;
        for (const MountEntry& e : entries) {
            const std::string& m = e.mountPoint;
            // "/" holds everything; any other mount point is "/x...", so its second byte rules
            // most of them out before a comparison of the whole.
            bool contains = m.size() == 1 || (m.size() <= length && m[1] == path[1] &&
                                              std::memcmp(path, m.data(), m.size()) == 0 &&
                                              (length == m.size() || path[m.size()] == '/'));
            if (contains && (best == nullptr || m.size() >= best->mountPoint.size()))
                best = &e;
        }
        if (best == nullptr)
            return false;
        *network = best->network;
        if (mountPoint != nullptr)
            *mountPoint = best->mountPoint;
        return true;
    }

    // Whether the topmost mount of a device is a network one: 1 network, 0 local, -1 when the
    // table does not know the device (no /proc, or a file system whose files report another
    // device than its mount, as btrfs subvolumes do).
    int deviceIsNetwork(dev_t device)
    {
        std::lock_guard<std::mutex> guard(tableLock);
        refresh();
        for (auto e = entries.rbegin(); e != entries.rend(); ++e)
            if (e->device == device)
                return e->network ? 1 : 0;
        return -1;
    }

private:
    // REQUIRES: tableLock held.
    void refresh()
    {
        unsigned int now = generation.load();
        if (watcherRunning && now == readGeneration)
            return;
        XpFd fd(_XpOpenMountInfo());   // read only: its close loses nothing
        if (fd.Get() < 0)
            return;   // no /proc: only statfs can tell
        if (!watcherRunning && !forkedChild) {
            // The watcher gets its own descriptor, opened before the table is read, so that no
            // change between the two goes unseen. Without a watcher it is closed again, and the
            // table is read on every call.
            XpFd watched(_XpOpenMountInfo());
            pthread_t thread;
            pthread_attr_t attr;
            if (watched.Get() >= 0 && pthread_attr_init(&attr) == 0) {
                pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
                watcherRunning = pthread_create(&thread, &attr, watch,
                                                reinterpret_cast<void*>(static_cast<intptr_t>(watched.Get()))) == 0;
                pthread_attr_destroy(&attr);
            }
            if (watcherRunning)
                watched.Release();   // the watcher's now
        }
        readGeneration = now;
        read(fd.Get());
    }

    // REQUIRES: tableLock held.
    void read(int fd)
    {
        std::vector<_XpMountEntry> table;
        _XpReadMountTable(fd, table);   // what could be read: an empty table leaves statfs to tell
        entries.clear();
        entries.reserve(table.size());
        for (_XpMountEntry& e : table)
            entries.push_back({std::move(e.target), makedev(e.major, e.minor), isNetworkType(e.type)});
    }

    unsigned int readGeneration = 0;
    std::vector<MountEntry> entries;
};

MountTable& mountTable()
{
    static MountTable* table = new MountTable;
    return *table;
}

// A path with nothing for cleanAbsolute to do: absolute, no "//", "." or ".." component, no '/'
// at the end.
bool isClean(const char* path, size_t length)
{
    if (length == 0 || path[0] != '/' || (length > 1 && path[length - 1] == '/'))
        return false;
    for (size_t i = 0; i < length; ++i) {
        if (path[i] != '/')
            continue;
        const char* c = path + i + 1;
        if (c[0] == '/' || (c[0] == '.' && (c[1] == '/' || c[1] == '\0' || (c[1] == '.' && (c[2] == '/' || c[2] == '\0')))))
            return false;
    }
    return true;
}

// The path made absolute with "." and ".." removed by text alone; "" when the working directory
// cannot be known.
std::string cleanAbsolute(const char* path)
{
    std::string whole;
    if (path[0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd) == nullptr)
            return std::string();
        whole = cwd;
        whole += '/';
    }
    whole += path;
    std::string out;
    size_t i = 0;
    while (i < whole.size()) {
        size_t end = whole.find('/', i);
        if (end == std::string::npos)
            end = whole.size();
        size_t len = end - i;
        if (len == 2 && whole.compare(i, 2, "..") == 0) {
            size_t slash = out.rfind('/');
            out.resize(slash == std::string::npos ? 0 : slash);
        } else if (len != 0 && !(len == 1 && whole[i] == '.')) {
            out += '/';
            out.append(whole, i, len);
        }
        i = end + 1;
    }
    return out.empty() ? std::string("/") : out;
}

// The mount of a path by its text: found tells whether the table knew it.
bool mountByText(const char* path, size_t length, bool* network, std::string* mountPoint)
{
    if (isClean(path, length))
        return mountTable().findByPath(path, length, network, mountPoint);
    std::string absolute = cleanAbsolute(path);
    return !absolute.empty() && mountTable().findByPath(absolute.c_str(), absolute.size(), network, mountPoint);
}

} // namespace

std::string _XpMountPointOf(const std::string& absolutePath)
{
    bool network = false;
    std::string mountPoint;
    return mountByText(absolutePath.c_str(), absolutePath.size(), &network, &mountPoint) ? mountPoint
                                                                                         : std::string();
}

bool _XpIsNetworkPath(const XpStringT<char>& path, XpStringT<char>* mountPoint)
{
    const char* text = path.GetBuffer();
    if (path.IsEmpty())
        return false;   // statfs of "" fails: local
    bool network = false;
    std::string point;
    if (mountByText(text, static_cast<size_t>(path.Length()), &network, mountPoint ? &point : nullptr) && network) {
        if (mountPoint != nullptr)
            *mountPoint = point.c_str();
        return true;
    }
    struct statfs fs;
    int r;
    do
        r = statfs(text, &fs);
    while (r != 0 && errno == EINTR);
    if (r != 0)
        return false;
    if (isNetworkMagic(fs.f_type))
        return true;
    if (fs.f_type != FUSE_MAGIC)
        return false;
    // A FUSE volume reached through a link: its device tells which mount, and so which subtype.
    struct stat st;
    return stat(text, &st) == 0 && mountTable().deviceIsNetwork(st.st_dev) == 1;
}

_XpPathKind _XpLocalPathKind(const XpStringT<char>& path)
{
    const char* text = path.GetBuffer();
    size_t length = static_cast<size_t>(path.Length());
    bool network = false;
    if (length > 0 && mountByText(text, length, &network, nullptr) && network)
        return _XpPathOnNetwork;
    if (length == 0 || !XpPlatformString::IsValidUTF8(text, length))
        return _XpPathMissing;
    // One statx where the plain road takes statfs and then stat: the device of what it finds
    // names the mount, and so tells a link into a share from a local file. Should it hang, on a
    // share reached through a link, statfs would have hung the same way.
    struct statx sx;
    int r;
    do
        r = statx(AT_FDCWD, text, AT_STATX_SYNC_AS_STAT, STATX_TYPE, &sx);
    while (r != 0 && errno == EINTR);
    if (r != 0)
        return _XpPathMissing;   // as stat says; statfs would have failed too: a local answer
    int byDevice = mountTable().deviceIsNetwork(makedev(sx.stx_dev_major, sx.stx_dev_minor));
    if (byDevice < 0) {
        // The table does not know the device: the volume's magic number decides, as on the plain
        // road.
        struct statfs fs;
        do
            r = statfs(text, &fs);
        while (r != 0 && errno == EINTR);
        byDevice = r == 0 && isNetworkMagic(fs.f_type) ? 1 : 0;
    }
    if (byDevice == 1)
        return _XpPathOnNetwork;
    return S_ISDIR(sx.stx_mode) ? _XpPathDirectory : _XpPathFile;
}
