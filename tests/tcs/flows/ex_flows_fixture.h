// Fixture of the extended-flow tests: the whole stack with one virtual sensor opened by a client,
// file databases in a temporary folder, and small readers of what the flows stored.
#pragma once

#include "platform/crypto/crypto.h"
#include "platform/memory.h"
#include "platform/tag_value.h"
#include "tcs/database/dss_interface.h"
#include "tcs/database/dss_store.h"
#include "tcs/flows/ex_flows.h"
#include "tests/tcs/stack_fixture.h"

#include <cstring>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes bytesOf(const char* text) { return Bytes(text, text + std::strlen(text)); }
inline SizedBuffer sized(const Bytes& bytes) { return SizedBuffer{uint32_t(bytes.size()), bytes.data()}; }
// Digest ids of the crypto interface: 0 SHA-256, 2 MD5.
inline Bytes digestOf(const Bytes& data, uint32_t algorithm) {
    Bytes out(algorithm == 2 ? 16 : 32);
    palCryptoDigest(data.data(), uint32_t(data.size()), out.data(), algorithm);
    return out;
}

inline DssAppStorage* storageOf(TcsHandle app) {
    void* record = nullptr;
    _tcsSafeHandleFetch(app, TCS_HANDLE_TYPE_APP_STORAGE, &record);
    return static_cast<DssAppStorage*>(record);
}
// The open user of the id; 0 when there is none.
inline TcsHandle findUser(TcsHandle app, const Bytes& userId) {
    const SizedBuffer id = sized(userId);
    TcsHandle user = 0;
    GetUserHandleByUserID(storageOf(app), &id, &user);
    return user;
}

class ExFlowsStack : public StackFixture {
protected:
    static constexpr uint8_t kMajor = 4, kMinor = 30;

    ExFlowsStack() { folderName_ = "ex_flows"; }

    // A family-1 sensor of the given firmware minor; flags bit 0 says it matches securely.
    static Bytes versionBlock(uint8_t minor, uint8_t flags) {
        Bytes v(36, 0);
        v[0] = 1;
        v[4] = 17;
        v[8] = kMajor;
        v[9] = minor;
        v[10] = 1;
        v[11] = 4;
        v[13] = 1;
        v[14] = flags;
        for (int i = 0; i < 6; ++i) v[16 + size_t(i)] = uint8_t(0x41 + i);
        v[22] = 1;
        return v;
    }

    // Starts the stack with one sensor and opens it; a secure sensor is AES-secured and matches
    // securely, so templates are wrapped by the sensor and PEK security is on.
    void start(bool secure = false, uint8_t minor = kMinor) {
        answerVersion(versionBlock(minor, secure ? 1 : 0));
        startStack();
        plug();
        openWhenReady();
        if (secure) device()->aesSecured = 1;
    }

    std::string sensorName() { return readyName(); }

    // A formatted host-file database with one app storage (closed with the client).
    TcsHandle fileStorage(const std::string& file, const char* name = "APP") {
        const std::string url = "file://" + dir_ + "/" + file;
        TcsHandle database = 0, app = 0;
        EXPECT_EQ(tcsDatabaseFormatDatabaseA(client_, url.c_str()), TCS_RESULT_OK);
        EXPECT_EQ(tcsDatabaseOpenA(client_, url.c_str(), &database), TCS_RESULT_OK);
        EXPECT_EQ(tcsDatabaseCreateAppStorage(database, name, 0, &app), TCS_RESULT_OK);
        return app;
    }

    static TcsHandle makeTemplate(uint32_t finger, const Bytes& data, const Bytes& profile = {}) {
        TcsHandle templ = 0;
        EXPECT_EQ(tcsTemplateCreate(&templ, data.data(), uint32_t(data.size())), TCS_RESULT_OK);
        EXPECT_EQ(tcsTemplateSetFinger(templ, finger), TCS_RESULT_OK);
        EXPECT_EQ(tcsTemplateSetFeatures(templ, 1), TCS_RESULT_OK);
        if (!profile.empty()) {
            EXPECT_EQ(tcsTemplateSetASPProfile(templ, profile.data(), uint32_t(profile.size())), TCS_RESULT_OK);
        }
        return templ;
    }
    static Bytes templateBytes(uint32_t seed, uint32_t length = 300) {
        Bytes b(length);
        for (uint32_t i = 0; i < length; ++i) b[i] = uint8_t(seed * 31 + i * 7);
        return b;
    }

    // Files a template through the flow with one entry; the template handle is destroyed.
    TcsResult enroll(TcsHandle app, const Bytes& userId, uint32_t finger, const Bytes& entry = bytesOf("payload"),
                     uint32_t seed = 0) {
        const SizedBuffer id = sized(userId);
        const EnrollmentDataEntry entries[] = {{1, uint32_t(entry.size()), entry.data()}};
        const TcsHandle templ = makeTemplate(finger, templateBytes(seed != 0 ? seed : finger));
        const TcsResult result = tcsExEnrollTemplate(sensor_, app, &id, 1, entries, templ);
        tcsHandleDestroy(templ);
        return result;
    }

    // The ids of the storage's users in database order.
    static std::vector<Bytes> userIds(TcsHandle app) {
        std::vector<Bytes> ids;
        for (bool first = true;; first = false) {
            TcsHandle user = 0;
            if ((first ? tcsDatabaseOpenFirstUser(app, &user) : tcsDatabaseOpenNextUser(app, &user)) != 0) break;
            uint8_t* data = nullptr;
            uint32_t length = 0;
            if (tcsDatabaseGetUserData(user, 1, &data, &length) == TCS_RESULT_OK) ids.emplace_back(data, data + length);
            tcsBufferFree(data);
            tcsDatabaseCloseUser(user);
        }
        return ids;
    }

    // The stored template records (format byte and packed record) of a user, in database order.
    static std::vector<Bytes> storedTemplates(TcsHandle app, const Bytes& userId) {
        std::vector<Bytes> out;
        const TcsHandle user = findUser(app, userId);
        if (user == 0) return out;
        for (bool first = true;; first = false) {
            TcsHandle t = 0;
            if ((first ? tcsDatabaseOpenFirstTemplate(user, &t) : tcsDatabaseOpenNextTemplate(user, &t)) != 0) break;
            void* templ = nullptr;
            _tcsSafeHandleFetch(t, TCS_HANDLE_TYPE_DB_TEMPLATE, &templ);
            uint8_t* data = nullptr;
            uint32_t length = 0;
            if (_tcsDatabaseGetTemplateDataSync(static_cast<DssTemplate*>(templ), 1, &data, &length) == 0) {
                out.emplace_back(data, data + length);
            }
            tcsBufferFree(data);
            tcsDatabaseCloseTemplate(t);
        }
        tcsDatabaseCloseUser(user);
        return out;
    }
    // The fingers of a user's templates, from their packed records.
    static std::vector<uint32_t> fingers(TcsHandle app, const Bytes& userId) {
        std::vector<uint32_t> out;
        for (const Bytes& t : storedTemplates(app, userId)) out.push_back(t.size() > 4 ? t[4] : 0xFFFFFFFFu);
        return out;
    }

    // The suites' name for the plugged sensor.
    simusb::SensorId& sim_ = id_;
};
