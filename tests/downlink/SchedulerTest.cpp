// The transmit scheduler driven pass by pass with the test's own clock: the
// "txpk" documents byte for byte, when requests are forwarded and sent, the
// order of requests due in the same pass, and the requests of devices the
// operator deleted while they waited.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "downlink/JitManager.h"
#include "lorawan/TestHex.h"
#include "persistence/DLink.h"
#include "persistence/DbFixture.h"
#include "support/DeviceSim.h"
#include "support/GatewaySim.h"
#include "persistence/Application.h"
#include "persistence/RecordDeletion.h"
#include "runtime/QuorvexApp.h"
#include "support/TempDir.h"
#include "support/TraceCapture.h"
#include "support/UdpClient.h"
#include "support/Wait.h"

namespace quorvex {
namespace {

using test::Hex;

std::unique_ptr<CDevice> Device(const char* tmst, int32_t pkey = 1) {
  auto device = std::make_unique<CDevice>();
  device->PKEY = pkey;
  RadioMetadata::SetText(device->m_RxInfo.tmst, tmst);
  RadioMetadata::SetText(device->m_RxInfo.freq, "922.1");
  RadioMetadata::SetText(device->m_RxInfo.datr, "SF7BW125");
  return device;
}

TEST(TxpkTest, ClassAAnswerTimesTheReceiveWindowOnTheUplinkChannel) {
  const struct {
    const char* tmst;
    uint32_t delay;
    const char* expectTmst;
  } cases[] = {
      {"3512348000", 1000, "3513348000"},  // data uplink: window 1 s after reception
      {"1234", 5000, "5001234"},           // join accept: 5 s
      {"4294000000", 1000, "32704"},       // wraps with the gateway's 32-bit counter
  };
  for (const auto& c : cases) {
    std::string text;
    ASSERT_TRUE(CJitManager::MakeClassATxpk(*Device(c.tmst), c.delay, "QUJD", 3, text));
    EXPECT_EQ(text, std::string(R"({"txpk":{"codr":"4/5","data":"QUJD","datr":"SF7BW125","freq":922.1,)"
                                R"("ipol":true,"modu":"LORA","powe":20,"rfch":0,"size":3,"tmst":)") +
                        c.expectTmst + "}}")
        << c.tmst;
  }
  auto device = Device("1000");
  RadioMetadata::SetText(device->m_RxInfo.freq, "923");
  std::string text;
  ASSERT_TRUE(CJitManager::MakeClassATxpk(*device, 1000, "QQ==", 1, text));
  EXPECT_NE(text.find(R"("freq":923.0,)"), std::string::npos) << text;
}

TEST(TxpkTest, ClassCGoesOutAtOnceOnTheApplicationsRx2Channel) {
  const struct {
    int32_t chan, sf, bw;
    const char* freq;
    const char* datr;
  } cases[] = {{921900000, 0, 0, "921.9", "SF12BW125"},
               {869525000, 3, 1, "869.525", "SF9BW250"},  // the common RX2 channel, not cut to 869.5
               {923300000, 5, 2, "923.3", "SF7BW500"},
               {923300000, 5, 7, "923.3", "SF7BW125"},  // unknown bandwidth index
               {923000000, 0, 0, "923.0", "SF12BW125"},
               {505300000, 0, 0, "505.3", "SF12BW125"},
               {869525001, 0, 0, "869.525001", "SF12BW125"},  // 1 Hz steps are exact
               {2147483647, 0, 0, "2147.483647", "SF12BW125"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.freq);
    CApplication application;
    application.RX2CHAN = c.chan;
    application.RX2SF = c.sf;
    application.RX2BW = c.bw;
    std::string text;
    ASSERT_TRUE(CJitManager::MakeClassCTxpk(application, "QUJD", 3, text));
    EXPECT_EQ(text, std::string(R"({"txpk":{"codr":"4/5","data":"QUJD","datr":")") + c.datr + R"(","freq":)" +
                        c.freq + R"(,"imme":true,"ipol":true,"modu":"LORA","powe":20,"rfch":0,"size":3}})");
  }
}

// A scheduler whose passes the test drives; the app's socket sends to a
// loopback client standing in for the gateway.
class SchedulerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(app.InitBase(dir.Path().string()));
    ASSERT_TRUE(app.m_LoRaUdpServer.Start(0));
    ASSERT_TRUE(test::WaitUntil([&] { return app.m_LoRaUdpServer.BoundPort() != 0; }));
    ASSERT_TRUE(MakeAddress("127.0.0.1", gatewaySocket.LocalPort(), gateway.m_PullAddr));
    app.m_LoRaJitMgr.SetTxSent(
        [](JitRequest& request, void* owner) { static_cast<std::vector<int>*>(owner)->push_back(request.m_Device->PKEY); },
        &sent);
  }
  void TearDown() override { app.m_LoRaUdpServer.Stop(); }

