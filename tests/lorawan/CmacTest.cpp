#include "lorawan/Cmac.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <array>
#include <memory>
#include <random>
#include <vector>

#include "lorawan/TestHex.h"

namespace quorvex {
namespace {

using test::Hex;

const std::vector<uint8_t> kRfcKey = Hex("2b7e151628aed2a6abf7158809cf4f3c");
const std::vector<uint8_t> kRfcMessage = Hex(
    "6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710");

struct RfcExample {
  std::size_t length;
  const char* tag;
};

// RFC 4493 section 4, examples 1 to 4.
const RfcExample kRfcExamples[] = {
    {0, "bb1d6929e95937287fa37d129b756746"},
    {16, "070a16b46b4d4144f79bdd9dd04a287c"},
    {40, "dfa66747de9ae63030ca32611497c827"},
    {64, "51f0bebf7e3b9d92fc49741779363cfe"},
};

std::vector<uint8_t> Tag(const std::vector<uint8_t>& key, const uint8_t* data,
                         const std::vector<std::size_t>& pieces) {
  CmacState state;
  CmacInit(state);
  CmacSetKey(state, key.data());
  for (std::size_t piece : pieces) {
    CmacUpdate(state, data, piece);
    data += piece;
  }
  std::vector<uint8_t> tag(kCmacTagSize);
  EXPECT_EQ(CmacFinal(state, tag.data()), kAesOk);
  return tag;
}

TEST(CmacTest, Rfc4493Examples) {
  for (const RfcExample& example : kRfcExamples) {
    SCOPED_TRACE(example.length);
    EXPECT_EQ(Tag(kRfcKey, kRfcMessage.data(), {example.length}), Hex(example.tag));
  }
}

TEST(CmacTest, SplittingTheMessageAnywhereGivesTheSameTag) {
  // The held-back last block is where a streaming CMAC goes wrong: cut the
  // 64-byte example (whose last block is complete) and the 40-byte one
  // (partial) at every point, and into single bytes.
  for (const RfcExample& example : {kRfcExamples[2], kRfcExamples[3]}) {
    const auto expected = Hex(example.tag);
    for (std::size_t cut = 0; cut <= example.length; ++cut) {
      SCOPED_TRACE(testing::Message() << example.length << " bytes cut at " << cut);
      EXPECT_EQ(Tag(kRfcKey, kRfcMessage.data(), {cut, example.length - cut}), expected);
    }
    EXPECT_EQ(Tag(kRfcKey, kRfcMessage.data(), std::vector<std::size_t>(example.length, 1)), expected);
  }
}

TEST(CmacTest, FinalClearsTheStateForTheNextMessageUnderTheSameKey) {
  CmacState state;
  CmacInit(state);
  CmacSetKey(state, kRfcKey.data());
  std::vector<uint8_t> tag(16);
  CmacUpdate(state, kRfcMessage.data(), 40);
  CmacFinal(state, tag.data());
  EXPECT_EQ(tag, Hex(kRfcExamples[2].tag));
  CmacUpdate(state, kRfcMessage.data(), 16);
  CmacFinal(state, tag.data());
  EXPECT_EQ(tag, Hex(kRfcExamples[1].tag));
}

TEST(CmacTest, FinalWithoutKeyGivesAZeroTagAndFailure) {
  CmacState state;
  CmacInit(state);
  CmacUpdate(state, kRfcMessage.data(), 20);
  std::vector<uint8_t> tag(16, 0xEE);
  EXPECT_EQ(CmacFinal(state, tag.data()), kAesFailed);
  EXPECT_EQ(tag, std::vector<uint8_t>(16, 0));
}

struct MacFree {
  void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
};
struct MacCtxFree {
  void operator()(EVP_MAC_CTX* ctx) const { EVP_MAC_CTX_free(ctx); }
};

std::vector<uint8_t> OpenSslCmac(const std::vector<uint8_t>& key, const std::vector<uint8_t>& data) {
  std::unique_ptr<EVP_MAC, MacFree> mac(EVP_MAC_fetch(nullptr, "CMAC", nullptr));
  std::unique_ptr<EVP_MAC_CTX, MacCtxFree> ctx(mac ? EVP_MAC_CTX_new(mac.get()) : nullptr);
  char cipherName[] = "AES-128-CBC";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipherName, 0),
      OSSL_PARAM_construct_end(),
  };
  std::vector<uint8_t> tag(16);
  std::size_t tagLength = 0;
  if (!ctx || EVP_MAC_init(ctx.get(), key.data(), key.size(), params) != 1 ||
      EVP_MAC_update(ctx.get(), data.data(), data.size()) != 1 ||
      EVP_MAC_final(ctx.get(), tag.data(), &tagLength, tag.size()) != 1 || tagLength != 16) {
    ADD_FAILURE() << "OpenSSL CMAC failed";
  }
  return tag;
}

TEST(CmacTest, AgreesWithOpenSslOnRandomKeysAndLengths) {
  std::mt19937 rng(4493);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 500; ++round) {
    std::vector<uint8_t> key(16);
    for (auto& b : key) b = static_cast<uint8_t>(byte(rng));
    std::vector<uint8_t> data(std::uniform_int_distribution<std::size_t>(0, 100)(rng));
    for (auto& b : data) b = static_cast<uint8_t>(byte(rng));
    // Feed it in two random pieces to exercise the buffering as well.
    const std::size_t cut = std::uniform_int_distribution<std::size_t>(0, data.size())(rng);
    ASSERT_EQ(Tag(key, data.data(), {cut, data.size() - cut}), OpenSslCmac(key, data))
        << "round " << round << ", " << data.size() << " bytes";
  }
}

}  // namespace
}  // namespace quorvex
