// The Linux answers to the portable copy's questions (_XpFileCopySub.h): forwards to the
// descriptor-based helpers of _XpFileOperationSub_Linux.
#include "_XpFileCopySub.h"

#include "_XpFileOperationSub_Linux.h"

#include <sys/stat.h>

#include <XpFileOperation.h>

bool _XpFileCopySub::SameObject(const XpStringT<char>& a, const XpStringT<char>& b)
{
    return _XpFileOperationSub_Linux::SameObject(a, b);
}

void _XpFileCopySub::RemoveCopyDestination(const XpStringT<char>& path)
{
    struct stat st;
    if (lstat(path.GetAnsiString().GetBuffer(), &st) == 0 && S_ISREG(st.st_mode))
        XpFileOperation::removeFile(path);   // nothing more to do when even this fails
}

XpStringT<char> _XpFileCopySub::MakeStagingFolder(const XpStringT<char>& folder)
{
    return _XpFileOperationSub_Linux::MakeStagingFolder(folder);
}

void _XpFileCopySub::RemoveStagingFolder(const XpStringT<char>& path, bool withContents)
{
    _XpFileOperationSub_Linux::RemoveStagingFolder(path, withContents);
}

struct _XpStreamCopy::Impl : _XpStreamCopy_Linux {
    explicit Impl(const XpAbstractFile& source) : _XpStreamCopy_Linux(source) {}
};

_XpStreamCopy::_XpStreamCopy(const XpAbstractFile& source) : impl_(new Impl(source)) {}
_XpStreamCopy::~_XpStreamCopy() = default;
XpErr _XpStreamCopy::CheckSource() const { return impl_->CheckSource(); }
XpErr _XpStreamCopy::CheckDestinationPath(const XpStringT<char>& path) const { return impl_->CheckDestinationPath(path); }
bool _XpStreamCopy::ClaimNew(const XpStringT<char>& path) const { return impl_->ClaimNew(path); }
XpErr _XpStreamCopy::CheckDestination(const XpAbstractFile& target) const { return impl_->CheckDestination(target); }
XpErr _XpStreamCopy::ApplyMode(const XpAbstractFile& target) const { return impl_->ApplyMode(target); }
bool _XpStreamCopy::Sparse() const { return impl_->Sparse(); }
bool _XpStreamCopy::NextData(int64_t pos, int64_t* next, int64_t* length) const { return impl_->NextData(pos, next, length); }
int _XpStreamCopy::Lengthen(XpAbstractFile& target, int64_t length) const { return impl_->Lengthen(target, length); }
