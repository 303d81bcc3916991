// Fuzzes the plug-in's reader of the target application's settings file (an INI file in a folder
// the user controls), through a real file: the input is written to a memory file and read by its
// /proc/self/fd path. Checks: no crash or sanitizer report; a value never spans lines; a value
// is found only under its group; reading again gives the same answer; a key appended at the end
// wins over every earlier line (the file is read in order, as the application loads it).
//
// The fuzz build leaves the installer out, so this target compiles the desktop layer's source
// itself; the layer needs nothing from the library.
#include "../PostInstallSection/src/OruPlatform_Linux.cpp"

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

// The memory file holding text, as a path the reader opens like any settings file.
struct MemoryFile {
    explicit MemoryFile(const std::string& text) : fd(memfd_create("settings", MFD_CLOEXEC))
    {
        check(fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()));
        path = "/proc/self/fd/" + std::to_string(fd);
    }
    ~MemoryFile() { ::close(fd); }
    int fd;
    std::string path;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    static const char* const keys[] = {"PhotoHomePath", "VideoHomePath", "MusicHomePath", "ApplicationHomePath"};
    MemoryFile file(text);
    const bool hasGroup = text.find("[Settings]") != std::string::npos;
    for (const char* key : keys) {
        std::optional<std::string> value = OruPlatform_Linux::readIniValue(file.path, "Settings", key);
        if (value) {
            check(value->find('\n') == std::string::npos);
            check(hasGroup);   // a value is only ever read under [Settings]
        }
        check(OruPlatform_Linux::readIniValue(file.path, "Settings", key) == value);
    }

    // The last line for a key wins, whatever came before it.
    MemoryFile appended(text + "\n[Settings]\nMusicHomePath = \"/last \\\"one\\\"\" \n");
    std::optional<std::string> last = OruPlatform_Linux::readIniValue(appended.path, "Settings", "MusicHomePath");
    check(last && *last == "/last \"one\"");
    return 0;
}
