// xpfs cp and mv: the library's tree copy and moves, with the options of cp and mv and a
// progress bar drawn from the progress observer. This file only reads the command line, finds
// the operands, asks and draws; every rule of copying is the library's.
//
// How cp treats its operands:
// - Several sources, or a destination that is an existing folder (or -t DIR): each source goes
//   into that folder under its own name. Otherwise (or with -T) the one source is copied to the
//   destination path.
// - Every operand, file, link or folder, is copied by the library's tree copy (XpTreeCopy): -r,
//   -R are accepted and change nothing. Links are made again as links, never followed; a link
//   found where a folder is expected is refused, never written through; FIFOs, devices and
//   sockets are reported and skipped. The copy goes on after a failed entry and exits with
//   status 1. Failures name the entry and the system's reason.
// - Attributes as cp gives them: without -p the copies are the caller's, new ones with the
//   source's permission bits less the umask and the set-id bits, dated when written; a replaced
//   file and a folder that was there keep their mode. -p (--preserve=mode,ownership,timestamps)
//   and -a keep them: the owner where the caller may give it (root), set-id bits only with the
//   owner, mode and dates.
// - Names that are taken: replaced (-f, the default), kept (-n), replaced by a newer source only
//   (-u), or as the user answers on the terminal (-i; no terminal: kept, and said). Folders are
//   merged, never replaced.
// - --progress draws a bar per file on a terminal (stderr), copying file by file in the walk's
//   order; on anything else nothing is drawn (with -v one line at the end).
// - Ctrl-C stops the copy or the move: the file under way is never put in place (the library
//   stages every file), and the tool ends by SIGINT, as a shell expects of an interrupted
//   program.
// - --safe copies a file operand by the copy by paths (CopyFileSafely): the copy is the caller's
//   (as cp without -p makes it), with the source's permission bits but never set-id bits. A
//   folder operand is copied by the tree copy as without --safe.
// - --ui hands each operand to the file-manager agent.
// - "cp a a", a copy onto another name of the same file, and a folder copied into itself are
//   refused before anything is written.
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
#include <functional>
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

// The options of cp and mv.
enum {
    OPT_PRESERVE = XPFS_LONG_ONLY,
    OPT_PROGRESS,
    OPT_SAFE,
    OPT_UI,
};

const XpfsOption kCpOptions[] = {
    {'a', "archive", nullptr, N_("the same as -r -p")},
    {'f', "force", nullptr, N_("replace what is there (the default); cancels -i and -n")},
    {'i', "interactive", nullptr, N_("ask on the terminal before replacing anything")},
    {'n', "no-clobber", nullptr, N_("never replace anything")},
    {'p', nullptr, nullptr, N_("the same as --preserve=mode,ownership,timestamps")},
    {OPT_PRESERVE, "preserve", N_("LIST"), N_("keep these of the source: mode, ownership, timestamps,\nall (the default)"), true},
    {OPT_PROGRESS, "progress", nullptr, N_("show a progress bar on the terminal (percent, bytes,\nrate, time left)")},
    {'r', "recursive", nullptr, N_("accepted: folders are copied with all they hold anyway")},
    {'R', nullptr, nullptr, N_("the same as -r")},
    {OPT_SAFE, "safe", nullptr, N_("copy a file by path, staged beside the destination; the\ncopy is yours and has no set-id bits")},
    {'t', "target-directory", N_("DIR"), N_("copy every SOURCE into DIR")},
    {'T', "no-target-directory", nullptr, N_("treat DEST as a name, never as a folder to copy into")},
    {'u', "update", nullptr, N_("replace only what is older than its source")},
    {OPT_UI, "ui", nullptr, N_("hand the copy to the file-manager agent")},
    {'v', "verbose", nullptr, N_("tell each entry copied")},
    {0, nullptr, nullptr, nullptr},
};

const XpfsOption kMvOptions[] = {
    {'f', "force", nullptr, N_("replace what is there (the default); cancels -i and -n")},
    {'i', "interactive", nullptr, N_("ask on the terminal before replacing anything")},
    {'n', "no-clobber", nullptr, N_("never replace anything")},
    {'t', "target-directory", N_("DIR"), N_("move every SOURCE into DIR")},
    {'T', "no-target-directory", nullptr, N_("treat DEST as a name, never as a folder to move into")},
    {'u', "update", nullptr, N_("replace only what is older than its source")},
    {OPT_UI, "ui", nullptr, N_("hand the move to the file-manager agent")},
    {'v', "verbose", nullptr, N_("tell each move")},
    {0, nullptr, nullptr, nullptr},
};

