// The WebSocket client against node's `ws` server, nginx in front of it (a
// redirect, wss), and raw in-process peers.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "sdk/net/tls_config.h"
#include "sdk/net/ws_client.h"
#include "tests/sdk/net/net_test_util.h"

using namespace nettest;

namespace {

std::string Sha1Hex(const uint8_t* data, size_t n) {
  uint8_t d[SHA_DIGEST_LENGTH];
  SHA1(data, n, d);
  static const char* x = "0123456789abcdef";
  std::string s;
  for (uint8_t b : d) {
    s += x[b >> 4];
    s += x[b & 15];
  }
  return s;
}

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i % 251);
  return v;
}

std::string Text(const WsFrame& f) { return std::string(reinterpret_cast<const char*>(f.payload), f.length); }

class WsNodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer_.Start("ws_peer.js")) << peer_.process().Output();
    base_ = "ws://127.0.0.1:" + std::to_string(peer_.port());
  }
  void TearDown() override {
    if (ws_) WsConnFree(ws_);
  }
  void Open(const std::string& path) { ASSERT_EQ(0, WsCltCreateEx((base_ + path).c_str(), nullptr, &ws_, 5000, 0)); }
  // The next frame, within timeout_ms per read.
  WsFrame Next(int timeout_ms = 5000) {
    WsFrame f{};
    int rc = WsConnRecv(ws_, timeout_ms, &f);
    EXPECT_EQ(1, rc);
    return f;
  }

  NodePeer peer_;
  std::string base_;
  WsConn* ws_ = nullptr;
};

TEST_F(WsNodeTest, EchoTextAndBinary) {
  Open("/echo");
  ASSERT_EQ(2 + 4 + 5, WsConnSend(ws_, kWsText, "hello", 5, 2000));  // masked header, key, payload
  WsFrame f = Next();
  EXPECT_EQ(kWsText, f.opcode);
  EXPECT_EQ(1, f.fin);
  EXPECT_EQ("hello", Text(f));
  auto bin = Pattern(1000);
  WsIovec pieces[3] = {{bin.data(), 10}, {bin.data() + 10, 0}, {bin.data() + 10, 990}};
  ASSERT_GT(WsConnSendV(ws_, kWsBinary, pieces, 3, 2000), 1000);
  f = Next();
  EXPECT_EQ(kWsBinary, f.opcode);
  ASSERT_EQ(1000u, f.length);
  EXPECT_EQ(0, memcmp(bin.data(), f.payload, 1000));
  // The server saw both, unmasked correctly (it refuses unmasked client frames).
  EXPECT_FALSE(peer_.process().WaitForLine("MSG text 5 " + Sha1Hex(reinterpret_cast<const uint8_t*>("hello"), 5), 3000).empty());
  EXPECT_FALSE(peer_.process().WaitForLine("MSG binary 1000 " + Sha1Hex(bin.data(), 1000), 3000).empty());
}

TEST_F(WsNodeTest, FrameInTwoSegmentsComesOnceWhole) {
  Open("/split");
  WsFrame f = Next(2000);
  EXPECT_EQ(kWsText, f.opcode);
  EXPECT_EQ(std::string(200, 'a'), Text(f));
  EXPECT_EQ(kNetTimeout, WsConnRecv(ws_, 100, &f));
}

TEST_F(WsNodeTest, LargeFramesBothWays) {
  for (size_t size : {size_t{70} * 1024, size_t{10} * 1024 * 1024}) {
    Open("/big?size=" + std::to_string(size));
    WsFrame f = Next();
    EXPECT_EQ(kWsBinary, f.opcode);
    ASSERT_EQ(size, f.length);
    auto want = Pattern(size);
    EXPECT_EQ(0, memcmp(want.data(), f.payload, size));
    WsConnFree(ws_);
    ws_ = nullptr;

    Open("/echo");
    ASSERT_EQ(static_cast<int>(size) + 14, WsConnSend(ws_, kWsBinary, want.data(), static_cast<int>(size), 10000));
    f = Next(10000);
    ASSERT_EQ(size, f.length);
    EXPECT_EQ(0, memcmp(want.data(), f.payload, size));
    EXPECT_FALSE(peer_.process().WaitForLine("MSG binary " + std::to_string(size) + " " + Sha1Hex(want.data(), size),
                                             3000).empty());
    WsConnFree(ws_);
    ws_ = nullptr;
  }
}

