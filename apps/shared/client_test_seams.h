// Test seams of the client library: pipe directory, and waits shortened so tests stay fast.
#pragma once

#include "apps/shared/pipes.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// mutexMs replaces the 8000 ms wait for the process mutex; requestTries the 1000 tries at the
// request channel's objects during set-up; 0 restores either.
void tovClientTestSetWaits(uint32_t mutexMs, uint32_t requestTries);

#ifdef __cplusplus
}
#endif
