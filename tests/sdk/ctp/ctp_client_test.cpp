// The CTP client against ctpsim on an ephemeral loopback port: every command
// shape, the client id, time-outs, peers that close mid-reply, and the worker
// serving several threads.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sdk/ctp/ctp_client.h"
#include "tools/ctpsim/ctpsim.h"

namespace {

using Clock = std::chrono::steady_clock;

// The request the client should send: head, extra headers, blank line, body.
std::string Want(const std::string& name, const std::string& body, const std::string& extra = "") {
  std::string head = "CMD " + name + " CTP/1.0\r\n";
  if (!body.empty()) head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return head + extra + "\r\n" + body;
}

long MsSince(Clock::time_point t) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

class CtpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ctpsim::Config config;
    config.channels = 2;
    config.password = "pw";
    sim_ = std::make_unique<ctpsim::Server>(config);
    std::string why;
    ASSERT_TRUE(sim_->Start(&why)) << why;
    Connect(&conn_);
  }
  void TearDown() override {
    CtpClose(&conn_);
    sim_->Stop();
  }
  void Connect(CtpConn* conn) {
    ASSERT_EQ(CtpConnect(conn, "127.0.0.1", sim_->port(), 2000), kCtpOk);
    conn->channels = 2;
    conn->timeout_ms = 2000;
  }
  // The last request the simulator received.
  std::string LastRequest() {
    auto all = sim_->Requests();
    return all.empty() ? "" : all.back();
  }

  std::unique_ptr<ctpsim::Server> sim_;
  CtpConn conn_;
};

