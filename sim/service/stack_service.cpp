// Stand-in service over the real stack: a reader thread takes the requests off "CH_REQUEST"; each
// client process gets a worker thread that runs its calls on the stack one at a time (a call may
// wait for a swipe, and other processes go on meanwhile) and an event thread that writes what the
// stack's callbacks raised for it, so the stack's threads never wait on a client's FIFO.
#include "sim/service/stack_service.h"

#include "sim/service/service_wire.h"

#include "platform/test_seams.h"
#include "tcs/database/dss_interface.h"
#include "tcs/flows/ex_flows.h"
#include "tcs/flows/ex_recognition.h"
#include "tcs/handle_map.h"
#include "tcs/led_requests.h"
#include "tcs/matching/templates.h"
#include "tcs/tcs.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <list>
#include <map>
#include <mutex>
#include <poll.h>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace sim::service {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kArea = 32768;
constexpr uint32_t kText = 260;
constexpr uint32_t kEfiArea = 262144;
constexpr uint32_t kPackedUser = 65552;
constexpr uint32_t kStateRunning = 0;
constexpr uint32_t kStateStopped = 5;
constexpr auto kWorkerEndWait = std::chrono::seconds(5);
constexpr auto kReapPeriod = std::chrono::seconds(1);

struct Request {
    uint32_t process = 0;
    uint32_t thread = 0;
    uint8_t function = 0;
    Bytes payload;
};

Bytes result(uint32_t value) {
    Bytes out;
    put32(out, value);
    return out;
}

// The outputs are read after the call that fills them: never `withValue(call(&value), value)`, whose
// arguments may be taken in either order.
Bytes withValue(TcsResult r, uint32_t value) {
    Bytes out = result(r);
    put32(out, r == TCS_RESULT_OK ? value : 0);
    return out;
}

Bytes withHandle(TcsResult r, TcsHandle handle) {
    Bytes out = result(r);
    put32(out, 0);
    put64(out, r == TCS_RESULT_OK ? handle : 0);
    return out;
}

// R, u32 length, 32768-byte area.
Bytes withArea(TcsResult r, const uint8_t* data, uint32_t length) {
    if (r == TCS_RESULT_OK && length > kArea) r = TCS_RESULT_BAD_PARAM;
    Bytes out = result(r);
    put32(out, r == TCS_RESULT_OK ? length : 0);
    out.resize(8 + kArea, 0);
    if (r == TCS_RESULT_OK && length != 0 && data != nullptr) std::memcpy(out.data() + 8, data, length);
    return out;
}

// A NUL-terminated text of a fixed 260-byte field (cut at the field's end).
std::string text(const Bytes& in, size_t at) {
    if (at >= in.size()) return {};
    const size_t room = std::min<size_t>(kText, in.size() - at);
    const auto* start = reinterpret_cast<const char*>(in.data() + at);
    return std::string(start, strnlen(start, room));
}

// {u32 length, area} at `at`; false when the length runs past the area or the request.
bool area(const Bytes& in, size_t at, SizedBuffer* out) {
    const uint32_t length = get32(in, at);
    if (length > kArea || at + 4 + length > in.size()) return false;
    *out = SizedBuffer{length, in.data() + at + 4};
    return true;
}

// The packed form of a stack image, as events 5, 17 and 50 carry it.
Bytes packImage(TcsHandle image) {
    uint32_t size = 0;
    if (image == 0 || tcsImagePack(image, nullptr, &size) != TCS_RESULT_OK || size == 0 || size > kMaxPayload) return {};
    Bytes packed(size);
    if (tcsImagePack(image, packed.data(), &size) != TCS_RESULT_OK) return {};
    packed.resize(size);
    return packed;
}

// One identified user as the library unpacks it: kind, id, finger, enrollment entry.
void packUser(Bytes& out, const UserMatch& match) {
    const size_t at = out.size();
    out.resize(at + kPackedUser, 0);
    uint8_t* p = out.data() + at;
    const uint32_t idLength = std::min(match.userIdSize, kArea);
    const uint32_t entryLength = std::min(match.entrySize, kArea);
    std::memcpy(p, &match.entryKind, 4);
    std::memcpy(p + 4, &idLength, 4);
    if (match.userId != nullptr) std::memcpy(p + 8, match.userId, idLength);
    std::memcpy(p + 8 + kArea, &match.finger, 4);
    std::memcpy(p + 12 + kArea, &entryLength, 4);
    if (match.entryData != nullptr) std::memcpy(p + 16 + kArea, match.entryData, entryLength);
}

bool processAlive(uint32_t pid) { return kill(pid_t(pid), 0) == 0 || errno != ESRCH; }

}  // namespace


namespace {

// What a callback given to the stack forwards to: the client process, the handle the event
// concerns and the callback and user data that process registered. Kept for the service's life:
// the stack may hold it until the client or sensor it was given for is gone.
struct Forward {
    Forward(StackService::Impl* service, uint32_t process, uint64_t handle, uint64_t callback, uint64_t userData,
            uint8_t function)
        : service(service), process(process), handle(handle), callback(callback), userData(userData),
          function(function) {}
    StackService::Impl* service;
    uint32_t process;
    uint64_t handle;
    uint64_t callback;
    uint64_t userData;
    uint8_t function;  // that registered it: 3, 8, 12 or the extended call's
    std::atomic<bool> removed{false};  // read by the stack's threads
};

struct Process {
    uint32_t pid = 0;
    ChannelObjects output;
    ChannelObjects events;
    int outputDescriptor = -1;
    int eventDescriptor = -1;
    std::mutex writeLock;  // the output FIFO

