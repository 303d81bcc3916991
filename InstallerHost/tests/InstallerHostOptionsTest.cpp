// The command line both installer front-ends share, with a front-end's own options handed to it.
#include <InstallerHostOptions.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Parsed {
    bool ok = false;
    std::string error;
    InstallerHostOptions options;
    std::vector<std::string> own; // the front-end's options, with their values, as it saw them
};

// A front-end with one option of its own that takes a value (--own V) and one flag (--flag).
Parsed parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "host");
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(&arg[0]);
    Parsed parsed;
    parsed.ok = InstallerParseHostOptions(
        static_cast<int>(argv.size()), argv.data(), parsed.options, parsed.error,
        [&parsed](const std::string& option, const std::function<bool(std::string&)>& takeValue, std::string&) {
            std::string value;
            if (option != "--flag" && option != "--own")
                return InstallerHostOption::Unknown;
            if (option == "--own" && !takeValue(value))
                return InstallerHostOption::Wrong;
            parsed.own.push_back(value.empty() ? option : option + "=" + value);
            return InstallerHostOption::Taken;
        });
    return parsed;
}

// What the parser works out: the modifiers' mask (an empty item skipped), a payload split at its
// first '=', the front-end's own options handed over in order, polkit when nothing is said, and
// the end of the reading at --help.
TEST(InstallerHostOptionsTest, SharedOptionsAndTheFrontEndsOwn)
{
    Parsed p = parse({"--modifiers", "shift,,capslock", "--own", "x", "--install", "/a=/b", "--flag", "B.bundle",
                      "--install", "/c=/d=e"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.bundle, "B.bundle");
    EXPECT_EQ(p.options.modifiers, kInstallerShiftKeyMask | kInstallerCapsLockKeyMask);
    EXPECT_EQ(p.options.payload, (std::vector<std::pair<std::string, std::string>>{{"/a", "/b"}, {"/c", "/d=e"}}));
    EXPECT_EQ(p.own, (std::vector<std::string>{"--own=x", "--flag"}));
    EXPECT_EQ(parse({"B.bundle"}).options.authorize, "polkit");
    // Help ends the reading: what follows it is not looked at.
    p = parse({"--flag", "--help", "--bogus"});
    EXPECT_TRUE(p.ok && p.options.help);
}

// One row for each way the parser refuses a command line (the rows of --install: no '=', and an
// empty side), each with its reason.
TEST(InstallerHostOptionsTest, EachWrongCommandLineIsRefusedWithItsReason)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> wrong{
        {{}, "no bundle given"},
        {{"A.bundle", "B.bundle"}, "more than one bundle given"},
        {{"B.bundle", "-"}, "unknown option -"},
        {{"B.bundle", "--own"}, "--own needs a value"},
        {{"--modifiers", "shift,hyper", "B.bundle"}, "unknown modifier \"hyper\""},
        {{"--authorize", "maybe", "B.bundle"}, "--authorize takes polkit, yes, no or ask"},
        {{"--install", "=/b", "B.bundle"}, "--install takes SRC=DEST"},
        {{"--install", "/a", "B.bundle"}, "--install takes SRC=DEST"},
        {{"--privileged-helper", "helper", "B.bundle"}, "--privileged-helper takes an absolute path"},
        {{"--uninstall", "--install", "/a=/b", "B.bundle"}, "--uninstall takes no payload and no answers file"},
    };
    for (const auto& [args, message] : wrong) {
        Parsed p = parse(args);
        EXPECT_EQ(std::make_pair(p.ok, p.error), std::make_pair(false, message));
    }
}

} // namespace
