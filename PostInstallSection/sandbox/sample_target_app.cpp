// ombrix-sample-app: the sandbox's stand-in for the target application. Started as
//   ombrix-sample-app --record FILE [ARGUMENTS...]
// it appends one line to FILE: ARGUMENTS as a JSON array, then "new-session" when it leads a
// session of its own (it was started detached) or "same-session". Then it exits.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string jsonString(const char* s)
{
    std::string out = "\"";
    for (; *s; ++s) {
        unsigned char c = static_cast<unsigned char>(*s);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || std::strcmp(argv[1], "--record") != 0) {
        std::fprintf(stderr, "usage: ombrix-sample-app --record FILE [ARGUMENTS...]\n");
        return 2;
    }
    std::string line = "[";
    for (int i = 3; i < argc; ++i)
        line += (i > 3 ? "," : "") + jsonString(argv[i]);
    line += "] ";
    line += ::getsid(0) == ::getpid() ? "new-session" : "same-session";
    line += "\n";

    int fd = ::open(argv[2], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return 1;
    // Starts may overlap; the lock keeps their lines whole.
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    return done == line.size() ? 0 : 1;
}
