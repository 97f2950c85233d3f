// Packed template records and protected payload blocks, as laid out byte by byte, with the limits
// and the malformed records that unpacking refuses.
#include "platform/crypto/crypto.h"
#include "platform/memory.h"
#include "tcs/database/dss_store.h"
#include "tcs/handle_map.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

void putU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}
void putU16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}
void putText(std::vector<uint8_t>& out, const char* text) { out.insert(out.end(), text, text + std::strlen(text)); }

class DssPayload : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(tcsSafeHandlesInitialize(), TCS_RESULT_OK);
        _tcsTemplateRegisterCleanups();
        palCryptoInitialize();
    }
    void TearDown() override {
        for (EnrollTemplate* t : templates_) _tcsTemplateDestroy(t);
        for (HandleType k = 0; k < TCS_HANDLE_TYPE_COUNT; ++k) _tcsSafeHandleSetCleanup(k, nullptr);
        EXPECT_EQ(tcsSafeHandlesUnInitialize(), TCS_RESULT_OK);
    }

    EnrollTemplate* makeTemplate(const char* data, uint32_t finger, uint32_t features, const std::vector<uint8_t>& profile) {
        EnrollTemplate* t = nullptr;
        EXPECT_EQ(_tcsTemplateCreate(&t, data, uint32_t(std::strlen(data))), TCS_RESULT_OK);
        t->finger = finger;
        t->features = features;
        if (!profile.empty()) {
            EXPECT_EQ(_tcsTemplateSetASPProfile(t, profile.data(), uint32_t(profile.size())), TCS_RESULT_OK);
        }
        templates_.push_back(t);
        return t;
    }

    std::vector<uint8_t> pack(EnrollTemplate* t, const char* payload) {
        uint8_t* record = nullptr;
        uint32_t length = 0;
        const uint32_t payloadLength = payload != nullptr ? uint32_t(std::strlen(payload)) : 0;
        EXPECT_EQ(_tcsDatabaseExTPPackTemplateData(nullptr, t, payloadLength, reinterpret_cast<const uint8_t*>(payload),
                                                   0, nullptr, &length, &record, nullptr, nullptr, nullptr),
                  TCS_RESULT_OK);
        std::vector<uint8_t> out(record, record + length);
        palRealFree(record);
        return out;
    }

    std::vector<EnrollTemplate*> templates_;
};

// A plain record: header, payload, template, the profile section when there is a profile, flags last.
TEST_F(DssPayload, PlainRecordLayout) {
    std::vector<uint8_t> expected{1, 1, 0, 3};
    putU32(expected, 3);
    putText(expected, "PAY");
    putU32(expected, 7);
    putText(expected, "TPLDATA");
    putU16(expected, 4);
    putU16(expected, 2);
    putU32(expected, 0);
    EXPECT_EQ(pack(makeTemplate("TPLDATA", 3, 1, {}), "PAY"), expected);

    // No features: flags 0x80; a profile (self-sized) comes before the flags; no payload: P = 0.
    const std::vector<uint8_t> profile{8, 0, 0, 0, 0xAA, 0xBB, 0xCC, 0xDD};
    expected = {1, 1, 0, 0};
    putU32(expected, 0);
    putU32(expected, 2);
    putText(expected, "T2");
    putU16(expected, 8);
    putU16(expected, 1);
    expected.insert(expected.end(), profile.begin(), profile.end());
    putU16(expected, 4);
    putU16(expected, 2);
    putU32(expected, 0x80);
    EXPECT_EQ(pack(makeTemplate("T2", 0, 0, profile), nullptr), expected);
}

