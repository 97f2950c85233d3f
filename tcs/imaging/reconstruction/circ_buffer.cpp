// Rings over caller-given areas; nothing here allocates.
#include "tcs/imaging/reconstruction/circ_buffer.h"

#include <string.h>

namespace {

uint32_t physicalSlot(const CircBuffer& ring, uint32_t position) {
    return (ring.flags & kCircBufferReversed) ? ring.capacity - 1 - position : position;
}

uint8_t* slotAddress(const CircBuffer& ring, uint32_t slot) {
    return ring.area + size_t(slot) * ring.entrySize;
}

void stepBack(uint32_t capacity, uint32_t& count, uint32_t& next, uint32_t& newest) {
    --count;
    if (count == 0) {
        next = 0;
        newest = 0;
        return;
    }
    next = next == 0 ? capacity - 1 : next - 1;
    newest = newest == 0 ? capacity - 1 : newest - 1;
}

void advance(uint32_t capacity, uint32_t& count, uint32_t& next, uint32_t& newest) {
    newest = next;
    next = next + 1 >= capacity ? 0 : next + 1;
    if (count < capacity) ++count;
}

uint32_t freeRoom(const CircBuffer& ring) {
    const uint32_t used = ring.count + ring.prepended;
    return used < ring.capacity ? ring.capacity - used : 0;
}

}  // namespace

TcsResult tcsInitCircBuffer(uint32_t areaSize, uint32_t entrySize, uint32_t copySize, uint8_t* area,
                            CircBuffer* ring, uint32_t flags) {
    if (ring == nullptr) return TCS_RESULT_NULL_POINTER;
    if (entrySize == 0) return TCS_RESULT_ERROR;
    ring->capacity = area == nullptr ? 0 : areaSize / entrySize;
    ring->entrySize = entrySize;
    ring->copySize = copySize < entrySize ? copySize : entrySize;
    ring->bytesInUse = ring->capacity * entrySize;
    ring->flags = flags;
    ring->area = area;
    tcsResetCircBuffer(ring);
    return TCS_RESULT_OK;
}

void tcsResetCircBuffer(CircBuffer* ring) {
    if (ring == nullptr) return;
    ring->count = 0;
    ring->next = 0;
    ring->newest = 0;
    ring->prepended = 0;
}

uint8_t* tcsAddToCircBuffer(const uint8_t* data, CircBuffer* ring) {
    if (ring == nullptr || ring->capacity == 0) return nullptr;
    uint8_t* slot = slotAddress(*ring, physicalSlot(*ring, ring->next));
    if (data != nullptr && data != slot) memmove(slot, data, ring->copySize);
    advance(ring->capacity, ring->count, ring->next, ring->newest);
    return slot;
}

uint8_t* tcsGetEntryFromCircBuffer(uint32_t index, const CircBuffer* ring) {
    if (ring == nullptr || index >= ring->count) return nullptr;
    const uint32_t position = (ring->capacity + ring->newest - index) % ring->capacity;
    return slotAddress(*ring, physicalSlot(*ring, position));
}

uint8_t* tcsPrependDataToCircBuffer(const uint8_t* data, CircBuffer* ring) {
    // Prepended entries fill the area from its other end; they may not run into the ring's lines.
    if (ring == nullptr || freeRoom(*ring) == 0) return nullptr;
    const uint32_t slot = (ring->flags & kCircBufferReversed) ? ring->prepended : ring->capacity - 1 - ring->prepended;
    uint8_t* address = slotAddress(*ring, slot);
    if (data != nullptr && data != address) memmove(address, data, ring->copySize);
    ++ring->prepended;
    return address;
}

uint8_t* tcsGetPrependedEntryFromCircBuffer(uint32_t index, const CircBuffer* ring) {
    if (ring == nullptr || index >= ring->prepended) return nullptr;
    const uint32_t slot = (ring->flags & kCircBufferReversed) ? index : ring->capacity - 1 - index;
    return slotAddress(*ring, slot);
}

void tcsRemoveLastFromCircBuffer(CircBuffer* ring) {
    if (ring == nullptr || ring->count == 0) return;
    stepBack(ring->capacity, ring->count, ring->next, ring->newest);
}

