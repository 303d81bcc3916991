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

// ---- XpMutex: in-process half ------------------------------------------------------------------------
//
// Threads of this process are ordered by the condition, processes by the semaphore. The internal
// lock is never held while the semaphore is waited for: the first thread marks itself as owner at
// depth 1 first, so other threads of the process wait on the condition meanwhile, and a failed
// semaphore wait puts the depth back and wakes them.

XpMutex::XpMutex(XpStringT<char> const& name) : semaphore(-1)
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
    return owner.count >= 1 && !owner.isSameThread(XpGetCurrentNativeThreadID());
}

XpErr XpMutex::Lock(unsigned int timeout)
{
    // The semaphore can only try or wait without limit; a bounded wait is refused rather than
    // silently turned into one of the two.
    if (timeout != 0 && timeout != XP_INFINITE_TIMEOUT)
        return XPERR_SYNC_INVALID;

    bool first;
    {
        XpSingleLock guard(&internalLock);
        while (isBusy()) {
            XpErr err = waitCondition(timeout);
            if (err != XPERR_OK)
                return err;
        }
        ++owner.count;
        owner.setThreadId(XpGetCurrentNativeThreadID());
        first = owner.count == 1;
    }
    if (!first)
        return XPERR_OK;

    XpErr err = lockImpl(timeout);
    if (err != XPERR_OK) {
        XpSingleLock guard(&internalLock);
        if (--owner.count == 0) {
            owner.clearThreadId();
            signalCondition();
        }
    }
    return err;
}

XpErr XpMutex::Unlock()
{
    XpSingleLock guard(&internalLock);
    if (owner.count > 0 && owner.isSameThread(XpGetCurrentNativeThreadID())) {
        if (--owner.count == 0) {
            unlockImpl();
            owner.clearThreadId();
            signalCondition();
        }
    }
    return XPERR_OK;
}

namespace {

// The wait of both reader-writer locks, under their internal lock: wait while the caller cannot
// proceed, but refuse at once a wait that only the caller itself could end. A try (time-out 0)
// never waits, so it is never refused.
template <typename Busy, typename SelfDeadlock, typename Wait>
XpErr waitWhileBusy(unsigned int timeout, Busy busy, SelfDeadlock selfDeadlock, Wait wait)
{
    while (busy()) {
        if (timeout != 0 && selfDeadlock())
            return XPERR_SYNC_DEADLOCK;
        XpErr err = wait();
        if (err != XPERR_OK)
            return err;
    }
    return XPERR_OK;
}

} // namespace

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

int32_t XpRwLock::readsOfThisThread() const
{
    pthread_t self = XpGetCurrentNativeThreadID();
    for (const XpThreadRecord& record : readerRecords)
        if (record.isSameThread(self))
            return record.count;
    return 0;
}

bool XpRwLock::isSelfDeadlock(bool write) const
{
    // Only asked while the caller is busy. The writer asking to read waits for itself; a reader
    // asking to write waits for its own read lock; a reader asking for another read lock while a
    // writer waits is held back by that writer, which waits for this reader.
    if (write)
        return readsOfThisThread() > 0;
    return isWriteLockedByThisThread() || (waitingWriters > 0 && readsOfThisThread() > 0);
}

XpErr XpRwLock::lockImpl(bool write, unsigned int timeout)
{
    XpSingleLock guard(&internalLock);
    if (write)
        ++waitingWriters;
    XpErr err = waitWhileBusy(
        timeout, [&] { return isBusy(write); }, [&] { return isSelfDeadlock(write); },
        [&] { return waitCondition(timeout); });
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
        return XPERR_OK;
    }
    pthread_t self = XpGetCurrentNativeThreadID();
    for (XpThreadRecord& record : readerRecords) {
        if (record.isSameThread(self)) {
            ++record.count;
            ++readers;
            return XPERR_OK;
        }
    }
    try {
        XpThreadRecord record;
        record.setThreadId(self);
        record.count = 1;
        readerRecords.push_back(record);
    } catch (...) {
        return XPERR_NO_MEMORY;
    }
    ++readers;
    return XPERR_OK;
}

