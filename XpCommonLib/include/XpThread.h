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

#include "XpCommonLib.h"
#include <pthread.h>
#include <ctime>
#include <vector>

/** \defgroup synchronization Threads and synchronization
    Threads, critical sections, semaphores, events, reader-writer locks, the inter-process mutex and waits on several objects.
    \{ */

// The time-out that waits without limit.
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
// The three calls are inline (and still exported from the library), so that a caller whose static
// type is XpCriticalSection reaches pthread_mutex_lock directly; `final` lets the compiler see that
// type through references too.
class XP_API XpCriticalSection final : public XpSyncObject {
public:
    XpCriticalSection();
    XP_API XpErr Lock() override { return mapped(pthread_mutex_lock(&mutex)); }
    // XPERR_SYNC_NOT_OWNER when the calling thread does not hold the lock.
    XP_API XpErr Unlock() override { return mapped(pthread_mutex_unlock(&mutex)); }
    // XPERR_SYNC_TIMEOUT when another thread holds the lock.
    XP_API XpErr TryLock() override { return mapped(pthread_mutex_trylock(&mutex)); }
    ~XpCriticalSection() override;

    // The underlying mutex, for condition waits of the synchronization objects.
    pthread_mutex_t* nativeHandle() { return &mutex; }

private:
    static XpErr mapped(int err) { return err == 0 ? XPERR_OK : xperrFromPthreadErr(err); }
    pthread_mutex_t mutex;
};

class XpSemaphore;

// One thread waiting for several waitable objects (see XpMultiLockOne / XpMultiLockAll). Waitable
// objects keep these as listeners and wake each one on every signal, which releases the waiter's
// semaphore once.
class XP_API XpMultiWaiterBase {
public:
    // A waiter that sleeps on semaphore (not owned), which must outlive it.
    XpMultiWaiterBase(XpSemaphore& semaphore);
    XpMultiWaiterBase(const XpMultiWaiterBase&) = delete;
    XpMultiWaiterBase& operator=(const XpMultiWaiterBase&) = delete;
    virtual ~XpMultiWaiterBase();

    // Releases the waiter's semaphore once.
    void WakeUp();
    // XPERR_OK, or the failure of the wait (XPERR_SYNC_TIMEOUT when a sleep timed out).
    XpErr GetError() const { return error; }

protected:
    // Where a sleep of a polling waiter stands (see sleep).
    struct PollState {
        bool sleeping = false;               // a sleep has begun
        struct timespec deadline = {0, 0};   // its end on the realtime clock
        long napMilliseconds = 0;            // the length of the next nap
    };
    // One sleep on the semaphore: Lock(timeout). With `poll` (the list holds an object that another
    // process can free, which signals nothing here), the sleep is cut into naps of 1 ms growing to
    // 32 ms; after a nap that nothing ended it returns XPERR_OK so that the caller tries its
    // objects again, while the sleep's whole-second deadline keeps counting from its start.
    XpErr sleep(unsigned int timeout, PollState* poll);

    XpSemaphore* semaphore;   // not owned
    XpErr error;              // the wait's result, for GetError
    bool unlockOnDestroy;     // the destructor unlocks what the wait locked
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
    // REQUIRES: internal lock held exactly once by the caller. The same, until an absolute
    // CLOCK_REALTIME deadline.
    XpErr waitConditionUntil(const struct timespec& deadline);
    // REQUIRES: internal lock held. Broadcasts the condition, then wakes every listener even when
    // the broadcast failed; returns the broadcast's mapped result.
    XpErr signalCondition();
    // REQUIRES: internal lock held. WakeUp() on every listener, in list order.
    void unlockHook();

    XpCriticalSection internalLock;              // guards all state, the subclass's included
    std::vector<XpMultiWaiterBase*> listeners;   // waiters woken on every signal
    pthread_cond_t condition;                    // waited on with internalLock
    // The size of `listeners`, written under the internal lock and readable without it (atomic
    // operations), so that a release can tell that nobody needs a signal without taking the lock.
    int32_t listenerCount;
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
    pthread_t thread = 0;   // the thread, valid while count is not 0
    int32_t count = 0;      // the user's count for that thread

