// Secure channel handshake, end to end in-process: the host's state machine against the virtual
// sensor's server side, in both key-exchange modes, with resumption, recovery and damaged records.
#include "tcs/sensorctl/secure/ssl_session.h"

#include "platform/crypto/crypto.h"
#include "platform/crypto/host_key.h"
#include "platform/memory.h"
#include "platform/threads.h"
#include "sim/usb/firmware.h"
#include "sim/usb/secure_channel.h"
#include "tcs/sensorctl/secure/data_slots.h"
#include "tcs/sensorctl/secure/public_keys.h"
#include "tcs/sensorctl/engine/scs_internal.h"
#include "tcs/sensorctl/secure/security.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// The host side of one sensor: slots, a device for the certificate check, and the link to the model.
struct Link {
    simusb::Firmware firmware{"SIM00042", TOV_USB_PID_DEFAULT, 0};
    std::map<uint32_t, Bytes> slots;
    ScsFwVersion version{};
    ScsSensorDevice device{};
    Bytes lastRequest;
    Bytes reply;
    TcsResult replyStatus = 0;
    bool replied = false;

    Link() {
        version.major = 4;
        version.minor = 40;
        device.fwVersion = &version;
    }

    // Runs a request through the model the way the bus does.
    simusb::Reply exchange(const Bytes& request) { return firmware.handle(request); }

    static TcsResult send(void* context, const uint8_t* data, uint32_t length, uint32_t) {
        auto* link = static_cast<Link*>(context);
        link->lastRequest.assign(data, data + length);
        simusb::Reply r = link->exchange(link->lastRequest);
        if (r.whole) {
            link->reply = r.payload;
            link->replyStatus = 0;  // a flight's reply starts with a record header: bit 0x400 clear
        } else {
            link->reply = r.payload;
            link->replyStatus = r.status == 0 ? TcsResult(0) : TcsResult(TCS_RESULT_SENSOR_CMD_DENIED);
        }
        link->replied = true;
        return 0;
    }
    static TcsResult readSlot(void* context, uint32_t id, uint32_t, uint32_t, uint32_t length, uint8_t* out) {
        auto* link = static_cast<Link*>(context);
        auto it = link->slots.find(id);
        if (it == link->slots.end()) return TcsResult(TCS_RESULT_DATA_ID_DOESNT_EXIST);
        if (it->second.size() < length) return TCS_RESULT_BAD_PARAM;
        memcpy(out, it->second.data(), length);
        return 0;
    }
    static TcsResult validate(void* context, const uint8_t* certificate, const uint8_t* signature) {
        return scsSensorValidateCertificateOnDevice(&static_cast<Link*>(context)->device, 256, certificate, signature);
    }
    ScsSSLIo io() { return ScsSSLIo{this, send, readSlot, validate}; }

    // Steps until established or failed; each reply is fed back as the completion.
    TcsResult run(ScsSSLContext* c, int* flights = nullptr) {
        ScsSSLIo link = io();
        for (int i = 0; i < 40; ++i) {
            replied = false;
            TcsResult result = scsSSLStep(c, &link, nullptr, 0, TCS_RESULT_SERVICE);
            if (result != 0) return result;
            if (replied) {
                if (flights != nullptr) ++*flights;
                result = scsSSLStep(c, &link, reply.data(), uint32_t(reply.size()), replyStatus);
                if (result != 0) return result;
            }
            if (c->state == SCS_SSL_STATE_ESTABLISHED) return scsSSLStep(c, &link, nullptr, 0, TCS_RESULT_SERVICE);
        }
        return TCS_RESULT_TIMEOUT;
    }

    // One command through the session: wrapped, answered by the model, unwrapped. Returns the
    // reply content (status and payload) or the failure.
    TcsResult command(ScsSSLContext* c, const Bytes& command, Bytes* content, bool tamper = false) {
        if (scsSSLAppDataWrite(c, command.data(), uint32_t(command.size())) != 0) return SCS_SSL_NO_SESSION;
        Bytes record(c->appRecord, c->appRecord + c->flightLength);
        lastRequest = record;
        simusb::Reply r = exchange(record);
        EXPECT_TRUE(r.whole);
        Bytes data = r.payload;
        if (tamper && data.size() > 10) data[8] ^= 0x40;
        TcsResult result = scsSSLProcess(c, data.data(), uint32_t(data.size()));
        if (result == 0 && content != nullptr) content->assign(data.begin() + 5, data.begin() + 5 + c->flightLength);
        return result;
    }
};

