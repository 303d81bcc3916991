// XpString: sharing and copy-on-write, the growth rule, the per-thread empty strings, the text
// operations of both forms, the encodings and strings shared across threads.
#include <XpString.h>

#include <gtest/gtest.h>

#include <atomic>
#include <locale.h>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

int refs(const XpStringA& s) { return s.stringBuffer()->refCount.load(); }
int cap(const XpStringA& s) { return s.stringBuffer()->capacity; }
std::string bytes(const XpStringA& s) { return std::string(s.GetBuffer(), static_cast<size_t>(s.Length())); }
std::wstring wide(const XpStringW& s) { return std::wstring(s.GetBuffer(), static_cast<size_t>(s.Length())); }
std::string repeat(int n, char c) { return std::string(static_cast<size_t>(n), c); }
// The bytes of s as code units of the same values.
std::wstring widen(const char* s) { std::wstring w; for (unsigned char c : std::string(s)) w += c; return w; }

void formatVa(XpStringA& s, char const* format, ...)
{
    va_list args;
    va_start(args, format);
    s.FormatWithVaList(format, args);
    // The list must still be at its start: each attempt formats its own copy.
    s.AppendFormat("|%s", va_arg(args, char const*));
    va_end(args);
}

} // namespace

TEST(XpStringCore, DefaultStringsShareOneBufferPerThread)
{
    XpStringA a;
    XpStringA b;
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_EQ(a.stringBuffer(), b.stringBuffer());
    EXPECT_GE(refs(a), 3); // a, b and the thread's map entry

    // Changing one detaches it and leaves the thread's empty string empty.
    a += "abc";
    EXPECT_EQ(b.stringBuffer(), XpStringA().stringBuffer());
    EXPECT_STREQ("", b.GetBuffer());

    // Another thread gets its own empty buffer, for both forms (the map keeps both alive).
    XpStringW wideHere;
    const void* other[2] = {};
    std::thread([&] {
        EXPECT_EQ(XpStringA().stringBuffer(), XpStringA().stringBuffer());
        other[0] = XpStringA().stringBuffer();
        other[1] = XpStringW().stringBuffer();
    }).join();
    EXPECT_NE(other[0], static_cast<const void*>(b.stringBuffer()));
    EXPECT_NE(other[1], static_cast<const void*>(wideHere.stringBuffer()));
}

TEST(XpStringCore, CopyOnWriteAndSharing)
{
    XpStringA fromNull(static_cast<char const*>(nullptr));
    EXPECT_STREQ("", fromNull.GetBuffer());
    EXPECT_EQ(1, refs(fromNull));
    EXPECT_EQ(0, XpStringW(static_cast<wchar_t const*>(nullptr)).Length());

    XpStringA a("hello");
    XpStringA b(a);
    EXPECT_EQ(2, refs(a));
    b += "!";
    EXPECT_STREQ("hello", a.GetBuffer());
    EXPECT_STREQ("hello!", b.GetBuffer());
    EXPECT_EQ(1, refs(a));

    // Assigning itself or a string that already shares the buffer changes nothing.
    XpStringA c(a);
    a = a;
    a = c;
    EXPECT_EQ(c.stringBuffer(), a.stringBuffer());
    EXPECT_EQ(2, refs(a));

    // Writing through the modifiable pointer does not detach: every sharer sees it.
    static_cast<char*>(c)[0] = 'J';
    c[1] = 'E';
    EXPECT_STREQ("JEllo", a.GetBuffer());

    // Assigning text to a shared string gives it a private buffer; a null pointer counts as "".
    c = "other";
    EXPECT_STREQ("JEllo", a.GetBuffer());
    EXPECT_EQ(1, refs(a));
    c = static_cast<char const*>(nullptr);
    EXPECT_TRUE(c.IsEmpty());

    // Assigning a part of its own text.
    XpStringA d("abcdef");
    d = d.GetBuffer() + 2;
    d.Assign(d.GetBuffer());
    EXPECT_STREQ("cdef", d.GetBuffer());

    // release() drops the reference; the string can be assigned again.
    XpStringA e(a);
    e.release();
    EXPECT_EQ(1, refs(a));
    e += "again";
    EXPECT_STREQ("again", e.GetBuffer());
}

