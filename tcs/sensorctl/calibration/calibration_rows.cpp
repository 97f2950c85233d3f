// Built-in calibration data. The default and limit rows and the sweep rows below are this build's
// own: chosen to bracket what the virtual sensor's analog model settles on, not taken from a chip.
#include "tcs/sensorctl/calibration/calibration_rows.h"

#include <cstring>
#include <vector>

namespace {

// Defaults (CommDet CF1/CF2 as host-order u16, then the twelve gain bytes).
const uint8_t kDefCommDet[16] = {0x00, 0x03, 0x00, 0x03, 2, 2, 3, 3, 1, 1, 4, 4, 5, 5, 6, 6};
const uint8_t kDefPgaOffset[1] = {0x40};
const uint8_t kDefAdc[1] = {0x0A};
const uint8_t kDefPgaGain[2] = {0x09, 0x09};
const uint8_t kDefWoe[2] = {0x20, 0x80};
const uint8_t kDefAspLna1[6] = {1, 3, 2, 4, 5, 6};
const uint8_t kDefAspPga1[1] = {0x05};
const CalDefaultsRecord kDefaults33V = {
    {kDefCommDet, kDefPgaOffset, kDefAdc, kDefPgaGain, kDefWoe, kDefAspLna1, kDefAspPga1}};

// CommDet: bytes 0-11 Lna1b, Lna2b, Vgab ranges {Pri lo, Pri hi, Sec lo, Sec hi}; then u16 CF1
// ranges (two) and CF2 ranges (two), little-endian.
const uint8_t kLimCommDet[28] = {
    0, 20, 0, 20, 0, 20, 0, 20, 0, 20, 0, 20,
    0x00, 0x01, 0x00, 0x0A, 0, 0, 0, 0, 0x00, 0x01, 0x00, 0x0A, 0, 0, 0, 0,
};
const uint8_t kLimPgaOffset[4] = {0x30, 0x50, 0, 0};
const uint8_t kLimAdc[4] = {0x04, 0x14, 0, 0};
const uint8_t kLimWoe[12] = {0x18, 0x30, 0x04, 0x20, 0x20, 0, 0, 0x30, 0x04, 0, 0, 0x20};
const uint8_t kLimAspLna1[6] = {1, 5, 0, 255, 0, 255};
const uint8_t kLimAspPga1[2] = {2, 12};
const CalLimitValues kLimits33V = {{kLimCommDet, kLimPgaOffset, kLimAdc, nullptr, kLimWoe, kLimAspLna1, kLimAspPga1}};

// Sweep rows ---------------------------------------------------------------------------------------

constexpr uint32_t kColumns = 32;
constexpr uint32_t kBytesPerLine = 8 + kColumns;

void put16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

struct SweepWords {
    uint32_t reg, start, step, end, mask, reps, start2, step2, end2, mode;
};

struct RowSpec {
    uint32_t stepMask;
    uint32_t lines;
    uint32_t linesPerPoint;
    uint32_t passes;
    SweepWords sweep;
    std::vector<std::pair<uint16_t, uint16_t>> window;
    std::vector<std::vector<uint8_t>> gainTable;  // tag-14 records (16 bytes each)
    uint32_t w11 = 0xFFFF, w19 = 0, w22 = 0, w31 = 0, w32 = 0, w33 = 1, w34 = 0, w35 = 0, w36 = 0;
};

struct BuiltRow {
    CalConfigDescriptor row;
    std::vector<uint8_t> blob;
};

void build(BuiltRow& out, const RowSpec& layout) {
    std::vector<uint8_t>& b = out.blob;
    // The column window first: the part sent with the capture starts at the sweep record.
    put16(b, 0x8003);
    put16(b, uint32_t(layout.window.size() * 4));
    for (auto [first, last] : layout.window) {
        put16(b, first);
        put16(b, last);
    }
    put16(b, 13);
    put16(b, 40);
    const SweepWords& s = layout.sweep;
    for (uint32_t w : {s.reg, s.start, s.step, s.end, s.mask, s.reps, s.start2, s.step2, s.end2, s.mode}) put32(b, w);
    // Tells the sensor how many lines to scan at each sweep point.
    put16(b, 17);
    put16(b, 2);
    put16(b, layout.linesPerPoint);
    if (!layout.gainTable.empty()) {
        put16(b, 14);
        put16(b, uint32_t(layout.gainTable.size() * 16));
        for (const auto& record : layout.gainTable) b.insert(b.end(), record.begin(), record.end());
    }
    uint32_t w[37] = {};
    for (int i = 4; i <= 7; ++i) w[i] = 0xFFFF;
    w[8] = 0xFFFF;
    w[9] = layout.stepMask;
    w[10] = 0xFFFF;
    w[11] = layout.w11;
    w[12] = 0xFFFF;
    w[13] = 0;
    w[14] = kBytesPerLine;
    w[15] = layout.lines;
    w[19] = layout.w19;
    w[20] = layout.linesPerPoint;
    w[21] = layout.passes;
    w[22] = layout.w22;
    w[31] = layout.w31;
    w[32] = layout.w32;
    w[33] = layout.w33;
    w[34] = layout.w34;
    w[35] = layout.w35;
    w[36] = layout.w36;
    std::memcpy(out.row.words, w, sizeof out.row.words);
    out.row.dataLength = uint32_t(b.size());
    out.row.data = b.data();
    std::memcpy(out.row.more, w + 30, sizeof out.row.more);
}

std::vector<uint8_t> gainRecord(uint8_t lna1a, uint8_t lna1b, uint8_t lna2a, uint8_t lna2b, uint8_t vgaa, uint8_t vgab) {
    std::vector<uint8_t> r(16, 0);
    r[1] = lna1a; r[2] = lna1b; r[3] = lna2a; r[4] = lna2b; r[5] = vgaa; r[6] = vgab;
    return r;
}

struct Rows {
    BuiltRow rows[7];
    const void* list[8];
    Rows() {
        const std::pair<uint16_t, uint16_t> whole{0, kColumns - 1};
        // CommDet: capacitor codes 1..12 (companion one code higher), one gain entry, settling rule.
        build(rows[0], RowSpec{1u << 0, 12 * 2 + 1, 2, 1, {SCS_CAL_REG_CF, 1, 1, 12, 0, 1, 0, 1, 0, 1},
                               {whole}, {gainRecord(2, 3, 1, 4, 5, 6)}, 0xFFFF, 1, 250, 0, 1, 1});
        // PgaOffset: 0x20..0x60 by 4.
        build(rows[1], RowSpec{1u << 1, 17 * 2 + 1, 2, 1, {SCS_CAL_REG_PGA_OFFSET, 0x20, 4, 0x60, 0, 1, 0, 0, 0, 1},
                               {whole}, {}});
        // Adc: delays 2..20 by 2 in bits 16-23, two passes.
        build(rows[2], RowSpec{1u << 2, 10 * 2 * 2 + 1, 2, 2,
                               {SCS_CAL_REG_ADC_DELAY, 0x20000, 0x20000, 0x140000, 0xFF00FFFFu, 1, 0, 0, 0, 1},
                               {whole}, {}, 0xFFFF, 0, 0, 0, 0, 2});
        // PgaGain: 0..15, one range per channel.
        build(rows[3], RowSpec{1u << 3, 16 * 2 + 1, 2, 1, {SCS_CAL_REG_PGA_GAIN, 0, 1, 15, 0, 1, 0, 0, 0, 1},
                               {{0, 15}, {16, 31}}, {}});
        // Woe (type 1): thresholds 0x10..0x3F, eight entries a line.
        build(rows[4], RowSpec{1u << 4, 6 + 1, 1, 1, {SCS_CAL_REG_WOE_THRESHOLD, 0x10, 1, 0x3F, 0, 1, 0, 0, 0, 1},
                               {whole}, {}, 0xFFFF, 0, 0, 16});
        // AspLna1: one point per gain-table record.
        build(rows[5], RowSpec{1u << 5, 6 * 2 + 1, 2, 6, {SCS_CAL_REG_ASP_LNA, 0, 1, 0, 0, 1, 0, 0, 0, 1}, {whole},
                               {gainRecord(1, 1, 2, 2, 3, 3), gainRecord(1, 2, 2, 2, 3, 3), gainRecord(1, 3, 2, 2, 3, 3),
                                gainRecord(1, 4, 2, 2, 3, 3), gainRecord(1, 5, 2, 2, 3, 3), gainRecord(1, 6, 2, 2, 3, 3)}});
        // AspPga1: gains 0..15.
        build(rows[6], RowSpec{1u << 6, 16 * 2 + 1, 2, 1, {SCS_CAL_REG_ASP_PGA, 0, 1, 15, 0, 1, 0, 0, 0, 1}, {whole},
                               {}});
        for (int i = 0; i < 7; ++i) list[i] = &rows[i].row;
        list[7] = nullptr;
    }
};

}  // namespace

extern "C" {

const CalLimitReference gHarlokCalLimitReference[] = {
    {2, 0, 0, 0, {0, 0, 0, 0}, &kDefaults33V, &kLimits33V},
};
const uint32_t gHarlokCalLimitReferenceCount = sizeof gHarlokCalLimitReference / sizeof gHarlokCalLimitReference[0];

const void* const* scsHarlokCalConfigRows(void) {
    static const Rows rows;
    return rows.list;
}

}  // extern "C"
