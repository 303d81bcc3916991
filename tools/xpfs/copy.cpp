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
// - A folder is copied as a whole tree, like cp -a: folders are made with MakeDir and get the
//   source's permission bits and modification date after their content, files are copied as
//   above, symbolic links are made again as links (never followed, so a tree copied as root
//   cannot pull in what a link points to outside it). FIFOs, devices and sockets are reported
//   and skipped. The copy goes on after a failed entry and exits with status 1.
#include "xpfs.h"

#include <XpDir.h>
#include <XpFile.h>
#include <XpFileOperation.h>
#include <XpPathUtil.h>

#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
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

// Copies one regular file to target as described at the top.
XpErr copyOneFile(const Str& source, const Str& target, const CopyOptions& o)
{
    if (o.ui)
        return XpFileOperation::CopyFile(source, target, true, nullptr);
    if (!o.progress)
        return o.safe ? XpFileOperation::CopyFileSafely(source, target, false, nullptr)
                      : XpFileOperation::CopyFile(source, target, false, nullptr);
    Str temp = XpFileOperation::CreateTempFile(XpPathUtil::GetFileDir(target), ".xpfs-", 8, "", ".tmp");
    if (temp.IsEmpty())
        return XPERR_FILE_FAILED;
    ProgressBar bar;
    bar.Start(XpPathUtil::GetFileFullName(source).GetBuffer(), XpFile::GetSize(source.GetBuffer()));
    XpErr err = XpFileOperation::CopyFile(XpSharedPtr<XpAbstractFile>(new XpFile(source)), temp, &bar);
    bar.Finish();
    if (err != XPERR_OK)
        return err;   // the stream copy removed the temporary
    err = XpFileOperation::MoveFile(temp, target, false, nullptr);
    if (err != XPERR_OK)
        XpFileOperation::removeFile(temp);
    return err;
}

bool copyTree(const XpfsCommand& self, const Str& source, const Str& target, const CopyOptions& o);

// Copies whatever source is (file, link, folder) to target; false after a reported failure.
bool copyEntry(const XpfsCommand& self, const Str& source, const Str& target, const CopyOptions& o)
{
    struct stat st;
    if (lstat(source.GetBuffer(), &st) != 0) {
        xpfsReportError(self, source.GetBuffer(), XPERR_FILE_NOT_FOUND);
        return false;
    }
    if (S_ISDIR(st.st_mode))
        return copyTree(self, source, target, o);
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> link(static_cast<size_t>(st.st_size) + 1);
        ssize_t n = readlink(source.GetBuffer(), link.data(), link.size());
        if (n < 0 || static_cast<size_t>(n) >= link.size() ||
            (link[static_cast<size_t>(n)] = 0, symlink(link.data(), target.GetBuffer()) != 0)) {
            xpfsReportError(self, source.GetBuffer(), XPERR_FILE_COPY_FAILED);
            return false;
        }
        return true;
    }
    if (!S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "xpfs: %s: %s: skipped: not a regular file\n", xpfsCommandName(self).c_str(),
                     source.GetBuffer());
        return false;
    }
    XpErr err = copyOneFile(source, target, o);
    if (err != XPERR_OK)
        xpfsReportError(self, source.GetBuffer(), err);
    return err == XPERR_OK;
}

bool copyTree(const XpfsCommand& self, const Str& source, const Str& target, const CopyOptions& o)
{
    XpErr err = XpFileOperation::MakeDir(target);
    if (err != XPERR_OK && !(err == XPERR_FILE_EXISTS && XpFileOperation::IsDirAvailable(target))) {
        xpfsReportError(self, target.GetBuffer(), err);
        return false;
    }
    XpDir dir(source);
    err = dir.StartEnum(XpAbstractDir::enumDirectories | XpAbstractDir::enumFiles, "");
    if (err != XPERR_OK) {
        xpfsReportError(self, source.GetBuffer(), err);
        return false;
    }
    bool ok = true;
    for (XpSharedPtr<XpAbstractFSObj> entry = dir.EnumNext(); entry && !interrupted; entry = dir.EnumNext()) {
        Str name = XpPathUtil::GetFileFullName(entry->GetIdentifier());
        ok = copyEntry(self, entry->GetIdentifier(), XpPathUtil::Concatenate(target, name), o) && ok;
    }
    dir.FinishEnum();
    struct stat st;
    XpDateTime modified;
    if (stat(source.GetBuffer(), &st) == 0)
        chmod(target.GetBuffer(), st.st_mode & 07777);   // best effort, like the dates below
    if (dir.GetDateTime(nullptr, &modified, nullptr) == XPERR_OK)
        XpDir(target).SetDateTime(nullptr, &modified, nullptr);
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
    bool intoFolder = XpFileOperation::IsDirAvailable(dst);
    if (argc - i > 2 && !intoFolder)
        return xpfsUsageError(self, std::string("target is not a folder: ") + argv[argc - 1]);
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onInterrupt;
    if (copy && o.progress)
        sigaction(SIGINT, &sa, nullptr);   // Ctrl-C becomes the observer's stop request
    int status = XPFS_OK;
    int k = i;
    for (; k < argc - 1 && !interrupted; ++k) {
        Str src = absolutePath(argv[k]);
        Str target = intoFolder ? XpPathUtil::Concatenate(dst, XpPathUtil::GetFileFullName(src)) : dst;
        bool ok;
        if (copy) {
            ok = copyEntry(self, src, target, o);
        } else {
            XpErr err = XpFileOperation::MoveFile(src, target, o.ui, nullptr);
            if (err != XPERR_OK)
                xpfsReportError(self, argv[k], err);
            ok = err == XPERR_OK;
        }
        if (!ok)
            status = XPFS_FAILED;
    }
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
     "A folder is copied as a whole tree (like cp -a); links are made again as links.",
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
