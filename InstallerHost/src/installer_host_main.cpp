// installer-host: loads a plug-in bundle and walks a person (or a script) through its road in the
// terminal: installation page, the plug-in's panes, summary. On a terminal the person chooses;
// otherwise the road follows --actions (Continue by default). The last line of output sums up the
// run and what the plug-in did, for scripts.
//
// What the person reads is in their language (the installer-host gettext catalog in the locale/
// folder beside the program, or in the system's locale folder once installed), the usage text
// included; the result line, which scripts read, stays English.
#include <InstallerDisplayText.h>
#include <InstallerHostOptions.h>
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
    "  --privileged-helper PATH  the helper that pkexec starts for the steps that need root\n"
    "                       (a payload in a system folder, the all-users login item) when the\n"
    "                       host is not root. Default: the installed helper, when it is there.\n"
    "  --interactive        read the person's choices from standard input even when it is not a\n"
    "                       terminal (for driving the host through a pipe).\n"
    "  --unattended         never read standard input.\n"
    "  -h, --help           this text.\n"
    "  --version            the version, and nothing else.\n"
    "\n"
    "Exit status: 0 the road ended (finished or quit), 2 usage error, 3 the bundle could not be\n"
    "loaded, 4 the section declined to load, 128+N when ended by signal N (130 for Ctrl-C).\n"
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

