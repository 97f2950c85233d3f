// Every function id once, through the client library, to the service process that runs the stack:
// each reply is the stack's answer, its result and its data, for good arguments and for bad ones.
#include "apps/shared/calls.h"
#include "apps/shared/client.h"
#include "apps/shared/client_test_seams.h"
#include "apps/shared/inproc_matchers.h"
#include "platform/test_seams.h"
#include "tests/sim/framework/processes.h"
#include "platform/memory.h"
#include "tcs/handle_map.h"
#include "tcs/matching/templates.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
constexpr const char* kSerial = "TOV00001";
constexpr TcsHandle kBogus = 0x7777777777ull;

struct Seen {
    std::mutex lock;
    std::condition_variable changed;
    std::string sensor;
    std::vector<uint32_t> ids;          // every event id delivered to the callbacks below
    std::vector<std::string> matched;   // users of events 14 and 15
    TcsHandle image = 0;                // of the last capture completion
    std::vector<TcsHandle> images;      // of every image-ready event: the callback owns them
    TcsResult captureStatus = 0;
    bool captured = false;

    void add(uint32_t id) {
        std::lock_guard<std::mutex> hold(lock);
        ids.push_back(id);
        changed.notify_all();
    }
    bool waitFor(const std::function<bool()>& done) {
        std::unique_lock<std::mutex> hold(lock);
        return changed.wait_for(hold, std::chrono::seconds(60), done);
    }
    bool has(uint32_t id) {
        std::lock_guard<std::mutex> hold(lock);
        return std::find(ids.begin(), ids.end(), id) != ids.end();
    }
};

TcsResult onSystem(void*, void* context, EventRecord* event) {
    auto* seen = static_cast<Seen*>(context);
    if (event->id == 3 && event->data != nullptr) {
        std::lock_guard<std::mutex> hold(seen->lock);
        seen->sensor.assign(static_cast<const char*>(event->data),
                            strnlen(static_cast<const char*>(event->data), event->dataSize));
    }
    if (event->id == 5 && event->dataSize != 0) {
        std::lock_guard<std::mutex> hold(seen->lock);
        seen->images.push_back(TcsHandle(uintptr_t(event->data)));
    }
    seen->add(event->id);
    return TCS_RESULT_OK;
}

TcsResult onProgress(void*, void* context, EventRecord* event) {
    auto* seen = static_cast<Seen*>(context);
    auto name = [](const IdentifiedUser& user) { return std::string(reinterpret_cast<char*>(user.area1), user.length1); };
    if (event->id == 14 && event->data != nullptr) {
        std::lock_guard<std::mutex> hold(seen->lock);
        seen->matched.push_back(name(*static_cast<IdentifiedUser*>(event->data)));
    }
    if (event->id == 15 && event->data != nullptr) {
        const auto* list = static_cast<IdentifiedUserList*>(event->data);
        std::lock_guard<std::mutex> hold(seen->lock);
        for (uint32_t i = 0; i < list->count; ++i) seen->matched.push_back(name(list->users[i]));
    }
    seen->add(event->id);
    return TCS_RESULT_OK;
}

TcsResult onCapture(void* image, TcsResult status, void* context) {
    auto* seen = static_cast<Seen*>(context);
    std::lock_guard<std::mutex> hold(seen->lock);
    seen->image = status == TCS_RESULT_OK ? TcsHandle(uintptr_t(image)) : 0;
    seen->captureStatus = status;
    seen->captured = true;
    seen->changed.notify_all();
    return TCS_RESULT_OK;
}

class FunctionIdsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/tovidsXXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        const std::string pipes = dir_ + "/", prefix = dir_ + "/k_";
        tovClientTestSetPipeDirectory(pipes.c_str());
        palTestSetIpcKeyPrefix(prefix.c_str());
        service_ = tovtest::spawn({TOV_SERVICE_PROGRAM, pipes, prefix, dir_ + "/sensors"}, dir_ + "/service.log");
        for (int i = 0; i < 500 && !fs::exists(prefix + "ServiceReady"); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(fs::exists(prefix + "ServiceReady"));
    }
    void TearDown() override {
        feeder_.stop();
        if (gClientSystem.clientCount > 0 && client_ != 0) tcsClientDestroy(client_);
        if (service_ > 0) {
            kill(service_, SIGTERM);
            if (tovtest::waitFor(service_, std::chrono::seconds(15)) < 0) kill(service_, SIGKILL);
        }
        tovClientTestSetPipeDirectory(nullptr);
        palTestSetIpcKeyPrefix(nullptr);
        fs::remove_all(dir_);
    }

    void feed(int finger) { feeder_.feed(dir_ + "/sensors/" + kSerial + ".swipe", finger); }
    void stopFeeding() { feeder_.stop(); }

    std::string dir_;
    pid_t service_ = 0;
    TcsHandle client_ = 0;
    tovtest::SwipeFeeder feeder_;
    // What the client's callbacks write to: it outlives the client, which a failed test leaves
    // to TearDown.
    Seen seen_;
};

struct Case {
    const char* what;
    std::function<TcsResult()> call;
    TcsResult expected;
};

void runTable(const std::vector<Case>& table) {
    for (const Case& c : table) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.call(), c.expected) << c.what;
    }
}

SizedBuffer bytesOf(const char* text) { return SizedBuffer{uint32_t(std::strlen(text)), reinterpret_cast<const uint8_t*>(text)}; }

