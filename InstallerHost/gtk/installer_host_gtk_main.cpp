// installer-host-gtk: the installer's window. It loads a plug-in bundle through the same session
// core as the terminal host (InstallerSession) and draws its road as a desktop installer does:
// the steps in a side list, the page's title and controls, Go Back / Continue / Quit below.
// Every call into the plug-in comes from GTK's main thread; the session keeps their order.
//
// The plug-in's controls are drawn row by row as it laid them out: text fields as labels a person
// can select and copy, buttons as buttons. Each widget carries an accessible name and role, so a
// screen reader, keyboard navigation and the tests (over AT-SPI) reach it.
//
// The last line on standard output is the same "installer-host: result:" line that the terminal
// host prints, for scripts.
//
// To the desktop it is the application com.ombrix.Installer (a GtkApplication): the id names its
// desktop entry, its icon in the hicolor theme and its AppStream metainfo, so docks and window
// lists show the product's name and icon for the window. It is NON_UNIQUE: each run works on the
// bundle it was given, and a second installer started meanwhile must run (and wait for the
// installer lock) on its own instead of handing its command line to the first (so the id is
// also the program's name to the display, see main()).
#include <InstallerDisplayText.h>
#include <InstallerFrontEnd.h>
#include <InstallerHostOptions.h>
#include <InstallerManifest.h>
#include <InstallerPolkit.h>
#include <InstallerSession.h>

#include <gtk/gtk.h>
#include <glib-unix.h>
#ifdef GDK_WINDOWING_X11
#include <gdk/x11/gdkx.h>
#include <X11/XKBlib.h>
#endif

#include <libintl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#define _(text) ::dgettext("installer-host-gtk", text)
// Marks a text for the catalog (xgettext) where it is translated later, through _().
#define N_(text) text

namespace {

const char* const kApplicationId = "com.ombrix.Installer";

const char* const kUsage = N_(
    "Usage: installer-host-gtk [options] BUNDLE\n"
    "\n"
    "Loads the installer plug-in bundle BUNDLE (a folder NAME.bundle holding NAME.so and its\n"
    "translations in locale/) and shows the installer's road in a window: the installation page\n"
    "(which copies the payload), the plug-in's panes, the summary. Closing the window or Ctrl+Q\n"
    "asks before leaving the road early; the plug-in is told that the installer terminates.\n"
    "\n"
    "Options:\n"
    "  --modifiers LIST     modifier keys reported to the plug-in instead of the keys really\n"
    "                       held: command,shift,control,option,capslock (or none).\n"
    "  --authorize ANSWER   who answers requests for administrative rights: polkit (the\n"
    "                       default; the desktop's authentication agent asks for the password),\n"
    "                       or the host itself: yes, no or ask (a dialog). Where no polkit\n"
    "                       daemon answers, root gets the dialog and anyone else is refused.\n"
    "  --install SRC=DEST   payload: the installation page copies file or folder SRC to DEST (repeatable).\n"
    "  --uninstall          remove what the installation of BUNDLE placed, as its record lists\n"
    "                       it (changed files and files added since stay); asks once first.\n"
    "  --unattended         with --uninstall: remove without asking.\n"
    "  --answers FILE       the choices of an unattended run, in a key file (the terminal host's\n"
    "                       --help describes it): the window then walks the road by itself.\n"
    "  --privileged-helper PATH  the helper that pkexec starts for the steps that need root\n"
    "                       (a payload in a system folder, the all-users login item) when the\n"
    "                       host is not root. Default: the installed helper, when it is there.\n"
    "  -h, --help           this text.\n"
    "  --version            the version, and nothing else.\n"
    "\n"
    "Exit status: 0 the road ended (finished or quit), 2 usage error, 3 the bundle could not be\n"
    "loaded, 4 the section declined to load, 5 no display, 6 nothing recorded to remove, 7 a removal\n"
    "failed, 8 the installation was refused or failed, 128+N when ended by signal N.\n"
    "The last line of output starts with \"installer-host: result:\".\n");

struct Options : InstallerHostOptions {
    bool unattended = false; // --unattended: a removal asks nobody
};

// Signals reach the main loop through this pipe (its read end); the handler also notes the
// interrupt for a plug-in that waits inside one of its calls (the main loop does not run then).
int g_signalFd = -1;

// The keys held on the keyboard now, in the plug-in interface's bits. On X11 the server is asked
// (XKB's state of the core keyboard): the toolkit's own idea of the modifiers only follows the key
// events its windows received, and keys pressed before the window appeared reach none of them.
// Elsewhere the seat's modifier state is what there is.
uint32_t heldModifiers()
{
    GdkDisplay* display = gdk_display_get_default();
#ifdef GDK_WINDOWING_X11
    if (display && GDK_IS_X11_DISPLAY(display)) {
        XkbStateRec state;
        if (XkbGetState(gdk_x11_display_get_xdisplay(display), XkbUseCoreKbd, &state) == Success) {
            unsigned int mods = state.mods;
            uint32_t bits = 0;
            if (mods & Mod4Mask) // Super, the key where the Command key sits
                bits |= kInstallerCommandKeyMask;
            if (mods & ShiftMask)
                bits |= kInstallerShiftKeyMask;
            if (mods & ControlMask)
                bits |= kInstallerControlKeyMask;
            if (mods & Mod1Mask) // Alt, where Option sits
                bits |= kInstallerOptionKeyMask;
            if (mods & LockMask)
                bits |= kInstallerCapsLockKeyMask;
            return bits;
        }
    }
#endif
    GdkSeat* seat = display ? gdk_display_get_default_seat(display) : nullptr;
    GdkDevice* keyboard = seat ? gdk_seat_get_keyboard(seat) : nullptr;
    if (!keyboard)
        return 0;
    GdkModifierType state = gdk_device_get_modifier_state(keyboard);
    uint32_t bits = 0;
    if (state & (GDK_SUPER_MASK | GDK_META_MASK))
        bits |= kInstallerCommandKeyMask;
    if (state & GDK_SHIFT_MASK)
        bits |= kInstallerShiftKeyMask;
    if (state & GDK_CONTROL_MASK)
        bits |= kInstallerControlKeyMask;
    if (state & GDK_ALT_MASK)
        bits |= kInstallerOptionKeyMask;
    if (state & GDK_LOCK_MASK)
        bits |= kInstallerCapsLockKeyMask;
    return bits;
}

// The icon where the program finds it when it is not installed in a folder the icon theme searches
// anyway: in the build tree icons/ beside the program, installed the share/icons folder of the
// program's own prefix.
void addIconFolders()
{
    GdkDisplay* display = gdk_display_get_default();
    gchar* self = g_file_read_link("/proc/self/exe", nullptr);
    if (!display || !self)
        return;
    gchar* folder = g_path_get_dirname(self);
    GtkIconTheme* theme = gtk_icon_theme_get_for_display(display);
    gchar* beside = g_build_filename(folder, "icons", nullptr);
    if (g_file_test(beside, G_FILE_TEST_IS_DIR))
        gtk_icon_theme_add_search_path(theme, beside);
    gchar* installed = g_build_filename(folder, INSTALLER_GTK_ICONDIR_FROM_BIN, nullptr);
    gtk_icon_theme_add_search_path(theme, installed);
    g_free(installed);
    g_free(beside);
    g_free(folder);
    g_free(self);
}

void setAccessibleDescription(GtkWidget* widget, const char* text)
{
    gtk_accessible_update_property(GTK_ACCESSIBLE(widget), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION, text, -1);
}

GtkWidget* makeLabel(const std::string& text, bool selectable)
{
    // Folder names need not be UTF-8; GTK takes only UTF-8 (the path itself is left as it is).
    GtkWidget* label = gtk_label_new(InstallerValidUTF8(text).c_str());
    gtk_label_set_wrap(GTK_LABEL(label), TRUE);
    gtk_label_set_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
    gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
    gtk_label_set_selectable(GTK_LABEL(label), selectable);
    // A selectable label would otherwise take the focus first and show its whole text selected.
    gtk_widget_set_focus_on_click(label, FALSE);
    return label;
}

// A button whose label marks its access key with an underscore ("_Continue"): Alt and that letter
// press it, and the letter is underlined while Alt is held. GTK 4.8 names such a button on the
// accessibility bus by its raw label followed by the text of the label that it is labelled by
// ("_Continue Continue"); the name is set to the text alone. (The access key itself reaches no
// screen reader through 4.8: its action's key binding is always <Space>, and a key-shortcuts
// property is not passed on.)
void setMnemonicLabel(GtkWidget* button, const char* label)
{
    gtk_button_set_label(GTK_BUTTON(button), label);
    gtk_button_set_use_underline(GTK_BUTTON(button), TRUE);
    gtk_accessible_reset_relation(GTK_ACCESSIBLE(button), GTK_ACCESSIBLE_RELATION_LABELLED_BY);
    gtk_accessible_update_property(GTK_ACCESSIBLE(button), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                   InstallerWithoutMnemonic(label).c_str(), -1);
}

GtkWidget* mnemonicButton(const char* label)
{
    GtkWidget* button = gtk_button_new();
    setMnemonicLabel(button, label);
    return button;
}

// The window and the road it shows.
class InstallerWindow {
public:
    // A window always has a person in front of it to ask.
    InstallerWindow(const Options& options, GtkApplication* application)
        : options_(options), application_(application), policy_(options.authorize, true)
    {
    }
    ~InstallerWindow()
    {
        if (window_) {
            gtk_window_destroy(GTK_WINDOW(window_));
            g_object_unref(window_);
        }
    }

