// Virtual sensor firmware: signing and encrypting template data (0x1D). The sensor wraps what the
// host hands it under a key that never leaves the sensor (derived from its private key), so the host
// can keep the result on flash or in files without holding the secret in plain.
//
// Request: {0x1D, u16 length a, u16 length b, a bytes, b bytes}. Reply: {u16 wrapped length n,
// n bytes}. The wrapped form, padded = (a + b) rounded up to 16:
//   0..15   random IV
//   16..17  u16 a, 18..19 u16 b, 20..31 zero
//   32..    AES-256-CBC of a || b, zero-padded to `padded` bytes
//   end-32  HMAC-SHA-256 over everything before it
// so it is padded + 64 bytes long (a 32-byte key wraps into 96).
#include "sim/usb/fields.h"
#include "sim/usb/firmware.h"
#include "sim/usb/sensor_keys.h"
#include "sim/usb/sha256.h"
#include "sim/usb/sim_crypto.h"

#include <cstring>
#include <string_view>

namespace simusb {
namespace {

constexpr size_t kHeader = 5;
constexpr size_t kWrapHeader = 32;
constexpr size_t kMacLength = 32;
constexpr size_t kMaxWrapped = 4096;  // the reply holds 4100 bytes: status, length, data

Digest wrappingKey(std::string_view label) {
    std::vector<uint8_t> input(label.begin(), label.end());
    input.insert(input.end(), std::begin(keys::kSensorPrivateExponent), std::end(keys::kSensorPrivateExponent));
    return sha256(input);
}

void signEncTemplateData(Firmware&, std::span<const uint8_t> request, Reply& reply) {
    const size_t a = getU16(request, 1);
    const size_t b = getU16(request, 3);
    if (request.size() < kHeader + a + b) {
        reply.status = kStatusShortCommand;
        return;
    }
    const size_t padded = (a + b + 15) / 16 * 16;
    if (a + b == 0 || padded + kWrapHeader + kMacLength > kMaxWrapped) {
        reply.status = kStatusBadParameter;
        return;
    }
    std::vector<uint8_t> wrapped(kWrapHeader + padded + kMacLength, 0);
    uint8_t iv[16];
    crypto::randomBytes(iv);
    std::memcpy(wrapped.data(), iv, sizeof iv);
    putU16(wrapped, 16, uint16_t(a));
    putU16(wrapped, 18, uint16_t(b));
    std::memcpy(wrapped.data() + kWrapHeader, request.data() + kHeader, a + b);
    const Digest encKey = wrappingKey("template.enc");
    crypto::aesCbc(encKey, iv, std::span<uint8_t>(wrapped.data() + kWrapHeader, padded), true);
    const Digest macKey = wrappingKey("template.mac");
    const Digest mac = hmacSha256(macKey, std::span<const uint8_t>(wrapped.data(), kWrapHeader + padded));
    std::memcpy(wrapped.data() + kWrapHeader + padded, mac.data(), mac.size());

    reply.payload.assign(2, 0);
    putU16(reply.payload, 0, uint16_t(wrapped.size()));
    reply.payload.insert(reply.payload.end(), wrapped.begin(), wrapped.end());
}

constexpr CommandEntry kCommands[] = {
    {0x1D, kHeader, signEncTemplateData},
};

}  // namespace

extern const CommandModule kTemplateModule = {"template", kCommands};

}  // namespace simusb
