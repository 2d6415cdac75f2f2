#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "platform/event.h"
#include "tests/common/timing.h"

namespace {

using platform::Thread;

TEST(Thread, RunsNamedAndJoinReturnsTheExitCode) {
  struct Case {
    std::string name, seen;
  } cases[] = {
      {"sockio_thread", "sockio_thread"},
      {"_RecvMediaThread", "_RecvMediaThrea"},  // the system keeps 15 characters
      {"", ""},
  };
  for (const Case& c : cases) {
    Thread t;
    std::string seen;
    ASSERT_TRUE(t.Start(c.name, [&] {
      seen = platform::CurrentThreadName();
      return 42u;
    }));
    EXPECT_EQ(t.Join(), 42u);
    EXPECT_FALSE(t.Joinable());
    if (!c.name.empty()) {
      EXPECT_EQ(seen, c.seen);
    }
  }
}

TEST(Thread, WaitTimesOutWhileTheFunctionRuns) {
  platform::Event go(true);
  Thread t;
  ASSERT_TRUE(t.Start("waiter", [&] {
    go.Wait();
    return 7u;
  }));
  ExpectTimesOutAfter(50, [&] { return t.Wait(50); });
  EXPECT_TRUE(t.Joinable());
  go.Set();
  EXPECT_TRUE(t.Wait(10000));
  EXPECT_EQ(t.Join(), 7u);
  EXPECT_EQ(t.Join(), 0u);  // nothing held any more
}

TEST(Thread, OneThreadAtATimeAndRestartAfterJoin) {
  platform::Event go(true);
  Thread t;
  ASSERT_TRUE(t.Start("first", [&] {
    go.Wait();
    return 1u;
  }));
  EXPECT_FALSE(t.Start("second", [] { return 2u; }));
  go.Set();
  EXPECT_EQ(t.Join(), 1u);
  ASSERT_TRUE(t.Start("second", [] { return 2u; }));
  EXPECT_EQ(t.Join(), 2u);
  EXPECT_FALSE(t.Start("empty", nullptr));
}

TEST(Thread, DestructorJoins) {
  std::atomic<bool> finished{false};
  {
    Thread t;
    ASSERT_TRUE(t.Start("late", [&] {
      platform::Sleep(50);
      finished = true;
      return 0u;
    }));
  }
  EXPECT_TRUE(finished);
}

}  // namespace
