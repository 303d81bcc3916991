// Reader-writer locks: sharing and exclusion, writer preference, recursion, the extended lock's
// reads by the writer and upgrade, refusal of self-deadlocking calls, and a stress run.
#include <XpThread.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Runs `f` on another thread and returns its result: for asking "what would another thread get".
XpErr onOtherThread(const std::function<XpErr()>& f)
{
    XpErr result = XPERR_FAILED;
    std::thread t([&] { result = f(); });
    t.join();
    return result;
}

// Waits until another thread's write Lock is really waiting: a new reader is then refused. Gives
// up (returns false) after five seconds; a lock that does not prefer writers never refuses.
template <class L> bool waitUntilWriterWaits(L& lock)
{
    auto end = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < end) {
        XpErr err = onOtherThread([&] {
            XpErr e = lock.TryRdLock();
            if (e == XPERR_OK)
                lock.Unlock();
            return e;
        });
        if (err == XPERR_SYNC_TIMEOUT)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

template <class L> class RwLockBoth : public ::testing::Test {};
using LockTypes = ::testing::Types<XpRwLock, XpRwLockEx>;
TYPED_TEST_SUITE(RwLockBoth, LockTypes);

TYPED_TEST(RwLockBoth, ReadersShareWritersExclude)
{
    TypeParam lock;
    ASSERT_EQ(lock.RdLock(0), XPERR_OK);
    EXPECT_EQ(onOtherThread([&] {
        XpErr e = lock.TryRdLock();
        if (e == XPERR_OK)
            lock.Unlock();
        return e;
    }), XPERR_OK);
    EXPECT_EQ(onOtherThread([&] { return lock.TryLock(); }), XPERR_SYNC_TIMEOUT);
    EXPECT_EQ(lock.Unlock(), XPERR_OK);

    ASSERT_EQ(lock.Lock(0), XPERR_OK);
    EXPECT_EQ(onOtherThread([&] { return lock.TryRdLock(); }), XPERR_SYNC_TIMEOUT);
    EXPECT_EQ(onOtherThread([&] { return lock.TryLock(); }), XPERR_SYNC_TIMEOUT);
    // Recursion: two levels need two Unlock calls.
    ASSERT_EQ(lock.Lock(), XPERR_OK);
    EXPECT_EQ(lock.Unlock(), XPERR_OK);
    EXPECT_EQ(onOtherThread([&] { return lock.TryLock(); }), XPERR_SYNC_TIMEOUT);
    EXPECT_EQ(lock.Unlock(), XPERR_OK);
    EXPECT_EQ(onOtherThread([&] {
        XpErr e = lock.TryLock();
        if (e == XPERR_OK)
            lock.Unlock();
        return e;
    }), XPERR_OK);

    // Unlock of a free lock changes nothing: the lock stays free, not "owed" an extra release.
    EXPECT_EQ(lock.Unlock(), XPERR_OK);
    ASSERT_EQ(lock.RdLock(0), XPERR_OK);
    EXPECT_EQ(onOtherThread([&] { return lock.TryLock(); }), XPERR_SYNC_TIMEOUT);
    EXPECT_EQ(lock.Unlock(), XPERR_OK);
    EXPECT_EQ(lock.TryLock(), XPERR_OK);
    lock.Unlock();
}

TYPED_TEST(RwLockBoth, BoundedWaitTimesOut)
{
    TypeParam lock;
    ASSERT_EQ(lock.Lock(0), XPERR_OK);
    auto start = Clock::now();
    EXPECT_EQ(onOtherThread([&] { return lock.RdLock(1); }), XPERR_SYNC_TIMEOUT);
    EXPECT_EQ(onOtherThread([&] { return lock.Lock(1); }), XPERR_SYNC_TIMEOUT);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(3000));
    lock.Unlock();
}

