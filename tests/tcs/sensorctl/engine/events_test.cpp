// Sensor-control event records and dispatch, and the external configuration blob after the first
// 0x1A byte of a file.
#include "tests/tcs/sensorctl/fixture.h"

#include <cstdio>
#include <cstring>

namespace scstest {
namespace {

TEST(ScsEvents, AccessorsOfANullRecord) {
    EXPECT_EQ(scsEventGetId(nullptr), 0u);
    EXPECT_EQ(scsEventGetStatus(nullptr), TCS_RESULT_INVALID);
    EXPECT_EQ(scsEventGetDataSize(nullptr), 0u);
    EXPECT_EQ(scsEventGetData(nullptr), nullptr);
    int data = 0;
    EventRecord event{5, 6, 7, &data};
    EXPECT_EQ(scsEventGetId(&event), 5u);
    EXPECT_EQ(scsEventGetStatus(&event), 6u);
    EXPECT_EQ(scsEventGetDataSize(&event), 7u);
    EXPECT_EQ(scsEventGetData(&event), &data);
}

struct Walk {
    ScsSensor* sensor;
    std::vector<int> order;
};

TcsResult firstListener(ScsSensor* sensor, void* context, EventRecord*);
TcsResult second(ScsSensor*, void* context, EventRecord*) {
    static_cast<Walk*>(context)->order.push_back(2);
    return TCS_RESULT_OK;
}
TcsResult firstListener(ScsSensor* sensor, void* context, EventRecord*) {
    static_cast<Walk*>(context)->order.push_back(1);
    // Unregistering itself from inside the walk must not stop it.
    scsSensorEventsRemoveCallback(sensor, firstListener, context);
    return TCS_RESULT_OK;
}

TEST_F(SensorControl, SensorListenersAreCalledInOrderAndMayRemoveThemselves) {
    ScsSensorDevice* device = plugAndAttach();
    ASSERT_NE(device, nullptr);
    ScsClient* client = nullptr;
    ASSERT_EQ(scsClientCreate(subsystem_, &client), TCS_RESULT_OK);
    ScsSensor* sensor = nullptr;
    ASSERT_EQ(scsSensorOpen(client, device->name, &sensor), TCS_RESULT_OK);
    Walk walk{sensor, {}};
    ASSERT_EQ(scsSensorEventsAddCallback(sensor, firstListener, &walk), TCS_RESULT_OK);
    ASSERT_EQ(scsSensorEventsAddCallback(sensor, second, &walk), TCS_RESULT_OK);
    EXPECT_EQ(scsSensorEventsAddCallback(sensor, nullptr, &walk), TCS_RESULT_BAD_PARAM);
    EventRecord event{204, 0, 0, nullptr};
    ASSERT_EQ(scsSensorEventPerformCallback(sensor, &event), TCS_RESULT_OK);
    ASSERT_EQ(scsSensorEventPerformCallback(sensor, &event), TCS_RESULT_OK);
    EXPECT_EQ(walk.order, (std::vector<int>{1, 2, 2}));
    EXPECT_EQ(scsSensorClose(sensor), TCS_RESULT_OK);
}

class CfgBlob : public ::testing::Test {
protected:
    void TearDown() override { std::remove(path_.c_str()); }
    void write(const std::vector<uint8_t>& bytes) {
        FILE* file = std::fopen(path_.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
    std::string path_ = "/tmp/scs_cfg_blob_" + std::to_string(getpid());
};

TEST_F(CfgBlob, BlobIsWhatFollowsTheFirstMarker) {
    struct Case {
        std::vector<uint8_t> file;
        std::vector<uint8_t> blob;  // empty: no blob
    };
    for (const Case& c : std::initializer_list<Case>{
             {{'h', 'd', 'r', 0x1A, 1, 2, 0x1A, 3}, {1, 2, 0x1A, 3}},
             {{0x1A, 9}, {9}},
             {{'a', 'b', 0x1A}, {}},  // the only marker is the last byte
             {{'a', 'b', 'c'}, {}},   // no marker at all
             {{}, {}}}) {
        write(c.file);
        uint8_t* blob = reinterpret_cast<uint8_t*>(1);
        uint32_t length = 77;
        ASSERT_EQ(scsSubsystemGetHarlokCfgBlob(path_.c_str(), &blob, &length), TCS_RESULT_OK);
        if (c.blob.empty()) {
            EXPECT_EQ(blob, nullptr);
            EXPECT_EQ(length, 0u);
        } else {
            ASSERT_NE(blob, nullptr);
            EXPECT_EQ(std::vector<uint8_t>(blob, blob + length), c.blob);
        }
        palRealFree(blob);
    }
    uint8_t* blob = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(scsSubsystemGetHarlokCfgBlob(nullptr, &blob, &length), TCS_RESULT_OK);
    EXPECT_EQ(scsSubsystemGetHarlokCfgBlob("/nonexistent/scs/blob", &blob, &length), TCS_RESULT_FILE_OPEN_FAILED);
}

}  // namespace
}  // namespace scstest
