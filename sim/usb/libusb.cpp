// Virtual sensor: the libusb-0.1 functions over the emulated bus, with the real usb.h types.
#include "sim/usb/bus.h"

#include <usb.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

using simusb::ReadFault;
using simusb::ReadStep;
using simusb::WriteFault;
using namespace simusb::detail;

struct usb_dev_handle {
    std::shared_ptr<Sensor> sensor;  // null for a root hub
    uint32_t generation = 0;
    struct usb_device* device = nullptr;
    int configuration = 0;
};

struct usb_bus* usb_busses = nullptr;

namespace {

constexpr uint16_t kRootHubVendor = 0x1D6B;
constexpr uint16_t kRootHubProduct = 0x0002;
constexpr int kRootHubDevnum = 1;
constexpr uint8_t kRequestOut = 0x01;
constexpr uint8_t kReplyIn = 0x81;
constexpr uint8_t kFingerprintIn = 0x82;
constexpr size_t kConfigTotalLength = 9 + 9 + 3 * 7;

// What libusb shows of one device: the usb_device the stack walks, with the descriptors it
// points at. `dev` comes first so the pointer handed out converts back.
struct ViewDevice {
    struct usb_device dev;
    usb_config_descriptor config;
    usb_interface interface;
    usb_interface_descriptor altsetting;
    usb_endpoint_descriptor endpoints[3];
    simusb::SensorId sensor;  // 0 for the root hub
    uint32_t generation;
};

struct ViewBus {
    usb_bus bus;
    int number;
};

// Per thread, as errno is: transfers fail on several threads at once.
thread_local const char* gLastError = "no error";

int fail(int error, const char* what) {
    gLastError = what;
    errno = error;
    return -error;
}

ViewBus* viewBus(usb_bus* b) { return reinterpret_cast<ViewBus*>(b); }
ViewDevice* viewDevice(struct usb_device* d) { return reinterpret_cast<ViewDevice*>(d); }

void fillDescriptor(usb_device_descriptor& d, uint16_t vendor, uint16_t product, uint8_t variant, bool hasSerial,
                    bool hub) {
    d.bLength = USB_DT_DEVICE_SIZE;
    d.bDescriptorType = USB_DT_DEVICE;
    d.bcdUSB = 0x0200;
    d.bDeviceClass = hub ? USB_CLASS_HUB : USB_CLASS_VENDOR_SPEC;
    d.bDeviceSubClass = hub ? 0 : uint8_t((TOV_USB_SUBCLASS_HIGH << 4) | (variant & 0x0F));
    d.bDeviceProtocol = 0;
    d.bMaxPacketSize0 = 64;
    d.idVendor = vendor;
    d.idProduct = product;
    d.bcdDevice = 0x0100;
    d.iManufacturer = 1;
    d.iProduct = 2;
    d.iSerialNumber = hasSerial ? 3 : 0;
    d.bNumConfigurations = 1;
}

ViewDevice* makeViewDevice(usb_bus* owner, const Sensor* sensor) {
    auto* v = new ViewDevice{};
    const bool hub = sensor == nullptr;
    const int devnum = hub ? kRootHubDevnum : sensor->devnum;
    std::snprintf(v->dev.filename, sizeof v->dev.filename, "%03d", devnum);
    v->dev.bus = owner;
    v->dev.devnum = uint8_t(devnum);
    if (hub) {
        fillDescriptor(v->dev.descriptor, kRootHubVendor, kRootHubProduct, 0, false, true);
    } else {
        fillDescriptor(v->dev.descriptor, sensor->identity.vendorId, sensor->identity.productId, sensor->identity.variant,
                       !sensor->identity.serial.empty(), false);
    }
    const uint8_t addresses[3] = {kRequestOut, kReplyIn, kFingerprintIn};
    for (int i = 0; i < 3; ++i) {
        usb_endpoint_descriptor& e = v->endpoints[i];
        e.bLength = USB_DT_ENDPOINT_SIZE;
        e.bDescriptorType = USB_DT_ENDPOINT;
        e.bEndpointAddress = addresses[i];
        e.bmAttributes = USB_ENDPOINT_TYPE_BULK;
        e.wMaxPacketSize = 64;
    }
    v->altsetting.bLength = USB_DT_INTERFACE_SIZE;
    v->altsetting.bDescriptorType = USB_DT_INTERFACE;
    v->altsetting.bNumEndpoints = hub ? 0 : 3;
    v->altsetting.bInterfaceClass = hub ? USB_CLASS_HUB : USB_CLASS_VENDOR_SPEC;
    v->altsetting.endpoint = hub ? nullptr : v->endpoints;
    v->interface.altsetting = &v->altsetting;
    v->interface.num_altsetting = 1;
    v->config.bLength = USB_DT_CONFIG_SIZE;
    v->config.bDescriptorType = USB_DT_CONFIG;
    v->config.wTotalLength = uint16_t(kConfigTotalLength);
    v->config.bNumInterfaces = 1;
    v->config.bConfigurationValue = 1;
    v->config.bmAttributes = 0x80;
    v->config.MaxPower = 50;
    v->config.interface = &v->interface;
    v->dev.config = &v->config;
    v->sensor = hub ? 0 : sensor->id;
    v->generation = hub ? 0 : sensor->generation;
    return v;
}

template <typename T>
void appendTail(T*& head, T* node) {
    node->next = nullptr;
    node->prev = nullptr;
    if (head == nullptr) {
        head = node;
        return;
    }
    T* tail = head;
    while (tail->next != nullptr) tail = tail->next;
    tail->next = node;
    node->prev = tail;
}

template <typename T>
void unlink(T*& head, T* node) {
    if (node->prev != nullptr) {
        node->prev->next = node->next;
    } else {
        head = node->next;
    }
    if (node->next != nullptr) node->next->prev = node->prev;
}

// The sensor behind a handle while the handle is current, else null.
Sensor* live(usb_dev_handle* handle) {
    if (handle == nullptr || !handle->sensor) return nullptr;
    Sensor* s = handle->sensor.get();
    return s->plugged && s->generation == handle->generation ? s : nullptr;
}

Clock::time_point deadlineFor(int timeout) {
    // libusb-0.1 takes 0 (or less) as no limit.
    return timeout <= 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeout);
}

