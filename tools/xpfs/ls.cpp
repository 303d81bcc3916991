// xpfs ls: lists folders and files as coreutils' ls does, for people who bring its habits.
//
// Choices, made to match /bin/ls where a person compares the two:
// - Names are sorted by the locale's collation (strcoll; LC_ALL=C gives byte order), names
//   beginning with '.' only with -a or -A.
// - Into a pipe or a file names are written as the bytes they are (a script reads them back
//   exactly); on a terminal a name that a shell would misread is quoted in shell-escape style
//   ('a b', 'a'$'\n''b'), as ls does. -b, -Q and -N choose escapes, double quotes or no quoting.
// - On a terminal (or with -C) names go in columns down the line's width, as ls lays them out;
//   into a pipe or a file (or with -1), one per line.
// - -l: mode, links, owner, group, size, modification date ("%b %e %H:%M" within six months,
//   else "%b %e  %Y", month names of the locale), name and a link's target, columns aligned,
//   a "total" of 1 KiB blocks for each folder. No ACL or security-context mark after the mode.
// - -R walks by descriptors (openat, fdopendir) from the operand down and never follows a
//   symbolic link below the operand, so paths longer than PATH_MAX are listed like any other.
//   A link given as the operand is followed unless -l or -d asks for the link itself.
// - Failures are told with the system's reason and make the status 1; the other operands and
//   folders are still listed.
#include "xpfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <cwctype>
#include <map>
#include <string>
#include <vector>

namespace {

enum Quoting { LITERAL, SHELL_ESCAPE, ESCAPE, C_QUOTE };

struct Options {
    bool all = false;        // -a: also "." and ".."
    bool almostAll = false;  // -A
    bool directory = false;  // -d
    bool longFormat = false; // -l
    bool recursive = false;  // -R
    Quoting quoting = LITERAL;
    bool hideControl = false;   // literal on a terminal: '?' for what the terminal would act on
    bool columns = false;       // names in columns across the line (a terminal, or -C)
    size_t lineWidth = 80;
};

struct Entry {
    std::string name;        // what is printed: the name in its folder, or the operand as given
    struct stat st = {};
    bool stated = false;
    unsigned char type = DT_UNKNOWN;
    std::string target;      // a link's target (-l)
};

// Whether a shell would read name other than as one plain word: ls quotes exactly these.
bool shellNeedsQuotes(const std::string& name)
{
    if (name.empty())
        return true;
    mbstate_t state;
    std::memset(&state, 0, sizeof state);
    for (size_t i = 0; i < name.size();) {
        size_t length = xpfsPrintableCharacter(name.data() + i, name.size() - i, &state);
        if (length == 0)
            return true;
        const char c = name[i];
        if (length == 1 && (std::strchr(" !\"$&'()*;<=>?[\\^`|", c) != nullptr ||
                            ((c == '#' || c == '~') && i == 0) ||
                            ((c == '{' || c == '}') && name.size() == 1)))
            return true;
        i += length;
    }
    return false;
}

// C-style escapes of what is not printable (-b, and -Q inside its quotes).
std::string escaped(const std::string& name, bool inQuotes)
{
    std::string out;
    mbstate_t state;
    std::memset(&state, 0, sizeof state);
    for (size_t i = 0; i < name.size();) {
        size_t length = xpfsPrintableCharacter(name.data() + i, name.size() - i, &state);
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (length == 0) {
            const char* known = c != 0 ? std::strchr("\a\b\f\n\r\t\v", c) : nullptr;
            out += known ? std::string("\\") + "abfnrtv"[known - "\a\b\f\n\r\t\v"] : xpfsFormat("\\%03o", c);
            ++i;
            continue;
        }
        if (length == 1 && (c == '\\' || (inQuotes ? c == '"' : c == ' ')))
            out += '\\';
        out.append(name, i, length);
        i += length;
    }
    return out;
}

std::string shown(const std::string& name, const Options& o)
{
    switch (o.quoting) {
    case SHELL_ESCAPE:
        return shellNeedsQuotes(name) ? xpfsQuote(name.c_str()) : name;
    case ESCAPE:
        return escaped(name, false);
    case C_QUOTE:
        return "\"" + escaped(name, true) + "\"";
    case LITERAL:
        break;
    }
    if (!o.hideControl)
        return name;
    std::string out;
    mbstate_t state;
    std::memset(&state, 0, sizeof state);
    for (size_t i = 0; i < name.size();) {
        size_t length = xpfsPrintableCharacter(name.data() + i, name.size() - i, &state);
        out.append(length ? name.substr(i, length) : std::string("?"));
        i += length ? length : 1;
    }
    return out;
}

bool isDir(const Entry& e)
{
    return e.stated ? S_ISDIR(e.st.st_mode) : e.type == DT_DIR;
}

void sortEntries(std::vector<Entry>& entries)
{
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        int order = std::strcoll(a.name.c_str(), b.name.c_str());
        return order != 0 ? order < 0 : a.name < b.name;
    });
}

