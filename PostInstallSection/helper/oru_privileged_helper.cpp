// oru-privileged-helper: the one step of the installer that needs root when a person runs it,
// started only through pkexec (the polkit action com.ombrix.installer.global-login-items names
// this program and its first argument).
//
//   oru-privileged-helper login-item add      writes the all-users autostart entry of the target
//   oru-privileged-helper login-item remove   application / removes it
//   oru-privileged-helper install-payload DEST  places the payload (a file or a folder) that
//                                               standard input describes as a stream of records
//                                               (InstallerPayloadStream.h) at DEST (action
//                                               com.ombrix.installer.install-payload)
//   oru-privileged-helper remove-payload DEST   removes what the installer recorded placing at
//                                               DEST: standard input lists it, one line each,
//                                               "D NAME" a folder it made, "F SHA256 NAME" a file,
//                                               "L NAME" a link, names relative to DEST's folder
//                                               (action com.ombrix.installer.remove-payload)
//
// Nothing else, and no path it did not check: the folders come from the helper's own
// configuration (root's file, ORU_HELPER_CONFIG; built-in defaults when it is absent), the
// entry's file name from the application id, the entry from the application's system-wide
// desktop entry, checked as the plug-in checks it. A payload destination must lie directly in one
// of the configured payload folders; the payload comes on standard input (walked and read by the
// caller as the caller), so root reads no file the caller names, and every name in it is checked
// before anything is written under it. The payload may be of any size: it is written as it comes,
// a piece at a time. Every folder is opened from "/" down without
// following a link; files are written to a temporary created with O_CREAT|O_EXCL|O_NOFOLLOW and
// renamed into place. No shell, no other program. Each refusal has its own exit status and one
// line on standard error (control characters escaped). The configuration is taken exactly as
// written: a control character on a line (a CRLF end, a NUL), blanks around a key or value, or a
// file over 64 KiB is refused with status 4 before any folder is opened.
#include "OruAppUtility.h"
#include "OruPlatform_Linux.h"

#include <InstallerDisplayText.h>
#include <InstallerPayloadStream.h>
#include "InstallerRemoval.h"
#include <XpFd.h>
#include <XpStagedFile.h>
#include <XpTreeWriter.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

enum Status {
    kDone = 0,
    kUsage = 2,          // an argument it does not expect
    kNotThroughPkexec = 3,
    kConfiguration = 4,  // its configuration cannot be trusted or used
    kNoEntry = 5,        // no usable system-wide entry of the application
    kRefusedObject = 6,  // a link or anything but a regular file where the entry goes
    kWriteFailed = 7,
    kPayloadRefused = 8, // a payload destination outside the payload folders, or a stream that
                         // ended early or is malformed
};

const char* const kProgram = "oru-privileged-helper";

// Its configuration is a few lines: what is larger was not written by an administrator.
const size_t kMaxConfiguration = 64u << 10;

// One line on standard error, whatever the message quotes (a name or a line from a file):
// control characters escaped, so the caller that shows it gets one line.
int fail(int status, const std::string& message)
{
    std::fprintf(stderr, "%s: %s\n", kProgram, InstallerEscapeControls(message).c_str());
    return status;
}

// An absolute path without empty, "." or ".." components.
bool plainAbsolutePath(const std::string& path)
{
    if (path.size() < 2 || path[0] != '/' || path.back() == '/')
        return false;
    std::stringstream in(path.substr(1));
    std::string part;
    while (std::getline(in, part, '/'))
        if (part.empty() || part == "." || part == "..")
            return false;
    return true;
}

struct Configuration {
    std::string autostartDirectory = "/etc/xdg/autostart";
    std::vector<std::string> dataDirectories{"/usr/local/share", "/usr/share"};
    // Default: the "applications" folder of each data folder.
    std::vector<std::string> payloadDirectories;
};

// A colon-separated list of plain absolute paths; false with the reason for any other entry.
bool pathList(const std::string& key, const std::string& value, std::vector<std::string>& out, std::string& why)
{
    out.clear();
    std::stringstream dirs(value);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (!plainAbsolutePath(dir)) {
            why = ORU_HELPER_CONFIG ": " + key + " holds \"" + dir + "\", not a plain absolute path";
            return false;
        }
        out.push_back(dir);
    }
    if (out.empty())
        why = ORU_HELPER_CONFIG ": no " + key;
    return !out.empty();
}

