// XpFd and XpFileError: the owner of a file descriptor, and a result that keeps the system's
// reason beside the library's code. Both are the base of the file-safety layer (XpStagedFile.h)
// and are what the library itself uses wherever it holds a descriptor.
//
// Error convention of the layer: a call answers an XpFileError. Its Code() is one of the
// library's XpErr codes, chosen as the library's other calls choose them; its SysErr() is the
// errno value of the system call that failed (0 when no system call failed, for example a copy
// cancelled by its observer), with the name of that call and, where one is known, the path or
// name it worked on. A tool prints Describe() ("No such file or directory") or both.
//
// The older calls of XpFileOperation keep answering a bare XpErr. The copies by paths
// (CopyFile, CopyFileSafely, copyFileWithoutUI, moveFileWithoutUI, CopyFileAt) also leave the
// full result of their last call on the calling thread, for XpFileOperation::LastError().
#ifndef XPFD_H
#define XPFD_H

#include "XpCommonLib.h"
#include "XpString.h"

#include <string>
#include <utility>

/** \defgroup filesafety File safety
    Owned descriptors, results that keep their cause, and files written beside their name and then put in place.
    \{ */

// A result of the file-safety layer: the library's code, and the system's reason for it.
class XP_API XpFileError {
public:
    // Success: XPERR_OK, no system error.
    XpFileError() = default;
    // code with the errno value sysErr of the call named operation (a string literal, or null),
    // on path (may be empty).
    XpFileError(XpErr code, int sysErr, const char* operation = nullptr, const char* path = nullptr)
        : code_(code), sysErr_(sysErr), operation_(operation), path_(path != nullptr ? path : "")
    {
    }
    // The same with the path as a library string.
    XpFileError(XpErr code, int sysErr, const char* operation, const XpStringT<char>& path)
        : XpFileError(code, sysErr, operation, path.GetBuffer())
    {
    }

    // The library's result code (XPERR_OK on success).
    XpErr Code() const { return code_; }
    // The errno value of the system call that failed; 0 when none did.
    int SysErr() const { return sysErr_; }
    // The name of the system call or step that failed ("openat", "linkat"), "" when none.
    const char* Operation() const { return operation_ != nullptr ? operation_ : ""; }
    // The path or name the failed step worked on; empty when none is known.
    XpStringT<char> Path() const { return XpStringT<char>(path_.c_str()); }
    // True for success.
    bool IsOk() const { return code_ == XPERR_OK; }
    // The system's text for SysErr() in the user's language ("No such file or directory"); for
    // SysErr() 0 the code's name (XpErrName), "" for success.
    XpStringT<char> Describe() const;

private:
    XpErr code_ = XPERR_OK;
    int sysErr_ = 0;
    const char* operation_ = nullptr;
    std::string path_;   // a result made on every call must cost no shared buffer
};

// The one owner of a file descriptor. The descriptor is closed exactly once: by Close, by Reset,
// or when the owner goes out of scope. An owner moves (the source is left empty) and is never
// copied. Closing never retries: Linux frees the descriptor even when close answers EINTR.
class XP_API XpFd {
public:
    // Takes fd (-1: nothing).
    explicit XpFd(int fd = -1) : fd_(fd) {}
    // Closes the descriptor held; the result of that close is lost (see Close), errno is kept.
    ~XpFd() { Reset(); }
    XpFd(const XpFd&) = delete;
    XpFd& operator=(const XpFd&) = delete;
    // Takes other's descriptor; other is left empty.
    XpFd(XpFd&& other) noexcept : fd_(other.Release()) {}
    // Closes the descriptor held (as Reset) and takes other's; other is left empty.
    XpFd& operator=(XpFd&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }

    // The descriptor held, -1 for none.
    int Get() const { return fd_; }
    // True when a descriptor is held.
    bool IsValid() const { return fd_ >= 0; }
    // Closes the descriptor held, without looking at the result, keeping errno, and takes fd. A
    // descriptor written through is closed with Close instead, whose result counts.
    void Reset(int fd = -1);
    // Gives the descriptor up without closing it: the caller owns it now. -1 when none was held.
    int Release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now: 0, or the errno value of the failed close (EIO, ENOSPC, EDQUOT): a network file
    // system or a full disk may report a failed write only here. The descriptor is gone either
    // way. 0 when none was held.
    int Close();

private:
    int fd_;
};

/** \} */

#endif
