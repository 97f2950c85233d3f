// Demo: the road a user of a fingerprint application lives through, on the in-process stack and one
// virtual sensor. The sensor arrives and is brought up (calibrated) until ready; "alice" enrolls a
// finger by three swipes; a fresh swipe of that finger verifies as her, another finger does not;
// "bob" and "carol" enroll, and a swipe of carol's finger identifies her among the three; then the
// stack shuts down. The swipes are synthetic fingers over the virtual sensor's swipe module, sent
// when the sensor asks for a swipe, so every run prints the same. Exits 0 only when every step gave
// the result a user expects.
#include "platform/test_seams.h"
#include "platform/usb_test_seams.h"
#include "sim/swipe/synthetic_swipes.h"
#include "sim/usb/sim_usb.h"
#include "tcs/database/dss_interface.h"
#include "tcs/flows/ex_recognition.h"
#include "tcs/matching/mss.h"
#include "tcs/result.h"
#include "tcs/tcs.h"

#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// The synthetic fingers of the demo's users, and the enrollment data each user keeps with a template.
struct DemoUser {
    const char* name;
    int finger;  // synthetic finger of the swipes
    const char* secret;
};
constexpr DemoUser kAlice{"alice", 0, "alice's door code 4711"};
constexpr DemoUser kBob{"bob", 1, "bob's door code 0815"};
constexpr DemoUser kCarol{"carol", 2, "carol's door code 1234"};
constexpr int kStrangerFinger = 5;  // a finger nobody enrolled
constexpr uint8_t kFingerIndex = 1;  // which of the user's fingers the template is filed under
constexpr uint32_t kSecretKind = 5;  // the kind of enrollment entry the demo stores and asks back

// Result names, with those of the recognising flows that the stack's name table leaves out.
const char* nameOf(TcsResult result) {
    if (const char* name = tcsResultName(result)) return name;
    struct Named {
        TcsResult code;
        const char* name;
    };
    static constexpr Named kFlowResults[] = {
        {TCS_RESULT_FINGER_ENROLLED, "TCS_RESULT_FINGER_ENROLLED"},
        {TCS_RESULT_IMAGE_UNUSABLE, "TCS_RESULT_IMAGE_UNUSABLE"},
        {TCS_RESULT_NO_SWIPE, "TCS_RESULT_NO_SWIPE"},
        {TCS_RESULT_SWIPE_ABORTED, "TCS_RESULT_SWIPE_ABORTED"},
        {TCS_RESULT_NOT_IDENTIFIED, "TCS_RESULT_NOT_IDENTIFIED"},
        {TCS_RESULT_NOT_VERIFIED, "TCS_RESULT_NOT_VERIFIED"},
        {TCS_RESULT_NO_ENROLLMENT_DATA, "TCS_RESULT_NO_ENROLLMENT_DATA"},
        {TCS_RESULT_ONLY_UNUSABLE_SWIPES, "TCS_RESULT_ONLY_UNUSABLE_SWIPES"},
    };
    for (const Named& n : kFlowResults) {
        if (n.code == result) return n.name;
    }
    static thread_local char unnamed[32];
    std::snprintf(unnamed, sizeof unnamed, "result %u", result);
    return unnamed;
}

std::string textOf(const EventRecord* event) {
    if (event->data == nullptr || event->dataSize == 0) return {};
    const auto* text = static_cast<const char*>(event->data);
    return std::string(text, strnlen(text, event->dataSize));
}

std::string bytesText(const uint8_t* data, uint32_t size) {
    return data == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(data), size);
}

// The sensor's 36-byte version record: a family-1 sensor of firmware 4.30 on ROM, provisioned and
// without a secure variant, serial bytes from the USB serial. Such a sensor is brought up with every
// printing step: flex id, print configuration, calibration and its power-up baseline.
Bytes versionRecord(const std::string& serial) {
    Bytes v(36, 0);
    v[0] = 1;    // firmware id
    v[4] = 17;   // build
    v[8] = 4;    // major
    v[9] = 30;   // minor
    v[10] = 1;   // ROM firmware
    v[11] = 4;   // chip kind
    v[13] = 1;
    v[22] = 1;   // variant byte
    for (size_t i = 0; i < 6 && i < serial.size(); ++i) v[16 + i] = uint8_t(serial[serial.size() - 6 + i]);
    return v;
}

