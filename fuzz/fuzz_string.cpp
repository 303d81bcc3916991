// Drives XpString's replacement, search, slicing and UTF-8/wide conversions with arbitrary
// bytes and checks each result against a plain std::string model, so that a wrong result (not
// only a crash) stops the run.
#include <XpString.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

std::string replaceModel(const std::string& s, const std::string& from, const std::string& to, int& count)
{
    count = 0;
    std::string out;
    size_t pos = 0;
    for (size_t hit; (hit = s.find(from, pos)) != std::string::npos; pos = hit + from.size()) {
        out.append(s, pos, hit - pos);
        out += to;
        ++count;
    }
    out.append(s, pos, std::string::npos);
    return out;
}

// Splits the input at zero bytes into up to three texts (zero bytes end C texts anyway).
void split(const uint8_t* data, size_t size, std::string parts[3])
{
    int k = 0;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            if (++k == 3)
                return;
        } else {
            parts[k] += static_cast<char>(data[i]);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t selector = data[0];
    std::string parts[3];
    split(data + 1, size - 1, parts);
    const std::string& text = parts[0];

    XpStringA s(text.c_str());
    check(s.Length() == static_cast<int>(text.size()));

    // Search.
    const int start = text.empty() ? 0 : selector % (text.size() + 1);
    if (!parts[1].empty()) {
        size_t expected = text.find(parts[1][0], static_cast<size_t>(start));
        check(s.Find(parts[1][0], start) == (expected == std::string::npos ? -1 : static_cast<int>(expected)));
        expected = text.rfind(parts[1][0]);
        check(s.ReverseFind(parts[1][0]) == (expected == std::string::npos ? -1 : static_cast<int>(expected)));
    }
    size_t expectedText = text.find(parts[1], static_cast<size_t>(start));
    check(s.Find(parts[1].c_str(), start) ==
          (expectedText == std::string::npos ? -1 : static_cast<int>(expectedText)));

    // Slicing, with counts that go past both ends.
    const int n = static_cast<int>(selector) - 64;
    const int len = static_cast<int>(text.size());
    const int left = n < 0 ? 0 : (n > len ? len : n);
    check(s.Left(n) == text.substr(0, static_cast<size_t>(left)).c_str());
    check(s.Right(n) == text.substr(static_cast<size_t>(len - left)).c_str());
    const int midStart = static_cast<int>(selector % 16) - 4;
    XpStringA mid = s.Mid(midStart, n);
    const int ms = midStart < 0 ? 0 : midStart;
    if (ms < len)
        check(mid == text.substr(static_cast<size_t>(ms), static_cast<size_t>(left)).c_str());
    else
        check(mid == s);

    // Replacement of a text, on a copy that shares the buffer: the original must not change.
    XpStringA shared(s);
    int expectedCount = 0;
    int count = shared.Replace(parts[1].c_str(), parts[2].c_str());
    if (parts[1].empty()) {
        check(count == 0 && shared == text.c_str());
    } else {
        std::string expected = replaceModel(text, parts[1], parts[2], expectedCount);
        check(count == expectedCount);
        check(shared == expected.c_str());
        check(shared.Length() == static_cast<int>(expected.size()));
    }
    check(s == text.c_str());

    // Replacement of a character.
    if (!parts[1].empty() && !parts[2].empty()) {
        XpStringA c(s);
        std::string model = text;
        int changes = 0;
        if (parts[1][0] != parts[2][0])
            for (char& ch : model)
                if (ch == parts[1][0]) {
                    ch = parts[2][0];
                    ++changes;
                }
        check(c.Replace(parts[1][0], parts[2][0]) == changes);
        check(c == model.c_str());
    }

    // UTF-8 -> wide -> UTF-8: valid text comes back unchanged, invalid text gives "".
    XpStringW wide = s.GetUnicodeString();
    if (XpPlatformString::IsValidUTF8(text.c_str(), text.size()))
        check(wide.GetAnsiString() == text.c_str());
    else
        check(wide.IsEmpty());
    check(s.ToPlatformString().IsNil() == !XpPlatformString::IsValidUTF8(text.c_str(), text.size()));

    // Arbitrary 32-bit units -> UTF-8 always gives valid UTF-8.
    std::wstring units;
    for (size_t i = 1; i + 4 <= size; i += 4) {
        uint32_t v;
        std::memcpy(&v, data + i, 4);
        if (selector & 1)
            v &= 0x1FFFFF;
        if (v != 0)
            units += static_cast<wchar_t>(v);
    }
    XpStringA encoded = XpStringW(units.c_str()).GetAnsiString();
    check(XpPlatformString::IsValidUTF8(encoded.GetBuffer(), static_cast<size_t>(encoded.Length())));

    // Code pages: any bytes give valid UTF-8 or "" and never read past the terminator. A single-
    // byte code page decodes byte by byte: the text gives "" exactly when one of its bytes does,
    // and otherwise the bytes' decodings one after the other.
    static const int codePages[] = {437, 720, 852, 864, 869, 874, 932, 936, 949, 950, 1252, 1253, 1361, 10007,
                                    20936, 50220, 50222, 51932, 52936, 54936, 65000, 65001, 1200, 12001};
    const int codePage = codePages[selector % (sizeof codePages / sizeof codePages[0])];
    XpStringA decoded("before");
    // Eight zeros end the text in every form, whatever its length (UTF-32 needs a zero unit at a
    // multiple of four bytes).
    decoded.AssignMultiByteChar(codePage, (text + std::string(8, '\0')).c_str());
    check(XpPlatformString::IsValidUTF8(decoded.GetBuffer(), static_cast<size_t>(decoded.Length())));
    for (int singleByte : {437, 864, 1252, 1253, 10007}) {
        if (codePage != singleByte)
            continue;
        std::string joined;
        bool undecodable = false;
        for (char c : text) {
            const char one[2] = {c, 0};
            XpStringA piece;
            piece.AssignMultiByteChar(codePage, one);
            undecodable = undecodable || piece.IsEmpty();
            joined += piece.GetBuffer();
        }
        check(decoded == (undecodable ? "" : joined.c_str()));
    }

    // Appending to itself.
    XpStringA twice(s);
    twice += twice.GetBuffer();
    check(twice == (text + text).c_str());
    return 0;
}
