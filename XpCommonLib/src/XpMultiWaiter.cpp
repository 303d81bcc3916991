// Waits on several waitable objects. No platform call waits on several condition variables, so a
// waiter registers as a listener of every object and sleeps on a semaphore of its own that every
// signal of any object releases once; on each wake-up it tries the objects without waiting.
#include <XpThread.h>

XpMultiWaiterBase::XpMultiWaiterBase(XpSemaphore& semaphore_)
    : semaphore(&semaphore_), error(XPERR_OK), unlockOnDestroy(false)
{
}

XpMultiWaiterBase::~XpMultiWaiterBase() {}

void XpMultiWaiterBase::WakeUp()
{
    semaphore->Unlock();
}
