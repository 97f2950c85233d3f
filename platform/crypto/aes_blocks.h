// Whole-block AES workers behind the modes: portable table-driven and AES-instruction versions over
// the same key schedules (the instruction versions only when cpuHasAesInstructions()).
#pragma once

#include "platform/crypto/ciphers.h"

#include <stddef.h>
#include <stdint.h>

namespace tov::crypto {

void aesEncryptBlockPortable(const PalAesKeySchedule& schedule, const uint8_t in[16], uint8_t out[16]);
void aesDecryptBlockPortable(const PalAesKeySchedule& schedule, const uint8_t in[16], uint8_t out[16]);
void aesEncryptBlockNi(const PalAesKeySchedule& schedule, const uint8_t in[16], uint8_t out[16]);
void aesDecryptBlockNi(const PalAesKeySchedule& schedule, const uint8_t in[16], uint8_t out[16]);

// CBC over whole blocks; the IV ends as the last ciphertext block. In place allowed.
void aesCbcEncryptNi(const PalAesKeySchedule& schedule, const uint8_t* in, uint8_t* out, size_t blocks,
                     uint8_t iv[16]);
void aesCbcDecryptNi(const PalAesKeySchedule& schedule, const uint8_t* in, uint8_t* out, size_t blocks,
                     uint8_t iv[16]);
// Whole key-stream blocks: for each block E(counter) XOR in, then the counter advances by one.
void aesCtrBlocksNi(const PalAesKeySchedule& schedule, const uint8_t* in, uint8_t* out, size_t blocks,
                    uint8_t counter[16]);

}  // namespace tov::crypto
