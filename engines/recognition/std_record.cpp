// Standard finger minutiae records: header, one finger view, optional own records as extended data.
#include "engines/recognition/std_record.h"

#include <string.h>

#include <algorithm>

#include "engines/recognition/own_record.h"
#include "engines/recognition/tables.h"

namespace DurodudUrodera::FpRecEngineImpl::Embedded {
namespace {

constexpr uint8_t kFormatId[4] = {'F', 'M', 'R', 0};
constexpr uint8_t kVersion[4] = {' ', '2', '0', 0};
constexpr int kEngineResolution = 167;  // the engine's feature units per centimetre, as the records count them
constexpr uint16_t kKeep = 0xFFFF;
constexpr uint32_t kFlagPurpose = 0x01000000;
constexpr uint16_t kOwnDataType = 0x0101;

uint16_t load16(const uint8_t* p) {
    uint16_t v;
    memcpy(&v, p, 2);
    return v;
}
uint32_t load32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

// Coordinates of a view being written or read, wide enough for any rotation of 14-bit values.
struct Points {
    int32_t x[kMaxMinutiae], y[kMaxMinutiae];
    uint8_t angle[kMaxMinutiae];
    int n = 0;

    // Turns every point about the origin, then moves the smallest x and y to 0.
    void rotate(uint8_t rotation) {
        const int32_t s = Angle::sin(rotation), c = Angle::cos(rotation);
        int32_t minX = 32767, minY = 32767;
        for (int i = 0; i < n; ++i) {
            const int32_t x0 = x[i], y0 = y[i];
            x[i] = (x0 * c - y0 * s + 128) >> 8;
            y[i] = (x0 * s + y0 * c + 128) >> 8;
            angle[i] = uint8_t(angle[i] + rotation);
            minX = std::min(minX, x[i]);
            minY = std::min(minY, y[i]);
        }
        for (int i = 0; i < n; ++i) {
            x[i] -= minX;
            y[i] -= minY;
        }
    }
};

// Engine units to a record resolution, nearest with halves away from zero.
int32_t toRecord(int32_t v, int32_t resolution) {
    if (resolution == kEngineResolution) return v;
    const int64_t p = int64_t(v) * resolution;
    const int64_t magnitude = ((p < 0 ? -p : p) + kEngineResolution / 2) / kEngineResolution;
    return int32_t(p < 0 ? -magnitude : magnitude);
}

}  // namespace

uint8_t GetImpressionType(uint8_t device) {
    switch (device) {
        case 7: case 9: case 168: case 169: case 175: case 176: case 177: case 180:
        case 190: case 191: case 196: case 200: case 201: case 210:
            return 8;
        default:
            return 0;
    }
}

RecogResult StdFmdSerializer::applyOptions(const void* options) {
    if (options == nullptr) return RECOG_OK;
    const auto* o = static_cast<const uint8_t*>(options);
    const uint32_t size = load32(o);
    if (size != 20 && size != 24 && size != 32) return RECOG_E_INVALID_ARG;
    const uint32_t product = load32(o + 8);
    const uint16_t finger = load16(o + 12), view = load16(o + 14), xr = load16(o + 16), yr = load16(o + 18);
    const uint16_t width = size >= 24 ? load16(o + 20) : kKeep, height = size >= 24 ? load16(o + 22) : kKeep;
    if (product != 0) productId_ = product;
    if (finger != kKeep) fingerPosition_ = finger;
    if (view != kKeep) viewNumber_ = view;
    if (xr != kKeep) xResolution_ = xr;
    if (yr != kKeep) yResolution_ = yr;
    if (width != kKeep) width_ = width;
    if (height != kKeep) height_ = height;
    if (size == 32) rotation_ = o[24];
    const auto inRange = [](uint16_t v, uint16_t lo, uint16_t hi) { return v >= lo && v <= hi; };
    if (fingerPosition_ > 10 || !inRange(xResolution_, 99, 1000) || !inRange(yResolution_, 99, 1000) ||
        (width_ != kKeep && !inRange(width_, 16, 16383)) || (height_ != kKeep && !inRange(height_, 16, 16383))) {
        return RECOG_E_INVALID_ARG;
    }
    return RECOG_OK;
}

RecogResult StdFmdSerializer::SerializeFeatureSet(uint8_t* out, size_t& size, const MatchData& view,
                                                  const void* options, bool own, uint32_t ftrCode) {
    if (const RecogResult status = applyOptions(options); status < 0) return status;
    return serialize(out, size, view, nullptr, own, uint16_t(ftrCode));
}

RecogResult StdFmdSerializer::SerializeTemplate(uint8_t* out, size_t& size, const FpTemplate& views,
                                                const void* options, bool own) {
    if (const RecogResult status = applyOptions(options); status < 0) return status;
    if (views.empty()) return RECOG_E_NOTHING_TO_DO;
    return serialize(out, size, views[0], &views, own, kFtrCodeLast);
}

RecogResult StdFmdSerializer::serialize(uint8_t* out, size_t& size, const MatchData& first, const FpTemplate* views,
                                        bool own, uint16_t ftrCode) {
    Points points;
    points.n = std::min(first.count(), kMaxMinutiae);
    for (int i = 0; i < points.n; ++i) {
        points.x[i] = first[i].x;
        points.y[i] = first[i].y;
        points.angle[i] = first[i].angle;
    }
    if (rotation_ != 0) points.rotate(rotation_);

    size_t ownLength = 0;
    if (own) {
        size_t measured = SIZE_MAX;
        const RecogResult status = views ? WriteFeatureViews(nullptr, measured, *views, false, nullptr)
                                         : WriteFeatures(nullptr, measured, first, false, false, ftrCode, nullptr);
        if (status < 0) return status;
        ownLength = measured;
    }
    const size_t viewSize = 6 * size_t(points.n) + 6;
    const size_t blockLength = own ? ownLength + 4 : 0;
    const size_t total = headerSize_ + viewSize + blockLength;
    const size_t capacity = size;
    size = total;
    if (out == nullptr) return RECOG_OK;
    // A buffer that holds the header but not the view is refused too: a record cut short is no record.
    if (capacity < total || ownLength > 0xFFFF - 4) return RECOG_E_BUFFER_TOO_SMALL;

    ByteOut w{out};
    for (uint8_t b : kFormatId) w.u8(b);
    for (uint8_t b : kVersion) w.u8(b);
    WriteTotalLength(w, 0);
    WriteDeviceInfo(w, first);
    w.u16(0);  // width and height, known once the minutiae are written
    w.u16(0);
    w.u16(xResolution_);
    w.u16(yResolution_);
    w.u8(1);  // one finger view
    w.u8(0);

    const MatchData& v = first;
    w.u8(fingerPosition_);
    w.u8((viewNumber_ * 16 + GetImpressionType(v.device[2])) & 0xF8);
    w.u8(std::min<int>(v.device[3], 100));
    w.u8(points.n);
    int32_t largestX = 0, largestY = 0;
    for (int i = 0; i < points.n; ++i) {
        const int32_t x = toRecord(points.x[i] + v.originX, xResolution_);
        const int32_t y = toRecord(points.y[i] + v.originY, yResolution_);
        largestX = std::max(largestX, x);
        largestY = std::max(largestY, y);
        w.u16(unsigned(v[i].kind & 3) << 14 | (x & 0x3FFF));
        w.u16(y & 0x3FFF);
        w.u8(WriteTheta(points.angle[i]));
        w.u8(std::min((v[i].confidence + 1) / 2, 100));
    }
    WriteImageSize(out, width_ != kKeep ? width_ : uint16_t(largestX + 8), height_ != kKeep ? height_ : uint16_t(largestY + 8));
    w.u16(uint16_t(blockLength));
    if (own) {
        w.u16(kOwnDataType);
        w.u16(uint16_t(ownLength));
        size_t room = ownLength;
        const RecogResult status = views ? WriteFeatureViews(w.p, room, *views, false, nullptr)
                                         : WriteFeatures(w.p, room, first, false, false, ftrCode, nullptr);
        if (status < 0) return status;
    }
    ByteOut length{out + 8};
    WriteTotalLength(length, total);
    return RECOG_OK;
}

void AnsiFmdSerializer::WriteTotalLength(ByteOut& out, size_t length) const { out.u16(uint16_t(length)); }
void AnsiFmdSerializer::WriteDeviceInfo(ByteOut& out, const MatchData& view) const {
    out.u32(productId_);
    out.u8(0);
    out.u8(view.device[2]);
}
void AnsiFmdSerializer::WriteImageSize(uint8_t* record, uint16_t width, uint16_t height) const {
    ByteOut out{record + 16};
    out.u16(width);
    out.u16(height);
}
uint8_t AnsiFmdSerializer::WriteTheta(uint8_t angle) const { return uint8_t((uint8_t(64 - angle) * 180 + 128) >> 8); }

void IsoFmdSerializer::WriteTotalLength(ByteOut& out, size_t length) const { out.u32(uint32_t(length)); }
void IsoFmdSerializer::WriteDeviceInfo(ByteOut& out, const MatchData& view) const {
    out.u8(0);
    out.u8(view.device[2]);
}
void IsoFmdSerializer::WriteImageSize(uint8_t* record, uint16_t width, uint16_t height) const {
    ByteOut out{record + 14};
    out.u16(width);
    out.u16(height);
}
uint8_t IsoFmdSerializer::WriteTheta(uint8_t angle) const { return uint8_t(64 - angle); }

RecogResult StdFmdDeserializer::applyOptions(const void* options) {
    if (options == nullptr) return RECOG_OK;
    const auto* o = static_cast<const uint8_t*>(options);
    const uint32_t size = load32(o);
    if (size != 16 && size != 24) return RECOG_E_INVALID_ARG;
    productOverride_ = load32(o + 8);
    fingerSelector_ = load16(o + 12);
    viewSelector_ = load16(o + 14);
    if (size == 24) rotation_ = o[16];
    return RECOG_OK;
}

RecogResult StdFmdDeserializer::ReadRecordHeaders(Reader& in) {
    uint32_t id = 0;
    in >> id;
    if (id != 0x464D5200) return RECOG_E_MALFORMED;
    in.getch();
    if (in.getch() < '2') return RECOG_E_MALFORMED;
    in.getch();
    in.getch();
    if (!ReadTotalLength(in) || in.status() < 0 || totalLength_ > size_) return RECOG_E_MALFORMED;
    ReadDeviceInfo(in);
    in >> width_ >> height_ >> xResolution_ >> yResolution_;
    views_ = uint8_t(in.getch());
    in.getch();
    if (in.status() < 0) return RECOG_E_MALFORMED;
    const auto inRange = [](uint16_t v, uint16_t lo, uint16_t hi) { return v >= lo && v <= hi; };
    if (!inRange(width_, 16, 16383) || !inRange(height_, 16, 16383) || !inRange(xResolution_, 99, 1000) ||
        !inRange(yResolution_, 99, 1000)) {
        return RECOG_E_MALFORMED;
    }
    return RECOG_OK;
}

RecogResult StdFmdDeserializer::ReadViewData(Reader& in, FpTemplate& views) {
    const int finger = in.getch(), viewByte = in.getch(), quality = in.getch(), count = in.getch();
    if (in.status() < 0) return RECOG_E_MALFORMED;
    const bool any = fingerSelector_ == kKeep && viewSelector_ == kKeep;
    const bool chosen =
        any || (finger == fingerSelector_ && (viewSelector_ == kKeep || (viewByte >> 4) == viewSelector_));
    MatchData& view = views[0];
    const size_t left = size_t(in.end() - in.current());

    if (chosen) {
        view = MatchData{};
        const uint32_t product = productOverride_ != 0 ? productOverride_ : productId_;
        if ((product >> 16) == 0x0033) {
            if (capture_[0] & 0x0F) return RECOG_E_MALFORMED;
            view.device[2] = capture_[1];
        } else {
            view.device[2] = 0;
        }
        view.device[3] = uint8_t(quality);
        view.flags |= kFlagPurpose;
        view.purpose |= purpose_ & ~RECOG_PURPOSE_ANY_OF;
        if (view.purpose == 0) return RECOG_E_PURPOSE;
    }
    if (size_t(count) * 6 > left) return RECOG_E_MALFORMED;

    if (chosen && !own_) {
        Points points;
        uint8_t kinds[kMaxMinutiae], qualities[kMaxMinutiae];
        points.n = std::min(count, kMaxMinutiae);
        for (int i = 0; i < points.n; ++i) {
            uint16_t a = 0, b = 0;
            in >> a >> b;
            const int theta = in.getch(), q = in.getch();
            if (q > 100) return RECOG_E_MALFORMED;
            kinds[i] = uint8_t(a >> 14);
            points.x[i] = ((a & 0x3FFF) * kEngineResolution + xResolution_ / 2) / xResolution_;
            points.y[i] = ((b & 0x3FFF) * kEngineResolution + yResolution_ / 2) / yResolution_;
            points.angle[i] = ReadTheta(theta);
            qualities[i] = uint8_t(q * 2);
        }
        in.seek(in.current() + 6 * size_t(count - points.n));
        if (rotation_ != 0) points.rotate(rotation_);

        int32_t minX = INT32_MAX, minY = INT32_MAX;
        for (int i = 0; i < points.n; ++i) {
            minX = std::min(minX, points.x[i]);
            minY = std::min(minY, points.y[i]);
        }
        if (points.n == 0) minX = minY = 0;
        view.originX = uint16_t(minX);
        view.originY = uint16_t(minY);
        int kept = 0;
        int32_t largestX = 0, largestY = 0;
        for (int i = 0; i < points.n; ++i) {
            const int32_t x = points.x[i] - minX, y = points.y[i] - minY;
            if (x > 256 || y > 400) continue;
            Minutia& m = view[kept++];
            m.x = int16_t(x);
            m.y = int16_t(y);
            setDirection(m, points.angle[i]);
            m.confidence = qualities[i];
            m.kind = m.kind2 = kinds[i];
            largestX = std::max(largestX, x);
            largestY = std::max(largestY, y);
        }
        view.minutiae.count = uint64_t(kept);
        view.coverageArea = uint32_t(largestX * largestY);
        for (int r = 0; r <= (largestY + 4) / 8 && r < kCoverageRows; ++r) {
            for (int c = 0; c <= (largestX + 4) / 8 && c < 32; ++c) view.coverage[r] |= uint32_t(1) << c;
        }
        computeCentreAndRelative(view);
        computeDensityWeights(view);
    } else {
        in.seek(in.current() + 6 * size_t(count));
    }

    uint16_t extended = 0;
    in >> extended;
    if (in.status() < 0 || extended > size_t(in.end() - in.current())) return RECOG_E_MALFORMED;
    const uint8_t* next = in.current() + extended;
    RecogResult status = chosen ? RECOG_OK : RECOG_E_NO_VIEW;
    if (chosen && own_ && extended != 0) {
        uint16_t type = 0, length = 0;
        in >> type >> length;
        if (in.status() < 0 || length > size_t(in.end() - in.current())) return RECOG_E_MALFORMED;
        status = templateViews_ ? ReadFeatureViews(in.current(), length, views, purpose_, nullptr)
                                : ReadFeatures(in.current(), length, view, purpose_, nullptr, false);
    }
    in.seek(next);
    return status;
}

RecogResult StdFmdDeserializer::DeserializeTemplate(FpTemplate& views, const void* options) {
    if (const RecogResult status = applyOptions(options); status < 0) return status;
    views.clear();
    Reader in(data_, size_, true);
    if (const RecogResult status = ReadRecordHeaders(in); status < 0) return status;
    if (views_ == 0) return RECOG_OK;
    views.resize(1);
    views[0] = MatchData{};
    RecogResult status = RECOG_E_NO_VIEW;
    for (int v = 0; v < views_ && status == RECOG_E_NO_VIEW; ++v) status = ReadViewData(in, views);
    return status;
}

bool AnsiFmdDeserializer::ReadTotalLength(Reader& in) {
    uint16_t shortLength = 0;
    in >> shortLength;
    totalLength_ = shortLength;
    if (shortLength == 0) {
        uint32_t longLength = 0;
        in >> longLength;
        totalLength_ = longLength;
    }
    return in.status() >= 0;
}
void AnsiFmdDeserializer::ReadDeviceInfo(Reader& in) {
    in >> productId_;
    capture_[0] = uint8_t(in.getch());
    capture_[1] = uint8_t(in.getch());
}
uint8_t AnsiFmdDeserializer::ReadTheta(int value) const { return uint8_t(64 - (value * 256 + 90) / 180); }

bool IsoFmdDeserializer::ReadTotalLength(Reader& in) {
    uint32_t length = 0;
    in >> length;
    totalLength_ = length;
    return in.status() >= 0;
}
void IsoFmdDeserializer::ReadDeviceInfo(Reader& in) {
    capture_[0] = uint8_t(in.getch());
    capture_[1] = uint8_t(in.getch());
}
uint8_t IsoFmdDeserializer::ReadTheta(int value) const { return uint8_t(64 - value); }

}  // namespace DurodudUrodera::FpRecEngineImpl::Embedded
