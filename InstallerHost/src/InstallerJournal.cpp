// The record of an installer run: the systemd journal, else a plain log file (see InstallerJournal.h).
#include <InstallerJournal.h>

#include "InstallerRemoval.h"

#include <XpFd.h>

#include <glib.h>
#include <systemd/sd-id128.h>
#include <systemd/sd-journal.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

namespace {

const char* const kIdentifier = "installer-host";
const char* const kJournalSocket = "/run/systemd/journal/socket";
const char* const kRootLog = "/var/log/installer-host.log";

struct RecordState {
    std::mutex lock;
    bool open = false;
    bool toJournal = false;
    std::string runId;
    std::string place;
    XpFd log;
};

RecordState& state()
{
    static RecordState* s = new RecordState; // outlives the static destructors of a host's last words
    return *s;
}

const char* messageIdOf(InstallerRecordStep step)
{
    switch (step) {
    case InstallerRecordStep::Road: return "4613f095bb8d451287932df28ddd308b";
    case InstallerRecordStep::File: return "bdfc419584354f349e1c77edd6aa29c5";
    case InstallerRecordStep::Right: return "2f1602c508444b42b0bf419a70095361";
    case InstallerRecordStep::LoginItem: return "5b1a56a8ad434d628bd4e457fe813f20";
    case InstallerRecordStep::Launch: return "cb73bc97595749fdaa1b73c54685112d";
    case InstallerRecordStep::End: return "4aca77d50e234b788a69dd919908e746";
    case InstallerRecordStep::Check: return "fadf4d0fd13a42f883c8fabd7ca8649a";
    case InstallerRecordStep::Removal: return "2c1b93f463f849f4912137872af3f875";
    }
    return "";
}

const char* stepName(InstallerRecordStep step)
{
    switch (step) {
    case InstallerRecordStep::Road: return "road";
    case InstallerRecordStep::File: return "file";
    case InstallerRecordStep::Right: return "right";
    case InstallerRecordStep::LoginItem: return "login-item";
    case InstallerRecordStep::Launch: return "launch";
    case InstallerRecordStep::End: return "end";
    case InstallerRecordStep::Check: return "check";
    case InstallerRecordStep::Removal: return "removal";
    }
    return "";
}

// The plain log's place for this process: root's in /var/log, a person's under their state folder.
std::string logPath()
{
    if (::geteuid() == 0)
        return kRootLog;
    std::string folder = std::string(g_get_user_state_dir()) + "/installer-host";
    if (g_mkdir_with_parents(folder.c_str(), 0700) != 0)
        return std::string();
    return folder + "/log";
}

// Opens the plain log for appending: never through a link, never anything but a regular file.
XpFd openLog(const std::string& path)
{
    if (path.empty())
        return XpFd();
    mode_t mode = ::geteuid() == 0 ? 0640 : 0600;
    XpFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, mode));
    struct stat st;
    if (!fd.IsValid() || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return XpFd();
    return fd;
}

