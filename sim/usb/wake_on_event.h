// Virtual sensor: the wake-on-event detector, which the finger-status command reads.
#pragma once

#include "sim/usb/firmware.h"

#include <vector>

namespace simusb {

// While the detector is armed the sensor does not measure the finger: it reports state 0, with
// flag 0x10 once a finger has woken it (and then disarms). False when the detector is not armed
// (the finger status is the measured one).
bool wakeOnEventFingerStatus(Firmware& firmware, std::vector<uint8_t>& payload);

}  // namespace simusb
