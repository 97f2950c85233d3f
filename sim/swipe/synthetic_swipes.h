// Synthetic fingers swiped over the swipe model's module (flex id 14): the streams the virtual sensor
// sends for the capturing flows' tests, benchmarks and the demo.
#pragma once

#include "sim/swipe/grey_image.h"

#include <cstdint>
#include <vector>

namespace synthswipe {

// Impression `take` of finger `finger`, width x height at 500 ppi. Placements of one finger on a
// swipe sensor differ little: the guide keeps it straight and centred. Safe from any thread.
swipe_model::GreyImage impression(int finger, int take, int width, int height);

// The swipe of that impression: 520 lines over a finger 560 rows long.
std::vector<uint8_t> swipe(int finger, int take);

// The configuration reply's timeslot words of the module.
std::vector<uint32_t> timeslotWords();

}  // namespace synthswipe
