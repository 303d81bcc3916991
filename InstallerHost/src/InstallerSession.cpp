// The installer's road: load, shouldLoad / firstPane / title, installation, panes, summary, end.
#include <InstallerDisplayText.h>
#include <InstallerJournal.h>
#include <InstallerManifest.h>
#include <InstallerPayload.h>
#include <InstallerPolkit.h>
#include <InstallerSession.h>
#include "InstallerTexts.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <libintl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

namespace {

// A value of the one-line result record: quoted when it holds a blank, a quote, a control
// character or bytes that are not UTF-8, and then with " and \ escaped and control characters
// written as escapes (a refusal that quotes a file's line must not split the record).
std::string quoteIfNeeded(const std::string& value)
{
    if (!value.empty() && value.find_first_of(" \t\"") == std::string::npos && InstallerEscapeControls(value) == value)
        return value;
    std::string out;
    for (char c : value) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return "\"" + InstallerEscapeControls(out) + "\"";
}

const char* endingName(InstallerSession::Ending ending)
{
    switch (ending) {
    case InstallerSession::Ending::Finished: return "finished";
    case InstallerSession::Ending::Quit: return "quit";
    case InstallerSession::Ending::Interrupted: return "interrupted";
    case InstallerSession::Ending::None: break;
    }
    return "running";
}

// A payload whose folder is root's, for an installer that is not: walked and read here, as the
// person who runs it, and streamed to the privileged helper through pkexec once the right is
// granted, so the helper (root) opens no file the person names. A payload that cannot be read or
// holds what may not be copied is refused before anybody is asked for the right.
InstallerPayloadResult installThroughHelper(const std::string& helper, const std::string& source,
                                            const std::string& destination, const InstallerPayloadObserver& observer)
{
    std::string why;
    bool isFolder = false;
    if (!InstallerPayloadInspect(source, nullptr, &isFolder, &why))
        return {InstallerPayloadOutcome::Failed, why};
    std::string explanation = isFolder ? ::dgettext("installer-host", "The installer wants to install a folder for all users:")
                                       : ::dgettext("installer-host", "The installer wants to install a file for all users:");
    if (!InstallerRequestAuthorization(kInstallerInstallPayloadRight, explanation + " " + destination))
        return {InstallerPayloadOutcome::Failed,
                ::dgettext("installer-host", "refused: the right to install for all users was not granted")};
    const char* const pkexec = "/usr/bin/pkexec";
    if (::access(pkexec, X_OK) != 0)
        return {InstallerPayloadOutcome::Failed, "pkexec is not installed"};
    return InstallerPayloadInstallThroughHelper({pkexec, helper}, source, destination, observer);
}

} // namespace

InstallerSession::InstallerSession() = default;

InstallerSession::~InstallerSession()
{
    // A session dropped mid-road still owes the plug-in its terminate notification, and it must
    // come before the plug-in's objects go away.
    if (page_ != Page::NotStarted && page_ != Page::Ended)
        end(Ending::Quit);
    for (auto& pane : contents_.panes)
        if (pane.second)
            pane.second->setController(nullptr);
    contents_.panes.clear();
    contents_.section.reset();
    // The module stays mapped: code of it may still be referenced by static destructors of the
    // libraries it uses, and a process runs one installer road.
}

bool InstallerSession::loadBundle(const std::string& bundlePath, std::string* error)
{
    std::string folder = bundlePath;
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    std::string modulePath = folder + "/" + InstallerBundleName(folder) + ".so";

    void* module = ::dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        if (error) {
            const char* why = ::dlerror();
            *error = "cannot load " + modulePath + ": " + (why ? why : "unknown error");
        }
        return false;
    }
    auto factory = reinterpret_cast<InstallerPluginFactory>(::dlsym(module, INSTALLER_PLUGIN_FACTORY_SYMBOL));
    if (!factory) {
        if (error)
            *error = modulePath + " has no " INSTALLER_PLUGIN_FACTORY_SYMBOL " factory";
        return false;
    }
    InstallerPluginContents contents;
    factory(contents);
    if (!contents.section) {
        if (error)
            *error = modulePath + ": the factory built no section";
        return false;
    }
    module_ = module;
    bundlePath_ = folder;
    contents_ = std::move(contents);
    loaded_ = true;
    return true;
}

