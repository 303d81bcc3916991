#include "installer_demo_gui.h"

#include <GtkHostDriver.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <utility>


namespace {

// The host's output, passed on line by line to ours as it is read.
class OutputReader {
public:
    explicit OutputReader(int fd) : fd_(fd) {}
    ~OutputReader() { ::close(fd_); }
    OutputReader(const OutputReader&) = delete;
    OutputReader& operator=(const OutputReader&) = delete;

    // The text after `marker` on the next line that starts with it; false at the end of the
    // output or after `seconds`.
    bool next(const std::string& marker, std::string& rest, int seconds = 30)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        for (;;) {
            size_t newline;
            while ((newline = buffer_.find('\n')) != std::string::npos) {
                std::string line = buffer_.substr(0, newline);
                buffer_.erase(0, newline + 1);
                std::printf("  | %s\n", line.c_str());
                std::fflush(stdout);
                if (line.compare(0, marker.size(), marker) == 0) {
                    rest = line.substr(marker.size());
                    return true;
                }
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            struct pollfd p{fd_, POLLIN, 0};
            int ready = ::poll(&p, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
                return false;
            char chunk[4096];
            ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n <= 0)
                return false;
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }
    // Passes on the rest of the output.
    void drain()
    {
        std::string rest;
        while (next("\x01", rest, 30)) {
        }
    }

private:
    int fd_;
    std::string buffer_;
};

std::string slug(const std::string& title)
{
    std::string out;
    for (unsigned char c : title) {
        if (std::isalnum(c))
            out += static_cast<char>(std::tolower(c));
        else if (!out.empty() && out.back() != '-')
            out += '-';
    }
    while (!out.empty() && out.back() == '-')
        out.pop_back();
    return out.empty() ? "page" : out;
}

int waitFor(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void settle()
{
    // The page is drawn on the frame after the host says it is shown.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
}

} // namespace

GuiDemo::GuiDemo(std::string hostProgram) : hostProgram_(std::move(hostProgram)) {}

GuiDemo::~GuiDemo()
{
    driver_.reset();
    desktop_.reset();
}

bool GuiDemo::start(std::string* error)
{
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((display && *display) || (wayland && *wayland))
        return true;
    // On a private Xvfb display, or a private headless weston with XP_DESKTOP_BACKEND=wayland.
    DisplayBackend backend;
    if (!desktopBackendFromEnvironment(&backend, error))
        return false;
    desktop_ = std::make_unique<PrivateDesktop>(backend);
    if (!desktop_->start(error)) {
        desktop_.reset();
        return false;
    }
    desktop_->applyToProcess();
    driver_ = std::make_unique<AtspiDriver>();
    if (folder_.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && tmp[0] == '/' ? tmp : "/tmp") + "/installer-screenshots.XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (!::mkdtemp(buffer.data())) {
            if (error)
                *error = "cannot make a folder for the screenshots";
            return false;
        }
        folder_ = buffer.data();
    }
    return true;
}

void GuiDemo::setScreenshotFolder(const std::string& folder)
{
    folder_ = folder;
    std::error_code ec; // an existing folder is used as it is; a failure shows at the first picture
    std::filesystem::create_directories(folder_, ec);
}

bool GuiDemo::screenshot(pid_t host, const std::string& window, const std::string& name)
{
    std::string file = folder_ + "/" + name + ".png";
    bool ok = desktop_->screenshot(host, window, file);
    std::printf("  screenshot: %s%s\n", file.c_str(), ok ? "" : " (FAILED)");
    screenshotFailed_ = screenshotFailed_ || !ok;
    return ok;
}

int GuiDemo::runRoad(const std::vector<std::string>& options, const std::string& prefix, pid_t* started)
{
    std::vector<std::string> args{hostProgram_};
    // On the private display the window's own dialog answers (and is pictured), whether or not
    // the machine runs polkit; in the person's session polkit and the desktop's agent do.
    if (headless())
        args.insert(args.end(), {"--authorize", "ask"});
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    int pipeFd[2] = {-1, -1};
    if (headless() && ::pipe2(pipeFd, O_CLOEXEC) != 0)
        return -1;
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid == 0) {
        if (pipeFd[1] >= 0) {
            // The host the demo drives ends with the demo, whatever ends the demo.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent)
                ::_exit(127);
            ::dup2(pipeFd[1], 1);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (pipeFd[1] >= 0)
        ::close(pipeFd[1]);
    if (pid < 0) {
        std::fprintf(stderr, "installer-demo: cannot start %s: %s\n", argv[0], std::strerror(errno));
        if (pipeFd[0] >= 0)
            ::close(pipeFd[0]);
        return -1;
    }
    *started = pid;
    if (!headless())
        return waitFor(pid); // the person walks the road in their own session

    // Continue on every page, Allow when asked, Close at the summary; a picture of each.
    OutputReader output(pipeFd[0]);
    AccessibleRef window;
    bool driven = true;
    std::string title;
    int page = 0;
    auto pressIn = [this](const AccessibleRef& where, const char* name) {
        AccessibleRef button = driver_->find(where, ATSPI_ROLE_PUSH_BUTTON, name);
        return button && button.press();
    };
    while (driven && output.next("installer-host-gtk: page: ", title)) {
        if (!window)
            window = driver_->window(pid, "Ombrix Installer");
        settle();
        screenshot(pid, "Ombrix Installer", prefix + "-" + std::to_string(++page) + "-" + slug(title));
        bool summary = static_cast<bool>(driver_->find(window, ATSPI_ROLE_PUSH_BUTTON, "Close", 0.5));
        if (summary) {
            driven = pressIn(window, "Close");
            break;
        }
        driven = pressIn(window, "Continue");
        // Leaving a pane of the plug-in asks for the login item: the dialog gets its picture too.
        if (driven && page > 1) {
            AccessibleRef dialog = driver_->window(pid, "Allow this change for all users?", 5); // named by its question
            if (dialog) {
                settle();
                screenshot(pid, "Authorization", prefix + "-" + std::to_string(++page) + "-authorization");
                driven = pressIn(dialog, "Allow");
            }
        }
    }
    output.drain();
    if (!driven) {
        std::fprintf(stderr, "installer-demo: the window could not be driven; ended\n");
        ::kill(pid, SIGTERM);
    }
    int status = waitFor(pid);
    return driven ? status : -1;
}
