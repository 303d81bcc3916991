// Shared pointer: lifetimes of object and record, assignments, conversion, copies across threads.
// Records that are never deleted or deleted twice show up under the asan and tsan presets.
#include <XpSharedPtr.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

std::atomic<int> deleted{0};

struct Probe {
    virtual ~Probe() { ++deleted; }
    int value = 7;
};

// No virtual destructor: deleting a Derived through a Base* would skip ~Derived.
struct Base {
    int tag = 1;
};
struct Derived : Base {
    ~Derived() { ++deleted; }
};

int strong(const XpSharedPtr<Probe>& p) { return p.counterRecord()->strongCount.load(); }

TEST(XpSharedPtr, LifetimesAndAssignments)
{
    deleted = 0;
    {
        XpSharedPtr<Probe> empty;   // owns a record, holds nothing
        EXPECT_FALSE(empty);
        EXPECT_EQ(empty.Get(), nullptr);
        EXPECT_EQ(strong(empty), 1);
        EXPECT_EQ(empty.counterRecord()->weakCount.load(), 1);
    }
    EXPECT_EQ(deleted, 0);

    auto* second = new XpSharedPtr<Probe>(new Probe);
    {
        XpSharedPtr<Probe> first(*second);
        EXPECT_EQ(first.counterRecord(), second->counterRecord());
        EXPECT_EQ(strong(first), 2);
        EXPECT_EQ(first->value, 7);
    }
    EXPECT_EQ(deleted, 0);
    EXPECT_EQ(strong(*second), 1);

    // Self-assignment and assignment between sharing copies change no count.
    XpSharedPtr<Probe> copy(*second);
    XpSharedPtr<Probe>& alias = copy;
    copy = alias;
    copy = *second;
    *second = copy;
    EXPECT_EQ(strong(copy), 2);
    EXPECT_EQ(deleted, 0);
    delete second;
    EXPECT_EQ(deleted, 0);

    // An empty pointer assigned to the last owner deletes the object during the assignment.
    copy = XpSharedPtr<Probe>();
    EXPECT_EQ(deleted, 1);
    EXPECT_FALSE(copy);
    EXPECT_EQ(strong(copy), 1);
}

TEST(XpSharedPtr, ConvertingAssignmentKeepsTheRecordAndItsDeleter)
{
    deleted = 0;
    XpSharedPtr<Base> base;
    {
        XpSharedPtr<Derived> derived(new Derived);
        base = derived;
        EXPECT_EQ(base.counterRecord(), derived.counterRecord());
        EXPECT_EQ(base.counterRecord()->strongCount.load(), 2);
        EXPECT_EQ(base.Get(), static_cast<Base*>(derived.Get()));
        XpSharedPtr<Base> constructed(derived);   // the converting copy does the same
        EXPECT_EQ(constructed.counterRecord()->strongCount.load(), 3);
    }
    EXPECT_EQ(deleted, 0);
    EXPECT_EQ(base->tag, 1);
    base = XpSharedPtr<Base>();   // the last holder is a Base pointer: ~Derived still runs
    EXPECT_EQ(deleted, 1);
}

TEST(XpSharedPtr, CopiesOnManyThreadsDeleteOnce)
{
    deleted = 0;
    const int threads = 8, rounds = 40;
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::thread> workers;
        std::atomic<int> ready{0};
        {
            XpSharedPtr<Probe> source(new Probe);
            for (int t = 0; t < threads; ++t)
                workers.emplace_back([&ready, held = source, t]() {
                    ++ready;
                    while (ready.load() < threads + 1)
                        std::this_thread::yield();
                    // Copy, convert and drop on every thread at once; who lets go last varies.
                    std::vector<XpSharedPtr<Probe>> copies(50 + t % 3, held);
                    XpSharedPtr<Probe> assigned;
                    for (auto& c : copies)
                        assigned = c;
                    EXPECT_EQ(assigned->value, 7);
                });
            while (ready.load() < threads)
                std::this_thread::yield();
        }   // main drops its hold while the workers still hold theirs
        ++ready;
        for (auto& w : workers)
            w.join();
        ASSERT_EQ(deleted, round + 1);
    }
}

} // namespace
