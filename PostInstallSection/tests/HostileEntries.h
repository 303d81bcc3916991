// System desktop entries that anyone packaging an application could ship, for the two writers of
// the all-users login item (the plug-in's desktop layer and the privileged helper): each either
// gives an entry desktop-file-validate accepts, or none and the reason.
#ifndef HOSTILEENTRIES_H
#define HOSTILEENTRIES_H

#include <string>
#include <vector>

struct HostileEntry {
    std::string keys;   // the lines after "[Desktop Entry]\nType=Application\n"
    const char* reason; // in the refusal; nullptr: written, and valid
};

inline std::vector<HostileEntry> hostileEntries()
{
    using namespace std::string_literals;
    return {
        {"Name=Om\xff" "brix\nExec=ombrix\n", "Name is not valid UTF-8"},
        {"Name=Ombrix\nExec=ombrix\nIcon=om\xc3(\n", "Icon is not valid UTF-8"},
        {"Name=Om\rbrix\nExec=ombrix\n", "Name holds a control character"},
        {"Name=Ombrix\nExec=ombrix \"a\tb\"\n", "Exec holds a control character"},
        {"Exec=ombrix \"a$b\"\n", "unescaped '$' inside quotes in Exec"},
        {"Exec=ombrix \"`id`\"\n", "unescaped '`' inside quotes in Exec"},
        {"Exec=ombrix \"a\\\\qb\"\n", "backslash inside quotes in Exec escapes nothing"},
        {"Exec=ombrix %f %u\n", "more than one of %f %u %F %U in Exec"},
        {"Exec=ombrix \"%F\" %U\n", "more than one of %f %u %F %U in Exec"},
        {"Exec=ombrix %x\n", "unknown field code '%x' in Exec"},
        {"Exec=ombrix 100%\n", "incomplete field code '%' in Exec"},
        {"Exec=ombrix\0-not-this --record LOG\n"s, "NUL byte in Exec"},
        {"Exec=ombrix \"--safe\0-mode-off\"\n"s, "NUL byte in Exec"},
        {"Name=\xc3\x96mbrix \xe2\x9c\x93\nExec=\"/opt/My Apps/ombrix\" --title \"a\\\\$b \\\\`c\\\\` d\\\\\\\\e\" %U\nIcon=ombrix\n",
         nullptr},
        {"Name=Om\\nbrix\\r\nExec=ombrix 100%% %i %c %k \"%%f\"\n", nullptr},
    };
}

#endif
