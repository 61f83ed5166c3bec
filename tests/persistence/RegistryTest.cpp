// The application list and the device registry: rows to records and back,
// the reading rules for odd rows (negative ints, nulls, short or long blobs,
// long texts, missing columns), the refusals and the list bookkeeping.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "persistence/AppList.h"
#include "persistence/DbFixture.h"
#include "persistence/DeviceManager.h"

namespace quorvex {
namespace {

using test::DbTest;
using test::RawDb;

std::unique_ptr<CApplication> MakeApp(uint8_t euiFirst, const char* memo) {
  auto app = std::make_unique<CApplication>();
  app->ACTIVATION = 1;
  app->CLASS = 1;
  app->ADR = 1;
  app->CHMASK = 0xFF00;
  for (int i = 0; i < 8; ++i) app->APPEUI[i] = static_cast<uint8_t>(euiFirst + i);
  app->RX2CHAN = 921900000;
  app->RX2SF = 5;
  app->RX2BW = 2;
  SetField(app->APPURL, "http://as.example:8080");
  SetField(app->APPPARM, "/up/appeui/deveui/devaddr");
  SetField(app->MEMO, memo);
  return app;
}

std::unique_ptr<CDevice> MakeDevice(int32_t apKey, uint8_t euiFirst, uint32_t devAddr) {
  auto dev = std::make_unique<CDevice>();
  dev->APKEY = apKey;
  dev->GPKEY = 3;
  dev->JOINED = 1;
  for (int i = 0; i < 8; ++i) dev->DEVEUI[i] = static_cast<uint8_t>(euiFirst + i);
  dev->DEVADDR = devAddr;
  dev->NETWORKID = 0xFFFFFF13u;
  for (int i = 0; i < 16; ++i) {
    dev->APPKEY[i] = static_cast<uint8_t>(0x10 + i);
    dev->APPSKEY[i] = static_cast<uint8_t>(0x40 + i);
    dev->NETSKEY[i] = static_cast<uint8_t>(0x80 + i);
  }
  dev->TXSEQ = -1;
  dev->RXSEQ = -1;
  dev->ADR = 2;
  dev->ADRCNT = 7;
  dev->ADRPWR = 1;
  dev->PWRREQ = 1;
  dev->ADRSF = 9;
  dev->NBGATE = 2;
  dev->RXTICK = 0x123456789ALL;
  SetField(dev->MEMO, "sensor");
  return dev;
}

void ExpectSameRow(const CDeviceRow& a, const CDeviceRow& b) {
  EXPECT_EQ(a.PKEY, b.PKEY);
  EXPECT_EQ(a.APKEY, b.APKEY);
  EXPECT_EQ(a.GPKEY, b.GPKEY);
  EXPECT_EQ(a.JOINED, b.JOINED);
  EXPECT_EQ(0, memcmp(a.DEVEUI, b.DEVEUI, 8));
  EXPECT_EQ(a.DEVADDR, b.DEVADDR);
  EXPECT_EQ(a.NETWORKID, b.NETWORKID);
  EXPECT_EQ(0, memcmp(a.APPKEY, b.APPKEY, 16));
  EXPECT_EQ(0, memcmp(a.APPSKEY, b.APPSKEY, 16));
  EXPECT_EQ(0, memcmp(a.NETSKEY, b.NETSKEY, 16));
  EXPECT_EQ(a.TXSEQ, b.TXSEQ);
  EXPECT_EQ(a.RXSEQ, b.RXSEQ);
  EXPECT_EQ(a.ADR, b.ADR);
  EXPECT_EQ(a.ADRCNT, b.ADRCNT);
  EXPECT_EQ(a.ADRPWR, b.ADRPWR);
  EXPECT_EQ(a.PWRREQ, b.PWRREQ);
  EXPECT_EQ(a.ADRSF, b.ADRSF);
  EXPECT_EQ(a.NBGATE, b.NBGATE);
  EXPECT_EQ(a.RXTICK, b.RXTICK);
  EXPECT_STREQ(a.MEMO, b.MEMO);
}

TEST(RecordDefaults, FreshRecordsAreZeroWithTheirInitialKeys) {
  const CApplication app;
  const CDevice dev;
  EXPECT_EQ(app.PKEY, -1);
  EXPECT_EQ(app.RX2CHAN, 0);
  EXPECT_EQ(dev.PKEY, -1);
  EXPECT_EQ(dev.TXSEQ, 0);
  EXPECT_EQ(dev.RXSEQ, 0);
  EXPECT_EQ(dev.m_DownMType, 0);
}

TEST_F(DbTest, ApplicationsRoundTripAndKeepTheirListOrder) {
  CAppList apps(db);
  ASSERT_EQ(apps.InsertApplication(MakeApp(0x70, "second")), 0);
  ASSERT_EQ(apps.InsertApplication(MakeApp(0x10, "first")), 0);
  EXPECT_EQ(apps.m_Result, SQLITE_DONE);
  EXPECT_EQ(apps.m_List[0]->PKEY, 1);
  EXPECT_EQ(apps.m_List[1]->PKEY, 2);

  // The edit: the record stays where it is, the row takes its new fields.
  apps.m_List[0]->RX2SF = 0;
  SetField(apps.m_List[0]->APPURL, "");
  ASSERT_EQ(apps.UpdateApplication(apps.m_List[0].get()), 0);

  CAppList loaded(db);
  ASSERT_EQ(loaded.LoadApplications(), 0);
  ASSERT_EQ(loaded.m_List.size(), 2u);
  EXPECT_STREQ(loaded.m_List[0]->MEMO, "first");  // APPEUI order
  const CApplication& second = *loaded.m_List[1];
  const CApplication& expected = *apps.m_List[0];
  EXPECT_EQ(second.PKEY, 1);
  EXPECT_EQ(second.ACTIVATION, expected.ACTIVATION);
  EXPECT_EQ(second.CLASS, expected.CLASS);
  EXPECT_EQ(second.ADR, expected.ADR);
  EXPECT_EQ(second.CHMASK, 0xFF00);
  EXPECT_EQ(0, memcmp(second.APPEUI, expected.APPEUI, 8));
  EXPECT_EQ(second.RX2CHAN, 921900000);
  EXPECT_EQ(second.RX2SF, 0);
  EXPECT_EQ(second.RX2BW, 2);
  EXPECT_STREQ(second.APPURL, "");
  EXPECT_STREQ(second.APPPARM, "/up/appeui/deveui/devaddr");

  // A new application stands last, out of APPEUI order, until reloaded.
  ASSERT_EQ(loaded.InsertApplication(MakeApp(0x01, "third")), 0);
  EXPECT_STREQ(loaded.m_List.back()->MEMO, "third");

  CApplication copy;
  EXPECT_TRUE(loaded.CopyApplication(2, copy));
  EXPECT_STREQ(copy.MEMO, "first");
  const uint8_t eui[8] = {0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77};
  EXPECT_TRUE(loaded.CopyApplicationByEui(eui, copy));
  EXPECT_EQ(copy.PKEY, 1);
  EXPECT_EQ(loaded.FindApplication(3), loaded.m_List.back().get());
  EXPECT_EQ(loaded.FindApplication(99), nullptr);
  EXPECT_FALSE(loaded.CopyApplication(99, copy));

  EXPECT_EQ(loaded.DeleteApplication(2), 0);
  EXPECT_EQ(loaded.FindApplication(2), nullptr);
  EXPECT_EQ(loaded.m_List.size(), 2u);
  RawDb raw(DbPath());
  EXPECT_EQ(raw.Column("SELECT PKEY FROM APPTBL ORDER BY PKEY"), (std::vector<std::string>{"1", "3"}));
}

TEST_F(DbTest, DevicesRoundTripThroughEveryLookup) {
  CDeviceManager devices(db);
  ASSERT_EQ(devices.InsertDevice(MakeDevice(1, 0xA0, 0xFC00AB12u)), 0);
  ASSERT_EQ(devices.InsertDevice(MakeDevice(1, 0x20, 0x26011234u)), 0);
  ASSERT_EQ(devices.InsertDevice(MakeDevice(2, 0x30, 0x26015678u)), 0);
  const CDevice stored = *devices.m_Devices[0];
  EXPECT_EQ(stored.PKEY, 1);

  std::unique_ptr<CDevice> lookups[] = {devices.GetDeviceByPkey(1), devices.GetDeviceByEui(stored.DEVEUI),
                                        devices.GetDeviceByAddr(0xFC00AB12u)};
  for (const auto& found : lookups) {
    ASSERT_NE(found, nullptr);
    ExpectSameRow(*found, stored);  // -1 counters, top-bit address and 64-bit tick kept
  }
  uint8_t reversed[8];
  for (int i = 0; i < 8; ++i) reversed[i] = stored.DEVEUI[7 - i];
  EXPECT_EQ(devices.GetDeviceByEui(reversed), nullptr);
  EXPECT_EQ(devices.GetDeviceByAddr(0x12AB00FCu), nullptr);
  EXPECT_EQ(devices.GetDeviceByPkey(99), nullptr);
  EXPECT_EQ(devices.m_Result, SQLITE_OK);  // not found is not a failure

  // A save writes the whole stored part of the record.
  auto device = devices.GetDeviceByAddr(0xFC00AB12u);
  device->RXSEQ = 0;
  device->TXSEQ = 65535;
  device->JOINED = 0;
  SetField(device->MEMO, "");
  ASSERT_EQ(devices.UpdateDevice(device.get()), 0);
  ExpectSameRow(*devices.GetDeviceByPkey(1), *device);

  ASSERT_EQ(devices.LoadDevices(1), 0);
  ASSERT_EQ(devices.m_Devices.size(), 2u);
  EXPECT_EQ(devices.m_Devices[0]->PKEY, 2);  // DEVEUI order
  EXPECT_EQ(devices.m_Devices[1]->PKEY, 1);
  ASSERT_EQ(devices.LoadDevices(9), 0);  // an application without devices
  EXPECT_TRUE(devices.m_Devices.empty());
}

// Rows written by another program: each column's odd value and what the
// record holds after reading it.
TEST_F(DbTest, OddDeviceColumnsReadByTheirRules) {
  struct Case {
    const char* column;
    const char* stored;
    int64_t expected;
  };
  const Case cases[] = {
      {"GPKEY", "-5", 0},          {"NBGATE", "-3", 0},       {"ADRCNT", "-1", 0},
      {"TXSEQ", "-1", -1},         {"RXSEQ", "-1", -1},       {"TXSEQ", "-2", 0},
      {"RXSEQ", "-70000", 0},      {"JOINED", "NULL", 0},     {"DEVADDR", "-1", 0xFFFFFFFF},
      // Frame counters: 16-bit values as older programs wrote them, all 32
      // bits, and nothing wider.
      {"TXSEQ", "65535", 0xFFFF},  {"RXSEQ", "4294967295", 0xFFFFFFFF},
      {"TXSEQ", "65536", 0x10000}, {"RXSEQ", "4294967296", 0xFFFFFFFF},
      {"NETWORKID", "-2147483648", 0x80000000},               {"RXTICK", "-42", -42},
      {"APKEY", "'12abc'", 12},  // text in an int column: its leading number
  };
  CDeviceManager devices(db);
  RawDb raw(DbPath());
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.column) + " = " + c.stored);
    ASSERT_EQ(raw.Exec("DELETE FROM DEVTBL; INSERT INTO DEVTBL (PKEY, " + std::string(c.column) + ") VALUES (1, " +
                       c.stored + ");"),
              SQLITE_OK);
    auto dev = devices.GetDeviceByPkey(1);
    ASSERT_NE(dev, nullptr);
    const std::string column = c.column;
    const int64_t value = column == "GPKEY"       ? dev->GPKEY
                          : column == "NBGATE"    ? dev->NBGATE
                          : column == "ADRCNT"    ? dev->ADRCNT
                          : column == "TXSEQ"     ? dev->TXSEQ
                          : column == "RXSEQ"     ? dev->RXSEQ
                          : column == "JOINED"    ? dev->JOINED
                          : column == "DEVADDR"   ? int64_t(dev->DEVADDR)
                          : column == "NETWORKID" ? int64_t(dev->NETWORKID)
                          : column == "RXTICK"    ? dev->RXTICK
                                                  : dev->APKEY;
    EXPECT_EQ(value, c.expected);
  }
}

