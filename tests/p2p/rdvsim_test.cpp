// The rendezvous simulator itself: what it refuses, silence, its script
// commands, and the reports it prints as a program.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "p2p/bytes.h"
#include "p2p/cipher.h"
#include "tests/p2p/rdv_fixture.h"
#include "tests/p2p/rdvsim_process.h"

using namespace p2ptest;

namespace {

class p2pRdvsim : public RdvTest {
 protected:
  static std::vector<uint8_t> Bytes(const RVP_Msg& m) {
    std::vector<uint8_t> b(kMaxWrittenMsg);
    b.resize(static_cast<size_t>(RVP_MsgBuild(m, b.data(), b.size())));
    return b;
  }
  static RVP_Msg Did(uint8_t type) {
    RVP_Msg m;
    RVP_MsgInit(&m, type);
    RVP_DidMake(&m.did, "SIM", 5, "ABC");
    return m;
  }
};

// A server answers nothing that a real one would refuse.
TEST_F(p2pRdvsim, RefusesMalformedMessages) {
  Peer client;
  std::vector<uint8_t> login = Bytes(Did(MsgDevLogin));
  login.back() ^= 0x20;  // the cipher trailer no longer checks
  std::vector<uint8_t> short_req = Bytes(Did(MsgConnectReq));
  short_req.pop_back();
  PutBe16(short_req.data() + 2, 35);
  std::vector<uint8_t> long_len = Bytes(Did(MsgConnectReq));
  long_len[3] += 1;
  struct Case {
    const char* what;
    std::vector<uint8_t> msg;
    const char* key;
  };
  const Case cases[] = {
      {"a login that does not decipher", login, kKey},
      {"a connect request one byte short", short_req, kKey},
      {"a length field beyond the datagram", long_len, kKey},
      {"a HELLO under another packet key", Bytes(Did(MsgHello)), "other"},
      {"an unknown type", {0xF1, 0x0B, 0, 0}, kKey},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    client.SendRaw(servers[0], c.msg, c.key);
    EXPECT_EQ(client.Count(150), 0);
  }
  EXPECT_EQ(Got(MsgDevLogin), 0u);
  EXPECT_EQ(Got(MsgConnectReq), 0u);
  // The same messages whole are answered.
  client.SendRaw(servers[0], Bytes(Did(MsgDevLogin)));
  EXPECT_TRUE(client.Expect(MsgLoginAck, 1000));
  client.SendRaw(servers[0], Bytes(Did(MsgConnectReq)));
  EXPECT_TRUE(client.Expect(MsgConnectReqAck, 1000));
  client.Send(servers[0], Did(MsgHello));
  EXPECT_TRUE(client.Expect(MsgHelloAck, 1000));
}

TEST_F(p2pRdvsim, ABadTcpFrameEndsTheConnection) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to = V4("127.0.0.2", sim->tcp_port());
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 0);
  std::vector<uint8_t> msg = Bytes(Did(MsgTcpConnectReq));
  uint8_t frame[1400];
  int n = RVP_TcpFrameEncode(kKey, msg.data(), static_cast<int>(msg.size()), 1, 2, frame, sizeof(frame));
  // A good frame is answered with the server state.
  ASSERT_EQ(send(fd, frame, static_cast<size_t>(n), MSG_NOSIGNAL), n);
  ASSERT_TRUE(WaitGot(MsgTcpConnectReq, 1, 1000, true));
  uint8_t in[256];
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 1000), 1);
  ssize_t got = recv(fd, in, sizeof(in), 0);
  ASSERT_GT(got, 8);
  uint8_t answer[256];
  size_t used;
  int len = RVP_TcpFrameTake(kKey, false, in, static_cast<size_t>(got), answer, sizeof(answer), &used);
  ASSERT_EQ(len, 6);
  EXPECT_EQ(answer[1], MsgTcpServerState);
  EXPECT_EQ(answer[4], 254) << "the device is not online";
  // One with a damaged checksum: the server hangs up.
  frame[6] ^= 1;
  ASSERT_EQ(send(fd, frame, static_cast<size_t>(n), MSG_NOSIGNAL), n);
  ASSERT_EQ(poll(&p, 1, 2000), 1);
  EXPECT_EQ(recv(fd, in, sizeof(in), 0), 0);
  close(fd);
}