// Reads the configuration: a regular file owned by root that nobody else may write, never through
// a link. Its absence leaves the defaults.
bool loadConfiguration(Configuration& config, std::string& why)
{
    XpFd fd(::open(ORU_HELPER_CONFIG, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.IsValid()) {
        if (errno == ENOENT)
            return true;
        why = std::string(ORU_HELPER_CONFIG) + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    std::string text;
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0 || (st.st_mode & 022)) {
        why = std::string(ORU_HELPER_CONFIG) + " is not a regular file of root's that only root may write";
        return false;
    }
    // Read whole or not at all: a file cut short would give a cut path ("/etc/xdg/auto").
    char buffer[4096];
    ssize_t n = 0;
    while (text.size() <= kMaxConfiguration) {
        n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
    }
    fd.Reset();
    if (n < 0) {
        why = std::string(ORU_HELPER_CONFIG) + ": " + std::strerror(errno);
        return false;
    }
    if (text.size() > kMaxConfiguration) {
        why = std::string(ORU_HELPER_CONFIG) + " is larger than 64 KiB";
        return false;
    }
    // Values are taken exactly as written, so anything that an editor hides (a carriage return
    // of a CRLF file, a trailing blank, a NUL) would name a neighbouring folder: refused, never
    // trimmed.
    std::stringstream in(text);
    std::string line;
    for (size_t number = 1; std::getline(in, line); ++number) {
        if (std::any_of(line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; })) {
            why = std::string(ORU_HELPER_CONFIG) + ": line " + std::to_string(number) + " holds a control character";
            return false;
        }
        if (line.empty() || line[0] == '#' || line[0] == '[')
            continue;
        size_t eq = line.find('=');
        std::string key = line.substr(0, eq), value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
        auto blankAtAnEnd = [](const std::string& t) {
            return !t.empty() && (std::strchr(" \t", t.front()) || std::strchr(" \t", t.back()));
        };
        if (blankAtAnEnd(key) || blankAtAnEnd(value)) {
            why = std::string(ORU_HELPER_CONFIG) + ": line " + std::to_string(number) + " has blanks around its key or value";
            return false;
        }
        if (key == "AutostartDirectory" && plainAbsolutePath(value)) {
            config.autostartDirectory = value;
        } else if (key == "DataDirectories" || key == "PayloadDirectories") {
            if (!pathList(key, value, key == "DataDirectories" ? config.dataDirectories : config.payloadDirectories, why))
                return false;
        } else {
            why = ORU_HELPER_CONFIG ": cannot use the line \"" + line + "\"";
            return false;
        }
    }
    if (config.payloadDirectories.empty())
        for (const std::string& dir : config.dataDirectories)
            config.payloadDirectories.push_back(dir + "/applications");
    return true;
}

