// xpfs mkdir: makes folders with the library's MakeDir, one level, or with -p every missing level
// with MakeDirChain (level by level from descriptors, so paths longer than PATH_MAX work; a folder
// that exists already is then fine, as with mkdir -p), -m giving the last level's mode as chmod
// reads it (octal, or symbolic such as u+rwx,go-w), -v telling each folder made.
//
// A folder made with -m never has more permission than asked for, not even for a moment: it is
// made under a file-creation mask that allows no more than the mode, then given exactly the mode
// through a descriptor that follows no link. Parents made by -p get the usual mode.
#include "xpfs.h"

#include <XpFileOperation.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

const XpfsOption kOptions[] = {
    {'m', "mode", N_("MODE"), N_("give the folder MODE (as chmod reads it: 700, u+rwx,go-w),\nnot a=rwx less the umask")},
    {'p', "parents", nullptr, N_("make missing parents too; a folder already there is fine")},
    {'v', "verbose", nullptr, N_("tell each folder made")},
    {0, nullptr, nullptr, nullptr},
};

// The mode that text gives a new folder (start: a=rwx; "who" left out means a, less the umask),
// as chmod and mkdir -m read it: octal digits, or clauses [ugoa]*([-+=]([rwxXst]*|[ugo]))+
// separated by commas. *touched gets the bits the clauses set or cleared (all for octal). On a
// folder, set-user-ID and set-group-ID are left as they are unless a clause names them. False
// for anything else.
bool parseMode(const char* text, mode_t umaskValue, mode_t* mode, mode_t* touched)
{
    if (text[0] >= '0' && text[0] <= '7') {
        char* end = nullptr;
        unsigned long value = std::strtoul(text, &end, 8);
        if (*end != '\0' || value > 07777)
            return false;
        *mode = static_cast<mode_t>(value);
        *touched = 07777;
        return true;
    }
    mode_t m = 0777, changed = 0;
    const char* p = text;
    for (;;) {
        mode_t who = 0;
        for (; *p && std::strchr("ugoa", *p); ++p)
            who |= *p == 'u' ? 04700 : *p == 'g' ? 02070 : *p == 'o' ? 01007 : 07777;
        bool whoGiven = who != 0;
        if (!whoGiven)
            who = 07777 & ~umaskValue;
        if (*p != '+' && *p != '-' && *p != '=')
            return false;
        while (*p == '+' || *p == '-' || *p == '=') {
            char op = *p++;
            mode_t bits = 0;
            if (*p && std::strchr("ugo", *p)) {   // the bits another class has now
                mode_t from = *p == 'u' ? (m >> 6) & 7 : *p == 'g' ? (m >> 3) & 7 : m & 7;
                bits = from << 6 | from << 3 | from;
                ++p;
            } else {
                for (; *p && std::strchr("rwxXst", *p); ++p)
                    bits |= *p == 'r' ? 0444 : *p == 'w' ? 0222 : (*p == 'x' || *p == 'X') ? 0111 : *p == 's' ? 06000 : 01000;
            }
            // A folder's set-ID bits pass its group on to what is made in it: only a clause that
            // names them (g+s, u-s) changes them, never a plain a=rwx.
            mode_t keepIds = 06000 & ~(whoGiven ? who & bits : bits);
            bits &= who & ~keepIds;
            if (op == '+') {
                m |= bits;
                changed |= bits;
            } else if (op == '-') {
                m &= ~bits;
                changed |= bits;
            } else {   // '=': the classes named (all, without a who) lose what is not given
                mode_t kept = (whoGiven ? ~who : 0) | keepIds;
                m = (m & kept) | bits;
                changed |= 07777 & ~kept;
            }
        }
        if (*p == '\0')
            break;
        if (*p++ != ',')
            return false;
    }
    *mode = m;
    *touched = changed;
    return true;
}

// The mode mkdir -m gives a new folder for a parsed mode (and the bits its clauses touched), the
// way coreutils' mkdir -m leaves it, so that a command line moved between the two makes the same
// folder. Where the clauses touch a set-ID bit, or the mode has any of set-ID and sticky, that
// mkdir first makes the folder without write for group and others (a folder that gives its group
// on, or is shared with a sticky bit, is never writable by all before its mode is right), then
// corrects only the bits the clauses touched, and only when one of those is not yet right. So
// "+t" gives 1755 and "g-s" 755, while "a=rwx,+t" gives 1777 and "o+t,o+w" 1777.
mode_t modeForNewFolder(mode_t mode, mode_t touched)
{
    if ((mode & 07000) == 0 && (touched & 06000) == 0)
        return mode;
    if (mode & touched & 06022)   // a touched bit the careful first mode lacks: set them all
        return mode;
    return mode & ~mode_t(022);
}

