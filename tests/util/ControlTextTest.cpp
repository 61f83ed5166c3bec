#include <gtest/gtest.h>

#include <string>

#include "util/ControlText.h"

namespace quorvex {
namespace {

TEST(ControlTextTest, ControlCharactersAreWrittenAsHexAndTheRestStays) {
  const struct {
    std::string text;
    std::string shown;
  } cases[] = {
      {"plain text, 100%", "plain text, 100%"},
      {"line\r\n\ttab", "line\r\n\ttab"},
      {std::string("nul\0end", 7), "nul\\x00end"},
      {"\x1b[31mred\x1b[0m", "\\x1B[31mred\\x1B[0m"},
      {"bell\x07 del\x7f", "bell\\x07 del\\x7F"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},  // UTF-8 stays
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(EscapeControlChars(c.text), c.shown) << c.shown;
}

// A text that must stay on one line loses its line breaks and tabs too.
TEST(ControlTextTest, OneLineTextsHaveEveryControlCharacterWrittenAsHex) {
  const struct {
    std::string text;
    std::string shown;
  } cases[] = {
      {"plain text, 100%", "plain text, 100%"},
      {"line\r\n\ttab", "line\\x0D\\x0A\\x09tab"},
      {"\x1b[31mred del\x7f", "\\x1B[31mred del\\x7F"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},
  };
  for (const auto& c : cases) EXPECT_EQ(EscapeAllControlChars(c.text), c.shown) << c.shown;
}

}  // namespace
}  // namespace quorvex
