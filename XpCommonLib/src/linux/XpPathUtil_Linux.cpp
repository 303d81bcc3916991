// XpPathUtil, Linux half: special folders, volume roots, display paths, the natural comparison
// and the program's resources.
//
// What stands in for the platform's services, and why:
// - Temporary and home folders: $TMPDIR and $HOME, as every Linux program reads them, with
//   /tmp/ and the password database behind them. Application support is the freedesktop.org
//   data folder ($XDG_DATA_HOME, else ~/.local/share), where Linux applications keep their own
//   files. Pictures, Movies, Music and Desktop keep their fixed names.
// - The main bundle: a Linux program has none, so the bundle is the running program's folder
//   (/proc/self/exe) and its resources are the <prefix>/share/<program> folder that an
//   installed program finds beside its bin folder; a program run from its build folder, which
//   has no such folder, finds its resources beside itself.
// - statfs's mount point (Linux's statfs does not report one): the kernel's mount table of the
//   process's mount namespace, /proc/self/mountinfo (_XpMountTable_Linux, which the availability
//   checker reads too). The kernel tells which mount a directory is on (statx's mount id, Linux
//   5.8 and later), and the table gives that mount's target. The
//   parsed table is kept between calls, since reading it costs far more than the lookup; an
//   entry is trusted only while its target still resolves to the same mount id, and the table is
//   read again on any miss, so new, moved and removed mounts and other mount namespaces are seen
//   at once. Without mount ids, the longest target containing the directory's real path is
//   taken, preferring a mount of the directory's device (a bind mount hidden under another mount
//   leaves its target in the table).
// - The volumes folder: the folders where udisks, the desktop and administrators mount
//   removable volumes: /media, /mnt, /run/media and the per-user folders inside /media and
//   /run/media.
// - HFS colon paths: the same shape, with the last component of the mount point (or "/") as
//   the volume name.
// - compare:options: with the numeric and case-insensitive options: a natural comparison over
//   UTF-8 with ICU's simple case folding.
#include <XpPathUtil.h>

#include <XpFileOperation.h>

#include "_XpMountTable_Linux.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pwd.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace {

typedef XpStringT<char> Str;

// ---- the mount table ----

// The parsed table kept between calls. Every use only tries the lock: a thread that finds it
// taken (or a child forked while another thread held it) reads the table itself instead of
// waiting, so the cache never blocks and never deadlocks a forked child.
class MountTableCache {
public:
    // The target of mount id, when the kept table has it.
    bool find(uint64_t id, std::string& target)
    {
        std::unique_lock<std::mutex> hold(lock, std::try_to_lock);
        if (!hold.owns_lock())
            return false;
        for (const _XpMountEntry& e : entries)
            if (e.id == id) {
                target = e.target;
                return true;
            }
        return false;
    }
    // Keeps a freshly read table.
    void keep(const std::vector<_XpMountEntry>& fresh)
    {
        std::unique_lock<std::mutex> hold(lock, std::try_to_lock);
        if (hold.owns_lock())
            entries = fresh;
    }

private:
    std::mutex lock;
    std::vector<_XpMountEntry> entries;
};

MountTableCache& mountCache()
{
    // Never destroyed: threads that outlive main (a timed-out availability probe) may still
    // look up roots while the program exits.
    static MountTableCache* cache = new MountTableCache;
    return *cache;
}

// statx of a path as the existence tests see it (links followed, automounts not triggered).
bool statxPath(const char* path, unsigned mask, struct statx& st)
{
    return statx(AT_FDCWD, path, AT_STATX_SYNC_AS_STAT | AT_NO_AUTOMOUNT, mask, &st) == 0;
}

// The mount point of a mount id: from the kept table while its target still is that mount,
// else from the table read afresh. "" when the kernel's table has no such mount.
std::string targetOfMount(uint64_t id)
{
    std::string target;
    struct statx st;
    if (mountCache().find(id, target) && statxPath(target.c_str(), STATX_MNT_ID, st) &&
        (st.stx_mask & STATX_MNT_ID) && st.stx_mnt_id == id)
        return target;
    std::vector<_XpMountEntry> fresh;
    if (!_XpReadMountTable(fresh))
        return std::string();
    mountCache().keep(fresh);
    for (const _XpMountEntry& e : fresh)
        if (e.id == id)
            return e.target;
    return std::string();
}

bool targetContains(const std::string& target, const char* real)
{
    size_t n = target.size();
    if (target == "/")
        return real[0] == '/';
    return std::strncmp(real, target.c_str(), n) == 0 && (real[n] == '\0' || real[n] == '/');
}

