// Calibration results out of the container: the register-write blob sent to the sensor, and the
// "LastCal" keys that keep the last calibration in the settings store.
#include "tcs/sensorctl/calibration/cal_results.h"
#include "tcs/sensorctl/calibration/calibration.h"

#include "platform/settings.h"
#include "platform/text.h"

#include <cstring>

namespace {

constexpr uint32_t kBlockCount = 7;
constexpr uint8_t kSetSize[kBlockCount] = {16, 1, 1, 2, 2, 6, 1};
constexpr uint16_t kBlobBytes[kBlockCount] = {192, 13, 18, 26, 0, 78, 13};
constexpr uint16_t kAbsent = TCS_RESULT_DATA_ID_DOESNT_EXIST;

uint16_t readU16(const uint8_t* p) { return palSensorToHost16(uint16_t(p[0] | p[1] << 8)); }
void writeU16(uint8_t* p, uint16_t hostValue) {
    const uint16_t v = palHostToSensor16(hostValue);
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

uint32_t setOffset(uint32_t blockId, uint32_t set) {
    if (blockId == 0) return set == CAL_SET_CHOSEN ? 8 : set == CAL_SET_DEFAULT ? 24 : 40;
    const uint32_t size = kSetSize[blockId];
    return set == CAL_SET_CHOSEN ? 8 : set == CAL_SET_DEFAULT ? 8 + size : 8 + 2 * size;
}

// The stored block, or null with the look-up's result.
uint8_t* storedBlock(CalResultsContainer* container, uint32_t blockId, TcsResult* lookup) {
    uint16_t length = 0;
    void* data = nullptr;
    *lookup = palTagValGetByteDataPropertyByRef(container->values, calGetCalBlockTagById(blockId), &length, &data);
    return *lookup == TCS_RESULT_OK ? static_cast<uint8_t*>(data) : nullptr;
}

const uint8_t* setInForce(const uint8_t* block, uint32_t blockId) {
    const uint16_t flags = readU16(block + 4);
    const uint32_t set = (flags & 1) ? CAL_SET_DEFAULT : (flags & 2) ? CAL_SET_OVERRIDDEN : CAL_SET_CHOSEN;
    return block + setOffset(blockId, set);
}

void putLe16(uint8_t*& out, uint16_t v) {
    out[0] = uint8_t(v);
    out[1] = uint8_t(v >> 8);
    out += 2;
}
void putLe32(uint8_t*& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[i] = uint8_t(v >> (8 * i));
    out += 4;
}
// A 32-bit register write of a byte value.
void registerWrite(uint8_t*& out, uint32_t address, uint8_t value) {
    putLe16(out, 3);
    putLe16(out, 9);
    putLe32(out, address);
    putLe32(out, value);
    *out++ = 4;
}
// A masked write of a 16-bit sensor register.
void maskedWrite(uint8_t*& out, uint16_t address, uint32_t mask, uint32_t value) {
    putLe16(out, 5);
    putLe16(out, 14);
    putLe16(out, address);
    putLe32(out, mask);
    putLe32(out, 0);
    putLe32(out, value);
}

constexpr uint32_t kCommDetRegisters[12] = {
    0x30042104, 0x30042144, 0x30042108, 0x30042148, 0x3004210C, 0x3004214C,
    0x30042110, 0x30042150, 0x30042114, 0x30042154, 0x30042118, 0x30042158,
};
constexpr uint32_t kAspLna1Registers[6] = {0x30042184, 0x30042188, 0x3004218C, 0x30042190, 0x30042194, 0x30042198};

void writeBlockRecords(uint8_t*& out, uint32_t blockId, const uint8_t* set) {
    switch (blockId) {
        case 0:
            maskedWrite(out, 0x200C, 0xFFFF00FD, readU16(set));
            maskedWrite(out, 0x2010, 0xFFFF00FD, readU16(set + 2));
            for (uint32_t i = 0; i < 12; ++i) registerWrite(out, kCommDetRegisters[i], set[4 + i]);
            break;
        case 1: registerWrite(out, 0x300420C8, set[0]); break;
        case 2: maskedWrite(out, 0x2014, 0xFF00FFFF, uint32_t(set[0]) << 16); break;
        case 3:
            registerWrite(out, 0x30042120, set[0]);
            registerWrite(out, 0x30042160, set[1]);
            break;
        case 5:
            for (uint32_t i = 0; i < 6; ++i) registerWrite(out, kAspLna1Registers[i], set[i]);
            break;
        case 6: registerWrite(out, 0x300421A0, set[0]); break;
        default: break;
    }
}

// Settings names of each block: its section, the values of each set and its own extra values.
struct Field {
    const char* name;
    uint32_t offset;  // in the set, or in the block for extras
    uint8_t kind;     // 0 byte, 1 u16 (sensor order), 2 CommDet flag bit
};
constexpr Field kCommDetSet[] = {
    {"CF1", 0, 1},       {"CF2", 2, 1},        {"Lna1aPri", 4, 0},  {"Lna1aSec", 5, 0}, {"Lna1bPri", 6, 0},
    {"Lna1bSec", 7, 0},  {"Lna2aPri", 8, 0},   {"Lna2aSec", 9, 0},  {"Lna2bPri", 10, 0}, {"Lna2bSec", 11, 0},
    {"VgaaPri", 12, 0},  {"VgaaSec", 13, 0},   {"VgabPri", 14, 0},  {"VgabSec", 15, 0},
};
constexpr Field kCommDetExtra[] = {
    {"InvertImage", 0, 2}, {"CFAdgusted", 1, 2}, {"CF1HalfStep", 2, 2}, {"CF2HalfStep", 3, 2},
    {"SplitImageUsed", 4, 2}, {"Algorithm", 58, 1}, {"GainTableIndexPri", 60, 0}, {"GainTableIndexSec", 61, 0},
};
constexpr Field kPgaOffsetSet[] = {{"Offset", 0, 0}};
constexpr Field kAdcSet[] = {{"Delay", 0, 0}};
constexpr Field kPgaGainSet[] = {{"GainPri", 0, 0}, {"GainSec", 1, 0}};
constexpr Field kWoeSet[] = {{"Threshold", 0, 0}, {"Gain", 1, 0}};
constexpr Field kWoeExtra[] = {{"State", 14, 0}};
constexpr Field kAspLna1Set[] = {{"Lna1a", 0, 0}, {"Lna1b", 1, 0}, {"Lna2a", 2, 0},
                                 {"Lna2b", 3, 0}, {"Vgaa", 4, 0},  {"Vgab", 5, 0}};
constexpr Field kAspLna1Extra[] = {{"GainTableIndex", 26, 0}};
constexpr Field kAspPga1Set[] = {{"Gain", 0, 0}};

struct BlockNames {
    const char* section;
    const Field* set;
    uint32_t setCount;
    const Field* extra;
    uint32_t extraCount;
};
constexpr BlockNames kBlocks[kBlockCount] = {
    {"%s\\LastCal\\CommDet", kCommDetSet, 14, kCommDetExtra, 8},
    {"%s\\LastCal\\PgaOffset", kPgaOffsetSet, 1, nullptr, 0},
    {"%s\\LastCal\\Adc", kAdcSet, 1, nullptr, 0},
    {"%s\\LastCal\\PgaGain", kPgaGainSet, 2, nullptr, 0},
    {"%s\\LastCal\\Woe", kWoeSet, 2, kWoeExtra, 1},
    {"%s\\LastCal\\AspLna1", kAspLna1Set, 6, kAspLna1Extra, 1},
    {"%s\\LastCal\\AspPga1", kAspPga1Set, 1, nullptr, 0},
};
constexpr const char* kSetSections[3] = {"%s\\Default", "%s\\Chosen", "%s\\Overridden"};
constexpr uint32_t kSetOrder[3] = {CAL_SET_DEFAULT, CAL_SET_CHOSEN, CAL_SET_OVERRIDDEN};

uint32_t readField(const uint8_t* base, const uint8_t* block, const Field& field) {
    switch (field.kind) {
        case 0: return base[field.offset];
        case 1: return readU16(base + field.offset);
        default: return (readU16(block + 56) >> field.offset) & 1u;
    }
}

void writeField(uint8_t* base, uint8_t* block, const Field& field, uint32_t value) {
    switch (field.kind) {
        case 0: base[field.offset] = uint8_t(value); break;
        case 1: writeU16(base + field.offset, uint16_t(value)); break;
        default:
            if (value == 1) writeU16(block + 56, uint16_t(readU16(block + 56) | (1u << field.offset)));
            break;
    }
}

TcsResult saveBlock(const char* section, uint32_t blockId, const uint8_t* block) {
    const BlockNames& names = kBlocks[blockId];
    const uint16_t flags = readU16(block + 4);
    const struct {
        const char* name;
        uint32_t value;
    } info[] = {{"Status", readU16(block)}, {"Attempts", readU16(block + 2)}, {"IsDefault", flags & 1u},
                {"IsOverridden", (flags >> 1) & 1u}};
    for (const auto& value : info) {
        const TcsResult result = palSetPersistentDataLongValue(section, value.name, value.value);
        if (result != TCS_RESULT_OK) return result;
    }
    for (uint32_t s = 0; s < 3; ++s) {
        char setSection[300];
        palSprintf(setSection, sizeof setSection, kSetSections[s], section);
        const uint8_t* set = block + setOffset(blockId, kSetOrder[s]);
        for (uint32_t f = 0; f < names.setCount; ++f) {
            const TcsResult result =
                palSetPersistentDataLongValue(setSection, names.set[f].name, readField(set, block, names.set[f]));
            if (result != TCS_RESULT_OK) return result;
        }
    }
    for (uint32_t f = 0; f < names.extraCount; ++f) {
        const TcsResult result =
            palSetPersistentDataLongValue(section, names.extra[f].name, readField(block, block, names.extra[f]));
        if (result != TCS_RESULT_OK) return result;
    }
    return TCS_RESULT_OK;
}

uint32_t readLong(const char* section, const char* name) {
    uint32_t value = 0;
    if (palGetPersistentDataLongValue(section, name, 0, &value) != TCS_RESULT_OK) return 0;
    return value;
}

void loadBlock(const char* section, uint32_t blockId, uint8_t* block) {
    const BlockNames& names = kBlocks[blockId];
    writeU16(block, uint16_t(readLong(section, "Status")));
    writeU16(block + 2, uint16_t(readLong(section, "Attempts")));
    uint16_t flags = readU16(block + 4);
    if (readLong(section, "IsDefault") == 1) flags |= 1;
    if (readLong(section, "IsOverridden") == 1) flags |= 2;
    writeU16(block + 4, flags);
    for (uint32_t s = 0; s < 3; ++s) {
        char setSection[300];
        palSprintf(setSection, sizeof setSection, kSetSections[s], section);
        uint8_t* set = block + setOffset(blockId, kSetOrder[s]);
        for (uint32_t f = 0; f < names.setCount; ++f) {
            writeField(set, block, names.set[f], readLong(setSection, names.set[f].name));
        }
    }
    for (uint32_t f = 0; f < names.extraCount; ++f) {
        writeField(block, block, names.extra[f], readLong(section, names.extra[f].name));
    }
}

// Whether the store holds a section of this name (names match as prefixes, as every look-up does).
TcsResult sectionExists(const char* name, bool* exists) {
    PalListEntry head;
    const TcsResult result = palReadAllPersistentData(&head);
    if (result != TCS_RESULT_OK) return result;
    *exists = false;
    for (PalListEntry* e = head.next; e != &head; e = e->next) {
        const auto* section = PAL_LIST_RECORD(e, PersistentSection, links);
        if (palStringsMatch(section->name, name)) {
            *exists = true;
            break;
        }
    }
    palFreeAllPersistentData(&head);
    return TCS_RESULT_OK;
}

}  // namespace

TcsResult calResultsGetCalibrationDataBlob(CalResultsContainer* container, uint16_t* inOutLength, uint8_t* buffer) {
    if (container == nullptr || inOutLength == nullptr) return TCS_RESULT_BAD_PARAM;
    if (*inOutLength != 0 && buffer == nullptr) return TCS_RESULT_BAD_PARAM;
    if (container->identity != 1 && container->identity != 2) return TCS_RESULT_BAD_PARAM;
    uint32_t total = 0;
    uint8_t* out = buffer;
    for (uint32_t id = 0; id < kBlockCount; ++id) {
        TcsResult lookup = TCS_RESULT_OK;
        const uint8_t* block = storedBlock(container, id, &lookup);
        if (block == nullptr) {
            if (lookup == kAbsent) continue;
            return lookup;
        }
        if (*inOutLength != 0) {
            if (total + kBlobBytes[id] > *inOutLength) return TCS_RESULT_BUFFER_TOO_SMALL;
            writeBlockRecords(out, id, setInForce(block, id));
        }
        total += kBlobBytes[id];
    }
    *inOutLength = uint16_t(total);
    return TCS_RESULT_OK;
}

TcsResult calResultsSaveCalDataToPersistentStorage(void* opaque, const char* baseSection) {
    if (opaque == nullptr || baseSection == nullptr) return TCS_RESULT_BAD_PARAM;
    auto* container = static_cast<CalResultsContainer*>(opaque);
    for (uint32_t id = 0; id < kBlockCount; ++id) {
        TcsResult lookup = TCS_RESULT_OK;
        const uint8_t* block = storedBlock(container, id, &lookup);
        if (block == nullptr) {
            if (lookup == kAbsent) continue;
            return lookup;
        }
        char section[300];
        if (palSprintf(section, sizeof section, kBlocks[id].section, baseSection) == 0xFFFFFFFFu) {
            return TCS_RESULT_BAD_PARAM;
        }
        const TcsResult saved = saveBlock(section, id, block);
        if (saved != TCS_RESULT_OK) return saved;
    }
    return TCS_RESULT_OK;
}

TcsResult calResultsLoadLastCalDataFromPersistentStorage(void* opaque, const char* baseSection) {
    if (opaque == nullptr || baseSection == nullptr) return TCS_RESULT_BAD_PARAM;
    auto* container = static_cast<CalResultsContainer*>(opaque);
    for (uint32_t id = 0; id < kBlockCount; ++id) {
        char section[300];
        if (palSprintf(section, sizeof section, kBlocks[id].section, baseSection) == 0xFFFFFFFFu) {
            return TCS_RESULT_BAD_PARAM;
        }
        bool exists = false;
        const TcsResult found = sectionExists(section, &exists);
        if (found != TCS_RESULT_OK) return found;
        if (!exists) continue;
        TcsResult lookup = TCS_RESULT_OK;
        uint8_t* block = storedBlock(container, id, &lookup);
        if (block == nullptr) {
            if (lookup != kAbsent) return lookup;
            // Created zeroed: the stored sets replace any defaults.
            uint8_t fresh[64] = {};
            static constexpr uint8_t kSizes[kBlockCount] = {62, 11, 11, 14, 15, 27, 11};
            const TcsResult created =
                palTagValSetBlobDataProperty(container->values, calGetCalBlockTagById(id), 1, kSizes[id], fresh);
            if (created != TCS_RESULT_OK) return created;
            block = storedBlock(container, id, &lookup);
            if (block == nullptr) return lookup;
        }
        loadBlock(section, id, block);
    }
    return TCS_RESULT_OK;
}
