// Swipe model: finger image to scan-line records, time-slot area and baseline lines.
#include "sim/swipe/swipe_model.h"

#include "tcs/imaging/reconstruction/pixel_layouts.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace swipe_model {

namespace pl = pixel_layouts;

namespace {

constexpr uint32_t kFirstEntryWord = 2;
constexpr uint32_t kControlWord = 374;
constexpr uint32_t kBankWords[4] = {417, 433, 449, 465};
constexpr uint8_t kUnusedBanks[2] = {6, 7};
constexpr uint16_t kNoPixel = 0x1FF;
constexpr uint8_t kMixedWidths[4] = {8, 6, 5, 7};
constexpr uint32_t kHeaderBytes = 8;

// The modules' own wiring facts (bank ids and polarities); the layouts are the shared identity tables.
const ModuleDescription kModules[] = {
    {14, 0, 1, 200, pl::PriPixelLayout_530.data(), 1, 0, pl::SecPixelLayout_530.data(), pl::SecToPriMap_530.data()},
    {58, 0, 1, 200, pl::PriPixelLayout_540.data(), 1, 0, pl::SecPixelLayout_540.data(), pl::SecToPriMap_540.data()},
    {92, 0, 1, 200, pl::PriPixelLayout_540.data(), 1, 0, pl::SecPixelLayout_540.data(), pl::SecToPriMap_540.data()},
    {59, 0, 1, 160, pl::PriPixelLayout_59.data(), 1, 0, pl::SecPixelLayout_59.data(), pl::SecToPriMap_59.data()},
    {19, 0, 1, 200, pl::PriPixelLayout_TFS6xx_12A.data(), 1, 0, pl::SecPixelLayout_TFS6xx_12A.data(),
     pl::SecToPriMap_TFS6xx_12A.data()},
    {98, 1, 1, 193, pl::PriPixelLayout_TFS7xx_23A.data(), 0, 1, pl::SecPixelLayout_TFS7xx_23A.data(),
     pl::SecToPriMap_TFS7xx_23A.data()},
    {93, 0, 1, 160, pl::PriPixelLayout_TFS7xx_17A.data(), 1, 0, pl::SecPixelLayout_TFS7xx_17A.data(),
     pl::SecToPriMap_TFS7xx_17A.data()},
    {72, 1, 1, 200, pl::PriPixelLayout_TFS6xx_22B.data(), 0, 1, pl::SecPixelLayout_TFS6xx_22B.data(),
     pl::SecToPriMap_TFS6xx_22B.data()},
    {55, 0, 1, 200, pl::PriPixelLayout_TFS7xx_30A_31A.data(), 1, 0, pl::SecPixelLayout_TFS7xx_30A_31A.data(),
     pl::SecToPriMap_TFS7xx_30A_31A.data()},
    {26, 0, 1, 200, pl::PriPixelLayout_TFS7xx_30A_31A.data(), 1, 0, pl::SecPixelLayout_TFS7xx_30A_31A.data(),
     pl::SecToPriMap_TFS7xx_30A_31A.data()},
    {32, 1, 1, 144, pl::PriPixelLayout_TFS7xx_41A.data(), 0, 0, pl::SecPixelLayout_TFS7xx_41A.data(),
     pl::SecToPriMap_TFS7xx_41A.data()},
    {131, 0, 0, 160, pl::PriPixelLayout_TFS701_40A.data(), 1, 0, pl::SecPixelLayout_TFS701_40A.data(),
     pl::SecToPriMap_TFS701_40A.data()},
};

uint8_t toByte(double v) { return uint8_t(v < 0 ? 0 : (v > 255 ? 255 : std::lround(v))); }

}  // namespace

const ModuleDescription* findModule(uint16_t flexId) {
    for (const ModuleDescription& m : kModules) {
        if (m.flexId == flexId) return &m;
    }
    return nullptr;
}

