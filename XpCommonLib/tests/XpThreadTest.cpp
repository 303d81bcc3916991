// Synchronization core, semaphore and manual event, and threads.
#include <XpThread.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <sched.h>
#include <thread>
#include <vector>

// ThreadSanitizer reports an unlock by a thread that does not own the mutex as a bug even when
// the call is made on purpose to check its error code, so those checks stay out of its build.
#if defined(__SANITIZE_THREAD__)
#define XP_CHECK_FOREIGN_UNLOCK 0
#else
#define XP_CHECK_FOREIGN_UNLOCK 1
#endif

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs `body` on a std::thread and waits for it: for checks that must come from another thread.
template <typename F>
void onOtherThread(F body)
{
    std::thread t(body);
    t.join();
}

TEST(XpSyncCoreTest, PthreadErrorsMapToSyncCodes)
{
    EXPECT_EQ(xperrFromPthreadErr(0), XPERR_OK);
    EXPECT_EQ(xperrFromPthreadErr(EPERM), XPERR_SYNC_NOT_OWNER);
    EXPECT_EQ(xperrFromPthreadErr(EBUSY), XPERR_SYNC_TIMEOUT);
    EXPECT_EQ(xperrFromPthreadErr(EINVAL), XPERR_SYNC_INVALID);
    EXPECT_EQ(xperrFromPthreadErr(ETIMEDOUT), XPERR_SYNC_TIMEOUT);
    EXPECT_EQ(xperrFromPthreadErr(ENOMEM), XPERR_SYNC_FAILED);
    EXPECT_EQ(xperrFromPthreadErr(EDEADLK), XPERR_SYNC_FAILED);
}

TEST(XpSyncCoreTest, CriticalSectionIsRecursiveAndExcludesOtherThreads)
{
    XpCriticalSection cs;
    ASSERT_EQ(cs.Lock(), XPERR_OK);
    ASSERT_EQ(cs.Lock(), XPERR_OK);
    ASSERT_EQ(cs.TryLock(), XPERR_OK);

    XpErr tryFromOther = XPERR_OK, unlockFromOther = XPERR_OK;
    onOtherThread([&] {
        tryFromOther = cs.TryLock();
        if (XP_CHECK_FOREIGN_UNLOCK)
            unlockFromOther = cs.Unlock();
    });
    EXPECT_EQ(tryFromOther, XPERR_SYNC_TIMEOUT);
    if (XP_CHECK_FOREIGN_UNLOCK) {
        EXPECT_EQ(unlockFromOther, XPERR_SYNC_NOT_OWNER);
    }

    // Three locks need three unlocks before another thread gets in.
    EXPECT_EQ(cs.Unlock(), XPERR_OK);
    EXPECT_EQ(cs.Unlock(), XPERR_OK);
    onOtherThread([&] { tryFromOther = cs.TryLock(); });
    EXPECT_EQ(tryFromOther, XPERR_SYNC_TIMEOUT);
    EXPECT_EQ(cs.Unlock(), XPERR_OK);
    if (XP_CHECK_FOREIGN_UNLOCK) {
        EXPECT_EQ(cs.Unlock(), XPERR_SYNC_NOT_OWNER);
    }

    onOtherThread([&] {
        tryFromOther = cs.TryLock();
        if (tryFromOther == XPERR_OK)
            cs.Unlock();
    });
    EXPECT_EQ(tryFromOther, XPERR_OK);
}

TEST(XpSyncCoreTest, SingleLockReleasesOnlyWhatItTook)
{
    {
        XpSingleLock none(static_cast<XpSyncObject*>(nullptr));
        EXPECT_EQ(none.GetError(), XPERR_OK);
        XpSingleLock noneTimed(static_cast<XpComboSyncObject*>(nullptr), 0);
        EXPECT_EQ(noneTimed.GetError(), XPERR_OK);
    }

    XpSemaphore sem(1, 1);
    {
        XpSingleLock guard(&sem, 0);
        EXPECT_EQ(guard.GetError(), XPERR_OK);
        EXPECT_EQ(sem.TryLock(), XPERR_SYNC_TIMEOUT);   // the guard holds the only unit
        {
            // A failed lock must not give back a unit it never took: a release here would let
            // the TryLock below through.
            XpSingleLock failed(&sem, 0);
            EXPECT_EQ(failed.GetError(), XPERR_SYNC_TIMEOUT);
        }
        EXPECT_EQ(sem.TryLock(), XPERR_SYNC_TIMEOUT);
    }
    // The successful guard gave its unit back.
    EXPECT_EQ(sem.TryLock(), XPERR_OK);
    EXPECT_EQ(sem.TryLock(), XPERR_SYNC_TIMEOUT);
}