Bytes sharedSecret() {
    Bytes s(32);
    for (int i = 0; i < 32; ++i) s[i] = uint8_t(0x90 + i);
    return s;
}

class SslHandshake : public ::testing::Test {
protected:
    void SetUp() override {
        palCryptoInitialize();
        link.firmware.stored("sharedSecret1") = sharedSecret();
        link.slots[SCS_SLOT_SHARED_SECRET] = sharedSecret();
    }
    void TearDown() override {
        if (c != nullptr) scsSSLCtxFree(&c);
    }
    void useRsa() {
        link.firmware.stored("ssl.rsa") = {1};
        auto certificate = simusb::sensorCertificate();
        link.slots[SCS_SLOT_SENSOR_CERTIFICATE] = Bytes(certificate.begin(), certificate.end());
        link.slots[SCS_SLOT_SENSOR_SIGNATURE] = simusb::sensorCertificateSignature(4, 40, 0);
        Bytes modulus(256);
        tov::crypto::hostKeyModulus(modulus.data());
        link.slots[SCS_SLOT_HOST_CERTIFICATE] = modulus;
        Bytes blob(PAL_HOST_KEY_BLOB_DATA_SIZE, 0);
        tov::crypto::hostKeyBlob(blob.data());
        link.slots[SCS_SLOT_HOST_PRIVATE_KEY] = blob;
    }
    Link link;
    ScsSSLContext* c = nullptr;
};

TEST_F(SslHandshake, SharedSecretFullHandshakeThenCommandsAsRecords) {
    ASSERT_EQ(scsSSLClntCtxInit(&c, 0), 0u);
    int flights = 0;
    ASSERT_EQ(link.run(c, &flights), 0u);
    EXPECT_EQ(flights, 2);
    EXPECT_EQ(c->state, SCS_SSL_STATE_ESTABLISHED);
    EXPECT_EQ(c->nextMessage, SCS_SSL_HANDSHAKE_COMPLETE);
    EXPECT_EQ(c->cipherSpec->id, 0x32);
    EXPECT_TRUE(c->flags & SCS_SSL_FLAG_RECOVERY_KEY_HELD);
    EXPECT_EQ(c->sharedSecret, nullptr) << "the shared secret is gone after the first flight";
    EXPECT_TRUE(simusb::secureChannelEstablished(link.firmware));

    Bytes content;
    ASSERT_EQ(link.command(c, {0x01}, &content), 0u);  // get version, answered inside the session
    ASSERT_GE(content.size(), 2u + 36u);
    EXPECT_EQ(content[0] | content[1] << 8, 0);
    EXPECT_EQ(content[2 + 8], 4);  // firmware major
    EXPECT_EQ(link.lastRequest[0], SCS_SSL_APPLICATION_DATA);
    Bytes sixteen(16, 0);
    sixteen[0] = 0x07;  // peek: a 16-byte command becomes a 53-byte record
    ASSERT_EQ(link.command(c, sixteen, &content), 0u);
    EXPECT_EQ(link.lastRequest.size(), 53u);
}

