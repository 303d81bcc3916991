// Paths: joining, splitting, relationships, natural order and the colon-separated display form.
#include <XpCommonLib/XpCommonLib.h>
#include <XpCommonLib/XpPathUtil.h>

#include <cstdio>

typedef XpStringT<char> Str;

int main()
{
    XpCommonLibInit();
    Str folder("/home/me/photos/");
    Str file = XpPathUtil::Concatenate(folder, "2009/beach.tar.gz");
    std::printf("joined: %s\n", file.GetBuffer());

    Str dir, name, ext;
    XpPathUtil::SplitPath(file, &dir, &name, &ext);
    std::printf("split: dir \"%s\", name \"%s\", extension \"%s\"\n", dir.GetBuffer(), name.GetBuffer(),
                ext.GetBuffer());
    std::printf("with .zip: %s\n", XpPathUtil::ConvertExt(file, "zip").GetBuffer());

    static const char* relation[] = {"child", "parent", "same", "unrelated"};
    std::printf("file in folder: %s; folder and \"/home/me/photos\": %s; folder and /tmp: %s\n",
                relation[XpPathUtil::CheckPathRelationship(file, folder)],
                relation[XpPathUtil::CheckPathRelationship(folder, "/home/me/photos")],
                relation[XpPathUtil::CheckPathRelationship(folder, "/tmp")]);

    // Natural order: numbers inside names compare by value.
    std::printf("\"img2.jpg\" vs \"img10.jpg\": %d (plain strcmp order would say %d)\n",
                XpPathUtil::CompareLogical("img2.jpg", "img10.jpg"), Str("img2.jpg").Compare("img10.jpg") < 0 ? -1 : 1);

    // Names show '/' as ':' and the other way round; a display path names a volume first.
    std::printf("display name of \"a/b:c\": %s\n", XpPathUtil::ConvertSystemNameToDisplayName("a/b:c").GetBuffer());
    std::printf("display path \"/:usr:share\" is %s\n",
                XpPathUtil::ConvertDisplayPathToSystemPath("/:usr:share").GetBuffer());
    std::printf("/usr/share is shown as %s\n", XpPathUtil::ConvertSystemPathToDisplayPath("/usr/share").GetBuffer());
    std::printf("folder name from \"  ..My Photos.. \": \"%s\"\n",
                XpPathUtil::TrimStringForFolderName("  ..My Photos.. ").GetBuffer());
    return 0;
}
