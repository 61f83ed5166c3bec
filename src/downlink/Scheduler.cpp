// The transmit scheduler's work: every pass it hands data uplinks to the
// application-server forwarder 600 ms before their receive window, sends
// every request that is due (newest first) 200 ms before its window (join accepts after
// 5000 ms, class A replies after 1000 ms), and with an empty queue serves
// one class C request of the database at once on the application's RX2
// channel. Each transmission is a PULL_RESP with a compact "txpk" document
// to the pull address of the gateway that heard the device.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "downlink/FrameBuilder.h"
#include "downlink/JitManager.h"
#include "gateway/JSonIFace2x.h"
#include "persistence/Application.h"
#include "persistence/DLink.h"
#include "runtime/QuorvexApp.h"
#include "runtime/Trace.h"
#include "util/WinUtils.h"

namespace quorvex {

namespace {

constexpr uint8_t kPullRespHeader[4] = {2, 0, 0, 3};
constexpr int kTxPower = 20;

// Styled text with every space, line break and bracket removed: the compact
// form the gateways receive.
std::string Compact(const std::string& styled) {
  std::string text;
  text.reserve(styled.size());
  for (char c : styled)
    if (c != ' ' && c != '\r' && c != '\n' && c != '[' && c != ']') text += c;
  return text;
}

bool WriteTxpk(const Json::Value& txpk, std::string& text) {
  CJSonIFace2x json;
  json.ResetTx();
  json.m_TxKey = "txpk";
  json.m_TxDoc[json.m_TxKey] = txpk;
  std::copy(std::begin(kPullRespHeader), std::end(kPullRespHeader), json.m_TxHeader);
  std::string styled;
  if (!json.GetTxText(styled)) return false;
  text = Compact(styled);
  return true;
}

// Members common to every transmission.
Json::Value BaseTxpk(const std::string& data, int size) {
  Json::Value txpk(Json::objectValue);
  txpk["rfch"] = 0;
  txpk["powe"] = kTxPower;
  txpk["modu"] = "LORA";
  txpk["codr"] = "4/5";
  txpk["ipol"] = true;
  txpk["size"] = size;
  txpk["data"] = data;
  return txpk;
}

// Base64 of the device's frame, in place as the gateway wants it.
std::string EncodeFrame(CDevice& device) {
  const int length = device.m_TxLength;
  const int encoded = CWinUtils::EncodeBase64InPlace(device.m_TxFrame, length, sizeof device.m_TxFrame);
  if (encoded < 0) return {};
  return std::string(reinterpret_cast<const char*>(device.m_TxFrame), static_cast<size_t>(encoded));
}

// A request whose device was deleted while it waited: nothing of it is sent
// or written back.
bool DropDeleted(const CDevice& device) {
  TraceLine("JIT TX device %d deleted, request dropped\r\n", device.PKEY);
  return false;
}

}  // namespace

bool CJitManager::MakeClassATxpk(const CDevice& device, uint32_t delayMs, const std::string& data, int size,
                                 std::string& text) {
  Json::Value txpk = BaseTxpk(data, size);
  const int64_t tmst = CWinUtils::AddDelayToTmst(device.m_RxInfo.tmst, delayMs * 1000u);
  // The gateway's microsecond counter is 32 bits wide.
  txpk["tmst"] = static_cast<Json::UInt64>(static_cast<uint64_t>(tmst) & 0xFFFFFFFFull);
  txpk["freq"] = strtod(device.m_RxInfo.freq, nullptr);
  txpk["datr"] = device.m_RxInfo.datr;
  return WriteTxpk(txpk, text);
}

bool CJitManager::MakeClassCTxpk(const CApplication& application, const std::string& data, int size,
                                 std::string& text) {
  Json::Value txpk = BaseTxpk(data, size);
  txpk["imme"] = true;
  const double mhz = std::floor(static_cast<uint32_t>(application.RX2CHAN) / 1e6 * 10.0) / 10.0;
  txpk["freq"] = mhz;
  // Bandwidth indices beyond the three known ones are sent as 125 kHz, the
  // bandwidth every region's RX2 channel uses.
  const int bandwidth = application.RX2BW == 1 ? 250 : application.RX2BW == 2 ? 500 : 125;
  char datr[32];
  snprintf(datr, sizeof datr, "SF%dBW%d", 12 - application.RX2SF, bandwidth);
  txpk["datr"] = datr;
  return WriteTxpk(txpk, text);
}

bool CJitManager::ServePass(uint64_t now) {
  if (m_App == nullptr) return false;
  if (Count() == 0 && TryClassC()) return true;
  std::vector<std::unique_ptr<JitRequest>> due;
  {
    std::lock_guard<std::recursive_mutex> lock(m_Lock);
    PurgeStale();
    TakeDue(now, due);
  }
  // Sent without the queue's lock: the receive thread appends the next
  // uplinks meanwhile instead of waiting for the database and the socket.
  // Every frame of the pass is built and its state written first, in one
  // commit, and then they all leave: a commit per frame would cost more than
  // the frame, and no frame may leave before its downlink counter is on file.
  if (due.empty()) return false;
  std::vector<std::pair<JitRequest*, std::string>> ready;
  ready.reserve(due.size());
  m_App->m_LoRaDbMgr.BeginBatch();
  for (auto& request : due) {
    if (request->m_Epoch != m_Epoch.load()) continue;  // the queue was emptied meanwhile
    const CDevice& device = *request->m_Device;
    std::string txpk;
    bool built = false;
    if (device.m_UpMType == 0) {
      built = PrepareJoinAccept(*request, txpk);
    } else if (device.m_UpMType == 2 || device.m_UpMType == 4) {
      built = PrepareClassAReply(*request, txpk);
    }
    if (built) ready.emplace_back(request.get(), std::move(txpk));
  }
  m_App->m_LoRaDbMgr.CommitBatch();
  if (ready.empty()) return false;
  // The packet-log rows of the sent frames share one commit too.
  m_App->m_LoRaDbMgr.BeginBatch();
  for (auto& [request, txpk] : ready) {
    SendTxpk(*request->m_Device, txpk);
    NotifyTxSent(*request);
  }
  m_App->m_LoRaDbMgr.CommitBatch();
  return true;
}

void CJitManager::TakeDue(uint64_t now, std::vector<std::unique_ptr<JitRequest>>& due) {
  // Every request that is due goes out in this pass, the newest first. One
  // request per pass would serve at most 50 replies a second and let the rest
  // miss their receive windows; requests that become due in different passes
  // still leave in the order they became due.
  const int64_t tick = static_cast<int64_t>(now);
  // The receive thread waits for this lock to queue its next request, so a
  // pass with nothing to do leaves at once, and a pass that works reads only
  // the ticks kept in the requests, never the device records behind them.
  if (tick < m_NextEventTick) return;
  int64_t next = INT64_MAX;
  bool taken = false;
  for (size_t i = m_Requests.size(); i-- > 0;) {
    std::unique_ptr<JitRequest>& request = m_Requests[i];
    if (!request || !request->m_Device) {
      request.reset();
      taken = true;
      continue;
    }
    if (request->m_Forwarded == 0 && request->m_ForwardTick != INT64_MAX) {
      if (tick >= request->m_ForwardTick) {
        request->m_Forwarded = 1;
        m_App->m_LoRaHttpMgr.ForwardUplink(*request->m_Device);
      } else {
        next = std::min(next, request->m_ForwardTick);
      }
    }
    if (tick < request->m_DueTick) {
      next = std::min(next, request->m_DueTick);
      continue;
    }
    due.push_back(std::move(request));
    taken = true;
  }
  m_NextEventTick = next;
  // One pass over the queue for all the requests taken out of it.
  if (taken) std::erase_if(m_Requests, [](const std::unique_ptr<JitRequest>& r) { return !r; });
}

// The operator may delete a device while its request waits in the queue.
// Both preparations hold the database lock from the look at the device's row
// (its key with its EUI, since a deleted device's key goes to the next new
// device) to the write of the state the frame carries, so a deletion comes either
// before (the request is dropped) or after (the frame leaves as written).
// Nothing else is locked meanwhile: the database lock is the innermost one.

bool CJitManager::PrepareJoinAccept(JitRequest& request, std::string& txpk) {
  CDevice& device = *request.m_Device;
  CDeviceManager& devices = m_App->m_LoRaDevMgr;
  {
    std::lock_guard<std::recursive_mutex> lock(m_App->m_LoRaDbMgr.Mutex());
    if (devices.FindDeviceRow(device) == CDeviceManager::kNoRow) return DropDeleted(device);
    device.m_DownMType = 1;
    // The stored keys must be those of the accept that goes out.
    devices.UpdateDevice(&device);
  }
  return PrepareRx1(request, txpk);
}

bool CJitManager::PrepareClassAReply(JitRequest& request, std::string& txpk) {
  CDevice& device = *request.m_Device;
  CDeviceManager& devices = m_App->m_LoRaDevMgr;
  {
    std::lock_guard<std::recursive_mutex> lock(m_App->m_LoRaDbMgr.Mutex());
    // The copy was taken at the uplink; a reply sent since may have moved the
    // downlink counter and the ADR state on.
    if (devices.FindDeviceRow(device) == CDeviceManager::kNoRow ||
        devices.RefreshDownlinkState(&device) == CDeviceManager::kNoRow)
      return DropDeleted(device);
    CApplication application;
    if (!m_App->m_LoRaAppList.CopyApplication(device.APKEY, application)) return false;
    if (!BuildReplyFrame(*m_App, device, application)) return false;
    devices.UpdateDownlinkState(&device);
  }
  return PrepareRx1(request, txpk);
}

bool CJitManager::PrepareRx1(JitRequest& request, std::string& txpk) {
  CDevice& device = *request.m_Device;
  const int size = device.m_TxLength;
  const std::string data = EncodeFrame(device);
  if (data.empty() || !MakeClassATxpk(device, static_cast<uint32_t>(request.m_Delay), data, size, txpk)) {
    TraceLine("JIT TX ErrorGetTxMsg -------\r\n");
    return false;
  }
  return true;
}

bool CJitManager::TryClassC() {
  DLinkRecords next;
  if (m_App->m_LoRaDlinkList.GetNextRx2Downlink(&next) != 0 || next.empty()) return false;
  CDLink& downlink = *next.front();

  std::unique_ptr<CDevice> device = m_App->m_LoRaDevMgr.GetDeviceByPkey(downlink.DEVPKEY);
  if (!device || device->JOINED == 0 || device->GPKEY == 0) return false;

  CGateway* gateway = nullptr;
  {
    std::lock_guard<std::recursive_mutex> lock(m_App->m_LoRaGateMgr.Mutex());
    for (auto& record : m_App->m_LoRaGateMgr.m_Gateways) {
      if (record->PKEY == device->GPKEY) {
        gateway = record.get();
        break;
      }
    }
    // Only a gateway that is pulling in this run can carry the downlink.
    if (gateway == nullptr || !gateway->m_Connected || !gateway->m_PullSeen) return false;
  }
  CApplication application;
  if (!m_App->m_LoRaAppList.CopyApplication(device->APKEY, application)) return false;

  BuildClassCFrame(*device, downlink);
  m_App->m_LoRaDlinkList.MarkDownlinkSent(&downlink);
  m_App->m_LoRaDevMgr.UpdateDownlinkState(device.get());
  const int size = device->m_TxLength;
  const std::string data = EncodeFrame(*device);
  std::string txpk;
  if (data.empty() || !MakeClassCTxpk(application, data, size, txpk)) {
    TraceLine("JIT TX ErrorGetTxMsg -------\r\n");
    return false;
  }
  device->m_Gateway = gateway;
  device->m_Application = std::make_shared<CApplication>(application);
  // The frame carries the downlink counter just written: it must be on file
  // before the frame leaves, so that no restart can send the counter again.
  m_App->m_LoRaDbMgr.CommitBatch();
  SendTxpk(*device, txpk);
  JitRequest sent;
  sent.m_Device = std::move(device);
  sent.m_Forwarded = 1;
  NotifyTxSent(sent);
  return true;
}

void CJitManager::SendTxpk(const CDevice& device, const std::string& txpk) {
  SocketAddress pullAddr{};
  if (device.m_Gateway != nullptr) {
    std::lock_guard<std::recursive_mutex> lock(m_App->m_LoRaGateMgr.Mutex());
    pullAddr = device.m_Gateway->m_PullAddr;
  }
  TraceLine("==================================================\r\n");
  TraceLine("TX Packet Seq : %lld\r\n", static_cast<long long>(device.TXSEQ));
  TraceLine("%s\r\nAddr=%s\r\n", WithoutFrameData(txpk).c_str(), AddressText(pullAddr).c_str());
  m_App->m_LoRaUdpServer.SendTo(kPullRespHeader, sizeof kPullRespHeader,
                                reinterpret_cast<const uint8_t*>(txpk.data()), static_cast<int>(txpk.size()),
                                pullAddr);
}

}  // namespace quorvex
