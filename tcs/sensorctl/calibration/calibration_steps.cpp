// Calibration sweeps: the row's records, sweep stepping, line continuity and summation, and the
// value-choice rule of each step.
#include "tcs/sensorctl/calibration/calibration_steps.h"
#include "tcs/sensorctl/calibration/calibration.h"

#include "platform/settings.h"

#include <algorithm>
#include <cstring>

namespace scscal {
namespace {

constexpr const char* kProductSection = "SOFTWARE\\Tovantic\\tfs530";
constexpr uint32_t kHeaderBytes = 8;

uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

uint32_t atLeastOne(uint32_t value) { return value == 0 ? 1 : value; }

bool sendable(uint16_t tag) { return (tag >= 1 && tag <= 8) || (tag >= 10 && tag <= 20) || tag == 0x8000; }

uint32_t columnsOf(const ScsHarlokCalContext& context) {
    return context.bytesPerLine > kHeaderBytes ? context.bytesPerLine - kHeaderBytes : 0;
}

// Points of `passes` passes in capture order: each chunk of w20 lines is one point. 17 for a broken
// sequence or a missing end marker, 19 for lines beyond the last pass; a callback's non-zero result
// ends the walk with it.
template <typename OnPoint>
TcsResult walkPoints(const ScsHarlokCalContext& context, uint32_t pointsPerPass, uint32_t passes, OnPoint onPoint) {
    const uint32_t linesPerPoint = atLeastOne(context.row().word(20));
    const uint32_t columns = columnsOf(context);
    std::vector<uint32_t> sums(columns, 0);
    LineSequence sequence;
    uint32_t index = 0, lineInPoint = 0;
    for (uint32_t i = 0; i < context.lineCount; ++i) {
        const uint8_t* line = context.lines.data() + size_t(i) * context.bytesPerLine;
        const TcsResult kind = checkLine(sequence, line);
        if (kind == TCS_RESULT_BAD_PARAM) return kind;
        if (kind == 1) break;
        if (pointsPerPass == 0 || index >= pointsPerPass * passes) return TCS_RESULT_SENSOR_NOT_FOUND;  // 19
        if (lineInPoint == 0) std::fill(sums.begin(), sums.end(), 0u);
        addLine(line, columns, sums);
        if (++lineInPoint == linesPerPoint) {
            const TcsResult result = onPoint(index, index % pointsPerPass, index / pointsPerPass, sums);
            if (result != TCS_RESULT_OK) return result;
            lineInPoint = 0;
            ++index;
        }
    }
    if (!sequence.endMarker) return TCS_RESULT_BAD_PARAM;
    return TCS_RESULT_OK;
}

// Sums A (one column in each even group of `group` columns) and B (the same column in each odd group).
std::pair<uint32_t, uint32_t> interleavedSums(const std::vector<uint32_t>& sums, Window range, uint32_t group,
                                              uint32_t offset) {
    uint32_t a = 0, b = 0;
    for (uint32_t k = 0;; ++k) {
        const uint32_t column = range.first + k * group + offset;
        if (column > range.last || column >= sums.size()) break;
        (k % 2 == 0 ? a : b) += sums[column];
    }
    return {a, b};
}

uint32_t alternateContrast(const std::vector<uint32_t>& sums, Window range) {
    int64_t even = 0, odd = 0;
    for (uint32_t c = range.first; c <= range.last && c < sums.size(); ++c) ((c - range.first) % 2 == 0 ? even : odd) += sums[c];
    return uint32_t(even > odd ? even - odd : odd - even);
}

// Follows the contrast while it rises: the point before the last rise at the first fall, the point
// before the last when it rises to the end; 21 when it never leaves 0 or there are no points.
TcsResult chooseByContrast(const std::vector<uint32_t>& contrast, uint32_t* chosen) {
    if (contrast.empty() || std::all_of(contrast.begin(), contrast.end(), [](uint32_t c) { return c == 0; })) {
        return 21;
    }
    uint32_t peak = 0;
    for (uint32_t i = 1; i < contrast.size(); ++i) {
        if (contrast[i] > contrast[i - 1]) {
            peak = i;
        } else if (contrast[i] < contrast[i - 1]) {
            *chosen = peak == 0 ? 0 : peak - 1;
            return TCS_RESULT_OK;
        }
    }
    *chosen = contrast.size() >= 2 ? uint32_t(contrast.size() - 2) : 0;
    return TCS_RESULT_OK;
}

bool within(uint32_t value, const uint8_t* limits, uint32_t low) {
    return value >= limits[low] && value <= limits[low + 1];
}

uint32_t settingLong(const char* name, uint32_t fallback) {
    uint32_t value = fallback;
    if (palGetPersistentDataLongValue(kProductSection, name, fallback, &value) != TCS_RESULT_OK) return fallback;
    return value;
}

// The capacitor register field of a code: half the code times 256, bit 1 the odd half step.
uint16_t capacitorField(uint32_t code) { return uint16_t((code / 2) * 256 | ((code & 1u) ? 2u : 0u)); }

}  // namespace

TcsResult sweepPoints(const uint32_t* w, uint32_t count, uint32_t shift, std::vector<SweepPoint>* out) {
    out->clear();
    if (w == nullptr || count < 10) return 11;
    const uint32_t start = w[1], step = w[2], end = w[3], mask = w[4], reps = atLeastOne(w[5]);
    auto add = [&](uint32_t value, uint32_t companion) {
        out->push_back({value, (value & ~mask) >> shift, companion});
    };
    switch (w[9]) {
        case 1:
            if (step == 0 || end < start) return 11;
            for (uint32_t r = 0; r < reps; ++r) {
                for (uint64_t v = start; v <= end; v += step) add(uint32_t(v), uint32_t(v) + w[7]);
            }
            return TCS_RESULT_OK;
        case 2: {
            const uint32_t start2 = w[6], step2 = w[7], end2 = w[8];
            if (step == 0 || step2 == 0 || end < start || end2 < start2) return 11;
            // A span that is not a whole number of steps still ends on its end value.
            auto segment = [&](uint32_t from, uint32_t by, uint32_t to) {
                uint64_t v = from;
                for (; v <= to; v += by) add(uint32_t(v), uint32_t(v));
                if ((to - from) % by != 0) add(to, to);
            };
            for (uint32_t r = 0; r < reps; ++r) {
                segment(start, step, end);
                segment(start2, step2, end2);
            }
            return TCS_RESULT_OK;
        }
        case 3: {
            const uint32_t entries = w[1];
            const uint32_t lists = w[2] == 2 ? 2 : 1;
            if (count < 10 + uint64_t(entries) * 3 * lists) return 11;
            for (uint32_t i = 0; i < entries; ++i) {
                const uint32_t* entry = w + 10 + 3 * i;
                add(entry[0], lists == 2 ? w[10 + 3 * (entries + i)] : entry[1]);
            }
            return TCS_RESULT_OK;
        }
        default: return 11;
    }
}

TcsResult prepareCapture(ScsHarlokCalContext& context, const CalRow& row, uint32_t blockId) {
    const uint32_t bytesPerLine = row.word(14), lineCount = row.word(15);
    if (bytesPerLine > 0xFFFF || lineCount > 0xFFFF) return TCS_RESULT_BAD_PARAM;
    context.bytesPerLine = uint16_t(bytesPerLine);
    context.lineCount = uint16_t(lineCount);
    if (context.lines.size() != size_t(bytesPerLine) * lineCount) context.lines.assign(size_t(bytesPerLine) * lineCount, 0);
    context.windows.clear();
    context.sweepWords.clear();
    context.gainTable.clear();
    context.gainRecords = 0;
    context.tag17 = 0;
    const uint8_t* blob = row.blob();
    const uint32_t length = blob != nullptr ? row.blobLength() : 0;
    uint32_t firstSendable = length;
    for (uint32_t at = 0; length - at >= 4;) {
        const uint16_t tag = le16(blob + at), size = le16(blob + at + 2);
        if (size > length - at - 4) break;
        const uint8_t* data = blob + at + 4;
        if (sendable(tag) && firstSendable == length) firstSendable = at;
        if (tag == 13) {
            for (uint32_t i = 0; i + 4 <= size; i += 4) context.sweepWords.push_back(le32(data + i));
        } else if (tag == 14 && size % 16 == 0) {
            context.gainTable.assign(data, data + size);
            context.gainRecords = size / 16;
        } else if (tag == 17 && size >= 2) {
            context.tag17 = le16(data);
        } else if (tag == 0x8003 && size % 4 == 0) {
            for (uint32_t i = 0; i < size; i += 4) context.windows.push_back({le16(data + i), le16(data + i + 2)});
        } else if (!sendable(tag)) {
            break;
        }
        at += 4 + size;
    }
    context.sentBlob.assign(blob + firstSendable, blob + length);
    context.printConfig = PrintConfiguration{};
    for (uint32_t i = 0; i < 4; ++i) context.printConfig.fields[i] = row.word(4 + i);
    context.printConfig.fields[SCS_PC_FLEX_ID] = context.flexId;
    context.printConfig.fields[SCS_PC_SO_CLOCK] = row.word(11);
    context.printConfig.fields[SCS_PC_SWIPE_SPEED] = row.word(12);
    context.printConfig.fields[SCS_PC_LINE_PERIOD] = row.word(13);
    context.printConfig.fields[SCS_PC_LINE_LENGTH] = bytesPerLine;
    context.printConfig.fields[SCS_PC_BIT_DEPTH] = 8;
    context.printConfig.blobLength = uint32_t(context.sentBlob.size());
    context.printConfig.blob = context.sentBlob.empty() ? nullptr : context.sentBlob.data();
    (void)blockId;
    return TCS_RESULT_OK;
}

TcsResult checkLine(LineSequence& sequence, const uint8_t* line) {
    if (line[0] == 1 && line[1] == 1 && line[2] == 0) {
        sequence.endMarker = true;
        return 1;
    }
    const uint32_t number = le16(line + 2);
    const uint32_t toggle = (line[6] >> 6) & 1u;
    if (!sequence.started) {
        sequence.started = true;
    } else if (toggle != sequence.toggle) {
        // A new frame: every complete frame holds as many lines as the first.
        if (sequence.frameLines == 0) sequence.frameLines = sequence.linesInFrame;
        else if (sequence.linesInFrame != sequence.frameLines) return TCS_RESULT_BAD_PARAM;
        sequence.linesInFrame = 0;
    } else if (number != ((sequence.lastNumber + 1) & 0xFFFFu)) {
        return TCS_RESULT_BAD_PARAM;
    }
    sequence.toggle = toggle;
    sequence.lastNumber = number;
    ++sequence.linesInFrame;
    return TCS_RESULT_OK;
}

void addLine(const uint8_t* line, uint32_t columns, std::vector<uint32_t>& sums) {
    for (uint32_t c = 0; c < columns && c < sums.size(); ++c) sums[c] += line[kHeaderBytes + c];
}

TcsResult chooseValuesWithRCAlg(uint32_t count, const std::pair<uint32_t, uint32_t>* pairs, uint32_t step,
                                uint32_t divisor, bool interleave, bool parity, uint32_t out[4]) {
    if (count == 0 || pairs == nullptr) return 8;
    const uint64_t final = count >= 2 ? (uint64_t(pairs[count - 1].first) + pairs[count - 2].first) / 2
                                      : pairs[0].first;
    const uint64_t first = pairs[0].first;
    if (final <= first || (final - first) * 100 < 1) return 1;
    int chosen = -1;
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t value = pairs[i].first;
        if (value >= final) {
            // Reached the final level before settling within 2 %: the point before it.
            chosen = i == 0 ? 0 : int(i) - 1;
            break;
        }
        if ((final - value) * 100 <= 2 * final) {
            chosen = int(i);
            break;
        }
    }
    if (chosen < 0) return 8;
    const uint32_t index = uint32_t(chosen);
    divisor = atLeastOne(divisor);
    out[0] = pairs[index].first;
    out[1] = interleave ? index * 2 + (parity ? 0 : 1) : index;
    out[2] = index / divisor * step + pairs[index].second;
    out[3] = index % divisor;
    return TCS_RESULT_OK;
}