TEST_F(SslHandshake, FirstFlightFramesAndShapes) {
    ASSERT_EQ(scsSSLClntCtxInit(&c, 0), 0u);
    ScsSSLIo io = link.io();
    ASSERT_EQ(scsSSLStep(c, &io, nullptr, 0, TCS_RESULT_SERVICE), 0u);  // loads the shared secret
    ASSERT_EQ(scsSSLStep(c, &io, nullptr, 0, TCS_RESULT_SERVICE), 0u);  // sends ClientHello
    const Bytes& hello = link.lastRequest;
    ASSERT_EQ(hello.size(), 63u);
    EXPECT_EQ(Bytes(hello.begin(), hello.begin() + 8), (Bytes{0x11, 60, 0, 22, 3, 0, 0, 55}));
    EXPECT_EQ(Bytes(hello.begin() + 8, hello.begin() + 14), (Bytes{1, 0, 0, 51, 3, 0}));
    EXPECT_EQ(hello[8 + 38], 7);
    EXPECT_EQ(Bytes(hello.begin() + 8 + 39, hello.begin() + 8 + 46), Bytes(7, 0)) << "no session id held yet";
    EXPECT_EQ(Bytes(hello.begin() + 8 + 46, hello.end()), (Bytes{0, 6, 0, 0x32, 0, 0x31, 0, 0x30, 0}));
    ASSERT_EQ(scsSSLStep(c, &io, link.reply.data(), uint32_t(link.reply.size()), 0), 0u);
    ASSERT_EQ(scsSSLStep(c, &io, nullptr, 0, TCS_RESULT_SERVICE), 0u);  // final flight
    const Bytes& flight = link.lastRequest;
    EXPECT_EQ(flight[0], 0x11);
    EXPECT_EQ(uint32_t(flight[1] | flight[2] << 8), flight.size() - 3);
    EXPECT_EQ(Bytes(flight.begin() + 3, flight.begin() + 8), (Bytes{22, 3, 0, 0, 52})) << "ClientKeyExchange of 52";
    EXPECT_EQ(Bytes(flight.begin() + 60, flight.begin() + 66), (Bytes{20, 3, 0, 0, 1, 1}));
}

TEST_F(SslHandshake, SuiteChosenBySensorSetsKeyLength) {
    link.firmware.stored("ssl.suite") = {0x00, 0x30};
    ASSERT_EQ(scsSSLClntCtxInit(&c, 0), 0u);
    ASSERT_EQ(link.run(c), 0u);
    EXPECT_EQ(c->cipherSpec->keyLength, 16);
    Bytes content;
    EXPECT_EQ(link.command(c, {0x01}, &content), 0u);
}

TEST_F(SslHandshake, ResumedHandshakeSwapsFinishedOrder) {
    ASSERT_EQ(scsSSLClntCtxInit(&c, 0), 0u);
    ASSERT_EQ(link.run(c), 0u);
    Bytes sessionId(c->sessionId, c->sessionId + 7);
    // A suspend without recovery: the context starts over but keeps its session id.
    ASSERT_EQ(scsSSLClntCtxInit(&c, 0), 0u);
    int flights = 0;
    ASSERT_EQ(link.run(c, &flights), 0u);
    EXPECT_EQ(flights, 2);
    EXPECT_TRUE(c->flags & SCS_SSL_FLAG_RESUMED);
    EXPECT_EQ(Bytes(c->sessionId, c->sessionId + 7), sessionId);
    EXPECT_EQ(c->nextMessage, SCS_SSL_HANDSHAKE_COMPLETE) << "completed by the sensor's {1, 50}";
    // No key exchange in the second flight: a change cipher cipherSpec and Finished only.
    EXPECT_EQ(link.lastRequest[3], SCS_SSL_CHANGE_CIPHER_SPEC);
    Bytes content;
    EXPECT_EQ(link.command(c, {0x01}, &content), 0u);
}

TEST_F(SslHandshake, RecoveryAfterSuspendIsOneMessage) {
    ASSERT_EQ(scsSSLClntCtxInit(&c, 0), 0u);
    ASSERT_EQ(link.run(c), 0u);
    Bytes content;
    ASSERT_EQ(link.command(c, {0x01}, &content), 0u);
    link.firmware.powerCycle();  // the sensor slept: its session is gone, the recovery key is kept
    EXPECT_FALSE(simusb::secureChannelEstablished(link.firmware));
    c->state = SCS_SSL_STATE_RECOVER;
    int flights = 0;
    ASSERT_EQ(link.run(c, &flights), 0u);
    EXPECT_EQ(flights, 1);
    ASSERT_EQ(link.lastRequest.size(), 257u);
    EXPECT_EQ(link.lastRequest[0], 0x53);
    EXPECT_EQ(c->state, SCS_SSL_STATE_ESTABLISHED);
    EXPECT_FALSE(c->flags & SCS_SSL_FLAG_UNUSABLE);
    ASSERT_EQ(link.command(c, {0x01}, &content), 0u) << "sequence numbers and IVs carried over";
    ASSERT_EQ(link.command(c, {0x01}, &content), 0u);
}

