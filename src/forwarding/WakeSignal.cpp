#include "forwarding/WakeSignal.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace quorvex {

CWakeSignal::CWakeSignal() : m_Fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

CWakeSignal::~CWakeSignal() {
  if (m_Fd >= 0) close(m_Fd);
}

void CWakeSignal::Notify() {
  if (m_Fd < 0 || m_Pending.exchange(true)) return;
  const uint64_t one = 1;
  // Fails only when the counter is full, and then the fd is readable anyway.
  (void)!write(m_Fd, &one, sizeof one);
}

void CWakeSignal::Drain() {
  if (m_Fd < 0) return;
  // Read first, then clear: a Notify after the clear writes again, and one
  // that came before it announced work the caller is about to look for.
  uint64_t count = 0;
  (void)!read(m_Fd, &count, sizeof count);
  m_Pending.store(false);
}

}  // namespace quorvex
