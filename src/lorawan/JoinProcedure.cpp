#include "lorawan/JoinProcedure.h"

#include <cstring>
#include <ctime>
#include <mutex>
#include <random>
#include <string>

#include "gateway/Gateway.h"
#include "lorawan/DebugText.h"
#include "lorawan/LoRaCrypto.h"
#include "lorawan/LoRaFrame.h"
#include "lorawan/LogBuilder.h"
#include "persistence/Application.h"
#include "persistence/Device.h"
#include "platform/Tick.h"
#include "runtime/QuorvexApp.h"
#include "runtime/Trace.h"
#include "util/WinUtils.h"

namespace quorvex {

namespace {

constexpr uint8_t kJoinAcceptMhdr = 0x20;  // MType 1, Major 0
constexpr int kJoinAcceptLength = 17;      // no CFList
constexpr int32_t kActivationAbp = 1;
constexpr int32_t kNoCounterYet = -1;

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

// The join accept in clear (m_Frame) and as sent (m_TxFrame: the MHDR in
// clear, the rest transformed under the AppKey).
void BuildJoinAccept(CDevice& device, const uint8_t (&appNonceNetId)[6]) {
  uint8_t* plain = device.m_Frame;
  plain[0] = kJoinAcceptMhdr;
  std::memcpy(plain + 1, appNonceNetId, sizeof appNonceNetId);
  PutLe32(plain + 7, device.DEVADDR);
  plain[11] = 0x00;  // DLSettings: RX1DROffset 0, RX2 datarate 0
  plain[12] = 0x00;  // RxDelay
  PutLe32(plain + 13, ComputeJoinMic(plain, 13, device.APPKEY));
  device.m_FrameLength = kJoinAcceptLength;

  device.m_TxFrame[0] = plain[0];
  EncryptJoinAccept(plain + 1, kJoinAcceptLength - 1, device.APPKEY, device.m_TxFrame + 1);
  device.m_TxLength = kJoinAcceptLength;
}

// Fresh session for the device: new keys, counters at "none yet", empty
// answer buffers and the join accept that carries the AppNonce.
void StartSession(CDevice& device, uint16_t devNonce, uint32_t appNonce) {
  uint8_t appNonceNetId[6];
  MakeAppNonceNetId(appNonce, device.NETWORKID, appNonceNetId);
  DeriveSessionKeys(device.APPKEY, appNonceNetId, devNonce, device.NETSKEY, device.APPSKEY);
  device.TXSEQ = kNoCounterYet;
  device.RXSEQ = kNoCounterYet;
  ClearAnswerBuffers(device);
  BuildJoinAccept(device, appNonceNetId);
}

// Chooses between this join request and one of the same device already
// waiting in the scheduler's queue; true when this one is to be answered.
// The queued record belongs to the queue, so the scheduler's lock is held
// from the lookup to the last use of it.
bool ResolveDuplicate(CJitManager& jit, const CGateway& gateway, const RadioMetadata& meta, CDevice& device,
                      uint64_t now) {
  std::lock_guard<std::recursive_mutex> lock(jit.Mutex());
  const CDevice* queued = jit.FindQueued(device);
  if (queued == nullptr) {
    device.NBGATE += 1;
    return true;
  }
  if (static_cast<int64_t>(now) - queued->RXTICK > kJoinDuplicateWindowMs) {
    TraceLine("Remove Pre Join Data \r\n");
    jit.RemoveQueued(device);
    return true;
  }
  if (queued->m_Gateway == &gateway) {
    TraceLine("Remove Curr Join Data 2\r\n");
    return false;
  }
  device.NBGATE += 1;
  if (CWinUtils::IsHighFloat(meta.rssi, queued->m_RxInfo.rssi) == 1) {
    TraceLine("Remove Pre Join Data \r\n");
    jit.RemoveQueued(device);
    return true;
  }
  TraceLine("Remove Curr Join Data 1\r\n");
  return false;
}

void MarkJoined(CDevice& device, int32_t gatewayKey) {
  device.JOINED = 1;
  device.ADR = 0;
  device.ADRCNT = 0;
  device.ADRPWR = 0;
  device.PWRREQ = 0;
  device.GPKEY = gatewayKey;
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
  LogDebug(app, from, "JOIN RX DATA : ", bytes.data(), static_cast<int>(bytes.size()));

  const JoinRequestFrame request = ParseJoinRequest(bytes);
  if (!request.Ok()) {
    LogDebug(app, from,
             FormatText("Join Fail, Frame Error (length %d): %s", static_cast<int>(bytes.size()),
                        FrameErrorText(request.error)),
             nullptr, 0);
    return nullptr;
  }

  CApplication application;
  if (!app.m_LoRaAppList.CopyApplicationByEui(request.appEui, application)) {
    LogDebug(app, from, "Not exist application - ", request.appEui, sizeof request.appEui);
    return nullptr;
  }
  std::unique_ptr<CDevice> device = app.m_LoRaDevMgr.GetDeviceByEui(request.devEui);
  if (!device) {
    LogDebug(app, from, "Not exist device - ", request.devEui, sizeof request.devEui);
    return nullptr;
  }
  ResetFrameState(*device, now);

  if (application.ACTIVATION == kActivationAbp) {
    LogDebug(app, from, "Join Fail, Device ABP mode - ", request.devEui, sizeof request.devEui);
    return device;
  }
  if (ComputeJoinMic(request.signedPart.data(), request.signedPart.size(), device->APPKEY) != request.mic) {
    LogDebug(app, from, "Join Fail, Check app key - ", device->APPKEY, sizeof device->APPKEY);
    return device;
  }
  if (device->APKEY != application.PKEY) {
    LogDebug(app, from, FormatText("Join Fail, Check Key %d  %d", device->APKEY, application.PKEY), nullptr, 0);
    return device;
  }

  device->m_UpMType = MTypeOf(request.mhdr);
  StartSession(*device, request.devNonce, NextAppNonce());
  device->m_Accepted = ResolveDuplicate(app.m_LoRaJitMgr, gateway, meta, *device, now) ? 1 : 0;
  if (device->m_Accepted) MarkJoined(*device, GatewayKey(app, gateway));

  LogJoin(app, from, *device, meta);
  return device;
}

}  // namespace quorvex
