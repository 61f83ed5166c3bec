// The gateway manager: every known gateway, under its lock.
#pragma once
#include <memory>
#include <vector>

#include "gateway/Gateway.h"
#include "runtime/BaseThread.h"

namespace quorvex {

class CGateManager : public CBaseMgr {
 public:
  // Marks every gateway disconnected with no pull seen (a fresh server run).
  void ResetConnections();

  std::vector<std::unique_ptr<CGateway>> m_Gateways;
};

}  // namespace quorvex