TEST_F(CtpClientTest, CommandsWithAndWithoutBodies) {
  std::string resp;
  EXPECT_EQ(CtpExecute(&conn_, "echo", "", nullptr, nullptr, nullptr, 0, &resp), kCtpOk);
  EXPECT_EQ(LastRequest(), "CMD echo CTP/1.0\r\n\r\n");
  EXPECT_EQ(resp, " OK");

  EXPECT_EQ(CtpBodyFromCommandLine(&conn_, "echo -a 1 -b \"two words\" -c", nullptr, &resp), kCtpOk);
  EXPECT_EQ(LastRequest(), Want("echo", "-a 1\r\n-b \"two words\"\r\n-c\r\n\r\n"));
  EXPECT_EQ(resp, "a=1\r\nb=two words\r\nc=\r\n");

  // Extra headers, and the Host header when the connection sends it.
  conn_.send_host = true;
  EXPECT_EQ(CtpBodyFromCommandLine(&conn_, "echo -x 1", "X-Extra: 1\r\n", &resp), kCtpOk);
  EXPECT_EQ(LastRequest(), Want("echo", "-x 1\r\n\r\n", "Host: 127.0.0.1\r\nX-Extra: 1\r\n"));
  EXPECT_EQ(resp, "x=1\r\nhost=127.0.0.1\r\n");
  EXPECT_EQ(CtpExecute(&conn_, "getinfo", "", nullptr, nullptr, nullptr, 0, &resp), kCtpOk);
  EXPECT_EQ(LastRequest(), "CMD getinfo CTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_EQ(resp, "-model ctpsim\r\n-channels 2\r\n-cltid \r\n");
  conn_.send_host = false;

  // A body far larger than 5000 bytes goes out whole.
  std::string big = "-blob " + std::string(20000, 'k') + "\r\n\r\n";
  std::string echoed;
  CtpBodyCallback append = [](const char* d, int n, void* u) {
    static_cast<std::string*>(u)->append(d, static_cast<size_t>(n));
    return 1;
  };
  EXPECT_EQ(CtpExecute(&conn_, "echo", big, nullptr, append, &echoed, 0, &resp), kCtpOk);
  EXPECT_EQ(LastRequest(), Want("echo", big));
  EXPECT_EQ(echoed, "blob=" + std::string(20000, 'k') + "\r\n");
  EXPECT_EQ(CtpExecute(&conn_, "nosuch", "", nullptr, nullptr, nullptr, 0, &resp), 404);
  EXPECT_EQ(resp, " Not Found");

  // Names and lines that cannot go into a request never leave.
  size_t before = sim_->Requests().size();
  EXPECT_EQ(CtpExecute(&conn_, "two words", "", nullptr, nullptr, nullptr, 0, &resp), kCtpBadArgument);
  EXPECT_EQ(CtpExecute(&conn_, "x\r\nCMD y", "", nullptr, nullptr, nullptr, 0, &resp), kCtpBadArgument);
  EXPECT_EQ(CtpBodyFromCommandLine(&conn_, "  ", nullptr, &resp), kCtpBadArgument);
  EXPECT_EQ(sim_->Requests().size(), before);
}

TEST_F(CtpClientTest, ClientIdFromLoginIsSentWhileStateIsNegative) {
  std::string resp;
  EXPECT_EQ(CtpBodyFromCommandLine(&conn_, "login -user u -pass wrong", nullptr, &resp), 401);
  EXPECT_EQ(conn_.client_id, "");
  ASSERT_EQ(CtpBodyFromCommandLine(&conn_, "login -user u -pass pw", nullptr, &resp), kCtpOk);
  EXPECT_EQ(conn_.client_id, "cs1");

  EXPECT_EQ(CtpExecute(&conn_, "echo", "", nullptr, nullptr, nullptr, 0, &resp), kCtpOk);
  EXPECT_EQ(LastRequest(), "CMD echo CTP/1.0\r\n\r\n");
  conn_.state = -1;
  EXPECT_EQ(CtpBodyFromCommandLine(&conn_, "echo -a 1", nullptr, &resp), kCtpOk);
  EXPECT_EQ(LastRequest(), Want("echo", "-a 1\r\n\r\n", "Cookie: cltid=cs1\r\n"));
  EXPECT_EQ(resp, "a=1\r\ncltid=cs1\r\n");
}

TEST_F(CtpClientTest, PtzCommandsOfEveryShape) {
  struct Case {
    int action, p1, p2;
    const char* body;
  } cases[] = {
      {0, 0, 0, "-chn 1\r\n-act 0\r\n\r\n"},
      {3, 7, 0, "-chn 1\r\n-act 3\r\n-para 7\r\n\r\n"},
      {5, 0, 0, "-chn 1\r\n-act 5\r\n\r\n"},
      {30, 0, 0, "-chn 1\r\n-act 30\r\n-para 0\r\n\r\n"},
      {9, 4, 8, "-chn 1\r\n-act 9\r\n-para 4,8\r\n\r\n"},
      {33, 1, (5 << 16) | 6, "-chn 1\r\n-act 19\r\n-para 1,5,6\r\n\r\n"},
      {70, 1, 2, "-chn 1\r\n-act 70\r\n-para \"1, 2\"\r\n\r\n"},
  };
  for (const Case& c : cases) {
    std::string resp;
    ASSERT_EQ(CtpPtzCommand(&conn_, 1, c.action, c.p1, c.p2, &resp), kCtpOk) << c.body;
    std::string body = c.body;
    EXPECT_EQ(LastRequest(), Want("ptzctrl", body));
  }
  std::string resp;
  ASSERT_EQ(CtpPtzCommand(&conn_, 0, 29, 3, "gate", &resp), kCtpOk);
  EXPECT_EQ(resp, "chn=0\r\nact=29\r\npara=3\r\nname=gate\r\n");
  ASSERT_EQ(CtpPtzCommand(&conn_, 0, 32, 3, "front door", &resp), kCtpOk);
  EXPECT_EQ(resp, "chn=0\r\nact=32\r\npara=3\r\nname=front door\r\n");
  const uint8_t bytes[] = {9, 8, 7};
  ASSERT_EQ(CtpPtzCommandBytes(&conn_, 0, 60, bytes, 3, &resp), kCtpOk);
  EXPECT_EQ(resp, "chn=0\r\nact=60\r\npara=9, 8, 7\r\n");
  ASSERT_EQ(CtpPtzCommandText(&conn_, 0, "patrol", "a,b", &resp), kCtpOk);
  EXPECT_EQ(resp, "chn=0\r\nact=patrol\r\npara=a,b\r\n");
  EXPECT_EQ(CtpPtzCtrl(&conn_, 1, 1, 2, 0), kCtpOk);
  EXPECT_EQ(LastRequest(), Want("ptzctrl", "-chn 1\r\n-act 1\r\n-para 2\r\n\r\n"));

  // Channels out of range never leave; shapes an action does not take neither.
  size_t before = sim_->Requests().size();
  EXPECT_EQ(CtpPtzCtrl(&conn_, 2, 0, 0, 0), kCtpBadChannel);
  EXPECT_EQ(CtpPtzCtrl(&conn_, -1, 0, 0, 0), kCtpBadChannel);
  EXPECT_EQ(CtpPtzCommand(&conn_, 0, 29, 1, 2), kCtpBadArgument);
  EXPECT_EQ(sim_->Requests().size(), before);
  // The device refuses a channel it does not have.
  conn_.channels = 8;
  EXPECT_EQ(CtpPtzCtrl(&conn_, 5, 0, 0, 0), 400);
}

TEST_F(CtpClientTest, StatusesAndBodies) {
  std::string resp;
  EXPECT_EQ(CtpBodyFromCommandLine(&conn_, "busy -retry 5", nullptr, &resp), 503 + 5 * 65536);
  EXPECT_EQ(CtpBodyFromCommandLine(&conn_, "busy -retry 0", nullptr, &resp), 503);
  EXPECT_EQ(CtpExecute(&conn_, "cont", "", nullptr, nullptr, nullptr, 0, &resp), kCtpOk);
  EXPECT_EQ(resp, "done\r\n");

  // Chunked bodies go to the callback chunk by chunk.
  std::vector<std::string> pieces;
  CtpBodyCallback collect = [](const char* d, int n, void* u) {
    static_cast<std::vector<std::string>*>(u)->emplace_back(d, static_cast<size_t>(n));
    return 1;
  };
  EXPECT_EQ(CtpExecute(&conn_, "chunked", "-n 3\r\n\r\n", nullptr, collect, &pieces, 1, &resp), kCtpOk);
  EXPECT_EQ(pieces, (std::vector<std::string>{"line 0", "line 1", "line 2"}));
  EXPECT_EQ(CtpExecute(&conn_, "chunked", "-n 3\r\n\r\n", nullptr, nullptr, nullptr, 0, &resp), kCtpBodyTooBig);

  // A body larger than the buffer: refused without a callback, whole through one.
  EXPECT_EQ(CtpExecute(&conn_, "big", "-bytes 20000\r\n\r\n", nullptr, nullptr, nullptr, 0, &resp), kCtpBodyTooBig);
  pieces.clear();
  EXPECT_EQ(CtpExecute(&conn_, "big", "-bytes 20000\r\n\r\n", nullptr, collect, &pieces, 0, &resp), kCtpOk);
  std::string joined;
  for (auto& p : pieces) joined += p;
  ASSERT_EQ(joined.size(), 20000u);
  EXPECT_EQ(joined.substr(0, 3), "abc");
  EXPECT_EQ(joined[19999], static_cast<char>('a' + 19999 % 26));
  // The rest of the refused body was thrown away before the next request.
  EXPECT_EQ(CtpBodyFromCommandLine(&conn_, "echo -z 1", nullptr, &resp), kCtpOk);
  EXPECT_EQ(resp, "z=1\r\n");
}

TEST_F(CtpClientTest, TimeOuts) {
  conn_.timeout_ms = 150;
  std::string resp;
  auto t = Clock::now();
  EXPECT_EQ(CtpExecute(&conn_, "silent", "", nullptr, nullptr, nullptr, 0, &resp), kCtpTimeout);
  EXPECT_LT(MsSince(t), 1500);
  // A late reply is not taken for the next one.
  EXPECT_EQ(CtpBodyFromCommandLine(&conn_, "sleep -ms 400", nullptr, &resp), kCtpTimeout);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  conn_.timeout_ms = 2000;
  EXPECT_EQ(CtpBodyFromCommandLine(&conn_, "echo -n 2", nullptr, &resp), kCtpOk);
  EXPECT_EQ(resp, "n=2\r\n");
}

TEST_F(CtpClientTest, PeerClosesMidReply) {
  std::string resp;
  // Cut inside the status line, the head and the body; and no reply at all.
  for (int cut : {5, 30, 80}) {
    CtpConn c;
    Connect(&c);
    EXPECT_EQ(CtpBodyFromCommandLine(&c, ("cut -bytes " + std::to_string(cut)).c_str(), nullptr, &resp), kCtpClosed)
        << cut;
    CtpClose(&c);
  }
  EXPECT_EQ(CtpExecute(&conn_, "bye", "", nullptr, nullptr, nullptr, 0, &resp), kCtpClosed);
  // The connection is gone: the next request fails as a connection error or a close.
  int r = CtpExecute(&conn_, "echo", "", nullptr, nullptr, nullptr, 0, &resp);
  EXPECT_TRUE(r == kCtpConnError || r == kCtpClosed) << r;
}

TEST_F(CtpClientTest, SimulatorRefusesMalformedRequests) {
  const char* bad[] = {
      "GET / HTTP/1.1\r\n\r\n",
      "CMD echo CTP/1.1\r\n\r\n",
      "CMD  CTP/1.0\r\n\r\n",
      "CMD echo CTP/1.0\r\nbroken header\r\n\r\n",
      "CMD echo CTP/1.0\r\nContent-Length: x\r\n\r\n",
      "CMD echo CTP/1.0\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\n-a\r\n",
      "CMD echo CTP/1.0\r\nContent-Length: 5\r\n\r\nabc\r\n",
      "CMD echo CTP/1.0\r\nContent-Length: 6\r\n\r\n-a 1\r\n",
  };
  for (const char* req : bad) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(sim_->port()));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
    ASSERT_EQ(send(fd, req, strlen(req), MSG_NOSIGNAL), static_cast<ssize_t>(strlen(req)));
    std::string got;
    char buf[256];
    ssize_t n;
    while ((n = CtpRecvTimeout(fd, buf, sizeof(buf), 2000)) > 0) got.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(n, 0) << req;  // closed by the device
    EXPECT_EQ(got, "CTP/1.0 400 Bad Request\r\n\r\n") << req;
    close(fd);
  }
}

