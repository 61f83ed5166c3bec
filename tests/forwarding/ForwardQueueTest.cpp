// The order in which queued uplinks may be posted: one post of a device at
// a time and in its order, a cap on the posts of one server in flight and
// queued, and servers taking turns.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "forwarding/ForwardQueue.h"
#include "forwarding/HttpManager.h"

namespace quorvex {
namespace {

constexpr ForwardQueueLimits kLimits{100, 50, 2};

std::unique_ptr<HttpForwardRequest> Request(int32_t device, const std::string& server,
                                            const std::string& body = "") {
  auto request = std::make_unique<HttpForwardRequest>();
  request->m_DevicePkey = device;
  request->m_BaseUrl = server;
  request->m_Body = body;
  return request;
}

CForwardQueue::AddResult Add(CForwardQueue& queue, int32_t device, const std::string& server,
                             const std::string& body = "") {
  auto request = Request(device, server, body);
  return queue.Add(request);
}

// "device/body" of the requests Take gives until it gives none.
std::vector<std::string> TakeAll(CForwardQueue& queue,
                                 std::vector<std::unique_ptr<HttpForwardRequest>>& taken) {
  std::vector<std::string> names;
  while (auto request = queue.Take()) {
    names.push_back(std::to_string(request->m_DevicePkey) + "/" + request->m_Body);
    taken.push_back(std::move(request));
  }
  return names;
}

TEST(ForwardQueue, ADeviceHasOnePostInFlightAndItsNextWaitsForTheEnd) {
  CForwardQueue queue({100, 50, 10});
  for (const char* body : {"a1", "a2", "a3"}) Add(queue, 1, "http://s", body);
  Add(queue, 2, "http://s", "b1");
  std::vector<std::unique_ptr<HttpForwardRequest>> taken;
  EXPECT_EQ(TakeAll(queue, taken), (std::vector<std::string>{"1/a1", "2/b1"}));
  EXPECT_EQ(queue.InFlight(), 2u);
  EXPECT_EQ(queue.Queued(), 2u);
  queue.Finish(2, "http://s");  // another device's end frees nothing of device 1
  EXPECT_EQ(queue.Take(), nullptr);
  queue.Finish(1, "http://s");
  EXPECT_EQ(TakeAll(queue, taken), (std::vector<std::string>{"1/a2"}));
  queue.Finish(1, "http://s");
  EXPECT_EQ(TakeAll(queue, taken), (std::vector<std::string>{"1/a3"}));
  queue.Finish(1, "http://s");
  EXPECT_FALSE(queue.HasReady());
  EXPECT_EQ(queue.InFlight(), 0u);
  EXPECT_EQ(queue.Queued(), 0u);
}

TEST(ForwardQueue, AServerAtItsCapWaitsWhileTheOthersGoOnInTurn) {
  CForwardQueue queue(kLimits);  // 2 in flight per server
  for (int32_t d = 1; d <= 4; ++d) Add(queue, d, "http://slow", "s");
  for (int32_t d = 11; d <= 13; ++d) Add(queue, d, "http://fast", "f");
  std::vector<std::unique_ptr<HttpForwardRequest>> taken;
  // Turns alternate while both have room; then only the fast one has room.
  EXPECT_EQ(TakeAll(queue, taken), (std::vector<std::string>{"1/s", "11/f", "2/s", "12/f"}));
  queue.Finish(11, "http://fast");
  EXPECT_EQ(TakeAll(queue, taken), (std::vector<std::string>{"13/f"}));
  queue.Finish(1, "http://slow");
  EXPECT_EQ(TakeAll(queue, taken), (std::vector<std::string>{"3/s"}));
}

TEST(ForwardQueue, TheQueueAndEachServerHaveABound) {
  const struct {
    const char* what;
    ForwardQueueLimits limits;
    int fill;  // requests of distinct devices for "http://a" first
    const char* server;
    CForwardQueue::AddResult result;
  } cases[] = {
      {"room left", {4, 3, 1}, 2, "http://a", CForwardQueue::AddResult::Added},
      {"server's share used", {4, 3, 1}, 3, "http://a", CForwardQueue::AddResult::ServerFull},
      {"another server still has room", {4, 3, 1}, 3, "http://b", CForwardQueue::AddResult::Added},
      {"all room used", {3, 3, 1}, 3, "http://b", CForwardQueue::AddResult::Full},
  };
  for (const auto& c : cases) {
    CForwardQueue queue(c.limits);
    for (int i = 0; i < c.fill; ++i) ASSERT_EQ(Add(queue, i, "http://a"), CForwardQueue::AddResult::Added);
    auto request = Request(99, c.server);
    EXPECT_EQ(queue.Add(request), c.result) << c.what;
    // A refused request stays with the caller (for its trace line).
    EXPECT_EQ(request == nullptr, c.result == CForwardQueue::AddResult::Added) << c.what;
  }
}

// A device whose application moved to another server keeps its order
// across both servers.
TEST(ForwardQueue, ADevicesOrderHoldsAcrossServers) {
  CForwardQueue queue(kLimits);
  Add(queue, 1, "http://old", "1");
  Add(queue, 1, "http://new", "2");
  Add(queue, 1, "http://old", "3");
  std::vector<std::unique_ptr<HttpForwardRequest>> taken;
  std::vector<std::string> order;
  for (const char* server : {"http://old", "http://new", "http://old"}) {
    const auto names = TakeAll(queue, taken);
    ASSERT_EQ(names.size(), 1u);
    order.push_back(names[0]);
    queue.Finish(1, server);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"1/1", "1/2", "1/3"}));
}

