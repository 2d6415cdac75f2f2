// Checks on waits that must time out: never early, and not absurdly late even on a loaded machine.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "platform/tick.h"

// Runs wait(), expects it to return false (timed out) after at least ms milliseconds.
template <class Wait>
void ExpectTimesOutAfter(uint32_t ms, Wait wait) {
  uint64_t start = platform::GetTickCount64();
  EXPECT_FALSE(wait()) << "did not time out (" << ms << " ms)";
  uint64_t elapsed = platform::GetTickCount64() - start;
  EXPECT_GE(elapsed + 1, ms);  // +1: both readings are cut to whole milliseconds
  EXPECT_LT(elapsed, ms + 3000u);
}
