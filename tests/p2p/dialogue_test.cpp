// The server-dialogue thread against the rendezvous simulator: the dialogue
// of a connect and of a listen step by step, relays, TCP links to the
// servers, and the checks on what it takes from whom.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "p2p/bytes.h"
#include "tests/p2p/rdv_fixture.h"

using namespace p2ptest;
using p2p::g_rvs;

namespace {

constexpr char kDid[] = "ABC-000123-XYZ";

class p2pDialogue : public RdvTest {
 protected:
  void Close(int slot) {
    RVP_DialogueStop(slot);
    RVP_TcpLinksFree(slot);
    RVP_SessionFree(slot);
    std::erase(slots, slot);
  }
  // A device logged in at the simulator.
  int OnlineDevice(const char* prefix = "ABC", uint32_t serial = 123, const char* suffix = "XYZ") {
    int dev = Open(p2p::kRoleDevice, prefix, serial, suffix);
    Login(dev);
    EXPECT_TRUE(WaitUntil([&] { return S(dev).login_result.load() == 0; }, 2000));
    return dev;
  }
  // Drives the session's TCP links as the TCP-assisted procedures do, until
  // done() or ms pass.
  bool DriveLinks(int slot, int kind, const std::function<bool()>& done, unsigned ms) {
    uint32_t start = p2p::TickMs();
    while (!done()) {
      if (p2p::TickMs() - start >= ms) return false;
      RVP_TcpLinksConnect(slot, kind);
      switch (kind) {
        case kOweLogin:
          RVP_TcpLinksSendDevLogin(slot);
          break;
        case kOweLoginKeyed:
          RVP_TcpLinksSendDevLoginEx(slot);
          break;
        case kOweReq:
          RVP_TcpLinksSendP2PReq(slot);
          break;
        default:
          RVP_TcpLinksSendP2PReqKeyed(slot);
      }
      RVP_TcpLinksRecv(slot);
      p2p::SleepMs(10);
    }
    return true;
  }
  void StartLinks(int slot) {
    S(slot).tcp_start_time.store(p2p::NowSec());
    RVP_TcpLinksMake(slot);
    S(slot).tcp_link_state.store(p2p::kTcpLinksOn);
  }
  static std::string Text(const sockaddr_in& a) { return rdvsim::AddrText(a); }
};

TEST_F(p2pDialogue, ConnectAndListenMeetByPunching) {
  // Listen: the device logs in at the three servers and is acknowledged.
  int dev = OnlineDevice();
  EXPECT_TRUE(WaitGot(MsgDevLogin, 3, 1000, false, 0));
  char logged = 0;
  ASSERT_EQ(RVS_LoginStatus_Check(&logged), 0);
  EXPECT_EQ(logged, 1);
  EXPECT_EQ(S(dev).established.load(), 0);

  // Connect: HELLO to the servers gives the WAN and LAN addresses.
  int cli = Open(p2p::kRoleClient);
  RVP_Msg hello;
  RVP_MsgInit(&hello, MsgHello);
  {
    std::lock_guard<p2p::Mutex> g(g_rvs.mutex);
    S(cli).wan = sockaddr_in{};
  }
  RVP_SessionSendToServers(cli, hello);
  EXPECT_TRUE(WaitGot(MsgHello, 3, 1000));
  char lan[16], wan[16];
  ASSERT_TRUE(WaitUntil(
      [&] {
        p2p::RVP_NetTexts(lan, wan);
        return std::string(lan) == "127.0.0.1";
      },
      1000));
  EXPECT_TRUE(WaitUntil(
      [&] {
        std::lock_guard<p2p::Mutex> g(g_rvs.mutex);
        return g_rvs.hello_answer_tick[0] != p2p::kNoTick && g_rvs.hello_answer_tick[1] != p2p::kNoTick &&
               g_rvs.hello_answer_tick[2] != p2p::kNoTick;
      },
      1000))
      << "each server's answer is timed";
  EXPECT_EQ(Text(RVP_SessionWan(cli)), Text(Addr(cli))) << "the address the servers saw";
  EXPECT_EQ(S(cli).server_state.load(), p2p::kServerWaiting);

  // The connect request: the device is online, the servers introduce the
  // peers, the punches cross, the device is established and tells the client.
  RVP_Msg req = Msg(cli, MsgConnectReq);
  req.addr[0] = p2p::RVP_SessionLocal(cli);
  S(cli).port_burst.store(0);
  RVP_SessionSendToServers(cli, req);
  ASSERT_TRUE(WaitUntil([&] { return S(cli).established.load() && S(dev).established.load(); }, 5000));
  EXPECT_EQ(S(cli).server_state.load(), p2p::kServerOnline);
  EXPECT_EQ(S(cli).mode.load(), p2p::kModeP2P);
  EXPECT_EQ(S(dev).mode.load(), p2p::kModeP2P);
  EXPECT_EQ(S(dev).tcp_socket.load(), -1) << "the client accepts no direct TCP offer in this mode";
  {
    std::lock_guard<p2p::Mutex> g(g_rvs.mutex);
    EXPECT_EQ(Text(S(cli).remote), Text(Addr(dev)));
    EXPECT_EQ(Text(S(dev).remote), Text(Addr(cli)));
  }
  EXPECT_NE(S(cli).established_time.load(), 0);
  // Both dialogues have ended by themselves.
  S(cli).dialogue_thread.Join();
  S(dev).dialogue_thread.Join();
  // The client's port burst repeated its request at the two ports after the
  // server port of each server; the device's repeated its login there, unless
  // the client's punch reached it before its own burst request did (the
  // dialogue ends with the establishment).
  EXPECT_EQ(Got(MsgConnectReq, false, 0), 3u);
  EXPECT_TRUE(WaitGot(MsgConnectReq, 3, 1000, false, 1));
  EXPECT_TRUE(WaitGot(MsgConnectReq, 3, 1000, false, 2));
  if (S(dev).last_port_burst_tick.load() != 0) {
    EXPECT_TRUE(WaitGot(MsgDevLogin, 3, 1000, false, 1));
    EXPECT_TRUE(WaitGot(MsgDevLogin, 3, 1000, false, 2));
  }

  // The outcome goes to the servers, which record it.
  RVP_Msg rep = Msg(cli, MsgConnectReport);
  rep.result = cli;
  rep.max_sess = 256;
  rep.in_use = 2;
  rep.connect_mode = 12;
  rep.addr[0] = p2p::RVP_SessionLocal(cli);
  rep.addr[1] = RVP_SessionWan(cli);
  rep.addr[2] = Addr(dev);
  RVP_SessionSendToServers(cli, rep);
  ASSERT_TRUE(WaitUntil([&] { return sim->Reports().size() == 3; }, 1000));
  for (const rdvsim::Report& r : sim->Reports()) {
    EXPECT_EQ(r.did, kDid);
    EXPECT_EQ(r.result, cli);
    EXPECT_EQ(r.connect_mode, 12);
    EXPECT_EQ(r.in_use, 2);
    EXPECT_EQ(Text(r.remote), Text(Addr(dev)));
  }
}

TEST_F(p2pDialogue, LoginAnswersSetTheLoginResult) {
  struct Case {
    bool keyed;
    int result;
  };
  const Case cases[] = {{false, 0},   {true, 0},    {false, 252}, {false, 253},
                        {false, 254}, {false, 255}, {true, 254}};
  uint32_t serial = 200;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.keyed ? "keyed" : "plain") + " login answered " + std::to_string(c.result));
    ++serial;
    char did[32];
    std::snprintf(did, sizeof(did), "ABC-%06u-XYZ", serial);
    if (c.result) {
      ASSERT_EQ(sim->Command("login " + std::string(did) + " " + std::to_string(c.result)), "");
    }
    g_rvs.last_login_ack_udp.store(0);
    {
      std::lock_guard<p2p::Mutex> g(g_rvs.mutex);
      g_rvs.bridge_did = RVP_DidBlock{};
    }
    int dev = Open(p2p::kRoleDevice, "ABC", serial, "XYZ");
    Login(dev, c.keyed);
    ASSERT_TRUE(WaitUntil([&] { return S(dev).login_result.load() == static_cast<int8_t>(c.result); }, 2000));
    p2p::SleepMs(50);  // the other servers' answers
    EXPECT_EQ(g_rvs.last_login_ack_udp.load() != 0, c.result == 0);
    {
      std::lock_guard<p2p::Mutex> g(g_rvs.mutex);
      // A secure acknowledgement names the bridge's identity.
      EXPECT_EQ(g_rvs.bridge_did.serial == serial, c.keyed && c.result == 0);
    }
    Close(dev);
  }
}

