// Replies with lengths inside them: template data, authentication data and the print signature,
// checked against what the payload really holds (the sensor's answers scripted with hooks).
#include "tests/tcs/sensorctl/fixture.h"

#include "platform/crypto/crypto.h"
#include "tcs/sensorctl/secure/chip_session.h"
#include "tcs/sensorctl/protocol/protocol_state.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"
#include "tcs/sensorctl/protocol/sensor_commands_more.h"
#include "tcs/sensorctl/protocol/wire_builders.h"

#include <cstring>

namespace {

using scstest::SensorControl;
using Bytes = std::vector<uint8_t>;

class Replies : public SensorControl {
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
    void TearDown() override {
        for (uint8_t code : {0x03, 0x1C, 0x1D, 0x2B}) simusb::setCommandHook(code, nullptr);
        SensorControl::TearDown();
    }
    static void answer(uint8_t code, Bytes payload) {
        simusb::setCommandHook(code, [payload](std::span<const uint8_t>) {
            simusb::Reply r;
            r.payload = payload;
            return r;
        });
    }
    ScsClient* client_ = nullptr;
    ScsSensorDevice* device_ = nullptr;
    ScsSensor* handle_ = nullptr;
};

TEST_F(Replies, MatchVerifyLowersToTheCapacityAndRefusesOverlongLengths) {
    Bytes reply = {6, 0};
    for (int i = 0; i < 16; ++i) reply.push_back(uint8_t(0xA0 + i));
    for (uint8_t b : {1, 2, 3, 4, 5, 6}) reply.push_back(b);
    answer(0x1C, reply);
    const Bytes templ(8, 0x11), value(32, 0x22);
    uint8_t out[8] = {};
    uint32_t capacity = 4;
    ASSERT_EQ(scsSensorSendMatchVerify(handle_, 8, templ.data(), value.data(), out, &capacity), 0u);
    EXPECT_EQ(capacity, 4u);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{1, 2, 3, 4}));
    uint32_t a = 0, b = 0, c = 0;
    ASSERT_EQ(scsSensorMatchVerifyResult(handle_, &a, &b, &c), 0u);
    EXPECT_EQ(a, 0xA3A2A1A0u);

    reply[0] = 60;  // claims more than it carries
    answer(0x1C, reply);
    capacity = 8;
    EXPECT_EQ(scsSensorSendMatchVerify(handle_, 8, templ.data(), value.data(), out, &capacity), 43u);
    EXPECT_EQ(scsSensorSendMatchVerify(handle_, 8, templ.data(), value.data(), out, nullptr), 17u);
}

