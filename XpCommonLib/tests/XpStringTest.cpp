// XpString: sharing and copy-on-write, the growth rule, the per-thread empty strings, the text
// operations of both forms, the encodings and strings shared across threads.
#include <XpString.h>

#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <locale.h>
#include <string>
#include <thread>
#include <vector>

namespace {

int refs(const XpStringA& s) { return s.stringBuffer()->refCount.load(); }
int refs(const XpStringW& s) { return s.stringBuffer()->refCount.load(); }
int cap(const XpStringA& s) { return s.stringBuffer()->capacity; }

std::string bytes(const XpStringA& s) { return std::string(s.GetBuffer(), static_cast<size_t>(s.Length())); }

void formatVa(XpStringA& s, char const* format, ...)
{
    va_list args;
    va_start(args, format);
    s.FormatWithVaList(format, args);
    // The list must still be usable: each attempt formats its own copy.
    char check[64];
    vsnprintf(check, sizeof check, format, args);
    va_end(args);
    EXPECT_EQ(0, std::strncmp(check, s.GetBuffer(), std::strlen(check)));
}

} // namespace

TEST(XpStringCore, DefaultStringsShareOneBufferPerThread)
{
    XpStringA a;
    XpStringA b;
    EXPECT_EQ(0, a.Length());
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_EQ(a.stringBuffer(), b.stringBuffer());
    EXPECT_GE(refs(a), 3); // a, b and the thread's map entry

    // Changing one detaches it and leaves the thread's empty string empty.
    a += "abc";
    EXPECT_STREQ("abc", a.GetBuffer());
    EXPECT_TRUE(b.IsEmpty());
    EXPECT_NE(a.stringBuffer(), b.stringBuffer());
    XpStringA c;
    EXPECT_EQ(b.stringBuffer(), c.stringBuffer());
    EXPECT_STREQ("", c.GetBuffer());

    // Another thread gets its own empty buffer, for both forms.
    XpStringW wideHere;
    const void* otherA = nullptr;
    const void* otherW = nullptr;
    XpStringA keepA;
    XpStringW keepW;
    std::thread t([&] {
        XpStringA x;
        XpStringW y;
        XpStringA x2;
        EXPECT_EQ(x.stringBuffer(), x2.stringBuffer());
        otherA = x.stringBuffer();
        otherW = y.stringBuffer();
        keepA = x;
        keepW = y;
    });
    t.join();
    EXPECT_NE(otherA, static_cast<const void*>(b.stringBuffer()));
    EXPECT_NE(otherW, static_cast<const void*>(wideHere.stringBuffer()));
    EXPECT_EQ(otherA, static_cast<const void*>(keepA.stringBuffer()));
}

TEST(XpStringCore, CopyOnWriteAndSharing)
{
    XpStringA fromNull(static_cast<char const*>(nullptr));
    EXPECT_STREQ("", fromNull.GetBuffer());
    EXPECT_EQ(1, refs(fromNull));
    XpStringW wideNull(static_cast<wchar_t const*>(nullptr));
    EXPECT_EQ(0, wideNull.Length());

    XpStringA a("hello");
    XpStringA b(a);
    EXPECT_EQ(a.stringBuffer(), b.stringBuffer());
    EXPECT_EQ(2, refs(a));
    b += "!";
    EXPECT_STREQ("hello", a.GetBuffer());
    EXPECT_STREQ("hello!", b.GetBuffer());
    EXPECT_EQ(1, refs(a));
    EXPECT_EQ(1, refs(b));

    // Assigning itself or a string that already shares the buffer changes nothing.
    XpStringA c(a);
    const void* before = a.stringBuffer();
    a = a;
    a = c;
    EXPECT_EQ(before, static_cast<const void*>(a.stringBuffer()));
    EXPECT_EQ(2, refs(a));

    // Writing through the modifiable pointer does not detach: every sharer sees it.
    char* raw = c;
    raw[0] = 'J';
    EXPECT_STREQ("Jello", a.GetBuffer());
    c[1] = 'E';
    EXPECT_EQ('E', a.At(1));

    // Assigning text to a shared string gives it a private buffer; a null pointer counts as "".
    c = "other";
    EXPECT_STREQ("JEllo", a.GetBuffer());
    EXPECT_EQ(1, refs(a));
    c = static_cast<char const*>(nullptr);
    EXPECT_TRUE(c.IsEmpty());

    // Assigning a part of its own text.
    XpStringA d("abcdef");
    d = d.GetBuffer() + 2;
    EXPECT_STREQ("cdef", d.GetBuffer());
    d.Assign(d.GetBuffer());
    EXPECT_STREQ("cdef", d.GetBuffer());

    // release() drops the reference; the string can be assigned again.
    XpStringA e(a);
    EXPECT_EQ(2, refs(a));
    e.release();
    EXPECT_EQ(1, refs(a));
    EXPECT_EQ(nullptr, e.stringBuffer());
    e = "back";
    EXPECT_STREQ("back", e.GetBuffer());
    e.release();
    e += "again";
    EXPECT_STREQ("again", e.GetBuffer());
}