// Blocks while the endpoint is stalled; false when the handle went stale meanwhile.
bool waitWhileStalled(std::unique_lock<std::mutex>& lock, usb_dev_handle* handle, uint8_t endpoint) {
    Sensor* s = live(handle);
    while (s != nullptr && s->stalled.count(endpoint) != 0) {
        bus().changed.wait(lock);
        s = live(handle);
    }
    return s != nullptr;
}

// Waits out a transfer's time-out; an unplug or reset ends it early with -ENODEV.
int waitTimeout(std::unique_lock<std::mutex>& lock, usb_dev_handle* handle, int timeout) {
    const auto deadline = deadlineFor(timeout);
    while (live(handle) != nullptr) {
        if (bus().changed.wait_until(lock, deadline) == std::cv_status::timeout) {
            return fail(ETIMEDOUT, "transfer timed out");
        }
    }
    return fail(ENODEV, "no such device");
}

std::vector<uint8_t> encodeReply(const simusb::Reply& reply) {
    std::vector<uint8_t> bytes;
    if (!reply.whole) {
        bytes.push_back(uint8_t(reply.status));
        bytes.push_back(uint8_t(reply.status >> 8));
    }
    bytes.insert(bytes.end(), reply.payload.begin(), reply.payload.end());
    return bytes;
}

int runCommand(Sensor& s, const char* bytes, int size) {
    const auto* begin = reinterpret_cast<const uint8_t*>(bytes);
    std::vector<uint8_t> request(begin, begin + size);
    s.log.push_back(request);
    simusb::Reply reply;
    auto hook = request.empty() ? bus().hooks.end() : bus().hooks.find(request[0]);
    if (hook != bus().hooks.end()) {
        reply = hook->second(request);
    } else {
        reply = s.firmware.handle(request);
    }
    afterCommand(s);
    const bool resetting = s.firmware.takeResetRequest();
    if (s.dropCount > 0) {
        --s.dropCount;
        if (resetting) {
            s.firmware.markCommandedReset();
            resetSensor(s);
            return size;
        }
    } else {
        s.resetAfterReply = s.resetAfterReply || resetting;
        auto ready = Clock::now() + std::chrono::milliseconds(reply.delayMs);
        if (s.delayCount > 0) {
            --s.delayCount;
            ready += std::chrono::milliseconds(s.delayMs);
        }
        s.replies.push_back({encodeReply(reply), ready});
    }
    if (!s.firmware.fingerprintTransfers().empty() || !s.replies.empty()) bus().changed.notify_all();
    return size;
}

