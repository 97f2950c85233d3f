// What the extended flows share: handle look-ups, scoped database handles, wiped buffers, packed
// enrollment data and the stored template's finger.
#include "tcs/flows/ex_detail.h"

#include "platform/crypto/crypto.h"
#include "platform/memory.h"
#include "tcs/database/dss_store.h"
#include "tcs/sensorctl/scs.h"

#include <cstring>

namespace exflows {

namespace {
constexpr uint32_t kSha256 = 0;
constexpr uint32_t kEntryHeader = 8;
constexpr uint32_t kUserIdDigestAt = 64;
}  // namespace

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
        wipe();
        bytes_ = std::move(other.bytes_);
    }
    return *this;
}

void SecretBytes::wipe() {
    volatile uint8_t* p = bytes_.data();
    for (size_t i = 0; i < bytes_.size(); ++i) p[i] = 0;
}

void SecretBytes::assign(const uint8_t* data, size_t length) {
    wipe();
    bytes_.assign(data, data + length);
}

void SecretBytes::append(const uint8_t* data, size_t length) {
    // Growing copies the bytes: wipe the old block rather than leave it to the allocator.
    if (bytes_.size() + length > bytes_.capacity()) {
        std::vector<uint8_t> grown;
        grown.reserve(2 * (bytes_.size() + length));
        grown.assign(bytes_.begin(), bytes_.end());
        wipe();
        bytes_.swap(grown);
    }
    bytes_.insert(bytes_.end(), data, data + length);
}

AllocatedBytes::~AllocatedBytes() {
    if (data == nullptr) return;
    volatile uint8_t* p = data;
    for (uint32_t i = 0; i < length; ++i) p[i] = 0;
    palRealFree(data);
}

uint8_t* AllocatedBytes::release() {
    uint8_t* out = data;
    data = nullptr;
    length = 0;
    return out;
}

TcsResult DbHandle::reset() {
    const TcsHandle handle = release();
    return handle != 0 ? close_(handle) : TcsResult(TCS_RESULT_OK);
}

TcsHandle DbHandle::release() {
    const TcsHandle handle = handle_;
    handle_ = 0;
    return handle;
}

StoreUndo::~StoreUndo() {
    if (kept_) return;
    if (templ_) tcsDatabaseDeleteTemplate(templ_.get());
    templ_.reset();
    if (userCreated_ && user_) tcsDatabaseDeleteUser(user_.get());
}

void TemplateHandle::reset() {
    if (handle_ != 0) tcsHandleDestroy(handle_);
    handle_ = 0;
}

