// OruAppUtility: everything the plug-in asks of the platform about the target application:
// whether it is installed, its four media folders, starting it with arguments, registering it as
// a login item for all users, and the installer mutex. Class methods only; no state between calls
// except the installer mutex, which is held from createMutex to destoryMutex.
//
// On Linux (see OruPlatform_Linux.h) the target application is the desktop entry
// "com.ombrix.Ombrix.desktop", its preferences the INI file
// $XDG_CONFIG_HOME/com.ombrix.Ombrix/com.ombrix.Ombrix.conf, and its login item for all users the
// autostart entry of that name in the system autostart folder.
//
// The installer lock taken by createMutex is given back by destoryMutex, at the moment the file
// goes, rather than when the installer process ends: both run on the host's main thread, which
// is the owner that XpMutex requires. Should the process end first, the kernel gives it back.
// The lock is two: an flock on the mutex file, by which installers exclude each other and which
// only its holder can give back, and the XpMutex's semaphore on the file, which other processes
// see, and which every user may set (installers of every user share it). A semaphore left taken
// by a process that has ended is set free; a living process that holds it is waited for.
//
// Run as root for a desktop user (sudo's SUDO_UID, pkexec's PKEXEC_UID, else the owner of $HOME
// when that is not root), the plug-in works in that user's home and starts the target application
// and makes the default folders as that user: a child process takes the user's groups and ids
// before it runs the program or makes the folders. Only the login item for all users and the
// installer mutex, which are the system's, are written as root. The launch may use the user's
// own desktop entry; the login item for all users never does.
#ifndef ORUAPPUTILITY_H
#define ORUAPPUTILITY_H

#include <map>
#include <optional>
#include <string>
#include <vector>

// The target application's bundle identifier: its desktop file ID without ".desktop", and the
// name of its preferences domain.
constexpr char TargetAppBundleId[] = "com.ombrix.Ombrix";

// The target application's folder preference keys (read only).
constexpr char kOruPhotoHomePathKey[] = "Settings/PhotoHomePath";
constexpr char kOruVideoHomePathKey[] = "Settings/VideoHomePath";
constexpr char kOruMusicHomePathKey[] = "Settings/MusicHomePath";
constexpr char kOruApplicationHomePathKey[] = "Settings/ApplicationHomePath";

// The authorization right asked for before a login item for all users is added.
constexpr char kOruGlobalLoginItemsRight[] = "system.global-login-items.";

class OruAppUtility {
public:
    OruAppUtility() = delete;

    // Clears the installer mutex mark: gives back the installer lock this process holds and
    // removes the mutex file it holds it on (only that one: never a file put there since, nor one
    // it took no lock on); without a lock does nothing. Excludes createMutex.
    static void destoryMutex();
    // Sets the installer mutex mark: creates the empty file /var/tmp/Oru_5E19DF74-...-F1292401B8B6
    // (or reuses an empty regular file there), takes the flock on it, then the XpMutex named by
    // it. While another process holds either, it waits and the host is told (InstallerShowStatus)
    // who: process id, user and program, again when that changes, at most every 10 s. When the
    // host is asked to end meanwhile (InstallerInterruptRequested) the wait is given up, no lock
    // is kept and the other's file is left to it by destoryMutex. A semaphore left taken by a
    // process that has ended is set free, in one line (InstallerShowNotice). When the file cannot
    // be used (a symbolic link, anything but an empty regular file, a file it may not read, or
    // creation fails) it is left as it is, no lock is taken, that is said in one line, and it
    // returns at once. Excludes destoryMutex.
    static void createMutex();
    // The four folders by key, each the stored preference (unchanged) or the default: the user's
    // Pictures, Videos, Music and Documents + "/Ombrix" XDG folders, creating a missing standard
    // folder (not the Ombrix sub-folder). The map ends at the first folder that cannot be had.
    static std::optional<std::map<std::string, std::string>> getHomePathSettings();
    // Writes the target application's autostart entry for all users after the person (or polkit,
    // through the host) granted "system.global-login-items.". The entry is built from the
    // system-wide desktop entry only ($XDG_DATA_DIRS), never from a user's own. A process that may
    // write the system autostart folder writes it itself; one that is not root hands the write to
    // the host's privileged helper through pkexec (InstallerPrivilegedHelper). false when refused,
    // the application has no system-wide entry, its Exec line cannot be started from (the entry
    // is then not written: the recorded activity says why), or the entry could not be written.
    static bool addToGlobalLoginItems();
    // Starts the target application detached with `arguments` appended to its Exec line
    // (nullopt: none), as the desktop user when acting for one. true when the process was started.
    static bool launchApplicationWithArguments(const std::optional<std::vector<std::string>>& arguments);
    // Whether the target application's desktop entry is found (running or not).
    static bool alreadyInstalled();
};

#endif
