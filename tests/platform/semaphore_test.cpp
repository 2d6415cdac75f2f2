#include "platform/semaphore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/common/timing.h"

namespace {

using platform::Semaphore;

TEST(Semaphore, CountsWithinItsMaximum) {
  Semaphore s(2, 3);
  EXPECT_TRUE(s.Wait(0));
  EXPECT_TRUE(s.Wait(0));
  EXPECT_FALSE(s.Wait(0));
  int32_t prev = -1;
  EXPECT_FALSE(s.Release(4, &prev));  // past the maximum: nothing added
  EXPECT_EQ(s.Count(), 0);
  EXPECT_TRUE(s.Release(3, &prev));
  EXPECT_EQ(prev, 0);
  EXPECT_FALSE(s.Release(1, &prev));
  EXPECT_EQ(prev, 3);
  EXPECT_FALSE(s.Release(0));
  EXPECT_EQ(s.Count(), 3);
}

TEST(Semaphore, TimedWaitLastsAtLeastTheTimeOut) {
  for (uint32_t ms : {0u, 25u, 100u}) {
    Semaphore s;
    ExpectTimesOutAfter(ms, [&] { return s.Wait(ms); });
  }
}

TEST(Semaphore, EveryReleaseIsTakenExactlyOnceAcrossThreads) {
  Semaphore s;
  constexpr int kCount = 5000;
  std::atomic<int> taken{0};
  std::vector<std::thread> consumers;
  for (int c = 0; c < 3; ++c)
    consumers.emplace_back([&] {
      while (s.Wait(300)) ++taken;
    });
  for (int i = 0; i < kCount; ++i) ASSERT_TRUE(s.Release());
  for (auto& t : consumers) t.join();
  EXPECT_EQ(taken, kCount);
  EXPECT_EQ(s.Count(), 0);
}

TEST(Semaphore, ReleaseOfTwoWakesTwoWaiters) {
  Semaphore s;
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      if (s.Wait(400)) ++woken;
    });
  platform::Sleep(30);
  s.Release(2);
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken, 2);
}

}  // namespace