TEST_F(WsNodeTest, FragmentsArriveAsTheyCome) {
  Open("/frag");
  // A payload stays valid until the next receive: take each text at once.
  WsFrame a = Next();
  std::string text = Text(a);
  WsFrame b = Next();
  text += Text(b);
  WsFrame c = Next();
  text += Text(c);
  EXPECT_EQ(kWsText, a.opcode);
  EXPECT_EQ(0, a.fin);
  EXPECT_EQ(kWsContinuation, b.opcode);
  EXPECT_EQ(0, b.fin);
  EXPECT_EQ(kWsContinuation, c.opcode);
  EXPECT_EQ(1, c.fin);
  EXPECT_EQ("first-second-third", text);
}

TEST_F(WsNodeTest, PingAndPong) {
  Open("/ping");
  WsFrame f = Next();
  ASSERT_EQ(kWsPing, f.opcode);
  EXPECT_EQ("hi", Text(f));
  ASSERT_GT(WsConnSend(ws_, kWsPong, "hi", 2, 1000), 0);
  f = Next();
  EXPECT_EQ("pong:hi", Text(f));
  WsConnFree(ws_);
  ws_ = nullptr;

  Open("/echo");
  ASSERT_GT(WsConnSend(ws_, kWsPing, "are you there", 13, 1000), 0);
  f = Next();
  EXPECT_EQ(kWsPong, f.opcode);  // ws answers pings by itself
  EXPECT_EQ("are you there", Text(f));
}

TEST_F(WsNodeTest, CloseCodes) {
  Open("/close?code=4001");
  WsFrame f = Next();
  ASSERT_EQ(kWsClose, f.opcode);
  EXPECT_EQ(4001, f.close_code);
  EXPECT_EQ("bye", Text(f));
  WsConnSend(ws_, kWsClose, "\x0f\xa1", 2, 1000);
  EXPECT_EQ(0, WsConnRecv(ws_, 3000, &f));  // then the server ends the connection
  WsConnFree(ws_);
  ws_ = nullptr;

  Open("/closeempty");
  f = Next();
  ASSERT_EQ(kWsClose, f.opcode);
  EXPECT_EQ(1005, f.close_code);
  WsConnFree(ws_);
  ws_ = nullptr;

  Open("/echo");
  const char payload[] = {0x03, static_cast<char>(0xE8), 'd', 'o', 'n', 'e'};
  ASSERT_GT(WsConnSend(ws_, kWsClose, payload, 6, 1000), 0);
  f = Next();
  ASSERT_EQ(kWsClose, f.opcode);  // the server's answer
  EXPECT_EQ(1000, f.close_code);
  EXPECT_EQ(0, WsConnRecv(ws_, 3000, &f));
  WsConnFree(ws_);
  ws_ = nullptr;
  EXPECT_FALSE(peer_.process().WaitForLine("CLOSE 1000 done", 3000).empty()) << peer_.process().Output();
}

TEST_F(WsNodeTest, ShutdownWakesABlockedReader) {
  Open("/echo");
  std::atomic<int> result{99};
  std::atomic<uint64_t> ended{0};
  Background reader([&] {
    WsFrame f;
    result = WsConnRecv(ws_, -1, &f);
    ended = NowMs();
  });
  usleep(200 * 1000);
  uint64_t t0 = NowMs();
  WsConnShutdown(ws_);
  while (!ended && NowMs() - t0 < 3000) usleep(1000);
  EXPECT_EQ(0, result.load());
  EXPECT_LT(ended.load() - t0, 1000u);
}

TEST_F(WsNodeTest, RefusedHandshakes) {
  WsConn* ws = nullptr;
  EXPECT_EQ(kNetWsRefused, WsCltCreateEx((base_ + "/badaccept").c_str(), nullptr, &ws, 3000, 0));
  EXPECT_EQ(kNetWsRefused, WsCltCreateEx((base_ + "/refuse").c_str(), nullptr, &ws, 3000, 0));
  EXPECT_EQ(kNetBadUrl, WsCltCreateEx("ftp://127.0.0.1/", nullptr, &ws, 3000, 0));
  EXPECT_EQ(kNetBadUrl, WsCltCreateEx(nullptr, nullptr, &ws, 3000, 0));
  int closed_port;
  {
    Listener l;
    closed_port = l.port();
  }
  EXPECT_EQ(kNetRefused, WsCltCreateEx(("ws://127.0.0.1:" + std::to_string(closed_port) + "/").c_str(), nullptr, &ws,
                                       3000, 0));
  EXPECT_EQ(nullptr, ws);
}

