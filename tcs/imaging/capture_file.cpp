// Capture files: writing sections by kind, opening and caching them, the section iterator and
// growing the raw-data section in place while a capture streams into it.
#include "tcs/imaging/capture_file.h"

#include "platform/files.h"
#include "platform/memory.h"
#include "platform/text.h"

#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr uint32_t kHeaderBytes = 12;
constexpr uint32_t kRawSubHeaderBytes = 10;
constexpr uint32_t kRawDataStart = kHeaderBytes + kRawSubHeaderBytes;  // 22
constexpr uint32_t kMaxKind = 28;
constexpr uint32_t kMaxPath = 260;
constexpr char kCreator[] = "QCF File from Tovantic Sensors, Inc.";  // 36 characters and the NUL
constexpr uint32_t kTypeCreator = 2;
constexpr uint32_t kTypeRawData = 8;
constexpr uint32_t kTypeRawBufferedSize = 35;

// The first type of a pair names the partner the iterator looks ahead for.
constexpr uint32_t gPairedSections[8][2] = {{7, 29}, {29, 7}, {22, 23}, {23, 22},
                                            {24, 25}, {25, 24}, {27, 26}, {26, 27}};

uint32_t partnerOf(uint32_t type) {
    for (const auto& pair : gPairedSections) {
        if (pair[0] == type) return pair[1];
    }
    return 0;
}

void put16(std::vector<uint8_t>& out, uint16_t value) {
    const uint16_t v = palHostToSensor16(value);
    const auto* b = reinterpret_cast<const uint8_t*>(&v);
    out.insert(out.end(), b, b + 2);
}
void put32(std::vector<uint8_t>& out, uint32_t value) {
    const uint32_t v = palHostToSensor32(value);
    const auto* b = reinterpret_cast<const uint8_t*>(&v);
    out.insert(out.end(), b, b + 4);
}
void putBytes(std::vector<uint8_t>& out, const void* data, size_t length) {
    if (length == 0) return;
    const auto* b = static_cast<const uint8_t*>(data);
    out.insert(out.end(), b, b + length);
}
uint16_t get16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return palSensorToHost16(v);
}
uint32_t get32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return palSensorToHost32(v);
}

struct Section {
    uint32_t type;
    uint32_t version;
    std::vector<uint8_t> payload;
};

