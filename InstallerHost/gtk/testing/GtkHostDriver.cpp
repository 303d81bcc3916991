#include "GtkHostDriver.h"

#include <gio/gio.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <thread>

extern char** environ;

namespace {

// Under AddressSanitizer a test that drives the window runs its own process without leak
// detection (its CMake sets that): the accessibility client library loses a few bytes on an
// error path when a window closes while a request about it is under way, which says nothing of
// the installer. Every program the test starts (the hosts under test) gets leak detection back:
// XP_CHILD_ASAN_OPTIONS becomes their ASAN_OPTIONS. This runs before main, after the
// sanitizer of this process has read its own options.
[[maybe_unused]] const bool childrenCheckLeaks = [] {
    const char* options = std::getenv("XP_CHILD_ASAN_OPTIONS");
    return options != nullptr && ::setenv("ASAN_OPTIONS", options, 1) == 0;
}();

using Clock = std::chrono::steady_clock;

Clock::time_point after(double seconds)
{
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Reads from `fd` until a newline or the time limit; "" when nothing complete came.
std::string readLine(int fd, double seconds)
{
    std::string text;
    auto deadline = after(seconds);
    while (Clock::now() < deadline) {
        struct pollfd p{fd, POLLIN, 0};
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        int ready = ::poll(&p, 1, left > 0 ? left : 0);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        char c;
        ssize_t n = ::read(fd, &c, 1);
        if (n <= 0)
            break;
        if (c == '\n')
            return text;
        text += c;
    }
    return std::string();
}

} // namespace

bool desktopBackendFromEnvironment(DisplayBackend* backend, std::string* error)
{
    const char* name = std::getenv("XP_DESKTOP_BACKEND");
    *backend = DisplayBackend::X11;
    if (!name || !*name || std::strcmp(name, "x11") == 0)
        return true;
    if (std::strcmp(name, "wayland") == 0) {
        *backend = DisplayBackend::Wayland;
        return true;
    }
    if (error)
        *error = std::string("XP_DESKTOP_BACKEND is \"") + name + "\"; it can be x11 or wayland";
    return false;
}

const char* backendName(DisplayBackend backend)
{
    return backend == DisplayBackend::Wayland ? "wayland" : "x11";
}

PrivateDesktop::PrivateDesktop(DisplayBackend backend) : backend_(backend) {}

PrivateDesktop::~PrivateDesktop()
{
    if (group_ > 0) {
        ::kill(-group_, SIGTERM);
        auto deadline = after(2.0);
        for (pid_t& child : children_) {
            while (child > 0 && Clock::now() < deadline) {
                if (::waitpid(child, nullptr, WNOHANG) == child)
                    child = -1;
                else
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        // What did not end by itself (the accessibility bus's own daemons among them) is killed.
        ::kill(-group_, SIGKILL);
        for (pid_t child : children_)
            if (child > 0)
                ::waitpid(child, nullptr, 0);
        // The daemons that the buses started came to us (the subreaper) when their parents
        // ended; collected here, so none stays behind as a zombie.
        auto reapDeadline = after(2.0);
        while (Clock::now() < reapDeadline) {
            pid_t reaped = ::waitpid(-group_, nullptr, WNOHANG);
            if (reaped < 0 && errno != EINTR)
                break; // no process of the group is left
            if (reaped == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (!runtimeDir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(runtimeDir_, ec);
    }
}

std::vector<std::pair<std::string, std::string>> PrivateDesktop::environment() const
{
    const bool wayland = backend_ == DisplayBackend::Wayland;
    return {
        // One display server only: a program that found the other would not be tested on this one.
        {"DISPLAY", wayland ? "" : display_},
        {"WAYLAND_DISPLAY", wayland ? display_ : ""},
        {"DBUS_SESSION_BUS_ADDRESS", sessionBus_},
        {"XDG_RUNTIME_DIR", runtimeDir_},
        {"GDK_BACKEND", backendName(backend_)},
        // No GL on a virtual frame buffer worth the start-up time; cairo draws the same window.
        {"GSK_RENDERER", "cairo"},
        // Nor the probe for it: on X11 the display loads Mesa's software driver to choose a
        // visual even for cairo, and unloads it at exit with a buffer that LeakSanitizer then
        // reports against an unknown module, as the host's own leak. On Wayland the toolkit
        // would load the same driver through EGL.
        {"GDK_DEBUG", "gl-disable"},
        // Settings and the virtual file system from memory and the local disk: nothing of the
        // person's own services is started on this private bus.
        {"GSETTINGS_BACKEND", "memory"},
        {"GIO_USE_VFS", "local"},
        {"GTK_A11Y", ""}, // the toolkit's default: AT-SPI
        {"NO_AT_BRIDGE", ""},
    };
}

void PrivateDesktop::applyToProcess() const
{
    for (const auto& var : environment()) {
        if (var.second.empty())
            ::unsetenv(var.first.c_str());
        else
            ::setenv(var.first.c_str(), var.second.c_str(), 1);
    }
}

pid_t PrivateDesktop::spawn(const std::vector<std::string>& args, int keepFd)
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // The environment of the desktop as far as it is known.
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e; ++e) {
        const char* eq = std::strchr(*e, '=');
        if (eq)
            vars[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
    }
    for (const auto& var : environment())
        if (!var.second.empty())
            vars[var.first] = var.second;
        else
            vars.erase(var.first);
    // The daemons read their configuration and settings schemas from the system's folders, also
    // when the caller has pointed its own XDG folders at a sandbox.
    vars["XDG_DATA_DIRS"] = "/usr/local/share:/usr/share";
    vars["XDG_CONFIG_DIRS"] = "/etc/xdg";
    std::vector<std::string> envStrings;
    for (const auto& var : vars)
        envStrings.push_back(var.first + "=" + var.second);
    std::vector<char*> envp;
    for (std::string& s : envStrings)
        envp.push_back(&s[0]);
    envp.push_back(nullptr);

    int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid == 0) {
        // Ends with us even when we die without running the destructor (a crash, a kill).
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
        ::setpgid(0, group_);
        if (keepFd >= 0)
            ::dup2(keepFd, 3);
        if (devnull >= 0) { // the daemons' chatter stays out of the test's output
            ::dup2(devnull, 1);
            ::dup2(devnull, 2);
        }
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    if (devnull >= 0)
        ::close(devnull);
    if (pid < 0)
        return -1;
    ::setpgid(pid, group_ ? group_ : pid); // also here, so the group exists before we go on
    if (group_ == 0)
        group_ = pid;
    children_.push_back(pid);
    return pid;
}

bool PrivateDesktop::startX11(std::string* error)
{
    // Xvfb picks a free display number itself and writes it to descriptor 3.
    int pipeFd[2];
    if (::pipe2(pipeFd, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    pid_t x = spawn({"/usr/bin/Xvfb", "-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                     "-noreset"}, pipeFd[1]);
    ::close(pipeFd[1]);
    std::string number = x > 0 ? readLine(pipeFd[0], 15) : std::string();
    ::close(pipeFd[0]);
    if (number.empty()) {
        *error = "Xvfb did not start";
        return false;
    }
    display_ = ":" + number;
    return true;
}

bool PrivateDesktop::startWayland(std::string* error)
{
    // The shell's settings: a plain black desktop (the screenshots are cut to what differs from
    // it), no panel, no lock screen or animations to wait for, no on-screen keyboard.
    const std::string config = runtimeDir_ + "/weston.ini";
    {
        int fd = ::open(config.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        static const char text[] = "[core]\nidle-time=0\n"
                                   "[shell]\nbackground-color=0xff000000\npanel-position=none\nlocking=false\n"
                                   "animation=none\nstartup-animation=none\nclose-animation=none\nfocus-animation=none\n"
                                   "[input-method]\npath=\n";
        bool written = fd >= 0 && ::write(fd, text, sizeof text - 1) == static_cast<ssize_t>(sizeof text - 1);
        if (fd >= 0)
            ::close(fd);
        if (!written) {
            *error = "cannot write " + config + ": " + std::strerror(errno);
            return false;
        }
    }
    display_ = "wayland-0"; // in our own runtime folder, so always free
    // The headless backend with the pixman renderer: the default renderer there draws nothing,
    // which leaves the screenshooter nothing to read. --debug allows the screenshooter (weston
    // refuses it to clients otherwise); only this user reaches the socket.
    pid_t weston = spawn({"/usr/bin/weston", "--backend=headless-backend.so", "--use-pixman", "--width=1024",
                          "--height=768", "--socket=" + display_, "--config=" + config, "--debug"});
    if (weston <= 0) {
        *error = "weston did not start";
        return false;
    }
    // Clients may come once the socket is there: weston accepts them in its main loop, which it
    // enters after the shell is loaded, so they find the shell's interfaces.
    const std::string socket = runtimeDir_ + "/" + display_;
    for (auto deadline = after(15); Clock::now() < deadline;) {
        struct stat st;
        if (::lstat(socket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
            return true;
        if (::waitpid(weston, nullptr, WNOHANG) == weston) {
            for (pid_t& child : children_)
                if (child == weston)
                    child = -1;
            *error = "weston ended at start";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    *error = "weston did not open its socket";
    return false;
}

bool PrivateDesktop::start(std::string* error)
{
    auto fail = [error](const std::string& why) {
        if (error)
            *error = why;
        return false;
    };
    const char* server = backend_ == DisplayBackend::Wayland ? "/usr/bin/weston" : "/usr/bin/Xvfb";
    for (const char* program : {server, "/usr/bin/dbus-daemon", "/usr/libexec/at-spi-bus-launcher"})
        if (::access(program, X_OK) != 0)
            return fail(std::string(program) + " is missing (scripts/deps.sh installs it)");
    // Daemons that the buses and the compositor start are reparented to us when their parents
    // end, so that the destructor can collect them.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    // Also the compositor's socket: weston wants this folder to be the user's alone (mkdtemp
    // makes it 0700), and nothing outside this process's user can reach the socket there.
    char folder[] = "/tmp/installer-desktop.XXXXXX";
    if (!::mkdtemp(folder))
        return fail(std::string("no runtime folder: ") + std::strerror(errno));
    runtimeDir_ = folder;
    std::string why;
    if (!(backend_ == DisplayBackend::Wayland ? startWayland(&why) : startX11(&why)))
        return fail(why);

    int pipeFd[2];
    if (::pipe2(pipeFd, O_CLOEXEC) != 0)
        return fail(std::string("pipe: ") + std::strerror(errno));
    pid_t bus = spawn({"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=3"}, pipeFd[1]);
    ::close(pipeFd[1]);
    sessionBus_ = bus > 0 ? readLine(pipeFd[0], 10) : std::string();
    ::close(pipeFd[0]);
    if (sessionBus_.empty())
        return fail("the session bus did not start");
    // The accessibility bus: its launcher owns org.a11y.Bus on the session bus, starts the bus
    // and the registry and announces the bus on the display.
    if (spawn({"/usr/libexec/at-spi-bus-launcher", "--launch-immediately"}) <= 0)
        return fail("at-spi-bus-launcher did not start");
    // It is ready once it owns its name on the session bus and tells the accessibility bus's
    // address (clients that come earlier would start a launcher of their own).
    GError* gerror = nullptr;
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        sessionBus_.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &gerror);
    if (!connection) {
        std::string why = gerror ? gerror->message : "unknown error";
        g_clear_error(&gerror);
        return fail("cannot reach the session bus: " + why);
    }
    bool ready = false;
    for (auto deadline = after(15); !ready && Clock::now() < deadline;) {
        GVariant* owned = g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                      "org.freedesktop.DBus", "NameHasOwner",
                                                      g_variant_new("(s)", "org.a11y.Bus"), G_VARIANT_TYPE("(b)"),
                                                      G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
        gboolean hasOwner = FALSE;
        if (owned) {
            g_variant_get(owned, "(b)", &hasOwner);
            g_variant_unref(owned);
        }
        if (hasOwner) {
            GVariant* address = g_dbus_connection_call_sync(connection, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus",
                                                            "GetAddress", nullptr, G_VARIANT_TYPE("(s)"),
                                                            G_DBUS_CALL_FLAGS_NO_AUTO_START, 10000, nullptr, nullptr);
            ready = address != nullptr;
            if (address)
                g_variant_unref(address);
        }
        if (!ready)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    g_dbus_connection_close_sync(connection, nullptr, nullptr);
    g_object_unref(connection);
    return ready ? true : fail("the accessibility bus did not come up");
}

// ---- accessible objects ----

AccessibleRef::AccessibleRef(const AccessibleRef& other) : object_(other.object_)
{
    if (object_)
        g_object_ref(object_);
}

AccessibleRef& AccessibleRef::operator=(AccessibleRef other)
{
    std::swap(object_, other.object_);
    return *this;
}

namespace {

// A string the accessibility library handed over, as a std::string; the library's copy is freed.
std::string taken(gchar* text)
{
    std::string result = text ? text : "";
    g_free(text);
    return result;
}

} // namespace

AccessibleRef::~AccessibleRef()
{
    if (object_)
        g_object_unref(object_);
}

std::string AccessibleRef::name() const
{
    return object_ ? taken(atspi_accessible_get_name(object_, nullptr)) : std::string();
}

std::string AccessibleRef::description() const
{
    return object_ ? taken(atspi_accessible_get_description(object_, nullptr)) : std::string();
}

AtspiRole AccessibleRef::role() const
{
    return object_ ? atspi_accessible_get_role(object_, nullptr) : ATSPI_ROLE_INVALID;
}

std::string AccessibleRef::roleName() const
{
    return object_ ? taken(atspi_accessible_get_role_name(object_, nullptr)) : std::string();
}

bool AccessibleRef::hasState(AtspiStateType state) const
{
    if (!object_)
        return false;
    AtspiStateSet* set = atspi_accessible_get_state_set(object_);
    bool result = set && atspi_state_set_contains(set, state);
    if (set)
        g_object_unref(set);
    return result;
}

bool AccessibleRef::press() const
{
    if (!object_)
        return false;
    AtspiAction* action = atspi_accessible_get_action_iface(object_);
    if (!action)
        return false;
    GError* error = nullptr;
    bool done = atspi_action_get_n_actions(action, nullptr) > 0 && atspi_action_do_action(action, 0, &error);
    if (error)
        g_error_free(error);
    g_object_unref(action);
    return done;
}

double AccessibleRef::value() const
{
    AtspiValue* value = object_ ? atspi_accessible_get_value_iface(object_) : nullptr;
    if (!value)
        return -1;
    GError* error = nullptr;
    double current = atspi_value_get_current_value(value, &error);
    if (error) {
        g_error_free(error);
        current = -1;
    }
    g_object_unref(value);
    return current;
}

std::vector<AccessibleRef> AccessibleRef::children() const
{
    std::vector<AccessibleRef> list;
    if (!object_)
        return list;
    gint count = atspi_accessible_get_child_count(object_, nullptr);
    for (gint i = 0; i < count; ++i)
        if (AtspiAccessible* child = atspi_accessible_get_child_at_index(object_, i, nullptr))
            list.emplace_back(child);
    return list;
}

// ---- the client ----

AtspiDriver::AtspiDriver()
{
    static bool initialized = atspi_init() >= 0;
    (void)initialized;
}

void AtspiDriver::pump()
{
    for (int i = 0; i < 1000 && g_main_context_pending(nullptr); ++i)
        g_main_context_iteration(nullptr, FALSE);
}

AccessibleRef AtspiDriver::application(pid_t pid, double seconds)
{
    auto deadline = after(seconds);
    for (;;) {
        pump();
        AccessibleRef desktop(atspi_get_desktop(0));
        for (const AccessibleRef& app : desktop.children()) {
            if (static_cast<pid_t>(atspi_accessible_get_process_id(app.get(), nullptr)) == pid) {
                // Read from the application each time: a stale cache would show the last page.
                atspi_accessible_set_cache_mask(app.get(), ATSPI_CACHE_NONE);
                return app;
            }
        }
        if (Clock::now() >= deadline)
            return AccessibleRef();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

AccessibleRef AtspiDriver::window(pid_t pid, const std::string& title, double seconds)
{
    auto deadline = after(seconds);
    for (;;) {
        AccessibleRef app = application(pid, 0);
        for (const AccessibleRef& w : app.children())
            if (w.name() == title)
                return w;
        if (Clock::now() >= deadline)
            return AccessibleRef();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

namespace {

void collect(const AccessibleRef& node, AtspiRole role, std::vector<AccessibleRef>& out, int depth, const AccessibleRef& skip)
{
    if (depth > 40)
        return;
    for (const AccessibleRef& child : node.children()) {
        if (skip && child.get() == skip.get())
            continue;
        if (child.role() == role)
            out.push_back(child);
        collect(child, role, out, depth + 1, skip);
    }
}

} // namespace

AccessibleRef titleBar(const AccessibleRef& window)
{
    AtspiRole role = window.role();
    if (role != ATSPI_ROLE_FRAME && role != ATSPI_ROLE_DIALOG)
        return AccessibleRef();
    // A window holds one child of its own; the toolkit adds the title bar it draws after it.
    std::vector<AccessibleRef> children = window.children();
    if (children.size() < 2 || children.back().role() != ATSPI_ROLE_PANEL)
        return AccessibleRef();
    return children.back();
}

std::vector<AccessibleRef> AtspiDriver::all(const AccessibleRef& root, AtspiRole role)
{
    pump();
    std::vector<AccessibleRef> out;
    if (root)
        collect(root, role, out, 0, titleBar(root));
    return out;
}

std::vector<std::string> AtspiDriver::names(const AccessibleRef& root, AtspiRole role)
{
    std::vector<std::string> out;
    for (const AccessibleRef& node : all(root, role))
        out.push_back(node.name());
    return out;
}

AccessibleRef AtspiDriver::find(const AccessibleRef& root, AtspiRole role, const std::string& name, double seconds,
                                bool partial)
{
    auto deadline = after(seconds);
    for (;;) {
        for (const AccessibleRef& node : all(root, role)) {
            std::string n = node.name();
            if (partial ? n.find(name) != std::string::npos : n == name)
                return node;
        }
        if (Clock::now() >= deadline)
            return AccessibleRef();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// ---- X windows ----

namespace {

// The top-level windows of `pid` with that title (without a window manager, the root's children).
std::vector<Window> findWindows(Display* dpy, pid_t pid, const std::string& title)
{
    std::vector<Window> found;
    Atom pidAtom = XInternAtom(dpy, "_NET_WM_PID", False);
    Atom nameAtom = XInternAtom(dpy, "_NET_WM_NAME", False);
    Atom utf8 = XInternAtom(dpy, "UTF8_STRING", False);
    Window root = DefaultRootWindow(dpy), parent = 0, *kids = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(dpy, root, &root, &parent, &kids, &count))
        return found;
    for (unsigned int i = 0; i < count; ++i) {
        Atom type;
        int format;
        unsigned long items, rest;
        unsigned char* data = nullptr;
        bool ours = false;
        if (XGetWindowProperty(dpy, kids[i], pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &items, &rest, &data) ==
                Success && data && items == 1)
            ours = static_cast<pid_t>(*reinterpret_cast<unsigned long*>(data)) == pid;
        if (data)
            XFree(data);
        data = nullptr;
        if (!ours)
            continue;
        std::string name;
        if (XGetWindowProperty(dpy, kids[i], nameAtom, 0, 1024, False, utf8, &type, &format, &items, &rest, &data) ==
                Success && data)
            name.assign(reinterpret_cast<char*>(data), items);
        if (data)
            XFree(data);
        XWindowAttributes attributes;
        if (name == title && XGetWindowAttributes(dpy, kids[i], &attributes) && attributes.map_state == IsViewable)
            found.push_back(kids[i]);
    }
    if (kids)
        XFree(kids);
    return found;
}

} // namespace

bool closeWindow(const std::string& display, pid_t pid, const std::string& title)
{
    Display* dpy = XOpenDisplay(display.c_str());
    if (!dpy)
        return false;
    std::vector<Window> windows = findWindows(dpy, pid, title);
    for (Window w : windows) {
        XEvent event;
        std::memset(&event, 0, sizeof event);
        event.xclient.type = ClientMessage;
        event.xclient.window = w;
        event.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = static_cast<long>(XInternAtom(dpy, "WM_DELETE_WINDOW", False));
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(dpy, w, False, NoEventMask, &event);
    }
    XSync(dpy, False);
    XCloseDisplay(dpy);
    return !windows.empty();
}

unsigned long windowId(const std::string& display, pid_t pid, const std::string& title)
{
    Display* dpy = XOpenDisplay(display.c_str());
    if (!dpy)
        return 0;
    std::vector<Window> windows = findWindows(dpy, pid, title);
    XCloseDisplay(dpy);
    return windows.empty() ? 0 : windows.front();
}

bool setKeysHeld(const std::string& display, const std::vector<std::string>& keys, bool held)
{
    Display* dpy = XOpenDisplay(display.c_str());
    if (!dpy)
        return false;
    bool ok = true;
    for (const std::string& key : keys) {
        KeyCode code = XKeysymToKeycode(dpy, XStringToKeysym(key.c_str()));
        ok = ok && code != 0 && XTestFakeKeyEvent(dpy, code, held ? True : False, CurrentTime);
    }
    XSync(dpy, False);
    XCloseDisplay(dpy);
    return ok;
}

bool focusWindow(const std::string& display, pid_t pid, const std::string& title)
{
    Display* dpy = XOpenDisplay(display.c_str());
    if (!dpy)
        return false;
    std::vector<Window> windows = findWindows(dpy, pid, title);
    if (!windows.empty())
        XSetInputFocus(dpy, windows.front(), RevertToPointerRoot, CurrentTime);
    XSync(dpy, False);
    XCloseDisplay(dpy);
    return !windows.empty();
}

bool closeByTitleBar(AtspiDriver& driver, const AccessibleRef& window, const std::string& closeName)
{
    driver.pump();
    AccessibleRef bar = titleBar(window);
    for (const AccessibleRef& button : bar ? driver.all(bar, ATSPI_ROLE_PUSH_BUTTON) : std::vector<AccessibleRef>())
        if (button.name() == closeName)
            return button.press();
    return false;
}

// ---- screenshots ----

namespace {

// Runs `args` (a full path first) with `folder` as its working folder, its output to /dev/null;
// true when it ends with status 0.
bool runIn(const std::vector<std::string>& args, const std::string& folder)
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    pid_t pid = ::fork();
    if (pid == 0) {
        if (devnull >= 0) {
            ::dup2(devnull, 1);
            ::dup2(devnull, 2);
        }
        if (!folder.empty() && ::chdir(folder.c_str()) != 0)
            ::_exit(127);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (devnull >= 0)
        ::close(devnull);
    if (pid < 0)
        return false;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

bool PrivateDesktop::screenshot(pid_t pid, const std::string& title, const std::string& file) const
{
    if (backend_ == DisplayBackend::X11) {
        unsigned long id = windowId(display_, pid, title);
        if (!id)
            return false;
        char idText[32];
        std::snprintf(idText, sizeof idText, "0x%lx", id);
        return runIn({"/usr/bin/import", "-display", display_, "-window", idText, file}, "");
    }
    // weston-screenshooter saves the output as wayland-screenshot-<time>.png in its working
    // folder: a new folder of ours, so the picture is the only file there.
    std::string pattern = runtimeDir_ + "/shot.XXXXXX";
    std::vector<char> folder(pattern.begin(), pattern.end());
    folder.push_back('\0');
    if (!::mkdtemp(folder.data()))
        return false;
    const std::string dir = folder.data();
    bool ok = runIn({"/usr/bin/weston-screenshooter"}, dir);
    std::string picture;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        if (entry.path().extension() == ".png")
            picture = entry.path().string();
    // The windows on the black desktop: the picture cut to what is not black (-trim), with the
    // page geometry of the cut reset (+repage) so that viewers show it from its corner.
    ok = ok && !picture.empty() && runIn({"/usr/bin/convert", picture, "-trim", "+repage", file}, "");
    std::filesystem::remove_all(dir, ec);
    return ok;
}
