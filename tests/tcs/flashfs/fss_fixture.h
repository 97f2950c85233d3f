// A NOR flash in memory as the file system's backend, with power loss and verify failures on
// demand, and helpers to open, write and read stores on it.
#pragma once

#include "tcs/flashfs/fss_internal.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace fsstest {

using Bytes = std::vector<uint8_t>;

struct NorFlash {
    uint32_t capacity = 262144;
    uint32_t storeSize = 262144;
    uint32_t eraseUnit = 65536;
    Bytes bytes;
    uint32_t bitRaises = 0;          // writes that needed a bit to go from 0 to 1
    int64_t writesLeft = -1;         // >= 0: writes after that many are lost (power gone)
    uint32_t writes = 0;
    uint32_t steps = 0;              // writes and erases, as counted against writesLeft
    uint64_t bytesRead = 0;
    uint32_t commits = 0;            // commit slot calls and writes that carried the commit flag
    std::set<uint32_t> failVerify;   // page addresses whose next write reads back wrong (84)

    NorFlash() = default;
    NorFlash(uint32_t cap, uint32_t store, uint32_t unit) : capacity(cap), storeSize(store), eraseUnit(unit) {}
    void blank() { bytes.assign(storeSize, 0xFF); }

    static NorFlash* of(void* b) { return static_cast<NorFlash*>(b); }
    static TcsResult info(void* b, uint32_t* cap, uint32_t* store) {
        *cap = of(b)->capacity;
        *store = of(b)->storeSize;
        return TCS_RESULT_OK;
    }
    static TcsResult read(void* b, uint32_t address, uint32_t length, void* out) {
        NorFlash* f = of(b);
        if (uint64_t(address) + length > f->bytes.size()) return TCS_RESULT_BAD_PARAM;
        memcpy(out, f->bytes.data() + address, length);
        f->bytesRead += length;
        return TCS_RESULT_OK;
    }
    static bool powerGone(NorFlash* f) {
        if (f->writesLeft == 0) return true;
        if (f->writesLeft > 0) --f->writesLeft;
        ++f->steps;
        return false;
    }
    static TcsResult write(void* b, uint32_t address, uint32_t length, const void* data, uint32_t commitFlag) {
        NorFlash* f = of(b);
        if (commitFlag == 1) ++f->commits;
        if (uint64_t(address) + length > f->bytes.size()) return TCS_RESULT_BAD_PARAM;
        if (powerGone(f)) return TCS_RESULT_SENSOR_WRITE_FAILED;
        ++f->writes;
        const auto* in = static_cast<const uint8_t*>(data);
        const uint32_t page = address - address % 256;
        if (f->failVerify.erase(page) != 0) {
            // Half the bits stick: what reads back is not what was written.
            for (uint32_t i = 0; i < length; ++i) f->bytes[address + i] &= uint8_t(in[i] | 0x0F);
            return FSS_RESULT_VERIFY_FAILED;
        }
        for (uint32_t i = 0; i < length; ++i) {
            if ((~f->bytes[address + i] & in[i]) != 0) ++f->bitRaises;
            f->bytes[address + i] &= in[i];
        }
        return TCS_RESULT_OK;
    }
    static TcsResult commit(void* b) {
        ++of(b)->commits;
        return TCS_RESULT_OK;
    }
    static TcsResult bulkErase(void* b) {
        NorFlash* f = of(b);
        if (powerGone(f)) return TCS_RESULT_SENSOR_WRITE_FAILED;
        f->blank();
        return TCS_RESULT_OK;
    }
    static TcsResult sectorErase(void* b, uint32_t address, uint32_t count) {
        NorFlash* f = of(b);
        const uint64_t start = address - address % f->eraseUnit, end = start + uint64_t(count) * f->eraseUnit;
        if (end > f->bytes.size()) return TCS_RESULT_BAD_PARAM;
        if (powerGone(f)) return TCS_RESULT_SENSOR_WRITE_FAILED;
        memset(f->bytes.data() + start, 0xFF, end - start);
        return TCS_RESULT_OK;
    }
    static TcsResult uninit(void*) { return TCS_RESULT_OK; }
    static constexpr FssBackendOps kOps = {info, read, write, commit, bulkErase, sectorErase, uninit};
};

