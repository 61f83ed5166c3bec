#include "lorawan/JoinProcedure.h"

#include <cstring>
#include <ctime>
#include <mutex>
#include <random>
#include <string>

#include "gateway/Gateway.h"
#include "lorawan/DebugText.h"
#include "lorawan/FrameCounter.h"
#include "lorawan/LoRaCrypto.h"
#include "lorawan/LoRaFrame.h"
#include "lorawan/LogBuilder.h"
#include "persistence/Application.h"
#include "persistence/Device.h"
#include "platform/Tick.h"
#include "runtime/QuorvexApp.h"
#include "runtime/Trace.h"
#include "util/Saturate.h"
#include "util/WinUtils.h"

namespace quorvex {

namespace {

constexpr uint8_t kJoinAcceptMhdr = 0x20;  // MType 1, Major 0
constexpr int kJoinAcceptLength = 17;      // no CFList
constexpr int32_t kActivationAbp = 1;

void PutLe32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

void TraceBanner() {
  const std::string rule(66, '=');
  TraceLine("\n");
  TraceLine("%s\n", rule.c_str());
  TraceLine("SetJoin\n");
  TraceLine("%s\n", rule.c_str());
}

// A 24-bit AppNonce. The generator is seeded once per process, on first use.
uint32_t NextAppNonce() {
  static std::mutex lock;
  static std::mt19937 generator = [] {
    std::random_device entropy;
    std::seed_seq seed{entropy(), entropy(), static_cast<unsigned>(std::time(nullptr))};
    return std::mt19937(seed);
  }();
  std::lock_guard<std::mutex> guard(lock);
  return generator() % 0xFFFFFFu;
}

int32_t GatewayKey(CQuorvexApp& app, const CGateway& gateway) {
  // The window may edit the gateway record at any time.
  std::lock_guard<std::recursive_mutex> lock(app.m_LoRaGateMgr.Mutex());
  return gateway.PKEY;
}

void ResetFrameState(CDevice& device, uint64_t now) {
  device.m_Accepted = 0;
  device.RXTICK = static_cast<int64_t>(now);
  device.NBGATE = 0;
  device.m_FrameLength = 0;
  device.m_MacAnswerLength = 0;
}

void ClearAnswerBuffers(CDevice& device) {
  std::memset(device.m_MacAnswers, 0, sizeof device.m_MacAnswers);
  device.m_MacAnswerLength = 0;
  device.m_MacPending = 0;
  std::memset(device.m_Frame, 0, sizeof device.m_Frame);
  device.m_FrameLength = 0;
  std::memset(device.m_TxFrame, 0, sizeof device.m_TxFrame);
  device.m_TxLength = 0;
  device.m_DownMType = 0;
}

// AppNonce then NetID, three bytes each, least significant byte first: the
// order in which they stand in the join accept and enter the key derivation.
void MakeAppNonceNetId(uint32_t appNonce, uint32_t networkId, uint8_t (&out)[6]) {
  for (int i = 0; i < 3; ++i) {
    out[i] = static_cast<uint8_t>(appNonce >> (8 * i));
    out[3 + i] = static_cast<uint8_t>(networkId >> (8 * i));
  }
}

// DLSettings: RX1DROffset 0 (bits 4-6) and the RX2 datarate (bits 0-3). A
// class C device listens on RX2 all the time, so it must use the datarate
// its application's class C frames go out at: its RX2SF index is that
// datarate where DR0 is SF12 (EU-like plans). A class A device keeps DR0,
// as does an index out of range.
uint8_t DlSettings(const CApplication& application) {
  const bool classC = application.CLASS == CApplication::kClassC;
  const bool known = application.RX2SF >= 0 && application.RX2SF <= CApplication::kRx2SfFastest;
  return classC && known ? static_cast<uint8_t>(application.RX2SF) : 0;
}

// The join accept in clear (m_Frame) and as sent (m_TxFrame: the MHDR in
// clear, the rest transformed under the AppKey).
void BuildJoinAccept(CDevice& device, const uint8_t (&appNonceNetId)[6], uint8_t dlSettings) {
  uint8_t* plain = device.m_Frame;
  plain[0] = kJoinAcceptMhdr;
  std::memcpy(plain + 1, appNonceNetId, sizeof appNonceNetId);
  PutLe32(plain + 7, device.DEVADDR);
  plain[11] = dlSettings;
  plain[12] = 0x00;  // RxDelay
  PutLe32(plain + 13, ComputeJoinMic(plain, 13, device.APPKEY));
  device.m_FrameLength = kJoinAcceptLength;

  device.m_TxFrame[0] = plain[0];
  EncryptJoinAccept(plain + 1, kJoinAcceptLength - 1, device.APPKEY, device.m_TxFrame + 1);
  device.m_TxLength = kJoinAcceptLength;
}

// Fresh session for the device: new keys, counters at "none yet", empty
// answer buffers and the join accept that carries the AppNonce.
void StartSession(CDevice& device, const CApplication& application, uint32_t appNonce) {
  uint8_t appNonceNetId[6];
  MakeAppNonceNetId(appNonce, device.NETWORKID, appNonceNetId);
  DeriveSessionKeys(device.APPKEY, appNonceNetId, device.m_DevNonce, device.NETSKEY, device.APPSKEY);
  device.TXSEQ = kNoCounterYet;
  device.RXSEQ = kNoCounterYet;
  ClearAnswerBuffers(device);
  BuildJoinAccept(device, appNonceNetId, DlSettings(application));
}

// What becomes of a join request next to the queue.
enum class JoinChoice {
  kAnswer,     // a new session is started and answered
  kDuplicate,  // a copy of the queued request that is not answered
  kReplay,     // its DevNonce was used before: refused
};

// A copy of the queued request: a join request with the same DevNonce,
// heard within the window.
bool IsCopyOf(const CDevice* queued, const CDevice& device, uint64_t now) {
  return queued != nullptr && queued->m_UpMType == kMTypeJoinRequest && queued->m_DevNonce == device.m_DevNonce &&
         static_cast<int64_t>(now) - queued->RXTICK <= kJoinDuplicateWindowMs;
}

// Between this join request and one of the same device already waiting in
// the scheduler's queue: which one is answered.
JoinChoice ChooseBetween(CJitManager& jit, const CGateway& gateway, const RadioMetadata& meta, CDevice& device,
                         const CDevice* queued, uint64_t now) {
  if (queued == nullptr) {
    device.NBGATE = SaturatingAdd(device.NBGATE, 1);
    return JoinChoice::kAnswer;
  }
  if (static_cast<int64_t>(now) - queued->RXTICK > kJoinDuplicateWindowMs) {
    TraceLine("Remove Pre Join Data \r\n");
    jit.RemoveQueued(device);
    return JoinChoice::kAnswer;
  }
  if (queued->m_Gateway == &gateway) {
    TraceLine("Remove Curr Join Data 2\r\n");
    return JoinChoice::kDuplicate;
  }
  device.NBGATE = SaturatingAdd(device.NBGATE, 1);
  if (CWinUtils::IsHighFloat(meta.rssi, queued->m_RxInfo.rssi) == 1) {
    TraceLine("Remove Pre Join Data \r\n");
    jit.RemoveQueued(device);
    return JoinChoice::kAnswer;
  }
  TraceLine("Remove Curr Join Data 1\r\n");
  return JoinChoice::kDuplicate;
}

// Decides on this join request against the queue. A DevNonce on file
// (`nonceUsed`) is the queued request's own only when this is a copy of it
// through another gateway; otherwise the request is a recorded one sent
// again. The queued record belongs to the queue, so the scheduler's lock is
// held from the lookup to the last use of it.
JoinChoice ResolveDuplicate(CJitManager& jit, const CGateway& gateway, const RadioMetadata& meta, CDevice& device,
                            uint64_t now, bool nonceUsed) {
  std::lock_guard<std::recursive_mutex> lock(jit.Mutex());
  const CDevice* queued = jit.FindQueued(device);
  if (nonceUsed && !IsCopyOf(queued, device, now)) return JoinChoice::kReplay;
  return ChooseBetween(jit, gateway, meta, device, queued, now);
}

// "Join Fail, <why> - " and the DevEUI of the request, as a debug record
// and a trace line.
void RefuseJoin(CQuorvexApp& app, const SocketAddress& from, const std::string& why, const uint8_t (&devEui)[8]) {
  const std::string text = "Join Fail, " + why + " - " + CWinUtils::BytesToHex(devEui, ' ', sizeof devEui);
  TraceLine("%s\r\n", text.c_str());
  LogDebug(app, from, text, nullptr, 0);
}

void MarkJoined(CDevice& device, int32_t gatewayKey) {
  device.JOINED = 1;
  device.ADR = 0;
  device.ADRCNT = 0;
  device.ADRPWR = 0;
  device.PWRREQ = 0;
  device.GPKEY = gatewayKey;
}

// The DevNonce of an accepted join is used from now on. The join goes on
// when it cannot be filed: the device then has a session either way.
void FileDevNonce(CQuorvexApp& app, const CDevice& device) {
  if (app.m_LoRaDevMgr.RecordDevNonce(device.PKEY, device.m_DevNonce) != 0)
    TraceLine("Join DevNonce 0x%04X of device %d not filed (code %d)\r\n", device.m_DevNonce, device.PKEY,
              app.m_LoRaDevMgr.m_Result);
}

}  // namespace

std::unique_ptr<CDevice> ProcessJoinRequest(CQuorvexApp& app, const SocketAddress& from, CGateway& gateway,
                                            uint8_t mhdr, const RadioMetadata& meta, const uint8_t* frame,
                                            int length) {
  return ProcessJoinRequestAt(app, from, gateway, mhdr, meta, frame, length, GetTickCount64());
}

std::unique_ptr<CDevice> ProcessJoinRequestAt(CQuorvexApp& app, const SocketAddress& from, CGateway& gateway,
                                              uint8_t /*mhdr*/, const RadioMetadata& meta, const uint8_t* frame,
                                              int length, uint64_t now) {
  TraceBanner();
  const std::span<const uint8_t> bytes = FrameBytes(frame, length);
  // Everything but the MIC: MHDR, AppEUI, DevEUI and DevNonce.
  LogFrameHead(app, from, "JOIN RX DATA : ", bytes, kJoinRequestLength - kMicLength);

  const JoinRequestFrame request = ParseJoinRequest(bytes);
  if (!request.Ok()) {
    LogDebug(app, from,
             FormatText("Join Fail, Frame Error (length %d): %s", static_cast<int>(bytes.size()),
                        FrameErrorText(request.error)),
             nullptr, 0);
    app.m_Metrics.Refuse(Refusal::kFrameError);
    return nullptr;
  }

  CApplication application;
  if (!app.m_LoRaAppList.CopyApplicationByEui(request.appEui, application)) {
    LogDebug(app, from, "Not exist application - ", request.appEui, sizeof request.appEui);
    app.m_Metrics.Refuse(Refusal::kUnknownApplication);
    return nullptr;
  }
  std::unique_ptr<CDevice> device = app.m_LoRaDevMgr.GetDeviceByEui(request.devEui);
  if (!device) {
    LogDebug(app, from, "Not exist device - ", request.devEui, sizeof request.devEui);
    app.m_Metrics.Refuse(Refusal::kUnknownDevice);
    return nullptr;
  }
  ResetFrameState(*device, now);

  if (application.ACTIVATION == kActivationAbp) {
    LogDebug(app, from, "Join Fail, Device ABP mode - ", request.devEui, sizeof request.devEui);
    app.m_Metrics.Refuse(Refusal::kAbpJoin);
    return device;
  }
  if (ComputeJoinMic(request.signedPart.data(), request.signedPart.size(), device->APPKEY) != request.mic) {
    // The device's EUI, never its key: debug records reach the window, the
    // packet log and the console.
    LogDebug(app, from, "Join Fail, Check app key - ", request.devEui, sizeof request.devEui);
    app.m_Metrics.FailMic();
    return device;
  }
  if (device->APKEY != application.PKEY) {
    LogDebug(app, from, FormatText("Join Fail, Check Key %d  %d", device->APKEY, application.PKEY), nullptr, 0);
    app.m_Metrics.Refuse(Refusal::kUnknownApplication);
    return device;
  }

  device->m_UpMType = MTypeOf(request.mhdr);
  device->m_DevNonce = request.devNonce;
  const int onFile = app.m_LoRaDevMgr.FindDevNonce(device->PKEY, request.devNonce);
  if (onFile == 2) {
    RefuseJoin(app, from, FormatText("DevNonce unreadable (code %d)", app.m_LoRaDevMgr.m_Result), request.devEui);
    app.m_Metrics.Refuse(Refusal::kDatabase);
    return device;
  }
  const JoinChoice choice = ResolveDuplicate(app.m_LoRaJitMgr, gateway, meta, *device, now, onFile == 0);
  if (choice == JoinChoice::kReplay) {
    RefuseJoin(app, from, FormatText("DevNonce 0x%04X already used", request.devNonce), request.devEui);
    app.m_Metrics.Refuse(Refusal::kDevNonceReplay);
    return device;
  }
  // A nonce on file that is not a replay is another gateway's copy of the
  // request already counted.
  if (choice == JoinChoice::kAnswer && onFile == 0) {
    ++app.m_Metrics.m_Joins;
  } else {
    ++app.m_Metrics.m_Duplicates;
  }
  device->m_Accepted = choice == JoinChoice::kAnswer ? 1 : 0;
  if (device->m_Accepted) {
    StartSession(*device, application, NextAppNonce());
    MarkJoined(*device, GatewayKey(app, gateway));
    FileDevNonce(app, *device);
  }

  LogJoin(app, from, *device, meta);
  return device;
}

}  // namespace quorvex
