// xpfs trash: moves files and folders to the freedesktop.org trash (removeFileToRecycleBin).
#include "xpfs.h"

#include <XpFileOperation.h>

#include <sys/stat.h>

#include <cerrno>
#include <string>

namespace {

const XpfsOption kOptions[] = {
    {0, nullptr, nullptr, nullptr},
};

int runTrash(const XpfsCommand& self, XpfsArgs& args)
{
    if (int usage = xpfsCheckOperands(self, args.Count(), 1, -1))
        return usage;
    int status = XPFS_OK;
    for (const char* operand : args.operands) {
        std::string what = xpfsFormat(_("cannot move %s to the trash"), xpfsQuote(operand).c_str());
        // The library makes the user's trash folder before it looks at the item; a name that
        // does not exist is refused here first, so that a mistyped name leaves no trash behind.
        struct stat st;
        if (lstat(operand, &st) != 0) {
            xpfsMessageErrno(what, errno);
            status = XPFS_FAILED;
            continue;
        }
        if (XpErr err = XpFileOperation::removeFileToRecycleBin(XpStringT<char>(operand))) {
            // The trash keeps no system cause: its code is the reason given.
            xpfsMessageCause(what, XpFileError(err, 0));
            status = XPFS_FAILED;
        }
    }
    return status;
}

const XpfsCommand kCommands[] = {
    {"trash", nullptr, N_("PATH..."), N_("Move to the trash (a link is trashed as the link)."),
     N_("Items of another mount go to that mount's own trash folder; see 'gio trash --list'.\n"
        "A PATH that does not exist is reported and nothing is made."),
     nullptr, kOptions, runTrash},
};
XpfsRegistration registration(kCommands, 1);

} // namespace
