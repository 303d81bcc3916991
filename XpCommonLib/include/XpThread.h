// XpThread: threads, synchronization objects and waits on several objects.
//
// Time-outs of every Lock(unsigned int), RdLock(unsigned int) and wait count whole seconds:
// 0 does not wait, 0xFFFFFFFF waits without limit. A bounded wait ends at a deadline taken when
// it starts, as the current calendar second plus the time-out, so a wait of t seconds lasts more
// than t - 1 and at most t seconds. XpThreadSleep alone counts milliseconds.
//
// Sync objects hold platform objects and are never copied or assigned.
#ifndef XPTHREAD_H
#define XPTHREAD_H

#include <XpCommonLib.h>
#include <pthread.h>
#include <vector>

#define XP_INFINITE_TIMEOUT 0xFFFFFFFFu

// Maps a POSIX thread error number: 0 -> XPERR_OK, EPERM -> XPERR_SYNC_NOT_OWNER,
// EBUSY and ETIMEDOUT -> XPERR_SYNC_TIMEOUT, EINVAL -> XPERR_SYNC_INVALID,
// anything else -> XPERR_SYNC_FAILED.
XP_API XpErr xperrFromPthreadErr(int err);

// The abstract lockable object.
class XP_API XpSyncObject {
public:
    XpSyncObject() = default;
    XpSyncObject(const XpSyncObject&) = delete;
    XpSyncObject& operator=(const XpSyncObject&) = delete;

    // Blocks until the caller holds the object.
    virtual XpErr Lock() = 0;
    // Gives the object back.
    virtual XpErr Unlock() = 0;
    // Takes the object only if that needs no wait; XPERR_SYNC_TIMEOUT when it is taken.
    virtual XpErr TryLock() = 0;
    virtual ~XpSyncObject();
};

// In-process recursive lock: the owning thread may lock again, each Lock needs its Unlock.
class XP_API XpCriticalSection : public XpSyncObject {
public:
    XpCriticalSection();
    XpErr Lock() override;
    // XPERR_SYNC_NOT_OWNER when the calling thread does not hold the lock.
    XpErr Unlock() override;
    // XPERR_SYNC_TIMEOUT when another thread holds the lock.
    XpErr TryLock() override;
    ~XpCriticalSection() override;

    // The underlying mutex, for condition waits of the synchronization objects.
    pthread_mutex_t* nativeHandle() { return &mutex; }

private:
    pthread_mutex_t mutex;
};

class XpSemaphore;

// One thread waiting for several waitable objects (see XpMultiLockOne / XpMultiLockAll). Waitable
// objects keep these as listeners and wake each one on every signal, which releases the waiter's
// semaphore once.
class XP_API XpMultiWaiterBase {
public:
    XpMultiWaiterBase(XpSemaphore& semaphore);
    XpMultiWaiterBase(const XpMultiWaiterBase&) = delete;
    XpMultiWaiterBase& operator=(const XpMultiWaiterBase&) = delete;
    virtual ~XpMultiWaiterBase();

    // Releases the waiter's semaphore once.
    void WakeUp();
    // XPERR_OK, or the failure of the wait (XPERR_SYNC_TIMEOUT when a sleep timed out).
    XpErr GetError() const { return error; }

protected:
    XpSemaphore* semaphore;   // not owned
    XpErr error;
    bool unlockOnDestroy;
};

// The waitable base: an internal recursive lock guarding all state (the subclass's included), a
// condition variable used with that lock, and listeners woken on every signal.
class XP_API XpComboSyncObject : public XpSyncObject {
public:
    XpComboSyncObject();
    // Lock(0xFFFFFFFF).
    XpErr Lock() override;
    XpErr Unlock() override = 0;
    // Lock(0).
    XpErr TryLock() override;
    // Wakes any thread still waiting; listeners are dropped without being told.
    ~XpComboSyncObject() override;
    // Takes the object, waiting at most `timeout` seconds; XPERR_SYNC_TIMEOUT when it stays busy.
    virtual XpErr Lock(unsigned int timeout) = 0;

    // Appends a listener unless it is already registered. The listener is not owned.
    void AddListener(XpMultiWaiterBase* listener);
    // Removes the first entry equal to `listener`; nothing when absent.
    void RemoveListener(XpMultiWaiterBase* listener);

protected:
    // REQUIRES: internal lock held exactly once by the caller. Waits for a signal; 0xFFFFFFFF
    // without limit, otherwise until the whole-second deadline. A wake-up without a cause returns
    // XPERR_OK: callers re-test their own condition.
    XpErr waitCondition(unsigned int timeout);
    // REQUIRES: internal lock held. Broadcasts the condition, then wakes every listener even when
    // the broadcast failed; returns the broadcast's mapped result.
    XpErr signalCondition();
    // REQUIRES: internal lock held. WakeUp() on every listener, in list order.
    void unlockHook();

    XpCriticalSection internalLock;
    std::vector<XpMultiWaiterBase*> listeners;
    pthread_cond_t condition;
};

// Scoped lock: locks in the constructor, unlocks in the destructor only when the lock succeeded.
class XP_API XpSingleLock {
public:
    // A null object records XPERR_OK and locks nothing.
    explicit XpSingleLock(XpSyncObject* object);
    // Lock(timeout) of a waitable object; a null object records XPERR_OK.
    XpSingleLock(XpComboSyncObject* object, unsigned int timeout);
    XpSingleLock(const XpSingleLock&) = delete;
    XpSingleLock& operator=(const XpSingleLock&) = delete;
    virtual ~XpSingleLock();