// A value of a log line: bare when it is one plain word, else quoted with \ " and control
// characters escaped, so that one entry stays one line whatever a path holds.
std::string logValue(const std::string& value)
{
    bool plain = !value.empty();
    for (unsigned char c : value)
        if (c <= ' ' || c == '"' || c == '\\' || c == 0x7f)
            plain = false;
    if (plain)
        return value;
    std::string out = "\"";
    for (unsigned char c : value) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < ' ' || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void writeLogLine(int fd, const InstallerRecordFields& all, const std::string& message)
{
    char when[32];
    time_t now = std::time(nullptr);
    struct tm utc;
    ::gmtime_r(&now, &utc);
    std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::string line = std::string(when) + " " + kIdentifier + "[" + std::to_string(::getpid()) + "]: " + logValue(message);
    for (const auto& field : all)
        line += " " + field.first + "=" + logValue(field.second);
    line += "\n";
    // One write per entry: with O_APPEND, runs at the same time do not interleave within a line.
    ssize_t done = ::write(fd, line.data(), line.size());
    (void)done;
}

bool writeJournal(const InstallerRecordFields& all, const std::string& message, int priority)
{
    std::vector<std::string> texts;
    texts.reserve(all.size() + 3);
    texts.push_back("MESSAGE=" + message);
    texts.push_back("PRIORITY=" + std::to_string(priority));
    texts.push_back(std::string("SYSLOG_IDENTIFIER=") + kIdentifier);
    for (const auto& field : all)
        texts.push_back(field.first + "=" + field.second);
    std::vector<struct iovec> parts;
    for (std::string& text : texts)
        parts.push_back({&text[0], text.size()});
    return sd_journal_sendv(parts.data(), static_cast<int>(parts.size())) >= 0;
}

void recordFile(int fd, const std::string& placedAt, const std::string& payload, const std::string& via)
{
    std::string hex;
    unsigned long long size = 0;
    if (!InstallerSha256Of(fd, hex, &size)) {
        InstallerRecordWrite(InstallerRecordStep::File, "placed " + placedAt + " (its checksum could not be read)",
                             {{"INSTALLER_PATH", placedAt}, {"INSTALLER_PAYLOAD", payload}, {"INSTALLER_VIA", via}}, true);
        return;
    }
    InstallerRecordWrite(InstallerRecordStep::File, "placed " + placedAt + " (" + std::to_string(size) + " bytes)",
                         {{"INSTALLER_PATH", placedAt},
                          {"INSTALLER_SIZE", std::to_string(size)},
                          {"INSTALLER_SHA256", hex},
                          {"INSTALLER_PAYLOAD", payload},
                          {"INSTALLER_VIA", via}});
}

// Each regular file below the open folder `folder`, as placed under `placedAt`; links, FIFOs and
// the like are not opened.
void recordFolder(int folder, const std::string& placedAt, const std::string& payload, const std::string& via, int depth)
{
    if (depth > 256)
        return;
    XpFd listing(::dup(folder));
    DIR* dir = listing.IsValid() ? ::fdopendir(listing.Get()) : nullptr;
    if (!dir)
        return;
    listing.Release(); // the stream's now, closed by closedir
    std::vector<std::string> names;
    while (struct dirent* entry = ::readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        XpFd fd(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
        struct stat st;
        if (!fd.IsValid() || ::fstat(fd.Get(), &st) != 0)
            continue;
        if (S_ISREG(st.st_mode))
            recordFile(fd.Get(), placedAt + "/" + name, payload, via);
        else if (S_ISDIR(st.st_mode))
            recordFolder(fd.Get(), placedAt + "/" + name, payload, via, depth + 1);
    }
}

} // namespace

void InstallerRecordBegin()
{
    RecordState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    s.open = false;
    s.runId.clear();
    s.place.clear();
    s.log.Reset();
    const char* setting = std::getenv("INSTALLER_HOST_RECORD");
    if (setting && std::strcmp(setting, "off") == 0)
        return;
    sd_id128_t id;
    if (sd_id128_randomize(&id) < 0)
        return;
    char text[SD_ID128_STRING_MAX];
    s.runId = sd_id128_to_string(id, text);
    s.toJournal = ::access(kJournalSocket, F_OK) == 0;
    if (s.toJournal) {
        s.place = "journal";
    } else {
        s.place = logPath();
        s.log = openLog(s.place);
    }
    s.open = true;
}

void InstallerRecordWrite(InstallerRecordStep step, const std::string& message, const InstallerRecordFields& fields,
                          bool warning)
{
    RecordState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.open)
        return;
    InstallerRecordFields all{{"MESSAGE_ID", messageIdOf(step)}, {"INSTALLER_RUN", s.runId}, {"INSTALLER_STEP", stepName(step)}};
    all.insert(all.end(), fields.begin(), fields.end());
    if (s.toJournal) {
        if (writeJournal(all, message, warning ? LOG_WARNING : LOG_INFO))
            return;
        // The journal went away (or refuses us): the rest of the run goes to the plain log.
        s.toJournal = false;
        s.place = logPath();
        s.log = openLog(s.place);
    }
    if (s.log.IsValid())
        writeLogLine(s.log.Get(), all, message);
}

void InstallerRecordFinish()
{
    RecordState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    s.open = false;
    s.log.Reset();
}

std::string InstallerRecordRunId()
{
    RecordState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.runId;
}

std::string InstallerRecordPlace()
{
    RecordState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.place;
}

void InstallerRecordPlacedPayload(const std::string& source, const std::string& destination, const std::string& via)
{
    // The payload as the person named it may be a link; below it nothing is followed.
    XpFd fd(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st;
    if (!fd.IsValid() || ::fstat(fd.Get(), &st) != 0)
        return;
    if (S_ISREG(st.st_mode))
        recordFile(fd.Get(), destination, destination, via);
    else if (S_ISDIR(st.st_mode))
        recordFolder(fd.Get(), destination, destination, via, 0);
}
