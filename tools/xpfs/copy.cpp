// xpfs cp, mv and the recursive removal behind rm -r: the library's tree copy, moves and
// RemoveDir, with a progress bar drawn from the progress observer. This file only reads the
// command line, finds the operands and draws; every rule of copying is the library's.
//
// How cp treats its operands:
// - Several sources, or a destination that is an existing folder: each source goes into that
//   folder under its own name. Otherwise the one source is copied to the destination path.
// - Every operand, file, link or folder, is copied by the library's tree copy (XpTreeCopy, the
//   rules of cp -a): owners kept where the caller may give them, set-id bits only on a copy with
//   the source's owner, modes, dates and holes kept, links made again as links (replacing those
//   of an earlier copy), every file written beside its name and put in place when complete. A
//   link found where a folder is expected is refused, never written through; FIFOs, devices and
//   sockets are reported and skipped. The copy goes on after a failed entry and exits with
//   status 1. Failures name the entry and the system's reason.
// - -p copies file by file in the walk's order with a bar for each; Ctrl-C (which the bar's
//   observer turns into a stop request) stops the copy, and the file under way is never placed.
// - --safe copies a file operand by the copy by paths (CopyFileSafely): the copy is the caller's
//   (as cp without -a makes it), with the source's permission bits but never set-id bits. A
//   folder operand is copied by the tree copy as without --safe.
// - --ui hands each operand to the file-manager agent.
// - A destination operand that is a symbolic link is followed only when it belongs to the caller
//   or to root: one planted by another user is refused (cp and mv).
#include "xpfs.h"

#include <XpFileOperation.h>
#include <XpPathUtil.h>
#include <XpTreeWriter.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

// The name of an object in the folder open at dir, as a path the library's copies by paths can
// take: the kernel resolves /proc/self/fd/N to exactly the folder we opened, so the copy works
// in that folder whatever happens meanwhile to the path that led to it.
Str inFolder(int dir, const std::string& name)
{
    return Str(("/proc/self/fd/" + std::to_string(dir) + "/" + name).c_str());
}

