#include "lorawan/LoRaFrame.h"

#include <cstddef>

namespace quorvex {

namespace {

// Callers have checked that the bytes exist.
uint16_t ReadLe16(std::span<const uint8_t> bytes, std::size_t at) {
  return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

uint32_t ReadLe32(std::span<const uint8_t> bytes, std::size_t at) {
  return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
         static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

// An EUI travels least significant byte first; the server keeps it the other way round.
void ReadEui(std::span<const uint8_t> bytes, std::size_t at, uint8_t (&eui)[8]) {
  for (std::size_t i = 0; i < 8; ++i) eui[i] = bytes[at + 7 - i];
}

template <typename Frame>
Frame Failed(FrameError error) {
  Frame frame;
  frame.error = error;
  return frame;
}

}  // namespace

const char* FrameErrorText(FrameError error) {
  switch (error) {
    case FrameError::kOk:
      return "ok";
    case FrameError::kWrongMType:
      return "wrong message type";
    case FrameError::kJoinLength:
      return "join request is not 23 bytes";
    case FrameError::kTooShort:
      return "data frame shorter than 12 bytes";
    case FrameError::kTooLong:
      return "frame longer than 255 bytes";
    case FrameError::kFOptsOverrun:
      return "FOpts longer than the frame";
  }
  return "unknown error";
}

std::span<const uint8_t> FrameBytes(const uint8_t* frame, int length) {
  if (frame == nullptr || length < 1) return {};
  return {frame, static_cast<std::size_t>(length)};
}

JoinRequestFrame ParseJoinRequest(std::span<const uint8_t> frame) {
  if (frame.size() != kJoinRequestLength) return Failed<JoinRequestFrame>(FrameError::kJoinLength);
  if (MTypeOf(frame[0]) != kMTypeJoinRequest) return Failed<JoinRequestFrame>(FrameError::kWrongMType);
  JoinRequestFrame out;
  out.mhdr = frame[0];
  ReadEui(frame, 1, out.appEui);
  ReadEui(frame, 9, out.devEui);
  out.devNonce = ReadLe16(frame, 17);
  out.mic = ReadLe32(frame, 19);
  out.signedPart = frame.first(19);
  return out;
}

DataUplinkFrame ParseDataUplink(std::span<const uint8_t> frame) {
  const std::size_t n = frame.size();
  if (n < kDataFrameMinLength) return Failed<DataUplinkFrame>(FrameError::kTooShort);
  if (n > kMaxPhyPayloadLength) return Failed<DataUplinkFrame>(FrameError::kTooLong);
  const uint8_t mtype = MTypeOf(frame[0]);
  if (mtype != kMTypeUnconfirmedUp && mtype != kMTypeConfirmedUp)
    return Failed<DataUplinkFrame>(FrameError::kWrongMType);

  DataUplinkFrame out;
  out.mhdr = frame[0];
  out.devAddr = ReadLe32(frame, 1);
  out.fctrl = frame[5];
  out.fcnt = ReadLe16(frame, 6);
  const std::size_t micAt = n - kMicLength;
  const std::size_t foptsAt = 8;
  const std::size_t fportAt = foptsAt + out.FOptsLen();
  if (fportAt > micAt) return Failed<DataUplinkFrame>(FrameError::kFOptsOverrun);

  out.fopts = frame.subspan(foptsAt, out.FOptsLen());
  if (fportAt < micAt) {
    out.hasFPort = true;
    out.fport = frame[fportAt];
    out.frmPayload = frame.subspan(fportAt + 1, micAt - fportAt - 1);
  }
  out.mic = ReadLe32(frame, micAt);
  out.signedPart = frame.first(micAt);
  return out;
}

}  // namespace quorvex
