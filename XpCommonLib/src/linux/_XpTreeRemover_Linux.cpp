// The removal of trees on descriptors (see _XpTreeRemover_Linux.h for the rules it keeps).
#include "_XpTreeRemover_Linux.h"

#include "_XpFd_Linux.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <new>
#include <sched.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <exception>
#include <thread>
#include <utility>

namespace {

const int kOpenDir = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NOCTTY;

// Reads the whole listing of the folder open at fd (left open, its offset used up) into out,
// "." and ".." left out; 0 or the errno value.
template <class Entry> int readListing(int fd, std::vector<Entry>& out)
{
    DIR* dir = _XpOpenDirStream(dup(fd));   // a stream of its own: closing it keeps fd
    if (dir == nullptr)
        return errno;
    rewinddir(dir);   // the offset is shared with fd, which may have been listed before
    int err = 0;
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(dir);
        if (entry == nullptr) {
            err = errno;
            break;
        }
        if (!_XpIsDotOrDotDot(entry->d_name))
            out.push_back(Entry{entry->d_name, entry->d_type});
    }
    closedir(dir);   // read-only listing: nothing to report
    return err;
}

// The cores this process may run on (taskset, a container's share), not the machine's.
unsigned usableCores()
{
    cpu_set_t set;
    return sched_getaffinity(0, sizeof set, &set) == 0 ? static_cast<unsigned>(CPU_COUNT(&set)) : 1;
}

} // namespace

_XpTreeRemover_Linux::_XpTreeRemover_Linux(IXpFileOpProgressObserver* observer, bool keepGoing)
    : observer_(observer), keepGoing_(keepGoing)
{
}

_XpTreeRemover_Linux::~_XpTreeRemover_Linux()
{
    closeAll();
}

bool _XpTreeRemover_Linux::RemoveContents(int fd, const std::string& path)
{
    try {
        unsigned walkers = observer_ == nullptr && !keepGoing_ && !counting_ ? usableCores() : 1;
        return walkers > 1 ? walkSideBySide(fd, std::min(walkers, static_cast<unsigned>(kMaxWalkers))) : walk(fd, path);
    } catch (const std::bad_alloc&) {
        closeAll();
        return fail(listing, ENOMEM);
    }
}

bool _XpTreeRemover_Linux::RemoveEntry(int dir, const std::string& folder, const char* name,
                                       unsigned char type)
{
    try {
        path_ = observer_ != nullptr ? folder : std::string();
        std::string entry(name);
        if (type == DT_UNKNOWN) {
            struct stat st;
            if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
                type = S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
            else if (errno == ENOENT)
                type = DT_REG;   // gone meanwhile: the unlink reports it as a removal would
            else
                return fail(file, errno);
        }
        if (type != DT_DIR) {
            int err = unlinkFile(dir, entry);
            if (err != EISDIR)   // EISDIR: became a folder after it was looked at
                return err == 0 ? true : fail(file, err);
        }
        int child = _XpOpenAt(dir, name, kOpenDir);
        if (child < 0) {
            if (errno != ELOOP && errno != ENOTDIR)
                return fail(listing, errno);
            int err = unlinkFile(dir, entry);   // swapped for a link or a file
            return err == 0 ? true : fail(file, err);
        }
        std::string shownPath = shown(entry);
        FailureKind kindBefore = failureKind;
        int errBefore = failureErr;
        if (!walk(child, shownPath) && (!keepGoing_ || lost_ || rootKept_))
            return false;
        if (!RemoveEmptyDirectory(dir, name, XpStringT<char>(shownPath.c_str())))
            return false;   // the first failure inside, if any, is the one kept
        // Removed after all: whatever failed inside went with it.
        failureKind = kindBefore;
        failureErr = errBefore;
        return true;
    } catch (const std::bad_alloc&) {
        closeAll();
        return fail(listing, ENOMEM);
    }
}