TcsResult stepPgaOffset(ScsHarlokCalContext& context, CalResultsContainer* results) {
    std::vector<SweepPoint> points;
    const TcsResult swept = sweepPoints(context.sweepWords.data(), uint32_t(context.sweepWords.size()), 0, &points);
    if (swept != TCS_RESULT_OK) return swept;
    if (context.windows.empty()) return 3;
    const Window range = context.windows[0];
    if (range.last < range.first) return 3;
    std::vector<std::pair<uint32_t, uint64_t>> measured;
    TcsResult walked = walkPoints(context, uint32_t(points.size()), 1,
                                  [&](uint32_t, uint32_t point, uint32_t, const std::vector<uint32_t>& sums) {
                                      uint64_t sum = 0;
                                      for (uint32_t c = range.first; c <= range.last && c < sums.size(); ++c) sum += sums[c];
                                      measured.push_back({points[point].field, sum});
                                      return TCS_RESULT_OK;
                                  });
    if (walked != TCS_RESULT_OK) return walked;
    // Mid-scale over the point's lines and the window's columns.
    const int64_t target = int64_t(atLeastOne(context.row().word(20))) * 127 * (range.last - range.first + 1);
    uint32_t chosen = 255;
    int64_t bestDistance = -1;
    for (auto [field, sum] : measured) {
        const int64_t distance = std::abs(int64_t(sum) - target);
        if (bestDistance < 0 || distance < bestDistance) {
            bestDistance = distance;
            chosen = field & 0xFF;
        }
    }
    calResultsSetByte(results, SCS_CAL_BLOCK_PGA_OFFSET, CAL_ITEM_OFFSET, uint8_t(chosen));
    const uint8_t* limits = context.limitBytes(SCS_CAL_BLOCK_PGA_OFFSET);
    if (!context.noLimitCheck && limits != nullptr && !within(chosen, limits, 0) && !within(chosen, limits, 2)) return 4;
    return TCS_RESULT_OK;
}