  // Stores a joined device of the application `apKey` with a session and
  // no downlink sent yet, with `edit` applied; its key.
  int32_t StoreDevice(int32_t apKey = 0, const std::function<void(CDevice&)>& edit = {}) {
    auto device = std::make_unique<CDevice>();
    device->APKEY = apKey;
    device->JOINED = 1;
    device->DEVADDR = 0x26011B00u + static_cast<uint32_t>(++storedDevices);
    device->DEVEUI[7] = static_cast<uint8_t>(storedDevices);
    std::fill(std::begin(device->NETSKEY), std::end(device->NETSKEY), 0x11);
    std::fill(std::begin(device->APPSKEY), std::end(device->APPSKEY), 0x22);
    device->TXSEQ = -1;
    if (edit) edit(*device);
    CDevice* kept = device.get();
    EXPECT_EQ(app.m_LoRaDevMgr.InsertDevice(std::move(device)), 0);
    return kept->PKEY;
  }
  // An application for the replies (class A unless `fields` say otherwise); its key.
  int32_t StoreApplication(const CApplication& fields = {}) {
    auto application = std::make_unique<CApplication>(fields);
    CApplication* kept = application.get();
    EXPECT_EQ(app.m_LoRaAppList.InsertApplication(std::move(application)), 0);
    return kept->PKEY;
  }

  // The answer to an uplink of stored device `pkey` (MType `upMType`: 0 a
  // join request, 4 a confirmed data uplink) received at tick `rxTick`,
  // gateway time `tmst`. The queued record, for the test to add what the
  // uplink carried; the queue owns it.
  CDevice& QueueAnswer(int32_t pkey, int32_t upMType, int64_t rxTick, const char* tmst = "1000000") {
    auto request = std::make_unique<JitRequest>();
    request->m_Device = app.m_LoRaDevMgr.GetDeviceByPkey(pkey);
    if (request->m_Device == nullptr) throw std::runtime_error("no stored device " + std::to_string(pkey));
    RadioMetadata::SetText(request->m_Device->m_RxInfo.tmst, tmst);
    RadioMetadata::SetText(request->m_Device->m_RxInfo.freq, "922.1");
    RadioMetadata::SetText(request->m_Device->m_RxInfo.datr, "SF7BW125");
    request->m_Delay = upMType == 0 ? 5000 : 1000;
    request->m_Device->RXTICK = rxTick;
    request->m_Device->m_UpMType = upMType;
    request->m_Device->m_Gateway = &gateway;
    if (upMType == 0) request->m_Device->m_TxLength = 17;  // the accept is built at reception
    CDevice& queued = *request->m_Device;
    app.m_LoRaJitMgr.AddRequest(std::move(request));
    return queued;
  }
  // The next data downlink the gateway received, opened as device `pkey`
  // (the fixture's session keys) sees it; nothing when none came or it does
  // not open.
  std::optional<test::Downlink> NextDownlink(int32_t pkey, int timeoutMs) {
    const auto datagram = gatewaySocket.Receive(timeoutMs);
    if (!datagram) return std::nullopt;
    const test::SimDatagram parsed = test::GatewaySim::ParseDatagram(*datagram);
    if (!parsed.phyPayload) return std::nullopt;
    test::Key nwkSKey, appSKey;
    nwkSKey.fill(0x11);
    appSKey.fill(0x22);
    return test::DeviceSim(Stored(pkey).DEVADDR, nwkSKey, appSKey).Open(*parsed.phyPayload);
  }
  // Queues an "RX 1" request for device `pkey`.
  void QueueRequest(int32_t pkey, int32_t port, const char* mac, const char* appData) {
    auto request = std::make_unique<CDLink>();
    request->DEVPKEY = pkey;
    request->PORT = port;
    request->CHANNEL = CDLink::kRx1;
    std::snprintf(request->MAC, sizeof request->MAC, "%s", mac);
    std::snprintf(request->APP, sizeof request->APP, "%s", appData);
    ASSERT_EQ(app.m_LoRaDlinkList.InsertDownlink(std::move(request), false), 0);
  }
  // A gateway of the registry, pulling in this run (its pull address the
  // test's socket) or not; its key.
  int32_t StoreGateway(bool pulling) {
    auto record = std::make_unique<CGateway>();
    CGateway* kept = record.get();
    EXPECT_EQ(app.m_LoRaGateMgr.InsertGateway(std::move(record)), 0);
    std::lock_guard<std::recursive_mutex> lock(app.m_LoRaGateMgr.Mutex());
    kept->m_PullAddr = gateway.m_PullAddr;
    SetPulling(*kept, pulling);
    return kept->PKEY;
  }
  void SetPulling(CGateway& record, bool pulling) {
    record.m_Connected = pulling ? 1 : 0;
    record.m_PullSeen = pulling ? 1 : 0;
  }
  // Queues a class C ("RX 2") request of application data for device
  // `devPkey`; its key.
  int32_t QueueClassC(int32_t devPkey, const char* appData) {
    auto request = std::make_unique<CDLink>();
    request->DEVPKEY = devPkey;
    request->PORT = 3;
    request->CHANNEL = CDLink::kRx2;
    std::snprintf(request->APP, sizeof request->APP, "%s", appData);
    EXPECT_EQ(app.m_LoRaDlinkList.InsertDownlink(std::move(request), false), 0);
    return static_cast<int32_t>(app.m_LoRaDbMgr.GetMaxValue("DLINKTBL", "PKEY"));
  }
  // The stored request `pkey` of device `devPkey`.
  CDLink StoredRequest(int32_t devPkey, int32_t pkey) {
    DLinkRecords all;
    EXPECT_EQ(app.m_LoRaDlinkList.LoadDownlinks(devPkey, false, &all), 0);
    for (const auto& r : all)
      if (r->PKEY == pkey) return *r;
    throw std::runtime_error("no stored request " + std::to_string(pkey));
  }
  // The stored row of device `pkey`.
  CDevice Stored(int32_t pkey) {
    const std::unique_ptr<CDevice> row = app.m_LoRaDevMgr.GetDeviceByPkey(pkey);
    if (row == nullptr) throw std::runtime_error("no stored device " + std::to_string(pkey));
    return *row;
  }
  void QueueJoinAccept(int32_t pkey, int64_t rxTick) { QueueAnswer(pkey, 0, rxTick); }

