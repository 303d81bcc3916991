// xpfs mktemp: creates an empty file with the first free numbered name (CreateTempFile).
#include "xpfs.h"

#include <XpFileOperation.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

enum { OPT_DIGITS = XPFS_LONG_ONLY };

const XpfsOption kOptions[] = {
    {OPT_DIGITS, "digits", N_("N"), N_("N digits (1 to 10, default 8)")},
    {0, nullptr, nullptr, nullptr},
};

int runMktemp(const XpfsCommand& self, XpfsArgs& args)
{
    unsigned long digits = 8;
    if (const char* given = args.Value(OPT_DIGITS)) {
        char* end = nullptr;
        digits = std::strtoul(given, &end, 10);
        if (*given == '\0' || *end != '\0' || digits == 0 || digits > 10)
            return xpfsUsageError(self, _("--digits wants a number from 1 to 10"));
    }
    if (args.Count() != 1)
        return xpfsUsageError(self, args.Count() == 0 ? _("missing operand") : _("too many operands"));
    // The library tries every number before it gives up in a folder that takes no file: ask
    // first, so that the tool answers at once.
    const char* operand = args.operands[0];
    XpFd alias;   // a folder whose name is not UTF-8 is reached through its descriptor
    const std::string reachable = xpfsLibraryPath(operand, alias);
    XpStringT<char> folder(reachable.c_str());
    const char* refusal = !XpFileOperation::IsDirAvailable(folder)  ? _("not an existing folder")
                          : !XpFileOperation::IsDirWritable(folder) ? _("no file can be created there")
                                                                     : nullptr;
    XpStringT<char> made;
    if (refusal == nullptr)
        made = XpFileOperation::CreateTempFile(folder, "", static_cast<unsigned int>(digits), "", ".tmp");
    if (made.IsEmpty()) {
        std::string what = xpfsFormat(_("cannot create a temporary file in %s"), xpfsQuote(operand).c_str());
        if (refusal)
            xpfsMessage(what + ": " + refusal);
        else   // no cause kept by the library
            xpfsMessageCause(what, XpFileError(XPERR_FILE_FAILED, 0));
        return XPFS_FAILED;
    }
    // Told by the folder's own name, not by the alias it was reached through.
    std::string shown = made.GetBuffer();
    if (reachable != operand) {
        std::string rest = shown.substr(reachable.size()), named = operand;
        if (!named.empty() && named.back() == '/' && !rest.empty() && rest[0] == '/')
            rest.erase(0, 1);
        shown = named + rest;
    }
    std::printf("%s\n", shown.c_str());
    return XPFS_OK;
}

const XpfsCommand kCommands[] = {
    {"mktemp", nullptr, N_("[--digits N] DIR"), N_("Create DIR/00000000.tmp or the next free number; print it."),
     N_("N digits, zero-padded; created exclusively, so no two callers get one name."), nullptr, kOptions,
     runMktemp},
};
XpfsRegistration registration(kCommands, 1);

} // namespace
