// xpfs ls against /bin/ls on the same folder: order in the C and a UTF-8 locale, names with
// spaces, newlines and bytes that are not UTF-8 into a pipe and on a terminal, -l columns, file
// operands, and -R below PATH_MAX's reach. (The layout of names in columns on a terminal of a
// given width is not compared: a difference there is cosmetic.) Both programs run as real processes (argv, no shell).
#include "XpFileTestSupport.h"

#include <sys/stat.h>

namespace {

// A folder with names that sort differently by bytes and by collation, and names ls must quote.
struct Sample {
    xptest::TempDir t;
    Sample()
    {
        for (const char* name : {"a b", "new\nline", "bad\xff", "B", "a", "_z", ".hidden", "it's", "x$y", "Z",
                                 "\xc3\xa9t\xc3\xa9", "e", "tab\there", "~home", "#x", "plain"})
            xptest::writeFile(t / name, name);
        std::filesystem::create_directories(t / "sub/inner");
        xptest::writeFile(t / "sub/inner/deep file", std::string(5000, 'x'));
        symlink("a", (t / "lnk").c_str());
        symlink("/nonexistent target", (t / "dangling").c_str());
        lchown((t / "B").c_str(), xptest::nobodyUid(), xptest::nobodyGid());   // a wider owner column
    }
};

// A locale whose collation is not the bytes' order: en_US.UTF-8, compiled from the system's locale
// sources into a private folder (LOCPATH) once per run; false when localedef cannot make it.
const xptest::TempDir& localeFolder()
{
    static xptest::TempDir folder;
    return folder;
}
bool haveEnglish()
{
    static const bool made =
        xptest::spawn({"localedef", "-i", "en_US", "-f", "UTF-8", localeFolder() / "en_US.UTF-8"}).status == 0;
    return made;
}

// Runs ls and xpfs ls with args in the locale, in the folder (env changes into it; no shell).
std::pair<xptest::Ran, xptest::Ran> both(const std::string& folder, const std::string& locale, const std::vector<std::string>& args)
{
    std::vector<std::string> ls{"env", "-C", folder, "LC_ALL=" + locale};
    if (locale == "en_US.UTF-8") {
        // glibc's locale loader keeps the list it makes of LOCPATH for good: not our leak.
        const char* sanitizer = std::getenv("ASAN_OPTIONS");
        ls.insert(ls.end(), {"LOCPATH=" + localeFolder().path, std::string("ASAN_OPTIONS=") + (sanitizer ? sanitizer : "") + ":detect_leaks=0"});
    }
    std::vector<std::string> ours = ls;
    ls.push_back("/bin/ls");
    ours.insert(ours.end(), {XPFS_PROGRAM, "ls"});
    ls.insert(ls.end(), args.begin(), args.end());
    ours.insert(ours.end(), args.begin(), args.end());
    return {xptest::spawn(ls), xptest::spawn(ours)};
}

// What a program wrote to a terminal: it runs with a pseudo-terminal as its standard output.
std::string onTerminal(const std::string& folder, const char* locale, std::vector<std::string> args)
{
    std::string screen;
    xptest::onTerminal(std::move(args), &screen, nullptr, "", 80, folder, locale);
    return screen;
}

// Into a pipe: the order, the names as they are, the options, and -l's columns (the owner column
// is widened by B's owner).
TEST(XpfsLs, IntoAPipeAsLsListsIt)
{
    Sample s;
    std::vector<const char*> locales{"C", "C.UTF-8"};
    if (haveEnglish())
        locales.push_back("en_US.UTF-8");
    else
        std::fprintf(stderr, "localedef could not make en_US.UTF-8 here: byte orders only\n");
    const std::vector<std::vector<std::string>> rows = {{}, {"-A"}, {"-a"}, {"-b"}, {"-Q"}, {"-N"}, {"-R"}, {"-1", "sub"},
        {"-d", "sub", "a", "."}, {"-l"}, {"-lA"}, {"-lR"}, {"-l", "lnk", "sub", "B"}};
    for (const char* locale : locales)
        for (const auto& args : rows) {
            auto ran = both(s.t.path, locale, args);
            EXPECT_EQ(ran.second.out, ran.first.out) << locale << " " << (args.empty() ? "" : args[0]);
            EXPECT_EQ(ran.second.status, 0) << ran.second.err;
        }
}

TEST(XpfsLs, NamesOnTerminalAreQuotedAsLsQuotesThem)
{
    Sample s;
    for (const char* locale : {"C", "C.UTF-8"})
        for (const char* option : {"-1", "-l", "-N"}) {
            std::string ls = onTerminal(s.t.path, locale, {"/bin/ls", "-1", option});
            EXPECT_EQ(onTerminal(s.t.path, locale, {XPFS_PROGRAM, "ls", "-1", option}), ls) << locale << option;
        }
}

TEST(XpfsLs, FileOperandsAndMissingOnesAsLsListsThem)
{
    Sample s;
    auto ran = both(s.t.path, "C", {"sub", "plain", "missing", "lnk"});
    EXPECT_EQ(ran.second.out, ran.first.out);
    EXPECT_EQ(ran.second.status, 1);
    EXPECT_EQ(ran.second.err, "xpfs: cannot access 'missing': No such file or directory\n");
}

TEST(XpfsLs, RecursiveListingGoesBeyondPathMaxAndNotThroughLinks)
{
    xptest::TempDir t;
    const std::string chain = "top/" + xptest::longChain(25);
    ASSERT_EQ(xptest::spawn({"mkdir", "-p", t / chain}).status, 0);
    ASSERT_EQ(symlink(t.path.c_str(), (t / "top/up").c_str()), 0);   // a loop, were it followed
    xptest::Ran r = xptest::spawn({"env", "-C", t.path, XPFS_PROGRAM, "ls", "-R", "top"});
    EXPECT_EQ(r.status, 0) << r.err.substr(0, 200);
    // The last level, empty, ends the listing: had the link up been followed, its loop would.
    const std::string last = "\n" + chain + ":\n";
    EXPECT_TRUE(r.out.size() > last.size() && r.out.compare(r.out.size() - last.size(), last.size(), last) == 0);
    xptest::spawn({"rm", "-rf", t / "top"});   // deeper than the folder's own cleanup reaches
}

} // namespace
