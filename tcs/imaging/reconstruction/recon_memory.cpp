// Persistent bump allocator and volatile stack allocator of the reconstruction.
#include "tcs/imaging/reconstruction/recon_memory.h"

#include <string.h>

namespace {

struct VolatileHeader {
    uint32_t capacity;
    uint32_t used;
    uint16_t live;
    uint16_t sizes[kVolatileMaxBlocks];
};
static_assert(sizeof(VolatileHeader) == kVolatileHeaderBytes);

uint32_t roundUp4(uint32_t v) { return (v + 3) & ~3u; }

}  // namespace

TcsResult persistentMemInit(IrPersistentMem* mem, uint8_t* base, uint32_t capacity) {
    if (mem == nullptr || base == nullptr) return TCS_RESULT_BUFFER_TOO_SMALL;
    mem->capacity = capacity;
    mem->used = 0;
    mem->base = base;
    return TCS_RESULT_OK;
}

uint8_t* persistentMemAlloc(IrPersistentMem* mem, uint32_t bytes, uint32_t zero) {
    if (mem == nullptr || mem->base == nullptr) return nullptr;
    const uint32_t size = roundUp4(bytes);
    if (size < bytes || mem->used > mem->capacity || size > mem->capacity - mem->used) return nullptr;
    uint8_t* block = mem->base + mem->used;
    mem->used += size;
    if (zero) memset(block, 0, size);
    return block;
}

TcsResult volatileMemInit(uint8_t* area, uint32_t size) {
    if (area == nullptr || size < kVolatileHeaderBytes) return TCS_RESULT_BUFFER_TOO_SMALL;
    VolatileHeader header{};
    header.capacity = size - kVolatileHeaderBytes;
    memcpy(area, &header, sizeof(header));
    return TCS_RESULT_OK;
}

uint8_t* volatileMemAlloc(uint8_t* area, uint32_t bytes) {
    if (area == nullptr || bytes == 0 || bytes > 0xFFFC) return nullptr;
    VolatileHeader header;
    memcpy(&header, area, sizeof(header));
    const uint32_t size = roundUp4(bytes);
    if (header.live >= kVolatileMaxBlocks || header.used + size >= header.capacity) return nullptr;
    uint8_t* block = area + kVolatileHeaderBytes + header.used;
    header.sizes[header.live++] = uint16_t(size);
    header.used += size;
    memcpy(area, &header, sizeof(header));
    return block;
}

TcsResult volatileMemFree(uint8_t* area, uint8_t* block) {
    if (area == nullptr || block == nullptr) return TCS_RESULT_BUFFER_TOO_SMALL;
    VolatileHeader header;
    memcpy(&header, area, sizeof(header));
    if (header.live == 0) return TCS_RESULT_BUFFER_TOO_SMALL;
    const uint32_t size = header.sizes[header.live - 1];
    if (block != area + kVolatileHeaderBytes + header.used - size) return TCS_RESULT_BUFFER_TOO_SMALL;
    --header.live;
    header.used -= size;
    memcpy(area, &header, sizeof(header));
    return TCS_RESULT_OK;
}
