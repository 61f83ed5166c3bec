#include "lorawan/JoinProcedure.h"

#include "persistence/Device.h"

namespace quorvex {

// The join procedure is not served yet: no device is answered.
std::unique_ptr<CDevice> ProcessJoinRequest(CQuorvexApp&, const SocketAddress&, CGateway&, uint8_t,
                                            const RadioMetadata&, const uint8_t*, int) {
  return nullptr;
}

}  // namespace quorvex
