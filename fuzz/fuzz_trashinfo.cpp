// Fuzzes the trash's information file: the text written beside each trashed item (Path= with the
// original path percent-encoded, DeletionDate=) read back the way a file manager reads it, and
// the numbered names tried when a name is taken. Checks: the file has exactly its three lines
// whatever bytes the path holds (a newline in a path must not start a line of its own); decoding
// Path= gives the original path back; the names stay one path component and differ by number.
//
// The writer is internal to the trash's source file, so this target compiles that file itself.
#include "../XpCommonLib/src/linux/_XpTrash_Linux.cpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// A reader as the freedesktop.org trash has it: the [Trash Info] group, Path= percent-decoded.
bool readInfo(const std::string& text, std::string& path, std::string& date)
{
    std::vector<std::string> lines;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    if (lines.size() != 3 || lines[0] != "[Trash Info]" || lines[1].compare(0, 5, "Path=") != 0 ||
        lines[2].compare(0, 13, "DeletionDate=") != 0)
        return false;
    path.clear();
    const std::string encoded = lines[1].substr(5);
    for (size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] != '%') {
            path += encoded[i];
            continue;
        }
        if (i + 2 >= encoded.size())
            return false;
        int hi = hexValue(encoded[i + 1]), lo = hexValue(encoded[i + 2]);
        if (hi < 0 || lo < 0)
            return false;
        path += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    date = lines[2].substr(13);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string original(reinterpret_cast<const char*>(data), size);
    std::string path, date;
    const std::string text = infoText(original);
    check(text.back() == '\n');
    check(readInfo(text, path, date));
    check(path == original);
    check(date.size() == 19 && date[4] == '-' && date[10] == 'T' && date[13] == ':');
    check(encodePath(original).find_first_not_of(
              "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/-_.~%") == std::string::npos);

    // Numbered names: a name without '/' stays one component; each number gives another name.
    std::string item = original.substr(0, original.find('/'));
    item = item.substr(0, item.find('\0'));
    if (!item.empty()) {
        check(trashName(item, 0) == item);
        std::string first = trashName(item, 1), second = trashName(item, 2);
        check(first.find('/') == std::string::npos && first != item && first != second);
        check(first.find("(1)") != std::string::npos && second.find("(2)") != std::string::npos);
    }
    return 0;
}
