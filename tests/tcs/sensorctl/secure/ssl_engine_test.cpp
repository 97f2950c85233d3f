// Secure channel over the sensor-control engine and the virtual sensor on the emulated bus: the
// handshake driven by its steps, commands and replies as records, resumption, recovery after a
// suspend, close notify, and a damaged reply reported as a malfunction.
#include "tests/tcs/sensorctl/fixture.h"

#include "platform/crypto/crypto.h"
#include "platform/settings.h"
#include "sim/usb/secure_channel.h"
#include "tcs/sensorctl/secure/chip_session.h"
#include "tcs/sensorctl/secure/data_slots.h"
#include "tcs/sensorctl/secure/public_keys.h"
#include "tcs/sensorctl/ownership/secure_storage.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"
#include "tcs/sensorctl/secure/security.h"
#include "tcs/sensorctl/secure/ssl_session.h"

#include <algorithm>
#include <cstring>

namespace {

using Bytes = std::vector<uint8_t>;

class SslEngine : public scstest::SensorControl {
protected:
    void SetUp() override {
        SensorControl::SetUp();
        palCryptoInitialize();
        device_ = plugAndAttach();
        ASSERT_NE(device_, nullptr);
        activate(device_);
        device_->productFamily = SCS_FAMILY_1;  // as first-time initialisation reads it: its patch lists
        Bytes secret(32);
        for (int i = 0; i < 32; ++i) secret[i] = uint8_t(0x31 * i + 7);
        simusb::setStoredState(sensor_, "sharedSecret1", secret);
        version_ = static_cast<ScsFwVersion*>(palRealMalloc(sizeof(ScsFwVersion)));
        memset(version_, 0, sizeof *version_);
        version_->major = 4;
        version_->minor = 40;
        version_->romFlag = 1;
        version_->flags = 0x80;  // provisioned
        const uint8_t serial[6] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60};
        memcpy(version_->serial, serial, 6);
        palRealFree(device_->fwVersion);
        device_->fwVersion = version_;
        scsSSLDeriveSecurityFlags(device_, 3);  // a shared-secret sensor
        // The pairing secret as device initialisation caches it (item 1).
        scsDataSlotSetCachedSecret(device_, secret.data());
    }
    void TearDown() override {
        // What the device's release drops once the engine calls these (by address only).
        if (device_ != nullptr) {
            scsDataSlotForgetDevice(device_);
            scsRSFreeSecurityCtx(device_);
            scsSensorForgetSecurityState(device_);
        }
        SensorControl::TearDown();
    }

    // Steps the handshake as device initialisation does, pumping the service step between steps.
    TcsResult establish() {
        TcsResult result = TCS_RESULT_OK;
        const bool done = pumpUntil([&] {
            if (scsSSLIsInSession(device_)) return true;
            result = scsSSLEstablishSession(nullptr, TCS_RESULT_SERVICE, device_);
            return result != TCS_RESULT_OK;
        });
        return done ? result : TCS_RESULT_TIMEOUT;
    }

    struct Got {
        bool done = false;
        TcsResult status = 0;
        Bytes payload;
    };
    static TcsResult onReply(ScsReplyView* reply, TcsResult status, void* context) {
        auto* got = static_cast<Got*>(context);
        got->status = status;
        if (reply != nullptr && reply->data != nullptr) got->payload.assign(reply->data, reply->data + reply->length);
        got->done = true;
        return 0;
    }
    // One command through scsSend; the reply as the reply callback sees it.
    Got command(Bytes bytes, uint32_t replyLength) {
        Got got;
        auto* request = static_cast<uint8_t*>(palRealMalloc(uint32_t(bytes.size())));
        memcpy(request, bytes.data(), bytes.size());
        EXPECT_EQ(scsSend(device_, request, uint32_t(bytes.size()), replyLength, onReply, &got, nullptr, 0, 0), 0u);
        EXPECT_TRUE(pumpUntil([&] { return got.done; }));
        return got;
    }
    std::vector<Bytes> log() { return simusb::commandLog(sensor_); }

