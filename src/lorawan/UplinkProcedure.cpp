#include "lorawan/UplinkProcedure.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <span>

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

// Whatever a radio can carry fits the device's buffers.
static_assert(sizeof(CDevice::m_UpPayload) >= kMaxFrmPayloadLength);
static_assert(sizeof(CDevice::m_UpMac) >= kMaxFrmPayloadLength);

constexpr uint32_t kCounterMask = 0xFFFF;  // frames carry the low 16 bits

int32_t GatewayKey(CQuorvexApp& app, const CGateway& gateway) {
  // The window may edit the gateway record at any time.
  std::lock_guard<std::recursive_mutex> lock(app.m_LoRaGateMgr.Mutex());
  return gateway.PKEY;
}

// "%08d (0x%04X)" of a DevAddr: signed decimal and full hexadecimal.
std::string AddrText(const char* prefix, uint32_t devAddr) {
  return FormatText("%s%08d (0x%04X)", prefix, static_cast<int32_t>(devAddr), devAddr);
}

void ResetFrameState(CDevice& device, uint64_t now) {
  device.m_Accepted = 0;
  device.RXTICK = static_cast<int64_t>(now);
  device.m_UpFPort = 0;
  device.m_UpPayloadLength = 0;
  device.m_UpMacLength = 0;
  device.m_FrameLength = 0;
  device.m_MacAnswerLength = 0;
}

bool MicMatches(const DataUplinkFrame& up, const CDevice& device) {
  return ComputeDataMic(up.signedPart.data(), up.signedPart.size(), device.NETSKEY, device.DEVADDR,
                        kLoRaDirUplink, up.fcnt) == up.mic;
}

// RXSEQ holds the last counter as its 16-bit value, or -1 (never equal to a
// 16-bit counter) when no uplink has come since the join.
bool IsRepeat(uint16_t fcnt, int32_t rxSeq) { return static_cast<uint32_t>(rxSeq) == fcnt; }

// The counter that follows RXSEQ, in the 16 bits a frame carries: 0 after a
// join (-1) and after 0xFFFF.
bool IsNext(uint16_t fcnt, int32_t rxSeq) { return ((static_cast<uint32_t>(rxSeq) + 1) & kCounterMask) == fcnt; }

// A new counter starts a new frame: one gateway has heard it so far, and a
// gap (or a step back) breaks the run of good uplinks.
void StartNewCounter(CDevice& device, uint16_t fcnt) {
  if (!IsNext(fcnt, device.RXSEQ)) device.ADRCNT = 0;
  device.NBGATE = 1;
}

// The frame repeats the last counter: the same frame through another gateway,
// or a repeat. Decides against the record of this device that waits in the
// scheduler's queue; true when this frame is to be answered. The queued
// record belongs to the queue, so the scheduler's lock is held from the
// lookup to the last use of it.
bool ResolveRepeat(CJitManager& jit, const CGateway& gateway, const RadioMetadata& meta, CDevice& device,
                   uint64_t now) {
  std::lock_guard<std::recursive_mutex> lock(jit.Mutex());
  CDevice* queued = jit.FindQueued(device);
  if (queued == nullptr) return false;  // already answered
  if (static_cast<int64_t>(now) - queued->RXTICK > kUplinkDuplicateWindowMs) {
    jit.RemoveQueued(device);
    return true;
  }
  if (queued->m_Gateway == &gateway) return false;
  device.NBGATE += 1;
  queued->NBGATE = device.NBGATE;
  if (CWinUtils::IsHighFloat(meta.rssi, queued->m_RxInfo.rssi) == 1) {
    jit.RemoveQueued(device);
    return true;
  }
  return false;
}

// The server's ADR decision for a new, accepted uplink of a device that asks
// for ADR: a LinkADRReq is due (ADR 1) when the device asks for an
// acknowledgement, or after `adrRxCount` uplinks in a row with SNR margin.
void DecideAdr(CDevice& device, const CApplication& application, const DataUplinkFrame& up,
               const RadioMetadata& meta, int32_t adrRxCount) {
  if (device.ADR != 0 || !up.AdrBit() || device.m_Accepted != 1 || application.ADR == 0 ||
      IsRepeat(up.fcnt, device.RXSEQ))
    return;
  const int sf = CWinUtils::GetSf(meta.datr);
  if (up.AdrAckReqBit()) {
    device.ADR = 1;
    device.ADRCNT = 0;
    TraceLine("ADR Set Start Seq:%d - %d\r\n", up.fcnt, device.ADR);
    return;
  }
  // The datarate text comes from the gateway: a spreading factor outside
  // SF7..SF12 is unknown and gives no margin (and is never stored).
  const bool knownSf = sf >= 7 && sf <= 12;
  const float snr = std::strtof(meta.lsnr, nullptr);
  if (knownSf && CWinUtils::GetSnrMarginSteps(snr, 12 - sf) > 0)
    device.ADRCNT += 1;
  else
    device.ADRCNT = 0;
  if (device.ADRCNT >= adrRxCount) {
    device.ADR = 1;
    device.ADRCNT = 0;
    if (knownSf) device.ADRSF = sf;
    TraceLine("ADR Set Start Seq:%d - %d\r\n", up.fcnt, device.ADR);
  } else if (device.ADRCNT != 0) {
    TraceLine("ADR Set Continue Cnt:%d\r\n", device.ADRCNT);
  } else {
    TraceLine("ADR Set Start Seq:%d - %d\r\n", up.fcnt, device.ADR);
  }
}

