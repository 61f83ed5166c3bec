// The strict hex reading of operator input: every way the window shows or an
// operator types whole bytes is read, and every slip is refused with the
// destination untouched (never a silent zero).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "util/WinUtils.h"

namespace quorvex {
namespace {

using Bytes = std::vector<uint8_t>;

struct StrictHexCase {
  const char* text;
  int capacity;
  int result;      // bytes read, or -1 refused
  Bytes expected;  // the bytes read (none when refused)
};

const StrictHexCase kStrictHexCases[] = {
    // Accepted: the ways an EUI or key is shown and typed.
    {"70 B3 D5", 8, 3, {0x70, 0xB3, 0xD5}},
    {"70-b3-d5", 8, 3, {0x70, 0xB3, 0xD5}},
    {"70:B3:D5", 8, 3, {0x70, 0xB3, 0xD5}},
    {"70B3D5", 8, 3, {0x70, 0xB3, 0xD5}},
    {"0x70, 0xB3, 0xd5", 8, 3, {0x70, 0xB3, 0xD5}},
    {"0X70B3D5", 8, 3, {0x70, 0xB3, 0xD5}},
    {" \t70  B3,\tD5 ", 8, 3, {0x70, 0xB3, 0xD5}},
    {"1122", 2, 2, {0x11, 0x22}},
    {"", 4, 0, {}},
    {" - ", 4, 0, {}},
    {"00", 1, 1, {0x00}},
    // Refused: slips that the lenient reading turns into zeros or guesses.
    {"ABC", 4, -1, {}},       // odd digit count
    {"7 0B", 8, -1, {}},      // a pair split by a space
    {"70 B3 D", 4, -1, {}},   // last pair short
    {"12G4", 4, -1, {}},      // not a hex digit
    {"7O B3", 4, -1, {}},     // letter O for zero
    {"0x", 4, -1, {}},        // a prefix without digits
    {"70 0x", 4, -1, {}},
    {"700xB3", 4, -1, {}},    // "0x" inside a group
    {"0x0x12", 4, -1, {}},
    {"12;34", 4, -1, {}},     // not a separator
    {"112233", 2, -1, {}},    // more bytes than the capacity
};

class StrictHexTest : public ::testing::TestWithParam<StrictHexCase> {};

TEST_P(StrictHexTest, ReadsWholeBytesOrLeavesTheDestinationUntouched) {
  const StrictHexCase& c = GetParam();
  Bytes buffer(static_cast<size_t>(c.capacity) + 1, 0xEE);  // one guard byte
  ASSERT_EQ(CWinUtils::ParseHexStrict(c.text, buffer.data(), c.capacity), c.result) << c.text;
  const size_t read = c.result > 0 ? static_cast<size_t>(c.result) : 0;
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(read)), c.expected) << c.text;
  for (size_t i = read; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xEE) << c.text << " byte " << i;
}

INSTANTIATE_TEST_SUITE_P(Table, StrictHexTest, ::testing::ValuesIn(kStrictHexCases));

TEST(StrictHexTest, RefusesANullDestinationOrANegativeCapacity) {
  uint8_t byte = 0;
  EXPECT_EQ(CWinUtils::ParseHexStrict("12", nullptr, 1), -1);
  EXPECT_EQ(CWinUtils::ParseHexStrict("12", &byte, -1), -1);
  EXPECT_EQ(CWinUtils::ParseHexStrict("", nullptr, 0), 0);
}

}  // namespace
}  // namespace quorvex
