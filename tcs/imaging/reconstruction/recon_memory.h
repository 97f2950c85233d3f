// Reconstruction memory: a bump allocator over the persistent scratch and a stack-like allocator
// over the volatile scratch. Nothing in reconstruction allocates per line.
#pragma once

#include "tcs/imaging/reconstruction/recon_state.h"
#include "tcs/result.h"

#include <stdint.h>

inline constexpr uint32_t kVolatileHeaderBytes = 24;
inline constexpr uint32_t kVolatileMaxBlocks = 7;

// 5 when the area cannot hold the allocator itself.
TcsResult persistentMemInit(IrPersistentMem* mem, uint8_t* base, uint32_t capacity);
// 4-byte rounded; null when full.
uint8_t* persistentMemAlloc(IrPersistentMem* mem, uint32_t bytes, uint32_t zero);

// The header {capacity, used, live blocks, up to 7 block sizes} sits at the start of the area.
TcsResult volatileMemInit(uint8_t* area, uint32_t size);
// Null (result 5) when 7 blocks are live, for size 0, or when no byte would stay free.
uint8_t* volatileMemAlloc(uint8_t* area, uint32_t bytes);
// Blocks are released strictly in reverse order; 5 for any other block.
TcsResult volatileMemFree(uint8_t* area, uint8_t* block);
