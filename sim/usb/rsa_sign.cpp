// Virtual sensor: PKCS#1 v1.5 signing of a SHA-256 digest (block type 1 with its DigestInfo).
#include "sim/usb/rsa_sign.h"

#include "sim/usb/sim_crypto.h"

#include <algorithm>

namespace simusb {

std::vector<uint8_t> rsaSignSha256(std::span<const uint8_t> digest, std::span<const uint8_t> privateExponent,
                                   std::span<const uint8_t> modulus) {
    static const uint8_t kSha256Info[19] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                            0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    if (digest.size() != 32 || modulus.size() < 64) return {};
    std::vector<uint8_t> block(modulus.size(), 0xFF);
    block[0] = 0;
    block[1] = 1;
    block[block.size() - 52] = 0;
    std::copy(kSha256Info, kSha256Info + 19, block.end() - 51);
    std::copy(digest.begin(), digest.end(), block.end() - 32);
    return crypto::modExp(block, privateExponent, modulus);
}

}  // namespace simusb