TEST_F(p2pDialogue, ConnectAnswersSetTheServerState) {
  struct Case {
    const char* what;
    const char* script;  // state for the DID, or null
    bool online;
    int8_t state;
  };
  const Case cases[] = {
      {"device online", nullptr, true, 0}, {"device not online", nullptr, false, -2},
      {"refused", "252", true, -4},        {"prefix not accepted", "253", true, -3},
      {"invalid DID", "255", false, -1},   {"not online, scripted", "254", true, -2},
  };
  uint32_t serial = 300;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ++serial;
    char did[32];
    std::snprintf(did, sizeof(did), "ABC-%06u-XYZ", serial);
    if (c.script) {
      ASSERT_EQ(sim->Command(std::string("state ") + did + " " + c.script), "");
    }
    int dev = c.online ? OnlineDevice("ABC", serial, "XYZ") : -1;
    ASSERT_TRUE(sim->Command("intro none").empty());
    int cli = Open(p2p::kRoleClient, "ABC", serial, "XYZ");
    RVP_Msg req = Msg(cli, MsgConnectReqKeyed);
    std::strcpy(req.did_key, "secret");
    RVP_SessionSendToServers(cli, req);
    ASSERT_TRUE(WaitUntil([&] { return S(cli).server_state.load() != p2p::kServerWaiting; }, 2000));
    p2p::SleepMs(50);
    EXPECT_EQ(S(cli).server_state.load(), c.state);
    EXPECT_EQ(S(cli).established.load(), 0);
    Close(cli);
    if (dev >= 0) Close(dev);
  }
}

