// xpfs cp, mv, rm and mkdir with the options people bring from coreutils. Each row of the table
// runs against the real tool and, on a twin tree, coreutils' cp, mv, rm or mkdir with the same
// command line: the two must leave the same tree, end with the same status and say the same (with
// the program's name set aside), options after operands and POSIXLY_CORRECT included. Around it:
// the option syntax (unknown options, --help and --version), each command's failure message, a
// write error on standard output, -i without a terminal, the progress bar off a terminal, and
// German messages.
#include "XpFileTestSupport.h"

#include <set>
#include <sstream>

namespace {

namespace fs = std::filesystem;

using xptest::Ran;

// Runs program (looked up on PATH when it names no folder, so that coreutils calls itself "cp")
// in folder dir with args: through setsid, in a session of its own and so without a controlling
// terminal (-i never asks whoever runs the tests), and env, in the C.UTF-8 locale unless env
// says more. Neither is a shell: every argument arrives as it is.
Ran runIn(const std::string& dir, const std::string& program, const std::vector<std::string>& args,
          const std::vector<std::string>& env = {})
{
    std::vector<std::string> line{"setsid", "--wait", "env", "-C", dir, "-u", "LANGUAGE", "-u", "POSIXLY_CORRECT", "LC_ALL=C.UTF-8"};
    line.insert(line.end(), env.begin(), env.end());
    line.push_back(program);
    line.insert(line.end(), args.begin(), args.end());
    return xptest::spawn(line);
}

Ran xpfsIn(const std::string& dir, const std::vector<std::string>& args, const std::vector<std::string>& env = {})
{
    return runIn(dir, XPFS_PROGRAM, args, env);
}

// The tree every row starts from.
void makeTree(const std::string& root)
{
    fs::create_directories(root + "/d/e");
    fs::create_directory(root + "/empty");
    struct File { const char* name; const char* data; mode_t mode; };
    for (File f : {File{"a", "alpha\n", 0640}, File{"b", "bravo\n", 0644}, File{"d/e/f", "foxtrot\n", 0600},
                   File{"d/g", "golf\n", 0644}, File{"-x", "dash\n", 0644}, File{"q'uote", "quote\n", 0644}})
        ASSERT_TRUE(xptest::writeFile(root + "/" + f.name, f.data) && chmod((root + "/" + f.name).c_str(), f.mode) == 0);
    ASSERT_EQ(chmod((root + "/d/e").c_str(), 0750) | symlink("a", (root + "/link").c_str()), 0);
    // Fixed dates, so that the twin trees (made a moment apart) compare equal: a (2001-01-01) is
    // older than the rest (2020-01-01).
    const struct timespec old[2] = {{978307200, 0}, {978307200, 0}}, later[2] = {{1577836800, 0}, {1577836800, 0}};
    for (const char* name : {"b", "d/e/f", "d/g", "-x", "q'uote"})
        ASSERT_EQ(utimensat(AT_FDCWD, (root + "/" + name).c_str(), later, 0), 0) << name;
    ASSERT_EQ(utimensat(AT_FDCWD, (root + "/a").c_str(), old, 0), 0);
}

// text's lines, sorted: a tree's entries come in the order of the folder listing, which differs.
std::string sortLines(const std::string& text)
{
    std::multiset<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.insert(line);
    std::string all;
    for (const std::string& l : lines)
        all += l + "\n";
    return all;
}

// The tree below root as find(1) tells it, one entry a line: path, kind, mode, owner, and a
// file's size (with times its modification time too) or a link's target. (Contents are diff's.)
std::string snapshot(const std::string& root, bool times)
{
    const std::string file = std::string("%P %y %m %U %s") + (times ? " @%Ts" : "") + "\n";
    return sortLines(xptest::spawn({"find", root, "-mindepth", "1", "(", "-type", "f", "-printf", file, ")", "-o", "-printf", "%P %y %m %U %l\n"}).out);
}

// What a program said, its name set aside: "xpfs: " and "cp: " at a line's start become "P: ".
// coreutils' mkdir quotes the operand of its failures with the locale's quotation marks (‘d’),
// its other messages as xpfs does ('d'): the marks are read as plain quotes.
std::string shape(std::string text, const std::string& command)
{
    text = "\n" + text;
    for (const std::string& from : {std::string("\u2018"), std::string("\u2019"), std::string("\nxpfs: "), "\n" + command + ": "}) {
        const std::string to = from[0] == '\n' ? "\nP: " : "'";
        for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
            text.replace(at, from.size(), to);
    }
    return text.substr(1);
}

// One row per road through the tool: an option that changes what is done, a branch of the
// operands (into a folder, onto a name, the same file, a folder where a file goes), the refusals,
// and the modes whose parse takes another turn. cp and mv find their operands with one piece of
// code, so its refusals are cp rows; mv keeps the rows of what it decides alone (-n, -u, -T onto
// a folder). -f, the aliases -R and --no-clobber, mv -t and the options rm accepts for
// coreutils' sake only have a row each, so that none of them is refused or read as another;
// which of two dates wins in a tree copy is XpTreeCopy's.
TEST(XpfsOptions, EachRowAgreesWithCoreutilsWhereCoreutilsHasTheOption)
{
    struct Row {
        std::vector<std::string> args;
        bool times = false;    // compare modification times too
        bool sorted = false;   // the output lists a tree: compare it sorted
        std::vector<std::string> env = {};
    };
    const Row rows[] = {
        // cp
        {{"cp", "a", "c"}},
        {{"cp", "-r", "d", "x"}},
        {{"cp", "-R", "d", "empty"}},
        {{"cp", "-a", "d", "link", "a", "empty"}, true},
        {{"cp", "--preserve=mode,timestamps", "a", "c"}, true},
        {{"cp", "-f", "a", "b"}},
        {{"cp", "-n", "a", "b"}},
        {{"cp", "--no-clobber", "a", "b"}},
        {{"cp", "-u", "a", "b"}},
        {{"cp", "-rv", "d", "x"}, false, true},
        {{"cp", "-t", "empty", "a", "b"}},
        {{"cp", "-rT", "d", "empty"}},
        {{"cp", "-T", "a", "empty"}},
        {{"cp", "-n", "-T", "a", "empty"}},
        {{"cp", "a", "b", "c"}},
        {{"cp", "a", "a"}},
        {{"cp", "nothing", "a", "empty"}},
        // mv
        {{"mv", "-f", "a", "b"}},
        {{"mv", "-n", "a", "b"}},
        {{"mv", "-u", "a", "b"}},
        {{"mv", "-u", "b", "a"}},
        {{"mv", "-v", "a", "c"}},
        {{"mv", "-t", "d", "a", "b"}},
        {{"mv", "-T", "d", "empty"}},
        // rm
        {{"rm", "d"}},
        {{"rm", "-r", "d"}},
        {{"rm", "-R", "d", "empty"}},
        {{"rm", "-rf", "d", "nothing"}},
        {{"rm", "-f"}},
        {{"rm", "-rv", "d"}, false, true},
        {{"rm", "-v", "a", "b"}},
        {{"rm", "--", "-x"}},
        {{"rm", "--one-file-system", "-r", "d"}},
        {{"rm", "--preserve-root", "-r", "d"}},
        {{"rm", "-r", "."}},
        {{"rm", "a b", "a'b", "a\nb", "\xff", "\xc3\xa9"}},
        // mkdir
        // Options may follow operands; with POSIXLY_CORRECT they end at the first operand.
        {{"mkdir", "m/n/o", "-p"}},
        {{"mkdir", "m", "-p"}, false, false, {"POSIXLY_CORRECT=1"}},
        {{"mkdir", "-m", "700", "m"}},
        {{"mkdir", "-m", "+t", "m"}},
        {{"mkdir", "-m", "o+t", "m"}},
        {{"mkdir", "-m", "g-s", "m"}},
        {{"mkdir", "-m", "u=rwx,g=rx,o=", "m"}},
        {{"mkdir", "-m", "=", "m"}},
        {{"mkdir", "-m", "+X", "m"}},
        {{"mkdir", "-v", "m", "d"}},
        {{"mkdir", "-pv", "m/n"}},
        {{"mkdir", "-p", "a/x"}},
        {{"mkdir", "m/n"}},
    };
    xptest::TempDir t;
    int n = 0;
    for (const Row& r : rows) {
        std::string mine = t / ("xpfs" + std::to_string(n)), theirs = t / ("coreutils" + std::to_string(n));
        ++n;
        makeTree(mine);
        makeTree(theirs);
        std::string line;
        for (const std::string& a : r.args)
            line += " " + a;
        Ran x = xpfsIn(mine, r.args, r.env);
        Ran c = runIn(theirs, r.args[0], {r.args.begin() + 1, r.args.end()}, r.env);
        EXPECT_EQ(snapshot(mine, r.times), snapshot(theirs, r.times)) << line;
        EXPECT_EQ(xptest::spawn({"diff", "-r", "--no-dereference", mine, theirs}).out, "") << line;
        EXPECT_EQ(x.status, c.status) << line << "\n" << x.err;
        EXPECT_EQ(shape(x.err, r.args[0]), shape(c.err, r.args[0])) << line;
        auto out = [&](const std::string& text) { return r.sorted ? sortLines(text) : text; };
        EXPECT_EQ(out(shape(x.out, r.args[0])), out(shape(c.out, r.args[0]))) << line;
    }
}

// Options coreutils reads differently or not at all, and the option syntax. Every command
// declares its options and is read by the dispatcher's one parse (getopt_long), so each branch
// of that parse is a row with some command: a second command taking the same branch would
// take the same code.
TEST(XpfsOptions, SyntaxUnknownOptionsHelpAndVersion)
{
    struct Row {
        std::vector<std::string> args;
        int status;
        std::string out, err;   // out: its first line only
    };
    // The refusal of a command line: the reason, then the hint that names the command.
    auto refused = [](const std::string& why, const std::string& command) {
        return "xpfs: " + why + "\nTry 'xpfs " + command + " --help' for more information.\n";
    };
    const Row rows[] = {
        {{"cp", "-Z", "a", "c"}, 2, "", refused("invalid option -- 'Z'", "cp")},
        {{"mkdir", "-m", "u+q", "m"}, 2, "", refused("invalid mode 'u+q'", "mkdir")},
        {{"cp", "--preserve=links", "a", "c"}, 2, "", refused("invalid attribute list 'links' for --preserve", "cp")},
        {{"cp", "-t", "d", "-T", "a"}, 2, "",
         refused("cannot combine --target-directory (-t) and --no-target-directory (-T)", "cp")},
        {{"rm"}, 2, "", refused("missing operand", "rm")},
        {{"walk", "--bogus"}, 2, "", refused("unrecognized option '--bogus'", "walk")},
        {{"rm", "--debug", "nothing"}, 1, "", "xpfs: cannot remove 'nothing': No such file or directory (XPERR_FILE_NOT_FOUND)\n"},
        {{"cp", "a", "--help", "c"}, 0, "Usage: xpfs cp [OPTION]... SOURCE... DEST  or  -t DIR SOURCE...", ""},
        {{"path", "root", "--help"}, 0, "Usage: xpfs path root PATH...", ""},
        {{"--version"}, 0, std::string("xpfs ") + XP_TEST_VERSION, ""},
        {{"path", "split", "--version"}, 0, std::string("xpfs ") + XP_TEST_VERSION, ""},
        // A folder is copied whole without -r (xpfs has no other way to copy one).
        {{"cp", "d", "x"}, 0, "", ""},
    };
    xptest::TempDir t;
    makeTree(t.path);
    for (const Row& r : rows) {
        Ran x = xpfsIn(t.path, r.args);
        EXPECT_EQ(x.status, r.status) << r.args[0] << " " << r.args.back();
        EXPECT_EQ(x.out.substr(0, x.out.find('\n')), r.out) << r.args[0] << " " << r.args.back();
        EXPECT_EQ(x.err, r.err) << r.args[0] << " " << r.args.back();
    }
    EXPECT_EQ(xptest::readFile(t / "x/e/f"), "foxtrot\n");
    EXPECT_FALSE(fs::exists(t / "c") || fs::exists(t / "m"));   // a refused command line changes nothing
    EXPECT_TRUE(fs::exists(t / "a") && fs::exists(t / "d"));
}

// A failing operand of each command that names files: "xpfs: cannot WHAT 'OPERAND': REASON", the
// system's reason where one is known, the library's code where it keeps none; status 1, the
// operands after it still tried, and nothing changed by the one that failed.
TEST(XpfsOptions, FailuresNameTheOperandAndTheReason)
{
    struct Row { std::vector<std::string> args; std::string out, err; };
    const std::string enoent = "': No such file or directory\n";
    const Row rows[] = {
        {{"info", "missing", "a"}, "path: a", "xpfs: cannot stat 'missing" + enoent},
        {{"walk", "no where"}, "", "xpfs: cannot open directory 'no where" + enoent},
        {{"touch", "missing/new", "c"}, "", "xpfs: cannot touch 'missing/new': XPERR_FILE_PATH_NOT_FOUND\n"},
        {{"path", "undisplay", ":", "/:tmp"}, "/tmp", "xpfs: cannot convert ':': XPERR_FILE_INVALID_PATH\n"},
        {{"trash", "missing"}, "", "xpfs: cannot move 'missing' to the trash: No such file or directory\n"},
        {{"rename", "a", "b"}, "", "xpfs: cannot move 'a' to 'b': File exists\n"},
        {{"rmdir", "d"}, "", "xpfs: failed to remove 'd': Directory not empty\n"},
        {{"concat", "-o", "/dev/full", "a"}, "", "xpfs: cannot concatenate into '/dev/full': XPERR_FILE_DISK_FULL\n"},
        {{"cp", "a", "none/x"}, "", "xpfs: cannot create 'none/x': No such file or directory\n"},
    };
    xptest::TempDir t;
    makeTree(t.path);
    for (const Row& r : rows) {
        Ran x = xpfsIn(t.path, r.args, {"HOME=" + t.path, "XDG_DATA_HOME=" + t / "share"});
        EXPECT_EQ(x.status, 1) << r.args[0] << " " << r.args[1];
        EXPECT_EQ(x.out.substr(0, x.out.find('\n')), r.out) << r.args[0] << " " << r.args[1];
        EXPECT_EQ(x.err, r.err) << r.args[0] << " " << r.args[1];
    }
    EXPECT_TRUE(fs::is_regular_file(t / "c"));   // touch went on after the failure
    EXPECT_FALSE(fs::exists(t / "share") || fs::exists(t / "none"));   // nor a trash or a folder of a missing name
    EXPECT_EQ(xptest::readFile(t / "a") + xptest::readFile(t / "b"), "alpha\nbravo\n");   // rename replaced nothing
}

// stdout that cannot be written (a full disk) is a failure that is told, as coreutils tells it.
TEST(XpfsOptions, AWriteErrorOnStandardOutputFailsTheCommand)
{
    xptest::TempDir t;
    const std::string said = t / "said", made = t / "m";
    int status = xptest::inChild([&] {
        int full = open("/dev/full", O_WRONLY), err = open(said.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (full < 0 || err < 0 || dup2(full, 1) < 0 || dup2(err, 2) < 0 || setenv("LC_ALL", "C.UTF-8", 1) != 0)
            return 126;
        unsetenv("LANGUAGE");
        execl(XPFS_PROGRAM, "xpfs", "mkdir", "-v", made.c_str(), static_cast<char*>(nullptr));
        return 127;
    });
    EXPECT_EQ(status, 1);
    EXPECT_EQ(xptest::readFile(said), "xpfs: write error: No space left on device\n");
    EXPECT_TRUE(fs::is_directory(made));   // the work was done; only its report was lost
}

// -i and -I ask on the terminal; without one nothing they would ask about is done, and they say
// why (status 1).
TEST(XpfsOptions, InteractiveWithoutATerminalRefusesAndSaysSo)
{
    struct Row { std::vector<std::string> args; std::string err; };
    const Row rows[] = {
        {{"cp", "-ri", "d/e", "empty"}, ""},   // nothing there to replace: nothing to ask
        {{"cp", "-ri", "d/e", "empty"}, "xpfs: not overwriting 'empty/e/f': no terminal to ask on\n"},
        {{"mv", "-i", "a", "b"}, "xpfs: not overwriting 'b': no terminal to ask on\n"},
        {{"rm", "-i", "a"}, "xpfs: not removing 'a': no terminal to ask on\n"},
        {{"rm", "-I", "-r", "d"}, "xpfs: nothing removed: no terminal to ask on\n"},
    };
    xptest::TempDir t;
    makeTree(t.path);
    std::string before = snapshot(t.path, true);
    for (const Row& r : rows) {
        Ran x = xpfsIn(t.path, r.args);
        EXPECT_EQ(x.status, r.err.empty() ? 0 : 1) << r.args[0] << " " << r.args[1];
        EXPECT_EQ(x.err, r.err) << r.args[0] << " " << r.args[1];
        if (!r.err.empty()) {
            EXPECT_EQ(snapshot(t.path, true), before) << r.args[0] << " " << r.args[1];
        }
        before = snapshot(t.path, true);
    }
}

// --progress draws only on a terminal: into a file or pipe nothing, or with -v one line at the
// end, and never a carriage return or an escape sequence.
TEST(XpfsOptions, ProgressOffATerminalDrawsNothing)
{
    xptest::TempDir t;
    makeTree(t.path);
    Ran quiet = xpfsIn(t.path, {"cp", "--progress", "a", "c"});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out + quiet.err, "");
    Ran told = xpfsIn(t.path, {"cp", "--progress", "-v", "d", "x"});
    EXPECT_EQ(told.status, 0);
    EXPECT_EQ(told.err, "xpfs: copied 4 entries, 13 B\n");
    EXPECT_EQ(told.out.find_first_of("\r\x1b"), std::string::npos) << told.out;
}

TEST(XpfsOptions, MessagesInGerman)
{
    xptest::TempDir t;
    Ran x = xpfsIn(t.path, {"walk", "--help"}, {"LANGUAGE=de"});
    EXPECT_NE(x.out.find("Aufruf: xpfs walk [OPTION]... ORDNER\n"), std::string::npos) << x.out;
}

} // namespace