TEST(XpSyncCoreTest, TimeoutsCountWholeSeconds)
{
    XpSemaphore busy(0, 1);

    // 0 never waits.
    Clock::time_point start = Clock::now();
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(busy.Lock(0), XPERR_SYNC_TIMEOUT);
    EXPECT_LT(secondsSince(start), 1.0);

    // One second ends at the next whole second: at most one second, possibly much sooner.
    start = Clock::now();
    EXPECT_EQ(busy.Lock(1), XPERR_SYNC_TIMEOUT);
    double waited = secondsSince(start);
    EXPECT_LE(waited, 1.1);

    // t seconds last more than t - 1.
    start = Clock::now();
    EXPECT_EQ(busy.Lock(2), XPERR_SYNC_TIMEOUT);
    waited = secondsSince(start);
    EXPECT_GE(waited, 0.99);
    EXPECT_LE(waited, 2.1);

    XpManualEvent unset(false);
    start = Clock::now();
    EXPECT_EQ(unset.Lock(1), XPERR_SYNC_TIMEOUT);
    EXPECT_LE(secondsSince(start), 1.1);
}

TEST(XpSemaphoreTest, CountsUnitsUpToItsMaximum)
{
    XpSemaphore binary(0, 1);
    EXPECT_EQ(binary.TryLock(), XPERR_SYNC_TIMEOUT);
    EXPECT_EQ(binary.Unlock(), XPERR_OK);
    EXPECT_EQ(binary.TryLock(), XPERR_OK);
    EXPECT_EQ(binary.TryLock(), XPERR_SYNC_TIMEOUT);
    EXPECT_EQ(binary.Unlock(), XPERR_OK);
    EXPECT_EQ(binary.Unlock(), XPERR_OK);   // dropped: the maximum is reached
    EXPECT_EQ(binary.TryLock(), XPERR_OK);
    EXPECT_EQ(binary.TryLock(), XPERR_SYNC_TIMEOUT);

    XpSemaphore never(0, 0);
    EXPECT_EQ(never.Unlock(), XPERR_OK);
    EXPECT_EQ(never.TryLock(), XPERR_SYNC_TIMEOUT);

    // The initial count is not compared with the maximum.
    XpSemaphore over(3, 1);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(over.TryLock(), XPERR_OK);
    EXPECT_EQ(over.TryLock(), XPERR_SYNC_TIMEOUT);

    XpSemaphore unbounded(0, XP_INFINITE_TIMEOUT);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(unbounded.Unlock(), XPERR_OK);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(unbounded.TryLock(), XPERR_OK);
    EXPECT_EQ(unbounded.TryLock(), XPERR_SYNC_TIMEOUT);

    // The count is 64-bit: starting at the largest 32-bit value, further releases are kept.
    XpSemaphore wide(0xFFFFFFFFu, XP_INFINITE_TIMEOUT);
    EXPECT_EQ(wide.Unlock(), XPERR_OK);
    EXPECT_EQ(wide.TryLock(), XPERR_OK);   // would fail if the count had wrapped to 0
}

TEST(XpSemaphoreTest, WaitersAreWokenByReleasesFromOtherThreads)
{
    XpSemaphore items(0, XP_INFINITE_TIMEOUT);
    std::atomic<int> taken{0};
    std::vector<std::thread> consumers;
    const int kConsumers = 4, kPerConsumer = 500;
    for (int c = 0; c < kConsumers; ++c)
        consumers.emplace_back([&] {
            for (int i = 0; i < kPerConsumer; ++i)
                if (items.Lock() == XPERR_OK)
                    ++taken;
        });
    for (int i = 0; i < kConsumers * kPerConsumer; ++i)
        items.Unlock();
    for (std::thread& t : consumers)
        t.join();
    EXPECT_EQ(taken.load(), kConsumers * kPerConsumer);
    EXPECT_EQ(items.TryLock(), XPERR_SYNC_TIMEOUT);
}

TEST(XpManualEventTest, StaysSignalledUntilReset)
{
    XpManualEvent event(false);
    EXPECT_EQ(event.TryLock(), XPERR_SYNC_TIMEOUT);
    event.SetOk(true);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(event.TryLock(), XPERR_OK);   // waiting consumes nothing
    EXPECT_EQ(event.Lock(), XPERR_OK);
    event.SetOk(false);
    EXPECT_EQ(event.TryLock(), XPERR_SYNC_TIMEOUT);
    EXPECT_EQ(event.Unlock(), XPERR_OK);
    EXPECT_EQ(event.TryLock(), XPERR_OK);

    // Every waiter passes once the event is set.
    XpManualEvent gate(false);
    std::atomic<int> passed{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 6; ++i)
        waiters.emplace_back([&] {
            if (gate.Lock() == XPERR_OK)
                ++passed;
        });
    gate.SetOk(true);
    for (std::thread& t : waiters)
        t.join();
    EXPECT_EQ(passed.load(), 6);
}

