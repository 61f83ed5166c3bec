// A device served end to end over real loopback: simulated packet-forwarder
// gateways, a simulated LoRaWAN device, the started server, and a real HTTP
// application server. Each scenario waits for what a gateway would receive,
// with generous deadlines; the radio timing is checked through the "tmst"
// the gateway is told, not through wall-clock measurements.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "persistence/Application.h"
#include "persistence/DLink.h"
#include "runtime/QuorvexApp.h"
#include "support/DeviceSim.h"
#include "support/GatewaySim.h"
#include "support/Ports.h"
#include "support/TempDir.h"
#include "support/Wait.h"

namespace quorvex {
namespace {

using test::DeviceSim;
using test::GatewaySim;
using test::PfIdentifier;
using test::RxMeta;

const test::Eui kAppEui = {0x70, 0xB3, 0xD5, 0x7E, 0xD0, 0x00, 0x00, 0x01};
const test::Eui kDevEui = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
const test::Key kAppKey = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                           0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};
constexpr int kReplyWaitMs = 8000;  // replies leave ~0.8 s (joins ~4.8 s) after the uplink

// The application server: records every post and answers from a script.
class AppServer {
 public:
  AppServer() {
    m_Server.Post(R"(/.*)", [this](const httplib::Request& request, httplib::Response& response) {
      std::string answer;
      int delayMs = 0;
      {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Paths.push_back(request.path);
        m_Bodies.push_back(request.body);
        answer = m_Answer;
        m_Answer = R"({"result":1})";  // one scripted answer, then nothing for the device
        delayMs = m_DelayMs;
      }
      if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
      response.set_content(answer, "application/json");
    });
    m_Port = m_Server.bind_to_any_port("127.0.0.1");
    m_Thread = std::thread([this] { m_Server.listen_after_bind(); });
    while (!m_Server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~AppServer() {
    m_Server.stop();
    m_Thread.join();
  }
  int Port() const { return m_Port; }
  void AnswerNext(const std::string& answer) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Answer = answer;
  }
  void Delay(int ms) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_DelayMs = ms;
  }
  size_t Posts() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Bodies.size();
  }
  std::string Body(size_t i) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Bodies.at(i);
  }
  std::string Path(size_t i) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Paths.at(i);
  }

 private:
  httplib::Server m_Server;
  std::thread m_Thread;
  int m_Port = 0;
  std::mutex m_Mutex;
  std::vector<std::string> m_Bodies, m_Paths;
  std::string m_Answer = R"({"result":1})";
  int m_DelayMs = 0;
};

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(app.InitBase(dir.Path().string()));
    app.m_Settings.m_nAdrRxCount = 2;
    app.m_GatewayPort = serverPort;
  }
  void TearDown() override {
    app.StopServer();
    app.WaitForServerThreads(test::kPatienceMs);
  }
  void Start() {
    ASSERT_EQ(app.StartServer(), 1);
    ASSERT_TRUE(test::WaitUntil([&] { return app.m_LoRaUdpServer.BoundPort() == app.m_GatewayPort; }));
  }
  uint16_t Port() const { return static_cast<uint16_t>(app.m_GatewayPort); }

  // An application (OTAA unless abp) posting to the test's application server.
  int32_t AddApplication(bool abp, int32_t deviceClass, int32_t adr, const std::string& url) {
    auto application = std::make_unique<CApplication>();
    application->ACTIVATION = abp ? 1 : 0;
    application->CLASS = deviceClass;
    application->ADR = adr;
    application->CHMASK = 0x00FF;
    std::copy(kAppEui.begin(), kAppEui.end(), application->APPEUI);
    application->RX2CHAN = 921900000;
    SetText(application->APPURL, url);
    SetText(application->APPPARM, "/up/appeui/deveui");
    CApplication* kept = application.get();
    EXPECT_EQ(app.m_LoRaAppList.InsertApplication(std::move(application)), 0);
    return kept->PKEY;
  }
  template <size_t N>
  static void SetText(char (&field)[N], const std::string& text) {
    snprintf(field, N, "%s", text.c_str());
  }
  int32_t AddOtaaDevice(int32_t apKey) {
    auto device = std::make_unique<CDevice>();
    device->APKEY = apKey;
    std::copy(kDevEui.begin(), kDevEui.end(), device->DEVEUI);
    std::copy(kAppKey.begin(), kAppKey.end(), device->APPKEY);
    device->TXSEQ = -1;
    device->RXSEQ = -1;
    CDevice* kept = device.get();
    EXPECT_EQ(app.m_LoRaDevMgr.InsertDevice(std::move(device)), 0);
    return kept->PKEY;
  }
  int32_t AddAbpDevice(int32_t apKey, const DeviceSim& sim) {
    auto device = std::make_unique<CDevice>();
    device->APKEY = apKey;
    device->JOINED = 1;
    std::copy(kDevEui.begin(), kDevEui.end(), device->DEVEUI);
    device->DEVADDR = sim.DevAddr();
    std::copy(sim.NwkSKey().begin(), sim.NwkSKey().end(), device->NETSKEY);
    std::copy(sim.AppSKey().begin(), sim.AppSKey().end(), device->APPSKEY);
    device->TXSEQ = -1;
    device->RXSEQ = -1;
    CDevice* kept = device.get();
    EXPECT_EQ(app.m_LoRaDevMgr.InsertDevice(std::move(device)), 0);
    return kept->PKEY;
  }
  bool Pull(GatewaySim& gateway) {
    const uint16_t token = gateway.SendPullData();
    auto ack = gateway.WaitFor(PfIdentifier::PullAck, test::kPatienceMs);
    return ack && ack->token == token;
  }
  static RxMeta Meta(uint32_t tmst, double rssi = -50, double lsnr = 7.5, const char* datr = "SF7BW125") {
    RxMeta meta;
    meta.tmst = tmst;
    meta.freq = 922.1;
    meta.rssi = rssi;
    meta.lsnr = lsnr;
    meta.datr = datr;
    return meta;
  }
  // Sends a frame, expects its PUSH_ACK, and returns the PULL_RESP that follows (if any).
  std::optional<test::SimDatagram> SendAndAwaitReply(GatewaySim& gateway, const RxMeta& meta,
                                                     const std::vector<uint8_t>& phy, int waitMs = kReplyWaitMs) {
    const uint16_t token = gateway.SendRxpk(meta, phy);
    auto ack = gateway.WaitFor(PfIdentifier::PushAck, test::kPatienceMs);
    EXPECT_TRUE(ack && ack->token == token);
    return gateway.WaitFor(PfIdentifier::PullResp, waitMs);
  }
  // An ABP device on a class A application, with the gateway pulling.
  void StartAbp(DeviceSim& sim, int32_t adr = 0) {
    apKey = AddApplication(true, 0, adr, "http://127.0.0.1:" + std::to_string(appServer.Port()));
    devKey = AddAbpDevice(apKey, sim);
    Start();
    ASSERT_TRUE(Pull(gateway));
  }

  test::TempDir dir;
  CQuorvexApp app;
  AppServer appServer;
  uint16_t serverPort = test::FreeUdpPort();
  GatewaySim gateway{serverPort, 0xAA555A0000000001ull};
  int32_t apKey = 0, devKey = 0;
};

