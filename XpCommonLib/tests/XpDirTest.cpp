// XpDir: filters and descendants, counts and sizes; a 1,000-entry tree with hostile entries
// against find(1) (as root and as nobody), and a folder removed while the walk runs. The size of
// each entry on a walk is compared with find's by XpfsFilesTest (xpfs walk); the dates are XpFile's.
#include <XpDir.h>
#include <XpFile.h>

#include "XpFileTestSupport.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <set>
#include <utility>

namespace {

using xptest::TempDir;
using xptest::S;
typedef XpAbstractDir D;
typedef std::set<std::pair<std::string, char>> Listing;   // relative name, 'd' or 'f'


// What one enumeration delivers (relative names and kinds); each full path starts with the folder.
Listing enumerate(const XpDir& dir, D::enumType type, const std::string& pattern = "")
{
    Listing out;
    std::string root = dir.GetIdentifier().GetBuffer() + std::string("/");
    if (dir.StartEnum(type, S(pattern)) != XPERR_OK)   // a folder nobody may read
        return out;
    for (XpSharedPtr<XpAbstractFSObj> e = dir.EnumNext(); e; e = dir.EnumNext()) {
        std::string full = e->GetIdentifier().GetBuffer();
        EXPECT_EQ(full.compare(0, root.size(), root), 0) << full;
        out.insert({full.substr(root.size()), e->IsDir() ? 'd' : 'f'});
    }
    EXPECT_EQ(dir.FinishEnum(), XPERR_OK);
    return out;
}

// Every entry below path: each delivered folder is enumerated in turn.
void walk(const std::string& path, const std::string& prefix, Listing& out)
{
    for (const auto& entry : enumerate(XpDir(S(path)), D::enumDirectories | D::enumFiles)) {
        out.insert({prefix + entry.first, entry.second});
        if (entry.second == 'd')
            walk(path + "/" + entry.first, prefix + entry.first + "/", out);
    }
}

TEST(XpDir, FiltersDescendantsAndCounts)
{
    TempDir tmp;
    ASSERT_TRUE(xptest::writeFile(tmp / "a.txt", "12345") && mkdir((tmp / "sub").c_str(), 0755) == 0 &&
                xptest::writeFile(tmp / "sub/b.txt", "123"));
    XpDir dir(S(tmp.path));
    const Listing both = {{"a.txt", 'f'}, {"sub", 'd'}}, files = {{"a.txt", 'f'}, {"sub/b.txt", 'f'}};
    const struct { D::enumType type; const char* pattern; Listing expected; } cases[] = {
        {D::enumDirectories | D::enumFiles, "", both}, {D::enumFiles, "", files},
        {D::enumFiles | D::enumNameEndsWith, ".txt", files}, {D::enumFiles | D::enumNameStartsWith, "b", {}},
        {D::enumNameEquals, "a.txt", {}},
        {D::enumFiles | D::enumNameEquals, "sub/b.txt", {{"sub/b.txt", 'f'}}},
        {D::enumDirectories, "", {{"sub", 'd'}}},
        {D::enumDirectories | D::enumNameEndsWith | D::enumNameStartsWith, "s", {{"sub", 'd'}}}};
    for (const auto& c : cases)
        EXPECT_EQ(enumerate(dir, c.type, c.pattern), c.expected) << c.type << " " << c.pattern;
    EXPECT_TRUE(dir.GetCountOfObjects(false) == 2 && dir.GetCountOfObjects(true) == 3 && dir.GetSize() == 8);

    XpSharedPtr<XpAbstractFSObj> kept;   // entries outlive the enumeration and the directory
    {
        XpDir scratch(S(tmp.path));
        ASSERT_EQ(scratch.StartEnum(D::enumFiles | D::enumNameEquals, S("a.txt")), XPERR_OK);
        kept = scratch.EnumNext();
    }
    EXPECT_TRUE(kept && kept->GetSize() == 5);
    // After SetIdentifier the walk goes on and names its entries under the new path.
    XpDir renamed(S(tmp.path));
    ASSERT_EQ(renamed.StartEnum(D::enumFiles, S("")), XPERR_OK);
    ASSERT_TRUE(renamed.EnumNext());
    EXPECT_EQ(renamed.SetIdentifier(S(tmp / "two")), XPERR_OK);
    XpSharedPtr<XpAbstractFSObj> second = renamed.EnumNext();
    ASSERT_TRUE(second);
    std::string name = second->GetIdentifier().GetBuffer();
    EXPECT_TRUE(name == tmp / "two/a.txt" || name == tmp / "two/sub/b.txt") << name;
    for (const std::string& bad : {tmp / "missing", tmp / "a.txt", std::string()}) {
        XpDir none(S(bad));
        EXPECT_TRUE(none.StartEnum(D::enumFiles, S("")) == XPERR_NO_MEMORY && !none.EnumNext() &&
                    none.FinishEnum() == XPERR_FILE_INVALID_PATH && none.GetSize() == -1 &&
                    none.GetCountOfObjects(true) == 0) << bad;
    }
}

TEST(XpDir, ThousandEntriesWithHostileNamesMatchFindAndARemovalDuringTheWalk)
{
    TempDir tmp;
    ASSERT_EQ(chmod(tmp.path.c_str(), 0755), 0);
    for (int i = 0; i < 10; ++i)   // 10 + 10 * (9 + 9 * 10) = 1000 entries
        for (int j = 0; j < 9; ++j) {
            std::string d = tmp / ("d" + std::to_string(i)), sub = d + "/s" + std::to_string(j);
            std::filesystem::create_directories(sub);
            ASSERT_TRUE(xptest::writeFile(d + "/f" + std::to_string(j), std::string(j, 'x')));
            for (int k = 0; k < 9; ++k)
                ASSERT_TRUE(xptest::writeFile(sub + "/.h" + std::to_string(k), "y"));
        }
    // Links that would loop or leave the tree, odd names, a FIFO, a folder only root may read.
    for (const auto& l : {std::make_pair(".", "d0/loop"), {"..", "d0/s0/up"}, {"/", "root"},
                          {"nowhere", "dangling"}, {"d1", "toDir"}})
        ASSERT_EQ(symlink(l.first, (tmp / l.second).c_str()), 0);
    ASSERT_TRUE(xptest::writeFile(tmp / "new\nline", "n") && xptest::writeFile(tmp / "bad\xFF\xC0name", ""));
    ASSERT_EQ(mkdir((tmp / "bad\xE2\x82").c_str(), 0755) | mkfifo((tmp / "fifo").c_str(), 0644) |
              mkdir((tmp / "locked").c_str(), 0700), 0);
    ASSERT_TRUE(xptest::writeFile(tmp / "bad\xE2\x82/inner", "i") &&
                xptest::writeFile(tmp / "locked/secret", "s"));

    Listing files;   // the files find lists, for root
    auto matchFind = [&](size_t expectedCount) {
        Listing found, walked;
        std::string text = xptest::runProgram({"find", tmp.path, "-mindepth", "1", "-printf", "%P\\0%y\\0"});
        for (size_t at = 0, end; (end = text.find('\0', at)) != std::string::npos && end + 1 < text.size();
             at = end + 3)
            found.insert({text.substr(at, end - at), text[end + 1] == 'd' ? 'd' : 'f'});
        files.clear();
        std::copy_if(found.begin(), found.end(), std::inserter(files, files.end()), [](auto& e) { return e.second == 'f'; });
        walk(tmp.path, "", walked);
        EXPECT_EQ(found.size(), expectedCount);
        EXPECT_THAT(walked, testing::ContainerEq(found));   // names the differences
        EXPECT_THAT(enumerate(XpDir(S(tmp.path)), D::enumFiles), testing::ContainerEq(files));
        EXPECT_EQ(XpDir(S(tmp.path)).GetCountOfObjects(true), static_cast<int64_t>(found.size()));
    };
    xptest::checkAsNobody([&] { matchFind(1000 + 5 + 2 + 2 + 1 + 1); });
    matchFind(1000 + 5 + 2 + 2 + 1 + 2);

    // A folder the walk has not entered yet is removed after the first file: none of its files
    // comes, and every other file comes once.
    XpDir dir(S(tmp.path));
    ASSERT_EQ(dir.StartEnum(D::enumFiles, S("")), XPERR_OK);
    bool removed = false;
    for (XpSharedPtr<XpAbstractFSObj> e = dir.EnumNext(); e; e = dir.EnumNext()) {
        std::string rel = std::string(e->GetIdentifier().GetBuffer()).substr(tmp.path.size() + 1);
        EXPECT_EQ(files.erase({rel, 'f'}), 1u) << rel;
        if (!removed) {
            removed = true;
            std::string gone = rel.compare(0, 3, "d0/") == 0 ? "d1" : "d0";
            std::filesystem::remove_all(tmp / gone);
            for (auto it = files.begin(); it != files.end();)
                it = it->first.compare(0, 3, gone + "/") == 0 ? files.erase(it) : std::next(it);
        }
    }
    EXPECT_TRUE(files.empty()) << files.size() << " files not delivered";
    EXPECT_EQ(dir.FinishEnum(), XPERR_OK);
}

} // namespace
