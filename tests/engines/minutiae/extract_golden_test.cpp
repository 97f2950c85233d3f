// Extraction's output pinned byte for byte: the compressed set and the processed image of public
// prints and synthetic fingers, under the default context and the presets that take other paths,
// against the SHA-256 digests in extract_golden.txt. Speed work on the image stages must keep them.
// To rewrite the table after an intended change: MNT_GOLDEN_OUT=<file> ./test_minutiae
// --gtest_filter='ExtractGolden.*' writes every case's line into <file>.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "engines/minutiae/features.h"
#include "engines/minutiae/mnt_engine.h"
#include "platform/crypto/digests.h"
#include "sim/finger/finger.h"
#include "sim/swipe/synthetic_swipes.h"
#include "test_support.h"

namespace {

struct Expected {
    std::string input, features, image;
    int result = 0;
};

std::string Digest(const std::vector<uint8_t>& bytes) {
    PalSha256Context c;
    SHA256_init(&c);
    SHA256_update(&c, bytes.data(), uint32_t(bytes.size()));
    SHA256_final(&c);
    uint8_t out[32];
    SHA256_digest(&c, out);
    std::string hex;
    char two[3];
    for (uint8_t b : out) {
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    return hex;
}

// name -> digests, read once from the table beside this file.
const std::map<std::string, Expected>& Table() {
    static const std::map<std::string, Expected> table = [] {
        std::map<std::string, Expected> t;
        std::ifstream in(std::string(TOV_SOURCE_DIR) + "/tests/engines/minutiae/extract_golden.txt");
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '#') continue;
            std::istringstream fields(line);
            std::string name;
            Expected e;
            fields >> name >> e.result >> e.input >> e.features >> e.image;
            t[name] = e;
        }
        return t;
    }();
    return table;
}

// Lines of the cases run, written to MNT_GOLDEN_OUT (when set) as each test ends.
void Record(const std::string& line) {
    const char* path = std::getenv("MNT_GOLDEN_OUT");
    if (path == nullptr) return;
    static std::mutex lock;
    std::lock_guard<std::mutex> hold(lock);
    std::ofstream(path, std::ios::app) << line << '\n';
}

// A context set up by parameter writes (id, value), applied in order; mode 1000 writes a preset.
using Settings = std::vector<std::pair<uint32_t, int32_t>>;

void Check(const std::string& name, const std::vector<uint8_t>& input, int width, int height, int ppi,
           const Settings& settings = {}) {
    MntContext* context = MntCreateContext();
    ASSERT_NE(context, nullptr);
    for (auto [id, value] : settings) ASSERT_EQ(MntSetParameter(id, value, context), MNT_OK) << name << " " << id;
    std::vector<uint8_t> image = input, features(mnt::kMaxCompressedSize, 0xEE);
    uint64_t size = 0;
    const int32_t result = MntExtract(width, height, image.data(), ppi, features.data(), &size, context);
    MntFreeContext(context);
    features.resize(size);
    const std::string in = Digest(input), set = Digest(features), out = Digest(image);
    Record(name + " " + std::to_string(result) + " " + in + " " + set + " " + out);

    const auto found = Table().find(name);
    ASSERT_NE(found, Table().end()) << name << " is not in the table";
    const Expected& e = found->second;
    // A changed input is no fault of the engine; the table then needs rewriting from the engine as it was.
    ASSERT_EQ(in, e.input) << name << ": the input image changed";
    EXPECT_EQ(result, e.result) << name;
    EXPECT_EQ(set, e.features) << name << ": the feature set differs";
    EXPECT_EQ(out, e.image) << name << ": the processed image differs";
}

std::string FvcName(int finger, int impression) {
    return std::to_string(finger) + "_" + std::to_string(impression) + ".tif";
}

bool ReadFvc(const std::string& file, std::vector<uint8_t>& pixels, int& width, int& height) {
    return mnt::test::ReadTiff(mnt::test::FvcPath(file), pixels, width, height);
}

// Fingers first..last, all eight impressions each.
void CheckPublicFingers(int first, int last) {
    int images = 0;
    for (int finger = first; finger <= last; ++finger)
        for (int impression = 1; impression <= 8; ++impression) {
            std::vector<uint8_t> pixels;
            int w = 0, h = 0;
            if (!ReadFvc(FvcName(finger, impression), pixels, w, h)) continue;
            ++images;
            Check("fvc/" + FvcName(finger, impression), pixels, w, h, 500);
        }
    if (images == 0) GTEST_SKIP() << "no images at " << mnt::test::FvcPath("");
}

// In two halves, each well within a test's time limit under the sanitizers.
TEST(ExtractGolden, PublicPrintsFirstHalf) { CheckPublicFingers(101, 105); }
TEST(ExtractGolden, PublicPrintsSecondHalf) { CheckPublicFingers(106, 110); }

// The presets and switches that send extraction down other paths (squared differences, spot
// removal, extra putty, good-area enhancement, one-level binarisation, no source image, the
// good-area mean), and resolutions that resample.
TEST(ExtractGolden, PublicPrintsOtherPathsAndResolutions) {
    struct Case {
        const char* tag;
        int ppi;
        Settings settings;
    };
    const Case cases[] = {
        {"mode200", 500, {{1000, 200}}},
        {"mode700", 500, {{1000, 700}}},
        {"mode900", 500, {{1000, 900}}},
        {"mode1100", 500, {{1000, 1100}}},
        {"onelevel", 500, {{10001, 0}}},
        {"nosource-mean", 500, {{10019, 0}, {11000, 1}}},
        {"nofilter", 500, {{10012, 0}, {10016, 0}}},
        {"dpi400", 400, {}},
        {"dpi569", 569, {}},
    };
    int images = 0;
    for (const char* file : {"101_1.tif", "104_3.tif", "108_6.tif"}) {
        std::vector<uint8_t> pixels;
        int w = 0, h = 0;
        if (!ReadFvc(file, pixels, w, h)) continue;
        ++images;
        for (const Case& c : cases) Check("fvc/" + std::string(file) + "/" + c.tag, pixels, w, h, c.ppi, c.settings);
    }
    if (images == 0) GTEST_SKIP() << "no images at " << mnt::test::FvcPath("");
}

// Fingers of the synthetic generator: whole contact and its own random placements (partial
// contact among them), at 500 dpi and at 250 dpi.
TEST(ExtractGolden, SyntheticFingers) {
    for (uint64_t seed = 11; seed <= 16; ++seed) {
        const simfinger::Finger finger = simfinger::makeMasterFinger(seed);
        for (int take = 0; take < 2; ++take) {
            simfinger::ImpressionParams p = simfinger::randomImpressionParams(100 * seed + take);
            if (take == 0) p.contact = {};
            const std::string name = "finger/" + std::to_string(seed) + "/" + std::to_string(take);
            const auto im = simfinger::renderImpression(finger, p, 300, 400, 500);
            Check(name, im.image, im.width, im.height, 500);
            if (take == 1) {
                const auto low = simfinger::renderImpression(finger, p, 150, 200, 250);
                Check(name + "/250", low.image, low.width, low.height, 250);
            }
        }
    }
}

// The fingers the swipe model sends for the capturing flows, as the images it swipes.
TEST(ExtractGolden, SwipeFingers) {
    for (int finger = 0; finger < 4; ++finger)
        for (int take = 0; take < 3; ++take) {
            const std::string name = "swipe/" + std::to_string(finger) + "/" + std::to_string(take);
            const auto im = synthswipe::impression(finger, take, 300, take == 2 ? 560 : 400);
            Check(name, im.pixels, int(im.width), int(im.height), 500);
        }
}

}  // namespace