TYPED_TEST(RwLockBoth, WaitingWriterHoldsBackNewReadersAndGetsIn)
{
    TypeParam lock;
    std::atomic<bool> readerMayGo{false};
    std::atomic<bool> readerHolds{false};
    std::thread reader([&] {
        ASSERT_EQ(lock.RdLock(XP_INFINITE_TIMEOUT), XPERR_OK);
        readerHolds = true;
        while (!readerMayGo)
            std::this_thread::yield();
        lock.Unlock();
    });
    while (!readerHolds)
        std::this_thread::yield();

    std::atomic<bool> writerGotIt{false};
    std::thread writer([&] {
        EXPECT_EQ(lock.Lock(XP_INFINITE_TIMEOUT), XPERR_OK);
        writerGotIt = true;
        lock.Unlock();
    });
    // Only a reader holds the lock, yet a new reader is refused once the writer waits.
    EXPECT_TRUE(waitUntilWriterWaits(lock));
    EXPECT_FALSE(writerGotIt);
    readerMayGo = true;
    reader.join();
    writer.join();
    EXPECT_TRUE(writerGotIt);
    EXPECT_EQ(lock.TryRdLock(), XPERR_OK);
    lock.Unlock();
}

TYPED_TEST(RwLockBoth, WriterGivingUpReleasesHeldBackReaders)
{
    // A reader holds; a writer waits with a time-out; a second reader blocks behind the writer.
    // When the writer gives up, the second reader must get in without any other release.
    TypeParam lock;
    ASSERT_EQ(lock.RdLock(0), XPERR_OK);
    std::thread writer([&] { EXPECT_EQ(lock.Lock(2), XPERR_SYNC_TIMEOUT); });
    EXPECT_TRUE(waitUntilWriterWaits(lock));
    XpErr second = onOtherThread([&] {
        XpErr e = lock.RdLock(5);
        if (e == XPERR_OK)
            lock.Unlock();
        return e;
    });
    EXPECT_EQ(second, XPERR_OK);
    writer.join();
    lock.Unlock();
}

TYPED_TEST(RwLockBoth, ReaderAskingAgainWhileWriterWaitsIsRefused)
{
    TypeParam lock;
    ASSERT_EQ(lock.RdLock(0), XPERR_OK);
    // No writer waiting: a second read lock of the same thread is fine.
    ASSERT_EQ(lock.RdLock(XP_INFINITE_TIMEOUT), XPERR_OK);
    lock.Unlock();

    std::atomic<bool> writerDone{false};
    std::thread writer([&] {
        EXPECT_EQ(lock.Lock(XP_INFINITE_TIMEOUT), XPERR_OK);
        writerDone = true;
        lock.Unlock();
    });
    ASSERT_TRUE(waitUntilWriterWaits(lock));
    auto start = Clock::now();
    EXPECT_EQ(lock.RdLock(XP_INFINITE_TIMEOUT), XPERR_SYNC_DEADLOCK);
    EXPECT_EQ(lock.RdLock(30), XPERR_SYNC_DEADLOCK);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(lock.TryRdLock(), XPERR_SYNC_TIMEOUT);
    EXPECT_FALSE(writerDone);
    lock.Unlock();
    writer.join();
    EXPECT_TRUE(writerDone);
}

TEST(RwLock, WriterCannotReadAndReaderCannotWrite)
{
    XpRwLock lock;
    ASSERT_EQ(lock.Lock(0), XPERR_OK);
    EXPECT_EQ(lock.TryRdLock(), XPERR_SYNC_TIMEOUT);
    EXPECT_EQ(lock.RdLock(XP_INFINITE_TIMEOUT), XPERR_SYNC_DEADLOCK);
    EXPECT_EQ(lock.Unlock(), XPERR_OK);
    EXPECT_EQ(onOtherThread([&] { return lock.TryLock(); }), XPERR_OK);   // never released there
    // The other thread's write lock is still held: our read is refused, without deadlock claim.
    EXPECT_EQ(lock.TryRdLock(), XPERR_SYNC_TIMEOUT);
    EXPECT_EQ(lock.RdLock(1), XPERR_SYNC_TIMEOUT);
}

TEST(RwLock, ReaderCannotUpgrade)
{
    XpRwLock lock;
    ASSERT_EQ(lock.RdLock(0), XPERR_OK);
    EXPECT_EQ(lock.TryLock(), XPERR_SYNC_TIMEOUT);
    EXPECT_EQ(lock.Lock(XP_INFINITE_TIMEOUT), XPERR_SYNC_DEADLOCK);
    // The refused writer is no longer waiting: new readers are let in.
    EXPECT_EQ(onOtherThread([&] { return lock.TryRdLock(); }), XPERR_OK);
    // A read lock may be given back by a thread that holds none.
    EXPECT_EQ(onOtherThread([&] { return lock.Unlock(); }), XPERR_OK);
    EXPECT_EQ(lock.Unlock(), XPERR_OK);
    EXPECT_EQ(lock.Unlock(), XPERR_OK);   // nothing left: changes nothing
    EXPECT_EQ(lock.Lock(XP_INFINITE_TIMEOUT), XPERR_OK);
    lock.Unlock();
}

