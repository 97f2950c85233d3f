// Virtual sensor: the drift of the analog front end, and the PGA offset that trims it.
#pragma once

#include "sim/usb/firmware.h"

#include <span>

namespace simusb {

// Stored "afeDrift" (one signed byte, 0 without it): how far every column level has moved since
// the sensor was made. A test sets it to make the sensor drift.
int afeDrift(Firmware& firmware);

// A capture's register writes (tag-3 records) are made before it scans and stay until power is
// lost; the PGA offset register (0x300420C8) is kept as transient "pgaOffset".
void afeRegisterWrites(Firmware& firmware, std::span<const uint8_t> records);

// How far the resting levels stand from mid-grey: the drift, plus 6 a step for the PGA offset away
// from its power-up value 0x40. A calibration that finds the offset for the drifted front end
// therefore brings the resting levels back once a capture has written it.
int afeLevelShift(Firmware& firmware);

}  // namespace simusb
