// XpString: the library's string, a small handle onto a shared, reference-counted buffer with
// copy-on-write, in an 8-bit form (XpStringA, UTF-8 text) and a wide form (XpStringW, one 32-bit
// code unit per character).
//
// Sharing: copying, assigning and returning a string by value shares its buffer and costs one
// atomic increment. Every operation that changes the text first gives the string a private buffer
// when the buffer is shared. Strings that share a buffer may live on different threads; one
// XpStringT object must not be used by two threads at once.
//
// Conversions between the two forms use the library's own UTF-8 locale (C.UTF-8, or the
// library's own UTF-8 coder where the system lacks it); they never read or change the process's
// or the thread's locale, and may run on any thread at once.
//
// A null text pointer handed to a constructor, an assignment, Append or operator+= counts as "".
// The search, comparison and replacement operations do not check their pointer and index
// arguments: texts given to them must not be null and start indexes stay within 0..Length().
//
// Behaviour chosen where the rules of the string leave it open:
// - Too long a result: a string holds at most INT32_MAX - 128 characters. An operation whose
//   result would be longer (append, +=, assignment, operator+, the Assign* conversions, Replace,
//   Format/AppendFormat) leaves the existing text unchanged: the string keeps its text (operator+
//   gives the left operand's text, Replace returns 0). Losing a user's text is never the answer
//   to "too long". Replace counts its matches first and refuses only a result that really is too
//   long.
// - Memory exhaustion: when the storage for a text cannot be obtained, the string is left
//   holding the empty text of length 0. No exception is thrown. Only when even the small buffer
//   record (a few dozen bytes) cannot be allocated does the process end (abort), as no string
//   could be handed back.
// - Replace(from, to) with a null or empty from replaces nothing, leaves the text unchanged and
//   returns 0; a replacement whose work area cannot be allocated also leaves the text unchanged
//   and returns 0.
// - Format/AppendFormat: when the formatter reports an error that is not a full buffer (for
//   instance a %s argument that is not valid multibyte text in the wide form), or the result
//   would exceed the largest string, Format leaves the text unchanged and AppendFormat appends
//   nothing.
// - GetUnicodeString() of text that is not valid UTF-8 (broken sequences, overlong forms,
//   encoded surrogates, values above U+10FFFF) gives the empty wide string.
// - GetAnsiString() of wide text holding units without a UTF-8 form: a high surrogate directly
//   followed by a low surrogate is read as the UTF-16 pair it is (so AssignUTF16LEChar keeps
//   characters outside the Basic Multilingual Plane); any other surrogate, negative value or
//   value above U+10FFFF becomes U+FFFD (the replacement character).
// - At()/operator[] and the positions given to the operations are not checked.
#ifndef XPSTRING_H
#define XPSTRING_H

#include "XpCommonLibExport.h"
#include "XpThread.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>

/** \defgroup strings Strings
    Copy-on-write UTF-8 and wide strings, encoding and code-page conversions, formatting.
    \{ */

// Stands for the platform's string object: text known to be valid UTF-8, or nil. It is a value
// type: copies are independent. Building one from bytes that are not valid UTF-8 gives nil.
class XP_API XpPlatformString {
public:
    // The nil object.
    XpPlatformString() = default;
    // The object holding utf8, or nil when utf8 is null or not valid UTF-8 (overlong forms,
    // encoded surrogates and values above U+10FFFF are invalid).
    static XpPlatformString StringWithUTF8String(char const* utf8);
    // True for the nil object.
    bool IsNil() const { return nil; }
    // The UTF-8 text, or null for nil.
    char const* UTF8String() const { return nil ? nullptr : text.c_str(); }
    // Length of the UTF-8 text in bytes (0 for nil).
    size_t Length() const { return nil ? 0 : text.size(); }
    // True when text is valid UTF-8 in the strict sense used by StringWithUTF8String.
    static bool IsValidUTF8(char const* text, size_t length);

private:
    std::string text;
    bool nil = true;
};

template <typename T> class XpStringT;

// The shared, reference-counted text of XpStringT. Not for direct use.
template <typename T>
class XP_API _XpStringBuffer {
public:
    T* text;                          // malloc'ed storage, text and terminator
    int32_t length;                   // characters before the terminator
    int32_t capacity;                 // characters the storage holds; a multiple of 64
    std::atomic<int32_t> refCount;    // handles (and map entries) holding this buffer
    XpCriticalSection lock;           // owned by the buffer; never taken by string operations

    // A buffer with count 1 holding a copy of s (null counts as "").
    explicit _XpStringBuffer(T const* s);
    // A buffer with count 1 holding the first n characters of s.
    _XpStringBuffer(T const* s, int32_t n);
    ~_XpStringBuffer();
    _XpStringBuffer(const _XpStringBuffer&) = delete;
    _XpStringBuffer& operator=(const _XpStringBuffer&) = delete;

