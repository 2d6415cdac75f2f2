// The push channel against a socket.io 2 server (Engine.IO 3) from npm.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "sdk/net/sockio_client.h"
#include "tests/sdk/net/net_test_util.h"

using namespace nettest;

namespace {

// What the callback saw, in order.
class Recorder {
 public:
  struct Call {
    int event;
    std::string text;
    int value;
    uint64_t at;
  };

  static int Callback(SockioClient*, int event, char* text, int value, void* user) {
    Recorder* r = static_cast<Recorder*>(user);
    if (event == kSockioUrlWanted) {
      snprintf(text, static_cast<size_t>(value), "%s", r->url_for_callback.c_str());
      return 0;
    }
    std::lock_guard<std::mutex> lock(r->mu_);
    r->calls_.push_back({event, event == kSockioMessage ? std::string(text, static_cast<size_t>(value)) : "",
                         value, NowMs()});
    r->cv_.notify_all();
    return 0;
  }

  // Waits for the count-th call (1-based, counted from the start) of an event; its index or -1.
  int WaitFor(int event, int count, int timeout_ms) {
    std::unique_lock<std::mutex> lock(mu_);
    int found = -1;
    cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
      int seen = 0;
      for (size_t i = 0; i < calls_.size(); ++i)
        if (calls_[i].event == event && ++seen == count) {
          found = static_cast<int>(i);
          return true;
        }
      return false;
    });
    return found;
  }
  Call At(int i) {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_[static_cast<size_t>(i)];
  }
  int Count(int event) {
    std::lock_guard<std::mutex> lock(mu_);
    int n = 0;
    for (const auto& c : calls_) n += c.event == event;
    return n;
  }

  std::string url_for_callback;

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Call> calls_;
};

std::string PushUrl(int port) {
  return "ws://127.0.0.1:" + std::to_string(port) +
         "/?user_id=u1&target=app&EIO=3&transport=websocket&sid=TOKEN123&uniq_id=ABCDEFGHIJKLMN&platform=pc&sdkver=51";
}

class SockioTest : public ::testing::Test {
 protected:
  void StartPeer(int interval_ms, int timeout_ms, int port = 0) {
    ASSERT_TRUE(peer_.Start("sio_peer.js", {std::to_string(port), std::to_string(interval_ms),
                                            std::to_string(timeout_ms)}))
        << peer_.process().Output();
  }
  void TearDown() override {
    if (client_) SockioCltDestroy(client_);
  }
  // Runs a stdin command on the peer and waits for its acknowledgement.
  void Command(const std::string& line) {
    peer_.process().Send(line + "\n");
    std::string cmd = line.substr(0, line.find(' '));
    ASSERT_FALSE(peer_.process().WaitForLine("DONE " + cmd, 3000).empty());
  }

  NodePeer peer_;
  Recorder rec_;
  SockioClient* client_ = nullptr;
};

TEST_F(SockioTest, ConnectEventsBothWaysAndPongs) {
  StartPeer(2000, 1000);
  client_ = SockioCltCreate(PushUrl(peer_.port()).c_str(), Recorder::Callback, &rec_);
  ASSERT_NE(nullptr, client_);
  ASSERT_GE(rec_.WaitFor(kSockioConnected, 1, 5000), 0);
  std::string connect = peer_.process().WaitForLine("CONNECT ", 3000);
  EXPECT_NE(std::string::npos, connect.find("\"token\":\"TOKEN123\"")) << connect;
  EXPECT_NE(std::string::npos, connect.find("\"user_id\":\"u1\"")) << connect;
  EXPECT_EQ(std::string::npos, connect.find("\"sid\"")) << connect;  // no session of its own on the first connect
  EXPECT_EQ(kSockioConnectedState, client_->state.load());

  Command("EMIT device_status {\"uuid\":\"CAM1\",\"status\":\"online\"}");
  int i = rec_.WaitFor(kSockioMessage, 1, 3000);
  ASSERT_GE(i, 0);
  EXPECT_EQ("[\"device_status\",{\"uuid\":\"CAM1\",\"status\":\"online\"}]", rec_.At(i).text);

  const std::string ev = "[\"webrtc\",{\"type\":\"webrtc\",\"n\":1}]";
  EXPECT_GT(SockioCltSendEvent(client_, ev.data(), static_cast<int>(ev.size()), 1000), 0);
  EXPECT_FALSE(peer_.process().WaitForLine("EVENT webrtc {\"type\":\"webrtc\",\"n\":1}", 3000).empty());

  // Namespace packets and unknown frames are not events.
  Command("RAW 40");
  Command("RAW 41");
  Command("RAW 6");
  Command("EMIT second [1,2]");
  i = rec_.WaitFor(kSockioMessage, 2, 3000);
  ASSERT_GE(i, 0);
  EXPECT_EQ("[\"second\",[1,2]]", rec_.At(i).text);

  // Pings every 2 s are answered.
  i = rec_.WaitFor(kSockioPong, 1, 5000);
  ASSERT_GE(i, 0);
  EXPECT_GE(rec_.At(i).value, 0);
  EXPECT_LT(rec_.At(i).value, 1000);
  EXPECT_EQ(0, rec_.Count(kSockioLost));
}

