// The tfs_* functions against the stand-in service in a thread: device set-up with the sensor group,
// capture, enroll, verify and identify, and the answers for missing devices.
#include "wrappers/fprint/tfs.h"

#include "apps/shared/inproc_matchers.h"
#include "tcs/matching/mss.h"

#include "apps/shared/client.h"
#include "apps/shared/client_test_seams.h"
#include "apps/shared/detail/client_nodes.h"
#include "platform/memory.h"
#include "platform/test_seams.h"
#include "sim/service/service_standin.h"
#include "tcs/core.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <future>
#include <initializer_list>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kSensorId = "USB-VID_138A-PID_0011-A1B2";

std::string uniqueDirectory() {
    static std::atomic<int> counter{0};
    return "/tmp/tw" + std::to_string(getpid()) + "_" + std::to_string(counter++) + "/";
}

std::vector<uint8_t> textBytes(const std::string& text) {
    std::vector<uint8_t> bytes(text.size() + 1, 0);
    std::memcpy(bytes.data(), text.data(), text.size());
    return bytes;
}

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        _PRINT_MSG_ = 0;  // keep the test output quiet
        _PRINT_RESULTS_ = 0;
        directory_ = uniqueDirectory();
        mkdir(directory_.c_str(), 0777);
        palTestSetIpcKeyPrefix((directory_ + "k_").c_str());
        tovClientTestSetPipeDirectory(directory_.c_str());
        tovClientTestSetWaits(0, 20);
        readyFile_ = directory_ + "k_ServiceReady";
    }

    void startService(const std::vector<uint8_t>& pixels = {}, uint32_t side = 0) {
        sim::service::Config config;
        config.pipeDirectory = directory_;
        config.keyFilePrefix = directory_ + "k_";
        config.announceSwipe = true;
        if (!pixels.empty()) {
            config.imagePixels = pixels;
            config.imageRows = side;
            config.imageColumns = side;
        }
        service_ = sim::service::ServiceStandIn::start(config);
        ASSERT_NE(service_, nullptr);
        std::ofstream(readyFile_) << "1";
    }

    void TearDown() override {
        // The last image belongs to the framework, which releases it while the library still runs.
        tfs_clean_handles(&device_);
        tfs_dev_exit(&device_);
        while (gClientSystem.clientCount > 0) {
            uint64_t client = 0;
            if (!palListIsEmpty(&gClientSystem.clients)) {
                client = PAL_LIST_RECORD(gClientSystem.clients.next, tov::client::detail::ClientNode, link)->client;
            }
            if (client == 0 || tcsClientDestroy(client) != TCS_RESULT_OK) {
                gClientSystem.clientCount = 1;
                tcsClientDestroy(~0ull);
            }
        }
        service_.reset();
        unlink(readyFile_.c_str());
        tovClientTestSetWaits(0, 0);
        tovClientTestSetPipeDirectory(nullptr);
        palTestSetIpcKeyPrefix(nullptr);
        rmdir(directory_.c_str());
        tfs_set_matcher_type(0);
        _PRINT_MSG_ = 1;
        _PRINT_RESULTS_ = 1;
    }

    // Device set-up while the stand-in announces one sensor once the client listens for it.
    int initDevice(int matcherType, bool announce = true, std::vector<std::string> ids = {kSensorId}) {
        tfs_set_matcher_type(matcherType);
        auto init = std::async(std::launch::async, [this] { return tfs_dev_init(&device_); });
        if (announce) {
            EXPECT_TRUE(service_->waitForRequest(TOV_FN_CLIENT_CALLBACK_ADD, 5000));
            // The stand-in logs a request just before it registers the callback.
            usleep(20000);
            for (const std::string& id : ids) {
                service_->raiseClientEvent(TCS_SYSTEM_EVENT_SENSOR_READY, 0, textBytes(id));
            }
        }
        return init.get();
    }

    // Waits until the stand-in has seen count requests of a function.
    bool waitForCount(uint8_t function, size_t count) {
        for (int i = 0; i < 500; ++i) {
            if (countOf(function) >= count) return true;
            usleep(10000);
        }
        return false;
    }

    std::vector<GroupSensorEntry*> entries() {
        std::vector<GroupSensorEntry*> out;
        for (PalListEntry* e = device_.group->entries.next; e != &device_.group->entries; e = e->next) {
            out.push_back(PAL_LIST_RECORD(e, GroupSensorEntry, links));
        }
        return out;
    }

    size_t countOf(uint8_t function) {
        size_t n = 0;
        for (auto& request : service_->requests()) n += request.function == function ? 1 : 0;
        return n;
    }

    std::string directory_;
    std::string readyFile_;
    std::unique_ptr<sim::service::ServiceStandIn> service_;
    TfsDevice device_{};
};

