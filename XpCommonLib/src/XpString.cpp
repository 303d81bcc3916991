// XpString: the shared copy-on-write string, its operations and its UTF-8/wide conversions.
//
// A string is two pointers: a mirror of the buffer's text and the buffer it holds a reference
// to. Buffers are shared between copies and counted with sequentially consistent atomic adds;
// a holder that wants to change the text first takes a private copy unless it is the only
// holder. The count is read with acquire ordering before an in-place change, so every read that
// a former co-holder made before dropping its reference happens before the change.
#include <XpString.h>

#include "_XpStringSub.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <new>

namespace {

const int64_t kMaxLength = kXpStringMaxLength;

// A length that does not fit a string, for callers that pass lengths as 32-bit numbers.
inline int32_t clampLength(size_t n) { return n > static_cast<size_t>(kMaxLength) ? INT32_MAX : static_cast<int32_t>(n); }

// The calling thread's empty buffer of each character type, once the thread has looked it up
// in the map of empty strings (whose entry keeps it alive). Initial-exec: read straight from the
// thread's block, without a call; two pointers fit the room the loader keeps for libraries
// loaded later.
__attribute__((tls_model("initial-exec"))) thread_local _XpStringBuffer<char>* t_emptyChar = nullptr;
__attribute__((tls_model("initial-exec"))) thread_local _XpStringBuffer<wchar_t>* t_emptyWide = nullptr;
inline _XpStringBuffer<char>*& threadEmpty(char const*) { return t_emptyChar; }
inline _XpStringBuffer<wchar_t>*& threadEmpty(wchar_t const*) { return t_emptyWide; }

inline size_t textLength(char const* s) { return std::strlen(s); }
inline size_t textLength(wchar_t const* s) { return std::wcslen(s); }
inline char const* findChar(char const* s, char c) { return std::strchr(s, c); }
inline wchar_t const* findChar(wchar_t const* s, wchar_t c) { return std::wcschr(s, c); }
inline char const* findLastChar(char const* s, char c) { return std::strrchr(s, c); }
inline wchar_t const* findLastChar(wchar_t const* s, wchar_t c) { return std::wcsrchr(s, c); }
inline char const* findText(char const* s, char const* t) { return std::strstr(s, t); }
inline wchar_t const* findText(wchar_t const* s, wchar_t const* t) { return std::wcsstr(s, t); }

// Search of the 8-bit Find: the first occurrence of t in the n characters from s (s[n] is the
// string's terminating zero), with strstr's answer: the text ends at its first zero character,
// even one written into the middle of the buffer. strstr is glibc's pair search, about half the
// speed of the memchr that std::string::find runs over a text where the first character is
// rare; strchr stops at t's first character or at a zero, in one pass at memchr's pace, and
// each stop compares the rest of t only where it still fits before the end.
inline char const* findTextIn(char const* s, size_t n, char const* t)
{
    if (t[0] == 0)
        return s;
    const size_t rest = std::strlen(t + 1);
    char const* const end = s + n;
    for (char const* p = s;; ++p) {
        p = std::strchr(p, t[0]);
        // A zero before the next first character ends the text; a first character too near the
        // end cannot start a match (what follows there is the terminating zero).
        if (p == nullptr || static_cast<size_t>(end - p) <= rest)
            return nullptr;
        if (std::memcmp(p + 1, t + 1, rest) == 0)
            return p;
    }
}
inline wchar_t const* findTextIn(wchar_t const* s, size_t, wchar_t const* t) { return std::wcsstr(s, t); }

inline int formatText(char* out, size_t size, char const* format, va_list args)
{
    return std::vsnprintf(out, size, format, args);
}
inline int formatText(wchar_t* out, size_t size, wchar_t const* format, va_list args)
{
    return std::vswprintf(out, size, format, args);
}

// Storage that a buffer points at when no storage could be obtained for it: the empty text.
// Never written except for its terminator, never freed.
template <typename T> T* emptyFallback()
{
    static T storage[1] = {0};
    return storage;
}

// A new buffer record. Without memory even for the small record no string can be handed back,
// so the process ends rather than letting an exception leave the library.
template <typename T, typename... A> _XpStringBuffer<T>* newBuffer(A... args)
{
    _XpStringBuffer<T>* b = new (std::nothrow) _XpStringBuffer<T>(args...);
    if (!b) {
        std::fputs("XpString: out of memory for a string buffer\n", stderr);
        std::abort();
    }
    return b;
}

// A malloc'ed copy of n characters of s, terminated; null when memory ran out.
template <typename T> T* dupText(T const* s, size_t n)
{
    T* d = static_cast<T*>(std::malloc((n + 1) * sizeof(T)));
    if (d) {
        std::memcpy(d, s, n * sizeof(T));
        d[n] = 0;
    }
    return d;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Static helpers

template <> char const* const _XpStringFunctions<char>::NULL_STRING = "";
template <> wchar_t const* const _XpStringFunctions<wchar_t>::NULL_STRING = L"";

template <> wchar_t* _XpStringFunctions<wchar_t>::strDup(wchar_t const* s)
{
    if (!s)
        s = NULL_STRING;
    return dupText(s, std::wcslen(s));
}

wchar_t* _XpWideStrDup(wchar_t const* s)
{
    return _XpStringFunctions<wchar_t>::strDup(s);
}

// ---------------------------------------------------------------------------------------------
// _XpStringBuffer

template <typename T>
_XpStringBuffer<T>::_XpStringBuffer(T const* s) : text(nullptr), length(0), capacity(0), refCount(0)
{
    refCount.fetch_add(1, std::memory_order_seq_cst);
    Assign(s ? s : _XpStringFunctions<T>::NULL_STRING);
}

template <typename T>
_XpStringBuffer<T>::_XpStringBuffer(T const* s, int32_t n) : text(nullptr), length(0), capacity(0), refCount(0)
{
    refCount.fetch_add(1, std::memory_order_seq_cst);
    Assign(s, n);
}

template <typename T> _XpStringBuffer<T>::~_XpStringBuffer()
{
    if (text != emptyFallback<T>())
        std::free(text);
    text = nullptr;
}

template <typename T> void _XpStringBuffer<T>::setEmptyAfterFailure()
{
    if (text && text != emptyFallback<T>() && capacity >= 1) {
        text[0] = 0;
    } else {
        if (text != emptyFallback<T>())
            std::free(text);
        text = emptyFallback<T>();
        capacity = 0;
    }
    length = 0;
}

template <typename T> bool _XpStringBuffer<T>::allocBuffer(int64_t n)
{
    if (n < 0)
        n = 0;
    if (n > kMaxLength) {
        // Too long a text: the current one stays (a buffer without storage yet gets the empty
        // text).
        if (!text) {
            text = emptyFallback<T>();
            capacity = 0;
            length = 0;
        }
        return false;
    }
    const int64_t wanted = (n / 64) * 64 + 64;
    const bool hasStorage = text && text != emptyFallback<T>();
    if (hasStorage && wanted <= capacity && (wanted >= capacity / 2 || capacity <= 128))
        return true;
    void* p = hasStorage ? std::realloc(text, static_cast<size_t>(wanted) * sizeof(T))
                         : std::malloc(static_cast<size_t>(wanted) * sizeof(T));
    if (!p) {
        setEmptyAfterFailure();
        return false;
    }
    text = static_cast<T*>(p);
    capacity = static_cast<int32_t>(wanted);
    return true;
}

template <typename T> void _XpStringBuffer<T>::Assign(T const* s)
{
    if (!s)
        s = _XpStringFunctions<T>::NULL_STRING;
    Assign(s, clampLength(textLength(s)));
}

template <typename T> void _XpStringBuffer<T>::Assign(T const* s, int32_t n)
{
    if (n < 0)
        n = 0;
    if (!allocBuffer(n))
        return;
    if (n > 0)
        std::memcpy(text, s, static_cast<size_t>(n) * sizeof(T));
    text[n] = 0;
    length = n;
}

template <typename T> void _XpStringBuffer<T>::Append(T const* s)
{
    if (!s)
        s = _XpStringFunctions<T>::NULL_STRING;
    if (s == text) {
        // Appending the buffer's own text: the storage may move while it grows, so copy from
        // the (possibly new) start of the storage afterwards.
        const int32_t n = length;
        if (!allocBuffer(static_cast<int64_t>(length) + n))
            return;
        std::memcpy(text + length, text, static_cast<size_t>(n) * sizeof(T));
        length += n;
        text[length] = 0;
        return;
    }
    Append(s, clampLength(textLength(s)));
}

template <typename T> void _XpStringBuffer<T>::Append(T const* s, int32_t n)
{
    if (n <= 0)
        return;
    if (!allocBuffer(static_cast<int64_t>(length) + n))
        return;
    std::memcpy(text + length, s, static_cast<size_t>(n) * sizeof(T));
    length += n;
    text[length] = 0;
}

template <typename T> _XpStringBuffer<T>* _XpStringBuffer<T>::Clone() const
{
    return newBuffer<T>(static_cast<T const*>(text), length);
}

template <typename T> int32_t _XpStringBuffer<T>::AddRef()
{
    return refCount.fetch_add(1, std::memory_order_seq_cst) + 1;
}

template <typename T> int32_t _XpStringBuffer<T>::Release()
{
    int32_t now = refCount.fetch_add(-1, std::memory_order_seq_cst) - 1;
    if (now == 0)
        delete this;
    return now;
}

// ---------------------------------------------------------------------------------------------
// XpStringT: construction, sharing, copy-on-write

template <typename T> XpStringT<T>::XpStringT() : text(nullptr), buffer(nullptr)
{
    // Every thread keeps one empty buffer per character type, held by its map entry for the
    // whole run, so default construction allocates nothing after a thread's first string. A
    // thread looks its entry up once and keeps the buffer's address; a thread that later gets
    // the handle of an ended thread finds that thread's entry and shares its buffer.
    _XpStringBuffer<T>* shared = threadEmpty(static_cast<T const*>(nullptr));
    if (__builtin_expect(shared == nullptr, 0)) {
        static XpCriticalSection lockObject;
        static std::map<pthread_t, XpStringT<T>> nullStringMap;
        const pthread_t self = XpGetCurrentNativeThreadID();
        lockObject.Lock();
        auto found = nullStringMap.find(self);
        if (found == nullStringMap.end())
            found = nullStringMap.emplace(self, XpStringT<T>(_XpStringFunctions<T>::NULL_STRING)).first;
        shared = threadEmpty(static_cast<T const*>(nullptr)) = found->second.buffer;
        lockObject.Unlock();
    }
    shared->AddRef();
    buffer = shared;
    text = shared->text;
}

template <typename T> XpStringT<T>::XpStringT(T const* s) : text(nullptr), buffer(nullptr)
{
    buffer = newBuffer<T>(s ? s : _XpStringFunctions<T>::NULL_STRING);
    text = buffer->text;
}

template <typename T> XpStringT<T>::XpStringT(const XpStringT& other) : text(nullptr), buffer(nullptr)
{
    Assign(other);
}

template <typename T> XpStringT<T>::~XpStringT()
{
    release();
}

template <typename T> void XpStringT<T>::release()
{
    if (buffer)
        buffer->Release();
    buffer = nullptr;
    text = nullptr;
}

template <typename T> XpStringT<T>& XpStringT<T>::Assign(const XpStringT& other)
{
    if (buffer == other.buffer)
        return *this;
    _XpStringBuffer<T>* theirs = other.buffer;
    theirs->AddRef();
    release();
    buffer = theirs;
    text = theirs->text;
    return *this;
}

template <typename T> XpStringT<T>& XpStringT<T>::Assign(T const* s)
{
    copy(s);
    return *this;
}

template <typename T> void XpStringT<T>::clone()
{
    if (buffer->refCount.load(std::memory_order_acquire) != 1) {
        _XpStringBuffer<T>* own = buffer->Clone();
        buffer->Release();
        buffer = own;
        text = own->text;
    }
}

template <typename T> void XpStringT<T>::copy(T const* s)
{
    if (!s)
        s = _XpStringFunctions<T>::NULL_STRING;
    copy(s, clampLength(textLength(s)));
}

template <typename T> void XpStringT<T>::copy(T const* s, int n)
{
    if (n > kMaxLength) {
        // Too long: the current text stays (a released string gets the empty text).
        if (!buffer)
            copy(_XpStringFunctions<T>::NULL_STRING, 0);
        return;
    }
    if (!buffer) {
        buffer = newBuffer<T>(s, n);
        text = buffer->text;
        return;
    }
    if (buffer->refCount.load(std::memory_order_acquire) != 1) {
        // Shared: the new text goes straight into a private buffer (no need to copy the old
        // text first). The old buffer stays alive until after the copy, so s may point into it.
        _XpStringBuffer<T>* own = newBuffer<T>(s, n);
        buffer->Release();
        buffer = own;
    } else {
        uintptr_t p = reinterpret_cast<uintptr_t>(s);
        uintptr_t lo = reinterpret_cast<uintptr_t>(buffer->text);
        uintptr_t hi = lo + static_cast<uintptr_t>(buffer->capacity) * sizeof(T);
        if (p >= lo && p < hi) {
            // Part of our own text: the storage may move while it is resized.
            T* tmp = dupText(s, static_cast<size_t>(n));
            if (tmp) {
                buffer->Assign(tmp, n);
                std::free(tmp);
            } else {
                buffer->Assign(_XpStringFunctions<T>::NULL_STRING, 0);
            }
        } else {
            buffer->Assign(s, n);
        }
    }
    text = buffer->text;
}

template <typename T> void XpStringT<T>::concatenate(T const* s)
{
    if (!s)
        s = _XpStringFunctions<T>::NULL_STRING;
    if (buffer && s == buffer->text) {
        // Appending to itself: after the copy-on-write the private text is the same text.
        if (2 * static_cast<int64_t>(buffer->length) > kMaxLength)
            return;
        clone();
        buffer->Append(buffer->text);
        text = buffer->text;
        return;
    }
    concatenate(s, clampLength(textLength(s)));
}

template <typename T> void XpStringT<T>::concatenate(T const* s, int n)
{
    if (static_cast<int64_t>(buffer ? buffer->length : 0) + n > kMaxLength) {
        // Too long a result: the current text stays (a released string gets the empty text).
        if (!buffer)
            copy(_XpStringFunctions<T>::NULL_STRING, 0);
        return;
    }
    if (!buffer) {
        buffer = newBuffer<T>(s, n);
        text = buffer->text;
        return;
    }
    uintptr_t p = reinterpret_cast<uintptr_t>(s);
    uintptr_t lo = reinterpret_cast<uintptr_t>(buffer->text);
    uintptr_t hi = lo + static_cast<uintptr_t>(buffer->capacity) * sizeof(T);
    if (n > 0 && p >= lo && p < hi) {
        T* tmp = dupText(s, static_cast<size_t>(n));
        clone();
        if (tmp) {
            buffer->Append(tmp, n);
            std::free(tmp);
        } else {
            buffer->Assign(_XpStringFunctions<T>::NULL_STRING, 0);
        }
    } else {
        clone();
        buffer->Append(s, n);
    }
    text = buffer->text;
}

// ---------------------------------------------------------------------------------------------
// Search and slicing

template <typename T> int XpStringT<T>::Find(T c, int start) const
{
    T const* base = buffer->text;
    T const* hit = findChar(base + start, c);
    return hit ? static_cast<int>(hit - base) : -1;
}

template <typename T> int XpStringT<T>::Find(T const* s, int start) const
{
    T const* base = buffer->text;
    T const* hit = findTextIn(base + start, static_cast<size_t>(buffer->length - start), s);
    return hit ? static_cast<int>(hit - base) : -1;
}

template <typename T> int XpStringT<T>::ReverseFind(T c) const
{
    T const* base = buffer->text;
    T const* hit = findLastChar(base, c);
    return hit ? static_cast<int>(hit - base) : -1;
}

template <typename T> XpStringT<T> XpStringT<T>::Left(int n) const
{
    const int count = n < 0 ? 0 : n;
    if (count >= buffer->length)
        return *this;
    return XpStringT(newBuffer<T>(static_cast<T const*>(buffer->text), count), AdoptTag());
}

template <typename T> XpStringT<T> XpStringT<T>::Right(int n) const
{
    const int count = n < 0 ? 0 : n;
    if (count >= buffer->length)
        return *this;
    return XpStringT(newBuffer<T>(static_cast<T const*>(buffer->text + buffer->length - count), count),
                     AdoptTag());
}

template <typename T> XpStringT<T> XpStringT<T>::Mid(int start, int n) const
{
    const int s = start < 0 ? 0 : start;
    if (s < buffer->length)
        return Right(buffer->length - s).Left(n);
    return *this;
}

// ---------------------------------------------------------------------------------------------
// Replacement

template <typename T> int XpStringT<T>::Replace(T from, T to)
{
    if (buffer->length == 0 || from == to)
        return 0;
    T const* hit = findChar(static_cast<T const*>(buffer->text), from);
    if (!hit)
        return 0;
    const int start = static_cast<int>(hit - buffer->text);
    clone();
    int count = 0;
    T* t = buffer->text;
    for (int i = start, end = buffer->length; i < end; ++i) {
        if (t[i] == from) {
            t[i] = to;
            ++count;
        }
    }
    return count;
}

template <typename T> int XpStringT<T>::Replace(T const* from, T const* to)
{
    if (!from || from[0] == 0)
        return 0;
    if (!to)
        to = _XpStringFunctions<T>::NULL_STRING;
    const int64_t F = static_cast<int64_t>(textLength(from));
    const int64_t R = static_cast<int64_t>(textLength(to));
    // The result is never longer than the text when to is not longer than from; otherwise the
    // matches are counted first, and only a result that really is too long is refused.
    int64_t resultLength = buffer->length;
    if (R > F) {
        int64_t matches = 0;
        for (T const* hit = buffer->text; (hit = findText(hit, from)) != nullptr; hit += F)
            ++matches;
        resultLength += matches * (R - F);
        if (resultLength > kMaxLength)
            return 0;
    }
    // The result is built straight into a new buffer, which then replaces the string's own.
    _XpStringBuffer<T>* result = newBuffer<T>(_XpStringFunctions<T>::NULL_STRING);
    if (!result->allocBuffer(resultLength) || result->capacity <= resultLength) {
        result->Release();
        return 0;
    }
    T* work = result->text;
    int count = 0;
    int64_t out = 0;
    T const* src = buffer->text;
    for (T const* hit; (hit = findText(src, from)) != nullptr;) {
        const int64_t before = hit - src;
        std::memcpy(work + out, src, static_cast<size_t>(before) * sizeof(T));
        out += before;
        std::memcpy(work + out, to, static_cast<size_t>(R) * sizeof(T));
        out += R;
        src = hit + F;
        ++count;
    }
    const int64_t rest = static_cast<int64_t>(textLength(src));
    std::memcpy(work + out, src, static_cast<size_t>(rest) * sizeof(T));
    out += rest;
    work[out] = 0;
    result->length = static_cast<int32_t>(out);

    buffer->Release();
    buffer = result;
    text = result->text;
    return count;
}

// ---------------------------------------------------------------------------------------------
// Formatting
//
// A first pass goes to a 256-character area on the stack. Larger results go to heap areas of a
// multiple of 512 characters. The 8-bit formatter reports the length it needs, so the area goes
// straight to the first multiple of 512 that holds it (the size the 512-step growth would reach)
// instead of failing through every smaller size. The wide formatter only says "did not fit":
// its area grows by 512 characters per attempt up to 8192 and doubles after that, so that a
// result of megabytes takes tens of attempts, not thousands. Each attempt formats a fresh copy
// of the argument list.

namespace {

// Formats a fresh copy of args into out[size]; the formatter's result.
template <typename T> int formatAttempt(T* out, size_t size, T const* format, va_list args, int& error)
{
    va_list copy;
    va_copy(copy, args);
    errno = 0;
    int r = formatText(out, size, format, copy);
    error = errno;
    va_end(copy);
    return r;
}

// True when a negative result means a real error rather than a full buffer. The 8-bit formatter
// reports a full buffer with the needed length, so any negative result is an error. The wide one
// answers -1 for both and leaves errno alone for a full buffer; a bad multibyte argument sets
// EILSEQ. Any other answer is taken as "too small": the size limit still ends the loop.
inline bool isFormatError(char const*, int, int) { return true; }
inline bool isFormatError(wchar_t const*, int, int error)
{
    return error == EILSEQ || error == EINVAL || error == EOVERFLOW || error == ENOMEM;
}

inline int64_t nextSize(char const*, int64_t, int result) { return (static_cast<int64_t>(result) / 512) * 512 + 512; }
inline int64_t nextSize(wchar_t const*, int64_t size, int) { return size < 8192 ? size + 512 : size * 2; }

} // namespace

template <typename T> void XpStringT<T>::formatInto(bool append, T const* format, va_list args)
{
    if (!format)
        format = _XpStringFunctions<T>::NULL_STRING;
    T local[256] = {0};
    int error = 0;
    int r = formatAttempt(local, 256, format, args, error);
    if (r >= 0 && r <= 255) {
        if (append)
            concatenate(local, r);
        else
            copy(local, r);
        return;
    }
    if (r < 0 && isFormatError(format, r, error))
        return;

    int64_t size = r < 0 ? 512 : nextSize(format, 0, r);
    if (size < 512)
        size = 512;
    for (;;) {
        if (size > kMaxLength)
            return;
        T* area = static_cast<T*>(std::malloc(static_cast<size_t>(size) * sizeof(T)));
        if (!area)
            return;
        area[0] = 0;
        r = formatAttempt(area, static_cast<size_t>(size), format, args, error);
        if (r >= 0 && r < size) {
            if (append)
                concatenate(area, r);
            else
                copy(area, r);
            std::free(area);
            return;
        }
        std::free(area);
        if (r < 0 && isFormatError(format, r, error))
            return;
        size = nextSize(format, size, r);
    }
}

template <typename T> void XpStringT<T>::Format(T const* format, ...)
{
    va_list args;
    va_start(args, format);
    formatInto(false, format, args);
    va_end(args);
}

template <typename T> void XpStringT<T>::FormatWithVaList(T const* format, va_list args)
{
    formatInto(false, format, args);
}

template <typename T> void XpStringT<T>::AppendFormat(T const* format, ...)
{
    va_list args;
    va_start(args, format);
    formatInto(true, format, args);
    va_end(args);
}

// ---------------------------------------------------------------------------------------------
// Appending and comparison

template <typename T> XpStringT<T>& XpStringT<T>::Append(T const* s)
{
    concatenate(s);
    return *this;
}

template <typename T> int XpStringT<T>::Compare(T const* s) const
{
    return cmpText(buffer->text, s);
}

template <> int XpStringT<char>::CompareNoCase(char const* s) const
{
    return xpCompareNoCase(buffer->text, s);
}

template <> int XpStringT<wchar_t>::CompareNoCase(wchar_t const* s) const
{
    return std::wcscmp(buffer->text, s);
}

// ---------------------------------------------------------------------------------------------
// Encodings between the two forms and the platform string

long xpDecodeUTF8(char const* s, size_t n, wchar_t* out)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    size_t i = 0;
    long count = 0;
    while (i < n) {
        unsigned c = p[i];
        unsigned cp;
        size_t len;
        if (c < 0x80) {
            cp = c;
            len = 1;
        } else if (c >= 0xC2 && c <= 0xDF) {
            cp = c & 0x1F;
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            cp = c & 0x0F;
            len = 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            cp = c & 0x07;
            len = 4;
        } else {
            return -1;
        }
        if (len > n - i)
            return -1;
        for (size_t k = 1; k < len; ++k) {
            unsigned cc = p[i + k];
            if ((cc & 0xC0) != 0x80)
                return -1;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return -1;
        if (out)
            out[count] = static_cast<wchar_t>(cp);
        ++count;
        i += len;
    }
    if (out)
        out[count] = 0;
    return count;
}

bool XpPlatformString::IsValidUTF8(char const* text, size_t length)
{
    return text && xpDecodeUTF8(text, length, nullptr) >= 0;
}

XpPlatformString XpPlatformString::StringWithUTF8String(char const* utf8)
{
    XpPlatformString result;
    if (!utf8)
        return result;
    size_t n = std::strlen(utf8);
    if (!IsValidUTF8(utf8, n))
        return result;
    result.text.assign(utf8, n);
    result.nil = false;
    return result;
}

template <> XpStringT<char> XpStringT<char>::GetAnsiString() const
{
    return *this;
}

template <> XpStringT<char> XpStringT<wchar_t>::GetAnsiString() const
{
    return xpWideToUTF8(buffer->text, buffer->length);
}

template <> XpStringT<wchar_t> XpStringT<char>::GetUnicodeString() const
{
    return xpUTF8ToWide(buffer->text, buffer->length);
}

template <> XpStringT<wchar_t> XpStringT<wchar_t>::GetUnicodeString() const
{
    return *this;
}

template <typename T> XpStringT<char> XpStringT<T>::GetString() const
{
    return GetAnsiString();
}

template <> XpStringT<char>::XpStringT(const XpPlatformString& s) : text(nullptr), buffer(nullptr)
{
    char const* utf8 = s.UTF8String();
    buffer = newBuffer<char>(utf8 ? utf8 : _XpStringFunctions<char>::NULL_STRING);
    text = buffer->text;
}

template <> XpStringT<wchar_t>::XpStringT(const XpPlatformString& s) : text(nullptr), buffer(nullptr)
{
    char const* utf8 = s.UTF8String();
    XpStringT<wchar_t> wide = xpUTF8ToWide(utf8 ? utf8 : "", static_cast<int>(s.Length()));
    Assign(wide);
}

template <> XpStringT<char>& XpStringT<char>::operator=(const XpPlatformString& s)
{
    char const* utf8 = s.UTF8String();
    copy(utf8 ? utf8 : _XpStringFunctions<char>::NULL_STRING);
    return *this;
}

template <> XpStringT<wchar_t>& XpStringT<wchar_t>::operator=(const XpPlatformString& s)
{
    char const* utf8 = s.UTF8String();
    return Assign(xpUTF8ToWide(utf8 ? utf8 : "", static_cast<int>(s.Length())));
}

template <> XpStringT<char>& XpStringT<char>::AssignMultiByteChar(int codePage, char const* source)
{
    std::string utf8;
    const XpDecodeResult result = xpDecodeCodePage(codePage, source, utf8);
    if (result == XpDecodeResult::TooLong || utf8.size() > static_cast<size_t>(kMaxLength))
        return *this;
    copy(utf8.c_str(), static_cast<int>(result == XpDecodeResult::Decoded ? utf8.size() : 0));
    return *this;
}

template <> XpStringT<char>& XpStringT<char>::AssignUTF8Char(char const* source)
{
    copy(source ? source : _XpStringFunctions<char>::NULL_STRING);
    return *this;
}

template <> XpStringT<char>& XpStringT<char>::AssignUTF16LEChar(char const* units)
{
    if (!units)
        return Assign(_XpStringFunctions<char>::NULL_STRING);
    // Units are read byte by byte: the address need not be aligned for 16-bit access.
    const unsigned char* p = reinterpret_cast<const unsigned char*>(units);
    // Count the units and the length of their UTF-8 form (a pair gives 4 bytes, any other unit
    // at most 3): a result too long for a string leaves the string as it is.
    size_t n = 0;
    int64_t utf8Length = 0;
    for (unsigned u, previous = 0; (u = p[2 * n] | (p[2 * n + 1] << 8)) != 0; ++n, previous = u) {
        const bool pairEnd = u >= 0xDC00 && u <= 0xDFFF && previous >= 0xD800 && previous <= 0xDBFF;
        utf8Length += u < 0x80 ? 1 : u < 0x800 ? 2 : pairEnd ? 1 : 3;
        if (pairEnd)
            u = 0; // a low surrogate that ended a pair does not start another
    }
    if (utf8Length > kMaxLength)
        return *this;
    wchar_t* wide = static_cast<wchar_t*>(std::malloc((n + 1) * sizeof(wchar_t)));
    if (!wide)
        return Assign(_XpStringFunctions<char>::NULL_STRING);
    for (size_t i = 0; i < n; ++i)
        wide[i] = static_cast<wchar_t>(p[2 * i] | (p[2 * i + 1] << 8));
    wide[n] = 0;
    XpStringT<wchar_t> w(wide);
    std::free(wide);
    return Assign(w.GetString());
}

template <> XpPlatformString XpStringT<char>::ToPlatformString() const
{
    return XpPlatformString::StringWithUTF8String(buffer->text);
}

template <> XpStringT<char>::operator XpPlatformString() const
{
    return ToPlatformString();
}

template <> XpStringT<char> XpStringT<char>::PrecomposeString() const
{
    std::string composed;
    if (!xpPrecomposeUTF8(buffer->text, static_cast<size_t>(buffer->length), composed))
        return XpStringT<char>(_XpStringFunctions<char>::NULL_STRING);
    XpStringT<char> result(_XpStringFunctions<char>::NULL_STRING);
    result.copy(composed.c_str(), static_cast<int>(composed.size()));
    return result;
}

template class XP_TEMPLATE_API _XpStringBuffer<char>;
template class XP_TEMPLATE_API _XpStringBuffer<wchar_t>;
template class XP_TEMPLATE_API XpStringT<char>;
template class XP_TEMPLATE_API XpStringT<wchar_t>;
