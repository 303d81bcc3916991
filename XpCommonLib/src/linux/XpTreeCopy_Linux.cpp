// XpTreeCopy on Linux: the walk over a source tree on descriptors, feeding an XpTreeWriter.
//
// The walk opens every source folder relative to its parent with O_NOFOLLOW|O_DIRECTORY and
// reads each listing whole before anything is made (the destination may be inside the source).
// The many small files of an installation or a backup cost the kernel more than any disk here,
// so the plain copy hands files to a few worker threads, in batches of one folder's files: one
// wake-up and one lock for many files, and the files of one folder mostly written by one thread.
// The walk copies a batch itself when every worker has two waiting. A folder under way keeps its
// two descriptors and a count of what is still being copied in it; the last one out gives it
// its attributes, so a folder's mode and date are set once all it holds is in, whoever finishes
// last. The number of folders open below the walk's own path is bounded, so a wide tree cannot
// use up the descriptors.
#include <XpTreeWriter.h>

#include "_XpFd_Linux.h"
#include "_XpFileOperationSub_Linux.h"
#include "_XpTreeWriter_Linux.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <sched.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <utility>
#include <vector>

namespace {

// A folder of a tree copy under way.
struct FolderCopy {
    XpFd src, dst;
    XpTreeEntry entry;
    gid_t newFileGroup = gid_t(-1);   // the group a file made in the copy gets
    bool made = false;   // made by this copy (0700, ours): nothing in it is replaced
    std::string shown;   // how failures name it
    std::shared_ptr<FolderCopy> parent;
    std::atomic<int> pending{1};   // the walk's own hold, and one for each file or folder under way
};

// Where an entry comes from and goes: the folders (parent null for an operand, whose folders are
// the caller's) and the names.
struct Entry {
    std::shared_ptr<FolderCopy> parent;
    int srcDir, dstDir;
    std::string srcName, dstName, shown;
    size_t depth;
};

// The workers this copy may use (see XpTreeCopyOptions).
unsigned workersFor(const XpTreeCopyOptions& options)
{
    const unsigned kMaxWorkers = 4;
    if (options.workers >= 0)
        return options.workers < 16 ? unsigned(options.workers) : 16u;
    // The cores this process may run on (taskset, a container's share), not the machine's.
    cpu_set_t set;
    unsigned cores = sched_getaffinity(0, sizeof set, &set) == 0 ? unsigned(CPU_COUNT(&set)) : 1;
    return cores < 2 ? 0 : cores < kMaxWorkers ? cores : kMaxWorkers;
}

// A failure renamed after the entry as the caller names it.
XpFileError at(const XpFileError& err, const std::string& shown)
{
    return XpFileError(err.Code(), err.SysErr(), err.Operation(), shown.c_str());
}

} // namespace

// Hidden: the copy's machinery is no part of the library's interface.
class __attribute__((visibility("hidden"))) XpTreeCopy::Impl {
public:
    Impl(const XpTreeCopyOptions& options, IXpTreeCopyObserver* observer)
        : writer_(options.ownership), observer_(observer), watcher_(options.progress ? observer : nullptr),
          workers_(workersFor(options)), options_(options)
    {
    }
    ~Impl() { Finish(); }

    // What the copy of the entry described by st at dstName of dstDir takes over (see
    // XpTreeCopyOptions::keepMode and keepTimes); asked before the copy is made.
    // inFreshFolder: dstDir was made by this copy, so nothing can be replaced there.
    XpTreeEntry entryFor(const struct stat& st, int dstDir, const char* dstName, bool inFreshFolder = false) const
    {
        XpTreeEntry entry = XpTreeEntry::FromStat(st);
        if (!options_.keepTimes)
            entry.accessed = entry.modified = {0, UTIME_OMIT};
        if (options_.keepMode)
            return entry;
        struct stat old;
        bool replaced = !S_ISLNK(st.st_mode) && !inFreshFolder && fstatat(dstDir, dstName, &old, AT_SYMLINK_NOFOLLOW) == 0 &&
                        (old.st_mode & S_IFMT) == (st.st_mode & S_IFMT);
        entry.mode = (st.st_mode & S_IFMT) | (replaced ? old.st_mode & 07777 : st.st_mode & 07777 & ~options_.newModeMask);
        return entry;
    }

