// Drives installer-host-gtk from outside, as a person (or a screen reader) would: a private
// display with its own buses, and an AT-SPI client that finds the window's widgets by role and
// accessible name, reads them and presses them. Used by the window's tests, by installer-demo
// --gui and by the start-up measurement.
#ifndef GTKHOSTDRIVER_H
#define GTKHOSTDRIVER_H

#include <atspi/atspi.h>

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

// The display server a private desktop runs: an X server (Xvfb) or a Wayland compositor
// (weston, headless). See docs/wayland.md for what each lets a test do.
enum class DisplayBackend { X11, Wayland };

// The backend named by XP_DESKTOP_BACKEND: "wayland", or X11 when unset or "x11". false (and
// X11) for any other value, so that a misspelt name is not silently run on X11.
bool desktopBackendFromEnvironment(DisplayBackend* backend, std::string* error);
// "x11" or "wayland".
const char* backendName(DisplayBackend backend);

// A private desktop: an Xvfb display or a headless weston compositor, a D-Bus session bus and the
// accessibility bus (at-spi-bus-launcher, which starts the registry), all in one process group of
// our own that the destructor ends (terminated, then killed after a grace period), so nothing
// outlives it and nothing else is touched, whether the caller ended well or not. start() makes the
// calling process a child subreaper, so the daemons that the buses and the compositor start are
// collected too. It starts no thread: a caller that unshares namespaces does so before the AT-SPI
// client (which does) is made.
class PrivateDesktop {
public:
    explicit PrivateDesktop(DisplayBackend backend = DisplayBackend::X11);
    ~PrivateDesktop();
    PrivateDesktop(const PrivateDesktop&) = delete;
    PrivateDesktop& operator=(const PrivateDesktop&) = delete;

    // Starts everything; false with the reason in `error` (no Xvfb, no display came up, ...).
    bool start(std::string* error);
    DisplayBackend backend() const { return backend_; }
    // ":N" on X11; the name of the compositor's socket in the private runtime folder on Wayland.
    const std::string& display() const { return display_; }
    const std::string& sessionBus() const { return sessionBus_; }
    // The variables that put a program on this desktop (DISPLAY or WAYLAND_DISPLAY and the
    // toolkit's backend, the session bus, a private runtime folder, the toolkit settings that keep
    // it off the person's own services).
    std::vector<std::pair<std::string, std::string>> environment() const;
    // Sets them in this process (for the AT-SPI client, before atspi_init).
    void applyToProcess() const;
    // Saves what the screen shows as a PNG `file`: on X11 the window of `pid` with that title
    // alone (ImageMagick's import); on Wayland, where no client may look at another's window, the
    // compositor's own picture of its output (weston's screenshooter, allowed because the
    // compositor runs with --debug), cut to what differs from the empty black desktop.
    bool screenshot(pid_t pid, const std::string& title, const std::string& file) const;

private:
    pid_t spawn(const std::vector<std::string>& args, int keepFd = -1);
    bool startX11(std::string* error);
    bool startWayland(std::string* error);

    DisplayBackend backend_;
    pid_t group_ = 0;
    std::vector<pid_t> children_;
    std::string display_;
    std::string sessionBus_;
    std::string runtimeDir_;
};

// A reference to an accessible object, released by its owner.
class AccessibleRef {
public:
    AccessibleRef() = default;
    explicit AccessibleRef(AtspiAccessible* object) : object_(object) {} // takes the reference
    AccessibleRef(const AccessibleRef& other);
    AccessibleRef& operator=(AccessibleRef other);
    ~AccessibleRef();
    AtspiAccessible* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

    std::string name() const;
    std::string description() const;
    AtspiRole role() const;
    // "push button", "label", ... as AT-SPI names the role.
    std::string roleName() const;
    bool hasState(AtspiStateType state) const;
    // Runs the object's first action (a button's click); false when it has none or it failed.
    bool press() const;
    // The current value of an object with a value (a progress bar's); -1 when it has none.
    double value() const;
    std::vector<AccessibleRef> children() const;

private:
    AtspiAccessible* object_ = nullptr;
};

// The AT-SPI client: one per process, on the accessibility bus of the desktop whose environment
// the process carries when the first client is made.
class AtspiDriver {
public:
    AtspiDriver();

    // The application that process `pid` registered, waiting up to `seconds`.
    AccessibleRef application(pid_t pid, double seconds = 10);
    // The application's window with that title (a frame or dialog), waiting up to `seconds`.
    AccessibleRef window(pid_t pid, const std::string& title, double seconds = 10);
    // The first object below `root` (depth first) with `role` whose name is `name`, or contains
    // `name` when `partial`; waits up to `seconds` for it to appear. A null result on time-out.
    AccessibleRef find(const AccessibleRef& root, AtspiRole role, const std::string& name, double seconds = 10,
                       bool partial = false);
    // Every object with `role` below `root`, in document order, as found now; below a window, not
    // those of the title bar the toolkit draws (see titleBar()): its "Close" is not the page's.
    std::vector<AccessibleRef> all(const AccessibleRef& root, AtspiRole role);
    // Names of every object with `role` below `root`.
    std::vector<std::string> names(const AccessibleRef& root, AtspiRole role);
    // Lets the client take in the events that arrived (names and children that changed).
    void pump();
};

// Asks the window with `title` of process `pid` on `display` to close, as a window manager does
// when the person clicks its close button (WM_DELETE_WINDOW). false when no such window is there.
// X11 only: a Wayland compositor without a close binding (weston's) has no such request to send;
// there the window draws its own title bar, whose button closeByTitleBar() presses.
bool closeWindow(const std::string& display, pid_t pid, const std::string& title);
// The title bar that the toolkit draws itself in `window` (client-side decorations, as on
// Wayland, where weston leaves them to the client): a window holds one child of its own, and the
// toolkit adds its title bar as a second, last one. Null when the window has none (X11 without a
// window manager).
AccessibleRef titleBar(const AccessibleRef& window);
// Presses the button named `closeName` (the toolkit's "Close") in that title bar, as the person
// clicks it. false when there is no such title bar.
bool closeByTitleBar(AtspiDriver& driver, const AccessibleRef& window, const std::string& closeName = "Close");
// The functions below talk to an X server: weston offers no way for one client to press keys in
// another's window (its headless backend has no seat at all).
// Presses (or releases) the keys with these X key names ("Shift_L", "Super_L") on the display's
// keyboard through the XTEST extension, as if a person held them. false when one is unknown or
// the display cannot be reached.
bool setKeysHeld(const std::string& display, const std::vector<std::string>& keys, bool held);
// Gives that window the keyboard focus, as a window manager does when the person clicks it.
bool focusWindow(const std::string& display, pid_t pid, const std::string& title);
// The X id of that window (0 when none), e.g. for a screenshot of it alone.
unsigned long windowId(const std::string& display, pid_t pid, const std::string& title);

#endif
