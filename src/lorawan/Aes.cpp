#include "lorawan/Aes.h"

#include <array>
#include <cstring>

namespace quorvex {
namespace {

using Table = std::array<uint8_t, 256>;

// Multiplication by x (that is, by 2) in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
constexpr uint8_t XTime(uint8_t a) {
  return static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1B : 0x00));
}

constexpr uint8_t GfMul(uint8_t a, uint8_t b) {
  uint8_t product = 0;
  while (b != 0) {
    if (b & 1) product ^= a;
    a = XTime(a);
    b >>= 1;
  }
  return product;
}

constexpr uint8_t RotL8(uint8_t v, int shift) {
  return static_cast<uint8_t>((v << shift) | (v >> (8 - shift)));
}

// The S-box: the multiplicative inverse in GF(2^8) followed by the affine
// transform. p walks all non-zero field elements as powers of the generator 3
// while q walks their inverses, so each step yields one entry.
constexpr Table MakeSbox() {
  Table sbox{};
  uint8_t p = 1;
  uint8_t q = 1;
  do {
    p = static_cast<uint8_t>(p ^ XTime(p));  // p * 3
    q = static_cast<uint8_t>(q ^ (q << 1));  // q / 3
    q = static_cast<uint8_t>(q ^ (q << 2));
    q = static_cast<uint8_t>(q ^ (q << 4));
    if (q & 0x80) q ^= 0x09;
    const uint8_t affine =
        static_cast<uint8_t>(q ^ RotL8(q, 1) ^ RotL8(q, 2) ^ RotL8(q, 3) ^ RotL8(q, 4));
    sbox[p] = static_cast<uint8_t>(affine ^ 0x63);
  } while (p != 1);
  sbox[0] = 0x63;  // zero has no inverse; only the affine constant remains
  return sbox;
}

constexpr Table kSbox = MakeSbox();

constexpr Table MakeInvSbox() {
  Table inv{};
  for (int i = 0; i < 256; ++i) inv[kSbox[i]] = static_cast<uint8_t>(i);
  return inv;
}

// S-box values multiplied by a constant: SubBytes and MixColumns in one lookup.
constexpr Table MakeSboxTimes(uint8_t factor) {
  Table t{};
  for (int i = 0; i < 256; ++i) t[i] = GfMul(kSbox[i], factor);
  return t;
}

// Plain products for InvMixColumns.
constexpr Table MakeTimes(uint8_t factor) {
  Table t{};
  for (int i = 0; i < 256; ++i) t[i] = GfMul(static_cast<uint8_t>(i), factor);
  return t;
}

constexpr Table kInvSbox = MakeInvSbox();
constexpr Table kSbox2 = MakeSboxTimes(2);
constexpr Table kSbox3 = MakeSboxTimes(3);
constexpr Table kMul9 = MakeTimes(9);
constexpr Table kMul11 = MakeTimes(11);
constexpr Table kMul13 = MakeTimes(13);
constexpr Table kMul14 = MakeTimes(14);

static_assert(kSbox[0x00] == 0x63 && kSbox[0x01] == 0x7C && kSbox[0x53] == 0xED &&
              kSbox[0xFF] == 0x16);
static_assert(kInvSbox[0x63] == 0x00 && kInvSbox[0x16] == 0xFF);

bool HoldsKey(const AesKeySchedule& schedule) {
  return schedule.rounds == 10 || schedule.rounds == 12 || schedule.rounds == 14;
}

// The state is held as in FIPS-197's input array: byte 4*c + r is row r of column c.
void AddRoundKey(uint8_t* state, const uint8_t* roundKey) {
  for (std::size_t i = 0; i < kAesBlockSize; ++i) state[i] ^= roundKey[i];
}

}  // namespace

uint8_t AesExpandKey(const uint8_t* key, std::size_t keyLength, AesKeySchedule& schedule) {
  std::memset(schedule.roundKeys, 0, sizeof schedule.roundKeys);
  schedule.rounds = 0;
  if (key == nullptr || (keyLength != 16 && keyLength != 24 && keyLength != 32)) return kAesFailed;

  const std::size_t nk = keyLength / 4;  // key length in 32-bit words
  const std::size_t rounds = nk + 6;
  const std::size_t totalWords = 4 * (rounds + 1);
  uint8_t* w = schedule.roundKeys;
  std::memcpy(w, key, keyLength);

  uint8_t rcon = 0x01;
  for (std::size_t i = nk; i < totalWords; ++i) {
    uint8_t temp[4];
    std::memcpy(temp, w + 4 * (i - 1), 4);
    if (i % nk == 0) {
      // RotWord, SubWord, then the round constant.
      const uint8_t first = temp[0];
      temp[0] = static_cast<uint8_t>(kSbox[temp[1]] ^ rcon);
      temp[1] = kSbox[temp[2]];
      temp[2] = kSbox[temp[3]];
      temp[3] = kSbox[first];
      rcon = XTime(rcon);
    } else if (nk > 6 && i % nk == 4) {
      for (uint8_t& b : temp) b = kSbox[b];
    }
    for (std::size_t j = 0; j < 4; ++j) w[4 * i + j] = static_cast<uint8_t>(w[4 * (i - nk) + j] ^ temp[j]);
  }
  schedule.rounds = static_cast<uint8_t>(rounds);
  return kAesOk;
}