TEST_F(DeviceTest, CaptureOnlyDeviceOpensTheGroupAndKeepsTheImage) {
    startService();
    ASSERT_EQ(initDevice(TFS_MATCHER_CAPTURE_ONLY), 0);
    ASSERT_NE(device_.group, nullptr);
    EXPECT_EQ(device_.group->state, 2u);
    EXPECT_EQ(GroupSize(), 1u);
    ASSERT_FALSE(palListIsEmpty(&device_.group->entries));
    auto* entry = PAL_LIST_RECORD(device_.group->entries.next, GroupSensorEntry, links);
    EXPECT_STREQ(entry->sensorId, "usb-vid_138a-pid_0011-a1b2");  // kept in lower case
    EXPECT_NE(entry->sensor, 0u);
    EXPECT_EQ(device_.group->context->signature, TFS_CONTEXT_SIGNATURE);
    EXPECT_EQ(device_.group->context->matcherType, uint32_t(TFS_MATCHER_CAPTURE_ONLY));
    EXPECT_EQ(countOf(TOV_FN_SENSOR_OPEN), 1u);

    ASSERT_EQ(tfs_capture(&device_, 1), TFS_SUCCESS);
    EXPECT_EQ(countOf(TOV_FN_SENSOR_GET_FINGERPRINT), 1u);
    EXPECT_EQ(countOf(TOV_FN_CAPTURE_PURPOSE), 1u);
    EXPECT_EQ(device_.group->state, 2u);  // back from capturing
    EXPECT_EQ(tfs_get_img_height(&device_), 16u);
    EXPECT_EQ(tfs_get_img_width(&device_), 12u);
    ASSERT_EQ(tfs_get_img_datasize(&device_), 16u * 12u);
    uint8_t* pixels = tfs_get_img_data(&device_);
    ASSERT_NE(pixels, nullptr);
    for (uint32_t i = 0; i < 16 * 12; ++i) ASSERT_EQ(pixels[i], uint8_t(i * 7)) << i;  // not flipped
    tfs_free_img_data(pixels);
    tfs_free_img_data(nullptr);

    // A second capture replaces the image.
    ASSERT_EQ(tfs_capture(&device_, 0), TFS_SUCCESS);
    EXPECT_EQ(countOf(TOV_FN_SENSOR_GET_FINGERPRINT), 2u);

    tfs_clean_handles(&device_);
    EXPECT_EQ(tfs_get_img_datasize(&device_), 0u);
    EXPECT_EQ(tfs_get_img_height(&device_), 0u);
    EXPECT_EQ(tfs_get_img_data(&device_), nullptr);

    tfs_dev_exit(&device_);
    EXPECT_EQ(device_.group, nullptr);
    EXPECT_EQ(countOf(TOV_FN_SENSOR_CLOSE), 1u);
    EXPECT_EQ(countOf(TOV_FN_CLIENT_DESTROY), 1u);
    EXPECT_EQ(gClientSystem.clientCount, 0u);
}

TEST_F(DeviceTest, UnknownMatcherTypeReleasesEverything) {
    for (int type : {0, 4}) {
        startService();
        EXPECT_EQ(initDevice(type), -1) << type;
        EXPECT_EQ(device_.group, nullptr) << type;
        EXPECT_EQ(countOf(TOV_FN_SENSOR_OPEN), 1u) << type;  // the sensors were opened first
        EXPECT_EQ(countOf(TOV_FN_SENSOR_CLOSE), 1u) << type;
        EXPECT_EQ(countOf(TOV_FN_CLIENT_DESTROY), 1u) << type;
        EXPECT_EQ(gClientSystem.clientCount, 0u) << type;
        service_.reset();
    }
}

