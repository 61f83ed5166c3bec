#include "runtime/WindowBridge.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

namespace quorvex {

namespace {

constexpr uint32_t kNotifyBit = 1;
constexpr uint32_t kGatewaysBit = 2;
constexpr uint32_t kQuitBit = 4;

uint32_t MessageBit(int message) {
  switch (message) {
    case UM_NOTIFY: return kNotifyBit;
    case UM_GATEWAYS: return kGatewaysBit;
    case UM_QUIT: return kQuitBit;
    default: return 0;
  }
}

}  // namespace

CWindowBridge::CWindowBridge(std::function<void(int message)> handler)
    : m_Handler(std::move(handler)), m_WakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

CWindowBridge::~CWindowBridge() {
  Close();
  if (m_WakeFd >= 0) ::close(m_WakeFd);
}

void CWindowBridge::Wake() {
  const uint64_t one = 1;
  // A full counter already wakes the reader; nothing to add then.
  (void)!::write(m_WakeFd, &one, sizeof one);
}

void CWindowBridge::SendWindowMessage(int message) {
  const uint32_t bit = MessageBit(message);
  if (bit == 0) return;
  std::unique_lock<std::mutex> lock(m_Mutex);
  if (m_Closed || m_WakeFd < 0) return;
  const bool wasIdle = m_Pending == 0;
  m_Pending |= bit;
  const uint64_t ticket = ++m_Posted;
  if (wasIdle) Wake();
  m_Arrived.notify_one();
  m_Done.wait(lock, [&] { return m_Served >= ticket || !MayWaitLocked(); });
}

void CWindowBridge::Dispatch() {
  uint64_t drained = 0;
  if (m_WakeFd >= 0) (void)!::read(m_WakeFd, &drained, sizeof drained);
  const auto end = std::chrono::steady_clock::now() + kDispatchBudget;
  while (DispatchPending()) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    const auto until = std::min(end, std::chrono::steady_clock::now() + kFollowUpWait);
    if (!m_Arrived.wait_until(lock, until, [this] { return m_Pending != 0 || m_Closed; })) break;
    // Out of budget with a message pending: its sender found nothing
    // pending and wrote the wake-up, so the loop comes back for it.
    if (std::chrono::steady_clock::now() >= end) break;
  }
}

bool CWindowBridge::DispatchPending() {
  uint32_t pending = 0;
  uint64_t upTo = 0;
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_Closed || m_Pending == 0) return false;
    pending = m_Pending;
    m_Pending = 0;
    upTo = m_Posted;
  }
  // Every ticket up to upTo was given after its sender marked its message,
  // so handling what was pending now serves all of them.
  uint64_t count = 0;
  for (uint32_t bit : {kGatewaysBit, kNotifyBit, kQuitBit}) {
    if ((pending & bit) == 0) continue;
    ++count;
    if (m_Handler) m_Handler(bit == kNotifyBit ? UM_NOTIFY : bit == kGatewaysBit ? UM_GATEWAYS : UM_QUIT);
  }
  std::lock_guard<std::mutex> lock(m_Mutex);
  if (upTo > m_Served) m_Served = upTo;
  m_HandledCount += count;
  m_Done.notify_all();
  return true;
}

void CWindowBridge::SetUnattended(bool on) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Unattended += on ? 1 : -1;
    // Messages left pending meanwhile are handled on the next turn of the
    // event loop.
    wake = !on && m_Unattended == 0 && m_Pending != 0 && !m_Closed;
    m_Done.notify_all();
  }
  if (wake) Wake();
}

CWindowBridge::Unattended::Unattended(CWindowBridge& bridge) : m_Bridge(bridge) { m_Bridge.SetUnattended(true); }

CWindowBridge::Unattended::~Unattended() { m_Bridge.SetUnattended(false); }

void CWindowBridge::Close() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_Closed = true;
  m_Pending = 0;
  m_Done.notify_all();
  m_Arrived.notify_all();
}

uint64_t CWindowBridge::Handled() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_HandledCount;
}

}  // namespace quorvex