    std::mutex lock;
    std::condition_variable changed;
    std::deque<Request> requests;
    std::deque<Bytes> pendingEvents;
    bool closing = false;
    bool busy = false;
    std::thread worker;
    std::thread eventWriter;
    std::set<TcsHandle> clients;  // created by this process and not destroyed
    std::set<TcsHandle> sensors;  // opened by this process
};

}  // namespace

struct StackService::Impl {
    StackServiceConfig config;
    CoreSubsystem* stack = nullptr;
    ChannelObjects request;
    PalSharedObject* stateSegment = nullptr;
    volatile uint32_t* state = nullptr;
    std::string readyFile;
    int requestReader = -1;
    int requestKeeper = -1;  // our own writer: the reader never sees end of file between clients
    std::thread reader;
    std::atomic<bool> stop{false};

    std::mutex lock;  // processes and forwards
    std::map<uint32_t, std::shared_ptr<Process>> processes;
    std::list<Forward> forwards;

    // --- Events ----------------------------------------------------------------------------------------
    void queueEvent(uint32_t pid, Bytes bytes) {
        std::shared_ptr<Process> p = find(pid);
        if (p == nullptr) return;
        std::lock_guard<std::mutex> hold(p->lock);
        if (p->closing) return;
        p->pendingEvents.push_back(std::move(bytes));
        p->changed.notify_all();
    }

    void forwardEvent(const Forward* f, uint32_t id, uint32_t status, const Bytes& payload) {
        if (f == nullptr || f->removed || f->callback == 0) return;
        f->service->queueEvent(f->process, eventBlock(id, status, f->handle, f->callback, f->userData, payload));
    }

    static TcsResult onClientEvent(void*, void* context, EventRecord* event) {
        auto* f = static_cast<Forward*>(context);
        if (f == nullptr || event == nullptr) return TCS_RESULT_OK;
        Bytes payload;
        if (event->data != nullptr && event->dataSize != 0 && event->dataSize <= kMaxPayload) {
            const auto* data = static_cast<const uint8_t*>(event->data);
            payload.assign(data, data + event->dataSize);
        }
        f->service->forwardEvent(f, event->id, event->status, payload);
        return TCS_RESULT_OK;
    }

    static TcsResult onSensorEvent(void*, void* context, EventRecord* event) {
        auto* f = static_cast<Forward*>(context);
        if (f == nullptr || event == nullptr) return TCS_RESULT_OK;
        if (event->id == TCS_SENSOR_EVENT_SWIPE_NOW && f->service->config.swipeAsked != nullptr) {
            f->service->config.swipeAsked();
        }
        Bytes payload;
        if (event->id == TCS_SENSOR_EVENT_IMAGE_READY) {
            // The record's data is the image handle itself; the image goes packed.
            payload = packImage(TcsHandle(uintptr_t(event->data)));
        } else if (event->id == TCS_SENSOR_EVENT_RAW_DATA && event->data != nullptr && event->dataSize != 0 &&
                   event->dataSize <= kMaxPayload) {
            const auto* data = static_cast<const uint8_t*>(event->data);
            payload.assign(data, data + event->dataSize);
        }
        f->service->forwardEvent(f, event->id, event->status, payload);
        return TCS_RESULT_OK;
    }

    // The completion of a capture: its image goes packed with event 50, then the service's handle
    // is released (the client holds its own copy).
    static TcsResult onCapture(void* image, TcsResult status, void* context) {
        auto* f = static_cast<Forward*>(context);
        const TcsHandle handle = TcsHandle(uintptr_t(image));
        if (f != nullptr) {
            f->service->forwardEvent(f, TOV_EVENT_COMPLETE, status, status == TCS_RESULT_OK ? packImage(handle) : Bytes{});
            f->removed = true;
        }
        if (handle != 0) tcsHandleDestroy(handle);
        return TCS_RESULT_OK;
    }
    static constexpr uint32_t TOV_EVENT_COMPLETE = 50;

    static TcsResult onProgress(uint32_t, void* context, EventRecord* event) {
        auto* f = static_cast<Forward*>(context);
        if (f == nullptr || event == nullptr) return TCS_RESULT_OK;
        if (event->id == TCS_EX_PROGRESS_SWIPE_NOW && f->service->config.swipeAsked != nullptr) {
            f->service->config.swipeAsked();
        }
        Bytes payload;
        switch (event->id) {
        case TCS_EX_PROGRESS_IMAGE:
            if (event->data != nullptr && event->dataSize == sizeof(TcsHandle)) {
                payload = packImage(*static_cast<const TcsHandle*>(event->data));
            }
            break;
        case TCS_EX_PROGRESS_ENROLL:
            if (event->data != nullptr && event->dataSize == sizeof(EnrollProgress)) {
                const auto* data = static_cast<const uint8_t*>(event->data);
                payload.assign(data, data + sizeof(EnrollProgress));
            }
            break;
        case TCS_EX_PROGRESS_VERIFIED:
            if (event->data != nullptr && event->dataSize == sizeof(VerifiedUser)) {
                const auto* verified = static_cast<const VerifiedUser*>(event->data);
                if (verified->count != 0) packUser(payload, verified->match);
            }
            break;
        case TCS_EX_PROGRESS_IDENTIFIED:
            if (event->data != nullptr && event->dataSize == sizeof(UserMatchList)) {
                const auto* list = static_cast<const UserMatchList*>(event->data);
                const uint32_t count = std::min<uint32_t>(list->count, (kMaxPayload - 4) / kPackedUser);
                put32(payload, count);
                for (uint32_t i = 0; i < count; ++i) packUser(payload, list->matches[i]);
            }
            break;
        default:
            break;
        }
        f->service->forwardEvent(f, event->id, event->status, payload);
        return TCS_RESULT_OK;
    }