TEST(XpStringCore, GrowthAndShrinkRule)
{
    EXPECT_EQ(64, cap(XpStringA(std::string(63, 'x').c_str())));
    EXPECT_EQ(128, cap(XpStringA(std::string(64, 'x').c_str())));
    EXPECT_EQ(64, cap(XpStringA("")));

    XpStringA big(std::string(200, 'x').c_str());
    EXPECT_EQ(256, cap(big));
    big = "0123456789";
    EXPECT_EQ(64, cap(big));
    XpStringA mid(std::string(100, 'x').c_str());
    EXPECT_EQ(128, cap(mid));
    mid = "0123456789";
    EXPECT_EQ(128, cap(mid));
    // Needing 320 or 256 of 512 keeps the storage; needing 128 of 512 shrinks it.
    XpStringA large(std::string(500, 'x').c_str());
    EXPECT_EQ(512, cap(large));
    large = std::string(300, 'y').c_str();
    EXPECT_EQ(512, cap(large));
    large = std::string(200, 'y').c_str();
    EXPECT_EQ(512, cap(large));
    large = std::string(100, 'y').c_str();
    EXPECT_EQ(128, cap(large));
    EXPECT_EQ(100, large.Length());

    // Repeated appends reallocate once per 64 characters.
    XpStringA grow;
    for (int i = 0; i < 1000; ++i) {
        grow += "z";
        ASSERT_EQ(i + 1, grow.Length());
        ASSERT_EQ((i + 1) / 64 * 64 + 64, cap(grow));
    }

    // The same rule for the wide form, whose storage counts characters, not bytes.
    XpStringW w(std::wstring(64, L'w').c_str());
    EXPECT_EQ(128, w.stringBuffer()->capacity);

    // Memory exhaustion: storage that cannot be obtained leaves the empty text.
    auto* buffer = new _XpStringBuffer<char>("some text");
    EXPECT_EQ(1, buffer->refCount.load());
    EXPECT_FALSE(buffer->allocBuffer(int64_t(1) << 40));
    EXPECT_EQ(0, buffer->length);
    EXPECT_STREQ("", buffer->text);
    buffer->Append("still usable");
    EXPECT_STREQ("still usable", buffer->text);
    EXPECT_EQ(2, buffer->AddRef());
    EXPECT_EQ(1, buffer->Release());
    EXPECT_EQ(0, buffer->Release()); // deletes the buffer (the leak check of asan would see it)
}

TEST(XpStringCore, AppendingToItself)
{
    XpStringA a("abc");
    a += a.GetBuffer();
    EXPECT_STREQ("abcabc", a.GetBuffer());

    // Across a growth step: 40 characters doubled need a capacity of 128.
    std::string forty(40, 'q');
    forty[39] = 'E';
    XpStringA b(forty.c_str());
    EXPECT_EQ(64, cap(b));
    b.Append(b.GetBuffer());
    EXPECT_EQ(80, b.Length());
    EXPECT_EQ(128, cap(b));
    EXPECT_EQ(forty + forty, bytes(b));

    // While shared: the copy keeps the old text.
    XpStringA c(b);
    c += c.GetBuffer();
    EXPECT_EQ(160, c.Length());
    EXPECT_EQ(80, b.Length());
    EXPECT_EQ(forty + forty + forty + forty, bytes(c));

    // A tail of its own text.
    XpStringA d("xyz");
    d += d.GetBuffer() + 1;
    EXPECT_STREQ("xyzyz", d.GetBuffer());

    XpStringW w(L"ab");
    w += w.GetBuffer();
    EXPECT_EQ(0, std::wcscmp(L"abab", w.GetBuffer()));
}

