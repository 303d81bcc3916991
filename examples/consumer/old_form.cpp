// The older include form, without the XpCommonLib/ folder, which programs written before the
// prefixed form still use: it must keep building against the installed library, in the same
// program as the prefixed form (each header is read once, whichever form names it).
#include <XpPathUtil.h>
#include <XpString.h>

#include "old_form.h"

bool oldFormJoins()
{
    XpStringA joined = XpPathUtil::Concatenate(XpStringA("/usr"), XpStringA("lib"));
    return joined == "/usr/lib";
}
