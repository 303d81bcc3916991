// The removal of what an installation placed beneath one destination's folder (InstallerManifest.h
// gives the rules), shared by the host and the privileged helper, which compiles it in: both
// remove on descriptors, never following a link and never leaving the folder's volume.
#ifndef INSTALLERREMOVAL_H
#define INSTALLERREMOVAL_H

#include <InstallerManifest.h>
#include <XpFd.h>

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// What was placed beneath the destination's folder, by names relative to it.
struct InstallerRemovalList {
    std::vector<std::string> folders; // made by the installer
    std::vector<std::string> files;
    std::vector<std::string> checksums; // SHA-256 of each file as placed, in hex
    std::vector<std::string> links;
};

using InstallerRemovalSay = std::function<void(InstallerRemovalStep::Kind, const std::string& path, const std::string& text)>;

// Removes `list` beneath the open folder `top` (shown as `folderPath`) on `device`: each file
// whose checksum is still the recorded one, a link where a file or link was placed (as a link),
// then the folders, deepest first, that are empty by then. Everything else stays and is said.
void InstallerRemoveListed(int top, dev_t device, const std::string& folderPath, const InstallerRemovalList& list,
                           const InstallerRemovalSay& say);

// SHA-256 (in hex) and size of what is left to read of the open file `fd`, a piece at a time;
// false, with errno set, when a read fails.
bool InstallerSha256Of(int fd, std::string& hex, unsigned long long* size = nullptr);

// SHA-256 of the regular file `name` in `folder` (on `device` unless it is 0), read a piece at a
// time; a link, FIFO or device there is neither followed nor read.
bool InstallerChecksumAt(int folder, const std::string& name, std::string& hex, std::string* why, dev_t device = 0);

// Opens the folder that holds `rel` (names without "", "." or "..") beneath `top`, one component
// at a time, never following a link nor leaving `device`; `leaf` is rel's last name.
bool InstallerOpenParentOf(int top, const std::string& rel, dev_t device, XpFd& parent, std::string& leaf, std::string& why);

#endif
