// Waits on several objects: which object wins, the order in which all are taken, partial holding
// after a failed wait, wake-ups from other threads, listener clean-up, and a stress run over
// shared objects of every kind.
#include <XpThread.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Objects = std::vector<XpComboSyncObject*>;

// Whether another thread could take the object now (taking and giving it back at once).
bool freeForOthers(XpComboSyncObject& object)
{
    return std::async(std::launch::async, [&] {
        XpErr e = object.TryLock();
        if (e == XPERR_OK)
            object.Unlock();
        return e;
    }).get() == XPERR_OK;
}

TEST(XpMultiLockOne, LowestFreeIndexWinsAndAFailedWaitHoldsNothing)
{
    XpSemaphore a(1, 1), b(1, 1), wake(0, XP_INFINITE_TIMEOUT);
    Objects objects{&a, &b};
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

TEST(XpMultiLockAll, TakesFromTheLastDown)
{
    XpSemaphore a(1, 1), c(1, 1), wake(0, XP_INFINITE_TIMEOUT);
    XpManualEvent b(true);
    {
        Objects objects{&a, &b, &c};
        XpMultiLockAll all(true, objects, wake, 0);
        EXPECT_EQ(all.GetError(), XPERR_OK);
        EXPECT_EQ(all.GetLockedIndice(), (std::vector<int>{2, 1, 0}));
        EXPECT_EQ(a.TryLock(), XPERR_SYNC_TIMEOUT);
        EXPECT_EQ(b.TryLock(), XPERR_OK);   // an event is tested, not consumed
    }
    for (XpComboSyncObject* o : Objects{&a, &b, &c})
        EXPECT_EQ(o->TryLock(), XPERR_OK) << "given back on destroy";
    a.Unlock();
    c.Unlock();

    Objects none;   // at once, nothing held
    XpMultiLockAll empty(true, none, wake, XP_INFINITE_TIMEOUT);
    EXPECT_EQ(empty.GetError(), XPERR_OK);
    EXPECT_TRUE(empty.GetLockedIndice().empty());
    {
        XpMultiLockAll two(false, &a, &c, wake, 0);
        EXPECT_EQ(two.GetLockedIndice(), (std::vector<int>{1, 0}));
    }
    EXPECT_EQ(a.TryLock(), XPERR_SYNC_TIMEOUT);   // not given back without the flag
    EXPECT_EQ(c.TryLock(), XPERR_SYNC_TIMEOUT);
}

TEST(XpMultiLockAll, FailedWaitKeepsWhatItTook)
{
    XpRwLock a, b, c;
    XpSemaphore wake(0, XP_INFINITE_TIMEOUT);
    Objects objects{&a, &b, &c};
    std::thread([&] { ASSERT_EQ(a.Lock(0), XPERR_OK); }).join();   // never given back
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

// Eight threads each need two neighbouring objects of a line (thread i: objects i and i+1), four
// more want any one of all. Every object is exclusive (one-unit semaphore, write lock), so one
// held by two threads at once is a fault. A line, unlike a ring, cannot deadlock even though
// XpMultiLockAll holds what it took while it waits, so with a long time-out every wait must
// succeed; a lost wake-up shows as a time-out.
TEST(XpMultiWaitStress, ManyThreadsOverSharedObjects)
{
    const int pairs = 8, anyOne = 4;
    std::vector<std::unique_ptr<XpComboSyncObject>> objects;
    Objects every;
    for (int i = 0; i <= pairs; ++i) {
        objects.emplace_back(i % 3 == 0 ? static_cast<XpComboSyncObject*>(new XpSemaphore(1, 1))
                             : i % 3 == 1 ? static_cast<XpComboSyncObject*>(new XpRwLock())
                                          : new XpRwLockEx());
        every.push_back(objects.back().get());
    }
    std::vector<std::atomic<int>> holders(objects.size());
    std::atomic<int> violations{0}, failures{0};
    std::atomic<bool> stop{false};
    std::vector<long> rounds(pairs + anyOne, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < pairs + anyOne; ++t) {
        threads.emplace_back([&, t] {
            XpSemaphore wake(0, XP_INFINITE_TIMEOUT);
            Objects mine = t < pairs ? Objects{every[t], every[t + 1]} : every;
            auto hold = [&](bool ok, std::vector<int> taken) {
                if (!ok)
                    return (void)failures.fetch_add(1);
                for (int k : taken)
                    if (holders[k].fetch_add(1) != 0)
                        violations.fetch_add(1);
                std::this_thread::yield();
                for (int k : taken)
                    holders[k].fetch_sub(1);
                ++rounds[t];
            };
            while (!stop) {
                if (t < pairs) {
                    XpMultiLockAll all(true, mine, wake, 10);
                    hold(all.GetError() == XPERR_OK, {t, t + 1});
                } else {
                    XpMultiLockOne one(true, mine, wake, 10);
                    hold(one.GetError() == XPERR_OK && one.GetLockedIndex() >= 0, {one.GetLockedIndex()});
                }
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