TEST(XpSyncCoreTest, ListenersAreWokenOncePerSignal)
{
    XpSemaphore wakeups(0, XP_INFINITE_TIMEOUT);
    XpMultiWaiterBase listener(wakeups);
    XpSemaphore watched(0, XP_INFINITE_TIMEOUT);

    watched.AddListener(&listener);
    watched.AddListener(&listener);   // not added twice
    watched.Unlock();
    EXPECT_EQ(wakeups.TryLock(), XPERR_OK);
    EXPECT_EQ(wakeups.TryLock(), XPERR_SYNC_TIMEOUT);

    watched.Unlock();
    watched.Unlock();
    EXPECT_EQ(wakeups.TryLock(), XPERR_OK);
    EXPECT_EQ(wakeups.TryLock(), XPERR_OK);
    EXPECT_EQ(wakeups.TryLock(), XPERR_SYNC_TIMEOUT);

    // Taking a unit signals nothing.
    EXPECT_EQ(watched.TryLock(), XPERR_OK);
    EXPECT_EQ(wakeups.TryLock(), XPERR_SYNC_TIMEOUT);

    watched.RemoveListener(&listener);
    watched.Unlock();
    EXPECT_EQ(wakeups.TryLock(), XPERR_SYNC_TIMEOUT);
    watched.RemoveListener(&listener);   // absent: nothing happens

    // An event wakes its listeners when set, not when reset.
    XpSemaphore eventWakeups(0, XP_INFINITE_TIMEOUT);
    XpMultiWaiterBase eventListener(eventWakeups);
    XpManualEvent event(false);
    event.AddListener(&eventListener);
    event.SetOk(false);
    EXPECT_EQ(eventWakeups.TryLock(), XPERR_SYNC_TIMEOUT);
    event.SetOk(true);
    EXPECT_EQ(eventWakeups.TryLock(), XPERR_OK);
    EXPECT_EQ(eventWakeups.TryLock(), XPERR_SYNC_TIMEOUT);
}

// ---- Threads ----------------------------------------------------------------------------------

void* returnSeven(void*) { return reinterpret_cast<void*>(7); }

void* endWithCode(void* arg)
{
    XpThreadEnd(static_cast<int>(reinterpret_cast<intptr_t>(arg)));
}

void* returnWide(void*) { return reinterpret_cast<void*>(uintptr_t(0x1234567887654321ull)); }

