// The wrapper's single-sensor routines and console flows against the stack behind the service
// process: captures by swipes of synthetic fingers on the virtual sensor.
#include "wrappers/fprint/tfs.h"

#include "apps/shared/client.h"
#include "apps/shared/client_test_seams.h"
#include "apps/shared/inproc_matchers.h"
#include "tcs/matching/mss.h"
#include "platform/test_seams.h"
#include "tests/sim/framework/processes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
constexpr const char* kSerial = "TOV00001";

class SamplesTest : public ::testing::Test {
protected:
    void SetUp() override {
        _PRINT_MSG_ = 0;
        _PRINT_RESULTS_ = 0;
        char dir[] = "/tmp/tovsmpXXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        const std::string pipes = dir_ + "/", prefix = dir_ + "/k_";
        tovClientTestSetPipeDirectory(pipes.c_str());
        palTestSetIpcKeyPrefix(prefix.c_str());
        fs::create_directories(dir_ + "/sensors");
        std::ofstream(dir_ + "/sensors/sensors") << kSerial << " 0001 0 1 4.30 " << firstFinger_ << "\n";
        service_ = tovtest::spawn({TOV_SERVICE_PROGRAM, pipes, prefix, dir_ + "/sensors"}, dir_ + "/service.log");
        for (int i = 0; i < 500 && !fs::exists(prefix + "ServiceReady"); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(fs::exists(prefix + "ServiceReady"));
        std::memset(context_, 0, sizeof context_);
    }
    void TearDown() override {
        stopFeeding();
        clearAppLastError(&context()->lastError);  // the routines leave their last report there
        if (service_ > 0) {
            kill(service_, SIGTERM);
            if (tovtest::waitFor(service_, std::chrono::seconds(15)) < 0) kill(service_, SIGKILL);
        }
        tovClientTestSetPipeDirectory(nullptr);
        palTestSetIpcKeyPrefix(nullptr);
        fs::remove_all(dir_);
        _PRINT_MSG_ = 1;
        _PRINT_RESULTS_ = 1;
    }

    AppContext* context() { return reinterpret_cast<AppContext*>(context_); }

    void feed(const char* serial, int finger) { feeder_.feed(dir_ + "/sensors/" + serial + ".swipe", finger); }
    void stopFeeding() { feeder_.stop(); }

    // A capture the stack ends with 501 for want of data (see the README) is swiped again.
    static TcsResult swipedAgainOn501(const std::function<TcsResult()>& step) {
        TcsResult result = step();
        for (int again = 0; again < 3 && result == 501; ++again) result = step();
        return result;
    }

    static bool waitUntil(const std::function<bool()>& done, int seconds = 60) {
        for (int i = 0; i < seconds * 50 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return done();
    }

    std::string dir_;
    int firstFinger_ = 2;  // the first sensor's finger state: 2 a finger resting, 0 none
    pid_t service_ = 0;
    alignas(8) uint8_t context_[TFS_CONTEXT_SIZE];
    tovtest::SwipeFeeder feeder_;
};

TEST_F(SamplesTest, SingleSensorRoutinesCaptureThroughTheService) {
    GroupSensorEntry entry{};
    entry.context = context();
    // The console's client event handler (the default) records the sensor the stack announces.
    ASSERT_EQ(ClientCreate(context(), &entry), TCS_RESULT_OK);
    ASSERT_TRUE(waitUntil([&] { return entry.enumerationCount > 0; }));
    EXPECT_EQ(entry.unplugged, 0u);
    ASSERT_EQ(tcsSensorOpenA(context()->client, entry.sensorId, &entry.sensor), TCS_RESULT_OK);

    // A capture nobody swipes for: the wait times out and the capture is aborted (unless the stack
    // ended it first, 501, for want of data from a finger the sensor reports down).
    context()->captureTimeoutMs = 1;
    ASSERT_EQ(AddSensorCallback(&entry), TCS_RESULT_OK);
    const TcsResult unswiped = GetFingerprint(&entry);
    EXPECT_TRUE(unswiped == TCS_RESULT_TIMEOUT || unswiped == 501) << unswiped;
    EXPECT_EQ(entry.timedOut, unswiped == TCS_RESULT_TIMEOUT ? 1u : 0u);
    EXPECT_EQ(RemoveSensorCallback(&entry), TCS_RESULT_OK);
    // The aborted capture's completion (501) ends it for the next one.
    EXPECT_TRUE(waitUntil([&] { return entry.captureState == 2; }));
    context()->captureTimeoutMs = 60000;

    // The default sensor event handler, then the minimal one: each capture brings its image.
    for (EventCallback handler : {EventCallback(nullptr), EventCallback(TovanticSensorEventsHandler)}) {
        context()->sensorEventHandler = handler;
        ASSERT_EQ(AddSensorCallback(&entry), TCS_RESULT_OK);
        feed(kSerial, 0);
        EXPECT_EQ(swipedAgainOn501([&] { return GetFingerprint(&entry); }), TCS_RESULT_OK);
        stopFeeding();
        ASSERT_NE(entry.image, 0u);
        EXPECT_GT(tcsImageGetRows(entry.image), 100u);
        EXPECT_EQ(entry.gotPrint, 1u);
        EXPECT_EQ(RunServiceUntilTrue(&entry, &entry.gotPrint, 1000), TCS_RESULT_OK);
        EXPECT_EQ(RemoveSensorCallback(&entry), TCS_RESULT_OK);
    }
    EXPECT_EQ(RunServiceUntilTrue(&entry, nullptr, 100), TCS_RESULT_NULL_POINTER);

    tcsHandleDestroy(entry.image);
    EXPECT_EQ(tcsSensorClose(entry.sensor), TCS_RESULT_OK);
    entry.sensor = 0;
    EXPECT_EQ(AddSensorCallback(&entry), TCS_RESULT_NULL_SENSOR_HANDLE);
    EXPECT_EQ(GetFingerprint(&entry), TCS_RESULT_NULL_SENSOR_HANDLE);
    EXPECT_EQ(ClientDestroy(context(), &entry), TCS_RESULT_OK);
}

// A group as the console samples set it up: its context, client and every announced sensor open.
struct Group {
    SensorGroup group{};
    explicit Group(AppContext* context) {
        group.context = context;
        EXPECT_EQ(GroupInitInfo(&group), TCS_RESULT_OK);
        context->clientEventHandler = GroupSystemEventsHandler;
        context->matcherType = MSS_MATCHER_MINUTIAE;
        EXPECT_EQ(ClientCreate(context, &group), TCS_RESULT_OK);
        EXPECT_EQ(GroupSensorsEnumAndInit(&group), TCS_RESULT_OK);
        EXPECT_EQ(GroupSensorOpen(&group), TCS_RESULT_OK);
    }
    ~Group() {
        GroupSensorClose(&group);
        GroupUnInitInfo(&group);
        if (group.context->matcher != 0) tcsMatcherClose(group.context->matcher);
        ClientDestroy(group.context, &group);
    }
};

TEST_F(SamplesTest, ConsoleFlowsEnrollAndVerifyByGroupCaptures) {
    Group group(context());
    feed(kSerial, 1);
    // Enroll keeps the work template for Verify; HighLevelVerify checks against what HighLevelEnroll made.
    EXPECT_EQ(swipedAgainOn501([&] { return Enroll(&group.group); }), TCS_RESULT_OK);
    EXPECT_NE(context()->workTemplate, 0u);
    EXPECT_EQ(swipedAgainOn501([&] { return Verify(&group.group); }), TCS_RESULT_OK);
    tcsHandleDestroy(context()->workTemplate);
    context()->workTemplate = 0;
    EXPECT_EQ(swipedAgainOn501([&] {
                  // A failed attempt leaves its matcher open, which a new HighLevelEnroll refuses.
                  if (context()->matcher != 0) tcsMatcherClose(context()->matcher);
                  context()->matcher = 0;
                  return HighLevelEnroll(&group.group);
              }),
              TCS_RESULT_OK);
    EXPECT_NE(context()->workTemplate, 0u);
    EXPECT_EQ(swipedAgainOn501([&] { return HighLevelVerify(&group.group); }), TCS_RESULT_OK);
    stopFeeding();
}

// The group's entries in list order, read under its lock.
std::vector<GroupSensorEntry*> entriesOf(SensorGroup* group) {
    std::vector<GroupSensorEntry*> entries;
    palCriticalSectionAcquire(group->lock);
    for (PalListEntry* link = group->entries.next; link != &group->entries; link = link->next) {
        entries.push_back(reinterpret_cast<GroupSensorEntry*>(link));
    }
    palCriticalSectionRelease(group->lock);
    return entries;
}

// No finger rests on the first sensor, so its capture waits (with one resting and never swiped,
// the stack ends the capture with 501 about half a second after it armed: see the README).
class GroupPlugTest : public SamplesTest {
protected:
    void SetUp() override {
        firstFinger_ = 0;
        SamplesTest::SetUp();
    }
};

TEST_F(GroupPlugTest, SensorPluggedWhileTheGroupWaitsForASwipeJoinsTheCaptureAndDeliversThePrint) {
    Group group(context());
    ASSERT_EQ(GroupSize(), 1u);
    GroupSensorEntry* winner = nullptr;
    auto capturing = std::async(std::launch::async, [&] { return GroupGetFingerprint(&winner, 20000, &group.group, 0); });
    // Once the first sensor waits for a finger a second one is plugged, with a finger ready to swipe
    // over it as soon as it asks.
    ASSERT_TRUE(waitUntil([&] {
        const auto entries = entriesOf(&group.group);
        return group.group.state == 3 && entries.size() == 1 && entries[0]->armed != 0;
    }));
    feed("TOV00002", 2);
    std::ofstream(dir_ + "/sensors/sensors", std::ios::app) << "TOV00002 0001 0 1 4.30\n";

    ASSERT_EQ(capturing.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(capturing.get(), TCS_RESULT_OK);
    stopFeeding();
    // The new sensor joined the group behind the first and its print won.
    EXPECT_EQ(GroupSize(), 2u);
    const auto entries = entriesOf(&group.group);
    ASSERT_EQ(entries.size(), 2u);
    ASSERT_EQ(winner, entries[1]);
    EXPECT_NE(std::strstr(winner->sensorId, "tov00002"), nullptr) << winner->sensorId;
    EXPECT_EQ(winner->index, entries[0]->index + 1);
    EXPECT_NE(winner->image, 0u);
    EXPECT_GT(tcsImageGetRows(winner->image), 100u);
    // The first sensor's capture was aborted and its completion came, without an image.
    EXPECT_EQ(entries[0]->captureState, 2u);
    EXPECT_EQ(entries[0]->captureStatus, 501u);
    EXPECT_EQ(entries[0]->image, 0u);
    EXPECT_EQ(group.group.state, 2u);
    // Both sensors are open and answer.
    EXPECT_EQ(GroupSensorPrintVersion(&group.group), TCS_RESULT_OK);
    tcsHandleDestroy(winner->image);
    winner->image = 0;
}

}  // namespace
