// USB transport and sensor device: bus polling, device naming, transfer-descriptor queues served by
// two worker threads per device, the device control dispatcher and the pre-boot image file.
#pragma once

#include "platform/pnp.h"
#include "platform/threads.h"
#include "tcs/result.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Device control request codes, numbered as a kernel driver's would be: function f (0x800 and up)
// has the code PAL_SENSOR_CONTROL_BASE + (f - 0x800) * 4.
#define PAL_SENSOR_CONTROL_BASE 0x80002000u
#define PAL_SENSOR_CONTROL_CODE(function) (PAL_SENSOR_CONTROL_BASE + ((uint32_t)(function)-0x800u) * 4u)

// Transfer statuses.
enum {
    PAL_TRANSFER_DONE = 0,
    PAL_TRANSFER_PENDING = 1,
    PAL_TRANSFER_ERROR = 2,
    PAL_TRANSFER_CANCELLED = 3,
};

// Owned by sensor control. Queue functions (0x810, 0x812, 0x814, 0x816) take the descriptor itself
// as their in buffer (in size sizeof(TransferDescriptor)); it must stay put until it completes.
typedef struct TransferDescriptor {
    void* data;
    uint32_t length;  // bytes to write, or room to read; after a read, the bytes read
    uint32_t status;
    PalEvent* completionEvent;  // may be NULL; set on completion
} TransferDescriptor;

typedef struct UsbDevice UsbDevice;

enum {
    PAL_USB_PIPE_REQUEST_WRITE = 0,    // default 500 ms
    PAL_USB_PIPE_REPLY_READ = 1,       // default 1500 ms
    PAL_USB_PIPE_FINGERPRINT_READ = 2, // default 100 ms
};

TcsResult palUsbSubsystemStartup(PnpContext* context);
TcsResult palUsbSubsystemShutdown(void);
TcsResult palUsbDeviceOpen(const char* deviceName, UsbDevice** outDevice);
// 34 when a worker would not end: the device then stays allocated (a later close finishes it).
TcsResult palUsbDeviceClose(UsbDevice* device);
TcsResult palUsbDeviceIoControl(UsbDevice* device, uint32_t code, void* in, uint32_t inSize, void* out,
                                uint32_t outSize, uint32_t* outReturned);
TcsResult palUsbGetPipeTimeout(UsbDevice* device, uint32_t pipe, uint32_t* outMs);
TcsResult palUsbSetPipeTimeout(UsbDevice* device, uint32_t pipe, uint32_t ms);

// The sensor facade used by sensor control.
typedef struct PalSensorHandle {
    uint64_t reserved0;
    uint64_t reserved1;
    UsbDevice* device;
    uint64_t reserved2;
    char* deviceName;
} PalSensorHandle;

TcsResult palSensorOpen(void* platformContext, const char* deviceName, PalSensorHandle** outHandle);
// When the device cannot be closed its failure is returned and the handle stays valid.
TcsResult palSensorClose(void* reserved, PalSensorHandle* handle);
TcsResult palSensorSend(PalSensorHandle* handle, uint32_t code, void* in, uint32_t inSize, void* out,
                        uint32_t outSize, uint32_t* outReturned, void* reserved);
TcsResult palSensorGetPipeTimeout(PalSensorHandle* handle, uint32_t pipe, uint32_t* outMs);
TcsResult palSensorGetPipeTimeouts(PalSensorHandle* handle, uint32_t* outReplyReadMs, uint32_t* outRequestWriteMs);
TcsResult palSensorSetPipeTimeout(PalSensorHandle* handle, uint32_t pipe, uint32_t ms);
TcsResult palSensorReset(PalSensorHandle* handle);
TcsResult palSensorEnable(PalSensorHandle* handle);
TcsResult palSensorHWReset(PalSensorHandle* handle);
TcsResult palDriverGetDbgFlags(PalSensorHandle* handle, uint32_t* outFlags);
TcsResult palDriverSetDbgFlags(PalSensorHandle* handle, uint32_t flags);
TcsResult palDriverGetDbgSystems(PalSensorHandle* handle, uint32_t* outSystems);
TcsResult palDriverSetDbgSystems(PalSensorHandle* handle, uint32_t systems);
void palDbgPrintSensor(PalSensorHandle* handle);

// Reads the pre-boot image file for a sensor type (100, 102, 104, 110 read "OemUsbTFS641.img",
// "OemUsbTFS643.img", "OemUsbTFS645.img", "OemUsbTFS646.img" in "/usr/sbin"; others read
// "OemUsbTFS.img" in the working directory) into buffer, whose capacity is size.
TcsResult palGetEFIImage(void* buffer, uint32_t size, uint32_t sensorType);

#ifdef __cplusplus
}
#endif