TEST_F(DeviceTest, WithoutTheReadyFileNothingIsMade) {
    startService();
    unlink(readyFile_.c_str());
    EXPECT_EQ(initDevice(TFS_MATCHER_NT, false), -1);
    EXPECT_EQ(device_.group, nullptr);
    EXPECT_EQ(countOf(TOV_FN_CLIENT_CREATE), 0u);
}

TEST_F(DeviceTest, CaptureIsOnlyForTheCaptureType) {
    startService();
    ASSERT_EQ(initDevice(TFS_MATCHER_NT), 0);
    EXPECT_EQ(tfs_capture(&device_, 1), TFS_FAILED);
    EXPECT_EQ(countOf(TOV_FN_SENSOR_GET_FINGERPRINT), 0u);
    // Enrollment and verification refuse the capture-only type the other way round.
    device_.group->context->matcherType = TFS_MATCHER_CAPTURE_ONLY;
    uint8_t* record = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(tfs_enroll(&device_, 1, 0, &record, &length), TFS_FAILED);
    const uint8_t stored[60] = {};
    EXPECT_EQ(tfs_verify(&device_, stored, sizeof stored), TFS_ERROR);
    EXPECT_EQ(countOf(TOV_FN_SENSOR_GET_FINGERPRINT), 0u);
}

TEST_F(DeviceTest, AllSensorsAreOpenedAndArmedTogether) {
    startService();
    ASSERT_EQ(initDevice(TFS_MATCHER_CAPTURE_ONLY, true, {"usb-a", "usb-b"}), 0);
    EXPECT_EQ(GroupSize(), 2u);
    auto list = entries();
    ASSERT_EQ(list.size(), 2u);
    // Ready events reach the library on threads of their own, so the order of arrival varies.
    std::set<std::string> ids{list[0]->sensorId, list[1]->sensorId};
    EXPECT_EQ(ids, (std::set<std::string>{"usb-a", "usb-b"}));
    EXPECT_EQ(list[1]->index, list[0]->index + 1);  // numbered in the order they were linked
    EXPECT_EQ(countOf(TOV_FN_SENSOR_OPEN), 2u);
    ASSERT_EQ(tfs_capture(&device_, 1), TFS_SUCCESS);
    EXPECT_EQ(countOf(TOV_FN_SENSOR_GET_FINGERPRINT), 2u);
    EXPECT_EQ(tfs_get_img_datasize(&device_), 16u * 12u);
    tfs_clean_handles(&device_);
    tfs_dev_exit(&device_);
    EXPECT_EQ(countOf(TOV_FN_SENSOR_CLOSE), 2u);
}

TEST_F(DeviceTest, UnpluggedSensorKeepsItsEntryAndComesBack) {
    startService();
    ASSERT_EQ(initDevice(TFS_MATCHER_CAPTURE_ONLY), 0);
    auto list = entries();
    ASSERT_EQ(list.size(), 1u);
    GroupSensorEntry* entry = list[0];
    const uint32_t index = entry->index;

    service_->raiseClientEvent(TCS_SYSTEM_EVENT_SENSOR_REMOVED, 0, textBytes(kSensorId));
    ASSERT_TRUE(waitForCount(TOV_FN_SENSOR_CLOSE, 1));  // closed in the background
    EXPECT_EQ(entry->removed, 1u);
    EXPECT_EQ(entry->sensor, 0u);
    EXPECT_EQ(GroupSize(), 0u);
    EXPECT_EQ(tfs_capture(&device_, 1), TFS_ERROR);  // nothing left to capture on
    EXPECT_EQ(countOf(TOV_FN_SENSOR_GET_FINGERPRINT), 0u);

    service_->raiseClientEvent(TCS_SYSTEM_EVENT_SENSOR_READY, 0, textBytes(kSensorId));
    ASSERT_TRUE(waitForCount(TOV_FN_LED_SET_EVENT, 2));  // the open ends with the idle LED
    for (int i = 0; i < 100 && entry->sensor == 0; ++i) usleep(10000);
    list = entries();
    ASSERT_EQ(list.size(), 1u);  // the same entry, reset in place
    EXPECT_EQ(list[0], entry);
    EXPECT_EQ(entry->index, index);
    EXPECT_EQ(entry->removed, 0u);
    EXPECT_EQ(GroupSize(), 1u);
    EXPECT_EQ(countOf(TOV_FN_SENSOR_OPEN), 2u);
    EXPECT_EQ(tfs_capture(&device_, 1), TFS_SUCCESS);
}

