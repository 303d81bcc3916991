// OruAppUtility: the portable steps over the Linux desktop services of OruPlatform_Linux.
#include "OruAppUtility.h"

#include "OruPlatform_Linux.h"

#include <InstallerPlugin.h>
#include <InstallerPolkit.h>
#include <XpCommonLib.h>
#include <XpString.h>
#include <XpThread.h>

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

namespace {

namespace platform = OruPlatform_Linux;

const char* const INSTALLER_MUTEX_NAME = "Oru_5E19DF74-5852-4652-8EF3-F1292401B8B6";

// The platform folder types of the four defaults (four-character codes of the user domain).
const uint32_t kPictureDocumentsFolderType = 0x70646F63; // 'pdoc'
const uint32_t kMovieDocumentsFolderType = 0x6D646F63;   // 'mdoc'
const uint32_t kMusicDocumentsFolderType = 0xB5646F63;   // 'µdoc' in Mac Roman
const uint32_t kDocumentsFolderType = 0x646F6373;        // 'docs'

// The installer mutex path, built afresh on each call: "/var/tmp/" joined with the name.
XpPlatformString getInstallerMutexName()
{
    std::string path = std::string("/var/tmp/") + INSTALLER_MUTEX_NAME;
    return XpPlatformString::StringWithUTF8String(path.c_str());
}

// The object-level lock on the class: createMutex and destoryMutex never overlap, and either may
// be entered again by the thread inside.
std::recursive_mutex& classLock()
{
    static std::recursive_mutex lock;
    return lock;
}

// The installer lock this process holds from createMutex to destoryMutex. Installers exclude
// each other by the flock on the mutex file (open read-only, close-on-exec): only this process
// can give it back, whatever anyone does to the semaphore, which is writable by every user (every
// user's installer must use it). The XpMutex on the file is what other processes see: taken
// while the installer holds the lock, given back with it. Both go with the process should it end
// first; Unlock needs the owner thread, and both calls come on the host's main thread.
struct InstallerLock {
    XpFd file;
    std::unique_ptr<XpMutex> mutex;
};

InstallerLock& installerLock()
{
    static InstallerLock lock;
    return lock;
}

// Set when the installer was asked to end while another process held the lock: the file then
// is that installer's mark, and clearing it is not ours to do.
bool g_waitAbandoned = false;

// How often a waiting installer looks at the lock again, and whether it should stop waiting.
const unsigned int kLockPollMilliseconds = 100;

// pkexec's own statuses: the person dismissed the question; not authorized, or an error.
const int kPkexecDismissed = 126;
const int kPkexecFailed = 127;

// Gives back what this process holds. With `removeFile`, the file goes first, and only while the
// path still names the file whose lock this process holds (never a new one of someone else's):
// an installer waiting for that lock then finds its file gone and starts over on a new one,
// instead of taking the lock of a file that is about to disappear.
void releaseInstallerLock(const std::string& path, bool removeFile)
{
    InstallerLock& held = installerLock();
    if (held.mutex) {
        held.mutex->Unlock();
        held.mutex.reset();
        InstallerRecordActivity("mutex-lock", "released");
    }
    if (!held.file.IsValid())
        return;
    std::string detail;
    if (removeFile && !platform::namesOpenFile(path, held.file.Get()))
        InstallerRecordActivity("mutex", "not-removed: another file is there now");
    else if (removeFile && platform::removeMutexFile(path, &detail))
        InstallerRecordActivity("mutex", "removed");
    else if (removeFile)
        InstallerRecordActivity("mutex", "not-removed: " + detail);
    held.file.Reset(); // gives the file lock back
}

// A catalog text with its {pid}, {user}, {program}, {path} and {reason} filled in, in one pass
// (a program's name may itself hold braces).
std::string catalogText(const std::string& key, const std::map<std::string, std::string>& values)
{
    std::string text = platform::bundleLocalizedString(key), out;
    for (size_t i = 0; i < text.size();) {
        size_t close = text[i] == '{' ? text.find('}', i) : std::string::npos;
        auto value = close == std::string::npos ? values.end() : values.find(text.substr(i + 1, close - i - 1));
        if (value != values.end()) {
            out += value->second;
            i = close + 1;
        } else {
            out += text[i++];
        }
    }
    return out;
}

std::map<std::string, std::string> processValues(const platform::ProcessInfo& who)
{
    return {{"pid", std::to_string(who.pid)}, {"user", who.user}, {"program", who.program}};
}

// The line that tells the person what the installer waits for: shown when it changes, but at
// most once every 10 s (a terminal is not flooded while the lock changes hands); who holds the
// lock is looked up at most once a second, and only when a new line may be shown.
class WaitingLine {
public:
    bool due()
    {
        auto now = std::chrono::steady_clock::now();
        if ((looked_ && now - lookedAt_ < std::chrono::seconds(1)) || (shown_ && now - shownAt_ < std::chrono::seconds(10)))
            return false;
        looked_ = true;
        lookedAt_ = now;
        return true;
    }
    void offer(const std::string& text)
    {
        if (shown_ && text == text_)
            return;
        InstallerShowStatus(text);
        shown_ = true;
        text_ = text;
        shownAt_ = std::chrono::steady_clock::now();
    }

private:
    bool looked_ = false, shown_ = false;
    std::chrono::steady_clock::time_point lookedAt_, shownAt_;
    std::string text_;
};

// Waits for the flock on `fd`, naming the process that holds it; false when the installer was
// asked to end meanwhile.
bool waitForFileLock(int fd, WaitingLine& line)
{
    while (!platform::tryLockMutexFile(fd)) {
        if (line.due()) {
            std::string text = platform::bundleLocalizedString("msg_waiting_for_other_installer");
            std::optional<platform::ProcessInfo> who = platform::describeProcess(platform::fileLockHolder(fd));
            if (who)
                text += " " + catalogText("msg_lock_held_by", processValues(*who));
            line.offer(text);
        }
        if (InstallerInterruptRequested())
            return false;
        XpThreadSleep(kLockPollMilliseconds);
    }
    return true;
}

// Opens the mutex file (made or reused) and waits for its file lock. None when no lock is taken:
// the installer was asked to end (g_waitAbandoned), or the file is not one a lock may be taken
// on (said in one line).
XpFd takeFileLock(const std::string& path, WaitingLine& line)
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        std::string detail;
        platform::MutexFileResult made = platform::createMutexFile(path, &detail);
        XpFd fd;
        if (made == platform::MutexFileResult::Created || made == platform::MutexFileResult::Reused)
            fd = platform::openMutexFile(path, &detail);
        if (!fd.IsValid()) {
            // Nothing is written to, followed through or removed at the path: the installer goes
            // on without the lock, as it would with no /var/tmp at all.
            InstallerRecordActivity("mutex", "not-taken: " + detail);
            InstallerShowNotice(catalogText("msg_lock_file_refused", {{"path", path}, {"reason", detail}}));
            return XpFd();
        }
        if (attempt == 0)
            InstallerRecordActivity("mutex", made == platform::MutexFileResult::Created ? "created" : "reused");
        if (!waitForFileLock(fd.Get(), line)) {
            g_waitAbandoned = true;
            InstallerRecordActivity("mutex-lock", "abandoned: the installer was ended while another one held it");
            return XpFd();
        }
        if (platform::namesOpenFile(path, fd.Get()))
            return fd;
        // The holder removed the file as it let go: start over on a new one (fd closes).
    }
    InstallerRecordActivity("mutex", "not-taken: the file keeps being replaced");
    InstallerShowNotice(catalogText("msg_lock_file_refused", {{"path", path}, {"reason", "it keeps being replaced"}}));
    return XpFd();
}

