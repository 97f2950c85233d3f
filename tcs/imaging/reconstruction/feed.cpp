// Record search across buffers, unpacking, end-of-swipe detection and prepended data.
#include "tcs/imaging/reconstruction/feed.h"

#include "platform/memory.h"
#include "tcs/imaging/reconstruction/recon_control.h"

#include <string.h>

#include <algorithm>

namespace {

constexpr uint32_t kEndRunLong = 1350;
constexpr uint32_t kEndRunShort = 350;
constexpr uint32_t kEndRunAfterLines = 600;
constexpr uint32_t kQuietVariance = 12;
constexpr uint32_t kVarianceEvery = 50;
constexpr uint8_t kMarker = 1;
constexpr uint8_t kMarkerAlt = 254;

bool isSecond(uint8_t b) { return b == kMarker || b == kMarkerAlt; }

TcsResult raiseUser(IrDliInstance& in, uint32_t id, uint32_t size, const void* data) {
    if (in.callback == nullptr) return TCS_RESULT_OK;
    IrDliEventData payload{size, data};
    IrDliUserEvent event{id, 0, in.callbackContext, data != nullptr ? &payload : nullptr};
    uint32_t status = 0;
    in.callback(&event, &status);
    return status;
}

uint32_t recordLength(const IrDliInstance& in, const uint8_t* record) {
    const uint32_t L = in.recordBytes;
    const int32_t t = in.unpackMap->commonWidth;
    const uint32_t k = record[6] & 0x0F;
    if (k != 0 && t > 0 && int32_t(k) < t && L > 8) {
        const uint32_t ratio = uint32_t(t) / k;
        // Widths above half the slot width round up past L for sizes not a multiple of 16: a
        // record never runs beyond the record size.
        return std::min((((L - 8) / ratio + 23) & ~15u), L);
    }
    return L;
}

uint32_t lineVariance(const IrDliInstance& in) {
    const uint32_t pixels = in.state->geometry->pixelBytes;
    return getQuasiLineVariance(in.unpackedLine + 8, pixels > 10 ? pixels - 10 : 0);
}

// One record through unpacking and the core; true when the swipe has ended.
bool feedRecord(IrDliInstance& in, const uint8_t* record, uint32_t length, LineTrailerRecord* trailer,
                TcsResult& failure) {
    const uint32_t rawMode = in.flex->lineFormat == kFlexLineFormatRaw || in.flex->lineFormat == kFlexLineFormatRawAlt;
    if (UnpackLineRT(record, length, in.unpackedLine, in.unpackMap, rawMode) == 0) return false;
    if (trailer != nullptr) irRefreshTrailer(trailer, record, length, in.unpackMap->pixelCount);
    const TcsResult status = raiseUser(in, kUserEventLine, in.unpackedLineBytes, in.unpackedLine);
    if (status != TCS_RESULT_OK) {
        failure = status;
        return false;
    }
    IrReconState& s = *in.state;
    const TcsResult r = tcsDoIR(&s, in.unpackedLine, trailer);
    bool ended = false;
    if (r == 1) {
        ++s.culledRun;
        if (s.culledRun >= kEndRunLong || (s.culledRun >= kEndRunShort && s.processedLines > kEndRunAfterLines)) {
            if (lineVariance(in) > kQuietVariance) {
                s.culledRun = 0;
            } else {
                ended = true;
            }
        }
    } else {
        s.culledRun = 0;
    }
    if (in.varianceCounter++ == kVarianceEvery || in.lowVarianceRun > 0) {
        if (in.varianceCounter > kVarianceEvery) in.varianceCounter = 0;
        if (lineVariance(in) <= kQuietVariance) {
            ++in.lowVarianceRun;
            if (in.lowVarianceRun >= kEndRunLong ||
                (in.lowVarianceRun >= kEndRunShort && s.processedLines > kEndRunAfterLines)) {
                ended = true;
            }
        } else {
            in.lowVarianceRun = 0;
        }
    }
    return ended;
}

}  // namespace

