// xpfs rm: removes files (removeFile); a symbolic link is removed as the link.
#include "xpfs.h"

#include <XpFileOperation.h>

#include <cstring>

// rm -r, in copy.cpp.
int xpfsRemoveRecursively(const XpfsCommand& self, int argc, char** argv);

namespace {

int runRm(const XpfsCommand& self, int argc, char** argv)
{
    if (argc > 0 && std::strcmp(argv[0], "-r") == 0)
        return xpfsRemoveRecursively(self, argc - 1, argv + 1);
    return xpfsForEachOperand(self, argc, argv, [](const char* path) {
        return XpFileOperation::removeFile(XpStringT<char>(path));
    });
}

const XpfsCommand kCommands[] = {
    {"rm", nullptr, "[-r] FILE...", "Remove files (a link is removed, not what it points to); -r: folders with everything in them.", nullptr, runRm},
};
XpfsRegistration registration(kCommands, 1);

} // namespace