// A process that goes by the service's name, as pidof sees it; ended (and its link gone) with the
// scope.
class ServiceNamedProcess {
public:
    explicit ServiceNamedProcess(const std::string& directory) : link_(directory + "tcsFPService") {
        if (symlink("/usr/bin/sleep", link_.c_str()) != 0) return;
        child_ = fork();
        if (child_ == 0) {
            execl(link_.c_str(), "tcsFPService", "5", static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~ServiceNamedProcess() {
        if (child_ > 0) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
        }
        unlink(link_.c_str());
    }
    bool running() const { return child_ > 0; }

private:
    std::string link_;
    pid_t child_ = -1;
};

TEST_F(DeviceTest, WaitForServiceFindsTheProcessAndItsReadyFile) {
    ServiceNamedProcess service(directory_);
    ASSERT_TRUE(service.running());
    std::ofstream(readyFile_) << "1";
    EXPECT_EQ(tfs_wait_for_service(), 0);
    EXPECT_NE(access((directory_ + "k_ServiceId").c_str(), F_OK), 0);  // no pid file is left
}

// The framework's whole round (wait for the service, set-up, capture, tear-down) in a private /tmp
// with a link planted at every name the library or the service could predict: the round works, and
// nothing outside the folder is touched (no target written, truncated or made).
TEST_F(DeviceTest, LinksPlantedAtEveryPredictableNameTouchNothingOutside) {
    const std::string outside = directory_.substr(0, directory_.size() - 1) + "_outside/";
    ASSERT_EQ(mkdir(outside.c_str(), 0700), 0);
    const std::string pid = std::to_string(getpid());
    std::vector<std::string> names;
    for (const std::string& channel : {std::string("CH_REQUEST"), "CH_OUTPUT" + pid, "CH_EVENT" + pid}) {
        names.push_back(channel);
        for (const char* object : {"MMF", "Sema", "Event"}) names.push_back("k_" + channel + object);
    }
    names.push_back("k_FPServiceInfoFileMapping");
    names.push_back("k_ServiceId");
    // Every other link points at a file that must stay as it is; the rest at names that must not appear.
    std::map<std::string, std::string> victims;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string target = outside + "t" + std::to_string(i);
        if (i % 2 == 0) {
            victims[target] = "victim " + std::to_string(i);
            std::ofstream(target) << victims[target];
            chmod(target.c_str(), 0644);
        }
        ASSERT_EQ(symlink(target.c_str(), (directory_ + names[i]).c_str()), 0) << names[i];
    }

    startService();
    {
        ServiceNamedProcess service(directory_);
        ASSERT_TRUE(service.running());
        EXPECT_EQ(tfs_wait_for_service(), 0);
    }
    EXPECT_EQ(initDevice(TFS_MATCHER_CAPTURE_ONLY), 0);
    EXPECT_EQ(tfs_capture(&device_, 1), TFS_SUCCESS);
    EXPECT_EQ(tfs_get_img_datasize(&device_), 16u * 12u);
    tfs_clean_handles(&device_);
    tfs_dev_exit(&device_);
    service_.reset();

    std::map<std::string, std::string> found;
    if (DIR* folder = opendir(outside.c_str())) {
        while (dirent* entry = readdir(folder)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            std::ifstream in(outside + name);
            found[outside + name] = std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            struct stat status {};
            EXPECT_EQ(stat((outside + name).c_str(), &status), 0);
            EXPECT_EQ(status.st_mode & 0777, 0644u) << name;
        }
        closedir(folder);
    }
    EXPECT_EQ(found, victims);

    for (const auto& [target, content] : found) unlink(target.c_str());
    rmdir(outside.c_str());
    if (DIR* folder = opendir(directory_.c_str())) {
        while (dirent* entry = readdir(folder)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") unlink((directory_ + name).c_str());
        }
        closedir(folder);
    }
}

TEST(DeviceWithoutGroup, EveryEntryPointAnswersWithItsErrorValue) {
    TfsDevice empty{};
    for (TfsDevice* device : {static_cast<TfsDevice*>(nullptr), &empty}) {
        uint8_t* record = nullptr;
        uint32_t length = 0;
        const uint8_t stored[60] = {};
        const uint8_t* records[1] = {stored};
        const int lengths[1] = {60};
        int index = -5;
        EXPECT_EQ(tfs_enroll(device, 1, 0, &record, &length), TFS_FAILED);
        EXPECT_EQ(tfs_verify(device, stored, 60), TFS_ERROR);
        EXPECT_EQ(tfs_identify(device, records, lengths, &index, 1), TFS_ERROR);
        EXPECT_EQ(tfs_capture(device, 1), TFS_ERROR);
        EXPECT_EQ(index, -5);
        EXPECT_EQ(record, nullptr);
        EXPECT_EQ(tfs_get_img_datasize(device), 0u);
        EXPECT_EQ(tfs_get_img_width(device), 0u);
        EXPECT_EQ(tfs_get_img_height(device), 0u);
        EXPECT_EQ(tfs_get_img_data(device), nullptr);
        tfs_clean_handles(device);
        tfs_dev_exit(device);
    }
    EXPECT_EQ(tfs_dev_init(nullptr), -1);
    EXPECT_EQ(tfs_set_matcher_type(77), 0);
    EXPECT_EQ(tfs_get_matcher_type(), 77);  // stored unchecked
    tfs_set_matcher_type(0);
}

// A matcher whose templates are the first bytes of the image they come from: prints match when those
// bytes agree, with a score the test chooses.
struct EchoMatcher {
    static constexpr uint32_t kBytes = 16;
    static inline uint32_t matchScore = 60;
    static inline uint32_t addCalls = 0;

