// Secure channel record layer: record sizes and padding, chained CBC, MAC checks, alerts and limits.
#include "tcs/sensorctl/secure/ssl.h"

#include "platform/crypto/crypto.h"
#include "platform/memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// A context with suite `suite` established in both directions. With `mirror`, its server keys are
// the client keys of a context made with the same seed, so it reads what that one writes.
struct Session {
    ScsSSLContext* c = nullptr;
    Session(uint16_t suite, uint8_t seed, bool mirror = false) {
        palCryptoInitialize();
        EXPECT_EQ(scsSSLClntCtxInit(&c, 0), 0u);
        c->cipherSpec = scsSSLCipherSpecFind(suite);
        const uint32_t k = c->cipherSpec->keyLength;
        uint8_t clientMac[20], serverMac[20], clientKey[32], serverKey[32], clientIv[16], serverIv[16];
        for (int i = 0; i < 32; ++i) {
            if (i < 20) clientMac[i] = uint8_t(seed + i), serverMac[i] = uint8_t(seed + 100 + i);
            clientKey[i] = uint8_t(seed * 3 + i);
            serverKey[i] = uint8_t(seed * 5 + i);
            if (i < 16) clientIv[i] = uint8_t(seed * 7 + i), serverIv[i] = uint8_t(seed * 11 + i);
        }
        uint8_t* b = c->keyBlock;
        memcpy(b, mirror ? serverMac : clientMac, 20);
        memcpy(b + 20, mirror ? clientMac : serverMac, 20);
        memcpy(b + 40, mirror ? serverKey : clientKey, k);
        memcpy(b + 40 + k, mirror ? clientKey : serverKey, k);
        memcpy(b + 40 + 2 * k, mirror ? serverIv : clientIv, 16);
        memcpy(b + 56 + 2 * k, mirror ? clientIv : serverIv, 16);
        c->nextMessage = SCS_SSL_HANDSHAKE_COMPLETE;
        scsSSLWriteCipherSuiteActivate(c);
        scsSSLReadCipherSuiteActivate(c);
    }
    ~Session() { scsSSLCtxFree(&c); }

    std::vector<uint8_t> write(const std::vector<uint8_t>& content) {
        EXPECT_EQ(scsSSLAppDataWrite(c, content.data(), uint32_t(content.size())), 0u);
        std::vector<uint8_t> record(c->appRecord, c->appRecord + c->flightLength);
        return record;
    }
};

// Decrypts a record written by `writer` with the writer's own client key and IV.
std::vector<uint8_t> decryptFragment(const std::vector<uint8_t>& record, const uint8_t* key, uint32_t keyLength,
                                     const uint8_t* ivIn) {
    std::vector<uint8_t> plain(record.size() - 5);
    uint8_t iv[16];
    memcpy(iv, ivIn, 16);
    EXPECT_EQ(palCryptoDecrypt(record.data() + 5, uint32_t(plain.size()), plain.data(), nullptr, key, keyLength, iv,
                               PAL_CRYPTO_AES_CBC),
              0u);
    return plain;
}

TEST(SslRecords, CipherSuiteTable) {
    struct Case { uint16_t id; int keyLength; };
    for (auto [id, keyLength] : std::initializer_list<Case>{
             {0x32, 32}, {0x31, 24}, {0x30, 16}, {0x44, 32}, {0x43, 24}, {0x42, 16}, {0, 0}}) {
        const ScsCipherSpec* cipherSpec = scsSSLCipherSpecFind(id);
        ASSERT_NE(cipherSpec, nullptr) << id;
        EXPECT_EQ(cipherSpec->keyLength, keyLength) << id;
    }
    EXPECT_EQ(scsSSLCipherSpecFind(0x35), nullptr);
    EXPECT_EQ(scsSSLCipherSpecFind(0x0A), nullptr);
}

TEST(SslRecords, WorkedExamplesSizeAndPadding) {
    // A 16-byte command: 16 + 20 = 36, twelve bytes of 11, fragment 48, record 53.
    // A 12-byte content: 12 + 20 = 32, a whole block of sixteen 15s, fragment 48.
    struct Case { uint32_t content; uint32_t padCount; uint8_t padValue; };
    for (auto [content, padCount, padValue] : std::initializer_list<Case>{{16, 12, 11}, {12, 16, 15}, {11, 1, 0}}) {
        Session s(0x30, 1);
        uint8_t key[16], iv[16];
        memcpy(key, s.c->keyBlock + 40, 16);
        memcpy(iv, s.c->keyBlock + 40 + 32, 16);
        std::vector<uint8_t> command(content, 0xA5);
        std::vector<uint8_t> record = s.write(command);
        ASSERT_EQ(record.size(), 5u + content + 20 + padCount) << content;
        EXPECT_EQ(record[0], 23);
        EXPECT_EQ(record[1], 3);
        EXPECT_EQ(record[2], 0);
        EXPECT_EQ(uint32_t(record[3] << 8 | record[4]), content + 20 + padCount);
        std::vector<uint8_t> plain = decryptFragment(record, key, 16, iv);
        EXPECT_EQ(std::vector<uint8_t>(plain.begin(), plain.begin() + content), command);
        for (uint32_t i = 0; i < padCount; ++i) EXPECT_EQ(plain[content + 20 + i], padValue) << content;
    }
    Session s(0x30, 1);
    EXPECT_EQ(s.write(std::vector<uint8_t>(16)).size(), 53u);
}

