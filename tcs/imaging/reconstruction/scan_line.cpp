// Scan lines: time-slot table to unpack map, unpacking, header parsing, sensor time, 4-bit rows.
#include "tcs/imaging/reconstruction/scan_line.h"

#include "platform/memory.h"
#include "platform/text.h"
#include "tcs/imaging/reconstruction/circ_buffer.h"

#include <string.h>

namespace {

constexpr uint32_t kFlexSearchesBothBanks = 14;
constexpr uint32_t kNoPixel = 0x1FF;

// Position of a sensor pixel number in a layout, or -1.
int findInLayout(const uint16_t* layout, uint32_t count, uint32_t pixel) {
    if (layout == nullptr) return -1;
    for (uint32_t i = 0; i < count; ++i) {
        if (layout[i] == pixel) return int(i);
    }
    return -1;
}

// Output column of a sensor pixel, or -1 when the pixel belongs to no bank of this flex.
int columnOf(const FlexInfoRecord& flex, const uint32_t* table, uint32_t words, uint32_t entry) {
    const uint32_t pixel = entry & 0x1FF;
    if (flex.flexId == kFlexSearchesBothBanks) {
        int index = findInLayout(flex.primaryLayout, flex.primaryCount, pixel);
        if (index >= 0) return index;
        index = findInLayout(flex.secondaryLayout, flex.secondaryCount, pixel);
        return index >= 0 ? flex.primaryCount + index : -1;
    }
    const uint32_t bankWord = kTimeslotBankWord0 + kTimeslotBankStride * ((entry >> 21) & 3);
    if (bankWord >= words) return -1;
    const uint32_t bank = palSensorToHost32(table[bankWord]) & 7;
    if (bank == flex.primaryBank) return findInLayout(flex.primaryLayout, flex.primaryCount, pixel);
    if (bank == flex.secondaryBank) {
        const int index = findInLayout(flex.secondaryLayout, flex.secondaryCount, pixel);
        return index >= 0 ? flex.primaryCount + index : -1;
    }
    return -1;
}

struct SlotArray {
    explicit SlotArray(uint32_t count) : block(static_cast<uint8_t*>(palRealMalloc(count * 3))) {
        if (block != nullptr) memset(block, 0xFF, count * 2);
    }
    ~SlotArray() { palRealFree(block); }
    SlotArray(const SlotArray&) = delete;
    SlotArray& operator=(const SlotArray&) = delete;
    uint16_t* columns() { return reinterpret_cast<uint16_t*>(block); }
    uint8_t* widths(uint32_t count) { return block + count * 2; }
    uint8_t* block;
};

}  // namespace

TcsResult ProcessTimeslotTable(const uint32_t* table, uint32_t bankArgument, uint32_t tableBytes,
                               const FlexInfoRecord* flex, LineUnpackMap* map) {
    (void)bankArgument;
    // Only modules whose lines carry their own sample width are mapped: the raw-format module
    // (flex 131) is refused, so no reconstruction opens for it; its row still serves sensor control.
    if (flex == nullptr || flex->lineFormat != kFlexLineFormatHeaderWidth) return TCS_RESULT_BAD_PARAM;
    if (table == nullptr || map == nullptr) return TCS_RESULT_BAD_PARAM;
    const uint32_t pixels = uint32_t(flex->primaryCount) + flex->secondaryCount;
    if (pixels == 0 || pixels > kUnpackMapMaxPixels) return TCS_RESULT_BAD_PARAM;
    SlotArray slots(pixels);
    if (slots.block == nullptr) return TCS_RESULT_INVALID;
    uint16_t* columns = slots.columns();
    uint8_t* widths = slots.widths(pixels);

    // Reads are bounded by the buffer that really holds the words, not by the table's nominal
    // 1408 bytes: the control and bank words lie beyond it in the configuration reply.
    const uint32_t words = tableBytes / 4;
    if (kTimeslotControlWord >= words) return TCS_RESULT_BAD_PARAM;
    const uint32_t control = palSensorToHost32(table[kTimeslotControlWord]);
    if (control == 0) return TCS_RESULT_BAD_PARAM;
    const int32_t first = int32_t(control & 0x1FF) - 1;
    const int32_t end = int32_t((control >> 9) & 0x1FF) - 1;
    if (first < 0 || first >= end) return TCS_RESULT_BAD_PARAM;

    uint32_t filled = 0;
    bool widthSeen = false;
    int32_t common = -1;
    for (int32_t e = first; e < end && filled < pixels; ++e) {
        if (uint32_t(e) >= words) return TCS_RESULT_BAD_PARAM;
        const uint32_t entry = palSensorToHost32(table[e]);
        const uint32_t width = (entry >> 26) & 0xF;
        if (width == 0 || (entry & 0x1FF) == kNoPixel) continue;
        if (!widthSeen) {
            common = int32_t(width);
            widthSeen = true;
        } else if (common != int32_t(width)) {
            common = 0;
        }
        const int column = columnOf(*flex, table, words, entry);
        if (column < 0) return TCS_RESULT_BAD_PARAM;
        columns[filled] = uint16_t(column);
        widths[filled] = uint8_t(width);
        ++filled;
    }
    // A table that ends before every pixel has a column would leave map slots unfilled and let
    // unpacking write stale columns; such a table is refused.
    if (filled < pixels) return TCS_RESULT_BAD_PARAM;

    map->pixelCount = pixels;
    map->commonWidth = widthSeen ? common : -1;
    memcpy(map->columns, columns, pixels * sizeof(uint16_t));
    memcpy(map->widths, widths, pixels);
    return TCS_RESULT_OK;
}

