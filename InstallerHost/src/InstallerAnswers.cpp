// The answers file for installs nobody watches (InstallerAnswers.h).
#include <InstallerAnswers.h>
#include <InstallerHostOptions.h>
#include <InstallerSession.h>
#include <XpFd.h>

#include "InstallerTexts.h"

#include <glib.h>

#include <fcntl.h>
#include <libintl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <set>

#define _(text) ::dgettext("installer-host", text)

namespace {

// An answers file is a few lines; anything larger is not one.
const off_t kMaxAnswersSize = 64 * 1024;

const std::map<std::string, std::set<std::string>>& knownKeys()
{
    static const std::map<std::string, std::set<std::string>> keys{
        {"Road", {"Moves", "ChangeFolders"}},
        {"Authorization", {"Answer"}},
        {"Payload", {"Install"}},
    };
    return keys;
}

std::string trimmed(const std::string& text)
{
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return std::string();
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

// The file's bytes: only from a regular file, opened without waiting on a FIFO or a device.
bool readAnswersFile(const std::string& path, std::string& data, std::string& error)
{
    XpFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.IsValid()) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    bool ok = ::fstat(fd.Get(), &st) == 0;
    if (!ok || !S_ISREG(st.st_mode)) {
        error = path + ": " + (ok ? std::string(_("not a regular file")) : std::string(std::strerror(errno)));
        return false;
    }
    if (st.st_size > kMaxAnswersSize) {
        error = path + ": " + _("larger than an answers file can be (64 KiB)");
        return false;
    }
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = path + ": " + std::strerror(errno);
            return false;
        }
        if (n == 0 || static_cast<off_t>(data.size()) > kMaxAnswersSize)
            break;
        data.append(buffer, static_cast<size_t>(n));
    }
    if (static_cast<off_t>(data.size()) > kMaxAnswersSize) {
        error = path + ": " + _("larger than an answers file can be (64 KiB)");
        return false;
    }
    return true;
}

} // namespace

bool InstallerIsMove(const std::string& move)
{
    if (move == "continue" || move == "back" || move == "quit" || move == "button")
        return true;
    if (move.rfind("button:", 0) != 0 || move.size() == 7)
        return false;
    for (size_t i = 7; i < move.size(); ++i)
        if (move[i] < '0' || move[i] > '9')
            return false;
    return std::strtoul(move.c_str() + 7, nullptr, 10) >= 1;
}

bool InstallerReadAnswers(const std::string& path, InstallerAnswers& answers, std::string& error)
{
    std::string data;
    if (!readAnswersFile(path, data, error))
        return false;

    // GKeyFile takes the last of a key given twice, ignores what it does not know and names no
    // line in its complaints: the lines are looked at here first, and each key's line kept for
    // the complaints about its value.
    std::map<std::pair<std::string, std::string>, int> lineOf;
    std::string group;
    int number = 0;
    size_t at = 0;
    while (at < data.size()) {
        size_t end = data.find('\n', at);
        std::string line = data.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? data.size() : end + 1;
        ++number;
        std::string where = path + ":" + std::to_string(number) + ": ";
        std::string text = trimmed(line);
        if (text.empty() || text[0] == '#')
            continue;
        if (text[0] == '[') {
            if (text.back() != ']') {
                error = where + _("not a group, key=value or comment line");
                return false;
            }
            group = text.substr(1, text.size() - 2);
            if (!knownKeys().count(group)) {
                error = where + InstallerText("unknown group [%s]", group);
                return false;
            }
            continue;
        }
        size_t eq = text.find('=');
        if (eq == std::string::npos || eq == 0) {
            error = where + _("not a group, key=value or comment line");
            return false;
        }
        if (group.empty()) {
            error = where + _("a key before the first group");
            return false;
        }
        std::string key = trimmed(text.substr(0, eq));
        if (!knownKeys().at(group).count(key)) {
            error = where + InstallerText("unknown key %s in [%s]", key, group);
            return false;
        }
        auto found = lineOf.find({group, key});
        if (found != lineOf.end()) {
            error = where + InstallerText("%s given again (first on line %s)", key, std::to_string(found->second));
            return false;
        }
        lineOf[{group, key}] = number;
    }

    GKeyFile* file = g_key_file_new();
    GError* gerror = nullptr;
    if (!g_key_file_load_from_data(file, data.data(), data.size(), G_KEY_FILE_NONE, &gerror)) {
        error = path + ": " + gerror->message; // what the lines above let through: text that is not UTF-8
        g_error_free(gerror);
        g_key_file_free(file);
        return false;
    }
    InstallerAnswers read;
    read.path = path;
    bool ok = true;
    auto refuse = [&](const char* group, const char* key, const std::string& what) {
        error = path + ":" + std::to_string(lineOf[{group, key}]) + ": " + what;
        ok = false;
    };
    auto stringOf = [&](const char* group, const char* key) {
        gchar* value = g_key_file_get_string(file, group, key, nullptr);
        std::string text = value ? value : "";
        g_free(value);
        return text;
    };
    if (lineOf.count({"Road", "Moves"})) {
        read.moves = InstallerSplitList(stringOf("Road", "Moves"));
        read.movesGiven = true;
        if (read.moves.empty())
            refuse("Road", "Moves", _("Moves takes a list of continue, button:N, back or quit"));
        for (const std::string& move : read.moves)
            if (ok && !InstallerIsMove(move))
                refuse("Road", "Moves", InstallerText("unknown move \"%s\"", move));
    }
    if (ok && lineOf.count({"Road", "ChangeFolders"})) {
        std::string value = stringOf("Road", "ChangeFolders");
        if (value == "true")
            read.changeFolders = 1;
        else if (value == "false")
            read.changeFolders = 0;
        else
            refuse("Road", "ChangeFolders", _("ChangeFolders takes true or false"));
    }
    if (ok && lineOf.count({"Authorization", "Answer"})) {
        read.authorize = stringOf("Authorization", "Answer");
        if (read.authorize != "polkit" && read.authorize != "yes" && read.authorize != "no")
            refuse("Authorization", "Answer", _("Answer takes polkit, yes or no"));
    }
    if (ok && lineOf.count({"Payload", "Install"})) {
        gsize count = 0;
        gchar** items = g_key_file_get_string_list(file, "Payload", "Install", &count, nullptr);
        for (gsize i = 0; ok && items && i < count; ++i) {
            std::string item = items[i];
            size_t eq = item.find('=');
            if (eq == std::string::npos || eq == 0 || eq + 1 == item.size())
                refuse("Payload", "Install", InstallerText("Install takes SRC=DEST items separated by ';', not \"%s\"", item));
            else
                read.payload.emplace_back(item.substr(0, eq), item.substr(eq + 1));
        }
        if (ok && read.payload.empty())
            refuse("Payload", "Install", _("Install takes SRC=DEST items separated by ';'"));
        g_strfreev(items);
    }
    g_key_file_free(file);
    if (ok)
        answers = std::move(read);
    return ok;
}

std::string InstallerAnsweredMove(const InstallerAnswers& answers, const InstallerSession& session, size_t& nextMove)
{
    if (nextMove < answers.moves.size())
        return answers.moves[nextMove++];
    if (session.page() == InstallerSession::Page::Pane && !session.buttons().empty() && answers.changeFolders == 1)
        return "button:1";
    return "continue";
}
