// InstallerPayloadStream: the record format in which the installer hands a payload (a file or a
// whole folder) to the privileged helper on its standard input.
//
// The installer, running as the person, opens and walks the payload itself; the helper (root)
// never opens a path the person names, it only reads this stream and writes what it describes
// under a destination of its own choosing. Header-only, so that the helper shares the format
// and its checks without linking the host's library.
//
// The stream: the eight bytes kInstallerPayloadMagic, then records. A record is a fixed header
// of kInstallerPayloadHeaderSize bytes (all integers little-endian)
//
//   0  kind         1 byte: 'F' file, 'D' folder (entered), 'L' symbolic link,
//                   'E' end of the folder entered last, 'Z' end of the stream
//   1  zero         3 bytes
//   4  mode         u32, permission bits only (07777)
//   8  name length  u32, at most 255
//   12 atime nsec   u32
//   16 atime sec    i64
//   24 mtime sec    i64
//   32 mtime nsec   u32
//   36 zero         u32
//   40 size         u64: the file's length, the link's target length, 0 otherwise
//   48 name         256 bytes: the name's bytes, then zeros
//
// followed by `size` bytes of data: the file's content or the link's target. The header has one
// size whatever the name, so that the reader takes it with one read and then hands the data's
// descriptor on without having read a byte too many. The first record is the payload itself, a file or a folder, with an empty
// name (it takes the destination's name); every other name is one component of a path: not
// empty, not "." or "..", without '/' or NUL, and never a name of the library's staging
// (".xpcopy-" + 8 hex digits + ".tmp"), so a stream cannot make a file that the writer would
// later take for its own debris. Folders nest ('D' ... 'E') at most kInstallerPayloadMaxDepth
// deep; 'Z' follows the payload's last record. Anything else, or a stream that ends before its
// 'Z', is malformed: the helper keeps nothing of the entry it was writing and refuses.
#ifndef INSTALLERPAYLOADSTREAM_H
#define INSTALLERPAYLOADSTREAM_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

constexpr char kInstallerPayloadMagic[8] = {'X', 'P', 'P', 'A', 'Y', 'L', 'D', '1'};
constexpr size_t kInstallerPayloadHeaderSize = 48 + 256;
constexpr uint32_t kInstallerPayloadMaxName = 255;
// A link's target, as the system takes it (PATH_MAX less its NUL).
constexpr uint64_t kInstallerPayloadMaxLink = 4095;
// Folders nested deeper are refused: the writer holds a descriptor per level.
constexpr size_t kInstallerPayloadMaxDepth = 128;

enum class InstallerPayloadKind : char { File = 'F', Folder = 'D', Link = 'L', EndFolder = 'E', End = 'Z' };

struct InstallerPayloadRecord {
    InstallerPayloadKind kind = InstallerPayloadKind::End;
    uint32_t mode = 0;
    int64_t atimeSec = 0;
    uint32_t atimeNsec = 0;
    int64_t mtimeSec = 0;
    uint32_t mtimeNsec = 0;
    uint64_t size = 0;
    std::string name;
};

namespace installer_payload_detail {
inline void put(unsigned char* at, uint64_t value, size_t bytes)
{
    for (size_t i = 0; i < bytes; ++i)
        at[i] = static_cast<unsigned char>(value >> (8 * i));
}
inline uint64_t get(const unsigned char* at, size_t bytes)
{
    uint64_t value = 0;
    for (size_t i = 0; i < bytes; ++i)
        value |= static_cast<uint64_t>(at[i]) << (8 * i);
    return value;
}
} // namespace installer_payload_detail

// The header of `record` with its name, ready to be written (the data follows it). The name
// must not be longer than kInstallerPayloadMaxName.
inline std::string InstallerPayloadEncode(const InstallerPayloadRecord& record)
{
    using installer_payload_detail::put;
    unsigned char header[kInstallerPayloadHeaderSize] = {};
    header[0] = static_cast<unsigned char>(record.kind);
    put(header + 4, record.mode, 4);
    put(header + 8, record.name.size(), 4);
    put(header + 12, record.atimeNsec, 4);
    put(header + 16, static_cast<uint64_t>(record.atimeSec), 8);
    put(header + 24, static_cast<uint64_t>(record.mtimeSec), 8);
    put(header + 32, record.mtimeNsec, 4);
    put(header + 40, record.size, 8);
    std::memcpy(header + 48, record.name.data(), std::min<size_t>(record.name.size(), kInstallerPayloadMaxName));
    return std::string(reinterpret_cast<const char*>(header), sizeof header);
}

// Whether `name` is a name the stream may carry below the payload itself.
inline bool InstallerPayloadNameAllowed(const std::string& name)
{
    if (name.empty() || name.size() > kInstallerPayloadMaxName || name == "." || name == ".." ||
        name.find_first_of(std::string("/\0", 2)) != std::string::npos)
        return false;
    // The library's staging names: ".xpcopy-" + 8 hexadecimal digits + ".tmp".
    const std::string prefix = ".xpcopy-", suffix = ".tmp";
    if (name.size() == prefix.size() + 8 + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        return false;
    return true;
}

// Reads the header in `header` into `record`, its name included. false with the reason for a
// header no sender of ours writes.
inline bool InstallerPayloadDecode(const unsigned char (&header)[kInstallerPayloadHeaderSize],
                                   InstallerPayloadRecord& record, std::string& why)
{
    using installer_payload_detail::get;
    const char kind = static_cast<char>(header[0]);
    if (std::strchr("FDLEZ", kind) == nullptr || kind == '\0') {
        why = "unknown record kind";
        return false;
    }
    if (get(header + 1, 3) != 0 || get(header + 36, 4) != 0) {
        why = "reserved bytes are not zero";
        return false;
    }
    record.kind = static_cast<InstallerPayloadKind>(kind);
    record.mode = static_cast<uint32_t>(get(header + 4, 4));
    const uint64_t nameLength = get(header + 8, 4);
    record.atimeNsec = static_cast<uint32_t>(get(header + 12, 4));
    record.atimeSec = static_cast<int64_t>(get(header + 16, 8));
    record.mtimeSec = static_cast<int64_t>(get(header + 24, 8));
    record.mtimeNsec = static_cast<uint32_t>(get(header + 32, 4));
    record.size = get(header + 40, 8);
    if ((record.mode & ~07777u) != 0)
        why = "a mode beyond the permission bits";
    else if (nameLength > kInstallerPayloadMaxName)
        why = "a name longer than 255 bytes";
    else if (record.atimeNsec >= 1000000000u || record.mtimeNsec >= 1000000000u)
        why = "a time with more than a second of nanoseconds";
    else if ((kind == 'D' || kind == 'E' || kind == 'Z') && record.size != 0)
        why = "data after a record that has none";
    else if ((kind == 'E' || kind == 'Z') && nameLength != 0)
        why = "a name on an end record";
    else if (kind == 'L' && (record.size == 0 || record.size > kInstallerPayloadMaxLink))
        why = "a link target that is empty or longer than 4095 bytes";
    else if (std::any_of(header + 48 + nameLength, header + kInstallerPayloadHeaderSize, [](unsigned char c) { return c != 0; }))
        why = "bytes after the name";
    else {
        record.name.assign(reinterpret_cast<const char*>(header + 48), nameLength);
        return true;
    }
    return false;
}

#endif