    // Loads the bundle and builds the window; false (with a message on stderr) when loading fails.
    bool load();
    // Shows the window and walks the road until it ends; returns the exit status.
    int run();
    // --uninstall: shows the window, asks once (unless unattended), removes what the record of
    // the bundle's installation lists and shows each step; returns the exit status.
    int uninstall();

private:
    void build();
    void buildPage(GtkWidget* outer);
    void buildStatus();
    void buildCopying();
    void buildButtons();
    void installHandlers();
    void render();
    void renderSteps();
    void renderPane();
    void clearContent();
    // Runs one of the person's moves on the session, with the window closed to other input while
    // the plug-in works; then shows where the road has got to.
    template <class Move>
    void act(Move move);
    // Asks before leaving the road early, then quits. Does nothing while the plug-in works.
    void requestQuit();
    void interrupt();
    bool authorize(const std::string& right, const std::string& explanation);
    // Shows where the copy has got to.
    void showCopyProgress(const InstallerCopyProgress& progress);
    // One line in the window's status line (and on standard output): what polkit said.
    void showNotice(const std::string& text);
    // A modal dialog over the window: the question as its heading, text, buttons, and an optional
    // detail line in small print. To the accessibility bus it is an alert dialog named by the
    // question, so a screen reader announces it as a dialog and reads the question first. The
    // buttons' texts mark their access keys ("_Allow"). The first button is the safe answer: it
    // has the focus, and Escape presses it. The index of the button pressed, -1 when the dialog
    // was closed.
    int ask(const std::string& title, const std::string& question, const std::string& text,
            const std::vector<std::string>& buttons, const std::string& detail = std::string());
    void onFirstFrame();
    // Serves the window for most of the interval between two looks of a waiting plug-in at the
    // interrupt (a tenth of a second), so the person and screen readers get prompt answers; back
    // at once when the person cancels.
    void serveWhileWaiting()
    {
        if (pumping_ || !g_main_context_is_owner(g_main_context_default()))
            return;
        pumping_ = true;
        bool due = false;
        guint timer = g_timeout_add(80, +[](gpointer flag) {
            *static_cast<bool*>(flag) = true;
            return G_SOURCE_REMOVE;
        }, &due);
        while (!due && !InstallerInterruptRequested() /* the guard keeps the handler out */)
            g_main_context_iteration(nullptr, TRUE);
        if (!due)
            g_source_remove(timer);
        pumping_ = false;
    }
    // Runs `work` on a thread of its own and serves the window until it has returned; what the
    // work hands to onMainThread meanwhile runs here, on the main thread.
    void runBesideWindow(const std::function<void()>& work, const std::function<void()>& eachTurn = {})
    {
        std::atomic<bool> finished{false};
        std::thread worker([&]() {
            work();
            finished = true;
            g_main_context_wakeup(nullptr);
        });
        while (!finished) {
            g_main_context_iteration(nullptr, TRUE);
            runMainThreadCalls();
            if (eachTurn)
                eachTurn();
        }
        worker.join();
        runMainThreadCalls();
        if (eachTurn)
            eachTurn();
    }
    // Runs `call` on the main thread: at once there, else handed to runBesideWindow and awaited.
    void onMainThread(const std::function<void()>& call)
    {
        if (std::this_thread::get_id() == mainThread_) {
            call();
            return;
        }
        std::unique_lock<std::mutex> lock(callsLock_);
        bool done = false;
        calls_.push_back({&call, &done});
        g_main_context_wakeup(nullptr);
        callsDone_.wait(lock, [&done]() { return done; });
    }
    void runMainThreadCalls()
    {
        std::unique_lock<std::mutex> lock(callsLock_);
        while (!calls_.empty()) {
            auto next = calls_.front();
            calls_.erase(calls_.begin());
            lock.unlock();
            (*next.first)();
            lock.lock();
            *next.second = true;
            callsDone_.notify_all();
        }
    }
    // Runs what the main loop has pending, without blocking; not from inside itself.
    void pumpEvents()
    {
        if (pumping_ || !g_main_context_is_owner(g_main_context_default()))
            return;
        pumping_ = true;
        for (int i = 0; i < 100 && g_main_context_pending(nullptr); ++i)
            g_main_context_iteration(nullptr, FALSE);
        pumping_ = false;
    }

