// The record of what an installation placed, and its removal (InstallerManifest.h).
#include <InstallerJournal.h>
#include <InstallerManifest.h>
#include <InstallerPolkit.h>

#include "InstallerRemoval.h"
#include "InstallerTexts.h"

#include <XpFd.h>
#include <XpStagedFile.h>

#include <glib.h>

#include <fcntl.h>
#include <libintl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>

#define _(text) ::dgettext("installer-host", text)

namespace {

const char* const kGroup = "Installation";
// A manifest is a list of names; one larger than this is not ours.
const off_t kMaxManifestSize = 64 * 1024 * 1024;

struct PayloadRecord {
    std::string destination;
    bool throughHelper = false;
    dev_t device = 0;
    std::vector<std::string> folders, files, checksums, links;
};

struct Manifest {
    std::string bundle;
    std::string loginItem;
    std::string loginItemChecksum;
    bool loginItemThroughHelper = false;
    std::vector<PayloadRecord> payloads;
};

// The installation this process records (one road per process).
std::mutex g_lock;
std::string g_bundlePath;
Manifest g_manifest;
bool g_loaded = false;

std::string bundleName(const std::string& bundlePath) { return InstallerBundleName(bundlePath); }

bool readManifest(const std::string& bundlePath, Manifest& manifest, bool& exists, std::string& why);

// What earlier installations of the bundle placed stays listed: read once, before the first note.
void loadEarlierOnce()
{
    if (g_loaded)
        return;
    Manifest earlier;
    bool exists = false;
    std::string why;
    if (readManifest(g_bundlePath, earlier, exists, why) && exists)
        g_manifest = earlier;
    g_loaded = true;
}

std::string dataFolder()
{
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data && data[0] == '/')
        return data;
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return std::string(home) + "/.local/share";
    return std::string();
}

std::string folderOf(const std::string& path)
{
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : p.substr(0, slash);
}