    // Records id as the thread.
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
    friend class XpMultiWaiterBase;
    // Lock with an absolute CLOCK_REALTIME deadline, for the naps of a polling multi-object wait.
    XpErr lockUntil(const struct timespec& deadline);

    uint64_t count;
    unsigned int maximum;
};

// Event that stays signalled until it is reset. Waiting consumes nothing.
class XP_API XpManualEvent : public XpComboSyncObject {
public:
    // Signalled from the start when initialState is true.
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

template <typename T> class XpStringT;

// ---- Named inter-process mutex ---------------------------------------------------------------------

// Recursive lock that is also held across processes. Inside the process the owning thread may lock
// again (each Lock needs its Unlock); across processes it is backed by a System V semaphore set of
// one semaphore, keyed ftok(name, '1'), permissions 0666, value 1 when free. Every semaphore
// operation carries SEM_UNDO, so the kernel gives the lock back when the holding process ends.
// The semaphore is taken only when the depth goes from 0 to 1 and given back only from 1 to 0.
//
// The name must be an existing file or directory. A mutex named by a path that does not exist
// (or whose key cannot be made) gets no semaphore at all: it creates no kernel object, and every
// first acquisition fails at once with XPERR_SYNC_NOT_INITIALIZED. It never falls back to a
// process-private lock: a caller that believes it excludes other processes must learn that it
// does not, and it must never wait on a semaphore that nobody can ever release.
//
// After fork the child holds none of the parent's XpMutex objects, whichever of the parent's
// threads held them: the kernel does not pass SEM_UNDO holdings to a child, so the child's tries
// answer XPERR_SYNC_TIMEOUT while the parent holds the lock, its Lock waits for the parent to let
// go, and its Unlock of a lock it never took changes nothing.
//
// Nothing removes the semaphore set; it stays in the system for the next process.
class XP_API XpMutex : public XpComboSyncObject {
public:
    // Opens the set of `name` or creates it; opening an existing set waits 200 ms so that a
    // creator racing with us has set its value. Reports nothing: see Lock.
    explicit XpMutex(XpStringT<char> const& name);
    // Does not unlock: a lock still held stays held by the process until the process ends.
    ~XpMutex() override;
    using XpComboSyncObject::Lock;
    // Only 0 (try) and 0xFFFFFFFF (no limit) are accepted; anything else is XPERR_SYNC_INVALID
    // with nothing changed. XPERR_SYNC_TIMEOUT when a try finds the mutex held by another thread
    // or process; XPERR_SYNC_NOT_INITIALIZED when the mutex has no semaphore or its set is removed
    // while the call waits for it; XPERR_SYNC_FAILED for any other semaphore failure, among them a
    // set removed before the call (the kernel no longer knows the id). A failure changes nothing.
    XpErr Lock(unsigned int timeout) override;
    // Releases one level held by the calling thread; always XPERR_OK. A thread that does not own
    // the mutex changes nothing.
    XpErr Unlock() override;

protected:
    // Held by another thread of this process.
    bool isBusy();
    // Finds or creates the semaphore set keyed on the named file; none when the file is missing.
    void initImpl(XpStringT<char> const& name);
    // The semaphore wait itself; called without the internal lock.
    XpErr lockImpl(unsigned int timeout);
    // Called by the owner as it lets go, before it stops being the owner. Gives the semaphore back
    // (result not looked at).
    void unlockImpl();
    // Forgets the object; the set stays for other processes.
    void uninitImpl();

private:
    friend struct XpMutexForkList;
    // A thread becomes the owner by one compare-and-swap of the owner's thread from none to
    // itself, and stops being it by storing none; only the owner changes the depth. The internal
    // lock is taken only when the mutex is busy: by a thread that must wait (it counts itself in
    // `waiters` first), and by a release that finds waiters or listeners to signal. All these
    // fields are read and written with atomic operations.
    XpThreadRecord owner;   // owning thread and recursion depth
    int32_t semaphore;      // System V set id; negative when there is none
    XpMutex* prevLive;      // the process's live mutexes, reset in a forked child
    XpMutex* nextLive;
    int32_t waiters;        // threads of this process waiting in Lock for another one's release
};

// ---- Reader-writer locks -----------------------------------------------------------------------------
//
// Both prefer writers: once a writer waits, new readers wait too, so a stream of readers cannot
// starve a writer. Lock(t) takes the write lock, RdLock(t) a read lock; Unlock gives back one level.
//
// A wait that nothing but the caller itself could ever end is refused at once with
// XPERR_SYNC_DEADLOCK instead of hanging (or sitting out its time-out); nothing else is refused:
//   - XpRwLock: a read lock asked for by the thread that holds the write lock;
//   - XpRwLockEx: another read lock asked for by a reader while a writer waits without limit (that
//     writer waits for this very reader);
//   - XpRwLockEx: the write lock asked for by a reader while another reader waits without limit
//     to upgrade (each would wait for the other's read lock).
// A try (time-out 0) never waits, so it is never refused; writers that only try, or wait with a
// time-out, give up by themselves, so they never get a reader refused.
//
// The caller's own rules, which the locks cannot check: XpRwLock counts its readers without
// knowing them (any thread may give a read lock back), so it cannot tell a reader asking for the
// write lock, or for another read lock while a writer waits, from anybody else. Do not ask an
// XpRwLock for the write lock while holding a read lock, nor either lock for another read lock
// while holding one when a writer may be waiting: such a call waits until a time-out ends it, or,
// where no time-out is left on either side, for ever.

// Reader-writer lock whose writer may lock again (recursion) but may not read.
class XP_API XpRwLock : public XpComboSyncObject {
public:
    XpRwLock();
    ~XpRwLock() override;
    using XpComboSyncObject::Lock;
    // Write lock; recursive for the writer. XPERR_SYNC_TIMEOUT when it stays busy.
    XpErr Lock(unsigned int timeout) override;
    // Gives back one write level when the caller is the writer, else one read lock (whoever took
    // it). Always XPERR_OK; nothing changes on a free lock.
    XpErr Unlock() override;
    // Read lock; waits while a writer holds the lock or waits for it.
    virtual XpErr RdLock(unsigned int timeout);
    // RdLock(0).
    virtual XpErr TryRdLock();

protected:
    // The wait behind Lock (write) and RdLock (read).
    XpErr lockImpl(bool write, unsigned int timeout);
    // REQUIRES: internal lock held.
    bool isBusy(bool write);
    // REQUIRES: internal lock held. A writer is recorded and it is the caller.
    bool isWriteLockedByThisThread() const;
    // REQUIRES: internal lock held. Records the caller as the writer, or no writer.
    void setWriterThreadId();
    void resetWriterThreadId();

private:
    int32_t readers;          // read locks held, all threads together
    int32_t writeDepth;
    int32_t waitingWriters;
    pthread_t writerThread;   // 0 when none
};

// Reader-writer lock that knows its readers: the writer may take read locks (they count as
// further write levels, given back with Unlock), and the only reader may upgrade to writer.
class XP_API XpRwLockEx : public XpComboSyncObject {
public:
    XpRwLockEx();
    ~XpRwLockEx() override;
    using XpComboSyncObject::Lock;
    // Write lock; recursive for the writer; succeeds for the only reader (upgrade).
    XpErr Lock(unsigned int timeout) override;
    // Gives back one write level when the caller is the writer, else one of the caller's read
    // locks. Always XPERR_OK; a caller that holds nothing changes nothing.
    XpErr Unlock() override;
    // Read lock; for the writer it succeeds at once and raises the write depth.
    virtual XpErr RdLock(unsigned int timeout);
    // RdLock(0).
    virtual XpErr TryRdLock();

protected:
    // The wait behind Lock (write) and RdLock (read).
    XpErr lockImpl(bool write, unsigned int timeout);
    // REQUIRES: internal lock held. Sets *readByWriter when the caller is the writer asking to read.
    bool isBusy(bool write, bool* readByWriter);

private:
    // REQUIRES: internal lock held.
    XpThreadRecord* findReader(pthread_t id);
    // REQUIRES: internal lock held; the caller holds a read lock and must wait. Whether only the
    // caller could end that wait (see above); `unbounded`: the caller's own wait has no limit.
    bool isSelfDeadlock(bool write, bool unbounded) const;