TEST_F(SslHandshake, RecoveryRefusedBySensorFails) {
    ASSERT_EQ(scsSSLClntCtxInit(&c, 0), 0u);
    ASSERT_EQ(link.run(c), 0u);
    link.firmware.stored("ssl.recovery").clear();
    c->state = SCS_SSL_STATE_RECOVER;
    EXPECT_EQ(link.run(c), SCS_SSL_HANDSHAKE_FAILED);
}

TEST_F(SslHandshake, RsaFullHandshakeWithCertificates) {
    useRsa();
    ASSERT_EQ(scsSSLClntCtxInit(&c, 1), 0u);
    ASSERT_EQ(link.run(c), 0u);
    EXPECT_EQ(c->cipherSpec->id, 0x44);
    EXPECT_EQ(c->sensorCertificate, nullptr) << "certificate records freed once established";
    Bytes content;
    EXPECT_EQ(link.command(c, {0x01}, &content), 0u);
}

TEST_F(SslHandshake, RsaWithoutStoredKeySignsThroughCallback) {
    useRsa();
    link.slots.erase(SCS_SLOT_HOST_PRIVATE_KEY);
    ASSERT_EQ(scsSSLClntCtxInit(&c, 1), 0u);
    c->signCallback = [](const uint8_t*, uint32_t, const uint8_t* hash, uint32_t length, uint32_t hashId,
                         uint8_t* out, uint32_t* outLength) -> TcsResult {
        uint8_t blob[PAL_RSA_BLOB_SIZE_2048];
        tov::crypto::hostKeyBlob(blob);
        CryptoKeyObject* key = nullptr;
        TcsResult r = palCryptoRsaCreatePrivateKeyHandle(sizeof blob, blob, &key);
        if (r == 0) r = palCryptoRsaSign(hash, length, hashId, out, outLength, key);
        palCryptoObjectDestroyHandle(&key);
        return r;
    };
    EXPECT_EQ(link.run(c), 0u);
}

TEST_F(SslHandshake, RsaCertificateWithBadSignatureFails) {
    useRsa();
    link.slots[SCS_SLOT_SENSOR_SIGNATURE][100] ^= 1;
    ASSERT_EQ(scsSSLClntCtxInit(&c, 1), 0u);
    EXPECT_EQ(link.run(c), SCS_SSL_HANDSHAKE_FAILED);
    EXPECT_EQ(link.lastRequest.size(), 0u) << "nothing reached the sensor";
}

TEST_F(SslHandshake, WrongSharedSecretEndsWithSensorAlert) {
    link.slots[SCS_SLOT_SHARED_SECRET][0] ^= 0xFF;
    ASSERT_EQ(scsSSLClntCtxInit(&c, 0), 0u);
    EXPECT_EQ(link.run(c), SCS_SSL_HANDSHAKE_FAILED);
    EXPECT_EQ(c->receivedAlert[0], 2);
}

TEST_F(SslHandshake, TamperedReplyFailsMacAndSessionStaysClosedToData) {
    ASSERT_EQ(scsSSLClntCtxInit(&c, 0), 0u);
    ASSERT_EQ(link.run(c), 0u);
    Bytes content;
    EXPECT_EQ(link.command(c, {0x01}, &content, true), SCS_SSL_BAD_MAC);
    EXPECT_EQ(c->closeAlertSent, 1u);
    EXPECT_EQ(c->sentAlert[1], SCS_SSL_ALERT_BAD_RECORD_MAC);
}

