// Verification and identification: a swipe, or an image the caller has, compared with the users of
// an application storage, the sensor's decrypted templates of the application first, then user by
// user in the iteration policy's order.
#include "platform/crypto/crypto.h"
#include "platform/memory.h"
#include "tcs/database/dss_store.h"
#include "tcs/flows/ex_detail.h"
#include "tcs/flows/ex_recognition_detail.h"
#include "tcs/matching/matcher_client.h"
#include "tcs/sensorctl/init/device_accessors.h"
#include "tcs/sensorctl/protocol/device_properties.h"
#include "tcs/sensorctl/init/led.h"
#include "tcs/sensorctl/ownership/secure_storage.h"
#include "tcs/sensorctl/protocol/sensor_properties.h"
#include "tcs/sensorctl/secure/chip_session.h"
#include "tcs/sensorctl/protocol/template_cache.h"

#include <cstring>
#include <memory>
#include <vector>

using namespace exflows;

namespace {

// Templates compared per user in one search: the first ten in database order.
constexpr uint32_t kMaxTemplatesPerUser = 10;
constexpr uint32_t kMatchAnswerSize = 64;
constexpr uint32_t kKeySize = 32;
constexpr uint32_t kMd5 = 2;
constexpr uint32_t kAesCbc = 5;
constexpr uint32_t kMatchSingle = 1;
constexpr uint32_t kParamKeepImages = 10;
// The payload of a secured template without PEK security is enciphered under the key the sensor
// gives back on a confirmed match, with an IV of this byte (as the database packed it).
constexpr uint8_t kPayloadIvByte = 0x00;
constexpr uint32_t kPayloadIvSize = 32;

bool pekOn(ScsSensor* control) { return scsSensorIsPEKSecurityEnabled(control) == 1; }
bool matchesSecurely(ScsSensor* control) {
    return (scsSensorIsSecured(control) != 0 && scsSensorSecureMatchSupported(control) == 1) ||
           scsSensorIsSelkinSecuryEnabledDevice(control) == 1;
}

SensorRecord* sensorRecordOf(TcsHandle handle) {
    void* record = nullptr;
    if (handle != 0) tcsSafeSensorHandleFetch(handle, &record);
    return static_cast<SensorRecord*>(record);
}
bool isImage(TcsHandle handle) {
    void* record = nullptr;
    return handle != 0 && tcsSafeImageHandleFetch(handle, &record) == TCS_RESULT_OK && record != nullptr;
}
bool isMatcher(TcsHandle handle) {
    void* record = nullptr;
    return handle != 0 && tcsSafeMatcherHandleFetch(handle, &record) == TCS_RESULT_OK && record != nullptr;
}

struct MatchOutcome {
    bool matched = false;
    uint32_t index = 0;
    uint32_t finger = 0;
};

// The comparisons of one search all use the same image: its features are extracted at the first and
// kept until the search ends, rather than once per user (the scores cannot differ, extraction being
// deterministic).
class SearchProbe {
public:
    SearchProbe(TcsHandle matcher, TcsHandle image) : matcher_(matcher), image_(image) {}
    ~SearchProbe() {
        if (!started_) return;
        TcsHandle none = 0;
        if (_tcsMatcherMatchImageInSearch(matcher_, image_, nullptr, 0, kMatchSingle, MSS_PROBE_RELEASE, &none) ==
                TCS_RESULT_OK &&
            none != 0) {
            tcsHandleDestroy(none);
        }
    }
    SearchProbe(const SearchProbe&) = delete;
    SearchProbe& operator=(const SearchProbe&) = delete;
    uint32_t nextUse() {
        const uint32_t use = started_ ? MSS_PROBE_REUSE : MSS_PROBE_KEEP;
        started_ = true;
        return use;
    }

private:
    TcsHandle matcher_;
    TcsHandle image_;
    bool started_ = false;
};

TcsResult matchImage(SearchProbe& probe, TcsHandle matcher, TcsHandle image, const TcsHandle* templates,
                     uint32_t count, MatchOutcome* out) {
    TcsHandle results = 0;
    const TcsResult result =
        _tcsMatcherMatchImageInSearch(matcher, image, templates, count, kMatchSingle, probe.nextUse(), &results);
    if (result != TCS_RESULT_OK) return result;
    out->matched = tcsMatchResultsGetStatus(results) == 1;
    out->index = tcsMatchResultsGetIndex(results);
    out->finger = tcsMatchResultsGetFinger(results);
    tcsHandleDestroy(results);
    return TCS_RESULT_OK;
}

bool sameUserId(TcsHandle user, const SizedBuffer* userId) {
    AllocatedBytes id;
    if (tcsDatabaseGetUserData(user, DSS_BLOB_USER_ID, &id.data, &id.length) != TCS_RESULT_OK) return false;
    return id.length == userId->length && std::memcmp(id.data, userId->data, id.length) == 0;
}

// The user handles of one search, closed with it, and the policy they were ordered by.
struct UserHandles {
    IterationPolicy policy{};
    uint32_t count = 0;
    TcsHandle* users = nullptr;
    ~UserHandles() {
        for (uint32_t i = 0; i < count; ++i) {
            if (users[i] != 0) tcsDatabaseCloseUser(users[i]);
        }
        tcsBufferFree(users);
        tcsBufferFree(policy.list);
    }
};

// An enroll-template handle made by sensor control for one of its cached decrypted templates.
TcsResult CreateTemplate(void** slot, const uint8_t* data, uint32_t length, const uint8_t* profile,
                         uint32_t profileLength, uint32_t features) {
    TcsHandle handle = 0;
    TcsResult result = tcsTemplateCreate(&handle, data, length);
    if (result == TCS_RESULT_OK && profile != nullptr && profileLength != 0) {
        result = tcsTemplateSetASPProfile(handle, profile, profileLength);
    }
    if (result == TCS_RESULT_OK) result = tcsTemplateSetFeatures(handle, features);
    if (result != TCS_RESULT_OK) {
        if (handle != 0) tcsHandleDestroy(handle);
        return result;
    }
    *slot = reinterpret_cast<void*>(uintptr_t(handle));
    return TCS_RESULT_OK;
}

enum class FastPath { Hint, NoHint, NoMatch };

// The sensor's decrypted templates of the application, matched in one call: the key of the matched
// template, no hint, or the end of the search (nothing matched and the cache holds every template).
FastPath searchCache(SearchProbe& probe, ScsSensor* control, TcsHandle matcher, TcsHandle image, const uint8_t* digest,
                     uint8_t hint[16]) {
    uint8_t* keys = nullptr;
    void** items = nullptr;
    uint32_t count = 0;
    scsSensorGetAllDecTemplates(control, digest, &keys, reinterpret_cast<void***>(&items), &count, CreateTemplate);
    FastPath outcome = FastPath::NoHint;
    if (count != 0 && keys != nullptr && items != nullptr) {
        std::vector<TcsHandle> templates(count);
        for (uint32_t i = 0; i < count; ++i) templates[i] = TcsHandle(uintptr_t(items[i]));
        MatchOutcome match;
        if (matchImage(probe, matcher, image, templates.data(), count, &match) == TCS_RESULT_OK && match.matched &&
            match.index < count) {
            std::memcpy(hint, keys + 16 * match.index, 16);
            outcome = FastPath::Hint;
        } else if (scsSensorIsDecCacheFull(control) == 1) {
            outcome = FastPath::NoMatch;
        }
        for (TcsHandle t : templates) {
            if (t != 0) tcsHandleDestroy(t);
        }
    }
    if (items != nullptr) scsSensorFreeDecTemplatesList(control, items);
    if (keys != nullptr) scsSensorFreeDecTemplatesList(control, keys);
    return outcome;
}

// The template part the sensor wrapped, in a secured record: after the header on a PEK-secured
// sensor, else after the enciphered payload.
TcsResult wrappedTemplate(SensorRecord* sensor, bool pek, const SecretBytes& record, uint32_t* outLength,
                          const uint8_t** outData) {
    if (pek) return _tcsDatabaseExTPWithoutHeaders(sensor, record.size(), record.data(), outLength, outData);
    if (record.size() < DSS_PACKED_MIN_LENGTH) return TCS_RESULT_ERROR;
    uint32_t payload = 0;
    std::memcpy(&payload, record.data() + 4, 4);
    const uint64_t at = 8 + (payload != 0 ? (uint64_t(payload) + 15) / 16 * 16 : 0);
    if (at + 4 > record.size()) return TCS_RESULT_ERROR;
    uint32_t length = 0;
    std::memcpy(&length, record.data() + at, 4);
    if (length > record.size() - at - 4 || length > 0xFFFF) return TCS_RESULT_ERROR;
    *outLength = length;
    *outData = record.data() + at + 4;
    return TCS_RESULT_OK;
}

// The payload of a secured record without PEK security, opened under the sensor's answer.
TcsResult openPayload(const AllocatedBytes& enciphered, uint32_t length, const uint8_t* key, SecretBytes* out) {
    if (enciphered.data == nullptr || length == 0) return TCS_RESULT_OK;
    const uint32_t padded = (length + 15) / 16 * 16;
    if (enciphered.length < padded) return TCS_RESULT_ERROR;
    SecretBytes plain;
    plain.assign(enciphered.data, padded);
    uint8_t iv[kPayloadIvSize];
    std::memset(iv, kPayloadIvByte, sizeof iv);
    uint32_t outLength = padded;
    const TcsResult result =
        palCryptoDecrypt(enciphered.data, padded, plain.data(), &outLength, key, kKeySize, iv, kAesCbc);
    if (result != TCS_RESULT_OK) return result;
    out->assign(plain.data(), length);
    return TCS_RESULT_OK;
}

// Steps after a match: the matched template's record read again and unpacked with its payload,
// confirmed by the sensor where it matches securely, and the payload opened.
TcsResult matchedPayload(SensorRecord* sensor, TcsHandle dbTemplate, const uint8_t* digest, uint32_t checkFlag,
                         SecretBytes* outPayload) {
    ScsSensor* control = sensor->sensorControlSensor;
    SecretBytes stored;
    TcsResult result = readStoredTemplate(dbTemplate, &stored);
    if (result != TCS_RESULT_OK) return result;
    if (stored.empty() || stored.data()[0] != DSS_TEMPLATE_FORMAT_PACKED) return TCS_RESULT_TEMPLATE_DOESNT_EXIST;
    SecretBytes record(stored.data() + 1, stored.size() - 1);
    TemplateHandle unpacked;
    AllocatedBytes plain, enciphered;
    result = _tcsDatabaseExTPUnPackTemplateData(sensor, digest, record.size(), record.data(), unpacked.out(),
                                                &plain.length, &plain.data, &enciphered.length, &enciphered.data, 0);
    if (result != TCS_RESULT_OK) return result;
    const bool pek = pekOn(control);
    if (pek) {
        ScsReplyView view{record.size(), record.data()};
        scsSensorCacheMatchDataAndTemplate(control, &view, nullptr, 0);
    }
    const bool secured = record.size() > 2 && record.data()[2] == 1;
    if (!secured) {
        if (plain.data != nullptr) outPayload->assign(plain.data, plain.length);
        return TCS_RESULT_OK;
    }
    if (!matchesSecurely(control)) return TCS_RESULT_OK;
    uint32_t wrappedLength = 0;
    const uint8_t* wrapped = nullptr;
    result = wrappedTemplate(sensor, pek, record, &wrappedLength, &wrapped);
    uint8_t signature[32];
    if (result == TCS_RESULT_OK) result = scsSensorGetLastFpSignature(control, signature);
    uint8_t answer[kMatchAnswerSize] = {};
    uint32_t answerLength = sizeof answer;
    if (result == TCS_RESULT_OK) {
        result = scsSensorMatchVerify(control, uint16_t(wrappedLength), wrapped, signature, answer, &answerLength);
    }
    if (result == TCS_RESULT_OK && pek) {
        scsSensorCacheMatchDataAndTemplate(control, nullptr, answer, sizeof answer);
        if (checkFlag != 0) {
            AllocatedBytes payload;
            // The key is wiped by the unpack: hand it a copy.
            uint8_t key[kKeySize];
            std::memcpy(key, answer, sizeof key);
            result = _tcsDatabaseExUnPackPayload(sensor, key, sizeof key, &payload.length, &payload.data, 0,
                                                 dbTemplateOf(dbTemplate));
            std::memset(key, 0, sizeof key);
            if (result == TCS_RESULT_OK && payload.data != nullptr) outPayload->assign(payload.data, payload.length);
            // A user without sealed payload has none to give.
            if (result == TCS_RESULT_DATA_ID_DOESNT_EXIST) result = TCS_RESULT_OK;
        }
    } else if (result == TCS_RESULT_OK) {
        result = openPayload(enciphered, enciphered.length, answer, outPayload);
    }
    std::memset(answer, 0, sizeof answer);
    return result;
}

// The matched user's record: finger, id and the enrollment entry of the kind asked for.
TcsResult fillMatch(SensorRecord* sensor, TcsHandle user, uint32_t finger, const SecretBytes& payload, uint32_t option,
                    UserMatch* out) {
    UserMatch match{};
    match.finger = finger;
    if (!payload.empty()) {
        EnrollmentDataEntry entry{};
        TcsResult result = GetEnrollmentData(payload.data(), payload.size(), option, &entry);
        if (result != TCS_RESULT_OK) return result;
        match.entryKind = entry.kind;
        match.entrySize = entry.size;
        match.entryData = callerCopy(entry.data, entry.size);
        if (match.entryData == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        if (pekOn(sensor->sensorControlSensor)) _tcsDatabaseExCachUpdateIdentifyPayoad(sensor, entry.data, entry.size);
    }
    AllocatedBytes id;
    TcsResult result = tcsDatabaseGetUserData(user, DSS_BLOB_USER_ID, &id.data, &id.length);
    if (result == TCS_RESULT_OK) {
        match.userIdSize = id.length;
        match.userId = callerCopy(id.data, id.length);
        if (match.userId == nullptr) result = TCS_RESULT_OUT_OF_MEMORY;
    }
    if (result != TCS_RESULT_OK) {
        tcsBufferFree(match.entryData);
        tcsBufferFree(match.userId);
        return result;
    }
    *out = match;
    return TCS_RESULT_OK;
}

// Hands the records over as a list the caller frees.
TcsResult toList(std::vector<UserMatch>& matches, UserMatchList* out) {
    if (matches.empty()) return TCS_RESULT_OK;
    auto* array = static_cast<UserMatch*>(palRealMalloc(matches.size() * sizeof(UserMatch)));
    if (array == nullptr) {
        for (UserMatch& m : matches) {
            tcsBufferFree(m.userId);
            tcsBufferFree(m.entryData);
        }
        matches.clear();
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    std::memcpy(array, matches.data(), matches.size() * sizeof(UserMatch));
    *out = UserMatchList{uint32_t(matches.size()), array};
    matches.clear();
    return TCS_RESULT_OK;
}

// The image-driven calls: a matcher of their own around the search.
TcsResult byImage(TcsHandle sensorHandle, uint32_t matcherId, TcsHandle appStorage, TcsHandle image,
                  const SizedBuffer* userId, uint32_t option, UserMatchList* outList) {
    SensorRecord* sensor = nullptr;
    TcsResult result = sensorOf(sensorHandle, &sensor);
    TcsHandle matcher = 0;
    if (result == TCS_RESULT_OK) result = openMatcherFor(sensor, matcherId, &matcher);
    if (result != TCS_RESULT_OK) return result;
    result = _tcsExAuthenticateByImage(sensorHandle, matcher, appStorage, image, userId, option, outList);
    tcsMatcherClose(matcher);
    return result;
}

}  // namespace

extern "C" {

void tcsExUserMatchListFree(UserMatchList* list) {
    if (list == nullptr) return;
    for (uint32_t i = 0; list->matches != nullptr && i < list->count; ++i) {
        UserMatch& m = list->matches[i];
        if (m.entryData != nullptr) std::memset(m.entryData, 0, m.entrySize);
        tcsBufferFree(m.entryData);
        tcsBufferFree(m.userId);
    }
    tcsBufferFree(list->matches);
    *list = UserMatchList{0, nullptr};
}

TcsResult GetEnrollmentData(const uint8_t* packed, uint32_t length, uint32_t kind, EnrollmentDataEntry* outEntry) {
    if (outEntry == nullptr) return TCS_RESULT_NULL_POINTER;
    *outEntry = EnrollmentDataEntry{};
    if (packed == nullptr || length == 0) return TCS_RESULT_NO_ENROLLMENT_DATA;
    for (uint32_t at = 0; at < length;) {
        if (length - at < 8) return TCS_RESULT_BAD_PARAM;
        uint32_t entryKind = 0, size = 0;
        std::memcpy(&entryKind, packed + at, 4);
        std::memcpy(&size, packed + at + 4, 4);
        if (size > length - at - 8) return TCS_RESULT_BAD_PARAM;
        if (entryKind == kind) {
            *outEntry = EnrollmentDataEntry{entryKind, size, packed + at + 8};
            return TCS_RESULT_OK;
        }
        at += 8 + size;
    }
    return TCS_RESULT_NO_ENROLLMENT_DATA;
}

namespace {

TcsResult findTemplateInUser(SearchProbe& probe, TcsHandle matcher, TcsHandle sensorHandle, TcsHandle user,
                             TcsHandle image, const uint8_t* digest16, const uint8_t* hint16, uint32_t checkFlag,
                             uint32_t option, UserMatch* outMatch) {
    SensorRecord* sensor = sensorRecordOf(sensorHandle);
    if (sensor == nullptr) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (!isMatcher(matcher) || userOf(user) == nullptr || !isImage(image) || outMatch == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    // The user's templates (at most ten, or the hinted one), each with its database template kept
    // open until the match is settled.
    std::vector<std::unique_ptr<DbHandle>> stored;
    std::vector<TemplateHandle> templates;
    for (bool first = true;; first = false) {
        auto templ = std::make_unique<DbHandle>(tcsDatabaseCloseTemplate);
        TcsResult result = first ? tcsDatabaseOpenFirstTemplate(user, templ->out())
                                 : tcsDatabaseOpenNextTemplate(user, templ->out());
        if (result == TCS_RESULT_TEMPLATE_DOESNT_EXIST && !first) break;
        if (result != TCS_RESULT_OK) return result;
        SecretBytes record;
        result = readStoredTemplate(templ->get(), &record);
        if (result != TCS_RESULT_OK) return result;
        if (record.empty() || record.data()[0] != DSS_TEMPLATE_FORMAT_PACKED) return TCS_RESULT_TEMPLATE_DOESNT_EXIST;
        if (hint16 != nullptr) {
            uint8_t md5[16];
            result = palCryptoDigest(record.data() + 1, record.size() - 1, md5, kMd5);
            if (result != TCS_RESULT_OK) return result;
            if (std::memcmp(md5, hint16, sizeof md5) != 0) continue;
        } else if (templates.size() == kMaxTemplatesPerUser) {
            break;
        }
        // The unpack takes a secured template from sensor control's cache of decrypted templates
        // (keyed by the application's digest and this MD5) and asks the sensor only when it is not there.
        TemplateHandle unpacked;
        result = _tcsDatabaseExTPUnPackTemplateData(sensor, digest16, record.size() - 1, record.data() + 1,
                                                    unpacked.out(), nullptr, nullptr, nullptr, nullptr, 0);
        if (result != TCS_RESULT_OK) return result;
        templates.push_back(std::move(unpacked));
        stored.push_back(std::move(templ));
        if (hint16 != nullptr) break;
    }
    if (templates.empty()) return TCS_RESULT_TEMPLATE_DOESNT_EXIST;

    std::vector<TcsHandle> handles;
    for (const TemplateHandle& t : templates) handles.push_back(t.get());
    MatchOutcome match;
    TcsResult result = matchImage(probe, matcher, image, handles.data(), uint32_t(handles.size()), &match);
    if (result != TCS_RESULT_OK) return result;
    if (!match.matched || match.index >= handles.size()) return TCS_RESULT_TEMPLATE_DOESNT_EXIST;
    const uint32_t kept = match.index;
    if (kept != 0) {
        // The kept template alone, so that the result is its own.
        result = matchImage(probe, matcher, image, &handles[kept], 1, &match);
        if (result != TCS_RESULT_OK) return result;
        if (!match.matched) return TCS_RESULT_TEMPLATE_DOESNT_EXIST;
    }

    SecretBytes payload;
    result = matchedPayload(sensor, stored[kept]->get(), digest16, checkFlag, &payload);
    if (result != TCS_RESULT_OK) return result;
    return fillMatch(sensor, user, match.finger, payload, option, outMatch);
}

}  // namespace

TcsResult FindTemplateInUser(TcsHandle matcher, TcsHandle sensorHandle, TcsHandle user, TcsHandle image,
                             const uint8_t* digest16, const uint8_t* hint16, uint32_t checkFlag, uint32_t option,
                             UserMatch* outMatch) {
    SearchProbe probe(matcher, image);
    return findTemplateInUser(probe, matcher, sensorHandle, user, image, digest16, hint16, checkFlag, option, outMatch);
}

TcsResult FindUserInAppStorage(TcsHandle matcher, TcsHandle sensorHandle, TcsHandle appStorage,
                               const uint8_t* digest16, TcsHandle image, uint32_t checkFlag, uint32_t option,
                               const SizedBuffer* userId, UserMatchList* outList) {
    SensorRecord* sensor = sensorRecordOf(sensorHandle);
    if (sensor == nullptr) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (appStorageOf(appStorage) == nullptr || !isMatcher(matcher) || !isImage(image) || digest16 == nullptr ||
        outList == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    *outList = UserMatchList{0, nullptr};
    UserHandles users;
    TcsResult result = tcsExGetUserHandleList(&users.policy, TCS_EX_POLICY_ORDERED, appStorage, &users.count,
                                              &users.users);
    if (result != TCS_RESULT_OK) return result;
    ScsSensor* control = sensor->sensorControlSensor;
    // Decrypted templates of an application without users are stale.
    if (users.count == 0) scsSensorFreeDecTemplatesList(control, nullptr);
    // A verification for an id that nobody has is settled without comparing anything.
    bool claimed = userId == nullptr;
    for (uint32_t i = 0; !claimed && i < users.count; ++i) claimed = sameUserId(users.users[i], userId);
    if (!claimed) return TCS_RESULT_USER_DOESNT_EXIST;
    SearchProbe probe(matcher, image);
    uint8_t hint[16];
    bool hinted = false;
    if (users.count != 0) {
        const FastPath fast = searchCache(probe, control, matcher, image, digest16, hint);
        if (fast == FastPath::NoMatch) return TCS_RESULT_USER_DOESNT_EXIST;
        hinted = fast == FastPath::Hint;
    }

    std::vector<UserMatch> matches;
    bool searchedAll = true;
    for (uint32_t i = 0; i < users.count; ++i) {
        if (userId != nullptr && !sameUserId(users.users[i], userId)) {
            searchedAll = false;
            continue;
        }
        UserMatch match{};
        result = findTemplateInUser(probe, matcher, sensorHandle, users.users[i], image, digest16,
                                    hinted ? hint : nullptr, checkFlag, option, &match);
        // A searched user is closed at once: each open user keeps its template listing, and the file
        // system has room for 20 listings, so a storage of more users would fail the search.
        tcsDatabaseCloseUser(users.users[i]);
        users.users[i] = 0;
        if (result == TCS_RESULT_TEMPLATE_DOESNT_EXIST) continue;
        if (result != TCS_RESULT_OK) break;
        matches.push_back(match);
        _tcsUserIterationPolicyUpdate(&users.policy, i);
        break;
    }
    if (result == TCS_RESULT_TEMPLATE_DOESNT_EXIST) result = TCS_RESULT_OK;
    if (result != TCS_RESULT_OK) return result;
    if (matches.empty()) {
        // Only a search of every user has seen (and so cached) every template of the application: a
        // verification that looked at one user may not tell the cache it is complete.
        if (searchedAll && !hinted) scsSensorMarkDecCacheFull(control);
        return TCS_RESULT_USER_DOESNT_EXIST;
    }
    return toList(matches, outList);
}

TcsResult _tcsExAuthenticateByImage(TcsHandle sensorHandle, TcsHandle matcher, TcsHandle appStorage, TcsHandle image,
                                    const SizedBuffer* userId, uint32_t option, UserMatchList* outList) {
    SensorRecord* sensor = sensorRecordOf(sensorHandle);
    if (sensor == nullptr) return TCS_RESULT_NULL_SENSOR_HANDLE;
    DssAppStorage* storage = appStorageOf(appStorage);
    if (storage == nullptr) return TCS_RESULT_NULL_POINTER;
    uint8_t digest[16];
    const TcsResult result = prepareApplication(sensor, storage, digest);
    if (result != TCS_RESULT_OK) return result;
    return FindUserInAppStorage(matcher, sensorHandle, appStorage, digest, image, 1, option, userId, outList);
}

TcsResult tcsExVerifyImage(TcsHandle sensorHandle, uint32_t matcherId, TcsHandle appStorage, TcsHandle image,
                           const SizedBuffer* userId, uint32_t option) {
    if (!given(userId)) return TCS_RESULT_NULL_POINTER;
    UserMatchList list{};
    const TcsResult result = byImage(sensorHandle, matcherId, appStorage, image, userId, option, &list);
    tcsExUserMatchListFree(&list);
    return result;
}

TcsResult tcsExIdentifyImage(TcsHandle sensorHandle, uint32_t matcherId, TcsHandle appStorage, TcsHandle image,
                             uint32_t option, UserMatchList* outList) {
    if (outList == nullptr) return TCS_RESULT_NULL_POINTER;
    return byImage(sensorHandle, matcherId, appStorage, image, nullptr, option, outList);
}

TcsResult _tcsExAuthenticateUser(TcsHandle sensorHandle, uint32_t matcherId, TcsHandle appStorage,
                                 const SizedBuffer* userId, uint32_t option, ExProgressCallback callback,
                                 void* context) {
    SensorRecord* sensor = nullptr;
    TcsResult result = sensorOf(sensorHandle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    DssAppStorage* storage = appStorageOf(appStorage);
    if (storage == nullptr || callback == nullptr) return TCS_RESULT_NULL_POINTER;
    ScsSensor* control = sensor->sensorControlSensor;
    uint8_t digest[16];
    result = prepareApplication(sensor, storage, digest);
    if (result != TCS_RESULT_OK) return result;

    tcsUpdateEFIImage(sensorHandle);
    TcsHandle matcher = 0;
    result = openMatcherFor(sensor, matcherId, &matcher);
    if (result != TCS_RESULT_OK) return result;
    tcsSensorSetCapturePurpose(sensorHandle, 0);

    report(callback, context, 0, TCS_EX_PROGRESS_SWIPE_NOW, 0, nullptr, 0);
    TcsHandle image = 0;
    result = GetFingerprintIncludeESD(sensor, storage, &image, nullptr);
    UserMatchList list{};
    if (result == TCS_RESULT_OK) {
        reportImage(callback, context, image, sensor->client->parameters[kParamKeepImages] == 1);
        result = tcsImageCheckUsability(image, 0) == 0
                     ? TcsResult(TCS_RESULT_IMAGE_UNUSABLE)
                     : FindUserInAppStorage(matcher, sensorHandle, appStorage, digest, image, 1, option, userId, &list);
    }
    if (result == TCS_RESULT_SENSOR_INITIALIZING || result == TCS_RESULT_SENSOR_NOT_COMPLETELY_OPEN ||
        result == TCS_RESULT_SENSOR_NOT_FOUND ||
        (result == TCS_RESULT_SWIPE_ABORTED && scsSensorValidate(control) != TCS_RESULT_OK)) {
        result = TCS_RESULT_NO_SWIPE;
    }
    const bool verifying = userId != nullptr;
    VerifiedUser verified{list.count, list.count != 0 ? list.matches[0] : UserMatch{}};
    void* data = nullptr;
    uint32_t size = 0;
    if (result == TCS_RESULT_OK) {
        data = verifying ? static_cast<void*>(&verified) : static_cast<void*>(&list);
        size = verifying ? sizeof verified : sizeof list;
    }
    report(callback, context, result, verifying ? TCS_EX_PROGRESS_VERIFIED : TCS_EX_PROGRESS_IDENTIFIED, result, data,
           size);
    if (result == TCS_RESULT_USER_DOESNT_EXIST) result = verifying ? TCS_RESULT_NOT_VERIFIED : TCS_RESULT_NOT_IDENTIFIED;
    if (result == TCS_RESULT_OK) {
        scsSensorSetAuthFlag(control, SCS_AUTH_FLAG_AUTHENTICATED);
        scsSensorLEDSetEvent(control, SCS_LED_SWIPE_ACCEPTED);
    } else {
        scsSensorLEDSetEvent(control, SCS_LED_SWIPE_REJECTED);
    }
    tcsExUserMatchListFree(&list);
    tcsMatcherClose(matcher);
    if (image != 0) tcsHandleDestroy(image);
    return result;
}

TcsResult tcsExVerifyUser(TcsHandle sensor, uint32_t matcherId, TcsHandle appStorage, const SizedBuffer* userId,
                          uint32_t option, ExProgressCallback callback, void* context) {
    if (userId == nullptr) return TCS_RESULT_NULL_POINTER;
    return _tcsExAuthenticateUser(sensor, matcherId, appStorage, userId, option, callback, context);
}

TcsResult tcsExIdentifyUser(TcsHandle sensor, uint32_t matcherId, TcsHandle appStorage, uint32_t option,
                            ExProgressCallback callback, void* context) {
    return _tcsExAuthenticateUser(sensor, matcherId, appStorage, nullptr, option, callback, context);
}

}  // extern "C"
