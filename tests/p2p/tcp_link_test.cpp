// TCP links to the servers: framing, a complete message kept until taken,
// bad frames resetting the link, the retry interval, owed messages; and the
// connect to a TCP relay that stays silent or cannot be reached.
#include "p2p/tcp_link.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "p2p/bytes.h"
#include "p2p/cipher.h"
#include "p2p/rvs_api.h"
#include "p2p/session_ops.h"
#include "tests/p2p/test_util.h"

using namespace p2ptest;
using namespace p2p;

namespace {

constexpr char kKey[] = "link-key";

// A listening TCP socket on 127.0.0.1.
struct Listener {
  int fd = -1;
  uint16_t port = 0;
  Listener() {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in a = V4("127.0.0.1", 0);
    socklen_t l = sizeof(a);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    listen(fd, 8);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l);
    port = ntohs(a.sin_port);
  }
  ~Listener() { close(fd); }
  int Accept(unsigned ms) const {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(ms)) == 1 ? accept(fd, nullptr, nullptr) : -1;
  }
};

class p2pTcpLink : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RVS_Initialize(RVP_InitStringEncode("127.0.0.1,127.0.0.1,127.0.0.1,", kKey).c_str()), 0);
    slot = RVP_SlotAlloc();
    sockaddr_in servers[3] = {V4("127.0.0.1", 32100), V4("127.0.0.1", 32100), V4("127.0.0.1", 32100)};
    p2p::SessionSetup s;
    s.prefix = "LNK";
    s.serial = 42;
    s.suffix = "ABC";
    s.packet_key = kKey;
    s.servers = servers;
    ASSERT_EQ(RVP_SessionOpen(slot, s), 0);
  }
  void TearDown() override {
    RVP_TcpLinksFree(slot);
    RVP_SessionFree(slot);
    RVS_DeInitialize();
    RVP_TestSetServerPorts(0, 0);
    for (int fd : peers) close(fd);
  }
  // Link 0 of the session on one end of a stream pair; returns the other end.
  int PairedLink() {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    RVP_TcpLink* l = RVP_TcpLinkNew("Server1", "127.0.0.1");
    l->socket = sv[0];
    l->connected = true;
    Sess(slot).tcp_links[0].store(l);
    peers.push_back(sv[1]);
    return sv[1];
  }
  RVP_TcpLink* Link() { return Sess(slot).tcp_links[0].load(); }
  static std::vector<uint8_t> Frame(const std::vector<uint8_t>& msg, const char* key = kKey) {
    std::vector<uint8_t> f(8 + msg.size());
    int n = RVP_TcpFrameEncode(key, msg.data(), static_cast<int>(msg.size()), 0x12, 0xAB, f.data(),
                               static_cast<int>(f.size()));
    EXPECT_EQ(n, static_cast<int>(f.size()));
    return f;
  }
  static std::vector<uint8_t> Message(uint8_t type, std::vector<uint8_t> payload) {
    std::vector<uint8_t> m = {0xF1, type, 0, 0};
    p2p::PutBe16(m.data() + 2, static_cast<uint16_t>(payload.size()));
    m.insert(m.end(), payload.begin(), payload.end());
    return m;
  }
  // Takes link 0's message: the result, with type and payload.
  int Take(uint8_t* type, std::vector<uint8_t>* payload, int cap = 1280) {
    uint8_t buf[1280];
    uint16_t len = 0;
    int r = RVP_TcpLinkTakeMsg(Link(), nullptr, nullptr, type, &len, buf, cap);
    if (r == 0) payload->assign(buf, buf + len);
    return r;
  }

  int slot = -1;
  std::vector<int> peers;
};

TEST_F(p2pTcpLink, FramesArriveWholeWhateverTheSplit) {
  int peer = PairedLink();
  std::vector<uint8_t> msg = Message(MsgTcpServerState, {0, 0});
  std::vector<uint8_t> f = Frame(msg);
  uint8_t type;
  std::vector<uint8_t> payload;
  for (size_t i = 0; i < f.size(); ++i) {
    EXPECT_EQ(Take(&type, &payload), -1) << "after " << i << " bytes";
    ASSERT_EQ(send(peer, &f[i], 1, 0), 1);
    RVP_TcpLinksRecv(slot);
  }
  ASSERT_EQ(Take(&type, &payload), 0);
  EXPECT_EQ(type, MsgTcpServerState);
  EXPECT_EQ(payload, std::vector<uint8_t>({0, 0}));
  EXPECT_EQ(Take(&type, &payload), -1) << "taken once";
  EXPECT_EQ(Link()->socket >= 0, true);
}

