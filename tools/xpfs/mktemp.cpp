// xpfs mktemp: creates an empty file with the first free numbered name (CreateTempFile).
#include "xpfs.h"

#include <XpFileOperation.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int runMktemp(const XpfsCommand& self, int argc, char** argv)
{
    unsigned long digits = 8;
    if (argc >= 2 && std::strcmp(argv[0], "--digits") == 0) {
        char* end = nullptr;
        digits = std::strtoul(argv[1], &end, 10);
        if (*argv[1] == '\0' || *end != '\0' || digits == 0 || digits > 10)
            return xpfsUsageError(self, "--digits wants a number from 1 to 10");
        argv += 2, argc -= 2;
    }
    if (int usage = xpfsCheckOperands(self, argc, 1, 1))
        return usage;
    // The library tries every number before it gives up in a folder that takes no file: ask
    // first, so that the tool answers at once.
    XpFd alias;   // a folder whose name is not UTF-8 is reached through its descriptor
    const std::string reachable = xpfsLibraryPath(argv[0], alias);
    XpStringT<char> folder(reachable.c_str());
    XpErr refusal = !XpFileOperation::IsDirAvailable(folder) ? XPERR_FILE_PATH_NOT_FOUND
                    : !XpFileOperation::IsDirWritable(folder) ? XPERR_FILE_ACCESS_DENIED
                                                               : XPERR_OK;
    XpStringT<char> made;
    if (refusal == XPERR_OK)
        made = XpFileOperation::CreateTempFile(folder, "", static_cast<unsigned int>(digits), "", ".tmp");
    if (made.IsEmpty()) {
        xpfsReportError(self, argv[0], refusal != XPERR_OK ? refusal : XPERR_FILE_FAILED);
        return XPFS_FAILED;
    }
    // Told by the folder's own name, not by the alias it was reached through.
    std::string shown = made.GetBuffer();
    if (reachable != argv[0]) {
        std::string rest = shown.substr(reachable.size()), named = argv[0];
        if (!named.empty() && named.back() == '/' && !rest.empty() && rest[0] == '/')
            rest.erase(0, 1);
        shown = named + rest;
    }
    std::printf("%s\n", shown.c_str());
    return XPFS_OK;
}

const XpfsCommand kCommands[] = {
    {"mktemp", nullptr, "[--digits N] DIR", "Create DIR/00000000.tmp or the next free number; print it.",
     "N digits (default 8), zero-padded; created exclusively, so no two callers get one name.",
     runMktemp},
};
XpfsRegistration registration(kCommands, 1);

} // namespace
