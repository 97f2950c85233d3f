// Own feature record: body layout, minutia and coverage coding, fitting, keys and TEA encipherment.
#include "engines/recognition/own_record.h"

#include <string.h>

#include <algorithm>

#include "engines/recognition/streams.h"

namespace DurodudUrodera::FpRecEngineImpl::Embedded {
namespace {

constexpr uint8_t kMarker = 'o';
constexpr uint8_t kLayoutTag = 4;
constexpr uint16_t kLegacyPlain = 47;
constexpr uint16_t kLegacyEnciphered = 74;
constexpr uint16_t kNewLayout = 0x8000, kEnciphered = 0x4000, kLittleEndian = 0x2000, kSections = 0x0800,
                   kPlainOnly = 0x0200;

constexpr uint32_t kKindEnrollSet = 0, kKindTemplateView = 1, kKindFeatureSet = 2;
constexpr uint16_t kMaxOrigin = 833;
constexpr uint32_t kMaxArea = 833 * 833;

// Flags of a view that say which optional sections it carries.
constexpr uint32_t kFlagVersion = 0x20000000 | 0x08000000;
constexpr uint32_t kFlagFifthByte = 0x10000000;
constexpr uint32_t kFlagUnnamed = 0x80000000;
constexpr uint32_t kFlagQuality = 0x40000000;
constexpr uint32_t kFlagPurpose = 0x01000000;

enum SectionTag : uint8_t {
    kTagEnd = 0,
    kTagUnnamed = 3,
    kTagQuality = 4,
    kTagFifthByte = 6,
    kTagVersion = 7,
    kTagPurpose = 10,
    kTagWeights = 11,
};

// Records are exchanged only between builds that share these values.
constexpr uint8_t kDefaultKey[16] = {0x5B, 0x91, 0x2E, 0xC4, 0x07, 0x6A, 0xF3, 0x38,
                                     0xD2, 0x4F, 0x81, 0x1C, 0xA9, 0x65, 0xBE, 0x73};
constexpr uint32_t kKeyMasks[4] = {0x3C6EF372, 0xA54FF53A, 0x510E527F, 0x9B05688C};
constexpr uint32_t kInitialBlock[2] = {0x6A09E667, 0xBB67AE85};
constexpr uint32_t kUnwrapKey[4] = {0x1F83D9AB, 0x5BE0CD19, 0xCBBB9D5D, 0x629A292A};

uint32_t loadLittle32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

// The TEA key for a KeyOptions block (null: the built-in key).
RecogResult teaKey(const void* options, uint32_t key[4]) {
    uint32_t words[4];
    if (options == nullptr) {
        for (int i = 0; i < 4; ++i) words[i] = loadLittle32(kDefaultKey + 4 * i);
    } else {
        const auto* block = static_cast<const uint8_t*>(options);
        uint64_t size;
        memcpy(&size, block, sizeof size);
        if (size == kKeyOptionsPlain) {
            for (int i = 0; i < 4; ++i) words[i] = loadLittle32(block + 8 + 4 * i);
        } else if (size == kKeyOptionsWrapped) {
            const uint32_t iv[2] = {loadLittle32(block + 24), loadLittle32(block + 28)};
            TeaReader unwrap(block + 8, 16, false, iv, kUnwrapKey);
            for (uint32_t& w : words) unwrap >> w;
        } else {
            return RECOG_E_INVALID_ARG;
        }
    }
    for (int i = 0; i < 4; ++i) key[i] = words[i] ^ kKeyMasks[i];
    return RECOG_OK;
}

// Confidence order: higher confidence, then smaller y, smaller x, smaller angle.
bool confidenceBefore(const Minutia& a, const Minutia& b) {
    if (a.confidence != b.confidence) return a.confidence > b.confidence;
    if (a.y != b.y) return a.y < b.y;
    if (a.x != b.x) return a.x < b.x;
    return a.angle < b.angle;
}

bool yBefore(const Minutia& a, const Minutia& b) { return a.y != b.y ? a.y < b.y : a.x < b.x; }

// A forward byte buffer for one stretch of the body.
struct Bytes {
    uint8_t data[512];
    size_t size = 0;
    void put(unsigned b) { data[size++] = uint8_t(b); }
    void put16(unsigned v) {
        put(v & 0xFF);
        put((v >> 8) & 0xFF);
    }
    void put32(uint32_t v) {
        put16(v & 0xFFFF);
        put16(v >> 16);
    }
};

// 2-bit codes and 8-bit values packed from each byte's most significant bit.
struct BitWriter {
    Bytes& out;
    int used = 8;  // bits used in the last byte
    void put(unsigned value, int bits) {
        for (int i = bits - 1; i >= 0; --i) {
            if (used == 8) {
                out.put(0);
                used = 0;
            }
            out.data[out.size - 1] |= uint8_t(((value >> i) & 1) << (7 - used));
            ++used;
        }
    }
};

struct BitReader {
    Reader& in;
    int byte = 0;
    int left = 0;  // bits left in `byte`
    unsigned get(int bits) {
        unsigned value = 0;
        for (int i = 0; i < bits; ++i) {
            if (left == 0) {
                byte = in.getch();
                left = 8;
            }
            value = (value << 1) | ((byte >> --left) & 1);
        }
        return value;
    }
};

int firstColumn(uint32_t row) { return __builtin_ctz(row); }
int lastColumn(uint32_t row) { return 31 - __builtin_clz(row); }

// Edge code against the row above: 0 same, 1 one less, 2 one more, 3 a signed byte follows.
void putEdge(BitWriter& bits, int edge, int previous) {
    if (edge == previous) {
        bits.put(0, 2);
    } else if (edge == previous - 1) {
        bits.put(1, 2);
    } else if (edge == previous + 1) {
        bits.put(2, 2);
    } else {
        bits.put(3, 2);
        bits.put(uint8_t(int8_t(edge)), 8);
    }
}

int getEdge(BitReader& bits, int previous) {
    switch (bits.get(2)) {
        case 0: return previous;
        case 1: return previous - 1;
        case 2: return previous + 1;
        default: return int8_t(uint8_t(bits.get(8)));
    }
}

// Coverage rows as first row, last row, edges of the first row, then edge codes per row.
bool writeCoverage(const MatchData& view, Bytes& out) {
    int first = -1, last = -1;
    for (int r = 0; r < kCoverageRows; ++r) {
        if (view.coverage[r] == 0) continue;
        if (first < 0) first = r;
        last = r;
    }
    if (first < 0) return false;
    int left = firstColumn(view.coverage[first]), right = lastColumn(view.coverage[first]);
    out.put(first);
    out.put(last);
    out.put(left);
    out.put(right);
    BitWriter bits{out};
    for (int r = first + 1; r <= last; ++r) {
        const uint32_t row = view.coverage[r];
        if (row == 0) {
            bits.put(3, 2);
            bits.put(32, 8);
            left = 32;
            right = 31;
            continue;
        }
        putEdge(bits, firstColumn(row), left);
        putEdge(bits, lastColumn(row), right);
        left = firstColumn(row);
        right = lastColumn(row);
    }
    return true;
}

void setColumns(MatchData& view, int row, int left, int right) {
    if (row >= kCoverageRows) return;
    for (int c = std::max(left, 0); c <= std::min(right, 31); ++c) view.coverage[row] |= uint32_t(1) << c;
}

void putSection(Bytes& out, uint8_t tag, const uint8_t* data, size_t length) {
    out.put(tag);
    out.put16(unsigned(length));
    for (size_t i = 0; i < length; ++i) out.put(data[i]);
}

struct MatchDataSerializer {
    const MatchData& view;
    bool templ;
    bool fit;
    uint8_t rank[kMaxMinutiae];  // minutia indexes in confidence order
    int count;