void CopyMac(CDevice& device, std::span<const uint8_t> commands) {
  std::copy(commands.begin(), commands.end(), device.m_UpMac);
  device.m_UpMacLength = static_cast<int32_t>(commands.size());
}

void Decrypt(CDevice& device, std::span<const uint8_t> payload, const uint8_t* key, uint16_t fcnt) {
  CipherPayload(payload.data(), static_cast<uint16_t>(payload.size()), key, device.DEVADDR, kLoRaDirUplink, fcnt,
                device.m_UpPayload);
}

// The MAC commands (FOpts, or the FRMPayload of FPort 0, decrypted with the
// NwkSKey) go to m_UpMac; application data (decrypted with the AppSKey) to
// m_UpPayload.
void TakePayload(CDevice& device, const DataUplinkFrame& up) {
  if (!up.hasFPort) {
    CopyMac(device, up.fopts);
    return;
  }
  device.m_UpFPort = up.fport;
  if (up.fport == 0) {
    // MAC commands in the payload exclude FOpts; a frame with both carries
    // nothing the server can trust, so neither is taken.
    if (up.fopts.empty()) {
      Decrypt(device, up.frmPayload, device.NETSKEY, up.fcnt);
      CopyMac(device, std::span<const uint8_t>(device.m_UpPayload, up.frmPayload.size()));
    }
    device.m_UpPayloadLength = 0;  // MAC commands are not application data
    return;
  }
  CopyMac(device, up.fopts);
  Decrypt(device, up.frmPayload, device.APPSKEY, up.fcnt);
  device.m_UpPayloadLength = static_cast<int32_t>(up.frmPayload.size());
}

}  // namespace

std::unique_ptr<CDevice> ProcessDataUplink(CQuorvexApp& app, const SocketAddress& from, CGateway& gateway,
                                           uint8_t mhdr, const RadioMetadata& meta, const uint8_t* frame,
                                           int length) {
  return ProcessDataUplinkAt(app, from, gateway, mhdr, meta, frame, length, GetTickCount64());
}

std::unique_ptr<CDevice> ProcessDataUplinkAt(CQuorvexApp& app, const SocketAddress& from, CGateway& gateway,
                                             uint8_t /*mhdr*/, const RadioMetadata& meta, const uint8_t* frame,
                                             int length, uint64_t now) {
  const std::span<const uint8_t> bytes = FrameBytes(frame, length);
  LogDebug(app, from, "UP-LINK : ", bytes.data(), static_cast<int>(bytes.size()));

  const DataUplinkFrame up = ParseDataUplink(bytes);
  if (!up.Ok()) {
    LogDebug(app, from,
             FormatText("UP-LINK Fail, Frame Error (length %d): %s", static_cast<int>(bytes.size()),
                        FrameErrorText(up.error)),
             nullptr, 0);
    return nullptr;
  }

  std::unique_ptr<CDevice> device = app.m_LoRaDevMgr.GetDeviceByAddr(up.devAddr);
  if (!device) {
    LogDebug(app, from, AddrText("Not exist device, DEVADDR - ", up.devAddr), nullptr, 0);
    return nullptr;
  }
  ResetFrameState(*device, now);

  if (!MicMatches(up, *device)) {
    LogDebug(app, from, AddrText("MIC Error, DEVADDR - ", device->DEVADDR), nullptr, 0);
    return device;
  }
  CApplication application;
  if (!app.m_LoRaAppList.CopyApplication(device->APKEY, application)) {
    LogDebug(app, from, AddrText("Not exist application database Addr=", device->DEVADDR), nullptr, 0);
    return device;
  }

  device->m_Accepted = 1;
  if (IsRepeat(up.fcnt, device->RXSEQ))
    device->m_Accepted = ResolveRepeat(app.m_LoRaJitMgr, gateway, meta, *device, now) ? 1 : 0;
  else
    StartNewCounter(*device, up.fcnt);
  DecideAdr(*device, application, up, meta, app.m_Settings.m_nAdrRxCount.Load());

  device->m_UpMType = up.MType();
  TakePayload(*device, up);
  // Verified (MIC) and so safe to keep, accepted or not.
  device->RXSEQ = static_cast<int32_t>(up.fcnt);
  device->GPKEY = GatewayKey(app, gateway);

  LogUplink(app, from, *device, meta);
  return device;
}

}  // namespace quorvex
