// Built-in table of supported sensor modules ("flexes"): line geometry, pixel banks and layouts.
#pragma once

#include <stdint.h>

// Line formats of field lineFormat.
enum : uint32_t {
    kFlexLineFormatHeaderWidth = 1,  // each line's header gives its sample width
    kFlexLineFormatRaw = 2,          // all samples use the time-slot table's width
    kFlexLineFormatRawAlt = 3,       // handled like 2 by the data path
};

struct FlexInfoRecord {
    uint16_t flexId;
    uint16_t extraPixels;           // beyond the two banks; part of the baseline block size
    uint16_t correctionWindowPos;   // second correction window starts 7 pixels before it
    uint16_t unpackBufferLength;    // as tabled; see flexUnpackedLineBytes for the safe size
    uint16_t geometry[3];           // G1 (400), G2 (50 or 70), G3 (50); G1 / G3 is the nominal lag 8
    uint16_t xResolution;           // dpi
    uint16_t yResolution;
    uint16_t baselineMapLines;
    uint32_t reconstructorType;
    uint32_t defaultWoeType;
    uint32_t lineFormat;
    uint8_t primaryBank;
    uint8_t primaryPolarity;
    uint16_t primaryCount;
    const uint16_t* primaryLayout;  // sensor pixel number per primary column
    uint8_t secondaryBank;
    uint8_t secondaryPolarity;
    uint16_t secondaryCount;
    const uint16_t* secondaryLayout;
    const uint16_t* secondaryToPrimary;
    const void* reserved;             // null in every row
    const uint8_t* analogResets;      // count, then columns; or null
    const uint8_t* interpolRanges;    // 16-byte dead-column range list; or null
};

inline constexpr int kFlexInfoCount = 12;
extern const FlexInfoRecord gFlexInfo[kFlexInfoCount];

// First row whose id equals the low 16 bits of flexId; null for an unknown module.
const FlexInfoRecord* dliFindFlexInfo(int32_t flexId);

// Bytes a buffer needs to receive one unpacked line (8-byte header, both banks, extra pixels).
// Flex 92 tables 208 bytes although its lines unpack to 272, so buffers take the larger of the two.
uint32_t flexUnpackedLineBytes(const FlexInfoRecord* flex);
