// The transmit scheduler's work: every pass it hands data uplinks to the
// application-server forwarder 600 ms before their receive window, sends
// every request that is due (newest first) 200 ms before its window (join
// accepts after 5000 ms, class A replies after 1000 ms), and when no reply is
// due before the next pass serves one class C request of the database at
// once on the application's RX2 channel. Each transmission is a PULL_RESP
// with a compact "txpk" document to the pull address of the gateway that
// heard the device.
#include <sqlite3.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "downlink/FrameBuilder.h"
#include "downlink/JitManager.h"
#include "gateway/JSonIFace2x.h"
#include "lorawan/LogBuilder.h"
#include "lorawan/LoRaFrame.h"
#include "persistence/Application.h"
#include "persistence/DLink.h"
#include "persistence/DLinkList.h"
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
CJitManager::Prepared DropDeleted(const CDevice& device) {
  TraceLine("JIT TX device %d deleted, request dropped\r\n", device.PKEY);
  return CJitManager::Prepared::kNothing;
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
  // In MHz with as many decimals as the stored Hz need: the document's
  // numbers carry ten significant digits, exact for every 1 Hz step below
  // 10 GHz (869525000 goes out as 869.525).
  txpk["freq"] = static_cast<uint32_t>(application.RX2CHAN) / 1e6;
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
  std::vector<std::unique_ptr<JitRequest>> due;
  bool replyDueSoon = false;
  {
    std::lock_guard<std::recursive_mutex> lock(m_Lock);
    PurgeStale();
    TakeDue(now, due);
    replyDueSoon = !m_Requests.empty() && m_NextDueTick <= static_cast<int64_t>(now) + kPollMs;
  }
  const bool sent = SendDue(due, now);
  // A class C frame goes out at once: it waits while a reply is due before
  // the next pass, since that reply has a receive window to meet.
  if (replyDueSoon) return sent;
  return ServeClassC() || sent;
}