// The sections a record is stored as; 17 for a record that cannot be stored (empty blob, zero
// count, no data).
TcsResult encode(const QcfSection& s, std::vector<Section>& out) {
    auto single = [&](uint32_t type) -> std::vector<uint8_t>& {
        out.push_back(Section{type, 1, {}});
        return out.back().payload;
    };
    const auto& u = s.u;
    switch (s.kind) {
        case QCF_KIND_HEADER: {
            auto& p = single(7);
            for (uint32_t w : u.header.words) put32(p, w);
            putBytes(p, u.header.bytes8, 8);
            putBytes(p, u.header.bytes6, 6);
            putBytes(p, u.header.bytes2, 2);
            auto& q = single(29);
            q.push_back(u.header.value8);
            put16(q, u.header.value16);
            q.resize(16, 0);
            return TCS_RESULT_OK;
        }
        case QCF_KIND_BLOB_2:
        case QCF_KIND_BLOB_3:
        case QCF_KIND_BLOB_5:
        case QCF_KIND_BLOB_26: {
            if (u.blob.size == 0 || u.blob.data == nullptr) return TCS_RESULT_BAD_PARAM;
            const uint32_t type = s.kind == 5 ? 10 : s.kind == 26 ? 33 : s.kind;
            putBytes(single(type), u.blob.data, u.blob.size);
            return TCS_RESULT_OK;
        }
        case QCF_KIND_REGISTERS:
        case QCF_KIND_TIMESLOT_TABLE: {
            if (u.words.count == 0 || u.words.values == nullptr) return TCS_RESULT_BAD_PARAM;
            auto& p = single(s.kind == 4 ? 9 : 11);
            for (uint32_t i = 0; i < u.words.count; ++i) put32(p, u.words.values[i]);
            return TCS_RESULT_OK;
        }
        case QCF_KIND_GET_PRINT_CONFIG: {
            auto& p = single(12);
            put32(p, u.getPrintConfig.first);
            put32(p, u.getPrintConfig.second);
            put16(p, u.getPrintConfig.third);
            return TCS_RESULT_OK;
        }
        case QCF_KIND_SWIPE_DIRECTION: put32(single(20), u.value); return TCS_RESULT_OK;
        case QCF_KIND_BASELINE_VARIANCE: put32(single(34), u.value); return TCS_RESULT_OK;
        case QCF_KIND_RAW_BUFFERED_SIZE: put32(single(kTypeRawBufferedSize), u.value); return TCS_RESULT_OK;
        case QCF_KIND_BIT_REDUCTION: {
            auto& p = single(28);
            put32(p, u.bitReduction[0]);
            put32(p, u.bitReduction[1]);
            return TCS_RESULT_OK;
        }
        case QCF_KIND_CAL_RESULTS_OLD: {
            auto& p = single(21);
            p.push_back(u.calOld.flag != 0 ? 1 : 0);
            for (uint32_t v : u.calOld.values) put32(p, v);
            if (u.calOld.extended == 1) put32(p, u.calOld.extra);
            return TCS_RESULT_OK;
        }
        case QCF_KIND_CAL_RESULTS: {
            if (u.calResults.count == 0 || u.calResults.pairs == nullptr) return TCS_RESULT_BAD_PARAM;
            auto& p = single(26);
            put32(p, u.calResults.first);
            put32(p, u.calResults.second);
            p.resize(16, 0);
            out.push_back(Section{27, u.calResults.count, {}});
            for (uint32_t i = 0; i < u.calResults.count * 2; ++i) put32(out.back().payload, u.calResults.pairs[i]);
            return TCS_RESULT_OK;
        }
        case QCF_KIND_BASELINE_IMAGE_1:
        case QCF_KIND_BASELINE_IMAGE_2: {
            const uint32_t bytes = uint32_t(u.baselineImage.first) * u.baselineImage.second;
            if (bytes == 0 || u.baselineImage.data == nullptr) return TCS_RESULT_BAD_PARAM;
            const uint32_t type = s.kind == 18 ? 22 : 24;
            auto& p = single(type);
            put16(p, u.baselineImage.second);
            put16(p, u.baselineImage.first);
            putBytes(p, u.baselineImage.data, bytes);
            put32(single(type + 1), u.baselineImage.flag);
            return TCS_RESULT_OK;
        }
        case QCF_KIND_RAW_FP_DATA: {
            auto& p = single(kTypeRawData);
            const uint32_t lines = u.raw.lineLength != 0 ? u.raw.dataLength / u.raw.lineLength : 0;
            put32(p, 0);
            put16(p, uint16_t(lines));
            put16(p, u.raw.lineLength);
            put16(p, u.raw.second);
            if (u.raw.dataLength != 0) {
                if (u.raw.data == nullptr) return TCS_RESULT_BAD_PARAM;
                putBytes(p, u.raw.data, u.raw.dataLength);
            }
            return TCS_RESULT_OK;
        }
        case QCF_KIND_FINGER_ON_OFF_AREA:
        case QCF_KIND_RAW_DATA_TRIM: {
            const uint32_t fixed = s.kind == 22 ? QCF_FINGER_AREA_FIXED : QCF_TRIM_FIXED;
            if (u.variable.count != 0 && u.variable.data == nullptr) return TCS_RESULT_BAD_PARAM;
            auto& p = single(s.kind == 22 ? 30 : 31);
            putBytes(p, u.variable.fixed, fixed);
            put32(p, u.variable.count);
            p.resize(p.size() + 8, 0);  // the record's data pointer slot, kept in the layout as zeros
            putBytes(p, u.variable.data, u.variable.count);
            return TCS_RESULT_OK;
        }
        case QCF_KIND_DIFF_LINE_LEN: {
            auto& p = single(32);
            put16(p, u.pair.first);
            put16(p, u.pair.second);
            return TCS_RESULT_OK;
        }
        case QCF_KIND_USER_INFO: {
            auto& p = single(50);
            put32(p, u.userInfo.first);
            put16(p, u.userInfo.second);
            put32(p, u.userInfo.third);
            return TCS_RESULT_OK;
        }
        default:
            if (s.kind >= QCF_KIND_BASELINE_FIRST && s.kind <= QCF_KIND_BASELINE_20) {
                const uint32_t bytes = uint32_t(u.baseline.first) * u.baseline.second;
                if (bytes == 0 || u.baseline.data == nullptr) return TCS_RESULT_BAD_PARAM;
                auto& p = single(s.kind == 20 ? 19 : s.kind + 1);
                put16(p, u.baseline.second);
                put16(p, u.baseline.first);
                putBytes(p, u.baseline.data, bytes);
                return TCS_RESULT_OK;
            }
            return TCS_RESULT_BAD_PARAM;
    }
}

TcsResult writeRaw(FILE* stream, uint32_t type, uint32_t version, const uint8_t* payload, uint32_t length) {
    std::vector<uint8_t> header;
    put32(header, length + kHeaderBytes);
    put32(header, type);
    put32(header, version);
    if (palFileWrite(header.data(), 1, kHeaderBytes, stream) != kHeaderBytes) return TCS_RESULT_FILE_WRITE_FAILED;
    if (length != 0 && palFileWrite(payload, 1, length, stream) != length) return TCS_RESULT_FILE_WRITE_FAILED;
    return TCS_RESULT_OK;
}

struct CaptureFileSectionHeader {
    uint32_t length;
    uint32_t type;
    uint32_t version;
};

