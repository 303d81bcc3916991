// xpfs rmdir: removes empty folders (removeDir).
#include "xpfs.h"

#include <XpFileOperation.h>

namespace {

int runRmdir(const XpfsCommand& self, int argc, char** argv)
{
    return xpfsForEachOperand(self, argc, argv, [](const char* path) {
        return XpFileOperation::removeDir(XpStringT<char>(path));
    });
}

const XpfsCommand kCommands[] = {
    {"rmdir", nullptr, "DIR...", "Remove empty folders.", nullptr, runRmdir},
};
XpfsRegistration registration(kCommands, 1);

} // namespace
