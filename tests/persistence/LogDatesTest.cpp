// Dating the packet log's rows, which keep only a day of the month, from the
// rows after them; and reading the operator's time bounds.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "persistence/LogDates.h"

namespace quorvex {
namespace {

struct DatingCase {
  const char* what;
  LogDay today;
  std::vector<std::string> rxTimes;  // newest first
  std::vector<std::string> stamps;   // "" for a row that cannot be dated
};

TEST(LogDatesTest, RowsAreDatedCountingBackFromToday) {
  const DatingCase cases[] = {
      {"same month, then over the end of a short month",
       {2026, 3, 2},
       {"02 11:00:00 000", "01 23:59:59 999", "28 08:00:00 001", "31 07:00:00 000", "30 06:00:00 000"},
       {"2026-03-02 11:00:00.000", "2026-03-01 23:59:59.999", "2026-02-28 08:00:00.001", "2026-01-31 07:00:00.000",
        "2026-01-30 06:00:00.000"}},
      {"a newest day later than today is last month's", {2026, 3, 2}, {"15 10:00:00 000"},
       {"2026-02-15 10:00:00.000"}},
      {"the 29th of February of a leap year", {2024, 3, 1}, {"29 10:00:00 000"}, {"2024-02-29 10:00:00.000"}},
      {"over the end of a year", {2026, 1, 1}, {"01 00:00:01 000", "31 23:59:59 000"},
       {"2026-01-01 00:00:01.000", "2025-12-31 23:59:59.000"}},
      {"a clock set back within a day stays on that day",
       {2026, 3, 2},
       {"02 02:30:00 000", "02 02:45:00 000"},
       {"2026-03-02 02:30:00.000", "2026-03-02 02:45:00.000"}},
      {"unreadable texts move nothing",
       {2026, 3, 2},
       {"", "garbage", "32 10:00:00 000", "01 24:00:00 000", "01 10:00:00", "20 10:00:00 000"},
       {"", "", "", "", "", "2026-02-20 10:00:00.000"}},
  };
  for (const DatingCase& c : cases) {
    CLogDater dater(c.today);
    std::vector<std::string> stamps;
    for (const std::string& text : c.rxTimes) stamps.push_back(dater.Next(text).value_or(""));
    EXPECT_EQ(stamps, c.stamps) << c.what;
  }
}

TEST(LogDatesTest, TimeBoundsOfTheOperatorsTexts) {
  const std::pair<const char*, const char*> cases[] = {
      {"2026-03-01", "2026-03-01 00:00:00.000"},
      {"2026-03-01T12:30", "2026-03-01 12:30:00.000"},
      {"2026-03-01 12:30:45", "2026-03-01 12:30:45.000"},
      {"2024-02-29", "2024-02-29 00:00:00.000"},
      {"2026-02-29", ""},
      {"2026-13-01", ""},
      {"2026-03-01T24:00", ""},
      {"2026-03-01T12:60", ""},
      {"2026-03-01T12", ""},
      {"2026-03-01T12:30:00.5", ""},
      {"2026-03-01x", ""},
      {"01.03.2026", ""},
      {"", ""},
  };
  for (const auto& [text, bound] : cases) EXPECT_EQ(ReadLogTimeBound(text).value_or(""), bound) << text;
}

}  // namespace
}  // namespace quorvex