TEST(XpStringCore, GrowthShrinkAndSelfAppend)
{
    // Length first, capacity, then length assigned, capacity after: growth to the next multiple
    // of 64, shrinking only when less than half of a capacity above 128 is needed.
    const int rows[][4] = {{0, 64, 63, 64},     {63, 64, 64, 128},    {200, 256, 10, 64},   {100, 128, 10, 128},
                           {500, 512, 300, 512}, {500, 512, 200, 512}, {500, 512, 100, 128}};
    for (const auto& r : rows) {
        XpStringA s(repeat(r[0], 'x').c_str());
        EXPECT_EQ(r[1], cap(s)) << r[0];
        s = repeat(r[2], 'y').c_str();
        EXPECT_EQ(r[3], cap(s)) << r[0] << " then " << r[2];
        EXPECT_EQ(repeat(r[2], 'y'), bytes(s));
    }
    // Repeated appends reallocate once per 64 characters.
    XpStringA grow;
    for (int i = 0; i < 1000; ++i) {
        grow += "z";
        ASSERT_EQ(i + 1, grow.Length());
        ASSERT_EQ((i + 1) / 64 * 64 + 64, cap(grow));
    }
    // The wide form's storage counts characters, not bytes.
    EXPECT_EQ(128, XpStringW(std::wstring(64, L'w').c_str()).stringBuffer()->capacity);

    // Memory exhaustion: storage that cannot be obtained leaves the empty text.
    auto* buffer = new _XpStringBuffer<char>("some text");
    EXPECT_FALSE(buffer->allocBuffer(int64_t(1) << 40));
    EXPECT_EQ(0, buffer->length);
    EXPECT_STREQ("", buffer->text);
    buffer->Append("still usable");
    EXPECT_STREQ("still usable", buffer->text);
    EXPECT_EQ(0, buffer->Release()); // deletes the buffer (the leak check of asan would see it)

    // Appending its own text or a tail of it: across a growth step (40 characters doubled need
    // 128), and while shared (the copy keeps the old text).
    XpStringA tail("xyz");
    tail += tail.GetBuffer() + 1;
    EXPECT_STREQ("xyzyz", tail.GetBuffer());
    const std::string forty = repeat(39, 'q') + "E";
    XpStringA self(forty.c_str());
    self.Append(self.GetBuffer());
    EXPECT_EQ(128, cap(self));
    EXPECT_EQ(forty + forty, bytes(self));
    XpStringA copy(self);
    copy += copy.GetBuffer();
    EXPECT_EQ(forty + forty, bytes(self));
    EXPECT_EQ(forty + forty + forty + forty, bytes(copy));
}

TEST(XpStringOps, SearchAndSlicing)
{
    const XpStringA s("abcb");
    const XpStringW w(L"abcb");
    const int found[][2] = {{1, s.Find('b', 0)},       {3, s.Find('b', 2)},       {3, s.ReverseFind('b')},
                            {-1, s.Find('x', 0)},      {-1, s.ReverseFind('x')},  {2, s.Find("cb", 0)},
                            {-1, s.Find("cb", 3)},     {2, s.Find("", 2)},        {4, s.Find('\0', 0)},
                            {4, s.ReverseFind('\0')},  {-1, s.Find("abcbx", 0)},  {3, w.Find(L'b', 2)},
                            {2, w.Find(L"cb", 0)},     {3, w.ReverseFind(L'b')},  {-1, w.Find(L'x', 0)}};
    for (size_t i = 0; i < sizeof found / sizeof found[0]; ++i)
        EXPECT_EQ(found[i][0], found[i][1]) << "search " << i;

    // Slices, and whether each shares the original's buffer.
    XpStringA t("abc");
    const struct {
        XpStringA slice;
        const char* text;
        bool shares;
    } slices[] = {{t.Left(2), "ab", false},    {t.Left(5), "abc", true},  {t.Left(3), "abc", true},
                  {t.Left(-1), "", false},     {t.Right(2), "bc", false}, {t.Right(0), "", false},
                  {t.Right(-4), "", false},    {t.Right(3), "abc", true}, {t.Mid(1, 100), "bc", false},
                  {t.Mid(-3, 2), "ab", false}, {t.Mid(1, -1), "", false}, {t.Mid(1, 1), "b", false},
                  {t.Mid(3, 1), "abc", true},  {t.Mid(5, 1), "abc", true}, {t.Mid(0, 3), "abc", true}};
    for (const auto& c : slices) {
        EXPECT_EQ(c.text, bytes(c.slice));
        EXPECT_EQ(c.shares, c.slice.stringBuffer() == t.stringBuffer()) << c.text;
    }
    EXPECT_EQ(7, refs(t)); // t and the six whole-string slices: no reference leaked
    EXPECT_EQ(L"b", wide(XpStringW(L"abc").Mid(1, 1)));
}

