// Waits on several waitable objects. No platform call waits on several condition variables, so a
// waiter registers as a listener of every object and sleeps on a semaphore of its own that every
// signal of any object releases once; on each wake-up it tries the objects without waiting. An
// XpMutex can also be freed by another process, whose release signals nothing here, so a list
// holding one is polled: the sleep is cut into short naps, each followed by a round of tries.
#include <XpThread.h>

#include <algorithm>
#include <cstddef>
#include <ctime>

XpMultiWaiterBase::XpMultiWaiterBase(XpSemaphore& semaphore_)
    : semaphore(&semaphore_), error(XPERR_OK), unlockOnDestroy(false)
{
}

XpMultiWaiterBase::~XpMultiWaiterBase() {}

void XpMultiWaiterBase::WakeUp()
{
    semaphore->Unlock();
}

namespace {

const long FIRST_NAP_MILLISECONDS = 1;
const long LONGEST_NAP_MILLISECONDS = 32;

struct timespec realtimeNow()
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);   // cannot fail with a valid clock and pointer
    return now;
}

bool isBefore(const struct timespec& a, const struct timespec& b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// An XpMutex is also freed by other processes, and no signal of theirs reaches us.
bool needsPolling(const std::vector<XpComboSyncObject*>& objects)
{
    for (XpComboSyncObject* object : objects)
        if (dynamic_cast<XpMutex*>(object) != nullptr)
            return true;
    return false;
}

} // namespace

XpErr XpMultiWaiterBase::sleep(unsigned int timeout, PollState* poll)
{
    if (poll == nullptr)
        return semaphore->Lock(timeout);

    struct timespec now = realtimeNow();
    if (!poll->sleeping) {
        // A new sleep: its deadline is the whole second of the time-out convention.
        poll->sleeping = true;
        poll->deadline.tv_sec = now.tv_sec + static_cast<time_t>(timeout);
        poll->deadline.tv_nsec = 0;
        poll->napMilliseconds = FIRST_NAP_MILLISECONDS;
    }
    bool unbounded = timeout == XP_INFINITE_TIMEOUT;
    struct timespec napEnd = now;
    napEnd.tv_nsec += poll->napMilliseconds * 1000000L;
    napEnd.tv_sec += napEnd.tv_nsec / 1000000000L;
    napEnd.tv_nsec %= 1000000000L;
    if (!unbounded && isBefore(poll->deadline, napEnd))
        napEnd = poll->deadline;

    XpErr err = semaphore->lockUntil(napEnd);
    if (err == XPERR_SYNC_TIMEOUT && (unbounded || isBefore(realtimeNow(), poll->deadline))) {
        // Nothing of ours happened, but a process may have freed a mutex: try again, later next time.
        poll->napMilliseconds = std::min(poll->napMilliseconds * 2, LONGEST_NAP_MILLISECONDS);
        return XPERR_OK;
    }
    poll->sleeping = false;   // released, or the deadline passed
    return err;
}

// ---- XpMultiLockOne ----------------------------------------------------------------------------------

namespace {

// The two-object constructors build their list here. Allocation is the only thing that can fail;
// it is reported as the waiter's error instead of an exception leaving the library.
bool makePair(std::vector<XpComboSyncObject*>& list, XpComboSyncObject* first,
              XpComboSyncObject* second)
{
    try {
        list.reserve(2);
    } catch (...) {
        return false;
    }
    list.push_back(first);
    list.push_back(second);
    return true;
}

void addListenerToAll(std::vector<XpComboSyncObject*>& objects, XpMultiWaiterBase* waiter)
{
    for (XpComboSyncObject* object : objects)
        object->AddListener(waiter);
}

void removeListenerFromAll(std::vector<XpComboSyncObject*>& objects, XpMultiWaiterBase* waiter)
{
    for (XpComboSyncObject* object : objects)
        object->RemoveListener(waiter);
}

} // namespace

XpMultiLockOne::XpMultiLockOne(bool unlockOnDestroy_, std::vector<XpComboSyncObject*>& objects,
                               XpSemaphore& semaphore_, unsigned int timeout)
    : XpMultiWaiterBase(semaphore_), lockedIndex(-1), lockedObject(nullptr)
{
    waitOneImpl(unlockOnDestroy_, objects, timeout);
}