// Without mount ids: the longest target containing the real path of dir, a mount of dir's
// device first; of equal targets the later line, which is the mount on top.
std::string mountByLongestTarget(const char* dir, const struct statx& st)
{
    char real[PATH_MAX];
    std::vector<_XpMountEntry> table;
    if (realpath(dir, real) == nullptr || !_XpReadMountTable(table))
        return std::string();
    const _XpMountEntry* best = nullptr;
    const _XpMountEntry* bestOnDevice = nullptr;
    for (const _XpMountEntry& e : table) {
        if (!targetContains(e.target, real))
            continue;
        if (!best || e.target.size() >= best->target.size())
            best = &e;
        if (e.major == st.stx_dev_major && e.minor == st.stx_dev_minor &&
            (!bestOnDevice || e.target.size() >= bestOnDevice->target.size()))
            bestOnDevice = &e;
    }
    return bestOnDevice ? bestOnDevice->target : best ? best->target : std::string();
}

std::string mountPointOf(const char* dir, const struct statx& st)
{
    if (st.stx_mask & STATX_MNT_ID) {
        std::string target = targetOfMount(st.stx_mnt_id);
        if (!target.empty())
            return target;
    }
    return mountByLongestTarget(dir, st);
}

// The first byte of text that is not part of a valid UTF-8 character (n when all are).
int32_t validUTF8Prefix(const char* text, int32_t n)
{
    int32_t i = 0;
    while (i < n) {
        int32_t start = i;
        UChar32 c;
        U8_NEXT(reinterpret_cast<const uint8_t*>(text), i, n, c);
        if (c < 0)
            return start;
    }
    return n;
}

// The nearest existing directory at or above path, walking up as GetFileDir does (path, then
// each prefix that ends in '/', longest first) and testing existence as IsDirAvailable does (an
// empty text or one that is not valid UTF-8 does not exist). The walk works on one copy of the
// text, cut in place, and skips prefixes the kernel would refuse as too long, so even a 64 KiB
// path costs one pass. false when there is none.
bool nearestDirectory(const Str& path, Str& dir, struct statx& st)
{
    std::string text(path.GetBuffer(), static_cast<size_t>(path.Length()));
    const int32_t length = path.Length();
    const int32_t valid = validUTF8Prefix(text.data(), length);
    auto isDirectory = [&](int32_t n) {
        if (n == 0 || n > valid || n >= PATH_MAX)
            return false;
        char saved = text[static_cast<size_t>(n)];
        text[static_cast<size_t>(n)] = '\0';
        bool found = statxPath(text.c_str(), STATX_TYPE | STATX_MNT_ID, st) && S_ISDIR(st.stx_mode);
        text[static_cast<size_t>(n)] = saved;
        return found;
    };
    int32_t n = length;
    while (!isDirectory(n)) {
        // GetFileDir: one tail delimiter ignored (unless the text is "/"), then up to the last '/'.
        int32_t w = n > 1 && text[static_cast<size_t>(n - 1)] == '/' ? n - 1 : n;
        int32_t s = w - 1;
        while (s >= 0 && text[static_cast<size_t>(s)] != '/')
            --s;
        if (s < 0 || s + 1 == n)
            return false;   // nothing above, or "/" itself is missing
        n = s + 1;
    }
    dir = path.Left(n);
    return true;
}

// The removable-volumes folders: /media, /mnt, /run/media, and the per-user folders inside
// /media and /run/media.
bool isRemovableVolumesFolder(const Str& dir)
{
    static const char* const kFolders[] = {"/media", "/mnt", "/run/media"};
    for (const char* folder : kFolders)
        if (XpPathUtil::IsEqualPath(dir, Str(folder)))
            return true;
    Str parent = XpPathUtil::GetFileDir(dir);
    return !XpPathUtil::GetFileFullName(dir).IsEmpty() &&
           (XpPathUtil::IsEqualPath(parent, Str("/media")) || XpPathUtil::IsEqualPath(parent, Str("/run/media")));
}

