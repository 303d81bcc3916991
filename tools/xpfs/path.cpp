// xpfs path: the path operations of XpPathUtil, one result per line.
#include "xpfs.h"

#include <XpPathUtil.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <unistd.h>

namespace {

typedef XpStringT<char> Str;

void printLine(const Str& text)
{
    std::printf("%s\n", text.GetBuffer());
}

int runSplit(const XpfsCommand& self, int argc, char** argv)
{
    if (int usage = xpfsCheckOperands(self, argc, 1, -1))
        return usage;
    for (int i = 0; i < argc; ++i) {
        Str dir, name, ext;
        XpPathUtil::SplitPath(Str(argv[i]), &dir, &name, &ext);
        std::printf("%s\t%s\t%s\n", dir.GetBuffer(), name.GetBuffer(), ext.GetBuffer());
    }
    return XPFS_OK;
}

int runJoin(const XpfsCommand& self, int argc, char** argv)
{
    if (int usage = xpfsCheckOperands(self, argc, 2, -1))
        return usage;
    Str joined(argv[0]);
    for (int i = 1; i < argc; ++i)
        joined = XpPathUtil::Concatenate(joined, Str(argv[i]));
    printLine(joined);
    return XPFS_OK;
}

int runRel(const XpfsCommand& self, int argc, char** argv)
{
    if (int usage = xpfsCheckOperands(self, argc, 2, 2))
        return usage;
    static const char* const names[] = {"child", "parent", "same", "unrelated"};
    std::printf("%s\n", names[XpPathUtil::CheckPathRelationship(Str(argv[0]), Str(argv[1]))]);
    return XPFS_OK;
}

// Runs convert on every operand; an empty answer is a failure reported with err.
int eachOperand(const XpfsCommand& self, int argc, char** argv, Str (*convert)(const Str&), XpErr err)
{
    if (int usage = xpfsCheckOperands(self, argc, 1, -1))
        return usage;
    int status = XPFS_OK;
    for (int i = 0; i < argc; ++i) {
        Str result = convert(Str(argv[i]));
        if (result.IsEmpty()) {
            xpfsReportError(self, argv[i], err);
            status = XPFS_FAILED;
        } else {
            printLine(result);
        }
    }
    return status;
}

// A relative path's volume is the one of the folder it is relative to: the library walks up the
// text and finds no folder above a bare name.
Str rootPath(const Str& path)
{
    return XpPathUtil::GetRootPath(Str(xpfsAbsolute(path.GetBuffer()).c_str()));
}

int runRoot(const XpfsCommand& self, int argc, char** argv)
{
    return eachOperand(self, argc, argv, rootPath, XPERR_FILE_DEVICE_NOT_AVAILABLE);
}

Str displayPath(const Str& path)
{
    return xpfsDisplayPath(path.GetBuffer());
}

int runDisplay(const XpfsCommand& self, int argc, char** argv)
{
    return eachOperand(self, argc, argv, displayPath, XPERR_FILE_NOT_FOUND);
}

int runUndisplay(const XpfsCommand& self, int argc, char** argv)
{
    return eachOperand(self, argc, argv, XpPathUtil::ConvertDisplayPathToSystemPath, XPERR_FILE_INVALID_PATH);
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

int runSpecial(const XpfsCommand& self, int argc, char** argv)
{
    bool create = false;
    if (argc > 0 && std::strcmp(argv[0], "--create") == 0) {
        create = true;
        ++argv;
        --argc;
    }
    if (int usage = xpfsCheckOperands(self, argc, 1, -1))
        return usage;
    int status = XPFS_OK;
    for (int i = 0; i < argc; ++i) {
        bool found = false;
        XpPathUtil::pathtype type = XpPathUtil::PATH_TEMPORARY;
        for (const auto& s : kSpecialNames)
            if (std::strcmp(s.name, argv[i]) == 0) {
                type = s.type;
                found = true;
            }
        char* end = nullptr;
        long number = std::strtol(argv[i], &end, 10);
        if (!found && *argv[i] != '\0' && *end == '\0' && number >= 0 && number <= 0x7FFFFFFF) {
            type = static_cast<XpPathUtil::pathtype>(number);
            found = true;
        }
        if (!found)
            return xpfsUsageError(self, std::string("unknown folder '") + argv[i] + "'");
        Str folder = XpPathUtil::GetSpecialPath(type, create);
        if (folder.IsEmpty()) {
            xpfsReportError(self, argv[i], create ? XPERR_FILE_MAKE_DIR_FAILED : XPERR_FILE_PATH_NOT_FOUND);
            status = XPFS_FAILED;
        } else {
            printLine(folder);
        }
    }
    return status;
}

int runCompare(const XpfsCommand& self, int argc, char** argv)
{
    if (int usage = xpfsCheckOperands(self, argc, 2, 2))
        return usage;
    std::printf("%d\n", XpPathUtil::CompareLogical(Str(argv[0]), Str(argv[1])));
    return XPFS_OK;
}

const XpfsCommand kCommands[] = {
    {"path", "split", "PATH...", "Print directory, name and extension of each PATH, separated by tabs.",
     "The directory keeps its tail delimiter; the extension keeps its dot. One tail delimiter of\n"
     "PATH is ignored: '/a/b.txt' and '/a/b.txt/' both give '/a/', 'b', '.txt'.", runSplit},
    {"path", "join", "PATH NAME...", "Join PATH and each NAME with exactly one '/' between them.",
     "One leading '/' of each NAME is dropped; an empty NAME adds a tail delimiter.", runJoin},
    {"path", "rel", "PATH1 PATH2", "Print how PATH1 relates to PATH2: child, parent, same or unrelated.",
     "Text only, ignoring letter case and a tail delimiter: '/a/b' is a child of '/A/'.", runRel},
    {"path", "root", "PATH...", "Print the mount point of the volume holding each PATH.",
     "The nearest existing folder at or above PATH decides. A path under /media, /mnt or\n"
     "/run/media whose volume is not mounted has no root (XPERR_FILE_DEVICE_NOT_AVAILABLE).",
     runRoot},
    {"path", "display", "PATH...", "Print the colon-separated display path of each existing PATH.",
     "The volume name comes first ('/' for the root volume, else the last component of the\n"
     "mount point), then the components; a ':' inside a name shows as '/'.", runDisplay},
    {"path", "undisplay", "DISPLAY-PATH...", "Turn each colon-separated display path back into a path.",
     nullptr, runUndisplay},
    {"path", "special", "[--create] FOLDER...", "Print a special folder.",
     "FOLDER is temporary, pictures, movies, music, home, desktop, app-support, app-resources,\n"
     "app-bundle, or the folder's number. --create makes a missing folder (not the program's\n"
     "own folders).", runSpecial},
    {"path", "compare", "NAME1 NAME2", "Print -1, 0 or 1 as NAME1 sorts before, with or after NAME2.",
     "Digit runs compare by value and letters without case: file2 sorts before File10.", runCompare},
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
