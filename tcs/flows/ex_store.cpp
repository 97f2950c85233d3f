// Filing an enroll template under a user of an application storage, and finding users by id.
#include "platform/crypto/crypto.h"
#include "platform/memory.h"
#include "tcs/database/dss_interface.h"
#include "tcs/database/dss_store.h"
#include "tcs/flows/ex_detail.h"
#include "tcs/sensorctl/ownership/secure_storage.h"

#include <cstring>

using namespace exflows;

namespace {

bool equalsUserId(TcsHandle user, const SizedBuffer* userId, TcsResult* outResult) {
    uint8_t* data = nullptr;
    uint32_t length = 0;
    const TcsResult result = tcsDatabaseGetUserData(user, DSS_BLOB_USER_ID, &data, &length);
    // A user without an id matches nobody; any other failure ends the search.
    *outResult = result == TCS_RESULT_DATA_ID_DOESNT_EXIST ? TcsResult(TCS_RESULT_OK) : result;
    const bool equal = result == TCS_RESULT_OK && length == userId->length &&
                       std::memcmp(data, userId->data, length) == 0;
    tcsBufferFree(data);
    return equal;
}

// Without a password a user may be extended on a PEK-secured sensor only right after the sensor
// identified that user.
TcsResult checkLastIdentified(SensorRecord* sensor, const SizedBuffer* userId) {
    uint8_t context[DSS_LAST_ID_CONTEXT_SIZE];
    const TcsResult result = lastIdentificationOf(sensor, userId, context);
    std::memset(context, 0, sizeof context);
    return result;
}

}  // namespace

