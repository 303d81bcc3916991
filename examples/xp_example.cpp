// A small tour of XpCommonLib: worker threads hand results back through a semaphore guarded by
// a critical section, and the main thread joins them and prints their exit values.
#include <XpCommonLib/XpCommonLib.h>
#include <XpCommonLib/XpThread.h>

#include <cstdio>

namespace {

struct Shared {
    XpCriticalSection lock;
    XpSemaphore done{0, XP_INFINITE_TIMEOUT};
    long total = 0;
};

Shared* g_shared = nullptr;

void* worker(void* arg)
{
    long n = reinterpret_cast<long>(arg);
    long sum = 0;
    for (long i = 1; i <= n; ++i)
        sum += i;
    {
        XpSingleLock guard(&g_shared->lock);
        g_shared->total += sum;
    }
    g_shared->done.Unlock();
    return reinterpret_cast<void*>(n);
}

} // namespace

int main()
{
    XpCommonLibInit();
    Shared shared;
    g_shared = &shared;

    const long sizes[] = {10, 100, 1000, 10000};
    XpThread* threads[4] = {};
    for (int i = 0; i < 4; ++i) {
        threads[i] = XpThreadAllocAndBegin(worker, reinterpret_cast<void*>(sizes[i]));
        if (threads[i] == nullptr) {
            fprintf(stderr, "could not start a thread\n");
            return 1;
        }
    }
    for (int i = 0; i < 4; ++i) {
        XpErr err = shared.done.Lock(5);
        if (err != XPERR_OK) {
            fprintf(stderr, "waiting for a worker: %s\n", XpErrName(err));
            return 1;
        }
    }
    for (int i = 0; i < 4; ++i)
        printf("thread %d summed 1..%u\n", i, XpThreadJoinAndFree(threads[i]));

    XpSingleLock guard(&shared.lock);
    printf("total %ld (expected %ld)\n", shared.total, 55L + 5050L + 500500L + 50005000L);
    printf("a busy semaphore says %s\n", XpErrName(shared.done.TryLock()));
    return shared.total == 55L + 5050L + 500500L + 50005000L ? 0 : 1;
}
