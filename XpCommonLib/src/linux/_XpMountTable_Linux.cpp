// The mount table of the process's mount namespace (see _XpMountTable_Linux.h). Linux's statfs
// reports no mount point and no file-system name, so the kernel's table stands in for both.
#include "_XpMountTable_Linux.h"

#include "_XpFd_Linux.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace {

// The next field of a line, skipping the spaces before it; empty at the end of the line.
bool nextField(const char*& p, const char* end, const char** field, size_t* length)
{
    while (p < end && *p == ' ')
        ++p;
    *field = p;
    while (p < end && *p != ' ')
        ++p;
    *length = static_cast<size_t>(p - *field);
    return *length != 0;
}

// A decimal number filling the whole of text.
template <class Number>
bool parseNumber(const char* text, size_t length, Number* value)
{
    Number n = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        n = n * 10 + static_cast<Number>(text[i] - '0');
    }
    *value = n;
    return length != 0;
}

// mountinfo writes space, tab, newline and backslash in paths as \ooo.
std::string decodeOctalEscapes(const char* s, size_t n)
{
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        if (s[i] == '\\' && i + 3 < n && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' &&
            s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
            out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// ID PARENT MAJOR:MINOR ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPEROPTIONS
bool parseLine(const char* line, size_t n, _XpMountEntry& entry)
{
    const char* p = line;
    const char* end = line + n;
    const char* field[5];
    size_t length[5];
    for (int f = 0; f < 5; ++f)
        if (!nextField(p, end, &field[f], &length[f]))
            return false;
    const char* colon = static_cast<const char*>(std::memchr(field[2], ':', length[2]));
    if (!parseNumber(field[0], length[0], &entry.id) || colon == nullptr ||
        !parseNumber(field[2], static_cast<size_t>(colon - field[2]), &entry.major) ||
        !parseNumber(colon + 1, static_cast<size_t>(field[2] + length[2] - colon - 1), &entry.minor))
        return false;
    entry.target = decodeOctalEscapes(field[4], length[4]);
    // The options, then any number of optional fields up to the "-" that comes before the type.
    const char* f;
    size_t len;
    entry.type.clear();
    while (nextField(p, end, &f, &len))
        if (len == 1 && *f == '-') {
            if (nextField(p, end, &f, &len))
                entry.type.assign(f, len);
            break;
        }
    return !entry.target.empty();
}

} // namespace

int _XpOpenMountInfo()
{
    return _XpOpenAt(AT_FDCWD, "/proc/self/mountinfo", O_RDONLY);
}

bool _XpReadMountTable(int fd, std::vector<_XpMountEntry>& entries)
{
    entries.clear();
    std::string text;
    char chunk[16384];
    bool ok = true;
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        text.append(chunk, static_cast<size_t>(n));
    }
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        _XpMountEntry entry;
        if (parseLine(text.data() + start, end - start, entry))
            entries.push_back(std::move(entry));
        start = end + 1;
    }
    return ok && !entries.empty();
}

bool _XpReadMountTable(std::vector<_XpMountEntry>& entries)
{
    XpFd fd(_XpOpenMountInfo());   // only read from: its close loses nothing
    return fd.Get() >= 0 && _XpReadMountTable(fd.Get(), entries);
}
