// Virtual sensor: server side of the secure channel and the secure chip's Diffie-Hellman command.
//
// Written from the channel's description: records {type, 3, 0, u16 big-endian length, fragment},
// SSL 3.0 MAC without the length field, padding bytes of value count - 1, AES-CBC chained across
// records per direction, sender bytes "TNLC" (host) and "RVRS" (sensor), 7-byte session ids,
// Finished messages kept out of the running transcript, and on resume the sensor's Finished first.
#include "sim/usb/secure_channel.h"

#include "sim/usb/fields.h"
#include "sim/usb/rsa_sign.h"
#include "sim/usb/sensor_keys.h"
#include "sim/usb/sim_crypto.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace simusb {
namespace {

using crypto::Bytes;

constexpr uint8_t kChangeCipherSpec = 20, kAlert = 21, kHandshake = 22, kApplicationData = 23;
constexpr uint16_t kStatusDenied = 0x0404;
const uint8_t kClientSender[4] = {'T', 'N', 'L', 'C'};
const uint8_t kServerSender[4] = {'R', 'V', 'R', 'S'};

struct Suite {
    uint16_t id;
    uint8_t keyLength;
    bool rsa;
};
constexpr Suite kSuites[] = {{0x32, 32, false}, {0x31, 24, false}, {0x30, 16, false},
                             {0x44, 32, true},  {0x43, 24, true},  {0x42, 16, true}};

const Suite* findSuite(uint16_t id) {
    for (const Suite& s : kSuites) {
        if (s.id == id) return &s;
    }
    return nullptr;
}

enum Stage : uint8_t { kIdle = 0, kAwaitFinalFlight = 1, kEstablished = 2, kAwaitResumedFinished = 3 };

// The session as the firmware keeps it in transient state "ssl.session" (a plain byte image).
struct Session {
    uint8_t stage = kIdle;
    uint8_t readActive = 0, writeActive = 0;
    uint16_t suite = 0;
    uint8_t sessionId[7] = {};
    uint8_t clientRandom[32] = {}, serverRandom[32] = {};
    uint8_t master[48] = {};
    uint8_t keyBlock[136] = {};
    uint8_t readSequence[8] = {}, writeSequence[8] = {};
    uint8_t hostModulus[256] = {};  // big-endian
    uint8_t haveHostCertificate = 0;

