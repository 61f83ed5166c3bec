// A manual-reset event: once Set it stays signalled, waking every waiter,
// until someone calls Reset. This is the wake signal of the polling loops.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace quorvex {

class CEvent {
 public:
  enum WaitResult { Signalled = 0, Timeout = 1 };

  CEvent() = default;
  CEvent(const CEvent&) = delete;
  CEvent& operator=(const CEvent&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;
  // Waits until the event is signalled or `timeoutMs` has passed. The event
  // stays signalled after the wait (manual reset).
  WaitResult Wait(uint32_t timeoutMs);

 private:
  mutable std::mutex m_Mutex;
  std::condition_variable m_Cond;
  bool m_Signalled = false;
};

}  // namespace quorvex