// Get-print requests ({0x02, u16 line length, u16 lines, tag records {u16 tag, u16 length, data}})
// that carried a calibration sweep (tag 13): the virtual sensor's analog front end answered them.
size_t calibrationSweeps(simusb::SensorId sensor) {
    size_t sweeps = 0;
    for (const Bytes& request : simusb::commandLog(sensor)) {
        if (request.size() < 5 || request[0] != 0x02) continue;
        for (size_t at = 5; at + 4 <= request.size(); at += 4 + (request[at + 2] | request[at + 3] << 8)) {
            if ((request[at] | request[at + 1] << 8) == 13) {
                ++sweeps;
                break;
            }
        }
    }
    return sweeps;
}

// What the system events told: the sensor's name and how its bring-up ended.
struct BringUp {
    std::mutex lock;
    std::condition_variable changed;
    std::string sensorName;
    bool ready = false;
    bool failed = false;
};

TcsResult onSystemEvent(void*, void* context, EventRecord* event) {
    auto* state = static_cast<BringUp*>(context);
    std::lock_guard<std::mutex> hold(state->lock);
    switch (event->id) {
        case TCS_SYSTEM_EVENT_SENSOR_ARRIVING:
            std::printf("  [system event 2] sensor arriving: %s\n", textOf(event).c_str());
            break;
        case TCS_SYSTEM_EVENT_SENSOR_READY:
            state->sensorName = textOf(event);
            state->ready = event->status == TCS_RESULT_OK;
            state->failed = !state->ready;
            std::printf("  [system event 3] sensor ready: %s (%s)\n", state->sensorName.c_str(), nameOf(event->status));
            break;
        case TCS_SYSTEM_EVENT_ALL_READY: {
            uint32_t count = 0;
            if (event->data != nullptr && event->dataSize == sizeof count) {
                std::memcpy(&count, event->data, sizeof count);
            }
            std::printf("  [system event 9] sensors ready: %u\n", count);
            break;
        }
        case TCS_SYSTEM_EVENT_SENSOR_FAILED:
            state->failed = true;
            std::printf("  [system event 4] sensor failed to initialise: %s\n", textOf(event).c_str());
            break;
        case TCS_SYSTEM_EVENT_SENSOR_REMOVED:
            std::printf("  [system event 1] sensor removed: %s\n", textOf(event).c_str());
            break;
        default:
            break;
    }
    std::fflush(stdout);
    state->changed.notify_all();
    return TCS_RESULT_OK;
}

// The person at the sensor: when the sensor asks for a swipe (sensor event 8), the next queued swipe
// goes onto the bus. It is sent from the thread that raised the prompt, so the capture finds it.
struct Swiper {
    simusb::SensorId sensor = 0;
    std::mutex lock;
    std::deque<Bytes> swipes;

    void queue(int finger, int take) {
        Bytes stream = synthswipe::swipe(finger, take);
        std::lock_guard<std::mutex> hold(lock);
        swipes.push_back(std::move(stream));
    }
    void clear() {
        std::lock_guard<std::mutex> hold(lock);
        swipes.clear();
    }
};

TcsResult onSensorEvent(void*, void* context, EventRecord* event) {
    auto* swiper = static_cast<Swiper*>(context);
    std::lock_guard<std::mutex> hold(swiper->lock);
    if (event->id == TCS_SENSOR_EVENT_SWIPE_NOW && !swiper->swipes.empty()) {
        simusb::pushFingerprintData(swiper->sensor, swiper->swipes.front());
        swiper->swipes.pop_front();
    }
    return TCS_RESULT_OK;
}

// One flow's progress as a person would see it, and how the flow ended. The callbacks come on the
// caller's thread, in order.
struct Progress {
    bool verbose = true;
    uint32_t swipe = 0;
    uint32_t percent = 0;
    std::string trail;  // the percents reported, for a quiet enrollment
    bool finished = false;
    std::vector<std::string> users;    // matched users' ids
    std::vector<std::string> secrets;  // their enrollment entries of the kind asked for
};