TEST(XpStringOps, Replace)
{
    XpStringA s("banana");
    XpStringA keep(s);
    EXPECT_EQ(3, s.Replace('a', 'x'));
    EXPECT_STREQ("bxnxnx", s.GetBuffer());
    EXPECT_EQ(0, keep.Replace('a', 'a'));
    XpStringA shared(keep);
    EXPECT_EQ(0, keep.Replace('q', 'x'));
    EXPECT_EQ(shared.stringBuffer(), keep.stringBuffer());
    // The zero character is found at the terminator: the string detaches and nothing changes.
    EXPECT_EQ(0, keep.Replace('\0', 'x'));
    EXPECT_NE(shared.stringBuffer(), keep.stringBuffer());
    EXPECT_STREQ("banana", keep.GetBuffer());
    XpStringA empty;
    EXPECT_EQ(0, empty.Replace('\0', 'x'));
    EXPECT_EQ(XpStringA().stringBuffer(), empty.stringBuffer());

    // Texts: replaced text is not searched again; a null to counts as ""; a null or empty from
    // replaces nothing.
    const struct {
        const char *text, *from, *to;
        int count;
        const char* result;
    } cases[] = {{"aaa", "aa", "b", 1, "ba"},         {"abcabc", "bc", "xyz", 2, "axyzaxyz"},
                 {"abcabc", "bc", nullptr, 2, "aa"}, {"aXa", "a", "aa", 2, "aaXaa"},
                 {"abab", "ab", "ab", 2, "abab"},    {"hello", "xyz", "q", 0, "hello"},
                 {"hello", "", "q", 0, "hello"},     {"hello", nullptr, "q", 0, "hello"},
                 {"", "a", "b", 0, ""},              {"same", "same", "a longer one", 1, "a longer one"}};
    for (const auto& c : cases) {
        XpStringA t(c.text);
        const XpStringA sharer(t);
        EXPECT_EQ(c.count, t.Replace(c.from, c.to)) << c.text;
        EXPECT_EQ(c.result, bytes(t));
        EXPECT_EQ(c.text, bytes(sharer));
    }
    XpStringW wt(L"abcabc");
    EXPECT_EQ(2, wt.Replace(L"bc", L"xyz"));
    EXPECT_EQ(L"axyzaxyz", wide(wt));

    // One mebibyte with a match in every kibibyte, growing and back. (Kept sparse: the
    // sanitizers check the whole rest of the text on every search.)
    std::string big;
    for (int i = 0; i < 1024; ++i)
        big += repeat(100, '.') + "abc" + repeat(921, '.');
    XpStringA m(big.c_str());
    EXPECT_EQ(1024, m.Replace("abc", "ABCD"));
    EXPECT_EQ(static_cast<int>(big.size()) + 1024, m.Length());
    EXPECT_EQ(1024, m.Replace("ABCD", "abc"));
    EXPECT_EQ(big, bytes(m));
}

