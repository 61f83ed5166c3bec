// The join procedure: a join request from a known device yields fresh
// session keys and an encrypted join accept in the returned device record.
#pragma once
#include <cstdint>
#include <memory>

#include "gateway/RadioMetadata.h"
#include "gateway/UdpServer.h"

namespace quorvex {

class CQuorvexApp;
class CGateway;
class CDevice;

// Handles one join request heard by `gateway`. Returns the device record
// (owned by the caller; m_Accepted tells whether an answer is to be queued),
// or null when the application or device is unknown or the frame is refused.
std::unique_ptr<CDevice> ProcessJoinRequest(CQuorvexApp& app, const SocketAddress& from, CGateway& gateway,
                                            uint8_t mhdr, const RadioMetadata& meta, const uint8_t* frame,
                                            int length);

}  // namespace quorvex
