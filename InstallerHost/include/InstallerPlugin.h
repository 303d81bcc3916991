// InstallerPlugin: the plug-in interface of installer-host.
//
// A plug-in is a bundle folder holding a loadable module and its translations. The host loads the
// module with dlopen and calls its factory (INSTALLER_PLUGIN_FACTORY_SYMBOL), which builds the
// section, its panes and their controls and connects the outlets: the factory stands for the
// interface definition of a desktop installer. The host owns everything the factory hands over.
//
// All calls come on the host's main thread, one at a time: shouldLoad first, then firstPane and
// title; a pane's willEnterPane before its willExitPane; gotoNextPane leads to the current pane's
// willExitPane; the will-terminate notification is posted last, also when the person quits or
// interrupts the host.
#ifndef INSTALLERPLUGIN_H
#define INSTALLERPLUGIN_H

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#define INSTALLER_API __attribute__((visibility("default")))

class InstallerPane;
class InstallerSection;

// Direction of a move between pages, as passed to willEnterPane / willExitPane.
enum InstallerDirection : int {
    InstallerDirectionForward = 0,
    InstallerDirectionBackward = 1,
};

// Keyboard modifier bits as the host reports them (the classic desktop values, so that a plug-in
// can test "Command + Shift + Control" with the mask 0x1300).
enum : uint32_t {
    kInstallerCommandKeyMask = 0x0100,
    kInstallerShiftKeyMask = 0x0200,
    kInstallerCapsLockKeyMask = 0x0400,
    kInstallerOptionKeyMask = 0x0800,
    kInstallerControlKeyMask = 0x1000,
};

// Name of the notification posted once when the host is about to end.
INSTALLER_API extern const char* const InstallerApplicationWillTerminateNotification;

// A notification as observers receive it.
struct InstallerNotification {
    std::string name;
    const void* object = nullptr;
};

// The host's notification center. Observers are identified by an address (normally `this`);
// an observer may remove itself or others while a notification is being delivered, and a
// removed observer is not called any more, not even for the notification under delivery.
class INSTALLER_API InstallerNotificationCenter {
public:
    using Callback = std::function<void(const InstallerNotification&)>;

    // The process's one center.
    static InstallerNotificationCenter& defaultCenter();

    // Registers `callback` for `name` from any object; adding the same observer twice for one
    // name delivers twice, as a desktop notification center does.
    void addObserver(const void* observer, const std::string& name, Callback callback);
    // Removes the observer from every name. Harmless for an observer that is not registered.
    void removeObserver(const void* observer);
    // Calls, in registration order, every observer registered for `name` at the time of the post.
    void postNotificationName(const std::string& name, const void* object = nullptr);
    // Number of registrations of `observer` (all names): what tests and the host's report look at.
    size_t observationCount(const void* observer) const;

private:
    struct Entry {
        uint64_t id;
        const void* observer;
        std::string name;
        Callback callback;
    };
    mutable std::mutex lock_;
    std::vector<Entry> entries_;
    uint64_t nextId_ = 1;
};

// One element of a pane's view.
class INSTALLER_API InstallerControl {
public:
    virtual ~InstallerControl();
};

// A text field (read-only label or value) that the host renders.
class INSTALLER_API InstallerTextField : public InstallerControl {
public:
    void setStringValue(const std::string& value) { stringValue_ = value; }
    const std::string& stringValue() const { return stringValue_; }

private:
    std::string stringValue_;
};

// A push button; the host lets the person press it, which runs its action.
class INSTALLER_API InstallerButton : public InstallerControl {
public:
    void setTitle(const std::string& title) { title_ = title; }
    const std::string& title() const { return title_; }
    // The action that pressing runs (the target/action connection of the interface definition).
    void setAction(std::function<void(InstallerButton*)> action) { action_ = std::move(action); }
    // Runs the action, if any.
    void press();

private:
    std::string title_;
    std::function<void(InstallerButton*)> action_;
};

// What a pane asks of the host that shows it.
class INSTALLER_API InstallerPaneController {
public:
    virtual ~InstallerPaneController();
    // The pane wants to move forward; the host leaves it through willExitPane.
    virtual void paneRequestsNext(InstallerPane* pane) = 0;
};

// The plug-in's section: decides whether its panes take part and which comes first.
class INSTALLER_API InstallerSection {
public:
    InstallerSection() = default;
    InstallerSection(const InstallerSection&) = delete;
    InstallerSection& operator=(const InstallerSection&) = delete;
    virtual ~InstallerSection();

    // The section's title, shown with its panes.
    virtual std::string title();
    // The pane to show first; null: the section shows nothing.
    virtual InstallerPane* firstPane();
    // Called once, before anything else. false leaves the section's panes out.
    virtual bool shouldLoad();
};

// A page that the plug-in adds to the installer's road.
class INSTALLER_API InstallerPane {
public:
    explicit InstallerPane(InstallerSection* section);
    InstallerPane(const InstallerPane&) = delete;
    InstallerPane& operator=(const InstallerPane&) = delete;
    virtual ~InstallerPane();

    // Called before the pane is shown.
    virtual void willEnterPane(int direction);
    // Called when the person leaves the pane, in either direction.
    virtual void willExitPane(int direction);
    // The pane's title; by default its section's.
    virtual std::string title();
    // The pane that Continue leads to; null: the section's road ends and the host goes on.
    InstallerPane* nextPane() const { return nextPane_; }
    void setNextPane(InstallerPane* pane) { nextPane_ = pane; }

