// XpDir: filters and descendants, a 1,000-entry tree with hostile entries against find(1) (as
// root and as nobody), entries removed during the walk, counts, sizes and dates.
#include <XpDir.h>
#include <XpFile.h>

#include "XpFileTestSupport.h"

#include <sys/stat.h>

#include <set>
#include <utility>

namespace {

using xptest::TempDir;
typedef XpAbstractDir D;
typedef std::set<std::pair<std::string, char>> Listing;   // relative name, 'd' or 'f'

XpStringT<char> S(const std::string& s) { return XpStringT<char>(s.c_str()); }

// What one enumeration delivers, as relative names and kinds; checks the full paths too.
Listing enumerate(const XpDir& dir, D::enumType type, const std::string& pattern = "")
{
    Listing out;
    std::string root = dir.GetIdentifier().GetBuffer() + std::string("/");
    if (dir.StartEnum(type, S(pattern)) != XPERR_OK)   // a folder nobody may read
        return out;
    for (XpSharedPtr<XpAbstractFSObj> e = dir.EnumNext(); e; e = dir.EnumNext()) {
        std::string full = e->GetIdentifier().GetBuffer();
        EXPECT_EQ(full.compare(0, root.size(), root), 0) << full;
        EXPECT_EQ(e->IsDir(), dynamic_cast<XpDir*>(e.Get()) != nullptr);
        out.insert({full.substr(root.size()), e->IsDir() ? 'd' : 'f'});
    }
    EXPECT_EQ(dir.FinishEnum(), XPERR_OK);
    return out;
}

// Every entry below path: the delivered folders are enumerated in turn.
void walk(const std::string& path, const std::string& prefix, Listing& out)
{
    for (const auto& entry : enumerate(XpDir(S(path)), D::enumDirectories | D::enumFiles)) {
        out.insert({prefix + entry.first, entry.second});
        if (entry.second == 'd')
            walk(path + "/" + entry.first, prefix + entry.first + "/", out);
    }
}

// find's answer, read NUL-separated so that names with newlines survive.
Listing findListing(const std::string& path)
{
    Listing out;
    std::string text = xptest::runProgram({"find", path, "-mindepth", "1", "-printf", "%P\\0%y\\0"});
    for (size_t at = 0, end; (end = text.find('\0', at)) != std::string::npos && end + 1 < text.size();
         at = end + 3)
        out.insert({text.substr(at, end - at), text[end + 1] == 'd' ? 'd' : 'f'});
    return out;
}

TEST(XpDir, FiltersAndDescendants)
{
    TempDir tmp;
    ASSERT_TRUE(xptest::writeFile(tmp / "a.txt", "12345") && mkdir((tmp / "sub").c_str(), 0755) == 0 &&
                xptest::writeFile(tmp / "sub/b.txt", "123"));
    XpDir dir(S(tmp.path));
    const struct { D::enumType type; const char* pattern; Listing expected; } cases[] = {
        {D::enumDirectories | D::enumFiles, "", {{"a.txt", 'f'}, {"sub", 'd'}}},
        {D::enumFiles, "", {{"a.txt", 'f'}, {"sub/b.txt", 'f'}}},
        {D::enumFiles | D::enumNameEndsWith, ".txt", {{"a.txt", 'f'}, {"sub/b.txt", 'f'}}},
        {D::enumFiles | D::enumNameStartsWith, "b", {}},
        {D::enumFiles | D::enumNameStartsWith, "", {{"a.txt", 'f'}, {"sub/b.txt", 'f'}}},
        {D::enumFiles | D::enumNameEquals, "sub/b.txt", {{"sub/b.txt", 'f'}}},
        {D::enumNameEquals, "a.txt", {}},
        {D::enumDirectories, "", {{"sub", 'd'}}},
        {D::enumDirectories | D::enumNameEndsWith | D::enumNameStartsWith, "s", {{"sub", 'd'}}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(enumerate(dir, c.type, c.pattern), c.expected) << c.type << " " << c.pattern;
    EXPECT_EQ(dir.GetCountOfObjects(false), 2);
    EXPECT_EQ(dir.GetCountOfObjects(true), 3);
    EXPECT_EQ(dir.GetSize(), 8);
    EXPECT_EQ(dir.GetVisibleName(), "XpFileTest");   // XpFileTest.XXXXXX without its "extension"

    // Entries outlive the enumeration and the directory; a new start ends a running one.
    XpSharedPtr<XpAbstractFSObj> kept;
    {
        XpDir scratch(S(tmp.path));
        ASSERT_EQ(scratch.StartEnum(D::enumFiles | D::enumNameEquals, S("a.txt")), XPERR_OK);
        kept = scratch.EnumNext();
        ASSERT_EQ(scratch.StartEnum(D::enumFiles, S("")), XPERR_OK);
        scratch.SetPath(S(tmp / "sub"));   // ends it too
        EXPECT_FALSE(scratch.EnumNext());
        EXPECT_EQ(scratch.FinishEnum(), XPERR_FILE_INVALID_PATH);
    }
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->GetSize(), 5);

    for (const std::string& bad : {tmp / "missing", tmp / "a.txt", std::string()}) {
        XpDir none(S(bad));
        EXPECT_EQ(none.StartEnum(D::enumFiles, S("")), XPERR_NO_MEMORY) << bad;
        EXPECT_FALSE(none.EnumNext());
        EXPECT_EQ(none.FinishEnum(), XPERR_FILE_INVALID_PATH);
        EXPECT_EQ(none.GetSize(), -1);
        EXPECT_EQ(none.GetCountOfObjects(true), 0);
    }
}

TEST(XpDir, ThousandEntriesWithHostileNamesMatchFind)
{
    TempDir tmp;
    ASSERT_EQ(chmod(tmp.path.c_str(), 0755), 0);
    for (int i = 0; i < 10; ++i) {
        std::string top = tmp / ("d" + std::to_string(i));
        ASSERT_EQ(mkdir(top.c_str(), 0755), 0);
        for (int j = 0; j < 9; ++j) {
            ASSERT_TRUE(xptest::writeFile(top + "/f" + std::to_string(j), std::string(j, 'x')));
            std::string sub = top + "/s" + std::to_string(j);
            ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
            for (int k = 0; k < 9; ++k)
                ASSERT_TRUE(xptest::writeFile(sub + "/.h" + std::to_string(k), "y"));
        }
    }
    // Links that would loop or leave the tree, odd names, a FIFO, a folder only root may read.
    const std::pair<const char*, const char*> links[] = {
        {".", "d0/loop"}, {"..", "d0/s0/up"}, {"/", "root"}, {"nowhere", "dangling"}, {"d1", "toDir"}};
    for (const auto& l : links)
        ASSERT_EQ(symlink(l.first, (tmp / l.second).c_str()), 0);
    ASSERT_TRUE(xptest::writeFile(tmp / "new\nline", "n") && xptest::writeFile(tmp / "bad\xFF\xC0name", ""));
    ASSERT_EQ(mkdir((tmp / "bad\xE2\x82").c_str(), 0755), 0);
    ASSERT_TRUE(xptest::writeFile(tmp / "bad\xE2\x82/inner", "i"));
    ASSERT_EQ(mkfifo((tmp / "fifo").c_str(), 0644), 0);
    ASSERT_EQ(mkdir((tmp / "locked").c_str(), 0700), 0);
    ASSERT_TRUE(xptest::writeFile(tmp / "locked/secret", "s"));

    auto check = [&](size_t expectedCount) {
        Listing found = findListing(tmp.path), walked, files, filesOnly;
        walk(tmp.path, "", walked);
        for (const auto& e : found)
            if (e.second == 'f')
                files.insert(e);
        filesOnly = enumerate(XpDir(S(tmp.path)), D::enumFiles);
        XpDir dir(S(tmp.path));
        std::string problems;
        if (found.size() != expectedCount)
            problems += "find listed " + std::to_string(found.size()) + "; ";
        for (const auto& e : walked)
            if (!found.count(e))
                problems += "not in find: " + e.first + "; ";
        for (const auto& e : found)
            if (!walked.count(e))
                problems += "not walked: " + e.first + "; ";
        if (filesOnly != files)
            problems += "files differ; ";
        if (dir.GetCountOfObjects(true) != static_cast<int64_t>(found.size()))
            problems += "count differs; ";
        return problems;
    };
    // 10 + 10 * 9 * 11 folders and files, 5 links, 2 odd files, odd folder + inner, FIFO, locked.
    EXPECT_EQ(check(1000 + 5 + 2 + 2 + 1 + 2), "");
    EXPECT_EQ(xptest::asNobody([&] { return check(1000 + 5 + 2 + 2 + 1 + 1).empty() ? 0 : 1; }), 0);
}

TEST(XpDir, EntriesRemovedDuringTheWalk)
{
    TempDir tmp;
    Listing all;
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(mkdir((tmp / ("d" + std::to_string(i))).c_str(), 0755), 0);
        for (int j = 0; j < 10; ++j) {
            std::string rel = "d" + std::to_string(i) + "/f" + std::to_string(j);
            ASSERT_TRUE(xptest::writeFile(tmp / rel, ""));
            all.insert({rel, 'f'});
        }
    }
    XpDir dir(S(tmp.path));
    ASSERT_EQ(dir.StartEnum(D::enumFiles, S("")), XPERR_OK);
    XpSharedPtr<XpAbstractFSObj> first = dir.EnumNext();
    ASSERT_TRUE(first);
    // Remove a folder that the walk has not entered yet: it is skipped, the rest is delivered.
    std::string firstFolder = first->GetIdentifier().GetBuffer();
    firstFolder = firstFolder.substr(tmp.path.size() + 1, 2);
    std::string gone = firstFolder == "d0" ? "d1" : "d0";
    for (int j = 0; j < 10; ++j) {
        ASSERT_EQ(unlink((tmp / (gone + "/f" + std::to_string(j))).c_str()), 0);
        all.erase({gone + "/f" + std::to_string(j), 'f'});
    }
    ASSERT_EQ(rmdir((tmp / gone).c_str()), 0);
    size_t delivered = 1;
    std::string rootPrefix = tmp.path + "/";
    all.erase({std::string(first->GetIdentifier().GetBuffer()).substr(rootPrefix.size()), 'f'});
    for (XpSharedPtr<XpAbstractFSObj> e = dir.EnumNext(); e; e = dir.EnumNext(), ++delivered)
        EXPECT_EQ(all.erase({std::string(e->GetIdentifier().GetBuffer()).substr(rootPrefix.size()), 'f'}), 1u);
    EXPECT_TRUE(all.empty());
    EXPECT_EQ(delivered, 90u);
    EXPECT_EQ(dir.FinishEnum(), XPERR_OK);
}

TEST(XpDir, Dates)
{
    TempDir tmp;
    XpDir dir(S(tmp.path));
    XpDateTime modified(2005, 5, 6, 7, 8, 9), c, m, a;
    EXPECT_EQ(dir.SetDateTime(nullptr, &modified, &modified), XPERR_OK);
    EXPECT_EQ(dir.GetDateTime(&c, &m, &a), XPERR_OK);
    EXPECT_EQ(m, modified);
    EXPECT_EQ(a, modified);
    std::string w = xptest::runProgram({"stat", "-c", "%W", tmp.path});
    EXPECT_EQ(c, XpDateTime(std::stol(w)));
    EXPECT_EQ(XpDir(S(tmp / "missing")).GetDateTime(&c, nullptr, nullptr), XPERR_PATH_UNRESOLVED);
    ASSERT_EQ(mkdir((tmp / "bad\xFF").c_str(), 0755), 0);
    EXPECT_EQ(XpDir(S(tmp / "bad\xFF")).GetDateTime(&c, nullptr, nullptr), XPERR_NO_MEMORY);
    EXPECT_FALSE(XpDir(S(tmp / "missing")).GetLastAccessDateTime().IsValid());
    EXPECT_TRUE(XpDir(S(tmp / ".hidden/")).IsHidden());
    EXPECT_TRUE(dir.IsDir() && !dir.IsFile());
}

} // namespace
