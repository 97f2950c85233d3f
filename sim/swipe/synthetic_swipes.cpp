// Synthetic fingers swiped over the swipe model's module.
#include "sim/swipe/synthetic_swipes.h"

#include "sim/finger/finger.h"
#include "sim/swipe/swipe_model.h"

#include <map>
#include <mutex>

namespace synthswipe {

swipe_model::GreyImage impression(int finger, int take, int width, int height) {
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

std::vector<uint8_t> swipe(int finger, int take) {
    swipe_model::SwipeConfig config;
    config.noiseSigma = 2;
    config.seed = uint32_t(17 + take);
    return swipe_model::SwipeModel(impression(finger, take, 300, 560), config).stream(0, 520);
}

std::vector<uint32_t> timeslotWords() {
    return swipe_model::SwipeModel(swipe_model::syntheticRidges(300, 500, 9, 150, 150), {}).timeslotWords();
}

}  // namespace synthswipe
