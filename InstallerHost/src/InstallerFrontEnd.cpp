// What every front-end shows and decides the same way (see InstallerFrontEnd.h).
#include <InstallerFrontEnd.h>
#include <InstallerJournal.h>
#include <InstallerPolkit.h>

#include "InstallerTexts.h"

#include <libintl.h>

#define _(text) ::dgettext("installer-host", text)

namespace {

const char* installationOutcome(const InstallerSession& session)
{
    if (session.installationCancelled())
        return _("The installation was cancelled. Nothing half-copied was left behind. Continue to the summary.");
    if (session.installationRefused())
        return _("Nothing was copied: the installation was refused before it began. Continue to the summary.");
    if (session.installationFailed())
        return _("The software could not be installed completely. Continue to set up what is there.");
    return _("The software was installed. Continue to finish setting it up.");
}

const char* runOutcome(const InstallerSession& session)
{
    if (session.installationCancelled())
        return _("The installation was cancelled.");
    if (session.installationRefused())
        return _("The installation was refused before anything was copied (see the installation page).");
    if (session.installationFailed())
        return _("The installation ended with errors (see the installation page).");
    return _("The installation was completed successfully.");
}

// Where a support person finds the record of this run (InstallerJournal.h); "" when not recorded.
std::string recordNote()
{
    std::string place = InstallerRecordPlace();
    std::string run = InstallerRecordRunId();
    if (place.empty() || run.empty())
        return std::string();
    if (place == "journal")
        return InstallerText("This run is recorded in the system journal: journalctl -t installer-host INSTALLER_RUN=%s", run);
    return InstallerText("This run is recorded in %s (run %s).", place, run);
}

} // namespace

InstallerPageTexts InstallerPageTextsFor(const InstallerSession& session)
{
    InstallerPageTexts texts;
    texts.continueLabel = _("_Continue");
    texts.backLabel = _("_Go Back");
    texts.quitLabel = _("_Quit");
    switch (session.page()) {
    case InstallerSession::Page::Installation:
        texts.title = _("Installation");
        texts.lines = session.installationLog();
        if (texts.lines.empty())
            texts.lines.push_back(_("Nothing to copy."));
        texts.body = installationOutcome(session);
        break;
    case InstallerSession::Page::Pane:
        if (session.currentPane())
            texts.title = session.currentPane()->title();
        break;
    case InstallerSession::Page::Summary:
        texts.title = _("Summary");
        texts.body = runOutcome(session);
        texts.recordNote = recordNote();
        // Continue ends the run here: it says so.
        texts.continueLabel = _("_Close");
        break;
    default:
        break;
    }
    return texts;
}

std::vector<std::string> InstallerStepNames(const InstallerSession& session, size_t* current)
{
    std::vector<std::string> names{_("Installation")};
    if (!session.firstPaneClassName().empty())
        names.push_back(session.sectionTitle());
    names.push_back(_("Summary"));
    size_t at = 0;
    if (session.page() == InstallerSession::Page::Pane)
        at = 1;
    else if (session.page() == InstallerSession::Page::Summary)
        at = names.size() - 1;
    if (current)
        *current = at;
    return names;
}

std::string InstallerWithoutMnemonic(const std::string& label)
{
    std::string text;
    for (size_t i = 0; i < label.size(); ++i) {
        if (label[i] != '_')
            text += label[i];
        else if (i + 1 < label.size() && label[i + 1] == '_')
            text += label[++i];
    }
    return text;
}

std::string InstallerDeclinedText()
{
    return _("the section declined to load");
}

int InstallerExitStatusFor(const InstallerSession& session)
{
    if (session.page() != InstallerSession::Page::Ended)
        return kInstallerExitEnded;
    if (session.declined())
        return kInstallerExitDeclined;
    if (session.ending() == InstallerSession::Ending::Interrupted && InstallerInterruptRequested() > 0)
        return 128 + InstallerInterruptRequested();
    if (session.installationRefused() || (session.installationFailed() && !session.installationCancelled()))
        return kInstallerExitInstallationFailed;
    return kInstallerExitEnded;
}

InstallerAuthorizationTexts InstallerAuthorizationTextsFor(const std::string& right, const std::string& explanation)
{
    InstallerAuthorizationTexts texts;
    texts.heading = _("Authorization");
    texts.question = _("Allow this change for all users?");
    texts.explanation = explanation;
    texts.plainWords = InstallerRightInPlainWords(right);
    texts.detail = InstallerText("Detail: right %s", right);
    return texts;
}

InstallerAuthorizationPolicy::InstallerAuthorizationPolicy(const std::string& authorize, bool personPresent)
{
    viaPolkit_ = authorize == "polkit";
    if (authorize == "yes")
        own_ = Answer::Allow;
    else if (authorize == "ask" || (viaPolkit_ && personPresent))
        own_ = Answer::Ask;
    else
        own_ = Answer::Deny; // no, and polkit's fallback with nobody there
    usable_ = authorize == "polkit" || authorize == "yes" || authorize == "no" || (authorize == "ask" && personPresent);
}

bool InstallerAuthorizationPolicy::nobodyLeft() const
{
    return personLeft_ || InstallerInterruptRequested() != 0;
}

InstallerAuthorizationPolicy::Answer InstallerAuthorizationPolicy::ownStep() const
{
    // A scripted answer needs nobody; a question needs someone who is still there.
    if (own_ == Answer::Ask && nobodyLeft())
        return Answer::NobodyLeft;
    return own_;
}
