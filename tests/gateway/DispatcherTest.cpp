// The datagram dispatcher and the gateway registry, driven over real
// loopback UDP by simulated packet-forwarder gateways against a started
// application object. After each datagram under test a gateway sends a
// PULL_DATA and waits for its PULL_ACK: datagrams are handled in order, so
// whatever the datagram under test caused has happened by then.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "persistence/DbManager.h"
#include "runtime/QuorvexApp.h"
#include "support/GatewaySim.h"
#include "support/Ports.h"
#include "support/TempDir.h"
#include "support/TraceCapture.h"
#include "support/Wait.h"

namespace quorvex {
namespace {

using test::GatewaySim;
using test::PfIdentifier;
using test::RxMeta;

constexpr uint64_t kEui = 0xAA555A0000000101ull;
constexpr int kWaitMs = test::kPatienceMs;

// A window that counts the messages it gets and drains the log ring.
class CountingWindow : public IWindowLink {
 public:
  explicit CountingWindow(CQuorvexApp& app) : m_App(app) {}
  void SendWindowMessage(int message) override {
    if (message == UM_GATEWAYS) ++gateways;
    if (message == UM_NOTIFY) {
      CLog record;
      while (m_App.TakeLogRecord(record)) ++records;
    }
  }
  std::atomic<int> gateways{0};
  std::atomic<int> records{0};

 private:
  CQuorvexApp& m_App;
};

// A 23-byte join request and data uplinks of the given MHDR (contents do not
// matter until the LoRaWAN layer answers).
std::vector<uint8_t> Frame(uint8_t mhdr, size_t length) {
  std::vector<uint8_t> frame(length, 0x11);
  frame[0] = mhdr;
  return frame;
}

class DispatcherTest : public ::testing::Test {
 protected:
  void Start(bool autoReg) {
    ASSERT_TRUE(app.InitBase(dir.Path().string()));
    app.m_Settings.m_bAutoReg = autoReg ? 1 : 0;
    app.m_GatewayPort = test::FreeUdpPort();
    app.SetWindow(&window);
    ASSERT_EQ(app.StartServer(), 1);
    ASSERT_TRUE(test::WaitUntil([&] { return app.m_LoRaUdpServer.BoundPort() == app.m_GatewayPort; }));
  }
  void TearDown() override {
    app.StopServer();
    app.WaitForServerThreads(kWaitMs);
    app.SetWindow(nullptr);
  }
  uint16_t Port() const { return static_cast<uint16_t>(app.m_GatewayPort); }

  // PULL_DATA and its PULL_ACK; true when acknowledged.
  bool Pull(GatewaySim& gateway) {
    const uint16_t token = gateway.SendPullData();
    auto ack = gateway.WaitFor(PfIdentifier::PullAck, kWaitMs);
    return ack && ack->token == token;
  }
  // Everything the gateway received (acks, downlinks) after its next pull
  // was acknowledged, the pull's own PULL_ACK left out.
  std::vector<test::SimDatagram> AnswersBeforeBarrier(GatewaySim& gateway) {
    const uint16_t token = gateway.SendPullData();
    std::vector<test::SimDatagram> answers;
    for (;;) {
      auto next = gateway.WaitForAny(kWaitMs);
      if (!next) {
        ADD_FAILURE() << "no PULL_ACK for the barrier";
        return answers;
      }
      if (next->Is(PfIdentifier::PullAck) && next->token == token) return answers;
      answers.push_back(*next);
    }
  }

  test::TempDir dir;
  test::TraceCapture trace;
  CQuorvexApp app;
  CountingWindow window{app};
};

TEST_F(DispatcherTest, AutoRegOnRegistersAnActiveGatewayAndAcknowledgesItsPulls) {
  Start(true);
  GatewaySim gateway(Port(), kEui, {.version = 31});
  gateway.SetNextToken(0xBEEF);
  gateway.SendPullData();
  auto ack = gateway.WaitFor(PfIdentifier::PullAck, kWaitMs);
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->bytes, (std::vector<uint8_t>{2, 0xBE, 0xEF, 4}));
  EXPECT_EQ(window.gateways.load(), 1);