TEST_F(p2pTcpLink, AMessageNotYetTakenIsKept) {
  int peer = PairedLink();
  std::vector<uint8_t> first = Frame(Message(MsgTcpServerState, {250, 0}));
  std::vector<uint8_t> second = Frame(Message(MsgLoginAck, {7}));
  std::vector<uint8_t> both = first;
  both.insert(both.end(), second.begin(), second.end());
  ASSERT_EQ(send(peer, both.data(), both.size(), 0), static_cast<ssize_t>(both.size()));
  for (int i = 0; i < 4; ++i) RVP_TcpLinksRecv(slot);
  uint8_t type;
  std::vector<uint8_t> payload;
  ASSERT_EQ(Take(&type, &payload), 0);
  EXPECT_EQ(type, MsgTcpServerState);
  EXPECT_EQ(payload[0], 250);
  EXPECT_EQ(Take(&type, &payload), -1) << "the second frame is still in the socket";
  RVP_TcpLinksRecv(slot);
  ASSERT_EQ(Take(&type, &payload), 0);
  EXPECT_EQ(type, MsgLoginAck);
  EXPECT_EQ(payload, std::vector<uint8_t>({7}));
}

TEST_F(p2pTcpLink, BadFramesResetTheLink) {
  std::vector<uint8_t> good = Frame(Message(MsgTcpServerState, {0, 0}));
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    bool close_after;
  };
  std::vector<uint8_t> no_mark = good, too_long = good, swapped = good, bad_body = good;
  no_mark[2] = 'H';
  p2p::PutBe16(too_long.data(), 1281);
  std::swap(swapped[6], swapped[7]);
  ASSERT_NE(swapped, good);
  bad_body.back() ^= 1;
  const Case cases[] = {
      {"no 'h' in the header", no_mark, false},
      {"a body of 1281 bytes", too_long, false},
      {"checksum bytes swapped", swapped, false},
      {"a body that does not match its checksum", bad_body, false},
      {"the peer closes after the header", std::vector<uint8_t>(good.begin(), good.begin() + 8), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int peer = PairedLink();
    ASSERT_EQ(send(peer, c.bytes.data(), c.bytes.size(), 0), static_cast<ssize_t>(c.bytes.size()));
    if (c.close_after) shutdown(peer, SHUT_WR);
    for (int i = 0; i < 3; ++i) RVP_TcpLinksRecv(slot);
    EXPECT_EQ(Link()->socket, -1);
    EXPECT_FALSE(Link()->connected);
    uint8_t type;
    std::vector<uint8_t> payload;
    EXPECT_EQ(Take(&type, &payload), -1);
    RVP_TcpLinkFree(Sess(slot).tcp_links[0].exchange(nullptr));
  }
}

TEST_F(p2pTcpLink, TakeChecksTheMessageAndIsReadyForTheNext) {
  struct Case {
    const char* what;
    std::vector<uint8_t> msg;
    int cap;
    int result;
  };
  std::vector<uint8_t> long_len = Message(MsgLoginAck, {1});
  long_len[3] = 2;
  const Case cases[] = {
      {"no message header", {0xF2, 0x11, 0, 1, 0}, 1280, -3},
      {"a body shorter than a header", {0xF1, 0x11}, 1280, -3},
      {"an empty body", {}, 1280, -3},
      {"a length that does not match", long_len, 1280, -4},
      {"a payload beyond the capacity", Message(MsgLoginAck, std::vector<uint8_t>(40, 1)), 39, -5},
      {"a message", Message(MsgLoginAck, {3}), 1280, 0},
  };
  int peer = PairedLink();
  std::vector<uint8_t> next = Frame(Message(MsgConnectReqAck, {9}));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> f = Frame(c.msg);
    f.insert(f.end(), next.begin(), next.end());
    ASSERT_EQ(send(peer, f.data(), f.size(), 0), static_cast<ssize_t>(f.size()));
    RVP_TcpLinksRecv(slot);
    uint8_t type = 0;
    std::vector<uint8_t> payload;
    EXPECT_EQ(Take(&type, &payload, c.cap), c.result);
    RVP_TcpLinksRecv(slot);
    ASSERT_EQ(Take(&type, &payload), 0);
    EXPECT_EQ(type, MsgConnectReqAck);
  }
}