const test::Key kNwkSKey = {0x44, 0x02, 0x4B, 0x1D, 0xE3, 0xB6, 0x4F, 0x72,
                            0x55, 0x6B, 0xAC, 0x6E, 0x36, 0x1D, 0x02, 0x9D};
const test::Key kAppSKey = {0xF1, 0x60, 0xA6, 0x9F, 0xC2, 0x8E, 0x13, 0x8F,
                            0x66, 0x40, 0x92, 0x8C, 0x81, 0x0B, 0x28, 0xA9};


TEST_F(EndToEndTest, OtaaJoinThenUplinksAreForwardedAndAnswered) {
  apKey = AddApplication(false, 0, 0, "http://127.0.0.1:" + std::to_string(appServer.Port()));
  devKey = AddOtaaDevice(apKey);
  Start();
  ASSERT_TRUE(Pull(gateway));
  DeviceSim device(kAppEui, kDevEui, kAppKey);

  // Join: the accept is timed for the join-accept window 5 s after the request.
  auto accept = SendAndAwaitReply(gateway, Meta(1000000), device.JoinRequest(0x1234));
  ASSERT_TRUE(accept.has_value());
  EXPECT_EQ(accept->txpk["tmst"], "6000000");
  EXPECT_EQ(accept->txpk["freq"], "922.1");
  EXPECT_EQ(accept->txpk["datr"], "SF7BW125");
  EXPECT_EQ(accept->txpk["size"], "17");
  ASSERT_TRUE(accept->phyPayload.has_value());
  ASSERT_TRUE(device.AcceptJoin(*accept->phyPayload));
  {
    // The server stored the same session keys the device derived.
    auto stored = app.m_LoRaDevMgr.GetDeviceByPkey(devKey);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->JOINED, 1);
    EXPECT_EQ(stored->DEVADDR, device.DevAddr());
    EXPECT_TRUE(std::equal(device.NwkSKey().begin(), device.NwkSKey().end(), stored->NETSKEY));
    EXPECT_TRUE(std::equal(device.AppSKey().begin(), device.AppSKey().end(), stored->APPSKEY));
  }

  // An unconfirmed uplink reaches the application server once; its answer
  // rides on the reply to this very uplink.
  appServer.AnswerNext(R"({"result":0,"appdata":"CA FE"})");
  auto reply = SendAndAwaitReply(gateway, Meta(20000000), device.Uplink(0, false, 5, {'a', 'b', 'c'}));
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->txpk["tmst"], "21000000");
  auto downlink = device.Open(*reply->phyPayload);
  ASSERT_TRUE(downlink.has_value());
  EXPECT_EQ(downlink->mtype, 3);
  EXPECT_EQ(downlink->fcnt, 0);
  ASSERT_TRUE(downlink->fport.has_value());
  EXPECT_EQ(*downlink->fport, 5);
  EXPECT_EQ(downlink->payload, (std::vector<uint8_t>{0xCA, 0xFE}));
  ASSERT_EQ(appServer.Posts(), 1u);
  EXPECT_NE(appServer.Body(0).find(R"("data" : "YWJj")"), std::string::npos) << appServer.Body(0);
  EXPECT_EQ(appServer.Path(0), "/up/70-B3-D5-7E-D0-00-00-01/00-11-22-33-44-55-66-77");

  // A confirmed uplink is acknowledged with an empty frame.
  reply = SendAndAwaitReply(gateway, Meta(30000000), device.Uplink(1, true, 5, {1}));
  ASSERT_TRUE(reply.has_value());
  downlink = device.Open(*reply->phyPayload);
  ASSERT_TRUE(downlink.has_value());
  EXPECT_TRUE(downlink->Ack());
  EXPECT_EQ(downlink->fcnt, 1);
  EXPECT_FALSE(downlink->fport.has_value());
  EXPECT_EQ(reply->phyPayload->size(), 12u);

  // LinkCheckReq and DeviceTimeReq are answered in FOpts.
  reply = SendAndAwaitReply(gateway, Meta(40000000, -50, 7.5), device.Uplink(2, false, std::nullopt, {}, {0x02}));
  ASSERT_TRUE(reply.has_value());
  downlink = device.Open(*reply->phyPayload);
  ASSERT_TRUE(downlink.has_value());
  ASSERT_EQ(downlink->fopts.size(), 3u);
  EXPECT_EQ(downlink->fopts[0], 0x02);
  EXPECT_EQ(downlink->fopts[2], 1);  // one gateway heard it

  reply = SendAndAwaitReply(gateway, Meta(50000000), device.Uplink(3, false, std::nullopt, {}, {0x0D}));
  ASSERT_TRUE(reply.has_value());
  downlink = device.Open(*reply->phyPayload);
  ASSERT_TRUE(downlink.has_value());
  ASSERT_EQ(downlink->fopts.size(), 6u);
  EXPECT_EQ(downlink->fopts[0], 0x0D);
  const uint32_t gpsSeconds = uint32_t(downlink->fopts[1]) | uint32_t(downlink->fopts[2]) << 8 |
                              uint32_t(downlink->fopts[3]) << 16 | uint32_t(downlink->fopts[4]) << 24;
  const int64_t expected = static_cast<int64_t>(time(nullptr)) - 315964800;  // GPS epoch, leap seconds aside
  EXPECT_NEAR(static_cast<double>(gpsSeconds), static_cast<double>(expected), 120.0);

  // Only uplinks with application data were posted.
  EXPECT_EQ(appServer.Posts(), 2u);
}