SwipeModel::SwipeModel(const GreyImage& finger, const SwipeConfig& config)
    : finger_(finger), config_(config), module_(findModule(config.flexId)) {
    if (module_ == nullptr) return;
    // The sensor scans its pixels in pixel-number order, whichever bank they belong to.
    uint32_t k = 0;
    for (uint16_t pixel = 0; pixel < kNoPixel; ++pixel) {
        int column = -1;
        uint8_t selector = 0;
        for (uint16_t i = 0; i < module_->primaryCount && column < 0; ++i) {
            if (module_->primaryPixels[i] == pixel) column = i;
        }
        for (uint16_t i = 0; i < kSecondaryPixels && column < 0; ++i) {
            if (module_->secondaryPixels[i] == pixel) {
                column = module_->primaryCount + i;
                selector = 1;
            }
        }
        if (column < 0) continue;
        const uint8_t width = config_.sampleWidth != 0 ? config_.sampleWidth : kMixedWidths[k % 4];
        order_.push_back({pixel, uint16_t(column), selector, width});
        ++k;
    }
    columnOrigin_ = (double(finger_.width) - module_->primaryCount) / 2.0;
    if (config_.profile == SpeedProfile::StickThenJump && config_.stickSlipEvery > 0) {
        heldSteps_.assign(config_.stickLines, 0.0);
        heldRoll_.assign(config_.stickLines + 1, 0.0);
        const uint32_t period = config_.stickSlipEvery + config_.stickSlipLines;
        double direction = 1;
        for (uint32_t k = 0; k < config_.stickLines; ++k) {
            const bool slipping = k % period >= config_.stickSlipEvery;
            if (slipping) heldSteps_[k] = config_.stickSlipRowsPerLine;
            if (k % period == config_.stickSlipEvery) direction = -direction;
            heldRoll_[k + 1] = heldRoll_[k] + (slipping ? 0 : direction * config_.stickRollPerLine);
        }
    }
    commonWidth_ = order_.empty() ? 0 : order_[0].width;
    for (const Sample& o : order_) {
        if (o.width != commonWidth_) commonWidth_ = 0;
    }
}

std::vector<uint32_t> SwipeModel::timeslotWords() const {
    std::vector<uint32_t> words(kConfigReplyWords, 0);
    if (!valid()) return words;
    uint32_t w = kFirstEntryWord;
    for (size_t k = 0; k < order_.size(); ++k) {
        // Idle slots the firmware leaves in its schedule: an unused pixel and a zero-width slot.
        if (k % 64 == 10) words[w++] = kNoPixel | (8u << 26);
        if (k % 64 == 40) words[w++] = 17u | (2u << 21);
        const Sample& s = order_[k];
        words[w++] = s.pixel | (uint32_t(s.bankSelector) << 21) | (uint32_t(s.width) << 26);
    }
    words[kControlWord] = (kFirstEntryWord + 1) | ((w + 1) << 9);
    words[kBankWords[0]] = module_->primaryBank;
    words[kBankWords[1]] = module_->secondaryBank;
    words[kBankWords[2]] = kUnusedBanks[0];
    words[kBankWords[3]] = kUnusedBanks[1];
    return words;
}

uint32_t SwipeModel::effectiveWidth(const Sample& s) const {
    // The line's width applies to every sample when it is 4 or 8; other widths cap each sample.
    const int common = commonWidth_;
    int line = config_.headerWidth != 0 ? config_.headerWidth : common;
    if (config_.headerWidth != 0 && common > 0 && line > common) line = common;
    if (line == 4 || line == 8) return uint32_t(line);
    return line > 0 && uint32_t(line) < s.width ? uint32_t(line) : s.width;
}

uint32_t SwipeModel::recordBytes() const {
    uint32_t bits = 0;
    for (const Sample& s : order_) bits += effectiveWidth(s);
    return (kHeaderBytes + (bits + 7) / 8 + 15) & ~15u;
}

double SwipeModel::rowAt(uint32_t line) const {
    double row = config_.startRow;
    for (uint32_t t = 0; t < line; ++t) {
        double v = config_.rowsPerLine;
        switch (config_.profile) {
            case SpeedProfile::Constant: break;
            case SpeedProfile::Accelerating: v = config_.rowsPerLine + config_.acceleration * t; break;
            case SpeedProfile::StickThenJump:
                if (t >= config_.stickStart && t < config_.stickStart + config_.stickLines) {
                    v = heldSteps_.empty() ? 0 : heldSteps_[t - config_.stickStart];
                } else if (t >= config_.stickStart + config_.stickLines &&
                           t < config_.stickStart + config_.stickLines + config_.jumpLines) {
                    v = config_.jumpRowsPerLine;
                }
                break;
        }
        row += v;
    }
    return row;
}

double SwipeModel::driftAt(uint32_t line) const {
    double drift = config_.driftPerLine * line;
    if (!heldRoll_.empty() && line > config_.stickStart) {
        drift += heldRoll_[std::min(line - config_.stickStart, config_.stickLines)];
    }
    if (config_.profile == SpeedProfile::StickThenJump && config_.stickRock > 0 && line > config_.stickStart &&
        line <= config_.stickStart + config_.stickLines) {
        std::mt19937 rng(config_.seed * 2654435761u + line);
        drift += std::uniform_real_distribution<double>(-config_.stickRock, config_.stickRock)(rng);
    }
    return drift;
}

