// Stand-in service: a thread that owns the request FIFO and answers each client process from a
// small model of clients, sensors, callbacks and parameters, or with replies a test has set.

#include "sim/service/service_standin.h"
#include "sim/service/service_wire.h"

#include "platform/threads.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace sim::service {

namespace {

constexpr uint32_t kSuspendedResult = 357;
constexpr uint32_t kCancelledResult = 1;

// Functions the service still answers while it is suspended.
bool passesWhileSuspended(uint8_t function) {
    static const uint8_t kSet[] = {1, 2, 3, 4, 7, 8, 9, 10, 11, 15, 50, 51, 52, 54, 55, 97};
    for (uint8_t id : kSet) {
        if (id == function) return true;
    }
    return false;
}

void clearPlantedKeyFile(const std::string& keyPrefix, const std::string& name) {
    if (!keyPrefix.empty()) clearPlanted(keyPrefix + name, S_IFREG);
}

struct ClientProcess {
    ChannelObjects output;
    ChannelObjects events;
    int outputDescriptor = -1;
    int eventDescriptor = -1;
};

struct Registration {
    uint32_t process;
    uint64_t handle;
    uint64_t callback;
    uint64_t userData;
};

}  // namespace

struct ServiceStandIn::Impl {
    Config config;
    ChannelObjects request;
    PalSharedObject* stateSegment = nullptr;
    volatile uint32_t* state = nullptr;
    int requestReader = -1;
    int requestKeeper = -1;  // our own writer, so the reader never sees end of file between clients
    std::thread worker;
    std::atomic<bool> stop{false};

    std::mutex lock;
    std::condition_variable changed;
    std::vector<Request> log;
    std::map<uint8_t, CannedReply> canned;
    std::map<uint8_t, Request> held;
    std::map<uint32_t, ClientProcess> processes;
    std::vector<Registration> clientCallbacks;
    std::vector<Registration> sensorCallbacks;
    std::map<uint32_t, uint32_t> parameters;
    bool suspended = false;
    uint64_t nextHandle = 0x1000;
    uint32_t hellos = 0;
    uint32_t goodbyes = 0;
    std::mutex writeLock;

    bool readExact(uint8_t* buffer, size_t count) { return sim::service::readExact(requestReader, buffer, count, stop); }

    void run() {
        while (!stop) {
            uint8_t header[kRequestHeader];
            if (!readExact(header, sizeof(header))) continue;
            Request request;
            std::memcpy(&request.process, header, 4);
            std::memcpy(&request.thread, header + 4, 4);
            request.function = header[8];
            for (int i = 9; i < 60; ++i) request.headerReservedZero &= header[i] == 0;
            uint32_t length;
            std::memcpy(&length, header + 60, 4);
            if (length > kMaxPayload) continue;
            request.payload.resize(length);
            if (length != 0 && !readExact(request.payload.data(), length)) continue;
            answer(request);
        }
    }

    bool writeReply(uint32_t process, uint32_t thread, uint8_t function, const std::vector<uint8_t>& payload,
                    uint32_t lengthField) {
        std::lock_guard<std::mutex> hold(writeLock);
        ClientProcess* client = findProcess(process);
        if (client == nullptr) return false;
        if (client->outputDescriptor < 0) client->outputDescriptor = openWriter(client->output.path);
        if (client->outputDescriptor < 0) return false;
        std::vector<uint8_t> block = replyBlock(thread, function, payload, lengthField);
        return writeAgainOnce(&client->outputDescriptor, client->output.path, block);
    }

    bool writeEvent(uint32_t process, const std::vector<uint8_t>& bytes) {
        std::lock_guard<std::mutex> hold(writeLock);
        ClientProcess* client = findProcess(process);
        if (client == nullptr) return false;
        if (client->eventDescriptor < 0) client->eventDescriptor = openWriter(client->events.path);
        if (client->eventDescriptor < 0) return false;
        return writeAgainOnce(&client->eventDescriptor, client->events.path, bytes);
    }

    ClientProcess* findProcess(uint32_t process) {
        std::lock_guard<std::mutex> hold(lock);
        auto found = processes.find(process);
        return found == processes.end() ? nullptr : &found->second;
    }

    static std::vector<uint8_t> eventBytes(uint32_t id, uint32_t status, uint64_t handle, uint64_t callback,
                                           uint64_t userData, const std::vector<uint8_t>& payload) {
        return eventBlock(id, status, handle, callback, userData, payload);
    }

