// The statements of the downlink queue, the gateway table and the packet
// log: what each returns, in which order, and what reaches which list.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "persistence/DLinkList.h"
#include "persistence/DbFixture.h"

namespace quorvex {
namespace {

using test::DbTest;
using test::RawDb;

std::unique_ptr<CDLink> MakeRequest(int32_t devPkey, int32_t channel, const char* app) {
  auto request = std::make_unique<CDLink>();
  request->DEVPKEY = devPkey;
  request->PORT = 10;
  request->CONFIRMED = 1;
  request->CHANNEL = channel;
  SetField(request->MAC, "03 07 00");
  SetField(request->APP, app);
  return request;
}

std::vector<int32_t> Keys(const DLinkRecords& list) {
  std::vector<int32_t> keys;
  for (const auto& r : list) keys.push_back(r->PKEY);
  return keys;
}

TEST_F(DbTest, DownlinkQueueServesRequestsOldestFirst) {
  CDLinkList queue(db);
  ASSERT_EQ(queue.InsertDownlink(MakeRequest(5, CDLink::kRx1, "01"), true), 0);   // 1
  ASSERT_EQ(queue.InsertDownlink(MakeRequest(6, CDLink::kRx2, "02"), false), 0);  // 2, not kept
  ASSERT_EQ(queue.InsertDownlink(MakeRequest(5, CDLink::kRx2, "03"), true), 0);   // 3
  ASSERT_EQ(queue.InsertDownlink(MakeRequest(5, CDLink::kRx1, "04"), true), 0);   // 4
  EXPECT_EQ(Keys(queue.m_List), (std::vector<int32_t>{1, 3, 4}));

  DLinkRecords pending;
  ASSERT_EQ(queue.LoadDownlinks(5, true, &pending), 0);
  EXPECT_EQ(Keys(pending), (std::vector<int32_t>{1, 3, 4}));
  EXPECT_STREQ(pending[0]->MAC, "03 07 00");
  EXPECT_STREQ(pending[0]->APP, "01");
  EXPECT_EQ(pending[0]->PORT, 10);
  EXPECT_EQ(pending[0]->CONFIRMED, 1);

  // Sending marks a request done with its time; it is then no longer pending.
  ASSERT_EQ(queue.MarkDownlinkSent(pending[0].get()), 0);
  EXPECT_EQ(strlen(pending[0]->TIME), 14u);  // "%m.%d %H.%M.%S"
  ASSERT_EQ(queue.LoadDownlinks(5, true, &pending), 0);
  EXPECT_EQ(Keys(pending), (std::vector<int32_t>{3, 4}));
  ASSERT_EQ(queue.LoadDownlinks(5, false), 0);  // all of them, into the shown list
  EXPECT_EQ(Keys(queue.m_List), (std::vector<int32_t>{1, 3, 4}));
  EXPECT_EQ(queue.m_List[0]->TXDONE, 1);

  // The oldest pending "RX 2" request of any device, until it is sent.
  DLinkRecords next;
  ASSERT_EQ(queue.GetNextRx2Downlink(&next), 0);
  ASSERT_EQ(Keys(next), (std::vector<int32_t>{2}));
  ASSERT_EQ(queue.MarkDownlinkSent(next[0].get()), 0);
  ASSERT_EQ(queue.GetNextRx2Downlink(&next), 0);
  EXPECT_EQ(Keys(next), (std::vector<int32_t>{3}));
  ASSERT_EQ(queue.MarkDownlinkSent(next[0].get()), 0);
  ASSERT_EQ(queue.GetNextRx2Downlink(&next), 0);
  EXPECT_TRUE(next.empty());

  ASSERT_EQ(queue.LoadDownlinks(99, false, &next), 0);  // a device without requests
  EXPECT_TRUE(next.empty());

  EXPECT_EQ(queue.DeleteDownlink(4), 0);
  EXPECT_EQ(Keys(queue.m_List), (std::vector<int32_t>{1, 3}));
  EXPECT_EQ(queue.DeleteDownlinksOfDevice(5), 0);
  EXPECT_TRUE(queue.m_List.empty());
  RawDb raw(DbPath());
  EXPECT_EQ(raw.Column("SELECT PKEY FROM DLINKTBL"), (std::vector<std::string>{"2"}));
}

// A request that cannot be served is marked failed: it is no longer pending
// for any reader, and its TIME tells the operator when and why. Class C
// lookups can start past a key, to step over requests that wait.
TEST_F(DbTest, AFailedRequestIsNoLongerPendingAndSaysWhy) {
  CDLinkList queue(db);
  ASSERT_EQ(queue.InsertDownlink(MakeRequest(5, CDLink::kRx2, "01"), false), 0);  // 1
  ASSERT_EQ(queue.InsertDownlink(MakeRequest(6, CDLink::kRx2, "02"), false), 0);  // 2
  ASSERT_EQ(queue.InsertDownlink(MakeRequest(5, CDLink::kRx1, "03"), false), 0);  // 3

  DLinkRecords next;
  ASSERT_EQ(queue.GetNextRx2Downlink(&next, 1), 0);
  EXPECT_EQ(Keys(next), (std::vector<int32_t>{2}));
  ASSERT_EQ(queue.GetNextRx2Downlink(&next, 2), 0);
  EXPECT_TRUE(next.empty());

  ASSERT_EQ(queue.GetNextRx2Downlink(&next), 0);
  ASSERT_EQ(Keys(next), (std::vector<int32_t>{1}));
  ASSERT_EQ(queue.MarkDownlinkFailed(next[0].get(), "not joined"), 0);
  ASSERT_EQ(queue.GetNextRx2Downlink(&next), 0);
  EXPECT_EQ(Keys(next), (std::vector<int32_t>{2}));
  DLinkRecords pending;
  ASSERT_EQ(queue.LoadDownlinks(5, true, &pending), 0);
  EXPECT_EQ(Keys(pending), (std::vector<int32_t>{3}));

  ASSERT_EQ(queue.LoadDownlinks(5, false), 0);
  const CDLink& failed = *queue.m_List[0];
  EXPECT_EQ(failed.TXDONE, CDLink::kTxFailed);
  EXPECT_EQ(strlen(failed.TIME), 14u + 11u) << failed.TIME;  // "%m.%d %H.%M.%S not joined"
  EXPECT_STREQ(failed.TIME + 14, " not joined");
  // A reason longer than the field is cut, never overrun.
  ASSERT_EQ(queue.MarkDownlinkFailed(queue.m_List[1].get(), std::string(100, 'x')), 0);
  EXPECT_EQ(strlen(queue.m_List[1]->TIME), sizeof queue.m_List[1]->TIME - 1);
}

TEST_F(DbTest, DownlinkRowsKeepNegativePortConfirmedAndChannel) {
  RawDb raw(DbPath());
  const std::string longHex(200, 'A');
  ASSERT_EQ(raw.Exec("INSERT INTO DLINKTBL VALUES (1, -4, -1, -2, -3, '" + longHex + "', '" + longHex +
                     "', NULL, -1);"),
            SQLITE_OK);
  CDLinkList queue(db);
  ASSERT_EQ(queue.LoadDownlinks(-4, false), 0);
  ASSERT_EQ(queue.m_List.size(), 1u);
  const CDLink& r = *queue.m_List[0];
  EXPECT_EQ(r.DEVPKEY, 0);
  EXPECT_EQ(r.PORT, -1);
  EXPECT_EQ(r.CONFIRMED, -2);
  EXPECT_EQ(r.CHANNEL, -3);
  EXPECT_EQ(std::string(r.MAC), longHex.substr(0, 30));
  EXPECT_EQ(std::string(r.APP), longHex.substr(0, 90));
  EXPECT_STREQ(r.TIME, "");
  EXPECT_EQ(r.TXDONE, 0);
}

TEST_F(DbTest, RefusedAndFailedDownlinkWrites) {
  CDLinkList queue(db);
  queue.m_Result = 12345;
  CDLink unsaved;  // PKEY 0
  EXPECT_EQ(queue.UpdateDownlink(&unsaved), 3);
  EXPECT_EQ(queue.UpdateDownlink(nullptr), 3);
  EXPECT_EQ(queue.MarkDownlinkSent(&unsaved), 3);
  EXPECT_STREQ(unsaved.TIME, "");
  EXPECT_EQ(queue.m_Result, 12345);
  EXPECT_EQ(queue.InsertDownlink(nullptr, true), 3);
  EXPECT_TRUE(queue.m_List.empty());

  ASSERT_EQ(queue.InsertDownlink(MakeRequest(1, 0, "AA"), true), 0);
  RawDb raw(DbPath());
  ASSERT_EQ(raw.Exec("DROP TABLE DLINKTBL"), SQLITE_OK);
  EXPECT_EQ(queue.InsertDownlink(MakeRequest(1, 0, "BB"), true), 2);
  EXPECT_EQ(Keys(queue.m_List), (std::vector<int32_t>{1, 0}));  // kept with PKEY 0
  EXPECT_EQ(queue.LoadDownlinks(1, false), 2);
  EXPECT_EQ(queue.m_List.size(), 2u);  // a failed load leaves the list
  EXPECT_EQ(queue.DeleteDownlinksOfDevice(1), 2);
  EXPECT_TRUE(queue.m_List.empty());  // emptied all the same
}

TEST_F(DbTest, GatewayRowsRoundTrip) {
  int32_t result = -1;
  CGatewayRow first;
  first.ACTIVE = 1;
  SetField(first.ID, std::string("B827EBFFFE000001"));
  SetField(first.IP, std::string("192.0.2.10"));
  CGatewayRow second = first;
  SetField(second.ID, std::string("b827ebfffe000002"));
  ASSERT_EQ(db.InsertGatewayRow(&first, result), 0);
  EXPECT_EQ(result, SQLITE_DONE);
  ASSERT_EQ(db.InsertGatewayRow(&second, result), 0);
  EXPECT_EQ(first.PKEY, 1);
  EXPECT_EQ(second.PKEY, 2);

  second.ACTIVE = 0;
  SetField(second.ID, std::string("B827EBFFFE000002"));
  ASSERT_EQ(db.UpdateGatewayRow(&second, result), 0);
  result = 12345;
  CGatewayRow unsaved;
  EXPECT_EQ(db.UpdateGatewayRow(&unsaved, result), 3);
  EXPECT_EQ(db.UpdateGatewayRow(nullptr, result), 3);
  EXPECT_EQ(result, 12345);
  EXPECT_EQ(db.InsertGatewayRow(nullptr, result), 3);

  std::vector<CGatewayRow> rows;
  ASSERT_EQ(db.LoadGatewayRows(rows, result), 0);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].PKEY, 1);
  EXPECT_EQ(rows[0].ACTIVE, 1);
  EXPECT_STREQ(rows[0].ID, "B827EBFFFE000001");
  EXPECT_STREQ(rows[0].IP, "192.0.2.10");
  EXPECT_EQ(rows[1].ACTIVE, 0);
  EXPECT_STREQ(rows[1].ID, "B827EBFFFE000002");

