// A loopback UDP socket for the proxy tests: the client or the upstream end of a relay.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace impairtest {

inline int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Polls cond every millisecond until it holds or timeout_ms passes.
template <class Cond>
bool WaitFor(Cond cond, int timeout_ms = 5000) {
  int64_t deadline = NowMs() + timeout_ms;
  while (!cond()) {
    if (NowMs() >= deadline) return false;
    usleep(1000);
  }
  return true;
}

inline sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

struct Datagram {
  std::string data;
  sockaddr_in from{};
  uint16_t from_port() const { return ntohs(from.sin_port); }
};

class UdpPeer {
 public:
  UdpPeer() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int size = 4 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    sockaddr_in a = Loopback(0);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t len = sizeof(a);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~UdpPeer() { close(fd_); }
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  uint16_t port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  void SendTo(uint16_t port, const std::string& data) const { SendTo(Loopback(port), data); }
  void SendTo(const sockaddr_in& to, const std::string& data) const {
    sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
  }

  // The next datagram, or nothing after timeout_ms.
  std::optional<Datagram> Recv(int timeout_ms) const {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return std::nullopt;
    char buf[65536];
    Datagram d;
    socklen_t len = sizeof(d.from);
    ssize_t n = recvfrom(fd_, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&d.from), &len);
    if (n < 0) return std::nullopt;
    d.data.assign(buf, static_cast<size_t>(n));
    return d;
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

}  // namespace impairtest
