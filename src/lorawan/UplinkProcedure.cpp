#include "lorawan/UplinkProcedure.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <span>

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

// Whatever a radio can carry fits the device's buffers.
static_assert(sizeof(CDevice::m_UpPayload) >= kMaxFrmPayloadLength);
static_assert(sizeof(CDevice::m_UpMac) >= kMaxFrmPayloadLength);

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

// The MIC covers the full 32-bit counter, of which the frame carries 16 bits.
bool MicMatches(const DataUplinkFrame& up, const CDevice& device, uint32_t counter) {
  return ComputeDataMic(up.signedPart.data(), up.signedPart.size(), device.NETSKEY, device.DEVADDR,
                        kLoRaDirUplink, counter) == up.mic;
}

// Only a counter above the stored one (within the gap a device may skip) is
// a new frame, and the stored one itself a repeat. An older counter is a
// recorded frame sent again: taking it would post it to the application
// server a second time and roll the stored counter back.
bool CounterAllowed(CounterStep step) { return step == CounterStep::kNew || step == CounterStep::kRepeat; }

std::string CounterRefusal(const DataUplinkFrame& up, const CDevice& device, CounterStep step) {
  return FormatText("FCnt Error, FCnt %u %s %lld", up.fcnt, CounterStepText(step),
                    static_cast<long long>(device.RXSEQ)) +
         AddrText(", DEVADDR - ", device.DEVADDR);
}

// A new counter starts a new frame: one gateway has heard it so far, and a
// gap breaks the run of good uplinks.
void StartNewCounter(CDevice& device, uint32_t counter) {
  if (static_cast<int64_t>(counter) != device.RXSEQ + 1) device.ADRCNT = 0;
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
  device.NBGATE = SaturatingAdd(device.NBGATE, 1);
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
               const RadioMetadata& meta, CounterStep step, int32_t adrRxCount) {
  if (device.ADR != 0 || !up.AdrBit() || device.m_Accepted != 1 || application.ADR == 0 ||
      step == CounterStep::kRepeat)
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
    device.ADRCNT = SaturatingAdd(device.ADRCNT, 1);
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

void Decrypt(CDevice& device, std::span<const uint8_t> payload, const uint8_t* key, uint32_t counter) {
  CipherPayload(payload.data(), static_cast<uint16_t>(payload.size()), key, device.DEVADDR, kLoRaDirUplink, counter,
                device.m_UpPayload);
}

// The MAC commands (FOpts, or the FRMPayload of FPort 0, decrypted with the
// NwkSKey) go to m_UpMac; application data (decrypted with the AppSKey) to
// m_UpPayload. The cipher runs on the full 32-bit counter.
void TakePayload(CDevice& device, const DataUplinkFrame& up, uint32_t counter) {
  if (!up.hasFPort) {
    CopyMac(device, up.fopts);
    return;
  }
  device.m_UpFPort = up.fport;
  if (up.fport == 0) {
    // MAC commands in the payload exclude FOpts; a frame with both carries
    // nothing the server can trust, so neither is taken.
    if (up.fopts.empty()) {
      Decrypt(device, up.frmPayload, device.NETSKEY, counter);
      CopyMac(device, std::span<const uint8_t>(device.m_UpPayload, up.frmPayload.size()));
    }
    device.m_UpPayloadLength = 0;  // MAC commands are not application data
    return;
  }
  CopyMac(device, up.fopts);
  Decrypt(device, up.frmPayload, device.APPSKEY, counter);
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
  // MHDR, DevAddr, FCtrl and FCnt name the frame.
  LogFrameHead(app, from, "UP-LINK : ", bytes, kDataFrameMinLength - kMicLength);

  const DataUplinkFrame up = ParseDataUplink(bytes);
  if (!up.Ok()) {
    LogDebug(app, from,
             FormatText("UP-LINK Fail, Frame Error (length %d): %s", static_cast<int>(bytes.size()),
                        FrameErrorText(up.error)),
             nullptr, 0);
    app.m_Metrics.Refuse(Refusal::kFrameError);
    return nullptr;
  }

  std::unique_ptr<CDevice> device = app.m_LoRaDevMgr.GetDeviceByAddr(up.devAddr);
  if (!device) {
    LogDebug(app, from, AddrText("Not exist device, DEVADDR - ", up.devAddr), nullptr, 0);
    app.m_Metrics.Refuse(Refusal::kUnknownDevice);
    return nullptr;
  }
  ResetFrameState(*device, now);

  const UplinkCounter counter = ReconstructUplinkCounter(up.fcnt, device->RXSEQ);
  if (!CounterAllowed(counter.step)) {
    const std::string refusal = CounterRefusal(up, *device, counter.step);
    TraceLine("%s\r\n", refusal.c_str());
    LogDebug(app, from, refusal, nullptr, 0);
    app.m_Metrics.Refuse(counter.step == CounterStep::kBehind ? Refusal::kCounterBehind : Refusal::kCounterTooFar);
    return device;
  }
  if (!MicMatches(up, *device, counter.full)) {
    LogDebug(app, from, AddrText("MIC Error, DEVADDR - ", device->DEVADDR), nullptr, 0);
    app.m_Metrics.FailMic();
    return device;
  }
  CApplication application;
  if (!app.m_LoRaAppList.CopyApplication(device->APKEY, application)) {
    LogDebug(app, from, AddrText("Not exist application database Addr=", device->DEVADDR), nullptr, 0);
    app.m_Metrics.Refuse(Refusal::kUnknownApplication);
    return device;
  }

  device->m_Accepted = 1;
  if (counter.step == CounterStep::kRepeat) {
    ++app.m_Metrics.m_Duplicates;
    device->m_Accepted = ResolveRepeat(app.m_LoRaJitMgr, gateway, meta, *device, now) ? 1 : 0;
  } else {
    ++app.m_Metrics.m_Uplinks;
    StartNewCounter(*device, counter.full);
  }
  DecideAdr(*device, application, up, meta, counter.step, app.m_Settings.m_nAdrRxCount.Load());

  device->m_UpMType = up.MType();
  TakePayload(*device, up, counter.full);
  // Verified (MIC) and above the stored counter, so safe to keep, accepted or not.
  device->RXSEQ = counter.full;
  // The gateway that answers the device: the copy that was chosen, never a
  // weaker copy of the same frame.
  if (device->m_Accepted) device->GPKEY = GatewayKey(app, gateway);

  LogUplink(app, from, *device, meta);
  return device;
}

}  // namespace quorvex
