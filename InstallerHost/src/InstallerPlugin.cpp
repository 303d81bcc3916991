// The plug-in interface's shared pieces: notification center, controls, base classes and the
// host services (modifier keys, authorization, activity record).
#include <InstallerPlugin.h>
#include <InstallerJournal.h>

#include <algorithm>
#include <atomic>
#include <clocale>
#include <cstdlib>
#include <cstring>

#include <stdlib.h>

const char* const InstallerApplicationWillTerminateNotification =
    "InstallerApplicationWillTerminateNotification";

// ---- notification center ----

InstallerNotificationCenter& InstallerNotificationCenter::defaultCenter()
{
    static InstallerNotificationCenter center;
    return center;
}

void InstallerNotificationCenter::addObserver(const void* observer, const std::string& name,
                                              Callback callback)
{
    std::lock_guard<std::mutex> guard(lock_);
    entries_.push_back(Entry{nextId_++, observer, name, std::move(callback)});
}

void InstallerNotificationCenter::removeObserver(const void* observer)
{
    std::lock_guard<std::mutex> guard(lock_);
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                  [observer](const Entry& e) { return e.observer == observer; }),
                   entries_.end());
}

void InstallerNotificationCenter::postNotificationName(const std::string& name, const void* object)
{
    // Deliver to the registrations present when the post began, skipping any that an earlier
    // observer removed meanwhile. The lock is not held during a callback, so observers may add
    // and remove freely.
    std::vector<uint64_t> ids;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (const Entry& e : entries_)
            if (e.name == name)
                ids.push_back(e.id);
    }
    InstallerNotification note{name, object};
    for (uint64_t id : ids) {
        Callback callback;
        {
            std::lock_guard<std::mutex> guard(lock_);
            auto it = std::find_if(entries_.begin(), entries_.end(),
                                   [id](const Entry& e) { return e.id == id; });
            if (it == entries_.end())
                continue;
            callback = it->callback;
        }
        if (callback)
            callback(note);
    }
}

size_t InstallerNotificationCenter::observationCount(const void* observer) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<size_t>(std::count_if(entries_.begin(), entries_.end(),
                                             [observer](const Entry& e) { return e.observer == observer; }));
}

// ---- controls and base classes ----

InstallerControl::~InstallerControl() = default;

void InstallerButton::press()
{
    if (action_)
        action_(this);
}

InstallerPaneController::~InstallerPaneController() = default;

InstallerSection::~InstallerSection() = default;
std::string InstallerSection::title() { return std::string(); }
InstallerPane* InstallerSection::firstPane() { return nullptr; }
bool InstallerSection::shouldLoad() { return true; }

InstallerPane::InstallerPane(InstallerSection* section) : section_(section) {}
InstallerPane::~InstallerPane() = default;
void InstallerPane::willEnterPane(int) {}
void InstallerPane::willExitPane(int) {}

std::string InstallerPane::title()
{
    return section_ ? section_->title() : std::string();
}

void InstallerPane::gotoNextPane()
{
    if (controller_)
        controller_->paneRequestsNext(this);
}

// ---- host services ----

extern "C" int _nl_msg_cat_cntr; // glibc's catalog generation counter

