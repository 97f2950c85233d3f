// Virtual sensor: the control interface over the emulated bus (plug, unplug, reset, faults, log, state).
#include "sim/usb/bus.h"

#include <cstdio>

namespace simusb {
namespace detail {

Bus& bus() {
    static Bus* const instance = new Bus;
    return *instance;
}

std::vector<std::shared_ptr<Sensor>> pluggedSensors() {
    std::vector<std::shared_ptr<Sensor>> out;
    for (auto& [id, sensor] : bus().sensors) out.push_back(sensor);
    return out;
}

}  // namespace detail

using namespace detail;

namespace {

std::shared_ptr<Sensor> find(SensorId id) {
    auto it = bus().sensors.find(id);
    return it == bus().sensors.end() ? nullptr : it->second;
}

// Device numbers 2-127 per bus (1 is the root hub), handed out in turn and never two at once.
int nextDevnum(int busNumber) {
    Bus& b = bus();
    int& next = b.nextDevnum[busNumber];
    for (int tries = 0; tries < 126; ++tries) {
        if (next < 2 || next > 127) next = 2;
        int candidate = next++;
        bool used = false;
        for (auto& [id, sensor] : b.sensors) {
            if (sensor->identity.bus == busNumber && sensor->devnum == candidate) used = true;
        }
        if (!used) return candidate;
    }
    return 0;
}

void saveIfChanged(Sensor& sensor) {
    if (sensor.firmware.takeStoredDirty() && !bus().stateDirectory.empty()) {
        if (!sensor.firmware.save(bus().stateDirectory)) {
            std::fprintf(stderr, "virtual sensor: cannot write state of %s to %s\n", sensor.identity.serial.c_str(),
                         bus().stateDirectory.c_str());
        }
    }
}

// The sensor leaves the bus as it was: what was in flight is lost, open handles go stale.
void disconnect(Sensor& sensor) {
    ++sensor.generation;
    sensor.replies.clear();
    sensor.fingerprintOffset = 0;
    sensor.resetAfterReply = false;
    sensor.firmware.powerCycle();
}

}  // namespace

namespace detail {
// Used by usb_reset as well as by the control interface.
bool resetSensor(Sensor& sensor) {
    if (!sensor.plugged) return false;
    disconnect(sensor);
    // A new number only once the old one is released, like a hub re-enumerating the port.
    sensor.devnum = 0;
    sensor.devnum = nextDevnum(sensor.identity.bus);
    bus().changed.notify_all();
    return true;
}

void afterCommand(Sensor& sensor) { saveIfChanged(sensor); }
}  // namespace detail

SensorId plug(const SensorSpec& identity) {
    Bus& b = bus();
    std::lock_guard lock(b.mutex);
    if (!identity.serial.empty()) {
        for (auto& [id, sensor] : b.sensors) {
            if (sensor->identity.serial == identity.serial) return 0;
        }
    }
    if (identity.bus < 1 || identity.bus > 127) return 0;
    auto sensor = std::make_shared<Sensor>(b.nextId, identity);
    sensor->devnum = nextDevnum(identity.bus);
    if (sensor->devnum == 0) return 0;
    sensor->firmware.load(b.stateDirectory);
    b.sensors[sensor->id] = sensor;
    ++b.nextId;
    b.changed.notify_all();
    return sensor->id;
}

bool unplug(SensorId id) {
    Bus& b = bus();
    std::lock_guard lock(b.mutex);
    auto sensor = find(id);
    if (!sensor) return false;
    saveIfChanged(*sensor);
    disconnect(*sensor);
    sensor->plugged = false;
    b.sensors.erase(id);
    b.changed.notify_all();
    return true;
}

bool reset(SensorId id) {
    std::lock_guard lock(bus().mutex);
    auto sensor = find(id);
    return sensor && resetSensor(*sensor);
}

std::string busDirName(SensorId id) {
    std::lock_guard lock(bus().mutex);
    auto sensor = find(id);
    if (!sensor) return {};
    char name[8];
    std::snprintf(name, sizeof name, "%03d", sensor->identity.bus);
    return name;
}

std::string deviceFileName(SensorId id) {
    std::lock_guard lock(bus().mutex);
    auto sensor = find(id);
    if (!sensor) return {};
    char name[8];
    std::snprintf(name, sizeof name, "%03d", sensor->devnum);
    return name;
}

void resetAll() {
    Bus& b = bus();
    std::lock_guard lock(b.mutex);
    for (auto& [id, sensor] : b.sensors) {
        saveIfChanged(*sensor);
        disconnect(*sensor);
        sensor->plugged = false;
    }
    b.sensors.clear();
    b.hooks.clear();
    b.stateDirectory.clear();
    b.changed.notify_all();
}

int openHandleCount() {
    std::lock_guard lock(bus().mutex);
    return bus().openHandles;
}

void delayReplies(SensorId id, uint32_t ms, uint32_t count) {
    std::lock_guard lock(bus().mutex);
    if (auto sensor = find(id)) {
        sensor->delayMs = ms;
        sensor->delayCount = count;
    }
}

void dropReplies(SensorId id, uint32_t count) {
    std::lock_guard lock(bus().mutex);
    if (auto sensor = find(id)) sensor->dropCount = count;
}

void scriptReads(SensorId id, uint8_t endpoint, std::vector<ReadStep> steps) {
    std::lock_guard lock(bus().mutex);
    if (auto sensor = find(id)) {
        auto& queue = sensor->readSteps[uint8_t(endpoint | 0x80)];
        queue.insert(queue.end(), steps.begin(), steps.end());
    }
}

void failWrites(SensorId id, WriteFault fault, uint32_t count) {
    std::lock_guard lock(bus().mutex);
    if (auto sensor = find(id)) sensor->writeFaults.insert(sensor->writeFaults.end(), count, fault);
}

void stallEndpoint(SensorId id, uint8_t endpoint, bool stalled) {
    std::lock_guard lock(bus().mutex);
    if (auto sensor = find(id)) {
        if (stalled) {
            sensor->stalled.insert(endpoint);
        } else {
            sensor->stalled.erase(endpoint);
        }
        bus().changed.notify_all();
    }
}

void pushFingerprintData(SensorId id, std::span<const uint8_t> data) {
    std::lock_guard lock(bus().mutex);
    if (auto sensor = find(id)) {
        sensor->firmware.sendFingerprintData(std::vector<uint8_t>(data.begin(), data.end()));
        bus().changed.notify_all();
    }
}

std::vector<std::vector<uint8_t>> commandLog(SensorId id) {
    std::lock_guard lock(bus().mutex);
    auto sensor = find(id);
    return sensor ? sensor->log : std::vector<std::vector<uint8_t>>{};
}

std::vector<std::vector<uint8_t>> sessionCommandLog(SensorId id) {
    std::lock_guard lock(bus().mutex);
    auto sensor = find(id);
    return sensor ? sensor->firmware.sessionLog() : std::vector<std::vector<uint8_t>>{};
}

void clearCommandLog(SensorId id) {
    std::lock_guard lock(bus().mutex);
    if (auto sensor = find(id)) {
        sensor->log.clear();
        sensor->firmware.sessionLog().clear();
    }
}

std::vector<ReadRecord> readLog(SensorId id) {
    std::lock_guard lock(bus().mutex);
    auto sensor = find(id);
    return sensor ? sensor->reads : std::vector<ReadRecord>{};
}

void setCommandHook(uint8_t code, CommandHook hook) {
    std::lock_guard lock(bus().mutex);
    if (hook) {
        bus().hooks[code] = std::move(hook);
    } else {
        bus().hooks.erase(code);
    }
}

void setStateDirectory(const std::string& directory) {
    std::lock_guard lock(bus().mutex);
    bus().stateDirectory = directory;
}

std::vector<uint8_t> storedState(SensorId id, const std::string& name) {
    std::lock_guard lock(bus().mutex);
    auto sensor = find(id);
    return sensor ? sensor->firmware.stored(name) : std::vector<uint8_t>{};
}

std::vector<uint8_t> transientState(SensorId id, const std::string& name) {
    std::lock_guard lock(bus().mutex);
    auto sensor = find(id);
    return sensor ? sensor->firmware.transient(name) : std::vector<uint8_t>{};
}

void setStoredState(SensorId id, const std::string& name, std::vector<uint8_t> value) {
    std::lock_guard lock(bus().mutex);
    if (auto sensor = find(id)) {
        sensor->firmware.stored(name) = std::move(value);
        sensor->firmware.storedChanged();
        saveIfChanged(*sensor);
    }
}

}  // namespace simusb
