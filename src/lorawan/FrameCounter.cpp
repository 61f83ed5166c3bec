#include "lorawan/FrameCounter.h"

namespace quorvex {

namespace {

constexpr uint64_t kLowBits = 0xFFFF;       // what a frame carries
constexpr uint64_t kHighStep = 0x10000;     // one turn of the low bits
constexpr uint64_t kLargestCounter = 0xFFFFFFFF;

// A refused counter is read the nearer way: one turn of the low bits back
// (an old frame) or as far ahead as it stands.
CounterStep StepFrom(uint64_t stored, uint64_t candidate) {
  if (candidate <= kLargestCounter && candidate - stored <= kMaxFCntGap) return CounterStep::kNew;
  const bool hasTurnBack = candidate >= kHighStep;
  const bool nearerBack = hasTurnBack && stored - (candidate - kHighStep) < candidate - stored;
  return nearerBack ? CounterStep::kBehind : CounterStep::kTooFar;
}

}  // namespace

UplinkCounter ReconstructUplinkCounter(uint16_t fcnt, int64_t stored) {
  if (stored < 0) return {fcnt, CounterStep::kNew};
  const uint64_t last = static_cast<uint64_t>(stored);
  const uint64_t sameHigh = (last & ~kLowBits) | fcnt;
  if (sameHigh == last) return {static_cast<uint32_t>(last), CounterStep::kRepeat};
  const uint64_t candidate = sameHigh > last ? sameHigh : sameHigh + kHighStep;
  return {static_cast<uint32_t>(candidate), StepFrom(last, candidate)};
}

uint32_t NextDownlinkCounter(int64_t txSeq) {
  if (txSeq < 0 || static_cast<uint64_t>(txSeq) >= kLargestCounter) return 0;
  return static_cast<uint32_t>(txSeq + 1);
}

const char* CounterStepText(CounterStep step) {
  switch (step) {
    case CounterStep::kNew: return "new";
    case CounterStep::kRepeat: return "repeat";
    case CounterStep::kBehind: return "behind the stored counter";
    case CounterStep::kTooFar: return "too far ahead of the stored counter";
  }
  return "unknown";
}

}  // namespace quorvex
