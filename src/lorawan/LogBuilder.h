// The packet-log builders: every frame event becomes a CLog record that goes
// to the application's log ring for the window (then UM_NOTIFY) and, for the
// typed records, into LOGTBL. Debug records are always made; the typed ones
// only while the operator's server debug mode is on. Builders run on the
// receive thread and on the scheduler thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "gateway/RadioMetadata.h"
#include "gateway/UdpServer.h"
#include "persistence/Log.h"

namespace quorvex {

class CQuorvexApp;
class CDevice;
struct CDeviceRow;

// RXTIME text of the current local time: "%02d %02d:%02d:%02d %03d" (day,
// hour, minute, second, millisecond).
std::string LogTimeText();

// A debug record: `text` followed, when `count` >= 1, by the bytes in hex
// separated by spaces.
void LogDebug(CQuorvexApp& app, const SocketAddress& from, const std::string& text, const uint8_t* bytes,
              int count);
// A debug record of a received frame: `text`, the frame's length and at most
// its first `head` bytes in hex. The caller passes the length of the
// header that names the frame, so that no payload or MIC, which would let
// anyone with the log replay or read it, is recorded.
void LogFrameHead(CQuorvexApp& app, const SocketAddress& from, const std::string& text,
                  std::span<const uint8_t> frame, std::size_t head);
// A TX_ACK failure of the last downlink's device.
void LogTxFail(CQuorvexApp& app, const SocketAddress& from, const std::string& text);
// A frame for `device` that was not sent, to the gateway's pull address.
void LogTxFail(CQuorvexApp& app, const SocketAddress& pullAddr, const CDeviceRow& device, const std::string& text);
// A join request (accepted or duplicate).
void LogJoin(CQuorvexApp& app, const SocketAddress& from, const CDevice& device, const RadioMetadata& meta);
// A data uplink that reached the end of its processing.
void LogUplink(CQuorvexApp& app, const SocketAddress& from, const CDevice& device, const RadioMetadata& meta);
// A join accept that was sent, to the gateway's pull address.
void LogAccept(CQuorvexApp& app, const SocketAddress& pullAddr, const CDevice& device, const RadioMetadata& meta);
// A data downlink that was sent.
void LogDownlink(CQuorvexApp& app, const SocketAddress& pullAddr, const CDevice& device,
                 const RadioMetadata& meta);

}  // namespace quorvex
