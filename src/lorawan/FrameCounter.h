// Frame counters. Both directions count in 32 bits, but a frame carries only
// the low 16 bits of its counter (FCnt), while its MIC and its payload
// cipher use all 32. So the receiver rebuilds the full counter from the last
// one it took, and the sender keeps counting past 0xFFFF.
//
// A stored counter is an int64_t: 0..0xFFFFFFFF, or kNoCounterYet (-1) when
// no frame has passed since the join. The mark lies outside the counter's
// range, so it can never be mistaken for a counter.
#pragma once
#include <cstdint>

namespace quorvex {

inline constexpr int64_t kNoCounterYet = -1;
// The largest counter a device may skip to: a device that lost some frames
// has moved on by a little, one further ahead is refused (LoRaWAN's
// MAX_FCNT_GAP).
inline constexpr uint32_t kMaxFCntGap = 16384;

// How a frame's counter stands to the stored one.
enum class CounterStep {
  kNew,     // above the stored counter, within kMaxFCntGap
  kRepeat,  // the stored counter itself: a copy through another gateway, or a repeat
  kBehind,  // below the stored counter: an old frame sent again
  kTooFar,  // more than kMaxFCntGap ahead
};

struct UplinkCounter {
  uint32_t full = 0;  // the 32-bit counter to verify and store (kNew and kRepeat)
  CounterStep step = CounterStep::kNew;
};

// The uplink counter whose low 16 bits are `fcnt`: the stored counter when
// they match it, otherwise the nearest value above it. With no counter
// since the join, the frame's 16 bits are the counter (a joined device
// starts at 0; an ABP device may be registered while it is counting). A
// value that would need more than 32 bits is kTooFar.
UplinkCounter ReconstructUplinkCounter(uint16_t fcnt, int64_t stored);

// The downlink counter after `txSeq`: 0 after kNoCounterYet, otherwise one
// more, round to 0 after 0xFFFFFFFF (a device never lives that long).
uint32_t NextDownlinkCounter(int64_t txSeq);

// A short English description of `step`, for debug records and trace lines.
const char* CounterStepText(CounterStep step);

}  // namespace quorvex