TEST_F(CtpClientTest, WorkerServesSeveralCallersInOrder) {
  std::atomic<int> events{0};
  ASSERT_TRUE(CtpWorkerStart(&conn_, 3, [&](uintptr_t, intptr_t) {
    ++events;
    return true;
  }));
  constexpr int kThreads = 6, kEach = 15;
  std::atomic<int> wrong{0}, failed{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t)
    callers.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        std::string resp;
        std::string line = "echo -t " + std::to_string(t) + " -i " + std::to_string(i);
        int r = CtpBodyFromCommandLine(&conn_, line.c_str(), nullptr, &resp);
        if (r != kCtpOk)
          ++failed;
        else if (resp != "t=" + std::to_string(t) + "\r\ni=" + std::to_string(i) + "\r\n")
          ++wrong;
      }
    });
  for (auto& c : callers) c.join();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(sim_->Requests().size(), static_cast<size_t>(kThreads * kEach));
  EXPECT_EQ(events.load(), 0);
  // Every node comes back to the pool.
  size_t pooled = 0;
  for (int i = 0; i < 100 && pooled != 3; ++i) {
    {
      std::lock_guard<std::mutex> g(conn_.worker->lock);
      pooled = conn_.worker->pool.size();
    }
    if (pooled != 3) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(pooled, 3u);
}

