// Built-in calibration data of this build: default values and limits per sensor set-up, and the
// calibration configuration rows (sweep blobs) the analog sweeps run with.
#pragma once

#include "tcs/sensorctl/protocol/builtin_lists.h"
#include "tcs/sensorctl/calibration/cal_results.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Limit bytes per block id (null when the step has none).
typedef struct CalLimitValues {
    const uint8_t* steps[7];
} CalLimitValues;

// 24 bytes: the set-up a row serves and its defaults and limits.
typedef struct CalLimitReference {
    uint8_t voltageClass;  // 0 1.8 V, 1 2.5 V, 2 3.3 V
    uint8_t flexId;
    uint8_t soClock;
    uint8_t swipeSpeed;
    uint8_t reserved[4];
    const CalDefaultsRecord* defaults;
    const CalLimitValues* limits;
} CalLimitReference;

// Row 0 is the fallback.
extern const CalLimitReference gHarlokCalLimitReference[];
extern const uint32_t gHarlokCalLimitReferenceCount;

// NULL-terminated list of calibration configuration rows (CalConfigDescriptor).
const void* const* scsHarlokCalConfigRows(void);

// Swept-register ids carried in word 0 of a sweep record: the sensor steps this register.
enum {
    SCS_CAL_REG_CF = 0x200C,
    SCS_CAL_REG_ADC_DELAY = 0x2014,
    SCS_CAL_REG_PGA_OFFSET = 0x300420C8u,
    SCS_CAL_REG_PGA_GAIN = 0x30042120u,
    SCS_CAL_REG_ASP_LNA = 0x30042184u,
    SCS_CAL_REG_ASP_PGA = 0x300421A0u,
    SCS_CAL_REG_WOE_THRESHOLD = 0x30042300u,
};

#ifdef __cplusplus
}
#endif
