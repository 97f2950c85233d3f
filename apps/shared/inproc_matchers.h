// In-process matchers of the client library: the matcher interface run on the caller's thread, each
// matcher kept in the matcher list of the client that opened it.
#pragma once

#include "tcs/matching/matcher_client.h"

#ifdef __cplusplus
extern "C" {
#endif

// Closes every matcher the client still holds (client tear-down); 0, or 40 for client 0.
TcsResult tovClientCloseMatchers(TcsHandle client);

#ifdef __cplusplus
}
#endif