int readReply(std::unique_lock<std::mutex>& lock, usb_dev_handle* handle, char* out, int size, size_t cap,
              bool truncating, int timeout) {
    const auto deadline = deadlineFor(timeout);
    for (;;) {
        Sensor* s = live(handle);
        if (s == nullptr) return fail(ENODEV, "no such device");
        auto wakeAt = deadline;
        if (!s->replies.empty()) {
            const PendingReply& front = s->replies.front();
            if (front.readyAt <= Clock::now()) {
                std::vector<uint8_t> bytes = std::move(s->replies.front().bytes);
                s->replies.pop_front();
                if (!truncating && bytes.size() > size_t(size)) return fail(EOVERFLOW, "reply larger than the read");
                const size_t n = std::min(cap, bytes.size());
                if (n != 0) std::memcpy(out, bytes.data(), n);  // an empty reply has no data pointer
                if (s->resetAfterReply && s->replies.empty()) {
                    // The reset command's answer is out: the sensor restarts and re-enumerates.
                    s->resetAfterReply = false;
                    s->firmware.markCommandedReset();
                    resetSensor(*s);
                }
                return int(n);
            }
            wakeAt = std::min(wakeAt, front.readyAt);
        }
        if (bus().changed.wait_until(lock, wakeAt) == std::cv_status::timeout && Clock::now() >= deadline) {
            return fail(ETIMEDOUT, "transfer timed out");
        }
    }
}

int readFingerprint(std::unique_lock<std::mutex>& lock, usb_dev_handle* handle, char* out, size_t cap,
                    int timeout) {
    const auto deadline = deadlineFor(timeout);
    for (;;) {
        Sensor* s = live(handle);
        if (s == nullptr) return fail(ENODEV, "no such device");
        auto& transfers = s->firmware.fingerprintTransfers();
        if (!transfers.empty()) {
            const std::vector<uint8_t>& front = transfers.front();
            const size_t n = std::min(cap, front.size() - s->fingerprintOffset);
            if (n != 0) std::memcpy(out, front.data() + s->fingerprintOffset, n);
            s->fingerprintOffset += n;
            if (s->fingerprintOffset == front.size()) {
                transfers.pop_front();
                s->fingerprintOffset = 0;
            }
            return int(n);
        }
        if (bus().changed.wait_until(lock, deadline) == std::cv_status::timeout) {
            return fail(ETIMEDOUT, "transfer timed out");
        }
    }
}

size_t stringFor(const Sensor* s, int index, std::string& text) {
    if (s == nullptr) return 0;
    switch (index) {
        case 1: text = "Tovantic"; break;
        case 2: text = "Swipe fingerprint sensor"; break;
        case 3: text = s->identity.serial; break;
        default: return 0;
    }
    return text.size();
}

}  // namespace