bool CJitManager::SendDue(std::vector<std::unique_ptr<JitRequest>>& due, uint64_t now) {
  // Sent without the queue's lock: the receive thread appends the next
  // uplinks meanwhile instead of waiting for the database and the socket.
  // Every frame of the pass is built and its state written first, in one
  // commit, and then they all leave: a commit per frame would cost more than
  // the frame, and no frame may leave before its downlink counter is on file.
  if (due.empty()) return false;
  ReadyFrames ready;
  Unsent unsent;
  BuildAndStore(due, now, ready, unsent);
  for (const CDevice* device : unsent.notStored) ReportUnsent(*device);
  for (const CDevice* device : unsent.late) ReportLate(*device);
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

void CJitManager::BuildAndStore(std::vector<std::unique_ptr<JitRequest>>& due, uint64_t now, ReadyFrames& ready,
                                Unsent& unsent) {
  // `now` is the pass's clock; the database may make the pass wait.
  const uint64_t started = GetTickCount64();
  // Held to the commit, so that the batch and its outcome are this pass's
  // own: no other thread commits or rolls it back in between.
  std::lock_guard<std::recursive_mutex> lock(m_App->m_LoRaDbMgr.Mutex());
  // Without a batch a frame could leave some of its writes on file and not others.
  const bool batch = m_App->m_LoRaDbMgr.BeginBatch();
  for (auto& request : due) {
    if (request->m_Epoch != m_Epoch.load()) continue;  // the queue was emptied meanwhile
    std::string txpk;
    const uint64_t at = now + (GetTickCount64() - started);
    switch (batch ? PrepareWhole(*request, at, txpk) : Prepared::kNotStored) {
      case Prepared::kReady: ready.emplace_back(request.get(), std::move(txpk)); break;
      case Prepared::kNotStored: unsent.notStored.push_back(request->m_Device.get()); break;
      case Prepared::kLate: unsent.late.push_back(request->m_Device.get()); break;
      case Prepared::kNothing: break;
    }
  }
  if (m_App->m_LoRaDbMgr.CommitBatch()) return;
  for (auto& [request, txpk] : ready) unsent.notStored.push_back(request->m_Device.get());
  ready.clear();
}

CJitManager::Prepared CJitManager::PrepareWhole(JitRequest& request, uint64_t now, std::string& txpk) {
  CDbManager::Savepoint savepoint(m_App->m_LoRaDbMgr);
  if (!savepoint.Open()) return Prepared::kNotStored;
  const Prepared prepared = Prepare(request, txpk);
  // A frame that cannot make its window keeps nothing: no counter used, no
  // queued downlink marked sent. A reply-less uplink keeps what it changed.
  if (prepared == Prepared::kReady && TooLate(request, now)) return Prepared::kLate;
  if (prepared != Prepared::kNotStored) savepoint.Keep();
  return prepared;
}

bool CJitManager::TooLate(const JitRequest& request, uint64_t now) {
  const int64_t window = request.m_DueTick + kSendLeadMs;
  return static_cast<int64_t>(now) > window - static_cast<int64_t>(kMinSendLeadMs);
}

void CJitManager::ReportLate(const CDevice& device) {
  m_App->m_Metrics.FailDownlink(DownlinkFailure::kServer);
  TraceLine("JIT TX device %d frame not sent: too late for its receive window\r\n", device.PKEY);
  LogTxFail(*m_App, PullAddress(device), device, "Not sent: receive window missed");
}

CJitManager::Prepared CJitManager::Prepare(JitRequest& request, std::string& txpk) {
  const int32_t upMType = request.m_Device->m_UpMType;
  if (upMType == kMTypeJoinRequest) return PrepareJoinAccept(request, txpk);
  if (upMType == kMTypeUnconfirmedUp || upMType == kMTypeConfirmedUp) return PrepareClassAReply(request, txpk);
  return Prepared::kNothing;
}

void CJitManager::ReportUnsent(const CDevice& device) {
  m_App->m_Metrics.FailDownlink(DownlinkFailure::kServer);
  TraceLine("JIT TX device %d frame not sent: its downlink state could not be stored\r\n", device.PKEY);
  LogTxFail(*m_App, PullAddress(device), device, "Not sent: downlink state not stored");
}

void CJitManager::TakeDue(uint64_t now, std::vector<std::unique_ptr<JitRequest>>& due) {
  // Every request that is due goes out in this pass, the newest first. One
  // request per pass would serve at most 50 replies a second and let the rest
  // miss their receive windows; requests that become due in different passes
  // still leave in the order they became due.
  const int64_t tick = static_cast<int64_t>(now);
  // The frame thread waits for this lock to queue its next request, so a
  // pass with nothing to do leaves at once, and a pass that works reads only
  // the ticks kept in the requests, never the device records behind them.
  if (tick < m_NextEventTick) return;
  int64_t next = INT64_MAX;
  int64_t nextDue = INT64_MAX;
  bool taken = false;
  // Gathered newest first with the rest, handed over oldest first: a
  // device's uplinks reach its application server in the order they came.
  std::vector<const CDevice*> forwards;
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
        forwards.push_back(request->m_Device.get());
      } else {
        next = std::min(next, request->m_ForwardTick);
      }
    }
    if (tick < request->m_DueTick) {
      next = std::min(next, request->m_DueTick);
      nextDue = std::min(nextDue, request->m_DueTick);
      continue;
    }
    due.push_back(std::move(request));
    taken = true;
  }
  for (auto device = forwards.rbegin(); device != forwards.rend(); ++device)
    m_App->m_LoRaHttpMgr.ForwardUplink(**device);
  m_NextEventTick = next;
  m_NextDueTick = nextDue;
  // One pass over the queue for all the requests taken out of it.
  if (taken) std::erase_if(m_Requests, [](const std::unique_ptr<JitRequest>& r) { return !r; });
}

// The operator may delete a device while its request waits in the queue.
// Both preparations hold the database lock from the look at the device's row
// (its key with its EUI, since a deleted device's key goes to the next new
// device) to the write of the state the frame carries, so a deletion comes either
// before (the request is dropped) or after (the frame leaves as written).
// Nothing else is locked meanwhile: the database lock is the innermost one.

CJitManager::Prepared CJitManager::PrepareJoinAccept(JitRequest& request, std::string& txpk) {
  CDevice& device = *request.m_Device;
  CDeviceManager& devices = m_App->m_LoRaDevMgr;
  {
    std::lock_guard<std::recursive_mutex> lock(m_App->m_LoRaDbMgr.Mutex());
    if (devices.FindDeviceRow(device) == CDeviceManager::kNoRow) return DropDeleted(device);
    device.m_DownMType = kMTypeJoinAccept;
    // The stored keys must be those of the accept that goes out.
    if (devices.UpdateDevice(&device) != 0) return Prepared::kNotStored;
  }
  return PrepareRx1(request, txpk);
}

