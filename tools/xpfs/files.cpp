// xpfs walk, info, touch, cat-int: the file and directory objects of XpCommonLib (XpDir, XpFile and
// its byte-order integer reads) and the attribute tests.
#include "xpfs.h"

#include <XpDir.h>
#include <XpFile.h>
#include <XpFileOperation.h>
#include <XpPathUtil.h>

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

typedef XpStringT<char> Str;

struct LsOptions {
    bool recursive = false;
    bool files = true;
    bool dirs = true;
    const char* name = nullptr;   // shell pattern for the entry's own name
};

// The listing's text on its way to stdout. A folder's size is known only once everything below
// it was seen, so its line keeps a hole for the number, filled when its walk ends; the text is
// written out whenever no hole is open. Lines are formatted here rather than by printf, which
// cost a listing of many entries more than its system calls.
class LsOutput {
public:
    void AddName(const std::string& prefix, const char* name, size_t length)
    {
        text.append(prefix).append(name, length).push_back(' ');
    }
    void EndFileLine(int64_t size)
    {
        appendNumber(text, size);
        text.append(" f\n");
    }
    // Returns the hole to fill with FillFolderSize.
    size_t EndFolderLine()
    {
        holes.push_back({text.size(), -1});
        text.append(" d\n");
        return holes.size() - 1;
    }
    void FillFolderSize(size_t hole, int64_t size) { holes[hole].second = size; }
    void Flush()
    {
        size_t from = 0;
        std::string number;
        for (const auto& hole : holes) {
            std::fwrite(text.data() + from, 1, hole.first - from, stdout);
            number.clear();
            appendNumber(number, hole.second);
            std::fwrite(number.data(), 1, number.size(), stdout);
            from = hole.first;
        }
        std::fwrite(text.data() + from, 1, text.size() - from, stdout);
        text.clear();
        holes.clear();
    }

private:
    static void appendNumber(std::string& out, int64_t value)
    {
        char digits[24];
        char* end = digits + sizeof digits;
        char* p = end;
        uint64_t v = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        do {
            *--p = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        if (value < 0)
            *--p = '-';
        out.append(p, static_cast<size_t>(end - p));
    }

    std::string text;
    std::vector<std::pair<size_t, int64_t>> holes;   // offset in text, folder size
};

// Walks the folder at path once and returns the total size of the files below it (sizes that
// cannot be read left out), or -1 when it cannot be listed. With `out` it also lists its entries
// that the options keep, prefixed, and with -R everything below, each folder's line ahead of its
// content; folders that cannot be listed are then reported and make `ok` false. Without `out`
// it only adds up (the sizes of ls without -R). Each file is sized by one fstatat on the walk's
// descriptor, and each folder's total comes from the same walk, so nothing is read twice.
int64_t walkFolder(const Str& path, const std::string& prefix, const LsOptions& o,
                   LsOutput* out, bool& ok)
{
    XpDir dir(path);
    XpErr err = dir.StartEnum(XpAbstractDir::enumDirectories | XpAbstractDir::enumFiles, "");
    if (err != XPERR_OK) {
        if (out != nullptr) {
            // XpDir keeps no system cause. The folder is opened once more to learn the system's
            // reason; only when that works the library's code is the reason given.
            std::string what = xpfsFormat(_("cannot open directory %s"), xpfsQuote(path.GetBuffer()).c_str());
            XpFd probe(open(path.GetBuffer(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (probe.Get() < 0)
                xpfsMessageErrno(what, errno);
            else
                xpfsMessageCause(what, XpFileError(err, 0));
            ok = false;
        }
        return -1;
    }
    int64_t total = 0;
    for (XpSharedPtr<XpAbstractFSObj> entry = dir.EnumNext(); entry; entry = dir.EnumNext()) {
        const bool isDir = entry->IsDir();
        int64_t size = isDir ? -1 : dir.GetEnumEntrySize();
        if (out == nullptr) {
            if (isDir)
                size = walkFolder(entry->GetIdentifier(), prefix, o, nullptr, ok);
            total += size >= 0 ? size : 0;
            continue;
        }
        // The entry's own name: the last component of its path (GetFileFullName without a copy).
        Str full = entry->GetIdentifier();
        const char* text = full.GetBuffer();
        size_t end = static_cast<size_t>(full.Length());
        while (end > 0 && text[end - 1] == '/')
            --end;
        size_t start = end;
        while (start > 0 && text[start - 1] != '/')
            --start;
        std::string name(text + start, end - start);
        const bool shown = (isDir ? o.dirs : o.files) && (!o.name || fnmatch(o.name, name.c_str(), 0) == 0);
        if (shown)
            out->AddName(prefix, name.data(), name.size());
        if (isDir) {
            size_t hole = shown ? out->EndFolderLine() : 0;
            size = walkFolder(full, prefix + name + "/", o, o.recursive ? out : nullptr, ok);
            if (shown)
                out->FillFolderSize(hole, size);
        } else if (shown) {
            out->EndFileLine(size);
        }
        total += size >= 0 ? size : 0;
        if (prefix.empty())
            out->Flush();   // everything of this entry is known: nothing to hold back
    }
    dir.FinishEnum();
    return total;
}

enum { OPT_FILES = XPFS_LONG_ONLY, OPT_DIRS, OPT_NAME, OPT_ORDER, OPT_WIDTH };

const XpfsOption kWalkOptions[] = {
    {'R', "recursive", nullptr, N_("go down into every folder")},
    {OPT_FILES, "files", nullptr, N_("list files only")},
    {OPT_DIRS, "dirs", nullptr, N_("list folders only")},
    {OPT_NAME, "name", N_("PATTERN"), N_("keep entries whose own name matches the shell pattern")},
    {0, nullptr, nullptr, nullptr},
};

int runWalk(const XpfsCommand& self, XpfsArgs& args)
{
    LsOptions o;
    o.recursive = args.Has('R');
    o.files = !args.Has(OPT_DIRS);
    o.dirs = !args.Has(OPT_FILES);
    o.name = args.Value(OPT_NAME);
    if (!o.files && !o.dirs)
        return xpfsUsageError(self, _("--files and --dirs exclude each other"));
    if (int usage = xpfsCheckOperands(self, args.Count(), 1, 1))
        return usage;
    LsOutput out;
    bool ok = true;
    walkFolder(Str(args.operands[0]), "", o, &out, ok);
    out.Flush();
    return ok ? XPFS_OK : XPFS_FAILED;
}

std::string dateText(const XpDateTime& d)
{
    int y, mo, da, h, mi, s, w;
    if (!d.GetDateTime(y, mo, da, h, mi, s, w))
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", y, mo, da, h, mi, s);
    return text;
}

const XpfsOption kNoOptions[] = {
    {0, nullptr, nullptr, nullptr},
};

// info's lines are "key: value" with fixed English keys and values (kind, yes/no), as scripts
// read them (the way stat --format's output is not translated); its messages are translated.
int runInfo(const XpfsCommand& self, XpfsArgs& args)
{
    if (int usage = xpfsCheckOperands(self, args.Count(), 1, -1))
        return usage;
    int status = XPFS_OK;
    bool first = true;
    for (const char* operand : args.operands) {
        struct stat st;
        if (stat(operand, &st) != 0) {
            xpfsMessageErrno(xpfsFormat(_("cannot stat %s"), xpfsQuote(operand).c_str()), errno);
            status = XPFS_FAILED;
            continue;
        }
        const bool isDir = S_ISDIR(st.st_mode);
        // A name that is not UTF-8 goes to the library as a /proc alias (xpfsLibraryPath). The
        // alias has no folder of its own, so for such a name "read-only" judges the object's own
        // permissions and attributes only.
        XpFd alias;
        const std::string reachable = xpfsLibraryPath(operand, alias);
        if (reachable.empty()) {
            xpfsMessageErrno(xpfsFormat(_("cannot open %s"), xpfsQuote(operand).c_str()), errno);
            status = XPFS_FAILED;
            continue;
        }
        Str path(reachable.c_str());
        XpDir dir(path);
        XpFile file(path);
        XpAbstractFSObj& object = isDir ? static_cast<XpAbstractFSObj&>(dir) : file;
        XpDateTime created, modified, accessed;
        XpErr err = object.GetDateTime(&created, &modified, &accessed);
        if (err != XPERR_OK) {
            // The object keeps no system cause: its code is the reason given. The rest is printed.
            xpfsMessageCause(xpfsFormat(_("cannot read the dates of %s"), xpfsQuote(operand).c_str()), XpFileError(err, 0));
            status = XPFS_FAILED;
        }
        // A relative path's volume is the one of the folder it is relative to.
        Str root = XpPathUtil::GetRootPath(Str(xpfsAbsolute(operand).c_str()));
        if (!first)
            std::printf("\n");
        first = false;
        std::printf("path: %s\nkind: %s\nsize: %" PRId64 "\ncreated: %s\nmodified: %s\naccessed: %s\n"
                    "read-only: %s\nhidden: %s\nroot: %s\ndisplay path: %s\n",
                    operand, isDir ? "directory" : "file", object.GetSize(), dateText(created).c_str(),
                    dateText(modified).c_str(), dateText(accessed).c_str(),
                    object.IsReadOnly() ? "yes" : "no", XpFileOperation::IsHidden(Str(operand)) ? "yes" : "no",
                    root.GetBuffer(), xpfsDisplayPath(operand).GetBuffer());
    }
    return status;
}

int runTouch(const XpfsCommand& self, XpfsArgs& args)
{
    if (int usage = xpfsCheckOperands(self, args.Count(), 1, -1))
        return usage;
    int status = XPFS_OK;
    for (const char* operand : args.operands)
        if (XpErr err = XpFile::Touch(Str(operand))) {
            // Touch keeps no system cause: its code is the reason given.
            xpfsMessageCause(xpfsFormat(_("cannot touch %s"), xpfsQuote(operand).c_str()), XpFileError(err, 0));
            status = XPFS_FAILED;
        }
    return status;
}

template <typename T>
XpErr printInts(XpFile& file, int order, int64_t count, const char* format)
{
    for (int64_t i = 0; i < count; ++i) {
        T value = 0;
        if (XpErr err = file.ReadInt(value, order))
            return err;
        std::printf(format, value);
    }
    return XPERR_OK;
}

const XpfsOption kCatIntOptions[] = {
    {OPT_ORDER, "order", N_("ORDER"), N_("the byte order: big or little")},
    {OPT_WIDTH, "width", N_("BITS"), N_("the width of an integer: 16, 32 or 64")},
    {0, nullptr, nullptr, nullptr},
};

int runCatInt(const XpfsCommand& self, XpfsArgs& args)
{
    const char* orderName = args.Value(OPT_ORDER);
    const char* widthName = args.Value(OPT_WIDTH);
    if (orderName == nullptr || widthName == nullptr)
        return xpfsUsageError(self, orderName == nullptr ? _("--order big|little is required")
                                                         : _("--width 16|32|64 is required"));
    int order = std::strcmp(orderName, "big") == 0      ? XpFile::endianBig
                : std::strcmp(orderName, "little") == 0 ? XpFile::endianLittle : 0;
    if (order == 0)
        return xpfsUsageError(self, xpfsFormat(_("invalid byte order %s"), xpfsQuote(orderName).c_str()));
    const int width = std::strcmp(widthName, "16") == 0 ? 16 : std::strcmp(widthName, "32") == 0 ? 32
                      : std::strcmp(widthName, "64") == 0 ? 64 : 0;
    if (width == 0)
        return xpfsUsageError(self, xpfsFormat(_("invalid width %s"), xpfsQuote(widthName).c_str()));
    if (int usage = xpfsCheckOperands(self, args.Count(), 1, 1))
        return usage;
    const char* operand = args.operands[0];
    XpFile file(Str(operand), order);
    XpErr err = file.Open(XpFile::openRead, XpFile::shareDenyNone);
    int64_t size = err == XPERR_OK ? file.GetSize() : 0, bytes = width / 8;
    if (err == XPERR_OK)
        err = width == 16   ? printInts<unsigned short>(file, order, size / bytes, "%hu\n")
              : width == 32 ? printInts<unsigned int>(file, order, size / bytes, "%u\n")
                            : printInts<unsigned long long>(file, order, size / bytes, "%llu\n");
    if (err == XPERR_OK && size % bytes != 0)
        err = XPERR_FILE_END_OF_FILE;   // trailing bytes too few for one more integer
    if (err != XPERR_OK) {
        // XpFile keeps no system cause: its code is the reason given.
        xpfsMessageCause(xpfsFormat(_("cannot read %s"), xpfsQuote(operand).c_str()), XpFileError(err, 0));
        return XPFS_FAILED;
    }
    return XPFS_OK;
}

const XpfsCommand kCommands[] = {
    {"walk", nullptr, N_("[OPTION]... DIR"),
     N_("List the entries of DIR, one per line: relative name, size, kind (d or f)."),
     N_("--files or --dirs keeps one kind; --name matches as find -name does. A folder's size is\n"
        "the sum of the files below it. Symbolic links are files and are never followed; folders\n"
        "that cannot be read are reported and skipped. Names are printed as the bytes they are, in\n"
        "the order of the file system."),
     nullptr, kWalkOptions, runWalk},
    {"info", nullptr, N_("PATH..."),
     N_("Print kind, size, dates, read-only, hidden, volume root and display path of each PATH."),
     N_("Dates are local times. The creation date is the birth time where the file system keeps one,\n"
        "else the modification time. Symbolic links are followed."),
     nullptr, kNoOptions, runInfo},
    {"touch", nullptr, N_("PATH..."), N_("Create each PATH as an empty file when it does not exist."),
     N_("An existing file keeps its content and dates. A symbolic link is never followed\n"
        "(XPERR_FILE_INVALID_PATH)."),
     nullptr, kNoOptions, runTouch},
    {"cat-int", nullptr, N_("--order ORDER --width BITS FILE"),
     N_("Print the unsigned integers of FILE in the given byte order and width, one per line."),
     N_("Trailing bytes too few for one more integer are reported as XPERR_FILE_END_OF_FILE."),
     nullptr, kCatIntOptions, runCatInt},
};

XpfsRegistration registration(kCommands, sizeof kCommands / sizeof kCommands[0]);

} // namespace
