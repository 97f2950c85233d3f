// The pre-boot image update that an authentication arms: once per device, after the first
// successful verification or identification, the sensor's pre-boot image is checked against the
// host's file and rewritten when they differ (core item 5).
#include "tcs/flows/ex_detail.h"
#include "tcs/flows/ex_recognition.h"
#include "tcs/sensorctl/init/device_accessors.h"

using namespace exflows;

namespace {

constexpr uint32_t kItemTimeoutMs = 5000;
constexpr uint32_t kUpdateWaitMs = 125000;

TcsResult startUpdate(CompletionCallback callback, SyncWaitRecord* record, void* handle) {
    return tcsUpdateEFIImageAsync(*static_cast<TcsHandle*>(handle), callback, record);
}

}  // namespace

extern "C" {

TcsResult tcsUpdateEFIImageAsync(TcsHandle sensorHandle, CompletionCallback callback, void* context) {
    SensorRecord* sensor = nullptr;
    const TcsResult result = sensorOf(sensorHandle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    if (sensor->client == nullptr) return TCS_RESULT_NULL_CLIENT_HANDLE;
    return _tcsQueueCoreItem(sensor->client->stack, TCS_ITEM_VERIFY_EFI, kItemTimeoutMs, sensor->sensorControlSensor,
                             callback, context);
}

TcsResult tcsUpdateEFIImage(TcsHandle sensorHandle) {
    SensorRecord* sensor = nullptr;
    TcsResult result = sensorOf(sensorHandle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    if (sensor->client == nullptr) return TCS_RESULT_NULL_CLIENT_HANDLE;
    ScsSensor* control = sensor->sensorControlSensor;
    uint32_t due = 0;
    result = scsSensorIsPreBootUpdateDue(control, &due);
    if (result != TCS_RESULT_OK || due == 0) return result;
    result = _tcsSyncCall(sensor->client->stack, kUpdateWaitMs, TCS_RESULT_OUT_OF_MEMORY, nullptr, startUpdate,
                          &sensorHandle);
    if (result == TCS_RESULT_OK) scsSensorSetAuthFlag(control, SCS_AUTH_FLAG_PREBOOT_UPDATED);
    return result;
}

}  // extern "C"
