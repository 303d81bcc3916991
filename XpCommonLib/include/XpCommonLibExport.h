// Symbol visibility for XpCommonLib. The library is built with hidden visibility, so every
// class and function that consumers may use carries XP_API.
#ifndef XPCOMMONLIBEXPORT_H
#define XPCOMMONLIBEXPORT_H

#if defined(XPCOMMONLIB_STATIC)
#define XP_API
#else
#define XP_API __attribute__((visibility("default")))
#endif

#endif
