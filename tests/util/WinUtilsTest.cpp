#include "util/WinUtils.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "util/Base64.h"

namespace quorvex {
namespace {

using Bytes = std::vector<uint8_t>;

// ---- HexToBytes ------------------------------------------------------------

struct HexCase {
  const char* text;
  int length;
  bool reverse;
  Bytes expected;  // all `length` destination bytes
  int result;
};

const HexCase kHexCases[] = {
    {"00-11-22-33-44-55-66-77", 8, false, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}, 8},
    {"0x0011223344556677", 8, false, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}, 8},
    {"aa:bb:cc", 3, false, {0xAA, 0xBB, 0xCC}, 3},
    {"0xaa, 0Xbb\t0xCc", 3, false, {0xAA, 0xBB, 0xCC}, 3},
    {"1234", 2, true, {0x34, 0x12}, 2},
    {"12345", 2, false, {0x12, 0x34}, 2},
    {"12345G", 2, false, {0x12, 0x34}, 2},  // text beyond the request is not looked at
    {"ABC", 2, false, {0xAB, 0x0C}, 1},     // odd digit: low half of the next byte
    {"ABC", 2, true, {0xAB, 0x00}, 1},
    {"1234", 4, true, {0x34, 0x12, 0x00, 0x00}, 2},
    {"70B3D57ED00000DC", 8, true, {0xDC, 0x00, 0x00, 0xD0, 0x7E, 0xD5, 0xB3, 0x70}, 8},  // EUI on air
    {"12G4", 2, false, {0x00, 0x00}, 0},
    {"1234 zz", 4, false, {0, 0, 0, 0}, 0},
    {"", 4, false, {0, 0, 0, 0}, 0},
    {"12", 0, false, {}, 0},
};

class HexToBytesTest : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexToBytesTest, ParsesIntoExactlyTheRequestedBytes) {
  const HexCase& c = GetParam();
  // Pre-filled, with a guard byte after the destination.
  Bytes buffer(static_cast<std::size_t>(c.length) + 1, 0xEE);
  EXPECT_EQ(CWinUtils::HexToBytes(c.text, buffer.data(), c.length, c.reverse), c.result);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + c.length), c.expected);
  EXPECT_EQ(buffer.back(), 0xEE);
}

INSTANTIATE_TEST_SUITE_P(Table, HexToBytesTest, ::testing::ValuesIn(kHexCases));

TEST(HexToBytesBoundsTest, LengthsOutsideTheWorkAreaAreRefusedWithoutWriting) {
  const std::string text(5000, 'A');
  Bytes buffer(6000, 0xEE);
  for (int length : {1024, 1025, 5000, -1, std::numeric_limits<int>::min()}) {
    SCOPED_TRACE(length);
    EXPECT_EQ(CWinUtils::HexToBytes(text, buffer.data(), length, false), 0);
    EXPECT_EQ(CWinUtils::HexToBytes(text, buffer.data(), length, true), 0);
    EXPECT_EQ(buffer, Bytes(6000, 0xEE));
  }
  EXPECT_EQ(CWinUtils::HexToBytes("1234", nullptr, 2, false), 0);
}

TEST(HexToBytesBoundsTest, LargestRequestAndOverlongTextStayInBounds) {
  const std::string text(100000, 'F');  // far more digits than the work area holds
  for (bool reverse : {false, true}) {
    Bytes buffer(1024, 0xEE);
    EXPECT_EQ(CWinUtils::HexToBytes(text, buffer.data(), 1023, reverse), 1023);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 1023), Bytes(1023, 0xFF));
    EXPECT_EQ(buffer[1023], 0xEE);
  }
}

// ---- BytesToHex ------------------------------------------------------------

TEST(BytesToHexTest, SeparatorsAndCounts) {
  const uint8_t bytes[] = {0x01, 0xAB, 0x0F};
  struct {
    char separator;
    int count;
    const char* text;
  } cases[] = {
      {'-', 2, "01-AB"}, {0, 2, "01AB"}, {' ', 3, "01 AB 0F"}, {'-', 1, "01"}, {'-', 0, ""}, {'-', -3, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CWinUtils::BytesToHex(bytes, c.separator, c.count), c.text);
  }
  EXPECT_EQ(CWinUtils::BytesToHex(nullptr, 0, 4), "");
}

