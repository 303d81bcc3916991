// The installer's road: load, shouldLoad / firstPane / title, installation, panes, summary, end.
#include <InstallerDisplayText.h>
#include <InstallerPolkit.h>
#include <InstallerSession.h>
#include "InstallerTexts.h"

#include <XpFileOperation.h>
#include <XpStagedFile.h>

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

// A descriptor closed by its owner.
struct Descriptor {
    int fd = -1;
    Descriptor() = default;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// Hands the library's copy progress on; its answer stops the copy.
class CopyObserver : public IXpFileOpProgressObserver {
public:
    explicit CopyObserver(std::function<bool(double)> onProgress) : onProgress_(std::move(onProgress)) {}
    bool OnProgress(double percent) override { return onProgress_(percent); }

private:
    std::function<bool(double)> onProgress_;
};

enum class CopyOutcome { Copied, Failed, Cancelled };

std::string describeError(XpErr err)
{
    char code[16];
    std::snprintf(code, sizeof code, "0x%04X", static_cast<unsigned>(err));
    const char* name = XpErrName(err);
    return std::string(name && *name ? name : "error") + " (" + code + ")";
}

// Copies one payload file through the library's staged file: the copy is staged in the
// destination's folder (unnamed where the file system allows, else under the library's hidden
// name, created exclusively without following a link), gets the source's permission bits before
// any byte is written, reports each chunk and stops when asked, and is then renamed over the
// destination once complete and on disk. A half-copied file never appears under that name, an
// existing destination keeps its content until then, a link at the destination is replaced,
// never written through, and a cancelled or failed copy leaves nothing behind. The folder and
// the source are held as descriptors, so a folder or source swapped after the checks here is not
// what is written into or read. Only a regular source is read: a FIFO would hang the installer.
CopyOutcome copyPayloadFile(const std::string& source, const std::string& destination,
                            const std::function<bool(double)>& progress, std::string* error)
{
    auto fail = [error](const std::string& why) {
        *error = why;
        return CopyOutcome::Failed;
    };
    std::filesystem::path dest(destination);
    std::string name = dest.filename().string();
    std::string folder = dest.has_parent_path() ? dest.parent_path().string() : ".";
    if (name.empty() || name == "." || name == "..")
        return fail("not a file name");
    // The source is checked before anything is made, so a payload that cannot be read leaves the
    // destination side as it was (no folder created for nothing).
    Descriptor in, dir;
    struct stat st;
    in.fd = ::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (in.fd < 0 || ::fstat(in.fd, &st) != 0)
        return fail(source + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return fail(source + ": not a regular file");
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec)
        return fail("cannot create " + folder + ": " + ec.message());
    dir.fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir.fd < 0)
        return fail(folder + ": " + std::strerror(errno));
    XpStagedFile staged;
    XpFileError err = staged.Create(dir.fd, name.c_str());
    if (err.IsOk())
        err = staged.SetMode(st.st_mode & 07777);
    if (!err.IsOk())
        return fail(folder + ": " + err.Describe().GetBuffer());
    // The copy keeps the source's modification time, as the installed file always did.
    staged.SetTimes(st.st_atim, st.st_mtim);
    CopyObserver observer(progress);
    err = staged.CopyFrom(in.fd, st, &observer);
    if (err.Code() == XPERR_FILE_CANCELLED)
        return CopyOutcome::Cancelled; // staged drops the partial copy
    if (!err.IsOk())
        return fail(describeError(err.Code()));
    // On disk before it takes the destination's name, and the name's folder after.
    err = staged.Place(XpStagedFile::placeReplace, true);
    if (!err.IsOk())
        return fail(err.Describe().GetBuffer());
    return CopyOutcome::Copied;
}

// Whether this process may make and write the destination's folder (the nearest existing one).
bool mayWriteFolderOf(const std::string& destination)
{
    std::filesystem::path folder = std::filesystem::path(destination).parent_path();
    while (!folder.empty() && ::access(folder.c_str(), F_OK) != 0 && folder != folder.parent_path())
        folder = folder.parent_path();
    return ::access(folder.empty() ? "." : folder.c_str(), W_OK | X_OK) == 0;
}

