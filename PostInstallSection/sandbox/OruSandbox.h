// OruSandbox: a throw-away desktop in a temporary folder, for running the installer without
// touching the person's own: a home with XDG folders, a system data folder where the package
// puts the target application's desktop entry, a system configuration folder with the autostart
// folder, and a small sample target application that records how it was started.
#ifndef ORUSANDBOX_H
#define ORUSANDBOX_H

#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

// The installer mutex file, as the plug-in names it.
constexpr char kOruInstallerMutexFile[] = "/var/tmp/Oru_5E19DF74-5852-4652-8EF3-F1292401B8B6";

class OruSandbox {
public:
    // Makes the folders under $TMPDIR (else /tmp) and writes the payload desktop entry that
    // starts `sampleApp`. `missingStandardFolders` lists user folders (e.g. "Music") not to create
    // up front. An empty root() tells of failure, with the reason in `error`.
    OruSandbox(const std::string& sampleApp, const std::vector<std::string>& missingStandardFolders,
               std::string* error);
    // Removes the whole tree (symbolic links inside are removed, not followed) unless kept.
    ~OruSandbox();
    OruSandbox(const OruSandbox&) = delete;
    OruSandbox& operator=(const OruSandbox&) = delete;

    void keep() { keep_ = true; }
    const std::string& root() const { return root_; }
    std::string home() const { return root_ + "/home"; }
    std::string configHome() const { return home() + "/.config"; }
    std::string dataHome() const { return home() + "/.local/share"; }
    std::string systemDataDir() const { return root_ + "/usr/share"; }
    std::string systemConfigDir() const { return root_ + "/etc/xdg"; }
    // Where the sample application appends one line per start.
    std::string recordFile() const { return root_ + "/Ombrix Sample/launches.log"; }
    // The desktop entry as the package carries it, and where the installation puts it.
    std::string payloadEntry() const { return root_ + "/payload/com.ombrix.Ombrix.desktop"; }
    std::string installedEntry() const { return systemDataDir() + "/applications/com.ombrix.Ombrix.desktop"; }
    std::string autostartEntry() const { return systemConfigDir() + "/autostart/com.ombrix.Ombrix.desktop"; }
    std::string settingsFile() const { return configHome() + "/com.ombrix.Ombrix/com.ombrix.Ombrix.conf"; }

    // The variables that point a process at the sandbox (HOME and the XDG ones).
    std::vector<std::pair<std::string, std::string>> environment() const;
    // Sets them in this process, and unsets SUDO_UID, SUDO_GID and PKEXEC_UID: in the sandbox the
    // installer acts for nobody but itself.
    void applyToProcess() const;
    // Puts the target application in place, as the installation would.
    bool installTargetApp() const;
    // The Exec line of the sample application's entry, quoted by the Desktop Entry rules.
    std::string execLine() const;
    // The recorded starts, one line each: the arguments as a JSON array, then "new-session" or
    // "same-session".
    std::vector<std::string> recordedLaunches() const;
    // Waits up to `seconds` until at least `count` starts are recorded; returns what is there.
    std::vector<std::string> waitForLaunches(size_t count, double seconds) const;

    // Writes `text` to `path`, making the parent folders.
    static bool writeFile(const std::string& path, const std::string& text);
    static std::string readFile(const std::string& path);

private:
    std::string sampleApp_;
    std::string root_;
    bool keep_ = false;
};

// The installer lock is a System V semaphore set, which outlives every process that used it, as
// a real installer wants. A run on the sandbox sweeps up after itself with this: the sets that
// appeared since the sweep was made and were last used by one of the processes it was told of
// are removed; a set that was there before, or that only other processes used, stays.
class OruSemaphoreSweep {
public:
    // Notes the sets there now, and this process as one of the users.
    OruSemaphoreSweep();
    ~OruSemaphoreSweep() { sweep(); }
    OruSemaphoreSweep(const OruSemaphoreSweep&) = delete;
    OruSemaphoreSweep& operator=(const OruSemaphoreSweep&) = delete;

    void notePid(int pid) { pids_.insert(pid); }
    // Removes the sets made by the noted processes; returns how many.
    int sweep();
    // The ids of the semaphore sets on the system now.
    static std::set<int> currentSets();

private:
    std::set<int> before_;
    std::set<int> pids_;
};

// A private installer lock space for this process and every process it starts from now on: a new
// mount namespace with an empty tmpfs over /var/tmp, and a new IPC namespace. The installer mutex
// file and its semaphore set are then seen by no other process on the machine, and both vanish
// with the last process inside, so runs at the same time never meet and nothing is left behind.
// Each construction makes a fresh space. It needs root (CAP_SYS_ADMIN) and a caller without other
// threads; where that is refused, the shared /var/tmp and the system's semaphores are used: a note
// saying so goes to stderr, and the destructor removes the mutex file (or link) left behind and the
// semaphore sets that this process and the noted ones made.
class OruPrivateLockSpace {
public:
    OruPrivateLockSpace();
    ~OruPrivateLockSpace();
    OruPrivateLockSpace(const OruPrivateLockSpace&) = delete;
    OruPrivateLockSpace& operator=(const OruPrivateLockSpace&) = delete;

    bool isolated() const { return note_.empty(); }
    // Why the space is shared; "" when it is private.
    const std::string& note() const { return note_; }
    // A process whose semaphore sets the shared space sweeps up (nothing to do when private).
    void notePid(int pid);

private:
    std::string note_;
    std::unique_ptr<OruSemaphoreSweep> sweep_;
};

#endif
