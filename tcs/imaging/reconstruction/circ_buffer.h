// Fixed-size rings of equal entries over caller-given areas, and the compound ring that joins two
// rings into one window of the newest lines. Index 0 is always the newest entry.
#pragma once

#include "tcs/result.h"

#include <stdint.h>

inline constexpr uint32_t kCircBufferReversed = 1u << 0;  // slots used from the end of the area
inline constexpr uint32_t kCircBufferPrepend = 1u << 25;  // compound ring prepends to this ring

struct CircBuffer {
    uint32_t capacity;
    uint32_t count;
    uint32_t next;
    uint32_t newest;
    uint32_t entrySize;
    uint32_t copySize;
    uint32_t bytesInUse;
    uint32_t flags;
    uint8_t* area;
    uint32_t prepended;
};

struct CompoundCircBuffer {
    uint32_t capacity;
    uint32_t count;
    uint32_t next;
    uint32_t newest;
    uint32_t entrySize;
    CircBuffer* older;
    CircBuffer* newer;
    uint32_t prependStart;  // 0 = none
};

TcsResult tcsInitCircBuffer(uint32_t areaSize, uint32_t entrySize, uint32_t copySize, uint8_t* area,
                            CircBuffer* ring, uint32_t flags);
void tcsResetCircBuffer(CircBuffer* ring);
uint8_t* tcsAddToCircBuffer(const uint8_t* data, CircBuffer* ring);
uint8_t* tcsGetEntryFromCircBuffer(uint32_t index, const CircBuffer* ring);
uint8_t* tcsPrependDataToCircBuffer(const uint8_t* data, CircBuffer* ring);
uint8_t* tcsGetPrependedEntryFromCircBuffer(uint32_t index, const CircBuffer* ring);
void tcsRemoveLastFromCircBuffer(CircBuffer* ring);
void tcsRemoveFirstNFromCircBuffer(CircBuffer* ring, uint32_t n);

TcsResult tcsInitCompoundCircBuffer(CircBuffer* a, CircBuffer* b, CompoundCircBuffer* compound, uint32_t flags);
void tcsResetCompoundCircBuffer(CompoundCircBuffer* compound);
uint8_t* tcsAddToCompoundCircBuffer(const uint8_t* data, CompoundCircBuffer* compound);
uint8_t* tcsGetEntryFromCompoundCircBuffer(uint32_t index, const CompoundCircBuffer* compound);
void tcsRemoveLastFromCompoundCircBuffer(CompoundCircBuffer* compound);
void tcsRemoveFirstNFromCompoundCircBuffer(CompoundCircBuffer* compound, uint32_t n);
