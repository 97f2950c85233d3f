// Clock: ticks, packed dates and date strings on the test clock; sleeping through a signal.

#include "platform/clock.h"
#include "platform/test_seams.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <pthread.h>
#include <thread>

namespace {

class TestClock : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override { palTestUseRealClock(); }

    static uint64_t msAt(int year, int month, int day, int hour, int minute, int second) {
        tm t{};
        t.tm_year = year - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = day;
        t.tm_hour = hour;
        t.tm_min = minute;
        t.tm_sec = second;
        return uint64_t(timegm(&t)) * 1000;
    }
};

}  // namespace

TEST_F(TestClock, DateStringDoesNotZeroFillTheDay) {
    palTestSetClock(msAt(2026, 3, 5, 7, 8, 9));
    char text[32];
    EXPECT_EQ(palGetDateTimeString(text, sizeof text, 0), TCS_RESULT_OK);
    EXPECT_STREQ(text, "2026-03-5_07-08-09");
    EXPECT_EQ(palGetDateTimeString(text, sizeof text, 1), TCS_RESULT_OK);
    EXPECT_STREQ(text, "07:08:09");
}

TEST_F(TestClock, PackedDateAndYearSaturation) {
    struct Case {
        int year;
        uint32_t yearField;
    };
    for (auto [year, field] : std::initializer_list<Case>{{2026, 126}, {2027, 127}, {2028, 127}, {2099, 127}}) {
        palTestSetClock(msAt(year, 3, 5, 7, 8, 9));
        uint32_t packed = palGetDateTime();
        EXPECT_EQ(packed & 0x1F, 4u) << year;  // seconds / 2
        EXPECT_EQ((packed >> 5) & 0x3F, 8u);
        EXPECT_EQ((packed >> 11) & 0x1F, 7u);
        EXPECT_EQ((packed >> 16) & 0x7F, field) << year;
        EXPECT_EQ((packed >> 23) & 0x0F, 3u) << year;  // a late year must not spill into the month
        EXPECT_EQ(packed >> 27, 5u);
    }
}

TEST_F(TestClock, TicksComeFromTheTestClockAndWrap) {
    palTestSetClock(0x100000005ull);
    EXPECT_EQ(palGetTickCount(), 5u);
    EXPECT_EQ(palGetAccurateTickCount(), 5u);
    palTestSetClock(0xFFFFFFF0ull);
    uint32_t before = palGetTickCount();
    palTestAdvanceClock(0x20);
    EXPECT_EQ(uint32_t(palGetTickCount() - before), 0x20u);
    EXPECT_EQ(palGetSecondsSinceEpoch(), uint32_t((0xFFFFFFF0ull + 0x20) / 1000));
}

namespace {
void ignoreSignal(int) {}
}  // namespace

TEST(PlatformSleep, ZeroReturnsAtOnceAndASignalDoesNotShortenIt) {
    auto start = std::chrono::steady_clock::now();
    palSleep(0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5));

    struct sigaction action {};
    action.sa_handler = ignoreSignal;  // no SA_RESTART: select is interrupted
    struct sigaction previous {};
    sigaction(SIGUSR1, &action, &previous);
    pthread_t sleeper = pthread_self();
    std::thread interrupter([sleeper] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        pthread_kill(sleeper, SIGUSR1);
    });
    start = std::chrono::steady_clock::now();
    palSleep(40);
    auto slept = std::chrono::steady_clock::now() - start;
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_GE(slept, std::chrono::milliseconds(39));
}