bool _XpTreeRemover_Linux::RemoveEmptyDirectory(int dir, const char* name,
                                                const XpStringT<char>& shownPath)
{
    if (counting_) {
        ++counted_;
        return true;
    }
    announce(shownPath);
    if (unlinkat(dir, name, AT_REMOVEDIR) != 0)
        return fail(directory, errno);
    finished();
    return true;
}

int64_t _XpTreeRemover_Linux::CountContents(int fd)
{
    int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0)
        return 0;
    try {
        _XpTreeRemover_Linux counter(nullptr, true);
        counter.counting_ = true;
        counter.walk(own, std::string());
        return counter.counted_;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

// The loop: the deepest level is always open; its next entry is removed, or entered when it is
// a folder, and a level whose entries are done is left (and its folder removed).
bool _XpTreeRemover_Linux::walk(int fd, const std::string& path)
{
    closeAll();
    lost_ = false;
    rootKept_ = false;
    dev_t device;
    ino_t inode;
    bool mountRoot;
    if (!identify(fd, &device, &inode, &mountRoot)) {
        int err = errno;
        XpFd(fd).Reset();
        return fail(listing, err);
    }
    treeDevice_ = device;
    path_ = observer_ != nullptr ? path : std::string();
    FailureKind kindBefore = failureKind;
    if (!enter(fd, device, inode))
        return false;
    bool stopped = false;
    while (!levels_.empty() && !lost_ && !stopped) {
        if (stopAll_ != nullptr && stopAll_->load(std::memory_order_relaxed))
            break;   // another walker failed; its failure is the one reported
        size_t depth = levels_.size() - 1;
        Level& level = levels_[depth];
        if (depth == 0 && topNext_ != nullptr) {
            size_t claimed = topNext_->fetch_add(1);   // the top's entries are shared out
            if (claimed >= level.entries.size())
                break;
            level.next = claimed;
        } else if (level.next == level.entries.size()) {
            if (depth == 0)
                break;
            stopped = !leave() && !keepGoing_;
            continue;
        }
        const Entry& entry = level.entries[level.next++];
        std::string name = entry.name;   // levels_ may grow meanwhile
        stopped = !removeEntry(depth, name, entry.type) && !keepGoing_;
    }
    stoppedByFailure_ = stopped || lost_;
    if (stoppedByFailure_ && stopAll_ != nullptr)
        stopAll_->store(true);
    if (!levels_.empty())
        rootKept_ = levels_[0].keep;
    closeAll();
    bool othersStopped = stopAll_ != nullptr && stopAll_->load();
    return !stopped && !lost_ && !rootKept_ && !othersStopped && failureKind == kindBefore;
}

// The top folder's entries shared out among walkers on threads of their own (see the header);
// this walker gathers their results.
bool _XpTreeRemover_Linux::walkSideBySide(int fd, unsigned walkers)
{
    XpFd top(fd);
    std::vector<Entry> topEntries;
    if (int err = readListing(fd, topEntries))
        return fail(listing, err);
    if (topEntries.size() < 2)
        return walk(top.Release(), std::string());   // nothing to share
    std::atomic<size_t> next(0);
    std::atomic<bool> stop(false);
    std::vector<std::unique_ptr<_XpTreeRemover_Linux> > team;
    std::vector<std::thread> threads;
    threads.reserve(walkers);   // no reallocation, so no exception once a thread runs
    std::vector<char> done(walkers, 0);
    for (unsigned i = 0; i < walkers; ++i) {
        team.emplace_back(new _XpTreeRemover_Linux(nullptr, false));
        team[i]->topListing_ = &topEntries;
        team[i]->topNext_ = &next;
        team[i]->stopAll_ = &stop;
    }
    // One walker's whole walk; no exception may leave a thread, so running out of memory is a
    // failure like any other, and stops the others.
    auto run = [&team, &done, &stop](unsigned i, int own) {
        try {
            done[i] = team[i]->walk(own, std::string());
        } catch (const std::bad_alloc&) {
            team[i]->closeAll();
            team[i]->fail(listing, ENOMEM);
            team[i]->stoppedByFailure_ = true;
            stop.store(true);
        }
    };
    for (unsigned i = 1; i < walkers; ++i) {
        int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);   // each walker's level 0 is its own descriptor
        if (own < 0)
            break;
        try {
            threads.emplace_back(run, i, own);
        } catch (const std::exception&) {
            XpFd(own).Reset();   // no thread: the walkers that run take its share
            break;
        }
    }
    run(0, top.Release());
    for (std::thread& thread : threads)
        thread.join();
    bool ok = true;
    for (unsigned i = 0; i <= threads.size(); ++i)
        ok = ok && done[i];
    if (ok)
        return true;
    // The failure that stopped the removal, else the mount that had to stay.
    const _XpTreeRemover_Linux* reported = nullptr;
    for (unsigned i = 0; i <= threads.size(); ++i) {
        const _XpTreeRemover_Linux& walker = *team[i];
        if (walker.failureKind != none &&
            (reported == nullptr || (walker.stoppedByFailure_ && !reported->stoppedByFailure_)))
            reported = &walker;
        rootKept_ = rootKept_ || walker.rootKept_;
    }
    return reported != nullptr ? fail(reported->failureKind, reported->failureErr) : false;
}

