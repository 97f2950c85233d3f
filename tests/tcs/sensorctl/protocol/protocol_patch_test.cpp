// Firmware patches: the get-print kind rules, the signed-patch wrapper, the pre-boot header CRC,
// and loading against the virtual sensor (skip, reload, self-unloading ids, the 373 retry).
#include "tests/tcs/sensorctl/fixture.h"

#include "platform/crypto/crypto.h"
#include "sim/usb/sha256.h"
#include "tcs/sensorctl/protocol/builtin_lists.h"
#include "tcs/sensorctl/protocol/config_lookup.h"
#include "tcs/sensorctl/protocol/protocol_state.h"
#include "tcs/sensorctl/protocol/patch_loader.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"
#include "tcs/sensorctl/protocol/wire_builders.h"

#include <cstring>

namespace {

using scstest::SensorControl;
using Bytes = std::vector<uint8_t>;

TEST(PatchRules, GetPrintKindAndExclude) {
    struct Case {
        uint32_t mode;
        bool alternate, special;
        uint32_t kind, exclude;
    };
    for (const Case& c : std::initializer_list<Case>{{3, true, false, 0x200A0, 0},
                                                     {1, false, false, 0x2080, 0},
                                                     {0, false, false, 0x80, 0x22000},
                                                     {2, false, false, 0xA0, 0x22000},
                                                     {3, false, true, 0x2080, 0x20},
                                                     {0, true, true, 0x80, 0x22020}}) {
        const scspatch::GetPrintKind k = scspatch::getPrintKind(c.mode, c.alternate, c.special);
        EXPECT_EQ(k.kind, c.kind) << c.mode;
        EXPECT_EQ(k.exclude, c.exclude) << c.mode;
    }
    EXPECT_TRUE(scspatch::isSelfUnloading(0x1000));
    EXPECT_FALSE(scspatch::isSelfUnloading(0x1001));
}

TEST(PatchRules, SignedPatchWrapper) {
    const Bytes patch = {1, 2, 3, 4, 5};
    uint8_t* out = nullptr;
    uint16_t length = 0;
    ASSERT_EQ(scspatch::buildSignedPatch(nullptr, patch.data(), 5, &out, &length), 0u);
    ASSERT_EQ(length, 41);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{2, 0, 32, 0}));
    EXPECT_EQ(Bytes(out + 4, out + 36), Bytes(32, 0));
    EXPECT_EQ(Bytes(out + 36, out + 41), patch);
    palRealFree(out);

    const Bytes key(32, 0x42);
    ASSERT_EQ(scspatch::buildSignedPatch(key.data(), patch.data(), 5, &out, &length), 0u);
    const simusb::Digest mac = simusb::hmacSha256(key, patch);
    EXPECT_EQ(Bytes(out + 4, out + 36), Bytes(mac.begin(), mac.end()));
    palRealFree(out);

    const Bytes big(0xFFFF - 35, 0);
    EXPECT_EQ(scspatch::buildSignedPatch(nullptr, big.data(), uint32_t(big.size()), &out, &length), 17u);
}

TEST(PatchRules, PreBootHeaderCrcSpan) {
    uint8_t header[256] = {};
    for (int i = 0; i < 92; ++i) header[i] = uint8_t(i * 7);
    auto store = [&](uint32_t crc) { std::memcpy(header + 92, &crc, 4); };
    uint32_t crc92 = 0, crc91 = 0;
    palCryptoChecksum(0, &crc92, header, 92, 11);
    store(crc92);
    EXPECT_TRUE(scspatch::efiHeaderCrcMatches(header));
    std::memcpy(header + 4, "OEMA", 4);
    palCryptoChecksum(0, &crc91, header, 91, 11);
    store(crc91);
    EXPECT_TRUE(scspatch::efiHeaderCrcMatches(header)) << "OEMA headers leave byte 91 out";
    header[91] ^= 0xFF;
    EXPECT_TRUE(scspatch::efiHeaderCrcMatches(header));
    header[90] ^= 0xFF;
    EXPECT_FALSE(scspatch::efiHeaderCrcMatches(header));
}