// An operand split into the folder holding its last component (opened; links in the folder part
// are followed, as in any path given) and that component. "/", "." and ".." are resolved first,
// so that the name is a real entry of the folder. 0, or the errno value of the failure.
int openOperand(const Str& path, XpFd* folder, std::string* name)
{
    std::string p(path.GetBuffer());
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    size_t slash = p.rfind('/');
    std::string last = p.substr(slash + 1);
    if (last.empty() || last == "." || last == "..") {
        char* real = realpath(p.c_str(), nullptr);
        if (real == nullptr)
            return errno;
        p = real;
        free(real);
        if (p == "/") {
            folder->Reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
            *name = ".";
            return folder->IsValid() ? 0 : errno;
        }
        slash = p.rfind('/');
    }
    *name = p.substr(slash + 1);
    folder->Reset(open(slash == 0 ? "/" : p.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    return folder->IsValid() ? 0 : errno;
}

// Opens the destination operand (name in parent) when it is a folder. A symbolic link there is
// followed only when it belongs to the caller or to root: one that another user planted could
// send a copy run as root into any folder of the system. *refused tells such a link.
XpFd openDestinationFolder(int parent, const std::string& name, bool* refused)
{
    *refused = false;
    struct stat before, after;
    if (fstatat(parent, name.c_str(), &before, AT_SYMLINK_NOFOLLOW) != 0)
        return XpFd();
    if (!S_ISLNK(before.st_mode))
        return XpFd(S_ISDIR(before.st_mode) ? openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                                            : -1);
    if (before.st_uid != geteuid() && before.st_uid != 0) {
        struct stat target;
        *refused = fstatat(parent, name.c_str(), &target, 0) == 0 && S_ISDIR(target.st_mode);
        return XpFd();
    }
    XpFd fd(openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // The link we looked at is the one that led there (a link cannot be changed, only replaced).
    if (fd.IsValid() && (fstatat(parent, name.c_str(), &after, AT_SYMLINK_NOFOLLOW) != 0 ||
                         after.st_ino != before.st_ino || after.st_dev != before.st_dev))
        fd.Reset();
    return fd;
}

// What the tree copy tells: each failed entry, printed at once with the system's reason, and with
// -p a bar for each file, started when the copy moves on to the next file.
class CopyReport : public IXpTreeCopyObserver {
public:
    CopyReport(const XpfsCommand& self, bool drawing) : self_(self), drawing_(drawing) {}
    bool OnProgress(double p) override
    {
        if (!drawing_)
            return interrupted != 0;
        std::string path = currentPath.GetBuffer();
        if (path != current_) {
            EndBar();
            current_ = path;
            struct stat st;   // the size, for the bar only
            bar_.Start(path.substr(path.rfind('/') + 1), lstat(path.c_str(), &st) == 0 ? st.st_size : 0);
            drawn_ = true;
        }
        return bar_.OnProgress(p);
    }
    void OnEntryFailed(const XpFileError& error) override
    {
        EndBar();
        std::string shown = error.Path().GetBuffer();
        if (error.Code() == XPERR_FILE_NOT_SUPPORTED)
            std::fprintf(stderr, "xpfs: %s: %s: skipped: not a regular file, folder or link\n",
                         xpfsCommandName(self_).c_str(), shown.c_str());
        else if (std::strcmp(error.Operation(), "openat") == 0 && (error.SysErr() == ENOTDIR || error.SysErr() == ELOOP) &&
                 error.Code() == XPERR_FILE_MAKE_DIR_FAILED)
            std::fprintf(stderr, "xpfs: %s: %s: refused: not a folder (a link is never followed)\n",
                         xpfsCommandName(self_).c_str(), shown.c_str());
        else
            xpfsReportFailure(self_, shown.c_str(), error);
    }
    void EndBar()
    {
        if (drawn_)
            bar_.Finish();
        drawn_ = false;
        current_.clear();
    }

private:
    const XpfsCommand& self_;
    bool drawing_;
    ProgressBar bar_;
    std::string current_;
    bool drawn_ = false;
};

// Where the sources go: the destination operand's folder and name, and the destination folder
// itself when the sources go into it.
struct Destination {
    XpFd parent, folder;
    std::string name;
    bool intoFolder = false;
};

// Reads the options of cp (copy) or mv; the index of the first operand, or -1 after a usage
// error (*usage holds the status).
int readOptions(const XpfsCommand& self, int argc, char** argv, bool copy, CopyOptions* o, int* usage)
{
    int i = 0;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        if (copy && std::strcmp(argv[i], "-p") == 0)
            o->progress = true;
        else if (copy && std::strcmp(argv[i], "--safe") == 0)
            o->safe = true;
        else if (std::strcmp(argv[i], "--ui") == 0)
            o->ui = true;
        else if (std::strcmp(argv[i], "--") == 0)
            return i + 1;
        else {
            *usage = xpfsUsageError(self, std::string("unknown option ") + argv[i]);
            return -1;
        }
    }
    return i;
}

// Opens the destination operand; XPFS_OK, or the status to end with (the failure reported).
int openDestination(const XpfsCommand& self, const char* operand, int sources, Destination* d)
{
    bool refused = false;
    int err = openOperand(absolutePath(operand), &d->parent, &d->name);
    if (err == 0)
        d->folder = openDestinationFolder(d->parent.Get(), d->name, &refused);
    if (refused) {
        std::fprintf(stderr, "xpfs: %s: %s: refused: a symbolic link that belongs to another user\n",
                     xpfsCommandName(self).c_str(), operand);
        return XPFS_FAILED;
    }
    d->intoFolder = sources > 1 || d->folder.IsValid();
    if (sources > 1 && !d->folder.IsValid())
        return xpfsUsageError(self, std::string("target is not a folder: ") + operand);
    if (err != 0) {
        xpfsReportFailure(self, operand, XpFileError(XPERR_FILE_PATH_NOT_FOUND, err, "openat", operand));
        return XPFS_FAILED;
    }
    return XPFS_OK;
}

// Copies one source operand; false after a failure reported here or by the report.
bool copyOperand(const XpfsCommand& self, const char* operand, const Destination& d, const CopyOptions& o,
                 XpTreeCopy& tree)
{
    XpFd srcParent;
    std::string srcName;
    if (int err = openOperand(absolutePath(operand), &srcParent, &srcName)) {
        xpfsReportFailure(self, operand, XpFileError(XPERR_FILE_NOT_FOUND, err, "openat", operand));
        return false;
    }
    int dstDir = d.intoFolder ? d.folder.Get() : d.parent.Get();
    const std::string& dstName = d.intoFolder ? srcName : d.name;
    struct stat st;
    bool file = fstatat(srcParent.Get(), srcName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
    if (o.ui || (o.safe && file)) {
        Str from = inFolder(srcParent.Get(), srcName), to = inFolder(dstDir, dstName);
        XpErr err = o.ui ? XpFileOperation::CopyFile(from, to, true, nullptr)
                         : XpFileOperation::CopyFileSafely(from, to, false, nullptr);
        if (err != XPERR_OK)
            xpfsReportFailure(self, operand, o.ui ? XpFileError(err, 0) : XpFileOperation::LastError());
        return err == XPERR_OK;
    }
    XpFileError err = tree.Copy(srcParent.Get(), srcName.c_str(), dstDir, dstName.c_str(), operand);
    if (err.Code() == XPERR_FILE_CANCELLED)
        xpfsReportFailure(self, operand, err);
    return err.IsOk();
}

// Moves one source operand into place.
bool moveOperand(const XpfsCommand& self, const char* operand, const Str& dst, bool intoFolder, const CopyOptions& o)
{
    Str src = absolutePath(operand);
    Str target = intoFolder ? XpPathUtil::Concatenate(dst, XpPathUtil::GetFileFullName(src)) : dst;
    XpErr err = XpFileOperation::MoveFile(src, target, o.ui, nullptr);
    if (err != XPERR_OK)
        xpfsReportFailure(self, operand, o.ui ? XpFileError(err, 0) : XpFileOperation::LastError());
    return err == XPERR_OK;
}

int copyOrMove(const XpfsCommand& self, int argc, char** argv, bool copy)
{
    CopyOptions o;
    int usage = XPFS_OK;
    int i = readOptions(self, argc, argv, copy, &o, &usage);
    if (i < 0)
        return usage;
    if (int tooFew = xpfsCheckOperands(self, argc - i, 2, -1))
        return tooFew;
    Destination d;
    if (int status = openDestination(self, argv[argc - 1], argc - i - 1, &d))
        return status;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onInterrupt;
    if (copy && o.progress)
        sigaction(SIGINT, &sa, nullptr);   // Ctrl-C becomes the observer's stop request
    CopyReport report(self, o.progress);
    XpTreeCopyOptions options;
    options.workers = o.progress ? 0 : -1;   // the bars follow one another as the files do
    options.progress = o.progress;
    XpTreeCopy tree(options, &report);
    int status = XPFS_OK;
    int k = i;
    for (; k < argc - 1 && !interrupted; ++k) {
        bool ok = copy ? copyOperand(self, argv[k], d, o, tree)
                       : moveOperand(self, argv[k], absolutePath(argv[argc - 1]), d.intoFolder, o);
        if (!ok)
            status = XPFS_FAILED;
    }
    if (!tree.Finish().IsOk())
        status = XPFS_FAILED;
    report.EndBar();
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
     "Copy files and whole folders, like cp -a (replacing a file at the destination in one step).",
     "  -p      show a progress bar (percent, bytes, rate, time left) for each file; Ctrl-C\n"
     "          stops, and the file under way is never put in place\n"
     "  --safe  copy a file by path, staged beside the destination (CopyFileSafely); the copy\n"
     "          is yours and has no set-id bits. A folder is copied as without --safe\n"
     "  --ui    hand the copy to the file-manager agent\n"
     "Owners are kept where you may give them (root), set-id bits only with the owner; links\n"
     "are made again as links, and a link found where a folder is expected is refused, never\n"
     "written through. A destination that is a link belonging to another user (not you, not\n"
     "root) is refused.",
     runCp},
    {"mv", nullptr, "[--ui] SRC... DST", "Move files and folders (across volumes: copy, then remove).",
     "  --ui    hand the move to the file-manager agent", runMv},
};
XpfsRegistration registration(kCommands, 2);

} // namespace


