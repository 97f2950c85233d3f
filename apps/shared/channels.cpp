// Channels: the segment, semaphore, event and FIFO that one channel name stands for.

#include "apps/shared/client.h"

#include "platform/clock.h"
#include "platform/detail/ipc_keys.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint32_t kRetrySleepMs = 50;
constexpr uint32_t kPipeTries = 20;

// The platform's open calls create what is missing; a client must only attach what the service
// made, so an object counts as there only once its key file is.
bool objectExists(const std::string& name) { return pal::detail::keyFileTrusted(pal::detail::ipcKeyPrefix() + name); }

// Removes the channel's FIFO: only a FIFO of this user's or root's, never what was put in its place.
void removeFifo(const char* path) {
    struct stat status;
    if (path[0] != '\0' && lstat(path, &status) == 0 && S_ISFIFO(status.st_mode) &&
        pal::detail::trustedOwner(status.st_uid)) {
        unlink(path);
    }
}

template <typename Open>
auto tryOpen(const std::string& name, uint32_t tries, Open open) -> decltype(open()) {
    for (uint32_t attempt = 0; attempt < tries; ++attempt) {
        if (objectExists(name)) {
            auto made = open();
            if (made != nullptr) return made;
        }
        if (attempt + 1 < tries) palSleep(kRetrySleepMs);
    }
    return nullptr;
}

bool recordPath(ChannelRecord* channel, const char* name) {
    char directory[64];
    tovClientPipeDirectory(directory, sizeof(directory));
    int length = std::snprintf(channel->path, sizeof(channel->path), "%s%s", directory, name);
    return length > 0 && length <= TOV_CHANNEL_PATH_MAX;
}

bool nameFits(const char* name) { return std::strlen(name) + 5 <= TOV_CHANNEL_PATH_MAX; }

}  // namespace

extern "C" {

TcsResult ChannelOpen(ChannelRecord* channel, const char* name, uint32_t tries) {
    if (channel == nullptr || name == nullptr) return TCS_RESULT_NULL_POINTER;
    if (!nameFits(name)) return TCS_RESULT_BAD_PARAM;
    if (tries == 0) tries = 1;
    std::string base(name);
    std::string segmentName = base + "MMF";
    channel->segment =
        tryOpen(segmentName, tries, [&] { return palSharedMemoryOpen(segmentName.c_str(), TOV_CHANNEL_SEGMENT_SIZE); });
    if (channel->segment == nullptr) return TOV_RESULT_CHANNEL_SEGMENT_MISSING;
    channel->mapping = palSharedMemoryPointerGet(channel->segment);
    if (channel->mapping == nullptr) return TOV_RESULT_CHANNEL_SEGMENT_NOT_MAPPED;
    std::string semaphoreName = base + "Sema";
    channel->semaphore = tryOpen(semaphoreName, tries, [&] { return palSemaphoreOpen(semaphoreName.c_str(), 1); });
    if (channel->semaphore == nullptr) return TOV_RESULT_CHANNEL_SEMAPHORE_MISSING;
    std::string eventName = base + "Event";
    channel->event = tryOpen(eventName, tries, [&] { return palEventOpen(0, 0, eventName.c_str()); });
    if (channel->event == nullptr) return TOV_RESULT_CHANNEL_EVENT_MISSING;
    if (!recordPath(channel, name)) return TCS_RESULT_BAD_PARAM;
    if (channel->preparePipe != 0) return ChannelPipeOpen(channel, 1);
    return TCS_RESULT_OK;
}

TcsResult ChannelCreate(ChannelRecord* channel, const char* name) {
    if (channel == nullptr || name == nullptr) return TCS_RESULT_NULL_POINTER;
    if (!nameFits(name)) return TCS_RESULT_BAD_PARAM;
    std::string base(name);
    channel->segment = palSharedMemoryAlloc((base + "MMF").c_str(), TOV_CHANNEL_SEGMENT_SIZE);
    if (channel->segment == nullptr) return TOV_RESULT_CHANNEL_SEGMENT_MISSING;
    channel->mapping = palSharedMemoryPointerGet(channel->segment);
    if (channel->mapping == nullptr) return TOV_RESULT_CHANNEL_SEGMENT_NOT_MAPPED;
    channel->semaphore = palSemaphoreAlloc((base + "Sema").c_str(), 1);
    if (channel->semaphore == nullptr) return TOV_RESULT_CHANNEL_SEMAPHORE_MISSING;
    channel->event = palEventAlloc(0, 0, (base + "Event").c_str());
    if (channel->event == nullptr) return TOV_RESULT_CHANNEL_EVENT_MISSING;
    if (!recordPath(channel, name)) return TCS_RESULT_BAD_PARAM;
    if (channel->preparePipe == 0) return palPipeCreate(channel->path, 0, &channel->pipe);
    return TCS_RESULT_OK;
}

TcsResult ChannelPipeOpen(ChannelRecord* channel, uint32_t writeSide) {
    if (channel == nullptr) return TCS_RESULT_NULL_POINTER;
    TcsResult result = TCS_RESULT_FILE_OPEN_FAILED;
    for (uint32_t attempt = 0; attempt < kPipeTries; ++attempt) {
        result = palPipeOpen(channel->path, int32_t(writeSide), &channel->pipe);
        if (result != TCS_RESULT_FILE_OPEN_FAILED) break;
        palSleep(kRetrySleepMs);
    }
    return result;
}

TcsResult ChannelDestroy(ChannelRecord* channel) {
    if (channel == nullptr) return TCS_RESULT_NULL_POINTER;
    if (channel->event != nullptr) palEventFree(channel->event);
    if (channel->mapping != nullptr) palSharedMemoryPointerRelease(channel->mapping);
    if (channel->segment != nullptr) palSharedMemoryFree(channel->segment);
    if (channel->semaphore != nullptr) palSemaphoreFree(channel->semaphore);
    if (channel->pipe != nullptr) palPipeClose(channel->pipe);
    // A destroyed channel leaves no FIFO behind, as it leaves no segment or semaphore.
    removeFifo(channel->path);
    std::memset(channel, 0, sizeof(*channel));
    return TCS_RESULT_OK;
}

TcsResult ChannelValidate(const ChannelRecord* channel) {
    return channel == nullptr ? TCS_RESULT_NULL_POINTER : TCS_RESULT_OK;
}

}  // extern "C"
