// Secure channel context: the SSL-3.0-shaped session with a secured sensor (cipher suites, record
// layer, handshake messages and key derivation). The host is always the client.
#pragma once

#include "platform/crypto/crypto.h"
#include "tcs/result.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Result codes of the secure channel.
enum : TcsResult {
    SCS_SSL_HANDSHAKE_FAILED = 383,
    SCS_SSL_NO_SESSION = 384,
    SCS_SSL_ALERT_RECEIVED = 385,
    SCS_SSL_UNEXPECTED_MESSAGE = 386,
    SCS_SSL_BAD_MAC = 387,
    SCS_SSL_BAD_RECORD = 388,
    SCS_SSL_SESSION_UNUSABLE = 390,
};

enum : uint8_t {
    SCS_SSL_CHANGE_CIPHER_SPEC = 20,
    SCS_SSL_ALERT = 21,
    SCS_SSL_HANDSHAKE = 22,
    SCS_SSL_APPLICATION_DATA = 23,
};

// Alert descriptions the channel sends.
enum : uint8_t {
    SCS_SSL_ALERT_CLOSE_NOTIFY = 0,
    SCS_SSL_ALERT_UNEXPECTED_MESSAGE = 10,
    SCS_SSL_ALERT_BAD_RECORD_MAC = 20,
    SCS_SSL_ALERT_HANDSHAKE_FAILURE = 40,
    SCS_SSL_ALERT_UNSUPPORTED_CERTIFICATE = 43,
    SCS_SSL_ALERT_ILLEGAL_PARAMETER = 47,
    SCS_SSL_ALERT_NONE = 0xFF,  // a failure that answers with no alert
};

// Context flags.
enum : uint32_t {
    SCS_SSL_FLAG_READ_ACTIVE = 0x1,
    SCS_SSL_FLAG_WRITE_ACTIVE = 0x2,
    SCS_SSL_FLAG_RESUMED = 0x4,
    SCS_SSL_FLAG_UNUSABLE = 0x8,
    SCS_SSL_FLAG_SEND_CERTIFICATE = 0x80,
    SCS_SSL_FLAG_EXPECT_RECOVERY_KEY = 0x100,
    SCS_SSL_FLAG_RECOVERY_KEY_HELD = 0x200,
};

// Handshake states.
enum : uint8_t {
    SCS_SSL_STATE_RECOVER = 0,
    SCS_SSL_STATE_SENSOR_CERTIFICATE = 1,
    SCS_SSL_STATE_HOST_CERTIFICATE = 2,
    SCS_SSL_STATE_SHARED_SECRET = 3,
    SCS_SSL_STATE_HELLO = 4,
    SCS_SSL_STATE_FINAL_FLIGHT = 5,
    SCS_SSL_STATE_SEND_ALERT = 6,
    SCS_SSL_STATE_FAILED = 7,
    SCS_SSL_STATE_ESTABLISHED = 8,
};

// Handshake message types; 255 as the next expected message means the handshake is complete.
enum : uint32_t {
    SCS_SSL_MSG_CLIENT_HELLO = 1,
    SCS_SSL_MSG_SERVER_HELLO = 2,
    SCS_SSL_MSG_CERTIFICATE = 11,
    SCS_SSL_MSG_CERTIFICATE_REQUEST = 13,
    SCS_SSL_MSG_SERVER_HELLO_DONE = 14,
    SCS_SSL_MSG_CERTIFICATE_VERIFY = 15,
    SCS_SSL_MSG_CLIENT_KEY_EXCHANGE = 16,
    SCS_SSL_MSG_FINISHED = 20,
    SCS_SSL_HANDSHAKE_COMPLETE = 255,
};

#define SCS_SSL_SESSION_ID_SIZE 7u
#define SCS_SSL_RANDOM_SIZE 32u
#define SCS_SSL_MASTER_SIZE 48u
#define SCS_SSL_KEY_BLOCK_SIZE 136u
#define SCS_SSL_MAC_SIZE 20u
#define SCS_SSL_HASH_SIZE 36u
#define SCS_SSL_RECORD_OVERHEAD 41u  // 5 header, 20 MAC, at most 16 padding
#define SCS_SSL_MAX_CONTENT 16384u
#define SCS_SSL_MAX_FRAGMENT 18432u
#define SCS_SSL_OUTPUT_SIZE (3u + 893u)
#define SCS_SSL_RECOVERY_MESSAGE_SIZE 257u
#define SCS_SSL_HANDSHAKE_REPLY_SIZE 256u
#define SCS_SSL_FLIGHT_COMMAND 0x11u
#define SCS_SSL_RECOVERY_COMMAND 0x53u

typedef struct ScsCipherSpec {
    uint16_t id;
    uint8_t keyLength;
} ScsCipherSpec;

// {256, 65537, modulus least significant byte first}.
typedef struct ScsSSLCertificate {
    uint32_t modulusLength;
    uint32_t exponent;
    uint8_t modulus[256];
} ScsSSLCertificate;

// Signs a hash with the host's private key (start option 4): sensor id, its length, hash, hash
// length, hash id, out signature (least significant byte first), in/out length.
typedef TcsResult (*ScsSignCallback)(const uint8_t* sensorId, uint32_t idLength, const uint8_t* hash,
                                     uint32_t hashLength, uint32_t hashId, uint8_t* out, uint32_t* outLength);
// Returns the sensor's public modulus (start option 5): sensor id, its length, out modulus, length.
typedef TcsResult (*ScsPublicKeyCallback)(const uint8_t* sensorId, uint32_t idLength, uint8_t* out,
                                          uint32_t length);