TcsResult stepAdc(ScsHarlokCalContext& context, CalResultsContainer* results) {
    std::vector<SweepPoint> points;
    const TcsResult swept = sweepPoints(context.sweepWords.data(), uint32_t(context.sweepWords.size()), 16, &points);
    if (swept != TCS_RESULT_OK) return swept;
    if (context.windows.empty() || context.windows[0].last < context.windows[0].first) return 18;
    const Window range = context.windows[0];
    const uint32_t group = atLeastOne(context.row().word(33));
    const uint32_t offset = group == 4 ? 2 : 0;
    std::vector<std::pair<uint32_t, uint32_t>> measured;  // field, max(A, B)
    TcsResult walked = walkPoints(context, uint32_t(points.size()), atLeastOne(context.row().word(21)),
                                  [&](uint32_t, uint32_t point, uint32_t, const std::vector<uint32_t>& sums) {
                                      auto [a, b] = interleavedSums(sums, range, group, offset);
                                      measured.push_back({points[point].field, std::max(a, b)});
                                      return TCS_RESULT_OK;
                                  });
    if (walked != TCS_RESULT_OK) return walked;
    if (measured.empty()) return 2;
    uint32_t best = 0;
    for (auto& m : measured) best = std::max(best, m.second);
    const auto first = std::find_if(measured.begin(), measured.end(), [&](auto& m) { return m.second == best; });
    const uint32_t delay = first->first & 0xFF;
    calResultsSetByte(results, SCS_CAL_BLOCK_ADC, CAL_ITEM_DELAY, uint8_t(delay));
    const uint8_t* limits = context.limitBytes(SCS_CAL_BLOCK_ADC);
    if (!context.noLimitCheck && limits != nullptr && !within(delay, limits, 0) && !within(delay, limits, 2)) return 4;
    return TCS_RESULT_OK;
}

