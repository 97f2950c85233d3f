// What the recognising flows share: progress reports and the result of a capture that could not be had.
#pragma once

#include "tcs/database/dss_store.h"
#include "tcs/flows/ex_recognition.h"

namespace exflows {

inline void report(ExProgressCallback callback, void* context, uint32_t result, uint32_t id, uint32_t status,
                   void* data, uint32_t size) {
    EventRecord event{id, status, size, data};
    callback(result, context, &event);
}

// Progress 17: a copy of the image for a caller who asked for one (client parameter 10), else nothing.
void reportImage(ExProgressCallback callback, void* context, TcsHandle image, bool withCopy);

// A sensor still initialising or not completely open could not deliver a swipe.
inline TcsResult noSwipe(TcsResult result) {
    return result == TCS_RESULT_SENSOR_INITIALIZING || result == TCS_RESULT_SENSOR_NOT_COMPLETELY_OPEN
               ? TcsResult(TCS_RESULT_NO_SWIPE)
               : result;
}

// The sensor's PEK capability determined for the storage's application, and the MD5 of the
// application's name: the key of the sensor's decrypted templates.
TcsResult prepareApplication(SensorRecord* sensor, const DssAppStorage* storage, uint8_t digest[16]);

// A matcher of that id opened for the sensor's client.
TcsResult openMatcherFor(SensorRecord* sensor, uint32_t matcherId, TcsHandle* outMatcher);

}  // namespace exflows
