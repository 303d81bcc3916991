// InstallerHostOptions: the command line and start-up that every installer front-end shares.
//
// Both hosts take the same bundle operand and the same --modifiers, --authorize, --install and
// --privileged-helper options, with the same messages; a front-end adds its own options through
// a handler the parser asks about every option it does not know itself. The usage text stays the
// front-end's: it describes the shared options in that front-end's words.
#ifndef INSTALLERHOSTOPTIONS_H
#define INSTALLERHOSTOPTIONS_H

#include <InstallerAnswers.h>
#include <InstallerPlugin.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

struct InstallerHostOptions {
    std::string bundle;
    bool help = false;           // -h or --help: the rest of the command line was not read
    bool version = false;        // --version: the same
    bool modifiersGiven = false; // --modifiers was given (even as "none")
    uint32_t modifiers = 0;      // kInstaller...KeyMask bits
    std::string authorize = "polkit"; // polkit, yes, no or ask
    std::vector<std::pair<std::string, std::string>> payload; // --install SRC=DEST, in order
    std::string helper; // --privileged-helper, "" when not given
    // --answers FILE, read and checked while parsing (InstallerAnswers.h): its Answer is already
    // in `authorize` and its payload in `payload`; the moves are the front-end's to follow.
    InstallerAnswers answers;
    bool authorizeGiven = false; // --authorize was on the command line
    bool uninstall = false;      // --uninstall: remove what the bundle's installation placed
};

// What a front-end's handler made of an option the shared parser does not know.
enum class InstallerHostOption {
    Taken,   // the front-end's own, read
    Unknown, // not the front-end's either: "unknown option"
    Wrong,   // the front-end's own, but wrong; the handler has set the message
};
// `takeValue` reads the option's value (the next argument); when there is none it sets the
// message ("OPTION needs a value") and answers false, and the handler answers Wrong.
using InstallerHostOptionHandler = std::function<InstallerHostOption(
    const std::string& option, const std::function<bool(std::string& value)>& takeValue, std::string& error)>;

// The non-empty items of a comma-separated list.
INSTALLER_API std::vector<std::string> InstallerSplitList(const std::string& text);

// Reads argv into `options`; false with a one-line message in `error` on a usage error (also when
// no bundle is given, and for an answers file that is refused, naming its line). Stops at -h/--help, which sets options.help, and at --version, which sets
// options.version.
INSTALLER_API bool InstallerParseHostOptions(int argc, char** argv, InstallerHostOptions& options, std::string& error,
                                             const InstallerHostOptionHandler& ownOption = {});

// InstallerParseHostOptions for main(): -1 when the host goes on; otherwise the exit status, the
// texts already printed: 0 after `usage` on standard output for --help, 0 after "PROGRAM VERSION"
// (the project's version) on standard output for --version, 2 after "PROGRAM: error",
// a blank line and `usage` on standard error for a usage error.
INSTALLER_API int InstallerReadHostCommandLine(int argc, char** argv, const char* program, const char* usage,
                                               InstallerHostOptions& options,
                                               const InstallerHostOptionHandler& ownOption = {});

// SIGINT, SIGTERM and SIGHUP request the interrupt (InstallerRequestInterrupt) and write a byte
// to a pipe whose read end is returned (-1 when no pipe could be made), so that a wait in poll()
// or a main loop wakes even when the signal came just before it began. `restartCalls` chooses
// SA_RESTART: a terminal host wants its pending read to return instead. SIGPIPE is ignored, so
// that output going to a reader that has gone does not end the road before the plug-in hears of
// it (the applications the plug-in starts get their signals back at their defaults).
INSTALLER_API int InstallerInstallHostSignalHandlers(bool restartCalls);

// Binds the gettext `domain` to its catalogs: the locale/ folder beside the program in the build
// tree, installed the system's locale folder at its fixed place relative to the program.
INSTALLER_API void InstallerBindHostTexts(const char* domain);

// Names the privileged helper to the host core (InstallerSetPrivilegedHelper): `path`, or when it
// is "" the installed helper if it is there.
INSTALLER_API void InstallerUsePrivilegedHelper(const std::string& path);

#endif
