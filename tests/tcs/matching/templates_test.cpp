// Enroll templates and match results: the packed byte form, round trips, profiles and accessors.
#include "platform/memory.h"
#include "tcs/handle_map.h"
#include "tcs/matching/templates.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

class TemplateTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(tcsSafeHandlesInitialize(), TCS_RESULT_OK);
        _tcsTemplateRegisterCleanups();
    }
    void TearDown() override {
        tcsSafeHandlesUnInitialize();
        _tcsSafeHandleSetCleanup(TCS_HANDLE_TYPE_ENROLL_TEMPLATE, nullptr);
        _tcsSafeHandleSetCleanup(TCS_HANDLE_TYPE_MATCH_RESULTS, nullptr);
    }
};

uint32_t u32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
uint64_t u64(const std::vector<uint8_t>& b, size_t at) { return u32(b, at) | uint64_t(u32(b, at + 4)) << 32; }

std::vector<uint8_t> profileOf(uint32_t size, uint8_t fill) {
    std::vector<uint8_t> p(size, fill);
    p[0] = uint8_t(size);
    p[1] = p[2] = p[3] = 0;
    return p;
}

std::vector<uint8_t> pack(uint64_t handle) {
    uint32_t size = 0;
    EXPECT_EQ(tcsTemplatePack(handle, nullptr, &size), TCS_RESULT_OK);
    std::vector<uint8_t> out(size, 0xEE);
    EXPECT_EQ(tcsTemplatePack(handle, out.data(), &size), TCS_RESULT_OK);
    return out;
}

TEST_F(TemplateTest, CreateFillsTheHeader) {
    const uint8_t data[5] = {1, 2, 3, 4, 5};
    uint64_t h = 0;
    ASSERT_EQ(tcsTemplateCreate(&h, data, 5), TCS_RESULT_OK);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(tcsTemplateGetDataSize(h), 5u);
    EXPECT_EQ(tcsTemplateGetType(h), 1u);
    std::vector<uint8_t> packed = pack(h);
    ASSERT_EQ(packed.size(), 56u + 5);
    // L, then the header as it lies in the record.
    EXPECT_EQ(u32(packed, 0), 52u + 5);
    EXPECT_EQ(std::memcmp(&packed[4], "TTML", 4), 0);
    EXPECT_EQ(u32(packed, 8), 5u);        // data size
    EXPECT_EQ(u32(packed, 12), 1u);       // type
    EXPECT_EQ(packed[24] | packed[25] << 8, 1);  // version
    EXPECT_EQ(u64(packed, 32), 0u);       // no blob
    EXPECT_EQ(u64(packed, 48), 0u);       // no profile
    EXPECT_EQ(std::memcmp(&packed[56], data, 5), 0);
    EXPECT_EQ(tcsHandleDestroy(h), TCS_RESULT_OK);
}