    static TcsResult templateOf(ImageRecord* image, EnrollTemplate** out) {
        return _tcsTemplateCreate(out, tcsImagePixels(image), kBytes);
    }
    static bool same(ImageRecord* image, const EnrollTemplate* templ) {
        return templ->dataSize == kBytes && std::memcmp(templ->data, tcsImagePixels(image), kBytes) == 0;
    }
    static TcsResult extract(MatcherRecord*, ImageRecord* image, EnrollTemplate** out) { return templateOf(image, out); }
    static TcsResult match(MatcherRecord*, EnrollTemplate* a, EnrollTemplate* b, MatchResult* out) {
        const bool equal = a->dataSize == b->dataSize && std::memcmp(a->data, b->data, a->dataSize) == 0;
        out->score = equal ? matchScore : 5;
        out->status = equal ? 1 : 0;
        return TCS_RESULT_OK;
    }
    static TcsResult matchImage(MatcherRecord*, ImageRecord* image, EnrollTemplate** templates, uint32_t count,
                                uint32_t, MatchResult* out) {
        out->score = 5;
        for (uint32_t i = 0; i < count; ++i) {
            if (same(image, templates[i])) {
                *out = MatchResult{};
                out->index = i;
                out->score = matchScore;
                out->status = 1;
                break;
            }
        }
        return TCS_RESULT_OK;
    }
    static TcsResult quality(MatcherRecord*, ImageRecord*, uint32_t* verdict) {
        *verdict = 0;  // good
        return TCS_RESULT_OK;
    }
    // Complete after three images.
    static TcsResult addImage(MatcherRecord*, ImageRecord* image, EnrollTemplate** inOut, uint32_t* complete) {
        if (*inOut == nullptr) {
            TcsResult result = templateOf(image, inOut);
            if (result != TCS_RESULT_OK) return result;
        }
        *complete = ++addCalls >= 3 ? 1 : 0;
        return TCS_RESULT_OK;
    }

