// installer-host-gtk with the plug-in on a sandbox desktop, driven as a person would drive it:
// over AT-SPI, finding the window's labels and buttons by role and accessible name, on a private
// Xvfb display (or, with XP_DESKTOP_BACKEND=wayland, a private headless weston with the toolkit
// on its Wayland backend) with its own session and accessibility buses, in a private lock space
// (own /var/tmp and IPC namespace) that this program makes before anything else. What only an X
// server lets a test do (hold keys, send a window manager's close request) is skipped on Wayland,
// by name; docs/wayland.md says why.
// ctest-resource-lock: installer-mutex
#include "HostProcess.h"
#include "MutexTestSupport.h"
#include "PayloadTreeSupport.h"

#include <GtkHostDriver.h>
#include <InstallerManifest.h>

#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

namespace {

using Lines = std::vector<std::string>;

// What the window shows, for the failure messages.
std::string describe(const AccessibleRef& node, int depth = 0)
{
    std::string text;
    for (const AccessibleRef& child : node.children()) {
        text += std::string(static_cast<size_t>(depth) * 2, ' ') + child.roleName() + " \"" + child.name() + "\"" +
                (child.hasState(ATSPI_STATE_SENSITIVE) ? "" : " (insensitive)") + "\n" + describe(child, depth + 1);
    }
    return text;
}

class GtkHostTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // Namespaces first: unsharing them needs a process without threads, and the AT-SPI
        // client starts some.
        space_ = new OruPrivateLockSpace;
        DisplayBackend backend;
        std::string error;
        if (!desktopBackendFromEnvironment(&backend, &error)) {
            setupError_ = error; // a fault of the run, not a missing program: every case fails
            return;
        }
        desktop_ = new PrivateDesktop(backend);
        if (!desktop_->start(&error)) {
            skipReason_ = "no private display: " + error;
            return;
        }
        desktop_->applyToProcess();
        driver_ = new AtspiDriver;
    }
    static void TearDownTestSuite()
    {
        delete driver_;
        delete desktop_;
        delete space_;
    }
    void SetUp() override
    {
        if (!setupError_.empty())
            FAIL() << setupError_;
        if (!skipReason_.empty())
            GTEST_SKIP() << skipReason_;
        makeSandbox(sandbox_);
        ASSERT_FALSE(exists(kInstallerMutexPath));
    }
    void TearDown() override
    {
        // The test's host, still running when the test failed, goes first: it would otherwise
        // take the installer lock again or keep it. A killed host leaves its mark in this
        // program's private /var/tmp; the next test starts without it.
        host.stop();
        ::unlink(kInstallerMutexPath);
        // The applications the hosts started, ours as the subreaper once they have ended.
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }

    // Starts the window on the bundle with `options` (by default: installing the application as
    // it goes), and waits for it on the accessibility bus once the host has said `shown`.
    ::testing::AssertionResult start(Host& host, AccessibleRef& window, const std::string& title = kWindowTitle,
                                     Lines env = {}, Lines options = {}, const std::string& shown = "first page shown")
    {
        // No polkit daemon answers on this system bus, whatever the machine runs: root then gets
        // the window's own dialog (polkit's fallback), which these tests answer.
        env.push_back(kNoSystemBus);
        if (options.empty())
            options = {"--install", sandbox_->payloadEntry() + "=" + sandbox_->installedEntry()};
        options.push_back(ORU_BUNDLE_PATH);
        host.start(options, env);
        space_->notePid(host.pid);
        if (!host.readUntil("installer-host-gtk: " + shown) || !(window = driver_->window(host.pid, title, 20)))
            return ::testing::AssertionFailure() << "no window \"" << title << "\"\n" << host.output;
        return ::testing::AssertionSuccess();
    }
    static bool onWayland() { return desktop_ && desktop_->backend() == DisplayBackend::Wayland; }
    // Asks the window to close as the person does with its close button: on X11 the window
    // manager's request (WM_DELETE_WINDOW), on Wayland the title bar's button, which the toolkit
    // draws itself there.
    ::testing::AssertionResult requestClose(const Host& host, const AccessibleRef& window)
    {
        if (onWayland() ? closeByTitleBar(*driver_, window) : closeWindow(desktop_->display(), host.pid, kWindowTitle))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the window could not be asked to close\n" << describe(window);
    }
    // Presses the button named `name` in `window`; false (with what the window shows) when it
    // is not there or cannot be pressed.
    ::testing::AssertionResult press(const AccessibleRef& window, const std::string& name)
    {
        if (AccessibleRef button = driver_->find(window, ATSPI_ROLE_PUSH_BUTTON, name); button && button.press())
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "no button \"" << name << "\" to press in\n" << describe(window);
    }
    // Waits for a label with that text (or containing it).
    ::testing::AssertionResult shows(const AccessibleRef& window, const std::string& text, bool partial = false)
    {
        if (driver_->find(window, ATSPI_ROLE_LABEL, text, 10, partial))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "no label \"" << text << "\" in\n" << describe(window);
    }
    // Gives the X11 window with that title the focus and presses `keys` together, as a person
    // does (released in the opposite order). A dialog is on the accessibility bus a moment before
    // the display shows it: the focus is tried for up to 2 s.
    bool pressKeysIn(const Host& host, const std::string& title, const std::vector<std::string>& keys)
    {
        bool focused = false;
        for (int i = 0; i < 100 && !(focused = focusWindow(desktop_->display(), host.pid, title)); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return focused && setKeysHeld(desktop_->display(), keys, true) &&
               setKeysHeld(desktop_->display(), std::vector<std::string>(keys.rbegin(), keys.rend()), false);
    }
    // Whether the dialog named `question` has left the accessibility bus, within 10 s.
    bool gone(const Host& host, const std::string& question)
    {
        for (int i = 0; i < 200; ++i) {
            if (!driver_->window(host.pid, question, 0))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    // Presses Close (on the summary) and expects the host to end well with `result`.
    void close(Host& host, const AccessibleRef& window, std::initializer_list<std::string> result)
    {
        ASSERT_TRUE(press(window, "Close"));
        EXPECT_EQ(host.finish(), 0) << host.output;
        host.expectResult(result);
    }

    // The window's title: the product's name.
    static constexpr const char* kWindowTitle = "Ombrix Installer";
    // The dialogs' accessible names: their questions.
    static constexpr const char* kQuitQuestion = "Quit the installer now?";
    static constexpr const char* kAuthorizationQuestion = "Allow this change for all users?";
    static constexpr const char* kNoSystemBus = "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/system_bus_socket";
    static inline OruPrivateLockSpace* space_ = nullptr;
    static inline PrivateDesktop* desktop_ = nullptr;
    static inline AtspiDriver* driver_ = nullptr;
    static inline std::string skipReason_;
    static inline std::string setupError_;
    std::unique_ptr<OruSandbox> sandbox_;
    // The test's window and the host that shows it (killed in TearDown if the test left it).
    Host host;
    AccessibleRef window;
};

// What the window adds to the roads the section's own tests walk: its pages and buttons, its
// dialog in polkit's place, the keys read from the keyboard, and closing the window on a pane.
TEST_F(GtkHostTest, AFreshRoadThroughChangeFoldersThenKeysHeldForceThePaneAndQuittingThereAsksForTheLoginItem)
{
    ASSERT_TRUE(start(host, window));
    ASSERT_TRUE(press(window, "Continue"));

    // The settings pane: the four folders, Go Back disabled as the pane asks.
    const std::string home = sandbox_->home();
    for (const std::string& text : Lines{"Photos", "Videos", "Music", "Application backup files", home + "/Pictures",
                                         home + "/Videos", home + "/Music", home + "/Documents/Ombrix"})
        EXPECT_TRUE(shows(window, text));
    EXPECT_FALSE(driver_->find(window, ATSPI_ROLE_PUSH_BUTTON, "Go Back").hasState(ATSPI_STATE_SENSITIVE)) << describe(window);
    ASSERT_TRUE(press(window, "Change Folders…"));
    ASSERT_TRUE(press(driver_->window(host.pid, kAuthorizationQuestion), "Allow"));
    // polkit was asked first; its absence is told in the window's notice line.
    EXPECT_TRUE(shows(window, "no polkit daemon answers here", true));
    // "installed-before=no", not "not asked": the keys, not held, were read as such.
    close(host, window, {"installed-before=no", "launch=showSettings login-item=\"added "});

    // The application is there now. Command+Shift+Control held on the keyboard force the settings
    // pane. Closing the window there, the pane hears that the installer terminates, and the login
    // item is asked for in the window's dialog as it closes. On Wayland no key can be held from
    // outside (docs/wayland.md): the option names them, and the rest of the road is the same. (A
    // script's --modifiers winning over the keys held is a plain choice of the window's.)
    const Lines keys{"Super_L", "Shift_L", "Control_L"};
    std::shared_ptr<void> release(nullptr, [&](void*) { if (!onWayland()) setKeysHeld(desktop_->display(), keys, false); });
    ASSERT_TRUE(onWayland() || setKeysHeld(desktop_->display(), keys, true));
    Host forced;
    ASSERT_TRUE(start(forced, window, kWindowTitle, {},
                      onWayland() ? Lines{"--install", sandbox_->payloadEntry() + "=" + sandbox_->installedEntry(),
                                          "--modifiers", "command,shift,control"}
                                  : Lines{}));
    ASSERT_TRUE(press(window, "Continue"));
    ASSERT_TRUE(driver_->find(window, ATSPI_ROLE_PUSH_BUTTON, "Change Folders…")) << describe(window);
    ASSERT_TRUE(requestClose(forced, window));
    ASSERT_TRUE(press(driver_->window(forced.pid, kQuitQuestion), "Quit"));
    ASSERT_TRUE(press(driver_->window(forced.pid, kAuthorizationQuestion), "Deny"));
    EXPECT_EQ(forced.finish(), 0) << forced.output;
}

// A settings value that is not UTF-8 reaches a label made valid: GTK would otherwise warn and
// show nothing.
TEST_F(GtkHostTest, AFolderWhoseNameIsNotUTF8IsShownReadableWithoutAWarning)
{
    // A settings value in Latin-1, as an old tool may have written it.
    ASSERT_TRUE(OruSandbox::writeFile(sandbox_->settingsFile(), "[Settings]\nPhotoHomePath=/srv/Fotos-\xe9t\xe9\n"));
    ASSERT_TRUE(start(host, window));
    ASSERT_TRUE(press(window, "Continue"));
    EXPECT_TRUE(shows(window, "/srv/Fotos-\xef\xbf\xbdt\xef\xbf\xbd")); // U+FFFD for each byte that is not UTF-8
    ::kill(host.pid, SIGTERM); // the pane drawn: what GTK had to say about it is in the output
    EXPECT_EQ(host.finish(), 128 + SIGTERM) << host.output;
    EXPECT_EQ(host.output.find("Invalid UTF-8"), std::string::npos) << host.output;
}

// The window's own texts, the session's and the plug-in's, each read from its German catalog in
// the window: its title, the session's Continue, the pane's button.
TEST_F(GtkHostTest, InGermanTheWindowTheSessionAndThePaneSpeakFromTheirCatalogs)
{
    ASSERT_TRUE(start(host, window, "Ombrix-Installationsprogramm", {"LANGUAGE=de"}));
    ASSERT_TRUE(press(window, "Fortfahren"));
    EXPECT_TRUE(driver_->find(window, ATSPI_ROLE_PUSH_BUTTON, "Ordner ändern …")) << describe(window);
    // The authorization question says in words what granting does.
    ASSERT_TRUE(press(window, "Fortfahren"));
    EXPECT_TRUE(shows(driver_->window(host.pid, "Diese Änderung für alle Benutzer erlauben?"),
                      "startet das Programm bei jeder Anmeldung an diesem Computer von selbst", true));
}

// The two questions as a screen reader meets them: dialogs on the accessibility bus, named by the
// question, and Escape, pressed on the keyboard, answers as their safe button does.
TEST_F(GtkHostTest, TheQuitAndAuthorizationQuestionsAreDialogsNamedByTheQuestionAndEscapeGivesTheSafeAnswer)
{
    if (onWayland())
        GTEST_SKIP() << "Escape cannot be pressed from outside on Wayland (docs/wayland.md)";
    ASSERT_TRUE(start(host, window));
    ASSERT_TRUE(requestClose(host, window));
    AccessibleRef quit = driver_->window(host.pid, kQuitQuestion);
    ASSERT_TRUE(quit) << host.output;
    EXPECT_EQ(quit.roleName(), "dialog");
    ASSERT_TRUE(pressKeysIn(host, "Quit the Installer", {"Escape"}));
    ASSERT_TRUE(gone(host, kQuitQuestion)) << describe(quit);
    // Escape was Stay: the road goes on.
    ASSERT_TRUE(press(window, "Continue"));
    ASSERT_TRUE(driver_->find(window, ATSPI_ROLE_PUSH_BUTTON, "Change Folders…")) << describe(window);

    ASSERT_TRUE(press(window, "Continue"));
    AccessibleRef authorization = driver_->window(host.pid, kAuthorizationQuestion);
    ASSERT_TRUE(authorization) << host.output;
    EXPECT_EQ(authorization.roleName(), "dialog");
    // What granting does, in words.
    EXPECT_TRUE(shows(authorization, "the application will start by itself whenever anyone logs in", true));
    ASSERT_TRUE(pressKeysIn(host, "Authorization", {"Escape"}));
    ASSERT_TRUE(gone(host, kAuthorizationQuestion)) << describe(authorization);
    close(host, window, {"ended=finished", "login-item=refused"}); // Escape was Deny
}

// A lock another user left taken by a process that has ended: the window says in its notice
// line that it was set free, and the road goes on.
TEST_F(GtkHostTest, ALockLeftTakenByAnEndedProcessIsSetFreeAndTheWindowSaysSo)
{
    pid_t planter = plantLockOfEndedProcess();
    space_->notePid(planter);
    ASSERT_EQ(exitStatus(planter), 0);
    ASSERT_TRUE(start(host, window));
    EXPECT_TRUE(shows(window, "The installer lock was left taken by process " + std::to_string(planter) +
                                  ", which has ended. It has been set free, and the installation goes on."));
    ASSERT_TRUE(press(window, "Continue"));
    ASSERT_TRUE(driver_->find(window, ATSPI_ROLE_PUSH_BUTTON, "Change Folders…")) << describe(window);
}

TEST_F(GtkHostTest, CtrlQAsksASecondInstallerWaitsClosingTheWindowAsksBeforeQuittingAndSIGTERMEndsTheRoad)
{
    // On the installation page, the installer mutex held: a second installer's window shows that
    // it waits and whom for, and ends on Cancel; the first, still there, asks before it quits when
    // its window is closed. (What the lock does for other processes, and what becomes
    // of a waiting installer that is ended, InstallerEndToEndTest tries; the mutex file's removal
    // on quitting, PostInstallSectionTest.)
    ASSERT_TRUE(start(host, window));
    // Ctrl+Q asks first, as closing the window does, and Stay keeps the road (X11 only: on
    // Wayland no key can be pressed from outside).
    if (!onWayland()) {
        ASSERT_TRUE(pressKeysIn(host, kWindowTitle, {"Control_L", "q"}));
        ASSERT_TRUE(press(driver_->window(host.pid, kQuitQuestion), "Stay"));
    }
    Host second;
    second.start({ORU_BUNDLE_PATH});
    space_->notePid(second.pid);
    AccessibleRef waiting = driver_->window(second.pid, kWindowTitle);
    ASSERT_TRUE(waiting) << second.output;
    // The window answers while the section waits inside shouldLoad, and names the first.
    EXPECT_TRUE(shows(waiting, "Another installer is running. Waiting for it to finish. The installer lock is held by "
                               "process " + std::to_string(host.pid) + " of user root (" +
                                   std::filesystem::canonical(INSTALLER_HOST_PATH).string() + ")."));
    // Cancel beside the waiting text (Quit, which while the section waits is Cancel too, calls
    // the same interruption).
    ASSERT_TRUE(press(waiting, "Cancel"));
    EXPECT_EQ(second.finish(), 128 + SIGINT) << second.output;
    // The first, still there and undisturbed, asks when its window is closed, and quits.
    ASSERT_TRUE(requestClose(host, window));
    ASSERT_TRUE(press(driver_->window(host.pid, kQuitQuestion), "Quit"));
    EXPECT_EQ(host.finish(), 0) << host.output;
    std::filesystem::remove(sandbox_->installedEntry());

    // SIGTERM on the settings pane ends the road at once, without waiting for an answer to the
    // login item.
    Host killed;
    ASSERT_TRUE(start(killed, window));
    ASSERT_TRUE(press(window, "Continue"));
    ASSERT_TRUE(driver_->find(window, ATSPI_ROLE_PUSH_BUTTON, "Change Folders…"));
    ::kill(killed.pid, SIGTERM);
    EXPECT_EQ(killed.finish(), 128 + SIGTERM) << killed.output;
    killed.expectResult({"ended=interrupted", "launch=reconstructDatabase login-item=refused"});
}

// The payload is a folder whose largest file lies on a slow FUSE volume (a few MiB a second,
// mounted inside the folder). The bar moves as chunks arrive, and Cancel stops the copy: the
// window says what became of the folder, and the plug-in's panes are skipped (they would set up an
// application that was not installed). What a stopped copy leaves on disk, the session's and the
// terminal host's tests look at.
TEST_F(GtkHostTest, CancelDuringTheCopyStopsItAndTheWindowSaysWhatWasLeft)
{
    TempFolder top("gtk-host-copy"); // declared first: goes after the volume is unmounted
    ASSERT_FALSE(top.path.empty());
    const std::string source = top.path + "/App", mnt = source + "/volume", ctl = top.path + "/ctl",
                      dest = top.path + "/apps/App";
    makeApplicationFolder(source, 60);
    for (const std::string& folder : {mnt, ctl})
        ASSERT_TRUE(std::filesystem::create_directory(folder));
    // The library's test volume, serving payload.bin (256 MiB) in this program's mount namespace;
    // `mounts` detaches it once `volume` (declared after it) has ended its daemon.
    PrivateMounts mounts;
    mounts.targets.push_back(mnt);
    Host volume;
    volume.program = XP_TEST_NETFS;
    volume.start({mnt, ctl, "xplocal", "payload=" + std::to_string(256ll << 20) + ",20000"});
    for (int i = 0; i < 100 && !exists((mnt + "/payload.bin").c_str()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!exists((mnt + "/payload.bin").c_str()))
        GTEST_SKIP() << "the FUSE volume could not be mounted (is /dev/fuse usable?)";
    ASSERT_TRUE(start(host, window, kWindowTitle, {}, {"--install", source + "=" + dest}, "copying"));
    AccessibleRef bar = driver_->find(window, ATSPI_ROLE_PROGRESS_BAR, "Copy progress");
    ASSERT_TRUE(bar) << describe(window);
    // The bar is seen at two values, the later one higher, before the copy is stopped.
    double first = -1, later = -1;
    for (int i = 0; i < 400 && first <= 0; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(25)))
        first = bar.value();
    for (int i = 0; i < 200 && later <= first; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(25)))
        later = bar.value();
    EXPECT_GT(later, first);
    EXPECT_LT(later, 1.0) << "the copy ended before it could be cancelled";
    ASSERT_TRUE(press(window, "Cancel"));
    ASSERT_TRUE(shows(window, "cancelled " + dest + ": the file being copied was dropped, the files copied before it stay"))
        << host.output;
    ASSERT_TRUE(press(window, "Continue"));
    close(host, window, {"panes=none ended=finished installation=cancelled"});
}

// Every button of the window and of its dialogs answers Alt and its underlined letter (GTK 4.8
// tells no screen reader of the access keys: they are pressed here as a person would). Go Back is
// left out: the plug-in's panes keep it disabled, so no road of this plug-in can press it.
TEST_F(GtkHostTest, AltAndTheUnderlinedLetterPressEachButton)
{
    if (onWayland())
        GTEST_SKIP() << "keys cannot be pressed from outside on Wayland (docs/wayland.md)";
    ASSERT_TRUE(start(host, window));

    ASSERT_TRUE(pressKeysIn(host, kWindowTitle, {"Alt_L", "c"})); // _Continue
    ASSERT_TRUE(pressKeysIn(host, kWindowTitle, {"Alt_L", "q"})); // _Quit
    ASSERT_TRUE(driver_->window(host.pid, kQuitQuestion)) << host.output;
    ASSERT_TRUE(pressKeysIn(host, "Quit the Installer", {"Alt_L", "s"})); // _Stay
    ASSERT_TRUE(gone(host, kQuitQuestion));
    ASSERT_TRUE(pressKeysIn(host, kWindowTitle, {"Alt_L", "c"}));
    ASSERT_TRUE(driver_->window(host.pid, kAuthorizationQuestion)) << host.output;
    ASSERT_TRUE(pressKeysIn(host, "Authorization", {"Alt_L", "d"})); // _Deny
    ASSERT_TRUE(gone(host, kAuthorizationQuestion));
    ASSERT_TRUE(shows(window, "The installation was completed successfully."));
    ASSERT_TRUE(pressKeysIn(host, kWindowTitle, {"Alt_L", "c"})); // _Close
    EXPECT_EQ(host.finish(), 0) << host.output;
    host.expectResult({"ended=finished", "login-item=refused"});
}

// To the display the window belongs to the application com.ombrix.Installer (its X11 class names
// it, as the Wayland app_id does), so a desktop matches it with the desktop entry and shows the
// product's icon, which the window also carries itself.
TEST_F(GtkHostTest, TheWindowIsTheApplicationComOmbrixInstallerAndCarriesItsIcon)
{
    if (onWayland())
        GTEST_SKIP() << "the class and icon are read as X11 window properties (docs/wayland.md)";
    ASSERT_TRUE(start(host, window));
    unsigned long id = windowId(desktop_->display(), host.pid, kWindowTitle);
    ASSERT_NE(id, 0ul);
    Display* display = XOpenDisplay(desktop_->display().c_str());
    ASSERT_TRUE(display);
    XClassHint hint{};
    ASSERT_TRUE(XGetClassHint(display, id, &hint));
    EXPECT_STREQ(hint.res_name, "com.ombrix.Installer");
    XFree(hint.res_name);
    XFree(hint.res_class);
    // _NET_WM_ICON: width, height, then the pixels, for each size the theme gave.
    Atom type;
    int format;
    unsigned long items = 0, rest;
    unsigned char* data = nullptr;
    ASSERT_EQ(XGetWindowProperty(display, id, XInternAtom(display, "_NET_WM_ICON", False), 0, 1 << 20, False,
                                 XA_CARDINAL, &type, &format, &items, &rest, &data), Success);
    EXPECT_GE(items, 2ul) << "the window carries no icon";
    XFree(data);
    XCloseDisplay(display);
}

// The value of `name` in the environment a process started with (/proc/PID/environ: what its
// sanitizer read, whatever it changed later with setenv).
std::string startingEnvironment(const std::string& pid, const std::string& name)
{
    std::istringstream all(readAll("/proc/" + pid + "/environ")); // NAME=VALUE, each ended by a NUL
    for (std::string entry; std::getline(all, entry, '\0');)
        if (entry.rfind(name + "=", 0) == 0)
            return entry.substr(name.size() + 1);
    return "(not set)";
}

// The window is on the display server this run is about: the toolkit's backend named (it then
// uses no other, and fails to start without it) and the other server's variable unset, so a run
// meant for Wayland cannot pass on X11 unnoticed.
TEST_F(GtkHostTest, TheWindowRunsOnTheChosenDisplayServerOnly)
{
    ASSERT_TRUE(start(host, window));
    const std::string pid = std::to_string(host.pid);
    EXPECT_EQ(startingEnvironment(pid, "GDK_BACKEND"), backendName(desktop_->backend()));
    EXPECT_EQ(startingEnvironment(pid, onWayland() ? "DISPLAY" : "WAYLAND_DISPLAY"), "(not set)");
    EXPECT_EQ(startingEnvironment(pid, onWayland() ? "WAYLAND_DISPLAY" : "DISPLAY"), desktop_->display());
}

// Under AddressSanitizer this program, an AT-SPI client that loses a few bytes inside that
// library, runs without leak detection (were it on, the client's bytes would fail every run, as
// they once did), and every host it starts runs with it: a host's leak must still fail the suite.
// What the host's sanitizer read is the environment it started with (/proc/PID/environ).
TEST_F(GtkHostTest, SanitizerOptionsLeaveLeakChecksToTheHosts)
{
#if defined(__SANITIZE_ADDRESS__)
    ASSERT_TRUE(start(host, window));
    const std::string options = startingEnvironment(std::to_string(host.pid), "ASAN_OPTIONS");
    EXPECT_NE(options.find("detect_leaks=1"), std::string::npos) << "the host runs with ASAN_OPTIONS=" << options;
#else
    GTEST_SKIP() << "only AddressSanitizer builds check leaks";
#endif
}

// The window walks a road by itself from an answers file (the fresh road, folders unchanged, the
// right refused), and removes that installation after asking once in a dialog named by its question.
TEST_F(GtkHostTest, AnAnswersFileDrivesTheWindowAndUninstallAsksOnceThenRemovesIt)
{
    const std::string answers = sandbox_->root() + "/answers.ini";
    std::ofstream(answers) << "[Road]\nChangeFolders=false\n[Authorization]\nAnswer=no\n[Payload]\nInstall="
                           << sandbox_->payloadEntry() << "=" << sandbox_->installedEntry() << "\n";
    host.start({"--answers", answers, ORU_BUNDLE_PATH}, {kNoSystemBus});
    space_->notePid(host.pid);
    EXPECT_EQ(host.finish(), 0) << host.output;
    host.expectResult({"first=DBSettingPane panes=DBSettingPane ended=finished", "login-item=refused"});

    host.start({"--uninstall", ORU_BUNDLE_PATH}, {kNoSystemBus});
    AccessibleRef question = driver_->window(host.pid, "Remove what the installer placed?", 20);
    ASSERT_TRUE(question) << host.output;
    EXPECT_TRUE(exists(sandbox_->installedEntry())); // nothing goes before the answer
    ASSERT_TRUE(press(question, "Remove"));
    AccessibleRef removal = driver_->window(host.pid, kWindowTitle);
    ASSERT_TRUE(removal) << host.output;
    close(host, removal, {"uninstall=done removed=1 kept=0 failed=0"});
}

// A removal through the privileged helper waits on pkexec for as long as the person takes with
// the desktop's password dialog. pkexec here is a stand-in (bound over it in this program's mount
// namespace) that holds until the test lets it go: meanwhile the window answers on the
// accessibility bus and says it is removing.
TEST_F(GtkHostTest, WhileARemovalWaitsOnPkexecTheWindowAnswersAndSaysItIsRemoving)
{
    TempFolder fake("gtk-host-pkexec"); // declared first: goes after the bind mount is undone
    ASSERT_FALSE(fake.path.empty());
    const std::string pkexec = fake.path + "/pkexec", started = fake.path + "/started", release = fake.path + "/release";
    std::ofstream(pkexec) << "#!/bin/sh\n: > '" << started << "'\nfor i in $(seq 200); do [ -e '" << release
                          << "' ] && exit 0; sleep 0.1; done\nexit 1\n";
    ASSERT_EQ(::chmod(pkexec.c_str(), 0755), 0);
    PrivateMounts mounts;
    mounts.bind(pkexec, "/usr/bin/pkexec");
    // The record of an installation whose one payload the helper placed, where the host looks for
    // it (in the sandbox's data folder).
    const std::filesystem::path manifest = InstallerManifestPathFor(ORU_BUNDLE_PATH);
    std::filesystem::create_directories(manifest.parent_path());
    std::ofstream(manifest) << "[Installation]\nBundle=Ombrix\n\n[Payload 1]\nDestination=" << fake.path
                            << "/system/Helped.app\nThroughHelper=true\nDevice=0\n";
    host.start({"--uninstall", "--unattended", "--privileged-helper", "/bin/true", ORU_BUNDLE_PATH}, {kNoSystemBus});
    space_->notePid(host.pid);
    for (int i = 0; i < 400 && !exists(started.c_str()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(exists(started.c_str())) << "pkexec was never started\n" << (host.finish(), host.output);
    AccessibleRef removal = driver_->window(host.pid, kWindowTitle, 10);
    EXPECT_TRUE(removal && shows(removal, "Removing what the installer placed…")) << host.output;
    std::ofstream(release).flush();
    EXPECT_EQ(host.finish(), 0) << host.output;
}

} // namespace