    ScsSensorDevice* device_ = nullptr;
    ScsFwVersion* version_ = nullptr;
};

TEST_F(SslEngine, SecurityFlagsComeFromVariantAndVersionRecord) {
    struct Case { uint32_t variant; uint8_t flags; uint32_t aes, rsa, ecc, provisioned; };
    for (auto [variant, flags, aes, rsa, ecc, provisioned] : std::initializer_list<Case>{
             {0, 0x00, 0, 0, 0, 0}, {3, 0x01, 1, 0, 0, 0}, {5, 0x02, 0, 1, 0, 0}, {5, 0x83, 0, 1, 0, 1},
             {6, 0x00, 0, 0, 1, 0}, {7, 0x80, 0, 0, 1, 1}, {2, 0x80, 0, 0, 0, 1}}) {
        version_->flags = flags;
        scsSSLDeriveSecurityFlags(device_, variant);
        EXPECT_EQ(device_->aesSecured, aes) << variant;
        EXPECT_EQ(device_->rsaSecured, rsa) << variant;
        EXPECT_EQ(device_->eccSecured, ecc) << variant;
        EXPECT_EQ(device_->provisioned, provisioned) << variant;
    }
}

TEST_F(SslEngine, SharedSecretSessionCarriesCommandsAsRecords) {
    ASSERT_EQ(establish(), 0u);
    EXPECT_EQ(scsSSLGetSessionKeyLength(device_), 32u);
    simusb::clearCommandLog(sensor_);
    Got got = command({0x01}, 38);
    ASSERT_EQ(got.status, 0u);
    ASSERT_GE(got.payload.size(), 36u);
    EXPECT_EQ(got.payload[8], 4) << "the version block, decrypted";
    ASSERT_EQ(log().size(), 1u);
    EXPECT_EQ(log()[0][0], 23) << "the command went out as an application-data record";
    EXPECT_EQ(log()[0].size(), 5u + 32u);

    // Close notify: afterwards commands go out plain and the sensor takes them so.
    ASSERT_EQ(scsSSLCloseSession(device_, 1), 0u);
    EXPECT_FALSE(scsSSLIsInSession(device_));
    pumpFor(50);
    got = command({0x01}, 38);
    EXPECT_EQ(got.status, 0u);
    EXPECT_EQ(log().back(), Bytes{0x01});
}

TEST_F(SslEngine, ResumedAndRecoveredSessions) {
    ASSERT_EQ(establish(), 0u);
    // A suspend with the recovery key held: one 0x53 message takes the session back.
    ASSERT_EQ(scsSSLSuspendSession(device_), 0u);
    simusb::clearCommandLog(sensor_);
    ASSERT_EQ(establish(), 0u);
    ASSERT_EQ(log().size(), 1u);
    EXPECT_EQ(log()[0][0], 0x53);
    EXPECT_EQ(log()[0].size(), 257u);
    EXPECT_EQ(command({0x01}, 38).status, 0u);

    // Without the recovery key the context starts over, offers its session id and resumes.
    static_cast<ScsSSLContext*>(device_->sslContext)->flags &= ~SCS_SSL_FLAG_RECOVERY_KEY_HELD;
    ASSERT_EQ(scsSSLSuspendSession(device_), 0u);
    simusb::clearCommandLog(sensor_);
    ASSERT_EQ(establish(), 0u);
    EXPECT_TRUE(static_cast<ScsSSLContext*>(device_->sslContext)->flags & SCS_SSL_FLAG_RESUMED);
    ASSERT_EQ(log().size(), 2u);
    EXPECT_EQ(log()[1][3], 20) << "second flight: change cipher cipherSpec and Finished only";
    EXPECT_EQ(command({0x01}, 38).status, 0u);
}

