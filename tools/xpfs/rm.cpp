// xpfs rm: removes files (removeFile); a symbolic link is removed as the link.
#include "xpfs.h"

#include <XpFileOperation.h>

namespace {

int runRm(const XpfsCommand& self, int argc, char** argv)
{
    if (int usage = xpfsCheckOperands(self, argc, 1, -1))
        return usage;
    int status = XPFS_OK;
    for (int i = 0; i < argc; ++i) {
        XpErr err = XpFileOperation::removeFile(XpStringT<char>(argv[i]));
        if (err != XPERR_OK) {
            xpfsReportError(self, argv[i], err);
            status = XPFS_FAILED;
        }
    }
    return status;
}

const XpfsCommand kCommands[] = {
    {"rm", nullptr, "FILE...", "remove files (a link is removed, not what it points to)", nullptr, runRm},
};
XpfsRegistration registration(kCommands, 1);

} // namespace
