// Edits that another program (the sqlite3 shell, an admin tool) writes into
// the database file while the server runs, end to end: they are taken up
// without a restart. The edits go through a connection of their own, as
// another process would make them; the server runs with the reload on, as
// the headless server does.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "e2e/E2eFixture.h"
#include "persistence/DbFixture.h"
#include "persistence/DbRows.h"
#include "persistence/DbSql.h"
#include "persistence/DbStatement.h"

namespace quorvex {
namespace {

using e2e::DeviceSim;
using e2e::GatewaySim;
using e2e::kAppSKey;
using e2e::kNwkSKey;
using e2e::PfIdentifier;

const test::Eui kOutsideAppEui = {0x70, 0xB3, 0xD5, 0x7E, 0xD0, 0x00, 0x00, 0x09};
const test::Eui kOutsideDevEui = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x99};

class OutsideEditsTest : public e2e::E2eFixture {
 protected:
  void SetUp() override {
    E2eFixture::SetUp();
    app.m_ReloadOnOutsideChanges = true;
    outside.emplace(dir.File(CDbManager::kFileName));
  }
  void TearDown() override {
    E2eFixture::TearDown();
    outside.reset();
  }
  // Runs `sql` on the other connection with `bind` binding its parameters;
  // the key of the row it inserted (0 when it failed).
  template <typename Binder>
  int64_t Write(const char* sql, Binder bind) {
    CDbStatement stmt;
    if (stmt.Prepare(outside->Get(), sql, false) != SQLITE_OK) return 0;
    bind(stmt);
    return stmt.Step() == SQLITE_DONE ? sqlite3_last_insert_rowid(outside->Get()) : 0;
  }
  int32_t InsertApplication(const std::string& url) {
    CApplication row;
    row.ACTIVATION = 1;
    row.CHMASK = 0x00FF;
    std::copy(kOutsideAppEui.begin(), kOutsideAppEui.end(), row.APPEUI);
    row.RX2CHAN = 921900000;
    SetText(row.APPURL, url);
    SetText(row.APPPARM, "/up/appeui/deveui");
    return static_cast<int32_t>(Write(sql::kInsertApplication, [&row](CDbStatement& s) { BindApplicationRow(s, row); }));
  }
  void InsertAbpDevice(int32_t apKey, const DeviceSim& sim) {
    CDeviceRow row;
    row.APKEY = apKey;
    row.JOINED = 1;
    std::copy(kOutsideDevEui.begin(), kOutsideDevEui.end(), row.DEVEUI);
    row.DEVADDR = sim.DevAddr();
    std::copy(sim.NwkSKey().begin(), sim.NwkSKey().end(), row.NETSKEY);
    std::copy(sim.AppSKey().begin(), sim.AppSKey().end(), row.APPSKEY);
    row.TXSEQ = -1;
    row.RXSEQ = -1;
    ASSERT_NE(Write(sql::kInsertDevice, [&row](CDbStatement& s) { BindDeviceRow(s, row); }), 0);
  }
  // The registry's copy of the application's URL ("" when not listed).
  std::string ListedUrl(int32_t pkey) {
    CApplication copy;
    return app.m_LoRaAppList.CopyApplication(pkey, copy) ? std::string(copy.APPURL) : "";
  }

