#include "runtime/WindowBridge.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <thread>
#include <vector>

namespace quorvex {
namespace {

bool WakeReadable(const CWindowBridge& bridge, int timeoutMs) {
  pollfd pfd{bridge.WakeFd(), POLLIN, 0};
  return ::poll(&pfd, 1, timeoutMs) == 1;
}

struct Recorder {
  std::vector<int> messages;
  CWindowBridge bridge{[this](int m) { messages.push_back(m); }};
};

TEST(WindowBridgeTest, SenderWaitsUntilTheWindowThreadHandledItsMessage) {
  Recorder r;
  std::atomic<bool> returned{false};
  std::thread sender([&] {
    r.bridge.SendWindowMessage(UM_NOTIFY);
    returned = true;
  });
  ASSERT_TRUE(WakeReadable(r.bridge, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(returned.load()) << "a synchronous message returned before it was handled";
  r.bridge.Dispatch();
  sender.join();
  EXPECT_TRUE(returned.load());
  EXPECT_EQ(r.messages, std::vector<int>{UM_NOTIFY});
  EXPECT_FALSE(WakeReadable(r.bridge, 0)) << "a dispatch consumes the wake-up";
}

TEST(WindowBridgeTest, ADispatchServesEverySenderAndEachKindOnce) {
  Recorder r;
  std::atomic<int> returned{0};
  std::vector<std::thread> senders;
  for (int i = 0; i < 6; ++i) {
    senders.emplace_back([&, i] {
      r.bridge.SendWindowMessage(i == 0 ? UM_GATEWAYS : UM_NOTIFY);
      ++returned;
    });
  }
  int dispatches = 0;
  while (returned.load() < 6) {
    if (WakeReadable(r.bridge, 10)) {
      r.bridge.Dispatch();
      ++dispatches;
    }
  }
  for (auto& t : senders) t.join();
  // A pending kind is handled once however many marked it, so never more
  // often than it was sent.
  EXPECT_GE(dispatches, 1);
  EXPECT_LE(r.messages.size(), 6u);
  size_t gateways = 0;
  for (size_t i = 0; i < r.messages.size(); ++i) gateways += r.messages[i] == UM_GATEWAYS;
  EXPECT_EQ(gateways, 1u);
}

TEST(WindowBridgeTest, UnknownMessagesAreIgnoredWithoutWaiting) {
  Recorder r;
  r.bridge.SendWindowMessage(12345);
  EXPECT_FALSE(WakeReadable(r.bridge, 0));
  EXPECT_TRUE(r.messages.empty());
}

// The window thread stops a server thread that is sending to it at that very
// moment: inside the Unattended scope the sender must not wait, or the join
// below would never return.
TEST(WindowBridgeTest, WindowThreadWaitingForASenderNeverDeadlocks) {
  Recorder r;
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  std::thread server([&] {
    while (!stop.load()) {
      r.bridge.SendWindowMessage(UM_NOTIFY);
      ++sent;
    }
  });
  ASSERT_TRUE(WakeReadable(r.bridge, 5000));  // the sender is now waiting for us
  {
    CWindowBridge::Unattended scope(r.bridge);
    stop = true;
    server.join();  // no dispatch meanwhile
  }
  EXPECT_GE(sent.load(), 1);
  // What was left pending is handled on the next turn of the loop.
  ASSERT_TRUE(WakeReadable(r.bridge, 1000));
  r.bridge.Dispatch();
  EXPECT_FALSE(r.messages.empty());
  EXPECT_EQ(r.messages.back(), UM_NOTIFY);
}

TEST(WindowBridgeTest, CloseReleasesAWaitingSenderAndDropsWhatIsPending) {
  Recorder r;
  std::thread sender([&] { r.bridge.SendWindowMessage(UM_QUIT); });
  ASSERT_TRUE(WakeReadable(r.bridge, 5000));
  r.bridge.Close();
  sender.join();
  r.bridge.Dispatch();
  EXPECT_TRUE(r.messages.empty());
  r.bridge.SendWindowMessage(UM_NOTIFY);  // returns at once after Close
}

// Two server threads send while the window thread dispatches and now and
// then waits for them unattended: every sender returns, and the handler is
// never run concurrently with itself or after Close.
TEST(WindowBridgeTest, SendersAndWindowThreadUnderLoad) {
  std::atomic<int> inHandler{0};
  std::atomic<bool> overlapped{false};
  long handled = 0;
  CWindowBridge bridge([&](int) {
    if (inHandler.fetch_add(1) != 0) overlapped = true;
    ++handled;
    inHandler.fetch_sub(1);
  });
  constexpr int kPerSender = 3000;
  std::atomic<int> finished{0};
  std::vector<std::thread> senders;
  for (int s = 0; s < 2; ++s) {
    senders.emplace_back([&] {
      for (int i = 0; i < kPerSender; ++i) bridge.SendWindowMessage(i % 50 == 0 ? UM_GATEWAYS : UM_NOTIFY);
      ++finished;
    });
  }
  int turns = 0;
  while (finished.load() < 2) {
    if (++turns % 97 == 0) {
      CWindowBridge::Unattended scope(bridge);
      std::this_thread::yield();
    }
    if (WakeReadable(bridge, 10)) bridge.Dispatch();
  }
  for (auto& t : senders) t.join();
  bridge.Close();
  EXPECT_FALSE(overlapped.load());
  EXPECT_GT(handled, 0);
  EXPECT_EQ(static_cast<uint64_t>(handled), bridge.Handled());
}

// A dispatch that runs out of its time with a message pending must leave the
// loop woken, or that message's sender would wait until something else woke
// the window.
TEST(WindowBridgeTest, AMessageLeftPendingByTheTimeBudgetStillWakesTheLoop) {
  CWindowBridge bridge([](int) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
  constexpr int kMessages = 200;
  std::atomic<int> returned{0};
  std::thread sender([&] {
    for (int i = 0; i < kMessages; ++i) {
      bridge.SendWindowMessage(UM_NOTIFY);
      ++returned;
    }
  });
  // The window waits for a wake-up only while the sender has messages to
  // come; on a busy machine the sender may take a while to send the next.
  bool woken = true;
  while (returned.load() < kMessages && woken) {
    woken = WakeReadable(bridge, 10000) || returned.load() == kMessages;
    if (woken) bridge.Dispatch();
  }
  EXPECT_TRUE(woken) << "a sender waits with nothing left to wake the window";
  bridge.Close();
  sender.join();
}

}  // namespace
}  // namespace quorvex
