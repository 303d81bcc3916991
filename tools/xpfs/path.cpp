// xpfs path: the path operations of XpPathUtil, one result per line.
#include "xpfs.h"

#include <XpPathUtil.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <fcntl.h>
#include <unistd.h>

namespace {

typedef XpStringT<char> Str;

void printLine(const Str& text)
{
    std::printf("%s\n", text.GetBuffer());
}

const XpfsOption kNoOptions[] = {
    {0, nullptr, nullptr, nullptr},
};

int runSplit(const XpfsCommand& self, XpfsArgs& args)
{
    if (int usage = xpfsCheckOperands(self, args.Count(), 1, -1))
        return usage;
    for (const char* operand : args.operands) {
        Str dir, name, ext;
        XpPathUtil::SplitPath(Str(operand), &dir, &name, &ext);
        std::printf("%s\t%s\t%s\n", dir.GetBuffer(), name.GetBuffer(), ext.GetBuffer());
    }
    return XPFS_OK;
}

int runJoin(const XpfsCommand& self, XpfsArgs& args)
{
    if (int usage = xpfsCheckOperands(self, args.Count(), 2, -1))
        return usage;
    Str joined(args.operands[0]);
    for (int i = 1; i < args.Count(); ++i)
        joined = XpPathUtil::Concatenate(joined, Str(args.operands[i]));
    printLine(joined);
    return XPFS_OK;
}

int runRel(const XpfsCommand& self, XpfsArgs& args)
{
    if (int usage = xpfsCheckOperands(self, args.Count(), 2, 2))
        return usage;
    static const char* const names[] = {"child", "parent", "same", "unrelated"};
    std::printf("%s\n", names[XpPathUtil::CheckPathRelationship(Str(args.operands[0]), Str(args.operands[1]))]);
    return XPFS_OK;
}

// A relative path's volume is the one of the folder it is relative to: the library walks up the
// text and finds no folder above a bare name.
int runRoot(const XpfsCommand& self, XpfsArgs& args)
{
    if (int usage = xpfsCheckOperands(self, args.Count(), 1, -1))
        return usage;
    int status = XPFS_OK;
    for (const char* operand : args.operands) {
        Str root = XpPathUtil::GetRootPath(Str(xpfsAbsolute(operand).c_str()));
        if (!root.IsEmpty()) {
            printLine(root);
            continue;
        }
        // The only way the library finds no root: a removable volume's mount point without it.
        xpfsMessage(xpfsFormat(_("cannot find the volume of %s"), xpfsQuote(operand).c_str()) + ": " +
                    _("the volume is not available") +
                    (xpfsDebug ? std::string(" (") + XpErrName(XPERR_FILE_DEVICE_NOT_AVAILABLE) + ")" : std::string()));
        status = XPFS_FAILED;
    }
    return status;
}

int runDisplay(const XpfsCommand& self, XpfsArgs& args)
{
    if (int usage = xpfsCheckOperands(self, args.Count(), 1, -1))
        return usage;
    int status = XPFS_OK;
    for (const char* operand : args.operands) {
        Str display = xpfsDisplayPath(operand);
        if (!display.IsEmpty()) {
            printLine(display);
            continue;
        }
        // A path that cannot be resolved has the system's reason; one the library turns down has
        // only its code.
        std::string what = xpfsFormat(_("cannot convert %s"), xpfsQuote(operand).c_str());
        char* resolved = realpath(operand, nullptr);
        if (resolved == nullptr)
            xpfsMessageErrno(what, errno);
        else
            xpfsMessageCause(what, XpFileError(XPERR_FILE_INVALID_PATH, 0));
        std::free(resolved);
        status = XPFS_FAILED;
    }
    return status;
}

int runUndisplay(const XpfsCommand& self, XpfsArgs& args)
{
    if (int usage = xpfsCheckOperands(self, args.Count(), 1, -1))
        return usage;
    int status = XPFS_OK;
    for (const char* operand : args.operands) {
        Str path = XpPathUtil::ConvertDisplayPathToSystemPath(Str(operand));
        if (!path.IsEmpty()) {
            printLine(path);
            continue;
        }
        // Text only: no system call is made, so the library's code is the reason.
        xpfsMessageCause(xpfsFormat(_("cannot convert %s"), xpfsQuote(operand).c_str()),
                         XpFileError(XPERR_FILE_INVALID_PATH, 0));
        status = XPFS_FAILED;
    }
    return status;
}

const struct {
    const char* name;
    XpPathUtil::pathtype type;
} kSpecialNames[] = {
    {"temporary", XpPathUtil::PATH_TEMPORARY},      {"pictures", XpPathUtil::PATH_PICTURES},
    {"movies", XpPathUtil::PATH_MOVIES},            {"music", XpPathUtil::PATH_MUSIC},
    {"home", static_cast<XpPathUtil::pathtype>(4)}, {"desktop", XpPathUtil::PATH_DESKTOP},
    {"app-support", XpPathUtil::PATH_APP_SUPPORT},  {"app-resources", XpPathUtil::PATH_APP_RESOURCES},
    {"app-bundle", XpPathUtil::PATH_APP_BUNDLE},
};

enum { OPT_CREATE = XPFS_LONG_ONLY };

const XpfsOption kSpecialOptions[] = {
    {OPT_CREATE, "create", nullptr, N_("make a missing folder")},
    {0, nullptr, nullptr, nullptr},
};

int runSpecial(const XpfsCommand& self, XpfsArgs& args)
{
    const bool create = args.Has(OPT_CREATE);
    if (int usage = xpfsCheckOperands(self, args.Count(), 1, -1))
        return usage;
    // Every name is checked before any folder is made: a refused command line changes nothing.
    std::vector<XpPathUtil::pathtype> types;
    for (const char* operand : args.operands) {
        bool found = false;
        XpPathUtil::pathtype type = XpPathUtil::PATH_TEMPORARY;
        for (const auto& s : kSpecialNames)
            if (std::strcmp(s.name, operand) == 0) {
                type = s.type;
                found = true;
            }
        char* end = nullptr;
        long number = std::strtol(operand, &end, 10);
        if (!found && *operand != '\0' && *end == '\0' && number >= 0 && number <= 0x7FFFFFFF) {
            type = static_cast<XpPathUtil::pathtype>(number);
            found = true;
        }
        if (!found)
            return xpfsUsageError(self, xpfsFormat(_("unknown folder %s"), xpfsQuote(operand).c_str()));
        types.push_back(type);
    }
    int status = XPFS_OK;
    for (size_t i = 0; i < types.size(); ++i) {
        Str folder = XpPathUtil::GetSpecialPath(types[i], create);
        if (folder.IsEmpty()) {
            // The library answers with an empty path only: its code is the reason given.
            std::string what = xpfsFormat(create ? _("cannot create the folder %s") : _("cannot find the folder %s"),
                                          xpfsQuote(args.operands[i]).c_str());
            xpfsMessageCause(what, XpFileError(create ? XPERR_FILE_MAKE_DIR_FAILED : XPERR_FILE_PATH_NOT_FOUND, 0));
            status = XPFS_FAILED;
        } else {
            printLine(folder);
        }
    }
    return status;
}

int runCompare(const XpfsCommand& self, XpfsArgs& args)
{
    if (int usage = xpfsCheckOperands(self, args.Count(), 2, 2))
        return usage;
    std::printf("%d\n", XpPathUtil::CompareLogical(Str(args.operands[0]), Str(args.operands[1])));
    return XPFS_OK;
}

const XpfsCommand kCommands[] = {
    {"path", "split", N_("PATH..."), N_("Print directory, name and extension of each PATH, separated by tabs."),
     N_("The directory keeps its tail delimiter; the extension keeps its dot. One tail delimiter of\n"
        "PATH is ignored: '/a/b.txt' and '/a/b.txt/' both give '/a/', 'b', '.txt'."),
     nullptr, kNoOptions, runSplit},
    {"path", "join", N_("PATH NAME..."), N_("Join PATH and each NAME with exactly one '/' between them."),
     N_("One leading '/' of each NAME is dropped; an empty NAME adds a tail delimiter."), nullptr, kNoOptions, runJoin},
    {"path", "rel", N_("PATH1 PATH2"), N_("Print how PATH1 relates to PATH2: child, parent, same or unrelated."),
     N_("Text only, ignoring letter case and a tail delimiter: '/a/b' is a child of '/A/'."), nullptr, kNoOptions, runRel},
    {"path", "root", N_("PATH..."), N_("Print the mount point of the volume holding each PATH."),
     N_("The nearest existing folder at or above PATH decides. A path under /media, /mnt or\n"
        "/run/media whose volume is not mounted has no root."),
     nullptr, kNoOptions, runRoot},
    {"path", "display", N_("PATH..."), N_("Print the colon-separated display path of each existing PATH."),
     N_("The volume name comes first ('/' for the root volume, else the last component of the\n"
        "mount point), then the components; a ':' inside a name shows as '/'."),
     nullptr, kNoOptions, runDisplay},
    {"path", "undisplay", N_("DISPLAY-PATH..."), N_("Turn each colon-separated display path back into a path."),
     nullptr, nullptr, kNoOptions, runUndisplay},
    {"path", "special", N_("[--create] FOLDER..."), N_("Print a special folder."),
     N_("FOLDER is temporary, pictures, movies, music, home, desktop, app-support, app-resources,\n"
        "app-bundle, or the folder's number. --create makes a missing folder (not the program's\n"
        "own folders)."),
     nullptr, kSpecialOptions, runSpecial},
    {"path", "compare", N_("NAME1 NAME2"), N_("Print -1, 0 or 1 as NAME1 sorts before, with or after NAME2."),
     N_("Digit runs compare by value and letters without case: file2 sorts before File10."), nullptr, kNoOptions,
     runCompare},
};

XpfsRegistration registration(kCommands, sizeof kCommands / sizeof kCommands[0]);

} // namespace