    // Registered in the handle map, which frees the record with the matcher's handle.
    static uint64_t open() {
        auto* record = static_cast<MatcherRecord*>(palRealMalloc(sizeof(MatcherRecord)));
        std::memset(record, 0, sizeof *record);
        record->Extract = extract;
        record->Match = match;
        record->MatchImageToTemplates = matchImage;
        record->CheckQuality = quality;
        record->AddImageToTemplate = addImage;
        palListInit(&record->links);
        uint64_t handle = 0;
        EXPECT_EQ(tcsSafeMatcherHandleCreate(record, &handle), TCS_RESULT_OK);
        matchScore = 60;
        addCalls = 0;
        return handle;
    }
};

class FlowTest : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        startService();
    }

    void initWithMatcher(int type) {
        ASSERT_EQ(initDevice(type), 0);
        device_.group->context->matcher = EchoMatcher::open();
    }

    // The kept image is the capture (rows of 12 pixels i * 7) turned upside down.
    void expectFlippedImage() {
        ASSERT_EQ(tfs_get_img_datasize(&device_), 16u * 12u);
        uint8_t* kept = tfs_get_img_data(&device_);
        ASSERT_NE(kept, nullptr);
        for (uint32_t row = 0; row < 16; ++row) {
            for (uint32_t column = 0; column < 12; ++column) {
                ASSERT_EQ(kept[row * 12 + column], uint8_t(((15 - row) * 12 + column) * 7)) << row << " " << column;
            }
        }
        tfs_free_img_data(kept);
    }

    std::vector<uint8_t> enroll(int expectLast = TFS_SUCCESS) {
        uint8_t* record = nullptr;
        uint32_t length = 0;
        EXPECT_EQ(tfs_enroll(&device_, 1, 0, &record, &length), TFS_MORE_SWIPES);
        EXPECT_EQ(tfs_enroll(&device_, 0, 1, &record, &length), TFS_MORE_SWIPES);
        EXPECT_EQ(tfs_enroll(&device_, 0, 2, &record, &length), expectLast);
        if (record == nullptr) return {};
        std::vector<uint8_t> out(record, record + length);
        free(record);
        return out;
    }

    // The stored-print layout: template header, its first data byte, then the data.
    static void expectRecordOf(const std::vector<uint8_t>& stored) {
        ASSERT_EQ(stored.size(), TFS_STORED_PRINT_HEADER + EchoMatcher::kBytes);
        EXPECT_EQ(std::memcmp(stored.data(), "TTML", 4), 0);
        uint32_t dataSize = 0;
        std::memcpy(&dataSize, stored.data() + 4, 4);
        EXPECT_EQ(dataSize, EchoMatcher::kBytes);
        EXPECT_EQ(stored[52], stored[53]);
        for (uint32_t i = 0; i < EchoMatcher::kBytes; ++i) EXPECT_EQ(stored[53 + i], uint8_t(i * 7)) << i;
    }

    static std::vector<uint8_t> strangerOf(std::vector<uint8_t> stored) {
        for (size_t i = TFS_STORED_PRINT_HEADER; i < stored.size(); ++i) stored[i] ^= 0x5A;
        return stored;
    }
};

TEST_F(FlowTest, NtEnrollVerifyAndIdentify) {
    initWithMatcher(TFS_MATCHER_NT);
    std::vector<uint8_t> stored = enroll();
    expectRecordOf(stored);
    EXPECT_EQ(device_.enrollmentList, nullptr);  // freed, and not left stale
    expectFlippedImage();
    EXPECT_EQ(countOf(TOV_FN_SENSOR_GET_FINGERPRINT), 3u);

    tfs_clean_handles(&device_);
    EXPECT_EQ(tfs_verify(&device_, stored.data(), int(stored.size())), TFS_SUCCESS);
    expectFlippedImage();
    EXPECT_EQ(device_.group->context->workTemplate, 0u);
    std::vector<uint8_t> stranger = strangerOf(stored);
    EXPECT_EQ(tfs_verify(&device_, stranger.data(), int(stranger.size())), TFS_NO_MATCH);

    // Identify finds the stored print behind another one.
    const uint8_t* records[2] = {stranger.data(), stored.data()};
    const int lengths[2] = {int(stranger.size()), int(stored.size())};
    int index = -1;
    EXPECT_EQ(tfs_identify(&device_, records, lengths, &index, 2), TFS_SUCCESS);
    EXPECT_EQ(index, 1);
    index = -7;
    EXPECT_EQ(tfs_identify(&device_, records, lengths, &index, 1), TFS_NO_MATCH);
    EXPECT_EQ(index, -7);

    // No stored prints: a capture and then no match; more than the table holds is refused.
    const size_t captures = countOf(TOV_FN_SENSOR_GET_FINGERPRINT);
    EXPECT_EQ(tfs_identify(&device_, records, lengths, &index, 0), TFS_NO_MATCH);
    EXPECT_EQ(countOf(TOV_FN_SENSOR_GET_FINGERPRINT), captures + 1);
    std::vector<const uint8_t*> many(11, stored.data());
    std::vector<int> manyLengths(11, int(stored.size()));
    EXPECT_EQ(tfs_identify(&device_, many.data(), manyLengths.data(), &index, 11), TFS_ERROR);
    // A stored print too short to hold a template fails the identification.
    const int shortLengths[2] = {int(TFS_STORED_PRINT_HEADER), int(stored.size())};
    EXPECT_EQ(tfs_identify(&device_, records, shortLengths, &index, 2), TFS_ERROR);
}

