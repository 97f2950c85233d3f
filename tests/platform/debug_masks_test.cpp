// Debug masks: the platform layer keeps none.

#include "platform/subsystem.h"

#include <gtest/gtest.h>

TEST(PlatformDebugMasks, GettersReportZeroAndRefuseNull) {
    uint32_t value = 0xDEADBEEF;
    EXPECT_EQ(palSetDbgFlags(0xFFFFFFFF), TCS_RESULT_OK);
    EXPECT_EQ(palGetDbgFlags(&value), TCS_RESULT_OK);
    EXPECT_EQ(value, 0u);
    value = 7;
    EXPECT_EQ(palSetDbgSystems(3), TCS_RESULT_OK);
    EXPECT_EQ(palGetDbgSystems(&value), TCS_RESULT_OK);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(palGetDbgFlags(nullptr), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(palGetDbgSystems(nullptr), TCS_RESULT_BAD_PARAM);
}
