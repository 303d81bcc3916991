// Reader-writer locks: sharing and exclusion, writer preference, recursion, the extended lock's
// reads by the writer and upgrades, which waits are refused as waiting for the caller itself, and
// stress runs that mix tries with waits. Results = {calls...} lists calls made in that order (a
// braced list is evaluated left to right).
#include <XpThread.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <type_traits>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Results = std::vector<XpErr>;
const XpErr OK = XPERR_OK, BUSY = XPERR_SYNC_TIMEOUT, SELF = XPERR_SYNC_DEADLOCK;

// What another thread gets from a write (or read) lock with the time-out; a granted lock is given
// back at once.
template <class L> XpErr otherTakes(L& lock, bool write, unsigned timeout = 0)
{
    return std::async(std::launch::async, [&] {
        XpErr e = write ? lock.Lock(timeout) : lock.RdLock(timeout);
        if (e == OK)
            lock.Unlock();
        return e;
    }).get();
}

// Waits (at most five seconds) until another thread's write Lock waits: new readers are refused.
template <class L> bool waitUntilWriterWaits(L& lock)
{
    for (int i = 0; i < 2500 && otherTakes(lock, false) == OK; ++i)
        std::this_thread::sleep_for(2ms);
    return otherTakes(lock, false) == BUSY;
}

template <class L> class RwLockBoth : public ::testing::Test {};
using LockTypes = ::testing::Types<XpRwLock, XpRwLockEx>;
TYPED_TEST_SUITE(RwLockBoth, LockTypes);

TYPED_TEST(RwLockBoth, ReadersShareWritersExcludeRecurseAndArePreferred)
{
    TypeParam lock;
    // Unlock on a free lock changes nothing (owes nothing); readers share and keep writers out;
    // a writer keeps readers out, and its two levels need two Unlock calls.
    EXPECT_EQ((Results{lock.Unlock(), lock.RdLock(0), otherTakes(lock, false), otherTakes(lock, true), lock.Unlock(),
                       lock.Lock(0), lock.Lock(), lock.Unlock(), otherTakes(lock, false, 1), lock.Unlock()}),
              (Results{OK, OK, OK, BUSY, OK, OK, OK, OK, BUSY, OK}));

    // A waiting writer holds back new readers; when it gives up they get in with no release, and
    // one that waits on gets in once the last reader leaves.
    ASSERT_EQ(lock.RdLock(0), OK);
    for (unsigned timeout : {2u, XP_INFINITE_TIMEOUT}) {
        auto writer = std::async(std::launch::async, [&] { return otherTakes(lock, true, timeout); });
        ASSERT_TRUE(waitUntilWriterWaits(lock));
        if (timeout == 2)
            EXPECT_EQ(otherTakes(lock, false, 5), OK);
        else
            lock.Unlock();
        EXPECT_EQ(writer.get(), timeout == 2 ? BUSY : OK);
    }
}

