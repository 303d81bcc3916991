// xpfs: questions to a volume that may not answer, asked where the tool need not wait for them.
//
// The library gives up on a network volume that does not answer after a time-out, but its
// availability checker keeps the rule that destroying it waits for every probe still running,
// and each device test (IsDeviceAvailable, behind MakeDir and the removals) destroys its own
// checker before it returns. More than that: a thread blocked in a request to a hung FUSE or
// network file system cannot be stopped at all, and a process that has such a thread does not
// end (its parent is not told, its output stays open) until the server answers, which may be
// minutes. An _exit after the answer therefore does not help: the question must not be asked in
// the tool's own process. So it is asked in a child process, which hands back one byte through a
// pipe; the tool waits for that byte at most the time-out plus a margin, and otherwise counts
// the volume as not answering, kills the child (which goes once the kernel gives it back) and
// goes on. The child's standard streams are /dev/null: a caller reading the tool's output to its
// end must not wait for the child.
#include "xpfs.h"

#include <XpFileOperation.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// What the child's start costs before its question is asked, on a busy machine.
const double kStartMargin = 0.3;
// The library's device test gives a network volume this long.
const double kDeviceTestSeconds = 1.0;

} // namespace

int xpfsAskInChild(const std::function<char()>& question, double seconds)
{
    std::fflush(stdout);   // the child must not write what is buffered here a second time
    std::fflush(stderr);
    int answer[2];
    if (pipe2(answer, O_CLOEXEC) != 0)
        return static_cast<unsigned char>(question());   // no child to be had: ask here
    pid_t child = fork();
    if (child < 0) {
        close(answer[0]);
        close(answer[1]);
        return static_cast<unsigned char>(question());
    }
    if (child == 0) {
        int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0)
            _exit(1);
        close(answer[0]);
        char c = question();
        _exit(write(answer[1], &c, 1) == 1 ? 0 : 1);   // no exit handlers: a probe may still hang
    }
    close(answer[1]);
    using Clock = std::chrono::steady_clock;
    Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    int result = -1;
    for (;;) {
        int wait = -1;
        if (seconds >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait = left > 0 ? static_cast<int>(left) : 0;
        }
        struct pollfd ready = {answer[0], POLLIN, 0};
        int n = poll(&ready, 1, wait);
        if (n < 0 && errno == EINTR)
            continue;
        char c;
        if (n > 0 && read(answer[0], &c, 1) == 1)
            result = static_cast<unsigned char>(c);
        break;
    }
    close(answer[0]);
    // A child that answered is ending anyway; one that did not is stuck in the kernel and goes
    // when it is given back. Neither is waited for: it is reaped now if it has ended, else by
    // whoever inherits it when the tool ends.
    kill(child, SIGKILL);
    waitpid(child, nullptr, WNOHANG);
    return result;
}

bool xpfsVolumeAnswers(const char* path)
{
    XpStringT<char> p(path);
    return xpfsAskInChild([&p] { return XpFileOperation::IsDeviceAvailable(p) ? 'y' : 'n'; },
                          kDeviceTestSeconds + kStartMargin) == 'y';
}

double xpfsAnswerLimit(unsigned int timeout)
{
    return timeout == 0xFFFFFFFFu ? -1.0 : timeout + kStartMargin;
}
