// Removal of what a manifest lists beneath a destination's folder, on descriptors: shared by the
// host (what it placed itself) and the privileged helper (what it placed for the host).
#include "InstallerRemoval.h"
#include "InstallerTexts.h"

#include <glib.h>

#include <fcntl.h>
#include <libintl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#define _(text) ::dgettext("installer-host", text)

namespace {

std::string systemError(int error) { return std::strerror(error); }

// SHA-256 of the regular file `name` in `folder`, read a piece at a time; a link, a FIFO or a
// device there is not read (and not waited on).
bool checksumAtImpl(int folder, const std::string& name, std::string& hex, std::string* why, dev_t device = 0)
{
    XpFd fd(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.Get() < 0) {
        if (why)
            *why = systemError(errno);
        return false;
    }
    struct stat st;
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || (device && st.st_dev != device)) {
        if (why)
            *why = _("not a regular file on the installation's volume");
        return false;
    }
    if (!InstallerSha256Of(fd.Get(), hex)) {
        if (why)
            *why = systemError(errno);
        return false;
    }
    return true;
}

// A manifest's relative name: components that are not empty, ".", "..".
bool plainRelative(const std::string& rel)
{
    if (rel.empty() || rel[0] == '/')
        return false;
    size_t at = 0;
    while (at <= rel.size()) {
        size_t slash = rel.find('/', at);
        std::string part = rel.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
        if (part.empty() || part == "." || part == "..")
            return false;
        if (slash == std::string::npos)
            break;
        at = slash + 1;
    }
    return true;
}

// Opens the folder that holds `rel` beneath `top`, one component at a time, never following a
// link and never leaving `device`; `leaf` is rel's last name.
bool openParent(int top, const std::string& rel, dev_t device, XpFd& parent, std::string& leaf, std::string& why)
{
    if (!plainRelative(rel)) {
        why = _("not a name the installer places");
        return false;
    }
    XpFd current(::fcntl(top, F_DUPFD_CLOEXEC, 0));
    size_t at = 0;
    for (;;) {
        size_t slash = rel.find('/', at);
        if (slash == std::string::npos) {
            leaf = rel.substr(at);
            parent = std::move(current);
            return true;
        }
        std::string part = rel.substr(at, slash - at);
        XpFd next(::openat(current.Get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (next.Get() < 0) {
            why = errno == ENOTDIR || errno == ELOOP ? _("a folder of it was replaced by something else")
                                                     : systemError(errno);
            return false;
        }
        struct stat st;
        if (::fstat(next.Get(), &st) != 0 || st.st_dev != device) {
            why = _("it lies on another volume now");
            return false;
        }
        current = std::move(next);
        at = slash + 1;
    }
}

} // namespace

bool InstallerSha256Of(int fd, std::string& hex, unsigned long long* size)
{
    GChecksum* sum = g_checksum_new(G_CHECKSUM_SHA256);
    std::vector<unsigned char> buffer(256 * 1024);
    unsigned long long total = 0;
    for (;;) {
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int error = errno;
            g_checksum_free(sum);
            errno = error;
            return false;
        }
        if (n == 0)
            break;
        g_checksum_update(sum, buffer.data(), static_cast<gssize>(n));
        total += static_cast<unsigned long long>(n);
    }
    const char* text = g_checksum_get_string(sum);
    hex = text ? text : "";
    if (size)
        *size = total;
    g_checksum_free(sum);
    return true;
}

bool InstallerChecksumAt(int folder, const std::string& name, std::string& hex, std::string* why, dev_t device)
{
    return checksumAtImpl(folder, name, hex, why, device);
}

bool InstallerOpenParentOf(int top, const std::string& rel, dev_t device, XpFd& parent, std::string& leaf, std::string& why)
{
    return openParent(top, rel, device, parent, leaf, why);
}