    Forward* addForward(uint32_t pid, uint64_t handle, uint64_t callback, uint64_t userData, uint8_t function) {
        std::lock_guard<std::mutex> hold(lock);
        return &forwards.emplace_back(this, pid, handle, callback, userData, function);
    }

    Forward* findForward(uint32_t pid, uint64_t handle, uint64_t callback, uint64_t userData, uint8_t function) {
        std::lock_guard<std::mutex> hold(lock);
        for (Forward& f : forwards) {
            if (!f.removed && f.process == pid && f.handle == handle && f.callback == callback &&
                f.userData == userData && f.function == function) {
                return &f;
            }
        }
        return nullptr;
    }

    // --- Processes -------------------------------------------------------------------------------------
    std::shared_ptr<Process> find(uint32_t pid) {
        std::lock_guard<std::mutex> hold(lock);
        auto found = processes.find(pid);
        return found == processes.end() ? nullptr : found->second;
    }

    // The process's channels and threads; made by hello, or by any request of a process the service
    // has not heard hello from (a client whose service was restarted under it).
    std::shared_ptr<Process> open(uint32_t pid) {
        if (std::shared_ptr<Process> known = find(pid)) return known;
        auto p = std::make_shared<Process>();
        p->pid = pid;
        const bool made =
            p->output.create(config.pipeDirectory, config.keyFilePrefix, "CH_OUTPUT" + std::to_string(pid)) &&
            p->events.create(config.pipeDirectory, config.keyFilePrefix, "CH_EVENT" + std::to_string(pid));
        if (!made) {
            p->output.destroy();
            p->events.destroy();
            return nullptr;
        }
        Process* raw = p.get();
        p->worker = std::thread([this, raw] { work(raw); });
        p->eventWriter = std::thread([this, raw] { writeEvents(raw); });
        std::lock_guard<std::mutex> hold(lock);
        processes[pid] = p;
        return p;
    }

    // Ends a process's threads (its last events written first), destroys the clients it left and
    // removes its channels.
    void close(uint32_t pid) {
        std::shared_ptr<Process> p;
        {
            std::lock_guard<std::mutex> hold(lock);
            auto found = processes.find(pid);
            if (found == processes.end()) return;
            p = found->second;
            processes.erase(found);
            for (Forward& f : forwards) {
                if (f.process == pid) f.removed = true;
            }
        }
        std::set<TcsHandle> sensors;
        {
            std::lock_guard<std::mutex> hold(p->lock);
            p->closing = true;
            p->changed.notify_all();
            sensors = p->sensors;
        }
        for (TcsHandle sensor : sensors) tcsCancelExOperation(sensor);
        if (p->worker.joinable()) p->worker.join();
        if (p->eventWriter.joinable()) p->eventWriter.join();
        for (TcsHandle client : p->clients) tcsClientDestroy(client);
        if (p->outputDescriptor >= 0) ::close(p->outputDescriptor);
        if (p->eventDescriptor >= 0) ::close(p->eventDescriptor);
        p->output.destroy();
        p->events.destroy();
    }

    // Processes that ended without goodbye.
    void reapDead() {
        std::vector<uint32_t> dead;
        {
            std::lock_guard<std::mutex> hold(lock);
            for (auto& [pid, p] : processes) {
                if (!processAlive(pid)) dead.push_back(pid);
            }
        }
        for (uint32_t pid : dead) close(pid);
    }

    void writeEvents(Process* p) {
        for (;;) {
            Bytes bytes;
            {
                std::unique_lock<std::mutex> hold(p->lock);
                p->changed.wait(hold, [p] { return p->closing || !p->pendingEvents.empty(); });
                if (p->pendingEvents.empty()) return;
                bytes = std::move(p->pendingEvents.front());
                p->pendingEvents.pop_front();
            }
            // A client that stopped reading loses the event, never the service its thread.
            writeAgainOnce(&p->eventDescriptor, p->events.path, bytes);
        }
    }

    bool reply(Process* p, const Request& r, const Bytes& payload) {
        std::lock_guard<std::mutex> hold(p->writeLock);
        return writeAgainOnce(&p->outputDescriptor, p->output.path,
                              replyBlock(r.thread, r.function, payload, uint32_t(payload.size())));
    }

    void work(Process* p) {
        for (;;) {
            Request r;
            {
                std::unique_lock<std::mutex> hold(p->lock);
                p->changed.wait(hold, [p] { return p->closing || !p->requests.empty(); });
                if (p->requests.empty()) return;
                r = std::move(p->requests.front());
                p->requests.pop_front();
                p->busy = true;
            }
            reply(p, r, call(p, r));
            std::lock_guard<std::mutex> hold(p->lock);
            p->busy = false;
            p->changed.notify_all();
        }
    }

    // --- Requests --------------------------------------------------------------------------------------
    bool readExact(uint8_t* buffer, size_t count) { return sim::service::readExact(requestReader, buffer, count, stop); }

    void run() {
        auto lastReap = std::chrono::steady_clock::now();
        while (!stop) {
            if (std::chrono::steady_clock::now() - lastReap > kReapPeriod) {
                reapDead();
                lastReap = std::chrono::steady_clock::now();
            }
            uint8_t header[kRequestHeader];
            pollfd waiting{requestReader, POLLIN, 0};
            if (poll(&waiting, 1, 100) <= 0) continue;
            if (!readExact(header, sizeof(header))) continue;
            Request r;
            std::memcpy(&r.process, header, 4);
            std::memcpy(&r.thread, header + 4, 4);
            r.function = header[8];
            uint32_t length;
            std::memcpy(&length, header + 60, 4);
            if (length > kMaxPayload) continue;
            r.payload.resize(length);
            if (length != 0 && !readExact(r.payload.data(), length)) continue;
            dispatch(std::move(r));
        }
    }

