#include "util/blocking_queue.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "platform/tick.h"
#include "tests/common/timing.h"

namespace {

uint64_t Now() { return platform::GetTickCount64(); }

TEST(BlockingQueue, StreamsBytesInOrderBetweenTwoThreads) {
  BlockingQueue q;
  ASSERT_TRUE(q.Init(97));
  constexpr size_t kTotal = 200000;
  std::thread producer([&] {
    std::mt19937 rng(3);
    size_t sent = 0;
    uint8_t buf[64];
    while (sent < kTotal) {
      size_t n = std::min<size_t>(1 + rng() % 64, kTotal - sent);
      for (size_t i = 0; i < n; ++i) buf[i] = static_cast<uint8_t>((sent + i) * 31);
      if (rng() % 2) {
        size_t done = 0;
        while (done < n) {
          int put = q.Put(buf + done, static_cast<uint32_t>(n - done), 10000);
          ASSERT_GT(put, 0);
          done += static_cast<size_t>(put);
        }
      } else {
        ASSERT_EQ(q.PutN(buf, static_cast<uint32_t>(n), 10000), static_cast<int>(n));
      }
      sent += n;
    }
  });
  std::mt19937 rng(4);
  size_t got = 0;
  uint8_t buf[96];
  while (got < kTotal) {
    // GetN of w and PutN of n could wait for each other if w + n exceeded the usable 96 bytes.
    uint32_t want = static_cast<uint32_t>(std::min<size_t>(1 + rng() % 32, kTotal - got));
    int n = (rng() % 2) ? q.Get(buf, want, 10000) : q.GetN(buf, want, 10000);
    ASSERT_GT(n, 0);
    for (int i = 0; i < n; ++i)
      ASSERT_EQ(buf[i], static_cast<uint8_t>((got + static_cast<size_t>(i)) * 31)) << got;
    got += static_cast<size_t>(n);
  }
  producer.join();
}

TEST(BlockingQueue, GetNTimesOutAndLeavesWhatIsStored) {
  BlockingQueue q;
  ASSERT_TRUE(q.Init(64));
  ASSERT_EQ(q.Put("abcd", 4, 0), 4);
  char out[16];
  ExpectTimesOutAfter(100, [&] { return q.GetN(out, 10, 100) != -1; });
  EXPECT_EQ(q.Get(out, 16, 0), 4);
  EXPECT_EQ(std::string(out, 4), "abcd");
  ExpectTimesOutAfter(30, [&] { return q.Get(out, 16, 30) != -1; });
}

TEST(BlockingQueue, EachWaitIsBoundedByTheTimeOutOnItsOwn) {
  // Bytes that trickle in keep a GetN waiting past its time-out, since every wake-up waits the full time
  // again.
  BlockingQueue q;
  ASSERT_TRUE(q.Init(64));
  std::thread producer([&] {
    for (int i = 0; i < 5; ++i) {
      platform::Sleep(80);
      q.Put("x", 1, 1000);
    }
  });
  char out[8];
  uint64_t start = Now();
  EXPECT_EQ(q.GetN(out, 5, 350), 5);
  EXPECT_GE(Now() - start + 1, 350u);
  producer.join();
}

TEST(BlockingQueue, PutWaitsForSpaceAndTimesOutWhenFull) {
  BlockingQueue q;
  ASSERT_TRUE(q.Init(8));
  EXPECT_EQ(q.Put("0123456789", 10, 0), 7);  // capacity - 1 usable
  ExpectTimesOutAfter(60, [&] { return q.Put("z", 1, 60) != 0; });
  EXPECT_EQ(q.PutN("zz", 2, 0), 0);
  std::thread consumer([&] {
    platform::Sleep(40);
    char out[3];
    q.GetN(out, 3, 1000);
  });
  EXPECT_EQ(q.PutN("xyz", 3, 5000), 3);
  consumer.join();
  char out[8];
  EXPECT_EQ(q.Get(out, 8, 0), 7);
  EXPECT_EQ(std::string(out, 7), "3456xyz");
}

TEST(BlockingQueue, RequestsBeyondTheUsableSizeFailAtOnce) {
  BlockingQueue q;
  ASSERT_TRUE(q.Init(8));
  char buf[8] = {};
  uint64_t start = Now();
  EXPECT_EQ(q.PutN(buf, 8, -1), 0);  // could never fit: no endless wait
  EXPECT_EQ(q.GetN(buf, 8, -1), -1);
  EXPECT_LT(Now() - start, 1000u);
  EXPECT_EQ(q.PutN(buf, 7, 0), 7);
}

TEST(BlockingQueue, WithoutARingEveryTransferFails) {
  BlockingQueue q;
  char buf[4] = {};
  EXPECT_EQ(q.Get(buf, 4, -1), -1);
  EXPECT_EQ(q.GetN(buf, 4, -1), -1);
  EXPECT_EQ(q.Put(buf, 4, -1), 0);
  EXPECT_EQ(q.PutN(buf, 4, -1), 0);
  EXPECT_TRUE(q.Init(16));
  q.Destroy();
  q.Destroy();
  EXPECT_EQ(q.Put(buf, 4, 0), 0);
}

}  // namespace
