// Test fixture of the database service: the whole stack without a sensor, one client, and a host
// flash-image database formatted in a temporary directory.
#pragma once

#include "tcs/database/dss_interface.h"
#include "tests/tcs/stack_fixture.h"

#include <atomic>
#include <string>
#include <vector>

class DssServiceTest : public StackFixture {
protected:
    DssServiceTest() { folderName_ = "dss_service"; }

    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(StackFixture::SetUp());
        url_ = "file://" + dir_ + "/db.img";
        startStack();
        ASSERT_EQ(tcsDatabaseFormatDatabaseA(client_, url_.c_str()), TCS_RESULT_OK);
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
