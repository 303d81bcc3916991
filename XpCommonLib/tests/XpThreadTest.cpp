// Synchronization core, semaphore and manual event, threads, and waits on several objects (which
// object wins, the order in which all are taken, partial holding after a failed wait, listener
// clean-up, a stress run over shared objects of every kind; a wait over a mutex that another
// process holds is in XpMutexTest).
//
// Results = {calls...} lists calls made in that order (a braced list is evaluated left to right).
#include <XpThread.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace {

using Results = std::vector<XpErr>;
const XpErr OK = XPERR_OK, BUSY = XPERR_SYNC_TIMEOUT;

// The result of `body` run on another thread.
template <typename F> auto onOtherThread(F body) { return std::async(std::launch::async, body).get(); }

TEST(XpSyncCoreTest, RecursionScopedLocksUnitsUpToTheMaximumSignalledEventsAndListeners)
{
    // On a busy object 0 never waits, and 1 gives up within the second. First, so that no
    // earlier wait has brought the clock to a whole second.
    XpSemaphore busy(0, 1);
    for (unsigned t : {0u, 1u}) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(busy.Lock(t), BUSY);
        std::chrono::duration<double> waited = std::chrono::steady_clock::now() - start;
        EXPECT_LE(waited.count(), t + 0.1) << t;
    }

    XpCriticalSection cs;
    XpSyncObject& object = cs;   // the exported calls, through the virtual table
    auto otherTries = [&] { return onOtherThread([&] { return cs.TryLock() == OK && cs.Unlock() == OK; }); };
    EXPECT_EQ((Results{cs.Lock(), object.Lock(), cs.TryLock(), cs.Unlock(), object.Unlock()}), Results(5, OK));
    EXPECT_FALSE(otherTries());   // three locks need three unlocks
    EXPECT_EQ(cs.Unlock(), OK);
    EXPECT_TRUE(otherTries());
#if !defined(__SANITIZE_THREAD__)   // ThreadSanitizer reports this deliberate misuse as a bug
    EXPECT_EQ(cs.Unlock(), XPERR_SYNC_NOT_OWNER);
#endif

    // The scoped lock: null objects lock nothing; a failed lock gives back nothing (a release here
    // would let the TryLock through); a lock that succeeded is given back.
    XpSemaphore sem(1, 1);
    {
        XpSingleLock none(static_cast<XpSyncObject*>(nullptr)), guard(&sem, 0), timedNone(nullptr, 0);
        EXPECT_EQ((Results{none.GetError(), timedNone.GetError(), XpSingleLock(&sem, 0).GetError(), sem.TryLock()}),
                  (Results{OK, OK, BUSY, BUSY}));
    }
    EXPECT_EQ(sem.TryLock(), OK);

    // Semaphores, events and listeners.
    XpSemaphore binary(0, 1), never(0, 0), over(2, 1), wide(0xFFFFFFFFu, XP_INFINITE_TIMEOUT);
    // A release beyond the maximum is dropped, the maximum 0 allows no unit, the initial count is
    // not compared with the maximum, and the count is 64-bit (one more unit is not wrapped to 0).
    binary.Unlock(), binary.Unlock(), never.Unlock(), wide.Unlock();
    EXPECT_EQ((Results{binary.TryLock(), binary.TryLock(), never.TryLock(), over.TryLock(),
                       over.TryLock(), over.TryLock(), wide.TryLock()}),
              (Results{OK, BUSY, BUSY, OK, OK, BUSY, OK}));

    // An event lets every waiter pass once set and stays set until reset.
    XpManualEvent event(false);
    std::vector<std::future<XpErr>> waiters;
    for (int i = 0; i < 6; ++i)
        waiters.push_back(std::async(std::launch::async, [&] { return event.Lock(); }));
    event.SetOk(true);
    for (auto& waiter : waiters)
        EXPECT_EQ(waiter.get(), OK);
    // Waiting consumes nothing; a reset holds waiters back again, and Unlock sets the event.
    EXPECT_EQ((Results{event.TryLock(), (event.SetOk(false), event.TryLock()), event.Unlock(), event.TryLock()}),
              (Results{OK, BUSY, OK, OK}));

    // Listeners are woken once per signal.
    XpSemaphore wakeups(0, XP_INFINITE_TIMEOUT), watched(0, XP_INFINITE_TIMEOUT);
    XpMultiWaiterBase listener(wakeups);
    watched.AddListener(&listener);
    event.AddListener(&listener);
    // A release and a set signal; taking a unit and a reset do not.
    watched.Unlock(), watched.TryLock(), event.SetOk(false), event.SetOk(true);
    EXPECT_EQ((Results{wakeups.TryLock(), wakeups.TryLock(), wakeups.TryLock()}), (Results{OK, OK, BUSY}));
    watched.RemoveListener(&listener);
    watched.Unlock();
    EXPECT_EQ(wakeups.TryLock(), BUSY);
}

