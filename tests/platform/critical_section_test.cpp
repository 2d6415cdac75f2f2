#include "platform/critical_section.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

namespace {

using platform::CriticalSection;

bool OtherThreadCanEnter(CriticalSection& cs) {
  bool entered = false;
  std::thread([&] {
    entered = cs.TryEnter();
    if (entered) cs.Leave();
  }).join();
  return entered;
}

TEST(CriticalSection, OwnerReentersAndOthersWaitForTheLastLeave) {
  CriticalSection cs;
  cs.Enter();
  cs.Enter();
  EXPECT_TRUE(cs.TryEnter());
  EXPECT_FALSE(OtherThreadCanEnter(cs));
  cs.Leave();
  cs.Leave();
  EXPECT_FALSE(OtherThreadCanEnter(cs));
  cs.Leave();
  EXPECT_TRUE(OtherThreadCanEnter(cs));
}

TEST(CriticalSection, SerialisesThreads) {
  CriticalSection cs;
  long counter = 0;  // plain on purpose: only the lock protects it
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        std::lock_guard<CriticalSection> outer(cs);
        std::lock_guard<CriticalSection> inner(cs);
        ++counter;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 80000);
}

}  // namespace