// Cuts the power: what the handle still writes is lost; the handle is released.
inline void crash(NorFlash& flash, FssHandle* h) {
    flash.writesLeft = 0;
    fssClose(h);
    flash.writesLeft = -1;
}

// A handle over the flash, not mounted yet.
inline FssHandle* handleOn(NorFlash& flash) {
    FssHandle* h = nullptr;
    EXPECT_EQ(fssCreateHandle(nullptr, 0x7F, &h, nullptr), TCS_RESULT_OK);
    h->ops = NorFlash::kOps;
    h->backend = &flash;
    return h;
}

// Opens (mounts) the store; null with the code in *result on failure.
// Makes the next mount scan: every slot entry of the mount cache reads as obsolete.
inline void dropMountCache(NorFlash& flash, uint32_t sectorSize) {
    for (uint32_t at = 0; at < flash.bytes.size(); at += sectorSize) memset(flash.bytes.data() + at + 32, 0, 224);
}

inline FssHandle* openOn(NorFlash& flash, TcsResult* result = nullptr) {
    FssHandle* h = handleOn(flash);
    const TcsResult r = fssdetail::openHandle(h);
    if (result != nullptr) *result = r;
    if (r != TCS_RESULT_OK) {
        fssClose(h);
        return nullptr;
    }
    return h;
}

// Formats the flash with a root "/db" and returns it open.
inline FssHandle* formatted(NorFlash& flash, const char* root = "/db") {
    flash.blank();
    FssHandle* h = handleOn(flash);
    EXPECT_EQ(fssFormat(h), TCS_RESULT_OK);
    EXPECT_EQ(fssMkdir(h, root), TCS_RESULT_OK);
    return h;
}

inline Bytes pattern(uint32_t size, uint32_t seed) {
    Bytes b(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& v : b) {
        x = x * 1103515245u + 12345u;
        v = uint8_t(x >> 16);
    }
    return b;
}

inline TcsResult writeFile(FssHandle* h, const std::string& path, const Bytes& data) {
    FssFile* f = nullptr;
    TcsResult r = fssFileOpen(h, path.c_str(), "wb", &f);
    if (r != TCS_RESULT_OK) return r;
    uint32_t n = 0;
    if (!data.empty()) r = fssFileWrite(data.data(), 1, uint32_t(data.size()), f, &n);
    const TcsResult c = fssFileClose(f);
    return r != TCS_RESULT_OK ? r : c;
}

// The file's content, or the failing code as a one-word text.
inline std::string readFile(FssHandle* h, const std::string& path, Bytes* out) {
    FssFile* f = nullptr;
    TcsResult r = fssFileOpen(h, path.c_str(), "rb", &f);
    if (r != TCS_RESULT_OK) return "open " + std::to_string(r);
    out->clear();
    uint8_t buf[333];
    uint32_t n = 0;
    do {
        r = fssFileRead(buf, 1, sizeof buf, f, &n);
        out->insert(out->end(), buf, buf + n);
    } while (r == TCS_RESULT_OK);
    fssFileClose(f);
    return r == TCS_RESULT_EOF ? "" : "read " + std::to_string(r);
}

// The whole tree as "path:type:size" lines, listing order.
inline void listTree(FssHandle* h, const std::string& dir, std::vector<std::string>* out) {
    FssDirListing* l = nullptr;
    ASSERT_EQ(fssDirOpen(h, dir.c_str(), &l), TCS_RESULT_OK) << dir;
    std::vector<FssDirEntry> entries;
    for (const FssDirEntry* e = fssDirRead(l); e != nullptr; e = fssDirRead(l)) entries.push_back(*e);
    fssDirClose(l);
    for (const FssDirEntry& e : entries) {
        const std::string path = dir + "/" + e.name;
        if (e.type == 1) {
            out->push_back(path + ":dir");
            listTree(h, path, out);
        } else {
            FssFileInfoRecord info{};
            EXPECT_EQ(fssFileInfo(h, path.c_str(), &info), TCS_RESULT_OK) << path;
            out->push_back(path + ":" + std::to_string(info.size));
        }
    }
}

inline std::vector<std::string> tree(FssHandle* h, const std::string& root = "/db") {
    std::vector<std::string> out;
    listTree(h, root, &out);
    return out;
}

}  // namespace fsstest
