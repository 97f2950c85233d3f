// USB transport over libusb-0.1: bus polling and device naming, the per-device descriptor queues and
// their worker threads, the device control dispatcher, and the sensor facade over it.
#include "platform/usb_transport.h"

#include "platform/clock.h"
#include "platform/detail/usb_pnp.h"
#include "platform/list.h"
#include "platform/memory.h"
#include "platform/text.h"
#include "platform/usb_ids.h"
#include "platform/usb_test_seams.h"

#include <usb.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace {

constexpr uint32_t kUsbDeviceMagic = 0xBABEBEEF;
constexpr uint32_t kDefaultPollIntervalMs = 500;
constexpr uint32_t kDefaultWorkerStopMs = 2500;
constexpr uint32_t kShutdownWaitSliceMs = 5000;
constexpr uint32_t kMaxDeviceNameLength = 4096;
constexpr uint32_t kFingerprintChunk = 16384;
constexpr int kSerialBufferSize = 256;
constexpr int kEndpointRequest = 0x01;
constexpr int kEndpointReply = 0x81;
constexpr int kEndpointFingerprint = 0x82;

std::atomic<uint32_t> gPollIntervalMs{kDefaultPollIntervalMs};
std::atomic<uint32_t> gWorkerStopMs{kDefaultWorkerStopMs};

// The pre-boot image files sit in the system's folder; a test names a scratch folder instead.
constexpr const char* kSystemImageFolder = "/usr/sbin";
std::mutex gImageFolderLock;
std::string& imageFolder() {
    static auto* folder = new std::string;
    return *folder;
}

enum EntryState : uint32_t { kAnnounced = 0, kArrived = 1, kGone = 2 };

struct UsbDeviceEntry {
    PalListEntry links;
    char* deviceName;
    char* busName;
    char* fileName;
    char serial[kSerialBufferSize];
    uint32_t deviceNameLength;
    uint32_t state;
};

struct UsbSubsystem {
    PnpContext* pnp;
    PalMutexHandle scanLock;
    PalListEntry devices;
    PalMutexHandle deviceListLock;
    PalThreadHandle pollThread;
    uint32_t pollThreadId;
    PalEvent* stopEvent;
    PalEvent* exitEvent;
    PalEvent* scannedEvent;  // set once the initial scan has announced what was on the bus
    std::atomic<uint32_t> stop;
};

UsbSubsystem* pUsbSubsystem = nullptr;

enum QueueIndex { kRequestQueue = 0, kReplyQueue = 1, kEventQueue = 2, kFingerprintQueue = 3 };

struct DescrQueue {
    const char* name;
    PalListEntry first;   // served by the workers
    PalListEntry second;  // only emptied on cancel
    PalMutexHandle lock;
};

struct UsbWorker {
    PalThreadHandle thread;
    uint32_t threadId;
    PalEvent* wake;
    std::atomic<uint32_t> stop;
    PalEvent* exit;
    bool running;  // started and not yet seen to end
};

struct QueueEntry;

// What a fingerprint read brought that no descriptor has taken yet: a read a cancel overtook, or the
// part of a read beyond the descriptor it was made for. The next descriptor starts with it, so the
// sensor's lines reach the next capture in the order they came. Touched by the worker only.
struct FingerprintCarry {
    uint8_t chunk[kFingerprintChunk];
    uint32_t length;
    bool shortRead;  // the read that brought it ended the sensor's transfer
};

}  // namespace

struct UsbDevice {
    uint32_t magic;
    usb_dev_handle* handle;
    DescrQueue queues[4];
    UsbWorker requestWorker;
    UsbWorker fingerprintWorker;
    std::atomic<uint32_t> streaming;
    // The fingerprint descriptor being filled and the bytes delivered into it, under the
    // Fingerprint queue's lock. A cancel completes it at once and clears this; the worker's read
    // runs on into the carry, and what it brings goes to the next descriptor.
    QueueEntry* filling;
    uint32_t fillingLength;
    FingerprintCarry carry;
    std::atomic<uint32_t> pipeTimeouts[3];
};