TEST(RwLockEx, WriterReadsAndOnlyReaderUpgrades)
{
    XpRwLockEx lock;
    // The writer's read lock is one more write level.
    ASSERT_EQ(lock.Lock(0), XPERR_OK);
    ASSERT_EQ(lock.RdLock(0), XPERR_OK);
    lock.Unlock();
    EXPECT_EQ(onOtherThread([&] { return lock.TryRdLock(); }), XPERR_SYNC_TIMEOUT);
    lock.Unlock();
    EXPECT_EQ(onOtherThread([&] {
        XpErr e = lock.TryLock();
        if (e == XPERR_OK)
            lock.Unlock();
        return e;
    }), XPERR_OK);

    // The only reader upgrades; while it writes, nobody else reads.
    ASSERT_EQ(lock.RdLock(0), XPERR_OK);
    ASSERT_EQ(lock.Lock(XP_INFINITE_TIMEOUT), XPERR_OK);
    EXPECT_EQ(onOtherThread([&] { return lock.TryRdLock(); }), XPERR_SYNC_TIMEOUT);
    lock.Unlock();   // the write level
    EXPECT_EQ(onOtherThread([&] { return lock.TryLock(); }), XPERR_SYNC_TIMEOUT);
    lock.Unlock();   // the read lock
    EXPECT_EQ(onOtherThread([&] {
        XpErr e = lock.TryLock();
        if (e == XPERR_OK)
            lock.Unlock();
        return e;
    }), XPERR_OK);

    // Unlock by a thread that holds nothing changes nothing.
    ASSERT_EQ(lock.RdLock(0), XPERR_OK);
    EXPECT_EQ(onOtherThread([&] { return lock.Unlock(); }), XPERR_OK);
    EXPECT_EQ(onOtherThread([&] { return lock.TryLock(); }), XPERR_SYNC_TIMEOUT);
    lock.Unlock();
}

TEST(RwLockEx, ReaderKeepsRecordUntilLastUnlock)
{
    XpRwLockEx lock;
    ASSERT_EQ(lock.RdLock(0), XPERR_OK);
    ASSERT_EQ(lock.RdLock(0), XPERR_OK);
    lock.Unlock();
    EXPECT_EQ(onOtherThread([&] { return lock.TryLock(); }), XPERR_SYNC_TIMEOUT);
    lock.Unlock();
    EXPECT_EQ(onOtherThread([&] {
        XpErr e = lock.TryLock();
        if (e == XPERR_OK)
            lock.Unlock();
        return e;
    }), XPERR_OK);
}

TEST(RwLockEx, TwoReadersUpgrading)
{
    XpRwLockEx lock;
    std::atomic<int> stage{0};
    std::atomic<bool> firstUpgraded{false};
    std::thread first([&] {
        ASSERT_EQ(lock.RdLock(0), XPERR_OK);
        stage = 1;
        while (stage < 2)
            std::this_thread::yield();
        // Another reader exists: a try fails, a real wait waits for that reader to leave.
        EXPECT_EQ(lock.TryLock(), XPERR_SYNC_TIMEOUT);
        stage = 3;
        EXPECT_EQ(lock.Lock(XP_INFINITE_TIMEOUT), XPERR_OK);
        firstUpgraded = true;
        lock.Unlock();
        lock.Unlock();
    });
    while (stage < 1)
        std::this_thread::yield();
    ASSERT_EQ(lock.RdLock(0), XPERR_OK);
    EXPECT_EQ(lock.TryLock(), XPERR_SYNC_TIMEOUT);
    stage = 2;
    while (stage < 3)
        std::this_thread::yield();
    ASSERT_TRUE(waitUntilWriterWaits(lock));
    // The first reader waits for us to upgrade; our own upgrade would wait for it: refused.
    EXPECT_EQ(lock.Lock(XP_INFINITE_TIMEOUT), XPERR_SYNC_DEADLOCK);
    EXPECT_FALSE(firstUpgraded);
    lock.Unlock();
    first.join();
    EXPECT_TRUE(firstUpgraded);
}

