// Persistent settings: a text registry of sections and values, reread and rewritten whole on every access.
#pragma once

#include "platform/list.h"
#include "tcs/result.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Parsed form of the file. Sizes include the NUL.
typedef struct PersistentValue {
    PalListEntry links;
    char* name;
    uint32_t nameSize;
    char* text;
    uint32_t textSize;
    // 1: a line that reads as no value (damaged or hand-edited). name holds it as it was (nameSize - 1
    // bytes, NULs included) and it is written back unchanged; look-ups pass over it.
    uint32_t verbatim;
} PersistentValue;

typedef struct PersistentSection {
    PalListEntry links;
    char* name;
    uint32_t nameSize;
    PalListEntry values;  // of PersistentValue
    // 1: a header line that reads as no section, kept in name as it was, or (name empty) the lines
    // before the first header. Look-ups pass over it and its values; all is written back unchanged.
    uint32_t verbatim;
} PersistentSection;

// Fills head (initialised here) with the file's sections; a missing file is created empty (0600).
TcsResult palReadAllPersistentData(PalListEntry* head);
// Replaces the file whole or not at all; 17 when a name or text would not read back as itself.
TcsResult palWriteAllPersistentData(PalListEntry* head);
// Frees every section and value of a list filled by palReadAllPersistentData; head is left empty.
void palFreeAllPersistentData(PalListEntry* head);

// Names are matched as prefixes: the first stored section/value whose name begins with the request.
TcsResult palSetPersistentDataStringValue(const char* section, const char* name, const char* text, uint32_t size);
TcsResult palSetPersistentDataLongValue(const char* section, const char* name, uint32_t value);
TcsResult palSetPersistentDataBinaryValue(const char* section, const char* name, const uint8_t* bytes,
                                          uint32_t count);
// A NULL buffer asks for the size (with the NUL); 5 when *size is too small (size left unchanged).
TcsResult palGetPersistentDataStringValue(const char* section, const char* name, const char* defaultText,
                                          uint32_t defaultSize, char* buffer, uint32_t* size);
TcsResult palGetPersistentDataLongValue(const char* section, const char* name, uint32_t defaultValue,
                                        uint32_t* value);
TcsResult palGetPersistentDataBinaryValue(const char* section, const char* name, const uint8_t* defaultBytes,
                                          uint32_t defaultCount, uint8_t* bytes, uint32_t* count);
// Removes the first value whose stored name is a prefix of the request, in a section whose stored
// name is a prefix of the requested section.
TcsResult palRemovePersistentDataValue(const char* section, const char* name);

// Registry-style queries this store does not implement: 40 when the section (or, for the existence
// test, the value name) is NULL, else 6.
TcsResult palGetPersistentQueryInfo(const char* section, uint32_t* subSectionCount, uint32_t* valueCount);
TcsResult palGetPersistentEnumValue(const char* section, uint32_t index, char* name, uint32_t* nameSize);
TcsResult palGetPersistentEnumKey(const char* section, uint32_t index, char* name, uint32_t* nameSize);
TcsResult palCreatePersistentKey(const char* section);
TcsResult palDeletePersistentKey(const char* section);
TcsResult palVerifyPersistentKeyExistence(const char* section, const char* name);
// Always 6: callers then use their fixed section names.
TcsResult palGetPersistentKeyNameFromSensorId(const char* sensorId, char* buffer, uint32_t size);

#ifdef __cplusplus
}
#endif
