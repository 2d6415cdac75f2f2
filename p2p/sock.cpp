#include "p2p/sock.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "p2p/cipher.h"
#include "p2p/sys.h"

using namespace p2p;

namespace {

void SetNonBlocking(int sock) {
  int fl = fcntl(sock, F_GETFL, 0);
  if (fl >= 0) fcntl(sock, F_SETFL, fl | O_NONBLOCK);
}

void SetReuse(int sock) {
  int on = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
}

// poll on one socket; 1 ready, 0 time-out, -1 error. Restarts after signals.
int PollOne(int sock, short events, unsigned timeout_ms) {
  if (sock < 0) return -1;
  pollfd p{sock, events, 0};
  uint32_t start = TickMs();
  for (;;) {
    uint32_t spent = TickMs() - start;
    int left = spent >= timeout_ms ? 0 : static_cast<int>(timeout_ms - spent);
    int r = poll(&p, 1, left);
    if (r > 0) return 1;
    if (r == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

bool Broken(const RVP_BreakFlag* brk) { return brk && brk->load(std::memory_order_relaxed) == 1; }

std::atomic<uint16_t> g_udp_port{0}, g_tcp_port{0};

}  // namespace

namespace p2p {
uint16_t ServerUdpPort() {
  uint16_t p = g_udp_port.load();
  return p ? p : kServerPort;
}
uint16_t TcpLinkPort() {
  uint16_t p = g_tcp_port.load();
  return p ? p : kTcpLinkPort;
}
}  // namespace p2p

void RVP_TestSetServerPorts(uint16_t udp, uint16_t tcp) {
  g_udp_port.store(udp);
  g_tcp_port.store(tcp);
}

int RVP_UdpSocket() { return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); }

void RVP_SetBroadcast(int sock) {
  int on = 1;
  setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on));
}

int RVP_UdpBind(int sock, uint16_t port, sockaddr_in* out) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  int result = -1;
  if (port != 0) {
    a.sin_port = htons(port);
    if (bind(sock, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) result = port;
  } else {
    for (int i = 0; i < 1000; ++i) {
      uint16_t p = static_cast<uint16_t>(std::rand() % kRandomPortCount + kRandomPortFirst);
      a.sin_port = htons(p);
      if (bind(sock, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) {
        result = p;
        break;
      }
    }
  }
  if (out) *out = a;
  return result;
}

int RVP_Resolve(const char* name, in_addr* out) {
  if (!name || !out) return -1;
  // inet_aton takes the dotted forms inet_addr takes, and 255.255.255.255 too.
  if (inet_aton(name, out)) return 0;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &res) != 0 || !res) return -1;
  int r = -1;
  for (addrinfo* p = res; p; p = p->ai_next) {
    if (p->ai_family == AF_INET) {
      *out = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr;
      r = 0;
      break;
    }
  }
  freeaddrinfo(res);
  return r;
}

int RVP_LanSearchSocket() {
  int s = RVP_UdpSocket();
  if (s < 0) return -1;
  SetReuse(s);
  RVP_SetBroadcast(s);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(kLanSearchPort);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    RVP_SocketClose(s);
    return -3;
  }
  return s;
}

int RVP_UdpRecv(int sock, uint8_t* out, const char* key, int size, sockaddr_in* from, unsigned timeout_ms) {
  int ready = PollOne(sock, POLLIN, timeout_ms);
  if (ready < 0) return -1;
  if (ready == 0) return 0;
  uint8_t scratch[kMaxDatagram];
  sockaddr_in src{};
  socklen_t sl = sizeof(src);
  int want = size < kMaxDatagram ? size : kMaxDatagram;
  if (want < 0) want = 0;
  ssize_t n = recvfrom(sock, scratch, static_cast<size_t>(want), MSG_DONTWAIT,
                       reinterpret_cast<sockaddr*>(&src), &sl);
  if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : static_cast<int>(n);
  if (from) *from = src;
  RVP_Unscramble(key, scratch, out, static_cast<uint16_t>(n));
  return static_cast<int>(n);
}

int RVP_UdpSend(const char* key, const sockaddr_in& to, const uint8_t* msg, int len, int sock) {
  if (len < 0 || len > kMaxDatagram) return -1;
  uint8_t buf[kMaxDatagram];
  RVP_Scramble(key, msg, buf, static_cast<uint16_t>(len));
  sockaddr_in dst = to;
  dst.sin_family = AF_INET;
  return static_cast<int>(sendto(sock, buf, static_cast<size_t>(len), MSG_NOSIGNAL,
                                 reinterpret_cast<sockaddr*>(&dst), sizeof(dst)));
}

