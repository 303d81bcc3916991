// XpString, Linux half: what stands in for the platform's text services.
//
// - UTF-8 <-> wide: glibc has no mbstowcs_l/wcstombs_l, so the calling thread is switched to the
//   library's own C.UTF-8 character-type locale with uselocale around mbstowcs/wcstombs and
//   switched back; this changes only the calling thread, never the process's locale. glibc's
//   UTF-8 decoder accepts values above U+10FFFF (and 5- and 6-byte forms), so its results are
//   checked for those. Without a C.UTF-8 locale the library decodes and encodes UTF-8 itself
//   rather than fall back to the C locale, which would mangle every non-ASCII character.
// - Code pages: ICU converters, each Windows code page mapped by number to the ICU table that
//   decodes it as Windows does (ICU names its Windows-compatible tables after IBM), with the
//   bytes where ICU's table still differs from Windows corrected in small lists; the code pages
//   that Windows decodes through another table, and Johab, which ICU lacks, are turned into that
//   table's bytes or decoded here. Bytes that do not decode make the whole text give "".
// - Canonical composition: ICU's NFC normalizer.
// ICU stays inside this file: no public header names it.
#include "XpString_Linux.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <cwchar>
#include <memory>
#include <mutex>
#include <new>

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

// ---------------------------------------------------------------------------------------------
// Code pages
//
// Each Windows code page that the library knows is listed below with the ICU table that decodes
// it and the way it is used. ICU has no Windows tables for the OEM (DOS) code pages, only IBM's,
// which differ from Windows in a few bytes; those bytes are corrected in small lists, checked
// against Microsoft's published tables. Single-byte code pages decode through a 256-entry
// table built once from ICU's converter with the corrections applied. Code pages that Windows
// itself decodes by way of another table (EUC-JP and ISO-2022-JP through Shift_JIS, HZ through
// GBK) are turned into that table's bytes first, so that they give the same characters as on
// Windows; Johab, which ICU lacks, is decoded here.