TEST(BytesToHexTest, RoundTripsThroughHexToBytesForEveryByteValue) {
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<uint8_t>(i);
  for (char separator : {'\0', ' ', '-', ':'}) {
    const std::string text = CWinUtils::BytesToHex(all.data(), separator, 256);
    Bytes back(256);
    ASSERT_EQ(CWinUtils::HexToBytes(text, back.data(), 256, false), 256);
    EXPECT_EQ(back, all);
  }
}

// ---- IsHighFloat -----------------------------------------------------------

TEST(IsHighFloatTest, Table) {
  struct {
    const char* a;
    const char* b;
    int result;
  } cases[] = {
      {"-7.5", "", 1}, {"", "3", 0}, {"", "", 0},       {"2", "2", 0},     {"10", "9.5", 1},
      {"9.5", "10", 0}, {"-7.5", "-12.25", 1}, {"abc", "1", 0}, {"abc", "-1", 1}, {"1e2", "99.9", 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CWinUtils::IsHighFloat(c.a, c.b), c.result) << '"' << c.a << "\" vs \"" << c.b << '"';
  }
}

// ---- AddDelayToTmst --------------------------------------------------------

TEST(AddDelayToTmstTest, Table) {
  struct {
    const char* tmst;
    uint32_t delay;
    int64_t result;
  } cases[] = {
      {"3512348000", 1000000, 3513348000},
      {"1234", 5000000, 5001234},
      {"4294000000", 5000000, 4299000000},   // not wrapped at 2^32
      {"4294967295", 1000000, 4295967295},
      {"1000999", 1500, 1001999},            // whole milliseconds only; the tail stays
      {"99999", 1000, 100999},               // the head carries into a new digit
      {"12345", 999, 12345},
      {"0", 0, 0},
      {"1234", 4000000000u, 4000001234},     // no 32-bit overflow for short texts
      {"", 1000, 1000},
      {"123456789012345678901234567890", 5000000, std::numeric_limits<int64_t>::max()},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CWinUtils::AddDelayToTmst(c.tmst, c.delay), c.result) << c.tmst << " + " << c.delay;
  }
}

// ---- EncodeBase64InPlace ---------------------------------------------------

TEST(EncodeBase64InPlaceTest, ReplacesTheBytesWithTheirText) {
  struct {
    const char* bytes;
    const char* text;
  } cases[] = {{"abc", "YWJj"}, {"ab", "YWI="}, {"a", "YQ=="}, {"foobar", "Zm9vYmFy"}};
  for (const auto& c : cases) {
    const std::string text = c.text;
    std::array<char, 16> buffer{};
    buffer.fill('#');
    std::memcpy(buffer.data(), c.bytes, std::strlen(c.bytes));
    const int n = CWinUtils::EncodeBase64InPlace(reinterpret_cast<uint8_t*>(buffer.data()),
                                                 static_cast<int>(std::strlen(c.bytes)), text.size() + 1);
    ASSERT_EQ(n, static_cast<int>(text.size()));
    EXPECT_EQ(std::string(buffer.data()), text);  // NUL-terminated
    EXPECT_EQ(buffer[text.size() + 1], '#');      // nothing beyond the NUL
  }
}