TEST_F(EndToEndTest, LinkAdrReqFollowsTheAdrCount) {
  DeviceSim device(0x26011BDA, kNwkSKey, kAppSKey);
  StartAbp(device, /*adr=*/1);
  // Two good uplinks at SF12 (m_nAdrRxCount is 2): the second reply asks for a faster rate.
  const RxMeta slow = Meta(1000000, -60, 10.0, "SF12BW125");
  auto first = SendAndAwaitReply(gateway, slow, device.Uplink(0, false, 1, {1}, {}, true), 2500);
  EXPECT_FALSE(first.has_value());  // nothing to say yet
  RxMeta second = slow;
  second.tmst = 3000000u;
  auto reply = SendAndAwaitReply(gateway, second, device.Uplink(1, false, 1, {2}, {}, true));
  ASSERT_TRUE(reply.has_value());
  auto downlink = device.Open(*reply->phyPayload);
  ASSERT_TRUE(downlink.has_value());
  EXPECT_TRUE(downlink->Adr());
  ASSERT_EQ(downlink->fopts.size(), 5u);
  EXPECT_EQ(downlink->fopts[0], 0x03);  // LinkADRReq
  EXPECT_EQ(downlink->fopts[2], 0x00);  // CHMASK 0x00FF, high byte first
  EXPECT_EQ(downlink->fopts[3], 0xFF);
  EXPECT_EQ(downlink->fopts[4], 0x61);
}

