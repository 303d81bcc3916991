// The availability checker: a probe on a worker thread, waited for with a time-out.
//
// Lock order: callLock, then handOffLock. A worker takes only handOffLock, and only to look at
// the last entry of the thread list and, when that entry is itself, to hand over its result. A
// worker of an earlier check that timed out finds a later worker at the end of the list and drops
// its result, so it can never answer for a check that is not its own.
#include <XpFileAvailableChecker.h>

#include "_XpNetworkVolume.h"

#include <XpFileOperation.h>
#include <XpPathUtil.h>

#include <new>

// One per worker: made by the caller, owned and freed by the worker.
struct XpFileAvailableChecker::Request {
    XpStringT<char> path;
    XpFileAvailableChecker* checker;
    Probe probe;
};

XpFileAvailableChecker::XpFileAvailableChecker(bool useCache_)
    : useCache(useCache_), done(false), result(false)
{
}

XpFileAvailableChecker::~XpFileAvailableChecker()
{
    XpSingleLock call(&callLock);
    for (;;) {
        XpThread* oldest;
        {
            XpSingleLock handOff(&handOffLock);
            if (threads.empty())
                break;
            oldest = threads.front();
        }
        // Not under handOffLock: the worker needs it to finish. No check can start meanwhile
        // (callLock), so the list only loses the entries removed here.
        XpThreadJoinAndFree(oldest);
        XpSingleLock handOff(&handOffLock);
        threads.pop_front();
    }
}

bool XpFileAvailableChecker::IsFileAvailableWithTimeOut(XpStringT<char> const& path,
                                                        unsigned int timeout)
{
    XpSingleLock call(&callLock);
    return isAvailable(path, timeout, &XpFileOperation::IsFileAvailable, fileParentDirCache);
}

bool XpFileAvailableChecker::IsFileAvailableNoExtWithTimeOut(XpStringT<char> const& path,
                                                             unsigned int timeout)
{
    XpSingleLock call(&callLock);
    return isAvailable(path, timeout, &XpFileOperation::IsFileAvailableNoExt, fileParentDirCache);
}

bool XpFileAvailableChecker::IsDirAvailableWithTimeOut(XpStringT<char> const& path,
                                                       unsigned int timeout)
{
    XpSingleLock call(&callLock);
    return isAvailable(path, timeout, &XpFileOperation::IsDirAvailable, dirCache);
}

void XpFileAvailableChecker::ClearDirCache()
{
    XpSingleLock call(&callLock);
    dirCache.clear();
}

void XpFileAvailableChecker::ClearFileParentDirCache()
{
    XpSingleLock call(&callLock);
    fileParentDirCache.clear();
}

// REQUIRES: callLock held.
bool XpFileAvailableChecker::isAvailable(XpStringT<char> const& path, unsigned int timeout,
                                         Probe probe, std::vector<XpStringT<char> >& cache)
{
    // On a local volume the two status probes are answered by the status call that finds the
    // volume; the other probe runs after its own volume test.
    if (probe == &XpFileOperation::IsFileAvailable || probe == &XpFileOperation::IsDirAvailable) {
        _XpPathKind kind = _XpLocalPathKind(path);
        if (kind != _XpPathOnNetwork)
            return kind == (probe == &XpFileOperation::IsDirAvailable ? _XpPathDirectory : _XpPathFile);
    } else if (!_XpIsNetworkPath(path, nullptr)) {
        return probe(path);
    }
    if (isNotAvailableByCache(path, cache))
        return false;
    {
        XpSingleLock handOff(&handOffLock);
        done.SetOk(false);
        result = false;
        Request* request = new (std::nothrow) Request{path, this, probe};
        XpThread* worker = nullptr;
        if (request != nullptr) {
            // The slot is made before the thread starts, so that a failing allocation cannot
            // leave a running worker out of the list. The worker reads the slot only after this
            // block has filled it and released handOffLock.
            try {
                threads.push_back(nullptr);
                worker = XpThreadAllocAndBegin(availableCheckThread, request);
                if (worker == nullptr)
                    threads.pop_back();
                else
                    threads.back() = worker;
            } catch (...) {
                worker = nullptr;
            }
        }
        if (worker == nullptr) {
            delete request;
            return probe(path);   // no worker: probed here, without a time-out
        }
    }
    if (done.Lock(timeout) != XPERR_OK) {
        addToCache(path, probe, cache);
        return false;   // the worker stays in the list until the destructor
    }
    XpSingleLock handOff(&handOffLock);
    // The worker has handed its result over and needs no lock any more, so it can be joined here.
    XpThreadJoinAndFree(threads.back());
    threads.pop_back();
    return result;
}

bool XpFileAvailableChecker::isNotAvailableByCache(XpStringT<char> const& path,
                                                   std::vector<XpStringT<char> > const& cache) const
{
    if (!useCache)
        return false;
    for (const XpStringT<char>& entry : cache) {
        int relation = XpPathUtil::CheckPathRelationship(entry, path);
        if (relation == XpPathUtil::PATHREL_SAME || relation == XpPathUtil::PATHREL_PARENT)
            return true;
    }
    return false;
}

void XpFileAvailableChecker::addToCache(XpStringT<char> const& path, Probe probe,
                                        std::vector<XpStringT<char> >& cache)
{
    if (!useCache)
        return;
    try {
        cache.push_back(probe == &XpFileOperation::IsDirAvailable ? path
                                                                  : XpPathUtil::GetFileDir(path));
    } catch (...) {
        // Without memory the folder is simply not remembered: the next check probes again.
    }
}

void* XpFileAvailableChecker::availableCheckThread(void* record)
{
    Request* request = static_cast<Request*>(record);
    XpStringT<char> path(request->path);
    bool found = request->probe(path);
    XpFileAvailableChecker* checker = request->checker;
    {
        XpSingleLock handOff(&checker->handOffLock);
        if (!checker->threads.empty() && checker->threads.back()->IsCurrent()) {
            checker->result = found;
            checker->done.SetOk(true);
        }
    }
    delete request;
    return nullptr;
}
