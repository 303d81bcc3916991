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
    if (int usage = xpfsCheckOperands(self, argc, 1, -1))
        return usage;
    int status = XPFS_OK;
    for (int i = 0; i < argc; ++i) {
        XpStringT<char> path(argv[i]);
        XpErr err;
        if (parents) {
            char cwd[4096];   // the library makes chains of absolute paths only
            if (argv[i][0] != '/' && getcwd(cwd, sizeof cwd) != nullptr)
                path = XpPathUtil::Concatenate(XpStringT<char>(cwd), path);
            err = XpFileOperation::MakeDirRecursively(path);
            if (err == XPERR_FILE_EXISTS && XpFileOperation::IsDirAvailable(path))
                err = XPERR_OK;
        } else {
            err = XpFileOperation::MakeDir(path);
        }
        if (err != XPERR_OK) {
            xpfsReportError(self, argv[i], err);
            status = XPFS_FAILED;
        }
    }
    return status;
}

const XpfsCommand kCommands[] = {
    {"mkdir", nullptr, "[-p] DIR...", "Make folders (-p: with every missing parent).",
     "A volume that is not mounted, or a network volume that does not answer within a second,\n"
     "gives XPERR_FILE_DEVICE_NOT_AVAILABLE before anything is made.",
     runMkdir},
};
XpfsRegistration registration(kCommands, 1);

} // namespace
