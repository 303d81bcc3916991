// Uses the installed XpCommonLib: a worker thread signals an event that the main thread waits on.
#include <XpCommonLib.h>
#include <XpThread.h>

#include <cstdio>

static void* work(void* arg)
{
    static_cast<XpManualEvent*>(arg)->SetOk(true);
    return reinterpret_cast<void*>(5);
}

int main()
{
    XpCommonLibInit();
    XpManualEvent done(false);
    XpThread* thread = XpThreadAllocAndBegin(work, &done);
    if (thread == nullptr)
        return 1;
    XpErr err = done.Lock(5);
    uint32_t exitValue = XpThreadJoinAndFree(thread);
    printf("wait: %s, exit value %u\n", XpErrName(err), exitValue);
    return err == XPERR_OK && exitValue == 5 ? 0 : 1;
}
