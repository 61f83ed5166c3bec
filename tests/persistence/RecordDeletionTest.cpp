// The operator's deletions on a real database: what each cascade takes with
// it (checked in the file afterwards), what it leaves (other applications'
// rows, the packet log), a refusal in the middle of a cascade undoing the
// whole cascade in the file while the records still leave memory, refusals
// reported when the database is closed, and a deleted gateway's record
// staying valid for whoever still holds it.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

#include "gateway/GateManager.h"
#include "persistence/AppList.h"
#include "persistence/DLinkList.h"
#include "persistence/DbFixture.h"
#include "persistence/DeviceManager.h"
#include "persistence/Log.h"
#include "persistence/RecordDeletion.h"

namespace quorvex {
namespace {

using test::DbTest;
using test::RawDb;

class RecordDeletionTest : public DbTest {
 protected:
  // Application A with devices d1 (two queued downlinks) and d2 (one);
  // application B with d3 (one); a packet-log row of d1. The registry holds
  // A's devices and the downlink list d1's requests, as when the operator
  // has chosen A and shown d1.
  void SetUp() override {
    DbTest::SetUp();
    rawDb = std::make_unique<RawDb>(DbPath());
    gateways.Attach(&db, nullptr);
    appA = AddApp(0x10);
    appB = AddApp(0x20);
    d1 = AddDevice(appA, 1);
    d2 = AddDevice(appA, 2);
    d3 = AddDevice(appB, 3);
    for (int32_t device : {d1, d1, d2, d3}) AddDownlink(device);
    for (int32_t device : {d1, d1, d2, d3}) ASSERT_EQ(devices.RecordDevNonce(device, ++nonce), 0);
    CLog log;
    log.DEVPKEY = static_cast<uint32_t>(d1);
    log.TYPE = CLog::Uplink;
    int32_t lastResult = 0;
    ASSERT_EQ(db.InsertLogRow(log, lastResult), 0);
    ASSERT_EQ(devices.LoadDevices(appA), 0);
    ASSERT_EQ(downlinks.LoadDownlinks(d1, false), 0);
  }

  int32_t AddApp(uint8_t euiFirst) {
    auto app = std::make_unique<CApplication>();
    app->APPEUI[0] = euiFirst;
    EXPECT_EQ(apps.InsertApplication(std::move(app)), 0);
    return apps.m_List.back()->PKEY;
  }
  int32_t AddDevice(int32_t apKey, uint8_t n) {
    auto device = std::make_unique<CDevice>();
    device->APKEY = apKey;
    device->DEVEUI[7] = n;
    device->DEVADDR = n;
    EXPECT_EQ(devices.InsertDevice(std::move(device)), 0);
    return devices.m_Devices.back()->PKEY;
  }
  void AddDownlink(int32_t devPkey) {
    auto request = std::make_unique<CDLink>();
    request->DEVPKEY = devPkey;
    request->PORT = 2;
    EXPECT_EQ(downlinks.InsertDownlink(std::move(request), false), 0);
  }

  // The stored keys, in key order, as "1,2,3".
  std::string Rows(const char* column, const char* table) {
    return rawDb->Scalar(std::string("SELECT ifnull(group_concat(") + column + "), '') FROM (SELECT " + column +
                      " FROM " + table + " ORDER BY PKEY)");
  }
  static std::string Keys(std::initializer_list<int32_t> keys) {
    std::string text;
    for (int32_t key : keys) text += (text.empty() ? "" : ",") + std::to_string(key);
    return text;
  }
  bool AppInList(int32_t pkey) { return apps.FindApplication(pkey) != nullptr; }
  std::string RegistryDevices() {
    std::string text;
    for (const auto& device : devices.m_Devices) text += (text.empty() ? "" : ",") + std::to_string(device->PKEY);
    return text;
  }

