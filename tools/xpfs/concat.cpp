// xpfs concat: joins files into one (ConcatenateFiles).
#include "xpfs.h"

#include <XpFileOperation.h>

#include <cstring>
#include <vector>

namespace {

int runConcat(const XpfsCommand& self, int argc, char** argv)
{
    if (argc < 2 || std::strcmp(argv[0], "-o") != 0)
        return xpfsUsageError(self, "expected -o OUT");
    if (int usage = xpfsCheckOperands(self, argc - 2, 1, -1))
        return usage;
    std::vector<XpStringT<char> > inputs(argv + 2, argv + argc);
    XpErr err = XpFileOperation::ConcatenateFiles(inputs, XpStringT<char>(argv[1]), nullptr);
    if (err == XPERR_OK)
        return XPFS_OK;
    xpfsReportError(self, argv[1], err);
    return XPFS_FAILED;
}

const XpfsCommand kCommands[] = {
    {"concat", nullptr, "-o OUT IN...", "Write the inputs one after another into OUT.",
     "OUT is created or truncated; on failure it keeps what was written.", runConcat},
};
XpfsRegistration registration(kCommands, 1);

} // namespace
