#include "platform/mm_timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/event.h"

namespace {

using platform::MmTimer;

TEST(MmTimer, CallsBackPeriodicallyOnItsOwnNamedThread) {
  MmTimer timer;
  std::atomic<int> calls{0};
  std::atomic<bool> other_thread{true};
  std::string name;
  const auto main_id = std::this_thread::get_id();
  uint64_t start = platform::GetTickCount64();
  std::atomic<uint64_t> first_at{0};
  ASSERT_TRUE(timer.Start(
      20,
      [&] {
        if (calls == 0) {
          first_at = platform::GetTickCount64();
          name = platform::CurrentThreadName();
        }
        if (std::this_thread::get_id() == main_id) other_thread = false;
        ++calls;
      },
      "playout_timer"));
  EXPECT_TRUE(timer.Running());
  EXPECT_FALSE(timer.Start(20, [] {}));  // already running
  platform::Sleep(400);
  timer.Kill();
  uint64_t elapsed = platform::GetTickCount64() - start;
  EXPECT_FALSE(timer.Running());
  int n = calls;
  EXPECT_GE(n, 8);  // about 20 at 20 ms; a loaded machine runs late, never early
  EXPECT_LE(n, static_cast<int>(elapsed / 20) + 1);
  EXPECT_GE(first_at - start + 1, 20u);  // the first call comes one period after the start
  EXPECT_TRUE(other_thread);
  EXPECT_EQ(name, "playout_timer");
  platform::Sleep(60);
  EXPECT_EQ(calls, n) << "called after Kill";
}

TEST(MmTimer, KillWaitsForARunningCallback) {
  MmTimer timer;
  platform::Event entered(true);
  std::atomic<bool> finished{false};
  std::atomic<int> calls{0};
  ASSERT_TRUE(timer.Start(10, [&] {
    ++calls;
    if (calls == 1) {
      entered.Set();
      platform::Sleep(150);
      finished = true;
    }
  }));
  ASSERT_TRUE(entered.Wait(10000));
  timer.Kill();
  EXPECT_TRUE(finished) << "Kill returned while the callback still ran";
  EXPECT_EQ(calls, 1);
}

TEST(MmTimer, KillFromTheCallbackStopsItAndTheTimerCanStartAgain) {
  MmTimer timer;
  std::atomic<int> calls{0};
  ASSERT_TRUE(timer.Start(5, [&] {
    if (++calls == 3) timer.Kill();
  }));
  for (int i = 0; i < 1000 && timer.Running(); ++i) platform::Sleep(5);
  platform::Sleep(50);
  EXPECT_EQ(calls, 3);
  EXPECT_FALSE(timer.Running());
  platform::Event again(true);
  ASSERT_TRUE(timer.Start(5, [&] { again.Set(); }));
  EXPECT_TRUE(again.Wait(10000));
}

TEST(MmTimer, TicksMissedByALateCallbackAreSkippedNotBunched) {
  MmTimer timer;
  std::mutex mu;
  std::vector<uint64_t> starts;
  std::atomic<uint64_t> long_end{0};
  ASSERT_TRUE(timer.Start(20, [&] {
    uint64_t now = platform::GetTickCount64();
    size_t index;
    {
      std::lock_guard<std::mutex> lk(mu);
      starts.push_back(now);
      index = starts.size();
    }
    if (index == 1) {
      platform::Sleep(300);  // fifteen ticks late
      long_end = platform::GetTickCount64();
    }
  }));
  platform::Sleep(600);
  timer.Kill();
  std::lock_guard<std::mutex> lk(mu);
  ASSERT_GE(starts.size(), 2u);
  int soon_after = 0;
  for (size_t i = 1; i < starts.size(); ++i)
    if (starts[i] < long_end + 30) ++soon_after;
  EXPECT_LE(soon_after, 2) << "missed ticks were delivered in a burst";
}

TEST(MmTimer, RejectsAZeroPeriodOrNoCallback) {
  MmTimer timer;
  EXPECT_FALSE(timer.Start(0, [] {}));
  EXPECT_FALSE(timer.Start(10, nullptr));
  EXPECT_FALSE(timer.Running());
  timer.Kill();  // harmless when not running
}

}  // namespace
