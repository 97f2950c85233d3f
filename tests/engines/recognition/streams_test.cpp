// Byte streams: reader end handling, byte orders, the counting writer and TEA cipher feedback.
#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "engines/recognition/recog.h"
#include "engines/recognition/streams.h"

namespace {

namespace E = DurodudUrodera::FpRecEngineImpl::Embedded;

TEST(RecogReader, EmptyBufferReadsEndAndKeepsTheFirstFailure) {
    E::Reader r(nullptr, 0, false);
    EXPECT_TRUE(r.eof());
    EXPECT_EQ(r.getch(), -1);
    EXPECT_EQ(r.status(), RECOG_E_BUFFER_TOO_SMALL);
    r.setStatus(RECOG_E_MALFORMED);
    EXPECT_EQ(r.getch(), -1);
    EXPECT_EQ(r.status(), RECOG_E_MALFORMED);
}

TEST(RecogReader, SixteenAndThirtyTwoBitValuesInBothOrders) {
    const uint8_t bytes[] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
    E::Reader little(bytes, sizeof bytes, false), big(bytes, sizeof bytes, true);
    uint16_t s = 0;
    uint32_t w = 0;
    little >> s >> w;
    EXPECT_EQ(s, 0x3412);
    EXPECT_EQ(w, 0xBC9A7856u);
    big >> s >> w;
    EXPECT_EQ(s, 0x1234);
    EXPECT_EQ(w, 0x56789ABCu);
    EXPECT_EQ(big.status(), 0);
    big >> s;  // past the end: both bytes read as -1, kept to 16 bits
    EXPECT_EQ(s, 0xFFFF);
    EXPECT_EQ(big.status(), RECOG_E_BUFFER_TOO_SMALL);
}

TEST(RecogWriter, StoresUpToCapacityAndKeepsCounting) {
    uint8_t buffer[5] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    E::Writer w(buffer, 3, false);
    for (int ch : {1, 2, 3, 4, 5}) w.putch(ch);
    EXPECT_EQ(w.position(), 5u);
    EXPECT_EQ(w.buffer(), nullptr);  // tells the caller the record did not fit
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 5), (std::vector<uint8_t>{1, 2, 3, 0xEE, 0xEE}));

    E::Writer measure(nullptr, 0, false);
    EXPECT_FALSE(measure.eof());
    measure << uint32_t(7) << uint16_t(7);
    EXPECT_EQ(measure.position(), 6u);
}

TEST(RecogWriter, ByteOrderFollowsBothFlags) {
    struct Case { bool big, reversed; std::vector<uint8_t> u16, u32; };
    for (const auto& c : std::initializer_list<Case>{
             {false, false, {0x34, 0x12}, {0x78, 0x56, 0x34, 0x12}},
             {true, false, {0x12, 0x34}, {0x12, 0x34, 0x56, 0x78}},
             {false, true, {0x12, 0x34}, {0x12, 0x34, 0x56, 0x78}},
             {true, true, {0x34, 0x12}, {0x78, 0x56, 0x34, 0x12}}}) {
        uint8_t buffer[6] = {};
        E::Writer w(buffer, sizeof buffer, c.big);
        w.setReversed(c.reversed);
        w << uint16_t(0x1234) << uint32_t(0x12345678);
        std::vector<uint8_t> expected = c.u16;
        expected.insert(expected.end(), c.u32.begin(), c.u32.end());
        EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 6), expected) << c.big << c.reversed;
    }
}

// TEA as the engine defines it, written out independently: arithmetic shifts by 5.
void referenceTea(uint32_t& v0, uint32_t& v1, const uint32_t k[4]) {
    uint32_t sum = 0;
    for (int i = 0; i < 32; ++i) {
        sum += 0x9E3779B9;
        v0 += ((v1 << 4) + k[0]) ^ (v1 + sum) ^ (uint32_t(int32_t(v1) >> 5) + k[1]);
        v1 += ((v0 << 4) + k[2]) ^ (v0 + sum) ^ (uint32_t(int32_t(v0) >> 5) + k[3]);
    }
}

