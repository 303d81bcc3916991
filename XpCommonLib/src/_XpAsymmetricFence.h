// Internal: a fence split between a fast side and a slow side.
//
// XpMutex's release clears the owner and then reads the count of threads waiting for it; a waiter
// counts itself and then tries to become the owner. Each side needs its write seen before its read
// (a full fence), or the release may miss a waiter that then sleeps with the mutex free. On x86 a
// full fence is a locked instruction, about twenty nanoseconds, paid on every release. Where the
// system can make every running thread of the process pass a full fence at once (membarrier(2) on
// Linux), the waiter, which is about to sleep anyway, pays for both, so the release needs none
// (Write() only keeps the compiler from moving its read before its write). Where it cannot (Linux
// before 4.14, a seccomp filter, ThreadSanitizer, which cannot see that ordering), both sides use
// sequentially consistent writes.
//
// The fast side stays inline here, in portable code: it only reads the decision, made once per
// process by the platform half (linux/_XpAsymmetricFence_Linux.cpp), which also does the slow side.
#ifndef _XPASYMMETRICFENCE_H
#define _XPASYMMETRICFENCE_H

class _XpAsymmetricFence {
public:
    // Whether the split fence is in use; decided once per process, by whichever side asks first.
    static bool Split()
    {
        int state = __atomic_load_n(&splitState, __ATOMIC_RELAXED);
        return state >= 0 ? state != 0 : Decide();
    }

    // The fast side's write, which its read must follow: a plain release store when the fence is
    // split (the compiler only is kept from moving the read above it), else a sequentially
    // consistent one, which the slow side's sequentially consistent operations are ordered with.
    template <class T> static void Write(T* place, T value)
    {
        if (Split()) {
            __atomic_store_n(place, value, __ATOMIC_RELEASE);
            __atomic_signal_fence(__ATOMIC_SEQ_CST);
        } else {
            __atomic_store_n(place, value, __ATOMIC_SEQ_CST);
        }
    }

    // The slow side, between its (sequentially consistent) write and its read.
    static void Heavy();

private:
    // -1 until decided, then 1 (split) or 0. Every thread that reads -1 asks Decide(), which
    // answers the same for all, so no side ever acts on a different decision than the other.
    static int splitState;
    static bool Decide();
};

#endif
