// Three rendezvous servers made of plain UDP sockets on 127.0.0.1, .2 and .3
// (one port), and the library of this process initialised against them: a
// test sees every datagram the library sends to its servers, byte for byte,
// and answers by hand.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "p2p/cipher.h"
#include "p2p/msg_io.h"
#include "p2p/rvs_api.h"
#include "p2p/state.h"
#include "tests/p2p/rdv_fixture.h"
#include "tests/p2p/test_util.h"

namespace p2ptest {

// A datagram as it came, unscrambled with the packet key.
struct Datagram {
  std::vector<uint8_t> bytes;
  sockaddr_in from{};
  uint8_t type() const { return bytes.size() > 1 ? bytes[1] : 0xFF; }
  std::vector<uint8_t> payload() const {
    return bytes.size() > 4 ? std::vector<uint8_t>(bytes.begin() + 4, bytes.end()) : std::vector<uint8_t>{};
  }
};

// The next datagram on the socket within ms (false on none).
inline bool RecvDatagram(int fd, unsigned ms, Datagram* out, const char* key = kKey) {
  uint8_t buf[2048];
  sockaddr_in from{};
  int n = RVP_UdpRecv(fd, buf, key, sizeof(buf), &from, ms);
  if (n <= 0) return false;
  out->bytes.assign(buf, buf + n);
  out->from = from;
  return true;
}

// The wire form of an address, written by hand: family 2, then the port and
// the IPv4 address as the host stores them (little-endian), 8 zero bytes.
inline std::string WireHex(const char* ip, uint16_t port) {
  in_addr a{};
  inet_pton(AF_INET, ip, &a);
  const uint8_t* b = reinterpret_cast<const uint8_t*>(&a.s_addr);
  char t[64];
  std::snprintf(t, sizeof(t), "00 02 %02X %02X %02X %02X %02X %02X", port & 0xFF, port >> 8, b[3], b[2], b[1], b[0]);
  return std::string(t) + " 00 00 00 00 00 00 00 00";
}

class FakeServers {
 public:
  // Binds the three sockets and initialises the library: false with why.
  bool Start(std::string* why, int alive_sec = 8) {
    for (int attempt = 0; attempt < 20 && !bound_; ++attempt) bound_ = Bind();
    if (!bound_) {
      *why = "no common port on 127.0.0.1-3";
      return false;
    }
    RVP_TestSetServerPorts(port, closed_tcp_port_);
    const std::string init = RVP_InitStringEncode("127.0.0.1,127.0.0.2,127.0.0.3,", kKey);
    const std::string param = "{\"InitString\":\"" + init + "\",\"SessAliveSec\":" + std::to_string(alive_sec) + "}";
    if (RVS_Initialize(param.c_str()) != 0) {
      *why = "RVS_Initialize failed";
      return false;
    }
    {
      std::lock_guard<p2p::Mutex> g(p2p::g_rvs.mutex);
      for (int i = 0; i < 3; ++i) p2p::g_rvs.servers[i] = addr[i];
    }
    // As after a detection a moment ago: a listen runs none.
    p2p::g_rvs.last_net_detect.store(p2p::NowSec());
    p2p::RVP_SetNetText(p2p::g_rvs.lan_ip, "127.0.0.1");
    p2p::RVP_SetNetText(p2p::g_rvs.wan_ip, "203.0.113.7");
    return true;
  }
  ~FakeServers() {
    if (p2p::g_rvs.initialized.load()) RVS_DeInitialize();
    RVP_TestSetServerPorts(0, 0);
    for (int fd : fds)
      if (fd >= 0) close(fd);
    if (tcp_fd_ >= 0) close(tcp_fd_);
  }

  // Next datagram to server i of the type within ms, skipping others.
  bool Expect(int i, uint8_t type, unsigned ms, Datagram* out) {
    const uint32_t start = p2p::TickMs();
    Datagram d;
    while (p2p::TickMs() - start < ms) {
      if (RecvDatagram(fds[i], 20, &d) && d.type() == type) {
        *out = d;
        return true;
      }
    }
    return false;
  }
  // Every datagram to any server within ms.
  std::vector<Datagram> Drain(unsigned ms) {
    std::vector<Datagram> all;
    const uint32_t start = p2p::TickMs();
    while (p2p::TickMs() - start < ms)
      for (int fd : fds) {
        Datagram d;
        if (RecvDatagram(fd, 5, &d)) all.push_back(d);
      }
    return all;
  }
  // Sends a message from server i.
  void Send(int i, const sockaddr_in& to, const RVP_Msg& m) { ASSERT_GT(RVP_SendMsg(kKey, fds[i], to, m), 0); }

  std::array<int, 3> fds{-1, -1, -1};
  std::array<sockaddr_in, 3> addr{};
  uint16_t port = 0;

 private:
  bool Bind() {
    for (int& fd : fds)
      if (fd >= 0) close(fd), fd = -1;
    if (tcp_fd_ >= 0) close(tcp_fd_), tcp_fd_ = -1;
    uint16_t p = 0;
    for (int i = 0; i < 3; ++i) {
      fds[i] = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      addr[i] = V4(("127.0.0." + std::to_string(i + 1)).c_str(), p);
      socklen_t l = sizeof(addr[i]);
      if (bind(fds[i], reinterpret_cast<sockaddr*>(&addr[i]), sizeof(addr[i])) != 0) return false;
      getsockname(fds[i], reinterpret_cast<sockaddr*>(&addr[i]), &l);
      p = ntohs(addr[i].sin_port);
    }
    port = p;
    // A TCP port where nothing listens: links to the servers are refused.
    tcp_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in t = V4("127.0.0.1", 0);
    socklen_t l = sizeof(t);
    bind(tcp_fd_, reinterpret_cast<sockaddr*>(&t), sizeof(t));
    getsockname(tcp_fd_, reinterpret_cast<sockaddr*>(&t), &l);
    closed_tcp_port_ = ntohs(t.sin_port);
    return true;
  }
  bool bound_ = false;
  int tcp_fd_ = -1;
  uint16_t closed_tcp_port_ = 0;
};

}  // namespace p2ptest
