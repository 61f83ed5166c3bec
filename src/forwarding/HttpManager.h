// The HTTP manager: the queue of uplinks waiting to be posted to their
// application servers, and the pool of worker threads that post them. Each
// worker waits on its own event (25 ms polling), takes the first request
// under the lock and works on it with the lock released.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "runtime/BaseThread.h"

namespace quorvex {

class CHttpManager;
class CDevice;

// One uplink waiting to be forwarded.
struct HttpRequest {
  virtual ~HttpRequest() = default;
};

// One per worker thread: its index, its manager and its wake event
// (manual reset). A record belongs to one run; a new start makes new ones,
// so a worker still ending from the previous run keeps its own.
struct HttpWorkerInfo {
  int m_Index = 0;
  CHttpManager* m_Manager = nullptr;
  std::shared_ptr<CEvent> m_Event;
  uint32_t m_Generation = 0;
};

class CHttpManager : public CBaseMgr {
 public:
  static constexpr int kMaxWorkers = 64;

  CHttpManager() = default;
  virtual ~CHttpManager();

  // Sets the worker count (1..64) and m_Run, and starts that many workers,
  // each with a fresh event. Returns the number of workers started.
  int StartWorkers(int count);
  // m_Run 0 and every worker's event set; does not wait.
  void StopWorkers();

  // Hands a data uplink to the application server of its application: copies
  // what the post needs from the device record and queues it. Called by the
  // transmit scheduler; never waits on the network.
  void ForwardUplink(const CDevice& device);

  // Appends a request (producer side: lock, append, unlock; no wake).
  void AddRequest(std::unique_ptr<HttpRequest> request);
  size_t Count();
  int WorkerCount() const { return m_WorkerCount.load(); }

  bool WaitForThreads(uint32_t timeoutMs) override;

 protected:
  // Posts one request; runs on a worker thread without the manager's lock.
  virtual void Process(HttpRequest&) {}

 private:
  static int WorkerThread(std::shared_ptr<HttpWorkerInfo> info);

  std::vector<std::unique_ptr<HttpRequest>> m_Requests;
  std::atomic<int> m_WorkerCount{0};
  std::array<std::shared_ptr<HttpWorkerInfo>, kMaxWorkers> m_Workers;
  std::array<std::unique_ptr<CThread>, kMaxWorkers> m_WorkerThreads;
};

}  // namespace quorvex
