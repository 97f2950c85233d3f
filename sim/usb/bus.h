// Virtual sensor: the emulated bus shared by the control interface and the libusb-0.1 functions.
#pragma once

#include "sim/usb/firmware.h"
#include "sim/usb/sim_usb.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace simusb::detail {

using Clock = std::chrono::steady_clock;

struct PendingReply {
    std::vector<uint8_t> bytes;
    Clock::time_point readyAt;
};

// One sensor as plugged by a test. Handles keep it alive after an unplug so that their
// transfers can answer -ENODEV.
struct Sensor {
    Sensor(SensorId id, const SensorSpec& identity) : id(id), identity(identity), firmware(identity.serial, identity.productId, identity.variant) {}

    SensorId id;
    SensorSpec identity;
    Firmware firmware;
    bool plugged = true;
    uint32_t generation = 0;  // goes up with every reset and unplug: older handles are stale
    int devnum = 0;
    std::deque<PendingReply> replies;
    size_t fingerprintOffset = 0;  // bytes of the front fingerprint transfer already read
    uint32_t delayMs = 0;
    uint32_t delayCount = 0;
    uint32_t dropCount = 0;
    std::map<uint8_t, std::deque<ReadStep>> readSteps;  // by IN endpoint address
    std::deque<WriteFault> writeFaults;
    std::set<uint8_t> stalled;  // endpoint addresses
    std::vector<std::vector<uint8_t>> log;
    std::vector<ReadRecord> reads;
    bool resetAfterReply = false;  // the reset command: re-enumerate once its reply was read
};

struct Bus {
    std::mutex mutex;
    std::condition_variable changed;  // any plug, unplug, reset, reply, data or release
    std::map<SensorId, std::shared_ptr<Sensor>> sensors;  // plugged only
    SensorId nextId = 1;
    std::map<int, int> nextDevnum;  // by bus number
    std::map<uint8_t, CommandHook> hooks;
    std::string stateDirectory;
    int openHandles = 0;
};

// Never destroyed: the stack's threads may still be in a transfer while the process exits.
Bus& bus();

// Plugged sensors in id order (with the bus locked).
std::vector<std::shared_ptr<Sensor>> pluggedSensors();

// Port reset: the sensor re-enumerates under a new device number, losing what was in flight.
bool resetSensor(Sensor& sensor);
// After the firmware ran a command: writes its stored state when it changed.
void afterCommand(Sensor& sensor);

// Called once by usb_init in the preloadable build: sets the bus up from the environment.
void configureFromEnvironment();

}  // namespace simusb::detail