TEST_F(p2pDialogue, DeviceStateQueriesKeepTheSmallestValue) {
  OnlineDevice();
  int cli = Open(p2p::kRoleClient);
  S(cli).query.store(1);
  auto query = [&](const char* values) {
    ASSERT_EQ(sim->Command(std::string("devstate ") + kDid + " " + values), "");
    RVP_Msg q = Msg(cli, MsgQueryDevice);
    RVP_SessionSend(cli, servers[0], q);
  };
  EXPECT_EQ(S(cli).device_state.load(), -2);
  query("-1 30");
  ASSERT_TRUE(WaitUntil([&] { return S(cli).device_state.load() == 30; }, 2000));
  EXPECT_EQ(S(cli).server_state.load(), p2p::kServerOnline);
  query("10 -1");  // the value at 52 stands in for a negative one at 56
  ASSERT_TRUE(WaitUntil([&] { return S(cli).device_state.load() == 10; }, 2000));
  query("20 20");
  p2p::SleepMs(200);
  EXPECT_EQ(S(cli).device_state.load(), 10);

  // Both values negative: -2 becomes -1, and nothing else changes.
  int other = Open(p2p::kRoleClient, "ABC", 124, "XYZ");
  ASSERT_EQ(sim->Command("devstate ABC-000124-XYZ -5 -7"), "");
  RVP_SessionSend(other, servers[1], Msg(other, MsgQueryDeviceKeyed));
  ASSERT_TRUE(WaitUntil([&] { return S(other).device_state.load() == -1; }, 2000));

  // Result bytes 255, 253 and 252 become the server state.
  for (int result : {255, 253, 252}) {
    ASSERT_EQ(sim->Command("state ABC-000124-XYZ " + std::to_string(result)), "");
    RVP_SessionSend(other, servers[2], Msg(other, MsgQueryDevice));
    ASSERT_TRUE(WaitUntil([&] { return S(other).server_state.load() == static_cast<int8_t>(result); }, 2000));
  }
}

