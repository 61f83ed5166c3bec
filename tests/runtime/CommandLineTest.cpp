// The command-line values the server programs take, as tables of texts.
#include "runtime/CommandLine.h"

#include <gtest/gtest.h>

namespace quorvex {
namespace {

TEST(CommandLineTest, LogKeepTakesZeroOrAPlainRowCount) {
  const struct {
    const char* text;
    bool ok;
    int64_t rows;
  } cases[] = {
      {"0", true, 0},
      {"1", true, 1},
      {"1000000", true, 1000000},
      {"1000000000000", true, kMaxLogKeepRows},
      {"1000000000001", false, 0},
      {"99999999999999999999", false, 0},  // beyond 64 bits
      {"-1", false, 0},
      {"+5", false, 0},
      {" 5", false, 0},
      {"5 ", false, 0},
      {"5k", false, 0},
      {"", false, 0},
      {nullptr, false, 0},
  };
  for (const auto& c : cases) {
    int64_t rows = -7;
    EXPECT_EQ(ParseLogKeep(c.text, rows), c.ok) << (c.text ? c.text : "null");
    EXPECT_EQ(rows, c.ok ? c.rows : -7) << (c.text ? c.text : "null");
  }
}

TEST(CommandLineTest, PortTakesOneTo65535) {
  const struct {
    const char* text;
    bool ok;
  } cases[] = {{"1", true}, {"65535", true}, {"1700", true}, {"0", false},
               {"65536", false}, {"17x", false}, {"", false}, {nullptr, false}};
  for (const auto& c : cases) {
    int port = 0;
    EXPECT_EQ(ParsePort(c.text, port), c.ok) << (c.text ? c.text : "null");
  }
}

}  // namespace
}  // namespace quorvex