// ---- Threads ----------------------------------------------------------------------------------

void* returnArgument(void* arg) { return arg; }
void* endWithArgument(void* arg) { XpThreadEnd(static_cast<int>(reinterpret_cast<intptr_t>(arg))); }
void* waitForEvent(void* event) { return reinterpret_cast<void*>(uintptr_t(static_cast<XpManualEvent*>(event)->Lock())); }

XpThread* joiner = nullptr;
XpManualEvent joinerKnown(false);

// Exit value 42 when joining itself is refused and the thread knows itself as current.
void* joinMyself(void*)
{
    joinerKnown.Lock();
    return reinterpret_cast<void*>(joiner->IsCurrent() && XpThreadJoinAndFree(joiner) == XPERR_SYNC_DEADLOCK ? 42 : 1);
}

TEST(XpThreadTest, JoinReturnsTheExitValueAs32BitsButNotToTheThreadItself)
{
    EXPECT_EQ(XpThreadJoinAndFree(nullptr), XPERR_SYNC_INVALID);
    const struct { void* (*function)(void*); uintptr_t argument; uint32_t exit; } rows[] = {
        {joinMyself, 0, 42u}, {endWithArgument, uintptr_t(-2), 0xFFFFFFFEu}, {returnArgument, uintptr_t(0x1234567887654321ull), 0x87654321u}};
    for (const auto& row : rows) {
        XpThread* t = XpThreadAllocAndBegin(row.function, reinterpret_cast<void*>(row.argument));
        ASSERT_NE(t, nullptr);
        joiner = t;
        joinerKnown.SetOk(true);
        EXPECT_EQ(XpThreadJoinAndFree(t), row.exit);   // after a refused self-join, too
    }
}

TEST(XpThreadTest, PriorityChangesKeepThePolicyAndMapItsRefusals)
{
    XpManualEvent gate(false);
    XpThread* t = XpThreadAllocAndBegin(waitForEvent, &gate);
    ASSERT_NE(t, nullptr);
    // SCHED_OTHER allows only 0; under SCHED_FIFO and SCHED_RR steps work up to the maximum, and
    // 0 is refused.
    const XpErr BAD = XPERR_SYNC_INVALID_PRIORITY;
    EXPECT_EQ((Results{t->SetPriority(0), t->RaisePriority(), t->LowerPriority(), t->SetPriority(5)}),
              (Results{OK, BAD, BAD, BAD}));
    bool realTime = true;
    for (int policy : {SCHED_FIFO, SCHED_RR}) {
        struct sched_param param = {sched_get_priority_max(policy) - 1};
        realTime = realTime && pthread_setschedparam(t->nativeHandle(), policy, &param) == 0;
        if (!realTime)
            break;
        EXPECT_EQ((Results{t->LowerPriority(), t->RaisePriority(), t->RaisePriority(), t->RaisePriority(), t->SetPriority(0)}),
                  (Results{OK, OK, OK, BAD, BAD})) << policy;
        int now = -1;
        EXPECT_TRUE(pthread_getschedparam(t->nativeHandle(), &now, &param) == 0 && now == policy) << policy;
        EXPECT_EQ(t->GetPriority(), sched_get_priority_max(policy)) << policy;
    }
    gate.SetOk(true);
    XpThreadJoinAndFree(t);
    if (!realTime)
        GTEST_SKIP() << "real-time policies not allowed here (needs root or CAP_SYS_NICE)";
}

// ---- Waits on several objects ----------------------------------------------------------------

