// xpfs rename: moves one file, link or folder to a new path (RenameFile), across volumes too,
// never over anything that is there.
#include "xpfs.h"

#include <XpFileOperation.h>

#include <sys/stat.h>

#include <cerrno>

namespace {

const XpfsOption kOptions[] = {
    {0, nullptr, nullptr, nullptr},
};

int runRename(const XpfsCommand& self, XpfsArgs& args)
{
    if (args.Count() < 2)
        return xpfsUsageError(self, _("missing operand"));
    if (args.Count() > 2)
        return xpfsUsageError(self, xpfsFormat(_("extra operand %s"), xpfsQuote(args.operands[2]).c_str()));
    const char* from = args.operands[0];
    const char* to = args.operands[1];
    // RenameFile refuses a missing FROM and a taken TO with one code: tell them apart here, by
    // what the system says of each.
    struct stat st;
    if (lstat(from, &st) != 0) {
        xpfsMessageErrno(xpfsFormat(_("cannot stat %s"), xpfsQuote(from).c_str()), errno);
        return XPFS_FAILED;
    }
    std::string what = xpfsFormat(_("cannot move %s to %s"), xpfsQuote(from).c_str(), xpfsQuote(to).c_str());
    if (lstat(to, &st) == 0) {
        xpfsMessageErrno(what, EEXIST);
        return XPFS_FAILED;
    }
    XpErr err = XpFileOperation::RenameFile(from, to);
    if (err == XPERR_OK)
        return XPFS_OK;
    // The library keeps no cause of a rename: its code is all there is to say.
    xpfsMessageCause(what, XpFileError(err, 0));
    return XPFS_FAILED;
}

const XpfsCommand kCommands[] = {
    {"rename", nullptr, N_("FROM TO"), N_("Move FROM to TO, which must not exist."),
     N_("Across volumes the item is copied beside TO, put in place when complete, then removed\n"
        "from FROM."),
     nullptr, kOptions, runRename},
};
XpfsRegistration registration(kCommands, 1);

} // namespace