namespace {
int bulkRead(std::unique_lock<std::mutex>& lock, usb_dev_handle* handle, uint8_t address, char* bytes, int size,
             int timeout) {
    if (live(handle) == nullptr) return fail(ENODEV, "no such device");
    if (address != kReplyIn && address != kFingerprintIn) return fail(EINVAL, "no such endpoint");
    if (size < 0 || (bytes == nullptr && size > 0)) return fail(EINVAL, "bad buffer");
    if (!waitWhileStalled(lock, handle, address)) return fail(ENODEV, "no such device");
    Sensor* s = live(handle);
    size_t cap = size_t(size);
    bool truncating = false;
    auto& steps = s->readSteps[address];
    bool passing = false;
    if (!steps.empty() && steps.front().kind == ReadFault::Pass) {
        passing = true;
    } else if (!steps.empty()) {
        const ReadStep step = steps.front();
        steps.pop_front();
        switch (step.kind) {
            case ReadFault::Pass: break;
            case ReadFault::Empty: return 0;
            case ReadFault::Error: return fail(EIO, "read failed");
            case ReadFault::Timeout: return waitTimeout(lock, handle, timeout);
            case ReadFault::Short:
                cap = std::min(cap, size_t(step.bytes));
                truncating = true;
                break;
        }
    }
    const int result = address == kReplyIn ? readReply(lock, handle, bytes, size, cap, truncating, timeout)
                                           : readFingerprint(lock, handle, bytes, cap, timeout);
    // The read may have waited with the bus unlocked: the sensor or its script may have changed.
    Sensor* after = passing && result > 0 ? live(handle) : nullptr;
    if (after != nullptr) {
        auto& left = after->readSteps[address];
        if (!left.empty() && left.front().kind == ReadFault::Pass) {
            if (left.front().bytes <= uint32_t(result)) left.pop_front();
            else left.front().bytes -= uint32_t(result);
        }
    }
    return result;
}
}  // namespace