  std::optional<test::RawDb> outside;
  // Made by the test that needs it; goes after the server has stopped.
  std::optional<e2e::AppServer> otherServer;
};

TEST_F(OutsideEditsTest, AnApplicationAndDeviceInsertedOutsideArePostedTo) {
  Start();
  ASSERT_TRUE(Pull(gateway));
  DeviceSim device(0x26011C09, kNwkSKey, kAppSKey);
  const int32_t key = InsertApplication(appServer.Url());
  ASSERT_NE(key, 0);
  InsertAbpDevice(key, device);
  ASSERT_TRUE(test::WaitUntil([&] { return ListedUrl(key) == appServer.Url(); }));

  SendAndAwaitAck(gateway, Meta(1000000), device.Uplink(0, false, 2, {0x5A}));
  ASSERT_TRUE(test::WaitUntil([&] { return appServer.Posts() >= 1; }));
  EXPECT_NE(appServer.Body(0).find(R"("data" : "Wg==")"), std::string::npos) << appServer.Body(0);
}

TEST_F(OutsideEditsTest, AnApplicationsUrlChangedOutsideIsUsedByTheNextPost) {
  e2e::AppServer& moved = otherServer.emplace();
  DeviceSim device(0x26011C0A, kNwkSKey, kAppSKey);
  StartAbp(device);
  SendAndAwaitAck(gateway, Meta(1000000), device.Uplink(0, false, 2, {0x01}));
  ASSERT_TRUE(test::WaitUntil([&] { return appServer.Posts() >= 1; }));

  ASSERT_EQ(outside->Exec("UPDATE APPTBL SET APPURL='" + moved.Url() + "' WHERE PKEY=" + std::to_string(apKey)),
            SQLITE_OK);
  ASSERT_TRUE(test::WaitUntil([&] { return ListedUrl(apKey) == moved.Url(); }));
  SendAndAwaitAck(gateway, Meta(3000000), device.Uplink(1, false, 2, {0x02}));
  ASSERT_TRUE(test::WaitUntil([&] { return moved.Posts() >= 1; }));
  EXPECT_NE(moved.Body(0).find(R"("data" : "Ag==")"), std::string::npos) << moved.Body(0);
  EXPECT_EQ(appServer.Posts(), 1u);
}

TEST_F(OutsideEditsTest, AGatewayInsertedOutsideAsActiveIsAcknowledged) {
  app.m_Settings.m_bAutoReg = 0;  // an unknown gateway is registered but ignored
  Start();
  GatewaySim added(serverPort, 0xAA555A0000000077ull);
  ASSERT_EQ(outside->Exec("INSERT INTO GATETBL (ACTIVE, ID, IP) VALUES (1, '" + added.EuiText() + "', '')"),
            SQLITE_OK);
  EXPECT_TRUE(test::WaitUntil([&] { return GatewayKey(added) != 0; }));
  EXPECT_TRUE(Pull(added));
}

TEST_F(OutsideEditsTest, AGatewaySwitchedOffOutsideStaysTheSameRecordWithItsPullAddress) {
  DeviceSim device(0x26011C0B, kNwkSKey, kAppSKey);
  StartAbp(device);
  const int32_t key = GatewayKey(gateway);
  ASSERT_NE(key, 0);
  CGateway* before = nullptr;
  {
    std::lock_guard<std::recursive_mutex> lock(app.m_LoRaGateMgr.Mutex());
    before = app.m_LoRaGateMgr.FindGateway(gateway.EuiText().c_str());
  }
  ASSERT_EQ(outside->Exec("UPDATE GATETBL SET ACTIVE=0 WHERE PKEY=" + std::to_string(key)), SQLITE_OK);
  ASSERT_TRUE(test::WaitUntil([&] {
    std::lock_guard<std::recursive_mutex> lock(app.m_LoRaGateMgr.Mutex());
    return before->ACTIVE == 0;
  }));
  std::lock_guard<std::recursive_mutex> lock(app.m_LoRaGateMgr.Mutex());
  EXPECT_EQ(app.m_LoRaGateMgr.FindGateway(gateway.EuiText().c_str()), before);  // the same record
  EXPECT_NE(before->m_PullSeen, 0);                                             // its pull address kept
}

// A join accept waits ~5 s in the scheduler's queue with a pointer to the
// gateway's record; the row goes meanwhile. The record is retired, never
// freed (the sanitizers would see a use after free), and the accept still
// leaves through the gateway the request was heard by.
TEST_F(OutsideEditsTest, AGatewayDeletedOutsideWhileItsReplyIsQueuedIsRetiredNotFreed) {
  apKey = AddApplication(false, 0, 0, appServer.Url());
  devKey = AddOtaaDevice(apKey);
  Start();
  ASSERT_TRUE(Pull(gateway));
  const int32_t key = GatewayKey(gateway);
  ASSERT_NE(key, 0);
  DeviceSim device(e2e::kAppEui, e2e::kDevEui, e2e::kAppKey);
  SendAndAwaitAck(gateway, Meta(1000000), device.JoinRequest(0x0101));
  ASSERT_EQ(outside->Exec("DELETE FROM GATETBL WHERE PKEY=" + std::to_string(key)), SQLITE_OK);
  ASSERT_TRUE(test::WaitUntil([&] { return GatewayKey(gateway) == 0; }));
  EXPECT_FALSE(gateway.WaitFor(PfIdentifier::PullResp, 0).has_value()) << "the accept left before the reload";
  auto accept = gateway.WaitFor(PfIdentifier::PullResp, e2e::kReplyWaitMs);
  ASSERT_TRUE(accept.has_value());
  ASSERT_TRUE(accept->phyPayload.has_value());
  EXPECT_TRUE(device.AcceptJoin(*accept->phyPayload));
}

}  // namespace
}  // namespace quorvex