    void dispatch(Request r) {
        if (r.function == TOV_FN_CANCEL) {
            // Past the process's worker, which is busy with the operation to cancel; no reply.
            tcsCancelExOperation(get64(r.payload, 0));
            return;
        }
        if (r.function == TOV_FN_HELLO) reapDead();
        std::shared_ptr<Process> p = open(r.process);
        if (p == nullptr) return;
        if (r.function == TOV_FN_GOODBYE) {
            // The library's calls are serialised: nothing of this process runs now. The listener
            // ends on event 31, written after every event before it.
            reply(p.get(), r, result(TCS_RESULT_OK));
            queueEvent(r.process, eventBlock(31, 0, 0, 0, 0, {}));
            close(r.process);
            return;
        }
        std::lock_guard<std::mutex> hold(p->lock);
        p->requests.push_back(std::move(r));
        p->changed.notify_all();
    }
    static constexpr uint8_t TOV_FN_HELLO = 15;
    static constexpr uint8_t TOV_FN_CANCEL = 87;
    static constexpr uint8_t TOV_FN_GOODBYE = 97;

    // One function id: the stack's same operation, its result and outputs in the reply record.
    Bytes call(Process* p, const Request& r) {
        const Bytes& in = r.payload;
        const TcsHandle h = get64(in, 0);
        TcsHandle out = 0;
        uint32_t value = 0;
        switch (r.function) {
        case 1: {
            TcsResult res = tcsClientCreateSys(stack, &out);
            if (res == TCS_RESULT_OK) keep(p, &p->clients, out, true);
            return withHandle(res, out);
        }
        case 2: {
            TcsResult res = tcsClientDestroy(h);
            if (res == TCS_RESULT_OK) keep(p, &p->clients, h, false);
            return result(res);
        }
        case 3:
        case 8: {
            const uint64_t callback = get64(in, 8), userData = get64(in, 16);
            Forward* f = addForward(r.process, h, callback, userData, r.function);
            EventCallback forwarder = r.function == 3 ? onClientEvent : onSensorEvent;
            TcsResult res = r.function == 3 ? tcsClientEventsAddCallback(h, forwarder, f)
                                            : tcsSensorEventsAddCallback(h, forwarder, f);
            if (res != TCS_RESULT_OK) f->removed = true;
            return result(res);
        }
        case 4:
        case 9: {
            const uint8_t adder = r.function == 4 ? 3 : 8;
            Forward* f = findForward(r.process, h, get64(in, 8), get64(in, 16), adder);
            // A pair never added: the stack's answer to a callback it does not hold.
            static Forward unknown(nullptr, 0, 0, 0, 0, 0);
            void* context = f != nullptr ? static_cast<void*>(f) : static_cast<void*>(&unknown);
            TcsResult res = r.function == 4 ? tcsClientEventsRemoveCallback(h, onClientEvent, context)
                                            : tcsSensorEventsRemoveCallback(h, onSensorEvent, context);
            if (res == TCS_RESULT_OK && f != nullptr) f->removed = true;
            return result(res);
        }
        case 5: {
            char version[80] = {};
            TcsResult res = tcsSensorGetVersionA(h, version);
            Bytes o = result(res);
            o.insert(o.end(), version, version + sizeof(version));
            if (res != TCS_RESULT_OK) std::fill(o.begin() + 4, o.end(), 0);
            return o;
        }
        case 7: {
            TcsResult res = tcsSensorOpenA(h, text(in, 8).c_str(), &out);
            if (res == TCS_RESULT_OK) keep(p, &p->sensors, out, true);
            return withHandle(res, out);
        }
        case 10: {
            TcsResult res = tcsSensorClose(h);
            if (res == TCS_RESULT_OK) keep(p, &p->sensors, h, false);
            return result(res);
        }
        case 11: {
            const TcsResult res = tcsSensorGetReconstructedImageMaxSize(h, &value);
            return withValue(res, value);
        }
        case 12: {
            Forward* f = addForward(r.process, h, get64(in, 8), get64(in, 16), r.function);
            const std::string path = text(in, 24);
            TcsResult res = tcsSensorGetFingerprintAsyncA(h, onCapture, f, path.empty() ? nullptr : path.c_str());
            if (res != TCS_RESULT_OK) f->removed = true;
            return result(res);
        }
        case 13: return result(tcsSensorAbortFingerprint(h));
        case TOV_FN_HELLO: return result(TCS_RESULT_OK);  // the process's channels are made
        case 20: {
            const TcsResult res = tcsDatabaseOpenPriv(h, text(in, 8).c_str(), &out);
            return withHandle(res, out);
        }
        case 21: return result(tcsDatabaseClose(h));
        case 22: return result(tcsDatabaseEraseDatabase(h, get64(in, 8)));
        case 23: {
            const TcsResult res = tcsDatabaseCreateAppStorage(h, text(in, 8).c_str(), get32(in, 268), &out);
            return withHandle(res, out);
        }
        case 24: return result(tcsDatabaseDeleteAppStorage(h));
        case 25: return result(tcsDatabaseCloseAppStorage(h));
        case 26: {
            const TcsResult res = tcsDatabaseCreateUser(h, &out);
            return withHandle(res, out);
        }
        case 27: return result(tcsDatabaseCloseUser(h));
        case 28: return dataSet(tcsDatabaseSetUserData, in);
        case 29: return dataGet(tcsDatabaseGetUserData, in);
        case 30: return result(tcsDatabaseDeleteUserData(h, get32(in, 8)));
        case 31: {
            const TcsResult res = tcsDatabaseOpenFirstUser(h, &out);
            return withHandle(res, out);
        }
        case 32: {
            const TcsResult res = tcsDatabaseOpenNextUser(h, &out);
            return withHandle(res, out);
        }
        case 33: return result(tcsDatabaseDeleteUser(h));
        case 34: {
            const TcsResult res = tcsDatabaseCreateTemplate(h, &out);
            return withHandle(res, out);
        }
        case 35: return result(tcsDatabaseCloseTemplate(h));
        case 36: return result(tcsDatabaseDeleteTemplate(h));
        case 37: return dataSet(tcsDatabaseSetTemplateData, in);
        case 38: return result(tcsDatabaseDeleteTemplateData(h, get32(in, 8)));
        case 39: return dataGet(tcsDatabaseGetTemplateData, in);
        case 40: {
            const TcsResult res = tcsDatabaseOpenFirstTemplate(h, &out);
            return withHandle(res, out);
        }
        case 41: {
            const TcsResult res = tcsDatabaseOpenNextTemplate(h, &out);
            return withHandle(res, out);
        }
        case 42: {
            const TcsResult res = tcsDatabaseCreateStorage(h, &out);
            return withHandle(res, out);
        }
        case 43: return result(tcsDatabaseCloseStorage(h));
        case 44: return result(tcsDatabaseDeleteStorage(h));
        case 45: return dataSet(tcsDatabaseSetStorageData, in);
        case 46: return result(tcsDatabaseDeleteStorageData(h, get32(in, 8)));
        case 47: return dataGet(tcsDatabaseGetStorageData, in);
        case 48: {
            const TcsResult res = tcsDatabaseOpenFirstStorage(h, &out);
            return withHandle(res, out);
        }
        case 49: {
            const TcsResult res = tcsDatabaseOpenNextStorage(h, &out);
            return withHandle(res, out);
        }
        case 50: return result(tcsSetParam(h, get32(in, 8), get32(in, 12)));
        case 51: {
            const TcsResult res = tcsGetParam(h, get32(in, 8), &value);
            return withValue(res, value);
        }
        case 52: return withValue(TCS_RESULT_OK, 0);  // the service does not suspend
        case 53: {
            DeviceInfoRecord info{};
            TcsResult res = tcsSensorGetDeviceInfo(h, &info);
            Bytes o = result(res);
            o.resize(4 + sizeof(info), 0);
            if (res == TCS_RESULT_OK) std::memcpy(o.data() + 4, &info, sizeof(info));
            return o;
        }
        case 54: {
            const uint32_t length = get32(in, 84);
            if (length > 64 || in.size() < 88) return result(TCS_RESULT_BAD_PARAM);
            return result(tcsSetSymmetricKey(h, get32(in, 8), get32(in, 12), get32(in, 16), in.data() + 20, length));
        }
        case 55: return result(tcsResetSymmetricKey(h, get32(in, 8)));
        case 60: {
            Bytes o = result(tcsDatabaseFormatDatabasePriv(h, text(in, 8).c_str()));
            o.resize(16, 0);
            return o;
        }
        case 61: {
            uint32_t policies[2] = {};
            TcsResult res = tcsSensorGetPowerPolicies(h, policies);
            Bytes o = withValue(res, policies[0]);
            put32(o, res == TCS_RESULT_OK ? policies[1] : 0);
            return o;
        }
        case 62: {
            const uint32_t policies[2] = {get32(in, 8), get32(in, 12)};
            return result(tcsSensorSetPowerPolicies(h, policies));
        }
        case 63: return result(tcsSensorSetPowerState(h, get32(in, 8)));
        case 64: {
            const TcsResult res = tcsSensorGetSelectiveSuspendTimeout(h, &value);
            return withValue(res, value);
        }
        case 65: return result(tcsSensorSetSelectiveSuspendTimeout(h, get32(in, 8)));
        case 66: return result(tcsSensorEnablePowerPolicy(h, 0, get32(in, 8)));
        case 67: {
            const TcsResult res = tcsSensorIsPowerPolicyEnabled(h, 0, &value);
            return withValue(res, value);
        }
        case 68: return templateGet(h, get64(in, 8));
        case 69: return templateSet(in);
        case 70: {
            ScsLedConfigValues values{};
            values.size = get32(in, 12);
            if (values.size > 24 || in.size() < 40) return result(TCS_RESULT_BAD_PARAM);
            std::memcpy(&values.blinkRate, in.data() + 16, values.size);
            return result(tcsSensorLEDConfig(h, get32(in, 8), &values));
        }
        case 71: {
            ScsLedConfigValues values{};
            values.size = get32(in, 12);
            TcsResult res = tcsSensorLEDGetConfig(h, get32(in, 8), &values);
            Bytes o = result(res);
            o.resize(32, 0);
            if (res == TCS_RESULT_OK) std::memcpy(o.data() + 8, &values.blinkRate, 24);
            return o;
        }
        case 72: return result(tcsSensorLoadDefaultLEDConfig(h));
        case 73: return result(tcsSensorSaveLEDConfig(h));
        case 74: return result(tcsSensorLEDSetEvent(h, get32(in, 8)));
        case 75: {
            const TcsResult res = tcsSensorIsLEDEnabled(&value);
            return withValue(res, value);
        }
        case 76: return result(tcsSensorLEDEnable(get32(in, 0)));
        case 77: {
            const TcsResult res = tcsDatabaseGetUserCount(h, &value);
            return withValue(res, value);
        }
        case 78: {
            const uint32_t length = get32(in, 12);
            if (length > kEfiArea || in.size() < 16 + size_t(length)) return result(TCS_RESULT_BAD_PARAM);
            return result(tcsSensorProgramEFIImage(h, in.data() + 16, length, get32(in, 8)));
        }
        case 79: return result(tcsSensorEraseEFIImage(h));
        case 83: return exEnroll(r);
        case 84:
        case 94: return exAuthenticate(r);
        case 85:
        case 86: return authData(in, r.function == 86);
        case 88: {
            SizedBuffer userId{};
            if (!area(in, 16, &userId)) return result(TCS_RESULT_BAD_PARAM);
            return result(tcsExRemoveUserFinger(h, get64(in, 8), &userId, get32(in, 20 + kArea)));
        }
        case 89:
        case 90: return userList(h, get64(in, 8), r.function == 89);
        case 91: {
            SensorUidRecord uid{};
            TcsResult res = tcsSensorGetUID(h, &uid);
            Bytes o = result(res);
            o.resize(4 + sizeof(uid), 0);
            if (res == TCS_RESULT_OK) std::memcpy(o.data() + 4, &uid, sizeof(uid));
            return o;
        }
        case 92: return shareAuthData(in);
        case 95:
        case 96: return exportTemplates(in, r.function == 96);
        case 98: return result(tcsSensorSetPbaFlag(h, uint8_t(get32(in, 8)), uint8_t(get32(in, 12))));
        case 99: {
            uint8_t flag = 0;
            TcsResult res = tcsSensorGetPbaFlag(h, in.size() > 8 ? in[8] : 0, &flag);
            Bytes o = result(res);
            o.resize(8, 0);
            if (res == TCS_RESULT_OK) o[4] = flag;
            return o;
        }
        case 100: {
            const TcsResult res = tcsSensorGetEFIImageVersion(h, &value);
            return withValue(res, value);
        }
        case 101: return result(tcsSensorSetCapturePurpose(h, get32(in, 8)));
        case 102: return enrollTemplate(in);
        case 103:
        case 104: return byImage(in, r.function == 103);
        default:
            // Ids the stack has no operation for (the TTA and privileged-transaction calls among
            // them): what the stack answers for entry points this build does not support.
            return result(TCS_RESULT_NOT_IMPLEMENTED);
        }
    }

