// InstallerPayload: installs one payload, a file or a whole application folder, at its
// destination, on one of two roads:
//
// - as this process (the person, or root), through the library's file-safety layer: a file is
//   staged beside its destination and put in place durably (XpStagedFile), a folder goes through
//   the library's tree copy;
// - through the privileged helper, for a destination in a system folder the person may not
//   write: this process opens and walks the payload itself, with descriptors (never following a
//   link inside it, a file read only once its open descriptor says it is a regular file, links
//   sent as links), and writes it as a stream of records (InstallerPayloadStream.h) to the
//   helper's standard input; the helper checks every name and writes through the library's tree
//   writer. Neither side holds more than a chunk of a file in memory, whatever its size.
//
// Both roads report progress in bytes and files, and stop when the observer asks: the file being
// copied is then dropped (nothing of it appears under its name), what was complete before stays,
// as with an interrupted `cp -a`. A payload that holds anything but regular files, folders and
// links (a FIFO, a socket, a device) is refused before anything is written, and without reading
// it, which could hang the installer; so is a name of the library's own staging
// (".xpcopy-" + 8 hex digits + ".tmp", debris of an interrupted copy), which no writer would
// place. The payload named by the person may itself be a link to a file or a folder (followed,
// as the person named it); below it, links are copied as links.
//
// A folder installed where a folder of its name lies already is merged into it, as `cp -a` does:
// its files replace those of the same names, other files there stay. A file is on disk (fsync)
// before it takes its name; a folder's files are put on disk together (syncfs) before the folder
// counts as installed.
#ifndef INSTALLERPAYLOAD_H
#define INSTALLERPAYLOAD_H

#include <InstallerPlugin.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Where a payload's copy has got to.
struct InstallerPayloadProgress {
    uint64_t bytesDone = 0;
    uint64_t bytesTotal = 0; // of the regular files, counted before the copy starts
    size_t filesDone = 0;    // regular files placed (folders and links are not counted)
    size_t filesTotal = 0;
};
// Called while the payload is copied; answering true stops the copy.
using InstallerPayloadObserver = std::function<bool(const InstallerPayloadProgress&)>;

enum class InstallerPayloadOutcome { Installed, Failed, Cancelled };

struct InstallerPayloadResult {
    InstallerPayloadOutcome outcome = InstallerPayloadOutcome::Failed;
    std::string error; // why it failed, one line, for the installation page
};

// Whether this process may make and write the destination's folder (its nearest existing
// ancestor): otherwise the payload needs the privileged helper.
INSTALLER_API bool InstallerPayloadMayWrite(const std::string& destination);

// Looks at `source` as both roads do before they write anything: true when it is a regular file
// or a folder that holds only what a payload may hold, with its size and number of entries in
// `totals`; false with the reason otherwise. `isFolder` (may be null) tells which it is.
INSTALLER_API bool InstallerPayloadInspect(const std::string& source, InstallerPayloadProgress* totals, bool* isFolder,
                                           std::string* error);

// One payload as the installation step will write it: as this process, or through the
// privileged helper (as root).
struct InstallerPayloadPlan {
    std::string source;
    std::string destination;
    bool throughHelper = false;
};

// The room a payload of `size` bytes needs on its volume: its size and a margin of 1% of it, at
// least 16 MiB, for the file systems' own blocks (folders, inodes, a journal) and for what other
// programs write meanwhile. A file that is replaced is not counted as freed: the new copy is
// staged beside it and takes its name only once complete, so both lie on the volume for a while.
INSTALLER_API uint64_t InstallerPayloadRoomNeeded(uint64_t size);

// Looks, before anything is copied, at whether every payload of `plan` can be installed: each is
// inspected (InstallerPayloadInspect); each destination's folder (the nearest that exists) must
// be writable by whoever will write it (this process: faccessat with its effective ids; the
// helper or root: not on a read-only mount, and a folder, not a file); and each volume must have
// free the room of all payloads that go to it (InstallerPayloadRoomNeeded), as statvfs tells it
// (the blocks free to anyone for the person, all free blocks for root). false at the first
// payload that fails, with its destination and the reason in the person's language.
INSTALLER_API bool InstallerPayloadPreflight(const std::vector<InstallerPayloadPlan>& plan, std::string* destination,
                                             std::string* error);

// Installs `source` at `destination` as this process.
INSTALLER_API InstallerPayloadResult InstallerPayloadInstall(const std::string& source, const std::string& destination,
                                                             const InstallerPayloadObserver& observer);

// Installs `source` at `destination` through the helper: runs `command` (pkexec and the helper,
// or the helper alone where the caller is root already) with the arguments "install-payload"
// and `destination` appended, and streams the payload to its standard input. A refusal of the
// helper is Failed with its message and exit status.
INSTALLER_API InstallerPayloadResult InstallerPayloadInstallThroughHelper(const std::vector<std::string>& command,
                                                                          const std::string& source,
                                                                          const std::string& destination,
                                                                          const InstallerPayloadObserver& observer);

// Writes `source` as a payload stream to `out` (a pipe, or a file), the road's sending half.
// Cancelled when the observer stopped it: the stream then ends without its last record, which
// a reader takes as malformed.
INSTALLER_API InstallerPayloadResult InstallerPayloadSend(const std::string& source, int out,
                                                          const InstallerPayloadObserver& observer);

#endif