TEST(XpStringOps, Search)
{
    XpStringA s("abcb");
    EXPECT_EQ(1, s.Find('b', 0));
    EXPECT_EQ(3, s.Find('b', 2));
    EXPECT_EQ(3, s.ReverseFind('b'));
    EXPECT_EQ(-1, s.Find('x', 0));
    EXPECT_EQ(-1, s.ReverseFind('x'));
    EXPECT_EQ(2, s.Find("cb", 0));
    EXPECT_EQ(-1, s.Find("cb", 3));
    EXPECT_EQ(2, s.Find("", 2));
    EXPECT_EQ(4, s.Find('\0', 0));
    EXPECT_EQ(4, s.ReverseFind('\0'));
    EXPECT_EQ(-1, s.Find("abcbx", 0));

    XpStringW w(L"abcb");
    EXPECT_EQ(3, w.Find(L'b', 2));
    EXPECT_EQ(2, w.Find(L"cb", 0));
    EXPECT_EQ(3, w.ReverseFind(L'b'));
    EXPECT_EQ(-1, w.Find(L'x', 0));
}

TEST(XpStringOps, Slicing)
{
    XpStringA s("abc");
    EXPECT_STREQ("ab", s.Left(2).GetBuffer());
    EXPECT_EQ(s.stringBuffer(), s.Left(5).stringBuffer());
    EXPECT_EQ(s.stringBuffer(), s.Left(3).stringBuffer());
    EXPECT_STREQ("", s.Left(-1).GetBuffer());
    EXPECT_STREQ("bc", s.Right(2).GetBuffer());
    EXPECT_STREQ("", s.Right(0).GetBuffer());
    EXPECT_STREQ("", s.Right(-4).GetBuffer());
    EXPECT_EQ(s.stringBuffer(), s.Right(3).stringBuffer());
    EXPECT_NE(s.stringBuffer(), s.Right(2).stringBuffer());

    EXPECT_STREQ("bc", s.Mid(1, 100).GetBuffer());
    EXPECT_STREQ("ab", s.Mid(-3, 2).GetBuffer());
    EXPECT_STREQ("", s.Mid(1, -1).GetBuffer());
    EXPECT_STREQ("b", s.Mid(1, 1).GetBuffer());
    EXPECT_EQ(s.stringBuffer(), s.Mid(3, 1).stringBuffer());
    EXPECT_EQ(s.stringBuffer(), s.Mid(5, 1).stringBuffer());
    EXPECT_EQ(s.stringBuffer(), s.Mid(0, 3).stringBuffer());
    EXPECT_EQ(1, refs(s));

    XpStringA empty("");
    EXPECT_EQ(empty.stringBuffer(), empty.Left(0).stringBuffer());
    EXPECT_EQ(empty.stringBuffer(), empty.Mid(0, 2).stringBuffer());

    XpStringW w(L"abc");
    EXPECT_EQ(0, std::wcscmp(L"ab", w.Left(2).GetBuffer()));
    EXPECT_EQ(0, std::wcscmp(L"bc", w.Mid(1, 100).GetBuffer()));
    EXPECT_EQ(0, std::wcscmp(L"c", w.Right(1).GetBuffer()));
    wchar_t* dup = _XpStringFunctions<wchar_t>::strDup(L"dup");
    ASSERT_NE(nullptr, dup);
    EXPECT_EQ(0, std::wcscmp(L"dup", dup));
    free(dup);
    dup = _XpWideStrDup(nullptr);
    ASSERT_NE(nullptr, dup);
    EXPECT_EQ(L'\0', dup[0]);
    free(dup);
}