int RVP_UdpSend4(const char* key, const uint8_t msg[4], const sockaddr_in& to, int sock) {
  return RVP_UdpSend(key, to, msg, 4, sock);
}

bool RVP_LanInterfaces(std::vector<RVP_LanIf>* out) {
  out->clear();
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  for (ifaddrs* p = list; p; p = p->ifa_next) {
    if (!p->ifa_addr || p->ifa_addr->sa_family != AF_INET) continue;
    RVP_LanIf i{};
    std::strncpy(i.name, p->ifa_name ? p->ifa_name : "", IFNAMSIZ - 1);
    i.flags = p->ifa_flags;
    i.addr = reinterpret_cast<sockaddr_in*>(p->ifa_addr)->sin_addr;
    if ((p->ifa_flags & IFF_BROADCAST) && p->ifa_broadaddr && p->ifa_broadaddr->sa_family == AF_INET)
      i.brd = reinterpret_cast<sockaddr_in*>(p->ifa_broadaddr)->sin_addr;
    out->push_back(i);
  }
  freeifaddrs(list);
  return true;
}

bool RVP_LanInterfacesIoctl(std::vector<RVP_LanIf>* out) {
  out->clear();
  int s = RVP_UdpSocket();
  if (s < 0) return false;
  std::vector<ifreq> reqs(64);
  ifconf conf{};
  conf.ifc_len = static_cast<int>(reqs.size() * sizeof(ifreq));
  conf.ifc_req = reqs.data();
  if (ioctl(s, SIOCGIFCONF, &conf) != 0) {
    close(s);
    return false;
  }
  size_t n = static_cast<size_t>(conf.ifc_len) / sizeof(ifreq);
  for (size_t k = 0; k < n; ++k) {
    ifreq r = reqs[k];
    if (r.ifr_addr.sa_family != AF_INET) continue;
    RVP_LanIf i{};
    std::memcpy(i.name, r.ifr_name, IFNAMSIZ);
    i.name[IFNAMSIZ - 1] = 0;
    i.addr = reinterpret_cast<sockaddr_in*>(&r.ifr_addr)->sin_addr;
    ifreq q{};
    std::memcpy(q.ifr_name, r.ifr_name, IFNAMSIZ);
    if (ioctl(s, SIOCGIFFLAGS, &q) == 0) i.flags = static_cast<unsigned short>(q.ifr_flags);
    if ((i.flags & IFF_BROADCAST) && ioctl(s, SIOCGIFBRDADDR, &q) == 0 &&
        q.ifr_broadaddr.sa_family == AF_INET)
      i.brd = reinterpret_cast<sockaddr_in*>(&q.ifr_broadaddr)->sin_addr;
    out->push_back(i);
  }
  close(s);
  return true;
}

bool RVP_LanBroadcastTarget(const RVP_LanIf& ifc, in_addr* out) {
  uint32_t a = ntohl(ifc.addr.s_addr);
  if ((ifc.flags & IFF_LOOPBACK) || (a >> 24) == 127) return false;
  if ((a >> 16) == 0xA9FE) return false;  // 169.254.x.x
  if (!(ifc.flags & IFF_UP) || (ifc.flags & IFF_POINTOPOINT)) return false;
  if (ifc.brd.s_addr != 0)
    *out = ifc.brd;
  else
    out->s_addr = htonl((a & 0xFFFFFF00u) | 0xFF);
  return true;
}

int RVP_LanBroadcastTo(const char* key, const uint8_t msg[4], int sock, const RVP_LanIf* ifs, size_t n,
                       uint16_t port) {
  int sent = 0;
  for (size_t i = 0; i < n; ++i) {
    sockaddr_in to{};
    if (!RVP_LanBroadcastTarget(ifs[i], &to.sin_addr)) continue;
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    if (RVP_UdpSend4(key, msg, to, sock) == 4) ++sent;
  }
  return sent;
}

int RVP_LanBroadcast(const char* key, const uint8_t msg[4], int sock) {
  std::vector<RVP_LanIf> ifs;
  if (!RVP_LanInterfaces(&ifs)) return 0;
  RVP_LanBroadcastTo(key, msg, sock, ifs.data(), ifs.size(), kLanSearchPort);
  return 1;
}

int RVP_LanBroadcastV4(const char* key, const uint8_t msg[4], int sock) {
  std::vector<RVP_LanIf> ifs;
  if (!RVP_LanInterfacesIoctl(&ifs)) return 0;
  RVP_LanBroadcastTo(key, msg, sock, ifs.data(), ifs.size(), kLanSearchPort);
  return 1;
}