    std::vector<uint8_t> packedImage() const {
        uint32_t size = config.imageRows * config.imageColumns;
        // Made with its magic: an insert into the empty vector trips g++ 12's overflow warning
        // (a false one) in the ThreadSanitizer build.
        std::vector<uint8_t> record{'T', 'I', 'M', 'G'};
        put32(record, config.imageRows);
        put32(record, config.imageColumns);
        put32(record, size);  // data size
        put32(record, size);  // allocated size
        put32(record, config.imageQuality);
        put32(record, 0);     // swipe speed
        put32(record, 0);
        put64(record, 0);  // IV pointer
        put32(record, 0);  // IV length
        put32(record, 0);  // padding size
        put32(record, 500);
        put32(record, 500);
        put64(record, 0);  // no IR metrics
        put64(record, 0);  // no ASP metrics
        put32(record, 0);
        if (config.imagePixels.size() == size) {
            record.insert(record.end(), config.imagePixels.begin(), config.imagePixels.end());
        } else {
            for (uint32_t i = 0; i < size; ++i) record.push_back(uint8_t(i * 7));
        }
        record.insert(record.end(), 3, 0);
        std::vector<uint8_t> packed;
        put32(packed, uint32_t(record.size()));
        packed.insert(packed.end(), record.begin(), record.end());
        return packed;
    }

    void hello(uint32_t process) {
        std::lock_guard<std::mutex> hold(lock);
        ClientProcess& client = processes[process];
        if (client.output.segment == nullptr) {
            client.output.create(config.pipeDirectory, config.keyFilePrefix, "CH_OUTPUT" + std::to_string(process));
            client.events.create(config.pipeDirectory, config.keyFilePrefix, "CH_EVENT" + std::to_string(process));
        }
        hellos += 1;
    }

    void closeProcess(uint32_t process) {
        std::lock_guard<std::mutex> writing(writeLock);
        std::lock_guard<std::mutex> hold(lock);
        auto found = processes.find(process);
        if (found == processes.end()) return;
        ClientProcess& client = found->second;
        if (client.outputDescriptor >= 0) close(client.outputDescriptor);
        if (client.eventDescriptor >= 0) close(client.eventDescriptor);
        client.output.destroy();
        client.events.destroy();
        processes.erase(found);
    }

    std::vector<uint8_t> result(uint32_t value) {
        std::vector<uint8_t> out;
        put32(out, value);
        return out;
    }

    std::vector<uint8_t> resultWithHandle(uint64_t handle) {
        std::vector<uint8_t> out = result(0);
        put32(out, 0);
        put64(out, handle);
        return out;
    }

    void answer(const Request& request) {
        CannedReply reply;
        bool isCanned = false;
        {
            std::lock_guard<std::mutex> hold(lock);
            log.push_back(request);
            auto found = canned.find(request.function);
            if (found != canned.end()) {
                reply = found->second;
                isCanned = true;
            }
            if (isCanned && reply.hold) held[request.function] = request;
        }
        changed.notify_all();
        if (request.function == 15) hello(request.process);
        if (isCanned) {
            if (reply.hold) return;
            if (reply.vanish) {
                std::lock_guard<std::mutex> writing(writeLock);
                ClientProcess* client = findProcess(request.process);
                if (client != nullptr && client->outputDescriptor >= 0) {
                    close(client->outputDescriptor);
                    client->outputDescriptor = -1;
                }
                return;
            }
            if (reply.otherThreadFirst) {
                const auto& other = reply.otherThreadPayload.empty() ? reply.payload : reply.otherThreadPayload;
                writeReply(request.process, request.thread + 1, request.function, other, uint32_t(other.size()));
            }
            writeReply(request.process, request.thread, request.function, reply.payload,
                       reply.overrideLength ? reply.lengthField : uint32_t(reply.payload.size()));
            return;
        }
        bool isSuspended;
        {
            std::lock_guard<std::mutex> hold(lock);
            isSuspended = suspended;
        }
        if (request.function == 87) {
            cancelHeld();
            return;
        }
        if (isSuspended && !passesWhileSuspended(request.function)) {
            writeReply(request.process, request.thread, request.function, result(kSuspendedResult), 4);
            return;
        }
        std::vector<uint8_t> out = modelReply(request);
        writeReply(request.process, request.thread, request.function, out, uint32_t(out.size()));
        if (request.function == 12) raiseCapture(request);
        if (request.function == 97) {
            writeEvent(request.process, eventBytes(31, 0, 0, 0, 0, {}));
            closeProcess(request.process);
        }
    }

