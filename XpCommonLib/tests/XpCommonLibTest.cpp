// Result codes and the diagnostic hooks.
#include <XpCommonLib.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

TEST(XpCommonLib, ErrorNamesAndDiagnosticHooks)
{
    // Named values carry their group in the high byte: 0x80 general, 0x81 files, 0x82 threads and
    // synchronization, 0x84 resources; no other value has a name.
    const std::map<uint32_t, std::string> prefixes = {
        {0x00, "XPERR_OK"}, {0x80, "XPERR_"}, {0x81, "XPERR_FILE_"}, {0x82, "XPERR_SYNC_"}, {0x84, "XPERR_NO_"}};
    for (uint32_t value = 0; value <= 0xFFFF; ++value) {
        const char* name = XpErrName(value);
        EXPECT_TRUE(name == nullptr || std::string(name).rfind(prefixes.at(value >> 8), 0) == 0) << name;
    }
    EXPECT_STREQ(XpErrName(XPERR_SYNC_DEADLOCK), "XPERR_SYNC_DEADLOCK");
    EXPECT_EQ(XpErrName(0xFFFFFFFF), nullptr);

    XpCommonLibInit();
    _XpTrace("%s %d\n", "trace", 1);
    __XpDebugBreak();   // no debugger is attached, so it must return
    EXPECT_EQ(_XpFailedPos(__FILE__, "1 == 2", __LINE__) + _XpFailedPos(nullptr, nullptr, 0), 2);
}

} // namespace
