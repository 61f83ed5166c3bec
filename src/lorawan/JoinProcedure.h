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

// The same join request heard again within this many milliseconds of the
// queued one is a copy through another gateway (or a repeat) to choose from.
inline constexpr int64_t kJoinDuplicateWindowMs = 500;

// Handles one join request heard by `gateway`. Returns the device record
// (owned by the caller; m_Accepted tells whether an answer is to be queued),
// or null when the application or device is unknown or the frame is refused.
// The MHDR is taken from the frame itself, whose MIC covers it.
std::unique_ptr<CDevice> ProcessJoinRequest(CQuorvexApp& app, const SocketAddress& from, CGateway& gateway,
                                            uint8_t mhdr, const RadioMetadata& meta, const uint8_t* frame,
                                            int length);

// ProcessJoinRequest at millisecond tick `now` (the clock of RXTICK and of
// the scheduler's queue); the operation above passes the current tick count.
std::unique_ptr<CDevice> ProcessJoinRequestAt(CQuorvexApp& app, const SocketAddress& from, CGateway& gateway,
                                              uint8_t mhdr, const RadioMetadata& meta, const uint8_t* frame,
                                              int length, uint64_t now);

}  // namespace quorvex