TEST(XpStringOps, ReplaceCharacter)
{
    XpStringA s("banana");
    XpStringA keep(s);
    EXPECT_EQ(3, s.Replace('a', 'x'));
    EXPECT_STREQ("bxnxnx", s.GetBuffer());
    EXPECT_STREQ("banana", keep.GetBuffer());

    EXPECT_EQ(0, keep.Replace('a', 'a'));
    XpStringA shared(keep);
    EXPECT_EQ(0, keep.Replace('q', 'x'));
    EXPECT_EQ(shared.stringBuffer(), keep.stringBuffer());
    EXPECT_EQ(2, refs(keep));

    // The zero character is found at the terminator: the string detaches and nothing changes.
    EXPECT_EQ(0, keep.Replace('\0', 'x'));
    EXPECT_NE(shared.stringBuffer(), keep.stringBuffer());
    EXPECT_STREQ("banana", keep.GetBuffer());

    XpStringA empty;
    XpStringA otherEmpty;
    EXPECT_EQ(0, empty.Replace('\0', 'x'));
    EXPECT_EQ(otherEmpty.stringBuffer(), empty.stringBuffer());

    XpStringW w(L"banana");
    EXPECT_EQ(2, w.Replace(L'n', L'N'));
    EXPECT_EQ(0, std::wcscmp(L"baNaNa", w.GetBuffer()));
}

TEST(XpStringOps, ReplaceText)
{
    XpStringA a("aaa");
    EXPECT_EQ(1, a.Replace("aa", "b"));
    EXPECT_STREQ("ba", a.GetBuffer());

    XpStringA b("abcabc");
    XpStringA bShared(b);
    EXPECT_EQ(2, b.Replace("bc", "xyz"));
    EXPECT_STREQ("axyzaxyz", b.GetBuffer());
    EXPECT_STREQ("abcabc", bShared.GetBuffer());

    XpStringA c("abcabc");
    EXPECT_EQ(2, c.Replace("bc", nullptr));
    EXPECT_STREQ("aa", c.GetBuffer());

    // Replaced text is not searched again.
    XpStringA d("aXa");
    EXPECT_EQ(2, d.Replace("a", "aa"));
    EXPECT_STREQ("aaXaa", d.GetBuffer());
    XpStringA e("abab");
    EXPECT_EQ(2, e.Replace("ab", "ab"));
    EXPECT_STREQ("abab", e.GetBuffer());

    // Nothing found: the text stays, count 0.
    XpStringA f("hello");
    EXPECT_EQ(0, f.Replace("xyz", "q"));
    EXPECT_STREQ("hello", f.GetBuffer());

    // A null or empty from replaces nothing.
    EXPECT_EQ(0, f.Replace("", "q"));
    EXPECT_EQ(0, f.Replace(static_cast<char const*>(nullptr), "q"));
    EXPECT_STREQ("hello", f.GetBuffer());

    // The whole text and an empty text.
    XpStringA g("same");
    EXPECT_EQ(1, g.Replace("same", "a much longer replacement"));
    EXPECT_STREQ("a much longer replacement", g.GetBuffer());
    XpStringA h("");
    EXPECT_EQ(0, h.Replace("a", "b"));
    EXPECT_TRUE(h.IsEmpty());

    // One mebibyte with a match in every kibibyte, growing. (Kept sparse: the sanitizers check
    // the whole rest of the text on every search.)
    std::string block(1024, '.');
    block.replace(100, 3, "abc");
    std::string big;
    for (int i = 0; i < 1024; ++i)
        big += block;
    XpStringA m(big.c_str());
    XpStringA original(m);
    EXPECT_EQ(1024, m.Replace("abc", "ABCD"));
    EXPECT_EQ(static_cast<int>(big.size()) + 1024, m.Length());
    EXPECT_EQ("ABCD", bytes(m).substr(1025 + 100, 4));
    EXPECT_EQ(-1, m.Find("abc", 0));
    EXPECT_EQ(1024, m.Replace("ABCD", "abc"));
    EXPECT_EQ(original, m);

    XpStringW w(L"abcabc");
    EXPECT_EQ(2, w.Replace(L"bc", L"xyz"));
    EXPECT_EQ(0, std::wcscmp(L"axyzaxyz", w.GetBuffer()));
    EXPECT_EQ(0, w.Replace(L"", L"x"));
}

