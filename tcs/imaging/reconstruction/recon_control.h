// Reconstruction control: set-up of the state in caller-given scratch, one scan line in, finishing
// the image, and stopping.
#pragma once

#include "tcs/imaging/reconstruction/recon_state.h"
#include "tcs/result.h"

#include <stdint.h>

inline constexpr uint32_t kEarlyAreaBytes = 7000;   // line buffers reused as scratch when finishing
inline constexpr uint32_t kRowMarkBytes = 512;
inline constexpr uint32_t kMinImageCapacity = 68608;
inline constexpr uint32_t kMinShortImageCapacity = 35624;
inline constexpr uint32_t kAspRingRows = 300;

// The state is placed at the start of the persistent scratch; see irStateOf.
TcsResult tcsInitIR(uint8_t* persistent, uint32_t persistentSize, uint8_t* volatileArea, uint32_t volatileSize,
                    uint8_t* image, uint32_t imageCapacity, IrCaptureOptions* options, IrGeometry* geometry,
                    uint32_t cfgInfo, uint8_t swipeDirection, IrEventSink sink, void* sinkContext,
                    IrEventRecord* eventRecord);
inline IrReconState* irStateOf(uint8_t* persistent) { return reinterpret_cast<IrReconState*>(persistent); }

TcsResult tcsResetIR(IrReconState* state);
// With a line: 1 when culled, else the per-line stage's result. Without: the quality result.
TcsResult tcsDoIR(IrReconState* state, uint8_t* line, const LineTrailerRecord* trailer);
TcsResult tcsStopIR(IrReconState* state);
TcsResult tcsSetIR(IrReconState* state);
// The liveness image: rows kept in a ring of 300 are moved to the start of the area.
TcsResult tcsReorderASPimage(IrReconState* state);
