// The application object over real loopback UDP: Start/Stop and their
// races, the bind failure, the log ring and the window hand-off.
#include "runtime/QuorvexApp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "persistence/Application.h"
#include "persistence/DLink.h"
#include "runtime/HeadlessWindow.h"
#include "support/Ports.h"
#include "support/TempDir.h"
#include "support/UdpClient.h"
#include "support/Wait.h"

namespace quorvex {
namespace {

using test::WaitUntil;

// The application with its datagram entry observed.
class ObservedApp : public CQuorvexApp {
 public:
  void OnGatewayDatagram(const SocketAddress&, uint8_t*, uint32_t length, uint64_t) override {
    lastLength = static_cast<int>(length);
    ++datagrams;
  }
  std::atomic<int> datagrams{0};
  std::atomic<int> lastLength{0};
};

class QuorvexAppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(app.InitBase(dir.Path().string()));
    app.m_GatewayPort = test::FreeUdpPort();
    app.m_BindErrorObserver = [this](int code, int port) {
      bindError = code;
      bindPort = port;
    };
  }
  uint16_t Port() const { return static_cast<uint16_t>(app.m_GatewayPort); }
  bool Bound() { return WaitUntil([&] { return app.m_LoRaUdpServer.BoundPort() == Port(); }); }

  test::TempDir dir;
  ObservedApp app;
  std::atomic<int> bindError{0};
  std::atomic<int> bindPort{0};
};

CLog Record(int count) {
  CLog log;
  log.TYPE = CLog::Uplink;
  log.COUNT = count;
  return log;
}

TEST_F(QuorvexAppTest, StartTwiceReturnsZeroAndDatagramsReachTheDispatcher) {
  EXPECT_EQ(app.StartServer(), 1);
  EXPECT_EQ(app.StartServer(), 0);
  ASSERT_TRUE(Bound());
  EXPECT_EQ(app.m_LoRaJitMgr.m_Run.load(), 1);
  EXPECT_EQ(app.m_LoRaHttpMgr.WorkerCount(), 1);

  test::UdpClient gateway;
  ASSERT_TRUE(gateway.SendTo(Port(), {2, 0, 1, 2, 5}));
  ASSERT_TRUE(WaitUntil([&] { return app.datagrams.load() == 1; }));
  EXPECT_EQ(app.lastLength.load(), 5);

  app.StopServer();
  EXPECT_FALSE(app.IsStarted());
  EXPECT_FALSE(app.m_LoRaUdpServer.HasReceiveThread());  // Stop waited for it
  EXPECT_TRUE(app.WaitForServerThreads(test::kPatienceMs));
  EXPECT_EQ(app.m_LoRaJitMgr.m_Alive.load(), 0);
}

TEST_F(QuorvexAppTest, BusyPortStillStartsReportsTheBindErrorAndStops) {
  int holder = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(Port());
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

  EXPECT_EQ(app.StartServer(), 1);
  ASSERT_TRUE(WaitUntil([&] { return bindError.load() != 0; }));
  EXPECT_EQ(bindError.load(), 10048);
  EXPECT_EQ(bindPort.load(), Port());
  EXPECT_TRUE(app.IsStarted());
  app.StopServer();
  EXPECT_FALSE(app.IsStarted());
  close(holder);

  // With the port free again, the next Start binds it.
  EXPECT_EQ(app.StartServer(), 1);
  EXPECT_TRUE(Bound());
}

