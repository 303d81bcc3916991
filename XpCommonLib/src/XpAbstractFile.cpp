// The shared implementations of XpAbstractFile: integers in a chosen byte order and WriteFlush,
// all on top of the concrete class's Read, Write and Flush.
#include <XpAbstractFile.h>

#include <cstring>

namespace {

// Reverses the bytes of a 16-, 32- or 64-bit value.
template <typename T> T reverseBytes(T value)
{
    static_assert(sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8, "16, 32 or 64 bits");
    unsigned char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    for (size_t i = 0; i < sizeof(T) / 2; ++i) {
        unsigned char b = bytes[i];
        bytes[i] = bytes[sizeof(T) - 1 - i];
        bytes[sizeof(T) - 1 - i] = b;
    }
    std::memcpy(&value, bytes, sizeof(T));
    return value;
}

} // namespace

XpAbstractFile::XpAbstractFile() : fileEndian(0), cpuEndian(0) {}
XpAbstractFile::XpAbstractFile(const XpStringT<char>& id) : XpAbstractFSObj(id), fileEndian(0), cpuEndian(0) {}
XpAbstractFile::~XpAbstractFile() = default;

XpErr XpAbstractFile::WriteFlush(const void* buffer, int64_t size, int64_t* done)
{
    XpErr err = Write(buffer, size, done);
    return err != XPERR_OK ? err : Flush();
}

XpErr XpAbstractFile::SetFileEndian(int endian)
{
    if (endian == endianBig || endian == endianLittle) {
        fileEndian = endian;
        return XPERR_OK;
    }
    return endian == endianKeep ? XPERR_OK : XPERR_FAILED;
}

void XpAbstractFile::CheckMyCPUEndian()
{
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    cpuEndian = endianBig;
#else
    cpuEndian = endianLittle;
#endif
}

template <typename T> XpErr XpAbstractFile::readInt(T& value, int endian)
{
    if constexpr (sizeof(T) == 1) {
        (void)endian;   // 8-bit values have no byte order, and the file's order stays
        return Read(&value, 1, nullptr);
    } else {
        SetFileEndian(endian);   // an invalid order is not reported: the file's order stands
        XpErr err = Read(&value, sizeof(T), nullptr);
        if (fileEndian != cpuEndian)   // also after a short read, whatever value then holds
            value = reverseBytes(value);
        return err;
    }
}

template <typename T> XpErr XpAbstractFile::writeInt(T value, int endian)
{
    if constexpr (sizeof(T) == 1) {
        (void)endian;
    } else {
        SetFileEndian(endian);
        if (fileEndian != cpuEndian)
            value = reverseBytes(value);
    }
    return Write(&value, sizeof(T), nullptr);
}

XpErr XpAbstractFile::ReadInt(char& v, int e) { return readInt(v, e); }
XpErr XpAbstractFile::ReadInt(unsigned char& v, int e) { return readInt(v, e); }
XpErr XpAbstractFile::ReadInt(short& v, int e) { return readInt(v, e); }
XpErr XpAbstractFile::ReadInt(unsigned short& v, int e) { return readInt(v, e); }
XpErr XpAbstractFile::ReadInt(int& v, int e) { return readInt(v, e); }
XpErr XpAbstractFile::ReadInt(unsigned int& v, int e) { return readInt(v, e); }
XpErr XpAbstractFile::ReadInt(long long& v, int e) { return readInt(v, e); }
XpErr XpAbstractFile::ReadInt(unsigned long long& v, int e) { return readInt(v, e); }
XpErr XpAbstractFile::WriteInt(char v, int e) { return writeInt(v, e); }
XpErr XpAbstractFile::WriteInt(unsigned char v, int e) { return writeInt(v, e); }
XpErr XpAbstractFile::WriteInt(short v, int e) { return writeInt(v, e); }
XpErr XpAbstractFile::WriteInt(unsigned short v, int e) { return writeInt(v, e); }
XpErr XpAbstractFile::WriteInt(int v, int e) { return writeInt(v, e); }
XpErr XpAbstractFile::WriteInt(unsigned int v, int e) { return writeInt(v, e); }
XpErr XpAbstractFile::WriteInt(long long v, int e) { return writeInt(v, e); }
XpErr XpAbstractFile::WriteInt(unsigned long long v, int e) { return writeInt(v, e); }