std::string xpfsLibraryPath(const char* operand, XpFd& holder)
{
    if (XpPlatformString::IsValidUTF8(operand, std::strlen(operand)))
        return operand;
    holder.Reset(open(operand, O_PATH | O_CLOEXEC));
    return holder.Get() < 0 ? std::string() : "/proc/self/fd/" + std::to_string(holder.Get());
}

std::string xpfsAbsolute(const char* path)
{
    if (path[0] == '/')
        return path;
    char* cwd = getcwd(nullptr, 0);   // any length: the working folder may be deeper than PATH_MAX
    std::string absolute = cwd != nullptr ? cwd : "";
    std::free(cwd);
    if (absolute.empty())
        return path;
    if (absolute.back() != '/')
        absolute += '/';
    return absolute + path;
}

Str xpfsDisplayPath(const char* path)
{
    char* resolved = realpath(path, nullptr);
    if (resolved == nullptr)
        return Str("");
    const std::string real = resolved;
    std::free(resolved);
    // The longest leading run of whole components that is UTF-8: the library converts it (it
    // decides the volume), and every component after it is a name inside that folder.
    size_t keep = real.size();
    while (keep > 1 && !XpPlatformString::IsValidUTF8(real.data(), keep)) {
        size_t slash = real.rfind('/', keep - 1);
        keep = slash == 0 ? 1 : slash;
    }
    Str result = XpPathUtil::ConvertSystemPathToDisplayPath(Str(real.substr(0, keep).c_str()));
    if (result.IsEmpty() || keep == real.size())
        return result;
    if (result.GetBuffer()[result.Length() - 1] == ':')
        result = result.Left(result.Length() - 1);   // "Volume:" names the volume alone
    for (size_t start = keep; start < real.size();) {
        while (start < real.size() && real[start] == '/')
            ++start;
        size_t end = real.find('/', start);
        if (end == std::string::npos)
            end = real.size();
        if (end > start) {
            result += ":";
            result += XpPathUtil::ConvertSystemNameToDisplayName(Str(real.substr(start, end - start).c_str()));
        }
        start = end;
    }
    return result;
}
