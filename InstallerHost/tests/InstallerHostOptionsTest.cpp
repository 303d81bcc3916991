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

// A front-end with one option of its own that takes a value (--own V, "bad" is refused) and one
// flag (--flag).
Parsed parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "host");
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(&arg[0]);
    Parsed parsed;
    parsed.ok = InstallerParseHostOptions(
        static_cast<int>(argv.size()), argv.data(), parsed.options, parsed.error,
        [&parsed](const std::string& option, const std::function<bool(std::string&)>& takeValue, std::string& error) {
            std::string value;
            if (option != "--flag" && option != "--own")
                return InstallerHostOption::Unknown;
            if (option == "--own" && !takeValue(value))
                return InstallerHostOption::Wrong;
            if (value == "bad")
                return error = "bad own value", InstallerHostOption::Wrong;
            parsed.own.push_back(value.empty() ? option : option + "=" + value);
            return InstallerHostOption::Taken;
        });
    return parsed;
}

TEST(InstallerHostOptionsTest, SharedOptionsAndTheFrontEndsOwn)
{
    Parsed p = parse({"--modifiers", "shift,,capslock", "--own", "x", "--install", "/a=/b", "--flag", "B.bundle",
                      "--install", "/c=/d=e", "--authorize", "ask", "--privileged-helper", "/h"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.bundle, "B.bundle");
    EXPECT_TRUE(p.options.modifiersGiven);
    EXPECT_EQ(p.options.modifiers, kInstallerShiftKeyMask | kInstallerCapsLockKeyMask);
    EXPECT_EQ(p.options.authorize, "ask");
    EXPECT_EQ(p.options.helper, "/h");
    EXPECT_EQ(p.options.payload, (std::vector<std::pair<std::string, std::string>>{{"/a", "/b"}, {"/c", "/d=e"}}));
    EXPECT_EQ(p.own, (std::vector<std::string>{"--own=x", "--flag"}));

    p = parse({"B.bundle"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.authorize, "polkit");
    EXPECT_TRUE(!p.options.modifiersGiven && p.options.helper.empty() && p.options.payload.empty() && !p.options.help);
    EXPECT_TRUE(parse({"--modifiers", "none", "B.bundle"}).options.modifiersGiven);

    // Help ends the reading: what follows it is not looked at.
    p = parse({"--flag", "--help", "--bogus"});
    EXPECT_TRUE(p.ok && p.options.help);
    EXPECT_FALSE(parse({"--bogus", "-h"}).ok);
    // So does --version.
    p = parse({"--flag", "--version", "--bogus"});
    EXPECT_TRUE(p.ok && p.options.version && !p.options.help);

    const std::vector<std::pair<std::vector<std::string>, std::string>> wrong{
        {{}, "no bundle given"},
        {{"A.bundle", "B.bundle"}, "more than one bundle given"},
        {{"B.bundle", "--bogus"}, "unknown option --bogus"},
        {{"B.bundle", "-"}, "unknown option -"},
        {{"B.bundle", "--own"}, "--own needs a value"},
        {{"--own", "bad", "B.bundle"}, "bad own value"},
        {{"B.bundle", "--modifiers"}, "--modifiers needs a value"},
        {{"--modifiers", "shift,hyper", "B.bundle"}, "unknown modifier \"hyper\""},
        {{"--authorize", "maybe", "B.bundle"}, "--authorize takes polkit, yes, no or ask"},
        {{"--install", "=/b", "B.bundle"}, "--install takes SRC=DEST"},
        {{"--install", "/a=", "B.bundle"}, "--install takes SRC=DEST"},
        {{"--install", "/a", "B.bundle"}, "--install takes SRC=DEST"},
        {{"--privileged-helper", "helper", "B.bundle"}, "--privileged-helper takes an absolute path"},
        {{"--uninstall", "--install", "/a=/b", "B.bundle"}, "--uninstall takes no payload and no answers file"},
        {{"--answers", "/nonexistent/answers.ini", "B.bundle"}, "/nonexistent/answers.ini: No such file or directory"},
    };
    for (const auto& [args, message] : wrong) {
        p = parse(args);
        EXPECT_EQ(std::make_pair(p.ok, p.error), std::make_pair(false, message));
    }
}

} // namespace
