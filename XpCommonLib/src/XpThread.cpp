// Portable half of the threading module: the waitable base's lock shape and listeners, the scoped
// lock, ownership records, and the in-process semaphore and manual event.
//
// Every waitable operation has one shape: take the internal lock, wait on the condition while the
// object's busy test says no (a failed wait ends the loop with its result), change the counts,
// release. Every release changes the counts under the internal lock and signals.
#include <XpThread.h>

#include "_XpAsymmetricFence.h"

#include <algorithm>

XpSyncObject::~XpSyncObject() {}

// ---- XpComboSyncObject ---------------------------------------------------------------------------

XpErr XpComboSyncObject::Lock()    { return Lock(XP_INFINITE_TIMEOUT); }
XpErr XpComboSyncObject::TryLock() { return Lock(0); }

void XpComboSyncObject::AddListener(XpMultiWaiterBase* listener)
{
    XpSingleLock guard(&internalLock);
    if (std::find(listeners.begin(), listeners.end(), listener) == listeners.end()) {
        listeners.push_back(listener);
        __atomic_store_n(&listenerCount, static_cast<int32_t>(listeners.size()), __ATOMIC_SEQ_CST);
        _XpAsymmetricFence::Heavy();   // the listener's tries that follow meet every release
    }
}

void XpComboSyncObject::RemoveListener(XpMultiWaiterBase* listener)
{
    XpSingleLock guard(&internalLock);
    auto it = std::find(listeners.begin(), listeners.end(), listener);
    if (it != listeners.end()) {
        listeners.erase(it);
        __atomic_store_n(&listenerCount, static_cast<int32_t>(listeners.size()), __ATOMIC_SEQ_CST);
    }
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

namespace {

// The internal lock of the waitable objects. Its static type is the final XpCriticalSection, so
// Lock and Unlock inline to the pthread calls; XpSingleLock would go through the virtual calls of
// XpSyncObject, a cost that the short operations below would pay twice each.
class InternalGuard {
public:
    explicit InternalGuard(XpCriticalSection& lock_) : lock(lock_), held(lock_.Lock() == XPERR_OK) {}
    ~InternalGuard()
    {
        if (held)
            lock.Unlock();
    }
    InternalGuard(const InternalGuard&) = delete;
    InternalGuard& operator=(const InternalGuard&) = delete;

private:
    XpCriticalSection& lock;
    bool held;
};

template <typename T> T loadRelaxed(const T& field) { return __atomic_load_n(&field, __ATOMIC_RELAXED); }
template <typename T> void storeRelaxed(T& field, T value) { __atomic_store_n(&field, value, __ATOMIC_RELAXED); }

} // namespace

// ---- XpSemaphore -----------------------------------------------------------------------------------

XpSemaphore::XpSemaphore(unsigned int initialCount, unsigned int maximumCount)
    : count(initialCount), maximum(maximumCount)
{
}

XpSemaphore::~XpSemaphore() {}

XpErr XpSemaphore::Lock(unsigned int timeout)
{
    InternalGuard guard(internalLock);
    XpErr err = XPERR_OK;
    while (err == XPERR_OK && count == 0)
        err = waitCondition(timeout);
    if (err == XPERR_OK)
        --count;
    return err;
}

XpErr XpSemaphore::lockUntil(const struct timespec& deadline)
{
    InternalGuard guard(internalLock);
    XpErr err = XPERR_OK;
    while (err == XPERR_OK && count == 0)
        err = waitConditionUntil(deadline);
    if (err == XPERR_OK)
        --count;
    return err;
}

XpErr XpSemaphore::Unlock()
{
    InternalGuard guard(internalLock);
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
    InternalGuard guard(internalLock);
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
    InternalGuard guard(internalLock);
    state = signalled;
    if (state)
        signalCondition();
}

// ---- XpMutex: in-process half ------------------------------------------------------------------------
//
// Threads of this process are ordered by the owner record, processes by the semaphore. A thread
// takes the mutex by swapping the owner's thread from none to itself, then waits for the semaphore
// without any lock; meanwhile the other threads of the process find the mutex busy. A thread that
// finds it busy takes the internal lock, counts itself among the waiters, and tries again before
// each wait on the condition; a failed semaphore wait gives the ownership back and wakes them.
//
// A release gives the semaphore back, clears the owner, and signals under the internal lock only
// when there are waiters or listeners. No wake-up is lost: a waiter counts itself before it tries
// and the releaser clears the owner before it counts, with a full fence between write and read on
// each side (split so that the waiter pays for both, _XpAsymmetricFence), so either the try
// succeeds or the releaser sees the waiter; and the waiter holds the internal lock from its try
// until the condition wait releases it, so the signal, taken under that lock, finds it waiting.
// Uncontended, a first acquisition and its release thus cost the two semop calls and one atomic
// operation, not two rounds of the internal lock.
//
// Recursion needs no lock either: only the owning thread ever finds its own id in the owner
// record (it wrote it, and it clears it before anybody else may write it), and while it owns the
// mutex it alone changes the depth.

namespace {

bool isOwner(const XpThreadRecord& owner, pthread_t self)
{
    pthread_t thread = loadRelaxed(owner.thread);
    return thread != 0 && pthread_equal(thread, self) != 0;
}

// Makes self the owner if nobody is.
bool claim(XpThreadRecord& owner, pthread_t self)
{
    pthread_t none = 0;
    return __atomic_compare_exchange_n(&owner.thread, &none, self, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

} // namespace

XpMutex::XpMutex(XpStringT<char> const& name)
    : semaphore(-1), prevLive(nullptr), nextLive(nullptr), waiters(0)
{
    owner.count = 0;
    owner.clearThreadId();
    initImpl(name);
}

XpMutex::~XpMutex()
{
    // Deliberately no unlockImpl: a lock still held stays with the process (SEM_UNDO gives it back
    // when the process ends), which is what the installer mutex relies on.
    uninitImpl();
}

bool XpMutex::isBusy()
{
    pthread_t thread = __atomic_load_n(&owner.thread, __ATOMIC_SEQ_CST);
    return thread != 0 && pthread_equal(thread, pthread_self()) == 0;
}

XpErr XpMutex::Lock(unsigned int timeout)
{
    // The semaphore can only try or wait without limit; a bounded wait is refused rather than
    // silently turned into one of the two.
    if (timeout != 0 && timeout != XP_INFINITE_TIMEOUT)
        return XPERR_SYNC_INVALID;

    pthread_t self = pthread_self();
    if (isOwner(owner, self)) {
        storeRelaxed(owner.count, loadRelaxed(owner.count) + 1);
        return XPERR_OK;
    }
    if (!claim(owner, self)) {
        InternalGuard guard(internalLock);
        __atomic_add_fetch(&waiters, 1, __ATOMIC_SEQ_CST);
        _XpAsymmetricFence::Heavy();   // a release from now on sees us, or we see it
        XpErr err = XPERR_OK;
        while (!claim(owner, self)) {
            err = waitCondition(timeout);
            if (err != XPERR_OK)
                break;
        }
        __atomic_sub_fetch(&waiters, 1, __ATOMIC_SEQ_CST);
        if (err != XPERR_OK)
            return err;
    }
    // Ours, and free before: this is the first acquisition.
    storeRelaxed(owner.count, int32_t(1));

    XpErr err = lockImpl(timeout);
    if (err != XPERR_OK) {
        storeRelaxed(owner.count, int32_t(0));
        __atomic_store_n(&owner.thread, pthread_t(0), __ATOMIC_SEQ_CST);
        if (__atomic_load_n(&waiters, __ATOMIC_SEQ_CST) != 0) {
            // Only threads of this process waiting above can gain from this, so the condition is
            // broadcast without waking the listeners: a multi-object waiter whose own try failed
            // here would otherwise be woken by it at once, again and again, and never sleep (it
            // polls a mutex anyway, see XpMultiWaiter).
            InternalGuard guard(internalLock);
            pthread_cond_broadcast(&condition);
        }
    }
    return err;
}

XpErr XpMutex::Unlock()
{
    if (!isOwner(owner, pthread_self()))
        return XPERR_OK;   // a free mutex, or another thread's: nothing changes
    int32_t depth = loadRelaxed(owner.count);
    if (depth > 1) {
        storeRelaxed(owner.count, depth - 1);
        return XPERR_OK;
    }
    storeRelaxed(owner.count, int32_t(0));
    unlockImpl();
    // The owner cleared before the waiters are counted; the fence between the two is the
    // waiters' to pay where it can be (see _XpAsymmetricFence.h).
    _XpAsymmetricFence::Write(&owner.thread, pthread_t(0));
    if (__atomic_load_n(&waiters, __ATOMIC_SEQ_CST) != 0 || __atomic_load_n(&listenerCount, __ATOMIC_SEQ_CST) != 0) {
        InternalGuard guard(internalLock);
        signalCondition();
    }
    return XPERR_OK;
}

// ---- XpRwLock ---------------------------------------------------------------------------------------------

XpRwLock::XpRwLock() : readers(0), writeDepth(0), waitingWriters(0), writerThread(0) {}

XpRwLock::~XpRwLock() {}

XpErr XpRwLock::Lock(unsigned int timeout)   { return lockImpl(true, timeout); }
XpErr XpRwLock::RdLock(unsigned int timeout) { return lockImpl(false, timeout); }
XpErr XpRwLock::TryRdLock()                  { return RdLock(0); }

bool XpRwLock::isBusy(bool write)
{
    if (!write)
        return writeDepth > 0 || waitingWriters > 0;
    return readers > 0 || (writeDepth > 0 && !isWriteLockedByThisThread());
}

XpErr XpRwLock::lockImpl(bool write, unsigned int timeout)
{
    InternalGuard guard(internalLock);
    // The writer asking to read would wait for its own write levels, which only it can give back.
    // A try never waits, so it keeps its plain answer.
    if (!write && timeout != 0 && isWriteLockedByThisThread())
        return XPERR_SYNC_DEADLOCK;
    if (write)
        ++waitingWriters;
    XpErr err = XPERR_OK;
    while (err == XPERR_OK && isBusy(write))
        err = waitCondition(timeout);
    if (write)
        --waitingWriters;

    if (err != XPERR_OK) {
        // A writer that gives up may have been the only thing holding readers back; without this
        // wake-up they would sleep until some unrelated release. Only readers can gain, so the
        // condition is broadcast without waking the listeners: a multi-object waiter takes write
        // locks only, and waking it here would make every failed try of its own wake it again.
        if (write && waitingWriters == 0)
            pthread_cond_broadcast(&condition);
        return err;
    }
    if (write) {
        ++writeDepth;
        setWriterThreadId();
    } else {
        ++readers;
    }
    return XPERR_OK;
}

XpErr XpRwLock::Unlock()
{
    InternalGuard guard(internalLock);
    if (isWriteLockedByThisThread()) {
        if (writeDepth > 0 && --writeDepth == 0)
            resetWriterThreadId();
    } else if (readers > 0) {
        --readers;   // whoever the caller is: readers are counted, not named
    }
    signalCondition();
    return XPERR_OK;
}

// ---- XpRwLockEx -------------------------------------------------------------------------------------------

namespace {

// XpThreadRecord::isSameThread, inline for the read path.
bool isRecorded(const XpThreadRecord& record, pthread_t id)
{
    return record.thread != 0 && pthread_equal(record.thread, id) != 0;
}

} // namespace

XpRwLockEx::XpRwLockEx() : waitingWriters(0), unboundedWriters(0), unboundedUpgrades(0) {}

XpRwLockEx::~XpRwLockEx() {}

XpErr XpRwLockEx::Lock(unsigned int timeout)   { return lockImpl(true, timeout); }
XpErr XpRwLockEx::RdLock(unsigned int timeout) { return lockImpl(false, timeout); }
XpErr XpRwLockEx::TryRdLock()                  { return RdLock(0); }

XpThreadRecord* XpRwLockEx::findReader(pthread_t id)
{
    for (XpThreadRecord& record : readers)
        if (isRecorded(record, id))
            return &record;
    return nullptr;
}

bool XpRwLockEx::isBusy(bool write, bool* readByWriter)
{
    pthread_t self = pthread_self();
    if (writer.count > 0 && !isRecorded(writer, self))
        return true;
    if (write) {
        if (readers.size() > 1)
            return true;
        if (readers.size() == 1)
            return !pthread_equal(readers[0].thread, self);
        return false;
    }
    if (writer.count > 0) {   // the writer is the caller (tested above)
        *readByWriter = true;
        return false;
    }
    return waitingWriters > 0;
}

bool XpRwLockEx::isSelfDeadlock(bool write, bool unbounded) const
{
    // The caller keeps its read lock while it waits. A writer that waits without limit needs that
    // read lock gone (only the caller can give it back) and never gives up, so a reader waiting
    // for the writers to pass waits for itself; a reader waiting to upgrade waits for every other
    // reader, and one that waits without limit to upgrade itself never gives its read lock back.
    // Writers that try or wait with a time-out leave by themselves: no reason to refuse.
    if (write)
        return unboundedUpgrades > (unbounded ? 1 : 0);
    return unboundedWriters > 0;
}

XpErr XpRwLockEx::lockImpl(bool write, unsigned int timeout)
{
    InternalGuard guard(internalLock);
    pthread_t self = pthread_self();
    XpThreadRecord* record = findReader(self);
    bool reader = record != nullptr;
    bool unbounded = write && timeout == XP_INFINITE_TIMEOUT;
    if (write) {
        ++waitingWriters;
        unboundedWriters += unbounded;
        unboundedUpgrades += unbounded && reader;
    }
    bool readByWriter = false;
    bool announced = false;
    XpErr err = XPERR_OK;
    while (isBusy(write, &readByWriter)) {
        if (reader && timeout != 0 && isSelfDeadlock(write, unbounded)) {
            err = XPERR_SYNC_DEADLOCK;
            break;
        }
        if (unbounded && !announced) {
            // Readers already asleep in another read or an upgrade may now wait for themselves:
            // let them look again (and be refused) instead of sleeping for ever.
            announced = true;
            if (!readers.empty())
                pthread_cond_broadcast(&condition);
        }
        record = nullptr;   // other readers may move the records while we wait
        err = waitCondition(timeout);
        if (err != XPERR_OK)
            break;
    }
    if (write) {
        --waitingWriters;
        unboundedWriters -= unbounded;
        unboundedUpgrades -= unbounded && reader;
    }

    if (err != XPERR_OK) {
        // As in XpRwLock: wake the readers that a writer giving up held back, not the listeners.
        if (write && waitingWriters == 0)
            pthread_cond_broadcast(&condition);
        return err;
    }

    if (write || readByWriter) {
        ++writer.count;
        writer.setThreadId(self);
        return XPERR_OK;
    }
    if (reader && (record != nullptr || (record = findReader(self)) != nullptr)) {
        ++record->count;
        return XPERR_OK;
    }
    try {
        XpThreadRecord record;
        record.setThreadId(self);
        record.count = 1;
        readers.push_back(record);
    } catch (...) {
        return XPERR_NO_MEMORY;
    }
    return XPERR_OK;
}

XpErr XpRwLockEx::Unlock()
{
    InternalGuard guard(internalLock);
    pthread_t self = pthread_self();
    if (isRecorded(writer, self)) {
        if (writer.count > 0 && --writer.count == 0)
            writer.clearThreadId();
    } else {
        auto it = std::find_if(readers.begin(), readers.end(),
                               [self](const XpThreadRecord& r) { return isRecorded(r, self); });
        if (it != readers.end() && --it->count <= 0)
            readers.erase(it);
    }
    // While the upgraded writer still holds its read locks nobody else could enter.
    if (readers.empty() || writer.count == 0)
        signalCondition();
    return XPERR_OK;
}
