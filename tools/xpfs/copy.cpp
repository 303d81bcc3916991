// xpfs cp, mv and the recursive removal behind rm -r: XpFileOperation's copies, moves and
// RemoveDir, with a progress bar drawn from the progress observer.
//
// How cp treats its operands:
// - Several sources, or a destination that is an existing folder: each source goes into that
//   folder under its own name. Otherwise the one source is copied to the destination path.
// - A file is copied by the library's copy by paths: in the kernel, into a hidden temporary that
//   replaces the destination in one step (--safe: CopyFileSafely; --ui: the file-manager agent).
//   With -p the stream copy reports each 256 KiB to a bar on the terminal; it writes into a
//   temporary beside the destination that a move puts in place, so Ctrl-C (which the bar's
//   observer turns into a stop request) leaves the destination as it was and no partial file.
// - A folder is copied as a whole tree, like cp -a, on descriptors from the destination operand
//   down: every folder, on both sides, is opened relative to its parent without following a link
//   (openat with O_NOFOLLOW|O_DIRECTORY), files are copied by the library through
//   /proc/self/fd/N/name paths that name exactly the folders opened, and folders get the
//   source's permission bits and modification date through their descriptors (fchmod,
//   futimens) after their content. A link found where a folder is expected is refused, never
//   written through; symbolic links of the source are made again as links (never followed, so
//   a tree copied as root cannot pull in what a link points to outside it). FIFOs, devices and
//   sockets are reported and skipped. The copy goes on after a failed entry and exits with
//   status 1.
// - A destination operand that is a symbolic link is followed only when it belongs to the caller
//   or to root: one planted by another user is refused (cp and mv).
#include "xpfs.h"

#include <XpDir.h>
#include <XpFile.h>
#include <XpFileOperation.h>
#include <XpPathUtil.h>

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

typedef XpStringT<char> Str;

// An operand as an absolute path: the library's volume tests know absolute paths only.
Str absolutePath(const char* path)
{
    char cwd[PATH_MAX];
    if (path[0] == '/' || getcwd(cwd, sizeof cwd) == nullptr)
        return Str(path);
    return XpPathUtil::Concatenate(Str(cwd), Str(path));
}

volatile sig_atomic_t interrupted = 0;

void onInterrupt(int)
{
    interrupted = 1;
}

double seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string humanBytes(double bytes)
{
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (bytes >= 1024.0 && u < 4) {
        bytes /= 1024.0;
        ++u;
    }
    char text[32];
    std::snprintf(text, sizeof text, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
    return text;
}

// The bar on stderr: name, percent, bytes done of total, rate and time left, redrawn at most ten
// times a second. Its OnProgress answers true once Ctrl-C was pressed.
class ProgressBar : public IXpFileOpProgressObserver {
public:
    void Start(const std::string& name, int64_t total)
    {
        name_ = name;
        total_ = total;
        start_ = seconds();
        lastDraw_ = -1.0;
    }
    bool OnProgress(double p) override
    {
        double now = seconds();
        if (p >= 100.0 || now - lastDraw_ >= 0.1) {
            lastDraw_ = now;
            draw(p, now - start_);
        }
        return interrupted != 0;
    }
    void Finish() { std::fputc('\n', stderr); }

private:
    void draw(double p, double elapsed)
    {
        double done = static_cast<double>(total_) * p / 100.0;
        double rate = elapsed > 0.0 ? done / elapsed : 0.0;
        long left = rate > 0.0 ? static_cast<long>((static_cast<double>(total_) - done) / rate + 0.5) : 0;
        char tail[128];
        std::snprintf(tail, sizeof tail, " %3.0f%% %s / %s  %s/s  %ld:%02ld left", p, humanBytes(done).c_str(),
                      humanBytes(static_cast<double>(total_)).c_str(), humanBytes(rate).c_str(), left / 60, left % 60);
        struct winsize ws;
        int width = ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
        std::string name = name_.size() > 24 ? "..." + name_.substr(name_.size() - 21) : name_;
        int barWidth = width - static_cast<int>(name.size() + std::strlen(tail)) - 4;
        std::string bar;
        if (barWidth >= 10) {
            int filled = static_cast<int>(barWidth * p / 100.0);
            bar = " [" + std::string(filled, '#') + std::string(barWidth - filled, '.') + "]";
        }
        std::fprintf(stderr, "\r%s%s%s\x1b[K", name.c_str(), bar.c_str(), tail);
        std::fflush(stderr);
    }

    std::string name_;
    int64_t total_ = 0;
    double start_ = 0.0, lastDraw_ = -1.0;
};

struct CopyOptions {
    bool progress = false;
    bool safe = false;
    bool ui = false;
};

// A descriptor closed when it goes out of scope.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);   // folders and files opened for reading: nothing to lose
        fd_ = fd;
    }