// One entry of the folder at levels_[depth]: a file is unlinked, a folder entered.
bool _XpTreeRemover_Linux::removeEntry(size_t depth, const std::string& name, unsigned char type)
{
    int dir = levels_[depth].fd;
    if (type == DT_UNKNOWN) {
        struct stat st;
        if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            type = S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
        else if (errno == ENOENT)
            type = DT_REG;   // gone meanwhile: the unlink reports it as a removal would
        else
            return fail(file, errno);
    }
    if (type == DT_DIR)
        return descend(depth, name, false);
    if (counting_) {
        ++counted_;
        return true;
    }
    int err = unlinkFile(dir, name);
    if (err == EISDIR)   // became a folder after the listing: remove it as one
        return descend(depth, name, true);
    return err == 0 ? true : fail(file, err);
}

bool _XpTreeRemover_Linux::descend(size_t depth, const std::string& name, bool retried)
{
    int dir = levels_[depth].fd;
    int child = _XpOpenAt(dir, name.c_str(), kOpenDir);
    if (child < 0) {
        if ((errno != ELOOP && errno != ENOTDIR) || retried)
            return fail(listing, errno);
        if (counting_) {
            ++counted_;
            return true;
        }
        int err = unlinkFile(dir, name);   // swapped for a link or a file
        return err == 0 ? true : fail(file, err);
    }
    dev_t device;
    ino_t inode;
    bool mountRoot;
    if (!identify(child, &device, &inode, &mountRoot)) {
        int err = errno;
        XpFd(child).Reset();
        return fail(listing, err);
    }
    if (device != treeDevice_ || mountRoot) {
        // Another mount: it stays whole, and so does every folder above it.
        XpFd(child).Reset();
        if (counting_)
            ++counted_;
        levels_[depth].keep = true;
        if (failureKind == none) {
            failureKind = directory;
            failureErr = ENOTEMPTY;
        }
        return true;
    }
    if (observer_ != nullptr)
        path_.append("/").append(name);
    return enter(child, device, inode);
}

// Pushes the folder open at fd (taken over) as the deepest level, with its listing, and gives up
// the descriptor of the shallowest open level when more than kOpenLevels are open.
bool _XpTreeRemover_Linux::enter(int fd, dev_t device, ino_t inode)
{
    XpFd owner(fd);
    std::vector<Entry> entries;
    if (levels_.empty() && topListing_ != nullptr)
        entries = *topListing_;   // read once for every walker: each must see the same one
    else if (int err = readListing(fd, entries)) {
        if (!levels_.empty())
            path_.resize(levels_.back().pathLength);
        return fail(listing, err);
    }
    levels_.push_back(Level{fd, device, inode, std::move(entries), 0, path_.size(), false,
                            failureKind, failureErr});
    owner.Release();
    if (levels_.size() - firstOpen_ > kOpenLevels) {
        XpFd(levels_[firstOpen_].fd).Reset();
        levels_[firstOpen_++].fd = -1;
    }
    return true;
}

