// Bound enrollment records: an enroll template packed for this sensor with its enrollment data into
// a record the caller keeps ("bind"), and filing such a record or a plain template under a user
// ("store").
#include "platform/memory.h"
#include "tcs/database/dss_interface.h"
#include "tcs/database/dss_store.h"
#include "tcs/flows/ex_detail.h"
#include "tcs/sensorctl/scs.h"
#include "tcs/sensorctl/ownership/secure_storage.h"

#include <cstdio>
#include <cstring>

using namespace exflows;

namespace {

constexpr uint8_t kMagic[TCS_EX_BOUND_MAGIC_SIZE] = {'T', 'O', 'V', '-', 'E', 'N', 'R', 'L', 0};

uint32_t readU32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// The two packed parts of a template; X the template record, Y what the database packed beside it.
struct PackedParts {
    AllocatedBytes record;
    AllocatedBytes second;
};

TcsResult pack(SensorRecord* sensor, TcsHandle enrollTemplate, const SecretBytes& payload, const SizedBuffer* password,
               TcsHandle dbTemplate, PackedParts* out) {
    const bool withPassword = given(password);
    return _tcsDatabaseExTPPackTemplateData(
        sensor, enrollTemplateOf(enrollTemplate), payload.size(), payload.empty() ? nullptr : payload.data(),
        withPassword ? password->length : 0, withPassword ? password->data : nullptr, &out->record.length,
        &out->record.data, &out->second.length, &out->second.data, dbTemplateOf(dbTemplate));
}

// A bound record's parts as they lie in the caller's bytes.
struct BoundRecord {
    const uint8_t* record = nullptr;
    uint32_t recordLength = 0;
    const uint8_t* second = nullptr;
    uint32_t secondLength = 0;
    const uint8_t* digest = nullptr;  // null when bound without a password
};

bool isBound(uint32_t size, const uint8_t* data) {
    return size >= sizeof kMagic && std::memcmp(data, kMagic, sizeof kMagic) == 0;
}

// Only the two sizes a bind makes are records: anything else is refused before a byte is stored.
TcsResult parseBound(uint32_t size, const uint8_t* data, BoundRecord* out) {
    if (size < TCS_EX_BOUND_HEADER_SIZE) return TCS_RESULT_BAD_PARAM;
    const uint32_t x = readU32(data + 9);
    const uint32_t y = readU32(data + 13);
    const uint64_t plain = uint64_t(TCS_EX_BOUND_HEADER_SIZE) + x + y;
    if (size != plain && size != plain + TCS_EX_BOUND_DIGEST_SIZE) return TCS_RESULT_BAD_PARAM;
    out->record = data + TCS_EX_BOUND_HEADER_SIZE;
    out->recordLength = x;
    out->second = out->record + x;
    out->secondLength = y;
    out->digest = size == plain ? nullptr : out->second + y;
    return TCS_RESULT_OK;
}

// The password digest a bound record carries, against the one an existing user keeps.
TcsResult checkDigest(TcsHandle user, const uint8_t* digest) {
    uint8_t* stored = nullptr;
    uint32_t length = 0;
    if (tcsDatabaseGetUserData(user, DSS_BLOB_USER_KEY_DIGEST, &stored, &length) != TCS_RESULT_OK) {
        return TCS_RESULT_NOT_LAST_IDENTIFIED;
    }
    const bool equal = length == TCS_EX_BOUND_DIGEST_SIZE && std::memcmp(stored, digest, length) == 0;
    tcsBufferFree(stored);
    return equal ? TcsResult(TCS_RESULT_OK) : TcsResult(TCS_RESULT_BAD_PARAM);
}

TcsResult sensorDatabaseUrl(SensorRecord* sensor, char (&out)[DSS_MAX_URL + 1]) {
    const int length = std::snprintf(out, sizeof out, "sensor://%s", sensor->sensorId != nullptr ? sensor->sensorId : "");
    return length >= 0 && uint32_t(length) <= DSS_MAX_URL ? TcsResult(TCS_RESULT_OK) : TcsResult(TCS_RESULT_BAD_PARAM);
}

}  // namespace

