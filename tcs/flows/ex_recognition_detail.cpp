// What the recognising flows share: the image progress, the application a flow works for, and its
// matcher.
#include "tcs/flows/ex_recognition_detail.h"

#include "platform/crypto/crypto.h"
#include "tcs/flows/ex_detail.h"
#include "tcs/matching/matcher_client.h"
#include "tcs/sensorctl/ownership/secure_storage.h"

#include <cstring>

namespace {
constexpr uint32_t kMd5 = 2;
}  // namespace

namespace exflows {

void reportImage(ExProgressCallback callback, void* context, TcsHandle image, bool withCopy) {
    TcsHandle copy = 0;
    if (withCopy && tcsImageClone(image, &copy) == TCS_RESULT_OK) {
        report(callback, context, 0, TCS_EX_PROGRESS_IMAGE, 0, &copy, sizeof copy);
        tcsHandleDestroy(copy);
        return;
    }
    report(callback, context, 0, TCS_EX_PROGRESS_IMAGE, 0, nullptr, 0);
}

TcsResult prepareApplication(SensorRecord* sensor, const DssAppStorage* storage, uint8_t digest[16]) {
    const TcsResult result = scsSensorDeterminePEKCapability(sensor->sensorControlSensor, storage->name);
    if (result != TCS_RESULT_OK) return result;
    const uint32_t length = uint32_t(strnlen(storage->name, sizeof storage->name));
    return palCryptoDigest(reinterpret_cast<const uint8_t*>(storage->name), length, digest, kMd5);
}

TcsResult openMatcherFor(SensorRecord* sensor, uint32_t matcherId, TcsHandle* outMatcher) {
    if (sensor->client == nullptr) return TCS_RESULT_NULL_CLIENT_HANDLE;
    return tcsMatcherOpen(handleOf(sensor->client, TCS_HANDLE_TYPE_CLIENT), matcherId, outMatcher);
}

}  // namespace exflows
