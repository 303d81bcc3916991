// OruPlatform_Linux: what the plug-in asks of a Linux desktop, each a freedesktop.org service.
//
// - The target application is the desktop entry whose desktop file ID is "<bundle id>.desktop",
//   found in $XDG_DATA_HOME/applications, then in each $XDG_DATA_DIRS/*/applications.
// - It is started from its Exec line (unquoted by the Desktop Entry rules, field codes removed,
//   our arguments appended) with posix_spawn in a new session, never through a shell.
// - Its settings are read from its INI file $XDG_CONFIG_HOME/<bundle id>/<bundle id>.conf;
//   the folder defaults are the user's XDG directories (user-dirs.dirs). These files lie in
//   folders the user controls, so only a regular file is ever read (a FIFO, device or socket there,
//   also behind a link, counts as absent and is never waited on), and at most 1 MiB of it.
// - Run as root on behalf of a desktop user (see desktopUser), the application is started and the
//   user's folders are made by a child process that has become that user first.
// - A login item for all users is an autostart entry in the system autostart folder (the first of
//   $XDG_CONFIG_DIRS, then "autostart"), built from the system-wide entry alone, written to a
//   temporary name and renamed into place, never through a symbolic link. The privileged helper
//   (helper/oru_privileged_helper.cpp) builds it with the same lookup and checks.
// - Localized texts come from the gettext catalogs of the plug-in's bundle folder.
// - The installer mutex file is created with O_CREAT|O_EXCL|O_NOFOLLOW; a symbolic link there is
//   never followed nor removed. Installers exclude each other by an flock on it (opened read-only,
//   never through a link, only an empty regular file), which only its holder can give back; the
//   semaphore set keyed on it is what other processes see, and anyone may change its value.
//   /proc tells who holds either (/proc/locks, the set's last pid) and who that process is.
#ifndef ORUPLATFORM_LINUX_H
#define ORUPLATFORM_LINUX_H

#include <XpFd.h>

#include <sys/types.h>

#include <cstdint>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace OruPlatform_Linux {

// A parsed desktop entry: the keys of its [Desktop Entry] group with their raw (still escaped)
// values. Localized keys (Name[de]) are kept under their full name.
struct DesktopEntry {
    std::string path;
    std::map<std::string, std::string> raw;

    bool has(const std::string& key) const { return raw.count(key) != 0; }
    // The value with the string escapes (\s \n \t \r \\) resolved; "" when absent.
    std::string value(const std::string& key) const;
};

// Parses the text of a desktop entry. false with a reason when there is no [Desktop Entry] group.
// Lines that are neither comments, group headers nor key=value are skipped.
bool parseDesktopEntry(const std::string& text, DesktopEntry& entry, std::string* error);

// Finds the application entry with the desktop file ID `desktopFileId` ("com.example.App.desktop")
// in the XDG data directories. An entry that is not Type=Application, or is Hidden=true, hides the
// ID as if absent (the first directory holding the ID decides). nullopt with a reason otherwise.
std::optional<DesktopEntry> findApplicationEntry(const std::string& desktopFileId, std::string* why);
// The same lookup in the "applications" folders of `dataDirs` only, in their order.
std::optional<DesktopEntry> findApplicationEntryIn(const std::vector<std::string>& dataDirs,
                                                  const std::string& desktopFileId, std::string* why);
// The system data folders: $XDG_DATA_DIRS (absolute entries), default /usr/local/share:/usr/share.
// A login item that runs for every user is built only from an entry found there, never from a
// user's own ~/.local/share/applications.
std::vector<std::string> systemDataDirectories();

// The text of an autostart entry that starts the application of `entry`: its Name (else
// `fallbackName`), Exec and Icon, and a comment. nullopt with the reason when the entry has no
// Exec line or one that checkExecLine refuses (the desktop could not start such an entry), or
// when Name, Exec or Icon is not valid UTF-8 or holds a raw control character: the text written
// is always an entry desktop-file-validate accepts, or there is none.
std::optional<std::string> loginItemText(const DesktopEntry& entry, const std::string& fallbackName, std::string* why);

// Turns an Exec value (raw, as in the file) into an argument vector: string escapes resolved, then
// quoting by the Desktop Entry rules, then field codes (%f %F %u %U %i %c %k and the deprecated
// ones) dropped and %% made '%'. false with a reason for an unterminated quote, a reserved
// character outside quotes, a NUL byte anywhere (execve would end the word there and start a
// shorter command), or an empty command. The words are passed literally, never to a shell.
bool splitExecLine(const std::string& rawExec, std::vector<std::string>& argv, std::string* error);
// What splitExecLine refuses, and also what the Desktop Entry rules forbid though a launch can
// do without: a $ or ` inside quotes without its backslash (or a backslash there before anything
// else), an unknown or incomplete field code (quoted ones too), more than one of %f %u %F %U.
// An Exec line copied into an entry that others' desktops read must pass this.
bool checkExecLine(const std::string& rawExec, std::string* error);

// The person an installer running as root works for, whose application and folders it must not
// make root's.
struct DesktopUser {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups; // supplementary groups
    std::string name;          // "" when the password database does not know the user
    std::string home;
};

