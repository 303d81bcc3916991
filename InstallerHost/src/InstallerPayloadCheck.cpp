// The checks before the installation step copies anything: room and writability (see
// InstallerPayload.h, InstallerPayloadPreflight).
#include <InstallerPayload.h>
#include "InstallerTexts.h"

#include <glib.h>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>

namespace {

const uint64_t kMinimumMargin = 16u << 20;

// A translated text with three %s filled in.
std::string text3(const char* translated, const std::string& a, const std::string& b, const std::string& c)
{
    gchar* filled = g_strdup_printf(translated, a.c_str(), b.c_str(), c.c_str());
    std::string out = filled;
    g_free(filled);
    return out;
}

std::string sizeText(uint64_t bytes)
{
    gchar* text = g_format_size(bytes);
    std::string out = text;
    g_free(text);
    return out;
}

// The folder the payload goes into, or the nearest of its ancestors that exists: where the copy
// makes its first entry. A path on the way that exists but is no folder ends the search.
bool nearestFolder(const std::string& destination, std::string* folder, std::string* error)
{
    std::filesystem::path at = std::filesystem::path(destination).parent_path();
    if (at.empty())
        at = ".";
    for (;;) {
        struct stat st;
        if (::stat(at.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                *error = InstallerText("%s is not a folder", at.string());
                return false;
            }
            *folder = at.string();
            return true;
        }
        if ((errno != ENOENT && errno != ENOTDIR) || at == at.parent_path()) {
            *error = at.string() + ": " + g_strerror(errno);
            return false;
        }
        at = at.parent_path();
    }
}

struct Volume {
    uint64_t needed = 0;
    uint64_t available = 0;
    std::string firstDestination;
};

} // namespace

uint64_t InstallerPayloadRoomNeeded(uint64_t size)
{
    uint64_t margin = size / 100;
    return size + (margin > kMinimumMargin ? margin : kMinimumMargin);
}

bool InstallerPayloadPreflight(const std::vector<InstallerPayloadPlan>& plan, std::string* destination,
                               std::string* error)
{
    std::map<dev_t, Volume> volumes;
    for (const InstallerPayloadPlan& item : plan) {
        *destination = item.destination;
        InstallerPayloadProgress totals;
        if (!InstallerPayloadInspect(item.source, &totals, nullptr, error))
            return false;
        std::string folder;
        if (!nearestFolder(item.destination, &folder, error))
            return false;
        struct statvfs vfs;
        struct stat st;
        if (::statvfs(folder.c_str(), &vfs) != 0 || ::stat(folder.c_str(), &st) != 0) {
            *error = folder + ": " + g_strerror(errno);
            return false;
        }
        bool asRoot = item.throughHelper || ::geteuid() == 0;
        if (vfs.f_flag & ST_RDONLY) {
            *error = InstallerText("%s is on a read-only volume", folder);
            return false;
        }
        if (!asRoot && ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
            *error = InstallerText("%s may not be written: %s", folder, g_strerror(errno));
            return false;
        }
        Volume& volume = volumes[st.st_dev];
        if (volume.firstDestination.empty()) {
            volume.firstDestination = item.destination;
            volume.available = static_cast<uint64_t>(asRoot ? vfs.f_bfree : vfs.f_bavail) * vfs.f_frsize;
        }
        volume.needed += InstallerPayloadRoomNeeded(totals.bytesTotal);
        if (volume.needed > volume.available) {
            *error = text3(::dgettext("installer-host", "not enough free space in %s: %s needed, %s free"), folder, sizeText(volume.needed),
                           sizeText(volume.available));
            return false;
        }
    }
    destination->clear();
    error->clear();
    return true;
}
