// Platform layer entry points: start-up and shut-down, its service step and its debug masks.
#pragma once

#include "tcs/result.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Made by palSubsystemStartup, owned by its caller, freed by palSubsystemShutdown. The caller's value
// is the stack's shared wake event.
typedef struct PlatformContext {
    uint64_t callerValue;
} PlatformContext;

// Starts the crypto layer; the out context is NULL on any failure.
TcsResult palSubsystemStartup(PlatformContext** outContext, uint64_t callerValue);
// Frees the context, then stops the crypto layer (208 when that fails).
TcsResult palSubsystemShutdown(PlatformContext* context);
TcsResult palSubsystemService(PlatformContext* context);

// The platform layer keeps no debug flags or systems: getters report 0, setters ignore the value.
TcsResult palGetDbgFlags(uint32_t* flags);
TcsResult palGetDbgSystems(uint32_t* systems);
TcsResult palSetDbgFlags(uint32_t flags);
TcsResult palSetDbgSystems(uint32_t systems);

#ifdef __cplusplus
}
#endif
