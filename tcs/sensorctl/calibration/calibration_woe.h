// Wake-on-event set-up words, computed from plain inputs so the rules can be checked without a device.
#pragma once

#include "tcs/result.h"

#include <stdint.h>

namespace scscal {

struct WoeSetupInput {
    uint32_t flexId;
    uint32_t woeType;  // 2, else type 1
    uint32_t transportKind;
    uint32_t mode;     // 1 the entry mode
    uint32_t threshold, gain;
    int32_t delta;
    uint8_t limits[4];  // threshold high, low, gain high, low (Woe limit bytes 7, 4, 11, 8)
};

// 0, or 54 for a flex id that belongs to the other WOE type; *adjusted when the delta was held back.
TcsResult woeSetupWords(const WoeSetupInput& in, uint32_t words[14], bool* adjusted);

}  // namespace scscal