void render(const InstallerSession& session)
{
    const char* rule = "------------------------------------------------------------------------";
    std::printf("\n%s\n", rule);
    switch (session.page()) {
    case InstallerSession::Page::Installation:
        std::printf("  %s\n%s\n", _("Installation"), rule);
        if (session.installationLog().empty())
            std::printf("  %s\n", _("Nothing to copy."));
        for (const std::string& line : session.installationLog())
            std::printf("  %s\n", shown(line).c_str());
        printWrapped(session.installationCancelled()
                         ? _("The installation was cancelled. Nothing half-copied was left behind. Continue to the summary.")
                         : session.installationFailed()
                         ? _("The software could not be installed completely. Continue to set up what is there.")
                         : _("The software was installed. Continue to finish setting it up."), "  ");
        break;
    case InstallerSession::Page::Pane: {
        InstallerPane* pane = session.currentPane();
        std::printf("  %s    [%s]\n%s\n", shown(pane->title()).c_str(),
                    session.paneClassName(pane).c_str(), rule);
        // Rows of two or more cells line up their first column (a label and its value).
        size_t column = 0;
        for (const auto& row : pane->rows())
            if (row.size() > 1)
                if (auto* field = dynamic_cast<InstallerTextField*>(row[0]))
                    column = std::max(column, displayLength(shown(field->stringValue())) + 2);
        size_t buttonNumber = 0;
        for (const auto& row : pane->rows()) {
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
        break;
    }
    case InstallerSession::Page::Summary:
        std::printf("  %s\n%s\n  %s\n", _("Summary"), rule,
                    session.installationCancelled() ? _("The installation was cancelled.")
                    : session.installationFailed() ? _("The installation ended with errors (see the installation page).")
                                                 : _("The installation was completed successfully."));
        break;
    default:
        break;
    }
    std::printf("%s\n", rule);
    std::string keys = std::string("  ") + _("c Continue");
    if (!session.buttons().empty())
        keys += "   1" + std::string(session.buttons().size() > 1 ? "-" + std::to_string(session.buttons().size()) : "") +
                " " + _("press button");
    keys += std::string("   ") + (session.canGoBack() ? _("b Go Back") : _("(Go Back disabled)"));
    keys += std::string("   ") + _("q Quit");
    std::printf("%s\n", keys.c_str());
    std::fflush(stdout);
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
    bool interactive = options.interactive == -1 ? (::isatty(STDIN_FILENO) && !options.actionsGiven)
                                                 : options.interactive == 1;
    bool polkit = options.authorize == "polkit";
    // The host's own step: the fallback of polkit, or what --authorize chose.
    std::string authorize = polkit ? (interactive ? "ask" : "no") : options.authorize;
    if (authorize == "ask" && !interactive) {
        std::fprintf(stderr, "installer-host: %s\n", _("--authorize ask needs an interactive run"));
        return 2;
    }

    // No SA_RESTART: a pending read must return so the host can end its road.
    g_wakeFd = InstallerInstallHostSignalHandlers(false);
    InstallerSetCurrentEventKeyModifiers(options.modifiers);
    InstallerUsePrivilegedHelper(options.helper);
    InstallerSetStatusHandler([](const std::string& text) {
        std::printf("installer-host: %s %s\n", shown(text).c_str(), _("(Ctrl-C ends the installer.)"));
        std::fflush(stdout);
    });
    InstallerSetNoticeHandler([](const std::string& text) {
        std::printf("installer-host: %s\n", text.c_str());
        std::fflush(stdout);
    });
    InstallerAuthorizationHandler ownStep = [authorize](const std::string& right, const std::string& explanation) {
        // What will happen, in words; the right's identifier only as a detail for whoever looks it up.
        std::printf("\n  %s %s\n  %s\n  %s %s\n", _("Authorization:"), shown(explanation).c_str(),
                    InstallerRightInPlainWords(right).c_str(), _("Detail: right"), shown(right).c_str());
        bool granted = false;
        if (authorize != "ask") {
            granted = authorize == "yes";
            std::printf("  %s %s\n", _("Answer (scripted):"), granted ? _("allow") : _("deny"));
        } else if (g_inputEnded || InstallerInterruptRequested()) {
            // Quitting at the end of input or on a signal still leaves panes; nobody can answer.
            std::printf("  %s\n", _("Nobody is left to answer: denied."));
        } else {
            std::printf("  %s ", _("Allow? [y/N]"));
            std::fflush(stdout);
            std::string answer;
            granted = readLine(answer) && (answer == "y" || answer == "yes" || answer == _("y") || answer == _("yes"));
            std::printf("  %s\n", granted ? _("Allowed.") : _("Denied."));
        }
        std::fflush(stdout);
        return granted;
    };
    // polkit asks the person through the agent registered for this process: a text agent on
    // the terminal, started at the first request and ended with the host.
    static InstallerPolkitTextAgent agent;
    if (polkit) {
        InstallerAuthorizationHandler viaPolkit = InstallerPolkitAuthorizationHandler(ownStep, [](const std::string& text) {
            std::printf("installer-host: %s\n", shown(text).c_str());
            std::fflush(stdout);
        });
        InstallerSetAuthorizationHandler([viaPolkit, interactive](const std::string& right, const std::string& explanation) {
            if (g_inputEnded || InstallerInterruptRequested()) {
                std::printf("\n  %s %s\n  %s\n", _("Authorization:"), shown(explanation).c_str(), _("Nobody is left to answer: denied."));
                std::fflush(stdout);
                return false;
            }
            std::printf("\n  %s %s\n  %s\n  %s \"%s\"\n", _("Authorization:"), shown(explanation).c_str(),
                        InstallerRightInPlainWords(right).c_str(), _("Asking polkit for"),
                        InstallerPolkitActionForRight(right).c_str());
            std::fflush(stdout);
            std::string error;
            if (interactive && !agent.running() && !agent.start(&error))
                std::printf("installer-host: %s\n", shown(error).c_str());
            bool granted = viaPolkit(right, explanation);
            std::printf("  %s\n", granted ? _("Allowed.") : _("Denied."));
            std::fflush(stdout);
            return granted;
        });
    } else {
        InstallerSetAuthorizationHandler(ownStep);
    }


    std::string error;
    InstallerSession session;
    if (!session.loadBundle(options.bundle, &error)) {
        std::fprintf(stderr, "installer-host: %s\n", shown(error).c_str());
        return 3;
    }
    for (const auto& item : options.payload)
        session.addPayload(item.first, item.second);
    // The copy's progress in quarters of each payload, a folder's with its files done; Ctrl-C
    // stops it (the session looks at the interrupt after every chunk and every file).
    session.setCopyProgressHandler([lastIndex = size_t(-1), lastQuarter = -1](const InstallerCopyProgress& p) mutable {
        int quarter = static_cast<int>(p.percent / 25.0);
        if (p.index != lastIndex || quarter > lastQuarter) {
            std::printf("installer-host: ");
            if (p.filesTotal > 1)
                std::printf(_("copying %s: %d%% (files: %zu of %zu)"), shown(p.destination).c_str(), quarter * 25,
                            p.filesDone, p.filesTotal);
            else
                std::printf(_("copying %s: %d%%"), shown(p.destination).c_str(), quarter * 25);
            std::printf("\n");
            std::fflush(stdout);
        }
        lastIndex = p.index;
        lastQuarter = quarter;
        return false;
    });

    bool loaded = session.start();
    if (!loaded) {
        std::printf("installer-host: %s\n", _("the section declined to load"));
        std::printf("installer-host: result: %s\n", session.summaryLine().c_str());
        return 4;
    }

    size_t nextAction = 0;
    while (session.page() != InstallerSession::Page::Ended) {
        if (InstallerInterruptRequested()) {
            session.quit(InstallerSession::Ending::Interrupted);
            break;
        }
        render(session);
        std::string choice;
        if (interactive) {
            std::printf("%s", _("choice> "));
            std::fflush(stdout);
            if (!readLine(choice)) {
                if (InstallerInterruptRequested())
                    continue; // ends the road at the top of the loop
                choice = "q"; // end of input: the person has gone
            }
        } else if (session.page() == InstallerSession::Page::Installation) {
            choice = "continue";
        } else if (nextAction < options.actions.size()) {
            choice = options.actions[nextAction++];
        } else {
            choice = "continue";
        }
        if (!interactive)
            std::printf("> %s\n", choice.c_str());

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

    std::printf("\ninstaller-host: result: %s\n", session.summaryLine().c_str());
    std::fflush(stdout);
    int status = 0;
    if (session.ending() == InstallerSession::Ending::Interrupted)
        status = 128 + InstallerInterruptRequested();
    return status;
}
