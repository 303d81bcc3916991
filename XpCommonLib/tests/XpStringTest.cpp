#include <XpString.h>

#include <gtest/gtest.h>

TEST(XpStringCore, DefaultCopyAndAppend)
{
    XpStringA a;
    XpStringA b;
    EXPECT_EQ(0, a.Length());
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_EQ(a.GetBuffer(), b.GetBuffer());
    a += "abc";
    EXPECT_STREQ("abc", a.GetBuffer());
    EXPECT_TRUE(b.IsEmpty());
    XpStringA c(a);
    EXPECT_EQ(a.GetBuffer(), c.GetBuffer());
    c += "d";
    EXPECT_STREQ("abc", a.GetBuffer());
    EXPECT_STREQ("abcd", c.GetBuffer());
}

TEST(XpStringEncoding, Utf8WideRoundTrip)
{
    XpStringA a("\xC3\xA9");
    XpStringW w = a.GetUnicodeString();
    ASSERT_EQ(1, w.Length());
    EXPECT_EQ(0xE9, static_cast<int>(w[0]));
    EXPECT_STREQ("\xC3\xA9", w.GetAnsiString().GetBuffer());
}
