// XpString, Linux half: what stands in for the platform's text services.
//
// - UTF-8 <-> wide: glibc has no mbstowcs_l/wcstombs_l, so the calling thread is switched to the
//   library's own C.UTF-8 character-type locale with uselocale around mbstowcs/wcstombs and
//   switched back; this changes only the calling thread, never the process's locale. glibc's
//   UTF-8 decoder accepts values above U+10FFFF (and 5- and 6-byte forms), so its results are
//   checked for those. Without a C.UTF-8 locale the library decodes and encodes UTF-8 itself
//   rather than fall back to the C locale, which would mangle every non-ASCII character.
// - Code pages: ICU converters. Windows code page N is ICU's "windows-N" in the WINDOWS naming
//   standard; the code pages that Windows names differently (UTF-8, UTF-16, ASCII, ISO 8859,
//   ISO-2022-JP, GB18030) come from a small table. Converters stop at the first byte that does
//   not decode, so such text gives "".
// - Canonical composition: ICU's NFC normalizer.
// ICU stays inside this file: no public header names it.
#include "XpString_Linux.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>

#include <unicode/ucnv.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>

locale_t g_xpUTF8loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));

namespace {

// Runs f with the calling thread switched to the UTF-8 locale; false when the switch failed.
template <typename F> bool inUTF8Locale(F f)
{
    if (g_xpUTF8loc == static_cast<locale_t>(0))
        return false;
    locale_t previous = uselocale(g_xpUTF8loc);
    if (previous == static_cast<locale_t>(0))
        return false;
    f();
    uselocale(previous);
    return true;
}

inline bool isScalarValue(wchar_t c)
{
    return (c >= 0 && c < 0xD800) || (c > 0xDFFF && c <= 0x10FFFF);
}

void putUTF8(std::string& out, unsigned cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Our own encoder, for text that holds units without a UTF-8 form (and for systems without a
// C.UTF-8 locale): surrogate pairs combine, anything else invalid becomes U+FFFD.
std::string encodeUTF8(wchar_t const* s, int n)
{
    std::string out;
    out.reserve(static_cast<size_t>(n) + 8);
    for (int i = 0; i < n; ++i) {
        wchar_t c = s[i];
        if (isScalarValue(c)) {
            putUTF8(out, static_cast<unsigned>(c));
        } else if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            unsigned cp = 0x10000 + ((static_cast<unsigned>(c) - 0xD800) << 10) +
                          (static_cast<unsigned>(s[i + 1]) - 0xDC00);
            putUTF8(out, cp);
            ++i;
        } else {
            putUTF8(out, 0xFFFD);
        }
    }
    return out;
}

struct ConverterCloser {
    void operator()(UConverter* c) const { ucnv_close(c); }
};

// The ICU converter name for a Windows code page, or null when none is known.
char const* converterNameForCodePage(int codePage)
{
    struct Entry {
        int codePage;
        char const* name;
    };
    static const Entry table[] = {
        {65001, "UTF-8"},      {1200, "UTF-16LE"},    {1201, "UTF-16BE"},     {20127, "US-ASCII"},
        {28591, "ISO-8859-1"}, {28592, "ISO-8859-2"}, {28593, "ISO-8859-3"},  {28594, "ISO-8859-4"},
        {28595, "ISO-8859-5"}, {28596, "ISO-8859-6"}, {28597, "ISO-8859-7"},  {28598, "ISO-8859-8"},
        {28599, "ISO-8859-9"}, {28603, "ISO-8859-13"}, {28605, "ISO-8859-15"}, {50220, "ISO-2022-JP"},
        {54936, "GB18030"},
    };
    for (const Entry& e : table)
        if (e.codePage == codePage)
            return e.name;
    if (codePage <= 0)
        return nullptr;
    char windowsName[32];
    std::snprintf(windowsName, sizeof windowsName, "windows-%d", codePage);
    UErrorCode status = U_ZERO_ERROR;
    char const* canonical = ucnv_getCanonicalName(windowsName, "WINDOWS", &status);
    if (U_FAILURE(status) || !canonical || !*canonical)
        return nullptr;
    return canonical;
}

// Converts UTF-16 to UTF-8; false for unpaired surrogates.
bool utf16ToUTF8(UChar const* units, int32_t count, std::string& utf8)
{
    UErrorCode status = U_ZERO_ERROR;
    int32_t needed = 0;
    u_strToUTF8(nullptr, 0, &needed, units, count, &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status))
        return false;
    utf8.assign(static_cast<size_t>(needed), '\0');
    status = U_ZERO_ERROR;
    u_strToUTF8(utf8.empty() ? nullptr : &utf8[0], needed, &needed, units, count, &status);
    if (U_FAILURE(status))
        return false;
    utf8.resize(static_cast<size_t>(needed));
    return true;
}

// Converts valid UTF-8 to UTF-16; false when it is not valid.
bool utf8ToUTF16(char const* s, size_t n, std::u16string& units)
{
    if (n > static_cast<size_t>(INT32_MAX / 2) || !XpPlatformString::IsValidUTF8(s, n))
        return false;
    UErrorCode status = U_ZERO_ERROR;
    int32_t needed = 0;
    u_strFromUTF8(nullptr, 0, &needed, s, static_cast<int32_t>(n), &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status))
        return false;
    units.assign(static_cast<size_t>(needed), u'\0');
    status = U_ZERO_ERROR;
    u_strFromUTF8(units.empty() ? nullptr : reinterpret_cast<UChar*>(&units[0]), needed, &needed, s,
                  static_cast<int32_t>(n), &status);
    if (U_FAILURE(status))
        return false;
    units.resize(static_cast<size_t>(needed));
    return true;
}

} // namespace