std::string settingsFile()
{
    return platform::configHome() + "/" + TargetAppBundleId + "/" + TargetAppBundleId + ".conf";
}

// "Settings/PhotoHomePath" is key PhotoHomePath of group [Settings]; a key without a group
// lives in [General], as settings files of desktop applications keep it.
std::optional<std::string> readPreference(const std::string& key)
{
    size_t slash = key.find('/');
    if (slash == std::string::npos)
        return platform::readIniValue(settingsFile(), "General", key);
    return platform::readIniValue(settingsFile(), key.substr(0, slash), key.substr(slash + 1));
}

std::optional<std::string> standardFolder(uint32_t folderType)
{
    switch (folderType) {
    case kPictureDocumentsFolderType: return platform::userDirectory("XDG_PICTURES_DIR", "Pictures");
    case kMovieDocumentsFolderType: return platform::userDirectory("XDG_VIDEOS_DIR", "Videos");
    case kMusicDocumentsFolderType: return platform::userDirectory("XDG_MUSIC_DIR", "Music");
    case kDocumentsFolderType: return platform::userDirectory("XDG_DOCUMENTS_DIR", "Documents");
    default: return std::nullopt;
    }
}

// The stored value of `key` unchanged, else the standard folder of `folderType` (created when
// missing), with "/Ombrix" appended for the application folder. nullopt when neither is had.
std::optional<std::string> copyConfigrationedPath(const std::string& key, uint32_t folderType)
{
    std::optional<std::string> stored = readPreference(key);
    if (stored)
        return stored;
    std::optional<std::string> folder = standardFolder(folderType);
    std::optional<platform::DesktopUser> user = platform::desktopUser();
    if (!folder || !platform::makeDirectories(*folder, user ? &*user : nullptr))
        return std::nullopt;
    if (key == kOruApplicationHomePathKey)
        return *folder + "/Ombrix";
    return folder;
}

