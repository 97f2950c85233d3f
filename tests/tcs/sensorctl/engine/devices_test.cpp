// Sensor-control devices against the virtual sensor: arrival, removal and release, bad-device
// retries, and the work-item table.
#include "tcs/sensorctl/protocol/patches.h"
#include "tests/tcs/sensorctl/fixture.h"

#include <cstring>

namespace scstest {
namespace {

TEST(ScsWitTable, EightyFourRowsNamedAfterTheirIds) {
    struct Case {
        uint32_t id;
        const char* name;
        bool builder;
    };
    for (auto [id, name, builder] : std::initializer_list<Case>{
             {0, "scsWITSensor_CMD_NOOP", false},
             {1, "scsWITSensor_CMD_GET_VERSION", true},
             {57, "scsWITSensor_CMD_DB_USER_CONTAINER_INFO_GET", true},
             {58, "scsWitIdClientCreate", false},
             {66, "scsWitIdPnpAttached", false},
             {69, "scsWitIdPnpMalfunction", false},
             {80, "scsWitIdGetFingerState", false},
             {83, "scsWitIdDetermineFlexId", false}}) {
        EXPECT_STREQ(gScsWitList[id].name, name) << id;
        EXPECT_EQ(gScsWitList[id].builder != nullptr, builder) << id;
    }
    for (uint32_t id = 0; id < SCS_WIT_COUNT; ++id) {
        EXPECT_NE(gScsWitList[id].handler, nullptr) << id;
        if (id <= 57) {
            EXPECT_EQ(gScsWitList[id].handler, &scsWITSensorSendCommand) << id;
        }
    }
    EXPECT_EQ(gScsWitList[67].handler, gScsWitList[68].handler);
    EXPECT_EQ(gScsWitList[67].handler, gScsWitList[69].handler);
}

TEST(ScsProductFamily, TableLookup) {
    EXPECT_EQ(scsSensorGetProductFamilyByPid(0x0001), 1u);
    EXPECT_EQ(scsSensorGetProductFamilyByPid(0x0010), 2u);
    EXPECT_EQ(scsSensorGetProductFamilyByPid(0x0100), 0u);
    EXPECT_EQ(scsSensorGetProductFamilyByPid(0), 0u);
}

TEST_F(SensorControl, ArrivalQueuesAttachItemAndMakesAnInitialisingDevice) {
    sensor_ = simusb::plug();
    ASSERT_NE(sensor_, 0);
    // The poll thread only queues the item; nothing happens until the service step runs it.
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    std::vector<uint32_t> types;
    while ((types = queuedTypes(subsystem_)).empty() && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(types, std::vector<uint32_t>{scsWitIdPnpAttached});
    EXPECT_EQ(count(subsystem_->initialisingDevices), 0u);

    ASSERT_TRUE(pumpUntil([&] { return count(subsystem_->initialisingDevices) == 1; }));
    ScsSensorDevice* device = first(subsystem_->initialisingDevices);
    ASSERT_NE(device, nullptr);
    EXPECT_NE(device->platformHandle, nullptr);
    EXPECT_EQ(device->referenceCount, 1u);
    EXPECT_NE(std::strstr(device->name, "SIM00001"), nullptr);
    EXPECT_EQ(std::string(device->queues[SCS_QUEUE_FP_BUFFER].name), "FpBuffer");
    EXPECT_TRUE(queuedTypes(subsystem_).empty());

    ScsSensorDevice* found = nullptr;
    EXPECT_EQ(scsSensorDeviceFind(device->name, subsystem_, &found), TCS_RESULT_SENSOR_INITIALIZING);
    EXPECT_EQ(found, device);
    // Lookups ignore letter case.
    std::string upper = device->name;
    for (char& c : upper) c = char(toupper(c));
    EXPECT_EQ(scsSensorDeviceFind(upper.c_str(), subsystem_, &found), TCS_RESULT_SENSOR_INITIALIZING);
    activate(device);
    EXPECT_EQ(scsSensorDeviceFind(upper.c_str(), subsystem_, &found), TCS_RESULT_OK);
    EXPECT_EQ(scsSensorDeviceFind("usb#nothing", subsystem_, &found), TCS_RESULT_SENSOR_NOT_FOUND);
}

TEST_F(SensorControl, DuplicateArrivalOfAnOpenDeviceIsRefused) {
    ScsSensorDevice* device = plugAndAttach();
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(scsProcessPnpAction(subsystem_, PAL_PNP_ACTION_ARRIVAL, device->name, 0), TCS_RESULT_OK);
    ASSERT_TRUE(pumpUntil([&] { return queuedTypes(subsystem_).empty(); }));
    EXPECT_EQ(count(subsystem_->initialisingDevices), 1u);
    EXPECT_EQ(first(subsystem_->initialisingDevices), device);
}

TEST_F(SensorControl, RemovalWithoutResetRecoveryReleasesAtOnce) {
    ScsSensorDevice* device = plugAndAttach();
    ASSERT_NE(device, nullptr);
    activate(device);
    ASSERT_TRUE(simusb::unplug(sensor_));
    ASSERT_TRUE(pumpUntil([&] { return count(subsystem_->activeDevices) == 0; }));
    EXPECT_EQ(count(subsystem_->detachedDevices), 0u);
    EXPECT_EQ(count(subsystem_->badDevices), 0u);
    EXPECT_EQ(simusb::openHandleCount(), 0);
}

TEST_F(SensorControl, RemovedDeviceWithResetRecoveryIsKeptTwoSecondsThenReleased) {
    ScsSensorDevice* device = plugAndAttach();
    ASSERT_NE(device, nullptr);
    activate(device);
    device->resetRecovery = 1;
    palTestSetClock(1700000000000ull);
    ASSERT_TRUE(simusb::unplug(sensor_));
    ASSERT_TRUE(pumpUntil([&] { return count(subsystem_->detachedDevices) == 1; }));
    EXPECT_EQ(first(subsystem_->detachedDevices), device);
    EXPECT_EQ(device->platformHandle, nullptr);

    palTestAdvanceClock(2000);
    pumpFor(30);
    EXPECT_EQ(count(subsystem_->detachedDevices), 1u);
    palTestAdvanceClock(1);
    ASSERT_TRUE(pumpUntil([&] { return count(subsystem_->detachedDevices) == 0; }));
}

TEST_F(SensorControl, ReturningDetachedDeviceIsReused) {
    ScsSensorDevice* device = plugAndAttach();
    ASSERT_NE(device, nullptr);
    activate(device);
    device->resetRecovery = 1;
    ASSERT_TRUE(simusb::unplug(sensor_));
    ASSERT_TRUE(pumpUntil([&] { return count(subsystem_->detachedDevices) == 1; }));
    sensor_ = simusb::plug();
    ASSERT_TRUE(pumpUntil([&] { return count(subsystem_->initialisingDevices) == 1; }));
    EXPECT_EQ(first(subsystem_->initialisingDevices), device);
    EXPECT_NE(device->platformHandle, nullptr);
    EXPECT_EQ(count(subsystem_->detachedDevices), 0u);
}

TEST_F(SensorControl, BadDeviceIsRetriedSixTimesFiveSecondsApartThenReleased) {
    ScsSensorDevice* device = plugAndAttach();
    ASSERT_NE(device, nullptr);
    activate(device);
    palTestSetClock(1700000000000ull);
    ASSERT_EQ(scsProcessPnpAction(subsystem_, 5, device->name, 0), TCS_RESULT_OK);
    ASSERT_TRUE(pumpUntil([&] { return count(subsystem_->badDevices) == 1; }));
    EXPECT_EQ(device->retryCount, 0);
    EXPECT_EQ(device->platformHandle, nullptr);

    for (int retry = 1; retry <= 6; ++retry) {
        palTestAdvanceClock(5000);
        pumpFor(20);
        EXPECT_EQ(device->retryCount, retry - 1) << "retried before 5000 ms had passed";
        palTestAdvanceClock(1);
        ASSERT_TRUE(pumpUntil([&] { return device->retryCount == retry; })) << retry;
    }
    palTestAdvanceClock(5001);
    ASSERT_TRUE(pumpUntil([&] { return count(subsystem_->badDevices) == 0; }));
}

TEST_F(SensorControl, MalfunctionWithResetKindWaitsAnExtraFiveSeconds) {
    ScsSensorDevice* device = plugAndAttach();
    ASSERT_NE(device, nullptr);
    activate(device);
    palTestSetClock(1700000000000ull);
    ScsSensor handle{};
    ScsClient client{};
    client.subsystem = subsystem_;
    handle.client = &client;
    ASSERT_EQ(scsSensorHardReset(device->name, &handle, 1), TCS_RESULT_OK);
    ASSERT_TRUE(pumpUntil([&] { return count(subsystem_->badDevices) == 1; }));
    palTestAdvanceClock(5001);
    pumpFor(20);
    EXPECT_EQ(device->retryCount, 0);
    palTestAdvanceClock(5000);
    ASSERT_TRUE(pumpUntil([&] { return device->retryCount == 1; }));
}

TEST_F(SensorControl, RemovalItemGoesBehindTheItemAtTheFront) {
    // Items of an unknown type never run, so the list can be inspected as queued.
    ASSERT_EQ(palWorkItemEnqueue(&subsystem_->workList, 90, 0, nullptr, 0, 0, 1, nullptr), TCS_RESULT_OK);
    ASSERT_EQ(palWorkItemEnqueue(&subsystem_->workList, 91, 0, nullptr, 0, 0, 1, nullptr), TCS_RESULT_OK);
    ASSERT_EQ(scsProcessPnpAction(subsystem_, PAL_PNP_ACTION_REMOVAL, "usb#x", 0), TCS_RESULT_OK);
    ASSERT_EQ(scsProcessPnpAction(subsystem_, PAL_PNP_ACTION_ARRIVAL, "usb#x", 0), TCS_RESULT_OK);
    ASSERT_EQ(scsProcessPnpAction(subsystem_, 5, "usb#y", 0), TCS_RESULT_OK);
    EXPECT_EQ(queuedTypes(subsystem_), (std::vector<uint32_t>{69, 90, 67, 91, 66}));
    EXPECT_EQ(scsProcessPnpAction(subsystem_, 9, "usb#x", 0), TCS_RESULT_INVALID);
    // Suspended: notifications are ignored.
    ASSERT_EQ(scsChangeStateToSuspend(subsystem_), TCS_RESULT_OK);
    EXPECT_EQ(scsProcessPnpAction(subsystem_, PAL_PNP_ACTION_ARRIVAL, "usb#z", 0), TCS_RESULT_OK);
    EXPECT_EQ(queuedTypes(subsystem_).size(), 5u);
    subsystem_->suspended = 0;
    // Drop the items that never run so shut-down does not wait for them.
    palCriticalSectionAcquire(subsystem_->workList.listLock);
    while (!palListIsEmpty(&subsystem_->workList.links)) {
        WorkItem* item = PAL_WORK_ITEM_FROM_LINKS(subsystem_->workList.links.next);
        palListRemove(&item->links);
        if (item->type >= 66 && item->type <= 69) {
            auto* record = static_cast<ScsPnpRecord*>(item->object);
            palRealFree(record->name);
            palRealFree(record);
        }
        palWorkItemDestroy(item);
    }
    palCriticalSectionRelease(subsystem_->workList.listLock);
}

}  // namespace
}  // namespace scstest

namespace scstest {
namespace {

TEST(ScsEntryPoints, NullArgumentsAndFixedAnswers) {
    EXPECT_EQ(scsSubsystemStartup(nullptr, nullptr, 0, nullptr), TCS_RESULT_NULL_HANDLE_POINTER);
    EXPECT_EQ(scsSubsystemShutdown(nullptr), TCS_RESULT_NULL_SUBSYSTEM_HANDLE);
    EXPECT_EQ(scsSubsystemSetTCSThreadHandle(nullptr, 0, 0), TCS_RESULT_NULL_SUBSYSTEM_HANDLE);
    EXPECT_EQ(scsSubsystemWaitForResponse(nullptr, nullptr, 0), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(scsSensorSignalWorkToDo(nullptr), TCS_RESULT_SENSOR_NOT_COMPLETELY_OPEN);
    EXPECT_EQ(scsSensorHardReset(nullptr, nullptr, 0), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(scsSensorHardResetEx(nullptr, 0), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(scsRemoteSubsystemStartup(), TCS_RESULT_OK);
    uint32_t value = 5;
    EXPECT_EQ(scsGetDbgFlags(&value), TCS_RESULT_OK);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(scsGetDbgSystems(nullptr), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(scsSetDbgFlags(7), TCS_RESULT_OK);
    EXPECT_EQ(scsSensorSimulatePnpAction(nullptr, 1), TCS_RESULT_NOT_IMPLEMENTED);
    EXPECT_EQ(scsSensorIsPavlek(nullptr), 0u);
    EXPECT_EQ(scsSensorGetProductFamilyByProductType(nullptr), 0u);
    EXPECT_EQ(scsLoadEFIImageEx(nullptr, nullptr, 0), TCS_RESULT_NOT_IMPLEMENTED);
    scsDbgPrintSensor(nullptr);  // does nothing, not even with no sensor
    EXPECT_EQ(scsSensorValidate(nullptr), TCS_RESULT_NULL_SENSOR_HANDLE);
    EXPECT_EQ(scsClientValidate(nullptr), TCS_RESULT_NULL_CLIENT_HANDLE);
    EXPECT_EQ(scsSensorsAreEqual(nullptr, nullptr), 0u);
    EXPECT_EQ(scsSensorDeviceRelease(nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(scsSensorDeviceAlloc(nullptr, nullptr, nullptr, 0), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(scsQueueDescriptor(nullptr, nullptr, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(scsCancelDescriptors(nullptr, 0x811), TCS_RESULT_SENSOR_NOT_COMPLETELY_OPEN);
    EXPECT_EQ(scsSensorWaitForFpBufferQueueEmpty(nullptr, 0), TCS_RESULT_SENSOR_NOT_COMPLETELY_OPEN);
}

}  // namespace
}  // namespace scstest

namespace scstest {
namespace {

TEST_F(SensorControl, DevicePresentAtStartUpArrivesOnce) {
    ASSERT_EQ(scsSubsystemShutdown(subsystem_), TCS_RESULT_OK);
    subsystem_ = nullptr;
    sensor_ = simusb::plug();
    ASSERT_NE(sensor_, 0);
    ASSERT_EQ(scsSubsystemStartup(&subsystem_, wake_, SCS_START_NO_SERVICE_THREAD, nullptr), TCS_RESULT_OK);
    // The first bus scan and the replay to the new callback may both report it: one device results.
    ASSERT_TRUE(pumpUntil([&] { return count(subsystem_->initialisingDevices) == 1; }));
    pumpFor(50);
    EXPECT_EQ(count(subsystem_->initialisingDevices), 1u);
    EXPECT_TRUE(queuedTypes(subsystem_).empty());
}

}  // namespace
}  // namespace scstest
