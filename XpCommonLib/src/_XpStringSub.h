// What XpString asks of the platform: conversions between UTF-8 and code points, code pages,
// normalization and comparison ignoring case. Declared here so that XpString.cpp stays portable;
// the Linux half (linux/XpString_Linux.cpp) implements them. Internal to the library.
#ifndef _XPSTRINGSUB_H
#define _XPSTRINGSUB_H

#include <XpString.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Strict UTF-8 decoding of n bytes (no overlong forms, no encoded surrogates, nothing above
// U+10FFFF). Writes the code points to out (when out is not null, room for n + 1) followed by
// a zero; returns the number of code points, or -1 when the bytes are not valid UTF-8.
long xpDecodeUTF8(char const* s, size_t n, wchar_t* out);

// UTF-8 -> code points through the UTF-8 locale; "" for invalid UTF-8.
XpStringT<wchar_t> xpUTF8ToWide(char const* s, int n);
// Code points -> UTF-8 through the UTF-8 locale; units without a UTF-8 form are handled as the
// header of XpString describes.
XpStringT<char> xpWideToUTF8(wchar_t const* s, int n);
// The longest text a string holds, in characters: the 64-character rounding of the storage must
// stay within 32 bits.
const int64_t kXpStringMaxLength = INT32_MAX - 128;

enum class XpDecodeResult { Decoded, Undecodable, TooLong };
// Decodes text in a Windows code page into utf8: Undecodable for an unknown code page or bytes
// that do not decode, TooLong when the result could exceed kXpStringMaxLength.
XpDecodeResult xpDecodeCodePage(int codePage, char const* text, std::string& utf8);
// Normalization form C of valid UTF-8; false when the text is not valid UTF-8.
bool xpPrecomposeUTF8(char const* s, size_t n, std::string& utf8);

// Byte strings compared with the case of letters ignored, as the C library does it in the
// process's character-type locale (strcasecmp): below, equal to or above zero. The N form looks at
// no more than n bytes.
int xpCompareNoCase(char const* a, char const* b);
int xpCompareNoCaseN(char const* a, char const* b, size_t n);

#endif
