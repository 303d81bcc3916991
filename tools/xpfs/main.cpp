// xpfs: a command-line tool over XpCommonLib's file half, in the manner of gio and coreutils.
//
//   xpfs GROUP [COMMAND] [OPERAND...]
//
// The dispatcher finds the command in the table that the group files fill, answers --help at
// every level, and otherwise hands the operands to the command.
#include "xpfs.h"

#include <fcntl.h>
#include <getopt.h>
#include <langinfo.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <vector>

#ifndef XPFS_LOCALEDIR_FROM_BIN
#define XPFS_LOCALEDIR_FROM_BIN "../share/locale"
#endif

bool xpfsDebug = false;

namespace {

std::vector<XpfsCommand>& table()
{
    static std::vector<XpfsCommand> commands;   // filled during static initialisation
    return commands;
}

// The table in the order of the help texts: by group, then command (registration follows the
// link order, which says nothing).
void sortTable()
{
    std::stable_sort(table().begin(), table().end(), [](const XpfsCommand& a, const XpfsCommand& b) {
        int byGroup = std::strcmp(a.group, b.group);
        return byGroup != 0 ? byGroup < 0 : std::strcmp(a.name ? a.name : "", b.name ? b.name : "") < 0;
    });
}

bool isHelp(const char* arg)
{
    return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0;
}

void printCommandLine(FILE* out, const XpfsCommand& c)
{
    std::fprintf(out, "  xpfs %s %s\n      %s\n", xpfsCommandName(c).c_str(), _(c.usage), _(c.summary));
}

void printToolHelp(FILE* out)
{
    std::fprintf(out, "%s\n%s\n\n%s\n", _("Usage: xpfs GROUP [COMMAND] [OPTION]... [OPERAND]..."),
                 _("File and path operations of XpCommonLib from the command line."), _("Commands:"));
    for (const XpfsCommand& c : table())
        printCommandLine(out, c);
    std::fprintf(out, "\n%s\n",
                 _("'xpfs GROUP --help' and 'xpfs GROUP COMMAND --help' describe a group or a command;\n"
                   "'xpfs --version' prints the version. Options may follow operands (not when\n"
                   "POSIXLY_CORRECT is set); '--' ends the options.\n"
                   "Exit status: 0 success, 1 an operation failed (every operand is still tried),\n"
                   "2 usage error, 128+N ended by signal N (130: Ctrl-C). Failures are reported on\n"
                   "stderr as 'xpfs: what failed: reason', the reason being the system's; --debug\n"
                   "adds the library's error code."));
}

void printGroupHelp(const char* group)
{
    std::printf("%s\n\n%s\n", xpfsFormat(_("Usage: xpfs %s COMMAND [OPERAND]..."), group).c_str(), _("Commands:"));
    for (const XpfsCommand& c : table())
        if (std::strcmp(c.group, group) == 0)
            printCommandLine(stdout, c);
}

void printOptions(const XpfsCommand& c);

void printCommandHelp(const XpfsCommand& c)
{
    std::printf("%s xpfs %s %s\n%s\n", _("Usage:"), xpfsCommandName(c).c_str(), _(c.usage), _(c.summary));
    if (c.options)
        printOptions(c);
    if (c.help)
        std::printf("\n%s\n", _(c.help));
}

// The operands of c: its help when one of them (before "--") asks for it, else the operands with
// a leading "--" dropped.
XpfsCommandLine parseOptions(const XpfsCommand& c, int argc, char** argv);
void printOptions(const XpfsCommand& c);

XpfsCommandLine commandOperands(const XpfsCommand& c, int argc, char** argv)
{
    if (c.options)
        return parseOptions(c, argc, argv);
    XpfsCommandLine line;
    line.command = &c;
    for (int i = 0; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (isHelp(argv[i])) {
            line.action = XpfsCommandLine::COMMAND_HELP;
            return line;
        }
    if (argc > 0 && std::strcmp(argv[0], "--") == 0) {
        ++argv;
        --argc;
    }
    line.action = XpfsCommandLine::RUN;
    line.argc = argc;
    line.argv = argv;
    return line;
}

// The ids the dispatcher answers itself for a command with declared options.
enum { OPT_HELP = 0x10000, OPT_VERSION, OPT_DEBUG };

// "-n, --no-clobber" or "    --progress", with "=DIR" or " DIR" after a value's name.
std::string optionLabel(const XpfsOption& o)
{
    std::string label = o.id < XPFS_LONG_ONLY ? std::string("-") + static_cast<char>(o.id) : std::string("  ");
    if (o.longName)
        label += std::string(o.id < XPFS_LONG_ONLY ? ", --" : "  --") + o.longName;
    if (o.argName) {   // the value's name in the reader's language, as in the usage line
        std::string value = _(o.argName);
        label += o.optionalValue ? "[=" + value + "]" : (o.longName ? "=" : " ") + value;
    }
    return label;
}

void printOptions(const XpfsCommand& c)
{
    std::printf("\n%s\n", _("Options:"));
    auto line = [](const std::string& label, const char* help) {
        std::string text = help;   // continuation lines are indented like the first
        std::string indent(26, ' ');
        for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1))
            text.insert(at + 1, indent);
        if (label.size() <= 22)
            std::printf("  %-22s  %s\n", label.c_str(), text.c_str());
        else
            std::printf("  %s\n%s%s\n", label.c_str(), indent.c_str(), text.c_str());
    };
    for (const XpfsOption* o = c.options; o->id != 0; ++o)
        if (o->help)
            line(optionLabel(*o), _(o->help));
    line("    --debug", _("name the library's error code in messages"));
    line("    --help", _("display this help and exit"));
    line("    --version", _("output version information and exit"));
}

