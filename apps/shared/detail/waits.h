// Waits of the client library that tests may shorten.
#pragma once

#include <stdint.h>

namespace tov::client::detail {

uint32_t mutexWaitMs();
uint32_t requestTries();

}  // namespace tov::client::detail
