// The log manager: packet-log records read back from the log table.
#pragma once
#include <memory>
#include <vector>

#include "persistence/Log.h"
#include "runtime/BaseThread.h"

namespace quorvex {

class CLogManager : public CBaseMgr {
 public:
  std::vector<std::unique_ptr<CLog>> m_Logs;
};

}  // namespace quorvex