    int32_t waitingWriters;
    std::vector<XpThreadRecord> readers;   // one record per reading thread, first read first
    XpThreadRecord writer;                 // writing thread and write depth
    int32_t unboundedWriters;              // waiting writers whose wait has no limit...
    int32_t unboundedUpgrades;             // ...and those of them that hold a read lock
};

// ---- Waits on several objects --------------------------------------------------------------------
//
// The whole wait runs in the constructor. The waiter registers with every object as a listener and
// sleeps on the caller's semaphore, which every signal of any object releases once; on each wake-up
// it tries the objects with Lock(0) (for a reader-writer lock: the write lock; for a manual event:
// a test that consumes nothing). The time-out applies to each sleep, so a wait that keeps being
// woken without success can last longer in total. Units left in the semaphore stay there.
// Used by the one thread that constructs it.
//
// No signal crosses processes: an XpMutex freed by another process wakes nobody here. A waiter
// whose list holds an XpMutex therefore polls: it sleeps in naps of 1 ms growing to 32 ms, trying
// its objects after each, and still ends at the whole-second deadline of its time-out.

// Takes the first object that can be taken, lowest index first.
class XP_API XpMultiLockOne : public XpMultiWaiterBase {
public:
    // Waits at most timeout seconds for one object of the list; see the class comment.
    XpMultiLockOne(bool unlockOnDestroy, std::vector<XpComboSyncObject*>& objects,
                   XpSemaphore& semaphore, unsigned int timeout);
    // The list (first, second).
    XpMultiLockOne(bool unlockOnDestroy, XpComboSyncObject* first, XpComboSyncObject* second,
                   XpSemaphore& semaphore, unsigned int timeout);
    // With the unlock-on-destroy flag, Unlock() of the object taken (if any).
    ~XpMultiLockOne() override;

