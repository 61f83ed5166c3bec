#include "runtime/ServerMetrics.h"

namespace quorvex {

const char* RefusalLabel(Refusal reason) {
  switch (reason) {
    case Refusal::kGatewayInactive: return "gateway_inactive";
    case Refusal::kGatewayNotPulling: return "gateway_not_pulling";
    case Refusal::kBadPacket: return "bad_packet";
    case Refusal::kNotUplink: return "not_uplink";
    case Refusal::kFrameError: return "frame_error";
    case Refusal::kUnknownDevice: return "unknown_device";
    case Refusal::kUnknownApplication: return "unknown_application";
    case Refusal::kCounterBehind: return "counter_behind";
    case Refusal::kCounterTooFar: return "counter_too_far";
    case Refusal::kMic: return "mic";
    case Refusal::kAbpJoin: return "abp_join";
    case Refusal::kDevNonceReplay: return "devnonce_replay";
    case Refusal::kDatabase: return "database";
    case Refusal::kCount: break;
  }
  return "unknown";
}

const char* DownlinkFailureLabel(DownlinkFailure where) {
  switch (where) {
    case DownlinkFailure::kServer: return "server";
    case DownlinkFailure::kGateway: return "gateway";
    case DownlinkFailure::kCount: break;
  }
  return "unknown";
}

}  // namespace quorvex
