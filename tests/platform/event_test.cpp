#include "platform/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/tick.h"
#include "tests/common/timing.h"

namespace {

using platform::Event;
using platform::kInfinite;
using platform::WaitForEvents;

// Waits (bounded) until cond holds.
template <class Cond>
bool Eventually(Cond cond, uint32_t ms = 5000) {
  uint64_t end = platform::GetTickCount64() + ms;
  while (!cond()) {
    if (platform::GetTickCount64() > end) return false;
    platform::Sleep(1);
  }
  return true;
}

TEST(Event, ManualResetReleasesEveryWaiterAndStaysSet) {
  Event ev(true);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i)
    waiters.emplace_back([&] {
      if (ev.Wait(kInfinite)) ++released;
    });
  platform::Sleep(20);
  EXPECT_EQ(released, 0);
  ev.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released, 4);
  EXPECT_TRUE(ev.Wait(0));
  EXPECT_TRUE(ev.Wait(0));
  ev.Reset();
  EXPECT_FALSE(ev.Wait(0));
}

TEST(Event, AutoResetReleasesOneWaiterPerSet) {
  Event ev(false);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      if (ev.Wait(10000)) ++released;
    });
  for (int n = 1; n <= 3; ++n) {
    ev.Set();
    ASSERT_TRUE(Eventually([&] { return released == n; }));
    platform::Sleep(20);
    EXPECT_EQ(released, n) << "one Set released more than one waiter";
  }
  for (auto& t : waiters) t.join();
  EXPECT_FALSE(ev.Wait(0));  // the last waiter consumed the signal
}

TEST(Event, InitialStateAndConsumption) {
  Event manual(true, true), automatic(false, true);
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(automatic.Wait(0));
  EXPECT_FALSE(automatic.Wait(0));
  automatic.Set();
  automatic.Set();  // setting a set event does not count twice
  EXPECT_TRUE(automatic.Wait(0));
  EXPECT_FALSE(automatic.Wait(0));
}

TEST(Event, TimedWaitLastsAtLeastTheTimeOut) {
  for (bool manual : {true, false}) {
    for (uint32_t ms : {0u, 30u, 120u}) {
      Event ev(manual);
      ExpectTimesOutAfter(ms, [&] { return ev.Wait(ms); });
    }
  }
  Event a(false), b(true);
  ExpectTimesOutAfter(60, [&] { return WaitForEvents({&a, &b}, false, 60) != platform::kWaitTimeout; });
}

TEST(Event, WaitAnyReturnsTheLowestSetIndexAndConsumesOnlyIt) {
  Event a(false), b(false), c(true);
  b.Set();
  c.Set();
  EXPECT_EQ(WaitForEvents({&a, &b, &c}, false, 0), 1);
  EXPECT_FALSE(b.Wait(0));                              // consumed
  EXPECT_EQ(WaitForEvents({&a, &b, &c}, false, 0), 2);  // manual: stays set
  EXPECT_EQ(WaitForEvents({&a, &b, &c}, false, 0), 2);
  c.Reset();
  EXPECT_EQ(WaitForEvents({&a, &b, &c}, false, 30), platform::kWaitTimeout);
}

TEST(Event, WaitAnyWakesWhenAnotherThreadSets) {
  Event a(false), b(false), c(false);
  std::thread setter([&] {
    platform::Sleep(30);
    c.Set();
  });
  EXPECT_EQ(WaitForEvents({&a, &b, &c}, false, kInfinite), 2);
  setter.join();
  EXPECT_FALSE(c.Wait(0));
}

TEST(Event, WaitAllTakesNothingUntilEveryEventIsSet) {
  Event a(false), b(false), m(true);
  a.Set();
  m.Set();
  EXPECT_EQ(WaitForEvents({&a, &b, &m}, true, 40), platform::kWaitTimeout);
  EXPECT_TRUE(a.Wait(0)) << "a partial wait-all consumed an auto-reset event";
  a.Set();
  std::thread setter([&] {
    platform::Sleep(30);
    b.Set();
  });
  EXPECT_EQ(WaitForEvents({&a, &b, &m}, true, 10000), 0);
  setter.join();
  EXPECT_FALSE(a.Wait(0));
  EXPECT_FALSE(b.Wait(0));
  EXPECT_TRUE(m.Wait(0));
}

TEST(Event, WaitForEventsRejectsBadLists) {
  Event a(false);
  EXPECT_EQ(WaitForEvents(nullptr, 0, false, 0), platform::kWaitFailed);
  EXPECT_EQ(WaitForEvents({&a, nullptr}, false, 0), platform::kWaitFailed);
  EXPECT_EQ(WaitForEvents({&a, &a}, true, 0), platform::kWaitFailed);
}

// Ping-pong through WaitForEvents and plain waits: a lost wake-up hangs and fails the bounded waits.
TEST(Event, NoLostWakeUpsBetweenTwoThreads) {
  Event ping(false), pong(false), quit(true);
  constexpr int kRounds = 2000;
  std::atomic<int> answered{0};
  std::thread peer([&] {
    for (;;) {
      int r = WaitForEvents({&quit, &ping}, false, 10000);
      if (r != 1) return;
      ++answered;
      pong.Set();
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    ping.Set();
    ASSERT_TRUE(pong.Wait(10000)) << "round " << i;
  }
  quit.Set();
  peer.join();
  EXPECT_EQ(answered, kRounds);
}

}  // namespace
