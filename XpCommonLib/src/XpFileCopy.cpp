// XpFileOperation, portable half of copying and moving: the stream copy through a 256 KiB
// buffer, the copy into a folder under a free numbered name, the copy and move by paths with and
// without UI, and the copy through a temporary file beside the destination.
#include <XpFileOperation.h>

#include <XpFile.h>
#include <XpPathUtil.h>

#include "_XpFileCopySub.h"

#include <cstdio>
#include <cstdlib>

namespace {

const int64_t kCopyChunk = 262144;   // one buffer of the stream copy, 0x40000 bytes

// The stream copy's destination, opened for writing after the checks of the source and of what
// is there: a source that cannot be read or is not a regular file (a link swapped in for it may
// lead to /dev/zero, which never ends) costs the destination nothing, and a file there that
// belongs to someone who may not read the source is refused, not filled (its owner may hold it
// open). A new destination is made private first: open for writing, it could otherwise be opened
// by anyone before it gets the source's mode, and read through that descriptor later.
XpErr openDestination(const _XpStreamCopy& look, const XpStringT<char>& destination, XpFile& target)
{
    XpErr err = look.CheckSource();
    if (err == XPERR_OK)
        err = look.CheckDestinationPath(destination);
    bool claimed = err == XPERR_OK && look.ClaimNew(destination);
    if (err == XPERR_OK)
        err = target.Open(XpAbstractFile::openWrite, XpAbstractFile::shareDenyNone);
    if (err != XPERR_OK && claimed)
        _XpFileCopySub::RemoveCopyDestination(destination);
    if (err == XPERR_OK) {
        err = look.CheckDestination(target);   // put there since the look above
        if (err != XPERR_OK)
            target.Close();   // not ours: left where it is
    }
    return err;
}

// The position and progress of a stream copy under way.
struct StreamCopy {
    XpAbstractFile& source;
    XpFile& target;
    const _XpStreamCopy& look;
    IXpFileOpProgressObserver* observer;
    int64_t total, done, start, pos;
    bool stop;

    // A sparse source's holes are passed over on both sides: the destination gets holes where
    // the source has them, as cp makes them. *want is cut to the data that follows; *endsInHole
    // tells that only a hole is left (the destination then lengthened to the end), *skipped that
    // a hole was passed.
    XpErr SkipHole(int64_t* want, bool* endsInHole, bool* skipped)
    {
        int64_t next = pos, length = kCopyChunk;
        *endsInHole = !look.NextData(pos, &next, &length);
        if (next > pos) {
            XpErr err = source.Seek(next, XpAbstractFile::seekBegin);
            if (err == XPERR_OK && !*endsInHole)
                err = target.Seek(next - start, XpAbstractFile::seekBegin);
            if (err == XPERR_OK && *endsInHole)
                err = look.Lengthen(target, next - start) == 0 ? XPERR_OK : XPERR_FILE_FAILED;
            if (err != XPERR_OK)
                return err;
            done += next - pos;
            pos = next;
            *skipped = true;
        }
        if (length < *want)
            *want = length;
        return XPERR_OK;
    }

    void Report()
    {
        double percent = total > 0 ? static_cast<double>(done) * 100.0 / static_cast<double>(total) : 100.0;
        observer->percent = percent > 100.0 ? 100.0 : percent;   // a source that grew
        stop = observer->OnProgress(observer->percent);
    }

