// The LoRaWAN 1.0.x security operations built on AES-128 and AES-CMAC: frame
// MICs, FRMPayload ciphering, session key derivation and join-accept
// encryption. Pure functions over bytes: every key schedule, CMAC state and
// block lives on the caller's stack, so the receive and transmit threads may
// call them at the same time.
//
// Keys are 16 bytes used in stored order (never reversed). DevAddr and frame
// counters enter the blocks least significant byte first. A MIC is the first
// four bytes of the CMAC tag read as a little-endian 32-bit value, so writing
// it little-endian after the message reproduces the tag bytes.
#pragma once
#include <cstddef>
#include <cstdint>

namespace quorvex {

inline constexpr std::size_t kLoRaKeySize = 16;
inline constexpr uint8_t kLoRaDirUplink = 0;    // device to server
inline constexpr uint8_t kLoRaDirDownlink = 1;  // server to device

// MIC of a data frame: CMAC under `key` (the NwkSKey in both directions) over
// the block B0 followed by the message (MHDR | FHDR | FPort | FRMPayload, all
// before the MIC). B0 carries the length modulo 256; every one of the
// `length` bytes is covered.
uint32_t ComputeDataMic(const uint8_t* message, std::size_t length, const uint8_t* key,
                        uint32_t devAddr, uint8_t direction, uint32_t frameCounter);

// MIC of a join request or (plain) join accept: CMAC under the AppKey over
// the `length` message bytes.
uint32_t ComputeJoinMic(const uint8_t* message, std::size_t length, const uint8_t* key);

// Encrypts or decrypts (the same operation) `length` payload bytes into
// `out`, which must hold `length` bytes and may be `payload` itself. The key
// is the NwkSKey for FPort 0 and the AppSKey otherwise. A length of 0 writes
// nothing. The block counter is one byte on air, so the keystream would repeat
// beyond 4080 bytes; LoRaWAN payloads stay far below that.
void CipherPayload(const uint8_t* payload, uint16_t length, const uint8_t* key, uint32_t devAddr,
                   uint8_t direction, uint32_t frameCounter, uint8_t* out);

// Session keys of a join: `appNonceNetId` is the 6 bytes AppNonce then NetID
// exactly as they stand in the join accept (least significant byte first).
// Writes 16 bytes to each of nwkSKey and appSKey.
void DeriveSessionKeys(const uint8_t* appKey, const uint8_t* appNonceNetId, uint16_t devNonce,
                       uint8_t* nwkSKey, uint8_t* appSKey);

// Encrypts the join accept after its MHDR (fields and MIC: 16 bytes, or 32
// with a CFList) so that the device recovers it with AES encryption under the
// AppKey: each 16-byte block goes through AES decryption. `out` may be `in`.
// Returns false and writes nothing unless `length` is a multiple of 16.
bool EncryptJoinAccept(const uint8_t* in, std::size_t length, const uint8_t* appKey, uint8_t* out);

}  // namespace quorvex
