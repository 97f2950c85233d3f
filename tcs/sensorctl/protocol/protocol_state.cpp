// Per-device state of the command protocol, kept beside the device record and keyed by it.
#include "tcs/sensorctl/protocol/protocol_state.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace scsproto {
namespace {

std::mutex& tableLock() {
    static std::mutex lock;
    return lock;
}

std::map<ScsSensorDevice*, std::unique_ptr<DeviceState>>& table() {
    static auto* states = new std::map<ScsSensorDevice*, std::unique_ptr<DeviceState>>;
    return *states;
}

}  // namespace

DeviceState::DeviceState() { std::memset(pendingSignature, 0xFF, sizeof pendingSignature); }

DeviceState* stateOf(ScsSensorDevice* device) {
    if (device == nullptr) return nullptr;
    std::lock_guard lock(tableLock());
    auto& slot = table()[device];
    if (!slot) slot.reset(new (std::nothrow) DeviceState());
    return slot.get();
}

void forget(ScsSensorDevice* device) {
    std::unique_ptr<DeviceState> gone;
    {
        std::lock_guard lock(tableLock());
        auto it = table().find(device);
        if (it == table().end()) return;
        gone = std::move(it->second);
        table().erase(it);
    }
    if (gone) scsHarlokFreePrintConfig(&gone->defaultConfig);
}

}  // namespace scsproto

extern "C" void scsProtocolDeviceFreed(ScsSensorDevice* device) { scsproto::forget(device); }
