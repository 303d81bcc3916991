// xpfs rm: removes files (removeFile; a symbolic link is removed as the link) and with -r whole
// trees (RemoveDir, which never leaves the tree's own volume), with the options of rm.
//
// Choices:
// - -i asks before each operand; for a folder with -r once for the folder and all it holds (the
//   library removes a tree in one call and asks nothing on the way).
// - Without a terminal to ask on, -i and -I remove nothing they would have asked about, and say
//   so (status 1): an answer nobody could give is a no.
// - "/" is never removed recursively (--preserve-root is the only behaviour), nor are "." and "..".
// - Missing operands are a usage error (status 2), or nothing to do with -f.
#include "xpfs.h"

#include <XpFileOperation.h>

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

enum { OPT_ONE_FILE_SYSTEM = XPFS_LONG_ONLY, OPT_PRESERVE_ROOT };

const XpfsOption kOptions[] = {
    {'f', "force", nullptr, N_("ignore missing files, never ask")},
    {'i', nullptr, nullptr, N_("ask before every removal")},
    {'I', nullptr, nullptr, N_("ask once before removing more than three files, or\nrecursively")},
    {'r', "recursive", nullptr, N_("remove folders and everything in them")},
    {'R', nullptr, nullptr, N_("the same as -r")},
    {'v', "verbose", nullptr, N_("tell what is removed")},
    {OPT_ONE_FILE_SYSTEM, "one-file-system", nullptr,
     N_("accepted: a removal never enters another volume mounted\ninside the tree anyway")},
    {OPT_PRESERVE_ROOT, "preserve-root", nullptr, N_("never remove '/' (always the case)")},
    {0, nullptr, nullptr, nullptr},
};

struct RmOptions {
    bool force = false, recursive = false, verbose = false;
    int ask = 0;   // 0, 'i' or 'I'
};