void InstallerRemoveListed(int top, dev_t device, const std::string& folderPath, const InstallerRemovalList& record,
                           const InstallerRemovalSay& say)
{
    auto full = [&](const std::string& rel) { return (folderPath == "/" ? "" : folderPath) + "/" + rel; };
    auto failed = [&](const std::string& rel, int err) {
        say(InstallerRemovalStep::Failed, full(rel), InstallerText("could not remove %s: %s", full(rel), systemError(err)));
    };
    // Removes leaf from parent and says so, or says why not: a folder that is not empty is kept
    // with `keptWhenNotEmpty`, any other refusal is a failure.
    auto unlinkSaying = [&](int parent, const std::string& leaf, const std::string& rel, int flags,
                            const std::string& done, const std::string& keptWhenNotEmpty = std::string()) {
        if (::unlinkat(parent, leaf.c_str(), flags) == 0)
            say(InstallerRemovalStep::Removed, full(rel), done);
        else if (!keptWhenNotEmpty.empty() && (errno == ENOTEMPTY || errno == EEXIST))
            say(InstallerRemovalStep::Kept, full(rel), keptWhenNotEmpty);
        else
            failed(rel, errno);
    };
    // The entry at rel as it is now, not followed; false when it is gone or cannot be reached.
    auto lookAt = [&](const std::string& rel, XpFd& parent, std::string& leaf, struct stat& entry) {
        std::string why;
        return openParent(top, rel, device, parent, leaf, why) &&
               ::fstatat(parent.Get(), leaf.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0;
    };
    for (size_t i = 0; i < record.files.size(); ++i) {
        const std::string& rel = record.files[i];
        XpFd parent;
        std::string leaf, why;
        if (!openParent(top, rel, device, parent, leaf, why)) {
            say(InstallerRemovalStep::Kept, full(rel), InstallerText("kept %s: %s", full(rel), why));
            continue;
        }
        struct stat entry;
        if (::fstatat(parent.Get(), leaf.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                failed(rel, errno);
            continue; // gone already: nothing to say
        }
        if (S_ISLNK(entry.st_mode)) {
            // Something put a link where our file was: the link goes, what it points at is not looked at.
            unlinkSaying(parent.Get(), leaf, rel, 0,
                         InstallerText("removed %s (a link where the installer had placed a file; not followed)", full(rel)));
            continue;
        }
        std::string sum;
        if (!checksumAtImpl(parent.Get(), leaf, sum, &why, device)) {
            say(InstallerRemovalStep::Kept, full(rel), InstallerText("kept %s: %s", full(rel), why));
            continue;
        }
        if (sum != record.checksums[i]) {
            say(InstallerRemovalStep::Kept, full(rel),
                 InstallerText("kept %s: it was changed after the installation", full(rel)));
            continue;
        }
        unlinkSaying(parent.Get(), leaf, rel, 0, InstallerText("removed %s", full(rel)));
    }
    for (const std::string& rel : record.links) {
        XpFd parent;
        std::string leaf;
        struct stat entry;
        if (!lookAt(rel, parent, leaf, entry))
            continue;
        if (!S_ISLNK(entry.st_mode))
            say(InstallerRemovalStep::Kept, full(rel),
                 InstallerText("kept %s: no longer the link the installer placed", full(rel)));
        else
            unlinkSaying(parent.Get(), leaf, rel, 0, InstallerText("removed %s", full(rel)));
    }
    // The deepest folders first, each only when nothing is left in it.
    std::vector<std::string> folders = record.folders;
    std::sort(folders.begin(), folders.end(), [](const std::string& a, const std::string& b) {
        return std::count(a.begin(), a.end(), '/') > std::count(b.begin(), b.end(), '/');
    });
    for (const std::string& rel : folders) {
        XpFd parent;
        std::string leaf;
        struct stat entry;
        if (!lookAt(rel, parent, leaf, entry))
            continue;
        if (!S_ISDIR(entry.st_mode) || entry.st_dev != device)
            say(InstallerRemovalStep::Kept, full(rel),
                 InstallerText("kept %s: no longer the folder the installer made", full(rel)));
        else
            unlinkSaying(parent.Get(), leaf, rel, AT_REMOVEDIR, InstallerText("removed %s", full(rel)),
                         InstallerText("kept %s: it holds files the installer did not place", full(rel)));
    }
}
