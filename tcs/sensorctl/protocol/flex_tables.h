// Built-in flex-id tables (Harlok and Dunmo sensor modules) and their lookups.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct FlexIdEntry {
    uint16_t key;
    uint16_t flexId;
    char name[20];
} FlexIdEntry;

#define SCS_FLEX_TABLE_ROWS 106u
#define SCS_FLEX_TABLE_V2_ROWS 272u
extern const FlexIdEntry FlexIDTable[SCS_FLEX_TABLE_ROWS];
extern const FlexIdEntry FlexIDTableV2[SCS_FLEX_TABLE_V2_ROWS];

// Flex id of the first row with the key; 0 when none.
uint32_t scsSensorFindFlexId(uint32_t key, const FlexIdEntry* table, uint32_t rows);
uint32_t scsSensorHarlokFindFlexId(uint32_t key);
uint32_t scsSensorDunmoFindFlexId(uint32_t key);
// Name of the first FlexIDTable row with the flex id; NULL when none.
const char* scsSensorHarlokGetFlexName(uint32_t flexId);

#ifdef __cplusplus
}
#endif