// What the library's recursive removal reports: the entry under way (the one that failed when
// the removal stops), and with -v each entry once it is gone.
class Removal : public IXpFileOpProgressObserver {
public:
    explicit Removal(bool verbose) : verbose_(verbose) { totalCount = 1; }   // nonzero: no counting walk
    bool OnProgress(double) override
    {
        tellRemoved();
        current_ = currentPath.GetBuffer();
        struct stat st;
        currentIsDir_ = lstat(current_.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        doneBefore_ = doneCount;
        return false;
    }
    // The last entry, once the removal succeeded.
    void Finish() { tellRemoved(); }
    const std::string& Current() const { return current_; }

private:
    void tellRemoved()
    {
        if (verbose_ && !current_.empty() && doneCount > doneBefore_)
            std::printf(currentIsDir_ ? _("removed directory %s\n") : _("removed %s\n"), xpfsQuote(current_.c_str()).c_str());
        current_.clear();
    }
    bool verbose_;
    std::string current_;
    bool currentIsDir_ = false;
    int64_t doneBefore_ = 0;
};

const char* kindOf(const struct stat& st)
{
    if (S_ISDIR(st.st_mode))
        return _("directory");
    if (S_ISLNK(st.st_mode))
        return _("symbolic link");
    if (S_ISREG(st.st_mode))
        return st.st_size == 0 ? _("regular empty file") : _("regular file");
    return _("file");
}

// The reason of a failure without a system cause (the library's code), in words where there are.
void reportRemoval(const char* operand, const XpFileError& err)
{
    std::string what = xpfsFormat(_("cannot remove %s"), xpfsQuote(operand).c_str());
    if (err.SysErr() == 0 && err.Code() == XPERR_FILE_DEVICE_NOT_AVAILABLE)
        xpfsMessage(what + ": " + _("the volume is not available"));
    else
        xpfsMessageCause(what, err);
}

// "d/.." or ".": the last component names no entry of its own.
bool isDotOrDotDot(const char* operand)
{
    std::string p(operand);
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    std::string last = p.substr(p.rfind('/') == std::string::npos ? 0 : p.rfind('/') + 1);
    return last == "." || last == "..";
}

bool isRoot(const char* operand)
{
    char* real = realpath(operand, nullptr);
    bool root = real != nullptr && std::strcmp(real, "/") == 0;
    std::free(real);
    return root;
}

// Removes one operand; false after a failure (reported).
bool removeOperand(const char* operand, const RmOptions& o)
{
    // Asked first, where the tool need not wait for it (volume.cpp): on a share that stopped
    // answering even a look at the operand would hang the tool until its server is back.
    if (!xpfsVolumeAnswers(operand)) {
        reportRemoval(operand, XpFileError(XPERR_FILE_DEVICE_NOT_AVAILABLE, 0));
        return false;
    }
    struct stat st;
    if (lstat(operand, &st) != 0) {
        int err = errno;
        if (o.force && err == ENOENT)
            return true;
        reportRemoval(operand, XpFileError(XPERR_FILE_NOT_FOUND, err, "lstat", operand));
        return false;
    }
    bool tree = S_ISDIR(st.st_mode) && o.recursive;
    if (tree && isRoot(operand)) {
        xpfsMessage(xpfsFormat(_("it is dangerous to operate recursively on %s"), xpfsQuote(operand).c_str()));
        return false;
    }
    if (S_ISDIR(st.st_mode) && isDotOrDotDot(operand)) {
        xpfsMessage(xpfsFormat(_("refusing to remove '.' or '..' directory: skipping %s"), xpfsQuote(operand).c_str()));
        return false;
    }
    if (o.ask == 'i' && (tree || !S_ISDIR(st.st_mode))) {   // a folder without -r fails unasked
        std::string question = tree ? xpfsFormat(_("remove directory %s and everything in it? "), xpfsQuote(operand).c_str())
                                    : xpfsFormat(_("remove %s %s? "), kindOf(st), xpfsQuote(operand).c_str());
        int yes = xpfsAskYes(question);
        if (yes < 0) {
            xpfsMessage(xpfsFormat(_("not removing %s: no terminal to ask on"), xpfsQuote(operand).c_str()));
            return false;
        }
        if (yes == 0)
            return true;
    }
    XpStringT<char> path(operand);
    if (!tree) {
        if (XpFileOperation::removeFile(path) != XPERR_OK) {
            reportRemoval(operand, XpFileOperation::LastError());
            return false;
        }
        if (o.verbose)
            std::printf(_("removed %s\n"), xpfsQuote(operand).c_str());
        return true;
    }
    // Without -v the library removes the tree with several walkers at once, and a failure names
    // the tree with the system's reason; with -v one walk tells each entry, and a failure names
    // the entry under way.
    Removal removal(o.verbose);
    if (XpFileOperation::RemoveDir(path, true, o.verbose ? &removal : nullptr) != XPERR_OK) {
        const std::string& entry = removal.Current();
        reportRemoval(entry.empty() ? operand : entry.c_str(), XpFileOperation::LastError());
        return false;
    }
    removal.Finish();
    return true;
}

int runRm(const XpfsCommand& self, XpfsArgs& args)
{
    RmOptions o;
    o.force = args.Has('f');
    o.recursive = args.Has('r') || args.Has('R');
    o.verbose = args.Has('v');
    int last = args.Last({'f', 'i', 'I'});
    o.ask = last == 'f' ? 0 : last;
    if (args.Count() == 0)
        return o.force ? XPFS_OK : xpfsUsageError(self, _("missing operand"));
    if (o.ask == 'I' && (args.Count() > 3 || o.recursive)) {
        int n = args.Count();
        std::string question = o.recursive ? xpfsFormat(P_("remove %d argument recursively? ", "remove %d arguments recursively? ", n), n)
                                           : xpfsFormat(P_("remove %d argument? ", "remove %d arguments? ", n), n);
        int yes = xpfsAskYes(question);
        if (yes < 0) {
            xpfsMessage(_("nothing removed: no terminal to ask on"));
            return XPFS_FAILED;
        }
        if (yes == 0)
            return XPFS_OK;
    }
    int status = XPFS_OK;
    for (char* operand : args.operands)
        if (!removeOperand(operand, o))
            status = XPFS_FAILED;
    return status;
}

const XpfsCommand kCommands[] = {
    {"rm", nullptr, N_("[OPTION]... FILE..."),
     N_("Remove files (a link is removed, not what it points to); -r: folders with everything in them."),
     N_("A volume that is not mounted, or a network volume that does not answer within a second,\n"
        "is reported before anything on it is removed. -r never enters another volume mounted\n"
        "inside a folder: it stays, with the folders above it."),
     nullptr, kOptions, runRm},
};
XpfsRegistration registration(kCommands, 1);

} // namespace