// One section at the stream's position: 3 at a clean end of file, 220 for a short header or a
// length below 12, 219 for a short payload.
TcsResult readSection(FILE* stream, CaptureFileSectionHeader& header, std::vector<uint8_t>& payload) {
    uint8_t bytes[kHeaderBytes];
    const uint32_t got = palFileRead(bytes, 1, kHeaderBytes, stream);
    if (got == 0) return TCS_RESULT_NO_MORE_ENTRIES;
    if (got != kHeaderBytes) return TCS_RESULT_INVALID_FILE_FORMAT;
    header = CaptureFileSectionHeader{get32(bytes), get32(bytes + 4), get32(bytes + 8)};
    if (header.length < kHeaderBytes) return TCS_RESULT_INVALID_FILE_FORMAT;
    const uint32_t length = header.length - kHeaderBytes;
    // A length beyond the end of the file is a short payload; checked before allocating so that a
    // damaged length word never asks for gigabytes.
    const uint32_t position = palFileTell(stream);
    if (uint64_t(position) + length > fclGetFileSize(stream)) return TCS_RESULT_FILE_READ_FAILED;
    try {
        payload.resize(length);
    } catch (const std::bad_alloc&) {
        return TCS_RESULT_INVALID;
    }
    if (length != 0 && palFileRead(payload.data(), 1, length, stream) != length) return TCS_RESULT_FILE_READ_FAILED;
    return TCS_RESULT_OK;
}

