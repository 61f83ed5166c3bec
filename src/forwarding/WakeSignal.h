// A wake-up that a poll can watch: an eventfd that becomes readable when
// Notify is called from any thread, until Drain. Notifications made while
// one is still pending cost no system call, so queuing thousands of
// requests a second does not mean thousands of writes.
#pragma once
#include <atomic>

namespace quorvex {

class CWakeSignal {
 public:
  // Fd() is -1 when no eventfd could be made; the waiter must then poll.
  CWakeSignal();
  ~CWakeSignal();
  CWakeSignal(const CWakeSignal&) = delete;
  CWakeSignal& operator=(const CWakeSignal&) = delete;

  int Fd() const { return m_Fd; }
  // Makes Fd() readable (once per pending wake-up).
  void Notify();
  // Clears the wake-up; a Notify after this makes Fd() readable again.
  // Call after every wait (whether or not Fd() was seen readable) and
  // before looking for the work the wake-up announced.
  void Drain();

 private:
  const int m_Fd;
  std::atomic<bool> m_Pending{false};
};

}  // namespace quorvex