    // Replaces the text with s; s must not point into this buffer's storage.
    void Assign(T const* s);
    // Replaces the text with the first n characters of s.
    void Assign(T const* s, int32_t n);
    // Appends s; s may be this buffer's own text (the text is then doubled).
    void Append(T const* s);
    // Appends n characters of s (s must not point into this buffer's storage).
    void Append(T const* s, int32_t n);
    // A new buffer (count 1) with a copy of this text.
    _XpStringBuffer* Clone() const;
    // Adds 1 to the count; returns the new count.
    int32_t AddRef();
    // Takes 1 from the count and deletes the buffer when it reaches 0; returns the new count.
    int32_t Release();
    // Makes room for n characters and the terminator (64-character steps, shrinking only when
    // the text needs less than half of a capacity above 128). False when n is too long for a
    // string (the text stays as it is) or memory ran out (the buffer then holds the empty text).
    bool allocBuffer(int64_t n);

private:
    void setEmptyAfterFailure();
};

// Static helpers of each character type.
template <typename T>
struct XP_API _XpStringFunctions {
    // A static empty text, used wherever a null text pointer is given.
    static T const* const NULL_STRING;
    // Wide form only: a malloc'ed copy of s (terminator included; null counts as "") that the
    // caller frees; null when memory ran out.
    static T* strDup(T const* s);
};

// Same as _XpStringFunctions<wchar_t>::strDup.
XP_API wchar_t* _XpWideStrDup(wchar_t const* s);

// A text, UTF-8 in the char form (XpStringA) and one code point per element in the wchar_t form
// (XpStringW): a small handle onto a shared, reference-counted buffer, copied on write. The rules
// for failures (too long, memory exhaustion, invalid text) are at the top of this header.
template <typename T>
class XP_API XpStringT {
public:
    // ---- construction, assignment, destruction ----

    // The calling thread's empty string: all default-constructed strings of one type on one
    // thread share one buffer, kept for the whole run (a thread that later receives the same
    // thread handle shares it too). Allocates nothing after the thread's first one, and after
    // that costs one atomic increment, as a copy does.
    XpStringT();
    // A new buffer holding a copy of s (null counts as ""). Never shares.
    XpStringT(T const* s);
    // Shares other's buffer.
    XpStringT(const XpStringT& other);
    // The platform string's UTF-8 text (8-bit form) or its code points (wide form); nil gives "".
    XpStringT(const XpPlatformString& s);
    ~XpStringT();

    // Shares other's buffer; assigning a string that already shares the buffer changes nothing.
    XpStringT& operator=(const XpStringT& other) { return Assign(other); }
    XpStringT& Assign(const XpStringT& other);
    // Replaces the text with a copy of s (null counts as "").
    XpStringT& operator=(T const* s) { return Assign(s); }
    XpStringT& Assign(T const* s);
    // As the constructor from a platform string.
    XpStringT& operator=(const XpPlatformString& s);

    // Drops this string's reference; until it is assigned again the string may only be
    // assigned or destroyed.
    void release();

    // ---- access (none of these detaches) ----

    // The buffer's text. Writing through the non-const pointer changes every string that
    // shares the buffer and does not update Length().
    T* GetBuffer() { return buffer->text; }
    T const* GetBuffer() const { return buffer->text; }
    operator T const*() const { return buffer->text; }
    operator T*() { return buffer->text; }
    // Characters before the terminator.
    int Length() const { return buffer->length; }
    bool IsEmpty() const { return buffer->length == 0; }
    // The character at i (0..Length(), Length() being the terminator); not checked, no detach.
    T& At(int i) { return buffer->text[i]; }
    T const& At(int i) const { return buffer->text[i]; }
    T& operator[](int i) { return buffer->text[i]; }
    T const& operator[](int i) const { return buffer->text[i]; }

    // Internal: the buffer this string holds, for diagnostics and tests.
    _XpStringBuffer<T> const* stringBuffer() const { return buffer; }

    // ---- search (no copy, no detach; -1 when nothing is found) ----

    // First c at or after start; the zero character is found at Length().
    int Find(T c, int start = 0) const;
    // First occurrence of s at or after start; an empty s gives start.
    int Find(T const* s, int start = 0) const;
    // Last c in the text; the zero character is found at Length().
    int ReverseFind(T c) const;

    // ---- slicing (a slice that is the whole string shares its buffer) ----

    // The first max(n, 0) characters.
    XpStringT Left(int n) const;
    // The last max(n, 0) characters.
    XpStringT Right(int n) const;
    // Right(Length() - max(start, 0)).Left(n); the whole string when start is at or past the end.
    XpStringT Mid(int start, int n) const;

