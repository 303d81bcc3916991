// xpfs: the command table shared by the dispatcher and the command groups.
//
// Each group lives in its own source file (path.cpp, ...) and registers its commands with one
// static XpfsRegistration; the dispatcher (main.cpp) knows no group by name. Adding a group
// means adding a source file: the build takes every .cpp of this folder.
#ifndef XPFS_H
#define XPFS_H

#include <XpCommonLib.h>
#include <XpFd.h>

#include <functional>
#include <string>

// Exit status of every command.
enum XpfsStatus {
    XPFS_OK = 0,        // every operation succeeded
    XPFS_FAILED = 1,    // an operation failed (each failure reported on stderr)
    XPFS_USAGE = 2,     // the command line was not understood
};

struct XpfsCommand {
    const char* group;     // first word: "path", "ls", ...
    const char* name;      // second word ("split"), or null for a group that is one command
    const char* usage;     // operands after the command words: "PATH..."
    const char* summary;   // one line for the command list
    const char* help;      // further lines for --help (may be null)
    // Runs the command on its operands (argv[0] is the first operand; "--help" has been dealt
    // with). Returns an XpfsStatus.
    int (*run)(const XpfsCommand& self, int argc, char** argv);
};

// Adds a group's commands to the table. Use one static object per group file.
struct XpfsRegistration {
    XpfsRegistration(const XpfsCommand* commands, int count);
};

// "path split", or "ls": the words that name a command in messages.
std::string xpfsCommandName(const XpfsCommand& command);
// Reports a failed operation: "xpfs: <command>: <operand>: <XpErr name>" on stderr.
void xpfsReportError(const XpfsCommand& command, const char* operand, XpErr err);
// Reports a failed operation with its cause: "xpfs: <command>: <operand>: <reason>" on stderr,
// the reason being the system's text (XpFileError::Describe: "No such file or directory"), or
// the XpErr name when no system call failed.
void xpfsReportFailure(const XpfsCommand& command, const char* operand, const XpFileError& err);
// Reports a usage error ("xpfs: <command>: <message>" and a hint to --help) and returns
// XPFS_USAGE.
int xpfsUsageError(const XpfsCommand& command, const std::string& message);
// XPFS_USAGE with a message when argc is outside [min, max] (max < 0: no upper bound), else
// XPFS_OK.
int xpfsCheckOperands(const XpfsCommand& command, int argc, int min, int max);
// The common shape of a command over one or more operands: runs operation on each in order,
// reports each failure and goes on. XPFS_USAGE without operands, XPFS_FAILED when any failed.
int xpfsForEachOperand(const XpfsCommand& command, int argc, char** argv,
                       const std::function<XpErr(const char* operand)>& operation);

// Asks question in a child process (standard streams on /dev/null) and gives back the byte it
// answered, or -1 when none came within seconds (negative: no limit). The tool never waits for
// the child itself, so a question that hangs in the kernel on a dead share cannot keep the tool
// from ending (volume.cpp says why it must be a process).
int xpfsAskInChild(const std::function<char()>& question, double seconds);
// Whether path's volume answers the library's device test (IsDeviceAvailable), asked in a child
// and given up shortly after the test's own second: call it before an operation that would run
// that test in the tool's process, so that a hung share is reported instead of waited for.
bool xpfsVolumeAnswers(const char* path);
// How long to wait for a child asked with an availability time-out of timeout seconds (the time-out
// plus the child's start; -1 for 0xFFFFFFFF, which waits without limit).
double xpfsAnswerLimit(unsigned int timeout);
// The display path of path (XpPathUtil::ConvertSystemPathToDisplayPath), also for a path whose
// bytes are not UTF-8, which the library counts as not existing: the real path's longest leading
// part that is UTF-8 is converted by the library and the components after it are added by name
// (':' and '/' swapped as the library swaps them). "" when path does not exist.
XpStringT<char> xpfsDisplayPath(const char* path);
// path made absolute against the working directory (the library finds volume roots and makes
// chains of folders for absolute paths only); an absolute path is returned unchanged.
std::string xpfsAbsolute(const char* path);
// What a command line asks for, decided before anything runs (the dispatcher's parse, kept apart
// so that it can be tested and fuzzed on its own).
struct XpfsCommandLine {
    enum Action {
        RUN,            // run `command` on argc/argv (a leading "--" already dropped)
        TOOL_HELP,      // "xpfs --help": the command list on stdout, status 0
        TOOL_VERSION,   // "xpfs --version": "xpfs VERSION" on stdout, status 0
        GROUP_HELP,     // "xpfs GROUP --help": the group's commands on stdout, status 0
        COMMAND_HELP,   // --help or -h among the operands before "--": the command's help
        USAGE,          // not understood: `message` on stderr, status 2
    };
    Action action = USAGE;
    const XpfsCommand* command = nullptr;   // RUN and COMMAND_HELP
    const char* group = nullptr;            // GROUP_HELP
    int argc = 0;                           // RUN: the operands
    char** argv = nullptr;
    std::string message;                    // USAGE: the complete text for stderr ("" for the command list)
};
// Finds the command that argv (as main received it) names in the table. Reads only.
XpfsCommandLine xpfsParseCommandLine(int argc, char** argv);
// The whole tool: parse, then run the command or print the help or the usage error.
int xpfsMain(int argc, char** argv);

#endif
