// The service stand-in as its own process, in a private folder and key-file prefix: a framework
// program that loads libtovkit.so walks its road through it; the service leaves nothing behind when
// it stops; a call in flight when the service is killed ends, and a new service starts cleanly over
// what the killed one left.
#include "apps/shared/calls.h"
#include "apps/shared/client.h"
#include "apps/shared/client_test_seams.h"
#include "platform/test_seams.h"
#include "tests/sim/framework/processes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <condition_variable>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
constexpr const char* kSerial = "TOV00001";

using tovtest::spawn;
using tovtest::waitFor;

std::string contents(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class ServiceProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/tovsvcXXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        pipes_ = dir_ + "/";
        prefix_ = dir_ + "/k_";
        sensors_ = dir_ + "/sensors";
    }
    void TearDown() override {
        // Stopped in order, so it removes its System V objects: a killed service leaves them, and a
        // later key file whose inode matches takes their key.
        if (const pid_t service = service_; service > 0 && stopService() < 0) {
            kill(service, SIGKILL);
            waitFor(service, std::chrono::seconds(5));
        }
        tovClientTestSetPipeDirectory(nullptr);
        palTestSetIpcKeyPrefix(nullptr);
        fs::remove_all(dir_);
    }

    void startService(const std::string& log) {
        service_ = spawn({TOV_SERVICE_PROGRAM, pipes_, prefix_, sensors_}, dir_ + "/" + log);
        ASSERT_GT(service_, 0);
        for (int i = 0; i < 500 && !fs::exists(prefix_ + "ServiceReady"); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(fs::exists(prefix_ + "ServiceReady")) << contents(dir_ + "/" + log);
    }

    int stopService() {
        kill(service_, SIGTERM);
        int status = waitFor(service_, std::chrono::seconds(15));
        service_ = 0;
        return status;
    }

    // What is left in the folder besides the sensors' state folder and the logs.
    std::vector<std::string> leftovers() {
        std::vector<std::string> left;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            const std::string name = entry.path().filename();
            if (name != "sensors" && name.find(".log") == std::string::npos) left.push_back(name);
        }
        return left;
    }

    std::string dir_, pipes_, prefix_, sensors_;
    pid_t service_ = 0;
};

// The framework program's output and exit status (-1 when it did not end in time).
int runFramework(const std::vector<std::string>& arguments, const std::string& log, std::string* said) {
    pid_t framework = spawn(arguments, log);
    const int status = waitFor(framework, std::chrono::seconds(100));
    if (status < 0) {
        kill(framework, SIGKILL);
        waitFor(framework, std::chrono::seconds(5));
    }
    *said = contents(log);
    return status;
}