    MatchDataSerializer(const MatchData& v, bool t, bool f) : view(v), templ(t), fit(f) {
        count = std::min(view.count(), kMaxMinutiae);
        for (int i = 0; i < kMaxMinutiae; ++i) rank[i] = uint8_t(i);
        std::sort(rank, rank + count, [&](uint8_t a, uint8_t b) { return confidenceBefore(view[a], view[b]); });
    }

    void sections(Bytes& out) const {
        const uint32_t flags = view.flags;
        const bool unnamed = templ && (flags & kFlagUnnamed);
        if (flags & kFlagVersion) {
            const EngineVersion& v = view.version;
            const uint8_t data[6] = {v.major, v.minor, v.revision, uint8_t(v.build >> 8), uint8_t(v.build), v.fourth};
            putSection(out, kTagVersion, data, 6);
        }
        if (templ && (flags & kFlagFifthByte)) putSection(out, kTagFifthByte, &view.device[4], 1);
        if (templ && (flags & kFlagWeightsComputed) && !(fit && unnamed)) {
            uint8_t data[kMaxMinutiae];
            for (int i = 0; i < kMaxMinutiae; ++i) data[i] = view.minutiae.slots[rank[i]].weight;
            putSection(out, kTagWeights, data, kMaxMinutiae);
        }
        if (unnamed) {
            uint8_t data[kMaxMinutiae];
            for (int i = 0; i < kMaxMinutiae; ++i) data[i] = view.minutiae.slots[rank[i]].unnamed;
            putSection(out, kTagUnnamed, data, kMaxMinutiae);
        }
        if (flags & kFlagQuality) putSection(out, kTagQuality, &view.device[3], 1);
        if (!templ && (flags & kFlagPurpose)) {
            const uint8_t data[4] = {uint8_t(view.purpose), uint8_t(view.purpose >> 8), uint8_t(view.purpose >> 16),
                                     uint8_t(view.purpose >> 24)};
            putSection(out, kTagPurpose, data, 4);
        }
    }