void irRefreshTrailer(LineTrailerRecord* trailer, const uint8_t* record, uint32_t recordLength, uint32_t pixelCount) {
    if (trailer == nullptr || record == nullptr) return;
    const uint32_t back = trailer->type == 3 ? 52 : 24;
    if (pixelCount < back || pixelCount - back + 24 > recordLength) return;
    const uint8_t* t = record + (pixelCount - back);
    auto u16 = [&](uint32_t at) { return uint16_t(t[at] | (t[at + 1] << 8)); };
    if (trailer->type == 3) {
        memcpy(trailer->bytes, t + 10, 6);
        for (int i = 0; i < 4; ++i) trailer->first[i] = u16(2 * i);
        for (int i = 0; i < 3; ++i) trailer->second[i] = u16(16 + 2 * i);
        trailer->last = u16(22);
    } else {
        memcpy(trailer->bytes, t + 8, 6);
        for (int i = 0; i < 4; ++i) trailer->first[i] = u16(2 * i);
        for (int i = 0; i < 3; ++i) trailer->second[i] = u16(14 + 2 * i);
        trailer->last = u16(20);
    }
}

TcsResult irDliRTHarlokData(IrDliInstance* instance, const uint8_t* data, uint32_t length, uint32_t* done,
                            LineTrailerRecord* trailer) {
    if (instance == nullptr) return TCS_RESULT_NULL_POINTER;
    if (length == 0 || data == nullptr) return TCS_RESULT_BAD_PARAM;
    if (instance->unpackedLine == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    IrDliInstance& in = *instance;
    const uint32_t L = in.recordBytes;
    if (L < 1 || L > kMaxRecordBytes) return TCS_RESULT_BAD_PARAM;
    if (in.state == nullptr || in.unpackMap == nullptr || in.flex == nullptr) return TCS_RESULT_NULL_POINTER;
    IrReconState& s = *in.state;
    uint32_t ended = 0;
    TcsResult failure = TCS_RESULT_OK;
    uint32_t pos = 0;
    auto take = [&](uint32_t wanted) {
        const uint32_t n = std::min(wanted, length - pos);
        memcpy(in.carry + in.carryCount, data + pos, n);
        in.carryCount += n;
        pos += n;
    };

    if (s.stopFlag) {
        ended = 1;
    } else {
        while (!ended && failure == TCS_RESULT_OK) {
            if (in.carryCount > 0) {
                // The carried start of a record: find its marker, complete it from this buffer.
                bool accepted = false;
                while (in.carryCount > 0) {
                    const void* hit = memchr(in.carry + in.carrySearch, kMarker, in.carryCount - in.carrySearch);
                    if (hit == nullptr) {
                        in.carryCount = 0;
                        break;
                    }
                    const uint32_t p = uint32_t(static_cast<const uint8_t*>(hit) - in.carry);
                    if (p + 1 == in.carryCount) {
                        // The marker's partner is not here yet: restart the carry at the marker.
                        in.carry[0] = kMarker;
                        in.carryCount = 1;
                        in.carrySearch = 0;
                        if (pos >= length) return TCS_RESULT_OK;
                        take(L - 1);
                        continue;
                    }
                    if (!isSecond(in.carry[p + 1])) {
                        in.carrySearch = p + 1;
                        continue;
                    }
                    memmove(in.carry, in.carry + p, in.carryCount - p);
                    in.carryCount -= p;
                    in.carrySearch = 0;
                    accepted = true;
                    break;
                }
                in.carrySearch = 0;
                if (accepted) {
                    if (in.carryCount < L) take(L - in.carryCount);
                    if (in.carryCount < L) break;  // kept for the next buffer
                    const uint32_t rec = std::min(recordLength(in, in.carry), in.carryCount);
                    ended = feedRecord(in, in.carry, rec, trailer, failure) ? 1 : 0;
                    // Bytes behind a shortened record start the next one.
                    memmove(in.carry, in.carry + rec, in.carryCount - rec);
                    in.carryCount -= rec;
                    continue;
                }
            }
            if (pos >= length) break;
            const void* hit = memchr(data + pos, kMarker, length - pos);
            if (hit == nullptr) {
                pos = length;
                break;
            }
            const uint32_t q = uint32_t(static_cast<const uint8_t*>(hit) - data);
            if (q + 1 < length && !isSecond(data[q + 1])) {
                pos = q + 1;
                continue;
            }
            if (length - q < L) {
                pos = q;
                take(length - q);
                break;
            }
            const uint32_t rec = recordLength(in, data + q);
            pos = q + rec;
            ended = feedRecord(in, data + q, rec, trailer, failure) ? 1 : 0;
        }
    }
    if (failure != TCS_RESULT_OK) return failure;
    if (ended) {
        s.stopFlag = 1;
        if (done != nullptr) *done = 1;
        if (in.stateWord == 0) {
            TcsResult status = raiseUser(in, kUserEventSwipeEnded, 0, nullptr);
            if (status == TCS_RESULT_OK) status = raiseUser(in, kUserEventFingerGone, 0, nullptr);
            in.stateWord = 1;
            if (status != TCS_RESULT_OK) return status;
        }
    }
    return TCS_RESULT_OK;
}

TcsResult irDliRTHarlokPrependedData(IrDliInstance* instance, const uint8_t* data, uint32_t length, uint32_t* done,
                                     LineTrailerRecord* trailer) {
    if (instance == nullptr) return TCS_RESULT_NULL_POINTER;
    if (instance->unpackedLine == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    IrDliInstance& in = *instance;
    if (in.state == nullptr || in.unpackMap == nullptr || in.flex == nullptr) return TCS_RESULT_NULL_POINTER;
    if (data == nullptr || length < 2) return TCS_RESULT_OK;
    // The backward search stops at the buffer's start; a buffer without the pair feeds nothing.
    int64_t found = -1;
    for (int64_t p = int64_t(length) - 2; p >= 0; --p) {
        if (data[p] == kMarker && data[p + 1] == kMarkerAlt) {
            found = p;
            break;
        }
    }
    if (found < 0) return TCS_RESULT_OK;
    const uint32_t P = uint32_t(found);
    const uint32_t lines = P / kPrependedRecordBytes + 1;
    uint8_t* out = static_cast<uint8_t*>(palRealMalloc(size_t(lines) * in.unpackedLineBytes));
    if (out == nullptr) return TCS_RESULT_NULL_POINTER;
    in.state->cfgInfo |= kCfgPrepended;
    const uint32_t rawMode = in.flex->lineFormat == kFlexLineFormatRaw;
    uint32_t produced = 0;
    for (int64_t at = int64_t(P) - kPrependedRecordBytes; at >= 0; at -= kPrependedRecordBytes) {
        const uint8_t* record = data + at;
        if (trailer != nullptr) irRefreshTrailer(trailer, record, kPrependedRecordBytes, in.unpackMap->pixelCount);
        if (UnpackLineRT(record, kPrependedRecordBytes, in.unpackedLine, in.unpackMap, rawMode) == 0) continue;
        ++produced;
        memcpy(out + size_t(lines - produced) * in.unpackedLineBytes, in.unpackedLine, in.unpackedLineBytes);
        tcsDoIR(in.state, in.unpackedLine, trailer);
    }
    if (done != nullptr && *done != 0 && in.stateWord == 0) in.stateWord = 1;
    TcsResult status = raiseUser(in, kUserEventPrependedRaw, length, data);
    if (status == TCS_RESULT_OK) {
        status = raiseUser(in, kUserEventPrependedLines, produced * in.unpackedLineBytes,
                           out + size_t(lines - produced) * in.unpackedLineBytes);
    }
    palRealFree(out);
    (void)status;
    return TCS_RESULT_OK;
}