  // The "txpk" text of the next datagram the gateway received; empty when
  // none is waiting.
  std::string NextTxpk(int timeoutMs) {
    auto datagram = gatewaySocket.Receive(timeoutMs);
    if (!datagram || datagram->size() < 4) return {};
    return std::string(datagram->begin() + 4, datagram->end());
  }

  test::TempDir dir;
  CQuorvexApp app;
  CGateway gateway;
  test::UdpClient gatewaySocket;
  std::vector<int> sent;
  int storedDevices = 0;
};

TEST_F(SchedulerTest, JoinAcceptsLeave200MsBeforeTheirWindowsInTheOrderTheyBecomeDue) {
  const int32_t first = StoreDevice(), second = StoreDevice(), third = StoreDevice();
  QueueJoinAccept(first, 10000);
  QueueJoinAccept(second, 10005);
  QueueJoinAccept(third, 10030);
  EXPECT_FALSE(app.m_LoRaJitMgr.ServePass(10000 + 4799));  // not yet due
  EXPECT_TRUE(sent.empty());
  // Two due in the same pass both leave in it, the newer first; the third
  // becomes due later and leaves in a later pass.
  EXPECT_TRUE(app.m_LoRaJitMgr.ServePass(10005 + 4800));
  EXPECT_EQ(sent, (std::vector<int>{second, first}));
  EXPECT_FALSE(app.m_LoRaJitMgr.ServePass(10005 + 4820));
  EXPECT_TRUE(app.m_LoRaJitMgr.ServePass(10030 + 4800));
  EXPECT_EQ(sent, (std::vector<int>{second, first, third}));
  EXPECT_EQ(app.m_LoRaJitMgr.Count(), 0u);

  for (int i = 0; i < 3; ++i) {
    auto datagram = gatewaySocket.Receive(test::kPatienceMs);
    ASSERT_TRUE(datagram.has_value());
    ASSERT_GT(datagram->size(), 4u);
    EXPECT_EQ(std::vector<uint8_t>(datagram->begin(), datagram->begin() + 4), (std::vector<uint8_t>{2, 0, 0, 3}));
    const std::string json(datagram->begin() + 4, datagram->end());
    EXPECT_NE(json.find(R"("tmst":6000000})"), std::string::npos) << json;  // 1000000 + 5 s
    EXPECT_NE(json.find(R"("size":17,)"), std::string::npos) << json;
  }
}

TEST_F(SchedulerTest, ARequestWhoseDeviceWasDeletedWhileItWaitedIsDroppedAndItsNeighbourStillLeaves) {
  const struct {
    const char* what;
    int32_t upMType;
    int32_t delay;
  } cases[] = {{"join accept", 0, 5000}, {"class A reply", 4, 1000}};
  const int32_t apKey = StoreApplication();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sent.clear();
    const int32_t deleted = StoreDevice(apKey), kept = StoreDevice(apKey);
    QueueAnswer(deleted, c.upMType, 10000, "1000000");
    QueueAnswer(kept, c.upMType, 10000, "2000000");
    const DeleteResult result =
        DeleteDeviceCascade(app.m_LoRaDbMgr, app.m_LoRaDevMgr, app.m_LoRaDlinkList, deleted);
    ASSERT_FALSE(result.Refused());

    test::TraceCapture trace;
    EXPECT_TRUE(app.m_LoRaJitMgr.ServePass(10000 + c.delay - 200));
    EXPECT_EQ(sent, (std::vector<int>{kept}));
    EXPECT_EQ(app.m_LoRaJitMgr.Count(), 0u);
    EXPECT_TRUE(trace.Saw("JIT TX device " + std::to_string(deleted) + " deleted, request dropped"));
    // Nothing of the dropped request brought the row back.
    EXPECT_EQ(app.m_LoRaDevMgr.GetDeviceByPkey(deleted), nullptr);
    const std::unique_ptr<CDevice> neighbour = app.m_LoRaDevMgr.GetDeviceByPkey(kept);
    ASSERT_NE(neighbour, nullptr);
    EXPECT_EQ(neighbour->TXSEQ, c.upMType == 0 ? -1 : 0);  // a reply's counter is on file

    // The sends of a pass are done when it returns: one datagram, the
    // neighbour's (timed on its own gateway clock).
    const std::string txpk = NextTxpk(test::kPatienceMs);
    const std::string expectTmst = c.upMType == 0 ? R"("tmst":7000000})" : R"("tmst":3000000})";
    EXPECT_NE(txpk.find(expectTmst), std::string::npos) << txpk;
    EXPECT_EQ(NextTxpk(0), "");
  }
}

