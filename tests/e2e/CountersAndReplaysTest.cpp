// Frame counters and replays against the running server: a simulated device
// that counts in 32 bits (it signs and opens frames with the full counter, as
// a real device does) on a server that starts from a stored state, two
// gateways, and a real application server that counts what was posted.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "e2e/E2eFixture.h"
#include "persistence/DbStatement.h"
#include "persistence/Log.h"
#include "support/TraceCapture.h"
#include "util/Base64.h"
#include "util/WinUtils.h"

namespace quorvex {
namespace {

using e2e::DeviceSim;
using e2e::GatewaySim;
using e2e::kAppEui;
using e2e::kAppKey;
using e2e::kAppSKey;
using e2e::kDevEui;
using e2e::kNwkSKey;
using e2e::kReplyWaitMs;
using e2e::PfIdentifier;

// Long enough for a reply that is due (~0.8 s after its uplink) to arrive,
// and for a join accept (~4.8 s).
constexpr int kNoReplyMs = 1800;
constexpr int kNoAcceptMs = 6500;

test::Eui CaseEui(int n) { return {0x00, 0x11, 0x22, 0x33, 0x44, 0x66, 0x00, static_cast<uint8_t>(n)}; }

class CountersAndReplaysTest : public e2e::E2eFixture {
 protected:
  // An ABP device whose stored counters are `rxSeq` and `txSeq`; its key.
  int32_t AddDeviceAt(const DeviceSim& sim, int n, int64_t rxSeq, int64_t txSeq) {
    const int32_t key = AddAbpDevice(apKey, sim, CaseEui(n));
    auto row = app.m_LoRaDevMgr.GetDeviceByPkey(key);
    EXPECT_TRUE(row);
    if (!row) return key;
    row->RXSEQ = rxSeq;
    row->TXSEQ = txSeq;
    EXPECT_EQ(app.m_LoRaDevMgr.UpdateDevice(row.get()), 0);
    return key;
  }
  std::unique_ptr<CDevice> Stored(int32_t key) { return app.m_LoRaDevMgr.GetDeviceByPkey(key); }