// The target application's entry and its Exec line as an argument vector; nullopt with the
// reason when it is missing or its Exec line cannot be used.
std::optional<platform::DesktopEntry> findTarget(std::vector<std::string>& argv, std::string& why)
{
    std::optional<platform::DesktopEntry> entry =
        platform::findApplicationEntry(std::string(TargetAppBundleId) + ".desktop", &why);
    if (entry && !entry->has("Exec"))
        why = entry->path + " has no Exec line";
    else if (entry && !platform::splitExecLine(entry->raw.at("Exec"), argv, &why))
        why = entry->path + ": " + why;
    else
        return entry;
    return std::nullopt;
}

std::string joinArguments(const std::optional<std::vector<std::string>>& arguments)
{
    if (!arguments || arguments->empty())
        return "(no arguments)";
    std::string joined;
    for (const std::string& a : *arguments)
        joined += (joined.empty() ? "" : " ") + a;
    return joined;
}

// The login item written by the privileged helper, which pkexec starts as root once polkit
// authorizes it. The helper finds the entry and the folder itself; it prints what it wrote.
bool addLoginItemThroughHelper(const std::string& helper)
{
    std::string output, errors;
    int status = InstallerRunThroughPkexec(helper, {"login-item", "add"}, std::string(), &output, &errors);
    auto line = [](std::string text) {
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        size_t nl = text.rfind('\n');
        return nl == std::string::npos ? text : text.substr(nl + 1);
    };
    if (status == 0) {
        InstallerRecordActivity("login-item", "added " + line(output) + " (privileged helper)");
        return true;
    }
    // pkexec ends with 126 when the person dismissed the question, and with 127 both when polkit
    // said no and when it failed: its message tells the two apart.
    if (status == kPkexecDismissed || (status == kPkexecFailed && errors.find("Not authorized") != std::string::npos))
        InstallerRecordActivity("login-item", "refused: " + line(errors));
    else
        InstallerRecordActivity("login-item", "failed: " + line(errors) + " (status " + std::to_string(status) + ")");
    return false;
}

} // namespace

