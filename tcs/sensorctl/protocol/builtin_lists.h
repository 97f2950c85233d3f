// Built-in configuration lists: descriptor layouts, and the rules that pick a device's patch, print
// configuration and wake-on-event configuration from them (every tie-break included).
#pragma once

#include "tcs/result.h"
#include "tcs/sensorctl/protocol/tag_records.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SCS_CFG_ANY 0xFFFFu  // a match word that matches any value

// Patch, print and wake-on-event descriptors: 20 u32 words, the last two the data pointer.
// Patch words: 4 major, 5 minor, 6 build, 7 revision, 8 patch revision, 9-10 unused in matching,
// 11 patch-id bits, 12 selector, 13 patch class, 14 flex id, 15 ROM flag, 16 match value for the
// version's trailing u16, 17 image length. Print words: 4 major, 5 minor, 6 build, 7 revision,
// 8 flex id, 9 SO clock, 10 swipe speed, 11 line period, 12 line length, 13 mode mask, 14 bit depth,
// 15-16 further values, 17 blob length (words 4-16 are PrintConfiguration fields 0-12).
typedef struct ConfigDescriptor {
    uint32_t words[18];
    const void* data;
} ConfigDescriptor;

// Calibration descriptors: 37 words; data length in word 27, pointer in words 28-29.
typedef struct CalConfigDescriptor {
    uint32_t words[27];
    uint32_t dataLength;
    const void* data;
    uint32_t more[7];
} CalConfigDescriptor;

enum {
    SCS_PD_MAJOR = 4, SCS_PD_MINOR = 5, SCS_PD_BUILD = 6, SCS_PD_REVISION = 7, SCS_PD_PATCH_REVISION = 8,
    SCS_PD_PATCH_IDS = 11, SCS_PD_SELECTOR = 12, SCS_PD_CLASS = 13, SCS_PD_FLEX = 14, SCS_PD_ROM = 15,
    SCS_PD_TRAILING = 16, SCS_PD_LENGTH = 17,
};

// NULL-terminated lists of descriptor pointers.
extern const void* const harlokPatchConfigList[];
extern const void* const harlokPrintConfigList[];
extern const void* const harlokCalConfigList[];
extern const void* const harlokWoeConfigList[];
extern const void* const secMgmtHarlokPatchList[];
extern const void* const harlokTestPatchConfigList[];

#ifdef __cplusplus
}

namespace scslists {

// What the lookups need of a device and its version record.
struct DeviceView {
    uint32_t major, minor, build, revision;
    uint32_t romFlag, flags, trailing;  // flags byte and the trailing u16 of the version record
    uint32_t flexId;
    uint32_t variant;  // sensor variant (2, 3, 4, 6, 7 change the rules)
    bool selkin;
};

const ConfigDescriptor* findPatch(const DeviceView& device, const void* const* list, uint32_t required,
                                  uint32_t selector, uint32_t excluded);

struct PrintQuery {
    uint32_t flexId, soClock, swipeSpeed, bitDepth;
};
// 0 with a new record (blob copied) or with NULL when none qualifies; 7 out of memory.
TcsResult findPrintConfig(const DeviceView& device, const PrintQuery& query, const void* const* list,
                          PrintConfiguration** out);
const ConfigDescriptor* findWoeConfig(const DeviceView& device, const void* const* list);

}  // namespace scslists
#endif
