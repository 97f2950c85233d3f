// Test harness: a swipe model stream fed through record feeding into a reconstruction set up the
// way the driver's open step sets it up for flex 14, and the ground truth to compare with.
#pragma once

#include "sim/swipe/swipe_model.h"
#include "tcs/imaging/reconstruction/feed.h"
#include "tcs/imaging/reconstruction/recon_control.h"

#include <memory>
#include <string>
#include <vector>

namespace recon_test {

inline constexpr uint32_t kDefaultCfg = 0x010B3F5B;
inline constexpr uint32_t kRealTimeCfg = kDefaultCfg & ~0x2000u & ~0x800u;
inline constexpr uint32_t kPersistentBytes = 0x30000;
inline constexpr uint32_t kCapacity = 420 * 200;
inline constexpr uint32_t kAspBytes = 160000;

const swipe_model::GreyImage& fingerImage();
swipe_model::GreyImage tallRidges(uint32_t height);

struct Recon {
    explicit Recon(uint32_t cfg, uint16_t flexId = 14, uint8_t direction = 2);
    TcsResult init();
    // Feeds the stream in buffers of [minCut, maxCut] bytes; returns the first failing result.
    TcsResult feed(const std::vector<uint8_t>& stream, uint32_t seed, uint32_t minCut, uint32_t maxCut);
    TcsResult finish();
    IrReconState* state() { return irStateOf(persistent.data()); }

    uint32_t cfg;
    uint8_t direction;
    const FlexInfoRecord* flex;
    std::vector<uint8_t> persistent, volatileArea, image, asp, frame, unpacked;
    uint8_t* aspCell = nullptr;
    IrGeometry geometry{};
    IrCaptureOptions options{};
    IrEventRecord events{};
    std::vector<uint16_t> eventIds;
    std::unique_ptr<LineUnpackMap> map;
    IrDliInstance instance{};
    uint32_t done = 0;
};

// Loads the model's time-slot table into the harness's unpack map and instance.
bool attachModel(Recon& r, const swipe_model::SwipeModel& model);

struct Truth {
    double rows;          // finger rows between the oldest and newest line used
    double correlation;   // mean over output rows of the best local NCC with the finger
};
Truth compareWithTruth(Recon& r, const swipe_model::SwipeModel& model);

}  // namespace recon_test
