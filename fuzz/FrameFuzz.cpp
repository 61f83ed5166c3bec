// libFuzzer target of the LoRaWAN frame parsers: any bytes go through the
// join-request and data-uplink parsers, and every span a successful parse
// hands back must lie inside the input; the payload is then deciphered and
// signed as the uplink procedure would.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "lorawan/LoRaCrypto.h"
#include "lorawan/LoRaFrame.h"

namespace {

const uint8_t kKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

// Aborts (a finding) when `part` is not inside `whole`.
void CheckInside(std::span<const uint8_t> part, std::span<const uint8_t> whole) {
  if (part.empty()) return;
  if (part.data() < whole.data() || part.data() + part.size() > whole.data() + whole.size()) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so that reading one byte past the frame is caught.
  const std::vector<uint8_t> frame(data, data + size);
  const std::span<const uint8_t> bytes(frame.data(), frame.size());

  const quorvex::JoinRequestFrame join = quorvex::ParseJoinRequest(bytes);
  if (join.Ok()) {
    CheckInside(join.signedPart, bytes);
    (void)quorvex::ComputeJoinMic(join.signedPart.data(), join.signedPart.size(), kKey);
  }

  const quorvex::DataUplinkFrame up = quorvex::ParseDataUplink(bytes);
  if (up.Ok()) {
    CheckInside(up.fopts, bytes);
    CheckInside(up.frmPayload, bytes);
    CheckInside(up.signedPart, bytes);
    if (up.fopts.size() != up.FOptsLen()) abort();
    (void)quorvex::ComputeDataMic(up.signedPart.data(), up.signedPart.size(), kKey, up.devAddr,
                                  quorvex::kLoRaDirUplink, up.fcnt);
    std::vector<uint8_t> clear(up.frmPayload.size());
    quorvex::CipherPayload(up.frmPayload.data(), static_cast<uint16_t>(up.frmPayload.size()), kKey, up.devAddr,
                           quorvex::kLoRaDirUplink, up.fcnt, clear.data());
  }
  return 0;
}