    std::vector<uint8_t> modelReply(const Request& request) {
        const std::vector<uint8_t>& in = request.payload;
        std::lock_guard<std::mutex> hold(lock);
        switch (request.function) {
        case 1:
        case 7:
        case 20:
        case 23:
        case 26:
        case 34:
        case 42:
            return resultWithHandle(nextHandle++);
        case 3:
            clientCallbacks.push_back({request.process, get64(in, 0), get64(in, 8), get64(in, 16)});
            return result(0);
        case 8:
            sensorCallbacks.push_back({request.process, get64(in, 0), get64(in, 8), get64(in, 16)});
            return result(0);
        case 4:
        case 9: {
            auto& list = request.function == 4 ? clientCallbacks : sensorCallbacks;
            std::erase_if(list, [&](const Registration& r) {
                return r.handle == get64(in, 0) && r.callback == get64(in, 8) && r.userData == get64(in, 16);
            });
            return result(0);
        }
        case 11: {
            std::vector<uint8_t> out = result(0);
            put32(out, config.imageRows * config.imageColumns);
            return out;
        }
        case 50:
            parameters[get32(in, 8)] = get32(in, 12);
            return result(0);
        case 51: {
            std::vector<uint8_t> out = result(0);
            put32(out, parameters[get32(in, 8)]);
            return out;
        }
        case 52: {
            std::vector<uint8_t> out = result(0);
            put32(out, suspended ? 1 : 0);
            return out;
        }
        case 97:
            goodbyes += 1;
            return result(0);
        default:
            return result(0);
        }
    }

    // A capture answers at once, then raises image ready to the sensor's callbacks and the completion.
    void raiseCapture(const Request& request) {
        uint64_t sensor = get64(request.payload, 0);
        std::vector<Registration> targets;
        {
            std::lock_guard<std::mutex> hold(lock);
            for (const Registration& r : sensorCallbacks) {
                if (r.handle == sensor) targets.push_back(r);
            }
        }
        std::vector<uint8_t> image = packedImage();
        if (config.announceSwipe) {
            for (const Registration& r : targets) {
                writeEvent(request.process, eventBytes(8, 0, sensor, r.callback, r.userData, {}));
            }
        }
        for (const Registration& r : targets) {
            writeEvent(request.process, eventBytes(5, 0, sensor, r.callback, r.userData, image));
        }
        writeEvent(request.process,
                   eventBytes(50, 0, sensor, get64(request.payload, 8), get64(request.payload, 16), image));
    }

    void cancelHeld() {
        std::map<uint8_t, Request> taken;
        {
            std::lock_guard<std::mutex> hold(lock);
            taken.swap(held);
        }
        for (auto& [function, request] : taken) {
            writeReply(request.process, request.thread, function, result(kCancelledResult), 4);
        }
    }
};

