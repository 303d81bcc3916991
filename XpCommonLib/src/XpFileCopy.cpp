// XpFileOperation, portable half of copying and moving: the stream copy through a 256 KiB
// buffer, the copy into a folder under a free numbered name, the copy and move by paths with and
// without UI, and the copy through a temporary file beside the destination.
#include <XpFileOperation.h>

#include <XpFile.h>
#include <XpPathUtil.h>

#include "_XpFileOperationSub_Linux.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace {

const int64_t kCopyChunk = 262144;   // one buffer of the stream copy, 0x40000 bytes

// Removes what a failed or stopped stream copy left at path. Only a regular file is removed: the
// destination may be a device (/dev/full, /dev/null) that the copy wrote to, and that must stay.
void removeCopyDestination(const XpStringT<char>& path)
{
    struct stat st;
    if (lstat(path.GetAnsiString().GetBuffer(), &st) == 0 && S_ISREG(st.st_mode))
        XpFileOperation::removeFile(path);   // nothing more to do when even this fails
}

} // namespace

XpErr XpFileOperation::CopyFile(XpSharedPtr<XpAbstractFile> source,
                                const XpStringT<char>& destination,
                                IXpFileOpProgressObserver* observer)
{
    if (!source)
        return XPERR_FILE_INVALID_PARAM;
    // The source's own file as the destination: opening it for writing would truncate the source.
    if (_XpFileOperationSub_Linux::SameObject(source->GetIdentifier(), destination))
        return XPERR_FILE_INVALID_PARAM;
    XpFile target(destination);
    XpErr err = target.Open(XpAbstractFile::openWrite, XpAbstractFile::shareDenyNone);
    if (err != XPERR_OK)
        return err;
    // A closed source (its position reads -1) is opened here and closed again before returning.
    bool openedHere = false;
    if (source->GetCurrentPosition() < 0) {
        err = source->Open(XpAbstractFile::openRead, XpAbstractFile::shareDenyNone);
        openedHere = err == XPERR_OK;
    }

    bool stop = false;
    if (err == XPERR_OK) {
        unsigned char* buffer = static_cast<unsigned char*>(std::malloc(kCopyChunk));
        if (buffer == nullptr) {
            err = XPERR_NO_MEMORY;
        } else {
            int64_t total = source->GetSize();
            int64_t done = 0;
            if (observer != nullptr) {
                observer->currentPath = source->GetIdentifier();
                observer->destinationPath = destination;
                observer->percent = 0.0;
                observer->statusFlag = false;
                stop = observer->OnProgress(0.0);
            }
            while (!stop) {
                int64_t count = -1;
                XpErr readErr = source->Read(buffer, kCopyChunk, &count);
                if (readErr != XPERR_OK && readErr != XPERR_FILE_END_OF_FILE) {
                    err = readErr;
                    break;
                }
                if (count <= 0)
                    break;   // the end of the source: a finished copy
                err = target.Write(buffer, count, nullptr);
                if (err != XPERR_OK)
                    break;
                if (observer != nullptr) {
                    done += count;
                    double percent = total > 0 ? static_cast<double>(done) * 100.0 / static_cast<double>(total)
                                               : 100.0;
                    observer->percent = percent > 100.0 ? 100.0 : percent;   // a source that grew
                    stop = observer->OnProgress(observer->percent);
                }
                if (count < kCopyChunk)
                    break;
            }
            std::free(buffer);
        }
    }
    XpErr closeErr = target.Close();
    if (err == XPERR_OK)
        err = closeErr;
    if (openedHere)
        source->Close();   // read-only: nothing of ours is lost when this fails

    if (stop) {
        removeCopyDestination(destination);
        return XPERR_FILE_CANCELLED;
    }
    if (err != XPERR_OK) {
        removeCopyDestination(destination);
        return err;
    }
    XpDateTime creation, modified;
    err = source->GetDateTime(&creation, &modified, nullptr);
    if (err == XPERR_OK)
        err = target.SetDateTime(&creation, &modified, nullptr);
    if (err == XPERR_OK)
        err = SetReadOnly(destination, source->IsReadOnly());
    if (err == XPERR_OK) {
        err = SetHidden(destination, source->IsHidden());
        if (err == XPERR_FILE_NOT_SUPPORTED)   // a name is hidden by its dot alone here
            err = XPERR_OK;
    }
    if (err != XPERR_OK)
        removeCopyDestination(destination);
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
    XpErr err = CreateNewFile(target);
    if (err == XPERR_FILE_EXISTS && rename) {
        // Only the number goes through a format; name and extension are appended as they are, so
        // a name such as "100%d.txt" stays itself.
        XpStringT<char> name = XpPathUtil::GetFileName(identifier);
        XpStringT<char> ext = XpPathUtil::GetFileExt(identifier);
        for (unsigned int n = 2; err == XPERR_FILE_EXISTS; ++n) {
            char number[32];
            std::snprintf(number, sizeof number, " (%u)", n);
            target = XpPathUtil::Concatenate(folder, name + number + ext);
            err = CreateNewFile(target);
        }
    }
    if (err != XPERR_OK)
        return err;
    err = CopyFile(source, target, observer);
    if (err != XPERR_OK) {
        removeCopyDestination(target);
        return err;
    }
    if (created != nullptr)
        *created = target;
    return XPERR_OK;
}

