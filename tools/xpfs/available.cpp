// xpfs available: whether a path exists, giving up after a time-out on a network volume that
// does not answer (XpFileAvailableChecker); "yes" or "no".
#include "xpfs.h"

#include <XpFileAvailableChecker.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

enum { OPT_TIMEOUT = XPFS_LONG_ONLY, OPT_DIR, OPT_NOEXT };

const XpfsOption kOptions[] = {
    {OPT_TIMEOUT, "timeout", N_("S"), N_("give a network volume S seconds (default 5)")},
    {OPT_DIR, "dir", nullptr, N_("PATH must be a folder")},
    {OPT_NOEXT, "noext", nullptr, N_("a file of that name whatever its extension")},
    {0, nullptr, nullptr, nullptr},
};

int runAvailable(const XpfsCommand& self, XpfsArgs& args)
{
    unsigned long timeout = 5;
    if (const char* given = args.Value(OPT_TIMEOUT)) {
        char* end = nullptr;
        timeout = std::strtoul(given, &end, 10);
        if (*given == '\0' || *end != '\0' || timeout > 0xFFFFFFFFul)
            return xpfsUsageError(self, _("--timeout wants whole seconds"));
    }
    int last = args.Last({OPT_DIR, OPT_NOEXT});
    int kind = last == OPT_DIR ? 1 : last == OPT_NOEXT ? 2 : 0;   // 0 file, 1 folder, 2 file whatever its extension
    if (args.Count() != 1)
        return xpfsUsageError(self, args.Count() == 0 ? _("missing operand") : _("too many operands"));
    char** argv = args.Operands();
    // Destroying a checker waits for a probe still hanging on a dead share, and the tool's
    // process could not end while a thread of it hangs there: the check runs in a child, which
    // never destroys its checker. No answer from the child in time is a volume that does not
    // answer: "no", as the checker itself says after its time-out.
    const char* operand = argv[0];
    unsigned int t = static_cast<unsigned int>(timeout);
    int answer = xpfsAskInChild([&] {
        // A name that is not UTF-8 is asked through its descriptor's alias (xpfsLibraryPath),
        // opened here in the child, where an open that hangs on a dead share holds nobody up.
        // --noext looks for other names beside it and takes the name as it is.
        XpFd alias;
        const std::string reachable = kind == 2 ? std::string(operand) : xpfsLibraryPath(operand, alias);
        if (reachable.empty())
            return 'n';
        XpStringT<char> path(reachable.c_str());
        XpFileAvailableChecker* checker = new XpFileAvailableChecker(false);   // never destroyed
        bool yes = kind == 1 ? checker->IsDirAvailableWithTimeOut(path, t)
                   : kind == 2 ? checker->IsFileAvailableNoExtWithTimeOut(path, t)
                               : checker->IsFileAvailableWithTimeOut(path, t);
        return yes ? 'y' : 'n';
    }, xpfsAnswerLimit(t));
    std::printf("%s\n", answer == 'y' ? "yes" : "no");
    return XPFS_OK;
}

const XpfsCommand kCommands[] = {
    {"available", nullptr, N_("[--timeout S] [--dir|--noext] PATH"),
     N_("Print yes when PATH is an existing file (--dir: folder; --noext: a file of that name\n"
        "      whatever its extension), no when not or when its network volume does not answer."),
     N_("On a network volume the check runs on a worker thread and is given up after S seconds\n"
        "(default 5; 4294967295 waits without limit); on a local volume it is made directly.\n"
        "The check runs in a child process: the tool ends within S seconds and a little more,\n"
        "even when the share hangs for good."),
     nullptr, kOptions, runAvailable},
};
XpfsRegistration registration(kCommands, 1);

} // namespace