    // Copies chunk by chunk to the source's end or a stop request.
    XpErr Run(unsigned char* buffer)
    {
        while (!stop) {
            int64_t want = kCopyChunk;
            bool endsInHole = false, skipped = false;
            XpErr err = look.Sparse() ? SkipHole(&want, &endsInHole, &skipped) : XPERR_OK;
            if (err != XPERR_OK)
                return err;
            int64_t count = -1;
            err = endsInHole ? XPERR_FILE_END_OF_FILE : source.Read(buffer, want, &count);
            if (err != XPERR_OK && err != XPERR_FILE_END_OF_FILE)
                return err;
            if (count > 0) {
                err = target.Write(buffer, count, nullptr);
                if (err != XPERR_OK)
                    return err;
                done += count;
                pos += count;
            }
            if (observer != nullptr && (count > 0 || (endsInHole && skipped)))
                Report();
            if (count < want)
                break;   // the end of the source: a finished copy
        }
        return XPERR_OK;
    }
};

// The data of the open source into the open target, from the source's position (the
// destination's offsets count from it); *stop tells a stop request.
XpErr copyData(XpAbstractFile& source, XpFile& target, const _XpStreamCopy& look, const XpStringT<char>& destination,
               IXpFileOpProgressObserver* observer, bool* stop)
{
    unsigned char* buffer = static_cast<unsigned char*>(std::malloc(kCopyChunk));
    if (buffer == nullptr)
        return XPERR_NO_MEMORY;
    const int64_t start = source.GetCurrentPosition();
    StreamCopy copy{source, target, look, observer, source.GetSize(), 0, start, start, false};
    if (observer != nullptr) {
        observer->currentPath = source.GetIdentifier();
        observer->destinationPath = destination;
        observer->percent = 0.0;
        observer->statusFlag = false;
        copy.stop = observer->OnProgress(0.0);
    }
    XpErr err = copy.Run(buffer);
    std::free(buffer);
    *stop = copy.stop;
    return err;
}

// Dates, read-only and hidden of the source onto the finished copy.
XpErr copyAttributes(XpAbstractFile& source, XpFile& target, const XpStringT<char>& destination)
{
    XpDateTime creation, modified;
    XpErr err = source.GetDateTime(&creation, &modified, nullptr);
    if (err == XPERR_OK)
        err = target.SetDateTime(&creation, &modified, nullptr);
    if (err == XPERR_OK)
        err = XpFileOperation::SetReadOnly(destination, source.IsReadOnly());
    if (err == XPERR_OK) {
        err = XpFileOperation::SetHidden(destination, source.IsHidden());
        if (err == XPERR_FILE_NOT_SUPPORTED)   // a name is hidden by its dot alone here
            err = XPERR_OK;
    }
    return err;
}

} // namespace

XpErr XpFileOperation::CopyFile(XpSharedPtr<XpAbstractFile> source,
                                const XpStringT<char>& destination,
                                IXpFileOpProgressObserver* observer)
{
    if (!source)
        return XPERR_FILE_INVALID_PARAM;
    // The source's own file as the destination: opening it for writing would truncate the source.
    if (_XpFileCopySub::SameObject(source->GetIdentifier(), destination))
        return XPERR_FILE_INVALID_PARAM;
    // A closed source is opened here and closed again before returning.
    bool openedHere = false;
    if (source->GetCurrentPosition() < 0) {
        XpErr err = source->Open(XpAbstractFile::openRead, XpAbstractFile::shareDenyNone);
        if (err != XPERR_OK)
            return err;
        openedHere = true;
    }
    _XpStreamCopy look(*source);
    XpFile target(destination);
    XpErr err = openDestination(look, destination, target);
    if (err != XPERR_OK) {
        if (openedHere)
            source->Close();   // read-only: nothing of ours is lost when this fails
        return err;
    }
    // Nobody may read the copy who may not read the source, from the first byte on.
    err = look.ApplyMode(target);
    bool stop = false;
    if (err == XPERR_OK)
        err = copyData(*source, target, look, destination, observer, &stop);
    XpErr closeErr = target.Close();
    if (err == XPERR_OK)
        err = closeErr;
    if (openedHere)
        source->Close();
    if (stop) {
        _XpFileCopySub::RemoveCopyDestination(destination);
        return XPERR_FILE_CANCELLED;
    }
    if (err == XPERR_OK)
        err = copyAttributes(*source, target, destination);
    if (err != XPERR_OK)
        _XpFileCopySub::RemoveCopyDestination(destination);
    return err;
}

