// The gateway socket over real loopback UDP: delivery bounds, bind errors,
// stop while a receive is pending, and sending.
#include "gateway/UdpServer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Tick.h"
#include "support/UdpClient.h"
#include "support/Wait.h"

namespace quorvex {
namespace {

using test::UdpClient;
using test::WaitUntil;

// Collects what the server's callbacks deliver.
struct Sink {
  std::mutex mutex;
  std::vector<std::vector<uint8_t>> datagrams;
  std::vector<uint8_t> terminators;  // the byte after each datagram
  std::vector<int> errors;

  static int OnDatagram(const SocketAddress&, uint8_t* data, uint32_t length, uint64_t, void* user) {
    auto* sink = static_cast<Sink*>(user);
    std::lock_guard<std::mutex> lock(sink->mutex);
    sink->datagrams.emplace_back(data, data + length);
    sink->terminators.push_back(data[length]);
    return 0;
  }
  static void OnError(int code, void* user) {
    auto* sink = static_cast<Sink*>(user);
    std::lock_guard<std::mutex> lock(sink->mutex);
    sink->errors.push_back(code);
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex);
    return datagrams.size();
  }
};

class UdpServerTest : public ::testing::Test {
 protected:
  // Starts the server on a kernel-chosen port and waits until it is bound.
  uint16_t StartServer() {
    const UdpCallbacks callbacks{&Sink::OnDatagram, &Sink::OnError, &sink};
    server.SetCallbacks(&callbacks);
    EXPECT_TRUE(server.Start(0));
    EXPECT_TRUE(WaitUntil([&] { return server.BoundPort() != 0; }));
    return static_cast<uint16_t>(server.BoundPort());
  }

  Sink sink;
  CUdpServer server;
};

TEST_F(UdpServerTest, DeliversDatagramsUpTo1500BytesAndDropsLongerOnes) {
  const uint16_t port = StartServer();
  UdpClient gateway;
  std::vector<uint8_t> full(kMaxDatagram, 0xA5);
  std::vector<uint8_t> tooLong(kMaxDatagram + 1, 0x5A);
  ASSERT_TRUE(gateway.SendTo(port, full));
  ASSERT_TRUE(gateway.SendTo(port, tooLong));
  ASSERT_TRUE(gateway.SendTo(port, {1, 2, 3}));
  ASSERT_TRUE(WaitUntil([&] { return sink.Count() >= 2; }));
  EXPECT_TRUE(server.Stop());

  std::lock_guard<std::mutex> lock(sink.mutex);
  ASSERT_EQ(sink.datagrams.size(), 2u);  // the 1501-byte one never arrives
  EXPECT_EQ(sink.datagrams[0], full);
  EXPECT_EQ(sink.datagrams[1], (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(sink.terminators, (std::vector<uint8_t>{0, 0}));
}

// The end of a burst comes when the socket holds nothing more, and after
// every kMaxBurst datagrams in a row while it keeps holding more.
TEST(UdpServerBurst, BurstEndsAfterTheQueueEmptiesAndEveryMaxBurstDatagrams) {
  struct Counter {
    std::mutex mutex;
    std::condition_variable opened;
    bool gateOpen = false;
    int datagrams = 0;
    std::vector<int> burstEnds;  // datagrams seen at each end of a burst

    static int OnDatagram(const SocketAddress&, uint8_t*, uint32_t, uint64_t, void* user) {
      auto* self = static_cast<Counter*>(user);
      std::unique_lock<std::mutex> lock(self->mutex);
      // The first datagram is held until the rest wait in the socket.
      self->opened.wait(lock, [self] { return self->gateOpen; });
      ++self->datagrams;
      return 0;
    }
    static void OnBurstEnd(void* user) {
      auto* self = static_cast<Counter*>(user);
      std::lock_guard<std::mutex> lock(self->mutex);
      self->burstEnds.push_back(self->datagrams);
    }
  } counter;
  CUdpServer server;
  const UdpCallbacks callbacks{&Counter::OnDatagram, nullptr, &counter, &Counter::OnBurstEnd};
  server.SetCallbacks(&callbacks);
  ASSERT_TRUE(server.Start(0));
  ASSERT_TRUE(WaitUntil([&] { return server.BoundPort() != 0; }));
  UdpClient gateway;
  const int total = 3 * kMaxBurst + 8;
  for (int i = 0; i < total; ++i) ASSERT_TRUE(gateway.SendTo(static_cast<uint16_t>(server.BoundPort()), {1}));
  {
    std::lock_guard<std::mutex> lock(counter.mutex);
    counter.gateOpen = true;
  }
  counter.opened.notify_all();
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(counter.mutex);
    return !counter.burstEnds.empty() && counter.burstEnds.back() == total;
  }));
  EXPECT_TRUE(server.Stop());
  std::lock_guard<std::mutex> lock(counter.mutex);
  EXPECT_EQ(counter.burstEnds, (std::vector<int>{kMaxBurst, 2 * kMaxBurst, 3 * kMaxBurst, total}));
}