// Decodes one section (with its partner, when the pair's partner was found) into a record whose
// pointers refer into the given payloads; multi-byte data is turned into host order in place.
TcsResult decode(const CaptureFileSectionHeader& h, std::vector<uint8_t>& p, const CaptureFileSectionHeader* ph, std::vector<uint8_t>* pp,
                 QcfSection& s) {
    std::memset(&s, 0, sizeof s);
    const uint32_t n = uint32_t(p.size());
    auto wordsInPlace = [](std::vector<uint8_t>& v, uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t w = get32(v.data() + i * 4);
            std::memcpy(v.data() + i * 4, &w, 4);
        }
    };
    auto headerWords = [&](const std::vector<uint8_t>& v) {
        uint8_t area[44] = {};
        if (!v.empty()) std::memcpy(area, v.data(), v.size() < 44 ? v.size() : 44);  // shorter: zero-filled
        for (int i = 0; i < 7; ++i) s.u.header.words[i] = get32(area + i * 4);
        std::memcpy(s.u.header.bytes8, area + 28, 8);
        std::memcpy(s.u.header.bytes6, area + 36, 6);
        std::memcpy(s.u.header.bytes2, area + 42, 2);
    };
    auto headerTail = [&](const std::vector<uint8_t>& v) -> TcsResult {
        if (v.size() < 16) return TCS_RESULT_INVALID_FILE_FORMAT;
        s.u.header.value8 = v[0];
        s.u.header.value16 = get16(v.data() + 1);
        return TCS_RESULT_OK;
    };
    auto baselineImage = [&](const std::vector<uint8_t>& v) -> TcsResult {
        if (v.size() < 4) return TCS_RESULT_INVALID_FILE_FORMAT;
        s.u.baselineImage.second = get16(v.data());
        s.u.baselineImage.first = get16(v.data() + 2);
        if (v.size() < uint64_t(s.u.baselineImage.first) * s.u.baselineImage.second + 4) {
            return TCS_RESULT_INVALID_FILE_FORMAT;
        }
        s.u.baselineImage.data = v.data() + 4;
        return TCS_RESULT_OK;
    };
    auto baselineFlag = [&](const std::vector<uint8_t>& v) -> TcsResult {
        if (v.size() <= 3) return TCS_RESULT_INVALID_FILE_FORMAT;
        s.u.baselineImage.flag = get32(v.data());
        return TCS_RESULT_OK;
    };
    auto calPairs = [&](uint32_t count, std::vector<uint8_t>& v) -> TcsResult {
        if (v.size() < uint64_t(count) * 8) return TCS_RESULT_INVALID_FILE_FORMAT;
        wordsInPlace(v, count * 2);
        s.u.calResults.count = count;
        s.u.calResults.pairs = reinterpret_cast<const uint32_t*>(v.data());
        return TCS_RESULT_OK;
    };
    auto calHead = [&](const std::vector<uint8_t>& v) -> TcsResult {
        if (v.size() <= 15) return TCS_RESULT_INVALID_FILE_FORMAT;
        s.u.calResults.first = get32(v.data());
        s.u.calResults.second = get32(v.data() + 4);
        return TCS_RESULT_OK;
    };
    TcsResult r = TCS_RESULT_OK;
    switch (h.type) {
        case 2:
        case 3:
        case 10:
            s.kind = h.type == 10 ? 5 : h.type;
            s.u.blob.size = n;
            s.u.blob.data = p.data();
            return TCS_RESULT_OK;
        case 7:
        case 29:
            s.kind = QCF_KIND_HEADER;
            if (h.type == 7) {
                headerWords(p);
                if (pp != nullptr) r = headerTail(*pp);
            } else {
                r = headerTail(p);
                if (r == TCS_RESULT_OK && pp != nullptr) headerWords(*pp);
            }
            return r;
        case kTypeRawData:
            if (n < kRawSubHeaderBytes) return TCS_RESULT_INVALID_FILE_FORMAT;
            s.kind = QCF_KIND_RAW_FP_DATA;
            s.u.raw.lineLength = get16(p.data() + 6);
            s.u.raw.second = get16(p.data() + 8);
            s.u.raw.dataLength = n - kRawSubHeaderBytes;
            s.u.raw.data = p.data() + kRawSubHeaderBytes;
            return TCS_RESULT_OK;
        case 9:
        case 11:
            s.kind = h.type == 9 ? 4 : 6;
            wordsInPlace(p, n / 4);
            s.u.words.count = n / 4;
            s.u.words.values = reinterpret_cast<const uint32_t*>(p.data());
            return TCS_RESULT_OK;
        case 12:
            if (n <= 9) return TCS_RESULT_INVALID_FILE_FORMAT;
            s.kind = QCF_KIND_GET_PRINT_CONFIG;
            s.u.getPrintConfig = {get32(p.data()), get32(p.data() + 4), get16(p.data() + 8)};
            return TCS_RESULT_OK;
        case 13: case 14: case 15: case 16: case 17: case 18: case 19:
            if (n < 4) return TCS_RESULT_INVALID_FILE_FORMAT;
            s.kind = h.type == 19 ? 20 : h.type - 1;
            s.u.baseline.second = get16(p.data());
            s.u.baseline.first = get16(p.data() + 2);
            if (n < uint64_t(s.u.baseline.first) * s.u.baseline.second + 4) return TCS_RESULT_INVALID_FILE_FORMAT;
            s.u.baseline.data = p.data() + 4;
            return TCS_RESULT_OK;
        case 20:
        case 34:
        case kTypeRawBufferedSize:
            if (n <= 3) return TCS_RESULT_INVALID_FILE_FORMAT;
            s.kind = h.type == 20 ? 8 : h.type == 34 ? 27 : 28;
            s.u.value = get32(p.data());
            return TCS_RESULT_OK;
        case 21:
            if (n != 29 && n != 33) return TCS_RESULT_INVALID_FILE_FORMAT;
            s.kind = QCF_KIND_CAL_RESULTS_OLD;
            s.u.calOld.flag = p[0];
            for (int i = 0; i < 7; ++i) s.u.calOld.values[i] = get32(p.data() + 1 + i * 4);
            if (n == 33) {
                s.u.calOld.extended = 1;
                s.u.calOld.extra = get32(p.data() + 29);
            }
            return TCS_RESULT_OK;
        case 22:
        case 24:
            s.kind = h.type == 22 ? 18 : 19;
            r = baselineImage(p);
            if (r == TCS_RESULT_OK && pp != nullptr) r = baselineFlag(*pp);
            return r;
        case 23:
        case 25:
            s.kind = h.type == 23 ? 18 : 19;
            r = baselineFlag(p);
            if (r == TCS_RESULT_OK && pp != nullptr) r = baselineImage(*pp);
            return r;
        case 26:
            s.kind = QCF_KIND_CAL_RESULTS;
            r = calHead(p);
            if (r == TCS_RESULT_OK && pp != nullptr) r = calPairs(ph->version, *pp);
            return r;
        case 27:
            s.kind = QCF_KIND_CAL_RESULTS;
            r = calPairs(h.version, p);
            if (r == TCS_RESULT_OK && pp != nullptr) r = calHead(*pp);
            return r;
        case 28:
            if (n <= 7) return TCS_RESULT_INVALID_FILE_FORMAT;
            s.kind = QCF_KIND_BIT_REDUCTION;
            s.u.bitReduction[0] = get32(p.data());
            s.u.bitReduction[1] = get32(p.data() + 4);
            return TCS_RESULT_OK;
        case 30:
        case 31: {
            const uint32_t fixed = h.type == 30 ? QCF_FINGER_AREA_FIXED : QCF_TRIM_FIXED;
            if (n < fixed + 12) return TCS_RESULT_INVALID_FILE_FORMAT;
            const uint32_t count = get32(p.data() + fixed);
            if (n < uint64_t(count) + fixed + 12) return TCS_RESULT_INVALID_FILE_FORMAT;
            s.kind = h.type == 30 ? 22 : 23;
            std::memcpy(s.u.variable.fixed, p.data(), fixed);
            s.u.variable.count = count;
            s.u.variable.data = p.data() + fixed + 12;
            return TCS_RESULT_OK;
        }
        case 32:
            if (n <= 3) return TCS_RESULT_INVALID_FILE_FORMAT;
            s.kind = QCF_KIND_DIFF_LINE_LEN;
            s.u.pair = {get16(p.data()), get16(p.data() + 2)};
            return TCS_RESULT_OK;
        case 50:
            if (n <= 9) return TCS_RESULT_INVALID_FILE_FORMAT;
            s.kind = QCF_KIND_USER_INFO;
            s.u.userInfo = {get32(p.data()), get16(p.data() + 4), get32(p.data() + 6)};
            return TCS_RESULT_OK;
        default:  // 33 and every type without a decoder
            s.kind = QCF_KIND_RAW;
            s.u.unknown = {h.type, h.length, h.version, p.data(), n};
            return TCS_RESULT_OK;
    }
}