TEST(RwLock, PlainRefusesOnlyTheWritersOwnReadExtendedLetsItReadAndTheOnlyReaderUpgrade)
{
    // The plain lock refuses only the writer's own read.
    XpRwLock plain;
    EXPECT_EQ((Results{plain.Lock(0), plain.TryRdLock(), plain.RdLock(XP_INFINITE_TIMEOUT), plain.Unlock()}),
              (Results{OK, BUSY, SELF, OK}));

    XpRwLockEx lock;
    // On the extended lock the writer's read lock is one more write level. The only reader upgrades; its two read locks
    // keep its record until the second Unlock; an Unlock by a thread holding nothing changes nothing.
    auto otherUnlocks = [&] { return std::async(std::launch::async, [&] { return lock.Unlock(); }).get(); };
    EXPECT_EQ((Results{lock.Lock(0), lock.RdLock(0), lock.Unlock(), otherTakes(lock, false), lock.Unlock(),
                       lock.RdLock(0), lock.RdLock(0), lock.Lock(XP_INFINITE_TIMEOUT), otherTakes(lock, false),
                       lock.Unlock(), otherUnlocks(), lock.Unlock(), otherTakes(lock, true), lock.Unlock(),
                       otherTakes(lock, true)}),
              (Results{OK, OK, OK, BUSY, OK, OK, OK, OK, BUSY, OK, OK, OK, BUSY, OK, OK}));

    // Another reader that waits 2 s to upgrade leaves by itself: our second read and our upgrade
    // wait for it. One that waits without limit waits for us: refused.
    for (unsigned timeout : {2u, XP_INFINITE_TIMEOUT}) {
        ASSERT_EQ(lock.RdLock(0), OK);
        std::thread other([&] {
            ASSERT_EQ(lock.RdLock(0), OK);
            if (lock.Lock(timeout) == OK)
                lock.Unlock();
            lock.Unlock();
        });
        ASSERT_TRUE(waitUntilWriterWaits(lock));
        for (XpErr e : {lock.RdLock(XP_INFINITE_TIMEOUT), lock.Lock(5)}) {
            EXPECT_EQ(e, timeout == XP_INFINITE_TIMEOUT ? SELF : OK);
            if (e == OK)
                lock.Unlock();
        }
        lock.Unlock();
        other.join();
    }
}

// Six readers (one only tries; on the extended lock a second read now and then, upgrades that
// try, and from one reader upgrades that wait), a writer that waits without limit (recursion and
// its own reads) and one that only tries, for one second, the invariants checked on every step.
// A refusal is right only for the extended lock's second read while a writer waits without limit
// (for this very reader, so it is still counted waiting when we look); any other is a fault.
template <class L> void stress(bool extended)
{
    L lock;
    std::atomic<int> readers{0}, writers{0}, unboundedWaiting{0}, faults{0};
    std::atomic<bool> stop{false};
    std::vector<long> entries(8, 0);
    auto write = [&](bool unbounded, int readersAllowed) {
        unboundedWaiting += unbounded;
        XpErr e = lock.Lock(unbounded ? XP_INFINITE_TIMEOUT : 0);
        unboundedWaiting -= unbounded;
        faults += e != OK && (unbounded || e != BUSY);
        if (e != OK)
            return false;
        // Recursion, and the writer's own read: a level on the extended lock, refused on the other.
        faults += writers++ != 0 || readers > readersAllowed || lock.Lock(0) != OK || lock.RdLock(1) != (extended ? OK : SELF);
        writers--;
        for (int levels = extended ? 3 : 2; levels-- > 0;)
            lock.Unlock();
        return true;
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (unsigned step = 0; !stop; ++step) {
                if (t >= 6) {
                    entries[t] += write(t == 6, 0);
                    std::this_thread::yield();
                } else if (lock.RdLock(t == 5 ? 0 : XP_INFINITE_TIMEOUT) == OK) {
                    faults += readers++ < 0 || writers != 0;
                    XpErr e = extended && step % 3 == 0 ? lock.RdLock(XP_INFINITE_TIMEOUT) : XPERR_FAILED;
                    faults += e == SELF ? unboundedWaiting == 0 : e != OK && e != XPERR_FAILED;
                    if (e == OK)
                        lock.Unlock();
                    entries[t] += 1 + (extended && step % 5 == 0 && write(t == 0, 1));
                    readers--;
                    lock.Unlock();
                }
            }
        });
    std::this_thread::sleep_for(1s);
    stop = true;
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(faults.load(), 0);
    for (int t = 0; t < 7; ++t)   // all but the writer that only tries got in
        EXPECT_GT(entries[t], 0) << "thread " << t;
    EXPECT_EQ(lock.TryLock(), OK);   // nothing left held
}

TYPED_TEST(RwLockBoth, StressInvariants) { stress<TypeParam>(std::is_same<TypeParam, XpRwLockEx>::value); }

} // namespace
