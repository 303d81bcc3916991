// Fuzzes the reader of /proc/self/mountinfo, which the path utilities and the availability
// checker trust for mount points and file-system types. The input stands for the file: it is
// written to a memory file and read through a descriptor, as the real table is. Checks: no crash
// or sanitizer report; every entry read has a mount point, and a type without the separators of
// its line (a space or a newline there would have come from a misparsed field);
// the table read twice is the same; a known-good line after any input is read as written.
#include "_XpMountTable_Linux.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

bool read(const std::string& text, std::vector<_XpMountEntry>& entries)
{
    int fd = memfd_create("mountinfo", MFD_CLOEXEC);
    check(fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()));
    check(lseek(fd, 0, SEEK_SET) == 0);
    bool ok = _XpReadMountTable(fd, entries);
    close(fd);
    return ok;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<_XpMountEntry> entries, again;
    bool ok = read(text, entries);
    check(ok == !entries.empty());
    // (A line cut after its "-" gives an entry with an empty type, which no kernel writes and
    // which counts as a local volume: accepted.)
    for (const _XpMountEntry& e : entries) {
        check(!e.target.empty());
        check(e.type.find_first_of(" \n") == std::string::npos);   // the separators of the format
        check(e.target.find('\n') == std::string::npos || text.find("\\012") != std::string::npos);
    }
    check(read(text, again) == ok && again.size() == entries.size());
    for (size_t i = 0; i < entries.size(); ++i)
        check(again[i].id == entries[i].id && again[i].target == entries[i].target && again[i].type == entries[i].type);

    // A good line after whatever came before is read as written (a broken line before it may
    // not swallow it), with its \040 escape decoded.
    std::vector<_XpMountEntry> withGood;
    check(read(text + "\n4242 1 8:1 / /media/fuzz\\040disk rw,relatime shared:1 - fuse.sshfs host:/ rw\n", withGood));
    const _XpMountEntry& good = withGood.back();
    check(good.id == 4242 && good.major == 8 && good.minor == 1 && good.target == "/media/fuzz disk" &&
          good.type == "fuse.sshfs");
    return 0;
}
