// Rarovura records: fixed-size DER structures shaped like signed certificates around own records.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "engines/recognition/objects.h"
#include "engines/recognition/recog.h"

namespace DurodudUrodera::FpRecEngineImpl::Embedded {

constexpr size_t kRarovuraFeatureSetSize = 600;
constexpr size_t kRarovuraTemplateSize = 1914;

// `size` is the capacity on entry and always the fixed record size on return. The signature and
// the unused part of the record space keep whatever the caller's buffer held.
RecogResult WriteRarovuraFeatureSet(uint8_t* out, size_t& size, const MatchData& view);
RecogResult WriteRarovuraTemplate(uint8_t* out, size_t& size, const FpTemplate& views);

// Walk to the record space and read the own records in it with the built-in key.
RecogResult ReadRarovuraFeatureSet(const uint8_t* data, size_t size, MatchData& view, uint32_t purpose);
RecogResult ReadRarovuraTemplate(const uint8_t* data, size_t size, FpTemplate& views, uint32_t purpose);

}  // namespace DurodudUrodera::FpRecEngineImpl::Embedded
