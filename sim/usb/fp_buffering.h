// Virtual sensor: fingerprint buffering (firmware 4.60). A capture whose get-print carries the
// buffering record keeps what it scanned before the swipe: its first records go out ahead of the
// swipe on 0x82, the rest into the flash ring the record names, and a closing line tells the host
// how much the ring holds.
#pragma once

#include "sim/usb/firmware.h"

#include <cstdint>
#include <span>
#include <vector>

namespace simusb {

// The 1 MiB NOR flash (stored "flash"), erased when first used.
std::vector<uint8_t>& sensorFlash(Firmware& firmware);

// A get-print that reads until stopped: with a buffering record ({u16 tag 34, u16 16, u32 read
// position, u32 window end, u32 first unit, u32 last unit}) among its records, the sensor writes
// its resting records into the ring and arms the framing of the swipe. Without one it disarms.
void fpBufferingStart(Firmware& firmware, uint16_t lineLength, std::span<const uint8_t> records);

// The swipe's lines as the sensor sends them: the first transfer of a buffered capture is preceded
// by a header line and the records kept for the host, its first line is marked as the first after
// them, and it ends with the closing lines {empty line, the line naming the flash part}. Other
// transfers pass as they are.
std::vector<uint8_t> fpBufferingFrame(Firmware& firmware, std::vector<uint8_t> lines);

// Stop-print of a buffered capture that no swipe came to: the frame goes out alone, closing lines
// and all; the capture is no longer buffered.
void fpBufferingStop(Firmware& firmware);

}  // namespace simusb
