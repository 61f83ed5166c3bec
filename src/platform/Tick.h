// Millisecond tick count: the time since the machine started, from the
// monotonic clock, as the 32-bit value that wraps after about 49.7 days.
// Trace lines print it and the timing loops compare ages with it.
#pragma once
#include <cstdint>

namespace quorvex {

// Milliseconds of the monotonic clock, truncated to 32 bits.
uint32_t GetTickCount32();
// Milliseconds of the monotonic clock, never wrapping.
uint64_t GetTickCount64();
// Milliseconds since the Unix epoch of the calendar clock (UTC), which the
// operator's time settings may move.
int64_t UnixTimeMs();

}  // namespace quorvex
