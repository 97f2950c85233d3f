// Synthetic fingerprints with known ground truth: master fingers, their impressions, and file writers.
//
// Test infrastructure only; never linked into a deliverable.
//
// A master finger is grown once per seed on a canvas at kMasterPpi: a finger-shaped foreground mask, an
// orientation field with the cores and deltas of its class (zero-pole model), a smooth ridge-period map,
// and ridges grown by iterated oriented Gabor filtering from sparse random seeds, so endings and
// bifurcations arise where ridge trains meet. Its minutiae are then found on the final ridge pattern
// (binarise, thin, crossing number), with border and short-spur artefacts removed; they are not assumed.
//
// An impression renders a master finger onto an image of any size and resolution, after a placement
// (translation, rotation), a smooth elastic distortion, a pressure (ridge thickness), noise and a contact
// window, and carries the master's ground truth through the same transform.
//
//     simfinger::Finger f = simfinger::makeMasterFinger(42, simfinger::FingerClass::LeftLoop);
//     simfinger::ImpressionParams p = simfinger::randomImpressionParams(7);   // or fill one by hand
//     simfinger::Impression im = simfinger::renderImpression(f, p, 300, 400, 508.0);
//     // im.image: 300*400 grey bytes, row after row (ridges dark on a light background)
//     // im.minutiae / im.cores / im.deltas / im.mask: ground truth in im's pixel coordinates
//
// Conventions used throughout:
// - Coordinates are pixels of the image they belong to, x to the right, y downward, (0,0) the centre of
//   the top-left pixel.
// - A direction is in radians in [0, 2*pi), counter-clockwise from the +x axis as seen on the image
//   (that is atan2(-dy, dx) for an image step (dx, dy)).
// - A ridge ending's direction points from the ending along its ridge, into the ridge; a bifurcation's
//   points from the fork between its two branches (away from the stem). Both are the direction the
//   valley or ridge "opens" in, so an ending and a bifurcation that swap under ridge/valley inversion
//   keep their direction.
// - Everything is deterministic for a given seed: the generator has its own PRNG and uses no
//   std::random distribution. All functions are safe to call from several threads at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace simfinger {

// Resolution of a master finger's canvas.
constexpr double kMasterPpi = 500.0;

enum class FingerClass : uint8_t { Arch, TentedArch, LeftLoop, RightLoop, Whorl };

// A class picked from a seed with roughly natural frequencies (loops most common, arches rare).
FingerClass classFromSeed(uint64_t seed);
const char* className(FingerClass cls);

enum class MinutiaType : uint8_t { Ending, Bifurcation };

struct Minutia {
    double x = 0, y = 0;
    double direction = 0;  // radians, see the conventions above
    MinutiaType type = MinutiaType::Ending;
};

struct SingularPoint {
    double x = 0, y = 0;
};

// A master finger. Per-pixel maps are width*height, row after row.
struct Finger {
    uint64_t seed = 0;
    FingerClass cls = FingerClass::Arch;
    int width = 0, height = 0;           // canvas in pixels at kMasterPpi
    double centerX = 0, centerY = 0;     // centre of the finger shape; impressions are placed about it
    std::vector<uint8_t> mask;           // 1 on the finger, 0 off it
    std::vector<float> orientation;      // ridge direction in radians, [0, pi), counter-clockwise as seen
    std::vector<float> period;           // ridge period in pixels
    std::vector<float> ridges;           // final ridge field in [-1, 1]; > 0 is ridge
    std::vector<uint8_t> image;          // the master rendered plainly (no distortion, noise or pressure)
    // Found on sign(ridges): thinned, crossing number 1 or 3, at least 10 px inside the mask, at least
    // 9 px from any other candidate, and still there when the threshold moves by 0.5 either way (so
    // pressure and resampling do not make them come and go).
    std::vector<Minutia> minutiae;
    std::vector<SingularPoint> cores;    // from the class's model, those on the finger
    std::vector<SingularPoint> deltas;
};

