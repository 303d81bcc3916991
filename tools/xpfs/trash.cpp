// xpfs trash: moves files and folders to the freedesktop.org trash (removeFileToRecycleBin).
#include "xpfs.h"

#include <XpFileOperation.h>

namespace {

int runTrash(const XpfsCommand& self, int argc, char** argv)
{
    return xpfsForEachOperand(self, argc, argv, [](const char* path) {
        return XpFileOperation::removeFileToRecycleBin(XpStringT<char>(path));
    });
}

const XpfsCommand kCommands[] = {
    {"trash", nullptr, "PATH...", "Move to the trash (a link is trashed as the link).",
     "Items of another mount go to that mount's own trash folder; see 'gio trash --list'.", runTrash},
};
XpfsRegistration registration(kCommands, 1);

} // namespace
