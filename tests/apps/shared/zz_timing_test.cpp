#include "tests/apps/shared/fixture.h"
#include <chrono>
namespace tov::client::testing {
TEST_F(ServiceTest, Timing) {
    auto t0 = std::chrono::steady_clock::now();
    auto ms = [&] { return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count(); };
    TcsHandle a = createClient(); printf("create %f\n", ms());
    TcsHandle b = createClient(); printf("create2 %f\n", ms());
    tcsClientDestroy(a); printf("destroy %f\n", ms());
    tcsClientDestroy(b); printf("destroy2 %f\n", ms());
}
}