TEST_F(DssPayload, PlainRecordRoundTrip) {
    const std::vector<uint8_t> profile{12, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
    for (uint32_t features : {0u, 1u}) {
        const std::vector<uint8_t> record = pack(makeTemplate("template bytes", 7, features, profile), "secret payload");
        TcsHandle handle = 0;
        uint32_t payloadLength = 0;
        uint8_t* payload = nullptr;
        ASSERT_EQ(_tcsDatabaseExTPUnPackTemplateData(nullptr, nullptr, uint32_t(record.size()), record.data(), &handle,
                                                     &payloadLength, &payload, nullptr, nullptr, 0),
                  TCS_RESULT_OK);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(payload), payloadLength), "secret payload");
        palRealFree(payload);
        EXPECT_EQ(tcsTemplateGetDataSize(handle), 14u);
        std::vector<uint8_t> data(14);
        ASSERT_EQ(tcsTemplateGetData(handle, data.data(), 14), TCS_RESULT_OK);
        EXPECT_EQ(std::string(data.begin(), data.end()), "template bytes");
        EXPECT_EQ(tcsTemplateGetFinger(handle), 7u);
        EXPECT_EQ(tcsTemplateGetFeatures(handle), features);
        EXPECT_EQ(tcsTemplateGetASPProfileSize(handle), 12u);
        EXPECT_EQ(tcsHandleDestroy(handle), TCS_RESULT_OK);

        uint32_t finger = 0;
        EXPECT_EQ(_tcsDatabaseExTPGetFingerIndex(nullptr, uint32_t(record.size()), record.data(), &finger), TCS_RESULT_OK);
        EXPECT_EQ(finger, 7u);
    }
}