void InstallerSession::addPayload(const std::string& source, const std::string& destination)
{
    payload_.emplace_back(source, destination);
}

bool InstallerSession::start()
{
    if (!loaded_ || page_ != Page::NotStarted)
        return false;
    page_ = Page::Installation;
    InstallerRecordBegin();
    if (!contents_.section->shouldLoad()) {
        declined_ = true;
        end(Ending::Finished);
        return false;
    }
    // Asked to end while the section was loading (a plug-in waiting for another installer, say):
    // nothing is installed.
    if (InstallerInterruptRequested()) {
        end(Ending::Interrupted);
        return true;
    }
    firstPane_ = contents_.section->firstPane();
    sectionTitle_ = contents_.section->title();
    InstallerRecordWrite(InstallerRecordStep::Road,
                         "road of " + contents_.sectionClassName + " from " + (firstPane_ ? firstPaneClassName() : "no pane"),
                         {{"INSTALLER_HOST", program_invocation_short_name},
                          {"INSTALLER_BUNDLE", bundlePath_},
                          {"INSTALLER_SECTION", contents_.sectionClassName},
                          {"INSTALLER_FIRST_PANE", firstPane_ ? firstPaneClassName() : std::string("none")},
                          {"INSTALLER_PAYLOADS", std::to_string(payload_.size())}});
    runInstallation();
    return true;
}

void InstallerSession::runInstallation()
{
    if (runner_)
        runner_([this]() { copyPayload(); });
    else
        copyPayload();
}

// Whether the payload for `destination` goes through the privileged helper: for a person who may
// not write its folder, where a helper is there.
static bool throughHelper(const std::string& destination)
{
    return ::geteuid() != 0 && !InstallerPrivilegedHelper().empty() && !InstallerPayloadMayWrite(destination);
}

