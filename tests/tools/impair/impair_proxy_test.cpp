#include "tools/impair/impair_proxy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/tools/impair/udp_peer.h"

namespace {

using impair::Impairment;
using impair::ImpairDice;
using impair::ImpairProxy;
using impair::ProxyConfig;
using impairtest::Datagram;
using impairtest::NowMs;
using impairtest::UdpPeer;
using impairtest::WaitFor;

ProxyConfig ConfigFor(const UdpPeer& upstream, uint64_t seed = 1) {
  ProxyConfig c;
  c.upstream = upstream.address();
  c.seed = seed;
  return c;
}

void StartOrFail(ImpairProxy& proxy) {
  std::string error;
  ASSERT_TRUE(proxy.Start(&error)) << error;
  ASSERT_NE(proxy.port(), 0);
}

// Gathers the numbers that reach a peer, in order.
struct Sink {
  explicit Sink(const UdpPeer& peer) : peer(peer) {}
  // Takes what arrives until nothing comes for quiet_ms.
  void Take(int quiet_ms) {
    while (auto d = peer.Recv(quiet_ms)) got.push_back(std::stoi(d->data));
  }
  const UdpPeer& peer;
  std::vector<int> got;
};

// The numbers that reach `peer`, in order, until nothing comes for quiet_ms.
std::vector<int> Collect(const UdpPeer& peer, int quiet_ms) {
  Sink sink(peer);
  sink.Take(quiet_ms);
  return sink.got;
}

// Sends datagrams "first".."first+n-1" to `to`, a batch at a time, waiting after each batch until the
// proxy has read it (read() returns the proxy's received counter) and the receiving end has taken what
// arrived, so that none are lost in kernel buffers however small they are.
template <class Received>
void SendNumbered(const UdpPeer& from, const sockaddr_in& to, int first, int n, Received read,
                  Sink* sink = nullptr) {
  const uint64_t base = read();
  for (int i = 0; i < n; ++i) {
    from.SendTo(to, std::to_string(first + i));
    if ((i + 1) % 50 == 0 || i + 1 == n) {
      const uint64_t want = base + static_cast<uint64_t>(i + 1);
      ASSERT_TRUE(WaitFor([&] {
        if (sink) sink->Take(0);
        return read() >= want;
      })) << "proxy read " << read() - base << " of " << i + 1;
      if (sink) sink->Take(0);
    }
  }
}

TEST(ImpairDiceTest, SameSeedSameDecisionsAndDelaysWithinJitter) {
  const Impairment imp{0.3, 0.3, 0.3, 20, 10};
  ImpairDice a(imp, 7), b(imp, 7), c(imp, 8);
  bool differs = false;
  for (int i = 0; i < 1000; ++i) {
    ImpairDice::Decision x = a.Next(), y = b.Next(), z = c.Next();
    ASSERT_EQ(x.drop, y.drop);
    ASSERT_EQ(x.duplicate, y.duplicate);
    ASSERT_EQ(x.reorder, y.reorder);
    ASSERT_EQ(x.delay_us, y.delay_us);
    ASSERT_EQ(x.dup_delay_us, y.dup_delay_us);
    differs |= x.drop != z.drop || x.delay_us != z.delay_us;
    for (int64_t d : {x.delay_us, x.dup_delay_us}) {
      ASSERT_GE(d, 10000);
      ASSERT_LE(d, 30000);
    }
  }
  EXPECT_TRUE(differs);

  // Jitter larger than the delay never makes a negative delay.
  ImpairDice small(Impairment{0, 0, 0, 5, 10}, 1);
  int zero = 0;
  for (int i = 0; i < 1000; ++i) {
    int64_t d = small.Next().delay_us;
    ASSERT_GE(d, 0);
    ASSERT_LE(d, 15000);
    zero += d == 0;
  }
  EXPECT_GT(zero, 100);
}

TEST(ImpairProxyTest, RefusesBadConfiguration) {
  struct Case {
    const char* what;
    ProxyConfig config;
    const char* error;
  };
  auto with = [](auto change) {
    ProxyConfig c;
    c.upstream = "127.0.0.1:9";
    change(c);
    return c;
  };
  const Case cases[] = {
      {"listen outside loopback", with([](ProxyConfig& c) { c.listen = "0.0.0.0:0"; }), "127.0.0.0/8"},
      {"upstream outside loopback", with([](ProxyConfig& c) { c.upstream = "10.1.2.3:9"; }), "127.0.0.0/8"},
      {"no upstream", with([](ProxyConfig& c) { c.upstream = ""; }), "bad address"},
      {"upstream port 0", with([](ProxyConfig& c) { c.upstream = "127.0.0.1:0"; }), "port"},
      {"host name", with([](ProxyConfig& c) { c.upstream = "localhost:9"; }), "numeric IPv4"},
      {"port too large", with([](ProxyConfig& c) { c.listen = "127.0.0.1:65536"; }), "bad port"},
      {"port not a number", with([](ProxyConfig& c) { c.listen = "127.0.0.1:x"; }), "bad port"},
      {"drop above 1", with([](ProxyConfig& c) { c.up.drop = 1.5; }), "probabilities"},
      {"negative duplicate", with([](ProxyConfig& c) { c.down.duplicate = -0.1; }), "probabilities"},
      {"reorder NaN", with([](ProxyConfig& c) { c.up.reorder = std::nan(""); }), "probabilities"},
      {"no mappings", with([](ProxyConfig& c) { c.max_mappings = 0; }), "max_mappings"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ImpairProxy proxy(c.config);
    std::string error;
    EXPECT_FALSE(proxy.Start(&error));
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
  }
}

TEST(ImpairProxyTest, AllowAnyLiftsTheLoopbackRule) {
  // Nothing is sent: the test only shows that the address is accepted.
  ProxyConfig c;
  c.upstream = "192.0.2.1:9";
  c.allow_any = true;
  ImpairProxy proxy(c);
  StartOrFail(proxy);
  EXPECT_EQ(proxy.listen_address(), "127.0.0.1:" + std::to_string(proxy.port()));
}

TEST(ImpairProxyTest, RelaysBothWaysAndKeepsClientsApart) {
  UdpPeer upstream;
  ProxyConfig config = ConfigFor(upstream);
  config.max_mappings = 3;
  ImpairProxy proxy(config);
  StartOrFail(proxy);
  const sockaddr_in to = impairtest::Loopback(proxy.port());

  UdpPeer clients[3];
  std::set<uint16_t> sources;
  for (int round = 0; round < 5; ++round) {
    for (int i = 0; i < 3; ++i) clients[i].SendTo(to, "c" + std::to_string(i) + ":" + std::to_string(round));
    for (int i = 0; i < 3; ++i) {
      auto d = upstream.Recv(2000);
      ASSERT_TRUE(d);
      sources.insert(d->from_port());
      upstream.SendTo(d->from, "re " + d->data);
    }
    for (int i = 0; i < 3; ++i) {
      auto d = clients[i].Recv(2000);
      ASSERT_TRUE(d);
      EXPECT_EQ(d->data, "re c" + std::to_string(i) + ":" + std::to_string(round));
      EXPECT_EQ(d->from_port(), proxy.port());
    }
  }
  // One upstream socket per client, the same one every round.
  EXPECT_EQ(sources.size(), 3u);
  for (const UdpPeer& c : clients) EXPECT_EQ(sources.count(c.port()), 0u);
  EXPECT_EQ(proxy.mappings(), 3u);

  // A client beyond the limit gets no mapping.
  UdpPeer extra;
  extra.SendTo(to, "extra");
  ASSERT_TRUE(WaitFor([&] { return proxy.counters().up.errors == 1; }));
  EXPECT_FALSE(upstream.Recv(100));
  EXPECT_EQ(proxy.mappings(), 3u);

  impair::ProxyCounters c = proxy.counters();
  EXPECT_EQ(c.up.received, 16u);
  EXPECT_EQ(c.up.forwarded, 15u);
  EXPECT_EQ(c.down.received, 15u);
  EXPECT_EQ(c.down.forwarded, 15u);
  EXPECT_EQ(c.down.errors, 0u);
}

// Probabilities of 1 make every decision certain, so the exact sequence is known.
TEST(ImpairProxyTest, CertainImpairmentsGiveExactSequences) {
  struct Case {
    const char* what;
    bool down;
    Impairment imp;
    std::vector<int> expected;
  };
  const Case cases[] = {
      {"drop up", false, {1, 0, 0, 0, 0}, {}},
      {"duplicate up", false, {0, 1, 0, 0, 0}, {0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5}},
      {"reorder up", false, {0, 0, 1, 0, 0}, {1, 0, 3, 2, 5, 4}},
      {"drop down", true, {1, 0, 0, 0, 0}, {}},
      {"duplicate down", true, {0, 1, 0, 0, 0}, {0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5}},
      {"reorder down", true, {0, 0, 1, 0, 0}, {1, 0, 3, 2, 5, 4}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UdpPeer upstream, client;
    ProxyConfig config = ConfigFor(upstream);
    (c.down ? config.down : config.up) = c.imp;
    config.hold_ms = 5000;  // only the next datagram releases a held one
    ImpairProxy proxy(config);
    StartOrFail(proxy);
    const sockaddr_in to = impairtest::Loopback(proxy.port());
    std::vector<int> got;
    if (!c.down) {
      SendNumbered(client, to, 0, 6, [&] { return proxy.counters().up.received; });
      got = Collect(upstream, 200);
    } else {
      client.SendTo(to, "hello");
      auto hello = upstream.Recv(2000);
      ASSERT_TRUE(hello);
      SendNumbered(upstream, hello->from, 0, 6, [&] { return proxy.counters().down.received; });
      got = Collect(client, 200);
    }
    EXPECT_EQ(got, c.expected);
    const impair::DirectionCounters d = c.down ? proxy.counters().down : proxy.counters().up;
    EXPECT_EQ(d.received, 6u);
    EXPECT_EQ(d.forwarded, c.expected.size());
    EXPECT_EQ(d.dropped, c.imp.drop == 1 ? 6u : 0u);
    EXPECT_EQ(d.duplicated, c.imp.duplicate == 1 ? 6u : 0u);
    EXPECT_EQ(d.reordered, c.imp.reorder == 1 ? 3u : 0u);
  }
}

TEST(ImpairProxyTest, HeldDatagramLeavesAfterHoldTimeWhenNoNextComes) {
  UdpPeer upstream, client;
  ProxyConfig config = ConfigFor(upstream);
  config.up.reorder = 1;
  config.hold_ms = 100;
  ImpairProxy proxy(config);
  StartOrFail(proxy);
  int64_t start = NowMs();
  client.SendTo(proxy.port(), "alone");
  auto d = upstream.Recv(3000);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->data, "alone");
  EXPECT_GE(NowMs() - start, 100 - 1);
  EXPECT_EQ(proxy.counters().up.reordered, 0u);  // nothing overtook it
}

TEST(ImpairProxyTest, CountersMatchConfiguredRates) {
  constexpr int kCount = 10000;
  UdpPeer upstream, client;
  ProxyConfig config = ConfigFor(upstream, 42);
  config.up = Impairment{0.1, 0.05, 0.05, 0, 0};
  config.hold_ms = 1000;  // a slow batch must not release a held datagram early
  ImpairProxy proxy(config);
  StartOrFail(proxy);
  Sink sink(upstream);
  SendNumbered(
      client, impairtest::Loopback(proxy.port()), 0, kCount, [&] { return proxy.counters().up.received; }, &sink);
  // Every datagram read is accounted for once the last held one has gone.
  ASSERT_TRUE(WaitFor([&] {
    sink.Take(0);
    impair::DirectionCounters c = proxy.counters().up;
    return c.forwarded + c.errors == c.received - c.dropped + c.duplicated;
  }));
  sink.Take(200);
  const std::vector<int>& got = sink.got;
  const impair::DirectionCounters c = proxy.counters().up;

  // Within five standard deviations of the expected counts.
  auto near = [](uint64_t got, double n, double p) {
    double sd = std::sqrt(n * p * (1 - p));
    return std::fabs(static_cast<double>(got) - n * p) < 5 * sd;
  };
  EXPECT_EQ(c.received, uint64_t{kCount});
  EXPECT_EQ(c.errors, 0u);
  EXPECT_TRUE(near(c.dropped, kCount, 0.1)) << c.dropped;
  const double kept = kCount - static_cast<double>(c.dropped);
  EXPECT_TRUE(near(c.duplicated, kept, 0.05)) << c.duplicated;
  // A datagram is held only when none is held already, and the next kept one releases it: of the kept
  // datagrams a share h is held, where h = (1 - h) * 0.05.
  EXPECT_TRUE(near(c.reordered, kept, 0.05 / 1.05)) << c.reordered;

  // What the upstream saw agrees with the counters.
  EXPECT_EQ(got.size(), c.forwarded);
  std::map<int, int> times;
  int overtaken = 0, highest = -1;
  for (int n : got) {
    ++times[n];
    if (n < highest) ++overtaken;
    highest = std::max(highest, n);
  }
  EXPECT_EQ(times.size(), c.received - c.dropped);
  EXPECT_EQ(std::count_if(times.begin(), times.end(), [](auto& t) { return t.second == 2; }),
            static_cast<long>(c.duplicated));
  EXPECT_TRUE(std::all_of(times.begin(), times.end(), [](auto& t) { return t.second <= 2; }));
  // Each reordered datagram arrives after a later one (twice when it was duplicated too).
  EXPECT_GE(overtaken, static_cast<int>(c.reordered));
  EXPECT_LE(overtaken, 2 * static_cast<int>(c.reordered));
}

TEST(ImpairProxyTest, SameSeedGivesSameOutcome) {
  auto run = [](uint64_t seed) {
    UdpPeer upstream, client;
    ProxyConfig config = ConfigFor(upstream, seed);
    config.up = Impairment{0.2, 0.2, 0.2, 0, 0};
    config.hold_ms = 5000;  // releases depend on the order of datagrams only, never on timing
    ImpairProxy proxy(config);
    std::string error;
    EXPECT_TRUE(proxy.Start(&error)) << error;
    Sink sink(upstream);
    SendNumbered(
        client, impairtest::Loopback(proxy.port()), 0, 2000, [&] { return proxy.counters().up.received; }, &sink);
    sink.Take(300);
    return sink.got;
  };
  std::vector<int> first = run(5), second = run(5), other = run(6);
  EXPECT_GT(first.size(), 1000u);
  EXPECT_EQ(first, second);
  EXPECT_NE(first, other);
}

TEST(ImpairProxyTest, DelaysAreApplied) {
  struct Case {
    uint32_t delay_ms, jitter_ms;
  };
  for (Case c : {Case{0, 0}, Case{100, 0}, Case{100, 50}}) {
    SCOPED_TRACE(testing::Message() << "delay " << c.delay_ms << " jitter " << c.jitter_ms);
    UdpPeer upstream, client;
    ProxyConfig config = ConfigFor(upstream, 3);
    config.up.delay_ms = c.delay_ms;
    config.up.jitter_ms = c.jitter_ms;
    ImpairProxy proxy(config);
    StartOrFail(proxy);
    constexpr int kCount = 30;
    for (int i = 0; i < kCount; ++i) {
      client.SendTo(proxy.port(), std::to_string(NowMs()));
      usleep(2000);
    }
    std::vector<int64_t> latency;
    while (latency.size() < kCount) {
      auto d = upstream.Recv(3000);
      ASSERT_TRUE(d);
      latency.push_back(NowMs() - std::stoll(d->data));
    }
    std::sort(latency.begin(), latency.end());
    const int64_t low = static_cast<int64_t>(c.delay_ms) - c.jitter_ms;
    const int64_t high = static_cast<int64_t>(c.delay_ms) + c.jitter_ms;
    EXPECT_GE(latency.front(), low - 1);
    EXPECT_LT(latency[kCount / 2], high + 100);  // the median; a loaded machine may stall a few
    if (c.jitter_ms > 0) {
      EXPECT_GT(latency.back() - latency.front(), static_cast<int64_t>(c.jitter_ms) / 2);
    }
  }
}

TEST(ImpairProxyTest, MappingsExpireOnlyWhenIdle) {
  UdpPeer upstream, client;
  ProxyConfig config = ConfigFor(upstream);
  config.idle_ms = 300;
  ImpairProxy proxy(config);
  StartOrFail(proxy);

  // Traffic more often than the idle time keeps the same upstream socket.
  std::set<uint16_t> sources;
  std::optional<Datagram> d;
  int64_t last_tick = 0;
  for (int i = 0; i < 8; ++i) {
    last_tick = NowMs();
    client.SendTo(proxy.port(), "tick");
    d = upstream.Recv(2000);
    ASSERT_TRUE(d);
    sources.insert(d->from_port());
    usleep(50000);
  }
  EXPECT_EQ(sources.size(), 1u);
  EXPECT_EQ(proxy.mappings(), 1u);

  // Idle time counts from the last tick, however long the sleeps after it took.
  ASSERT_TRUE(WaitFor([&] { return proxy.mappings() == 0; }, 3000));
  EXPECT_GE(NowMs() - last_tick, 300 - 1);

  // A reply to the closed mapping goes nowhere; a new datagram opens a new one.
  upstream.SendTo(d->from, "late");
  EXPECT_FALSE(client.Recv(100));
  client.SendTo(proxy.port(), "two");
  auto again = upstream.Recv(2000);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->data, "two");
  EXPECT_EQ(proxy.mappings(), 1u);
  upstream.SendTo(again->from, "reply");
  auto reply = client.Recv(2000);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->data, "reply");
}

