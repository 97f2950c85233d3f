// Lag finalisation of the chosen direction: reliability fill, median filter, plateaus, stiction
// zones, leading noise and the junk tail, then the same for the x lags.
#include "tcs/imaging/reconstruction/lag_final.h"

#include "tcs/imaging/reconstruction/recon_memory.h"
#include "tcs/imaging/reconstruction/recon_state.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace {

constexpr uint8_t kUnreliable = 255;
constexpr uint32_t kReliableScore = 40;

struct Pool {
    IrReconState& s;
    uint32_t d;
    uint8_t* line(uint32_t i) const { return tcsGetEntryFromCompoundCircBuffer(i, &s.pool); }
    int32_t lag(uint32_t i) const { return line(i)[d]; }
    void setLag(uint32_t i, int32_t v) const { line(i)[d] = uint8_t(v); }
    int32_t x(uint32_t i) const { return int8_t(line(i)[4 + d]); }
    void setX(uint32_t i, int32_t v) const { line(i)[4 + d] = uint8_t(int8_t(v)); }
    int32_t score(uint32_t i) const { return line(i)[6 + d]; }
    uint32_t count() const { return s.pool.count; }
};

// Rounded quotient, symmetric for negative sums.
int32_t roundDiv(int32_t sum, int32_t n) {
    if (n <= 0) return 0;
    return sum >= 0 ? (sum + n / 2) / n : -((-sum + n / 2) / n);
}

// Straight line from (a, va) to (b, vb): the value at line i.
int32_t stepped(uint32_t a, int32_t va, uint32_t b, int32_t vb, uint32_t i) {
    if (b == a) return va;
    return va + roundDiv((vb - va) * int32_t(i - a), int32_t(b - a));
}

bool startCandidate(const Pool& p, uint32_t i, int32_t maxLag) {
    return i >= 5 && p.score(i) >= 59 && p.lag(i) <= maxLag;
}

// Lines walked from `from` towards `limit` before a start candidate confirmed by its next two lines.
uint32_t countToCandidate(const Pool& p, uint32_t from, uint32_t limit, int32_t maxLag) {
    uint32_t n = 0;
    for (uint32_t i = from; i < limit; ++i) {
        if (startCandidate(p, i, maxLag) && i + 2 < p.count() && p.score(i + 1) >= 62 && p.score(i + 2) > 61) break;
        ++n;
    }
    return n;
}

}  // namespace

uint8_t opt_med5(uint8_t* p) {
    auto sort2 = [&](int a, int b) {
        if (p[a] > p[b]) std::swap(p[a], p[b]);
    };
    sort2(0, 1);
    sort2(3, 4);
    sort2(0, 3);
    sort2(1, 4);
    sort2(1, 2);
    sort2(2, 3);
    sort2(1, 2);
    return p[2];
}

void interpolateYlags(IrReconState* state, uint32_t d, uint32_t a, int32_t lagA, uint32_t b, int32_t lagB,
                      uint32_t mode) {
    if (state == nullptr) return;
    const Pool p{*state, d};
    if (a >= p.count()) return;
    p.setLag(a, lagA);
    const bool longSpan = b + 1 > a + 39;
    for (uint32_t i = a + 1; i < b && i < p.count(); ++i) {
        const int32_t v = stepped(a, lagA, b, lagB, i), own = p.lag(i);
        bool write = mode == 1;
        if (mode != 1) {
            if (longSpan && !(own < 18 && own - v < 6)) continue;
            write = mode == 2 || v < 18 || (p.score(i) < int32_t(kReliableScore) && own < v - 6);
        }
        if (write) p.setLag(i, v);
    }
}

void interpolateXlags(IrReconState* state, uint32_t d, uint32_t a, int32_t xA, uint32_t b, int32_t xB,
                      uint32_t guarded) {
    if (state == nullptr) return;
    const Pool p{*state, d};
    if (a >= p.count()) return;
    p.setX(a, xA);
    const uint32_t span = b + 1 - a;
    int32_t previous = xA;
    for (uint32_t i = a + 1; i < b && i < p.count(); ++i) {
        const int32_t v = stepped(a, xA, b, xB, i), own = p.x(i), sc = p.score(i);
        const bool keep = sc >= 100 && sc <= 127 && span >= (guarded ? 60u : 50u) && abs(v - own) <= 10 &&
                          abs(own - previous) < 5;
        if (!keep) p.setX(i, v);
        previous = p.x(i);
    }
}

