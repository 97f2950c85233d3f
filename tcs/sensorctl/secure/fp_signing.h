// Fingerprint signing context of a capture: started with the security record, fed with the
// decrypted data, finished into the device's last fingerprint signature.
#pragma once

#include "tcs/sensorctl/engine/scs_internal.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

TcsResult _scsSensorFpEncInit(ScsSensorDevice* device);
TcsResult _scsSensorFpSignInit(ScsSensorDevice* device, uint16_t blockLength);
TcsResult _scsSensorFpSignUpdate(ScsSensorDevice* device, const uint8_t* data, uint32_t length);
// Finishes the signature into the result; without keep, the key and the result are wiped too.
TcsResult _scsSensorFpCryptContextFinalize(ScsSensorDevice* device, uint32_t keep);
TcsResult scsSensorFpCryptContextFinalize(ScsSensor* sensor, uint32_t keep);

#ifdef __cplusplus
}

namespace scssign {

// Firmware 4.40's signing spans: a hashed span of one block length, then a skipped span of 15,
// starting hashed; phase (1 hashed) and position carry from call to call. feed(offset, length)
// gets each hashed piece of the data.
template <typename Feed>
void walkSpans(uint32_t blockLength, uint32_t& phase, uint32_t& position, uint32_t length, Feed feed) {
    if (blockLength == 0) return;
    uint32_t offset = 0;
    while (offset < length) {
        const uint32_t span = phase ? blockLength : 15 * blockLength;
        const uint32_t take = span - position < length - offset ? span - position : length - offset;
        if (phase) feed(offset, take);
        offset += take;
        position += take;
        if (position == span) {
            phase ^= 1;
            position = 0;
        }
    }
}

}  // namespace scssign
#endif