TEST(SslRecords, RoundTripChainsIvAndSequenceAcrossRecords) {
    for (uint16_t suite : {0x30, 0x31, 0x32, 0x42, 0x43, 0x44}) {
        Session writer(suite, 9);
        Session reader(suite, 9, true);
        for (uint32_t n : {1u, 16u, 300u, 5u}) {
            std::vector<uint8_t> content(n);
            for (uint32_t i = 0; i < n; ++i) content[i] = uint8_t(i * 7 + n);
            std::vector<uint8_t> record = writer.write(content);
            ASSERT_EQ(scsSSLProcess(reader.c, record.data(), uint32_t(record.size())), 0u) << suite << " " << n;
            EXPECT_EQ(reader.c->flightLength, n);
            EXPECT_EQ(std::vector<uint8_t>(record.begin() + 5, record.begin() + 5 + n), content);
        }
        EXPECT_EQ(writer.c->writeSequence[7], 4);
        EXPECT_EQ(reader.c->readSequence[7], 4);
    }
}

TEST(SslRecords, ReplayedOrTamperedRecordFailsMacAndPacksOneAlert) {
    Session writer(0x32, 3);
    Session reader(0x32, 3, true);
    std::vector<uint8_t> first = writer.write({1, 2, 3, 4});
    std::vector<uint8_t> second = writer.write({5, 6, 7, 8});
    second[6] ^= 0x01;  // corrupts the first ciphertext block
    ASSERT_EQ(scsSSLProcess(reader.c, first.data(), uint32_t(first.size())), 0u);
    EXPECT_EQ(scsSSLProcess(reader.c, second.data(), uint32_t(second.size())), SCS_SSL_BAD_MAC);
    EXPECT_EQ(reader.c->closeAlertSent, 1u);
    EXPECT_EQ(reader.c->sentAlert[0], 2);
    EXPECT_EQ(reader.c->sentAlert[1], SCS_SSL_ALERT_BAD_RECORD_MAC);
    EXPECT_EQ(reader.c->output[0], SCS_SSL_ALERT);  // bare record once the handshake is complete
    uint8_t zero[SCS_SSL_KEY_BLOCK_SIZE] = {};
    EXPECT_EQ(memcmp(reader.c->keyBlock, zero, sizeof zero), 0) << "keys wiped after a failure";
}

// A record sealed the way the writer seals one, with its padding and MAC as the case gives them.
std::vector<uint8_t> sealedRecord(Session& writer, const std::vector<uint8_t>& content, uint8_t padValue,
                                  uint32_t padCount, bool flipLastMacByte) {
    std::vector<uint8_t> plain = content;
    uint8_t mac[20];
    EXPECT_EQ(scsSSLMacSha(writer.c->keyBlock, writer.c->writeSequence, SCS_SSL_APPLICATION_DATA, content.data(),
                           uint32_t(content.size()), mac),
              0u);
    if (flipLastMacByte) mac[19] ^= 0x01;
    plain.insert(plain.end(), mac, mac + 20);
    plain.insert(plain.end(), padCount, padValue);
    const uint32_t k = writer.c->cipherSpec->keyLength;
    EXPECT_EQ(scsSSLAesEncDec(plain.data(), plain.data(), uint32_t(plain.size()), writer.c->keyBlock + 40 + 2 * k,
                              writer.c->keyBlock + 40, k, 1),
              0u);
    std::vector<uint8_t> record(5 + plain.size());
    record[0] = SCS_SSL_APPLICATION_DATA;
    record[1] = 3;
    record[3] = uint8_t(plain.size() >> 8);
    record[4] = uint8_t(plain.size());
    memcpy(record.data() + 5, plain.data(), plain.size());
    return record;
}