// An unconfirmed uplink that needs no reply still changes the device's
// downlink state, and the change is on file: a LinkADRAns confirms the power
// step it answers (else every later LinkADRReq asks for the same step), and
// an ADR flag left set when the operator turned the application's ADR off is
// cleared (else every uplink gets an empty reply).
TEST_F(SchedulerTest, AnUplinkWithoutReplyStillStoresWhatItChanged) {
  const struct {
    const char* what;
    int32_t appAdr;
    int32_t adr, adrPwr, pwrReq;  // stored before
    const char* upMac;
    int32_t expectAdr, expectAdrPwr, expectPwrReq;
  } cases[] = {
      {"LinkADRAns confirms the power step", 1, 0, 2, 1, "03 07", 0, 3, 0},
      {"LinkADRAns refusing the power keeps the request", 1, 0, 2, 1, "03 06", 0, 2, 1},
      {"ADR turned off clears the device's flag", 0, 1, 0, 0, "", 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CApplication fields;
    fields.ADR = c.appAdr;
    const int32_t apKey = StoreApplication(fields);
    const int32_t pkey = StoreDevice(apKey, [&](CDevice& d) {
      d.ADR = c.adr;
      d.ADRPWR = c.adrPwr;
      d.PWRREQ = c.pwrReq;
    });
    // Three uplinks in a row: none of them gets a frame.
    for (int uplink = 0; uplink < 3; ++uplink) {
      const int64_t rxTick = 10000 + 2000 * uplink;
      CDevice& queued = QueueAnswer(pkey, 2, rxTick);
      const auto mac = Hex(c.upMac);
      std::copy(mac.begin(), mac.end(), queued.m_UpMac);
      queued.m_UpMacLength = static_cast<int32_t>(mac.size());
      EXPECT_FALSE(app.m_LoRaJitMgr.ServePass(rxTick + 800));
      EXPECT_EQ(NextTxpk(0), "");
    }
    const CDevice stored = Stored(pkey);
    EXPECT_EQ(stored.ADR, c.expectAdr);
    EXPECT_EQ(stored.ADRPWR, c.expectAdrPwr);
    EXPECT_EQ(stored.PWRREQ, c.expectPwrReq);
    EXPECT_EQ(stored.TXSEQ, -1);  // no frame, no counter used
    EXPECT_TRUE(sent.empty());
  }
}

// A frame may leave while its window opens at least kMinSendLeadMs later.
// The edge is tested here, on the pure check: a pass's own clock moves on
// while it builds, so a pass run exactly at the edge may come out late.
TEST(TooLateTest, AFrameLeavesOnlyWithTheMinimumLeadBeforeItsWindow) {
  JitRequest request;
  request.m_DueTick = 10800;  // window at 11000
  const struct {
    uint64_t now;
    bool late;
  } cases[] = {{10800, false}, {10950, false}, {10951, true}, {11000, true}, {16000, true}};
  for (const auto& c : cases) EXPECT_EQ(CJitManager::TooLate(request, c.now), c.late) << c.now;
}

// A reply whose uplink waited (behind a database another program held, say)
// until its window was about to open, or had opened, is not sent and leaves
// nothing on file: no counter used, the operator's queued downlink still
// pending for the next reply. An uplink that needs no reply keeps what it
// changed.
TEST_F(SchedulerTest, AReplyTooLateForItsWindowIsNotSentAndKeepsNothing) {
  const int32_t apKey = StoreApplication();
  const struct {
    int64_t beforeWindowMs;  // when the pass runs, before the window opens
    bool leaves;
  } cases[] = {{200, true}, {49, false}, {0, false}, {-5000, false}};  // the exact edge: TooLate's table
  int64_t rxTick = 10000;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.beforeWindowMs);
    sent.clear();
    const int32_t pkey = StoreDevice(apKey);
    QueueRequest(pkey, 20, "", "AA");
    const uint64_t failedBefore = app.m_Metrics.DownlinksFailed(DownlinkFailure::kServer);
    QueueAnswer(pkey, 2, rxTick);  // unconfirmed: the queued data makes the reply
    test::TraceCapture trace;
    EXPECT_EQ(app.m_LoRaJitMgr.ServePass(rxTick + 1000 - c.beforeWindowMs), c.leaves);
    EXPECT_EQ(sent, c.leaves ? std::vector<int>{pkey} : std::vector<int>{});
    EXPECT_EQ(Stored(pkey).TXSEQ, c.leaves ? 0 : -1);
    EXPECT_EQ(app.m_Metrics.DownlinksFailed(DownlinkFailure::kServer) - failedBefore, c.leaves ? 0u : 1u);
    EXPECT_EQ(trace.Saw("JIT TX device " + std::to_string(pkey) + " frame not sent: too late"), !c.leaves);
    if (!c.leaves) {
      // The next uplink, on time, carries the data instead.
      QueueAnswer(pkey, 2, rxTick + 2000);
      EXPECT_TRUE(app.m_LoRaJitMgr.ServePass(rxTick + 2800));
    }
    // Either way the data leaves once, with the first counter.
    const std::optional<test::Downlink> downlink = NextDownlink(pkey, test::kPatienceMs);
    ASSERT_TRUE(downlink.has_value());
    EXPECT_EQ(downlink->fcnt, 0);
    EXPECT_EQ(downlink->payload, Hex("AA"));
    rxTick += 10000;
  }
}