TEST_F(FlowTest, VerifyThresholdAndShortRecords) {
    initWithMatcher(TFS_MATCHER_NT);
    std::vector<uint8_t> stored = enroll();
    ASSERT_FALSE(stored.empty());
    struct Case {
        uint32_t score;
        int result;
    };
    for (auto [score, result] : std::initializer_list<Case>{{20, TFS_SUCCESS}, {19, TFS_NO_MATCH}, {100, TFS_SUCCESS}}) {
        EchoMatcher::matchScore = score;
        EXPECT_EQ(tfs_verify(&device_, stored.data(), int(stored.size())), result) << score;
    }
    const size_t captures = countOf(TOV_FN_SENSOR_GET_FINGERPRINT);
    EXPECT_EQ(tfs_verify(&device_, stored.data(), int(TFS_STORED_PRINT_HEADER)), TFS_ERROR);
    EXPECT_EQ(tfs_verify(&device_, nullptr, int(stored.size())), TFS_ERROR);
    EXPECT_EQ(countOf(TOV_FN_SENSOR_GET_FINGERPRINT), captures);  // refused before capturing
}

TEST_F(FlowTest, NtEnrollmentFailsWhenPrintsAreTooDifferent) {
    initWithMatcher(TFS_MATCHER_NT);
    EchoMatcher::matchScore = 19;
    std::vector<uint8_t> stored = enroll(TFS_FAILED);
    EXPECT_TRUE(stored.empty());
    EXPECT_EQ(device_.enrollmentList, nullptr);
    // A swipe without a first one after the list is gone is an error, not a use of freed memory.
    uint8_t* record = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(tfs_enroll(&device_, 0, 1, &record, &length), TFS_ERROR);
    // The next enrollment starts afresh.
    EchoMatcher::matchScore = 60;
    expectRecordOf(enroll());
}

TEST_F(FlowTest, OrbisEnrollAndVerify) {
    initWithMatcher(TFS_MATCHER_ORBIS);
    std::vector<uint8_t> stored = enroll();
    expectRecordOf(stored);
    expectFlippedImage();
    EXPECT_NE(device_.group->context->workTemplate, 0u);  // kept until the next first swipe
    EXPECT_EQ(tfs_verify(&device_, stored.data(), int(stored.size())), TFS_SUCCESS);
    std::vector<uint8_t> stranger = strangerOf(stored);
    EXPECT_EQ(tfs_verify(&device_, stranger.data(), int(stranger.size())), TFS_NO_MATCH);

    // A fourth swipe index fails whatever the matcher says.
    EchoMatcher::addCalls = 0;
    uint8_t* record = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(tfs_enroll(&device_, 1, 3, &record, &length), TFS_FAILED);
    EXPECT_EQ(record, nullptr);
}

TEST_F(FlowTest, FlowsOpenTheDevicesMatcherOnFirstUse) {
    ASSERT_EQ(initDevice(TFS_MATCHER_NT), 0);
    AppContext* context = device_.group->context;
    EXPECT_EQ(context->matcher, 0u);  // set-up opens none
    // The stand-in's small test pattern holds no finger: the real matcher cannot extract from it.
    enroll(TFS_FAILED);
    const uint64_t matcher = context->matcher;
    ASSERT_NE(matcher, 0u);
    EXPECT_EQ(tcsMatcherGetID(matcher), 1u);
    EXPECT_EQ(device_.enrollmentList, nullptr);
    tfs_dev_exit(&device_);
    EXPECT_EQ(tcsMatcherGetID(matcher), 0u);
}

