// Parsing of the two uplink PHY payloads the server answers: the join request
// and the data uplink. Pure functions over bytes: every length is checked
// before the byte it covers is read, every multi-byte field is assembled with
// shifts (LoRaWAN sends them least significant byte first), and a frame that
// does not fit its layout comes back with a precise error and no fields.
//
// The spans in a parsed frame point into the caller's buffer, which must
// outlive them.
#pragma once
#include <cstdint>
#include <span>

namespace quorvex {

// A join request is always this long: MHDR, AppEUI, DevEUI, DevNonce, MIC.
inline constexpr int kJoinRequestLength = 23;
// The shortest data frame: MHDR, DevAddr, FCtrl, FCnt and the MIC.
inline constexpr int kDataFrameMinLength = 12;
// The longest packet a LoRa radio carries; no gateway can hear more.
inline constexpr int kMaxPhyPayloadLength = 255;
inline constexpr int kMicLength = 4;
// The largest FRMPayload a data frame can hold (FPort present, no FOpts).
inline constexpr int kMaxFrmPayloadLength = kMaxPhyPayloadLength - kDataFrameMinLength - 1;

// Message types (the top three bits of the MHDR).
inline constexpr uint8_t kMTypeJoinRequest = 0;
inline constexpr uint8_t kMTypeJoinAccept = 1;
inline constexpr uint8_t kMTypeUnconfirmedUp = 2;
inline constexpr uint8_t kMTypeUnconfirmedDown = 3;
inline constexpr uint8_t kMTypeConfirmedUp = 4;
inline constexpr uint8_t kMTypeConfirmedDown = 5;

// The message type of an MHDR byte.
constexpr uint8_t MTypeOf(uint8_t mhdr) { return static_cast<uint8_t>(mhdr >> 5); }

enum class FrameError {
  kOk = 0,
  kWrongMType,     // the MHDR names another message type
  kJoinLength,     // a join request that is not exactly 23 bytes
  kTooShort,       // a data frame below 12 bytes
  kTooLong,        // more than 255 bytes
  kFOptsOverrun,   // FOptsLen counts bytes that would overlap the MIC or lie beyond the frame
};

// A short English description of `error` ("ok" for kOk), for debug records.
const char* FrameErrorText(FrameError error);

struct JoinRequestFrame {
  FrameError error = FrameError::kOk;
  uint8_t mhdr = 0;
  // Both EUIs most significant byte first, as the server stores them.
  uint8_t appEui[8] = {};
  uint8_t devEui[8] = {};
  uint16_t devNonce = 0;
  uint32_t mic = 0;
  // The bytes the MIC covers (everything before it).
  std::span<const uint8_t> signedPart;

  bool Ok() const { return error == FrameError::kOk; }
};

struct DataUplinkFrame {
  FrameError error = FrameError::kOk;
  uint8_t mhdr = 0;
  uint32_t devAddr = 0;
  uint8_t fctrl = 0;
  uint16_t fcnt = 0;
  // MAC commands of the header, in clear (FOptsLen bytes).
  std::span<const uint8_t> fopts;
  // FPort and the encrypted FRMPayload; a frame without FPort has no payload.
  bool hasFPort = false;
  uint8_t fport = 0;
  std::span<const uint8_t> frmPayload;
  uint32_t mic = 0;
  // The bytes the MIC covers (everything before it).
  std::span<const uint8_t> signedPart;

  bool Ok() const { return error == FrameError::kOk; }
  uint8_t MType() const { return MTypeOf(mhdr); }
  bool AdrBit() const { return (fctrl & 0x80) != 0; }
  bool AdrAckReqBit() const { return (fctrl & 0x40) != 0; }
  bool AckBit() const { return (fctrl & 0x20) != 0; }
  uint8_t FOptsLen() const { return static_cast<uint8_t>(fctrl & 0x0F); }
};

// Reads a join request: MType 0 and exactly kJoinRequestLength bytes, else
// only `error` is set.
JoinRequestFrame ParseJoinRequest(std::span<const uint8_t> frame);

// Reads a data uplink: MType 2 or 4, kDataFrameMinLength to
// kMaxPhyPayloadLength bytes, and FOpts that end before the MIC; else only
// `error` is set. The FPort is present when at least one byte lies between
// the FOpts and the MIC.
DataUplinkFrame ParseDataUplink(std::span<const uint8_t> frame);

// The frame handed over as pointer and length, as a span: empty for a null
// pointer or a length below 1.
std::span<const uint8_t> FrameBytes(const uint8_t* frame, int length);

}  // namespace quorvex