TEST_F(CtpClientTest, WorkerSendsQueuedRequestsFirstInFirstOut) {
  ASSERT_TRUE(CtpWorkerStart(&conn_, 4, nullptr));
  // The first request holds the line while three more queue behind it in a known order.
  std::vector<std::thread> callers;
  std::mutex mu;
  std::vector<int> done;
  callers.emplace_back([&] {
    std::string resp;
    EXPECT_EQ(CtpBodyFromCommandLine(&conn_, "sleep -ms 300", nullptr, &resp), kCtpOk);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (int i = 0; i < 3; ++i) {
    callers.emplace_back([&, i] {
      std::string resp;
      std::string line = "echo -k " + std::to_string(i);
      EXPECT_EQ(CtpBodyFromCommandLine(&conn_, line.c_str(), nullptr, &resp), kCtpOk);
      EXPECT_EQ(resp, "k=" + std::to_string(i) + "\r\n");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  for (auto& c : callers) c.join();
  auto reqs = sim_->Requests();
  ASSERT_EQ(reqs.size(), 4u);
  for (int i = 0; i < 3; ++i)
    EXPECT_NE(reqs[static_cast<size_t>(i) + 1].find("-k " + std::to_string(i)), std::string::npos) << reqs[i + 1];
}

TEST_F(CtpClientTest, WorkerTimeOutsPoolAndClose) {
  std::atomic<int> closed{0};
  std::atomic<intptr_t> which{0};
  ASSERT_TRUE(CtpWorkerStart(&conn_, 1, [&](uintptr_t w, intptr_t l) {
    if (w == kCtpEventClosed) ++closed;
    which = l;
    return true;
  }));
  conn_.timeout_ms = 200;
  std::string resp;
  auto t = Clock::now();
  EXPECT_EQ(CtpExecute(&conn_, "silent", "", nullptr, nullptr, nullptr, 0, &resp), kCtpTimeout);
  EXPECT_LT(MsSince(t), 1500);
  conn_.timeout_ms = 2000;
  // The one node came back: more callers than nodes wait their turn.
  std::vector<std::thread> callers;
  std::atomic<int> ok{0};
  for (int i = 0; i < 4; ++i)
    callers.emplace_back([&] {
      std::string r;
      if (CtpBodyFromCommandLine(&conn_, "echo -p 1", nullptr, &r) == kCtpOk && r == "p=1\r\n") ++ok;
    });
  for (auto& c : callers) c.join();
  EXPECT_EQ(ok.load(), 4);
  // The device closes: the owner hears of it.
  EXPECT_EQ(CtpExecute(&conn_, "bye", "", nullptr, nullptr, nullptr, 0, &resp), kCtpClosed);
  EXPECT_EQ(closed.load(), 1);
  EXPECT_EQ(which.load(), reinterpret_cast<intptr_t>(&conn_));
}

TEST(CtpClientId, KeptOnlyFromA200WithoutControlCharacters) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  CtpConn conn;
  conn.tcp.socket = sv[0];
  conn.timeout_ms = 500;
  struct Case {
    std::string reply;
    const char* id;
  } cases[] = {
      {"CTP/1.0 200 OK\r\nCookie: a\x01" "b\r\n\r\n", ""},
      {"CTP/1.0 404 No\r\nCookie: other\r\n\r\n", ""},
      {"CTP/1.0 200 OK\r\nCookie: id 7\r\n\r\n", "id 7"},
      {"CTP/1.0 200 OK\r\nCookie: \r\n\r\n", "id 7"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(send(sv[1], c.reply.data(), c.reply.size(), MSG_NOSIGNAL), static_cast<ssize_t>(c.reply.size()));
    char buffer[kCtpBufferSize];
    int n = CtpRecvTimeout(sv[0], buffer, kCtpBufferSize - 1, 500);
    std::string resp;
    CtpReadResponse(&conn, buffer, kCtpBufferSize, n, &resp, nullptr, nullptr, 0);
    EXPECT_EQ(conn.client_id, c.id) << c.reply;
  }
  CtpClose(&conn);
  close(sv[1]);
}

TEST(CtpSimRequest, ParsesAndRefuses) {
  ctpsim::Request r;
  size_t used = 0;
  std::string ok = Want("set", "-a 1\r\n-b \"x y\"\r\n\r\n", "Cookie: cltid=a\r\n") + "CMD next";
  ASSERT_EQ(ctpsim::ParseRequest(ok, &r, &used), ctpsim::kParsed);
  EXPECT_EQ(r.name, "set");
  EXPECT_EQ(r.cookie, "cltid=a");
  EXPECT_EQ(used, ok.size() - 8);
  ASSERT_EQ(r.options.size(), 2u);
  EXPECT_EQ(r.options[1].second, "x y");
  for (size_t cut = 0; cut < used; ++cut)
    EXPECT_EQ(ctpsim::ParseRequest(ok.substr(0, cut), &r, &used), ctpsim::kNeedMore) << cut;
  EXPECT_EQ(ctpsim::ParseRequest(std::string(2000, 'C'), &r, &used), ctpsim::kMalformed);
  std::string many = "CMD a CTP/1.0\r\n";
  for (int i = 0; i <= ctpsim::kMaxHeaderLines; ++i) many += "X: 1\r\n";
  EXPECT_EQ(ctpsim::ParseRequest(many + "\r\n", &r, &used), ctpsim::kMalformed);
  EXPECT_EQ(ctpsim::ParseRequest("CMD a CTP/1.0\r\nContent-Length: 65537\r\n\r\n", &r, &used), ctpsim::kMalformed);
}

}  // namespace
