// Decrypted-template cache of a device: templates the chip decrypted, kept by user key and template
// key so a later identification need not ask the chip again.
#pragma once

#include "tcs/sensorctl/engine/scs_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ScsDecTemplateEntry {
    PalListEntry links;
    uint8_t userKey[16];
    uint8_t templateKey[16];
    uint8_t* data;  // palRealMalloc'd copies
    uint32_t length;
    uint8_t* secondData;  // optional
    uint32_t secondLength;
    uint32_t value;
} ScsDecTemplateEntry;

// Makes the caller's item for one cached entry in *slot (for instance an enroll template).
typedef TcsResult (*ScsDecTemplateItemRoutine)(void** slot, const uint8_t* data, uint32_t length,
                                               const uint8_t* secondData, uint32_t secondLength, uint32_t value);

// Appends an entry with copies of the data; a null template key is stored as zeros. 17 null user key.
TcsResult scsSensorSetDecTemplate(ScsSensor* sensor, const uint8_t* userKey, const uint8_t* templateKey,
                                  const uint8_t* data, uint32_t length, const uint8_t* secondData,
                                  uint32_t secondLength, uint32_t value);
// New copies (palRealMalloc'd, the caller frees them) of the entry with both keys; 77 when absent or
// when a copy cannot be made. Out pointers left null are not filled.
TcsResult scsSensorGetDecTemplate(ScsSensor* sensor, const uint8_t* userKey, const uint8_t* templateKey,
                                  uint8_t** outData, uint32_t* outLength, uint8_t** outSecondData,
                                  uint32_t* outSecondLength, uint32_t* outValue);
// Counts the entries of the user key. With outItems, an array of count pointers filled by the routine;
// with outKeys, an array of count 16-byte template keys; both freed with scsSensorFreeDecTemplatesList.
// A failing routine ends the walk with its result; what was made so far is handed out and counted.
TcsResult scsSensorGetAllDecTemplates(ScsSensor* sensor, const uint8_t* userKey, uint8_t** outKeys, void*** outItems,
                                      uint32_t* outCount, ScsDecTemplateItemRoutine routine);
// 77 when absent.
TcsResult scsSensorRemoveDecTemplate(ScsSensor* sensor, const uint8_t* userKey, const uint8_t* templateKey);
// Frees an array made by scsSensorGetAllDecTemplates; a null list empties the device's cache.
TcsResult scsSensorFreeDecTemplatesList(ScsSensor* sensor, void* list);
// 1 when marked full (0 when the device cannot be had); emptying the cache clears the mark.
uint32_t scsSensorIsDecCacheFull(ScsSensor* sensor);
TcsResult scsSensorMarkDecCacheFull(ScsSensor* sensor);

#ifdef __cplusplus
}
#endif
