// Linux desktop services for the plug-in (see OruPlatform_Linux.h for what stands in for what).
#include "OruPlatform_Linux.h"

#include <InstallerDisplayText.h>
#include <XpFd.h>
#include <XpFileOperation.h>
#include <XpStagedFile.h>

#include <dlfcn.h>
#include <grp.h>
#include <fcntl.h>
#include <libintl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

extern char** environ;

namespace OruPlatform_Linux {

namespace {

const char* const kTextDomain = "PostInstallSection";
// Desktop entries and settings files are small; what lies beyond this is not read.
const size_t kMaxTextFile = 1 << 20;

std::string errnoText(int err)
{
    return std::strerror(err);
}

std::string trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return std::string();
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// Reads a regular file, at most kMaxTextFile bytes of it; a longer file gives its whole lines
// within the cap. Anything else at the path (a FIFO, a device, a socket, a folder, also behind a
// link) counts as absent: a device is never opened, and the open that follows the check cannot
// block either, should a FIFO have been swapped in meanwhile. Links are followed: a settings file
// kept elsewhere by a dotfile manager is still the user's own. (The library's XpFile reads a
// character device as a file, so the descriptor is held and looked at here.)
bool readTextFile(const std::string& path, std::string& text)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    XpFd fd;
    do
        fd.Reset(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    while (!fd.IsValid() && errno == EINTR);
    if (!fd.IsValid())
        return false;
    bool ok = ::fstat(fd.Get(), &st) == 0 && S_ISREG(st.st_mode);
    std::string data;
    char buffer[65536];
    while (ok && data.size() <= kMaxTextFile) {
        ssize_t n = ::read(fd.Get(), buffer, std::min(sizeof buffer, kMaxTextFile + 1 - data.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        data.append(buffer, static_cast<size_t>(n));
    }
    fd.Reset();
    if (!ok)
        return false;
    if (data.size() > kMaxTextFile) {
        size_t lastLine = data.rfind('\n', kMaxTextFile - 1);
        data.resize(lastLine == std::string::npos ? 0 : lastLine + 1);
    }
    text.swap(data);
    return true;
}

std::string envOr(const char* name, const std::string& fallback)
{
    const char* v = std::getenv(name);
    // The base-directory rules ignore empty and relative values.
    return (v && v[0] == '/') ? std::string(v) : fallback;
}

// A colon-separated folder list from the environment, relative entries dropped; the fallback
// when the variable is unset or holds no absolute folder.
std::vector<std::string> envPathList(const char* name, const std::string& fallback);

std::vector<std::string> splitPathList(const std::string& list)
{
    std::vector<std::string> items;
    std::stringstream in(list);
    std::string item;
    while (std::getline(in, item, ':'))
        if (!item.empty() && item[0] == '/')
            items.push_back(item);
    return items;
}

std::vector<std::string> envPathList(const char* name, const std::string& fallback)
{
    const char* v = std::getenv(name);
    std::vector<std::string> dirs = splitPathList(v ? v : "");
    return dirs.empty() ? splitPathList(fallback) : dirs;
}

std::string dataHome()
{
    return envOr("XDG_DATA_HOME", homeDirectory() + "/.local/share");
}

// Takes the user's groups, group and user id, the user id last while the right to change the
// others is still there. System calls only: it runs between fork and exec.
bool becomeUser(const DesktopUser& user)
{
    return ::setgroups(user.groups.size(), user.groups.data()) == 0 && ::setgid(user.gid) == 0 &&
           ::setuid(user.uid) == 0;
}

// A user or group id from the environment; nullopt when unset, malformed or 0 (root acts for itself).
std::optional<uint32_t> idFromEnvironment(const char* name)
{
    const char* v = std::getenv(name);
    if (!v || *v < '0' || *v > '9')
        return std::nullopt;
    char* end = nullptr;
    errno = 0;
    unsigned long id = std::strtoul(v, &end, 10);
    if (errno != 0 || *end != '\0' || id == 0 || id >= 0xFFFFFFFFul)
        return std::nullopt;
    return static_cast<uint32_t>(id);
}

} // namespace

// ---- desktop entries ----

std::string DesktopEntry::value(const std::string& key) const
{
    auto it = raw.find(key);
    if (it == raw.end())
        return std::string();
    const std::string& v = it->second;
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
        if (v[i] == '\\' && i + 1 < v.size()) {
            char c = v[i + 1];
            switch (c) {
            case 's': out += ' '; ++i; continue;
            case 'n': out += '\n'; ++i; continue;
            case 't': out += '\t'; ++i; continue;
            case 'r': out += '\r'; ++i; continue;
            case '\\': out += '\\'; ++i; continue;
            default: break; // other escapes belong to the next layer (Exec quoting)
            }
        }
        out += v[i];
    }
    return out;
}

bool parseDesktopEntry(const std::string& text, DesktopEntry& entry, std::string* error)
{
    std::stringstream in(text);
    std::string line;
    bool inEntryGroup = false;
    bool sawEntryGroup = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::string t = trim(line);
        if (t.empty() || t[0] == '#')
            continue;
        if (t[0] == '[') {
            inEntryGroup = t == "[Desktop Entry]";
            sawEntryGroup = sawEntryGroup || inEntryGroup;
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos || !inEntryGroup)
            continue; // junk, or a key of another group
        std::string key = trim(line.substr(0, eq));
        std::string value = line.substr(eq + 1);
        size_t start = value.find_first_not_of(" \t");
        value = start == std::string::npos ? std::string() : value.substr(start);
        if (key.empty())
            continue;
        entry.raw.emplace(key, value); // the first occurrence of a key counts
    }
    if (!sawEntryGroup) {
        if (error)
            *error = "no [Desktop Entry] group";
        return false;
    }
    return true;
}

std::optional<DesktopEntry> findApplicationEntryIn(const std::vector<std::string>& dataDirs,
                                                  const std::string& desktopFileId, std::string* why)
{
    for (const std::string& dataDir : dataDirs) {
        std::string path = dataDir + "/applications/" + desktopFileId;
        struct stat st;
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        // The first folder that holds the ID decides, as in the desktop menus.
        std::string text;
        DesktopEntry entry;
        std::string error;
        if (!readTextFile(path, text)) {
            if (why)
                *why = path + ": cannot be read";
            return std::nullopt;
        }
        if (!parseDesktopEntry(text, entry, &error)) {
            if (why)
                *why = path + ": " + error;
            return std::nullopt;
        }
        if (entry.value("Type") != "Application") {
            if (why)
                *why = path + ": not Type=Application";
            return std::nullopt;
        }
        if (entry.value("Hidden") == "true") {
            if (why)
                *why = path + ": Hidden=true";
            return std::nullopt;
        }
        entry.path = path;
        return entry;
    }
    if (why)
        *why = desktopFileId + " not found in the XDG data folders";
    return std::nullopt;
}

std::optional<DesktopEntry> findApplicationEntry(const std::string& desktopFileId, std::string* why)
{
    std::vector<std::string> dirs{dataHome()};
    for (const std::string& d : systemDataDirectories())
        dirs.push_back(d);
    return findApplicationEntryIn(dirs, desktopFileId, why);
}

std::vector<std::string> systemDataDirectories()
{
    return envPathList("XDG_DATA_DIRS", "/usr/local/share:/usr/share");
}

std::optional<std::string> loginItemText(const DesktopEntry& entry, const std::string& fallbackName, std::string* why)
{
    // An entry the desktop could not start from would be no login item at all.
    std::string error;
    if (!entry.has("Exec")) {
        if (why)
            *why = entry.path + " has no Exec line";
        return std::nullopt;
    }
    if (!checkExecLine(entry.raw.at("Exec"), &error)) {
        if (why)
            *why = entry.path + ": " + error;
        return std::nullopt;
    }
    // The entry is copied as written, so what a desktop would reject in it is refused here:
    // a value that is not UTF-8, or a raw control character (a carriage return in Name would
    // end the line for some readers and not for others).
    for (const char* key : {"Name", "Exec", "Icon"}) {
        if (!entry.has(key))
            continue;
        const std::string& raw = entry.raw.at(key);
        if (!g_utf8_validate_len(raw.data(), raw.size(), nullptr)) {
            if (why)
                *why = entry.path + ": " + key + " is not valid UTF-8";
            return std::nullopt;
        }
        if (std::any_of(raw.begin(), raw.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; })) {
            if (why)
                *why = entry.path + ": " + key + " holds a control character";
            return std::nullopt;
        }
    }
    std::string text = "[Desktop Entry]\nType=Application\n";
    text += "Name=" + (entry.has("Name") ? entry.raw.at("Name") : fallbackName) + "\n";
    text += "Exec=" + entry.raw.at("Exec") + "\n";
    if (entry.has("Icon"))
        text += "Icon=" + entry.raw.at("Icon") + "\n";
    text += "Comment=" + escapeDesktopValue("Starts " + entry.value("Name") + " at login") + "\n";
    return text;
}