TcsResult stepPgaGain(ScsHarlokCalContext& context, CalResultsContainer* results) {
    std::vector<SweepPoint> points;
    const TcsResult swept = sweepPoints(context.sweepWords.data(), uint32_t(context.sweepWords.size()), 0, &points);
    if (swept != TCS_RESULT_OK) return swept;
    if (context.windows.empty()) return 31;
    const size_t ranges = std::min<size_t>(context.windows.size(), 2);
    for (size_t r = 0; r < ranges; ++r) {
        if (context.windows[r].last < context.windows[r].first + 1) return 3;
    }
    const uint32_t group = atLeastOne(context.row().word(33));
    const uint32_t offset = group == 4 ? 2 : 0;
    struct Measured {
        uint32_t field;
        uint32_t a[2], b[2];
    };
    std::vector<Measured> measured;
    TcsResult walked = walkPoints(context, uint32_t(points.size()), 1,
                                  [&](uint32_t, uint32_t point, uint32_t, const std::vector<uint32_t>& sums) {
                                      Measured m{points[point].field & 0xFF, {0, 0}, {0, 0}};
                                      for (size_t r = 0; r < ranges; ++r) {
                                          auto [a, b] = interleavedSums(sums, context.windows[r], group, offset);
                                          m.a[r] = a;
                                          m.b[r] = b;
                                      }
                                      measured.push_back(m);
                                      return TCS_RESULT_OK;
                                  });
    if (walked != TCS_RESULT_OK) return walked;
    if (measured.empty()) return 8;
    const uint32_t linesPerPoint = atLeastOne(context.row().word(20));
    uint32_t gains[2] = {0, 0};
    for (size_t r = 0; r < ranges; ++r) {
        const Window range = context.windows[r];
        const int64_t half = (range.last - range.first + 1) / 2;
        const int64_t margin = 10 * int64_t(linesPerPoint) * half;
        const int64_t a = measured.back().a[r], b = measured.back().b[r];
        if (a == b) return 7;
        int found = -1;
        bool partner = false;
        for (size_t i = 0; i < measured.size(); ++i) {
            const int64_t pointA = measured[i].a[r], pointB = measured[i].b[r];
            if (found < 0 && (a < b ? pointA <= a + margin : pointA >= a - margin)) found = int(i);
            if (a < b ? pointB >= b - margin : pointB <= b + margin) partner = true;
        }
        if (found < 0 || !partner) return 8;
        uint32_t gain = measured[size_t(found)].field;
        if (context.row().word(32) == 1) {
            const uint32_t extra = r == 0 ? context.row().word(34)
                                          : context.row().word(36) == 1 ? context.row().word(35) : context.row().word(34);
            gain = std::min(measured.back().field, gain + extra);
        }
        gains[r] = gain;
    }
    if (ranges == 1) gains[1] = gains[0];
    calResultsSetByte(results, SCS_CAL_BLOCK_PGA_GAIN, CAL_ITEM_GAIN_PRI, uint8_t(gains[0]));
    calResultsSetByte(results, SCS_CAL_BLOCK_PGA_GAIN, CAL_ITEM_GAIN_SEC, uint8_t(gains[1]));
    return TCS_RESULT_OK;
}