TEST_F(p2pDialogue, UdpRelayHandshake) {
  Peer relay("127.0.0.4"), relay2("127.0.0.4");
  ASSERT_EQ(sim->Command("relays " + Text(relay.addr)), "");
  int dev = OnlineDevice();
  int cli = Open(p2p::kRoleClient);
  S(cli).relay_state.store(p2p::kRelayWaitList);

  // The relay list: one HELLO, to the one relay, even though each server sent the list.
  RVP_SessionSendToServers(cli, Msg(cli, MsgRelayReq));
  sockaddr_in from{};
  ASSERT_TRUE(relay.Expect(MsgRelayHello, 2000, nullptr, &from));
  EXPECT_EQ(Text(from), Text(Addr(cli)));
  EXPECT_EQ(S(cli).relay_state.load(), p2p::kRelayHellosSent);
  EXPECT_TRUE(WaitGot(MsgRelayReq, 3, 1000));
  EXPECT_EQ(relay.Count(150), 0);

  // Its answer: the port is asked of that relay.
  RVP_Msg m;
  RVP_MsgInit(&m, MsgRelayHelloAck);
  relay.Send(Addr(cli), m);
  ASSERT_TRUE(relay.Expect(MsgRelayPortReq, 2000));
  EXPECT_EQ(S(cli).relay_state.load(), p2p::kRelayPortAsked);
  {
    std::lock_guard<p2p::Mutex> g(g_rvs.mutex);
    EXPECT_EQ(S(cli).tcp_resend_claim, p2p::kClaimUdpRelay);
  }

  // The ticket: the servers are told, acknowledge, and send the relay packet to both parties.
  RVP_MsgInit(&m, MsgRelayPortAck);
  m.ticket = 0xABCD1234;
  m.port = ntohs(relay.addr.sin_port);
  relay.Send(Addr(cli), m);
  ASSERT_TRUE(WaitGot(MsgRelayTo, 3, 2000));
  for (const rdvsim::Received& r : sim->Log()) {
    if (r.type != MsgRelayTo) continue;
    RVP_Msg to;
    ASSERT_EQ(RVP_MsgParsePayload(r.type, r.payload.data(), r.payload.size(), &to), kMsgOk);
    EXPECT_EQ(to.ticket, 0xABCD1234u);
    EXPECT_EQ(Text(to.addr[0]), Text(relay.addr));
  }
  ASSERT_TRUE(WaitUntil([&] { return S(cli).relay_state.load() == p2p::kRelayServersAcked; }, 2000));
  EXPECT_EQ(S(cli).relay_retry.load(), 1);
  bool client_ready = false, device_ready = false;
  uint32_t start = p2p::TickMs();
  while (!(client_ready && device_ready) && p2p::TickMs() - start < 2000) {
    RVP_Msg rdy;
    sockaddr_in who{};
    if (!relay.Expect(MsgRelayRdy, 100, &rdy, &who)) continue;
    EXPECT_EQ(rdy.ticket, 0xABCD1234u);
    EXPECT_EQ(rdy.did.serial, 123u);
    if (rdy.role == p2p::kRoleClient) client_ready |= Text(who) == Text(Addr(cli));
    if (rdy.role == p2p::kRoleDevice) device_ready |= Text(who) == Text(Addr(dev));
  }
  EXPECT_TRUE(client_ready && device_ready);

  // The relay is ready: the client is established through it.
  RVP_Msg ready = Msg(cli, MsgRelayReady);
  relay.Send(Addr(cli), ready);
  ASSERT_TRUE(WaitUntil([&] { return S(cli).established.load() != 0; }, 2000));
  EXPECT_EQ(S(cli).mode.load(), p2p::kModeUdpRelay);
  EXPECT_EQ(S(cli).relay_state.load(), p2p::kRelayInUse);
  {
    std::lock_guard<p2p::Mutex> g(g_rvs.mutex);
    EXPECT_EQ(Text(S(cli).remote), Text(relay.addr));
  }
  // The same relay address cannot become a second session's remote; another can.
  relay.Send(Addr(dev), ready);
  p2p::SleepMs(150);
  EXPECT_EQ(S(dev).established.load(), 0);
  relay2.Send(Addr(dev), ready);
  ASSERT_TRUE(WaitUntil([&] { return S(dev).established.load() != 0; }, 2000));
  EXPECT_EQ(S(dev).mode.load(), p2p::kModeUdpRelay);
}

TEST_F(p2pDialogue, RelayHelloAckAfterATcpResendChangesNothing) {
  Peer relay("127.0.0.4");
  int cli = Open(p2p::kRoleClient);
  S(cli).relay_state.store(p2p::kRelayHellosSent);
  {
    std::lock_guard<p2p::Mutex> g(g_rvs.mutex);
    S(cli).tcp_resend_claim = p2p::kClaimTcpResend;
  }
  RVP_Msg ack;
  RVP_MsgInit(&ack, MsgRelayHelloAck);
  relay.Send(Addr(cli), ack);
  EXPECT_EQ(relay.Count(200), 0);
  EXPECT_EQ(S(cli).relay_state.load(), p2p::kRelayHellosSent);
  {
    std::lock_guard<p2p::Mutex> g(g_rvs.mutex);
    S(cli).tcp_resend_claim = p2p::kClaimFree;
  }
  relay.Send(Addr(cli), ack);
  EXPECT_TRUE(relay.Expect(MsgRelayPortReq, 2000));
  EXPECT_EQ(S(cli).relay_state.load(), p2p::kRelayPortAsked);
}

