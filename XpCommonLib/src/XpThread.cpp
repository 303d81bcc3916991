// Portable half of the threading module: the waitable base's lock shape and listeners, the scoped
// lock, ownership records, and the in-process semaphore and manual event.
//
// Every waitable operation has one shape: take the internal lock, wait on the condition while the
// object's busy test says no (a failed wait ends the loop with its result), change the counts,
// release. Every release changes the counts under the internal lock and signals.
#include <XpThread.h>

#include <algorithm>

XpSyncObject::~XpSyncObject() {}

// ---- XpComboSyncObject ---------------------------------------------------------------------------

XpErr XpComboSyncObject::Lock()    { return Lock(XP_INFINITE_TIMEOUT); }
XpErr XpComboSyncObject::TryLock() { return Lock(0); }

void XpComboSyncObject::AddListener(XpMultiWaiterBase* listener)
{
    XpSingleLock guard(&internalLock);
    if (std::find(listeners.begin(), listeners.end(), listener) == listeners.end())
        listeners.push_back(listener);
}

void XpComboSyncObject::RemoveListener(XpMultiWaiterBase* listener)
{
    XpSingleLock guard(&internalLock);
    auto it = std::find(listeners.begin(), listeners.end(), listener);
    if (it != listeners.end())
        listeners.erase(it);
}

void XpComboSyncObject::unlockHook()
{
    for (XpMultiWaiterBase* listener : listeners)
        listener->WakeUp();
}

// ---- XpSingleLock ----------------------------------------------------------------------------------

XpSingleLock::XpSingleLock(XpSyncObject* object_)
    : object(object_), error(object_ ? object_->Lock() : XPERR_OK)
{
}

XpSingleLock::XpSingleLock(XpComboSyncObject* object_, unsigned int timeout)
    : object(object_), error(object_ ? object_->Lock(timeout) : XPERR_OK)
{
}

XpSingleLock::~XpSingleLock()
{
    if (object != nullptr && error == XPERR_OK)
        object->Unlock();
}

// ---- XpThreadRecord ----------------------------------------------------------------------------------

bool XpThreadRecord::isSameThread(pthread_t id) const
{
    if (thread == 0)
        return false;
    return pthread_equal(thread, id) != 0;
}

// ---- XpSemaphore -----------------------------------------------------------------------------------

XpSemaphore::XpSemaphore(unsigned int initialCount, unsigned int maximumCount)
    : count(initialCount), maximum(maximumCount)
{
}

XpSemaphore::~XpSemaphore() {}

XpErr XpSemaphore::Lock(unsigned int timeout)
{
    XpSingleLock guard(&internalLock);
    XpErr err = XPERR_OK;
    while (err == XPERR_OK && count == 0)
        err = waitCondition(timeout);
    if (err == XPERR_OK)
        --count;
    return err;
}

XpErr XpSemaphore::Unlock()
{
    XpSingleLock guard(&internalLock);
    if (count < maximum || maximum == XP_INFINITE_TIMEOUT)
        ++count;
    if (count != 0)
        signalCondition();
    return XPERR_OK;
}

// ---- XpManualEvent ------------------------------------------------------------------------------------

XpManualEvent::XpManualEvent(bool initialState) : state(initialState) {}

XpManualEvent::~XpManualEvent() {}

XpErr XpManualEvent::Lock(unsigned int timeout)
{
    XpSingleLock guard(&internalLock);
    XpErr err = XPERR_OK;
    while (err == XPERR_OK && !state)
        err = waitCondition(timeout);
    return err;
}

XpErr XpManualEvent::Unlock()
{
    SetOk(true);
    return XPERR_OK;
}

void XpManualEvent::SetOk(bool signalled)
{
    XpSingleLock guard(&internalLock);
    state = signalled;
    if (state)
        signalCondition();
}
