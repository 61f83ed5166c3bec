#include "lorawan/Aes.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "lorawan/TestHex.h"

namespace quorvex {
namespace {

using test::Hex;

struct KnownAnswer {
  const char* name;
  const char* key;
  const char* plain;
  const char* cipher;
};

// FIPS-197 appendix B and appendix C.1 to C.3.
const KnownAnswer kFips197[] = {
    {"B_128", "2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
     "3925841d02dc09fbdc118597196a0b32"},
    {"C1_128", "000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
     "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {"C2_192", "000102030405060708090a0b0c0d0e0f1011121314151617", "00112233445566778899aabbccddeeff",
     "dda97ca4864cdfe06eaf70a0ec0d7191"},
    {"C3_256", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
};

class AesKnownAnswerTest : public ::testing::TestWithParam<KnownAnswer> {};

TEST_P(AesKnownAnswerTest, EncryptsAndDecryptsTheStandardVector) {
  const KnownAnswer& v = GetParam();
  const auto key = Hex(v.key);
  const auto plain = Hex(v.plain);
  const auto cipher = Hex(v.cipher);

  AesKeySchedule schedule;
  ASSERT_EQ(AesExpandKey(key.data(), key.size(), schedule), kAesOk);
  EXPECT_EQ(schedule.rounds, key.size() / 4 + 6);

  std::array<uint8_t, 16> out{};
  ASSERT_EQ(AesEncryptBlock(plain.data(), out.data(), schedule), kAesOk);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.end()), cipher);
  ASSERT_EQ(AesDecryptBlock(cipher.data(), out.data(), schedule), kAesOk);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.end()), plain);

  // In place, both ways.
  std::array<uint8_t, 16> block{};
  std::memcpy(block.data(), plain.data(), 16);
  AesEncryptBlock(block.data(), block.data(), schedule);
  EXPECT_EQ(std::vector<uint8_t>(block.begin(), block.end()), cipher);
  AesDecryptBlock(block.data(), block.data(), schedule);
  EXPECT_EQ(std::vector<uint8_t>(block.begin(), block.end()), plain);
}

INSTANTIATE_TEST_SUITE_P(Fips197, AesKnownAnswerTest, ::testing::ValuesIn(kFips197),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AesTest, KeyScheduleHoldsTheRoundKeysInOrder) {
  // FIPS-197 appendix A.1: the first round key is the key itself, the last
  // (words 40..43) is d014f9a8 c9ee2589 e13f0cc8 b6630ca6.
  const auto key = Hex("2b7e151628aed2a6abf7158809cf4f3c");
  AesKeySchedule schedule;
  ASSERT_EQ(AesExpandKey(key.data(), key.size(), schedule), kAesOk);
  EXPECT_EQ(std::vector<uint8_t>(schedule.roundKeys, schedule.roundKeys + 16), key);
  EXPECT_EQ(std::vector<uint8_t>(schedule.roundKeys + 160, schedule.roundKeys + 176),
            Hex("d014f9a8c9ee2589e13f0cc8b6630ca6"));
}

TEST(AesTest, RefusesKeyLengthsOtherThan16_24_32AndThenEveryBlock) {
  const std::vector<uint8_t> key(40, 0x11);
  for (std::size_t length : {0u, 1u, 15u, 17u, 20u, 23u, 31u, 33u, 40u}) {
    SCOPED_TRACE(length);
    AesKeySchedule schedule;
    AesExpandKey(key.data(), 16, schedule);  // a valid key first: the refusal must clear it
    EXPECT_EQ(AesExpandKey(key.data(), length, schedule), kAesFailed);
    EXPECT_EQ(schedule.rounds, 0);

    std::array<uint8_t, 16> in{};
    std::array<uint8_t, 16> out;
    out.fill(0xEE);
    EXPECT_EQ(AesEncryptBlock(in.data(), out.data(), schedule), kAesFailed);
    EXPECT_EQ(AesDecryptBlock(in.data(), out.data(), schedule), kAesFailed);
    for (uint8_t b : out) EXPECT_EQ(b, 0xEE);  // nothing written
  }
  AesKeySchedule schedule;
  EXPECT_EQ(AesExpandKey(nullptr, 16, schedule), kAesFailed);
}

TEST(AesTest, ScheduleWithoutKeyOrWithCorruptRoundCountIsRefused) {
  std::array<uint8_t, 16> in{};
  std::array<uint8_t, 16> out{};
  AesKeySchedule empty;
  EXPECT_EQ(AesEncryptBlock(in.data(), out.data(), empty), kAesFailed);
  AesKeySchedule corrupt;
  corrupt.rounds = 200;  // would walk far past the 240 bytes of round keys
  EXPECT_EQ(AesEncryptBlock(in.data(), out.data(), corrupt), kAesFailed);
  EXPECT_EQ(AesDecryptBlock(in.data(), out.data(), corrupt), kAesFailed);
}

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

std::array<uint8_t, 16> OpenSslEncrypt(const std::vector<uint8_t>& key, const std::array<uint8_t, 16>& in) {
  const EVP_CIPHER* cipher = key.size() == 16   ? EVP_aes_128_ecb()
                             : key.size() == 24 ? EVP_aes_192_ecb()
                                                : EVP_aes_256_ecb();
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  std::array<uint8_t, 16> out{};
  int outLength = 0;
  if (!ctx || EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, key.data(), nullptr) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
      EVP_EncryptUpdate(ctx.get(), out.data(), &outLength, in.data(), 16) != 1 || outLength != 16) {
    ADD_FAILURE() << "OpenSSL AES failed";
  }
  return out;
}

TEST(AesTest, AgreesWithOpenSslOnRandomKeysAndBlocks) {
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> byte(0, 255);
  for (std::size_t keyLength : {16u, 24u, 32u}) {
    for (int round = 0; round < 300; ++round) {
      std::vector<uint8_t> key(keyLength);
      for (auto& b : key) b = static_cast<uint8_t>(byte(rng));
      std::array<uint8_t, 16> plain{};
      for (auto& b : plain) b = static_cast<uint8_t>(byte(rng));

      AesKeySchedule schedule;
      ASSERT_EQ(AesExpandKey(key.data(), key.size(), schedule), kAesOk);
      std::array<uint8_t, 16> ours{};
      AesEncryptBlock(plain.data(), ours.data(), schedule);
      ASSERT_EQ(ours, OpenSslEncrypt(key, plain)) << "key length " << keyLength << ", round " << round;
      std::array<uint8_t, 16> back{};
      AesDecryptBlock(ours.data(), back.data(), schedule);
      ASSERT_EQ(back, plain);
    }
  }
}

}  // namespace
}  // namespace quorvex