TEST_F(SslEngine, DamagedReplyReportsMalfunction) {
    ASSERT_EQ(establish(), 0u);
    // The sensor's next reply arrives with a flipped ciphertext bit.
    simusb::setCommandHook(23, [](std::span<const uint8_t>) {
        simusb::Reply r;
        r.whole = true;
        r.payload.assign(53, 0x5A);
        r.payload[0] = 23;
        r.payload[1] = 3;
        r.payload[2] = 0;
        r.payload[3] = 0;
        r.payload[4] = 48;
        return r;
    });
    simusb::clearCommandLog(sensor_);
    Got got = command({0x01}, 38);
    simusb::setCommandHook(23, nullptr);
    EXPECT_NE(got.status, 0u);
    // Reported malfunctioning: the device goes to the bad list; the alert itself was never sent.
    EXPECT_TRUE(pumpUntil([&] { return count(subsystem_->badDevices) == 1; }));
    for (const Bytes& request : log()) EXPECT_NE(request[0], 21);
}

// A sensor, or anything on the link, that answers the final flight with anything but its checked
// Finished gets no session: the handshake fails, the context is gone, and while the flight was out a
// command was refused rather than sent plain.
TEST_F(SslEngine, HostilePeerGetsNoSessionAndNoPlainCommand) {
    for (const char* mode : {"skip-finished", "wrong-finished", "alert", "replay-flight"}) {
        SCOPED_TRACE(mode);
        simusb::setStoredState(sensor_, "ssl.misbehave", Bytes(mode, mode + strlen(mode)));
        simusb::clearCommandLog(sensor_);
        // Step until the final flight is on its way to the sensor, looking right after each step:
        // a pump in between could already bring its answer.
        auto flightOut = [&] {
            auto* c = static_cast<ScsSSLContext*>(device_->sslContext);
            return c != nullptr && c->state == SCS_SSL_STATE_FINAL_FLIGHT && c->requestPending;
        };
        ASSERT_TRUE(pumpUntil([&] {
            return flightOut() || scsSSLEstablishSession(nullptr, TCS_RESULT_SERVICE, device_) != TCS_RESULT_OK ||
                   flightOut();
        }));
        ASSERT_TRUE(flightOut());
        auto* request = static_cast<uint8_t*>(palRealMalloc(1));
        request[0] = 0x01;
        Got got;
        EXPECT_EQ(scsSend(device_, request, 1, 38, onReply, &got, nullptr, 0, 0), SCS_SSL_NO_SESSION);
        EXPECT_EQ(establish(), SCS_SSL_HANDSHAKE_FAILED);
        EXPECT_FALSE(scsSSLIsInSession(device_));
        EXPECT_EQ(device_->sslContext, nullptr) << "the session is closed";
        pumpFor(20);
        for (const Bytes& sent : log()) EXPECT_EQ(sent[0], SCS_SSL_FLIGHT_COMMAND) << "only handshake flights went out";
    }
}

// Inside a session the sensor answers with its previous reply, verbatim: the MAC fails, the device is
// reported malfunctioning and the session refuses every later command.
TEST_F(SslEngine, ReplayedReplyEndsTheSession) {
    ASSERT_EQ(establish(), 0u);
    simusb::setStoredState(sensor_, "ssl.misbehave", Bytes{'r', 'e', 'p', 'l', 'a', 'y', '-', 'r', 'e', 'c', 'o', 'r', 'd'});
    EXPECT_EQ(command({0x01}, 38).status, 0u);
    EXPECT_EQ(command({0x01}, 38).status, SCS_SSL_BAD_MAC);
    EXPECT_TRUE(pumpUntil([&] { return count(subsystem_->badDevices) == 1; }));
    simusb::clearCommandLog(sensor_);
    auto* request = static_cast<uint8_t*>(palRealMalloc(1));
    request[0] = 0x01;
    Got got;
    EXPECT_EQ(scsSend(device_, request, 1, 38, onReply, &got, nullptr, 0, 0), SCS_SSL_SESSION_UNUSABLE);
    EXPECT_TRUE(log().empty());
}