  ASSERT_EQ(db.DeleteGatewayRow(1, result), 0);
  RawDb raw(DbPath());
  ASSERT_EQ(raw.Exec("INSERT INTO GATETBL VALUES (9, -1, '" + std::string(80, 'F') + "', NULL)"), SQLITE_OK);
  rows.clear();
  ASSERT_EQ(db.LoadGatewayRows(rows, result), 0);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].ACTIVE, 0);
  EXPECT_EQ(std::string(rows[1].ID), std::string(50, 'F'));
  EXPECT_STREQ(rows[1].IP, "");
}

TEST_F(DbTest, LogPagesComeNewestFirstAHundredAtATime) {
  int32_t result = 0;
  for (int i = 1; i <= 250; ++i) {
    CLog log;
    log.DEVPKEY = 7;
    log.TYPE = CLog::Uplink;
    log.COUNT = i;
    log.PORT = 2;
    SetField(log.APPDATA, "01 02");
    SetField(log.RXTIME, "2024.01.01 00.00.00");
    ASSERT_EQ(db.InsertLogRow(log, result), 0);
  }
  CLog other;
  other.DEVPKEY = 8;
  other.TYPE = CLog::Join;
  ASSERT_EQ(db.InsertLogRow(other, result), 0);
  other.TYPE = CLog::Debug;  // never listed
  ASSERT_EQ(db.InsertLogRow(other, result), 0);

  std::vector<CLog> rows;
  size_t offset = 0;
  for (size_t expected : {100u, 100u, 50u, 0u}) {
    const size_t before = rows.size();
    ASSERT_EQ(db.ReadLogRows(7, static_cast<int32_t>(offset), rows, result), 0);
    EXPECT_EQ(rows.size() - before, expected);
    offset = rows.size();
  }
  ASSERT_EQ(rows.size(), 250u);
  EXPECT_EQ(rows.front().COUNT, 250);
  EXPECT_EQ(rows.back().COUNT, 1);
  EXPECT_STREQ(rows.front().APPDATA, "01 02");
  EXPECT_EQ(rows.front().TYPE, uint32_t(CLog::Uplink));
  EXPECT_EQ(rows.front().PKEY, 250u);

  rows.clear();
  ASSERT_EQ(db.ReadLogRows(0, 0, rows, result), 0);
  ASSERT_EQ(rows.size(), 100u);
  EXPECT_EQ(rows.front().TYPE, uint32_t(CLog::Join));

  ASSERT_EQ(db.DeleteAllLogRows(result), 0);
  rows.clear();
  ASSERT_EQ(db.ReadLogRows(0, 0, rows, result), 0);
  EXPECT_TRUE(rows.empty());
}

TEST_F(DbTest, LogRowsFromElsewhereFitTheRecord) {
  RawDb raw(DbPath());
  ASSERT_EQ(raw.Exec("INSERT INTO LOGTBL (DEVPKEY, TYPE, APPDATA, PORT, CONFIRMED, COUNT, SF) VALUES (-3, 4, '" +
                     std::string(400, 'D') + "', -1, -1, -5, NULL)"),
            SQLITE_OK);
  std::vector<CLog> rows;
  int32_t result = 0;
  ASSERT_EQ(db.ReadLogRows(0, 0, rows, result), 0);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].DEVPKEY, 0u);
  EXPECT_EQ(std::string(rows[0].APPDATA), std::string(sizeof rows[0].APPDATA - 1, 'D'));
  EXPECT_EQ(rows[0].PORT, 0);
  EXPECT_EQ(rows[0].CONFIRMED, 0);
  EXPECT_EQ(rows[0].COUNT, 0);
  EXPECT_STREQ(rows[0].SF, "");
}

}  // namespace
}  // namespace quorvex