TEST_F(EndToEndTest, TheSameFrameThroughTwoGatewaysIsForwardedOnceAndAnsweredThroughTheStronger) {
  DeviceSim device(0x26011BDB, kNwkSKey, kAppSKey);
  StartAbp(device);
  GatewaySim second(serverPort, 0xAA555A0000000002ull);
  ASSERT_TRUE(Pull(second));

  const auto frame = device.Uplink(7, true, 2, {0x10, 0x20});
  gateway.SendRxpk(Meta(5000000, -100, -2.0), frame);
  second.SendRxpk(Meta(7000000, -40, 9.0), frame);
  ASSERT_TRUE(gateway.WaitFor(PfIdentifier::PushAck, test::kPatienceMs).has_value());
  ASSERT_TRUE(second.WaitFor(PfIdentifier::PushAck, test::kPatienceMs).has_value());

  auto reply = second.WaitFor(PfIdentifier::PullResp, kReplyWaitMs);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->txpk["tmst"], "8000000");  // timed on the stronger gateway's clock
  EXPECT_TRUE(gateway.ExpectNothing(1500));
  ASSERT_TRUE(test::WaitUntil([&] { return appServer.Posts() >= 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(appServer.Posts(), 1u);
}

TEST_F(EndToEndTest, ClassCDownlinkGoesOutAtOnceOnRx2) {
  DeviceSim device(0x26011BDC, kNwkSKey, kAppSKey);
  apKey = AddApplication(true, 1, 0, "");
  devKey = AddAbpDevice(apKey, device);
  Start();
  ASSERT_TRUE(Pull(gateway));
  // The uplink ties the device to this gateway.
  gateway.SendRxpk(Meta(1000000), device.Uplink(0, false, 1, {1}));
  ASSERT_TRUE(gateway.WaitFor(PfIdentifier::PushAck, test::kPatienceMs).has_value());
  ASSERT_TRUE(test::WaitUntil([&] {
    auto stored = app.m_LoRaDevMgr.GetDeviceByPkey(devKey);
    return stored && stored->GPKEY != 0;
  }));

  auto request = std::make_unique<CDLink>();
  request->DEVPKEY = devKey;
  request->PORT = 9;
  request->CHANNEL = CDLink::kRx2;
  snprintf(request->APP, sizeof request->APP, "01 02 03");
  ASSERT_EQ(app.m_LoRaDlinkList.InsertDownlink(std::move(request), false), 0);

  auto sent = gateway.WaitFor(PfIdentifier::PullResp, kReplyWaitMs);
  ASSERT_TRUE(sent.has_value());
  EXPECT_EQ(sent->txpk["imme"], "true");
  EXPECT_EQ(sent->txpk["freq"], "921.9");
  EXPECT_EQ(sent->txpk["datr"], "SF12BW125");
  EXPECT_EQ(sent->txpk.count("tmst"), 0u);
  auto downlink = device.Open(*sent->phyPayload);
  ASSERT_TRUE(downlink.has_value());
  EXPECT_EQ(*downlink->fport, 9);
  EXPECT_EQ(downlink->payload, (std::vector<uint8_t>{1, 2, 3}));
  DLinkRecords pending;
  ASSERT_EQ(app.m_LoRaDlinkList.LoadDownlinks(devKey, true, &pending), 0);
  EXPECT_TRUE(pending.empty());  // marked transmitted
}

TEST_F(EndToEndTest, BackToBackUplinksGetIncreasingDownlinkCounters) {
  DeviceSim device(0x26011BDE, kNwkSKey, kAppSKey);
  StartAbp(device);
  // The second uplink is processed (and its row written) while the reply to
  // the first still waits: that write must not roll the downlink counter back.
  for (uint16_t fcnt = 0; fcnt < 3; ++fcnt) {
    gateway.SendRxpk(Meta(1000000u + fcnt * 100000u), device.Uplink(fcnt, true, 3, {7}));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::vector<int> counters;
  for (int i = 0; i < 3; ++i) {
    auto reply = gateway.WaitFor(PfIdentifier::PullResp, kReplyWaitMs);
    ASSERT_TRUE(reply.has_value()) << i;
    auto downlink = device.Open(*reply->phyPayload);
    ASSERT_TRUE(downlink.has_value());
    counters.push_back(downlink->fcnt);
  }
  EXPECT_EQ(counters, (std::vector<int>{0, 1, 2}));
  auto stored = app.m_LoRaDevMgr.GetDeviceByPkey(devKey);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->TXSEQ, 2);
  EXPECT_EQ(stored->RXSEQ, 2);
}

TEST_F(EndToEndTest, ASlowOrDownApplicationServerDoesNotDelayTheRadioSide) {
  DeviceSim device(0x26011BDD, kNwkSKey, kAppSKey);
  StartAbp(device);
  appServer.Delay(6000);  // the post gives up after 5 s
  for (uint16_t fcnt = 0; fcnt < 3; ++fcnt) {
    const auto start = std::chrono::steady_clock::now();
    auto reply = SendAndAwaitReply(gateway, Meta(1000000 + fcnt * 10000000u), device.Uplink(fcnt, true, 3, {7}));
    ASSERT_TRUE(reply.has_value()) << fcnt;
    // The reply leaves ~0.8 s after the uplink; a radio side waiting on the
    // application server would wait for the post's 5 s time-out first.
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::milliseconds(4500)) << fcnt;
    EXPECT_TRUE(device.Open(*reply->phyPayload)->Ack());
  }
}

}  // namespace
}  // namespace quorvex