TEST_F(DssPayload, MalformedRecordsAreRefused) {
    const std::vector<uint8_t> good = pack(makeTemplate("ABCD", 2, 1, {}), "xy");
    struct Case {
        const char* what;
        std::vector<uint8_t> record;
        TcsResult unpack, finger;
    };
    auto with = [&](size_t at, uint32_t v) {
        std::vector<uint8_t> r = good;
        std::memcpy(r.data() + at, &v, 4);
        return r;
    };
    std::vector<uint8_t> version2 = good;
    version2[0] = 2;
    const std::vector<Case> cases{
        {"12 bytes", std::vector<uint8_t>(good.begin(), good.begin() + 12), TCS_RESULT_BAD_PARAM, TCS_RESULT_INVALID},
        {"version 2", version2, TCS_RESULT_ERROR, TCS_RESULT_ERROR},
        {"payload past the end", with(4, 0xFFFFFFF0u), TCS_RESULT_ERROR, TCS_RESULT_OK},
        {"payload leaves no template length", with(4, uint32_t(good.size() - 8 - 3)), TCS_RESULT_ERROR, TCS_RESULT_OK},
        {"template past the end", with(10, 0x7FFFFFFFu), TCS_RESULT_ERROR, TCS_RESULT_OK},
    };
    for (const Case& c : cases) {
        TcsHandle handle = 0;
        uint32_t payloadLength = 0;
        uint8_t* payload = nullptr;
        EXPECT_EQ(_tcsDatabaseExTPUnPackTemplateData(nullptr, nullptr, uint32_t(c.record.size()), c.record.data(), &handle,
                                                     &payloadLength, &payload, nullptr, nullptr, 0),
                  c.unpack)
            << c.what;
        EXPECT_EQ(handle, 0u) << c.what;
        uint32_t finger = 0;
        EXPECT_EQ(_tcsDatabaseExTPGetFingerIndex(nullptr, uint32_t(c.record.size()), c.record.data(), &finger), c.finger)
            << c.what;
    }
    TcsHandle handle = 0;
    EXPECT_EQ(_tcsDatabaseExTPUnPackTemplateData(nullptr, nullptr, 20, nullptr, &handle, nullptr, nullptr, nullptr,
                                                 nullptr, 0),
              TCS_RESULT_NULL_POINTER);
    uint32_t finger = 0;
    EXPECT_EQ(_tcsDatabaseExTPGetFingerIndex(nullptr, 20, nullptr, &finger), TCS_RESULT_INVALID);
    EXPECT_EQ(_tcsDatabaseExTPGetFingerIndex(nullptr, uint32_t(good.size()), good.data(), nullptr),
              TCS_RESULT_NULL_POINTER);

    // A payload length without its payload.
    uint8_t* record = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(_tcsDatabaseExTPPackTemplateData(nullptr, templates_[0], 4, nullptr, 0, nullptr, &length, &record, nullptr,
                                               nullptr, nullptr),
              TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(record, nullptr);
}

// Sections after the template: unknown kinds are skipped, one running past the record ends the walk.
TEST_F(DssPayload, SectionWalk) {
    std::vector<uint8_t> record{1, 1, 0, 0};
    putU32(record, 0);
    putU32(record, 3);
    putText(record, "TPL");
    putU16(record, 2);
    putU16(record, 9);  // unknown kind
    putU16(record, 0xBEEF);
    putU16(record, 4);
    putU16(record, 2);
    putU32(record, 0x80);  // no features
    putU16(record, 200);
    putU16(record, 1);  // a profile section cut short: ignored
    putU32(record, 200);
    TcsHandle handle = 0;
    ASSERT_EQ(_tcsDatabaseExTPUnPackTemplateData(nullptr, nullptr, uint32_t(record.size()), record.data(), &handle,
                                                 nullptr, nullptr, nullptr, nullptr, 0),
              TCS_RESULT_OK);
    EXPECT_EQ(tcsTemplateGetFeatures(handle), 0u);
    EXPECT_EQ(tcsTemplateGetASPProfileSize(handle), 0u);
    EXPECT_EQ(tcsTemplateGetFinger(handle), 0u);
    EXPECT_EQ(tcsHandleDestroy(handle), TCS_RESULT_OK);
}

TEST_F(DssPayload, PekRecordTemplatePart) {
    std::vector<uint8_t> record{1, 1, 1, 4};
    putU32(record, 40);  // P of a PEK record: no payload bytes follow
    putU32(record, 5);
    putText(record, "WRAPD");
    uint32_t length = 0;
    const uint8_t* part = nullptr;
    ASSERT_EQ(_tcsDatabaseExTPWithoutHeaders(nullptr, uint32_t(record.size()), record.data(), &length, &part),
              TCS_RESULT_OK);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(part, record.data() + 12);
    record[8] = 6;  // one byte more than the record holds
    EXPECT_EQ(_tcsDatabaseExTPWithoutHeaders(nullptr, uint32_t(record.size()), record.data(), &length, &part),
              TCS_RESULT_ERROR);
    EXPECT_EQ(_tcsDatabaseExTPWithoutHeaders(nullptr, 12, record.data(), &length, &part), TCS_RESULT_INVALID);
}

// The protected block: header (kind, pad count), data and zero pad to a multiple of 16, encrypted
// with AES-CBC under a 32-byte key, then the IV in plain.
TEST_F(DssPayload, AuthDataBlockLayout) {
    uint8_t key[32];
    for (int i = 0; i < 32; ++i) key[i] = uint8_t(i * 7);
    uint8_t iv[16];
    for (int i = 0; i < 16; ++i) iv[i] = uint8_t(0xF0 + i);
    struct Case {
        uint32_t length, pad;
    };
    for (auto [length, pad] : std::initializer_list<Case>{{8, 0}, {9, 15}, {0, 8}, {24, 0}, {20, 4}}) {
        std::vector<uint8_t> data(length);
        for (uint32_t i = 0; i < length; ++i) data[i] = uint8_t(0x30 + i);
        uint8_t* block = nullptr;
        uint32_t blockLength = 0;
        ASSERT_EQ(_tcsDatabaseExPackAuthData(nullptr, data.data(), length, 1, &block, &blockLength, nullptr, iv, key),
                  TCS_RESULT_OK);
        const uint32_t padded = 8 + length + pad;
        ASSERT_EQ(blockLength, padded + 16) << length;
        EXPECT_EQ(std::memcmp(block + padded, iv, 16), 0);
        std::vector<uint8_t> plain(padded);
        uint8_t ivCopy[16];
        std::memcpy(ivCopy, iv, 16);
        uint32_t outLength = padded;
        ASSERT_EQ(palCryptoDecrypt(block, padded, plain.data(), &outLength, key, 32, ivCopy, 5), TCS_RESULT_OK);
        std::vector<uint8_t> expected;
        putU32(expected, 1);
        putU32(expected, pad);
        expected.insert(expected.end(), data.begin(), data.end());
        expected.resize(padded, 0);
        EXPECT_EQ(plain, expected) << length;
        palRealFree(block);
    }
}

}  // namespace
