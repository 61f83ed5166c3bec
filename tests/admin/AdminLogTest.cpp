// quorvex-admin's packet-log commands on a real database file: a fixture of
// log rows over a month's end (two devices, a debug record, a text with a
// comma, quotes, a line break and an escape character), exported and cleared
// in process with a fixed current time, and the file checked afterwards with
// a raw SQLite connection of its own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/json.h>

#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "admin/AdminAnswer.h"
#include "admin/AdminTool.h"
#include "persistence/DbFixture.h"
#include "persistence/DbManager.h"
#include "persistence/LogManager.h"
#include "persistence/SavedLog.h"
#include "support/TempDir.h"

namespace quorvex::test {
namespace {

using admin::kExitDone;
using admin::kExitRefused;
using admin::kExitUsage;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

constexpr char kDeviceA[] = "0011223344556601";
constexpr char kDeviceB[] = "0011223344556602";
constexpr char kAwkwardText[] = "say \"hi\", then\nbye\x1B";

// Noon of 2 March 2026, local time: the rows below are dated counting back
// from this day, over the end of February.
time_t FixtureNow() {
  std::tm local{};
  local.tm_year = 2026 - 1900;
  local.tm_mon = 2;
  local.tm_mday = 2;
  local.tm_hour = 12;
  local.tm_isdst = -1;
  return mktime(&local);
}

CLog Record(CLog::Type type, const char* rxTime, const char* devEui, uint32_t devKey, const char* appData) {
  CLog record;
  record.TYPE = type;
  record.DEVPKEY = devKey;
  SetField(record.RXTIME, rxTime);
  SetField(record.DEVEUI, devEui);
  SetField(record.APPDATA, appData);
  SetField(record.MACDATA, "03 07");
  SetField(record.IP, "10.0.0.7:1700");
  SetField(record.FREQ, "868.100000");
  SetField(record.SF, "SF9BW125");
  record.PORT = 12;
  record.COUNT = 42;
  return record;
}

// The fixture's rows; their keys are 1, 2, ... in this order.
std::vector<CLog> FixtureRecords() {
  return {Record(CLog::Uplink, "27 08:00:00 000", kDeviceA, 1, "01 02"),          // 2026-02-27
          Record(CLog::Debug, "28 23:59:59 999", "", 0, "debug text"),            // 2026-02-28
          Record(CLog::Uplink, "01 00:00:00 000", kDeviceB, 2, kAwkwardText),     // 2026-03-01
          Record(CLog::Join, "01 12:30:00 500", kDeviceA, 1, ""),                 // 2026-03-01
          Record(CLog::Downlink, "02 09:15:00 000", kDeviceA, 1, "AA BB"),        // 2026-03-02
          Record(CLog::Accept, "02 11:00:00 000", kDeviceB, 2, "")};              // 2026-03-02
}

// The records of an RFC 4180 text: fields split at commas outside quotes,
// records at CRLF outside quotes, "" inside quotes a quote.
std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
      fields.back() += '"';
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == ',') {
      fields.emplace_back();
    } else if (!quoted && c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      records.push_back(fields);
      fields.assign(1, std::string());
      ++i;
    } else {
      fields.back() += c;
    }
  }
  EXPECT_FALSE(quoted) << "an unterminated quote";
  EXPECT_EQ(fields, std::vector<std::string>(1)) << "the last record lacks its line end";
  return records;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class AdminLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CDbManager db;
    db.Open(dir.Path().string());
    ASSERT_TRUE(db.IsOpen());
    for (const CLog& record : FixtureRecords()) {
      int32_t result = 0;
      ASSERT_EQ(db.InsertLogRow(record, result), 0) << result;
    }
  }

  Answer Run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--data-dir", dir.Path().string()});
    std::ostringstream out, err;
    Answer answer;
    answer.code = admin::RunAdminAt(args, out, err, FixtureNow());
    answer.out = out.str();
    answer.err = err.str();
    return answer;
  }

  // The PKEY column of a CSV export.
  std::vector<std::string> ExportedKeys(const std::vector<std::string>& options) {
    std::vector<std::string> args = {"log", "export"};
    args.insert(args.end(), options.begin(), options.end());
    const Answer answer = Run(args);
    EXPECT_EQ(answer.code, kExitDone) << answer.err;
    const auto records = ParseCsv(answer.out);
    std::vector<std::string> keys;
    for (size_t i = 1; i < records.size(); ++i) keys.push_back(records[i].at(0));
    return keys;
  }

  std::vector<std::string> StoredKeys() {
    RawDb raw(dir.File(CDbManager::kFileName));
    return raw.Column("SELECT PKEY FROM LOGTBL ORDER BY PKEY");
  }

  TempDir dir;
};

struct SelectionCase {
  const char* what;
  std::vector<std::string> options;
  std::vector<std::string> keys;
};

