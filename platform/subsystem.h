// Platform layer entry points: start-up and shut-down, its service step and its debug masks.
#pragma once

#include "tcs/result.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The platform layer keeps no debug flags or systems: getters report 0, setters ignore the value.
TcsResult palGetDbgFlags(uint32_t* flags);
TcsResult palGetDbgSystems(uint32_t* systems);
TcsResult palSetDbgFlags(uint32_t flags);
TcsResult palSetDbgSystems(uint32_t systems);

#ifdef __cplusplus
}
#endif
