// Result codes and the diagnostic hooks.
#include <XpCommonLib.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

struct CodeRow {
    XpErr code;
    uint32_t value;
    const char* name;
};

#define ROW(name, value) {name, value, #name}
const CodeRow kCodes[] = {
    ROW(XPERR_OK, 0x0000),
    ROW(XPERR_FAILED, 0x8000),
    ROW(XPERR_PATH_UNRESOLVED, 0x8003),
    ROW(XPERR_FILE_FAILED, 0x8100),
    ROW(XPERR_FILE_INVALID_PATH, 0x8101),
    ROW(XPERR_FILE_INVALID_PARAM, 0x8102),
    ROW(XPERR_FILE_END_OF_FILE, 0x8103),
    ROW(XPERR_FILE_NOT_FOUND, 0x8105),
    ROW(XPERR_FILE_PARENT_NOT_FOUND, 0x8106),
    ROW(XPERR_FILE_ALREADY_OPEN, 0x8107),
    ROW(XPERR_FILE_ACCESS_DENIED, 0x8108),
    ROW(XPERR_FILE_DISK_FULL, 0x8109),
    ROW(XPERR_FILE_EXISTS, 0x810A),
    ROW(XPERR_FILE_TOO_MANY_OPEN, 0x810B),
    ROW(XPERR_FILE_OPEN_FAILED, 0x810D),
    ROW(XPERR_FILE_NOT_OPEN, 0x810E),
    ROW(XPERR_FILE_REMOVE_FAILED, 0x810F),
    ROW(XPERR_FILE_READ_FAILED, 0x8110),
    ROW(XPERR_FILE_PATH_NOT_FOUND, 0x8111),
    ROW(XPERR_FILE_MAKE_DIR_FAILED, 0x8112),
    ROW(XPERR_FILE_COPY_FAILED, 0x8113),
    ROW(XPERR_FILE_MOVE_FAILED, 0x8114),
    ROW(XPERR_FILE_CANCELLED, 0x8115),
    ROW(XPERR_FILE_NOT_SUPPORTED, 0x8116),
    ROW(XPERR_FILE_DIR_NOT_EMPTY, 0x8117),
    ROW(XPERR_FILE_SET_ATTRIBUTE_FAILED, 0x8118),
    ROW(XPERR_FILE_DEVICE_NOT_AVAILABLE, 0x811A),
    ROW(XPERR_SYNC_FAILED, 0x8200),
    ROW(XPERR_SYNC_TIMEOUT, 0x8201),
    ROW(XPERR_SYNC_NOT_OWNER, 0x8202),
    ROW(XPERR_SYNC_NOT_SUPPORTED, 0x8203),
    ROW(XPERR_SYNC_NOT_INITIALIZED, 0x8204),
    ROW(XPERR_SYNC_DEADLOCK, 0x8205),
    ROW(XPERR_SYNC_INVALID, 0x8206),
    ROW(XPERR_SYNC_INVALID_PRIORITY, 0x8207),
    ROW(XPERR_NO_MEMORY, 0x8401),
};
#undef ROW

TEST(XpErrTest, EveryCodeHasItsValueNameAndGroup)
{
    static_assert(sizeof(XpErr) == 4, "XpErr is a 32-bit code");
    std::set<uint32_t> seen;
    for (const CodeRow& row : kCodes) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.code, row.value);
        EXPECT_TRUE(seen.insert(row.value).second) << "duplicate value";
        ASSERT_NE(XpErrName(row.code), nullptr);
        EXPECT_EQ(std::string(XpErrName(row.code)), row.name);
        uint32_t group = row.value >> 8;
        EXPECT_TRUE(group == 0x00 || group == 0x80 || group == 0x81 || group == 0x82 ||
                    group == 0x84);
    }
    EXPECT_EQ(seen.size(), 36u);
    // Values between the listed codes are not codes of the library.
    EXPECT_EQ(XpErrName(0x8104), nullptr);
    EXPECT_EQ(XpErrName(0x8400), nullptr);
    EXPECT_EQ(XpErrName(0xFFFFFFFF), nullptr);
}

TEST(XpDiagnosticsTest, HooksNeverStopTheProcess)
{
    XpCommonLibInit();
    XpCommonLibInit();
    EXPECT_EQ(_XpFailedPos(__FILE__, "1 == 2", __LINE__), 1);
    EXPECT_EQ(_XpFailedPos(nullptr, nullptr, 0), 1);
    _XpTrace("%s %d\n", "trace", 1);
    // No debugger is attached to the test, so a break must return.
    __XpDebugBreak();
    SUCCEED();
}

} // namespace
