// Test seams of the USB transport: its fixed waits, so tests run in milliseconds instead of seconds,
// and where it reads the pre-boot image files.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Period of the bus poll thread; 0 restores 500 ms. Takes effect at its next wait.
void palTestSetUsbPollInterval(uint32_t ms);
// How long closing a device waits for a worker before it waits out the worker's transfer;
// 0 restores 2500 ms.
void palTestSetUsbWorkerStopTimeout(uint32_t ms);
// Folder the pre-boot image files are read from, in place of "/usr/sbin" and the working
// directory; NULL restores them.
void palTestSetPreBootImageDirectory(const char* directory);

#ifdef __cplusplus
}
#endif