    // The index of the object taken, -1 when the wait failed (then nothing is held). An empty list
    // waits until somebody releases the semaphore or the time-out passes.
    int GetLockedIndex() const { return lockedIndex; }

private:
    void waitOneImpl(bool unlockOnDestroy, std::vector<XpComboSyncObject*>& objects,
                     unsigned int timeout);

    int lockedIndex;
    XpComboSyncObject* lockedObject;
};

// Takes every object, one by one as each becomes free, trying from the last index down. Objects
// taken stay taken: after a failed wait part of them may be held (listed by GetLockedIndice), and
// the destructor with the unlock-on-destroy flag gives them back; otherwise the caller does. Two
// waiters over overlapping lists can therefore each hold what the other waits for: use a bounded
// time-out where that can happen.
class XP_API XpMultiLockAll : public XpMultiWaiterBase {
public:
    // Waits at most timeout seconds for all objects of the list; see the class comment.
    XpMultiLockAll(bool unlockOnDestroy, std::vector<XpComboSyncObject*>& objects,
                   XpSemaphore& semaphore, unsigned int timeout);
    // The list (first, second).
    XpMultiLockAll(bool unlockOnDestroy, XpComboSyncObject* first, XpComboSyncObject* second,
                   XpSemaphore& semaphore, unsigned int timeout);
    // With the unlock-on-destroy flag, Unlock() of every object taken, in the order taken.
    ~XpMultiLockAll() override;

    // Indices of the objects taken, in the order they were taken.
    const std::vector<int>& GetLockedIndice() const { return lockedIndices; }

private:
    void waitAllImpl(bool unlockOnDestroy, std::vector<XpComboSyncObject*>& objects,
                     unsigned int timeout);

    std::vector<int> lockedIndices;
    std::vector<XpComboSyncObject*> lockedObjects;
};

/** \} */

#endif