// Whom a root installer acts for: SUDO_UID (with SUDO_GID), else PKEXEC_UID, else the owner of
// $HOME when that is not root. nullopt when the process is not root or no such user is named
// (then it acts for itself). The user's home is $HOME when the user owns it, else the password
// database's.
std::optional<DesktopUser> desktopUser();

// Starts argv detached: a new session, signals at their defaults, standard input and output on
// /dev/null, no other descriptor. argv[0] without '/' is looked up in PATH. With `as`, the child
// takes that user's groups, group and user id, HOME, USER and LOGNAME and starts in the user's
// home before it runs the program. true once the program has been executed; otherwise false with
// the reason.
bool spawnDetached(const std::vector<std::string>& argv, const DesktopUser* as, pid_t* pid, std::string* error);

// Reads `key` of `group` from an INI file, re-reading the file on every call. A value in double
// quotes is unquoted (\" and \\ escapes). nullopt when the file, the group or the key is missing.
// Of a file larger than 1 MiB, the whole lines within the first MiB are read.
std::optional<std::string> readIniValue(const std::string& file, const std::string& group,
                                        const std::string& key);

// The user's XDG directory `xdgName` (e.g. "XDG_PICTURES_DIR") from user-dirs.dirs, else
// $HOME/<fallbackName>. nullopt when no home folder can be found.
std::optional<std::string> userDirectory(const std::string& xdgName, const std::string& fallbackName);

// Creates the folder and its missing parents (0755 less the umask), as `as` when given (in a child
// process that has become that user, so what is made is the user's and no link the user planted
// leads the installer elsewhere). true when it exists after.
bool makeDirectories(const std::string& path, const DesktopUser* as = nullptr);

// The desktop user's home when acting for one, else $HOME, else the password database entry of
// the real user; "" when none is known.
std::string homeDirectory();
// $XDG_CONFIG_HOME, default ~/.config.
std::string configHome();
// The system autostart folder: first of $XDG_CONFIG_DIRS (default /etc/xdg) + "/autostart".
std::string systemAutostartDirectory();

// Writes `contents` as `directory`/`name`: a new temporary file in the same folder, then
// rename over the name. Refuses when the folder or the name is a symbolic link (or the name is
// anything but a regular file), so nothing is followed and nothing else is replaced.
bool writeFileAtomically(const std::string& directory, const std::string& name,
                         const std::string& contents, std::string* error);

// Escapes a value for a desktop entry (\s at the start, \n \t \r \\).
std::string escapeDesktopValue(const std::string& value);

// The text of `key` in the plug-in bundle's gettext catalog, in the user's language; the key
// itself when the catalog lacks it.
std::string bundleLocalizedString(const std::string& key);

// Outcome of placing the installer mutex file.
enum class MutexFileResult { Created, Reused, NotRegularFile, Failed };

// Creates the empty file at `path` (open O_CREAT|O_EXCL|O_NOFOLLOW, 0644), or reuses a regular
// file already there. A symbolic link or any other kind of object is left as it is.
MutexFileResult createMutexFile(const std::string& path, std::string* detail);
// Whether a regular file (not a link to one) is at `path`.
bool mutexFileExists(const std::string& path);
// Removes the file at `path` if it is a regular file; true when it was removed.
bool removeMutexFile(const std::string& path, std::string* detail);

// Opens the installer mutex file for its file lock: read-only (nothing is ever written to it),
// without following a link and without waiting on a FIFO or device, and keeps it only when the
// descriptor is an empty regular file. No descriptor, with the reason, otherwise.
XpFd openMutexFile(const std::string& path, std::string* detail);
// Takes the exclusive file lock on `fd` without waiting; true when this descriptor has it. The
// kernel gives it back when the last descriptor of that open goes, so with close-on-exec only
// the process that took it holds it, and nobody else can give it back.
bool tryLockMutexFile(int fd);
// Whether `path` still names the file open on `fd`: an installer ending removes its file before
// it lets go, so a waiter that got the lock of a removed file must start over on the new one.
bool namesOpenFile(const std::string& path, int fd);
// The process that holds a file lock on the file open on `fd` (other than through `fd`), from
// /proc/locks; 0 when none is seen (or the holder is in another pid namespace).
pid_t fileLockHolder(int fd);

// A process as the installer names it: its id, its (real) user, and its program (the executable
// when it may be read, else the first word of its command line, else its name), with control
// characters and bytes that are not UTF-8 shown as '?'. `startedAt` is its start in seconds since
// the epoch (0 when unknown).
struct ProcessInfo {
    pid_t pid = 0;
    std::string user;
    std::string program;
    long long startedAt = 0;
};
// nullopt when no such process lives (a zombie has ended too).
std::optional<ProcessInfo> describeProcess(pid_t pid);

// The semaphore of the XpMutex named by `path`, as the kernel keeps it: the set's id, the value
// (1 free, 0 taken), the process of the last operation, and when the set last changed (the later
// of its last operation and its last control call). nullopt when there is none or it may not be read.
struct LockSemaphore {
    int id = -1;
    int value = -1;
    pid_t lastPid = 0;
    long long lastChange = 0;
};
std::optional<LockSemaphore> lockSemaphore(const std::string& path);
// Sets the semaphore free again (SETVAL 1), which also clears every process's undo of it. For a
// semaphore left taken by a process that has ended; false with the reason when refused.
bool freeLockSemaphore(int id, std::string* detail);

} // namespace OruPlatform_Linux

#endif
