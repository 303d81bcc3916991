// XpAbstractFile: a file that can be opened, read, written and sized, with integer reads and
// writes in a chosen byte order.
//
// Byte order: every file has one, big-endian (endianBig) or little-endian (endianLittle), or none
// yet (0). The 16-, 32- and 64-bit ReadInt and WriteInt take an order argument that also becomes
// the file's order for later calls (endianKeep keeps the current one; an invalid value is
// ignored). Bytes are reversed whenever the file's order differs from the processor's, so a file
// without an order is read and written big-endian on this little-endian processor. 8-bit values
// ignore the order. Signed and unsigned forms move the same bytes.
#ifndef XPABSTRACTFILE_H
#define XPABSTRACTFILE_H

#include "XpAbstractFSObj.h"

/** \addtogroup files
    \{ */

// A file read and written through a position, with byte-order-aware integer I/O.
class XP_API XpAbstractFile : public XpAbstractFSObj {
public:
    // Open modes (argument mode of Open), combined with '|'.
    enum {
        openRead = 0x1,        // an existing file, for reading
        openWrite = 0x2,       // created or truncated to 0, for writing
        openReadWrite = 0x3,   // created when missing, content kept, reading and writing
        openText = 0x10,       // no effect on this platform (text and binary are the same)
    };
    // Share argument of Open: shareExclusive waits for an exclusive whole-file lock;
    // any other value (the library passes shareDenyNone) takes no lock.
    enum { shareExclusive = 0, shareDenyNone = 2 };
    // Origin of Seek: the start, the current position, the end.
    enum seekmode { seekBegin = 0, seekCurrent = 1, seekEnd = 2 };
    enum { endianBig = 1, endianLittle = 2, endianKeep = 3 };

    XpAbstractFile();
    ~XpAbstractFile() override;

protected:
    // Starts with the given identifier (see XpAbstractFSObj).
    explicit XpAbstractFile(const XpStringT<char>& id);

public:

    bool IsFile() const override { return true; }
    bool IsDir() const override { return false; }

    // Opens with a combination of the open flags and a share value; XpFile says what fails.
    virtual XpErr Open(int mode, int share) = 0;
    // Closes an open file.
    virtual XpErr Close() = 0;
    // Transfers exactly size bytes; *done (when not null) receives the bytes actually moved.
    virtual XpErr Read(void* buffer, int64_t size, int64_t* done) = 0;
    virtual XpErr Write(const void* buffer, int64_t size, int64_t* done) = 0;
    // Write, then Flush when the write succeeded; the first failure is returned.
    virtual XpErr WriteFlush(const void* buffer, int64_t size, int64_t* done);
    // Hands buffered writes to the system; an error of the delayed write shows here.
    virtual XpErr Flush() = 0;
    // Moves the position by offset from origin.
    virtual XpErr Seek(int64_t offset, seekmode origin) = 0;
    // The position, or -1 while closed.
    virtual int64_t GetCurrentPosition() const = 0;
    // Cuts or extends the file to size bytes.
    virtual XpErr SetSize(int64_t size) = 0;

    // Read or write one integer in the byte order described at the top; the result is that of
    // the underlying Read or Write. A short read still has its bytes reordered.
    virtual XpErr ReadInt(char& value, int endian);
    virtual XpErr ReadInt(unsigned char& value, int endian);
    virtual XpErr ReadInt(short& value, int endian);
    virtual XpErr ReadInt(unsigned short& value, int endian);
    virtual XpErr ReadInt(int& value, int endian);
    virtual XpErr ReadInt(unsigned int& value, int endian);
    virtual XpErr ReadInt(long long& value, int endian);
    virtual XpErr ReadInt(unsigned long long& value, int endian);
    virtual XpErr WriteInt(char value, int endian);
    virtual XpErr WriteInt(unsigned char value, int endian);
    virtual XpErr WriteInt(short value, int endian);
    virtual XpErr WriteInt(unsigned short value, int endian);
    virtual XpErr WriteInt(int value, int endian);
    virtual XpErr WriteInt(unsigned int value, int endian);
    virtual XpErr WriteInt(long long value, int endian);
    virtual XpErr WriteInt(unsigned long long value, int endian);
    // endianBig or endianLittle become the file's order; endianKeep changes nothing; any other
    // value gives XPERR_FAILED and changes nothing.
    virtual XpErr SetFileEndian(int endian);
    // Records the processor's order (endianLittle on the processors this library is built for).
    virtual void CheckMyCPUEndian();

    // The file's byte order: endianBig, endianLittle, or 0 while none has been set.
    int GetFileEndian() const { return fileEndian; }

protected:
    int32_t fileEndian;
    int32_t cpuEndian;

private:
    template <typename T> XpErr readInt(T& value, int endian);
    template <typename T> XpErr writeInt(T value, int endian);
};

/** \} */

#endif
