// Test fixture of the database service: the whole stack without a sensor, one client, and a host
// flash-image database formatted in a temporary directory.
#pragma once

#include "platform/settings.h"
#include "platform/test_seams.h"
#include "platform/usb_test_seams.h"
#include "sim/usb/sim_usb.h"
#include "tcs/core.h"
#include "tcs/database/dss_interface.h"
#include "tcs/tcs.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

class DssServiceTest : public ::testing::Test {
protected:
    // No lock step; a service thread that waits 1 ms between passes.
    static constexpr uint32_t kStartFlags = 0x00100000u | TCS_START_FAST_POLL;

    void SetUp() override {
        simusb::resetAll();
        palTestSetUsbPollInterval(5);
        palTestSetUsbWorkerStopTimeout(0);
        char dir[] = "/tmp/dss_service_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        settings_ = dir_ + "/settings_" + std::to_string(getpid());
        palTestSetSettingsPath(settings_.c_str());
        url_ = "file://" + dir_ + "/db.img";
        ASSERT_EQ(tcsStartupEx(&stack_, kStartFlags, nullptr), TCS_RESULT_OK);
        ASSERT_EQ(tcsClientCreateSys(stack_, &client_), TCS_RESULT_OK);
        ASSERT_EQ(tcsDatabaseFormatDatabaseA(client_, url_.c_str()), TCS_RESULT_OK);
    }

    void TearDown() override {
        stop();
        simusb::resetAll();
        palTestSetUsbPollInterval(0);
        palTestSetSettingsPath(nullptr);
        std::system(("rm -rf " + dir_).c_str());
    }

    void stop() {
        if (client_ != 0) {
            EXPECT_EQ(tcsClientDestroy(client_), TCS_RESULT_OK);
        }
        client_ = 0;
        if (stack_ != nullptr) {
            EXPECT_EQ(tcsShutdown(stack_), TCS_RESULT_OK);
        }
        stack_ = nullptr;
    }

    TcsHandle openDatabase() {
        TcsHandle database = 0;
        EXPECT_EQ(tcsDatabaseOpenA(client_, url_.c_str(), &database), TCS_RESULT_OK);
        return database;
    }

    TcsHandle appStorage(TcsHandle database, const char* name = "APP") {
        TcsHandle app = 0;
        EXPECT_EQ(tcsDatabaseCreateAppStorage(database, name, 0, &app), TCS_RESULT_OK);
        return app;
    }

    static std::vector<uint8_t> bytes(const uint8_t* data, uint32_t length) {
        return std::vector<uint8_t>(data, data + length);
    }

    CoreSubsystem* stack_ = nullptr;
    TcsHandle client_ = 0;
    std::string dir_;
    std::string settings_;
    std::string url_;
};

// A completion of an asynchronous database call, counted.
struct DssCompletion {
    std::atomic<int> calls{0};
    std::atomic<uint32_t> result{0xFFFF};
    std::atomic<uint64_t> value{0};
};

inline TcsResult recordDssCompletion(uint64_t value, TcsResult result, void* context) {
    auto* c = static_cast<DssCompletion*>(context);
    c->value = value;
    c->result = result;
    c->calls++;
    return TCS_RESULT_OK;
}
