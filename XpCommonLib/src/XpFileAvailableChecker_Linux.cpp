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
// symbolic links. The table is kept between calls and read again when the kernel reports a change
// (poll on the open mountinfo file), after fork, and when the process's mount namespace changed
// (looked at once a second, so that a namespace switched in-process is noticed within a second).
#include "_XpNetworkVolume.h"

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>
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
    std::string type;
    dev_t device;
};

// mountinfo escapes space, tab, newline and backslash in paths as \ooo.
std::string unescape(const std::string& field)
{
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' &&
            field[i + 1] <= '3') {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                     (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

// One line: ID PARENT MAJOR:MINOR ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPEROPTIONS
bool parseLine(const std::string& line, MountEntry* entry)
{
    std::vector<std::string> fields;
    size_t start = 0;
    while (start < line.size()) {
        size_t end = line.find(' ', start);
        if (end == std::string::npos)
            end = line.size();
        fields.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    size_t dash = 6;
    while (dash < fields.size() && fields[dash] != "-")
        ++dash;
    unsigned int major = 0, minor = 0;
    if (dash + 1 >= fields.size() || sscanf(fields[2].c_str(), "%u:%u", &major, &minor) != 2)
        return false;
    entry->mountPoint = unescape(fields[4]);
    entry->type = fields[dash + 1];
    entry->device = makedev(major, minor);
    return true;
}

int64_t coarseMilliseconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);   // cannot fail for this clock
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string mountNamespace()
{
    char link[64];
    ssize_t n = readlink("/proc/self/ns/mnt", link, sizeof link);
    return n > 0 ? std::string(link, static_cast<size_t>(n)) : std::string();
}

unsigned int forkCount = 0;   // changed only in a fork's child, which has one thread
void onFork() { ++forkCount; }

// The process's mount table, kept between calls. Never destroyed: a checker's worker may still
// ask it while static objects are being torn down at exit.
class MountTable {
public:
    MountTable() { pthread_atfork(nullptr, nullptr, onFork); }

    // The mount holding an absolute, clean path (the longest containing mount point; of two
    // mounts on one point, the later, which covers the other).
    bool findByPath(const std::string& path, MountEntry* out)
    {
        std::lock_guard<std::mutex> guard(lock);
        refresh();
        const MountEntry* best = nullptr;
        for (const MountEntry& e : entries) {
            const std::string& m = e.mountPoint;
            bool contains = m == "/" || (path.compare(0, m.size(), m) == 0 &&
                                         (path.size() == m.size() || path[m.size()] == '/'));
            if (contains && (best == nullptr || m.size() >= best->mountPoint.size()))
                best = &e;
        }
        if (best != nullptr)
            *out = *best;
        return best != nullptr;
    }

    // The topmost mount of a device.
    bool findByDevice(dev_t device, MountEntry* out)
    {
        std::lock_guard<std::mutex> guard(lock);
        refresh();
        for (auto e = entries.rbegin(); e != entries.rend(); ++e) {
            if (e->device == device) {
                *out = *e;
                return true;
            }
        }
        return false;
    }

private:
    // REQUIRES: lock held.
    void refresh()
    {
        int64_t now = coarseMilliseconds();
        bool reopen = seenForks != forkCount;
        if (now >= nextNamespaceLook) {
            nextNamespaceLook = now + 1000;
            std::string ns = mountNamespace();
            reopen = reopen || ns != namespaceName || fd < 0;
            namespaceName = ns;
        }
        if (reopen) {
            seenForks = forkCount;
            if (fd >= 0)
                close(fd);   // nothing to do about a failing close of a read-only file
            do
                fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
            while (fd < 0 && errno == EINTR);
            read();
            return;
        }
        if (fd < 0)
            return;   // no /proc: tried again at the next namespace look
        struct pollfd p = {fd, POLLPRI, 0};
        int n;
        do
            n = poll(&p, 1, 0);
        while (n < 0 && errno == EINTR);
        if (n != 0)   // changed, or poll failed: read again to be safe
            read();
    }

    // REQUIRES: lock held.
    void read()
    {
        entries.clear();
        if (fd < 0 || lseek(fd, 0, SEEK_SET) < 0)
            return;
        std::string text;
        char buffer[16384];
        for (;;) {
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            text.append(buffer, static_cast<size_t>(n));
        }
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos)
                end = text.size();
            MountEntry e;
            if (parseLine(text.substr(start, end - start), &e))
                entries.push_back(e);
            start = end + 1;
        }
    }

    std::mutex lock;
    int fd = -1;
    unsigned int seenForks = 0;
    int64_t nextNamespaceLook = 0;
    std::string namespaceName;
    std::vector<MountEntry> entries;
};

MountTable& mountTable()
{
    static MountTable* table = new MountTable;
    return *table;
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

} // namespace

std::string _XpMountPointOf(const std::string& absolutePath)
{
    MountEntry entry;
    return mountTable().findByPath(cleanAbsolute(absolutePath.c_str()), &entry) ? entry.mountPoint
                                                                               : std::string();
}

bool _XpIsNetworkPath(const XpStringT<char>& path, XpStringT<char>* mountPoint)
{
    const char* text = path.GetBuffer();
    if (path.IsEmpty())
        return false;   // statfs of "" fails: local
    MountTable& table = mountTable();
    MountEntry entry;
    std::string absolute = cleanAbsolute(text);
    if (!absolute.empty() && table.findByPath(absolute, &entry) && isNetworkType(entry.type)) {
        if (mountPoint != nullptr)
            *mountPoint = entry.mountPoint.c_str();
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
    return stat(text, &st) == 0 && table.findByDevice(st.st_dev, &entry) &&
           isNetworkType(entry.type);
}