TEST_F(p2pDialogue, PunchesOnlyFromTheRightPeer) {
  Peer peer, other;
  // A device ignores a punch whose serial differs, then takes the right one
  // and tells the peer four times.
  int dev = Open(p2p::kRoleDevice);
  RVP_Msg wrong;
  RVP_MsgInit(&wrong, MsgPunch);
  RVP_DidMake(&wrong.did, "ABC", 124, "XYZ");
  peer.Send(Addr(dev), wrong);
  p2p::SleepMs(150);
  EXPECT_EQ(S(dev).established.load(), 0);
  peer.Send(Addr(dev), Msg(dev, MsgPunch));
  ASSERT_TRUE(WaitUntil([&] { return S(dev).established.load() != 0; }, 2000));
  int readies = 0;
  for (int i = 0; i < 4; ++i) readies += peer.Expect(MsgPunchReady, 1000);
  EXPECT_EQ(readies, 4);
  {
    std::lock_guard<p2p::Mutex> g(g_rvs.mutex);
    EXPECT_EQ(Text(S(dev).remote), Text(peer.addr));
  }

  // A punch from the address of an established session is not taken again.
  int dev2 = Open(p2p::kRoleDevice);
  peer.Send(Addr(dev2), Msg(dev2, MsgPunch));
  p2p::SleepMs(150);
  EXPECT_EQ(S(dev2).established.load(), 0);

  // A client answers a punch and waits for the device's ready.
  int cli = Open(p2p::kRoleClient);
  other.Send(Addr(cli), Msg(cli, MsgPunch));
  ASSERT_TRUE(other.Expect(MsgPunch, 1000));
  p2p::SleepMs(100);
  EXPECT_EQ(S(cli).established.load(), 0);
  other.Send(Addr(cli), Msg(cli, MsgPunchReady));
  ASSERT_TRUE(WaitUntil([&] { return S(cli).established.load() != 0; }, 2000));
  EXPECT_EQ(S(cli).mode.load(), p2p::kModeP2P);
}

