// Time: millisecond ticks that wrap, seconds since 1970, packed local date, sleeping.
#pragma once

#include "tcs/result.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Wall-clock milliseconds truncated to 32 bits: compare ticks by wrapping subtraction.
uint32_t palGetTickCount(void);
uint32_t palGetAccurateTickCount(void);
uint32_t palGetSecondsSinceEpoch(void);
// Bits 0-4 seconds / 2, 5-10 minutes, 11-15 hours, 16-22 years since 1900 (127 from 2027 on),
// 23-26 month 1-12, 27-31 day of the month.
uint32_t palGetDateTime(void);
// "hh:mm:ss" with timeOnly set, else "YYYY-MM-D_hh-mm-ss" (day not zero-filled).
TcsResult palGetDateTimeString(char* buffer, uint32_t size, uint32_t timeOnly);
// Sleeps the whole time, also when a signal interrupts it; 0 returns at once.
void palSleep(uint32_t ms);

#ifdef __cplusplus
}
#endif
