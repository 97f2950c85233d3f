// Maintenance flows around the template database: removing fingers and users with the sensor's
// decrypted copies, restoring a sensor's database from a backup image, cancelling a capture and
// taking the matcher accuracy from the sensor's features storage.
#include "platform/crypto/crypto.h"
#include "platform/memory.h"
#include "platform/text.h"
#include "tcs/database/dss_interface.h"
#include "tcs/database/dss_store.h"
#include "tcs/flows/ex_detail.h"
#include "tcs/flashfs/xtfs.h"
#include "tcs/sensorctl/init/device_accessors.h"
#include "tcs/sensorctl/protocol/template_cache.h"

#include <cstdio>
#include <cstring>

using namespace exflows;

namespace {

constexpr uint32_t kMd5 = 2;
constexpr uint32_t kMaxName = DSS_MAX_URL;
constexpr char kFeaturesStorage[] = "FEATURES";
constexpr uint32_t kDataFeaturesTag = 2;
constexpr uint32_t kDataAccuracy = 102;
constexpr char kFeaturesTag[] = {'F', 'A', 'R'};
constexpr uint32_t kDefaultAccuracy = 1;

TcsResult md5(const uint8_t* data, uint32_t length, uint8_t out[16]) { return palCryptoDigest(data, length, out, kMd5); }

TcsResult deleteUser(SensorRecord* sensor, DbHandle& user, const SizedBuffer* userId) {
    const TcsResult deleted = tcsDatabaseDeleteUser(user.get());
    const TcsResult closed = user.reset();
    _tcsDatabaseExCachRemoveUser(sensor, userId);
    return deleted != TCS_RESULT_OK ? deleted : closed;
}

// Removes the first template of the finger; *outRemoved tells whether there was one.
TcsResult removeFinger(SensorRecord* sensor, TcsHandle sensorHandle, TcsHandle user, uint32_t finger,
                       bool* outRemoved) {
    return forEachTemplate(user, [&](DbHandle& dbTemplate, bool& stop) -> TcsResult {
        TemplateHandle templ;
        TcsResult result = tcsDatabaseExGetTemplateData(dbTemplate.get(), sensorHandle, templ.out());
        if (result != TCS_RESULT_OK || tcsTemplateGetFinger(templ.get()) != finger) return result;
        // The sensor's decrypted copy may be missing already: that does not stop the removal.
        _tcsDatabaseExDeleteCachedTemplate(sensor, dbTemplateOf(dbTemplate.get()));
        result = tcsDatabaseDeleteTemplate(dbTemplate.get());
        const TcsResult closed = dbTemplate.reset();
        *outRemoved = true;
        stop = true;
        return result != TCS_RESULT_OK ? result : closed;
    });
}

// "sensor:" and "file:" names stay as they are; anything else names a sensor.
bool databaseUrl(const char* name, char (&out)[kMaxName + 1]) {
    const bool url = palStringsMatch(name, "sensor:") || palStringsMatch(name, "file:");
    const int length = std::snprintf(out, sizeof out, url ? "%s" : "sensor://%s", name);
    // A cut name could name another store: refused rather than restored onto it.
    return length >= 0 && uint32_t(length) <= kMaxName;
}

// The level the features storage holds: 1 unless its tag is "FAR" and the level a u32.
TcsResult readAccuracy(TcsHandle storage, uint32_t* outLevel) {
    *outLevel = kDefaultAccuracy;
    uint8_t* data = nullptr;
    uint32_t length = 0;
    if (tcsDatabaseGetStorageData(storage, kDataFeaturesTag, &data, &length) != TCS_RESULT_OK) return TCS_RESULT_OK;
    // Compared over the tag's three bytes, never past the data read.
    const bool tagged = length >= sizeof kFeaturesTag && std::memcmp(data, kFeaturesTag, sizeof kFeaturesTag) == 0;
    tcsBufferFree(data);
    if (!tagged) return TCS_RESULT_OK;
    if (tcsDatabaseGetStorageData(storage, kDataAccuracy, &data, &length) != TCS_RESULT_OK) return TCS_RESULT_OK;
    if (length == sizeof(uint32_t)) std::memcpy(outLevel, data, sizeof(uint32_t));
    tcsBufferFree(data);
    return TCS_RESULT_OK;
}

}  // namespace

