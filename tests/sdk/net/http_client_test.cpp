// The HTTP client against nginx (keep-alive, chunked bodies, redirects, files,
// HTTPS) and against small raw peers that misbehave.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "sdk/net/http_client.h"
#include "sdk/net/tls_config.h"
#include "tests/sdk/net/net_test_util.h"

using namespace nettest;

namespace {

class HttpNginxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ca_.Make(dir_.path()));
    NetTlsConfigure(1, ca_.ca_cert.c_str());
    www_ = dir_ / "www";
    mkdir(www_.c_str(), 0755);
    mkdir((www_ + "/chunked").c_str(), 0755);
    WriteFile(www_ + "/small.txt", "small body\n");
    // Text that sub_filter rewrites on the fly, so nginx sends it chunked.
    for (int i = 0; i < 5000; ++i) chunk_src_ += "line " + std::to_string(i) + " REPLACE\n";
    WriteFile(www_ + "/chunked/big.txt", chunk_src_);
    const std::string locations =
        "    root %DIR%/www;\n"
        "    location = /conn { return 200 \"conn $connection\\n\"; }\n"
        "    location = /post { return 200 \"$request_method $content_length\"; }\n"
        "    location = /nocontent { return 204; }\n"
        "    location = /redirect { return 301 http://127.0.0.1:%PORT%/target; }\n"
        "    location /chunked/ { sub_filter 'REPLACE' 'done'; sub_filter_once off; sub_filter_types *; }\n"
        "    location = /short { keepalive_timeout 1s; return 200 \"conn $connection\\n\"; }\n";
    const std::string conf = "  server {\n    listen 127.0.0.1:%PORT%;\n" + locations +
                             "  }\n  server {\n    listen 127.0.0.1:%PORT2% ssl;\n    ssl_certificate " +
                             ca_.server_cert + ";\n    ssl_certificate_key " + ca_.server_key + ";\n" + locations +
                             "  }\n";
    ASSERT_TRUE(nginx_.Start(dir_.path(), conf)) << nginx_.ErrorLog();
    base_ = "http://127.0.0.1:" + std::to_string(nginx_.port());
    TcpConnInit(&conn_);
  }
  void TearDown() override {
    TcpConnReset(&conn_);
    NetTlsConfigure(1, nullptr);
  }

  // One GET into memory; the body text (status in *status).
  std::string Get(const std::string& url, int* status = nullptr, int timeout = 3000) {
    HttpResponse resp;
    int rc = HttpRequest(timeout, &conn_, kHttpGet, url.c_str(), nullptr, nullptr, 0, &resp, nullptr);
    EXPECT_EQ(0, rc) << url;
    if (status) *status = resp.status;
    std::string body = resp.body ? std::string(resp.body, static_cast<size_t>(resp.body_length)) : "";
    HttpRespFree(&resp);
    return body;
  }

  nettest::TempDir dir_;
  TestCa ca_;
  Nginx nginx_;
  std::string www_;
  std::string base_;
  std::string chunk_src_;
  TcpConn conn_;
};

TEST_F(HttpNginxTest, KeepAliveReusesOneConnection) {
  std::string first = Get(base_ + "/conn");
  int sock = conn_.socket;
  ASSERT_GE(sock, 0);
  for (int i = 0; i < 5; ++i) {
    int status = 0;
    EXPECT_EQ(first, Get(base_ + "/conn", &status));
    EXPECT_EQ(200, status);
    EXPECT_EQ(sock, conn_.socket);
  }
  EXPECT_EQ("small body\n", Get(base_ + "/small.txt"));
  EXPECT_EQ(sock, conn_.socket);
}

TEST_F(HttpNginxTest, ChunkedBodyThenTheNextRequest) {
  std::string expected = chunk_src_;
  for (size_t p; (p = expected.find("REPLACE")) != std::string::npos;) expected.replace(p, 7, "done");
  // Read through a callback of our own to see that no length was announced.
  struct Seen {
    bool length_event = false;
    std::string body;
    int completes = 0;
  } seen;
  ASSERT_GT(HttpWriteRequest(&conn_, kHttpGet, (base_ + "/chunked/big.txt").c_str(), nullptr, nullptr, 0, 3000), 0);
  HttpResponse resp;
  ASSERT_EQ(0, HttpReadResponse(
                   &conn_, &resp,
                   [](int ev, const char* data, int64_t v, void* u) {
                     Seen* s = static_cast<Seen*>(u);
                     if (ev == kHttpEvLength) s->length_event = true;
                     if (ev == kHttpEvBody) s->body.append(data, static_cast<size_t>(v));
                     if (ev == kHttpEvComplete) ++s->completes;
                     return 0;
                   },
                   &seen, 3000));
  EXPECT_EQ(200, resp.status);
  EXPECT_FALSE(seen.length_event);
  EXPECT_EQ(1, seen.completes);
  EXPECT_EQ(expected, seen.body);
  HttpRespFree(&resp);
  const int sock = conn_.socket;
  EXPECT_EQ("small body\n", Get(base_ + "/small.txt"));  // the chunked body ended exactly
  EXPECT_EQ(sock, conn_.socket);
}

