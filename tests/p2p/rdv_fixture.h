// A library initialised against an in-process rendezvous simulator, and
// helpers that set sessions up as the connect and listen procedures do.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "p2p/dialogue.h"
#include "p2p/msg_io.h"
#include "p2p/rvs_api.h"
#include "p2p/session_ops.h"
#include "p2p/sock.h"
#include "p2p/state.h"
#include "p2p/tcp_link.h"
#include "tests/p2p/test_util.h"
#include "tools/rdvsim/rdvsim.h"

namespace p2ptest {

using namespace p2p;

inline constexpr char kKey[] = "pk-test";

// Polls cond every 5 ms for up to ms; true when it held.
inline bool WaitUntil(const std::function<bool()>& cond, unsigned ms) {
  uint32_t start = p2p::TickMs();
  while (!cond()) {
    if (p2p::TickMs() - start >= ms) return false;
    p2p::SleepMs(5);
  }
  return true;
}

// Next message on a UDP socket within ms: its type, or -1; payload and sender in the outs.
inline int RecvOn(int fd, unsigned ms, std::vector<uint8_t>* payload = nullptr,
                  sockaddr_in* from = nullptr, const char* key = kKey) {
  uint8_t type;
  uint16_t len;
  uint8_t buf[p2p::kMaxPayload];
  sockaddr_in f{};
  if (RVP_RecvMsg(key, &f, fd, ms, &type, &len, buf, sizeof(buf)) != 0) return -1;
  if (payload) payload->assign(buf, buf + len);
  if (from) *from = f;
  return type;
}

// Waits on a UDP socket for a message of the type, skipping others; false after ms.
inline bool ExpectOn(int fd, uint8_t type, unsigned ms, RVP_Msg* out = nullptr,
                     sockaddr_in* from = nullptr, const char* key = kKey) {
  uint32_t start = p2p::TickMs();
  while (p2p::TickMs() - start < ms) {
    std::vector<uint8_t> p;
    int t = RecvOn(fd, 20, &p, from, key);
    if (t == type) {
      RVP_Msg m;
      if (RVP_MsgParsePayload(type, p.data(), p.size(), &m) != kMsgOk) return false;
      if (out) *out = m;
      return true;
    }
  }
  return false;
}

// A UDP socket bound to ip:0, with its address.
struct Peer {
  int fd = -1;
  sockaddr_in addr{};
  explicit Peer(const char* ip = "127.0.0.1") {
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    addr = V4(ip, 0);
    socklen_t l = sizeof(addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) ADD_FAILURE() << "bind " << ip;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &l);
  }
  ~Peer() { close(fd); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  void Send(const sockaddr_in& to, const RVP_Msg& m, const char* key = kKey) const {
    ASSERT_GT(RVP_SendMsg(key, fd, to, m), 0);
  }
  // Sends raw message bytes (header and payload), scrambled with the key.
  void SendRaw(const sockaddr_in& to, const std::vector<uint8_t>& msg, const char* key = kKey) const {
    ASSERT_EQ(RVP_UdpSend(key, to, msg.data(), static_cast<int>(msg.size()), fd),
              static_cast<int>(msg.size()));
  }
  // Next message within ms: its type, or -1; payload and sender in the outs.
  int Recv(unsigned ms, std::vector<uint8_t>* payload = nullptr, sockaddr_in* from = nullptr,
           const char* key = kKey) const {
    return RecvOn(fd, ms, payload, from, key);
  }
  // Waits for a message of the type, skipping others; false after ms.
  bool Expect(uint8_t type, unsigned ms, RVP_Msg* out = nullptr, sockaddr_in* from = nullptr,
              const char* key = kKey) const {
    return ExpectOn(fd, type, ms, out, from, key);
  }
  // Messages of any kind that arrive within ms.
  int Count(unsigned ms) const {
    int n = 0;
    uint32_t start = p2p::TickMs();
    while (p2p::TickMs() - start < ms)
      if (Recv(10) >= 0) ++n;
    return n;
  }
};

class RdvTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rdvsim::Config c;
    c.udp_port = 0;
    c.tcp_port = 0;
    c.key = kKey;
    sim = std::make_unique<rdvsim::Server>(c);
    std::string why;
    ASSERT_TRUE(sim->Start(&why)) << why;
    RVP_TestSetServerPorts(sim->udp_port(), sim->tcp_port());
    ASSERT_EQ(RVS_Initialize(("{\"InitString\":\"" + sim->InitString() + "\",\"SessAliveSec\":8}").c_str()),
              0);
    for (int i = 0; i < 3; ++i) {
      servers[i] = V4(("127.0.0." + std::to_string(i + 1)).c_str(), sim->udp_port());
      p2p::g_rvs.servers[i] = servers[i];
    }
  }
  void TearDown() override {
    for (int slot : slots) {
      RVP_DialogueStop(slot);
      RVP_TcpLinksFree(slot);
      RVP_SessionFree(slot);
    }
    if (p2p::g_rvs.initialized.load()) RVS_DeInitialize();
    if (sim) sim->Stop();
    RVP_TestSetServerPorts(0, 0);
  }

  // A session set up as a connect (client) or listen (device) would, with its
  // dialogue running. DID prefix-serial-suffix.
  int Open(uint8_t role, const char* prefix = "ABC", uint32_t serial = 123, const char* suffix = "XYZ",
           const char* did_key = nullptr) {
    int slot = RVP_SlotAlloc();
    EXPECT_GE(slot, 0);
    p2p::SessionSetup s;
    s.role = role;
    s.prefix = prefix;
    s.serial = serial;
    s.suffix = suffix;
    s.did_key = did_key;
    s.packet_key = kKey;
    s.servers = servers;
    EXPECT_EQ(RVP_SessionOpen(slot, s), 0);
    // As after a detection on loopback: port bursts toward loopback peers
    // then punch exact ports only.
    {
      std::lock_guard<p2p::Mutex> g(p2p::g_rvs.mutex);
      S(slot).wan.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    slots.push_back(slot);
    EXPECT_TRUE(RVP_DialogueStart(slot));
    return slot;
  }
  static p2p::Session& S(int slot) { return p2p::Sess(slot); }
  // The address of the session's socket on loopback.
  static sockaddr_in Addr(int slot) {
    sockaddr_in a{};
    socklen_t l = sizeof(a);
    getsockname(S(slot).socket, reinterpret_cast<sockaddr*>(&a), &l);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
  }
  static RVP_Msg Msg(int slot, uint8_t type) {
    RVP_Msg m;
    RVP_SessionMsg(slot, type, &m);
    return m;
  }
  // Logs a device session in as a listen does (plain or keyed login).
  void Login(int slot, bool keyed = false) {
    RVP_Msg m = Msg(slot, keyed ? MsgDevLoginKeyed : MsgDevLogin);
    m.addr[0] = p2p::RVP_SessionLocal(slot);
    std::strcpy(m.did_key, "key1");
    RVP_SessionSendToServers(slot, m);
  }
  // Counts what the simulator received.
  size_t Got(uint8_t type, bool tcp = false, int port_index = -1) {
    size_t n = 0;
    for (const rdvsim::Received& r : sim->Log())
      n += r.type == type && r.tcp == tcp && r.accepted && (port_index < 0 || r.port_index == port_index);
    return n;
  }
  bool WaitGot(uint8_t type, size_t n, unsigned ms, bool tcp = false, int port_index = -1) {
    return WaitUntil([&] { return Got(type, tcp, port_index) >= n; }, ms);
  }

  std::unique_ptr<rdvsim::Server> sim;
  sockaddr_in servers[3];
  std::vector<int> slots;
};

}  // namespace p2ptest