// A payload whose folder is root's, for an installer that is not: read here, as the person who
// runs it, and handed to the privileged helper through pkexec once the right is granted, so the
// helper (root) opens no file the person names.
bool installThroughHelper(const std::string& helper, const std::string& source, const std::string& destination,
                          std::string* error)
{
    const size_t maxPayload = 16u << 20; // what the helper takes at most
    Descriptor in;
    struct stat st;
    in.fd = ::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (in.fd < 0 || ::fstat(in.fd, &st) != 0)
        return *error = source + ": " + std::strerror(errno), false;
    if (!S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) > maxPayload)
        return *error = source + (S_ISREG(st.st_mode) ? ": larger than 16 MiB" : ": not a regular file"), false;
    std::string data;
    char buffer[65536];
    for (ssize_t n; (n = ::read(in.fd, buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || data.size() + static_cast<size_t>(n) > maxPayload)
            return *error = source + ": " + (n < 0 ? std::strerror(errno) : "larger than 16 MiB"), false;
        data.append(buffer, static_cast<size_t>(n));
    }
    std::string explanation = ::dgettext("installer-host", "The installer wants to install a file for all users:");
    if (!InstallerRequestAuthorization(kInstallerInstallPayloadRight, explanation + " " + destination))
        return *error = ::dgettext("installer-host", "refused: the right to install for all users was not granted"), false;
    std::string output, errors;
    int status = InstallerRunThroughPkexec(helper, {"install-payload", destination}, data, &output, &errors);
    if (status == 0)
        return true;
    while (!errors.empty() && errors.back() == '\n')
        errors.pop_back();
    errors = errors.substr(errors.rfind('\n') == std::string::npos ? 0 : errors.rfind('\n') + 1);
    *error = (status == 126 || errors.find("Not authorized") != std::string::npos ? "refused: " : "") + errors +
             " (status " + std::to_string(status) + ")";
    return false;
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
    std::string name = std::filesystem::path(folder).filename().string();
    const std::string suffix = ".bundle";
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        name.erase(name.size() - suffix.size());
    std::string modulePath = folder + "/" + name + ".so";

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

void InstallerSession::copyPayload()
{
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
        auto onProgress = [this, &report](double percent) {
            report.percent = percent;
            bool stop = progress_ && progress_(report);
            return stop || InstallerInterruptRequested() != 0;
        };
        std::string error;
        std::string helper = InstallerPrivilegedHelper();
        bool privileged = ::geteuid() != 0 && !helper.empty() && !mayWriteFolderOf(item.second);
        CopyOutcome outcome;
        if (privileged) {
            // The helper takes the data in one piece: its progress is its start and its end.
            outcome = onProgress(0.0) ? CopyOutcome::Cancelled
                      : installThroughHelper(helper, item.first, item.second, &error) ? CopyOutcome::Copied
                                                                                      : CopyOutcome::Failed;
            if (outcome == CopyOutcome::Copied && progress_) {
                report.percent = 100.0;
                progress_(report);
            }
        } else {
            outcome = copyPayloadFile(item.first, item.second, onProgress, &error);
        }
        switch (outcome) {
        case CopyOutcome::Copied:
            installationLog_.push_back(privileged ? InstallerText("installed %s (privileged helper)", item.second)
                                                  : InstallerText("installed %s", item.second));
            break;
        case CopyOutcome::Failed:
            installationLog_.push_back(InstallerText("failed %s: %s", item.second, error));
            installationFailed_ = true;
            break;
        case CopyOutcome::Cancelled:
            installationLog_.push_back(InstallerText("cancelled %s: nothing of it was left", item.second));
            installationFailed_ = true;
            installationCancelled_ = true;
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
        if (firstPane_ && !installationCancelled_)
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
    for (const auto& activity : InstallerActivities())
        line += " " + activity.first + "=" + quoteIfNeeded(activity.second);
    return line;
}