// Grows a master finger. Takes about 0.1-0.2 s in an optimised build. Different seeds give different
// fingers; the one-argument form picks the class from the seed too.
Finger makeMasterFinger(uint64_t seed, FingerClass cls);
Finger makeMasterFinger(uint64_t seed);

// A rectangle in fractions of the image: [left, right) x [top, bottom), 0 to 1.
struct Window {
    double left = 0, top = 0;
    double right = 1, bottom = 1;
};

struct ImpressionParams {
    // Placement: the finger's centre lands at the image centre plus (dx, dy) image pixels, and the finger
    // is turned by `rotation` radians counter-clockwise (as seen on the image) about that point.
    double dx = 0, dy = 0;
    double rotation = 0;
    // Smooth elastic distortion: the largest displacement in master pixels (0 = none, at most 20, which
    // still keeps the mapping one-to-one). Nil at the contact centre, growing outward like skin sliding.
    double distortion = 0;
    // Pressure from -1 (light, thin ridges) to +1 (heavy, thick ridges); 0 keeps the master's thickness.
    double pressure = 0;
    // Standard deviation of additive Gaussian grey-level noise, and a strength of 0-1 for blotches of
    // dry (faint) skin.
    double noise = 0;
    double dryness = 0;
    // Only this window of the image is in contact: the rest is background and off the mask.
    Window contact;
    // Seed for the distortion field, the noise and the blotches.
    uint64_t seed = 0;
    // (Out-of-range settings are clamped; non-finite ones take their defaults.)
};

// Plausible impression parameters of one placement: shifts up to about 30 px, rotation up to about
// 20 degrees, distortion, pressure, moderate noise, and now and then a partial contact window.
ImpressionParams randomImpressionParams(uint64_t seed);

// One impression of a finger, with the ground truth in its own pixel coordinates.
struct Impression {
    int width = 0, height = 0;
    double ppi = 0;
    std::vector<uint8_t> image;          // width*height grey bytes, 255 = background
    std::vector<uint8_t> mask;           // 1 where finger is in contact
    std::vector<Minutia> minutiae;       // master minutiae carried over, at least 8 px inside the mask
    std::vector<SingularPoint> cores;    // carried over, inside the mask
    std::vector<SingularPoint> deltas;
};

// Renders an impression of `finger` onto a width x height image at `ppi` (any of 250-1000; 500, 508 and
// 333 are the usual ones). Bad sizes give an empty impression.
Impression renderImpression(const Finger& finger, const ImpressionParams& params, int width, int height,
                            double ppi);

// Maps a master-canvas point into the impression's image (the transform renderImpression applies).
// Returns false if the point does not land in the image.
bool masterToImpression(const Finger& finger, const ImpressionParams& params, int width, int height,
                        double ppi, double mx, double my, double& ix, double& iy);

// Minutiae of a grey image, found the way the ground truth is found: binarise against the local mean,
// thin, crossing number, then drop those within `margin` px of the mask's edge and pairs closer than
// 7 px. `mask` may be empty (whole image). Useful to check what a rendered image really shows.
std::vector<Minutia> findMinutiae(const std::vector<uint8_t>& image, int width, int height,
                                  const std::vector<uint8_t>& mask, int margin = 8);

// File writers; each returns false if the file could not be written.
bool writePgm(const std::string& path, const std::vector<uint8_t>& image, int width, int height);
bool writeBmp(const std::string& path, const std::vector<uint8_t>& image, int width, int height);
// Text ground truth: a "# " comment line, "image <width> <height> <ppi>", then one line per point:
// "core <x> <y>", "delta <x> <y>", "minutia <x> <y> <direction> ending|bifurcation".
bool writeGroundTruth(const std::string& path, const Impression& impression);

// The master as an impression (identity placement at kMasterPpi, no noise): for the file writers.
Impression masterAsImpression(const Finger& finger);

}  // namespace simfinger
