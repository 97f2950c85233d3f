// Swipe model: turns a finger image into the byte stream a swipe sensor module sends (scan-line
// records packed through the module's time-slot table), plus the time-slot area of the
// configuration reply and baseline (no-finger) lines. Written like the module's firmware: it takes
// only the pixel layouts from the stack's table header and knows its own banks and polarities.
#pragma once

#include "sim/swipe/grey_image.h"

#include <stdint.h>

#include <vector>

namespace swipe_model {

enum class SpeedProfile { Constant, Accelerating, StickThenJump };

// What a module's firmware knows about its wiring.
struct ModuleDescription {
    uint16_t flexId;
    uint8_t primaryBank;
    uint8_t primaryPolarity;   // 1: the bank reports 255 - light
    uint16_t primaryCount;
    const uint16_t* primaryPixels;
    uint8_t secondaryBank;
    uint8_t secondaryPolarity;
    const uint16_t* secondaryPixels;
    const uint16_t* secondaryColumns;  // primary column under each secondary pixel
};

// Null for a module the model does not know.
const ModuleDescription* findModule(uint16_t flexId);

inline constexpr uint32_t kSecondaryPixels = 64;
inline constexpr uint32_t kSecondaryRowOffset = 8;  // secondary row lies 8 image rows ahead
inline constexpr uint32_t kConfigReplyWords = 600;  // the 2400-byte configuration reply

struct SwipeConfig {
    uint16_t flexId = 14;
    // Time-slot width of every sample; 0 gives a mixed pattern of 5, 6, 7 and 8 bits.
    uint8_t sampleWidth = 8;
    // Low nibble of header byte 6: this line's width (0: the table's).
    uint8_t headerWidth = 0;
    uint8_t marker = 1;                 // header byte 1: 1 or 254
    SpeedProfile profile = SpeedProfile::Constant;
    double rowsPerLine = 1.0;           // 1.0 is the nominal lag of 8 lines
    double acceleration = 0.0;          // rows per line per line (Accelerating)
    uint32_t stickStart = 0;            // StickThenJump: lines before sticking,
    uint32_t stickLines = 0;            // lines without movement,
    uint32_t jumpLines = 0;             // lines of the jump,
    double jumpRowsPerLine = 3.0;       // and its speed
    // StickThenJump: while the finger is held the skin under the sensor may still roll sideways by
    // up to this many columns from line to line (0: held still, lines repeat with sensor noise).
    double stickRock = 0.0;
    // StickThenJump: a held finger seldom stays put. With stickSlipEvery > 0 the skin under the
    // sensor sticks for that many lines, then the tension built up meanwhile lets it slip forward
    // for stickSlipLines lines at stickSlipRowsPerLine and it sticks again (stick-slip), until the
    // jump. While it sticks, the finger rolls on its pinned skin: the lines move sideways by
    // stickRollPerLine columns a line, the other way after each slip.
    uint32_t stickSlipEvery = 0;
    uint32_t stickSlipLines = 2;
    double stickSlipRowsPerLine = 8.0;
    double stickRollPerLine = 0.0;
    double driftPerLine = 0.0;          // sideways columns per line
    double startRow = 0.0;
    uint16_t startTime = 0;
    uint16_t ticksPerLine = 10;
    double noiseSigma = 0.0;
    // How far a pixel's reading goes from no finger (white) towards the finger image's grey: 1 reads
    // the image as it is, a light or dry finger gives a faint, low-contrast swipe.
    double contrast = 1.0;
    uint32_t seed = 1;
};

class SwipeModel {
public:
    SwipeModel(const GreyImage& finger, const SwipeConfig& config);

    bool valid() const { return module_ != nullptr; }
    const SwipeConfig& config() const { return config_; }
    const GreyImage& finger() const { return finger_; }

    // The configuration reply's words: sampling entries, control word 374, bank words 417-465.
    std::vector<uint32_t> timeslotWords() const;
    // Bytes of one scan-line record on the wire (the print command's record size).
    uint32_t recordBytes() const;

    // Finger position of a line: image row under the primary bank, sideways offset.
    double rowAt(uint32_t line) const;
    double driftAt(uint32_t line) const;

    // One line's samples in output-column order (primary then secondary), as 8-bit values.
    std::vector<uint8_t> linePixels(uint32_t line) const;
    // The same after the sample widths dropped the low bits: what unpacking must give back.
    std::vector<uint8_t> expectedUnpacked(uint32_t line) const;
    // One scan-line record: 8-byte header, packed samples, zero padding to recordBytes().
    std::vector<uint8_t> record(uint32_t line) const;
    // Records of lines first .. first + count - 1, back to back.
    std::vector<uint8_t> stream(uint32_t first, uint32_t count) const;
    // Baseline lines: per-pixel fixed offsets plus noise, packed like swipe lines.
    std::vector<uint8_t> baselineStream(uint32_t count, double noiseSigma, uint32_t seed) const;
    std::vector<uint8_t> baselinePixels(uint32_t line, double noiseSigma, uint32_t seed) const;

    // Cuts a stream into buffers of random sizes in [minBytes, maxBytes].
    static std::vector<std::vector<uint8_t>> cutIntoBuffers(const std::vector<uint8_t>& stream, uint32_t seed,
                                                            uint32_t minBytes, uint32_t maxBytes);

private:
    struct Sample {
        uint16_t pixel;     // sensor pixel number
        uint16_t column;    // output column
        uint8_t bankSelector;
        uint8_t width;
    };
    std::vector<uint8_t> pack(const std::vector<uint8_t>& columns, uint16_t time, uint8_t flags) const;
    uint32_t effectiveWidth(const Sample& s) const;

    GreyImage finger_;
    SwipeConfig config_;
    const ModuleDescription* module_;
    std::vector<Sample> order_;  // sampling order
    // Held lines of a stick-slip hold: the rows each step advances, and the sideways roll of each line.
    std::vector<double> heldSteps_;
    std::vector<double> heldRoll_;
    double columnOrigin_ = 0;
    int commonWidth_ = 0;  // width shared by every sample, 0 when mixed
};

}  // namespace swipe_model
