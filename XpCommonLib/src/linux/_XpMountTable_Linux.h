// Internal: the kernel's mount table of the process's mount namespace, /proc/self/mountinfo,
// read and parsed in one place for the path utilities (GetRootPath: mount ids and targets) and
// the availability checker (the file-system types of network volumes). Each of them keeps its
// own copy of the table and decides itself when to read it again.
#ifndef _XPMOUNTTABLE_LINUX_H
#define _XPMOUNTTABLE_LINUX_H

#include <cstdint>
#include <string>
#include <vector>

// One line: "36 35 98:0 /mnt1 /mnt/parent rw,noatime master:1 - ext3 /dev/root rw".
struct _XpMountEntry {
    uint64_t id = 0;             // the kernel's mount id (field 1)
    unsigned major = 0;          // the device of the mounted file system (field 3)
    unsigned minor = 0;
    std::string target;          // the mount point, \ooo escapes decoded (field 5)
    std::string type;            // the file-system type after the "-" ("ext4", "fuse.sshfs")
};

// Opens /proc/self/mountinfo for reading (close-on-exec, EINTR retried): the descriptor, or -1
// with errno set when there is no /proc.
int _XpOpenMountInfo();

// Reads the table from fd to its end into entries (cleared first), in the kernel's order: of two
// mounts on one target, the later covers the earlier. Lines that do not parse are left out. False
// when the file could not be read to its end or listed no mount.
bool _XpReadMountTable(int fd, std::vector<_XpMountEntry>& entries);
// The same, opening and closing the file itself.
bool _XpReadMountTable(std::vector<_XpMountEntry>& entries);

#endif
