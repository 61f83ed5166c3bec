#include "util/Base64.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cctype>
#include <random>
#include <string>
#include <vector>

namespace quorvex {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Output(const CBase64& codec) {
  if (codec.GetOutput() == nullptr) return {};
  return Bytes(codec.GetOutput(), codec.GetOutput() + codec.GetOutputLength());
}

TEST(Base64Test, EncodeTable) {
  struct {
    std::string in;
    const char* out;
  } cases[] = {
      {"abc", "YWJj"},       {"ab", "YWI="},          {"a", "YQ=="},
      {"f", "Zg=="},         {"fo", "Zm8="},          {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},   {"foobar", "Zm9vYmFy"},
      {"\xFF\xFE\xFD", "//79"}, {"\xFB\xFF", "+/8="}, {std::string(1, '\0'), "AA=="},
  };
  for (const auto& c : cases) {
    CBase64 codec;
    ASSERT_TRUE(codec.SetData(c.in));
    ASSERT_TRUE(codec.Encode());
    EXPECT_EQ(codec.GetOutputText(), c.out);
    EXPECT_EQ(codec.GetOutputLength(), std::string(c.out).size());
    EXPECT_EQ(codec.GetOutput()[codec.GetOutputLength()], 0);  // NUL after the text
  }
}

TEST(Base64Test, DecodeTable) {
  struct {
    std::string in;
    Bytes out;
  } cases[] = {
      {"YWI=", {'a', 'b'}},
      {"YW\r\nI=", {'a', 'b'}},  // line breaks are skipped
      {"Zm9vYmFy", {'f', 'o', 'o', 'b', 'a', 'r'}},
      {"Zm9v YmE=", {'f', 'o', 'o', 'b', 'a'}},
      {"\xFFYW\x80I=\xC3", {'a', 'b'}},  // 0xFF and bytes >= 128 are skipped
      {"Y", {}},                        // left-over bits are dropped
      {"YQ", {'a'}},
      {"!!!!", {}},
      {"====", {}},
      // A gateway "data" field: the PHYPayload of a data uplink.
      {"QPF9vkkAAgABlUN4disR/w0=",
       {0x40, 0xF1, 0x7D, 0xBE, 0x49, 0x00, 0x02, 0x00, 0x01, 0x95, 0x43, 0x78, 0x76, 0x2B, 0x11, 0xFF, 0x0D}},
  };
  for (const auto& c : cases) {
    CBase64 codec;
    ASSERT_TRUE(codec.SetData(c.in));
    ASSERT_TRUE(codec.Decode());
    EXPECT_EQ(Output(codec), c.out) << c.in;
    EXPECT_EQ(codec.GetOutput()[codec.GetOutputLength()], 0);
  }
}

TEST(Base64Test, RefusalsLeaveTheObjectAsItWas) {
  CBase64 codec;
  EXPECT_EQ(codec.GetOutput(), nullptr);
  EXPECT_FALSE(codec.Encode());  // no input
  EXPECT_FALSE(codec.Decode());
  const uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_FALSE(codec.SetData(nullptr, 3));
  EXPECT_FALSE(codec.SetData(abc, 0));
  EXPECT_FALSE(codec.SetData(std::string_view()));
  EXPECT_EQ(codec.GetInputLength(), 0u);

  ASSERT_TRUE(codec.SetData(abc, 3));
  ASSERT_TRUE(codec.Encode());
  EXPECT_FALSE(codec.Encode());  // output already made
  EXPECT_FALSE(codec.Decode());
  EXPECT_EQ(codec.GetOutputText(), "YWJj");
  EXPECT_EQ(codec.GetOutputLength(), 4u);

  EXPECT_FALSE(codec.SetData(abc, 0));  // a refused SetData keeps input and output
  EXPECT_EQ(codec.GetOutputText(), "YWJj");

  ASSERT_TRUE(codec.SetData("YWJj"));  // new input: the object converts again
  EXPECT_EQ(codec.GetOutput(), nullptr);
  EXPECT_EQ(codec.GetOutputLength(), 0u);
  ASSERT_TRUE(codec.Decode());
  EXPECT_EQ(codec.GetOutputText(), "abc");
}

TEST(Base64Test, AgreesWithOpenSslAndRoundTripsRandomData) {
  std::mt19937 rng(4648);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 400; ++round) {
    Bytes data(std::uniform_int_distribution<std::size_t>(1, 300)(rng));
    for (auto& b : data) b = static_cast<uint8_t>(byte(rng));

    CBase64 encoder;
    ASSERT_TRUE(encoder.SetData(data.data(), static_cast<uint32_t>(data.size())));
    ASSERT_TRUE(encoder.Encode());
    std::string reference((data.size() + 2) / 3 * 4 + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(reference.data()), data.data(),
                                  static_cast<int>(data.size()));
    reference.resize(static_cast<std::size_t>(n));
    ASSERT_EQ(encoder.GetOutputText(), reference) << data.size() << " bytes";

    CBase64 decoder;
    ASSERT_TRUE(decoder.SetData(encoder.GetOutput(), encoder.GetOutputLength()));
    ASSERT_TRUE(decoder.Decode());
    ASSERT_EQ(Output(decoder), data);
  }
}

TEST(Base64Test, DecodeBufferFitsWhateverTheInputMix) {
  // The output is sized from the bytes that are not 0xFF; the sanitizer build
  // catches any write beyond it. Mix valid characters with every kind of
  // skipped byte in varying proportions.
  std::mt19937 rng(77);
  const std::string pool = "QWERTYqwerty0189+/=\r\n \xFF\x80\xFE";
  for (int round = 0; round < 500; ++round) {
    std::string text(std::uniform_int_distribution<std::size_t>(1, 64)(rng), ' ');
    for (char& c : text) c = pool[std::uniform_int_distribution<std::size_t>(0, pool.size() - 1)(rng)];
    CBase64 codec;
    ASSERT_TRUE(codec.SetData(text));
    ASSERT_TRUE(codec.Decode());
    std::size_t valid = 0;
    for (char c : text) valid += (std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/') ? 1 : 0;
    EXPECT_EQ(codec.GetOutputLength(), valid * 3 / 4);
  }
}

}  // namespace
}  // namespace quorvex
