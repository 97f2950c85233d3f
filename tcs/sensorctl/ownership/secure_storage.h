// Ownership part of sensor control: taking and resetting ownership, the sensor's certificate and
// id, the protected commands with their retry rule, and the raw partition's copy.
//
// Ownership replies, certificates, the raw partition's save size, and the secure-retry rule of the
// protected sensor commands.
#pragma once

#include "tcs/sensorctl/engine/scs_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

TcsResult scsSensorStoreTakeOwnershipReply(ScsSensor* sensor, uint32_t length1, const uint8_t* data1,
                                           uint32_t length2, const uint8_t* data2);
TcsResult scsSensorStoreTakeOwnershipWithKeysReply(ScsSensor* sensor, uint32_t length, const uint8_t* data);
TcsResult GetSensorCertificate(ScsSensor* sensor, uint32_t* outLength, uint32_t* outSecond, uint8_t* certificate256,
                               uint8_t* signature256);
TcsResult GetOwnershipInfo(ScsSensor* sensor, uint16_t* outA, uint16_t* outB);

// The sensor's unique id; its second u16 being non-zero marks a cached copy valid.
typedef struct ScsSensorUid {
    uint16_t first;
    uint16_t second;
    uint8_t uid[16];
} ScsSensorUid;

// The cached id, else the chip's own (Selkin chips), else one derived from the serial (and, on
// secured sensors, the pairing material); a derived id is cached with the device.
TcsResult scsSensorGetCachedUID(ScsSensor* sensor, ScsSensorUid* out);
// Drops what is kept per device here (cached id, PEK flag): called when the device record goes.
void scsSensorForgetSecurityState(ScsSensorDevice* device);

// PEK security: on for Selkin-secure and RSA-secured sensors, and for AES-secured ones unless the
// application is "DuzodarOrodu"; off otherwise. The flag stays with the device until set again.
TcsResult scsSensorDeterminePEKCapability(ScsSensor* sensor, const char* applicationName);
// 1 when on, 0 when off; the device look-up's failure otherwise.
TcsResult scsSensorIsPEKSecurityEnabled(ScsSensor* sensor);

// Runs a protected command under the secure-retry rule: on a Selkin-secure device a chip session
// key first, and one retry with a fresh key unless the command succeeded or answered 367.
typedef TcsResult (*ScsProtectedCommand)(ScsSensor* sensor, void* context);
TcsResult scsSensorRunProtected(ScsSensor* sensor, ScsProtectedCommand command, void* context);

// Removes "RAW" and then "AfterTakeOwner" from the sensor's settings section; the first failure is
// the result.
TcsResult scsDeleteRawPartitionFromPersistentStorage(ScsSensor* sensor);

// Saves the open raw partition: mode 0 into the settings store, 1 onto the sensor's flash, 2 both.
// 40 without a version record, 375 when the raw partition is not open.
enum { SCS_RAW_SAVE_STORE = 0, SCS_RAW_SAVE_PROGRAM = 1, SCS_RAW_SAVE_BOTH = 2 };
TcsResult scsSerializeRawPartition(ScsSensor* sensor, uint32_t mode);
// Restores the settings copy into a freshly made raw partition (out flag 1), or, with none kept,
// opens the partition from the sensor (out flag 0); the partition stays open on success.
TcsResult scsDeSerializeRawPartition(ScsSensor* sensor, uint32_t* outFound);

// The protected commands: each runs under the secure-retry rule. Authentication data with a
// non-zero patch selector is fetched between the authentication patch and the run patch, match
// verify between the secure-match patch and the run patch.
TcsResult scsSensorGetAuthData(ScsSensor* sensor, const uint8_t* a, uint32_t aLength, const uint8_t* b,
                               uint32_t bLength, uint8_t** outData, uint32_t* outLength, uint32_t patchSelector);
TcsResult scsSensorDecVerifyTemplateData(ScsSensor* sensor, uint16_t length, const uint8_t* data,
                                         uint32_t secondLength, const uint8_t* second, const uint8_t* value32,
                                         uint8_t* outFirst, uint32_t* inOutFirst, uint8_t* outSecond,
                                         uint32_t* inOutSecond);
TcsResult scsSensorSignEncTemplateData(ScsSensor* sensor, uint32_t aLength, const uint8_t* a, uint32_t bLength,
                                       const uint8_t* b, uint8_t* outData, uint32_t* inOutCapacity);
TcsResult scsSensorMatchVerify(ScsSensor* sensor, uint16_t length, const uint8_t* data, const uint8_t* value32,
                               uint8_t* outData, uint32_t* inOutCapacity);

// Raw partition image as saved under "RAW": "EAT", kind '!' (0x10000 bytes, firmware 4.21) or '"'
// (4096 bytes). The number of bytes a save takes from an image of imageSize bytes: 3840 on Brellow
// sensors, 4096 on 4.40, otherwise 0x10000; with a last raw record, 256 when its type is 255, else
// up to 256 bytes past its end; never more than the image holds.
// Kind byte and size of the raw partition: '!' and 0x10000 on firmware 4.21, else '"' and 4096
// (Brellow sensors always the latter).
void scsRawPartitionKind(uint32_t brellow, uint8_t major, uint8_t minor, uint8_t* outKind, uint32_t* outSize);
// Checks a saved image before it is restored: 17 when larger than the partition, 374 when it does
// not begin with "EAT" and the partition's kind byte.
TcsResult scsRawPartitionCheckSaved(const uint8_t* saved, uint32_t savedSize, uint8_t kind, uint32_t partitionSize);
uint32_t scsRawPartitionSaveSize(uint32_t imageSize, uint32_t brellow, uint8_t major, uint8_t minor,
                                 uint32_t haveLastRecord, uint8_t lastType, uint32_t lastAddress,
                                 uint32_t lastLength);

#ifdef __cplusplus
}
#endif
