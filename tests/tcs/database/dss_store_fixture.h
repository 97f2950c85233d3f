// Test fixture of the database data layer: a client on a minimal stack, a formatted host flash-image
// store in a temporary directory, and helpers to read files of the store raw.
#pragma once

#include "platform/crypto/crypto.h"
#include "platform/memory.h"
#include "tcs/database/dss_store.h"
#include "tcs/handle_map.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

class DssStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(tcsSafeHandlesInitialize(), TCS_RESULT_OK);
        palCryptoInitialize();
        palListInit(&subsystem_.openStores);
        ASSERT_EQ(palCriticalSectionInitialize(&subsystem_.openStoreLock), TCS_RESULT_OK);
        subsystem_.systemClient = &systemClient_;
        stack_.database = &subsystem_;
        initClient(&client_);
        initClient(&systemClient_);
        char dir[] = "/tmp/dss_store_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        url_ = "file://" + dir_ + "/db.img";
        ASSERT_EQ(dssFormatDatabase(&client_, url_.c_str()), TCS_RESULT_OK);
    }

    void TearDown() override {
        EXPECT_TRUE(palListIsEmpty(&subsystem_.openStores)) << "a database was left open";
        palCriticalSectionFree(subsystem_.openStoreLock);
        palCriticalSectionFree(client_.databaseLock);
        palCriticalSectionFree(systemClient_.databaseLock);
        unlink((dir_ + "/db.img").c_str());
        rmdir(dir_.c_str());
        EXPECT_EQ(tcsSafeHandlesUnInitialize(), TCS_RESULT_OK);
    }

    void initClient(ClientRecord* client) {
        client->stack = &stack_;
        palListInit(&client->databases);
        ASSERT_EQ(palCriticalSectionInitialize(&client->databaseLock), TCS_RESULT_OK);
    }

    void useCipher(const uint8_t* key, uint32_t keyLength, uint32_t algorithm = 5) {
        client_.keyC = SymmetricKeySlot{1, algorithm, keyLength, key, keyLength};
    }

    DssDatabase* open() {
        DssDatabase* database = nullptr;
        EXPECT_EQ(dssOpenDatabase(&client_, url_.c_str(), &database), TCS_RESULT_OK);
        return database;
    }

    static std::vector<uint8_t> readFile(FssHandle* fs, const std::string& path) {
        FssFile* file = nullptr;
        std::vector<uint8_t> bytes;
        if (fssFileOpen(fs, path.c_str(), "rb", &file) != TCS_RESULT_OK) return bytes;
        uint8_t chunk[64];
        for (;;) {
            uint32_t got = 0;
            fssFileRead(chunk, 1, sizeof chunk, file, &got);
            bytes.insert(bytes.end(), chunk, chunk + got);
            if (got < sizeof chunk) break;
        }
        fssFileClose(file);
        return bytes;
    }

    static TcsResult writeFile(FssHandle* fs, const std::string& path, const std::vector<uint8_t>& bytes) {
        FssFile* file = nullptr;
        TcsResult result = fssFileOpen(fs, path.c_str(), "wb", &file);
        if (result != TCS_RESULT_OK) return result;
        uint32_t written = 0;
        if (!bytes.empty()) result = fssFileWrite(bytes.data(), 1, uint32_t(bytes.size()), file, &written);
        const TcsResult closed = fssFileClose(file);
        return result != TCS_RESULT_OK ? result : closed;
    }

    static std::vector<uint8_t> userData(DssUser* user, uint32_t id) {
        uint32_t length = 0;
        if (dssGetUserData(user, id, nullptr, &length) != TCS_RESULT_OK) return {};
        std::vector<uint8_t> data(length);
        if (length == 0) return data;
        EXPECT_EQ(dssGetUserData(user, id, data.data(), &length), TCS_RESULT_OK);
        return data;
    }

    CoreSubsystem stack_{};
    DssSubsystem subsystem_{};
    ClientRecord client_{};
    ClientRecord systemClient_{};
    std::string dir_;
    std::string url_;
};

// Little-endian u32 words and bytes, for expected file images.
inline void putU32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(value >> (8 * i)));
}

inline std::vector<uint8_t> bytesOf(const char* text) {
    return std::vector<uint8_t>(text, text + std::strlen(text));
}
