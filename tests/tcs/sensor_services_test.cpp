// Sensor services and ownership calls before they reach a sensor: unknown handles, missing outputs,
// and the ownership items on the core list (one stage per visit, cancelled items freed).
#include "platform/memory.h"
#include "platform/test_seams.h"
#include "sim/usb/sim_usb.h"
#include "tcs/core.h"
#include "tcs/handle_map.h"
#include "tcs/tcs.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>

namespace {

class SensorServices : public ::testing::Test {
protected:
    void SetUp() override {
        simusb::resetAll();
        settings_ = ::testing::TempDir() + "/tcs_sensor_services_settings" + std::to_string(getpid());
        palTestSetSettingsPath(settings_.c_str());
        ASSERT_EQ(tcsStartupEx(&stack_, TCS_START_NO_SERVICE_THREAD, nullptr), TCS_RESULT_OK);
        ASSERT_EQ(tcsClientCreateSys(stack_, &client_), TCS_RESULT_OK);
        void* record = nullptr;
        tcsSafeClientHandleFetch(client_, &record);
        clientRecord_ = static_cast<ClientRecord*>(record);
        // A sensor record without a sensor-control sensor: everything that reaches sensor control
        // fails there, which is enough to see what the core does around it.
        ASSERT_EQ(tcsSensorAlloc(&sensor_, "usb#Vid_0000#Pid_0001#none"), TCS_RESULT_OK);
        sensor_->client = clientRecord_;
        ASSERT_EQ(tcsSafeSensorHandleCreate(sensor_, &handle_), TCS_RESULT_OK);
    }
    void TearDown() override {
        dropCoreItems();
        _tcsSensorFree(sensor_);
        EXPECT_EQ(tcsClientDestroy(client_), TCS_RESULT_OK);
        EXPECT_EQ(tcsShutdown(stack_), TCS_RESULT_OK);
        palTestSetSettingsPath(nullptr);
        std::remove(settings_.c_str());
        simusb::resetAll();
    }

    size_t coreItems(uint32_t type) {
        WorkList* list = &stack_->workList;
        palCriticalSectionAcquire(list->listLock);
        size_t n = 0;
        for (PalListEntry* e = list->links.next; e != &list->links; e = e->next) {
            n += PAL_WORK_ITEM_FROM_LINKS(e)->type == type;
        }
        palCriticalSectionRelease(list->listLock);
        return n;
    }

    void dropCoreItems() {
        WorkList* list = &stack_->workList;
        palCriticalSectionAcquire(list->listLock);
        while (!palListIsEmpty(&list->links)) {
            WorkItem* item = PAL_WORK_ITEM_FROM_LINKS(list->links.next);
            palListRemove(&item->links);
            if (item->type == TCS_ITEM_IDENTIFY_CONTEXT_EXPIRY) palRealFree(item->object);
            if (item->type >= TCS_ITEM_SET_OWNERSHIP && item->type <= TCS_ITEM_RESET_OWNERSHIP) {
                tcsOwnershipItemDiscard(item);
            }
            palWorkItemDestroy(item);
        }
        palCriticalSectionRelease(list->listLock);
    }

