// Fuzzes xpfs's command-line parse: the dispatcher's choice of command, help or usage error for
// any argument vector (the input split at zero bytes). Nothing runs: the parse only reads the
// command table (and getopt_long reorders the argument pointers of a command with declared
// options). Checks: no crash or sanitizer report; a command to run is the one the words name.
// Without declared options its operands are the rest of argv (one leading "--" dropped) and
// none of them before a "--" asks for help; help is chosen exactly when asked. With declared
// options every operand and option value is one of the words after the command's, help and
// version are chosen only when a word asks for them, and a refused command line names the
// command in its hint. Every usage error says why.
#include "../tools/xpfs/xpfs.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

bool isHelp(const char* s)
{
    return std::strcmp(s, "--help") == 0 || std::strcmp(s, "-h") == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> words(1, "xpfs");
    std::string word;
    for (size_t i = 0; i < size && words.size() < 24; ++i) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word += static_cast<char>(data[i]);
        }
    }
    if (size > 0)
        words.push_back(word);
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());

    const std::vector<char*> given(argv);   // getopt_long may reorder argv
    XpfsCommandLine line = xpfsParseCommandLine(argc, argv.data());
    if (line.command && line.command->options) {
        check(argc >= 2 && std::strcmp(line.command->group, given[1]) == 0);
        const int first = line.command->name ? 3 : 2;
        auto isWord = [&](const char* p) {
            for (int i = first; i < argc; ++i)
                if (p >= given[i] && p <= given[i] + std::strlen(given[i]))
                    return true;
            return false;
        };
        auto someWordStarts = [&](const char* prefix) {
            for (int i = first; i < argc; ++i)
                if (std::strncmp(given[i], prefix, std::strlen(prefix)) == 0)
                    return true;
            return false;
        };
        switch (line.action) {
        case XpfsCommandLine::RUN:
            check(static_cast<int>(line.args.operands.size()) <= argc - first);
            for (char* operand : line.args.operands)
                check(isWord(operand));
            for (const auto& option : line.args.options)
                check(option.second == nullptr || isWord(option.second));
            break;
        case XpfsCommandLine::COMMAND_HELP:
            check(someWordStarts("--h"));
            break;
        case XpfsCommandLine::COMMAND_VERSION:
            check(someWordStarts("--v"));
            break;
        case XpfsCommandLine::USAGE:
            check(line.message.compare(0, 6, "xpfs: ") == 0 &&
                  line.message.find("Try 'xpfs " + std::string(line.command->group)) != std::string::npos);
            break;
        default:
            check(false);
        }
        return 0;
    }
    switch (line.action) {
    case XpfsCommandLine::COMMAND_VERSION:   // only for commands with declared options
        check(false);
        break;
    case XpfsCommandLine::RUN:
    case XpfsCommandLine::COMMAND_HELP: {
        check(argc >= 2 && std::strcmp(line.command->group, argv[1]) == 0);
        const int operands = line.command->name ? 3 : 2;
        check(!line.command->name || (argc >= 3 && std::strcmp(line.command->name, argv[2]) == 0));
        bool askedForHelp = false;
        for (int i = operands; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
            askedForHelp = askedForHelp || isHelp(argv[i]);
        check(askedForHelp == (line.action == XpfsCommandLine::COMMAND_HELP));
        if (line.action == XpfsCommandLine::RUN) {
            int first = operands < argc && std::strcmp(argv[operands], "--") == 0 ? operands + 1 : operands;
            check(line.argv == argv.data() + first && line.argc == argc - first && line.argv[line.argc] == nullptr);
        }
        break;
    }
    case XpfsCommandLine::TOOL_HELP:
        check(argc >= 2 && isHelp(argv[1]));
        break;
    case XpfsCommandLine::TOOL_VERSION:
        check(argc >= 2 && std::strcmp(argv[1], "--version") == 0);
        break;
    case XpfsCommandLine::GROUP_HELP:
        check(argc >= 3 && std::strcmp(line.group, argv[1]) == 0 && isHelp(argv[2]));
        break;
    case XpfsCommandLine::USAGE:
        check((argc < 2) == line.message.empty());
        check(line.message.empty() || line.message.compare(0, 6, "xpfs: ") == 0);
        break;
    }
    check(line.action == XpfsCommandLine::TOOL_HELP || argc < 2 || !isHelp(argv[1]));
    return 0;
}