namespace {

using ExecWords = std::vector<std::pair<std::string, bool>>; // text, was quoted

// One quoted word of the Exec line, from the opening quote at `i`; `i` ends after the closing one.
// Inside quotes a backslash escapes exactly " ` $ and itself; with `desktopRules`, one before
// anything else leaves the quoting unclear, and a bare $ or ` would be expanded by a desktop that
// hands the line to a shell.
bool readQuotedWord(const std::string& s, size_t& i, std::string& word, std::string& why, bool desktopRules)
{
    ++i;
    while (i < s.size()) {
        char c = s[i];
        if (c == '\\' && i + 1 < s.size() && std::strchr("\"`$\\", s[i + 1])) {
            word += s[i + 1];
            i += 2;
            continue;
        }
        if (desktopRules && c == '\\')
            return why = "backslash inside quotes in Exec escapes nothing", false;
        if (desktopRules && (c == '$' || c == '`'))
            return why = std::string("unescaped '") + c + "' inside quotes in Exec", false;
        ++i;
        if (c == '"') {
            if (i < s.size() && s[i] != ' ')
                return why = "quoted argument runs into other text in Exec", false;
            return true;
        }
        word += c;
    }
    return why = "unterminated quote in Exec", false;
}

// The Exec value's words, split at spaces; outside quotes the reserved characters are refused.
bool readExecWords(const std::string& s, ExecWords& words, std::string& why, bool desktopRules)
{
    static const std::string reserved = "\t\n\"'\\><~|&;$*?#()`";
    size_t i = 0;
    while (i < s.size()) {
        if (s[i] == ' ') {
            ++i;
            continue;
        }
        std::string word;
        bool quoted = s[i] == '"';
        if (quoted && !readQuotedWord(s, i, word, why, desktopRules))
            return false;
        while (!quoted && i < s.size() && s[i] != ' ') {
            if (reserved.find(s[i]) != std::string::npos)
                return why = std::string("reserved character '") + s[i] + "' outside quotes in Exec", false;
            word += s[i++];
        }
        words.emplace_back(word, quoted);
    }
    return true;
}

// Field codes: only the known ones, whole, and at most one of those that take files or URLs.
// Quoted words count too: a quoted one is passed as written, but desktops and the validator still
// read the code in it.
bool checkFieldCodes(const ExecWords& words, std::string& why)
{
    int fileCodes = 0;
    for (const auto& w : words) {
        for (size_t k = 0; k < w.first.size(); ++k) {
            if (w.first[k] != '%')
                continue;
            if (k + 1 == w.first.size())
                return why = "incomplete field code '%' in Exec", false;
            char code = w.first[++k];
            if (!std::strchr("fFuUdDnNickvm%", code))
                return why = std::string("unknown field code '%") + code + "' in Exec", false;
            fileCodes += std::strchr("fFuU", code) != nullptr;
        }
    }
    if (fileCodes > 1)
        return why = "more than one of %f %u %F %U in Exec", false;
    return true;
}

// The arguments the words stand for: a field code standing alone is dropped with its argument
// (no files or URLs are passed), one inside an unquoted argument expands to nothing, %% is %.
std::vector<std::string> expandFieldCodes(const ExecWords& words)
{
    std::vector<std::string> out;
    for (const auto& w : words) {
        const std::string& word = w.first;
        if (!w.second && word.size() == 2 && word[0] == '%' && word[1] != '%')
            continue;
        std::string arg;
        for (size_t k = 0; k < word.size(); ++k) {
            if (word[k] == '%' && !w.second && k + 1 < word.size()) {
                if (word[k + 1] == '%')
                    arg += '%';
                ++k;
                continue;
            }
            arg += word[k];
        }
        out.push_back(arg);
    }
    return out;
}

// The Exec line's words; with `desktopRules` also what the Desktop Entry rules forbid and a
// launch can do without (it passes the words literally): a bare $ or ` inside quotes, a
// backslash there that escapes nothing, unknown or incomplete field codes, several file codes.
bool splitExec(const std::string& rawExec, std::vector<std::string>& argv, std::string* error, bool desktopRules)
{
    std::string why;
    // execve ends each argument at a NUL: "app\0-other" would start "app" without a word said.
    if (rawExec.find('\0') != std::string::npos)
        why = "NUL byte in Exec";
    DesktopEntry holder;
    holder.raw["Exec"] = rawExec;
    ExecWords words;
    std::vector<std::string> out;
    if (why.empty() && readExecWords(holder.value("Exec"), words, why, desktopRules) &&
        (!desktopRules || checkFieldCodes(words, why))) {
        out = expandFieldCodes(words);
        if (out.empty() || out[0].empty())
            why = "Exec names no program";
    }
    if (!why.empty()) {
        if (error)
            *error = why;
        return false;
    }
    argv.swap(out);
    return true;
}

} // namespace