XpMultiLockOne::XpMultiLockOne(bool unlockOnDestroy_, XpComboSyncObject* first,
                               XpComboSyncObject* second, XpSemaphore& semaphore_,
                               unsigned int timeout)
    : XpMultiWaiterBase(semaphore_), lockedIndex(-1), lockedObject(nullptr)
{
    std::vector<XpComboSyncObject*> objects;
    if (!makePair(objects, first, second)) {
        unlockOnDestroy = unlockOnDestroy_;
        error = XPERR_NO_MEMORY;
        return;
    }
    waitOneImpl(unlockOnDestroy_, objects, timeout);
}

XpMultiLockOne::~XpMultiLockOne()
{
    if (unlockOnDestroy && lockedObject != nullptr)
        lockedObject->Unlock();
}

void XpMultiLockOne::waitOneImpl(bool unlockOnDestroy_, std::vector<XpComboSyncObject*>& objects,
                                 unsigned int timeout)
{
    unlockOnDestroy = unlockOnDestroy_;
    lockedObject = nullptr;
    lockedIndex = -1;

    // Registered before the first try: a release that happens between a failed try and the sleep
    // is counted in the semaphore and ends the sleep at once.
    PollState pollState;
    PollState* poll = needsPolling(objects) ? &pollState : nullptr;
    addListenerToAll(objects, this);
    for (;;) {
        if (error != XPERR_OK)
            break;
        for (size_t i = 0; i < objects.size(); ++i) {
            if (objects[i]->Lock(0) == XPERR_OK) {
                lockedObject = objects[i];
                lockedIndex = static_cast<int>(i);
                error = XPERR_OK;
                removeListenerFromAll(objects, this);
                return;
            }
        }
        error = sleep(timeout, poll);
    }
    removeListenerFromAll(objects, this);
}

// ---- XpMultiLockAll ----------------------------------------------------------------------------------

XpMultiLockAll::XpMultiLockAll(bool unlockOnDestroy_, std::vector<XpComboSyncObject*>& objects,
                               XpSemaphore& semaphore_, unsigned int timeout)
    : XpMultiWaiterBase(semaphore_)
{
    waitAllImpl(unlockOnDestroy_, objects, timeout);
}

XpMultiLockAll::XpMultiLockAll(bool unlockOnDestroy_, XpComboSyncObject* first,
                               XpComboSyncObject* second, XpSemaphore& semaphore_,
                               unsigned int timeout)
    : XpMultiWaiterBase(semaphore_)
{
    std::vector<XpComboSyncObject*> objects;
    if (!makePair(objects, first, second)) {
        unlockOnDestroy = unlockOnDestroy_;
        error = XPERR_NO_MEMORY;
        return;
    }
    waitAllImpl(unlockOnDestroy_, objects, timeout);
}

XpMultiLockAll::~XpMultiLockAll()
{
    if (!unlockOnDestroy)
        return;
    for (XpComboSyncObject* object : lockedObjects)
        object->Unlock();
}

void XpMultiLockAll::waitAllImpl(bool unlockOnDestroy_, std::vector<XpComboSyncObject*>& objects,
                                 unsigned int timeout)
{
    unlockOnDestroy = unlockOnDestroy_;

    // Everything that can allocate happens before any object is taken, so that running out of
    // memory never leaves objects held that the caller cannot see.
    std::vector<XpComboSyncObject*> pending;
    std::vector<int> pendingIndices;
    try {
        pending = objects;
        pendingIndices.reserve(objects.size());
        for (size_t i = 0; i < objects.size(); ++i)
            pendingIndices.push_back(static_cast<int>(i));
        lockedIndices.reserve(objects.size());
        lockedObjects.reserve(objects.size());
    } catch (...) {
        error = XPERR_NO_MEMORY;
        return;
    }

    PollState pollState;
    PollState* poll = needsPolling(objects) ? &pollState : nullptr;
    addListenerToAll(objects, this);
    while (error == XPERR_OK) {
        for (size_t k = pending.size(); k-- > 0;) {
            if (pending[k]->Lock(0) == XPERR_OK) {
                lockedIndices.push_back(pendingIndices[k]);   // capacity reserved: no throw
                lockedObjects.push_back(pending[k]);
                pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(k));
                pendingIndices.erase(pendingIndices.begin() + static_cast<std::ptrdiff_t>(k));
            }
        }
        if (pending.empty()) {
            error = XPERR_OK;
            break;
        }
        error = sleep(timeout, poll);
    }
    removeListenerFromAll(objects, this);
}
