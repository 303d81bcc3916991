// The platform half of _XpAsymmetricFence: membarrier(2), registered once per process.
#include "_XpAsymmetricFence.h"

#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>

int _XpAsymmetricFence::splitState = -1;

bool _XpAsymmetricFence::Decide()
{
#if !defined(__SANITIZE_THREAD__)
    static const bool registered =
        syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
#else
    static const bool registered = false;   // ThreadSanitizer cannot see membarrier's ordering
#endif
    __atomic_store_n(&splitState, registered ? 1 : 0, __ATOMIC_RELAXED);
    return registered;
}

void _XpAsymmetricFence::Heavy()
{
    if (Split())
        syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0);   // cannot fail once registered
}