    static void onBack(GtkButton*, gpointer self) { static_cast<InstallerWindow*>(self)->act([](InstallerSession& s) { s.goBack(); }); }
    static void onContinue(GtkButton*, gpointer self) { static_cast<InstallerWindow*>(self)->act([](InstallerSession& s) { s.continueOn(); }); }
    static void onQuit(GtkButton*, gpointer self) { static_cast<InstallerWindow*>(self)->requestQuit(); }
    static gboolean onCloseRequest(GtkWindow*, gpointer self)
    {
        static_cast<InstallerWindow*>(self)->requestQuit();
        return TRUE; // the window stays until the road has ended
    }
    static gboolean onQuitShortcut(GtkWidget*, GVariant*, gpointer self)
    {
        static_cast<InstallerWindow*>(self)->requestQuit();
        return TRUE;
    }
    static gboolean onSignalPipe(gint fd, GIOCondition, gpointer self)
    {
        char buffer[16];
        while (::read(fd, buffer, sizeof buffer) > 0) {
        }
        static_cast<InstallerWindow*>(self)->interrupt();
        return G_SOURCE_CONTINUE;
    }
    static gboolean onStart(gpointer self);
    // With an answers file the window walks its road by itself: each page drawn gets the
    // answered move, pressed as a person would press it, from the main loop.
    static gboolean onAnsweredMove(gpointer self);
    size_t nextMove_ = 0;

    Options options_;
    GtkApplication* application_;
    InstallerAuthorizationPolicy policy_;
    InstallerSession session_;
    GtkWidget* window_ = nullptr;
    GtkWidget* body_ = nullptr;
    GtkWidget* steps_ = nullptr;
    GtkWidget* title_ = nullptr;
    GtkWidget* content_ = nullptr;
    GtkWidget* status_ = nullptr;
    GtkWidget* statusCancel_ = nullptr;
    GtkWidget* spinner_ = nullptr;
    GtkWidget* statusText_ = nullptr;
    GtkWidget* noticeText_ = nullptr;
    GtkWidget* copying_ = nullptr;      // the copy's progress: what, how far, Cancel
    GtkWidget* copyingText_ = nullptr;
    GtkWidget* copyingBar_ = nullptr;
    GtkWidget* copyingCancel_ = nullptr;
    std::atomic<bool> cancelCopy_{false};
    std::mutex progressLock_; // guards the two below, written by the copying thread
    InstallerCopyProgress latestProgress_;
    bool progressPending_ = false;
    GtkWidget* back_ = nullptr;
    GtkWidget* continue_ = nullptr;
    GtkWidget* quit_ = nullptr;
    bool busy_ = false;
    bool quitPending_ = false;
    bool started_ = false;
    bool firstFrameSeen_ = false;
    bool waiting_ = false; // the plug-in waits inside a call and said so
    bool pumping_ = false;
    bool ownStepAsked_ = false;
    std::thread::id mainThread_ = std::this_thread::get_id();
    std::mutex callsLock_;
    std::condition_variable callsDone_;
    std::vector<std::pair<const std::function<void()>*, bool*>> calls_;
};

bool InstallerWindow::load()
{
    std::string error;
    if (!session_.loadBundle(options_.bundle, &error)) {
        std::fprintf(stderr, "installer-host-gtk: %s\n", InstallerEscapeControls(error).c_str());
        return false;
    }
    InstallerManifestBegin(options_.bundle);
    for (const auto& item : options_.payload)
        session_.addPayload(item.first, item.second);
    build();
    return true;
}

void InstallerWindow::build()
{
    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css,
        ".installer-steps { background-color: alpha(@theme_fg_color, 0.06); padding: 18px 12px; }"
        ".installer-steps label { padding: 4px 6px; }"
        ".installer-step-current { font-weight: bold; }"
        ".installer-title { font-size: 150%; font-weight: bold; }", -1);
    gtk_style_context_add_provider_for_display(gdk_display_get_default(), GTK_STYLE_PROVIDER(css),
                                               GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);

    window_ = gtk_window_new();
    g_object_ref_sink(window_); // ours until the destructor, not the toolkit's toplevel list's
    gtk_window_set_application(GTK_WINDOW(window_), application_);
    // The product's name and icon, as the desktop entry shows them.
    gtk_window_set_title(GTK_WINDOW(window_), _("Ombrix Installer"));
    gtk_window_set_icon_name(GTK_WINDOW(window_), kApplicationId);
    gtk_window_set_default_size(GTK_WINDOW(window_), 760, 480);
    g_signal_connect(window_, "close-request", G_CALLBACK(onCloseRequest), this);

    GtkEventController* shortcuts = gtk_shortcut_controller_new();
    gtk_shortcut_controller_set_scope(GTK_SHORTCUT_CONTROLLER(shortcuts), GTK_SHORTCUT_SCOPE_GLOBAL);
    gtk_shortcut_controller_add_shortcut(GTK_SHORTCUT_CONTROLLER(shortcuts),
        gtk_shortcut_new(gtk_shortcut_trigger_parse_string("<Control>q"),
                         gtk_callback_action_new(onQuitShortcut, this, nullptr)));
    gtk_widget_add_controller(window_, shortcuts);

