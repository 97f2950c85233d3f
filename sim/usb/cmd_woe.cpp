// Virtual sensor firmware: wake on event. The set-up 0x12 {56-byte block} is kept as transient
// "woeSetup" and arms the detector; enter 0x0C {u16 argument} arms it again with the set-up kept
// (0x0403 when none was given since power-up; the argument is kept as transient "woeEnter"). While
// armed the sensor sleeps: a finger on it (stored "fingerState" {2, ...}) wakes it, and the next
// finger status reports {0, 0x10} and disarms; until then {0, 0}. A reset or unplug disarms.
#include "sim/usb/fields.h"
#include "sim/usb/wake_on_event.h"

namespace simusb {
namespace {

constexpr size_t kSetupBlock = 56;
constexpr uint16_t kStatusNoSetup = 0x0403;
constexpr uint8_t kFingerPresent = 2;
constexpr uint8_t kWokenByEvent = 0x10;

void woeSetup(Firmware& fw, std::span<const uint8_t> request, Reply&) {
    fw.transient("woeSetup").assign(request.begin() + 1, request.begin() + 1 + kSetupBlock);
    fw.transient("woeArmed") = {1};
}

void woeEnter(Firmware& fw, std::span<const uint8_t> request, Reply& reply) {
    if (fw.transient("woeSetup").size() != kSetupBlock) {
        reply.status = kStatusNoSetup;
        return;
    }
    fw.transient("woeEnter").assign(request.begin() + 1, request.begin() + 3);
    fw.transient("woeArmed") = {1};
}

constexpr CommandEntry kCommands[] = {
    {0x0C, 3, woeEnter},
    {0x12, 1 + kSetupBlock, woeSetup},
};

}  // namespace

bool wakeOnEventFingerStatus(Firmware& fw, std::vector<uint8_t>& payload) {
    std::vector<uint8_t>& armed = fw.transient("woeArmed");
    if (armed.empty()) return false;
    const std::vector<uint8_t>& finger = fw.stored("fingerState");
    const bool woken = !finger.empty() && finger[0] == kFingerPresent;
    payload.assign(5, 0);
    if (woken) {
        payload[1] = kWokenByEvent;
        armed.clear();
    }
    return true;
}

extern const CommandModule kWakeOnEventModule = {"wake on event", kCommands};

}  // namespace simusb
