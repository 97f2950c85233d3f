// Recognition engine interface, records: format codes, key and option blocks, export and import.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "engines/recognition/recog.h"

#ifdef __cplusplus
extern "C" {
#endif

// Format codes: owner in the high 16 bits (0x001B ANSI INCITS, 0x0101 ISO/IEC, 0x0033 the
// engine's own records), type in the low 16 bits.
#define RECOG_FORMAT_ANSI_TEMPLATE 0x001B0001u
#define RECOG_FORMAT_ANSI_TEMPLATE_OWN 0x001B0002u
#define RECOG_FORMAT_ANSI_FEATURE_SET 0x001B8001u
#define RECOG_FORMAT_ANSI_FEATURE_SET_OWN 0x001B8002u
#define RECOG_FORMAT_ISO_TEMPLATE 0x01010001u
#define RECOG_FORMAT_ISO_TEMPLATE_OWN 0x01010002u
#define RECOG_FORMAT_ISO_FEATURE_SET 0x01018001u
#define RECOG_FORMAT_ISO_FEATURE_SET_OWN 0x01018002u
#define RECOG_FORMAT_FEATURE_SET 0x00330203u
#define RECOG_FORMAT_FEATURE_SET_FITTED 0x00330206u
#define RECOG_FORMAT_FEATURE_SET_KEYED 0x00330207u
#define RECOG_FORMAT_RAROVURA_FEATURE_SET 0x0033020Bu
#define RECOG_FORMAT_TEMPLATE 0x00330204u
#define RECOG_FORMAT_TEMPLATE_FITTED 0x00330205u
#define RECOG_FORMAT_TEMPLATE_KEYED 0x00330208u
#define RECOG_FORMAT_RAROVURA_TEMPLATE 0x0033020Cu
#define RECOG_FORMAT_ALIGNMENT 0x00330801u

// Key block of the own records: size 24 carries a key, size 40 a key wrapped under the engine's
// unwrapping key with its 8-byte initial block.
typedef struct KeyOptions {
    uint64_t size;
    uint8_t key[16];
    uint8_t initialBlock[8];  // size 40 only
    uint8_t spare[8];         // size 40 only; not read
} KeyOptions;

// Settings of the standard minutiae record writer; size 20, 24 (adds width and height) or 32 (adds
// the rotation). 0 keeps the default product identifier, 0xFFFF any other default.
typedef struct RecogStdWriteOptions {
    uint32_t size;
    uint32_t reserved;
    uint32_t productId;
    uint16_t fingerPosition;
    uint16_t viewNumber;
    uint16_t xResolution;  // pixels per centimetre
    uint16_t yResolution;
    uint16_t width;
    uint16_t height;
    uint8_t rotation;  // 256 to a turn
    uint8_t spare[7];
} RecogStdWriteOptions;

// Selection of the standard minutiae record reader; size 16, or 24 with the rotation.
typedef struct RecogStdReadOptions {
    uint32_t size;
    uint32_t reserved;
    uint32_t productId;       // 0 keeps the one read
    uint16_t fingerPosition;  // 0xFFFF with viewNumber 0xFFFF: any view
    uint16_t viewNumber;
    uint8_t rotation;
    uint8_t spare[7];
} RecogStdReadOptions;

// `size` is the buffer's capacity on entry and the record's size (written or needed) on return;
// a null buffer asks for the size only.
RecogResult RecogExport(RecogHandle handle, uint32_t format, void* buffer, uint32_t* size);
RecogResult RecogExportEx(RecogHandle handle, uint32_t format, const void* options, void* buffer, uint32_t* size);
// Makes a new read-only object of the kind `format` names in `context`.
RecogResult RecogImport(RecogHandle context, const void* data, uint32_t size, uint32_t format, uint32_t purpose,
                        RecogHandle* out);
RecogResult RecogImportEx(RecogHandle context, const void* data, uint32_t size, uint32_t format, uint32_t purpose,
                          const void* options, RecogHandle* out);

#ifdef __cplusplus
}
#endif
