// The datagram dispatcher: runs on the UDP receive thread, inside the
// socket's callback lock, once for every datagram a gateway sends. It parses
// the packet-forwarder header and JSON, finds or registers the gateway,
// acknowledges as the protocol rules say and decodes the first radio packet.
// A join request or data uplink is acknowledged at once (the protocol gives
// the PUSH_ACK no durability meaning) and handed to the frame thread, which
// runs the LoRaWAN layer and queues the answer for the transmit scheduler.
#include <cinttypes>
#include <cstdio>
#include <optional>
#include <vector>

#include "gateway/JSonIFace2x.h"
#include "lorawan/JoinProcedure.h"
#include "lorawan/LoRaFrame.h"
#include "lorawan/LogBuilder.h"
#include "lorawan/UplinkProcedure.h"
#include "persistence/Application.h"
#include "platform/Tick.h"
#include "runtime/QuorvexApp.h"
#include "runtime/Trace.h"
#include "util/Base64.h"

namespace quorvex {

struct ReceivedFrame {
  std::vector<uint8_t> bytes;
  RadioMetadata meta;
};

namespace {

constexpr uint8_t kProtocolVersion = 2;
constexpr uint8_t kPushAck = 1;
constexpr uint8_t kPullAck = 4;
constexpr uint32_t kJoinDelayMs = 5000;
constexpr uint32_t kUplinkDelayMs = 1000;

// What the dispatcher keeps of the gateway of a PUSH_DATA, read under the
// registry's lock (the window may edit the record at any time).
struct PushGateway {
  int32_t active = 0;
  int32_t pullSeen = 0;
  int32_t key = 0;
  SocketAddress pushAddr{};
};

void SendAck(CUdpServer& server, const uint8_t token[2], uint8_t identifier, const SocketAddress& to) {
  const uint8_t ack[4] = {kProtocolVersion, token[0], token[1], identifier};
  server.SendTo(ack, sizeof ack, nullptr, 0, to);
}

std::string EuiText(const CJSonIFace2x& json) {
  char text[17];
  snprintf(text, sizeof text, "%016" PRIX64, json.m_GatewayEui);
  return text;
}

PushGateway ReadPushGateway(CGateManager& gateways, const CGateway& gateway) {
  std::lock_guard<std::recursive_mutex> lock(gateways.Mutex());
  return {gateway.ACTIVE, gateway.m_PullSeen, gateway.PKEY, gateway.m_PushAddr};
}

bool SameAddress(const SocketAddress& a, const SocketAddress& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// Whether a TX_ACK comes from where an active gateway pulls: downlinks go
// only to such an address, and anyone can send a TX_ACK.
bool FromActiveGateway(CGateManager& gateways, const CJSonIFace2x& json, const SocketAddress& from) {
  std::lock_guard<std::recursive_mutex> lock(gateways.Mutex());
  const CGateway* gateway = gateways.FindGateway(EuiText(json).c_str());
  return gateway != nullptr && gateway->ACTIVE != 0 && gateway->m_PullSeen != 0 &&
         SameAddress(gateway->m_PullAddr, from);
}

// A gateway may send its PUSH_DATA only once it is active and has pulled.
bool MayPush(const PushGateway& gateway, CServerMetrics& metrics) {
  if (!gateway.active) {
    metrics.Refuse(Refusal::kGatewayInactive);
    TraceLine("SetGatewayUpdate Null Error\n");
    return false;
  }
  if (!gateway.pullSeen) {
    metrics.Refuse(Refusal::kGatewayNotPulling);
    TraceLine("m_LoRaGateMgr Not Received PullData\n");
    return false;
  }
  return true;
}

// The first "rxpk" element's frame (Base64 "data" of "size" bytes) and radio
// metadata; nothing, with a trace line, when any of it is missing or wrong.
std::optional<ReceivedFrame> DecodeFirstRxpk(const CJSonIFace2x& json, const std::string& sender) {
  const Json::Value& rxpk = json.GetRxValue();
  if (!rxpk.isArray() || rxpk.empty()) {
    TraceLine("%s, Rx Packet Dropped: rxpk is empty or not an array\n", sender.c_str());
    return std::nullopt;
  }
  std::string field;
  if (CJSonIFace2x::GetRxField(rxpk, "size", field) != 1 || field.empty() || CJSonIFace2x::TextToInt(field) == 0) {
    TraceLine("JSon2x.GetRxField empty !, frame size zero\n");
    return std::nullopt;
  }
  const int size = CJSonIFace2x::TextToInt(field);
  if (CJSonIFace2x::GetRxField(rxpk, "data", field) != 1 || field.empty()) {
    TraceLine("JSon2x.GetRxField no include data..root=%s\n", json.m_RootName.c_str());
    return std::nullopt;
  }
  CBase64 base64;
  if (!base64.SetData(field) || !base64.Decode() || static_cast<int>(base64.GetOutputLength()) != size) {
    TraceLine("Utils.SetBase64Decode size err\n");
    return std::nullopt;
  }
  ReceivedFrame frame;
  frame.bytes.assign(base64.GetOutput(), base64.GetOutput() + base64.GetOutputLength());
  json.GetRadioMetadata(frame.meta);
  if (frame.meta.freq[0] == 0 || frame.meta.rssi[0] == 0) {
    TraceLine("%s, Rx Packet Dropped: no freq or rssi\n", sender.c_str());
    return std::nullopt;
  }
  return frame;
}

bool IsUplinkMType(uint8_t mtype) {
  return mtype == kMTypeJoinRequest || mtype == kMTypeUnconfirmedUp || mtype == kMTypeConfirmedUp;
}

}  // namespace

void CQuorvexApp::OnGatewayDatagram(const SocketAddress& from, uint8_t* data, uint32_t length,
                                    uint64_t arrivalTick) {
  CJSonIFace2x json;
  const std::string sender = AddressText(from);
  const std::optional<RxParseResult> parsed = json.SetUdpRxParse(sender, data, length);
  if (!parsed) return;
  if (parsed->kind == 2) {
    HandleTxAck(from, json, *parsed);
  } else if (parsed->pull == 1) {
    HandlePull(from, json);
  } else {
    HandlePush(from, json, parsed->kind, sender, arrivalTick);
  }
}

void CQuorvexApp::HandleTxAck(const SocketAddress& from, const CJSonIFace2x& json, const RxParseResult& parsed) {
  if (!FromActiveGateway(m_LoRaGateMgr, json, from)) {
    CountIgnoredTxAck(from);
    return;
  }
  if (parsed.txOk != 0) return;
  m_Metrics.FailDownlink(DownlinkFailure::kGateway);
  LogTxFail(*this, from, "Tx Fail MSG = " + parsed.txError);
}

void CQuorvexApp::CountIgnoredTxAck(const SocketAddress& from) {
  ++m_IgnoredTxAcks;
  if (!m_IgnoredTxAckTrace.Allow(GetTickCount64())) return;
  TraceLine("TX_ACK ignored from %s: not the pull address of an active gateway (%" PRIu64 " ignored so far)\r\n",
            AddressText(from).c_str(), m_IgnoredTxAcks);
}

void CQuorvexApp::HandlePull(const SocketAddress& from, const CJSonIFace2x& json) {
  CGateway* gateway = m_LoRaGateMgr.SetGatewayUpdate(from, EuiText(json).c_str(), 1);
  if (gateway->m_IsNew) NotifyWindow(UM_GATEWAYS);
  std::lock_guard<std::recursive_mutex> lock(m_LoRaGateMgr.Mutex());
  if (gateway->ACTIVE) {
    SendAck(m_LoRaUdpServer, json.m_PullToken, kPullAck, gateway->m_PullAddr);
    gateway->m_Connected = 1;
    gateway->m_LastPullTick = GetTickCount64();
  }
}

void CQuorvexApp::HandlePush(const SocketAddress& from, const CJSonIFace2x& json, int32_t kind,
                             const std::string& sender, uint64_t arrivalTick) {
  CGateway* gateway = m_LoRaGateMgr.SetGatewayUpdate(from, EuiText(json).c_str(), 0);
  if (gateway->m_IsNew) NotifyWindow(UM_GATEWAYS);
  if (kind == 0) return;  // status reports are neither acknowledged nor used
  const PushGateway pushing = ReadPushGateway(m_LoRaGateMgr, *gateway);
  if (!MayPush(pushing, m_Metrics)) return;
  std::optional<ReceivedFrame> frame = DecodeFirstRxpk(json, sender);
  if (!frame) {
    m_Metrics.Refuse(Refusal::kBadPacket);
    return;
  }
  const uint8_t mtype = MTypeOf(frame->bytes[0]);
  if (!IsUplinkMType(mtype)) {
    m_Metrics.Refuse(Refusal::kNotUplink);
    // Not an uplink (a join accept heard by a gateway, say): no PUSH_ACK.
    TraceLine("%s, Rx Packet Dropped: MType %d is not an uplink\n", sender.c_str(), mtype);
    return;
  }
  // Its receive windows count from its arrival, however long it waited in
  // the socket and then for the frame thread (the arrival tick is rounded
  // up: an answer may leave up to a millisecond late, never early).
  PendingFrame pending{from,
                       gateway,
                       pushing.key,
                       mtype,
                       std::move(frame->bytes),
                       frame->meta,
                       arrivalTick,
                       m_UnixClockMs()};
  // Queued before the acknowledgement leaves: whoever has seen the
  // PUSH_ACK may wait for the frame to be handled (WaitForFramesHandled).
  HandOver(std::move(pending));
  SendAck(m_LoRaUdpServer, json.m_PushToken, kPushAck, pushing.pushAddr);
}

void CQuorvexApp::HandOver(PendingFrame frame) {
  if (!m_Frames.Push(std::move(frame))) CountDroppedFrame();
}

void CQuorvexApp::CountDroppedFrame() {
  const uint64_t dropped = ++m_Metrics.m_FramesDropped;
  if (!m_DroppedFrameTrace.Allow(GetTickCount64())) return;
  TraceLine("Rx Packet Dropped: %zu frames wait for the frame thread (%" PRIu64 " dropped so far)\r\n",
            CFramePipeline::kMaxWaiting, dropped);
}

void CQuorvexApp::HandleFrame(PendingFrame& frame) {
  // The writes of this frame join the frame thread's group commit, which
  // ends with the group of frames it took.
  m_LoRaDbMgr.BeginBatch();
  std::unique_ptr<CDevice> device = RouteFrame(frame);
  if (device) QueueAnswer(std::move(device), frame);
}

std::unique_ptr<CDevice> CQuorvexApp::RouteFrame(const PendingFrame& frame) {
  const int size = static_cast<int>(frame.bytes.size());
  if (frame.mtype == kMTypeJoinRequest)
    return ProcessJoinRequestAt(*this, frame.from, *frame.gateway, frame.bytes[0], frame.meta, frame.bytes.data(),
                                size, frame.rxTick);
  return ProcessDataUplinkAt(*this, frame.from, *frame.gateway, frame.bytes[0], frame.meta, frame.bytes.data(), size,
                             frame.rxTick);
}

void CQuorvexApp::QueueAnswer(std::unique_ptr<CDevice> device, const PendingFrame& frame) {
  const bool join = frame.mtype == kMTypeJoinRequest;
  // The device record is a copy read when the frame came in; the scheduler
  // may have stored a downlink counter since. So a frame that was not
  // accepted writes only its reception, an accepted join starts a new
  // session (the whole row), and an accepted data uplink writes only the
  // columns it changes.
  if (!device->m_Accepted) {
    m_LoRaDevMgr.UpdateReception(device.get());
    return;
  }
  auto save = [&] {
    if (join) {
      m_LoRaDevMgr.UpdateDevice(device.get());
    } else {
      m_LoRaDevMgr.UpdateUplinkState(device.get());
    }
  };
  // The device keeps its own copy of the application: the window may edit
  // or delete the list's record while the answer waits in the queue.
  auto application = std::make_shared<CApplication>();
  if (m_LoRaAppList.CopyApplication(device->APKEY, *application)) device->m_Application = std::move(application);
  device->GPKEY = frame.gatewayKey;
  device->m_Gateway = frame.gateway;
  device->m_RxInfo = frame.meta;
  device->m_RxUnixMs = frame.rxUnixMs;
  save();
  auto request = std::make_unique<JitRequest>();
  request->m_Delay = static_cast<int32_t>(join ? kJoinDelayMs : kUplinkDelayMs);
  request->m_Device = std::move(device);
  m_LoRaJitMgr.AddRequest(std::move(request));
}

}  // namespace quorvex
