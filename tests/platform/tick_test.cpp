#include "platform/tick.h"

#include <gtest/gtest.h>

namespace {

TEST(Tick, SleepAdvancesTheTickByAtLeastTheTime) {
  for (uint32_t ms : {1u, 20u, 60u}) {
    uint32_t before = platform::GetTickCount();
    platform::Sleep(ms);
    uint32_t elapsed = platform::GetTickCount() - before;  // unsigned difference survives the wrap
    EXPECT_GE(elapsed + 1, ms) << ms;                      // +1: both readings are cut to whole milliseconds
    EXPECT_LT(elapsed, ms + 2000) << ms;
  }
}

TEST(Tick, IsTheLow32BitsOfTheWideTick) {
  uint64_t wide = platform::GetTickCount64();
  uint32_t narrow = platform::GetTickCount();
  EXPECT_LE(static_cast<uint32_t>(narrow - static_cast<uint32_t>(wide)), 5u);
}

}  // namespace
