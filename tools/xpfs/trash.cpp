// xpfs trash: moves files and folders to the freedesktop.org trash (removeFileToRecycleBin).
#include "xpfs.h"

#include <XpFileOperation.h>

#include <sys/stat.h>

namespace {

int runTrash(const XpfsCommand& self, int argc, char** argv)
{
    return xpfsForEachOperand(self, argc, argv, [](const char* path) {
        // The library makes the user's trash folder before it looks at the item; a name that
        // does not exist is refused here first, so that a mistyped name leaves no trash behind.
        struct stat st;
        if (lstat(path, &st) != 0)
            return XPERR_FILE_NOT_FOUND;
        return XpFileOperation::removeFileToRecycleBin(XpStringT<char>(path));
    });
}

const XpfsCommand kCommands[] = {
    {"trash", nullptr, "PATH...", "Move to the trash (a link is trashed as the link).",
     "Items of another mount go to that mount's own trash folder; see 'gio trash --list'.\n"
     "A PATH that does not exist is reported (XPERR_FILE_NOT_FOUND) and nothing is made.", runTrash},
};
XpfsRegistration registration(kCommands, 1);

} // namespace