std::vector<uint8_t> SwipeModel::linePixels(uint32_t line) const {
    std::vector<uint8_t> out;
    if (!valid()) return out;
    const uint32_t primary = module_->primaryCount;
    out.resize(primary + kSecondaryPixels);
    std::mt19937 rng(config_.seed * 1000003u + line);
    std::normal_distribution<double> noise(0.0, config_.noiseSigma > 0 ? config_.noiseSigma : 1.0);
    const double y = rowAt(line), dx = driftAt(line);
    auto read = [&](double column, double row, uint8_t polarity) {
        double v = finger_.sample(columnOrigin_ + column + dx, row);
        if (config_.contrast != 1.0) v = 255 - config_.contrast * (255 - v);
        if (config_.noiseSigma > 0) v += noise(rng);
        const uint8_t b = toByte(v);
        return polarity == 1 ? uint8_t(255 - b) : b;
    };
    for (uint32_t c = 0; c < primary; ++c) out[c] = read(c, y, module_->primaryPolarity);
    for (uint32_t i = 0; i < kSecondaryPixels; ++i) {
        out[primary + i] = read(module_->secondaryColumns[i], y + kSecondaryRowOffset, module_->secondaryPolarity);
    }
    return out;
}

std::vector<uint8_t> SwipeModel::expectedUnpacked(uint32_t line) const {
    std::vector<uint8_t> pixels = linePixels(line);
    for (const Sample& s : order_) {
        const uint32_t w = effectiveWidth(s);
        pixels[s.column] = uint8_t((pixels[s.column] >> (8 - w)) << (8 - w));
    }
    return pixels;
}

std::vector<uint8_t> SwipeModel::pack(const std::vector<uint8_t>& columns, uint16_t time, uint8_t flags) const {
    std::vector<uint8_t> out(recordBytes(), 0);
    out[0] = 1;
    out[1] = config_.marker;
    out[2] = uint8_t(time);
    out[3] = uint8_t(time >> 8);
    out[6] = uint8_t((config_.headerWidth & 0x0F) | flags);
    uint32_t bit = 0;
    for (const Sample& s : order_) {
        const uint32_t w = effectiveWidth(s);
        const uint32_t value = columns[s.column] >> (8 - w);
        for (uint32_t j = 0; j < w; ++j, ++bit) {
            if ((value >> j) & 1) out[kHeaderBytes + bit / 8] |= uint8_t(1u << (bit % 8));
        }
    }
    return out;
}

std::vector<uint8_t> SwipeModel::record(uint32_t line) const {
    if (!valid()) return {};
    const uint16_t time = uint16_t(config_.startTime + uint32_t(config_.ticksPerLine) * line);
    return pack(linePixels(line), time, 0);
}

std::vector<uint8_t> SwipeModel::stream(uint32_t first, uint32_t count) const {
    std::vector<uint8_t> out;
    for (uint32_t line = first; line < first + count; ++line) {
        const std::vector<uint8_t> r = record(line);
        out.insert(out.end(), r.begin(), r.end());
    }
    return out;
}

std::vector<uint8_t> SwipeModel::baselinePixels(uint32_t line, double noiseSigma, uint32_t seed) const {
    std::vector<uint8_t> out;
    if (!valid()) return out;
    std::mt19937 rng(seed * 7919u + line);
    std::normal_distribution<double> noise(0.0, noiseSigma > 0 ? noiseSigma : 1.0);
    out.resize(module_->primaryCount + kSecondaryPixels);
    for (const Sample& s : order_) {
        // Each pixel's fixed offset: a slow wave across the array plus a per-pixel step.
        double v = 120.0 + 25.0 * std::sin(s.column * 0.05) + 4.0 * (s.pixel % 5);
        if (noiseSigma > 0) v += noise(rng);
        out[s.column] = toByte(v);
    }
    return out;
}

std::vector<uint8_t> SwipeModel::baselineStream(uint32_t count, double noiseSigma, uint32_t seed) const {
    std::vector<uint8_t> out;
    for (uint32_t line = 0; line < count; ++line) {
        const std::vector<uint8_t> r =
            pack(baselinePixels(line, noiseSigma, seed), uint16_t(config_.startTime + config_.ticksPerLine * line), 0);
        out.insert(out.end(), r.begin(), r.end());
    }
    return out;
}

std::vector<std::vector<uint8_t>> SwipeModel::cutIntoBuffers(const std::vector<uint8_t>& stream, uint32_t seed,
                                                             uint32_t minBytes, uint32_t maxBytes) {
    std::vector<std::vector<uint8_t>> buffers;
    std::mt19937 rng(seed);
    if (minBytes == 0) minBytes = 1;
    if (maxBytes < minBytes) maxBytes = minBytes;
    std::uniform_int_distribution<uint32_t> size(minBytes, maxBytes);
    for (size_t at = 0; at < stream.size();) {
        const size_t n = std::min<size_t>(size(rng), stream.size() - at);
        buffers.emplace_back(stream.begin() + at, stream.begin() + at + n);
        at += n;
    }
    return buffers;
}

}  // namespace swipe_model