bool splitExecLine(const std::string& rawExec, std::vector<std::string>& argv, std::string* error)
{
    return splitExec(rawExec, argv, error, false);
}

bool checkExecLine(const std::string& rawExec, std::string* error)
{
    std::vector<std::string> argv;
    return splitExec(rawExec, argv, error, true);
}

namespace {

// `name` looked up in PATH as a shell would (a regular file that may be executed); "" when none.
std::string findInPath(const std::string& name)
{
    const char* path = std::getenv("PATH");
    for (const std::string& dir : splitPathList(path ? path : "/usr/local/bin:/usr/bin:/bin")) {
        struct stat st;
        std::string candidate = dir + "/" + name;
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return std::string();
}

// The installer's environment, with the identity of the person the program now belongs to.
std::vector<std::string> childEnvironment(const DesktopUser* as)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string var = *e;
        if (!as || (var.rfind("HOME=", 0) != 0 && var.rfind("USER=", 0) != 0 && var.rfind("LOGNAME=", 0) != 0))
            env.push_back(var);
    }
    if (as) {
        env.push_back("HOME=" + as->home);
        if (!as->name.empty())
            env.insert(env.end(), {"USER=" + as->name, "LOGNAME=" + as->name});
    }
    return env;
}

std::vector<char*> pointersTo(const std::vector<std::string>& strings)
{
    std::vector<char*> out;
    for (const std::string& s : strings)
        out.push_back(const_cast<char*>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

// The child's side, between fork and exec: system calls only, as the installer can have other
// threads. A new session: the application outlives the installer and its terminal. Signals the
// installer blocks, catches or ignores are reset, so it starts as from a desktop menu. Its only
// descriptors are the standard three on /dev/null and `report`, which closes on exec; the stage
// that failed and errno go through it.
[[noreturn]] void runDetachedChild(int devNull, int report, const char* program, char* const* args, char* const* envp,
                                   const DesktopUser* as)
{
    int failure[2] = {0, 0};
    struct sigaction byDefault;
    std::memset(&byDefault, 0, sizeof byDefault);
    byDefault.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig)
        ::sigaction(sig, &byDefault, nullptr); // SIGKILL, SIGSTOP and the reserved ones refuse: fine
    sigset_t none;
    sigemptyset(&none);
    if (::sigprocmask(SIG_SETMASK, &none, nullptr) != 0 || ::setsid() < 0 || ::dup2(devNull, 0) < 0 ||
        ::dup2(devNull, 1) < 0 || ::dup2(devNull, 2) < 0 || (report > 3 && ::close_range(3, report - 1, 0) != 0) ||
        ::close_range(report + 1, ~0u, 0) != 0)
        failure[1] = errno;
    else if (as && !becomeUser(*as))
        failure[0] = 1, failure[1] = errno;
    else if (as && ::chdir(as->home.c_str()) != 0 && ::chdir("/") != 0)
        failure[1] = errno;
    else
        ::execve(program, args, envp), failure[0] = 2, failure[1] = errno;
    ssize_t written = ::write(report, failure, sizeof failure);
    (void)written; // nothing more to be done: the parent then sees a child that ended early
    ::_exit(127);
}

// The parent's side: the report pipe ends without a word once the program runs; otherwise it
// says what failed, and the child, which has ended, is reaped.
bool awaitExec(pid_t child, const XpFd& report, const std::string& name, const DesktopUser* as, std::string& why)
{
    int failure[2] = {0, 0};
    ssize_t n;
    do
        n = ::read(report.Get(), failure, sizeof failure);
    while (n < 0 && errno == EINTR);
    if (n == 0)
        return true;
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (n != static_cast<ssize_t>(sizeof failure))
        why = name + ": the child ended before it could run the program";
    else if (failure[0] == 1)
        why = "cannot become user " + std::to_string(as->uid) + ": " + errnoText(failure[1]);
    else
        why = name + ": " + errnoText(failure[1]);
    return false;
}

} // namespace