// getopt_long over c's options; the result is RUN with line.args filled, COMMAND_HELP,
// COMMAND_VERSION or USAGE. getopt's own messages are off: ours are translated in our domain and
// name the command in the hint.
XpfsCommandLine parseOptions(const XpfsCommand& c, int argc, char** argv)
{
    XpfsCommandLine line;
    line.command = &c;
    std::string shortOptions = ":";   // ':' first: a missing value is told apart from an unknown option
    std::vector<option> longOptions;
    for (const XpfsOption* o = c.options; o->id != 0; ++o) {
        int has = o->argName == nullptr ? no_argument : o->optionalValue ? optional_argument : required_argument;
        if (o->id < XPFS_LONG_ONLY) {
            shortOptions += static_cast<char>(o->id);
            if (has == required_argument)
                shortOptions += ':';
        }
        if (o->longName)
            longOptions.push_back({o->longName, has, nullptr, o->id});
    }
    longOptions.push_back({"help", no_argument, nullptr, OPT_HELP});
    longOptions.push_back({"version", no_argument, nullptr, OPT_VERSION});
    longOptions.push_back({"debug", no_argument, nullptr, OPT_DEBUG});
    longOptions.push_back({nullptr, 0, nullptr, 0});
    // getopt wants the program's name in argv[0]: give it one, and the operands after it.
    std::vector<char*> args;
    static char name[] = "xpfs";
    args.push_back(name);
    args.insert(args.end(), argv, argv + argc);
    args.push_back(nullptr);
    int count = argc + 1;
    opterr = 0;
    optind = 0;   // 0: a full restart of glibc's getopt (a parse may follow another one)
    std::string usage;
    for (;;) {
        int index = -1;
        int id = getopt_long(count, args.data(), shortOptions.c_str(), longOptions.data(), &index);
        if (id == -1)
            break;
        const char* current = args[optind - 1];
        if (id == OPT_HELP || id == OPT_VERSION) {
            line.action = id == OPT_HELP ? XpfsCommandLine::COMMAND_HELP : XpfsCommandLine::COMMAND_VERSION;
            return line;
        }
        if (id == OPT_DEBUG) {
            line.args.options.push_back({OPT_DEBUG, nullptr});
            continue;
        }
        if (id == '?' || id == ':') {
            if (!usage.empty())
                continue;   // the first one is told; --help later on still wins
            bool isLong = std::strncmp(current, "--", 2) == 0;
            std::string text = isLong ? std::string(current) : std::string(1, static_cast<char>(optopt));
            if (isLong && text.find('=') != std::string::npos && id == '?' && optopt != 0)
                text = text.substr(0, text.find('='));
            if (id == ':')
                usage = isLong ? xpfsFormat(_("option '%s' requires an argument"), text.c_str())
                               : xpfsFormat(_("option requires an argument -- '%s'"), text.c_str());
            else if (isLong && optopt != 0)
                usage = xpfsFormat(_("option '%s' doesn't allow an argument"), text.c_str());
            else if (isLong)
                usage = xpfsFormat(_("unrecognized option '%s'"), text.c_str());
            else
                usage = xpfsFormat(_("invalid option -- '%s'"), text.c_str());
            continue;
        }
        line.args.options.push_back({id, optarg});
    }
    if (!usage.empty()) {
        std::string name = xpfsCommandName(c);
        line.message = "xpfs: " + usage + "\n" + xpfsFormat(_("Try 'xpfs %s --help' for more information."), name.c_str()) + "\n";
        return line;
    }
    line.args.operands.assign(args.begin() + optind, args.begin() + count);
    line.action = XpfsCommandLine::RUN;
    return line;
}

