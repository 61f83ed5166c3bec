// Packet-log records: what each builder puts in a record, where records go
// (ring, table, window), the debug-mode switch, and the rows the log views
// show for stored records.
#include "lorawan/LogBuilder.h"

#include <gtest/gtest.h>

#include "persistence/LogManager.h"
#include "runtime/QuorvexApp.h"
#include "support/TempDir.h"

namespace quorvex {
namespace {

class LogBuilderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(app.InitBase(dir.Path().string()));
    ASSERT_TRUE(MakeAddress("10.1.2.3", 1700, gatewayAddr));
    device.PKEY = 42;
    const uint8_t eui[8] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0xAB};
    std::copy(std::begin(eui), std::end(eui), device.DEVEUI);
    RadioMetadata::SetText(meta.freq, "868.1");
    RadioMetadata::SetText(meta.rssi, "-57");
    RadioMetadata::SetText(meta.lsnr, "9.2");
    RadioMetadata::SetText(meta.datr, "SF9BW125");
  }
  // The records waiting in the ring, oldest first.
  std::vector<CLog> Ring() {
    std::vector<CLog> records;
    CLog record;
    while (app.TakeLogRecord(record)) records.push_back(record);
    return records;
  }
  std::vector<LogListRow> Stored(int32_t devPkey = 0) {
    std::vector<LogListRow> rows;
    app.m_LoRaLogMgr.ReadLogPage(rows, devPkey, 0);
    return rows;
  }

  test::TempDir dir;
  CQuorvexApp app;
  SocketAddress gatewayAddr{};
  CDevice device;
  RadioMetadata meta{};
};

TEST_F(LogBuilderTest, UplinkRecordCarriesTheFrameAndIsStored) {
  device.m_UpMType = 4;  // confirmed
  device.m_UpFPort = 2;
  device.m_UpPayload[0] = 0x01;
  device.m_UpPayload[1] = 0x02;
  device.m_UpPayloadLength = 2;
  device.m_UpMac[0] = 0x02;
  device.m_UpMacLength = 1;
  device.RXSEQ = 7;
  LogUplink(app, gatewayAddr, device, meta);

  const auto ring = Ring();
  ASSERT_EQ(ring.size(), 1u);
  const CLog& r = ring[0];
  EXPECT_EQ(r.TYPE, CLog::Uplink);
  EXPECT_EQ(r.DEVPKEY, 42u);
  EXPECT_STREQ(r.DEVEUI, "00112233445566AB");
  EXPECT_EQ(r.PORT, 2);
  EXPECT_EQ(r.CONFIRMED, 1);
  EXPECT_STREQ(r.APPDATA, "01 02");
  EXPECT_STREQ(r.MACDATA, "02");
  EXPECT_EQ(r.COUNT, 7);
  EXPECT_STREQ(r.IP, "10.1.2.3");
  EXPECT_STREQ(r.SF, "SF9BW125");
  EXPECT_EQ(strlen(r.RXTIME), 15u);  // "dd hh:mm:ss mmm"

  const auto rows = Stored();
  ASSERT_EQ(rows.size(), 1u);
  const std::vector<std::string> expected = {"UP-LINK", r.RXTIME, "01 02", "02", "10.1.2.3", "00112233445566AB",
                                             "2",       "CFM",    "868.1", "-57", "9.2",     "9",  "7"};
  EXPECT_EQ(rows[0].columns, expected);
  EXPECT_EQ(rows[0].colour, 0);
}

TEST_F(LogBuilderTest, DownlinkRecordShowsTheClearPayloadOnly) {
  device.m_DownMType = 3;
  device.m_DownFPort = 5;
  device.m_DownPayload[0] = 0xAA;
  device.m_DownPayload[1] = 0xBB;
  device.m_DownPayloadLength = 2;
  device.TXSEQ = 12;
  LogDownlink(app, gatewayAddr, device, meta);
  const auto ring = Ring();
  ASSERT_EQ(ring.size(), 1u);
  EXPECT_STREQ(ring[0].APPDATA, "AA BB");
  EXPECT_EQ(ring[0].PORT, 5);
  EXPECT_EQ(ring[0].CONFIRMED, 0);
  EXPECT_EQ(ring[0].COUNT, 12);
  EXPECT_STREQ(ring[0].SF, "");  // accept and downlink records carry the frequency only
  EXPECT_EQ(Stored()[0].colour, 1);
}