// A peer must not tell a bad padding from a bad MAC (same alert, same result), a MAC that differs in
// its last byte only is as wrong as any other, and a record sent again verbatim fails its MAC.
TEST(SslRecords, BadPaddingBadMacAndReplayAnswerAlike) {
    struct Case {
        const char* what;
        uint32_t contentLength;
        uint8_t padValue;
        uint32_t padCount;
        bool flipLastMacByte;
        TcsResult result;
    };
    for (const Case& k : std::initializer_list<Case>{
             {"well formed", 12, 15, 16, false, 0},  // 12 + 20: a whole block of padding
             {"MAC wrong in its last byte", 12, 15, 16, true, SCS_SSL_BAD_MAC},
             {"padding length 16", 12, 16, 16, false, SCS_SSL_BAD_MAC},
             {"padding length 255", 12, 255, 16, false, SCS_SSL_BAD_MAC},
             {"padding reaching into the MAC", 0, 15, 12, false, SCS_SSL_BAD_MAC},  // 15 + 20 >= 32
         }) {
        SCOPED_TRACE(k.what);
        Session writer(0x30, 8);
        Session reader(0x30, 8, true);
        std::vector<uint8_t> record = sealedRecord(writer, std::vector<uint8_t>(k.contentLength, 0x3C), k.padValue,
                                                   k.padCount, k.flipLastMacByte);
        EXPECT_EQ(scsSSLProcess(reader.c, record.data(), uint32_t(record.size())), k.result);
        if (k.result != 0) {
            EXPECT_EQ(reader.c->sentAlert[0], 2);
            EXPECT_EQ(reader.c->sentAlert[1], SCS_SSL_ALERT_BAD_RECORD_MAC);
            EXPECT_EQ(reader.c->closeAlertSent, 1u);
        }
    }
    // Replayed verbatim: the sequence number has moved on, so the MAC no longer matches.
    Session writer(0x30, 8);
    Session reader(0x30, 8, true);
    std::vector<uint8_t> first = writer.write({1, 2, 3});
    std::vector<uint8_t> again = first;
    ASSERT_EQ(scsSSLProcess(reader.c, first.data(), uint32_t(first.size())), 0u);
    EXPECT_EQ(scsSSLProcess(reader.c, again.data(), uint32_t(again.size())), SCS_SSL_BAD_MAC);
}

// The acknowledgement {1, 50} completes nothing outside a resumed handshake that waits for it, and the
// read side is activated once only.
TEST(SslRecords, AcknowledgementAndChangeCipherSpecOnlyWhereExpected) {
    palCryptoInitialize();
    ScsSSLContext* c = nullptr;
    ASSERT_EQ(scsSSLClntCtxInit(&c, 0), 0u);
    for (uint32_t next : {uint32_t(SCS_SSL_MSG_SERVER_HELLO), uint32_t(SCS_SSL_MSG_FINISHED), 0u}) {
        c->flags &= ~SCS_SSL_FLAG_UNUSABLE;
        c->nextMessage = next;
        uint8_t acknowledge[] = {SCS_SSL_ALERT, 3, 0, 0, 2, 1, 50};
        EXPECT_EQ(scsSSLProcess(c, acknowledge, sizeof acknowledge), SCS_SSL_ALERT_RECEIVED) << next;
        EXPECT_NE(c->nextMessage, SCS_SSL_HANDSHAKE_COMPLETE) << next;
        EXPECT_TRUE(c->flags & SCS_SSL_FLAG_UNUSABLE) << next;
    }
    scsSSLCtxFree(&c);

    Session writer(0x30, 2);
    Session reader(0x30, 2, true);
    reader.c->nextMessage = SCS_SSL_MSG_FINISHED;  // read side already active
    std::vector<uint8_t> ccs(5 + 1 + 41);
    ccs[5] = 1;
    writer.c->flightLength = 0;
    ASSERT_EQ(scsSSLRecordPack(writer.c, ccs.data(), SCS_SSL_CHANGE_CIPHER_SPEC, 6), 0u);
    EXPECT_EQ(scsSSLProcess(reader.c, ccs.data(), writer.c->flightLength), SCS_SSL_UNEXPECTED_MESSAGE);
}

TEST(SslRecords, MalformedRecordsAreRefused) {
    struct Case { std::vector<uint8_t> data; TcsResult result; };
    for (const Case& k : std::initializer_list<Case>{
             {{23, 3, 0, 0, 0}, SCS_SSL_BAD_RECORD},                    // length 0
             {{23, 3, 0, 0x48, 0x01}, SCS_SSL_BAD_RECORD},              // 18433
             {{23, 3, 1, 0, 16}, SCS_SSL_BAD_RECORD},                   // version 3.1
             {{23, 3, 0, 0}, SCS_SSL_BAD_RECORD},                       // short header
             {{23, 3, 0, 0, 32, 1, 2, 3}, SCS_SSL_BAD_RECORD},          // beyond the data
             {{23, 3, 0, 0, 20, 0}, SCS_SSL_BAD_RECORD},                 // not whole blocks
         }) {
        Session s(0x30, 4);
        std::vector<uint8_t> data = k.data;
        if (data.size() == 6) data.resize(25, 0);  // a 20-byte fragment
        EXPECT_EQ(scsSSLProcess(s.c, data.data(), uint32_t(data.size())), k.result);
        EXPECT_EQ(s.c->sentAlert[1], SCS_SSL_ALERT_ILLEGAL_PARAMETER);
    }
}

