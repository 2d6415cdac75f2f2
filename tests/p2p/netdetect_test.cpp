// Network detection against the rendezvous simulator run as a separate
// process, faking the HELLO answers of each NAT type.
#include "p2p/netdetect.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "p2p/cipher.h"
#include "p2p/state.h"
#include "tests/p2p/netns.h"
#include "tests/p2p/rdv_fixture.h"
#include "tests/p2p/rdvsim_process.h"

using namespace p2ptest;
using p2p::g_rvs;

namespace {

struct NatCase {
  const char* name;
  std::vector<std::string> commands;
  uint8_t internet;
  uint8_t nat;
  const char* wan;  // prefix of the WAN text
  unsigned min_ms, max_ms;
};

void PrintTo(const NatCase& c, std::ostream* os) { *os << c.name; }

class p2pNetDetect : public ::testing::TestWithParam<NatCase> {
 protected:
  void TearDown() override {
    if (g_rvs.initialized.load()) RVS_DeInitialize();
    RVP_TestSetServerPorts(0, 0);
    sim.Stop();
  }
  void Start(const std::vector<std::string>& commands) {
    std::vector<std::string> args = {"--key", kKey};
    for (const std::string& c : commands) {
      args.push_back("--cmd");
      args.push_back(c);
    }
    std::string why;
    ASSERT_TRUE(sim.Start(args, &why)) << why;
    RVP_TestSetServerPorts(sim.udp_port, sim.tcp_port);
    ASSERT_EQ(RVS_Initialize(sim.init.c_str()), 0);
  }
  RdvsimProcess sim;
};

TEST_P(p2pNetDetect, DetectsTheNatType) {
  const NatCase& c = GetParam();
  Start(c.commands);
  RVS_NetInfo info;
  std::memset(&info, 0xEE, sizeof(info));
  uint32_t start = p2p::TickMs();
  ASSERT_EQ(RVS_NetworkDetect(&info, 0), 0);
  uint32_t ms = p2p::TickMs() - start;
  EXPECT_GE(ms, c.min_ms);
  EXPECT_LE(ms, c.max_ms);
  EXPECT_EQ(info.Internet, c.internet);
  EXPECT_EQ(info.ServerNameResolved, 1);
  EXPECT_EQ(info.ServerReply, c.internet);
  EXPECT_EQ(info.NatType, c.nat);
  EXPECT_EQ(std::string(info.WanIP).rfind(c.wan, 0), 0u) << info.WanIP;
  EXPECT_STREQ(info.LanIP, c.internet ? "127.0.0.1" : "0.0.0.0");
  char lan[16], wan[16];
  p2p::RVP_NetTexts(lan, wan);
  EXPECT_STREQ(lan, info.LanIP);
  EXPECT_STREQ(wan, info.WanIP);
  EXPECT_EQ(g_rvs.nat_type.load(), c.nat);
  EXPECT_NE(g_rvs.last_net_detect.load(), 0) << "a detection with the stored init string is noted";
  for (int i = 0; i < 3; ++i) {
    char ip[16];
    EXPECT_STREQ(RVP_AddrText(g_rvs.servers[i], ip), ("127.0.0." + std::to_string(i + 1)).c_str());
    EXPECT_EQ(ntohs(g_rvs.servers[i].sin_port), sim.udp_port);
  }
  sim.Stop();
  EXPECT_TRUE(sim.exited_cleanly);
}

// The budget of 5000 ms is spent 200 ms per wait, and 200 more per server
// that answered.
INSTANTIATE_TEST_SUITE_P(
    Nat, p2pNetDetect,
    ::testing::Values(NatCase{"OneServerAnswers", {"nat 0"}, 1, 0, "127.0.0.1", 2000, 4000},
                      NatCase{"AnswerFromAnotherPort", {"nat 1"}, 1, 1, "127.0.0.1", 0, 1000},
                      NatCase{"OneMappingForAll", {"nat 2"}, 1, 2, "203.0.113.10", 0, 1000},
                      NatCase{
                          "TwoAnswerTheSamePort", {"nat 2", "silent 3 on"}, 1, 2, "203.0.113.10", 150, 1000},
                      NatCase{"AMappedPortPerServer", {"nat 3"}, 1, 3, "203.0.113.10", 0, 1000},
                      NatCase{"AWanAddressPerServer", {"nat 4"}, 1, 4, "203.0.113.", 0, 1000},
                      NatCase{"TrueMapping", {}, 1, 2, "127.0.0.1", 0, 1000}),
    [](const ::testing::TestParamInfo<NatCase>& i) { return std::string(i.param.name); });

// No server answers; a HELLO answer from another address does not count.
TEST_F(p2pNetDetect, NoServerAnswersAndForgedAnswersDoNotCount) {
  Start({"silent all on"});
  Peer forger("127.0.0.9");
  // A free port for the detection's socket, so that the forger knows it.
  uint16_t port;
  {
    Peer probe;
    port = ntohs(probe.addr.sin_port);
  }
  std::atomic<bool> done{false};
  std::thread forge([&] {
    RVP_Msg ack;
    RVP_MsgInit(&ack, MsgHelloAck);
    ack.addr[0] = V4("192.0.2.99", 999);
    while (!done.load()) {
      forger.Send(V4("127.0.0.1", port), ack);
      p2p::SleepMs(50);
    }
  });
  RVS_NetInfo info;
  uint32_t start = p2p::TickMs();
  int r = RVS_NetworkDetect(&info, port);
  uint32_t ms = p2p::TickMs() - start;
  done = true;
  forge.join();
  ASSERT_EQ(r, 0);
  EXPECT_GE(ms, 4500u);
  EXPECT_LE(ms, 6500u);
  EXPECT_EQ(info.Internet, 0);
  EXPECT_EQ(info.ServerNameResolved, 1);
  EXPECT_EQ(info.ServerReply, 0);
  EXPECT_EQ(info.NatType, 0);
  EXPECT_STREQ(info.LanIP, "0.0.0.0");
  EXPECT_STREQ(info.WanIP, "0.0.0.0");
}

TEST_F(p2pNetDetect, ArgumentsAndTheSocket) {
  RVS_NetInfo info;
  EXPECT_EQ(RVS_NetworkDetect(&info, 0), -1);
  EXPECT_EQ(RVS_NetworkDetectByServer(&info, 0, "x"), -1);
  Start({});
  EXPECT_EQ(RVS_NetworkDetect(nullptr, 0), -5);
  EXPECT_EQ(RVS_NetworkDetectByServer(nullptr, 0, sim.init.c_str()), -5);
  EXPECT_EQ(RVS_NetworkDetectByServer(&info, 0, nullptr), -5);
  // The port is taken: -18.
  Peer taken("0.0.0.0");
  EXPECT_EQ(RVS_NetworkDetect(&info, ntohs(taken.addr.sin_port)), -18);

  // A caller's own init string: detected with a table of its own, leaving the library's alone.
  std::string other = RVP_InitStringEncode("127.0.0.1,127.0.0.2,127.0.0.3,", std::string(kKey));
  sockaddr_in before[3];
  std::memcpy(before, g_rvs.servers, sizeof(before));
  g_rvs.last_net_detect.store(0);
  ASSERT_EQ(RVS_NetworkDetectByServer(&info, 0, (other + " ").c_str()), 0);
  EXPECT_EQ(info.Internet, 1);
  EXPECT_EQ(info.NatType, 2);
  EXPECT_EQ(std::memcmp(before, g_rvs.servers, sizeof(before)), 0);
  EXPECT_EQ(g_rvs.last_net_detect.load(), 0);
}

// A name that does not resolve is reported and stops the resolving; only
// inside a namespace of its own, so that no name query leaves the host.
TEST(p2pNetDetectResolve, AnUnresolvableNameStopsTheResolving) {
  std::string why = RunInNetns({"ip link set lo up"}, [] {
    std::string init = RVP_InitStringEncode("127.0.0.1,no-such-server.invalid,127.0.0.3,", "k");
    RVS_NetInfo info;
    sockaddr_in servers[3];
    ASSERT_EQ(RVP_NetDetect(&info, true, 0, init.c_str(), servers), 0);
    EXPECT_EQ(info.ServerNameResolved, 0);
    EXPECT_EQ(info.Internet, 0);
    char ip[16];
    EXPECT_STREQ(RVP_AddrText(servers[0], ip), "127.0.0.1");
    EXPECT_EQ(servers[1].sin_addr.s_addr, 0u);
    EXPECT_EQ(servers[2].sin_addr.s_addr, 0u) << "resolving stops at the first failure";
    EXPECT_EQ(ntohs(servers[0].sin_port), 32100);
  });
  if (!why.empty()) GTEST_SKIP() << "needs a network namespace of its own: " << why;
}

// The LAN and WAN texts are shared between detections and dialogues: they are
// written and read under the lock (this is for the thread sanitizer).
class p2pNetTexts : public RdvTest {};

TEST_F(p2pNetTexts, DetectionsAndReadersShareTheTexts) {
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t)
    threads.emplace_back([&] {
      RVS_NetInfo info;
      for (int i = 0; i < 5; ++i) EXPECT_EQ(RVS_NetworkDetect(&info, 0), 0);
    });
  std::thread reader([&] {
    while (!done.load()) {
      char lan[16], wan[16];
      p2p::RVP_NetTexts(lan, wan);
      EXPECT_TRUE(std::string(lan) == "0.0.0.0" || std::string(lan) == "127.0.0.1") << lan;
    }
  });
  for (std::thread& t : threads) t.join();
  done = true;
  reader.join();
}

}  // namespace