uint32_t detectStictionZone(IrReconState* state, uint32_t d, uint32_t windowStart, uint32_t first, uint32_t last,
                            const uint8_t* lags) {
    (void)windowStart;
    if (state == nullptr || lags == nullptr || last < first) return 0;
    const Pool p{*state, d};
    const int32_t n = int32_t(last - first);
    if (n < 40) return 0;
    int32_t above17 = 0, atLeast21 = 0, strong = 0, fellOne = 0, jumpSettled = 0, jumps = 0, mx = 0, mn = 50, sum = 0;
    for (uint32_t i = first + 1; i < last; ++i) {
        const int32_t v = lags[i], prev = lags[i - 1], next = lags[i + 1];
        above17 += v > 17;
        atLeast21 += v >= 21;
        strong += p.score(i) >= 71;
        fellOne += prev - v == 1;
        if (abs(v - prev) > 5) {
            ++jumps;
            if (abs(next - v) <= 4) ++jumpSettled;
        }
        mx = std::max(mx, v);
        mn = std::min(mn, v);
        sum += v;
    }
    const int32_t total = n + 1, inner = std::max(n - 1, 1);
    const int32_t A = above17 * 100 / total, B = atLeast21 * 100 / total, C = (2 + strong) * 100 / total;
    const int32_t D = fellOne * 100 / total, E = jumpSettled * 100 / total, F = jumps * 100 / total;
    const int32_t R = mx - mn, S = sum / inner;

    bool stiction = A >= 31 && !(B < 16 && (B < 7 || A < 59)) && R >= 15 && mx >= 22 &&
                    (C < 45 || (C < 88 && (A > 45 || B >= 23))) && D >= 25 && E > 8;
    if (!stiction) {
        const bool P = R > 16 && mx > 17 && D > 35 && E > 5 && C < 55;
        if (!(A > 12 && B >= 6)) {
            stiction = A > 8 && P;
        } else if (R >= 18 && mx > 21) {
            stiction = P || !((C < 21 && B < 8) || mn > 4 || (D < 25 && E < 15) || (D < 33 && E < 9) || C > 87 || E < 7);
        } else {
            stiction = P;
        }
    }
    if (!stiction) {
        stiction = A > 40 && B > 30 && mx > 19 && D > 15 && (C > 68 || (C >= 51 && A >= 71)) && S > 20;
    }
    bool candidate = false;
    bool toStep5 = stiction;
    if (!stiction) {
        const bool Z = !(R >= 18 && mx > 19);
        if (!((A < 9 && C > 11) || Z) && !((F < 36 && E < 15 && C > 3) || D > 11 || C > 19)) {
            candidate = true;
        } else if (A >= 16 && B >= 5 && !(Z || C > 9 || mn > 4)) {
            candidate = (D >= 21 && E >= 6) || E > 8;
            toStep5 = !candidate;
        } else {
            toStep5 = true;
        }
    }
    if (toStep5 && C > 70) return 2;
    if (n < 75 && E <= 4 && mx >= 16 && mx <= 22 && !(mn < 6 && A < 36) && (D >= 21 || (D >= 16 && A >= 36 && B >= 21))) {
        return 2;
    }
    if (stiction || candidate || (A > 55 && B > 35 && C < 10 && n > 99)) return 1;
    if (A >= 51 && B > 40) return 3;
    return 0;
}