TEST_F(SockioTest, DisconnectedSendAndPromptDestroyDuringPause) {
  int closed_port;
  {
    Listener l;
    closed_port = l.port();
  }
  client_ = SockioCltCreate(PushUrl(closed_port).c_str(), Recorder::Callback, &rec_);
  ASSERT_NE(nullptr, client_);
  ASSERT_GE(rec_.WaitFor(kSockioConnectFailed, 1, 5000), 0);
  EXPECT_EQ(kNetNotConnected, SockioCltSendEvent(client_, "[\"x\"]", 5, 100));
  usleep(200 * 1000);  // inside the 5 s pause
  uint64_t t0 = NowMs();
  SockioCltDestroy(client_);
  client_ = nullptr;
  EXPECT_LT(NowMs() - t0, 1000u);
}

TEST_F(SockioTest, UrlFromTheCallback) {
  StartPeer(25000, 5000);
  rec_.url_for_callback = PushUrl(peer_.port());
  client_ = SockioCltCreate(nullptr, Recorder::Callback, &rec_);
  ASSERT_NE(nullptr, client_);
  EXPECT_GE(rec_.WaitFor(kSockioConnected, 1, 5000), 0);
}

// A server that stops answering pings is dropped after two unanswered ones;
// the client then comes back, first refused with the old session id.
TEST_F(SockioTest, UnansweredPingsDropTheLinkAndItComesBack) {
  StartPeer(2000, 1000);  // the client keeps 2 s and 1 s
  nettest::TempDir dir;
  LogCapture log(dir / "velmora.log");
  client_ = SockioCltCreate(PushUrl(peer_.port()).c_str(), Recorder::Callback, &rec_);
  ASSERT_GE(rec_.WaitFor(kSockioConnected, 1, 5000), 0);
  std::string connect = peer_.process().WaitForLine("CONNECT ", 3000);
  std::string sid = connect.substr(8, connect.find(' ', 8) - 8);
  Command("FREEZE");
  uint64_t frozen_at = NowMs();
  int lost = rec_.WaitFor(kSockioLost, 1, 10000);
  ASSERT_GE(lost, 0);
  uint64_t after = rec_.At(lost).at - frozen_at;
  EXPECT_GE(after, 1500u);  // two pings of 1 s wait each, the first maybe sent just before the freeze
  EXPECT_LE(after, 7000u);
  EXPECT_EQ(1, log.Count("[sockio_thread] WsConnRecv: -2\n")) << log.Text();
  Command("THAW");
  // The old session id is refused (the server dropped it), then a new session opens.
  std::string refused = peer_.process().WaitForLine("REFUSED", 8000);
  EXPECT_NE(std::string::npos, refused.find("\"sid\":\"" + sid + "\"")) << refused;
  ASSERT_GE(rec_.WaitFor(kSockioConnected, 2, 15000), 0);
  connect = peer_.process().WaitForLine("CONNECT ", 3000);
  EXPECT_EQ(std::string::npos, connect.find("\"sid\"")) << connect;
  Command("EMIT back {}");
  EXPECT_GE(rec_.WaitFor(kSockioMessage, 1, 3000), 0);
}

// With a ping time-out not below the interval, a missing pong ends the link at
// the pong deadline without a "lost" call.
TEST_F(SockioTest, PongDeadlineClosesQuietly) {
  StartPeer(1000, 2000);  // the client keeps 1 s and 2 s: deadline 4 s after the last pong
  nettest::TempDir dir;
  LogCapture log(dir / "velmora.log");
  client_ = SockioCltCreate(PushUrl(peer_.port()).c_str(), Recorder::Callback, &rec_);
  ASSERT_GE(rec_.WaitFor(kSockioConnected, 1, 5000), 0);
  ASSERT_FALSE(peer_.process().WaitForLine("CONNECT ", 3000).empty());
  Command("FREEZE");
  ASSERT_FALSE(peer_.process().WaitForLine("DISCONNECT", 10000).empty());  // our abortive close
  Command("THAW");
  ASSERT_GE(rec_.WaitFor(kSockioConnected, 2, 15000), 0);
  EXPECT_EQ(0, rec_.Count(kSockioLost));
  EXPECT_EQ(1, log.Count("[sockio_thread] pong timedouted.")) << log.Text();
}

TEST_F(SockioTest, ServerRestartAndReconnect) {
  StartPeer(25000, 5000);
  const int port = peer_.port();
  client_ = SockioCltCreate(PushUrl(port).c_str(), Recorder::Callback, &rec_);
  ASSERT_GE(rec_.WaitFor(kSockioConnected, 1, 5000), 0);
  ASSERT_FALSE(peer_.process().WaitForLine("CONNECT ", 3000).empty());
  peer_.Stop();
  ASSERT_GE(rec_.WaitFor(kSockioLost, 1, 5000), 0);
  StartPeer(25000, 5000, port);
  // The new server does not know the old session: refused once, then a fresh connect.
  EXPECT_FALSE(peer_.process().WaitForLine("REFUSED", 8000).empty());
  ASSERT_GE(rec_.WaitFor(kSockioConnected, 2, 15000), 0);
  std::string connect = peer_.process().WaitForLine("CONNECT ", 3000);
  EXPECT_NE(std::string::npos, connect.find("\"token\":\"TOKEN123\"")) << connect;
  EXPECT_EQ(std::string::npos, connect.find("\"sid\"")) << connect;
  const std::string ev = "[\"hello\",\"again\"]";
  EXPECT_GT(SockioCltSendEvent(client_, ev.data(), static_cast<int>(ev.size()), 1000), 0);
  EXPECT_FALSE(peer_.process().WaitForLine("EVENT hello \"again\"", 3000).empty());
}

}  // namespace
