// AES-CMAC (RFC 4493) over AES-128, the message integrity code of every
// LoRaWAN frame. The state lives with the caller, so concurrent computations
// never share anything.
#pragma once
#include <cstddef>
#include <cstdint>

#include "lorawan/Aes.h"

namespace quorvex {

inline constexpr std::size_t kCmacTagSize = 16;

struct CmacState {
  AesKeySchedule schedule;  // the expanded key
  uint8_t x[16] = {};       // running chaining value X
  uint8_t last[16] = {};    // the last, possibly partial, block seen so far
  uint32_t lastLength = 0;  // bytes held in `last` (0..16)
};

// Clears X, the last-block buffer and its count; the key is kept.
void CmacInit(CmacState& state);

// Expands the 16-byte key into the state.
void CmacSetKey(CmacState& state, const uint8_t* key);

// Absorbs `length` bytes (data may be null when length is 0). The last block
// is held back so that CmacFinal can apply the subkey to it.
void CmacUpdate(CmacState& state, const uint8_t* data, std::size_t length);

// Writes the 16-byte tag of everything absorbed since CmacInit, then clears
// the state as CmacInit does so that the same key can sign the next message.
// Returns kAesOk, or kAesFailed with an all-zero tag when no key was set.
uint8_t CmacFinal(CmacState& state, uint8_t* tag);

}  // namespace quorvex