    std::string settings_;
    CoreSubsystem* stack_ = nullptr;
    TcsHandle client_ = 0;
    ClientRecord* clientRecord_ = nullptr;
    SensorRecord* sensor_ = nullptr;
    TcsHandle handle_ = 0;
};

struct Completion {
    int calls = 0;
    TcsResult status = 0xFFFF;
};

TcsResult recordCompletion(void*, TcsResult status, void* context) {
    auto* c = static_cast<Completion*>(context);
    c->status = status;
    c->calls++;
    return TCS_RESULT_OK;
}

TEST_F(SensorServices, UnknownHandleGives14Everywhere) {
    const TcsHandle none = 0x7777;
    char text[80];
    uint16_t wide[80];
    DeviceInfoRecord info{};
    SensorUidRecord uid{};
    uint8_t byte = 0;
    uint16_t a = 0, b = 0;
    uint32_t word = 0;
    const SizedBuffer password{2, reinterpret_cast<const uint8_t*>("pw")};
    const std::function<TcsResult()> calls[] = {
        [&] { return tcsSensorGetVersionA(none, text); },
        [&] { return tcsSensorGetVersionW(none, wide); },
        [&] { return tcsSensorGetVersionAsync(none, recordCompletion, nullptr); },
        [&] { return tcsSensorResetAndWait(none, 10); },
        [&] { return tcsSensorGetDeviceInfo(none, &info); },
        [&] { return tcsSensorGetSecurityInfo(none, &word); },
        [&] { return tcsSensorGetUID(none, &uid); },
        [&] { return tcsSensorGetPbaFlag(none, 0, &byte); },
        [&] { return tcsSensorSetPbaFlag(none, 0, 1); },
        [&] { return tcsSensorEraseEFIImage(none); },
        [&] { return tcsSensorGetEFIImageVersion(none, &word); },
        [&] { return tcsSensorGetOwnershipInfo(none, &a, &b); },
        [&] { return tcsSensorGetSupportedRSAKeyLength(none, &word); },
        [&] { return tcsSensorSetOwnerAsync(none, &password, recordCompletion, nullptr); },
        [&] { return tcsSensorResetOwnerAsync(none, &password, recordCompletion, nullptr); },
        [&] { return tcsSensorSetOwner(none, &password); },
        [&] { return tcsSensorSetOwnerWithKeys(none, nullptr, nullptr, nullptr, nullptr, nullptr); },
        [&] { return tcsSensorResetOwner(none, &password); },
    };
    for (size_t i = 0; i < std::size(calls); ++i) EXPECT_EQ(calls[i](), TCS_RESULT_NULL_SENSOR_HANDLE) << i;
    EXPECT_EQ(tcsSensorGetState(none), 0u);
}

TEST_F(SensorServices, MissingOutputsAndBadValues) {
    EXPECT_EQ(tcsSensorGetVersionA(handle_, nullptr), TCS_RESULT_NULL_VERSION_POINTER);
    EXPECT_EQ(tcsSensorGetVersionW(handle_, nullptr), TCS_RESULT_NULL_VERSION_POINTER);
    EXPECT_EQ(tcsSensorGetVersionAsync(handle_, nullptr, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsSensorGetDeviceInfo(handle_, nullptr), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(tcsSensorGetUID(handle_, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsSensorGetSecurityInfo(handle_, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsSensorGetPbaFlag(handle_, 0, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsSensorProgramEFIImage(handle_, nullptr, 10, 0), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsSensorGetEFIImageVersion(handle_, nullptr), TCS_RESULT_NULL_POINTER);
    uint16_t a = 0;
    EXPECT_EQ(tcsSensorGetOwnershipInfo(handle_, &a, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsSensorGetSupportedRSAKeyLength(handle_, nullptr), TCS_RESULT_NULL_POINTER);
    for (uint8_t value : {2, 7, 9, 246, 248, 255}) {
        EXPECT_EQ(tcsSensorSetPbaFlag(handle_, 0, value), TCS_RESULT_BAD_PARAM) << int(value);
    }
    EXPECT_EQ(tcsSensorSetOwnerAsync(handle_, nullptr, nullptr, nullptr), TCS_RESULT_BAD_PARAM);
    uint8_t long65[65] = {};
    const SizedBuffer tooLong{65, long65};
    EXPECT_EQ(tcsSensorSetOwnerAsync(handle_, &tooLong, recordCompletion, nullptr), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(tcsSensorResetOwnerAsync(handle_, &tooLong, recordCompletion, nullptr), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(coreItems(TCS_ITEM_SET_OWNERSHIP) + coreItems(TCS_ITEM_RESET_OWNERSHIP), 0u);
    sensor_->client = nullptr;
    const SizedBuffer pw{2, reinterpret_cast<const uint8_t*>("pw")};
    EXPECT_EQ(tcsSensorSetOwnerAsync(handle_, &pw, recordCompletion, nullptr), TCS_RESULT_NULL_SUBSYSTEM_HANDLE);
    EXPECT_EQ(tcsSensorSetOwner(handle_, &pw), TCS_RESULT_NULL_CLIENT_HANDLE);
    sensor_->client = clientRecord_;
}

// A failing stage jumps to the clean-up: one visit stores the failure, the next calls back once.
TEST_F(SensorServices, OwnershipItemFailsThroughItsCleanUpStagesAndCallsBackOnce) {
    Completion done;
    const SizedBuffer pw{2, reinterpret_cast<const uint8_t*>("pw")};
    ASSERT_EQ(tcsSensorSetOwnerAsync(handle_, &pw, recordCompletion, &done), TCS_RESULT_OK);
    ASSERT_EQ(coreItems(TCS_ITEM_SET_OWNERSHIP), 1u);
    for (int i = 0; i < 10 && coreItems(TCS_ITEM_SET_OWNERSHIP) != 0; ++i) tcsService(stack_, 50, nullptr);
    EXPECT_EQ(coreItems(TCS_ITEM_SET_OWNERSHIP), 0u);
    EXPECT_EQ(done.calls, 1);
    EXPECT_EQ(done.status, TCS_RESULT_NULL_SENSOR_HANDLE) << "no sensor-control sensor behind the record";

    Completion reset;
    ASSERT_EQ(tcsSensorResetOwnerAsync(handle_, &pw, recordCompletion, &reset), TCS_RESULT_OK);
    for (int i = 0; i < 10 && reset.calls == 0; ++i) tcsService(stack_, 50, nullptr);
    EXPECT_EQ(reset.calls, 1);
    EXPECT_EQ(coreItems(TCS_ITEM_RESET_OWNERSHIP), 0u);
}

// A caller that gave up marks its item done; the loop drops it without a callback and frees its
// request (the sanitizer build sees a leak otherwise).
TEST_F(SensorServices, CancelledOwnershipItemsAreDroppedWithTheirRequests) {
    Completion set, reset;
    const SizedBuffer pw{2, reinterpret_cast<const uint8_t*>("pw")};
    ASSERT_EQ(tcsSensorSetOwnerWithKeysAsync(handle_, nullptr, nullptr, nullptr, nullptr, nullptr, recordCompletion,
                                             &set),
              TCS_RESULT_OK);
    ASSERT_EQ(tcsSensorResetOwnerAsync(handle_, &pw, recordCompletion, &reset), TCS_RESULT_OK);
    EXPECT_EQ(_tcsCompleteWorkItem(&stack_->workList, TCS_ITEM_SET_OWNERSHIP), TCS_RESULT_OK);
    EXPECT_EQ(_tcsCompleteWorkItem(&stack_->workList, TCS_ITEM_RESET_OWNERSHIP), TCS_RESULT_OK);
    tcsService(stack_, 50, nullptr);
    EXPECT_EQ(coreItems(TCS_ITEM_SET_OWNERSHIP) + coreItems(TCS_ITEM_RESET_OWNERSHIP), 0u);
    EXPECT_EQ(set.calls + reset.calls, 0);
}

TEST_F(SensorServices, OneIdentificationContextExpiryAtATime) {
    uint8_t context[128] = {1};
    // Sensor control refuses the store (no sensor behind the record): no expiry item.
    EXPECT_NE(_tcsSensorSetLastIdentificationCtx(sensor_, context, sizeof context), TCS_RESULT_OK);
    EXPECT_EQ(coreItems(TCS_ITEM_IDENTIFY_CONTEXT_EXPIRY), 0u);
    EXPECT_EQ(_tcsSensorSetLastIdentificationCtx(nullptr, context, sizeof context), TCS_RESULT_NULL_SENSOR_HANDLE);
}

}  // namespace
