// Waits on several objects: which object wins, the order in which all are taken, partial holding
// after a failed wait, wake-ups from other threads, listener clean-up, and a stress run over
// shared objects of every kind.
#include <XpThread.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Whether another thread could take the object now (taking and giving it back at once).
bool freeForOthers(XpComboSyncObject& object)
{
    XpErr err = XPERR_FAILED;
    std::thread t([&] {
        err = object.TryLock();
        if (err == XPERR_OK)
            object.Unlock();
    });
    t.join();
    return err == XPERR_OK;
}

TEST(XpMultiLockOne, LowestFreeIndexWins)
{
    XpSemaphore a(1, 1), b(1, 1);
    XpSemaphore wake(0, XP_INFINITE_TIMEOUT);
    std::vector<XpComboSyncObject*> objects{&a, &b};
    {
        XpMultiLockOne one(true, objects, wake, 0);
        EXPECT_EQ(one.GetError(), XPERR_OK);
        EXPECT_EQ(one.GetLockedIndex(), 0);
        EXPECT_EQ(a.TryLock(), XPERR_SYNC_TIMEOUT);
        EXPECT_EQ(b.TryLock(), XPERR_OK);   // untouched; now taken by us
        b.Unlock();
    }
    EXPECT_EQ(a.TryLock(), XPERR_OK);   // given back on destroy; keep it taken
    {
        XpMultiLockOne one(false, &a, &b, wake, 0);
        EXPECT_EQ(one.GetError(), XPERR_OK);
        EXPECT_EQ(one.GetLockedIndex(), 1);
    }
    EXPECT_EQ(b.TryLock(), XPERR_SYNC_TIMEOUT);   // not given back without the flag
    {
        auto start = Clock::now();
        XpMultiLockOne one(true, objects, wake, 1);
        EXPECT_EQ(one.GetError(), XPERR_SYNC_TIMEOUT);
        EXPECT_EQ(one.GetLockedIndex(), -1);
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
    }
    // The waiter is gone from the listener lists: releases no longer reach its semaphore.
    a.Unlock();
    b.Unlock();
    EXPECT_EQ(wake.TryLock(), XPERR_SYNC_TIMEOUT);
}

TEST(XpMultiLockOne, WokenByAnotherThreadsRelease)
{
    XpRwLock a;
    XpRwLockEx b;
    XpSemaphore wake(0, 1);
    std::atomic<bool> held{false}, release{false};
    std::thread holder([&] {
        ASSERT_EQ(a.Lock(0), XPERR_OK);
        ASSERT_EQ(b.RdLock(0), XPERR_OK);
        held = true;
        while (!release)
            std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        b.Unlock();   // index 1 becomes free; index 0 stays held
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        a.Unlock();
    });
    while (!held)
        std::this_thread::yield();
    release = true;
    {
        XpMultiLockOne one(true, &a, &b, wake, 10);
        EXPECT_EQ(one.GetError(), XPERR_OK);
        EXPECT_EQ(one.GetLockedIndex(), 1);
        EXPECT_FALSE(freeForOthers(b));   // we hold its write lock
    }
    holder.join();
    EXPECT_TRUE(freeForOthers(a));
    EXPECT_TRUE(freeForOthers(b));
}

TEST(XpMultiLockAll, TakesFromTheLastDown)
{
    XpSemaphore a(1, 1), b(1, 1), c(1, 1);
    XpSemaphore wake(0, XP_INFINITE_TIMEOUT);
    std::vector<XpComboSyncObject*> objects{&a, &b, &c};
    {
        XpMultiLockAll all(true, objects, wake, 0);
        EXPECT_EQ(all.GetError(), XPERR_OK);
        EXPECT_EQ(all.GetLockedIndice(), (std::vector<int>{2, 1, 0}));
        EXPECT_EQ(a.TryLock(), XPERR_SYNC_TIMEOUT);
        EXPECT_EQ(c.TryLock(), XPERR_SYNC_TIMEOUT);
    }
    for (XpSemaphore* s : {&a, &b, &c})
        EXPECT_EQ(s->TryLock(), XPERR_OK) << "given back on destroy";
    for (XpSemaphore* s : {&a, &b, &c})
        s->Unlock();

    // Empty list: at once, nothing held.
    std::vector<XpComboSyncObject*> none;
    XpMultiLockAll empty(true, none, wake, XP_INFINITE_TIMEOUT);
    EXPECT_EQ(empty.GetError(), XPERR_OK);
    EXPECT_TRUE(empty.GetLockedIndice().empty());

    // The two-object form.
    {
        XpMultiLockAll two(false, &a, &b, wake, 0);
        EXPECT_EQ(two.GetError(), XPERR_OK);
        EXPECT_EQ(two.GetLockedIndice(), (std::vector<int>{1, 0}));
    }
    EXPECT_EQ(a.TryLock(), XPERR_SYNC_TIMEOUT);
    EXPECT_EQ(b.TryLock(), XPERR_SYNC_TIMEOUT);
}

