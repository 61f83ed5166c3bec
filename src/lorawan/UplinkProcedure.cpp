#include "lorawan/UplinkProcedure.h"

#include "persistence/Device.h"

namespace quorvex {

// Uplink processing is not served yet: no device is answered.
std::unique_ptr<CDevice> ProcessDataUplink(CQuorvexApp&, const SocketAddress&, CGateway&, uint8_t,
                                           const RadioMetadata&, const uint8_t*, int) {
  return nullptr;
}

}  // namespace quorvex