TEST_F(LogBuilderTest, LongPayloadIsCutToItsField) {
  device.m_UpMType = 2;
  device.m_UpPayloadLength = 100;  // 100 bytes -> 299 characters of hex with spaces
  LogUplink(app, gatewayAddr, device, meta);
  const auto ring = Ring();
  ASSERT_EQ(ring.size(), 1u);
  EXPECT_EQ(strlen(ring[0].APPDATA), sizeof(ring[0].APPDATA) - 1);
  EXPECT_EQ(ring[0].CONFIRMED, 0);
}

TEST_F(LogBuilderTest, WithDebugModeOffOnlyDebugRecordsAreMade) {
  app.m_Settings.m_bServerDebug = 0;
  const uint8_t frame[3] = {0x00, 0xAB, 0xCD};
  LogJoin(app, gatewayAddr, device, meta);
  LogDebug(app, gatewayAddr, "JOIN RX DATA : ", frame, 3);
  LogTxFail(app, gatewayAddr, "Tx Fail MSG = x");
  const auto ring = Ring();
  ASSERT_EQ(ring.size(), 1u);
  EXPECT_EQ(ring[0].TYPE, CLog::Debug);
  EXPECT_STREQ(ring[0].APPDATA, "JOIN RX DATA : 00 AB CD");
  EXPECT_EQ(ring[0].DEVPKEY, 0u);
  EXPECT_TRUE(Stored().empty());  // debug records are never stored
}

TEST_F(LogBuilderTest, AcceptAfterSendUsesThePullAddressAndTxFailNamesTheLastDevice) {
  CGateway gateway;
  ASSERT_TRUE(MakeAddress("192.168.7.9", 40000, gateway.m_PullAddr));
  JitRequest request;
  request.m_Device = std::make_unique<CDevice>(device);
  request.m_Device->m_DownMType = 1;
  request.m_Device->m_Gateway = &gateway;
  request.m_Device->m_RxInfo = meta;
  ASSERT_EQ(app.StartServer(), 1);  // installs the after-send notification
  app.m_LoRaJitMgr.NotifyTxSent(request);
  LogTxFail(app, gatewayAddr, "Tx Fail MSG = TOO_LATE");

  const auto rows = Stored(42);  // one device's log: newest first, no DEVEUI column
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].columns.size(), 12u);
  EXPECT_EQ(rows[0].columns[0], "TX-FAIL");
  EXPECT_EQ(rows[0].columns[2], "Tx Fail MSG = TOO_LATE");
  EXPECT_EQ(rows[0].columns[3], "");  // no MAC text
  EXPECT_EQ(rows[0].columns[6], "");  // no CFM text
  EXPECT_EQ(rows[1].columns[0], " ACCEPT");
  EXPECT_EQ(rows[1].columns[2], "JOIN ACCEPT");
  EXPECT_EQ(rows[1].columns[4], "192.168.7.9");
  EXPECT_EQ(rows[1].colour, 2);
  app.StopServer();
}

TEST(LogListRowTest, LabelsAndColoursByType) {
  const struct {
    uint32_t type;
    const char* label;
    const char* app;
    int colourAll;
  } cases[] = {{CLog::TxFail, "TX-FAIL", "text", 2},   {CLog::Join, "  JOIN", "JOIN REQUEST", 0},
               {CLog::Accept, " ACCEPT", "JOIN ACCEPT", 1}, {CLog::Uplink, "UP-LINK", "text", 0},
               {CLog::Downlink, "DN-LINK", "text", 1},  {8, "  JOIN", "text", 2}};  // labels wrap modulo 6
  for (const auto& c : cases) {
    CLog record;
    record.TYPE = c.type;
    SetField(record.APPDATA, "text");
    const LogListRow all = MakeLogListRow(record, true);
    EXPECT_EQ(all.columns[0], c.label) << c.type;
    EXPECT_EQ(all.columns[2], c.app) << c.type;
    EXPECT_EQ(all.colour, c.colourAll) << c.type;
    EXPECT_EQ(all.columns.size(), 13u);
    EXPECT_EQ(MakeLogListRow(record, false).colour, 2);
  }
}

}  // namespace
}  // namespace quorvex