void out(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
}

std::string modeText(mode_t mode)
{
    std::string text = S_ISDIR(mode) ? "d" : S_ISLNK(mode) ? "l" : S_ISCHR(mode) ? "c" : S_ISBLK(mode) ? "b"
                       : S_ISFIFO(mode) ? "p" : S_ISSOCK(mode) ? "s" : "-";
    const char* rwx = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i)
        text += (mode & (0400 >> i)) ? rwx[i] : '-';
    auto special = [&](size_t at, mode_t bit, char set, char unset) {
        if (mode & bit)
            text[at] = text[at] == 'x' ? set : unset;
    };
    special(3, S_ISUID, 's', 'S');
    special(6, S_ISGID, 's', 'S');
    special(9, S_ISVTX, 't', 'T');
    return text;
}

std::string idName(bool user, unsigned id)
{
    static std::map<std::pair<bool, unsigned>, std::string> known;
    auto found = known.find({user, id});
    if (found != known.end())
        return found->second;
    const char* name = nullptr;
    if (user) {
        const struct passwd* pw = getpwuid(id);
        name = pw ? pw->pw_name : nullptr;
    } else {
        const struct group* gr = getgrgid(id);
        name = gr ? gr->gr_name : nullptr;
    }
    return known[{user, id}] = name ? name : std::to_string(id);
}

std::string dateText(const struct timespec& when)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const time_t halfYear = 31556952 / 2;   // a Gregorian year's mean length, halved
    const bool recent = when.tv_sec > now.tv_sec - halfYear &&
                        (when.tv_sec < now.tv_sec || (when.tv_sec == now.tv_sec && when.tv_nsec <= now.tv_nsec));
    struct tm local;
    char text[64];
    if (localtime_r(&when.tv_sec, &local) == nullptr ||
        std::strftime(text, sizeof text, recent ? "%b %e %H:%M" : "%b %e  %Y", &local) == 0)
        return std::to_string(static_cast<long long>(when.tv_sec));
    return text;
}

// The columns a name takes on the terminal.
size_t displayWidth(const std::string& text)
{
    std::vector<wchar_t> wide(text.size() + 1);
    size_t n = std::mbstowcs(wide.data(), text.c_str(), wide.size());
    if (n == static_cast<size_t>(-1))
        return text.size();
    int width = wcswidth(wide.data(), n);
    return width < 0 ? text.size() : static_cast<size_t>(width);
}

// Names down columns, as many columns as the line's width holds: each column as wide as its
// widest name and two spaces (the last one without), the columns found and filled as ls finds
// and fills them (tabs included), so the two look alike on one terminal.
void printColumns(const std::vector<Entry>& entries, const Options& o)
{
    const size_t count = entries.size();
    if (count == 0)
        return;
    std::vector<std::string> names;
    std::vector<size_t> widths;
    bool someQuoted = false;
    for (const Entry& e : entries) {
        names.push_back(shown(e.name, o));
        someQuoted = someQuoted || (o.quoting == SHELL_ESCAPE && names.back() != e.name);
    }
    for (size_t i = 0; i < count; ++i) {
        // As in -l: when a name is quoted, the others start one column later.
        if (someQuoted && names[i] == entries[i].name)
            names[i] = " " + names[i];
        widths.push_back(displayWidth(names[i]));
    }
    const size_t minimum = 3;   // the narrowest a column can be: a name and two spaces
    const size_t maxColumns = std::min(std::max<size_t>(1, o.lineWidth / minimum), count);
    struct Layout { bool fits = true; size_t lineLength; std::vector<size_t> width; };
    std::vector<Layout> layouts(maxColumns);
    for (size_t i = 0; i < maxColumns; ++i) {
        layouts[i].lineLength = (i + 1) * minimum;
        layouts[i].width.assign(i + 1, minimum);
    }
    for (size_t file = 0; file < count; ++file)
        for (size_t i = 0; i < maxColumns; ++i) {
            Layout& l = layouts[i];
            if (!l.fits)
                continue;
            const size_t column = file / ((count + i) / (i + 1));
            const size_t real = widths[file] + (column == i ? 0 : 2);
            if (l.width[column] < real) {
                l.lineLength += real - l.width[column];
                l.width[column] = real;
                l.fits = l.lineLength < o.lineWidth;
            }
        }
    size_t columns = maxColumns;
    while (columns > 1 && !layouts[columns - 1].fits)
        --columns;
    const Layout& l = layouts[columns - 1];
    const size_t rows = (count + columns - 1) / columns;
    for (size_t row = 0; row < rows; ++row) {
        std::string line;
        size_t position = 0;
        for (size_t column = 0, file = row; file < count; ++column, file += rows) {
            line += names[file];
            if (file + rows >= count)
                break;
            // Up to the next column with tabs where a tab stop (every 8) is passed, as ls does.
            for (size_t from = position + widths[file], to = position + l.width[column]; from < to;) {
                if (to / 8 > (from + 1) / 8) {
                    line += '\t';
                    from += 8 - from % 8;
                } else {
                    line += ' ';
                    ++from;
                }
            }
            position += l.width[column];
        }
        out(line + "\n");
    }
}