void reportMake(const std::string& path, const XpFileError& err)
{
    std::string what = xpfsFormat(_("cannot create directory %s"), xpfsQuote(path.c_str()).c_str());
    if (err.SysErr() == 0 && err.Code() == XPERR_FILE_DEVICE_NOT_AVAILABLE)
        xpfsMessage(what + ": " + _("the volume is not available"));
    else
        xpfsMessageCause(what, err);
}

// Gives the folder just made at path exactly mode, through a descriptor: never through a link
// that replaced it meanwhile, and only a folder of ours.
int setMode(const std::string& path, mode_t mode)
{
    XpFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.IsValid())
        return errno;
    struct stat st;
    return fstat(fd.Get(), &st) != 0 ? errno : st.st_uid != geteuid() ? EPERM : fchmod(fd.Get(), mode) != 0 ? errno : 0;
}

struct MkdirOptions {
    bool parents = false, verbose = false, modeGiven = false;
    mode_t mode = 0;
};

// Makes one level; true when it was made (told with -v) or, where fine, was there already.
bool makeLevel(const std::string& path, bool last, const MkdirOptions& o)
{
    mode_t old = 0;
    if (last && o.modeGiven)
        old = umask(~o.mode & 0777);   // made with no more than the mode asks
    XpErr err = XpFileOperation::MakeDir(XpStringT<char>(path.c_str()));
    XpFileError cause = XpFileOperation::LastError();
    if (last && o.modeGiven)
        umask(old);
    if (err == XPERR_FILE_EXISTS && (o.parents || !last)) {
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            return true;
        if (!last)   // what stops the walk is that this level is no folder
            cause = XpFileError(err, ENOTDIR, "mkdir", path.c_str());
    }
    if (err != XPERR_OK) {
        reportMake(path, cause);
        return false;
    }
    if (last && o.modeGiven) {
        if (int e = setMode(path, o.mode)) {
            xpfsMessageErrno(xpfsFormat(_("cannot set the mode of %s"), xpfsQuote(path.c_str()).c_str()), e);
            return false;
        }
    }
    if (o.verbose)
        std::printf("xpfs: %s\n", xpfsFormat(_("created directory %s"), xpfsQuote(path.c_str()).c_str()).c_str());
    return true;
}

bool makeOperand(const char* operand, const MkdirOptions& o)
{
    // Asked where the tool need not wait for it (volume.cpp): a share that stopped answering is
    // reported instead of hanging the tool until its server is back.
    if (!xpfsVolumeAnswers(operand)) {
        reportMake(operand, XpFileError(XPERR_FILE_DEVICE_NOT_AVAILABLE, 0));
        return false;
    }
    if (o.parents) {
        XpFileError err = XpFileOperation::MakeDirChain(XpStringT<char>(operand), o.modeGiven ? int(o.mode) : -1,
                                                        [&](const char* made) {
            if (o.verbose)
                std::printf("xpfs: %s\n", xpfsFormat(_("created directory %s"), xpfsQuote(made).c_str()).c_str());
        });
        if (!err.IsOk())
            reportMake(err.Path().IsEmpty() ? std::string(operand) : std::string(err.Path().GetBuffer()), err);
        return err.IsOk();
    }
    return makeLevel(operand, true, o);
}

int runMkdir(const XpfsCommand& self, XpfsArgs& args)
{
    MkdirOptions o;
    o.parents = args.Has('p');
    o.verbose = args.Has('v');
    if (const char* mode = args.Value('m')) {
        mode_t mask = umask(0);
        umask(mask);
        mode_t touched = 0;
        if (!parseMode(mode, mask, &o.mode, &touched))
            return xpfsUsageError(self, xpfsFormat(_("invalid mode %s"), xpfsQuote(mode).c_str()));
        o.mode = modeForNewFolder(o.mode, touched);
        o.modeGiven = true;
    }
    if (args.Count() == 0)
        return xpfsUsageError(self, _("missing operand"));
    int status = XPFS_OK;
    for (char* operand : args.operands)
        if (!makeOperand(operand, o))
            status = XPFS_FAILED;
    return status;
}

const XpfsCommand kCommands[] = {
    {"mkdir", nullptr, N_("[OPTION]... DIR..."), N_("Make folders (-p: with every missing parent)."),
     N_("A volume that is not mounted, or a network volume that does not answer within a second,\n"
        "is reported before anything is made."),
     nullptr, kOptions, runMkdir},
};
XpfsRegistration registration(kCommands, 1);

} // namespace