    // The first `n` minutiae by confidence, in y order.
    int kept(int n, uint8_t* order) const {
        for (int i = 0; i < n; ++i) order[i] = rank[i];
        std::sort(order, order + n, [&](uint8_t a, uint8_t b) { return yBefore(view[a], view[b]); });
        return n;
    }

    // Bytes of the minutiae stretch for the `n` most confident minutiae.
    size_t minutiaeSize(int n) const {
        uint8_t order[kMaxMinutiae];
        kept(n, order);
        size_t size = 1;
        int previousY = 0;
        for (int i = 0; i < n; ++i) {
            const Minutia& m = view[order[i]];
            size += 4 + (m.x >= 254) + (m.y - previousY >= 28);
            previousY = m.y;
        }
        return size;
    }

    void minutiae(Bytes& out, int n) const {
        uint8_t order[kMaxMinutiae];
        kept(n, order);
        out.put(n);
        int previousY = 0;
        for (int i = 0; i < n; ++i) {
            const Minutia& m = view[order[i]];
            const unsigned dy = uint16_t(m.y - previousY);
            previousY = m.y;
            if (dy <= 27) {
                out.put(dy);
            } else {
                out.put(((dy >> 8) & 3) | 0x1C);
                out.put(dy & 0xFF);
            }
            const unsigned x = uint16_t(m.x);
            if (x < 254) {
                out.put(x);
            } else {
                out.put(((x >> 8) & 1) | 0xFE);
                out.put(x & 0xFF);
            }
            out.put(uint8_t(-m.angle));
            out.put(m.confidence);
        }
    }

