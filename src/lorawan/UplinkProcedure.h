// Uplink data frame processing: MIC and counter checks, deduplication
// across gateways, ADR, MAC commands and decryption of a data uplink.
#pragma once
#include <cstdint>
#include <memory>

#include "gateway/RadioMetadata.h"
#include "gateway/UdpServer.h"

namespace quorvex {

class CQuorvexApp;
class CGateway;
class CDevice;

// A repeat of the last counter within this many milliseconds of the queued
// frame is the same frame through another gateway (or a repeat) to choose from.
inline constexpr int64_t kUplinkDuplicateWindowMs = 300;

// Handles one data uplink (MType 2 or 4) heard by `gateway`. Returns the
// device record (owned by the caller; m_Accepted tells whether an answer is
// to be queued), or null when the device is unknown or the frame is refused.
// The MHDR is taken from the frame itself, whose MIC covers it.
std::unique_ptr<CDevice> ProcessDataUplink(CQuorvexApp& app, const SocketAddress& from, CGateway& gateway,
                                           uint8_t mhdr, const RadioMetadata& meta, const uint8_t* frame,
                                           int length);

// ProcessDataUplink at millisecond tick `now` (the clock of RXTICK and of
// the scheduler's queue); the operation above passes the current tick count.
std::unique_ptr<CDevice> ProcessDataUplinkAt(CQuorvexApp& app, const SocketAddress& from, CGateway& gateway,
                                             uint8_t mhdr, const RadioMetadata& meta, const uint8_t* frame,
                                             int length, uint64_t now);

}  // namespace quorvex
