// The two service threads of a device against servers and peers made of
// plain sockets: the smart device logs in, probes the peers the servers name
// and introduces two probing peers of one serial to each other; the
// bandwidth-sharing relay registers, hands out its port and ticket, joins its
// two parties and forwards between them and nobody else, and ends once the
// session falls silent.
#include "p2p/services.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <tuple>
#include <vector>

#include "p2p/cipher.h"
#include "p2p/rvs_api.h"
#include "tests/p2p/fake_servers.h"

using namespace p2ptest;

namespace {

const std::string kDidHex = "41 42 43 00 00 00 00 00 | 00 01 E2 40 | 58 59 5A 00 00 00 00 00";

RVP_DidBlock Did(uint32_t serial = 123456) {
  RVP_DidBlock d;
  RVP_DidMake(&d, "ABC", serial, "XYZ");
  return d;
}

// The plain bytes of a login-ciphered payload (fixed key undone first when asked).
std::string LoginPlainHex(std::vector<uint8_t> p, bool fixed) {
  if (fixed) RVP_Unscramble(kFixedPayloadKey, p.data(), p.data(), static_cast<uint16_t>(p.size()));
  std::vector<uint8_t> out(p.size());
  int n = RVP_LoginDecrypt(static_cast<int>(p.size()), p.data(), out.data(), static_cast<int>(out.size()));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return ToHex(out);
}

class p2pServices : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(servers.Start(&why)) << why;
  }
  void TearDown() override {
    RVS_Enable_SmartDevice(0);
    RVS_Share_Bandwidth(0);
  }
  FakeServers servers;
};

TEST_F(p2pServices, SmartDeviceProbesNamedPeersAndIntroducesProbingPeers) {
  ASSERT_EQ(RVS_Enable_SmartDevice(1), 0);
  RVP_ServiceThreadsStart(Did());
  for (int i = 0; i < 3; ++i) {
    Datagram login;
    ASSERT_TRUE(servers.Expect(i, MsgSmartLogin, 3000, &login)) << "server " << i;
    EXPECT_EQ(LoginPlainHex(login.payload(), true), ToHex(Hex(kDidHex)));
  }
  EXPECT_EQ(RVP_SmartDeviceState(), p2p::kSmartRunning);
  const sockaddr_in smart = V4("127.0.0.1", RVP_SmartDevicePort());
  Peer a, b, stranger("127.0.0.9");

  // Peers named by a server with a serial above 10000000, or by anyone
  // else, get no probe.
  RVP_Msg named;
  RVP_MsgInit(&named, MsgSmartPeer);
  named.addr[0] = a.addr;
  named.addr[1] = b.addr;
  named.did = Did(10000001);
  servers.Send(0, smart, named);
  named.did = Did(10000000);
  stranger.Send(smart, named);
  EXPECT_EQ(a.Count(300) + b.Count(0), 0);
  servers.Send(2, smart, named);
  for (const Peer* p : {&a, &b}) {
    Datagram probe;
    ASSERT_TRUE(RecvDatagram(p->fd, 2000, &probe));
    EXPECT_EQ(ToHex(probe.bytes), "F1 03 00 00");
  }

  // A client probe and a device probe of one serial: each prober hears of
  // the other's sender address and of the address the other carried.
  Peer client, device;
  RVP_Msg cp;
  RVP_MsgInit(&cp, MsgPeerProbe);
  cp.did = Did(77);
  cp.addr[0] = V4("10.1.0.2", 1111);
  RVP_Msg dp;
  RVP_MsgInit(&dp, MsgPeerProbeDev);
  dp.did = Did(77);
  dp.addr[0] = V4("10.2.0.2", 2222);
  device.Send(smart, dp);
  p2p::SleepMs(50);
  client.Send(smart, cp);
  for (const auto& [me, other, carried] : {std::tuple<const Peer*, const Peer*, const char*>{&client, &device, "10.2.0.2"},
                                           {&device, &client, "10.1.0.2"}}) {
    Datagram range, burst;
    ASSERT_TRUE(RecvDatagram(me->fd, 2000, &range));
    ASSERT_TRUE(RecvDatagram(me->fd, 2000, &burst));
    ASSERT_EQ(range.type(), MsgPortRangePunchReq);
    std::vector<uint8_t> p = range.payload();
    RVP_Unscramble(kFixedPayloadKey, p.data(), p.data(), static_cast<uint16_t>(p.size()));
    EXPECT_EQ(ToHex(p), ToHex(Hex(WireHex("127.0.0.1", ntohs(other->addr.sin_port)) + "00 02 01 00")))
        << "about the other's sender: range 2, step 1, no skip";
    EXPECT_EQ(ToHex(burst.bytes),
              ToHex(Hex("F1 40 00 10" + WireHex(carried, me == &client ? 2222 : 1111))));
  }

  // A client probe more than 2 s after the device probe is stored, not
  // matched; the next device probe of that serial finds it.
  dp.did = cp.did = Did(78);
  device.Send(smart, dp);
  p2p::SleepMs(2300);
  client.Send(smart, cp);
  EXPECT_EQ(client.Count(300) + device.Count(0), 0);
  device.Send(smart, dp);
  EXPECT_EQ(client.Recv(2000), MsgPortRangePunchReq);

  ASSERT_EQ(RVS_Enable_SmartDevice(0), 0);
  EXPECT_EQ(RVP_SmartDeviceState(), p2p::kSmartIdle);
  EXPECT_EQ(RVP_SmartDevicePort(), 0);
}