  CAppList apps{db};
  CDeviceManager devices{db};
  CDLinkList downlinks{db};
  CGateManager gateways;
  std::unique_ptr<RawDb> rawDb;
  int32_t appA = 0, appB = 0, d1 = 0, d2 = 0, d3 = 0;
  uint16_t nonce = 0;
};

TEST_F(RecordDeletionTest, AnApplicationTakesItsDevicesAndTheirDownlinks) {
  const DeleteResult result = DeleteApplicationCascade(db, apps, devices, downlinks, appA);
  EXPECT_FALSE(result.Refused());
  EXPECT_EQ(result.sqliteCode, 0);
  EXPECT_EQ(Rows("PKEY", "APPTBL"), Keys({appB}));
  EXPECT_EQ(Rows("PKEY", "DEVTBL"), Keys({d3}));
  EXPECT_EQ(Rows("DEVPKEY", "DLINKTBL"), Keys({d3}));
  EXPECT_EQ(Rows("DEVPKEY", "NONCETBL"), Keys({d3}));
  EXPECT_EQ(rawDb->Scalar("SELECT COUNT(*) FROM LOGTBL"), "1");  // the packet log stays
  EXPECT_FALSE(AppInList(appA));
  EXPECT_TRUE(AppInList(appB));
  EXPECT_TRUE(devices.m_Devices.empty());
  EXPECT_TRUE(downlinks.m_List.empty());
}

TEST_F(RecordDeletionTest, AnApplicationsDownlinksGoEvenWhenTheRegistryHoldsOtherDevices) {
  ASSERT_EQ(devices.LoadDevices(appB), 0);
  EXPECT_FALSE(DeleteApplicationCascade(db, apps, devices, downlinks, appA).Refused());
  EXPECT_EQ(Rows("DEVPKEY", "DLINKTBL"), Keys({d3}));
  EXPECT_EQ(Rows("PKEY", "DEVTBL"), Keys({d3}));
  EXPECT_EQ(Rows("DEVPKEY", "NONCETBL"), Keys({d3}));
  EXPECT_EQ(RegistryDevices(), Keys({d3}));  // B's devices stay shown
}

TEST_F(RecordDeletionTest, ADeviceTakesOnlyItsOwnDownlinks) {
  const DeleteResult result = DeleteDeviceCascade(db, devices, downlinks, d1);
  EXPECT_FALSE(result.Refused());
  EXPECT_EQ(Rows("PKEY", "DEVTBL"), Keys({d2, d3}));
  EXPECT_EQ(Rows("DEVPKEY", "DLINKTBL"), Keys({d2, d3}));
  EXPECT_EQ(Rows("DEVPKEY", "NONCETBL"), Keys({d2, d3}));
  EXPECT_EQ(Rows("PKEY", "APPTBL"), Keys({appA, appB}));
  EXPECT_EQ(rawDb->Scalar("SELECT COUNT(*) FROM LOGTBL"), "1");
  EXPECT_EQ(RegistryDevices(), Keys({d2}));
  EXPECT_TRUE(downlinks.m_List.empty());
}

TEST_F(RecordDeletionTest, OneDownlinkGoesAlone) {
  ASSERT_EQ(downlinks.m_List.size(), 2u);
  const int32_t first = downlinks.m_List[0]->PKEY;
  const int32_t second = downlinks.m_List[1]->PKEY;
  EXPECT_FALSE(DeleteDownlinkRecord(db, downlinks, first).Refused());
  EXPECT_EQ(rawDb->Scalar("SELECT COUNT(*) FROM DLINKTBL WHERE PKEY=" + std::to_string(first)), "0");
  EXPECT_EQ(rawDb->Scalar("SELECT COUNT(*) FROM DLINKTBL"), "3");
  ASSERT_EQ(downlinks.m_List.size(), 1u);
  EXPECT_EQ(downlinks.m_List[0]->PKEY, second);
}

// DEVTBL refuses deletions: the cascade's downlink statement has then
// already run, and the application's would run after it.
constexpr char kKeepDevices[] = "CREATE TRIGGER keep_devices BEFORE DELETE ON DEVTBL BEGIN SELECT RAISE(ABORT, 'kept'); END;";

TEST_F(RecordDeletionTest, ARefusalInTheMiddleUndoesTheWholeCascadeInTheFile) {
  ASSERT_EQ(rawDb->Exec(kKeepDevices), SQLITE_OK);
  const DeleteResult result = DeleteApplicationCascade(db, apps, devices, downlinks, appA);
  EXPECT_TRUE(result.Refused());
  EXPECT_EQ(result.sqliteCode & 0xFF, SQLITE_CONSTRAINT);
  // Nothing is half deleted: the next start brings all of A back.
  EXPECT_EQ(Rows("PKEY", "APPTBL"), Keys({appA, appB}));
  EXPECT_EQ(Rows("PKEY", "DEVTBL"), Keys({d1, d2, d3}));
  EXPECT_EQ(Rows("DEVPKEY", "DLINKTBL"), Keys({d1, d1, d2, d3}));
  EXPECT_EQ(Rows("DEVPKEY", "NONCETBL"), Keys({d1, d1, d2, d3}));  // the devices' nonces with them
  // Memory follows the operator all the same.
  EXPECT_FALSE(AppInList(appA));
  EXPECT_TRUE(devices.m_Devices.empty());
  EXPECT_TRUE(downlinks.m_List.empty());
  // The connection is left committing: a later write reaches the file.
  EXPECT_FALSE(db.InBatch());
  const int32_t appC = AddApp(0x30);
  EXPECT_EQ(Rows("PKEY", "APPTBL"), Keys({appA, appB, appC}));
}

TEST_F(RecordDeletionTest, InsideTheReceiveThreadsBatchARefusalUndoesOnlyTheCascade) {
  ASSERT_EQ(rawDb->Exec(kKeepDevices), SQLITE_OK);
  db.BeginBatch();
  AddDownlink(d3);  // the batch's own write
  EXPECT_TRUE(DeleteDeviceCascade(db, devices, downlinks, d1).Refused());
  EXPECT_TRUE(db.InBatch());
  db.CommitBatch();
  EXPECT_EQ(Rows("DEVPKEY", "DLINKTBL"), Keys({d1, d1, d2, d3, d3}));
  EXPECT_EQ(Rows("PKEY", "DEVTBL"), Keys({d1, d2, d3}));
  EXPECT_EQ(RegistryDevices(), Keys({d2}));
}

TEST_F(RecordDeletionTest, InsideTheReceiveThreadsBatchACascadeIsCommittedWithIt) {
  db.BeginBatch();
  EXPECT_FALSE(DeleteDeviceCascade(db, devices, downlinks, d2).Refused());
  EXPECT_TRUE(db.InBatch());
  EXPECT_EQ(Rows("PKEY", "DEVTBL"), Keys({d1, d2, d3}));  // not yet committed
  db.CommitBatch();
  EXPECT_EQ(Rows("PKEY", "DEVTBL"), Keys({d1, d3}));
  EXPECT_EQ(Rows("DEVPKEY", "DLINKTBL"), Keys({d1, d1, d3}));
}

TEST_F(RecordDeletionTest, WithTheDatabaseClosedEveryDeletionIsReportedRefused) {
  auto gateway = std::make_unique<CGateway>();
  SetField(gateway->ID, "B827EBFFFE000001");
  ASSERT_EQ(gateways.InsertGateway(std::move(gateway)), 0);
  const int32_t gatewayKey = gateways.m_Gateways.back()->PKEY;
  const int32_t downlinkKey = downlinks.m_List.front()->PKEY;
  db.Close();

  const struct {
    const char* what;
    std::function<DeleteResult()> run;
    std::function<bool()> goneFromMemory;
  } cases[] = {
      {"downlink", [&] { return DeleteDownlinkRecord(db, downlinks, downlinkKey); },
       [&] {
         return std::none_of(downlinks.m_List.begin(), downlinks.m_List.end(),
                             [&](const auto& r) { return r->PKEY == downlinkKey; });
       }},
      {"device", [&] { return DeleteDeviceCascade(db, devices, downlinks, d2); },
       [&] { return RegistryDevices() == Keys({d1}); }},
      {"application", [&] { return DeleteApplicationCascade(db, apps, devices, downlinks, appA); },
       [&] { return !AppInList(appA) && devices.m_Devices.empty(); }},
      {"gateway", [&] { return DeleteGatewayRecord(gateways, gatewayKey); }, [&] { return gateways.Count() == 0; }},
  };
  for (const auto& c : cases) {
    const DeleteResult result = c.run();
    EXPECT_TRUE(result.Refused()) << c.what;
    EXPECT_EQ(result.sqliteCode, SQLITE_MISUSE) << c.what;
    EXPECT_TRUE(c.goneFromMemory()) << c.what;
    const std::string message = DeleteRefusedMessage(result);
    EXPECT_TRUE(message.starts_with("The database refused the deletion (")) << message;
    EXPECT_TRUE(message.ends_with("). The item is gone from the list, but it will be back at the next start."))
        << message;
  }
  // The file still holds every row: the next start brings them back.
  EXPECT_EQ(Rows("PKEY", "APPTBL"), Keys({appA, appB}));
  EXPECT_EQ(Rows("PKEY", "DEVTBL"), Keys({d1, d2, d3}));
  EXPECT_EQ(rawDb->Scalar("SELECT COUNT(*) FROM DLINKTBL"), "4");
  EXPECT_EQ(rawDb->Scalar("SELECT COUNT(*) FROM GATETBL"), "1");
}

TEST_F(RecordDeletionTest, ADeletedGatewayStaysValidForWhoeverStillHoldsIt) {
  for (const char* id : {"B827EBFFFE000001", "B827EBFFFE000002"}) {
    auto gateway = std::make_unique<CGateway>();
    SetField(gateway->ID, id);
    ASSERT_EQ(gateways.InsertGateway(std::move(gateway)), 0);
  }
  // What a queued reply holds: the record and the address it leaves through.
  CGateway* held = gateways.m_Gateways.front().get();
  SocketAddress pull{};
  ASSERT_TRUE(MakeAddress("127.0.0.1", 1700, pull));
  held->m_PullAddr = pull;

  EXPECT_FALSE(DeleteGatewayRecord(gateways, held->PKEY).Refused());
  EXPECT_EQ(Rows("ID", "GATETBL"), "B827EBFFFE000002");
  EXPECT_EQ(gateways.Count(), 1u);
  EXPECT_STREQ(held->ID, "B827EBFFFE000001");  // not freed (AddressSanitizer would say)
  EXPECT_EQ(AddressText(held->m_PullAddr), AddressText(pull));

  // Heard again, it is registered anew, not brought back from the retired record.
  CGateway* again = gateways.SetGatewayUpdate(pull, "B827EBFFFE000001", 1);
  EXPECT_NE(again, held);
  EXPECT_EQ(gateways.Count(), 2u);
  EXPECT_EQ(Rows("ID", "GATETBL"), "B827EBFFFE000002,B827EBFFFE000001");
}

}  // namespace
}  // namespace quorvex