TEST(EncodeBase64InPlaceTest, EmptyAndRefusedCases) {
  uint8_t buffer[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
  EXPECT_EQ(CWinUtils::EncodeBase64InPlace(buffer, 0, sizeof buffer), 0);
  EXPECT_EQ(buffer[0], 0);

  uint8_t abc[4] = {'a', 'b', 'c', '#'};
  EXPECT_EQ(CWinUtils::EncodeBase64InPlace(abc, 3, 4), -1);  // "YWJj" needs 5 with its NUL
  EXPECT_EQ(std::string(reinterpret_cast<char*>(abc), 4), "abc#");
  EXPECT_EQ(CWinUtils::EncodeBase64InPlace(abc, -1, 4), -1);
  EXPECT_EQ(CWinUtils::EncodeBase64InPlace(nullptr, 3, 100), -1);
}

TEST(EncodeBase64InPlaceTest, DecodesBackForEveryLengthUpTo30) {
  for (int count = 1; count <= 30; ++count) {
    Bytes original(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) original[static_cast<std::size_t>(i)] = static_cast<uint8_t>(i * 37 + 200);
    Bytes buffer(64, 0);
    std::copy(original.begin(), original.end(), buffer.begin());
    const int n = CWinUtils::EncodeBase64InPlace(buffer.data(), count, buffer.size());
    ASSERT_EQ(n, (count + 2) / 3 * 4);
    CBase64 codec;
    ASSERT_TRUE(codec.SetData(buffer.data(), static_cast<uint32_t>(n)));
    ASSERT_TRUE(codec.Decode());
    EXPECT_EQ(Bytes(codec.GetOutput(), codec.GetOutput() + codec.GetOutputLength()), original);
  }
}

// ---- Datarate and SNR ------------------------------------------------------

TEST(DatarateTest, SpreadingFactorFromDatarateText) {
  struct {
    const char* datr;
    const char* text;
    int sf;
  } cases[] = {
      {"SF7BW125", "7", 7},   {"sf12bw125", "12", 12}, {"SF10BW500", "10", 10}, {"Sf9bW250", "9", 9},
      {"BW125", "", 0},       {"", "", 0},             {"SF9", "", 0},          {"FSK", "", 0},
      {"SFXBW125", "X", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CWinUtils::GetSfText(c.datr), c.text) << c.datr;
    EXPECT_EQ(CWinUtils::GetSf(c.datr), c.sf) << c.datr;
  }
}

TEST(SnrMarginTest, StepsFromTheFloorTable) {
  struct {
    float snr;
    int start;
    int steps;
  } cases[] = {
      {-17.0f, 0, 0},  // not strictly above -20 + 3
      {-16.9f, 0, 1},  {-14.4f, 0, 2}, {-5.0f, 0, 3},   {30.0f, 0, 3},  // capped at 3
      {-6.9f, 4, 1},   {-7.0f, 4, 0},  {30.0f, 4, 1},   // index 5 is never tested
      {30.0f, 3, 2},   {-9.4f, 3, 1},  {10.0f, 5, 0},   {10.0f, 6, 0},
      {30.0f, -1, 0},  // a spreading factor above 12 has no floor
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CWinUtils::GetSnrMarginSteps(c.snr, c.start), c.steps) << c.snr << " dB from " << c.start;
  }
}

// ---- Paths -----------------------------------------------------------------

TEST(ModulePathTest, NamesFilesBesideTheRunningExecutable) {
  const std::string dir = CWinUtils::GetModulePath();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.front(), '/');
  EXPECT_NE(dir.back(), '/');
  // This test runs inside the executable test_util.
  EXPECT_EQ(CWinUtils::GetModulePath("test_util"), dir + "/test_util");
  EXPECT_TRUE(std::filesystem::equivalent(CWinUtils::GetModulePath("test_util"), "/proc/self/exe"));
  EXPECT_EQ(CWinUtils::GetImagesPath(), dir + "/Images");
}

}  // namespace
}  // namespace quorvex

namespace quorvex {
namespace {

TEST(WinUtilsLocalTimeTest, FormatsLocalTimeAndRefusesWhatDoesNotFit) {
  const time_t when = 1700000000;  // 2023-11-14 22:13:20 UTC
  std::tm local{};
  ASSERT_NE(localtime_r(&when, &local), nullptr);
  char expected[64];
  strftime(expected, sizeof expected, "%Y-%m-%d  %H:%M", &local);
  EXPECT_EQ(CWinUtils::LocalTimeText("%Y-%m-%d  %H:%M", when), expected);
  EXPECT_EQ(CWinUtils::LocalTimeText("%%", when), "%");
  EXPECT_EQ(CWinUtils::LocalTimeText(std::string(200, 'x').c_str(), when), "") << "longer than the buffer";
  EXPECT_EQ(CWinUtils::LocalTimeText(nullptr, when), "");
}

}  // namespace
}  // namespace quorvex
