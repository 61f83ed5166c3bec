#include "downlink/FrameBuilder.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "lorawan/FrameCounter.h"
#include "lorawan/LoRaCrypto.h"
#include "lorawan/LoRaFrame.h"
#include "lorawan/MacCommands.h"
#include "persistence/Application.h"
#include "persistence/DLink.h"
#include "persistence/Device.h"
#include "runtime/QuorvexApp.h"
#include "runtime/Trace.h"
#include "util/FieldText.h"
#include "util/WinUtils.h"

namespace quorvex {
namespace {

// MHDR, DevAddr, FCtrl, FCnt before FOpts; the MIC (kMicLength) after everything.
constexpr std::size_t kHeaderLength = 8;
constexpr std::size_t kMicBytes = static_cast<std::size_t>(kMicLength);
// The FPort byte shares m_Frame with the encrypted payload.
constexpr int kMaxPayload = static_cast<int>(sizeof(CDevice::m_Frame)) - 1;
static_assert(kMaxPayload <= static_cast<int>(sizeof(CDevice::m_DownPayload)));

void PutLe(uint8_t* out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Parses a request's hex text into at most `capacity` bytes at `dst`: the
// spaces are removed and (length / 2) bytes asked for. A text holding
// anything but hex digits and the separators HexToBytes skips gives 0.
int ParseHexText(const std::string& text, uint8_t* dst, int capacity) {
  std::string digits = text;
  std::erase(digits, ' ');
  const int wanted = std::min(static_cast<int>(digits.size() / 2), capacity);
  return CWinUtils::HexToBytes(digits, dst, wanted, false);
}

// Clears everything a previous frame may have left in the record.
void ResetDownlink(CDevice& device) {
  device.m_DownFPort = 0;
  device.m_DownPayloadLength = 0;
  device.m_MacAnswerLength = 0;
  device.m_MacPending = 0;
  device.m_FrameLength = 0;
  device.m_TxLength = 0;
}

// MType, application payload and MAC bytes of a request, with their traces.
void LoadRequest(CDevice& device, const CDLink& request) {
  device.m_DownMType = request.CONFIRMED != 0 ? kMTypeConfirmedDown : kMTypeUnconfirmedDown;

  const std::string app = FieldText(request.APP);
  const std::string mac = FieldText(request.MAC);
  device.m_DownPayloadLength = ParseHexText(app, device.m_DownPayload, kMaxPayload);
  device.m_MacAnswerLength =
      ParseHexText(mac, device.m_MacAnswers, static_cast<int>(sizeof device.m_MacAnswers));

  // Lengths only: a device's data never reaches a log.
  if (device.m_DownPayloadLength > 0) TraceLine("DLink Tx Data App=%d\r\n", device.m_DownPayloadLength);
  if (device.m_MacAnswerLength > 0) TraceLine("DLink Tx Data Mac=%d\r\n", device.m_MacAnswerLength);
}

// Application data goes out on the request's port. A port whose low byte is
// 0 would have the device read the data as MAC commands under the NwkSKey,
// so such a request's payload is dropped. Returns the port to send.
int PortForPayload(CDevice& device, const CDLink& request) {
  const int port = request.PORT & 0xFF;
  if (device.m_DownPayloadLength == 0 || port != 0) return port;
  TraceLine("DLink payload of %d bytes dropped: no application port\r\n", device.m_DownPayloadLength);
  device.m_DownPayloadLength = 0;
  return 0;
}

// Keeps the whole MAC commands that fit in FOpts.
void FitFOpts(CDevice& device) {
  const int length = std::clamp(device.m_MacAnswerLength, 0, static_cast<int>(sizeof device.m_MacAnswers));
  const int kept = FitMacCommands(device.m_MacAnswers, length, kMaxFOptsLength);
  if (kept < length) TraceLine("DLink MAC commands dropped: %d of %d bytes do not fit in FOpts\r\n", length - kept, length);
  device.m_MacAnswerLength = kept;
}

// Advances the counter, encrypts, assembles and signs the frame into
// m_TxFrame. On failure nothing is sent and TXSEQ stays.
bool FinishFrame(CDevice& device, int port, bool adr, bool ack) {
  const bool hasPayload = device.m_DownPayloadLength > 0;
  DataDownlinkFields fields;
  fields.mType = static_cast<uint8_t>(device.m_DownMType);
  fields.devAddr = device.DEVADDR;
  fields.adr = adr;
  fields.ack = ack;
  fields.frameCounter = NextDownlinkCounter(device.TXSEQ);
  fields.fOpts = device.m_MacAnswers;
  fields.fOptsLength = device.m_MacAnswerLength;
  fields.fPort = hasPayload ? port : -1;
  fields.payload = device.m_DownPayload;
  fields.payloadLength = device.m_DownPayloadLength;
  fields.appSKey = device.APPSKEY;
  fields.nwkSKey = device.NETSKEY;

  const int length = AssembleDataDownlink(fields, device.m_TxFrame, sizeof device.m_TxFrame);
  if (length == 0) {
    TraceLine("DLink frame could not be assembled\r\n");
    device.m_TxLength = 0;
    return false;
  }
  device.TXSEQ = fields.frameCounter;
  device.m_TxLength = length;
  device.m_DownFPort = hasPayload ? port : 0;
  // m_Frame keeps FPort and FRMPayload as they went on air.
  device.m_FrameLength = hasPayload ? 1 + device.m_DownPayloadLength : 0;
  if (hasPayload) {
    std::memcpy(device.m_Frame, device.m_TxFrame + kHeaderLength + device.m_MacAnswerLength,
                static_cast<std::size_t>(device.m_FrameLength));
  }
  return true;
}

// The device's oldest pending "RX 1" request, or null when it has none.
std::unique_ptr<CDLink> OldestRx1Request(CQuorvexApp& app, int32_t devPkey) {
  DLinkRecords pending;
  if (app.m_LoRaDlinkList.LoadDownlinks(devPkey, true, &pending) != 0) return nullptr;
  for (auto& record : pending)
    if (record && record->CHANNEL == CDLink::kRx1) return std::move(record);
  return nullptr;
}

// When the uplink in hand was received, by the calendar clock; now for a
// record that was not stamped.
int64_t ReceptionTime(CQuorvexApp& app, const CDevice& device) {
  return device.m_RxUnixMs != 0 ? device.m_RxUnixMs : app.m_UnixClockMs();
}

// Whether the uplink in hand gets a reply: a confirmed uplink always (it
// waits for the ACK), a pending ADR decision always (the LinkADRReq rides on
// it), an unconfirmed one only when there is data or a MAC command to carry.
bool ReplyNeeded(const CDevice& device) {
  if (device.ADR == 1 || device.m_UpMType == kMTypeConfirmedUp) return true;
  return device.m_UpMType == kMTypeUnconfirmedUp &&
         (device.m_DownPayloadLength > 0 || device.m_MacAnswerLength > 0);
}

}  // namespace

int AssembleDataDownlink(const DataDownlinkFields& fields, uint8_t* out, std::size_t capacity) {
  if (out == nullptr || fields.appSKey == nullptr || fields.nwkSKey == nullptr) return 0;
  if (fields.fOptsLength < 0 || fields.fOptsLength > kMaxFOptsLength) return 0;
  if (fields.fOptsLength > 0 && fields.fOpts == nullptr) return 0;
  if (fields.fPort < -1 || fields.fPort > 255) return 0;
  if (fields.payloadLength < 0 || fields.payloadLength > 0xFFFF) return 0;
  if (fields.payloadLength > 0 && (fields.fPort < 0 || fields.payload == nullptr)) return 0;

  const std::size_t portLength = fields.fPort >= 0 ? 1 : 0;
  const std::size_t total = kHeaderLength + static_cast<std::size_t>(fields.fOptsLength) + portLength +
                            static_cast<std::size_t>(fields.payloadLength) + kMicBytes;
  if (total > capacity) return 0;

  out[0] = static_cast<uint8_t>(fields.mType << 5);
  PutLe(out + 1, fields.devAddr, 4);
  out[5] = static_cast<uint8_t>((fields.adr ? 0x80 : 0) | (fields.ack ? 0x20 : 0) | fields.fOptsLength);
  PutLe(out + 6, fields.frameCounter & 0xFFFF, 2);
  std::size_t pos = kHeaderLength;
  if (fields.fOptsLength > 0) {
    std::memcpy(out + pos, fields.fOpts, static_cast<std::size_t>(fields.fOptsLength));
    pos += static_cast<std::size_t>(fields.fOptsLength);
  }
  if (fields.fPort >= 0) {
    out[pos++] = static_cast<uint8_t>(fields.fPort);
    const uint8_t* key = fields.fPort == 0 ? fields.nwkSKey : fields.appSKey;
    CipherPayload(fields.payload, static_cast<uint16_t>(fields.payloadLength), key, fields.devAddr,
                  kLoRaDirDownlink, fields.frameCounter, out + pos);
    pos += static_cast<std::size_t>(fields.payloadLength);
  }
  const uint32_t mic =
      ComputeDataMic(out, pos, fields.nwkSKey, fields.devAddr, kLoRaDirDownlink, fields.frameCounter);
  PutLe(out + pos, mic, 4);
  return static_cast<int>(pos + kMicBytes);
}

bool BuildReplyFrame(CQuorvexApp& app, CDevice& device, const CApplication& application, bool* requestMarked) {
  ResetDownlink(device);
  device.m_DownMType = kMTypeUnconfirmedDown;
  int port = 0;
  bool marked = true;
  if (std::unique_ptr<CDLink> request = OldestRx1Request(app, device.PKEY)) {
    LoadRequest(device, *request);
    port = PortForPayload(device, *request);
    // Taken means transmitted, whether or not a frame follows.
    marked = app.m_LoRaDlinkList.MarkDownlinkSent(request.get()) == 0;
  }
  if (requestMarked != nullptr) *requestMarked = marked;
  if (!marked) return false;

  // The device's answers (a LinkADRAns confirming a power step) change its
  // state whether or not a reply follows.
  if (device.m_UpMacLength > 0) HandleMacCommands(device, ReceptionTime(app, device));
  // Without ADR on the application no LinkADRReq will be sent: a flag left
  // from before would ask for an empty reply to every uplink.
  const bool adr = application.ADR != 0;
  if (!adr) device.ADR = 0;
  if (!ReplyNeeded(device)) return false;

  FitFOpts(device);
  if (device.ADR == 1) AppendLinkAdrReq(device, application);
  const bool ack = device.m_UpMType == kMTypeConfirmedUp || device.m_MacPending == 1;
  return FinishFrame(device, port, adr, ack);
}

void BuildClassCFrame(CDevice& device, const CDLink& request) {
  ResetDownlink(device);
  LoadRequest(device, request);
  const int port = PortForPayload(device, request);
  FitFOpts(device);
  FinishFrame(device, port, false, false);
}

}  // namespace quorvex
