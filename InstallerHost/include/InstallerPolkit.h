// InstallerPolkit: the installer's administrative rights through polkit, shared by every
// front-end.
//
// An installer run by a person is not root. Whether that person may do an all-users step is for
// the machine's administrator to decide (polkit's actions, defaults and rules), the person proves
// it to the desktop's authentication agent, and the one step that needs root is done by a small
// helper started through pkexec. Root is granted by polkit without being asked.
//
// The polkit programs are run as child processes, never through a shell: pkcheck asks the
// authority (org.freedesktop.PolicyKit1 on the system bus) about this very process, pkttyagent
// registers a text agent for it, pkexec starts the helper. Spawning them keeps the host free of
// a D-Bus main loop and its threads, and a Ctrl-C on the terminal ends them with the host.
//
// Where no polkit daemon answers (a container, a minimal system), a check says so (NoDaemon) and
// the front-end falls back to its own step: InstallerPolkitAuthorizationHandler does exactly that.
#ifndef INSTALLERPOLKIT_H
#define INSTALLERPOLKIT_H

#include <InstallerPlugin.h>

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// The polkit actions of the installer (share/polkit-1/actions/com.ombrix.installer.policy).
// Placing the payload at a system location:
INSTALLER_API extern const char* const kInstallerPolkitInstallPayloadAction;
// The right "system.global-login-items.": a login item that starts for every user.
INSTALLER_API extern const char* const kInstallerPolkitGlobalLoginItemsAction;

// The right the installation page asks for before it hands a payload to the privileged helper.
INSTALLER_API extern const char* const kInstallerInstallPayloadRight;

// The polkit action standing for a right; "" for a right polkit does not know.
INSTALLER_API std::string InstallerPolkitActionForRight(const std::string& right);

// What granting `right` will do, in the person's language, for the question a front-end asks
// (the identifier itself is at most a detail line below it). A right the installer does not know
// gets a general sentence: it needs an administrator and affects the whole computer.
INSTALLER_API std::string InstallerRightInPlainWords(const std::string& right);

enum class InstallerPolkitAnswer {
    Granted,   // the action is authorized for this process
    Refused,   // not authorized, or the person dismissed the agent's question
    NoDaemon,  // no polkit authority on the system bus (or polkit is not installed)
    Failed,    // polkit answered with an error; the detail says which
};

struct InstallerPolkitResult {
    InstallerPolkitAnswer answer = InstallerPolkitAnswer::Failed;
    std::string detail; // what polkit said, one line; "" when granted
};

// Asks polkit whether this process may do `actionId`. With `allowUserInteraction` the agent
// registered for the process or its session may ask the person (which blocks until answered).
// Blocks for the whole exchange; never throws.
INSTALLER_API InstallerPolkitResult InstallerPolkitCheckAuthorization(const std::string& actionId,
                                                                      bool allowUserInteraction);

// A text authentication agent (pkttyagent) registered for this process only, as systemctl does:
// polkit's questions for this process are asked on its controlling terminal. Started by start(),
// stopped (and reaped) by stop() or the destructor.
class INSTALLER_API InstallerPolkitTextAgent {
public:
    InstallerPolkitTextAgent() = default;
    ~InstallerPolkitTextAgent() { stop(); }
    InstallerPolkitTextAgent(const InstallerPolkitTextAgent&) = delete;
    InstallerPolkitTextAgent& operator=(const InstallerPolkitTextAgent&) = delete;

    // Starts the agent and waits (at most a few seconds) until it is registered. true when
    // registered, or already running; false with the reason otherwise (no agent then: polkit's
    // questions go to the session's agent, if any).
    bool start(std::string* error);
    void stop();
    bool running() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

// Runs `program` with `arguments` through pkexec, which starts it as root once polkit authorizes
// the action whose exec.path names the program. `input` is written to its standard input (then
// closed); its standard output goes to `output`, its standard error to `errors`. Returns the
// exit status: the program's own, or pkexec's 126 (the person dismissed the question) and 127
// (not authorized, or pkexec could not run it: no polkit daemon, no such program; `errors` says
// "Not authorized" for the first), or -1 when
// pkexec could not be started (then `errors` says why). Never through a shell.
INSTALLER_API int InstallerRunThroughPkexec(const std::string& program, const std::vector<std::string>& arguments,
                                            const std::string& input, std::string* output, std::string* errors);

// The privileged helper that the host names for the steps that need root: the installation page
// hands it a payload that this process may not write, and a plug-in its own root-only step. ""
// (the default) when there is none. Thread-safe.
INSTALLER_API std::string InstallerPrivilegedHelper();
INSTALLER_API void InstallerSetPrivilegedHelper(const std::string& path);

// The authorization handler both front-ends install (InstallerSetAuthorizationHandler). A right
// with a polkit action is asked of polkit, with user interaction. Where no polkit daemon answers,
// `notice` is told so in one line and `fallback` (the front-end's own step) decides for root;
// for anyone else the all-users step is refused with a notice that says why, since only root
// could do it without polkit. Rights polkit does not know go to `fallback` directly. `notice`
// also receives polkit's error when it fails.
INSTALLER_API InstallerAuthorizationHandler InstallerPolkitAuthorizationHandler(
    InstallerAuthorizationHandler fallback, std::function<void(const std::string& text)> notice);

#endif
