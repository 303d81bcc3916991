// Fuzz target for the byte-order integer reads of XpFile over arbitrary file contents. The input
// is the file; its bytes are also read as a script of operations (width, signedness, order and
// the odd seek), and every value read is checked against the bytes at that position, decoded by
// a model of the file's byte order: also the short read at the end, whose partial value is
// reordered all the same.
#include <XpFile.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void check(bool condition, const char* what)
{
    if (!condition) {
        fprintf(stderr, "fuzz_endian: %s\n", what);
        abort();
    }
}

// The value the reader must produce: the available bytes in a zeroed value, reversed when the
// file's order is not the processor's (little-endian).
template <typename T>
T expected(const uint8_t* data, size_t size, size_t position, int fileEndian)
{
    uint8_t bytes[sizeof(T)] = {};
    size_t available = position < size ? size - position : 0;
    if (available > 0)
        std::memcpy(bytes, data + position, available < sizeof(T) ? available : sizeof(T));
    if (sizeof(T) > 1 && fileEndian != XpFile::endianLittle)
        for (size_t i = 0; i < sizeof(T) / 2; ++i)
            std::swap(bytes[i], bytes[sizeof(T) - 1 - i]);
    T value;
    std::memcpy(&value, bytes, sizeof(T));
    return value;
}

template <typename T>
void readOne(XpFile& file, const uint8_t* data, size_t size, size_t& position, int order, int& model)
{
    if (sizeof(T) > 1 && (order == XpFile::endianBig || order == XpFile::endianLittle))
        model = order;
    T value = 0;
    XpErr err = file.ReadInt(value, order);
    check(value == expected<T>(data, size, position, model), "value differs from the bytes");
    bool whole = position + sizeof(T) <= size;
    check(err == (whole ? XPERR_OK : XPERR_FILE_END_OF_FILE), "result code");
    check(file.GetFileEndian() == model, "byte order");
    position = whole ? position + sizeof(T) : position > size ? position : size;
}

int memoryFile()
{
    static int fd = memfd_create("fuzz_endian", 0);
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int fd = memoryFile();
    check(fd >= 0, "memfd_create");
    check(ftruncate(fd, 0) == 0 && pwrite(fd, data, size, 0) == static_cast<ssize_t>(size), "write");
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    int model = data == nullptr || size == 0 ? 0 : (data[0] & 1) + 1;
    XpFile file(path.c_str(), model ? model : 7);   // 7 is invalid: no order at all
    model = model ? model : 0;
    check(file.GetFileEndian() == model, "constructor order");
    check(file.Open(XpFile::openRead, XpFile::shareDenyNone) == XPERR_OK, "open");
    check(file.GetSize() == static_cast<int64_t>(size), "size");
    size_t position = 0;
    for (size_t op = 0; op < size && op < 4096; ++op) {
        uint8_t b = data[op];
        int order = (b >> 3) & 3;   // 0 is invalid and keeps the order, as 3 does
        if ((b & 0xC0) == 0xC0) {   // seek somewhere, past the end too
            size_t target = static_cast<size_t>(data[(op + 1) % size]) * (b & 7);
            check(file.Seek(static_cast<int64_t>(target), XpFile::seekBegin) == XPERR_OK, "seek");
            position = target;
            continue;
        }
        switch (b & 7) {
        case 0: readOne<char>(file, data, size, position, order, model); break;
        case 1: readOne<unsigned char>(file, data, size, position, order, model); break;
        case 2: readOne<short>(file, data, size, position, order, model); break;
        case 3: readOne<unsigned short>(file, data, size, position, order, model); break;
        case 4: readOne<int>(file, data, size, position, order, model); break;
        case 5: readOne<unsigned int>(file, data, size, position, order, model); break;
        case 6: readOne<long long>(file, data, size, position, order, model); break;
        default: readOne<unsigned long long>(file, data, size, position, order, model); break;
        }
        check(file.GetCurrentPosition() == static_cast<int64_t>(position), "position");
    }
    return 0;
}
