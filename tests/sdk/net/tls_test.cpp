// TLS connections against openssl s_server and small in-process TLS peers.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <cstring>
#include <string>

#include "sdk/net/tcp_conn.h"
#include "sdk/net/tls_config.h"
#include "tests/sdk/net/net_test_util.h"

using namespace nettest;

namespace {

class TlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ca_.Make(dir_.path())) << "cannot make the test CA with openssl";
    NetTlsConfigure(1, ca_.ca_cert.c_str());
  }
  void TearDown() override {
    peer_.reset();  // joins an in-process peer
    SSL_CTX_free(server_ctx_);
    NetTlsConfigure(1, nullptr);
  }

  // Opens a TLS connection to an s_server using cert/key; the result code.
  int ConnectTo(const std::string& cert, const std::string& key, const char* host, TcpConn* conn,
                SServer* server) {
    EXPECT_TRUE(server->Start(cert, key, {"-rev"}));
    TcpConnInit(conn);
    return TcpConnOpen(1, host, server->port(), 5000, conn);
  }

  // An in-process TLS peer with the CA-signed certificate: accepts one client
  // on peer_listener_, runs the handshake, then `then` with the raw socket,
  // then closes it and sets peer_closed_.
  void StartTlsPeer(std::function<void(int fd)> then) {
    server_ctx_ = SSL_CTX_new(TLS_server_method());
    ASSERT_EQ(1, SSL_CTX_use_certificate_chain_file(server_ctx_, ca_.server_cert.c_str()));
    ASSERT_EQ(1, SSL_CTX_use_PrivateKey_file(server_ctx_, ca_.server_key.c_str(), SSL_FILETYPE_PEM));
    peer_ = std::make_unique<Background>([this, then] {
      int fd = peer_listener_.Accept(5000);
      if (fd < 0) return;
      SSL* ssl = SSL_new(server_ctx_);
      SSL_set_fd(ssl, fd);
      bool ok = SSL_accept(ssl) == 1;
      if (ok) then(fd);
      SSL_free(ssl);
      close(fd);
      peer_closed_ = true;
    });
  }

  // s_server for one connection, reporting the name a client sends (SNI).
  bool StartSniServer(SServer* server) {
    return server->Start(ca_.server_cert, ca_.server_key,
                         {"-rev", "-naccept", "1", "-servername", "localhost", "-cert2", ca_.server_cert, "-key2",
                          ca_.server_key});
  }

  Listener peer_listener_;
  SSL_CTX* server_ctx_ = nullptr;
  std::unique_ptr<Background> peer_;
  std::atomic<bool> peer_closed_{false};

  nettest::TempDir dir_;
  TestCa ca_;
};

TEST_F(TlsTest, HandshakeEchoSniAndCleanClose) {
  SServer server;
  ASSERT_TRUE(StartSniServer(&server));
  TcpConn conn;
  TcpConnInit(&conn);
  ASSERT_EQ(0, TcpConnOpen(1, "localhost", server.port(), 5000, &conn));
  ASSERT_NE(nullptr, conn.tls);
  const std::string hello = "hello tls\n";
  ASSERT_EQ(static_cast<int>(hello.size()), TcpConnSend(&conn, hello.data(), static_cast<int>(hello.size()), 2000));
  std::string got;
  char buf[256];
  while (got.find("slt olleh") == std::string::npos) {
    int n = TcpConnWaitRead(&conn, buf, sizeof(buf), 3000);
    ASSERT_GT(n, 0);
    got.append(buf, static_cast<size_t>(n));
  }
  // "CLOSE" makes s_server send close_notify: a clean end of stream.
  ASSERT_EQ(6, TcpConnSend(&conn, "CLOSE\n", 6, 2000));
  int n;
  do {
    n = TcpConnWaitRead(&conn, buf, sizeof(buf), 3000);
  } while (n > 0);
  EXPECT_EQ(0, n);
  TcpConnClose(&conn);
  EXPECT_EQ(-1, conn.socket);
  // s_server buffers its report; it comes out when it exits after the one connection.
  std::string out = server.process().WaitForExit(5000);
  EXPECT_NE(std::string::npos, out.find("Hostname in TLS extension: \"localhost\"")) << out;
}

TEST_F(TlsTest, NoSniForAnAddress) {
  SServer server;
  ASSERT_TRUE(StartSniServer(&server));
  TcpConn conn;
  TcpConnInit(&conn);
  ASSERT_EQ(0, TcpConnOpen(1, "127.0.0.1", server.port(), 5000, &conn));  // the certificate names the address
  TcpConnClose(&conn);
  std::string out = server.process().WaitForExit(5000);
  EXPECT_NE(std::string::npos, out.find("CONNECTION CLOSED")) << out;
  EXPECT_EQ(std::string::npos, out.find("Hostname in TLS extension")) << out;
}

// The certificate cases: what the default (verifying) mode accepts, and what
// the explicit opt-out accepts.
struct CertCase {
  const char* name;
  int which;         // 0 CA-signed for localhost, 1 CA-signed for another name, 2 self-signed
  bool with_ca;      // the test CA given as the extra CA file
  bool verify;
  int expected;
};

void PrintTo(const CertCase& c, std::ostream* os) { *os << c.name; }

class TlsCertTest : public TlsTest, public ::testing::WithParamInterface<CertCase> {};

