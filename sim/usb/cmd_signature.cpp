// Virtual sensor firmware: the print signature. A capture whose security record carries a signing
// key (record bytes 68-99) is signed over the lines it sends, in the clear:
//   - a sensor paired by keys (stored "ssl.rsa") takes a digest, MD5 on firmware 4.40 over the
//     hashed spans (one line hashed, fifteen skipped, and so on; the digest zero-padded to 32
//     bytes), SHA-256 of all the data on any other firmware, and signs it with its own RSA key
//     (PKCS#1 v1.5 over that 32-byte value as a SHA-256 digest): signature kind 1;
//   - any other sensor takes HMAC-SHA-256 under the signing key: kind 2.
// Get print signature (0x03) answers {u8 kind, u8 0, 256 bytes}: the RSA signature most significant
// byte first, or the 32-byte value then zeros. A sensor of variant 3 (AES-secured) leaves out the
// zero byte, so its block starts right after the kind. Until a print was signed (and after any
// capture that was not, or a power loss) it answers 0x0430, no print signature. The last signature
// is kept as transient "printSignature" {kind, 32-byte value}.
#include "sim/usb/print_signature.h"

#include "sim/usb/fields.h"
#include "sim/usb/rsa_sign.h"
#include "sim/usb/sensor_keys.h"
#include "sim/usb/sha256.h"
#include "sim/usb/sim_crypto.h"

#include <algorithm>

namespace simusb {
namespace {

constexpr uint16_t kStatusNoSignature = 0x0430;
constexpr size_t kReplyBlock = 258;
constexpr uint8_t kKindRsa = 1;
constexpr uint8_t kKindHmac = 2;
constexpr size_t kSigningKeyAt = 68;  // in the record, header included
constexpr size_t kSecurityRecordLength = 110;
constexpr uint32_t kSkippedLines = 15;

bool firmware440(Firmware& fw) {
    const uint8_t versionCommand[1] = {0x01};
    const Reply version = fw.handle(versionCommand);
    return version.payload.size() >= 10 && version.payload[8] == 4 && version.payload[9] == 40;
}

// MD5 over one line in every sixteen, starting with the first.
std::vector<uint8_t> spannedMd5(std::span<const uint8_t> data, uint32_t lineLength) {
    std::vector<uint8_t> hashed;
    if (lineLength != 0) {
        for (size_t at = 0; at < data.size(); at += size_t(lineLength) * (1 + kSkippedLines)) {
            const size_t n = std::min<size_t>(lineLength, data.size() - at);
            hashed.insert(hashed.end(), data.begin() + long(at), data.begin() + long(at + n));
        }
    }
    const auto md5 = crypto::md5(hashed);
    std::vector<uint8_t> value(32, 0);
    std::copy(md5.begin(), md5.end(), value.begin());
    return value;
}

void getPrintSignature(Firmware& fw, std::span<const uint8_t>, Reply& reply) {
    const std::vector<uint8_t>& last = fw.transient("printSignature");
    if (last.size() != 33) {
        reply.status = kStatusNoSignature;
        return;
    }
    reply.payload.assign(kReplyBlock, 0);
    reply.payload[0] = last[0];
    const size_t at = fw.variant() == 3 ? 1 : 2;
    if (last[0] == kKindRsa) {
        const std::vector<uint8_t> signature =
            rsaSignSha256(std::span(last).subspan(1), keys::kSensorPrivateExponent, keys::kSensorModulus);
        std::copy(signature.begin(), signature.end(), reply.payload.begin() + 2);
    } else {
        std::copy(last.begin() + 1, last.end(), reply.payload.begin() + long(at));
    }
}

constexpr CommandEntry kCommands[] = {
    {0x03, 1, getPrintSignature},
};

}  // namespace

void signPrint(Firmware& fw, std::span<const uint8_t> security, uint32_t lineLength, std::span<const uint8_t> data) {
    std::vector<uint8_t>& last = fw.transient("printSignature");
    last.clear();
    if (security.size() < kSecurityRecordLength) return;
    const std::span<const uint8_t> key = security.subspan(kSigningKeyAt, 32);
    if (std::all_of(key.begin(), key.end(), [](uint8_t b) { return b == 0; })) return;
    if (!fw.stored("ssl.rsa").empty()) {
        std::vector<uint8_t> value;
        if (firmware440(fw)) {
            value = spannedMd5(data, lineLength);
        } else {
            const auto d = crypto::sha256(data);
            value.assign(d.begin(), d.end());
        }
        last = {kKindRsa};
        last.insert(last.end(), value.begin(), value.end());
        return;
    }
    const Digest mac = hmacSha256(key, data);
    last = {kKindHmac};
    last.insert(last.end(), mac.begin(), mac.end());
}

extern const CommandModule kSignatureModule = {"print signature", kCommands};

}  // namespace simusb
