// xpfs walk and cat-int: names, sizes and kinds as find(1) reports them, integers in both byte
// orders, and the exit statuses; the tool and find run as real processes (argv, no shell). info's
// kinds and sizes are XpfsNames', the failures of walk and touch rows of XpfsOptions' table.
#include "XpFileTestSupport.h"

#include <set>
#include <sstream>

namespace {

typedef std::multiset<std::string> Lines;
int status;   // exit status of the last run

// Standard output of a program, as a sorted set of lines.
Lines run(const std::vector<std::string>& args)
{
    xptest::Ran ran = xptest::spawn(args);
    status = ran.status;
    Lines lines;
    std::istringstream in(ran.out);
    for (std::string line; std::getline(in, line);)
        lines.insert(line);
    return lines;
}

TEST(Xpfs, FileCommandsAgreeWithFind)
{
    xptest::TempDir t;
    const std::string root = t.path, x = XPFS_PROGRAM;
    for (int i = 0; i < 4; ++i) {
        std::string dir = t / ("d" + std::to_string(i));
        std::filesystem::create_directories(dir + "/inner");
        ASSERT_TRUE(xptest::writeFile(dir + "/inner/f", std::string(i * 100, 'x')) &&
                    xptest::writeFile(dir + "/.g", "\x01\x02\x03\x04"));
    }
    // Files as find's "%P %s %y"; a folder's size is the sum of the files below it.
    Lines found = run({"find", root, "-mindepth", "1", "-type", "f", "-printf", "%P %s %y\\n"});
    EXPECT_EQ(run({x, "walk", "-R", "--files", root}), found);
    EXPECT_EQ(run({x, "walk", "--dirs", "--name", "in*", "-R", root}),
              (Lines{"d0/inner 0 d", "d1/inner 100 d", "d2/inner 200 d", "d3/inner 300 d"}));
    EXPECT_EQ(run({x, "walk", root}), (Lines{"d0 4 d", "d1 104 d", "d2 204 d", "d3 304 d"}));
    // In the order of the walk, each folder's line comes ahead of everything below it.
    const std::string listing = xptest::spawn({x, "walk", "-R", root}).out;
    for (int i = 0; i < 4; ++i) {
        const std::string d = "d" + std::to_string(i), size = std::to_string(i * 100);
        const size_t folder = listing.find(d + " " + std::to_string(i * 100 + 4) + " d\n"),
                     inner = listing.find(d + "/inner " + size + " d\n"),
                     file = listing.find(d + "/inner/f " + size + " f\n");
        EXPECT_TRUE(folder < inner && inner < file && file != std::string::npos) << listing;
    }
    EXPECT_EQ(run({x, "cat-int", "--order", "big", "--width", "16", root + "/d0/.g"}), (Lines{"258", "772"}));
    EXPECT_EQ(run({x, "cat-int", "--order", "little", "--width", "32", root + "/d0/.g"}), Lines{"67305985"});
    // Four bytes hold no 64-bit integer: nothing is printed and the command fails.
    EXPECT_TRUE(run({x, "cat-int", "--order", "big", "--width", "64", root + "/d0/.g"}).empty() && status == 1);
    EXPECT_TRUE(run({x, "walk", "--files", "--dirs", root}).empty() && status == 2);   // a usage error
}

} // namespace