XpStringT<wchar_t> xpUTF8ToWide(char const* s, int n)
{
    if (n <= 0)
        return XpStringT<wchar_t>(_XpStringFunctions<wchar_t>::NULL_STRING);
    wchar_t* area = static_cast<wchar_t*>(std::malloc((static_cast<size_t>(n) + 1) * sizeof(wchar_t)));
    if (!area)
        return XpStringT<wchar_t>(_XpStringFunctions<wchar_t>::NULL_STRING);
    bool valid = false;
    size_t converted = static_cast<size_t>(-1);
    if (inUTF8Locale([&] { converted = std::mbstowcs(area, s, static_cast<size_t>(n) + 1); })) {
        valid = converted != static_cast<size_t>(-1);
        for (size_t i = 0; valid && i < converted; ++i)
            valid = isScalarValue(area[i]);
        // mbstowcs stops at a zero byte; the text has none before n, so all n bytes were read.
    } else {
        valid = xpDecodeUTF8(s, static_cast<size_t>(n), area) >= 0;
    }
    XpStringT<wchar_t> result(valid ? area : _XpStringFunctions<wchar_t>::NULL_STRING);
    std::free(area);
    return result;
}

XpStringT<char> xpWideToUTF8(wchar_t const* s, int n)
{
    if (n <= 0)
        return XpStringT<char>(_XpStringFunctions<char>::NULL_STRING);
    bool allScalar = true;
    for (int i = 0; allScalar && i < n; ++i)
        allScalar = isScalarValue(s[i]);
    if (allScalar) {
        size_t bytes = (static_cast<size_t>(n) + 1) * 4;
        char* area = static_cast<char*>(std::malloc(bytes));
        if (!area)
            return XpStringT<char>(_XpStringFunctions<char>::NULL_STRING);
        size_t converted = static_cast<size_t>(-1);
        if (inUTF8Locale([&] { converted = std::wcstombs(area, s, bytes); }) &&
            converted != static_cast<size_t>(-1)) {
            XpStringT<char> result(area);
            std::free(area);
            return result;
        }
        std::free(area);
    }
    std::string utf8 = encodeUTF8(s, n);
    return XpStringT<char>(utf8.c_str());
}

bool xpDecodeCodePage(int codePage, char const* text, std::string& utf8)
{
    utf8.clear();
    if (!text)
        return false;
    char const* name = converterNameForCodePage(codePage);
    if (!name)
        return false;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UConverter, ConverterCloser> conv(ucnv_open(name, &status));
    if (U_FAILURE(status) || !conv)
        return false;
    status = U_ZERO_ERROR;
    ucnv_setToUCallBack(conv.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    if (U_FAILURE(status))
        return false;

    // The source ends at its zero character: one zero 16-bit unit for UTF-16, a zero byte else.
    size_t bytes = 0;
    if (codePage == 1200 || codePage == 1201) {
        while (text[bytes] != 0 || text[bytes + 1] != 0)
            bytes += 2;
    } else {
        bytes = std::strlen(text);
    }
    if (bytes == 0)
        return true;
    if (bytes > static_cast<size_t>(INT32_MAX / 4))
        return false;

    std::u16string units(bytes * 2 + 2, u'\0');
    status = U_ZERO_ERROR;
    int32_t count = ucnv_toUChars(conv.get(), reinterpret_cast<UChar*>(&units[0]),
                                  static_cast<int32_t>(units.size()), text, static_cast<int32_t>(bytes),
                                  &status);
    if (U_FAILURE(status))
        return false;
    return utf16ToUTF8(reinterpret_cast<UChar const*>(units.data()), count, utf8);
}

bool xpPrecomposeUTF8(char const* s, size_t n, std::string& utf8)
{
    utf8.clear();
    std::u16string units;
    if (!utf8ToUTF16(s, n, units))
        return false;
    if (units.empty())
        return true;
    UErrorCode status = U_ZERO_ERROR;
    const UNormalizer2* nfc = unorm2_getNFCInstance(&status);
    if (U_FAILURE(status) || !nfc)
        return false;
    UChar const* src = reinterpret_cast<UChar const*>(units.data());
    int32_t srcLength = static_cast<int32_t>(units.size());
    status = U_ZERO_ERROR;
    int32_t needed = unorm2_normalize(nfc, src, srcLength, nullptr, 0, &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status))
        return false;
    std::u16string composed(static_cast<size_t>(needed) + 1, u'\0');
    status = U_ZERO_ERROR;
    needed = unorm2_normalize(nfc, src, srcLength, reinterpret_cast<UChar*>(&composed[0]),
                              static_cast<int32_t>(composed.size()), &status);
    if (U_FAILURE(status))
        return false;
    return utf16ToUTF8(reinterpret_cast<UChar const*>(composed.data()), needed, utf8);
}
