// xpfs mkdir: makes folders, one level (MakeDir) or with -p every missing level
// (MakeDirRecursively, where a folder that exists already is fine, as with mkdir -p).
#include "xpfs.h"

#include <XpFileOperation.h>
#include <XpPathUtil.h>

#include <cstring>
#include <unistd.h>

namespace {

int runMkdir(const XpfsCommand& self, int argc, char** argv)
{
    bool parents = argc > 0 && std::strcmp(argv[0], "-p") == 0;
    if (parents)
        ++argv, --argc;
    return xpfsForEachOperand(self, argc, argv, [parents](const char* operand) {
        // Asked where the tool need not wait for it (volume.cpp): a share that stopped answering
        // is reported instead of hanging the tool until its server is back.
        if (!xpfsVolumeAnswers(operand))
            return XPERR_FILE_DEVICE_NOT_AVAILABLE;
        XpStringT<char> path(operand);
        if (!parents)
            return XpFileOperation::MakeDir(path);
        char cwd[4096];   // the library makes chains of absolute paths only
        if (operand[0] != '/' && getcwd(cwd, sizeof cwd) != nullptr)
            path = XpPathUtil::Concatenate(XpStringT<char>(cwd), path);
        XpErr err = XpFileOperation::MakeDirRecursively(path);
        return err == XPERR_FILE_EXISTS && XpFileOperation::IsDirAvailable(path) ? XPERR_OK : err;
    });
}

const XpfsCommand kCommands[] = {
    {"mkdir", nullptr, "[-p] DIR...", "Make folders (-p: with every missing parent).",
     "A volume that is not mounted, or a network volume that does not answer within a second,\n"
     "gives XPERR_FILE_DEVICE_NOT_AVAILABLE before anything is made.",
     runMkdir},
};
XpfsRegistration registration(kCommands, 1);

} // namespace