TEST(XpMultiLockAll, FailedWaitKeepsWhatItTook)
{
    XpRwLock a, b, c;
    XpSemaphore wake(0, XP_INFINITE_TIMEOUT);
    std::vector<XpComboSyncObject*> objects{&a, &b, &c};
    std::thread holder([&] { ASSERT_EQ(a.Lock(0), XPERR_OK); });   // never given back
    holder.join();
    {
        auto start = Clock::now();
        XpMultiLockAll all(false, objects, wake, 1);
        EXPECT_EQ(all.GetError(), XPERR_SYNC_TIMEOUT);
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
        EXPECT_EQ(all.GetLockedIndice(), (std::vector<int>{2, 1}));
    }
    EXPECT_FALSE(freeForOthers(b));
    EXPECT_FALSE(freeForOthers(c));
    b.Unlock();
    c.Unlock();
    {
        XpMultiLockAll all(true, objects, wake, 1);
        EXPECT_EQ(all.GetError(), XPERR_SYNC_TIMEOUT);
        EXPECT_FALSE(freeForOthers(c));
    }
    EXPECT_TRUE(freeForOthers(b));
    EXPECT_TRUE(freeForOthers(c));
}

TEST(XpMultiLockAll, WaitsForEachAsItBecomesFree)
{
    XpSemaphore a(0, 1);
    XpManualEvent e(false);
    XpSemaphore wake(0, XP_INFINITE_TIMEOUT);
    std::vector<XpComboSyncObject*> objects{&a, &e};
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        e.SetOk(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        a.Unlock();
    });
    {
        XpMultiLockAll all(true, objects, wake, 10);
        EXPECT_EQ(all.GetError(), XPERR_OK);
        EXPECT_EQ(all.GetLockedIndice(), (std::vector<int>{1, 0}));
    }
    releaser.join();
    // The event counted as taken without being consumed, and the destructor's Unlock of an event
    // signals it, which it already was.
    EXPECT_EQ(e.TryLock(), XPERR_OK);
    EXPECT_EQ(a.TryLock(), XPERR_OK);   // given back
}

// ---- Stress ------------------------------------------------------------------------------------------
//
// Threads each need two neighbouring objects of a line (thread i: objects i and i+1). Every
// object is exclusive (semaphore of one unit, mutex, write lock), so an object held by two
// threads at once is a fault. A line, unlike a ring, cannot deadlock even though XpMultiLockAll
// holds what it took while it waits: the last thread's second object is its own. So with a long
// time-out every wait must succeed; a lost wake-up shows as a time-out.

TEST(XpMultiWaitStress, ManyThreadsOverSharedObjects)
{
    const int threadsCount = 8;
    std::vector<std::unique_ptr<XpComboSyncObject>> objects;
    for (int i = 0; i <= threadsCount; ++i) {
        switch (i % 3) {
        case 0: objects.emplace_back(new XpSemaphore(1, 1)); break;
        case 1: objects.emplace_back(new XpRwLock()); break;
        default: objects.emplace_back(new XpRwLockEx()); break;
        }
    }
    std::vector<std::atomic<int>> holders(objects.size());
    std::atomic<int> violations{0}, failures{0};
    std::atomic<bool> stop{false};
    const int anyOneThreads = 4;
    std::vector<long> rounds(threadsCount + anyOneThreads, 0);

    std::vector<std::thread> threads;
    for (int t = 0; t < threadsCount; ++t) {
        threads.emplace_back([&, t] {
            XpSemaphore wake(0, XP_INFINITE_TIMEOUT);
            std::vector<XpComboSyncObject*> mine{objects[t].get(), objects[t + 1].get()};
            while (!stop) {
                XpMultiLockAll all(true, mine, wake, 10);
                if (all.GetError() != XPERR_OK) {
                    failures.fetch_add(1);
                    continue;
                }
                for (int k : {t, t + 1})
                    if (holders[k].fetch_add(1) != 0)
                        violations.fetch_add(1);
                std::this_thread::yield();
                for (int k : {t, t + 1})
                    holders[k].fetch_sub(1);
                ++rounds[t];
            }
        });
    }
    // And threads that want any one of all objects.
    for (int t = 0; t < anyOneThreads; ++t) {
        threads.emplace_back([&, t] {
            XpSemaphore wake(0, XP_INFINITE_TIMEOUT);
            std::vector<XpComboSyncObject*> every;
            for (auto& o : objects)
                every.push_back(o.get());
            while (!stop) {
                XpMultiLockOne one(true, every, wake, 10);
                int k = one.GetLockedIndex();
                if (one.GetError() != XPERR_OK || k < 0) {
                    failures.fetch_add(1);
                    continue;
                }
                if (holders[k].fetch_add(1) != 0)
                    violations.fetch_add(1);
                std::this_thread::yield();
                holders[k].fetch_sub(1);
                ++rounds[threadsCount + t];
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    stop = true;
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(violations.load(), 0);
    EXPECT_EQ(failures.load(), 0);
    for (long r : rounds)
        EXPECT_GT(r, 0);
    for (auto& o : objects)
        EXPECT_TRUE(freeForOthers(*o));
}

} // namespace
