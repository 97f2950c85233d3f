// The built-in RSA-2048 host key, assembled at run time from the constants in host_key.cpp.
#pragma once

#include <stdint.h>

namespace tov::crypto {

constexpr uint32_t kHostKeyBits = 2048;
constexpr uint32_t kHostKeyExponent = 65537;

// The 1,172-byte private-key blob (numbers least significant byte first).
void hostKeyBlob(uint8_t out[1172]);
// The 256-byte modulus, least significant byte first.
void hostKeyModulus(uint8_t out[256]);

}  // namespace tov::crypto