    GtkWidget* outer = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    gtk_window_set_child(GTK_WINDOW(window_), outer);
    buildPage(outer);
    buildStatus();
    buildCopying();
    // One-line notices of the host (what polkit answered), shown until the road ends.
    noticeText_ = makeLabel("", true);
    gtk_widget_add_css_class(noticeText_, "dim-label");
    gtk_widget_set_visible(noticeText_, FALSE);
    gtk_box_append(GTK_BOX(body_), noticeText_);
    buildButtons();
    installHandlers();
}

// The steps in a side list, and the page: its title and the grid of its controls.
void InstallerWindow::buildPage(GtkWidget* outer)
{
    steps_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 2);
    gtk_widget_add_css_class(steps_, "installer-steps");
    gtk_widget_set_size_request(steps_, 200, -1);
    gtk_accessible_update_property(GTK_ACCESSIBLE(steps_), GTK_ACCESSIBLE_PROPERTY_LABEL, _("Steps"), -1);
    gtk_box_append(GTK_BOX(outer), steps_);

    body_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
    gtk_widget_set_hexpand(body_, TRUE);
    gtk_widget_set_margin_start(body_, 24);
    gtk_widget_set_margin_end(body_, 24);
    gtk_widget_set_margin_top(body_, 18);
    gtk_widget_set_margin_bottom(body_, 18);
    gtk_box_append(GTK_BOX(outer), body_);

    title_ = makeLabel(_("Preparing the installation…"), false);
    gtk_widget_add_css_class(title_, "installer-title");
    gtk_box_append(GTK_BOX(body_), title_);

    GtkWidget* scroller = gtk_scrolled_window_new();
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_NEVER, GTK_POLICY_AUTOMATIC);
    gtk_widget_set_vexpand(scroller, TRUE);
    content_ = gtk_grid_new();
    gtk_grid_set_row_spacing(GTK_GRID(content_), 8);
    gtk_grid_set_column_spacing(GTK_GRID(content_), 16);
    gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(scroller), content_);
    gtk_box_append(GTK_BOX(body_), scroller);
}

// The plug-in's status while it keeps the installer waiting.
void InstallerWindow::buildStatus()
{
    status_ = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    spinner_ = gtk_spinner_new(); // shown only: the text beside it says what is going on
    statusText_ = makeLabel("", true);
    gtk_widget_set_hexpand(statusText_, TRUE);
    // Ends the wait as Ctrl-C ends the terminal host's: nothing has been installed yet.
    GtkWidget* cancel = statusCancel_ = mnemonicButton(_("_Cancel"));
    g_signal_connect(cancel, "clicked", G_CALLBACK(+[](GtkButton*, gpointer) { InstallerRequestInterrupt(SIGINT); }),
                     nullptr);
    gtk_box_append(GTK_BOX(status_), spinner_);
    gtk_box_append(GTK_BOX(status_), statusText_);
    gtk_box_append(GTK_BOX(status_), cancel);
    gtk_widget_set_visible(status_, FALSE);
    gtk_box_append(GTK_BOX(body_), status_);
}

// The installation step's copy: what is being copied, a bar, and Cancel, which stops the copy at
// its next chunk. The copy runs on a thread of its own, so that the window keeps drawing and
// answering between two chunks however slowly they come; the bar shows the latest progress it
// reported.
void InstallerWindow::buildCopying()
{
    copying_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
    copyingText_ = makeLabel("", true);
    copyingBar_ = gtk_progress_bar_new();
    gtk_accessible_update_property(GTK_ACCESSIBLE(copyingBar_), GTK_ACCESSIBLE_PROPERTY_LABEL, _("Copy progress"), -1);
    copyingCancel_ = mnemonicButton(_("_Cancel"));
    gtk_widget_set_halign(copyingCancel_, GTK_ALIGN_END);
    g_signal_connect(copyingCancel_, "clicked", G_CALLBACK(+[](GtkButton* button, InstallerWindow* self) {
        self->cancelCopy_ = true;
        gtk_widget_set_sensitive(GTK_WIDGET(button), FALSE);
    }), this);
    gtk_box_append(GTK_BOX(copying_), copyingText_);
    gtk_box_append(GTK_BOX(copying_), copyingBar_);
    gtk_box_append(GTK_BOX(copying_), copyingCancel_);
    gtk_widget_set_visible(copying_, FALSE);
    gtk_box_append(GTK_BOX(body_), copying_);
    session_.setCopyProgressHandler([this](const InstallerCopyProgress& p) {
        {
            std::lock_guard<std::mutex> guard(progressLock_);
            latestProgress_ = p;
            progressPending_ = true;
        }
        g_main_context_wakeup(nullptr);
        return cancelCopy_.load();
    });
    session_.setCopyRunner([this](const std::function<void()>& copy) {
        runBesideWindow(copy, [this]() {
            InstallerCopyProgress progress;
            {
                std::lock_guard<std::mutex> guard(progressLock_);
                if (!progressPending_)
                    return;
                progress = latestProgress_;
                progressPending_ = false;
            }
            showCopyProgress(progress);
        });
    });
}

// Quit, Go Back and Continue, labelled as the session core labels them. Alt and the underlined
// letter press each; Return presses Continue (the default button) and Ctrl+Q quits.
void InstallerWindow::buildButtons()
{
    InstallerPageTexts texts = InstallerPageTextsFor(session_);
    GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    quit_ = mnemonicButton(texts.quitLabel.c_str());
    back_ = mnemonicButton(texts.backLabel.c_str());
    continue_ = mnemonicButton(texts.continueLabel.c_str());
    gtk_widget_add_css_class(continue_, "suggested-action");
    GtkWidget* spacer = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    gtk_widget_set_hexpand(spacer, TRUE);
    gtk_box_append(GTK_BOX(buttons), quit_);
    gtk_box_append(GTK_BOX(buttons), spacer);
    gtk_box_append(GTK_BOX(buttons), back_);
    gtk_box_append(GTK_BOX(buttons), continue_);
    gtk_box_append(GTK_BOX(body_), buttons);
    g_signal_connect(quit_, "clicked", G_CALLBACK(onQuit), this);
    g_signal_connect(back_, "clicked", G_CALLBACK(onBack), this);
    g_signal_connect(continue_, "clicked", G_CALLBACK(onContinue), this);
    gtk_widget_set_sensitive(back_, FALSE);
    gtk_widget_set_sensitive(continue_, FALSE);
    gtk_window_set_default_widget(GTK_WINDOW(window_), continue_);
}

