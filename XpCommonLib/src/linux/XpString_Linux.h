// Internal: the platform half of XpString, shared between XpString.cpp and XpString_Linux.cpp.
#ifndef XPSTRING_LINUX_H
#define XPSTRING_LINUX_H

#include <XpString.h>

#include <locale.h>

#include <cstdint>
#include <string>

// The UTF-8 character-type locale, created when the library is loaded; (locale_t)0 when the
// system has no C.UTF-8 locale, in which case the conversions decode UTF-8 themselves.
extern locale_t g_xpUTF8loc;

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

#endif