    uint32_t keyLength() const { return findSuite(suite) != nullptr ? findSuite(suite)->keyLength : 0; }
    uint8_t* clientMac() { return keyBlock; }
    uint8_t* serverMac() { return keyBlock + 20; }
    uint8_t* clientKey() { return keyBlock + 40; }
    uint8_t* serverKey() { return keyBlock + 40 + keyLength(); }
    uint8_t* clientIv() { return keyBlock + 40 + 2 * keyLength(); }
    uint8_t* serverIv() { return keyBlock + 56 + 2 * keyLength(); }
};

Session load(Firmware& fw) {
    Session s;
    const Bytes& raw = fw.transient("ssl.session");
    if (raw.size() == sizeof s) memcpy(&s, raw.data(), sizeof s);
    return s;
}

void save(Firmware& fw, const Session& s) {
    Bytes& raw = fw.transient("ssl.session");
    raw.assign(reinterpret_cast<const uint8_t*>(&s), reinterpret_cast<const uint8_t*>(&s) + sizeof s);
}

void endSession(Firmware& fw) {
    fw.transient("ssl.session").clear();
    fw.transient("ssl.transcript").clear();
}

void increment(uint8_t sequence[8]) {
    for (int i = 7; i >= 0 && ++sequence[i] == 0; --i) {
    }
}

std::array<uint8_t, 20> mac(const uint8_t* secret, uint8_t sequence[8], uint8_t type, std::span<const uint8_t> data) {
    Bytes pad1(40, 0x36), pad2(40, 0x5C);
    auto inner = crypto::sha1(crypto::concat({{secret, 20}, pad1, {sequence, 8}, {&type, 1}, data}));
    increment(sequence);
    return crypto::sha1(crypto::concat({{secret, 20}, pad2, inner}));
}

// One record; protected with the sensor's write keys once its write side is active.
Bytes record(Session& s, uint8_t type, std::span<const uint8_t> content) {
    Bytes fragment(content.begin(), content.end());
    if (s.writeActive) {
        auto m = mac(s.serverMac(), s.writeSequence, type, content);
        fragment.insert(fragment.end(), m.begin(), m.end());
        size_t pad = 16 - fragment.size() % 16;
        fragment.insert(fragment.end(), pad, uint8_t(pad - 1));
        crypto::aesCbc({s.serverKey(), s.keyLength()}, s.serverIv(), fragment, true);
    }
    Bytes out(5 + fragment.size());
    out[0] = type;
    out[1] = 3;
    out[2] = 0;
    out[3] = uint8_t(fragment.size() >> 8);
    out[4] = uint8_t(fragment.size());
    std::copy(fragment.begin(), fragment.end(), out.begin() + 5);
    return out;
}

struct Record {
    uint8_t type;
    Bytes content;
};

// Splits and opens the host's records; false on anything malformed or a MAC that does not match.
bool openRecords(Session& s, std::span<const uint8_t> data, std::vector<Record>& out, bool& badMac) {
    badMac = false;
    size_t pos = 0;
    while (pos < data.size()) {
        if (data.size() - pos < 5 || data[pos + 1] != 3 || data[pos + 2] != 0) return false;
        size_t length = size_t(data[pos + 3]) << 8 | data[pos + 4];
        if (length == 0 || length > data.size() - pos - 5) return false;
        Record r{data[pos], Bytes(data.begin() + pos + 5, data.begin() + pos + 5 + length)};
        pos += 5 + length;
        if (s.readActive) {
            if (length % 16 != 0 || length < 32) return false;
            crypto::aesCbc({s.clientKey(), s.keyLength()}, s.clientIv(), r.content, false);
            size_t pad = r.content.back();
            if (pad > 15 || pad + 21 > r.content.size()) return false;
            size_t contentLength = r.content.size() - 21 - pad;
            for (size_t i = contentLength + 20; i < r.content.size(); ++i) {
                if (r.content[i] != pad) return false;
            }
            auto expected = mac(s.clientMac(), s.readSequence, r.type, {r.content.data(), contentLength});
            if (!std::equal(expected.begin(), expected.end(), r.content.begin() + long(contentLength))) {
                badMac = true;
                return false;
            }
            r.content.resize(contentLength);
        }
        if (r.type == kChangeCipherSpec) {
            if (r.content.size() != 1 || r.content[0] != 1) return false;
            s.readActive = 1;
            memset(s.readSequence, 0, 8);
        }
        out.push_back(std::move(r));
    }
    return true;
}

// SSL 3.0 handshake hash over the transcript, with or without sender bytes.
Bytes handshakeHash(const Session& s, const Bytes& transcript, const uint8_t* sender) {
    Bytes senderBytes = sender != nullptr ? Bytes(sender, sender + 4) : Bytes();
    auto md5Inner = crypto::md5(crypto::concat({transcript, senderBytes, s.master, Bytes(48, 0x36)}));
    auto md5 = crypto::md5(crypto::concat({s.master, Bytes(48, 0x5C), md5Inner}));
    auto shaInner = crypto::sha1(crypto::concat({transcript, senderBytes, s.master, Bytes(40, 0x36)}));
    auto sha = crypto::sha1(crypto::concat({s.master, Bytes(40, 0x5C), shaInner}));
    return crypto::concat({md5, sha});
}

void deriveMaster(Session& s, std::span<const uint8_t> preMaster) {
    for (int i = 0; i < 3; ++i) {
        Bytes label(size_t(i + 1), uint8_t('A' + i));
        auto sha = crypto::sha1(crypto::concat({label, preMaster, s.clientRandom, s.serverRandom}));
        auto md5 = crypto::md5(crypto::concat({preMaster, sha}));
        memcpy(s.master + 16 * i, md5.data(), 16);
    }
}

void deriveKeys(Session& s) {
    const size_t length = 2 * s.keyLength() + 72;
    Bytes block;
    for (int i = 1; block.size() < length; ++i) {
        Bytes label(size_t(i), uint8_t(0x40 + i));
        auto sha = crypto::sha1(crypto::concat({label, s.master, s.serverRandom, s.clientRandom}));
        auto md5 = crypto::md5(crypto::concat({s.master, sha}));
        block.insert(block.end(), md5.begin(), md5.end());
    }
    memset(s.keyBlock, 0, sizeof s.keyBlock);
    memcpy(s.keyBlock, block.data(), length);
}

Bytes message(uint8_t type, std::span<const uint8_t> body) {
    Bytes m(4 + body.size());
    m[0] = type;
    m[1] = uint8_t(body.size() >> 16);
    m[2] = uint8_t(body.size() >> 8);
    m[3] = uint8_t(body.size());
    std::copy(body.begin(), body.end(), m.begin() + 4);
    return m;
}

void replyRecords(Reply& reply, Bytes records) {
    reply.whole = true;
    reply.payload = std::move(records);
}

void failHandshake(Firmware& fw, Session& s, Reply& reply, uint8_t description) {
    uint8_t alert[2] = {2, description};
    replyRecords(reply, record(s, kAlert, alert));
    endSession(fw);
}

// RSA with the sensor's private key: PKCS#1 v1.5 type 2, big-endian ciphertext.
bool rsaDecrypt(std::span<const uint8_t> cipher, Bytes& plain) {
    Bytes m = crypto::modExp(cipher, keys::kSensorPrivateExponent, keys::kSensorModulus);
    if (m[0] != 0 || m[1] != 2) return false;
    auto zero = std::find(m.begin() + 2, m.end(), 0);
    if (zero == m.end() || zero - m.begin() < 10) return false;
    plain.assign(zero + 1, m.end());
    return true;
}

// Checks a PKCS#1 v1.5 type-1 signature over raw data (no DigestInfo) under the host's key.
bool rsaVerifyRaw(const uint8_t* modulus, std::span<const uint8_t> signature, std::span<const uint8_t> data) {
    const uint8_t exponent[3] = {1, 0, 1};
    Bytes m = crypto::modExp(signature, exponent, {modulus, 256});
    Bytes expected(256, 0xFF);
    expected[0] = 0;
    expected[1] = 1;
    expected[256 - data.size() - 1] = 0;
    std::copy(data.begin(), data.end(), expected.end() - long(data.size()));
    return m == expected;
}

bool suiteAllowed(Firmware& fw, const Suite& suite) {
    return suite.rsa ? !fw.stored("ssl.rsa").empty() : fw.stored("sharedSecret1").size() == 32;
}

bool clientHello(Firmware& fw, Session& s, const std::vector<Record>& records, Reply& reply) {
    if (records.size() != 1 || records[0].type != kHandshake) return failHandshake(fw, s, reply, 10), false;
    const Bytes& m = records[0].content;
    if (m.size() < 55 || m[0] != 1 || m[4] != 3 || m[5] != 0 || m[38] != 7) {
        return failHandshake(fw, s, reply, 47), false;
    }
    memcpy(s.clientRandom, &m[6], 32);
    const size_t suitesLength = size_t(m[46]) << 8 | m[47];
    if (48 + suitesLength + 1 > m.size()) return failHandshake(fw, s, reply, 47), false;
    const Bytes& wanted = fw.stored("ssl.suite");
    const Suite* chosen = nullptr;
    for (size_t i = 0; i + 1 < suitesLength; i += 2) {
        const Suite* suite = findSuite(uint16_t(m[48 + i] << 8 | m[49 + i]));
        if (suite == nullptr || !suiteAllowed(fw, *suite)) continue;
        if (wanted.size() == 2 && suite->id != (wanted[0] << 8 | wanted[1])) continue;
        chosen = suite;
        break;
    }
    if (chosen == nullptr) return failHandshake(fw, s, reply, 40), false;
    const size_t helloLength = 4 + size_t(m[1] << 16 | m[2] << 8 | m[3]);
    if (helloLength > m.size()) return failHandshake(fw, s, reply, 47), false;
    Bytes transcript(m.begin(), m.begin() + long(helloLength));
    crypto::randomBytes(s.serverRandom);

    // Resumption: the host offers the id of a session this sensor still remembers.
    const Bytes& remembered = fw.stored("ssl.resume");  // id (7), suite (2), master (48)
    const bool resume = remembered.size() == 57 && std::equal(remembered.begin(), remembered.begin() + 7, &m[39]) &&
                        (remembered[7] << 8 | remembered[8]) == chosen->id;
    if (resume) {
        memcpy(s.sessionId, remembered.data(), 7);
        memcpy(s.master, remembered.data() + 9, 48);
    } else {
        crypto::randomBytes(s.sessionId);
    }
    s.suite = chosen->id;
    Bytes helloBody = {3, 0};
    helloBody.insert(helloBody.end(), s.serverRandom, s.serverRandom + 32);
    helloBody.push_back(7);
    helloBody.insert(helloBody.end(), s.sessionId, s.sessionId + 7);
    helloBody.push_back(uint8_t(chosen->id >> 8));
    helloBody.push_back(uint8_t(chosen->id));
    helloBody.push_back(0);
    Bytes flight = message(2, helloBody);
    if (resume) {
        transcript.insert(transcript.end(), flight.begin(), flight.end());
        deriveKeys(s);
        Bytes out = record(s, kHandshake, flight);
        const uint8_t one = 1;
        Bytes ccs = record(s, kChangeCipherSpec, {&one, 1});
        s.writeActive = 1;
        memset(s.writeSequence, 0, 8);
        Bytes finished = record(s, kHandshake, message(20, handshakeHash(s, transcript, kServerSender)));
        out.insert(out.end(), ccs.begin(), ccs.end());
        out.insert(out.end(), finished.begin(), finished.end());
        s.stage = kAwaitResumedFinished;
        fw.transient("ssl.transcript") = transcript;
        replyRecords(reply, out);
        return true;
    }
    if (chosen->rsa) {
        Bytes request = message(13, Bytes{1, 1, 0, 0});
        flight.insert(flight.end(), request.begin(), request.end());
    }
    Bytes done = message(14, {});
    flight.insert(flight.end(), done.begin(), done.end());
    transcript.insert(transcript.end(), flight.begin(), flight.end());
    fw.transient("ssl.transcript") = transcript;
    s.stage = kAwaitFinalFlight;
    replyRecords(reply, record(s, kHandshake, flight));
    return true;
}

// The host's key exchange (and in RSA mode its certificate and proof), appended to the transcript.
bool keyExchange(Firmware& fw, Session& s, const Bytes& messages, Reply& reply) {
    Bytes& transcript = fw.transient("ssl.transcript");
    const Suite* suite = findSuite(s.suite);
    bool haveKeys = false;
    for (size_t pos = 0; pos < messages.size();) {
        if (messages.size() - pos < 4) return failHandshake(fw, s, reply, 47), false;
        const uint8_t type = messages[pos];
        const size_t length = size_t(messages[pos + 1]) << 16 | messages[pos + 2] << 8 | messages[pos + 3];
        if (pos + 4 + length > messages.size()) return failHandshake(fw, s, reply, 47), false;
        std::span<const uint8_t> body(&messages[pos + 4], length);
        if (type == 11 && suite->rsa && length == 270) {
            std::reverse_copy(body.begin() + 14, body.end(), s.hostModulus);  // sent least significant first
            s.haveHostCertificate = 1;
        } else if (type == 16 && !haveKeys) {
            Bytes preMaster;
            if (suite->rsa) {
                if (length != 256 || !rsaDecrypt(body, preMaster)) return failHandshake(fw, s, reply, 47), false;
            } else {
                if (length != 48) return failHandshake(fw, s, reply, 47), false;
                preMaster.assign(body.begin(), body.end());
                uint8_t iv[16] = {};
                const Bytes& secret = fw.stored("sharedSecret1");
                crypto::aesCbc({secret.data(), suite->keyLength}, iv, preMaster, false);
            }
            if (preMaster.size() != 48 || preMaster[0] != 3 || preMaster[1] != 0) {
                return failHandshake(fw, s, reply, 47), false;
            }
            deriveMaster(s, preMaster);
            haveKeys = true;
        } else if (type == 15 && suite->rsa) {
            if (!haveKeys || !s.haveHostCertificate || length != 256 ||
                !rsaVerifyRaw(s.hostModulus, body, handshakeHash(s, transcript, nullptr))) {
                return failHandshake(fw, s, reply, 40), false;
            }
        } else {
            return failHandshake(fw, s, reply, 10), false;
        }
        transcript.insert(transcript.end(), messages.begin() + long(pos), messages.begin() + long(pos + 4 + length));
        pos += 4 + length;
    }
    // The sensor asks for a certificate in RSA mode; a host that leaves it out is refused.
    if (!haveKeys || (suite->rsa && !s.haveHostCertificate)) return failHandshake(fw, s, reply, 40), false;
    return true;
}

// The final flight: key exchange (unprotected), the ChangeCipherSpec message, then Finished under the keys
// that the key exchange has just produced, so it is opened record by record.
// A sensor (or anything on the link) that answers wrongly on purpose: stored "ssl.misbehave".
std::string misbehaviour(Firmware& fw) {
    const Bytes& mode = fw.stored("ssl.misbehave");
    return std::string(mode.begin(), mode.end());
}

// The final flight's reply as a misbehaving sensor gives it in place of `out`: a bare change cipher
// spec without Finished, a plain alert {1, 50} in the middle of the handshake, or its reply to the
// ClientHello again, verbatim. ("wrong-finished" changes the Finished value where it is made.)
Bytes misbehavingFinalReply(Firmware& fw, Bytes out) {
    const std::string mode = misbehaviour(fw);
    if (mode == "skip-finished") return {kChangeCipherSpec, 3, 0, 0, 1, 1};
    if (mode == "alert") return {kAlert, 3, 0, 0, 2, 1, 50};
    if (mode == "replay-flight") return fw.transient("ssl.firstFlight");
    return out;
}

bool handleFinalFlight(Firmware& fw, Session& s, std::span<const uint8_t> data, Reply& reply) {
    if (data.size() < 5) return failHandshake(fw, s, reply, 47), false;
    const size_t firstLength = size_t(data[3]) << 8 | data[4];
    if (5 + firstLength > data.size()) return failHandshake(fw, s, reply, 47), false;
    std::vector<Record> first;
    bool badMac = false;
    if (!openRecords(s, data.first(5 + firstLength), first, badMac) || first[0].type != kHandshake) {
        return failHandshake(fw, s, reply, 47), false;
    }
    if (!keyExchange(fw, s, first[0].content, reply)) return false;
    deriveKeys(s);
    std::vector<Record> rest;
    if (!openRecords(s, data.subspan(5 + firstLength), rest, badMac) || rest.size() != 2 ||
        rest[0].type != kChangeCipherSpec || rest[1].type != kHandshake) {
        return failHandshake(fw, s, reply, badMac ? 20 : 10), false;
    }
    const Bytes& transcript = fw.transient("ssl.transcript");
    if (rest[1].content != message(20, handshakeHash(s, transcript, kClientSender))) {
        return failHandshake(fw, s, reply, 47), false;
    }
    const uint8_t one = 1;
    Bytes out = record(s, kChangeCipherSpec, {&one, 1});
    s.writeActive = 1;
    memset(s.writeSequence, 0, 8);
    Bytes finishedMessage = message(20, handshakeHash(s, transcript, kServerSender));
    if (misbehaviour(fw) == "wrong-finished") finishedMessage.back() ^= 0x01;
    Bytes finished = record(s, kHandshake, finishedMessage);
    out.insert(out.end(), finished.begin(), finished.end());
    // The recovery key: after a suspend the host returns to this session with one message under it.
    Bytes recovery(64);
    for (int i = 0; i < 32; ++i) recovery[i] = s.serverRandom[i] ^ s.clientRandom[i];
    crypto::randomBytes({recovery.data() + 32, 32});
    Bytes key(recovery.begin() + 32, recovery.end());
    Bytes keyRecord = record(s, kApplicationData, key);
    out.insert(out.end(), keyRecord.begin(), keyRecord.end());
    fw.stored("ssl.recovery") = recovery;
    Bytes remembered(s.sessionId, s.sessionId + 7);
    remembered.push_back(uint8_t(s.suite >> 8));
    remembered.push_back(uint8_t(s.suite));
    remembered.insert(remembered.end(), s.master, s.master + 48);
    fw.stored("ssl.resume") = remembered;
    fw.storedChanged();
    s.stage = kEstablished;
    replyRecords(reply, misbehavingFinalReply(fw, std::move(out)));
    return true;
}

bool resumedFinished(Firmware& fw, Session& s, std::span<const uint8_t> data, Reply& reply) {
    std::vector<Record> records;
    bool badMac = false;
    if (!openRecords(s, data, records, badMac) || records.size() != 2 || records[0].type != kChangeCipherSpec ||
        records[1].type != kHandshake) {
        return failHandshake(fw, s, reply, badMac ? 20 : 10), false;
    }
    if (records[1].content != message(20, handshakeHash(s, fw.transient("ssl.transcript"), kClientSender))) {
        return failHandshake(fw, s, reply, 47), false;
    }
    s.stage = kEstablished;
    const uint8_t acknowledge[2] = {1, 50};
    replyRecords(reply, record(s, kAlert, acknowledge));
    return true;
}

// Command 0x11: {0x11, u16 little-endian length, records}.
void handshakeFlight(Firmware& fw, std::span<const uint8_t> request, Reply& reply) {
    const size_t length = getU16(request, 1);
    if (length + 3 != request.size()) {
        reply.status = kStatusBadParameter;
        return;
    }
    std::span<const uint8_t> data = request.subspan(3);
    Session s = load(fw);
    bool ok;
    if (s.stage == kEstablished || s.stage == kIdle) {
        // A new handshake replaces whatever session there was.
        endSession(fw);
        s = Session{};
        std::vector<Record> records;
        bool badMac = false;
        ok = openRecords(s, data, records, badMac) ? clientHello(fw, s, records, reply)
                                                   : (failHandshake(fw, s, reply, 47), false);
        if (ok) fw.transient("ssl.firstFlight") = reply.payload;
    } else if (s.stage == kAwaitFinalFlight) {
        ok = handleFinalFlight(fw, s, data, reply);
    } else {
        ok = resumedFinished(fw, s, data, reply);
    }
    if (ok) save(fw, s);
}

// Command 0x53: {0x53, recovery id (32), IV (16), AES-256-CBC of the session (208)}.
void recover(Firmware& fw, std::span<const uint8_t> request, Reply& reply) {
    const Bytes& recovery = fw.stored("ssl.recovery");
    if (request.size() != 257 || recovery.size() != 64 || !std::equal(recovery.begin(), recovery.begin() + 32,
                                                                      request.begin() + 1)) {
        reply.status = kStatusDenied;
        return;
    }
    Bytes plain(request.begin() + 49, request.end());
    uint8_t iv[16];
    memcpy(iv, &request[33], 16);
    crypto::aesCbc({recovery.data() + 32, 32}, iv, plain, false);
    Session s;
    memcpy(s.master, &plain[0], 48);
    memcpy(s.writeSequence, &plain[48], 8);  // the host's read side is the sensor's write side
    memcpy(s.readSequence, &plain[56], 8);
    memcpy(s.keyBlock, &plain[64], 136);
    s.suite = uint16_t(plain[200] | plain[201] << 8);
    if (findSuite(s.suite) == nullptr) {
        reply.status = kStatusDenied;
        return;
    }
    s.readActive = s.writeActive = 1;
    s.stage = kEstablished;
    fw.transient("ssl.transcript").clear();
    save(fw, s);
}

// Command 0x28: {0x28, g (18), A (18), p (18) [, c (18)]}, all big-endian; reply B (18). The ROM of
// firmware 4.40 and 4.60 lacks the exchange: it comes with the security patch (id bit 0x8000), and
// without it loaded the command is unknown.
void diffieHellman(Firmware& fw, std::span<const uint8_t> request, Reply& reply) {
    const uint8_t versionCommand[1] = {0x01};
    const Bytes version = fw.handle(versionCommand).payload;
    const Bytes& patch = fw.transient("patch");
    const bool patched = patch.size() >= 4 && (getU32(patch, 0) & 0x8000) != 0;
    if (version.size() >= 10 && version[8] == 4 && (version[9] == 40 || version[9] == 60) && !patched) {
        reply.status = kStatusBadCommand;
        return;
    }
    if (request.size() != 55 && request.size() != 73) {
        reply.status = kStatusBadParameter;
        return;
    }
    std::span<const uint8_t> g = request.subspan(1, 18), a = request.subspan(19, 18), p = request.subspan(37, 18);
    if ((p.back() & 1) == 0) {
        reply.status = kStatusBadParameter;
        return;
    }
    Bytes y(18, 0);
    crypto::randomBytes({y.data() + 2, 16});
    reply.payload = crypto::modExp(g, y, p);
    Bytes k = crypto::modExp(a, y, p);
    // Session key: the low 16 bytes; both counters start with K's byte 1 in their last byte.
    Bytes& state = fw.transient("chip.session");
    state.assign(k.begin() + 2, k.end());
    state.push_back(k[1]);
}

// Command 0x29: {u16 256, u32 65537, certificate (modulus, least significant byte first), the maker's
// signature over it (most significant byte first)}, signed with the maker key of this firmware.
void getCertificate(Firmware& fw, std::span<const uint8_t>, Reply& reply) {
    if (fw.stored("ssl.rsa").empty()) {
        reply.status = kStatusBadCommand;
        return;
    }
    const uint8_t versionCommand[1] = {0x01};
    Reply version = fw.handle(versionCommand);
    const Bytes& v = version.payload;
    Bytes signature = v.size() >= 24 ? sensorCertificateSignature(v[8], v[9], (v[23] & 0x20) ? 1 : 0) : Bytes();
    if (signature.empty()) {
        reply.status = kStatusDenied;
        return;
    }
    reply.payload.assign(518, 0);
    putU16(reply.payload, 0, 256);
    putU32(reply.payload, 2, 65537);
    auto certificate = sensorCertificate();
    std::copy(certificate.begin(), certificate.end(), reply.payload.begin() + 6);
    std::copy(signature.begin(), signature.end(), reply.payload.begin() + 262);
}

bool isRecord(std::span<const uint8_t> request) {
    return request.size() >= 5 && request[0] >= kChangeCipherSpec && request[0] <= kApplicationData &&
           request[1] == 3 && request[2] == 0;
}

thread_local bool tInsideSession = false;

const CommandEntry kCommands[] = {
    {0x11, 3, handshakeFlight},
    {0x28, 55, diffieHellman},
    {0x29, 1, getCertificate},
    {0x53, 1, recover},
};

}  // namespace

