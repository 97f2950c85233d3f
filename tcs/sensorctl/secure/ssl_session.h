// Secure channel session of a device: the re-entrant handshake state machine, suspend, recovery and
// close. The machine itself (scsSSLStep) reaches its device only through ScsSSLIo, so that it runs the
// same over the sensor-control engine and in-process against a sensor model.
#pragma once

#include "tcs/sensorctl/scs.h"
#include "tcs/sensorctl/secure/ssl.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ScsSensorDevice ScsSensorDevice;

typedef struct ScsSSLIo {
    void* context;
    // Sends a handshake command (a copy is taken); its reply comes back through scsSSLStep.
    TcsResult (*send)(void* context, const uint8_t* data, uint32_t length, uint32_t replyLength);
    TcsResult (*readSlot)(void* context, uint32_t id, uint32_t serializer, uint32_t protector, uint32_t length,
                          uint8_t* out);
    TcsResult (*validateCertificate)(void* context, const uint8_t* certificate, const uint8_t* signature);
} ScsSSLIo;

// One step (status 209, no reply) or one completion (the sensor's reply and status). 383 once the
// handshake has failed (the caller frees the context); 40 for a completion without reply.
TcsResult scsSSLStep(ScsSSLContext* context, const ScsSSLIo* io, const uint8_t* reply, uint32_t replyLength,
                     TcsResult status);

// Device-level operations. scsSSLEstablishSession has the shape of a reply callback: the engine
// calls it back with the replies of the commands it sent itself (context = the device).
TcsResult scsSSLEstablishSession(ScsReplyView* reply, TcsResult status, void* device);
TcsResult scsSSLEstablishSessionEx(ScsSensorDevice* device);
TcsResult scsSSLSuspendSession(ScsSensorDevice* device);
TcsResult scsSSLAlertNotify(ScsSensorDevice* device, uint32_t reason);
uint32_t scsSSLIsCloseAlertSent(ScsSensorDevice* device);
TcsResult scsSSLInitCallbacks(ScsSensorDevice* device);

// Security flags of a device from its variant (USB subclass low nibble, or the version record's
// variant byte on 4.40/4.60) and its version record; device initialisation calls it after GET_VERSION.
void scsSSLDeriveSecurityFlags(ScsSensorDevice* device, uint32_t variant);

#ifdef __cplusplus
}
#endif