class WsNginxTest : public WsNodeTest {
 protected:
  void SetUp() override {
    WsNodeTest::SetUp();
    ASSERT_TRUE(ca_.Make(dir_.path()));
    NetTlsConfigure(1, ca_.ca_cert.c_str());
    const std::string node = "127.0.0.1:" + std::to_string(peer_.port());
    const std::string proxy =
        "    location / { proxy_pass http://" + node +
        "; proxy_http_version 1.1; proxy_set_header Upgrade $http_upgrade;"
        " proxy_set_header Connection \"upgrade\"; proxy_read_timeout 60s; }\n";
    const std::string conf = "  server {\n    listen 127.0.0.1:%PORT%;\n"
                             "    location = /old { return 301 http://" + node + "/echo; }\n"
                             "    location = /loop { return 301 http://127.0.0.1:%PORT%/loop; }\n" +
                             proxy + "  }\n  server {\n    listen 127.0.0.1:%PORT2% ssl;\n    ssl_certificate " +
                             ca_.server_cert + ";\n    ssl_certificate_key " + ca_.server_key + ";\n" + proxy + "  }\n";
    ASSERT_TRUE(nginx_.Start(dir_.path(), conf)) << nginx_.ErrorLog();
  }
  void TearDown() override {
    WsNodeTest::TearDown();
    NetTlsConfigure(1, nullptr);
  }
  nettest::TempDir dir_;
  TestCa ca_;
  Nginx nginx_;
};

TEST_F(WsNginxTest, RedirectIsFollowedAndLoopsEnd) {
  LogCapture log(dir_ / "velmora.log");
  const std::string front = "ws://127.0.0.1:" + std::to_string(nginx_.port());
  ASSERT_EQ(0, WsCltCreateEx((front + "/old").c_str(), nullptr, &ws_, 5000, 0));
  ASSERT_EQ(5 + 6, WsConnSend(ws_, kWsText, "after", 5, 1000));
  EXPECT_EQ("after", Text(Next()));
  EXPECT_EQ(1, log.Count("[WsCltCreateEx] redirect to: http://127.0.0.1:" + std::to_string(peer_.port()) + "/echo\n"))
      << log.Text();
  WsConn* ws = nullptr;
  EXPECT_EQ(kNetWsRefused, WsCltCreateEx((front + "/loop").c_str(), nullptr, &ws, 5000, 0));
}

TEST_F(WsNginxTest, WssInFrontOfWs) {
  const std::string front = "wss://localhost:" + std::to_string(nginx_.port2());
  ASSERT_EQ(0, WsCltCreateEx((front + "/echo").c_str(), nullptr, &ws_, 5000, 0));
  ASSERT_NE(nullptr, ws_->tls);
  auto big = Pattern(300000);
  ASSERT_GT(WsConnSend(ws_, kWsBinary, big.data(), static_cast<int>(big.size()), 5000), 0);
  WsFrame f = Next();
  ASSERT_EQ(big.size(), f.length);
  EXPECT_EQ(0, memcmp(big.data(), f.payload, big.size()));
}

// One thread writes while another reads the same TLS connection.
TEST_F(WsNginxTest, ConcurrentReaderAndWriterOverTls) {
  const std::string front = "wss://localhost:" + std::to_string(nginx_.port2());
  ASSERT_EQ(0, WsCltCreateEx((front + "/echo").c_str(), nullptr, &ws_, 5000, 0));
  const int kCount = 1000;
  std::atomic<int> send_errors{0};
  Background writer([&] {
    for (int i = 0; i < kCount; ++i) {
      std::string msg = "message " + std::to_string(i) + " " + std::string(static_cast<size_t>(i * 37 % 3000), 'p');
      if (WsConnSend(ws_, kWsText, msg.data(), static_cast<int>(msg.size()), 3000) < 0) ++send_errors;
    }
  });
  int got = 0;
  while (got < kCount) {
    WsFrame f{};
    int rc = WsConnRecv(ws_, 5000, &f);
    ASSERT_EQ(1, rc) << "after " << got;
    std::string expect = "message " + std::to_string(got) + " " + std::string(static_cast<size_t>(got * 37 % 3000), 'p');
    ASSERT_EQ(expect, Text(f));
    ++got;
  }
  EXPECT_EQ(0, send_errors.load());
}