// A confirmed uplink on port 7 asks for a link check and the time; the
// operator queued a DevStatusReq with data on port 20. One reply carries
// both answers in the order asked, then the queued command, and the data on
// the request's port. The time is that of the uplink's reception (GPS
// seconds, then 1/256 s), not that of the moment the reply is built; a record
// without a reception stamp is told the time of the build.
TEST_F(SchedulerTest, OneReplyCarriesBothAnswersTheQueuedCommandAndTheDataOnTheRequestsPort) {
  constexpr int64_t kReceivedMs = 1767225600500;  // 2026-01-01 00:00:00.5 UTC: GPS 1451260818 + 128/256
  app.m_UnixClockMs = [] { return kReceivedMs + 800; };  // when the reply is built
  const struct {
    const char* what;
    int64_t stamp;
    const char* fopts;
  } cases[] = {
      {"stamped at reception", kReceivedMs, "02 00 02 0D 92 7B 80 56 80 06"},
      {"not stamped", 0, "02 00 02 0D 93 7B 80 56 4C 06"},  // 1.3 s later: +1 s, 76/256
  };
  const int32_t apKey = StoreApplication();
  int64_t rxTick = 10000;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const int32_t pkey = StoreDevice(apKey);
    QueueRequest(pkey, 20, "06", "AA BB");
    CDevice& queued = QueueAnswer(pkey, 4, rxTick += 2000);
    queued.m_UpFPort = 7;
    queued.m_UpMac[0] = 0x02;  // LinkCheckReq
    queued.m_UpMac[1] = 0x0D;  // DeviceTimeReq
    queued.m_UpMacLength = 2;
    queued.m_RxUnixMs = c.stamp;
    queued.NBGATE = 2;

    ASSERT_TRUE(app.m_LoRaJitMgr.ServePass(rxTick + 800));
    const std::optional<test::Downlink> downlink = NextDownlink(pkey, test::kPatienceMs);
    ASSERT_TRUE(downlink.has_value());
    EXPECT_TRUE(downlink->Ack());
    EXPECT_EQ(downlink->fopts, Hex(c.fopts));
    EXPECT_EQ(downlink->fport, std::optional<uint8_t>(20));
    EXPECT_EQ(downlink->payload, Hex("AA BB"));
  }
}