bool spawnDetached(const std::vector<std::string>& argv, const DesktopUser* as, pid_t* pid, std::string* error)
{
    auto fail = [error](const std::string& why) {
        if (error)
            *error = why;
        return false;
    };
    if (argv.empty())
        return fail("no program");
    // Everything the child needs is prepared here: between fork and exec it may only make system
    // calls.
    std::string program = argv[0].find('/') == std::string::npos ? findInPath(argv[0]) : argv[0];
    if (program.empty())
        return fail(argv[0] + ": " + errnoText(ENOENT));
    std::vector<char*> args = pointersTo(argv);
    std::vector<std::string> env = childEnvironment(as);
    std::vector<char*> envp = pointersTo(env);

    // Not close-on-exec: should it land on 0, 1 or 2 (the installer's own were closed), it is
    // already in place; anywhere else the child closes it.
    XpFd devNull(::open("/dev/null", O_RDWR));
    int ends[2] = {-1, -1};
    if (!devNull.IsValid() || ::pipe2(ends, O_CLOEXEC) != 0)
        return fail(errnoText(errno));
    XpFd reportIn(ends[0]), reportOut(ends[1]);
    if (reportOut.Get() < 3) // above the standard three, which the child replaces
        reportOut.Reset(::fcntl(reportOut.Get(), F_DUPFD_CLOEXEC, 3));
    pid_t child = reportOut.IsValid() ? ::fork() : -1;
    if (child == 0)
        runDetachedChild(devNull.Get(), reportOut.Get(), program.c_str(), args.data(), envp.data(), as);
    int forkErr = errno;
    reportOut.Reset();
    devNull.Reset();
    if (child < 0)
        return fail(errnoText(forkErr));
    std::string why;
    if (!awaitExec(child, reportIn, argv[0], as, why))
        return fail(why);
    if (pid)
        *pid = child;
    return true;
}

