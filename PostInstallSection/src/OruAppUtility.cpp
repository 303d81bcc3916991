// OruAppUtility: the portable steps over the Linux desktop services of OruPlatform_Linux.
#include "OruAppUtility.h"

#include "OruPlatform_Linux.h"

#include <InstallerPlugin.h>
#include <InstallerPolkit.h>
#include <XpCommonLib.h>
#include <XpString.h>
#include <XpThread.h>

#include <unistd.h>

#include <cstdint>
#include <memory>
#include <mutex>

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

// The mutex taken by createMutex stays alive until destoryMutex, so the lock is given back at
// the moment the mark is cleared instead of when the installer process ends. Both happen on the
// host's main thread, which is the owner XpMutex requires for Unlock. The kernel still gives the
// lock back (SEM_UNDO) should the process end without destoryMutex.
std::unique_ptr<XpMutex>& installerMutex()
{
    static std::unique_ptr<XpMutex> mutex;
    return mutex;
}

// Set when the installer was asked to end while another installer held the lock: the file then
// is that installer's mark, and clearing it is not ours to do.
bool g_waitAbandoned = false;

// How often a waiting installer looks at the lock again, and whether it should stop waiting.
const unsigned int kLockPollMilliseconds = 100;

// pkexec's own statuses: the person dismissed the question; not authorized, or an error.
const int kPkexecDismissed = 126;
const int kPkexecFailed = 127;

void releaseInstallerMutex()
{
    std::unique_ptr<XpMutex>& held = installerMutex();
    if (held) {
        held->Unlock();
        held.reset();
        InstallerRecordActivity("mutex-lock", "released");
    }
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
    if (!platform::mutexFileExists(fsPath.GetBuffer()))
        return;
    if (g_waitAbandoned) {
        InstallerRecordActivity("mutex", "left to the other installer");
        return;
    }
    releaseInstallerMutex();
    std::string detail;
    if (platform::removeMutexFile(fsPath.GetBuffer(), &detail))
        InstallerRecordActivity("mutex", "removed");
    else
        InstallerRecordActivity("mutex", "not-removed: " + detail);
}

void OruAppUtility::createMutex()
{
    std::lock_guard<std::recursive_mutex> guard(classLock());
    XpPlatformString path = getInstallerMutexName();
    XpStringT<char> fsPath(path);
    // A mark left by an earlier createMutex of this process: give its lock back first, or the
    // new mutex could wait on a semaphore this very process holds.
    releaseInstallerMutex();
    std::string detail;
    platform::MutexFileResult made = platform::createMutexFile(fsPath.GetBuffer(), &detail);
    switch (made) {
    case platform::MutexFileResult::Created:
        InstallerRecordActivity("mutex", "created");
        break;
    case platform::MutexFileResult::Reused:
        InstallerRecordActivity("mutex", "reused");
        break;
    default:
        // A mutex on a path that is not our file could never be granted, or would follow a link
        // someone planted: take no lock and go on.
        InstallerRecordActivity("mutex", "not-taken: " + detail);
        return;
    }
    // Waits without limit like Lock(XP_INFINITE_TIMEOUT), but by trying again and again, so that
    // the person can still end the installer (Ctrl-C) while another one holds the lock, and is
    // told why nothing happens meanwhile.
    auto mutex = std::make_unique<XpMutex>(fsPath);
    XpErr err = mutex->Lock(0);
    if (err == XPERR_SYNC_TIMEOUT)
        InstallerShowStatus(platform::bundleLocalizedString("msg_waiting_for_other_installer"));
    for (; err == XPERR_SYNC_TIMEOUT; err = mutex->Lock(0)) {
        if (InstallerInterruptRequested()) {
            g_waitAbandoned = true;
            InstallerRecordActivity("mutex-lock", "abandoned: the installer was ended while another one held it");
            return;
        }
        XpThreadSleep(kLockPollMilliseconds);
    }
    if (err == XPERR_OK) {
        installerMutex() = std::move(mutex);
        InstallerRecordActivity("mutex-lock", "held");
    } else {
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