CJitManager::Prepared CJitManager::PrepareClassAReply(JitRequest& request, std::string& txpk) {
  CDevice& device = *request.m_Device;
  CDeviceManager& devices = m_App->m_LoRaDevMgr;
  {
    std::lock_guard<std::recursive_mutex> lock(m_App->m_LoRaDbMgr.Mutex());
    // The copy was taken at the uplink; a reply sent since may have moved the
    // downlink counter and the ADR state on.
    if (devices.FindDeviceRow(device) == CDeviceManager::kNoRow) return DropDeleted(device);
    const int refreshed = devices.RefreshDownlinkState(&device);
    if (refreshed == CDeviceManager::kNoRow) return DropDeleted(device);
    if (refreshed != 0) return Prepared::kNotStored;  // the counter on file is unknown
    CApplication application;
    if (!m_App->m_LoRaAppList.CopyApplication(device.APKEY, application)) return Prepared::kNothing;
    const CDeviceRow stored = device;
    bool requestMarked = true;
    const bool reply = BuildReplyFrame(*m_App, device, application, &requestMarked);
    if (!requestMarked) return Prepared::kNotStored;
    // The device's answers and a cleared ADR flag are kept even when no
    // reply follows.
    const bool changed = reply || !CDeviceManager::SameDownlinkState(stored, device);
    if (changed && devices.UpdateDownlinkState(&device) != 0) return reply ? Prepared::kNotStored : Prepared::kNothing;
    if (!reply) return Prepared::kNothing;
  }
  return PrepareRx1(request, txpk);
}

CJitManager::Prepared CJitManager::PrepareRx1(JitRequest& request, std::string& txpk) {
  CDevice& device = *request.m_Device;
  const int size = device.m_TxLength;
  const std::string data = EncodeFrame(device);
  if (data.empty() || !MakeClassATxpk(device, static_cast<uint32_t>(request.m_Delay), data, size, txpk)) {
    m_App->m_Metrics.FailDownlink(DownlinkFailure::kServer);
    TraceLine("JIT TX ErrorGetTxMsg -------\r\n");
    return Prepared::kNothing;
  }
  return Prepared::kReady;
}

bool CJitManager::ServeClassC() {
  CDLinkList& queue = m_App->m_LoRaDlinkList;
  bool restarted = false;
  for (int lookups = 0; lookups < kClassCLookupsPerPass; ++lookups) {
    DLinkRecords next;
    if (queue.GetNextRx2Downlink(&next, m_ClassCAfter) != 0) return false;
    if (next.empty()) {
      // Nothing pending at all, or every request waits: the next pass looks again.
      if (m_ClassCAfter == 0 || restarted) return false;
      RestartClassCSweep();
      restarted = true;
      continue;
    }
    CDLink& request = *next.front();
    m_ClassCAfter = request.PKEY;
    switch (TryClassC(request)) {
      case ClassCOutcome::kSent:
        return true;
      case ClassCOutcome::kWaiting:
        m_ClassCWaiting.insert(request.DEVPKEY);
        break;
      case ClassCOutcome::kFailed:
        break;
      case ClassCOutcome::kStopped:
        return false;
    }
  }
  return false;
}

void CJitManager::RestartClassCSweep() {
  m_ClassCAfter = 0;
  m_ClassCWaiting.clear();
}

CJitManager::ClassCOutcome CJitManager::FailClassC(CDLink& request, const char* reason) {
  TraceLine("JIT TX class C request %d for device %d failed: %s\r\n", request.PKEY, request.DEVPKEY, reason);
  m_App->m_Metrics.FailDownlink(DownlinkFailure::kServer);
  // A request that cannot be marked would be tried again and again.
  if (m_App->m_LoRaDlinkList.MarkDownlinkFailed(&request, reason) != 0) return ClassCOutcome::kStopped;
  return ClassCOutcome::kFailed;
}

