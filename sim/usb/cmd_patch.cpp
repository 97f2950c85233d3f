// Virtual sensor firmware: patch download with its signature checks, and patch unload.
//
// A patch image is a signature block {u16 kind 2, u16 signature length s, signature, body}; the
// body is {"TPAT", u32 patch-id bits, u8 revision, code}. The vendor signature (s = 256) stands in
// for the RSA signature: its first 32 bytes must be the SHA-256 of the body, the rest is not
// checked. A short signature (s = 32) is the keyed digest this sensor answered for the same body
// at an earlier download (the host's patch-signature cache). On variant-3 sensors (as the firmware
// reports its variant) with firmware 4.20 or later the image comes wrapped once more, {u16 2,
// u16 32, HMAC-SHA-256 of the image under the slot-1 shared key (stored "sharedSecret1"), image};
// without a key the MAC is 32 zero bytes.
// A signature that does not check answers 0x044F.
#include "sim/usb/fields.h"
#include "sim/usb/firmware.h"
#include "sim/usb/sha256.h"

#include <algorithm>
#include <string>

namespace simusb {
namespace {

constexpr uint16_t kSignatureKind = 2;
constexpr size_t kVendorSignatureLength = 256;
constexpr size_t kMacLength = 32;
constexpr uint8_t kBodyMagic[4] = {'T', 'P', 'A', 'T'};

bool selfUnloading(uint32_t patchId) {
    return patchId == 0x800 || patchId == 0x1000 || patchId == 0x4000 || patchId == 0x40000;
}

// The sensor's own key for the digests it hands out for caching.
std::vector<uint8_t> cacheKey(Firmware& fw) {
    std::vector<uint8_t> key = fw.stored("patchCacheKey");
    if (key.empty()) {
        const std::string seed = "patch-cache:" + fw.serial();
        const Digest d = sha256({reinterpret_cast<const uint8_t*>(seed.data()), seed.size()});
        key.assign(d.begin(), d.end());
    }
    return key;
}

// The variant the firmware reports of itself wins over the descriptor's, as the host reads it: on
// 4.40 and 4.60 a variant byte (version offset 22) of 2 or 5 is the variant. The host wraps only
// for variant 3 as it sees it, so a sensor enumerating as 3 whose firmware says 2 must take plain
// vendor-signed patches.
uint8_t reportedVariant(Firmware& fw) {
    const std::vector<uint8_t>& v = fw.stored("version");
    if (v.size() == 36 && v[8] == 4 && (v[9] == 40 || v[9] == 60)) {
        const uint8_t low = v[22] & 0x0F;
        if (low == 2 || low == 5) return low;
    }
    return fw.variant();
}

bool wrappedBySharedKey(Firmware& fw) {
    if (reportedVariant(fw) != 3) return false;
    const std::vector<uint8_t>& v = fw.stored("version");
    return v.size() != 36 || (v[8] >= 4 && v[9] >= 20);
}

// Splits {u16 kind, u16 s, signature, rest}; false when it does not hold together.
bool splitBlock(std::span<const uint8_t> image, std::span<const uint8_t>& signature, std::span<const uint8_t>& rest) {
    if (image.size() < 4 || getU16(image, 0) != kSignatureKind) return false;
    const size_t s = getU16(image, 2);
    if (image.size() - 4 < s) return false;
    signature = image.subspan(4, s);
    rest = image.subspan(4 + s);
    return true;
}

void downloadPatch(Firmware& fw, std::span<const uint8_t> request, Reply& reply) {
    if (fw.transient("patch").size() != 0) {
        reply.status = kStatusBusy;  // the host unloads first
        return;
    }
    std::span<const uint8_t> image = request.subspan(1), signature, body;
    if (wrappedBySharedKey(fw)) {
        std::span<const uint8_t> inner;
        if (!splitBlock(image, signature, inner) || signature.size() != kMacLength) {
            reply.status = kStatusSignatureRejected;
            return;
        }
        const std::vector<uint8_t>& key = fw.stored("sharedSecret1");
        Digest expected{};
        if (!key.empty()) expected = hmacSha256(key, inner);
        if (!std::equal(signature.begin(), signature.end(), expected.begin())) {
            reply.status = kStatusSignatureRejected;
            return;
        }
        image = inner;
    }
    if (!splitBlock(image, signature, body)) {
        reply.status = kStatusBadParameter;
        return;
    }
    const std::vector<uint8_t> key = cacheKey(fw);
    const Digest cached = hmacSha256(key, body);
    bool accepted = false;
    if (signature.size() == kVendorSignatureLength) {
        const Digest digest = sha256(body);
        accepted = std::equal(digest.begin(), digest.end(), signature.begin());
    } else if (signature.size() == kMacLength) {
        accepted = std::equal(cached.begin(), cached.end(), signature.begin());
    }
    if (!accepted) {
        reply.status = kStatusSignatureRejected;
        return;
    }
    if (body.size() < 9 || !std::equal(kBodyMagic, kBodyMagic + 4, body.begin())) {
        reply.status = kStatusBadParameter;
        return;
    }
    const uint32_t patchId = getU32(body, 4);
    if (!selfUnloading(patchId)) fw.transient("patch").assign(body.begin() + 4, body.begin() + 9);
    // The answer is the digest the host may send in place of the vendor signature next time.
    reply.payload.assign(cached.begin(), cached.end());
}

void unloadPatch(Firmware& fw, std::span<const uint8_t>, Reply& reply) {
    std::vector<uint8_t>& patch = fw.transient("patch");
    if (patch.empty()) {
        reply.status = kStatusNothingLoaded;
        return;
    }
    patch.clear();
}

constexpr CommandEntry kCommands[] = {
    {0x06, 5, downloadPatch},
    {0x1A, 1, unloadPatch},
};

}  // namespace

extern const CommandModule kPatchModule = {"patch", kCommands};

}  // namespace simusb