// ---- settings and folders ----

std::optional<std::string> readIniValue(const std::string& file, const std::string& group,
                                        const std::string& key)
{
    std::string text;
    if (!readTextFile(file, text))
        return std::nullopt;
    std::stringstream in(text);
    std::string line;
    std::string current;
    std::optional<std::string> found;
    while (std::getline(in, line)) {
        std::string t = trim(line);
        if (t.empty() || t[0] == ';' || t[0] == '#')
            continue;
        if (t[0] == '[') {
            current = t.back() == ']' ? t.substr(1, t.size() - 2) : std::string();
            continue;
        }
        size_t eq = t.find('=');
        if (eq == std::string::npos || current != group || trim(t.substr(0, eq)) != key)
            continue; // junk lines and other keys are skipped
        std::string value = trim(t.substr(eq + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            std::string unquoted;
            for (size_t k = 1; k + 1 < value.size(); ++k) {
                if (value[k] == '\\' && k + 2 < value.size() && (value[k + 1] == '"' || value[k + 1] == '\\'))
                    ++k;
                unquoted += value[k];
            }
            value = unquoted;
        }
        found = value; // a later line for the same key wins, as when the file is loaded in order
    }
    return found;
}

std::optional<DesktopUser> desktopUser()
{
    if (::geteuid() != 0)
        return std::nullopt;
    const char* home = std::getenv("HOME");
    struct stat homeStat;
    bool homeKnown = home && home[0] == '/' && ::stat(home, &homeStat) == 0;
    std::optional<uint32_t> uid = idFromEnvironment("SUDO_UID");
    std::optional<uint32_t> gid = uid ? idFromEnvironment("SUDO_GID") : std::nullopt;
    if (!uid)
        uid = idFromEnvironment("PKEXEC_UID");
    if (!uid && homeKnown && homeStat.st_uid != 0)
        uid = homeStat.st_uid;
    if (!uid)
        return std::nullopt;
    DesktopUser user;
    user.uid = *uid;
    bool ownsHome = homeKnown && homeStat.st_uid == user.uid;
    struct passwd pw;
    struct passwd* known = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(user.uid, &pw, buffer.data(), buffer.size(), &known) != 0)
        known = nullptr;
    if (gid)
        user.gid = *gid;
    else if (known)
        user.gid = known->pw_gid;
    else if (ownsHome)
        user.gid = homeStat.st_gid;
    else
        return std::nullopt; // a user nobody knows anything more of: no identity to take
    user.groups.assign(1, user.gid);
    if (known) {
        user.name = known->pw_name;
        int count = 64;
        user.groups.resize(static_cast<size_t>(count));
        if (::getgrouplist(known->pw_name, user.gid, user.groups.data(), &count) < 0) {
            user.groups.resize(static_cast<size_t>(count));
            ::getgrouplist(known->pw_name, user.gid, user.groups.data(), &count);
        }
        user.groups.resize(static_cast<size_t>(std::max(count, 1)));
    }
    user.home = ownsHome ? std::string(home) : known && known->pw_dir ? std::string(known->pw_dir) : std::string();
    return user;
}

