// Built-in configuration lists (patches, print, calibration, wake-on-event) of the Harlok families.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// NULL-terminated lists of ConfigDescriptor pointers.
extern const void* const harlokPatchConfigList[];
extern const void* const harlokPrintConfigList[];
extern const void* const harlokCalConfigList[];
extern const void* const harlokWoeConfigList[];

#ifdef __cplusplus
}
#endif