uint32_t detectNoiseBeforeBase(IrReconState* state, uint32_t d, uint32_t lineCount, uint32_t startLine) {
    if (state == nullptr) return 0;
    const Pool p{*state, d};
    const uint32_t n = std::min(lineCount, p.count());
    const uint32_t fallback = lineCount > 9 ? lineCount - 9 : 0;
    if (lineCount <= 99) return fallback;
    int32_t sum = 0, counted = 0;
    for (uint32_t i = n / 4 + 1; i <= 3 * n / 4 && i < p.count(); ++i) {
        sum += p.score(i);
        ++counted;
    }
    const int32_t t = (counted > 0 ? sum / counted : 0) * 24 / 32 + 2;
    int64_t remembered = -1;
    bool weakSeen = false;
    uint32_t strongRun = 0;
    uint32_t i = std::min(startLine, p.count() > 0 ? p.count() - 1 : 0);
    for (uint32_t steps = 0; steps < 165 && i >= 1; ++steps, --i) {
        if (p.score(i) < t) {
            weakSeen = true;
            strongRun = 0;
            if (p.score(i - 1) < t) remembered = i;
        } else if (weakSeen && ++strongRun >= 3 && remembered >= 0) {
            return remembered >= 11 ? uint32_t(remembered - 10) : uint32_t(remembered);
        }
    }
    return remembered >= 0 ? uint32_t(remembered) : fallback;
}

namespace {

struct Window {
    uint32_t start = 0;
    uint32_t end = 0;
};

// Unreliable runs are filled from their reliable neighbours.
template <typename Fill>
void fillUnreliable(const Window& w, const uint8_t* reliable, Fill fill) {
    uint32_t i = w.start;
    while (i <= w.end) {
        if (reliable[i - w.start]) {
            ++i;
            continue;
        }
        uint32_t j = i;
        while (j <= w.end && !reliable[j - w.start]) ++j;
        fill(i, j);  // run [i, j); j beyond the window when nothing reliable follows
        i = j;
    }
}

}  // namespace

