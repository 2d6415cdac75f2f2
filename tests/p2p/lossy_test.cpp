// Two sessions back to back through the impairment proxy, which drops,
// duplicates and reorders datagrams each way: every byte still arrives once
// and in order on all eight channels, across the sequence wrap and with the
// window full, and a close with data pending still ends both sides.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "tests/p2p/rdv_fixture.h"
#include "tests/p2p/session_pair.h"
#include "tools/impair/impair_proxy.h"

using namespace p2ptest;

namespace {

class p2pLossy : public PairTest {
 protected:
  // A tenth of the datagrams each way dropped, copied and held back.
  static impair::Impairment TenPercent() {
    impair::Impairment bad;
    bad.drop = bad.duplicate = bad.reorder = 0.10;
    return bad;
  }
  // a talks to the proxy, the proxy to b; b answers where a's datagrams come from.
  void Through(const impair::Impairment& each_way, uint64_t seed, int* a, int* b) {
    *a = Open(p2p::kRoleClient);
    *b = Open(p2p::kRoleDevice);
    impair::ProxyConfig pc;
    pc.upstream = "127.0.0.1:" + std::to_string(ntohs(Addr(*b).sin_port));
    pc.seed = seed;
    pc.up = pc.down = each_way;
    proxy = std::make_unique<impair::ImpairProxy>(pc);
    std::string why;
    ASSERT_TRUE(proxy->Start(&why)) << why;
    const sockaddr_in via = RVP_LoopbackAddr(proxy->port());
    sockaddr_in seen{};
    ASSERT_TRUE(rdvsim::WireLearnPath(*a, *b, via, &seen));
    Start(*a, via);
    Start(*b, seen);
  }
  void TearDown() override {
    PairTest::TearDown();
    if (proxy) proxy->Stop();
  }
  std::unique_ptr<impair::ImpairProxy> proxy;
};

TEST_F(p2pLossy, EveryByteOnceAndInOrderThroughDropsCopiesAndReordering) {
  int a, b;
  Through(TenPercent(), 20240607, &a, &b);
  FirstSeq(a, b, 65450);
  // 160 packets a channel and way: more than the window of 128 in flight.
  ExchangeAll(a, b, 160 * 1024, 120000);
  impair::ProxyCounters c = proxy->counters();
  for (const impair::DirectionCounters* d : {&c.up, &c.down}) {
    EXPECT_GT(d->dropped, 100u);
    EXPECT_GT(d->duplicated, 100u);
    EXPECT_GT(d->reordered, 100u);
  }
  // A close with data pending: the writer's close waits for the last
  // acknowledgement; the other side learns of it from the close message or,
  // when that is lost, from the silence.
  ASSERT_TRUE(PumpStream(a, 4, 77, 64 * 1024));
  std::thread reader([&] { EXPECT_EQ(DrainStream(b, 4, 77, 64 * 1024, 60000), 64u * 1024); });
  EXPECT_EQ(RVS_Close(a), 0);
  reader.join();
  RVS_SessionInfo info;
  int r = 0;
  EXPECT_TRUE(WaitUntil(
      [&] {
        r = RVS_Check(b, &info);
        return r == RVS_ERR_SESSION_CLOSED_REMOTE || r == RVS_ERR_SESSION_CLOSED_TIMEOUT;
      },
      30000))
      << r;
}

TEST_F(p2pLossy, UnreliablePacketsMayBeLostButNeverArriveOutOfOrder) {
  int a, b;
  Through(TenPercent(), 7, &a, &b);
  int last = -1, got = 0;
  std::thread reader([&] {
    for (;;) {
      char buf[8];
      int size = 8;
      if (RVS_PktRecv(b, 2, buf, &size, 1000) != 0) break;
      ASSERT_EQ(size, 2);
      int v = static_cast<uint8_t>(buf[0]) << 8 | static_cast<uint8_t>(buf[1]);
      EXPECT_GT(v, last) << "no copy and nothing older than what came";
      last = v;
      ++got;
    }
  });
  for (int i = 0; i < 300; ++i) {
    uint8_t n[2] = {static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
    ASSERT_EQ(RVS_PktSend(a, 2, reinterpret_cast<const char*>(n), 2), 2);
    p2p::SleepMs(1);
  }
  reader.join();
  EXPECT_GT(got, 150);
  EXPECT_LT(got, 300);
}

}  // namespace
