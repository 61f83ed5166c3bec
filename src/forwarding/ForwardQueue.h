// The order in which forwarded uplinks may be posted, while many posts are
// in flight at once:
//  - one device has at most one post in flight, and its posts start in the
//    order its uplinks were queued, so an application server receives a
//    device's uplinks in order (the next one is sent only after the server
//    has answered the previous one);
//  - one application server (base URL) has at most a fixed number of posts
//    in flight and queued, so a slow or dead server cannot take the
//    connections or the queue room the other servers need;
//  - servers with work take turns (round robin), one post at a time.
// Not thread-safe: the owner guards it with its own lock. No network here.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>

namespace quorvex {

struct HttpForwardRequest;

struct ForwardQueueLimits {
  std::size_t maxQueued = 0;           // waiting requests, all servers together
  std::size_t maxQueuedPerServer = 0;  // waiting requests of one base URL
  int maxInFlightPerServer = 0;        // posts of one base URL started, not finished
};

class CForwardQueue {
 public:
  enum class AddResult { Added, Full, ServerFull };

  explicit CForwardQueue(const ForwardQueueLimits& limits) : m_Limits(limits) {}

  // Queues `request` (not null) behind the earlier requests of its device;
  // it is moved from only when Added. Full when maxQueued requests wait,
  // ServerFull when maxQueuedPerServer requests of its base URL wait.
  AddResult Add(std::unique_ptr<HttpForwardRequest>& request);

  // The request to post next, or null when none may start now (nothing
  // waits, or every waiting request's device has a post in flight or its
  // server is at maxInFlightPerServer). The caller owns the request and
  // must call Finish with its device and base URL once the post has ended.
  std::unique_ptr<HttpForwardRequest> Take();

  // The post of `device` to `baseUrl` taken by Take has ended: the device's
  // next request and the server's slot become free.
  void Finish(int32_t device, const std::string& baseUrl);

  std::size_t Queued() const { return m_Queued; }
  std::size_t InFlight() const { return m_InFlight; }
  // True when Take would return a request.
  bool HasReady() const { return !m_Runnable.empty(); }
  const ForwardQueueLimits& Limits() const { return m_Limits; }

 private:
  struct DeviceLane {
    std::deque<std::unique_ptr<HttpForwardRequest>> pending;
    bool busy = false;  // a post of the device is in flight
  };
  // Invariant: a device is in `ready` of the server of its first pending
  // request exactly when it is not busy and has a pending request.
  struct ServerLane {
    std::deque<int32_t> ready;
    std::size_t queued = 0;
    int inFlight = 0;
    bool listed = false;  // in m_Runnable
  };

  // Puts the device into the ready list of its first request's server.
  void MakeReady(int32_t device, const DeviceLane& lane);
  // Lists the server as runnable when it has a ready device and room.
  void List(const std::string& baseUrl, ServerLane& server);
  // Forgets a server with nothing queued, in flight or listed.
  void ForgetIfIdle(const std::string& baseUrl);

  ForwardQueueLimits m_Limits;
  std::unordered_map<int32_t, DeviceLane> m_Devices;
  std::unordered_map<std::string, ServerLane> m_Servers;
  std::deque<std::string> m_Runnable;  // servers in turn order
  std::size_t m_Queued = 0;
  std::size_t m_InFlight = 0;
};

}  // namespace quorvex