typedef struct ScsSSLContext {
    uint8_t* sessionId;  // 7 bytes; kept across re-initialisation so the next handshake can resume
    uint8_t masterSecret[SCS_SSL_MASTER_SIZE];
    uint8_t keyBlock[SCS_SSL_KEY_BLOCK_SIZE];
    uint8_t* clientRandom;
    uint8_t* serverRandom;
    uint8_t writeSequence[8];  // big-endian counters
    uint8_t readSequence[8];
    const ScsCipherSpec* cipherSpec;
    uint32_t nextMessage;
    ScsSSLCertificate* sensorCertificate;
    ScsSSLCertificate* hostCertificate;
    DigestContext* md5;
    DigestContext* sha1;
    uint32_t flags;
    uint32_t flightLength;
    uint8_t* sharedSecret;  // 32 bytes, shared-secret mode only, freed after the server's first flight
    uint8_t output[SCS_SSL_OUTPUT_SIZE];
    uint8_t* appRecord;  // the application-data record under construction, handed to the caller
    uint32_t rsaMode;
    uint32_t closeAlertSent;
    uint8_t receivedAlert[2];
    uint8_t sentAlert[2];
    uint8_t state;
    uint32_t requestPending;
    uint8_t recoveryKey[32];
    uint8_t recoveryId[32];
    CryptoKeyObject* hostPrivateKey;
    uint32_t hostCertificateLength;
    ScsSignCallback signCallback;
    ScsPublicKeyCallback publicKeyCallback;
    uint8_t sensorId[6];
} ScsSSLContext;

// --- Cipher suites and record layer ---------------------------------------------------------------
extern const ScsCipherSpec supportedCiphers[7];

// First row with that id (0 gives the null suite); NULL for an id not in the table.
const ScsCipherSpec* scsSSLCipherSpecFind(uint16_t id);
void scsSSLWriteCipherSuiteActivate(ScsSSLContext* context);
void scsSSLReadCipherSuiteActivate(ScsSSLContext* context);
// SSL 3.0 MAC without the length field; increments the 8-byte big-endian sequence number.
TcsResult scsSSLMacSha(const uint8_t* secret, uint8_t sequence[8], uint8_t type, const uint8_t* data,
                       uint32_t length, uint8_t out[SCS_SSL_MAC_SIZE]);
// AES-CBC; afterwards iv holds the last ciphertext block so that records chain.
TcsResult scsSSLAesEncDec(const uint8_t* in, uint8_t* out, uint32_t length, uint8_t iv[16], const uint8_t* key,
                          uint32_t keyLength, uint32_t encrypt);
// Packs the content standing at byte 5 of buffer. length is the content length for type 22 and the
// content length plus 5 for every other type. Adds the record's size to the flight length.
TcsResult scsSSLRecordPack(ScsSSLContext* context, uint8_t* buffer, uint8_t type, uint32_t length);
TcsResult scsSSLAlertWrite(ScsSSLContext* context, uint8_t* buffer, uint8_t description);
TcsResult scsSSLChangeCipherSpecWrite(ScsSSLContext* context, uint8_t* buffer);
// Builds context->appRecord (length + 41 bytes allocated); its size is context->flightLength.
TcsResult scsSSLAppDataWrite(ScsSSLContext* context, const uint8_t* data, uint32_t length);
// Processes received records; on success flightLength holds the last application-data content length.
TcsResult scsSSLProcess(ScsSSLContext* context, uint8_t* data, uint32_t length);
// Wipes the key block (every record-layer failure does).
void scsSSLWipeKeys(ScsSSLContext* context);
// 1 when the two runs are equal; takes the same time wherever they differ (MACs, Finished values).
uint32_t scsSSLSameBytes(const uint8_t* a, const uint8_t* b, uint32_t length);

// --- Handshake ------------------------------------------------------------------------------------
// Mode 1 RSA, anything else shared secret. Creates *context or re-initialises an existing one.
TcsResult scsSSLClntCtxInit(ScsSSLContext** context, uint32_t mode);
TcsResult scsSSLCtxFree(ScsSSLContext** context);
// Writes the ClientHello flight into the output area (frame {0x11, 60} and one record).
TcsResult scsSSLHandshakeStart(ScsSSLContext* context);
// Handles the messages of one handshake record's content; *alert gets the alert to answer with.
TcsResult scsSSLHandshakeProcess(ScsSSLContext* context, const uint8_t* data, uint32_t length, uint8_t* alert);
TcsResult scsSSLServerHelloProcess(ScsSSLContext* context, const uint8_t* body, uint32_t length, uint8_t* alert);
TcsResult scsSSLCertificateRequestProcess(ScsSSLContext* context, const uint8_t* body, uint32_t length,
                                          uint8_t* alert);
TcsResult scsSSLServerHelloDoneProcess(ScsSSLContext* context, const uint8_t* body, uint32_t length, uint8_t* alert);
TcsResult scsSSLFinishedProcess(ScsSSLContext* context, const uint8_t* body, uint32_t length, uint8_t* alert);
// 36-byte handshake hash; sender NULL for CertificateVerify. consume finishes the running hashes.
TcsResult scsSSLHsHashFinish(ScsSSLContext* context, const uint8_t* sender, uint32_t consume, uint8_t out[36]);
TcsResult scsSSLMasterSecretGenerate(ScsSSLContext* context, uint8_t preMaster[SCS_SSL_MASTER_SIZE]);
TcsResult scsSSLKeyBlockGenerate(ScsSSLContext* context);
TcsResult scsSSLGetRandom(uint8_t* buffer, uint32_t length);
// Builds the 257-byte recovery message into out.
TcsResult scsSSLRecoveryMessageBuild(ScsSSLContext* context, uint8_t out[SCS_SSL_RECOVERY_MESSAGE_SIZE]);

#ifdef __cplusplus
}
#endif