void tcsRemoveFirstNFromCircBuffer(CircBuffer* ring, uint32_t n) {
    if (ring == nullptr) return;
    if (n >= ring->count) {
        ring->count = 0;
        ring->next = 0;
        ring->newest = 0;
        return;
    }
    ring->count -= n;
}

TcsResult tcsInitCompoundCircBuffer(CircBuffer* a, CircBuffer* b, CompoundCircBuffer* compound, uint32_t flags) {
    if (compound == nullptr || a == nullptr || b == nullptr) return TCS_RESULT_OK;
    compound->older = (flags & 1) ? b : a;
    compound->newer = (flags & 1) ? a : b;
    compound->capacity = a->capacity + b->capacity;
    compound->entrySize = a->entrySize;
    tcsResetCompoundCircBuffer(compound);
    return TCS_RESULT_OK;
}

void tcsResetCompoundCircBuffer(CompoundCircBuffer* compound) {
    if (compound == nullptr) return;
    compound->count = 0;
    compound->next = 0;
    compound->newest = 0;
    compound->prependStart = 0;
    tcsResetCircBuffer(compound->older);
    tcsResetCircBuffer(compound->newer);
}

uint8_t* tcsAddToCompoundCircBuffer(const uint8_t* data, CompoundCircBuffer* compound) {
    if (compound == nullptr || compound->capacity == 0) return nullptr;
    CircBuffer& older = *compound->older;
    CircBuffer& newer = *compound->newer;
    uint8_t* slot = nullptr;
    if ((newer.flags & kCircBufferPrepend) && compound->count < compound->capacity) {
        if (compound->prependStart == 0) compound->prependStart = compound->count + 1;
        if (compound->count + 1 - compound->prependStart < freeRoom(newer)) {
            slot = tcsPrependDataToCircBuffer(data, &newer);
        }
    }
    if (slot == nullptr) {
        if (older.count < older.capacity) {
            slot = tcsAddToCircBuffer(data, &older);
        } else if (newer.count + newer.prepended < newer.capacity) {
            slot = tcsAddToCircBuffer(data, &newer);
        } else {
            // Both full: the newer ring's oldest line moves over the older ring's oldest.
            const uint8_t* oldest = tcsGetEntryFromCircBuffer(newer.count - 1, &newer);
            if (oldest != nullptr) tcsAddToCircBuffer(oldest, &older);
            slot = tcsAddToCircBuffer(data, &newer);
        }
    }
    if (slot == nullptr) return nullptr;
    advance(compound->capacity, compound->count, compound->next, compound->newest);
    return slot;
}

uint8_t* tcsGetEntryFromCompoundCircBuffer(uint32_t index, const CompoundCircBuffer* compound) {
    if (compound == nullptr || index >= compound->count) return nullptr;
    if (compound->prependStart != 0 && index >= compound->prependStart - 1) {
        return tcsGetPrependedEntryFromCircBuffer(index - compound->prependStart + 1, compound->newer);
    }
    if (index < compound->newer->count) return tcsGetEntryFromCircBuffer(index, compound->newer);
    return tcsGetEntryFromCircBuffer(index - compound->newer->count, compound->older);
}

void tcsRemoveLastFromCompoundCircBuffer(CompoundCircBuffer* compound) {
    if (compound == nullptr || compound->count == 0) return;
    if (compound->newer->count > 0) {
        tcsRemoveLastFromCircBuffer(compound->newer);
    } else {
        tcsRemoveLastFromCircBuffer(compound->older);
    }
    stepBack(compound->capacity, compound->count, compound->next, compound->newest);
}

void tcsRemoveFirstNFromCompoundCircBuffer(CompoundCircBuffer* compound, uint32_t n) {
    if (compound == nullptr) return;
    if (n >= compound->count) {
        tcsResetCompoundCircBuffer(compound);
        return;
    }
    if (n >= compound->older->capacity) {
        tcsRemoveFirstNFromCircBuffer(compound->older, n);
        tcsRemoveFirstNFromCircBuffer(compound->newer, n - compound->older->capacity);
    } else {
        tcsRemoveFirstNFromCircBuffer(compound->older, n);
    }
    compound->count -= n;
}
