// A named mutex across two processes: the parent holds it, a forked child finds it taken, waits,
// and gets it once the parent lets go. The name is a file both processes know; the lock lives in
// a System V semaphore keyed on that file, which the kernel gives back if a holder dies.
#include <XpCommonLib/XpCommonLib.h>
#include <XpCommonLib/XpString.h>
#include <XpCommonLib/XpThread.h>

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

void say(const char* who, const char* what)
{
    std::printf("%s: %s\n", who, what);
    std::fflush(stdout);   // the two processes share stdout: each line goes out before the next step
}

} // namespace

int main()
{
    XpCommonLibInit();
    char name[] = "/tmp/xp-example-mutex-XXXXXX";
    int fd = mkstemp(name);
    int toParent[2];
    if (fd < 0 || pipe(toParent) != 0) {
        std::perror("setup");
        return 1;
    }
    close(fd);

    int status = 1;
    {
        XpMutex mutex((XpStringA(name)));
        XpErr err = mutex.Lock(XP_INFINITE_TIMEOUT);
        say("parent", err == XPERR_OK ? "holds the lock" : XpErrName(err));

        pid_t child = fork();
        if (child == 0) {
            XpMutex mine((XpStringA(name)));   // the same name: the same lock
            err = mine.Lock(0);
            say("child", err == XPERR_SYNC_TIMEOUT ? "a try finds it taken (XPERR_SYNC_TIMEOUT)" : "try did NOT time out");
            char ready = 1;
            if (write(toParent[1], &ready, 1) != 1)
                _exit(2);
            err = mine.Lock(XP_INFINITE_TIMEOUT);
            say("child", err == XPERR_OK ? "got the lock after the parent let go" : XpErrName(err));
            mine.Unlock();
            _exit(err == XPERR_OK ? 0 : 1);
        }
        char ready = 0;
        if (child < 0 || read(toParent[0], &ready, 1) != 1) {
            std::perror("child");
            return 1;
        }
        say("parent", "lets go");
        mutex.Unlock();
        int childStatus = 0;
        waitpid(child, &childStatus, 0);
        std::printf("parent: child ended with status %d\n", WIFEXITED(childStatus) ? WEXITSTATUS(childStatus) : -1);
        status = WIFEXITED(childStatus) && WEXITSTATUS(childStatus) == 0 ? 0 : 1;
    }
    // The semaphore set outlives every process by design (the next process finds it). This
    // example made up its name, so it removes the set and the file.
    int set = semget(ftok(name, '1'), 1, 0);
    if (set >= 0)
        semctl(set, 0, IPC_RMID);
    unlink(name);
    return status;
}