TEST_F(QuorvexAppTest, RepeatedStartStopUnderTrafficLeavesOneWorkingServer) {
  test::UdpClient gateway;
  std::atomic<bool> sending{true};
  std::thread traffic([&] {
    while (sending) {
      gateway.SendTo(Port(), {2, 0, 0, 0});
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(app.StartServer(), 1);
    app.StopServer();
  }
  EXPECT_EQ(app.StartServer(), 1);
  ASSERT_TRUE(Bound());
  const int before = app.datagrams.load();
  EXPECT_TRUE(WaitUntil([&] { return app.datagrams.load() > before; }));
  sending = false;
  traffic.join();
  app.StopServer();
  EXPECT_TRUE(app.WaitForServerThreads(test::kPatienceMs));
}

TEST_F(QuorvexAppTest, StartResetsGatewayConnectionState) {
  auto gateway = std::make_unique<CGateway>();
  gateway->m_Connected = 1;
  gateway->m_LastPullTick = 12345;
  CGateway* kept = gateway.get();
  app.m_LoRaGateMgr.m_Gateways.push_back(std::move(gateway));
  ASSERT_EQ(app.StartServer(), 1);
  EXPECT_EQ(kept->m_Connected, 0);
  EXPECT_EQ(kept->m_LastPullTick, 0u);
}

TEST_F(QuorvexAppTest, TransmitRequestsQueuedBeforeStopAreNeverKept) {
  ASSERT_EQ(app.StartServer(), 1);
  auto request = std::make_unique<JitRequest>();
  request->m_Device = std::make_unique<CDevice>();
  app.m_LoRaJitMgr.AddRequest(std::move(request));
  EXPECT_EQ(app.m_LoRaJitMgr.Count(), 1u);
  app.StopServer();
  EXPECT_EQ(app.m_LoRaJitMgr.Count(), 0u);
}

TEST_F(QuorvexAppTest, LogRingHoldsFourAndDropsTheNewestWhenFull) {
  for (int i = 1; i <= 4; ++i) EXPECT_TRUE(app.PostLogRecord(Record(i))) << i;
  EXPECT_FALSE(app.PostLogRecord(Record(5)));  // full: dropped

  CLog out;
  ASSERT_TRUE(app.TakeLogRecord(out));
  EXPECT_EQ(out.COUNT, 1);
  EXPECT_TRUE(app.PostLogRecord(Record(6)));  // room again
  for (int expected : {2, 3, 4, 6}) {
    ASSERT_TRUE(app.TakeLogRecord(out));
    EXPECT_EQ(out.COUNT, expected);
  }
  EXPECT_FALSE(app.TakeLogRecord(out));
}

TEST_F(QuorvexAppTest, ProducersOnTwoThreadsNeverLoseOrDuplicateWithAWindowDraining) {
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  {
    CHeadlessWindow window(app, out);
    app.SetWindow(&window);
    std::atomic<int> posted{0};
    auto produce = [&](int base) {
      for (int i = 0; i < 500; ++i) {
        if (app.PostLogRecord(Record(base + i))) ++posted;
        app.NotifyWindow(UM_NOTIFY);  // returns once the window has handled it
      }
    };
    std::thread a(produce, 0), b(produce, 1000);
    a.join();
    b.join();
    app.SetWindow(nullptr);
    EXPECT_EQ(window.RecordsPrinted(), posted.load());
    EXPECT_GT(posted.load(), 0);
  }
  fclose(out);
  EXPECT_NE(std::string(text, size).find("UP-LINK"), std::string::npos);
  free(text);
}

TEST_F(QuorvexAppTest, TxSentKeepsACopyOfTheDeviceSent) {
  ASSERT_EQ(app.StartServer(), 1);  // installs the after-send notification
  JitRequest request;
  request.m_Device = std::make_unique<CDevice>();
  request.m_Device->PKEY = 77;
  request.m_Device->DEVEUI[0] = 0xAB;
  app.m_LoRaJitMgr.NotifyTxSent(request);
  const CDeviceRow copy = app.LastTxDevice();
  EXPECT_EQ(copy.PKEY, 77);
  EXPECT_EQ(copy.DEVEUI[0], 0xAB);
}

TEST(QuorvexAppCaFileTest, PostsTrustTheDataDirectorysAuthorityFileWhenThereIsOne) {
  for (const bool present : {true, false}) {
    SCOPED_TRACE(present ? "with the file" : "without");
    test::TempDir dir;
    const std::string file = dir.File(CHttpManager::kTrustedCaFileName);
    if (present) {
      FILE* out = fopen(file.c_str(), "w");
      ASSERT_NE(out, nullptr);
      fputs("-----BEGIN CERTIFICATE-----\n", out);
      fclose(out);
    }
    CQuorvexApp app;
    ASSERT_TRUE(app.InitBase(dir.Path().string()));
    EXPECT_EQ(CHttpManager::TrustedCaFile(), present ? file : std::string());
  }
}

}  // namespace
}  // namespace quorvex
