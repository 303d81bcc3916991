// xpfs writable: whether a file can be created in a folder (IsDirWritable), "yes" or "no".
#include "xpfs.h"

#include <XpFileOperation.h>

#include <cstdio>
#include <string>

namespace {

const XpfsOption kOptions[] = {
    {0, nullptr, nullptr, nullptr},
};

int runWritable(const XpfsCommand& self, XpfsArgs& args)
{
    if (args.Count() != 1)
        return xpfsUsageError(self, args.Count() == 0 ? _("missing operand") : _("too many operands"));
    XpFd alias;   // a folder whose name is not UTF-8 is reached through its descriptor
    const std::string folder = xpfsLibraryPath(args.operands[0], alias);
    std::printf("%s\n", !folder.empty() && XpFileOperation::IsDirWritable(XpStringT<char>(folder.c_str())) ? "yes" : "no");
    return XPFS_OK;
}

const XpfsCommand kCommands[] = {
    {"writable", nullptr, N_("DIR"), N_("Print yes when a file can be created in DIR, else no."),
     N_("Creates and removes a hidden probe file .00000000.tmp (or the next free number)."), nullptr, kOptions,
     runWritable},
};
XpfsRegistration registration(kCommands, 1);

} // namespace
