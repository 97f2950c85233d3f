// Enrollment by capture: swipes until the matcher has a template of the finger, which is then
// checked against the enrolled users and filed under the user.
#include "platform/settings.h"
#include "tcs/flows/ex_detail.h"
#include "tcs/flows/ex_recognition_detail.h"
#include "tcs/matching/matcher_client.h"
#include "tcs/sensorctl/init/led.h"
#include "tcs/sensorctl/ownership/secure_storage.h"

#include <vector>

using namespace exflows;

namespace {

constexpr const char* kMatcherSection = "SOFTWARE\\Tovantic\\Matcher";
constexpr uint32_t kParamRequired = 6;
constexpr uint32_t kParamOpenWindow = 9;
constexpr uint32_t kParamKeepImages = 10;
constexpr uint32_t kParamMinHeight = 11;
constexpr uint32_t kParamMaxSwipes = 12;
constexpr uint32_t kParamFar = 15;
constexpr uint32_t kParamUnusableLimit = 21;
constexpr uint32_t kStrictSwipes = 5;
constexpr uint32_t kNotUsed = 17;
constexpr uint32_t kAdaptiveIds = 256;

uint32_t setting(const char* name) {
    uint32_t value = 0;
    palGetPersistentDataLongValue(kMatcherSection, name, 0, &value);
    return value;
}

uint32_t inRange(uint32_t value, uint32_t low, uint32_t high, uint32_t fallback) {
    return value >= low && value <= high ? value : fallback;
}

// One enrollment: what it opened and made, all released when it ends.
class Enrollment {
public:
    Enrollment(SensorRecord* sensor, TcsHandle sensorHandle, uint32_t matcherId, ExProgressCallback callback,
               void* context)
        : sensor_(sensor), sensorHandle_(sensorHandle), matcherId_(matcherId), callback_(callback),
          context_(context) {
        const uint32_t* p = sensor->client->parameters;
        required_ = inRange(p[kParamRequired], 1, 10, 4);
        maxSwipes_ = inRange(p[kParamMaxSwipes], 1, 12, 12);
        unusableLimit_ = p[kParamUnusableLimit];
        keepCopies_ = p[kParamKeepImages] == 1;
    }
    ~Enrollment() {
        tcsSensorSetCapturePurpose(sensorHandle_, 0);
        if (matcher_ != 0) tcsMatcherClose(matcher_);
        if (template_ != 0) tcsHandleDestroy(template_);
        for (TcsHandle image : kept_) tcsHandleDestroy(image);
    }
    Enrollment(const Enrollment&) = delete;
    Enrollment& operator=(const Enrollment&) = delete;

    TcsResult openMatcher() {
        TcsResult result = openMatcherFor(sensor_, matcherId_, &matcher_);
        if (result != TCS_RESULT_OK) return result;
        void* record = nullptr;
        tcsSafeMatcherHandleFetch(matcher_, &record);
        auto* matcher = static_cast<MatcherRecord*>(record);
        if (matcher == nullptr) return TCS_RESULT_MATCHER_OPEN_FAILED;
        // The matcher's own settings: what it does not support it refuses, and the enrollment goes on.
        const uint32_t* p = sensor_->client->parameters;
        if (matcher->SetParameter != nullptr) {
            matcher->SetParameter(matcher, kParamMaxSwipes, maxSwipes_);
            matcher->SetParameter(matcher, kParamRequired, required_);
        }
        if (matcher->SetFAR != nullptr) matcher->SetFAR(matcher, p[kParamFar]);
        if (matcher->SetParameter != nullptr) {
            if (const uint32_t minHeight = setting("AEMMinHeight")) {
                matcher->SetParameter(matcher, kParamMinHeight, minHeight);
            }
            const uint32_t openWindow = setting("AEMOpenWinMatchThresh");
            matcher->SetParameter(matcher, kParamOpenWindow, openWindow != 0 ? openWindow : p[kParamOpenWindow]);
        }
        return TCS_RESULT_OK;
    }

