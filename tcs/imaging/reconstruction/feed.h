// Scan-line feeding: finding scan-line records in the sensor's byte stream (cut into buffers
// anywhere), unpacking them, feeding the reconstruction and deciding that the swipe has ended.
#pragma once

#include "tcs/imaging/reconstruction/recon_state.h"
#include "tcs/imaging/reconstruction/scan_line.h"
#include "tcs/result.h"

#include <stdint.h>

// The carry holds the start of a record that a buffer could not complete: any record size that
// the size check accepts fits.
inline constexpr uint32_t kMaxRecordBytes = 1000;
inline constexpr uint32_t kPrependedRecordBytes = 144;

enum : uint32_t {
    kUserEventOpened = 0,
    kUserEventLine = 1,
    kUserEventPrependedRaw = 2,
    kUserEventPrependedLines = 3,
    kUserEventFingerGone = 6,
    kUserEventSwipeEnded = 8,
    kUserEventClosed = 9,
};

struct IrDliUserEvent {
    uint32_t id;
    uint32_t zero;
    void* context;
    void* data;  // {u32 size, data pointer} where the event carries data
};
struct IrDliEventData {
    uint32_t size;
    const void* data;
};
// A non-zero status written by the callback fails the operation that raised the event.
typedef void (*IrDliUserCallback)(IrDliUserEvent* event, uint32_t* status);

// The part of the reconstructor instance the feeding works on; the driver's open step fills it.
struct IrDliInstance {
    const FlexInfoRecord* flex;
    IrReconState* state;          // at the start of the persistent scratch
    const LineUnpackMap* unpackMap;
    uint8_t* unpackedLine;
    uint32_t unpackedLineBytes;
    uint32_t recordBytes;         // L: the print command's scan-line record size
    uint32_t trailerType;         // 0, 1 or 3
    IrDliUserCallback callback;
    void* callbackContext;
    uint32_t stateWord;           // 0 feeding, 1 swipe ended
    uint32_t lowVarianceRun;
    uint32_t varianceCounter;
    uint32_t carryCount;
    uint32_t carrySearch;
    uint8_t carry[kMaxRecordBytes];
};

TcsResult irDliRTHarlokData(IrDliInstance* instance, const uint8_t* data, uint32_t length, uint32_t* done,
                            LineTrailerRecord* trailer);
TcsResult irDliRTHarlokPrependedData(IrDliInstance* instance, const uint8_t* data, uint32_t length, uint32_t* done,
                                     LineTrailerRecord* trailer);
// Refreshes a trailer record from one raw record (U: the unpack map's pixel count).
void irRefreshTrailer(LineTrailerRecord* trailer, const uint8_t* record, uint32_t recordLength, uint32_t pixelCount);