TEST_F(FlowTest, ConsoleEnrollThenVerify) {
    ASSERT_EQ(initDevice(TFS_MATCHER_CAPTURE_ONLY), 0);
    AppContext* context = device_.group->context;
    context->matcherType = 1;
    context->matcher = EchoMatcher::open();
    ASSERT_EQ(Enroll(device_.group), TCS_RESULT_OK);
    EXPECT_EQ(countOf(TOV_FN_SENSOR_GET_FINGERPRINT), 3u);  // three good swipes, no more asked for
    EXPECT_NE(context->workTemplate, 0u);
    EXPECT_EQ(context->matcher, 0u);  // closed at the end
    EXPECT_EQ(context->capturePurpose, 1u);
    for (uint64_t image : gEnroller.images) EXPECT_EQ(image, 0u);
    ASSERT_NE(context->debugFileName, nullptr);
    EXPECT_NE(std::string(context->debugFileName).find("/fpEnroll3"), std::string::npos);

    context->matcher = EchoMatcher::open();
    const size_t leds = countOf(TOV_FN_LED_SET_EVENT);
    ASSERT_EQ(Verify(device_.group), TCS_RESULT_OK);
    EXPECT_EQ(countOf(TOV_FN_SENSOR_GET_FINGERPRINT), 4u);
    auto requests = service_->requests();
    uint32_t lastLed = 0;
    for (auto& request : requests) {
        if (request.function == TOV_FN_LED_SET_EVENT && request.payload.size() >= 12) {
            std::memcpy(&lastLed, request.payload.data() + 8, 4);
        }
    }
    EXPECT_GT(countOf(TOV_FN_LED_SET_EVENT), leds);
    EXPECT_EQ(lastLed, 26u);  // swipe accepted
    EXPECT_EQ(Enroll(nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(Verify(nullptr), TCS_RESULT_NULL_POINTER);
}

TEST_F(FlowTest, HighLevelFlows) {
    ASSERT_EQ(initDevice(TFS_MATCHER_CAPTURE_ONLY), 0);
    AppContext* context = device_.group->context;
    context->matcherType = 1;
    context->matcher = EchoMatcher::open();
    EXPECT_EQ(HighLevelEnroll(device_.group), TCS_RESULT_INVALID);  // a matcher is already open
    EXPECT_EQ(countOf(TOV_FN_SENSOR_GET_FINGERPRINT), 0u);
    EXPECT_NE(context->matcher, 0u);
    tcsHandleDestroy(context->matcher);
    context->matcher = 0;
    context->matcherType = 3;  // no such matcher
    EXPECT_EQ(HighLevelEnroll(device_.group), 300u);
    EXPECT_EQ(countOf(TOV_FN_SENSOR_GET_FINGERPRINT), 0u);

    // Verification against an enrolled template; flag bit 0 keeps the template afterwards.
    context->matcherType = 1;
    context->matcher = EchoMatcher::open();
    ASSERT_EQ(Enroll(device_.group), TCS_RESULT_OK);
    device_.group->checkFlags = 1;
    for (uint32_t score : {60u, 19u}) {
        context->matcher = EchoMatcher::open();
        EchoMatcher::matchScore = score;
        ASSERT_EQ(HighLevelVerify(device_.group), TCS_RESULT_OK) << score;
        uint32_t lastLed = 0;
        for (auto& request : service_->requests()) {
            if (request.function == TOV_FN_LED_SET_EVENT) std::memcpy(&lastLed, request.payload.data() + 8, 4);
        }
        EXPECT_EQ(lastLed, score >= 20 ? 26u : 27u) << score;
        EXPECT_EQ(context->matcher, 0u);
        EXPECT_NE(context->workTemplate, 0u);
        EXPECT_EQ(context->handles[3], 0u);
    }
    device_.group->checkFlags = 0;
    context->matcher = EchoMatcher::open();
    ASSERT_EQ(HighLevelVerify(device_.group), TCS_RESULT_OK);
    EXPECT_EQ(context->workTemplate, 0u);
}

}  // namespace
