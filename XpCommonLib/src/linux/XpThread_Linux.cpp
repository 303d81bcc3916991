// Platform half of the threading module on Linux: the recursive mutex, the condition waits and
// signals, thread creation and priorities, the writer id of the reader-writer lock, and the
// semaphore half of the named mutex. Threads are plain POSIX threads; the only difference from
// other platforms that matters is that glibc's pthread_t is an integer, so "no thread" is 0 and
// threads are always compared with pthread_equal.
//
// The named mutex uses System V semaphores, not POSIX named semaphores or file locks, because
// SEM_UNDO is the one mechanism by which the kernel itself gives a lock back when its holder dies,
// even by SIGKILL, while the key still depends only on an existing file (ftok). glibc leaves
// `union semun` to the caller, so it is declared here. semop is restarted after a signal (EINTR).
// pthread_atfork resets every named mutex in a forked child (see "XpMutex: fork" below).
#include <XpThread.h>
#include <XpFileOperation.h>
#include <XpString.h>

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/types.h>

#include <cerrno>
#include <ctime>
#include <new>
#include <sched.h>
#include <unistd.h>

XpErr xperrFromPthreadErr(int err)
{
    switch (err) {
    case 0:         return XPERR_OK;
    case EPERM:     return XPERR_SYNC_NOT_OWNER;
    case EBUSY:     return XPERR_SYNC_TIMEOUT;
    case EINVAL:    return XPERR_SYNC_INVALID;
    case ETIMEDOUT: return XPERR_SYNC_TIMEOUT;
    default:        return XPERR_SYNC_FAILED;
    }
}

// ---- XpCriticalSection ------------------------------------------------------------------------

XpCriticalSection::XpCriticalSection()
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    // A recursive mutex with valid attributes cannot fail to initialise on glibc (no resources
    // are allocated), so the result is not looked at; the attribute object goes at once.
    pthread_mutex_init(&mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

XpCriticalSection::~XpCriticalSection()
{
    pthread_mutex_destroy(&mutex);
}


// ---- XpComboSyncObject: condition ---------------------------------------------------------------

XpComboSyncObject::XpComboSyncObject() : listenerCount(0)
{
    pthread_cond_init(&condition, nullptr);
}

XpComboSyncObject::~XpComboSyncObject()
{
    pthread_cond_broadcast(&condition);
    pthread_cond_destroy(&condition);
}

XpErr XpComboSyncObject::waitCondition(unsigned int timeout)
{
    if (timeout == XP_INFINITE_TIMEOUT)
        return xperrFromPthreadErr(pthread_cond_wait(&condition, internalLock.nativeHandle()));

    // The deadline counts whole calendar seconds: a time-out of 0 is already past, one of t
    // seconds ends within the t-th second from now.
    struct timespec deadline;
    deadline.tv_sec = time(nullptr) + static_cast<time_t>(timeout);
    deadline.tv_nsec = 0;
    return waitConditionUntil(deadline);
}

XpErr XpComboSyncObject::waitConditionUntil(const struct timespec& deadline)
{
    return xperrFromPthreadErr(
        pthread_cond_timedwait(&condition, internalLock.nativeHandle(), &deadline));
}

XpErr XpComboSyncObject::signalCondition()
{
    int err = pthread_cond_broadcast(&condition);
    // Listeners are woken whatever the broadcast said: a multi-object waiter must not sleep
    // through a change because the condition variable had trouble.
    unlockHook();
    return xperrFromPthreadErr(err);
}

// ---- Threads -------------------------------------------------------------------------------------

namespace {

struct StartRecord {
    void* (*function)(void*);
    void* argument;
};

void* BeginThreadProxy(void* param)
{
    // The record is freed before the function runs, so a thread that leaves through XpThreadEnd
    // (which never comes back here) leaks nothing.
    StartRecord* record = static_cast<StartRecord*>(param);
    void* (*function)(void*) = record->function;
    void* argument = record->argument;
    delete record;
    XpLocalAutoreleasePool pool;
    return function(argument);
}

XpErr xperrFromPriorityErr(int err)
{
    switch (err) {
    case 0:       return XPERR_OK;
    case EINVAL:  return XPERR_SYNC_INVALID_PRIORITY;
    case ENOTSUP: return XPERR_SYNC_INVALID_PRIORITY;
    case ENOSYS:  return XPERR_SYNC_NOT_SUPPORTED;
    default:      return XPERR_SYNC_INVALID;
    }
}

} // namespace

XpThread::~XpThread() {}

XpThread* XpThreadAllocAndBegin(void* (*function)(void*), void* argument)
{
    XpThread* thread = new (std::nothrow) XpThread();
    if (thread == nullptr)
        return nullptr;
    StartRecord* record = new (std::nothrow) StartRecord{function, argument};
    if (record == nullptr) {
        delete thread;
        return nullptr;
    }
    if (pthread_create(&thread->thread, nullptr, BeginThreadProxy, record) != 0) {
        delete record;
        delete thread;
        return nullptr;
    }
    return thread;
}

uint32_t XpThreadJoinAndFree(XpThread* thread)
{
    if (thread == nullptr)
        return XPERR_SYNC_INVALID;
    if (thread->IsCurrent())
        return XPERR_SYNC_DEADLOCK;
    void* exitValue = nullptr;
    // The join's own result is not looked at: the object is freed either way, and the exit value
    // stays null when the join could not deliver one.
    pthread_join(thread->nativeHandle(), &exitValue);
    delete thread;
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(exitValue));
}