uint32_t UnpackLineRT(const uint8_t* raw, uint32_t rawLength, uint8_t* out, const LineUnpackMap* map,
                      uint32_t rawMode) {
    if (raw == nullptr || out == nullptr || map == nullptr || rawLength == 0) return 0;
    const uint32_t headerBytes = rawLength < kScanLineHeaderBytes ? rawLength : kScanLineHeaderBytes;
    memcpy(out, raw, headerBytes);
    memset(out + headerBytes, 0, kScanLineHeaderBytes - headerBytes);
    if (map->pixelCount == 0) return 16;
    const uint32_t count = map->pixelCount < kUnpackMapMaxPixels ? map->pixelCount : kUnpackMapMaxPixels;

    int32_t width = map->commonWidth;
    if (rawMode == 0 && rawLength > 6) {
        const int32_t own = raw[6] & 0x0F;
        if (own != 0) width = (map->commonWidth > 0 && own > map->commonWidth) ? map->commonWidth : own;
    }

    const uint8_t* data = raw + kScanLineHeaderBytes;
    const uint32_t available = rawLength > kScanLineHeaderBytes ? rawLength - kScanLineHeaderBytes : 0;
    auto byteAt = [&](uint32_t i) -> uint32_t { return i < available ? data[i] : 0; };
    uint8_t* pixels = out + kScanLineHeaderBytes;
    uint32_t bytesRead = 0;

    if (width == 4) {
        for (uint32_t k = 0; k < count; ++k) {
            const uint32_t b = byteAt(k / 2);
            const uint8_t value = (k & 1) ? uint8_t(b & 0xF0) : uint8_t(b << 4);
            if (map->columns[k] < count) pixels[map->columns[k]] = value;
        }
        bytesRead = (count + 1) / 2;
    } else if (width == 8) {
        for (uint32_t k = 0; k < count; ++k) {
            if (map->columns[k] < count) pixels[map->columns[k]] = uint8_t(byteAt(k));
        }
        bytesRead = count;
    } else {
        // Least significant bit first, across byte boundaries.
        uint32_t bit = 0;
        for (uint32_t k = 0; k < count; ++k) {
            uint32_t w = map->widths[k];
            if (width > 0 && uint32_t(width) < w) w = uint32_t(width);
            uint32_t value = 0;
            for (uint32_t j = 0; j < w; ++j, ++bit) value |= ((byteAt(bit >> 3) >> (bit & 7)) & 1u) << j;
            // Widths above 8 keep their top 8 bits rather than shifting by a negative amount.
            const uint32_t scaled = w == 0 ? 0 : (w <= 8 ? value << (8 - w) : value >> (w - 8));
            if (map->columns[k] < count) pixels[map->columns[k]] = uint8_t(scaled);
        }
        bytesRead = (bit + 7) / 8;
    }
    return (kScanLineHeaderBytes + bytesRead + 15) & ~15u;
}

