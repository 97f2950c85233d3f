// Device initialisation: stand-in bodies until the device-initialisation work lands (6).
#include "tcs/sensorctl/device_init.h"

// Weak, so the real body wins wherever it is linked in, without a duplicate definition.
#define SCS_STAND_IN __attribute__((weak))

SCS_STAND_IN TcsResult scsSensorDeviceInit(ScsSensorDevice*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsCancelDeviceInitialization(ScsSensorDevice*, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN void scsSensorDeviceFreeInitRecord(ScsSensorDevice* device) {
    if (device != nullptr) device->initRecord = nullptr;
}
