// The device manager: the device records of the application chosen by the
// operator, for display and editing (the radio side reads devices afresh).
#pragma once
#include <memory>
#include <vector>

#include "persistence/Device.h"
#include "runtime/BaseThread.h"

namespace quorvex {

class CDeviceManager : public CBaseMgr {
 public:
  std::vector<std::unique_ptr<CDevice>> m_Devices;
};

}  // namespace quorvex