struct CopyOptions {
    bool copy = true;
    bool progress = false, safe = false, ui = false, verbose = false;
    bool noTargetDirectory = false;
    const char* targetDirectory = nullptr;
    int taken = 'f';   // 'f' replace, 'n' keep, 'i' ask
    bool update = false;
    bool keepMode = false, keepOwner = false, keepTimes = false;
};

// Reads --preserve's list into o; false for an attribute this copy does not know.
bool readPreserve(const char* list, CopyOptions* o)
{
    std::string all = list ? list : "all";
    size_t from = 0;
    for (;;) {
        size_t comma = all.find(',', from);
        std::string a = all.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
        if (a == "mode")
            o->keepMode = true;
        else if (a == "ownership")
            o->keepOwner = true;
        else if (a == "timestamps")
            o->keepTimes = true;
        else if (a == "all")
            o->keepMode = o->keepOwner = o->keepTimes = true;
        else
            return false;
        if (comma == std::string::npos)
            return true;
        from = comma + 1;
    }
}

// The operand with the slashes at its end dropped ("/" stays), as messages show a path below it.
std::string trimmed(const char* operand)
{
    std::string p(operand);
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    return p;
}

// Where the sources go: the destination operand's folder and name, and the destination folder
// itself when the sources go into it.
struct Destination {
    XpFd parent, folder;
    std::string name;
    std::string shown;   // the destination operand as messages show it
    bool intoFolder = false;
};

// One source on its way: its folder, name, what it is, and where it goes.
struct Source {
    const char* operand;
    XpFd parent;
    std::string name;
    struct stat st;
    int dstDir;
    std::string dstName, dstShown;
    bool keptFolder = false;   // -n, and a folder where this non-folder would go: nothing to do
};

// The tool's state while it copies: options, what it was told, and the Ctrl-C.
class CopyRun : public IXpTreeCopyObserver {
public:
    explicit CopyRun(const CopyOptions& o) : o_(o), drawing_(o.progress && isatty(STDERR_FILENO)) {}

    bool Drawing() const { return drawing_; }
    int Status() const { return status_; }
    void Failed() { status_ = XPFS_FAILED; }
    int64_t Copied() const { return copied_; }
    int64_t CopiedBytes() const { return bytes_; }

    // The operand under way: its source path (as failures name it) and destination path.
    void Start(const Source& s)
    {
        srcShown_ = s.operand;
        dstShown_ = s.dstShown;
    }
    std::string DestinationOf(const char* shown) const
    {
        std::string src(shown);
        return src.compare(0, srcShown_.size(), srcShown_) == 0 ? dstShown_ + src.substr(srcShown_.size()) : src;
    }

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
        status_ = XPFS_FAILED;
        std::string src = error.Path().GetBuffer();
        std::string shown = xpfsQuote(src.c_str());
        const char* op = error.Operation();
        if (error.Code() == XPERR_FILE_NOT_SUPPORTED)
            xpfsMessage(xpfsFormat(_("skipping %s: not a regular file, folder or link"), shown.c_str()));
        else if (std::strcmp(op, "openat") == 0 && (error.SysErr() == ENOTDIR || error.SysErr() == ELOOP) &&
                 error.Code() == XPERR_FILE_MAKE_DIR_FAILED)
            xpfsMessage(xpfsFormat(_("cannot copy into %s: not a folder (a link is never followed)"),
                                   xpfsQuote(DestinationOf(src.c_str()).c_str()).c_str()));
        else if (error.Code() == XPERR_FILE_NOT_FOUND || std::strcmp(op, "opendir") == 0 ||
                 std::strcmp(op, "readlinkat") == 0 || (std::strcmp(op, "openat") == 0 && error.Code() == XPERR_FILE_COPY_FAILED))
            xpfsMessageCause(xpfsFormat(_("cannot read %s"), shown.c_str()), error);
        else
            xpfsMessageCause(xpfsFormat(_("cannot write %s"), xpfsQuote(DestinationOf(src.c_str()).c_str()).c_str()), error);
    }
    // -v: "'a' -> 'b'" for each entry in place.
    void Placed(const char* shown)
    {
        ++copied_;
        struct stat st;
        if (lstat(DestinationOf(shown).c_str(), &st) == 0 && S_ISREG(st.st_mode))
            bytes_ += st.st_size;
        if (o_.verbose) {
            EndBar();
            std::printf("%s -> %s\n", xpfsQuote(shown).c_str(), xpfsQuote(DestinationOf(shown).c_str()).c_str());
        }
    }
    // -i: asks before the entry replaces what is at its destination.
    bool AskReplace(const char* shown)
    {
        EndBar();
        std::string dst = xpfsQuote(DestinationOf(shown).c_str());
        int yes = xpfsAskYes(xpfsFormat(_("overwrite %s? "), dst.c_str()));
        if (yes < 0) {
            xpfsMessage(xpfsFormat(_("not overwriting %s: no terminal to ask on"), dst.c_str()));
            status_ = XPFS_FAILED;
        }
        return yes == 1 && interrupted == 0;
    }
    void EndBar()
    {
        if (drawn_)
            bar_.Finish();
        drawn_ = false;
        current_.clear();
    }