// The plug-in's status and notices, and the answers to its requests for rights.
void InstallerWindow::installHandlers()
{
    InstallerSetStatusHandler([this](const std::string& text) {
        gtk_label_set_text(GTK_LABEL(statusText_), InstallerValidUTF8(text).c_str());
        gtk_widget_set_visible(status_, TRUE);
        gtk_spinner_start(GTK_SPINNER(spinner_));
        std::printf("installer-host-gtk: status: %s\n", InstallerEscapeControls(text).c_str());
        std::fflush(stdout);
        // The plug-in goes on waiting inside its call, looking at the interrupt now and then:
        // each look lets the window draw and take the person's input (Cancel, Quit).
        waiting_ = busy_;
        pumpEvents();
    });
    InstallerSetWaitHandler([this]() {
        if (waiting_)
            serveWhileWaiting();
    });
    // The plug-in's one-line notices (a repair of the installer lock, say) share the host's line.
    InstallerSetNoticeHandler([this](const std::string& text) { onMainThread([&]() { showNotice(text); }); });
    // The host's own step (the dialog, or the scripted answer) is what --authorize chose, or
    // polkit's fallback where no polkit daemon answers. polkit's questions come from the
    // desktop's authentication agent, not from this window.
    InstallerAuthorizationHandler ownStep = [this](const std::string& right, const std::string& explanation) {
        bool granted = false;
        onMainThread([&]() {
            ownStepAsked_ = true;
            granted = authorize(right, explanation);
        });
        return granted;
    };
    if (!policy_.viaPolkit()) {
        InstallerSetAuthorizationHandler(ownStep);
        return;
    }
    InstallerAuthorizationHandler viaPolkit = InstallerPolkitAuthorizationHandler(ownStep, [this](const std::string& text) {
        onMainThread([&]() { showNotice(text); });
    });
    InstallerSetAuthorizationHandler([this, viaPolkit](const std::string& right, const std::string& explanation) {
        if (policy_.nobodyLeft())
            return false;
        std::printf("installer-host-gtk: asking polkit for %s\n", InstallerPolkitActionForRight(right).c_str());
        std::fflush(stdout);
        ownStepAsked_ = false;
        // polkit's answer can take as long as the person takes with the desktop's agent: it is
        // awaited on a thread of its own while the window keeps drawing and answering.
        bool granted = false;
        if (std::this_thread::get_id() == mainThread_)
            runBesideWindow([&]() { granted = viaPolkit(right, explanation); });
        else // asked by the copy, which already runs beside the window
            granted = viaPolkit(right, explanation);
        if (!ownStepAsked_) { // the fallback reported its own answer
            std::printf("installer-host-gtk: authorization %s: %s (polkit)\n", right.c_str(),
                        granted ? "granted" : "refused");
            std::fflush(stdout);
        }
        return granted;
    });
}

int InstallerWindow::run()
{
    if (g_signalFd >= 0)
        g_unix_fd_add(g_signalFd, G_IO_IN, onSignalPipe, this);
    // The first frame is reported for the start-up measurement.
    g_signal_connect_swapped(window_, "map", G_CALLBACK(+[](InstallerWindow* self) {
        GdkFrameClock* clock = gtk_widget_get_frame_clock(self->window_);
        if (clock)
            g_signal_connect_swapped(clock, "after-paint", G_CALLBACK(+[](InstallerWindow* w) { w->onFirstFrame(); }), self);
    }), this);
    gtk_window_present(GTK_WINDOW(window_));
    // The road starts once the window is up, so the person sees it while the section loads.
    g_idle_add(onStart, this);
    while (session_.page() != InstallerSession::Page::Ended)
        g_main_context_iteration(nullptr, TRUE);
    std::printf("installer-host: result: %s\n", session_.summaryLine().c_str());
    std::fflush(stdout);
    return InstallerExitStatusFor(session_);
}

void InstallerWindow::onFirstFrame()
{
    if (firstFrameSeen_ || !started_)
        return;
    firstFrameSeen_ = true;
    std::printf("installer-host-gtk: first page shown\n");
    std::fflush(stdout);
}

int InstallerWindow::uninstall()
{
    build();
    gtk_window_present(GTK_WINDOW(window_));
    gtk_label_set_text(GTK_LABEL(title_), _("Removal"));
    gtk_widget_set_sensitive(back_, FALSE);
    gtk_widget_set_sensitive(continue_, FALSE);
    while (g_main_context_pending(nullptr))
        g_main_context_iteration(nullptr, FALSE);
    auto finish = [this](const std::string& line, int status) {
        std::printf("installer-host: result: %s\n", line.c_str());
        std::fflush(stdout);
        return status;
    };
    if (!options_.unattended) {
        int answer = ask(_("Remove"), _("Remove what the installer placed?"),
                         _("Files changed since the installation, and files added since, stay where they are."),
                         {_("_Keep Everything"), _("_Remove")});
        if (answer != 1) {
            std::printf("installer-host-gtk: %s\n", _("Nothing was removed."));
            return finish("uninstall=declined", InstallerInterruptRequested() ? 128 + InstallerInterruptRequested() : 0);
        }
    }
    int row = 0;
    // The removal may wait on pkexec for as long as the person takes with the desktop's password
    // dialog: it runs on a thread of its own while the window keeps drawing and answering, and
    // says it is at work. Its steps are shown from the main thread. Nothing else is offered
    // meanwhile: a removal stopped half-way would leave a record that no longer matches.
    InstallerRemovalResult result;
    gtk_label_set_text(GTK_LABEL(statusText_), _("Removing what the installer placed…"));
    gtk_widget_set_visible(status_, TRUE);
    gtk_spinner_start(GTK_SPINNER(spinner_));
    gtk_widget_set_visible(statusCancel_, FALSE);
    gtk_widget_set_sensitive(quit_, FALSE);
    runBesideWindow([this, &row, &result]() {
        result = InstallerUninstall(options_.bundle, [this, &row](const InstallerRemovalStep& step) {
            onMainThread([&]() {
                gtk_grid_attach(GTK_GRID(content_), makeLabel(step.text, true), 0, row++, 2, 1);
                std::printf("installer-host-gtk: %s\n", InstallerEscapeControls(step.text).c_str());
                std::fflush(stdout);
            });
        });
    });
    gtk_spinner_stop(GTK_SPINNER(spinner_));
    gtk_widget_set_visible(status_, FALSE);
    gtk_widget_set_visible(statusCancel_, TRUE);
    gtk_widget_set_sensitive(quit_, TRUE);
    if (!result.found) {
        gtk_grid_attach(GTK_GRID(content_), makeLabel(result.error, true), 0, row++, 2, 1);
        std::printf("installer-host-gtk: %s\n", InstallerEscapeControls(result.error).c_str());
    }
    std::string line = !result.found ? std::string("uninstall=nothing-recorded")
                                     : std::string("uninstall=") + (result.failed ? "incomplete" : "done") +
                                           " removed=" + std::to_string(result.removed) + " kept=" +
                                           std::to_string(result.kept) + " failed=" + std::to_string(result.failed);
    int status = !result.found ? kInstallerExitNothingRecorded : result.failed ? kInstallerExitRemovalFailed : 0;
    if (options_.unattended)
        return finish(line, status);
    // The person reads what stayed and closes the window.
    bool closed = false;
    setMnemonicLabel(continue_, _("_Close"));
    gtk_widget_set_sensitive(continue_, TRUE);
    gtk_widget_grab_focus(continue_);
    g_signal_connect(continue_, "clicked", G_CALLBACK(+[](GtkButton*, bool* c) { *c = true; }), &closed);
    std::printf("installer-host-gtk: page: %s\n", _("Removal"));
    std::fflush(stdout);
    while (!closed && !quitPending_ && !InstallerInterruptRequested())
        g_main_context_iteration(nullptr, TRUE);
    return finish(line, status);
}

