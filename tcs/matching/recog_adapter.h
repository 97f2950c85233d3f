// Matcher 4 over the recognition engine: the conversions it offers beside its operation table.
#pragma once

#include "engines/recognition/recog.h"
#include "tcs/matching/mss.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// An ANSI/INCITS 381 finger image record of the image (big-endian fields, last image row first):
// 40 for a null image, an image without data or a null out pointer; 2 without memory.
TcsResult tcsImageToAnsi381(ImageRecord* image, uint8_t** outRecord, uint32_t* outSize);
void FreeAnsi381Image(uint8_t* record);
// A probe feature set of the image (its record's greys stretched to the full range) in the engine's
// own format, imported again; 7 on engine failure.
TcsResult tcsImageToRecogFeatureHandle(RecogHandle context, ImageRecord* image, RecogHandle* outFeatureSet);
// Orders match-result pointers by score, highest first; equal scores keep their order.
void sortMatchResults(MatchResult** results, uint32_t count);

#ifdef __cplusplus
}

namespace mss {
// The 0..3000 score of a false-match probability (0x7FFFFFFF = 1.0), and its table index.
uint32_t recogScoreIndex(uint32_t probability);
uint32_t recogScore(uint32_t probability);
}  // namespace mss
#endif
