// Test seams of the USB transport: its fixed waits, so tests run in milliseconds instead of seconds,
// and the folder of the pre-boot image files.
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
// The folder palGetEFIImage reads every pre-boot image file from; NULL restores "/usr/sbin" for the
// sensor types' own images and the working directory for the generic one.
void palTestSetEFIImageFolder(const char* folder);

#ifdef __cplusplus
}
#endif