    // Whether the entry st (a file or link) may go to dstName of dstDir by the rules for names
    // that are taken (XpTreeCopyOptions::existing and askReplace).
    bool mayReplace(int dstDir, const std::string& dstName, const struct stat& st, const std::string& shown)
    {
        if (options_.existing == XpTreeCopyOptions::existingReplaced && !options_.askReplace)
            return true;
        struct stat old;
        if (fstatat(dstDir, dstName.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(old.st_mode))
            return true;   // nothing there, or a folder, which the writer refuses to replace
        if (options_.existing == XpTreeCopyOptions::existingKept)
            return false;
        if (options_.existing == XpTreeCopyOptions::existingReplacedWhenOlder &&
            (st.st_mtim.tv_sec < old.st_mtim.tv_sec ||
             (st.st_mtim.tv_sec == old.st_mtim.tv_sec && st.st_mtim.tv_nsec <= old.st_mtim.tv_nsec)))
            return false;
        if (!options_.askReplace)
            return true;
        std::lock_guard<std::mutex> lock(report_);
        return options_.askReplace(shown.c_str());
    }

    void placed(const std::string& shown)
    {
        if (!options_.placed)
            return;
        std::lock_guard<std::mutex> lock(report_);
        options_.placed(shown.c_str());
    }

    XpFileError Copy(int srcDir, const char* srcName, int dstDir, const char* dstName, const char* shown)
    {
        {
            std::lock_guard<std::mutex> lock(report_);
            walkFirst_ = XpFileError();
            walker_ = std::this_thread::get_id();
        }
        Entry e{nullptr, srcDir, dstDir, srcName, dstName, shown != nullptr ? shown : srcName, 0};
        copyEntry(e);
        std::lock_guard<std::mutex> lock(report_);
        return cancelled_ ? XpFileError(XPERR_FILE_CANCELLED, 0, "copy", e.shown.c_str()) : walkFirst_;
    }

    XpFileError Finish()
    {
        flush();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& t : threads_)
            t.join();
        threads_.clear();
        stopping_ = false;
        std::lock_guard<std::mutex> lock(report_);
        XpFileError result = cancelled_ ? XpFileError(XPERR_FILE_CANCELLED, 0, "copy") : first_;
        first_ = XpFileError();
        cancelled_ = false;
        seen_.clear();
        return result;
    }

    int64_t FailedCount() const { return failed_.load(); }

private:
    static const size_t kBatch = 256, kOpenAhead = 64;
    struct Job {
        std::shared_ptr<FolderCopy> folder;
        std::vector<std::string> names;
    };

    // The observer of one file's data: progress and the stop request go to the copy's observer,
    // one call at a time, with the file's path.
    class FileProgress : public IXpFileOpProgressObserver {
    public:
        FileProgress(Impl& copy, const std::string& shown) : copy_(copy), shown_(shown) {}
        bool OnProgress(double p) override { return copy_.progress(shown_, p); }

    private:
        Impl& copy_;
        const std::string& shown_;
    };

    bool progress(const std::string& shown, double percent)
    {
        std::lock_guard<std::mutex> lock(report_);
        if (!cancelled_) {
            watcher_->currentPath = XpStringT<char>(shown.c_str());
            watcher_->percent = percent;
            watcher_->doneCount = done_.load();
            cancelled_ = watcher_->OnProgress(percent);
        }
        return cancelled_;
    }

    bool cancelled()
    {
        std::lock_guard<std::mutex> lock(report_);
        return cancelled_;
    }

    // A failed entry, reported at once; the copy goes on. A stop is no failure of the entry.
    void fail(const XpFileError& err, const std::string& shown)
    {
        if (err.Code() == XPERR_FILE_CANCELLED)
            return;
        XpFileError named = at(err, shown);
        failed_.fetch_add(1);
        std::lock_guard<std::mutex> lock(report_);
        if (first_.IsOk())
            first_ = named;
        if (walkFirst_.IsOk() && std::this_thread::get_id() == walker_)
            walkFirst_ = named;
        if (observer_ != nullptr)
            observer_->OnEntryFailed(named);
    }