TEST_F(p2pTcpLink, OwedRequestGoesOnceAndALinkRetriesTenSecondsAfterItsLastAttempt) {
  Listener server;
  RVP_TestSetServerPorts(0, server.port);
  // Only the first server listens.
  Sess(slot).servers[1] = V4("127.0.0.2", 32100);
  Sess(slot).servers[2] = V4("127.0.0.3", 32100);
  RVP_TcpLinksMake(slot);
  RVP_TcpLink* l = Link();
  ASSERT_NE(l, nullptr);
  EXPECT_STREQ(l->name, "Server1");
  EXPECT_STREQ(Sess(slot).tcp_links[2].load()->name, "Server3");
  auto connect_link = [&] {
    for (int i = 0; i < 200 && !l->connected; ++i) {
      RVP_TcpLinksConnect(slot, kOweReq);
      p2p::SleepMs(5);
    }
    return l->connected;
  };
  ASSERT_TRUE(connect_link());
  int conn = server.Accept(2000);
  ASSERT_GE(conn, 0);
  peers.push_back(conn);

  // The owed connect request, framed and scrambled with the session's key.
  RVP_TcpLinksSendP2PReq(slot);
  RVP_TcpLinksSendP2PReq(slot);
  p2p::SleepMs(100);
  uint8_t buf[4096];
  ssize_t n = recv(conn, buf, sizeof(buf), MSG_DONTWAIT);
  ASSERT_GT(n, 0);
  uint8_t msg[1280];
  size_t used = 0;
  int len = RVP_TcpFrameTake(kKey, false, buf, static_cast<size_t>(n), msg, sizeof(msg), &used);
  ASSERT_EQ(len, 4 + 52);
  EXPECT_EQ(used, static_cast<size_t>(n)) << "sent once";
  RVP_Msg m;
  ASSERT_EQ(RVP_MsgParse(msg, static_cast<size_t>(len), &m), kMsgOk);
  EXPECT_EQ(m.type, MsgTcpConnectReq);
  EXPECT_EQ(m.did.serial, 42u);
  EXPECT_EQ(m.resend, 0);
  EXPECT_EQ(std::memcmp(m.version, "\x05\x00\x09", 3), 0);
  RVP_Address24 local;
  ASSERT_EQ(RVP_SockName(l->socket, &local), 0);
  EXPECT_EQ(m.addr24[0].port, local.port);
  EXPECT_EQ(m.addr24[0].v4, local.v4);

  // The server closes after a frame header: the link is reset, and the next
  // attempt waits for ten seconds after the last one.
  std::vector<uint8_t> f = Frame(Message(MsgTcpServerState, {0, 0}));
  send(conn, f.data(), 8, MSG_NOSIGNAL);
  close(conn);
  peers.pop_back();
  for (int i = 0; i < 20 && l->connected; ++i) {
    RVP_TcpLinksRecv(slot);
    p2p::SleepMs(5);
  }
  EXPECT_FALSE(l->connected);
  EXPECT_EQ(l->socket, -1);
  l->last_attempt = p2p::TickMs() - 9900;
  RVP_TcpLinksConnect(slot, kOweReq);
  EXPECT_EQ(l->socket, -1) << "within ten seconds";
  l->last_attempt = p2p::TickMs() - 10001;
  EXPECT_TRUE(connect_link());
  int again = server.Accept(2000);
  EXPECT_GE(again, 0);
  peers.push_back(again);
}

class p2pTcpRelay : public p2pTcpLink {
 protected:
  // Runs the relay connect; returns the milliseconds it took.
  uint32_t Connect(const sockaddr_in& relay) {
    Sess(slot).tcp_relay_addr = RVP_Addr24FromV4(relay);
    Sess(slot).tcp_relay_ticket = 77;
    uint32_t start = p2p::TickMs();
    RVP_TcpRelayConnect(slot);
    return p2p::TickMs() - start;
  }
};

TEST_F(p2pTcpRelay, ASilentRelayFailsAfterFiveSeconds) {
  Listener relay;
  std::thread accepter([&] {
    int c = relay.Accept(3000);
    p2p::SleepMs(6000);
    if (c >= 0) close(c);
  });
  uint32_t ms = Connect(V4("127.0.0.1", relay.port));
  accepter.join();
  EXPECT_EQ(Sess(slot).tcp_relay_state.load(), p2p::kTcpRelayFailed);
  EXPECT_GE(ms, 4900u);
  EXPECT_LT(ms, 7000u);
  EXPECT_EQ(Sess(slot).tcp_socket.load(), -1);
}

TEST_F(p2pTcpRelay, AnUnreachableRelayIsRetriedForFiveSeconds) {
  uint16_t port;
  {
    Listener gone;
    port = gone.port;
  }
  uint32_t ms = Connect(V4("127.0.0.1", port));
  EXPECT_EQ(Sess(slot).tcp_relay_state.load(), p2p::kTcpRelayRetrying);
  EXPECT_GE(ms, 4900u);
  EXPECT_LT(ms, 7000u);
}

TEST_F(p2pTcpRelay, TheConnectBreakEndsTheAttempt) {
  Listener relay;
  std::thread breaker([] {
    p2p::SleepMs(300);
    RVS_Connect_Break();
  });
  uint32_t ms = Connect(V4("127.0.0.1", relay.port));
  breaker.join();
  EXPECT_EQ(Sess(slot).tcp_relay_state.load(), p2p::kTcpRelayFailed);
  EXPECT_LT(ms, 2000u);
}

}  // namespace
