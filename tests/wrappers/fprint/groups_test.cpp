// Sensor groups without a service: event callbacks building and reusing entries, removal, the
// database sensor and the answers for bad arguments.
#include "wrappers/fprint/tfs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

namespace {

class GroupTest : public ::testing::Test {
protected:
    void SetUp() override {
        _PRINT_MSG_ = 0;
        _PRINT_RESULTS_ = 0;
        context_ = static_cast<AppContext*>(calloc(1, TFS_CONTEXT_SIZE));
        context_->signature = TFS_CONTEXT_SIGNATURE;
        context_->client = 1;  // never used for a call: the group stays in state 1 or has no sensor handles
        group_.context = context_;
        ASSERT_EQ(GroupInitInfo(&group_), TCS_RESULT_OK);
    }
    void TearDown() override {
        if (group_.state != 0) GroupUnInitInfo(&group_);
        clearAppLastError(&context_->lastError);
        free(context_);
        _PRINT_MSG_ = 1;
        _PRINT_RESULTS_ = 1;
    }

    TcsResult systemEvent(uint32_t id, const char* text) {
        EventRecord event{id, 0, text != nullptr ? uint32_t(strlen(text) + 1) : 0u,
                          const_cast<char*>(text)};
        return GroupSystemEventsHandler(reinterpret_cast<void*>(1), &group_, &event);
    }

    GroupSensorEntry* first() { return PAL_LIST_RECORD(group_.entries.next, GroupSensorEntry, links); }

