// The library's own list of live clients, one node per client handle the service issued.
#pragma once

#include "platform/list.h"
#include "platform/threads.h"

#include <stdint.h>

namespace tov::client::detail {

struct ClientNode {
    PalListEntry link;
    uint64_t client;
    PalListEntry matchers;  // in-process matchers of the client
    PalMutexHandle matchersLock;
};
static_assert(sizeof(ClientNode) == 48);

}  // namespace tov::client::detail

#include "apps/shared/client.h"

namespace tov::client::detail {

// An event read by the listener and waiting for the handler.
struct QueuedEvent {
    PalListEntry link;
    EventChannelHeader header;
    void* payload;  // owned, or NULL
};

// True when a packed image of the service lies wholly within length bytes.
bool packedImageFits(const uint8_t* packed, uint32_t length);

}  // namespace tov::client::detail
