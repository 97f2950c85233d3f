// fingergen: writes synthetic fingerprints (PGM and BMP) and their ground truth, for people to look at.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/finger/finger.h"

namespace {

void usage() {
    std::fprintf(stderr,
                 "usage: fingergen [--seed N] [--class arch|tented-arch|left-loop|right-loop|whorl|random]\n"
                 "                 [--width W] [--height H] [--ppi P] [--impressions K] [--others M]\n"
                 "                 [--out PREFIX]\n"
                 "writes PREFIX_master, PREFIX_imp1..K (impressions of the master) and PREFIX_other1..M\n"
                 "(impressions of different fingers), each as .pgm, .bmp and .txt (ground truth)\n");
}

bool parseNumber(const char* text, double& out) {
    char* end = nullptr;
    out = std::strtod(text, &end);
    return end != text && *end == '\0';
}

bool writeAll(const std::string& base, const simfinger::Impression& im) {
    const bool ok = simfinger::writePgm(base + ".pgm", im.image, im.width, im.height) &&
                    simfinger::writeBmp(base + ".bmp", im.image, im.width, im.height) &&
                    simfinger::writeGroundTruth(base + ".txt", im);
    if (!ok) std::fprintf(stderr, "fingergen: cannot write %s.*\n", base.c_str());
    else std::printf("%s: %dx%d at %.0f ppi, %zu minutiae, %zu cores, %zu deltas\n", base.c_str(), im.width,
                     im.height, im.ppi, im.minutiae.size(), im.cores.size(), im.deltas.size());
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t seed = 1;
    std::string cls = "random", out = "finger";
    double width = 300, height = 400, ppi = 500, impressions = 2, others = 1;
    for (int i = 1; i < argc; ++i) {
        const char* opt = argv[i];
        if (std::strcmp(opt, "--help") == 0 || std::strcmp(opt, "-h") == 0) {
            usage();
            return 0;
        }
        if (i + 1 >= argc) {
            usage();
            return 2;
        }
        const char* value = argv[++i];
        double number = 0;
        bool ok = true;
        if (std::strcmp(opt, "--seed") == 0) {
            char* end = nullptr;
            seed = std::strtoull(value, &end, 0);
            ok = end != value && *end == '\0';
        } else if (std::strcmp(opt, "--class") == 0) {
            cls = value;
        } else if (std::strcmp(opt, "--out") == 0) {
            out = value;
        } else if (parseNumber(value, number)) {
            if (std::strcmp(opt, "--width") == 0) width = number;
            else if (std::strcmp(opt, "--height") == 0) height = number;
            else if (std::strcmp(opt, "--ppi") == 0) ppi = number;
            else if (std::strcmp(opt, "--impressions") == 0) impressions = number;
            else if (std::strcmp(opt, "--others") == 0) others = number;
            else ok = false;
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "fingergen: bad option %s %s\n", opt, value);
            usage();
            return 2;
        }
    }
    if (width < 1 || width > 4096 || height < 1 || height > 4096 || ppi < 250 || ppi > 1000 || impressions < 0 ||
        impressions > 100 || others < 0 || others > 100) {
        std::fprintf(stderr, "fingergen: size 1-4096, ppi 250-1000, at most 100 impressions and others\n");
        return 2;
    }

    auto classOf = [&](uint64_t s, simfinger::FingerClass& c) {
        if (cls == "random") {
            c = simfinger::classFromSeed(s);
            return true;
        }
        for (auto k : {simfinger::FingerClass::Arch, simfinger::FingerClass::TentedArch,
                       simfinger::FingerClass::LeftLoop, simfinger::FingerClass::RightLoop,
                       simfinger::FingerClass::Whorl})
            if (cls == simfinger::className(k)) {
                c = k;
                return true;
            }
        return false;
    };
    simfinger::FingerClass c;
    if (!classOf(seed, c)) {
        std::fprintf(stderr, "fingergen: unknown class %s\n", cls.c_str());
        return 2;
    }
    const simfinger::Finger master = simfinger::makeMasterFinger(seed, c);
    std::printf("seed %llu: %s\n", static_cast<unsigned long long>(seed), simfinger::className(c));
    if (!writeAll(out + "_master", simfinger::masterAsImpression(master))) return 1;
    const int w = int(width), h = int(height);
    for (int k = 1; k <= int(impressions); ++k) {
        const auto params = simfinger::randomImpressionParams(seed * 1000 + uint64_t(k));
        if (!writeAll(out + "_imp" + std::to_string(k), simfinger::renderImpression(master, params, w, h, ppi)))
            return 1;
    }
    for (int k = 1; k <= int(others); ++k) {
        const uint64_t otherSeed = seed + 0x9E3779B9ull * uint64_t(k);
        classOf(otherSeed, c);
        const simfinger::Finger other = simfinger::makeMasterFinger(otherSeed, c);
        const auto params = simfinger::randomImpressionParams(otherSeed * 1000 + 1);
        if (!writeAll(out + "_other" + std::to_string(k), simfinger::renderImpression(other, params, w, h, ppi)))
            return 1;
    }
    return 0;
}