// Leaves the deepest level, whose entries are done, for its parent (opened again through ".."
// when its descriptor was given up) and removes its folder there unless something in it stays.
bool _XpTreeRemover_Linux::leave()
{
    Level child = std::move(levels_.back());
    levels_.pop_back();
    XpFd childFd(child.fd);
    size_t depth = levels_.size() - 1;
    Level& parent = levels_[depth];
    if (parent.fd < 0) {
        XpFd up(_XpOpenAt(childFd.Get(), "..", kOpenDir));
        dev_t device;
        ino_t inode;
        bool mountRoot;
        if (up.Get() < 0 || !identify(up.Get(), &device, &inode, &mountRoot) ||
            device != parent.device || inode != parent.inode) {
            // The folder was moved meanwhile: ".." is no longer the parent we came from.
            int err = up.Get() < 0 ? errno : ESTALE;
            lost_ = true;
            return fail(directory, err);
        }
        parent.fd = up.Release();
        firstOpen_ = depth;
    }
    childFd.Reset();
    if (firstOpen_ > depth)
        firstOpen_ = depth;
    path_.resize(parent.pathLength);
    if (child.keep) {
        parent.keep = true;
        counted_ += counting_ ? 1 : 0;   // an entry all the same
        return true;
    }
    const std::string& name = parent.entries[parent.next - 1].name;   // the one entered
    if (!RemoveEmptyDirectory(parent.fd, name.c_str(), XpStringT<char>(shown(name).c_str())))
        return false;   // the first failure inside, if any, is the one kept
    // Removed after all: whatever failed inside went with it.
    failureKind = child.kindBefore;
    failureErr = child.errBefore;
    return true;
}

// Unlinks the file name of dir, told to the observer; 0 or the errno value (not recorded).
int _XpTreeRemover_Linux::unlinkFile(int dir, const std::string& name)
{
    if (counting_) {
        ++counted_;
        return 0;
    }
    if (observer_ != nullptr)
        announce(XpStringT<char>(shown(name).c_str()));
    if (unlinkat(dir, name.c_str(), 0) != 0)
        return errno;
    finished();
    return 0;
}

bool _XpTreeRemover_Linux::identify(int fd, dev_t* device, ino_t* inode, bool* mountRoot)
{
    struct statx sx;
    if (statx(fd, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, STATX_INO, &sx) != 0)
        return false;
    *device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    *inode = sx.stx_ino;
    *mountRoot = (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                 (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    return true;
}

// The path of name in the folder being worked on, for the observer ("" without one).
std::string _XpTreeRemover_Linux::shown(const std::string& name) const
{
    return observer_ != nullptr ? path_ + "/" + name : std::string();
}

void _XpTreeRemover_Linux::closeAll()
{
    for (Level& level : levels_)
        XpFd(level.fd).Reset();
    levels_.clear();
    firstOpen_ = 0;
}

void _XpTreeRemover_Linux::announce(const XpStringT<char>& path)
{
    if (observer_ != nullptr) {
        observer_->currentPath = path;
        observer_->OnProgress(0.0);   // the removal does not stop on request
    }
}

void _XpTreeRemover_Linux::finished()
{
    if (observer_ != nullptr)
        ++observer_->doneCount;
}

bool _XpTreeRemover_Linux::fail(FailureKind kind, int err)
{
    if (failureKind == none) {
        failureKind = kind;
        failureErr = err;
    }
    return false;
}