TcsResult sensorOf(TcsHandle handle, SensorRecord** out) {
    *out = nullptr;
    if (handle == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    void* record = nullptr;
    tcsSafeSensorHandleFetch(handle, &record);
    auto* sensor = static_cast<SensorRecord*>(record);
    const TcsResult result = tcsSensorValidate(sensor);
    if (result == TCS_RESULT_OK) *out = sensor;
    return result;
}

namespace {
void* recordOf(TcsHandle handle, HandleType kind) {
    void* record = nullptr;
    if (handle != 0) _tcsSafeHandleFetch(handle, kind, &record);
    return record;
}
}  // namespace

DssAppStorage* appStorageOf(TcsHandle handle) {
    return static_cast<DssAppStorage*>(recordOf(handle, TCS_HANDLE_TYPE_APP_STORAGE));
}
DssUser* userOf(TcsHandle handle) { return static_cast<DssUser*>(recordOf(handle, TCS_HANDLE_TYPE_USER)); }
DssTemplate* dbTemplateOf(TcsHandle handle) {
    return static_cast<DssTemplate*>(recordOf(handle, TCS_HANDLE_TYPE_DB_TEMPLATE));
}
EnrollTemplate* enrollTemplateOf(TcsHandle handle) {
    return static_cast<EnrollTemplate*>(recordOf(handle, TCS_HANDLE_TYPE_ENROLL_TEMPLATE));
}

TcsHandle handleOf(void* record, HandleType kind) {
    TcsHandle handle = 0;
    if (record == nullptr || tcsSafeHandleReverseFetch(record, kind, &handle) != TCS_RESULT_OK) return 0;
    return handle;
}

TcsResult sha256(const uint8_t* data, uint32_t length, uint8_t out[32]) {
    return palCryptoDigest(data, length, out, kSha256);
}

EnrollmentData::~EnrollmentData() {
    volatile uint8_t* p = random_;
    for (size_t i = 0; i < sizeof random_; ++i) p[i] = 0;
}

TcsResult EnrollmentData::take(const EnrollmentDataEntry* entries, uint32_t count) {
    uint32_t total = 0;
    TcsResult result = GetEnrollmentDataSize(entries, count, &total);
    if (result != TCS_RESULT_OK) return result;
    SecretBytes packed;
    for (uint32_t i = 0; i < count; ++i) {
        const EnrollmentDataEntry& entry = entries[i];
        if (entry.size != 0 && entry.data == nullptr) return TCS_RESULT_BAD_PARAM;
        uint8_t header[kEntryHeader];
        std::memcpy(header, &entry.kind, 4);
        std::memcpy(header + 4, &entry.size, 4);
        packed.append(header, sizeof header);
        if (entry.size != 0) packed.append(entry.data, entry.size);
    }
    packed_ = std::move(packed);
    entries_ = entries;
    count_ = count;
    return TCS_RESULT_OK;
}

TcsResult EnrollmentData::makeRandom() {
    const TcsResult result = palCryptoRng(random_, sizeof random_);
    if (result != TCS_RESULT_OK) return result;
    generated_ = EnrollmentDataEntry{0, sizeof random_, random_};
    return take(&generated_, 1);
}

TcsResult readStoredTemplate(TcsHandle dbTemplate, SecretBytes* out) {
    uint8_t* data = nullptr;
    uint32_t length = 0;
    const TcsResult result = _tcsDatabaseGetTemplateDataSync(dbTemplateOf(dbTemplate), DSS_BLOB_TEMPLATE_RECORD,
                                                             &data, &length);
    if (result != TCS_RESULT_OK) return result;
    out->assign(data, length);
    std::memset(data, 0, length);
    palRealFree(data);
    return TCS_RESULT_OK;
}

TcsResult storedFinger(SensorRecord* sensor, TcsHandle dbTemplate, uint32_t* outFinger) {
    SecretBytes stored;
    TcsResult result = readStoredTemplate(dbTemplate, &stored);
    if (result != TCS_RESULT_OK) return result;
    if (stored.empty() || stored.data()[0] != DSS_TEMPLATE_FORMAT_PACKED) return TCS_RESULT_TEMPLATE_DOESNT_EXIST;
    return _tcsDatabaseExTPGetFingerIndex(sensor, stored.size() - 1, stored.data() + 1, outFinger);
}

TcsResult checkFingerFree(SensorRecord* sensor, TcsHandle user, uint32_t finger) {
    return forEachTemplate(user, [&](DbHandle& templ, bool&) -> TcsResult {
        uint32_t stored = 0;
        const TcsResult result = storedFinger(sensor, templ.get(), &stored);
        if (result != TCS_RESULT_OK) return result;
        return stored == finger ? TcsResult(TCS_RESULT_FINGER_ENROLLED) : TcsResult(TCS_RESULT_OK);
    });
}

TcsResult createUser(TcsHandle storage, const SizedBuffer* userId, const SizedBuffer* password, DbHandle& user,
                     StoreUndo& undo) {
    TcsResult result = tcsDatabaseCreateUser(storage, user.out());
    if (result != TCS_RESULT_OK) return result;
    undo.userCreated();
    result = tcsDatabaseSetUserData(user.get(), DSS_BLOB_USER_ID, userId->data, userId->length);
    if (result == TCS_RESULT_OK && given(password)) {
        uint8_t digest[32];
        result = sha256(password->data, password->length, digest);
        if (result == TCS_RESULT_OK) {
            result = tcsDatabaseSetUserData(user.get(), DSS_BLOB_USER_KEY_DIGEST, digest, sizeof digest);
        }
    }
    return result;
}

TcsResult findOrCreateUser(DssAppStorage* storage, const SizedBuffer* userId, const SizedBuffer* password,
                           DbHandle& user, StoreUndo& undo, bool* outNew) {
    TcsResult result = GetUserHandleByUserID(storage, userId, user.out());
    *outNew = result == TCS_RESULT_USER_DOESNT_EXIST;
    if (*outNew) result = createUser(handleOf(storage, TCS_HANDLE_TYPE_APP_STORAGE), userId, password, user, undo);
    return result;
}

uint8_t* callerCopy(const uint8_t* data, uint32_t length) {
    auto* copy = static_cast<uint8_t*>(palRealMalloc(length == 0 ? 1 : length));
    if (copy != nullptr && length != 0) std::memcpy(copy, data, length);
    return copy;
}

TcsResult lastIdentificationOf(SensorRecord* sensor, const SizedBuffer* userId, uint8_t out[128]) {
    uint8_t digest[32];
    if (sensor == nullptr ||
        scsSensorGetLastIdentificationCtx(sensor->sensorControlSensor, out, DSS_LAST_ID_CONTEXT_SIZE) != TCS_RESULT_OK ||
        sha256(userId->data, userId->length, digest) != TCS_RESULT_OK ||
        std::memcmp(out + kUserIdDigestAt, digest, sizeof digest) != 0) {
        std::memset(out, 0, DSS_LAST_ID_CONTEXT_SIZE);
        return TCS_RESULT_NOT_LAST_IDENTIFIED;
    }
    return TCS_RESULT_OK;
}

}  // namespace exflows