    // Swipes until the template is complete (0), or the enrollment's failure.
    TcsResult collect(DssAppStorage* storage) {
        uint32_t state = MSS_ENROLL_STATUS_FAILED;
        TcsResult result = TCS_RESULT_OK;
        uint32_t next = 0;  // of the kept images offered again
        uint32_t addedBeforePass = 0;
        while (state != MSS_ENROLL_STATUS_COMPLETE) {
            TcsHandle image = 0;
            if (swipes_ >= maxSwipes_) {
                if (kept_.empty()) return incomplete(result);
                // A matcher that refuses every kept image (402) would be offered them for ever: a
                // whole pass that adds nothing ends the enrollment.
                if (next % kept_.size() == 0) {
                    if (next != 0 && added_ == addedBeforePass) return TCS_RESULT_ONLY_UNUSABLE_SWIPES;
                    addedBeforePass = added_;
                }
                image = kept_[next++ % kept_.size()];
            } else {
                result = swipe(storage, &image);
                if (result != TCS_RESULT_OK) return result;
                if (image == 0) {
                    if (accepted_ == 0 && unusableRun_ == unusableLimit_) return TCS_RESULT_ONLY_UNUSABLE_SWIPES;
                    continue;
                }
            }
            if (added_ > maxSwipes_) return incomplete(result);
            uint32_t status = state;
            result = tcsMatcherAddImageToTemplate(matcher_, image, &status, &template_);
            if (result == TCS_RESULT_OK) {
                ++added_;
            } else if (matcherId_ > kAdaptiveIds) {
                ++unusableRun_;
            }
            state = status;
            last_ = image;
            uint32_t percent = state == MSS_ENROLL_STATUS_COMPLETE ? 100 : added_ < required_ ? added_ * 100 / required_
                                                                                               : 75;
            EnrollProgress progress{quality_, result == TCS_RESULT_OK ? 0 : kNotUsed, swipes_, unusableRun_, percent};
            report(callback_, context_, kNotUsed, TCS_EX_PROGRESS_ENROLL, kNotUsed, &progress, sizeof progress);
            if (result == TCS_RESULT_MATCHER_ENROLL_FAILED) return result;
        }
        return TCS_RESULT_OK;
    }

    TcsHandle lastImage() const { return last_; }
    TcsHandle enrollTemplate() const { return template_; }
    TcsHandle matcher() const { return matcher_; }

private:
    // One capture. An unusable image is reported and dropped (*outImage 0); a usable one is kept.
    TcsResult swipe(DssAppStorage* storage, TcsHandle* outImage) {
        report(callback_, context_, 0, TCS_EX_PROGRESS_ENROLL_SWIPE, 0, nullptr, 0);
        ++swipes_;
        TcsHandle image = 0;
        const TcsResult result = GetFingerprintIncludeESD(sensor_, storage, &image, nullptr);
        if (result != TCS_RESULT_OK) return noSwipe(result);
        reportImage(callback_, context_, image, keepCopies_);
        quality_ = tcsImageGetQuality(image);
        if (matcherId_ < kAdaptiveIds && tcsImageCheckUsability(image, swipes_ <= kStrictSwipes ? 1 : 0) == 0) {
            tcsHandleDestroy(image);
            scsSensorLEDSetEvent(sensor_->sensorControlSensor, SCS_LED_ENROLL_REJECTED);
            ++unusableRun_;
            // More unusable images in a row than images added would make the share negative.
            const uint32_t percent = added_ > unusableRun_ ? (added_ - unusableRun_) * 100 / required_ : 0;
            EnrollProgress progress{quality_, kNotUsed, swipes_, unusableRun_, percent};
            report(callback_, context_, kNotUsed, TCS_EX_PROGRESS_ENROLL, kNotUsed, &progress, sizeof progress);
            *outImage = 0;
            return TCS_RESULT_OK;
        }
        unusableRun_ = 0;
        accepted_ = 1;
        kept_.push_back(image);
        *outImage = image;
        return TCS_RESULT_OK;
    }

    // The loop ended without a template. A result of 0 would report an enrollment that stored nothing
    // as a success: say why instead, no usable swipe at all or no template from those there were.
    TcsResult incomplete(TcsResult result) const {
        if (result != TCS_RESULT_OK) return noSwipe(result);
        return accepted_ == 0 ? TcsResult(TCS_RESULT_ONLY_UNUSABLE_SWIPES) : TcsResult(TCS_RESULT_MATCHER_ENROLL_FAILED);
    }

