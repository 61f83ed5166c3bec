// What the end-to-end tests share: a real HTTP application server on
// loopback, and a fixture holding the server (CQuorvexApp on a free gateway
// port, its database in a temporary directory) with one simulated gateway and
// the registry edits and radio steps the scenarios are written in.
#pragma once
#include <gtest/gtest.h>
#include <httplib.h>
#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "persistence/Application.h"
#include "persistence/Device.h"
#include "runtime/QuorvexApp.h"
#include "support/DeviceSim.h"
#include "support/GatewaySim.h"
#include "support/Ports.h"
#include "support/TempDir.h"
#include "support/Wait.h"

namespace quorvex::e2e {

using test::DeviceSim;
using test::GatewaySim;
using test::PfIdentifier;
using test::RxMeta;

inline const test::Eui kAppEui = {0x70, 0xB3, 0xD5, 0x7E, 0xD0, 0x00, 0x00, 0x01};
inline const test::Eui kDevEui = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
inline const test::Key kAppKey = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                                  0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};
inline const test::Key kNwkSKey = {0x44, 0x02, 0x4B, 0x1D, 0xE3, 0xB6, 0x4F, 0x72,
                                   0x55, 0x6B, 0xAC, 0x6E, 0x36, 0x1D, 0x02, 0x9D};
inline const test::Key kAppSKey = {0xF1, 0x60, 0xA6, 0x9F, 0xC2, 0x8E, 0x13, 0x8F,
                                   0x66, 0x40, 0x92, 0x8C, 0x81, 0x0B, 0x28, 0xA9};
inline constexpr int kReplyWaitMs = 8000;  // replies leave ~0.8 s (joins ~4.8 s) after the uplink

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
  AppServer(const AppServer&) = delete;
  AppServer& operator=(const AppServer&) = delete;

  int Port() const { return m_Port; }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_Port); }
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

class E2eFixture : public ::testing::Test {
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

  // An application (OTAA unless abp) posting to `url`; its key.
  int32_t AddApplication(bool abp, int32_t deviceClass, int32_t adr, const std::string& url,
                         const test::Eui& appEui = kAppEui) {
    auto application = std::make_unique<CApplication>();
    application->ACTIVATION = abp ? 1 : 0;
    application->CLASS = deviceClass;
    application->ADR = adr;
    application->CHMASK = 0x00FF;
    std::copy(appEui.begin(), appEui.end(), application->APPEUI);
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
  // Devices stored as the window stores them (InsertDevice); their keys.
  int32_t AddOtaaDevice(int32_t apKey, const test::Eui& devEui = kDevEui, const test::Key& appKey = kAppKey) {
    auto device = std::make_unique<CDevice>();
    device->APKEY = apKey;
    std::copy(devEui.begin(), devEui.end(), device->DEVEUI);
    std::copy(appKey.begin(), appKey.end(), device->APPKEY);
    device->TXSEQ = -1;
    device->RXSEQ = -1;
    CDevice* kept = device.get();
    EXPECT_EQ(app.m_LoRaDevMgr.InsertDevice(std::move(device)), 0);
    return kept->PKEY;
  }
  int32_t AddAbpDevice(int32_t apKey, const DeviceSim& sim, const test::Eui& devEui = kDevEui) {
    auto device = std::make_unique<CDevice>();
    device->APKEY = apKey;
    device->JOINED = 1;
    std::copy(devEui.begin(), devEui.end(), device->DEVEUI);
    device->DEVADDR = sim.DevAddr();
    std::copy(sim.NwkSKey().begin(), sim.NwkSKey().end(), device->NETSKEY);
    std::copy(sim.AppSKey().begin(), sim.AppSKey().end(), device->APPSKEY);
    device->TXSEQ = -1;
    device->RXSEQ = -1;
    CDevice* kept = device.get();
    EXPECT_EQ(app.m_LoRaDevMgr.InsertDevice(std::move(device)), 0);
    return kept->PKEY;
  }
  // The registry's key of a gateway (0 when it has none).
  int32_t GatewayKey(const GatewaySim& gw) {
    std::lock_guard<std::recursive_mutex> lock(app.m_LoRaGateMgr.Mutex());
    for (const auto& record : app.m_LoRaGateMgr.m_Gateways)
      if (strcasecmp(record->ID, gw.EuiText().c_str()) == 0) return record->PKEY;
    return 0;
  }
  bool Pull(GatewaySim& gw) {
    const uint16_t token = gw.SendPullData();
    auto ack = gw.WaitFor(PfIdentifier::PullAck, test::kPatienceMs);
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
  // Sends a frame and expects its PUSH_ACK.
  void SendAndAwaitAck(GatewaySim& gw, const RxMeta& meta, const std::vector<uint8_t>& phy) {
    const uint16_t token = gw.SendRxpk(meta, phy);
    auto ack = gw.WaitFor(PfIdentifier::PushAck, test::kPatienceMs);
    EXPECT_TRUE(ack && ack->token == token);
    // The acknowledgement leaves before the frame is handled; the scenarios
    // check what the frame did.
    EXPECT_TRUE(app.WaitForFramesHandled(test::kPatienceMs));
  }
  // Sends a frame, expects its PUSH_ACK, and returns the PULL_RESP that follows (if any).
  std::optional<test::SimDatagram> SendAndAwaitReply(GatewaySim& gw, const RxMeta& meta,
                                                     const std::vector<uint8_t>& phy, int waitMs = kReplyWaitMs) {
    SendAndAwaitAck(gw, meta, phy);
    return gw.WaitFor(PfIdentifier::PullResp, waitMs);
  }
  // An ABP device on a class A application, with the gateway pulling.
  void StartAbp(DeviceSim& sim, int32_t adr = 0) {
    apKey = AddApplication(true, 0, adr, appServer.Url());
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

}  // namespace quorvex::e2e