TcsResult stepAspPga1(ScsHarlokCalContext& context, CalResultsContainer* results) {
    std::vector<SweepPoint> points;
    const TcsResult swept = sweepPoints(context.sweepWords.data(), uint32_t(context.sweepWords.size()), 0, &points);
    if (swept != TCS_RESULT_OK) return swept;
    if (context.windows.empty() || context.windows[0].last < context.windows[0].first + 1) return 3;
    const Window range = context.windows[0];
    std::vector<uint32_t> contrast, fields;
    TcsResult walked = walkPoints(context, uint32_t(points.size()), 1,
                                  [&](uint32_t, uint32_t point, uint32_t, const std::vector<uint32_t>& sums) {
                                      contrast.push_back(alternateContrast(sums, range));
                                      fields.push_back(points[point].field & 0xFF);
                                      return TCS_RESULT_OK;
                                  });
    if (walked != TCS_RESULT_OK) return walked;
    uint32_t chosen = 0;
    const TcsResult picked = chooseByContrast(contrast, &chosen);
    if (picked != TCS_RESULT_OK) return picked;
    const uint32_t gain = fields[chosen];
    calResultsSetByte(results, SCS_CAL_BLOCK_ASP_PGA1, CAL_ITEM_GAIN_PRI, uint8_t(gain));
    const uint8_t* limits = context.limitBytes(SCS_CAL_BLOCK_ASP_PGA1);
    if (!context.noLimitCheck && limits != nullptr && !within(gain, limits, 0)) return 4;
    return TCS_RESULT_OK;
}

TcsResult stepAspLna1(ScsHarlokCalContext& context, CalResultsContainer* results) {
    std::vector<SweepPoint> points;
    const TcsResult swept = sweepPoints(context.sweepWords.data(), uint32_t(context.sweepWords.size()), 0, &points);
    if (swept != TCS_RESULT_OK) return swept;
    if (context.windows.empty() || context.windows[0].last < context.windows[0].first + 1) return 3;
    const Window range = context.windows[0];
    // One point a pass, one gain-table record each.
    const uint32_t passes = context.gainRecords;
    std::vector<uint32_t> contrast;
    TcsResult walked = walkPoints(context, 1, passes,
                                  [&](uint32_t, uint32_t, uint32_t, const std::vector<uint32_t>& sums) {
                                      contrast.push_back(alternateContrast(sums, range));
                                      return TCS_RESULT_OK;
                                  });
    if (walked != TCS_RESULT_OK) return walked;
    uint32_t chosen = 0;
    const TcsResult picked = chooseByContrast(contrast, &chosen);
    if (picked != TCS_RESULT_OK) return picked;
    const uint8_t* gains = context.gainTable.data() + size_t(chosen) * 16 + 1;
    for (uint32_t i = 0; i < 6; ++i) calResultsSetByte(results, SCS_CAL_BLOCK_ASP_LNA1, 2 * i, gains[i]);
    calResultsSetByte(results, SCS_CAL_BLOCK_ASP_LNA1, CAL_ITEM_GAIN_TABLE_INDEX_PRI, uint8_t(chosen));
    const uint8_t* limits = context.limitBytes(SCS_CAL_BLOCK_ASP_LNA1);
    if (!context.noLimitCheck && limits != nullptr &&
        (!within(gains[1], limits, 0) || !within(gains[3], limits, 2) || !within(gains[5], limits, 4))) {
        return 4;
    }
    return TCS_RESULT_OK;
}

