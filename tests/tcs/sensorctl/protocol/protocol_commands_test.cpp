// Sensor commands that only the firmware can answer, run through the synchronous calls (or, for
// those without one, the common command path) against the virtual sensor: the request each puts on
// the bus, the host's parse of the sensor's answer, and a refusal by the sensor reaching the caller.
#include "tests/tcs/sensorctl/fixture.h"

#include "platform/crypto/crypto.h"
#include "platform/settings.h"
#include "tcs/sensorctl/protocol/command_args.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"
#include "tcs/sensorctl/protocol/sensor_commands_more.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes le32(std::initializer_list<uint32_t> words) {
    Bytes out;
    for (uint32_t w : words) {
        for (int i = 0; i < 4; ++i) out.push_back(uint8_t(w >> (8 * i)));
    }
    return out;
}

uint32_t u32At(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

class Commands : public scstest::ReadySensor {
protected:
    void TearDown() override {
        for (uint8_t code : kHooked) simusb::setCommandHook(code, nullptr);
        ReadySensor::TearDown();
    }
    // The sensor refuses the command with this status (until the test ends).
    static void refuse(uint8_t code, uint16_t status) {
        simusb::setCommandHook(code, [status](std::span<const uint8_t>) {
            simusb::Reply r;
            r.status = status;
            return r;
        });
    }
    Bytes lastRequest() { return simusb::commandLog(sensor_).back(); }
    // The host keeps its values for a sensor in a section named after the sensor's serial.
    std::string hostSection() {
        const uint8_t* s = device_->fwVersion->serial;
        char section[80];
        std::snprintf(section, sizeof section, "SOFTWARE\\Tovantic\\tfs530\\%02X%02X%02X%02X%02X%02X", s[0], s[1], s[2],
                      s[3], s[4], s[5]);
        return section;
    }
    size_t sent() { return simusb::commandLog(sensor_).size(); }

    static constexpr uint8_t kHooked[] = {0x03, 0x09, 0x0A, 0x0D, 0x13, 0x15, 0x16, 0x27, 0x29};
};

TEST_F(Commands, ClockAndSpiSettingsGoOutAsGiven) {
    ASSERT_EQ(scsSensorSetRefClock(handle_, 12000000, 144000000, 20000, 39321856, 6428804), 0u);
    Bytes words = le32({12000000, 144000000, 20000, 39321856, 6428804});
    Bytes expected = {0x09};
    expected.insert(expected.end(), words.begin(), words.end());
    EXPECT_EQ(lastRequest(), expected);
    EXPECT_EQ(simusb::transientState(sensor_, "refClock"), words);

    ASSERT_EQ(scsSensorSetCPUClock(handle_, 48000000, 32768), 0u);
    words = le32({48000000, 32768});
    expected = {0x13};
    expected.insert(expected.end(), words.begin(), words.end());
    EXPECT_EQ(lastRequest(), expected);
    EXPECT_EQ(simusb::transientState(sensor_, "cpuClock"), words);

    ASSERT_EQ(scsSensorSetSPIMode(handle_, 4), 0u);
    EXPECT_EQ(lastRequest(), (Bytes{0x0A, 4, 0, 0, 0}));
    EXPECT_EQ(simusb::transientState(sensor_, "spiMode"), le32({4}));

    // A refusal by the sensor reaches the caller as its mapped result.
    struct Case { uint8_t code; uint16_t status; TcsResult result; };
    for (auto [code, status, result] : std::initializer_list<Case>{{0x09, 0x0406, 49}, {0x13, 0x0401, 42}, {0x0A, 0x0405, 43}}) {
        refuse(code, status);
        const TcsResult got = code == 0x09   ? scsSensorSetRefClock(handle_, 1, 2, 3, 4, 5)
                              : code == 0x13 ? scsSensorSetCPUClock(handle_, 1, 2)
                                             : scsSensorSetSPIMode(handle_, 1);
        EXPECT_EQ(got, result) << int(code);
    }
}

// GPIO and get configuration have no call of their own: they run through the common command path.
TEST_F(Commands, GpioRegistersAndConfigurationThroughTheCommandPath) {
    scsargs::Gpio gpio{};
    for (int r = 0; r < 9; ++r) gpio.words[2 * r + 1] = r == 2 ? 0 : 0xFFFFFFFFu;
    gpio.words[2] = 0xF0;  // DIR: pins 4-7 drive
    gpio.words[3] = 0;
    gpio.words[6] = 0x30;  // DOUT
    gpio.words[7] = 0;
    uint8_t reply[64] = {};
    uint32_t length = sizeof reply;
    ASSERT_EQ(scsRunCommand(handle_, scsWITSensor_CMD_GPIO, &gpio, sizeof gpio, SCS_COMMAND_TIMEOUT_MS, reply, &length), 0u);
    ASSERT_EQ(length, 36u) << "nine registers after the status";
    EXPECT_EQ(u32At(reply + 4), 0xF0u);
    EXPECT_EQ(u32At(reply + 8), 0x30u) << "DIN reads the driven pins";
    EXPECT_EQ(u32At(reply + 12), 0x30u);
    const Bytes request = lastRequest();
    ASSERT_EQ(request.size(), 73u);
    EXPECT_EQ(request[0], 0x0D);
    EXPECT_EQ(u32At(request.data() + 1 + 4 * 2), 0xF0u);

    length = 4000;
    std::vector<uint8_t> configuration(length);
    ASSERT_EQ(scsRunCommand(handle_, scsWITSensor_CMD_GET_CONFIGURATION, nullptr, 0, SCS_COMMAND_TIMEOUT_MS,
                            configuration.data(), &length), 0u);
    EXPECT_EQ(length, 2402u) << "u16 length and the 2400-byte configuration, as the 2404-byte reply holds";
    EXPECT_EQ(configuration[0] | configuration[1] << 8, 2400);
    EXPECT_EQ(lastRequest(), Bytes{0x15});

    refuse(0x0D, 0x0406);
    length = sizeof reply;
    EXPECT_EQ(scsRunCommand(handle_, scsWITSensor_CMD_GPIO, &gpio, sizeof gpio, SCS_COMMAND_TIMEOUT_MS, reply, &length), 49u);
}

TEST_F(Commands, UidAndCertificate) {
    uint16_t vendor = 0, product = 0;
    uint8_t uid[16] = {};
    ASSERT_EQ(scsSensorGetUID(handle_, &vendor, &product, uid), 0u);
    EXPECT_EQ(lastRequest(), Bytes{0x27});
    EXPECT_EQ(vendor, TOV_USB_VENDOR_ID);
    EXPECT_EQ(product, TOV_USB_PID_DEFAULT);
    const Bytes given(16, 0xC3);
    simusb::setStoredState(sensor_, "uid", given);
    ASSERT_EQ(scsSensorGetUID(handle_, &vendor, &product, uid), 0u);
    EXPECT_EQ(Bytes(uid, uid + 16), given);
    const size_t before = sent();
    EXPECT_EQ(scsSensorGetUID(handle_, &vendor, nullptr, uid), 17u);
    EXPECT_EQ(sent(), before);

    uint32_t keyLength = 0, exponent = 0;
    uint8_t modulus[256], signature[256];
    EXPECT_EQ(scsSensorGetCertificate(handle_, &keyLength, &exponent, modulus, signature), 42u)
        << "a sensor not paired by keys has no certificate to give";
    simusb::setStoredState(sensor_, "ssl.rsa", {1});
    ASSERT_EQ(scsSensorGetCertificate(handle_, &keyLength, &exponent, modulus, signature), 0u);
    EXPECT_EQ(keyLength, 256u);
    EXPECT_EQ(exponent, 65537u);
    EXPECT_EQ(lastRequest(), Bytes{0x29});

    refuse(0x27, 0x0404);
    EXPECT_EQ(scsSensorGetUID(handle_, &vendor, &product, uid), 370u);
}

// Pairing, the counters a 4.21 sensor keeps, lock, and decommissioning, which also drops the
// pairing values the host kept for the sensor.
TEST_F(Commands, PairingCountersLockAndDecommission) {
    uint16_t total = 0, left = 0;
    size_t before = sent();
    ASSERT_EQ(scsSensorGetOwnershipInfo(handle_, &total, &left), 0u);
    EXPECT_EQ(total, 0xFFFF) << "4.40 keeps no counters: nothing asked";
    EXPECT_EQ(sent(), before);
    device_->fwVersion->minor = 21;
    ASSERT_EQ(scsSensorGetOwnershipInfo(handle_, &total, &left), 0u);
    EXPECT_EQ(lastRequest(), Bytes{0x26});
    EXPECT_EQ(total, 5);
    EXPECT_EQ(left, 5);
    device_->fwVersion->minor = 40;

    const uint8_t password[] = {'p', 'w', 'd'};
    uint8_t first[32], second[32];
    before = sent();
    EXPECT_EQ(scsSensorTakeOwnership(handle_, 3, password, first, 31, second, 32), 17u);
    EXPECT_EQ(sent(), before);
    ASSERT_EQ(scsSensorTakeOwnership(handle_, 3, password, first, 32, second, 32), 0u);
    EXPECT_EQ(lastRequest().size(), 66u);
    EXPECT_EQ(simusb::storedState(sensor_, "sharedSecret1"), Bytes(first, first + 32));
    EXPECT_EQ(simusb::storedState(sensor_, "ownership.value2"), Bytes(second, second + 32));
    EXPECT_EQ(scsSensorTakeOwnership(handle_, 3, password, first, 32, second, 32), 370u) << "paired already";

    const std::string name = hostSection();
    const char* section = name.c_str();
    ASSERT_EQ(palSetPersistentDataLongValue(section, "1", 11), 0u);
    ASSERT_EQ(palSetPersistentDataLongValue(section, "8", 88), 0u);
    ASSERT_EQ(palSetPersistentDataLongValue(section, "9", 99), 0u);

    ASSERT_EQ(scsSensorLock(handle_), 0u);
    EXPECT_EQ(lastRequest(), Bytes{0x1B});
    EXPECT_EQ(scsSensorDecommission(handle_), 370u) << "the lock holds the pairing";
    uint32_t value = 0;
    EXPECT_EQ(palGetPersistentDataLongValue(section, "1", 0, &value), 0u);
    EXPECT_EQ(value, 11u) << "a refused decommission keeps the host's values";
}

TEST_F(Commands, DecommissionForgetsThePairingOnBothSides) {
    const uint8_t password[] = {'p', 'w', 'd'};
    uint8_t first[32], second[32];
    ASSERT_EQ(scsSensorTakeOwnership(handle_, 3, password, first, 32, second, 32), 0u);
    const std::string name = hostSection();
    const char* section = name.c_str();
    for (const char* name : {"1", "8", "9"}) ASSERT_EQ(palSetPersistentDataLongValue(section, name, 7), 0u);

    ASSERT_EQ(scsSensorDecommission(handle_), 0u);
    EXPECT_EQ(lastRequest(), Bytes{0x16});
    EXPECT_EQ(simusb::storedState(sensor_, "ownership"), Bytes{0});
    EXPECT_TRUE(simusb::storedState(sensor_, "sharedSecret1").empty());
    auto kept = [&](const char* name) {
        uint32_t value = 0;
        palGetPersistentDataLongValue(section, name, 0xDEAD, &value);
        return value;
    };
    EXPECT_EQ(kept("1"), 0xDEADu);
    EXPECT_EQ(kept("8"), 0xDEADu) << "not RSA-secured: the sensor secret goes too";
    EXPECT_EQ(kept("9"), 7u);
    EXPECT_EQ(scsSensorDecommission(handle_), 370u) << "nothing left to decommission";

    // Paired by keys: the sensor hands back its pairing record.
    uint8_t record[256];
    EXPECT_EQ(scsSensorTakeOwnershipWithKeys(handle_, 0x100000, 0x1000, nullptr, nullptr, nullptr, nullptr, nullptr, 255,
                                             record), 17u);
    ASSERT_EQ(scsSensorTakeOwnershipWithKeys(handle_, 0x100000, 0x1000, nullptr, nullptr, nullptr, nullptr, nullptr, 256,
                                             record), 0u);
    EXPECT_EQ(lastRequest().size(), 845u);
    EXPECT_EQ(simusb::storedState(sensor_, "ownership"), Bytes{2});
    EXPECT_EQ(simusb::storedState(sensor_, "ownership.flash"), le32({0x100000, 0x1000}));
}

// A signed capture: the sensor's print signature is the HMAC, under the signing key the capture
// carried, of the lines it sent; the host reads it from offset 2 on a sensor that is not AES-secured.
TEST_F(Commands, PrintSignatureOfASignedCapture) {
    uint8_t kind = 0, signature[256] = {};
    EXPECT_EQ(scsSensorGetPrintSignature(handle_, &kind, signature), 365u) << "no print signed yet";
    EXPECT_EQ(lastRequest(), Bytes{0x03});

    constexpr uint16_t kLines = 3;
    std::vector<uint8_t> plain(kLines * 288, 0);
    ASSERT_EQ(scsSensorGetCountedLinesSynch(handle_, plain.data(), uint32_t(plain.size()), kLines, 0, 4, nullptr, nullptr),
              0u);
    Bytes capture = {0x02, 0x20, 0x01, kLines, 0};  // 288-byte lines
    Bytes record(110, 0);
    record[0] = 6;
    record[2] = 106;
    for (size_t i = 4; i < 68; ++i) record[i] = uint8_t(i);
    const Bytes signingKey(32, 0x5A);
    std::copy(signingKey.begin(), signingKey.end(), record.begin() + 68);
    record[105] = 0x03;
    record[108] = 4;
    record[109] = 1;
    capture.insert(capture.end(), record.begin(), record.end());
    uint8_t reply[2404];
    uint32_t replyLength = sizeof reply;
    ASSERT_EQ(scsSensorCommandBlob(handle_, capture.data(), uint32_t(capture.size()), reply, &replyLength), 0u);
    ASSERT_EQ(replyLength, 2u);
    EXPECT_EQ(reply[0] | reply[1] << 8, 0);

    ASSERT_EQ(scsSensorGetPrintSignature(handle_, &kind, signature), 0u);
    EXPECT_EQ(kind, 2);
    uint8_t mac[32];
    uint32_t macLength = sizeof mac;
    ASSERT_EQ(palCryptoMAC(plain.data(), uint32_t(plain.size()), signingKey.data(), 32, mac, &macLength,
                           PAL_CRYPTO_HMAC_SHA256), 0u);
    EXPECT_EQ(Bytes(signature, signature + 32), Bytes(mac, mac + 32));

    refuse(0x03, 0x0430);
    EXPECT_EQ(scsSensorGetPrintSignature(handle_, &kind, signature), 365u);
}

// Template data the sensor wraps comes back whole through decrypt-and-verify; a wrap altered on the
// way is refused as a bad signature.
TEST_F(Commands, WrappedTemplateDataComesBackThroughTheSensor) {
    const Bytes a = {1, 2, 3, 4, 5, 6, 7, 8, 9}, b = {0xB0, 0xB1, 0xB2};
    uint8_t wrapped[256];
    uint32_t wrappedLength = sizeof wrapped;
    ASSERT_EQ(scsSensorSendSignEncTemplateData(handle_, uint32_t(a.size()), a.data(), uint32_t(b.size()), b.data(), wrapped,
                                               &wrappedLength), 0u);
    EXPECT_EQ(wrappedLength, 16u + 16u + 16u) << "IV, the padded data, MAC";
    const Bytes value(32, 0x77);
    uint8_t first[64], second[64];
    uint32_t firstLength = sizeof first, secondLength = sizeof second;
    ASSERT_EQ(scsSensorSendDecVerifyTemplateData(handle_, uint16_t(wrappedLength), wrapped, 0, nullptr, value.data(), first,
                                                 &firstLength, second, &secondLength), 0u);
    EXPECT_EQ(Bytes(first, first + firstLength), a);
    EXPECT_EQ(Bytes(second, second + secondLength), b);
    const Bytes request = lastRequest();
    ASSERT_EQ(request.size(), 113u + wrappedLength);
    EXPECT_EQ(request[0], 0x1E);
    EXPECT_EQ(Bytes(request.begin() + 81, request.begin() + 113), value);

    wrapped[20] ^= 1;
    firstLength = sizeof first;
    secondLength = sizeof second;
    EXPECT_EQ(scsSensorSendDecVerifyTemplateData(handle_, uint16_t(wrappedLength), wrapped, 0, nullptr, value.data(), first,
                                                 &firstLength, second, &secondLength), 373u);
}

TEST_F(Commands, FingerStateEndlessCaptureStopAndReset) {
    simusb::setStoredState(sensor_, "fingerState", {1, 0x10});
    uint8_t state = 0, flags = 0;
    ASSERT_EQ(scsSensorGetFingerState(handle_, &state, &flags), 0u);
    EXPECT_EQ(lastRequest(), Bytes{0x17});
    EXPECT_EQ(state, 1);
    EXPECT_EQ(flags, 0x10);

    ScsReplyView reply{};
    ASSERT_EQ(scsSensorGetFingerprint(handle_, 0, 0, 0, 0, nullptr, &reply), 0u);
    EXPECT_EQ(device_->captureState, 1u) << "a capture without a line count runs until stopped";
    EXPECT_EQ(simusb::transientState(sensor_, "capturing"), Bytes{1});
    ASSERT_EQ(scsSensorAbortFingerprint(handle_), 0u);
    EXPECT_EQ(lastRequest(), Bytes{0x04});
    EXPECT_EQ(device_->captureState, 0u);
    EXPECT_TRUE(simusb::transientState(sensor_, "capturing").empty());

    // A reset delay below 10 goes out as 10; the sensor then drops off the bus and comes back.
    const std::string before = simusb::deviceFileName(sensor_);
    ASSERT_EQ(scsSensorReset(handle_, 3), 0u);
    EXPECT_EQ(lastRequest(), (Bytes{0x05, 10, 0}));
    EXPECT_TRUE(pumpUntil([&] {
        const std::string now = simusb::deviceFileName(sensor_);
        return !now.empty() && now != before;
    }));
}

}  // namespace