// ---- Stress: many threads, invariants checked on every step -----------------------------------------

struct Observed {
    std::atomic<int> readers{0};
    std::atomic<int> writers{0};
    std::atomic<int> violations{0};
    std::atomic<bool> stop{false};
};

void enterRead(Observed& o)
{
    o.readers.fetch_add(1);
    if (o.writers.load() != 0)
        o.violations.fetch_add(1);
}
void leaveRead(Observed& o) { o.readers.fetch_sub(1); }
void enterWrite(Observed& o, int ownReads)
{
    if (o.writers.fetch_add(1) != 0 || o.readers.load() != ownReads)
        o.violations.fetch_add(1);
}
void leaveWrite(Observed& o) { o.writers.fetch_sub(1); }

template <class L>
void stress(L& lock, bool extended)
{
    Observed o;
    const int readerThreads = 6, writerThreads = 2;
    std::vector<long> writes(writerThreads, 0);
    std::atomic<long> reads{0}, refused{0};
    std::vector<std::thread> threads;
    for (int r = 0; r < readerThreads; ++r) {
        threads.emplace_back([&, r] {
            unsigned step = static_cast<unsigned>(r);
            while (!o.stop) {
                ++step;
                if (lock.RdLock(XP_INFINITE_TIMEOUT) != XPERR_OK) {
                    o.violations.fetch_add(1);
                    continue;
                }
                enterRead(o);
                // Now and then a second read while holding one: allowed unless a writer waits,
                // when it must be refused instead of deadlocking.
                if (step % 7 == 0) {
                    XpErr e = lock.RdLock(XP_INFINITE_TIMEOUT);
                    if (e == XPERR_OK) {
                        if (o.writers.load() != 0)
                            o.violations.fetch_add(1);
                        lock.Unlock();
                    } else if (e == XPERR_SYNC_DEADLOCK) {
                        refused.fetch_add(1);
                    } else {
                        o.violations.fetch_add(1);
                    }
                }
                // The extended lock: now and then upgrade (a real wait, or a refusal when another
                // reader is already upgrading).
                if (extended && step % 11 == 0) {
                    XpErr e = lock.Lock(XP_INFINITE_TIMEOUT);
                    if (e == XPERR_OK) {
                        enterWrite(o, 1);
                        leaveWrite(o);
                        lock.Unlock();
                    } else if (e == XPERR_SYNC_DEADLOCK) {
                        refused.fetch_add(1);
                    } else {
                        o.violations.fetch_add(1);
                    }
                }
                reads.fetch_add(1);
                leaveRead(o);
                lock.Unlock();
            }
        });
    }
    for (int w = 0; w < writerThreads; ++w) {
        threads.emplace_back([&, w] {
            while (!o.stop) {
                if (lock.Lock(XP_INFINITE_TIMEOUT) != XPERR_OK) {
                    o.violations.fetch_add(1);
                    continue;
                }
                enterWrite(o, 0);
                if (lock.Lock(0) == XPERR_OK)   // recursion
                    lock.Unlock();
                else
                    o.violations.fetch_add(1);
                if (extended) {   // the writer may read
                    if (lock.RdLock(XP_INFINITE_TIMEOUT) == XPERR_OK)
                        lock.Unlock();
                    else
                        o.violations.fetch_add(1);
                }
                ++writes[static_cast<size_t>(w)];
                leaveWrite(o);
                lock.Unlock();
                std::this_thread::yield();
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    o.stop = true;
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(o.violations.load(), 0);
    EXPECT_GT(reads.load(), 0);
    // Six readers keep the lock read-held almost all the time; only writer preference lets the
    // writers in regularly.
    for (long count : writes)
        EXPECT_GE(count, 10);
    EXPECT_EQ(lock.TryLock(), XPERR_OK);
    lock.Unlock();
}

TEST(RwLockStress, RwLockInvariants)   { XpRwLock lock;   stress(lock, false); }
TEST(RwLockStress, RwLockExInvariants) { XpRwLockEx lock; stress(lock, true); }

} // namespace
