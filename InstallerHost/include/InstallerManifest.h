// InstallerManifest: what an installation placed, so that `--uninstall BUNDLE` removes exactly that.
//
// Where: one manifest per bundle, `xp-installer/NAME.manifest` in the data folder of whoever ran
// the installer ($XDG_DATA_HOME, else ~/.local/share; root's own when root ran it), NAME the
// bundle's name without ".bundle". It is owned like the files that installer placed itself (the
// same user), written whole and durably (XpStagedFile::WriteWhole, mode 0600: it names what lies
// where) after each payload and again when the road ends, so a run stopped half-way still leaves
// the record of what it did place. A later installation of the same bundle adds to it: a
// destination installed again replaces its own entry.
//
// Format: a GKeyFile. [Installation] Bundle=, LoginItem= (the all-users login item the plug-in
// reported adding), LoginItemChecksum=, LoginItemThroughHelper=; then one [Payload N] group per
// destination: Destination= (as given), ThroughHelper=, Device= (the volume of its folder),
// Folders= (those the installer made, which did not exist before), Files= with Checksums= (SHA-256
// of each file as placed, in the same order) and Links=, all relative to the destination's folder
// (so they start with the destination's own name).
//
// Removal (InstallerUninstall) works on descriptors from the destination's folder down, never
// following a link and never entering another volume: a file goes only when its checksum is
// still the recorded one (a changed file stays, and is named), a link planted where a file was
// placed is removed as a link, never followed, a folder goes only when it is empty once our files
// are gone, and nothing the manifest does not list is touched. Payloads the privileged helper
// placed and the login item it wrote are removed through the helper (`remove-payload DEST`,
// `login-item remove`).
#ifndef INSTALLERMANIFEST_H
#define INSTALLERMANIFEST_H

#include <InstallerPlugin.h>

#include <functional>
#include <string>
#include <vector>

// What a payload will place, looked at before it is copied (which of its folders exist already).
struct InstallerManifestPlan {
    std::string destination;
    std::vector<std::string> folders; // made by the installer
    std::vector<std::string> files;
    std::vector<std::string> links;
};

// The manifest's path for the bundle at `bundlePath` ("" when no data folder is known).
INSTALLER_API std::string InstallerManifestPathFor(const std::string& bundlePath);
// A bundle's name: the last component of its path without trailing '/' and without ".bundle".
INSTALLER_API std::string InstallerBundleName(const std::string& bundlePath);

// Names the bundle whose installation is recorded (the host calls it once it has loaded it).
INSTALLER_API void InstallerManifestBegin(const std::string& bundlePath);
// Looks at `source` and `destination` before the copy.
INSTALLER_API InstallerManifestPlan InstallerManifestPlanPayload(const std::string& source, const std::string& destination);
// Records a payload placed by this process (checksums read from what lies at the destination now)
// or through the helper, and writes the manifest. "" or why it could not be written.
INSTALLER_API std::string InstallerManifestNotePayload(const InstallerManifestPlan& plan, bool throughHelper);
// Records the login item from the plug-in's activities (InstallerActivities) and writes the
// manifest when anything was recorded. "" or why it could not be written.
INSTALLER_API std::string InstallerManifestNoteEnd();

// Exit statuses of a removal, beside InstallerFrontEnd.h's: nothing recorded for the bundle (or
// the record unreadable), and a step that failed (the record then stays for another try). Files
// kept on purpose (changed, folders not empty) are no failure.
enum { kInstallerExitNothingRecorded = 6, kInstallerExitRemovalFailed = 7 };

// One step of a removal, as a person reads it.
struct InstallerRemovalStep {
    enum Kind { Removed, Kept, Failed } kind = Removed;
    std::string path;
    std::string text; // one line, in the person's language
};
using InstallerRemovalObserver = std::function<void(const InstallerRemovalStep&)>;

struct InstallerRemovalResult {
    bool found = false;   // a manifest was there
    size_t removed = 0;
    size_t kept = 0;      // left in place on purpose (changed, not empty, not ours any more)
    size_t failed = 0;    // could not be removed
    std::string error;    // why the manifest could not be read, when !found
};

// Removes what the manifest of the bundle at `bundlePath` lists, telling `observer` each step;
// the manifest goes last, unless something failed (then it stays, for another try).
INSTALLER_API InstallerRemovalResult InstallerUninstall(const std::string& bundlePath, const InstallerRemovalObserver& observer);

#endif
