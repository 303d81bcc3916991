// Internal: the removal of trees on descriptors, behind RemoveTreeAt (the cleanup of copies and
// moves) and XpFileOperation::RemoveDir.
//
// Every folder is opened relative to its parent with O_NOFOLLOW and every entry removed with
// unlinkat relative to the folder that listed it, so a folder swapped for a symbolic link while
// we work is removed as the link, never entered, and nothing outside the tree is reached through
// it. Three more rules keep the removal inside the tree and able to finish whatever its shape:
// - Another mount is never entered. Each folder's device is compared with the tree's own, and
//   its statx mount-root attribute read, before anything in it is touched (the attribute also
//   shows a bind mount of the same file system, whose device is the tree's). A folder on which
//   something else is mounted is left as it is with everything below it, the folders above it
//   stay, and the removal reports ENOTEMPTY for them once the rest is gone.
// - The walk is a loop over a stack of levels kept on the heap, so a deep tree costs no stack:
//   it runs on a thread with a small stack as well as on the main one.
// - At most kOpenLevels folders are held open. A level whose descriptor was given up is opened
//   again from its child through "..", as fts does, and must be the very folder it was (device
//   and inode): a folder moved elsewhere meanwhile makes ".." lead somewhere else, and the
//   removal then stops instead of going on in a place it never chose.
// Folders are removed in the order they list their entries, each listing read whole first
// (removing entries while a folder is being read may make some file systems skip others).
//
// Without an observer, a removal that stops at its first failure (RemoveDir's) runs side by side
// on the cores the process may use (at most kMaxWalkers): one walker per core, each with every
// rule above, takes the top folder's entries one after another from its shared listing and
// removes each (a folder with all it holds) in that order below it. Removing many small files
// costs the kernel work on every entry and nothing waits on a disk, so a second core halves the
// time where a single walker could not go faster. A failure in one walker stops the others at
// their next entry; what was removed stays removed, and the failure that stopped the removal is
// reported (before a mount that had to stay). With an observer every entry is reported in the
// order above, on the calling thread, by one walker.
#ifndef _XPTREEREMOVER_LINUX_H
#define _XPTREEREMOVER_LINUX_H

#include <XpFileOperation.h>
#include <XpString.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

class _XpTreeRemover_Linux {
public:
    enum FailureKind { none, file, directory, listing };

    // The observer (null: none) hears of every entry: before its removal currentPath names it
    // and OnProgress(0.0) is called (the answer is not looked at), after it doneCount grows by
    // one. Without keepGoing the first failure stops the removal; with it everything that can
    // go goes. Another mount met inside is not a failure that stops anything.
    _XpTreeRemover_Linux(IXpFileOpProgressObserver* observer, bool keepGoing);
    ~_XpTreeRemover_Linux();
    _XpTreeRemover_Linux(const _XpTreeRemover_Linux&) = delete;
    _XpTreeRemover_Linux& operator=(const _XpTreeRemover_Linux&) = delete;

    // Removes everything in the folder open at fd, which it takes over; path names that folder
    // for the observer. False after a failure, or when something had to stay (another mount).
    bool RemoveContents(int fd, const std::string& path);
    // Removes name of the folder open at dir (named folder for the observer), a directory with
    // everything in it; type is its d_type, DT_UNKNOWN to have it looked up. False after a
    // failure.
    bool RemoveEntry(int dir, const std::string& folder, const char* name, unsigned char type);
    // Removes the empty directory name of dir, shown to the observer as shownPath.
    bool RemoveEmptyDirectory(int dir, const char* name, const XpStringT<char>& shownPath);
    // The number of entries that RemoveContents would meet in the folder open at fd (not taken
    // over): every entry below it, a folder with another mount on it counted but not entered.
    // 0 when the folder cannot be listed.
    static int64_t CountContents(int fd);

    // The first failure that left something behind: what failed, and the errno value.
    FailureKind failureKind = none;
    int failureErr = 0;

private:
    struct Entry {
        std::string name;
        unsigned char type;
    };
    struct Level {
        int fd;                        // -1 while given up to stay within kOpenLevels
        dev_t device;                  // what the folder is, checked when it is opened again
        ino_t inode;
        std::vector<Entry> entries;    // its listing, read whole when it was entered
        size_t next;                   // the entry to do next
        size_t pathLength;             // bytes of path_ that name it (observer only)
        bool keep;                     // something below it stays: not removed
        FailureKind kindBefore;        // the failure recorded when it was entered
        int errBefore;
    };
    enum { kOpenLevels = 16, kMaxWalkers = 4 };

    bool walk(int fd, const std::string& path);
    bool walkSideBySide(int fd, unsigned walkers);
    bool enter(int fd, dev_t device, ino_t inode);
    bool leave();
    bool removeEntry(size_t depth, const std::string& name, unsigned char type);
    bool descend(size_t depth, const std::string& name, bool retried);
    int unlinkFile(int dir, const std::string& name);
    bool identify(int fd, dev_t* device, ino_t* inode, bool* mountRoot);
    std::string shown(const std::string& name) const;
    void closeAll();
    void announce(const XpStringT<char>& path);
    void finished();
    bool fail(FailureKind kind, int err);

    IXpFileOpProgressObserver* observer_;
    bool keepGoing_;
    bool counting_ = false;     // CountContents: the walk removes nothing, it counts
    int64_t counted_ = 0;
    bool lost_ = false;         // ".." led elsewhere: the walk cannot go on anywhere
    dev_t treeDevice_ = 0;
    bool rootKept_ = false;     // something below the walk's own folder stays
    std::vector<Level> levels_;
    size_t firstOpen_ = 0;      // levels_[firstOpen_..] hold their descriptors
    std::string path_;          // the entry being worked on, for the observer
    // Side by side: the top folder's listing, read once for all walkers, the next of its entries
    // to take, and the flag that stops every walker. Null for a walker on its own.
    const std::vector<Entry>* topListing_ = nullptr;
    std::atomic<size_t>* topNext_ = nullptr;
    std::atomic<bool>* stopAll_ = nullptr;
    bool stoppedByFailure_ = false;   // the last walk stopped at a failure of its own
};

#endif