TEST_F(p2pDialogue, TcpConnectGetsTheServerStateAndARelayOffer) {
  // A TCP relay that checks the request and reports both sides.
  int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in ra = V4("127.0.0.5", 0);
  socklen_t rl = sizeof(ra);
  ASSERT_EQ(bind(ls, reinterpret_cast<sockaddr*>(&ra), sizeof(ra)), 0);
  ASSERT_EQ(listen(ls, 4), 0);
  getsockname(ls, reinterpret_cast<sockaddr*>(&ra), &rl);
  std::vector<uint8_t> request;
  std::thread tcp_relay([&] {
    pollfd p{ls, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return;
    int c = accept(ls, nullptr, nullptr);
    uint8_t req[28];
    size_t have = 0;
    while (have < sizeof(req)) {
      ssize_t n = recv(c, req + have, sizeof(req) - have, 0);
      if (n <= 0) break;
      have += static_cast<size_t>(n);
    }
    request.assign(req, req + have);
    uint8_t ans[48];
    RVP_Address24 a, b;
    RVP_AddrMake(&a, "198.51.100.1", 1111);
    RVP_AddrMake(&b, "198.51.100.2", 2222);
    RVP_TcpRelayAnsWrite(ans, a, b);
    send(c, ans, sizeof(ans), MSG_NOSIGNAL);
    p2p::SleepMs(200);
    close(c);
  });

  ASSERT_EQ(sim->Command("tcprelay " + Text(ra)), "");
  ASSERT_EQ(sim->Command("ticket 4660"), "");
  OnlineDevice();
  int cli = Open(p2p::kRoleClient);
  StartLinks(cli);
  ASSERT_TRUE(DriveLinks(
      cli, kOweReq, [&] { return S(cli).tcp_relay_offered.load() != 0; }, 5000));
  EXPECT_EQ(S(cli).server_state.load(), p2p::kServerOnline);
  EXPECT_EQ(S(cli).tcp_state_seen.load(), 1);
  EXPECT_EQ(S(cli).stop_dialogue.load(), 1);
  EXPECT_EQ(S(cli).tcp_relay_ticket, 4660u);
  EXPECT_EQ(Text(RVP_Addr24ToV4(S(cli).tcp_relay_addr)), Text(ra));
  ASSERT_GE(Got(MsgTcpConnectReq, true), 1u);
  for (const rdvsim::Received& r : sim->Log())
    if (r.tcp && r.type == MsgTcpConnectReq) {
      EXPECT_EQ(r.payload[48], 0) << "a first sending";
    }

  // State 0 marked its link for a resend at once, under the TCP resend claim.
  S(cli).dialogue_thread.Join();
  size_t before = Got(MsgTcpConnectReq, true);
  RVP_TcpLinksResendP2PReq(cli);
  ASSERT_TRUE(WaitGot(MsgTcpConnectReq, before + 1, 2000, true));
  EXPECT_EQ(sim->Log().back().payload[48], 1) << "a resend";
  {
    std::lock_guard<p2p::Mutex> g(g_rvs.mutex);
    EXPECT_EQ(S(cli).tcp_resend_claim, p2p::kClaimTcpResend);
  }

  // The offered relay takes the session's DID, ticket and role.
  RVP_TcpRelayConnect(cli);
  tcp_relay.join();
  close(ls);
  EXPECT_EQ(S(cli).tcp_relay_state.load(), p2p::kTcpRelayConnected);
  EXPECT_GE(S(cli).tcp_socket.load(), 0);
  ASSERT_EQ(request.size(), 28u);
  RVP_DidBlock did;
  uint32_t ticket;
  uint8_t role;
  RVP_TcpRelayReqRead(request.data(), &did, &ticket, &role);
  EXPECT_TRUE(RVP_DidEqual(did, S(cli).did_block));
  EXPECT_EQ(ticket, 4660u);
  EXPECT_EQ(role, p2p::kRoleClient);
  char ip[48];
  EXPECT_STREQ(RVP_Addr24ToText(S(cli).tcp_relay_reported[0], ip), "198.51.100.1");
  EXPECT_STREQ(RVP_Addr24ToText(S(cli).tcp_relay_reported[1], ip), "198.51.100.2");
}

TEST_F(p2pDialogue, TcpServerState250ResendsAHundredRoundsLater) {
  ASSERT_EQ(sim->Command("tcpstate ABC-000123-XYZ 250"), "");
  int cli = Open(p2p::kRoleClient, "ABC", 123, "XYZ", "didkey");
  StartLinks(cli);
  ASSERT_TRUE(DriveLinks(
      cli, kOweReqKeyed, [&] { return S(cli).tcp_state_seen.load() != 0; }, 5000));
  ASSERT_TRUE(WaitUntil([&] { return S(cli).server_state.load() == p2p::kServerOnline; }, 1000))
      << "state 250 counts as online";
  // Let every link send its request and take its answer.
  p2p::SleepMs(300);
  RVP_TcpLinksRecv(cli);
  p2p::SleepMs(100);
  size_t before = Got(MsgTcpConnectReqKeyed, true);
  EXPECT_EQ(Got(MsgTcpConnectReq, true), 0u) << "with a DID key every request is keyed";
  for (int i = 0; i < 99; ++i) RVP_TcpLinksResendP2PReqKeyed(cli);
  p2p::SleepMs(200);
  EXPECT_EQ(Got(MsgTcpConnectReqKeyed, true), before);
  RVP_TcpLinksResendP2PReqKeyed(cli);
  ASSERT_TRUE(WaitGot(MsgTcpConnectReqKeyed, before + 1, 2000, true));
  EXPECT_EQ(sim->Log().back().payload[48], 1);
  p2p::SleepMs(100);
  EXPECT_EQ(Got(MsgTcpConnectReqKeyed, true), before + 1) << "only the link the first state marked";
}

TEST_F(p2pDialogue, DeviceLoginOverTcpLinks) {
  g_rvs.last_login_ack_tcp.store(0);
  int dev = Open(p2p::kRoleDevice);
  StartLinks(dev);
  ASSERT_TRUE(DriveLinks(
      dev, kOweLogin, [&] { return S(dev).login_result.load() == 0; }, 5000));
  EXPECT_NE(g_rvs.last_login_ack_tcp.load(), 0);
  {
    std::lock_guard<p2p::Mutex> g(g_rvs.mutex);
    EXPECT_TRUE(RVP_DidEqual(g_rvs.bridge_did, S(dev).did_block));
  }
  EXPECT_GE(Got(MsgDevLogin, true), 1u);

  // A refused login over TCP.
  ASSERT_EQ(sim->Command("login ABC-000777-XYZ 254"), "");
  int dev2 = Open(p2p::kRoleDevice, "ABC", 777, "XYZ", "k");
  StartLinks(dev2);
  ASSERT_TRUE(DriveLinks(
      dev2, kOweLoginKeyed, [&] { return S(dev2).login_result.load() == -2; }, 5000));
  EXPECT_GE(Got(MsgDevLoginKeyed, true), 1u);
}

// Messages only a server sends count only from a server address: the same
// message from elsewhere changes nothing and makes us send nothing.
TEST_F(p2pDialogue, ServerMessagesFromOtherAddressesAreIgnored) {
  Peer sink;
  struct Case {
    const char* what;
    std::function<void(int slot, RVP_Msg* m)> make;
    std::function<bool(int slot)> took;  // did the message take effect
    bool sends;                          // taking it sends something to the sink
  };
  const Case cases[] = {
      {"device state",
       [](int, RVP_Msg* m) {
         RVP_MsgInit(m, MsgDeviceState);
         m->state = 255;
       },
       [](int slot) { return S(slot).server_state.load() == -1; }, false},
      {"connect answer",
       [](int, RVP_Msg* m) {
         RVP_MsgInit(m, MsgConnectReqAck);
         m->state = 253;
       },
       [](int slot) { return S(slot).server_state.load() == -3; }, false},
      {"HELLO answer",
       [](int, RVP_Msg* m) {
         RVP_MsgInit(m, MsgHelloAck);
         m->addr[0] = V4("192.0.2.7", 4321);
       },
       [](int slot) { return Text(RVP_SessionWan(slot)) == "192.0.2.7:4321"; }, false},
      {"login answer",
       [](int, RVP_Msg* m) {
         RVP_MsgInit(m, MsgLoginAck);
         m->state = 0;
       },
       [](int slot) { return S(slot).login_result.load() == 0; }, false},
      {"port-range punch request",
       [&](int, RVP_Msg* m) {
         RVP_MsgInit(m, MsgPortRangePunchReq);
         m->addr[0] = sink.addr;
       },
       [](int slot) { return S(slot).probe.load() != 0; }, true},
      {"port-burst request",
       [&](int, RVP_Msg* m) {
         RVP_MsgInit(m, MsgPortBurstReq);
         m->addr[0] = sink.addr;
       },
       [](int slot) { return S(slot).last_port_burst_tick.load() != 0; }, true},
      {"relay packet",
       [&](int, RVP_Msg* m) {
         RVP_MsgInit(m, MsgRelayPkt);
         m->addr[0] = sink.addr;
         m->ticket = 7;
       },
       [](int) { return false; }, true},
      {"relay list",
       [&](int, RVP_Msg* m) {
         RVP_MsgInit(m, MsgRelayList);
         m->count = 1;
         m->list[0] = sink.addr;
       },
       [](int slot) { return S(slot).relay_state.load() == p2p::kRelayHellosSent; }, true},
      {"TCP relay offer",
       [](int slot, RVP_Msg* m) {
         RVP_SessionMsg(slot, MsgTcpRelayOffer, m);
         m->ticket = 9;
         RVP_AddrMake(&m->addr24[0], "127.0.0.1", 1);
       },
       [](int slot) { return S(slot).tcp_relay_offered.load() != 0; }, false},
  };
  Peer forger("127.0.0.9"), server("127.0.0.2");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int cli = Open(p2p::kRoleClient);
    S(cli).relay_state.store(p2p::kRelayWaitList);
    S(cli).tcp_start_time.store(p2p::NowSec());
    RVP_Msg m;
    c.make(cli, &m);
    forger.Send(Addr(cli), m);
    EXPECT_EQ(sink.Count(200), 0);
    EXPECT_FALSE(c.took(cli));
    server.Send(Addr(cli), m);
    if (c.sends) {
      EXPECT_TRUE(sink.Recv(1000) >= 0);
    }
    if (c.what != std::string("relay packet")) {
      EXPECT_TRUE(WaitUntil([&] { return c.took(cli); }, 1000));
    }
    sink.Count(100);
    Close(cli);
  }
}

