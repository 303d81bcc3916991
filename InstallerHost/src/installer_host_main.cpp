// installer-host: loads a plug-in bundle and walks a person (or a script) through its road in the
// terminal: installation page, the plug-in's panes, summary. On a terminal the person chooses;
// otherwise the road follows --actions (Continue by default). The last line of output sums up the
// run and what the plug-in did, for scripts.
//
// What the person reads is in their language (the installer-host gettext catalog in the locale/
// folder beside the program, or in the system's locale folder once installed), the usage text
// included; the result line, which scripts read, stays English.
#include <InstallerDisplayText.h>
#include <InstallerFrontEnd.h>
#include <InstallerHostOptions.h>
#include <InstallerManifest.h>
#include <InstallerPolkit.h>
#include <InstallerSession.h>

#include "InstallerTexts.h"

#include <libintl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#define _(text) ::dgettext("installer-host", text)
// Marks a text for the catalog (xgettext) where it is translated later, through _().
#define N_(text) text

namespace {

// The read end of the pipe the signal handler writes to, so a wait for input that starts just
// after the signal arrived still wakes: checking the flag and then blocking in read() would leave
// that window open.
int g_wakeFd = -1;

// Set once standard input has ended: nobody is left to answer.
bool g_inputEnded = false;
// Told when standard input ends.
InstallerAuthorizationPolicy* g_policy = nullptr;

const char* const kUsage = N_(
    "Usage: installer-host [options] BUNDLE\n"
    "\n"
    "Loads the installer plug-in bundle BUNDLE (a folder NAME.bundle holding NAME.so and its\n"
    "translations in locale/) and runs the installer's road: the section's shouldLoad, the\n"
    "installation page (which copies the payload), the plug-in's panes, the summary. Quitting or\n"
    "Ctrl-C ends the road at once; the plug-in is told that the installer terminates.\n"
    "\n"
    "On a terminal the person chooses at each page: c = Continue, a number = press that button,\n"
    "b = Go Back (where the pane allows it), q = Quit. Otherwise the road is unattended.\n"
    "\n"
    "Options:\n"
    "  --actions LIST       unattended moves, one per page shown, comma-separated:\n"
    "                       continue | button[:N] (N counts from 1) | back | quit.\n"
    "                       When the list runs out the road continues to its end. The installation\n"
    "                       page takes no action: it continues by itself when unattended.\n"
    "  --modifiers LIST     modifier keys reported as held while the plug-in loads:\n"
    "                       command,shift,control,option,capslock (or none). Default: none.\n"
    "  --authorize ANSWER   who answers requests for administrative rights: polkit, or the\n"
    "                       host itself: yes, no or ask. Default: polkit (on a terminal with a\n"
    "                       text agent of its own for the password); where no polkit daemon\n"
    "                       answers, root is asked by the host (ask on a terminal, no when\n"
    "                       unattended) and anyone else is refused.\n"
    "  --install SRC=DEST   payload: the installation page copies file or folder SRC to DEST (repeatable).\n"
    "  --answers FILE       the choices of an unattended run, in a key file: [Road] Moves=LIST\n"
    "                       (as --actions) and ChangeFolders=true|false, [Authorization]\n"
    "                       Answer=polkit|yes|no, [Payload] Install=SRC=DEST;SRC=DEST. A file\n"
    "                       with a wrong line is refused, naming the line, before anything is done.\n"
    "  --privileged-helper PATH  the helper that pkexec starts for the steps that need root\n"
    "                       (a payload in a system folder, the all-users login item) when the\n"
    "                       host is not root. Default: the installed helper, when it is there.\n"
    "  --uninstall          remove what the installation of BUNDLE placed, as its record lists it:\n"
    "                       files still as they were installed, folders left empty, the all-users\n"
    "                       login item. Changed files and what others put there stay. Asks once\n"
    "                       on a terminal; --unattended removes without asking.\n"
    "  --interactive        read the person's choices from standard input even when it is not a\n"
    "                       terminal (for driving the host through a pipe).\n"
    "  --unattended         never read standard input.\n"
    "  -h, --help           this text.\n"
    "  --version            the version, and nothing else.\n"
    "\n"
    "Exit status: 0 the road ended (finished or quit), 2 usage error, 3 the bundle could not be\n"
    "loaded, 4 the section declined to load, 6 nothing recorded to remove, 7 a removal failed,\n"
    "8 the installation was refused or failed, 128+N when ended by signal N (130 for Ctrl-C).\n"
    "The last line of output starts with \"installer-host: result:\" and lists, as key=value,\n"
    "the section, the first pane, the panes entered, how the road ended and what the plug-in did.\n");

struct Options : InstallerHostOptions {
    std::vector<std::string> actions;
    bool actionsGiven = false;
    int interactive = -1; // -1 decide by the terminal
};

// The terminal's own options, beside those every host takes.
InstallerHostOption parseOwnOption(Options& options, const std::string& arg,
                                   const std::function<bool(std::string&)>& value, std::string& error)
{
    std::string v;
    if (arg == "--actions") {
        if (!value(v))
            return InstallerHostOption::Wrong;
        options.actions = InstallerSplitList(v);
        options.actionsGiven = true;
        for (const std::string& a : options.actions) {
            bool ok = a == "continue" || a == "back" || a == "quit" || a == "button";
            if (a.rfind("button:", 0) == 0) {
                char* end = nullptr;
                long n = std::strtol(a.c_str() + 7, &end, 10);
                ok = end && *end == '\0' && n >= 1;
            }
            if (!ok) {
                error = InstallerText("unknown action \"%s\"", a);
                return InstallerHostOption::Wrong;
            }
        }
    } else if (arg == "--interactive") {
        options.interactive = 1;
    } else if (arg == "--unattended") {
        options.interactive = 0;
    } else {
        return InstallerHostOption::Unknown;
    }
    return InstallerHostOption::Taken;
}

// Reads one line from standard input. false at end of input or when a signal arrived.
bool readLine(std::string& line)
{
    line.clear();
    for (;;) {
        if (g_inputEnded || InstallerInterruptRequested())
            return false;
        struct pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {g_wakeFd, POLLIN, 0}};
        if (::poll(fds, g_wakeFd >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (InstallerInterruptRequested())
            return false;
        if (fds[0].revents == 0)
            continue;
        char c;
        ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n == 1) {
            if (c == '\n')
                return true;
            line += c;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        g_inputEnded = true;
        if (g_policy)
            g_policy->personLeft();
        return n == 0 && !line.empty();
    }
}

// Characters (code points) of UTF-8 text, for lining up columns.
size_t displayLength(const std::string& text)
{
    size_t n = 0;
    for (unsigned char c : text)
        n += (c & 0xC0) != 0x80;
    return n;
}

// Prints text wrapped at about 72 columns, each line indented; blank lines are kept.
void printWrapped(const std::string& text, const std::string& indent)
{
    const size_t width = 72 - indent.size();
    std::stringstream in(text);
    std::string paragraph;
    while (std::getline(in, paragraph)) {
        std::stringstream words(paragraph);
        std::string word, line;
        while (words >> word) {
            if (!line.empty() && displayLength(line) + 1 + displayLength(word) > width) {
                std::printf("%s%s\n", indent.c_str(), line.c_str());
                line.clear();
            }
            line += (line.empty() ? "" : " ") + word;
        }
        std::printf("%s%s\n", indent.c_str(), line.c_str());
    }
}

// What the terminal is given of text that comes from files (settings values, folder names, the
// reasons of refusals): control characters escaped, so no file can move the cursor, retitle or
// clear the terminal of the person (often root) running the installer.
std::string shown(const std::string& text, bool keepNewlines = false)
{
    return InstallerEscapeControls(text, keepNewlines);
}

// The pane's rows as the plug-in laid them out: a row of one cell wraps, in longer rows the first
// cells line up (a label and its value); buttons are numbered across the pane.
void renderRows(InstallerPane& pane)
{
    size_t column = 0;
    for (const auto& row : pane.rows())
        if (row.size() > 1)
            if (auto* field = dynamic_cast<InstallerTextField*>(row[0]))
                column = std::max(column, displayLength(shown(field->stringValue())) + 2);
    size_t buttonNumber = 0;
    for (const auto& row : pane.rows()) {
        std::vector<std::string> cells;
        for (InstallerControl* control : row) {
            if (auto* field = dynamic_cast<InstallerTextField*>(control))
                cells.push_back(shown(field->stringValue(), row.size() == 1));
            else if (auto* button = dynamic_cast<InstallerButton*>(control))
                cells.push_back("[" + std::to_string(++buttonNumber) + "] " + shown(button->title()));
        }
        if (cells.size() == 1) {
            printWrapped(cells[0], "  ");
            continue;
        }
        std::string line;
        for (size_t i = 0; i < cells.size(); ++i) {
            line += cells[i];
            if (i == 0)
                line += std::string(column > displayLength(cells[0]) ? column - displayLength(cells[0]) : 1, ' ');
            else if (i + 1 < cells.size())
                line += " ";
        }
        std::printf("  %s\n", line.c_str());
    }
}

void render(const InstallerSession& session)
{
    const char* rule = "------------------------------------------------------------------------";
    InstallerPageTexts texts = InstallerPageTextsFor(session);
    std::printf("\n%s\n", rule);
    switch (session.page()) {
    case InstallerSession::Page::Installation:
        std::printf("  %s\n%s\n", texts.title.c_str(), rule);
        for (const std::string& line : texts.lines)
            std::printf("  %s\n", shown(line).c_str());
        printWrapped(texts.body, "  ");
        break;
    case InstallerSession::Page::Pane:
        std::printf("  %s    [%s]\n%s\n", shown(texts.title).c_str(),
                    session.paneClassName(session.currentPane()).c_str(), rule);
        renderRows(*session.currentPane());
        break;
    case InstallerSession::Page::Summary:
        std::printf("  %s\n%s\n  %s\n", texts.title.c_str(), rule, texts.body.c_str());
        if (!texts.recordNote.empty())
            std::printf("  %s\n", shown(texts.recordNote).c_str());
        break;
    default:
        break;
    }
    std::printf("%s\n", rule);
    // The keys stay c, b and q in every language; the labels are the window's buttons'.
    std::string keys = "  c " + InstallerWithoutMnemonic(texts.continueLabel);
    if (!session.buttons().empty())
        keys += "   1" + std::string(session.buttons().size() > 1 ? "-" + std::to_string(session.buttons().size()) : "") +
                " " + _("press button");
    std::string back = InstallerWithoutMnemonic(texts.backLabel);
    keys += "   " + (session.canGoBack() ? "b " + back : InstallerText("(%s disabled)", back));
    keys += "   q " + InstallerWithoutMnemonic(texts.quitLabel);
    std::printf("%s\n", keys.c_str());
    std::fflush(stdout);
}

// Prints the question for a right: what will happen, in words; the right's identifier only as a
// detail for whoever looks it up.
void printAuthorizationQuestion(const std::string& right, const std::string& explanation)
{
    InstallerAuthorizationTexts texts = InstallerAuthorizationTextsFor(right, explanation);
    std::printf("\n  %s: %s\n  %s\n  %s\n", texts.heading.c_str(), shown(texts.explanation).c_str(),
                texts.plainWords.c_str(), shown(texts.detail).c_str());
}

// The host's own step: the scripted answer, or the person's on the terminal.
bool answerOwnStep(const InstallerAuthorizationPolicy& policy, const std::string& right, const std::string& explanation)
{
    printAuthorizationQuestion(right, explanation);
    bool granted = false;
    switch (policy.ownStep()) {
    case InstallerAuthorizationPolicy::Answer::Allow:
    case InstallerAuthorizationPolicy::Answer::Deny:
        granted = policy.ownStep() == InstallerAuthorizationPolicy::Answer::Allow;
        std::printf("  %s %s\n", _("Answer (scripted):"), granted ? _("allow") : _("deny"));
        break;
    case InstallerAuthorizationPolicy::Answer::NobodyLeft:
        std::printf("  %s\n", _("Nobody is left to answer: denied."));
        break;
    case InstallerAuthorizationPolicy::Answer::Ask: {
        std::printf("  %s ", _("Allow? [y/N]"));
        std::fflush(stdout);
        std::string answer;
        granted = readLine(answer) && (answer == "y" || answer == "yes" || answer == _("y") || answer == _("yes"));
        std::printf("  %s\n", granted ? _("Allowed.") : _("Denied."));
        break;
    }
    }
    std::fflush(stdout);
    return granted;
}

// polkit first, through a text agent on the terminal (started at the first request, ended with
// the host); the host's own step where no polkit daemon answers.
bool answerViaPolkit(const InstallerAuthorizationPolicy& policy, const InstallerAuthorizationHandler& viaPolkit,
                     bool interactive, const std::string& right, const std::string& explanation)
{
    static InstallerPolkitTextAgent agent;
    if (policy.nobodyLeft()) {
        std::printf("\n  %s: %s\n  %s\n", InstallerAuthorizationTextsFor(right, explanation).heading.c_str(),
                    shown(explanation).c_str(), _("Nobody is left to answer: denied."));
        std::fflush(stdout);
        return false;
    }
    printAuthorizationQuestion(right, explanation);
    std::printf("  %s \"%s\"\n", _("Asking polkit for"), InstallerPolkitActionForRight(right).c_str());
    std::fflush(stdout);
    std::string error;
    if (interactive && !agent.running() && !agent.start(&error))
        std::printf("installer-host: %s\n", shown(error).c_str());
    bool granted = viaPolkit(right, explanation);
    std::printf("  %s\n", granted ? _("Allowed.") : _("Denied."));
    std::fflush(stdout);
    return granted;
}

void printHostLine(const std::string& text)
{
    std::printf("installer-host: %s\n", shown(text).c_str());
    std::fflush(stdout);
}

// The plug-in's status and notices, and the answers to its requests for rights.
void installHandlers(const InstallerAuthorizationPolicy& policy, bool interactive)
{
    InstallerSetStatusHandler([](const std::string& text) {
        std::printf("installer-host: %s %s\n", shown(text).c_str(), _("(Ctrl-C ends the installer.)"));
        std::fflush(stdout);
    });
    InstallerSetNoticeHandler([](const std::string& text) {
        std::printf("installer-host: %s\n", text.c_str());
        std::fflush(stdout);
    });
    InstallerAuthorizationHandler ownStep = [&policy](const std::string& right, const std::string& explanation) {
        return answerOwnStep(policy, right, explanation);
    };
    if (!policy.viaPolkit()) {
        InstallerSetAuthorizationHandler(ownStep);
        return;
    }
    InstallerAuthorizationHandler viaPolkit = InstallerPolkitAuthorizationHandler(ownStep, printHostLine);
    InstallerSetAuthorizationHandler([&policy, viaPolkit, interactive](const std::string& right, const std::string& explanation) {
        return answerViaPolkit(policy, viaPolkit, interactive, right, explanation);
    });
}

// Writes a progress line whole, past an interrupt. The signal handlers are installed without
// SA_RESTART, so Ctrl-C during a write to a full pipe or a stalled terminal makes it fail with
// EINTR, and stdio would drop the line: the person (or a script reading the output) would miss
// the progress the copy had reached when it was stopped.
void writeWholeLine(const std::string& text)
{
    std::fflush(stdout);
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

// The copy's progress in quarters of each payload, a folder's with its files done; Ctrl-C stops
// it (the session looks at the interrupt after every chunk and every file).
void followCopy(InstallerSession& session)
{
    session.setCopyProgressHandler([lastIndex = size_t(-1), lastQuarter = -1](const InstallerCopyProgress& p) mutable {
        int quarter = static_cast<int>(p.percent / 25.0);
        if (p.index != lastIndex || quarter > lastQuarter) {
            const std::string where = shown(p.destination);
            std::vector<char> line(where.size() + 256);
            if (p.filesTotal > 1)
                std::snprintf(line.data(), line.size(), _("copying %s: %d%% (files: %zu of %zu)"), where.c_str(),
                              quarter * 25, p.filesDone, p.filesTotal);
            else
                std::snprintf(line.data(), line.size(), _("copying %s: %d%%"), where.c_str(), quarter * 25);
            writeWholeLine("installer-host: " + std::string(line.data()) + "\n");
        }
        lastIndex = p.index;
        lastQuarter = quarter;
        return false;
    });
}

// The next move: the person's on a terminal, else the next scripted action. false when an
// interrupt came while the person was asked.
bool nextChoice(const InstallerSession& session, const Options& options, bool interactive, size_t& nextAction,
                std::string& choice)
{
    if (interactive) {
        std::printf("%s", _("choice> "));
        std::fflush(stdout);
        if (!readLine(choice)) {
            if (InstallerInterruptRequested())
                return false;
            choice = "q"; // end of input: the person has gone
        }
        return true;
    }
    if (session.page() == InstallerSession::Page::Installation)
        choice = "continue"; // the installation page continues by itself
    else if (!options.answers.path.empty() && !options.actionsGiven)
        choice = InstallerAnsweredMove(options.answers, session, nextAction);
    else if (nextAction < options.actions.size())
        choice = options.actions[nextAction++];
    else
        choice = "continue";
    std::printf("> %s\n", choice.c_str());
    return true;
}

void applyChoice(InstallerSession& session, const std::string& choice)
{
    if (choice == "c" || choice == "continue" || choice.empty()) {
        session.continueOn();
    } else if (choice == "b" || choice == "back") {
        if (!session.canGoBack())
            std::printf("  %s\n", _("Go Back is not available here."));
        session.goBack();
    } else if (choice == "q" || choice == "quit") {
        session.quit(InstallerSession::Ending::Quit);
    } else {
        size_t number = 0;
        if (choice == "button")
            number = 1;
        else if (choice.rfind("button:", 0) == 0)
            number = std::strtoul(choice.c_str() + 7, nullptr, 10);
        else
            number = std::strtoul(choice.c_str(), nullptr, 10);
        if (number >= 1 && number <= session.buttons().size())
            session.pressButton(number - 1);
        else
            std::printf("  %s\n", _("No such choice here."));
    }
}

// Walks the road from the installation page to its end.
void walk(InstallerSession& session, const Options& options, bool interactive)
{
    size_t nextAction = 0;
    while (session.page() != InstallerSession::Page::Ended) {
        if (InstallerInterruptRequested()) {
            session.quit(InstallerSession::Ending::Interrupted);
            break;
        }
        render(session);
        std::string choice;
        if (nextChoice(session, options, interactive, nextAction, choice))
            applyChoice(session, choice);
    }
}

// --uninstall: asks once (on a terminal), then removes what the record lists, a line a step.
int uninstall(const std::string& bundle, bool interactive)
{
    std::string name = InstallerManifestPathFor(bundle);
    if (interactive) {
        std::printf("%s\n  %s ", InstallerText("Remove what the installation of %s placed?", bundle).c_str(),
                    _("Changed files and files added since stay. Remove? [y/N]"));
        std::fflush(stdout);
        std::string answer;
        bool yes = readLine(answer) && (answer == "y" || answer == "yes" || answer == _("y") || answer == _("yes"));
        if (!yes) {
            printHostLine(_("Nothing was removed."));
            std::printf("installer-host: result: uninstall=declined\n");
            return InstallerInterruptRequested() ? 128 + InstallerInterruptRequested() : 0;
        }
    }
    InstallerRemovalResult result = InstallerUninstall(bundle, [](const InstallerRemovalStep& step) { printHostLine(step.text); });
    if (!result.found) {
        printHostLine(result.error);
        std::printf("installer-host: result: uninstall=nothing-recorded\n");
        return kInstallerExitNothingRecorded;
    }
    std::printf("installer-host: result: uninstall=%s removed=%zu kept=%zu failed=%zu\n",
                result.failed ? "incomplete" : "done", result.removed, result.kept, result.failed);
    std::fflush(stdout);
    return result.failed ? kInstallerExitRemovalFailed : 0;
}

} // namespace

int main(int argc, char** argv)
{
    // The language first: the usage text and the command line's complaints are read by people
    // too. (The result line stays English for scripts.)
    InstallerApplyUserLanguage();
    InstallerBindHostTexts("installer-host");
    Options options;
    int usageStatus = InstallerReadHostCommandLine(
        argc, argv, "installer-host", _(kUsage), options,
        [&options](const std::string& arg, const std::function<bool(std::string&)>& value, std::string& error) {
            return parseOwnOption(options, arg, value, error);
        });
    if (usageStatus >= 0)
        return usageStatus;
    if (options.actionsGiven && options.answers.movesGiven) {
        std::fprintf(stderr, "installer-host: %s\n\n%s", _("--actions and the answers file's Moves both given"), _(kUsage));
        return kInstallerExitUsage;
    }
    // An answers file is for a run nobody watches: it drives the road unless --interactive says otherwise.
    bool unattendedByAnswers = !options.answers.path.empty();
    bool interactive = options.interactive == -1 ? (::isatty(STDIN_FILENO) && !options.actionsGiven && !unattendedByAnswers)
                                                 : options.interactive == 1;
    static InstallerAuthorizationPolicy policy(options.authorize, interactive);
    g_policy = &policy;
    if (!policy.usable()) {
        std::fprintf(stderr, "installer-host: %s\n", _("--authorize ask needs an interactive run"));
        return kInstallerExitUsage;
    }

    // No SA_RESTART: a pending read must return so the host can end its road.
    g_wakeFd = InstallerInstallHostSignalHandlers(false);
    if (options.uninstall) {
        InstallerUsePrivilegedHelper(options.helper);
        installHandlers(policy, interactive);
        return uninstall(options.bundle, interactive);
    }
    InstallerSetCurrentEventKeyModifiers(options.modifiers);
    InstallerUsePrivilegedHelper(options.helper);
    installHandlers(policy, interactive);

    std::string error;
    InstallerSession session;
    if (!session.loadBundle(options.bundle, &error)) {
        std::fprintf(stderr, "installer-host: %s\n", shown(error).c_str());
        return kInstallerExitNoBundle;
    }
    InstallerManifestBegin(options.bundle);
    for (const auto& item : options.payload)
        session.addPayload(item.first, item.second);
    followCopy(session);
    if (session.start())
        walk(session, options, interactive);
    else
        printHostLine(InstallerDeclinedText());
    std::printf("%sinstaller-host: result: %s\n", session.declined() ? "" : "\n", session.summaryLine().c_str());
    std::fflush(stdout);
    return InstallerExitStatusFor(session);
}