extern "C" {

void usb_init(void) {
    static std::once_flag once;
    std::call_once(once, [] { configureFromEnvironment(); });
}

void usb_set_debug(int) {}

char* usb_strerror(void) { return const_cast<char*>(gLastError); }

int usb_find_busses(void) {
    std::lock_guard lock(bus().mutex);
    std::set<int> wanted = {1};
    for (auto& [id, sensor] : bus().sensors) wanted.insert(sensor->identity.bus);
    for (usb_bus* b = usb_busses; b != nullptr; b = b->next) wanted.erase(viewBus(b)->number);
    for (int number : wanted) {
        auto* vb = new ViewBus{};
        vb->number = number;
        std::snprintf(vb->bus.dirname, sizeof vb->bus.dirname, "%03d", number);
        vb->bus.location = uint32_t(number);
        appendTail(usb_busses, &vb->bus);
    }
    return int(wanted.size());
}

int usb_find_devices(void) {
    std::lock_guard lock(bus().mutex);
    int changes = 0;
    for (usb_bus* b = usb_busses; b != nullptr; b = b->next) {
        const int number = viewBus(b)->number;
        bool hasHub = false;
        for (struct usb_device* d = b->devices; d != nullptr;) {
            struct usb_device* next = d->next;
            ViewDevice* v = viewDevice(d);
            bool present = v->sensor == 0;
            if (v->sensor != 0) {
                auto it = bus().sensors.find(v->sensor);
                present = it != bus().sensors.end() && it->second->generation == v->generation;
            }
            hasHub = hasHub || v->sensor == 0;
            if (!present) {
                unlink(b->devices, d);
                delete v;
                ++changes;
            }
            d = next;
        }
        if (!hasHub) {
            ViewDevice* hub = makeViewDevice(b, nullptr);
            appendTail(b->devices, &hub->dev);
            b->root_dev = &hub->dev;
            ++changes;
        }
        for (auto& [id, sensor] : bus().sensors) {
            if (sensor->identity.bus != number) continue;
            bool listed = false;
            for (struct usb_device* d = b->devices; d != nullptr; d = d->next) {
                ViewDevice* v = viewDevice(d);
                listed = listed || (v->sensor == id && v->generation == sensor->generation);
            }
            if (!listed) {
                appendTail(b->devices, &makeViewDevice(b, sensor.get())->dev);
                ++changes;
            }
        }
    }
    return changes;
}

struct usb_bus* usb_get_busses(void) { return usb_busses; }

usb_dev_handle* usb_open(struct usb_device* dev) {
    if (dev == nullptr) {
        fail(EINVAL, "no device");
        return nullptr;
    }
    std::lock_guard lock(bus().mutex);
    ViewDevice* v = viewDevice(dev);
    auto* handle = new usb_dev_handle;
    handle->device = dev;
    if (v->sensor != 0) {
        auto it = bus().sensors.find(v->sensor);
        if (it == bus().sensors.end() || it->second->generation != v->generation) {
            delete handle;
            fail(ENODEV, "no such device");
            return nullptr;
        }
        handle->sensor = it->second;
        handle->generation = v->generation;
    }
    ++bus().openHandles;
    return handle;
}

int usb_close(usb_dev_handle* handle) {
    if (handle == nullptr) return fail(EINVAL, "no handle");
    std::lock_guard lock(bus().mutex);
    --bus().openHandles;
    delete handle;
    return 0;
}

struct usb_device* usb_device(usb_dev_handle* handle) { return handle == nullptr ? nullptr : handle->device; }

int usb_set_configuration(usb_dev_handle* handle, int configuration) {
    std::lock_guard lock(bus().mutex);
    if (live(handle) == nullptr) return fail(ENODEV, "no such device");
    if (configuration != 1) return fail(EINVAL, "no such configuration");
    handle->configuration = configuration;
    return 0;
}

int usb_claim_interface(usb_dev_handle* handle, int interface) {
    std::lock_guard lock(bus().mutex);
    if (live(handle) == nullptr) return fail(ENODEV, "no such device");
    if (interface != 0) return fail(EINVAL, "no such interface");
    return 0;
}

int usb_release_interface(usb_dev_handle* handle, int interface) {
    std::lock_guard lock(bus().mutex);
    if (live(handle) == nullptr) return fail(ENODEV, "no such device");
    return interface == 0 ? 0 : fail(EINVAL, "no such interface");
}

int usb_set_altinterface(usb_dev_handle* handle, int alternate) {
    std::lock_guard lock(bus().mutex);
    if (live(handle) == nullptr) return fail(ENODEV, "no such device");
    return alternate == 0 ? 0 : fail(EINVAL, "no such alternate setting");
}

int usb_reset(usb_dev_handle* handle) {
    std::lock_guard lock(bus().mutex);
    Sensor* s = live(handle);
    if (s == nullptr) return fail(ENODEV, "no such device");
    resetSensor(*s);
    return 0;
}

int usb_resetep(usb_dev_handle* handle, unsigned int) {
    std::lock_guard lock(bus().mutex);
    return live(handle) == nullptr ? fail(ENODEV, "no such device") : 0;
}

int usb_clear_halt(usb_dev_handle* handle, unsigned int) {
    std::lock_guard lock(bus().mutex);
    return live(handle) == nullptr ? fail(ENODEV, "no such device") : 0;
}

int usb_get_descriptor(usb_dev_handle* handle, unsigned char type, unsigned char index, void* buf, int size) {
    std::lock_guard lock(bus().mutex);
    if (handle == nullptr || (handle->sensor && live(handle) == nullptr)) return fail(ENODEV, "no such device");
    if (buf == nullptr || size < 0) return fail(EINVAL, "bad buffer");
    uint8_t bytes[64] = {};
    size_t length = 0;
    const usb_device_descriptor& d = handle->device->descriptor;
    if (type == USB_DT_DEVICE && index == 0) {
        static_assert(sizeof(usb_device_descriptor) == USB_DT_DEVICE_SIZE);
        std::memcpy(bytes, &d, USB_DT_DEVICE_SIZE);  // little-endian host: already wire order
        length = USB_DT_DEVICE_SIZE;
    } else if (type == USB_DT_CONFIG && index == 0) {
        const ViewDevice* v = viewDevice(handle->device);
        const uint8_t config[9] = {USB_DT_CONFIG_SIZE, USB_DT_CONFIG, uint8_t(kConfigTotalLength), 0, 1, 1, 0, 0x80, 50};
        std::memcpy(bytes, config, 9);
        const uint8_t interface[9] = {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, v->altsetting.bNumEndpoints,
                                      v->altsetting.bInterfaceClass, 0, 0, 0};
        std::memcpy(bytes + 9, interface, 9);
        length = 18;
        for (int i = 0; i < v->altsetting.bNumEndpoints; ++i) {
            const uint8_t ep[7] = {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, v->endpoints[i].bEndpointAddress,
                                   USB_ENDPOINT_TYPE_BULK, 64, 0, 0};
            std::memcpy(bytes + length, ep, 7);
            length += 7;
        }
        bytes[2] = uint8_t(length);
    } else {
        return fail(EPIPE, "no such descriptor");
    }
    const size_t n = std::min(length, size_t(size));
    std::memcpy(buf, bytes, n);
    return int(n);
}

int usb_get_descriptor_by_endpoint(usb_dev_handle* handle, int, unsigned char type, unsigned char index, void* buf,
                                   int size) {
    return usb_get_descriptor(handle, type, index, buf, size);
}

int usb_get_string_simple(usb_dev_handle* handle, int index, char* buf, size_t buflen) {
    std::lock_guard lock(bus().mutex);
    Sensor* s = live(handle);
    if (handle == nullptr || (handle->sensor && s == nullptr)) return fail(ENODEV, "no such device");
    if (buf == nullptr || buflen == 0) return fail(EINVAL, "bad buffer");
    std::string text;
    if (stringFor(s, index, text) == 0) return fail(EPIPE, "no such string");
    const size_t n = std::min(text.size(), buflen - 1);
    std::memcpy(buf, text.data(), n);
    buf[n] = '\0';
    return int(n);
}

int usb_get_string(usb_dev_handle* handle, int index, int, char* buf, size_t buflen) {
    // UTF-16LE string descriptor, as the device would send it.
    std::lock_guard lock(bus().mutex);
    Sensor* s = live(handle);
    if (handle == nullptr || (handle->sensor && s == nullptr)) return fail(ENODEV, "no such device");
    if (buf == nullptr) return fail(EINVAL, "bad buffer");
    std::string text;
    if (stringFor(s, index, text) == 0) return fail(EPIPE, "no such string");
    std::vector<uint8_t> d = {uint8_t(2 + 2 * text.size()), USB_DT_STRING};
    for (char c : text) {
        d.push_back(uint8_t(c));
        d.push_back(0);
    }
    const size_t n = std::min(d.size(), buflen);
    std::memcpy(buf, d.data(), n);
    return int(n);
}

int usb_bulk_write(usb_dev_handle* handle, int ep, const char* bytes, int size, int timeout) {
    std::unique_lock lock(bus().mutex);
    if (live(handle) == nullptr) return fail(ENODEV, "no such device");
    if ((ep & 0x7F) != kRequestOut) return fail(EINVAL, "no such endpoint");
    if (size < 0 || (bytes == nullptr && size > 0)) return fail(EINVAL, "bad buffer");
    if (!waitWhileStalled(lock, handle, kRequestOut)) return fail(ENODEV, "no such device");
    Sensor* s = live(handle);
    if (!s->writeFaults.empty()) {
        const WriteFault fault = s->writeFaults.front();
        s->writeFaults.pop_front();
        switch (fault) {
            case WriteFault::Timeout: return waitTimeout(lock, handle, timeout);
            case WriteFault::Error: return fail(EIO, "write failed");
            case WriteFault::Partial: return size / 2;
        }
    }
    return runCommand(*s, bytes, size);
}


int usb_bulk_read(usb_dev_handle* handle, int ep, char* bytes, int size, int timeout) {
    std::unique_lock lock(bus().mutex);
    const uint8_t address = uint8_t(ep | 0x80);
    const int result = bulkRead(lock, handle, address, bytes, size, timeout);
    if (handle != nullptr && handle->sensor) handle->sensor->reads.push_back({address, size, result});
    return result;
}

int usb_interrupt_write(usb_dev_handle*, int, const char*, int, int) { return fail(EINVAL, "no interrupt endpoint"); }

int usb_interrupt_read(usb_dev_handle*, int, char*, int, int) { return fail(EINVAL, "no interrupt endpoint"); }

int usb_control_msg(usb_dev_handle*, int, int, int, int, char*, int, int) {
    return fail(EPIPE, "control request not supported");
}

int usb_get_driver_np(usb_dev_handle*, int, char*, unsigned int) { return fail(ENODATA, "no driver bound"); }

int usb_detach_kernel_driver_np(usb_dev_handle*, int) { return fail(ENODATA, "no driver bound"); }

}  // extern "C"
