// Diagnostic hooks. The library never calls them itself (its assertions and traces are compiled
// out); they exist for callers. Release builds keep all three without effect. A debug build of
// the library (XP_DEBUG_HOOKS) routes traces and failed assertions to standard error and breaks
// only when a debugger is attached, so that no unattended process is ever stopped by them.
#include <XpCommonLib.h>

#ifdef XP_DEBUG_HOOKS
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
bool debuggerAttached()
{
    FILE* status = fopen("/proc/self/status", "r");
    if (status == nullptr)
        return false;
    char line[256];
    long tracer = 0;
    while (fgets(line, sizeof line, status) != nullptr) {
        if (strncmp(line, "TracerPid:", 10) == 0) {
            tracer = strtol(line + 10, nullptr, 10);
            break;
        }
    }
    fclose(status);
    return tracer != 0;
}
} // namespace

void _XpTrace(char const* format, ...)
{
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
}

int _XpFailedPos(char const* file, char const* expression, int line)
{
    fprintf(stderr, "%s:%d: assertion failed: %s\n", file ? file : "?", line,
            expression ? expression : "?");
    return 1;
}

void __XpDebugBreak()
{
    if (debuggerAttached())
        raise(SIGTRAP);
}

#else

void _XpTrace(char const*, ...) {}

int _XpFailedPos(char const*, char const*, int)
{
    return 1;
}

void __XpDebugBreak() {}

#endif