void OruAppUtility::destoryMutex()
{
    std::lock_guard<std::recursive_mutex> guard(classLock());
    XpPlatformString path = getInstallerMutexName();
    XpStringT<char> fsPath(path);
    if (g_waitAbandoned) {
        if (platform::mutexFileExists(fsPath.GetBuffer()))
            InstallerRecordActivity("mutex", "left to the other installer");
        return;
    }
    // Only the file whose lock this process holds is removed: a file it could not take a lock
    // on (another user's, say) is not its mark.
    releaseInstallerLock(fsPath.GetBuffer(), true);
}

void OruAppUtility::createMutex()
{
    std::lock_guard<std::recursive_mutex> guard(classLock());
    XpPlatformString path = getInstallerMutexName();
    std::string fsPath = XpStringT<char>(path).GetBuffer();
    // A mark left by an earlier createMutex of this process: give its lock back first, or the
    // new one would wait on locks this very process holds.
    releaseInstallerLock(fsPath, false);
    g_waitAbandoned = false;
    WaitingLine line;
    XpFd fd = takeFileLock(fsPath, line);
    if (!fd.IsValid())
        return;
    installerLock().file = std::move(fd);

    // No other installer holds the lock now; the semaphore is taken too, for the processes that
    // look at it. Taken means by a living process: a semaphore left at 0 by one that has ended
    // (or that no process ever took: a set planted at 0) is set free and taken. A living process
    // that is not an installer (it does not hold the file lock) is waited for, and named: it may
    // be a program that keeps an XpMutex on the file, or an older installer, and there is no
    // telling that it will not use what it holds. Its owner, or root, can end it.
    auto mutex = std::make_unique<XpMutex>(XpStringT<char>(fsPath.c_str()));
    XpErr err;
    bool repaired = false;
    while ((err = mutex->Lock(0)) == XPERR_SYNC_TIMEOUT) {
        std::optional<platform::LockSemaphore> sem = platform::lockSemaphore(fsPath);
        if (sem && sem->value == 0) {
            std::optional<platform::ProcessInfo> who = platform::describeProcess(sem->lastPid);
            // A process started after the set last changed cannot have taken it: its number was
            // given again since (a slack of 2 s for the rounding of both times).
            if (who && who->startedAt != 0 && who->startedAt > sem->lastChange + 2)
                who.reset();
            if (!who) {
                std::string pid = std::to_string(sem->lastPid), detail;
                if (!platform::freeLockSemaphore(sem->id, &detail)) {
                    InstallerRecordActivity("mutex-lock", "failed: left taken by process " + pid + ", which has ended, and not set free: " + detail);
                    return; // the file lock still keeps other installers out
                }
                // Said once, and tried again at once; should ended processes keep leaving it
                // taken (someone sets it to 0 again and again), it is not said again, and tried
                // again at the installer's usual pace.
                if (!repaired) {
                    repaired = true;
                    InstallerRecordActivity("mutex-lock", "repaired: left taken by process " + pid + ", which has ended");
                    InstallerShowNotice(catalogText("msg_lock_repaired", {{"pid", pid}}));
                    continue;
                }
            } else if (line.due()) {
                line.offer(catalogText("msg_lock_held_elsewhere", processValues(*who)));
            }
        }
        if (InstallerInterruptRequested()) {
            g_waitAbandoned = true;
            InstallerRecordActivity("mutex-lock", "abandoned: the installer was ended while another process held it");
            releaseInstallerLock(fsPath, false);
            return;
        }
        XpThreadSleep(kLockPollMilliseconds);
    }
    if (err == XPERR_OK) {
        installerLock().mutex = std::move(mutex);
        InstallerRecordActivity("mutex-lock", "held");
    } else {
        // No semaphore to take (its owner made it unusable to us, or removed it): the file lock
        // still keeps other installers out.
        const char* name = XpErrName(err);
        InstallerRecordActivity("mutex-lock", std::string("failed: ") + (name ? name : "unknown"));
    }
}

