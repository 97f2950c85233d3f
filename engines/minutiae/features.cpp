// Feature records: copying, and the compressed feature-set format that templates store.
#include "engines/minutiae/features.h"

#include <algorithm>
#include <cstring>

#include "engines/minutiae/context.h"

namespace mnt {
namespace {

constexpr int32_t kOriginBias = 2048;
// dx and dy have 11 bits in a record.
constexpr int32_t kMaxOffset = 2047;
constexpr uint8_t kNoneLiteral = 126;

void PutU64(uint8_t* out, uint64_t value) {
    for (int i = 0; i < 8; ++i) out[i] = uint8_t(value >> (8 * i));
}

uint32_t GetU32(const uint8_t* in) {
    return uint32_t(in[0]) | uint32_t(in[1]) << 8 | uint32_t(in[2]) << 16 | uint32_t(in[3]) << 24;
}

int32_t ClampOrigin(int32_t v) { return std::clamp(v, -kOriginBias, kOriginBias - 1); }

uint32_t PackPoint(int32_t dx, int32_t dy, uint32_t low10) {
    return uint32_t(dx & 0x7FF) << 21 | uint32_t(dy & 0x7FF) << 10 | (low10 & 0x3FF);
}

uint32_t TypeCode(int32_t type) {
    switch (type) {
        case 1: return 1;
        case 2: return 2;
        case -1: return 3;
        default: return 0;
    }
}

// Brings p + delta into 0..119 with one turn added or taken away.
int Wrap120(int v) {
    if (v < 0) return v + 120;
    if (v > 119) return v - 120;
    return v;
}

}  // namespace

void CopyFeatures(FeatureRecord* target, const FeatureRecord* source) {
    const int n = std::clamp(source->minutiae.count, 0, kMaxMinutiae);
    target->minutiae.count = source->minutiae.count;
    std::memcpy(target->minutiae.x, source->minutiae.x, sizeof(int32_t) * n);
    std::memcpy(target->minutiae.y, source->minutiae.y, sizeof(int32_t) * n);
    std::memcpy(target->minutiae.direction, source->minutiae.direction, sizeof(int32_t) * n);
    std::memcpy(target->minutiae.curvature, source->minutiae.curvature, sizeof(int32_t) * n);
    target->blockColumns = source->blockColumns;
    target->blockRows = source->blockRows;
    std::memcpy(target->blockGrid, source->blockGrid, sizeof target->blockGrid);
    target->ridgeEdgeDensity = source->ridgeEdgeDensity;
    const SingularPointList& s = source->singularPoints;
    SingularPointList& t = target->singularPoints;
    const int m = std::clamp(s.count, 0, kMaxSingularPoints);
    t.count = s.count;
    std::memcpy(t.x, s.x, sizeof(int32_t) * m);
    std::memcpy(t.y, s.y, sizeof(int32_t) * m);
    std::memcpy(t.direction, s.direction, sizeof(int32_t) * m);
    std::memcpy(t.type, s.type, sizeof(int32_t) * m);
}

size_t CompressBOLine(int previous, int count, const uint8_t* values, uint8_t* out) {
    uint8_t* o = out;
    int p = previous;
    int i = 0;
    while (i < count) {
        if (p > 119) {
            *o++ = values[i];
            p = values[i++];
            continue;
        }
        int m = 0;
        while (i + m < count && values[i + m] == p) ++m;
        if (m > 32) {
            *o++ = 0x9F;
            i += 32;
            continue;
        }
        if (m >= 2) {
            *o++ = uint8_t(0x80 | (m - 1));
            i += m;
            continue;
        }
        int deltas[128];
        int gathered = 0;
        for (int j = i; j < count && gathered < 128; ++j) {
            int d = int(values[j]) - (j == i ? p : int(values[j - 1]));
            if (d > 59) d -= 120;
            if (d <= -61) d += 120;
            if (d < -8 || d > 7) break;
            deltas[gathered++] = d;
        }
        int pairs = gathered / 2;
        if (pairs <= 1) {
            *o++ = values[i];
            p = values[i++];
            continue;
        }
        pairs = std::min(pairs, 32);
        *o++ = uint8_t(0xA0 | (pairs - 1));
        for (int k = 0; k < pairs; ++k)
            *o++ = uint8_t((deltas[2 * k] + 8) << 4 | (deltas[2 * k + 1] + 8));
        i += 2 * pairs;
        p = values[i - 1];
    }
    return size_t(o - out);
}

uint8_t* CompressBO(const FeatureRecord* grid, uint8_t* out) {
    const int w = std::clamp(grid->blockColumns, 0, kGridSize);
    const int h = std::clamp(grid->blockRows, 0, kGridSize);
    *out++ = w == 0 ? 0xFF : uint8_t(w - 1);
    *out++ = h == 0 ? 0xFF : uint8_t(h - 1);
    if (h == 0) return out;
    auto rowEmpty = [&](int y) {
        for (int x = 0; x < w; ++x)
            if (grid->blockGrid[y][x] != kNoBlockOrientation) return false;
        return true;
    };
    int y = 0;
    while (y < h) {
        const uint8_t* row = grid->blockGrid[y];
        int x = 0;
        int p = kNoneLiteral;
        int nextRow = y + 1;
        while (x < w) {
            int e = 0;
            while (x + e < w && row[x + e] == kNoBlockOrientation) ++e;
            if (x + e == w) {
                int next = y + 1;
                while (next < h && rowEmpty(next)) ++next;
                if (next >= h) {
                    *out++ = 0xE0;
                    return out;
                }
                if (next == y + 1) {
                    *out++ = 0xC0;
                } else {
                    const int k = std::min(next - y - 1, 31);
                    *out++ = uint8_t(0xE0 | k);
                    nextRow = y + k + 1;
                }
                break;
            }
            if (e >= 2) {
                *out++ = uint8_t(0xC0 | std::min(e - 1, 31));
                x += std::min(e, 32);
                p = kNoneLiteral;
                continue;
            }
            int run = 0;
            while (x + run < w && row[x + run] <= 119) ++run;
            if (run == 0) {
                const uint8_t v = row[x];
                const uint8_t literal = v == kNoBlockOrientation ? kNoneLiteral : v == 120 ? 120 : 127;
                *out++ = literal;
                p = literal;
                ++x;
                continue;
            }
            out += CompressBOLine(p, run, row + x, out);
            x += run;
            p = row[x - 1];
        }
        y = nextRow;
    }
    return out;
}

namespace {

// Decodes the grid part into `grid` (or only walks it when grid is null). With an `end`, a
// grid that would read past it gives null.
const uint8_t* DecodeGrid(const uint8_t* in, const uint8_t* end, FeatureRecord* grid) {
    auto more = [&](size_t n) { return end == nullptr || size_t(end - in) >= n; };
    if (!more(2)) return nullptr;
    // A stored dimension byte is one less than the size; 0xFF (an empty grid) must not
    // become 256 columns in a 128-wide grid.
    const int w = std::min(int(in[0]) + 1, kGridSize);
    const int h = std::min(int(in[1]) + 1, kGridSize);
    if (grid != nullptr) {
        std::memset(grid->blockGrid, kNoBlockOrientation, sizeof grid->blockGrid);
        grid->blockColumns = w;
        grid->blockRows = h;
    }
    in += 2;
    int x = 0, y = 0, p = kNoneLiteral;
    auto put = [&](int v) {
        if (grid != nullptr && x < w && y < h) grid->blockGrid[y][x] = uint8_t(v);
        ++x;
    };
    auto newRow = [&](int skip) {
        y += 1 + skip;
        x = 0;
        p = kNoneLiteral;
    };
    while (y < h) {
        if (!more(1)) return nullptr;
        const uint8_t code = *in++;
        if (code <= 0x7F) {
            put(code == kNoneLiteral ? kNoBlockOrientation : code);
            p = code;
        } else if (code <= 0x9F) {
            const int v = p > 119 ? kNoBlockOrientation : p;
            for (int n = (code & 31) + 1; n > 0 && x < w; --n) put(v);
        } else if (code <= 0xBF) {
            const int n = (code & 31) + 1;
            if (!more(size_t(n))) return nullptr;
            for (int k = 0; k < n; ++k) {
                const uint8_t pair = *in++;
                p = Wrap120(p + (pair >> 4) - 8);
                put(p);
                p = Wrap120(p + (pair & 15) - 8);
                put(p);
            }
        } else if (code == 0xC0) {
            newRow(0);
            continue;
        } else if (code <= 0xDF) {
            x += (code & 31) + 1;
            p = kNoneLiteral;
        } else if (code == 0xE0) {
            break;
        } else {
            newRow(code & 31);
            continue;
        }
        if (x >= w) newRow(0);
    }
    return in;
}

}  // namespace

const uint8_t* DecompressBO(const uint8_t* in, FeatureRecord* grid) { return DecodeGrid(in, nullptr, grid); }

size_t CompressedFeaturesLength(const uint8_t* features, size_t available) {
    if (features == nullptr || available < 7) return 0;
    const uint8_t flags = features[0];
    const size_t count = size_t(features[5]) | size_t(features[6]) << 8;
    size_t at = 7 + count * ((flags & 1) ? 9 : 8);
    if (at > available) return 0;
    if (flags & 2) {
        if (at + 1 > available) return 0;
        at += 1 + 8 * size_t(features[at]);
        if (at > available) return 0;
    }
    if (flags & 4) {
        const uint8_t* end = DecodeGrid(features + at, features + available, nullptr);
        if (end == nullptr) return 0;
        at = size_t(end - features);
    }
    return at;
}

size_t CompressFeatures(const FeatureRecord* record, uint8_t* out, const MntContext* context) {
    const MinutiaList& m = record->minutiae;
    const SingularPointList& s = record->singularPoints;
    const int n = std::clamp(m.count, 0, kMaxMinutiae);
    const int sn = std::clamp(s.count, 0, kMaxSingularPoints);

    bool curvature = false;
    if (context->writeCurvature && n > 0)
        for (int i = 0; i < n && !curvature; ++i) curvature = m.curvature[i] != 255;
    const bool points = context->writeSingularPoints && sn != 0;
    const bool grid = context->writeBlockOrientations && record->blockColumns > 0 && record->blockRows > 0;

    int32_t originX = 0, originY = 0;
    bool any = false;
    auto include = [&](int32_t x, int32_t y) {
        if (!any || x < originX) originX = x;
        if (!any || y < originY) originY = y;
        any = true;
    };
    for (int i = 0; i < n; ++i) include(m.x[i], m.y[i]);
    if (points)
        for (int i = 0; i < sn; ++i) include(s.x[i], s.y[i]);
    originX = ClampOrigin(originX);
    originY = ClampOrigin(originY);

    out[0] = uint8_t((curvature ? 1 : 0) | (points ? 2 : 0) | (grid ? 4 : 0));
    out[1] = record->ridgeEdgeDensity;
    // The origin goes in as an 8-byte value: bytes 5..9 are zeroed before the records follow.
    PutU64(out + 2, uint64_t(originY + kOriginBias) | uint64_t(originX + kOriginBias) << 12);

    auto offsets = [&](int32_t x, int32_t y, int32_t& dx, int32_t& dy) {
        const int64_t ex = int64_t(x) - originX;
        const int64_t ey = int64_t(y) - originY;
        dx = int32_t(ex & 0x7FF);
        dy = int32_t(ey & 0x7FF);
        // Offsets of 2048 used to be accepted and then lost their top bit in the 11-bit
        // fields, moving the point by 2048 pixels; they are skipped like negative ones.
        return ex >= 0 && ey >= 0 && ex <= kMaxOffset && ey <= kMaxOffset;
    };

    uint8_t* o = out + 7;
    uint32_t written = 0;
    for (int i = 0; i < n && written < context->maxMinutiae; ++i) {
        int32_t dx, dy;
        if (!offsets(m.x[i], m.y[i], dx, dy)) continue;
        PutU64(o, PackPoint(dx, dy, uint32_t(m.direction[i]) & 0xFF));
        o += 8;
        if (curvature) *o++ = m.curvature[i] < 0 ? 255 : uint8_t(m.curvature[i]);
        ++written;
    }
    out[5] = uint8_t(written);
    out[6] = uint8_t(written >> 8);

    if (points) {
        uint8_t* countByte = o++;
        uint32_t pointsWritten = 0;
        for (int i = 0; i < sn && pointsWritten < context->maxSingularPoints; ++i) {
            if (context->firstKindOnly && s.type[i] != 1) continue;
            int32_t dx, dy;
            if (!offsets(s.x[i], s.y[i], dx, dy)) continue;
            PutU64(o, PackPoint(dx, dy, TypeCode(s.type[i]) << 8 | (uint32_t(s.direction[i]) & 0xFF)));
            o += 8;
            ++pointsWritten;
        }
        *countByte = uint8_t(pointsWritten);
    }
    if (grid) o = CompressBO(record, o);
    return size_t(o - out);
}

size_t DecompressFeatures(const uint8_t* features, FeatureRecord* record) {
    const uint8_t flags = features[0];
    record->ridgeEdgeDensity = features[1];
    const uint32_t origin = uint32_t(features[2]) | uint32_t(features[3]) << 8 | uint32_t(features[4]) << 16;
    const int32_t originY = int32_t(origin & 0xFFF) - kOriginBias;
    const int32_t originX = int32_t((origin >> 12) & 0xFFF) - kOriginBias;
    const int count = features[5] | features[6] << 8;
    const uint8_t* in = features + 7;
    const size_t recordSize = (flags & 1) ? 9 : 8;

    // Records beyond the record's capacity are read past, not stored.
    MinutiaList& m = record->minutiae;
    m.count = std::min(count, kMaxMinutiae);
    for (int i = 0; i < count; ++i, in += recordSize) {
        if (i >= kMaxMinutiae) continue;
        const uint32_t v = GetU32(in);
        m.x[i] = originX + int32_t(v >> 21);
        m.y[i] = originY + int32_t((v >> 10) & 0x7FF);
        m.direction[i] = int32_t(v & 0xFF);
        m.curvature[i] = (flags & 1) && in[8] != 255 ? in[8] : -1;
    }

    SingularPointList& s = record->singularPoints;
    s.count = 0;
    if (flags & 2) {
        const int points = *in++;
        s.count = std::min(points, kMaxSingularPoints);
        for (int i = 0; i < points; ++i, in += 8) {
            if (i >= kMaxSingularPoints) continue;
            const uint32_t v = GetU32(in);
            s.x[i] = originX + int32_t(v >> 21);
            s.y[i] = originY + int32_t((v >> 10) & 0x7FF);
            s.direction[i] = int32_t(v & 0xFF);
            const uint32_t code = (v >> 8) & 3;
            s.type[i] = code == 3 ? -1 : int32_t(code);
        }
    }
    const size_t beforeGrid = size_t(in - features);
    if (flags & 4) {
        DecompressBO(in, record);
    } else {
        record->blockColumns = 0;
        record->blockRows = 0;
    }
    return beforeGrid;
}

}  // namespace mnt
