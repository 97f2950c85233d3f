// Virtual sensor: a small analog front end. A calibration capture steps one register through its
// sweep while the sensor scans; each register moves the column levels in a simple, known way, so
// that a sound host calibration lands on one setting per register:
//   capacitor code (0x200C)      odd columns settle towards 200 (40, 160, 190, 198, 200, ...); even 40
//   PGA offset (0x300420C8)      every column at 127 + 6 x (value - 0x40), so mid-scale at 0x40
//   ADC delay (0x2014, bits 16+) columns in pairs; the level peaks at delay 12
//   PGA gain (0x30042120)        even columns fall by 20 (left half) or 25 (right half) a step from
//                                200, odd columns rise by 20 from 100
//   ASP PGA (0x300421A0)         alternate-column contrast rises 10 a step to gain 6, then falls
//   ASP LNA (0x30042184)         the same contrast against the pass's gain record's LNA1B (peak 4)
//   WOE threshold (0x30042300)   4-byte entries; status 0x10, plus 0x08 (triggered) from 0x21 on,
//                                never with a dead detector
#include "sim/usb/analog_model.h"

#include "sim/usb/fields.h"

#include <algorithm>
#include <array>
#include <cstdlib>

namespace simusb {
namespace {

constexpr uint32_t kHeader = 8;
constexpr uint32_t kPgaOffsetRegister = 0x300420C8;
constexpr int kPgaOffsetLevelPerStep = 6;  // as afe_drift.cpp trims the resting levels

struct Sweep {
    uint32_t reg = 0;
    std::vector<uint32_t> values;
    uint32_t linesPerPoint = 1;
    std::vector<std::array<uint8_t, 16>> gainTable;
};


bool readSweep(std::span<const uint8_t> records, Sweep& sweep) {
    bool found = false;
    for (size_t at = 0; records.size() - at >= 4;) {
        const uint16_t tag = getU16(records, at);
        const uint16_t length = getU16(records, at + 2);
        if (records.size() - at - 4 < length) break;
        auto data = records.subspan(at + 4, length);
        if (tag == 13 && length >= 40) {
            sweep.reg = getU32(data, 0);
            const uint32_t start = getU32(data, 4), step = getU32(data, 8), end = getU32(data, 12);
            const uint32_t reps = std::max<uint32_t>(1, getU32(data, 20));
            if (step == 0 || end < start) return false;
            for (uint32_t r = 0; r < reps; ++r) {
                for (uint64_t v = start; v <= end; v += step) sweep.values.push_back(uint32_t(v));
            }
            found = true;
        } else if (tag == 17 && length >= 2) {
            sweep.linesPerPoint = std::max<uint32_t>(1, getU16(data, 0));
        } else if (tag == 14 && length % 16 == 0) {
            for (size_t i = 0; i < length; i += 16) {
                std::array<uint8_t, 16> record{};
                std::copy_n(data.begin() + i, 16, record.begin());
                sweep.gainTable.push_back(record);
            }
        }
        at += 4 + length;
    }
    return found && !sweep.values.empty();
}

uint8_t clampLevel(int value) { return uint8_t(std::clamp(value, 0, 255)); }

int contrastLevel(uint32_t column, int contrast) { return column % 2 == 0 ? 100 + contrast / 2 : 100 - contrast / 2; }

// Level of one column while the swept register holds `value` (`pass` counts the sweep's passes).
uint8_t columnLevel(const Sweep& sweep, uint32_t value, uint32_t pass, uint32_t column, uint32_t columns) {
    switch (sweep.reg) {
        case 0x200C: {
            if (column % 2 == 0) return 40;
            const uint32_t code = value;
            if (code == 0) return 40;
            const uint32_t shift = 2 * (code - 1);
            return clampLevel(200 - (shift >= 16 ? 0 : int(160u >> shift)));
        }
        case kPgaOffsetRegister: return clampLevel(127 + kPgaOffsetLevelPerStep * (int(value) - 0x40));
        case 0x2014: {
            const int delay = int((value >> 16) & 0xFF);
            const int peak = std::max(0, 120 - 12 * std::abs(delay - 12));
            return clampLevel((column / 2) % 2 == 0 ? 60 + peak : 40 + peak / 2);
        }
        case 0x30042120: {
            const int gain = int(value);
            if (column % 2 == 1) return clampLevel(100 + 20 * gain);
            return clampLevel(200 - (column < columns / 2 ? 20 : 25) * gain);
        }
        case 0x300421A0: {
            const int gain = int(value);
            const int contrast = gain <= 6 ? 10 * gain : std::max(0, 60 - 8 * (gain - 6));
            return clampLevel(contrastLevel(column, contrast));
        }
        case 0x30042184: {
            const int lna1b = pass < sweep.gainTable.size() ? sweep.gainTable[pass][2] : 0;
            const int contrast = lna1b <= 4 ? 10 * lna1b : std::max(0, 40 - 15 * (lna1b - 4));
            return clampLevel(contrastLevel(column, contrast));
        }
        default: return 0x80;
    }
}

}  // namespace

std::vector<uint8_t> analogModelCapture(uint16_t lineLength, uint16_t lines, std::span<const uint8_t> records,
                                        int drift, bool woeDetectorDead) {
    Sweep sweep;
    if (lineLength <= kHeader || lines == 0 || !readSweep(records, sweep)) return {};
    std::vector<uint8_t> out(size_t(lineLength) * lines, 0);
    const uint32_t columns = lineLength - kHeader;
    const uint32_t dataLines = lines - 1u;
    size_t woeIndex = 0;
    for (uint32_t line = 0; line < dataLines; ++line) {
        uint8_t* row = out.data() + size_t(line) * lineLength;
        row[2] = uint8_t(line + 1);
        row[3] = uint8_t((line + 1) >> 8);
        if (sweep.reg == 0x30042300) {
            for (uint32_t at = kHeader; at + 4 <= lineLength; at += 4) {
                const uint32_t value = sweep.values[woeIndex % sweep.values.size()];
                row[at] = uint8_t(0x10 | (value >= 0x21 && !woeDetectorDead ? 0x08 : 0));
                ++woeIndex;
            }
            continue;
        }
        const uint32_t point = line / sweep.linesPerPoint;
        const uint32_t value = sweep.values[point % sweep.values.size()];
        const uint32_t pass = point / uint32_t(sweep.values.size());
        for (uint32_t c = 0; c < columns; ++c) {
            const uint8_t level = columnLevel(sweep, value, pass, c, columns);
            row[kHeader + c] = sweep.reg == kPgaOffsetRegister ? clampLevel(level + drift) : level;
        }
    }
    uint8_t* marker = out.data() + size_t(dataLines) * lineLength;
    marker[0] = 1;
    marker[1] = 1;
    return out;
}

}  // namespace simusb