TEST_F(HttpNginxTest, ConnectionClosedByPeerIsReplaced) {
  std::string first = Get(base_ + "/short");
  usleep(1600 * 1000);  // past nginx's 1 s keep-alive
  std::string second = Get(base_ + "/short");
  EXPECT_NE(first, second);  // another connection number
  EXPECT_EQ(0u, second.find("conn "));
}

TEST_F(HttpNginxTest, NoContentAndRedirectAndPost) {
  int status = 0;
  uint64_t t0 = NowMs();
  EXPECT_EQ("", Get(base_ + "/nocontent", &status));
  EXPECT_EQ(204, status);
  EXPECT_LT(NowMs() - t0, 1000u);  // no wait for a body that never comes

  HttpResponse resp;
  ASSERT_EQ(0, HttpRequest(3000, &conn_, kHttpGet, (base_ + "/redirect").c_str(), nullptr, nullptr, 0, &resp, nullptr));
  EXPECT_EQ(301, resp.status);
  ASSERT_NE(nullptr, resp.location);
  EXPECT_EQ(base_ + "/target", std::string(resp.location));
  HttpRespFree(&resp);

  const std::string body = "{\"uuid\":\"ABC\" }";
  HttpRequestOptions opt{};
  opt.extra_headers = "Content-Type: application/json;charset=utf-8\r\n";
  ASSERT_EQ(0, HttpPost(&conn_, (base_ + "/post").c_str(), &opt, body.data(), static_cast<int>(body.size()), 3000,
                        &resp));
  EXPECT_EQ(200, resp.status);
  EXPECT_EQ("POST " + std::to_string(body.size()), std::string(resp.body));
  EXPECT_GT(resp.sent, static_cast<int>(body.size()));
  HttpRespFree(&resp);
}

TEST_F(HttpNginxTest, DownloadToFile) {
  const std::string path = dir_ / "download.txt";
  WriteFile(path, std::string(10000, '#'));  // an older, longer file is replaced whole
  HttpResponse resp;
  ASSERT_EQ(0, HttpRequest(3000, &conn_, kHttpGet, (base_ + "/small.txt").c_str(), nullptr, nullptr, 0, &resp,
                           path.c_str()));
  EXPECT_EQ(200, resp.status);
  EXPECT_EQ("small body\n", ReadFile(path));
  HttpRespFree(&resp);

  const std::string missing = dir_ / "missing.txt";
  ASSERT_EQ(0, HttpRequest(3000, &conn_, kHttpGet, (base_ + "/nope").c_str(), nullptr, nullptr, 0, &resp,
                           missing.c_str()));
  EXPECT_EQ(404, resp.status);
  EXPECT_FALSE(FileExists(missing));
  ASSERT_NE(nullptr, resp.body);
  EXPECT_NE(std::string::npos, std::string(resp.body).find("404"));
  HttpRespFree(&resp);

  ASSERT_EQ(kNetFileCreate, HttpRequest(3000, &conn_, kHttpGet, (base_ + "/small.txt").c_str(), nullptr, nullptr, 0,
                                        &resp, (dir_ / "no/such/folder/file").c_str()));
}

TEST_F(HttpNginxTest, HttpsWithTheTestCa) {
  const std::string https = "https://localhost:" + std::to_string(nginx_.port2());
  std::string first = Get(https + "/conn");
  EXPECT_EQ(0u, first.find("conn "));
  ASSERT_NE(nullptr, conn_.tls);
  int sock = conn_.socket;
  EXPECT_EQ(first, Get(https + "/conn"));
  EXPECT_EQ(sock, conn_.socket);
  // Switching scheme on the same record opens a plain connection.
  Get(base_ + "/conn");
  EXPECT_EQ(nullptr, conn_.tls);
}