    // The handles a process holds, read by the reader thread when the process ends.
    static void keep(Process* p, std::set<TcsHandle>* handles, TcsHandle handle, bool add) {
        std::lock_guard<std::mutex> hold(p->lock);
        if (add) handles->insert(handle);
        else handles->erase(handle);
    }

    using DataSetter = TcsResult (*)(TcsHandle, uint32_t, const uint8_t*, uint32_t);
    using DataGetter = TcsResult (*)(TcsHandle, uint32_t, uint8_t**, uint32_t*);

    static Bytes dataSet(DataSetter set, const Bytes& in) {
        SizedBuffer data{};
        if (!area(in, 12, &data)) return result(TCS_RESULT_BAD_PARAM);
        return result(set(get64(in, 0), get32(in, 8), data.data, data.length));
    }

    static Bytes dataGet(DataGetter get, const Bytes& in) {
        uint8_t* data = nullptr;
        uint32_t length = 0;
        TcsResult res = get(get64(in, 0), get32(in, 8), &data, &length);
        Bytes o = withArea(res, data, length);
        if (data != nullptr) tcsBufferFree(data);
        return o;
    }

    static Bytes templateGet(TcsHandle templateHandle, TcsHandle sensor) {
        TcsHandle made = 0;
        TcsResult res = tcsDatabaseExGetTemplateData(templateHandle, sensor, &made);
        uint32_t size = 0;
        if (res == TCS_RESULT_OK) res = tcsTemplatePack(made, nullptr, &size);
        if (res == TCS_RESULT_OK && size > kArea) res = TCS_RESULT_BAD_PARAM;
        Bytes o = result(res);
        o.resize(8 + kArea, 0);
        if (res == TCS_RESULT_OK) res = tcsTemplatePack(made, o.data() + 8, &size);
        if (made != 0) tcsHandleDestroy(made);
        if (res != TCS_RESULT_OK) {
            o.assign(8 + kArea, 0);
            std::memcpy(o.data(), &res, 4);
        }
        return o;
    }

