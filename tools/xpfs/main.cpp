// xpfs: a command-line tool over XpCommonLib's file half, in the manner of gio and coreutils.
//
//   xpfs GROUP [COMMAND] [OPERAND...]
//
// The dispatcher finds the command in the table that the group files fill, answers --help at
// every level, and otherwise hands the operands to the command.
#include "xpfs.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

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
    std::fprintf(out, "  xpfs %s %s\n      %s\n", xpfsCommandName(c).c_str(), c.usage, c.summary);
}

void printToolHelp(FILE* out)
{
    std::fprintf(out,
                 "Usage: xpfs GROUP [COMMAND] [OPERAND...]\n"
                 "File and path operations of XpCommonLib from the command line.\n\n"
                 "Commands:\n");
    for (const XpfsCommand& c : table())
        printCommandLine(out, c);
    std::fprintf(out,
                 "\n'xpfs GROUP --help' and 'xpfs GROUP COMMAND --help' describe a group or a command;\n"
                 "'xpfs --version' prints the version.\n"
                 "Exit status: 0 success, 1 an operation failed, 2 usage error.\n"
                 "Failures are reported on stderr as 'xpfs: COMMAND: OPERAND: XPERR_NAME'.\n");
}

void printGroupHelp(const char* group)
{
    std::printf("Usage: xpfs %s COMMAND [OPERAND...]\n\nCommands:\n", group);
    for (const XpfsCommand& c : table())
        if (std::strcmp(c.group, group) == 0)
            printCommandLine(stdout, c);
}

void printCommandHelp(const XpfsCommand& c)
{
    std::printf("Usage: xpfs %s %s\n%s\n", xpfsCommandName(c).c_str(), c.usage, c.summary);
    if (c.help)
        std::printf("\n%s\n", c.help);
}

// The operands of c: its help when one of them (before "--") asks for it, else the operands with
// a leading "--" dropped.
XpfsCommandLine commandOperands(const XpfsCommand& c, int argc, char** argv)
{
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

} // namespace

XpfsRegistration::XpfsRegistration(const XpfsCommand* commands, int count)
{
    table().insert(table().end(), commands, commands + count);
}

std::string xpfsCommandName(const XpfsCommand& command)
{
    return command.name ? std::string(command.group) + " " + command.name : std::string(command.group);
}

void xpfsReportError(const XpfsCommand& command, const char* operand, XpErr err)
{
    const char* name = XpErrName(err);
    std::fflush(stdout);   // keep the order of results and messages on a shared terminal
    if (name)
        std::fprintf(stderr, "xpfs: %s: %s: %s\n", xpfsCommandName(command).c_str(), operand, name);
    else
        std::fprintf(stderr, "xpfs: %s: %s: 0x%X\n", xpfsCommandName(command).c_str(), operand, err);
}

void xpfsReportFailure(const XpfsCommand& command, const char* operand, const XpFileError& err)
{
    if (err.SysErr() == 0) {
        xpfsReportError(command, operand, err.Code());
        return;
    }
    std::fflush(stdout);
    std::fprintf(stderr, "xpfs: %s: %s: %s\n", xpfsCommandName(command).c_str(), operand, err.Describe().GetBuffer());
}

int xpfsUsageError(const XpfsCommand& command, const std::string& message)
{
    std::string name = xpfsCommandName(command);
    std::fprintf(stderr, "xpfs: %s: %s\nTry 'xpfs %s --help'.\n", name.c_str(), message.c_str(), name.c_str());
    return XPFS_USAGE;
}

int xpfsCheckOperands(const XpfsCommand& command, int argc, int min, int max)
{
    if (argc < min)
        return xpfsUsageError(command, "missing operand");
    if (max >= 0 && argc > max)
        return xpfsUsageError(command, "too many operands");
    return XPFS_OK;
}

int xpfsForEachOperand(const XpfsCommand& command, int argc, char** argv,
                       const std::function<XpErr(const char* operand)>& operation)
{
    if (int usage = xpfsCheckOperands(command, argc, 1, -1))
        return usage;
    int status = XPFS_OK;
    for (int i = 0; i < argc; ++i)
        if (XpErr err = operation(argv[i])) {
            xpfsReportError(command, argv[i], err);
            status = XPFS_FAILED;
        }
    return status;
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
        line.message = std::string("xpfs: unknown command '") + group + "'\nTry 'xpfs --help'.\n";
        return line;
    }
    if (argc >= 3 && isHelp(argv[2])) {
        line.action = XpfsCommandLine::GROUP_HELP;
        line.group = group;
        return line;
    }
    line.message = std::string("xpfs: ") + group + ": " +
                   (argc < 3 ? std::string("missing command") : std::string("unknown command '") + argv[2] + "'") +
                   "\nTry 'xpfs " + group + " --help'.\n";
    return line;
}

int xpfsMain(int argc, char** argv)
{
    sortTable();
    XpfsCommandLine line = xpfsParseCommandLine(argc, argv);
    switch (line.action) {
    case XpfsCommandLine::RUN:
        return line.command->run(*line.command, line.argc, line.argv);
    case XpfsCommandLine::TOOL_HELP:
        printToolHelp(stdout);
        return XPFS_OK;
    case XpfsCommandLine::TOOL_VERSION:
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