// path lies below a removable-volumes folder, and its nearest existing directory dir is that
// folder or above it: the volume that would hold path is not mounted. A folder that is itself
// a mount point (root) holds path as its own volume.
bool onUnmountedVolume(const Str& path, const Str& dir, const Str& root)
{
    Str folders[5] = {Str("/media"), Str("/mnt"), Str("/run/media")};
    int count = 3;
    for (const char* parent : {"/media", "/run/media"}) {
        // The per-user folder on the way to path: parent + "/" + the next component of path.
        int start = static_cast<int>(std::strlen(parent)) + 1;
        if (XpPathUtil::CheckPathRelationship(path, Str(parent)) != XpPathUtil::PATHREL_CHILD)
            continue;
        int end = path.Find('/', start);
        if (end != start)
            folders[count++] = path.Left(end == -1 ? path.Length() : end);
    }
    for (int i = 0; i < count; ++i) {
        if (XpPathUtil::CheckPathRelationship(path, folders[i]) != XpPathUtil::PATHREL_CHILD)
            continue;
        int32_t where = XpPathUtil::CheckPathRelationship(dir, folders[i]);
        if (where == XpPathUtil::PATHREL_PARENT ||
            (where == XpPathUtil::PATHREL_SAME && !XpPathUtil::IsEqualPath(root, folders[i])))
            return true;
    }
    return false;
}

// ---- folders ----

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

// A field of the effective user's password database entry; "" when there is none.
std::string passwordEntryField(bool homeFolder)
{
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 16384);
    for (;;) {
        struct passwd entry;
        struct passwd* found = nullptr;
        int err = getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found);
        if (err == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (err == EINTR)
            continue;
        if (err != 0 || found == nullptr)
            return std::string();
        const char* field = homeFolder ? found->pw_dir : found->pw_name;
        return field ? std::string(field) : std::string();
    }
}

Str homeFolder()
{
    std::string home = environment("HOME");
    if (home.empty())
        home = passwordEntryField(true);
    return Str(home.c_str());
}

Str temporaryFolder()
{
    std::string tmp = environment("TMPDIR");
    if (tmp.empty() || tmp[0] != '/')
        return Str("/tmp/");
    Str folder(tmp.c_str());
    XpPathUtil::AppendTailPathDelimiter(folder);
    return folder;
}

Str applicationSupportFolder()
{
    // Relative values are invalid by the XDG rules and ignored.
    std::string data = environment("XDG_DATA_HOME");
    if (!data.empty() && data[0] == '/')
        return Str(data.c_str());
    Str home = homeFolder();
    return home.IsEmpty() ? home : XpPathUtil::Concatenate(home, Str(".local/share"));
}

// The running program's file, "" when the kernel does not tell.
Str programFile()
{
    std::vector<char> buffer(256);
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0)
            return Str("");
        if (static_cast<size_t>(n) < buffer.size())
            return Str(std::string(buffer.data(), static_cast<size_t>(n)).c_str());
        if (buffer.size() >= (1u << 16))
            return Str("");
        buffer.resize(buffer.size() * 2);
    }
}

Str bundleFolder()
{
    Str program = programFile();
    if (program.IsEmpty())
        return program;
    Str folder = XpPathUtil::GetFileDir(program);
    if (folder.Length() > 1)
        XpPathUtil::CutTailPathDelimiter(folder);
    return folder;
}

Str resourceFolder()
{
    Str program = programFile();
    if (program.IsEmpty())
        return program;
    Str bundle = bundleFolder();
    Str shared = XpPathUtil::Concatenate(XpPathUtil::GetFileDir(bundle), Str("share"));
    shared = XpPathUtil::Concatenate(shared, XpPathUtil::GetFileFullName(program));
    return XpFileOperation::IsDirAvailable(shared) ? shared : bundle;
}

// ---- the natural comparison ----

// The next unit of a text: a character folded for comparison, or a byte that is not part of
// valid UTF-8 (above every character).
UChar32 nextUnit(const uint8_t* s, int32_t& i, int32_t n)
{
    uint8_t b = s[i];
    if (b < 0x80) {
        ++i;
        return b >= 'A' && b <= 'Z' ? b + ('a' - 'A') : b;
    }
    int32_t start = i;
    UChar32 c;
    U8_NEXT(s, i, n, c);
    if (c < 0) {
        i = start + 1;
        return 0x110000 + b;
    }
    return u_foldCase(c, U_FOLD_CASE_DEFAULT);
}

inline bool isDigit(uint8_t b)
{
    return b >= '0' && b <= '9';
}

inline int sign(int v)
{
    return v < 0 ? -1 : v > 0 ? 1 : 0;
}

} // namespace

bool XpPathUtil::IsRelativePath(const XpStringT<char>& path)
{
    return path.ToPlatformString().IsNil() || path[0] != '/';
}