TEST_F(p2pDialogue, PortRangePunchIsCapped) {
  // Sinks at the target port and at every step of 100 up to 11 steps each side.
  constexpr int kStep = 100, kSide = 11;
  std::vector<std::unique_ptr<Peer>> sinks;
  int base = 0;
  for (int attempt = 0; attempt < 50 && static_cast<int>(sinks.size()) < 2 * kSide + 1; ++attempt) {
    sinks.clear();
    base = 20000 + (std::rand() % 300) * 100;
    for (int k = -kSide; k <= kSide; ++k) {
      int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_in a = V4("127.0.0.1", static_cast<uint16_t>(base + k * kStep));
      if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        close(fd);
        break;
      }
      auto p = std::make_unique<Peer>();
      close(p->fd);
      p->fd = fd;
      p->addr = a;
      sinks.push_back(std::move(p));
    }
  }
  ASSERT_EQ(static_cast<int>(sinks.size()), 2 * kSide + 1);
  Peer server("127.0.0.3");
  int cli = Open(p2p::kRoleClient);
  RVP_Msg m;
  RVP_MsgInit(&m, MsgPortRangePunchReq);
  m.addr[0] = V4("127.0.0.1", static_cast<uint16_t>(base));
  m.range = 65535;
  m.step = kStep;
  server.Send(Addr(cli), m);
  p2p::SleepMs(300);
  for (int k = -kSide; k <= kSide; ++k) {
    bool capped = k < -p2p::kMaxRangePunchSteps || k > p2p::kMaxRangePunchSteps;
    EXPECT_EQ(sinks[static_cast<size_t>(k + kSide)]->Count(20), capped ? 0 : 1) << "step " << k;
  }
  EXPECT_EQ(S(cli).probe.load(), 1);

  // The exact port skipped; a range of one step.
  m.skip_exact = 1;
  m.range = kStep;
  server.Send(Addr(cli), m);
  p2p::SleepMs(200);
  for (int k = -kSide; k <= kSide; ++k)
    EXPECT_EQ(sinks[static_cast<size_t>(k + kSide)]->Count(10), k == 1 || k == -1 ? 1 : 0) << "step " << k;
}

