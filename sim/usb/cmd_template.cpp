// Virtual sensor firmware: wrapping data under a key that never leaves the sensor (derived from its
// private key), so the host can keep the result on flash or in files without holding the secret in
// plain, and the commands that put such data back in use.
//
// Wrapped form of a || b, padded = (a + b) rounded up to 16, padded + 32 bytes in all (a 32-byte
// key wraps into 64; the host's buffers leave 32 bytes beyond the padded data):
//   0..1 u16 a, 2..3 u16 b, 4..15 random: together the IV
//   16..   AES-256-CBC of a || b, zero-padded to `padded` bytes
//   end-16 the first 16 bytes of HMAC-SHA-256 over everything before it
//
//   0x1D sign and encrypt: {0x1D, u16 a, u16 b, a bytes, b bytes} → {u16 n, n wrapped bytes}.
//   0x1E decrypt and verify: {0x1E, u16 n, u16 m, 12 zero, 64-byte field, 32-byte field, n wrapped
//        bytes} → {u16 a, u16 b, the a and b bytes that were wrapped}.
//   0x1C match verify: {0x1C, u16 n, u16 0, 32-byte verification value, n wrapped bytes} →
//        {u16 64, 16-byte result {u32 1, 12 zero}, the wrapped b bytes (zero-filled or cut to 32),
//        the verification value}.
//   0x2B get authentication data: {0x2B, u16 a, u16 b, a wrapped bytes, b key bytes}; the wrap
//        holds {AES-CBC under the key of {u32 kind, u32 pad, data, pad zero bytes}, 16-byte IV}
//        → {u16 length, data}. With b = 0 (no key) the wrap holds the data itself: → {u16 length,
//        the wrapped a and b bytes}.
// A wrap whose MAC does not check answers 0x044F; a block that does not open, 0x0406.
#include "sim/usb/fields.h"
#include "sim/usb/firmware.h"
#include "sim/usb/sensor_keys.h"
#include "sim/usb/sha256.h"
#include "sim/usb/sim_crypto.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