// Opens the folder from "/" down, one component at a time without following a link, making the
// missing ones (root's, 0755). The folder itself must be root's and writable by nobody else, or
// someone else could change what lies in it behind our back. Not valid, with the reason in `why`,
// otherwise.
XpFd openTrustedFolder(const std::string& path, std::string& why)
{
    XpFd dir(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::stringstream in(path.substr(1));
    std::string part;
    while (dir.IsValid() && std::getline(in, part, '/')) {
        if (::mkdirat(dir.Get(), part.c_str(), 0755) != 0 && errno != EEXIST) {
            why = path + ": cannot make " + part + ": " + std::strerror(errno);
            return XpFd();
        }
        dir = XpFd(::openat(dir.Get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        int err = errno;
        if (!dir.IsValid())
            why = path + ": " + part + (err == ELOOP || err == ENOTDIR ? " is a symbolic link or not a folder; not followed"
                                                                       : std::string(": ") + std::strerror(err));
    }
    struct stat st;
    if (dir.IsValid() && (::fstat(dir.Get(), &st) != 0 || st.st_uid != 0 || (st.st_mode & 022))) {
        why = path + " is not root's, or others may write it";
        return XpFd();
    }
    return dir;
}

// What is at `name` in the folder: absent, a regular file, or something to leave alone.
int checkTarget(int dir, const std::string& name, const std::string& path, bool& present)
{
    struct stat st;
    present = ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (present && !S_ISREG(st.st_mode))
        return fail(kRefusedObject, path + (S_ISLNK(st.st_mode) ? " is a symbolic link" : " is not a regular file") +
                                        "; left as it is");
    return kDone;
}

// Writes `text` as `name` in the folder: a temporary, root's and 0644, renamed over the name.
int replaceFile(int dir, const std::string& folder, const std::string& name, const std::string& text)
{
    const std::string path = folder + "/" + name;
    bool present = false;
    if (int refused = checkTarget(dir, name, path, present))
        return refused;
    // Staged beside the name, root's and readable by every session whatever pkexec's umask, and
    // put over the name in one step.
    XpFileError result =
        XpStagedFile::WriteWhole(dir, name.c_str(), text.data(), text.size(), 0644, XpStagedFile::placeReplace, true, 0, 0);
    if (!result.IsOk())
        return fail(kWriteFailed, path + ": " + result.Describe().GetBuffer());
    std::printf("%s\n", path.c_str());
    return kDone;
}

int addLoginItem(const Configuration& config, int dir, const std::string& name)
{
    std::string why;
    std::optional<OruPlatform_Linux::DesktopEntry> entry =
        OruPlatform_Linux::findApplicationEntryIn(config.dataDirectories, name, &why);
    std::optional<std::string> text = entry ? OruPlatform_Linux::loginItemText(*entry, TargetAppBundleId, &why)
                                            : std::nullopt;
    if (!text)
        return fail(kNoEntry, why);
    return replaceFile(dir, config.autostartDirectory, name, *text);
}

// Reads exactly `size` bytes of standard input; false when it ends (or fails) first.
bool readExactly(void* data, size_t size)
{
    char* at = static_cast<char*>(data);
    while (size > 0) {
        ssize_t n = ::read(0, at, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// The payload's attributes as root writes them: root's, and never a set-id, sticky or
// group- or other-writable bit, whatever the stream says (a person's file must not become a
// program that runs as root, nor a system folder others may write).
XpTreeEntry entryOf(const InstallerPayloadRecord& record, mode_t kind)
{
    XpTreeEntry entry;
    entry.mode = kind | (record.mode & 0755);
    entry.owner = 0;
    entry.group = 0;
    entry.accessed = {static_cast<time_t>(record.atimeSec), static_cast<long>(record.atimeNsec)};
    entry.modified = {static_cast<time_t>(record.mtimeSec), static_cast<long>(record.mtimeNsec)};
    entry.size = static_cast<int64_t>(record.size);
    return entry;
}

// Reads the next record's header and name: kPayloadRefused with the reason for a stream that
// ended or that no installer writes.
int nextRecord(InstallerPayloadRecord& record, bool first)
{
    unsigned char header[kInstallerPayloadHeaderSize];
    std::string why;
    if (!readExactly(header, sizeof header))
        return fail(kPayloadRefused, "the payload stream ended early; nothing of its last entry was kept");
    if (!InstallerPayloadDecode(header, record, why))
        return fail(kPayloadRefused, "the payload stream is malformed: " + why);
    bool payload = record.kind == InstallerPayloadKind::File || record.kind == InstallerPayloadKind::Folder;
    if (first ? !payload || !record.name.empty()
              : (record.kind != InstallerPayloadKind::EndFolder && record.kind != InstallerPayloadKind::End &&
                 !InstallerPayloadNameAllowed(record.name)))
        return fail(kPayloadRefused, "the payload stream is malformed: a name that may not be written (\"" +
                                         record.name + "\")");
    return kDone;
}

// A failure of the tree writer: a stream that ended inside a file is the stream's fault.
int writeFailed(const XpFileError& err, const std::string& path)
{
    if (err.Code() == XPERR_FILE_END_OF_FILE)
        return fail(kPayloadRefused, "the payload stream ended early; nothing of " + path + " was kept");
    return fail(err.Code() == XPERR_FILE_EXISTS ? kRefusedObject : kWriteFailed,
                path + ": " + err.Describe().GetBuffer());
}

// The payload's one file, at `name` of the folder: staged, given its data in pieces and put in
// place on disk once complete, and only once the stream's end has been read.
int receiveFile(int dir, const std::string& path, const std::string& name, const InstallerPayloadRecord& record)
{
    bool present = false;
    if (int refused = checkTarget(dir, name, path, present))
        return refused;
    const XpTreeEntry entry = entryOf(record, S_IFREG);
    XpStagedFile staged;
    XpFileError result = staged.Create(dir, name.c_str());
    if (result.IsOk())
        result = staged.SetOwner(0, 0);
    if (result.IsOk())
        result = staged.SetMode(entry.mode & 07777);
    std::vector<char> buffer(256u << 10);
    for (uint64_t left = record.size; result.IsOk() && left > 0;) {
        size_t piece = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
        if (!readExactly(buffer.data(), piece))
            return fail(kPayloadRefused, "the payload stream ended early; nothing of " + path + " was kept");
        result = staged.Write(buffer.data(), piece);
        left -= piece;
    }
    if (!result.IsOk())
        return writeFailed(result, path);
    InstallerPayloadRecord end;
    if (int refused = nextRecord(end, false))
        return refused;
    if (end.kind != InstallerPayloadKind::End)
        return fail(kPayloadRefused, "the payload stream is malformed: more than one file");
    staged.SetTimes(entry.accessed, entry.modified);
    result = staged.Place(XpStagedFile::placeReplace, true);
    return result.IsOk() ? kDone : writeFailed(result, path);
}

// The payload's folder at `name` of the folder, and all the stream puts in it, through the
// library's tree writer: each file is placed when its data is complete, a folder gets its
// attributes when its end is read; a stream that ends early keeps what was complete before and
// nothing of the file it was in. On disk (syncfs) before the helper says it is done.
int receiveFolder(int dir, const std::string& path, const std::string& name, const InstallerPayloadRecord& record)
{
    struct stat st;
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode))
        return fail(kRefusedObject, path + (S_ISLNK(st.st_mode) ? " is a symbolic link" : " is not a folder") +
                                        "; left as it is");
    // The caller's (root's) copies: a fresh file needs no change of owner, and a file replaced
    // keeps the owner an administrator gave it.
    const XpTreeWriter writer(XpTreeWriter::ownCaller);
    struct Level {
        XpFd folder;
        XpTreeEntry entry;
        std::string path;
    };
    std::vector<Level> open;
    // A folder that was there already is written into only when nobody but root may change it.
    auto trusted = [&st](const XpFd& folder) {
        return ::fstat(folder.Get(), &st) == 0 && st.st_uid == 0 && (st.st_mode & 022) == 0;
    };
    XpFd top;
    XpFileError result = writer.OpenFolder(dir, name.c_str(), &top);
    if (!result.IsOk())
        return writeFailed(result, path);
    if (!trusted(top))
        return fail(kRefusedObject, path + " is not root's, or others may write it");
    open.push_back({std::move(top), entryOf(record, S_IFDIR), path});
    std::vector<char> target;
    for (;;) {
        InstallerPayloadRecord next;
        if (int refused = nextRecord(next, false))
            return refused;
        if (next.kind == InstallerPayloadKind::End) {
            if (!open.empty())
                return fail(kPayloadRefused, "the payload stream is malformed: it ends inside a folder");
            break;
        }
        if (open.empty())
            return fail(kPayloadRefused, "the payload stream is malformed: an entry after the payload's end");
        Level& level = open.back();
        const std::string entryPath = level.path + "/" + next.name;
        const std::string shown = next.kind == InstallerPayloadKind::EndFolder ? level.path : entryPath;
        switch (next.kind) {
        case InstallerPayloadKind::File:
            result = writer.AddFile(level.folder.Get(), next.name.c_str(), entryOf(next, S_IFREG), 0, nullptr);
            break;
        case InstallerPayloadKind::Link:
            target.assign(next.size + 1, '\0');
            if (!readExactly(target.data(), next.size))
                return fail(kPayloadRefused, "the payload stream ended early; nothing of " + entryPath + " was kept");
            if (std::memchr(target.data(), '\0', next.size) != nullptr)
                return fail(kPayloadRefused, "the payload stream is malformed: a link target holds a NUL");
            result = writer.AddLink(level.folder.Get(), next.name.c_str(), target.data(), entryOf(next, S_IFLNK));
            break;
        case InstallerPayloadKind::Folder: {
            if (open.size() >= kInstallerPayloadMaxDepth)
                return fail(kPayloadRefused, "the payload stream is malformed: folders nested too deep");
            XpFd sub;
            result = writer.OpenFolder(level.folder.Get(), next.name.c_str(), &sub);
            if (result.IsOk() && !trusted(sub))
                return fail(kRefusedObject, entryPath + " is not root's, or others may write it");
            if (result.IsOk())
                open.push_back({std::move(sub), entryOf(next, S_IFDIR), entryPath});
            break;
        }
        default: // the end of the folder entered last
            result = writer.CloseFolder(level.folder.Get(), level.entry);
            if (result.IsOk() && open.size() == 1 && ::syncfs(level.folder.Get()) != 0)
                result = XpFileError(XPERR_FILE_FAILED, errno, "syncfs");
            open.pop_back();
            break;
        }
        if (!result.IsOk())
            return writeFailed(result, shown);
    }
    return kDone;
}

// Whether `destination` names an entry directly in one of the payload folders, the name not
// hidden (so it can never be one of our temporaries); that folder in `folder`, its last component
// in `name`.
bool payloadName(const Configuration& config, const std::string& destination, std::string& folder, std::string& name)
{
    size_t slash = destination.rfind('/');
    if (slash == std::string::npos || !plainAbsolutePath(destination))
        return false;
    folder = destination.substr(0, slash);
    name = destination.substr(slash + 1);
    bool allowed = false;
    for (const std::string& dir : config.payloadDirectories)
        allowed = allowed || dir == folder;
    return allowed && !name.empty() && name[0] != '.' && name.size() <= 255;
}

// The payload stream on standard input to `destination`, which must name an entry directly in
// one of the payload folders (the name not hidden, so it can never be one of our temporaries).
// Nothing is made, not even a missing payload folder, before the stream's first record is read.
int installPayload(const Configuration& config, const std::string& destination)
{
    std::string folder, name;
    if (!payloadName(config, destination, folder, name))
        return fail(kPayloadRefused, destination + " is not a file name in a payload folder");
    // The installer writes the stream into a pipe. A regular file there would be taken whole by
    // the tree writer, which copies a regular source from its start, not the size a record gives.
    struct stat in;
    if (::fstat(0, &in) != 0 || !(S_ISFIFO(in.st_mode) || S_ISSOCK(in.st_mode)))
        return fail(kPayloadRefused, "standard input is not a pipe; the payload comes as a stream");
    char magic[sizeof kInstallerPayloadMagic];
    if (!readExactly(magic, sizeof magic) || std::memcmp(magic, kInstallerPayloadMagic, sizeof magic) != 0)
        return fail(kPayloadRefused, "standard input is not a payload stream");
    InstallerPayloadRecord record;
    if (int refused = nextRecord(record, true))
        return refused;
    std::string why;
    XpFd dir = openTrustedFolder(folder, why);
    if (!dir.IsValid())
        return fail(kRefusedObject, why);
    int status = record.kind == InstallerPayloadKind::File ? receiveFile(dir.Get(), destination, name, record)
                                                           : receiveFolder(dir.Get(), destination, name, record);
    if (status == kDone)
        std::printf("%s\n", destination.c_str());
    return status;
}

// The removal list on standard input for `destination`, checked whole before anything is
// removed: every name lies beneath DEST's own name, a checksum is 64 hex digits.
int readRemovalList(const std::string& name, InstallerRemovalList& list)
{
    const size_t limit = 16 * 1024 * 1024;
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(0, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(kPayloadRefused, std::string("standard input: ") + std::strerror(errno));
        if (n == 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > limit)
            return fail(kPayloadRefused, "the removal list is larger than any installation's");
    }
    auto beneath = [&name](const std::string& rel) {
        return (rel == name || rel.rfind(name + "/", 0) == 0) && rel.find('\0') == std::string::npos;
    };
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.size() > 2 && line[0] == 'D' && line[1] == ' ' && beneath(line.substr(2))) {
            list.folders.push_back(line.substr(2));
        } else if (line.size() > 2 && line[0] == 'L' && line[1] == ' ' && beneath(line.substr(2))) {
            list.links.push_back(line.substr(2));
        } else if (line.size() > 68 && line[0] == 'F' && line[1] == ' ' && line[66] == ' ' &&
                   line.find_first_not_of("0123456789abcdef", 2) == 66 && beneath(line.substr(67))) {
            list.checksums.push_back(line.substr(2, 64));
            list.files.push_back(line.substr(67));
        } else {
            return fail(kPayloadRefused, "the removal list is malformed: " + InstallerEscapeControls(line));
        }
    }
    return kDone;
}

// Removes what standard input lists beneath `destination` with the host's own rules (only
// unchanged files, folders left empty, links as links, nothing on another volume), each step a
// line on standard output: "removed PATH", or "kept PATH: why".
int removePayload(const Configuration& config, const std::string& destination)
{
    std::string folder, name;
    if (!payloadName(config, destination, folder, name))
        return fail(kPayloadRefused, destination + " is not a file name in a payload folder");
    InstallerRemovalList list;
    if (int refused = readRemovalList(name, list))
        return refused;
    std::string why;
    XpFd dir = openTrustedFolder(folder, why);
    if (!dir.IsValid())
        return fail(kRefusedObject, why);
    struct stat st;
    if (::fstat(dir.Get(), &st) != 0)
        return fail(kWriteFailed, folder + ": " + std::strerror(errno));
    int status = kDone;
    InstallerRemoveListed(dir.Get(), st.st_dev, folder, list,
                          [&status](InstallerRemovalStep::Kind kind, const std::string& path, const std::string& text) {
                              if (kind == InstallerRemovalStep::Removed)
                                  std::printf("removed %s\n", InstallerEscapeControls(path).c_str());
                              else if (kind == InstallerRemovalStep::Kept)
                                  std::printf("%s\n", InstallerEscapeControls(text).c_str());
                              else {
                                  std::fprintf(stderr, "%s\n", InstallerEscapeControls(text).c_str());
                                  status = kWriteFailed;
                              }
                          });
    std::fflush(stdout);
    return status;
}

int removeLoginItem(const Configuration& config, int dir, const std::string& name)
{
    const std::string path = config.autostartDirectory + "/" + name;
    bool present = false;
    if (int refused = checkTarget(dir, name, path, present))
        return refused;
    if (present && ::unlinkat(dir, name.c_str(), 0) != 0)
        return fail(kWriteFailed, path + ": " + std::strerror(errno));
    std::printf("%s\n", path.c_str());
    return kDone;
}

// pkexec runs its program as root and names the person who asked in PKEXEC_UID (decimal).
bool startedThroughPkexec()
{
    const char* uid = std::getenv("PKEXEC_UID");
    if (!uid || !*uid || std::strlen(uid) > 10 || ::geteuid() != 0 || ::getuid() != 0)
        return false;
    for (const char* c = uid; *c; ++c)
        if (*c < '0' || *c > '9')
            return false;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    // Which helper is installed, for whoever looks (a packager, a bug report); it reads and
    // changes nothing, so it needs no pkexec.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("oru-privileged-helper %s\n", XP_PROJECT_VERSION);
        return 0;
    }
    bool loginItem = argc == 3 && std::strcmp(argv[1], "login-item") == 0 &&
                     (std::strcmp(argv[2], "add") == 0 || std::strcmp(argv[2], "remove") == 0);
    bool payload = argc == 3 && std::strcmp(argv[1], "install-payload") == 0;
    bool removal = argc == 3 && std::strcmp(argv[1], "remove-payload") == 0;
    if (!loginItem && !payload && !removal)
        return fail(kUsage, "usage: oru-privileged-helper login-item add|remove | install-payload DEST | "
                            "remove-payload DEST (started through pkexec)");
    if (!startedThroughPkexec())
        return fail(kNotThroughPkexec, "refusing to run: not started through pkexec");
    ::umask(022);
    Configuration config;
    std::string why;
    if (!loadConfiguration(config, why) || !plainAbsolutePath(config.autostartDirectory))
        return fail(kConfiguration, why.empty() ? "AutostartDirectory is not a plain absolute path" : why);
    if (payload)
        return installPayload(config, argv[2]);
    if (removal)
        return removePayload(config, argv[2]);
    XpFd dir = openTrustedFolder(config.autostartDirectory, why);
    if (!dir.IsValid())
        return fail(kRefusedObject, why);
    const std::string name = std::string(TargetAppBundleId) + ".desktop";
    return std::strcmp(argv[2], "add") == 0 ? addLoginItem(config, dir.Get(), name)
                                            : removeLoginItem(config, dir.Get(), name);
}