TEST_F(p2pRdvsim, SilentServersAndCommands) {
  Peer client;
  ASSERT_EQ(sim->Command("silent 2 on"), "");
  RVP_Msg hello;
  RVP_MsgInit(&hello, MsgHello);
  client.Send(servers[1], hello);
  EXPECT_EQ(client.Count(200), 0);
  EXPECT_EQ(Got(MsgHello), 1u) << "a silent server still records what it gets";
  client.Send(servers[2], hello);
  EXPECT_TRUE(client.Expect(MsgHelloAck, 1000));
  ASSERT_EQ(sim->Command("silent all on"), "");
  client.Send(servers[2], hello);
  EXPECT_EQ(client.Count(200), 0);
  ASSERT_EQ(sim->Command("silent all off"), "");
  client.Send(servers[1], hello);
  EXPECT_TRUE(client.Expect(MsgHelloAck, 1000));

  for (const char* bad : {"silent 4 on", "nat 5", "state X 256", "relays 1.2.3.4", "tcprelay nowhere",
                          "offer smoke", "frobnicate"})
    EXPECT_NE(sim->Command(bad), "") << bad;
  for (const char* good : {"nat off", "state ABC-000001-XYZ 253", "state ABC-000001-XYZ clear", "relays",
                           "relays 127.0.0.4:5000 127.0.0.5:5001", "tcprelay 127.0.0.6:443", "offer udp",
                           "ticket 7", "intro burst", "devstate ABC-000001-XYZ -1 5",
                           "tcpstate ABC-000001-XYZ 250 0", "forget ABC-000001-XYZ", "# a comment", ""})
    EXPECT_EQ(sim->Command(good), "") << good;
}

// As a program: script commands on standard input, reports on standard output.
TEST(p2pRdvsimProgram, AnswersCommandsAndPrintsReports) {
  RdvsimProcess sim;
  std::string why;
  ASSERT_TRUE(sim.Start({"--key", kKey, "--cmd", "nat 2"}, &why)) << why;
  EXPECT_TRUE(sim.Command("state ABC-000001-XYZ 252"));
  EXPECT_FALSE(sim.Command("state ABC-000001-XYZ"));

  Peer client;
  RVP_Msg rep;
  RVP_MsgInit(&rep, MsgConnectReport);
  RVP_DidMake(&rep.did, "ABC", 1, "XYZ");
  rep.result = -3;
  rep.role = 0;
  rep.session_mode = 1;
  rep.connect_mode = 30;
  rep.probe = 1;
  rep.addr[0] = V4("127.0.0.1", 1000);
  rep.addr[1] = V4("203.0.113.10", 2000);
  rep.addr[2] = V4("127.0.0.4", 3000);
  client.Send(V4("127.0.0.3", sim.udp_port), rep);
  std::string line;
  ASSERT_TRUE(sim.WaitLine("report ", 2000, &line));
  EXPECT_EQ(line,
            "report server=3 kind=connect did=ABC-000001-XYZ result=-3 role=0 mode=1 connect_mode=30 probe=1 "
            "local=127.0.0.1:1000 wan=203.0.113.10:2000 remote=127.0.0.4:3000");

  // The HELLO answer of the scripted NAT.
  RVP_Msg hello;
  RVP_MsgInit(&hello, MsgHello);
  client.Send(V4("127.0.0.1", sim.udp_port), hello);
  RVP_Msg ack;
  ASSERT_TRUE(client.Expect(MsgHelloAck, 1000, &ack));
  EXPECT_EQ(rdvsim::AddrText(ack.addr[0]), "203.0.113.10:" + std::to_string(ntohs(client.addr.sin_port)));

  sim.Stop();
  EXPECT_TRUE(sim.exited_cleanly);
}

}  // namespace
