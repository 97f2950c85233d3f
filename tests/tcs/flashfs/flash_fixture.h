// A sensor handle over the virtual sensor with its 1 MiB flash, for the flash storage tests.
#pragma once

#include "../sensorctl/fixture.h"

#include "tcs/flashfs/xtfs_storage.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"

#include <cstring>
#include <vector>

namespace xtfstest {

using Bytes = std::vector<uint8_t>;

class FlashTest : public scstest::ReadySensor {
protected:
    void TearDown() override {
        simusb::setCommandHook(0x0B, nullptr);
        // Whatever a test left open is closed here, so the storage record goes with it.
        for (int round = 0; round < 8 && device_ != nullptr && device_->storageInfo != nullptr; ++round) {
            for (uint32_t kind = 0; kind < 4; ++kind) xtfsStorageCleanup(device_, kind);
        }
        ReadySensor::TearDown();
    }

    // The virtual flash; blank until the sensor first writes it.
    Bytes flash() {
        Bytes f = simusb::storedState(sensor_, "flash");
        if (f.size() != (1u << 20)) f.assign(1u << 20, 0xFF);
        return f;
    }
    // Lays bytes into the virtual flash (blank elsewhere).
    void seed(uint32_t address, const Bytes& bytes) {
        Bytes f = flash();
        std::copy(bytes.begin(), bytes.end(), f.begin() + address);
        simusb::setStoredState(sensor_, "flash", f);
    }
    // SPI transfers (command 0x0B) that reached the sensor, by their first MOSI byte.
    std::vector<uint8_t> spiOpcodes() {
        std::vector<uint8_t> ops;
        for (const Bytes& request : simusb::commandLog(sensor_)) {
            if (request.size() > 35 && request[0] == 0x0B) ops.push_back(request[35]);
        }
        return ops;
    }
    XtfsStorageInfo* info() { return GetStorageInfo(handle_); }
};

}  // namespace xtfstest