XpErr XpRwLock::Unlock()
{
    XpSingleLock guard(&internalLock);
    if (isWriteLockedByThisThread()) {
        if (writeDepth > 0 && --writeDepth == 0)
            resetWriterThreadId();
    } else if (readers > 0) {
        --readers;
        // Take the read off the caller's account, or, when the caller holds none (a read lock
        // given back on another thread's behalf), off the oldest reader's.
        pthread_t self = XpGetCurrentNativeThreadID();
        auto it = std::find_if(readerRecords.begin(), readerRecords.end(),
                               [self](const XpThreadRecord& r) { return r.isSameThread(self); });
        if (it == readerRecords.end())
            it = readerRecords.begin();
        if (it != readerRecords.end() && --it->count <= 0)
            readerRecords.erase(it);
    }
    signalCondition();
    return XPERR_OK;
}

// ---- XpRwLockEx -------------------------------------------------------------------------------------------

XpRwLockEx::XpRwLockEx() : waitingWriters(0), waitingUpgrades(0) {}

XpRwLockEx::~XpRwLockEx() {}

XpErr XpRwLockEx::Lock(unsigned int timeout)   { return lockImpl(true, timeout); }
XpErr XpRwLockEx::RdLock(unsigned int timeout) { return lockImpl(false, timeout); }
XpErr XpRwLockEx::TryRdLock()                  { return RdLock(0); }

XpThreadRecord* XpRwLockEx::findReader(pthread_t id)
{
    for (XpThreadRecord& record : readers)
        if (record.isSameThread(id))
            return &record;
    return nullptr;
}

bool XpRwLockEx::isBusy(bool write, bool* readByWriter)
{
    pthread_t self = XpGetCurrentNativeThreadID();
    if (writer.count > 0 && !writer.isSameThread(self))
        return true;
    if (write) {
        if (readers.size() > 1)
            return true;
        if (readers.size() == 1)
            return !readers[0].isSameThread(self);
        return false;
    }
    if (writer.count > 0) {   // the writer is the caller (tested above)
        *readByWriter = true;
        return false;
    }
    return waitingWriters > 0;
}

bool XpRwLockEx::isSelfDeadlock(bool write)
{
    // Only asked while the caller is busy. A reader waiting to write waits for the other readers;
    // if one of them is also waiting to write, neither will ever give its read lock back. A reader
    // asking for another read lock while a writer waits is held back by that writer, which waits
    // for this reader.
    if (findReader(XpGetCurrentNativeThreadID()) == nullptr)
        return false;
    return write ? waitingUpgrades > 1 : waitingWriters > 0;
}

XpErr XpRwLockEx::lockImpl(bool write, unsigned int timeout)
{
    XpSingleLock guard(&internalLock);
    pthread_t self = XpGetCurrentNativeThreadID();
    bool readByWriter = false;
    bool upgrading = write && findReader(self) != nullptr;
    if (write)
        ++waitingWriters;
    if (upgrading)
        ++waitingUpgrades;
    XpErr err = waitWhileBusy(
        timeout, [&] { return isBusy(write, &readByWriter); },
        [&] { return isSelfDeadlock(write); }, [&] { return waitCondition(timeout); });
    if (write)
        --waitingWriters;
    if (upgrading)
        --waitingUpgrades;

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
    if (XpThreadRecord* record = findReader(self)) {
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
    XpSingleLock guard(&internalLock);
    pthread_t self = XpGetCurrentNativeThreadID();
    if (writer.isSameThread(self)) {
        if (writer.count > 0 && --writer.count == 0)
            writer.clearThreadId();
    } else {
        auto it = std::find_if(readers.begin(), readers.end(),
                               [self](const XpThreadRecord& r) { return r.isSameThread(self); });
        if (it != readers.end() && --it->count <= 0)
            readers.erase(it);
    }
    // While the upgraded writer still holds its read locks nobody else could enter.
    if (!(!readers.empty() && writer.count > 0))
        signalCondition();
    return XPERR_OK;
}