  ASSERT_TRUE(Pull(gateway));  // known now: acknowledged, no second message
  EXPECT_EQ(window.gateways.load(), 1);

  std::lock_guard<std::recursive_mutex> lock(app.m_LoRaGateMgr.Mutex());
  ASSERT_EQ(app.m_LoRaGateMgr.m_Gateways.size(), 1u);
  const CGateway& record = *app.m_LoRaGateMgr.m_Gateways[0];
  EXPECT_EQ(record.ACTIVE, 1);
  EXPECT_STREQ(record.ID, "AA555A0000000101");
  EXPECT_STREQ(record.IP, "127.0.0.1");
  EXPECT_GT(record.PKEY, 0);  // stored in GATETBL
  EXPECT_EQ(record.m_PullSeen, 1);
  EXPECT_EQ(record.m_Connected, 1);
  EXPECT_EQ(record.m_IsNew, 0);
}

TEST_F(DispatcherTest, AutoRegOffRegistersAnInactiveGatewayUntilTheOperatorActivatesIt) {
  Start(false);
  GatewaySim gateway(Port(), kEui);
  gateway.SendPullData();
  EXPECT_TRUE(test::WaitUntil([&] { return window.gateways.load() == 1; }));
  gateway.SendPullData();
  // Neither pull is acknowledged; the second sends no message.
  GatewaySim witness(Port(), kEui + 1);  // a second, separate gateway as barrier
  app.m_Settings.m_bAutoReg = 1;
  ASSERT_TRUE(Pull(witness));
  EXPECT_TRUE(gateway.TakeAll().empty());
  EXPECT_EQ(window.gateways.load(), 2);  // the inactive one once, the witness once

  {
    std::lock_guard<std::recursive_mutex> lock(app.m_LoRaGateMgr.Mutex());
    CGateway& record = *app.m_LoRaGateMgr.m_Gateways[0];
    EXPECT_EQ(record.ACTIVE, 0);
    record.ACTIVE = 1;  // as the gateway dialog does
    EXPECT_EQ(app.m_LoRaGateMgr.UpdateGateway(&record), 0);
  }
  EXPECT_TRUE(Pull(gateway));
}

TEST_F(DispatcherTest, LowerCaseStoredIdMatchesAndIsRewritten) {
  {
    // A gateway typed in lower case by the operator, stored before start.
    CDbManager db;
    db.Open(dir.Path().string());
    CGatewayRow row;
    row.ACTIVE = 1;
    snprintf(row.ID, sizeof row.ID, "aa555a0000000101");
    int32_t result = 0;
    ASSERT_EQ(db.InsertGatewayRow(&row, result), 0);
  }
  Start(false);
  ASSERT_EQ(app.LoadRegistries(), 0);
  GatewaySim gateway(Port(), kEui);
  EXPECT_TRUE(Pull(gateway));  // found although Auto Reg is off
  EXPECT_EQ(window.gateways.load(), 0);

  CQuorvexApp reloaded;  // the row was rewritten in upper case
  ASSERT_TRUE(reloaded.InitBase(dir.Path().string()));
  ASSERT_EQ(reloaded.LoadRegistries(), 0);
  ASSERT_EQ(reloaded.m_LoRaGateMgr.m_Gateways.size(), 1u);
  EXPECT_STREQ(reloaded.m_LoRaGateMgr.m_Gateways[0]->ID, "AA555A0000000101");
  EXPECT_STREQ(reloaded.m_LoRaGateMgr.m_Gateways[0]->IP, "127.0.0.1");
}

TEST_F(DispatcherTest, RadioPacketsOfAGatewayThatHasNotPulledAreIgnored) {
  Start(true);
  GatewaySim gateway(Port(), kEui);
  gateway.SendRxpk(RxMeta{}, Frame(0x40, 16));
  EXPECT_TRUE(AnswersBeforeBarrier(gateway).empty());
  EXPECT_TRUE(trace.Saw("m_LoRaGateMgr Not Received PullData"));
}

TEST_F(DispatcherTest, UplinksAreAcknowledgedToThePushAddressAfterProcessing) {
  Start(true);
  GatewaySim gateway(Port(), kEui, {.separatePullSocket = true});
  ASSERT_TRUE(Pull(gateway));
  for (uint8_t mhdr : {0x00, 0x40, 0x80}) {  // join request, unconfirmed and confirmed data up
    const uint16_t token = gateway.SendRxpk(RxMeta{}, Frame(mhdr, mhdr == 0 ? 23 : 16));
    const auto answers = AnswersBeforeBarrier(gateway);
    ASSERT_EQ(answers.size(), 1u) << "MHDR " << int(mhdr);
    EXPECT_EQ(answers[0].bytes, (std::vector<uint8_t>{2, uint8_t(token >> 8), uint8_t(token), 1}));
    EXPECT_FALSE(answers[0].onPullSocket);  // PUSH_ACK to the push address
  }
  // Three radio packets in one datagram: the first is processed, one PUSH_ACK.
  gateway.SendRxpkMany({{RxMeta{}, Frame(0x40, 16)}, {RxMeta{}, Frame(0x40, 16)}, {RxMeta{}, Frame(0x80, 16)}});
  EXPECT_EQ(AnswersBeforeBarrier(gateway).size(), 1u);
}

TEST_F(DispatcherTest, RefusedPushDataIsNeverAcknowledged) {
  Start(true);
  GatewaySim gateway(Port(), kEui);
  ASSERT_TRUE(Pull(gateway));
  const std::vector<uint8_t> uplink = Frame(0x40, 16);

  auto meta = [](auto change) {
    RxMeta m;
    change(m);
    return m;
  };
  struct Case {
    const char* name;
    std::function<void()> send;
    const char* trace;  // expected trace text, or null
  };
  const std::vector<Case> cases = {
      {"stat and rxpk together is a status report", [&] { gateway.SendStatAndRxpk(RxMeta{}, uplink); }, nullptr},
      {"size 0", [&] { gateway.SendRxpk(meta([](RxMeta& m) { m.size = 0; }), uplink); },
       "JSon2x.GetRxField empty !, frame size zero"},
      {"size missing", [&] { gateway.SendRxpk(meta([](RxMeta& m) { m.omit = {"size"}; }), uplink); },
       "frame size zero"},
      {"size not a number", [&] { gateway.SendRxpk(meta([](RxMeta& m) { m.size = "abc"; }), uplink); },
       "frame size zero"},
      {"size differs from the data", [&] { gateway.SendRxpk(meta([](RxMeta& m) { m.size = 17; }), uplink); },
       "Utils.SetBase64Decode size err"},
      {"data missing", [&] { gateway.SendRxpk(meta([](RxMeta& m) { m.omit = {"data"}; }), uplink); },
       "JSon2x.GetRxField no include data..root=rxpk"},
      {"data not Base64", [&] { gateway.SendRxpk(meta([](RxMeta& m) { m.data = "!!!!"; }), uplink); },
       "Utils.SetBase64Decode size err"},
      {"freq missing", [&] { gateway.SendRxpk(meta([](RxMeta& m) { m.omit = {"freq"}; }), uplink); },
       "Rx Packet Dropped: no freq or rssi"},
      {"rssi an array", [&] { gateway.SendRxpk(meta([](RxMeta& m) { m.rssi = Json::Value(Json::arrayValue); }), uplink); },
       nullptr},
      {"freq an object", [&] { gateway.SendRxpk(meta([](RxMeta& m) { m.freq = Json::Value(Json::objectValue); }), uplink); },
       nullptr},
      {"rxpk empty", [&] { gateway.SendPushJson(R"({"rxpk":[]})"); }, "rxpk is empty or not an array"},
      {"rxpk not an array", [&] { gateway.SendPushJson(R"({"rxpk":{"size":1}})"); }, nullptr},
      {"rxpk element not an object", [&] { gateway.SendPushJson(R"({"rxpk":[7]})"); }, nullptr},
      {"JSON not an object", [&] { gateway.SendPushJson("[1,2,3]"); }, "CJSonIFace::Parse Rx JSON Error"},
      {"JSON broken", [&] { gateway.SendPushJson(R"({"rxpk":[{"size":)"); }, nullptr},
      {"join accept heard (MType 1)", [&] { gateway.SendRxpk(RxMeta{}, Frame(0x20, 17)); }, nullptr},
      {"MType 3", [&] { gateway.SendRxpk(RxMeta{}, Frame(0x60, 16)); }, nullptr},
      {"MType 5", [&] { gateway.SendRxpk(RxMeta{}, Frame(0xA0, 16)); }, nullptr},
      {"MType 6", [&] { gateway.SendRxpk(RxMeta{}, Frame(0xC0, 16)); }, nullptr},
      {"MType 7", [&] { gateway.SendRxpk(RxMeta{}, Frame(0xE0, 16)); }, "MType 7 is not an uplink"},
      {"texts longer than their fields",
       [&] { gateway.SendRxpk(meta([](RxMeta& m) { m.datr = std::string(5000, 'S'); m.freq = std::string(300, '8'); m.omit = {"rssi"}; }), uplink); },
       nullptr},
  };
  for (const Case& c : cases) {
    trace.Clear();
    c.send();
    EXPECT_TRUE(AnswersBeforeBarrier(gateway).empty()) << c.name;
    if (c.trace) {
      EXPECT_TRUE(trace.Saw(c.trace)) << c.name;
    }
  }
  // Still serving: a good uplink is acknowledged.
  gateway.SendRxpk(RxMeta{}, uplink);
  EXPECT_EQ(AnswersBeforeBarrier(gateway).size(), 1u);
}

TEST_F(DispatcherTest, MalformedDatagramsGetNoAnswerAndTheServerKeepsServing) {
  Start(true);
  GatewaySim gateway(Port(), kEui);
  ASSERT_TRUE(Pull(gateway));
  for (size_t length = 0; length < 12; ++length) {
    // (A zero-length datagram is not delivered by the socket at all.)
    gateway.SendRaw(std::vector<uint8_t>(length, 2));
  }
  EXPECT_TRUE(AnswersBeforeBarrier(gateway).empty());
  EXPECT_EQ(trace.Count("CJSonIFace::Parse Rx Size Error"), 11);

  for (uint8_t identifier : {1, 3, 4, 6, 255}) {
    auto bytes = GatewaySim::Header(2, 0x1234, PfIdentifier::PushData, kEui);
    bytes[3] = identifier;
    gateway.SendRaw(bytes);
  }
  gateway.SendRaw(GatewaySim::Header(1, 0x1234, PfIdentifier::PullData, kEui));  // version 1
  EXPECT_TRUE(AnswersBeforeBarrier(gateway).empty());
  EXPECT_TRUE(trace.Saw("CJSonIFace::Parse Rx Version Error 1"));
  EXPECT_EQ(trace.Count("CJSonIFace::SetUdpRxParse Not Support IO"), 5);

  std::vector<uint8_t> big = GatewaySim::Header(2, 1, PfIdentifier::PushData, kEui);
  big.resize(1500, '{');  // deep nesting, cut short
  gateway.SendRaw(big);
  EXPECT_TRUE(AnswersBeforeBarrier(gateway).empty());
}

// Through a simulated gateway: which TX_ACKs become TX-FAIL rows and
// failure trace lines.
TEST_F(DispatcherTest, OnlyATxAckReportingAnErrorLogsATransmitFailure) {
  Start(true);
  GatewaySim gateway(Port(), kEui);
  ASSERT_TRUE(Pull(gateway));
  const struct {
    std::optional<std::string> body;
    std::string failure;  // the TX-FAIL row's text; empty: no row
    std::string trace;    // a line the trace shows
  } cases[] = {
      {std::nullopt, "", ""},
      {R"({"txpk_ack":{"error":"NONE"}})", "", ""},
      {R"({"txpk_ack":{}})", "", ""},
      {R"({"txpk_ack":{"warn":"TX_POWER","value":14}})", "", "127.0.0.1, Tx Ack Warning TX_POWER"},
      {R"({"txpk_ack":{"error":"TOO_LATE"}})", "Tx Fail MSG = TOO_LATE", "127.0.0.1, Tx Ack Fail"},
      {R"({"txpk_ack":{"error":"COLLISION_PACKET"}})", "Tx Fail MSG = COLLISION_PACKET", "Tx Ack Fail"},
      {"not json", "Tx Fail MSG = not json", "FAIL MSG >>>  not json"},
  };
  for (const auto& c : cases) {
    const std::string name = c.body.value_or("(no JSON)");
    trace.Clear();
    app.m_LoRaLogMgr.DeleteAllLogs();
    gateway.SendTxAck(c.body);
    EXPECT_TRUE(AnswersBeforeBarrier(gateway).empty()) << name;
    std::vector<LogListRow> rows;
    app.m_LoRaLogMgr.ReadLogPage(rows, 0, 0);
    if (c.failure.empty()) {
      EXPECT_TRUE(rows.empty()) << name;
      EXPECT_FALSE(trace.Saw("Tx Ack Fail")) << name;
    } else {
      ASSERT_EQ(rows.size(), 1u) << name;
      EXPECT_EQ(rows[0].columns[0], "TX-FAIL");
      EXPECT_EQ(rows[0].columns[2], c.failure);
      EXPECT_EQ(rows[0].columns[4], "127.0.0.1");
    }
    if (!c.trace.empty()) {
      EXPECT_TRUE(trace.Saw(c.trace)) << name;
    }
  }
}

}  // namespace
// A TX_ACK counts only from where an active gateway pulls: anyone can send
// one, and each would otherwise become a TX-FAIL row blamed on the device of
// the last downlink. The ignored ones are traced once per burst.
TEST_F(DispatcherTest, TxAcksFromAnywhereButAnActiveGatewaysPullAddressAreIgnored) {
  Start(true);
  GatewaySim gateway(Port(), kEui);
  ASSERT_TRUE(Pull(gateway));
  GatewaySim stranger(Port(), kEui + 7);                // never pulled
  GatewaySim impostor(Port(), kEui);                    // the gateway's EUI from another socket
  GatewaySim switchedOff(Port(), kEui + 8);             // pulled, then switched off by the operator
  ASSERT_TRUE(Pull(switchedOff));
  {
    std::lock_guard<std::recursive_mutex> lock(app.m_LoRaGateMgr.Mutex());
    app.m_LoRaGateMgr.FindGateway("AA555A0000000109")->ACTIVE = 0;
  }
  const std::string error = R"({"txpk_ack":{"error":"TOO_LATE"}})";
  for (GatewaySim* sender : {&stranger, &impostor, &switchedOff}) {
    for (int i = 0; i < 50; ++i) sender->SendTxAck(error);
  }
  EXPECT_TRUE(AnswersBeforeBarrier(gateway).empty());
  std::vector<LogListRow> rows;
  app.m_LoRaLogMgr.ReadLogPage(rows, 0, 0);
  EXPECT_TRUE(rows.empty());
  const std::vector<std::string> lines = trace.Lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) { return line.find("TX_ACK ignored") != std::string::npos; }),
            1);

  // The real gateway's failure report still counts; nothing was sent yet,
  // so it names no device (key 0).
  gateway.SendTxAck(error);
  EXPECT_TRUE(AnswersBeforeBarrier(gateway).empty());
  std::vector<CLog> stored;
  int32_t lastResult = 0;
  ASSERT_EQ(app.m_LoRaDbMgr.ReadLogRows(0, 0, stored, lastResult), 0);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].TYPE, static_cast<uint32_t>(CLog::TxFail));
  EXPECT_EQ(stored[0].DEVPKEY, 0u);
}

}  // namespace quorvex