// Class C requests that can never be served are marked failed, with a trace
// line, and no longer pending; the request queued after them still leaves in
// the same pass.
TEST_F(SchedulerTest, AnUnservableClassCRequestIsMarkedFailedAndTheNextOneLeaves) {
  CApplication classC;
  classC.CLASS = 1;
  classC.RX2CHAN = 869525000;
  const int32_t apKey = StoreApplication(classC);
  const int32_t pulling = StoreGateway(true);
  const struct {
    const char* reason;
    std::function<int32_t()> device;
  } unservable[] = {
      {"no device", [&] { return 4242; }},
      {"not joined", [&] { return StoreDevice(apKey, [&](CDevice& d) { d.JOINED = 0, d.GPKEY = pulling; }); }},
      {"no gateway", [&] { return StoreDevice(apKey); }},  // no uplink heard yet
      {"no gateway", [&] { return StoreDevice(apKey, [](CDevice& d) { d.GPKEY = 999; }); }},  // deleted since
      {"no application", [&] { return StoreDevice(apKey + 100, [&](CDevice& d) { d.GPKEY = pulling; }); }},
  };
  std::vector<std::pair<int32_t, int32_t>> failed;  // device, request
  for (const auto& c : unservable) {
    const int32_t device = c.device();
    failed.emplace_back(device, QueueClassC(device, "0F"));
  }
  const int32_t good = StoreDevice(apKey, [&](CDevice& d) { d.GPKEY = pulling; });
  const int32_t goodRequest = QueueClassC(good, "AA BB");

  test::TraceCapture trace;
  EXPECT_TRUE(app.m_LoRaJitMgr.ServePass(50000));
  const std::optional<test::Downlink> downlink = NextDownlink(good, test::kPatienceMs);
  ASSERT_TRUE(downlink.has_value());
  EXPECT_EQ(downlink->payload, Hex("AA BB"));
  EXPECT_EQ(StoredRequest(good, goodRequest).TXDONE, CDLink::kTxSent);
  EXPECT_EQ(sent, (std::vector<int>{good}));

  for (size_t i = 0; i < failed.size(); ++i) {
    const auto [device, request] = failed[i];
    SCOPED_TRACE(unservable[i].reason);
    const CDLink row = StoredRequest(device, request);
    EXPECT_EQ(row.TXDONE, CDLink::kTxFailed);
    EXPECT_TRUE(std::string(row.TIME).ends_with(std::string(" ") + unservable[i].reason)) << row.TIME;
    EXPECT_TRUE(trace.Saw("JIT TX class C request " + std::to_string(request) + " for device " +
                          std::to_string(device) + " failed: " + unservable[i].reason));
    DLinkRecords pending;
    ASSERT_EQ(app.m_LoRaDlinkList.LoadDownlinks(device, true, &pending), 0);
    EXPECT_TRUE(pending.empty());
  }
  // Nothing is left to serve.
  EXPECT_FALSE(app.m_LoRaJitMgr.ServePass(50020));
  EXPECT_EQ(NextTxpk(0), "");
}

