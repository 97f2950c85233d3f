// Which processor crypto instructions the primitives may use: detected once with cpuid, with a switch
// for tests that must run the portable code on the same machine.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace tov::crypto {

bool cpuHasAesInstructions();
bool cpuHasShaInstructions();
// What the primitives use now: the processor's support unless tests switched it off.
bool useAesInstructions();
bool useShaInstructions();
// false forces the portable code paths; true returns to what the processor offers.
void setHardwareAcceleration(bool enabled);

// Compression over whole 64-byte blocks, portable and instruction-set versions (the latter only
// to be called when cpuHasShaInstructions()).
void sha1BlocksPortable(uint32_t state[5], const uint8_t* data, size_t blocks);
void sha1BlocksShaNi(uint32_t state[5], const uint8_t* data, size_t blocks);
void sha256BlocksPortable(uint32_t state[8], const uint8_t* data, size_t blocks);
void sha256BlocksShaNi(uint32_t state[8], const uint8_t* data, size_t blocks);
// The 64 SHA-256 round constants.
const uint32_t* sha256RoundConstants();

// Overwrites memory in a way the compiler cannot drop as a dead store.
void wipe(void* data, size_t length);

}  // namespace tov::crypto
