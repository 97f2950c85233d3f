// The reconstructor interface: a record of nine operations through which image acquisition drives
// a reconstructor, and the real-time driver behind it over the reconstruction library.
#pragma once

#include "tcs/core.h"
#include "tcs/imaging/ids.h"
#include "tcs/imaging/reconstruction/feed.h"
#include "tcs/result.h"
#include "tcs/sensorctl/init/housekeeping.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// What an offline rebuild takes from a capture file in place of the sensor.
typedef struct IrDliOfflineData {
    uint32_t printCommand[5];  // [0] the scan-line record size, [2] the tick length
    const uint8_t* printParam;  // the print-parameter blob or NULL
    uint32_t printParamLength;
    const uint32_t* timeslotTable;  // the time-slot words (the whole configuration reply when known)
    uint32_t timeslotBytes;
    const uint8_t* calibrationLines;  // baseline lines kept with the calibration, or NULL
    uint32_t calibrationLineCount;
    uint32_t calibrationStride;
    const uint8_t* baselineLines;  // baseline lines of the capture file, or NULL
    uint32_t baselineLineCount;
    uint32_t baselineStride;
} IrDliOfflineData;

typedef struct IrDliOpenParams {
    IdsSensor* sensor;           // NULL for an offline rebuild
    ImageRecord* outputImage;    // NULL: the driver makes one
    uint32_t reserved2;          // the capture passes 2; not read
    uint32_t flexId;
    ImageRecord* aspImage;       // receives the raw swipe, or NULL
    uint32_t bitReduction[2];    // not read
    IrDliUserCallback userCallback;
    void* userContext;
    const ScsBaseLineInfo* baseline;
    const IrDliOfflineData* offline;
    uint32_t cfgInfoOverride;    // replaces "CfgInfo" when its top bit is set
    const char* debugPath;
} IrDliOpenParams;

typedef struct IrDliBuffer {
    const uint8_t* data;
    uint32_t length;
    uint32_t done;  // in: the caller's last buffer; out: 1 once the swipe has ended
} IrDliBuffer;

typedef struct ImageReconstructorInterface ImageReconstructorInterface;
struct ImageReconstructorInterface {
    uint32_t reserved;
    uint32_t timeBudget;    // ms
    uint32_t maxImageSize;  // pixel bytes of the largest image
    TcsResult (*Open)(void** outInstance, IrDliOpenParams* params);
    TcsResult (*Data)(void* instance, IrDliBuffer* buffer);
    TcsResult (*Close)(void* instance);
    TcsResult (*Service)(void* instance, uint32_t budgetMs);
    TcsResult (*Shutdown)(ImageReconstructorInterface* interface);
    TcsResult (*GetImage)(void* instance, ImageRecord** outImage, ImageRecord** outSecond);
    TcsResult (*GetInfo)(void* instance, uint32_t id, uint32_t* outValue);
    TcsResult (*SetInfo)(void* instance, uint32_t id, void* data);
    TcsResult (*PrependData)(void* instance, IrDliBuffer* buffer);
};

// AspMetrics: {size 72, kind (2 = liveness result), eight verdicts, eight confidences}, all u32.
typedef struct AspMetricsBlock {
    uint32_t size;
    uint32_t kind;
    uint32_t verdict[8];
    uint32_t confidence[8];
} AspMetricsBlock;

TcsResult irDliRTStartup(ImageReconstructorInterface* interface);
TcsResult irDliOpen(void** outInstance, IrDliOpenParams* params);
TcsResult irDliData(void* instance, IrDliBuffer* buffer);
TcsResult irDliPrependData(void* instance, IrDliBuffer* buffer);
TcsResult irDliService(void* instance, uint32_t budgetMs);
TcsResult irDliGetImage(void* instance, ImageRecord** outImage, ImageRecord** outSecond);
TcsResult irDliGetInfo(void* instance, uint32_t id, uint32_t* outValue);
TcsResult irDliSetInfo(void* instance, uint32_t id, void* data);
TcsResult irDliClose(void* instance);
TcsResult irDliShutdown(ImageReconstructorInterface* interface);
TcsResult IREventCallback(IrEventRecord* record, void* instance);

// Fills the image's ASP score and AspMetrics block from a liveness score (clamped to -1000..2000).
void irDliFillAspMetrics(ImageRecord* image, int32_t score);

#ifdef __cplusplus
}
#endif