// A datagram's receive windows count from its arrival: the tick the
// receive thread hands over says when the kernel received it.
TEST(UdpServerArrival, ArrivalTickComesFromTheKernelStamp) {
  const timespec now{1000, 500000000};  // calendar clock when the datagram is read
  const struct {
    const char* what;
    bool stamped;
    timespec stamp;
    uint64_t nowTick, arrival;
  } cases[] = {
      {"no stamp: now, rounded up", false, {}, 50000, 50001},
      {"stamped as it is read", true, {1000, 500000000}, 50000, 50001},
      {"waited 30.5 ms: whole ms taken off, so rounded up", true, {1000, 469500000}, 50000, 49971},
      {"waited 1.2 s", true, {999, 300000000}, 50000, 48801},
      {"waited the longest believed age", true, {990, 500000000}, 50000, 40001},
      {"older than believable: the clock was set back", true, {990, 499999999}, 50000, 50001},
      {"from the future: the clock was set forward", true, {1000, 500000001}, 50000, 50001},
      {"never before the first tick", true, {999, 500000000}, 5, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ArrivalTick(c.nowTick, now, c.stamped ? &c.stamp : nullptr), c.arrival);
  }
}

TEST(UdpServerArrival, ADatagramThatWaitedInTheSocketCarriesItsArrival) {
  struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    bool firstEntered = false, gateOpen = false;
    std::vector<std::pair<uint64_t, uint64_t>> ticks;  // (arrival, handed over) per datagram

    static int OnDatagram(const SocketAddress&, uint8_t*, uint32_t, uint64_t arrivalTick, void* user) {
      auto* self = static_cast<Recorder*>(user);
      std::unique_lock<std::mutex> lock(self->mutex);
      self->firstEntered = true;
      self->changed.notify_all();
      // The first datagram is held while the second waits in the socket.
      self->changed.wait(lock, [self] { return self->gateOpen; });
      self->ticks.emplace_back(arrivalTick, GetTickCount64());
      return 0;
    }
  } recorder;
  CUdpServer server;
  const UdpCallbacks callbacks{&Recorder::OnDatagram, nullptr, &recorder};
  server.SetCallbacks(&callbacks);
  ASSERT_TRUE(server.Start(0));
  ASSERT_TRUE(WaitUntil([&] { return server.BoundPort() != 0; }));
  UdpClient gateway;
  const auto port = static_cast<uint16_t>(server.BoundPort());
  ASSERT_TRUE(gateway.SendTo(port, {1}));
  {
    std::unique_lock<std::mutex> lock(recorder.mutex);
    ASSERT_TRUE(recorder.changed.wait_for(lock, std::chrono::seconds(30), [&] { return recorder.firstEntered; }));
  }
  const uint64_t beforeSend = GetTickCount64();
  ASSERT_TRUE(gateway.SendTo(port, {2}));
  const uint64_t afterSend = GetTickCount64();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  {
    std::lock_guard<std::mutex> lock(recorder.mutex);
    recorder.gateOpen = true;
  }
  recorder.changed.notify_all();
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(recorder.mutex);
    return recorder.ticks.size() == 2;
  }));
  EXPECT_TRUE(server.Stop());
  const auto [arrival, handedOver] = recorder.ticks[1];
  EXPECT_GE(arrival, beforeSend);
  EXPECT_LE(arrival, afterSend + 50);  // the kernel may stamp it a moment after the send returned
  EXPECT_GE(handedOver, arrival + 190);  // it waited the 200 ms hold in the socket
}

TEST_F(UdpServerTest, PortInUseReportsOnce10048AndStopStillCompletes) {
  // Another program holds a port on all addresses.
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);

  const UdpCallbacks callbacks{&Sink::OnDatagram, &Sink::OnError, &sink};
  server.SetCallbacks(&callbacks);
  ASSERT_TRUE(server.Start(ntohs(addr.sin_port)));
  ASSERT_TRUE(server.WaitForReceiveThread(test::kPatienceMs));  // the thread ends by itself
  EXPECT_EQ(server.m_Started.load(), 1);                        // still marked started
  EXPECT_TRUE(server.Stop());
  close(fd);
  std::lock_guard<std::mutex> lock(sink.mutex);
  EXPECT_EQ(sink.errors, std::vector<int>{10048});
}

