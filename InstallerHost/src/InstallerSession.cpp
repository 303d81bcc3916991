// The installer's road: load, shouldLoad / firstPane / title, installation, panes, summary, end.
#include <InstallerSession.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace {

std::string quoteIfNeeded(const std::string& value)
{
    if (!value.empty() && value.find_first_of(" \t\"") == std::string::npos)
        return value;
    std::string out = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
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

// Copies one payload file: written to a temporary name beside the destination, then renamed,
// so a half-copied file never appears under the destination's name.
bool copyPayloadFile(const std::string& source, const std::string& destination, std::string* error)
{
    std::error_code ec;
    std::filesystem::path dest(destination);
    if (dest.has_parent_path())
        std::filesystem::create_directories(dest.parent_path(), ec);
    if (ec) {
        *error = "cannot create " + dest.parent_path().string() + ": " + ec.message();
        return false;
    }
    std::string temp = destination + ".installing";
    std::filesystem::copy_file(source, temp, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) {
        *error = ec.message();
        return false;
    }
    if (::rename(temp.c_str(), destination.c_str()) != 0) {
        *error = std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
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
        end(Ending::Finished);
        return false;
    }
    firstPane_ = contents_.section->firstPane();
    sectionTitle_ = contents_.section->title();
    runInstallation();
    return true;
}

void InstallerSession::runInstallation()
{
    for (const auto& item : payload_) {
        std::string error;
        if (copyPayloadFile(item.first, item.second, &error))
            installationLog_.push_back("installed " + item.second);
        else
            installationLog_.push_back("failed " + item.second + ": " + error);
    }
}

void InstallerSession::continueOn()
{
    switch (page_) {
    case Page::Installation:
        if (firstPane_)
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
    for (const auto& activity : InstallerActivities())
        line += " " + activity.first + "=" + quoteIfNeeded(activity.second);
    return line;
}
