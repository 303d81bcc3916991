// XpCommonLib: result codes, diagnostic hooks and library initialisation.
//
// Every operation of the library that can fail reports an XpErr. The high byte tells the group:
// 0x00 success, 0x80 general, 0x81 file system, 0x82 threads and synchronization, 0x84 resources.
#ifndef XPCOMMONLIB_H
#define XPCOMMONLIB_H

#include "XpCommonLibExport.h"
#include <cstdint>

/** \defgroup basics Basics: errors and initialization
    The error codes every operation returns (XpErr, XpErrName) and the library's initialization.
    \{ */

// A result code: XPERR_OK or one of the codes below.
typedef uint32_t XpErr;

// Success.
#define XPERR_OK                        ((XpErr)0x0000)
// General
#define XPERR_FAILED                    ((XpErr)0x8000)
#define XPERR_PATH_UNRESOLVED           ((XpErr)0x8003)
// File system
#define XPERR_FILE_FAILED               ((XpErr)0x8100)
#define XPERR_FILE_INVALID_PATH         ((XpErr)0x8101)
#define XPERR_FILE_INVALID_PARAM        ((XpErr)0x8102)
#define XPERR_FILE_END_OF_FILE          ((XpErr)0x8103)
#define XPERR_FILE_NOT_FOUND            ((XpErr)0x8105)
#define XPERR_FILE_PARENT_NOT_FOUND     ((XpErr)0x8106)
#define XPERR_FILE_ALREADY_OPEN         ((XpErr)0x8107)
#define XPERR_FILE_ACCESS_DENIED        ((XpErr)0x8108)
#define XPERR_FILE_DISK_FULL            ((XpErr)0x8109)
#define XPERR_FILE_EXISTS               ((XpErr)0x810A)
#define XPERR_FILE_TOO_MANY_OPEN        ((XpErr)0x810B)
#define XPERR_FILE_OPEN_FAILED          ((XpErr)0x810D)
#define XPERR_FILE_NOT_OPEN             ((XpErr)0x810E)
#define XPERR_FILE_REMOVE_FAILED        ((XpErr)0x810F)
#define XPERR_FILE_READ_FAILED          ((XpErr)0x8110)
#define XPERR_FILE_PATH_NOT_FOUND       ((XpErr)0x8111)
#define XPERR_FILE_MAKE_DIR_FAILED      ((XpErr)0x8112)
#define XPERR_FILE_COPY_FAILED          ((XpErr)0x8113)
#define XPERR_FILE_MOVE_FAILED          ((XpErr)0x8114)
#define XPERR_FILE_CANCELLED            ((XpErr)0x8115)
#define XPERR_FILE_NOT_SUPPORTED        ((XpErr)0x8116)
#define XPERR_FILE_DIR_NOT_EMPTY        ((XpErr)0x8117)
#define XPERR_FILE_SET_ATTRIBUTE_FAILED ((XpErr)0x8118)
#define XPERR_FILE_DEVICE_NOT_AVAILABLE ((XpErr)0x811A)
// Threads and synchronization
#define XPERR_SYNC_FAILED               ((XpErr)0x8200)
#define XPERR_SYNC_TIMEOUT              ((XpErr)0x8201)
#define XPERR_SYNC_NOT_OWNER            ((XpErr)0x8202)
#define XPERR_SYNC_NOT_SUPPORTED        ((XpErr)0x8203)
#define XPERR_SYNC_NOT_INITIALIZED      ((XpErr)0x8204)
#define XPERR_SYNC_DEADLOCK             ((XpErr)0x8205)
#define XPERR_SYNC_INVALID              ((XpErr)0x8206)
#define XPERR_SYNC_INVALID_PRIORITY     ((XpErr)0x8207)
// Resources
#define XPERR_NO_MEMORY                 ((XpErr)0x8401)

// The name of a result code ("XPERR_SYNC_TIMEOUT"), or null for a value that is not a code of
// the library. Meant for messages and logs of the caller; the library itself logs nothing.
XP_API const char* XpErrName(XpErr err);

// Trace output with a printf-style format. Release builds: no output, no effect. Debug builds
// (XP_DEBUG_HOOKS defined when the library is built) write the text to standard error.
XP_API void _XpTrace(char const* format, ...) __attribute__((format(printf, 1, 2)));

// Report of a failed assertion. Returns 1: the caller should break into the debugger.
// Release builds report nothing; debug builds (XP_DEBUG_HOOKS) print the position to stderr.
XP_API int _XpFailedPos(char const* file, char const* expression, int line);

// Break into the debugger. Release builds: does nothing. Debug builds (XP_DEBUG_HOOKS) raise
// SIGTRAP only while a debugger is attached, so an unattended process never stops.
XP_API void __XpDebugBreak();

// Library initialisation. There is nothing to prepare: it returns at once. Kept so that callers
// have one place to call before first use, should the library ever need one.
XP_API void XpCommonLibInit();

/** \} */

#endif
