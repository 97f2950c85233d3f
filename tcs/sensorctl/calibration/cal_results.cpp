// Calibration results container: blocks kept as byte properties of a tag-value container, with the
// Default, Chosen and Overridden value sets, and the compact and old one-word exchange forms.
#include "tcs/sensorctl/calibration/cal_results.h"

#include "platform/memory.h"
#include "platform/settings.h"
#include "platform/text.h"

#include <cstring>

namespace {

constexpr uint32_t kBlockCount = 7;
constexpr uint16_t kGetPrintStatusTag = 8;
constexpr uint8_t kBlockSize[kBlockCount] = {62, 11, 11, 14, 15, 27, 11};
constexpr uint8_t kSetSize[kBlockCount] = {16, 1, 1, 2, 2, 6, 1};
constexpr const char* kCalSection = "SOFTWARE\\Tovantic\\CAL";

constexpr uint32_t kInfoFlags = 4;
constexpr uint32_t kCommDetFlags = 56;
constexpr uint32_t kCommDetAlgorithm = 58;

uint32_t setOffset(uint32_t blockId, uint32_t set) {
    if (blockId == 0) return set == CAL_SET_CHOSEN ? 8 : set == CAL_SET_DEFAULT ? 24 : 40;
    const uint32_t size = kSetSize[blockId];
    return set == CAL_SET_CHOSEN ? 8 : set == CAL_SET_DEFAULT ? 8 + size : 8 + 2 * size;
}

// Where a byte item lives: inside a value set (setField >= 0) or at a fixed offset of the block.
struct ByteItem {
    int setField;  // offset in the set, or -1
    int fixed;     // offset in the block when setField is -1
};

bool byteItem(uint32_t blockId, uint32_t item, ByteItem* out) {
    switch (blockId) {
        case 0:
            if (item <= 11) { *out = {int(4 + item), 0}; return true; }
            if (item == 12 || item == 13) { *out = {-1, int(60 + item - 12)}; return true; }
            return false;
        case 1: if (item == CAL_ITEM_OFFSET) { *out = {0, 0}; return true; } return false;
        case 2: if (item == CAL_ITEM_DELAY) { *out = {0, 0}; return true; } return false;
        case 3:
            if (item == CAL_ITEM_GAIN_PRI || item == CAL_ITEM_GAIN_SEC) { *out = {int(item - 16), 0}; return true; }
            return false;
        case 4:
            if (item == CAL_ITEM_THRESHOLD) { *out = {0, 0}; return true; }
            if (item == CAL_ITEM_GAIN_PRI) { *out = {1, 0}; return true; }
            if (item == CAL_ITEM_STATE) { *out = {-1, 14}; return true; }
            return false;
        case 5:
            if (item <= 10 && item % 2 == 0) { *out = {int(item / 2), 0}; return true; }
            if (item == 12) { *out = {-1, 26}; return true; }
            return false;
        case 6: if (item == CAL_ITEM_GAIN_PRI) { *out = {0, 0}; return true; } return false;
        default: return false;
    }
}

uint16_t readU16(const uint8_t* p) { return palSensorToHost16(uint16_t(p[0] | p[1] << 8)); }
void writeU16(uint8_t* p, uint16_t hostValue) {
    const uint16_t v = palHostToSensor16(hostValue);
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

// The block if it is stored, without creating it.
uint8_t* findBlock(CalResultsContainer* container, uint32_t blockId, TcsResult* lookup = nullptr) {
    const uint16_t tag = calGetCalBlockTagById(blockId);
    uint16_t length = 0;
    void* data = nullptr;
    const TcsResult result = palTagValGetByteDataPropertyByRef(container->values, tag, &length, &data);
    if (lookup != nullptr) *lookup = result;
    if (result != TCS_RESULT_OK || data == nullptr || length < kBlockSize[blockId]) return nullptr;
    return static_cast<uint8_t*>(data);
}

// The set the block's own flags put in force.
uint32_t setInForce(const uint8_t* block) {
    const uint16_t flags = readU16(block + kInfoFlags);
    if (flags & 1) return CAL_SET_DEFAULT;
    if (flags & 2) return CAL_SET_OVERRIDDEN;
    return CAL_SET_CHOSEN;
}

void setInfoFlag(uint8_t* block, uint16_t bit) { writeU16(block + kInfoFlags, uint16_t(readU16(block + kInfoFlags) | bit)); }

struct DefaultName {
    uint32_t offset;  // in the set
    bool word;
    const char* suffix;
};
constexpr DefaultName kCommDetNames[] = {
    {0, true, "%s_CF1"},         {2, true, "%s_CF2"},         {4, false, "%s_LNA1A_Z0"},  {5, false, "%s_LNA1A_Z1"},
    {6, false, "%s_LNA1B_Z0"},   {7, false, "%s_LNA1B_Z1"},   {8, false, "%s_LNA2A_Z0"},  {9, false, "%s_LNA2A_Z1"},
    {10, false, "%s_LNA2B_Z0"},  {11, false, "%s_LNA2B_Z1"},  {12, false, "%s_VGAA_Z0"},  {13, false, "%s_VGAA_Z1"},
    {14, false, "%s_VGAB_Z0"},   {15, false, "%s_VGAB_Z1"},
};
constexpr DefaultName kPgaOffsetNames[] = {{0, false, "%s_PGA_OFFSET"}};
constexpr DefaultName kAdcNames[] = {{0, false, "%s_ADC_DELAY"}};
constexpr DefaultName kPgaGainNames[] = {{0, false, "%s_PGA_GAIN_Z0"}, {1, false, "%s_PGA_GAIN_Z1"}};
constexpr DefaultName kWoeNames[] = {{0, false, "%s_WOE_THRESHOLD"}, {1, false, "%s_WOE_GAIN"}};
constexpr DefaultName kAspLna1Names[] = {{0, false, "%s_ASP_LNA1A"}, {1, false, "%s_ASP_LNA1B"},
                                         {2, false, "%s_ASP_LNA2A"}, {3, false, "%s_ASP_LNA2B"},
                                         {4, false, "%s_ASP_VGAA"},  {5, false, "%s_ASP_VGAB"}};
constexpr DefaultName kAspPga1Names[] = {{0, false, "%s_ASP_PGA_GAIN"}};
struct NameList {
    const DefaultName* names;
    uint32_t count;
};
constexpr NameList kDefaultNames[kBlockCount] = {
    {kCommDetNames, 14}, {kPgaOffsetNames, 1}, {kAdcNames, 1}, {kPgaGainNames, 2},
    {kWoeNames, 2},      {kAspLna1Names, 6},   {kAspPga1Names, 1},
};

uint32_t deviceWord(const CalResultsContainer* container, uint32_t index) {
    uint32_t value = 0;
    std::memcpy(&value, container->deviceData + 4 * index, 4);
    return value;
}

// Private copy of the caller's defaults with the settings store's overrides applied; one allocation.
TcsResult buildDefaults(CalResultsContainer* container, const CalDefaultsRecord* defaults) {
    uint32_t total = sizeof(CalDefaultsRecord);
    for (uint32_t i = 0; i < kBlockCount; ++i) {
        if (defaults->sets[i] != nullptr) total += kSetSize[i];
    }
    auto* record = static_cast<CalDefaultsRecord*>(palRealMalloc(total));
    if (record == nullptr) return TCS_RESULT_INVALID;
    std::memset(record, 0, total);
    auto* next = reinterpret_cast<uint8_t*>(record + 1);
    char prefix[32];
    palSprintf(prefix, sizeof prefix, "SO%02d_SS%02d", int(deviceWord(container, 1)), int(deviceWord(container, 2)));
    for (uint32_t i = 0; i < kBlockCount; ++i) {
        if (defaults->sets[i] == nullptr) continue;
        std::memcpy(next, defaults->sets[i], kSetSize[i]);
        for (uint32_t n = 0; n < kDefaultNames[i].count; ++n) {
            const DefaultName& name = kDefaultNames[i].names[n];
            char valueName[64];
            palSprintf(valueName, sizeof valueName, name.suffix, prefix);
            uint32_t value = 0;
            if (name.word) {
                uint16_t current = 0;
                std::memcpy(&current, next + name.offset, 2);
                palGetPersistentDataLongValue(kCalSection, valueName, current, &value);
                const uint16_t stored = uint16_t(value);
                std::memcpy(next + name.offset, &stored, 2);
            } else {
                palGetPersistentDataLongValue(kCalSection, valueName, next[name.offset], &value);
                next[name.offset] = uint8_t(value);
            }
        }
        record->sets[i] = next;
        next += kSetSize[i];
    }
    container->defaults = record;
    return TCS_RESULT_OK;
}

}  // namespace

uint16_t calGetCalBlockTagById(uint32_t blockId) { return blockId < kBlockCount ? uint16_t(blockId + 1) : 0; }

TcsResult calResultsContainerInit(uint32_t identity, const uint8_t deviceData[16], const CalDefaultsRecord* defaults,
                                  CalResultsContainer** outContainer) {
    if (outContainer == nullptr) return TCS_RESULT_BAD_PARAM;
    auto* container = static_cast<CalResultsContainer*>(palRealMalloc(sizeof(CalResultsContainer)));
    if (container == nullptr) return TCS_RESULT_INVALID;
    std::memset(container, 0, sizeof *container);
    container->identity = identity;
    if (deviceData != nullptr) std::memcpy(container->deviceData, deviceData, 16);
    if (palTagValContainerInit(&container->values) != TCS_RESULT_OK) {
        palRealFree(container);
        return TCS_RESULT_INVALID;
    }
    if (defaults != nullptr && buildDefaults(container, defaults) != TCS_RESULT_OK) {
        calResultsContainerUnInit(container);
        return TCS_RESULT_INVALID;
    }
    *outContainer = container;
    return TCS_RESULT_OK;
}

TcsResult calResultsContainerUnInit(CalResultsContainer* container) {
    if (container == nullptr) return TCS_RESULT_OK;
    if (container->values != nullptr) palTagValContainerUnInit(container->values);
    palRealFree(container->defaults);
    palRealFree(container);
    return TCS_RESULT_OK;
}

uint8_t* calGetCalBlockRef(CalResultsContainer* container, uint16_t tag) {
    if (container == nullptr || tag < 1 || tag > kBlockCount) return nullptr;
    const uint32_t blockId = tag - 1u;
    if (uint8_t* block = findBlock(container, blockId)) return block;
    uint8_t fresh[64] = {};
    if (container->defaults != nullptr && container->defaults->sets[blockId] != nullptr) {
        uint8_t* set = fresh + setOffset(blockId, CAL_SET_DEFAULT);
        std::memcpy(set, container->defaults->sets[blockId], kSetSize[blockId]);
        if (blockId == 0) {
            // The defaults rows hold the capacitor fields in host order; blocks keep sensor order.
            uint16_t cf1 = 0, cf2 = 0;
            std::memcpy(&cf1, set, 2);
            std::memcpy(&cf2, set + 2, 2);
            writeU16(set, cf1);
            writeU16(set + 2, cf2);
        }
    }
    if (palTagValSetBlobDataProperty(container->values, tag, 1, kBlockSize[blockId], fresh) != TCS_RESULT_OK) {
        return nullptr;
    }
    return findBlock(container, blockId);
}

TcsResult calResultsDeleteBlock(CalResultsContainer* container, uint32_t blockId) {
    if (container == nullptr) return TCS_RESULT_BAD_PARAM;
    return palTagValDeleteProperty(container->values, calGetCalBlockTagById(blockId));
}

TcsResult calResultsGetByte(CalResultsContainer* container, uint32_t blockId, uint32_t set, uint32_t item,
                            uint8_t* outValue) {
    if (container == nullptr || outValue == nullptr) return TCS_RESULT_BAD_PARAM;
    if (blockId >= kBlockCount || set > CAL_SET_OVERRIDDEN) return TCS_RESULT_BAD_PARAM;
    ByteItem where{};
    if (!byteItem(blockId, item, &where)) return TCS_RESULT_BAD_PARAM;
    uint8_t* block = calGetCalBlockRef(container, calGetCalBlockTagById(blockId));
    if (block == nullptr) return TCS_RESULT_NULL_POINTER;
    *outValue = where.setField >= 0 ? block[setOffset(blockId, set) + where.setField] : block[where.fixed];
    return TCS_RESULT_OK;
}

TcsResult calResultsSetByte(CalResultsContainer* container, uint32_t blockId, uint32_t item, uint8_t value) {
    if (container == nullptr) return TCS_RESULT_BAD_PARAM;
    if (blockId >= kBlockCount) return TCS_RESULT_BAD_PARAM;
    ByteItem where{};
    if (!byteItem(blockId, item, &where)) return TCS_RESULT_BAD_PARAM;
    uint8_t* block = calGetCalBlockRef(container, calGetCalBlockTagById(blockId));
    if (block == nullptr) return TCS_RESULT_NULL_POINTER;
    if (where.setField < 0) {
        block[where.fixed] = value;
        return TCS_RESULT_OK;
    }
    block[setOffset(blockId, CAL_SET_CHOSEN) + where.setField] = value;
    uint8_t* overridden = block + setOffset(blockId, CAL_SET_OVERRIDDEN);
    overridden[where.setField] = value;
    // The Pri writes of these fields also carry the Sec partner of the Overridden set.
    const bool partnered = (blockId == 0 && (item == CAL_ITEM_LNA1B_PRI || item == CAL_ITEM_LNA2B_PRI ||
                                             item == CAL_ITEM_VGAB_PRI)) ||
                           (blockId == 3 && item == CAL_ITEM_GAIN_PRI);
    if (partnered) overridden[where.setField + 1] = value;
    return TCS_RESULT_OK;
}

TcsResult calResultsGetWord(CalResultsContainer* container, uint32_t blockId, uint32_t set, uint32_t item,
                            uint16_t* outValue) {
    if (container == nullptr || outValue == nullptr) return TCS_RESULT_BAD_PARAM;
    if (blockId >= kBlockCount || item > CAL_WORD_ALGORITHM || set > CAL_SET_OVERRIDDEN) return TCS_RESULT_BAD_PARAM;
    if (item >= CAL_WORD_CF1 && blockId != 0) return TCS_RESULT_BAD_PARAM;
    uint8_t* block = calGetCalBlockRef(container, calGetCalBlockTagById(blockId));
    if (block == nullptr) return TCS_RESULT_NULL_POINTER;
    switch (item) {
        case CAL_WORD_STATUS: *outValue = readU16(block); break;
        case CAL_WORD_ATTEMPTS: *outValue = readU16(block + 2); break;
        case CAL_WORD_CF1: *outValue = readU16(block + setOffset(0, set)); break;
        case CAL_WORD_CF2: *outValue = readU16(block + setOffset(0, set) + 2); break;
        default: *outValue = readU16(block + kCommDetAlgorithm); break;
    }
    return TCS_RESULT_OK;
}

TcsResult calResultsSetWord(CalResultsContainer* container, uint32_t blockId, uint32_t item, uint16_t value) {
    if (container == nullptr) return TCS_RESULT_BAD_PARAM;
    if (blockId >= kBlockCount || item > CAL_WORD_ALGORITHM) return TCS_RESULT_BAD_PARAM;
    if (item >= CAL_WORD_CF1 && blockId != 0) return TCS_RESULT_BAD_PARAM;
    uint8_t* block = calGetCalBlockRef(container, calGetCalBlockTagById(blockId));
    if (block == nullptr) return TCS_RESULT_NULL_POINTER;
    switch (item) {
        case CAL_WORD_STATUS: writeU16(block, value); break;
        case CAL_WORD_ATTEMPTS: writeU16(block + 2, value); break;
        case CAL_WORD_CF1:
        case CAL_WORD_CF2: {
            const uint32_t field = item == CAL_WORD_CF1 ? 0 : 2;
            writeU16(block + setOffset(0, CAL_SET_CHOSEN) + field, value);
            writeU16(block + setOffset(0, CAL_SET_OVERRIDDEN) + field, value);
            break;
        }
        default: writeU16(block + kCommDetAlgorithm, value); break;
    }
    return TCS_RESULT_OK;
}

TcsResult calResultsGetFlag(CalResultsContainer* container, uint32_t blockId, uint32_t flag, uint32_t* outValue) {
    if (container == nullptr || outValue == nullptr) return TCS_RESULT_BAD_PARAM;
    if (flag > CAL_FLAG_SPLIT_IMAGE_USED) return TCS_RESULT_BAD_PARAM;
    uint8_t* block = calGetCalBlockRef(container, calGetCalBlockTagById(blockId));
    if (block == nullptr) return TCS_RESULT_NULL_POINTER;
    if (flag <= CAL_FLAG_IS_OVERRIDDEN) {
        *outValue = (readU16(block + kInfoFlags) >> flag) & 1u;
    } else if (blockId == 0) {
        *outValue = (readU16(block + kCommDetFlags) >> (flag - 2)) & 1u;
    }
    return TCS_RESULT_OK;
}

TcsResult calResultsSetFlag(CalResultsContainer* container, uint32_t blockId, uint32_t flag) {
    if (container == nullptr) return TCS_RESULT_BAD_PARAM;
    if (flag > CAL_FLAG_SPLIT_IMAGE_USED) return TCS_RESULT_BAD_PARAM;
    uint8_t* block = calGetCalBlockRef(container, calGetCalBlockTagById(blockId));
    if (block == nullptr) return TCS_RESULT_NULL_POINTER;
    if (flag <= CAL_FLAG_IS_OVERRIDDEN) {
        setInfoFlag(block, uint16_t(1u << flag));
    } else if (blockId == 0) {
        writeU16(block + kCommDetFlags, uint16_t(readU16(block + kCommDetFlags) | (1u << (flag - 2))));
    }
    return TCS_RESULT_OK;
}

TcsResult calResultsGetGetPrintStatus(CalResultsContainer* container, uint32_t* outStatus) {
    if (container == nullptr || outStatus == nullptr) return TCS_RESULT_BAD_PARAM;
    uint16_t length = 4;
    uint32_t raw = 0;
    const TcsResult result = palTagValGetBlobDataProperty(container->values, kGetPrintStatusTag, 1, &length, &raw);
    if (result != TCS_RESULT_OK) return result;
    *outStatus = palSensorToHost32(raw);
    return TCS_RESULT_OK;
}

TcsResult calResultsSetGetPrintStatus(CalResultsContainer* container, uint32_t status) {
    if (container == nullptr) return TCS_RESULT_BAD_PARAM;
    // Setting a tag again would append a second property that lookups never see.
    palTagValDeleteProperty(container->values, kGetPrintStatusTag);
    const uint32_t raw = palHostToSensor32(status);
    return palTagValSetBlobDataProperty(container->values, kGetPrintStatusTag, 1, 4, &raw);
}

TcsResult calResultsGetAsBlob(CalResultsContainer* container, uint32_t* inOutLength, void* buffer) {
    if (container == nullptr || inOutLength == nullptr) return TCS_RESULT_BAD_PARAM;
    return palTagValGetContainerDataAsBlob(container->values, inOutLength, buffer);
}

TcsResult calResultsSetFromBlob(CalResultsContainer* container, uint32_t length, const void* blob) {
    if (container == nullptr || blob == nullptr) return TCS_RESULT_BAD_PARAM;
    return palTagValSetBlobAsContainerData(container->values, length, blob);
}

TcsResult calResultsGetCompactResults(CalResultsContainer* container, uint32_t* inOutLength, uint8_t* buffer) {
    if (container == nullptr || inOutLength == nullptr) return TCS_RESULT_BAD_PARAM;
    uint32_t needed = 0;
    for (uint32_t id = 0; id < kBlockCount; ++id) {
        if (findBlock(container, id) != nullptr) needed += 1u + kSetSize[id];
    }
    if (*inOutLength == 0) {
        *inOutLength = needed;
        return TCS_RESULT_OK;
    }
    if (buffer == nullptr) return TCS_RESULT_BAD_PARAM;
    if (*inOutLength < needed) return TCS_RESULT_BUFFER_TOO_SMALL;
    uint8_t* out = buffer;
    for (uint32_t id = 0; id < kBlockCount; ++id) {
        const uint8_t* block = findBlock(container, id);
        if (block == nullptr) continue;
        *out++ = uint8_t(id << 5 | kSetSize[id]);
        std::memcpy(out, block + setOffset(id, setInForce(block)), kSetSize[id]);
        out += kSetSize[id];
    }
    *inOutLength = needed;
    return TCS_RESULT_OK;
}

TcsResult calResultsSetFromCompactResults(CalResultsContainer* container, uint32_t length, const uint8_t* data) {
    if (container == nullptr) return TCS_RESULT_BAD_PARAM;
    if (length == 0) return TCS_RESULT_OK;
    if (data == nullptr) return TCS_RESULT_BAD_PARAM;
    uint32_t at = 0;
    while (at < length) {
        const uint32_t kind = data[at] >> 5;
        const uint32_t size = data[at] & 0x1Fu;
        if (size > length - at - 1) return TCS_RESULT_BAD_PARAM;
        if (kind >= kBlockCount) return TCS_RESULT_BAD_PARAM;
        // A longer entry would spill into the block's next set.
        if (size > kSetSize[kind]) return TCS_RESULT_BAD_PARAM;
        uint8_t* block = calGetCalBlockRef(container, calGetCalBlockTagById(kind));
        if (block == nullptr) return TCS_RESULT_ERROR;
        std::memcpy(block + setOffset(kind, CAL_SET_CHOSEN), data + at + 1, size);
        at += 1 + size;
    }
    return TCS_RESULT_OK;
}

TcsResult calResultsGetResultsInOldFormat(CalResultsContainer* container, CalOldFormatRecord* out) {
    if (container == nullptr || out == nullptr) return TCS_RESULT_BAD_PARAM;
    auto* words = static_cast<uint32_t*>(palRealMalloc(kBlockCount * sizeof(uint32_t)));
    if (words == nullptr) return TCS_RESULT_INVALID;
    uint32_t count = 0;
    for (uint32_t id = 0; id < kBlockCount; ++id) {
        const uint8_t* block = findBlock(container, id);
        if (block == nullptr) continue;
        const uint8_t* chosen = block + setOffset(id, CAL_SET_CHOSEN);
        uint32_t word = uint32_t(readU16(block) & 0xFF) | uint32_t(readU16(block + 2) & 0xFF) << 8 |
                        uint32_t(readU16(block + kInfoFlags) & 1u) << 5;
        switch (id) {
            case 0: {
                const uint16_t flags = readU16(block + kCommDetFlags);
                word |= (uint32_t(block[60]) | readU16(chosen + 2)) << 12;
                word |= uint32_t(readU16(chosen)) << 16;
                word |= uint32_t(flags & 1u) << 10 | uint32_t((flags >> 1) & 1u) << 11 |
                        uint32_t((flags >> 2) & 1u) << 29 | uint32_t((flags >> 3) & 1u) << 28;
                break;
            }
            case 4: word |= uint32_t(chosen[0]) << 12 | uint32_t(chosen[1]) << 20 | uint32_t(block[14] & 7u) << 28; break;
            case 5: word |= uint32_t(block[26]) << 12; break;
            default: word |= uint32_t(chosen[0]) << 12; break;
        }
        words[count++] = word;
    }
    uint32_t status = 0;
    const TcsResult result = calResultsGetGetPrintStatus(container, &status);
    if (result != TCS_RESULT_OK) {
        palRealFree(words);
        return result;
    }
    out->words = words;
    out->count = count;
    out->usesDefaults = count > 0 ? (words[0] >> 5) & 1u : 0;
    out->getPrintStatus = status;
    return TCS_RESULT_OK;
}

TcsResult calResultsSetResultsFromOldFormat(CalResultsContainer* container, const CalOldFormatRecord* record) {
    if (container == nullptr || record == nullptr) return TCS_RESULT_BAD_PARAM;
    if (record->count > kBlockCount || (record->count > 0 && record->words == nullptr)) return TCS_RESULT_BAD_PARAM;
    const TcsResult stored = calResultsSetGetPrintStatus(container, record->getPrintStatus);
    if (stored != TCS_RESULT_OK) return stored;
    for (uint32_t id = 0; id < record->count; ++id) {
        const uint32_t word = record->words[id];
        uint8_t* block = calGetCalBlockRef(container, calGetCalBlockTagById(id));
        if (block == nullptr) return TCS_RESULT_NULL_POINTER;
        writeU16(block, uint16_t(word & 0x1F));
        writeU16(block + 2, uint16_t((word >> 8) & 3u));
        const bool isDefault = (word >> 5) & 1u;
        if (isDefault) setInfoFlag(block, 1);
        uint8_t* set = block + setOffset(id, isDefault ? CAL_SET_DEFAULT : CAL_SET_CHOSEN);
        const auto bits12 = uint8_t(word >> 12);
        switch (id) {
            case 0: {
                writeU16(block + kCommDetAlgorithm, 0);
                block[60] = bits12;
                block[61] = bits12;
                const uint16_t flags = uint16_t(((word >> 10) & 1u) | ((word >> 11) & 1u) << 1 |
                                                ((word >> 29) & 1u) << 2 | ((word >> 28) & 1u) << 3);
                writeU16(block + kCommDetFlags, uint16_t(readU16(block + kCommDetFlags) | flags));
                writeU16(set + 2, uint16_t(((word >> 20) & 0xFu) * 256));
                writeU16(set, uint16_t(((word >> 24) & 0xFu) * 256));
                break;
            }
            case 3: set[0] = bits12; set[1] = bits12; break;
            case 4: set[0] = bits12; set[1] = uint8_t(word >> 20); block[14] = uint8_t((word >> 28) & 7u); break;
            case 5: block[26] = bits12; break;
            default: set[0] = bits12; break;
        }
    }
    return TCS_RESULT_OK;
}