bool XpThread::IsCurrent() const
{
    return pthread_equal(thread, pthread_self()) != 0;
}

bool XpThread::operator==(XpThread const& other) const
{
    return pthread_equal(thread, other.thread) != 0;
}

int XpThread::GetPriority() const
{
    int policy;
    struct sched_param param;
    if (pthread_getschedparam(thread, &policy, &param) != 0)
        return 0;
    return param.sched_priority;
}

XpErr XpThread::changePriority(int value, bool relative)
{
    int policy;
    struct sched_param param;
    int err = pthread_getschedparam(thread, &policy, &param);
    if (err == 0) {
        param.sched_priority = relative ? param.sched_priority + value : value;
        err = pthread_setschedparam(thread, policy, &param);
    }
    return xperrFromPriorityErr(err);
}

XpErr XpThread::SetPriority(int priority) { return changePriority(priority, false); }
XpErr XpThread::RaisePriority()           { return changePriority(1, true); }
XpErr XpThread::LowerPriority()           { return changePriority(-1, true); }

void XpThreadSleep(unsigned int milliseconds)
{
    // A 32-bit product, as documented: callers keep the argument at or below 4294967.
    usleep(static_cast<uint32_t>(milliseconds * 1000u));
}

void XpThreadYield()
{
    sched_yield();
}

void XpThreadEnd(int code)
{
    pthread_exit(reinterpret_cast<void*>(static_cast<uintptr_t>(static_cast<uint32_t>(code))));
}

pthread_t XpGetCurrentNativeThreadID()
{
    return pthread_self();
}

// ---- XpRwLock: writer id ---------------------------------------------------------------------------------

bool XpRwLock::isWriteLockedByThisThread() const
{
    return writerThread != 0 && pthread_equal(writerThread, pthread_self()) != 0;
}

void XpRwLock::setWriterThreadId()   { writerThread = pthread_self(); }
void XpRwLock::resetWriterThreadId() { writerThread = 0; }

// ---- XpMutex: semaphore half ------------------------------------------------------------------------------

namespace {

union semun {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

const int MUTEX_PROJECT_ID = '1';
const int MUTEX_PERMISSIONS = 0666;
// Opening a set that another process may just have created: give the creator time to set its
// value to 1 before anybody waits on it.
const unsigned int OPEN_SETTLE_MILLISECONDS = 200;

int semopRetrying(int semid, short delta, short flags)
{
    struct sembuf op;
    op.sem_num = 0;
    op.sem_op = delta;
    op.sem_flg = flags;
    int rc;
    do {
        rc = semop(semid, &op, 1);
    } while (rc == -1 && errno == EINTR);
    return rc == -1 ? errno : 0;
}

XpErr xperrFromSemErr(int err)
{
    // EIDRM comes only to a call that waited while the set was removed; a set removed before the
    // call is unknown to the kernel, which answers EINVAL, one of the other failures.
    switch (err) {
    case 0:      return XPERR_OK;
    case EAGAIN: return XPERR_SYNC_TIMEOUT;
    case EIDRM:  return XPERR_SYNC_NOT_INITIALIZED;
    default:     return XPERR_SYNC_FAILED;
    }
}

int openExisting(key_t key)
{
    int id = semget(key, 1, MUTEX_PERMISSIONS);
    if (id >= 0)
        XpThreadSleep(OPEN_SETTLE_MILLISECONDS);
    return id;
}

} // namespace

// ---- XpMutex: fork ---------------------------------------------------------------------------------------
//
// A forked child has only the thread that called fork, and the kernel gives it no share of the
// parent's SEM_UNDO holdings; but it gets a copy of every XpMutex as it was, owner and depth
// included, and glibc's pthread_t of the forking thread is the same number in the child. Without
// help the child would take a mutex the parent holds as a "recursive" lock, give back the
// parent's semaphore, or wait on a condition for a thread that does not exist in it. So every live
// XpMutex is on a list; before fork the forking thread takes the list's lock and every internal
// lock (so no copy is made halfway through a change), and in the child each mutex starts afresh:
// free, no listeners (their threads are gone), a new internal lock and condition (the copies
// belong to the parent's threads: a recursive mutex is owned by a kernel thread id that differs
// in the child, and a condition may count waiters that the child does not have).

// ThreadSanitizer counts a lock taken in prepare() as held until it sees it given back; an
// initialisation over it in the child is no release to it, so every later lock of the child
// would look like an inversion against prepare()'s order. Under ThreadSanitizer the child says
// so before it initialises; elsewhere this is nothing.
#if defined(__SANITIZE_THREAD__)
#define XP_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define XP_UNDER_TSAN 1
#endif
#endif
#ifdef XP_UNDER_TSAN
#include <sanitizer/tsan_interface.h>
static void announceReleasedInChild(pthread_mutex_t* m)
{
    __tsan_mutex_pre_unlock(m, 0);
    __tsan_mutex_post_unlock(m, 0);
}
#else
static void announceReleasedInChild(pthread_mutex_t*) {}
#endif

struct XpMutexForkList {
    static pthread_mutex_t lock;
    static XpMutex* head;

