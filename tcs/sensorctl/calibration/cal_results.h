// Calibration results container: per-block value sets (Default, Chosen, Overridden) of the analog
// front-end calibration, their compact and old one-word forms, the sensor blob and "LastCal" keys.
#pragma once

#include "platform/tag_value.h"
#include "tcs/result.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Value-set selectors of the byte and word getters.
enum { CAL_SET_DEFAULT = 0, CAL_SET_CHOSEN = 1, CAL_SET_OVERRIDDEN = 2 };

// Flags of calResultsGetFlag/calResultsSetFlag; 2-6 live on the CommDet block only.
enum {
    CAL_FLAG_IS_DEFAULT = 0,
    CAL_FLAG_IS_OVERRIDDEN = 1,
    CAL_FLAG_INVERT_IMAGE = 2,
    CAL_FLAG_CF_ADJUSTED = 3,
    CAL_FLAG_CF1_HALF_STEP = 4,
    CAL_FLAG_CF2_HALF_STEP = 5,
    CAL_FLAG_SPLIT_IMAGE_USED = 6,
};

// Word items.
enum { CAL_WORD_STATUS = 0, CAL_WORD_ATTEMPTS = 1, CAL_WORD_CF1 = 2, CAL_WORD_CF2 = 3, CAL_WORD_ALGORITHM = 4 };

// Byte items (the same number names different fields on different blocks).
enum {
    CAL_ITEM_LNA1A_PRI = 0, CAL_ITEM_LNA1A_SEC = 1, CAL_ITEM_LNA1B_PRI = 2, CAL_ITEM_LNA1B_SEC = 3,
    CAL_ITEM_LNA2A_PRI = 4, CAL_ITEM_LNA2A_SEC = 5, CAL_ITEM_LNA2B_PRI = 6, CAL_ITEM_LNA2B_SEC = 7,
    CAL_ITEM_VGAA_PRI = 8, CAL_ITEM_VGAA_SEC = 9, CAL_ITEM_VGAB_PRI = 10, CAL_ITEM_VGAB_SEC = 11,
    CAL_ITEM_GAIN_TABLE_INDEX_PRI = 12, CAL_ITEM_GAIN_TABLE_INDEX_SEC = 13,
    CAL_ITEM_OFFSET = 14, CAL_ITEM_DELAY = 15, CAL_ITEM_GAIN_PRI = 16, CAL_ITEM_GAIN_SEC = 17,
    CAL_ITEM_THRESHOLD = 18, CAL_ITEM_STATE = 19,
    // AspLna1 reuses 0, 2, 4, 6, 8, 10 for Lna1a, Lna1b, Lna2a, Lna2b, Vgaa, Vgab and 12 for its index;
    // Woe and AspPga1 use CAL_ITEM_GAIN_PRI (16) for their Gain.
};

// One value set per block id (16, 1, 1, 2, 2, 6, 1 bytes; CommDet CF1 and CF2 as host-order u16), or null.
typedef struct CalDefaultsRecord {
    const void* sets[7];
} CalDefaultsRecord;

typedef struct CalResultsContainer {
    TagValueContainer* values;
    uint32_t identity;  // product family; the sensor blob is built for 1 and 2 only
    uint8_t deviceData[16];  // u32 flex id, SO clock, swipe speed, reserved
    CalDefaultsRecord* defaults;
} CalResultsContainer;

typedef struct CalOldFormatRecord {
    uint32_t usesDefaults;
    uint32_t getPrintStatus;
    uint32_t* words;  // allocated by the getter (7 words), freed by the caller with palRealFree
    uint32_t count;
} CalOldFormatRecord;

uint16_t calGetCalBlockTagById(uint32_t blockId);
TcsResult calResultsContainerInit(uint32_t identity, const uint8_t deviceData[16], const CalDefaultsRecord* defaults,
                                  CalResultsContainer** outContainer);
TcsResult calResultsContainerUnInit(CalResultsContainer* container);
uint8_t* calGetCalBlockRef(CalResultsContainer* container, uint16_t tag);
TcsResult calResultsDeleteBlock(CalResultsContainer* container, uint32_t blockId);

TcsResult calResultsGetByte(CalResultsContainer* container, uint32_t blockId, uint32_t set, uint32_t item,
                            uint8_t* outValue);
TcsResult calResultsSetByte(CalResultsContainer* container, uint32_t blockId, uint32_t item, uint8_t value);
TcsResult calResultsGetWord(CalResultsContainer* container, uint32_t blockId, uint32_t set, uint32_t item,
                            uint16_t* outValue);
TcsResult calResultsSetWord(CalResultsContainer* container, uint32_t blockId, uint32_t item, uint16_t value);
TcsResult calResultsGetFlag(CalResultsContainer* container, uint32_t blockId, uint32_t flag, uint32_t* outValue);
TcsResult calResultsSetFlag(CalResultsContainer* container, uint32_t blockId, uint32_t flag);
TcsResult calResultsGetGetPrintStatus(CalResultsContainer* container, uint32_t* outStatus);
TcsResult calResultsSetGetPrintStatus(CalResultsContainer* container, uint32_t status);

TcsResult calResultsGetAsBlob(CalResultsContainer* container, uint32_t* inOutLength, void* buffer);
TcsResult calResultsSetFromBlob(CalResultsContainer* container, uint32_t length, const void* blob);
TcsResult calResultsGetCompactResults(CalResultsContainer* container, uint32_t* inOutLength, uint8_t* buffer);
TcsResult calResultsSetFromCompactResults(CalResultsContainer* container, uint32_t length, const uint8_t* data);
TcsResult calResultsGetResultsInOldFormat(CalResultsContainer* container, CalOldFormatRecord* out);
TcsResult calResultsSetResultsFromOldFormat(CalResultsContainer* container, const CalOldFormatRecord* record);

// The register writes that carry the calibrated settings to the sensor: *length 0 asks for the length.
TcsResult calResultsGetCalibrationDataBlob(CalResultsContainer* container, uint16_t* inOutLength, uint8_t* buffer);

#ifdef __cplusplus
}
#endif
