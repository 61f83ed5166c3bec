// AES block cipher (FIPS-197) for the LoRaWAN MIC, payload ciphering, session
// key derivation and join-accept encryption. Byte-oriented and table-driven;
// the tables are computed at compile time and are read-only, and every call
// works only on its own arguments, so any number of threads may use it at once.
#pragma once
#include <cstddef>
#include <cstdint>

namespace quorvex {

inline constexpr std::size_t kAesBlockSize = 16;
inline constexpr uint8_t kAesOk = 0;
inline constexpr uint8_t kAesFailed = 255;

// Expanded key: room for the 15 round keys of AES-256 and the round count
// (10, 12 or 14; 0 while the schedule holds no key).
struct AesKeySchedule {
  uint8_t roundKeys[240] = {};
  uint8_t rounds = 0;
};

// Expands a 16-, 24- or 32-byte key into `schedule`. Returns kAesOk, or
// kAesFailed for any other length or a null key (the round count is then 0).
uint8_t AesExpandKey(const uint8_t* key, std::size_t keyLength, AesKeySchedule& schedule);

// Encrypts one 16-byte block; `in` and `out` may be the same buffer. Returns
// kAesOk, or kAesFailed (nothing written) when the schedule holds no key.
uint8_t AesEncryptBlock(const uint8_t* in, uint8_t* out, const AesKeySchedule& schedule);

// Decrypts one 16-byte block (the inverse cipher); `in` and `out` may be the
// same buffer. Returns kAesOk, or kAesFailed (nothing written) when the
// schedule holds no key.
uint8_t AesDecryptBlock(const uint8_t* in, uint8_t* out, const AesKeySchedule& schedule);

}  // namespace quorvex
