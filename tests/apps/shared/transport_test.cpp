// Transfer call, set-up and tear-down against the stand-in service.

#include "tests/apps/shared/fixture.h"

#include "platform/clock.h"

#include <atomic>
#include <thread>

namespace tov::client::testing {
namespace {

TEST_F(ServiceTest, FirstCreateSaysHelloOnceAndLastDestroySaysGoodbye) {
    TcsHandle first = createClient();
    TcsHandle second = createClient();
    EXPECT_NE(first, second);
    EXPECT_EQ(service_->helloCount(), 1u);
    EXPECT_EQ(gClientSystem.clientCount, 2u);
    EXPECT_EQ(tcsClientDestroy(first), TCS_RESULT_OK);
    EXPECT_EQ(service_->goodbyeCount(), 0u);
    EXPECT_EQ(tcsClientDestroy(second), TCS_RESULT_OK);
    EXPECT_EQ(service_->goodbyeCount(), 1u);
    EXPECT_EQ(gClientSystem.clientCount, 0u);
    EXPECT_EQ(gClientSystem.listener, 0u);
    EXPECT_EQ(gClientSystem.request.event, nullptr);
    // A later create sets the transport up anew.
    TcsHandle third = createClient();
    EXPECT_EQ(service_->helloCount(), 2u);
    EXPECT_EQ(tcsClientDestroy(third), TCS_RESULT_OK);
}

}  // namespace
}  // namespace tov::client::testing