// Each type the dialogue acts on is taken only at its size.
TEST_F(p2pDialogue, PayloadSizesAreCheckedPerType) {
  Peer server("127.0.0.2"), sink;
  // A valid message of the type with its payload cut to n bytes (or grown by
  // zero bytes), the header length set to match.
  auto resized = [](const RVP_Msg& m, size_t n) {
    std::vector<uint8_t> b(p2p::kMaxWrittenMsg);
    int len = RVP_MsgBuild(m, b.data(), b.size());
    b.resize(static_cast<size_t>(len));
    b.resize(4 + n, 0);
    p2p::PutBe16(b.data() + 2, static_cast<uint16_t>(n));
    return b;
  };
  struct Case {
    const char* what;
    uint8_t type;
    std::vector<size_t> bad_sizes;
    size_t good_size;
    std::function<bool(int)> took;
  };
  const Case cases[] = {
      {"HELLO answer",
       MsgHelloAck,
       {0, 8, 15},
       16,
       [](int slot) { return Text(RVP_SessionWan(slot)) == Text(V4("192.0.2.1", 7)); }},
      {"device state without its result byte",
       MsgDeviceState,
       {52, 60},
       61,
       [](int slot) { return S(slot).server_state.load() == -1; }},
      {"port-range punch request",
       MsgPortRangePunchReq,
       {19, 21},
       20,
       [](int slot) { return S(slot).probe.load() != 0; }},
      {"TCP relay offer",
       MsgTcpRelayOffer,
       {47, 49},
       48,
       [](int slot) { return S(slot).tcp_relay_offered.load() != 0; }},
      {"relay port answer",
       MsgRelayPortAck,
       {0, 4},
       8,
       [](int slot) { return S(slot).relay_state.load() >= p2p::kRelayTicketHeld; }},
      {"connect answer",
       MsgConnectReqAck,
       {0},
       1,
       [](int slot) { return S(slot).server_state.load() == -1; }},
      {"relay packet without its ticket", MsgRelayPkt, {16, 19}, 20, [](int) { return true; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int cli = Open(p2p::kRoleClient);
    S(cli).relay_state.store(p2p::kRelayPortAsked);
    S(cli).tcp_start_time.store(p2p::NowSec());
    RVP_Msg m;
    RVP_SessionMsg(cli, c.type, &m);
    bool sends = c.type == MsgRelayPkt || c.type == MsgPortRangePunchReq;
    m.addr[0] = sends ? sink.addr : V4("192.0.2.1", 7);
    m.state = 255;
    m.port = 9;
    for (size_t n : c.bad_sizes) {
      server.SendRaw(Addr(cli), resized(m, n));
      p2p::SleepMs(60);
      EXPECT_FALSE(c.took(cli) && c.type != MsgRelayPkt) << n << " bytes";
    }
    EXPECT_EQ(sink.Count(100), 0);
    server.SendRaw(Addr(cli), resized(m, c.good_size));
    EXPECT_TRUE(WaitUntil([&] { return c.took(cli); }, 1000)) << c.good_size << " bytes";
    if (c.type == MsgRelayPkt) {
      EXPECT_TRUE(sink.Expect(MsgRelayRdy, 1000));
    }
    if (c.type == MsgPortRangePunchReq) {
      EXPECT_TRUE(sink.Expect(MsgPunch, 1000));
    }
    sink.Count(50);
    Close(cli);
  }
}

}  // namespace