// A device whose gateway is not pulling right now waits (nothing is marked),
// other devices' requests behind it leave meanwhile, and once its gateway
// pulls again its requests leave in the order they were queued.
TEST_F(SchedulerTest, AClassCRequestWaitingForItsGatewayDoesNotHoldUpOtherDevices) {
  CApplication classC;
  classC.CLASS = 1;
  classC.RX2CHAN = 869525000;
  const int32_t apKey = StoreApplication(classC);
  const int32_t away = StoreGateway(false), pulling = StoreGateway(true);
  const int32_t waiting = StoreDevice(apKey, [&](CDevice& d) { d.GPKEY = away; });
  const int32_t other = StoreDevice(apKey, [&](CDevice& d) { d.GPKEY = pulling; });
  const int32_t first = QueueClassC(waiting, "01");
  const int32_t second = QueueClassC(waiting, "02");
  QueueClassC(other, "03");

  EXPECT_TRUE(app.m_LoRaJitMgr.ServePass(50000));
  std::optional<test::Downlink> downlink = NextDownlink(other, test::kPatienceMs);
  ASSERT_TRUE(downlink.has_value());
  EXPECT_EQ(downlink->payload, Hex("03"));
  for (int pass = 1; pass <= 3; ++pass) EXPECT_FALSE(app.m_LoRaJitMgr.ServePass(50000 + 20 * pass));
  EXPECT_EQ(StoredRequest(waiting, first).TXDONE, CDLink::kTxPending);
  EXPECT_EQ(StoredRequest(waiting, second).TXDONE, CDLink::kTxPending);

  {
    std::lock_guard<std::recursive_mutex> lock(app.m_LoRaGateMgr.Mutex());
    for (auto& record : app.m_LoRaGateMgr.m_Gateways)
      if (record->PKEY == away) SetPulling(*record, true);
  }
  for (const char* payload : {"01", "02"}) {
    EXPECT_TRUE(app.m_LoRaJitMgr.ServePass(51000));
    downlink = NextDownlink(waiting, test::kPatienceMs);
    ASSERT_TRUE(downlink.has_value());
    EXPECT_EQ(downlink->payload, Hex(payload));
  }
}

// Class C is no longer held back by a queue that is merely not empty: it
// waits only while a reply is due before the next pass.
TEST_F(SchedulerTest, ClassCLeavesWhileRepliesWaitAndYieldsToAReplyDueInTheNextPass) {
  CApplication classC;
  classC.CLASS = 1;
  classC.RX2CHAN = 869525000;
  const int32_t apKey = StoreApplication(classC);
  const int32_t pulling = StoreGateway(true);
  const int32_t classCDevice = StoreDevice(apKey, [&](CDevice& d) { d.GPKEY = pulling; });
  const int32_t classADevice = StoreDevice(apKey);
  QueueClassC(classCDevice, "01");
  QueueClassC(classCDevice, "02");
  QueueAnswer(classADevice, 4, 10000);  // due at 10800
  const int64_t due = 10000 + 1000 - CJitManager::kSendLeadMs;

  // Not due before the next pass: the class C request leaves.
  EXPECT_TRUE(app.m_LoRaJitMgr.ServePass(due - CJitManager::kPollMs - 1));
  EXPECT_EQ(sent, (std::vector<int>{classCDevice}));
  // Due before the next pass: class C waits.
  EXPECT_FALSE(app.m_LoRaJitMgr.ServePass(due - CJitManager::kPollMs));
  EXPECT_EQ(sent, (std::vector<int>{classCDevice}));
  // The reply leaves; with nothing else due, the next class C request too.
  EXPECT_TRUE(app.m_LoRaJitMgr.ServePass(due));
  EXPECT_EQ(sent, (std::vector<int>{classCDevice, classADevice, classCDevice}));
}