TEST_P(TlsCertTest, Verification) {
  const CertCase& c = GetParam();
  NetTlsConfigure(c.verify ? 1 : 0, c.with_ca ? ca_.ca_cert.c_str() : nullptr);
  const std::string* cert[] = {&ca_.server_cert, &ca_.other_cert, &ca_.self_cert};
  const std::string* key[] = {&ca_.server_key, &ca_.other_key, &ca_.self_key};
  SServer server;
  TcpConn conn;
  int rc = ConnectTo(*cert[c.which], *key[c.which], "localhost", &conn, &server);
  EXPECT_EQ(c.expected, rc);
  if (rc == 0) {
    TcpConnClose(&conn);
  } else {
    EXPECT_EQ(-1, conn.socket);  // nothing left open
  }
  EXPECT_EQ(c.verify ? 1 : 0, NetTlsVerifyEnabled());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TlsCertTest,
    ::testing::Values(CertCase{"TrustedAccepted", 0, true, true, 0},
                      CertCase{"WrongHostRefused", 1, true, true, kNetTls},
                      CertCase{"SelfSignedRefused", 2, true, true, kNetTls},
                      CertCase{"UnknownCaRefusedBySystemStore", 0, false, true, kNetTls},
                      CertCase{"OptOutAcceptsWrongHost", 1, false, false, 0},
                      CertCase{"OptOutAcceptsSelfSigned", 2, false, false, 0}),
    [](const ::testing::TestParamInfo<CertCase>& info) { return std::string(info.param.name); });

// The configuration file: the one opt-out setting, warned about at every
// start; the extra CA file.
TEST_F(TlsTest, SettingsFromTheConfigurationFile) {
  LogCapture log(dir_ / "velmora.log");
  const std::string ini = dir_ / "config.ini";
  WriteFile(ini, "[config]\ntls_verify=0\nenv=1\n");
  NetTlsLoadConfig(ini.c_str());
  EXPECT_EQ(0, NetTlsVerifyEnabled());
  const std::string warning = "WARNING: TLS certificate verification is off";
  EXPECT_EQ(1, log.Count(warning)) << log.Text();
  SServer self;
  TcpConn conn;
  EXPECT_EQ(0, ConnectTo(ca_.self_cert, ca_.self_key, "localhost", &conn, &self));
  TcpConnClose(&conn);
  EXPECT_EQ(2, log.Count(warning)) << log.Text();  // again when the TLS context was made

  WriteFile(ini, "[config]\ntls_ca_file=" + ca_.ca_cert + "\n");
  NetTlsLoadConfig(ini.c_str());
  EXPECT_EQ(1, NetTlsVerifyEnabled());
  SServer trusted;
  EXPECT_EQ(0, ConnectTo(ca_.server_cert, ca_.server_key, "localhost", &conn, &trusted));
  TcpConnClose(&conn);
  WriteFile(ini, "[config]\nenv=1\n");  // defaults: verify against the system store only
  NetTlsLoadConfig(ini.c_str());
  SServer unknown;
  EXPECT_EQ(kNetTls, ConnectTo(ca_.server_cert, ca_.server_key, "localhost", &conn, &unknown));
  EXPECT_EQ(2, log.Count(warning));
  EXPECT_EQ(1, log.Count("certificate of localhost refused")) << log.Text();
}

// A peer that accepts TCP and never answers the handshake must not hold the
// caller beyond its time-out.
TEST_F(TlsTest, SilentPeerHandshakeTimesOut) {
  Listener listener;
  uint64_t t0 = NowMs();
  TcpConn conn;
  TcpConnInit(&conn);
  int rc = TcpConnOpen(1, "127.0.0.1", listener.port(), 600, &conn);
  uint64_t took = NowMs() - t0;
  EXPECT_EQ(kNetTimeout, rc);
  EXPECT_LT(took, 3000u);
  EXPECT_GE(took, 500u);
  EXPECT_EQ(-1, conn.socket);
}

// An in-process TLS server: after the handshake it drips a record header one
// byte at a time, so the client's TLS layer keeps waiting for more.
TEST_F(TlsTest, TricklingPeerReadEndsAtTimeOut) {
  std::atomic<bool> stop{false};
  StartTlsPeer([&](int fd) {
    // Application data record header: type 23, version 3.3, length 100; then payload bytes slowly.
    const unsigned char head[5] = {23, 3, 3, 0, 100};
    for (int i = 0; i < 5 && !stop; ++i) {
      send(fd, head + i, 1, MSG_NOSIGNAL);
      usleep(100000);
    }
    for (int i = 0; i < 40 && !stop; ++i) {
      send(fd, "x", 1, MSG_NOSIGNAL);
      usleep(100000);
    }
  });
  TcpConn conn;
  TcpConnInit(&conn);
  ASSERT_EQ(0, TcpConnOpen(1, "localhost", peer_listener_.port(), 5000, &conn));
  char buf[64];
  uint64_t t0 = NowMs();
  int rc = TcpConnWaitRead(&conn, buf, sizeof(buf), 500);
  uint64_t took = NowMs() - t0;
  stop = true;
  EXPECT_EQ(kNetTimeout, rc);
  EXPECT_LT(took, 1500u);
  TcpConnClose(&conn);
}

// Writing to a TLS peer that has gone away gives an error, never SIGPIPE.
TEST_F(TlsTest, WriteToVanishedPeerGivesErrorNotSigpipe) {
  ASSERT_EQ(SIG_DFL, signal(SIGPIPE, SIG_DFL));
  StartTlsPeer([&](int fd) {
    struct linger lg = {1, 0};  // the close resets the connection
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
  });
  TcpConn conn;
  TcpConnInit(&conn);
  ASSERT_EQ(0, TcpConnOpen(1, "localhost", peer_listener_.port(), 5000, &conn));
  while (!peer_closed_) usleep(1000);
  usleep(50000);
  std::string data(64 * 1024, 'a');
  int rc = 0;
  for (int i = 0; i < 20 && rc >= 0; ++i) rc = TcpConnWaitWriteN(&conn, data.data(), static_cast<int>(data.size()), 1000);
  EXPECT_LT(rc, 0);
  TcpConnClose(&conn);
}

}  // namespace