TcsResult stepWoe(ScsHarlokCalContext& context, CalResultsContainer* results) {
    // Continuity of the whole capture first.
    LineSequence sequence;
    uint32_t dataLines = 0;
    for (uint32_t i = 0; i < context.lineCount; ++i) {
        const TcsResult kind = checkLine(sequence, context.lines.data() + size_t(i) * context.bytesPerLine);
        if (kind == TCS_RESULT_BAD_PARAM) return kind;
        if (kind == 1) break;
        ++dataLines;
    }
    if (!sequence.endMarker) return TCS_RESULT_BAD_PARAM;
    auto lineAt = [&](uint32_t i) { return context.lines.data() + size_t(i) * context.bytesPerLine; };
    const uint8_t* limits = context.limitBytes(SCS_CAL_BLOCK_WOE);

    if (context.woeType != 2) {
        std::vector<SweepPoint> points;
        if (sweepPoints(context.sweepWords.data(), uint32_t(context.sweepWords.size()), 0, &points) != TCS_RESULT_OK) {
            return 11;
        }
        size_t index = 0;
        for (uint32_t i = 0; i < dataLines; ++i) {
            for (uint32_t at = kHeaderBytes; at + 4 <= context.bytesPerLine; at += 4) {
                const uint8_t status = lineAt(i)[at];
                if (index >= points.size() || (status & 0x10) == 0) return 10;
                if (status & 0x08) {
                    const uint32_t threshold = points[index].value & 0xFF;
                    calResultsSetByte(results, SCS_CAL_BLOCK_WOE, CAL_ITEM_THRESHOLD, uint8_t(threshold));
                    if (!context.noLimitCheck && limits != nullptr && !within(threshold, limits, 0)) return 4;
                    context.woeThreshold = threshold;
                    context.woeGain = 128;
                    return TCS_RESULT_OK;
                }
                ++index;
            }
        }
        return 10;
    }

    const uint32_t fingerCheck = settingLong("woeUseFingerCheck", 1);
    const uint32_t maxVariance = settingLong("woeMaxVariance", context.row().word(31));
    uint32_t status = 0xFF, gain = 0, threshold = 0, foundLine = 0;
    bool ended = false;
    for (uint32_t i = 0; i < dataLines && !ended; ++i) {
        for (uint32_t at = kHeaderBytes; at + 8 <= context.bytesPerLine; at += 8) {
            const uint8_t entry = lineAt(i)[at];
            if (entry == 0) {
                status = 0;
                gain = lineAt(i)[at + 1];
                threshold = lineAt(i)[at + 2];
            } else if (entry >= 4) {
                status = entry;
            } else {
                continue;
            }
            foundLine = i;
            ended = true;
            break;
        }
    }
    // The finger check reads the line after the entry: 2 without one, 23 when it varies too much.
    auto fingerResult = [&]() -> TcsResult {
        if (fingerCheck == 0) return TCS_RESULT_OK;
        if (foundLine + 1 >= dataLines) return 2;
        const uint8_t* next = lineAt(foundLine + 1);
        return le32(next + 8) <= maxVariance && le32(next + 12) <= maxVariance ? TcsResult(TCS_RESULT_OK) : TcsResult(23);
    };
    if (ended && status == 0) {
        const TcsResult check = fingerResult();
        if (check != TCS_RESULT_OK) return check;
        calResultsSetByte(results, SCS_CAL_BLOCK_WOE, CAL_ITEM_GAIN_PRI, uint8_t(gain));
        calResultsSetByte(results, SCS_CAL_BLOCK_WOE, CAL_ITEM_THRESHOLD, uint8_t(threshold));
        calResultsSetByte(results, SCS_CAL_BLOCK_WOE, CAL_ITEM_STATE, 0);
        if (!context.noLimitCheck && limits != nullptr && (!within(gain, limits, 2) || !within(threshold, limits, 0))) {
            return 4;
        }
        context.woeThreshold = threshold;
        context.woeGain = gain;
        return TCS_RESULT_OK;
    }
    calResultsSetByte(results, SCS_CAL_BLOCK_WOE, CAL_ITEM_GAIN_PRI, 0);
    calResultsSetByte(results, SCS_CAL_BLOCK_WOE, CAL_ITEM_THRESHOLD, 0);
    calResultsSetByte(results, SCS_CAL_BLOCK_WOE, CAL_ITEM_STATE, uint8_t(ended ? status : 0));
    if (ended && status == 4) return fingerResult() == 23 ? 23 : 22;
    return 22;
}

