// xpfs rm: removes files (removeFile); a symbolic link is removed as the link.
#include "xpfs.h"

#include <XpFileOperation.h>

#include <cstring>
#include <vector>

// rm -r, in copy.cpp.
int xpfsRemoveRecursively(const XpfsCommand& self, int argc, char** argv);

namespace {

// Each operand's volume is asked first, where the tool need not wait for it (volume.cpp): on a
// share that stopped answering the removal would otherwise hang the tool until the server is
// back.
int runRm(const XpfsCommand& self, int argc, char** argv)
{
    if (argc > 0 && std::strcmp(argv[0], "-r") == 0) {
        std::vector<char*> answering;
        int status = XPFS_OK;
        for (int i = 1; i < argc; ++i) {
            if (xpfsVolumeAnswers(argv[i])) {
                answering.push_back(argv[i]);
            } else {
                xpfsReportError(self, argv[i], XPERR_FILE_DEVICE_NOT_AVAILABLE);
                status = XPFS_FAILED;
            }
        }
        if (answering.empty() && argc > 1)
            return status;
        int removed = xpfsRemoveRecursively(self, static_cast<int>(answering.size()), answering.data());
        return removed != XPFS_OK ? removed : status;
    }
    return xpfsForEachOperand(self, argc, argv, [](const char* path) {
        if (!xpfsVolumeAnswers(path))
            return XPERR_FILE_DEVICE_NOT_AVAILABLE;
        return XpFileOperation::removeFile(XpStringT<char>(path));
    });
}

const XpfsCommand kCommands[] = {
    {"rm", nullptr, "[-r] FILE...", "Remove files (a link is removed, not what it points to); -r: folders with everything in them.",
     "A volume that is not mounted, or a network volume that does not answer within a second,\n"
     "gives XPERR_FILE_DEVICE_NOT_AVAILABLE before anything is removed. -r never enters another\n"
     "volume mounted inside a folder: it stays, with the folders above it\n"
     "(XPERR_FILE_DIR_NOT_EMPTY).",
     runRm},
};
XpfsRegistration registration(kCommands, 1);

} // namespace
