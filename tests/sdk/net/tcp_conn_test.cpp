// Resolver, connects, plain reads and writes with time-outs.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "sdk/net/tcp_conn.h"
#include "tests/sdk/net/net_test_util.h"

using namespace nettest;

namespace {

std::atomic<int> g_resolver_calls{0};
std::vector<std::string> g_resolver_answer;

int StubResolver(const char* host, uint32_t* addresses, int capacity) {
  ++g_resolver_calls;
  int n = 0;
  for (const auto& a : g_resolver_answer) {
    if (n >= capacity) break;
    inet_pton(AF_INET, a.c_str(), &addresses[n++]);
  }
  return n ? n : kNetResolve;
}

class TcpConnTest : public ::testing::Test {
 protected:
  void TearDown() override { TcpSetResolver(nullptr); }
};

TEST_F(TcpConnTest, ResolverCutsPortAndFindsLocalhost) {
  uint32_t addrs[6];
  int n = normal_resolver("localhost:8080", addrs, 6);
  ASSERT_GE(n, 1);
  EXPECT_EQ(htonl(INADDR_LOOPBACK), addrs[0]);
  EXPECT_EQ(1, normal_resolver("localhost", addrs, 1));
}

TEST_F(TcpConnTest, DottedAddressIsTriedOnceWithoutResolving) {
  g_resolver_calls = 0;
  TcpSetResolver(StubResolver);
  Listener listener;
  int sock = -1;
  ASSERT_EQ(0, TcpConnect("127.0.0.1", listener.port(), 2000, &sock));
  EXPECT_GE(sock, 0);
  EXPECT_EQ(0, g_resolver_calls.load());
  close(sock);
}

TEST_F(TcpConnTest, ThirdAddressConnectsAfterTwoRefusals) {
  nettest::TempDir dir;
  LogCapture log(dir / "velmora.log");
  Listener listener("127.0.0.4");
  g_resolver_answer = {"127.0.0.2", "127.0.0.3", "127.0.0.4"};
  TcpSetResolver(StubResolver);
  int sock = -1;
  ASSERT_EQ(0, TcpConnect("three.test", listener.port(), 2000, &sock));
  int peer = listener.Accept(2000);
  EXPECT_GE(peer, 0);
  sockaddr_in sa{};
  socklen_t len = sizeof(sa);
  getpeername(sock, reinterpret_cast<sockaddr*>(&sa), &len);
  EXPECT_EQ("127.0.0.4", std::string(inet_ntoa(sa.sin_addr)));
  EXPECT_EQ(2, log.Count("[TcpConnect] Connect to three.test: ")) << log.Text();
  close(peer);
  close(sock);
}

TEST_F(TcpConnTest, FailureCodes) {
  int port;
  {
    Listener closed;
    port = closed.port();
  }
  int sock = -1;
  EXPECT_EQ(kNetRefused, TcpConnect("127.0.0.1", port, 2000, &sock));
  EXPECT_EQ(-1, sock);
  g_resolver_answer.clear();
  TcpSetResolver(StubResolver);
  EXPECT_EQ(kNetResolve, TcpConnect("nowhere.test", 80, 2000, &sock));
  TcpConn conn;
  TcpConnInit(&conn);
  char buf[4];
  EXPECT_EQ(kNetNoConn, TcpConnWaitRead(&conn, buf, 4, 0));
  EXPECT_EQ(kNetNoConn, TcpConnWaitWriteN(&conn, buf, 4, 0));
}

TEST_F(TcpConnTest, ReadWithZeroTimeoutAndPeerClose) {
  Listener listener;
  TcpConn conn;
  TcpConnInit(&conn);
  ASSERT_EQ(0, TcpConnOpen(0, "127.0.0.1", listener.port(), 2000, &conn));
  int peer = listener.Accept(2000);
  ASSERT_GE(peer, 0);
  char buf[16];
  uint64_t t0 = NowMs();
  EXPECT_EQ(kNetTimeout, TcpConnWaitRead(&conn, buf, sizeof(buf), 0));
  EXPECT_LT(NowMs() - t0, 90u);  // at once, well before the 100 ms wait below
  EXPECT_EQ(kNetTimeout, TcpConnWaitRead(&conn, buf, sizeof(buf), 100));
  ASSERT_TRUE(WriteAll(peer, "abc"));
  EXPECT_EQ(3, TcpConnWaitRead(&conn, buf, sizeof(buf), 1000));
  close(peer);
  EXPECT_EQ(0, TcpConnWaitRead(&conn, buf, sizeof(buf), 1000));
  TcpConnClose(&conn);
}

// 1 MiB to a peer that reads slowly: the budget runs out with part of it sent.
TEST_F(TcpConnTest, WriteBudgetRunsOutOnSlowPeer) {
  Listener listener("127.0.0.1", 4096);
  TcpConn conn;
  TcpConnInit(&conn);
  ASSERT_EQ(0, TcpConnOpen(0, "127.0.0.1", listener.port(), 2000, &conn));
  int small = 4096;
  setsockopt(conn.socket, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
  int peer = listener.Accept(2000);
  ASSERT_GE(peer, 0);
  std::atomic<bool> stop{false};
  std::atomic<long> got{0};
  Background reader([&] {
    char buf[1024];
    while (!stop) {
      ssize_t n = recv(peer, buf, sizeof(buf), MSG_DONTWAIT);
      if (n > 0) got += n;
      usleep(10000);  // about 100 KB/s
    }
  });
  std::string data(1 << 20, 'z');
  uint64_t t0 = NowMs();
  int rc = TcpConnWaitWriteN(&conn, data.data(), static_cast<int>(data.size()), 1000);
  uint64_t took = NowMs() - t0;
  stop = true;
  EXPECT_EQ(kNetTimeout, rc);
  EXPECT_GE(took, 950u);
  EXPECT_LT(took, 2500u);
  EXPECT_GT(got.load(), 0);
  TcpConnClose(&conn);
  close(peer);
}

TEST_F(TcpConnTest, SendToResetPeerFailsWithoutSigpipeAndResets) {
  ASSERT_EQ(SIG_DFL, signal(SIGPIPE, SIG_DFL));
  Listener listener;
  TcpConn conn;
  TcpConnInit(&conn);
  ASSERT_EQ(0, TcpConnOpen(0, "127.0.0.1", listener.port(), 2000, &conn));
  int peer = listener.Accept(2000);
  struct linger lg = {1, 0};
  setsockopt(peer, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
  close(peer);
  usleep(50000);
  std::string data(64 * 1024, 'a');
  int rc = 0;
  for (int i = 0; i < 10 && rc >= 0; ++i) rc = TcpConnSend(&conn, data.data(), static_cast<int>(data.size()), 1000);
  EXPECT_LT(rc, 0);
  EXPECT_EQ(-1, conn.socket);
}

TEST_F(TcpConnTest, SelectFlagsAndNonBlockingConnect) {
  Listener listener;
  uint32_t lo = htonl(INADDR_LOOPBACK);
  int s = TcpConnectNonBlocking(lo, listener.port());
  ASSERT_GE(s, 0);
  EXPECT_EQ(1, SockWaitWritable(s, 2000));
  int peer = listener.Accept(2000);
  ASSERT_GE(peer, 0);
  int flags = kSockRead | kSockWrite;
  EXPECT_EQ(1, SockSelect(s, &flags, 0));
  EXPECT_EQ(kSockWrite, flags);  // writable, nothing to read
  flags = kSockRead;
  EXPECT_EQ(0, SockSelect(s, &flags, 20));
  EXPECT_EQ(0, flags);
  WriteAll(peer, "x");
  flags = kSockRead | kSockExcept;
  EXPECT_EQ(1, SockSelect(s, &flags, 1000));
  EXPECT_EQ(kSockRead, flags);
  close(peer);
  close(s);
}

}  // namespace
