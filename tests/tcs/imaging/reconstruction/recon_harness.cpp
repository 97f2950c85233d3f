// Test harness for whole swipes: model stream in, reconstructed image out, compared with the finger.
#include "recon_harness.h"

#include "sim/finger/finger.h"

#include <cmath>
#include <cstring>

namespace recon_test {

const swipe_model::GreyImage& fingerImage() {
    // A synthetic finger, cut to the rows where it covers every column the sensor sees: swipes then
    // show ridges from end to end, as a finger pressed along the whole sensor does.
    static const swipe_model::GreyImage image = [] {
        const simfinger::Finger finger = simfinger::makeMasterFinger(7, simfinger::FingerClass::Whorl);
        simfinger::ImpressionParams params;
        params.noise = 2;
        const int width = 300, height = 560;
        const simfinger::Impression im = simfinger::renderImpression(finger, params, width, height, 508.0);
        swipe_model::GreyImage out;
        out.width = width;
        int first = -1, last = -1;
        for (int y = 0; y < im.height; ++y) {
            bool covered = true;
            for (int x = 40; x < width - 40 && covered; ++x) covered = im.mask[size_t(y) * width + x] != 0;
            if (covered && first < 0) first = y;
            if (covered) last = y;
        }
        if (first < 0) return swipe_model::syntheticRidges(300, 300, 9, 150, 150);
        out.height = uint32_t(last - first + 1);
        out.pixels.assign(im.image.begin() + size_t(first) * width, im.image.begin() + size_t(last + 1) * width);
        return out;
    }();
    return image;
}

swipe_model::GreyImage tallRidges(uint32_t height) {
    return swipe_model::syntheticRidges(300, height, 9, 140, height * 0.3);
}

namespace {
TcsResult sink(IrEventRecord* record, void* context) {
    static_cast<Recon*>(context)->eventIds.push_back(record->id);
    return TCS_RESULT_OK;
}
}  // namespace

Recon::Recon(uint32_t cfgWord, uint16_t flexId, uint8_t swipeDirection)
    : cfg(cfgWord), direction(swipeDirection), flex(dliFindFlexInfo(flexId)) {
    persistent.assign(kPersistentBytes, 0);
    volatileArea.assign(32, 0);
    image.assign(kCapacity, 0);
    asp.assign(kAspBytes, 0);
    frame.assign(kCapacity, 0);
    unpacked.assign(flexUnpackedLineBytes(flex), 0);
    aspCell = asp.data();
    geometry.size = sizeof(IrGeometry);
    geometry.headerBytes = 8;
    geometry.pixelBytes = flex->primaryCount;
    geometry.extraBytes = flex->secondaryCount;
    geometry.correctionWindowPos = flex->correctionWindowPos;
    geometry.lineBytes = 8 + flex->primaryCount + flex->secondaryCount;
    geometry.g1 = flex->geometry[0];
    geometry.tickLength = 100;
    geometry.g3 = flex->geometry[2];
    geometry.g2 = flex->geometry[1];
    geometry.polaritiesDiffer = flex->primaryPolarity != flex->secondaryPolarity;
    geometry.primaryPolarity = flex->primaryPolarity;
    options.size = sizeof(IrCaptureOptions);
    options.aspBufferSize = kAspBytes;
    options.aspPixelCell = &aspCell;
    options.frameBuffer = frame.data();
    options.frameBufferSize = kCapacity;
    options.analogResets = flex->analogResets;
    options.interpolRanges = flex->interpolRanges;
    events.size = sizeof(IrEventRecord);
    map = std::make_unique<LineUnpackMap>();
}

TcsResult Recon::init() {
    const TcsResult r = tcsInitIR(persistent.data(), uint32_t(persistent.size()), volatileArea.data(),
                                  uint32_t(volatileArea.size()), image.data(), uint32_t(image.size()), &options,
                                  &geometry, cfg, direction, sink, this, &events);
    instance.flex = flex;
    instance.state = state();
    instance.unpackMap = map.get();
    instance.unpackedLine = unpacked.data();
    instance.unpackedLineBytes = uint32_t(unpacked.size());
    return r;
}

bool attachModel(Recon& r, const swipe_model::SwipeModel& model) {
    const std::vector<uint32_t> words = model.timeslotWords();
    if (ProcessTimeslotTable(words.data(), 0, uint32_t(words.size() * 4), r.flex, r.map.get()) != 0) return false;
    r.instance.recordBytes = model.recordBytes();
    return true;
}

TcsResult Recon::feed(const std::vector<uint8_t>& stream, uint32_t seed, uint32_t minCut, uint32_t maxCut) {
    for (const auto& buffer : swipe_model::SwipeModel::cutIntoBuffers(stream, seed, minCut, maxCut)) {
        const TcsResult r = irDliRTHarlokData(&instance, buffer.data(), uint32_t(buffer.size()), &done, nullptr);
        if (r != TCS_RESULT_OK) return r;
    }
    return TCS_RESULT_OK;
}

TcsResult Recon::finish() { return tcsDoIR(state(), nullptr, nullptr); }

namespace {

double ncc(const double* a, const double* b, int n) {
    double ma = 0, mb = 0;
    for (int i = 0; i < n; ++i) {
        ma += a[i];
        mb += b[i];
    }
    ma /= n;
    mb /= n;
    double sab = 0, saa = 0, sbb = 0;
    for (int i = 0; i < n; ++i) {
        sab += (a[i] - ma) * (b[i] - mb);
        saa += (a[i] - ma) * (a[i] - ma);
        sbb += (b[i] - mb) * (b[i] - mb);
    }
    return saa > 0 && sbb > 0 ? sab / std::sqrt(saa * sbb) : 0;
}

}  // namespace

Truth compareWithTruth(Recon& r, const swipe_model::SwipeModel& model) {
    const IrReconState& s = *r.state();
    const swipe_model::SwipeConfig& c = model.config();
    const auto lineOf = [&](uint16_t time) { return uint32_t(uint16_t(time - c.startTime)) / c.ticksPerLine; };
    const uint32_t newest = lineOf(s.results.lastTime), oldest = lineOf(s.results.firstTime);
    Truth t{model.rowAt(newest) - model.rowAt(oldest) + 1, 0};
    const uint32_t rows = s.results.rows, columns = s.results.columns;
    if (rows == 0) return t;
    // Row r shows the finger row the newest line saw, r rows further back, with the columns
    // mirrored. The best match is searched near where it should be.
    const swipe_model::GreyImage& finger = model.finger();
    const int origin = int(finger.width - columns) / 2;
    const int band = 24;
    const int n = int(columns) - 2 * band;
    // Skew correction keeps the middle row in place: the rows show the finger where the middle
    // line saw it.
    const int centreDrift = int(std::lround(model.driftAt((newest + oldest) / 2)));
    std::vector<double> out(n), ref(n), fingerRow(finger.width);
    double total = 0;
    uint32_t counted = 0;
    for (uint32_t row = 8; row + 8 < rows; row += 5) {
        for (int k = 0; k < n; ++k) {
            const uint32_t c = uint32_t(band + k);
            out[k] = (s.cfgInfo & kCfgPackedImage) ? ((s.image[size_t(row) * columns / 2 + c / 2] << ((c & 1) * 4)) & 0xF0)
                                                   : s.image[size_t(row) * columns + c];
        }
        const double expected = model.rowAt(newest) - row * (t.rows / rows);
        double best = -1;
        for (int dy = -4; dy <= 4; ++dy) {
            const int y = int(std::lround(expected)) + dy;
            for (uint32_t x = 0; x < finger.width; ++x) {
                fingerRow[x] = (y >= 0 && y < int(finger.height)) ? finger.pixels[size_t(y) * finger.width + x] : 255;
            }
            for (int dx = -band; dx <= band; ++dx) {
                for (int k = 0; k < n; ++k) {
                    const int x = origin + int(columns) - 1 - (band + k) + dx + centreDrift;
                    ref[k] = (x >= 0 && x < int(finger.width)) ? fingerRow[x] : 255;
                }
                best = std::max(best, ncc(out.data(), ref.data(), n));
            }
        }
        total += best;
        ++counted;
    }
    t.correlation = counted > 0 ? total / counted : 0;
    return t;
}

}  // namespace recon_test
