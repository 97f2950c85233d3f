// Scan lines: time-slot table to unpack map, unpacking raw lines, header parsing, sensor time,
// 4-bit rows and the small integer helpers every reconstruction stage uses.
#pragma once

#include "tcs/imaging/reconstruction/flex_info.h"
#include "tcs/result.h"

#include <stdint.h>

struct CircBuffer;

inline constexpr uint32_t kScanLineHeaderBytes = 8;
inline constexpr uint32_t kUnpackMapMaxWidths = 1396;
inline constexpr uint32_t kUnpackMapMaxPixels = 512;  // 9-bit pixel numbers

// Word positions inside the sensor's time-slot area (u32 words).
inline constexpr uint32_t kTimeslotControlWord = 374;
inline constexpr uint32_t kTimeslotBankWord0 = 417;  // then 433, 449, 465: bank of selector 0..3
inline constexpr uint32_t kTimeslotBankStride = 16;

struct LineUnpackMap {
    int32_t commonWidth;   // width shared by all sampled pixels; 0 when they differ; -1 when none
    uint32_t pixelCount;   // primary + secondary count
    uint8_t widths[kUnpackMapMaxWidths];   // per sampled pixel, sampling order
    uint16_t columns[kUnpackMapMaxPixels]; // output column per sampled pixel, sampling order
};

struct SensorLineHeader {
    uint16_t time;         // bytes 2-3
    uint16_t secondValue;  // bytes 4-5
    uint8_t byte0;
    uint8_t byte1;
    uint8_t fieldA;        // byte 6 bits 7-6
    uint8_t flag;          // byte 6 bit 4
    uint8_t fieldB;        // byte 6 bits 2-0
    uint8_t byte7;
};

// Builds the unpack map from the time-slot words. tableBytes is the length of the buffer that
// really holds the words (the configuration reply, or a capture file's stored count): the control
// and bank words lie beyond the table's own 1408 bytes. bankArgument is not read.
// 0; 17 bad record, control word, unmatched pixel, missing word or incomplete table; 7 no memory.
TcsResult ProcessTimeslotTable(const uint32_t* table, uint32_t bankArgument, uint32_t tableBytes,
                               const FlexInfoRecord* flex, LineUnpackMap* map);

// Unpacks one raw line into 8 header bytes and one byte per column (out holds 8 + pixelCount
// bytes). Returns the bytes the raw line occupied (multiple of 16), 16 for an empty map, 0 for a
// null argument or zero length. Bits beyond rawLength read as 0.
uint32_t UnpackLineRT(const uint8_t* raw, uint32_t rawLength, uint8_t* out, const LineUnpackMap* map,
                      uint32_t rawMode);

// Sets every pixel of every listed range to 128 (pixels: the line after its header).
void ApplyInterpolateRangesToLine(uint8_t* pixels, const uint8_t* ranges);

void tcsParseSensorHeader(const uint8_t* raw, SensorLineHeader* out);

uint32_t subtract16bitTime(uint16_t later, uint16_t earlier);
void keep32BitSensorTime(uint16_t* previous, uint16_t* last, uint32_t* time32, uint16_t now);
uint32_t getElapsedTimeForBufferedScan(const CircBuffer* ring, uint16_t time, uint32_t index);

void pack4bitRow(const uint8_t* source, uint8_t* destination, uint32_t byteCount, uint32_t mode);
void unpack4bitRow(const uint8_t* source, uint8_t* destination, uint32_t pixelCount, uint32_t mode);

uint32_t isqrt(uint32_t value);
uint32_t getQuasiLineVariance(const uint8_t* pixels, uint32_t count);
