#include "platform/Event.h"

#include <chrono>

namespace quorvex {

void CEvent::Set() {
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Signalled = true;
  }
  m_Cond.notify_all();
}

void CEvent::Reset() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_Signalled = false;
}

bool CEvent::IsSet() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_Signalled;
}

CEvent::WaitResult CEvent::Wait(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(m_Mutex);
  const bool signalled =
      m_Cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_Signalled; });
  return signalled ? Signalled : Timeout;
}

}  // namespace quorvex
