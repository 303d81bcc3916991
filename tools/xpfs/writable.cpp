// xpfs writable: whether a file can be created in a folder (IsDirWritable), "yes" or "no".
#include "xpfs.h"

#include <XpFileOperation.h>

#include <cstdio>

namespace {

int runWritable(const XpfsCommand& self, int argc, char** argv)
{
    if (int usage = xpfsCheckOperands(self, argc, 1, 1))
        return usage;
    XpFd alias;   // a folder whose name is not UTF-8 is reached through its descriptor
    const std::string folder = xpfsLibraryPath(argv[0], alias);
    std::printf("%s\n", !folder.empty() && XpFileOperation::IsDirWritable(XpStringT<char>(folder.c_str())) ? "yes" : "no");
    return XPFS_OK;
}

const XpfsCommand kCommands[] = {
    {"writable", nullptr, "DIR", "Print yes when a file can be created in DIR, else no.",
     "Creates and removes a hidden probe file .00000000.tmp (or the next free number).", runWritable},
};
XpfsRegistration registration(kCommands, 1);

} // namespace