  // A confirmed uplink that the device must see acknowledged.
  void ExpectAnswered(DeviceSim& device, uint32_t fcnt, uint32_t tmst) {
    auto reply = SendAndAwaitReply(gateway, Meta(tmst), device.Uplink(fcnt, true, 2, {0x01}));
    ASSERT_TRUE(reply && reply->phyPayload);
    auto downlink = device.Receive(*reply->phyPayload);
    ASSERT_TRUE(downlink.has_value());
    EXPECT_TRUE(downlink->Ack());
  }
  // Every packet-log record so far, as the console prints them.
  std::vector<std::string> LogLines() {
    std::vector<std::string> lines;
    CLog record;
    while (app.TakeLogRecord(record)) lines.push_back(FormatLogLine(record));
    return lines;
  }
  // From now on, every DEVTBL column an UPDATE names, but NBGATE and
  // RXTICK, is noted in temp.written (whatever value it writes).
  void WatchDeviceWrites() {
    std::lock_guard<std::recursive_mutex> lock(app.m_LoRaDbMgr.Mutex());
    sqlite3* db = app.m_LoRaDbMgr.Connection();
    ASSERT_EQ(sqlite3_exec(db, "CREATE TEMP TABLE written (col TEXT)", nullptr, nullptr, nullptr), SQLITE_OK);
    for (const char* column : {"APKEY", "GPKEY", "JOINED", "DEVEUI", "DEVADDR", "NETWORKID", "APPKEY", "APPSKEY",
                               "NETSKEY", "TXSEQ", "RXSEQ", "ADR", "ADRCNT", "ADRPWR", "PWRREQ", "ADRSF", "MEMO"}) {
      const std::string trigger = std::string("CREATE TEMP TRIGGER w_") + column + " AFTER UPDATE OF " + column +
                                  " ON main.DEVTBL BEGIN INSERT INTO written VALUES ('" + column + "'); END";
      ASSERT_EQ(sqlite3_exec(db, trigger.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << column;
    }
  }
  std::vector<std::string> WrittenColumns() {
    std::lock_guard<std::recursive_mutex> lock(app.m_LoRaDbMgr.Mutex());
    std::vector<std::string> columns;
    CDbStatement stmt;
    EXPECT_EQ(stmt.Prepare(app.m_LoRaDbMgr.Connection(), "SELECT col FROM written", false), SQLITE_OK);
    while (stmt.Step() == SQLITE_ROW)
      columns.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt.Get(), 0)));
    return columns;
  }
};

// The ways a key or a frame could be written out: spaced and plain hex in
// either case, and the Base64 of a frame.
std::vector<std::string> Spellings(const uint8_t* bytes, int count) {
  std::string spaced = CWinUtils::BytesToHex(bytes, ' ', count);
  std::string plain = CWinUtils::BytesToHex(bytes, 0, count);
  std::vector<std::string> texts = {spaced, plain};
  for (std::string text : {spaced, plain}) {
    for (char& ch : text) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    texts.push_back(text);
  }
  CBase64 base64;
  if (base64.SetData(bytes, static_cast<uint32_t>(count)) && base64.Encode()) texts.push_back(base64.GetOutputText());
  return texts;
}

TEST_F(CountersAndReplaysTest, UplinkCountersIn32BitsRefuseReplaysAndJumps) {
  // One uplink sent through the gateways whose RSSI is given (NaN: not
  // through that one), and whether a reply comes back.
  struct Send {
    uint32_t fcnt;
    double rssi[2];
    bool answered;
  };
  const double none = std::nan("");
  struct Case {
    const char* name;
    int64_t rxSeq, txSeq;  // stored before
    std::vector<Send> sends;
    size_t posts;
    int64_t rxSeqAfter, txSeqAfter;
    int answeredVia;  // the gateway of the last reply: the device's GPKEY
  };
  const Case cases[] = {
      {"0xFFFF then 0x10000: the MIC and both replies over the high bits",
       0xFFFE, 0xFFFE, {{0xFFFF, {-50, none}, true}, {0x10000, {-50, none}, true}}, 2, 0x10000, 0x10000, 0},
      {"a replayed uplink is refused and not posted",
       4, -1, {{5, {-50, none}, true}, {6, {-50, none}, true}, {5, {-50, none}, false}}, 2, 6, 1, 0},
      {"a gap over 16384 is refused, the next counter taken",
       10, -1, {{10 + 16385, {-50, none}, false}, {11, {-50, none}, true}}, 1, 11, 0, 0},
      {"a repeat through a second gateway, weaker, stays a duplicate",
       0x1FFFF, 5, {{0x20000, {-40, -100}, true}}, 1, 0x20000, 6, 0},
      {"a repeat through a second gateway, stronger, answers there",
       0x1FFFF, 5, {{0x20000, {-100, -40}, true}}, 1, 0x20000, 6, 1},
  };
  apKey = AddApplication(true, 0, 0, appServer.Url());
  GatewaySim second(serverPort, 0xAA555A0000000002ull);
  GatewaySim* gateways[2] = {&gateway, &second};
  std::vector<DeviceSim> sims;
  std::vector<int32_t> keys;
  for (int n = 0; n < static_cast<int>(std::size(cases)); ++n) {
    sims.emplace_back(0x26013000u + static_cast<uint32_t>(n), kNwkSKey, kAppSKey);
    keys.push_back(AddDeviceAt(sims.back(), n, cases[n].rxSeq, cases[n].txSeq));
  }
  Start();
  ASSERT_TRUE(Pull(gateway));
  ASSERT_TRUE(Pull(second));
  const int32_t gatewayKeys[2] = {GatewayKey(gateway), GatewayKey(second)};

  uint32_t tmst = 1000000;
  for (size_t n = 0; n < std::size(cases); ++n) {
    const Case& c = cases[n];
    SCOPED_TRACE(c.name);
    DeviceSim& sim = sims[n];
    const size_t postsBefore = appServer.Posts();
    for (const Send& send : c.sends) {
      SCOPED_TRACE(send.fcnt);
      const auto frame = sim.Uplink(send.fcnt, true, 2, {0x10, 0x20});
      int strongest = -1;
      for (int g = 0; g < 2; ++g) {
        if (std::isnan(send.rssi[g])) continue;
        gateways[g]->SendRxpk(Meta(tmst, send.rssi[g]), frame);
        if (strongest < 0 || send.rssi[g] > send.rssi[strongest]) strongest = g;
      }
      for (int g = 0; g < 2; ++g) {
        if (std::isnan(send.rssi[g])) continue;
        ASSERT_TRUE(gateways[g]->WaitFor(PfIdentifier::PushAck, test::kPatienceMs));
      }
      if (!send.answered) {
        EXPECT_TRUE(gateway.ExpectNothing(kNoReplyMs));
        EXPECT_TRUE(second.ExpectNothing(0));
      } else {
        auto reply = gateways[strongest]->WaitFor(PfIdentifier::PullResp, kReplyWaitMs);
        ASSERT_TRUE(reply && reply->phyPayload);
        // The device takes the reply only when its counter and MIC hold.
        auto downlink = sim.Receive(*reply->phyPayload);
        ASSERT_TRUE(downlink.has_value());
        EXPECT_TRUE(downlink->Ack());
        EXPECT_TRUE(gateways[1 - strongest]->ExpectNothing(300));
      }
      tmst += 10000000;
    }
    ASSERT_TRUE(test::WaitUntil([&] { return appServer.Posts() >= postsBefore + c.posts; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(appServer.Posts(), postsBefore + c.posts);
    const std::string fcntText = "\"fcnt\" : " + std::to_string(c.rxSeqAfter);
    EXPECT_NE(appServer.Body(appServer.Posts() - 1).find(fcntText), std::string::npos);
    auto stored = Stored(keys[n]);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->RXSEQ, c.rxSeqAfter);
    EXPECT_EQ(stored->TXSEQ, c.txSeqAfter);
    EXPECT_EQ(stored->GPKEY, gatewayKeys[c.answeredVia]);
  }
}

TEST_F(CountersAndReplaysTest, AReplayedJoinIsRefusedAndTheSessionKept) {
  apKey = AddApplication(false, CApplication::kClassC, 0, appServer.Url());
  app.m_LoRaAppList.FindApplication(apKey)->RX2SF = 2;  // SF10: DR2
  devKey = AddOtaaDevice(apKey);
  Start();
  ASSERT_TRUE(Pull(gateway));
  DeviceSim device(kAppEui, kDevEui, kAppKey);
  const auto request = device.JoinRequest(0x1234);
  auto accept = SendAndAwaitReply(gateway, Meta(1000000), request);
  ASSERT_TRUE(accept && accept->phyPayload);
  ASSERT_TRUE(device.AcceptJoin(*accept->phyPayload));
  EXPECT_EQ(device.DlSettings(), 2);  // the datarate its class C frames use
  ExpectAnswered(device, 0, 20000000);
  const auto session = Stored(devKey);
  ASSERT_TRUE(session);

  // The recorded request sent again: no accept, the session stays.
  test::TraceCapture trace;
  SendAndAwaitAck(gateway, Meta(30000000), request);
  EXPECT_TRUE(gateway.ExpectNothing(kNoAcceptMs));
  EXPECT_TRUE(trace.Saw("Join Fail, DevNonce 0x1234 already used - 00 11 22 33 44 55 66 77"));
  const auto kept = Stored(devKey);
  ASSERT_TRUE(kept);
  EXPECT_TRUE(std::equal(device.NwkSKey().begin(), device.NwkSKey().end(), kept->NETSKEY));
  EXPECT_TRUE(std::equal(device.AppSKey().begin(), device.AppSKey().end(), kept->APPSKEY));
  EXPECT_EQ(kept->DEVADDR, session->DEVADDR);
  EXPECT_EQ(kept->TXSEQ, session->TXSEQ);
  ExpectAnswered(device, 1, 40000000);

  // A fresh DevNonce: a new session the device shares.
  accept = SendAndAwaitReply(gateway, Meta(50000000), device.JoinRequest(0x1235));
  ASSERT_TRUE(accept && accept->phyPayload);
  ASSERT_TRUE(device.AcceptJoin(*accept->phyPayload));
  const auto rejoined = Stored(devKey);
  ASSERT_TRUE(rejoined);
  EXPECT_FALSE(std::equal(device.NwkSKey().begin(), device.NwkSKey().end(), session->NETSKEY));
  EXPECT_TRUE(std::equal(device.NwkSKey().begin(), device.NwkSKey().end(), rejoined->NETSKEY));
  ExpectAnswered(device, 0, 70000000);
}

TEST_F(CountersAndReplaysTest, ARefusedJoinWritesOnlyItsReceptionAndShowsNoKey) {
  // The device is in a session, with downlink counter 41 on file. Anyone
  // can send join requests for it: the EUIs travel in clear.
  apKey = AddApplication(false, 0, 0, appServer.Url());
  devKey = AddOtaaDevice(apKey);
  DeviceSim device(kAppEui, kDevEui, kAppKey);
  test::Key wrongKey = kAppKey;
  wrongKey[0] ^= 0xFF;
  DeviceSim stranger(kAppEui, kDevEui, wrongKey);
  Start();
  ASSERT_TRUE(Pull(gateway));
  const auto request = device.JoinRequest(0x2001);
  auto accept = SendAndAwaitReply(gateway, Meta(1000000), request);
  ASSERT_TRUE(accept && accept->phyPayload);
  ASSERT_TRUE(device.AcceptJoin(*accept->phyPayload));
  auto session = Stored(devKey);
  ASSERT_TRUE(session);
  session->TXSEQ = 41;
  ASSERT_EQ(app.m_LoRaDevMgr.UpdateDownlinkState(session.get()), 0);
  (void)LogLines();

  WatchDeviceWrites();
  test::TraceCapture trace;
  const struct {
    const char* name;
    std::vector<uint8_t> frame;
    const char* refusal;
  } cases[] = {
      {"wrong MIC", stranger.JoinRequest(0x2002), "Join Fail, Check app key - 00 11 22 33 44 55 66 77"},
      {"replayed DevNonce", request, "Join Fail, DevNonce 0x2001 already used - 00 11 22 33 44 55 66 77"},
  };
  uint32_t tmst = 10000000;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto mark = Stored(devKey);
    mark->RXTICK = 0;  // the refused request's write sets it
    ASSERT_EQ(app.m_LoRaDevMgr.UpdateReception(mark.get()), 0);
    SendAndAwaitAck(gateway, Meta(tmst += 1000000), c.frame);
    ASSERT_TRUE(test::WaitUntil([&] { return Stored(devKey)->RXTICK != 0; }));
    const std::vector<std::string> lines = LogLines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                            [&](const std::string& line) { return line.find(c.refusal) != std::string::npos; }));
    // No key of the device and no whole frame in any trace line or record.
    std::vector<std::string> output = trace.Lines();
    output.insert(output.end(), lines.begin(), lines.end());
    const auto stored = Stored(devKey);
    std::vector<std::string> secrets = Spellings(c.frame.data(), static_cast<int>(c.frame.size()));
    for (const uint8_t* key : {stored->APPKEY, stored->NETSKEY, stored->APPSKEY, wrongKey.data()}) {
      const auto spellings = Spellings(key, 16);
      secrets.insert(secrets.end(), spellings.begin(), spellings.end());
    }
    for (const std::string& line : output) {
      for (const std::string& secret : secrets) EXPECT_EQ(line.find(secret), std::string::npos) << line;
    }
  }
  EXPECT_TRUE(gateway.ExpectNothing(kNoAcceptMs));
  EXPECT_EQ(WrittenColumns(), std::vector<std::string>{});
  const auto after = Stored(devKey);
  EXPECT_EQ(after->TXSEQ, 41);
  EXPECT_TRUE(std::equal(device.NwkSKey().begin(), device.NwkSKey().end(), after->NETSKEY));
}

}  // namespace
}  // namespace quorvex