    // The regular file name of srcDir onto dstName of dstDir, opened without following a link and
    // checked on its descriptor (a FIFO or device planted there is never waited on).
    void copyFile(int srcDir, const std::string& name, int dstDir, gid_t newFileGroup, const std::string& dstName,
                  const std::string& shown, bool inFreshFolder = false)
    {
        if (watcher_ != nullptr && cancelled())
            return;
        struct stat st;
        XpFd in(_XpFileOperationSub_Linux::OpenRegularAt(srcDir, name.c_str(), O_NOFOLLOW, &st));
        if (!in.IsValid()) {
            fail(XpFileError(errno == ENOENT ? XPERR_FILE_NOT_FOUND : XPERR_FILE_COPY_FAILED, errno, "openat"), shown);
            return;
        }
        if (!mayReplace(dstDir, dstName, st, shown))
            return;
        FileProgress progress(*this, shown);
        XpFileError err = _XpTreeWriterAddFile(writer_, dstDir, newFileGroup, dstName.c_str(), entryFor(st, dstDir, dstName.c_str(), inFreshFolder),
                                               in.Get(), &st, watcher_ != nullptr ? &progress : nullptr);
        if (err.IsOk()) {
            done_.fetch_add(1);
            placed(shown);
        } else {
            fail(err, shown);
        }
    }

    // Copies the file name of folder (to the same name in its copy), now or by a worker.
    void add(const std::shared_ptr<FolderCopy>& folder, const std::string& name)
    {
        if (workers_ == 0) {
            copyFile(folder->src.Get(), name, folder->dst.Get(), folder->newFileGroup, name, folder->shown + "/" + name,
                     folder->made);
            return;
        }
        if (batch_.folder != folder)
            flush();
        batch_.folder = folder;
        batch_.names.push_back(name);
        if (batch_.names.size() >= kBatch)
            flush();
    }

