// xpfs path: results on stdout one per line, failures on stderr in the tool's format, and the
// exit statuses; the tool runs as a real process. (Each command's --help is run by the man page
// check.)
#include "XpFileTestSupport.h"

namespace {

using xptest::xpfs;

TEST(Xpfs, PathCommands)
{
    setenv("HOME", "/home/someone", 1);   // for the special folders
    const struct { std::vector<std::string> args; int status; std::string out, err; } rows[] = {
        {{"path", "split", "/a/b.txt", "b.tar.gz", "/"}, 0, "/a/\tb\t.txt\n\tb.tar\t.gz\n/\t\t\n", ""},
        {{"path", "rel", "/a/b", "/A/"}, 0, "child\n", ""}, {{"path", "compare", "file2", "File10"}, 0, "-1\n", ""},
        {{"path", "special", "music", "4"}, 0, "/home/someone/Music\n/home/someone\n", ""},
        {{"path", "root", "/", "/mnt/xpfs-gone/a"}, 1, "/\n",
         "xpfs: cannot find the volume of '/mnt/xpfs-gone/a': the volume is not available\n"},
        {{"path", "rel", "/a"}, 2, "", "xpfs: missing operand\nTry 'xpfs path rel --help' for more information.\n"},
        {{"path", "special", "attic"}, 2, "",
         "xpfs: unknown folder 'attic'\nTry 'xpfs path special --help' for more information.\n"},
        {{"path", "nothing"}, 2, "", "xpfs: path: unknown command 'nothing'\nTry 'xpfs path --help' for more information.\n"},
        {{"nothing"}, 2, "", "xpfs: unknown command 'nothing'\nTry 'xpfs --help' for more information.\n"}};
    for (const auto& r : rows) {
        xptest::Ran got = xpfs(r.args);
        EXPECT_EQ(got.status, r.status) << r.args.back();
        EXPECT_EQ(got.out, r.out) << r.args.back();
        EXPECT_EQ(got.err, r.err) << r.args.back();
    }
    EXPECT_EQ(xpfs({}).status, 2);
}

} // namespace
