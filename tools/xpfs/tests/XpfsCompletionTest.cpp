// The bash completion of xpfs, run by bash itself (/bin/bash --norc with an argv, no shell
// between): the file is sourced, COMP_WORDS and COMP_CWORD set as bash sets them, the function
// called, and COMPREPLY read back.
#include "XpFileTestSupport.h"

namespace {

// COMPREPLY, one entry per line, for the command line words with the cursor in word cword, bash
// running in folder dir.
std::string complete(int cword, std::vector<std::string> words, const std::string& dir = ".")
{
    std::vector<std::string> args{"env", "-C", dir, "/bin/bash", "--norc", "-c",
                                  "source \"$1\"; shift; COMP_CWORD=$1; shift; COMP_WORDS=(\"$@\"); _xpfs; "
                                  "printf '%s\\n' \"${COMPREPLY[@]}\"",
                                  "bash", XPFS_COMPLETION, std::to_string(cword), XPFS_PROGRAM};
    args.insert(args.end(), words.begin(), words.end());
    return xptest::spawn(args).out;
}

TEST(XpfsCompletion, CompletesCommandsSubcommandsAndOptions)
{
    const struct { int cword; std::vector<std::string> words; std::string reply; } rows[] = {
        {1, {"l"}, "ls\n"},
        {2, {"path", "di"}, "display\n"},
        {2, {"ls", "--al"}, "--all\n--almost-all\n"},
        {2, {"cat-int", "--"}, "--debug\n--help\n--order\n--version\n--width\n"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(complete(r.cword, r.words), r.reply) << r.words.back();
}

// Operands complete as paths, of a group's command too; after "--" a word starting with '-' is a
// file name, before it an option.
TEST(XpfsCompletion, CompletesPathsAlsoAfterDoubleDash)
{
    xptest::TempDir t;
    ASSERT_TRUE(xptest::writeFile(t / "-dash", "") && xptest::writeFile(t / "other", ""));
    EXPECT_EQ(complete(3, {"path", "display", t / "o"}), t / "other\n");
    EXPECT_EQ(complete(3, {"ls", "--", "-d"}, t.path), "-dash\n");
    EXPECT_EQ(complete(2, {"ls", "-d"}, t.path), "-d\n");
}

} // namespace