gboolean InstallerWindow::onStart(gpointer data)
{
    auto* self = static_cast<InstallerWindow*>(data);
    // The keys held as the section looks at them; a script's --modifiers wins.
    InstallerSetCurrentEventKeyModifiers(self->options_.modifiersGiven ? self->options_.modifiers : heldModifiers());
    self->busy_ = true;
    bool loaded = self->session_.start();
    self->busy_ = false;
    self->waiting_ = false;
    self->started_ = true;
    gtk_widget_set_visible(self->copying_, FALSE);
    gtk_spinner_stop(GTK_SPINNER(self->spinner_));
    gtk_widget_set_visible(self->status_, FALSE);
    if (!loaded) {
        std::printf("installer-host-gtk: %s\n", InstallerDeclinedText().c_str());
        return G_SOURCE_REMOVE;
    }
    // A signal that came while the payload was being copied ends the road here.
    if (InstallerInterruptRequested())
        self->session_.quit(InstallerSession::Ending::Interrupted);
    if (self->session_.page() == InstallerSession::Page::Ended)
        return G_SOURCE_REMOVE;
    self->render();
    if (self->quitPending_)
        self->requestQuit();
    return G_SOURCE_REMOVE;
}

template <class Move>
void InstallerWindow::act(Move move)
{
    if (busy_ || !started_ || session_.page() == InstallerSession::Page::Ended)
        return;
    busy_ = true;
    gtk_widget_set_sensitive(body_, FALSE);
    move(session_);
    busy_ = false;
    gtk_widget_set_sensitive(body_, TRUE);
    if (InstallerInterruptRequested())
        session_.quit(InstallerSession::Ending::Interrupted);
    if (session_.page() != InstallerSession::Page::Ended)
        render();
    if (quitPending_)
        requestQuit();
}

void InstallerWindow::requestQuit()
{
    if (waiting_) { // nothing is installed yet: quitting is Cancel
        InstallerRequestInterrupt(SIGINT);
        return;
    }
    if (busy_ || !started_) {
        quitPending_ = true; // asked again once the plug-in's call has returned
        return;
    }
    quitPending_ = false;
    InstallerSession::Page page = session_.page();
    if (page == InstallerSession::Page::Ended)
        return;
    if (page != InstallerSession::Page::Summary) {
        int answer = ask(_("Quit the Installer"), _("Quit the installer now?"),
                         _("The steps not yet taken are skipped. What was installed stays installed."),
                         {_("_Stay"), _("_Quit")});
        if (answer != 1)
            return;
    }
    act([](InstallerSession& s) { s.quit(InstallerSession::Ending::Quit); });
}

void InstallerWindow::interrupt()
{
    if (busy_ || !started_) {
        // The session sees the interrupt when the plug-in's call returns (or the section stops
        // waiting on its own, as it looks at the interrupt).
        quitPending_ = false;
        return;
    }
    act([](InstallerSession& s) { s.quit(InstallerSession::Ending::Interrupted); });
}

void InstallerWindow::showCopyProgress(const InstallerCopyProgress& progress)
{
    if (!gtk_widget_get_visible(copying_)) {
        // The installation page's own title, as its first step (the page's texts would read the
        // log the copy is writing meanwhile).
        gtk_label_set_text(GTK_LABEL(title_), InstallerStepNames(session_, nullptr).front().c_str());
        gtk_widget_set_visible(copying_, TRUE);
        std::printf("installer-host-gtk: copying\n");
        std::fflush(stdout);
    }
    std::string text = std::string(_("Copying")) + " " + InstallerValidUTF8(progress.destination);
    if (progress.count > 1)
        text += " (" + std::to_string(progress.index + 1) + "/" + std::to_string(progress.count) + ")";
    if (progress.filesTotal > 1) {
        // A folder: how many of its files, and how much of its data.
        char* done = g_format_size(progress.bytesDone);
        char* total = g_format_size(progress.bytesTotal);
        char* files =
            g_strdup_printf(_("Files: %zu of %zu, %s of %s"), progress.filesDone, progress.filesTotal, done, total);
        text += std::string("\n") + files;
        g_free(files);
        g_free(total);
        g_free(done);
    }
    if (text != gtk_label_get_text(GTK_LABEL(copyingText_)))
        gtk_label_set_text(GTK_LABEL(copyingText_), text.c_str());
    double fraction = (static_cast<double>(progress.index) + progress.percent / 100.0) / static_cast<double>(progress.count);
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(copyingBar_), fraction);
}

void InstallerWindow::showNotice(const std::string& text)
{
    gtk_label_set_text(GTK_LABEL(noticeText_), InstallerValidUTF8(text).c_str());
    gtk_widget_set_visible(noticeText_, TRUE);
    std::printf("installer-host-gtk: %s\n", InstallerEscapeControls(text).c_str());
    std::fflush(stdout);
    pumpEvents();
}