TEST_F(DbTest, BlobsAndTextsNeverOverrunTheirFields) {
  RawDb raw(DbPath());
  const std::string longText(300, 'm');
  ASSERT_EQ(raw.Exec("INSERT INTO DEVTBL (PKEY, DEVEUI, APPKEY, APPSKEY, NETSKEY, MEMO) VALUES (1, x'0102', "
                     "x'00112233445566778899AABBCCDDEEFF0102030405', zeroblob(0), NULL, '" +
                     longText + "');"
                     "INSERT INTO APPTBL (PKEY, APPEUI, APPURL, APPPARM, MEMO) VALUES (1, x'0102030405060708090A', '" +
                     longText + "', NULL, 'abc');"),
            SQLITE_OK);
  CDeviceManager devices(db);
  auto dev = devices.GetDeviceByPkey(1);
  ASSERT_NE(dev, nullptr);
  const uint8_t eui[8] = {1, 2, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(0, memcmp(dev->DEVEUI, eui, 8));
  const uint8_t key[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                           0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
  EXPECT_EQ(0, memcmp(dev->APPKEY, key, 16));
  const uint8_t zero[16] = {};
  EXPECT_EQ(0, memcmp(dev->APPSKEY, zero, 16));
  EXPECT_EQ(0, memcmp(dev->NETSKEY, zero, 16));
  EXPECT_EQ(std::string(dev->MEMO), longText.substr(0, sizeof dev->MEMO - 1));
  EXPECT_EQ(dev->m_DownMType, 0);  // the field after MEMO

  CAppList apps(db);
  ASSERT_EQ(apps.LoadApplications(), 0);
  ASSERT_EQ(apps.m_List.size(), 1u);
  const CApplication& app = *apps.m_List[0];
  const uint8_t appEui[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(0, memcmp(app.APPEUI, appEui, 8));
  // A cut server address would post to another server: it is not used.
  EXPECT_STREQ(app.APPURL, "");
  EXPECT_STREQ(app.APPPARM, "");
  EXPECT_STREQ(app.MEMO, "abc");

  // Likewise when only the path is too long; an address that fits is kept.
  ASSERT_EQ(raw.Exec("INSERT INTO APPTBL (PKEY, APPURL, APPPARM) VALUES (2, 'http://a.example', '/" + longText +
                     "'), (3, 'http://b.example', '/up');"),
            SQLITE_OK);
  CAppList more(db);
  ASSERT_EQ(more.LoadApplications(), 0);
  CApplication copy;
  ASSERT_TRUE(more.CopyApplication(2, copy));
  EXPECT_STREQ(copy.APPURL, "");
  ASSERT_TRUE(more.CopyApplication(3, copy));
  EXPECT_STREQ(copy.APPURL, "http://b.example");
  EXPECT_STREQ(copy.APPPARM, "/up");
}

TEST(RegistryMissingColumns, FieldsWithoutAColumnKeepTheirInitialValues) {
  test::TempDir dir;
  {
    RawDb raw(dir.File(CDbManager::kFileName));
    // The key column under another name, no CHMASK, no TXSEQ and no MEMO.
    ASSERT_EQ(raw.Exec("CREATE TABLE APPTBL (ID INTEGER PRIMARY KEY, CLASS INTEGER, APPEUI BLOB, MEMO TEXT);"
                       "INSERT INTO APPTBL (CLASS, MEMO) VALUES (1, 'old');"
                       "CREATE TABLE DEVTBL (PKEY INTEGER PRIMARY KEY, APKEY INTEGER, DEVEUI BLOB, RXSEQ INTEGER);"
                       "INSERT INTO DEVTBL (APKEY, RXSEQ) VALUES (4, 17);"),
              SQLITE_OK);
  }
  CDbManager db;
  db.Open(dir.Path().string());
  CAppList apps(db);
  ASSERT_EQ(apps.LoadApplications(), 0);
  ASSERT_EQ(apps.m_List.size(), 1u);
  EXPECT_EQ(apps.m_List[0]->PKEY, -1);
  EXPECT_EQ(apps.m_List[0]->CHMASK, 0);
  EXPECT_EQ(apps.m_List[0]->CLASS, 1);
  EXPECT_STREQ(apps.m_List[0]->MEMO, "old");

  CDeviceManager devices(db);
  auto dev = devices.GetDeviceByPkey(1);
  ASSERT_NE(dev, nullptr);
  EXPECT_EQ(dev->APKEY, 4);
  EXPECT_EQ(dev->RXSEQ, 17);
  EXPECT_EQ(dev->TXSEQ, 0);
  EXPECT_STREQ(dev->MEMO, "");
  // Writing needs every column: the statement fails, the record still joins the list.
  EXPECT_EQ(devices.InsertDevice(MakeDevice(4, 1, 1)), 2);
  EXPECT_EQ(devices.m_Devices.back()->PKEY, -1);
}

// Refused arguments answer 3, run no statement and leave the last result.
TEST_F(DbTest, RefusedWritesRunNoStatement) {
  CAppList apps(db);
  CDeviceManager devices(db);
  ASSERT_EQ(apps.InsertApplication(MakeApp(1, "a")), 0);
  ASSERT_EQ(devices.InsertDevice(MakeDevice(1, 1, 1)), 0);
  apps.m_Result = 12345;
  devices.m_Result = 12345;

  CApplication app = *apps.m_List[0];
  app.PKEY = 0;
  SetField(app.MEMO, "changed");
  CDevice dev = *devices.m_Devices[0];
  dev.PKEY = 0;
  EXPECT_EQ(apps.UpdateApplication(&app), 3);
  EXPECT_EQ(apps.UpdateApplication(nullptr), 3);
  EXPECT_EQ(devices.UpdateDevice(&dev), 3);
  EXPECT_EQ(devices.UpdateDevice(nullptr), 3);
  EXPECT_EQ(apps.m_Result, 12345);
  EXPECT_EQ(devices.m_Result, 12345);

  EXPECT_EQ(apps.InsertApplication(nullptr), 3);
  EXPECT_EQ(apps.m_List.size(), 1u);
  EXPECT_EQ(devices.InsertDevice(nullptr), 3);
  EXPECT_EQ(devices.m_Devices.size(), 1u);
  RawDb raw(DbPath());
  EXPECT_EQ(raw.Scalar("SELECT MEMO FROM APPTBL"), "a");
  EXPECT_EQ(raw.Scalar("SELECT COUNT(*) FROM DEVTBL"), "1");
}

TEST_F(DbTest, FailedStatementsKeepTheDeviceListAsItWas) {
  CDeviceManager devices(db);
  ASSERT_EQ(devices.InsertDevice(MakeDevice(1, 1, 1)), 0);
  ASSERT_EQ(devices.LoadDevices(1), 0);
  ASSERT_EQ(devices.m_Devices.size(), 1u);

  RawDb raw(DbPath());
  ASSERT_EQ(raw.Exec("DROP TABLE DEVTBL"), SQLITE_OK);
  EXPECT_EQ(devices.LoadDevices(1), 2);
  EXPECT_NE(devices.m_Result, 0);
  EXPECT_EQ(devices.m_Devices.size(), 1u);
  EXPECT_EQ(devices.GetDeviceByPkey(1), nullptr);
  EXPECT_NE(devices.m_Result, 0);  // the caller can tell a failure from a miss
  EXPECT_EQ(devices.InsertDevice(MakeDevice(1, 2, 2)), 2);
  EXPECT_EQ(devices.m_Devices.size(), 2u);
  EXPECT_EQ(devices.m_Devices.back()->PKEY, -1);
  // The device deletions still remove the records from memory.
  EXPECT_EQ(devices.DeleteDevice(1), 2);
  EXPECT_EQ(devices.m_Devices.size(), 1u);
}

TEST_F(DbTest, DeviceDeletionsRemoveRowsAndRecords) {
  CDeviceManager devices(db);
  for (uint8_t i = 1; i <= 3; ++i) ASSERT_EQ(devices.InsertDevice(MakeDevice(1, i, i)), 0);
  ASSERT_EQ(devices.InsertDevice(MakeDevice(2, 9, 9)), 0);
  ASSERT_EQ(devices.DeleteDevice(2), 0);
  EXPECT_EQ(devices.m_Devices.size(), 3u);
  ASSERT_EQ(devices.DeleteDevicesOfApplication(1), 0);
  ASSERT_EQ(devices.m_Devices.size(), 1u);
  EXPECT_EQ(devices.m_Devices[0]->APKEY, 2);
  RawDb raw(DbPath());
  EXPECT_EQ(raw.Column("SELECT PKEY FROM DEVTBL"), (std::vector<std::string>{"4"}));
}

// The lookups made before a queued answer leaves tell a device whose row is
// gone from one whose row could not be read, also when the deleted device's
// key has gone to a new device.
TEST_F(DbTest, DeviceRowLookupsTellAMissingRowFromAFailedStatement) {
  CDeviceManager devices(db);
  ASSERT_EQ(devices.InsertDevice(MakeDevice(1, 1, 1)), 0);
  ASSERT_EQ(devices.InsertDevice(MakeDevice(1, 2, 2)), 0);
  ASSERT_EQ(devices.InsertDevice(MakeDevice(1, 3, 3)), 0);
  ASSERT_EQ(devices.DeleteDevice(2), 0);
  ASSERT_EQ(devices.DeleteDevice(3), 0);
  ASSERT_EQ(devices.InsertDevice(MakeDevice(1, 4, 4)), 0);  // takes key 2 again (one above the highest)
  ASSERT_EQ(devices.m_Devices.back()->PKEY, 2);
  RawDb raw(DbPath());
  ASSERT_EQ(raw.Exec("UPDATE DEVTBL SET TXSEQ=41, ADR=1, ADRPWR=0, PWRREQ=2 WHERE PKEY=1"), SQLITE_OK);

  const struct {
    const char* what;
    int32_t pkey;
    uint8_t euiFirst;
    int expect;
  } cases[] = {{"stored", 1, 1, 0},
               {"deleted, its key reused", 2, 2, CDeviceManager::kNoRow},
               {"deleted", 3, 3, CDeviceManager::kNoRow},
               {"never stored", 99, 9, CDeviceManager::kNoRow}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::unique_ptr<CDevice> device = MakeDevice(1, c.euiFirst, 0);
    device->PKEY = c.pkey;
    EXPECT_EQ(devices.FindDeviceRow(*device), c.expect);
  }
  // The refresh reads by key alone: the caller looks for the row first.
  const struct {
    const char* what;
    int32_t pkey;
    int expect;
    int32_t expectTxSeq;  // the record's TXSEQ afterwards; it starts at 7
  } refreshes[] = {{"stored", 1, 0, 41},
                   {"deleted", 3, CDeviceManager::kNoRow, 7},
                   {"never stored", 99, CDeviceManager::kNoRow, 7}};
  for (const auto& c : refreshes) {
    SCOPED_TRACE(c.what);
    CDeviceRow record;
    record.PKEY = c.pkey;
    record.TXSEQ = 7;
    EXPECT_EQ(devices.RefreshDownlinkState(&record), c.expect);
    EXPECT_EQ(record.TXSEQ, c.expectTxSeq);
  }

  ASSERT_EQ(raw.Exec("DROP TABLE DEVTBL"), SQLITE_OK);
  EXPECT_EQ(devices.FindDeviceRow(*MakeDevice(1, 1, 1)), 2);
  EXPECT_NE(devices.m_Result, 0);
  CDeviceRow record;
  record.PKEY = 1;
  EXPECT_EQ(devices.RefreshDownlinkState(&record), 2);
}

}  // namespace
}  // namespace quorvex