    static Bytes templateSet(const Bytes& in) {
        const uint32_t length = get32(in, 16);
        // The packed record names its own length first: it must lie within what was sent.
        if (length < 4 + TCS_TEMPLATE_HEADER_SIZE || length > kArea || in.size() < 20 + size_t(length) ||
            uint64_t(get32(in, 20)) + 4 > length) {
            return result(TCS_RESULT_BAD_PARAM);
        }
        Bytes packed(in.begin() + 20, in.begin() + 20 + length);
        packed.resize(kArea + 64, 0);
        TcsHandle made = 0;
        TcsResult res = tcsTemplateUnPack(packed.data(), &made);
        if (res == TCS_RESULT_OK) res = tcsDatabaseExSetTemplateData(get64(in, 0), get64(in, 8), made);
        if (made != 0) tcsHandleDestroy(made);
        return result(res);
    }

    // 83: the library's frame {sensor, option, app storage, user id, value, typed string, flags,
    // callback, user data}: the option is the matcher, the value the finger, the typed string the
    // one enrollment entry kept with the template.
    Bytes exEnroll(const Request& r) {
        const Bytes& in = r.payload;
        SizedBuffer userId{}, data{};
        if (!area(in, 24, &userId) || !area(in, 32804, &data)) return result(TCS_RESULT_BAD_PARAM);
        const EnrollmentDataEntry entry{get32(in, 32800), data.length, data.data};
        const uint64_t callback = get64(in, 65584);
        Forward* f = addForward(r.process, get64(in, 0), callback, get64(in, 65592), r.function);
        TcsResult res = tcsExEnrollUserEx(get64(in, 0), get32(in, 8), get64(in, 16), &userId,
                                          entry.size != 0 || entry.kind != 0 ? 1 : 0, &entry, uint8_t(get32(in, 32796)),
                                          callback != 0 ? onProgress : nullptr, f, get32(in, 65576));
        f->removed = true;
        return result(res);
    }