void ApplyInterpolateRangesToLine(uint8_t* pixels, const uint8_t* ranges) {
    if (pixels == nullptr || ranges == nullptr) return;
    const uint32_t count = ranges[0] < 7 ? ranges[0] : 7;
    for (uint32_t k = 0; k < count; ++k) {
        for (uint32_t c = ranges[2 + k]; c <= ranges[9 + k]; ++c) pixels[c] = 128;
    }
}

void tcsParseSensorHeader(const uint8_t* raw, SensorLineHeader* out) {
    if (raw == nullptr || out == nullptr) return;
    out->time = uint16_t(raw[2] | (raw[3] << 8));
    out->secondValue = uint16_t(raw[4] | (raw[5] << 8));
    out->byte0 = raw[0];
    out->byte1 = raw[1];
    out->fieldA = uint8_t(raw[6] >> 6);
    out->flag = uint8_t((raw[6] >> 4) & 1);
    out->fieldB = uint8_t(raw[6] & 7);
    out->byte7 = raw[7];
}

uint32_t subtract16bitTime(uint16_t later, uint16_t earlier) {
    const int32_t d = int32_t(later) - int32_t(earlier);
    return uint32_t(d < 0 ? d + 65536 : d);
}

void keep32BitSensorTime(uint16_t* previous, uint16_t* last, uint32_t* time32, uint16_t now) {
    if (previous == nullptr || last == nullptr || time32 == nullptr) return;
    *previous = *last;
    // On a wrap the 32-bit time moves on to the next 65536-tick period; adding only the new 16-bit
    // value made the extended time run backwards after every wrap.
    if (*last > now) {
        *time32 = ((*time32 & 0xFFFF0000u) + 0x10000u) | now;
    } else {
        *time32 = (*time32 & 0xFFFF0000u) | now;
    }
    *last = now;
}

uint32_t getElapsedTimeForBufferedScan(const CircBuffer* ring, uint16_t time, uint32_t index) {
    const uint8_t* entry = tcsGetEntryFromCircBuffer(index, ring);
    if (entry == nullptr) return 0;
    return subtract16bitTime(time, uint16_t(entry[2] | (entry[3] << 8)));
}

void pack4bitRow(const uint8_t* source, uint8_t* destination, uint32_t byteCount, uint32_t mode) {
    if (source == nullptr || destination == nullptr) return;
    for (uint32_t i = 0; i < byteCount; ++i) {
        const uint8_t a = source[2 * i];
        const uint8_t b = source[2 * i + 1];
        destination[i] = mode == 1 ? uint8_t((a & 0xF0) | (b >> 4)) : uint8_t((a << 4) | (b & 0x0F));
    }
}

void unpack4bitRow(const uint8_t* source, uint8_t* destination, uint32_t pixelCount, uint32_t mode) {
    if (source == nullptr || destination == nullptr) return;
    // From the end backwards, so a row can be widened in place.
    for (uint32_t k = pixelCount; k-- > 0;) {
        const uint8_t b = source[k / 2];
        if (mode == 1) {
            destination[k] = (k & 1) ? uint8_t(b << 4) : uint8_t(b & 0xF0);
        } else {
            destination[k] = (k & 1) ? uint8_t(b & 0x0F) : uint8_t(b >> 4);
        }
    }
}

uint32_t isqrt(uint32_t value) {
    uint32_t root = 0;
    for (int b = 15; b >= 0; --b) {
        const uint32_t trial = root | (1u << b);
        if (trial * trial <= value) root = trial;
    }
    return root;
}

uint32_t getQuasiLineVariance(const uint8_t* pixels, uint32_t count) {
    if (pixels == nullptr || count == 0) return 0;
    uint32_t sum = 0;
    for (uint32_t i = 0; i < count; ++i) sum += pixels[i];
    const int32_t mean = int32_t(sum / count);
    uint32_t deviation = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const int32_t d = int32_t(pixels[i]) - mean;
        deviation += uint32_t(d < 0 ? -d : d);
    }
    return (deviation + count / 2) / count;
}