XpErr XpFileOperation::CopyFile(XpSharedPtr<XpAbstractFile> source, const XpStringT<char>& folder,
                                bool rename, IXpFileOpProgressObserver* observer,
                                XpStringT<char>* created)
{
    if (!source)
        return XPERR_FILE_INVALID_PARAM;
    XpStringT<char> identifier = source->GetIdentifier();
    XpStringT<char> target = XpPathUtil::Concatenate(folder, XpPathUtil::GetFileFullName(identifier));
    // The name is claimed as CreateNewFile claims it, but readable by the caller alone until the
    // copy gives it the source's mode: nobody can open it empty and read the copy later.
    XpErr err = claimName(target);
    if (err == XPERR_FILE_EXISTS && rename) {
        // Only the number goes through a format; name and extension are appended as they are, so
        // a name such as "100%d.txt" stays itself.
        XpStringT<char> name = XpPathUtil::GetFileName(identifier);
        XpStringT<char> ext = XpPathUtil::GetFileExt(identifier);
        for (unsigned int n = 2; err == XPERR_FILE_EXISTS; ++n) {
            char number[32];
            std::snprintf(number, sizeof number, " (%u)", n);
            target = XpPathUtil::Concatenate(folder, name + number + ext);
            err = claimName(target);
        }
    }
    if (err != XPERR_OK)
        return err;
    err = CopyFile(source, target, observer);
    if (err != XPERR_OK) {
        _XpFileCopySub::RemoveCopyDestination(target);
        return err;
    }
    if (created != nullptr)
        *created = target;
    return XPERR_OK;
}

namespace {

// A copy or move of one item with UI: a file-manager request into the destination's folder. The
// agent names the item after the source. Put beside the destination under that name, it would
// take the place of whatever has the name there: the source itself, when both are in one folder,
// or an unrelated file. So an item to be renamed goes through a hidden folder of its own beside
// the destination and is renamed from there. A move that cannot be renamed on is moved back as
// far as possible, and only an empty staging folder is removed, so the item is never lost; a
// copy's staging folder goes with whatever is left in it.
XpErr throughFileManager(const XpStringT<char>& source, const XpStringT<char>& destination, bool copy)
{
    XpStringT<char> folder = XpPathUtil::GetFileDir(destination);
    XpStringT<char> sourceName = XpPathUtil::GetFileFullName(source);
    std::vector<XpStringT<char> > one(1, source);
    auto request = [&](const XpStringT<char>& into) {
        return static_cast<XpErr>(copy ? XpFileOperation::CopyFiles(one, into, true, nullptr)
                                       : XpFileOperation::MoveFiles(one, into, true, nullptr));
    };
    if (XpPathUtil::GetFileFullName(destination).Compare(sourceName.GetBuffer()) == 0)
        return request(folder);
    XpStringT<char> staging = _XpFileCopySub::MakeStagingFolder(folder);
    if (staging.IsEmpty())
        return copy ? XPERR_FILE_COPY_FAILED : XPERR_FILE_MOVE_FAILED;
    XpErr err = request(staging);
    if (err == XPERR_OK) {
        XpStringT<char> placed = XpPathUtil::Concatenate(staging, sourceName);
        err = XpFileOperation::moveFileWithoutUI(placed, destination, nullptr);
        if (err != XPERR_OK && !copy)
            XpFileOperation::moveFileWithoutUI(placed, source, nullptr);   // back where it was
    }
    _XpFileCopySub::RemoveStagingFolder(staging, copy);
    return err;
}

} // namespace

XpErr XpFileOperation::CopyFile(const XpStringT<char>& source, const XpStringT<char>& destination,
                                bool withUI, IXpFileOpProgressObserver* observer)
{
    return withUI ? throughFileManager(source, destination, true)
                  : copyFileWithoutUI(source, destination, observer);
}

XpErr XpFileOperation::MoveFile(const XpStringT<char>& source, const XpStringT<char>& destination,
                                bool withUI, IXpFileOpProgressObserver* observer)
{
    return withUI ? throughFileManager(source, destination, false)
                  : moveFileWithoutUI(source, destination, observer);
}
