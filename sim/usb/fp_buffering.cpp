// Virtual sensor firmware: fingerprint buffering of a capture (firmware 4.60), see fp_buffering.h.
#include "sim/usb/fp_buffering.h"

#include "sim/usb/fields.h"

#include <algorithm>

namespace simusb {
namespace {

constexpr uint16_t kTagBuffering = 34;
constexpr uint16_t kBufferingRecordLength = 16;
// What the sensor scans before the swipe: records of 144 bytes, each opening with 1, 254. The
// first two go to the host ahead of the swipe, up to sixteen more into the ring.
constexpr uint32_t kRecordLength = 144;
constexpr uint32_t kHostRecords = 2;
constexpr uint32_t kRingRecords = 16;
// A ring block's byte at 0xFF00 marks it consumed: the sensor never writes it.
constexpr uint32_t kBlockSize = 0x10000;
constexpr uint32_t kBlockMarker = 0xFF00;
constexpr uint32_t kClosingMagic = 0x45465042;
// transient "fpBuffering": {1, u16 line length, u32 bytes in the ring} while the swipe is awaited.
constexpr size_t kStateSize = 7;

std::vector<uint8_t> restingRecords(uint32_t first, uint32_t count) {
    std::vector<uint8_t> out(size_t(count) * kRecordLength);
    for (uint32_t r = 0; r < count; ++r) {
        uint8_t* at = out.data() + size_t(r) * kRecordLength;
        const uint16_t time = uint16_t((first + r) * 10);
        const uint8_t header[8] = {1, 254, uint8_t(time), uint8_t(time >> 8), 0, 0, 0, 0};
        std::copy(header, header + 8, at);
        for (uint32_t col = 8; col < kRecordLength; ++col) at[col] = uint8_t(0x70 + ((first + r) * 3 + col * 5) % 32);
    }
    return out;
}

// Bytes of the ring the sensor may fill from the read position: up to the window's end, and short
// of the consumed mark of the block it starts in.
uint32_t ringRoom(uint32_t readPosition, uint32_t windowEnd, size_t flashSize) {
    if (readPosition > windowEnd || windowEnd >= flashSize) return 0;
    const uint32_t inBlock = readPosition % kBlockSize;
    if (inBlock >= kBlockMarker) return 0;
    return std::min(windowEnd + 1 - readPosition, kBlockMarker - inBlock);
}

}  // namespace

void fpBufferingStart(Firmware& fw, uint16_t lineLength, std::span<const uint8_t> records) {
    std::vector<uint8_t>& state = fw.transient("fpBuffering");
    state.clear();
    size_t at = 0;
    while (at + 4 <= records.size() && getU16(records, at) != kTagBuffering) at += 4 + getU16(records, at + 2);
    if (at + 4 + kBufferingRecordLength > records.size() || getU16(records, at + 2) != kBufferingRecordLength) return;
    const uint32_t readPosition = getU32(records, at + 4);
    const uint32_t windowEnd = getU32(records, at + 8);
    std::vector<uint8_t>& flash = sensorFlash(fw);
    const uint32_t count = std::min(kRingRecords, ringRoom(readPosition, windowEnd, flash.size()) / kRecordLength);
    const std::vector<uint8_t> kept = restingRecords(kHostRecords, count);
    // NOR programming only clears bits: the host erased the ring behind its read position.
    for (size_t i = 0; i < kept.size(); ++i) flash[readPosition + i] &= kept[i];
    if (!kept.empty()) fw.storedChanged();
    state.assign(kStateSize, 0);
    state[0] = 1;
    putU16(state, 1, lineLength);
    putU32(state, 3, uint32_t(kept.size()));
}

std::vector<uint8_t> fpBufferingFrame(Firmware& fw, std::vector<uint8_t> lines) {
    std::vector<uint8_t>& state = fw.transient("fpBuffering");
    if (state.size() != kStateSize) return lines;
    const uint16_t lineLength = getU16(state, 1);
    const uint32_t inRing = getU32(state, 3);
    state.clear();
    // The host drops the header line and keeps what comes before the third 1, 254: the two
    // records, then the swipe's first line carries the mark.
    std::vector<uint8_t> out(lineLength, 0);
    const std::vector<uint8_t> head = restingRecords(0, kHostRecords);
    out.insert(out.end(), head.begin(), head.end());
    if (lines.size() >= 2) lines[1] = 254;
    out.insert(out.end(), lines.begin(), lines.end());
    // The closing lines end the same transfer: the host keeps the last line of each delivery longer
    // than a line, and has ended the data by the time a later transfer could come. The closing line
    // holds no 1 byte that could open a record.
    const size_t closing = out.size() + lineLength;
    out.resize(closing + lineLength, 0);
    if (lineLength >= 16) {
        putU32(out, closing + 8, kClosingMagic);
        putU32(out, closing + 12, inRing);
    }
    return out;
}

void fpBufferingStop(Firmware& fw) {
    // No swipe came: the frame alone.
    if (fw.transient("fpBuffering").size() == kStateSize) fw.sendFingerprintData(fpBufferingFrame(fw, {}));
}

}  // namespace simusb