TcsResult stepCommDet(ScsHarlokCalContext& context, CalResultsContainer* results) {
    const CalRow& row = context.row();
    std::vector<SweepPoint> points;
    const TcsResult swept = sweepPoints(context.sweepWords.data(), uint32_t(context.sweepWords.size()), 0, &points);
    if (swept != TCS_RESULT_OK) return swept;
    if (context.windows.empty() || context.windows[0].last < context.windows[0].first) return 3;
    const Window range = context.windows[0];
    const uint32_t group = atLeastOne(row.word(33));
    const uint32_t entries = atLeastOne(row.word(19));
    const uint32_t passes = atLeastOne(row.word(21));
    const uint32_t linesPerPoint = atLeastOne(row.word(20));
    const bool settle = row.word(32) == 1;
    const bool interleave = row.word(36) == 1;
    if (context.lineCount == 0 || context.bytesPerLine <= kHeaderBytes) return TCS_RESULT_BAD_PARAM;
    if (group >= 2 && passes < 2) return 11;
    if (!settle && (range.first & 1u) == 0) return 9;
    if (interleave && passes % 2 != 0) return 31;
    if (context.gainRecords < entries) return 2;

    // Inversion: the first group of columns brighter than the second over the first point's lines.
    const uint32_t columns = columnsOf(context);
    uint64_t group0 = 0, group1 = 0;
    for (uint32_t i = 0; i < linesPerPoint && i < context.lineCount; ++i) {
        const uint8_t* line = context.lines.data() + size_t(i) * context.bytesPerLine + kHeaderBytes;
        for (uint32_t c = 0; c < group && c < columns; ++c) group0 += line[c];
        for (uint32_t c = group; c < 2 * group && c < columns; ++c) group1 += line[c];
    }
    const bool inverted = group0 > group1;
    const uint8_t* firstLine = context.lines.data() + kHeaderBytes;
    const uint32_t saturation = row.word(22);
    if (saturation != 0 && ((range.first < columns && firstLine[range.first] >= saturation) ||
                            (range.first + group < columns && firstLine[range.first + group] >= saturation))) {
        return 1;
    }

    // Per capacitor point and channel: the largest channel sum and the entry that gave it.
    const size_t capacitors = points.size();
    std::vector<uint32_t> best[2] = {std::vector<uint32_t>(capacitors, 0), std::vector<uint32_t>(capacitors, 0)};
    std::vector<uint32_t> bestEntry[2] = {std::vector<uint32_t>(capacitors, 0), std::vector<uint32_t>(capacitors, 0)};
    uint32_t overall = 0, overallCap = 0;
    const uint32_t chunksPerPass = uint32_t(capacitors) * entries;
    TcsResult walked = walkPoints(context, chunksPerPass, passes,
                                  [&](uint32_t, uint32_t chunk, uint32_t pass, const std::vector<uint32_t>& sums) {
                                      const uint32_t cap = chunk / entries, entry = chunk % entries;
                                      auto [a, b] = interleavedSums(sums, range, group, 0);
                                      const uint32_t sum = inverted ? a : b;
                                      const uint32_t channel = interleave ? pass % 2 : 0;
                                      // Only a strictly greater sum replaces the kept one.
                                      if (sum > best[channel][cap]) {
                                          best[channel][cap] = sum;
                                          bestEntry[channel][cap] = entry;
                                      }
                                      if (sum > overall) {
                                          overall = sum;
                                          overallCap = cap;
                                      }
                                      return TCS_RESULT_OK;
                                  });
    if (walked != TCS_RESULT_OK) return walked;
    if (!interleave) {
        best[1] = best[0];
        bestEntry[1] = bestEntry[0];
    }

    uint32_t chosenCap[2] = {overallCap, overallCap};
    if (settle) {
        const uint32_t step = context.sweepWords.size() > 2 ? context.sweepWords[2] : 1;
        for (uint32_t channel = 0; channel < 2; ++channel) {
            std::vector<std::pair<uint32_t, uint32_t>> pairs;
            for (size_t i = 0; i < capacitors; ++i) pairs.push_back({best[channel][i], 0});
            uint32_t out[4] = {};
            const TcsResult rule =
                chooseValuesWithRCAlg(uint32_t(pairs.size()), pairs.data(), step, 1, false, true, out);
            if (rule != TCS_RESULT_OK) return rule;
            chosenCap[channel] = out[1];
        }
    } else if (capacitors >= 3) {
        // The first best entry that repeats among three consecutive capacitor points.
        for (size_t i = 0; i + 2 < capacitors; ++i) {
            const uint32_t e = bestEntry[0][i];
            if (bestEntry[0][i + 1] == e || bestEntry[0][i + 2] == e) {
                chosenCap[0] = chosenCap[1] = uint32_t(i);
                break;
            }
        }
    }
    if (chosenCap[0] >= capacitors || chosenCap[1] >= capacitors) return 2;

    uint16_t cf1 = capacitorField(points[chosenCap[0]].value);
    uint16_t cf2 = capacitorField(interleave ? points[chosenCap[1]].value : points[chosenCap[0]].companion);
    bool adjusted = false;
    if (row.word(11) != 0) {
        const uint32_t k = (144 + row.word(11) - 1) / row.word(11);
        if (cf1 >= (k + 2) * 256) {
            auto lower = [&](uint16_t field) {
                uint32_t value = field - (k / 2) * 256;
                if (k & 1u) {
                    // A further half step down: bit 1 toggles, borrowing 256 when it was clear.
                    value = (value & 2u) ? value & ~2u : value - 256 + 2;
                }
                return uint16_t(value);
            };
            cf1 = lower(cf1);
            cf2 = lower(cf2);
            adjusted = true;
        }
    }

    const uint8_t* pri = context.gainTable.data() + size_t(bestEntry[0][chosenCap[0]]) * 16 + 1;
    const uint8_t* sec = context.gainTable.data() + size_t(bestEntry[1][chosenCap[1]]) * 16 + 1;
    const uint8_t* limits = context.limitBytes(SCS_CAL_BLOCK_COMMDET);
    uint32_t violations = 0;
    if (!context.noLimitCheck && limits != nullptr) {
        auto inWords = [&](uint32_t value, uint32_t word) {
            return value >= le16(limits + 2 * word) && value <= le16(limits + 2 * word + 2);
        };
        if (!inWords(cf1, 6) && !inWords(cf1, 8)) ++violations;
        if (!inWords(cf2, 10) && !inWords(cf2, 12)) ++violations;
        if (!within(pri[1], limits, 0)) ++violations;
        if (!within(pri[3], limits, 4)) ++violations;
        if (!within(pri[5], limits, 8)) ++violations;
        if (!within(sec[1], limits, 2)) ++violations;
        if (!within(sec[3], limits, 6)) ++violations;
        if (!within(sec[5], limits, 10)) ++violations;
    }

    if (cf1 & 2u) calResultsSetFlag(results, SCS_CAL_BLOCK_COMMDET, CAL_FLAG_CF1_HALF_STEP);
    if (cf2 & 2u) calResultsSetFlag(results, SCS_CAL_BLOCK_COMMDET, CAL_FLAG_CF2_HALF_STEP);
    calResultsSetByte(results, SCS_CAL_BLOCK_COMMDET, CAL_ITEM_GAIN_TABLE_INDEX_PRI,
                      uint8_t(chosenCap[0] + bestEntry[0][chosenCap[0]]));
    calResultsSetByte(results, SCS_CAL_BLOCK_COMMDET, CAL_ITEM_GAIN_TABLE_INDEX_SEC,
                      uint8_t(chosenCap[1] + bestEntry[1][chosenCap[1]]));
    if (inverted) calResultsSetFlag(results, SCS_CAL_BLOCK_COMMDET, CAL_FLAG_INVERT_IMAGE);
    if (adjusted) calResultsSetFlag(results, SCS_CAL_BLOCK_COMMDET, CAL_FLAG_CF_ADJUSTED);
    if (inverted != adjusted) std::swap(cf1, cf2);
    calResultsSetWord(results, SCS_CAL_BLOCK_COMMDET, CAL_WORD_CF1, cf1);
    calResultsSetWord(results, SCS_CAL_BLOCK_COMMDET, CAL_WORD_CF2, cf2);
    for (uint32_t i = 0; i < 6; ++i) {
        // Items in set order: each Pri field followed by its Sec partner.
        calResultsSetByte(results, SCS_CAL_BLOCK_COMMDET, 2 * i, pri[i]);
        calResultsSetByte(results, SCS_CAL_BLOCK_COMMDET, 2 * i + 1, sec[i]);
    }
    return violations != 0 ? TcsResult(4) : TcsResult(TCS_RESULT_OK);
}

}  // namespace scscal
