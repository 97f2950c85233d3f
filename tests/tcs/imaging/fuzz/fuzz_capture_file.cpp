// Fuzz target: any bytes as a capture file, opened and read by kind, then walked section by section
// and copied through the iterator. Nothing may read or write outside what the file holds.
#include "tcs/imaging/capture_file.h"

#include <stddef.h>
#include <stdint.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const std::string& path(const char* name) {
    static const std::string base = "/tmp/fuzz_qcf_" + std::to_string(getpid());
    static std::string paths[2];
    std::string& p = paths[name[0] == 'c' ? 1 : 0];
    p = base + "_" + name + ".qcf";
    return p;
}

// Touches every byte a record points to, so that a pointer past the data is caught.
uint32_t touch(const uint8_t* data, uint32_t length) {
    uint32_t sum = 0;
    for (uint32_t i = 0; data != nullptr && i < length; ++i) sum += data[i];
    return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& input = path("in");
    std::FILE* f = std::fopen(input.c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    volatile uint32_t sink = 0;
    QcfFile* file = nullptr;
    if (fclQcfOpenA(&file, input.c_str()) == 0) {
        for (uint32_t kind = 1; kind <= 28; ++kind) {
            QcfSection s;
            std::memset(&s, 0, sizeof s);
            s.kind = kind;
            if (fclQcfReadSection(file, &s) != 0) continue;
            if (kind == QCF_KIND_RAW_FP_DATA) sink = sink + touch(s.u.raw.data, s.u.raw.dataLength);
            if (kind == QCF_KIND_REGISTERS || kind == QCF_KIND_TIMESLOT_TABLE) {
                sink = sink + touch(reinterpret_cast<const uint8_t*>(s.u.words.values), s.u.words.count * 4);
            }
            if (kind == QCF_KIND_CAL_RESULTS) {
                sink = sink + touch(reinterpret_cast<const uint8_t*>(s.u.calResults.pairs), s.u.calResults.count * 8);
            }
        }
        fclQcfClose(file);
    }
    QcfIterator* it = nullptr;
    QcfFile* copy = nullptr;
    fclQcfCreateA(&copy, path("copy").c_str());
    int steps = 0;
    for (TcsResult r = fclQcfIteratorGetFirstA(&it, input.c_str()); r == 0 && steps < 1000;
         r = fclQcfIteratorMoveToNext(it), ++steps) {
        QcfSection s;
        fclQcfIteratorGetData(it, &s);
        if (s.kind == QCF_KIND_RAW) sink = sink + touch(s.u.unknown.data, s.u.unknown.dataLength);
        if (copy != nullptr) fclQcfWriteSectionByIterator(copy, &s);
    }
    if (it != nullptr) fclQcfIteratorClose(it);
    if (copy != nullptr) fclQcfClose(copy);
    std::remove(input.c_str());
    std::remove(path("copy").c_str());
    return 0;
}
