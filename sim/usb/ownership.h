// Virtual sensor: what other firmware modules read of the ownership state (cmd_ownership.cpp).
#pragma once

#include "sim/usb/firmware.h"

namespace simusb {

// True while the sensor has no owner; the version record then carries flag 0x80 (ready to pair).
bool ownershipOpenForPairing(Firmware& firmware);

}  // namespace simusb