// Random adds, takes and ends: every request is taken exactly once, each
// device's in its order, never two of a device at once, never more of a
// server than its cap.
TEST(ForwardQueue, RandomTrafficKeepsEveryRule) {
  std::mt19937 random(7);
  CForwardQueue queue({60, 40, 3});
  std::map<int32_t, int> nextAdded, nextTaken;
  std::map<int32_t, std::string> inFlight;  // device -> server
  std::map<std::string, int> serverInFlight;
  int added = 0, finished = 0;
  for (int step = 0; step < 20000; ++step) {
    const int action = static_cast<int>(random() % 3);
    if (action == 0) {
      const int32_t device = static_cast<int32_t>(random() % 12);
      const std::string server = "http://s" + std::to_string(device % 3 == 0 ? random() % 3 : device % 3);
      auto request = Request(device, server, std::to_string(nextAdded[device]));
      if (queue.Add(request) == CForwardQueue::AddResult::Added) {
        ++nextAdded[device];
        ++added;
      }
    } else if (action == 1) {
      auto request = queue.Take();
      if (!request) continue;
      const int32_t device = request->m_DevicePkey;
      ASSERT_EQ(inFlight.count(device), 0u) << "two posts of device " << device;
      ASSERT_EQ(request->m_Body, std::to_string(nextTaken[device]++)) << "device " << device;
      ASSERT_LT(serverInFlight[request->m_BaseUrl]++, 3) << request->m_BaseUrl;
      inFlight[device] = request->m_BaseUrl;
    } else if (!inFlight.empty()) {
      auto it = inFlight.begin();
      std::advance(it, random() % inFlight.size());
      --serverInFlight[it->second];
      queue.Finish(it->first, it->second);
      inFlight.erase(it);
      ++finished;
    }
  }
  // Drain: everything added is taken in the end.
  while (!inFlight.empty() || queue.HasReady()) {
    while (auto request = queue.Take()) {
      ASSERT_EQ(request->m_Body, std::to_string(nextTaken[request->m_DevicePkey]++));
      inFlight[request->m_DevicePkey] = request->m_BaseUrl;
    }
    for (const auto& [device, server] : inFlight) queue.Finish(device, server);
    finished += static_cast<int>(inFlight.size());
    inFlight.clear();
  }
  EXPECT_EQ(finished, added);
  EXPECT_EQ(nextTaken, nextAdded);
  EXPECT_EQ(queue.Queued(), 0u);
  EXPECT_EQ(queue.InFlight(), 0u);
  EXPECT_GT(added, 1000);
}

}  // namespace
}  // namespace quorvex
