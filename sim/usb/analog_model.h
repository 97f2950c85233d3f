// Virtual sensor: the analog front end's response to calibration sweeps.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace simusb {

// The lines a get-print capture scans when its tag records carry a sweep record (tag 13: word 0 the
// swept register, then start, step, end, held-out mask, repetitions, ..., word 9 the mode; tag 17
// the lines scanned per sweep point; tag 14 the gain table stepped once per pass). Each line is an
// 8-byte header {0, 0, u16 line number, 0, 0, frame toggle in bit 6, 0} and the columns; the last
// line is the frame's end marker {1, 1, 0, ...}. Empty when the records carry no sweep. A drifted
// front end (drift: the level shift, see afe_drift.h) answers the PGA offset sweep that much higher;
// a dead wake-on-event detector never reports a trigger in the WOE threshold sweep.
std::vector<uint8_t> analogModelCapture(uint16_t lineLength, uint16_t lines, std::span<const uint8_t> records,
                                        int drift = 0, bool woeDetectorDead = false);

}  // namespace simusb