namespace {

std::atomic<uint32_t> g_modifiers{0};
std::atomic<int> g_interrupt{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from signal handlers");

std::mutex g_serviceLock;
InstallerAuthorizationHandler g_authorizationHandler;
InstallerStatusHandler g_statusHandler;
InstallerNoticeHandler g_noticeHandler;
InstallerWaitHandler g_waitHandler;
std::vector<std::pair<std::string, std::string>> g_activities;

// A host's handler is read under the lock and called outside it: a handler may take long (a
// person answers) or call back into these services.
template <typename Handler>
Handler handlerIn(const Handler& slot)
{
    std::lock_guard<std::mutex> guard(g_serviceLock);
    return slot;
}

template <typename Handler>
void setHandler(Handler& slot, Handler handler)
{
    std::lock_guard<std::mutex> guard(g_serviceLock);
    slot = std::move(handler);
}

} // namespace

uint32_t GetCurrentEventKeyModifiers()
{
    return g_modifiers.load();
}

void InstallerSetCurrentEventKeyModifiers(uint32_t modifiers)
{
    g_modifiers.store(modifiers);
}

bool InstallerRequestAuthorization(const std::string& right, const std::string& explanation)
{
    InstallerAuthorizationHandler handler = handlerIn(g_authorizationHandler);
    // No handler: nobody can answer, so the right is not granted.
    bool granted = handler ? handler(right, explanation) : false;
    InstallerRecordWrite(InstallerRecordStep::Right, "right " + right + (granted ? " granted" : " refused"),
                         {{"INSTALLER_RIGHT", right}, {"INSTALLER_ANSWER", granted ? "granted" : "refused"}}, !granted);
    return granted;
}

void InstallerSetAuthorizationHandler(InstallerAuthorizationHandler handler)
{
    setHandler(g_authorizationHandler, std::move(handler));
}

void InstallerShowStatus(const std::string& text)
{
    InstallerStatusHandler handler = handlerIn(g_statusHandler);
    if (handler)
        handler(text);
}

void InstallerSetStatusHandler(InstallerStatusHandler handler)
{
    setHandler(g_statusHandler, std::move(handler));
}

void InstallerShowNotice(const std::string& text)
{
    InstallerNoticeHandler handler = handlerIn(g_noticeHandler);
    if (handler)
        handler(text);
}

void InstallerSetNoticeHandler(InstallerNoticeHandler handler)
{
    setHandler(g_noticeHandler, std::move(handler));
}

int InstallerInterruptRequested()
{
    InstallerWaitHandler handler = handlerIn(g_waitHandler);
    if (handler)
        handler();
    return g_interrupt.load();
}

void InstallerSetWaitHandler(InstallerWaitHandler handler)
{
    setHandler(g_waitHandler, std::move(handler));
}

void InstallerRequestInterrupt(int signal)
{
    g_interrupt.store(signal);
}

void InstallerRecordActivity(const std::string& what, const std::string& detail)
{
    {
        std::lock_guard<std::mutex> guard(g_serviceLock);
        g_activities.emplace_back(what, detail);
    }
    // The login item and the launch are steps of the run's record too (InstallerJournal.h).
    auto startsWith = [&detail](const char* word) { return detail.compare(0, std::strlen(word), word) == 0; };
    if (what == "login-item") {
        const char* outcome = startsWith("added") ? "added" : startsWith("refused") ? "refused" : "failed";
        InstallerRecordWrite(InstallerRecordStep::LoginItem, "login item " + detail,
                             {{"INSTALLER_OUTCOME", outcome}, {"INSTALLER_DETAIL", detail}}, !startsWith("added"));
    } else if (what == "launch") {
        bool failed = startsWith("failed");
        InstallerRecordWrite(InstallerRecordStep::Launch, "launch " + detail,
                             {{"INSTALLER_OUTCOME", failed ? "failed" : "started"}, {"INSTALLER_DETAIL", detail}}, failed);
    }
}

std::vector<std::pair<std::string, std::string>> InstallerActivities()
{
    std::lock_guard<std::mutex> guard(g_serviceLock);
    return g_activities;
}

void InstallerClearActivities()
{
    std::lock_guard<std::mutex> guard(g_serviceLock);
    g_activities.clear();
}

// ---- language ----

void InstallerApplyUserLanguage()
{
    if (!std::setlocale(LC_ALL, ""))
        std::setlocale(LC_ALL, "C.UTF-8");
    const char* messages = std::setlocale(LC_MESSAGES, nullptr);
    std::string current = messages ? messages : "C";
    if (current == "C" || current == "POSIX") {
        std::setlocale(LC_MESSAGES, "C.UTF-8");
        std::setlocale(LC_CTYPE, "C.UTF-8");
    }
    std::string language;
    const char* given = std::getenv("LANGUAGE");
    if (given && *given) {
        language = given;
    } else {
        const char* wanted = nullptr;
        for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
            const char* v = std::getenv(name);
            if (v && *v) {
                wanted = v;
                break;
            }
        }
        std::string w = wanted ? wanted : "";
        w = w.substr(0, w.find_first_of(".@"));
        if (!w.empty() && w != "C" && w != "POSIX") {
            language = w;
            size_t underscore = w.find('_');
            if (underscore != std::string::npos)
                language += ":" + w.substr(0, underscore);
        }
    }
    // English closes the list, so a language without a catalog shows English, not message keys.
    if (language.empty())
        language = "en";
    else if (language != "en" && language.find(":en") == std::string::npos)
        language += ":en";
    ::setenv("LANGUAGE", language.c_str(), 1);
    // Texts already looked up are cached by language; this tells gettext the choice has changed.
    ++_nl_msg_cat_cntr;
}
