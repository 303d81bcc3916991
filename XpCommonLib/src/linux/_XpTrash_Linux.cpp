// The trash on Linux: the freedesktop.org Trash layout, which every Linux desktop, file
// manager and `gio trash` read, standing in for the platform's trash folder and recycle
// operation.
//
// A trash folder holds files/NAME (the item, moved there by rename) and info/NAME.trashinfo:
//   [Trash Info]
//   Path=<original path, percent-encoded>
//   DeletionDate=YYYY-MM-DDThh:mm:ss (local time)
// The information file is created first, with O_CREAT|O_EXCL: that is how two processes trashing
// the same name at once agree on who takes NAME and who moves on to the next number. NAME is the
// item's own name, then "name(1).ext", "name(2).ext", ... up to 99999. An item can be renamed
// into the home trash only from the same mount (rename says EXDEV otherwise); items of other
// mounts go to that mount's own trash, $topdir/.Trash/$UID when an administrator prepared a
// sticky $topdir/.Trash, else $topdir/.Trash-$UID, where Path= is relative to $topdir. Both are
// opened without following links and must belong to us, since other users can write $topdir.
// Every step works on descriptors of the folders it has checked.
//
// The home trash is reached from the home folder's descriptor when $XDG_DATA_HOME lies in the
// home (from "/" otherwise): each level is made when missing and opened relative to the level
// above it without following a link, so a ~/.local planted as a link to somewhere else stops the
// trash instead of having folders made in the link's target. Root may be asked to trash for a
// desktop user (HOME is the user's): every folder it makes in that home, and each information
// file, is given to the home's owner, since a root-owned ~/.local would break the user's desktop
// and a root-owned trash could not be read or emptied by the user.
#include "_XpFileOperationSub_Linux.h"

#include "_XpFd_Linux.h"

#include "_XpNetworkVolume.h"