// No frame leaves unless the state it carries is on file. With the database
// refusing writes, or held by another program past the busy timeout, a join
// accept, a class A reply and a class C frame due in the same pass all stay
// unsent, each with a trace line and a TX-FAIL record, and none of them left
// anything on file. Once the database can be written again the reply and the
// class C frame leave with the first counter and the data they could not
// carry: no counter is used twice, no queued data is lost.
TEST_F(SchedulerTest, NoFrameLeavesWhenTheStateItCarriesCannotBeStored) {
  std::unique_ptr<test::RawDb> other;
  auto onConnection = [&](const char* sql) {
    std::lock_guard<std::recursive_mutex> lock(app.m_LoRaDbMgr.Mutex());
    ASSERT_EQ(sqlite3_exec(app.m_LoRaDbMgr.Connection(), sql, nullptr, nullptr, nullptr), SQLITE_OK);
  };
  auto busyTimeout = [&](int ms) {
    std::lock_guard<std::recursive_mutex> lock(app.m_LoRaDbMgr.Mutex());
    sqlite3_busy_timeout(app.m_LoRaDbMgr.Connection(), ms);
  };
  auto commitHook = [&](int (*hook)(void*)) {
    std::lock_guard<std::recursive_mutex> lock(app.m_LoRaDbMgr.Mutex());
    sqlite3_commit_hook(app.m_LoRaDbMgr.Connection(), hook, nullptr);
  };
  const struct {
    const char* what;
    std::function<void()> inject, lift;
    const char* trace;  // what the trace says of the database
  } faults[] = {
      // query_only makes the connection refuse every write with
      // SQLITE_READONLY, as a read-only file does (which file permissions
      // cannot give a test that runs as root).
      {"read-only", [&] { onConnection("PRAGMA query_only=1"); }, [&] { onConnection("PRAGMA query_only=0"); },
       "CDbManager::BeginBatch Error 8 (attempt to write a readonly database)"},
      // The downlink counter's write fails inside an open batch whose other
      // writes (the reply's request marked sent) succeed.
      {"a write refused inside the batch",
       [&] {
         onConnection("CREATE TEMP TRIGGER refuse BEFORE UPDATE OF TXSEQ ON main.DEVTBL "
                      "BEGIN SELECT RAISE(ABORT, 'refused'); END");
       },
       [&] { onConnection("DROP TRIGGER temp.refuse"); },
       "DB write failed, error 19 (constraint failed): UPDATE DEVTBL SET"},
      // Every commit fails (as on a full disk) and is rolled back.
      {"the batch's commit fails", [&] { commitHook([](void*) { return 1; }); }, [&] { commitHook(nullptr); },
       "CDbManager::CommitBatch Error 19 (constraint failed)"},
      {"locked by another program past the busy timeout",
       [&] {
         other = std::make_unique<test::RawDb>(app.m_LoRaDbMgr.m_FileName);
         ASSERT_EQ(other->Exec("BEGIN IMMEDIATE"), SQLITE_OK);
         busyTimeout(20);  // the test's own wait; the server waits kBusyTimeoutMs
       },
       [&] {
         ASSERT_EQ(other->Exec("COMMIT"), SQLITE_OK);
         other.reset();
         busyTimeout(CDbManager::kBusyTimeoutMs);
       },
        "CDbManager::BeginBatch Error 5 (database is locked)"},
  };
  app.m_Settings.m_bServerDebug = 1;  // TX-FAIL records are made in debug mode
  CApplication classC;
  classC.CLASS = 1;
  classC.RX2CHAN = 869525000;
  const int32_t apKey = StoreApplication(classC);
  const int32_t pulling = StoreGateway(true);
  int64_t rxTick = 10000;
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.what);
    sent.clear();
    const int32_t joining = StoreDevice(apKey), replying = StoreDevice(apKey);
    const int32_t classCDevice = StoreDevice(apKey, [&](CDevice& d) { d.GPKEY = pulling; });
    QueueRequest(replying, 20, "", "AA");
    const int32_t classCRequest = QueueClassC(classCDevice, "CC");
    QueueJoinAccept(joining, rxTick);
    QueueAnswer(replying, 4, rxTick + 4000);  // both due at rxTick + 4800
    const int64_t due = rxTick + 4800;
    CLog drained;
    while (app.TakeLogRecord(drained)) {
    }

    fault.inject();
    test::TraceCapture trace;
    EXPECT_FALSE(app.m_LoRaJitMgr.ServePass(due));
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(NextTxpk(0), "");
    EXPECT_TRUE(trace.Saw(fault.trace));
    std::vector<int32_t> failed;
    CLog record;
    while (app.TakeLogRecord(record))
      if (record.TYPE == CLog::TxFail) failed.push_back(static_cast<int32_t>(record.DEVPKEY));
    std::sort(failed.begin(), failed.end());
    EXPECT_EQ(failed, (std::vector<int32_t>{joining, replying, classCDevice}));
    for (const int32_t device : {joining, replying, classCDevice})
      EXPECT_TRUE(trace.Saw("JIT TX device " + std::to_string(device) +
                            " frame not sent: its downlink state could not be stored"));
    fault.lift();

    EXPECT_EQ(Stored(replying).TXSEQ, -1);
    EXPECT_EQ(Stored(classCDevice).TXSEQ, -1);
    EXPECT_EQ(StoredRequest(classCDevice, classCRequest).TXDONE, CDLink::kTxPending);
    QueueAnswer(replying, 4, rxTick + 6000);
    EXPECT_TRUE(app.m_LoRaJitMgr.ServePass(rxTick + 6800));
    EXPECT_EQ(sent, (std::vector<int>{replying, classCDevice}));
    for (const auto& [device, payload] : {std::pair{replying, "AA"}, std::pair{classCDevice, "CC"}}) {
      const std::optional<test::Downlink> downlink = NextDownlink(device, test::kPatienceMs);
      ASSERT_TRUE(downlink.has_value());
      EXPECT_EQ(downlink->fcnt, 0);
      EXPECT_EQ(downlink->payload, Hex(payload));
    }
    rxTick += 10000;
  }
}

}  // namespace
}  // namespace quorvex
