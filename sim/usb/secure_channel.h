// Virtual sensor: the server side of the secure channel (handshake in both key-exchange modes,
// records around every command once a session is up, close notify, resumption, the one-message
// recovery 0x53), the sensor certificate command 0x29 and the secure chip's Diffie-Hellman
// command 0x28.
//
// Ownership state: stored "sharedSecret1" (32 bytes) enables the shared-secret suites; stored
// "ssl.rsa" (any non-empty value) enables the RSA suites with the sensor's own key pair and its
// certificate on 0x29. Stored "ssl.suite" (2 bytes, big-endian) makes the sensor pick that suite
// when it is offered. It keeps "ssl.resume" (session id, suite, master secret) and "ssl.recovery"
// (recovery id and key) stored, so a session can be resumed or recovered after a power cycle; the
// session itself is transient.
//
// Stored "ssl.misbehave" makes it a hostile peer: "skip-finished" answers the host's final flight
// with a bare change cipher spec, "wrong-finished" with a Finished whose last byte is wrong, "alert"
// with a plain alert {1, 50}, "replay-flight" with its reply to the ClientHello again; with
// "replay-record" every reply inside a session after the first is the previous reply, verbatim.
#pragma once

#include "sim/usb/firmware.h"

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace simusb {

// Runs a request that belongs to an established session (a record) through the channel: unwraps
// it, runs the command through `firmware.handle`, wraps the reply. False when the request is not
// the channel's (no session, or not a record) and must be handled plain. The firmware's dispatcher
// calls this before its table.
bool secureChannelIntercept(Firmware& firmware, std::span<const uint8_t> request, Reply& reply);

// True while the sensor holds an established session.
bool secureChannelEstablished(Firmware& firmware);

// The sensor's certificate as the host keeps it (its RSA-2048 modulus, least significant byte
// first) and the maker's signature over it (PKCS#1 v1.5, SHA-256, most significant byte first),
// made with the maker key of the row the host looks up for firmware (major, minor, flag).
std::array<uint8_t, 256> sensorCertificate();
std::vector<uint8_t> sensorCertificateSignature(uint8_t major, uint8_t minor, uint8_t flag);

// The chip's session key from the last 0x28 exchange (empty when none).
std::vector<uint8_t> secureChipSessionKey(Firmware& firmware);

extern const CommandModule kSecureChannelModule;

}  // namespace simusb
