// Fuzzes the plug-in's readers of desktop entries and Exec lines, which take files that any
// package or user can put in the XDG data folders. Checks: no crash or sanitizer report; a
// split Exec line names a program; what the login item's check takes can be launched, and no line
// holding a NUL passes either; a parsed entry's values resolve without growing.
//
// The fuzz build leaves the installer out, so this target compiles the desktop layer's source
// itself; the layer needs nothing from the library.
#include "../PostInstallSection/src/OruPlatform_Linux.cpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);

    std::vector<std::string> argv;
    std::string error;
    const bool launchable = OruPlatform_Linux::splitExecLine(text, argv, &error);
    if (launchable) {
        if (argv.empty() || argv[0].empty())
            std::abort();
    } else if (error.empty()) {
        std::abort();
    }
    // The login item's stricter check never takes a line the launch refuses, and no line with a
    // NUL in it goes anywhere.
    error.clear();
    if (OruPlatform_Linux::checkExecLine(text, &error) && (!launchable || text.find('\0') != std::string::npos))
        std::abort();

    OruPlatform_Linux::DesktopEntry entry;
    if (OruPlatform_Linux::parseDesktopEntry(text, entry, &error)) {
        for (const auto& kv : entry.raw)
            if (entry.value(kv.first).size() > kv.second.size())
                std::abort(); // every escape shortens or keeps the text
    }
    std::string escaped = OruPlatform_Linux::escapeDesktopValue(text);
    OruPlatform_Linux::DesktopEntry roundTrip;
    roundTrip.raw["Key"] = escaped;
    if (roundTrip.value("Key") != text)
        std::abort(); // escaping for a desktop entry must read back as written
    return 0;
}
