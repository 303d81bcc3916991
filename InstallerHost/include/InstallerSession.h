// InstallerSession: the installer's road, without its screen.
//
// A session loads a plug-in bundle, asks its section shouldLoad, firstPane and title, runs the
// installation step (copying the payload), walks the plug-in's panes and ends with a summary page.
// installer-host puts a terminal in front of it; the tests drive it directly. Each run is recorded,
// step by step, in the system journal or a log file (InstallerJournal.h), from here for every
// host. The calls into the plug-in keep the order of the plug-in interface (InstallerPlugin.h),
// and end() posts the will-terminate notification exactly once, after every other call.
#ifndef INSTALLERSESSION_H
#define INSTALLERSESSION_H

#include <InstallerPlugin.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// Where the installation step's copy has got to: reported when a payload (a file or a folder)
// starts and as its data goes.
struct InstallerCopyProgress {
    size_t index = 0; // the payload being copied, counted from 0
    size_t count = 0; // payloads in all
    std::string source;
    std::string destination;
    double percent = 0.0; // of this payload's bytes (of its files where it holds no byte), 0 to 100
    uint64_t bytesDone = 0;
    uint64_t bytesTotal = 0;
    size_t filesDone = 0;  // regular files of this payload copied (folders and links not counted)
    size_t filesTotal = 0;
};
// Called while the installation step copies, on the thread that copies (the session's own, or
// the one the copy runner chose); answering true stops the copy. The file being copied is then
// dropped (a destination that existed keeps its old content, nothing half-written appears under
// its name), what of a folder was complete stays, the payloads after it are not copied, and the
// road goes from the installation page to the summary.
using InstallerCopyProgressHandler = std::function<bool(const InstallerCopyProgress&)>;
// Runs the installation step's copying (`copy`) and returns once it has returned: a window runs it
// on a thread of its own and keeps drawing meanwhile. The session does nothing else until then,
// so `copy` may run on any thread; what it asks of the plug-in interface on the way (the
// authorization for a payload in a system folder) comes from that thread.
using InstallerCopyRunner = std::function<void(const std::function<void()>& copy)>;

class INSTALLER_API InstallerSession : private InstallerPaneController {
public:
    enum class Page { NotStarted, Installation, Pane, Summary, Ended };
    enum class Ending { None, Finished, Quit, Interrupted };

    InstallerSession();
    ~InstallerSession() override;
    InstallerSession(const InstallerSession&) = delete;
    InstallerSession& operator=(const InstallerSession&) = delete;

    // Loads the bundle folder: its module is <bundle>/<name>.so, where <name> is the folder's
    // name without ".bundle". false with a message when the module or its factory is missing.
    bool loadBundle(const std::string& bundlePath, std::string* error);
    // What the installation step copies: source file or folder -> destination path
    // (InstallerPayload.h says how, on which road, and what a stop leaves).
    void addPayload(const std::string& source, const std::string& destination);
    // Follows (and may stop) the installation step's copy. Without one, only an interrupt of the
    // host (InstallerInterruptRequested) stops it.
    void setCopyProgressHandler(InstallerCopyProgressHandler handler) { progress_ = std::move(handler); }
    // Where the copying runs; without one, on the thread that calls start().
    void setCopyRunner(InstallerCopyRunner runner) { runner_ = std::move(runner); }

    // shouldLoad, then firstPane and title; shows the installation page. Returns shouldLoad's
    // answer; on false the session has ended (the terminate notification is posted). When the
    // host was asked to end while shouldLoad ran (InstallerInterruptRequested), the session ends
    // as interrupted before anything is installed.
    bool start();

    // The person's moves; each does nothing on a page that does not offer it.
    void continueOn();
    void pressButton(size_t index);
    void goBack();
    // The person quits (or interrupts the host): leaves the road and posts the notification.
    void quit(Ending how = Ending::Quit);

    Page page() const { return page_; }
    Ending ending() const { return ending_; }
    bool canGoBack() const;
    InstallerPane* currentPane() const { return current_; }
    // The buttons of the current pane, in the order the host numbers them.
    std::vector<InstallerButton*> buttons() const;
    const std::string& sectionTitle() const { return sectionTitle_; }
    // The loaded section (null before loadBundle).
    InstallerSection* section() const { return contents_.section.get(); }
    const std::string& sectionClassName() const { return contents_.sectionClassName; }
    // Class name of a pane of the bundle ("" when unknown).
    std::string paneClassName(const InstallerPane* pane) const;
    std::string firstPaneClassName() const { return paneClassName(firstPane_); }
    // One line per installed payload file ("installed DEST" or "failed DEST: reason").
    const std::vector<std::string>& installationLog() const { return installationLog_; }
    // Whether a payload file could not be installed.
    bool installationFailed() const { return installationFailed_; }
    // Whether the copy was stopped (by the progress handler or an interrupt).
    bool installationCancelled() const { return installationCancelled_; }
    // Whether the installation was refused before anything was copied: a payload that would not
    // fit on its volume, or whose folder may not be written (InstallerPayloadPreflight). The
    // installation log says why; the plug-in's panes are skipped, as after a cancelled copy.
    bool installationRefused() const { return installationRefused_; }
    // Whether the section declined to load (start() answered false).
    bool declined() const { return declined_; }
    // The panes entered, in order, by class name.
    const std::vector<std::string>& panesEntered() const { return panesEntered_; }

    // A one-line account of the run for scripts: "section=... first=... panes=... ended=..."
    // followed by the plug-in's recorded activities.
    std::string summaryLine() const;

private:
    void paneRequestsNext(InstallerPane* pane) override;
    void enterPane(InstallerPane* pane, int direction);
    void leaveForward();
    void runInstallation();
    void copyPayload();
    void end(Ending how);
    void recordEnd();
    void processPendingNext();

    InstallerPluginContents contents_;
    void* module_ = nullptr;
    std::vector<std::pair<std::string, std::string>> payload_;
    std::vector<std::string> installationLog_;
    std::vector<std::string> panesEntered_;
    std::vector<InstallerPane*> history_;
    InstallerPane* firstPane_ = nullptr;
    InstallerPane* current_ = nullptr;
    InstallerPane* pendingNext_ = nullptr;
    std::string sectionTitle_;
    std::string bundlePath_;
    Page page_ = Page::NotStarted;
    Ending ending_ = Ending::None;
    bool loaded_ = false;
    bool installationFailed_ = false;
    bool installationCancelled_ = false;
    bool installationRefused_ = false;
    bool declined_ = false;
    InstallerCopyProgressHandler progress_;
    InstallerCopyRunner runner_;
};

#endif