TEST(XpStringOps, Formatting)
{
    XpStringA s("old");
    s.Format("%d-%s", 42, "x");
    EXPECT_STREQ("42-x", s.GetBuffer());

    // Exactly 255, 256 and 600 characters, and sizes around the 512-character steps.
    for (int n : {0, 1, 255, 256, 511, 512, 600, 1023, 1024, 1025, 5000}) {
        std::string expected(static_cast<size_t>(n), 'r');
        XpStringA f;
        f.Format("%s", expected.c_str());
        ASSERT_EQ(n, f.Length()) << n;
        ASSERT_EQ(expected, bytes(f));
        XpStringW w;
        w.Format(L"%s", expected.c_str());
        ASSERT_EQ(n, w.Length()) << n;
        XpStringW pad;
        pad.Format(L"%*d", n, 7);
        ASSERT_EQ(n < 1 ? 1 : n, pad.Length()) << n;
    }

    XpStringA x("x");
    x.AppendFormat("%d", 5);
    EXPECT_STREQ("x5", x.GetBuffer());
    x.AppendFormat("%s", std::string(700, 'a').c_str());
    EXPECT_EQ(702, x.Length());
    XpStringA shared(x);
    shared.AppendFormat("!");
    EXPECT_EQ(702, x.Length());
    EXPECT_EQ(703, shared.Length());

    XpStringA v;
    formatVa(v, "%s %d %s", std::string(300, 'v').c_str(), 17, "end");
    EXPECT_EQ(300 + 1 + 2 + 1 + 3, v.Length());

    // A one-mebibyte result, both forms.
    std::string mib(1 << 20, 'm');
    XpStringA huge;
    huge.Format("<%s>", mib.c_str());
    EXPECT_EQ((1 << 20) + 2, huge.Length());
    EXPECT_EQ('>', huge[(1 << 20) + 1]);
    XpStringW hugeW;
    hugeW.Format(L"%s!", mib.c_str());
    EXPECT_EQ((1 << 20) + 1, hugeW.Length());
    EXPECT_EQ(L'!', hugeW[1 << 20]);

    // An error at every size (an invalid multibyte argument for the wide formatter) leaves the
    // text unchanged and appends nothing.
    XpStringW bad(L"unchanged");
    bad.Format(L"%s", "\xff\xfe");
    EXPECT_EQ(0, std::wcscmp(L"unchanged", bad.GetBuffer()));
    bad.AppendFormat(L"%s", "\xff\xfe");
    EXPECT_EQ(0, std::wcscmp(L"unchanged", bad.GetBuffer()));
    XpStringW wideFmt;
    wideFmt.Format(L"%ls=%d", L"k", 3);
    EXPECT_EQ(0, std::wcscmp(L"k=3", wideFmt.GetBuffer()));
}

TEST(XpStringOps, AppendAndConcatenate)
{
    XpStringA a("ab");
    XpStringA b("cd");
    XpStringA ab = a + b;
    EXPECT_STREQ("abcd", ab.GetBuffer());
    EXPECT_STREQ("ab", a.GetBuffer());
    EXPECT_STREQ("cd", b.GetBuffer());
    EXPECT_STREQ("abx", (a + "x").GetBuffer());
    EXPECT_STREQ("xab", ("x" + a).GetBuffer());
    EXPECT_STREQ("abab", (a + a).GetBuffer());
    EXPECT_STREQ("ab", a.GetBuffer());
    EXPECT_EQ(1, refs(a));

    a.Append(nullptr);
    a += static_cast<char const*>(nullptr);
    EXPECT_STREQ("ab", a.GetBuffer());
    a.Append("c").Append("d");
    EXPECT_STREQ("abcd", a.GetBuffer());

    XpStringW w(L"w");
    EXPECT_EQ(0, std::wcscmp(L"wv", (w + L"v").GetBuffer()));
    EXPECT_EQ(0, std::wcscmp(L"vw", (L"v" + w).GetBuffer()));
    EXPECT_EQ(0, std::wcscmp(L"ww", (w + w).GetBuffer()));
}

