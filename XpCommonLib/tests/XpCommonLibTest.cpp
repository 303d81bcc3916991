// Result codes and the diagnostic hooks.
#include <XpCommonLib.h>

#include <gtest/gtest.h>

namespace {

TEST(XpCommonLib, ErrorNamesAndDiagnosticHooks)
{
    // A known value has its name, an unknown one none.
    EXPECT_STREQ(XpErrName(XPERR_SYNC_DEADLOCK), "XPERR_SYNC_DEADLOCK");
    EXPECT_EQ(XpErrName(0xFFFFFFFF), nullptr);

    XpCommonLibInit();
    _XpTrace("%s %d\n", "trace", 1);
    __XpDebugBreak();   // no debugger is attached, so it must return
    EXPECT_EQ(_XpFailedPos(__FILE__, "1 == 2", __LINE__) + _XpFailedPos(nullptr, nullptr, 0), 2);
}

} // namespace