// Device and time filters, alone and together, with the debug record left
// out unless asked for; --from includes its time and --to excludes its own.
TEST_F(AdminLogTest, ExportSelectsByDeviceTimeAndDebug) {
  const SelectionCase cases[] = {
      {"every row but the debug record", {}, {"1", "3", "4", "5", "6"}},
      {"with the debug record", {"--with-debug"}, {"1", "2", "3", "4", "5", "6"}},
      {"one device", {"--device", kDeviceA}, {"1", "4", "5"}},
      {"a spaced lower-case EUI", {"--device", "00 11 22 33 44 55 66 02"}, {"3", "6"}},
      {"a device with no rows", {"--device", "0011223344556699"}, {}},
      {"from a day over the month's end", {"--from", "2026-03-01"}, {"3", "4", "5", "6"}},
      {"to a day, excluded", {"--to", "2026-03-01", "--with-debug"}, {"1", "2"}},
      {"from a second, included", {"--from", "2026-02-28T23:59:59", "--with-debug"}, {"2", "3", "4", "5", "6"}},
      {"a range of minutes", {"--from", "2026-03-01T12:30", "--to", "2026-03-02T11:00"}, {"4", "5"}},
      {"a device in a range", {"--device", kDeviceB, "--from", "2026-03-01 00:00:01"}, {"6"}},
      {"before every row", {"--to", "2026-02-01"}, {}},
  };
  for (const SelectionCase& c : cases) {
    EXPECT_THAT(ExportedKeys(c.options), ElementsAreArray(c.keys)) << c.what;
  }
}

// The header names the columns, and a text with a comma, quotes, a line
// break and an escape character reads back whole from its one quoted field,
// the escape character written as text so that it cannot act on a terminal.
TEST_F(AdminLogTest, ExportCsvQuotesAwkwardFields) {
  const Answer answer = Run({"log", "export", "--device", kDeviceB});
  ASSERT_EQ(answer.code, kExitDone) << answer.err;
  EXPECT_THAT(answer.out, HasSubstr("\"say \"\"hi\"\", then\nbye\\x1B\""));
  const auto records = ParseCsv(answer.out);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_THAT(records[0], ElementsAreArray({"PKEY", "DEVPKEY", "TYPE", "RXTIME", "MACDATA", "APPDATA", "IP", "DEVEUI",
                                            "PORT", "CONFIRMED", "FREQ", "RSSI", "SNR", "SF", "COUNT"}));
  EXPECT_THAT(records[1], ElementsAreArray({"3", "2", "UP-LINK", "01 00:00:00 000", "03 07",
                                            "say \"hi\", then\nbye\\x1B", "10.0.0.7:1700", kDeviceB, "12", "0",
                                            "868.100000", "", "", "SF9BW125", "42"}));
  EXPECT_EQ(records[2].at(2), "ACCEPT");
}

struct TextCase {
  const char* what;
  std::vector<std::string> options;
  std::vector<size_t> records;  // indexes into FixtureRecords
  bool allDevices;
};