TEST(UdpServerMapping, BindErrorsMapOntoTheListedCodes) {
  const struct {
    int error;
    int code;
  } cases[] = {{0, 0},           {EINTR, 10004},     {EADDRINUSE, 10048}, {ENETDOWN, 10050},
               {ENETRESET, 10052}, {ECONNRESET, 10054}, {ETIMEDOUT, 10060}, {EACCES, -1},
               {EADDRNOTAVAIL, -1}, {EBADF, -1}};
  for (const auto& c : cases) EXPECT_EQ(MapBindError(c.error), c.code) << "errno " << c.error;
}

TEST_F(UdpServerTest, StopWhileReceivePendingEndsThreadAndAllowsRestart) {
  StartServer();
  // The thread is now blocked waiting for a datagram.
  EXPECT_TRUE(server.Stop(test::kPatienceMs));
  EXPECT_FALSE(server.HasReceiveThread());
  EXPECT_EQ(server.Socket(), CUdpSocket::kNoSocket);

  // A new start makes a new thread on a fresh socket that receives again.
  const uint16_t again = StartServer();
  UdpClient gateway;
  ASSERT_TRUE(gateway.SendTo(again, {9}));
  EXPECT_TRUE(WaitUntil([&] { return sink.Count() == 1; }));
}

TEST_F(UdpServerTest, AStopRightAfterTheStartEndsTheThreadWithoutAnError) {
  // The stop lands anywhere in the thread's start: before the socket exists,
  // between its creation and its bind, or once it waits. The thread sanitizer
  // sees a close racing with the bind; without it the bind could fail on the
  // closed descriptor (or bind a file that took its number) and report an
  // error nobody caused.
  const UdpCallbacks callbacks{&Sink::OnDatagram, &Sink::OnError, &sink};
  server.SetCallbacks(&callbacks);
  for (int round = 0; round < 200; ++round) {
    ASSERT_TRUE(server.Start(0)) << "round " << round;
    ASSERT_TRUE(server.Stop(test::kPatienceMs)) << "round " << round;
    ASSERT_EQ(server.Socket(), CUdpSocket::kNoSocket) << "round " << round;
  }
  std::lock_guard<std::mutex> lock(sink.mutex);
  EXPECT_TRUE(sink.errors.empty());
}

TEST_F(UdpServerTest, DatagramWithoutCallbacksIsReadAndDropped) {
  const uint16_t port = StartServer();
  server.SetCallbacks(nullptr);
  UdpClient gateway;
  ASSERT_TRUE(gateway.SendTo(port, {1}));
  // Wait until the kernel queue of the socket is empty: the datagram was read.
  ASSERT_TRUE(WaitUntil([&] {
    int pending = 0;
    return ioctl(server.Socket(), FIONREAD, &pending) == 0 && pending == 0;
  }));
  // The loop goes on: once callbacks are back, the next datagram arrives.
  // (The first may still reach them if they came back while it was in hand.)
  const UdpCallbacks callbacks{&Sink::OnDatagram, &Sink::OnError, &sink};
  server.SetCallbacks(&callbacks);
  ASSERT_TRUE(gateway.SendTo(port, {2}));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(sink.mutex);
    return !sink.datagrams.empty() && sink.datagrams.back() == std::vector<uint8_t>{2};
  }));
  std::lock_guard<std::mutex> lock(sink.mutex);
  EXPECT_LE(sink.datagrams.size(), 2u);
}

TEST_F(UdpServerTest, SendToJoinsHeaderAndPayloadIntoOneDatagram) {
  StartServer();
  UdpClient gateway;
  SocketAddress to{};
  ASSERT_TRUE(MakeAddress("127.0.0.1", gateway.LocalPort(), to));
  const uint8_t header[4] = {2, 0x12, 0x34, 4};
  const uint8_t payload[3] = {'{', '}', 0};
  EXPECT_TRUE(server.SendTo(header, 4, payload, 2, to));
  const auto got = gateway.Receive(test::kPatienceMs);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, (std::vector<uint8_t>{2, 0x12, 0x34, 4, '{', '}'}));
  EXPECT_EQ(AddressText(to), "127.0.0.1");

  server.Stop();
  EXPECT_FALSE(server.SendTo(header, 4, payload, 2, to));  // no socket any more
}

}  // namespace
}  // namespace quorvex
