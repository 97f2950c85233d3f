// Decrypted-template cache: entries by user and template key, listing a user's entries through the
// caller's item routine, removal, and the cache-full mark that emptying clears.
#include "tests/tcs/sensorctl/fixture.h"

#include "tcs/sensorctl/protocol/template_cache.h"

#include <cstring>

namespace {

using scstest::SensorControl;
using Bytes = std::vector<uint8_t>;

class TemplateCache : public SensorControl {
protected:
    void SetUp() override {
        SensorControl::SetUp();
        ASSERT_EQ(scsClientCreate(subsystem_, &client_), TCS_RESULT_OK);
        device_ = plugAndAttach();
        ASSERT_NE(device_, nullptr);
        activate(device_);
        ASSERT_EQ(scsSensorOpen(client_, device_->name, &handle_), TCS_RESULT_OK);
    }
    static Bytes key(uint8_t fill) { return Bytes(16, fill); }

    ScsClient* client_ = nullptr;
    ScsSensorDevice* device_ = nullptr;
    ScsSensor* handle_ = nullptr;
};

// The routine copies the entry's data into an item of its own: {length, data..., value}.
TcsResult makeItem(void** slot, const uint8_t* data, uint32_t length, const uint8_t*, uint32_t secondLength,
                   uint32_t value) {
    if (value == 99) return TCS_RESULT_INVALID;
    auto* item = new Bytes(data, data + length);
    item->push_back(uint8_t(secondLength));
    item->push_back(uint8_t(value));
    *slot = item;
    return TCS_RESULT_OK;
}

TEST_F(TemplateCache, StoreLookUpListAndRemove) {
    const Bytes user = key(0xA1), other = key(0xB2), t1 = key(1), t2 = key(2), t3 = key(3);
    const Bytes data1 = {1, 2, 3}, data2 = {4, 5}, profile = {9, 9, 9, 9};
    EXPECT_EQ(scsSensorSetDecTemplate(handle_, nullptr, t1.data(), data1.data(), 3, nullptr, 0, 0), 17u);
    ASSERT_EQ(scsSensorSetDecTemplate(handle_, user.data(), t1.data(), data1.data(), 3, profile.data(), 4, 7), 0u);
    ASSERT_EQ(scsSensorSetDecTemplate(handle_, other.data(), t3.data(), data2.data(), 2, nullptr, 0, 1), 0u);
    ASSERT_EQ(scsSensorSetDecTemplate(handle_, user.data(), t2.data(), data2.data(), 2, nullptr, 0, 8), 0u);

    uint8_t *data = nullptr, *second = nullptr;
    uint32_t length = 0, secondLength = 0, value = 0;
    ASSERT_EQ(scsSensorGetDecTemplate(handle_, user.data(), t1.data(), &data, &length, &second, &secondLength, &value),
              0u);
    EXPECT_EQ(Bytes(data, data + length), data1);
    EXPECT_EQ(Bytes(second, second + secondLength), profile);
    EXPECT_EQ(value, 7u);
    palRealFree(data);
    palRealFree(second);
    EXPECT_EQ(scsSensorGetDecTemplate(handle_, user.data(), t3.data(), &data, &length, nullptr, nullptr, nullptr), 77u)
        << "template of another user";

    uint32_t count = 0;
    ASSERT_EQ(scsSensorGetAllDecTemplates(handle_, user.data(), nullptr, nullptr, &count, nullptr), 0u);
    EXPECT_EQ(count, 2u);
    uint8_t* keys = nullptr;
    void** items = nullptr;
    ASSERT_EQ(scsSensorGetAllDecTemplates(handle_, user.data(), &keys, &items, &count, makeItem), 0u);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(Bytes(keys, keys + 16), t1);
    EXPECT_EQ(Bytes(keys + 16, keys + 32), t2);
    EXPECT_EQ(*static_cast<Bytes*>(items[0]), (Bytes{1, 2, 3, 4, 7}));
    EXPECT_EQ(*static_cast<Bytes*>(items[1]), (Bytes{4, 5, 0, 8}));
    for (uint32_t i = 0; i < count; ++i) delete static_cast<Bytes*>(items[i]);
    EXPECT_EQ(scsSensorFreeDecTemplatesList(handle_, keys), 0u);
    EXPECT_EQ(scsSensorFreeDecTemplatesList(handle_, items), 0u);
    EXPECT_EQ(scsSensorGetAllDecTemplates(handle_, user.data(), nullptr, &items, &count, nullptr), 17u);

    ASSERT_EQ(scsSensorRemoveDecTemplate(handle_, user.data(), t1.data()), 0u);
    EXPECT_EQ(scsSensorRemoveDecTemplate(handle_, user.data(), t1.data()), 77u);
    ASSERT_EQ(scsSensorGetAllDecTemplates(handle_, user.data(), nullptr, nullptr, &count, nullptr), 0u);
    EXPECT_EQ(count, 1u);
}

TEST_F(TemplateCache, FailingItemRoutineHandsOutWhatWasMade) {
    const Bytes user = key(0xA1), t1 = key(1), t2 = key(2);
    const Bytes data = {1};
    ASSERT_EQ(scsSensorSetDecTemplate(handle_, user.data(), t1.data(), data.data(), 1, nullptr, 0, 5), 0u);
    ASSERT_EQ(scsSensorSetDecTemplate(handle_, user.data(), t2.data(), data.data(), 1, nullptr, 0, 99), 0u);
    void** items = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(scsSensorGetAllDecTemplates(handle_, user.data(), nullptr, &items, &count, makeItem), 7u);
    ASSERT_EQ(count, 1u);
    delete static_cast<Bytes*>(items[0]);
    scsSensorFreeDecTemplatesList(handle_, items);
}

TEST_F(TemplateCache, FullMarkAndEmptyingByUserAndWhole) {
    const Bytes a = key(0xA1), b = key(0xB2), t = key(1);
    const Bytes data = {1, 2};
    EXPECT_EQ(scsSensorIsDecCacheFull(handle_), 0u);
    ASSERT_EQ(scsSensorMarkDecCacheFull(handle_), 0u);
    EXPECT_EQ(scsSensorIsDecCacheFull(handle_), 1u);
    ASSERT_EQ(scsSensorSetDecTemplate(handle_, a.data(), t.data(), data.data(), 2, data.data(), 2, 0), 0u);
    ASSERT_EQ(scsSensorSetDecTemplate(handle_, b.data(), t.data(), data.data(), 2, nullptr, 0, 0), 0u);

    // The engine's per-user drop frees the entries of one user key and clears the mark.
    ASSERT_EQ(scsSensorDeviceFreeDecTemplatesList(device_, a.data()), 0u);
    EXPECT_EQ(scsSensorIsDecCacheFull(handle_), 0u);
    uint32_t count = 9;
    ASSERT_EQ(scsSensorGetAllDecTemplates(handle_, a.data(), nullptr, nullptr, &count, nullptr), 0u);
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(scsSensorGetAllDecTemplates(handle_, b.data(), nullptr, nullptr, &count, nullptr), 0u);
    EXPECT_EQ(count, 1u);

    ASSERT_EQ(scsSensorFreeDecTemplatesList(handle_, nullptr), 0u);
    ASSERT_EQ(scsSensorGetAllDecTemplates(handle_, b.data(), nullptr, nullptr, &count, nullptr), 0u);
    EXPECT_EQ(count, 0u);
    // Entries left in the cache are freed with the device (checked by the leak sanitizer).
    ASSERT_EQ(scsSensorSetDecTemplate(handle_, b.data(), t.data(), data.data(), 2, data.data(), 2, 0), 0u);
}

}  // namespace
