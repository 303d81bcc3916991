// xpfs concat: joins files into one (ConcatenateFiles).
#include "xpfs.h"

#include <XpFileOperation.h>

#include <cstring>
#include <vector>

namespace {

const XpfsOption kOptions[] = {
    {'o', "output", N_("OUT"), N_("the file to write (created or truncated)")},
    {0, nullptr, nullptr, nullptr},
};

int runConcat(const XpfsCommand& self, XpfsArgs& args)
{
    const char* out = args.Value('o');
    if (out == nullptr)
        return xpfsUsageError(self, _("expected -o OUT"));
    if (args.Count() == 0)
        return xpfsUsageError(self, _("missing operand"));
    std::vector<XpStringT<char> > inputs(args.operands.begin(), args.operands.end());
    XpErr err = XpFileOperation::ConcatenateFiles(inputs, XpStringT<char>(out), nullptr);
    if (err == XPERR_OK)
        return XPFS_OK;
    // The library keeps no cause of a concatenation: its code is all there is to say.
    xpfsMessageCause(xpfsFormat(_("cannot concatenate into %s"), xpfsQuote(out).c_str()), XpFileError(err, 0));
    return XPFS_FAILED;
}

const XpfsCommand kCommands[] = {
    {"concat", nullptr, N_("-o OUT IN..."), N_("Write the inputs one after another into OUT."),
     N_("OUT is created or truncated; on failure it keeps what was written."), nullptr, kOptions, runConcat},
};
XpfsRegistration registration(kCommands, 1);

} // namespace