std::string homeDirectory()
{
    std::optional<DesktopUser> user = desktopUser();
    if (user && !user->home.empty())
        return user->home;
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return home;
    struct passwd pw;
    struct passwd* result = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &result) == 0 && result && result->pw_dir)
        return result->pw_dir;
    return std::string();
}

std::string configHome()
{
    return envOr("XDG_CONFIG_HOME", homeDirectory() + "/.config");
}

std::string systemAutostartDirectory()
{
    return envPathList("XDG_CONFIG_DIRS", "/etc/xdg").front() + "/autostart";
}

std::optional<std::string> userDirectory(const std::string& xdgName, const std::string& fallbackName)
{
    std::string home = homeDirectory();
    if (home.empty())
        return std::nullopt;
    std::string text;
    if (readTextFile(configHome() + "/user-dirs.dirs", text)) {
        std::stringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            std::string t = trim(line);
            if (t.compare(0, xdgName.size() + 1, xdgName + "=") != 0)
                continue;
            std::string v = t.substr(xdgName.size() + 1);
            if (v.size() < 2 || v.front() != '"' || v.back() != '"')
                continue;
            v = v.substr(1, v.size() - 2);
            if (v == "$HOME" || v == "$HOME/")
                return home;
            if (v.compare(0, 6, "$HOME/") == 0)
                return home + v.substr(5);
            if (!v.empty() && v[0] == '/')
                return v;
        }
    }
    return home + "/" + fallbackName;
}

bool makeDirectories(const std::string& path, const DesktopUser* as)
{
    if (path.empty() || path[0] != '/')
        return false;
    if (!as) {
        // A folder already there is what is wanted; whether the path is a folder is looked at below.
        XpErr made = XpFileOperation::MakeDirRecursively(XpStringT<char>(path.c_str()));
        if (made != XPERR_OK && made != XPERR_FILE_EXISTS)
            return false;
    } else {
        // The library makes folders only as the process it runs in, and allocates on the way,
        // which a child of a process with threads may not do between fork and exec: the child
        // that has become the user makes them with system calls only, prepared here.
        std::vector<std::string> parts; // each folder from the top down
        for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
            parts.push_back(path.substr(0, slash));
            if (slash == std::string::npos)
                break;
        }
        auto make = [&parts] {
            for (const std::string& part : parts)
                if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
                    return false;
            return true;
        };
        pid_t child = ::fork();
        if (child == 0)
            ::_exit(becomeUser(*as) && make() ? 0 : 1);
        int status = 0;
        while (child > 0 && ::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        if (child < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return false;
    }
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// ---- login items ----

std::string escapeDesktopValue(const std::string& value)
{
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\\': out += "\\\\"; break;
        case ' ': out += i == 0 ? "\\s" : " "; break;
        default: out += c;
        }
    }
    return out;
}

bool writeFileAtomically(const std::string& directory, const std::string& name,
                         const std::string& contents, std::string* error)
{
    auto fail = [error](const std::string& why) {
        if (error)
            *error = why;
        return false;
    };
    struct stat st;
    if (::lstat(directory.c_str(), &st) != 0) {
        if (errno != ENOENT || !makeDirectories(directory))
            return fail(directory + ": " + errnoText(errno));
        if (::lstat(directory.c_str(), &st) != 0)
            return fail(directory + ": " + errnoText(errno));
    }
    if (S_ISLNK(st.st_mode))
        return fail(directory + " is a symbolic link; not followed");
    XpFd folder(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.IsValid())
        return fail(directory + ": " + errnoText(errno));
    if (::fstatat(folder.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode))
        return fail(directory + "/" + name + (S_ISLNK(st.st_mode) ? " is a symbolic link" : " is not a regular file") +
                    "; left as it is");
    // Staged beside the name and put over it in one step: sessions see the old entry or the new
    // one, never a half-written one. Autostart entries are read by every user's session: readable
    // by all whatever the umask.
    XpFileError result = XpStagedFile::WriteWhole(folder.Get(), name.c_str(), contents.data(), contents.size(), 0644,
                                                  XpStagedFile::placeReplace, true);
    if (!result.IsOk())
        return fail(directory + "/" + name + ": " + result.Describe().GetBuffer());
    return true;
}

