// Platform memory: the heap allocator every module uses and the leak-tracking allocator.
#pragma once

#include "tcs/result.h"

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

void* palRealMalloc(uint32_t size);
void palRealFree(void* block);

// Records where each block came from: file name cut to the text after its last backslash, names kept
// to 255 bytes. A block it cannot record is handed out untracked.
void* palDbgMalloc(uint32_t size, const char* fileName, uint32_t line, const char* functionName);
void palDbgFree(void* block);
void palDbgPrintMemoryLeaks(void);
void palDbgMemoryValidate(void);

// Only NULL and a size of 0 are reported bad; nothing else is checked.
bool palIsBadWritePtr(const void* address, uint32_t size);
bool palIsBadReadPtr(const void* address, uint32_t size);

// Fixed answers the interface requires.
TcsResult palGetApplicationName(void* reserved, char* buffer, uint32_t* size);
uint32_t palGetPowerSource(void);
TcsResult palRemoteSensorsEnable(void);
TcsResult palVerifyFileSignature(const char* fileName);

#ifdef __cplusplus
}
#endif
