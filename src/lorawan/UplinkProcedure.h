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

// Handles one data uplink (MType 2 or 4) heard by `gateway`. Returns the
// device record (owned by the caller; m_Accepted tells whether an answer is
// to be queued), or null when the device is unknown or the frame is refused.
std::unique_ptr<CDevice> ProcessDataUplink(CQuorvexApp& app, const SocketAddress& from, CGateway& gateway,
                                           uint8_t mhdr, const RadioMetadata& meta, const uint8_t* frame,
                                           int length);

}  // namespace quorvex