using Objects = std::vector<XpComboSyncObject*>;

// Whether another thread could take the object now (taking and giving it back at once).
bool freeForOthers(XpComboSyncObject& o) { return onOtherThread([&] { return o.TryLock() == OK && o.Unlock() == OK; }); }

TEST(XpMultiWait, WhichObjectsAreTakenAndKept)
{
    XpSemaphore a(1, 1), wake(0, XP_INFINITE_TIMEOUT);
    XpManualEvent b(true);
    XpRwLock c;
    Objects objects{&a, &b, &c}, empty;
    using Indices = std::vector<int>;
    // One: the lowest free index wins, and without the flag nothing is given back.
    EXPECT_EQ(XpMultiLockOne(true, objects, wake, 0).GetLockedIndex(), 0);
    EXPECT_EQ(XpMultiLockOne(false, &a, &c, wake, 0).GetLockedIndex(), 0);
    EXPECT_EQ(XpMultiLockOne(false, &a, &c, wake, 0).GetLockedIndex(), 1);
    EXPECT_FALSE(freeForOthers(a) || freeForOthers(c));
    a.Unlock(), c.Unlock();
    {
        // All: taken from the last down, an event only tested; all given back with the flag.
        XpMultiLockAll all(true, objects, wake, 0);
        EXPECT_EQ(all.GetLockedIndice(), (Indices{2, 1, 0}));
        EXPECT_TRUE(!freeForOthers(a) && freeForOthers(b));
    }
    EXPECT_TRUE(freeForOthers(a) && freeForOthers(b) && freeForOthers(c));
    EXPECT_EQ(XpMultiLockAll(true, empty, wake, XP_INFINITE_TIMEOUT).GetError(), OK);

    // A failed wait: One holds nothing, All keeps what it took (given back only with the flag).
    ASSERT_EQ(a.TryLock(), OK);
    XpMultiLockOne none(true, &a, &a, wake, 1);   // the held object, twice
    EXPECT_TRUE(none.GetError() == BUSY && none.GetLockedIndex() == -1);
    EXPECT_EQ(XpMultiLockAll(false, objects, wake, 1).GetLockedIndice(), (Indices{2, 1}));
    EXPECT_FALSE(freeForOthers(c));
    c.Unlock();
    // The waiters are gone from the listener lists: releases no longer reach their semaphore.
    a.Unlock();
    EXPECT_EQ(wake.TryLock(), BUSY);
}

// Six threads each need two neighbouring objects of a line (thread i: objects i and i+1), three
// more want any one of all. Every object is exclusive (one-unit semaphore, write lock), so one
// held by two threads at once is a fault. A line, unlike a ring, cannot deadlock even though a
// wait for all holds what it took, so with a long time-out every wait must succeed: a lost
// wake-up shows as a time-out.
TEST(XpMultiWait, ManyThreadsOverSharedObjects)
{
    XpSemaphore s0(1, 1), s1(1, 1), s2(1, 1);
    XpRwLock r0, r1;
    XpRwLockEx x0, x1;
    Objects every{&s0, &r0, &x0, &s1, &r1, &x1, &s2}, none;
    std::vector<std::atomic<int>> holders(every.size());
    std::atomic<int> faults{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 9; ++t)
        threads.emplace_back([&, t] {
            XpSemaphore wake(0, XP_INFINITE_TIMEOUT);
            Objects pair = t < 6 ? Objects{every[t], every[t + 1]} : none;
            while (!stop) {
                XpMultiLockAll all(true, pair, wake, 10);
                XpMultiLockOne one(true, t < 6 ? none : every, wake, t < 6 ? 0 : 10);
                std::vector<int> taken = t < 6 ? std::vector<int>{t, t + 1} : std::vector<int>{one.GetLockedIndex()};
                faults += all.GetError() != OK || (t >= 6 && one.GetError() != OK);
                for (int k : taken)
                    faults += k < 0 || holders[k]++ != 0;
                std::this_thread::yield();
                for (int k : taken)
                    holders[k]--;
            }
        });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    stop = true;
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(faults.load(), 0);
    for (XpComboSyncObject* o : every)
        EXPECT_TRUE(freeForOthers(*o));
}

} // namespace
