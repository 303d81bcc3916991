// xpfs rmdir: removes empty folders (removeDir), each operand tried, the system's reason told.
#include "xpfs.h"

#include <XpFileOperation.h>

namespace {

const XpfsOption kOptions[] = {
    {0, nullptr, nullptr, nullptr},
};

int runRmdir(const XpfsCommand& self, XpfsArgs& args)
{
    if (args.Count() == 0)
        return xpfsUsageError(self, _("missing operand"));
    int status = XPFS_OK;
    for (char* operand : args.operands) {
        if (XpFileOperation::removeDir(XpStringT<char>(operand)) == XPERR_OK)
            continue;
        XpFileError err = XpFileOperation::LastError();
        std::string what = xpfsFormat(_("failed to remove %s"), xpfsQuote(operand).c_str());
        if (err.SysErr() == 0 && err.Code() == XPERR_FILE_DEVICE_NOT_AVAILABLE)
            xpfsMessage(what + ": " + _("the volume is not available"));
        else
            xpfsMessageCause(what, err);
        status = XPFS_FAILED;
    }
    return status;
}

const XpfsCommand kCommands[] = {
    {"rmdir", nullptr, N_("DIR..."), N_("Remove empty folders."), nullptr, nullptr, kOptions, runRmdir},
};
XpfsRegistration registration(kCommands, 1);

} // namespace