    SensorRecord* sensor_;
    TcsHandle sensorHandle_;
    uint32_t matcherId_;
    ExProgressCallback callback_;
    void* context_;
    uint32_t required_ = 4, maxSwipes_ = 12, unusableLimit_ = 0;
    bool keepCopies_ = false;
    TcsHandle matcher_ = 0;
    TcsHandle template_ = 0;
    TcsHandle last_ = 0;
    std::vector<TcsHandle> kept_;
    uint32_t swipes_ = 0, added_ = 0, unusableRun_ = 0, accepted_ = 0, quality_ = 0;
};

// The finger must not belong to an enrolled user: 65 when it does not, 88 when it does.
TcsResult checkNotEnrolled(const Enrollment& enrollment, TcsHandle sensorHandle, TcsHandle appStorage,
                           const uint8_t digest[16], uint32_t flags, uint32_t entryKind, ExProgressCallback callback,
                           void* context) {
    UserMatchList matches{};
    const uint32_t refuseKnown = flags & TCS_EX_ENROLL_REFUSE_KNOWN_FINGER;
    TcsResult result = FindUserInAppStorage(enrollment.matcher(), sensorHandle, appStorage, digest,
                                            enrollment.lastImage(), refuseKnown, entryKind, nullptr, &matches);
    if (result == TCS_RESULT_OK && refuseKnown != 0) {
        report(callback, context, 0, TCS_EX_PROGRESS_IDENTIFIED, 0, &matches, sizeof matches);
    }
    tcsExUserMatchListFree(&matches);
    // A matched template without an entry of the kind asked for is still a match of the finger.
    if (result == TCS_RESULT_OK || result == TCS_RESULT_NO_ENROLLMENT_DATA) return TCS_RESULT_FINGER_ENROLLED;
    return result;
}

}  // namespace

extern "C" {

TcsResult tcsExEnrollUserEx(TcsHandle sensorHandle, uint32_t matcherId, TcsHandle appStorage,
                            const SizedBuffer* userId, uint32_t entryCount, const EnrollmentDataEntry* entries,
                            uint8_t finger, ExProgressCallback callback, void* context, uint32_t flags) {
    SensorRecord* sensor = nullptr;
    TcsResult result = sensorOf(sensorHandle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    DssAppStorage* storage = appStorageOf(appStorage);
    if (storage == nullptr || !given(userId) || entries == nullptr || callback == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    if (sensor->client == nullptr) return TCS_RESULT_NULL_CLIENT_HANDLE;
    ScsSensor* control = sensor->sensorControlSensor;
    uint8_t digest[16];
    result = prepareApplication(sensor, storage, digest);
    if (result != TCS_RESULT_OK) return result;

    {
        Enrollment enrollment(sensor, sensorHandle, matcherId, callback, context);
        result = enrollment.openMatcher();
        if (result == TCS_RESULT_OK) result = tcsSensorSetCapturePurpose(sensorHandle, 1);
        if (result == TCS_RESULT_OK) result = enrollment.collect(storage);
        if (result == TCS_RESULT_OK) {
            result = checkNotEnrolled(enrollment, sensorHandle, appStorage, digest, flags,
                                      entryCount != 0 ? entries[0].kind : 0, callback, context);
            if (result == TCS_RESULT_USER_DOESNT_EXIST) {
                result = tcsTemplateSetFinger(enrollment.enrollTemplate(), finger);
                if (result == TCS_RESULT_OK) {
                    result = StoreUserInAppStorage(sensor, storage, userId, entryCount, entries, nullptr,
                                                   enrollTemplateOf(enrollment.enrollTemplate()), 0, 1);
                }
            } else {
                result = noSwipe(result);
            }
        }
        report(callback, context, result, TCS_EX_PROGRESS_ENROLLED, result, nullptr, 0);
        scsSensorLEDSetEvent(control, result == TCS_RESULT_OK ? SCS_LED_ENROLL_ACCEPTED : SCS_LED_ENROLL_REJECTED);
    }
    return result;
}

TcsResult tcsExEnrollUser(TcsHandle sensor, uint32_t matcherId, TcsHandle appStorage, const SizedBuffer* userId,
                          uint32_t entryCount, const EnrollmentDataEntry* entries, uint8_t finger,
                          ExProgressCallback callback, void* context) {
    return tcsExEnrollUserEx(sensor, matcherId, appStorage, userId, entryCount, entries, finger, callback, context, 0);
}

}  // extern "C"
