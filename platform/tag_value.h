// Tag-value containers: ordered typed properties, serialised as {u16 tag, u16 length, data} records.
#pragma once

#include "platform/list.h"
#include "tcs/result.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Tags from here up are never written and are refused when read.
#define PAL_TAGVAL_FIRST_RESERVED_TAG 0xFFF0u

typedef struct TagValueProperty {
    PalListEntry links;
    uint32_t elementSize;  // 1 byte, 2 word, 4 dword, the caller's for a blob, 0 when parsed
    uint16_t tag;
    uint16_t length;       // bytes
    void* data;            // NULL for length 0 when parsed or by reference
    uint32_t ownsData;     // 1: the property's own copy; 0: points into the caller's memory
    uint32_t parsed;       // 1 for properties parsed from a blob
} TagValueProperty;

typedef struct TagValueContainer {
    PalListEntry properties;  // insertion order
    uint32_t totalSize;       // sum of 4 + length over the properties
    // When 1, getters convert word and dword data of parsed properties from sensor order.
    uint32_t byteOrderFlag;
} TagValueContainer;

TcsResult palTagValContainerInit(TagValueContainer** outContainer);
TcsResult palTagValContainerUnInit(TagValueContainer* container);

// Setters append (a second set of a tag adds another property); lookups find the first.
TcsResult palTagValSetByteProperty(TagValueContainer* container, uint16_t tag, uint8_t value);
TcsResult palTagValSetWordProperty(TagValueContainer* container, uint16_t tag, uint16_t value);
TcsResult palTagValSetDwordProperty(TagValueContainer* container, uint16_t tag, uint32_t value);
TcsResult palTagValSetBlobDataProperty(TagValueContainer* container, uint16_t tag, uint32_t elementSize,
                                       uint16_t length, const void* data);
// The data is not copied and must outlive the container.
TcsResult palTagValSetByteDataPropertyByRef(TagValueContainer* container, uint16_t tag, uint16_t length,
                                            const void* data);
TcsResult palTagValDeleteProperty(TagValueContainer* container, uint16_t tag);

TcsResult palTagValGetByteProperty(TagValueContainer* container, uint16_t tag, uint8_t* outValue);
TcsResult palTagValGetWordProperty(TagValueContainer* container, uint16_t tag, uint16_t* outValue);
TcsResult palTagValGetDwordProperty(TagValueContainer* container, uint16_t tag, uint32_t* outValue);
// An in-length of 0 asks for the property's length.
TcsResult palTagValGetBlobDataProperty(TagValueContainer* container, uint16_t tag, uint32_t elementSize,
                                       uint16_t* inOutLength, void* outBuffer);
TcsResult palTagValGetByteDataPropertyByRef(TagValueContainer* container, uint16_t tag, uint16_t* outLength,
                                            void** outData);

// An in-size of 0 asks for the serialised size.
TcsResult palTagValGetContainerDataAsBlob(TagValueContainer* container, uint32_t* inOutSize, void* outBuffer);
TcsResult palTagValSetBlobAsContainerData(TagValueContainer* container, uint32_t size, const void* blob);
// Values point into the blob, which must outlive the container.
TcsResult palTagValSetBlobAsContainerDataByRef(TagValueContainer* container, uint32_t size, const void* blob);

#ifdef __cplusplus
}
#endif