    static void prepare()
    {
        pthread_mutex_lock(&lock);
        for (XpMutex* m = head; m != nullptr; m = m->nextLive)
            pthread_mutex_lock(m->internalLock.nativeHandle());
    }
    static void parent()
    {
        for (XpMutex* m = head; m != nullptr; m = m->nextLive)
            pthread_mutex_unlock(m->internalLock.nativeHandle());
        pthread_mutex_unlock(&lock);
    }
    static void child()
    {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        for (XpMutex* m = head; m != nullptr; m = m->nextLive) {
            // Plain initialisations over memory no thread of the child uses: they cannot fail.
            announceReleasedInChild(m->internalLock.nativeHandle());
            pthread_mutex_init(m->internalLock.nativeHandle(), &attr);
            pthread_cond_init(&m->condition, nullptr);
            m->listeners.clear();   // keeps the allocation: nothing is freed or allocated here
            m->listenerCount = 0;
            m->waiters = 0;
            m->owner.count = 0;
            m->owner.clearThreadId();
        }
        pthread_mutexattr_destroy(&attr);
        // The list's own lock is a plain mutex that this very thread took in prepare(): it is
        // given back, not initialised over, so that lock-order checkers see it released.
        pthread_mutex_unlock(&lock);
    }
    static void registerHandlers()
    {
        // Without the handlers a child would inherit the fault described above; pthread_atfork
        // fails only for lack of memory, which leaves nothing better to do than go on.
        pthread_atfork(prepare, parent, child);
    }

    static void add(XpMutex* m)
    {
        static pthread_once_t once = PTHREAD_ONCE_INIT;
        pthread_once(&once, registerHandlers);
        pthread_mutex_lock(&lock);
        m->nextLive = head;
        if (head != nullptr)
            head->prevLive = m;
        head = m;
        pthread_mutex_unlock(&lock);
    }
    static void remove(XpMutex* m)
    {
        pthread_mutex_lock(&lock);
        (m->prevLive != nullptr ? m->prevLive->nextLive : head) = m->nextLive;
        if (m->nextLive != nullptr)
            m->nextLive->prevLive = m->prevLive;
        pthread_mutex_unlock(&lock);
    }
};

pthread_mutex_t XpMutexForkList::lock = PTHREAD_MUTEX_INITIALIZER;
XpMutex* XpMutexForkList::head = nullptr;

void XpMutex::initImpl(XpStringT<char> const& name)
{
    XpMutexForkList::add(this);
    semaphore = -1;
    // A name that is not an existing file or directory would give the key IPC_PRIVATE, a fresh set
    // per object that no other process can reach and whose value is never set: a lock on it could
    // never be granted. Such a mutex gets no semaphore (see the header).
    if (!XpFileOperation::IsFileAvailable(name) && !XpFileOperation::IsDirAvailable(name))
        return;
    key_t key = ftok(name.GetAnsiString(), MUTEX_PROJECT_ID);
    if (key == static_cast<key_t>(-1))   // the file went away since the test
        return;

    int id = openExisting(key);
    if (id < 0) {
        id = semget(key, 1, IPC_CREAT | IPC_EXCL | MUTEX_PERMISSIONS);
        if (id >= 0) {
            union semun arg;
            arg.val = 1;
            if (semctl(id, 0, SETVAL, arg) == -1) {
                // A set we created but could not make free would never grant a lock; removing it
                // lets the next process start afresh. The result of the removal changes nothing
                // for us: this mutex has no semaphore either way.
                semctl(id, 0, IPC_RMID);
                id = -1;
            }
        } else {
            // Another process created it between our two calls.
            id = openExisting(key);
        }
    }
    semaphore = id;
}

XpErr XpMutex::lockImpl(unsigned int timeout)
{
    if (semaphore < 0)
        return XPERR_SYNC_NOT_INITIALIZED;
    short flags = SEM_UNDO;
    if (timeout == 0)
        flags |= IPC_NOWAIT;
    return xperrFromSemErr(semopRetrying(semaphore, -1, flags));
}

void XpMutex::unlockImpl()
{
    if (semaphore < 0)
        return;
    // Not looked at: Unlock always succeeds, and the only failures left here (the set was removed
    // under us) leave nothing that a retry could give back.
    semopRetrying(semaphore, 1, SEM_UNDO);
}

void XpMutex::uninitImpl()
{
    // The set stays for other processes, and a lock still held stays with this process; only the
    // fork list forgets the object.
    XpMutexForkList::remove(this);
}
