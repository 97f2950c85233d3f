// Patch-signature caching end to end: a patch verified once by its RSA block goes next time with
// the sensor's short HMAC taken from the flash cache.
#include "flash_fixture.h"

#include "sim/usb/sha256.h"
#include "tcs/sensorctl/protocol/patch_loader.h"
#include "tcs/sensorctl/secure/ssl.h"

#include <algorithm>

namespace {

using xtfstest::Bytes;
using xtfstest::FlashTest;

constexpr uint32_t kRsaRaw = 4096;
constexpr uint32_t kCacheTop = 8192;
constexpr uint8_t kPatchCommand = 0x06;

class PatchCache : public FlashTest {
protected:
    void TearDown() override {
        device_->sslContext = nullptr;
        FlashTest::TearDown();
    }
    // RSA-secured sensor, raw partition with the signature cache at 8192, established session.
    void openRsaWithSession() {
        uint32_t capacity = 0;
        ASSERT_EQ(xtfsGetFlashInfo(handle_, &capacity), 0u);
        ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_IMAGE, 0, nullptr), 0u);
        Bytes table(256, 0xFF);
        table[0] = 'E', table[1] = 'A', table[2] = 'T', table[3] = 0x22;
        const Bytes cache{6, 0x00, 0x20, 0x00, 0x00, 0, 0, 0, 0, 0xFF};
        std::copy(cache.begin(), cache.end(), table.begin() + 4);
        seed(kRsaRaw, table);
        device_->rsaSecured = 1;
        ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_RAW, 0, nullptr), 0u);
        std::memset(&session_, 0, sizeof session_);
        session_.state = SCS_SSL_STATE_ESTABLISHED;
        device_->sslContext = &session_;
    }
    // Patch downloads logged since the log held `from` requests.
    std::vector<Bytes> patchRequests(size_t from) {
        const std::vector<Bytes> log = simusb::commandLog(sensor_);
        std::vector<Bytes> out;
        for (size_t i = from; i < log.size(); ++i) {
            if (!log[i].empty() && log[i][0] == kPatchCommand) out.push_back(log[i]);
        }
        return out;
    }
    size_t logged() { return simusb::commandLog(sensor_).size(); }
    ScsSSLContext session_{};
};

// Body and a vendor signature block the virtual sensor accepts (SHA-256 of the body + filler).
Bytes patchBody(uint32_t ids, uint8_t revision) {
    return {'T', 'P', 'A', 'T', uint8_t(ids), uint8_t(ids >> 8), uint8_t(ids >> 16), uint8_t(ids >> 24),
            revision, 0x90, 0x90};
}
Bytes rsaSigned(const Bytes& body) {
    const simusb::Digest d = simusb::sha256(body);
    Bytes image(4 + 256 + body.size(), 0x5A);
    image[0] = 2, image[1] = 0, image[2] = 0, image[3] = 1;  // u16 2, u16 256
    std::copy(d.begin(), d.end(), image.begin() + 4);
    std::copy(body.begin(), body.end(), image.begin() + 260);
    return image;
}
bool endsWith(const Bytes& request, const Bytes& tail) {
    return request.size() >= tail.size() && std::equal(tail.begin(), tail.end(), request.end() - tail.size());
}

TEST_F(PatchCache, SecondLoadSendsTheCachedHmacInPlaceOfTheRsaBlock) {
    openRsaWithSession();
    device_->patchSignatureCaching = 1;
    constexpr uint32_t kIds = 0x00000008;
    constexpr uint8_t kRevision = 3;
    constexpr uint32_t kSelector = 0x105;  // only the low byte is kept in the item
    const Bytes body = patchBody(kIds, kRevision);
    const Bytes image = rsaSigned(body);

    // First load: the full RSA block goes, and the sensor's answer is cached under the selector.
    size_t mark = logged();
    ASSERT_EQ(LoadPatch(handle_, kIds, kSelector, 0, kRevision, uint32_t(image.size()), image.data()), 0u);
    std::vector<Bytes> sent = patchRequests(mark);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(endsWith(sent[0], image));

    const Bytes f = flash();
    const Bytes stored(f.begin() + kCacheTop - 40, f.begin() + kCacheTop);
    const Bytes key{uint8_t(kIds), uint8_t(kIds >> 8), uint8_t(kIds >> 16), uint8_t(kIds >> 24),
                    kRevision, 'P', 'S', uint8_t(kSelector)};
    EXPECT_EQ(Bytes(stored.begin(), stored.begin() + 8), key) << "byte 7 holds the selector's low byte";
    const Bytes hmac(stored.begin() + 8, stored.end());
    EXPECT_FALSE(IsBlankBuffer(hmac.data(), 32));

    uint32_t found = 0;
    uint8_t item[40];
    const XtfsPatchKey patchKey{kIds, kRevision};
    ASSERT_EQ(xtfsIsPatchSignatureCached(handle_, &patchKey, uint8_t(kSelector), &found, item), 0u);
    EXPECT_EQ(found, 1u);

    // Second load (after an unload, so it is not skipped): {u16 2, u16 32, cached HMAC, body}.
    ASSERT_EQ(UnloadPatch(handle_), 0u);
    mark = logged();
    ASSERT_EQ(LoadPatch(handle_, kIds, kSelector, 0, kRevision, uint32_t(image.size()), image.data()), 0u);
    sent = patchRequests(mark);
    ASSERT_EQ(sent.size(), 1u) << "the sensor took the cached HMAC on the first try";
    Bytes expected{2, 0, 32, 0};
    expected.insert(expected.end(), hmac.begin(), hmac.end());
    expected.insert(expected.end(), body.begin(), body.end());
    EXPECT_TRUE(endsWith(sent[0], expected));
    EXPECT_EQ(sent[0].size(), 1 + expected.size());
}

}  // namespace