extern "C" {

TcsResult GetEnrollmentDataSize(const EnrollmentDataEntry* entries, uint32_t count, uint32_t* outSize) {
    if (entries == nullptr || outSize == nullptr) return TCS_RESULT_NULL_POINTER;
    uint64_t total = 0;
    for (uint32_t i = 0; i < count; ++i) total += 8u + uint64_t(entries[i].size);
    if (total > UINT32_MAX) return TCS_RESULT_BAD_PARAM;
    *outSize = uint32_t(total);
    return TCS_RESULT_OK;
}

TcsResult GetUserHandleByUserID(DssAppStorage* appStorage, const SizedBuffer* userId, TcsHandle* outUser) {
    if (outUser == nullptr) return TCS_RESULT_NULL_POINTER;
    *outUser = 0;
    const TcsHandle storage = handleOf(appStorage, TCS_HANDLE_TYPE_APP_STORAGE);
    if (storage == 0 || userId == nullptr || (userId->length != 0 && userId->data == nullptr)) {
        return TCS_RESULT_NULL_POINTER;
    }
    for (bool first = true;; first = false) {
        DbHandle user(tcsDatabaseCloseUser);
        TcsResult result = first ? tcsDatabaseOpenFirstUser(storage, user.out())
                                 : tcsDatabaseOpenNextUser(storage, user.out());
        if (result != TCS_RESULT_OK) return result;  // 65 at the end of the list
        if (equalsUserId(user.get(), userId, &result)) {
            *outUser = user.release();
            return TCS_RESULT_OK;
        }
        if (result != TCS_RESULT_OK) return result;
    }
}

TcsResult StoreUserInAppStorage(SensorRecord* sensor, DssAppStorage* appStorage, const SizedBuffer* userId,
                                uint32_t entryCount, const EnrollmentDataEntry* entries,
                                const SizedBuffer* password, EnrollTemplate* enrollTemplate, uint32_t newUserOnly,
                                uint32_t refuseDuplicateFinger) {
    const TcsHandle sensorHandle = handleOf(sensor, TCS_HANDLE_TYPE_SENSOR);
    if (sensorHandle == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    TcsResult result = tcsSensorValidate(sensor);
    if (result != TCS_RESULT_OK) return result;
    const bool withPassword = given(password);
    const TcsHandle storage = handleOf(appStorage, TCS_HANDLE_TYPE_APP_STORAGE);
    const TcsHandle templateHandle = handleOf(enrollTemplate, TCS_HANDLE_TYPE_ENROLL_TEMPLATE);
    if ((!withPassword && entries == nullptr) || storage == 0 || !given(userId) || templateHandle == 0) {
        return TCS_RESULT_NULL_POINTER;
    }
    EnrollmentData data;
    // Entries are checked before anything is made, so a bad one leaves the database as it was.
    if (entries != nullptr) {
        result = data.take(entries, entryCount);
        if (result != TCS_RESULT_OK) return result;
    }

    ScsSensor* control = sensor->sensorControlSensor;
    result = scsSensorDeterminePEKCapability(control, appStorage->name);
    if (result != TCS_RESULT_OK) return result;
    const bool pek = scsSensorIsPEKSecurityEnabled(control) == 1;

    DbHandle user(tcsDatabaseCloseUser);
    DbHandle templ(tcsDatabaseCloseTemplate);
    StoreUndo undo(user, templ);
    bool newUser = false;
    result = findOrCreateUser(appStorage, userId, password, user, undo, &newUser);
    if (result == TCS_RESULT_OK && !newUser) {
        if (newUserOnly != 0) return TCS_RESULT_USER_EXISTS;
        if (!withPassword && pek) result = checkLastIdentified(sensor, userId);
        if (result == TCS_RESULT_OK && refuseDuplicateFinger != 0) {
            result = checkFingerFree(sensor, user.get(), _tcsTemplateGetFinger(enrollTemplate));
        }
    }
    if (result != TCS_RESULT_OK) return result;

    // A user's first template without enrollment data still gets a payload of its own.
    if (data.count() == 0 && newUser) {
        result = data.makeRandom();
        if (result != TCS_RESULT_OK) return result;
    }
    const SecretBytes& packed = data.packed();
    // The database's write stores nothing when there is neither payload nor password: refuse rather
    // than file a template without data.
    if (packed.empty() && !withPassword) return TCS_RESULT_NULL_POINTER;

    result = tcsDatabaseCreateTemplate(user.get(), templ.out());
    if (result == TCS_RESULT_OK) {
        result = _tcsDatabaseExSetTemplateData(templ.get(), sensorHandle, templateHandle, packed.size(),
                                               packed.empty() ? nullptr : packed.data(),
                                               withPassword ? password->length : 0,
                                               withPassword ? password->data : nullptr);
    }
    if (result == TCS_RESULT_OK) {
        // Read back once: the record must come back as an enroll template before it counts as stored.
        TemplateHandle readBack;
        result = tcsDatabaseExGetTemplateData(templ.get(), sensorHandle, readBack.out());
    }
    if (result != TCS_RESULT_OK) return result;
    if (!withPassword && pek && data.count() == 1) {
        _tcsDatabaseExCachUpdateIdentifyPayoad(sensor, data.entries()[0].data, data.entries()[0].size);
    }
    undo.keep();
    // Blobs reach the store when their object is closed.
    result = templ.reset();
    const TcsResult closed = user.reset();
    return result != TCS_RESULT_OK ? result : closed;
}

TcsResult tcsExEnrollTemplate(TcsHandle sensorHandle, TcsHandle appStorage, const SizedBuffer* userId,
                              uint32_t entryCount, const EnrollmentDataEntry* entries, TcsHandle enrollTemplate) {
    SensorRecord* sensor = nullptr;
    const TcsResult result = sensorOf(sensorHandle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    return StoreUserInAppStorage(sensor, appStorageOf(appStorage), userId, entryCount, entries, nullptr,
                                 enrollTemplateOf(enrollTemplate), 0, 1);
}

TcsResult tcsExEnrollTemplateAlt(TcsHandle sensorHandle, TcsHandle appStorage, const SizedBuffer* userId,
                                 const SizedBuffer* password, TcsHandle enrollTemplate) {
    if (password == nullptr || appStorage == 0 || sensorHandle == 0 || enrollTemplate == 0) {
        return TCS_RESULT_NULL_POINTER;
    }
    SensorRecord* sensor = nullptr;
    const TcsResult result = sensorOf(sensorHandle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    return StoreUserInAppStorage(sensor, appStorageOf(appStorage), userId, 0, nullptr, password,
                                 enrollTemplateOf(enrollTemplate), 0, 1);
}

}  // extern "C"