TEST(SslRecords, ContentLimitAndOversizeData) {
    Session writer(0x30, 5);
    Session reader(0x30, 5, true);
    std::vector<uint8_t> big(SCS_SSL_MAX_CONTENT, 0x11);
    std::vector<uint8_t> record = writer.write(big);
    EXPECT_EQ(scsSSLProcess(reader.c, record.data(), uint32_t(record.size())), 0u);
    uint8_t one = 0;
    EXPECT_EQ(scsSSLAppDataWrite(writer.c, &one, SCS_SSL_MAX_CONTENT + 1), SCS_SSL_BAD_RECORD);

    // A peer that sends 16385 bytes of content is refused after the MAC check.
    std::vector<uint8_t> buffer(5 + SCS_SSL_MAX_CONTENT + 1 + SCS_SSL_RECORD_OVERHEAD, 0x22);
    writer.c->flightLength = 0;
    ASSERT_EQ(scsSSLRecordPack(writer.c, buffer.data(), SCS_SSL_APPLICATION_DATA, SCS_SSL_MAX_CONTENT + 1 + 5), 0u);
    EXPECT_EQ(scsSSLProcess(reader.c, buffer.data(), writer.c->flightLength), SCS_SSL_BAD_RECORD);
}

TEST(SslRecords, ReceivedAlerts) {
    Session writer(0x30, 6);
    Session reader(0x30, 6, true);
    // Waiting for the acknowledgement of a resumed handshake: its Finished checked, the host's packed.
    reader.c->nextMessage = 0;
    reader.c->flags |= SCS_SSL_FLAG_RESUMED;
    std::vector<uint8_t> ack(5 + 2 + 41);
    ack[5] = 1;
    ack[6] = 50;
    writer.c->flightLength = 0;
    ASSERT_EQ(scsSSLRecordPack(writer.c, ack.data(), SCS_SSL_ALERT, 7), 0u);
    EXPECT_EQ(scsSSLProcess(reader.c, ack.data(), writer.c->flightLength), 0u);
    EXPECT_EQ(reader.c->nextMessage, SCS_SSL_HANDSHAKE_COMPLETE);

    std::vector<uint8_t> close(5 + 2 + 41);
    close[5] = 1;
    close[6] = 0;
    writer.c->flightLength = 0;
    ASSERT_EQ(scsSSLRecordPack(writer.c, close.data(), SCS_SSL_ALERT, 7), 0u);
    EXPECT_EQ(scsSSLProcess(reader.c, close.data(), writer.c->flightLength), SCS_SSL_ALERT_RECEIVED);
    EXPECT_TRUE(reader.c->flags & SCS_SSL_FLAG_UNUSABLE);
    EXPECT_EQ(reader.c->closeAlertSent, 0u) << "an alert is not answered";
    EXPECT_EQ(scsSSLAppDataWrite(reader.c, ack.data(), 1), SCS_SSL_NO_SESSION);
}

TEST(SslRecords, UnexpectedTypesDuringHandshakeAnswerWithFramedAlert) {
    ScsSSLContext* c = nullptr;
    palCryptoInitialize();
    ASSERT_EQ(scsSSLClntCtxInit(&c, 0), 0u);
    c->nextMessage = SCS_SSL_MSG_SERVER_HELLO;
    struct Case { uint8_t type; };
    for (auto [type] : std::initializer_list<Case>{{SCS_SSL_CHANGE_CIPHER_SPEC}, {SCS_SSL_APPLICATION_DATA}, {99}}) {
        c->closeAlertSent = 0;
        uint8_t record[] = {type, 3, 0, 0, 1, 1};
        EXPECT_EQ(scsSSLProcess(c, record, sizeof record), SCS_SSL_UNEXPECTED_MESSAGE) << int(type);
        // Alert flight: {0x11, 7, 0} and an unprotected fatal alert record.
        const uint8_t flight[] = {0x11, 7, 0, 21, 3, 0, 0, 2, 2, 10};
        EXPECT_EQ(memcmp(c->output, flight, sizeof flight), 0) << int(type);
    }
    scsSSLCtxFree(&c);
}

}  // namespace