extern "C" {

TcsResult _tcsDatabaseExDeleteCachedTemplate(SensorRecord* sensor, DssTemplate* dbTemplate) {
    if (sensor == nullptr) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (dbTemplate == nullptr || dbTemplate->user == nullptr || dbTemplate->user->appStorage == nullptr) {
        return TCS_RESULT_INVALID_TEMPLATE_HANDLE;
    }
    SecretBytes stored;
    TcsResult result = readStoredTemplate(handleOf(dbTemplate, TCS_HANDLE_TYPE_DB_TEMPLATE), &stored);
    if (result != TCS_RESULT_OK) return result;
    if (stored.empty() || stored.data()[0] != DSS_TEMPLATE_FORMAT_PACKED) return TCS_RESULT_TEMPLATE_DOESNT_EXIST;
    const char* name = dbTemplate->user->appStorage->name;
    uint8_t nameDigest[16], payloadDigest[16];
    result = md5(reinterpret_cast<const uint8_t*>(name), uint32_t(std::strlen(name)), nameDigest);
    if (result == TCS_RESULT_OK) result = md5(stored.data() + 1, stored.size() - 1, payloadDigest);
    if (result != TCS_RESULT_OK) return result;
    return scsSensorRemoveDecTemplate(sensor->sensorControlSensor, nameDigest, payloadDigest);
}

TcsResult _tcsDatabaseExDeleteCachedUser(SensorRecord* sensor, DssUser* user) {
    TcsResult result = tcsSensorValidate(sensor);
    if (result != TCS_RESULT_OK) return result;
    const TcsHandle userHandle = handleOf(user, TCS_HANDLE_TYPE_USER);
    if (userHandle == 0) return TCS_RESULT_NULL_POINTER;
    uint32_t templates = 0;
    result = forEachTemplate(userHandle, [&](DbHandle& dbTemplate, bool&) {
        ++templates;
        return _tcsDatabaseExDeleteCachedTemplate(sensor, dbTemplateOf(dbTemplate.get()));
    });
    if (result == TCS_RESULT_OK && templates == 0) result = TCS_RESULT_TEMPLATE_DOESNT_EXIST;
    return result;
}

TcsResult tcsExRemoveUserFinger(TcsHandle sensorHandle, TcsHandle appStorage, const SizedBuffer* userId,
                                uint32_t finger) {
    SensorRecord* sensor = nullptr;
    TcsResult result = sensorOf(sensorHandle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    DssAppStorage* storage = appStorageOf(appStorage);
    if (storage == nullptr || !given(userId)) return TCS_RESULT_NULL_POINTER;
    DbHandle user(tcsDatabaseCloseUser);
    result = GetUserHandleByUserID(storage, userId, user.out());
    if (result != TCS_RESULT_OK) return result;

    if (finger == TCS_EX_WHOLE_USER) {
        // Best effort: copies the sensor never made are not there to drop.
        _tcsDatabaseExDeleteCachedUser(sensor, userOf(user.get()));
        return deleteUser(sensor, user, userId);
    }
    bool removed = false;
    result = removeFinger(sensor, sensorHandle, user.get(), finger, &removed);
    if (result != TCS_RESULT_OK) return result;
    if (!removed) return TCS_RESULT_TEMPLATE_DOESNT_EXIST;
    // The last finger takes the user with it.
    DbHandle left(tcsDatabaseCloseTemplate);
    result = tcsDatabaseOpenFirstTemplate(user.get(), left.out());
    if (result != TCS_RESULT_TEMPLATE_DOESNT_EXIST) {
        left.reset();
        const TcsResult closed = user.reset();
        return result != TCS_RESULT_OK ? result : closed;
    }
    return deleteUser(sensor, user, userId);
}

TcsResult tcsDatabaseRestoreExPriv(TcsHandle clientHandle, const char* name, const uint8_t* image, uint32_t size) {
    if (image == nullptr) return TCS_RESULT_NULL_POINTER;
    void* record = nullptr;
    tcsSafeClientHandleFetch(clientHandle, &record);
    auto* client = static_cast<ClientRecord*>(record);
    TcsResult result = tcsClientValidate(client);
    if (result != TCS_RESULT_OK) return result;
    if (name == nullptr) return TCS_RESULT_BAD_PARAM;
    char url[kMaxName + 1];
    if (!databaseUrl(name, url)) return TCS_RESULT_BAD_PARAM;
    DssDatabase* prepared = nullptr;
    result = dssPrepareOpenDatabase(client, url, &prepared);
    if (result != TCS_RESULT_OK) return result;
    if (prepared->storeKind == DSS_STORE_SENSOR && prepared->sensor != nullptr) {
        ScsSensor* control = prepared->sensor->sensorControlSensor;
        xtfsStorageClose(control, XTFS_PART_FS);
        scsSensorFreeDecTemplatesList(control, nullptr);
        result = xtfsRestore(control, image, size, 1);
    } else {
        result = TCS_RESULT_NOT_IMPLEMENTED;
    }
    dssCleanupDatabaseOpenPreparation(prepared);
    return result;
}

TcsResult tcsDatabaseRestoreExA(TcsHandle client, const char* name, const uint8_t* image, uint32_t size) {
    if (name == nullptr) return TCS_RESULT_BAD_PARAM;
    return tcsDatabaseRestoreExPriv(client, name, image, size);
}

TcsResult tcsDatabaseRestoreExW(TcsHandle client, const uint16_t* name, const uint8_t* image, uint32_t size) {
    if (name == nullptr) return TCS_RESULT_BAD_PARAM;
    uint32_t length = 0;
    while (name[length] != 0) {
        if (++length > kMaxName) return TCS_RESULT_BAD_PARAM;
    }
    char narrow[kMaxName + 1];
    palUnicodeToAsciiString(name, narrow, sizeof narrow);
    return tcsDatabaseRestoreExPriv(client, narrow, image, size);
}

TcsResult tcsCancelExOperation(TcsHandle sensor) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    return tcsSensorAbortFingerprint(sensor);
}

TcsResult tcsSensorUpdateFeatures(TcsHandle sensorHandle) {
    SensorRecord* sensor = nullptr;
    TcsResult result = sensorOf(sensorHandle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    // Sensor control marks the device from its flash (scsSensorKeepsFeaturesStorage, device
    // accessors): the storage lives in the sensor's own database.
    if (scsSensorKeepsFeaturesStorage(sensor->sensorControlSensor) != 1) return TCS_RESULT_OK;
    ClientRecord* client = sensor->client;
    const TcsHandle clientHandle = handleOf(client, TCS_HANDLE_TYPE_CLIENT);
    if (clientHandle == 0) return TCS_RESULT_NULL_CLIENT_HANDLE;

    char url[kMaxName + 1];
    std::snprintf(url, sizeof url, "sensor://%s", sensor->sensorId != nullptr ? sensor->sensorId : "");
    DbHandle database(tcsDatabaseClose);
    DbHandle features(tcsDatabaseCloseAppStorage);
    DbHandle storage(tcsDatabaseCloseStorage);
    result = tcsDatabaseOpenA(clientHandle, url, database.out());
    if (result == TCS_RESULT_OK) result = tcsDatabaseCreateAppStorage(database.get(), kFeaturesStorage, 0, features.out());
    if (result == TCS_RESULT_OK) result = tcsDatabaseOpenFirstStorage(features.get(), storage.out());
    uint32_t level = kDefaultAccuracy;
    if (result == TCS_RESULT_OK) result = readAccuracy(storage.get(), &level);
    // A level the client set itself is kept.
    if (result == TCS_RESULT_OK && client->matcherAccuracy != level && client->accuracySet == 0) {
        result = tcsMatcherSetAccuracy(clientHandle, level);
    }
    const TcsResult closedStorage = storage.reset();
    const TcsResult closedFeatures = features.reset();
    const TcsResult closedDatabase = database.reset();
    if (result == TCS_RESULT_OK) result = closedStorage;
    if (result == TCS_RESULT_OK) result = closedFeatures;
    if (result == TCS_RESULT_OK) result = closedDatabase;
    return result;
}

}  // extern "C"
