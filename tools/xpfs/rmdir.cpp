// xpfs rmdir: removes empty folders (removeDir).
#include "xpfs.h"

#include <XpFileOperation.h>

namespace {

int runRmdir(const XpfsCommand& self, int argc, char** argv)
{
    if (int usage = xpfsCheckOperands(self, argc, 1, -1))
        return usage;
    int status = XPFS_OK;
    for (int i = 0; i < argc; ++i) {
        XpErr err = XpFileOperation::removeDir(XpStringT<char>(argv[i]));
        if (err != XPERR_OK) {
            xpfsReportError(self, argv[i], err);
            status = XPFS_FAILED;
        }
    }
    return status;
}

const XpfsCommand kCommands[] = {
    {"rmdir", nullptr, "DIR...", "Remove empty folders.", nullptr, runRmdir},
};
XpfsRegistration registration(kCommands, 1);

} // namespace
