// InstallerFrontEnd: what every front-end of a session shows and decides the same way, so that a
// host only draws and reads input.
//
// - The page's texts: its title, the installation page's log and the sentence under it, the
//   summary, and the labels of the moves (Continue, which reads Close on the summary, Go Back,
//   Quit). They are in the person's language (the installer-host catalog); the labels mark their
//   access key with an underscore ("_Continue"), which a host without access keys drops
//   (InstallerWithoutMnemonic). Texts from files (the log quotes paths, a pane's title is the
//   plug-in's) are given as they are: each host makes them fit for its screen.
// - The run's exit status, for each way a run ends.
// - Who answers a request for a right, and what happens when nobody can: the person's --authorize
//   choice, whether someone is there to ask, and whether they still are.
#ifndef INSTALLERFRONTEND_H
#define INSTALLERFRONTEND_H

#include <InstallerSession.h>

#include <atomic>
#include <string>
#include <vector>

struct InstallerPageTexts {
    std::string title;              // "Installation", the pane's title, "Summary"; "" on other pages
    std::vector<std::string> lines; // the installation page's log, or "Nothing to copy."
    std::string body;               // the sentence under them: how the installation or the run went
    std::string recordNote;         // on the summary: where the record of this run is (InstallerJournal.h)
    std::string continueLabel;      // "_Continue"; "_Close" on the summary, where it ends the run
    std::string backLabel;          // "_Go Back"
    std::string quitLabel;          // "_Quit"
};

// The texts of the page the session shows now.
INSTALLER_API InstallerPageTexts InstallerPageTextsFor(const InstallerSession& session);

// The steps of the road for a list beside the page: the installation, the section's title when
// it has panes, the summary; `current` is set to the index of the step the session is on.
INSTALLER_API std::vector<std::string> InstallerStepNames(const InstallerSession& session, size_t* current);

// A label without its access-key marks ("_Go Back" -> "Go Back", "__" stands for "_").
INSTALLER_API std::string InstallerWithoutMnemonic(const std::string& label);

// What the host tells when the section declined to load, in the person's language.
INSTALLER_API std::string InstallerDeclinedText();

// The exit statuses of every host. A run that ends by a signal N ends with 128+N.
enum InstallerExitStatus : int {
    kInstallerExitEnded = 0,      // the road ended: finished or quit
    kInstallerExitUsage = 2,      // the command line was wrong
    kInstallerExitNoBundle = 3,   // the bundle could not be loaded
    kInstallerExitDeclined = 4,   // the section declined to load
    kInstallerExitNoDisplay = 5,  // a window host found no display
    // 6 and 7 belong to a removal (InstallerManifest.h).
    // The installation was refused by the checks before copying, or a payload failed to copy,
    // whatever the road did afterwards: an unattended run must be able to tell it from success.
    // A copy the person cancelled is no failure (Ctrl-C, a signal, ends with 128+N instead).
    kInstallerExitInstallationFailed = 8,
};

// The status a run with `session` ends with, once it has ended (0 while it runs).
INSTALLER_API int InstallerExitStatusFor(const InstallerSession& session);

// The texts of a question for a right: a heading, the question, what the plug-in says it is for,
// what granting does in plain words, and the right's identifier only as a detail line.
struct InstallerAuthorizationTexts {
    std::string heading;     // "Authorization"
    std::string question;    // "Allow this change for all users?"
    std::string explanation; // the plug-in's sentence, as it gave it
    std::string plainWords;  // InstallerRightInPlainWords
    std::string detail;      // "Detail: right system.global-login-items."
};
INSTALLER_API InstallerAuthorizationTexts InstallerAuthorizationTextsFor(const std::string& right,
                                                                         const std::string& explanation);

// Who answers requests for rights in a host, from --authorize (polkit, yes, no or ask) and
// whether a person is there to be asked (a terminal the host reads, a window).
//
// With polkit, polkit is asked first; the host's own step, its fallback where no polkit daemon
// answers, asks the person when someone is there and refuses otherwise (an unattended run never
// grants by itself). yes and no answer every request so; ask always asks, and is refused as a
// usage error where nobody is there. Once the person has gone (the end of the input) or the host
// is being ended (an interrupt), nobody is asked any more, polkit included: every request is
// refused, since no answer could come.
class INSTALLER_API InstallerAuthorizationPolicy {
public:
    enum class Answer {
        Allow,      // granted as scripted (--authorize yes)
        Deny,       // refused as scripted (--authorize no, or unattended)
        Ask,        // the host asks the person
        NobodyLeft, // refused: the person has gone or the host is being ended
    };

    InstallerAuthorizationPolicy(const std::string& authorize, bool personPresent);

    // false when the choice cannot be kept: ask with nobody there to ask (a usage error).
    bool usable() const { return usable_; }
    // Whether polkit is asked first.
    bool viaPolkit() const { return viaPolkit_; }
    // The host's own step for a request made now.
    Answer ownStep() const;
    // Whether nobody can answer a request made now.
    bool nobodyLeft() const;
    // The person has gone (the input ended). Any thread.
    void personLeft() { personLeft_ = true; }

private:
    bool usable_ = true;
    bool viaPolkit_ = false;
    Answer own_ = Answer::Deny;
    std::atomic<bool> personLeft_{false};
};

#endif
