// Fuzzes the blob-file reader: the input, less its first byte, is written as a template file of a
// small in-memory store and read back, with a cipher when the first byte is odd. The reader must
// accept or refuse it without a crash, and every blob it keeps must pass its CRC check.
#include "tcs/database/dss_store.h"
#include "tcs/handle_map.h"
#include "tests/tcs/flashfs/fuzz/fuzz_store.h"

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

namespace {

FssHandle* store() {
    static FssHandle* h = nullptr;
    if (h == nullptr) {
        fuzzstore::gFlash.assign(fuzzstore::kStore, 0xFF);
        h = fuzzstore::newHandle();
        fssFormat(h);
        fssMkdir(h, "/d");
    }
    return h;
}

const uint8_t kKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

}  // namespace

// Beyond the file system's stand-ins: an XOR stream for the cipher (the reader's handling of pad
// byte, IV and lengths is what is fuzzed here), locks that do nothing, and no sensors.
extern "C" {
static TcsResult xorStream(const uint8_t* in, uint32_t length, uint8_t* out, const uint8_t* iv) {
    for (uint32_t i = 0; i < length; ++i) out[i] = in[i] ^ iv[i % 16];
    return TCS_RESULT_OK;
}
TcsResult palCryptoEncrypt(const uint8_t* in, uint32_t length, uint8_t* out, uint32_t*, const uint8_t*, uint32_t,
                           uint8_t* iv, uint32_t) {
    return xorStream(in, length, out, iv);
}
TcsResult palCryptoDecrypt(const uint8_t* in, uint32_t length, uint8_t* out, uint32_t*, const uint8_t*, uint32_t,
                           uint8_t* iv, uint32_t) {
    return xorStream(in, length, out, iv);
}
TcsResult palCryptoRng(uint8_t* buffer, uint32_t length) {
    memset(buffer, 0x5A, length);
    return TCS_RESULT_OK;
}
TcsResult palCryptoDigest(const uint8_t*, uint32_t, uint8_t* out, uint32_t) {
    memset(out, 0, 32);
    return TCS_RESULT_OK;
}
TcsResult palCriticalSectionInitialize(PalMutexHandle* out) {
    *out = reinterpret_cast<PalMutexHandle>(malloc(1));
    return TCS_RESULT_OK;
}
TcsResult palCriticalSectionAcquire(PalMutexHandle) { return TCS_RESULT_OK; }
TcsResult palCriticalSectionRelease(PalMutexHandle) { return TCS_RESULT_OK; }
TcsResult palCriticalSectionFree(PalMutexHandle section) {
    free(section);
    return TCS_RESULT_OK;
}
TcsResult tcsSensorOpenA(TcsHandle, const char*, TcsHandle*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult tcsSensorClose(TcsHandle) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult tcsSafeHandleReverseFetch(void*, HandleType, uint64_t*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult tcsSafeSensorHandleFetch(uint64_t, void**) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult tcsSafeExHandleDestroy(void* object, HandleType) {
    free(object);
    return TCS_RESULT_OK;
}
TcsResult scsSensorIsBrellow(ScsSensor*) { return 0; }
TcsResult scsSensorFreeDecTemplatesList(ScsSensor*, void*) { return TCS_RESULT_OK; }
TcsResult scsSensorValidate(ScsSensor*) { return TCS_RESULT_OK; }
TcsResult scsSensorDeviceReplace(ScsSensor*, const char*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult _tcsSensorSetLastIdentificationCtx(SensorRecord*, const void*, uint32_t) { return TCS_RESULT_OK; }
TcsResult dssSubsystemPostStartup(CoreSubsystem*, DssSubsystem*) { return TCS_RESULT_OK; }
}  // extern "C"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    FssHandle* h = store();
    FssFile* file = nullptr;
    if (fssFileOpen(h, "/d/0.tpl", "wb", &file) != TCS_RESULT_OK) return 0;
    uint32_t written = 0;
    if (size > 1) fssFileWrite(data + 1, 1, uint32_t(size - 1), file, &written);
    if (fssFileClose(file) != TCS_RESULT_OK) return 0;
    if (fssFileOpen(h, "/d/0.tpl", "rb", &file) != TCS_RESULT_OK) return 0;
    const DssBlobCipher cipher{1, 5, 16, kKey, 16};
    DssTemplate templ{};
    const TcsResult result = sensorDB_deserialize(file, &templ, DSS_OBJECT_TEMPLATE, (data[0] & 1) != 0 ? &cipher : nullptr);
    fssFileClose(file);
    for (DssDataBlob* blob = templ.blobs; blob != nullptr; blob = blob->next) {
        if (checkBlobDataIntegrity(dssBlobBytes(blob), &blob->storedLength) != TCS_RESULT_OK) abort();
    }
    (void)result;
    sensorDB_FreeDataBlobs(&templ.blobs);
    return 0;
}
