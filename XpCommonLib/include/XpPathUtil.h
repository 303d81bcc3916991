// XpPathUtil: static operations on paths.
//
// A path is an XpStringT<char> in UTF-8 whose components are separated by '/'. A path "has a
// tail delimiter" when its last '/' is its last byte. Indexes and lengths count bytes. Unless an
// operation says otherwise it works on the text alone and never touches the file system; none
// reports an error: missing parts give "", and failed lookups give "" as each member says.
//
// Every other path-handling module of the library builds its paths with these operations, so
// their exact results matter, the tail delimiter above all: Concatenate puts exactly one '/'
// between a non-empty directory and a name, SplitPath's directory keeps its tail delimiter, and
// CheckPathRelationship ignores one tail delimiter and letter case.
//
// A few display operations keep branches for drive-letter paths ("C:"), which the library also
// serves on other systems; on Linux such texts are plain relative names.
//
// What stands in for the platform's services on Linux, and the choices made there:
// - Special folders (GetSpecialPath): the temporary folder is $TMPDIR when it is an absolute
//   path (a tail delimiter added, as the platform reports folders there), else "/tmp/". The home
//   folder is $HOME when it is set and not empty, else the home folder that the password
//   database records for the effective user; when neither gives one, every home-based type gives
//   "". Pictures, Movies, Music and Desktop are the home folder joined with those fixed names
//   (not the XDG user directories, which may be translated). Application support is
//   $XDG_DATA_HOME when it is absolute, else the home folder joined with ".local/share". The
//   application bundle is the folder of the running program (/proc/self/exe); its resources are
//   <bundle>/../share/<program name> when that folder exists, else the bundle folder itself.
// - Volume roots (GetRootPath): the mount point is read from /proc/self/mountinfo (octal escapes
//   such as \040 decoded): the target of the mount that the kernel reports for the directory
//   (its mount id), so bind mounts and stacked mounts answer right; on kernels without mount ids
//   (before 5.8), the longest target containing the directory's real path, a mount of the
//   directory's device (st_dev) preferred. The folders where Linux mounts removable volumes
//   stand for the platform's volumes folder: /media, /mnt, /run/media, and each folder directly
//   inside /media or /run/media (the per-user folders /media/<user>). A path below one of them
//   whose volume is not mounted has no root (""): its nearest existing directory is that folder
//   or lies above it, and that folder is not itself a mount point.
// - Display paths (ConvertSystemPathToDisplayPath and back): the volume name, then the
//   components, joined with ':'. The volume name is "/" for the root volume and otherwise the
//   last component of the volume's mount point; a ':' in any name shows as '/'.
// - CompareLogical: a natural comparison of our own (see there).
// - The file-system representation of a path is its UTF-8 text itself: Linux file systems take
//   names as the bytes they are given, with no normalization.
#ifndef XPPATHUTIL_H
#define XPPATHUTIL_H

#include "XpCommonLib.h"
#include "XpString.h"

#include <cstdint>

/** \defgroup paths Paths
    UTF-8 paths as text, special folders, volume roots, display paths and logical comparison.
    \{ */

// The host application's provider of localized texts. The library holds no implementation; it
// calls only GetLocalizedString, with the key "Messages/DataBase/NotDriveExists", when it shows
// a path that stands for a missing drive (GetDisplayPathEx). The other members are for the
// host's own use, and the host says what they do.
class XP_API IXpStringsManagersWrapper {
public:
    virtual ~IXpStringsManagersWrapper() = default;
    // Loads the texts of a language ("en", "de"; null for the user's own). True when loaded.
    // The library never calls it.
    virtual bool LoadStrings(const char* language) = 0;
    // The language whose texts are loaded ("" when unknown). The library never calls it.
    virtual XpStringT<char> GetLanguage() = 0;
    // The localized text for key (a UTF-8 C string, never null when the library calls it).
    virtual XpStringT<char> GetLocalizedString(const char* key) = 0;
};

// Operations on path texts and on the platform's folders. Class methods only.
class XP_API XpPathUtil {
public:
    XpPathUtil() = delete;

    // Results of CheckPathRelationship.
    static constexpr int32_t PATHREL_CHILD = 0;       // the first path lies inside the second
    static constexpr int32_t PATHREL_PARENT = 1;      // the first path contains the second
    static constexpr int32_t PATHREL_SAME = 2;        // the two paths are the same
    static constexpr int32_t PATHREL_UNRELATED = 3;   // neither contains the other

    // The special folders of GetSpecialPath. 4 and 6 to 10 have no name of their own and, like
    // any value not listed, stand for the home folder.
    enum pathtype : int {
        PATH_TEMPORARY = 0,        // the user's temporary folder
        PATH_PICTURES = 1,         // home + "/Pictures"
        PATH_MOVIES = 2,           // home + "/Movies"
        PATH_MUSIC = 3,            // home + "/Music"
        PATH_DESKTOP = 5,          // home + "/Desktop"
        PATH_APP_SUPPORT = 11,     // the user's application-support (data) folder
        PATH_APP_RESOURCES = 12,   // the running program's resource folder
        PATH_APP_BUNDLE = 13,      // the running program's folder
    };