// stdout once everything is written: a write error that stdio kept to itself (a full disk,
// >/dev/full, a closed pipe) is told and fails the command, as coreutils' close_stdout does.
int closeStdout(int status)
{
    errno = 0;
    bool failed = std::fflush(stdout) != 0 || std::ferror(stdout);
    int err = errno;
    if (std::fclose(stdout) != 0 && !failed) {
        failed = true;
        err = errno;
    }
    if (!failed)
        return status;
    std::string text = _("write error");
    if (err != 0)
        text += std::string(": ") + std::strerror(err);
    std::fprintf(stderr, "xpfs: %s\n", text.c_str());
    return status == XPFS_OK ? XPFS_FAILED : status;
}

// The catalogs: locale/ beside the program in the build tree, else the system's locale folder
// relative to the program (installed under any prefix).
void bindTexts()
{
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return;
    std::string folder(self, static_cast<size_t>(length));
    folder.erase(folder.rfind('/'));
    std::string catalogs = folder + "/locale";
    struct stat st;
    if (stat(catalogs.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        catalogs = folder + "/" XPFS_LOCALEDIR_FROM_BIN;
    bindtextdomain(XPFS_TEXT_DOMAIN, catalogs.c_str());
    bind_textdomain_codeset(XPFS_TEXT_DOMAIN, "UTF-8");
}

} // namespace

size_t xpfsPrintableCharacter(const char* text, size_t n, mbstate_t* state)
{
    wchar_t wc;
    size_t length = std::mbrtowc(&wc, text, n, state);
    if (length == static_cast<size_t>(-1) || length == static_cast<size_t>(-2) || length == 0) {
        std::memset(state, 0, sizeof *state);
        return 0;
    }
    return std::iswprint(static_cast<wint_t>(wc)) ? length : 0;
}

bool XpfsArgs::Has(int id) const
{
    for (const auto& o : options)
        if (o.first == id)
            return true;
    return false;
}

const char* XpfsArgs::Value(int id) const
{
    const char* value = nullptr;
    for (const auto& o : options)
        if (o.first == id)
            value = o.second;
    return value;
}

int XpfsArgs::Last(std::initializer_list<int> ids) const
{
    int last = 0;
    for (const auto& o : options)
        if (std::find(ids.begin(), ids.end(), o.first) != ids.end())
            last = o.first;
    return last;
}

std::string xpfsQuote(const char* name)
{
    // First pass: is every character printable, and may the name go in double quotes (it has a
    // single quote and nothing a shell would expand between double quotes)?
    size_t n = std::strlen(name);
    bool plain = true, quote = false, doubleOk = true;
    mbstate_t state;
    std::memset(&state, 0, sizeof state);
    for (size_t i = 0; i < n;) {
        size_t length = xpfsPrintableCharacter(name + i, n - i, &state);
        if (length == 0) {
            plain = false;
            break;
        }
        if (length == 1 && std::strchr("\"$`\\!", name[i]))
            doubleOk = false;
        quote = quote || name[i] == '\'';
        i += length;
    }
    if (plain && quote && doubleOk)
        return "\"" + std::string(name) + "\"";
    // Single quotes; a single quote as \'; a byte that is not printable as $'\n' or $'\ooo'.
    std::string out = "'";
    bool inQuote = true, inDollar = false;
    std::memset(&state, 0, sizeof state);
    for (size_t i = 0; i < n;) {
        size_t length = xpfsPrintableCharacter(name + i, n - i, &state);
        if (length == 0) {
            if (inQuote)
                out += "'";
            if (!inDollar)
                out += "$'";
            inQuote = false;
            inDollar = true;
            unsigned char c = static_cast<unsigned char>(name[i]);
            const char* known = std::strchr("\a\b\f\n\r\t\v", c);
            if (c != 0 && known)
                out += std::string("\\") + "abfnrtv"[known - "\a\b\f\n\r\t\v"];
            else
                out += xpfsFormat("\\%03o", c);
            ++i;
            continue;
        }
        if (inDollar) {
            out += "'";
            inDollar = false;
        }
        if (name[i] == '\'') {
            out += inQuote ? "'\\''" : "\\''";
            inQuote = true;
        } else {
            if (!inQuote)
                out += "'";
            inQuote = true;
            out.append(name + i, length);
        }
        i += length;
    }
    if (inQuote || inDollar)
        out += "'";
    return out;
}

std::string xpfsFormat(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    char* text = nullptr;
    int length = vasprintf(&text, format, args);
    va_end(args);
    if (length < 0)
        return std::string();
    std::string result(text, static_cast<size_t>(length));
    std::free(text);
    return result;
}

void xpfsMessage(const std::string& text)
{
    std::fflush(stdout);
    std::fprintf(stderr, "xpfs: %s\n", text.c_str());
}

void xpfsMessageCause(const std::string& text, const XpFileError& err)
{
    std::string reason = err.Describe().GetBuffer();
    if (xpfsDebug && err.SysErr() != 0 && XpErrName(err.Code()))
        reason += std::string(" (") + XpErrName(err.Code()) + ")";
    xpfsMessage(text + ": " + reason);
}

void xpfsMessageErrno(const std::string& text, int err)
{
    xpfsMessage(text + ": " + std::strerror(err));
}

int xpfsAskYes(const std::string& question)
{
    XpFd tty(open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!tty.IsValid())
        return -1;
    std::fflush(stdout);
    std::string text = "xpfs: " + question;
    bool written = write(tty.Get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
    std::string answer;
    char c;
    while (written && read(tty.Get(), &c, 1) == 1 && c != '\n')
        answer += c;
    return written && rpmatch(answer.c_str()) == 1 ? 1 : 0;
}

XpfsRegistration::XpfsRegistration(const XpfsCommand* commands, int count)
{
    table().insert(table().end(), commands, commands + count);
}

std::string xpfsCommandName(const XpfsCommand& command)
{
    return command.name ? std::string(command.group) + " " + command.name : std::string(command.group);
}

int xpfsUsageError(const XpfsCommand& command, const std::string& message)
{
    std::string name = xpfsCommandName(command);
    std::fflush(stdout);
    std::fprintf(stderr, "xpfs: %s\n%s\n", message.c_str(),
                 xpfsFormat(_("Try 'xpfs %s --help' for more information."), name.c_str()).c_str());
    return XPFS_USAGE;
}

int xpfsCheckOperands(const XpfsCommand& command, int argc, int min, int max)
{
    if (argc < min)
        return xpfsUsageError(command, _("missing operand"));
    if (max >= 0 && argc > max)
        return xpfsUsageError(command, _("too many operands"));
    return XPFS_OK;
}

XpfsCommandLine xpfsParseCommandLine(int argc, char** argv)
{
    XpfsCommandLine line;
    if (argc < 2)
        return line;   // USAGE with the command list as the message
    if (isHelp(argv[1])) {
        line.action = XpfsCommandLine::TOOL_HELP;
        return line;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        line.action = XpfsCommandLine::TOOL_VERSION;
        return line;
    }
    const char* group = argv[1];
    bool known = false;
    for (const XpfsCommand& c : table()) {
        if (std::strcmp(c.group, group) != 0)
            continue;
        known = true;
        if (c.name == nullptr)
            return commandOperands(c, argc - 2, argv + 2);
        if (argc >= 3 && std::strcmp(c.name, argv[2]) == 0)
            return commandOperands(c, argc - 3, argv + 3);
    }
    if (!known) {
        line.message = "xpfs: " + xpfsFormat(_("unknown command '%s'"), group) + "\n" +
                       _("Try 'xpfs --help' for more information.") + "\n";
        return line;
    }
    if (argc >= 3 && isHelp(argv[2])) {
        line.action = XpfsCommandLine::GROUP_HELP;
        line.group = group;
        return line;
    }
    line.message = std::string("xpfs: ") + group + ": " +
                   (argc < 3 ? std::string(_("missing command")) : xpfsFormat(_("unknown command '%s'"), argv[2])) +
                   "\n" + xpfsFormat(_("Try 'xpfs %s --help' for more information."), group) + "\n";
    return line;
}

int xpfsMain(int argc, char** argv)
{
    setlocale(LC_ALL, "");
    bindTexts();
    sortTable();
    XpfsCommandLine line = xpfsParseCommandLine(argc, argv);
    return closeStdout(xpfsRun(line));
}

int xpfsRun(XpfsCommandLine& line)
{
    switch (line.action) {
    case XpfsCommandLine::RUN:
        if (line.command->options) {
            xpfsDebug = line.args.Has(OPT_DEBUG);
            return line.command->runArgs(*line.command, line.args);
        }
        return line.command->run(*line.command, line.argc, line.argv);
    case XpfsCommandLine::TOOL_HELP:
        printToolHelp(stdout);
        return XPFS_OK;
    case XpfsCommandLine::TOOL_VERSION:
    case XpfsCommandLine::COMMAND_VERSION:
        std::printf("xpfs %s\n", XP_PROJECT_VERSION);
        return XPFS_OK;
    case XpfsCommandLine::GROUP_HELP:
        printGroupHelp(line.group);
        return XPFS_OK;
    case XpfsCommandLine::COMMAND_HELP:
        printCommandHelp(*line.command);
        return XPFS_OK;
    case XpfsCommandLine::USAGE:
        break;
    }
    if (line.message.empty())
        printToolHelp(stderr);
    else
        std::fputs(line.message.c_str(), stderr);
    return XPFS_USAGE;
}
// The fuzz target of the parse links every file of the tool but has its own entry point.
#ifndef XPFS_NO_MAIN
int main(int argc, char** argv)
{
    return xpfsMain(argc, argv);
}
#endif
