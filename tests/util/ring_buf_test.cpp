#include "util/ring_buf.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

struct FreeRing {
  void operator()(RingBuf* rb) const { std::free(rb); }
};
using Ring = std::unique_ptr<RingBuf, FreeRing>;

TEST(RingBuf, KeepsOneByteFree) {
  Ring rb(RingBufCreate(8));
  ASSERT_TRUE(rb);
  EXPECT_EQ(RingBufUsed(rb.get()), 0u);
  EXPECT_EQ(RingBufLacksSpace(rb.get(), 7), 0);
  EXPECT_EQ(RingBufLacksSpace(rb.get(), 8), 1);
  EXPECT_EQ(RingBufWriteSome(rb.get(), "abcdefghij", 10), 7u);
  EXPECT_EQ(RingBufUsed(rb.get()), 7u);
  EXPECT_EQ(RingBufLacksSpace(rb.get(), 1), 1);
  EXPECT_EQ(RingBufWriteSome(rb.get(), "12345", 5), 0u);
  RingBufWrite(rb.get(), "x", 1);  // does not fit: nothing stored, nothing overwritten
  char out[8] = {};
  EXPECT_EQ(RingBufRead(rb.get(), out, sizeof(out)), 7u);
  EXPECT_STREQ(out, "abcdefg");
  EXPECT_EQ(RingBufUsed(rb.get()), 0u);
  EXPECT_EQ(rb->read, rb->write);
  EXPECT_FALSE(Ring(RingBufCreate(0)));
}

TEST(RingBuf, WrapsAroundAndShowsTwoRegions) {
  Ring rb(RingBufCreate(10));
  RingBufWrite(rb.get(), "0123456", 7);
  char out[16] = {};
  EXPECT_EQ(RingBufRead(rb.get(), out, 5), 5u);  // read = 5, write = 7
  RingBufWrite(rb.get(), "789ABC", 6);           // wraps: write = 3
  EXPECT_EQ(rb->write, 3u);
  EXPECT_EQ(RingBufUsed(rb.get()), 8u);
  RingBufRegion r[2];
  ASSERT_EQ(RingBufReadRegions(rb.get(), r), 2);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(r[0].data), r[0].len), "56789");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(r[1].data), r[1].len), "ABC");
  EXPECT_EQ(r[0].len + r[1].len, RingBufUsed(rb.get()));
  EXPECT_EQ(RingBufPeek(rb.get(), out, 16), 8u);  // across the wrap, nothing consumed
  EXPECT_EQ(std::string(out, 8), "56789ABC");
  EXPECT_EQ(RingBufSkip(rb.get(), 6), 6u);
  ASSERT_EQ(RingBufReadRegions(rb.get(), r), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(r[0].data), r[0].len), "BC");
  EXPECT_EQ(RingBufSkip(rb.get(), 100), 2u);
  EXPECT_EQ(RingBufReadRegions(rb.get(), r), 0);
}

// Random operations against a deque model.
TEST(RingBuf, BehavesLikeAQueueUnderRandomUse) {
  for (uint32_t cap : {1u, 2u, 7u, 64u}) {
    Ring rb(RingBufCreate(cap));
    std::deque<uint8_t> model;
    std::mt19937 rng(cap);
    uint8_t next = 0;
    for (int step = 0; step < 5000; ++step) {
      uint32_t n = rng() % (cap + 3);
      std::vector<uint8_t> buf(n + 1);
      switch (rng() % 5) {
        case 0: {
          for (uint32_t i = 0; i < n; ++i) buf[i] = next++;
          uint32_t put = RingBufWriteSome(rb.get(), buf.data(), n);
          ASSERT_EQ(put, std::min<uint32_t>(n, cap - 1 - static_cast<uint32_t>(model.size())));
          model.insert(model.end(), buf.begin(), buf.begin() + put);
          next = static_cast<uint8_t>(next - (n - put));
          break;
        }
        case 1: {
          uint32_t got = RingBufRead(rb.get(), buf.data(), n);
          ASSERT_EQ(got, std::min<uint32_t>(n, static_cast<uint32_t>(model.size())));
          for (uint32_t i = 0; i < got; ++i, model.pop_front()) ASSERT_EQ(buf[i], model.front());
          break;
        }
        case 2: {
          uint32_t got = RingBufPeek(rb.get(), buf.data(), n);
          for (uint32_t i = 0; i < got; ++i) ASSERT_EQ(buf[i], model[i]);
          break;
        }
        case 3: {
          uint32_t dropped = RingBufSkip(rb.get(), n);
          model.erase(model.begin(), model.begin() + dropped);
          break;
        }
        default: {
          RingBufRegion r[2];
          int count = RingBufReadRegions(rb.get(), r);
          std::vector<uint8_t> seen;
          for (int i = 0; i < count; ++i) seen.insert(seen.end(), r[i].data, r[i].data + r[i].len);
          ASSERT_EQ(seen, std::vector<uint8_t>(model.begin(), model.end()));
        }
      }
      ASSERT_EQ(RingBufUsed(rb.get()), model.size());
      ASSERT_LT(rb->read, cap);
      ASSERT_LT(rb->write, cap);
    }
  }
}

}  // namespace