TEST(XpStringOps, Comparison)
{
    XpStringA abc("abc");
    EXPECT_EQ(0, abc.Compare("abc"));
    EXPECT_LT(abc.Compare("abd"), 0);
    EXPECT_GT(abc.Compare("ab"), 0);
    EXPECT_EQ(0, abc.CompareNoCase("ABC"));
    EXPECT_NE(0, XpStringW(L"abc").CompareNoCase(L"ABC"));
    EXPECT_EQ(0, XpStringW(L"abc").CompareNoCase(L"abc"));

    // Every operator in its three forms, for both types, against the sign of strcmp.
    const char* texts[] = {"", "B", "a", "ab", "abc", "abd", "\xC3\xA9"};
    for (const char* l : texts) {
        for (const char* r : texts) {
            const int c = std::strcmp(l, r) < 0 ? -1 : (std::strcmp(l, r) > 0 ? 1 : 0);
            XpStringA L(l), R(r);
            const bool expect[6] = {c == 0, c != 0, c < 0, c <= 0, c > 0, c >= 0};
            const bool ss[6] = {L == R, L != R, L < R, L <= R, L > R, L >= R};
            const bool sp[6] = {L == r, L != r, L < r, L <= r, L > r, L >= r};
            const bool ps[6] = {l == R, l != R, l < R, l <= R, l > R, l >= R};
            std::wstring wl, wr;
            for (const char* q = l; *q; ++q)
                wl += static_cast<wchar_t>(static_cast<unsigned char>(*q));
            for (const char* q = r; *q; ++q)
                wr += static_cast<wchar_t>(static_cast<unsigned char>(*q));
            XpStringW WL(wl.c_str()), WR(wr.c_str());
            const wchar_t* pl = wl.c_str();
            const wchar_t* pr = wr.c_str();
            const bool wss[6] = {WL == WR, WL != WR, WL < WR, WL <= WR, WL > WR, WL >= WR};
            const bool wsp[6] = {WL == pr, WL != pr, WL < pr, WL <= pr, WL > pr, WL >= pr};
            const bool wps[6] = {pl == WR, pl != WR, pl < WR, pl <= WR, pl > WR, pl >= WR};
            for (int k = 0; k < 6; ++k) {
                EXPECT_EQ(expect[k], ss[k]) << l << " " << r << " op " << k;
                EXPECT_EQ(expect[k], sp[k]) << l << " " << r << " op " << k;
                EXPECT_EQ(expect[k], ps[k]) << l << " " << r << " op " << k;
                EXPECT_EQ(expect[k], wss[k]) << l << " " << r << " op " << k;
                EXPECT_EQ(expect[k], wsp[k]) << l << " " << r << " op " << k;
                EXPECT_EQ(expect[k], wps[k]) << l << " " << r << " op " << k;
            }
        }
    }
    EXPECT_TRUE(XpStringA("B") < XpStringA("a"));
    EXPECT_TRUE(XpStringA("ab") < "abc");
}