TEST_F(SslHandshake, TamperedCommandEndsSensorSession) {
    ASSERT_EQ(scsSSLClntCtxInit(&c, 0), 0u);
    ASSERT_EQ(link.run(c), 0u);
    ASSERT_EQ(scsSSLAppDataWrite(c, Bytes{0x01}.data(), 1), 0u);
    Bytes record(c->appRecord, c->appRecord + c->flightLength);
    record[7] ^= 1;
    simusb::Reply r = link.exchange(record);
    ASSERT_TRUE(r.whole);
    EXPECT_EQ(r.payload[0], SCS_SSL_ALERT);
    EXPECT_FALSE(simusb::secureChannelEstablished(link.firmware));
    EXPECT_EQ(scsSSLProcess(c, r.payload.data(), uint32_t(r.payload.size())), SCS_SSL_ALERT_RECEIVED);
}

// Device-level wrapping as the engine's send and reply paths use it.
TEST_F(SslHandshake, DeviceEncryptDecryptAndMalfunctionOnBadMac) {
    ASSERT_EQ(scsSSLClntCtxInit(&c, 0), 0u);
    ASSERT_EQ(link.run(c), 0u);
    ScsSensorDevice device{};
    device.sslLock = palMutexAlloc(nullptr, 0);
    device.sslContext = c;
    c = nullptr;

    auto* command = static_cast<uint8_t*>(palRealMalloc(16));
    memset(command, 0, 16);
    command[0] = 0x07;
    uint32_t length = 16, replyLength = 6;
    ASSERT_EQ(scsSSLEncrypt(&device, &command, &length, &replyLength), 0u);
    EXPECT_EQ(length, 53u);
    EXPECT_EQ(replyLength, 47u);
    simusb::Reply r = link.exchange(Bytes(command, command + length));
    palRealFree(command);
    Bytes reply = r.payload;
    uint32_t replySize = uint32_t(reply.size());
    ASSERT_EQ(scsSSLDecrypt(&device, reply.data(), &replySize), 0u);
    ASSERT_GE(replySize, 2u);  // the sensor's reply, status first, moved to the start
    EXPECT_EQ(scsSSLGetSessionKeyLength(&device), 32u);
    EXPECT_EQ(scsSSLIsInSession(&device), 1u);

    command = static_cast<uint8_t*>(palRealMalloc(1));
    command[0] = 0x01;
    length = 1;
    ASSERT_EQ(scsSSLEncrypt(&device, &command, &length, &replyLength), 0u);
    r = link.exchange(Bytes(command, command + length));
    palRealFree(command);
    reply = r.payload;
    reply[20] ^= 1;
    replySize = uint32_t(reply.size());
    EXPECT_EQ(scsSSLDecrypt(&device, reply.data(), &replySize), SCS_SSL_BAD_MAC);
    auto* ctx = static_cast<ScsSSLContext*>(device.sslContext);
    EXPECT_TRUE(ctx->flags & SCS_SSL_FLAG_UNUSABLE) << "reported malfunctioning, the alert itself not sent";
    command = static_cast<uint8_t*>(palRealMalloc(1));
    length = 1;
    EXPECT_EQ(scsSSLEncrypt(&device, &command, &length, &replyLength), SCS_SSL_SESSION_UNUSABLE);
    palRealFree(command);
    EXPECT_EQ(scsSSLCloseSession(&device, 1), 0u);
    EXPECT_EQ(device.sslContext, nullptr);
    palMutexFree(device.sslLock);
}

}  // namespace

