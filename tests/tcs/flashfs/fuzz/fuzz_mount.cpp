// Fuzzes the mount of a damaged store: the input flips bytes of a small store holding a tree and
// its mount cache; the open, a walk over every file and one write must never crash.
#include "tcs/flashfs/fss_internal.h"
#include "tests/tcs/flashfs/fuzz/fuzz_store.h"

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

using fuzzstore::gFlash;
using fuzzstore::kStore;

void writeFile(FssHandle* h, const char* path, uint32_t size) {
    FssFile* f = nullptr;
    if (fssFileOpen(h, path, "w", &f) != TCS_RESULT_OK) return;
    std::vector<uint8_t> data(size, uint8_t(size));
    uint32_t n = 0;
    fssFileWrite(data.data(), 1, size, f, &n);
    fssFileClose(f);
}

const std::vector<uint8_t>& templateStore() {
    static std::vector<uint8_t> store;
    if (store.empty()) {
        gFlash.assign(kStore, 0xFF);
        FssHandle* h = fuzzstore::newHandle();
        fssFormat(h);
        fssMkdir(h, "/db");
        fssMkdir(h, "/db/u");
        for (int i = 0; i < 6; ++i) writeFile(h, ("/db/u/f" + std::to_string(i)).c_str(), 100 + 400 * i);
        writeFile(h, "/db/u/f2", 900);
        fssClose(h);
        store = gFlash;
    }
    return store;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    gFlash = templateStore();
    // Each 4 input bytes: a 24-bit offset into the first page of a sector or its header region
    // when small, anywhere otherwise, and the byte to put there.
    for (size_t i = 0; i + 4 <= size; i += 4) {
        const uint32_t offset = (uint32_t(data[i]) | uint32_t(data[i + 1]) << 8 | uint32_t(data[i + 2]) << 16) % kStore;
        gFlash[offset] = data[i + 3];
    }
    FssHandle* h = fuzzstore::newHandle();
    if (fssdetail::openHandle(h) == TCS_RESULT_OK && h->mount->root != nullptr) {
        FssDirListing* l = nullptr;
        if (fssDirOpen(h, "/db/u", &l) == TCS_RESULT_OK) {
            for (const FssDirEntry* e = fssDirRead(l); e != nullptr; e = fssDirRead(l)) {
                FssFile* f = nullptr;
                if (fssFileOpen(h, (std::string("/db/u/") + e->name).c_str(), "r", &f) != TCS_RESULT_OK) continue;
                uint8_t buf[512];
                uint32_t n = 0;
                while (fssFileRead(buf, 1, sizeof buf, f, &n) == TCS_RESULT_OK) {
                }
                fssFileClose(f);
            }
            fssDirClose(l);
        }
        writeFile(h, "/db/u/new", 700);
    }
    fssClose(h);
    return 0;
}