// Size in bytes of the variable part a record points to, for copying it into a cache.
uint32_t variableBytes(const QcfSection& s, uint32_t* elementBytes) {
    *elementBytes = 1;
    switch (s.kind) {
        case 2: case 3: case 5: case 26: return s.u.blob.size;
        case 4: case 6: *elementBytes = 4; return s.u.words.count * 4;
        case 11: *elementBytes = 4; return s.u.calResults.count * 8;
        case 18: case 19: return uint32_t(s.u.baselineImage.first) * s.u.baselineImage.second;
        case 21: return s.u.raw.dataLength;
        case 22: case 23: return s.u.variable.count;
        default:
            if (s.kind >= 12 && s.kind <= 20) return uint32_t(s.u.baseline.first) * s.u.baseline.second;
            return 0;
    }
}
const uint8_t** variablePointer(QcfSection& s) {
    switch (s.kind) {
        case 2: case 3: case 5: case 26: return &s.u.blob.data;
        case 4: case 6: return reinterpret_cast<const uint8_t**>(&s.u.words.values);
        case 11: return reinterpret_cast<const uint8_t**>(&s.u.calResults.pairs);
        case 18: case 19: return &s.u.baselineImage.data;
        case 21: return &s.u.raw.data;
        case 22: case 23: return &s.u.variable.data;
        default:
            if (s.kind >= 12 && s.kind <= 20) return &s.u.baseline.data;
            return nullptr;
    }
}

bool cachedKind(uint32_t kind) { return kind >= 1 && kind <= 28 && kind != 24 && kind != 26; }

char* widePath(const uint16_t* path, char* buffer) {
    if (path == nullptr) return nullptr;
    palUnicodeToAsciiString(path, buffer, kMaxPath + 1);
    return buffer;
}

}  // namespace

struct QcfFile {
    char* path = nullptr;
    FILE* stream = nullptr;
    uint32_t mode = 0;  // 1 created for writing, 0 opened for reading
    uint32_t blobWritten = 0;
    int64_t rawSectionAt = -1;
    int64_t bufferedSizeAt = -1;
    uint32_t inserting = 0;
    bool cached[kMaxKind + 1] = {};
    QcfSection sections[kMaxKind + 1] = {};
    std::vector<uint8_t> storage[kMaxKind + 1];
};

struct QcfIterator {
    FILE* stream = nullptr;
    QcfSection current{};
    uint32_t consumed[4] = {};
    CaptureFileSectionHeader header{};
    CaptureFileSectionHeader partnerHeader{};
    std::vector<uint8_t> buffer;
    std::vector<uint8_t> partnerBuffer;
};