TEST(XpStringOps, Formatting)
{
    // Exactly 255, 256 and 600 characters, sizes around the 512-character steps and 1 MiB.
    for (int n : {0, 1, 255, 256, 511, 512, 600, 1023, 1024, 1025, 5000, 1 << 20}) {
        const std::string expected = repeat(n, 'r');
        XpStringA f("old");
        f.Format("<%s>", expected.c_str());
        ASSERT_EQ("<" + expected + ">", bytes(f));
        XpStringW w;
        w.Format(L"%s!", expected.c_str());
        ASSERT_EQ(n + 1, w.Length()) << n;
        ASSERT_EQ(L'!', w[n]);
    }

    XpStringA x("x");
    x.AppendFormat("%d", 5);
    EXPECT_STREQ("x5", x.GetBuffer());
    XpStringA shared(x);
    shared.AppendFormat("%s", repeat(700, 'a').c_str());
    EXPECT_STREQ("x5", x.GetBuffer());
    EXPECT_EQ("x5" + repeat(700, 'a'), bytes(shared));

    XpStringA v;
    formatVa(v, "%s %d %s", repeat(300, 'v').c_str(), 17, "end");
    EXPECT_EQ(repeat(300, 'v') + " 17 end|" + repeat(300, 'v'), bytes(v));

    // An error at every size (an invalid multibyte argument for the wide formatter) leaves the
    // text unchanged and appends nothing.
    XpStringW bad(L"unchanged");
    bad.Format(L"%s", "\xff\xfe");
    bad.AppendFormat(L"%s", "\xff\xfe");
    EXPECT_EQ(L"unchanged", wide(bad));
}

TEST(XpStringOps, ConcatenateAndCompare)
{
    XpStringA a("ab");
    XpStringA b("cd");
    EXPECT_STREQ("abcd", (a + b).GetBuffer());
    EXPECT_STREQ("abx", (a + "x").GetBuffer());
    EXPECT_STREQ("xab", ("x" + a).GetBuffer());
    EXPECT_STREQ("abab", (a + a).GetBuffer());
    EXPECT_STREQ("ab", a.GetBuffer());
    EXPECT_EQ(1, refs(a));
    a.Append(nullptr);
    a.Append("c").Append("d");
    EXPECT_STREQ("abcd", a.GetBuffer());
    XpStringW w(L"w");
    EXPECT_EQ(L"vwwv", wide(L"v" + (w + w) + L"v"));
    EXPECT_EQ(L"w", wide(w));

    EXPECT_EQ(0, XpStringA("abc").CompareNoCase("ABC"));
    EXPECT_NE(0, XpStringW(L"abc").CompareNoCase(L"ABC"));
    EXPECT_EQ(0, XpStringW(L"abc").CompareNoCase(L"abc"));
    // Compare and every operator in its three forms, for both types, against the sign of strcmp.
    const auto check = [](const auto& L, const auto& R, const auto* l, const auto* r, int c) {
        EXPECT_EQ(c, L.Compare(r) < 0 ? -1 : (L.Compare(r) > 0 ? 1 : 0));
        const bool expect[6] = {c == 0, c != 0, c < 0, c <= 0, c > 0, c >= 0};
        const bool got[3][6] = {{L == R, L != R, L < R, L <= R, L > R, L >= R},
                                {L == r, L != r, L < r, L <= r, L > r, L >= r},
                                {l == R, l != R, l < R, l <= R, l > R, l >= R}};
        for (int form = 0; form < 3; ++form)
            for (int k = 0; k < 6; ++k)
                EXPECT_EQ(expect[k], got[form][k]) << "form " << form << " op " << k;
    };
    const char* texts[] = {"", "B", "a", "ab", "abc", "abd", "\xC3\xA9"};
    for (const char* l : texts) {
        for (const char* r : texts) {
            SCOPED_TRACE(std::string(l) + " vs " + r);
            const int c = std::strcmp(l, r) < 0 ? -1 : (std::strcmp(l, r) > 0 ? 1 : 0);
            check(XpStringA(l), XpStringA(r), l, r, c);
            const std::wstring wl = widen(l), wr = widen(r);
            check(XpStringW(wl.c_str()), XpStringW(wr.c_str()), wl.c_str(), wr.c_str(), c);
        }
    }
}

