// Platform start-up and shut-down: the context its caller keeps.

#include "platform/subsystem.h"

#include <gtest/gtest.h>

TEST(PlatformStartup, ContextLifecycleAndNullArguments) {
    EXPECT_EQ(palSubsystemStartup(nullptr, 1), TCS_RESULT_BAD_PARAM);
    PlatformContext* context = reinterpret_cast<PlatformContext*>(0x1);
    ASSERT_EQ(palSubsystemStartup(&context, 0x1122334455667788ull), TCS_RESULT_OK);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->callerValue, 0x1122334455667788ull);
    EXPECT_EQ(palSubsystemService(context), TCS_RESULT_OK);
    EXPECT_EQ(palSubsystemShutdown(context), TCS_RESULT_OK);
    EXPECT_EQ(palSubsystemService(nullptr), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(palSubsystemShutdown(nullptr), TCS_RESULT_INVALID_HANDLE);
}