    // Hands the batch being filled to the workers, starting them the first time.
    void flush()
    {
        if (batch_.names.empty())
            return;
        batch_.folder->pending.fetch_add(1);
        bool wake = false, full;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (threads_.empty())
                for (unsigned i = 0; i < workers_; ++i)
                    threads_.emplace_back([this] { work(); });
            full = jobs_.size() >= 2 * threads_.size();   // enough for every worker's next batch
            if (!full) {
                jobs_.push_back(std::move(batch_));
                wake = idle_ > 0;
            }
        }
        if (wake)
            wake_.notify_one();
        if (full)
            run(std::move(batch_));   // the workers have enough: the walk copies this batch itself
        batch_ = Job();
    }

    // A folder opened for the walk: counted, and waited for while too many are open below the
    // walk's own path (each holds two descriptors until its files are in).
    std::shared_ptr<FolderCopy> open(const std::shared_ptr<FolderCopy>& parent, size_t depth)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (open_ >= depth + kOpenAhead) {
            lock.unlock();
            flush();   // what the waiting depends on
            lock.lock();
            room_.wait(lock, [&] { return open_ < depth + kOpenAhead; });
        }
        ++open_;
        auto folder = std::make_shared<FolderCopy>();
        folder->parent = parent;
        if (parent)
            parent->pending.fetch_add(1);
        return folder;
    }

    // The walk is done with folder: its last files go to the workers, and the walk's hold on it
    // is given up. On the walk's thread only, which alone fills the batch.
    void leave(std::shared_ptr<FolderCopy> folder)
    {
        if (folder && folder == batch_.folder)
            flush();
        release(std::move(folder));
    }

    // Gives up one hold on folder; the last one gives the copy its attributes and then gives up
    // the folder's hold on its parent.
    void release(std::shared_ptr<FolderCopy> folder)
    {
        while (folder && folder->pending.fetch_sub(1) == 1) {
            if (folder->dst.IsValid()) {
                XpFileError err = writer_.CloseFolder(folder->dst.Get(), folder->entry);
                if (!err.IsOk())
                    fail(err, folder->shown);
            }
            std::shared_ptr<FolderCopy> parent = std::move(folder->parent);
            folder.reset();   // closes both descriptors
            {
                std::lock_guard<std::mutex> lock(mutex_);
                --open_;
            }
            room_.notify_all();
            folder = std::move(parent);
        }
    }

    void work()
    {
        for (;;) {
            Job job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ++idle_;
                wake_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
                --idle_;
                if (jobs_.empty())
                    return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            run(std::move(job));
        }
    }

    void run(Job job)
    {
        FolderCopy& f = *job.folder;
        for (const std::string& name : job.names)
            copyFile(f.src.Get(), name, f.dst.Get(), f.newFileGroup, name, f.shown + "/" + name, f.made);
        release(std::move(job.folder));
    }

    void copyEntry(const Entry& e);
    void copyLink(const Entry& e, const struct stat& st);
    void copyFolder(const Entry& e);
    bool openFolders(const Entry& e, FolderCopy& folder);

    XpTreeWriter writer_;
    IXpTreeCopyObserver* observer_;
    IXpTreeCopyObserver* watcher_;   // the observer when it hears of progress, else null
    unsigned workers_;
    XpTreeCopyOptions options_;   // the attributes and existing names rules
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_, room_;
    std::deque<Job> jobs_;
    Job batch_;   // the walk's, filled on the calling thread
    size_t open_ = 0;
    unsigned idle_ = 0;
    bool stopping_ = false;
    std::mutex report_;   // the observer, the results and the stop request
    XpFileError first_, walkFirst_;
    bool cancelled_ = false;
    std::atomic<int64_t> failed_{0}, done_{0};
    std::thread::id walker_;   // the thread of the running Copy
    // The folders this copy made or entered, so that a copy into its own source stops there
    // instead of growing without end. The walk's alone.
    std::set<std::pair<dev_t, ino_t> > seen_;
};