void RVP_SocketClose(int sock) {
  if (sock < 0) return;
  shutdown(sock, SHUT_RDWR);
  close(sock);
}

int RVP_TcpSocket() {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  SetReuse(s);
  SetNonBlocking(s);
  return s;
}

int RVP_TcpBoundSocket(uint16_t port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_storage ss{};
  socklen_t len;
  if (s >= 0) {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    a->sin_addr.s_addr = htonl(INADDR_ANY);
    len = sizeof(sockaddr_in);
  } else {
    s = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(port);
    a->sin6_addr = in6addr_any;
    len = sizeof(sockaddr_in6);
  }
  SetReuse(s);
  SetNonBlocking(s);
  if (bind(s, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
    close(s);
    return -1;
  }
  return s;
}

int RVP_TcpConnectStart(const RVP_Address24& to, int sock) {
  sockaddr_storage ss;
  socklen_t len = RVP_Addr24ToSockaddr(to, &ss);
  if (connect(sock, reinterpret_cast<sockaddr*>(&ss), len) == 0) return 0;
  switch (errno) {
    case EISCONN:
      return 0;
    case EINPROGRESS:
    case EALREADY:
    case EAGAIN:
    case EINTR:
      return -1;
    default:
      return -2;
  }
}

int RVP_TcpConnect(const RVP_Address24& to, int sock, unsigned timeout_ms, const RVP_BreakFlag* brk) {
  uint32_t start = TickMs();
  for (;;) {
    int r = RVP_TcpConnectStart(to, sock);
    if (r == 0) return 0;
    if (r == -2) return -1;
    if (Broken(brk)) return -2;
    if (TickMs() - start >= timeout_ms) return -3;
    PollOne(sock, POLLOUT, 1);
  }
}

int RVP_WouldBlock() { return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1; }

int RVP_RecvError(long r) {
  if (r == 0) return -1;
  if (errno == EINTR) return 0;
  return RVP_WouldBlock() == 0 ? 0 : -2;
}

int RVP_TcpSendAll(int sock, const uint8_t* data, int len, unsigned timeout_ms, const RVP_BreakFlag* brk) {
  uint32_t start = TickMs();
  int done = 0;
  while (done < len) {
    if (Broken(brk)) return -2;
    ssize_t n = send(sock, data + done, static_cast<size_t>(len - done), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno != EINTR && RVP_WouldBlock() != 0) return -1;
    if (TickMs() - start >= timeout_ms) return -3;
    PollOne(sock, POLLOUT, 1);
  }
  return 0;
}

int RVP_TcpRecvAll(int sock, uint8_t* buf, int want, unsigned timeout_ms, const RVP_BreakFlag* brk,
                   int* got) {
  uint32_t start = TickMs();
  int have = 0;
  int result = 0;
  while (have < want) {
    if (Broken(brk)) {
      result = -2;
      break;
    }
    uint32_t spent = TickMs() - start;
    if (spent >= timeout_ms) {
      result = -3;
      break;
    }
    unsigned slice = timeout_ms - spent < 10 ? timeout_ms - spent : 10;
    int ready = PollOne(sock, POLLIN, slice);
    if (ready < 0) {
      result = -1;
      break;
    }
    if (ready == 0) continue;
    ssize_t n = recv(sock, buf + have, static_cast<size_t>(want - have), MSG_DONTWAIT);
    if (n > 0) {
      have += static_cast<int>(n);
      continue;
    }
    if (RVP_RecvError(n) != 0) {
      result = -1;
      break;
    }
  }
  if (got) *got = have;
  return result;
}

int RVP_WaitWritable(int sock, unsigned timeout_ms) { return PollOne(sock, POLLOUT, timeout_ms); }
int RVP_WaitReadable(int sock, unsigned timeout_ms) { return PollOne(sock, POLLIN, timeout_ms); }

namespace {

int Name(int (*get)(int, sockaddr*, socklen_t*), int sock, RVP_Address24* out) {
  sockaddr_in6 a{};
  socklen_t len = sizeof(a);
  std::memset(out, 0, sizeof(*out));
  if (get(sock, reinterpret_cast<sockaddr*>(&a), &len) != 0) return -1;
  std::memcpy(out, &a, sizeof(*out));
  return 0;
}

}  // namespace

int RVP_SockName(int sock, RVP_Address24* out) { return Name(getsockname, sock, out); }
int RVP_PeerName(int sock, RVP_Address24* out) { return Name(getpeername, sock, out); }
