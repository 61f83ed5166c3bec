// The rows the server log shows for records as they are produced: which
// columns each record type fills, and the row colours.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "persistence/LogManager.h"

namespace quorvex {
namespace {

using Columns = std::vector<std::string>;

// A record with every field set to a distinct text, so that a value shown in
// the wrong column is noticed.
CLog FullRecord(uint32_t type, int32_t confirmed) {
  CLog record;
  record.TYPE = type;
  SetField(record.RXTIME, "03.05 14.07.09");
  SetField(record.APPDATA, "01 02 03");
  SetField(record.MACDATA, "03 07 00");
  SetField(record.IP, "10.0.0.7");
  SetField(record.DEVEUI, "00 11 22 33 44 55 66 77");
  record.PORT = 12;
  record.CONFIRMED = confirmed;
  SetField(record.FREQ, "868.100000");
  SetField(record.RSSI, "-57");
  SetField(record.SNR, "9.5");
  SetField(record.SF, "SF9BW125");
  record.COUNT = 42;
  return record;
}

TEST(LiveLogRowTest, ColumnsAndColourByType) {
  const std::string t = "03.05 14.07.09", ip = "10.0.0.7", eui = "00 11 22 33 44 55 66 77", f = "868.100000";
  const struct {
    uint32_t type;
    int32_t confirmed;
    Columns columns;  // Type, Time, APP, MAC, IP, DEVEUI, Port, CFM, Freq, Rssi, SNR, SF, Count
    int colour;
  } cases[] = {
      {CLog::Debug, 1, {" DEBUG", t, "01 02 03", "", ip, "", "", "", "", "", "", "", ""}, 2},
      {CLog::TxFail, 1, {"TX-FAIL", t, "01 02 03", "", ip, "", "", "", "", "", "", "", ""}, 0},
      {CLog::Join, 1, {"  JOIN", t, "JOIN REQUEST", "", ip, eui, "", "", f, "-57", "9.5", "9", ""}, 0},
      {CLog::Accept, 1, {" ACCEPT", t, "JOIN ACCEPT", "", ip, eui, "", "", f, "", "", "", ""}, 1},
      {CLog::Uplink, 1, {"UP-LINK", t, "01 02 03", "03 07 00", ip, eui, "12", "CFM", f, "-57", "9.5", "9", "42"}, 0},
      {CLog::Uplink, 0, {"UP-LINK", t, "01 02 03", "03 07 00", ip, eui, "12", "UFM", f, "-57", "9.5", "9", "42"}, 0},
      {CLog::Downlink, 1, {"DN-LINK", t, "01 02 03", "03 07 00", ip, eui, "12", "CFM", f, "", "", "", "42"}, 1},
      {CLog::Downlink, 0, {"DN-LINK", t, "01 02 03", "03 07 00", ip, eui, "12", "UFM", f, "", "", "", "42"}, 1},
      // Never produced: the label alone, unlike the stored rows, which wrap the type.
      {7, 1, {LogTypeLabel(7), "", "", "", "", "", "", "", "", "", "", "", ""}, 1},
  };
  for (const auto& c : cases) {
    const LogListRow row = MakeLiveLogRow(FullRecord(c.type, c.confirmed));
    EXPECT_EQ(row.columns, c.columns) << "type " << c.type << " confirmed " << c.confirmed;
    EXPECT_EQ(row.colour, c.colour) << "type " << c.type;
  }
}

TEST(LiveLogRowTest, FullFieldsWithoutTerminatorAreReadToTheirEndOnly) {
  CLog record;
  record.TYPE = CLog::Uplink;  // shows every text field
  std::memset(record.DEVEUI, 'E', sizeof record.DEVEUI);
  std::memset(record.RXTIME, 'T', sizeof record.RXTIME);
  std::memset(record.MACDATA, 'M', sizeof record.MACDATA);
  std::memset(record.APPDATA, 'A', sizeof record.APPDATA);
  std::memset(record.IP, 'I', sizeof record.IP);
  std::memset(record.FREQ, 'F', sizeof record.FREQ);
  std::memset(record.RSSI, 'R', sizeof record.RSSI);
  std::memset(record.SNR, 'N', sizeof record.SNR);
  std::memset(record.SF, '9', sizeof record.SF - 1);
  record.SF[sizeof record.SF - 1] = 'B';  // the datarate's bandwidth mark, in the last byte

  const Columns& c = MakeLiveLogRow(record).columns;
  ASSERT_EQ(c.size(), 13u);
  EXPECT_EQ(c[1], std::string(sizeof record.RXTIME, 'T'));
  EXPECT_EQ(c[2], std::string(sizeof record.APPDATA, 'A'));
  EXPECT_EQ(c[3], std::string(sizeof record.MACDATA, 'M'));
  EXPECT_EQ(c[4], std::string(sizeof record.IP, 'I'));
  EXPECT_EQ(c[5], std::string(sizeof record.DEVEUI, 'E'));
  EXPECT_EQ(c[8], std::string(sizeof record.FREQ, 'F'));
  EXPECT_EQ(c[9], std::string(sizeof record.RSSI, 'R'));
  EXPECT_EQ(c[10], std::string(sizeof record.SNR, 'N'));
  EXPECT_EQ(c[11], std::string(sizeof record.SF - 1, '9'));
}

}  // namespace
}  // namespace quorvex