// A raw peer that completes the handshake, records what the client sends and
// then sends the given bytes.
class RawWsPeer {
 public:
  explicit RawWsPeer(std::string reply, int frames_to_record = 0, bool no_location = false)
      : server_([this, reply, frames_to_record, no_location] {
          int fd = listener_.Accept(5000);
          if (fd < 0) return;
          std::string req = ReadUntil(fd, "\r\n\r\n", 3000);
          if (no_location) {
            WriteAll(fd, "HTTP/1.1 301 Moved\r\nContent-Length: 0\r\n\r\n");
            close(fd);
            return;
          }
          size_t k = req.find("Sec-WebSocket-Key: ");
          std::string key = k == std::string::npos ? "" : req.substr(k + 19, 24);
          handshake_key_ = key;
          std::string src = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
          uint8_t d[SHA_DIGEST_LENGTH];
          SHA1(reinterpret_cast<const uint8_t*>(src.data()), src.size(), d);
          char accept[64];
          EVP_EncodeBlock(reinterpret_cast<uint8_t*>(accept), d, SHA_DIGEST_LENGTH);
          WriteAll(fd, std::string("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                   "Sec-WebSocket-Accept: ") + accept + "\r\n\r\n" + reply);
          // Each client frame here is "masked, 1-byte payload": 2 + 4 + 1 bytes.
          std::string got;
          while (static_cast<int>(got.size()) < frames_to_record * 7) {
            std::string more = ReadUntil(fd, std::string(1, '\0') + "never", 2000);
            if (more.empty()) break;
            got += more;
          }
          for (size_t i = 0; i + 7 <= got.size(); i += 7) masks_.push_back(got.substr(i + 2, 4));
          ReadUntil(fd, "never", frames_to_record ? 100 : 3000);
          close(fd);
        }) {}
  std::string Url() const { return "ws://127.0.0.1:" + std::to_string(listener_.port()) + "/"; }
  void Join() { server_.Join(); }
  std::vector<std::string> masks_;
  std::string handshake_key_;

 private:
  Listener listener_;
  Background server_;
};

TEST(WsRawPeer, OversizedFrameIsRefusedWithoutAllocating) {
  const std::string huge = std::string("\x82\x7f\x00\x00\x01\x00\x00\x00\x00\x00", 10);  // 2^40 bytes announced
  RawWsPeer peer(huge);
  WsConn* ws = nullptr;
  ASSERT_EQ(0, WsCltCreateEx(peer.Url().c_str(), nullptr, &ws, 3000, 0));
  WsFrame f;
  uint64_t t0 = NowMs();
  EXPECT_EQ(kNetProtocol, WsConnRecv(ws, 2000, &f));
  EXPECT_LT(NowMs() - t0, 500u);
  EXPECT_LE(ws->capacity, 4096);
  WsConnFree(ws);
}

TEST(WsRawPeer, FramesSentWithTheHandshakeReplyAreKept) {
  RawWsPeer peer(std::string("\x81\x03one\x81\x03two", 10));
  WsConn* ws = nullptr;
  ASSERT_EQ(0, WsCltCreateEx(peer.Url().c_str(), nullptr, &ws, 3000, 0));
  WsFrame f;
  ASSERT_EQ(1, WsConnRecv(ws, 1000, &f));
  EXPECT_EQ("one", Text(f));
  ASSERT_EQ(1, WsConnRecv(ws, 1000, &f));
  EXPECT_EQ("two", Text(f));
  WsConnFree(ws);
}

TEST(WsRawPeer, RedirectWithoutLocationIsABadUrl) {
  RawWsPeer peer("", 0, true);
  WsConn* ws = nullptr;
  EXPECT_EQ(kNetBadUrl, WsCltCreateEx(peer.Url().c_str(), nullptr, &ws, 3000, 0));
}

// Masks and handshake keys do not follow the C library's rand().
TEST(WsRawPeer, MaskKeysAreUnpredictable) {
  std::vector<std::string> runs[2];
  std::string keys[2];
  for (int run = 0; run < 2; ++run) {
    RawWsPeer peer("", 32);
    srand(1);
    WsConn* ws = nullptr;
    ASSERT_EQ(0, WsCltCreateEx(peer.Url().c_str(), nullptr, &ws, 3000, 0));
    for (int i = 0; i < 32; ++i) ASSERT_EQ(7, WsConnSend(ws, kWsText, "x", 1, 1000));
    usleep(300 * 1000);
    WsConnFree(ws);
    peer.Join();
    runs[run] = peer.masks_;
    keys[run] = peer.handshake_key_;
  }
  ASSERT_EQ(32u, runs[0].size());
  ASSERT_EQ(32u, runs[1].size());
  std::set<std::string> distinct(runs[0].begin(), runs[0].end());
  distinct.insert(runs[1].begin(), runs[1].end());
  EXPECT_GE(distinct.size(), 62u);
  EXPECT_NE(runs[0], runs[1]);
  EXPECT_NE(keys[0], keys[1]);
}

}  // namespace