TEST_F(ServiceProcessTest, FrameworkProgramWalksItsRoadThroughTheServiceAndTheServiceLeavesNothingBehind) {
    startService("service.log");
    std::string said;
    // Enroll alice, bob and carol by swipes; alice's finger verifies, another does not; carol is
    // identified among the three.
    EXPECT_EQ(runFramework({TOV_FRAMEWORK_PROGRAM, TOV_TOVKIT_LIBRARY, sensors_, kSerial, pipes_, prefix_},
                           dir_ + "/road.log", &said),
              0)
        << said;
    for (const char* step : {"tfs_wait_for_service: 0", "tfs_dev_init: 0", "enroll alice: ENROLLED",
                             "verify alice with her own finger: MATCH", "verify alice with another finger: NO MATCH",
                             "identify among 3 users: carol", "tfs_dev_exit"}) {
        EXPECT_NE(said.find(step), std::string::npos) << step << "\n" << said;
    }
    EXPECT_EQ(stopService(), 0);
    // Ready file, FIFOs, key files of the segments, semaphores and events: all gone.
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

TEST_F(ServiceProcessTest, CapturingDeviceReadsItsImagesBackThroughTheService) {
    startService("service.log");
    std::string said;
    // Three swipes captured with tfs_capture, their images read back.
    EXPECT_EQ(runFramework({TOV_FRAMEWORK_PROGRAM, "--capture-only", TOV_TOVKIT_LIBRARY, sensors_, kSerial, pipes_,
                            prefix_},
                           dir_ + "/capture.log", &said),
              0)
        << said;
    EXPECT_NE(said.find("swipe of synthetic finger 2: success"), std::string::npos) << said;
}

TcsResult ignoreCapture(void*, TcsResult, void*) { return TCS_RESULT_OK; }

struct Ready {
    std::mutex lock;
    std::condition_variable changed;
    std::string sensor;
};

TcsResult onSystemEvent(void*, void* context, EventRecord* event) {
    auto* ready = static_cast<Ready*>(context);
    if (event->id == 3 && event->data != nullptr) {
        std::lock_guard<std::mutex> hold(ready->lock);
        ready->sensor.assign(static_cast<const char*>(event->data), strnlen(static_cast<const char*>(event->data),
                                                                               event->dataSize));
        ready->changed.notify_all();
    }
    return TCS_RESULT_OK;
}

TEST_F(ServiceProcessTest, CallInFlightEndsWhenTheServiceIsKilledAndANewServiceStartsCleanly) {
    tovClientTestSetPipeDirectory(pipes_.c_str());
    palTestSetIpcKeyPrefix(prefix_.c_str());
    startService("first.log");
    Ready ready;
    TcsHandle client = 0, sensor = 0;
    ASSERT_EQ(tcsClientCreate(&client), TCS_RESULT_OK);
    ASSERT_EQ(tcsClientEventsAddCallback(client, onSystemEvent, &ready), TCS_RESULT_OK);
    {
        std::unique_lock<std::mutex> hold(ready.lock);
        ASSERT_TRUE(ready.changed.wait_for(hold, std::chrono::seconds(60), [&] { return !ready.sensor.empty(); }));
    }
    ASSERT_EQ(tcsSensorOpenA(client, ready.sensor.c_str(), &sensor), TCS_RESULT_OK);
    // A capture waits for a swipe that never comes; the service dies under it, and the next call,
    // which waits for its reply without a time limit, ends rather than hang.
    ASSERT_EQ(tcsSensorGetFingerprintAsyncA(sensor, ignoreCapture, nullptr, nullptr), TCS_RESULT_OK);
    kill(service_, SIGKILL);
    waitFor(service_, std::chrono::seconds(5));
    service_ = 0;
    auto aborting = std::async(std::launch::async, [&] { return tcsSensorAbortFingerprint(sensor); });
    ASSERT_EQ(aborting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const TcsResult aborted = aborting.get();
    EXPECT_NE(aborted, TCS_RESULT_OK);  // the request finds no reader, or its reply never comes

    // A new service over what the killed one left: the old client is gone with it, a new one works.
    startService("second.log");
    EXPECT_NE(tcsClientDestroy(client), TCS_RESULT_OK);
    EXPECT_EQ(gClientSystem.clientCount, 0u);
    ready.sensor.clear();
    ASSERT_EQ(tcsClientCreate(&client), TCS_RESULT_OK);
    ASSERT_EQ(tcsClientEventsAddCallback(client, onSystemEvent, &ready), TCS_RESULT_OK);
    {
        std::unique_lock<std::mutex> hold(ready.lock);
        ASSERT_TRUE(ready.changed.wait_for(hold, std::chrono::seconds(60), [&] { return !ready.sensor.empty(); }));
    }
    ASSERT_EQ(tcsSensorOpenA(client, ready.sensor.c_str(), &sensor), TCS_RESULT_OK);
    // A service that stops in order says so in its state word first: every call then gets 500.
    EXPECT_EQ(stopService(), 0);
    EXPECT_EQ(tcsSensorClose(sensor), TOV_RESULT_SERVICE_STOPPED);
    tcsClientDestroy(client);
    EXPECT_EQ(gClientSystem.clientCount, 0u);
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

}  // namespace
