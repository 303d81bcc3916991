// Internal: a fence split between a fast side and a slow side.
//
// XpMutex's release clears the owner and then reads the count of threads waiting for it; a waiter
// counts itself and then tries to become the owner. Each side needs its write seen before its read
// (a full fence), or the release may miss a waiter that then sleeps with the mutex free. On x86 a
// full fence is a locked instruction, about twenty nanoseconds, paid on every release. With
// membarrier(2) the waiter, which is about to sleep anyway, pays for both: its call makes every
// thread of the process that is running pass a full fence, so the release needs none (Write()
// only keeps the compiler from moving its read before its write). Where the kernel refuses
// membarrier (before 4.14, or a seccomp filter), both sides use sequentially consistent writes.
#ifndef _XPASYMMETRICFENCE_H
#define _XPASYMMETRICFENCE_H

#if defined(__linux__)
#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

class _XpAsymmetricFence {
public:
    // Whether the split fence is in use; decided once per process, by whichever side asks first.
    // Not under ThreadSanitizer, which cannot see membarrier's ordering.
    static bool Split()
    {
#if defined(__linux__) && !defined(__SANITIZE_THREAD__)
        static const bool registered =
            syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
        return registered;
#else
        return false;
#endif
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
    static void Heavy()
    {
#if defined(__linux__)
        if (Split())
            syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0);   // cannot fail once registered
#endif
    }
};

#endif