    // The result of the lock attempt.
    XpErr GetError() const { return error; }

private:
    XpSyncObject* object;   // not owned
    XpErr error;
};

// Per-owner record of the ownership-tracking objects: the owning thread (0 = none) and a counter
// whose meaning belongs to the user (recursion depth, number of read locks).
struct XP_API XpThreadRecord {
    pthread_t thread = 0;
    int32_t count = 0;

    void setThreadId(pthread_t id) { thread = id; }
    // The thread becomes none; the count is left as it is.
    void clearThreadId() { thread = 0; }
    // False when no thread is recorded, else pthread_equal.
    bool isSameThread(pthread_t id) const;
};

// Counting semaphore with an upper bound (0xFFFFFFFF: none). The count is 64-bit, so without a
// bound more than 2^32 units can be kept.
class XP_API XpSemaphore : public XpComboSyncObject {
public:
    // The initial count is not compared with the maximum.
    XpSemaphore(unsigned int initialCount, unsigned int maximumCount);
    using XpComboSyncObject::Lock;
    // Takes one unit; a failed wait is returned even if a unit has arrived meanwhile.
    XpErr Lock(unsigned int timeout) override;
    // Adds one unit unless the maximum is reached (then the release is dropped); always XPERR_OK.
    XpErr Unlock() override;
    ~XpSemaphore() override;

private:
    uint64_t count;
    unsigned int maximum;
};

// Event that stays signalled until it is reset. Waiting consumes nothing.
class XP_API XpManualEvent : public XpComboSyncObject {
public:
    explicit XpManualEvent(bool initialState);
    using XpComboSyncObject::Lock;
    // Passes while the event is signalled; XPERR_SYNC_TIMEOUT when the wait runs out first.
    XpErr Lock(unsigned int timeout) override;
    // SetOk(true).
    XpErr Unlock() override;
    ~XpManualEvent() override;
    // Signals (waking all waiters and listeners) or resets (waking nobody) the event.
    void SetOk(bool signalled);

private:
    bool state;
};

// A thread started by XpThreadAllocAndBegin; it belongs to the caller until XpThreadJoinAndFree.
// Destroying the object neither joins nor detaches the thread.
class XP_API XpThread {
public:
    XpThread() : thread(0) {}
    XpThread(const XpThread&) = delete;
    XpThread& operator=(const XpThread&) = delete;
    virtual ~XpThread();

    // True on the thread itself.
    bool IsCurrent() const;
    // The two objects name the same thread.
    bool operator==(XpThread const& other) const;
    // The scheduling priority; 0 when the platform cannot read it.
    int GetPriority() const;
    // Priority changes keep the thread's policy and apply no bounds of their own: the policy
    // decides. EINVAL/ENOTSUP -> XPERR_SYNC_INVALID_PRIORITY, ENOSYS -> XPERR_SYNC_NOT_SUPPORTED,
    // any other failure (ESRCH, EPERM) -> XPERR_SYNC_INVALID. A refused change leaves the priority.
    XpErr SetPriority(int priority);
    XpErr RaisePriority();
    XpErr LowerPriority();

    // The native thread (0 before it started).
    pthread_t nativeHandle() const { return thread; }

private:
    friend XP_API XpThread* XpThreadAllocAndBegin(void* (*function)(void*), void* argument);
    XpErr changePriority(int delta, bool relative);
    pthread_t thread;
};

// Starts `function(argument)` on a new joinable thread. Null when the thread cannot be created
// (nothing is left allocated). Exit value: the function's result, or XpThreadEnd's code.
XP_API XpThread* XpThreadAllocAndBegin(void* (*function)(void*), void* argument);
// Waits for the thread to end, frees the object and returns its exit value as 32 bits.
// Null: XPERR_SYNC_INVALID. Called on the thread itself: XPERR_SYNC_DEADLOCK, nothing freed.
XP_API uint32_t XpThreadJoinAndFree(XpThread* thread);
// Sleeps; milliseconds * 1000 is a 32-bit product, so keep the argument at most 4294967.
XP_API void XpThreadSleep(unsigned int milliseconds);
// Gives up the processor.
XP_API void XpThreadYield();
// Ends the calling thread with `code` as its exit value. Does not return.
[[noreturn]] XP_API void XpThreadEnd(int code);
// The calling thread's native id.
XP_API pthread_t XpGetCurrentNativeThreadID();

// Floating-point rounding guard. Linux keeps the rounding mode per thread and nothing resets it,
// so this has no effect; it exists so that portable callers compile unchanged.
class XP_API XpTempFpuRcReset {
public:
    XpTempFpuRcReset() {}
    ~XpTempFpuRcReset() {}
};

// Scoped autorelease pool. Linux has no autorelease pools, so the object keeps its shape and
// does nothing; build it on the stack as portable code does.
class XP_API XpLocalAutoreleasePool {
public:
    XpLocalAutoreleasePool();
    XpLocalAutoreleasePool(const XpLocalAutoreleasePool&) = delete;
    XpLocalAutoreleasePool& operator=(const XpLocalAutoreleasePool&) = delete;
    virtual ~XpLocalAutoreleasePool();

private:
    void* pool;   // always null on Linux
};

#endif