TEST(ImpairProxyTest, StopsPromptlyWithDatagramsWaiting) {
  UdpPeer upstream, client;
  ProxyConfig config = ConfigFor(upstream);
  config.up.delay_ms = 10000;
  ImpairProxy proxy(config);
  StartOrFail(proxy);
  for (int i = 0; i < 10; ++i) client.SendTo(proxy.port(), "late");
  ASSERT_TRUE(WaitFor([&] { return proxy.counters().up.received == 10; }));
  const int64_t start = NowMs();
  proxy.Stop();
  EXPECT_LT(NowMs() - start, 1000);
  EXPECT_EQ(proxy.counters().up.forwarded, 0u);
  EXPECT_EQ(proxy.mappings(), 0u);
  EXPECT_FALSE(upstream.Recv(100));
  proxy.Stop();  // again: nothing to do
  std::string error;
  EXPECT_FALSE(proxy.Start(&error));
  EXPECT_EQ(error, "already started");
  ImpairProxy never_started(config);  // destroyed without Start
}

TEST(ImpairProxyTest, KeepsRunningWhenUpstreamIsGone) {
  ProxyConfig config;
  {
    UdpPeer gone;
    config = ConfigFor(gone);
  }
  ImpairProxy proxy(config);
  StartOrFail(proxy);
  UdpPeer client;
  for (int i = 0; i < 20; ++i) {
    client.SendTo(proxy.port(), "x");
    usleep(2000);
  }
  ASSERT_TRUE(WaitFor([&] {
    impair::DirectionCounters c = proxy.counters().up;
    return c.received == 20 && c.forwarded + c.errors == 20;
  }));
  EXPECT_EQ(proxy.mappings(), 1u);
}

}  // namespace