// A patch image the virtual sensor accepts: {2, 256, SHA-256 of the body + filler, body}.
Bytes simPatch(uint32_t ids, uint8_t revision) {
    const Bytes body = {'T', 'P', 'A', 'T', uint8_t(ids), uint8_t(ids >> 8), uint8_t(ids >> 16), uint8_t(ids >> 24),
                        revision, 0x90, 0x90};
    const simusb::Digest d = simusb::sha256(body);
    Bytes image(4 + 256 + body.size(), 0);
    image[0] = 2;
    image[3] = 1;
    std::copy(d.begin(), d.end(), image.begin() + 4);
    std::copy(body.begin(), body.end(), image.begin() + 260);
    return image;
}

class PatchLoading : public SensorControl {
protected:
    void SetUp() override {
        SensorControl::SetUp();
        ASSERT_EQ(scsClientCreate(subsystem_, &client_), TCS_RESULT_OK);
        device_ = plugAndAttach();
        ASSERT_NE(device_, nullptr);
        activate(device_);
        device_->replyParser = scsSensorParseReply_V4;
        device_->productFamily = 1;
        ASSERT_EQ(scsSensorOpen(client_, device_->name, &handle_), TCS_RESULT_OK);
        char text[80];
        ASSERT_EQ(scsSensorGetVersion(handle_, text), 0u);
    }
    size_t sent(uint8_t code) {
        size_t n = 0;
        for (const Bytes& request : simusb::commandLog(sensor_)) n += !request.empty() && request[0] == code;
        return n;
    }
    ScsClient* client_ = nullptr;
    ScsSensorDevice* device_ = nullptr;
    ScsSensor* handle_ = nullptr;
};

TEST_F(PatchLoading, RepeatedLoadIsSkippedUnlessTheRevisionIs255) {
    const Bytes image = simPatch(1, 3);
    ASSERT_EQ(LoadPatch(handle_, 1, 0, 0, 3, uint32_t(image.size()), image.data()), 0u);
    ASSERT_EQ(LoadPatch(handle_, 1, 0, 0, 3, uint32_t(image.size()), image.data()), 0u);
    EXPECT_EQ(sent(6), 1u);
    EXPECT_EQ(device_->fwVersion->revision, 3);
    uint32_t level = 0;
    ASSERT_EQ(scsSensorGetPatchLevel(handle_, &level), 0u);
    EXPECT_EQ(level, 3u);

    ASSERT_EQ(LoadPatch(handle_, 1, 0, 0, 255, uint32_t(image.size()), image.data()), 0u);
    ASSERT_EQ(LoadPatch(handle_, 1, 0, 0, 255, uint32_t(image.size()), image.data()), 0u);
    EXPECT_EQ(sent(6), 3u);
    EXPECT_EQ(sent(0x1A), 2u) << "each reload unloads first";
}

TEST_F(PatchLoading, SelfUnloadingPatchLeavesTheRecord) {
    const Bytes run = simPatch(1, 3), self = simPatch(0x1000, 1);
    ASSERT_EQ(LoadPatch(handle_, 1, 0, 0, 3, uint32_t(run.size()), run.data()), 0u);
    ASSERT_EQ(LoadPatch(handle_, 0x1000, 0, 0, 1, uint32_t(self.size()), self.data()), 0u);
    EXPECT_EQ(device_->fwVersion->revision, 0) << "the run patch was unloaded for it";
    ASSERT_EQ(scsSensorRestoreRunPatch(handle_), 0u);
}

TEST_F(PatchLoading, RejectedSignatureIsRetriedThenTheOriginalSent) {
    Bytes forged = simPatch(1, 3);
    forged[5] ^= 1;
    EXPECT_EQ(LoadPatch(handle_, 1, 0, 0, 3, uint32_t(forged.size()), forged.data()), 373u);
    EXPECT_EQ(sent(6), 3u);
    const Bytes big(0x10000, 0);
    EXPECT_EQ(LoadPatch(handle_, 8, 0, 0, 1, uint32_t(big.size()), big.data()), 17u) << "u16 length";
    EXPECT_EQ(sent(6), 3u);
}