ServiceStandIn::ServiceStandIn(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<ServiceStandIn> ServiceStandIn::start(const Config& config) {
    auto impl = std::make_unique<Impl>();
    impl->config = config;
    if (!impl->request.create(config.pipeDirectory, config.keyFilePrefix, "CH_REQUEST")) {
        impl->request.destroy();
        return nullptr;
    }
    clearPlantedKeyFile(config.keyFilePrefix, kStateSegmentName);
    impl->stateSegment = freshSegment(kStateSegmentName, 4);
    impl->state = impl->stateSegment != nullptr
                      ? static_cast<volatile uint32_t*>(palSharedMemoryPointerGet(impl->stateSegment))
                      : nullptr;
    impl->requestReader = open(impl->request.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    impl->requestKeeper = open(impl->request.path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (impl->state == nullptr || impl->requestReader < 0 || impl->requestKeeper < 0) {
        std::unique_ptr<ServiceStandIn> failed(new ServiceStandIn(std::move(impl)));
        return nullptr;
    }
    *impl->state = 0;
    Impl* raw = impl.get();
    raw->worker = std::thread([raw] { raw->run(); });
    return std::unique_ptr<ServiceStandIn>(new ServiceStandIn(std::move(impl)));
}

ServiceStandIn::~ServiceStandIn() {
    Impl& impl = *impl_;
    if (impl.state != nullptr) *impl.state = 5;
    impl.stop = true;
    if (impl.worker.joinable()) impl.worker.join();
    std::vector<uint32_t> pids;
    {
        std::lock_guard<std::mutex> hold(impl.lock);
        for (auto& entry : impl.processes) pids.push_back(entry.first);
    }
    for (uint32_t pid : pids) impl.closeProcess(pid);
    if (impl.requestReader >= 0) close(impl.requestReader);
    if (impl.requestKeeper >= 0) close(impl.requestKeeper);
    impl.request.destroy();
    if (impl.state != nullptr) palSharedMemoryPointerRelease(const_cast<uint32_t*>(impl.state));
    if (impl.stateSegment != nullptr) palSharedMemoryFree(impl.stateSegment);
}

void ServiceStandIn::setState(uint32_t state) {
    if (impl_->state != nullptr) *impl_->state = state;
}

void ServiceStandIn::setSuspended(bool suspended) {
    std::lock_guard<std::mutex> hold(impl_->lock);
    impl_->suspended = suspended;
}

void ServiceStandIn::setReply(uint8_t function, const CannedReply& reply) {
    std::lock_guard<std::mutex> hold(impl_->lock);
    impl_->canned[function] = reply;
}

void ServiceStandIn::clearReply(uint8_t function) {
    std::lock_guard<std::mutex> hold(impl_->lock);
    impl_->canned.erase(function);
}

bool ServiceStandIn::releaseHeld(uint8_t function, uint32_t result) {
    Request request;
    {
        std::lock_guard<std::mutex> hold(impl_->lock);
        auto found = impl_->held.find(function);
        if (found == impl_->held.end()) return false;
        request = found->second;
        impl_->held.erase(found);
    }
    return impl_->writeReply(request.process, request.thread, function, impl_->result(result), 4);
}

bool ServiceStandIn::waitForHeld(uint8_t function, uint32_t ms) {
    std::unique_lock<std::mutex> hold(impl_->lock);
    return impl_->changed.wait_for(hold, std::chrono::milliseconds(ms),
                                   [&] { return impl_->held.count(function) != 0; });
}

std::vector<Request> ServiceStandIn::requests() {
    std::lock_guard<std::mutex> hold(impl_->lock);
    return impl_->log;
}

void ServiceStandIn::clearRequests() {
    std::lock_guard<std::mutex> hold(impl_->lock);
    impl_->log.clear();
}

bool ServiceStandIn::waitForRequest(uint8_t function, uint32_t ms) {
    std::unique_lock<std::mutex> hold(impl_->lock);
    return impl_->changed.wait_for(hold, std::chrono::milliseconds(ms), [&] {
        for (const Request& request : impl_->log) {
            if (request.function == function) return true;
        }
        return false;
    });
}

bool ServiceStandIn::raiseEvent(uint32_t process, uint32_t id, uint32_t status, uint64_t handle, uint64_t callback,
                                uint64_t userData, const std::vector<uint8_t>& payload) {
    return impl_->writeEvent(process, Impl::eventBytes(id, status, handle, callback, userData, payload));
}

void ServiceStandIn::raiseClientEvent(uint32_t id, uint32_t status, const std::vector<uint8_t>& payload) {
    std::vector<Registration> targets;
    {
        std::lock_guard<std::mutex> hold(impl_->lock);
        targets = impl_->clientCallbacks;
    }
    for (const Registration& r : targets) {
        impl_->writeEvent(r.process, Impl::eventBytes(id, status, r.handle, r.callback, r.userData, payload));
    }
}

bool ServiceStandIn::sendRawEvent(uint32_t process, const std::vector<uint8_t>& bytes) {
    return impl_->writeEvent(process, bytes);
}

std::vector<uint8_t> ServiceStandIn::packedImage() const { return impl_->packedImage(); }

uint32_t ServiceStandIn::helloCount() {
    std::lock_guard<std::mutex> hold(impl_->lock);
    return impl_->hellos;
}

uint32_t ServiceStandIn::goodbyeCount() {
    std::lock_guard<std::mutex> hold(impl_->lock);
    return impl_->goodbyes;
}

}  // namespace sim::service