const uint32_t kKey[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
const uint32_t kInitial[2] = {0xDEADBEEF, 0x80000001};

TEST(RecogTea, ShiftsAreArithmetic) {
    uint32_t a0 = 0x80000000, a1 = 0xFFFFFFFF, b0 = a0, b1 = a1;
    E::teaEncipher(a0, a1, kKey);
    referenceTea(b0, b1, kKey);
    EXPECT_EQ(a0, b0);
    EXPECT_EQ(a1, b1);
    // Textbook TEA (logical shifts) gives another block for words with the sign bit set.
    uint32_t c0 = 0x80000000, c1 = 0xFFFFFFFF, sum = 0;
    for (int i = 0; i < 32; ++i) {
        sum += 0x9E3779B9;
        c0 += ((c1 << 4) + kKey[0]) ^ (c1 + sum) ^ ((c1 >> 5) + kKey[1]);
        c1 += ((c0 << 4) + kKey[2]) ^ (c0 + sum) ^ ((c0 >> 5) + kKey[3]);
    }
    EXPECT_FALSE(c0 == a0 && c1 == a1);
}

TEST(RecogTeaReader, KeystreamBytesAndCipherFeedback) {
    // Ciphertext of 16 zero bytes would read back as the keystream itself; use a known pattern.
    std::vector<uint8_t> cipher(16);
    for (int i = 0; i < 16; ++i) cipher[i] = uint8_t(0x11 * i + 3);
    for (bool big : {false, true}) {
        uint32_t k0 = kInitial[0], k1 = kInitial[1];
        referenceTea(k0, k1, kKey);
        // The second block's keystream: the first eight ciphertext bytes in the stream's order.
        auto word = [&](int at) {
            return big ? uint32_t(cipher[at]) << 24 | cipher[at + 1] << 16 | cipher[at + 2] << 8 | cipher[at + 3]
                       : uint32_t(cipher[at + 3]) << 24 | cipher[at + 2] << 16 | cipher[at + 1] << 8 | cipher[at];
        };
        uint32_t f0 = word(0), f1 = word(4);
        referenceTea(f0, f1, kKey);
        E::TeaReader r(cipher.data(), cipher.size(), big, kInitial, kKey);
        for (int i = 0; i < 16; ++i) {
            const uint32_t w = i < 8 ? (i < 4 ? k0 : k1) : (i < 12 ? f0 : f1);
            const int byteInWord = i & 3;
            const uint8_t key = uint8_t(w >> (big ? 24 - 8 * byteInWord : 8 * byteInWord));
            EXPECT_EQ(r.getch(), (cipher[i] ^ key) & 0xFF) << "byte " << i << (big ? " big" : " little");
        }
        EXPECT_EQ(r.getch(), -1);
        EXPECT_EQ(r.status(), RECOG_E_BUFFER_TOO_SMALL);
    }
}

TEST(RecogTeaReader, ReadsBackWhatTheEncipherWrote) {
    for (bool big : {false, true}) {
        for (size_t length : {0u, 1u, 7u, 8u, 9u, 16u, 23u}) {
            std::vector<uint8_t> plain(length), data(length);
            for (size_t i = 0; i < length; ++i) plain[i] = data[i] = uint8_t(i * 37 + 1);
            E::teaCfbEncipher(data.data(), data.size(), big, kInitial, kKey);
            if (length >= 8) {
                EXPECT_NE(data, plain);
            }
            E::TeaReader r(data.data(), data.size(), big, kInitial, kKey);
            std::vector<uint8_t> back;
            for (size_t i = 0; i < length; ++i) back.push_back(uint8_t(r.getch()));
            EXPECT_EQ(back, plain) << length << (big ? " big" : " little");
            EXPECT_EQ(r.status(), 0);
        }
    }
    // Multi-byte values come through the deciphering reader too.
    uint8_t data[4] = {0x12, 0x34, 0x56, 0x78};
    E::teaCfbEncipher(data, 4, true, kInitial, kKey);
    E::TeaReader r(data, 4, true, kInitial, kKey);
    uint32_t w = 0;
    r >> w;
    EXPECT_EQ(w, 0x12345678u);
}

}  // namespace