    SensorGroup group_{};
    AppContext* context_ = nullptr;
};

TEST_F(GroupTest, ReadyEventsMakeEntriesAndAReturningSensorReusesItsOwn) {
    ASSERT_EQ(systemEvent(TCS_SYSTEM_EVENT_SENSOR_ARRIVING, "USB-Sensor-A"), TCS_RESULT_OK);
    ASSERT_EQ(systemEvent(TCS_SYSTEM_EVENT_SENSOR_READY, "USB-Sensor-A"), TCS_RESULT_OK);
    ASSERT_FALSE(palListIsEmpty(&group_.entries));
    GroupSensorEntry* entry = first();
    EXPECT_STREQ(entry->sensorId, "usb-sensor-a");
    EXPECT_EQ(entry->enumerationCount, 1u);
    EXPECT_EQ(entry->context, context_);
    EXPECT_EQ(GroupSize(), 1u);
    const uint32_t index = entry->index;

    ASSERT_EQ(systemEvent(TCS_SYSTEM_EVENT_SENSOR_REMOVED, "usb-sensor-A"), TCS_RESULT_OK);
    EXPECT_EQ(entry->removed, 1u);
    EXPECT_EQ(GroupSize(), 0u);
    // Removed twice: the count stays at zero.
    ASSERT_EQ(systemEvent(TCS_SYSTEM_EVENT_SENSOR_REMOVED, "usb-sensor-a"), TCS_RESULT_OK);
    EXPECT_EQ(GroupSize(), 0u);

    entry->captureStatus = 360;
    ASSERT_EQ(systemEvent(TCS_SYSTEM_EVENT_SENSOR_READY, "USB-SENSOR-A"), TCS_RESULT_OK);
    EXPECT_EQ(first(), entry);
    EXPECT_EQ(entry->links.next, &group_.entries);  // still the only entry
    EXPECT_EQ(entry->index, index);
    EXPECT_EQ(entry->removed, 0u);
    EXPECT_EQ(entry->captureStatus, 0u);
    EXPECT_EQ(GroupSize(), 1u);

    ASSERT_EQ(systemEvent(TCS_SYSTEM_EVENT_SENSOR_READY, "usb-sensor-b"), TCS_RESULT_OK);
    auto* second = PAL_LIST_RECORD(entry->links.next, GroupSensorEntry, links);
    EXPECT_STREQ(second->sensorId, "usb-sensor-b");
    EXPECT_EQ(second->index, index + 1);
    EXPECT_EQ(GroupSize(), 2u);

    ASSERT_EQ(GroupUnInitInfo(&group_), TCS_RESULT_OK);
    EXPECT_EQ(GroupSize(), 0u);
    EXPECT_EQ(GroupUnInitInfo(&group_), TFS_RESULT_GROUP_NOT_INITIALIZED);
}

TEST_F(GroupTest, LosingTheDatabaseSensorEndsCapturesThatAskForIt) {
    ASSERT_EQ(systemEvent(TCS_SYSTEM_EVENT_SENSOR_READY, "db-sensor"), TCS_RESULT_OK);
    group_.state = 2;
    EXPECT_EQ(GroupSetDatabaseSensor(1000, &group_, 1), TFS_RESULT_DB_SENSOR_NO_FLASH);
    EXPECT_EQ(first()->databaseSensor, 1u);
    EXPECT_EQ(first()->databaseOnSensor, 0u);
    EXPECT_EQ(GroupGetDBSensorID(&group_), nullptr);  // the database is on the host

    first()->hasFlash = 1;
    first()->databaseSensor = 0;
    first()->sensor = 0;
    EXPECT_EQ(GroupSetDatabaseSensor(1000, &group_, 1), TCS_RESULT_OK);
    EXPECT_EQ(first()->databaseOnSensor, 1u);
    EXPECT_STREQ(GroupGetDBSensorID(&group_), "db-sensor");

    _PRINT_MSG_ = 0;
    ASSERT_EQ(GroupSensorRemoved(&group_, "DB-SENSOR"), TCS_RESULT_OK);
    EXPECT_EQ(group_.exitFlag, 1u);
    EXPECT_EQ(first()->databaseOnSensor, 0u);
    EXPECT_EQ(_PRINT_RESULTS_, 0);
    EXPECT_EQ(GroupRunServiceUntilTrue(0, &group_, 1), TFS_RESULT_DB_SENSOR_UNPLUGGED);
    EXPECT_EQ(GroupRunServiceUntilTrue(0, &group_, 0), TFS_RESULT_NO_SENSORS);  // nothing live is left
    EXPECT_STREQ(context_->lastError.text, "No sensors found.");
    EXPECT_EQ(GroupSetDatabaseSensor(1000, &group_, 0), TFS_RESULT_NO_SENSORS);
}

TEST_F(GroupTest, StateChecks) {
    EXPECT_EQ(GroupRunServiceUntilTrue(0, &group_, 0), TFS_RESULT_NO_SENSORS);  // empty list
    ASSERT_EQ(systemEvent(TCS_SYSTEM_EVENT_SENSOR_READY, "s1"), TCS_RESULT_OK);
    EXPECT_EQ(GroupSetDatabaseSensor(1000, &group_, 0), TFS_RESULT_WRONG_GROUP_STATE);
    EXPECT_EQ(GroupSensorClose(&group_), TCS_RESULT_OK);  // nothing open: only noted
    EXPECT_EQ(std::string(context_->lastError.text).rfind("Invalid State - ", 0), 0u);
    EXPECT_EQ(GroupGetDBSensorHandle(&group_, 0), 0u);
    first()->sensor = 77;
    EXPECT_EQ(GroupGetDBSensorHandle(&group_, 1), 77u);
    first()->sensor = 0;
    first()->captureStatus = 501;  // its capture already ended
    EXPECT_EQ(GroupAbortFingerprint(&group_), TCS_RESULT_INVALID);  // nothing pending
    EXPECT_EQ(group_.state, 2u);
    first()->captureStatus = 0;
    first()->gotPrint = 1;
    EXPECT_EQ(GroupAbortFingerprint(&group_), TCS_RESULT_OK);  // a delivered print needs no abort
    EXPECT_EQ(first()->gotPrint, 0u);
}

TEST_F(GroupTest, CallbacksAnswerBadArguments) {
    EventRecord event{TCS_SENSOR_EVENT_SWIPE_NOW, 0, 0, nullptr};
    ASSERT_EQ(systemEvent(TCS_SYSTEM_EVENT_SENSOR_READY, "s1"), TCS_RESULT_OK);
    GroupSensorEntry* entry = first();
    void* sensor = reinterpret_cast<void*>(5);
    EXPECT_EQ(GroupSensorEventsHandler(sensor, nullptr, &event), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(GroupSensorEventsHandler(nullptr, entry, &event), TCS_RESULT_NULL_SENSOR_HANDLE);
    EXPECT_EQ(std::string(context_->lastError.text).rfind("hSensor is TCS_NULL - groups.cpp(", 0), 0u);
    EXPECT_EQ(GroupSensorEventsHandler(sensor, entry, nullptr), TCS_RESULT_NULL_POINTER);

    struct Case {
        uint32_t id;
        void* data;
        uint32_t armed, status;
    };
    TcsHandle image = 9;
    for (auto [id, data, armed, status] : std::initializer_list<Case>{
             {TCS_SENSOR_EVENT_SWIPE_NOW, nullptr, 1, 0},
             {TCS_SENSOR_EVENT_IMAGE_READY, &image, 1, 0},  // with an image: no change
             {TCS_SENSOR_EVENT_CAPTURE_DONE, nullptr, 0, 0},
             {TCS_SENSOR_EVENT_SWIPE_NOW, nullptr, 1, 0},
             {TCS_SENSOR_EVENT_IMAGE_READY, nullptr, 0, 40},
         }) {
        EventRecord record{id, 0, data != nullptr ? 8u : 0u, data};
        EXPECT_EQ(GroupSensorEventsHandler(sensor, entry, &record), TCS_RESULT_OK) << id;
        EXPECT_EQ(entry->armed, armed) << id;
        EXPECT_EQ(entry->captureStatus, status) << id;
    }

    EventRecord ready{TCS_SYSTEM_EVENT_SENSOR_READY, 0, 0, nullptr};
    EXPECT_EQ(GroupSystemEventsHandler(nullptr, nullptr, &ready), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(GroupSystemEventsHandler(nullptr, &group_, nullptr), TCS_RESULT_NULL_POINTER);
    context_->client = 0;
    EXPECT_EQ(GroupSystemEventsHandler(nullptr, &group_, &ready), TCS_RESULT_NULL_CLIENT_HANDLE);
    context_->client = 1;
    group_.context = nullptr;
    EXPECT_EQ(GroupSystemEventsHandler(nullptr, &group_, &ready), TCS_RESULT_NULL_POINTER);
    group_.context = context_;
    SensorGroup uninitialised{};
    EXPECT_EQ(GroupSystemEventsHandler(nullptr, &uninitialised, &ready), TFS_RESULT_GROUP_NOT_INITIALIZED);
    EXPECT_EQ(GroupInitInfo(nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(GroupUnInitInfo(nullptr), TCS_RESULT_NULL_POINTER);
}

}  // namespace
