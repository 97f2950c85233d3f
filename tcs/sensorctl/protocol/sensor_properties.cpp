// Sensor properties with rules of their own: the pre-boot image that belongs to a firmware, the
// suspend mode, the RSA key length and the transport.
#include "tcs/sensorctl/protocol/properties.h"

#include "tcs/sensorctl/protocol/sensor_properties.h"
#include "platform/usb_ids.h"
#include "tcs/sensorctl/protocol/protocol_state.h"
#include "tcs/sensorctl/secure/ssl_session.h"

#include <cstring>

namespace {

struct DeviceRef {
    ScsSensorDevice* device = nullptr;
    TcsResult result;
    explicit DeviceRef(ScsSensor* sensor) : result(scsSensorDeviceAcquire(sensor, &device)) {}
    ~DeviceRef() {
        if (result == TCS_RESULT_OK) scsSensorDeviceRelease(device);
    }
};

}  // namespace

extern "C" {

TcsResult scsGetEFIResourceIdAndSize(ScsSensor* sensor, uint32_t* outSize, uint32_t* outResourceId) {
    if (outSize == nullptr || outResourceId == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    const ScsFwVersion* v = ref.device->fwVersion;
    if (v == nullptr) return TCS_RESULT_NULL_POINTER;
    const uint32_t productId = ref.device->transportValue1;  // the USB product id
    if (v->major == 4 && v->minor == 21) {
        *outSize = 0x40000;
        *outResourceId = 100;
    } else if (v->major == 4 && v->minor == 40) {
        *outSize = 0x4E000;
        *outResourceId = 102;
    } else if (v->major == 4 && v->minor == 60 && productId == TOV_USB_PID_PREBOOT_FIRST) {
        *outSize = 0x4E000;
        *outResourceId = 104;
    } else if (v->major == 4 && v->minor == 60 && productId == TOV_USB_PID_PREBOOT_SECOND) {
        *outSize = 0x4E000;
        *outResourceId = 110;
    } else if (v->major == 6 && v->minor == 0) {
        *outSize = 0x10000;
        *outResourceId = 108;
    } else {
        return TCS_RESULT_CANCEL;
    }
    return TCS_RESULT_OK;
}

TcsResult scsSensorSetSuspendModeEx(ScsSensor* sensor, uint8_t mode) {
    if (sensor == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    ref.device->suspendMode = mode;
    return mode != 0 ? scsSSLSuspendSession(ref.device) : TCS_RESULT_OK;
}

TcsResult scsSensorGetSupportedRSAKeyLength(ScsSensor* sensor, uint32_t* outLength) {
    if (outLength == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    const ScsFwVersion* v = ref.device->fwVersion;
    *outLength = v != nullptr && (v->capabilities & 0x08) != 0 ? 256 : 128;
    return TCS_RESULT_OK;
}

TcsResult scsSensorGetTransport(ScsSensor* sensor, uint32_t* outKind) {
    if (outKind == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    *outKind = ref.device->transportKind;
    return ref.device->transportKind == 0 ? TcsResult(TCS_RESULT_BAD_SENSOR_ID_FORMAT) : TcsResult(TCS_RESULT_OK);
}

TcsResult scsSensorGetTransportBlockSize(ScsSensor* sensor, uint32_t* outSize) {
    if (outSize == nullptr) return TCS_RESULT_BAD_PARAM;
    *outSize = 64;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    if (ref.device->transportKind == 2 || ref.device->transportKind == 3) *outSize = 32;
    return TCS_RESULT_OK;
}

TcsResult scsSensorSecureMatchSupported(ScsSensor* sensor) {
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return 0;
    const scsproto::DeviceState* state = scsproto::stateOf(ref.device);
    return state != nullptr && state->secureMatchSupported ? 1 : 0;
}

TcsResult scsIsSelkinMatchOnChip(ScsSensor* sensor) {
    if (scsSensorValidate(sensor) != TCS_RESULT_OK) return 0;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return 0;
    const scsproto::DeviceState* state = scsproto::stateOf(ref.device);
    return state != nullptr && state->selkin && state->secureMatchSupported ? 1 : 0;
}

TcsResult scsSensorGetLastFpSignature(ScsSensor* sensor, uint8_t* out32) {
    if (out32 == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    std::memcpy(out32, ref.device->lastFingerprintSignature, 32);
    return TCS_RESULT_OK;
}

TcsResult scsIsWoeSupported(ScsSensor* sensor, uint32_t* outSupported) {
    if (outSupported == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    *outSupported = ref.device->woeType != 0 ? 1 : 0;
    return TCS_RESULT_OK;
}

TcsResult scsIsWOENFEnabled(ScsSensor* sensor) {
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return 0;
    return ref.device->woeType == 2 ? 1 : 0;
}

}  // extern "C"
