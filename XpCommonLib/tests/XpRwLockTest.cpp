// Reader-writer locks: sharing and exclusion, writer preference, recursion, the extended lock's
// reads by the writer and upgrade, refusal of self-deadlocking calls, and a stress run.
#include <XpThread.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// What another thread gets from a write (or read) lock with the time-out. A granted lock is given
// back at once unless `keep`: then that ended thread goes on holding it.
template <class L> XpErr otherTakes(L& lock, bool write, unsigned timeout = 0, bool keep = false)
{
    return std::async(std::launch::async, [&] {
        XpErr e = write ? lock.Lock(timeout) : lock.RdLock(timeout);
        if (e == XPERR_OK && !keep)
            lock.Unlock();
        return e;
    }).get();
}

// Waits until another thread's write Lock is really waiting: a new reader is then refused. Gives
// up (returns false) after five seconds; a lock that does not prefer writers never refuses.
template <class L> bool waitUntilWriterWaits(L& lock)
{
    for (auto end = Clock::now() + std::chrono::seconds(5); Clock::now() < end;) {
        if (otherTakes(lock, false) == XPERR_SYNC_TIMEOUT)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

template <class L> class RwLockBoth : public ::testing::Test {};
using LockTypes = ::testing::Types<XpRwLock, XpRwLockEx>;
TYPED_TEST_SUITE(RwLockBoth, LockTypes);

TYPED_TEST(RwLockBoth, ReadersShareWritersExcludeAndRecurse)
{
    TypeParam lock;
    ASSERT_EQ(lock.RdLock(0), XPERR_OK);
    EXPECT_EQ(otherTakes(lock, false), XPERR_OK);
    EXPECT_EQ(otherTakes(lock, true), XPERR_SYNC_TIMEOUT);
    EXPECT_EQ(lock.Unlock(), XPERR_OK);

    ASSERT_EQ(lock.Lock(0), XPERR_OK);
    EXPECT_EQ(otherTakes(lock, false), XPERR_SYNC_TIMEOUT);
    auto start = Clock::now();
    EXPECT_EQ(otherTakes(lock, false, 1), XPERR_SYNC_TIMEOUT);
    EXPECT_EQ(otherTakes(lock, true, 1), XPERR_SYNC_TIMEOUT);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    // Two levels need two Unlock calls.
    ASSERT_EQ(lock.Lock(), XPERR_OK);
    EXPECT_EQ(lock.Unlock(), XPERR_OK);
    EXPECT_EQ(otherTakes(lock, true), XPERR_SYNC_TIMEOUT);
    EXPECT_EQ(lock.Unlock(), XPERR_OK);
    EXPECT_EQ(otherTakes(lock, true), XPERR_OK);

    // Unlock of a free lock changes nothing: the lock stays free, not "owed" an extra release.
    EXPECT_EQ(lock.Unlock(), XPERR_OK);
    ASSERT_EQ(lock.RdLock(0), XPERR_OK);
    EXPECT_EQ(otherTakes(lock, true), XPERR_SYNC_TIMEOUT);
    EXPECT_EQ(lock.Unlock(), XPERR_OK);
    EXPECT_EQ(otherTakes(lock, true), XPERR_OK);
}

TYPED_TEST(RwLockBoth, WaitingWriterHoldsBackNewReaders)
{
    TypeParam lock;
    ASSERT_EQ(lock.RdLock(0), XPERR_OK);
    ASSERT_EQ(lock.RdLock(XP_INFINITE_TIMEOUT), XPERR_OK);   // no writer waiting: fine
    lock.Unlock();

    // A writer waits 3 s: our own second read would wait for it, which waits for us: refused.
    std::thread quitter([&] { EXPECT_EQ(lock.Lock(3), XPERR_SYNC_TIMEOUT); });
    ASSERT_TRUE(waitUntilWriterWaits(lock));
    EXPECT_EQ(lock.RdLock(XP_INFINITE_TIMEOUT), XPERR_SYNC_DEADLOCK);
    EXPECT_EQ(lock.RdLock(30), XPERR_SYNC_DEADLOCK);
    EXPECT_EQ(lock.TryRdLock(), XPERR_SYNC_TIMEOUT);
    // A reader held back behind the writer gets in when the writer gives up, with no release.
    EXPECT_EQ(otherTakes(lock, false, 8), XPERR_OK);
    quitter.join();

    // A writer that waits on gets in once the last reader leaves.
    std::atomic<bool> writerGotIt{false};
    std::thread writer([&] {
        EXPECT_EQ(lock.Lock(XP_INFINITE_TIMEOUT), XPERR_OK);
        writerGotIt = true;
        lock.Unlock();
    });
    ASSERT_TRUE(waitUntilWriterWaits(lock));
    EXPECT_FALSE(writerGotIt);
    lock.Unlock();
    writer.join();
    EXPECT_TRUE(writerGotIt);
    EXPECT_EQ(otherTakes(lock, false), XPERR_OK);
}

TEST(RwLock, WriterCannotReadAndReaderCannotWrite)
{
    XpRwLock lock;
    ASSERT_EQ(lock.Lock(0), XPERR_OK);
    EXPECT_EQ(lock.TryRdLock(), XPERR_SYNC_TIMEOUT);
    EXPECT_EQ(lock.RdLock(XP_INFINITE_TIMEOUT), XPERR_SYNC_DEADLOCK);
    EXPECT_EQ(lock.Unlock(), XPERR_OK);

    ASSERT_EQ(lock.RdLock(0), XPERR_OK);
    EXPECT_EQ(lock.TryLock(), XPERR_SYNC_TIMEOUT);
    EXPECT_EQ(lock.Lock(XP_INFINITE_TIMEOUT), XPERR_SYNC_DEADLOCK);
    // The refused writer is no longer waiting: new readers are let in.
    EXPECT_EQ(otherTakes(lock, false, 0, true), XPERR_OK);
    // Readers are counted, not named: any thread may give a read lock back.
    std::thread([&] { lock.Unlock(); }).join();
    EXPECT_EQ(lock.Unlock(), XPERR_OK);
    EXPECT_EQ(lock.Unlock(), XPERR_OK);   // nothing left: changes nothing

    // Another thread's write lock: our read is refused without a deadlock claim.
    EXPECT_EQ(otherTakes(lock, true, 0, true), XPERR_OK);
    EXPECT_EQ(lock.TryRdLock(), XPERR_SYNC_TIMEOUT);
    EXPECT_EQ(lock.RdLock(1), XPERR_SYNC_TIMEOUT);
}

TEST(RwLockEx, WriterReadsOnlyReaderUpgradesRecordsLastUntilLastUnlock)
{
    XpRwLockEx lock;
    // The writer's read lock is one more write level.
    ASSERT_EQ(lock.Lock(0), XPERR_OK);
    ASSERT_EQ(lock.RdLock(0), XPERR_OK);
    lock.Unlock();
    EXPECT_EQ(otherTakes(lock, false), XPERR_SYNC_TIMEOUT);
    lock.Unlock();
    EXPECT_EQ(otherTakes(lock, true), XPERR_OK);

    // The only reader upgrades; while it writes, nobody else reads.
    ASSERT_EQ(lock.RdLock(0), XPERR_OK);
    ASSERT_EQ(lock.RdLock(0), XPERR_OK);
    ASSERT_EQ(lock.Lock(XP_INFINITE_TIMEOUT), XPERR_OK);
    EXPECT_EQ(otherTakes(lock, false), XPERR_SYNC_TIMEOUT);
    lock.Unlock();   // the write level
    // Two read locks: the record stays until the second Unlock.
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(otherTakes(lock, true), XPERR_SYNC_TIMEOUT);
        lock.Unlock();
    }
    EXPECT_EQ(otherTakes(lock, true), XPERR_OK);

    // Unlock by a thread that holds nothing changes nothing.
    ASSERT_EQ(lock.RdLock(0), XPERR_OK);
    std::thread([&] { lock.Unlock(); }).join();
    EXPECT_EQ(otherTakes(lock, true), XPERR_SYNC_TIMEOUT);
    lock.Unlock();
}

TEST(RwLockEx, TwoReadersUpgrading)
{
    XpRwLockEx lock;
    ASSERT_EQ(lock.RdLock(0), XPERR_OK);
    std::atomic<bool> firstUpgraded{false};
    std::thread first([&] {
        // Another reader exists: a try fails, a real wait waits for that reader to leave.
        ASSERT_EQ(lock.RdLock(0), XPERR_OK);
        EXPECT_EQ(lock.TryLock(), XPERR_SYNC_TIMEOUT);
        EXPECT_EQ(lock.Lock(XP_INFINITE_TIMEOUT), XPERR_OK);
        firstUpgraded = true;
        lock.Unlock();
        lock.Unlock();
    });
    ASSERT_TRUE(waitUntilWriterWaits(lock));
    EXPECT_EQ(lock.TryLock(), XPERR_SYNC_TIMEOUT);
    // The first reader waits for us to leave; our own upgrade would wait for it: refused.
    EXPECT_EQ(lock.Lock(XP_INFINITE_TIMEOUT), XPERR_SYNC_DEADLOCK);
    EXPECT_FALSE(firstUpgraded);
    lock.Unlock();
    first.join();
    EXPECT_TRUE(firstUpgraded);
}

// Six readers (a second read now and then; upgrades on the extended lock) and two writers
// (recursion; reads on the extended lock) for two seconds, the invariants checked on every step.
// Six readers keep the lock read-held almost all the time: only writer preference lets the
// writers in regularly.
template <class L> void stress(bool extended)
{
    L lock;
    std::atomic<int> readers{0}, writers{0}, violations{0};
    std::atomic<bool> stop{false};
    std::vector<long> passes(8, 0);
    auto fault = [&](bool bad) { violations.fetch_add(bad ? 1 : 0); };
    // A reader's second read, or upgrade: refused when it would wait for the caller itself.
    auto nested = [&](XpErr e, bool write) {
        fault(e != XPERR_OK && e != XPERR_SYNC_DEADLOCK);
        if (e != XPERR_OK)
            return;
        if (write)
            fault(writers.fetch_add(1) != 0 || readers.load() != 1), writers.fetch_sub(1);
        else
            fault(writers.load() != 0);
        lock.Unlock();
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            bool writer = t >= 6;
            for (unsigned step = static_cast<unsigned>(t); !stop; ++step) {
                XpErr e = writer ? lock.Lock(XP_INFINITE_TIMEOUT) : lock.RdLock(XP_INFINITE_TIMEOUT);
                fault(e != XPERR_OK);
                if (e != XPERR_OK)
                    continue;
                if (writer) {
                    fault(writers.fetch_add(1) != 0 || readers.load() != 0);
                    // Recursion, and on the extended lock the writer's read: each one more level.
                    int levels = (lock.Lock(0) == XPERR_OK) + (extended && lock.RdLock(0) == XPERR_OK);
                    fault(levels != (extended ? 2 : 1));
                    while (levels-- > 0)
                        lock.Unlock();
                    writers.fetch_sub(1);
                } else {
                    readers.fetch_add(1);
                    fault(writers.load() != 0);
                    if (step % 7 == 0)
                        nested(lock.RdLock(XP_INFINITE_TIMEOUT), false);
                    if (extended && step % 11 == 0)
                        nested(lock.Lock(XP_INFINITE_TIMEOUT), true);
                    readers.fetch_sub(1);
                }
                ++passes[static_cast<size_t>(t)];
                lock.Unlock();
                if (writer)
                    std::this_thread::yield();
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    stop = true;
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(violations.load(), 0);
    for (int t = 0; t < 8; ++t)
        EXPECT_GE(passes[static_cast<size_t>(t)], t >= 6 ? 10 : 1) << "thread " << t;
    EXPECT_EQ(lock.TryLock(), XPERR_OK);
    lock.Unlock();
}

TEST(RwLockStress, RwLockInvariants)   { stress<XpRwLock>(false); }
TEST(RwLockStress, RwLockExInvariants) { stress<XpRwLockEx>(true); }

} // namespace