bool InstallerWindow::authorize(const std::string& right, const std::string& explanation)
{
    bool granted = false;
    switch (policy_.ownStep()) {
    case InstallerAuthorizationPolicy::Answer::Allow:
        granted = true;
        break;
    case InstallerAuthorizationPolicy::Answer::Deny:
    case InstallerAuthorizationPolicy::Answer::NobodyLeft:
        break;
    case InstallerAuthorizationPolicy::Answer::Ask: {
        // What will happen in words; the right's identifier only as a detail line.
        InstallerAuthorizationTexts texts = InstallerAuthorizationTextsFor(right, explanation);
        granted = ask(texts.heading, texts.question, texts.explanation + "\n\n" + texts.plainWords,
                      {_("_Deny"), _("_Allow")}, texts.detail) == 1;
        break;
    }
    }
    std::printf("installer-host-gtk: authorization %s: %s\n", right.c_str(), granted ? "granted" : "refused");
    std::fflush(stdout);
    return granted;
}

int InstallerWindow::ask(const std::string& title, const std::string& question, const std::string& text,
                         const std::vector<std::string>& buttons, const std::string& detail)
{
    // The role can only be given as the window is made; a plain window would be a "filler".
    GtkWidget* dialog = GTK_WIDGET(g_object_new(GTK_TYPE_WINDOW, "accessible-role", GTK_ACCESSIBLE_ROLE_ALERT_DIALOG,
                                                nullptr));
    g_object_ref_sink(dialog);
    gtk_window_set_title(GTK_WINDOW(dialog), title.c_str());
    // After the title, which would otherwise be the accessible name; the text is its description.
    gtk_accessible_update_property(GTK_ACCESSIBLE(dialog), GTK_ACCESSIBLE_PROPERTY_LABEL, question.c_str(),
                                   GTK_ACCESSIBLE_PROPERTY_DESCRIPTION, text.c_str(), -1);
    gtk_window_set_transient_for(GTK_WINDOW(dialog), GTK_WINDOW(window_));
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);
    gtk_window_set_default_size(GTK_WINDOW(dialog), 420, -1);

    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
    gtk_widget_set_margin_start(box, 18);
    gtk_widget_set_margin_end(box, 18);
    gtk_widget_set_margin_top(box, 18);
    gtk_widget_set_margin_bottom(box, 18);
    gtk_window_set_child(GTK_WINDOW(dialog), box);
    GtkWidget* headingLabel = makeLabel(question, false);
    gtk_widget_add_css_class(headingLabel, "installer-title");
    gtk_box_append(GTK_BOX(box), headingLabel);
    GtkWidget* textLabel = makeLabel(text, true);
    gtk_label_set_max_width_chars(GTK_LABEL(textLabel), 50);
    gtk_box_append(GTK_BOX(box), textLabel);
    if (!detail.empty()) {
        GtkWidget* detailLabel = makeLabel(detail, true);
        gtk_label_set_max_width_chars(GTK_LABEL(detailLabel), 50);
        gtk_widget_add_css_class(detailLabel, "dim-label");
        gtk_widget_add_css_class(detailLabel, "caption");
        gtk_box_append(GTK_BOX(box), detailLabel);
    }

    struct State {
        int answer = -2;
    } state;
    GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    gtk_widget_set_halign(row, GTK_ALIGN_END);
    gtk_box_append(GTK_BOX(box), row);
    for (size_t i = 0; i < buttons.size(); ++i) {
        GtkWidget* button = mnemonicButton(buttons[i].c_str());
        g_object_set_data(G_OBJECT(button), "answer", GINT_TO_POINTER(static_cast<int>(i)));
        g_signal_connect(button, "clicked", G_CALLBACK(+[](GtkButton* b, State* s) {
            s->answer = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(b), "answer"));
        }), &state);
        gtk_box_append(GTK_BOX(row), button);
        if (i == 0) { // the safe answer has the focus, not the text (which would show selected)
            gtk_window_set_default_widget(GTK_WINDOW(dialog), button);
            gtk_window_set_focus(GTK_WINDOW(dialog), button);
        }
    }
    g_signal_connect(dialog, "close-request", G_CALLBACK(+[](GtkWindow*, State* s) {
        s->answer = -1;
        return TRUE;
    }), &state);
    // Escape answers as the safe button does, wherever the focus is in the dialog.
    GtkEventController* keys = gtk_shortcut_controller_new();
    gtk_shortcut_controller_add_shortcut(GTK_SHORTCUT_CONTROLLER(keys),
        gtk_shortcut_new(gtk_keyval_trigger_new(GDK_KEY_Escape, GdkModifierType(0)),
                         gtk_callback_action_new(+[](GtkWidget*, GVariant*, gpointer s) -> gboolean {
                             static_cast<State*>(s)->answer = 0;
                             return TRUE;
                         }, &state, nullptr)));
    gtk_widget_add_controller(dialog, keys);
    gtk_window_present(GTK_WINDOW(dialog));
    while (state.answer == -2) {
        g_main_context_iteration(nullptr, TRUE);
        if (InstallerInterruptRequested())
            state.answer = -1;
    }
    gtk_window_destroy(GTK_WINDOW(dialog));
    g_object_unref(dialog);
    return state.answer;
}

void InstallerWindow::clearContent()
{
    while (GtkWidget* child = gtk_widget_get_first_child(content_))
        gtk_grid_remove(GTK_GRID(content_), child);
}

void InstallerWindow::render()
{
    InstallerPageTexts texts = InstallerPageTextsFor(session_);
    renderSteps();
    clearContent();
    gtk_label_set_text(GTK_LABEL(title_), InstallerValidUTF8(texts.title).c_str());
    int row = 0;
    for (const std::string& line : texts.lines)
        gtk_grid_attach(GTK_GRID(content_), makeLabel(line, true), 0, row++, 2, 1);
    if (session_.page() == InstallerSession::Page::Pane)
        renderPane();
    if (!texts.body.empty())
        gtk_grid_attach(GTK_GRID(content_), makeLabel(texts.body, true), 0, row++, 2, 1);
    if (!texts.recordNote.empty())
        gtk_grid_attach(GTK_GRID(content_), makeLabel(texts.recordNote, true), 0, row, 2, 1);
    gtk_widget_set_sensitive(back_, session_.canGoBack());
    gtk_widget_set_sensitive(continue_, TRUE);
    setMnemonicLabel(continue_, texts.continueLabel.c_str());
    gtk_widget_grab_focus(continue_);
    const char* title = gtk_label_get_text(GTK_LABEL(title_));
    std::printf("installer-host-gtk: page: %s\n", title);
    std::fflush(stdout);
    if (!options_.answers.path.empty())
        g_idle_add(onAnsweredMove, this);
}