TEST(XpStringEncoding, Utf8AndWide)
{
    // Sequences of every length round-trip; each form shares itself.
    const char* mixed = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
    const XpStringA a(mixed);
    const XpStringW w = a.GetUnicodeString();
    EXPECT_EQ((std::wstring{L'A', 0xE9, 0x20AC, 0x1F600, L'z'}), wide(w));
    EXPECT_EQ(mixed, bytes(w.GetAnsiString()));
    EXPECT_EQ(w.stringBuffer(), w.GetUnicodeString().stringBuffer());
    EXPECT_EQ(a.stringBuffer(), a.GetString().stringBuffer());
    EXPECT_EQ(a.stringBuffer(), a.GetAnsiString().stringBuffer());
    EXPECT_TRUE(XpStringA("").GetUnicodeString().IsEmpty());
    EXPECT_TRUE(XpStringW(L"").GetAnsiString().IsEmpty());

    // Invalid UTF-8 of every kind gives the empty wide string.
    for (const char* bad : {"\x80", "a\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                            "\xF8\x88\x80\x80\x80", "ok\xFF", "\xE2\x82"}) {
        EXPECT_TRUE(XpStringA(bad).GetUnicodeString().IsEmpty()) << bad;
    }

    // Units without a UTF-8 form other than surrogate pairs become U+FFFD.
    const wchar_t lone[] = {0xD800, L'b', 0xDC00, 0x110000, static_cast<wchar_t>(-2), 0};
    EXPECT_EQ("\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", bytes(XpStringW(lone).GetAnsiString()));

    // The conversions leave the thread's locale alone.
    locale_t before = uselocale(static_cast<locale_t>(0));
    XpStringA("\xC3\xA9").GetUnicodeString();
    EXPECT_EQ(before, uselocale(static_cast<locale_t>(0)));
}

TEST(XpStringEncoding, AssignFromOtherEncodings)
{
    // Single- and double-byte Windows code pages, the named ones and both UTF-16 byte orders (the
    // text ends at a zero unit); then unknown code pages and bytes that do not decode, giving "".
    const struct {
        int codePage;
        const char *source, *utf8;
    } cases[] = {
        {1252, "caf\xE9 \x80", "caf\xC3\xA9 \xE2\x82\xAC"}, {932, "\x82\xA0", "\xE3\x81\x82"},
        {936, "\xC4\xE3", "\xE4\xBD\xA0"}, {949, "\xB0\xA1", "\xEA\xB0\x80"}, {950, "\xA4\x40", "\xE4\xB8\x80"},
        {1251, "\xC0", "\xD0\x90"},        {1255, "\xE0", "\xD7\x90"},        {874, "\xA1", "\xE0\xB8\x81"},
        {437, "\x82", "\xC3\xA9"},         {65001, "\xC3\xA9", "\xC3\xA9"},   {28591, "\xE9", "\xC3\xA9"},
        {20127, "plain", "plain"},         {1252, "", ""},                    {1200, "A\0\xE9\0\0", "A\xC3\xA9"},
        {1201, "\0A\0\xE9\0", "A\xC3\xA9"}, {0, "abc", ""},                   {-1, "abc", ""},
        {12345, "abc", ""},                {99999, "abc", ""},                {65001, "\xFF", ""},
        {932, "a\x82", ""},                {20127, "\xE9", ""},
    };
    XpStringA s;
    for (const auto& c : cases) {
        s = "before";
        EXPECT_EQ(c.utf8, bytes(s.AssignMultiByteChar(c.codePage, c.source))) << c.codePage;
    }

    EXPECT_TRUE(s.AssignUTF8Char(nullptr).IsEmpty());
    EXPECT_EQ("\xFF raw", bytes(s.AssignUTF8Char("\xFF raw")));

    // A pair outside the Basic Multilingual Plane is kept, a lone surrogate replaced; units may
    // sit at an odd address.
    const char odd[] = "_\x42\0\0";
    const std::pair<const char*, const char*> units[] = {{"\x41\0\xE9\0\0", "A\xC3\xA9"},
                                                         {"\x3D\xD8\0\xDE\0", "\xF0\x9F\x98\x80"},
                                                         {"\x3D\xD8x\0\0", "\xEF\xBF\xBDx"}, {odd + 1, "B"}};
    for (const auto& u : units)
        EXPECT_EQ(u.second, bytes(s.AssignUTF16LEChar(u.first)));
    EXPECT_TRUE(s.AssignUTF16LEChar(nullptr).IsEmpty());
}

TEST(XpStringEncoding, PlatformStringAndComposition)
{
    XpPlatformString nil;
    EXPECT_TRUE(XpStringA(nil).IsEmpty());
    EXPECT_TRUE(XpStringW(nil).IsEmpty());
    XpStringA assigned("x");
    assigned = nil;
    EXPECT_TRUE(assigned.IsEmpty());

    XpPlatformString p = XpPlatformString::StringWithUTF8String("caf\xC3\xA9");
    EXPECT_STREQ("caf\xC3\xA9", XpStringA(p).GetBuffer());
    EXPECT_EQ(L"caf\xE9", wide(XpStringW(p)));
    XpStringW wideAssigned;
    wideAssigned = p;
    EXPECT_EQ(L"caf\xE9", wide(wideAssigned));
    XpPlatformString back = XpStringA("d\xC3\xA9j\xC3\xA0");
    EXPECT_STREQ("d\xC3\xA9j\xC3\xA0", back.UTF8String());
    EXPECT_TRUE(XpStringA("bad\xC0\xAF").ToPlatformString().IsNil());
    EXPECT_TRUE(XpPlatformString::StringWithUTF8String(nullptr).IsNil());
    EXPECT_FALSE(XpPlatformString::StringWithUTF8String("").IsNil());

    // No conversion from the platform string composes or decomposes; PrecomposeString composes
    // and gives "" for text that is not valid UTF-8.
    EXPECT_EQ("e\xCC\x81", bytes(XpStringA(XpPlatformString::StringWithUTF8String("e\xCC\x81"))));
    const std::pair<const char*, const char*> nfc[] = {
        {"e\xCC\x81", "\xC3\xA9"}, {"\xC3\x85\xCC\x81", "\xC7\xBA"}, {"plain", "plain"}, {"", ""}, {"e\xCC", ""},
        {"A\xCC\x8A\xCC\x81 A\xCC\xA3", "\xC7\xBA \xE1\xBA\xA0"}};
    for (const auto& c : nfc)
        EXPECT_EQ(c.second, bytes(XpStringA(c.first).PrecomposeString())) << c.first;
}

TEST(XpStringThreads, SharedBuffersAcrossThreads)
{
    // Many threads copy, release and detach strings that share buffers with each other and
    // with the main thread, and default-construct strings at once; each checks what it sees.
    const XpStringA seedA(repeat(300, 's').c_str());
    std::vector<XpStringA> handedOut(16, seedA);
    std::atomic<int> failures(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 16; ++t) {
        threads.emplace_back([&, t] {
            XpStringA mine(handedOut[static_cast<size_t>(t)]);
            for (int i = 0; i < 2000; ++i) {
                XpStringA copy(seedA);
                XpStringA second = copy;
                if (i % 7 == 0)
                    second += "x";
                if (copy.Length() != 300 || second[299] != 's' || second.Length() != (i % 7 == 0 ? 301 : 300))
                    ++failures;
                XpStringA empty;
                XpStringA empty2;
                XpStringW wideEmpty;
                if (empty.stringBuffer() != empty2.stringBuffer() || !empty.IsEmpty() || !wideEmpty.IsEmpty())
                    ++failures;
                empty += "x";
                wideEmpty.Format(L"%d", i);
                if (!empty2.IsEmpty() || mine.Left(i % 400).Length() != (i % 400 < 300 ? i % 400 : 300))
                    ++failures;
                copy.release();
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(17, refs(seedA)); // seedA and the 16 handed-out copies
    EXPECT_EQ(repeat(300, 's'), bytes(seedA));
}
