// Time: millisecond ticks that wrap, seconds since 1970, packed local date, sleeping; with a test clock.

#include "platform/clock.h"

#include "platform/test_seams.h"
#include "platform/text.h"

#include <atomic>
#include <cerrno>
#include <ctime>
#include <sys/select.h>
#include <sys/time.h>

namespace {

std::atomic<bool> gTestClock{false};
std::atomic<uint64_t> gTestClockMs{0};

// Wall-clock milliseconds since 1970, or the test clock when one is set.
bool nowMs(uint64_t* ms) {
    if (gTestClock.load()) {
        *ms = gTestClockMs.load();
        return true;
    }
    timeval tv{};
    if (gettimeofday(&tv, nullptr) != 0) return false;
    *ms = uint64_t(tv.tv_sec) * 1000 + uint64_t(tv.tv_usec) / 1000;
    return true;
}

bool localNow(tm* out) {
    uint64_t ms = 0;
    if (!nowMs(&ms)) return false;
    time_t seconds = time_t(ms / 1000);
    return localtime_r(&seconds, out) != nullptr;
}

uint64_t monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
}

}  // namespace

extern "C" {

uint32_t palGetTickCount(void) {
    uint64_t ms = 0;
    return nowMs(&ms) ? uint32_t(ms) : 0;
}

uint32_t palGetAccurateTickCount(void) { return palGetTickCount(); }

uint32_t palGetSecondsSinceEpoch(void) {
    uint64_t ms = 0;
    return nowMs(&ms) ? uint32_t(ms / 1000) : 0;
}

uint32_t palGetDateTime(void) {
    tm local{};
    if (!localNow(&local)) return 0;
    // The year field has 7 bits (1900 to 2027); a later year saturates there instead of wrapping
    // into the month bits or back to 1900.
    uint32_t years = local.tm_year < 0 ? 0 : (local.tm_year > 127 ? 127 : uint32_t(local.tm_year));
    return (uint32_t(local.tm_sec / 2) & 0x1F) | (uint32_t(local.tm_min) & 0x3F) << 5 |
           (uint32_t(local.tm_hour) & 0x1F) << 11 | years << 16 | (uint32_t(local.tm_mon + 1) & 0x0F) << 23 |
           (uint32_t(local.tm_mday) & 0x1F) << 27;
}

TcsResult palGetDateTimeString(char* buffer, uint32_t size, uint32_t timeOnly) {
    if (buffer == nullptr) return TCS_RESULT_BAD_PARAM;
    tm local{};
    localNow(&local);
    if (timeOnly != 0) {
        palSprintf(buffer, size, "%.2d:%.2d:%.2d", local.tm_hour, local.tm_min, local.tm_sec);
    } else {
        palSprintf(buffer, size, "%.4d-%.2d-%d_%.2d-%.2d-%.2d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                   local.tm_hour, local.tm_min, local.tm_sec);
    }
    return TCS_RESULT_OK;
}

void palSleep(uint32_t ms) {
    if (ms == 0) return;
    // Measured on the monotonic clock, not the test clock: a frozen test clock must not stall sleepers.
    uint64_t end = monotonicMs() + ms;
    uint64_t remaining = ms;
    for (;;) {
        timeval tv{time_t(remaining / 1000), suseconds_t((remaining % 1000) * 1000)};
        if (select(0, nullptr, nullptr, nullptr, &tv) == 0) return;
        if (errno != EINTR) return;
        uint64_t now = monotonicMs();
        if (now >= end) return;
        remaining = end - now;
    }
}

void palTestSetClock(uint64_t msSinceEpoch) {
    gTestClockMs.store(msSinceEpoch);
    gTestClock.store(true);
}

void palTestAdvanceClock(uint32_t ms) { gTestClockMs.fetch_add(ms); }

void palTestUseRealClock(void) { gTestClock.store(false); }

}  // extern "C"