// ---- localized texts ----

std::string bundleLocalizedString(const std::string& key)
{
    static std::once_flag bound;
    std::call_once(bound, [] {
        // The catalogs lie in the bundle folder that holds this module, not beside the host.
        Dl_info info;
        std::memset(&info, 0, sizeof info);
        if (::dladdr(reinterpret_cast<void*>(&bundleLocalizedString), &info) == 0 || !info.dli_fname)
            return;
        char resolved[PATH_MAX];
        std::string module = ::realpath(info.dli_fname, resolved) ? resolved : info.dli_fname;
        std::string folder = module.substr(0, module.rfind('/'));
        ::bindtextdomain(kTextDomain, (folder + "/locale").c_str());
        ::bind_textdomain_codeset(kTextDomain, "UTF-8");
    });
    return ::dgettext(kTextDomain, key.c_str());
}

// ---- installer mutex file ----

MutexFileResult createMutexFile(const std::string& path, std::string* detail)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        // Nothing is written: only the file's existence and identity matter, so the descriptor
        // is let go at once.
        if (XpFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644)).IsValid())
            return MutexFileResult::Created;
        if (errno != EEXIST) {
            if (detail)
                *detail = errnoText(errno);
            return MutexFileResult::Failed;
        }
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) {
            if (errno == ENOENT)
                continue; // removed between the two calls: try to create it again
            if (detail)
                *detail = errnoText(errno);
            return MutexFileResult::Failed;
        }
        if (S_ISREG(st.st_mode))
            return MutexFileResult::Reused;
        if (detail)
            *detail = S_ISLNK(st.st_mode) ? "a symbolic link is there" : "something other than a file is there";
        return MutexFileResult::NotRegularFile;
    }
    if (detail)
        *detail = "the path keeps changing";
    return MutexFileResult::Failed;
}

