// Authentication data on a PEK-secured virtual sensor: sealed for the user the sensor last
// identified, opened into a token once the sensor confirms that match, shared under a stored
// user's template; refused for anyone else.
#include "tests/tcs/flows/ex_flows_fixture.h"

#include "tcs/sensorctl/ownership/secure_storage.h"

namespace {

class ExAuth : public ExFlowsStack {
protected:
    // A secured sensor on which alice was just enrolled (the context an identification would leave).
    void startEnrolled() {
        start(true);
        app_ = fileStorage("db.img");
        ASSERT_EQ(enroll(app_, alice_, 1, payload_), TCS_RESULT_OK);
    }

    Bytes seal(const Bytes& userId, const Bytes& payload, const Bytes& data, TcsResult* outResult = nullptr) {
        const SizedBuffer id = sized(userId), p = sized(payload), d = sized(data);
        ExBuffer sealed{};
        const TcsResult result = tcsExEnrollAuthData(sensor_, &id, &p, 1, &d, &sealed);
        if (outResult != nullptr) *outResult = result;
        Bytes out(sealed.data, sealed.data + sealed.length);
        tcsBufferFree(sealed.data);
        return out;
    }

    TcsResult token(const Bytes& userId, const Bytes& payload, const Bytes& sealed, uint32_t kind, const Bytes& key,
                    Bytes* out) {
        const SizedBuffer id = sized(userId), p = sized(payload), s = sized(sealed), k = sized(key);
        ExBuffer token{};
        const TcsResult result = tcsExGetAuthToken(sensor_, &id, &p, &s, kind, key.empty() ? nullptr : &k, &token);
        out->assign(token.data, token.data + token.length);
        tcsBufferFree(token.data);
        return result;
    }

    TcsResult share(const Bytes& userId, const Bytes& payload, const Bytes& sealed, TcsHandle app,
                    const Bytes& storageUser, Bytes* out) {
        const SizedBuffer id = sized(userId), p = sized(payload), s = sized(sealed), su = sized(storageUser);
        ExBuffer shared{};
        const TcsResult result = tcsExShareAuthData(sensor_, &id, &p, &s, app, &su, &shared);
        out->assign(shared.data, shared.data + shared.length);
        tcsBufferFree(shared.data);
        return result;
    }

    Bytes contextValue() {
        uint8_t context[128] = {};
        EXPECT_EQ(scsSensorGetLastIdentificationCtx(sensorRecord()->sensorControlSensor, context, 128), 0u);
        return Bytes(context, context + 32);
    }