// Copies whatever e names: a file, a link, a folder with all it holds.
void XpTreeCopy::Impl::copyEntry(const Entry& e)
{
    struct stat st;
    if (fstatat(e.srcDir, e.srcName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        fail(XpFileError(errno == ENOENT ? XPERR_FILE_NOT_FOUND : XPERR_FILE_COPY_FAILED, errno, "fstatat"), e.shown);
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        if (seen_.count({st.st_dev, st.st_ino}) == 0)
            copyFolder(e);
    } else if (S_ISLNK(st.st_mode)) {
        copyLink(e, st);
    } else if (!S_ISREG(st.st_mode)) {
        fail(XpFileError(XPERR_FILE_NOT_SUPPORTED, 0, "copy"), e.shown);
    } else if (e.parent && e.srcName == e.dstName) {
        add(e.parent, e.srcName);
    } else {
        copyFile(e.srcDir, e.srcName, e.dstDir, _XpNewFileGroup(e.dstDir), e.dstName, e.shown);
    }
}

void XpTreeCopy::Impl::copyLink(const Entry& e, const struct stat& st)
{
    std::vector<char> target(size_t(st.st_size) + 2);
    ssize_t n = readlinkat(e.srcDir, e.srcName.c_str(), target.data(), target.size());
    if (n < 0 || size_t(n) >= target.size() - 1) {   // failed, or changed while it was read
        fail(XpFileError(XPERR_FILE_COPY_FAILED, n < 0 ? errno : EAGAIN, "readlinkat"), e.shown);
        return;
    }
    target[size_t(n)] = '\0';
    if (!mayReplace(e.dstDir, e.dstName, st, e.shown))
        return;
    XpFileError err = writer_.AddLink(e.dstDir, e.dstName.c_str(), target.data(), entryFor(st, e.dstDir, e.dstName.c_str()));
    if (err.IsOk())
        placed(e.shown);
    else
        fail(err, e.shown);
}

// Both folders of e opened: the source without following a link, the copy made or entered by the
// writer. False after a failure reported here.
bool XpTreeCopy::Impl::openFolders(const Entry& e, FolderCopy& folder)
{
    folder.shown = e.shown;
    folder.src.Reset(_XpOpenAt(e.srcDir, e.srcName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NOCTTY));
    struct stat st;
    if (!folder.src.IsValid() || fstat(folder.src.Get(), &st) != 0) {
        fail(XpFileError(errno == ENOENT ? XPERR_FILE_NOT_FOUND : XPERR_FILE_COPY_FAILED, errno, "openat"), e.shown);
        return false;
    }
    folder.entry = entryFor(st, e.dstDir, e.dstName.c_str(), e.parent && e.parent->made);   // before it is made
    XpFd dst;
    XpFileError err = _XpTreeWriterOpenFolder(writer_, e.dstDir, e.dstName.c_str(), &dst, &folder.made);
    struct stat made;
    if (err.IsOk() && fstat(dst.Get(), &made) != 0)
        err = XpFileError(XPERR_FILE_MAKE_DIR_FAILED, errno, "fstat");
    if (!err.IsOk()) {
        fail(err, e.shown);
        return false;
    }
    seen_.insert({made.st_dev, made.st_ino});
    folder.newFileGroup = (made.st_mode & S_ISGID) ? made.st_gid : getegid();
    folder.dst = std::move(dst);
    placed(e.shown);
    return true;
}

void XpTreeCopy::Impl::copyFolder(const Entry& e)
{
    std::shared_ptr<FolderCopy> folder = open(e.parent, e.depth);
    struct Hold {   // the walk's hold on the folder, given up on every way out
        Impl& copy;
        std::shared_ptr<FolderCopy>& folder;
        ~Hold() { copy.leave(std::move(folder)); }
    } hold{*this, folder};
    if (!openFolders(e, *folder))
        return;
    // The listing is read whole before anything is made: the destination may be inside it.
    std::vector<std::pair<std::string, unsigned char> > names;
    DIR* list = _XpOpenDirStream(_XpOpenAt(folder->src.Get(), ".", O_RDONLY | O_DIRECTORY));
    if (list == nullptr) {
        fail(XpFileError(XPERR_FILE_ACCESS_DENIED, errno, "opendir"), e.shown);
        return;
    }
    errno = 0;
    for (struct dirent* d; (d = readdir(list)) != nullptr; errno = 0) {
        if (!_XpIsDotOrDotDot(d->d_name))
            names.emplace_back(d->d_name, d->d_type);
    }
    if (errno != 0)
        fail(XpFileError(XPERR_FILE_READ_FAILED, errno, "readdir"), e.shown);
    closedir(list);
    for (size_t k = 0; k < names.size() && !(watcher_ != nullptr && cancelled()); ++k) {
        const std::string& name = names[k].first;
        if (names[k].second == DT_REG) {   // the listing says so: a file, handed over as it is
            add(folder, name);
            continue;
        }
        copyEntry(Entry{folder, folder->src.Get(), folder->dst.Get(), name, name, e.shown + "/" + name, e.depth + 1});
    }
}

XpTreeCopy::XpTreeCopy(const XpTreeCopyOptions& options, IXpTreeCopyObserver* observer)
    : impl_(new Impl(options, observer))
{
}

XpTreeCopy::~XpTreeCopy() = default;

XpFileError XpTreeCopy::Copy(int sourceFolder, const char* sourceName, int destinationFolder,
                             const char* destinationName, const char* shown)
{
    if (sourceName == nullptr || destinationName == nullptr)
        return XpFileError(XPERR_FILE_INVALID_PARAM, EINVAL, "Copy");
    try {
        return impl_->Copy(sourceFolder, sourceName, destinationFolder, destinationName, shown);
    } catch (const std::exception&) {   // no memory, or no thread to be had
        return XpFileError(XPERR_NO_MEMORY, ENOMEM, "Copy", sourceName);
    }
}

XpFileError XpTreeCopy::Finish()
{
    return impl_->Finish();
}

int64_t XpTreeCopy::FailedCount() const
{
    return impl_->FailedCount();
}