    // false disables the host's Go Back button while this pane is shown.
    void setPreviousEnabled(bool enabled) { previousEnabled_ = enabled; }
    bool previousEnabled() const { return previousEnabled_; }
    // Asks the host to move forward, which leaves this pane through willExitPane. Does nothing
    // while the pane is not hosted.
    void gotoNextPane();
    // The owning section.
    InstallerSection* section() const { return section_; }

    // The view: rows of controls, top to bottom, each row left to right. The pane owns them.
    template <class Control>
    Control* addControl(std::vector<InstallerControl*>& row)
    {
        auto control = std::make_unique<Control>();
        Control* raw = control.get();
        owned_.push_back(std::move(control));
        row.push_back(raw);
        return raw;
    }
    void addRow(std::vector<InstallerControl*> row) { rows_.push_back(std::move(row)); }
    const std::vector<std::vector<InstallerControl*>>& rows() const { return rows_; }

    // Set by the host while the pane is on its road.
    void setController(InstallerPaneController* controller) { controller_ = controller; }

private:
    InstallerSection* section_;
    InstallerPane* nextPane_ = nullptr;
    InstallerPaneController* controller_ = nullptr;
    bool previousEnabled_ = true;
    std::vector<std::unique_ptr<InstallerControl>> owned_;
    std::vector<std::vector<InstallerControl*>> rows_;
};

// What a plug-in's factory hands to the host.
struct InstallerPluginContents {
    std::string sectionClassName;
    std::unique_ptr<InstallerSection> section;
    // Every pane of the bundle with its class name, in the interface definition's order.
    std::vector<std::pair<std::string, std::unique_ptr<InstallerPane>>> panes;
};

// The factory each bundle exports under INSTALLER_PLUGIN_FACTORY_SYMBOL.
using InstallerPluginFactory = void (*)(InstallerPluginContents& contents);
#define INSTALLER_PLUGIN_FACTORY_SYMBOL "InstallerPluginCreate"

// ---- Host services that a plug-in may ask for ----

// The modifier keys held, in the kInstaller...KeyMask bits. The host sets what it reports.
INSTALLER_API uint32_t GetCurrentEventKeyModifiers();
INSTALLER_API void InstallerSetCurrentEventKeyModifiers(uint32_t modifiers);

// Asks the person for an administrative right (a named right and a sentence saying what it is
// for). true: granted. The host installs the handler (a prompt or a scripted answer); without one
// every request is refused.
using InstallerAuthorizationHandler =
    std::function<bool(const std::string& right, const std::string& explanation)>;
INSTALLER_API bool InstallerRequestAuthorization(const std::string& right,
                                                 const std::string& explanation);
INSTALLER_API void InstallerSetAuthorizationHandler(InstallerAuthorizationHandler handler);

// Tells the person what the plug-in is busy with while it keeps the host waiting. The host
// installs the handler; without one the text goes nowhere.
using InstallerStatusHandler = std::function<void(const std::string& text)>;
INSTALLER_API void InstallerShowStatus(const std::string& text);
INSTALLER_API void InstallerSetStatusHandler(InstallerStatusHandler handler);

// Tells the person, in one line, of something the plug-in decided on its own that they should
// know of (a repair it made, a step it left out and why); unlike a status, nothing waits behind
// it. The host installs the handler; without one the text goes nowhere.
using InstallerNoticeHandler = std::function<void(const std::string& text)>;
INSTALLER_API void InstallerShowNotice(const std::string& text);
INSTALLER_API void InstallerSetNoticeHandler(InstallerNoticeHandler handler);

// The signal by which the host was asked to end (Ctrl-C, SIGTERM, SIGHUP), else 0. A plug-in that
// waits for something outside the process looks at it and gives up its wait once it is set.
INSTALLER_API int InstallerInterruptRequested();
// Notes that the host was asked to end by `signal`. Async-signal-safe: for the host's handlers.
INSTALLER_API void InstallerRequestInterrupt(int signal);
// Lets a host with a window keep it answering while a plug-in waits inside one of its calls: each
// look at InstallerInterruptRequested() first runs this handler, on the thread that looks (a
// waiting plug-in looks every so often). Without a handler nothing runs.
using InstallerWaitHandler = std::function<void()>;
INSTALLER_API void InstallerSetWaitHandler(InstallerWaitHandler handler);

// What the plug-in did, as short "what: detail" lines that the host sums up for scripts
// ("launch: showSettings", "login-item: added"). Thread-safe.
INSTALLER_API void InstallerRecordActivity(const std::string& what, const std::string& detail);
INSTALLER_API std::vector<std::pair<std::string, std::string>> InstallerActivities();
INSTALLER_API void InstallerClearActivities();

// Sets the process's locale from the environment for a host that shows plug-in texts: the
// person's language first, English as the last resort. Where the person's locale is not
// installed (or is C/POSIX), messages still follow LANG/LC_MESSAGES through LANGUAGE in the
// UTF-8 C locale, because gettext ignores LANGUAGE in the plain C locale.
INSTALLER_API void InstallerApplyUserLanguage();

#endif
