// InstallerDisplayText: text from files other people write, made fit to be shown.
//
// Paths, settings values and the reasons of refusals quote what lies in a user's or a package's
// files: escape sequences that retitle or clear a terminal, newlines that split a one-line
// record, bytes that are not UTF-8. What is shown is made harmless here; the data itself (a
// folder's real name) is never changed. Header-only on GLib's UTF-8 routines, so the plug-in,
// the privileged helper and both hosts use the same rules.
#ifndef INSTALLERDISPLAYTEXT_H
#define INSTALLERDISPLAYTEXT_H

#include <glib.h>

#include <cstdio>
#include <string>

// `text` with every control character (C0, DEL and C1) written as an escape: \n \r \t, else
// \xHH for one byte and \u00HH for a C1 code point; a byte that is not part of valid UTF-8 is
// written as \xHH too, so the result is valid UTF-8 and holds no control character. With
// `keepNewlines`, '\n' stays a line break (for texts a host wraps line by line).
inline std::string InstallerEscapeControls(const std::string& text, bool keepNewlines = false)
{
    std::string out;
    out.reserve(text.size());
    const char* p = text.data();
    const char* const end = p + text.size();
    char escape[8];
    while (p < end) {
        gunichar c = g_utf8_get_char_validated(p, end - p);
        if (c == static_cast<gunichar>(-1) || c == static_cast<gunichar>(-2)) { // a NUL byte gives -2 too
            std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(*p));
            out += escape;
            ++p;
            continue;
        }
        const char* next = g_utf8_next_char(p);
        if (!g_unichar_iscntrl(c) || (keepNewlines && c == '\n')) {
            out.append(p, next);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            std::snprintf(escape, sizeof escape, c < 0x80 ? "\\x%02x" : "\\u%04x", static_cast<unsigned>(c));
            out += escape;
        }
        p = next;
    }
    return out;
}

// `text` as valid UTF-8 for a widget: each invalid sequence becomes U+FFFD. A folder whose name
// is not UTF-8 is shown readable, while the path the installer works with stays the bytes it is.
inline std::string InstallerValidUTF8(const std::string& text)
{
    if (g_utf8_validate_len(text.data(), text.size(), nullptr))
        return text;
    gchar* valid = g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
    std::string out(valid);
    g_free(valid);
    return out;
}

#endif
