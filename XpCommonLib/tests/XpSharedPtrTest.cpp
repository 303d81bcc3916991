// Shared pointer: lifetimes of object and record, assignments, conversion, copies across threads.
// Records never deleted or deleted twice show up under the asan and tsan presets.
#include <XpSharedPtr.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

std::atomic<int> deleted{0};

struct Probe { virtual ~Probe() { ++deleted; } int value = 7; };
// No virtual destructor: deleting a Derived through a Base* would skip ~Derived.
struct Base { int tag = 1; };
struct Derived : Base { ~Derived() { ++deleted; } };

template <typename T> int strong(const XpSharedPtr<T>& p) { return p.counterRecord()->strongCount; }

TEST(XpSharedPtr, LifetimesAssignmentsAndCopiesOnManyThreads)
{
    deleted = 0;
    auto* second = new XpSharedPtr<Probe>(new Probe);
    XpSharedPtr<Probe> copy(*second);
    XpSharedPtr<Probe>& alias = copy;
    copy = alias;   // self-assignment and assignment between copies change no count
    copy = *second;
    *second = copy;
    EXPECT_EQ(strong(copy), 2);   // one record for both
    delete second;
    EXPECT_TRUE(deleted == 0 && copy->value == 7);   // the copy still holds it
    copy = XpSharedPtr<Probe>();   // the last owner lets go during the assignment
    EXPECT_EQ(deleted, 1);
    EXPECT_TRUE(!copy && copy.Get() == nullptr && strong(copy) == 1);   // an empty one has a record too

    XpSharedPtr<Base> base;
    {
        XpSharedPtr<Derived> derived(new Derived);
        base = derived;
        XpSharedPtr<Base> constructed(derived);
        EXPECT_EQ(strong(base), 3);   // one record for the three
    }
    EXPECT_EQ(deleted, 1);
    base = XpSharedPtr<Base>();   // the last holder is a Base pointer, yet ~Derived runs
    EXPECT_EQ(deleted, 2);

    deleted = 0;
    const int threads = 8, rounds = 40;
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::thread> workers;
        std::atomic<int> ready{0};
        {
            XpSharedPtr<Probe> source(new Probe);
            for (int t = 0; t < threads; ++t)
                workers.emplace_back([&ready, held = source, t]() {
                    for (++ready; ready < threads + 1;)
                        std::this_thread::yield();
                    // Copy and drop on every thread at once; who lets go last varies.
                    std::vector<XpSharedPtr<Probe>> copies(50 + t % 3, held);
                    XpSharedPtr<Probe> assigned;
                    for (auto& c : copies)
                        assigned = c;
                    EXPECT_EQ(assigned->value, 7);
                });
            while (ready < threads)
                std::this_thread::yield();
        }   // main drops its hold while the workers hold theirs
        ++ready;
        for (auto& w : workers)
            w.join();
        ASSERT_EQ(deleted, round + 1);
    }
}

} // namespace
