#include "lorawan/Cmac.h"

#include <algorithm>
#include <cstring>

namespace quorvex {
namespace {

// Doubling in GF(2^128): shift left by one bit, folding the carried-out top
// bit back in with the constant 0x87.
void Double(const uint8_t* in, uint8_t* out) {
  const bool carry = (in[0] & 0x80) != 0;
  for (std::size_t i = 0; i < 15; ++i) out[i] = static_cast<uint8_t>((in[i] << 1) | (in[i + 1] >> 7));
  out[15] = static_cast<uint8_t>(in[15] << 1);
  if (carry) out[15] ^= 0x87;
}

// X = AES(K, X xor block)
void Chain(CmacState& state, const uint8_t* block) {
  for (std::size_t i = 0; i < 16; ++i) state.x[i] ^= block[i];
  AesEncryptBlock(state.x, state.x, state.schedule);
}

}  // namespace

void CmacInit(CmacState& state) {
  std::memset(state.x, 0, sizeof state.x);
  std::memset(state.last, 0, sizeof state.last);
  state.lastLength = 0;
}

void CmacSetKey(CmacState& state, const uint8_t* key) {
  AesExpandKey(key, 16, state.schedule);
}

void CmacUpdate(CmacState& state, const uint8_t* data, std::size_t length) {
  if (data == nullptr) return;
  while (length > 0) {
    // Only chain a full block once more data follows it: the final block
    // must stay in the buffer for CmacFinal.
    if (state.lastLength == 16) {
      Chain(state, state.last);
      state.lastLength = 0;
    }
    const std::size_t take = std::min<std::size_t>(16 - state.lastLength, length);
    std::memcpy(state.last + state.lastLength, data, take);
    state.lastLength += static_cast<uint32_t>(take);
    data += take;
    length -= take;
  }
}

uint8_t CmacFinal(CmacState& state, uint8_t* tag) {
  uint8_t l[16] = {};
  if (AesEncryptBlock(l, l, state.schedule) != kAesOk) {  // L = AES(K, 0^128)
    std::memset(tag, 0, kCmacTagSize);
    CmacInit(state);
    return kAesFailed;
  }
  uint8_t k1[16];
  uint8_t k2[16];
  Double(l, k1);
  Double(k1, k2);

  uint8_t last[16] = {};
  if (state.lastLength == 16) {
    for (std::size_t i = 0; i < 16; ++i) last[i] = static_cast<uint8_t>(state.last[i] ^ k1[i]);
  } else {
    std::memcpy(last, state.last, state.lastLength);
    last[state.lastLength] = 0x80;  // the rest is already zero
    for (std::size_t i = 0; i < 16; ++i) last[i] ^= k2[i];
  }
  Chain(state, last);
  std::memcpy(tag, state.x, kCmacTagSize);
  CmacInit(state);
  return kAesOk;
}

}  // namespace quorvex
