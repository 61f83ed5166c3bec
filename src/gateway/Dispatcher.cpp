// The datagram dispatcher: runs on the UDP receive thread, inside the
// socket's callback lock, once for every datagram a gateway sends. It parses
// the packet-forwarder header and JSON, finds or registers the gateway,
// acknowledges as the protocol rules say, decodes the first radio packet and
// hands join requests and data uplinks to the LoRaWAN layer, then queues the
// answer for the transmit scheduler.
#include <cinttypes>
#include <cstdio>
#include <vector>

#include "gateway/JSonIFace2x.h"
#include "lorawan/JoinProcedure.h"
#include "lorawan/LogBuilder.h"
#include "lorawan/UplinkProcedure.h"
#include "persistence/Application.h"
#include "platform/Tick.h"
#include "runtime/QuorvexApp.h"
#include "runtime/Trace.h"
#include "util/Base64.h"

namespace quorvex {

namespace {

constexpr uint8_t kProtocolVersion = 2;
constexpr uint8_t kPushAck = 1;
constexpr uint8_t kPullAck = 4;
constexpr uint32_t kJoinDelayMs = 5000;
constexpr uint32_t kUplinkDelayMs = 1000;

void SendAck(CUdpServer& server, const uint8_t token[2], uint8_t identifier, const SocketAddress& to) {
  const uint8_t ack[4] = {kProtocolVersion, token[0], token[1], identifier};
  server.SendTo(ack, sizeof ack, nullptr, 0, to);
}

}  // namespace

void CQuorvexApp::OnGatewayDatagram(const SocketAddress& from, uint8_t* data, uint32_t length) {
  CJSonIFace2x json;
  const std::string sender = AddressText(from);
  const std::optional<RxParseResult> parsed = json.SetUdpRxParse(sender, data, length);
  if (!parsed) return;

  if (parsed->kind == 2) {  // TX_ACK
    if (parsed->txOk == 0) LogTxFail(*this, from, "Tx Fail MSG = " + parsed->txError);
    return;
  }

  char euiText[17];
  snprintf(euiText, sizeof euiText, "%016" PRIX64, json.m_GatewayEui);

  if (parsed->pull == 1) {  // PULL_DATA
    CGateway* gateway = m_LoRaGateMgr.SetGatewayUpdate(from, euiText, 1);
    if (gateway->m_IsNew) NotifyWindow(UM_GATEWAYS);
    std::lock_guard<std::recursive_mutex> lock(m_LoRaGateMgr.Mutex());
    if (gateway->ACTIVE) {
      SendAck(m_LoRaUdpServer, json.m_PullToken, kPullAck, gateway->m_PullAddr);
      gateway->m_Connected = 1;
      gateway->m_LastPullTick = GetTickCount64();
    }
    return;
  }

  // PUSH_DATA
  CGateway* gateway = m_LoRaGateMgr.SetGatewayUpdate(from, euiText, 0);
  if (gateway->m_IsNew) NotifyWindow(UM_GATEWAYS);
  if (parsed->kind == 0) return;  // status reports are neither acknowledged nor used
  int32_t active = 0, pullSeen = 0, gatewayKey = 0;
  SocketAddress pushAddr{};
  {
    // The window may edit the record (activation) at any time.
    std::lock_guard<std::recursive_mutex> lock(m_LoRaGateMgr.Mutex());
    active = gateway->ACTIVE;
    pullSeen = gateway->m_PullSeen;
    gatewayKey = gateway->PKEY;
    pushAddr = gateway->m_PushAddr;
  }
  if (!active) {
    TraceLine("SetGatewayUpdate Null Error\n");
    return;
  }
  if (!pullSeen) {
    TraceLine("m_LoRaGateMgr Not Received PullData\n");
    return;
  }
  const Json::Value& rxpk = json.GetRxValue();
  if (!rxpk.isArray() || rxpk.empty()) {
    TraceLine("%s, Rx Packet Dropped: rxpk is empty or not an array\n", sender.c_str());
    return;
  }

  std::string field;
  if (CJSonIFace2x::GetRxField(rxpk, "size", field) != 1 || field.empty() ||
      CJSonIFace2x::TextToInt(field) == 0) {
    TraceLine("JSon2x.GetRxField empty !, frame size zero\n");
    return;
  }
  const int size = CJSonIFace2x::TextToInt(field);
  if (CJSonIFace2x::GetRxField(rxpk, "data", field) != 1 || field.empty()) {
    TraceLine("JSon2x.GetRxField no include data..root=%s\n", json.m_RootName.c_str());
    return;
  }
  CBase64 base64;
  if (!base64.SetData(field) || !base64.Decode() || static_cast<int>(base64.GetOutputLength()) != size) {
    TraceLine("Utils.SetBase64Decode size err\n");
    return;
  }
  const std::vector<uint8_t> frame(base64.GetOutput(), base64.GetOutput() + base64.GetOutputLength());

  RadioMetadata meta;
  json.GetRadioMetadata(meta);
  if (meta.freq[0] == 0 || meta.rssi[0] == 0) {
    TraceLine("%s, Rx Packet Dropped: no freq or rssi\n", sender.c_str());
    return;
  }

  // The writes of this uplink join the receive thread's group commit, which
  // ends with the burst of datagrams.
  m_LoRaDbMgr.BeginBatch();
  const uint8_t mhdr = frame[0];
  const int mtype = mhdr >> 5;
  std::unique_ptr<CDevice> device;
  uint32_t delay = 0;
  if (mtype == 0) {
    device = ProcessJoinRequest(*this, from, *gateway, mhdr, meta, frame.data(), size);
    delay = kJoinDelayMs;
  } else if (mtype == 2 || mtype == 4) {
    device = ProcessDataUplink(*this, from, *gateway, mhdr, meta, frame.data(), size);
    delay = kUplinkDelayMs;
  } else {
    // Not an uplink (a join accept heard by a gateway, say): no PUSH_ACK.
    TraceLine("%s, Rx Packet Dropped: MType %d is not an uplink\n", sender.c_str(), mtype);
    return;
  }

  SendAck(m_LoRaUdpServer, json.m_PushToken, kPushAck, pushAddr);
  if (!device) return;
  // A join starts a new session: the whole row is written. A data uplink
  // writes only the columns it changes, so that a reply the scheduler is
  // sending meanwhile keeps its downlink counter.
  auto save = [&] {
    if (mtype == 0) {
      m_LoRaDevMgr.UpdateDevice(device.get());
    } else {
      m_LoRaDevMgr.UpdateUplinkState(device.get());
    }
  };
  if (!device->m_Accepted) {
    save();
    return;
  }

  // The device keeps its own copy of the application: the window may edit
  // or delete the list's record while the answer waits in the queue.
  auto application = std::make_shared<CApplication>();
  if (m_LoRaAppList.CopyApplication(device->APKEY, *application)) device->m_Application = std::move(application);
  device->GPKEY = gatewayKey;
  device->m_Gateway = gateway;
  device->m_RxInfo = meta;
  save();
  auto request = std::make_unique<JitRequest>();
  request->m_Delay = static_cast<int32_t>(delay);
  request->m_Device = std::move(device);
  m_LoRaJitMgr.AddRequest(std::move(request));
}

}  // namespace quorvex