    // ---- characters ----

    // c is 'a' to 'z' or 'A' to 'Z'.
    static bool IsValidDriveLetter(char c);
    // The characters that may not occur in a file name: "/". Static text, never freed.
    static const char* InvalidChars();
    // The characters that may not occur in a name as the user sees it: ":". Static text.
    static const char* InvalidCharsForDisplay();

    // ---- the tail delimiter ----

    // Removes one tail delimiter, if any: "/a//" becomes "/a/", "/" becomes "".
    static void CutTailPathDelimiter(XpStringT<char>& path);
    // Appends "/" when path has no tail delimiter (so "" becomes "/").
    static void AppendTailPathDelimiter(XpStringT<char>& path);

    // ---- comparing ----

    // PATHREL_CHILD, PATHREL_PARENT, PATHREL_SAME or PATHREL_UNRELATED. Both paths are compared
    // with a tail delimiter added and without regard to ASCII letter case, component-wise: /a/b
    // lies inside /A, /ab is unrelated to /a. Text only: links and "." are not resolved.
    static int32_t CheckPathRelationship(const XpStringT<char>& a, const XpStringT<char>& b);
    // CheckPathRelationship(a, b) is PATHREL_SAME: "/Users/X" equals "/users/x/".
    static bool IsEqualPath(const XpStringT<char>& a, const XpStringT<char>& b);

    // ---- joining and splitting ----

    // a, then "/" when a is not empty and has no tail delimiter, then b without one leading '/'.
    // ("/a" + "b" = "/a/b"; "/a/" + "/b" = "/a/b"; "" + "/b" = "b"; "/a" + "" = "/a/".)
    static XpStringT<char> Concatenate(const XpStringT<char>& a, const XpStringT<char>& b);
    // Splits path into directory (with its tail delimiter), name (without extension) and
    // extension (with its dot); each pointer may be null. One tail delimiter of path is ignored
    // ("/a/b/" gives "/a/", "b", ""), "/" gives "/", "", "". A dot in a directory does not start
    // an extension; a name that is only an extension (".profile") gives an empty name.
    static void SplitPath(const XpStringT<char>& path, XpStringT<char>* dir, XpStringT<char>* name,
                          XpStringT<char>* ext);
    // SplitPath's directory and name, joined by Concatenate, then "." and ext (ext comes without
    // its dot: "/a/b.txt" with "png" gives "/a/b.png").
    static XpStringT<char> ConvertExt(const XpStringT<char>& path, const XpStringT<char>& ext);
    // SplitPath's directory.
    static XpStringT<char> GetFileDir(const XpStringT<char>& path);
    // SplitPath's name: the last component without its extension.
    static XpStringT<char> GetFileName(const XpStringT<char>& path);
    // The last component, every tail delimiter ignored: "/a/b//" gives "b", "/" gives "".
    static XpStringT<char> GetFileFullName(const XpStringT<char>& path);
    // The extension of the last component, dot included, or "". Unlike SplitPath no tail
    // delimiter is ignored: "/a/b.txt/" gives "".
    static XpStringT<char> GetFileExt(const XpStringT<char>& path);

    // ---- names ----

    // name holds neither '/' nor a tab. The empty name is valid.
    static bool IsValid(const XpStringT<char>& name);
    // s without leading and trailing white space and dots (null counts as ""). White space is
    // the C locale's isspace for ASCII bytes and, for a UTF-8 character from U+0080 up, its
    // Unicode white-space class (U+00A0, U+2003, U+3000, ...); a whole character is dropped,
    // never part of one. Bytes that are not valid UTF-8 count as ordinary characters.
    static XpStringT<char> TrimStringForFolderName(const char* s);
    // s without leading white space (same class); dots and trailing white space stay.
    static XpStringT<char> TrimStringForFileName(const char* s);

    // ---- display forms ----

    // path without its tail delimiter. A drive letter with ':' gets a backslash ("C:\"); a path
    // of exactly 3 bytes stays as it is.
    static XpStringT<char> GetDisplayPath(const XpStringT<char>& path);
    // The text of GetDisplayPath(path) after its last ':' (all of it without ':').
    static XpStringT<char> GetFileFullNameForDisplay(const XpStringT<char>& path);
    // The path as shown to the user, without tail delimiter. A path beginning with '<' stands
    // for a missing drive: with a strings provider, it shows as the provider's text for
    // "Messages/DataBase/NotDriveExists" followed by the part after the first '>' ("<X>/Music/"
    // gives "<text>/Music"). With shorten, special-folder prefixes are shown through
    // GetEllipsisDisplayPath. strings may be null.
    static XpStringT<char> GetDisplayPathEx(const XpStringT<char>& path,
                                            IXpStringsManagersWrapper* strings, bool shorten);