namespace {

// A ServerHello record {22, 3, 0, length} around the message, for the host's first-flight parser.
Bytes serverHelloRecord(uint8_t versionMinor, const Bytes& sessionId, uint16_t suite, bool withDone) {
    Bytes body = {3, versionMinor};
    for (int i = 0; i < 32; ++i) body.push_back(uint8_t(0xA0 + i));
    body.push_back(uint8_t(sessionId.size()));
    body.insert(body.end(), sessionId.begin(), sessionId.end());
    body.push_back(uint8_t(suite >> 8));
    body.push_back(uint8_t(suite));
    body.push_back(0);
    Bytes message = {2, 0, 0, uint8_t(body.size())};
    message.insert(message.end(), body.begin(), body.end());
    if (withDone) message.insert(message.end(), {14, 0, 0, 0});
    Bytes record = {22, 3, 0, 0, uint8_t(message.size())};
    record.insert(record.end(), message.begin(), message.end());
    return record;
}

struct HelloCase {
    const char* what;
    bool resumed;  // the context holds session "1234567" with suite 0x44
    Bytes record;
    TcsResult result;
    uint8_t alert;
};

TEST(SslServerHello, RefusalsAndSessionIds) {
    palCryptoInitialize();
    const Bytes held = {1, 2, 3, 4, 5, 6, 7};
    for (const HelloCase& k : std::initializer_list<HelloCase>{
             {"resumed with another suite", true, serverHelloRecord(0, held, 0x42, false), SCS_SSL_BAD_RECORD, 40},
             {"version 3.1", false, serverHelloRecord(1, held, 0x44, true), SCS_SSL_BAD_RECORD, 40},
             {"unknown suite", false, serverHelloRecord(0, held, 0x35, true), SCS_SSL_BAD_RECORD, 40},
             {"null suite", false, serverHelloRecord(0, held, 0x00, true), SCS_SSL_BAD_RECORD, 40},
             {"id of 33 bytes", false, serverHelloRecord(0, Bytes(33, 1), 0x44, true), SCS_SSL_BAD_RECORD, 47},
             {"expected", false, serverHelloRecord(0, held, 0x44, true), 0u, 0},
         }) {
        ScsSSLContext* c = nullptr;
        ASSERT_EQ(scsSSLClntCtxInit(&c, 1), 0u);
        c->clientRandom = static_cast<uint8_t*>(palRealMalloc(32));
        memset(c->clientRandom, 0x11, 32);
        c->nextMessage = SCS_SSL_MSG_SERVER_HELLO;
        if (k.resumed) {
            c->sessionId = static_cast<uint8_t*>(palRealMalloc(7));
            memcpy(c->sessionId, held.data(), 7);
            c->cipherSpec = scsSSLCipherSpecFind(0x44);
        }
        // RSA mode without a sensor certificate: a ServerHelloDone reaching the final flight fails
        // without an alert, which is not what these cases are about.
        Bytes data = k.record;
        TcsResult result = scsSSLProcess(c, data.data(), uint32_t(data.size()));
        if (k.result == 0) {
            EXPECT_EQ(result, TCS_RESULT_NULL_POINTER) << k.what;
            EXPECT_FALSE(c->flags & SCS_SSL_FLAG_SEND_CERTIFICATE) << "no CertificateRequest: no certificate";
            EXPECT_EQ(c->recoveryId[0], 0xA0 ^ 0x11);
        } else {
            EXPECT_EQ(result, k.result) << k.what;
            EXPECT_EQ(c->sentAlert[1], k.alert) << k.what;
            EXPECT_EQ(c->output[0], 0x11) << "an alert flight for state 6: " << k.what;
            EXPECT_EQ(c->output[3], SCS_SSL_ALERT) << k.what;
        }
        scsSSLCtxFree(&c);
    }
}

TEST(SslServerHello, EmptySessionIdIsForgotten) {
    palCryptoInitialize();
    ScsSSLContext* c = nullptr;
    ASSERT_EQ(scsSSLClntCtxInit(&c, 0), 0u);
    c->sessionId = static_cast<uint8_t*>(palRealMalloc(7));
    memset(c->sessionId, 9, 7);
    ASSERT_EQ(scsSSLHandshakeStart(c), 0u);
    Bytes data = serverHelloRecord(0, {}, 0x32, false);
    ASSERT_EQ(scsSSLProcess(c, data.data(), uint32_t(data.size())), 0u);
    EXPECT_EQ(c->sessionId, nullptr);
    EXPECT_EQ(c->nextMessage, SCS_SSL_MSG_SERVER_HELLO_DONE);
    ASSERT_EQ(scsSSLHandshakeStart(c), 0u);
    EXPECT_EQ(Bytes(c->output + 8 + 39, c->output + 8 + 46), Bytes(7, 0)) << "the next hello offers no session";
    scsSSLCtxFree(&c);
}

}  // namespace