XpErr XpFileOperation::CopyFile(const XpStringT<char>& source, const XpStringT<char>& destination,
                                bool withUI, IXpFileOpProgressObserver* observer)
{
    if (!withUI)
        return copyFileWithoutUI(source, destination, observer);
    XpStringT<char> folder = XpPathUtil::GetFileDir(destination);
    std::vector<XpStringT<char> > one(1, source);
    XpErr err = static_cast<XpErr>(CopyFiles(one, folder, true, nullptr));
    XpStringT<char> sourceName = XpPathUtil::GetFileFullName(source);
    if (err == XPERR_OK && XpPathUtil::GetFileFullName(destination).Compare(sourceName.GetBuffer()) != 0) {
        XpStringT<char> copied = XpPathUtil::Concatenate(folder, sourceName);
        err = moveFileWithoutUI(copied, destination, nullptr);
        if (err != XPERR_OK)
            removeFile(copied);
    }
    return err;
}

XpErr XpFileOperation::MoveFile(const XpStringT<char>& source, const XpStringT<char>& destination,
                                bool withUI, IXpFileOpProgressObserver* observer)
{
    if (!withUI)
        return moveFileWithoutUI(source, destination, observer);
    XpStringT<char> folder = XpPathUtil::GetFileDir(destination);
    std::vector<XpStringT<char> > one(1, source);
    XpErr err = static_cast<XpErr>(MoveFiles(one, folder, true, nullptr));
    XpStringT<char> sourceName = XpPathUtil::GetFileFullName(source);
    if (err == XPERR_OK && XpPathUtil::GetFileFullName(destination).Compare(sourceName.GetBuffer()) != 0) {
        XpStringT<char> moved = XpPathUtil::Concatenate(folder, sourceName);
        err = moveFileWithoutUI(moved, destination, nullptr);
        if (err != XPERR_OK)
            moveFileWithoutUI(moved, source, nullptr);   // back where it was, as far as possible
    }
    return err;
}

XpErr XpFileOperation::CopyFileSafely(const XpStringT<char>& source,
                                      const XpStringT<char>& destination, bool withUI,
                                      IXpFileOpProgressObserver* observer)
{
    XpStringT<char> temp = CreateTempFile(XpPathUtil::GetFileDir(destination), "", 8, "", ".tmp");
    if (temp.IsEmpty())
        return XPERR_FILE_FAILED;
    XpErr created = CreateNewFile(destination);
    if (created != XPERR_OK && created != XPERR_FILE_EXISTS) {
        removeFile(temp);
        return created;
    }
    XpErr err = CopyFile(source, temp, withUI, observer);
    if (err == XPERR_OK)
        err = MoveFile(temp, destination, false, nullptr);
    if (err == XPERR_OK) {
        // The move took the temporary name away. It is not removed again here: by now another
        // copy in this folder may have been given the same free number.
        return XPERR_OK;
    }
    if (created == XPERR_OK)
        removeFile(destination);
    removeFile(temp);
    return err;
}