private:
    const CopyOptions& o_;
    bool drawing_;
    ProgressBar bar_;
    std::string current_;
    bool drawn_ = false;
    std::string srcShown_, dstShown_;
    int status_ = XPFS_OK;
    int64_t copied_ = 0, bytes_ = 0;
};

// Opens the destination; XPFS_OK, or the status to end with (the failure reported).
int openDestination(const char* operand, int sources, const CopyOptions& o, Destination* d)
{
    bool refused = false;
    d->shown = trimmed(operand);
    int err = openOperand(absolutePath(operand), &d->parent, &d->name);
    if (err == 0 && !o.noTargetDirectory)
        d->folder = openDestinationFolder(d->parent.Get(), d->name, &refused);
    if (refused) {
        xpfsMessage(xpfsFormat(_("not following %s: a symbolic link that belongs to another user"), xpfsQuote(operand).c_str()));
        return XPFS_FAILED;
    }
    d->intoFolder = !o.noTargetDirectory && (sources > 1 || o.targetDirectory || d->folder.IsValid());
    if (d->intoFolder && !d->folder.IsValid()) {
        struct stat st;
        int cause = err != 0 ? err : fstatat(d->parent.Get(), d->name.c_str(), &st, 0) != 0 ? errno : ENOTDIR;
        xpfsMessageErrno(xpfsFormat(_("target %s"), xpfsQuote(operand).c_str()), cause);
        return XPFS_FAILED;
    }
    if (err != 0) {
        xpfsMessageErrno(xpfsFormat(o.copy ? _("cannot create %s") : _("cannot move to %s"), xpfsQuote(operand).c_str()), err);
        return XPFS_FAILED;
    }
    return XPFS_OK;
}