uint8_t AesEncryptBlock(const uint8_t* in, uint8_t* out, const AesKeySchedule& schedule) {
  if (!HoldsKey(schedule) || in == nullptr || out == nullptr) return kAesFailed;
  const uint8_t* roundKey = schedule.roundKeys;
  uint8_t s[16];
  std::memcpy(s, in, sizeof s);
  AddRoundKey(s, roundKey);

  uint8_t t[16];
  for (int round = 1; round < schedule.rounds; ++round) {
    for (int c = 0; c < 4; ++c) {
      // ShiftRows: row r of column c comes from column c + r.
      const uint8_t a0 = s[4 * c];
      const uint8_t a1 = s[4 * ((c + 1) & 3) + 1];
      const uint8_t a2 = s[4 * ((c + 2) & 3) + 2];
      const uint8_t a3 = s[4 * ((c + 3) & 3) + 3];
      t[4 * c + 0] = static_cast<uint8_t>(kSbox2[a0] ^ kSbox3[a1] ^ kSbox[a2] ^ kSbox[a3]);
      t[4 * c + 1] = static_cast<uint8_t>(kSbox[a0] ^ kSbox2[a1] ^ kSbox3[a2] ^ kSbox[a3]);
      t[4 * c + 2] = static_cast<uint8_t>(kSbox[a0] ^ kSbox[a1] ^ kSbox2[a2] ^ kSbox3[a3]);
      t[4 * c + 3] = static_cast<uint8_t>(kSbox3[a0] ^ kSbox[a1] ^ kSbox[a2] ^ kSbox2[a3]);
    }
    roundKey += kAesBlockSize;
    for (int i = 0; i < 16; ++i) s[i] = static_cast<uint8_t>(t[i] ^ roundKey[i]);
  }

  // Final round: no MixColumns.
  roundKey += kAesBlockSize;
  for (int c = 0; c < 4; ++c) {
    for (int r = 0; r < 4; ++r) {
      t[4 * c + r] = static_cast<uint8_t>(kSbox[s[4 * ((c + r) & 3) + r]] ^ roundKey[4 * c + r]);
    }
  }
  std::memcpy(out, t, sizeof t);
  return kAesOk;
}

uint8_t AesDecryptBlock(const uint8_t* in, uint8_t* out, const AesKeySchedule& schedule) {
  if (!HoldsKey(schedule) || in == nullptr || out == nullptr) return kAesFailed;
  const uint8_t* roundKey = schedule.roundKeys + kAesBlockSize * schedule.rounds;
  uint8_t s[16];
  std::memcpy(s, in, sizeof s);
  AddRoundKey(s, roundKey);

  uint8_t u[16];
  for (int round = schedule.rounds - 1; round >= 1; --round) {
    roundKey -= kAesBlockSize;
    // InvShiftRows (row r of column c comes from column c - r), InvSubBytes, AddRoundKey.
    for (int c = 0; c < 4; ++c) {
      for (int r = 0; r < 4; ++r) {
        u[4 * c + r] = static_cast<uint8_t>(kInvSbox[s[4 * ((c + 4 - r) & 3) + r]] ^ roundKey[4 * c + r]);
      }
    }
    // InvMixColumns.
    for (int c = 0; c < 4; ++c) {
      const uint8_t a0 = u[4 * c], a1 = u[4 * c + 1], a2 = u[4 * c + 2], a3 = u[4 * c + 3];
      s[4 * c + 0] = static_cast<uint8_t>(kMul14[a0] ^ kMul11[a1] ^ kMul13[a2] ^ kMul9[a3]);
      s[4 * c + 1] = static_cast<uint8_t>(kMul9[a0] ^ kMul14[a1] ^ kMul11[a2] ^ kMul13[a3]);
      s[4 * c + 2] = static_cast<uint8_t>(kMul13[a0] ^ kMul9[a1] ^ kMul14[a2] ^ kMul11[a3]);
      s[4 * c + 3] = static_cast<uint8_t>(kMul11[a0] ^ kMul13[a1] ^ kMul9[a2] ^ kMul14[a3]);
    }
  }

  roundKey -= kAesBlockSize;  // now the first round key
  for (int c = 0; c < 4; ++c) {
    for (int r = 0; r < 4; ++r) {
      u[4 * c + r] = static_cast<uint8_t>(kInvSbox[s[4 * ((c + 4 - r) & 3) + r]] ^ roundKey[4 * c + r]);
    }
  }
  std::memcpy(out, u, sizeof u);
  return kAesOk;
}

}  // namespace quorvex