const CommandModule kSecureChannelModule = {"secure channel", kCommands};

bool secureChannelEstablished(Firmware& fw) { return load(fw).stage == kEstablished; }

bool secureChannelIntercept(Firmware& fw, std::span<const uint8_t> request, Reply& reply) {
    if (tInsideSession || !isRecord(request)) return false;
    Session s = load(fw);
    if (s.stage != kEstablished) return false;
    std::vector<Record> records;
    bool badMac = false;
    reply = Reply{};
    if (!openRecords(s, request, records, badMac) || records.size() != 1) {
        // A record that fails its check ends the session; the answer is a fatal alert.
        const uint8_t alert[2] = {2, uint8_t(badMac ? 20 : 47)};
        replyRecords(reply, record(s, kAlert, alert));
        endSession(fw);
        return true;
    }
    const Record& r = records[0];
    if (r.type == kAlert) {
        // Close notify (or any alert): the session is over; later commands come plain.
        endSession(fw);
        return true;
    }
    if (r.type != kApplicationData || r.content.empty()) {
        const uint8_t alert[2] = {2, 10};
        replyRecords(reply, record(s, kAlert, alert));
        endSession(fw);
        return true;
    }
    fw.sessionLog().push_back(r.content);
    tInsideSession = true;
    Reply inner = fw.handle(r.content);
    tInsideSession = false;
    Bytes content;
    if (!inner.whole) content = {uint8_t(inner.status), uint8_t(inner.status >> 8)};
    content.insert(content.end(), inner.payload.begin(), inner.payload.end());
    reply.delayMs = inner.delayMs;
    replyRecords(reply, record(s, kApplicationData, content));
    // "replay-record": every reply after the first is the one before it again, verbatim.
    Bytes& last = fw.transient("ssl.lastReply");
    if (misbehaviour(fw) == "replay-record" && !last.empty()) std::swap(reply.payload, last);
    else last = reply.payload;
    save(fw, s);
    return true;
}

std::array<uint8_t, 256> sensorCertificate() {
    std::array<uint8_t, 256> out;
    std::reverse_copy(keys::kSensorModulus, keys::kSensorModulus + 256, out.begin());
    return out;
}

std::vector<uint8_t> sensorCertificateSignature(uint8_t major, uint8_t minor, uint8_t flag) {
    for (const keys::MakerKey& key : keys::kMakerKeys) {
        if (key.major != major || key.minor != minor || key.flag != flag) continue;
        auto certificate = sensorCertificate();
        auto digest = crypto::sha256(certificate);
        return rsaSignSha256(digest, key.privateExponent, key.modulus);
    }
    return {};
}

std::vector<uint8_t> secureChipSessionKey(Firmware& fw) {
    const Bytes& state = fw.transient("chip.session");
    return state.size() == 17 ? Bytes(state.begin(), state.begin() + 16) : Bytes();
}

}  // namespace simusb