std::string nameOf(const std::string& path)
{
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::vector<std::string> listOf(GKeyFile* file, const char* group, const char* key)
{
    std::vector<std::string> items;
    gsize count = 0;
    gchar** values = g_key_file_get_string_list(file, group, key, &count, nullptr);
    for (gsize i = 0; values && i < count; ++i)
        items.push_back(values[i]);
    g_strfreev(values);
    return items;
}

void setList(GKeyFile* file, const std::string& group, const char* key, const std::vector<std::string>& items)
{
    std::vector<const gchar*> values;
    for (const std::string& item : items)
        values.push_back(item.c_str());
    g_key_file_set_string_list(file, group.c_str(), key, values.data(), values.size());
}

// Opens the folder of the manifests, made on the way when `make`: a folder of this user's, not a
// link. `missing` (may be null) tells a folder that is not there from one that cannot be used.
bool openManifestFolder(bool make, XpFd& folder, std::string& why, bool* missing = nullptr)
{
    if (missing)
        *missing = false;
    std::string data = dataFolder();
    if (data.empty()) {
        why = _("no data folder (neither XDG_DATA_HOME nor HOME is set)");
        return false;
    }
    if (make) {
        std::error_code ec;
        std::filesystem::create_directories(data, ec);
    }
    XpFd base(::open(data.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (base.Get() < 0) {
        if (missing)
            *missing = errno == ENOENT;
        why = data + ": " + std::strerror(errno);
        return false;
    }
    if (make && ::mkdirat(base.Get(), "xp-installer", 0700) != 0 && errno != EEXIST) {
        why = data + "/xp-installer: " + std::strerror(errno);
        return false;
    }
    folder.Reset(::openat(base.Get(), "xp-installer", O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder.Get() < 0 && missing)
        *missing = errno == ENOENT;
    struct stat st;
    if (folder.Get() < 0 || ::fstat(folder.Get(), &st) != 0 || st.st_uid != ::geteuid()) {
        why = data + "/xp-installer: " + (folder.Get() < 0 ? std::strerror(errno) : std::string(_("not this user's folder")));
        return false;
    }
    return true;
}

bool readManifest(const std::string& bundlePath, Manifest& manifest, bool& exists, std::string& why)
{
    exists = false;
    XpFd folder;
    bool missing = false;
    if (!openManifestFolder(false, folder, why, &missing)) {
        if (missing) {
            why.clear();
            return true;
        }
        return false;
    }
    std::string name = bundleName(bundlePath) + ".manifest";
    XpFd fd(::openat(folder.Get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.Get() < 0) {
        if (errno == ENOENT)
            return true;
        why = name + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_size > kMaxManifestSize) {
        why = name + ": " + _("not a manifest of this user's");
        return false;
    }
    std::string data(static_cast<size_t>(st.st_size), '\0');
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::read(fd.Get(), &data[done], data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    data.resize(done);
    GKeyFile* file = g_key_file_new();
    GError* error = nullptr;
    if (!g_key_file_load_from_data(file, data.data(), data.size(), G_KEY_FILE_NONE, &error)) {
        why = name + ": " + error->message;
        g_error_free(error);
        g_key_file_free(file);
        return false;
    }
    auto text = [&](const char* group, const char* key) {
        gchar* value = g_key_file_get_string(file, group, key, nullptr);
        std::string s = value ? value : "";
        g_free(value);
        return s;
    };
    manifest = Manifest();
    manifest.bundle = text(kGroup, "Bundle");
    manifest.loginItem = text(kGroup, "LoginItem");
    manifest.loginItemChecksum = text(kGroup, "LoginItemChecksum");
    manifest.loginItemThroughHelper = g_key_file_get_boolean(file, kGroup, "LoginItemThroughHelper", nullptr);
    gsize groups = 0;
    gchar** names = g_key_file_get_groups(file, &groups);
    for (gsize i = 0; i < groups; ++i) {
        if (std::strncmp(names[i], "Payload ", 8) != 0)
            continue;
        PayloadRecord record;
        record.destination = text(names[i], "Destination");
        record.throughHelper = g_key_file_get_boolean(file, names[i], "ThroughHelper", nullptr);
        record.device = static_cast<dev_t>(g_key_file_get_uint64(file, names[i], "Device", nullptr));
        record.folders = listOf(file, names[i], "Folders");
        record.files = listOf(file, names[i], "Files");
        record.checksums = listOf(file, names[i], "Checksums");
        record.links = listOf(file, names[i], "Links");
        if (record.destination.empty() || record.checksums.size() != record.files.size()) {
            why = name + ": " + InstallerText("[%s] is not whole", names[i]);
            g_strfreev(names);
            g_key_file_free(file);
            return false;
        }
        manifest.payloads.push_back(std::move(record));
    }
    g_strfreev(names);
    g_key_file_free(file);
    exists = true;
    return true;
}

std::string writeManifest(const std::string& bundlePath, const Manifest& manifest)
{
    GKeyFile* file = g_key_file_new();
    g_key_file_set_string(file, kGroup, "Bundle", manifest.bundle.c_str());
    if (!manifest.loginItem.empty()) {
        g_key_file_set_string(file, kGroup, "LoginItem", manifest.loginItem.c_str());
        g_key_file_set_string(file, kGroup, "LoginItemChecksum", manifest.loginItemChecksum.c_str());
        g_key_file_set_boolean(file, kGroup, "LoginItemThroughHelper", manifest.loginItemThroughHelper);
    }
    for (size_t i = 0; i < manifest.payloads.size(); ++i) {
        const PayloadRecord& record = manifest.payloads[i];
        std::string group = "Payload " + std::to_string(i);
        g_key_file_set_string(file, group.c_str(), "Destination", record.destination.c_str());
        g_key_file_set_boolean(file, group.c_str(), "ThroughHelper", record.throughHelper);
        g_key_file_set_uint64(file, group.c_str(), "Device", static_cast<guint64>(record.device));
        setList(file, group, "Folders", record.folders);
        setList(file, group, "Files", record.files);
        setList(file, group, "Checksums", record.checksums);
        setList(file, group, "Links", record.links);
    }
    gsize size = 0;
    gchar* data = g_key_file_to_data(file, &size, nullptr);
    g_key_file_free(file);
    std::string why;
    XpFd folder;
    if (openManifestFolder(true, folder, why)) {
        std::string name = bundleName(bundlePath) + ".manifest";
        XpFileError error = XpStagedFile::WriteWhole(folder.Get(), name.c_str(), data, size, 0600,
                                                     XpStagedFile::placeReplace, /*durable=*/true);
        if (!error.IsOk())
            why = name + ": " + error.Describe().GetBuffer();
    }
    g_free(data);
    return why;
}

// A step of a removal in the installer's record (English, as every record is; the person's
// language is for the person's lines).
void recordRemovalStep(const InstallerRemovalStep& step)
{
    const char* outcome = step.kind == InstallerRemovalStep::Removed ? "removed"
                          : step.kind == InstallerRemovalStep::Kept  ? "kept"
                                                                     : "failed";
    InstallerRecordWrite(InstallerRecordStep::Removal,
                         std::string(step.kind == InstallerRemovalStep::Failed ? "not removed" : outcome) + " " + step.path,
                         {{"INSTALLER_PATH", step.path}, {"INSTALLER_OUTCOME", outcome}},
                         step.kind == InstallerRemovalStep::Failed);
}

void recordRemovalEnd(const std::string& bundlePath, const InstallerRemovalResult& result)
{
    std::string ending = !result.found ? "nothing-recorded" : result.failed ? "removal-incomplete" : "removal-done";
    InstallerRecordWrite(InstallerRecordStep::End, "removal of " + bundleName(bundlePath) + ": " + ending,
                         {{"INSTALLER_ENDING", ending},
                          {"INSTALLER_BUNDLE", bundleName(bundlePath)},
                          {"INSTALLER_REMOVED", std::to_string(result.removed)},
                          {"INSTALLER_KEPT", std::to_string(result.kept)},
                          {"INSTALLER_FAILED", std::to_string(result.failed)}},
                         result.failed > 0);
    InstallerRecordFinish();
}

void tell(const InstallerRemovalObserver& observer, InstallerRemovalResult& result, InstallerRemovalStep::Kind kind,
          const std::string& path, const std::string& text)
{
    if (kind == InstallerRemovalStep::Removed)
        ++result.removed;
    else if (kind == InstallerRemovalStep::Kept)
        ++result.kept;
    else
        ++result.failed;
    InstallerRemovalStep step{kind, path, text};
    recordRemovalStep(step);
    if (observer)
        observer(step);
}

// Removes one payload placed by this process, as InstallerManifest.h says.
void removeOwnPayload(const PayloadRecord& record, const InstallerRemovalObserver& observer, InstallerRemovalResult& result)
{
    std::string folderPath = folderOf(record.destination);
    XpFd top(::open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (top.Get() < 0 || ::fstat(top.Get(), &st) != 0) {
        tell(observer, result, InstallerRemovalStep::Kept, record.destination,
             InstallerText("nothing to remove at %s: %s", record.destination, std::strerror(errno)));
        return;
    }
    if (st.st_dev != record.device) {
        tell(observer, result, InstallerRemovalStep::Kept, record.destination,
             InstallerText("kept %s: its folder lies on another volume now", record.destination));
        return;
    }
    InstallerRemovalList list{record.folders, record.files, record.checksums, record.links};
    InstallerRemoveListed(top.Get(), record.device, folderPath, list,
                          [&](InstallerRemovalStep::Kind kind, const std::string& path, const std::string& text) {
                              tell(observer, result, kind, path, text);
                          });
}

} // namespace

std::string InstallerManifestPathFor(const std::string& bundlePath)
{
    std::string data = dataFolder();
    return data.empty() ? std::string() : data + "/xp-installer/" + bundleName(bundlePath) + ".manifest";
}

void InstallerManifestBegin(const std::string& bundlePath)
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_bundlePath = bundlePath;
    g_loaded = false;
    g_manifest = Manifest();
    g_manifest.bundle = bundleName(bundlePath);
}

InstallerManifestPlan InstallerManifestPlanPayload(const std::string& source, const std::string& destination)
{
    InstallerManifestPlan plan;
    plan.destination = destination;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (g_bundlePath.empty()) // nothing is recorded: the front-end did not ask for it
            return plan;
    }
    std::string top = nameOf(destination);
    std::string folder = folderOf(destination);
    std::error_code ec;
    auto status = std::filesystem::status(source, ec); // the payload itself as the person named it
    if (ec)
        return plan;
    if (!std::filesystem::is_directory(status)) {
        plan.files.push_back(top);
        return plan;
    }
    auto existsAlready = [&](const std::string& rel) {
        struct stat st;
        return ::lstat((folder + "/" + rel).c_str(), &st) == 0;
    };
    if (!existsAlready(top))
        plan.folders.push_back(top);
    for (auto it = std::filesystem::recursive_directory_iterator(source, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::string rel = top + "/" + it->path().lexically_relative(source).string();
        auto kind = it->symlink_status(ec);
        if (std::filesystem::is_symlink(kind))
            plan.links.push_back(rel);
        else if (std::filesystem::is_directory(kind)) {
            if (!existsAlready(rel))
                plan.folders.push_back(rel);
        } else if (std::filesystem::is_regular_file(kind))
            plan.files.push_back(rel);
    }
    return plan;
}

std::string InstallerManifestNotePayload(const InstallerManifestPlan& plan, bool throughHelper)
{
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_bundlePath.empty())
        return std::string();
    loadEarlierOnce();
    PayloadRecord record;
    record.destination = plan.destination;
    record.throughHelper = throughHelper;
    record.folders = plan.folders;
    record.links = plan.links;
    std::string folderPath = folderOf(plan.destination);
    XpFd top(::open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (top.Get() < 0 || ::fstat(top.Get(), &st) != 0)
        return folderPath + ": " + std::strerror(errno);
    record.device = st.st_dev;
    for (const std::string& rel : plan.files) {
        XpFd parent;
        std::string leaf, why, sum;
        // Only what lies there as a regular file now is ours to list.
        if (InstallerOpenParentOf(top.Get(), rel, st.st_dev, parent, leaf, why) && InstallerChecksumAt(parent.Get(), leaf, sum, nullptr, st.st_dev)) {
            record.files.push_back(rel);
            record.checksums.push_back(sum);
        }
    }
    auto& payloads = g_manifest.payloads;
    payloads.erase(std::remove_if(payloads.begin(), payloads.end(),
                                  [&](const PayloadRecord& r) { return r.destination == plan.destination; }),
                   payloads.end());
    payloads.push_back(std::move(record));
    return writeManifest(g_bundlePath, g_manifest);
}

std::string InstallerManifestNoteEnd()
{
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_bundlePath.empty())
        return std::string();
    bool changed = false;
    for (const auto& activity : InstallerActivities()) {
        const std::string prefix = "added ";
        if (activity.first != "login-item" || activity.second.rfind(prefix, 0) != 0)
            continue;
        std::string path = activity.second.substr(prefix.size());
        const std::string helperSuffix = " (privileged helper)";
        bool helper = path.size() > helperSuffix.size() &&
                      path.compare(path.size() - helperSuffix.size(), helperSuffix.size(), helperSuffix) == 0;
        if (helper)
            path.erase(path.size() - helperSuffix.size());
        if (path.empty() || path[0] != '/')
            continue;
        loadEarlierOnce();
        g_manifest.loginItem = path;
        g_manifest.loginItemThroughHelper = helper;
        g_manifest.loginItemChecksum.clear();
        XpFd folder(::open(folderOf(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (folder.Get() >= 0)
            InstallerChecksumAt(folder.Get(), nameOf(path), g_manifest.loginItemChecksum, nullptr);
        changed = true;
    }
    return changed ? writeManifest(g_bundlePath, g_manifest) : std::string();
}

namespace {
InstallerRemovalResult removeRecorded(const std::string& bundlePath, const InstallerRemovalObserver& observer);
} // namespace

InstallerRemovalResult InstallerUninstall(const std::string& bundlePath, const InstallerRemovalObserver& observer)
{
    InstallerRecordBegin();
    InstallerRemovalResult result = removeRecorded(bundlePath, observer);
    recordRemovalEnd(bundlePath, result);
    return result;
}

namespace {

InstallerRemovalResult removeRecorded(const std::string& bundlePath, const InstallerRemovalObserver& observer)
{
    InstallerRemovalResult result;
    Manifest manifest;
    if (!readManifest(bundlePath, manifest, result.found, result.error))
        return result;
    if (!result.found) {
        result.error = InstallerText("no record of an installation of %s (%s)", bundleName(bundlePath),
                                     InstallerManifestPathFor(bundlePath));
        return result;
    }
    std::string helper = InstallerPrivilegedHelper();
    for (const PayloadRecord& record : manifest.payloads) {
        if (!record.throughHelper) {
            removeOwnPayload(record, observer, result);
            continue;
        }
        // The helper checks the list against what lies there as strictly as the removal above.
        std::string list;
        for (const std::string& rel : record.folders)
            list += "D " + rel + "\n";
        for (size_t i = 0; i < record.files.size(); ++i)
            list += "F " + record.checksums[i] + " " + record.files[i] + "\n";
        for (const std::string& rel : record.links)
            list += "L " + rel + "\n";
        std::string output, errors;
        int status = helper.empty() ? -1 : InstallerRunThroughPkexec(helper, {"remove-payload", record.destination}, list, &output, &errors);
        // The helper says each step in a line of its own.
        size_t at = 0;
        while (at < output.size()) {
            size_t end = output.find('\n', at);
            std::string line = output.substr(at, end == std::string::npos ? std::string::npos : end - at);
            at = end == std::string::npos ? output.size() : end + 1;
            if (line.rfind("removed ", 0) == 0)
                tell(observer, result, InstallerRemovalStep::Removed, line.substr(8), InstallerText("removed %s (privileged helper)", line.substr(8)));
            else if (line.rfind("kept ", 0) == 0)
                tell(observer, result, InstallerRemovalStep::Kept, line.substr(5), InstallerText("kept %s (privileged helper)", line.substr(5)));
        }
        if (status != 0)
            tell(observer, result, InstallerRemovalStep::Failed, record.destination,
                 helper.empty() ? InstallerText("could not remove %s: %s", record.destination, _("no privileged helper"))
                                : InstallerText("could not remove %s: %s", record.destination,
                                                errors.empty() ? "status " + std::to_string(status) : errors.substr(0, errors.find('\n'))));
    }
    if (!manifest.loginItem.empty()) {
        const std::string& item = manifest.loginItem;
        if (manifest.loginItemThroughHelper && ::geteuid() != 0) {
            std::string output, errors;
            int status = helper.empty() ? -1 : InstallerRunThroughPkexec(helper, {"login-item", "remove"}, std::string(), &output, &errors);
            if (status == 0)
                tell(observer, result, InstallerRemovalStep::Removed, item, InstallerText("removed %s (privileged helper)", item));
            else
                tell(observer, result, InstallerRemovalStep::Failed, item,
                     InstallerText("could not remove %s: %s", item,
                                   helper.empty() ? std::string(_("no privileged helper")) : errors.substr(0, errors.find('\n'))));
        } else {
            PayloadRecord entry;
            entry.destination = item;
            entry.files.push_back(nameOf(item));
            entry.checksums.push_back(manifest.loginItemChecksum);
            struct stat st;
            entry.device = ::stat(folderOf(item).c_str(), &st) == 0 ? st.st_dev : 0;
            removeOwnPayload(entry, observer, result);
        }
    }
    if (result.failed == 0) {
        XpFd folder;
        std::string why;
        if (openManifestFolder(false, folder, why))
            ::unlinkat(folder.Get(), (bundleName(bundlePath) + ".manifest").c_str(), 0);
    }
    return result;
}

} // namespace

std::string InstallerBundleName(const std::string& bundlePath)
{
    std::string folder = bundlePath;
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    std::string name = std::filesystem::path(folder).filename().string();
    const std::string suffix = ".bundle";
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        name.erase(name.size() - suffix.size());
    return name;
}