private:
    int fd_;
};

// The name of an object in the folder open at dir, as a path the library can take: the kernel
// resolves /proc/self/fd/N to exactly the folder we opened, so the library's copy works in that
// folder whatever happens meanwhile to the path that led to it.
Str inFolder(int dir, const std::string& name)
{
    return Str(("/proc/self/fd/" + std::to_string(dir) + "/" + name).c_str());
}

// An operand split into the folder holding its last component (opened; links in the folder part
// are followed, as in any path given) and that component. "/", "." and ".." are resolved first,
// so that the name is a real entry of the folder.
bool openOperand(const Str& path, Fd* folder, std::string* name)
{
    std::string p(path.GetBuffer());
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    size_t slash = p.rfind('/');
    std::string last = p.substr(slash + 1);
    if (last.empty() || last == "." || last == "..") {
        char* real = realpath(p.c_str(), nullptr);
        if (real == nullptr)
            return false;
        p = real;
        free(real);
        if (p == "/") {
            folder->reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
            *name = ".";
            return folder->get() >= 0;
        }
        slash = p.rfind('/');
    }
    *name = p.substr(slash + 1);
    folder->reset(open(slash == 0 ? "/" : p.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    return folder->get() >= 0;
}

// Opens the destination operand (name in parent) when it is a folder. A symbolic link there is
// followed only when it belongs to the caller or to root: one that another user planted could
// send a copy run as root into any folder of the system. *refused tells such a link.
int openDestinationFolder(int parent, const std::string& name, bool* refused)
{
    *refused = false;
    struct stat before, after;
    if (fstatat(parent, name.c_str(), &before, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    if (!S_ISLNK(before.st_mode))
        return S_ISDIR(before.st_mode) ? openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                                       : -1;
    if (before.st_uid != geteuid() && before.st_uid != 0) {
        struct stat target;
        *refused = fstatat(parent, name.c_str(), &target, 0) == 0 && S_ISDIR(target.st_mode);
        return -1;
    }
    int fd = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // The link we looked at is the one that led there (a link cannot be changed, only replaced).
    if (fd >= 0 && (fstatat(parent, name.c_str(), &after, AT_SYMLINK_NOFOLLOW) != 0 ||
                    after.st_ino != before.st_ino || after.st_dev != before.st_dev)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Creates the progress copy's temporary ".xpfs-NNNNNNNN.tmp" (the first free number) in the
// folder open at dir, exclusively and readable by the caller alone until the copy gives it the
// source's mode: nobody can open it meanwhile and read the data later. Its path, or "" at the
// first failure that is not a taken name (a folder where nothing can be made fails at once).
Str claimTemporary(int dir)
{
    for (unsigned n = 0; n < 100000000u; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, ".xpfs-%08u.tmp", n);
        int fd = openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            close(fd);   // empty: nothing to lose
            return inFolder(dir, name);
        }
        if (errno != EEXIST)
            break;
    }
    return Str();
}

// Copies the regular file name of srcDir to dstName of dstDir as described at the top.
XpErr copyOneFile(int srcDir, const std::string& name, int dstDir, const std::string& dstName, const CopyOptions& o)
{
    if (!o.ui && !o.progress && !o.safe)
        return XpFileOperation::CopyFileAt(srcDir, name.c_str(), dstDir, dstName.c_str());
    Str target = inFolder(dstDir, dstName);
    Str source = inFolder(srcDir, name);
    if (o.ui)
        return XpFileOperation::CopyFile(source, target, true, nullptr);
    if (!o.progress)
        return XpFileOperation::CopyFileSafely(source, target, false, nullptr);
    // The stream copy reads what it is given by path: give it the file opened here without
    // following a link, so that a link put in its place now is never read through.
    Fd file(openat(srcDir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (file.get() < 0 || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return XPERR_FILE_COPY_FAILED;
    Str temp = claimTemporary(dstDir);
    if (temp.IsEmpty())
        return XPERR_FILE_FAILED;
    ProgressBar bar;
    bar.Start(name, st.st_size);
    Str pinned(("/proc/self/fd/" + std::to_string(file.get())).c_str());
    XpErr err = XpFileOperation::CopyFile(XpSharedPtr<XpAbstractFile>(new XpFile(pinned)), temp, &bar);
    bar.Finish();
    if (err != XPERR_OK) {
        XpFileOperation::removeFile(temp);   // when the copy refused before writing, it is still there
        return err;
    }
    err = XpFileOperation::MoveFile(temp, target, false, nullptr);
    if (err != XPERR_OK)
        XpFileOperation::removeFile(temp);
    return err;
}

// A folder of a tree copy under way: both descriptors, the source's status for the attributes
// the copy gets at its end, and how much of it is still being copied.
struct FolderCopy {
    Fd src, dst;
    struct stat st;
    std::string shown, shownTarget;   // how messages name the source and the copy
    std::shared_ptr<FolderCopy> parent;
    std::atomic<int> pending{1};   // the walk's own hold, and one for each file or folder under way
};

// Copies the files of a tree. The plain copy (no option) hands them to a few worker threads:
// the many small files of an installation or a backup cost the kernel more than any disk here,
// and workers in different folders keep every core at it (the walk copies a batch itself when
// each worker has two waiting). The files of one folder may be written in any order; each is the library's copy of one file, made on the folders'
// descriptors, and each folder gets its mode and date once all it holds is in. With -p, --safe
// or --ui, and on a single core, every file is copied in the walk's order on the calling thread,
// so the progress bars follow one another as the files do.
class TreeCopy {
public:
    // copying false: a move, which has no tree of its own to walk.
    TreeCopy(const XpfsCommand& self, const CopyOptions& o, bool copying) : self_(self), o_(o)
    {
        // The cores this process may run on (taskset, a container's share), not the machine's.
        cpu_set_t set;
        unsigned cores = sched_getaffinity(0, sizeof set, &set) == 0 ? static_cast<unsigned>(CPU_COUNT(&set)) : 1;
        unsigned workers = !copying || o.ui || o.progress || o.safe || cores < 2 ? 0
                           : cores < kMaxWorkers ? cores : kMaxWorkers;
        for (unsigned i = 0; i < workers; ++i)
            threads_.emplace_back(&TreeCopy::work, this);
    }
    ~TreeCopy() { Finish(); }

    // Waits for every file handed over, and for the folders' attributes; true when nothing
    // failed.
    bool Finish()
    {
        Flush();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& t : threads_)
            t.join();
        threads_.clear();
        return !failed_;
    }

    // Copies the file name of folder (to the same name in its copy), now or by a worker. The
    // workers take files in batches of one folder's files: one wake-up and one lock for many
    // files, and the files of one folder mostly written by one thread.
    void Add(const std::shared_ptr<FolderCopy>& folder, const std::string& name)
    {
        if (threads_.empty()) {
            copy(*folder, name);
            return;
        }
        if (batch_.folder != folder)
            Flush();
        batch_.folder = folder;
        batch_.names.push_back(name);
        if (batch_.names.size() >= kBatch)
            Flush();
    }

    // Hands the batch being filled to the workers.
    void Flush()
    {
        if (batch_.names.empty())
            return;
        batch_.folder->pending.fetch_add(1);
        bool wake = false, full;
        {
            std::lock_guard<std::mutex> lock(mutex_);
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
    std::shared_ptr<FolderCopy> Open(const std::shared_ptr<FolderCopy>& parent, size_t depth)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (open_ >= depth + kOpenAhead) {
            lock.unlock();
            Flush();   // what the waiting depends on
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

    // The walk is done with folder: its last files go to the workers, and the walk's hold on
    // it is given up. On the walk's thread only, which alone fills the batch.
    void Leave(std::shared_ptr<FolderCopy> folder)
    {
        if (folder && folder == batch_.folder)
            Flush();
        Release(std::move(folder));
    }

    // Gives up one hold on folder; the last one gives the copy the source's mode and date,
    // through its descriptor, and then gives up the folder's hold on its parent.
    void Release(std::shared_ptr<FolderCopy> folder)
    {
        while (folder && folder->pending.fetch_sub(1) == 1) {
            if (folder->dst.get() >= 0) {
                const struct timespec times[2] = {{0, UTIME_OMIT}, folder->st.st_mtim};
                if (fchmod(folder->dst.get(), folder->st.st_mode & 07777) != 0 ||
                    futimens(folder->dst.get(), times) != 0)
                    fail(folder->shownTarget, XPERR_FILE_SET_ATTRIBUTE_FAILED);
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

    const XpfsCommand& self() const { return self_; }
    const CopyOptions& options() const { return o_; }

    // A failure found anywhere in the tree: reported at once, and the copy ends with status 1.
    void fail(const std::string& shown, XpErr err)
    {
        failed_ = true;
        xpfsReportError(self_, shown.c_str(), err);
    }

private:
    static const unsigned kMaxWorkers = 4;
    static const size_t kBatch = 256, kOpenAhead = 64;
    struct Job {
        std::shared_ptr<FolderCopy> folder;
        std::vector<std::string> names;
    };

    void copy(const FolderCopy& folder, const std::string& name)
    {
        XpErr err = copyOneFile(folder.src.get(), name, folder.dst.get(), name, o_);
        if (err != XPERR_OK)
            fail(folder.shown + "/" + name, err);
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
        for (const std::string& name : job.names)
            copy(*job.folder, name);
        Release(std::move(job.folder));
    }

    const XpfsCommand& self_;
    const CopyOptions& o_;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_, room_;
    std::deque<Job> jobs_;
    Job batch_;   // the walk's, filled on the calling thread
    size_t open_ = 0;
    unsigned idle_ = 0;
    bool stopping_ = false;
    std::atomic<bool> failed_{false};
};

// The folders this run made or entered as destinations, so that copying a folder into itself
// stops at the copy instead of growing without end.
typedef std::set<std::pair<dev_t, ino_t> > Seen;

// Where an entry of a tree copy comes from and goes: the folders (parent null for an operand,
// whose folders are the caller's), the names, and how messages name them.
struct Entry {
    std::shared_ptr<FolderCopy> parent;
    int srcDir, dstDir;
    std::string srcName, shown, dstName, shownTarget;
    size_t depth;
};

bool copyTreeAt(TreeCopy& tree, const Entry& e, Seen& seen);

// Copies whatever e names (file, link, folder); false after a failure reported here (a file
// handed to a worker reports its own).
bool copyEntryAt(TreeCopy& tree, const Entry& e, Seen& seen)
{
    struct stat st;
    if (fstatat(e.srcDir, e.srcName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        tree.fail(e.shown, XPERR_FILE_NOT_FOUND);
        return false;
    }
    if (S_ISDIR(st.st_mode))
        return seen.count({st.st_dev, st.st_ino}) != 0 || copyTreeAt(tree, e, seen);
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> link(static_cast<size_t>(st.st_size) + 1);
        ssize_t n = readlinkat(e.srcDir, e.srcName.c_str(), link.data(), link.size());
        if (n < 0 || static_cast<size_t>(n) >= link.size() ||
            (link[static_cast<size_t>(n)] = 0, symlinkat(link.data(), e.dstDir, e.dstName.c_str()) != 0)) {
            tree.fail(e.shown, XPERR_FILE_COPY_FAILED);
            return false;
        }
        return true;
    }
    if (!S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "xpfs: %s: %s: skipped: not a regular file\n", xpfsCommandName(tree.self()).c_str(),
                     e.shown.c_str());
        return false;
    }
    if (e.parent) {
        tree.Add(e.parent, e.srcName);
        return true;
    }
    XpErr err = copyOneFile(e.srcDir, e.srcName, e.dstDir, e.dstName, tree.options());
    if (err != XPERR_OK)
        tree.fail(e.shown, err);
    return err == XPERR_OK;
}
// A folder, on descriptors from the destination down: each destination folder is made or opened
// relative to its parent without following a link (a link where a folder is expected is refused,
// so nothing is written where it leads), and gets the source's mode and date through its
// descriptor once its content is in.
bool copyTreeAt(TreeCopy& tree, const Entry& e, Seen& seen)
{
    std::shared_ptr<FolderCopy> folder = tree.Open(e.parent, e.depth);
    struct Hold {   // the walk's hold on the folder, given up on every way out
        TreeCopy& tree;
        std::shared_ptr<FolderCopy>& folder;
        ~Hold() { tree.Leave(std::move(folder)); }
    } hold{tree, folder};
    folder->src.reset(openat(e.srcDir, e.srcName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder->src.get() < 0 || fstat(folder->src.get(), &folder->st) != 0) {
        tree.fail(e.shown, errno == ENOENT ? XPERR_FILE_NOT_FOUND : XPERR_FILE_INVALID_PATH);
        return false;
    }
    if (mkdirat(e.dstDir, e.dstName.c_str(), 0700) != 0 && errno != EEXIST) {
        tree.fail(e.shownTarget,
                  errno == EACCES || errno == EROFS ? XPERR_FILE_ACCESS_DENIED : XPERR_FILE_MAKE_DIR_FAILED);
        return false;
    }
    Fd dst(openat(e.dstDir, e.dstName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat made;
    if (dst.get() < 0 || fstat(dst.get(), &made) != 0) {
        if (errno == ELOOP || errno == ENOTDIR)
            std::fprintf(stderr, "xpfs: %s: %s: refused: not a folder (a link is never followed)\n",
                         xpfsCommandName(tree.self()).c_str(), e.shownTarget.c_str());
        else
            tree.fail(e.shownTarget, XPERR_FILE_INVALID_PATH);
        return false;
    }
    seen.insert({made.st_dev, made.st_ino});
    // The listing is read whole before anything is made: the destination may be inside it.
    std::vector<std::pair<std::string, unsigned char> > names;
    DIR* list = fdopendir(dup(folder->src.get()));
    if (list == nullptr) {
        tree.fail(e.shown, XPERR_FILE_ACCESS_DENIED);
        return false;
    }
    for (struct dirent* d; (d = readdir(list)) != nullptr;) {
        if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0)
            names.emplace_back(d->d_name, d->d_type);
    }
    closedir(list);
    folder->dst.reset(dst.release());
    folder->shown = e.shown;
    folder->shownTarget = e.shownTarget;
    bool ok = true;
    for (size_t k = 0; k < names.size() && !interrupted; ++k) {
        const std::string& name = names[k].first;
        if (names[k].second == DT_REG) {   // the listing says so: a file, handed over as it is
            tree.Add(folder, name);
            continue;
        }
        Entry inner{folder, folder->src.get(), folder->dst.get(), name, e.shown + "/" + name, name,
                    e.shownTarget + "/" + name, e.depth + 1};
        ok = copyEntryAt(tree, inner, seen) && ok;
    }
    return ok && !interrupted;
}

// The target of each source: inside dst when it is a folder (or there are several sources).
int copyOrMove(const XpfsCommand& self, int argc, char** argv, bool copy)
{
    CopyOptions o;
    int i = 0;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        if (copy && std::strcmp(argv[i], "-p") == 0)
            o.progress = true;
        else if (copy && std::strcmp(argv[i], "--safe") == 0)
            o.safe = true;
        else if (std::strcmp(argv[i], "--ui") == 0)
            o.ui = true;
        else if (std::strcmp(argv[i], "--") == 0) {
            ++i;
            break;
        } else
            return xpfsUsageError(self, std::string("unknown option ") + argv[i]);
    }
    if (int usage = xpfsCheckOperands(self, argc - i, 2, -1))
        return usage;
    Str dst = absolutePath(argv[argc - 1]);
    Fd dstParent, dstFolder;
    std::string dstName;
    bool refused = false;
    if (openOperand(dst, &dstParent, &dstName))
        dstFolder.reset(openDestinationFolder(dstParent.get(), dstName, &refused));
    if (refused) {
        std::fprintf(stderr, "xpfs: %s: %s: refused: a symbolic link that belongs to another user\n",
                     xpfsCommandName(self).c_str(), argv[argc - 1]);
        return XPFS_FAILED;
    }
    bool intoFolder = argc - i > 2 || dstFolder.get() >= 0;
    if (argc - i > 2 && dstFolder.get() < 0)
        return xpfsUsageError(self, std::string("target is not a folder: ") + argv[argc - 1]);
    if (dstParent.get() < 0) {
        xpfsReportError(self, argv[argc - 1], XPERR_FILE_PATH_NOT_FOUND);
        return XPFS_FAILED;
    }
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onInterrupt;
    if (copy && o.progress)
        sigaction(SIGINT, &sa, nullptr);   // Ctrl-C becomes the observer's stop request
    int status = XPFS_OK;
    int k = i;
    Seen seen;
    TreeCopy tree(self, o, copy);
    for (; k < argc - 1 && !interrupted; ++k) {
        Str src = absolutePath(argv[k]);
        bool ok;
        if (copy) {
            Fd srcParent;
            std::string srcName;
            if (!openOperand(src, &srcParent, &srcName)) {
                xpfsReportError(self, argv[k], XPERR_FILE_NOT_FOUND);
                ok = false;
            } else if (intoFolder) {
                Entry e{nullptr, srcParent.get(), dstFolder.get(), srcName, argv[k], srcName,
                        std::string(argv[argc - 1]) + "/" + srcName, 0};
                ok = copyEntryAt(tree, e, seen);
            } else {
                Entry e{nullptr, srcParent.get(), dstParent.get(), srcName, argv[k], dstName, argv[argc - 1], 0};
                ok = copyEntryAt(tree, e, seen);
            }
        } else {
            Str target = intoFolder ? XpPathUtil::Concatenate(dst, XpPathUtil::GetFileFullName(src)) : dst;
            XpErr err = XpFileOperation::MoveFile(src, target, o.ui, nullptr);
            if (err != XPERR_OK)
                xpfsReportError(self, argv[k], err);
            ok = err == XPERR_OK;
        }
        if (!ok)
            status = XPFS_FAILED;
    }
    if (!tree.Finish())
        status = XPFS_FAILED;
    // A Ctrl-C that came after the last copy was in place undid nothing: the result stands. One
    // that stopped the work before its end says so.
    if (interrupted && (k < argc - 1 || status != XPFS_OK)) {
        std::fprintf(stderr, "xpfs: %s: interrupted before the end\n", self.group);
        status = XPFS_FAILED;
    }
    return status;
}

int runCp(const XpfsCommand& self, int argc, char** argv)
{
    return copyOrMove(self, argc, argv, true);
}

int runMv(const XpfsCommand& self, int argc, char** argv)
{
    return copyOrMove(self, argc, argv, false);
}

const XpfsCommand kCommands[] = {
    {"cp", nullptr, "[-p] [--safe] [--ui] SRC... DST",
     "Copy files and whole folders (replacing a file at the destination in one step).",
     "  -p      show a progress bar (percent, bytes, rate, time left); Ctrl-C stops and\n"
     "          removes the partial copy, leaving an existing destination as it was\n"
     "  --safe  copy through a numbered .tmp file beside the destination (CopyFileSafely)\n"
     "  --ui    hand the copy to the file-manager agent\n"
     "A folder is copied as a whole tree (like cp -a); links are made again as links, and a\n"
     "link found where a folder is expected is refused, never written through. A destination\n"
     "that is a link belonging to another user (not you, not root) is refused.",
     runCp},
    {"mv", nullptr, "[--ui] SRC... DST", "Move files and folders (across volumes: copy, then remove).",
     "  --ui    hand the move to the file-manager agent", runMv},
};
XpfsRegistration registration(kCommands, 2);

} // namespace


// rm -r: removes each operand as a whole tree (RemoveDir recursive; a file or a link is removed
// as itself). Shared with the rm group.
int xpfsRemoveRecursively(const XpfsCommand& self, int argc, char** argv)
{
    if (int usage = xpfsCheckOperands(self, argc, 1, -1))
        return usage;
    int status = XPFS_OK;
    for (int i = 0; i < argc; ++i) {
        Str path = absolutePath(argv[i]);
        struct stat st;
        XpErr err = lstat(argv[i], &st) == 0 && S_ISDIR(st.st_mode) ? XpFileOperation::RemoveDir(path, true, nullptr)
                                                                     : XpFileOperation::removeFile(path);
        if (err != XPERR_OK) {
            xpfsReportError(self, argv[i], err);
            status = XPFS_FAILED;
        }
    }
    return status;
}