int XpPathUtil::CompareLogical(const XpStringT<char>& a, const XpStringT<char>& b)
{
    const uint8_t* s = reinterpret_cast<const uint8_t*>(a.GetBuffer());
    const uint8_t* t = reinterpret_cast<const uint8_t*>(b.GetBuffer());
    int32_t ns = a.Length(), nt = b.Length();
    int32_t i = 0, j = 0;
    int zeros = 0;   // the first difference in leading zeros, for texts otherwise equal
    while (i < ns && j < nt) {
        if (isDigit(s[i]) && isDigit(t[j])) {
            // Two digit runs compare by value: more significant digits, then the digits.
            int32_t zi = i, zj = j;
            while (zi < ns && s[zi] == '0')
                ++zi;
            while (zj < nt && t[zj] == '0')
                ++zj;
            int32_t ei = zi, ej = zj;
            while (ei < ns && isDigit(s[ei]))
                ++ei;
            while (ej < nt && isDigit(t[ej]))
                ++ej;
            if (ei - zi != ej - zj)
                return ei - zi < ej - zj ? -1 : 1;
            if (int c = std::memcmp(s + zi, t + zj, static_cast<size_t>(ei - zi)))
                return sign(c);
            if (zeros == 0 && zi - i != zj - j)
                zeros = zi - i < zj - j ? -1 : 1;
            i = ei;
            j = ej;
            continue;
        }
        UChar32 ci = nextUnit(s, i, ns), cj = nextUnit(t, j, nt);
        if (ci != cj)
            return ci < cj ? -1 : 1;
    }
    return i < ns ? 1 : j < nt ? -1 : zeros;
}

XpStringT<char> XpPathUtil::GetRootPath(const XpStringT<char>& path)
{
    Str dir;
    struct statx st;
    if (!nearestDirectory(path, dir, st))
        return Str("");
    Str root(mountPointOf(dir.GetBuffer(), st).c_str());
    return onUnmountedVolume(path, dir, root) ? Str("") : root;
}

XpStringT<char> XpPathUtil::ConvertSystemNameToDisplayName(const XpStringT<char>& name)
{
    Str result(name.GetBuffer());   // a private copy, changed in place below
    char* text = result.GetBuffer();
    const char system = InvalidChars()[0], display = InvalidCharsForDisplay()[0];
    for (int i = 0; i < result.Length(); ++i) {
        if (text[i] == system)
            text[i] = display;
        else if (text[i] == display)
            text[i] = system;
    }
    return result;
}

XpStringT<char> XpPathUtil::ConvertDisplayNameToSystemName(const XpStringT<char>& name)
{
    return ConvertSystemNameToDisplayName(name);
}

XpStringT<char> XpPathUtil::ConvertDisplayPathToSystemPath(const XpStringT<char>& path)
{
    if (path[0] == '/' && XpFileOperation::IsFileAvailable(path))
        return path;
    // Classic colon paths: "Volume:a:b" is a full path; ":a:b" and a text without ':' are
    // relative to the working directory.
    int colon = path.Find(':');
    Str result;
    int start = 0;
    if (colon > 0) {
        Str volume = ConvertDisplayNameToSystemName(path.Left(colon));
        if (volume == ":") {   // shown as "/": the root volume
            result = "/";
        } else {
            std::vector<_XpMountEntry> table;
            std::string found;
            if (_XpReadMountTable(table)) {
                // Removable volumes are the ones a person names; other mounts come after them.
                for (int pass = 0; pass < 2 && found.empty(); ++pass)
                    for (const _XpMountEntry& e : table) {
                        Str target(e.target.c_str());
                        if (GetFileFullName(target) == volume &&
                            (pass == 1 || isRemovableVolumesFolder(GetFileDir(target)))) {
                            found = e.target;
                            break;
                        }
                    }
            }
            if (found.empty()) {
                std::string user = passwordEntryField(false);
                found = user.empty() ? "/media" : "/media/" + user;
                found = found + "/" + volume.GetBuffer();
            }
            result = found.c_str();
        }
        start = colon + 1;
    } else {
        result = "";
        start = colon == 0 ? 1 : 0;
    }
    // The components, each with its display '/' back to ':'; empty ones are skipped.
    while (start <= path.Length()) {
        int end = path.Find(':', start);
        if (end == -1)
            end = path.Length();
        if (end > start)
            result = Concatenate(result, ConvertDisplayNameToSystemName(path.Mid(start, end - start)));
        start = end + 1;
    }
    return result;
}