TEST_F(TemplateTest, CreateRefusals) {
    const uint8_t data[1] = {7};
    uint64_t h = 99;
    EXPECT_EQ(tcsTemplateCreate(nullptr, data, 1), TCS_RESULT_NULL_HANDLE_POINTER);
    EXPECT_EQ(tcsTemplateCreate(&h, nullptr, 1), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsTemplateCreate(&h, data, 0), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(h, 0u);
    EnrollTemplate* t = nullptr;
    EXPECT_EQ(_tcsTemplateCreate(&t, data, 0), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(_tcsTemplateDestroy(nullptr), TCS_RESULT_INVALID_HANDLE);
}

TEST_F(TemplateTest, PackedLayoutWithProfileAndBlob) {
    std::vector<uint8_t> data(7);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(0x40 + i);
    const uint32_t L = 52 + 7;

    // Only a profile of 20 bytes: the ASP section starts right behind the record.
    uint64_t h = 0;
    ASSERT_EQ(tcsTemplateCreate(&h, data.data(), 7), TCS_RESULT_OK);
    std::vector<uint8_t> profile = profileOf(20, 0x99);
    ASSERT_EQ(tcsTemplateSetASPProfile(h, profile.data(), 20), TCS_RESULT_OK);
    std::vector<uint8_t> packed = pack(h);
    ASSERT_EQ(packed.size(), 56u + 7 + 24);
    EXPECT_EQ(u64(packed, 32), 0u);
    EXPECT_EQ(u64(packed, 48), 4u + L);
    EXPECT_EQ(u32(packed, 4 + L), 20u);
    EXPECT_EQ(std::vector<uint8_t>(packed.begin() + 8 + L, packed.end()), profile);

    // A blob of 10 bytes and a profile of 20: blob at 4 + L, profile at 18 + L.
    EnrollTemplate* record = nullptr;
    void* object = nullptr;
    ASSERT_EQ(tcsSafeEnrollTemplateHandleFetch(h, &object), TCS_RESULT_OK);
    record = static_cast<EnrollTemplate*>(object);
    record->blob = static_cast<uint8_t*>(palRealMalloc(10));
    for (int i = 0; i < 10; ++i) record->blob[i] = uint8_t(0xB0 + i);
    record->blobSize = 10;
    packed = pack(h);
    ASSERT_EQ(packed.size(), 56u + 7 + 14 + 24);
    EXPECT_EQ(u64(packed, 32), 4u + L);
    EXPECT_EQ(u32(packed, 40), 10u);
    EXPECT_EQ(u64(packed, 48), 18u + L);
    EXPECT_EQ(u32(packed, 4 + L), 10u);
    EXPECT_EQ(packed[8 + L], 0xB0);
    EXPECT_EQ(u32(packed, 18 + L), 20u);

    uint64_t back = 0;
    ASSERT_EQ(tcsTemplateUnPack(packed.data(), &back), TCS_RESULT_OK);
    ASSERT_NE(back, 0u);
    EXPECT_EQ(pack(back), packed);
    ASSERT_EQ(tcsSafeEnrollTemplateHandleFetch(back, &object), TCS_RESULT_OK);
    auto* copy = static_cast<EnrollTemplate*>(object);
    // The header is byte-packed: read its pointers into locals before comparing.
    uint8_t* copiedBlob = copy->blob;
    uint8_t* originalBlob = record->blob;
    ASSERT_NE(copiedBlob, nullptr);
    EXPECT_EQ(uint32_t(copy->blobSize), 10u);
    EXPECT_EQ(std::memcmp(copiedBlob, originalBlob, 10), 0);
    std::vector<uint8_t> got(20);
    EXPECT_EQ(tcsTemplateGetASPProfile(back, got.data(), 20), TCS_RESULT_OK);
    EXPECT_EQ(got, profile);
    tcsHandleDestroy(back);
    tcsHandleDestroy(h);
}

// The cipher fields read as an image's are: the blob is the IV, the word after it the padding.
TEST_F(TemplateTest, CipherFieldsOfAnEncryptedTemplate) {
    const uint8_t data[3] = {1, 2, 3};
    uint64_t h = 0;
    ASSERT_EQ(tcsTemplateCreate(&h, data, 3), TCS_RESULT_OK);
    void* iv = &h;
    uint32_t length = 99, padding = 99;
    ASSERT_EQ(tcsCryptoTemplateGetIV(h, &iv, &length), TCS_RESULT_OK);
    EXPECT_EQ(iv, nullptr);
    EXPECT_EQ(length, 0u);
    ASSERT_EQ(tcsCryptoTemplateGetPaddingSize(h, &padding), TCS_RESULT_OK);
    EXPECT_EQ(padding, 0u);

    void* object = nullptr;
    ASSERT_EQ(tcsSafeEnrollTemplateHandleFetch(h, &object), TCS_RESULT_OK);
    auto* record = static_cast<EnrollTemplate*>(object);
    auto* blob = static_cast<uint8_t*>(palRealMalloc(16));
    std::memset(blob, 0x1F, 16);
    record->blob = blob;
    record->blobSize = 16;
    record->reserved = 11;
    ASSERT_EQ(tcsCryptoTemplateGetIV(h, &iv, &length), TCS_RESULT_OK);
    EXPECT_EQ(iv, blob);
    EXPECT_EQ(length, 16u);
    ASSERT_EQ(tcsCryptoTemplateGetPaddingSize(h, &padding), TCS_RESULT_OK);
    EXPECT_EQ(padding, 11u);

    EXPECT_EQ(tcsCryptoTemplateGetIV(h, nullptr, &length), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsCryptoTemplateGetIV(h, &iv, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsCryptoTemplateGetPaddingSize(h, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsHandleDestroy(h), TCS_RESULT_OK);
    EXPECT_EQ(tcsCryptoTemplateGetIV(h, &iv, &length), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(tcsCryptoTemplateGetPaddingSize(h, &padding), TCS_RESULT_BAD_PARAM);
}

TEST_F(TemplateTest, PackWithNullBufferOnlySizesAndUnknownHandlesAreRefused) {
    const uint8_t data[3] = {1, 2, 3};
    uint64_t h = 0;
    ASSERT_EQ(tcsTemplateCreate(&h, data, 3), TCS_RESULT_OK);
    uint32_t size = 0;
    EXPECT_EQ(tcsTemplatePack(h, nullptr, &size), TCS_RESULT_OK);
    EXPECT_EQ(size, 59u);
    EXPECT_EQ(tcsTemplatePack(h, nullptr, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsTemplatePack(h + 1000, nullptr, &size), TCS_RESULT_NULL_POINTER);
    uint64_t out = 5;
    EXPECT_EQ(tcsTemplateUnPack(nullptr, &out), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsTemplateUnPack(data, nullptr), TCS_RESULT_NULL_HANDLE_POINTER);
    // A length shorter than a header is not something the packer writes.
    const uint8_t shortRecord[8] = {10, 0, 0, 0};
    EXPECT_EQ(tcsTemplateUnPack(shortRecord, &out), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(out, 0u);
    tcsHandleDestroy(h);
}

TEST_F(TemplateTest, ProfileRulesAndSetters) {
    const uint8_t data[4] = {9, 9, 9, 9};
    uint64_t h = 0;
    ASSERT_EQ(tcsTemplateCreate(&h, data, 4), TCS_RESULT_OK);
    std::vector<uint8_t> good = profileOf(12, 0x11);
    ASSERT_EQ(tcsTemplateSetASPProfile(h, good.data(), 12), TCS_RESULT_OK);
    struct Case {
        std::vector<uint8_t> profile;
        uint32_t size;
        TcsResult expected;
    };
    std::vector<uint8_t> wrongSize = profileOf(12, 0x22);
    wrongSize[0] = 13;
    for (const Case& c : std::vector<Case>{{profileOf(4, 0), 4, TCS_RESULT_BAD_PARAM},
                                           {wrongSize, 12, TCS_RESULT_BAD_PARAM}}) {
        EXPECT_EQ(tcsTemplateSetASPProfile(h, c.profile.data(), c.size), c.expected);
    }
    EXPECT_EQ(tcsTemplateSetASPProfile(h, nullptr, 12), TCS_RESULT_NULL_POINTER);
    // The refused profiles left the old one.
    EXPECT_EQ(tcsTemplateGetASPProfileSize(h), 12u);
    std::vector<uint8_t> got(12);
    EXPECT_EQ(tcsTemplateGetASPProfile(h, got.data(), 11), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(tcsTemplateGetASPProfile(h, got.data(), 12), TCS_RESULT_OK);
    EXPECT_EQ(got, good);

    EXPECT_EQ(tcsTemplateSetUserID(h, 0), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(tcsTemplateSetUserID(h, 77), TCS_RESULT_OK);
    EXPECT_EQ(tcsTemplateSetFinger(h, 0), TCS_RESULT_OK);
    EXPECT_EQ(tcsTemplateSetFinger(h, 3), TCS_RESULT_OK);
    EXPECT_EQ(tcsTemplateSetFeatures(h, 41), TCS_RESULT_OK);
    EXPECT_EQ(tcsTemplateGetUserID(h), 77u);
    EXPECT_EQ(tcsTemplateGetFinger(h), 3u);
    EXPECT_EQ(tcsTemplateGetFeatures(h), 41u);

    uint8_t buffer[8] = {};
    EXPECT_EQ(tcsTemplateGetData(h, buffer, 4), TCS_RESULT_OK);
    EXPECT_EQ(buffer[3], 9);
    EXPECT_EQ(tcsTemplateGetData(h, buffer, 0), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(tcsTemplateGetData(h, buffer, 5), TCS_RESULT_BAD_PARAM);  // beyond the data
    EXPECT_EQ(tcsTemplateGetData(h, nullptr, 4), TCS_RESULT_NULL_POINTER);

    // An unknown handle: 4 for operations, 0 for getters.
    const uint64_t unknown = h + 1000;
    EXPECT_EQ(tcsTemplateSetFinger(unknown, 1), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(tcsTemplateGetData(unknown, buffer, 1), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(tcsTemplateGetDataSize(unknown), 0u);
    EXPECT_EQ(tcsTemplateGetASPProfile(unknown, got.data(), 12), TCS_RESULT_INVALID_HANDLE);
    tcsHandleDestroy(h);
}

TEST_F(TemplateTest, CloneCopiesDataProfileAndIdentityOnly) {
    const uint8_t data[6] = {1, 2, 3, 4, 5, 6};
    EnrollTemplate* t = nullptr;
    ASSERT_EQ(_tcsTemplateCreate(&t, data, 6), TCS_RESULT_OK);
    t->templateType = 5;
    t->userId = 8;
    t->finger = 2;
    t->features = 30;
    std::vector<uint8_t> profile = profileOf(16, 0x5A);
    ASSERT_EQ(_tcsTemplateSetASPProfile(t, profile.data(), 16), TCS_RESULT_OK);
    EnrollTemplate* c = nullptr;
    ASSERT_EQ(_tcsTemplateClone(t, &c), TCS_RESULT_OK);
    EXPECT_EQ(uint32_t(c->templateType), 1u);
    EXPECT_EQ(uint32_t(c->userId), 8u);
    EXPECT_EQ(uint32_t(c->finger), 2u);
    EXPECT_EQ(uint32_t(c->features), 0u);
    EXPECT_EQ(_tcsTemplateGetASPProfileSize(c), 16u);
    uint8_t* copiedProfile = c->aspProfile;
    uint8_t* originalProfile = t->aspProfile;
    EXPECT_NE(copiedProfile, originalProfile);
    EXPECT_EQ(std::memcmp(c->data, data, 6), 0);
    _tcsTemplateDestroy(c);
    _tcsTemplateDestroy(t);
    EXPECT_EQ(_tcsTemplateClone(nullptr, &c), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(c, nullptr);
}

TEST_F(TemplateTest, MatchResultHandleOwnsItsExtraData) {
    auto* r = static_cast<MatchResult*>(palRealMalloc(sizeof(MatchResult)));
    *r = MatchResult{3, 1500, 12, 4, 1, 1, static_cast<uint8_t*>(palRealMalloc(1024)), 1024, {}};
    uint64_t h = 0;
    ASSERT_EQ(tcsSafeMatchResultsHandleCreate(r, &h), TCS_RESULT_OK);
    EXPECT_EQ(tcsMatchResultsGetIndex(h), 3u);
    EXPECT_EQ(tcsMatchResultsGetScore(h), 1500u);
    EXPECT_EQ(tcsMatchResultsGetUserID(h), 12u);
    EXPECT_EQ(tcsMatchResultsGetFinger(h), 4u);
    EXPECT_EQ(tcsMatchResultsGetStatus(h), 1u);
    EXPECT_EQ(tcsMatchResultsGetEnrollUpdate(h), 1u);
    EXPECT_EQ(tcsMatchResultsDestroyHandle(h), TCS_RESULT_OK);  // LeakSanitizer checks the buffer went too
    EXPECT_EQ(tcsMatchResultsGetScore(h), 0u);
}

}  // namespace
