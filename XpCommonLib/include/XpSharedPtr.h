// XpSharedPtr: the library's reference-counted owning pointer. Directory enumeration hands out
// its entries in it, and the file operations take their source file in it.
//
// All copies of one pointer share a counter record, allocated with the first pointer (also by the
// default constructor, so an empty pointer owns a record of its own). The object is deleted
// through its virtual destructor when the last copy lets go, and the record in the same call.
// A converting assignment passes the record on unchanged, so the object is always deleted as the
// type it was first owned as, whatever the pointer type of the last holder.
//
// Threads: both counts change only by an atomic add with a full barrier, and every decision uses
// the value that the add itself returned, so copies of one pointer may be made and dropped on
// different threads at once and exactly one thread deletes the object. One XpSharedPtr object
// must not be assigned or destroyed by two threads at once.
//
// Allocation failure of the record throws std::bad_alloc (the library's one exception, as it
// cannot hand back a pointer without a record).
#ifndef XPSHAREDPTR_H
#define XPSHAREDPTR_H

#include "XpThread.h"

#include <atomic>
#include <cstdint>
#include <type_traits>

/** \addtogroup files
    \{ */

namespace XpSharedPtrDetail {

// The counter record shared by every pointer to one object. Not for direct use.
class _XpSharedCounterBase {
public:
    std::atomic<int32_t> strongCount{1};   // XpSharedPtr objects holding this record
    std::atomic<int32_t> weakCount{1};     // 1 for all strong holders together; 0 deletes the record
    XpCriticalSection lock;                // lives with the record; no count operation takes it

    _XpSharedCounterBase() = default;
    _XpSharedCounterBase(const _XpSharedCounterBase&) = delete;
    _XpSharedCounterBase& operator=(const _XpSharedCounterBase&) = delete;
    virtual ~_XpSharedCounterBase() = default;
    // Gives up one strong hold; the last one deletes the object, then gives up the weak hold.
    virtual void release() = 0;
    // Gives up one weak hold; the last one deletes the record.
    virtual void weakRelease() = 0;

    // The value after adding delta, with a full barrier (the add is sequentially consistent).
    static int32_t addBarrier(std::atomic<int32_t>& count, int32_t delta)
    {
        return count.fetch_add(delta, std::memory_order_seq_cst) + delta;
    }
};

// The record of a pointer first constructed for T; it owns and deletes the object as a T.
template <typename T>
class _XpSharedCounter : public _XpSharedCounterBase {
public:
    T* object;   // the owned object; null once deleted

    explicit _XpSharedCounter(T* p) : object(p) {}

    void release() override
    {
        if (addBarrier(strongCount, -1) != 0)
            return;
        delete object;   // null is fine; T has a virtual destructor where it matters
        object = nullptr;
        weakRelease();
    }

    void weakRelease() override
    {
        if (addBarrier(weakCount, -1) == 0)
            delete this;
    }
};

} // namespace XpSharedPtrDetail

// A reference-counted owning pointer to a T (see the top of this file).
template <typename T>
class XpSharedPtr {
public:
    // Empty (null) pointer with a record of its own.
    XpSharedPtr() : pointer(nullptr), counter(new XpSharedPtrDetail::_XpSharedCounter<T>(nullptr)) {}
    // Takes ownership of p, which must come from operator new; p may be null. If the record
    // cannot be allocated, p is deleted before std::bad_alloc propagates, so nothing leaks.
    explicit XpSharedPtr(T* p) : pointer(p), counter(makeRecord(p)) {}
    // Shares other's object and record.
    XpSharedPtr(const XpSharedPtr& other) : pointer(other.pointer), counter(other.counter)
    {
        XpSharedPtrDetail::_XpSharedCounterBase::addBarrier(counter->strongCount, 1);
    }
    // Shares the object and record of a pointer to a type derived from T.
    template <typename U, typename = std::enable_if_t<std::is_convertible<U*, T*>::value>>
    XpSharedPtr(const XpSharedPtr<U>& other) : pointer(other.pointer), counter(other.counter)
    {
        XpSharedPtrDetail::_XpSharedCounterBase::addBarrier(counter->strongCount, 1);
    }
    // Gives up this hold; the last holder deletes the object and the record.
    ~XpSharedPtr() { counter->release(); }

    // Shares other's object and record. The new count is raised before the old record is
    // released, so self-assignment and assignment between copies change nothing.
    XpSharedPtr& operator=(const XpSharedPtr& other) { return assign(other.pointer, other.counter); }
    // The same from a pointer to a type derived from T; the record keeps its own deleter.
    template <typename U, typename = std::enable_if_t<std::is_convertible<U*, T*>::value>>
    XpSharedPtr& operator=(const XpSharedPtr<U>& other)
    {
        return assign(other.pointer, other.counter);
    }

    // The object's members, or the object itself; the pointer must not be empty.
    T* operator->() const { return pointer; }
    T& operator*() const { return *pointer; }
    // The object, or null for an empty pointer.
    T* Get() const { return pointer; }
    // True when the pointer holds an object.
    explicit operator bool() const { return pointer != nullptr; }

    // Internal: the shared record, for diagnostics and tests.
    XpSharedPtrDetail::_XpSharedCounterBase* counterRecord() const { return counter; }

private:
    template <typename U> friend class XpSharedPtr;

    static XpSharedPtrDetail::_XpSharedCounterBase* makeRecord(T* p)
    {
        try {
            return new XpSharedPtrDetail::_XpSharedCounter<T>(p);
        } catch (...) {
            delete p;
            throw;
        }
    }

    XpSharedPtr& assign(T* otherPointer, XpSharedPtrDetail::_XpSharedCounterBase* otherCounter)
    {
        pointer = otherPointer;
        XpSharedPtrDetail::_XpSharedCounterBase::addBarrier(otherCounter->strongCount, 1);
        counter->release();
        counter = otherCounter;
        return *this;
    }

    T* pointer;
    XpSharedPtrDetail::_XpSharedCounterBase* counter;
};

/** \} */

#endif
