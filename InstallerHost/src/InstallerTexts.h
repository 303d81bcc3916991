// The session core's texts for people: the installer-host catalog's translation of `format`
// (printf-style, with one %s for each of `first` and, where the text has one, `second`) filled in.
// Internal to InstallerPluginKit and the hosts.
#ifndef INSTALLERTEXTS_H
#define INSTALLERTEXTS_H

#include <libintl.h>

#include <cstdio>
#include <string>

inline std::string InstallerText(const char* format, const std::string& first, const std::string& second = std::string())
{
    const char* text = ::dgettext("installer-host", format);
    int size = std::snprintf(nullptr, 0, text, first.c_str(), second.c_str());
    if (size < 0)
        return first;
    std::string line(static_cast<size_t>(size) + 1, '\0');
    std::snprintf(&line[0], line.size(), text, first.c_str(), second.c_str());
    line.resize(static_cast<size_t>(size));
    return line;
}

#endif