    // ---- folders and roots ----

    // The application-support folder joined with second and, when not empty, third (first is
    // not used on Linux). With create, a missing folder is made with MakeDirRecursively; the
    // path is returned whether or not that worked.
    static XpStringT<char> GetAppPreferencePath(const XpStringT<char>& first,
                                                const XpStringT<char>& second,
                                                const XpStringT<char>& third, bool create);
    // path equals, ignoring ASCII case, the mount point GetRootPath gives for it ("/" and a
    // mounted volume's mount point; not "/mnt/disk/" with its tail delimiter). A lone drive
    // letter with ':' is looked at with a tail delimiter. The empty path has the empty root and
    // so counts as a root.
    static bool IsRootPath(const XpStringT<char>& path);
    // path in the form the file system takes. On Linux that is the UTF-8 text itself; a text
    // that is not valid UTF-8 is returned unchanged as well.
    static XpStringT<char> GetFileSystemRepresentation(const XpStringT<char>& path);

    // ---- platform paths and display names ----

    // path does not begin with '/'. "~" is not expanded on Linux, so "~/x" is relative; text
    // that is not valid UTF-8 counts as relative.
    static bool IsRelativePath(const XpStringT<char>& path);
    // -1, 0 or 1 as a sorts before, with or after b, in the order a person expects of file
    // names: runs of ASCII digits compare by their value ("file2" before "file10"), letters
    // compare without case (by Unicode simple case folding), everything else by code point;
    // bytes that are not valid UTF-8 sort after every character, by their value. Texts equal in
    // all that are ordered by their first digit runs of unequal leading zeros, fewer zeros first
    // ("file1" before "file01" before "file1b"). 0 only for texts equal but for letter case.
    static int CompareLogical(const XpStringT<char>& a, const XpStringT<char>& b);
    // The mount point of the volume holding path, or "". Starts at the nearest existing
    // directory at or above path (a relative path counts from the working directory); "" when
    // there is none, and for a path below a removable-volumes folder (see the top of this
    // header) whose volume is not mounted. Symbolic links are followed. Reads the mount table
    // of the process's mount namespace.
    static XpStringT<char> GetRootPath(const XpStringT<char>& path);
    // name with every '/' turned into ':' and every ':' into '/'; its own inverse.
    static XpStringT<char> ConvertSystemNameToDisplayName(const XpStringT<char>& name);
    // The same exchange as ConvertSystemNameToDisplayName.
    static XpStringT<char> ConvertDisplayNameToSystemName(const XpStringT<char>& name);
    // A colon-separated display path ("Disk:a:b", "/:home:x") as a path. A text beginning with
    // '/' that names an existing file is returned as it is. As in the classic colon form, a
    // text whose first ':' is not its first byte names a volume before that ':', and any other
    // text (":a:b", "name") is relative to the working directory. The volume name "/" is the
    // root volume; another name is the mounted volume whose mount point ends with that name
    // (the removable-volumes folders searched first), or, when none is mounted, the folder that
    // name would be mounted at: /media/<user name>/<name>. Empty components are skipped; the
    // result has no tail delimiter. "" gives "".
    static XpStringT<char> ConvertDisplayPathToSystemPath(const XpStringT<char>& path);
    // The colon-separated display path of an existing file or directory ("" when path names
    // nothing): the volume name, then the components below the mount point, each with its
    // ':' shown as '/' ("/:home:me:a.txt", "Disk:photos"); a mount point alone is "Volume:".
    // Symbolic links are resolved, so the result names where the object is.
    static XpStringT<char> ConvertSystemPathToDisplayPath(const XpStringT<char>& path);
    // The path of the resource called like the last component of fileName in the program's
    // resource folder (GetSpecialPath(PATH_APP_RESOURCES)), or "" when there is none.
    static XpStringT<char> FindApplicationSpecifiedFile(const XpStringT<char>& fileName);
    // The folder of the given type (see pathtype and the top of this header), or "" when it
    // cannot be found. With create, a missing folder of the temporary or home-based types, and
    // of the application-support type, is made (MakeDirRecursively); "" when that fails. The
    // bundle and resource folders are never created.
    static XpStringT<char> GetSpecialPath(pathtype type, bool create);
    // path with a leading Pictures, Movies, Music, home or Desktop folder (in that order, the
    // first match wins, ASCII case ignored, whole components only) written as that folder is
    // reported. The folders are looked up once, on the first call, and never refreshed. Safe
    // from any thread; concurrent first calls wait for the one lookup.
    static XpStringT<char> GetEllipsisDisplayPath(const XpStringT<char>& path);
};

/** \} */

#endif
