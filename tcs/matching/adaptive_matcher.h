// Adaptive matcher: the "ARUS" container of up to eight native views and the helpers its matching and
// enrolment use, offered for the wrapper's own files and its tests.
#pragma once

#include "tcs/matching/mss.h"

#include <cstdint>

namespace mss {

constexpr uint32_t kAdaptiveDataSize = 10112;
constexpr uint32_t kAdaptiveHeader = 16;
constexpr uint32_t kViewHeader = 12;
constexpr uint32_t kMaxViews = 8;

// The native matcher a wrapper drives (null for a record without adaptive state).
MatcherRecord* adaptiveInner(MatcherRecord* wrapper);

// Quality rank of an image from its quality flags and rows, 0..255.
uint32_t adaptiveRankQuality(uint32_t quality, uint32_t rows);
// True when the image is too short (at 508 ppi) for an enrolment or flagged with bit 21.
bool adaptiveRejectEnrollImage(const ImageRecord* image, uint32_t minimumHeight);
// 3 when the window is open (recent enough and not updated too often); bit 1 time, bit 0 count.
uint32_t checkIfEnrollmentWindowOpen(uint32_t updates, uint32_t maximumUpdates, uint32_t window, uint32_t time,
                                     uint32_t now);

// A new container (data size 10112, the given template type) holding the native data as its one view.
TcsResult adaptiveWrap(const uint8_t* data, uint32_t size, uint32_t templateType, uint32_t rows, uint32_t quality,
                       uint32_t time, EnrollTemplate** outContainer);
// Appends a view: 5 when it no longer fits, 7 when the container has eight views.
TcsResult addEnrollmentToContainer(EnrollTemplate* container, const uint8_t* data, uint32_t size, uint32_t rows,
                                   uint32_t quality);

// A view of a container, as found by walking it within its data size.
struct ContainerView {
    const uint8_t* data;  // the native template bytes
    uint32_t size;        // view size - 12
};
// The views of a valid container (magic, version 1, sizes within the data); false otherwise.
bool containerViews(const EnrollTemplate* templ, ContainerView* views, uint32_t* count);

}  // namespace mss
