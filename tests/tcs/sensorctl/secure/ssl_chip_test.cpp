// Secure-chip session key against the virtual sensor's 0x28, template-data counter mode, payload
// unpadding, the cached patch signature block and the maker key look-up.
#include "tcs/sensorctl/secure/chip_session.h"

#include "platform/crypto/crypto.h"
#include "platform/memory.h"
#include "sim/usb/firmware.h"
#include "sim/usb/secure_channel.h"
#include "sim/usb/sha256.h"
#include "tcs/sensorctl/secure/public_keys.h"
#include "tcs/sensorctl/engine/scs_internal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct ChipDevice {
    ScsSensorDevice device{};
    ChipDevice() { palCryptoInitialize(); }
    ~ChipDevice() { scsRSFreeSecurityCtx(&device); }
};

// A vendor-signed patch download for the virtual sensor: {0x06, u16 2, u16 256, signature (the body's
// SHA-256, then zeros), body {"TPAT", u32 id, u8 revision}}.
Bytes patchDownload(uint32_t id) {
    const Bytes body = {'T', 'P', 'A', 'T', uint8_t(id), uint8_t(id >> 8), uint8_t(id >> 16), uint8_t(id >> 24), 1};
    Bytes request = {0x06, 2, 0, 0, 1};
    const simusb::Digest digest = simusb::sha256(body);
    request.insert(request.end(), digest.begin(), digest.end());
    request.resize(request.size() + 256 - digest.size(), 0);
    request.insert(request.end(), body.begin(), body.end());
    return request;
}

TEST(SslChip, DiffieHellmanAgreesWithSensor) {
    for (uint32_t family : {uint32_t(SCS_FAMILY_1), uint32_t(SCS_FAMILY_3)}) {
        ChipDevice d;
        simusb::Firmware firmware("SIM00077", TOV_USB_PID_DEFAULT, 0);
        ScsRsSecurityContext* c = scsRSSecurityContext(&d.device, 1);
        ASSERT_NE(c, nullptr);
        uint8_t command[137];
        uint32_t length = 0;
        ASSERT_EQ(scsDHBuildCommand(c, family, command, &length), 0u);
        EXPECT_EQ(length, family == SCS_FAMILY_3 ? 73u : 55u);
        EXPECT_EQ(command[0], 0x28);
        EXPECT_EQ(command[1] | command[2], 0) << "g: two zero bytes first";
        EXPECT_EQ(command[37], 0) << "p: one zero byte first";
        // Firmware 4.40 knows the exchange only under its security patch.
        EXPECT_EQ(firmware.handle({command, length}).status, 0x0401);
        ASSERT_EQ(firmware.handle(patchDownload(0x8000)).status, 0);
        simusb::Reply reply = firmware.handle({command, length});
        ASSERT_EQ(reply.status, 0);
        ASSERT_EQ(reply.payload.size(), 18u);
        ScsReplyView view{uint32_t(reply.payload.size()), reply.payload.data()};
        ScsDHResult record{TCS_RESULT_TIMEOUT, nullptr, &d.device};
        ASSERT_EQ(scsDHSessionKeyCB(&view, 0, &record), 0u);
        EXPECT_EQ(record.result, 0u);
        Bytes key = simusb::secureChipSessionKey(firmware);
        ASSERT_EQ(key.size(), 16u);
        EXPECT_EQ(Bytes(c->sessionKey, c->sessionKey + 16), key);
        EXPECT_EQ(c->x, nullptr) << "the exchange numbers are gone";
    }
}

TEST(SslChip, FailedExchangeReportsStatus) {
    ChipDevice d;
    ScsDHResult record{TCS_RESULT_TIMEOUT, nullptr, &d.device};
    EXPECT_EQ(scsDHSessionKeyCB(nullptr, 370, &record), 370u);
    EXPECT_EQ(record.result, 370u);
    EXPECT_EQ(scsDHSessionKeyCB(nullptr, 0, &record), TCS_RESULT_BAD_PARAM);
}