TcsResult onProgress(uint32_t, void* context, EventRecord* event) {
    auto* p = static_cast<Progress*>(context);
    auto keep = [p](const UserMatch& m) {
        p->users.push_back(bytesText(m.userId, m.userIdSize));
        p->secrets.push_back(bytesText(m.entryData, m.entrySize));
    };
    switch (event->id) {
        case TCS_EX_PROGRESS_ENROLL_SWIPE:
            ++p->swipe;
            if (p->verbose) std::printf("  swipe %u: please swipe your finger\n", p->swipe);
            break;
        case TCS_EX_PROGRESS_SWIPE_NOW:
            if (p->verbose) std::printf("  please swipe your finger\n");
            break;
        case TCS_EX_PROGRESS_IMAGE:
            if (p->verbose && event->data != nullptr && event->dataSize == sizeof(TcsHandle)) {
                const TcsHandle image = *static_cast<const TcsHandle*>(event->data);
                std::printf("  %simage captured: %u rows of %u pixels\n",
                            p->swipe != 0 ? ("swipe " + std::to_string(p->swipe) + ": ").c_str() : "",
                            tcsImageGetRows(image), tcsImageGetColumns(image));
            }
            break;
        case TCS_EX_PROGRESS_ENROLL:
            if (event->data != nullptr && event->dataSize == sizeof(EnrollProgress)) {
                const auto* e = static_cast<const EnrollProgress*>(event->data);
                p->percent = e->percent;
                p->trail += " " + std::to_string(e->percent) + "%";
                if (p->verbose) {
                    // Bit 31 marks an image that cannot be used; other bits flag faults of the swipe.
                    const char* verdict = e->quality == 0                       ? "no fault flagged"
                                          : (e->quality & 0x80000000u) != 0 ? "unusable"
                                                                              : "faults flagged";
                    std::printf("  swipe %u: image quality 0x%08X (%s), %s, %u%% done\n", e->swipes, e->quality,
                                verdict, e->notUsed != 0 ? "not used" : "used", e->percent);
                }
            }
            break;
        case TCS_EX_PROGRESS_VERIFIED:
        case TCS_EX_PROGRESS_IDENTIFIED:
        case TCS_EX_PROGRESS_ENROLLED:
            p->finished = true;
            if (event->data == nullptr) break;
            if (event->id == TCS_EX_PROGRESS_VERIFIED && event->dataSize == sizeof(VerifiedUser)) {
                keep(static_cast<const VerifiedUser*>(event->data)->match);
            } else if (event->dataSize == sizeof(UserMatchList)) {
                const auto* list = static_cast<const UserMatchList*>(event->data);
                for (uint32_t i = 0; i < list->count; ++i) keep(list->matches[i]);
            }
            break;
        default:
            break;
    }
    std::fflush(stdout);
    return TCS_RESULT_OK;
}

class Demo {
public:
    ~Demo() { shutDown(); }

    bool run() {
        return bringUp() && openDatabase() && enroll(kAlice, true) && verifyAlice() && enrollOthers() &&
               identifyCarol() && shutDown();
    }

private:
    bool check(bool ok, const char* what) {
        if (!ok) {
            std::printf("FAILED: %s\n", what);
            failed_ = true;
        }
        return ok;
    }
    bool expect(TcsResult result, TcsResult wanted, const char* what) {
        if (result == wanted) return true;
        std::printf("FAILED: %s gave %s, not %s\n", what, nameOf(result), nameOf(wanted));
        failed_ = true;
        return false;
    }

