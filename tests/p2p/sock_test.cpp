#include "p2p/sock.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "p2p/cipher.h"
#include "p2p/sys.h"
#include "tests/p2p/netns.h"
#include "tests/p2p/test_util.h"

using p2ptest::Hex;
using p2ptest::ToHex;
using p2ptest::V4;

namespace {

std::string Ip(in_addr a) {
  char t[16];
  inet_ntop(AF_INET, &a, t, sizeof(t));
  return t;
}

// A UDP socket bound to 127.0.0.1 on an ephemeral port.
int LoopbackUdp(uint16_t* port) {
  int s = RVP_UdpSocket();
  sockaddr_in a = V4("127.0.0.1", 0);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  socklen_t l = sizeof(a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &l);
  *port = ntohs(a.sin_port);
  return s;
}

TEST(p2pAddr, WireAddressMatchesItsLayout) {
  uint8_t w[16];
  RVP_AddrToWire(V4("192.168.1.10", 32100), w);
  EXPECT_EQ(ToHex(w, 16), "00 02 64 7D 0A 01 A8 C0 00 00 00 00 00 00 00 00");
  sockaddr_in back;
  RVP_AddrFromWire(w, &back);
  EXPECT_EQ(back.sin_family, AF_INET);
  EXPECT_EQ(back.sin_port, htons(32100));
  EXPECT_EQ(Ip(back.sin_addr), "192.168.1.10");
}

TEST(p2pAddr, WireAddress24BothFamilies) {
  RVP_Address24 a;
  RVP_AddrMake(&a, "10.0.0.2", 443);
  uint8_t w[24];
  RVP_Addr24ToWire(a, w);
  EXPECT_EQ(ToHex(w, 24), "00 02 BB 01 02 00 00 0A 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
  RVP_Address24 back;
  RVP_Addr24FromWire(w, &back);
  EXPECT_EQ(back.family, AF_INET);
  EXPECT_EQ(back.port, htons(443));
  EXPECT_EQ(back.v4, a.v4);

  RVP_Address24 v6{};
  v6.family = AF_INET6;
  v6.port = htons(80);
  v6.v6[15] = 1;
  RVP_Addr24ToWire(v6, w);
  EXPECT_EQ(ToHex(w, 24), "00 17 50 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01");
  // The family on the wire is ignored: a zero IPv4 word means IPv6.
  w[1] = 0x02;
  RVP_Addr24FromWire(w, &back);
  EXPECT_EQ(back.family, AF_INET6);
  char text[48];
  EXPECT_STREQ(RVP_Addr24ToText(back, text), "::1");
  EXPECT_STREQ(RVP_Addr24ToText(a, text), "10.0.0.2");
}

TEST(p2pAddr, TextConversions) {
  in_addr v4;
  EXPECT_EQ(RVP_InetPton("1.2.3.4", &v4, AF_INET), 1);
  EXPECT_EQ(RVP_InetPton("1.2.3", &v4, AF_INET), 0);
  EXPECT_EQ(RVP_InetPton("1.2.3.4", &v4, AF_UNIX), 0);
  EXPECT_EQ(RVP_InetPton(nullptr, &v4, AF_INET), 0);
  in6_addr v6;
  EXPECT_EQ(RVP_InetPton("fe80::1", &v6, AF_INET6), 1);
  std::string longtext(100, '1');
  EXPECT_EQ(RVP_InetPton(longtext.c_str(), &v6, AF_INET6), 0);
  char out[48];
  EXPECT_STREQ(RVP_InetNtop(&v4, out, AF_INET), "1.2.3.4");
  EXPECT_EQ(RVP_InetNtop(&v4, out, 99), nullptr);
}

TEST(p2pSock, ResolveTakesDottedQuadsLiterally) {
  in_addr a;
  ASSERT_EQ(RVP_Resolve("255.255.255.255", &a), 0);
  EXPECT_EQ(a.s_addr, 0xFFFFFFFFu);
  ASSERT_EQ(RVP_Resolve("127.0.0.2", &a), 0);
  EXPECT_EQ(Ip(a), "127.0.0.2");
  ASSERT_EQ(RVP_Resolve("localhost", &a), 0);
  EXPECT_EQ(ntohl(a.s_addr) >> 24, 127u);
  EXPECT_EQ(RVP_Resolve(nullptr, &a), -1);
  EXPECT_EQ(RVP_Resolve("", &a), -1);
}

TEST(p2pSock, BindPicksARandomPortInRangeAndRefusesAPortInUse) {
  int s = RVP_UdpSocket();
  sockaddr_in bound;
  int port = RVP_UdpBind(s, 0, &bound);
  ASSERT_GE(port, 10000);
  EXPECT_LE(port, 29999);
  EXPECT_EQ(bound.sin_family, AF_INET);
  EXPECT_EQ(ntohs(bound.sin_port), port);
  EXPECT_EQ(bound.sin_addr.s_addr, 0u);
  int t = RVP_UdpSocket();
  EXPECT_EQ(RVP_UdpBind(t, static_cast<uint16_t>(port), &bound), -1);
  EXPECT_EQ(ntohs(bound.sin_port), port);
  RVP_SocketClose(s);
  RVP_SocketClose(t);
}

TEST(p2pSock, ScrambledDatagramsRoundTrip) {
  uint16_t pa, pb;
  int a = LoopbackUdp(&pa), b = LoopbackUdp(&pb);
  const uint8_t msg[] = {0xF1, 0x41, 0x00, 0x02, 0xAA, 0xBB};
  ASSERT_EQ(RVP_UdpSend("key", V4("127.0.0.1", pb), msg, sizeof(msg), a), 6);
  // On the wire the bytes are scrambled.
  uint8_t raw[16];
  pollfd p{b, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 1000), 1);
  ASSERT_EQ(recv(b, raw, sizeof(raw), MSG_PEEK), 6);
  uint8_t expect[6];
  RVP_Scramble("key", msg, expect, 6);
  EXPECT_EQ(std::memcmp(raw, expect, 6), 0);
  uint8_t out[16];
  sockaddr_in from{};
  ASSERT_EQ(RVP_UdpRecv(b, out, "key", sizeof(out), &from, 1000), 6);
  EXPECT_EQ(std::memcmp(out, msg, 6), 0);
  EXPECT_EQ(ntohs(from.sin_port), pa);

  // Plain with an empty key; a 4-byte message through the short form.
  const uint8_t four[4] = {0xF1, 0x30, 0, 0};
  ASSERT_EQ(RVP_UdpSend4("", four, V4("127.0.0.1", pb), a), 4);
  ASSERT_EQ(RVP_UdpRecv(b, out, nullptr, sizeof(out), &from, 1000), 4);
  EXPECT_EQ(std::memcmp(out, four, 4), 0);

  // A datagram larger than the caller's size is cut.
  std::vector<uint8_t> big(100, 0x5A);
  ASSERT_EQ(RVP_UdpSend("key", V4("127.0.0.1", pb), big.data(), 100, a), 100);
  ASSERT_EQ(RVP_UdpRecv(b, out, "key", 10, &from, 1000), 10);
  EXPECT_EQ(ToHex(out, 10), ToHex(big.data(), 10));

  // Time-out, and a datagram too long to send.
  EXPECT_EQ(RVP_UdpRecv(b, out, "key", sizeof(out), &from, 20), 0);
  std::vector<uint8_t> huge(1441);
  EXPECT_EQ(RVP_UdpSend("key", V4("127.0.0.1", pb), huge.data(), 1441, a), -1);
  RVP_SocketClose(a);
  RVP_SocketClose(b);
}

TEST(p2pSock, TcpConnectSendAndReceive) {
  int ls = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in la = V4("127.0.0.1", 0);
  ASSERT_EQ(bind(ls, reinterpret_cast<sockaddr*>(&la), sizeof(la)), 0);
  socklen_t l = sizeof(la);
  getsockname(ls, reinterpret_cast<sockaddr*>(&la), &l);
  listen(ls, 1);

  int c = RVP_TcpSocket();
  ASSERT_GE(c, 0);
  RVP_Address24 to;
  RVP_AddrMake(&to, "127.0.0.1", ntohs(la.sin_port));
  ASSERT_EQ(RVP_TcpConnect(to, c, 2000, nullptr), 0);
  int srv = accept(ls, nullptr, nullptr);
  ASSERT_GE(srv, 0);

  RVP_Address24 name, peer;
  ASSERT_EQ(RVP_SockName(c, &name), 0);
  ASSERT_EQ(RVP_PeerName(c, &peer), 0);
  EXPECT_EQ(peer.port, la.sin_port);
  EXPECT_EQ(name.family, AF_INET);

  std::vector<uint8_t> data(200000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  std::thread reader([&] {
    std::vector<uint8_t> got(data.size());
    size_t have = 0;
    while (have < got.size()) {
      ssize_t n = recv(srv, got.data() + have, got.size() - have, 0);
      if (n <= 0) break;
      have += static_cast<size_t>(n);
    }
    EXPECT_EQ(got, data);
    send(srv, "0123456789", 10, MSG_NOSIGNAL);
  });
  ASSERT_EQ(RVP_TcpSendAll(c, data.data(), static_cast<int>(data.size()), 5000, nullptr), 0);
  reader.join();
  uint8_t buf[16];
  int got = -1;
  EXPECT_EQ(RVP_TcpRecvAll(c, buf, 10, 2000, nullptr, &got), 0);
  EXPECT_EQ(got, 10);
  EXPECT_EQ(std::memcmp(buf, "0123456789", 10), 0);

  // Time-out with what came so far, a break flag, and the peer closing.
  send(srv, "ab", 2, MSG_NOSIGNAL);
  EXPECT_EQ(RVP_TcpRecvAll(c, buf, 5, 50, nullptr, &got), -3);
  EXPECT_EQ(got, 2);
  RVP_BreakFlag brk{1};
  EXPECT_EQ(RVP_TcpRecvAll(c, buf, 5, 1000, &brk, &got), -2);
  EXPECT_EQ(RVP_TcpSendAll(c, buf, 5, 1000, &brk), -2);
  close(srv);
  EXPECT_EQ(RVP_TcpRecvAll(c, buf, 5, 1000, nullptr, &got), -1);
  RVP_SocketClose(c);

  // A closed port: the connect fails, it does not time out.
  close(ls);
  int d = RVP_TcpSocket();
  EXPECT_EQ(RVP_TcpConnect(to, d, 2000, nullptr), -1);
  RVP_SocketClose(d);
  int e = RVP_TcpSocket();
  brk = 1;
  RVP_AddrMake(&to, "127.0.0.1", 1);
  int r = RVP_TcpConnect(to, e, 2000, &brk);
  EXPECT_TRUE(r == -2 || r == -1) << r;
  RVP_SocketClose(e);
}

TEST(p2pSock, TcpBoundSocketAndErrorMapping) {
  int s = RVP_TcpBoundSocket(0);
  ASSERT_GE(s, 0);
  RVP_Address24 a;
  ASSERT_EQ(RVP_SockName(s, &a), 0);
  EXPECT_NE(a.port, 0);
  ASSERT_EQ(listen(s, 1), 0);
  EXPECT_EQ(RVP_WaitReadable(s, 10), 0) << "nobody connects";
  RVP_SocketClose(s);
  errno = EAGAIN;
  EXPECT_EQ(RVP_WouldBlock(), 0);
  EXPECT_EQ(RVP_RecvError(-1), 0);
  errno = ECONNRESET;
  EXPECT_EQ(RVP_WouldBlock(), -1);
  EXPECT_EQ(RVP_RecvError(-1), -2);
  EXPECT_EQ(RVP_RecvError(0), -1);
}

RVP_LanIf If(const char* name, const char* addr, const char* brd, unsigned flags) {
  RVP_LanIf i{};
  std::strncpy(i.name, name, IFNAMSIZ - 1);
  inet_pton(AF_INET, addr, &i.addr);
  if (brd) inet_pton(AF_INET, brd, &i.brd);
  i.flags = flags;
  return i;
}

TEST(p2pLanSearch, BroadcastTargetsOfInterfaces) {
  const unsigned up = IFF_UP | IFF_BROADCAST;
  struct Case {
    RVP_LanIf ifc;
    const char* target;  // null: skipped
  } cases[] = {
      {If("eth0", "192.168.1.20", "192.168.1.255", up), "192.168.1.255"},
      {If("eth1", "10.1.2.3", "10.1.255.255", up), "10.1.255.255"},  // its own broadcast, not x.y.z.255
      {If("eth2", "172.16.5.9", nullptr, up), "172.16.5.255"},       // none known: x.y.z.255
      {If("lo", "127.0.0.1", nullptr, IFF_UP | IFF_LOOPBACK), nullptr},
      {If("lo2", "127.0.1.1", nullptr, IFF_UP), nullptr},
      {If("eth3", "169.254.7.8", "169.254.255.255", up), nullptr},
      {If("eth4", "192.168.9.9", "192.168.9.255", IFF_BROADCAST), nullptr},  // down
      {If("tun0", "10.8.0.2", nullptr, IFF_UP | IFF_POINTOPOINT), nullptr},
  };
  for (const Case& c : cases) {
    in_addr t{};
    bool sent = RVP_LanBroadcastTarget(c.ifc, &t);
    EXPECT_EQ(sent, c.target != nullptr) << c.ifc.name;
    if (sent && c.target) {
      EXPECT_EQ(Ip(t), c.target) << c.ifc.name;
    }
  }
}

TEST(p2pLanSearch, InjectedInterfacesEachGetTheMessage) {
  uint16_t port;
  int rx = LoopbackUdp(&port);
  int tx = RVP_UdpSocket();
  // Broadcast addresses pointed at loopback so the datagrams can be seen.
  std::vector<RVP_LanIf> ifs = {
      If("a", "10.0.0.5", "127.0.0.1", IFF_UP | IFF_BROADCAST),
      If("b", "169.254.1.1", "127.0.0.1", IFF_UP | IFF_BROADCAST),
      If("c", "10.9.9.9", "127.0.0.1", IFF_UP | IFF_BROADCAST),
  };
  const uint8_t msg[4] = {0xF1, 0x30, 0x00, 0x00};
  EXPECT_EQ(RVP_LanBroadcastTo("lankey", msg, tx, ifs.data(), ifs.size(), port), 2);
  for (int i = 0; i < 2; ++i) {
    uint8_t out[8];
    sockaddr_in from;
    ASSERT_EQ(RVP_UdpRecv(rx, out, "lankey", sizeof(out), &from, 1000), 4);
    EXPECT_EQ(std::memcmp(out, msg, 4), 0);
  }
  uint8_t out[8];
  sockaddr_in from;
  EXPECT_EQ(RVP_UdpRecv(rx, out, "lankey", sizeof(out), &from, 50), 0);
  RVP_SocketClose(rx);
  RVP_SocketClose(tx);
}

// Receives LAN-search datagrams on port 32108 and collects their destinations.
std::set<std::string> CollectDestinations(int rx, unsigned ms) {
  std::set<std::string> seen;
  uint32_t start = p2p::TickMs();
  while (p2p::TickMs() - start < ms) {
    pollfd p{rx, POLLIN, 0};
    if (poll(&p, 1, 20) != 1) continue;
    uint8_t buf[64];
    char ctl[256];
    iovec iov{buf, sizeof(buf)};
    msghdr mh{};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    mh.msg_control = ctl;
    mh.msg_controllen = sizeof(ctl);
    if (recvmsg(rx, &mh, 0) != 4) continue;
    for (cmsghdr* c = CMSG_FIRSTHDR(&mh); c; c = CMSG_NXTHDR(&mh, c))
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO)
        seen.insert(Ip(reinterpret_cast<in_pktinfo*>(CMSG_DATA(c))->ipi_addr));
  }
  return seen;
}

TEST(p2pLanSearch, BroadcastsOnEveryInterfaceOfANamespace) {
  const std::vector<std::string> setup = {
      "ip link set lo up",
      "ip link add a0 type veth peer name a1",
      "ip link add b0 type veth peer name b1",
      "ip link add c0 type veth peer name c1",
      "ip addr add 10.9.0.1/24 brd + dev a0",
      "ip addr add 10.8.1.1/16 brd + dev b0",
      "ip addr add 169.254.3.3/16 brd + dev c0",
      "ip link set a0 up",
      "ip link set a1 up",
      "ip link set b0 up",
      "ip link set b1 up",
      "ip link set c0 up",
      "ip link set c1 up",
  };
  std::set<std::string> via_getifaddrs, via_ioctl;
  int search_socket = 0;
  std::string why = p2ptest::RunInNetns(setup, [&] {
    int rx = RVP_LanSearchSocket();
    search_socket = rx;
    if (rx < 0) return;
    int on = 1;
    setsockopt(rx, IPPROTO_IP, IP_PKTINFO, &on, sizeof(on));
    int tx = RVP_UdpSocket();
    RVP_SetBroadcast(tx);
    const uint8_t msg[4] = {0xF1, 0x30, 0x00, 0x00};
    EXPECT_EQ(RVP_LanBroadcast("", msg, tx), 1);
    via_getifaddrs = CollectDestinations(rx, 300);
    EXPECT_EQ(RVP_LanBroadcastV4("", msg, tx), 1);
    via_ioctl = CollectDestinations(rx, 300);
    // A second search socket on the same port binds too.
    int rx2 = RVP_LanSearchSocket();
    EXPECT_GE(rx2, 0);
    RVP_SocketClose(rx2);
    RVP_SocketClose(tx);
    RVP_SocketClose(rx);
  });
  if (!why.empty()) GTEST_SKIP() << "needs a network namespace of its own: " << why;
  ASSERT_GE(search_socket, 0);
  const std::set<std::string> expect = {"10.9.0.255", "10.8.255.255"};
  EXPECT_EQ(via_getifaddrs, expect);
  EXPECT_EQ(via_ioctl, expect);
}

}  // namespace