TEST_F(FunctionIdsTest, EveryFunctionIdGetsTheStacksAnswer) {
    Seen& seen = seen_;
    TcsHandle sensor = 0, database = 0, app = 0, user = 0, templ = 0, storage = 0, other = 0;
    const std::string url = "file://" + dir_ + "/templates.db";
    const uint8_t data[] = {1, 2, 3, 4, 5};
    uint8_t* read = nullptr;
    uint32_t length = 0, value = 0;
    auto readBack = [&](TcsResult result) {
        const bool same = result == TCS_RESULT_OK && length == sizeof data && std::memcmp(read, data, length) == 0;
        palRealFree(read);
        read = nullptr;
        return result != TCS_RESULT_OK ? result : same ? TCS_RESULT_OK : TCS_RESULT_ERROR;
    };
    char version[80] = {};
    DeviceInfoRecord info{};
    SensorUidRecord uid{};
    LedConfigRecord led{};
    uint32_t policies[2] = {};
    uint8_t flag = 0;
    const uint8_t key[16] = {9};
    const std::vector<uint8_t> efi(64, 0xA5);

    // Clients, events and the sensor (1 to 11, 50 to 55).
    runTable({
        {"1 client create", [&] { return tcsClientCreate(&client_); }, TCS_RESULT_OK},
        {"3 client callback", [&] { return tcsClientEventsAddCallback(client_, onSystem, &seen); }, TCS_RESULT_OK},
        {"3 on a client the stack never made", [&] { return tcsClientEventsAddCallback(kBogus, onSystem, &seen); },
         TCS_RESULT_NULL_CLIENT_HANDLE},
    });
    ASSERT_TRUE(seen.waitFor([&] { return !seen.sensor.empty(); }));
    EXPECT_TRUE(seen.has(2));  // arrival before ready, replayed to the new callback
    std::vector<uint16_t> wideId(seen.sensor.begin(), seen.sensor.end());
    wideId.push_back(0);
    runTable({
        {"7 open an unknown sensor", [&] { return tcsSensorOpenA(client_, "usb#vid_0000#nothing", &other); },
         TCS_RESULT_SENSOR_NOT_FOUND},
        // By the wide form of its id, as the other tests open it by the narrow one.
        {"7 sensor open", [&] { return tcsSensorOpenW(client_, wideId.data(), &sensor); }, TCS_RESULT_OK},
        {"8 sensor callback", [&] { return tcsSensorEventsAddCallback(sensor, onSystem, &seen); }, TCS_RESULT_OK},
        {"5 version", [&] { return tcsSensorGetVersionA(sensor, version); }, TCS_RESULT_OK},
        {"5 version of no sensor the stack knows", [&] { return tcsSensorGetVersionA(kBogus, version); },
         TCS_RESULT_NULL_SENSOR_HANDLE},
        {"11 image size", [&] { return tcsSensorGetReconstructedImageMaxSize(sensor, &value); }, TCS_RESULT_OK},
        {"53 device information", [&] { return tcsSensorGetDeviceInfo(sensor, &info); }, TCS_RESULT_OK},
        {"91 unique id", [&] { return tcsSensorGetUID(sensor, &uid); }, TCS_RESULT_OK},
        {"50 set parameter", [&] { return tcsSetParam(client_, 6, 3); }, TCS_RESULT_OK},
        {"51 get parameter", [&] { return tcsGetParam(client_, 6, &value); }, TCS_RESULT_OK},
        {"50 set an unknown parameter", [&] { return tcsSetParam(client_, 99, 1); }, TCS_RESULT_BAD_PARAM},
        {"54 symmetric key the stack refuses", [&] { return tcsSetSymmetricKey(client_, 1, 1, 1, key, sizeof key); },
         TCS_RESULT_BAD_PARAM},
        {"55 reset symmetric key", [&] { return tcsResetSymmetricKey(client_, 1); }, TCS_RESULT_OK},
    });
    EXPECT_EQ(value, 3u);  // the parameter as the stack keeps it
    EXPECT_NE(std::string(version), "");
    EXPECT_EQ(info.major, 4);
    EXPECT_EQ(info.minor, 30);

    // A capture (12): image ready (5) to the sensor callback, then the completion with the image.
    // A capture the stack ends with 501 (see the README) is swiped again, as a user would.
    feed(0);
    for (int attempt = 0; attempt < 3 && seen.image == 0; ++attempt) {
        seen.captured = false;
        // The stack takes a new capture once the last one has wound down.
        TcsResult started = TCS_RESULT_ERROR;
        for (int wait = 0; wait < 100 && started != TCS_RESULT_OK; ++wait) {
            started = tcsSensorGetFingerprintAsyncW(sensor, onCapture, &seen, nullptr);
            if (started != TCS_RESULT_OK) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ASSERT_EQ(started, TCS_RESULT_OK);
        ASSERT_TRUE(seen.waitFor([&] { return seen.captured; }));
    }
    stopFeeding();
    ASSERT_NE(seen.image, 0u) << seen.captureStatus;
    EXPECT_GT(tcsImageGetRows(seen.image), 100u);
    EXPECT_TRUE(seen.has(5));

    // The database, every object and its data (20 to 49, 60, 77, 22).
    runTable({
        {"60 format", [&] { return tcsDatabaseFormatDatabasePriv(client_, url.c_str()); }, TCS_RESULT_OK},
        {"20 open", [&] { return tcsDatabaseOpenA(client_, url.c_str(), &database); }, TCS_RESULT_OK},
        {"23 app storage", [&] { return tcsDatabaseCreateAppStorage(database, "IDS", 0, &app); }, TCS_RESULT_OK},
        {"23 on no database", [&] { return tcsDatabaseCreateAppStorage(kBogus, "IDS", 0, &other); },
         TCS_RESULT_INVALID_DATABASE_HANDLE},
        {"26 user", [&] { return tcsDatabaseCreateUser(app, &user); }, TCS_RESULT_OK},
        {"28 user data", [&] { return tcsDatabaseSetUserData(user, 7, data, sizeof data); }, TCS_RESULT_OK},
        {"29 user data back", [&] { return readBack(tcsDatabaseGetUserData(user, 7, &read, &length)); }, TCS_RESULT_OK},
        {"29 data never set", [&] { return tcsDatabaseGetUserData(user, 8, &read, &length); },
         TCS_RESULT_DATA_ID_DOESNT_EXIST},
        {"30 delete user data", [&] { return tcsDatabaseDeleteUserData(user, 7); }, TCS_RESULT_OK},
        {"27 close user", [&] { return tcsDatabaseCloseUser(user); }, TCS_RESULT_OK},
        {"27 close no user", [&] { return tcsDatabaseCloseUser(kBogus); }, TCS_RESULT_INVALID_USER_HANDLE},
        {"77 user count", [&] { return tcsDatabaseGetUserCount(app, &value); }, TCS_RESULT_OK},
        {"31 first user", [&] { return tcsDatabaseOpenFirstUser(app, &user); }, TCS_RESULT_OK},
        {"32 no next user", [&] { return tcsDatabaseOpenNextUser(app, &other); }, TCS_RESULT_USER_DOESNT_EXIST},
        {"34 template", [&] { return tcsDatabaseCreateTemplate(user, &templ); }, TCS_RESULT_OK},
        {"37 template data", [&] { return tcsDatabaseSetTemplateData(templ, 7, data, sizeof data); }, TCS_RESULT_OK},
        {"39 template data back", [&] { return readBack(tcsDatabaseGetTemplateData(templ, 7, &read, &length)); },
         TCS_RESULT_OK},
        {"38 delete template data", [&] { return tcsDatabaseDeleteTemplateData(templ, 7); }, TCS_RESULT_OK},
        {"35 close template", [&] { return tcsDatabaseCloseTemplate(templ); }, TCS_RESULT_OK},
        {"35 close no template", [&] { return tcsDatabaseCloseTemplate(kBogus); }, TCS_RESULT_INVALID_TEMPLATE_HANDLE},
        {"40 first template", [&] { return tcsDatabaseOpenFirstTemplate(user, &templ); }, TCS_RESULT_OK},
        {"41 no next template", [&] { return tcsDatabaseOpenNextTemplate(user, &other); },
         TCS_RESULT_TEMPLATE_DOESNT_EXIST},
        {"36 delete template", [&] { return tcsDatabaseDeleteTemplate(templ); }, TCS_RESULT_OK},
        {"42 storage", [&] { return tcsDatabaseCreateStorage(app, &storage); }, TCS_RESULT_OK},
        {"45 storage data", [&] { return tcsDatabaseSetStorageData(storage, 7, data, sizeof data); }, TCS_RESULT_OK},
        {"47 storage data back", [&] { return readBack(tcsDatabaseGetStorageData(storage, 7, &read, &length)); },
         TCS_RESULT_OK},
        {"46 delete storage data", [&] { return tcsDatabaseDeleteStorageData(storage, 7); }, TCS_RESULT_OK},
        {"43 close storage", [&] { return tcsDatabaseCloseStorage(storage); }, TCS_RESULT_OK},
        {"48 first storage", [&] { return tcsDatabaseOpenFirstStorage(app, &storage); }, TCS_RESULT_OK},
        {"49 no next storage", [&] { return tcsDatabaseOpenNextStorage(app, &other); }, TCS_RESULT_DOESNT_EXIST},
        {"44 delete storage", [&] { return tcsDatabaseDeleteStorage(storage); }, TCS_RESULT_OK},
        {"33 delete user", [&] { return tcsDatabaseDeleteUser(user); }, TCS_RESULT_OK},
    });

    // LED, power, flags, firmware image and the calls the stack does not have (56 to 79, 93, 98 to 101).
    runTable({
        {"70 LED configuration", [&] { return tcsSensorLEDConfig(sensor, 23, &led); }, TCS_RESULT_OK},
        {"71 LED configuration back", [&] { return tcsSensorLEDGetConfig(sensor, 23, &led); }, TCS_RESULT_OK},
        {"72 default LED configuration", [&] { return tcsSensorLoadDefaultLEDConfig(sensor); }, TCS_RESULT_OK},
        {"73 save LED configuration", [&] { return tcsSensorSaveLEDConfig(sensor); }, TCS_RESULT_OK},
        {"74 LED events", [&]() -> TcsResult {
             for (auto event : {tcsSensorLEDReadyForSwipe, tcsSensorLEDEnrollmentSwipeAccepted,
                                tcsSensorLEDEnrollmentSwipeRejected, tcsSensorLEDSwipeAccepted,
                                tcsSensorLEDSwipeRejected, tcsSensorLEDIdle}) {
                 if (const TcsResult r = event(sensor); r != TCS_RESULT_OK) return r;
             }
             return TCS_RESULT_OK;
         },
         TCS_RESULT_OK},
        {"76 LED on", [&] { return tcsSensorLEDEnable(1); }, TCS_RESULT_OK},
        {"75 LED enabled", [&] { return tcsSensorIsLEDEnabled(&value); }, TCS_RESULT_OK},
        {"61 power policies", [&] { return tcsSensorGetPowerPolicies(sensor, policies); }, TCS_RESULT_NOT_IMPLEMENTED},
        {"62 set power policies", [&] { return tcsSensorSetPowerPolicies(sensor, policies); }, TCS_RESULT_NOT_IMPLEMENTED},
        {"63 power state", [&] { return tcsSensorSetPowerState(sensor, 1); }, TCS_RESULT_NOT_IMPLEMENTED},
        {"66 enable power policy", [&] { return tcsSensorEnablePowerPolicy(sensor, 0, 1); }, TCS_RESULT_NOT_IMPLEMENTED},
        {"67 power policy enabled", [&] { return tcsSensorIsPowerPolicyEnabled(sensor, 0, &value); },
         TCS_RESULT_NOT_IMPLEMENTED},
        {"65 set suspend time-out", [&] { return tcsSensorSetSelectiveSuspendTimeout(sensor, 1500); }, TCS_RESULT_OK},
        {"64 suspend time-out", [&] { return tcsSensorGetSelectiveSuspendTimeout(sensor, &value); }, TCS_RESULT_OK},
        {"56 TTA start", [&] { return tcsSensorStartTTAHandling(sensor); }, TCS_RESULT_NOT_IMPLEMENTED},
        {"57 TTA stop", [&] { return tcsSensorStopTTAHandling(sensor); }, TCS_RESULT_NOT_IMPLEMENTED},
        {"93 privileged transaction", [&] { return tcsSensorStartPrivilegedTransaction(sensor); },
         TCS_RESULT_NOT_IMPLEMENTED},
        {"93 privileged transaction end", [&] { return tcsSensorStopPrivilegedTransaction(sensor); },
         TCS_RESULT_NOT_IMPLEMENTED},
        // Navigation and the one-time-password calls are answered in the library, the sensor checked.
        {"navigation", [&]() -> TcsResult {
             for (TcsHandle s : {sensor, TcsHandle(0)}) {
                 const TcsResult want = s == 0 ? TCS_RESULT_NULL_SENSOR_HANDLE : TCS_RESULT_NOT_IMPLEMENTED;
                 if (tcsSensorNavigationStart(s) != want || tcsSensorNavigationStop(s) != want ||
                     tcsSensorNavigationSetConfig(s, &led) != want || tcsSensorNavigationGetConfig(s, &led) != want) {
                     return TCS_RESULT_ERROR;
                 }
             }
             return TCS_RESULT_OK;
         },
         TCS_RESULT_OK},
        {"one-time passwords", [&]() -> TcsResult {
             return tcsFIDOCreateAuthData() == TCS_RESULT_NOT_IMPLEMENTED &&
                            tcsFIDOProvisionOtpSeed() == TCS_RESULT_NOT_IMPLEMENTED &&
                            tcsFIDOCreateHotpToken() == TCS_RESULT_NOT_IMPLEMENTED
                        ? TCS_RESULT_OK
                        : TCS_RESULT_ERROR;
         },
         TCS_RESULT_OK},
        {"98 PBA flag of a value the stack refuses", [&] { return tcsSensorSetPbaFlag(sensor, 0, 5); },
         TCS_RESULT_BAD_PARAM},
        {"98 PBA flag the virtual sensor cannot keep", [&] { return tcsSensorSetPbaFlag(sensor, 0, 1); },
         TCS_RESULT_SENSOR_READ_FAILED},
        {"99 PBA flag", [&] { return tcsSensorGetPbaFlag(sensor, 0, &flag); }, TCS_RESULT_OK},
        {"100 firmware image version", [&] { return tcsSensorGetEFIImageVersion(sensor, &value); }, TCS_RESULT_OK},
        {"78 program firmware image", [&] { return tcsSensorProgramEFIImage(sensor, efi.data(), uint32_t(efi.size()), 1); },
         TCS_RESULT_OK},
        {"79 erase firmware image", [&] { return tcsSensorEraseEFIImage(sensor); }, TCS_RESULT_OK},
        {"101 capture purpose", [&] { return tcsSensorSetCapturePurpose(sensor, 0); }, TCS_RESULT_OK},
    });

    // The extended flows: alice enrolls finger 1 by swipes of synthetic finger 0, is listed,
    // exported, verified and identified by swipe and by the captured image (83 to 104, 68, 69).
    const SizedBuffer alice = bytesOf("alice"), bob = bytesOf("bob");
    const char secret[] = "alice's secret";
    const TypedSizedBuffer entry{5, sizeof secret - 1, reinterpret_cast<const uint8_t*>(secret)};
    uint32_t count = 0;
    OwnedBuffer* list = nullptr;
    IdentifiedUser* users = nullptr;
    TcsHandle enrollTemplate = 0;
    uint8_t* sealed = nullptr;
    auto freeList = [&](TcsResult result) {
        tcsExFreeBufferList(list, count);
        list = nullptr;
        return result;
    };
    feed(0);
    runTable({
        {"83 enroll with no callback for its progress", [&] {
             return tcsExEnrollUser(sensor, 1, app, &alice, 1, &entry, 0, nullptr, nullptr); },
         TCS_RESULT_NULL_POINTER},
        {"83 enroll by swipes", [&] { return tcsExEnrollUserEx(sensor, 1, app, &alice, 1, &entry, 0, onProgress, &seen); },
         TCS_RESULT_OK},
    });
    stopFeeding();
    EXPECT_TRUE(seen.has(13));  // enrolled
    EXPECT_TRUE(seen.has(32));  // its progress
    runTable({
        {"90 89 enrolled users", [&] { return freeList(tcsExGetEnrolledUserList(sensor, app, &count, &list)); },
         TCS_RESULT_OK},
        {"95 96 exported templates", [&] { return freeList(tcsExExportUserTemplates(sensor, app, &alice, &count, &list)); },
         TCS_RESULT_OK},
        {"95 no such user", [&] { return tcsExExportUserTemplates(sensor, app, &bob, &count, &list); },
         TCS_RESULT_USER_DOESNT_EXIST},
        {"31 40 68 the template as an enroll template",
         [&] {
             TcsResult r = tcsDatabaseOpenFirstUser(app, &user);
             if (r == TCS_RESULT_OK) r = tcsDatabaseOpenFirstTemplate(user, &templ);
             return r != TCS_RESULT_OK ? r : tcsDatabaseExGetTemplateData(templ, sensor, &enrollTemplate);
         },
         TCS_RESULT_OK},
        {"69 onto the template, whose data is there", [&] { return tcsDatabaseExSetTemplateData(templ, sensor, enrollTemplate); },
         TCS_RESULT_DATA_ID_EXISTS},
        {"34 69 onto a new template",
         [&] {
             TcsResult r = tcsDatabaseCreateTemplate(user, &other);
             return r != TCS_RESULT_OK ? r : tcsDatabaseExSetTemplateData(other, sensor, enrollTemplate);
         },
         TCS_RESULT_OK},
        // The library's template handle means nothing to the service's stack.
        {"102 enroll a template the service never made", [&] {
             return tcsExEnrollTemplate(sensor, app, &bob, 1, &entry, enrollTemplate); },
         TCS_RESULT_NULL_POINTER},
        {"103 identify the captured image",
         [&] { return tcsExIdentifyImage(sensor, 1, app, 5, seen.image, &count, &users); }, TCS_RESULT_OK},
        {"104 verify the captured image", [&] { return tcsExVerifyImage(sensor, 1, app, 5, &alice, seen.image); },
         TCS_RESULT_OK},
        {"104 as another user", [&] { return tcsExVerifyImage(sensor, 1, app, 5, &bob, seen.image); },
         TCS_RESULT_USER_DOESNT_EXIST},
        {"85 seal authentication data", [&] { return tcsExEnrollAuthData(sensor, &alice, &entry, 0, &alice, &sealed, &length); },
         TCS_RESULT_NOT_IMPLEMENTED},
        {"86 token", [&] { return tcsExGetAuthToken(sensor, &alice, &entry, 0, &alice, &alice, &sealed, &length); },
         TCS_RESULT_NOT_IMPLEMENTED},
        {"92 share", [&] { return tcsExShareAuthData(sensor, app, &alice, &entry, &alice, &alice, &sealed, &length); },
         TCS_RESULT_NOT_IMPLEMENTED},
    });
    ASSERT_EQ(count, 1u);
    ASSERT_NE(users, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(users[0].area1), users[0].length1), "alice");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(users[0].area2), users[0].length2), secret);
    tcsExFreeIdentifiedUsers(users, count);

    feed(0);
    runTable({
        {"94 verify by a swipe", [&] { return tcsExVerifyUser(sensor, 1, app, &alice, 5, onProgress, &seen); },
         TCS_RESULT_OK},
        {"84 identify by a swipe", [&] { return tcsExIdentifyUser(sensor, 1, app, 5, onProgress, &seen); },
         TCS_RESULT_OK},
    });
    stopFeeding();
    EXPECT_EQ(seen.matched, (std::vector<std::string>{"alice", "alice"}));

    runTable({
        {"87 cancel with nothing running", [&] { return tcsCancelExOperation(sensor); }, TCS_RESULT_OK},
        {"13 abort with no capture", [&] { return tcsSensorAbortFingerprint(sensor); }, TCS_RESULT_OK},
        {"88 remove alice's finger", [&] { return tcsExRemoveUserFinger(sensor, app, &alice, 1); }, TCS_RESULT_OK},
        {"9 sensor callback off", [&] { return tcsSensorEventsRemoveCallback(sensor, onSystem, &seen); }, TCS_RESULT_OK},
        {"10 sensor close", [&] { return tcsSensorClose(sensor); }, TCS_RESULT_OK},
        {"25 close app storage", [&] { return tcsDatabaseCloseAppStorage(app); }, TCS_RESULT_OK},
        {"23 24 delete an app storage",
         [&] {
             TcsResult r = tcsDatabaseCreateAppStorage(database, "GONE", 0, &other);
             return r != TCS_RESULT_OK ? r : tcsDatabaseDeleteAppStorage(other);
         },
         TCS_RESULT_OK},
        {"22 erase", [&] { return tcsDatabaseEraseDatabase(client_, database); }, TCS_RESULT_OK},
        {"21 close database", [&] { return tcsDatabaseClose(database); }, TCS_RESULT_OK},
        {"4 client callback off", [&] { return tcsClientEventsRemoveCallback(client_, onSystem, &seen); }, TCS_RESULT_OK},
        // Handles go with the last client: give back what the test holds first.
        {"release the held handles",
         [&] {
             tcsHandleDestroy(enrollTemplate);
             tcsHandleDestroy(seen.image);  // a second release of a handle has no effect
             std::lock_guard<std::mutex> hold(seen.lock);
             for (TcsHandle image : seen.images) tcsHandleDestroy(image);
             return TCS_RESULT_OK;
         },
         TCS_RESULT_OK},
        {"2 client destroy", [&] { return tcsClientDestroy(client_); }, TCS_RESULT_OK},
    });
    client_ = 0;
}

}  // namespace