gboolean InstallerWindow::onAnsweredMove(gpointer data)
{
    auto* self = static_cast<InstallerWindow*>(data);
    InstallerSession& session = self->session_;
    if (self->busy_ || session.page() == InstallerSession::Page::Ended)
        return G_SOURCE_REMOVE;
    std::string move = session.page() == InstallerSession::Page::Installation
                           ? std::string("continue")
                           : InstallerAnsweredMove(self->options_.answers, session, self->nextMove_);
    std::printf("installer-host-gtk: answered: %s\n", move.c_str());
    std::fflush(stdout);
    if (move == "continue") {
        self->act([](InstallerSession& s) { s.continueOn(); });
    } else if (move == "back") {
        self->act([](InstallerSession& s) { s.goBack(); }); // redrawn even where it cannot go back: the next answer follows
    } else if (move == "quit") {
        self->act([](InstallerSession& s) { s.quit(InstallerSession::Ending::Quit); });
    } else {
        size_t number = move == "button" ? 1 : std::strtoul(move.c_str() + 7, nullptr, 10);
        if (number >= 1 && number <= session.buttons().size())
            self->act([number](InstallerSession& s) { s.pressButton(number - 1); });
        else
            self->act([](InstallerSession& s) { s.continueOn(); }); // no such button here: on, as unattended runs go
    }
    return G_SOURCE_REMOVE;
}

void InstallerWindow::renderSteps()
{
    while (GtkWidget* child = gtk_widget_get_first_child(steps_))
        gtk_box_remove(GTK_BOX(steps_), child);
    size_t current = 0;
    std::vector<std::string> names = InstallerStepNames(session_, &current);
    for (size_t i = 0; i < names.size(); ++i) {
        GtkWidget* label = makeLabel(names[i], false);
        if (i == current) {
            gtk_widget_add_css_class(label, "installer-step-current");
            setAccessibleDescription(label, _("Current step"));
        } else {
            gtk_widget_set_opacity(label, i < current ? 0.8 : 0.55);
        }
        gtk_box_append(GTK_BOX(steps_), label);
    }
}

void InstallerWindow::renderPane()
{
    InstallerPane* pane = session_.currentPane();
    // Rows of one control span the page; in longer rows the first control takes the first
    // column, so the labels and their values line up.
    size_t buttonIndex = 0;
    int rowNumber = 0;
    for (const auto& row : pane->rows()) {
        int column = 0;
        for (InstallerControl* control : row) {
            GtkWidget* widget = nullptr;
            if (auto* field = dynamic_cast<InstallerTextField*>(control)) {
                // The text is the accessible name; a labelled-by relation to the row's first
                // label would make the name "value label", which reads worse than the row itself.
                widget = makeLabel(field->stringValue(), true);
            } else if (auto* button = dynamic_cast<InstallerButton*>(control)) {
                widget = gtk_button_new_with_label(InstallerValidUTF8(button->title()).c_str());
                gtk_widget_set_halign(widget, GTK_ALIGN_START);
                g_object_set_data(G_OBJECT(widget), "index", GSIZE_TO_POINTER(buttonIndex++));
                g_signal_connect(widget, "clicked", G_CALLBACK(+[](GtkButton* b, InstallerWindow* self) {
                    size_t index = GPOINTER_TO_SIZE(g_object_get_data(G_OBJECT(b), "index"));
                    self->act([index](InstallerSession& s) { s.pressButton(index); });
                }), this);
            }
            if (!widget)
                continue;
            int span = row.size() == 1 ? 2 : 1;
            gtk_grid_attach(GTK_GRID(content_), widget, column, rowNumber, span, 1);
            if (column > 0)
                gtk_widget_set_hexpand(widget, TRUE);
            column += span;
        }
        ++rowNumber;
    }
}

} // namespace

int main(int argc, char** argv)
{
    // The language first: the usage text and the command line's complaints are read by people.
    InstallerApplyUserLanguage();
    InstallerBindHostTexts("installer-host-gtk");
    // The session core's own lines (the installation page's log, what a right means, the command
    // line's complaints) come from the terminal host's catalog, which the build puts beside this
    // program too.
    InstallerBindHostTexts("installer-host");
    Options options;
    int usageStatus = InstallerReadHostCommandLine(
        argc, argv, "installer-host-gtk", _(kUsage), options,
        [&options](const std::string& arg, const std::function<bool(std::string&)>&, std::string&) {
            if (arg != "--unattended")
                return InstallerHostOption::Unknown;
            options.unattended = true;
            return InstallerHostOption::Taken;
        });
    if (usageStatus >= 0)
        return usageStatus;
    g_signalFd = InstallerInstallHostSignalHandlers(true);
    InstallerUsePrivilegedHelper(options.helper);
    // The program's name to the display is the application id too: a NON_UNIQUE application does
    // not register it on the session bus, from where GTK would take the Wayland app_id and the X11
    // window's application property; both then come from this name (app_id, WM_CLASS), and that
    // is how a desktop matches the window with the desktop entry com.ombrix.Installer.desktop.
    g_set_prgname(kApplicationId);
    // The locale is already set from the environment, with the person's language chosen.
    gtk_disable_setlocale();
    if (!gtk_init_check()) {
        std::fprintf(stderr, "installer-host-gtk: %s\n", _("cannot open the display (is DISPLAY or WAYLAND_DISPLAY set?)"));
        return kInstallerExitNoDisplay;
    }
    addIconFolders();
    g_set_application_name(_("Ombrix Installer"));
    gtk_window_set_default_icon_name(kApplicationId); // the dialogs' too

    // The whole road is walked in "activate"; the application ends when it returns, its window
    // gone. Only the program's name is passed on: the command line has been read above.
    struct Run {
        const Options* options;
        int status = 0;
    } run{&options};
    GtkApplication* application = gtk_application_new(kApplicationId, G_APPLICATION_NON_UNIQUE);
    g_signal_connect(application, "activate", G_CALLBACK(+[](GtkApplication* app, Run* r) {
        InstallerWindow window(*r->options, app);
        if (r->options->uninstall)
            r->status = window.uninstall(); // the record names what to remove: no bundle is loaded
        else
            r->status = window.load() ? window.run() : kInstallerExitNoBundle;
    }), &run);
    char* programOnly[] = {argv[0], nullptr};
    g_application_run(G_APPLICATION(application), 1, programOnly);
    g_object_unref(application);
    return run.status;
}