// The text export is the file the window's Save writes for the same rows:
// the all-devices columns, or one device's columns with --device. A line
// break inside a text is escaped, so that every row stays one line.
TEST_F(AdminLogTest, ExportTextIsTheSavedLogOfTheListRows) {
  const TextCase cases[] = {
      {"all devices", {}, {0, 2, 3, 4, 5}, true},
      {"one device", {"--device", kDeviceA}, {0, 3, 4}, false},
  };
  const std::vector<CLog> fixture = FixtureRecords();
  for (const TextCase& c : cases) {
    std::vector<std::string> args = {"log", "export", "--format", "text"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const Answer answer = Run(args);
    ASSERT_EQ(answer.code, kExitDone) << c.what << answer.err;
    std::vector<std::vector<std::string>> rows;
    for (size_t index : c.records) rows.push_back(MakeLogListRow(fixture[index], c.allDevices).columns);
    if (c.allDevices) rows[1][2] = "say \"hi\", then\\x0Abye\\x1B";
    EXPECT_EQ(answer.out, FormatSavedLog(rows, SavedLogTimeText(FixtureNow()))) << c.what;
  }
}

// With --out the rows go to the file, the same bytes as on stdout, and
// --json tells how many went where.
TEST_F(AdminLogTest, ExportToFileWithJsonSummary) {
  const std::string path = dir.File("log.csv");
  const Answer toFile = Run({"--json", "log", "export", "--out", path});
  ASSERT_EQ(toFile.code, kExitDone) << toFile.err;
  const Json::Value summary = ParseJson(toFile.out);
  EXPECT_TRUE(summary["ok"].asBool());
  EXPECT_EQ(summary["rows"].asInt(), 5);
  EXPECT_EQ(summary["file"].asString(), path);
  EXPECT_EQ(ReadFile(path), Run({"log", "export"}).out);
}

TEST_F(AdminLogTest, ExportRefusesAFileItCannotWrite) {
  const std::string path = dir.File("no-such-folder/log.csv");
  const Answer answer = Run({"log", "export", "--out", path});
  EXPECT_EQ(answer.code, kExitRefused);
  EXPECT_THAT(answer.err, HasSubstr("cannot write " + path));
  EXPECT_EQ(answer.out, "");
}

struct BadValueCase {
  std::vector<std::string> args;
  const char* option;
};

// A bad value is a usage error naming its option, and nothing is written or deleted.
TEST_F(AdminLogTest, BadOptionValuesAreUsageErrorsNamingTheOption) {
  const BadValueCase cases[] = {
      {{"log", "export", "--format", "xml"}, "--format"},
      {{"log", "export", "--device", "00112233"}, "--device"},
      {{"log", "export", "--device", "1"}, "--device"},
      {{"log", "export", "--from", "2026-02-30"}, "--from"},
      {{"log", "export", "--from", "2026-03-01T24:00"}, "--from"},
      {{"log", "export", "--to", "yesterday"}, "--to"},
      {{"log", "export", "--to", "2026-03-01T10:00:00Z"}, "--to"},
      {{"log", "export", "--from", "2026-03-02", "--to", "2026-03-01"}, "--from"},
      {{"log", "export", "--colour", "red"}, "--colour"},
      {{"log", "clear", "--before", "2026-3-1T09:60", "--yes"}, "--before"},
      {{"log", "clear", "--to", "2026-03-01", "--yes"}, "--to"},
  };
  for (const BadValueCase& c : cases) {
    const Answer answer = Run(c.args);
    EXPECT_EQ(answer.code, kExitUsage) << c.option;
    EXPECT_THAT(answer.err, HasSubstr(c.option));
    EXPECT_EQ(answer.out, "") << c.option;
  }
  EXPECT_EQ(StoredKeys().size(), 6u);
}

// Without --yes nothing goes: the refusal says how many rows would.
TEST_F(AdminLogTest, ClearWithoutYesRefusesAndDeletesNothing) {
  const Answer all = Run({"log", "clear"});
  EXPECT_EQ(all.code, kExitRefused);
  EXPECT_THAT(all.err, HasSubstr("would delete 6 rows"));
  EXPECT_THAT(all.err, HasSubstr("--yes"));

  const Answer older = Run({"--json", "log", "clear", "--before", "2026-03-01T12:30"});
  EXPECT_EQ(older.code, kExitRefused);
  const Json::Value refusal = ParseJson(older.out);
  EXPECT_FALSE(refusal["ok"].asBool());
  EXPECT_THAT(refusal["message"].asString(), HasSubstr("would delete 3 rows"));
  EXPECT_EQ(StoredKeys().size(), 6u);
}

struct ClearCase {
  const char* what;
  std::vector<std::string> options;
  int deleted;
  std::vector<std::string> kept;
};

// --before deletes the rows logged before its time (the debug record too)
// and keeps the rest; without it every row goes.
TEST_F(AdminLogTest, ClearDeletesTheOlderRows) {
  const ClearCase cases[] = {
      {"before nothing", {"--before", "2026-02-01"}, 0, {"1", "2", "3", "4", "5", "6"}},
      {"before a time over the month's end", {"--before", "2026-03-01T12:30"}, 3, {"4", "5", "6"}},
      {"everything", {}, 3, {}},
  };
  for (const ClearCase& c : cases) {
    std::vector<std::string> args = {"--json", "log", "clear", "--yes"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const Answer answer = Run(args);
    ASSERT_EQ(answer.code, kExitDone) << c.what << answer.err;
    const Json::Value result = ParseJson(answer.out);
    EXPECT_TRUE(result["ok"].asBool()) << c.what;
    EXPECT_EQ(result["deleted"].asInt(), c.deleted) << c.what;
    EXPECT_THAT(StoredKeys(), ElementsAreArray(c.kept)) << c.what;
  }
}

// A log larger than one deletion step is cleared whole, step after step.
TEST_F(AdminLogTest, ClearTakesAsManyStepsAsTheLogNeeds) {
  {
    RawDb raw(dir.File(CDbManager::kFileName));
    ASSERT_EQ(raw.Exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 4500) "
                       "INSERT INTO LOGTBL (TYPE, RXTIME) SELECT 4, '02 11:30:00 000' FROM n"),
              SQLITE_OK);
  }
  const Answer answer = Run({"log", "clear", "--yes"});
  ASSERT_EQ(answer.code, kExitDone) << answer.err;
  EXPECT_EQ(answer.out, "deleted 4506 rows of the packet log\n");
  EXPECT_TRUE(StoredKeys().empty());
}

}  // namespace
}  // namespace quorvex::test
