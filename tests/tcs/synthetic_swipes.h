// Synthetic fingers swiped over the swipe model's module (flex id 14): the streams the virtual sensor
// sends for the capturing flows' tests and benchmarks.
#pragma once

#include "sim/finger/finger.h"
#include "sim/swipe/swipe_model.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace synthswipe {

// Impression `take` of finger `finger`, width x height at 500 ppi. Placements of one finger on a
// swipe sensor differ little: the guide keeps it straight and centred.
inline swipe_model::GreyImage impression(int finger, int take, int width, int height) {
    static std::mutex lock;
    static std::map<int, simfinger::Finger> masters;  // a finger takes a moment to grow
    simfinger::ImpressionParams p = simfinger::randomImpressionParams(uint64_t(5000 + 31 * finger + take));
    p.contact = {};
    p.rotation *= 0.3;
    p.dx *= 0.3;
    p.dy = 0;
    simfinger::Impression im;
    {
        std::lock_guard<std::mutex> hold(lock);
        auto found = masters.find(finger);
        if (found == masters.end()) {
            found = masters.emplace(finger, simfinger::makeMasterFinger(uint64_t(700 + finger))).first;
        }
        im = simfinger::renderImpression(found->second, p, width, height, 500);
    }
    return swipe_model::GreyImage{uint32_t(im.width), uint32_t(im.height), im.image};
}

// The swipe of that impression: 520 lines over a finger 560 rows long.
inline std::vector<uint8_t> swipe(int finger, int take) {
    swipe_model::SwipeConfig config;
    config.noiseSigma = 2;
    config.seed = uint32_t(17 + take);
    return swipe_model::SwipeModel(impression(finger, take, 300, 560), config).stream(0, 520);
}

// The configuration reply's timeslot words of the module.
inline std::vector<uint32_t> timeslotWords() {
    return swipe_model::SwipeModel(swipe_model::syntheticRidges(300, 500, 9, 150, 150), {}).timeslotWords();
}

}  // namespace synthswipe