std::optional<std::map<std::string, std::string>> OruAppUtility::getHomePathSettings()
{
    // The settings file is read afresh by every lookup, which is what synchronizing the
    // preferences domain achieves.
    const std::pair<const char*, uint32_t> folders[] = {
        {kOruPhotoHomePathKey, kPictureDocumentsFolderType},
        {kOruVideoHomePathKey, kMovieDocumentsFolderType},
        {kOruMusicHomePathKey, kMusicDocumentsFolderType},
        {kOruApplicationHomePathKey, kDocumentsFolderType},
    };
    std::map<std::string, std::string> settings;
    for (const auto& folder : folders) {
        std::optional<std::string> value = copyConfigrationedPath(folder.first, folder.second);
        if (!value)
            break; // the dictionary ends at the first folder without a value
        settings.emplace(folder.first, *value);
    }
    return settings;
}

bool OruAppUtility::addToGlobalLoginItems()
{
    // 1. The shared list of global login items: the system autostart folder.
    std::string autostart = platform::systemAutostartDirectory();
    if (autostart.empty())
        return false;
    // 2-4. The authorization: the person (or polkit, through the host) grants the right.
    if (!InstallerRequestAuthorization(kOruGlobalLoginItemsRight,
                                       platform::bundleLocalizedString("msg_login_item_authorization"))) {
        InstallerRecordActivity("login-item", "refused");
        return false;
    }
    // A folder this process cannot write (the nearest existing one, when the autostart folder is
    // still to be made) is root's: a person's installer hands the write to the privileged helper.
    std::string probe = autostart;
    while (::access(probe.c_str(), F_OK) != 0 && probe.find('/') != std::string::npos && probe != "/") {
        probe = probe.substr(0, probe.rfind('/'));
        if (probe.empty())
            probe = "/";
    }
    if (::access(probe.c_str(), W_OK | X_OK) != 0) {
        std::string helper = InstallerPrivilegedHelper(); // the host names it
        if (::geteuid() == 0 || helper.empty()) {
            InstallerRecordActivity("login-item", "refused: " + probe + " is not writable");
            return false;
        }
        return addLoginItemThroughHelper(helper);
    }
    // 5. The target application as the system has it: an entry that runs for every user at login
    // is never taken from one user's own applications folder. Its Exec line must be one the
    // desktop can start from.
    std::string why;
    std::string name = std::string(TargetAppBundleId) + ".desktop";
    std::optional<platform::DesktopEntry> entry =
        platform::findApplicationEntryIn(platform::systemDataDirectories(), name, &why);
    std::optional<std::string> text = entry ? platform::loginItemText(*entry, TargetAppBundleId, &why) : std::nullopt;
    // 6-7. The entry, icon included, at the end of the list: one autostart file per application.
    if (!text || !platform::writeFileAtomically(autostart, name, *text, &why)) {
        InstallerRecordActivity("login-item", "failed: " + why);
        return false;
    }
    InstallerRecordActivity("login-item", "added " + autostart + "/" + name);
    return true;
}

bool OruAppUtility::launchApplicationWithArguments(const std::optional<std::vector<std::string>>& arguments)
{
    std::string why;
    std::vector<std::string> argv;
    if (findTarget(argv, why)) {
        if (arguments)
            argv.insert(argv.end(), arguments->begin(), arguments->end());
        // Run as root for a desktop user, the application is the user's, not root's.
        std::optional<platform::DesktopUser> user = platform::desktopUser();
        if (platform::spawnDetached(argv, user ? &*user : nullptr, nullptr, &why)) {
            std::string as = user ? " as " + (user->name.empty() ? "uid " + std::to_string(user->uid) : user->name) : "";
            InstallerRecordActivity("launch", joinArguments(arguments) + as);
            return true;
        }
    }
    InstallerRecordActivity("launch", "failed (" + joinArguments(arguments) + "): " + why);
    return false;
}

bool OruAppUtility::alreadyInstalled()
{
    return platform::findApplicationEntry(std::string(TargetAppBundleId) + ".desktop", nullptr).has_value();
}
