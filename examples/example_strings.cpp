// Strings: UTF-8 and wide forms, copy-on-write, search and replace, formatting, code pages.
#include <XpCommonLib/XpCommonLib.h>
#include <XpCommonLib/XpString.h>

#include <cstdio>

int main()
{
    XpCommonLibInit();
    XpStringA greeting("Gr\xC3\xBC\xC3\x9F" "e");   // "Grüße" in UTF-8
    XpStringW wide = greeting.GetUnicodeString();
    std::printf("\"%s\": %d bytes, %d characters\n", greeting.GetBuffer(), greeting.Length(), wide.Length());
    std::printf("back from the wide form: %s\n", wide.GetAnsiString() == greeting ? "same text" : "DIFFERENT");

    // A copy shares the buffer until one side writes; the other side keeps its text.
    XpStringA copy(greeting);
    std::printf("copy shares the buffer: %s\n", copy.GetBuffer() == greeting.GetBuffer() ? "yes" : "no");
    copy += " aus Wien";
    std::printf("after appending: copy \"%s\", original \"%s\"\n", copy.GetBuffer(), greeting.GetBuffer());

    XpStringA path("photos/2009/march/beach.jpg");
    std::printf("Find(\"2009\") = %d, ReverseFind('/') = %d, Mid(7, 4) = %s\n", path.Find("2009"),
                path.ReverseFind('/'), path.Mid(7, 4).GetBuffer());
    int replaced = path.Replace("/", " > ");
    std::printf("Replace made %d changes: %s\n", replaced, path.GetBuffer());

    XpStringA line;
    line.Format("%s has %d items (%.1f%% done)", "queue", 12, 37.5);
    std::printf("%s\n", line.GetBuffer());
    std::printf("CompareNoCase(\"QUEUE\") on \"queue\" = %d\n", XpStringA("queue").CompareNoCase("QUEUE"));

    // Windows-1252 text from an old file, turned into UTF-8.
    XpStringA decoded;
    decoded.AssignMultiByteChar(1252, "caf\xE9 \x80" "5");
    std::printf("code page 1252 \"caf\\xE9 \\x80" "5\" reads as \"%s\"\n", decoded.GetBuffer());
    return 0;
}