namespace {

TcsResult iteratorStep(QcfIterator& it) {
    for (;;) {
        TcsResult r = readSection(it.stream, it.header, it.buffer);
        if (r != TCS_RESULT_OK) return r;
        bool skip = false;
        for (uint32_t& c : it.consumed) {
            if (c != 0 && c == it.header.type) {
                c = 0;
                skip = true;
                break;
            }
        }
        if (skip) continue;
        const uint32_t partner = partnerOf(it.header.type);
        bool found = false;
        if (partner != 0) {
            const uint32_t position = palFileTell(it.stream);
            for (;;) {
                CaptureFileSectionHeader h{};
                if (readSection(it.stream, h, it.partnerBuffer) != TCS_RESULT_OK) break;
                if (h.type == partner) {
                    it.partnerHeader = h;
                    found = true;
                    break;
                }
            }
            palFileSeek(it.stream, position, SEEK_SET);
            if (found) {
                for (uint32_t& c : it.consumed) {
                    if (c == 0) {
                        c = partner;
                        break;
                    }
                }
            }
        }
        return decode(it.header, it.buffer, found ? &it.partnerHeader : nullptr, found ? &it.partnerBuffer : nullptr,
                      it.current);
    }
}

void freeFile(QcfFile* file) {
    if (file->stream != nullptr) palFileClose(file->stream);
    palRealFree(file->path);
    file->~QcfFile();
    palRealFree(file);
}

TcsResult makeFile(QcfFile** outFile, const char* path, const char* mode, uint32_t fileMode) {
    char* fullPath = nullptr;
    TcsResult r = fclAppendExtentionToPath(&fullPath, ".qcf", path);
    if (r != TCS_RESULT_OK) return r;
    void* memory = palRealMalloc(sizeof(QcfFile));
    if (memory == nullptr) {
        palRealFree(fullPath);
        return TCS_RESULT_INVALID;
    }
    auto* file = new (memory) QcfFile;
    file->path = fullPath;
    file->mode = fileMode;
    file->stream = palFileOpen(fullPath, mode);
    if (file->stream == nullptr) {
        freeFile(file);
        return TCS_RESULT_FILE_OPEN_FAILED;
    }
    *outFile = file;
    return TCS_RESULT_OK;
}

// Grows the raw-data section by length bytes at offset into its data.
TcsResult insertRawFpData(QcfFile* file, const void* data, uint32_t length, uint32_t offset, bool updateLineCount,
                          bool inserting) {
    if (file->rawSectionAt < 0) return QCF_RESULT_SECTION_MISSING;
    FILE* f = file->stream;
    if (inserting && file->bufferedSizeAt >= 0) {
        uint8_t head[kHeaderBytes];
        palFileSeek(f, uint32_t(file->bufferedSizeAt), SEEK_SET);
        if (palFileRead(head, 1, kHeaderBytes, f) == kHeaderBytes && get32(head + 4) == kTypeRawBufferedSize) {
            std::vector<uint8_t> value;
            put32(value, length);
            palFileSeek(f, uint32_t(file->bufferedSizeAt) + kHeaderBytes, SEEK_SET);
            if (palFileWrite(value.data(), 1, 4, f) != 4) return TCS_RESULT_FILE_WRITE_FAILED;
        }
    }
    const uint32_t at = uint32_t(file->rawSectionAt);
    uint8_t head[kRawDataStart];
    palFileSeek(f, at, SEEK_SET);
    if (palFileRead(head, 1, kRawDataStart, f) != kRawDataStart) return TCS_RESULT_INVALID_FILE_FORMAT;
    const uint32_t sectionLength = get32(head);
    if (sectionLength < kRawDataStart) return TCS_RESULT_INVALID_FILE_FORMAT;
    if (offset > sectionLength - kRawDataStart) return TCS_RESULT_BAD_PARAM;
    TcsResult r = fclInsertDataToFile(f, data, length, at + kRawDataStart + offset);
    if (r != TCS_RESULT_OK) return r;
    const uint32_t newLength = sectionLength + length;
    std::vector<uint8_t> bytes;
    put32(bytes, newLength);
    palFileSeek(f, at, SEEK_SET);
    if (palFileWrite(bytes.data(), 1, 4, f) != 4) return TCS_RESULT_FILE_WRITE_FAILED;
    if (updateLineCount) {
        const uint16_t lineLength = get16(head + kHeaderBytes + 6);
        const uint32_t lines = lineLength != 0 ? (newLength - kRawDataStart) / lineLength : 0;
        std::vector<uint8_t> sub;
        put32(sub, 0);
        put16(sub, uint16_t(lines));
        put16(sub, lineLength);
        put16(sub, get16(head + kHeaderBytes + 8));
        palFileSeek(f, at + kHeaderBytes, SEEK_SET);
        if (palFileWrite(sub.data(), 1, kRawSubHeaderBytes, f) != kRawSubHeaderBytes) return TCS_RESULT_FILE_WRITE_FAILED;
    }
    palFileSeek(f, 0, SEEK_END);
    return TCS_RESULT_OK;
}

}  // namespace

