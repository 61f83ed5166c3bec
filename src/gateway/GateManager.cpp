#include "gateway/GateManager.h"

namespace quorvex {

void CGateManager::ResetConnections() {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  for (auto& gateway : m_Gateways) {
    gateway->m_Connected = 0;
    gateway->m_LastPullTick = 0;
  }
}

}  // namespace quorvex