namespace simusb {
namespace {

constexpr size_t kHeader = 5;
constexpr size_t kIvLength = 16;
constexpr size_t kMacLength = 16;
constexpr size_t kMaxWrapped = 4096;  // the reply holds 4100 bytes: status, length, data
constexpr size_t kDecryptHeader = 113;
constexpr size_t kMatchHeader = 37;
constexpr size_t kValueLength = 32;
constexpr size_t kAuthBlockHeader = 8;

Digest wrappingKey(std::string_view label) {
    std::vector<uint8_t> input(label.begin(), label.end());
    input.insert(input.end(), std::begin(keys::kSensorPrivateExponent), std::end(keys::kSensorPrivateExponent));
    return sha256(input);
}

std::vector<uint8_t> wrap(std::span<const uint8_t> a, std::span<const uint8_t> b) {
    const size_t padded = (a.size() + b.size() + 15) / 16 * 16;
    std::vector<uint8_t> wrapped(kIvLength + padded + kMacLength, 0);
    putU16(wrapped, 0, uint16_t(a.size()));
    putU16(wrapped, 2, uint16_t(b.size()));
    crypto::randomBytes(std::span<uint8_t>(wrapped.data() + 4, kIvLength - 4));
    std::copy(a.begin(), a.end(), wrapped.begin() + long(kIvLength));
    std::copy(b.begin(), b.end(), wrapped.begin() + long(kIvLength + a.size()));
    uint8_t iv[kIvLength];
    std::memcpy(iv, wrapped.data(), sizeof iv);
    crypto::aesCbc(wrappingKey("template.enc"), iv, std::span<uint8_t>(wrapped.data() + kIvLength, padded), true);
    const Digest mac = hmacSha256(wrappingKey("template.mac"), std::span<const uint8_t>(wrapped.data(), kIvLength + padded));
    std::memcpy(wrapped.data() + kIvLength + padded, mac.data(), kMacLength);
    return wrapped;
}

struct Unwrapped {
    std::vector<uint8_t> a;
    std::vector<uint8_t> b;
};

std::optional<Unwrapped> unwrap(std::span<const uint8_t> wrapped) {
    if (wrapped.size() < kIvLength + kMacLength) return std::nullopt;
    const size_t a = getU16(wrapped, 0);
    const size_t b = getU16(wrapped, 2);
    const size_t padded = (a + b + 15) / 16 * 16;
    if (wrapped.size() != kIvLength + padded + kMacLength) return std::nullopt;
    const Digest mac = hmacSha256(wrappingKey("template.mac"), wrapped.first(kIvLength + padded));
    if (std::memcmp(mac.data(), wrapped.data() + kIvLength + padded, kMacLength) != 0) return std::nullopt;
    std::vector<uint8_t> plain(wrapped.begin() + long(kIvLength), wrapped.begin() + long(kIvLength + padded));
    uint8_t iv[kIvLength];
    std::memcpy(iv, wrapped.data(), sizeof iv);
    crypto::aesCbc(wrappingKey("template.enc"), iv, plain, false);
    return Unwrapped{{plain.begin(), plain.begin() + long(a)}, {plain.begin() + long(a), plain.begin() + long(a + b)}};
}

void signEncTemplateData(Firmware&, std::span<const uint8_t> request, Reply& reply) {
    const size_t a = getU16(request, 1);
    const size_t b = getU16(request, 3);
    if (request.size() < kHeader + a + b) {
        reply.status = kStatusShortCommand;
        return;
    }
    const size_t padded = (a + b + 15) / 16 * 16;
    if (a + b == 0 || padded + kIvLength + kMacLength > kMaxWrapped) {
        reply.status = kStatusBadParameter;
        return;
    }
    const std::vector<uint8_t> wrapped = wrap(request.subspan(kHeader, a), request.subspan(kHeader + a, b));
    reply.payload.assign(2, 0);
    putU16(reply.payload, 0, uint16_t(wrapped.size()));
    reply.payload.insert(reply.payload.end(), wrapped.begin(), wrapped.end());
}

// Reads the wrapped part at `at` of `n` bytes; false (with the reply's status set) when it is short
// or does not unwrap.
bool takeWrapped(std::span<const uint8_t> request, size_t at, size_t n, Reply& reply, Unwrapped* out) {
    if (request.size() < at + n) {
        reply.status = kStatusShortCommand;
        return false;
    }
    std::optional<Unwrapped> opened = unwrap(request.subspan(at, n));
    if (!opened) {
        reply.status = kStatusSignatureRejected;
        return false;
    }
    *out = std::move(*opened);
    return true;
}

void decryptVerify(Firmware&, std::span<const uint8_t> request, Reply& reply) {
    Unwrapped opened;
    if (!takeWrapped(request, kDecryptHeader, getU16(request, 1), reply, &opened)) return;
    reply.payload.assign(4, 0);
    putU16(reply.payload, 0, uint16_t(opened.a.size()));
    putU16(reply.payload, 2, uint16_t(opened.b.size()));
    reply.payload.insert(reply.payload.end(), opened.a.begin(), opened.a.end());
    reply.payload.insert(reply.payload.end(), opened.b.begin(), opened.b.end());
}

void matchVerify(Firmware&, std::span<const uint8_t> request, Reply& reply) {
    Unwrapped opened;
    if (!takeWrapped(request, kMatchHeader, getU16(request, 1), reply, &opened)) return;
    std::vector<uint8_t> answer(2 * kValueLength, 0);
    std::memcpy(answer.data(), opened.b.data(), std::min(opened.b.size(), kValueLength));
    std::memcpy(answer.data() + kValueLength, request.data() + 5, kValueLength);
    reply.payload.assign(18, 0);
    putU16(reply.payload, 0, uint16_t(answer.size()));
    putU32(reply.payload, 2, 1);
    reply.payload.insert(reply.payload.end(), answer.begin(), answer.end());
}

void getAuthData(Firmware&, std::span<const uint8_t> request, Reply& reply) {
    const size_t a = getU16(request, 1);
    const size_t b = getU16(request, 3);
    Unwrapped opened;
    if (!takeWrapped(request, kHeader, a, reply, &opened)) return;
    if (request.size() < kHeader + a + b) {
        reply.status = kStatusShortCommand;
        return;
    }
    // Without a key the wrap carries no inner layer: what was wrapped is the data.
    if (b == 0) {
        std::vector<uint8_t> data = std::move(opened.a);
        data.insert(data.end(), opened.b.begin(), opened.b.end());
        reply.payload.assign(2, 0);
        putU16(reply.payload, 0, uint16_t(data.size()));
        reply.payload.insert(reply.payload.end(), data.begin(), data.end());
        return;
    }
    std::vector<uint8_t>& block = opened.b;
    const std::span<const uint8_t> key = request.subspan(kHeader + a, b);
    if (block.size() < kAuthBlockHeader + kIvLength || (block.size() - kIvLength) % 16 != 0) {
        reply.status = kStatusBadParameter;
        return;
    }
    const size_t padded = block.size() - kIvLength;
    uint8_t iv[kIvLength];
    std::memcpy(iv, block.data() + padded, kIvLength);
    if (!crypto::aesCbc(key, iv, std::span<uint8_t>(block.data(), padded), false)) {
        reply.status = kStatusBadParameter;
        return;
    }
    // Padding never reaches a whole block: a larger count means the key was not the sealing one.
    const uint32_t pad = getU32(block, 4);
    if (pad >= 16 || pad > padded - kAuthBlockHeader) {
        reply.status = kStatusBadParameter;
        return;
    }
    const size_t length = padded - kAuthBlockHeader - pad;
    reply.payload.assign(2, 0);
    putU16(reply.payload, 0, uint16_t(length));
    reply.payload.insert(reply.payload.end(), block.begin() + long(kAuthBlockHeader),
                         block.begin() + long(kAuthBlockHeader + length));
}

constexpr CommandEntry kCommands[] = {
    {0x1D, kHeader, signEncTemplateData},
    {0x1E, kDecryptHeader, decryptVerify},
    {0x1C, kMatchHeader, matchVerify},
    {0x2B, kHeader, getAuthData},
};

}  // namespace

extern const CommandModule kTemplateModule = {"template", kCommands};

}  // namespace simusb
