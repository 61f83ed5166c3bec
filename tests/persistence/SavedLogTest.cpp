// The saved log file: its exact bytes, how the APP and MAC fields widen, and
// writing it to disk.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "persistence/SavedLog.h"
#include "support/TempDir.h"

namespace quorvex {
namespace {

using Rows = std::vector<std::vector<std::string>>;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Two rows of the server log: an uplink whose APP text (26 characters)
// widens its field to 31, a MAC text short enough to keep the field at 25,
// a DEVEUI longer than its 20-character field, and a join accept with
// empty columns.
Rows FixtureRows() {
  return {{"UP-LINK", "03.05 14.07.09", "01 02 03 04 05 06 07 08 09", "03 07 00", "10.0.0.7",
           "00 11 22 33 44 55 66 77", "12", "CFM", "868.100000", "-57", "9.5", "9", "42"},
          {" ACCEPT", "03.05 14.07.10", "JOIN ACCEPT", "", "10.0.0.7", "00 11 22 33 44 55 66 77", "", "",
           "868.100000", "", "", "", ""}};
}

const std::string kRule = "   " + std::string(98, '=') + "\r\n";

const std::string kFixtureHeader = kRule +
                                   "   LORAWAN NETWORK SERVER\r\n"
                                   "   2024.03.05 14.07.09\r\n"
                                   "   Quorvex LoRaWAN Network Server - https://quorvex.example\r\n"
                                   "   Contact: support@quorvex.example\r\n" +
                                   kRule + "\r\n";

TEST(SavedLogTest, FixtureFileByteForByte) {
  // Column by column; a text longer than its field runs into the next one.
  const std::string expected =
      kFixtureHeader +
      "   " "UP-LINK        " "03.05 14.07.09      " "01 02 03 04 05 06 07 08 09     " "03 07 00                 "
      "10.0.0.7            " "00 11 22 33 44 55 66 77" "12                  " "CFM                 "
      "868.100000          " "-57                 " "9.5                 " "9                   "
      "42                  " "\r\n"
      "   " " ACCEPT        " "03.05 14.07.10      " "JOIN ACCEPT                    " "                         "
      "10.0.0.7            " "00 11 22 33 44 55 66 77" "                    " "                    "
      "868.100000          " "                    " "                    " "                    "
      "                    " "\r\n";
  EXPECT_EQ(FormatSavedLog(FixtureRows(), "2024.03.05 14.07.09"), expected);
}

TEST(SavedLogTest, AppAndMacFieldsAreTheLongestTextPlusFiveAndAtLeast25) {
  const struct {
    std::vector<std::pair<size_t, size_t>> lengths;  // APP and MAC text length of each row
    size_t appWidth;
    size_t macWidth;
  } cases[] = {
      {{{0, 0}}, 25, 25},
      {{{20, 20}, {3, 0}}, 25, 25},
      {{{21, 19}}, 26, 25},
      {{{5, 50}, {40, 49}, {12, 0}}, 45, 55},
  };
  for (const auto& c : cases) {
    Rows rows;
    for (const auto& [app, mac] : c.lengths) {
      rows.push_back({"T", "time", std::string(app, 'a'), std::string(mac, 'm'), "ip"});
    }
    const std::string file = FormatSavedLog(rows, "now");
    // Every row's IP text starts after the indent, the type, time, APP and MAC fields.
    const size_t ipAt = 3 + 15 + 20 + c.appWidth + c.macWidth;
    size_t lineStart = file.find("\r\n\r\n") + 4;
    for (size_t i = 0; i < rows.size(); ++i) {
      const size_t lineEnd = file.find("\r\n", lineStart);
      const std::string line = file.substr(lineStart, lineEnd - lineStart);
      EXPECT_EQ(line.size(), ipAt + 20) << "case " << c.appWidth << "/" << c.macWidth << " row " << i;
      EXPECT_EQ(line.substr(ipAt, 2), "ip") << "case " << c.appWidth << "/" << c.macWidth << " row " << i;
      lineStart = lineEnd + 2;
    }
  }
}

TEST(SavedLogTest, ShortRowsAndLongTypeTextsAreWrittenAsTheyAre) {
  const Rows rows = {{}, {"A-TYPE-TEXT-LONGER-THAN-15"}, {"UP-LINK", "t", "app"}};
  const std::string file = FormatSavedLog(rows, "now");
  EXPECT_EQ(file.substr(file.find("\r\n\r\n") + 4),
            "   \r\n"
            "   A-TYPE-TEXT-LONGER-THAN-15 \r\n"
            "   UP-LINK        t                   app                      \r\n");
}

TEST(SavedLogTest, HeaderTimeIsLocalTime) {
  const std::optional<std::string> oldTz =
      std::getenv("TZ") != nullptr ? std::optional<std::string>(std::getenv("TZ")) : std::nullopt;
  setenv("TZ", "UTC0", 1);
  tzset();
  EXPECT_EQ(SavedLogTimeText(1709647629), "2024.03.05 14.07.09");
  if (oldTz) {
    setenv("TZ", oldTz->c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

TEST(SavedLogTest, WriteReplacesTheFileWithTheFormattedLog) {
  test::TempDir dir;
  const std::string path = dir.File("saved.txt");
  std::ofstream(path) << std::string(5000, 'x');  // an older, longer file under the chosen name
  const time_t now = 1709647629;
  ASSERT_TRUE(WriteSavedLog(path, FixtureRows(), now));
  EXPECT_EQ(ReadFile(path), FormatSavedLog(FixtureRows(), SavedLogTimeText(now)));
}

TEST(SavedLogTest, WriteFailsWhenTheFileCannotBeCreated) {
  test::TempDir dir;
  const std::string missingDir = dir.File("missing") + "/saved.txt";
  for (const std::string& path : {dir.Path().string(), missingDir}) {
    EXPECT_FALSE(WriteSavedLog(path, FixtureRows(), 0)) << path;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.File("missing")));
}

}  // namespace
}  // namespace quorvex
