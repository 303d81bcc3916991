// Symbol visibility for XpCommonLib. The library is built with hidden visibility, so every
// class and function that consumers may use carries XP_API.
#ifndef XPCOMMONLIBEXPORT_H
#define XPCOMMONLIBEXPORT_H

#if defined(XPCOMMONLIB_STATIC)
// Marks what the library exports (nothing to mark in a static build).
#define XP_API
#else
// Marks what the library exports: the rest of it is hidden.
#define XP_API __attribute__((visibility("default")))
#endif

// For explicit instantiations of exported class templates. GCC gives them the visibility of the
// template and warns when it is repeated; clang hides them unless the instantiation says so.
#if defined(__clang__)
#define XP_TEMPLATE_API XP_API
#else
#define XP_TEMPLATE_API
#endif

#endif
