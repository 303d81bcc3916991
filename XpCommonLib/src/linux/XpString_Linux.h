// Internal: what only the Linux half of XpString uses (the portable interface is _XpStringSub.h).
#ifndef XPSTRING_LINUX_H
#define XPSTRING_LINUX_H

#include "_XpStringSub.h"

#include <locale.h>

// The UTF-8 character-type locale, created when the library is loaded; (locale_t)0 when the
// system has no C.UTF-8 locale, in which case the conversions decode UTF-8 themselves.
extern locale_t g_xpUTF8loc;

#endif