CJitManager::ClassCOutcome CJitManager::TryClassC(CDLink& request) {
  // Later requests of a device that waits for its gateway wait too: a
  // device's frames leave in the order they were queued.
  if (m_ClassCWaiting.contains(request.DEVPKEY)) return ClassCOutcome::kWaiting;
  std::unique_ptr<CDevice> device;
  {
    std::lock_guard<std::recursive_mutex> lock(m_App->m_LoRaDbMgr.Mutex());
    device = m_App->m_LoRaDevMgr.GetDeviceByPkey(request.DEVPKEY);
    if (!device && m_App->m_LoRaDevMgr.m_Result != SQLITE_OK) return ClassCOutcome::kStopped;
  }
  if (!device) return FailClassC(request, "no device");
  if (device->JOINED == 0) return FailClassC(request, "not joined");
  if (device->GPKEY == 0) return FailClassC(request, "no gateway");
  const GatewayState gateway = DeviceGateway(*device);
  if (gateway == GatewayState::kUnknown) return FailClassC(request, "no gateway");
  if (gateway == GatewayState::kNotPulling) return ClassCOutcome::kWaiting;
  CApplication application;
  if (!m_App->m_LoRaAppList.CopyApplication(device->APKEY, application)) return FailClassC(request, "no application");
  return SendClassC(request, std::move(device), application) ? ClassCOutcome::kSent : ClassCOutcome::kStopped;
}

CJitManager::GatewayState CJitManager::DeviceGateway(CDevice& device) {
  std::lock_guard<std::recursive_mutex> lock(m_App->m_LoRaGateMgr.Mutex());
  for (auto& record : m_App->m_LoRaGateMgr.m_Gateways) {
    if (record->PKEY != device.GPKEY) continue;
    // Only a gateway that is pulling in this run can carry the downlink.
    if (!record->m_Connected || !record->m_PullSeen) return GatewayState::kNotPulling;
    device.m_Gateway = record.get();
    return GatewayState::kPulling;
  }
  return GatewayState::kUnknown;
}

bool CJitManager::SendClassC(CDLink& request, std::unique_ptr<CDevice> device, const CApplication& application) {
  BuildClassCFrame(*device, request);
  const int size = device->m_TxLength;
  const std::string data = EncodeFrame(*device);
  std::string txpk;
  if (data.empty() || !MakeClassCTxpk(application, data, size, txpk)) {
    m_App->m_Metrics.FailDownlink(DownlinkFailure::kServer);
    TraceLine("JIT TX ErrorGetTxMsg -------\r\n");
    return false;
  }
  if (!StoreClassC(request, *device)) {
    ReportUnsent(*device);
    return false;
  }
  device->m_Application = std::make_shared<CApplication>(application);
  SendTxpk(*device, txpk);
  JitRequest sent;
  sent.m_Device = std::move(device);
  sent.m_Forwarded = 1;
  NotifyTxSent(sent);
  return true;
}

bool CJitManager::StoreClassC(CDLink& request, const CDevice& device) {
  CDbManager& db = m_App->m_LoRaDbMgr;
  std::lock_guard<std::recursive_mutex> lock(db.Mutex());
  // The frame carries the downlink counter: it and the request's mark must
  // be on file before the frame leaves, so that no restart sends the
  // counter again. The counter goes first: one stored without its frame is
  // only skipped, a request marked without its frame would be lost.
  if (!db.BeginBatch()) return false;
  const bool written = m_App->m_LoRaDevMgr.UpdateDownlinkState(&device) == 0 &&
                       m_App->m_LoRaDlinkList.MarkDownlinkSent(&request) == 0;
  return db.CommitBatch() && written;
}

SocketAddress CJitManager::PullAddress(const CDevice& device) {
  if (device.m_Gateway == nullptr) return SocketAddress{};
  std::lock_guard<std::recursive_mutex> lock(m_App->m_LoRaGateMgr.Mutex());
  return device.m_Gateway->m_PullAddr;
}

void CJitManager::SendTxpk(const CDevice& device, const std::string& txpk) {
  const SocketAddress pullAddr = PullAddress(device);
  TraceLine("==================================================\r\n");
  TraceLine("TX Packet Seq : %lld\r\n", static_cast<long long>(device.TXSEQ));
  TraceLine("%s\r\nAddr=%s\r\n", WithoutFrameData(txpk).c_str(), AddressText(pullAddr).c_str());
  ++m_App->m_Metrics.m_DownlinksSent;
  m_App->m_LoRaUdpServer.SendTo(kPullRespHeader, sizeof kPullRespHeader,
                                reinterpret_cast<const uint8_t*>(txpk.data()), static_cast<int>(txpk.size()),
                                pullAddr);
}

}  // namespace quorvex
