// XpFileAvailableChecker: existence checks that give up on network volumes that stop answering.
//
// A path on a local volume is probed directly on the calling thread: no thread, no cache, no
// time-out. A path on a network volume is probed on a worker thread, and the caller waits at most
// the time-out (whole seconds, 0 does not wait, 0xFFFFFFFF waits without limit). A probe that has
// not finished by then counts as "not available"; its worker is left to finish in the background
// and is joined by the destructor, so destroying a checker waits for every probe still running.
// With caching on, the folder of a timed-out check is remembered, and later checks of that folder
// or anything below it answer "not available" at once (letter case and a trailing '/' do not
// matter); directory checks and file checks keep separate caches; entries never expire.
//
// Network volume, on Linux: the volume's type is one of the network file systems (NFS, SMB/CIFS,
// 9P, Ceph, AFS, Coda, NCP, OCFS2, GFS2), or FUSE whose type in /proc/self/mountinfo names a
// network file system (fuse.sshfs, fuse.davfs, fuse.glusterfs, fuse.ceph-fuse, fuse.s3fs,
// fuse.rclone, fuse.gcsfuse, fuse.curlftpfs, fuse.smbnetfs, fuse.juicefs, fuse.mfs,
// fuse.gvfsd-fuse). The mount table is consulted first, by the path's text: asking the file system
// itself (statfs) about a path on a share that stopped answering blocks exactly as the probe
// would. So a path that lies, by its text, under a network mount point counts as network even
// when it does not exist; any other path is asked with statfs, which also catches a path that
// reaches a network volume through a symbolic link, and a path for which statfs fails counts as
// local. (For the file and folder checks one statx does both jobs: the device of what it finds
// names the mount, and its type is the answer when that mount is local.) The mount table is kept and read again when it changed: a watcher thread per process,
// started on first use and idle otherwise, waits for the kernel's report of every change.
//
// Checks on one checker run one at a time (a call lock held across the wait); any number of
// checkers may work at once. Objects holding threads are not copyable.
#ifndef XPFILEAVAILABLECHECKER_H
#define XPFILEAVAILABLECHECKER_H

#include "XpString.h"
#include "XpThread.h"

#include <deque>
#include <vector>

/** \defgroup checker The availability checker
    Checks whether files and folders are reachable without hanging on network volumes that do not answer.
    \{ */

// Existence checks with a time-out for network volumes (see the top of this file).
class XP_API XpFileAvailableChecker {
public:
    // Caches empty; `useCache` decides whether timed-out folders are remembered and consulted.
    explicit XpFileAvailableChecker(bool useCache);
    XpFileAvailableChecker(const XpFileAvailableChecker&) = delete;
    XpFileAvailableChecker& operator=(const XpFileAvailableChecker&) = delete;
    // Waits for every worker still running (those of timed-out checks included), then frees them.
    virtual ~XpFileAvailableChecker();

    // The path exists and is not a directory; false after `timeout` seconds on a network volume,
    // remembering the path's folder in the file cache.
    bool IsFileAvailableWithTimeOut(XpStringT<char> const& path, unsigned int timeout);
    // Some file matches the path when extensions are ignored (XpFileOperation::
    // IsFileAvailableNoExt); time-out and file cache as IsFileAvailableWithTimeOut.
    bool IsFileAvailableNoExtWithTimeOut(XpStringT<char> const& path, unsigned int timeout);
    // The path exists and is a directory; a time-out remembers the path itself in the directory
    // cache.
    bool IsDirAvailableWithTimeOut(XpStringT<char> const& path, unsigned int timeout);
    // Forgets the folders remembered by directory checks.
    void ClearDirCache();
    // Forgets the folders remembered by file checks.
    void ClearFileParentDirCache();

private:
    typedef bool (*Probe)(XpStringT<char> const&);
    struct Request;

    bool isAvailable(XpStringT<char> const& path, unsigned int timeout, Probe probe,
                     std::vector<XpStringT<char> >& cache);
    bool isNotAvailableByCache(XpStringT<char> const& path,
                               std::vector<XpStringT<char> > const& cache) const;
    void addToCache(XpStringT<char> const& path, Probe probe, std::vector<XpStringT<char> >& cache);
    static void* availableCheckThread(void* record);

    bool useCache;
    XpCriticalSection callLock;     // every public operation and the destructor
    XpCriticalSection handOffLock;  // threads, the event's reset and result, with the workers
    std::deque<XpThread*> threads;  // started and not joined, oldest first; last = current check
    XpManualEvent done;             // set by the current check's worker when its probe finished
    bool result;                    // the current check's probe result
    std::vector<XpStringT<char> > dirCache;
    std::vector<XpStringT<char> > fileParentDirCache;
};

/** \} */

#endif