    void core(Bytes& out) const {
        const uint32_t kind = templ ? kKindTemplateView : view.purpose == RECOG_PURPOSE_ENROLL ? kKindEnrollSet
                                                                                             : kKindFeatureSet;
        out.put(kLayoutTag);
        out.put32(kind);
        out.put(view.device[0]);
        out.put(view.device[1]);
        out.put16(view.originX);
        out.put16(view.originY);
        out.put32(view.coverageArea);
        out.put(view.device[2]);
    }
};

// Core block, minutiae, coverage and optional sections of a record body.
RecogResult ReadMatchData(Reader& in, MatchData& view, bool sections, bool templ) {
    const int layout = in.getch();
    uint32_t kind = 0;
    in >> kind;
    const int capture0 = in.getch(), capture1 = in.getch();
    uint16_t originX = 0, originY = 0;
    uint32_t area = 0;
    in >> originX >> originY >> area;
    const int capture2 = in.getch();
    if (in.status() < 0) return in.status();
    switch (layout & 0x3F) {
        case 0: case 1: case 2: case 3: case 4: case 7: break;
        default: return RECOG_E_MALFORMED;
    }
    if (templ ? kind != kKindTemplateView : kind != kKindEnrollSet && kind != kKindFeatureSet) return RECOG_E_MALFORMED;
    if (originX > kMaxOrigin || originY > kMaxOrigin || area > kMaxArea) return RECOG_E_MALFORMED;
    view.purpose = kind == kKindEnrollSet ? RECOG_PURPOSE_ENROLL : RECOG_PURPOSE_VERIFY | RECOG_PURPOSE_IDENTIFY;
    view.flags |= kFlagPurpose;
    view.device[0] = uint8_t(capture0);
    view.device[1] = uint8_t(capture1);
    view.device[2] = uint8_t(capture2);
    view.originX = originX;
    view.originY = originY;
    view.coverageArea = area;
    for (Minutia& m : view.minutiae.slots) m.unnamed = uint8_t(capture0);

    const int count = in.getch();
    if (in.status() < 0) return in.status();
    if (count > kMaxMinutiae) return RECOG_E_MALFORMED;
    int y = 0;
    for (int i = 0; i < count; ++i) {
        const int b = in.getch();
        int dy = b & 0x1F;
        if (dy > 27) dy = (b & 3) << 8 | in.getch();
        y += dy;
        int x = in.getch();
        if (x > 253) x = (x & 1) << 8 | in.getch();
        const int angle = in.getch();
        const int confidence = in.getch();
        if (in.status() < 0) return in.status();
        // Coordinates are 16-bit in memory; a larger y cannot come from any writer.
        if (y > INT16_MAX) return RECOG_E_MALFORMED;
        Minutia& m = view[i];
        m.x = int16_t(x);
        m.y = int16_t(y);
        setDirection(m, uint8_t(-angle));
        m.confidence = uint8_t(confidence);
        m.weight = 0;
        m.kind = 0;
    }
    view.minutiae.count = uint64_t(count);

    const int firstRow = in.getch(), lastRow = in.getch();
    int left = in.getch(), right = in.getch();
    if (in.status() < 0) return in.status();
    if (left > 32 || right > 31) return RECOG_E_MALFORMED;
    setColumns(view, firstRow, left, right);
    BitReader bits{in};
    for (int r = firstRow + 1; r <= lastRow; ++r) {
        left = getEdge(bits, left);
        if (left == 32) {
            right = 31;  // an empty row: the next row is coded against edges 32 and 31
        } else {
            right = getEdge(bits, right);
        }
        if (in.status() < 0) return in.status();
        if (left > 32 || right > 31) return RECOG_E_MALFORMED;
        setColumns(view, r, left, right);
    }

    while (sections && !in.eof()) {
        const int tag = in.getch();
        if (tag == kTagEnd) break;
        uint16_t length = 0;
        in >> length;
        if (in.status() < 0) return in.status();
        uint8_t data[kMaxMinutiae];
        const bool fixedTag = tag == kTagVersion || tag == kTagFifthByte || tag == kTagQuality ||
                              tag == kTagPurpose || tag == kTagUnnamed || tag == kTagWeights;
        if (!fixedTag) {
            for (int i = 0; i < length; ++i) {
                if (in.getch() < 0) return in.status();
            }
            continue;
        }
        const int need = tag == kTagVersion ? 6 : tag == kTagPurpose ? 4 : tag == kTagFifthByte || tag == kTagQuality ? 1 : -1;
        if (need >= 0 ? length != need : length > kMaxMinutiae) return RECOG_E_MALFORMED;
        for (int i = 0; i < length; ++i) data[i] = uint8_t(in.getch());
        if (in.status() < 0) return in.status();
        switch (tag) {
            case kTagVersion:
                view.version = {data[0], data[1], data[2], data[5], uint16_t(data[3] << 8 | data[4])};
                view.flags |= kFlagVersion;
                break;
            case kTagFifthByte:
                view.device[4] = data[0];
                view.flags |= kFlagFifthByte;
                break;
            case kTagQuality:
                view.device[3] = data[0];
                view.flags |= kFlagQuality;
                break;
            case kTagPurpose:
                // The purpose the view was made for; without it a probe of purpose 7 came back as
                // 6 from the core block's kind and could not be imported for purpose 7 again.
                view.purpose = loadLittle32(data) & (RECOG_PURPOSE_ENROLL | RECOG_PURPOSE_VERIFY | RECOG_PURPOSE_IDENTIFY);
                view.flags |= kFlagPurpose;
                break;
            default: {
                Minutia* slots = view.minutiae.slots;
                std::sort(slots, slots + count, confidenceBefore);
                for (int i = 0; i < length; ++i) (tag == kTagWeights ? slots[i].weight : slots[i].unnamed) = data[i];
                view.flags |= tag == kTagWeights ? kFlagWeightsComputed : kFlagUnnamed;
            }
        }
    }
    return in.status();
}

}  // namespace

RecogResult WriteFeatures(uint8_t* out, size_t& size, const MatchData& view, bool fit, bool templ,
                          uint16_t ftrCode, const void* options) {
    const MatchDataSerializer serializer(view, templ, fit);
    Bytes sections, coverage, minutiae, core;
    serializer.sections(sections);
    if (!writeCoverage(view, coverage)) return RECOG_E_NOTHING_TO_DO;

    // Room left for the minutiae and the core block once marker, sections and coverage are in.
    const int64_t capacity = size >= 4 ? int64_t(std::min<size_t>(size - 4, INT32_MAX)) : 0;
    const int64_t room = capacity - 1 - int64_t(sections.size + coverage.size);
    bool storing = out != nullptr && size > 3;
    int n = serializer.count;
    if (fit && room < 17) {
        storing = false;
    } else if (fit) {
        const int64_t budget = room - 16;
        const int highest = int(std::min<int64_t>(n, budget / 4));
        const int lowest = int(std::min<int64_t>(n, budget / 6));
        n = lowest;
        for (int k = highest; k >= lowest; --k) {
            if (int64_t(serializer.minutiaeSize(k)) <= budget) {
                n = k;
                break;
            }
        }
    }
    serializer.minutiae(minutiae, n);
    serializer.core(core);

    uint32_t key[4];
    if (const RecogResult status = teaKey(options, key); status < 0) return status;

    const size_t body = core.size + minutiae.size + coverage.size + sections.size;
    const size_t total = body + 5;
    if (storing && total > size) storing = false;
    const bool given = out != nullptr;
    size = total;
    if (!storing) return given ? RECOG_E_BUFFER_TOO_SMALL : RECOG_OK;

    uint8_t* p = out + 4;
    for (const Bytes* stretch : {&core, &minutiae, &coverage, &sections}) {
        memcpy(p, stretch->data, stretch->size);
        p += stretch->size;
    }
    *p = kMarker;
    teaCfbEncipher(out + 4, body, false, kInitialBlock, key);
    out[0] = uint8_t(ftrCode);
    out[1] = uint8_t(ftrCode >> 8);
    out[2] = uint8_t(body);
    out[3] = uint8_t(body >> 8);
    return RECOG_OK;
}

RecogResult ReadFeatures(const uint8_t* data, size_t size, MatchData& view, uint32_t purpose, const void* options,
                         bool templ, OwnRecordInfo* info) {
    view = MatchData{};
    view.flags = 0;
    view.purpose = 0;
    if (data == nullptr || size < 4) return RECOG_E_MALFORMED;

    Reader header(data, size, false);
    uint16_t word = 0;
    header >> word;
    if (word != kLegacyPlain && word != kLegacyEnciphered &&
        (word == 0x2F00 || word == 0x4A00 || ((word & kNewLayout) == 0 && (word & 0x80) != 0))) {
        header.setBigEndian(true);
        word = uint16_t(word << 8 | word >> 8);
    }
    const bool bigEndian = header.bigEndian();
    const bool legacy = (word & kNewLayout) == 0;
    if (legacy ? word != kLegacyPlain && word != kLegacyEnciphered : ((word & kLittleEndian) != 0) == bigEndian)
        return RECOG_E_MALFORMED;
    uint16_t bodyLength = 0;
    header >> bodyLength;
    if (size_t(bodyLength) + 4 >= size || data[4 + bodyLength] != kMarker) return RECOG_E_MALFORMED;
    if (info != nullptr) *info = {word, size_t(bodyLength) + 5};

    const bool enciphered = legacy ? word == kLegacyEnciphered : (word & kEnciphered) != 0;
    if (!legacy && enciphered && (word & kPlainOnly)) return RECOG_E_MALFORMED;
    const bool sections = !legacy && (word & kSections) != 0;

    RecogResult status;
    if (enciphered) {
        uint32_t key[4];
        if ((status = teaKey(options, key)) < 0) return status;
        TeaReader body(data + 4, bodyLength, bigEndian, kInitialBlock, key);
        status = ReadMatchData(body, view, sections, templ);
    } else {
        Reader body(data + 4, bodyLength, bigEndian);
        status = ReadMatchData(body, view, sections, templ);
    }
    if (status < 0) return status;

    view.purpose &= purpose;
    if (view.purpose == 0) return RECOG_E_PURPOSE;
    if ((purpose & RECOG_PURPOSE_ANY_OF) == 0 && view.purpose != purpose) return RECOG_E_PURPOSE;
    computeCentreAndRelative(view);
    if ((view.flags & kFlagWeightsComputed) == 0) computeDensityWeights(view);
    return RECOG_OK;
}

RecogResult ReadFeatureViews(const uint8_t* data, size_t size, FpTemplate& views, uint32_t purpose,
                             const void* options) {
    views.clear();
    size_t offset = 0;
    for (;;) {
        views.resize(views.size() + 1);
        OwnRecordInfo info;
        const RecogResult status = ReadFeatures(data + offset, size - offset, views.back(), purpose, options, true, &info);
        if (status < 0) return status;
        offset += info.length;
        if ((info.word & kNewLayout) == 0 || (info.word & kFtrMoreViews) == 0 || views.full()) return RECOG_OK;
    }
}

RecogResult WriteFeatureViews(uint8_t* out, size_t& size, const FpTemplate& views, bool fit, const void* options) {
    const size_t n = views.size();
    if (n == 0) return RECOG_E_NOTHING_TO_DO;
    const size_t total = size;
    size_t used = 0;
    bool overflow = false;
    for (size_t i = 0; i < n; ++i) {
        const size_t left = used < total ? total - used : 0;
        size_t capacity = fit ? left / (n - i) : left;
        uint8_t* target = overflow || out == nullptr ? nullptr : out + used;
        const RecogResult status = WriteFeatures(target, capacity, views[i], fit, true,
                                                 i + 1 < n ? kFtrCodeMore : kFtrCodeLast, options);
        if (status == RECOG_E_BUFFER_TOO_SMALL) {
            overflow = true;
        } else if (status < 0) {
            return status;
        }
        used += capacity;
    }
    size = used;
    return overflow ? RECOG_E_BUFFER_TOO_SMALL : RECOG_OK;
}

}  // namespace DurodudUrodera::FpRecEngineImpl::Embedded