#include <XpPathUtil.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int openDirAt(int dir, const char* name)
{
    return _XpOpenAt(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
}

// Who the folders and files a trash is made of belong to.
struct Owner {
    uid_t uid;
    gid_t gid;
};

Owner us()
{
    return Owner{geteuid(), getegid()};
}

// Opens the folder name of dir, making it (mode 0700) when missing; a folder made is given to
// owner when that is not us. A link there is refused (ELOOP), never followed.
int openMadeDirAt(int dir, const char* name, const Owner& owner)
{
    bool made = mkdirat(dir, name, 0700) == 0;
    if (!made && errno != EEXIST)
        return -1;
    XpFd fd(openDirAt(dir, name));
    if (fd.Get() >= 0 && made && owner.uid != geteuid() && fchown(fd.Get(), owner.uid, owner.gid) != 0)
        fd.Reset();
    return fd.Release();
}

// openMadeDirAt for a folder of the trash itself, which must belong to owner.
int openOwnDirAt(int dir, const char* name, const Owner& owner)
{
    XpFd fd(openMadeDirAt(dir, name, owner));
    struct stat st;
    if (fd.Get() >= 0 && (fstat(fd.Get(), &st) != 0 || st.st_uid != owner.uid)) {
        fd.Reset();
        errno = EPERM;
        return -1;
    }
    return fd.Release();
}

// Percent-encoding of a path for Path=: unreserved characters and '/' stay, every other byte
// (UTF-8 bytes included) becomes %XX.
std::string encodePath(const std::string& path)
{
    std::string out;
    for (unsigned char c : path) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (plain || (c != 0 && std::strchr("/-_.~", c) != nullptr)) {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

std::string infoText(const std::string& originalPath)
{
    time_t now = time(nullptr);
    struct tm local;
    char date[32] = "";
    if (localtime_r(&now, &local) != nullptr)
        strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    return "[Trash Info]\nPath=" + encodePath(originalPath) + "\nDeletionDate=" + date + "\n";
}

// NAME for attempt n: the item's name, then name(n).ext with the extension split as SplitPath
// does it (report.txt gives report(1).txt; .profile gives (1).profile).
std::string trashName(const std::string& item, int n)
{
    if (n == 0)
        return item;
    XpStringT<char> name, ext;
    XpPathUtil::SplitPath(XpStringT<char>(item.c_str()), nullptr, &name, &ext);
    char number[16];
    std::snprintf(number, sizeof number, "(%d)", n);
    return std::string(name.GetBuffer()) + number + ext.GetBuffer();
}

// Moves name of dir into the trash folder trash, recording originalPath. 0 or an errno value;
// EXDEV when the trash is on another mount (nothing changed).
int trashInto(int trash, int dir, const char* name, const std::string& originalPath,
              const Owner& owner)
{
    XpFd files(openOwnDirAt(trash, "files", owner));
    XpFd info(openOwnDirAt(trash, "info", owner));
    if (files.Get() < 0 || info.Get() < 0)
        return errno;
    std::string text = infoText(originalPath);
    for (int n = 0; n < 100000; ++n) {
        std::string target = trashName(name, n);
        std::string infoName = target + ".trashinfo";
        int fd = _XpOpenAt(info.Get(), infoName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW,
                           0600);
        if (fd < 0 && errno == EEXIST)
            continue;   // taken, by us or by another process right now
        if (fd < 0)
            return errno;
        XpFd file(fd);
        int err = owner.uid != geteuid() && fchown(file.Get(), owner.uid, owner.gid) != 0 ? errno : 0;
        if (err == 0)
            err = _XpWriteAll(file.Get(), text.data(), text.size());
        int closeErr = file.Close();
        if (err == 0)
            err = closeErr;
        if (err == 0)
            err = _XpFileOperationSub_Linux::RenameNoReplaceAt(dir, name, files.Get(), target.c_str());
        if (err == 0)
            return 0;
        unlinkat(info.Get(), infoName.c_str(), 0);   // give the reserved name back
        if (err != EEXIST)
            return err;
        // files/NAME exists without its information file (left by a crash): next number.
    }
    return EEXIST;
}

// The trash folder of the mount whose top folder is topdir, opened; -1 when it has none usable.
int openTopdirTrash(const std::string& topdir)
{
    XpFd top(openDirAt(AT_FDCWD, topdir.c_str()));
    if (top.Get() < 0)
        return -1;
    std::string uid = std::to_string(geteuid());
    struct stat st;
    if (fstatat(top.Get(), ".Trash", &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
        (st.st_mode & S_ISVTX) != 0) {
        XpFd shared(openDirAt(top.Get(), ".Trash"));
        int fd = shared.Get() >= 0 ? openOwnDirAt(shared.Get(), uid.c_str(), us()) : -1;
        if (fd >= 0)
            return fd;
    }
    return openOwnDirAt(top.Get(), (".Trash-" + uid).c_str(), us());
}

// The home folder: $HOME, else the password database's; "" when neither is absolute.
std::string homeFolder()
{
    const char* home = std::getenv("HOME");
    std::string h = home != nullptr && home[0] == '/' ? home : "";
    if (h.empty()) {
        struct passwd pw, *found = nullptr;
        char buffer[4096];
        if (getpwuid_r(geteuid(), &pw, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
            found->pw_dir[0] == '/')
            h = found->pw_dir;
    }
    while (h.size() > 1 && h.back() == '/')
        h.pop_back();
    return h;
}

// Opens the home trash ($XDG_DATA_HOME/Trash, default ~/.local/share/Trash) with its files/ and
// info/ folders, making what is missing; path and owner get its path and whom it belongs to.
// -1 with errno set when it cannot be found or made.
int openHomeTrash(std::string* path, Owner* owner)
{
    std::string home = homeFolder();
    const char* xdg = std::getenv("XDG_DATA_HOME");
    std::string data = xdg != nullptr && xdg[0] == '/' ? xdg : home.empty() ? "" : home + "/.local/share";
    if (data.empty()) {
        errno = ENOENT;
        return -1;
    }
    // Start from the home folder when the data folder lies in it, else from "/"; the start is
    // opened as the system names it, each level below without following links.
    bool inHome = home.size() > 1 && data.compare(0, home.size() + 1, home + "/") == 0;
    std::string below = inHome ? data.substr(home.size()) : data;
    XpFd level(_XpOpenAt(AT_FDCWD, inHome ? home.c_str() : "/", O_RDONLY | O_DIRECTORY));
    struct stat st;
    if (level.Get() < 0 || fstat(level.Get(), &st) != 0)
        return -1;
    *owner = inHome ? Owner{st.st_uid, st.st_gid} : us();
    std::string shown = inHome ? home : "";
    for (size_t at = 0; at < below.size();) {
        size_t end = below.find('/', at);
        if (end == std::string::npos)
            end = below.size();
        std::string name = below.substr(at, end - at);
        at = end + 1;
        if (name.empty() || name == ".")
            continue;
        if (name == "..") {   // would climb out of what was checked
            errno = EINVAL;
            return -1;
        }
        level.Reset(openMadeDirAt(level.Get(), name.c_str(), *owner));
        if (level.Get() < 0)
            return -1;
        shown += "/" + name;
    }
    XpFd trash(openOwnDirAt(level.Get(), "Trash", *owner));
    if (trash.Get() < 0)
        return -1;
    XpFd files(openOwnDirAt(trash.Get(), "files", *owner));
    XpFd info(openOwnDirAt(trash.Get(), "info", *owner));
    if (files.Get() < 0 || info.Get() < 0)
        return -1;
    *path = shown + "/Trash";
    return trash.Release();
}

// The real path of an open folder.
std::string pathOfDir(int fd)
{
    char link[64], target[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target);
    return n > 0 && n < static_cast<ssize_t>(sizeof target) && target[0] == '/'
               ? std::string(target, static_cast<size_t>(n))
               : std::string();
}

} // namespace

XpStringT<char> _XpFileOperationSub_Linux::HomeTrashPath()
{
    std::string path;
    Owner owner;
    XpFd trash(openHomeTrash(&path, &owner));
    return trash.Get() >= 0 ? XpStringT<char>(path.c_str()) : XpStringT<char>();
}

int _XpFileOperationSub_Linux::Trash(const XpStringT<char>& path)
{
    int dirFd = -1;
    std::string name;
    int err = OpenParent(path.GetBuffer(), &dirFd, &name);
    if (err != 0)
        return err;
    XpFd dir(dirFd);
    struct stat st;
    if (fstatat(dir.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    std::string folder = pathOfDir(dir.Get());
    if (folder.empty())
        return ENOENT;
    std::string original = (folder == "/" ? "" : folder) + "/" + name;
    std::string homePath;
    Owner owner;
    XpFd homeTrash(openHomeTrash(&homePath, &owner));
    if (homeTrash.Get() < 0)
        return ENOENT;
    err = trashInto(homeTrash.Get(), dir.Get(), name.c_str(), original, owner);
    if (err != EXDEV)
        return err;
    // Another mount: its own trash, with the path relative to its top folder.
    std::string topdir = _XpMountPointOf(original);
    if (topdir.empty() || original.size() <= topdir.size())
        return EXDEV;   // no mount found, or the item is the mount's top folder itself
    XpFd trash(openTopdirTrash(topdir));
    if (trash.Get() < 0)
        return EXDEV;
    std::string relative = topdir == "/" ? original.substr(1) : original.substr(topdir.size() + 1);
    return trashInto(trash.Get(), dir.Get(), name.c_str(), relative, us());
}