void InstallerSession::copyPayload()
{
    // Nothing is copied unless everything fits and may be written: a volume filled up half way or
    // a folder refused after the first files would leave a half-installed application.
    std::vector<InstallerPayloadPlan> plan;
    for (const auto& item : payload_)
        plan.push_back({item.first, item.second, throughHelper(item.second)});
    std::string refusedAt, why;
    if (!InstallerPayloadPreflight(plan, &refusedAt, &why)) {
        installationLog_.push_back(InstallerText("refused %s: %s", refusedAt, why));
        installationFailed_ = true;
        installationRefused_ = true;
        InstallerRecordWrite(InstallerRecordStep::Check, "refused " + refusedAt + " before copying: " + why,
                             {{"INSTALLER_PATH", refusedAt}, {"INSTALLER_REASON", why}}, true);
        return;
    }
    InstallerCopyProgress report;
    report.count = payload_.size();
    for (const auto& item : payload_) {
        if (installationCancelled_) {
            installationLog_.push_back(InstallerText("not copied %s: cancelled", item.second));
            continue;
        }
        report.source = item.first;
        report.destination = item.second;
        report.percent = 0.0;
        report.bytesDone = report.bytesTotal = 0;
        report.filesDone = report.filesTotal = 0;
        auto observer = [this, &report](const InstallerPayloadProgress& p) {
            report.bytesDone = p.bytesDone;
            report.bytesTotal = p.bytesTotal;
            report.filesDone = p.filesDone;
            report.filesTotal = p.filesTotal;
            report.percent = p.bytesTotal > 0   ? 100.0 * static_cast<double>(p.bytesDone) / static_cast<double>(p.bytesTotal)
                             : p.filesTotal > 0 ? 100.0 * static_cast<double>(p.filesDone) / static_cast<double>(p.filesTotal)
                                                : 0.0;
            bool stop = progress_ && progress_(report);
            return stop || InstallerInterruptRequested() != 0;
        };
        std::string helper = InstallerPrivilegedHelper();
        bool privileged = throughHelper(item.second);
        struct stat st;
        bool folder = ::stat(item.first.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        InstallerManifestPlan plan = InstallerManifestPlanPayload(item.first, item.second);
        InstallerPayloadResult result = privileged ? installThroughHelper(helper, item.first, item.second, observer)
                                                   : InstallerPayloadInstall(item.first, item.second, observer);
        switch (result.outcome) {
        case InstallerPayloadOutcome::Installed: {
            installationLog_.push_back(privileged ? InstallerText("installed %s (privileged helper)", item.second)
                                                  : InstallerText("installed %s", item.second));
            InstallerRecordPlacedPayload(item.first, item.second, privileged ? "privileged-helper" : "self");
            std::string unrecorded = InstallerManifestNotePayload(plan, privileged);
            if (!unrecorded.empty())
                installationLog_.push_back(InstallerText("not recorded for removal: %s", unrecorded));
            break;
        }
        case InstallerPayloadOutcome::Failed:
            installationLog_.push_back(InstallerText("failed %s: %s", item.second, result.error));
            InstallerRecordWrite(InstallerRecordStep::File, "not placed " + item.second + ": " + result.error,
                                 {{"INSTALLER_PATH", item.second}, {"INSTALLER_OUTCOME", "failed"}, {"INSTALLER_REASON", result.error}},
                                 true);
            installationFailed_ = true;
            break;
        case InstallerPayloadOutcome::Cancelled:
            installationLog_.push_back(
                folder ? InstallerText("cancelled %s: the file being copied was dropped, the files copied before it stay",
                                       item.second)
                       : InstallerText("cancelled %s: nothing of it was left", item.second));
            installationFailed_ = true;
            installationCancelled_ = true;
            InstallerRecordWrite(InstallerRecordStep::File, "copy of " + item.second + " cancelled",
                                 {{"INSTALLER_PATH", item.second}, {"INSTALLER_OUTCOME", "cancelled"}}, true);
            // A folder stopped half-way keeps its complete files: they are ours and must be listed
            // for removal. Only what lies there complete is listed (the file under way was dropped,
            // the files not reached are absent).
            if (folder) {
                std::string unrecorded = InstallerManifestNotePayload(plan, privileged);
                if (!unrecorded.empty())
                    installationLog_.push_back(InstallerText("not recorded for removal: %s", unrecorded));
            }
            break;
        }
        ++report.index;
    }
}

void InstallerSession::continueOn()
{
    switch (page_) {
    case Page::Installation:
        // The plug-in's panes set up what was installed: after a cancelled copy there is
        // nothing for them to set up.
        if (firstPane_ && !installationCancelled_ && !installationRefused_)
            enterPane(firstPane_, InstallerDirectionForward);
        else
            page_ = Page::Summary;
        break;
    case Page::Pane:
        leaveForward();
        break;
    case Page::Summary:
        end(Ending::Finished);
        break;
    default:
        break;
    }
}

void InstallerSession::pressButton(size_t index)
{
    if (page_ != Page::Pane)
        return;
    std::vector<InstallerButton*> list = buttons();
    if (index >= list.size())
        return;
    list[index]->press();
    processPendingNext();
}

bool InstallerSession::canGoBack() const
{
    return page_ == Page::Pane && current_ && current_->previousEnabled();
}

void InstallerSession::goBack()
{
    if (!canGoBack())
        return;
    InstallerPane* pane = current_;
    pane->willExitPane(InstallerDirectionBackward);
    pane->setController(nullptr);
    if (!history_.empty()) {
        InstallerPane* previous = history_.back();
        history_.pop_back();
        enterPane(previous, InstallerDirectionBackward);
    } else {
        current_ = nullptr;
        page_ = Page::Installation;
    }
}

void InstallerSession::quit(Ending how)
{
    if (page_ == Page::Ended || page_ == Page::NotStarted)
        return;
    end(how);
}

std::vector<InstallerButton*> InstallerSession::buttons() const
{
    std::vector<InstallerButton*> list;
    if (page_ != Page::Pane || !current_)
        return list;
    for (const auto& row : current_->rows())
        for (InstallerControl* control : row)
            if (auto* button = dynamic_cast<InstallerButton*>(control))
                list.push_back(button);
    return list;
}

std::string InstallerSession::paneClassName(const InstallerPane* pane) const
{
    for (const auto& entry : contents_.panes)
        if (entry.second.get() == pane)
            return entry.first;
    return std::string();
}

void InstallerSession::paneRequestsNext(InstallerPane* pane)
{
    // Acted on when the plug-in's call returns, so the pane's own method finishes before the
    // host leaves it.
    if (page_ == Page::Pane && pane == current_)
        pendingNext_ = pane;
}

void InstallerSession::processPendingNext()
{
    while (page_ == Page::Pane && pendingNext_ && pendingNext_ == current_) {
        pendingNext_ = nullptr;
        leaveForward();
    }
    pendingNext_ = nullptr;
}

void InstallerSession::enterPane(InstallerPane* pane, int direction)
{
    current_ = pane;
    page_ = Page::Pane;
    pane->setController(this);
    panesEntered_.push_back(paneClassName(pane));
    pane->willEnterPane(direction);
    processPendingNext();
}

void InstallerSession::leaveForward()
{
    InstallerPane* pane = current_;
    if (!pane)
        return;
    pane->willExitPane(InstallerDirectionForward);
    pane->setController(nullptr);
    InstallerPane* next = pane->nextPane();
    if (next) {
        history_.push_back(pane);
        enterPane(next, InstallerDirectionForward);
    } else {
        current_ = nullptr;
        page_ = Page::Summary;
    }
}

void InstallerSession::end(Ending how)
{
    if (current_)
        current_->setController(nullptr);
    current_ = nullptr;
    pendingNext_ = nullptr;
    page_ = Page::Ended;
    ending_ = how;
    InstallerNotificationCenter::defaultCenter().postNotificationName(
        InstallerApplicationWillTerminateNotification);
    // The login item the plug-in added is listed for removal too.
    InstallerManifestNoteEnd();
    // After the notification: what the plug-in does on its way out (the launch on Quit) is part
    // of the run.
    recordEnd();
}

void InstallerSession::recordEnd()
{
    std::string ended = declined_ ? "declined" : endingName(ending_);
    std::string installation = installationRefused_     ? "refused"
                               : installationCancelled_ ? "cancelled"
                               : installationFailed_    ? "failed"
                               : payload_.empty()       ? "nothing"
                               : installationLog_.empty() ? "not-started" // declined, or ended before it
                                                          : "complete";
    std::string panes;
    for (const std::string& p : panesEntered_)
        panes += (panes.empty() ? "" : ",") + p;
    int signal = ending_ == Ending::Interrupted ? InstallerInterruptRequested() : 0;
    InstallerRecordFields fields{{"INSTALLER_ENDING", ended},
                                 {"INSTALLER_INSTALLATION", installation},
                                 {"INSTALLER_PANES", panes.empty() ? std::string("none") : panes}};
    if (signal > 0)
        fields.emplace_back("INSTALLER_SIGNAL", std::to_string(signal));
    InstallerRecordWrite(InstallerRecordStep::End, "run " + ended + ", installation " + installation, fields,
                         installation == "refused" || installation == "failed");
    InstallerRecordFinish();
}

std::string InstallerSession::summaryLine() const
{
    std::string line = "section=" + quoteIfNeeded(contents_.sectionClassName);
    line += " first=" + quoteIfNeeded(firstPane_ ? firstPaneClassName() : std::string("none"));
    std::string panes;
    for (const std::string& p : panesEntered_)
        panes += (panes.empty() ? "" : ",") + p;
    line += " panes=" + quoteIfNeeded(panes.empty() ? std::string("none") : panes);
    line += std::string(" ended=") + endingName(ending_);
    if (installationCancelled_)
        line += " installation=cancelled";
    else if (installationRefused_)
        line += " installation=refused";
    for (const auto& activity : InstallerActivities())
        line += " " + activity.first + "=" + quoteIfNeeded(activity.second);
    return line;
}