bool sameObject(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether the folder open at dir is the folder of src or lies below it (followed up by "..").
bool insideOf(int dir, const struct stat& src)
{
    XpFd at(dup(dir));
    for (int depth = 0; at.IsValid() && depth < 4096; ++depth) {
        struct stat here, up;
        if (fstat(at.Get(), &here) != 0)
            return false;
        if (sameObject(here, src))
            return true;
        XpFd parent(openat(at.Get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!parent.IsValid() || fstat(parent.Get(), &up) != 0 || sameObject(up, here))
            return false;   // the root
        at = std::move(parent);
    }
    return false;
}

// Finds the source operand and where it goes; false after a failure reported here.
bool openSource(const char* operand, const Destination& d, const CopyOptions& o, Source* s)
{
    s->operand = operand;
    int err = openOperand(absolutePath(operand), &s->parent, &s->name);
    if (err == 0 && fstatat(s->parent.Get(), s->name.c_str(), &s->st, AT_SYMLINK_NOFOLLOW) != 0)
        err = errno;
    if (err != 0) {
        xpfsMessageErrno(xpfsFormat(_("cannot stat %s"), xpfsQuote(operand).c_str()), err);
        return false;
    }
    s->dstDir = d.intoFolder ? d.folder.Get() : d.parent.Get();
    s->dstName = d.intoFolder ? s->name : d.name;
    s->dstShown = d.intoFolder ? (d.shown == "/" ? "/" : d.shown + "/") + s->name : d.shown;
    struct stat there;
    if (fstatat(s->dstDir, s->dstName.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 && sameObject(there, s->st)) {
        xpfsMessage(xpfsFormat(_("%s and %s are the same file"), xpfsQuote(operand).c_str(), xpfsQuote(s->dstShown.c_str()).c_str()));
        return false;
    }
    // A folder is never replaced by a file, link or anything else that is not a folder: said
    // here, before anything is copied or asked; -n leaves whatever is there, silently.
    if (!S_ISDIR(s->st.st_mode) && fstatat(s->dstDir, s->dstName.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(there.st_mode)) {
        if (o.taken == 'n') {
            s->keptFolder = true;
            return true;
        }
        xpfsMessage(xpfsFormat(_("cannot overwrite directory %s with non-directory"), xpfsQuote(s->dstShown.c_str()).c_str()));
        return false;
    }
    if (S_ISDIR(s->st.st_mode) && insideOf(s->dstDir, s->st)) {
        xpfsMessage(xpfsFormat(o.copy ? _("cannot copy a directory, %s, into itself, %s") : _("cannot move %s to a subdirectory of itself, %s"),
                               xpfsQuote(operand).c_str(), xpfsQuote(s->dstShown.c_str()).c_str()));
        return false;
    }
    return true;
}

// -n, -u and -i for an operand the tool moves or copies by paths itself: whether it may replace
// what is at its destination.
bool mayReplace(const Source& s, const CopyOptions& o, CopyRun& run)
{
    struct stat there;
    if (fstatat(s.dstDir, s.dstName.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0)
        return true;
    if (o.taken == 'n')
        return false;
    if (o.update && (s.st.st_mtim.tv_sec < there.st_mtim.tv_sec ||
                     (s.st.st_mtim.tv_sec == there.st_mtim.tv_sec && s.st.st_mtim.tv_nsec <= there.st_mtim.tv_nsec)))
        return false;
    return o.taken != 'i' || run.AskReplace(s.operand);
}

// Copies one source operand by paths (--safe for a file, --ui); false after a failure reported.
bool copyByPaths(const Source& s, const CopyOptions& o, CopyRun& run)
{
    if (!mayReplace(s, o, run))
        return true;
    Str from = inFolder(s.parent.Get(), s.name), to = inFolder(s.dstDir, s.dstName);
    XpErr err = o.ui ? XpFileOperation::CopyFile(from, to, true, nullptr) : XpFileOperation::CopyFileSafely(from, to, false, nullptr);
    if (err == XPERR_OK) {
        run.Placed(s.operand);
        return true;
    }
    std::string what = xpfsFormat(_("cannot copy %s to %s"), xpfsQuote(s.operand).c_str(), xpfsQuote(s.dstShown.c_str()).c_str());
    if (o.ui)
        xpfsMessage(what + ": " + _("the file-manager agent refused the copy"));
    else
        xpfsMessageCause(what, XpFileOperation::LastError());
    return false;
}

// Moves one source operand; false after a failure reported.
bool moveOperand(const Source& s, const CopyOptions& o, CopyRun& run)
{
    if (!mayReplace(s, o, run))
        return true;
    Str from = inFolder(s.parent.Get(), s.name), to = inFolder(s.dstDir, s.dstName);
    XpErr err = XpFileOperation::MoveFile(from, to, o.ui, nullptr);
    if (err == XPERR_OK) {
        if (o.verbose)
            std::printf(_("renamed %s -> %s\n"), xpfsQuote(s.operand).c_str(), xpfsQuote(s.dstShown.c_str()).c_str());
        return true;
    }
    std::string what = xpfsFormat(_("cannot move %s to %s"), xpfsQuote(s.operand).c_str(), xpfsQuote(s.dstShown.c_str()).c_str());
    if (o.ui)
        xpfsMessage(what + ": " + _("the file-manager agent refused the move"));
    else
        xpfsMessageCause(what, XpFileOperation::LastError());
    return false;
}

// The end of an interrupted run: the default action of SIGINT, so that the caller sees a
// program killed by Ctrl-C (status 130 in a shell), after everything was cleaned up.
[[noreturn]] void endByInterrupt()
{
    std::fflush(stdout);
    signal(SIGINT, SIG_DFL);
    raise(SIGINT);
    _exit(128 + SIGINT);   // SIGINT blocked by whoever started us
}

int copyOrMove(const XpfsCommand& self, XpfsArgs& args, bool copy)
{
    CopyOptions o;
    o.copy = copy;
    o.verbose = args.Has('v');
    o.ui = args.Has(OPT_UI);
    o.update = args.Has('u');
    o.noTargetDirectory = args.Has('T');
    o.targetDirectory = args.Value('t');
    int taken = args.Last({'f', 'i', 'n'});
    o.taken = taken == 0 ? 'f' : taken;
    if (copy) {
        o.progress = args.Has(OPT_PROGRESS);
        o.safe = args.Has(OPT_SAFE);
        if (args.Has('p') || args.Has('a'))
            o.keepMode = o.keepOwner = o.keepTimes = true;
        for (const auto& given : args.options)
            if (given.first == OPT_PRESERVE && !readPreserve(given.second, &o))
                return xpfsUsageError(self, xpfsFormat(_("invalid attribute list %s for --preserve"), xpfsQuote(given.second).c_str()));
    }
    if (o.targetDirectory && o.noTargetDirectory)
        return xpfsUsageError(self, _("cannot combine --target-directory (-t) and --no-target-directory (-T)"));
    std::vector<char*> sources = args.operands;
    const char* destination = o.targetDirectory;
    if (!destination) {
        if (sources.empty())
            return xpfsUsageError(self, _("missing file operand"));
        destination = sources.back();
        sources.pop_back();
    }
    if (sources.empty())
        return xpfsUsageError(self, xpfsFormat(_("missing destination file operand after %s"), xpfsQuote(destination).c_str()));
    if (o.noTargetDirectory && sources.size() > 1)
        return xpfsUsageError(self, xpfsFormat(_("extra operand %s"), xpfsQuote(destination).c_str()));

    Destination d;
    if (int status = openDestination(destination, static_cast<int>(sources.size()), o, &d))
        return status;
    // Ctrl-C becomes the observer's stop request, and the tool's end once the copy has stopped.
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onInterrupt;
    sigaction(SIGINT, &sa, nullptr);

    CopyRun run(o);
    XpTreeCopyOptions options;
    options.ownership = o.keepOwner ? XpTreeWriter::ownKept : XpTreeWriter::ownCaller;
    options.keepMode = o.keepMode;
    options.keepTimes = o.keepTimes;
    mode_t mask = umask(0);
    umask(mask);
    options.newModeMask = mask | S_ISUID | S_ISGID;
    options.existing = o.taken == 'n' ? XpTreeCopyOptions::existingKept
                       : o.update     ? XpTreeCopyOptions::existingReplacedWhenOlder
                                      : XpTreeCopyOptions::existingReplaced;
    if (o.taken == 'i')
        options.askReplace = [&run](const char* shown) { return run.AskReplace(shown); };
    // Told of each entry only where something is said of it (-v, and the last line of --progress
    // -v): a lock and a look at the copy per file that a plain cp does not pay for.
    if (o.verbose)
        options.placed = [&run](const char* shown) { run.Placed(shown); };
    // File by file in the walk's order where the output follows the files (a bar, -v, questions).
    options.workers = run.Drawing() || o.verbose || o.taken == 'i' ? 0 : -1;
    options.progress = true;   // so that Ctrl-C can stop the copy (no cost we could measure)
    XpTreeCopy tree(options, &run);
    for (size_t k = 0; k < sources.size() && !interrupted; ++k) {
        Source s;
        if (!openSource(sources[k], d, o, &s)) {
            run.Failed();
            continue;
        }
        if (s.keptFolder)
            continue;
        run.Start(s);
        bool ok;
        if (!copy)
            ok = moveOperand(s, o, run);
        else if (o.ui || (o.safe && S_ISREG(s.st.st_mode)))
            ok = copyByPaths(s, o, run);
        else   // each failed entry is reported to the run as it fails, and fails the run
            ok = (tree.Copy(s.parent.Get(), s.name.c_str(), s.dstDir, s.dstName.c_str(), s.operand), true);
        if (!ok)
            run.Failed();
    }
    tree.Finish();   // every failure was reported to the run as it happened
    run.EndBar();
    if (interrupted)
        endByInterrupt();
    if (o.progress && o.verbose && !run.Drawing())
        xpfsMessage(xpfsFormat(P_("copied %lld entry, %s", "copied %lld entries, %s", run.Copied()),
                               static_cast<long long>(run.Copied()), humanBytes(static_cast<double>(run.CopiedBytes())).c_str()));
    return run.Status();
}

int runCp(const XpfsCommand& self, XpfsArgs& args)
{
    return copyOrMove(self, args, true);
}

int runMv(const XpfsCommand& self, XpfsArgs& args)
{
    return copyOrMove(self, args, false);
}

const XpfsCommand kCommands[] = {
    {"cp", nullptr, N_("[OPTION]... SOURCE... DEST  or  -t DIR SOURCE..."),
     N_("Copy files and whole folders (replacing a file at the destination in one step)."),
     N_("Without -p the copies are yours, with the source's permission bits less your umask,\n"
        "dated now; -p and -a keep owner (where you may give it), mode and dates. Links are made\n"
        "again as links, and a link found where a folder is expected is refused, never written\n"
        "through. A destination that is a link belonging to another user (not you, not root) is\n"
        "refused. -p used to draw a progress bar: that is --progress now. Ctrl-C stops the copy;\n"
        "the file under way is never put in place."),
     nullptr, kCpOptions, runCp},
    {"mv", nullptr, N_("[OPTION]... SOURCE... DEST  or  -t DIR SOURCE..."),
     N_("Move files and folders (across volumes: copy, then remove)."), nullptr, nullptr, kMvOptions, runMv},
};
XpfsRegistration registration(kCommands, 2);

} // namespace