TEST(XpThreadTest, JoinReturnsTheExitValueAs32Bits)
{
    EXPECT_EQ(XpThreadJoinAndFree(nullptr), XPERR_SYNC_INVALID);

    XpThread* t = XpThreadAllocAndBegin(returnSeven, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_NE(t->nativeHandle(), pthread_t(0));
    EXPECT_EQ(XpThreadJoinAndFree(t), 7u);

    t = XpThreadAllocAndBegin(endWithCode, reinterpret_cast<void*>(intptr_t(-2)));
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(XpThreadJoinAndFree(t), 0xFFFFFFFEu);

    t = XpThreadAllocAndBegin(returnWide, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(XpThreadJoinAndFree(t), 0x87654321u);
}

void* waitForGate(void* arg)
{
    static_cast<XpManualEvent*>(arg)->Lock();
    return nullptr;
}

struct SelfJoin {
    XpManualEvent ready{false};
    XpThread* self = nullptr;
    bool currentInside = false;
    uint32_t selfJoin = 0;
};

void* joinMyself(void* arg)
{
    SelfJoin* s = static_cast<SelfJoin*>(arg);
    s->ready.Lock();
    s->currentInside = s->self->IsCurrent();
    s->selfJoin = XpThreadJoinAndFree(s->self);
    return reinterpret_cast<void*>(42);
}

TEST(XpThreadTest, AThreadCannotJoinItself)
{
    SelfJoin s;
    XpThread* t = XpThreadAllocAndBegin(joinMyself, &s);
    ASSERT_NE(t, nullptr);
    s.self = t;
    s.ready.SetOk(true);
    EXPECT_FALSE(t->IsCurrent());
    XpManualEvent gate(true);
    XpThread* other = XpThreadAllocAndBegin(waitForGate, &gate);
    ASSERT_NE(other, nullptr);
    EXPECT_FALSE(*t == *other);
    EXPECT_EQ(XpThreadJoinAndFree(other), 0u);
    // The self-join failed and left the object valid, so joining from here still works.
    EXPECT_EQ(XpThreadJoinAndFree(t), 42u);
    EXPECT_TRUE(s.currentInside);
    EXPECT_EQ(s.selfJoin, XPERR_SYNC_DEADLOCK);
}

TEST(XpThreadTest, DefaultPolicyAllowsOnlyPriorityZero)
{
    XpManualEvent gate(false);
    XpThread* t = XpThreadAllocAndBegin(waitForGate, &gate);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->GetPriority(), 0);
    EXPECT_EQ(t->SetPriority(0), XPERR_OK);
    EXPECT_EQ(t->RaisePriority(), XPERR_SYNC_INVALID_PRIORITY);
    EXPECT_EQ(t->LowerPriority(), XPERR_SYNC_INVALID_PRIORITY);
    EXPECT_EQ(t->SetPriority(5), XPERR_SYNC_INVALID_PRIORITY);
    EXPECT_EQ(t->GetPriority(), 0);
    gate.SetOk(true);
    XpThreadJoinAndFree(t);
}

TEST(XpThreadTest, PriorityStepsFollowTheRealTimePolicy)
{
    XpManualEvent gate(false);
    XpThread* t = XpThreadAllocAndBegin(waitForGate, &gate);
    ASSERT_NE(t, nullptr);
    struct sched_param param = {};
    param.sched_priority = 10;
    int err = pthread_setschedparam(t->nativeHandle(), SCHED_RR, &param);
    if (err != 0) {
        gate.SetOk(true);
        XpThreadJoinAndFree(t);
        GTEST_SKIP() << "SCHED_RR not allowed here (needs root or CAP_SYS_NICE)";
    }
    int minimum = sched_get_priority_min(SCHED_RR), maximum = sched_get_priority_max(SCHED_RR);

    EXPECT_EQ(t->GetPriority(), 10);
    EXPECT_EQ(t->RaisePriority(), XPERR_OK);
    EXPECT_EQ(t->GetPriority(), 11);
    EXPECT_EQ(t->LowerPriority(), XPERR_OK);
    EXPECT_EQ(t->GetPriority(), 10);

    EXPECT_EQ(t->SetPriority(maximum), XPERR_OK);
    EXPECT_EQ(t->RaisePriority(), XPERR_SYNC_INVALID_PRIORITY);
    EXPECT_EQ(t->GetPriority(), maximum);

    EXPECT_EQ(t->SetPriority(minimum), XPERR_OK);
    EXPECT_EQ(t->LowerPriority(), XPERR_SYNC_INVALID_PRIORITY);
    // The policy is kept, so SCHED_OTHER's priority 0 is refused and changes nothing.
    EXPECT_EQ(t->SetPriority(0), XPERR_SYNC_INVALID_PRIORITY);
    EXPECT_EQ(t->GetPriority(), minimum);

    gate.SetOk(true);
    XpThreadJoinAndFree(t);
}

TEST(XpThreadTest, SleepYieldAndCurrentId)
{
    Clock::time_point start = Clock::now();
    XpThreadSleep(0);
    EXPECT_LT(secondsSince(start), 0.5);
    start = Clock::now();
    XpThreadSleep(30);
    EXPECT_GE(secondsSince(start), 0.029);
    XpThreadYield();

    EXPECT_TRUE(pthread_equal(XpGetCurrentNativeThreadID(), pthread_self()));
    pthread_t other = 0;
    onOtherThread([&] { other = XpGetCurrentNativeThreadID(); });
    EXPECT_FALSE(pthread_equal(other, pthread_self()));

}

// Many threads through one critical section and one semaphore: the counts must come out exact,
// and ThreadSanitizer watches the accesses.
struct Hammer {
    XpCriticalSection lock;
    XpSemaphore tokens{2, 2};
    long counter = 0;
    int inside = 0;
    int maxInside = 0;
};

void* hammer(void* arg)
{
    Hammer* h = static_cast<Hammer*>(arg);
    for (int i = 0; i < 2000; ++i) {
        {
            XpSingleLock outer(&h->lock);
            XpSingleLock inner(&h->lock);   // recursive
            ++h->counter;
        }
        if (h->tokens.Lock() == XPERR_OK) {
            {
                XpSingleLock guard(&h->lock);
                ++h->inside;
                if (h->inside > h->maxInside)
                    h->maxInside = h->inside;
            }
            XpThreadYield();
            {
                XpSingleLock guard(&h->lock);
                --h->inside;
            }
            h->tokens.Unlock();
        }
    }
    return nullptr;
}

TEST(XpThreadTest, ManyThreadsThroughSharedObjects)
{
    Hammer h;
    std::vector<XpThread*> threads;
    for (int i = 0; i < 8; ++i) {
        XpThread* t = XpThreadAllocAndBegin(hammer, &h);
        ASSERT_NE(t, nullptr);
        threads.push_back(t);
    }
    for (XpThread* t : threads)
        EXPECT_EQ(XpThreadJoinAndFree(t), 0u);
    EXPECT_EQ(h.counter, 8 * 2000);
    EXPECT_LE(h.maxInside, 2);
    EXPECT_GE(h.maxInside, 1);
    EXPECT_EQ(h.inside, 0);
}

} // namespace