bool mutexFileExists(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool removeMutexFile(const std::string& path, std::string* detail)
{
    if (!mutexFileExists(path))
        return false;
    if (::unlink(path.c_str()) != 0) {
        if (detail)
            *detail = errnoText(errno);
        return false;
    }
    return true;
}

XpFd openMutexFile(const std::string& path, std::string* detail)
{
    auto refuse = [detail](const std::string& why) {
        if (detail)
            *detail = why;
        return XpFd();
    };
    // Looked at before it is opened, so that no device is ever opened; the descriptor is looked
    // at again in case something else was put there in between.
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return refuse(errnoText(errno));
    if (S_ISLNK(st.st_mode))
        return refuse("a symbolic link is there");
    if (!S_ISREG(st.st_mode))
        return refuse("something other than a file is there");
    XpFd fd;
    do
        fd.Reset(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    while (!fd.IsValid() && errno == EINTR);
    if (!fd.IsValid())
        return refuse(errno == ELOOP ? "a symbolic link is there" : errnoText(errno));
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return refuse("something other than a file is there");
    if (st.st_size != 0)
        return refuse("the file is not empty");
    return fd;
}

bool tryLockMutexFile(int fd)
{
    int rc;
    do
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool namesOpenFile(const std::string& path, int fd)
{
    struct stat open, named;
    return ::fstat(fd, &open) == 0 && ::lstat(path.c_str(), &named) == 0 && S_ISREG(named.st_mode) &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

pid_t fileLockHolder(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return 0;
    // "1: FLOCK  ADVISORY  WRITE 1234 00:2d:5678 0 EOF"; a waiter's line has "->" after the
    // number and is not a holder.
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, file;
        long long pid = 0;
        if (!(fields >> number >> kind) || kind != "FLOCK" || !(fields >> mode >> access >> pid >> file))
            continue;
        unsigned int major = 0, minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(file.c_str(), "%x:%x:%llu", &major, &minor, &inode) == 3 && major == ::major(st.st_dev) &&
            minor == ::minor(st.st_dev) && inode == static_cast<unsigned long long>(st.st_ino) && pid > 0 &&
            pid != ::getpid())
            return static_cast<pid_t>(pid);
    }
    return 0;
}

namespace {

std::string readProcFile(pid_t pid, const char* name)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Text another user's process chose (its command line, its name) shown to the person: control
// characters, and everything when it is not UTF-8, become '?'; long names are cut.
std::string printable(std::string text)
{
    bool utf8 = g_utf8_validate_len(text.data(), text.size(), nullptr);
    for (char& c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || (u >= 0x80 && !utf8))
            c = '?';
    }
    const size_t kMax = 160;
    if (text.size() > kMax) {
        size_t cut = kMax;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            --cut; // not inside a character
        text = text.substr(0, cut) + "...";
    }
    return text;
}

} // namespace

std::optional<ProcessInfo> describeProcess(pid_t pid)
{
    // kill(0) decides whether it lives (EPERM: it does, it is another user's); /proc only says more.
    if (pid <= 0 || (::kill(pid, 0) != 0 && errno == ESRCH))
        return std::nullopt;
    ProcessInfo info;
    info.pid = pid;
    // After the name in parentheses (which may hold anything): the state, then from the 20th
    // field on the start in clock ticks since boot.
    std::string stat = readProcFile(pid, "stat");
    size_t close = stat.rfind(')');
    std::string name = close == std::string::npos ? std::string() : stat.substr(stat.find('(') + 1, close - stat.find('(') - 1);
    if (close != std::string::npos) {
        std::istringstream fields(stat.substr(close + 1));
        std::string state, skip;
        unsigned long long started = 0;
        fields >> state;
        for (int i = 0; i < 18; ++i)
            fields >> skip;
        if (state == "Z" || state == "X")
            return std::nullopt; // ended; only its parent has not collected it yet
        std::istringstream procStat(readProcFile(pid, "../stat"));
        std::string word;
        long long bootTime = 0;
        while (procStat >> word && word != "btime") {
        }
        long ticks = ::sysconf(_SC_CLK_TCK);
        if ((fields >> started) && procStat >> bootTime && ticks > 0)
            info.startedAt = bootTime + static_cast<long long>(started / static_cast<unsigned long long>(ticks));
    }
    std::istringstream status(readProcFile(pid, "status"));
    std::string line;
    long long uid = -1;
    while (std::getline(status, line))
        if (line.compare(0, 4, "Uid:") == 0) {
            std::istringstream(line.substr(4)) >> uid;
            break;
        }
    if (uid >= 0) {
        struct passwd pw;
        struct passwd* known = nullptr;
        std::vector<char> buffer(16384);
        if (::getpwuid_r(static_cast<uid_t>(uid), &pw, buffer.data(), buffer.size(), &known) == 0 && known)
            info.user = known->pw_name;
        else
            info.user = std::to_string(uid);
    }
    char exe[PATH_MAX];
    ssize_t n = ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe - 1);
    if (n > 0)
        info.program.assign(exe, static_cast<size_t>(n));
    else
        info.program = readProcFile(pid, "cmdline").c_str(); // the first word: up to the first NUL
    if (info.program.empty())
        info.program = name;
    info.user = printable(info.user.empty() ? "?" : info.user);
    info.program = printable(info.program.empty() ? "?" : info.program);
    return info;
}

namespace {

union SemaphoreArgument { // glibc leaves semctl's fourth argument to the caller
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

} // namespace

std::optional<LockSemaphore> lockSemaphore(const std::string& path)
{
    key_t key = ::ftok(path.c_str(), '1');
    if (key == static_cast<key_t>(-1))
        return std::nullopt;
    LockSemaphore sem;
    sem.id = ::semget(key, 1, 0);
    struct semid_ds ds;
    SemaphoreArgument arg;
    arg.buf = &ds;
    if (sem.id < 0 || (sem.value = ::semctl(sem.id, 0, GETVAL)) < 0 || (sem.lastPid = ::semctl(sem.id, 0, GETPID)) < 0 ||
        ::semctl(sem.id, 0, IPC_STAT, arg) != 0)
        return std::nullopt;
    sem.lastChange = std::max<long long>(ds.sem_otime, ds.sem_ctime);
    return sem;
}

bool freeLockSemaphore(int id, std::string* detail)
{
    SemaphoreArgument arg;
    arg.val = 1;
    if (::semctl(id, 0, SETVAL, arg) == 0)
        return true;
    if (detail)
        *detail = errnoText(errno);
    return false;
}

} // namespace OruPlatform_Linux