TEST(XpStringEncoding, Utf8AndWide)
{
    XpStringA e("\xC3\xA9");
    XpStringW w = e.GetUnicodeString();
    ASSERT_EQ(1, w.Length());
    EXPECT_EQ(0xE9, static_cast<int>(w[0]));
    EXPECT_EQ("\xC3\xA9", bytes(w.GetAnsiString()));
    EXPECT_EQ("\xC3\xA9", bytes(w.GetString()));
    EXPECT_EQ(w.stringBuffer(), w.GetUnicodeString().stringBuffer());
    EXPECT_EQ(e.stringBuffer(), e.GetString().stringBuffer());
    EXPECT_EQ(e.stringBuffer(), e.GetAnsiString().stringBuffer());
    EXPECT_TRUE(XpStringA("").GetUnicodeString().IsEmpty());
    EXPECT_TRUE(XpStringW(L"").GetAnsiString().IsEmpty());

    // All sequence lengths round-trip.
    const char* mixed = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
    XpStringW wm = XpStringA(mixed).GetUnicodeString();
    ASSERT_EQ(5, wm.Length());
    EXPECT_EQ(0x20AC, static_cast<int>(wm[2]));
    EXPECT_EQ(0x1F600, static_cast<int>(wm[3]));
    EXPECT_STREQ(mixed, wm.GetAnsiString().GetBuffer());

    // Invalid UTF-8 of every kind gives the empty wide string.
    for (const char* bad : {"\x80", "a\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                            "\xF8\x88\x80\x80\x80", "ok\xFF", "\xE2\x82"}) {
        EXPECT_TRUE(XpStringA(bad).GetUnicodeString().IsEmpty()) << bad;
    }

    // Units without a UTF-8 form: pairs combine, the rest become U+FFFD.
    const wchar_t pair[] = {L'a', 0xD83D, 0xDE00, 0};
    EXPECT_EQ("a\xF0\x9F\x98\x80", bytes(XpStringW(pair).GetAnsiString()));
    const wchar_t lone[] = {0xD800, L'b', 0xDC00, 0x110000, static_cast<wchar_t>(-2), 0};
    EXPECT_EQ("\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", bytes(XpStringW(lone).GetAnsiString()));

    // The conversions leave the thread's locale alone.
    locale_t before = uselocale(static_cast<locale_t>(0));
    XpStringA("\xC3\xA9").GetUnicodeString();
    EXPECT_EQ(before, uselocale(static_cast<locale_t>(0)));
}

TEST(XpStringEncoding, AssignFromOtherEncodings)
{
    XpStringA s("before");
    EXPECT_EQ("\xC3\xA9", bytes(s.AssignMultiByteChar(1252, "\xE9")));
    struct Case {
        int codePage;
        const char* source;
        const char* utf8;
    };
    const Case cases[] = {
        {1252, "caf\xE9 \x80", "caf\xC3\xA9 \xE2\x82\xAC"},
        {932, "\x82\xA0", "\xE3\x81\x82"},
        {936, "\xC4\xE3", "\xE4\xBD\xA0"},
        {949, "\xB0\xA1", "\xEA\xB0\x80"},
        {950, "\xA4\x40", "\xE4\xB8\x80"},
        {1250, "\x8A", "\xC5\xA0"},
        {1251, "\xC0", "\xD0\x90"},
        {1253, "\xC1", "\xCE\x91"},
        {1254, "\xD0", "\xC4\x9E"},
        {1255, "\xE0", "\xD7\x90"},
        {1256, "\xC7", "\xD8\xA7"},
        {1257, "\xC0", "\xC4\x84"},
        {1258, "\xC3", "\xC4\x82"},
        {874, "\xA1", "\xE0\xB8\x81"},
        {437, "\x82", "\xC3\xA9"},
        {850, "\x82", "\xC3\xA9"},
        {65001, "\xC3\xA9", "\xC3\xA9"},
        {28591, "\xE9", "\xC3\xA9"},
        {20127, "plain", "plain"},
        {1252, "", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.utf8, bytes(s.AssignMultiByteChar(c.codePage, c.source))) << c.codePage;

    const char utf16[] = {'A', 0, '\xE9', 0, 0, 0};
    EXPECT_EQ("A\xC3\xA9", bytes(s.AssignMultiByteChar(1200, utf16)));
    const char utf16be[] = {0, 'A', 0, '\xE9', 0, 0};
    EXPECT_EQ("A\xC3\xA9", bytes(s.AssignMultiByteChar(1201, utf16be)));

    // Unknown code pages and bytes that do not decode give "".
    for (int unknown : {0, -1, 12345, 99999}) {
        s = "x";
        EXPECT_TRUE(s.AssignMultiByteChar(unknown, "abc").IsEmpty()) << unknown;
    }
    s = "x";
    EXPECT_TRUE(s.AssignMultiByteChar(65001, "\xFF").IsEmpty());
    s = "x";
    EXPECT_TRUE(s.AssignMultiByteChar(932, "a\x82").IsEmpty());
    s = "x";
    EXPECT_TRUE(s.AssignMultiByteChar(20127, "\xE9").IsEmpty());

    EXPECT_TRUE(s.AssignUTF8Char(nullptr).IsEmpty());
    EXPECT_TRUE(s.AssignUTF8Char("").IsEmpty());
    EXPECT_EQ("\xFF raw", bytes(s.AssignUTF8Char("\xFF raw")));

    const char units[] = {0x41, 0x00, '\xE9', 0x00, 0x00, 0x00};
    EXPECT_EQ("A\xC3\xA9", bytes(s.AssignUTF16LEChar(units)));
    // A pair outside the Basic Multilingual Plane is kept; a lone surrogate is replaced.
    const char emoji[] = {'\x3D', '\xD8', '\x00', '\xDE', 0x00, 0x00};
    EXPECT_EQ("\xF0\x9F\x98\x80", bytes(s.AssignUTF16LEChar(emoji)));
    const char loneHigh[] = {'\x3D', '\xD8', 'x', 0x00, 0x00, 0x00};
    EXPECT_EQ("\xEF\xBF\xBDx", bytes(s.AssignUTF16LEChar(loneHigh)));
    // Units read from an odd address.
    const char odd[] = {'_', 0x42, 0x00, 0x00, 0x00};
    EXPECT_EQ("B", bytes(s.AssignUTF16LEChar(odd + 1)));
    EXPECT_TRUE(s.AssignUTF16LEChar(nullptr).IsEmpty());
}

TEST(XpStringEncoding, PlatformStringAndComposition)
{
    XpPlatformString nil;
    EXPECT_TRUE(nil.IsNil());
    EXPECT_EQ(nullptr, nil.UTF8String());
    EXPECT_TRUE(XpStringA(nil).IsEmpty());
    EXPECT_TRUE(XpStringW(nil).IsEmpty());
    XpStringA assigned("x");
    assigned = nil;
    EXPECT_TRUE(assigned.IsEmpty());

    XpPlatformString p = XpPlatformString::StringWithUTF8String("caf\xC3\xA9");
    ASSERT_FALSE(p.IsNil());
    EXPECT_STREQ("caf\xC3\xA9", XpStringA(p).GetBuffer());
    XpStringW wide(p);
    ASSERT_EQ(4, wide.Length());
    EXPECT_EQ(0xE9, static_cast<int>(wide[3]));
    XpStringW wideAssigned;
    wideAssigned = p;
    EXPECT_EQ(0, std::wcscmp(wide.GetBuffer(), wideAssigned.GetBuffer()));

    XpPlatformString back = XpStringA("d\xC3\xA9j\xC3\xA0");
    EXPECT_STREQ("d\xC3\xA9j\xC3\xA0", back.UTF8String());
    EXPECT_TRUE(XpStringA("bad\xC0\xAF").ToPlatformString().IsNil());
    EXPECT_TRUE(XpPlatformString::StringWithUTF8String(nullptr).IsNil());
    EXPECT_FALSE(XpPlatformString::StringWithUTF8String("").IsNil());

    // No conversion from the platform string composes or decomposes.
    XpPlatformString decomposed = XpPlatformString::StringWithUTF8String("e\xCC\x81");
    EXPECT_EQ("e\xCC\x81", bytes(XpStringA(decomposed)));

    EXPECT_EQ("\xC3\xA9", bytes(XpStringA("e\xCC\x81").PrecomposeString()));
    EXPECT_EQ("\xC7\xBA", bytes(XpStringA("\xC3\x85\xCC\x81").PrecomposeString()));
    EXPECT_EQ("\xC7\xBA \xE1\xBA\xA0", bytes(XpStringA("A\xCC\x8A\xCC\x81 A\xCC\xA3").PrecomposeString()));
    EXPECT_EQ("plain", bytes(XpStringA("plain").PrecomposeString()));
    EXPECT_TRUE(XpStringA("").PrecomposeString().IsEmpty());
    EXPECT_TRUE(XpStringA("e\xCC").PrecomposeString().IsEmpty());
}

TEST(XpStringThreads, SharedBuffersAcrossThreads)
{
    // Many threads copy, release and detach strings that share buffers with each other and
    // with the main thread; each checks the text it sees.
    const XpStringA seedA(std::string(300, 's').c_str());
    const XpStringW seedW(L"wide seed");
    std::vector<XpStringA> handedOut(16, seedA);
    std::atomic<int> failures(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 16; ++t) {
        threads.emplace_back([&, t] {
            XpStringA mine(handedOut[static_cast<size_t>(t)]);
            for (int i = 0; i < 2000; ++i) {
                XpStringA copy(seedA);
                XpStringA second = copy;
                if (copy.Length() != 300 || second[299] != 's')
                    ++failures;
                if (i % 7 == 0) {
                    second += "x";
                    if (second.Length() != 301 || copy.Length() != 300)
                        ++failures;
                }
                XpStringW w(seedW);
                if (i % 11 == 0 && w.Replace(L'w', L'W') != 1)
                    ++failures;
                XpStringA empty;
                if (!empty.IsEmpty())
                    ++failures;
                XpStringA left = mine.Left(i % 400);
                if (left.Length() != (i % 400 < 300 ? i % 400 : 300))
                    ++failures;
                copy.release();
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(17, refs(seedA)); // seedA and the 16 handed-out copies
    EXPECT_EQ(1, refs(seedW));
    EXPECT_EQ(std::string(300, 's'), bytes(seedA));
}

TEST(XpStringThreads, DefaultConstructionOnManyThreads)
{
    std::atomic<int> failures(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 24; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                XpStringA a;
                XpStringA b;
                XpStringW w;
                if (a.stringBuffer() != b.stringBuffer() || !a.IsEmpty() || !w.IsEmpty())
                    ++failures;
                a += "x";
                w.Format(L"%d", i);
                if (!b.IsEmpty())
                    ++failures;
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(0, failures.load());
}