// RSA-secured sensors get the verification value masked with the capture's signing key; Selkin-secure
// ones get the template encrypted under the chip session key and answer encrypted and padded.
TEST_F(Replies, MatchVerifyOnSecuredSensors) {
    Bytes reply = {0, 0};
    reply.resize(18, 0xB0);
    answer(0x1C, reply);
    scsproto::DeviceState* state = scsproto::stateOf(device_);
    for (int i = 0; i < 32; ++i) state->signingKey[i] = uint8_t(i);
    const Bytes templ(16, 0x33), value(32, 0x22);
    uint8_t out[16] = {};
    uint32_t capacity = sizeof out;
    device_->rsaSecured = 1;
    ASSERT_EQ(scsSensorSendMatchVerify(handle_, 16, templ.data(), value.data(), out, &capacity), 0u);
    Bytes masked;
    for (int i = 0; i < 32; ++i) masked.push_back(uint8_t(0x22 ^ i));
    Bytes sent = simusb::commandLog(sensor_).back();
    EXPECT_EQ(Bytes(sent.begin() + 5, sent.begin() + 37), masked);
    EXPECT_EQ(Bytes(sent.begin() + 37, sent.end()), templ) << "not Selkin-secure: template in clear";
    device_->rsaSecured = 0;

    device_->fwVersion->chipKind = 2;  // Selkin
    ScsRsSecurityContext* chip = scsRSSecurityContext(device_, 1);
    ASSERT_NE(chip, nullptr);
    std::memset(chip->sessionKey, 0x5C, 16);
    uint8_t encryptCounter[16], decryptCounter[16];
    std::memcpy(encryptCounter, chip->encryptCounter, 16);
    std::memcpy(decryptCounter, chip->decryptCounter, 16);
    Bytes wireTemplate(16);
    ASSERT_EQ(palCryptoEncrypt(templ.data(), 16, wireTemplate.data(), nullptr, chip->sessionKey, 16, encryptCounter,
                               PAL_CRYPTO_AES_CTR), 0u);
    const Bytes padded = {1, 2, 3, 4, 5, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    Bytes cipher(16);
    ASSERT_EQ(palCryptoEncrypt(padded.data(), 16, cipher.data(), nullptr, chip->sessionKey, 16, decryptCounter,
                               PAL_CRYPTO_AES_CTR), 0u);
    reply = {16, 0};
    reply.resize(18, 0xB1);
    reply.insert(reply.end(), cipher.begin(), cipher.end());
    answer(0x1C, reply);
    capacity = sizeof out;
    ASSERT_EQ(scsSensorSendMatchVerify(handle_, 16, templ.data(), value.data(), out, &capacity), 0u);
    sent = simusb::commandLog(sensor_).back();
    EXPECT_EQ(Bytes(sent.begin() + 5, sent.begin() + 37), value);
    EXPECT_EQ(Bytes(sent.begin() + 37, sent.end()), wireTemplate);
    ASSERT_EQ(capacity, 5u);
    EXPECT_EQ(Bytes(out, out + 5), (Bytes{1, 2, 3, 4, 5}));

    // A template that is not whole cipher blocks cannot be encrypted: refused before sending.
    const size_t before = simusb::commandLog(sensor_).size();
    capacity = sizeof out;
    EXPECT_EQ(scsSensorSendMatchVerify(handle_, 8, templ.data(), value.data(), out, &capacity), 17u);
    EXPECT_EQ(simusb::commandLog(sensor_).size(), before);
}

TEST_F(Replies, SignAndEncryptReportsADataTooBigForTheBuffer) {
    answer(0x1D, {5, 0, 9, 8, 7, 6, 5});
    const Bytes a(4, 1);
    uint8_t out[8];
    uint32_t capacity = 4;
    EXPECT_EQ(scsSensorSendSignEncTemplateData(handle_, 4, a.data(), 0, nullptr, out, &capacity), 5u);
    capacity = 8;
    ASSERT_EQ(scsSensorSendSignEncTemplateData(handle_, 4, a.data(), 0, nullptr, out, &capacity), 0u);
    EXPECT_EQ(capacity, 5u);
    EXPECT_EQ(Bytes(out, out + 5), (Bytes{9, 8, 7, 6, 5}));
}

TEST_F(Replies, AuthDataAndPrintSignature) {
    answer(0x2B, {3, 0, 0xC1, 0xC2, 0xC3});
    const Bytes a(4, 1);
    uint8_t* data = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(scsSensorSendGetAuthData(handle_, a.data(), 4, nullptr, 0, &data, &length), 0u);
    EXPECT_EQ(Bytes(data, data + length), (Bytes{0xC1, 0xC2, 0xC3}));
    palRealFree(data);
    answer(0x2B, {9, 0, 0xC1});
    EXPECT_EQ(scsSensorSendGetAuthData(handle_, a.data(), 4, nullptr, 0, &data, &length), 43u);
    EXPECT_EQ(data, nullptr);

    Bytes signature = {2, 0};
    for (int i = 0; i < 32; ++i) signature.push_back(uint8_t(i));
    answer(0x03, signature);
    uint8_t type = 0, out[256] = {};
    ASSERT_EQ(scsSensorGetPrintSignature(handle_, &type, out), 0u);
    EXPECT_EQ(type, 2);
    EXPECT_EQ(out[0], 0) << "from offset 2 on sensors that are not AES-secured";
    EXPECT_EQ(out[31], 31);
    signature[0] = 1;  // a 256-byte signature that is not there
    answer(0x03, signature);
    EXPECT_EQ(scsSensorGetPrintSignature(handle_, &type, out), 43u);
}

}  // namespace