    bool bringUp() {
        char dir[] = "/tmp/tov-stack-demo-XXXXXX";
        if (!check(mkdtemp(dir) != nullptr, "a scratch folder")) return false;
        dir_ = dir;
        palTestSetSettingsPath((dir_ + "/settings").c_str());
        palTestSetUsbPollInterval(20);

        // The sensor as it leaves the factory: what its firmware keeps (its version record, and a finger
        // resting on it whenever it is asked) is stored in its state file, read when it is plugged in.
        simusb::setStateDirectory(dir_);
        simusb::SensorSpec identity;
        identity.serial = "DEMO0001";
        const simusb::SensorId factory = simusb::plug(identity);
        if (!check(factory != 0, "making the virtual sensor")) return false;
        simusb::setStoredState(factory, "version", versionRecord(identity.serial));
        simusb::setStoredState(factory, "fingerState", {2, 0});
        simusb::unplug(factory);

        std::printf("== A sensor arrives\n");
        if (!expect(tcsStartupEx(&stack_, TCS_START_FAST_POLL, nullptr), TCS_RESULT_OK, "starting the stack")) {
            return false;
        }
        if (!expect(tcsClientCreateSys(stack_, &client_), TCS_RESULT_OK, "creating a client")) return false;
        if (!expect(tcsClientEventsAddCallback(client_, onSystemEvent, &bringUp_), TCS_RESULT_OK,
                    "listening to system events")) {
            return false;
        }
        std::printf("stack started; a client listens to system events\n");
        std::printf("virtual sensor %s plugged in (USB %04X:%04X); the stack brings it up:\n", identity.serial.c_str(),
                    identity.vendorId, identity.productId);
        std::fflush(stdout);
        swiper_.sensor = simusb::plug(identity);
        if (!check(swiper_.sensor != 0, "plugging the virtual sensor in")) return false;
        std::string name;
        {
            std::unique_lock<std::mutex> hold(bringUp_.lock);
            bringUp_.changed.wait_for(hold, std::chrono::seconds(20),
                                      [&] { return bringUp_.ready || bringUp_.failed; });
            if (!check(bringUp_.ready && !bringUp_.failed, "the sensor becoming ready")) return false;
            name = bringUp_.sensorName;
        }
        const size_t sweeps = calibrationSweeps(swiper_.sensor);
        if (!check(sweeps > 0, "calibrating the sensor")) return false;
        if (!expect(tcsSensorOpenA(client_, name.c_str(), &sensor_), TCS_RESULT_OK, "opening the sensor")) return false;
        DeviceInfoRecord info{};
        if (!expect(tcsSensorGetDeviceInfo(sensor_, &info), TCS_RESULT_OK, "reading the device information")) {
            return false;
        }
        std::printf("sensor opened: firmware %u.%u, flex id %u, calibrated (its analog front end answered %zu "
                    "calibration sweeps)\n",
                    info.major, info.minor, info.flexId, sweeps);
        return expect(tcsSensorEventsAddCallback(sensor_, onSensorEvent, &swiper_), TCS_RESULT_OK,
                      "listening to sensor events");
    }

    bool openDatabase() {
        const std::string url = "file://" + dir_ + "/templates.db";
        if (!expect(tcsDatabaseFormatDatabaseA(client_, url.c_str()), TCS_RESULT_OK, "formatting the database") ||
            !expect(tcsDatabaseOpenA(client_, url.c_str(), &database_), TCS_RESULT_OK, "opening the database") ||
            !expect(tcsDatabaseCreateAppStorage(database_, "DEMO", 0, &app_), TCS_RESULT_OK,
                    "creating the application storage")) {
            return false;
        }
        std::printf("template database: a host file, templates.db, formatted; application storage \"DEMO\"\n");
        return true;
    }

    // Three swipes of the user's finger (takes 0 to 2) make the template.
    bool enroll(const DemoUser& user, bool verbose) {
        std::printf("\n== Enrollment of \"%s\": three swipes of synthetic finger %d\n", user.name, user.finger);
        for (int take = 0; take < 3; ++take) swiper_.queue(user.finger, take);
        Progress progress;
        progress.verbose = verbose;
        const Bytes id(user.name, user.name + std::strlen(user.name));
        const SizedBuffer userId{uint32_t(id.size()), id.data()};
        const EnrollmentDataEntry entry{kSecretKind, uint32_t(std::strlen(user.secret)),
                                        reinterpret_cast<const uint8_t*>(user.secret)};
        const TcsResult result = tcsExEnrollUserEx(sensor_, MSS_MATCHER_MINUTIAE, app_, &userId, 1, &entry,
                                                   kFingerIndex, onProgress, &progress,
                                                   TCS_EX_ENROLL_REFUSE_KNOWN_FINGER);
        if (!verbose) std::printf("  progress after each swipe:%s\n", progress.trail.c_str());
        std::printf("  enrollment finished after %u swipes, %u%% done: %s\n", progress.swipe, progress.percent,
                    nameOf(result));
        swiper_.clear();
        if (!expect(result, TCS_RESULT_OK, "the enrollment") || !check(progress.finished, "the enrollment's end")) {
            return false;
        }
        std::printf("enroll %s: ENROLLED\n", user.name);
        return true;
    }