TEST_F(p2pServices, RelayJoinsItsTwoPartiesAndForwardsOnlyBetweenThem) {
  ASSERT_EQ(RVS_Share_Bandwidth(1), 0);
  RVP_ServiceThreadsStart(Did());
  Datagram reg;
  ASSERT_TRUE(servers.Expect(0, MsgRelayRegister, 3000, &reg));
  EXPECT_EQ(LoginPlainHex(reg.payload(), false), ToHex(Hex(kDidHex)));
  const uint16_t port = RVP_ShareBandwidthPort();
  const sockaddr_in relay = V4("127.0.0.1", port);
  Peer client, device, stranger;

  RVP_Msg m;
  RVP_MsgInit(&m, MsgRelayHello);
  client.Send(relay, m);
  EXPECT_EQ(client.Recv(2000), MsgRelayHelloAck);
  RVP_MsgInit(&m, MsgRelayPortReq);
  client.Send(relay, m);
  const uint32_t ticket = RVP_ShareBandwidthTicket();
  char expect[64];
  std::snprintf(expect, sizeof(expect), "F1 73 00 08 %02X %02X %02X %02X %02X %02X 00 00", ticket >> 24,
                (ticket >> 16) & 0xFF, (ticket >> 8) & 0xFF, ticket & 0xFF, port >> 8, port & 0xFF);
  for (int i = 0; i < 4; ++i) {
    Datagram ack;
    ASSERT_TRUE(RecvDatagram(client.fd, 2000, &ack)) << "answer " << i;
    EXPECT_EQ(ToHex(ack.bytes), expect) << "ticket and the relay's port";
  }
  ASSERT_TRUE(WaitUntil([] { return RVP_ShareBandwidthState() == p2p::kShareRelaying; }, 2000));

  // A wrong ticket joins nobody; the two parties with the ticket are joined
  // and both told the client's DID.
  RVP_Msg rdy;
  RVP_MsgInit(&rdy, MsgRelayRdy);
  rdy.did = Did(5);
  rdy.ticket = ticket + 1;
  rdy.role = p2p::kRoleDevice;
  stranger.Send(relay, rdy);
  rdy.ticket = ticket;
  rdy.role = p2p::kRoleClient;
  client.Send(relay, rdy);
  rdy.role = p2p::kRoleDevice;
  device.Send(relay, rdy);
  for (const Peer* p : {&client, &device}) {
    RVP_Msg ready;
    ASSERT_TRUE(p->Expect(MsgRelayReady, 2000, &ready));
    EXPECT_TRUE(RVP_DidEqual(ready.did, Did(5)));
  }
  EXPECT_EQ(stranger.Count(200), 0);

  // Forwarding: between the parties, both ways, with the same packet key;
  // what anybody else sends goes nowhere.
  RVP_Msg data;
  RVP_MsgInit(&data, MsgPunchReady);
  data.did = Did(9);
  client.Send(relay, data);
  EXPECT_EQ(device.Recv(2000), MsgPunchReady);
  RVP_MsgInit(&data, MsgAliveAck);
  device.Send(relay, data);
  EXPECT_EQ(client.Recv(2000), MsgAliveAck);
  RVP_MsgInit(&data, MsgAlive);
  for (int i = 0; i < 5; ++i) stranger.Send(relay, data);
  EXPECT_EQ(client.Count(300) + device.Count(0), 0);

  // Silence (a stranger's datagrams keep nothing alive) ends the relay after
  // about 5 s: both parties get the close.
  const uint32_t quiet = p2p::TickMs();
  for (const Peer* p : {&client, &device}) ASSERT_TRUE(p->Expect(MsgClose, 10000)) << "a close";
  EXPECT_GT(p2p::TickMs() - quiet, 4000u);
  EXPECT_TRUE(WaitUntil([] { return RVP_ShareBandwidthState() == p2p::kShareIdle; }, 2000));
}

// The servers start a service whose flag is set, on a listening device.
TEST_F(p2pServices, ServiceStartFromTheServersDuringAListen) {
  ASSERT_EQ(RVS_Share_Bandwidth(1), 0);
  auto listen = std::async(std::launch::async, [] { return RVS_Listen("ABC-123456-XYZ", 60, 0, 1); });
  Datagram login;
  ASSERT_TRUE(servers.Expect(0, MsgDevLogin, 3000, &login));
  RVP_Msg start;
  RVP_MsgInit(&start, MsgServiceStart);
  Peer stranger("127.0.0.9");
  stranger.Send(login.from, start);
  p2p::SleepMs(300);
  EXPECT_EQ(RVP_ShareBandwidthState(), p2p::kShareIdle) << "not from a stranger";
  servers.Send(1, login.from, start);
  EXPECT_TRUE(WaitUntil([] { return RVP_ShareBandwidthState() == p2p::kShareRegistered; }, 2000));
  RVS_Listen_Break();
  EXPECT_EQ(listen.get(), RVS_ERR_LISTEN_BREAK);
  ASSERT_EQ(RVS_Share_Bandwidth(0), 0);
  EXPECT_EQ(RVP_ShareBandwidthState(), p2p::kShareIdle);
}

}  // namespace
