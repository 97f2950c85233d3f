// Virtual sensor: the signature of the last print, made by the capture and read by get print
// signature 0x03 (cmd_signature.cpp).
#pragma once

#include "sim/usb/firmware.h"

#include <cstdint>
#include <span>

namespace simusb {

// Called by a capture with the data it sends, before any encryption. `security` is the capture's
// security record (tag, length, data) or empty; the print is signed only when that record carries a
// signing key. Any other capture leaves the sensor without a print signature.
void signPrint(Firmware& firmware, std::span<const uint8_t> security, uint32_t lineLength,
               std::span<const uint8_t> data);

}  // namespace simusb
