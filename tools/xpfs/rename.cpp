// xpfs rename: moves one file, link or folder to a new path (RenameFile), across volumes too.
#include "xpfs.h"

#include <XpFileOperation.h>

namespace {

int runRename(const XpfsCommand& self, int argc, char** argv)
{
    if (int usage = xpfsCheckOperands(self, argc, 2, 2))
        return usage;
    XpErr err = XpFileOperation::RenameFile(argv[0], argv[1]);
    if (err == XPERR_OK)
        return XPFS_OK;
    xpfsReportError(self, argv[0], err);
    return XPFS_FAILED;
}

const XpfsCommand kCommands[] = {
    {"rename", nullptr, "FROM TO", "Move FROM to TO, which must not exist.",
     "Across volumes the item is copied beside TO, put in place when complete, then removed\n"
     "from FROM. XPERR_FILE_OPEN_FAILED: FROM is missing or something is at TO.",
     runRename},
};
XpfsRegistration registration(kCommands, 1);

} // namespace
