#include "downlink/FrameBuilder.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "lorawan/FrameCounter.h"
#include "lorawan/LoRaCrypto.h"
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

constexpr uint8_t kMTypeUnconfirmedUp = 2;
constexpr uint8_t kMTypeConfirmedUp = 4;
constexpr uint8_t kMTypeUnconfirmedDown = 3;
constexpr uint8_t kMTypeConfirmedDown = 5;
// MHDR, DevAddr, FCtrl, FCnt before FOpts; the MIC after everything.
constexpr std::size_t kHeaderLength = 8;
constexpr std::size_t kMicLength = 4;
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

// Application data on FPort 0 would be read by the device as MAC commands
// under the NwkSKey: use the request's port instead, and drop the payload
// when that is 0 as well. Returns the port to send.
int PortForPayload(CDevice& device, int port, const CDLink* request) {
  if (device.m_DownPayloadLength == 0 || port != 0) return port;
  if (request != nullptr && (request->PORT & 0xFF) != 0) return request->PORT & 0xFF;
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
                            static_cast<std::size_t>(fields.payloadLength) + kMicLength;
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
  return static_cast<int>(pos + kMicLength);
}

bool BuildReplyFrame(CQuorvexApp& app, CDevice& device, const CApplication& application) {
  ResetDownlink(device);

  DLinkRecords pending;
  if (app.m_LoRaDlinkList.LoadDownlinks(device.PKEY, true, &pending) != 0) pending.clear();
  CDLink* request = nullptr;
  for (const auto& record : pending) {
    if (record && record->CHANNEL == CDLink::kRx1) {
      request = record.get();
      break;
    }
  }

  int port = device.m_UpFPort;
  if (request != nullptr) {
    // After a confirmed uplink the reply answers on the uplink's port.
    if (device.m_UpMType == kMTypeUnconfirmedUp) port = request->PORT & 0xFF;
    LoadRequest(device, *request);
    // Taken means transmitted, whether or not a frame follows.
    app.m_LoRaDlinkList.MarkDownlinkSent(request);
  } else {
    device.m_DownMType = kMTypeUnconfirmedDown;
  }
  port = PortForPayload(device, port, request);
  pending.clear();

  if (device.m_UpMacLength > 0) HandleMacCommands(device);

  const bool confirmedUp = device.m_UpMType == kMTypeConfirmedUp;
  const bool send = device.ADR == 1 || confirmedUp ||
                    (device.m_UpMType == kMTypeUnconfirmedUp &&
                     (device.m_DownPayloadLength > 0 || device.m_MacAnswerLength > 0));
  if (!send) return false;

  FitFOpts(device);
  const bool adr = application.ADR != 0;
  if (adr && device.ADR == 1) AppendLinkAdrReq(device, application);
  const bool ack = confirmedUp || device.m_MacPending == 1;
  return FinishFrame(device, port, adr, ack);
}

void BuildClassCFrame(CDevice& device, const CDLink& request) {
  ResetDownlink(device);
  LoadRequest(device, request);
  const int port = PortForPayload(device, request.PORT & 0xFF, &request);
  FitFOpts(device);
  FinishFrame(device, port, false, false);
}

}  // namespace quorvex
