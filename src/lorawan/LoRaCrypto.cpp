#include "lorawan/LoRaCrypto.h"

#include <algorithm>
#include <cstring>

#include "lorawan/Aes.h"
#include "lorawan/Cmac.h"

namespace quorvex {
namespace {

void PutLe32(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
  at[2] = static_cast<uint8_t>(value >> 16);
  at[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t MicFromTag(const uint8_t* tag) {
  return static_cast<uint32_t>(tag[0]) | static_cast<uint32_t>(tag[1]) << 8 |
         static_cast<uint32_t>(tag[2]) << 16 | static_cast<uint32_t>(tag[3]) << 24;
}

// The common layout of B0 and the Ai blocks: tag byte, direction, DevAddr and
// frame counter; byte 15 is left for the caller.
void FrameBlock(uint8_t* block, uint8_t first, uint8_t direction, uint32_t devAddr, uint32_t frameCounter) {
  std::memset(block, 0, kAesBlockSize);
  block[0] = first;
  block[5] = direction;
  PutLe32(block + 6, devAddr);
  PutLe32(block + 10, frameCounter);
}

}  // namespace

uint32_t ComputeDataMic(const uint8_t* message, std::size_t length, const uint8_t* key,
                        uint32_t devAddr, uint8_t direction, uint32_t frameCounter) {
  uint8_t b0[kAesBlockSize];
  FrameBlock(b0, 0x49, direction, devAddr, frameCounter);
  b0[15] = static_cast<uint8_t>(length);

  CmacState state;
  CmacInit(state);
  CmacSetKey(state, key);
  CmacUpdate(state, b0, sizeof b0);
  CmacUpdate(state, message, length);
  uint8_t tag[kCmacTagSize];
  CmacFinal(state, tag);
  return MicFromTag(tag);
}

uint32_t ComputeJoinMic(const uint8_t* message, std::size_t length, const uint8_t* key) {
  CmacState state;
  CmacInit(state);
  CmacSetKey(state, key);
  CmacUpdate(state, message, length);
  uint8_t tag[kCmacTagSize];
  CmacFinal(state, tag);
  return MicFromTag(tag);
}

void CipherPayload(const uint8_t* payload, uint16_t length, const uint8_t* key, uint32_t devAddr,
                   uint8_t direction, uint32_t frameCounter, uint8_t* out) {
  if (length == 0) return;
  AesKeySchedule schedule;
  AesExpandKey(key, kLoRaKeySize, schedule);

  uint8_t a[kAesBlockSize];
  FrameBlock(a, 0x01, direction, devAddr, frameCounter);
  uint8_t s[kAesBlockSize] = {};
  std::size_t done = 0;
  for (unsigned i = 1; done < length; ++i) {
    a[15] = static_cast<uint8_t>(i);  // the block counter is one byte on air
    AesEncryptBlock(a, s, schedule);
    const std::size_t n = std::min<std::size_t>(kAesBlockSize, length - done);
    for (std::size_t j = 0; j < n; ++j) out[done + j] = static_cast<uint8_t>(payload[done + j] ^ s[j]);
    done += n;
  }
}

void DeriveSessionKeys(const uint8_t* appKey, const uint8_t* appNonceNetId, uint16_t devNonce,
                       uint8_t* nwkSKey, uint8_t* appSKey) {
  AesKeySchedule schedule;
  AesExpandKey(appKey, kLoRaKeySize, schedule);

  uint8_t block[kAesBlockSize] = {};
  std::memcpy(block + 1, appNonceNetId, 6);
  block[7] = static_cast<uint8_t>(devNonce);
  block[8] = static_cast<uint8_t>(devNonce >> 8);

  block[0] = 0x01;
  AesEncryptBlock(block, nwkSKey, schedule);
  block[0] = 0x02;
  AesEncryptBlock(block, appSKey, schedule);
}

bool EncryptJoinAccept(const uint8_t* in, std::size_t length, const uint8_t* appKey, uint8_t* out) {
  if (length % kAesBlockSize != 0) return false;
  AesKeySchedule schedule;
  AesExpandKey(appKey, kLoRaKeySize, schedule);
  for (std::size_t off = 0; off < length; off += kAesBlockSize) {
    AesDecryptBlock(in + off, out + off, schedule);
  }
  return true;
}

}  // namespace quorvex