namespace {

const char16_t kUndefined = 0xFFFF;

// A byte that Windows decodes differently from ICU's table: the unit Windows gives, or
// kUndefined where Windows has no character for the byte.
struct ByteFix {
    unsigned char byte;
    char16_t unit;
};

// ICU's OEM tables follow IBM in rotating the controls 0x1A, 0x1C and 0x7F (0x1A gives U+001C,
// 0x1C gives U+007F, 0x7F gives U+001A); Windows maps each of them to itself.
const ByteFix kOem[] = {{0x1A, 0x1A}, {0x1C, 0x1C}, {0x7F, 0x7F}};
// IBM gives 0xE6 as the Greek small mu, Windows as the micro sign.
const ByteFix kOemMicro[] = {{0x1A, 0x1A}, {0x1C, 0x1C}, {0x7F, 0x7F}, {0xE6, 0x00B5}};
// Arabic DOS: the bytes that IBM leaves out are the C1 controls of the same value on Windows.
const ByteFix kOem720[] = {{0x1A, 0x1A}, {0x1C, 0x1C}, {0x7F, 0x7F}, {0x80, 0x80}, {0x81, 0x81},
                           {0x84, 0x84}, {0x86, 0x86}, {0x8D, 0x8D}, {0x8E, 0x8E}, {0x8F, 0x8F}, {0x90, 0x90}};
const ByteFix kOem852[] = {{0x1A, 0x1A}, {0x1C, 0x1C}, {0x7F, 0x7F}, {0xAA, 0x00AC}};
const ByteFix kOem864[] = {{0x1A, 0x1A}, {0x1C, 0x1C}, {0x7F, 0x7F}, {0x25, 0x066A},
                           {0x9F, kUndefined}, {0xD7, 0xFEC1}, {0xD8, 0xFEC5}, {0xF1, 0x0651}};
const ByteFix kOem869[] = {{0x1A, 0x1A}, {0x1C, 0x1C}, {0x7F, 0x7F}, {0x88, 0x00B7}, {0xEF, 0x0384}};
// Greek: 0xAA is not a character in Microsoft's table; IBM's gives U+00AA.
const ByteFix kGreek1253[] = {{0xAA, kUndefined}};
// Mac Cyrillic as Windows has it: the older Apple table, before the Ukrainian letters and the euro.
const ByteFix kMac10007[] = {{0xA2, 0x00A2}, {0xFF, 0x00A4}};

enum class Method : unsigned char {
    SingleByte, // a 256-entry table from the ICU converter, with the fixes applied
    Converter,  // the ICU converter as it stands
    ShiftJIS,   // ICU's Windows Shift_JIS table, with the rotated controls put back
    EUCJP,      // EUC-JP turned into Shift_JIS (JIS X 0208 and half-width katakana)
    ISO2022JP,  // ISO-2022-JP in all three Windows forms, turned into Shift_JIS
    HZ,         // HZ-GB-2312 turned into GBK
    Johab,      // Hangul computed; symbols and Hanja through the KS X 1001 rows of 949
    UTF8,       // checked strictly, then copied
    UTF16,      // the text ends at a zero 16-bit unit
    UTF32,      // the text ends at a zero 32-bit unit
};

struct CodePage {
    int number;
    char const* converter;
    Method method;
    const ByteFix* fixes;
    size_t fixCount;
};

constexpr CodePage sb(int n, char const* c) { return {n, c, Method::SingleByte, nullptr, 0}; }
template <size_t N> constexpr CodePage sb(int n, char const* c, const ByteFix (&f)[N])
{
    return {n, c, Method::SingleByte, f, N};
}
constexpr CodePage mb(int n, char const* c, Method m = Method::Converter) { return {n, c, m, nullptr, 0}; }

const char kGBK[] = "windows-936-2000";
const char kShiftJIS[] = "ibm-943_P15A-2003";

const CodePage kCodePages[] = {
    sb(437, "ibm-437_P100-1995", kOemMicro),   sb(708, "ibm-1089_P100-1995"),
    sb(720, "ibm-720_P100-1997", kOem720),     sb(737, "ibm-737_P100-1997", kOem),
    sb(775, "ibm-775_P100-1996", kOem),        sb(850, "ibm-850_P100-1995", kOem),
    sb(852, "ibm-852_P100-1995", kOem852),     sb(855, "ibm-855_P100-1995", kOem),
    sb(857, "ibm-857_P100-1995", kOem),        sb(858, "ibm-858_P100-1997", kOem),
    sb(860, "ibm-860_P100-1995", kOemMicro),   sb(861, "ibm-861_P100-1995", kOemMicro),
    sb(862, "ibm-862_P100-1995", kOemMicro),   sb(863, "ibm-863_P100-1995", kOemMicro),
    sb(864, "ibm-864_X110-1999", kOem864),     sb(865, "ibm-865_P100-1995", kOemMicro),
    sb(866, "ibm-866_P100-1995", kOem),        sb(869, "ibm-869_P100-1995", kOem869),
    sb(874, "windows-874-2000"),               mb(932, kShiftJIS, Method::ShiftJIS),
    mb(936, kGBK),                             mb(949, "windows-949-2000"),
    mb(950, "windows-950-2000"),               mb(1200, "UTF-16LE", Method::UTF16),
    mb(1201, "UTF-16BE", Method::UTF16),       sb(1250, "ibm-5346_P100-1998"),
    sb(1251, "ibm-5347_P100-1998"),            sb(1252, "ibm-5348_P100-1997"),
    sb(1253, "ibm-5349_P100-1998", kGreek1253), sb(1254, "ibm-5350_P100-1998"),
    sb(1255, "ibm-9447_P100-2002"),            sb(1256, "ibm-9448_X100-2005"),
    sb(1257, "ibm-9449_P100-2002"),            sb(1258, "ibm-5354_P100-1998"),
    mb(1361, "windows-949-2000", Method::Johab), sb(10000, "macos-0_2-10.2"),
    sb(10006, "macos-6_2-10.4"),               sb(10007, "macos-7_3-10.2", kMac10007),
    sb(10029, "macos-29-10.2"),                sb(10081, "macos-35-10.2"),
    mb(12000, "UTF-32LE", Method::UTF32),      mb(12001, "UTF-32BE", Method::UTF32),
    sb(20127, "US-ASCII"),                     sb(20866, "ibm-878_P100-1996"),
    mb(20936, kGBK),                           sb(21866, "ibm-1168_P100-2002"),
    sb(28591, "ISO-8859-1"),                   sb(28592, "ibm-912_P100-1995"),
    sb(28593, "ibm-913_P100-2000"),            sb(28594, "ibm-914_P100-1995"),
    sb(28595, "ibm-915_P100-1995"),            sb(28596, "ibm-1089_P100-1995"),
    sb(28597, "ibm-9005_X110-2007"),           sb(28598, "ibm-5012_P100-1999"),
    sb(28599, "ibm-920_P100-1995"),            sb(28603, "ibm-921_P100-1995"),
    sb(28605, "ibm-923_P100-1998"),            sb(38598, "ibm-5012_P100-1999"),
    mb(50220, kShiftJIS, Method::ISO2022JP),   mb(50221, kShiftJIS, Method::ISO2022JP),
    mb(50222, kShiftJIS, Method::ISO2022JP),   mb(51932, kShiftJIS, Method::EUCJP),
    mb(51936, kGBK),                           mb(51949, "ibm-970_P110_P110-2006_U2"),
    mb(52936, kGBK, Method::HZ),               mb(54936, "gb18030"),
    mb(57002, "ISCII,version=0"),              mb(57003, "ISCII,version=1"),
    mb(57004, "ISCII,version=5"),              mb(57005, "ISCII,version=6"),
    mb(57006, "ISCII,version=1"),              mb(57007, "ISCII,version=4"),
    mb(57008, "ISCII,version=7"),              mb(57009, "ISCII,version=8"),
    mb(57010, "ISCII,version=3"),              mb(57011, "ISCII,version=2"),
    mb(65000, "UTF-7"),                        mb(65001, "UTF-8", Method::UTF8),
};
const size_t kCodePageCount = sizeof kCodePages / sizeof kCodePages[0];

struct ConverterCloser {
    void operator()(UConverter* c) const { ucnv_close(c); }
};
typedef std::unique_ptr<UConverter, ConverterCloser> Converter;

// An ICU converter that stops at the first byte that does not decode; null when ICU lacks it.
Converter openConverter(char const* name)
{
    UErrorCode status = U_ZERO_ERROR;
    Converter conv(ucnv_open(name, &status));
    if (U_FAILURE(status))
        return Converter();
    ucnv_setToUCallBack(conv.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    return U_FAILURE(status) ? Converter() : std::move(conv);
}

// Appends the decoding of n bytes; false when they do not decode completely.
bool appendUnits(UConverter* conv, char const* bytes, size_t n, std::u16string& units)
{
    if (n == 0)
        return true;
    if (n > static_cast<size_t>(INT32_MAX / 4))
        return false;
    ucnv_resetToUnicode(conv);
    const size_t start = units.size();
    units.resize(start + n * 2 + 2);
    UErrorCode status = U_ZERO_ERROR;
    int32_t count = ucnv_toUChars(conv, reinterpret_cast<UChar*>(&units[start]),
                                  static_cast<int32_t>(units.size() - start), bytes, static_cast<int32_t>(n), &status);
    if (U_FAILURE(status))
        return false;
    units.resize(start + static_cast<size_t>(count));
    return true;
}

bool decodeWith(char const* name, char const* bytes, size_t n, std::u16string& units)
{
    Converter conv = openConverter(name);
    return conv && appendUnits(conv.get(), bytes, n, units);
}

// The 256-entry table of a single-byte code page, built once; null when ICU lacks the table.
const char16_t* singleByteTable(size_t index)
{
    static std::once_flag once[kCodePageCount];
    static char16_t* tables[kCodePageCount];
    std::call_once(once[index], [index] {
        const CodePage& cp = kCodePages[index];
        Converter conv = openConverter(cp.converter);
        char16_t* table = conv ? new (std::nothrow) char16_t[256] : nullptr;
        if (!table)
            return;
        table[0] = 0;
        for (int b = 1; b < 256; ++b) {
            const char byte = static_cast<char>(b);
            std::u16string unit;
            table[b] = appendUnits(conv.get(), &byte, 1, unit) && unit.size() == 1 ? unit[0] : kUndefined;
        }
        for (size_t i = 0; i < cp.fixCount; ++i)
            table[cp.fixes[i].byte] = cp.fixes[i].unit;
        tables[index] = table;
    });
    return tables[index];
}

// JIS X 0208 row and cell (0x21..0x7E each) as the two Shift_JIS bytes.
void jisToShiftJIS(unsigned j1, unsigned j2, std::string& out)
{
    out += static_cast<char>(((j1 + 1) >> 1) + (j1 <= 0x5E ? 0x70 : 0xB0));
    out += static_cast<char>((j1 & 1) ? j2 + (j2 >= 0x60 ? 0x20 : 0x1F) : j2 + 0x7E);
}

inline bool inRange(unsigned c, unsigned lo, unsigned hi) { return c >= lo && c <= hi; }

// Shift_JIS through ICU's Windows table, appended to units: ICU rotates three controls (0x1A
// gives U+001C, 0x1C gives U+007F, 0x7F gives U+001A); no other byte gives these units, so they
// are turned back.
bool decodeShiftJIS(char const* bytes, size_t n, std::u16string& units)
{
    const size_t start = units.size();
    if (!decodeWith(kShiftJIS, bytes, n, units))
        return false;
    for (size_t i = start; i < units.size(); ++i) {
        const char16_t u = units[i];
        units[i] = u == 0x1C ? 0x1A : u == 0x7F ? 0x1C : u == 0x1A ? 0x7F : u;
    }
    return true;
}

// EUC-JP: ASCII, C1 controls, JIS X 0208 (two bytes 0xA1..0xFE) and half-width katakana (0x8E,
// then the katakana byte). JIS X 0212 (0x8F) has no Shift_JIS form and does not decode.
bool decodeEUCJP(const unsigned char* s, size_t n, std::u16string& units)
{
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        if (s[i] < 0x80) {
            out += static_cast<char>(s[i]);
        } else if (s[i] <= 0x9F && s[i] != 0x8E && s[i] != 0x8F) {
            // A C1 control has no Shift_JIS form: decode what came before, then the control.
            if (!decodeShiftJIS(out.data(), out.size(), units))
                return false;
            out.clear();
            units += static_cast<char16_t>(s[i]);
        } else if (s[i] == 0x8E && i + 1 < n && inRange(s[i + 1], 0xA1, 0xDF)) {
            out += static_cast<char>(s[++i]);
        } else if (inRange(s[i], 0xA1, 0xFE) && i + 1 < n && inRange(s[i + 1], 0xA1, 0xFE)) {
            jisToShiftJIS(s[i] - 0x80u, s[i + 1] - 0x80u, out);
            ++i;
        } else {
            return false;
        }
    }
    return decodeShiftJIS(out.data(), out.size(), units);
}

// ISO-2022-JP with the additions of Windows' three forms: ESC ( B or ESC ( J for ASCII,
// ESC $ @ or ESC $ B for JIS X 0208, ESC ( I or SO ... SI for half-width katakana, and
// katakana as single bytes 0xA1..0xDF. Controls pass in every state.
bool iso2022JPToShiftJIS(const unsigned char* s, size_t n, std::string& out)
{
    enum { Ascii, Kanji, Kana } state = Ascii;
    bool shifted = false;
    for (size_t i = 0; i < n; ++i) {
        const unsigned c = s[i];
        if (c == 0x1B) {
            const unsigned a = i + 1 < n ? s[i + 1] : 0, b = i + 2 < n ? s[i + 2] : 0;
            if (a == '(' && (b == 'B' || b == 'J'))
                state = Ascii;
            else if (a == '$' && (b == '@' || b == 'B'))
                state = Kanji;
            else if (a == '(' && b == 'I')
                state = Kana;
            else
                return false;
            i += 2;
        } else if (c == 0x0E || c == 0x0F) {
            shifted = c == 0x0E;
        } else if (c < 0x21 || c == 0x7F) {
            out += static_cast<char>(c);
        } else if (inRange(c, 0xA1, 0xDF)) {
            out += static_cast<char>(c);
        } else if (c >= 0x80) {
            return false;
        } else if (shifted || state == Kana) {
            if (c > 0x5F)
                return false;
            out += static_cast<char>(c + 0x80);
        } else if (state == Kanji) {
            if (i + 1 >= n || !inRange(s[i + 1], 0x21, 0x7E))
                return false;
            jisToShiftJIS(c, s[++i], out);
        } else {
            out += static_cast<char>(c);
        }
    }
    return true;
}

// HZ: ~{ starts GB 2312 text in 7-bit pairs, ~} ends it, ~~ is a tilde, ~ and a line end are
// a line continuation.
bool hzToGBK(const unsigned char* s, size_t n, std::string& out)
{
    bool gb = false;
    for (size_t i = 0; i < n; ++i) {
        const unsigned c = s[i];
        if (c >= 0x80)
            return false;
        if (c == '~') {
            const unsigned next = i + 1 < n ? s[++i] : 0;
            if (next == '{' && !gb)
                gb = true;
            else if (next == '}' && gb)
                gb = false;
            else if (next == '~' && !gb)
                out += '~';
            else if (next != '\n' || gb)
                return false;
        } else if (gb && c >= 0x21) {
            if (i + 1 >= n || !inRange(s[i + 1], 0x21, 0x7E))
                return false;
            out += static_cast<char>(c | 0x80);
            out += static_cast<char>(s[++i] | 0x80);
        } else {
            out += static_cast<char>(c);
        }
    }
    return true;
}

// Johab (KS X 1001 annex 3): Hangul as 5-bit initial, medial and final indexes; symbols and
// Hanja as the KS X 1001 rows in another arrangement, decoded through the 949 table.
bool decodeJohab(UConverter* ksc, const unsigned char* s, size_t n, std::u16string& units)
{
    // Index of each 5-bit value among the initials, medials and finals; -1 is the fill value,
    // -2 an invalid value.
    static const signed char initial[32] = {-2, -1, 0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13,
                                            14, 15, 16, 17, 18, -2, -2, -2, -2, -2, -2, -2, -2, -2, -2, -2};
    static const signed char medial[32] = {-2, -2, -1, 0,  1,  2,  3,  4,  -2, -2, 5,  6,  7,  8,  9,  10,
                                           -2, -2, 11, 12, 13, 14, 15, 16, -2, -2, 17, 18, 19, 20, -2, -2};
    static const signed char final[32] = {-2, -1, 1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14,
                                          15, 16, -2, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, -2, -2};
    // Compatibility jamo of each initial consonant, and of the final ones that cannot start a
    // syllable (a final alone that can is not a character: that jamo has its initial code).
    static const char16_t initialJamo[19] = {0x3131, 0x3132, 0x3134, 0x3137, 0x3138, 0x3139, 0x3141,
                                             0x3142, 0x3143, 0x3145, 0x3146, 0x3147, 0x3148, 0x3149,
                                             0x314A, 0x314B, 0x314C, 0x314D, 0x314E};
    static const char16_t finalJamo[28] = {0, 0, 0, 0x3133, 0, 0x3135, 0x3136, 0, 0, 0x313A,
                                           0x313B, 0x313C, 0x313D, 0x313E, 0x313F, 0x3140, 0, 0, 0x3144};
    for (size_t i = 0; i < n; ++i) {
        const unsigned c = s[i];
        if (c < 0x80) {
            units += static_cast<char16_t>(c == 0x5C ? 0x20A9 : c); // 0x5C is the won sign
            continue;
        }
        if (i + 1 >= n)
            return false;
        const unsigned t = s[++i];
        if (inRange(c, 0x84, 0xD3)) {
            const unsigned code = (c << 8) | t;
            const int I = initial[(code >> 10) & 31], M = medial[(code >> 5) & 31], F = final[code & 31];
            if (I == -2 || M == -2 || F == -2)
                return false;
            if (I >= 0 && M >= 0)
                units += static_cast<char16_t>(0xAC00 + (I * 21 + M) * 28 + (F < 0 ? 0 : F));
            else if (I >= 0 && F < 0)
                units += initialJamo[I];
            else if (M >= 0 && I < 0 && F < 0)
                units += static_cast<char16_t>(0x314F + M);
            else if (F >= 0 && I < 0 && M < 0 && finalJamo[F] != 0)
                units += finalJamo[F];
            else if (I < 0 && M < 0 && F < 0)
                units += static_cast<char16_t>(0x3164);
            else
                return false;
        } else if ((inRange(c, 0xD9, 0xDE) || inRange(c, 0xE0, 0xF9)) &&
                   (inRange(t, 0x31, 0x7E) || inRange(t, 0x91, 0xFE))) {
            const unsigned k = t <= 0x7E ? t - 0x31 : t - 0x91 + 78;
            const unsigned row = (c < 0xE0 ? (c - 0xD9) * 2 + 0x21 : (c - 0xE0) * 2 + 0x4A) + k / 94;
            const char ks[2] = {static_cast<char>(row | 0x80), static_cast<char>((0x21 + k % 94) | 0x80)};
            if (!appendUnits(ksc, ks, 2, units))
                return false;
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

XpDecodeResult xpDecodeCodePage(int codePage, char const* text, std::string& utf8)
{
    utf8.clear();
    size_t index = 0;
    while (index < kCodePageCount && kCodePages[index].number != codePage)
        ++index;
    if (!text || index == kCodePageCount)
        return XpDecodeResult::Undecodable;
    const CodePage& cp = kCodePages[index];

    // The source ends at its zero character: a zero 16- or 32-bit unit for UTF-16 and UTF-32.
    size_t n = 0;
    if (cp.method == Method::UTF16) {
        while (text[n] != 0 || text[n + 1] != 0)
            n += 2;
    } else if (cp.method == Method::UTF32) {
        while (text[n] != 0 || text[n + 1] != 0 || text[n + 2] != 0 || text[n + 3] != 0)
            n += 4;
    } else {
        n = std::strlen(text);
    }
    // Every byte gives at most 3 bytes of UTF-8 (4 for a pair of 16-bit units or a 32-bit one).
    if (n > static_cast<size_t>(kXpStringMaxLength) / 3)
        return XpDecodeResult::TooLong;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);

    if (cp.method == Method::SingleByte) {
        const char16_t* table = singleByteTable(index);
        if (!table)
            return XpDecodeResult::Undecodable;
        utf8.reserve(n + n / 2);
        for (size_t i = 0; i < n; ++i) {
            if (table[bytes[i]] == kUndefined)
                return XpDecodeResult::Undecodable;
            putUTF8(utf8, table[bytes[i]]);
        }
        return XpDecodeResult::Decoded;
    }
    if (cp.method == Method::UTF8) {
        if (!XpPlatformString::IsValidUTF8(text, n))
            return XpDecodeResult::Undecodable;
        utf8.assign(text, n);
        return XpDecodeResult::Decoded;
    }

    std::u16string units;
    std::string transformed;
    bool ok = false;
    switch (cp.method) {
    case Method::ShiftJIS:
        ok = decodeShiftJIS(text, n, units);
        break;
    case Method::EUCJP:
        ok = decodeEUCJP(bytes, n, units);
        break;
    case Method::ISO2022JP:
        ok = iso2022JPToShiftJIS(bytes, n, transformed) &&
             decodeShiftJIS(transformed.data(), transformed.size(), units);
        break;
    case Method::HZ:
        ok = hzToGBK(bytes, n, transformed) && decodeWith(cp.converter, transformed.data(), transformed.size(), units);
        break;
    case Method::Johab: {
        Converter ksc = openConverter(cp.converter);
        ok = ksc && decodeJohab(ksc.get(), bytes, n, units);
        break;
    }
    default:
        ok = decodeWith(cp.converter, text, n, units);
        break;
    }
    if (!ok || !utf16ToUTF8(reinterpret_cast<UChar const*>(units.data()), static_cast<int32_t>(units.size()), utf8))
        return XpDecodeResult::Undecodable;
    return XpDecodeResult::Decoded;
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

int xpCompareNoCase(char const* a, char const* b)
{
    return strcasecmp(a, b);
}

int xpCompareNoCaseN(char const* a, char const* b, size_t n)
{
    return strncasecmp(a, b, n);
}