TEST(SslChip, CounterModeContinuesOneKeyStreamPerDirection) {
    ChipDevice d;
    ScsRsSecurityContext* c = scsRSSecurityContext(&d.device, 1);
    for (int i = 0; i < 16; ++i) c->sessionKey[i] = uint8_t(i + 1);
    c->encryptCounter[15] = c->decryptCounter[15] = 0x7F;
    Bytes plain(48);
    for (int i = 0; i < 48; ++i) plain[i] = uint8_t(i);
    Bytes pieces(48);
    ASSERT_EQ(scsRSEncDecDataOnDevice(&d.device, plain.data(), pieces.data(), 32, 1), 0u);
    ASSERT_EQ(scsRSEncDecDataOnDevice(&d.device, plain.data() + 32, pieces.data() + 32, 16, 1), 0u);
    EXPECT_EQ(c->encryptCounter[15], 0x82) << "counter n, n+1, n+2, then n+3 next";
    Bytes back(48);
    ASSERT_EQ(scsRSEncDecDataOnDevice(&d.device, pieces.data(), back.data(), 48, 0), 0u);
    EXPECT_EQ(back, plain);
    EXPECT_EQ(scsRSEncDecDataOnDevice(&d.device, plain.data(), back.data(), 20, 1), TCS_RESULT_BAD_PARAM);
    memset(c->sessionKey, 0, 16);
    EXPECT_EQ(scsRSEncDecDataOnDevice(&d.device, plain.data(), back.data(), 16, 1), 54u);
    scsRSFreeSecurityCtx(&d.device);
    EXPECT_EQ(scsRSEncDecDataOnDevice(&d.device, plain.data(), back.data(), 16, 1), TCS_RESULT_INVALID_HANDLE);
}

TEST(SslChip, UnpackPayload) {
    struct Case { Bytes data; uint32_t length; };
    for (const Case& k : {Case{{0x41, 0x20, 0, 0}, 1}, Case{{0x41, 0x20, 0x01}, 3}, Case{{0, 0, 0}, 3},
                          Case{{0x41, 0x20, 0}, 1}, Case{{0x20, 0x41, 0}, 3}}) {
        uint32_t length = uint32_t(k.data.size());
        ASSERT_EQ(scsRSUnpackPayloadData(k.data.data(), &length), 0u);
        EXPECT_EQ(length, k.length);
    }
    uint32_t zero = 0;
    EXPECT_EQ(scsRSUnpackPayloadData(Bytes{1}.data(), &zero), TCS_RESULT_BAD_PARAM);
}

TEST(SslChip, SignatureBlockBecomesHmacBlock) {
    Bytes patch(1000);
    for (size_t i = 0; i < patch.size(); ++i) patch[i] = uint8_t(i * 3);
    patch[0] = 2, patch[1] = 0, patch[2] = 0x00, patch[3] = 0x01;  // kind 2, 256-byte signature
    uint8_t hmac[32];
    memset(hmac, 0xAB, sizeof hmac);
    uint8_t* out = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(scsReplaseRSASignatureByHMAC(hmac, patch.data(), 1000, &out, &length), 0u);
    ASSERT_EQ(length, 776u);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{2, 0, 32, 0}));
    EXPECT_EQ(Bytes(out + 4, out + 36), Bytes(32, 0xAB));
    EXPECT_EQ(Bytes(out + 36, out + length), Bytes(patch.begin() + 260, patch.end()));
    palRealFree(out);
    patch[0] = 1;
    ASSERT_EQ(scsReplaseRSASignatureByHMAC(hmac, patch.data(), 1000, &out, &length), 0u);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(length, 0u);
    patch[0] = 2, patch[3] = 0x04;  // a 1024-byte signature in a 1000-byte block
    EXPECT_EQ(scsReplaseRSASignatureByHMAC(hmac, patch.data(), 1000, &out, &length), TCS_RESULT_BAD_PARAM);
}

TEST(SslChip, MakerKeyByFirmware) {
    ScsSensorDevice device{};
    ScsFwVersion version{};
    version.major = 4;
    version.minor = 60;
    version.capabilities = 0x20;
    uint8_t modulus[256];
    ASSERT_EQ(scsSensorGetSSPubKey(&device, &version, modulus), 0u);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(modulus[i], gSSPubKeyList[3][3 + 255 - i]) << i;
    version.capabilities = 0;
    ASSERT_EQ(scsSensorGetSSPubKey(&device, &version, modulus), 0u);
    EXPECT_EQ(modulus[255], gSSPubKeyList[2][3]);
    version.minor = 50;
    EXPECT_EQ(scsSensorGetSSPubKey(&device, &version, modulus), TCS_RESULT_BAD_PARAM);

    // The virtual sensor's certificate checks out under the 4.40 key and fails under 4.60's.
    device.fwVersion = &version;
    version.minor = 40;
    auto certificate = simusb::sensorCertificate();
    Bytes signature = simusb::sensorCertificateSignature(4, 40, 0);
    EXPECT_EQ(scsSensorValidateCertificateOnDevice(&device, 256, certificate.data(), signature.data()), 0u);
    version.minor = 60;
    EXPECT_NE(scsSensorValidateCertificateOnDevice(&device, 256, certificate.data(), signature.data()), 0u);
    device.aesSecured = 1;
    EXPECT_EQ(scsSensorValidateCertificateOnDevice(&device, 256, certificate.data(), signature.data()),
              TCS_RESULT_NOT_IMPLEMENTED);
}

}  // namespace