extern "C" {

TcsResult _tcsExEnrollTemplateBind(TcsHandle sensorHandle, const SizedBuffer* userId, uint32_t entryCount,
                                   const EnrollmentDataEntry* entries, const SizedBuffer* password,
                                   TcsHandle enrollTemplate, ExBuffer* outRecord) {
    const bool withPassword = given(password);
    if (!withPassword && entries == nullptr) return TCS_RESULT_NULL_POINTER;
    if (!given(userId) || enrollTemplateOf(enrollTemplate) == nullptr || outRecord == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    if (sensorHandle == 0) return TCS_RESULT_BAD_PARAM;
    SensorRecord* sensor = nullptr;
    TcsResult result = sensorOf(sensorHandle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    const TcsHandle client = handleOf(sensor->client, TCS_HANDLE_TYPE_CLIENT);
    if (client == 0) return TCS_RESULT_NULL_CLIENT_HANDLE;
    EnrollmentData data;
    if (entries != nullptr) {
        result = data.take(entries, entryCount);
        if (result != TCS_RESULT_OK) return result;
    }
    char url[DSS_MAX_URL + 1];
    result = sensorDatabaseUrl(sensor, url);
    if (result != TCS_RESULT_OK) return result;

    // The packing needs a user and a template of the sensor's own database to work on; both go
    // again, so the scratch storage never keeps one.
    DbHandle database(tcsDatabaseClose);
    DbHandle scratch(tcsDatabaseCloseAppStorage);
    DbHandle user(tcsDatabaseCloseUser);
    DbHandle templ(tcsDatabaseCloseTemplate);
    StoreUndo undo(user, templ);
    result = tcsDatabaseOpenA(client, url, database.out());
    if (result == TCS_RESULT_OK) {
        result = tcsDatabaseCreateAppStorage(database.get(), TCS_EX_BIND_SCRATCH_STORAGE, 0, scratch.out());
    }
    if (result == TCS_RESULT_OK) result = createUser(scratch.get(), userId, password, user, undo);
    if (result == TCS_RESULT_OK) result = tcsDatabaseCreateTemplate(user.get(), templ.out());
    if (result == TCS_RESULT_OK && data.count() == 0) result = data.makeRandom();
    if (result == TCS_RESULT_OK) {
        result = scsSensorDeterminePEKCapability(sensor->sensorControlSensor, TCS_EX_BIND_SCRATCH_STORAGE);
    }
    PackedParts parts;
    if (result == TCS_RESULT_OK) {
        result = pack(sensor, enrollTemplate, data.packed(), withPassword ? password : nullptr, templ.get(), &parts);
    }
    if (result != TCS_RESULT_OK) return result;
    if (!withPassword && data.count() == 1 && scsSensorIsPEKSecurityEnabled(sensor->sensorControlSensor) == 1) {
        _tcsDatabaseExCachUpdateIdentifyPayoad(sensor, data.entries()[0].data, data.entries()[0].size);
    }

    const uint64_t total = uint64_t(TCS_EX_BOUND_HEADER_SIZE) + parts.record.length + parts.second.length +
                           (withPassword ? TCS_EX_BOUND_DIGEST_SIZE : 0);
    if (total > UINT32_MAX) return TCS_RESULT_BAD_PARAM;
    auto* out = static_cast<uint8_t*>(palRealMalloc(size_t(total)));
    if (out == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    std::memcpy(out, kMagic, sizeof kMagic);
    std::memcpy(out + 9, &parts.record.length, 4);
    std::memcpy(out + 13, &parts.second.length, 4);
    uint8_t* at = out + TCS_EX_BOUND_HEADER_SIZE;
    if (parts.record.length != 0) std::memcpy(at, parts.record.data, parts.record.length);
    at += parts.record.length;
    if (parts.second.length != 0) std::memcpy(at, parts.second.data, parts.second.length);
    at += parts.second.length;
    if (withPassword) result = sha256(password->data, password->length, at);
    if (result != TCS_RESULT_OK) {
        palRealFree(out);
        return result;
    }
    *outRecord = ExBuffer{uint32_t(total), out};
    return TCS_RESULT_OK;
}

TcsResult tcsExEnrollTemplateBind(TcsHandle sensor, const SizedBuffer* userId, uint32_t entryCount,
                                  const EnrollmentDataEntry* entries, TcsHandle enrollTemplate, ExBuffer* outRecord) {
    return _tcsExEnrollTemplateBind(sensor, userId, entryCount, entries, nullptr, enrollTemplate, outRecord);
}

TcsResult tcsExEnrollTemplateBindAlt(TcsHandle sensor, const SizedBuffer* userId, const SizedBuffer* password,
                                     TcsHandle enrollTemplate, ExBuffer* outRecord) {
    return _tcsExEnrollTemplateBind(sensor, userId, 0, nullptr, password, enrollTemplate, outRecord);
}

TcsResult tcsExEnrollTemplateStore(TcsHandle sensorHandle, TcsHandle appStorage, const SizedBuffer* userId,
                                   uint32_t finger, uint32_t size, const uint8_t* data) {
    if (sensorHandle == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    DssAppStorage* storage = appStorageOf(appStorage);
    if (storage == nullptr || !given(userId) || data == nullptr || size == 0) return TCS_RESULT_NULL_POINTER;
    SensorRecord* sensor = nullptr;
    TcsResult result = sensorOf(sensorHandle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    const bool bound = isBound(size, data);
    BoundRecord record;
    if (bound) {
        result = parseBound(size, data, &record);
        if (result != TCS_RESULT_OK) return result;
    }
    ScsSensor* control = sensor->sensorControlSensor;
    result = scsSensorDeterminePEKCapability(control, storage->name);
    if (result != TCS_RESULT_OK) return result;

    DbHandle user(tcsDatabaseCloseUser);
    DbHandle templ(tcsDatabaseCloseTemplate);
    StoreUndo undo(user, templ);
    bool newUser = false;
    result = findOrCreateUser(storage, userId, nullptr, user, undo, &newUser);
    if (result == TCS_RESULT_OK && !newUser) result = checkFingerFree(sensor, user.get(), finger);
    if (result == TCS_RESULT_OK) result = tcsDatabaseCreateTemplate(user.get(), templ.out());
    if (result != TCS_RESULT_OK) return result;

    PackedParts plain;
    const uint8_t* packed = nullptr;
    uint32_t packedLength = 0;
    if (!bound) {
        TemplateHandle made;
        result = tcsTemplateCreate(made.out(), data, size);
        if (result == TCS_RESULT_OK) result = tcsTemplateSetFinger(made.get(), finger);
        if (result == TCS_RESULT_OK) result = tcsTemplateSetFeatures(made.get(), 0);
        if (result == TCS_RESULT_OK) result = pack(sensor, made.get(), SecretBytes(), nullptr, templ.get(), &plain);
        packed = plain.record.data;
        packedLength = plain.record.length;
    } else {
        if (record.digest != nullptr) {
            result = newUser ? tcsDatabaseSetUserData(user.get(), DSS_BLOB_USER_KEY_DIGEST, record.digest,
                                                      TCS_EX_BOUND_DIGEST_SIZE)
                             : checkDigest(user.get(), record.digest);
        }
        if (result == TCS_RESULT_OK && newUser && record.secondLength != 0) {
            result = tcsDatabaseSetUserData(user.get(), DSS_BLOB_USER_AUTH_DATA, record.second, record.secondLength);
        }
        if (result == TCS_RESULT_OK && scsSensorIsPEKSecurityEnabled(control) == 1) {
            ScsReplyView view{record.recordLength, const_cast<uint8_t*>(record.record)};
            result = scsSensorCacheMatchDataAndTemplate(control, &view, nullptr, 0);
        }
        packed = record.record;
        packedLength = record.recordLength;
    }
    SecretBytes stored;
    if (result == TCS_RESULT_OK) {
        const uint8_t format = DSS_TEMPLATE_FORMAT_PACKED;
        stored.append(&format, 1);
        if (packedLength != 0) stored.append(packed, packedLength);
        result = _tcsDatabaseSetTemplateDataSync(dbTemplateOf(templ.get()), DSS_BLOB_TEMPLATE_RECORD, stored.data(),
                                                 stored.size());
    }
    if (result == TCS_RESULT_OK && bound) {
        TemplateHandle readBack;
        result = tcsDatabaseExGetTemplateData(templ.get(), sensorHandle, readBack.out());
    }
    if (result != TCS_RESULT_OK) return result;
    undo.keep();
    result = templ.reset();
    const TcsResult closed = user.reset();
    return result != TCS_RESULT_OK ? result : closed;
}

}  // extern "C"