extern "C" {

TcsResult fclAppendExtentionToPath(char** outPath, const char* extension, const char* path) {
    if (outPath == nullptr || extension == nullptr || path == nullptr) return TCS_RESULT_BAD_PARAM;
    const size_t length = std::strlen(path);
    const bool has = std::strstr(path, extension) != nullptr;
    const size_t total = length + (has ? 0 : std::strlen(extension)) + 1;
    auto* out = static_cast<char*>(palRealMalloc(uint32_t(total)));
    if (out == nullptr) return TCS_RESULT_INVALID;
    std::memcpy(out, path, length + 1);
    if (!has) std::strcat(out, extension);
    *outPath = out;
    return TCS_RESULT_OK;
}

uint32_t fclGetFileSize(FILE* stream) {
    if (stream == nullptr) return 0;
    const uint32_t position = palFileTell(stream);
    palFileSeek(stream, 0, SEEK_END);
    const uint32_t size = palFileTell(stream);
    palFileSeek(stream, position, SEEK_SET);
    return size;
}

TcsResult fclInsertDataToFile(FILE* stream, const void* data, uint32_t length, uint32_t offset) {
    if (stream == nullptr || data == nullptr) return TCS_RESULT_BAD_PARAM;
    const uint32_t size = fclGetFileSize(stream);
    if (offset > size) return TCS_RESULT_BAD_PARAM;
    std::vector<uint8_t> rest;
    try {
        rest.resize(size - offset);
    } catch (const std::bad_alloc&) {
        return TCS_RESULT_INVALID;
    }
    palFileSeek(stream, offset, SEEK_SET);
    if (!rest.empty() && palFileRead(rest.data(), 1, uint32_t(rest.size()), stream) != rest.size()) {
        return TCS_RESULT_FILE_READ_FAILED;
    }
    palFileSeek(stream, offset, SEEK_SET);
    if (length != 0 && palFileWrite(data, 1, length, stream) != length) return TCS_RESULT_FILE_WRITE_FAILED;
    if (!rest.empty() && palFileWrite(rest.data(), 1, uint32_t(rest.size()), stream) != rest.size()) {
        return TCS_RESULT_FILE_WRITE_FAILED;
    }
    return TCS_RESULT_OK;
}

void fclUnpack4bitArray(const uint8_t* packed, uint8_t* out, uint32_t count) {
    if (packed == nullptr || out == nullptr) return;
    // Backwards, so that out and packed may be one buffer.
    for (uint32_t i = count / 2; i-- > 0;) {
        const uint8_t byte = packed[i];
        out[2 * i] = byte & 0xF0;
        out[2 * i + 1] = uint8_t(byte << 4);
    }
}

TcsResult fclQcfCreateA(QcfFile** outFile, const char* path) {
    if (path == nullptr || outFile == nullptr) return TCS_RESULT_BAD_PARAM;
    return makeFile(outFile, path, "wb+", 1);
}

TcsResult fclQcfCreateW(QcfFile** outFile, const uint16_t* path) {
    char buffer[kMaxPath + 1];
    return fclQcfCreateA(outFile, widePath(path, buffer));
}

TcsResult fclQcfOpenA(QcfFile** outFile, const char* path) {
    if (path == nullptr || outFile == nullptr) return TCS_RESULT_BAD_PARAM;
    QcfFile* file = nullptr;
    TcsResult r = makeFile(&file, path, "rb", 0);
    if (r != TCS_RESULT_OK) return r;
    QcfIterator it;
    it.stream = file->stream;
    for (;;) {
        r = iteratorStep(it);
        if (r == TCS_RESULT_NO_MORE_ENTRIES) break;
        // A section that cannot be decoded ends the open: the file is damaged and its later
        // sections cannot be trusted to line up.
        if (r != TCS_RESULT_OK) {
            freeFile(file);
            return r;
        }
        QcfSection& s = it.current;
        if (!cachedKind(s.kind) || file->cached[s.kind]) continue;
        uint32_t element = 1;
        const uint32_t bytes = variableBytes(s, &element);
        file->sections[s.kind] = s;
        if (const uint8_t** pointer = variablePointer(file->sections[s.kind]); pointer != nullptr && bytes != 0) {
            try {
                file->storage[s.kind].assign(*pointer, *pointer + bytes);
            } catch (const std::bad_alloc&) {
                freeFile(file);
                return TCS_RESULT_OUT_OF_MEMORY;
            }
            *pointer = file->storage[s.kind].data();
        }
        file->cached[s.kind] = true;
    }
    palFileSeek(file->stream, 0, SEEK_SET);
    *outFile = file;
    return TCS_RESULT_OK;
}

TcsResult fclQcfOpenW(QcfFile** outFile, const uint16_t* path) {
    char buffer[kMaxPath + 1];
    return fclQcfOpenA(outFile, widePath(path, buffer));
}

TcsResult fclQcfClose(QcfFile* file) {
    if (file == nullptr) return TCS_RESULT_NULL_POINTER;
    TcsResult r = TCS_RESULT_OK;
    if (file->mode == 1 && file->blobWritten == 0) {
        palFileSeek(file->stream, 0, SEEK_END);
        r = writeRaw(file->stream, kTypeCreator, 1, reinterpret_cast<const uint8_t*>(kCreator), sizeof kCreator);
    }
    freeFile(file);
    return r;
}

TcsResult fclQcfWriteSection(QcfFile* file, const QcfSection* section) {
    if (file == nullptr || section == nullptr) return TCS_RESULT_NULL_POINTER;
    if (file->mode != 1) return TCS_RESULT_FILE_WRITE_FAILED;
    if (section->kind == 0 || section->kind > kMaxKind) return TCS_RESULT_BAD_PARAM;
    std::vector<Section> parts;
    TcsResult r;
    try {
        r = encode(*section, parts);
    } catch (const std::bad_alloc&) {
        return TCS_RESULT_INVALID;
    }
    if (r != TCS_RESULT_OK) return r;
    palFileSeek(file->stream, 0, SEEK_END);
    const uint32_t position = palFileTell(file->stream);
    for (const Section& part : parts) {
        r = writeRaw(file->stream, part.type, part.version, part.payload.data(), uint32_t(part.payload.size()));
        if (r != TCS_RESULT_OK) return r;
    }
    if (section->kind == QCF_KIND_RAW_FP_DATA) file->rawSectionAt = position;
    if (section->kind == QCF_KIND_RAW_BUFFERED_SIZE) file->bufferedSizeAt = position;
    const uint32_t k = section->kind;
    if (k == 2 || k == 3 || k == 5 || k == 26) file->blobWritten = 1;
    return TCS_RESULT_OK;
}

TcsResult fclQcfReadSection(QcfFile* file, QcfSection* section) {
    if (file == nullptr || section == nullptr) return TCS_RESULT_NULL_POINTER;
    if (file->mode != 0) return TCS_RESULT_FILE_READ_FAILED;
    if (section->kind == 0 || section->kind > kMaxKind) return TCS_RESULT_BAD_PARAM;
    if (!file->cached[section->kind]) return QCF_RESULT_SECTION_MISSING;
    *section = file->sections[section->kind];
    return TCS_RESULT_OK;
}

TcsResult fclQcfAppendRawData(QcfFile* file, const void* data, uint32_t length, uint32_t last) {
    if (file == nullptr || data == nullptr || length == 0) return TCS_RESULT_BAD_PARAM;
    if (file->mode != 1) return TCS_RESULT_FILE_WRITE_FAILED;
    if (file->rawSectionAt < 0) return QCF_RESULT_SECTION_MISSING;
    uint8_t head[4];
    palFileSeek(file->stream, uint32_t(file->rawSectionAt), SEEK_SET);
    if (palFileRead(head, 1, 4, file->stream) != 4) return TCS_RESULT_INVALID_FILE_FORMAT;
    const uint32_t sectionLength = get32(head);
    if (sectionLength < kRawDataStart) return TCS_RESULT_INVALID_FILE_FORMAT;
    return insertRawFpData(file, data, length, sectionLength - kRawDataStart, last == 1, false);
}

TcsResult fclQcfInsertRawData(QcfFile* file, const void* data, uint32_t length, uint32_t offset) {
    if (file == nullptr || data == nullptr || length == 0) return TCS_RESULT_BAD_PARAM;
    if (file->mode != 1) return TCS_RESULT_FILE_WRITE_FAILED;
    file->inserting = 1;
    const TcsResult r = insertRawFpData(file, data, length, offset, true, true);
    file->inserting = 0;
    return r;
}

TcsResult fclQcfIteratorGetFirstA(QcfIterator** outIterator, const char* path) {
    if (outIterator == nullptr || path == nullptr) return TCS_RESULT_BAD_PARAM;
    char* fullPath = nullptr;
    TcsResult r = fclAppendExtentionToPath(&fullPath, ".qcf", path);
    if (r != TCS_RESULT_OK) return r;
    FILE* stream = palFileOpen(fullPath, "rb");
    palRealFree(fullPath);
    if (stream == nullptr) return TCS_RESULT_FILE_OPEN_FAILED;
    void* memory = palRealMalloc(sizeof(QcfIterator));
    if (memory == nullptr) {
        palFileClose(stream);
        return TCS_RESULT_INVALID;
    }
    auto* it = new (memory) QcfIterator;
    it->stream = stream;
    *outIterator = it;
    return fclQcfIteratorMoveToFirst(it);
}

TcsResult fclQcfIteratorGetFirstW(QcfIterator** outIterator, const uint16_t* path) {
    char buffer[kMaxPath + 1];
    return fclQcfIteratorGetFirstA(outIterator, widePath(path, buffer));
}

TcsResult fclQcfIteratorMoveToFirst(QcfIterator* iterator) {
    if (iterator == nullptr) return TCS_RESULT_BAD_PARAM;
    palFileSeek(iterator->stream, 0, SEEK_SET);
    std::memset(iterator->consumed, 0, sizeof iterator->consumed);
    return iteratorStep(*iterator);
}

TcsResult fclQcfIteratorMoveToNext(QcfIterator* iterator) {
    if (iterator == nullptr) return TCS_RESULT_BAD_PARAM;
    return iteratorStep(*iterator);
}

TcsResult fclQcfIteratorGetData(QcfIterator* iterator, QcfSection* outSection) {
    if (iterator == nullptr || outSection == nullptr) return TCS_RESULT_BAD_PARAM;
    *outSection = iterator->current;
    return TCS_RESULT_OK;
}

TcsResult fclQcfIteratorClose(QcfIterator* iterator) {
    if (iterator == nullptr) return TCS_RESULT_BAD_PARAM;
    if (iterator->stream != nullptr) palFileClose(iterator->stream);
    iterator->~QcfIterator();
    palRealFree(iterator);
    return TCS_RESULT_OK;
}

TcsResult fclQcfWriteSectionByIterator(QcfFile* file, const QcfSection* section) {
    if (file == nullptr || section == nullptr) return TCS_RESULT_BAD_PARAM;
    if (section->kind != QCF_KIND_RAW) return fclQcfWriteSection(file, section);
    const QcfRawSectionRecord& raw = section->u.unknown;
    if (raw.data == nullptr && raw.dataLength != 0) return TCS_RESULT_BAD_PARAM;
    if (file->mode != 1) return TCS_RESULT_FILE_WRITE_FAILED;
    palFileSeek(file->stream, 0, SEEK_END);
    // The header goes out as it was read, length included.
    std::vector<uint8_t> header;
    put32(header, raw.length);
    put32(header, raw.type);
    put32(header, raw.version);
    if (palFileWrite(header.data(), 1, kHeaderBytes, file->stream) != kHeaderBytes) return TCS_RESULT_FILE_WRITE_FAILED;
    if (raw.dataLength != 0 && palFileWrite(raw.data, 1, raw.dataLength, file->stream) != raw.dataLength) {
        return TCS_RESULT_FILE_WRITE_FAILED;
    }
    if (raw.type == kTypeCreator || raw.type == 3 || raw.type == 10 || raw.type == 33) file->blobWritten = 1;
    return TCS_RESULT_OK;
}

}  // extern "C"
