// xpfs: the command table shared by the dispatcher and the command groups.
//
// Each group lives in its own source file (path.cpp, ...) and registers its commands with one
// static XpfsRegistration; the dispatcher (main.cpp) knows no group by name. Adding a group
// means adding a source file: the build takes every .cpp of this folder.
#ifndef XPFS_H
#define XPFS_H

#include <XpCommonLib.h>
#include <XpFd.h>

#include <libintl.h>

#include <cwchar>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

// The tool's texts come from its own gettext domain ("xpfs"), bound by xpfsMain. _() translates at
// once, N_() marks a text for the catalog that is translated where it is printed (the texts of
// the command table: usage, summary, help and option help are translated by the dispatcher).
#define XPFS_TEXT_DOMAIN "xpfs"
#ifndef _
#define _(text) dgettext(XPFS_TEXT_DOMAIN, text)
#endif
#ifndef N_
#define N_(text) text
#endif
// A text with a plural form chosen by n.
#define P_(singular, plural, n) dngettext(XPFS_TEXT_DOMAIN, singular, plural, static_cast<unsigned long>(n))

// Exit status of every command.
enum XpfsStatus {
    XPFS_OK = 0,        // every operation succeeded
    XPFS_FAILED = 1,    // an operation failed (each failure reported on stderr)
    XPFS_USAGE = 2,     // the command line was not understood
};

// One option a command declares. The dispatcher reads the options with getopt_long (the POSIX
// utility conventions: -rf is -r -f, "--" ends the options, options may follow operands unless
// POSIXLY_CORRECT is set, --name=VALUE or --name VALUE, -tDIR or -t DIR) and answers --help,
// --version and unknown options itself; --debug is accepted by every such command.
enum { XPFS_LONG_ONLY = 256 };   // ids of options without a letter start here
struct XpfsOption {
    int id;                   // the letter ('r'), or XPFS_LONG_ONLY + n for a long-only option; 0 ends a list
    const char* longName;     // "recursive" (--recursive), or null for a letter only
    const char* argName;      // "DIR" when the option takes a value, else null
    const char* help;         // its text in --help, marked N_(); null: accepted but not listed
    bool optionalValue = false;   // the value is optional (--preserve[=LIST]); only as --name=VALUE
};

// What a command with declared options gets: the options in command-line order and the operands.
struct XpfsArgs {
    std::vector<std::pair<int, const char*>> options;   // id and value (null without one)
    std::vector<char*> operands;
    bool Has(int id) const;
    // The value of the last id given, or null.
    const char* Value(int id) const;
    // Of ids, the one given last (-f, -i and -n override one another as in cp); 0 when none.
    int Last(std::initializer_list<int> ids) const;
    int Count() const { return static_cast<int>(operands.size()); }
    char** Operands() { return operands.data(); }
};

struct XpfsCommand {
    const char* group;     // first word: "path", "ls", ...
    const char* name;      // second word ("split"), or null for a group that is one command
    const char* usage;     // operands after the command words: "PATH..."
    const char* summary;   // one line for the command list
    const char* help;      // further lines for --help (may be null)
    // Runs the command on its operands (argv[0] is the first operand; "--help" has been dealt
    // with). Returns an XpfsStatus.
    // Null for a command that declares options (runArgs is called instead).
    int (*run)(const XpfsCommand& self, int argc, char** argv);
    // A command that declares options: the list (ended by an entry of id 0) and the function
    // given the parsed command line. A command without them reads its operands itself.
    const XpfsOption* options = nullptr;
    int (*runArgs)(const XpfsCommand& self, XpfsArgs& args) = nullptr;
};

// Adds a group's commands to the table. Use one static object per group file.
struct XpfsRegistration {
    XpfsRegistration(const XpfsCommand* commands, int count);
};

// Set by --debug: messages name the library's XPERR_ code beside the system's reason.
extern bool xpfsDebug;

// Whether the n bytes at text start with a character the locale prints: its length, else 0
// (state is reset then, for the next byte).
size_t xpfsPrintableCharacter(const char* text, size_t n, mbstate_t* state);
// name quoted for a message as coreutils quotes operands ("shell-escape"): 'a b', "a'b",
// 'a'$'\n''b', ''$'\377' (bytes that are not a printable character of the locale in octal).
std::string xpfsQuote(const char* name);
// printf into a std::string (for translated formats: xpfsFormat(_("cannot remove %s"), ...)).
std::string xpfsFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "xpfs: TEXT" on stderr, after flushing stdout so that results and messages keep their order.
void xpfsMessage(const std::string& text);
// "xpfs: TEXT: REASON", the reason being the system's text for err's cause (Describe); with
// --debug the XPERR_ name follows in brackets. An err without a system cause gives its XPERR_
// name as the reason: the library knows no better one, and none is made up.
void xpfsMessageCause(const std::string& text, const XpFileError& err);
// "xpfs: TEXT: REASON" for an errno value (strerror in the user's language).
void xpfsMessageErrno(const std::string& text, int err);
// Asks question (ending in "? ") on the terminal (/dev/tty) and reads the answer: 1 for yes (the
// locale's yes expression, rpmatch), 0 for anything else, -1 when there is no terminal (then
// nothing is asked; the caller treats it as no and says why).
int xpfsAskYes(const std::string& question);

// "path split", or "ls": the words that name a command in messages.
std::string xpfsCommandName(const XpfsCommand& command);
// Reports a usage error ("xpfs: <message>" and "Try 'xpfs <command> --help' for more
// information.", the shape of coreutils) and returns XPFS_USAGE.
int xpfsUsageError(const XpfsCommand& command, const std::string& message);
// XPFS_USAGE with a message when argc is outside [min, max] (max < 0: no upper bound), else
// XPFS_OK.
int xpfsCheckOperands(const XpfsCommand& command, int argc, int min, int max);
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
// A path the library accepts for operand, which must exist: operand itself when it is UTF-8,
// else the /proc alias of a descriptor opened on it (O_PATH, links followed), held by holder.
// The library counts other bytes as no path at all; the alias is UTF-8 and reaches the same
// object, and names made below an alias of a folder land in that folder. "" (errno set) when
// operand cannot be opened.
std::string xpfsLibraryPath(const char* operand, XpFd& holder);
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
        COMMAND_HELP,   // --help (or -h, for a command without declared options) before "--"
        COMMAND_VERSION,   // --version to a command with declared options
        USAGE,          // not understood: `message` on stderr, status 2
    };
    Action action = USAGE;
    const XpfsCommand* command = nullptr;   // RUN and COMMAND_HELP
    const char* group = nullptr;            // GROUP_HELP
    int argc = 0;                           // RUN: the operands
    char** argv = nullptr;
    std::string message;                    // USAGE: the complete text for stderr ("" for the command list)
    XpfsArgs args;                          // RUN of a command with declared options
};
// Finds the command that argv (as main received it) names in the table. Runs nothing; for a
// command with declared options getopt_long may reorder the pointers of argv after the command.
XpfsCommandLine xpfsParseCommandLine(int argc, char** argv);
// Runs what line asks for (the command, a help or the usage error) and gives its status; stdout
// is left open.
int xpfsRun(XpfsCommandLine& line);
// The whole tool: parse, then run the command or print the help or the usage error.
int xpfsMain(int argc, char** argv);

#endif