TcsResult IRfinalizeYlagEstimates(IrReconState* state, uint32_t d, uint32_t param45, YPlateau* plateaus,
                                  uint32_t* plateauCount, uint32_t* trailingCount, uint32_t* windowEnd,
                                  uint32_t* noiseEnd) {
    (void)param45;
    if (state == nullptr || plateaus == nullptr || plateauCount == nullptr || trailingCount == nullptr ||
        windowEnd == nullptr || noiseEnd == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    *plateauCount = *trailingCount = *windowEnd = *noiseEnd = 0;
    IrReconState& s = *state;
    s.results.stictionCount = 0;
    s.results.stictionTotal = 0;
    const Pool p{s, d};
    const uint32_t count = p.count();
    if (count <= 10) return 1;

    Window w;
    w.end = count - 1;
    if (count > kFinalWindow) {
        w.start = countToCandidate(p, 0, count, 16) + 5;
        w.end = w.start + kFinalWindow - 1;
        if (w.end > count - 1) {
            w.end = count - 1;
            w.start = count - kFinalWindow;
        }
    }
    const uint32_t len = w.end - w.start + 1;
    uint8_t* scratch = s.volatileArea;
    uint8_t* unfiltered = volatileMemAlloc(scratch, kFinalWindow + 4);
    uint8_t* reliable = volatileMemAlloc(scratch, kFinalWindow + 4);
    uint8_t* lags = volatileMemAlloc(scratch, w.end + 1);
    auto release = [&]() {
        if (lags != nullptr) volatileMemFree(scratch, lags);
        if (reliable != nullptr) volatileMemFree(scratch, reliable);
        if (unfiltered != nullptr) volatileMemFree(scratch, unfiltered);
    };
    if (unfiltered == nullptr || reliable == nullptr || lags == nullptr) {
        release();
        return TCS_RESULT_BUFFER_TOO_SMALL;
    }

    // The stiction classifier reads this copy of the lags: as measured, since the median filter
    // below would smooth away the climb-and-fall pattern it looks for, and 255 where the score is
    // too weak to trust them. A weak line's header holds the last good lag, not a measurement: read
    // as such, a stuck finger that no earlier line matches passes for a slow, steady slide.
    for (uint32_t i = 0; i <= w.end; ++i) {
        lags[i] = p.score(i) < int32_t(kReliableScore) ? kUnreliable : uint8_t(p.lag(i));
    }
    int32_t minLag = 255, maxLag = 0;
    for (uint32_t i = w.start; i <= w.end; ++i) {
        unfiltered[i - w.start] = uint8_t(p.lag(i));
        reliable[i - w.start] = p.score(i) >= int32_t(kReliableScore);
        if (reliable[i - w.start]) {
            minLag = std::min(minLag, p.lag(i));
            maxLag = std::max(maxLag, p.lag(i));
        }
    }
    fillUnreliable(w, reliable, [&](uint32_t i, uint32_t j) {
        const uint32_t from = i > w.start ? i - 1 : i;
        const int32_t fromLag = i > w.start ? p.lag(i - 1) : (j <= w.end ? p.lag(j) : s.defaultLag);
        if (j <= w.end) {
            interpolateYlags(&s, d, from, fromLag, j, p.lag(j), 1);
        } else {
            for (uint32_t k = i; k <= w.end; ++k) p.setLag(k, s.defaultLag);
        }
    });
    if (count > 4) {
        for (uint32_t i = w.start + 2; i + 2 <= w.end; ++i) {
            uint8_t five[5] = {uint8_t(p.lag(i - 2)), uint8_t(p.lag(i - 1)), uint8_t(p.lag(i)), uint8_t(p.lag(i + 1)),
                               uint8_t(p.lag(i + 2))};
            p.setLag(i, opt_med5(five));
        }
    }
    s.results.minYLag = uint8_t(minLag == 255 ? 0 : minLag);
    s.results.maxYLag = uint8_t(maxLag);
    const uint32_t stictionWindow = len < 360 ? std::max<uint32_t>(len / 10, 21) : 36;

    // Plateaus.
    uint32_t n = 0, limit = w.start;
    for (uint32_t i = w.start + 12; i <= w.end && n < kMaxPlateaus;) {
        const int32_t l0 = p.lag(i);
        if (p.score(i) <= 39) {
            ++i;
            continue;
        }
        uint32_t j = i + 1, weak = 0, accepted = 1;
        int32_t scoreSum = p.score(i);
        while (j <= w.end && abs(p.lag(j) - l0) <= 1) {
            if (p.score(j) < 10 && ++weak > 4) break;
            scoreSum += p.score(j);
            ++accepted;
            ++j;
        }
        if (accepted < 9) {
            i = j;
            continue;
        }
        int32_t lo = l0, hi = l0;
        uint32_t weakNewer = 0, weakOlder = 0;
        uint32_t st = i;
        while (st > limit + 3 && st > w.start) {
            const int32_t v = p.lag(st - 1);
            if (abs(v - l0) > 6 || abs(v - p.lag(st)) > 3 || std::max(hi, v) - std::min(lo, v) >= 7) break;
            if (p.score(st - 1) < 40 && ++weakNewer > 3) break;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
            --st;
        }
        uint32_t en = j - 1;
        while (en + 1 <= w.end) {
            const int32_t v = p.lag(en + 1);
            if (abs(v - l0) > 3 || std::max(hi, v) - std::min(lo, v) >= 7) break;
            if (p.score(en + 1) < 40 && ++weakOlder > 3) break;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
            ++en;
        }
        const uint32_t length = en - st + 1;
        const int32_t seedMean = scoreSum / int32_t(accepted);
        if (!(length > stictionWindow || (length >= 22 && seedMean >= 101))) {
            i = en + 1;
            continue;
        }
        YPlateau& pl = plateaus[n++];
        int32_t sum = 0;
        for (uint32_t k = st; k <= en; ++k) sum += p.lag(k);
        pl = YPlateau{st, en, p.lag(st), p.lag(en), (sum + int32_t(length) / 2) / int32_t(length), l0};
        if (st + 8 <= en) {
            const int32_t in8 = p.lag(st + 8);
            if (abs(pl.meanLag - pl.startLag) >= 3 || pl.meanLag == in8 || pl.meanLag == in8 + 1) {
                pl.start = st + 9 <= en ? st + 9 : en;
                pl.startLag = in8;
            }
        }
        if (abs(pl.meanLag - pl.endLag) > 2 && en >= st + 8) pl.endLag = p.lag(en - 8);
        limit = en;
        i = en + 4;
    }

    // Repair between plateaus.
    uint32_t pos = w.start;
    int32_t current = n > 0 ? plateaus[0].startLag : s.defaultLag;
    for (uint32_t k = 0; k < n; ++k) {
        YPlateau& pl = plateaus[k];
        const uint32_t cls = pl.start > pos ? detectStictionZone(&s, d, w.start, pos, pl.start, lags) : 0;
        if (cls != 1) {
            const uint32_t length = pl.end - pl.start + 1;
            const int32_t nextStart = k + 1 < n ? plateaus[k + 1].startLag : plateaus[n - 1].startLag;
            if (length < 50 && abs(pl.startLag - current) > 5 && abs(pl.endLag - nextStart) >= 5 && cls != 2) continue;
            int32_t target = pl.startLag;
            if (k == 0 && pl.start >= 31 && pl.end - pl.start >= 151 && pl.startLag <= 9) {
                int32_t sum = 0;
                for (uint32_t q = pl.start + 5; q < pl.start + 25; ++q) sum += p.lag(q);
                pl.start += 5;
                current = target = (sum + 10) / 20;
            }
            const uint32_t stretch = pl.start > pos ? pl.start - pos : 0;
            if (!(stretch < 201 && (current < 21 || target < 21))) {
                int32_t sum = 0;
                for (uint32_t q = pos; q < pl.start; ++q) sum += p.lag(q);
                const int32_t mean = roundDiv(sum, int32_t(stretch));
                if (abs(mean - current) > 3) target = mean;
            }
            if (pl.start > pos) interpolateYlags(&s, d, pos, current, pl.start, target, 1);
        } else if (pos > w.start + 50) {
            IrReconResults& r = s.results;
            const uint32_t length = pl.start - pos;
            r.stictionZones[r.stictionCount % 4] = (pl.start & 0xFFF) | ((length & 0x3FF) << 12);
            ++r.stictionCount;
            r.stictionTotal += length;
        }
        pos = pl.end <= w.end ? pl.end : w.end - 1;
        current = pl.endLag;
    }

    // Tail.
    const uint32_t distance = w.end - pos;
    int32_t tail = current;
    if (distance > 400) {
        int32_t sum = 0;
        for (uint32_t q = pos; q <= w.end; ++q) sum += p.lag(q);
        const int32_t mean = roundDiv(sum, int32_t(distance + 1));
        if (abs(mean - current) > 3) tail = mean;
    }
    if (pos + 1 < w.end && tail < 30 && n >= 2) interpolateYlags(&s, d, pos + 1, current, w.end, tail, 0);

    // Junk at the newest end of the swipe.
    int64_t c = std::min<uint32_t>(w.start + countToCandidate(p, w.start, w.end - 1, 21) + 5, w.end - 1);
    if (n > 0) {
        const int64_t p0 = plateaus[0].start;
        int32_t k = 0, m = 0;
        if (c < p0) {
            int32_t scoreSum = 0;
            for (int64_t q = c; q < p0; ++q) {
                if (unfiltered[q - w.start] > 5 && p.score(uint32_t(q)) < 75) {
                    ++k;
                    if (c > 30) p.setLag(uint32_t(q), kJunkLag);
                }
                scoreSum += p.score(uint32_t(q));
            }
            m = scoreSum / int32_t(p0 - c);
        }
        if (p0 > c + 44) {
            if (p0 <= c + 59) {
                if (detectStictionZone(&s, d, w.start, uint32_t(c), uint32_t(p0), lags) != 0 && k >= 11) c = p0 - 5;
            } else if (p0 > c + 100 && int64_t(w.end) >= p0 + 201 && k >= 26 && m <= 39) {
                c = p0 - c > 200 ? p0 - 100 : p0 - 25;
            }
        } else if (p0 >= 5) {
            const uint32_t firstLength = plateaus[0].end - plateaus[0].start;
            if (((k > 6 && c + 4 < p0) || c > p0 || p0 - c <= 11) && plateaus[0].meanLag < 22 &&
                !(firstLength < 40 && c > 99)) {
                c = p0 - 5;
            }
        }
    }
    if (c < 0) c = 0;
    uint32_t trailing = uint32_t(c) + (w.end >= 451 ? 10 : 0);
    if (trailing >= w.end) trailing = w.end - 1;

    // Noise before the finger really moved.
    uint32_t searchStart = w.end > 25 ? w.end - 25 : 0;
    if (n > 0) {
        const YPlateau& last = plateaus[n - 1];
        if (last.end - last.start < 55 && last.end > 500 && last.start >= 10) searchStart = last.start - 10;
    }
    const uint32_t r1 = detectNoiseBeforeBase(&s, d, w.end, searchStart);
    uint32_t noise = r1;
    if (r1 > 100) {
        const uint32_t r2 = detectNoiseBeforeBase(&s, d, r1, r1 - 15);
        if (r2 >= r1 && r2 <= r1 + 139) {
            noise = r2;
        } else if (len > 600) {
            noise = r2;
        } else if (len > 550) {
            noise = (r1 + r2) / 2;
        }
    }
    for (uint32_t q = 0; q < trailing; ++q) p.setLag(q, kJunkLag);
    s.results.yPlateauCount = uint8_t(n);
    // Zones count for the verdict when they lie inside this window and end well before its end.
    s.results.stictionLower = w.start;
    s.results.stictionUpper = w.end + 1;
    *plateauCount = n;
    *trailingCount = trailing;
    *windowEnd = w.end;
    *noiseEnd = noise;
    release();
    return TCS_RESULT_OK;
}

TcsResult IRfinalizeXlagEstimates(IrReconState* state, uint32_t d, uint32_t param45, uint32_t trailingCount,
                                  uint32_t windowEnd) {
    (void)param45;
    if (state == nullptr) return TCS_RESULT_NULL_POINTER;
    IrReconState& s = *state;
    const Pool p{s, d};
    if (p.count() == 0) return 1;
    Window w;
    w.start = trailingCount;
    w.end = std::min(windowEnd, p.count() - 1);
    if (w.end - w.start + 1 > kFinalWindow) w.start = w.end + 1 - kFinalWindow;
    if (w.start >= w.end || (w.end - w.start + 1 < kFinalWindow && w.end <= 9)) return 1;
    const uint32_t len = w.end - w.start + 1;
    uint8_t* scratch = s.volatileArea;
    uint8_t* reliable = volatileMemAlloc(scratch, kFinalWindow + 4);
    if (reliable == nullptr) return TCS_RESULT_BUFFER_TOO_SMALL;
    for (uint32_t i = w.start; i <= w.end; ++i) reliable[i - w.start] = p.score(i) >= 40 && abs(p.x(i)) <= 7;
    fillUnreliable(w, reliable, [&](uint32_t i, uint32_t j) {
        const int32_t before = i > w.start ? p.x(i - 1) : 0;
        const int32_t after = j <= w.end ? p.x(j) : 0;
        interpolateXlags(&s, d, i > w.start ? i - 1 : i, before, std::min(j, w.end), after, 1);
        if (j > w.end) p.setX(w.end, after);
    });
    volatileMemFree(scratch, reliable);
    if (p.count() > 4) {
        for (uint32_t i = w.start + 2; i + 2 <= w.end; ++i) {
            uint8_t five[5];
            for (int k = 0; k < 5; ++k) five[k] = uint8_t(p.x(i + k - 2) + 128);
            p.setX(i, int32_t(opt_med5(five)) - 128);
        }
    }

    const uint32_t window = len < 350 ? std::max<uint32_t>(len / 10, 20) : 35;
    YPlateau plateaus[kMaxPlateaus];
    uint32_t n = 0;
    for (uint32_t i = w.start + 12; i <= w.end && n < kMaxPlateaus;) {
        const int32_t x0 = p.x(i);
        uint32_t j = i + 1, weak = 0, accepted = 1;
        while (j <= w.end && abs(p.x(j) - x0) <= 2) {
            if (p.score(j) < 10 && ++weak > 4) break;
            ++accepted;
            ++j;
        }
        if (accepted < 9) {
            i = j;
            continue;
        }
        int32_t lo = x0, hi = x0;
        uint32_t weakNewer = 0, weakOlder = 0, st = i, en = j - 1;
        while (st > w.start) {
            const int32_t v = p.x(st - 1);
            if (abs(v - x0) > 3 || abs(v - p.x(st)) > 2 || std::max(hi, v) - std::min(lo, v) >= 4) break;
            if (p.score(st - 1) < 40 && ++weakNewer > 3) break;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
            --st;
        }
        while (en + 1 <= w.end) {
            const int32_t v = p.x(en + 1);
            if (abs(v - x0) > 2 || std::max(hi, v) - std::min(lo, v) >= 4) break;
            if (p.score(en + 1) < 40 && ++weakOlder > 3) break;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
            ++en;
        }
        if (en - st <= window) {
            i = en + 1;
            continue;
        }
        int32_t sum = 0;
        for (uint32_t k = st; k <= en; ++k) sum += p.x(k);
        YPlateau& pl = plateaus[n++];
        pl = YPlateau{st, en, p.x(st), p.x(en), roundDiv(sum, int32_t(en - st + 1)), x0};
        const int32_t in8 = p.x(st + 8);
        if (abs(pl.meanLag - pl.startLag) >= 3 || pl.meanLag >= in8) {
            pl.start = st + 9;
            pl.startLag = in8;
        }
        const int32_t back8 = p.x(en - 8);
        if (abs(pl.meanLag - pl.endLag) > 2 || pl.meanLag == back8) {
            pl.end = en - 4;
            pl.endLag = back8;
        }
        i = en + 4;
    }

    uint32_t plateauLines = 0, centredLines = 0;
    for (uint32_t k = 0; k < n; ++k) {
        const uint32_t length = plateaus[k].end - plateaus[k].start;
        plateauLines += length;
        if (abs(plateaus[k].meanLag) <= 1) centredLines += length;
    }
    uint32_t pos = w.start;
    int32_t current = n > 0 ? plateaus[0].startLag : 0;
    if (n == 0) {
        int32_t sum = 0;
        uint32_t m = 0;
        for (uint32_t q = w.start + 25; q <= w.end; ++q, ++m) sum += p.x(q);
        current = roundDiv(sum, int32_t(m));
    }
    for (uint32_t k = 0; k < n; ++k) {
        const YPlateau& pl = plateaus[k];
        const int32_t nextStart = k + 1 < n ? plateaus[k + 1].startLag : plateaus[n - 1].startLag;
        if (pl.end - pl.start < 50 && abs(pl.startLag - current) > 4 && abs(pl.endLag - nextStart) > 4) continue;
        int32_t target = pl.startLag;
        if (pl.start > pos + 200) {
            int32_t sum = 0;
            for (uint32_t q = pos; q < pl.start; ++q) sum += p.x(q);
            const int32_t mean = roundDiv(sum, int32_t(pl.start - pos));
            if (abs(mean - current) >= 3) target = mean;
        }
        if (pl.start > pos) interpolateXlags(&s, d, pos, current, pl.start, target, 0);
        pos = pl.end <= w.end ? pl.end : w.end - 1;
        current = pl.endLag;
    }
    const uint32_t distance = w.end - pos;
    int32_t tail = current;
    if (distance > 400) {
        int32_t sum = 0;
        for (uint32_t q = pos; q <= w.end; ++q) sum += p.x(q);
        const int32_t mean = roundDiv(sum, int32_t(distance + 1));
        if (abs(mean - current) > 2) tail = mean;
    }
    if (pos + 1 < w.end) interpolateXlags(&s, d, pos + 1, current, w.end, tail, 1);

    int32_t sum = 0, absSum = 0, newer = 0, older = 0;
    const uint32_t half = w.end / 2;
    uint32_t newerCount = 0, olderCount = 0;
    for (uint32_t q = w.start; q <= w.end; ++q) {
        const int32_t v = p.x(q);
        sum += v;
        absSum += abs(v);
        if (q < half) {
            newer += v;
            ++newerCount;
        } else {
            older += v;
            ++olderCount;
        }
    }
    IrReconResults& r = s.results;
    int32_t mean = w.end > 0 ? sum / int32_t(w.end) : 0;
    if (centredLines * 2 > plateauLines && plateauLines > 0) mean = mean > 0 ? 1 : (mean < 0 ? -1 : 0);
    r.meanXLag = int8_t(std::clamp(mean, -127, 127));
    r.meanAbsXLag = uint8_t(std::min(roundDiv(absSum, int32_t(len)), 255));
    r.meanXLagNewer = int8_t(std::clamp(roundDiv(newer, int32_t(newerCount)), -127, 127));
    r.meanXLagOlder = int8_t(std::clamp(roundDiv(older, int32_t(olderCount)), -127, 127));
    r.xPlateauCount = uint8_t(n);
    return TCS_RESULT_OK;
}