    // ---- replacement (return the number of replacements) ----

    // Every from becomes to; 0 and no change for an empty string, from == to or no from.
    int Replace(T from, T to);
    // Every non-overlapping occurrence of from, scanning from the start, becomes to (null to
    // counts as ""). A null or empty from replaces nothing and returns 0.
    int Replace(T const* from, T const* to);

    // ---- formatting (printf rules: vsnprintf for char, vswprintf for wchar_t) ----

    // Replaces the text with the formatted result.
    void Format(T const* format, ...);
    // Replaces the text with the result of formatting args (args itself is not consumed).
    void FormatWithVaList(T const* format, va_list args);
    // Appends the formatted result.
    void AppendFormat(T const* format, ...);

    // ---- appending ----

    // Appends s (null counts as ""); s may be this string's own text.
    XpStringT& Append(T const* s);
    XpStringT& operator+=(T const* s) { return Append(s); }

    // ---- comparison (sign of strcmp / wcscmp) ----

    int Compare(T const* s) const;
    // 8-bit form: strcasecmp (ASCII letters fold); wide form: the same as Compare.
    int CompareNoCase(T const* s) const;

    // ---- encodings ----

    // The text as UTF-8: the 8-bit form shares itself, the wide form encodes its code points.
    XpStringT<char> GetAnsiString() const;
    // Same as GetAnsiString().
    XpStringT<char> GetString() const;
    // The text as code points: the wide form shares itself, the 8-bit form decodes UTF-8.
    XpStringT<wchar_t> GetUnicodeString() const;

    // 8-bit form only: decodes text by a Windows code page number and assigns its UTF-8 form, as
    // Windows decodes it. Known: the DOS pages 437, 708, 720, 737, 775, 850, 852, 855, 857, 858,
    // 860-866, 869; 874, 1250-1258; 932, 936, 949, 950, 1361 (Johab), 20936, 51936 (both with
    // the GBK table), 51932 (EUC-JP), 51949 (EUC-KR), 50220-50222 (ISO-2022-JP), 52936 (HZ),
    // 54936 (GB18030); 10000, 10006, 10007, 10029, 10081 (Mac); 20127, 20866, 21866,
    // 28591-28599, 28603, 28605, 38598; 57002-57011 (ISCII); 65000, 65001, 1200/1201
    // (UTF-16LE/BE, ending at a zero 16-bit unit), 12000/12001 (UTF-32LE/BE, ending at a zero
    // 32-bit unit). Bytes that Windows' own tables fill where the published tables have nothing
    // decode as on Windows (the C1 control of the same value for 0x80-0x9F, private-use
    // characters for user-defined areas). An unknown code page, or a byte that does not decode,
    // assigns "" (the whole text). text must not be null.
    XpStringT& AssignMultiByteChar(int codePage, char const* text);
    // 8-bit form only: assigns the bytes unchanged; null or "" assigns "".
    XpStringT& AssignUTF8Char(char const* text);
    // 8-bit form only: widens 16-bit little-endian units (up to a zero unit) one by one and
    // assigns the UTF-8 form of the result.
    XpStringT& AssignUTF16LEChar(char const* units);
    // 8-bit form only: the platform string made from the text; nil when it is not valid UTF-8.
    operator XpPlatformString() const;
    XpPlatformString ToPlatformString() const;
    // 8-bit form only: the text in Unicode normalization form C; "" when it is not valid UTF-8.
    XpStringT PrecomposeString() const;

    // ---- comparison and concatenation operators ----

    // Comparisons order the texts as strcmp and wcscmp do, by code unit values.
    friend bool operator==(const XpStringT& a, const XpStringT& b) { return cmp(a, b) == 0; }
    friend bool operator!=(const XpStringT& a, const XpStringT& b) { return cmp(a, b) != 0; }
    friend bool operator<(const XpStringT& a, const XpStringT& b) { return cmp(a, b) < 0; }
    friend bool operator<=(const XpStringT& a, const XpStringT& b) { return cmp(a, b) <= 0; }
    friend bool operator>(const XpStringT& a, const XpStringT& b) { return cmp(a, b) > 0; }
    friend bool operator>=(const XpStringT& a, const XpStringT& b) { return cmp(a, b) >= 0; }
    friend bool operator==(const XpStringT& a, T const* b) { return cmp(a, b) == 0; }
    friend bool operator!=(const XpStringT& a, T const* b) { return cmp(a, b) != 0; }
    friend bool operator<(const XpStringT& a, T const* b) { return cmp(a, b) < 0; }
    friend bool operator<=(const XpStringT& a, T const* b) { return cmp(a, b) <= 0; }
    friend bool operator>(const XpStringT& a, T const* b) { return cmp(a, b) > 0; }
    friend bool operator>=(const XpStringT& a, T const* b) { return cmp(a, b) >= 0; }
    friend bool operator==(T const* a, const XpStringT& b) { return cmp(a, b) == 0; }
    friend bool operator!=(T const* a, const XpStringT& b) { return cmp(a, b) != 0; }
    friend bool operator<(T const* a, const XpStringT& b) { return cmp(a, b) < 0; }
    friend bool operator<=(T const* a, const XpStringT& b) { return cmp(a, b) <= 0; }
    friend bool operator>(T const* a, const XpStringT& b) { return cmp(a, b) > 0; }
    friend bool operator>=(T const* a, const XpStringT& b) { return cmp(a, b) >= 0; }