// Prints entries (sorted) in the chosen format; with -l their columns are aligned together, and
// with the columns of alsoAlign (ls aligns the files named on the command line with the folders
// named beside them, whose own lines come later).
void printEntries(const std::vector<Entry>& entries, const Options& o, const std::vector<Entry>& alsoAlign = {})
{
    if (!o.longFormat && o.columns) {
        printColumns(entries, o);
        return;
    }
    if (!o.longFormat) {
        for (const Entry& e : entries)
            out(shown(e.name, o) + "\n");
        return;
    }
    struct Row { std::string mode, links, owner, group, size, date, name; };
    std::vector<Row> rows;
    size_t wLinks = 0, wOwner = 0, wGroup = 0, wSize = 0;
    bool someQuoted = false;
    for (const Entry& e : entries) {
        Row r;
        r.mode = modeText(e.st.st_mode);
        r.links = std::to_string(static_cast<unsigned long long>(e.st.st_nlink));
        r.owner = idName(true, e.st.st_uid);
        r.group = idName(false, e.st.st_gid);
        r.size = S_ISCHR(e.st.st_mode) || S_ISBLK(e.st.st_mode)
                     ? xpfsFormat("%u, %u", major(e.st.st_rdev), minor(e.st.st_rdev))
                     : std::to_string(static_cast<long long>(e.st.st_size));
        r.date = dateText(e.st.st_mtim);
        r.name = shown(e.name, o);
        if (o.quoting == SHELL_ESCAPE && r.name != e.name)
            someQuoted = true;
        if (S_ISLNK(e.st.st_mode))
            r.name += " -> " + shown(e.target, o);
        wLinks = std::max(wLinks, r.links.size());
        wOwner = std::max(wOwner, r.owner.size());
        wGroup = std::max(wGroup, r.group.size());
        wSize = std::max(wSize, r.size.size());
        rows.push_back(r);
    }
    for (const Entry& e : alsoAlign) {
        wLinks = std::max(wLinks, std::to_string(static_cast<unsigned long long>(e.st.st_nlink)).size());
        wOwner = std::max(wOwner, idName(true, e.st.st_uid).size());
        wGroup = std::max(wGroup, idName(false, e.st.st_gid).size());
        wSize = std::max(wSize, S_ISCHR(e.st.st_mode) || S_ISBLK(e.st.st_mode)
                                    ? xpfsFormat("%u, %u", major(e.st.st_rdev), minor(e.st.st_rdev)).size()
                                    : std::to_string(static_cast<long long>(e.st.st_size)).size());
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        // As ls on a terminal: when a name of the listing is quoted, the others start one column
        // later, so that the names' own first characters stay aligned.
        const bool pad = someQuoted && shown(entries[i].name, o) == entries[i].name;
        out(r.mode + " " + std::string(wLinks - r.links.size(), ' ') + r.links + " " + r.owner +
            std::string(wOwner - r.owner.size(), ' ') + " " + r.group + std::string(wGroup - r.group.size(), ' ') +
            " " + std::string(wSize - r.size.size(), ' ') + r.size + " " + r.date + " " + (pad ? " " : "") +
            r.name + "\n");
    }
}

