#include "OruSandbox.h"

#include <sched.h>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

// One argument of an Exec line: in double quotes, with " ` $ and \ escaped.
std::string quoteExecArgument(const std::string& arg)
{
    std::string out = "\"";
    for (char c : arg) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

// A desktop entry string value: backslashes doubled (the quoting layer's escapes included).
std::string escapeValue(const std::string& value)
{
    std::string out;
    for (char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

} // namespace

OruSandbox::OruSandbox(const std::string& sampleApp, const std::vector<std::string>& missingStandardFolders,
                       std::string* error)
    : sampleApp_(sampleApp)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string base = (tmp && tmp[0] == '/') ? tmp : "/tmp";
    std::string pattern = base + "/installer-sandbox.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!::mkdtemp(buffer.data())) {
        if (error)
            *error = "cannot make a folder under " + base;
        return;
    }
    root_ = buffer.data();

    std::error_code ec;
    for (const std::string& dir : {home(), configHome(), dataHome() + "/applications", systemDataDir() + "/applications",
                                   systemConfigDir() + "/autostart", root_ + "/Ombrix Sample", root_ + "/payload"})
        std::filesystem::create_directories(dir, ec);
    for (const char* folder : {"Pictures", "Videos", "Music", "Documents"}) {
        bool missing = false;
        for (const std::string& m : missingStandardFolders)
            missing = missing || m == folder;
        if (!missing)
            std::filesystem::create_directories(home() + "/" + folder, ec);
    }
    bool ok = !ec;
    ok = ok && writeFile(configHome() + "/user-dirs.dirs",
                         "# written by the installer sandbox\n"
                         "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
                         "XDG_DOCUMENTS_DIR=\"$HOME/Documents\"\n"
                         "XDG_MUSIC_DIR=\"$HOME/Music\"\n"
                         "XDG_PICTURES_DIR=\"$HOME/Pictures\"\n"
                         "XDG_VIDEOS_DIR=\"$HOME/Videos\"\n");
    ok = ok && writeFile(payloadEntry(),
                         "[Desktop Entry]\n"
                         "Type=Application\n"
                         "Name=Ombrix\n"
                         "GenericName=Media Library\n"
                         "Comment=Sample target application of the installer sandbox\n"
                         "Icon=com.ombrix.Ombrix\n"
                         "Exec=" + execLine() + "\n"
                         "Terminal=false\n"
                         "Categories=AudioVideo;\n");
    if (!ok && error)
        *error = "cannot fill the sandbox at " + root_;
}

OruSandbox::~OruSandbox()
{
    if (!root_.empty() && !keep_) {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
}

std::string OruSandbox::execLine() const
{
    return escapeValue(quoteExecArgument(sampleApp_) + " --record " + quoteExecArgument(recordFile()) + " %U");
}

std::vector<std::pair<std::string, std::string>> OruSandbox::environment() const
{
    return {
        {"HOME", home()},
        {"XDG_CONFIG_HOME", configHome()},
        {"XDG_DATA_HOME", dataHome()},
        {"XDG_DATA_DIRS", systemDataDir()},
        {"XDG_CONFIG_DIRS", systemConfigDir()},
    };
}

void OruSandbox::applyToProcess() const
{
    for (const auto& var : environment())
        ::setenv(var.first.c_str(), var.second.c_str(), 1);
    for (const char* var : {"SUDO_UID", "SUDO_GID", "PKEXEC_UID"})
        ::unsetenv(var);
}

bool OruSandbox::installTargetApp() const
{
    return writeFile(installedEntry(), readFile(payloadEntry()));
}

std::vector<std::string> OruSandbox::recordedLaunches() const
{
    std::vector<std::string> lines;
    std::stringstream in(readFile(recordFile()));
    std::string line;
    while (std::getline(in, line))
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

std::vector<std::string> OruSandbox::waitForLaunches(size_t count, double seconds) const
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::vector<std::string> lines = recordedLaunches();
    while (lines.size() < count && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        lines = recordedLaunches();
    }
    return lines;
}

bool OruSandbox::writeFile(const std::string& path, const std::string& text)
{
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return !ec && out.good();
}

std::string OruSandbox::readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

OruSemaphoreSweep::OruSemaphoreSweep() : before_(currentSets())
{
    pids_.insert(static_cast<int>(::getpid()));
}

std::set<int> OruSemaphoreSweep::currentSets()
{
    // One line per set after the heading: key, then the id.
    std::set<int> ids;
    std::ifstream in("/proc/sysvipc/sem");
    std::string heading;
    std::getline(in, heading);
    long long key;
    int id;
    std::string rest;
    while (in >> key >> id && std::getline(in, rest))
        ids.insert(id);
    return ids;
}

int OruSemaphoreSweep::sweep()
{
    int removed = 0;
    for (int id : currentSets()) {
        if (before_.count(id))
            continue;
        int lastUser = ::semctl(id, 0, GETPID);
        if (lastUser <= 0 || !pids_.count(lastUser))
            continue;
        if (::semctl(id, 0, IPC_RMID) == 0) {
            ++removed;
            continue;
        }
        // Root without CAP_SYS_ADMIN (a container) may not remove another user's set, which a
        // test that dropped privileges made; its owner may.
        union {
            int val;
            struct semid_ds* buf;
        } arg; // the caller's semun
        struct semid_ds info;
        arg.buf = &info;
        if (errno != EPERM || ::semctl(id, 0, IPC_STAT, arg) != 0)
            continue;
        pid_t child = ::fork();
        if (child == 0)
            ::_exit(::setuid(info.sem_perm.uid) == 0 && ::semctl(id, 0, IPC_RMID) == 0 ? 0 : 1);
        int status = 0;
        if (child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0)
            ++removed;
    }
    return removed;
}

OruPrivateLockSpace::OruPrivateLockSpace()
{
    if (::unshare(CLONE_NEWNS | CLONE_NEWIPC) != 0)
        note_ = std::string("no private mount and IPC namespace (unshare: ") + std::strerror(errno) + ")";
    // Mounts made from here on stay in this namespace; then a tmpfs of our own over /var/tmp.
    else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
             ::mount("oru-lock-space", "/var/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777,size=8m") != 0)
        note_ = std::string("no private /var/tmp (mount: ") + std::strerror(errno) + ")";
    if (note_.empty())
        return;
    sweep_ = std::make_unique<OruSemaphoreSweep>();
    std::fprintf(stderr, "note: %s: the installer mutex file %s and its semaphore set are shared with every "
                 "other run on this machine\n", note_.c_str(), kOruInstallerMutexFile);
}

OruPrivateLockSpace::~OruPrivateLockSpace()
{
    struct stat st;
    if (sweep_ && ::lstat(kOruInstallerMutexFile, &st) == 0 && !S_ISDIR(st.st_mode))
        ::unlink(kOruInstallerMutexFile); // a link planted by a test goes too, never its target
}

void OruPrivateLockSpace::notePid(int pid)
{
    if (sweep_)
        sweep_->notePid(pid);
}
