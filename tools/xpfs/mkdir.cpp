// xpfs mkdir: makes folders, one level (MakeDir) or with -p every missing level (MakeDirChain,
// level by level from descriptors, so a path longer than PATH_MAX works and a folder that exists
// already is fine, as with mkdir -p).
#include "xpfs.h"

#include <XpFileOperation.h>

#include <cstring>

namespace {

int runMkdir(const XpfsCommand& self, int argc, char** argv)
{
    bool parents = argc > 0 && std::strcmp(argv[0], "-p") == 0;
    if (parents)
        ++argv, --argc;
    if (!parents)
        return xpfsForEachOperand(self, argc, argv, [](const char* operand) {
            // Asked where the tool need not wait for it (volume.cpp): a share that stopped
            // answering is reported instead of hanging the tool until its server is back.
            if (!xpfsVolumeAnswers(operand))
                return XPERR_FILE_DEVICE_NOT_AVAILABLE;
            return XpFileOperation::MakeDir(XpStringT<char>(operand));
        });
    if (int usage = xpfsCheckOperands(self, argc, 1, -1))
        return usage;
    int status = XPFS_OK;
    for (int i = 0; i < argc; ++i) {
        if (!xpfsVolumeAnswers(argv[i])) {
            xpfsReportError(self, argv[i], XPERR_FILE_DEVICE_NOT_AVAILABLE);
            status = XPFS_FAILED;
            continue;
        }
        XpFileError err = XpFileOperation::MakeDirChain(XpStringT<char>(argv[i]));
        if (!err.IsOk()) {
            xpfsReportFailure(self, argv[i], err);
            status = XPFS_FAILED;
        }
    }
    return status;
}

const XpfsCommand kCommands[] = {
    {"mkdir", nullptr, "[-p] DIR...", "Make folders (-p: with every missing parent).",
     "A volume that is not mounted, or a network volume that does not answer within a second,\n"
     "gives XPERR_FILE_DEVICE_NOT_AVAILABLE before anything is made. With -p a symbolic link on\n"
     "the way is followed only when it belongs to the owner of its folder or to the caller.",
     runMkdir},
};
XpfsRegistration registration(kCommands, 1);

} // namespace
