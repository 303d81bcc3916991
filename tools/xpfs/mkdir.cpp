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
// separated by commas. False for anything else.
bool parseMode(const char* text, mode_t umaskValue, mode_t* mode)
{
    if (text[0] >= '0' && text[0] <= '7') {
        char* end = nullptr;
        unsigned long value = std::strtoul(text, &end, 8);
        if (*end != '\0' || value > 07777)
            return false;
        *mode = static_cast<mode_t>(value);
        return true;
    }
    mode_t m = 0777;
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
            bits &= who;
            if (op == '+')
                m |= bits;
            else if (op == '-')
                m &= ~bits;
            else   // '=': the classes named (all, without a who) lose what is not given
                m = (m & ~(whoGiven ? who : mode_t(07777))) | bits;
        }
        if (*p == '\0')
            break;
        if (*p++ != ',')
            return false;
    }
    *mode = m;
    return true;
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
        if (!parseMode(mode, mask, &o.mode))
            return xpfsUsageError(self, xpfsFormat(_("invalid mode %s"), xpfsQuote(mode).c_str()));
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