    const Bytes alice_ = bytesOf("alice"), payload_ = bytesOf("identify payload"), secret_ = bytesOf("my secret");
    TcsHandle app_ = 0;
};

TEST_F(ExAuth, SealedForTheIdentifiedUserAndOpenedIntoItsToken) {
    startEnrolled();
    TcsResult result = 0xFFFF;
    const Bytes sealed = seal(alice_, payload_, secret_, &result);
    ASSERT_EQ(result, TCS_RESULT_OK);
    ASSERT_GT(sealed.size(), 4u);
    EXPECT_EQ(Bytes(sealed.begin(), sealed.begin() + 4), (Bytes{9, 0, 0, 0}));
    EXPECT_EQ(std::search(sealed.begin(), sealed.end(), secret_.begin(), secret_.end()), sealed.end())
        << "the secret never travels in plain";

    Bytes out;
    EXPECT_EQ(token(alice_, payload_, sealed, 1, {}, &out), TCS_RESULT_OK);
    EXPECT_EQ(out, secret_);
    EXPECT_EQ(token(alice_, payload_, sealed, 3, Bytes(32, 7), &out), TCS_RESULT_OK) << "kind 3 with its key";
    EXPECT_EQ(out, secret_);

    // The context value itself seals as well as the payload does.
    const SizedBuffer id = sized(alice_), data = sized(secret_);
    const Bytes value = contextValue();
    ExBuffer byValue{};
    ASSERT_EQ(tcsExEnrollAuthDataAlt(sensor_, &id, value.data(), 1, &data, &byValue), TCS_RESULT_OK);
    const Bytes sealedByValue(byValue.data, byValue.data + byValue.length);
    tcsBufferFree(byValue.data);
    EXPECT_EQ(token(alice_, payload_, sealedByValue, 1, {}, &out), TCS_RESULT_OK);
    EXPECT_EQ(out, secret_);

    // A sealed block changed anywhere does not open.
    Bytes changed = sealed;
    changed[sealed.size() / 2] ^= 1;
    EXPECT_NE(token(alice_, payload_, changed, 1, {}, &out), TCS_RESULT_OK);
    EXPECT_TRUE(out.empty());
}

// Anything but the sensor's last identification of this user and payload (or value) gives 510.
TEST_F(ExAuth, OtherUsersPayloadsAndValuesGive510) {
    startEnrolled();
    const Bytes sealed = seal(alice_, payload_, secret_);
    ASSERT_FALSE(sealed.empty());
    const Bytes bob = bytesOf("bob"), other = bytesOf("other payload");
    const Bytes value = contextValue();
    Bytes wrongValue = value, wrongLastByte = value;
    wrongValue[0] ^= 1;
    wrongLastByte.back() ^= 1;
    const SizedBuffer data = sized(secret_), a = sized(alice_), b = sized(bob);
    ExBuffer out{};
    Bytes token_;
    struct Case {
        const char* what;
        std::function<TcsResult()> call;
    };
    const Case cases[] = {
        {"seal for another user", [&] { TcsResult r; seal(bob, payload_, secret_, &r); return r; }},
        {"seal with another payload", [&] { TcsResult r; seal(alice_, other, secret_, &r); return r; }},
        {"seal with another value", [&] { return tcsExEnrollAuthDataAlt(sensor_, &a, wrongValue.data(), 1, &data, &out); }},
        {"seal with a value wrong in its last byte",
         [&] { return tcsExEnrollAuthDataAlt(sensor_, &a, wrongLastByte.data(), 1, &data, &out); }},
        {"seal the value for another user", [&] { return tcsExEnrollAuthDataAlt(sensor_, &b, value.data(), 1, &data, &out); }},
        {"token for another user", [&] { return token(bob, payload_, sealed, 1, {}, &token_); }},
        {"token with another payload", [&] { return token(alice_, other, sealed, 1, {}, &token_); }},
        {"share for another user", [&] { return share(bob, payload_, sealed, app_, alice_, &token_); }},
    };
    for (const Case& c : cases) EXPECT_EQ(c.call(), TCS_RESULT_NOT_LAST_IDENTIFIED) << c.what;
    ASSERT_EQ(_tcsSensorSetLastIdentificationCtx(sensorRecord(), nullptr, 0), TCS_RESULT_OK);
    for (const Case& c : cases) EXPECT_EQ(c.call(), TCS_RESULT_NOT_LAST_IDENTIFIED) << c.what << ", no context";
    EXPECT_EQ(out.data, nullptr);
    EXPECT_TRUE(token_.empty());
}

TEST_F(ExAuth, BadArgumentsAndSensorsWithoutPekSecurity) {
    startEnrolled();
    const Bytes sealed = seal(alice_, payload_, secret_);
    const SizedBuffer id = sized(alice_), p = sized(payload_), d = sized(secret_), s = sized(sealed);
    const Bytes four = {9, 0, 0, 0}, shortKey(31, 1);
    const SizedBuffer lengthOnly = sized(four), key31 = sized(shortKey);
    ExBuffer out{};
    struct Case {
        const char* what;
        std::function<TcsResult()> call;
        TcsResult expected;
    };
    const Case cases[] = {
        {"seal: zero sensor", [&] { return tcsExEnrollAuthData(0, &id, &p, 1, &d, &out); }, 14},
        {"seal: no id", [&] { return tcsExEnrollAuthData(sensor_, nullptr, &p, 1, &d, &out); }, 40},
        {"seal: no payload", [&] { return tcsExEnrollAuthData(sensor_, &id, nullptr, 1, &d, &out); }, 40},
        {"seal: no value", [&] { return tcsExEnrollAuthDataAlt(sensor_, &id, nullptr, 1, &d, &out); }, 40},
        {"seal: no data", [&] { return tcsExEnrollAuthData(sensor_, &id, &p, 1, nullptr, &out); }, 40},
        {"seal: no out", [&] { return tcsExEnrollAuthData(sensor_, &id, &p, 1, &d, nullptr); }, 40},
        {"token: zero sensor", [&] { return tcsExGetAuthToken(0, &id, &p, &s, 1, nullptr, &out); }, 14},
        {"token: no payload", [&] { return tcsExGetAuthToken(sensor_, &id, nullptr, &s, 1, nullptr, &out); }, 40},
        {"token: no sealed data", [&] { return tcsExGetAuthToken(sensor_, &id, &p, nullptr, 1, nullptr, &out); }, 40},
        {"token: only a length", [&] { return tcsExGetAuthToken(sensor_, &id, &p, &lengthOnly, 1, nullptr, &out); }, 17},
        {"token: kind 3 without key", [&] { return tcsExGetAuthToken(sensor_, &id, &p, &s, 3, nullptr, &out); }, 17},
        {"token: kind 3 short key", [&] { return tcsExGetAuthToken(sensor_, &id, &p, &s, 3, &key31, &out); }, 17},
        {"share: zero sensor", [&] { return tcsExShareAuthData(0, &id, &p, &s, app_, &id, &out); }, 14},
        {"share: no storage", [&] { return tcsExShareAuthData(sensor_, &id, &p, &s, 0, &id, &out); }, 40},
        {"share: no storage user", [&] { return tcsExShareAuthData(sensor_, &id, &p, &s, app_, nullptr, &out); }, 40},
        {"share: no out", [&] { return tcsExShareAuthData(sensor_, &id, &p, &s, app_, &id, nullptr); }, 40},
        {"raw lines done: no wait record", [&] { return tcsExGetRawScanLinesCB(nullptr, 0, nullptr); }, 40},
    };
    for (const Case& c : cases) EXPECT_EQ(c.call(), c.expected) << c.what;
    EXPECT_EQ(out.data, nullptr);

    // Without PEK security nothing is sealed or opened.
    device()->aesSecured = 0;
    ASSERT_EQ(scsSensorDeterminePEKCapability(sensorRecord()->sensorControlSensor, "APP"), TCS_RESULT_OK);
    EXPECT_EQ(tcsExEnrollAuthData(sensor_, &id, &p, 1, &d, &out), TCS_RESULT_NOT_IMPLEMENTED);
    EXPECT_EQ(tcsExGetAuthToken(sensor_, &id, &p, &s, 1, nullptr, &out), TCS_RESULT_NOT_IMPLEMENTED);
    EXPECT_EQ(tcsExShareAuthData(sensor_, &id, &p, &s, app_, &id, &out), TCS_RESULT_NOT_IMPLEMENTED);
    EXPECT_EQ(out.data, nullptr);
}

// Sharing opens the sealed data with kind 4 under a stored user's template; on an AES-secured
// sensor it first asks the sensor for two scan lines, unless the application is "DuzodarOrodu" (which
// has no PEK security there at all unless the sensor is secured another way too).
TEST_F(ExAuth, ShareOpensUnderAStoredUsersTemplate) {
    startEnrolled();
    const Bytes sealed = seal(alice_, payload_, secret_);
    simusb::clearCommandLog(sim_);
    Bytes out;
    EXPECT_EQ(share(alice_, payload_, sealed, app_, alice_, &out), TCS_RESULT_OK);
    EXPECT_EQ(out, secret_);
    bool rawLines = false;
    for (const Bytes& c : simusb::commandLog(sim_)) rawLines |= c.size() >= 5 && c[0] == 0x02 && c[3] == 2 && c[4] == 0;
    EXPECT_TRUE(rawLines) << "a capture of two lines";

    EXPECT_EQ(share(alice_, payload_, sealed, app_, bytesOf("nobody"), &out), TCS_RESULT_BAD_USERID);
    const TcsHandle other = fileStorage("other.img", "DuzodarOrodu");
    ASSERT_EQ(enroll(other, alice_, 1, payload_), TCS_RESULT_OK);
    simusb::clearCommandLog(sim_);
    EXPECT_EQ(share(alice_, payload_, sealed, other, alice_, &out), TCS_RESULT_NOT_IMPLEMENTED);
    EXPECT_TRUE(out.empty());
    for (const Bytes& c : simusb::commandLog(sim_)) EXPECT_NE(c[0], 0x02) << "no capture";

    // Secured by RSA as well, the sensor keeps PEK security for that application: the share goes
    // on, and still asks for no scan lines.
    device()->rsaSecured = 1;
    const TcsHandle both = fileStorage("both.img", "DuzodarOrodu");
    ASSERT_EQ(enroll(both, alice_, 1, payload_), TCS_RESULT_OK);
    simusb::clearCommandLog(sim_);
    EXPECT_EQ(share(alice_, payload_, sealed, both, alice_, &out), TCS_RESULT_OK);
    EXPECT_EQ(out, secret_);
    for (const Bytes& c : simusb::commandLog(sim_)) EXPECT_NE(c[0], 0x02) << "no capture";
    device()->rsaSecured = 0;
}

}  // namespace
