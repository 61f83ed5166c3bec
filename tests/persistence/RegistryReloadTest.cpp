// The registries taking up what another program wrote into APPTBL and GATETBL,
// on a real file: records that stay are the same objects with the new fields,
// new rows are added, rows gone are dropped (applications) or retired
// (gateways, which queued replies may still point at). And the data version
// that tells the server another connection wrote.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include "gateway/GateManager.h"
#include "persistence/AppList.h"
#include "persistence/DbChangeWatcher.h"
#include "persistence/DbFixture.h"
#include "persistence/Log.h"
#include "support/Wait.h"

namespace quorvex {
namespace {

class RegistryReloadTest : public test::DbTest {
 protected:
  int Exec(const std::string& sql) { return test::RawDb(DbPath()).Exec(sql); }
  static std::string Url(const CApplication& a) { return a.APPURL; }
};

TEST_F(RegistryReloadTest, ApplicationsKeepTheirObjectsTakeNewFieldsAndFollowTheTable) {
  ASSERT_EQ(Exec("INSERT INTO APPTBL (PKEY, APPEUI, APPURL) VALUES (1, x'0000000000000001', 'http://a'), "
                 "(2, x'0000000000000002', 'http://b'), (3, x'0000000000000003', 'http://c')"),
            SQLITE_OK);
  CAppList list(db);
  ASSERT_EQ(list.LoadApplications(), 0);
  CApplication* first = list.FindApplication(1);
  ASSERT_EQ(Exec("UPDATE APPTBL SET APPURL='http://a2' WHERE PKEY=1; DELETE FROM APPTBL WHERE PKEY=2; "
                 "INSERT INTO APPTBL (PKEY, APPEUI, APPURL) VALUES (4, x'0000000000000000', 'http://d')"),
            SQLITE_OK);
  ASSERT_EQ(list.ReloadApplications(), 0);
  EXPECT_EQ(list.FindApplication(1), first);
  EXPECT_EQ(Url(*first), "http://a2");
  EXPECT_EQ(list.FindApplication(2), nullptr);
  ASSERT_EQ(list.m_List.size(), 3u);
  // In APPEUI order, as a load gives them.
  EXPECT_EQ(list.m_List[0]->PKEY, 4);
  EXPECT_EQ(list.m_List[1]->PKEY, 1);
  EXPECT_EQ(list.m_List[2]->PKEY, 3);
}

TEST_F(RegistryReloadTest, AFailedApplicationReadLeavesTheListAsItWas) {
  ASSERT_EQ(Exec("INSERT INTO APPTBL (PKEY, APPEUI, APPURL) VALUES (1, x'0000000000000001', 'http://a')"), SQLITE_OK);
  CAppList list(db);
  ASSERT_EQ(list.LoadApplications(), 0);
  db.Close();
  EXPECT_EQ(list.ReloadApplications(), 2);
  EXPECT_EQ(list.m_List.size(), 1u);
}

TEST_F(RegistryReloadTest, GatewaysKeepRunTimeStateRetireDeletedAndRenamedRecordsAndAddNewOnes) {
  ASSERT_EQ(Exec("INSERT INTO GATETBL (PKEY, ACTIVE, ID, IP) VALUES (1, 1, 'AA00000000000001', '10.0.0.1'), "
                 "(2, 1, 'AA00000000000002', ''), (3, 0, 'AA00000000000003', ''), (4, 1, 'AA00000000000004', '')"),
            SQLITE_OK);
  CGateManager gateways;
  gateways.Attach(&db, nullptr);
  ASSERT_EQ(gateways.LoadGateways(), 0);
  std::lock_guard<std::recursive_mutex> lock(gateways.Mutex());
  CGateway* kept = gateways.FindGateway("AA00000000000001");
  CGateway* deleted = gateways.FindGateway("AA00000000000002");
  CGateway* switchedOn = gateways.FindGateway("AA00000000000003");
  CGateway* renamed = gateways.FindGateway("AA00000000000004");
  kept->m_PullSeen = 1;
  kept->m_PullAddr.sin_port = 4242;
  deleted->m_PullAddr.sin_port = 4343;
  ASSERT_EQ(Exec("UPDATE GATETBL SET ACTIVE=0, IP='10.0.0.9' WHERE PKEY=1; DELETE FROM GATETBL WHERE PKEY=2; "
                 "UPDATE GATETBL SET ACTIVE=1 WHERE PKEY=3; UPDATE GATETBL SET ID='AA000000000000A4' WHERE PKEY=4; "
                 "INSERT INTO GATETBL (PKEY, ACTIVE, ID, IP) VALUES (5, 1, 'AA00000000000005', '')"),
            SQLITE_OK);
  ASSERT_EQ(gateways.ReloadGateways(), 0);

  EXPECT_EQ(gateways.FindGateway("AA00000000000001"), kept);
  EXPECT_EQ(kept->ACTIVE, 0);
  EXPECT_STREQ(kept->IP, "10.0.0.9");
  EXPECT_EQ(kept->m_PullSeen, 1);
  EXPECT_EQ(kept->m_PullAddr.sin_port, 4242);
  EXPECT_EQ(gateways.FindGateway("AA00000000000002"), nullptr);
  EXPECT_EQ(deleted->m_PullAddr.sin_port, 4343);  // retired, still readable
  EXPECT_EQ(gateways.FindGateway("AA00000000000003"), switchedOn);
  EXPECT_EQ(switchedOn->ACTIVE, 1);
  EXPECT_EQ(gateways.FindGateway("AA00000000000004"), nullptr);
  CGateway* newName = gateways.FindGateway("AA000000000000A4");
  ASSERT_NE(newName, nullptr);
  EXPECT_NE(newName, renamed);
  EXPECT_STREQ(renamed->ID, "AA00000000000004");  // the retired record is left as it was
  EXPECT_EQ(newName->PKEY, 4);
  CGateway* added = gateways.FindGateway("AA00000000000005");
  ASSERT_NE(added, nullptr);
  EXPECT_EQ(added->ACTIVE, 1);
  EXPECT_EQ(gateways.Count(), 4u);
}

TEST_F(RegistryReloadTest, TheDataVersionMovesOnlyWithAnotherConnectionsCommits) {
  const int64_t start = db.DataVersion();
  ASSERT_GE(start, 0);
  CLog record;
  int32_t result = 0;
  ASSERT_EQ(db.InsertLogRow(record, result), 0);
  EXPECT_EQ(db.DataVersion(), start);  // the server's own write
  ASSERT_EQ(Exec("INSERT INTO GATETBL (ACTIVE, ID, IP) VALUES (1, 'AA', '')"), SQLITE_OK);
  const int64_t afterOutside = db.DataVersion();
  EXPECT_NE(afterOutside, start);
  EXPECT_EQ(db.DataVersion(), afterOutside);  // until the next outside commit
  db.Close();
  EXPECT_EQ(db.DataVersion(), -1);
}

TEST_F(RegistryReloadTest, TheWatcherCallsBackAfterAnotherConnectionsCommit) {
  std::atomic<int> calls{0};
  CDbChangeWatcher watcher(db, [&calls] { ++calls; }, 20);
  ASSERT_EQ(Exec("INSERT INTO GATETBL (ACTIVE, ID, IP) VALUES (1, 'AA', '')"), SQLITE_OK);
  EXPECT_TRUE(test::WaitUntil([&] { return calls.load() >= 1; }));
}

}  // namespace
}  // namespace quorvex