    // 84 identify, 94 verify: the option is the matcher, the flags the kind of enrollment entry the
    // identified user's event carries.
    Bytes exAuthenticate(const Request& r) {
        const Bytes& in = r.payload;
        SizedBuffer userId{};
        if (!area(in, 24, &userId)) return result(TCS_RESULT_BAD_PARAM);
        const uint64_t callback = get64(in, 65584);
        Forward* f = addForward(r.process, get64(in, 0), callback, get64(in, 65592), r.function);
        ExProgressCallback progress = callback != 0 ? onProgress : nullptr;
        TcsResult res = r.function == 84
                            ? tcsExIdentifyUser(get64(in, 0), get32(in, 8), get64(in, 16), get32(in, 65576), progress, f)
                            : tcsExVerifyUser(get64(in, 0), get32(in, 8), get64(in, 16), &userId, get32(in, 65576),
                                              progress, f);
        f->removed = true;
        return result(res);
    }

    // 85 {sensor, user id, typed payload, value, authentication data}; 86 adds the key. The payload's
    // kind is the kind the stack seals under.
    static Bytes authData(const Bytes& in, bool token) {
        SizedBuffer userId{}, payload{}, third{}, fourth{};
        if (!area(in, 8, &userId) || !area(in, 32784, &payload) || !area(in, 65560, &third) ||
            (token && !area(in, 98332, &fourth))) {
            return result(TCS_RESULT_BAD_PARAM);
        }
        const uint32_t kind = get32(in, 32780);
        ExBuffer sealed{};
        TcsResult res = token ? tcsExGetAuthToken(get64(in, 0), &userId, &payload, &third, kind, &fourth, &sealed)
                              : tcsExEnrollAuthData(get64(in, 0), &userId, &payload, kind, &third, &sealed);
        Bytes o = withArea(res, sealed.data, sealed.length);
        if (sealed.data != nullptr) tcsBufferFree(sealed.data);
        return o;
    }

    // 92 {sensor, app storage, user id, typed payload, sealed data, the storage's user id}.
    static Bytes shareAuthData(const Bytes& in) {
        SizedBuffer userId{}, payload{}, sealed{}, storageUser{};
        if (!area(in, 16, &userId) || !area(in, 32792, &payload) || !area(in, 65564, &sealed) ||
            !area(in, 98336, &storageUser)) {
            return result(TCS_RESULT_BAD_PARAM);
        }
        ExBuffer out{};
        TcsResult res =
            tcsExShareAuthData(get64(in, 0), &userId, &payload, &sealed, get64(in, 8), &storageUser, &out);
        Bytes o = withArea(res, out.data, out.length);
        if (out.data != nullptr) tcsBufferFree(out.data);
        return o;
    }

    static Bytes userList(TcsHandle sensor, TcsHandle appStorage, bool entries) {
        ExBuffer* users = nullptr;
        uint32_t count = 0;
        TcsResult res = tcsExGetEnrolledUserList(sensor, appStorage, &users, &count);
        const uint32_t fits = (kMaxPayload - 8) / (4 + kArea);
        if (res == TCS_RESULT_OK && count > fits) res = TCS_RESULT_BAD_PARAM;
        Bytes o = withValue(res, count);
        if (entries) {
            for (uint32_t i = 0; res == TCS_RESULT_OK && i < count; ++i) {
                const size_t at = o.size();
                o.resize(at + 4 + kArea, 0);
                const uint32_t length = std::min(users[i].length, kArea);
                std::memcpy(o.data() + at, &length, 4);
                if (users[i].data != nullptr) std::memcpy(o.data() + at + 4, users[i].data, length);
            }
            if (o.size() < 8 + 4 + kArea) o.resize(8 + 4 + kArea, 0);
        }
        for (uint32_t i = 0; users != nullptr && i < count; ++i) tcsBufferFree(users[i].data);
        if (users != nullptr) tcsBufferFree(users);
        return o;
    }

    // 95 counts, 96 lists the user's exported templates as {u32 finger, u32 length, area}.
    static Bytes exportTemplates(const Bytes& in, bool entries) {
        SizedBuffer userId{};
        if (!area(in, 16, &userId)) return result(TCS_RESULT_BAD_PARAM);
        uint32_t count = 0;
        if (!entries) {
            const TcsResult res = tcsExExportUserTemplatesCount(get64(in, 0), get64(in, 8), &userId, &count);
            return withValue(res, count);
        }
        ExportedTemplate* list = nullptr;
        TcsResult res = tcsExExportUserTemplates(get64(in, 0), get64(in, 8), &userId, &count, &list);
        if (res == TCS_RESULT_OK && count > (kMaxPayload - 8) / (8 + kArea)) res = TCS_RESULT_BAD_PARAM;
        Bytes o = withValue(res, count);
        for (uint32_t i = 0; res == TCS_RESULT_OK && i < count; ++i) {
            put32(o, list[i].finger);
            const uint32_t length = std::min(list[i].size, kArea);
            put32(o, length);
            const size_t at = o.size();
            o.resize(at + kArea, 0);
            if (list[i].data != nullptr) std::memcpy(o.data() + at, list[i].data, length);
        }
        for (uint32_t i = 0; list != nullptr && i < count; ++i) tcsBufferFree(list[i].data);
        if (list != nullptr) tcsBufferFree(list);
        return o;
    }

    // 102 {sensor, app storage, user id, finger, typed entry, enroll template}: the template is a
    // handle of the service's (the library's own handles mean nothing here).
    static Bytes enrollTemplate(const Bytes& in) {
        SizedBuffer userId{}, data{};
        if (!area(in, 16, &userId) || !area(in, 32796, &data)) return result(TCS_RESULT_BAD_PARAM);
        const EnrollmentDataEntry entry{get32(in, 32792), data.length, data.data};
        const TcsHandle enrollTemplate = get64(in, 65568);
        tcsTemplateSetFinger(enrollTemplate, get32(in, 32788));
        return result(tcsExEnrollTemplate(get64(in, 0), get64(in, 8), &userId, entry.size != 0 ? 1 : 0, &entry,
                                          enrollTemplate));
    }