TEST_F(PatchLoading, BuiltInPatchesLoadByKind) {
    ASSERT_EQ(scsDownloadRunPatch(handle_), 0u);
    EXPECT_EQ(device_->fwVersion->revision, 3);
    ASSERT_EQ(scsDownloadGetPrintPatch(handle_, 1), 0u);
    const Bytes last = [&] {
        Bytes found;
        for (const Bytes& r : simusb::commandLog(sensor_)) {
            if (!r.empty() && r[0] == 6) found = r;
        }
        return found;
    }();
    ASSERT_GT(last.size(), 1u + 4 + 256 + 9);
    uint32_t ids = 0;
    std::memcpy(&ids, last.data() + 1 + 4 + 256 + 4, 4);
    EXPECT_EQ(ids, 0x2080u);
    uint32_t loaded = 7;
    EXPECT_EQ(scsSensorLoadPatch(handle_, nullptr, 1, 0, &loaded), 0u);
    EXPECT_EQ(loaded, 0u);
    ASSERT_EQ(scsDownloadSecureMatchPatch(handle_), 0u);
}

TEST_F(SensorControl, Variant3PatchesGoWrappedUnderTheSharedKey) {
    simusb::SensorSpec identity;
    identity.variant = 3;
    ScsSensorDevice* device = plugAndAttach(identity);
    ASSERT_NE(device, nullptr);
    activate(device);
    device->productFamily = 1;
    ScsClient* client = nullptr;
    ASSERT_EQ(scsClientCreate(subsystem_, &client), TCS_RESULT_OK);
    ScsSensor* handle = nullptr;
    ASSERT_EQ(scsSensorOpen(client, device->name, &handle), TCS_RESULT_OK);
    char text[80];
    ASSERT_EQ(scsSensorGetVersion(handle, text), 0u);
    scsproto::stateOf(device)->variant = 3;
    // No shared key on either side: firmware 4.40 takes the MAC of zeros.
    const Bytes image = simPatch(1, 3);
    ASSERT_EQ(LoadPatch(handle, 1, 0, 0, 3, uint32_t(image.size()), image.data()), 0u);
    const Bytes sent = simusb::commandLog(sensor_).back();
    ASSERT_EQ(sent.size(), 1 + 36 + image.size());
    EXPECT_EQ(Bytes(sent.begin() + 1, sent.begin() + 5), (Bytes{2, 0, 32, 0}));
    EXPECT_EQ(Bytes(sent.begin() + 37, sent.end()), image);
    // The sensor holds a key the host does not: its check fails (373, three tries).
    simusb::setStoredState(sensor_, "sharedSecret1", Bytes(32, 0x77));
    ASSERT_EQ(scsSensorUnloadPatch(handle), 0u);
    EXPECT_EQ(LoadPatch(handle, 1, 0, 0, 255, uint32_t(image.size()), image.data()), 373u);
}

TEST_F(PatchLoading, FamilyListsAndLookupByDevice) {
    const void* const* list = nullptr;
    ASSERT_EQ(scsSensorFindPatchConfigList(device_, &list), 0u);
    EXPECT_EQ(list, harlokPatchConfigList);
    ASSERT_EQ(scsSensorFindCalConfigList(device_, &list), 0u);
    EXPECT_EQ(list, harlokCalConfigList);
    ASSERT_EQ(scsSensorFindNavConfigList(device_, &list), 0u);
    EXPECT_EQ(list, nullptr) << "no navigation list for the Harlok families";
    const ConfigDescriptor* run = scsHarlokFindPatch(device_, harlokPatchConfigList, 1, 0);
    ASSERT_NE(run, nullptr);
    EXPECT_EQ(run->words[SCS_PD_MINOR], 40u);
    EXPECT_EQ(scsHarlokFindPatch(nullptr, harlokPatchConfigList, 1, 0), nullptr);
    const ConfigDescriptor* woe = reinterpret_cast<const ConfigDescriptor*>(1);
    ASSERT_EQ(scsSensorFindWoeConfiguration(device_, &woe), 0u);
    EXPECT_EQ(woe, nullptr) << "the wake-on-event list is empty";
    device_->productFamily = 3;
    EXPECT_EQ(scsSensorFindWoeConfiguration(device_, &woe), 17u);
    ASSERT_EQ(scsSensorFindPatchConfigList(device_, &list), 0u);
    EXPECT_EQ(list, nullptr) << "families 3 and 4 have no lists";
    device_->productFamily = 1;
}

}  // namespace