// A raw peer: reads one request head, then plays the given script of writes
// (a negative entry is a pause in ms), then closes or holds.
class RawHttpPeer {
 public:
  RawHttpPeer(std::vector<std::string> script, bool hold)
      : server_([this, script, hold] {
          int fd = listener_.Accept(5000);
          if (fd < 0) return;
          ReadUntil(fd, "\r\n\r\n", 3000);
          for (const auto& step : script) {
            if (!step.empty() && step[0] == '\x01') {
              usleep(static_cast<useconds_t>(std::stoi(step.substr(1)) * 1000));
            } else if (!step.empty() && step[0] == '\x02') {
              std::string block(64 * 1024, 'x');
              for (long n = std::stol(step.substr(1)); n > 0 && WriteAll(fd, block); n -= static_cast<long>(block.size())) {
              }
            } else {
              WriteAll(fd, step);
            }
          }
          if (hold) ReadUntil(fd, "never", 3000);
          close(fd);
        }) {}
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(listener_.port()) + "/"; }

 private:
  Listener listener_;
  Background server_;
};

std::string Pause(int ms) { return "\x01" + std::to_string(ms); }
std::string Filler(long bytes) { return "\x02" + std::to_string(bytes); }

struct RawCase {
  const char* name;
  std::vector<std::string> script;
  bool hold;
  int expected;
  int status;
  std::string body;
  int timeout_ms = 1500;  // the endless body needs room to reach the cap on a loaded machine
};

void PrintTo(const RawCase& c, std::ostream* os) { *os << c.name; }

class HttpRawPeerTest : public ::testing::TestWithParam<RawCase> {};

TEST_P(HttpRawPeerTest, Outcome) {
  const RawCase& c = GetParam();
  RawHttpPeer peer(c.script, c.hold);
  TcpConn conn;
  TcpConnInit(&conn);
  HttpResponse resp;
  uint64_t t0 = NowMs();
  int rc = HttpRequest(c.timeout_ms, &conn, kHttpGet, peer.Url().c_str(), nullptr, nullptr, 0, &resp, nullptr);
  EXPECT_LT(NowMs() - t0, static_cast<uint64_t>(c.timeout_ms) + 1000u);
  EXPECT_EQ(c.expected, rc);
  if (rc == 0) {
    EXPECT_EQ(c.status, resp.status);
    EXPECT_EQ(c.body, resp.body ? std::string(resp.body, static_cast<size_t>(resp.body_length)) : "");
    HttpRespFree(&resp);
  } else {
    EXPECT_EQ(-1, conn.socket);  // a failed exchange leaves the connection reset
    EXPECT_EQ(nullptr, resp.body);
  }
  TcpConnReset(&conn);
}

INSTANTIATE_TEST_SUITE_P(
    Peers, HttpRawPeerTest,
    ::testing::Values(
        RawCase{"ContinueThenReplyInOneSegment",
                {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"}, true, 0, 200, "ok"},
        RawCase{"ContinueThenReplyLater",
                {"HTTP/1.1 100 Continue\r\n\r\n", Pause(100), "HTTP/1.1 201 Created\r\nContent-Length: 1\r\n\r\n!"},
                true, 0, 201, "!"},
        RawCase{"SplitInsideChunkSize",
                {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1", Pause(50), "0\r\n0123456789abcdef",
                 Pause(50), "\r\n0\r\n\r\n"},
                true, 0, 200, "0123456789abcdef"},
        RawCase{"ChunkWithoutCrlf", {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nokXX"}, true,
                kNetProtocol, 0, ""},
        RawCase{"HugeContentLength", {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\nabc"}, true,
                kNetProtocol, 0, ""},
        RawCase{"EndlessChunkedBodyIsCapped",
                {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFF\r\n", Filler(40L << 20)}, true,
                kNetProtocol, 0, "", 15000},
        RawCase{"HeaderLongerThanBuffer", {"HTTP/1.1 200 OK\r\nX-Big: " + std::string(6000, 'h') + "\r\n\r\n"}, true,
                kNetProtocol, 0, ""},
        RawCase{"CutShort", {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly this"}, false, kNetNoConn, 0, ""},
        RawCase{"Stalls", {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nsome"}, true, kNetTimeout, 0, ""},
        RawCase{"UntilClose", {"HTTP/1.0 200 OK\r\n\r\nall", Pause(50), " of it"}, false, 0, 200, "all of it"},
        RawCase{"NotHttp", {"SSH-2.0-x\r\n"}, true, 0, 0, ""}),
    [](const ::testing::TestParamInfo<RawCase>& info) { return std::string(info.param.name); });

}  // namespace