    // 103 identifies, 104 verifies a packed image: option the matcher, flags the entry kind.
    static Bytes byImage(const Bytes& in, bool identify) {
        const size_t imageAt = identify ? 32 : 32804;
        const uint32_t imageLength = get32(in, imageAt - 4);
        SizedBuffer userId{};
        if ((!identify && !area(in, 28, &userId)) || in.size() < imageAt + size_t(imageLength) || imageLength < 8 ||
            uint64_t(get32(in, imageAt)) + 4 > imageLength) {
            return identify ? Bytes{0, 0, 0, 0, TCS_RESULT_BAD_PARAM, 0, 0, 0} : result(TCS_RESULT_BAD_PARAM);
        }
        TcsHandle image = 0;
        TcsResult res = tcsImageUnPack(in.data() + imageAt, &image);
        const TcsHandle sensor = get64(in, 0), appStorage = get64(in, 16);
        const uint32_t matcher = get32(in, 8), kind = get32(in, 24);
        if (!identify) {
            if (res == TCS_RESULT_OK) res = tcsExVerifyImage(sensor, matcher, appStorage, image, &userId, kind);
            if (image != 0) tcsHandleDestroy(image);
            return result(res);
        }
        UserMatchList list{};
        if (res == TCS_RESULT_OK) res = tcsExIdentifyImage(sensor, matcher, appStorage, image, kind, &list);
        if (image != 0) tcsHandleDestroy(image);
        const uint32_t count = res == TCS_RESULT_OK ? std::min<uint32_t>(list.count, (kMaxPayload - 8) / kPackedUser) : 0;
        Bytes o;
        put32(o, count);
        put32(o, res);
        for (uint32_t i = 0; i < count; ++i) packUser(o, list.matches[i]);
        tcsExUserMatchListFree(&list);
        return o;
    }

    // --- Life -------------------------------------------------------------------------------------------
    bool begin() {
        readyFile = config.keyFilePrefix + "ServiceReady";
        // What a killed service left there: the file is made anew once the stack is up.
        unlink(readyFile.c_str());
        if (!request.create(config.pipeDirectory, config.keyFilePrefix, "CH_REQUEST")) return false;
        clearPlanted(config.keyFilePrefix + kStateSegmentName, S_IFREG);
        stateSegment = freshSegment(kStateSegmentName, 4);
        state = stateSegment != nullptr ? static_cast<volatile uint32_t*>(palSharedMemoryPointerGet(stateSegment))
                                        : nullptr;
        requestReader = ::open(request.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        requestKeeper = ::open(request.path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (state == nullptr || requestReader < 0 || requestKeeper < 0) return false;
        *state = kStateRunning;
        // The stack as the service runs it: a service thread that waits at most 1 ms between passes.
        if (tcsStartupEx(&stack, TCS_START_FAST_POLL, nullptr) != TCS_RESULT_OK) {
            stack = nullptr;
            return false;
        }
        reader = std::thread([this] { run(); });
        const int ready = ::open(readyFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (ready < 0) return false;
        const char word[] = "1\n";
        const bool written = write(ready, word, 2) == 2;
        ::close(ready);
        return written;
    }

    void end() {
        if (!readyFile.empty()) unlink(readyFile.c_str());
        if (state != nullptr) *state = kStateStopped;
        stop = true;
        if (reader.joinable()) reader.join();
        std::vector<uint32_t> pids;
        {
            std::lock_guard<std::mutex> hold(lock);
            for (auto& entry : processes) pids.push_back(entry.first);
        }
        // A call waiting for a swipe is cancelled; one that still does not end keeps the stack up
        // and the process exits under it once everything it made is removed.
        bool idle = true;
        for (uint32_t pid : pids) idle = endProcessWork(pid) && idle;
        for (uint32_t pid : pids) {
            if (idle) close(pid);
        }
        if (requestReader >= 0) ::close(requestReader);
        if (requestKeeper >= 0) ::close(requestKeeper);
        request.destroy();
        if (state != nullptr) palSharedMemoryPointerRelease(const_cast<uint32_t*>(state));
        if (stateSegment != nullptr) palSharedMemoryFree(stateSegment);
        state = nullptr;
        stateSegment = nullptr;
        if (!idle) {
            // Its channels and objects are gone; the process ends under the call that would not.
            std::fflush(nullptr);
            _exit(0);
        }
        if (stack != nullptr) tcsShutdown(stack);
    }

    // Cancels what a process runs and waits a little for its worker to be idle.
    bool endProcessWork(uint32_t pid) {
        std::shared_ptr<Process> p = find(pid);
        if (p == nullptr) return true;
        std::unique_lock<std::mutex> hold(p->lock);
        p->requests.clear();
        const std::set<TcsHandle> sensors = p->sensors;
        hold.unlock();
        for (TcsHandle sensor : sensors) {
            tcsCancelExOperation(sensor);
            tcsSensorAbortFingerprint(sensor);
        }
        hold.lock();
        return p->changed.wait_for(hold, kWorkerEndWait, [&p] { return !p->busy; });
    }
};

StackService::StackService(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<StackService> StackService::start(const StackServiceConfig& config) {
    auto impl = std::make_unique<Impl>();
    impl->config = config;
    if (!impl->begin()) {
        impl->end();
        return nullptr;
    }
    return std::unique_ptr<StackService>(new StackService(std::move(impl)));
}

StackService::~StackService() { impl_->end(); }

}  // namespace sim::service