    bool verifyAlice() {
        std::printf("\n== Verification of \"alice\" by a fresh swipe of her finger\n");
        Progress same;
        const TcsResult match = verify(kAlice, kAlice.finger, 3, &same);
        if (!expect(match, TCS_RESULT_OK, "verifying alice by her own finger") ||
            !check(same.users == std::vector<std::string>{kAlice.name}, "the verified user being alice")) {
            return false;
        }
        std::printf("  her enrollment data came back: \"%s\"\n", same.secrets[0].c_str());
        std::printf("verify alice with her own finger: MATCH\n");

        std::printf("\n== Verification of \"alice\" by a swipe of another finger\n");
        Progress other;
        const TcsResult noMatch = verify(kAlice, kStrangerFinger, 0, &other);
        if (!expect(noMatch, TCS_RESULT_NOT_VERIFIED, "verifying alice by another finger") ||
            !check(other.users.empty(), "no user reported")) {
            return false;
        }
        std::printf("verify alice with another finger: NO MATCH\n");
        return true;
    }

    TcsResult verify(const DemoUser& claimed, int finger, int take, Progress* progress) {
        swiper_.queue(finger, take);
        const SizedBuffer userId{uint32_t(std::strlen(claimed.name)), reinterpret_cast<const uint8_t*>(claimed.name)};
        const TcsResult result =
            tcsExVerifyUser(sensor_, MSS_MATCHER_MINUTIAE, app_, &userId, kSecretKind, onProgress, progress);
        swiper_.clear();
        std::printf("  verification finished: %s%s\n", nameOf(result),
                    result == TCS_RESULT_OK ? ", the swipe is the claimed user's" : "");
        return result;
    }

    bool enrollOthers() { return enroll(kBob, false) && enroll(kCarol, false); }

    bool identifyCarol() {
        std::printf("\n== Identification among alice, bob and carol by a fresh swipe of carol's finger\n");
        swiper_.queue(kCarol.finger, 3);
        Progress progress;
        const TcsResult result =
            tcsExIdentifyUser(sensor_, MSS_MATCHER_MINUTIAE, app_, kSecretKind, onProgress, &progress);
        swiper_.clear();
        std::printf("  identification finished: %s\n", nameOf(result));
        if (!expect(result, TCS_RESULT_OK, "identifying carol") ||
            !check(progress.users == std::vector<std::string>{kCarol.name}, "the identified user being carol")) {
            return false;
        }
        std::printf("  her enrollment data came back: \"%s\"\n", progress.secrets[0].c_str());
        std::printf("identify among 3 users: %s\n", progress.users[0].c_str());
        return true;
    }

    // Closes what is open, in the order a client would; true when every step succeeded and nothing
    // failed before. Runs once.
    bool shutDown() {
        if (done_) return !failed_;
        done_ = true;
        std::printf("\n== Shut-down\n");
        auto step = [this](const char* what, TcsResult result) {
            std::printf("  %-34s %s\n", what, nameOf(result));
            if (result != TCS_RESULT_OK) failed_ = true;
        };
        if (sensor_ != 0) step("sensor closed", tcsSensorClose(sensor_));
        if (app_ != 0) step("application storage closed", tcsDatabaseCloseAppStorage(app_));
        if (database_ != 0) step("database closed", tcsDatabaseClose(database_));
        if (client_ != 0) step("client destroyed", tcsClientDestroy(client_));
        if (stack_ != nullptr) step("stack shut down", tcsShutdown(stack_));
        simusb::resetAll();
        palTestSetSettingsPath(nullptr);
        if (!dir_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(dir_, ignored);
        }
        std::printf(failed_ ? "\nThe demo FAILED.\n"
                            : "\nThe demo ran the whole road: every step gave what a user expects.\n");
        return !failed_;
    }

    BringUp bringUp_;
    Swiper swiper_;
    std::string dir_;
    CoreSubsystem* stack_ = nullptr;
    TcsHandle client_ = 0;
    TcsHandle sensor_ = 0;
    TcsHandle database_ = 0;
    TcsHandle app_ = 0;
    bool failed_ = false;
    bool done_ = false;
};

}  // namespace

int main() {
    Demo demo;
    return demo.run() ? 0 : 1;
}
