// File-manager requests: the checks before one is handed over, an agent plugged in, and the
// built-in agent copying and moving for real.
#include <AskFinder.h>

#include "XpFileTestSupport.h"

#include <stdexcept>

namespace {

FSRef makeRef(const std::string& path)
{
    FSRef r;
    EXPECT_EQ(FSPathMakeRef(path.c_str(), &r), 0) << path;
    return r;
}

struct Recording : IXpFileManagerAgent {
    int calls = 0, answer = 1;   // answer 2: throw
    XpFileManagerRequest last;
    bool Perform(const XpFileManagerRequest& r) override
    {
        return ++calls, last = r, answer == 2 ? throw std::runtime_error("agent failure") : answer == 1;
    }
};

TEST(AskFinder, RequestsAreCheckedThenHandedToTheAgentAndTheBuiltInOneCopiesAndMovesWholeItems)
{
    xptest::TempDir t;
    ASSERT_TRUE(xptest::writeFile(t / "a", "a") && xptest::writeFile(t / "b", "b") && mkdir((t / "d").c_str(), 0755) == 0);
    FSRef a = makeRef(t / "a"), b = makeRef(t / "b"), d = makeRef(t / "d");
    Recording agent;
    AskFinder::SetAgent(&agent);
    EXPECT_TRUE(AskFinder::MoveItem({b, a}, d, true));
    EXPECT_EQ(agent.last.operation, XpFileManagerRequest::opMove);
    EXPECT_STREQ(AskFinder::LastFailureMessage(), "");
    ASSERT_EQ(unlink((t / "b").c_str()), 0);
    const struct { std::list<FSRef> items; FSRef destination; int answer; const char* message; } refused[] = {
        // The destination is checked before the items; b is gone, so nothing is handed over.
        {{a}, a, 1, "DstItem is not directory"}, {{a, b}, d, 1, "fail: srcDesc create"},
        {{a}, d, 0, "fail: AppleEvent send"}, {{a}, d, 2, "fail: AppleEvent send"}};
    for (const auto& r : refused) {
        int before = agent.calls;
        agent.answer = r.answer;
        EXPECT_FALSE(AskFinder::DuplicateItem(r.items, r.destination, false));
        EXPECT_STREQ(AskFinder::LastFailureMessage(), r.message);
        EXPECT_EQ(agent.calls, before + (r.answer != 1)) << r.message;   // handed over or not
    }
    EXPECT_EQ(AskFinder::SetAgent(nullptr), &agent);   // null: the built-in agent, which the rest uses

    // The built-in agent copies and moves whole items, never over their source. What a tree copy
    // keeps of each entry (links, set-ID bits) is XpTreeCopyTest's; here the owner shows which
    // copy the agent asked for.
    for (const char* folder : {"src", "src/tree", "src/tree/sub", "dst", "dst/tree", "vol"})
        ASSERT_EQ(mkdir((t / folder).c_str(), 0755), 0);
    ASSERT_TRUE(xptest::writeFile(t / "src/f", "new") && xptest::writeFile(t / "dst/f", "old") &&
                xptest::writeFile(t / "src/tree/sub/g", "g") && xptest::writeFile(t / "dst/tree/stale", ""));
    ASSERT_EQ(mkfifo((t / "src/fifo").c_str(), 0644) | chown((t / "src/tree/sub/g").c_str(), xptest::nobodyUid(), 0), 0);
    FSRef f = makeRef(t / "src/f"), tree = makeRef(t / "src/tree"), dst = makeRef(t / "dst"), fifo = makeRef(t / "src/fifo");
    EXPECT_FALSE(AskFinder::DuplicateItem({f}, dst, false));   // the name is taken
    EXPECT_EQ(xptest::readFile(t / "dst/f"), "old");
    EXPECT_TRUE(AskFinder::DuplicateItem({f, tree}, dst, true));
    EXPECT_EQ(xptest::readFile(t / "dst/f"), "new");
    EXPECT_EQ(xptest::lstatOf(t / "dst/tree/sub/g").st_uid, xptest::nobodyUid());
    EXPECT_NE(access((t / "dst/tree/stale").c_str(), F_OK), 0);   // the old folder was replaced
    EXPECT_FALSE(AskFinder::DuplicateItem({fifo}, dst, true));  // refused, never opened
    EXPECT_TRUE(AskFinder::DuplicateItem({tree}, tree, false)); // into itself: one level, no more
    EXPECT_EQ(xptest::readFile(t / "src/tree/tree/sub/g"), "g");
    EXPECT_NE(access((t / "src/tree/tree/tree").c_str(), F_OK), 0);
    xptest::checkInMountNamespace([&] {
        ASSERT_EQ(mount("tmpfs", (t / "vol").c_str(), "tmpfs", 0, "size=1m"), 0);
        EXPECT_TRUE(AskFinder::MoveItem({tree}, makeRef(t / "vol"), false));
        EXPECT_EQ(xptest::readFile(t / "vol/tree/sub/g"), "g");
        EXPECT_NE(access((t / "src/tree").c_str(), F_OK), 0);
    });

    // Never a copy in place of its own item.
    xptest::TempDir u;
    struct stat before, after;
    ASSERT_TRUE(mkdir((u / "b").c_str(), 0755) == 0 && xptest::writeFile(u / "a", "a") &&
                xptest::writeFile(u / "b/b", "inner") && lstat((u / "a").c_str(), &before) == 0);
    // The item into its own folder, replacing: it would be replaced by its own copy.
    EXPECT_FALSE(AskFinder::DuplicateItem({makeRef(u / "a")}, makeRef(u.path), true));
    EXPECT_TRUE(lstat((u / "a").c_str(), &after) == 0 && after.st_ino == before.st_ino);
    // b/b into u: replacing u/b would remove the folder that holds the item.
    EXPECT_FALSE(AskFinder::DuplicateItem({makeRef(u / "b/b")}, makeRef(u.path), true));
    EXPECT_EQ(xptest::readFile(u / "b/b"), "inner");
    EXPECT_EQ(xptest::runProgram({"ls", "-A", u.path}), "a\nb\n");   // no temporary left
    // A move onto itself is the rename that changes nothing.
    EXPECT_TRUE(AskFinder::MoveItem({makeRef(u / "a")}, makeRef(u.path), true));
    EXPECT_EQ(xptest::readFile(u / "a"), "a");
}

} // namespace