    // The left operand's text followed by the right one's; the operands are unchanged.
    friend XpStringT operator+(const XpStringT& a, const XpStringT& b)
    {
        XpStringT r(a);
        r.concatenate(b.GetBuffer());
        return r;
    }
    friend XpStringT operator+(const XpStringT& a, T const* b)
    {
        XpStringT r(a);
        r.concatenate(b);
        return r;
    }
    friend XpStringT operator+(T const* a, const XpStringT& b)
    {
        XpStringT r(a);
        r.concatenate(b.GetBuffer());
        return r;
    }

private:
    T* text;                       // mirror of buffer->text
    _XpStringBuffer<T>* buffer;    // the buffer this string holds one reference to

    struct AdoptTag {};
    // Adopts a buffer that already counts this string's reference.
    XpStringT(_XpStringBuffer<T>* adopted, AdoptTag) : text(adopted->text), buffer(adopted) {}

    // Gives this string a private buffer when its buffer is shared.
    void clone();
    // Replaces the text with s (null counts as "").
    void copy(T const* s);
    // Replaces the text with the first n characters of s.
    void copy(T const* s, int n);
    // Appends s (null counts as "").
    void concatenate(T const* s);
    // Appends the first n characters of s.
    void concatenate(T const* s, int n);
    // Formats args into a temporary area and replaces (append false) or appends the text.
    void formatInto(bool append, T const* format, va_list args);

    static int cmpText(char const* a, char const* b) { return std::strcmp(a, b); }
    static int cmpText(wchar_t const* a, wchar_t const* b) { return std::wcscmp(a, b); }
    static int cmp(const XpStringT& a, const XpStringT& b) { return cmpText(a.GetBuffer(), b.GetBuffer()); }
    static int cmp(const XpStringT& a, T const* b) { return cmpText(a.GetBuffer(), b); }
    static int cmp(T const* a, const XpStringT& b) { return cmpText(a, b.GetBuffer()); }
};

template <> wchar_t* _XpStringFunctions<wchar_t>::strDup(wchar_t const* s);
template <> char const* const _XpStringFunctions<char>::NULL_STRING;
template <> wchar_t const* const _XpStringFunctions<wchar_t>::NULL_STRING;

// The members whose meaning differs between the two forms.
template <> XpStringT<char> XpStringT<char>::GetAnsiString() const;
template <> XpStringT<char> XpStringT<wchar_t>::GetAnsiString() const;
template <> XpStringT<wchar_t> XpStringT<char>::GetUnicodeString() const;
template <> XpStringT<wchar_t> XpStringT<wchar_t>::GetUnicodeString() const;
template <> int XpStringT<char>::CompareNoCase(char const* s) const;
template <> int XpStringT<wchar_t>::CompareNoCase(wchar_t const* s) const;
template <> XpStringT<char>::XpStringT(const XpPlatformString& s);
template <> XpStringT<wchar_t>::XpStringT(const XpPlatformString& s);
template <> XpStringT<char>& XpStringT<char>::operator=(const XpPlatformString& s);
template <> XpStringT<wchar_t>& XpStringT<wchar_t>::operator=(const XpPlatformString& s);
template <> XpStringT<char>& XpStringT<char>::AssignMultiByteChar(int codePage, char const* text);
template <> XpStringT<char>& XpStringT<char>::AssignUTF8Char(char const* text);
template <> XpStringT<char>& XpStringT<char>::AssignUTF16LEChar(char const* units);
template <> XpStringT<char>::operator XpPlatformString() const;
template <> XpPlatformString XpStringT<char>::ToPlatformString() const;
template <> XpStringT<char> XpStringT<char>::PrecomposeString() const;

extern template class XP_TEMPLATE_API _XpStringBuffer<char>;
extern template class XP_TEMPLATE_API _XpStringBuffer<wchar_t>;
extern template class XP_TEMPLATE_API XpStringT<char>;
extern template class XP_TEMPLATE_API XpStringT<wchar_t>;

// The two forms by their short names: UTF-8 text and wide text.
typedef XpStringT<char> XpStringA;
typedef XpStringT<wchar_t> XpStringW;

/** \} */

#endif
