// Test seam of the liveness module: makes one of its allocations fail, to show every path releases
// what it took.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The next `after` allocations succeed and the one after fails; a negative value turns the seam off.
void nexTestFailAllocationAfter(int32_t after);

#ifdef __cplusplus
}
#endif
