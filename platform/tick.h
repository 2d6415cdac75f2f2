// Millisecond tick count and sleep.
#pragma once

#include <cstdint>

namespace platform {

// Wait time-out meaning "no limit".
constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// Milliseconds of the monotonic clock, wrapping at 2^32 (about 49.7 days); compare ticks by unsigned
// subtraction.
uint32_t GetTickCount();

// The same clock as GetTickCount without the wrap.
uint64_t GetTickCount64();

// Blocks the calling thread for ms milliseconds; 0 only yields the processor.
void Sleep(uint32_t ms);

}  // namespace platform