TEST_F(SslEngine, HandshakeWithoutPairingSecretFails) {
    simusb::setStoredState(sensor_, "sharedSecret1", {});
    EXPECT_EQ(establish(), 383u);
    EXPECT_EQ(device_->sslContext, nullptr);
    EXPECT_FALSE(scsSSLIsInSession(device_));
}

}  // namespace

namespace {

class SslStorage : public SslEngine {
protected:
    void SetUp() override {
        SslEngine::SetUp();
        ASSERT_EQ(scsClientCreate(subsystem_, &client_), TCS_RESULT_OK);
        ASSERT_EQ(scsSensorOpen(client_, device_->name, &sensor_handle_), TCS_RESULT_OK);
        scsDataSlotForgetDevice(device_);  // no cached pairing secret here
    }
    ScsClient* client_ = nullptr;
    ScsSensor* sensor_handle_ = nullptr;
};

TEST_F(SslStorage, SecretDataFallsBackToSettingsWhileFlashIsUnavailable) {
    Bytes secret(32, 0x6B);
    ASSERT_EQ(scsSetSecretData(sensor_handle_, 32, secret.data(), 8), 0u) << "the settings copy is kept";
    Bytes back(32, 0);
    ASSERT_EQ(scsGetSecretData(sensor_handle_, 32, back.data(), 8, 0, 0), 0u);
    EXPECT_EQ(back, secret);
    back.assign(32, 0);
    ASSERT_EQ(scsGetSecretData(sensor_handle_, 32, back.data(), 8, 2, 1), 0u) << "flash first, then settings";
    EXPECT_EQ(back, secret);
    ASSERT_EQ(scsGetSecretData(sensor_handle_, 32, back.data(), 8, 0, 0), 0u) << "not migrated: flash refused";
    Bytes longer(64, 0xEE);
    EXPECT_EQ(scsGetSecretData(sensor_handle_, 64, longer.data(), 8, 0, 0), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(longer, Bytes(64, 0xEE));
    EXPECT_EQ(scsGetSecretData(sensor_handle_, 32, nullptr, 8, 0, 0), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(scsSensorStoreTakeOwnershipReply(sensor_handle_, 32, secret.data(), 32, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(scsSensorStoreTakeOwnershipWithKeysReply(sensor_handle_, 256, nullptr), TCS_RESULT_NULL_POINTER);
}

TEST_F(SslStorage, SecureRetryOnlyOnSelkinSecureDevices) {
    struct Count {
        int calls = 0;
        TcsResult result = 0;
    } count;
    auto command = [](ScsSensor*, void* context) -> TcsResult {
        auto* c = static_cast<Count*>(context);
        ++c->calls;
        return c->result;
    };
    EXPECT_EQ(scsSensorIsSelkinSecuryEnabledDevice(sensor_handle_), 0u);
    count.result = 44;
    EXPECT_EQ(scsSensorRunProtected(sensor_handle_, command, &count), 44u);
    EXPECT_EQ(count.calls, 1) << "no session key and no retry on a Harlok chip";
    version_->chipKind = 2;
    EXPECT_EQ(scsSensorIsSelkinSecuryEnabledDevice(sensor_handle_), 1u);
    version_->chipKind = 1;
    version_->major = 4;
    version_->minor = 0;
    EXPECT_EQ(scsSensorIsSelkinSecuryEnabledDevice(sensor_handle_), 1u);
}

TEST_F(SslStorage, SensorCertificateFromTheSensorChecksOut) {
    simusb::setStoredState(sensor_, "ssl.rsa", {1});
    scsSSLDeriveSecurityFlags(device_, 5);
    uint32_t length = 0, second = 0;
    uint8_t certificate[256], signature[256];
    ASSERT_EQ(scsSensorGetCertificate(sensor_handle_, &length, &second, certificate, signature), 0u);
    EXPECT_EQ(length, 256u);
    EXPECT_EQ(scsSensorValidateCertificate(sensor_handle_, 256, certificate, signature), 0u);
    certificate[17] ^= 1;
    EXPECT_NE(scsSensorValidateCertificate(sensor_handle_, 256, certificate, signature), 0u);
    certificate[17] ^= 1;
    scsSSLDeriveSecurityFlags(device_, 3);
    EXPECT_EQ(scsSensorValidateCertificate(sensor_handle_, 256, certificate, signature), TCS_RESULT_NOT_IMPLEMENTED);
}

TEST_F(SslStorage, DerivedUidIsCached) {
    auto md5 = [](const Bytes& data) {
        uint8_t out[32];
        palCryptoDigest(data.data(), uint32_t(data.size()), out, PAL_CRYPTO_MD5);
        return Bytes(out, out + 16);
    };
    Bytes serial(version_->serial, version_->serial + 6);
    device_->transportValue1 = 0x0C3A;  // product id: a zero one would mark the copy invalid
    scsSSLDeriveSecurityFlags(device_, 0);
    ScsSensorUid uid{};
    ASSERT_EQ(scsSensorGetCachedUID(sensor_handle_, &uid), 0u);
    EXPECT_EQ(uid.second, device_->transportValue1);
    EXPECT_EQ(Bytes(uid.uid, uid.uid + 16), md5(serial)) << "an unsecured sensor: the serial alone";

    scsSensorForgetSecurityState(device_);
    scsSSLDeriveSecurityFlags(device_, 3);
    Bytes secret(32, 0x3C);
    ASSERT_EQ(scsSetSecretData(sensor_handle_, 32, secret.data(), 1), 0u);
    ASSERT_EQ(scsSensorGetCachedUID(sensor_handle_, &uid), 0u);
    uint8_t digest[32];
    palCryptoDigest(secret.data(), 32, digest, PAL_CRYPTO_SHA256);
    Bytes input = serial;
    input.insert(input.end(), digest, digest + 32);
    EXPECT_EQ(Bytes(uid.uid, uid.uid + 16), md5(input)) << "a paired sensor: serial and the secret's digest";
    device_->transportValue1 = uint16_t(device_->transportValue1 + 1);
    ScsSensorUid again{};
    ASSERT_EQ(scsSensorGetCachedUID(sensor_handle_, &again), 0u);
    EXPECT_EQ(memcmp(&again, &uid, sizeof uid), 0) << "answered from the cache";
    scsSensorForgetSecurityState(device_);
}

// Both caches are keyed by the device record: once the record's serial changes (another sensor at the
// same address), neither answers from what it kept for the first one.
TEST_F(SslStorage, CachesForgetARecordWhoseSerialChanged) {
    device_->transportValue1 = 0x0C3A;
    scsSSLDeriveSecurityFlags(device_, 0);
    ScsSensorUid first{};
    ASSERT_EQ(scsSensorGetCachedUID(sensor_handle_, &first), 0u);
    Bytes secret(32, 0x5A);
    ASSERT_EQ(scsDataSlotSetCachedSecret(device_, secret.data()), 0u);

    version_->serial[5] ^= 0xFF;  // the last byte: a check of fewer bytes would not notice
    ScsSensorUid second{};
    ASSERT_EQ(scsSensorGetCachedUID(sensor_handle_, &second), 0u);
    uint8_t digest[32];
    ASSERT_EQ(palCryptoDigest(version_->serial, 6, digest, PAL_CRYPTO_MD5), 0u);
    EXPECT_EQ(Bytes(second.uid, second.uid + 16), Bytes(digest, digest + 16)) << "derived from the new serial";
    uint8_t cached[32];
    ASSERT_EQ(scsDataSlotGetCachedSecret(device_, cached), 0u);
    EXPECT_EQ(Bytes(cached, cached + 32), Bytes(32, 0)) << "the first sensor's secret is not handed out";
    version_->serial[5] ^= 0xFF;
    scsSensorForgetSecurityState(device_);
}

TEST_F(SslStorage, PekCapability) {
    struct Case { uint32_t variant; uint8_t chipKind; const char* app; TcsResult want; };
    for (const Case& c : std::initializer_list<Case>{{3, 1, "Other", 1},
                                                     {3, 1, "DuzodarOrodu", 0},
                                                     {3, 1, "DuzodarOroduX", 1},
                                                     {5, 1, "DuzodarOrodu", 1},
                                                     {0, 1, "Other", 0},
                                                     {0, 2, "DuzodarOrodu", 1}}) {
        scsSSLDeriveSecurityFlags(device_, c.variant);
        version_->chipKind = c.chipKind;
        ASSERT_EQ(scsSensorDeterminePEKCapability(sensor_handle_, c.app), 0u);
        EXPECT_EQ(scsSensorIsPEKSecurityEnabled(sensor_handle_), c.want) << c.variant << " " << c.app;
    }
    scsSensorForgetSecurityState(device_);
}

TEST_F(SslStorage, SavedRawPartitionIsDeleted) {
    char section[300];
    ASSERT_EQ(scsSensorSectionName(version_->serial, section, sizeof section), 0u);
    const uint8_t raw[4] = {'E', 'A', 'T', '"'};
    const uint8_t after[1] = {1};
    ASSERT_EQ(palSetPersistentDataBinaryValue(section, "RAW", raw, 4), 0u);
    ASSERT_EQ(palSetPersistentDataBinaryValue(section, "AfterTakeOwner", after, 1), 0u);
    ASSERT_EQ(scsDeleteRawPartitionFromPersistentStorage(sensor_handle_), 0u);
    const uint8_t none[1] = {0};
    uint32_t size = 0;
    ASSERT_EQ(palGetPersistentDataBinaryValue(section, "RAW", none, 0, nullptr, &size), 0u);
    EXPECT_EQ(size, 0u);
    ASSERT_EQ(palGetPersistentDataBinaryValue(section, "AfterTakeOwner", none, 0, nullptr, &size), 0u);
    EXPECT_EQ(size, 0u);
}

TEST_F(SslStorage, ProtectedCommandRetriesOnceWithFreshChipKey) {
    auto sent = [&](uint8_t code) {
        int n = 0;
        for (const Bytes& request : log()) n += !request.empty() && request[0] == code;
        return n;
    };
    const uint8_t a[16] = {1}, b[16] = {2};
    // Too small for the 64 bytes the sensor wraps 32 into: every attempt fails.
    uint8_t out[48];
    uint32_t room = sizeof out;
    // A Harlok chip: no session key, no retry.
    simusb::clearCommandLog(sensor_);
    EXPECT_NE(scsSensorSignEncTemplateData(sensor_handle_, 16, a, 16, b, out, &room), 0u);
    EXPECT_EQ(sent(29), 1);
    EXPECT_EQ(sent(0x28), 0);

    // A Selkin chip: a key first; a failure other than 367 is retried once under a fresh key.
    version_->chipKind = 2;
    simusb::clearCommandLog(sensor_);
    room = sizeof out;
    TcsResult result = scsSensorSignEncTemplateData(sensor_handle_, 16, a, 16, b, out, &room);
    EXPECT_NE(result, 0u);
    ASSERT_EQ(sent(0x28), 2);
    EXPECT_EQ(sent(29), 2);

    simusb::setCommandHook(29, [](std::span<const uint8_t>) {
        simusb::Reply r;
        r.status = 0x0452;  // the chip refuses
        return r;
    });
    simusb::clearCommandLog(sensor_);
    room = sizeof out;
    EXPECT_EQ(scsSensorSignEncTemplateData(sensor_handle_, 16, a, 16, b, out, &room), 367u);
    simusb::setCommandHook(29, nullptr);
    EXPECT_EQ(sent(0x28), 0) << "the key from before is still good";
}

// The chip of a 4.40 sensor knows the key exchange only under its security patch: the exchange
// loads it from the device's patch list first, and the key agrees with the sensor's.
TEST_F(SslStorage, ChipKeyExchangeLoadsTheSecurityPatchFirst) {
    version_->chipKind = 2;
    simusb::clearCommandLog(sensor_);
    ASSERT_EQ(scsDHEstablishSessionKey(sensor_handle_, 1), 0u);
    static const uint8_t kBodyMagic[4] = {'T', 'P', 'A', 'T'};
    int patchAt = -1, exchangeAt = -1, i = 0;
    for (const Bytes& request : log()) {
        auto body = std::search(request.begin(), request.end(), kBodyMagic, kBodyMagic + 4);
        if (!request.empty() && request[0] == 0x06 && request.end() - body >= 8) {
            uint32_t id = 0;
            std::memcpy(&id, &*(body + 4), 4);
            if (id == 0x8000 && patchAt < 0) patchAt = i;
        }
        if (!request.empty() && request[0] == 0x28 && exchangeAt < 0) exchangeAt = i;
        ++i;
    }
    ASSERT_GE(patchAt, 0) << "the security patch was sent";
    EXPECT_LT(patchAt, exchangeAt);
    const ScsRsSecurityContext* chip = scsRSSecurityContext(device_, 0);
    ASSERT_NE(chip, nullptr);
    const Bytes session = simusb::transientState(sensor_, "chip.session");
    ASSERT_GE(session.size(), 16u);
    EXPECT_EQ(Bytes(chip->sessionKey, chip->sessionKey + 16), Bytes(session.begin(), session.begin() + 16));
}

TEST(SslRawPartition, SavedImageMustMatchTheFirmware) {
    uint8_t kind = 0;
    uint32_t size = 0;
    scsRawPartitionKind(0, 4, 21, &kind, &size);
    EXPECT_EQ(kind, '!');
    EXPECT_EQ(size, 0x10000u);
    scsRawPartitionKind(1, 4, 21, &kind, &size);
    EXPECT_EQ(kind, '"');
    EXPECT_EQ(size, 4096u);
    scsRawPartitionKind(0, 4, 40, &kind, &size);
    EXPECT_EQ(kind, '"');
    Bytes saved = {'E', 'A', 'T', '"', 0xFF};
    EXPECT_EQ(scsRawPartitionCheckSaved(saved.data(), 5, '"', 4096), 0u);
    EXPECT_EQ(scsRawPartitionCheckSaved(saved.data(), 5, '!', 0x10000), 374u) << "4.21 with a 4096-byte image";
    EXPECT_EQ(scsRawPartitionCheckSaved(saved.data(), 4097, '"', 4096), TCS_RESULT_BAD_PARAM);
    saved[0] = 'F';
    EXPECT_EQ(scsRawPartitionCheckSaved(saved.data(), 5, '"', 4096), 374u);
}

TEST(SslRawPartition, SaveSizeIsClampedToTheImage) {
    struct Case { uint32_t image; uint32_t brellow; uint8_t minor; uint32_t last; uint8_t type; uint32_t address;
                  uint32_t length; uint32_t want; };
    for (const Case& c : std::initializer_list<Case>{
             {0x10000, 0, 21, 0, 0, 0, 0, 0x10000},  // 4.21: the whole 64 KiB partition
             {4096, 0, 40, 0, 0, 0, 0, 4096},        // 4.40
             {4096, 0, 60, 0, 0, 0, 0, 4096},        // default 0x10000 on a 4096-byte partition: clamped
             {4096, 1, 60, 0, 0, 0, 0, 3840},        // Brellow
             {4096, 0, 60, 1, 255, 0, 0, 256},       // an erased last record
             {4096, 0, 40, 1, 3, 1000, 200, 1456},   // 256 past the last record
             {4096, 0, 40, 1, 3, 3900, 100, 4096},   // 256 past would leave the image: clamped
         }) {
        EXPECT_EQ(scsRawPartitionSaveSize(c.image, c.brellow, 4, c.minor, c.last, c.type, c.address, c.length), c.want)
            << c.image << " " << int(c.minor) << " " << c.address;
    }
}

}  // namespace
