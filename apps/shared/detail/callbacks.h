// The callbacks this process registered with the service: the only ones an event may call.
#pragma once

#include <stdint.h>

namespace tov::client::detail {

// An event callback (client and sensor events, extended operations) or the completion callback of
// an asynchronous capture (event 50): the two are called with different arguments.
enum class CallbackKind : uint8_t { Event, Completion };

// Registrations count: each add needs its own removal.
void callbackAdd(CallbackKind kind, uint64_t callback, uint64_t userData);
void callbackRemove(CallbackKind kind, uint64_t callback, uint64_t userData);
// True when the pair is registered; with `consume` one registration is used up (a one-shot capture).
bool callbackKnown(CallbackKind kind, uint64_t callback, uint64_t userData, bool consume);
// The transport is gone: so is every registration.
void callbackForgetAll();

}  // namespace tov::client::detail