namespace {

struct QueueEntry {
    PalListEntry links;
    TransferDescriptor* descriptor;
};

const char* const kQueueNames[4] = {"Request", "Reply", "Event", "Fingerprint"};

char* copyText(const char* text) {
    const uint32_t size = uint32_t(std::strlen(text)) + 1;
    auto* copy = static_cast<char*>(palRealMalloc(size));
    if (copy != nullptr) std::memcpy(copy, text, size);
    return copy;
}

// "%s/%s" of bus directory and device file name, the key a scan matches devices by.
bool pathOf(const char* bus, const char* file, char* out, uint32_t size) {
    return palSprintf(out, size, "%s/%s", bus, file) != 0xFFFFFFFFu;
}

void freeEntry(UsbDeviceEntry* entry) {
    palRealFree(entry->deviceName);
    palRealFree(entry->busName);
    palRealFree(entry->fileName);
    palRealFree(entry);
}

// --- Descriptor queues -------------------------------------------------------------------------

void completeDescriptor(QueueEntry* entry, uint32_t status, const uint32_t* length) {
    TransferDescriptor* descriptor = entry->descriptor;
    palRealFree(entry);
    if (length != nullptr) descriptor->length = *length;
    // Once the status is visible the owner may free the descriptor: read the event first and
    // publish the status last, with release order so the length is seen with it.
    PalEvent* event = descriptor->completionEvent;
    __atomic_store_n(&descriptor->status, status, __ATOMIC_RELEASE);
    if (event != nullptr) palEventSet(event);
}

QueueEntry* popFront(DescrQueue& queue) {
    palCriticalSectionAcquire(queue.lock);
    QueueEntry* entry = nullptr;
    if (!palListIsEmpty(&queue.first)) {
        entry = PAL_LIST_RECORD(queue.first.next, QueueEntry, links);
        palListRemove(&entry->links);
    }
    palCriticalSectionRelease(queue.lock);
    return entry;
}

TcsResult enqueue(DescrQueue& queue, TransferDescriptor* descriptor) {
    auto* entry = static_cast<QueueEntry*>(palRealMalloc(sizeof(QueueEntry)));
    if (entry == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    entry->descriptor = descriptor;
    palCriticalSectionAcquire(queue.lock);
    descriptor->status = PAL_TRANSFER_PENDING;
    palListInsertTail(&queue.first, &entry->links);
    palCriticalSectionRelease(queue.lock);
    return TCS_RESULT_OK;
}

void cancelList(PalListEntry& list) {
    const uint32_t zero = 0;
    while (!palListIsEmpty(&list)) {
        auto* entry = PAL_LIST_RECORD(list.next, QueueEntry, links);
        palListRemove(&entry->links);
        completeDescriptor(entry, PAL_TRANSFER_CANCELLED, &zero);
    }
}

void cancelQueue(DescrQueue& queue) {
    if (queue.lock == nullptr) return;
    palCriticalSectionAcquire(queue.lock);
    cancelList(queue.second);
    cancelList(queue.first);
    palCriticalSectionRelease(queue.lock);
}

// --- Workers -----------------------------------------------------------------------------------

int clampLength(uint32_t length) { return int(std::min<uint32_t>(length, INT_MAX)); }

uint32_t usbSensorRequestDpc(void* argument) {
    auto* device = static_cast<UsbDevice*>(argument);
    UsbWorker& self = device->requestWorker;
    DescrQueue& requests = device->queues[kRequestQueue];
    DescrQueue& replies = device->queues[kReplyQueue];
    while (self.stop.load() == 0) {
        palEventWaitFor(self.wake, PAL_INFINITE);
        while (self.stop.load() == 0 && device->handle != nullptr) {
            QueueEntry* request = popFront(requests);
            if (request == nullptr) break;
            TransferDescriptor* out = request->descriptor;
            const int written = usb_bulk_write(device->handle, kEndpointRequest, static_cast<const char*>(out->data),
                                               clampLength(out->length), int(device->pipeTimeouts[0].load()));
            const bool writeOk = written >= 0 && uint32_t(written) == out->length;
            completeDescriptor(request, writeOk ? PAL_TRANSFER_DONE : PAL_TRANSFER_ERROR, nullptr);

            if (QueueEntry* reply = popFront(replies)) {
                uint32_t length = 0;
                uint32_t status = PAL_TRANSFER_ERROR;
                if (writeOk) {
                    TransferDescriptor* in = reply->descriptor;
                    const int got = usb_bulk_read(device->handle, kEndpointReply, static_cast<char*>(in->data),
                                                  clampLength(in->length), int(device->pipeTimeouts[1].load()));
                    if (got > 0) {
                        length = uint32_t(got);
                        status = PAL_TRANSFER_DONE;
                    }
                }
                completeDescriptor(reply, status, &length);
            }
            // The sensor did not take the request: leave the rest for the next wake-up.
            if (!writeOk) break;
        }
    }
    // Last touch of the device: closing may free it as soon as this is set.
    palEventSet(self.exit);
    return 0;
}

// The fingerprint queue's front descriptor, taken as the one being filled; its length is read here,
// as a cancel may complete and free it once the lock is let go.
QueueEntry* takeFilling(UsbDevice* device, uint32_t* outLength) {
    DescrQueue& queue = device->queues[kFingerprintQueue];
    palCriticalSectionAcquire(queue.lock);
    QueueEntry* entry = nullptr;
    if (!palListIsEmpty(&queue.first)) {
        entry = PAL_LIST_RECORD(queue.first.next, QueueEntry, links);
        palListRemove(&entry->links);
        *outLength = entry->descriptor->length;
        device->filling = entry;
        device->fillingLength = 0;
    }
    palCriticalSectionRelease(queue.lock);
    return entry;
}

bool stillFilling(UsbDevice* device, QueueEntry* entry) {
    DescrQueue& queue = device->queues[kFingerprintQueue];
    palCriticalSectionAcquire(queue.lock);
    const bool mine = device->filling == entry;
    palCriticalSectionRelease(queue.lock);
    return mine;
}

// Copies bytes read into the descriptor unless a cancel has taken the descriptor away meanwhile.
bool deliverChunk(UsbDevice* device, QueueEntry* entry, uint32_t offset, const uint8_t* chunk, uint32_t length) {
    DescrQueue& queue = device->queues[kFingerprintQueue];
    palCriticalSectionAcquire(queue.lock);
    const bool mine = device->filling == entry;
    if (mine) {
        std::memcpy(static_cast<uint8_t*>(entry->descriptor->data) + offset, chunk, length);
        device->fillingLength = offset + length;
    }
    palCriticalSectionRelease(queue.lock);
    return mine;
}

// Completes the descriptor being filled, unless a cancel has completed it already.
void completeFilling(UsbDevice* device, QueueEntry* entry, uint32_t status, uint32_t length) {
    DescrQueue& queue = device->queues[kFingerprintQueue];
    palCriticalSectionAcquire(queue.lock);
    if (device->filling == entry) {
        device->filling = nullptr;
        completeDescriptor(entry, status, &length);
    }
    palCriticalSectionRelease(queue.lock);
}

// The cancel's part of the descriptor being filled: completed at once with what it holds.
void cancelFilling(UsbDevice* device) {
    DescrQueue& queue = device->queues[kFingerprintQueue];
    palCriticalSectionAcquire(queue.lock);
    if (device->filling != nullptr) {
        const uint32_t length = device->fillingLength;
        completeDescriptor(device->filling, PAL_TRANSFER_CANCELLED, &length);
        device->filling = nullptr;
    }
    palCriticalSectionRelease(queue.lock);
}

// Fills one fingerprint descriptor of the given length, first from the carry, then by reads into
// the carry's chunk; returns its completion status and the bytes delivered.
uint32_t fillFingerprintDescriptor(UsbDevice* device, QueueEntry* entry, uint32_t length, FingerprintCarry& carry,
                                   uint32_t& offset) {
    offset = 0;
    bool retryLeft = true;
    while (offset < length) {
        if (carry.length == 0) {
            // A descriptor cancelled between reads needs no further read.
            if (!stillFilling(device, entry)) return PAL_TRANSFER_CANCELLED;
            const uint32_t asked = std::min(length - offset, kFingerprintChunk);
            const int got = usb_bulk_read(device->handle, kEndpointFingerprint, reinterpret_cast<char*>(carry.chunk),
                                          int(asked), int(device->pipeTimeouts[2].load()));
            if (got <= 0) {
                if (!stillFilling(device, entry)) return PAL_TRANSFER_CANCELLED;
                if (offset != 0) return PAL_TRANSFER_DONE;
                if (retryLeft) {
                    retryLeft = false;
                    continue;
                }
                return PAL_TRANSFER_ERROR;
            }
            carry.length = uint32_t(got);
            carry.shortRead = uint32_t(got) < asked;
        }
        const uint32_t taken = std::min(carry.length, length - offset);
        // Cancelled meanwhile: what was read stays in the carry for the next descriptor.
        if (!deliverChunk(device, entry, offset, carry.chunk, taken)) return PAL_TRANSFER_CANCELLED;
        offset += taken;
        carry.length -= taken;
        if (carry.length != 0) {
            std::memmove(carry.chunk, carry.chunk + taken, carry.length);
            return PAL_TRANSFER_DONE;  // full; the rest goes to the next descriptor
        }
        if (carry.shortRead) return PAL_TRANSFER_DONE;  // a short read ends the transfer
    }
    return PAL_TRANSFER_DONE;
}

uint32_t usbSensorFpDataDpc(void* argument) {
    auto* device = static_cast<UsbDevice*>(argument);
    UsbWorker& self = device->fingerprintWorker;
    while (self.stop.load() == 0) {
        palEventWaitFor(self.wake, PAL_INFINITE);
        while (self.stop.load() == 0 && device->handle != nullptr && device->streaming.load() != 0) {
            uint32_t wanted = 0;
            QueueEntry* entry = takeFilling(device, &wanted);
            if (entry == nullptr) break;
            uint32_t length = 0;
            const uint32_t status = fillFingerprintDescriptor(device, entry, wanted, device->carry, length);
            completeFilling(device, entry, status, status == PAL_TRANSFER_ERROR ? 0 : length);
            if (status != PAL_TRANSFER_DONE) break;
        }
    }
    palEventSet(self.exit);
    return 0;
}

TcsResult startWorker(UsbWorker& worker, PalThreadRoutine routine, UsbDevice* device) {
    worker.wake = palEventAlloc(0, 0, nullptr);
    worker.exit = palEventAlloc(0, 0, nullptr);
    TcsResult result = TCS_RESULT_EVENT_CREATION_FAILED;
    if (worker.wake != nullptr && worker.exit != nullptr) {
        worker.stop.store(0);
        result = palThreadBegin(nullptr, routine, device, 0, &worker.thread, &worker.threadId);
    }
    if (result != TCS_RESULT_OK) {
        palEventFree(worker.wake);
        palEventFree(worker.exit);
        worker.wake = nullptr;
        worker.exit = nullptr;
        return result;
    }
    worker.running = true;
    return TCS_RESULT_OK;
}

// True once the worker has ended and its events are freed.
bool stopWorker(UsbWorker& worker, const UsbDevice& device) {
    if (!worker.running) return true;
    worker.stop.store(1);
    palEventSet(worker.wake);
    TcsResult waited = palEventWaitFor(worker.exit, gWorkerStopMs.load());
    if (waited == TCS_RESULT_TIMEOUT) {
        // A worker inside a transfer ends only when that transfer's time-out passes, and sensor
        // control raises pipe time-outs to 90000 ms. Abandoning it and freeing the device let it
        // write into freed memory: wait the transfer out instead, and should even that pass, keep
        // the device allocated and report the failure.
        uint32_t longest = 0;
        for (const auto& timeout : device.pipeTimeouts) longest = std::max(longest, timeout.load());
        waited = palEventWaitFor(worker.exit, longest + gWorkerStopMs.load());
    }
    if (waited != TCS_RESULT_OK) return false;
    palEventFree(worker.wake);
    palEventFree(worker.exit);
    worker.wake = nullptr;
    worker.exit = nullptr;
    worker.running = false;
    return true;
}

void releaseQueues(UsbDevice* device) {
    for (DescrQueue& queue : device->queues) {
        cancelQueue(queue);
        if (queue.lock != nullptr) palCriticalSectionFree(queue.lock);
        queue.lock = nullptr;
        queue.name = "Unassigned";
    }
}

void freeDevice(UsbDevice* device) {
    device->magic = 0;
    device->~UsbDevice();
    palRealFree(device);
}

// --- Bus scan ----------------------------------------------------------------------------------

UsbDeviceEntry* makeEntry(struct usb_bus* bus, struct usb_device* dev) {
    auto* entry = static_cast<UsbDeviceEntry*>(palRealMalloc(sizeof(UsbDeviceEntry)));
    if (entry == nullptr) return nullptr;
    std::memset(entry, 0, sizeof *entry);
    if (dev->descriptor.iSerialNumber != 0) {
        if (usb_dev_handle* handle = usb_open(dev)) {
            if (usb_get_string_simple(handle, dev->descriptor.iSerialNumber, entry->serial, sizeof entry->serial) <= 0) {
                entry->serial[0] = '\0';
            }
            usb_close(handle);
        }
    }
    const char* suffix = entry->serial[0] != '\0' ? entry->serial : bus->dirname;
    char name[kMaxDeviceNameLength + 1];
    palSprintf(name, sizeof name, "usb#Vid_%04x#Pid_%04x#%s", dev->descriptor.idVendor, dev->descriptor.idProduct,
               suffix);
    entry->deviceName = copyText(name);
    entry->busName = copyText(bus->dirname);
    entry->fileName = copyText(dev->filename);
    if (entry->deviceName == nullptr || entry->busName == nullptr || entry->fileName == nullptr) {
        freeEntry(entry);
        return nullptr;
    }
    entry->deviceNameLength = uint32_t(std::strlen(entry->deviceName));
    entry->state = kArrived;
    return entry;
}

UsbDeviceEntry* findEntryByPath(UsbSubsystem* usb, const char* path) {
    char own[2 * (LIBUSB_PATH_MAX + 1) + 2];
    for (PalListEntry* link = usb->devices.next; link != &usb->devices; link = link->next) {
        auto* entry = PAL_LIST_RECORD(link, UsbDeviceEntry, links);
        if (pathOf(entry->busName, entry->fileName, own, sizeof own) && palStringsMatch(own, path)) return entry;
    }
    return nullptr;
}

void usbNotifyDeviceChange(UsbSubsystem* usb) {
    palCriticalSectionAcquire(usb->deviceListLock);
    for (PalListEntry* link = usb->devices.next; link != &usb->devices;) {
        auto* entry = PAL_LIST_RECORD(link, UsbDeviceEntry, links);
        link = link->next;
        if (entry->state == kAnnounced) continue;
        PnpNotification notification = {};
        notification.deviceName = entry->deviceName;
        notification.nameLength = entry->deviceNameLength;
        notification.action = entry->state == kArrived ? PAL_PNP_ACTION_ARRIVAL : PAL_PNP_ACTION_REMOVAL;
        notification.detectionType = PAL_PNP_DETECTION_LIVE;
        pnpNotifyCallbacks(usb->pnp, &notification);
        if (entry->state == kGone) {
            palListRemove(&entry->links);
            freeEntry(entry);
        } else {
            entry->state = kAnnounced;
        }
    }
    palCriticalSectionRelease(usb->deviceListLock);
}

void usbScanForDevice(UsbSubsystem* usb, bool initial) {
    palCriticalSectionAcquire(usb->scanLock);
    usb_find_busses();
    const int changes = usb_find_devices();
    if (changes < 0 || (changes == 0 && !initial)) {
        palCriticalSectionRelease(usb->scanLock);
        return;
    }
    palCriticalSectionAcquire(usb->deviceListLock);
    for (PalListEntry* link = usb->devices.next; link != &usb->devices; link = link->next) {
        PAL_LIST_RECORD(link, UsbDeviceEntry, links)->state = kGone;
    }
    char path[2 * (LIBUSB_PATH_MAX + 1) + 2];
    for (struct usb_bus* bus = usb_get_busses(); bus != nullptr; bus = bus->next) {
        for (struct usb_device* dev = bus->devices; dev != nullptr; dev = dev->next) {
            if (dev->descriptor.idVendor != TOV_USB_VENDOR_ID) continue;
            if (!pathOf(bus->dirname, dev->filename, path, sizeof path)) continue;
            if (UsbDeviceEntry* known = findEntryByPath(usb, path)) {
                known->state = kAnnounced;
                continue;
            }
            if (UsbDeviceEntry* entry = makeEntry(bus, dev)) palListInsertTail(&usb->devices, &entry->links);
        }
    }
    palCriticalSectionRelease(usb->deviceListLock);
    if (usb->pnp != nullptr && usb->pnp->callerValue != 0) {
        palEventSet(reinterpret_cast<PalEvent*>(usb->pnp->callerValue));
    }
    palCriticalSectionRelease(usb->scanLock);
    usbNotifyDeviceChange(usb);
}

uint32_t pollSensorProc(void* argument) {
    auto* usb = static_cast<UsbSubsystem*>(argument);
    usbScanForDevice(usb, true);
    palEventSet(usb->scannedEvent);
    while (usb->stop.load() == 0) {
        const TcsResult waited = palEventWaitFor(usb->stopEvent, gPollIntervalMs.load());
        if (usb->stop.load() != 0) break;
        if (waited == TCS_RESULT_TIMEOUT) usbScanForDevice(usb, false);
    }
    // Clear the identity before the exit event: shut-down frees the record once it sees the event.
    usb->pollThread = 0;
    usb->pollThreadId = 0;
    palEventSet(usb->exitEvent);
    return 0;
}

void freeSubsystem(UsbSubsystem* usb) {
    if (usb->deviceListLock != nullptr) palCriticalSectionFree(usb->deviceListLock);
    if (usb->scanLock != nullptr) palCriticalSectionFree(usb->scanLock);
    if (usb->stopEvent != nullptr) palEventFree(usb->stopEvent);
    if (usb->exitEvent != nullptr) palEventFree(usb->exitEvent);
    if (usb->scannedEvent != nullptr) palEventFree(usb->scannedEvent);
    usb->~UsbSubsystem();
    palRealFree(usb);
}

}  // namespace

// --- Crossing to plug and play -------------------------------------------------------------------

void usbLockDeviceList() {
    if (pUsbSubsystem != nullptr) palCriticalSectionAcquire(pUsbSubsystem->deviceListLock);
}

void usbUnlockDeviceList() {
    if (pUsbSubsystem != nullptr) palCriticalSectionRelease(pUsbSubsystem->deviceListLock);
}

extern "C" {

void palTestSetUsbPollInterval(uint32_t ms) { gPollIntervalMs.store(ms == 0 ? kDefaultPollIntervalMs : ms); }

void palTestSetUsbWorkerStopTimeout(uint32_t ms) { gWorkerStopMs.store(ms == 0 ? kDefaultWorkerStopMs : ms); }

void palTestSetEFIImageFolder(const char* folder) {
    std::lock_guard<std::mutex> hold(gImageFolderLock);
    imageFolder() = folder != nullptr ? folder : "";
}

TcsResult palUsbSubsystemStartup(PnpContext* context) {
    if (context == nullptr) return TCS_RESULT_BAD_PARAM;
    if (pUsbSubsystem != nullptr) return TCS_RESULT_INVALID;
    void* memory = palRealMalloc(sizeof(UsbSubsystem));
    if (memory == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    std::memset(memory, 0, sizeof(UsbSubsystem));
    auto* usb = new (memory) UsbSubsystem{};
    usb->pnp = context;
    palListInit(&usb->devices);
    palCriticalSectionInitialize(&usb->scanLock);
    palCriticalSectionInitialize(&usb->deviceListLock);
    usb_init();
    usb->stopEvent = palEventAlloc(0, 0, nullptr);
    usb->exitEvent = palEventAlloc(0, 0, nullptr);
    usb->scannedEvent = palEventAlloc(1, 0, nullptr);
    if (usb->scanLock == nullptr || usb->deviceListLock == nullptr || usb->stopEvent == nullptr ||
        usb->exitEvent == nullptr || usb->scannedEvent == nullptr) {
        freeSubsystem(usb);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    pUsbSubsystem = usb;
    const TcsResult started = palThreadBegin(nullptr, pollSensorProc, usb, 0, &usb->pollThread, &usb->pollThreadId);
    if (started != TCS_RESULT_OK) {
        pUsbSubsystem = nullptr;
        freeSubsystem(usb);
        return started;
    }
    // Sensors already on the bus must be announced before anyone can register a callback: a
    // callback registered earlier than the initial scan would take them for live arrivals, and
    // the replay that counts the devices present at start-up would find none.
    while (palEventWaitFor(usb->scannedEvent, kShutdownWaitSliceMs) == TCS_RESULT_TIMEOUT) {
    }
    return TCS_RESULT_OK;
}

TcsResult palUsbSubsystemShutdown(void) {
    UsbSubsystem* usb = pUsbSubsystem;
    if (usb == nullptr) return TCS_RESULT_INVALID_HANDLE;
    // The poll thread stops before the entries and the list lock go: it scans under that lock and
    // would otherwise take a freed lock and walk freed entries.
    usb->stop.store(1);
    palEventSet(usb->stopEvent);
    while (palEventWaitFor(usb->exitEvent, kShutdownWaitSliceMs) == TCS_RESULT_TIMEOUT) {
    }
    pUsbSubsystem = nullptr;
    palCriticalSectionAcquire(usb->deviceListLock);
    while (!palListIsEmpty(&usb->devices)) {
        auto* entry = PAL_LIST_RECORD(usb->devices.next, UsbDeviceEntry, links);
        palListRemove(&entry->links);
        freeEntry(entry);
    }
    palCriticalSectionRelease(usb->deviceListLock);
    freeSubsystem(usb);
    return TCS_RESULT_OK;
}

uint32_t palUsbGetDeviceCount(void) {
    UsbSubsystem* usb = pUsbSubsystem;
    if (usb == nullptr || usb->pnp == nullptr) return 0;
    palCriticalSectionAcquire(usb->deviceListLock);
    bool announced = false;
    for (PalListEntry* link = usb->devices.next; link != &usb->devices; link = link->next) {
        announced = announced || PAL_LIST_RECORD(link, UsbDeviceEntry, links)->state == kAnnounced;
    }
    const uint32_t count = announced ? usb->pnp->deviceCount : 0;
    palCriticalSectionRelease(usb->deviceListLock);
    return count;
}

TcsResult palUsbResetDeviceCount(void) {
    UsbSubsystem* usb = pUsbSubsystem;
    if (usb == nullptr) return TCS_RESULT_INVALID_HANDLE;
    palCriticalSectionAcquire(usb->deviceListLock);
    for (PalListEntry* link = usb->devices.next; link != &usb->devices; link = link->next) {
        if (PAL_LIST_RECORD(link, UsbDeviceEntry, links)->state == kAnnounced && usb->pnp != nullptr) {
            usb->pnp->deviceCount = 0;
            break;
        }
    }
    palCriticalSectionRelease(usb->deviceListLock);
    return TCS_RESULT_OK;
}

TcsResult palUsbNotifyExistingDevice(PnpCallbackEntry* callbackEntry) {
    UsbSubsystem* usb = pUsbSubsystem;
    if (usb == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (callbackEntry == nullptr || callbackEntry->callback == nullptr) return TCS_RESULT_BAD_PARAM;
    palCriticalSectionAcquire(usb->deviceListLock);
    for (PalListEntry* link = usb->devices.next; link != &usb->devices; link = link->next) {
        auto* entry = PAL_LIST_RECORD(link, UsbDeviceEntry, links);
        if (entry->state != kAnnounced) continue;
        ++usb->pnp->deviceCount;
        PnpNotification notification = {};
        notification.deviceName = entry->deviceName;
        notification.nameLength = entry->deviceNameLength;
        notification.action = PAL_PNP_ACTION_ARRIVAL;
        notification.detectionType = PAL_PNP_DETECTION_REPLAYED;
        callbackEntry->callback(callbackEntry->context, &notification);
    }
    if (usb->pnp->deviceCount == 0) {
        PnpNotification none = {};
        none.action = PAL_PNP_ACTION_NO_DEVICE;
        callbackEntry->callback(callbackEntry->context, &none);
    }
    palCriticalSectionRelease(usb->deviceListLock);
    return TCS_RESULT_OK;
}

TcsResult palUsbDeviceOpen(const char* deviceName, UsbDevice** outDevice) {
    UsbSubsystem* usb = pUsbSubsystem;
    if (usb == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (outDevice == nullptr) return TCS_RESULT_NULL_POINTER;
    *outDevice = nullptr;
    void* memory = palRealMalloc(sizeof(UsbDevice));
    if (memory == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    std::memset(memory, 0, sizeof(UsbDevice));
    auto* device = new (memory) UsbDevice{};
    device->magic = kUsbDeviceMagic;
    device->pipeTimeouts[0].store(500);
    device->pipeTimeouts[1].store(1500);
    device->pipeTimeouts[2].store(100);
    for (int i = 0; i < 4; ++i) {
        DescrQueue& queue = device->queues[i];
        queue.name = kQueueNames[i];
        palListInit(&queue.first);
        palListInit(&queue.second);
        palCriticalSectionInitialize(&queue.lock);
    }
    auto fail = [&](TcsResult result) {
        if (device->handle != nullptr) usb_close(device->handle);
        releaseQueues(device);
        freeDevice(device);
        return result;
    };
    for (const DescrQueue& queue : device->queues) {
        if (queue.lock == nullptr) return fail(TCS_RESULT_OUT_OF_MEMORY);
    }

    if (deviceName == nullptr) return fail(TCS_RESULT_NULL_POINTER);
    if (std::strlen(deviceName) > kMaxDeviceNameLength) return fail(TCS_RESULT_BAD_PARAM);
    char* busName = nullptr;
    char* fileName = nullptr;
    palCriticalSectionAcquire(usb->deviceListLock);
    for (PalListEntry* link = usb->devices.next; link != &usb->devices; link = link->next) {
        auto* entry = PAL_LIST_RECORD(link, UsbDeviceEntry, links);
        if (palStringsMatch(entry->deviceName, deviceName)) {
            busName = copyText(entry->busName);
            fileName = copyText(entry->fileName);
            break;
        }
    }
    palCriticalSectionRelease(usb->deviceListLock);
    if (busName == nullptr || fileName == nullptr) {
        palRealFree(busName);
        palRealFree(fileName);
        return fail(TCS_RESULT_BAD_PARAM);
    }

    TcsResult result = TCS_RESULT_OK;
    palCriticalSectionAcquire(usb->scanLock);
    struct usb_bus* busses = usb_get_busses();
    struct usb_device* found = nullptr;
    if (busses == nullptr) {
        result = TCS_RESULT_INVALID;
    } else {
        struct usb_bus* bus = busses;
        while (bus != nullptr && !palStringsMatch(bus->dirname, busName)) bus = bus->next;
        if (bus != nullptr) {
            found = bus->devices;
            while (found != nullptr && !palStringsMatch(found->filename, fileName)) found = found->next;
        }
        if (found == nullptr) result = TCS_RESULT_SENSOR_NOT_FOUND;
    }
    if (found != nullptr) {
        device->handle = usb_open(found);
        if (device->handle == nullptr) {
            result = TCS_RESULT_SENSOR_OPEN_FAILED;
        } else if (found->descriptor.idVendor == TOV_USB_VENDOR_ID && found->descriptor.bNumConfigurations > 0 &&
                   found->config != nullptr) {
            if (usb_set_configuration(device->handle, found->config[0].bConfigurationValue) < 0 ||
                usb_claim_interface(device->handle, 0) < 0 || usb_set_altinterface(device->handle, 0) < 0) {
                result = TCS_RESULT_SENSOR_OPEN_FAILED;
            }
        }
    }
    palCriticalSectionRelease(usb->scanLock);
    palRealFree(busName);
    palRealFree(fileName);
    if (result != TCS_RESULT_OK) return fail(result);

    result = startWorker(device->requestWorker, usbSensorRequestDpc, device);
    if (result == TCS_RESULT_OK) {
        result = startWorker(device->fingerprintWorker, usbSensorFpDataDpc, device);
        if (result != TCS_RESULT_OK) stopWorker(device->requestWorker, *device);
    }
    if (result != TCS_RESULT_OK) return fail(result);
    *outDevice = device;
    return TCS_RESULT_OK;
}

TcsResult palUsbDeviceClose(UsbDevice* device) {
    if (pUsbSubsystem == nullptr || device == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (device->magic != kUsbDeviceMagic) return TCS_RESULT_INVALID;
    if (!stopWorker(device->requestWorker, *device)) return TCS_RESULT_TIMEOUT;
    if (!stopWorker(device->fingerprintWorker, *device)) return TCS_RESULT_TIMEOUT;
    if (device->handle != nullptr) {
        if (usb_close(device->handle) < 0) return TCS_RESULT_INVALID_HANDLE;
        device->handle = nullptr;
    }
    releaseQueues(device);
    freeDevice(device);
    return TCS_RESULT_OK;
}

TcsResult palUsbGetPipeTimeout(UsbDevice* device, uint32_t pipe, uint32_t* outMs) {
    if (device == nullptr || device->magic != kUsbDeviceMagic) return TCS_RESULT_INVALID_HANDLE;
    if (pipe > 2 || outMs == nullptr) return TCS_RESULT_BAD_PARAM;
    *outMs = device->pipeTimeouts[pipe].load();
    return TCS_RESULT_OK;
}

TcsResult palUsbSetPipeTimeout(UsbDevice* device, uint32_t pipe, uint32_t ms) {
    if (device == nullptr || device->magic != kUsbDeviceMagic) return TCS_RESULT_INVALID_HANDLE;
    if (pipe > 2) return TCS_RESULT_BAD_PARAM;
    device->pipeTimeouts[pipe].store(ms);
    return TCS_RESULT_OK;
}

TcsResult palUsbDeviceIoControl(UsbDevice* device, uint32_t code, void* in, uint32_t inSize, void* out,
                                uint32_t outSize, uint32_t* outReturned) {
    if (device == nullptr || device->magic != kUsbDeviceMagic) return TCS_RESULT_INVALID_HANDLE;
    if (outReturned != nullptr) *outReturned = 0;
    if (code < PAL_SENSOR_CONTROL_BASE || (code - PAL_SENSOR_CONTROL_BASE) % 4 != 0) {
        return TCS_RESULT_NOT_IMPLEMENTED;
    }
    const uint32_t function = 0x800 + (code - PAL_SENSOR_CONTROL_BASE) / 4;
    if (out == nullptr) outSize = 0;
    if (in == nullptr) inSize = 0;
    auto writeU32 = [&](uint32_t value) {
        std::memcpy(out, &value, 4);
        if (outReturned != nullptr) *outReturned = 4;
    };
    switch (function) {
        case 0x800:
            if (outSize < 4) return TCS_RESULT_BAD_PARAM;
            writeU32(0x10000);
            return TCS_RESULT_INVALID;
        case 0x805:
            if (device->handle == nullptr) return TCS_RESULT_SENSOR_NOT_FOUND;
            if (usb_reset(device->handle) < 0) return TCS_RESULT_DEV_RESET_FAILED;
            return TCS_RESULT_INVALID;
        case 0x806:
        case 0x819:
        case 0x81B:
            return inSize > 3 ? TCS_RESULT_INVALID : TCS_RESULT_BAD_PARAM;
        case 0x807:
            return TCS_RESULT_INVALID;
        case 0x810:
        case 0x812:
        case 0x814:
        case 0x816: {
            if (inSize < 8) return TCS_RESULT_BAD_PARAM;
            const int index = int(function - 0x810) / 2;
            const TcsResult queued = enqueue(device->queues[index], static_cast<TransferDescriptor*>(in));
            if (queued != TCS_RESULT_OK) return queued;
            if (function == 0x810) palEventSet(device->requestWorker.wake);
            if (function == 0x816) palEventSet(device->fingerprintWorker.wake);
            return TCS_RESULT_OK;
        }
        case 0x811:
        case 0x813:
        case 0x815:
            cancelQueue(device->queues[(function - 0x811) / 2]);
            return TCS_RESULT_OK;
        case 0x817:
            // Every buffer is completed before this returns, the one being filled included, without
            // waiting for the read the worker is in: after a swipe's last line only its time-out
            // ends it. What that read still brings is kept for the next buffer.
            device->streaming.store(0);
            cancelQueue(device->queues[kFingerprintQueue]);
            cancelFilling(device);
            palEventSet(device->fingerprintWorker.wake);
            return TCS_RESULT_OK;
        case 0x818:
        case 0x81A:
            if (outSize < 4) return TCS_RESULT_BAD_PARAM;
            writeU32(0);
            return TCS_RESULT_INVALID;
        case 0x820: {
            uint8_t descriptor[USB_DT_DEVICE_SIZE];
            if (outSize < 23 || device->handle == nullptr ||
                usb_get_descriptor(device->handle, USB_DT_DEVICE, 0, descriptor, sizeof descriptor) <
                    int(sizeof descriptor)) {
                return TCS_RESULT_INVALID;
            }
            auto* bytes = static_cast<uint8_t*>(out);
            const uint32_t words[4] = {palHostToSensor32(4), palHostToSensor32(5), palHostToSensor32(118), 0};
            std::memcpy(bytes, words, sizeof words);
            // Descriptor fields are little-endian on the wire: idVendor at 8, idProduct at 10.
            const uint16_t product = uint16_t(descriptor[10] | (descriptor[11] << 8));
            const uint16_t vendor = uint16_t(descriptor[8] | (descriptor[9] << 8));
            const uint16_t productOut = palHostToSensor16(product);
            const uint16_t vendorOut = palHostToSensor16(vendor);
            std::memcpy(bytes + 16, &productOut, 2);
            std::memcpy(bytes + 18, &vendorOut, 2);
            bytes[20] = uint8_t(descriptor[5] >> 4);
            bytes[21] = uint8_t(descriptor[5] & 0x0F);
            bytes[22] = 1;
            if (outReturned != nullptr) *outReturned = 23;
            return TCS_RESULT_OK;
        }
        case 0x824:
            device->streaming.store(1);
            palEventSet(device->fingerprintWorker.wake);
            return TCS_RESULT_OK;
        case 0x826:
            return device->handle != nullptr ? TCS_RESULT_OK : TCS_RESULT_INVALID;
        case 0x827:
            return TCS_RESULT_OK;
        case 0x829:
            if (outSize != 4) return TCS_RESULT_INVALID;
            writeU32(5000);
            return TCS_RESULT_OK;
        default:
            return TCS_RESULT_NOT_IMPLEMENTED;
    }
}

// --- Sensor facade -------------------------------------------------------------------------------

TcsResult palSensorOpen(void* platformContext, const char* deviceName, PalSensorHandle** outHandle) {
    if (platformContext == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (deviceName == nullptr || outHandle == nullptr) return TCS_RESULT_BAD_PARAM;
    *outHandle = nullptr;
    auto* handle = static_cast<PalSensorHandle*>(palRealMalloc(sizeof(PalSensorHandle)));
    if (handle == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    std::memset(handle, 0, sizeof *handle);
    handle->deviceName = copyText(deviceName);
    if (handle->deviceName == nullptr) {
        palRealFree(handle);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    TcsResult result = palUsbDeviceOpen(deviceName, &handle->device);
    if (result == TCS_RESULT_OK && handle->device == nullptr) result = TCS_RESULT_SENSOR_OPEN_FAILED;
    if (result != TCS_RESULT_OK) {
        palRealFree(handle->deviceName);
        palRealFree(handle);
        return result;
    }
    *outHandle = handle;
    return TCS_RESULT_OK;
}

TcsResult palSensorClose(void*, PalSensorHandle* handle) {
    if (handle == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (handle->device != nullptr) {
        const TcsResult closed = palUsbDeviceClose(handle->device);
        if (closed != TCS_RESULT_OK) return closed;
    }
    palRealFree(handle->deviceName);
    palRealFree(handle);
    return TCS_RESULT_OK;
}

TcsResult palSensorSend(PalSensorHandle* handle, uint32_t code, void* in, uint32_t inSize, void* out,
                        uint32_t outSize, uint32_t* outReturned, void*) {
    if (handle == nullptr) return TCS_RESULT_INVALID_HANDLE;
    const TcsResult result = palUsbDeviceIoControl(handle->device, code, in, inSize, out, outSize, outReturned);
    return result == TCS_RESULT_OK ? TCS_RESULT_OK : TCS_RESULT_SENSOR_SEND_FAILED;
}

TcsResult palSensorGetPipeTimeout(PalSensorHandle* handle, uint32_t pipe, uint32_t* outMs) {
    if (outMs == nullptr) return TCS_RESULT_BAD_PARAM;
    return palUsbGetPipeTimeout(handle == nullptr ? nullptr : handle->device, pipe, outMs);
}

TcsResult palSensorGetPipeTimeouts(PalSensorHandle* handle, uint32_t* outReplyReadMs, uint32_t* outRequestWriteMs) {
    TcsResult result = TCS_RESULT_INVALID;
    UsbDevice* device = handle == nullptr ? nullptr : handle->device;
    if (outReplyReadMs != nullptr) result = palUsbGetPipeTimeout(device, PAL_USB_PIPE_REPLY_READ, outReplyReadMs);
    if (outRequestWriteMs != nullptr) {
        result = palUsbGetPipeTimeout(device, PAL_USB_PIPE_REQUEST_WRITE, outRequestWriteMs);
    }
    return result;
}

TcsResult palSensorSetPipeTimeout(PalSensorHandle* handle, uint32_t pipe, uint32_t ms) {
    return palUsbSetPipeTimeout(handle == nullptr ? nullptr : handle->device, pipe, ms);
}

TcsResult palSensorReset(PalSensorHandle* handle) { return handle == nullptr ? TCS_RESULT_BAD_PARAM : TCS_RESULT_OK; }

TcsResult palSensorEnable(PalSensorHandle* handle) { return handle == nullptr ? TCS_RESULT_BAD_PARAM : TCS_RESULT_OK; }

TcsResult palSensorHWReset(PalSensorHandle* handle) {
    // The dispatcher answers 7 after a good port reset, so this reports 26 either way; sensor
    // control treats the function as unavailable.
    return palSensorSend(handle, PAL_SENSOR_CONTROL_CODE(0x805), nullptr, 0, nullptr, 0, nullptr, nullptr) ==
                   TCS_RESULT_OK
               ? TCS_RESULT_OK
               : TCS_RESULT_SENSOR_SEND_FAILED;
}

TcsResult palDriverGetDbgFlags(PalSensorHandle* handle, uint32_t* outFlags) {
    return palSensorSend(handle, PAL_SENSOR_CONTROL_CODE(0x818), nullptr, 0, outFlags, 4, nullptr, nullptr);
}

TcsResult palDriverSetDbgFlags(PalSensorHandle* handle, uint32_t flags) {
    return palSensorSend(handle, PAL_SENSOR_CONTROL_CODE(0x819), &flags, 4, nullptr, 0, nullptr, nullptr);
}

TcsResult palDriverGetDbgSystems(PalSensorHandle* handle, uint32_t* outSystems) {
    return palSensorSend(handle, PAL_SENSOR_CONTROL_CODE(0x81A), nullptr, 0, outSystems, 4, nullptr, nullptr);
}

TcsResult palDriverSetDbgSystems(PalSensorHandle* handle, uint32_t systems) {
    return palSensorSend(handle, PAL_SENSOR_CONTROL_CODE(0x81B), &systems, 4, nullptr, 0, nullptr, nullptr);
}

void palDbgPrintSensor(PalSensorHandle*) {}

TcsResult palGetEFIImage(void* buffer, uint32_t size, uint32_t sensorType) {
    if (buffer == nullptr) return TCS_RESULT_BAD_PARAM;
    const char* name = "OemUsbTFS.img";
    const char* folder = nullptr;  // the working directory
    switch (sensorType) {
        case 100: name = "OemUsbTFS641.img"; folder = kSystemImageFolder; break;
        case 102: name = "OemUsbTFS643.img"; folder = kSystemImageFolder; break;
        case 104: name = "OemUsbTFS645.img"; folder = kSystemImageFolder; break;
        case 110: name = "OemUsbTFS646.img"; folder = kSystemImageFolder; break;
        default: break;
    }
    std::string path;
    {
        std::lock_guard<std::mutex> hold(gImageFolderLock);
        if (!imageFolder().empty()) folder = imageFolder().c_str();
        path = folder != nullptr ? std::string(folder) + "/" + name : name;
    }
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return TCS_RESULT_FILE_OPEN_FAILED;
    TcsResult result = TCS_RESULT_OK;
    long fileSize = -1;
    if (std::fseek(file, 0, SEEK_END) == 0) fileSize = std::ftell(file);
    if (fileSize < 0 || std::fseek(file, 0, SEEK_SET) != 0) {
        result = TCS_RESULT_FILE_READ_FAILED;
    } else if (uint64_t(fileSize) > size) {
        result = TCS_RESULT_BUFFER_TOO_SMALL;
    } else if (fileSize == 0 || std::fread(buffer, 1, size_t(fileSize), file) == 0) {
        result = TCS_RESULT_FILE_READ_FAILED;
    }
    std::fclose(file);
    return result;
}

}  // extern "C"