// Fills what -l needs of e, an entry of the folder dir: lstat and a link's target.
bool describe(int dir, const char* name, Entry& e, const std::string& shownPath, bool follow)
{
    if (fstatat(dir, name, &e.st, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
        xpfsMessageErrno(xpfsFormat(_("cannot access %s"), xpfsQuote(shownPath.c_str()).c_str()), errno);
        return false;
    }
    e.stated = true;
    if (S_ISLNK(e.st.st_mode)) {
        std::vector<char> target(static_cast<size_t>(e.st.st_size > 0 ? e.st.st_size : PATH_MAX) + 1);
        ssize_t n = readlinkat(dir, name, target.data(), target.size());
        if (n < 0) {
            xpfsMessageErrno(xpfsFormat(_("cannot read symbolic link %s"), xpfsQuote(shownPath.c_str()).c_str()), errno);
            return false;
        }
        e.target.assign(target.data(), static_cast<size_t>(n));
    }
    return true;
}

std::string joined(const std::string& folder, const std::string& name)
{
    return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

class Lister {
public:
    explicit Lister(const Options& options) : o(options) {}
    bool ok = true;
    bool printedSomething = false;

    // Lists the folder open at fd (taken over), shown as path; with a header when asked.
    void ListFolder(int fd, const std::string& path, bool header)
    {
        XpFd owned(fd);
        DIR* stream = fdopendir(fd);
        if (stream == nullptr) {
            xpfsMessageErrno(xpfsFormat(_("cannot open directory %s"), xpfsQuote(path.c_str()).c_str()), errno);
            ok = false;
            return;
        }
        owned.Release(); // the stream's now, closed with it
        std::vector<Entry> entries;
        bool describedAll = true;
        errno = 0;
        for (struct dirent* d = readdir(stream); d != nullptr; d = readdir(stream)) {
            const char* name = d->d_name;
            const bool dots = std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
            if (name[0] == '.' && !(o.all || (o.almostAll && !dots)))
                continue;
            Entry e;
            e.name = name;
            e.type = d->d_type;
            if (o.longFormat || (o.recursive && e.type == DT_UNKNOWN)) {
                const bool described = describe(dirfd(stream), name, e, joined(path, name), false);
                describedAll = described && describedAll;
                if (!described && o.longFormat)
                    continue;   // gone meanwhile, or unreadable: told, and no line of guesses
            }
            entries.push_back(std::move(e));
            errno = 0;
        }
        const int readErr = errno;
        sortEntries(entries);
        if (header)
            out(std::string(printedSomething ? "\n" : "") + shown(path, o) + ":\n");
        printedSomething = true;
        if (o.longFormat) {
            unsigned long long blocks = 0;
            for (const Entry& e : entries)
                blocks += e.stated ? static_cast<unsigned long long>(e.st.st_blocks) : 0;
            out(xpfsFormat("total %llu\n", (blocks + 1) / 2));   // 512-byte blocks, as KiB rounded up
        }
        printEntries(entries, o);
        if (readErr != 0) {
            xpfsMessageErrno(xpfsFormat(_("reading directory %s"), xpfsQuote(path.c_str()).c_str()), readErr);
            ok = false;
        }
        ok = ok && describedAll;
        if (o.recursive)
            for (const Entry& e : entries) {
                if (!isDir(e) || e.name == "." || e.name == "..")
                    continue;
                // Never through a link: a link below the operand is listed, not entered.
                int child = openat(dirfd(stream), e.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                const std::string childPath = joined(path, e.name);
                if (child < 0) {
                    xpfsMessageErrno(xpfsFormat(_("cannot open directory %s"), xpfsQuote(childPath.c_str()).c_str()), errno);
                    ok = false;
                    continue;
                }
                ListFolder(child, childPath, true);
            }
        closedir(stream);
    }

private:
    const Options& o;
};

enum { OPT_ESCAPE = 'b', OPT_QUOTE = 'Q', OPT_LITERAL = 'N' };

int runLs(const XpfsCommand&, XpfsArgs& args)
{
    Options o;
    o.all = args.Last({'a', 'A'}) == 'a';
    o.almostAll = args.Last({'a', 'A'}) == 'A';
    o.directory = args.Has('d');
    o.longFormat = args.Has('l');
    o.recursive = args.Has('R') && !o.directory;
    const bool terminal = isatty(STDOUT_FILENO) == 1;
    switch (args.Last({OPT_ESCAPE, OPT_QUOTE, OPT_LITERAL})) {
    case OPT_ESCAPE: o.quoting = ESCAPE; break;
    case OPT_QUOTE: o.quoting = C_QUOTE; break;
    case OPT_LITERAL: o.quoting = LITERAL; break;
    default: o.quoting = terminal ? SHELL_ESCAPE : LITERAL; break;
    }
    o.hideControl = terminal && o.quoting == LITERAL;
    o.columns = args.Last({'1', 'C'}) == 'C' || (terminal && args.Last({'1', 'C'}) == 0);
    struct winsize size;
    const char* columnsVariable = std::getenv("COLUMNS");
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        o.lineWidth = size.ws_col;
    else if (columnsVariable != nullptr && std::atoi(columnsVariable) > 0)
        o.lineWidth = static_cast<size_t>(std::atoi(columnsVariable));
    if (o.recursive) {
        // One descriptor stays open for each level being walked: allow as many as the system does.
        struct rlimit limit;
        if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
            limit.rlim_cur = limit.rlim_max;
            setrlimit(RLIMIT_NOFILE, &limit);
        }
    }
    std::vector<std::string> operands;
    for (int i = 0; i < args.Count(); ++i)
        operands.push_back(args.Operands()[i]);
    if (operands.empty())
        operands.push_back(".");
    Lister lister(o);
    std::vector<Entry> files, folders;
    for (const std::string& operand : operands) {
        Entry e;
        e.name = operand;
        // A link named on the command line is followed to what it names, unless -l or -d asks
        // for the link itself; one that leads nowhere is then shown as the link.
        const bool follow = !o.longFormat && !o.directory;
        struct stat st;
        if (follow && stat(operand.c_str(), &st) != 0 && lstat(operand.c_str(), &st) == 0) {
            if (!describe(AT_FDCWD, operand.c_str(), e, operand, false))
                lister.ok = false;
            else
                files.push_back(e);
            continue;
        }
        if (!describe(AT_FDCWD, operand.c_str(), e, operand, follow)) {
            lister.ok = false;
            continue;
        }
        (S_ISDIR(e.st.st_mode) && !o.directory ? folders : files).push_back(e);
    }
    sortEntries(files);
    sortEntries(folders);
    if (!files.empty()) {
        printEntries(files, o, folders);
        lister.printedSomething = true;
    }
    const bool headers = o.recursive || operands.size() > 1;
    for (const Entry& folder : folders) {
        int fd = open(folder.name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            xpfsMessageErrno(xpfsFormat(_("cannot open directory %s"), xpfsQuote(folder.name.c_str()).c_str()), errno);
            lister.ok = false;
            continue;
        }
        lister.ListFolder(fd, folder.name, headers);
    }
    return lister.ok ? XPFS_OK : XPFS_FAILED;
}

const XpfsOption kOptions[] = {
    {'a', "all", nullptr, N_("also list names beginning with '.', and . and ..")},
    {'A', "almost-all", nullptr, N_("also list names beginning with '.', but not . and ..")},
    {'d', "directory", nullptr, N_("list folders themselves, not their contents")},
    {'l', nullptr, nullptr, N_("long listing: mode, links, owner, group, size, date")},
    {'R', "recursive", nullptr, N_("list the folders below too, level by level")},
    {'1', nullptr, nullptr, N_("one name per line (the default into a pipe or a file)")},
    {'C', nullptr, nullptr, N_("names in columns (the default on a terminal)")},
    {'b', "escape", nullptr, N_("C-style escapes for characters that are not printable")},
    {'Q', "quote-name", nullptr, N_("names in double quotes, with C-style escapes")},
    {'N', "literal", nullptr, N_("names as they are, without quotes")},
    {0, nullptr, nullptr, nullptr},
};

const XpfsCommand kCommands[] = {
    {"ls", nullptr, "[OPTION]... [PATH]...", N_("List folders' entries and files, sorted by name."),
     N_("Names beginning with '.' are listed with -a or -A. Names are sorted in the locale's\n"
        "order (LC_ALL=C: by bytes). On a terminal, names a shell would misread are quoted\n"
        "('a b'); into a pipe or a file they are written as they are. -R never follows a\n"
        "symbolic link below PATH and reaches any depth."),
     nullptr, kOptions, runLs},
};
XpfsRegistration registration(kCommands, 1);

} // namespace
