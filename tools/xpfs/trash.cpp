// xpfs trash: moves files and folders to the freedesktop.org trash (removeFileToRecycleBin).
#include "xpfs.h"

#include <XpFileOperation.h>

namespace {

int runTrash(const XpfsCommand& self, int argc, char** argv)
{
    if (int usage = xpfsCheckOperands(self, argc, 1, -1))
        return usage;
    int status = XPFS_OK;
    for (int i = 0; i < argc; ++i) {
        XpErr err = XpFileOperation::removeFileToRecycleBin(XpStringT<char>(argv[i]));
        if (err != XPERR_OK) {
            xpfsReportError(self, argv[i], err);
            status = XPFS_FAILED;
        }
    }
    return status;
}

const XpfsCommand kCommands[] = {
    {"trash", nullptr, "PATH...", "Move to the trash (a link is trashed as the link).",
     "Items of another mount go to that mount's own trash folder; see 'gio trash --list'.", runTrash},
};
XpfsRegistration registration(kCommands, 1);

} // namespace