XpStringT<char> XpPathUtil::ConvertSystemPathToDisplayPath(const XpStringT<char>& path)
{
    if (!XpFileOperation::IsPathAvailable(path, nullptr))
        return Str("");
    char real[PATH_MAX];
    if (realpath(path.GetBuffer(), real) == nullptr)
        return Str("");
    std::string root = GetRootPath(Str(real)).GetBuffer();
    size_t below = 0;
    Str result;
    if (root.empty() || root == "/" || !targetContains(root, real)) {
        result = "/";
    } else {
        result = ConvertSystemNameToDisplayName(GetFileFullName(Str(root.c_str())));
        below = root.size();
    }
    // A volume alone is "Volume:", as the classic form names a volume.
    if (real[below] == '\0' || (real[below] == '/' && real[below + 1] == '\0'))
        return result + ":";
    const char* component = real + below;
    while (*component) {
        while (*component == '/')
            ++component;
        const char* end = std::strchr(component, '/');
        size_t n = end ? static_cast<size_t>(end - component) : std::strlen(component);
        if (n > 0) {
            result += ":";
            result += ConvertSystemNameToDisplayName(Str(std::string(component, n).c_str()));
        }
        component += n;
    }
    return result;
}

XpStringT<char> XpPathUtil::FindApplicationSpecifiedFile(const XpStringT<char>& fileName)
{
    Str ext = GetFileExt(fileName);
    Str name = GetFileName(fileName);
    if (!ext.IsEmpty())
        name += ext.GetBuffer();   // ext keeps its dot
    if (name.IsEmpty() || name == "." || name == "..")
        return Str("");
    Str resources = GetSpecialPath(PATH_APP_RESOURCES, false);
    if (resources.IsEmpty())
        return resources;
    Str candidate = Concatenate(resources, name);
    return XpFileOperation::IsPathAvailable(candidate, nullptr) ? candidate : Str("");
}

XpStringT<char> XpPathUtil::GetSpecialPath(pathtype type, bool create)
{
    Str folder;
    bool creatable = true;
    switch (type) {
    case PATH_TEMPORARY:
        folder = temporaryFolder();
        break;
    case PATH_PICTURES:
    case PATH_MOVIES:
    case PATH_MUSIC:
    case PATH_DESKTOP: {
        static const char* const kNames[] = {"", "Pictures", "Movies", "Music", "", "Desktop"};
        Str home = homeFolder();
        if (!home.IsEmpty())
            folder = Concatenate(home, Str(kNames[type]));
        break;
    }
    case PATH_APP_SUPPORT:
        folder = applicationSupportFolder();
        break;
    case PATH_APP_RESOURCES:
        folder = resourceFolder();
        creatable = false;
        break;
    case PATH_APP_BUNDLE:
        folder = bundleFolder();
        creatable = false;
        break;
    default:
        folder = homeFolder();
        break;
    }
    if (folder.IsEmpty() || !create || !creatable || XpFileOperation::IsDirAvailable(folder))
        return folder;
    // The folder is made without the tail delimiter it may be reported with, which would make
    // the last level answer "exists". One made by someone else meanwhile is as good.
    Str target(folder);
    CutTailPathDelimiter(target);
    XpErr err = XpFileOperation::MakeDirRecursively(target);
    if (err != XPERR_OK && !(err == XPERR_FILE_EXISTS && XpFileOperation::IsDirAvailable(folder)))
        return Str("");
    return folder;
}

XpStringT<char> XpPathUtil::GetEllipsisDisplayPath(const XpStringT<char>& path)
{
    // Filled by the one-time initialisation of a function-local static: concurrent first
    // callers wait for it, and nobody sees the tables half-filled.
    struct Tables {
        const pathtype pathTypes[5] = {PATH_PICTURES, PATH_MOVIES, PATH_MUSIC, static_cast<pathtype>(4),
                                       PATH_DESKTOP};
        Str paths[5];
        Str displayName[5];
        bool initialized = false;
    };
    static const Tables tables = [] {
        Tables t;
        for (int i = 0; i < 5; ++i) {
            t.displayName[i] = GetSpecialPath(t.pathTypes[i], false);
            t.paths[i] = t.displayName[i];
            CutTailPathDelimiter(t.paths[i]);
        }
        t.initialized = true;
        return t;
    }();
    for (int i = 0; i < 5; ++i) {
        const Str& prefix = tables.paths[i];
        int n = prefix.Length();
        if (n > 0 && path.Length() >= n && strncasecmp(path, prefix, static_cast<size_t>(n)) == 0 &&
            (path[n] == '/' || path[n] == '\0'))
            return tables.displayName[i] + path.Right(path.Length() - n);
    }
    return path;
}
